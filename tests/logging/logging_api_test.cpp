// Behaviour of log statements: the enabling rule, level values, severity
// labels, value capture into the record (percent doubling, argument overflow),
// the rendered text line, splitting long texts, and the statement forms.
#include "utils/logging/logging_api.hpp"

#include "test_support.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

// Level values are named bare here, as numbers for records and masks.
using namespace ZurLogLevelNames;

namespace {

SharedMemoryVariableNode testNode("logtest", &DEFAULT_sharedMemoryVariableManager);

// A manager writing into an unnamed temporary file (directly, or through its
// own thread); text() returns all that was written so far.
class CapturedManager {
 public:
  explicit CapturedManager(uint32_t prefixMask = 0xFFFFFFFFu, uint32_t maxLineLen = LogManager::MAX_LOG_LINE_LENGTH,
                           uint_fast8_t useThread = 0)
      : file(std::tmpfile()),
        mgr(&testNode, fileno(file), useThread, "test", prefixMask, maxLineLen, nullptr, 4 * (maxLineLen + 20) + 84) {}
  ~CapturedManager() { std::fclose(file); }
  LogManager* get() { return &mgr; }
  std::string text() { return narvelix_test::descriptorText(fileno(file)); }

 private:
  std::FILE* file;
  LogManager mgr;
};

// Restores the component masks after a test changes them.
class MaskGuard {
 public:
  MaskGuard() : app(unsigned(app_logLevelMask)), io(unsigned(io_logLevelMask)) {}
  ~MaskGuard() {
    app_logLevelMask = app;
    io_logLevelMask = io;
  }

 private:
  unsigned app;
  unsigned io;
};

// A record big enough to be a problem on the test's stack frame twice over.
struct RecordOnHeap {
  explicit RecordOnHeap(LogManager* mgr, uint32_t level = app_error)
      : rec(new LogMessageRecord(mgr, level, "src/x/y.cpp", 42, 11)) {}
  ~RecordOnHeap() { delete rec; }
  LogMessageRecord* rec;
};

}  // namespace

TEST(LogEnabling, SeverityBitsMustAllBeEnabledAndRoutingBitsAreIgnored) {
  struct Case {
    uint32_t mask;
    uint32_t disable;
    uint32_t level;
    bool enabled;
  };
  const Case cases[] = {
      {960, 0, app_info, true},
      {960 & ~64u, 0, app_info, false},
      {960, 0, app_debug, false},
      {960, 0, app_warningAndStderr, true},
      {896, 0, app_warningAndSyslog, true},
      {960, 0, app_none, true},
      {0, 0, 3, true},              // routing bits only
      {960, 0, app_userInfo1, false},  // info set, user level 1 not
      {960 | 2048, 0, app_userInfo1, true},
      {2147483647u, 0, app_userLevel6, true},
      {960, 256, app_error, false},  // compile-time disabled
      {960, 256, app_warning, true},
      {960, 2, app_warningAndStderr, false},  // the disable mask sees routing bits too
  };
  for (const Case& c : cases) {
    EXPECT_EQ(zurLogEnabledFor(c.mask, c.disable, c.level), c.enabled)
        << "mask=" << c.mask << " disable=" << c.disable << " level=" << c.level;
  }
}

TEST(SeverityLabel, LowestStandardSeverityWins) {
  struct Case {
    uint32_t level;
    const char* label;
    const char* err = "";
  };
  const Case cases[] = {
      {0, "USER"},     {1024, "USER"},  {16, "TRACE"},         {32, "DEBUG"},       {64, "INFO"},
      {128, "WARNING"}, {130, "WARNING"}, {256, "ERROR"},      {259, "ERROR"},      {512, "FATAL"},
      {2112, "INFO"},  {8256, "INFO"},  {384, "WARNING"},      {2080, "DEBUG"},     {4096 | 16, "TRACE"},
      {16384, "UNKNOWN"},  // user level 4 (slot 15) has no label unless one is defined
      {65536, "UNKNOWN", "getSeverityLabel: refused level=65536 subscript=39\n"},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_STREQ(LogMessageRecord::getSeverityLabel(c.level), c.label) << c.level;
    const TextBlock_struct t = LogMessageRecord::getSeverityLabelWithLength(c.level);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::string(t.textBfr, t.bfrLen), c.label) << c.level;
    EXPECT_EQ(err, std::string(c.err) + c.err) << c.level;
  }
}

