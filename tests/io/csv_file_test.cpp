// CSV reader behaviour: the in-place field splitter (quotes anywhere,
// backslash-quote, NUL as separator, the 128-pointer limit; fuzz_csv_split
// compares it with a reference splitter), separator/quote list limits, the
// heading line and column lookup, through files and in-memory packets.
#include "utils/io/read_file.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "io/read_file_test_support.hpp"

namespace {

using Fields = std::vector<std::string>;

struct SplitResult {
  int count;
  Fields stored;  // the fields that got a pointer, as C strings
};

// Splits a copy of `line` (with the extra byte the splitter writes) and reads
// back the stored pointers. Pointers past maxFields must stay untouched.
SplitResult splitLine(CSV_File& csv, const std::string& line, int maxFields = CSV_File::MAX_FIELDS) {
  std::vector<unsigned char> bytes(line.begin(), line.end());
  bytes.push_back('\n');
  std::vector<char*> pointers(static_cast<size_t>(maxFields > 0 ? maxFields : 0) + 4, nullptr);
  char canary = 0;
  for (size_t i = static_cast<size_t>(maxFields > 0 ? maxFields : 0); i < pointers.size(); ++i) {
    pointers[i] = &canary;
  }
  SplitResult r;
  r.count = csv.parseIntoFields(maxFields, pointers.data(), bytes.data(), line.size());
  const int stored = r.count < maxFields ? r.count : maxFields;
  for (int i = 0; i < stored; ++i) r.stored.emplace_back(pointers[static_cast<size_t>(i)]);
  for (size_t i = static_cast<size_t>(stored > 0 ? stored : 0); i < pointers.size(); ++i) {
    if (static_cast<int>(i) < maxFields) {
      EXPECT_EQ(pointers[i], nullptr) << "pointer " << i << " set for line " << line;
    } else {
      EXPECT_EQ(pointers[i], &canary) << "pointer " << i << " past maxFields written";
    }
  }
  return r;
}

TEST(CsvSplit, FieldRules) {
  struct Case {
    const char* label;
    std::string line;
    Fields fields;
  };
  const Case cases[] = {
      {"plain", "a,b,c", {"a", "b", "c"}},
      {"empty middle", "a,,b", {"a", "", "b"}},
      {"trailing separator", "a,", {"a", ""}},
      {"leading separator", ",a", {"", "a"}},
      {"only separators", ",,", {"", "", ""}},
      {"quoted separator", "\"x,y\"", {"x,y"}},
      {"quote mid field", "ab\"c,d\"e,f", {"abc,de", "f"}},
      {"runs joined", "\"a\"\"b\",c", {"ab", "c"}},
      {"doubled quote gives nothing", "\"a\"\"\"", {"a"}},
      {"backslash quote literal", "\"say \\\"hi\\\"\",x", {"say \"hi\"", "x"}},
      {"backslash outside quotes plain", "a\\,b", {"a\\", "b"}},
      {"text after closing quote in last field", "x,\"ab\"cd", {"x", "abcd"}},
      {"text after closing quote then field", "\"ab\"cd,e", {"abcd", "e"}},
      {"open quote runs to end", "a,\"b,c", {"a", "b,c"}},
      {"whitespace kept", " a , b ", {" a ", " b "}},
      {"single empty quoted", "\"\"", {""}},
      {"nul separates", std::string("a\0b,c", 5), {"a", "b", "c"}},
      {"cr inside line kept", "a\r,b", {"a\r", "b"}},
      {"backslash then quote that closes later", "\"a\\\\\"b", {"a\\\"b"}},
  };
  CSV_File csv(-1, true, ',');
  for (const Case& c : cases) {
    const SplitResult r = splitLine(csv, c.line);
    EXPECT_EQ(r.count, static_cast<int>(c.fields.size())) << c.label;
    EXPECT_EQ(r.stored, c.fields) << c.label;
  }
}

TEST(CsvSplit, EmptyLineWritesNothing) {
  CSV_File csv(-1);
  unsigned char line[2] = {'Q', 'Q'};
  char* pointers[2] = {nullptr, nullptr};
  EXPECT_EQ(csv.parseIntoFields(2, pointers, line, 0), 0);
  EXPECT_EQ(line[0], 'Q');
  EXPECT_EQ(pointers[0], nullptr);
}

TEST(CsvSplit, FieldsBeyondTheLimitAreCountedNotStored) {
  CSV_File csv(-1);
  for (int total : {127, 128, 129, 130}) {
    std::string line;
    for (int i = 0; i < total; ++i) {
      if (i > 0) line += ',';
      line += std::to_string(i);
    }
    const SplitResult r = splitLine(csv, line);
    EXPECT_EQ(r.count, total);
    ASSERT_EQ(r.stored.size(), static_cast<size_t>(total < 128 ? total : 128));
    EXPECT_EQ(r.stored.back(), std::to_string(r.stored.size() - 1));
  }
  const SplitResult none = splitLine(csv, "a,b,c", 0);
  EXPECT_EQ(none.count, 3);
  const SplitResult two = splitLine(csv, "a,\"b,c\",d", 2);
  EXPECT_EQ(two.count, 3);
  EXPECT_EQ(two.stored, (Fields{"a", "b,c"}));
}

TEST(CsvSplit, ListsFromStrings) {
  struct Case {
    const char* separators;
    const char* quotes;
    std::string line;
    Fields fields;  // as C strings
  };
  const Case cases[] = {
      {",;", "'", "a;b,'c;d'", {"a", "b", "c;d"}},
      {",", "", "\"a,b\"", {"\"a", "b\""}},  // quoting off
      {"|", "\"'", "'a\"|'|\"b'|\"", {"a\"|", "b'|"}},  // other quote is plain inside
      {",", "\"", std::string("a\0b,c", 5), {"a", "c"}},  // NUL is content here
      {"\t", "\"", "x\t\"y\tz\"", {"x", "y\tz"}},
      {",", "\\", "\\\\,a", {"", "a"}},  // a backslash quote never escapes itself
  };
  for (const Case& c : cases) {
    CSV_File csv(-1, c.separators, c.quotes, false);
    const SplitResult r = splitLine(csv, c.line);
    EXPECT_EQ(r.stored, c.fields) << c.separators << " " << c.quotes << " " << c.line;
  }
}

TEST(CsvLists, ConstructorLimitsAndWarnings) {
  struct Case {
    const char* separators;
    const char* quotes;
    uint8_t separatorLen;
    uint8_t quoteLen;
    std::string separatorList;  // all 8 bytes
    const char* warning;        // expected in the log, or null
  };
  const Case cases[] = {
      {",", "\"", 1, 1, std::string(",\0\0\0\0\0\0\0", 8), nullptr},
      {"1234567", "", 7, 0, std::string("1234567\0", 8), nullptr},
      {"12345678", "\"", 8, 1, std::string("1234567\0", 8),
       "Separator character list is too long: 12345678 limit is 8"},
      {",", "abcdefghij", 1, 8, std::string(",\0\0\0\0\0\0\0", 8),
       "Quote character list is too long: abcdefghij limit is 8"},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    CSV_File csv(-1, c.separators, c.quotes, true);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(csv.separatorListLen, c.separatorLen) << c.separators;
    EXPECT_EQ(csv.quoteListLen, c.quoteLen) << c.quotes;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(csv.separatorCharList), 8), c.separatorList);
    if (c.warning != nullptr) {
      EXPECT_NE(log.find(c.warning), std::string::npos) << log;
    } else {
      EXPECT_EQ(log.find("too long"), std::string::npos) << log;
    }
  }
  CSV_File single(-1, false, ';');
  EXPECT_EQ(single.separatorListLen, 2);
  EXPECT_EQ(single.separatorCharList[0], ';');
  EXPECT_EQ(single.separatorCharList[1], 0);
  EXPECT_EQ(single.quoteListLen, 1);
  EXPECT_EQ(single.quoteCharList[0], '"');
  EXPECT_EQ(single.readMode, Read_And_Process_File::READ_NORMAL);
  EXPECT_EQ(single.headerLine, nullptr);
  EXPECT_EQ(single.fieldTotal, 0);
  EXPECT_EQ(single.readsPerformed, 0u);

  // A quote list cut to 7 characters keeps the NUL as its eighth quote.
  CSV_File longQuotes(-1, ",", "abcdefgh", false);
  EXPECT_EQ(splitLine(longQuotes, std::string("x\0y,z\0,w", 8)).stored, (Fields{"xy,z", "w"}));
}

