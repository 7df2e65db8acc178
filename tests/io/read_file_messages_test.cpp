// Messages of the reader framework and the CSV reader on standard error: the
// io_trace lines (with the io trace level switched on for the test) and the
// io_warning lines that the default mask shows.
#include "utils/io/read_file.hpp"

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "io/read_file_test_support.hpp"
#include "utils/logging/logging_api.hpp"

namespace {

// Sets the io mask for one test and restores it afterwards.
class IoMaskScope {
 public:
  explicit IoMaskScope(uint32_t mask) : saved_(unsigned(io_logLevelMask)) { io_logLevelMask = mask; }
  ~IoMaskScope() { io_logLevelMask = saved_; }

 private:
  uint32_t saved_;
};

std::string captureStderr(const std::function<void()>& action) {
  testing::internal::CaptureStderr();
  action();
  return testing::internal::GetCapturedStderr();
}

TEST(ReadFileMessages, TraceAndWarningTexts) {
  TempDir dir;
  const std::string missing = dir.file("nope.csv");
  const std::string found = dir.write("here.csv", "x");
  struct Case {
    const char* label;
    uint32_t mask;
    std::function<void()> action;
    std::string expected;
  };
  const uint32_t traceAndUp = 1008;
  const uint32_t defaultIo = 896;
  const Case cases[] = {
      {"open failure", traceAndUp,
       [&] { Read_And_Process_File::openFile(missing.c_str(), Read_And_Process_File::READ_NORMAL); },
       "Cannot open file=\"" + missing + "\""},
      {"read error mid loop", traceAndUp,
       [] {
         MemorySource src;
         src.data = "a\nb\n";
         src.failAtOffset = 2;
         src.errorResult = -5;
         RecordingReader reader(&src);
         reader.readAndProcessTextLines(false);
       },
       "READ ERROR: -5"},
      {"zero-byte read shows at the default mask", defaultIo,
       [] {
         MemorySource src;
         src.data = std::string(70000, 'x') + "\n";
         RecordingReader reader(&src);
         reader.readAndProcessTextLines(false);
       },
       "Asked for zero bytes"},
      {"records processed", traceAndUp,
       [] {
         MemorySource src;
         src.data = "h\n1\n2\n";
         CSV_File csv(-1, true, ',');
         csv.auxData = &src;
         csv.setReadRoutine(&memoryReadRoutine);
         csv.readAndProcessCSV_File();
       },
       "3 records processed"},
      {"heading fields traced", traceAndUp,
       [] {
         CSV_File csv(-1, true, ',');
         unsigned char heading[] = "a,b\n";
         csv.processPacket(heading, 4);
       },
       "field 1 = b"},
      {"unknown column", traceAndUp,
       [] {
         CSV_File csv(-1, true, ',');
         unsigned char heading[] = "a,b\n";
         csv.processPacket(heading, 4);
         csv.getFieldIndex("zz");
       },
       "fieldTotal: 2 Cannot locate field: zz"},
      {"path candidates traced", traceAndUp,
       [&] {
         char path[256];
         Read_And_Process_File::findFileInPathsWithSuffixes(path, sizeof path, dir.path().c_str(),
                                                            "here", ".csv");
       },
       "Test path: \"" + found + "\""},
  };
  for (const Case& c : cases) {
    IoMaskScope mask(c.mask);
    const std::string log = captureStderr(c.action);
    EXPECT_NE(log.find(c.expected), std::string::npos) << c.label << "\n" << log;
  }
}

TEST(ReadFileMessages, TraceLinesStayOffByDefault) {
  IoMaskScope mask(896);
  const std::string log = captureStderr([] {
    Read_And_Process_File::openFile("/nonexistent/dir/file.csv", Read_And_Process_File::READ_NORMAL);
    CSV_File csv(-1, true, ',');
    unsigned char heading[] = "a,b\n";
    csv.processPacket(heading, 4);
    csv.getFieldIndex("zz");
  });
  EXPECT_EQ(log, "");
}

}  // namespace
