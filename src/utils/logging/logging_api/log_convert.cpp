// Conversions of the message: every argument is rendered through the
// library's number formatters (or snprintf for general conversions) into a
// work buffer and copied to its offset in the block; text and hexadecimal
// dumps go to the block directly. Values that do not fit are left out.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log_render_line.hpp"
#include "utils/base/text2int.hpp"
#include "utils/base/text2int_tbl.hpp"
#include "utils/time/time_point.hpp"

namespace log_render {

namespace {

using Arg = LogMessageRecord::ArgumentRecord;
using LMR = LogMessageRecord;

// Per-thread day caches: one for line prefixes, one for time-point
// arguments (so arguments of other days do not evict the prefix's day).
// Each holds a single day, rebuilt in place for another one.
thread_local TimePointCache prefixDayCache = TimePointCacheForToday;
thread_local TimePointCache argumentDayCache = TimePointCacheForToday;

size_t formatLocalTime(int64_t seconds, uint32_t nanoseconds, bool withDate, bool withTime, int fractionDigits,
                       TimePointCache& cache, char* out) {
  const time_t t = static_cast<time_t>(seconds);
  if (!cache.isForDay(t)) cache.initializeForDay(t);
  const TimePointOfGranularity<1000000000u> point(t, nanoseconds, 0, cache);
  const uint32_t fields = (withDate ? TimePointOfGranularity<1000000000u>::OUTPUT_DATE : 0u) |
                          (withTime ? TimePointOfGranularity<1000000000u>::OUTPUT_TIME : 0u);
  size_t len = 0;
  point.formatIntoString(out, 32, &len, fields);
  // The text carries nine fraction digits; drop the ones not wanted.
  const size_t dropped = static_cast<size_t>(9 - fractionDigits);
  if (withTime && len >= dropped) len -= dropped;
  return len;
}

bool isPointerHeld(uint32_t type) {
  return type == LMR::LOG_ARG_TYPE_POINTER || type == LMR::LOG_ARG_TYPE_TEXT ||
         type == LMR::LOG_ARG_TYPE_TEXT_FRAGMENT || type == LMR::LOG_ARG_TYPE_ROM_TEXT;
}

bool isTextForS(uint32_t type) {
  return type == LMR::LOG_ARG_TYPE_TEXT || type == LMR::LOG_ARG_TYPE_ROM_TEXT ||
         type == LMR::LOG_ARG_TYPE_TEXT_FRAGMENT;
}

double argumentAsDouble(const Arg& arg) {
  switch (arg.argBaseType) {
    case LMR::LOG_ARG_TYPE_FLOAT:
      return static_cast<double>(arg.logArgs.f);
    case LMR::LOG_ARG_TYPE_DOUBLE:
      return arg.logArgs.d;
    case LMR::LOG_ARG_TYPE_INT32:
      return arg.logArgs.i32;
    case LMR::LOG_ARG_TYPE_UINT32:
      return arg.logArgs.u32;
    case LMR::LOG_ARG_TYPE_INT64:
      return static_cast<double>(arg.logArgs.i64);
    case LMR::LOG_ARG_TYPE_UINT64:
      return static_cast<double>(arg.logArgs.u64);
    default:
      return 0.0;
  }
}

int64_t argumentAsSigned(const Arg& arg) {
  switch (arg.argBaseType) {
    case LMR::LOG_ARG_TYPE_INT32:
      return arg.logArgs.i32;
    case LMR::LOG_ARG_TYPE_UINT32:
      return arg.logArgs.u32;
    case LMR::LOG_ARG_TYPE_CHAR:
      return static_cast<unsigned char>(arg.logArgs.asChars[0]);
    case LMR::LOG_ARG_TYPE_FLOAT:
    case LMR::LOG_ARG_TYPE_DOUBLE:
      return static_cast<int64_t>(argumentAsDouble(arg));
    default:
      return arg.logArgs.i64;
  }
}

// Decimal text of an integer argument through the library's formatters.
void renderInteger(LineUnderConstruction& line, const Arg& arg) {
  alignas(4) uint32_t work[6];
  uint_fast8_t len = 0;
  const char* text;
  switch (arg.argBaseType) {
    case LMR::LOG_ARG_TYPE_INT32:
    case LMR::LOG_ARG_TYPE_INT64:
      text = int_to_ascii(work, sizeof work, argumentAsSigned(arg), &len);
      break;
    case LMR::LOG_ARG_TYPE_UINT32:
      text = uint_to_ascii(work, sizeof work, arg.logArgs.u32, &len);
      break;
    case LMR::LOG_ARG_TYPE_CHAR:
      text = uint_to_ascii(work, sizeof work, static_cast<unsigned char>(arg.logArgs.asChars[0]), &len);
      break;
    case LMR::LOG_ARG_TYPE_FLOAT:
    case LMR::LOG_ARG_TYPE_DOUBLE:
      text = int_to_ascii(work, sizeof work, argumentAsSigned(arg), &len);
      break;
    default:
      text = uint_to_ascii(work, sizeof work, arg.logArgs.u64, &len);
      break;
  }
  line.placeNumber(text, len);
}

// Values whose scaled form (six decimals) stays within 64 bits go through
// float_to_ascii; larger ones (and infinities) through snprintf.
constexpr double FLOAT_FORMATTER_LIMIT = 9.0e12;

void renderFloat(LineUnderConstruction& line, const Arg& arg, char letter) {
  const double d = argumentAsDouble(arg);
  char work[48];
  if (std::isnan(d) || std::fabs(d) < FLOAT_FORMATTER_LIMIT) {
    uint_fast8_t len = 0;
    float_to_ascii(work, sizeof work, d, &len, letter == 'f' ? 6 : -2, letter == 'f');
    line.placeRendered(work, len);
    return;
  }
  const int n = std::snprintf(work, sizeof work, letter == 'f' ? "%f" : "%g", d);
  if (n > 0 && static_cast<size_t>(n) < sizeof work) line.placeRendered(work, static_cast<size_t>(n));
}

void renderHexDump(LineUnderConstruction& line, const Arg& arg, bool lowercase) {
  const unsigned char* bytes = static_cast<const unsigned char*>(arg.logArgs.ptr);
  size_t byteCount = bytes != nullptr ? arg.argLen : 0;
  if (2 * byteCount > line.room()) {
    std::fprintf(stderr, "Truncated hexadecimal output from len=%zu to %zu\n", 2 * byteCount, line.room());
    std::fflush(stderr);
    byteCount = line.room() / 2;
  }
  const char(*table)[3] = lowercase ? byteAsLowercaseHexadecimal : byteAsUppercaseHexadecimal;
  char* out = line.bfrBase + line.totalRecordLen;
  for (size_t i = 0; i < byteCount; ++i) std::memcpy(out + 2 * i, table[bytes[i]], 2);
  line.addElement(out, 2 * byteCount);
}

// Bytes of a text or binary argument; argLen bytes, never strlen.
void renderBytes(LineUnderConstruction& line, const Arg& arg) {
  if (isPointerHeld(arg.argBaseType)) {
    if (arg.logArgs.ptr != nullptr) line.placeRendered(static_cast<const char*>(arg.logArgs.ptr), arg.argLen);
    return;
  }
  const size_t len = arg.argLen < sizeof arg.logArgs ? arg.argLen : sizeof arg.logArgs;
  line.placeRendered(arg.logArgs.asChars, len);
}

// A general conversion through snprintf. Only the flags "-+ #0", digits and
// '.' are taken from the conversion text; the length letters are rebuilt from
// the argument's type; '*' and %n are never honoured (nothing is shown).
void renderGeneral(LineUnderConstruction& line, const Arg& arg, const char* conversion, size_t conversionLen, char letter) {
  char fieldFmt[24];
  size_t n = 0;
  fieldFmt[n++] = '%';
  for (size_t i = 0; i + 1 < conversionLen; ++i) {
    const char c = conversion[i];
    if (c == '*') return;
    if (std::strchr("-+ #0123456789.", c) == nullptr) continue;  // length letters
    if (n >= 15) return;
    fieldFmt[n++] = c;
  }
  char* out = line.bfrBase + line.totalRecordLen;
  const size_t outSize = line.room() + 1;  // the block keeps a byte for the NUL
  int written = -1;
  switch (letter) {
    case 'a': case 'A': case 'e': case 'E': case 'f': case 'F': case 'g': case 'G':
      fieldFmt[n++] = letter;
      fieldFmt[n] = '\0';
      written = std::snprintf(out, outSize, fieldFmt, argumentAsDouble(arg));
      break;
    case 'c':
      fieldFmt[n++] = 'c';
      fieldFmt[n] = '\0';
      written = std::snprintf(out, outSize, fieldFmt,
                              static_cast<int>(static_cast<unsigned char>(arg.logArgs.asChars[0])));
      break;
    case 'd': case 'i':
      fieldFmt[n++] = 'l';
      fieldFmt[n++] = 'l';
      fieldFmt[n++] = letter;
      fieldFmt[n] = '\0';
      written = std::snprintf(out, outSize, fieldFmt, static_cast<long long>(argumentAsSigned(arg)));
      break;
    case 'o': case 'u': case 'x': case 'X': {
      fieldFmt[n++] = 'l';
      fieldFmt[n++] = 'l';
      fieldFmt[n++] = letter;
      fieldFmt[n] = '\0';
      const uint64_t v = arg.argBaseType == LMR::LOG_ARG_TYPE_INT32 ? static_cast<uint32_t>(arg.logArgs.i32)
                                                                    : static_cast<uint64_t>(argumentAsSigned(arg));
      written = std::snprintf(out, outSize, fieldFmt, static_cast<unsigned long long>(v));
      break;
    }
    case 'p':
      fieldFmt[n++] = 'p';
      fieldFmt[n] = '\0';
      written = std::snprintf(out, outSize, fieldFmt, arg.logArgs.ptr);
      break;
    case 's': {
      if (!isTextForS(arg.argBaseType) || arg.logArgs.ptr == nullptr) return;
      // The text's own length bounds it: a user precision is dropped.
      char* dot = static_cast<char*>(std::memchr(fieldFmt, '.', n));
      if (dot != nullptr) n = static_cast<size_t>(dot - fieldFmt);
      fieldFmt[n++] = '.';
      fieldFmt[n++] = '*';
      fieldFmt[n++] = 's';
      fieldFmt[n] = '\0';
      written = std::snprintf(out, outSize, fieldFmt, static_cast<int>(arg.argLen),
                              static_cast<const char*>(arg.logArgs.ptr));
      break;
    }
    default:
      return;  // %n and unknown letters show nothing
  }
  if (written >= 0 && static_cast<size_t>(written) <= line.room()) line.addElement(out, static_cast<size_t>(written));
}

}  // namespace

namespace {

// The prefix text of the second last rendered by this thread, up to and
// including the fraction's '.': consecutive lines of one second only add
// their microseconds.
struct PrefixSecondText {
  int64_t second = INT64_MIN;
  uint32_t fields = 0;
  uint32_t len = 0;
  char text[40];
};
thread_local PrefixSecondText prefixSecondText;

}  // namespace

size_t formatPrefixTime(int64_t seconds, uint32_t nanoseconds, bool withDate, bool withTime, char* out) {
  PrefixSecondText& cached = prefixSecondText;
  const uint32_t fields = (withDate ? 1u : 0u) | (withTime ? 2u : 0u);
  if (cached.second != seconds || cached.fields != fields) {
    const size_t len = formatLocalTime(seconds, 0, withDate, withTime, 0, prefixDayCache, cached.text);
    cached.second = seconds;
    cached.fields = fields;
    cached.len = static_cast<uint32_t>(len);
  }
  std::memcpy(out, cached.text, 32);
  if (!withTime) return cached.len;
  // Microseconds, truncated, zero-filled.
  const uint32_t us = nanoseconds / 1000u % 1000000u;
  char* digits = out + cached.len;
  std::memcpy(digits, numberAsTwoDigits[us / 10000u], 2);
  std::memcpy(digits + 2, numberAsTwoDigits[us / 100u % 100u], 2);
  std::memcpy(digits + 4, numberAsTwoDigits[us % 100u], 2);
  return cached.len + 6;
}

void renderConversion(LineUnderConstruction& line, const LogMessageRecord& /*record*/, const Arg& arg,
                      const char* conversion, size_t conversionLen, char letter, bool plain) {
  const uint32_t type = arg.argBaseType;
  if ((letter == 'x' || letter == 'X') &&
      (type == LMR::LOG_ARG_TYPE_HEX_FRAGMENT || type == LMR::LOG_ARG_TYPE_HEX_FRAGMENT_UPPER)) {
    renderHexDump(line, arg, letter == 'x');
    return;
  }
  if (!plain) {
    renderGeneral(line, arg, conversion, conversionLen, letter);
    return;
  }
  switch (letter) {
    case 'd':
    case 'u':
      renderInteger(line, arg);
      return;
    case 'f':
    case 'g':
      renderFloat(line, arg, letter);
      return;
    case 's':
      if (isTextForS(type)) renderBytes(line, arg);
      return;
    case 'B':
      renderBytes(line, arg);
      return;
    case 'P': {
      char work[48];
      uint_fast8_t len = 0;
      fixedpoint_to_ascii(work, sizeof work, arg.logArgs.i64, static_cast<uint_fast8_t>(arg.argLen & 0xFFu), &len,
                          -2);
      line.placeRendered(work, len);
      return;
    }
    case 'N': {
      char work[40];
      const uint64_t ns = arg.logArgs.u64;
      const size_t len = formatLocalTime(static_cast<int64_t>(ns / 1000000000u),
                                         static_cast<uint32_t>(ns % 1000000000u), true, true, 9, argumentDayCache,
                                         work);
      line.placeRendered(work, len);
      return;
    }
    default:
      renderGeneral(line, arg, conversion, conversionLen, letter);
      return;
  }
}

}  // namespace log_render
