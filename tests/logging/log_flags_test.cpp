// Command-line log flags and the process-wide tables behind them. Every case
// runs in a forked child, so the flag table, the component registry, the
// global add/remove masks and the label table start from their built-in
// state each time and no test sees another's definitions.
#include "utils/logging/logging_api.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

// Runs body in a child process and expects it to pass there.
void inChild(const std::function<void()>& body) {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    body();
    std::fflush(stdout);
    _exit(testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

// Runs the flag processing in place over words; returns the kept words.
// *err (when given) gets what was written to standard error.
Words process(std::vector<const char*> words, LogSubsystemInfo* info, std::string* err = nullptr) {
  const int originalCount = static_cast<int>(words.size());
  words.push_back(nullptr);
  int argc = originalCount;
  const char** argv = words.data();
  testing::internal::CaptureStderr();
  EXPECT_EQ(LogMessageRecord::process_commandline_log_flags(info, argc, argv, &argc, argv), 0);
  const std::string text = testing::internal::GetCapturedStderr();
  if (err != nullptr) *err = text;
  EXPECT_EQ(argv[argc], nullptr);
  return Words(argv, argv + argc);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(LogFlags, ArgumentVectors) {
  struct Case {
    std::vector<const char*> words;
    Words kept;
    unsigned appMask;
    unsigned ioMask;
    unsigned char useThreads;
    unsigned char enableMap;
    const char* message;  // part of what is written to standard error
  };
  const Case cases[] = {
      {{"prog", "+logmask", "app.debug"}, {"prog"}, 960 | 32, 896, 0, 0, ""},
      {{"prog", "a", "+logmask", "io.info", "b"}, {"prog", "a", "b"}, 960, 896 | 64, 0, 0, ""},
      {{"prog", "-logmask", "app.info", "x.csv"}, {"prog", "x.csv"}, 960 & ~64u, 896, 0, 0, ""},
      {{"prog", "-logmask", "app.warn", "-logmask", "io.err", "--cpp"}, {"prog", "--cpp"}, 960 & ~128u, 896 & ~256u,
       0, 0, ""},
      {{"prog", "+logmask", "app.trace", "in.csv", "+logmask", "app.user3"}, {"prog", "in.csv"}, 960 | 16 | 8192, 896,
       0, 0, ""},
      {{"prog", "+logmask", ".debug"}, {"prog"}, 960 | 32, 896 | 32, 0, 0, ""},
      // ".all" keeps its arguments (and the program sees them).
      {{"prog", "+logmask", "app.all"}, {"prog", "+logmask", "app.all"}, 2147483647u, 896, 0, 0, ""},
      {{"prog", "+logmask"}, {"prog", "+logmask"}, 960, 896, 0, 0, "needs a component.level argument"},
      {{"prog", "+logmaskx", "app.debug"}, {"prog", "+logmaskx", "app.debug"}, 960, 896, 0, 0, ""},
      {{"prog", "+logthread", "a", "-logmap", "b"}, {"prog", "a", "b"}, 960, 896, 1, 2, ""},
      {{"prog", "-logthread", "+logmap"}, {"prog"}, 960, 896, 2, 1, ""},
      // An unknown level name: a placeholder record (index 17), no bits.
      {{"prog", "+logmask", "app.verbose"}, {"prog"}, 960, 896, 0, 0,
       " app: log level mask flag not recognized: .verbose i=17\n"
       "Add entry for unknown flag .verbose with placeholder value 131072\nAdded: .verbose\n"},
      {{"prog", "-logmask", "io.quiet"}, {"prog"}, 960, 896, 0, 0,
       "Add entry for unknown flag .quiet with placeholder value 0\n"},
      // Without a period the component is the program.
      {{"/usr/bin/tool", "+logmask", "debug"}, {"/usr/bin/tool"}, 960, 896, 0, 0,
       " log level mask flag debug for component /usr/bin/tool not found: /usr/bin/tool\n"
       "add implicit definition of /usr/bin/tool mask=32\n"},
  };
  for (const Case& c : cases) {
    inChild([&] {
      LogSubsystemInfo info{};
      std::string err;
      EXPECT_EQ(process(c.words, &info, &err), c.kept) << c.words[1];
      EXPECT_EQ(unsigned(app_logLevelMask), c.appMask) << c.words[1];
      EXPECT_EQ(unsigned(io_logLevelMask), c.ioMask) << c.words[1];
      EXPECT_EQ(info.useThreads, c.useThreads) << c.words[1];
      EXPECT_EQ(info.enableMap, c.enableMap) << c.words[1];
      EXPECT_TRUE(contains(err, c.message)) << err;
    });
  }
}

TEST(LogFlags, CopiesToASeparateVectorOrOnlyCounts) {
  inChild([] {
    const char* argv[] = {"prog", "+logmask", "io.debug", "file.csv", nullptr};
    const char* out[5] = {};
    int newArgc = 0;
    LogMessageRecord::process_commandline_log_flags(nullptr, 4, argv, &newArgc, out);
    EXPECT_EQ(newArgc, 2);
    EXPECT_STREQ(out[1], "file.csv");
    EXPECT_STREQ(argv[1], "+logmask");  // the source vector is untouched
    EXPECT_EQ(unsigned(io_logLevelMask), 896u | 32u);
    newArgc = 0;
    LogMessageRecord::process_commandline_log_flags(nullptr, 4, argv, &newArgc, nullptr);
    EXPECT_EQ(newArgc, 2);
  });
}

TEST(LogFlags, LaterComponentsAndLevelsFollowEarlierFlags) {
  inChild([] {
    LogSubsystemInfo info{};
    // A user level removed leaves the USER bit.
    app_logLevelMask = 960 | 1024 | 2048;
    process({"prog", "-logmask", "app.user1"}, &info);
    EXPECT_EQ(unsigned(app_logLevelMask), 960u | 1024u);
    // Global masks reach components registered afterwards.
    process({"prog", "+logmask", ".debug", "-logmask", ".info"}, &info);
    static LogMaskType_t later("later_logMask", &DEFAULT_sharedMemoryVariableManager, 960u);
    EXPECT_GT(LogManager::addLogComponent("later", &later, 0), 2u);
    EXPECT_EQ(unsigned(later), (960u | 32u) & ~64u);
    // A placeholder takes the real mask of a later definition.
    process({"prog", "+logmask", "app.verbose"}, &info);
    EXPECT_EQ(LogMessageRecord::define_commandline_flag("verbose", 4096 | 64, nullptr), 17);
    process({"prog", "+logmask", "app.verbose"}, &info);
    EXPECT_EQ(unsigned(app_logLevelMask) & 4096u, 4096u);
    // A component known by name only keeps its mask as the initial mask.
    std::string err;
    process({"prog", "+logmask", "named.trace", "+logmask", "named.info"}, &info, &err);
    EXPECT_TRUE(contains(err, "using implicit definition of component named\n")) << err;
    static LogMaskType_t named("named_logMask", &DEFAULT_sharedMemoryVariableManager, 0u);
    testing::internal::CaptureStderr();
    LogManager::addLogComponent("named", &named, 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(unsigned(named), (16u | 64u | 32u) & ~64u);
  });
}

TEST(LogFlags, NamesAreComparedAfterTheCutThatStoresThem) {
  inChild([] {
    LogSubsystemInfo info{};
    // Flag names keep 15 characters, component names 31.
    EXPECT_EQ(LogMessageRecord::define_commandline_flag("abcdefghijklmnopq", 2048, "LONG"), 17);
    std::string err;
    process({"prog", "+logmask", "app.abcdefghijklmnXYZ"}, &info, &err);
    EXPECT_EQ(err, "");
    EXPECT_EQ(unsigned(app_logLevelMask), 960u | 2048u);
    const std::string longName(40, 'c');
    static LogMaskType_t longMask("long_logMask", &DEFAULT_sharedMemoryVariableManager, 0u);
    EXPECT_EQ(LogManager::addLogComponent(longName.c_str(), &longMask, 0), 3u);
    const std::string maskArg = longName.substr(0, 31) + "Q.debug";
    process({"prog", "+logmask", maskArg.c_str()}, &info, &err);
    EXPECT_EQ(err, "");
    EXPECT_EQ(unsigned(longMask), 32u);
  });
}

TEST(LogFlags, FlagDefinitionsAndTheirLabels) {
  struct Case {
    const char* name;
    unsigned mask;
    const char* label;
    int result;
    unsigned level;             // whose label is then checked
    const char* levelLabel;
    const char* message;
  };
  const Case cases[] = {
      {"audit", 8192, "AUDIT", 17, 8192, "AUDIT", ""},
      {".audit", 8192 | 64, nullptr, 17, 8256, "INFO", "setSeverityLabel: refused, reserved level=8256 subscript=3"},
      {"loud", 1024, "LOUD", 17, 1024, "USER", "setSeverityLabel: refused, reserved level=1024 subscript=7"},
      {"none", 0, "NONE", 17, 0, "USER", "refused, reserved level=0"},
      {"six", 65536, "SIX", 17, 65536, "UNKNOWN", "setSeverityLabel: refused, too large level=65536 subscript=39"},
      {"averyverylonglabel", 4096, nullptr, 17, 4096, "averyverylo", ""},  // cut to 11 characters
      {"debug", 16, nullptr, -1, 32, "DEBUG", "flag \".debug\" already defined with mask 0x20, conflicts with 0x10"},
      {".debug", 32, nullptr, 1, 32, "DEBUG", ""},
  };
  for (const Case& c : cases) {
    inChild([&] {
      testing::internal::CaptureStderr();
      EXPECT_EQ(LogMessageRecord::define_commandline_flag(c.name, c.mask, c.label), c.result) << c.name;
      const std::string err = testing::internal::GetCapturedStderr();
      testing::internal::CaptureStderr();
      EXPECT_STREQ(LogMessageRecord::getSeverityLabel(c.level), c.levelLabel) << c.name;
      testing::internal::GetCapturedStderr();
      if (c.message[0] == '\0') {
        EXPECT_EQ(err, "") << c.name;
      } else {
        EXPECT_TRUE(contains(err, c.message)) << c.name << ": " << err;
      }
    });
  }
}

TEST(LogFlags, PlaceholderBitsStopAtIndex32) {
  inChild([] {
    LogSubsystemInfo info{};
    for (int i = 17; i < 32; ++i) {
      EXPECT_EQ(LogMessageRecord::define_commandline_flag(("f" + std::to_string(i)).c_str(), 2048, nullptr), i);
    }
    std::string err;
    process({"prog", "+logmask", "app.late"}, &info, &err);
    EXPECT_TRUE(contains(err, "Add entry for unknown flag .late with placeholder value 0\n")) << err;
    // Index 32's placeholder is 0 too: a real definition replaces it.
    EXPECT_EQ(LogMessageRecord::define_commandline_flag("late", 4096, nullptr), 32);
  });
}

TEST(LogFlags, TablesRefuseEntriesWhenFull) {
  inChild([] {
    testing::internal::CaptureStderr();
    uint_fast32_t last = 1;
    for (int i = 0; i < 70 && last != 0; ++i) {
      last = LogManager::addLogComponent(("comp" + std::to_string(i)).c_str(), nullptr, 0);
    }
    EXPECT_EQ(last, 0u);
    EXPECT_EQ(LogManager::addLogComponent("oneMore", nullptr, 0), 0u);
    int flag = 0;
    for (int i = 0; i < 200 && flag >= 0; ++i) {
      flag = LogMessageRecord::define_commandline_flag(("g" + std::to_string(i)).c_str(), 2048, nullptr);
    }
    LogSubsystemInfo info{};
    const char* argv[] = {"prog", "+logmask", "app.extra", nullptr};
    int argc = 3;
    LogMessageRecord::process_commandline_log_flags(&info, argc, argv, &argc, argv);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(flag, -2);
    EXPECT_EQ(argc, 3);  // kept when the table is full
    EXPECT_TRUE(contains(err, "Resolve by increasing MAX_SUPPORTED_COMPONENTS to at least 65 in "));
    EXPECT_TRUE(contains(err, "Too many registered components, cannot add oneMore\n"
                              "Resolve by increasing MAX_SUPPORTED_COMPONENTS to at least 66 in "));
    EXPECT_TRUE(contains(err, "define_commandline_flag: no room for flag: .g110\n"
                              "Resolve by increasing MAX_DISTINCT_FLAG_ALIASES to at least 129 in "));
    EXPECT_TRUE(contains(err, "Too many user-defined flags, cannot add entry for .extra\n"
                              "Resolve by increasing MAX_DISTINCT_FLAG_ALIASES to at least 130 in "));
    EXPECT_EQ(LogManager::addLogComponent("app", &app_logLevelMask, 0), 1u);  // still found
  });
}

TEST(LogFlags, AliasedMaskVariableSharesTheNewStorage) {
  inChild([] {
    static LogMaskType_t first("first_logMask", &DEFAULT_sharedMemoryVariableManager, 16u);
    static LogMaskType_t second("second_logMask", &DEFAULT_sharedMemoryVariableManager, 64u);
    EXPECT_EQ(LogManager::addLogComponent("shared", &first, 0), 3u);
    testing::internal::CaptureStderr();
    EXPECT_EQ(LogManager::addLogComponent("shared", &second, 0), 3u);
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(), "alias existing shared to new address "));
    EXPECT_EQ(unsigned(second), 16u | 64u);
    second = 256u;
    EXPECT_EQ(unsigned(first), 256u);  // one value for both
    LogSubsystemInfo info{};
    process({"prog", "+logmask", "shared.debug"}, &info);
    EXPECT_EQ(unsigned(first), 256u | 32u);
  });
}

TEST(LogStartup, InitializeLogSubsystemNamesTheProgramAndRegistersItsMask) {
  inChild([] {
    static LogMaskType_t toolMask("tool_logMask", &DEFAULT_sharedMemoryVariableManager, 960u);
    std::vector<const char*> words = {"/opt/bin/tool", "+logmask", "tool.debug", "in.csv", "-logmap", nullptr};
    int argc = 5;
    EXPECT_EQ(LogManager::initializeLogSubsystem(&argc, words.data(), argc, words.data(), nullptr, &toolMask, 8, 63),
              0);
    EXPECT_STREQ(default_LogSubsystemInfo.programName, "tool");
    EXPECT_EQ(default_LogSubsystemInfo.maxPendingLogLines, 8u);
    EXPECT_EQ(default_LogSubsystemInfo.defaultLogPrefix, 63u);
    EXPECT_EQ(default_LogSubsystemInfo.processID, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(default_LogSubsystemInfo.enableMap, 2);
    EXPECT_EQ(argc, 2);
    EXPECT_STREQ(words[1], "in.csv");
    EXPECT_EQ(unsigned(toolMask), 960u | 32u);
    EXPECT_EQ(unsigned(app_logLevelMask), 960u | 32u);  // "app" now shares the tool's mask
    ASSERT_NE(LogManager::LogManager_ParentNode, nullptr);
    EXPECT_STREQ(LogManager::LogManager_ParentNode->getName(), "LOG");
  });
  inChild([] {
    const char* argv[] = {"", nullptr};
    LogManager::initializeLogSubsystem(nullptr, nullptr, 1, argv, "dir\\sub/", nullptr, 1, 0);
    EXPECT_STREQ(default_LogSubsystemInfo.programName, "notSpecified");
  });
}

// The standard log file goes to $LOGDIR and becomes the default manager.
TEST(LogStartup, StandardLogForComponentOpensTheDefaultLog) {
  char dir[] = "/tmp/log_flags_testXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  inChild([&] {
    setenv("LOGDIR", dir, 1);
    const char* words[] = {"prog", nullptr};
    int argc = 1;
    INIT_STANDARD_LOG_FOR_COMPONENT(argc, words, "stdlog", &argc, words);
    ASSERT_NE(LogManager::DEFAULT_LogManager, nullptr);
    LOG_WHEN(error) << "into the file" << LOG_ENDLINE;
    LogManager::DEFAULT_LogManager->closeLog();
    const std::string name = LogManager::DEFAULT_LogManager->getLogFileName();
    EXPECT_EQ(name.rfind(std::string(dir) + "/stdlog-", 0), 0u) << name;
    std::FILE* f = std::fopen(name.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char line[512] = "";
    EXPECT_NE(std::fgets(line, sizeof line, f), nullptr);
    std::fclose(f);
    EXPECT_TRUE(contains(line, " ERROR into the file\n")) << line;
    std::remove(name.c_str());
  });
  rmdir(dir);
}