// Records the heading and content lines a CSV reader delivers.
class RecordingCsv : public CSV_File {
 public:
  using CSV_File::CSV_File;
  int parsedHeadingLine() override {
    ++headingCalls;
    headingTotalSeen = fieldTotal;
    return 0;
  }
  int processLine(const unsigned char* line, size_t length) override {
    char* cells[MAX_FIELDS];
    const int n = parseIntoFields(MAX_FIELDS, cells, const_cast<unsigned char*>(line), length);
    Fields row;
    for (int i = 0; i < n && i < MAX_FIELDS; ++i) row.emplace_back(cells[i]);
    rows.push_back(row);
    return 0;
  }
  Fields heading() const {
    Fields out;
    for (int i = 0; i < fieldTotal && i < MAX_FIELDS; ++i) out.emplace_back(fields[i]);
    return out;
  }
  int headingCalls = 0;
  int headingTotalSeen = -1;
  std::vector<Fields> rows;
};

TEST(CsvHeading, HeadingKeptSplitAndNotAContentRow) {
  struct Case {
    const char* label;
    std::string input;
    bool doHeader;
    Fields heading;
    std::vector<Fields> rows;
    int result;
  };
  const Case cases[] = {
      {"crlf heading", "name,\"qty, units\",price\r\n1,2,3\r\n", true,
       {"name", "qty, units", "price"}, {{"1", "2", "3"}}, 2},
      {"empty heading", "\nA,B\n", true, {}, {{"A", "B"}}, 2},
      {"no heading", "a,b\nc\n", false, {}, {{"a", "b"}, {"c"}}, 2},
      {"heading only", "x,y\n", true, {"x", "y"}, {}, 1},
      {"last line without lf", "h\nr1\nr2", true, {"h"}, {{"r1"}}, 2},
  };
  for (const Case& c : cases) {
    for (size_t chunk : {size_t{1}, size_t{3}, size_t{65536}}) {
      MemorySource src;
      src.data = c.input;
      src.chunk = chunk;
      RecordingCsv csv(-1, c.doHeader, ',');
      csv.auxData = &src;
      csv.setReadRoutine(&memoryReadRoutine);
      EXPECT_EQ(csv.readAndProcessCSV_File(), c.result) << c.label;
      EXPECT_EQ(csv.headingCalls, c.doHeader ? 1 : 0) << c.label;
      EXPECT_EQ(csv.heading(), c.heading) << c.label;
      EXPECT_EQ(csv.rows, c.rows) << c.label << " chunk=" << chunk;
      if (c.doHeader) {
        EXPECT_EQ(csv.headingTotalSeen, static_cast<int>(c.heading.size())) << c.label;
        EXPECT_NE(csv.headerLine, nullptr);
      }
    }
  }
}

