// narvelix-logcat as a program: a file of binary records (the golden image,
// repeated past the tool's read size) prints as the reader renders it, from a
// file or standard input; a truncated file prints the records before the cut
// and names its offset; usage errors and unreadable files give their exit
// statuses.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_support.hpp"
#include "utils/logging/log_binary.hpp"

using namespace narvelix_test;

TEST(NarvelixLogcat, ExitStatusesAndOutput) {
  const std::string dir = scratchDir("Logcat");
  std::string image;
  const std::string golden = readFile(std::string(NARVELIX_SOURCE_DIR) + "/tests/golden/log_binary_records.bin");
  for (int i = 0; i < 40; ++i) image += golden;  // 86 KB: records cross the tool's 64 KB reads
  writeFile(dir + "/all.bin", image);
  writeFile(dir + "/cut.bin", image.substr(0, image.size() - 5));
  LogBinaryReader reader(LogBinaryReader::TEXT);
  std::string text;
  ASSERT_TRUE(reader.feed(reinterpret_cast<const unsigned char*>(image.data()), image.size(), text));
  size_t lastRecord = 0;  // where the image's last record starts
  for (size_t at = 0; at < image.size();) {
    uint32_t length = 0;
    std::memcpy(&length, image.data() + at + 4, sizeof length);
    ASSERT_GE(length, 48u);
    lastRecord = at;
    at += length;
  }
  LogBinaryReader before(LogBinaryReader::TEXT);
  std::string textBefore;
  before.feed(reinterpret_cast<const unsigned char*>(image.data()), lastRecord, textBefore);

  struct Case {
    std::string line;  // arguments of the tool
    int status;
    std::string out;  // "*": not compared
    std::string err;  // the start of standard error
  };
  const Case cases[] = {
      {"all.bin", 0, text, ""},
      {"--stdin <all.bin", 0, text, ""},
      {"cut.bin", 1, textBefore,
       "narvelix-logcat: cut.bin: truncated record at byte offset " + std::to_string(lastRecord) + ": " + std::to_string(image.size() - 5 - lastRecord) + " of " +
           std::to_string(image.size() - lastRecord) + " bytes\n"},
      {"missing.bin", 1, "", "narvelix-logcat: missing.bin: No such file or directory\n"},
      {"", 2, "", "narvelix-logcat: no file given\nusage: "},
      {"--bogus all.bin", 2, "", "narvelix-logcat: unknown option --bogus\n"},
      {"all.bin cut.bin", 2, "", "narvelix-logcat: more than one file given: cut.bin\n"},
      {"--help", 0, "*", ""},
  };
  for (const Case& c : cases) {
    const RunResult r = runShell(tool(NARVELIX_LOGCAT_EXE) + " " + c.line, dir);
    EXPECT_EQ(r.status, c.status) << c.line;
    if (c.out != "*") {
      EXPECT_TRUE(r.out == c.out) << c.line << ": " << r.out.size() << " bytes, not " << c.out.size();
    }
    EXPECT_EQ(c.err.empty() ? r.err : r.err.substr(0, c.err.size()), c.err) << c.line;
  }
  // The reader's raw mode is pinned by its own test; here only that --raw selects it.
  const RunResult raw = runShell(tool(NARVELIX_LOGCAT_EXE) + " --raw all.bin", dir);
  EXPECT_EQ(raw.out.rfind("record 0 offset=0\n", 0), 0u);
}
