// The converter's rules: heading names and field groups, content flags, type
// inference, record layout, group rules of variable-length records and the
// limits of the format. Flags and inference are checked in-process through the
// Narvelix class; everything that shows in the output through the executable.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "apps/narvelix_test_util.hpp"
#include "utils/apps/narvelix/narvelix.hpp"

using namespace narvelix_test;
using SMV = SharedMemoryVariable;

namespace {

constexpr uint32_t NUL = Narvelix::HAD_NULL;
constexpr uint32_t NONULL = Narvelix::HAD_NONULL;
constexpr uint32_t QUOTE = Narvelix::HAD_QUOTE;
constexpr uint32_t DIGITS = Narvelix::HAD_NUMBERS;
constexpr uint32_t MINUS = Narvelix::HAD_MINUS;
constexpr uint32_t DOT = Narvelix::HAD_DECIMAL_POINT;
constexpr uint32_t LETTERS = Narvelix::HAD_LETTERS;
constexpr uint32_t SYMBOLS = Narvelix::HAD_SYMBOLS;
constexpr uint32_t PLUS = Narvelix::HAD_PLUS;

// Runs a converter in-process over csv; the metadata goes to dir/inproc.metadata.
// With twoReads the rows are observed only and encoded from a second read
// (the whole-line splitter's path), else kept in the row store.
struct InProcess {
  InProcess(const std::string& dir, const std::string& csv, bool twoReads = false)
      : input(dir + "/inproc.csv"), output(dir + "/inproc.metadata") {
    writeFile(input, csv);
    fd = ::open(input.c_str(), O_RDONLY);
    converter = new Narvelix(fd, output.c_str(), nullptr);
    if (twoReads) converter->encodeFromSecondRead();
    converter->readAndProcessCSV_File();
  }
  ~InProcess() { delete converter; }
  InProcess(const InProcess&) = delete;
  InProcess& operator=(const InProcess&) = delete;
  std::string input, output;
  int fd = -1;
  Narvelix* converter = nullptr;
};

}  // namespace

TEST(NarvelixScan, ContentFlagsOfOneField) {
  const std::string dir = scratchDir("ContentFlags");
  struct Case {
    const char* field;  // as written in the CSV
    uint32_t flags;
    uint32_t width;
  };
  const Case cases[] = {
      {"-12.5", NONULL | MINUS | DIGITS | DOT, 5},
      {"+-1", NONULL | PLUS | MINUS | SYMBOLS | DIGITS, 3},
      {"-+1", NONULL | PLUS | MINUS | SYMBOLS | DIGITS, 3},
      {"--1", NONULL | MINUS | SYMBOLS | DIGITS, 3},
      {"2020-01-02", NONULL | DIGITS | MINUS | SYMBOLS, 10},
      {"1.2.3", NONULL | DIGITS | DOT | SYMBOLS, 5},
      {"12 34", NONULL | DIGITS | SYMBOLS, 5},
      {"\"ab\"", NONULL | LETTERS, 2},
      {"\"a\\\"b\"", NONULL | LETTERS | QUOTE, 3},
      {"a_b:\xC3\xA9", NONULL | LETTERS | SYMBOLS, 6},
      {"+7", NONULL | PLUS | DIGITS, 2},
      {".", NONULL | DOT, 1},
      {"\"\"", NUL, 0},  // quotes around nothing: an empty field
  };
  for (const bool twoReads : {false, true}) {
    for (const Case& c : cases) {
      InProcess run(dir, std::string("h\n") + c.field + "\n", twoReads);
      EXPECT_EQ(run.converter->observedContent(0), c.flags) << c.field << " twoReads=" << twoReads;
      EXPECT_EQ(run.converter->maxWidth(0), c.width) << c.field << " twoReads=" << twoReads;
    }
  }
}

