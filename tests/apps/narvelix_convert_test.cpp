// The converter's rules: heading names and field groups, content flags, type
// inference, record layout, group rules of variable-length records and the
// limits of the format, checked in-process through the Narvelix class (what
// shows in the output of the executable is in narvelix_runs_test.cpp).
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "test_support.hpp"
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

// The header counts records in 32 bits: an input with more content rows than
// that is refused. Seen with the limit lowered to 3 (the real one needs 4 G rows).
TEST(NarvelixOutput, MoreRowsThanTheRecordCountHoldsWriteNoFile) {
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
      const std::string problems = problemLines(err);
      if (refused) {
        EXPECT_EQ(problems.rfind("ERROR Too many content rows: more than 3, the most the 32-bit record count of a "
                                 "metadata file holds\nERROR ",
                                 0),
                  0u)
            << problems;
      } else {
        EXPECT_EQ(problems, "");
        EXPECT_EQ(dumpOf(output, "--head 0"), "variable records 3, a 1 UINT32 16 4, b 2 STRING 20 8\na,b\n");
      }
      std::remove((output + ".hpp").c_str());
    }
  }
}

TEST(NarvelixOutput, ForcedTypesFromOverrides) {
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

  // The text is cut to the field, keeping its terminating zero, in fixed-
  // and in variable-length records (an optional group makes them variable).
  const std::pair<std::string, std::string> runs[] = {
      {"digits,text,odd\n42,17,abcdef\n",
       "fixed 32 records 1, fixed 1 FIXED 0 16, text 1 UINT64 16 8, odd 1 STRING 24 4\nfixed,text,odd\n42,17,abc\n"},
      {"digits,text,odd,?2g\n42,17,abcdef,1\n",
       "variable records 1, fixed 1 FIXED 16 16, text 1 UINT64 32 8, odd 1 STRING 40 4, g 2 UINT32 44 4\n"
       "fixed,text,odd,g\n42,17,abc,1\n"},
  };
  for (const auto& [csv, dumped] : runs) {
    const std::string input = writeFile(dir + "/forced.csv", csv);
    const std::string output = dir + "/forced.metadata";
    Narvelix converter(::open(input.c_str(), O_RDONLY), output.c_str(), &opt);  // closes the descriptor
    EXPECT_EQ(converter.readAndProcessCSV_File(), 2);
    EXPECT_FALSE(converter.getErrorIndication());
    EXPECT_EQ(converter.columnSpecification(0).forceType, SMV::SMV_TYPE_FIXED);
    EXPECT_EQ(converter.columnSpecification(1).forceType, SMV::SMV_TYPE_UINT64);
    EXPECT_EQ(converter.columnSpecification(2).forceType, SMV::SMV_TYPE_STRING);
    EXPECT_EQ(dumpOf(output), dumped);
  }
}

// NARVELIX_THREADS lowers the processor count when it is a number from 1;
// anything else leaves it.
TEST(NarvelixThreads, EnvironmentLowersTheProcessorCount) {
  ::unsetenv("NARVELIX_THREADS");
  bool requested = true;
  const unsigned cores = Narvelix::threadsToUse(&requested);
  EXPECT_FALSE(requested);
  EXPECT_GE(cores, 1u);
  EXPECT_LE(cores, Narvelix::MAX_THREADS);
  const struct {
    const char* value;
    unsigned threads;
    bool requested;
  } cases[] = {{"1", 1, true}, {"2", std::min(2u, cores), true}, {"999", cores, true},
               {"0", cores, false}, {"-3", cores, false}, {"2x", cores, false}, {"", cores, false}};
  for (const auto& c : cases) {
    ::setenv("NARVELIX_THREADS", c.value, 1);
    EXPECT_EQ(Narvelix::threadsToUse(&requested), c.threads) << c.value;
    EXPECT_EQ(requested, c.requested) << c.value;
  }
  ::unsetenv("NARVELIX_THREADS");
}
