// Log managers and line layouts: every prefix combination against exact
// text, file managers (plain and with a mapped region), the file-name cache,
// the iovec merger, and the refusals of the decisions on empty lines and
// system-log routing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "utils/base/timed_mutex.hpp"
#include "utils/io/io_processor.hpp"
#include "utils/io/mapped_file.hpp"
#include "test_support.hpp"
#include "utils/logging/logging_api.hpp"

using narvelix_test::readFile;

// Level values are named bare here, as numbers for records and masks.
using namespace ZurLogLevelNames;

namespace {

SharedMemoryVariableNode managerTestNode("mgrtest", &DEFAULT_sharedMemoryVariableManager);

}  // namespace

TEST(LineLayout, EveryPrefixCombinationOnADaylightSavingDay) {
  narvelix_test::EnvScope zone("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  // 2026-03-29 01:30:00.123456789 UTC: 03:30 summer time, the day clocks
  // went forward.
  static const POSIXtimeInNanoseconds instant = 1774747800123456789ull;
  LogManager::setSourceForCustomLogTime(&instant);
  std::FILE* file = std::tmpfile();
  LogManager mgr(&managerTestNode, fileno(file), 0, "layout", 0, 4608, nullptr, 20000);
  mgr.setTimeAcquisitionRoutine(&LogManager::returnCustomLogTime);
  std::string expected;
  uint64_t thread = 0;
  for (unsigned mask = 0; mask < 64; ++mask) {
    LogMessageRecord* rec = new LogMessageRecord(&mgr, app_warning, "src/utils/io/reader.cpp", 77, 23);
    *rec << "m" << mask << "\n";
    rec->writeAsTextToBuffer(mask | LogMessageRecord::LOG_BINARY_FORMAT_STRING);
    thread = rec->threadId;
    delete rec;
    std::string line;
    if ((mask & 3) == 3) line += "2026/03/29 03:30:00.123456 ";
    if ((mask & 3) == 1) line += "2026/03/29 ";
    if ((mask & 3) == 2) line += "03:30:00.123456 ";
    if (mask & 4) line += std::to_string(thread) + " ";
    if (mask & 8) line += (mask & 16) ? "src/utils/io/reader.cpp:" : "src/utils/io/reader.cpp ";
    if (mask & 16) line += "77 ";
    if (mask & 32) line += "WARNING ";
    expected += line + "m" + std::to_string(mask) + "\n";
  }
  LogManager::setSourceForCustomLogTime(nullptr);
  EXPECT_EQ(narvelix_test::descriptorText(fileno(file)), expected);
  std::fclose(file);
}

TEST(LineLayout, ConsecutiveLinesShowTheirOwnSecondAndThread) {
  narvelix_test::EnvScope zone("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  // One thread, in order: the same second twice, the clock change to summer
  // time, another field of that second, the next day, another thread id.
  struct Row {
    POSIXtimeInNanoseconds instant;
    uint64_t thread;
    unsigned mask;
    const char* prefix;
  };
  const Row rows[] = {
      {1774745999999999999ull, 7, 7, "2026/03/29 01:59:59.999999 7 "},
      {1774745999000000500ull, 7, 7, "2026/03/29 01:59:59.000000 7 "},
      {1774746000000001000ull, 42, 7, "2026/03/29 03:00:00.000001 42 "},
      {1774746000000001000ull, 42, 2, "03:00:00.000001 "},
      {1774832400123456000ull, 42, 7, "2026/03/30 03:00:00.123456 42 "},
      {1774832400123456000ull, 7, 4, "7 "},
  };
  static POSIXtimeInNanoseconds instant = 0;
  LogManager::setSourceForCustomLogTime(&instant);
  std::FILE* file = std::tmpfile();
  LogManager mgr(&managerTestNode, fileno(file), 0, "seconds", 0, 4608, nullptr, 20000);
  mgr.setTimeAcquisitionRoutine(&LogManager::returnCustomLogTime);
  std::string expected;
  for (const Row& row : rows) {
    instant = row.instant;
    LogMessageRecord* rec = new LogMessageRecord(&mgr, app_warning, "f.cpp", 1, 5);
    rec->threadId = row.thread;
    *rec << "m\n";
    rec->writeAsTextToBuffer(row.mask);
    delete rec;
    expected += std::string(row.prefix) + "m\n";
  }
  LogManager::setSourceForCustomLogTime(nullptr);
  EXPECT_EQ(narvelix_test::descriptorText(fileno(file)), expected);
  std::fclose(file);
}

TEST(LineLayout, PiecesOfEveryShortLengthAreCopiedWhole) {
  // Text and numbers of 1 to 20 characters, many pieces to a line: gathered
  // in memory, and written directly (short lines of more than 8 pieces are
  // gathered first; a long one goes out as its pieces).
  const char letters[] = "abcdefghijklmnopqrst";
  std::FILE* file = std::tmpfile();
  LogManager direct(&managerTestNode, fileno(file), 0, "pieces", 0, 4608, nullptr, 20000);
  std::string written;
  uint64_t number = 0;
  for (size_t len = 1; len <= 20; ++len) {
    number = number * 10 + len % 10;
    const std::string text(letters, len), n = std::to_string(number), l = std::to_string(len);
    LOG_STREAM_OBJECT(rec);
    rec << text.c_str() << number << "|" << text.c_str() << number;
    const char* inMemory = nullptr;
    FORMAT_LOG_BUFFER(inMemory, rec);
    EXPECT_EQ(std::string(inMemory), text + n + "|" + text + n) << len;
    LOG_INTO(&direct, app_error) << text.c_str() << number << "|" << text.c_str() << number << "|" << len << "|" << len
                                 << LOG_ENDLINE;
    written += text + n + "|" + text + n + "|" + l + "|" + l + "\n";
  }
  const std::string longText(600, 'w');
  LOG_INTO(&direct, app_error) << longText.c_str() << 1 << "|" << 2 << "|" << 3 << "|" << 4 << "|" << 5
                               << LOG_ENDLINE;
  written += longText + "1|2|3|4|5\n";
  EXPECT_EQ(narvelix_test::descriptorText(fileno(file)), written);
  std::fclose(file);
}

TEST(LineLayout, TimePointArgumentShowsNanosecondsInLocalTime) {
  narvelix_test::EnvScope zone("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  LOG_STREAM_OBJECT(rec);
  // 2026-10-25 00:30 and 01:30 UTC: both read 02:30 on the clock.
  rec << AS_POSIX_NANOSECONDS(1792888200000000001ull) << " " << AS_POSIX_NANOSECONDS(1792891800999999999ull);
  const char* text = nullptr;
  FORMAT_LOG_BUFFER(text, rec);
  EXPECT_STREQ(text, "2026/10/25 02:30:00.000000001 2026/10/25 02:30:00.999999999");
}

TEST(LineLayout, GeneralConversionsNeverHonourStarOrN) {
  LOG_STREAM_OBJECT(rec);
  rec.setLogFormat("[%*d][%n][%5d][%-4x|][%08.3f][%.2s]");
  rec.addExplicitArg(int32_t{7});
  rec.addExplicitArg(int32_t{8});
  rec.addExplicitArg(int32_t{9});
  rec.addExplicitArg(uint32_t{255});
  rec.addExplicitArg(2.5);
  rec.addExplicitArg(AS_TEXT_BUFFER("abcdef", 6));
  const char* text = nullptr;
  FORMAT_LOG_BUFFER(text, rec);
  // '*' and %n consume their argument and show nothing; %s keeps its length.
  EXPECT_STREQ(text, "[][][    9][ff  |][0002.500][abcdef]");
}

TEST(LineLayout, EmptyLineIsNeverHandedOn) {
  std::FILE* file = std::tmpfile();
  LogManager mgr(&managerTestNode, fileno(file), 0, "empty", 0, 256, nullptr, 1000);
  const size_t blocks = mgr.getBufferManager()->getAvailableBlocks();
  for (size_t i = 0; i < blocks + 3; ++i) {
    LogMessageRecord* rec = new LogMessageRecord(&mgr, app_error, "f.cpp", 1, 5);
    size_t len = 99;
    EXPECT_EQ(rec->formatRecordAsText(0, &len, 0), nullptr);  // its block went back
    EXPECT_EQ(len, 0u);
    delete rec;
  }
  LOG_INTO(&mgr, app_error) << "after" << AS_PLAIN_TEXT;
  EXPECT_EQ(narvelix_test::descriptorText(fileno(file)), "after");
  std::fclose(file);
}

TEST(LogFiles, FileManagerWritesItsLogAndMapsItsRegion) {
  char dir[] = "/tmp/narvelix_logXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  struct Case {
    uint_fast8_t enableMap;
    bool expectAux;
  };
  for (const Case c : {Case{0, false}, Case{1, true}}) {
    LogManager* mgr = LogManager::newLogFileForComponent(&managerTestNode, "comp", FILENAME_ADD_DIR_PREFIX,
                                                         LogMessageRecord::LOG_ERROR_LEVEL, c.enableMap, 0, 200000, 0,
                                                         dir);
    ASSERT_NE(mgr, nullptr);
    const std::string name = std::string(dir) + "/comp.log";
    EXPECT_EQ(std::string(mgr->getLogFileName()), name);
    LOG_INTO(mgr, app_error) << "to file " << int(c.enableMap) << LOG_ENDLINE;
    struct stat st {};
    EXPECT_EQ(stat((name + "aux").c_str(), &st) == 0, c.expectAux);
    if (c.expectAux) {
      EXPECT_EQ(st.st_size, 200000 / 4096 * 4096 + 4096);
      // The region's header (with its magic number) lives in the file.
      EXPECT_NE(readFile(name + "aux").find("LOGCBFR"), std::string::npos);
    }
    delete mgr;
    unlink((name + "aux").c_str());
  }
  EXPECT_EQ(readFile(std::string(dir) + "/comp.log"), "ERROR to file 0\nERROR to file 1\n");
  unlink((std::string(dir) + "/comp.log").c_str());
  rmdir(dir);
}

TEST(LogFiles, RefusesACutNameAndAnUnopenableFile) {
  const std::string longDir(300, 'd');
  testing::internal::CaptureStderr();
  EXPECT_EQ(LogManager::newLogFileForComponent(&managerTestNode, "c", FILENAME_ADD_DIR_PREFIX, 0, 0, 0, 100000, 0,
                                               longDir.c_str()),
            nullptr);
  EXPECT_EQ(LogManager::newLogFileForComponent(&managerTestNode, "c", FILENAME_ADD_DIR_PREFIX, 0, 0, 0, 100000, 0,
                                               "/nonexistent/dir"),
            nullptr);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.find("log file name too long: "), 0u) << err;
  EXPECT_NE(err.find("failed to open log file: /nonexistent/dir/c.log\n"), std::string::npos) << err;
}

TEST(FileNameCache, RepeatedNamesComeFromTheCacheByAddress) {
  LogManager mgr(nullptr, -1, 0, "cache", 0, 256, nullptr, 1000);
  mgr.setStripLeadingDirectories(1);
  static const char a[] = "/x/y/a.cpp";
  static const char b[] = "/x/y/b.cpp";
  EXPECT_EQ(mgr.findCachedFileName(a).fileName, nullptr);
  EXPECT_EQ(std::string(mgr.pruneDirectoryPrefix(a, 10)), "y/a.cpp");
  EXPECT_EQ(std::string(mgr.pruneDirectoryPrefix(b, 10)), "y/b.cpp");
  const LogManager::FileNameCacheEntry hit = mgr.findCachedFileName(a);
  EXPECT_EQ(hit.fileName, a);
  EXPECT_EQ(std::string(hit.replacementText), "y/a.cpp");
  // A cached skip is honoured for the same address only.
  mgr.addCachedFileName(a, TextBlock_struct(a + 3, 7));
  EXPECT_EQ(std::string(mgr.pruneDirectoryPrefix(a, 10)), "y/a.cpp");
  char copy[sizeof a];
  std::memcpy(copy, a, sizeof a);
  mgr.setStripLeadingDirectories(2);
  EXPECT_EQ(std::string(mgr.pruneDirectoryPrefix(copy, 10)), "a.cpp");
  // Five other names push a out of the four entries.
  static const char names[5][8] = {"/p/1", "/p/2", "/p/3", "/p/4", "/p/5"};
  for (const char* n : names) mgr.pruneDirectoryPrefix(n, 4);
  EXPECT_EQ(mgr.findCachedFileName(a).fileName, nullptr);
}

TEST(CoalesceIovec, MergesOnlyTouchingElements) {
  char text[16] = "abcdefghijklmno";
  struct Case {
    std::vector<std::pair<int, int>> in;   // offset, length
    std::vector<std::pair<int, int>> out;
    uint32_t counted;
  };
  const Case cases[] = {
      {{}, {}, 0},
      {{{0, 3}}, {{0, 3}}, 1},
      {{{0, 3}, {3, 2}, {5, 1}}, {{0, 6}}, 3},
      {{{0, 3}, {4, 2}, {6, 1}, {9, 1}}, {{0, 3}, {4, 3}, {9, 1}}, 2},
      {{{4, 2}, {0, 4}}, {{4, 2}, {0, 4}}, 1},
  };
  for (const Case& c : cases) {
    std::vector<iovec> v;
    for (auto [off, len] : c.in) v.push_back(iovec{text + off, static_cast<size_t>(len)});
    const uint32_t before = coalesceCount;
    const uint_fast32_t n = coalesce_iovec(static_cast<uint_fast32_t>(v.size()), v.data());
    EXPECT_EQ(uint32_t(coalesceCount) - before, c.counted);
    ASSERT_EQ(n, c.out.size());
    for (size_t i = 0; i < n; ++i) {
      EXPECT_EQ(static_cast<char*>(v[i].iov_base), text + c.out[i].first);
      EXPECT_EQ(v[i].iov_len, static_cast<size_t>(c.out[i].second));
    }
  }
}

TEST(CopyAndWrite, OversizedDataIsCutToTheBlock) {
  std::FILE* file = std::tmpfile();
  LogManager mgr(&managerTestNode, fileno(file), 0, "copy", 0, 256, nullptr, 1000);
  const std::string big(300, 'z');
  testing::internal::CaptureStderr();
  EXPECT_EQ(mgr.copyAndWriteData(big.data(), big.size()), 256);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "TRUNCATED LENGTH 300 to 256\n");
  EXPECT_EQ(narvelix_test::descriptorText(fileno(file)), std::string(256, 'z'));
  std::fclose(file);
}