TEST(NarvelixScan, FlagsAndWidthsAccumulateOverRows) {
  const std::string dir = scratchDir("Accumulate");
  // A second sign in another row is not a second sign in one field; an empty
  // line is a row of empty fields that sets no flag; a short line leaves the
  // missing fields without HAD_NULL; fields past the heading are not kept.
  for (const bool twoReads : {false, true}) {
    InProcess run(dir, "a,b,c\r\n,-1,x\r\n\r\n42,+2\r\n7,3,yy,extra,more\r\n", twoReads);
    EXPECT_EQ(run.converter->observedContent(0), NUL | NONULL | DIGITS);
    EXPECT_EQ(run.converter->maxWidth(0), 2u);
    EXPECT_EQ(run.converter->observedContent(1), NONULL | DIGITS | MINUS | PLUS);
    EXPECT_EQ(run.converter->observedContent(2), NONULL | LETTERS);
    EXPECT_EQ(run.converter->maxWidth(2), 2u);
    EXPECT_EQ(run.converter->storedRows(), 4u);
  }
}

TEST(NarvelixLayout, InferTypeRules) {
  Narvelix converter(-1, "", nullptr);
  struct Case {
    uint32_t width, mask, type;
  };
  const Case cases[] = {
      {0, NUL, SMV::SMV_TYPE_NONE},
      {0, 0, SMV::SMV_TYPE_FIXED},  // never filled
      {9, NONULL | DIGITS, SMV::SMV_TYPE_UINT32},
      {9, NUL | NONULL | DIGITS, SMV::SMV_TYPE_UINT32},
      {10, NONULL | DIGITS, SMV::SMV_TYPE_UINT64},
      {400, NONULL | DIGITS, SMV::SMV_TYPE_UINT64},
      {9, NONULL | DIGITS | MINUS, SMV::SMV_TYPE_INT32},
      {10, NONULL | DIGITS | MINUS, SMV::SMV_TYPE_INT64},
      {1, NONULL | MINUS, SMV::SMV_TYPE_STRING},
      {3, NONULL | DIGITS | DOT, SMV::SMV_TYPE_FIXED},
      {3, NONULL | DIGITS | PLUS, SMV::SMV_TYPE_FIXED},
      {3, NONULL | DIGITS | MINUS | DOT, SMV::SMV_TYPE_FIXED},
      {1, NONULL | DOT, SMV::SMV_TYPE_FIXED},
      {1, NONULL | PLUS, SMV::SMV_TYPE_FIXED},
      {2, NONULL | QUOTE, SMV::SMV_TYPE_STRING},
      {2, NONULL | DIGITS | LETTERS, SMV::SMV_TYPE_STRING},
      {2, NONULL | DIGITS | SYMBOLS, SMV::SMV_TYPE_STRING},
      {2, NUL | NONULL | LETTERS, SMV::SMV_TYPE_STRING},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(converter.inferType(c.width, c.mask), c.type) << c.mask << " width " << c.width;
  }
}

TEST(NarvelixLayout, TypeAndLengthOfEachColumn) {
  const std::string dir = scratchDir("TypesAndLengths");
  struct Case {
    const char* values;  // column values, one per row, separated by '|'
    unsigned type, length;
  };
  const Case cases[] = {
      {"123456789", SMV::SMV_TYPE_UINT32, 4},   {"1234567890", SMV::SMV_TYPE_UINT64, 8},
      {"-12345678", SMV::SMV_TYPE_INT32, 4},    {"-123456789", SMV::SMV_TYPE_INT64, 8},
      {"-", SMV::SMV_TYPE_STRING, 8},           {"1.5", SMV::SMV_TYPE_FIXED, 16},
      {"+1", SMV::SMV_TYPE_FIXED, 16},          {"|", SMV::SMV_TYPE_STRING, 4},
      {"abcdefg", SMV::SMV_TYPE_STRING, 8},     {"abcdefgh", SMV::SMV_TYPE_STRING, 16},
      {"a|abcdefghijklmno", SMV::SMV_TYPE_STRING, 16}, {"|42", SMV::SMV_TYPE_UINT32, 4},
  };
  for (const Case& c : cases) {
    // A second column keeps an empty value from being an empty line.
    std::string csv = "col,z\n";
    for (const char* p = c.values;; ++p) {
      if (*p == '|' || *p == '\0') csv += ",1\n";
      if (*p == '\0') break;
      if (*p != '|') csv += *p;
    }
    const RunResult r = convertText(dir, csv);
    ASSERT_EQ(r.status, 0) << r.err;
    const MetadataFile m = parseMetadata(readFile(dir + "/out.metadata"));
    ASSERT_EQ(m.fields.size(), 2u) << c.values;
    EXPECT_EQ(m.fields[0].type, c.type) << c.values;
    EXPECT_EQ(m.fields[0].length, c.length) << c.values;
  }
}