TEST(LogRecord, OverflowDropsArgumentsPastTheLimitAndReports) {
  CapturedManager out(0);
  RecordOnHeap r(out.get());
  for (uint32_t i = 0; i < LogMessageRecord::LOG_MAX_ARGUMENT_TOTAL; ++i) *r.rec << i;
  testing::internal::CaptureStderr();
  *r.rec << 123456u;
  *r.rec << -5;
  *r.rec << "tail";
  *r.rec << AS_HEXADECIMAL_BUFFER("\x0a\xff", 2, false);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "LogMessageRecord overflowEventCount=1 maxArgumentTotal=3600 location=\"src/x/y.cpp:42\" argument=123456\n"
            "LogMessageRecord overflowEventCount=2 maxArgumentTotal=3600 location=\"src/x/y.cpp:42\" argument=-5\n"
            "LogMessageRecord overflowEventCount=3 maxArgumentTotal=3600 location=\"src/x/y.cpp:42\" argument=tail\n"
            "LogMessageRecord overflowEventCount=4 maxArgumentTotal=3600 location=\"src/x/y.cpp:42\" argument=0AFF\n");
  EXPECT_EQ(r.rec->getArgCount(), 3600u);
  EXPECT_EQ(r.rec->getArgCountExceeded(), 4u);
  EXPECT_EQ(r.rec->getGeneratedOffset(), 3600u * 2);
  // The record is still written, with the kept values only.
  r.rec->writeAsTextToBuffer(0);
  const std::string line = out.text();
  EXPECT_EQ(line.substr(0, 6), "012345");
  EXPECT_EQ(line.substr(line.size() - 4), "3599");
}

TEST(LogRecord, LongTextIsCutAtTheFormatLineSize) {
  CapturedManager out(0);
  RecordOnHeap r(out.get());
  std::string big(70000, 'a');
  *r.rec << big.c_str() << 5u;
  EXPECT_EQ(r.rec->getGeneratedOffset(), LogMessageRecord::GENERATED_FORMAT_LINE_SIZE - 1);
  EXPECT_EQ(r.rec->getArgCount(), 0u);  // no room left for the conversion
}

