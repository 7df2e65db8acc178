// getCurrentTime over the process clock routine, and today's date cached for
// the process. The cached date is one packed 32-bit atomic (year << 16 |
// month << 8 | day), so threads never see half of a refresh; each thread gets
// its own unpacked copy to point at.
#include "utils/time/get_time.hpp"

#include <atomic>

thread_local TimeWithNanoseconds lastTimeRead{};

namespace {
constinit std::atomic<uint32_t> packedTodayDate{0};
thread_local TimeAsDayAndYear todayDate{};
}  // namespace

TimeWithNanoseconds* getCurrentTime(TimeWithNanoseconds* saveTo, bool forceUpdate) {
  timespec now;
  clockRoutine_function.load(std::memory_order_acquire)(&now, forceUpdate);
  TimeWithNanoseconds* out = saveTo != nullptr ? saveTo : &lastTimeRead;
  out->time_sec = static_cast<uint64_t>(static_cast<int64_t>(now.tv_sec));
  out->time_nanosec = static_cast<uint64_t>(static_cast<int64_t>(now.tv_nsec));
  return out;
}

TimeAsDayAndYear* getTodaysDate(TimeAsHourMinSec* nowTimeFields) {
  uint32_t packed = packedTodayDate.load(std::memory_order_relaxed);
  if (nowTimeFields != nullptr || packed == 0) {
    const time_t now = time(nullptr);
    tm local{};
    if (localtime_r(&now, &local) != nullptr) {
      packed = static_cast<uint32_t>(local.tm_year + 1900) << 16 | static_cast<uint32_t>(local.tm_mon + 1) << 8 |
               static_cast<uint32_t>(local.tm_mday);
      packedTodayDate.store(packed, std::memory_order_relaxed);
    }
    if (nowTimeFields != nullptr) {
      nowTimeFields->hour = static_cast<uint8_t>(local.tm_hour);
      nowTimeFields->min = static_cast<uint8_t>(local.tm_min);
      nowTimeFields->sec = static_cast<uint8_t>(local.tm_sec);
      nowTimeFields->_fill1 = 0;
    }
  }
  todayDate.year = static_cast<uint16_t>(packed >> 16);
  todayDate.month = static_cast<uint8_t>(packed >> 8);
  todayDate.day = static_cast<uint8_t>(packed);
  return &todayDate;
}
