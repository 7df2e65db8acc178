// Day anchors under POSIX TZ strings set by the test (a zone with both
// daylight-saving change days, a half-hour zone, a zone far east), expansion
// and text of time points, the shared day-cache table and today's date.
#include "utils/time/time_point.hpp"

#include <gtest/gtest.h>

#include <string>

#include "test_support.hpp"

namespace {

// Sets TZ for the life of the object.
struct ZoneScope : narvelix_test::EnvScope {
  explicit ZoneScope(const char* zone) : EnvScope("TZ", zone) {}
};

time_t utc(int year, int month, int day, int hour, int minute) {
  tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  return timegm(&fields);
}

constexpr const char* CET = "CET-1CEST,M3.5.0,M10.5.0/3";

struct DayCase {
  const char* zone;
  const char* label;
  time_t midnight;  // the local midnight, as UTC
  int dayLength;
  int threeAmAfterMidnight;
  int32_t offset;
};

const DayCase DAY_CASES[] = {
    {CET, "winter", utc(2026, 1, 14, 23, 0), 86400, 3 * 3600, 3600},
    {CET, "summer", utc(2026, 7, 14, 22, 0), 86400, 3 * 3600, 7200},
    {CET, "spring change", utc(2026, 3, 28, 23, 0), 82800, 2 * 3600, 7200},
    {CET, "autumn change", utc(2026, 10, 24, 22, 0), 90000, 4 * 3600, 3600},
    {"IST-5:30", "half hour", utc(2026, 6, 9, 18, 30), 86400, 3 * 3600, 19800},
    {"AEST-10", "far east", utc(2026, 6, 9, 14, 0), 86400, 3 * 3600, 36000},
};

TEST(TimePointCache, AnchorsOfTheDay) {
  for (const DayCase& c : DAY_CASES) {
    ZoneScope zone(c.zone);
    // Built from the first and the last second of the day and from a timespec.
    for (time_t t : {c.midnight, c.midnight + c.dayLength - 1}) {
      const TimePointCache cache(timespec{t, 0});
      EXPECT_EQ(cache.localMidnightEpoch, c.midnight) << c.label;
      EXPECT_EQ(cache.localEndOfDayEpoch, c.midnight + c.dayLength) << c.label;
      EXPECT_EQ(cache.local3amEpoch, c.midnight + c.threeAmAfterMidnight) << c.label;
      EXPECT_EQ(cache.lastTimeEpoch, t) << c.label;
      EXPECT_EQ(cache.offsetFromUTC(), c.offset) << c.label;
      EXPECT_EQ(cache.local3am.tm_hour, 3) << c.label;
      EXPECT_EQ(cache.localEndOfDay.tm_hour, 0) << c.label;
      EXPECT_EQ(cache.hasUniformDay(), c.dayLength == 86400) << c.label;
      EXPECT_TRUE(cache.isForDay(t)) << c.label;
      EXPECT_FALSE(cache.isForDay(c.midnight - 1)) << c.label;
      EXPECT_FALSE(cache.isForDay(c.midnight + c.dayLength)) << c.label;
      EXPECT_TRUE(cache.isForDay(cache.lastTime)) << c.label;
      EXPECT_FALSE(cache.isForDay(cache.localEndOfDay)) << c.label;
    }
    // From a broken-down local time of the day.
    tm noon{};
    time_t noonEpoch = c.midnight + 12 * 3600;
    localtime_r(&noonEpoch, &noon);
    TimePointCache fromFields(noon);
    EXPECT_EQ(fromFields.localMidnightEpoch, c.midnight) << c.label;
    // Rebuilt for another day.
    EXPECT_TRUE(fromFields.initializeForDay(c.midnight + c.dayLength + 10));
    EXPECT_EQ(fromFields.localMidnightEpoch, c.midnight + c.dayLength) << c.label;
  }
}

TEST(TimePointCache, ExpansionOnChangeDaysShowsTheClockFace) {
  ZoneScope zone(CET);
  struct Case {
    time_t instant;
    const char* text;
  };
  const Case cases[] = {
      {utc(2026, 3, 29, 0, 30), "2026/03/29 01:30:00.000000007"},
      {utc(2026, 3, 29, 1, 30), "2026/03/29 03:30:00.000000007"},
      {utc(2026, 3, 29, 21, 59), "2026/03/29 23:59:00.000000007"},
      {utc(2026, 10, 25, 0, 30), "2026/10/25 02:30:00.000000007"},
      {utc(2026, 10, 25, 1, 30), "2026/10/25 02:30:00.000000007"},
      {utc(2026, 10, 25, 22, 59), "2026/10/25 23:59:00.000000007"},
      {utc(2026, 7, 1, 10, 0), "2026/07/01 12:00:00.000000007"},
      {utc(2040, 6, 15, 12, 0), "2040/06/15 14:00:00.000000007"},  // past a 32-bit time_t
  };
  for (const Case& c : cases) {
    const TimePointCache cache(c.instant);
    const TimePointOfGranularity<1000000000u> point(c.instant, 7, 0, cache);
    char text[40];
    size_t len = 0;
    ASSERT_TRUE(point.formatIntoString(text, sizeof text, &len, 3));
    EXPECT_EQ(std::string(text, len), c.text);
    EXPECT_EQ(point.convertToNanosecondsSinceEpoch(), static_cast<uint64_t>(c.instant) * 1000000000u + 7u)
        << c.text;
  }
}

TEST(TimePointOfGranularity, TextFieldsSeparatorsAndRoom) {
  ZoneScope zone("IST-5:30");
  const time_t instant = utc(2026, 6, 9, 20, 4) + 5;  // 01:34:05 local on the 10th
  const TimePointCache cache(instant);
  struct Case {
    uint32_t fields;
    const char* separators;
    const char* text;
  };
  const Case cases[] = {
      {TimePointOfGranularity<1000000000u>::OUTPUT_DATE, nullptr, "2026/06/10"},
      {TimePointOfGranularity<1000000000u>::OUTPUT_TIME, nullptr, "01:34:05.123456789"},
      {3, nullptr, "2026/06/10 01:34:05.123456789"},
      {3, "-T:,", "2026-06-10T01:34:05,123456789"},
      {0, nullptr, ""},
  };
  // A fraction of a second or more carries into the seconds.
  const TimePointOfGranularity<1000000000u> point(instant - 1, 1123456789u, 0, cache);
  EXPECT_EQ(point.unitsSinceMidnight(), (1u * 3600 + 34 * 60 + 5) * 1000000000ull + 123456789u);
  for (const Case& c : cases) {
    char text[40];
    size_t len = 99;
    ASSERT_TRUE(point.formatIntoString(text, sizeof text, &len, c.fields, c.separators));
    EXPECT_EQ(std::string(text, len), c.text);
    EXPECT_EQ(text[len], '\0');
    // One byte less than the text does not fit.
    if (len > 0) {
      size_t shortLen = 99;
      EXPECT_FALSE(point.formatIntoString(text, len - 1, &shortLen, c.fields, c.separators));
      EXPECT_EQ(shortLen, 0u);
      EXPECT_TRUE(point.formatIntoString(text, len, &shortLen, c.fields, c.separators));
    }
  }
  // A skew moves the instant by whole minutes.
  const TimePointOfGranularity<1000000000u> skewed(instant, 0, -35, cache);
  EXPECT_EQ(skewed.expandedTime.tm_hour, 0);
  EXPECT_EQ(skewed.expandedTime.tm_min, 59);
}

TEST(POSIXtimeInUnits, ConversionsKeepTheInstant) {
  const POSIXtimeInUnits<1000000000u> fromParts(1700000000, 250, -50);
  EXPECT_EQ(fromParts.time_in_units, 1700000000000000200ull);
  EXPECT_EQ(fromParts.getSeconds(), 1700000000u);
  EXPECT_EQ(fromParts.convertToNanosecondsSinceEpoch(), 1700000000000000200ull);
  EXPECT_EQ(fromParts.convertToCustomEpochUnits(1699999999), 1000000200);
  EXPECT_EQ(fromParts.convertToCustomEpochUnits(1700000001), -999999800);
  const POSIXtimeInUnits<1000000000u> fromTime(TimeWithNanoseconds{12, 34});
  EXPECT_EQ(fromTime.time_in_units, 12000000034u);
  const POSIXtimeInUnits<1000u> millis(TimeWithNanoseconds{12, 34999999});
  EXPECT_EQ(millis.time_in_units, 12034u);
  EXPECT_EQ(millis.convertToNanosecondsSinceEpoch(), 12034000000u);
}

TEST(TimePointCacheTable, OneEntryPerLocalDay) {
  ZoneScope zone(CET);
  TimePointCacheTable table("testDays");
  const time_t springMidnight = utc(2026, 3, 28, 23, 0);
  const TimePointCache* first = table.getCacheEntry(springMidnight + 60);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->localMidnightEpoch, springMidnight);
  EXPECT_EQ(table.getCacheEntry(springMidnight + 82799), first);
  const TimePointCache* next = table.getCacheEntry(springMidnight + 82800);
  ASSERT_NE(next, nullptr);
  EXPECT_NE(next, first);
  const TimePointCache* before = table.getCacheEntry(springMidnight - 1);
  ASSERT_NE(before, nullptr);
  EXPECT_EQ(before->localEndOfDayEpoch, springMidnight);
  EXPECT_EQ(table.getCacheEntry(springMidnight), first);
  EXPECT_EQ(table.timeTable.size(), 3u);
}

TEST(TodaysDate, NullKeepsTheCachedDateUntilAskedWithTimeFields) {
  // Zones 26 hours apart always disagree about the date.
  TimeAsHourMinSec now{};
  TimeAsDayAndYear east{};
  {
    ZoneScope zone("UTC-14");
    east = *getTodaysDate(&now);
    const time_t t = time(nullptr);
    tm local{};
    localtime_r(&t, &local);
    EXPECT_EQ(east.year, local.tm_year + 1900);
    EXPECT_EQ(east.month, local.tm_mon + 1);
    EXPECT_EQ(east.day, local.tm_mday);
  }
  ZoneScope zone("UTC+12");
  const TimeAsDayAndYear* cached = getTodaysDate(nullptr);
  EXPECT_EQ(cached->day, east.day);
  const TimeAsDayAndYear* fresh = getTodaysDate(&now);
  EXPECT_NE(fresh->day, east.day);
  const time_t t = time(nullptr);
  tm local{};
  localtime_r(&t, &local);
  EXPECT_EQ(fresh->day, local.tm_mday);
  EXPECT_EQ(now.hour, local.tm_hour);
}

}  // namespace
