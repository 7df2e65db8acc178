// The current time and date as the library hands them out: seconds and
// nanoseconds read through the process clock routine (tick_time.hpp, usually
// interpolated without a system call), and today's local date, computed once
// and refreshed on request. Callable from any thread.
#pragma once

#include <time.h>

#include <cstdint>

#include "utils/time/tick_time.hpp"

// Seconds and nanoseconds since the POSIX epoch, each taken from a timespec
// by sign extension. 16 bytes.
struct TimeWithNanoseconds {
  uint64_t time_sec;
  uint64_t time_nanosec;
};
static_assert(sizeof(TimeWithNanoseconds) == 16);

// A local date: full year (e.g. 2020), month 1-12, day 1-31. 4 bytes.
struct TimeAsDayAndYear {
  uint16_t year;
  uint8_t month;
  uint8_t day;
};
static_assert(sizeof(TimeAsDayAndYear) == 4);

// A local time of day. 4 bytes.
struct TimeAsHourMinSec {
  uint8_t hour;
  uint8_t min;
  uint8_t sec;
  uint8_t _fill1;
};
static_assert(sizeof(TimeAsHourMinSec) == 4);

// Nanoseconds since the POSIX epoch.
using POSIXtimeInNanoseconds = uint64_t;

// getCurrentTime's result area when the caller gives none: one per thread,
// so a caller's value is not overwritten by another thread's read.
extern thread_local TimeWithNanoseconds lastTimeRead;

// Reads the clock routine (forceUpdate demands a real reading) into saveTo,
// or into lastTimeRead when saveTo is null; returns that area.
TimeWithNanoseconds* getCurrentTime(TimeWithNanoseconds* saveTo = nullptr, bool forceUpdate = false);

// Today's local date. With nowTimeFields, reads time(), refreshes the
// process's cached date and fills hour, minute and second; with null, computes
// the date only on the first call of the process and otherwise returns the
// cached one, even after midnight. Returns this thread's copy of the date
// (valid until the thread's next call).
TimeAsDayAndYear* getTodaysDate(TimeAsHourMinSec* nowTimeFields);