TEST(LogRoutes, SyslogAndStderrRoutesWriteTheLineOnceEach) {
  std::FILE* file = std::tmpfile();
  LogManager mgr(&managerTestNode, fileno(file), 0, "routes", LogMessageRecord::LOG_ERROR_LEVEL, 256, nullptr, 2000);
  testing::internal::CaptureStderr();
  LOG_INTO(&mgr, app_errorAndSyslog) << "to syslog" << LOG_ENDLINE;
  LOG_INTO(&mgr, app_errorAndStderr) << "to stderr" << LOG_ENDLINE;
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR to stderr\n");
  EXPECT_EQ(narvelix_test::descriptorText(fileno(file)), "ERROR to syslog\nERROR to stderr\n");
  std::fclose(file);
}

TEST(LogManagerOutput, ProcessorStatisticsCountTheLines) {
  std::FILE* file = std::tmpfile();
  LogManager mgr(&managerTestNode, fileno(file), 0, "stats", 0, 256, nullptr, 2000);
  ASSERT_NE(mgr.get_IO_Manager(), nullptr);
  LOG_INTO(&mgr, app_error) << "abc" << LOG_ENDLINE;  // written by this thread
  EXPECT_EQ(mgr.copyAndWriteData("xy\n", 3), 3);     // processed at once
  const IO_Processor_Statistics* stats = mgr.get_IO_Manager()->statistics;
  EXPECT_EQ(zur::statLoad(stats->packetsRead), 2u);
  EXPECT_EQ(zur::statLoad(stats->packetsProcessed), 2u);
  EXPECT_EQ(zur::statLoad(stats->bytesProcessed), 7u);
  EXPECT_EQ(narvelix_test::descriptorText(fileno(file)), "abc\nxy\n");
  LogManager memory(nullptr, -1, 0, "memory", 0, 256, nullptr, 2000);
  EXPECT_EQ(memory.get_IO_Manager(), nullptr);
  std::fclose(file);
}
