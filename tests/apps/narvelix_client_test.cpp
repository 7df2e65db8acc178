// Generated headers used by a real client: each case converts a table with
// --cpp, builds a program of two translation units that both include the
// generated header (so its definitions must link more than once), and runs it
// over the metadata file. The program reads every record into the generated
// struct with nextRecord<T> (in order) and readRecord<T> (backwards, so every
// variable-length seek starts over), and prints the members in the layout of
// narvelix-dump: the two listings must equal the tool's output. Absent
// optional fields print as empty cells when their member holds zeros.
#include <gtest/gtest.h>

#include "test_support.hpp"

using namespace narvelix_test;

namespace {

// Second translation unit: one record as a CSV line, from the struct's
// members found through the generated table (the k-th file field of a name
// is the k-th table entry of that name).
const char CLIENT_FORMAT[] = R"CLIENT(
#include <cstring>
#include <string>
#include "generated.hpp"
#include "utils/logging/logging_api.hpp"
#include "utils/metadata/metadata_dump.hpp"

std::string formatRecord(const MetaDataReader& r, const STRUCT_NAME& rec) {
  const UniversalMetaData_FieldDescription* table = MetaDataForFeed<STRUCT_NAME>::fieldDescriptionTable;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&rec);
  std::string line;
  for (uint32_t f = 0; f < r.totalFields(); ++f) {
    if (f != 0) line += ',';
    uint32_t occurrence = 0;
    for (uint32_t e = 0; e < f; ++e) occurrence += std::strcmp(r.fieldName(e), r.fieldName(f)) == 0;
    const UniversalMetaData_FieldDescription* t = nullptr;
    for (uint32_t e = 0, seen = 0; e < MetaDataForFeed<STRUCT_NAME>::totalFields; ++e) {
      if (std::strncmp(table[e].fieldName, r.fieldName(f), 16) == 0 && seen++ == occurrence) {
        t = &table[e];
        break;
      }
    }
    if (t == nullptr) { line += "<no member>"; continue; }
    const unsigned char* m = bytes + t->fieldOffset;
    if (!r.isFieldPresent(f)) {
      for (uint32_t k = 0; k < t->fieldLength; ++k) {
        if (m[k] != 0) { line += "<absent but not zero>"; break; }
      }
      continue;
    }
    char text[1024];
    char* end = text;
    switch (t->fieldType) {
      case SharedMemoryVariable::SMV_TYPE_INT32: { int32_t v; std::memcpy(&v, m, 4); end = formatSignedText(text, v); break; }
      case SharedMemoryVariable::SMV_TYPE_UINT32: { uint32_t v; std::memcpy(&v, m, 4); end = formatUnsignedText(text, v); break; }
      case SharedMemoryVariable::SMV_TYPE_INT64: { int64_t v; std::memcpy(&v, m, 8); end = formatSignedText(text, v); break; }
      case SharedMemoryVariable::SMV_TYPE_UINT64: { uint64_t v; std::memcpy(&v, m, 8); end = formatUnsignedText(text, v); break; }
      case SharedMemoryVariable::SMV_TYPE_FIXED: {
        VariableFixedPointValue v;
        std::memcpy(&v, m, sizeof v);
        end = formatFixedPointText(text, v.value, static_cast<uint32_t>(v.precision));
        break;
      }
      case SharedMemoryVariable::SMV_TYPE_STRING: {
        const char* s = reinterpret_cast<const char*>(m);
        end = formatCsvCell(text, s, strnlen(s, t->fieldLength));
        break;
      }
      default: line += "<unknown type>"; continue;
    }
    line.append(text, end);
  }
  // The generated stream operator (made for log statements), instantiated
  // in this unit too; debug lines are off by default.
  LOG_CERR(app_debug) << rec << LOG_ENDLINE;
  return line;
}
)CLIENT";

// First translation unit: the heading, then both passes over the records.
const char CLIENT_MAIN[] = R"CLIENT(
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include "generated.hpp"
#include "utils/metadata/metadata_dump.hpp"

std::string formatRecord(const MetaDataReader& r, const STRUCT_NAME& rec);

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  MetaDataReader r;
  if (r.open(argv[1]) != MetaDataReader::METADATA_OK) { std::printf("open: %s\n", r.errorText()); return 1; }
  if (!r.matchesRecordType<STRUCT_NAME>()) std::printf("no match: %s\n", r.errorText());
  for (uint32_t f = 0; f < r.totalFields(); ++f) {
    char cell[64];
    char* end = formatCsvCell(cell, r.fieldName(f), std::strlen(r.fieldName(f)));
    std::printf("%s%.*s", f == 0 ? "" : ",", static_cast<int>(end - cell), cell);
  }
  std::printf("\n");
  STRUCT_NAME rec;
  std::memset(&rec, 0xA5, sizeof rec);
  while (r.nextRecord(rec)) std::printf("%s\n", formatRecord(r, rec).c_str());
  if (r.errorText()[0] != '\0') std::printf("error: %s\n", r.errorText());
  std::printf("--\n");
  std::vector<std::string> lines(r.totalRecords());
  for (uint32_t i = r.totalRecords(); i-- > 0;) {
    std::memset(&rec, 0xA5, sizeof rec);  // what the file does not fill must come back zero
    if (!r.readRecord(i, rec)) { std::printf("error: %s\n", r.errorText()); return 1; }
    lines[i] = formatRecord(r, rec);
  }
  for (const std::string& l : lines) std::printf("%s\n", l.c_str());
  return 0;
}
)CLIENT";

