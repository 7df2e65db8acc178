// Clock reading for time stamps: the wall clock as a timespec. A thin,
// inline wrapper over clock_gettime(CLOCK_REALTIME); callable from any thread.
#pragma once

#include <time.h>

#include <cstdint>

// Seconds and nanoseconds since the POSIX epoch.
struct TimeWithNanoseconds {
  int64_t seconds;
  uint32_t nanoseconds;
};

// Nanoseconds since the POSIX epoch.
using POSIXtimeInNanoseconds = uint64_t;

// Fills *ts with the current wall-clock time.
inline void getCurrentTime(timespec* ts) { clock_gettime(CLOCK_REALTIME, ts); }

// The current wall-clock time in nanoseconds since the POSIX epoch.
inline uint64_t getCurrentTimeNanoseconds() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}
