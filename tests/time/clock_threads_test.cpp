// Threads reading the interpolated clock while others publish real readings,
// and threads sharing a day-cache table. The fake world runs ticks and real
// time in lock step (one tick per nanosecond), so a time interpolated from a
// consistent reading equals the ticks the read saw, exactly.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "utils/time/tick_time.hpp"
#include "utils/time/time_point.hpp"

namespace {

// Nanoseconds since the epoch; ticks are the same count.
std::atomic<uint64_t> worldNs{1700000000000000000ull};

// A real reading and the tick read that follows it see the same world time
// (in a real process they are a few nanoseconds apart, here the world may
// jump a second between them).
thread_local bool readingPending = false;
thread_local uint64_t pendingReading = 0;
// The last tick value this thread's clock read saw.
thread_local uint64_t lastTicks = 0;

uint64_t worldTicks() {
  if (readingPending) {
    readingPending = false;
    lastTicks = pendingReading;
  } else {
    lastTicks = worldNs.load();
  }
  return lastTicks;
}
int worldReal(timespec* ts) {
  const uint64_t ns = worldNs.load();
  readingPending = true;
  pendingReading = ns;
  ts->tv_sec = static_cast<time_t>(ns / 1000000000u);
  ts->tv_nsec = static_cast<long>(ns % 1000000000u);
  return 0;
}
const ClockTestSources WORLD{&worldTicks, &worldReal};

uint64_t asNs(const timespec& ts) {
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

TEST(ClockThreads, ReadersNeverMixTwoRealReadings) {
  reset_clock_state();
  set_clock_test_sources(&WORLD);
  set_tick_rate(1.0);
  set_max_clock_sample_interval(1000000000000u);  // readers always interpolate
  timespec ts;
  interpolated_clock_gettime(&ts, true);

  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  // A writer: the world moves in uneven steps and the writer forces real
  // readings; the reader that took the ticks of one reading with the time of
  // another would be a step off.
  std::thread writer([&] {
    while (!stop.load()) {
      worldNs.fetch_add(1234567u);
      timespec real;
      interpolated_clock_gettime(&real, true);
    }
  });
  // A reader for a fixed stretch of wall time rather than a count: on a busy
  // machine the threads overlap only now and then.
  std::thread reader([&] {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < end) {
      for (int i = 0; i < 1000; ++i) {
        timespec now;
        interpolated_clock_gettime(&now, false);
        if (asNs(now) != lastTicks) wrong.fetch_add(1);
      }
    }
  });
  reader.join();
  stop.store(true);
  writer.join();
  set_clock_test_sources(nullptr);
  reset_clock_state();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(ClockThreads, DayTableGivesEveryThreadTheSameEntry) {
  TimePointCacheTable table("threadDays");
  const time_t start = 1700000000;
  std::vector<std::thread> threads;
  std::vector<const TimePointCache*> seen(4 * 20);
  const auto at = [](int t, int day) { return static_cast<std::size_t>(t * 20 + day); };
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int day = 0; day < 20; ++day) seen[at(t, day)] = table.getCacheEntry(start + day * 86400 + t * 60);
    });
  }
  for (auto& thread : threads) thread.join();
  for (int day = 0; day < 20; ++day) {
    ASSERT_NE(seen[at(0, day)], nullptr);
    for (int t = 1; t < 4; ++t) EXPECT_EQ(seen[at(t, day)], seen[at(0, day)]) << day;
  }
  EXPECT_EQ(table.timeTable.size(), 20u);
}

}  // namespace
