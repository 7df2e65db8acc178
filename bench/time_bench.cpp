// A clock read through the library (getCurrentTime: the interpolated clock,
// no system call in the common case) against the kernel's real-time clock,
// in the same run. The interpolated clock learns its tick rate in the first
// 10 ms; the warm-up read below gets that done before timing starts.
#include <benchmark/benchmark.h>
#include <time.h>

#include "utils/time/get_time.hpp"
#include "utils/time/tick_time.hpp"

namespace {

void warmUp() {
  static bool done = false;
  if (done) return;
  const timespec pause{0, 20000000};
  getCurrentTime(nullptr, true);
  nanosleep(&pause, nullptr);
  getCurrentTime(nullptr, true);
  done = true;
}

void BM_GetCurrentTime(benchmark::State& state) {
  warmUp();
  TimeWithNanoseconds now;
  for (auto _ : state) {
    getCurrentTime(&now, false);
    benchmark::DoNotOptimize(now);
  }
}
BENCHMARK(BM_GetCurrentTime);

void BM_ClockGettimeRealtime(benchmark::State& state) {
  timespec now;
  for (auto _ : state) {
    clock_gettime(CLOCK_REALTIME, &now);
    benchmark::DoNotOptimize(now);
  }
}
BENCHMARK(BM_ClockGettimeRealtime);

void BM_CPUTicks(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(get_CPU_ticks());
}
BENCHMARK(BM_CPUTicks);

}  // namespace
