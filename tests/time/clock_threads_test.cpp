// Threads reading the interpolated clock while others publish real readings,
// and threads sharing a day-cache table. The fake world runs ticks and real
// time in lock step (one tick per nanosecond), so an interpolated time is
// exact and must lie between the world times read just before and after it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "utils/time/tick_time.hpp"
#include "utils/time/time_point.hpp"

namespace {

// Nanoseconds since the epoch; ticks are the same count.
std::atomic<uint64_t> worldNs{1700000000000000000ull};

uint64_t worldTicks() { return worldNs.load(); }
int worldReal(timespec* ts) {
  const uint64_t ns = worldNs.load();
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
  timespec ts;
  interpolated_clock_gettime(&ts, true);

  std::atomic<bool> stop{false};
  std::atomic<int> outside{0};
  std::vector<std::thread> threads;
  // Two writers: the world moves in uneven steps that change the seconds and
  // the nanoseconds together, and each writer forces real readings.
  for (int w = 0; w < 2; ++w) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        worldNs.fetch_add(987654321u);
        timespec real;
        interpolated_clock_gettime(&real, true);
      }
    });
  }
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200000; ++i) {
        const uint64_t before = worldNs.load();
        timespec now;
        interpolated_clock_gettime(&now, false);
        const uint64_t after = worldNs.load();
        const uint64_t value = asNs(now);
        if (value < before || value > after) outside.fetch_add(1);
      }
    });
  }
  for (size_t i = 2; i < threads.size(); ++i) threads[i].join();
  stop.store(true);
  threads[0].join();
  threads[1].join();
  set_clock_test_sources(nullptr);
  reset_clock_state();
  EXPECT_EQ(outside.load(), 0);
}

TEST(ClockThreads, DayTableGivesEveryThreadTheSameEntry) {
  TimePointCacheTable table("threadDays");
  const time_t start = 1700000000;
  std::vector<std::thread> threads;
  std::vector<const TimePointCache*> seen(4 * 20);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int day = 0; day < 20; ++day) seen[t * 20 + day] = table.getCacheEntry(start + day * 86400 + t * 60);
    });
  }
  for (auto& thread : threads) thread.join();
  for (int day = 0; day < 20; ++day) {
    ASSERT_NE(seen[day], nullptr);
    for (int t = 1; t < 4; ++t) EXPECT_EQ(seen[t * 20 + day], seen[day]) << day;
  }
  EXPECT_EQ(table.timeTable.size(), 20u);
}

}  // namespace