TEST(NarvelixLayout, OffsetsFollowHeadingOrderOrWidth) {
  const std::string dir = scratchDir("Offsets");
  struct Case {
    std::vector<std::string> args;
    const char* csv;
    std::vector<std::string> names;
    std::vector<unsigned> offsets;
    unsigned recordLength;
  };
  const Case cases[] = {
      {{}, "a,b,c\n1,12345678901,2\n", {"a", "b", "c"}, {0, 4, 12}, 16},
      {{}, "a,b\n1,12345678901\n", {"a", "b"}, {0, 4}, 16},
      {{"--delete", "b"}, "a,b,c\n1,x,2\n", {"a", "c"}, {0, 4}, 8},
      // Widest first; equal widths keep heading order (at most 16 columns).
      {{"--reorder"}, "s,w,t\nabc,abcdefghijkl,xyz\n", {"w", "s", "t"}, {0, 16, 24}, 32},
      {{"--reorder"}, "n,x\n1,\n", {"n", "x"}, {0, 4}, 8},
      // A 16-character name keeps 15.
      {{}, "abcdefghijklmnop\n1\n", {"abcdefghijklmno"}, {0}, 8},
      // Every column deleted: no fields, records of no bytes.
      {{"--delete", "a"}, "a\n1\n2\n", {}, {}, 0},
  };
  for (const Case& c : cases) {
    const RunResult r = convertText(dir, c.csv, c.args);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string bytes = readFile(dir + "/out.metadata");
    const MetadataFile m = parseMetadata(bytes);
    ASSERT_EQ(m.fields.size(), c.names.size()) << c.csv;
    for (size_t i = 0; i < m.fields.size(); ++i) {
      EXPECT_EQ(m.fields[i].name, c.names[i]) << c.csv;
      EXPECT_EQ(m.fields[i].offset, c.offsets[i]) << c.csv;
      EXPECT_EQ(m.fields[i].group, 1u);
    }
    EXPECT_EQ(m.recordLength, c.recordLength) << c.csv;
    EXPECT_EQ(bytes.size(), 24 + 24 * m.fields.size() + m.totalRecords * c.recordLength) << c.csv;
  }
}

