// Day anchors (TimePointCache), the process's cache for today, the shared
// table of day caches and the expansion and text of time points. mktime and
// localtime_r run when a cache is built (once per day per cache) and when an
// instant falls on a day that is not 86400 s long; every other expansion is
// arithmetic on the cached midnight.
#include "utils/time/time_point.hpp"

#include <cstring>
#include <new>

#include "utils/base/text2int_tbl.hpp"

// Built after the clock globals (constant-initialised) and before the
// standard log managers (priority 110), which copy it.
__attribute__((init_priority(109))) TimePointCache TimePointCacheForToday;

namespace {


// A cache that matches no instant.
void clearCache(TimePointCache* cache) {
  std::memset(static_cast<void*>(cache), 0, sizeof *cache);
}

}  // namespace

TimePointCache::TimePointCache() { initializeForDay(); }
TimePointCache::TimePointCache(time_t t) { initializeForDay(t); }
TimePointCache::TimePointCache(const timespec& ts) { initializeForDay(ts); }
TimePointCache::TimePointCache(const tm& lt) { initializeForDay(lt); }

bool TimePointCache::initializeForDay() {
  timespec now;
  clockRoutine_function.load(std::memory_order_acquire)(&now, true);
  return initializeForDay(now.tv_sec);
}

bool TimePointCache::initializeForDay(const timespec& ts) { return initializeForDay(ts.tv_sec); }

bool TimePointCache::initializeForDay(time_t t) {
  tm local;
  if (localtime_r(&t, &local) == nullptr) {
    clearCache(this);
    return false;
  }
  return buildFromLocal(local);
}

bool TimePointCache::initializeForDay(const tm& lt) { return buildFromLocal(lt); }

bool TimePointCache::buildFromLocal(const tm& lt) {
  lastTime = lt;
  localMidnight = lt;
  localMidnight.tm_hour = 0;
  localMidnight.tm_min = 0;
  localMidnight.tm_sec = 0;
  localMidnight.tm_isdst = -1;
  localEndOfDay = localMidnight;
  localEndOfDay.tm_hour = 24;
  local3am = localMidnight;
  local3am.tm_hour = 3;
  // mktime normalises each in place (the end of day becomes the next midnight).
  lastTimeEpoch = mktime(&lastTime);
  localMidnightEpoch = mktime(&localMidnight);
  localEndOfDayEpoch = mktime(&localEndOfDay);
  local3amEpoch = mktime(&local3am);
  if (localMidnightEpoch == static_cast<time_t>(-1) || localEndOfDayEpoch == static_cast<time_t>(-1) ||
      gmtime_r(&local3amEpoch, &utc3am) == nullptr) {
    clearCache(this);
    return false;
  }
  utcDifferenceSeconds = static_cast<int32_t>(local3am.tm_gmtoff);
  return true;
}

bool TimePointCache::isForDay(const tm& lt) const {
  return lt.tm_year == localMidnight.tm_year && lt.tm_mon == localMidnight.tm_mon &&
         lt.tm_mday == localMidnight.tm_mday && localEndOfDayEpoch > localMidnightEpoch;
}

TimePointCacheTable::TimePointCacheTable(const char* name)
    : lockName(name), tblLock(name, &DEFAULT_sharedMemoryVariableManager) {}

TimePointCacheTable::~TimePointCacheTable() {
  for (auto& entry : timeTable) delete entry.second;
}

const TimePointCache* TimePointCacheTable::getCacheEntry(time_t t) {
  timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += 1;
  if (tblLock.lockUntil(&deadline, THIS_FILE_AND_LINE(__FILE__, __LINE__)) < 0) return nullptr;
  const TimePointCache* entry = findOrAddEntry(t);
  tblLock.unlock();
  return entry;
}

const TimePointCache* TimePointCacheTable::findOrAddEntry(time_t t) {
  // The entry with the greatest midnight not after t, if its day holds t.
  auto it = timeTable.upper_bound(t);
  if (it != timeTable.begin()) {
    --it;
    if (it->second->isForDay(t)) return it->second;
  }
  TimePointCache* cache = new (std::nothrow) TimePointCache(t);
  if (cache == nullptr) return nullptr;
  if (!cache->isForDay(t)) {
    delete cache;
    return nullptr;
  }
  timeTable.emplace(cache->localMidnightEpoch, cache);
  return cache;
}

