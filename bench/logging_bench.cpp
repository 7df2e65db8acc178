// Cost of log statements: a disabled statement against an empty loop (the
// difference is the mask load, test and branch; also with the mask registered
// in a segment), enabled statements rendered
// into a manager writing to /dev/null (one write per line), the same
// statement as a binary record, and rendered into memory (no system call).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <vector>

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

SharedMemoryVariableNode benchNode("logbench", &DEFAULT_sharedMemoryVariableManager);

class DevNullManager {
 public:
  explicit DevNullManager(uint32_t prefixMask)
      : fd(open("/dev/null", O_WRONLY)),
        mgr(&benchNode, fd, 0, "bench", prefixMask, LogManager::MAX_LOG_LINE_LENGTH, nullptr,
            4 * (LogManager::MAX_LOG_LINE_LENGTH + 20) + 84) {}
  ~DevNullManager() { close(fd); }
  LogManager* get() { return &mgr; }

 private:
  int fd;
  LogManager mgr;
};

// Heap allocations made while a benchmark runs (all threads).
std::atomic<uint64_t> mallocCalls{0};

// The statement of the comparison: three numbers and about 20 characters of
// text, with the full prefix.
inline void threeNumbers(LogManager* mgr, uint32_t i) {
  LOG_INTO(mgr, app_error) << "rows " << i << " of " << 1000000u << " in " << static_cast<int32_t>(i & 7)
                           << " parts done" << LOG_ENDLINE;
}

void reportAllocations(benchmark::State& state, uint64_t before) {
  state.counters["mallocs_per_line"] = benchmark::Counter(
      static_cast<double>(mallocCalls.load(std::memory_order_relaxed) - before) /
      static_cast<double>(state.iterations()));
}

void EnabledThreeNumbersToDevNull(benchmark::State& state) {
  DevNullManager out(0xFFFFFFFFu);
  uint32_t i = 0;
  threeNumbers(out.get(), i);  // the thread's element array is made once
  const uint64_t before = mallocCalls.load(std::memory_order_relaxed);
  for (auto _ : state) threeNumbers(out.get(), ++i);
  reportAllocations(state, before);
}
BENCHMARK(EnabledThreeNumbersToDevNull);

// The same statement as a binary record (header, file name, format line and
// three values) written to /dev/null on the direct path: the caller copies
// raw values instead of formatting them. Compare with
// EnabledThreeNumbersToDevNull of the same run.
inline void threeNumbersBinary(LogManager* mgr, uint32_t i) {
  LOG_INTO(mgr, app_error) << "rows " << i << " of " << 1000000u << " in " << static_cast<int32_t>(i & 7)
                           << " parts done" << BINARY_ENDREC;
}

void BinaryThreeNumbersToDevNull(benchmark::State& state) {
  DevNullManager out(0xFFFFFFFFu);
  uint32_t i = 0;
  threeNumbersBinary(out.get(), i);
  const uint64_t before = mallocCalls.load(std::memory_order_relaxed);
  for (auto _ : state) threeNumbersBinary(out.get(), ++i);
  reportAllocations(state, before);
}
BENCHMARK(BinaryThreeNumbersToDevNull);

// The same statement rendered with the full prefix into a manager without an
// output: the line is gathered in the block, which then goes back.
void EnabledThreeNumbersIntoMemory(benchmark::State& state) {
  LogManager mgr(nullptr, -1, 0, "memory", 0xFFFFFFFFu, LogManager::MAX_LOG_LINE_LENGTH, nullptr,
                 4 * (LogManager::MAX_LOG_LINE_LENGTH + 20) + 84);
  uint32_t i = 0;
  threeNumbers(&mgr, i);
  const uint64_t before = mallocCalls.load(std::memory_order_relaxed);
  for (auto _ : state) threeNumbers(&mgr, ++i);
  reportAllocations(state, before);
}
BENCHMARK(EnabledThreeNumbersIntoMemory);

// The binary record built into memory: the caller's own work without the
// system call both direct paths make.
void BinaryThreeNumbersIntoMemory(benchmark::State& state) {
  LogManager mgr(nullptr, -1, 0, "memory", 0xFFFFFFFFu, LogManager::MAX_LOG_LINE_LENGTH, nullptr,
                 4 * (LogManager::MAX_LOG_LINE_LENGTH + 20) + 84);
  uint32_t i = 0;
  threeNumbersBinary(&mgr, i);
  const uint64_t before = mallocCalls.load(std::memory_order_relaxed);
  for (auto _ : state) threeNumbersBinary(&mgr, ++i);
  reportAllocations(state, before);
}
BENCHMARK(BinaryThreeNumbersIntoMemory);

// The system call alone: one writev to /dev/null of a line of the statement's
// length (103 bytes), cut into state.range(0) elements as the direct path's
// line is (14 elements after merging; the kernel copies up to 8 element
// descriptors on its stack and allocates for more).
void BareWritevToDevNull(benchmark::State& state) {
  static const char line[] =
      "2026/12/07 06:59:00.123456 140245871236928 bench/logging_bench.cpp:105 ERROR rows 1234 of 1000000 in 3 "
      "parts done\n";
  const int fd = open("/dev/null", O_WRONLY);
  const size_t total = sizeof line - 1;
  const size_t count = static_cast<size_t>(state.range(0));
  std::vector<iovec> elements(count);
  for (size_t i = 0; i < count; ++i) {
    const size_t from = total * i / count;
    elements[i] = iovec{const_cast<char*>(line + from), total * (i + 1) / count - from};
  }
  for (auto _ : state) benchmark::DoNotOptimize(writev(fd, elements.data(), static_cast<int>(count)));
  close(fd);
}
BENCHMARK(BareWritevToDevNull)->Arg(1)->Arg(8)->Arg(14);

void EnabledStatementNoPrefix(benchmark::State& state) {
  DevNullManager out(0);
  uint32_t i = 0;
  for (auto _ : state) {
    LOG_INTO(out.get(), app_error) << "row " << i << " of " << 1000000u << LOG_ENDLINE;
    ++i;
  }
}
BENCHMARK(EnabledStatementNoPrefix);

}  // namespace

// Counts every malloc of the process (glibc's allocator does the work).
extern "C" void* __libc_malloc(size_t size);
extern "C" void* malloc(size_t size) {
  mallocCalls.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
