// The C++ header written with --cpp: a record struct with one member per kept
// column (heading order), a stream-output operator, a description table in the
// metadata format's own type and the MetaDataForFeed members for the struct.
// The struct follows the column descriptions, not the record layout: string
// members are the widest text (rounded up to 8 without --dense) where the
// record field also holds a terminator, and without --dense members get their
// natural alignment where record fields are packed. Field names that are not
// usable C++ member names get a distinct member name (member_names.hpp) and a
// description that keeps the file's field name; the descriptions of a name
// that repeats follow the record's order of those fields. Everything the header defines
// outside a template is inline, so any number of translation units may
// include it.
#include <cstdio>
#include <cstring>

#include "utils/apps/narvelix/member_names.hpp"
#include "utils/apps/narvelix/narvelix.hpp"
#include "utils/apps/narvelix/narvelix_log.hpp"
#include "utils/apps/narvelix/output_file.hpp"

namespace {

using SMV = SharedMemoryVariable;
using narvelix_names::MemberName;

// Member type of a field type code, or null when the code has none.
const char* memberTypeName(uint32_t code) {
  switch (code) {
    case SMV::SMV_TYPE_UNSIGNED: return "unsigned char";
    case SMV::SMV_TYPE_INT32: return "int32_t";
    case SMV::SMV_TYPE_UINT32: return "uint32_t";
    case SMV::SMV_TYPE_INT64: return "uint64_t";  // declared unsigned, like UINT64
    case SMV::SMV_TYPE_UINT64: return "uint64_t";
    case SMV::SMV_TYPE_FIXED: return "VariableFixedPointValue";
    case SMV::SMV_TYPE_STRING: return "char";
    default: return nullptr;
  }
}

// Name of a field type code in the description table, or null.
const char* descriptionTypeName(uint32_t code) {
  switch (code) {
    case SMV::SMV_TYPE_UNSIGNED: return "SMV_TYPE_UNSIGNED";
    case SMV::SMV_TYPE_INT32: return "SMV_TYPE_INT32";
    case SMV::SMV_TYPE_UINT32: return "SMV_TYPE_UINT32";
    case SMV::SMV_TYPE_INT64: return "SMV_TYPE_INT64";
    case SMV::SMV_TYPE_UINT64: return "SMV_TYPE_UINT64";
    case SMV::SMV_TYPE_FLOAT: return "SMV_TYPE_FLOAT";
    case SMV::SMV_TYPE_FIXED: return "SMV_TYPE_FIXED";
    case SMV::SMV_TYPE_DOUBLE: return "SMV_TYPE_DOUBLE";
    case SMV::SMV_TYPE_FIXED | 128u: return "SMV_TYPE_FIXED | 128";
    case SMV::SMV_TYPE_STRING: return "SMV_TYPE_STRING";
    default: return nullptr;
  }
}

ZUR_COLD void reportUnknownType(uint32_t code) {
  LOG_CERR(app_error) << "Unknown field type: " << code << LOG_ENDLINE;
}

}  // namespace

