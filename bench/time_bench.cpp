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

// The tick rate three ways, as counters (ticks per nanosecond): measured by
// the busy loop, estimated from /proc/cpuinfo, and learnt by the clock from
// its own readings. Seconds of busy time: one iteration.
void BM_ProfileClockRate(benchmark::State& state) {
  warmUp();
  const double learnt = tickRatePerNanosecond.load();
  uint64_t measured = 0;
  for (auto _ : state) measured = profile_clock_rate(false);
  state.counters["measured"] = static_cast<double>(measured) / 100.0;
  state.counters["cpuinfo"] = static_cast<double>(get_clock_rate_estimate(false)) / 100.0;
  state.counters["learnt"] = learnt;
}
BENCHMARK(BM_ProfileClockRate)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_CPUTicks(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(get_CPU_ticks());
}
BENCHMARK(BM_CPUTicks);

}  // namespace