template <uint32_t UNITS_PER_SECOND>
TimePointOfGranularity<UNITS_PER_SECOND>::TimePointOfGranularity(time_t secondsSinceEpoch, uint64_t fraction,
                                                                 int32_t skewMinutes, const TimePointCache& cache) {
  time_t t = secondsSinceEpoch + static_cast<time_t>(skewMinutes) * 60;
  if (fraction >= UNITS_PER_SECOND) {
    t += static_cast<time_t>(fraction / UNITS_PER_SECOND);
    fraction %= UNITS_PER_SECOND;
  }
  fractionalUnits = fraction;
  if (cache.hasUniformDay() && cache.isForDay(t)) {
    const int sinceMidnight = static_cast<int>(t - cache.localMidnightEpoch);
    expandedTime = cache.localMidnight;
    expandedTime.tm_hour = sinceMidnight / 3600;
    expandedTime.tm_min = sinceMidnight / 60 % 60;
    expandedTime.tm_sec = sinceMidnight % 60;
  } else if (localtime_r(&t, &expandedTime) == nullptr) {
    std::memset(static_cast<void*>(&expandedTime), 0, sizeof expandedTime);
    expandedTime.tm_mday = 1;
    expandedTime.tm_year = 70;
  }
}

template <uint32_t UNITS_PER_SECOND>
bool TimePointOfGranularity<UNITS_PER_SECOND>::formatIntoString(char* bfr, size_t bfrLen, size_t* resultLen,
                                                                uint32_t fieldsWanted,
                                                                const char* fieldSeparators) const {
  constexpr size_t FRACTION_DIGITS = [] {
    size_t digits = 0;
    for (uint32_t units = UNITS_PER_SECOND; units > 1; units /= 10) ++digits;
    return digits;
  }();
  const bool withDate = (fieldsWanted & OUTPUT_DATE) != 0;
  const bool withTime = (fieldsWanted & OUTPUT_TIME) != 0;
  const size_t needed = (withDate ? 10u : 0u) + (withDate && withTime ? 1u : 0u) +
                        (withTime ? 8u + (FRACTION_DIGITS > 0 ? 1u + FRACTION_DIGITS : 0u) : 0u);
  if (resultLen != nullptr) *resultLen = 0;
  if (bfr == nullptr || needed > bfrLen) return false;
  char separators[4] = {'/', ' ', ':', '.'};
  if (fieldSeparators != nullptr) {
    for (size_t i = 0; i < 4 && fieldSeparators[i] != '\0'; ++i) separators[i] = fieldSeparators[i];
  }
  char* p = bfr;
  const auto putTwo = [&p](int value) {
    std::memcpy(p, numberAsTwoDigits[static_cast<unsigned>(value) % 100u], 2);
    p += 2;
  };
  if (withDate) {
    std::memcpy(p, numberAs4Digits[static_cast<unsigned>(expandedTime.tm_year + 1900) % 10000u].digits, 4);
    p += 4;
    *p++ = separators[0];
    putTwo(expandedTime.tm_mon + 1);
    *p++ = separators[0];
    putTwo(expandedTime.tm_mday);
  }
  if (withTime) {
    if (withDate) *p++ = separators[1];
    putTwo(expandedTime.tm_hour);
    *p++ = separators[2];
    putTwo(expandedTime.tm_min);
    *p++ = separators[2];
    putTwo(expandedTime.tm_sec);
    if (FRACTION_DIGITS > 0) {
      *p++ = separators[3];
      uint64_t fraction = fractionalUnits;
      for (size_t i = FRACTION_DIGITS; i > 0; --i) {
        p[i - 1] = static_cast<char>('0' + fraction % 10u);
        fraction /= 10u;
      }
      p += FRACTION_DIGITS;
    }
  }
  const size_t len = static_cast<size_t>(p - bfr);
  if (len < bfrLen) *p = '\0';
  if (resultLen != nullptr) *resultLen = len;
  return true;
}

template <uint32_t UNITS_PER_SECOND>
uint64_t TimePointOfGranularity<UNITS_PER_SECOND>::convertToNanosecondsSinceEpoch() const {
  tm fields = expandedTime;
  const time_t seconds = mktime(&fields);
  if (seconds == static_cast<time_t>(-1) || seconds < 0) return 0;
  return static_cast<uint64_t>(seconds) * 1000000000u + fractionalUnits * (1000000000u / UNITS_PER_SECOND);
}

template <uint32_t UNITS_PER_SECOND>
uint64_t TimePointOfGranularity<UNITS_PER_SECOND>::unitsSinceMidnight() const {
  const uint64_t seconds = static_cast<uint64_t>(expandedTime.tm_hour) * 3600u +
                           static_cast<uint64_t>(expandedTime.tm_min) * 60u +
                           static_cast<uint64_t>(expandedTime.tm_sec);
  return seconds * UNITS_PER_SECOND + fractionalUnits;
}

template struct TimePointOfGranularity<1000000000u>;
