// Managers with a writer thread: order and completeness under concurrent
// loggers, closing, draining at destruction and at process exit, and the
// standard managers configured from the environment of a spawned process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"
#include "utils/logging/logging_api.hpp"

namespace {

using narvelix_test::descriptorText;

SharedMemoryVariableNode threadTestNode("mgrthreads", &DEFAULT_sharedMemoryVariableManager);

// Checks "t<thread> i<index>" lines: each thread's complete and in order.
void expectOrderedLines(const std::string& text, int threads, int lines) {
  std::vector<int> lastSeen(static_cast<size_t>(threads), -1);
  size_t count = 0;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    int t = -1;
    int i = -1;
    ASSERT_EQ(std::sscanf(text.c_str() + start, "t%d i%d", &t, &i), 2) << text.substr(start, end - start);
    ASSERT_TRUE(t >= 0 && t < threads);
    ASSERT_EQ(i, lastSeen[static_cast<size_t>(t)] + 1);
    lastSeen[static_cast<size_t>(t)] = i;
    ++count;
    start = end + 1;
  }
  EXPECT_EQ(count, static_cast<size_t>(threads) * static_cast<size_t>(lines));
}

// Runs the helper with the environment entries given; returns its standard
// output and error.
struct HelperResult {
  std::string out;
  std::string err;
  int status;
};

HelperResult runHelper(std::vector<std::string> env, const char* lines) {
  env.push_back("PATH=/usr/bin:/bin");
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string command =
      targetCommand(std::string("'") + LOG_STARTUP_HELPER_EXE + "'") + " " + lines;
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    // Through the shell, so a cross build starts the helper under its emulator.
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    execve("/bin/sh", const_cast<char**>(argv), envp.data());
    _exit(127);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  HelperResult r{descriptorText(fileno(out)), descriptorText(fileno(err)), status};
  std::fclose(out);
  std::fclose(err);
  return r;
}

}  // namespace

TEST(WriterThread, ConcurrentLoggersLoseNoLineAndKeepOrder) {
  std::FILE* file = std::tmpfile();
  // Few blocks, so loggers wait for the writer to give them back.
  LogManager mgr(&threadTestNode, fileno(file), 1, "threads", 0, 256, nullptr, 8000);
  ASSERT_TRUE(mgr.hasWriterThread());
  EXPECT_EQ(mgr.isSingleThreaded(), 0u);
  constexpr int THREADS = 4;
  constexpr int LINES = 3000;
  std::vector<std::thread> loggers;
  for (int t = 0; t < THREADS; ++t) {
    loggers.emplace_back([&mgr, t]() {
      for (int i = 0; i < LINES; ++i) LOG_INTO(&mgr, app_error) << "t" << t << " i" << i << LOG_ENDLINE;
    });
  }
  for (std::thread& th : loggers) th.join();
  mgr.killProcessingThread();
  EXPECT_FALSE(mgr.hasWriterThread());
  const std::string written = descriptorText(fileno(file));
  expectOrderedLines(written, THREADS, LINES);
  // Stopped: the logging thread writes.
  LOG_INTO(&mgr, app_error) << "direct" << LOG_ENDLINE;
  EXPECT_EQ(descriptorText(fileno(file)).substr(written.size()), "direct\n");
}

