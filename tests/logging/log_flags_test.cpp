// Command-line log flags: removal from the argument vector (in place, argc
// lowered), +logmask/-logmask specifications for one or all components,
// unknown flags and components, the switches, and registry limits.
#include "utils/logging/logging_api.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

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

// Runs the flag processing in place over words; returns the kept words.
std::vector<std::string> processInPlace(std::vector<const char*> words, LogSubsystemInfo* info = nullptr) {
  LogSubsystemInfo local{};
  if (info == nullptr) info = &local;
  const int originalCount = static_cast<int>(words.size());
  words.push_back(nullptr);
  int argc = originalCount;
  const char** argv = words.data();
  EXPECT_EQ(LogMessageRecord::process_commandline_log_flags(info, argc, argv, &argc, argv), 0);
  EXPECT_EQ(argv[argc], nullptr);
  return std::vector<std::string>(argv, argv + argc);
}

using Words = std::vector<std::string>;

}  // namespace

TEST(LogFlags, MaskFlagsAreAppliedAndRemoved) {
  struct Case {
    std::vector<const char*> words;
    Words kept;
    unsigned appMask;
    unsigned ioMask;
  };
  const Case cases[] = {
      {{"prog", "+logmask", "app.debug"}, {"prog"}, 960 | 32, 896},
      {{"prog", "a", "+logmask", "io.info", "b"}, {"prog", "a", "b"}, 960, 896 | 64},
      {{"prog", "-logmask", "app.info", "x.csv"}, {"prog", "x.csv"}, 960 & ~64u, 896},
      {{"prog", "-logmask", "app.warn", "-logmask", "io.err", "--cpp"}, {"prog", "--cpp"}, 960 & ~128u, 896 & ~256u},
      {{"prog", "+logmask", "app.trace", "in.csv", "+logmask", "app.user3"}, {"prog", "in.csv"}, 960 | 16 | 8192, 896},
      {{"prog", "-logmask", "app.user1"}, {"prog"}, 960, 896},  // the USER bit is left alone
      {{"prog", "+logmask"}, {"prog", "+logmask"}, 960, 896},    // no specification: kept, ignored
      {{"prog", "+logmaskx", "app.debug"}, {"prog", "+logmaskx", "app.debug"}, 960, 896},
      {{"prog", "+LOGMASK", "app.debug"}, {"prog", "+LOGMASK", "app.debug"}, 960, 896},
  };
  for (const Case& c : cases) {
    MaskGuard guard;
    testing::internal::CaptureStderr();
    const Words kept = processInPlace(c.words);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(kept, c.kept) << c.words.size();
    EXPECT_EQ(unsigned(app_logLevelMask), c.appMask) << c.kept.size();
    EXPECT_EQ(unsigned(io_logLevelMask), c.ioMask) << c.kept.size();
  }
}

TEST(LogFlags, UserBitStaysWhenAUserLevelIsRemoved) {
  MaskGuard guard;
  app_logLevelMask = 960 | 1024 | 2048;
  processInPlace({"prog", "-logmask", "app.user1"});
  EXPECT_EQ(unsigned(app_logLevelMask), 960u | 1024u);
}

TEST(LogFlags, SwitchesAreRemovedAndRecorded) {
  LogSubsystemInfo info{};
  const Words kept = processInPlace({"prog", "+logthread", "a", "-logmap", "b"}, &info);
  EXPECT_EQ(kept, (Words{"prog", "a", "b"}));
  EXPECT_EQ(info.useThreads, 1);
  EXPECT_EQ(info.enableMap, 2);
  processInPlace({"prog", "-logthread", "+logmap"}, &info);
  EXPECT_EQ(info.useThreads, 2);
  EXPECT_EQ(info.enableMap, 1);
}

TEST(LogFlags, CopiesToASeparateVectorAndCountsWithoutOne) {
  MaskGuard guard;
  const char* argv[] = {"prog", "+logmask", "io.debug", "file.csv", nullptr};
  const char* out[5] = {};
  int newArgc = 0;
  LogMessageRecord::process_commandline_log_flags(nullptr, 4, argv, &newArgc, out);
  EXPECT_EQ(newArgc, 2);
  EXPECT_STREQ(out[0], "prog");
  EXPECT_STREQ(out[1], "file.csv");
  EXPECT_STREQ(argv[1], "+logmask");  // the source vector is untouched
  EXPECT_EQ(unsigned(io_logLevelMask), 896u | 32u);
  newArgc = 0;
  LogMessageRecord::process_commandline_log_flags(nullptr, 4, argv, &newArgc, nullptr);
  EXPECT_EQ(newArgc, 2);
}

