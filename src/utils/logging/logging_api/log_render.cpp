// Text rendering of a finished record: the optional prefix (date, time,
// thread id, file:line, severity label) and the message built from the format
// line and the argument records, into a caller-given buffer that is never
// overrun (text that does not fit is cut as documented per conversion). The
// line is then written directly by the logging thread: this build has no
// writer threads. Local time comes from per-thread copies of the day cache
// (TimePointCache), so localtime_r and mktime run once per thread per day.
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "utils/logging/logging_api.hpp"
#include "utils/time/time_point.hpp"

namespace {

constexpr char HEX_LOWER[] = "0123456789abcdef";
constexpr char HEX_UPPER[] = "0123456789ABCDEF";

// Bounded appender over [dest, dest + capacity): `capacity` excludes the
// terminator's byte.
struct LineBuilder {
  char* dest;
  size_t capacity;
  size_t length;

  size_t room() const { return capacity - length; }
  // Appends up to room() bytes; returns the bytes appended.
  size_t put(const char* text, size_t len) {
    if (len > room()) len = room();
    std::memcpy(dest + length, text, len);
    length += len;
    return len;
  }
  void putChar(char c) {
    if (length < capacity) dest[length++] = c;
  }
  // Appends the value only when all of it fits.
  bool putWhole(const char* text, size_t len) {
    if (len > room()) return false;
    std::memcpy(dest + length, text, len);
    length += len;
    return true;
  }
};

// Decimal digits of v into the end of a 24-byte buffer; returns the start.
char* formatUnsigned(uint64_t v, char* bufferEnd) {
  char* p = bufferEnd;
  if (v <= 0xFFFFFFFFu) {
    // 32-bit division is one instruction on ARM; 64-bit is a library call.
    uint32_t small = static_cast<uint32_t>(v);
    do {
      *--p = static_cast<char>('0' + small % 10u);
      small /= 10u;
    } while (small != 0);
    return p;
  }
  do {
    *--p = static_cast<char>('0' + v % 10u);
    v /= 10u;
  } while (v != 0);
  return p;
}

size_t formatSigned(int64_t v, char* out) {
  char work[24];
  char* end = work + sizeof work;
  uint64_t magnitude = v < 0 ? 0u - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  char* start = formatUnsigned(magnitude, end);
  if (v < 0) *--start = '-';
  const size_t len = static_cast<size_t>(end - start);
  std::memcpy(out, start, len);
  return len;
}

size_t formatUnsignedInto(uint64_t v, char* out) {
  char work[24];
  char* end = work + sizeof work;
  char* start = formatUnsigned(v, end);
  const size_t len = static_cast<size_t>(end - start);
  std::memcpy(out, start, len);
  return len;
}

// Per-thread day caches (copies of the process's cache for today, rebuilt in
// place for another day): one for line prefixes, one for time-point
// arguments, so arguments of other days do not evict the prefix's day.
thread_local TimePointCache prefixDayCache = TimePointCacheForToday;
thread_local TimePointCache argumentDayCache = TimePointCacheForToday;

// Writes "YYYY/MM/DD", "HH:MM:SS.fff..." or both (joined by a space) into out
// (at least 32 bytes); fractionDigits is 6 (microseconds, truncated) or 9.
// Returns the length.
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
  if (withTime && len >= static_cast<size_t>(9 - fractionDigits)) len -= static_cast<size_t>(9 - fractionDigits);
  return len;
}

// Shortest %g text that reads back as the same double.
size_t formatShortestDouble(double d, char* out, size_t outSize) {
  int n = 0;
  for (int precision = 15; precision <= 17; ++precision) {
    n = std::snprintf(out, outSize, "%.*g", precision, d);
    if (n < 0) return 0;
    if (std::strtod(out, nullptr) == d || d != d) break;
  }
  return static_cast<size_t>(n) < outSize ? static_cast<size_t>(n) : outSize - 1;
}

size_t formatFixedPoint(int64_t value, int precision, char* out) {
  char digits[24];
  size_t len = 0;
  uint64_t magnitude = value < 0 ? 0u - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  if (value < 0) out[len++] = '-';
  const size_t digitCount = formatUnsignedInto(magnitude, digits);
  if (precision <= 0 || precision > 19) {
    std::memcpy(out + len, digits, digitCount);
    return len + digitCount;
  }
  const size_t places = static_cast<size_t>(precision);
  // Whole part, then the fraction with trailing zeros dropped.
  if (digitCount > places) {
    std::memcpy(out + len, digits, digitCount - places);
    len += digitCount - places;
  } else {
    out[len++] = '0';
  }
  char fraction[24];
  size_t fractionLen = 0;
  for (size_t i = 0; i < places; ++i) {
    const size_t fromEnd = places - i;  // digit position counted from the right
    fraction[fractionLen++] = fromEnd <= digitCount ? digits[digitCount - fromEnd] : '0';
  }
  while (fractionLen > 0 && fraction[fractionLen - 1] == '0') --fractionLen;
  if (fractionLen > 0) {
    out[len++] = '.';
    std::memcpy(out + len, fraction, fractionLen);
    len += fractionLen;
  }
  return len;
}