TEST(CsvHeading, ReadsARealFile) {
  TempDir dir;
  const std::string name = dir.write("t.csv", "id;label\n1;\"a;b\"\n2;c\n");
  RecordingCsv csv(Read_And_Process_File::openFile(name.c_str(), Read_And_Process_File::READ_NORMAL),
                   true, ';');
  ASSERT_GE(csv.descriptor, 0);
  EXPECT_EQ(csv.readAndProcessCSV_File(), 3);
  EXPECT_EQ(csv.heading(), (Fields{"id", "label"}));
  EXPECT_EQ(csv.rows, (std::vector<Fields>{{"1", "a;b"}, {"2", "c"}}));
}

TEST(CsvHeading, GetFieldIndex) {
  std::string heading = "id,Name,name,id";
  for (int i = 4; i < 130; ++i) heading += ",c" + std::to_string(i);
  heading += "\n";
  RecordingCsv csv(-1, true, ',');
  std::vector<unsigned char> bytes(heading.begin(), heading.end());
  EXPECT_EQ(csv.processPacket(bytes.data(), bytes.size()), 1);
  EXPECT_EQ(csv.fieldTotal, 130);
  struct Case {
    const char* name;
    int index;
  };
  const Case cases[] = {
      {"id", 0},  {"Name", 1}, {"name", 2},  {"NAME", -1},  {"", -1},
      {"c127", 127}, {"c128", -1}, {"c129", -1}, {"i", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(csv.getFieldIndex(c.name), c.index) << c.name;
  EXPECT_EQ(csv.getFieldIndex(nullptr), -1);
}

TEST(CsvPacket, DeliversCompleteLinesWithHeadingFirst) {
  RecordingCsv csv(-1, true, ',');
  std::string first = "h1,h2\r\na,b\npartial";
  std::vector<unsigned char> bytes(first.begin(), first.end());
  EXPECT_EQ(csv.processPacket(bytes.data(), bytes.size()), 2);
  std::string second = "c,\"d\"\n";
  std::vector<unsigned char> more(second.begin(), second.end());
  EXPECT_EQ(csv.processPacket(more.data(), more.size()), 1);
  EXPECT_EQ(csv.headingCalls, 1);
  EXPECT_EQ(csv.heading(), (Fields{"h1", "h2"}));
  EXPECT_EQ(csv.rows, (std::vector<Fields>{{"a", "b"}, {"c", "d"}}));
}

}  // namespace
