// Soak test of the interpolated clock: a million reads spread over about ten
// seconds (one every 10 us), each bracketed by two kernel real-time readings.
// The error of a read is its distance outside [before, after] (0 inside), so
// the cost of the calls themselves does not count. Prints the distribution
// and the share of reads that needed a real reading. Exit status 1 when the
// 99.9th percentile exceeds 50 us.
#include <time.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "utils/time/get_time.hpp"

namespace {

int64_t asNs(const timespec& ts) { return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec; }

}  // namespace

int main() {
  constexpr size_t READS = 1000000;
  constexpr int64_t SPACING_NS = 10000;
  std::vector<int64_t> errors(READS);
  size_t realReadings = 0;
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  int64_t deadline = asNs(start);
  for (size_t i = 0; i < READS; ++i) {
    timespec before;
    timespec after;
    timespec read;
    clock_gettime(CLOCK_REALTIME, &before);
    const int result = interpolated_clock_gettime(&read, false);
    clock_gettime(CLOCK_REALTIME, &after);
    if (result == 0) ++realReadings;
    const int64_t value = asNs(read);
    errors[i] = value < asNs(before) ? asNs(before) - value : value > asNs(after) ? value - asNs(after) : 0;
    deadline += SPACING_NS;
    timespec now;
    do {
      clock_gettime(CLOCK_MONOTONIC, &now);
    } while (asNs(now) < deadline);
  }
  timespec end;
  clock_gettime(CLOCK_MONOTONIC, &end);
  std::sort(errors.begin(), errors.end());
  const auto at = [&](double share) { return errors[static_cast<size_t>(share * static_cast<double>(READS - 1))]; };
  std::printf("reads=%zu seconds=%.2f real_readings=%zu rate=%.6f ticks/ns\n", READS,
              static_cast<double>(asNs(end) - asNs(start)) / 1e9, realReadings, tickRatePerNanosecond.load());
  std::printf("|interpolated - real| ns: p50=%" PRId64 " p99=%" PRId64 " p99.9=%" PRId64 " max=%" PRId64 "\n",
              at(0.5), at(0.99), at(0.999), errors.back());
  return at(0.999) <= 50000 ? 0 : 1;
}