// Process-wide once-flags; relaxed exchange is enough, nothing else is
// published through them (openlog has its own locking).
std::atomic<bool> warnedAboutSize{false};
std::atomic<bool> didSyslogOpen{false};

bool isTextType(uint32_t type) {
  return (type & LogMessageRecord::LOG_ARG_TYPE_TEXT) == LogMessageRecord::LOG_ARG_TYPE_TEXT;
}

bool isPointerHeld(uint32_t type) {
  return type == LogMessageRecord::LOG_ARG_TYPE_POINTER || type == LogMessageRecord::LOG_ARG_TYPE_TEXT ||
         type == LogMessageRecord::LOG_ARG_TYPE_TEXT_FRAGMENT || type == LogMessageRecord::LOG_ARG_TYPE_ROM_TEXT;
}

double argumentAsDouble(const LogMessageRecord::ArgumentRecord& arg) {
  switch (arg.argBaseType) {
    case LogMessageRecord::LOG_ARG_TYPE_FLOAT:
      return static_cast<double>(arg.logArgs.f);
    case LogMessageRecord::LOG_ARG_TYPE_DOUBLE:
      return arg.logArgs.d;
    case LogMessageRecord::LOG_ARG_TYPE_INT32:
      return arg.logArgs.i32;
    case LogMessageRecord::LOG_ARG_TYPE_UINT32:
      return arg.logArgs.u32;
    case LogMessageRecord::LOG_ARG_TYPE_INT64:
      return static_cast<double>(arg.logArgs.i64);
    case LogMessageRecord::LOG_ARG_TYPE_UINT64:
      return static_cast<double>(arg.logArgs.u64);
    default:
      return 0.0;
  }
}

bool isSignedInteger(uint32_t type) {
  return type == LogMessageRecord::LOG_ARG_TYPE_INT32 || type == LogMessageRecord::LOG_ARG_TYPE_INT64;
}

int64_t argumentAsSigned(const LogMessageRecord::ArgumentRecord& arg) {
  switch (arg.argBaseType) {
    case LogMessageRecord::LOG_ARG_TYPE_INT32:
      return arg.logArgs.i32;
    case LogMessageRecord::LOG_ARG_TYPE_UINT32:
      return arg.logArgs.u32;
    case LogMessageRecord::LOG_ARG_TYPE_CHAR:
      return static_cast<unsigned char>(arg.logArgs.asChars[0]);
    case LogMessageRecord::LOG_ARG_TYPE_FLOAT:
    case LogMessageRecord::LOG_ARG_TYPE_DOUBLE:
      return static_cast<int64_t>(argumentAsDouble(arg));
    default:
      return arg.logArgs.i64;
  }
}

// Renders a general conversion (flags, width, precision, length letters and
// letter in conversion[0..conversionLen)) with snprintf. Returns the rendered length,
// which may exceed `room` (then the value is left out by the caller).
size_t renderGeneral(const char* conversion, size_t conversionLen, const LogMessageRecord::ArgumentRecord& arg, char* out,
                     size_t outSize) {
  const char letter = conversion[conversionLen - 1];
  // Rebuild the specification without length letters; the value is passed
  // at its widest type with the matching length.
  char fieldFmt[24];
  fieldFmt[0] = '%';
  size_t n = 1;
  for (size_t i = 0; i + 1 < conversionLen && n < 16; ++i) {
    const char c = conversion[i];
    if (c == 'h' || c == 'l' || c == 'L' || c == 'q' || c == 'j' || c == 'z' || c == 't') continue;
    fieldFmt[n++] = c;
  }
  int written = 0;
  switch (letter) {
    case 'a': case 'A': case 'e': case 'E': case 'f': case 'F': case 'g': case 'G':
      fieldFmt[n++] = letter;
      fieldFmt[n] = '\0';
      written = std::snprintf(out, outSize, fieldFmt, argumentAsDouble(arg));
      break;
    case 'c':
      fieldFmt[n++] = 'c';
      fieldFmt[n] = '\0';
      written = std::snprintf(out, outSize, fieldFmt, static_cast<int>(static_cast<unsigned char>(arg.logArgs.asChars[0])));
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
      const uint64_t v = arg.argBaseType == LogMessageRecord::LOG_ARG_TYPE_INT32
                             ? static_cast<uint32_t>(arg.logArgs.i32)
                             : static_cast<uint64_t>(argumentAsSigned(arg));
      written = std::snprintf(out, outSize, fieldFmt, static_cast<unsigned long long>(v));
      break;
    }
    case 'p':
      fieldFmt[n++] = 'p';
      fieldFmt[n] = '\0';
      written = std::snprintf(out, outSize, fieldFmt, arg.logArgs.ptr);
      break;
    default:
      return 0;
  }
  return written < 0 ? 0 : static_cast<size_t>(written);
}

}  // namespace

