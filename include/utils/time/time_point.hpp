// Local-time anchors of one day and time points built on them. A
// TimePointCache holds the epoch seconds of a day's local midnight, end of day
// and 3 am, so the time of day of any instant in that day is one subtraction
// and a few divisions instead of a localtime_r call; on a day that is not
// 86400 s long (a daylight-saving change) expansion falls back to localtime_r.
// The UTC offset is the zone's own (tm_gmtoff at 3 am), so half-hour zones and
// zones east of UTC+3 are right. A cache is a plain value: one thread builds
// or rebuilds it; TimePointCacheTable shares day caches between threads.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <map>

#include "utils/base/timed_mutex.hpp"
#include "utils/time/get_time.hpp"

class TimePointCache {
 public:
  // For the day of now (the clock routine, forced), of t, of ts's seconds, or
  // of the local broken-down time lt (normalised as mktime does).
  TimePointCache();
  explicit TimePointCache(time_t t);
  explicit TimePointCache(const timespec& ts);
  explicit TimePointCache(const tm& lt);

  // Rebuild for another day. false (and a cache that matches no instant) when
  // the time has no local representation.
  bool initializeForDay();
  bool initializeForDay(time_t t);
  bool initializeForDay(const timespec& ts);
  bool initializeForDay(const tm& lt);

  // t lies in [localMidnightEpoch, localEndOfDayEpoch).
  bool isForDay(time_t t) const { return t >= localMidnightEpoch && t < localEndOfDayEpoch; }
  // lt's year, month and day are this cache's.
  bool isForDay(const tm& lt) const;
  // Seconds east of UTC at the day's 3 am.
  int32_t offsetFromUTC() const { return utcDifferenceSeconds; }
  // The day is 86400 s long, so its time of day is the distance from midnight.
  bool hasUniformDay() const { return localEndOfDayEpoch - localMidnightEpoch == 86400; }

  tm localMidnight;
  tm localEndOfDay;  // the next day's midnight
  tm local3am;
  tm lastTime;  // the time the cache was built for
  tm utc3am;
  time_t localMidnightEpoch;
  time_t localEndOfDayEpoch;
  time_t local3amEpoch;
  time_t lastTimeEpoch;
  int32_t utcDifferenceSeconds;

 private:
  bool buildFromLocal(const tm& lt);
};

// The process's cache for the day it started in, built before main (after
// the clock, before the standard log managers).
extern TimePointCache TimePointCacheForToday;

// Day caches shared between threads: getCacheEntry(t) returns the cache of
// t's local day, building and inserting it under tblLock on first use.
// Entries live as long as the table. A lookup waits at most one second for
// the lock. The lock keeps its statistics under the node lockName of the
// process's shared-variable manager.
class TimePointCacheTable {
 public:
  explicit TimePointCacheTable(const char* lockName);
  ~TimePointCacheTable();
  TimePointCacheTable(const TimePointCacheTable&) = delete;
  TimePointCacheTable& operator=(const TimePointCacheTable&) = delete;

  // Null when the lock is not had within a second, memory is short or t has
  // no local representation.
  const TimePointCache* getCacheEntry(time_t t);

  const char* lockName;
  TimedMutex tblLock;                           // guards timeTable
  std::map<time_t, TimePointCache*> timeTable;  // keyed by the day's local midnight

 private:
  const TimePointCache* findOrAddEntry(time_t t);  // tblLock held
};

// An instant as a count of 1/UNITS_PER_SECOND second units since the POSIX
// epoch (UNITS_PER_SECOND a power of ten up to 10^9).
template <uint32_t UNITS_PER_SECOND>
struct POSIXtimeInUnits {
  static_assert(UNITS_PER_SECOND > 0 && 1000000000u % UNITS_PER_SECOND == 0);
  static constexpr uint64_t NANOSECONDS_PER_UNIT = 1000000000u / UNITS_PER_SECOND;

  uint64_t time_in_units;

  // seconds plus units, moved by skewUnits (which may be negative).
  POSIXtimeInUnits(time_t seconds, uint64_t units, int64_t skewUnits = 0)
      : time_in_units(static_cast<uint64_t>(static_cast<int64_t>(seconds)) * UNITS_PER_SECOND + units +
                      static_cast<uint64_t>(skewUnits)) {}
  explicit POSIXtimeInUnits(const TimeWithNanoseconds& t)
      : time_in_units(t.time_sec * UNITS_PER_SECOND + t.time_nanosec / NANOSECONDS_PER_UNIT) {}

  uint64_t getSeconds() const { return time_in_units / UNITS_PER_SECOND; }
  uint64_t convertToNanosecondsSinceEpoch() const { return time_in_units * NANOSECONDS_PER_UNIT; }
  // Units since epochSeconds (negative before it).
  int64_t convertToCustomEpochUnits(time_t epochSeconds) const {
    return static_cast<int64_t>(time_in_units) - static_cast<int64_t>(epochSeconds) * UNITS_PER_SECOND;
  }
  // Sets this to now (the clock routine) and returns the count.
  uint64_t getCurrentTime() {
    TimeWithNanoseconds now;
    ::getCurrentTime(&now, false);
    time_in_units = POSIXtimeInUnits(now).time_in_units;
    return time_in_units;
  }
};

// An instant expanded into local calendar fields plus the fraction of its
// second in 1/UNITS_PER_SECOND units. Defined for 10^9 (nanoseconds).
template <uint32_t UNITS_PER_SECOND>
struct TimePointOfGranularity {
  static constexpr uint32_t OUTPUT_DATE = 1;
  static constexpr uint32_t OUTPUT_TIME = 2;

  // Expands seconds + fraction (units; a fraction of a second or more carries
  // into the seconds), moved by skewMinutes, through cache when the instant
  // lies in its day and the day is 86400 s long, else through localtime_r.
  TimePointOfGranularity(time_t secondsSinceEpoch, uint64_t fraction, int32_t skewMinutes,
                         const TimePointCache& cache);

  // Writes "YYYY/MM/DD" (OUTPUT_DATE), "HH:MM:SS.fffffffff" (OUTPUT_TIME, one
  // fraction digit per power of ten of the units) or both joined by a space.
  // fieldSeparators (null: "/ :.") gives the date separator, the separator
  // between date and time, the time separator and the one before the fraction.
  // A NUL follows when there is room. Returns false, with *resultLen = 0, when
  // bfrLen is too small; no terminator is counted in *resultLen.
  bool formatIntoString(char* bfr, size_t bfrLen, size_t* resultLen, uint32_t fieldsWanted,
                        const char* fieldSeparators = nullptr) const;

  // The instant the fields show, in nanoseconds since the POSIX epoch (0 when
  // they have no epoch value).
  uint64_t convertToNanosecondsSinceEpoch() const;
  // Units since the local midnight of the fields' day (by the clock face).
  uint64_t unitsSinceMidnight() const;

  tm expandedTime;
  uint64_t fractionalUnits;
};

extern template struct TimePointOfGranularity<1000000000u>;