TEST(LogRender, ValuesFormatsAndLineLimits) {
  struct Case {
    void (*fill)(LogMessageRecord&);
    std::string expected;
    uint32_t maxLineLen = LogManager::MAX_LOG_LINE_LENGTH;
    const char* err = "";
  };
  static const unsigned char bytes[3] = {0x0a, 0xbc, 0xff};
  const Case cases[] = {
      {[](LogMessageRecord& r) { r << int32_t{-2147483647 - 1}; }, "-2147483648"},
      {[](LogMessageRecord& r) { r << uint32_t{4294967295u}; }, "4294967295"},
      {[](LogMessageRecord& r) { r << int64_t{-9223372036854775807LL - 1}; }, "-9223372036854775808"},
      {[](LogMessageRecord& r) { r << uint64_t{18446744073709551615ULL}; }, "18446744073709551615"},
      {[](LogMessageRecord& r) { r << static_cast<size_t>(12) << static_cast<long>(-3) << 4ul; }, "12-34"},
      {[](LogMessageRecord& r) { r << static_cast<int16_t>(-7) << static_cast<uint8_t>(200); }, "-7200"},
      {[](LogMessageRecord& r) { r << 'q' << true; }, "q1"},
      {[](LogMessageRecord& r) { r << 0.1 << " " << 1.5f << " " << -2.0; }, "0.1 1.5 -2.0"},
      // Beyond the 64-bit scaled range the C library formats the value.
      {[](LogMessageRecord& r) { r << 1e20 << " " << -3e15; }, "1e+20 -3e+15"},
      {[](LogMessageRecord& r) { r << AS_TEXT_BUFFER("abcdef", 3); }, "abc"},
      {[](LogMessageRecord& r) { r << AS_HEXADECIMAL_BUFFER(bytes, 3, true); }, "0abcff"},
      {[](LogMessageRecord& r) { r << AS_HEXADECIMAL_BUFFER(bytes, 3, false); }, "0ABCFF"},
      {[](LogMessageRecord& r) { r << AS_ESCAPED_TEXT_BUFFER("a\"b\n\t\\%", 7); }, "a\\\"b\\n\\t\\\\%"},
      {[](LogMessageRecord& r) { r << AS_ESCAPED_TEXT_CHARACTER('\0'); }, "\\0"},
      {[](LogMessageRecord& r) { r << AS_FIXED_POINT(12345, 2) << " " << AS_FIXED_POINT(-5, 3); }, "123.45 -0.005"},
      {[](LogMessageRecord& r) { r << VariableFixedPointValue{150, 2} << " " << VariableFixedPointValue{7, 0}; },
       "1.50 7."},
      {[](LogMessageRecord& r) { r << EscapedTextBlock_struct("a;b\n", 4, ";", "s"); }, "a\\sb\n"},
      {[](LogMessageRecord& r) { r << std::string_view("view") << std::string("str"); }, "viewstr"},
      {[](LogMessageRecord& r) { r << app_error; }, "256"},
      // Text is copied at once, every '%' doubled in the format line.
      {[](LogMessageRecord& r) {
         std::string text = "100% done, 5%% left";
         r << text.c_str() << 7u << "%";
         text.assign(text.size(), 'x');
       },
       "100% done, 5%% left7%"},
      {[](LogMessageRecord& r) { r << "\n"; }, "\n"},
      {[](LogMessageRecord&) {}, ""},
      {[](LogMessageRecord& r) {
         r.setLogFormat("[%5d|%-4u|%08.3f|%x|%X|%c|%s]");
         r.addExplicitArg(int32_t{42});
         r.addExplicitArg(uint32_t{7});
         r.addExplicitArg(3.14159);
         r.addExplicitArg(AS_HEXADECIMAL_BUFFER("\x01\x02", 2, true));
         r.addExplicitArg(AS_HEXADECIMAL_BUFFER("\xab", 1, true));
         r.addExplicitArg('Z');
         r.addExplicitArg(AS_TEXT_BUFFER("text!", 4));
       },
       "[   42|7   |0003.142|0102|AB|Z|text]"},
      // 15 bytes of room: the number fits whole, the last text run is cut.
      {[](LogMessageRecord& r) { r << "0123456789" << 12345u << "abcdefgh"; }, "012345678912345", 16,
       "Truncated from len=8 to 0\n"},
      // A value that does not fit is left out, the text after it goes on.
      {[](LogMessageRecord& r) { r << "0123456789" << 123456u << "ab"; }, "0123456789ab", 14},
      // A standard-sized manager's lines end at 4607 bytes.
      {[](LogMessageRecord& r) { r << std::string(5000, 'a').c_str() << "\n"; }, std::string(4607, 'a'), 4608,
       "Truncated from len=5001 to 4607\n"},
  };
  for (const Case& c : cases) {
    CapturedManager out(0, c.maxLineLen);
    RecordOnHeap r(out.get());
    c.fill(*r.rec);
    testing::internal::CaptureStderr();
    r.rec->writeAsTextToBuffer(0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    EXPECT_TRUE(out.text() == c.expected) << out.text().substr(0, 80);
  }
}

TEST(LogStatement, DisabledStatementEvaluatesNoValue) {
  MaskGuard guard;
  CapturedManager out;
  int evaluations = 0;
  auto touch = [&evaluations]() { return ++evaluations; };
  LOG_INTO(out.get(), app_debug) << "never " << touch() << LOG_ENDLINE;
  LOG_INTO(out.get(), io_info) << "never " << touch() << LOG_ENDLINE;
  LOG_INTO(out.get(), app_userInfo1) << touch() << LOG_ENDLINE;
  EXPECT_EQ(evaluations, 0);
  EXPECT_EQ(out.text(), "");
  LOG_INTO(out.get(), io_warning) << "once " << touch() << LOG_ENDLINE;
  EXPECT_EQ(evaluations, 1);
  app_logLevelMask |= app_debug;
  LOG_INTO(out.get(), debug) << "bare debug" << LOG_ENDLINE;
  LOG_ALWAYS_INTO(out.get(), trace) << "always" << LOG_ENDLINE;
  const std::string text = out.text();
  EXPECT_NE(text.find("WARNING once 1\n"), std::string::npos);
  EXPECT_NE(text.find("DEBUG bare debug\n"), std::string::npos);
  EXPECT_NE(text.find("TRACE always\n"), std::string::npos);
}

TEST(LogStatement, DefaultLineCarriesThisFileAndLine) {
  CapturedManager out;
  const int line = __LINE__ + 1;
  LOG_INTO(out.get(), app_error) << "Could not open file \"" << "a.csv" << "\"" << LOG_ENDLINE;
  const std::string text = out.text();
  EXPECT_TRUE(std::regex_search(text, std::regex(LOG_LINE_PREFIX_REGEX, std::regex::extended))) << text;
  EXPECT_NE(text.find("tests/logging/logging_api_test.cpp:" + std::to_string(line) + " ERROR"), std::string::npos)
      << text;
  EXPECT_EQ(stripLogLinePrefix(text), "ERROR Could not open file \"a.csv\"\n");
}

TEST(LogStatement, EndingsChooseNewlineAndPrefix) {
  struct Case {
    void (*emit)(LogManager*);
    const char* pattern;
  };
  const Case cases[] = {
      {[](LogManager* m) { LOG_INTO(m, app_error) << "plain" << AS_PLAIN_TEXT; }, "^plain$"},
      {[](LogManager* m) { LOG_INTO(m, app_error) << "t" << WITH_TIME_LEVEL; },
       "^[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6} ERROR t$"},
      {[](LogManager* m) { LOG_INTO(m, app_error) << "dt" << WITH_DATE_TIME_LEVEL; },
       "^[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9:.]{15} ERROR dt$"},
      {[](LogManager* m) { LOG_INTO(m, app_error) << "sel" << AS_PREFIXED_TEXT(LogMessageRecord::LOG_ERROR_LEVEL); },
       "^ERROR sel$"},
      {[](LogManager* m) { LOG_INTO(m, app_error) << "stamped" << AS_TIMESTAMPED_TEXT; },
       LOG_LINE_PREFIX_REGEX "ERROR stamped$"},
  };
  for (const Case& c : cases) {
    CapturedManager out;
    c.emit(out.get());
    const std::string text = out.text();
    EXPECT_TRUE(std::regex_search(text, std::regex(c.pattern, std::regex::extended))) << c.pattern << ": " << text;
  }
}

TEST(LogStatement, ExplicitFormatBlock) {
  CapturedManager out(0);
  ALWAYS_EMIT_MESSAGE_TO_LOG(out.get(), app_info)
  LOG_MESSAGE_FORMAT("a=%u b=%d\n")
  LOG_ARG(3u)
  LOG_ARG(-4)
  logObj.writeAsTextToBuffer(0);
  }
  EXPECT_EQ(out.text(), "a=3 b=-4\n");
}