TEST(WriterThread, ClosedLogDropsLinesAndGivesTheirBlocksBack) {
  std::FILE* file = std::tmpfile();
  LogManager mgr(&threadTestNode, fileno(file), 1, "closing", 0, 256, nullptr, 8000);
  for (int i = 0; i < 100; ++i) LOG_INTO(&mgr, app_error) << "t0 i" << i << LOG_ENDLINE;
  testing::internal::CaptureStdout();
  EXPECT_EQ(mgr.closeLog(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "LogManager::closeLog waitForThreadExit\n");
  expectOrderedLines(descriptorText(fileno(file)), 1, 100);
  // More lines than the region has blocks: none written, none kept.
  for (size_t i = 0; i < 3 * mgr.getBufferManager()->getAvailableBlocks(); ++i) {
    LOG_INTO(&mgr, app_error) << "dropped" << LOG_ENDLINE;
  }
  mgr.killProcessingThread();
  LOG_INTO(&mgr, app_error) << "dropped" << LOG_ENDLINE;
  expectOrderedLines(descriptorText(fileno(file)), 1, 100);
  std::fclose(file);
}

TEST(WriterThread, EmptyLinesDoNotStopTheWriterAndDestructionDrains) {
  std::FILE* file = std::tmpfile();
  {
    LogManager mgr(&threadTestNode, fileno(file), 1, "drain", 0, 256, nullptr, 4000);
    for (int i = 0; i < 500; ++i) {
      LOG_INTO(&mgr, app_error) << AS_PLAIN_TEXT;  // renders nothing
      LOG_INTO(&mgr, app_error) << "t0 i" << i << LOG_ENDLINE;
    }
  }
  expectOrderedLines(descriptorText(fileno(file)), 1, 500);
  std::fclose(file);
}

TEST(StartupManagers, EnvironmentValuesAreClamped) {
  struct Case {
    std::vector<std::string> env;
    std::string outStart;
  };
  // A bad length leaves both managers at the defaults: 64 lines of 65728
  // bytes in blocks of 4608 + a 20-byte record, after the 84-byte header.
  const std::string defaults = "block=4608 blocks=" + std::to_string((65728u * 64u - 84u) / 4628u) + " thread=0\n";
  const Case cases[] = {
      {{"STDERR_MAX_LENGTH=10", "STDERR_LINES=0"},
       "stderr block=256 blocks=" + std::to_string((65728u - 84u) / 276u) + " thread=0\n"},
      {{"STDERR_MAX_LENGTH=-5"}, "stderr " + defaults + "stdout " + defaults},
      {{"STDERR_MAX_LENGTH=999999", "STDERR_LINES=1"}, "stderr block=65728 blocks=2 thread=0\n"},
  };
  for (const Case& c : cases) {
    const HelperResult r = runHelper(c.env, "1");
    EXPECT_EQ(r.status, 0) << c.outStart;
    EXPECT_EQ(r.out.substr(0, c.outStart.size()), c.outStart);
    EXPECT_EQ(r.err, "line 0");
  }
  // At most 4096 lines: a 269 MB region, which a 32-bit process may not get
  // (then the manager has no blocks and says so, but the process runs).
  const HelperResult huge = runHelper({"STDERR_LINES=99999999", "STDERR_MAX_LENGTH=65728"}, "0");
  EXPECT_EQ(huge.status, 0);
  if (sizeof(void*) == 8) {
    EXPECT_EQ(huge.out.substr(0, huge.out.find('\n')),
              "stderr block=65728 blocks=" + std::to_string((65728ull * 4096u - 84u) / 65748u) + " thread=0");
  }
}

TEST(StartupManagers, WriterThreadDrainsEveryLineAtExit) {
  // The thread comes from the environment or from +logthread, which switches
  // the managers built before main; -logthread leaves them as they are.
  struct Case {
    std::vector<std::string> env;
    const char* flags;
    int thread;
  };
  const Case cases[] = {
      {{"USE_STDERR_THREAD=1"}, "", 1},
      {{}, "+logthread ", 1},
      {{"USE_STDERR_THREAD=1"}, "-logthread ", 1},
      {{}, "-logthread ", 0},
  };
  std::string expected;
  for (int i = 0; i < 20000; ++i) expected += "line " + std::to_string(i);
  for (const Case& c : cases) {
    std::vector<std::string> env = c.env;
    env.insert(env.end(), {"STDERR_LINES=1", "STDERR_MAX_LENGTH=256"});
    const HelperResult r = runHelper(env, (std::string(c.flags) + "20000").c_str());
    EXPECT_EQ(r.status, 0);
    const std::string config = "stderr block=256 blocks=" + std::to_string((65728u - 84u) / 276u) +
                               " thread=" + std::to_string(c.thread) + "\n";
    EXPECT_NE(r.out.find(config), std::string::npos) << c.flags << r.out;
    EXPECT_EQ(r.err, expected) << c.flags;
  }
}
