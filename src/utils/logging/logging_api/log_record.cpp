// Building a message record: construction, value capture into the argument
// list and the format line, the argument-overflow report, and the severity
// label table. Runs on the logging thread; touches only the record, the label
// table (read-mostly, written at start-up) and standard error.
#include <pthread.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <new>

#include "utils/logging/logging_api.hpp"
#include "utils/base/text2int_tbl.hpp"

namespace {

// Severity labels: slots 0..7 fixed, 8..25 for user levels.
constexpr uint32_t LABEL_SLOT_TOTAL = LogMessageRecord::LEVEL_BITS_AVAILABLE;
char severityLabels[LABEL_SLOT_TOTAL][LogMessageRecord::MAX_SEVERITY_LABEL_LEN] = {
    "UNKNOWN", "TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "FATAL", "USER"};
uint8_t severityLabelLengths[LABEL_SLOT_TOTAL] = {7, 5, 5, 4, 7, 5, 5, 4};

// Label subscript of a level; LABEL_SLOT_TOTAL or more means refused.
uint32_t labelSubscript(uint_fast32_t level) {
  const uint32_t standardBits = static_cast<uint32_t>(level >> 3) & 0x1FFFFFFEu;
  uint32_t s = standardBits == 0 ? 32u : static_cast<uint32_t>(std::countr_zero(standardBits));
  if (s > 6) s = static_cast<uint32_t>(level >> 11) + 7u;
  return s;
}

// Text up to this length is copied into the format line in one pass.
constexpr size_t SHORT_TEXT = 32;

}  // namespace

LogMessageRecord::LogMessageRecord(LogManager* mgr, uint32_t importanceFlags, const char* atFileName,
                                   uint32_t atLineNumber, uint32_t fileNameLen)
    : logMgr(mgr != nullptr ? mgr : LogManager::STDERR_LogManager),
      logLineFormat(nullptr),
      sourceFile(atFileName),
      threadId(static_cast<uint64_t>(pthread_self())),
      sourceFileNameLen(fileNameLen),
      argCount(0),
      sourceLine(atLineNumber),
      importanceLevel(importanceFlags),
      generatedOffset(0),
      argCountExceeded(0) {
  // generatedFormatLine and argList are left uncleared: they are filled as
  // values arrive, and clearing 120 KB per statement would dominate its cost.
  if (logMgr != nullptr) {
    logMgr->getTimestamp(&timestamp);
  } else {
    LogManager::defaultGetTime(&timestamp, nullptr);
  }
}

void LogMessageRecord::addKeptArg(const LOG_argument_union& value, LogArgumentType type,
                                  LogArgumentLenType_t len, const char* conversion,
                                  uint32_t conversionLen) {
  if (ZUR_UNLIKELY(argCount >= LOG_MAX_ARGUMENT_TOTAL)) {
    emitOverflowError(value, type, len);
    return;
  }
  // Argument and conversion go together: with no room for the conversion the
  // value is dropped too, so the two lists never disagree.
  if (ZUR_UNLIKELY(generatedOffset + conversionLen >= GENERATED_FORMAT_LINE_SIZE)) return;
  ArgumentRecord& arg = argList[argCount++];
  arg.logArgs = value;
  arg.argBaseType = type;
  arg.argLen = len;
  std::memcpy(generatedFormatLine + generatedOffset, conversion, conversionLen);
  generatedOffset += conversionLen;
  generatedFormatLine[generatedOffset] = '\0';
  logLineFormat = generatedFormatLine;
}

void LogMessageRecord::addText(const char* text, size_t len) {
  if (ZUR_UNLIKELY(argCount >= LOG_MAX_ARGUMENT_TOTAL)) {
    emitOverflowErrorText(text, len);
    return;
  }
  // Room for the text, leaving the terminator's byte; a "%" needs two bytes
  // and is never split from its double.
  uint32_t offset = generatedOffset;
  const uint32_t limit = GENERATED_FORMAT_LINE_SIZE - 1;
  if (len <= SHORT_TEXT && 2 * len <= limit - offset) {
    // Short text with room even if every character were a '%': one pass
    // without library calls.
    char* out = generatedFormatLine + offset;
    for (size_t i = 0; i < len; ++i) {
      const char c = text[i];
      *out++ = c;
      if (c == '%') *out++ = '%';
    }
    *out = '\0';
    generatedOffset = static_cast<uint32_t>(out - generatedFormatLine);
    logLineFormat = generatedFormatLine;
    return;
  }
  const char* p = text;
  const char* end = text + len;
  while (p < end) {
    const void* hit = std::memchr(p, '%', static_cast<size_t>(end - p));
    const char* runEnd = hit ? static_cast<const char*>(hit) : end;
    size_t runLen = static_cast<size_t>(runEnd - p);
    if (runLen > limit - offset) runLen = limit - offset;
    std::memcpy(generatedFormatLine + offset, p, runLen);
    offset += static_cast<uint32_t>(runLen);
    p += runLen;
    if (p != runEnd || p == end) break;
    if (limit - offset < 2) break;
    generatedFormatLine[offset++] = '%';
    generatedFormatLine[offset++] = '%';
    ++p;
  }
  generatedFormatLine[offset] = '\0';
  generatedOffset = offset;
  logLineFormat = generatedFormatLine;
}

void LogMessageRecord::addEscapedText(const EscapedTextBlock_struct& e) {
  if (ZUR_UNLIKELY(argCount >= LOG_MAX_ARGUMENT_TOTAL)) {
    emitOverflowErrorText(e.textBfr, e.bfrLen);
    return;
  }
  const Escaped_Replacement_Characters* table =
      e.replacementsToUse ? e.replacementsToUse : &EscapedTextBlock_struct::defaultEscapePatterns;
  uint32_t offset = generatedOffset;
  const uint32_t limit = GENERATED_FORMAT_LINE_SIZE - 1;
  for (uint_fast32_t i = 0; i < e.bfrLen; ++i) {
    const unsigned char c = static_cast<unsigned char>(e.textBfr[i]);
    const int8_t replacementLen = table->escapedLen[c];
    const char* piece = replacementLen < 0 ? reinterpret_cast<const char*>(&e.textBfr[i]) : table->escapedChar[c];
    const uint32_t pieceLen = replacementLen < 0 ? 1u : static_cast<uint32_t>(replacementLen);
    // Each '%' of the piece is doubled in the format line.
    uint32_t needed = pieceLen;
    for (uint32_t k = 0; k < pieceLen; ++k) needed += piece[k] == '%' ? 1u : 0u;
    if (needed > limit - offset) break;
    for (uint32_t k = 0; k < pieceLen; ++k) {
      generatedFormatLine[offset++] = piece[k];
      if (piece[k] == '%') generatedFormatLine[offset++] = '%';
    }
  }
  generatedFormatLine[offset] = '\0';
  generatedOffset = offset;
  logLineFormat = generatedFormatLine;
}

void LogMessageRecord::emitOverflowError(const LOG_argument_union& value, LogArgumentType type,
                                         LogArgumentLenType_t len) {
  ++argCountExceeded;
  std::fprintf(stderr, "LogMessageRecord overflowEventCount=%u maxArgumentTotal=%u location=\"%s:%u\" argument=",
               argCountExceeded, LOG_MAX_ARGUMENT_TOTAL, sourceFile ? sourceFile : "", sourceLine);
  switch (type) {
    case LOG_ARG_TYPE_INT32:
      std::fprintf(stderr, "%d", value.i32);
      break;
    case LOG_ARG_TYPE_UINT32:
      std::fprintf(stderr, "%u", value.u32);
      break;
    case LOG_ARG_TYPE_INT64:
      std::fprintf(stderr, "%lld", static_cast<long long>(value.i64));
      break;
    case LOG_ARG_TYPE_UINT64:
    case LOG_ARG_TYPE_POSIX_NANOSECONDS:
      std::fprintf(stderr, "%llu", static_cast<unsigned long long>(value.u64));
      break;
    case LOG_ARG_TYPE_FIXED_POINT:
      std::fprintf(stderr, "%lld", static_cast<long long>(value.i64));
      break;
    case LOG_ARG_TYPE_FLOAT:
      std::fprintf(stderr, "%g", static_cast<double>(value.f));
      break;
    case LOG_ARG_TYPE_DOUBLE:
      std::fprintf(stderr, "%g", value.d);
      break;
    case LOG_ARG_TYPE_CHAR:
      std::fputc(value.asChars[0], stderr);
      break;
    case LOG_ARG_TYPE_HEX_FRAGMENT:
    case LOG_ARG_TYPE_HEX_FRAGMENT_UPPER: {
      const char(*digits)[3] = type == LOG_ARG_TYPE_HEX_FRAGMENT ? byteAsLowercaseHexadecimal
                                                                 : byteAsUppercaseHexadecimal;
      const unsigned char* bytes = static_cast<const unsigned char*>(value.ptr);
      for (uint32_t i = 0; bytes != nullptr && i < len; ++i) std::fputs(digits[bytes[i]], stderr);
      break;
    }
    case LOG_ARG_TYPE_TEXT:
    case LOG_ARG_TYPE_TEXT_FRAGMENT:
    case LOG_ARG_TYPE_ROM_TEXT:
      if (value.ptr != nullptr) std::fwrite(value.ptr, 1, len, stderr);
      break;
    default:
      std::fprintf(stderr, "%p", value.ptr);
      break;
  }
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void LogMessageRecord::emitOverflowErrorText(const char* text, size_t len) {
  LOG_argument_union u{};
  u.asCstring = text;
  emitOverflowError(u, LOG_ARG_TYPE_TEXT, static_cast<LogArgumentLenType_t>(len));
}

const char* LogMessageRecord::getSeverityLabel(uint_fast32_t level) {
  return getSeverityLabelWithLength(level).textBfr;
}

TextBlock_struct LogMessageRecord::getSeverityLabelWithLength(uint_fast32_t level) {
  const uint32_t s = labelSubscript(level);
  if (s >= LABEL_SLOT_TOTAL) {
    std::fprintf(stderr, "getSeverityLabel: refused level=%u subscript=%u\n", static_cast<unsigned>(level), s);
    std::fflush(stderr);
    return TextBlock_struct(severityLabels[0], severityLabelLengths[0]);
  }
  if (severityLabelLengths[s] == 0) return TextBlock_struct(severityLabels[0], severityLabelLengths[0]);
  return TextBlock_struct(severityLabels[s], severityLabelLengths[s]);
}

bool LogMessageRecord::setSeverityLabel(uint_fast32_t level, const char* label) {
  const uint32_t standardBits = static_cast<uint32_t>(level >> 3) & 0x1FFFFFFEu;
  const uint32_t s0 = standardBits == 0 ? 32u : static_cast<uint32_t>(std::countr_zero(standardBits));
  // A standard severity bit, or no user-level bit (the USER slot itself),
  // names a fixed label.
  if (s0 < 7 || (level >> 11) == 0) {
    std::fprintf(stderr, "setSeverityLabel: refused, reserved level=%u subscript=%u label=%s\n",
                 static_cast<unsigned>(level), s0, label);
    return false;
  }
  const uint32_t s = static_cast<uint32_t>(level >> 11) + 7u;
  if (s >= LABEL_SLOT_TOTAL) {
    std::fprintf(stderr, "setSeverityLabel: refused, too large level=%u subscript=%u label=%s\n",
                 static_cast<unsigned>(level), s, label);
    return false;
  }
  size_t len = std::strlen(label);
  if (len > MAX_SEVERITY_LABEL_LEN - 1) len = MAX_SEVERITY_LABEL_LEN - 1;
  std::memcpy(severityLabels[s], label, len);
  severityLabels[s][len] = '\0';
  severityLabelLengths[s] = static_cast<uint8_t>(len);
  return true;
}

namespace {

// Per-thread pool of records for sanitizer builds: allocated on first use,
// one per nesting depth, released when the thread ends.
constexpr int RECORD_POOL_DEPTH = 4;
struct RecordPool {
  void* slots[RECORD_POOL_DEPTH] = {};
  int depth = 0;
  ~RecordPool() {
    for (void* slot : slots) ::operator delete(slot, std::align_val_t(alignof(LogMessageRecord)));
  }
};
thread_local RecordPool recordPool;

}  // namespace

LogRecordFromPool::LogRecordFromPool(LogManager* mgr, uint32_t importanceFlags, const char* atFileName,
                                     uint32_t atLineNumber, uint32_t fileNameLen)
    : rec(nullptr), fromPool(false) {
  RecordPool& pool = recordPool;
  void* storage = nullptr;
  if (pool.depth < RECORD_POOL_DEPTH) {
    void*& slot = pool.slots[pool.depth];
    if (slot == nullptr) {
      slot = ::operator new(sizeof(LogMessageRecord), std::align_val_t(alignof(LogMessageRecord)));
    }
    storage = slot;
    ++pool.depth;
    fromPool = true;
  } else {
    storage = ::operator new(sizeof(LogMessageRecord), std::align_val_t(alignof(LogMessageRecord)));
  }
  rec = new (storage) LogMessageRecord(mgr, importanceFlags, atFileName, atLineNumber, fileNameLen);
}

LogRecordFromPool::~LogRecordFromPool() {
  static_assert(std::is_trivially_destructible_v<LogMessageRecord>);
  if (fromPool) {
    --recordPool.depth;
  } else {
    ::operator delete(static_cast<void*>(rec), std::align_val_t(alignof(LogMessageRecord)));
  }
}