TEST(SplitLongLine, BreaksAtBlanksAndSeparators) {
  struct Case {
    const char* text;
    const char* separators;
    size_t blockLength;
    const char* expected;
  };
  const Case cases[] = {
      {"hello world", "", 8, "hello\nworld\n"},
      {"ab,cdefghij", ",", 8, "ab,\ncdefghij\n"},
      {"abcdefghijkl", "", 5, "abcde\nfghij\nkl\n"},
      // A newline ends a piece and stays in it; every record adds its own.
      {"one\ntwo", "", 80, "one\n\ntwo\n"},
      {"line\n", "", 80, "line\n\n\n"},
      {"", "", 8, "\n"},
      {"aa   bbbbbbbb", "", 8, "aa\nbbbbbbbb\n"},
  };
  for (const Case& c : cases) {
    CapturedManager out(0);
    RecordOnHeap context(out.get());
    *context.rec << "ignored";
    LogMessageRecord::splitLongLogLine(*context.rec, c.text, c.separators, c.blockLength);
    EXPECT_EQ(out.text(), c.expected) << c.text;
    EXPECT_EQ(context.rec->getArgCount(), 0u);
    EXPECT_EQ(context.rec->getGeneratedOffset(), 0u);
  }
}

TEST(LogManagerNames, SourcePrefixAndStripCountShortenFileNames) {
  struct Case {
    const char* st;
    const char* strip;
    const char* fileName;
    const char* shown;
  };
  const Case cases[] = {
      {"/home/dev/proj", nullptr, "/home/dev/proj/src/utils/io/read_file.cpp", "utils/io/read_file.cpp"},
      {"/home/dev/proj", nullptr, "/elsewhere/src/a.cpp", "/elsewhere/src/a.cpp"},
      {nullptr, "2", "/a/b/c/f.cpp", "c/f.cpp"},
      {nullptr, "1", "a/b/c.cpp", "c.cpp"},
      {nullptr, "5", "/a/b.cpp", "/a/b.cpp"},
      {nullptr, nullptr, "src/utils/apps/narvelix/main.cpp", "src/utils/apps/narvelix/main.cpp"},
  };
  for (const Case& c : cases) {
    if (c.st) setenv("ST", c.st, 1); else unsetenv("ST");
    if (c.strip) setenv("GCOV_PREFIX_STRIP", c.strip, 1); else unsetenv("GCOV_PREFIX_STRIP");
    LogManager::initializePrefixTable();
    LogManager mgr(nullptr, -1, 0, "names", 0, 100, nullptr, 1000);
    TextBlock_struct shown = mgr.pruneDirectoryPrefix(c.fileName, static_cast<int_fast32_t>(std::strlen(c.fileName)));
    EXPECT_EQ(std::string(shown.textBfr, shown.bfrLen), c.shown) << c.fileName;
  }
  unsetenv("ST");
  unsetenv("GCOV_PREFIX_STRIP");
  LogManager::initializePrefixTable();
}

