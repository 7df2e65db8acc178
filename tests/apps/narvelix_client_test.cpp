// Generated headers used by a real client: each case converts a CSV with
// --cpp, compiles a small program against the generated header (and the
// library's include folder), runs it over the metadata file it came with and
// compares what it prints, record by record, with the CSV's values. The
// program also prints, per field, the file's offset/length next to the
// struct's, so the documented differences (string widths, --dense packing,
// --reorder order) are checked rather than hidden.
#include <gtest/gtest.h>

#include "apps/narvelix_test_util.hpp"

using namespace narvelix_test;

namespace {

// The client. DIRECT copies each fixed-length record over the struct;
// otherwise every field present in a record is copied by name from its place
// in the record (offsets recomputed for variable-length records) to the
// struct member the generated table names.
const char CLIENT_SOURCE[] = R"CLIENT(
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>
#include "generated.hpp"

using Rec = STRUCT_NAME;

static const UniversalMetaData_FieldDescription* tableEntry(const char* name) {
  const UniversalMetaData_FieldDescription* t = MetaDataForFeed<Rec>::fieldDescriptionTable;
  for (uint32_t i = 0; i < MetaDataForFeed<Rec>::totalFields; ++i) {
    if (std::strncmp(t[i].fieldName, name, 16) == 0) return &t[i];
  }
  return nullptr;
}

static void printRecord(const Rec& rec) { PRINT_RECORD; }

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  FILE* f = std::fopen(argv[1], "rb");
  if (f == nullptr) return 3;
  std::vector<unsigned char> bytes;
  unsigned char chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
  std::fclose(f);
  UniversalMetaData_ReferenceFileHeader h;
  std::memcpy(&h, bytes.data(), sizeof h);
  const size_t magicLength = std::strlen(MetaDataForFeed<Rec>::magicNumber);
  std::printf("magic %s %s\n", MetaDataForFeed<Rec>::magicNumber,
              std::memcmp(h.magicNumber, MetaDataForFeed<Rec>::magicNumber, magicLength) == 0 ? "ok" : "BAD");
  std::printf("fields %u/%u recordLength %u sizeof %zu\n", h.totalFields,
              MetaDataForFeed<Rec>::totalFields, h.metaRecordLength, sizeof(Rec));
  std::vector<UniversalMetaData_FieldDescription> d(h.totalFields);
  std::memcpy(d.data(), bytes.data() + sizeof h, sizeof(d[0]) * h.totalFields);
  for (const auto& fd : d) {
    const UniversalMetaData_FieldDescription* t = tableEntry(fd.fieldName);
    if (t == nullptr) { std::printf("field %s missing from the struct\n", fd.fieldName); continue; }
    std::printf("field %s type %u/%u group %u/%u offset %u/%u length %u/%u\n", fd.fieldName,
                fd.fieldType, t->fieldType, fd.fieldGroupId, t->fieldGroupId, fd.fieldOffset,
                t->fieldOffset, fd.fieldLength, t->fieldLength);
  }
  const unsigned char* p = bytes.data() + sizeof h + sizeof(d[0]) * h.totalFields;
  for (uint32_t r = 0; r < h.totalRecords; ++r) {
    Rec rec;
    std::memset(&rec, 0, sizeof rec);
    if (DIRECT) {
      std::memcpy(&rec, p, h.metaRecordLength < sizeof rec ? h.metaRecordLength : sizeof rec);
      p += h.metaRecordLength;
    } else {
      const unsigned char* body = p;
      size_t length = h.metaRecordLength;
      uint64_t present = ~uint64_t{0};
      if (h.metaRecordLength == 0) {
        UniversalMetaData_ReferenceRecordHeader rh;
        std::memcpy(&rh, p, sizeof rh);
        length = rh.totalRecordLength;
        present = rh.fieldsPresentMask;
        std::printf("mask %" PRIu64 " ", present);
      }
      size_t at = h.metaRecordLength == 0 ? sizeof(UniversalMetaData_ReferenceRecordHeader) : 0;
      for (const auto& fd : d) {
        const bool hasBit = fd.fieldGroupId >= 1 && fd.fieldGroupId <= 64;
        if (h.metaRecordLength == 0 && hasBit && !(present >> (fd.fieldGroupId - 1) & 1)) continue;
        const size_t from = h.metaRecordLength == 0 ? at : fd.fieldOffset;
        const UniversalMetaData_FieldDescription* t = tableEntry(fd.fieldName);
        const size_t n = fd.fieldLength < t->fieldLength ? fd.fieldLength : t->fieldLength;
        std::memcpy(reinterpret_cast<char*>(&rec) + t->fieldOffset, body + from, n);
        at += fd.fieldLength;
      }
      p += length;
    }
    printRecord(rec);
  }
  STREAM_CHECK;
  return 0;
}
)CLIENT";

