// The interpolated clock driven by injected ticks and real-clock readings:
// profiling, the tolerable interval, the nanosecond carry, forced real
// readings, the simulated clock and the /proc/cpuinfo estimate. No test
// waits for time to pass.
#include "utils/time/tick_time.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "utils/time/get_time.hpp"

namespace {

uint64_t fakeTicks = 0;
timespec fakeReal{};
int realReads = 0;

uint64_t readFakeTicks() { return fakeTicks; }
int readFakeReal(timespec* ts) {
  *ts = fakeReal;
  ++realReads;
  return 0;
}
const ClockTestSources FAKE_SOURCES{&readFakeTicks, &readFakeReal};

class Clock : public testing::Test {
 protected:
  void SetUp() override {
    reset_clock_state();
    set_clock_test_sources(&FAKE_SOURCES);
    fakeTicks = 1000;
    fakeReal = timespec{1700000000, 0};
    realReads = 0;
  }
  void TearDown() override {
    set_clock_test_sources(nullptr);
    reset_clock_state();
  }
  // Moves the fake world on by ns nanoseconds and ticksPerNs ticks per ns.
  static void advance(int64_t ns, double ticksPerNs) {
    fakeTicks += static_cast<uint64_t>(static_cast<double>(ns) * ticksPerNs);
    const int64_t total = fakeReal.tv_nsec + ns;
    fakeReal.tv_sec += static_cast<time_t>(total / 1000000000);
    fakeReal.tv_nsec = static_cast<long>(total % 1000000000);
  }
  static timespec read(bool force = false, int* result = nullptr) {
    timespec ts{};
    const int r = interpolated_clock_gettime(&ts, force);
    if (result != nullptr) *result = r;
    return ts;
  }
  // A real reading as the base, with the rate already set.
  static void seedBase(long nanoseconds) {
    fakeReal.tv_nsec = nanoseconds;
    read(true);
  }
};

TEST_F(Clock, UnprofiledReadsAreRealUntilTwoSamplesTenMillisecondsApart) {
  int result = -1;
  timespec ts = read(false, &result);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(ts.tv_sec, fakeReal.tv_sec);
  EXPECT_EQ(clockProfileState.load(), CLOCK_FIRST_SAMPLE);

  advance(5000000, 3.0);  // 5 ms: too close for a second sample
  read();
  EXPECT_EQ(clockProfileState.load(), CLOCK_FIRST_SAMPLE);
  EXPECT_EQ(realReads, 2);

  advance(15000000, 3.0);  // 20 ms after the first sample
  read();
  EXPECT_EQ(clockProfileState.load(), CLOCK_PROFILE_COMPLETE);
  EXPECT_DOUBLE_EQ(tickRatePerNanosecond.load(), 3.0);
  EXPECT_EQ(maxTolerableTickInterval.load(), 3000000000u);

  // From now on reads interpolate: 3000 ticks are 1000 ns, no real reading.
  const timespec base = fakeReal;
  fakeTicks += 3000;
  ts = read(false, &result);
  EXPECT_EQ(realReads, 3);
  EXPECT_EQ(result, 3000);
  EXPECT_EQ(ts.tv_sec, base.tv_sec);
  EXPECT_EQ(ts.tv_nsec, base.tv_nsec + 1000);
}

TEST_F(Clock, ProfilingRestartsOnAnInvalidRate) {
  fakeTicks = 1000000000;
  read();
  advance(20000000, 0.0);
  fakeTicks = 5;  // the counter went back: no rate, this becomes the first sample
  read();
  EXPECT_EQ(clockProfileState.load(), CLOCK_FIRST_SAMPLE);
  advance(20000000, 2.0);
  read();
  EXPECT_EQ(clockProfileState.load(), CLOCK_PROFILE_COMPLETE);
  EXPECT_DOUBLE_EQ(tickRatePerNanosecond.load(), 2.0);
}

TEST_F(Clock, LearntRateIsRefinedOverALongerSpanButASetRateIsKept) {
  read();
  advance(20000000, 3.0);
  fakeTicks += 600;  // a late tick read in the second sample: rate 3.00003
  read();
  EXPECT_NE(tickRatePerNanosecond.load(), 3.0);
  advance(2000000000, 3.0);  // past the interval: a real reading, 2 s of span
  read();
  EXPECT_NEAR(tickRatePerNanosecond.load(), 3.0, 1e-6);

  set_tick_rate(2.0);
  advance(3000000000, 3.0);
  read();
  EXPECT_DOUBLE_EQ(tickRatePerNanosecond.load(), 2.0);
}

TEST_F(Clock, TolerableIntervalBoundary) {
  set_tick_rate(2.5);
  EXPECT_EQ(maxTolerableTickInterval.load(), 2500000000u);
  seedBase(0);
  const uint64_t baseTicks = fakeTicks;
  const int readsBefore = realReads;
  fakeTicks = baseTicks + 2500000000u - 1;
  read();
  EXPECT_EQ(realReads, readsBefore);
  fakeTicks = baseTicks + 2500000000u;
  int result = -1;
  read(false, &result);
  EXPECT_EQ(realReads, readsBefore + 1);
  EXPECT_EQ(result, 0);
}

TEST_F(Clock, NanosecondsCarryIntoSeconds) {
  set_tick_rate(1.0);
  set_max_clock_sample_interval(10000000000u);
  struct Case {
    long baseNs;
    uint64_t ticks;
    time_t secondsAdded;
    long ns;
  };
  const Case cases[] = {
      {999999990, 20, 1, 10},
      {999999990, 9, 0, 999999999},
      {999999990, 10, 1, 0},
      {500000000, 1500000000, 2, 0},
      {999999999, 3000000001u, 4, 0},
      {0, 7250000001u, 7, 250000001},
  };
  for (const Case& c : cases) {
    seedBase(c.baseNs);
    const time_t baseSec = fakeReal.tv_sec;
    const uint64_t baseTicks = fakeTicks;
    fakeTicks = baseTicks + c.ticks;
    const timespec ts = read();
    EXPECT_EQ(ts.tv_sec - baseSec, c.secondsAdded) << c.baseNs << " + " << c.ticks;
    EXPECT_EQ(ts.tv_nsec, c.ns) << c.baseNs << " + " << c.ticks;
    fakeTicks = baseTicks;
  }
}

TEST_F(Clock, ForcedZeroTickAndMissingBaseReadsAreReal) {
  set_tick_rate(1.0);
  // No real reading yet: nothing to interpolate from.
  int result = -1;
  read(false, &result);
  EXPECT_EQ(realReads, 1);
  // Forced.
  read(true);
  EXPECT_EQ(realReads, 2);
  // A counter that reads 0 (not readable) never interpolates.
  fakeTicks = 0;
  read(true);
  read();
  read();
  EXPECT_EQ(realReads, 5);
}

TEST_F(Clock, InvalidRatesAreIgnoredAndHugeOnesClamped) {
  const double invalid[] = {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity()};
  for (double rate : invalid) {
    set_tick_rate(rate);
    EXPECT_EQ(clockProfileState.load(), CLOCK_NOT_PROFILED) << rate;
    EXPECT_DOUBLE_EQ(tickRatePerNanosecond.load(), 2.5) << rate;
  }
  set_tick_rate(1e300);
  EXPECT_EQ(maxTolerableTickInterval.load(), std::numeric_limits<uint64_t>::max());
  set_tick_rate(4.0);
  set_max_clock_sample_interval(250);
  EXPECT_EQ(maxTolerableTickInterval.load(), 1000u);
  EXPECT_EQ(clockProfileState.load(), CLOCK_PROFILE_COMPLETE);
}

TEST_F(Clock, SimulatedClockReadsTheExternalCounter) {
  uint64_t counter = 1500000000u;
  const Clock_GetTime_InterfaceFP previous = set_clock_function(&interpolated_clock_gettime);
  EXPECT_EQ(previous, &interpolated_clock_gettime);
  set_external_rdtsc_variable(&counter);
  EXPECT_EQ(clockRoutine_function.load(), &simulated_clock_gettime);
  timespec ts{};
  EXPECT_EQ(simulated_clock_gettime(&ts, true), 2);
  EXPECT_EQ(ts.tv_sec, 1);
  EXPECT_EQ(ts.tv_nsec, 500000000);
  counter = 1700000000123456789ull;
  TimeWithNanoseconds now{};
  EXPECT_EQ(getCurrentTime(&now, false), &now);
  EXPECT_EQ(now.time_sec, 1700000000u);
  EXPECT_EQ(now.time_nanosec, 123456789u);
  EXPECT_EQ(getCurrentTime(nullptr, false), &lastTimeRead);
  EXPECT_EQ(lastTimeRead.time_nanosec, 123456789u);
}

TEST_F(Clock, RateEstimateFromCpuinfoText) {
  struct Case {
    const char* text;
    uint64_t result;
    double rate;  // 0: nothing set
    const char* output;
  };
  const Case cases[] = {
      {"processor\t: 0\ncpu MHz\t\t: 1200.000\nflags\t: fpu\n", 120, 1.2, ""},
      {"cpu MHz : 2899.99\n", 289, 2.89999, ""},
      {"cpu MHz\t\t: 800.0\n", 100, 1.0, "error:  clock rate too slow 800.000000\n"},
      {"processor\t: 0\ncpu MHz\t\t: 1200.000", 300, 0.0,
       "error: did not see cpu MHz line, bfr=processor\t: 0\ncpu MHz\t\t: 1200.000\n"},
  };
  for (const Case& c : cases) {
    reset_clock_state();
    testing::internal::CaptureStdout();
    const uint64_t result = clock_rate_estimate_from_text(c.text, std::string(c.text).size(), true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output) << c.text;
    EXPECT_EQ(result, c.result) << c.text;
    if (c.rate == 0.0) {
      EXPECT_EQ(clockProfileState.load(), CLOCK_NOT_PROFILED) << c.text;
    } else {
      EXPECT_NEAR(tickRatePerNanosecond.load(), c.rate, 1e-12) << c.text;
      EXPECT_EQ(clockProfileState.load(), CLOCK_RATE_ESTIMATED) << c.text;
    }
  }
  // An estimate never lowers a complete profile.
  set_tick_rate(2.0);
  clock_rate_estimate_from_text("cpu MHz : 1500\n", 15, true);
  EXPECT_EQ(clockProfileState.load(), CLOCK_PROFILE_COMPLETE);
  // An estimated rate interpolates.
  reset_clock_state();
  clock_rate_estimate_from_text("cpu MHz : 2000\n", 15, true);
  seedBase(0);
  fakeTicks += 2000;
  EXPECT_EQ(read().tv_nsec, 1000);
}

}  // namespace