TEST(LogManagerOutput, ShortWriteIsReportedOnceAndTheBlockGoesBack) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  LogManager mgr(&testNode, fds[1], 0, "closed", 0, 100, nullptr, 1000);
  const size_t blocks = mgr.getBufferManager()->getAvailableBlocks();
  signal(SIGPIPE, SIG_IGN);
  testing::internal::CaptureStderr();
  for (size_t i = 0; i < blocks + 2; ++i) LOG_INTO(&mgr, app_error) << "abc" << LOG_ENDLINE;
  const std::string err = testing::internal::GetCapturedStderr();
  close(fds[1]);
  EXPECT_EQ(err, "formatRecordAsText: only wrote 0 bytes but expected 4 elements=1 fd=" + std::to_string(fds[1]) +
                     "\n");
  EXPECT_STREQ(mgr.getErrorCondition(), "out of disk space");
}

TEST(LogStreamObject, FormatsIntoMemoryWithoutPrefix) {
  LOG_STREAM_OBJECT(rec);
  rec << "rows=" << 12u << " name=" << "a%b";
  const char* text = nullptr;
  FORMAT_LOG_BUFFER(text, rec);
  EXPECT_STREQ(text, "rows=12 name=a%b");
  std::string appended = "> ";
  appended += rec.formatIntoMemory();
  EXPECT_EQ(appended, "> rows=12 name=a%b");
  RELEASE_LOG_BUFFER(rec);
}

TEST(SplitLongLine, SplitAcrossLinesFramesThePieces) {
  CapturedManager out(LogMessageRecord::LOG_ERROR_LEVEL);
  LOG_INTO(out.get(), app_warning) << "dump " << SPLIT_ACROSS_LINES("rows", "alpha beta gamma", "", 10) << " done"
                                   << LOG_ENDLINE;
  EXPECT_EQ(out.text(), "WARNING dump BEGIN rows\nWARNING alpha\nWARNING beta gamma\nWARNING END rows done\n");
}