struct ClientCase {
  const char* name;
  const char* csv;  // under tests/data
  std::vector<std::string> args;
  const char* structName;
  bool direct;
  const char* print;   // body of printRecord(rec)
  const char* stream;  // extra statements at the end of main
  const char* expected;
};

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

const char PRINT_FIXED[] =
    R"(std::printf("%llu %lld %lld/%d %u %d %.*s\n", (unsigned long long)rec.big, (long long)(int64_t)rec.neg, (long long)rec.price.value, (int)rec.price.precision, rec.id, rec.delta, (int)sizeof rec.name, rec.name))";

const char EXPECTED_FIXED_VALUES[] =
    "12345678901 -12345678901 1250/2 7 -3 alpha\n"
    "0 1 -125/3 4294967 5 be\n"
    "18446744073709551615 -1 3/0 0 -12345678 \n";

const ClientCase CLIENT_CASES[] = {
    // Natural alignment equals the packed layout here: the struct reads records directly.
    {"natural", "client_fixed.csv", {"--cpp"}, "Tarquel_MetaDataRecord", true, PRINT_FIXED, "",
     "magic METADATA ok\n"
     "fields 6/6 recordLength 48 sizeof 48\n"
     "field big type 7/7 group 1/1 offset 0/0 length 8/8\n"
     "field neg type 6/6 group 1/1 offset 8/8 length 8/8\n"
     "field price type 9/9 group 1/1 offset 16/16 length 16/16\n"
     "field id type 5/5 group 1/1 offset 32/32 length 4/4\n"
     "field delta type 4/4 group 1/1 offset 36/36 length 4/4\n"
     "field name type 18/18 group 1/1 offset 40/40 length 8/8\n"},
    // --dense: same offsets, the string member is the widest text (5) where the
    // record field holds 8 bytes, and the struct is not padded to 8.
    {"dense", "client_fixed.csv", {"--cpp", "--dense", "--name", "Packed", "--magic", "PK"},
     "Packed_MetaDataRecord", true, PRINT_FIXED, "",
     "magic PK ok\n"
     "fields 6/6 recordLength 48 sizeof 45\n"
     "field big type 7/7 group 1/1 offset 0/0 length 8/8\n"
     "field neg type 6/6 group 1/1 offset 8/8 length 8/8\n"
     "field price type 9/9 group 1/1 offset 16/16 length 16/16\n"
     "field id type 5/5 group 1/1 offset 32/32 length 4/4\n"
     "field delta type 4/4 group 1/1 offset 36/36 length 4/4\n"
     "field name type 18/18 group 1/1 offset 40/40 length 8/5\n"},
    // --reorder: records widest first, the struct in heading order; values are
    // found by name.
    {"reorder", "client_fixed.csv", {"--cpp", "--reorder"}, "Tarquel_MetaDataRecord", false,
     PRINT_FIXED, "",
     "magic METADATA ok\n"
     "fields 6/6 recordLength 48 sizeof 48\n"
     "field big type 7/7 group 1/1 offset 0/0 length 8/8\n"
     "field neg type 6/6 group 1/1 offset 8/8 length 8/8\n"
     "field delta type 4/4 group 1/1 offset 16/36 length 4/4\n"
     "field id type 5/5 group 1/1 offset 20/32 length 4/4\n"
     "field price type 9/9 group 1/1 offset 24/16 length 16/16\n"
     "field name type 18/18 group 1/1 offset 40/40 length 8/8\n"},
    // Optional groups: variable-length records, absent groups read as zero;
    // the generated stream operator is used as well.
    {"groups", "groups.csv", {"--cpp"}, "Tarquel_MetaDataRecord", false,
     R"(std::printf("%u [%.8s] [%.16s] [%.8s] %u\n", rec.id, rec.street, rec.city, rec.note, rec.zip))",
     R"(Rec last; std::memset(&last, 0, sizeof last); last.id = 9; std::memcpy(last.city, "Oz", 3);
        std::ostringstream os; os << last; std::string text = os.str();
        for (char& ch : text) if (ch == '\0') ch = '.';
        std::printf("%s\n", text.c_str()))",
     "magic METADATA ok\n"
     "fields 5/5 recordLength 0 sizeof 40\n"
     "field id type 5/5 group 1/1 offset 16/0 length 4/4\n"
     "field street type 18/18 group 2/2 offset 20/4 length 8/8\n"
     "field city type 18/18 group 2/2 offset 28/12 length 16/16\n"
     "field note type 18/18 group 3/3 offset 44/28 length 8/8\n"
     "field zip type 5/5 group 0/1 offset 52/36 length 4/4\n"
     "mask 3 1 [Main] [Springfield] [] 12345\n"
     "mask 5 2 [] [] [hello] 0\n"
     "mask 7 3 [Elm] [] [x] 9\n"
     "mask 1 4 [] [] [] 0\n"},
};

}  // namespace