size_t LogMessageRecord::renderText(unsigned int prefixWithFlags, char* dest, size_t destSize) const {
  if (dest == nullptr || destSize == 0) return 0;
  LineBuilder line{dest, destSize - 1, 0};

  // Date, time and thread id.
  const bool withDate = (prefixWithFlags & LOG_DATESTAMP) != 0;
  const bool withTime = (prefixWithFlags & LOG_TIMESTAMP) != 0;
  char work[64];
  if (withDate || withTime) {
    size_t len = formatLocalTime(static_cast<int64_t>(timestamp.tv_sec), static_cast<uint32_t>(timestamp.tv_nsec),
                                 withDate, withTime, 6, prefixDayCache, work);
    work[len++] = ' ';
    line.put(work, len);
  }
  if (prefixWithFlags & LOG_THREAD_ID) {
    size_t len = formatUnsignedInto(threadId, work);
    work[len++] = ' ';
    line.put(work, len);
  }
  if (prefixWithFlags & LOG_FILENAME) {
    TextBlock_struct name = logMgr != nullptr
                                ? logMgr->pruneDirectoryPrefix(sourceFile, static_cast<int_fast32_t>(sourceFileNameLen))
                                : TextBlock_struct(sourceFile ? sourceFile : "", sourceFile ? sourceFileNameLen : 0);
    line.put(name.textBfr, name.bfrLen);
    line.putChar((prefixWithFlags & LOG_LINE_NUMBER) ? ':' : ' ');
  }
  if (prefixWithFlags & LOG_LINE_NUMBER) {
    size_t len = formatUnsignedInto(sourceLine, work);
    work[len++] = ' ';
    line.put(work, len);
  }
  if (prefixWithFlags & LOG_ERROR_LEVEL) {
    TextBlock_struct label = getSeverityLabelWithLength(importanceLevel);
    line.put(label.textBfr, label.bfrLen);
    line.putChar(' ');
  }

  // The message.
  const char* p = logLineFormat;
  uint32_t nextArg = 0;
  while (p != nullptr && *p != '\0') {
    const char* percent = std::strchr(p, '%');
    const char* runEnd = percent ? percent : p + std::strlen(p);
    if (percent != nullptr && percent[1] == '%') ++runEnd;  // "%%": the run keeps one '%'
    const size_t runLen = static_cast<size_t>(runEnd - p);
    if (runLen > line.room()) {
      const size_t room = line.room();
      if (percent != nullptr && percent[1] == '%' && runEnd == percent + 1) {
        std::fprintf(stderr,
                     "LogMessageRecord::formatRecordAsText - Truncated from len=%zu to %zu blockLen=%zu offset=%zu "
                     "sourceLine=%s:%u\n",
                     runLen, room, line.capacity, line.length, sourceFile ? sourceFile : "[nofile]", sourceLine);
      } else {
        std::fprintf(stderr, "Truncated from len=%zu to %zu\n", runLen, room);
      }
      std::fflush(stderr);
      line.put(p, room);
      break;
    }
    line.put(p, runLen);
    if (percent == nullptr) break;
    if (percent[1] == '%') {
      p = percent + 2;
      continue;
    }
    if (line.room() == 0) {
      if (!warnedAboutSize.exchange(true, std::memory_order_relaxed)) {
        std::fprintf(stderr, "NO MORE ROOM IN BUFFER at offset=%zu\n", line.length);
        std::fflush(stderr);
      }
      break;
    }
    // The conversion: flags/width/precision/length letters, then the letter.
    const char* conversion = percent + 1;
    const char* letterAt = conversion;
    bool isLong = false;
    while (*letterAt != '\0' && std::strchr("-+ #0123456789.hlLqjzt", *letterAt) != nullptr) {
      if (*letterAt == 'l') isLong = true;
      ++letterAt;
    }
    if (*letterAt == '\0') break;  // a dangling conversion ends the message
    const char letter = *letterAt;
    const bool isPlain = letterAt == conversion || (isLong && letterAt == conversion + 1);
    p = letterAt + 1;
    if (nextArg >= argCount) continue;  // no argument left: the conversion shows nothing
    const ArgumentRecord& arg = argList[nextArg++];
    char value[64];
    size_t valueLen = 0;
    if (isPlain && (letter == 'd' || letter == 'u') && !(arg.argBaseType == LOG_ARG_TYPE_FLOAT ||
                                                          arg.argBaseType == LOG_ARG_TYPE_DOUBLE)) {
      if (arg.argBaseType == LOG_ARG_TYPE_INT32) {
        valueLen = formatSigned(arg.logArgs.i32, value);
      } else if (arg.argBaseType == LOG_ARG_TYPE_UINT32) {
        valueLen = formatUnsignedInto(arg.logArgs.u32, value);
      } else if (isSignedInteger(arg.argBaseType)) {
        valueLen = formatSigned(arg.logArgs.i64, value);
      } else if (arg.argBaseType == LOG_ARG_TYPE_CHAR) {
        valueLen = formatUnsignedInto(static_cast<unsigned char>(arg.logArgs.asChars[0]), value);
      } else {
        valueLen = formatUnsignedInto(arg.logArgs.u64, value);
      }
      line.putWhole(value, valueLen);
    } else if (isPlain && letter == 'f') {
      int n = std::snprintf(value, sizeof value, "%.6f", argumentAsDouble(arg));
      if (n > 0 && static_cast<size_t>(n) < sizeof value) line.putWhole(value, static_cast<size_t>(n));
    } else if (isPlain && letter == 'g') {
      valueLen = formatShortestDouble(argumentAsDouble(arg), value, sizeof value);
      line.putWhole(value, valueLen);
    } else if (isPlain && (letter == 's' || letter == 'B')) {
      // %s takes text types; pointer-held fragments are copied the same way.
      if (letter == 's' && !isTextType(arg.argBaseType) && !isPointerHeld(arg.argBaseType)) continue;
      if (isPointerHeld(arg.argBaseType)) {
        if (arg.logArgs.ptr != nullptr) line.putWhole(static_cast<const char*>(arg.logArgs.ptr), arg.argLen);
      } else {
        const size_t len = arg.argLen < sizeof arg.logArgs ? arg.argLen : sizeof arg.logArgs;
        line.putWhole(arg.logArgs.asChars, len);
      }
    } else if (isPlain && letter == 'P') {
      valueLen = formatFixedPoint(arg.logArgs.i64, static_cast<int>(static_cast<int8_t>(arg.argLen & 0xFF)), value);
      line.putWhole(value, valueLen);
    } else if (isPlain && letter == 'N') {
      const uint64_t ns = arg.logArgs.u64;
      valueLen = formatLocalTime(static_cast<int64_t>(ns / 1000000000u), static_cast<uint32_t>(ns % 1000000000u),
                                 true, true, 9, argumentDayCache, value);
      line.putWhole(value, valueLen);
    } else if ((letter == 'x' || letter == 'X') &&
               (arg.argBaseType == LOG_ARG_TYPE_HEX_FRAGMENT || arg.argBaseType == LOG_ARG_TYPE_HEX_FRAGMENT_UPPER)) {
      const char* digits = letter == 'x' ? HEX_LOWER : HEX_UPPER;
      const unsigned char* bytes = static_cast<const unsigned char*>(arg.logArgs.ptr);
      size_t byteCount = bytes != nullptr ? arg.argLen : 0;
      if (2 * byteCount > line.room()) {
        std::fprintf(stderr, "Truncated hexadecimal output from len=%zu to %zu\n", 2 * byteCount, line.room());
        std::fflush(stderr);
        byteCount = line.room() / 2;
      }
      for (size_t i = 0; i < byteCount; ++i) {
        line.dest[line.length++] = digits[bytes[i] >> 4];
        line.dest[line.length++] = digits[bytes[i] & 15];
      }
    } else if (letter == 's' || letter == 'B') {
      // Width or precision on text: copy the bytes as they are.
      if (isPointerHeld(arg.argBaseType) && arg.logArgs.ptr != nullptr) {
        line.putWhole(static_cast<const char*>(arg.logArgs.ptr), arg.argLen);
      }
    } else {
      const size_t conversionLen = static_cast<size_t>(letterAt - conversion) + 1;
      if (conversionLen > 15) continue;
      const size_t room = line.room();
      const size_t n = renderGeneral(conversion, conversionLen, arg, line.dest + line.length, room + 1);
      if (n <= room) line.length += n;
    }
  }
  dest[line.length] = '\0';
  return line.length;
}