TEST(LogFlags, AllLevelsKeepTheirArguments) {
  MaskGuard guard;
  const Words kept = processInPlace({"prog", "+logmask", "app.all"});
  EXPECT_EQ(kept, (Words{"prog", "+logmask", "app.all"}));
  EXPECT_EQ(unsigned(app_logLevelMask), 2147483647u);
}

TEST(LogFlags, UnknownFlagGetsAPlaceholderRecord) {
  MaskGuard guard;
  testing::internal::CaptureStderr();
  const Words kept = processInPlace({"prog", "+logmask", "app.verbose"});
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(kept, (Words{"prog"}));
  EXPECT_EQ(unsigned(app_logLevelMask), 960u);
  EXPECT_NE(err.find(" app: log level mask flag not recognized: .verbose i=17\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Add entry for unknown flag .verbose with placeholder value 131072\nAdded: .verbose\n"),
            std::string::npos)
      << err;
  // A later definition with a real mask replaces the placeholder.
  testing::internal::CaptureStderr();
  EXPECT_EQ(LogMessageRecord::define_commandline_flag("verbose", 4096 | 64, "VERBOSE"), 17);
  testing::internal::GetCapturedStderr();
  processInPlace({"prog", "+logmask", "app.verbose"});
  EXPECT_EQ(unsigned(app_logLevelMask), 960u | 4096u);
}

TEST(LogFlags, GlobalFlagReachesLaterComponents) {
  MaskGuard guard;
  processInPlace({"prog", "+logmask", ".debug"});
  EXPECT_EQ(unsigned(app_logLevelMask) & 32u, 32u);
  EXPECT_EQ(unsigned(io_logLevelMask) & 32u, 32u);
  static LogMaskType_t laterMask("later_logMask", &DEFAULT_sharedMemoryVariableManager, 960u);
  EXPECT_GT(LogManager::addLogComponent("later", &laterMask, 0), 2u);
  EXPECT_EQ(unsigned(laterMask), 960u | 32u);
  processInPlace({"prog", "-logmask", ".debug"});
  EXPECT_EQ(unsigned(laterMask) & 32u, 0u);
}

TEST(LogFlags, SpecificationWithoutPeriodNamesTheProgram) {
  testing::internal::CaptureStderr();
  processInPlace({"/usr/bin/tool", "+logmask", "debug"});
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(" log level mask flag debug for component /usr/bin/tool not found: /usr/bin/tool\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("add implicit definition of /usr/bin/tool mask=32\n"), std::string::npos) << err;
  // Known by name now: a second flag updates its implicit mask.
  testing::internal::CaptureStderr();
  processInPlace({"/usr/bin/tool", "+logmask", "info"});
  EXPECT_NE(testing::internal::GetCapturedStderr().find("using implicit definition of component /usr/bin/tool\n"),
            std::string::npos);
}

TEST(LogFlags, RegistryRefusesThe64thComponent) {
  testing::internal::CaptureStderr();
  uint_fast32_t last = 1;
  for (int i = 0; i < 70 && last != 0; ++i) {
    last = LogManager::addLogComponent(("comp" + std::to_string(i)).c_str(), nullptr, 0);
  }
  EXPECT_EQ(last, 0u);
  EXPECT_EQ(LogManager::addLogComponent("oneMore", nullptr, 0), 0u);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Resolve by increasing MAX_SUPPORTED_COMPONENTS to at least 65 in "), std::string::npos);
  EXPECT_NE(err.find("Too many registered components, cannot add oneMore\n"
                     "Resolve by increasing MAX_SUPPORTED_COMPONENTS to at least 66 in "),
            std::string::npos);
  // Existing components are still found.
  EXPECT_EQ(LogManager::addLogComponent("app", &app_logLevelMask, 0), 1u);
}