TEST(NarvelixLayout, ReorderWithManyColumnsKeepsEveryColumnOnce) {
  const std::string dir = scratchDir("ReorderMany");
  std::string heading, row;
  for (int i = 0; i < 40; ++i) {
    if (i != 0) {
      heading += ',';
      row += ',';
    }
    heading += 'c';
    heading += static_cast<char>('A' + i % 26);
    heading += static_cast<char>('a' + i / 26);
    row.append(static_cast<size_t>(1 + i % 3), 'x');
  }
  const RunResult r = convertText(dir, heading + "\n" + row + "\n", {"--reorder"});
  ASSERT_EQ(r.status, 0) << r.err;
  const MetadataFile m = parseMetadata(readFile(dir + "/out.metadata"));
  ASSERT_EQ(m.fields.size(), 40u);
  std::vector<std::string> names;
  unsigned offset = 0;
  for (const Description& d : m.fields) {
    names.push_back(d.name);
    EXPECT_EQ(d.offset, offset);
    offset += d.length;
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
  // Every field is an 8-byte string here, so the record is all of them.
  EXPECT_EQ(m.recordLength, 320u);
}

TEST(NarvelixHeading, NamesAndGroups) {
  const std::string dir = scratchDir("Headings");
  struct Case {
    const char* heading;
    const char* name;  // "" when the column is dropped
    unsigned group;
    bool variable;
    const char* message;  // expected ERROR/WARNING line, or ""
  };
  const Case cases[] = {
      {"#id", "id", 1, false, ""},
      {"Unit Price ($)", "Unit_Price_", 1, false, ""},
      {"a-b/c&d+e\tf", "a_b_c_d_e_f", 1, false, ""},
      {"abcdefghijklmnopqrst", "abcdefghijklmno", 1, false, ""},
      {"\xC3\xA9t\xC3\xA9", "t", 1, false, ""},
      {"?3note", "note", 3, true, ""},
      {"#?64last", "last", 64, true, ""},
      {"?257x", "x", 1, true, ""},
      {"?1x", "x", 1, true,
       "ERROR Using fieldGroup 1 for an optional field is not recommended; field=\"x\""},
      {"?note", "note", 0, true,
       "WARNING Optional field \"note\" has fieldGroup 0 outside 1..64; it is written in every record"},
      {"?65big", "big", 65, true,
       "WARNING Optional field \"big\" has fieldGroup 65 outside 1..64; it is written in every record"},
      {"?12345678901x", "x", 0, true,
       "WARNING Optional field \"x\" has fieldGroup 0 outside 1..64; it is written in every record"},
  };
  for (const Case& c : cases) {
    const RunResult r = convertText(dir, std::string("keep,") + c.heading + "\n1,2\n");
    ASSERT_EQ(r.status, 0) << c.heading << r.err;
    const MetadataFile m = parseMetadata(readFile(dir + "/out.metadata"));
    ASSERT_EQ(m.fields.size(), 2u) << c.heading;
    EXPECT_EQ(m.fields[1].name, c.name) << c.heading;
    EXPECT_EQ(m.fields[1].group, c.group) << c.heading;
    EXPECT_EQ(m.recordLength == 0, c.variable) << c.heading;
    std::vector<std::string> problems = linesWithLabel(r.err, "ERROR");
    const std::vector<std::string> warnings = linesWithLabel(r.err, "WARNING");
    problems.insert(problems.end(), warnings.begin(), warnings.end());
    EXPECT_EQ(joinLines(problems), *c.message ? std::string(c.message) + "\n" : "") << c.heading;
  }
  // A heading made only of removed characters drops the column.
  const RunResult r = convertText(dir, "a,($),b\n1,2,3\n");
  const MetadataFile m = parseMetadata(readFile(dir + "/out.metadata"));
  ASSERT_EQ(m.fields.size(), 2u) << r.err;
  EXPECT_EQ(m.fields[1].name, "b");
}

TEST(NarvelixRecords, FixedLengthFieldEncodings) {
  const std::string dir = scratchDir("FixedEncodings");
  const RunResult r = convertText(dir,
                                  "u,i,big,neg,price,s,blank\n"
                                  "7,-3,12345678901,-12345678901,12.50,abc,\n"
                                  ",,,,,,\n"
                                  "\"4\"\"2\",5,1,-1,-0.25,\"x,y\"\n");
  ASSERT_EQ(r.status, 0) << r.err;
  const MetadataFile m = parseMetadata(readFile(dir + "/out.metadata"));
  ASSERT_EQ(m.fields.size(), 7u);
  // Offsets: u 0, i 4, big 8, neg 16, price 24, s 40 (8), blank 48 (4) = 52 -> 56.
  ASSERT_EQ(m.recordLength, 56u);
  ASSERT_EQ(m.records.size(), 3u * 56);
  const std::string& rec = m.records;
  EXPECT_EQ(le32(rec, 0), 7u);
  EXPECT_EQ(static_cast<int32_t>(le32(rec, 4)), -3);
  EXPECT_EQ(le64(rec, 8), 12345678901u);
  EXPECT_EQ(static_cast<int64_t>(le64(rec, 16)), -12345678901);
  EXPECT_EQ(static_cast<int64_t>(le64(rec, 24)), 1250);
  EXPECT_EQ(le32(rec, 32), 2u);
  EXPECT_EQ(le32(rec, 36), 0u);
  EXPECT_EQ(rec.substr(40, 8), std::string("abc\0\0\0\0\0", 8));
  EXPECT_EQ(rec.substr(48, 8), std::string(8, '\0'));
  // The all-empty row: numbers 0, texts zero.
  EXPECT_EQ(rec.substr(56, 56), std::string(56, '\0'));
  // Quoted runs join ("4" "2" -> 42); a quoted separator stays in the text.
  EXPECT_EQ(le32(rec, 112), 42u);
  EXPECT_EQ(static_cast<int64_t>(le64(rec, 112 + 24)), -25);
  EXPECT_EQ(le32(rec, 112 + 32), 2u);
  EXPECT_EQ(rec.substr(112 + 40, 8), std::string("x,y\0\0\0\0\0", 8));
}

TEST(NarvelixRecords, GroupRulesOfVariableLengthRecords) {
  const std::string dir = scratchDir("GroupRules");
  struct Case {
    const char* row;
    unsigned recordBytes;  // totalRecordLength
    uint64_t mask;
    std::string body;      // the record after its header
    int status;
    const char* message;
  };
  // id (uint32, 4) | ?2a (8) ?2b (8) | ?3c (uint32, 4)
  const Case cases[] = {
      {"1,xa,xb,5", 40, 7, std::string("\1\0\0\0xa\0\0\0\0\0\0xb\0\0\0\0\0\0\5\0\0\0", 24), 0, ""},
      {"1,,,", 24, 1, std::string("\1\0\0\0\0\0\0\0", 8), 0, ""},
      {"1,xa,,", 32, 3, std::string("\1\0\0\0xa\0\0\0\0\0\0\0\0\0\0", 16), 0,
       "WARNING Row 0 field group 2 has had prior content but is missing column 2 name=\"b\"; "
       "zero-filled field will be output"},
      {"1,,xb,", 24, 1, std::string("\1\0\0\0\0\0\0\0", 8), 1,
       "ERROR Row 0 field group 2 has had content skipped before column 2 name=\"b\"; field must "
       "be deleted from output"},
      {"1,,,7", 24, 5, std::string("\1\0\0\0\7\0\0\0", 8), 0, ""},
  };
  for (const Case& c : cases) {
    const RunResult r = convertText(dir, std::string("id,?2a,?2b,?3c\n") + c.row + "\n");
    EXPECT_EQ(r.status, c.status) << c.row;
    const MetadataFile m = parseMetadata(readFile(dir + "/out.metadata"));
    ASSERT_EQ(m.fields.size(), 4u);
    EXPECT_EQ(m.recordLength, 0u);
    EXPECT_EQ(m.fields[0].offset, 16u);
    ASSERT_EQ(m.records.size(), c.recordBytes) << c.row;
    EXPECT_EQ(le16(m.records, 0), c.recordBytes) << c.row;
    EXPECT_EQ(static_cast<unsigned char>(m.records[2]), 1u);
    EXPECT_EQ(m.records.substr(3, 5), std::string(5, '\0'));
    EXPECT_EQ(le64(m.records, 8), c.mask) << c.row;
    EXPECT_EQ(m.records.substr(16), c.body) << c.row;
    std::vector<std::string> problems = linesWithLabel(r.err, "ERROR");
    const std::vector<std::string> warnings = linesWithLabel(r.err, "WARNING");
    problems.insert(problems.end(), warnings.begin(), warnings.end());
    EXPECT_EQ(joinLines(problems), *c.message ? std::string(c.message) + "\n" : "") << c.row;
  }
}

TEST(NarvelixRecords, GroupsWithoutMaskBitAreAlwaysWritten) {
  const std::string dir = scratchDir("GroupZero");
  const RunResult r = convertText(dir, "id,?n,?70m\n1,,\n2,5,6\n");
  EXPECT_EQ(r.status, 0) << r.err;
  const MetadataFile m = parseMetadata(readFile(dir + "/out.metadata"));
  ASSERT_EQ(m.fields.size(), 3u);
  EXPECT_EQ(m.fields[1].group, 0u);
  EXPECT_EQ(m.fields[2].group, 70u);
  // Both rows: header + 12 bytes of fields padded to 16.
  ASSERT_EQ(m.records.size(), 64u);
  EXPECT_EQ(le16(m.records, 0), 32u);
  EXPECT_EQ(le64(m.records, 8), 1u);
  EXPECT_EQ(m.records.substr(16, 16), std::string("\1\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(m.records.substr(48, 16), std::string("\2\0\0\0\5\0\0\0\6\0\0\0\0\0\0\0", 16));
}

TEST(NarvelixLimits, InputsTheFormatCannotHoldWriteNoFile) {
  const std::string dir = scratchDir("Limits");
  std::string wide;
  for (int i = 0; i < 129; ++i) wide += i ? ",c" : "c";
  struct Case {
    std::string csv;
    const char* error;
  };
  const Case cases[] = {
      {wide + "\n1\n", "ERROR Too many columns: 129 (at most 128)"},
      {"a,b\n" + std::string(40000, 'x') + ",1\n1," + std::string(40000, 'y') + "\n",
       "ERROR Record too long at column \"b\": length 80016 exceeds 65535"},
      {"?2a\n" + std::string(65519, 'x') + "\n",
       "ERROR Record too long at column \"a\": length 65536 exceeds 65535"},
  };
  for (const Case& c : cases) {
    std::remove((dir + "/out.metadata").c_str());
    const RunResult r = convertText(dir, c.csv, {"--cpp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(linesWithLabel(r.err, "ERROR").at(0), c.error);
    EXPECT_FALSE(fileExists(dir + "/out.metadata"));
    EXPECT_FALSE(fileExists(dir + "/out.metadata.hpp"));
  }
  // The largest record that fits is written.
  const RunResult r = convertText(dir, "a\n" + std::string(65526, 'x') + "\n");
  EXPECT_EQ(r.status, 0) << r.err;
  const MetadataFile m = parseMetadata(readFile(dir + "/out.metadata"));
  EXPECT_EQ(m.recordLength, 65528u);
  EXPECT_EQ(m.records.size(), 65528u);
}

// The header counts records in 32 bits: an input with more content rows than
// that is refused. Seen with the limit lowered to 3 (the real one needs 4 G rows).
TEST(NarvelixLimits, MoreRowsThanTheRecordCountHoldsWriteNoFile) {
  const std::string dir = scratchDir("RecordLimit");
  const std::string input = dir + "/rows.csv";
  const std::string output = dir + "/rows.metadata";
  for (const bool twoReads : {false, true}) {
    for (const int rows : {3, 4}) {
      SCOPED_TRACE(std::to_string(rows) + " rows, twoReads=" + std::to_string(twoReads));
      std::string csv = "a,?2b\n";
      for (int k = 0; k < rows; ++k) csv += std::to_string(k) + ",x\n";
      writeFile(input, csv);
      std::remove(output.c_str());
      const int fd = ::open(input.c_str(), O_RDONLY);
      Narvelix converter(fd, output.c_str(), nullptr);
      converter.setRecordLimit(3);
      if (twoReads) converter.encodeFromSecondRead();
      testing::internal::CaptureStderr();
      converter.readAndProcessCSV_File();
      const int header = converter.dump_CPP_structure((output + ".hpp").c_str());
      const std::string err = testing::internal::GetCapturedStderr();
      const bool refused = rows > 3;
      EXPECT_EQ(converter.getErrorIndication(), refused);
      EXPECT_EQ(fileExists(output), !refused);
      EXPECT_EQ(header, refused ? -1 : 0);
      const std::vector<std::string> errors = linesWithLabel(err, "ERROR");
      ASSERT_EQ(errors.size(), refused ? 2u : 0u) << err;
      if (refused) {
        EXPECT_EQ(errors[0],
                  "ERROR Too many content rows: more than 3, the most the 32-bit record count of a "
                  "metadata file holds");
      } else {
        EXPECT_EQ(parseMetadata(readFile(output)).totalRecords, 3u);
      }
      std::remove((output + ".hpp").c_str());
    }
  }
}

TEST(NarvelixRecords, InputsWithoutContent) {
  const std::string dir = scratchDir("NoContent");
  struct Case {
    const char* csv;
    size_t bytes;  // whole file; npos: no file
    unsigned fields;
  };
  const Case cases[] = {
      {"a,b,c\n", 24 + 3 * 24, 3},
      {"\n", 24, 0},
      {"", std::string::npos, 0},
      {"a,b", 24, 0},  // no complete line: nothing delivered, empty layout
  };
  for (const Case& c : cases) {
    std::remove((dir + "/out.metadata").c_str());
    const RunResult r = convertText(dir, c.csv);
    EXPECT_EQ(r.status, 0) << r.err;
    if (c.bytes == std::string::npos) {
      EXPECT_FALSE(fileExists(dir + "/out.metadata")) << c.csv;
      continue;
    }
    const std::string bytes = readFile(dir + "/out.metadata");
    EXPECT_EQ(bytes.size(), c.bytes) << c.csv;
    const MetadataFile m = parseMetadata(bytes);
    EXPECT_EQ(m.totalFields, c.fields);
    EXPECT_EQ(m.totalRecords, 0u);
  }
}

TEST(NarvelixLayout, ForcedTypesFromOverrides) {
  // Forced types cannot be given on the command line, only by a caller that
  // fills the override table itself.
  const std::string dir = scratchDir("ForcedTypes");
  Narvelix::ColumnOverrideSpecification overrides[3];
  std::strcpy(overrides[0].renameFrom, "digits");
  std::strcpy(overrides[0].fieldName, "fixed");
  overrides[0].forceType = SMV::SMV_TYPE_FIXED;
  std::strcpy(overrides[1].renameFrom, "nomatch");
  std::strcpy(overrides[1].fieldName, "text");  // matched by its new name
  overrides[1].forceType = SMV::SMV_TYPE_UINT64;
  std::strcpy(overrides[2].renameFrom, "odd");
  std::strcpy(overrides[2].fieldName, "odd");
  overrides[2].forceType = 99;  // no such type: a 4-byte text field
  Narvelix::ConvertOptions opt;
  opt.externalOverrides = overrides;
  opt.overrideCount = 3;

  const std::string input = dir + "/forced.csv";
  const std::string output = dir + "/forced.metadata";
  writeFile(input, "digits,text,odd\n42,17,abcdef\n");
  const int fd = ::open(input.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  {
    Narvelix converter(fd, output.c_str(), &opt);
    EXPECT_EQ(converter.readAndProcessCSV_File(), 2);
    EXPECT_FALSE(converter.getErrorIndication());
    EXPECT_EQ(converter.columnSpecification(0).forceType, SMV::SMV_TYPE_FIXED);
    EXPECT_EQ(converter.columnSpecification(1).forceType, SMV::SMV_TYPE_UINT64);
    EXPECT_EQ(converter.columnSpecification(2).forceType, SMV::SMV_TYPE_STRING);
  }  // the converter closes the descriptor
  const MetadataFile m = parseMetadata(readFile(output));
  ASSERT_EQ(m.fields.size(), 3u);
  EXPECT_EQ(m.fields[0].name, "fixed");
  EXPECT_EQ(m.fields[0].length, 16u);
  EXPECT_EQ(m.fields[1].type, static_cast<unsigned>(SMV::SMV_TYPE_UINT64));
  EXPECT_EQ(m.fields[2].length, 4u);
  ASSERT_EQ(m.recordLength, 32u);
  EXPECT_EQ(le64(m.records, 0), 42u);
  EXPECT_EQ(le32(m.records, 8), 0u);  // precision
  EXPECT_EQ(le64(m.records, 16), 17u);
  // The text is cut to the field, keeping its terminating zero.
  EXPECT_EQ(m.records.substr(24, 8), std::string("abc\0\0\0\0\0", 8));
}