TEST(NarvelixClient, GeneratedHeadersReadTheirFiles) {
  for (const ClientCase& c : CLIENT_CASES) {
    SCOPED_TRACE(c.name);
    const std::string dir = scratchDir(std::string("Client_") + c.name);
    writeFile(dir + "/" + c.csv, readFile(std::string(NARVELIX_SOURCE_DIR) + "/tests/data/" + c.csv));
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", "data.metadata", c.csv});
    const RunResult conversion = runNarvelix(args, dir);
    ASSERT_EQ(conversion.status, std::string(c.name) == "groups" ? 1 : 0) << conversion.err;
    ASSERT_EQ(std::rename((dir + "/data.metadata.hpp").c_str(), (dir + "/generated.hpp").c_str()), 0);

    std::string source = replaceAll(CLIENT_SOURCE, "STRUCT_NAME", c.structName);
    source = replaceAll(source, "PRINT_RECORD", c.print);
    source = replaceAll(source, "STREAM_CHECK", *c.stream ? c.stream : "(void)0");
    source = replaceAll(source, "DIRECT", c.direct ? "true" : "false");
    writeFile(dir + "/client.cpp", source);
    std::vector<std::string> compile = {"-std=c++20", "-Wall", "-Wextra", "-I", NARVELIX_INCLUDE_DIR,
                                        "-I", dir, "client.cpp", NARVELIX_UTILS_LIB, "-lpthread",
                                        "-o", "client"};
#if defined(__SANITIZE_ADDRESS__)
    // The library of a sanitizer build needs the sanitizer runtimes.
    compile.insert(compile.begin(), "-fsanitize=address,undefined");
#endif
    const RunResult build = runProgram(NARVELIX_CXX, compile, dir);
    ASSERT_EQ(build.status, 0) << build.err;
    EXPECT_EQ(build.err, "");  // the generated header compiles without warnings

    const RunResult run = runProgram(dir + "/client", {"data.metadata"}, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    std::string expected = c.expected;
    if (std::string(c.name) != "groups") expected += EXPECTED_FIXED_VALUES;
    if (std::string(c.name) == "groups") {
      // String members are shown whole, terminators included (printed as '.').
      expected +=
          "[Tarquel_MetaDataRecord={ id=9 street=\"........\" city=\"Oz..............\" "
          "note=\"........\" zip=0 }]\n";
    }
    EXPECT_EQ(run.out, expected);
  }
}
