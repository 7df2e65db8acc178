// Bounded load program for a log manager with a writer thread:
//   1. caller latency: one thread writes LATENCY_LINES lines (the statement of
//      the comparison: three numbers, ~20 characters, full prefix); each
//      call is timed; p50 and p99 are printed;
//   2. throughput: 4 threads x 1,000,000 lines into one file; the file is
//      read back and every thread's lines must be complete and in order.
// Usage: log_writer_load [directory]   (default /tmp). Exit status 1 when a
// line is lost or out of order.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "utils/logging/logging_api.hpp"

namespace {

SharedMemoryVariableNode loadNode("logload", &DEFAULT_sharedMemoryVariableManager);

constexpr uint32_t LATENCY_LINES = 200000;
constexpr int THREADS = 4;
constexpr uint32_t LINES_PER_THREAD = 1000000;
// Lines up to the standard managers' default length (4608 bytes) in the room
// of 256 lines of the longest size (16.8 MB): about 3,600 pending lines, as a
// queue that rides out the writer's pauses on a busy machine (spdlog's async
// queue of the comparison holds 8192 messages). With 256 pending lines a
// writer descheduled for a few milliseconds makes 1% of the calls wait.
constexpr uint32_t LINE_BYTES = 4608;
constexpr size_t REGION_BYTES = 256 * LogManager::REGION_BYTES_PER_PENDING_LINE;

uint64_t nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

LogManager* openManager(const std::string& name) {
  std::FILE* f = std::fopen(name.c_str(), "w");
  if (f == nullptr) return nullptr;
  const int fd = dup(fileno(f));
  std::fclose(f);
  return new LogManager(&loadNode, fd, 1, "load", 0xFFFFFFFFu, LINE_BYTES, nullptr, REGION_BYTES);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp";
  const std::string latencyFile = dir + "/log_writer_latency.log";
  LogManager* mgr = openManager(latencyFile);
  if (mgr == nullptr || !mgr->hasWriterThread()) {
    std::fprintf(stderr, "cannot open %s or start a writer thread\n", latencyFile.c_str());
    return 2;
  }
  std::vector<uint32_t> latency(LATENCY_LINES);
  for (uint32_t i = 0; i < LATENCY_LINES; ++i) {
    const uint64_t start = nowNs();
    LOG_INTO(mgr, app_error) << "rows " << i << " of " << 1000000u << " in " << static_cast<int32_t>(i & 7)
                             << " parts done" << LOG_ENDLINE;
    latency[i] = static_cast<uint32_t>(nowNs() - start);
  }
  delete mgr;
  std::sort(latency.begin(), latency.end());
  std::printf("caller latency: p50 %u ns, p99 %u ns, max %u ns (%u lines)\n", latency[LATENCY_LINES / 2],
              latency[LATENCY_LINES * 99 / 100], latency.back(), LATENCY_LINES);
  unlink(latencyFile.c_str());

  const std::string loadFile = dir + "/log_writer_load.log";
  mgr = openManager(loadFile);
  if (mgr == nullptr) return 2;
  const uint64_t start = nowNs();
  std::vector<std::thread> loggers;
  for (int t = 0; t < THREADS; ++t) {
    loggers.emplace_back([mgr, t]() {
      for (uint32_t i = 0; i < LINES_PER_THREAD; ++i) {
        LOG_INTO(mgr, app_error) << "t" << t << " i" << i << " of " << LINES_PER_THREAD << LOG_ENDLINE;
      }
    });
  }
  for (std::thread& th : loggers) th.join();
  mgr->closeLog();
  const double seconds = static_cast<double>(nowNs() - start) / 1e9;
  delete mgr;
  const double total = static_cast<double>(THREADS) * LINES_PER_THREAD;
  std::printf("4 threads x %u lines: %.2f s, %.0f lines/s\n", LINES_PER_THREAD, seconds, total / seconds);

  std::ifstream in(loadFile);
  std::string line;
  std::vector<long> next(THREADS, 0);
  uint64_t count = 0;
  bool ok = true;
  while (std::getline(in, line)) {
    const size_t at = line.find(" ERROR t");
    int t = -1;
    long i = -1;
    if (at == std::string::npos || std::sscanf(line.c_str() + at + 8, "%d i%ld", &t, &i) != 2 || t < 0 ||
        t >= THREADS || i != next[static_cast<size_t>(t)]) {
      std::fprintf(stderr, "bad or out-of-order line %llu: %s\n", static_cast<unsigned long long>(count),
                   line.c_str());
      ok = false;
      break;
    }
    ++next[static_cast<size_t>(t)];
    ++count;
  }
  unlink(loadFile.c_str());
  std::printf("lines read back: %llu of %.0f, each thread in order: %s\n", static_cast<unsigned long long>(count),
              total, ok ? "yes" : "no");
  return ok && count == static_cast<uint64_t>(total) ? 0 : 1;
}
