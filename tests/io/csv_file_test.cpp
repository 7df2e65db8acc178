// CSV reader behaviour: separator/quote list limits, the heading line and
// column lookup, through the read loop and in-memory packets. The field
// splitter itself is compared with a reference splitter by fuzz_csv_split,
// whose corpus holds the field rules (quotes anywhere, backslash-quote, NUL as
// separator, other lists, the 128-pointer limit); ctest replays it.
#include "utils/io/read_file.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "io/read_file_test_support.hpp"

namespace {

using Fields = std::vector<std::string>;

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
  // A quote list cut to 7 characters keeps the NUL as its eighth quote.
  CSV_File longQuotes(-1, ",", "abcdefgh", false);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(longQuotes.quoteCharList), 8), std::string("abcdefg\0", 8));
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
      {"id", 0}, {"Name", 1}, {"name", 2}, {"NAME", -1}, {"", -1}, {"c127", 127}, {"c128", -1}, {"i", -1}, {nullptr, -1},
  };
  for (const Case& c : cases) EXPECT_EQ(csv.getFieldIndex(c.name), c.index) << (c.name ? c.name : "null");
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
