// The dump renderings: fixed-point and CSV cell formatting, and the
// narvelix-dump tool run on hand-built files
// (golden CSV and description texts), with --head, usage errors and damaged
// files giving one clear stderr line and the documented exit status.
#include "utils/metadata/metadata_dump.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "metadata/metadata_file_builder.hpp"
#include "test_support.hpp"

using namespace metadata_test;
using namespace narvelix_test;

namespace {

std::string fixedText(int64_t value, uint32_t precision) {
  char buffer[METADATA_MAX_NUMBER_TEXT];
  return std::string(buffer, formatFixedPointText(buffer, value, precision));
}

std::string csvCell(const std::string &text) {
  std::string out(2 * text.size() + 2, '\0');
  out.resize(static_cast<std::size_t>(formatCsvCell(out.data(), text.data(), text.size()) - out.data()));
  return out;
}

// Runs narvelix-dump with arguments (already shell-quoted where needed).
RunResult runDump(const std::string &arguments) {
  return runShell(tool(NARVELIX_DUMP_EXE) + " " + arguments, NARVELIX_BINARY_DIR);
}

}  // namespace

TEST(MetaDataDump, FixedPointKeepsExactlyItsPrecision) {
  const struct {
    int64_t value;
    uint32_t precision;
    const char *text;
  } cases[] = {
      {1250, 2, "12.50"},   {-5, 2, "-0.05"},    {7, 0, "7"},          {0, 0, "0"},
      {0, 3, "0.000"},      {-3, 0, "-3"},       {5, 1, "0.5"},        {75, 2, "0.75"},
      {-25, 2, "-0.25"},    {100, 2, "1.00"},    {123456, 15, "0.000000000123456"},
      {INT64_MIN, 0, "-9223372036854775808"},    {INT64_MAX, 18, "9.223372036854775807"},
      {INT64_MIN, 18, "-9.223372036854775808"},  {1, 18, "0.000000000000000001"},
  };
  for (const auto &c : cases) EXPECT_EQ(fixedText(c.value, c.precision), c.text) << c.value;
}

TEST(MetaDataDump, CsvCellsQuoteOnlyWhenNeeded) {
  const struct {
    const char *text;
    const char *cell;
  } cases[] = {
      {"plain", "plain"},         {"", ""},
      {"a,b", "\"a,b\""},         {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"\"", "\"\"\"\""},         {"line\nbreak", "\"line\nbreak\""},
      {"cr\r", "\"cr\r\""},       {"semi;colon 'q'", "semi;colon 'q'"},
      {" padded ", " padded "},
  };
  for (const auto &c : cases) EXPECT_EQ(csvCell(c.text), c.cell) << c.text;
}

TEST(MetaDataDump, ToolPrintsRecordsAsCsv) {
  const struct {
    const char *name;
    FileBuilder file;
  } cases[] = {{"fixed", sampleFixedFile()}, {"variable", sampleVariableFile()}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = writeTestFile(std::string("dump_") + c.name + ".metadata", c.file.bytes);
    RunResult run = runDump(path);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    expectGolden(run.out, std::string("dump_") + c.name + ".csv");
    run = runDump("--describe " + path);
    EXPECT_EQ(run.status, 0) << run.err;
    expectGolden(run.out, std::string("dump_") + c.name + "_describe.txt");
  }
}

TEST(MetaDataDump, HeadLimitsRowsAndStandardInputReads) {
  const std::string path = writeTestFile("dump_head.metadata", sampleVariableFile().bytes);
  const struct {
    const char *arguments;
    int newlines;  // heading, rows, and the quoted line break inside record 0
  } cases[] = {{"--head 0", 1}, {"--head 2", 4}, {"--head=3", 5}, {"--head 99", 6}, {"", 6}};
  for (const auto &c : cases) {
    const RunResult run = runDump(std::string(c.arguments) + " " + path);
    EXPECT_EQ(run.status, 0) << c.arguments << run.err;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), c.newlines)
        << c.arguments << "\n" << run.out;
  }
  // Also through standard input, redirected from the file (mapped) and from a
  // pipe (read into memory).
  const std::string direct = runDump(path).out;
  const RunResult redirected = runDump("--stdin < " + path);
  EXPECT_EQ(redirected.status, 0) << redirected.err;
  EXPECT_EQ(redirected.out, direct);
  const RunResult piped = runShell("cat " + path + " | " + tool(NARVELIX_DUMP_EXE) + " --stdin", NARVELIX_BINARY_DIR);
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.out, direct);
}

TEST(MetaDataDump, UsageErrorsExplainAndExitTwo) {
  const struct {
    const char *arguments;
    const char *message;
  } cases[] = {
      {"", "narvelix-dump: no file given\n"},
      {"--bogus x.metadata", "narvelix-dump: unknown option --bogus\n"},
      {"--head", "narvelix-dump: --head needs a row count\n"},
      {"--head -1 x.metadata", "narvelix-dump: --head needs a row count, not -1\n"},
      {"--head 99999999999999999999 x", "narvelix-dump: --head needs a row count, not 9999"},
      {"a.metadata b.metadata", "narvelix-dump: more than one file given: b.metadata\n"},
  };
  for (const auto &c : cases) {
    const RunResult run = runDump(c.arguments);
    EXPECT_EQ(run.status, 2) << c.arguments;
    EXPECT_EQ(run.err.rfind(c.message, 0), 0u) << c.arguments << "\n" << run.err;
    EXPECT_NE(run.err.find("usage: narvelix-dump"), std::string::npos);
    EXPECT_EQ(run.out, "");
  }
  const RunResult help = runDump("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: narvelix-dump", 0), 0u);
}

TEST(MetaDataDump, BadFilesGiveOneLineAndExitOne) {
  FileBuilder truncated = sampleFixedFile();
  truncated.bytes.resize(30);
  FileBuilder crazyPrecision = sampleFixedFile();
  crazyPrecision.put32(24 + 6 * 24 + 56 + 24 + 8, 40);  // record 1 price
  const struct {
    const char *name;
    std::vector<uint8_t> bytes;
    const char *message;  // after "narvelix-dump: <path>: "
    bool partialOutput;
  } cases[] = {
      {"truncated", truncated.bytes, "truncated field descriptions: 6 fields need 168 bytes, file has 30\n", false},
      {"precision", crazyPrecision.bytes, "record 1 field 'price': fixed-point precision 40 is more than 18\n", true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = writeTestFile(std::string("dump_bad_") + c.name + ".metadata", c.bytes);
    const RunResult run = runDump(path);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "narvelix-dump: " + path + ": " + c.message);
    if (!c.partialOutput) {
      EXPECT_EQ(run.out, "");
    }
  }
  const RunResult missing = runDump("/nonexistent/file.metadata");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err,
            "narvelix-dump: /nonexistent/file.metadata: cannot open: No such file or directory\n");
}
