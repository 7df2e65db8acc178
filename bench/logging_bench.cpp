// Cost of log statements: a disabled statement against an empty loop (the
// difference is the mask load, test and branch; also with the mask registered
// in a segment), enabled statements rendered
// into a manager writing to /dev/null (one write per line), and the same
// statement rendered into memory (no system call).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include "utils/logging/logging_api.hpp"
#include "utils/shared_vars/shared_variable.hpp"

namespace {

// An opaque value: the compiler cannot fold the argument away.
uint32_t opaqueValue(uint32_t v) {
  benchmark::DoNotOptimize(v);
  return v;
}

void EmptyLoop(benchmark::State& state) {
  uint32_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(i);
    ++i;
  }
}
BENCHMARK(EmptyLoop);

void runDisabledStatements(benchmark::State& state) {
  uint32_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(i);
    LOG_CERR(app_debug) << "row " << i << " of file " << "x.csv" << LOG_ENDLINE;
    ++i;
    // The mask is re-read each time: a store by another thread would be seen.
    benchmark::ClobberMemory();
  }
}

void DisabledStatement(benchmark::State& state) { runDisabledStatements(state); }
BENCHMARK(DisabledStatement);

void DisabledStatementExpensiveArgument(benchmark::State& state) {
  uint32_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(i);
    LOG_CERR(io_info) << "value " << opaqueValue(i) << LOG_ENDLINE;
    ++i;
    benchmark::ClobberMemory();
  }
}
BENCHMARK(DisabledStatementExpensiveArgument);

// The mask registered in a segment: the statement reads it through the
// variable's record pointer, as after createAndAttachStandardSegment.
void DisabledStatementMaskInSegment(benchmark::State& state) {
  // Never freed: the mask keeps pointing into it until the process ends.
  static std::vector<uint64_t>& words = *new std::vector<uint64_t>(4096 / 8, 0);
  static SharedMemoryVariableManager& manager = *new SharedMemoryVariableManager(false);
  static bool once = [] {
    manager.initializeSegment(words.data(), words.size() * 8, "mask");
    manager.allocateVariable(&app_logLevelMask);
    return true;
  }();
  benchmark::DoNotOptimize(once);
  runDisabledStatements(state);
}
BENCHMARK(DisabledStatementMaskInSegment);

class DevNullManager {
 public:
  explicit DevNullManager(uint32_t prefixMask)
      : fd(open("/dev/null", O_WRONLY)), mgr(fd, "bench", prefixMask, LogManager::MAX_LOG_LINE_LENGTH) {}
  ~DevNullManager() { close(fd); }
  LogManager* get() { return &mgr; }

 private:
  int fd;
  LogManager mgr;
};

void EnabledStatementFullPrefix(benchmark::State& state) {
  DevNullManager out(0xFFFFFFFFu);
  uint32_t i = 0;
  for (auto _ : state) {
    LOG_INTO(out.get(), app_error) << "Could not open file \"" << "input.csv" << "\" row " << i << " col "
                                   << static_cast<int32_t>(i & 7) << LOG_ENDLINE;
    ++i;
  }
}
BENCHMARK(EnabledStatementFullPrefix);

void EnabledStatementNoPrefix(benchmark::State& state) {
  DevNullManager out(0);
  uint32_t i = 0;
  for (auto _ : state) {
    LOG_INTO(out.get(), app_error) << "row " << i << " of " << 1000000u << LOG_ENDLINE;
    ++i;
  }
}
BENCHMARK(EnabledStatementNoPrefix);

// The same statement rendered with the full prefix into a memory manager:
// the statement's own cost without the system call.
void EnabledStatementIntoMemory(benchmark::State& state) {
  static char block[LogManager::MAX_LOG_LINE_LENGTH];
  LogManager mgr(-1, "memory", 0xFFFFFFFFu, LogManager::MAX_LOG_LINE_LENGTH);
  mgr.setMemoryBlock(block, sizeof block);
  uint32_t i = 0;
  for (auto _ : state) {
    LOG_INTO(&mgr, app_error) << "Could not open file \"" << "input.csv" << "\" row " << i << " col "
                              << static_cast<int32_t>(i & 7) << LOG_ENDLINE;
    benchmark::DoNotOptimize(block[0]);
    ++i;
  }
}
BENCHMARK(EnabledStatementIntoMemory);

}  // namespace