int Narvelix::dump_CPP_structure(const char* outFileName) {
  if (inputRejected) {
    LOG_CERR(app_error) << "No header written to \"" << outFileName
                        << "\": the input was not converted" << LOG_ENDLINE;
    return -1;
  }
  OutputFile output;
  FILE* const out = output.open(outFileName);
  if (out == nullptr) {
    LOG_CERR(app_error) << "Could not create \"" << outFileName << "\" to output meta data"
                        << LOG_ENDLINE;
    return -1;
  }
  const char* s = options.structureName;
  const int columns = fieldTotal < static_cast<int>(MAX_COLS) ? fieldTotal : static_cast<int>(MAX_COLS);

  // Member names of the kept columns, in column order.
  const char* keptNames[MAX_COLS];
  int keptColumn[MAX_COLS];
  int kept = 0;
  for (int i = 0; i < columns; ++i) {
    if (columnDescriptions[i].fieldName[0] == '\0') continue;
    keptNames[kept] = columnDescriptions[i].fieldName;
    keptColumn[kept++] = i;
  }
  MemberName members[MAX_COLS];
  narvelix_names::makeMemberNames(keptNames, kept, members);
  // Where each kept column stands in the record (heading order when no
  // layout was made).
  int recordPosition[MAX_COLS];
  for (int k = 0; k < kept; ++k) {
    recordPosition[k] = k;
    for (uint32_t f = 0; f < selectedTotal; ++f) {
      if (selected[f].column == keptColumn[k]) recordPosition[k] = static_cast<int>(f);
    }
  }
  int tableOrder[MAX_COLS];
  narvelix_names::orderRepeatedNames(keptNames, recordPosition, kept, tableOrder);
  for (int k = 0; k < kept; ++k) {
    if (members[k].change == narvelix_names::NAME_KEPT) continue;
    LOG_CERR(app_warning) << "Column " << static_cast<int32_t>(keptColumn[k]) << " name=\""
                          << keptNames[k] << "\" is member \"" << members[k].text
                          << "\" of the C++ structure: "
                          << narvelix_names::memberNameChangeText(members[k].change) << LOG_ENDLINE;
  }

  std::fprintf(out, "/* WARNING: machine generated source created by narvelix */\n");
  std::fprintf(out, "#ifndef _META_%s_HPP_\n", s);
  std::fprintf(out, "#define _META_%s_HPP_ \"%cId%c\"\n", s, '$', '$');
  std::fprintf(out, "\n");
  std::fprintf(out, "#include <utils/metadata/UniversalMetaData.hpp>\n");
  std::fprintf(out, "\n");
  if (options.useDensePacking) std::fprintf(out, "#pragma pack(push,1)\n");
  std::fprintf(out, "struct %s_MetaDataRecord {\n", s);
  for (int k = 0; k < kept; ++k) {
    const int i = keptColumn[k];
    const ColumnSpecification& column = columnDescriptions[i];
    const char* member = memberTypeName(column.forceType);
    if (member == nullptr) {
      reportUnknownType(column.forceType);
      member = "unknown";
    }
    char suffix[24] = "";
    if (column.forceType == SMV::SMV_TYPE_STRING) {
      uint32_t width = columnMaxWidth[i];
      if (!options.useDensePacking) width += (0u - width) & 7u;
      std::snprintf(suffix, sizeof suffix, "[%u]", width);
    }
    std::fprintf(out, "    %-32s %s%s;\n", member, members[k].text, suffix);
  }
  std::fprintf(out, "}; /* end %s_MetaDataRecord */\n", s);
  if (options.useDensePacking) std::fprintf(out, "#pragma pack(pop)\n");
  std::fprintf(out, "\n");

  std::fprintf(out,
               "template <typename STREAMTYPE> STREAMTYPE & operator<<(STREAMTYPE &os, const "
               "%s_MetaDataRecord &arg)\n",
               s);
  std::fprintf(out, "{\n");
  std::fprintf(out, "    os << \"[%s_MetaDataRecord={\";\n", s);
  for (int k = 0; k < kept; ++k) {
    const ColumnSpecification& column = columnDescriptions[keptColumn[k]];
    const char* n = column.fieldName;  // the label: the file's field name
    const char* m = members[k].text;
    if (column.forceType == SMV::SMV_TYPE_STRING) {
      std::fprintf(out,
                   "    os << \" %s=\\\"\" << AS_TEXT_BUFFER(arg.%s, sizeof(arg.%s)) << \"\\\"\";\n",
                   n, m, m);
    } else {
      std::fprintf(out, "    os << \" %s=\" << arg.%s;\n", n, m);
    }
  }
  std::fprintf(out, "    os << \" }]\";\n");
  std::fprintf(out, "    return (os);\n");
  std::fprintf(out, "}\n");
  std::fprintf(out, "\n");

  std::fprintf(out, "const struct UniversalMetaData_FieldDescription %s_fields[] = {\n", s);
  for (int slot = 0; slot < kept; ++slot) {
    const int k = tableOrder[slot];
    const ColumnSpecification& column = columnDescriptions[keptColumn[k]];
    const char* typeName = descriptionTypeName(column.forceType);
    if (typeName == nullptr) {
      reportUnknownType(column.forceType);
      typeName = "unknown";
    }
    if (members[k].change != narvelix_names::NAME_KEPT) {
      // The member has another name than the field: the table keeps the field's.
      if (column.fieldGroup > 1) {
        std::fprintf(out,
                     "    DESCRIBE_OPTIONAL_NAMED_FIELD_OF_CLASS(%d, \"%s\", %s, %s, %s_MetaDataRecord),\n",
                     static_cast<int>(column.fieldGroup), column.fieldName, members[k].text, typeName, s);
      } else {
        std::fprintf(out, "    DESCRIBE_NAMED_FIELD_OF_CLASS(\"%s\", %s, %s, %s_MetaDataRecord),\n",
                     column.fieldName, members[k].text, typeName, s);
      }
    } else if (column.fieldGroup > 1) {
      std::fprintf(out, "    DESCRIBE_OPTIONAL_FIELD_OF_CLASS(%d, %s, %s, %s_MetaDataRecord),\n",
                   static_cast<int>(column.fieldGroup), column.fieldName, typeName, s);
    } else {
      std::fprintf(out, "    DESCRIBE_FIELD_OF_CLASS(%s, %s, %s_MetaDataRecord),\n", column.fieldName,
                   typeName, s);
    }
  }
  std::fprintf(out, "    {0, 0, 0, 0, {}, {}} // end of table marker\n");
  std::fprintf(out, "};\n");
  std::fprintf(out, "\n");

  char magic[sizeof options.magicNumber + 1] = {};
  std::memcpy(magic, options.magicNumber, sizeof options.magicNumber);
  std::fprintf(out, "// link field descriptions to transformation filters\n");
  std::fprintf(out,
               "template<> inline const UniversalMetaData_FieldDescription "
               "*MetaDataForFeed<%s_MetaDataRecord>::fieldDescriptionTable = %s_fields;\n",
               s, s);
  std::fprintf(out, "template<> inline const uint32_t MetaDataForFeed<%s_MetaDataRecord>::totalFields = %u;\n",
               s, static_cast<uint32_t>(kept));
  std::fprintf(out,
               "template<> inline const char MetaDataForFeed<%s_MetaDataRecord>::magicNumber[sizeof(((Univer"
               "salMetaData_ReferenceFileHeader *)(nullptr))->magicNumber) + 1] = {\"%s\"};\n",
               s, magic);
  std::fprintf(out, "\n");
  std::fprintf(out, "#endif\n");
  std::fprintf(out, "/* vim: set expandtab shiftwidth=4 tabstop=4: */\n");

  // Standard output is flushed, not closed: later conversions of this run
  // may still write there.
  const int closed = output.close();
  if (closed == OutputFile::OUTPUT_WRITE_FAILED) {
    LOG_CERR(app_error) << "Could not write \"" << outFileName << "\"" << LOG_ENDLINE;
  }
  return closed == OutputFile::OUTPUT_CLOSED ? 0 : -1;
}