struct ClientCase {
  const char* name;
  const char* csv;  // the table itself, or "@file" for tests/data/file or examples/file
  std::vector<std::string> args;
  const char* structName;
};

const ClientCase CLIENT_CASES[] = {
    // Natural alignment equals the packed layout: the plain copy.
    {"natural", "@tests/data/client_fixed.csv", {}, "Tarquel_MetaDataRecord"},
    // Numbers after text: the struct aligns the 64-bit members the record packs.
    {"numbers_after_text",
     "symbol,qty,price,venue,volume\nACME,100,12.5,NYSE,12345678901\nWIDGET,7,0.125,LSE,1\n"
     "Z,4000000,-3,X,0\n",
     {"--name", "Quote"}, "Quote_MetaDataRecord"},
    // Decimals after integers: sizeof equals the record length, offsets differ.
    {"decimals_after_integers", "a,b\n1,2.5\n-3,4\n", {}, "Tarquel_MetaDataRecord"},
    // Long texts, a text of exactly 8 characters (no room for its terminator
    // in the member) and a column that is always empty.
    {"long_texts",
     "id,comment,code,empty\n"
     "1,\"a comment, long enough to need several words and a comma\",ABCDEFGH,\n"
     "2,short,,\n3,\"quoted \"\"word\"\"\",XY,\n",
     {}, "Tarquel_MetaDataRecord"},
    // Optional groups: variable-length records, absent groups read as zeros.
    {"groups", "@tests/data/groups.csv", {}, "Tarquel_MetaDataRecord"},
    // Names that need changing, repeated names among them, dense and reordered.
    {"names_reorder", "@tests/data/names.csv", {"--reorder", "--dense"}, "Tarquel_MetaDataRecord"},
};

}  // namespace

TEST(NarvelixClient, GeneratedHeadersReadEveryRecordAsTheDumpShowsIt) {
  for (const ClientCase& c : CLIENT_CASES) {
    SCOPED_TRACE(c.name);
    const std::string dir = scratchDir(std::string("Client_") + c.name);
    const std::string csv = c.csv[0] == '@' ? readFile(std::string(NARVELIX_SOURCE_DIR) + "/" + (c.csv + 1))
                                            : std::string(c.csv);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "--cpp");
    const RunResult conversion = convertText(dir, csv, args);
    ASSERT_TRUE(conversion.status == 0 || conversion.status == 1) << conversion.err;
    ASSERT_TRUE(fileExists(dir + "/out.metadata.hpp")) << conversion.err;
    ASSERT_EQ(std::rename((dir + "/out.metadata.hpp").c_str(), (dir + "/generated.hpp").c_str()), 0);

    writeFile(dir + "/format.cpp", replaceAll(CLIENT_FORMAT, "STRUCT_NAME", c.structName));
    writeFile(dir + "/main.cpp", replaceAll(CLIENT_MAIN, "STRUCT_NAME", c.structName));
    std::vector<std::string> compile = {"-std=c++20", "-Wall", "-Wextra", "-I", NARVELIX_INCLUDE_DIR,
                                        "-I", dir, "main.cpp", "format.cpp", NARVELIX_UTILS_LIB,
                                        "-lpthread", "-o", "client"};
#if defined(__SANITIZE_ADDRESS__)
    // The library of a sanitizer build needs the sanitizer runtimes.
    compile.insert(compile.begin(), "-fsanitize=address,undefined");
#endif
    const RunResult build = runShell(shellQuote(NARVELIX_CXX) + words(compile), dir);  // on the build machine
    ASSERT_EQ(build.status, 0) << build.err;
    EXPECT_EQ(build.err, "");  // the generated header compiles without warnings

    const RunResult dump = runProgram(NARVELIX_DUMP_EXE, {"out.metadata"}, dir);
    ASSERT_EQ(dump.status, 0) << dump.err;
    const std::string rows = dump.out.substr(dump.out.find('\n') + 1);
    const RunResult run = runProgram(dir + "/client", {"out.metadata"}, dir);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out, dump.out + "--\n" + rows);
  }
}
