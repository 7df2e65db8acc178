// The converter's members, options and heading hook: turns each heading into a
// field name that is safe as a C++ identifier, recognises optional fields
// ("?N" prefix: field group N) and applies the command-line renames and
// deletes. Runs once per input, before any content line.
#include <cctype>
#include <cstring>

#include "utils/apps/narvelix/narvelix.hpp"
#include "utils/apps/narvelix/narvelix_log.hpp"
#include "utils/base/text2int.hpp"

const char Narvelix::DEFAULT_structureName[] = "Tarquel";
const char Narvelix::DEFAULT_magicNumber[] = "METADATA";

Narvelix::ConvertOptions::ConvertOptions()
    : externalOverrides(nullptr),
      structureName{},
      magicNumber{},
      overrideCount(0),
      verbose(0),
      emitCPPheaders(false),
      emitCPPdescription(false),
      useDensePacking(false),
      reorderFields(false) {
  std::memcpy(structureName, DEFAULT_structureName, sizeof DEFAULT_structureName);
  std::memcpy(magicNumber, DEFAULT_magicNumber, sizeof magicNumber);
}

Narvelix::Narvelix(int fd, const char* outputName, const ConvertOptions* opt)
    : CSV_File(fd, true, ','),
      options(opt != nullptr ? *opt : ConvertOptions()),
      magicNumber{},
      fileName(outputName),
      columnInferredType{},
      columnObservedContent{},
      columnMaxWidth{},
      parsedCols{},
      parsedCount(0),
      sawHeader(false),
      usesVariableLengthRecords(false),
      encounteredError(false),
      inputRejected(false),
      storedColumns(0),
      contentRows(0),
      secondRead(false),
      inputDevice(0),
      inputInode(0),
      inputSize(0),
      inputModifiedSeconds(0),
      inputModifiedNanoseconds(0),
      fieldDescriptions{},
      selected{},
      selectedTotal(0),
      recordLength(0) {
  std::memcpy(magicNumber, options.magicNumber, sizeof magicNumber);
}

Narvelix::~Narvelix() = default;

namespace {

// In place: letters and digits stay, white space and & + - / become '_', every
// other byte is removed. Only ASCII counts as letter, digit or space (the
// process keeps the POSIX locale it starts in).
void convertHeadingToSafeCharacterSet(char* heading) {
  char* out = heading;
  for (const char* p = heading; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c >= 0x80) continue;
    if (std::isalnum(c)) {
      *out++ = static_cast<char>(c);
    } else if (std::isspace(c) || c == '&' || c == '+' || c == '-' || c == '/') {
      *out++ = '_';
    }
  }
  *out = '\0';
}

}  // namespace

int Narvelix::parsedHeadingLine() {
  LOG_CERR(app_trace) << "parsedHeadingLine fieldTotal=" << static_cast<int32_t>(fieldTotal)
                      << " overrideTotal=" << static_cast<uint32_t>(options.overrideCount)
                      << LOG_ENDLINE;
  if (ZUR_UNLIKELY(fieldTotal > MAX_COLS)) {
    // The column tables hold MAX_COLS entries: refuse the input rather than
    // write a file that silently drops columns.
    LOG_CERR(app_error) << "Too many columns: " << static_cast<int32_t>(fieldTotal)
                        << " (at most 128)" << LOG_ENDLINE;
    encounteredError = true;
    inputRejected = true;
    return 0;
  }
  for (int i = 0; i < fieldTotal; ++i) {
    // CRs that end the heading line (CR CR LF, CR CR CR LF) are ordinary
    // heading text, cleaned to '_'. A CR with more text after it on the line
    // means lines that end in CR alone: the heading would hold the whole table.
    const char* cr = std::strchr(fields[i], '\r');
    const bool endsTheLine =
        cr != nullptr && i == fieldTotal - 1 && cr[std::strspn(cr, "\r")] == '\0';
    if (ZUR_UNLIKELY(cr != nullptr && !endsTheLine)) {
      LOG_CERR(app_error) << "Heading line holds a carriage return: line ends of a carriage return "
                             "alone are not supported"
                          << LOG_ENDLINE;
      encounteredError = true;
      inputRejected = true;
      return 0;
    }
  }
  sawHeader = true;
  plainSplit = plainSplitUsable(*this);
  storedColumns = fieldTotal > 0 ? static_cast<uint32_t>(fieldTotal) : 0;
  bool cleanedEmpty[MAX_COLS] = {};

  for (int i = 0; i < fieldTotal; ++i) {
    char* heading = fields[i];
    if (heading[0] == '#') ++heading;
    const char* useName = heading;
    uint32_t group = 1;
    if (heading[0] == '?') {
      usesVariableLengthRecords = true;
      char* digits = heading + 1;
      std::size_t digitCount = 0;
      while (digits[digitCount] >= '0' && digits[digitCount] <= '9') ++digitCount;
      group = (digitCount == 0 || digitCount > 10)
                  ? 0
                  : static_cast<uint32_t>(text2uint32(digits, static_cast<uint_fast8_t>(digitCount)));
      char* rest = digits + digitCount;
      convertHeadingToSafeCharacterSet(rest);
      useName = rest;
      LOG_CERR(app_info) << "defined optional field name=" << useName << " fieldGroup=" << group
                         << LOG_ENDLINE;
      if (group == 1) {
        LOG_CERR(app_error) << "Using fieldGroup 1 for an optional field is not recommended; field=\""
                            << useName << "\"" << LOG_ENDLINE;
      }
      const uint32_t kept = group & 0xFFu;
      if (kept == 0 || kept > 64) {
        // No bit of the 64-bit group masks belongs to this group, so the
        // field cannot be left out of a record: it is written in every one.
        LOG_CERR(app_warning) << "Optional field \"" << useName << "\" has fieldGroup " << kept
                              << " outside 1..64; it is written in every record" << LOG_ENDLINE;
      }
      group = kept;
    } else {
      convertHeadingToSafeCharacterSet(heading);
      LOG_CERR(app_info) << "i=" << static_cast<int32_t>(i) << " ALWAYS useName=\"" << useName << "\""
                         << LOG_ENDLINE;
    }

    cleanedEmpty[i] = useName[0] == '\0';
    uint32_t useType = 0;
    const ColumnOverrideSpecification* overrides = options.externalOverrides;
    for (uint32_t o = 0; overrides != nullptr && o < options.overrideCount; ++o) {
      const ColumnOverrideSpecification& ov = overrides[o];
      LOG_CERR(app_debug) << "fieldName=" << useName << " fieldGroup=" << group << " look at "
                          << ov.renameFrom << LOG_ENDLINE;
      if (std::strcmp(useName, ov.renameFrom) == 0) {
        LOG_CERR(app_info) << "Rename \"" << ov.renameFrom << "\" to \"" << ov.fieldName << "\""
                           << LOG_ENDLINE;
        useName = ov.fieldName;
        useType = ov.forceType;
        break;
      }
      if (std::strcmp(useName, ov.fieldName) == 0) {
        useType = ov.forceType;
        break;
      }
    }

    ColumnSpecification& columnSpec = columnDescriptions[i];
    std::memset(columnSpec.fieldName, 0, sizeof columnSpec.fieldName);
    const std::size_t nameLength = strnlen(useName, sizeof columnSpec.fieldName - 1);
    std::memcpy(columnSpec.fieldName, useName, nameLength);
    columnSpec.forceType = useType;
    columnSpec.fieldGroup = static_cast<uint8_t>(group);
  }
  checkHeadingNames(cleanedEmpty);
  return 0;
}