const char* LogMessageRecord::formatIntoMemory() const {
  if (logMgr == nullptr || logMgr->getMemoryBlock() == nullptr) return "";
  renderText(0, logMgr->getMemoryBlock(), logMgr->getMemoryBlockSize());
  return logMgr->getMemoryBlock();
}

SharedBufferAllocRecord* LogMessageRecord::formatRecordAsText(unsigned int prefixWithFlags, size_t* returnLen,
                                                              uint32_t singleThreaded) {
  (void)singleThreaded;
  if (logMgr != nullptr && logMgr->getMemoryBlock() != nullptr) {
    // A memory manager keeps the line in its block.
    const size_t len = renderText(prefixWithFlags, logMgr->getMemoryBlock(), logMgr->getMemoryBlockSize());
    if (returnLen != nullptr) *returnLen = len;
    return nullptr;
  }
  char block[LogManager::MAX_LOG_LINE_LENGTH];
  size_t blockSize = logMgr != nullptr ? logMgr->getMaxLineLength() : LogManager::MAX_LOG_LINE_LENGTH;
  if (blockSize == 0 || blockSize > sizeof block) blockSize = sizeof block;
  size_t prefixLen = 0;
  size_t total = 0;
  if (importanceLevel & AND_USE_SYSLOG) {
    // The system log gets the message without the prefix: render the prefix
    // alone first to learn its length.
    const char* savedFormat = logLineFormat;
    const_cast<LogMessageRecord*>(this)->logLineFormat = nullptr;
    prefixLen = renderText(prefixWithFlags, block, blockSize);
    logLineFormat = savedFormat;
  }
  total = renderText(prefixWithFlags, block, blockSize);
  if (total == 0) {
    if (returnLen != nullptr) *returnLen = 0;
    return nullptr;
  }
  if (importanceLevel & AND_USE_STDERR) {
    if (logMgr == nullptr || logMgr->getDescriptor() != STDERR_FILENO) {
      LogManager::STDERR_LogManager->submitLine(block, total);
    }
  }
  size_t written = logMgr != nullptr ? logMgr->submitLine(block, total) : 0;
  if (importanceLevel & AND_USE_SYSLOG) {
    if (!didSyslogOpen.exchange(true, std::memory_order_relaxed)) {
      openlog(default_LogSubsystemInfo.programName, LOG_PID, LOG_LOCAL1);
    }
    int level = LOG_DEBUG;
    if (importanceLevel & LOG_SEVERITY_FATAL) {
      level = LOG_CRIT;
    } else if (importanceLevel & LOG_SEVERITY_ERROR) {
      level = LOG_ERR;
    } else if (importanceLevel & LOG_SEVERITY_WARN) {
      level = LOG_WARNING;
    } else if (importanceLevel & LOG_SEVERITY_INFO) {
      level = LOG_INFO;
    }
    // The date and time part of the prefix, as the system log's own text.
    char syslogTime[32] = "";
    if (prefixWithFlags & (LOG_DATESTAMP | LOG_TIMESTAMP)) {
      size_t len = formatLocalTime(static_cast<int64_t>(timestamp.tv_sec), static_cast<uint32_t>(timestamp.tv_nsec),
                                   (prefixWithFlags & LOG_DATESTAMP) != 0, (prefixWithFlags & LOG_TIMESTAMP) != 0, 6,
                                   prefixDayCache, syslogTime);
      syslogTime[len++] = ' ';
      syslogTime[len] = '\0';
    }
    syslog(level, "%s%s", syslogTime, block + (prefixLen < total ? prefixLen : total));
  }
  if (returnLen != nullptr) *returnLen = written;
  return nullptr;
}

size_t LogMessageRecord::writeAsTextToBuffer(unsigned int prefixWithFlags) {
  size_t len = 0;
  SharedBufferAllocRecord* rec = formatRecordAsText(prefixWithFlags, &len, 0);
  if (rec != nullptr && logMgr != nullptr) logMgr->writeDataToBuffer(rec);
  return len;
}

size_t LogMessageRecord::writeAsBinaryToBuffer(unsigned int prefixWithFlags) {
  // TODO(logging): binary records; until then the record is written as text.
  return writeAsTextToBuffer(prefixWithFlags);
}
