// The message record a log statement fills: format line, argument records,
// source position, severity, timestamp; its value insertion and its text
// rendering entry points.
#pragma once

#include <sys/uio.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "utils/base/circular_bfr.hpp"
#include "utils/base/compiler_hints.hpp"
#include "utils/base/text2int.hpp"
#include "utils/logging/log_values.hpp"

// A line prefix matched up to and including the label's preceding space:
// "YYYY/MM/DD HH:MM:SS.ffffff <thread> <file>:<line> ". The label follows.
#define LOG_LINE_PREFIX_REGEX \
  "^[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6} [0-9]+ [^ ]+:[0-9]+ "

namespace log_render {
struct LineUnderConstruction;
}

class LogMessageRecord {
 public:
  static constexpr uint32_t LOG_MAX_ARGUMENT_TOTAL = 3600;
  static constexpr uint32_t MIN_IOV_UNIT_LEN = 64;
  static constexpr uint32_t GENERATED_FORMAT_LINE_SIZE = 65724;
  static constexpr uint32_t MAX_SEVERITY_LABEL_LEN = 12;
  static constexpr uint32_t LEVEL_BITS_AVAILABLE = 30 - 4;

  enum LogLevelSeverityMask : uint32_t {
    AND_USE_SYSLOG = 1,
    AND_USE_STDERR = 2,
    AND_SPECIAL_MASK = 15,
    LOG_SEVERITY_TRACE = 16,
    LOG_SEVERITY_DEBUG = 32,
    LOG_SEVERITY_INFO = 64,
    LOG_SEVERITY_WARN = 128,
    LOG_SEVERITY_ERROR = 256,
    LOG_SEVERITY_FATAL = 512,
    LOG_SEVERITY_USER = 1024,
  };

  enum LogPrefixMask : uint32_t {
    LOG_DATESTAMP = 1,
    LOG_TIMESTAMP = 2,
    LOG_THREAD_ID = 4,
    LOG_FILENAME = 8,
    LOG_LINE_NUMBER = 16,
    LOG_ERROR_LEVEL = 32,
    LOG_BINARY_FORMAT_STRING = 128,
  };

  enum LogArgumentType : uint32_t {
    LOG_ARG_TYPE_INT32 = 4,
    LOG_ARG_TYPE_UINT32 = 5,
    LOG_ARG_TYPE_INT64 = 6,
    LOG_ARG_TYPE_UINT64 = 7,
    LOG_ARG_TYPE_FLOAT = 8,
    LOG_ARG_TYPE_DOUBLE = 10,
    LOG_ARG_TYPE_CHAR = 16,
    LOG_ARG_TYPE_BINARY = 17,
    LOG_ARG_TYPE_TEXT = 18,
    LOG_ARG_TYPE_POINTER = 128,
    LOG_ARG_TYPE_TEXT_FRAGMENT = 144,
    LOG_ARG_TYPE_ROM_TEXT = 146,
    LOG_ARG_TYPE_HEX_FRAGMENT = 152,
    LOG_ARG_TYPE_HEX_FRAGMENT_UPPER = 154,
    LOG_ARG_TYPE_POSIX_NANOSECONDS = 263,
    LOG_ARG_TYPE_FIXED_POINT = 519,
  };

  using LogArgumentLenType_t = uint32_t;

  union LOG_argument_union {
    char asChars[4];
    unsigned char bytes[4];
    unsigned char uc;
    int32_t i32;
    uint32_t u32;
    int64_t i64;
    uint64_t u64;
    float f;
    double d;
    const void* ptr;
    const char* asCstring;
    const unsigned char* asUCstring;
  };
  static_assert(sizeof(LOG_argument_union) == 8);

  struct ArgumentRecord {
    LOG_argument_union logArgs;
    LogArgumentType argBaseType;
    LogArgumentLenType_t argLen;
  };

  // Builds an empty record for one statement; takes the timestamp from the
  // manager's time routine. A null manager means the standard-error manager.
  LogMessageRecord(LogManager* mgr, uint32_t importanceFlags, const char* atFileName,
                   uint32_t atLineNumber, uint32_t fileNameLen);
  LogMessageRecord(const LogMessageRecord&) = delete;
  LogMessageRecord& operator=(const LogMessageRecord&) = delete;

  LogManager* getLogManager() const { return logMgr; }
  // Replaces the format line (the explicit-argument form LOG_MESSAGE_FORMAT).
  void setLogFormat(const char* format) { logLineFormat = format; }
  const char* getLogFormat() const { return logLineFormat; }
  uint32_t getArgCount() const { return argCount; }
  uint32_t getGeneratedOffset() const { return generatedOffset; }
  uint32_t getArgCountExceeded() const { return argCountExceeded; }
  const ArgumentRecord& getArgument(uint32_t i) const { return argList[i]; }

  // Severity label of a level: the lowest of TRACE..FATAL wins, then USER and
  // user levels; "UNKNOWN" when no label is defined (see the .cpp).
  static const char* getSeverityLabel(uint_fast32_t level);
  static TextBlock_struct getSeverityLabelWithLength(uint_fast32_t level);
  // Sets the label of a user-level slot (8..25). Returns false when refused.
  static bool setSeverityLabel(uint_fast32_t level, const char* label);

  // Renders the record as one text line and writes it, or hands it to the
  // manager's writer thread. Returns the line length (or the bytes written
  // when written directly).
  size_t writeAsTextToBuffer(unsigned int prefixWithFlags);
  // The same with the record written as a binary record
  // (utils/logging/log_binary.hpp).
  size_t writeAsBinaryToBuffer(unsigned int prefixWithFlags);

  // Renders the record with prefix mask 0 into a block its manager keeps
  // (until the manager's next such call) and returns the text; "" when the
  // manager has no room.
  const char* formatIntoMemory();

  // Renders the record as one line (prefix fields selected by
  // prefixWithFlags) into a block of the manager's region. With
  // singleThreaded set the line is written at once by the calling thread
  // (writev on the manager's descriptor) and the result is null; otherwise
  // the line is gathered into the block, which is returned for the
  // manager's writer (writeDataToBuffer). An empty line is never handed on:
  // its block goes back to the region and the result is null. returnLen (may
  // be null) gets the line length, or the bytes written.
  SharedBufferAllocRecord* formatRecordAsText(unsigned int prefixWithFlags, size_t* returnLen,
                                              uint32_t singleThreaded);

  // Builds the record as a binary record (utils/logging/log_binary.hpp) in a
  // block of the manager's region, with the same arguments and results as
  // formatRecordAsText. Arguments are written whole: the record ends before
  // the first one that does not fit the block (a "Too many elements" line on
  // standard error), argumentCount and the length saying what was written.
  SharedBufferAllocRecord* prepareBinaryRecord(unsigned int prefixWithFlags, size_t* returnLen,
                                               uint32_t singleThreaded);

  // Emits `line` as a series of records of at most blockLength bytes each,
  // broken after a separator or at blanks, then resets `context`.
  static void splitLongLogLine(LogMessageRecord& context, const char* line, const char* separators,
                               size_t blockLength);

  // Removes the log flags (+logmask/-logmask MASKS, +logmap, -logmap,
  // +logthread, -logthread) from argv[0..argc) and applies them. Kept
  // arguments are copied in order to newArgv (may be argv itself; skipped when
  // null); their count goes to *newArgc (when given). Returns 0.
  static int process_commandline_log_flags(LogSubsystemInfo* info, int argc, const char** argv,
                                           int* newArgc, const char** newArgv);
  // Defines a level name for the log flags (".name") and the severity label of
  // its user level. Returns the table index, -1 on a conflicting definition,
  // -2 when the table is full.
  static int define_commandline_flag(const char* flagName, LogMaskPrimitiveType_t mask, const char* label);

  // ---- value insertion ----
  LogMessageRecord& operator<<(const char* text) {
    addText(text ? text : "(null)", text ? std::strlen(text) : 6);
    return *this;
  }
  LogMessageRecord& operator<<(char* text) { return *this << static_cast<const char*>(text); }
  LogMessageRecord& operator<<(std::string_view text) {
    addText(text.data(), text.size());
    return *this;
  }
  LogMessageRecord& operator<<(char c) {
    LOG_argument_union u{};
    u.asChars[0] = c;
    addKeptArg(u, LOG_ARG_TYPE_CHAR, 1, "%c", 2);
    return *this;
  }
  LogMessageRecord& operator<<(bool b) { return *this << static_cast<uint32_t>(b ? 1u : 0u); }
  template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, char> && !std::is_same_v<T, bool>)
  LogMessageRecord& operator<<(T v) {
    LOG_argument_union u{};
    if constexpr (sizeof(T) <= 4 && std::is_signed_v<T>) {
      u.i32 = static_cast<int32_t>(v);
      addKeptArg(u, LOG_ARG_TYPE_INT32, 4, "%d", 2);
    } else if constexpr (sizeof(T) <= 4) {
      u.u32 = static_cast<uint32_t>(v);
      addKeptArg(u, LOG_ARG_TYPE_UINT32, 4, "%u", 2);
    } else if constexpr (std::is_signed_v<T>) {
      u.i64 = static_cast<int64_t>(v);
      addKeptArg(u, LOG_ARG_TYPE_INT64, 8, "%ld", 3);
    } else {
      u.u64 = static_cast<uint64_t>(v);
      addKeptArg(u, LOG_ARG_TYPE_UINT64, 8, "%lu", 3);
    }
    return *this;
  }
  template <typename T>
    requires std::is_enum_v<T>
  LogMessageRecord& operator<<(T v) {
    return *this << static_cast<std::underlying_type_t<T>>(v);
  }
  LogMessageRecord& operator<<(double d) {
    LOG_argument_union u{};
    u.d = d;
    addKeptArg(u, LOG_ARG_TYPE_DOUBLE, 8, "%g", 2);
    return *this;
  }
  LogMessageRecord& operator<<(float f) { return *this << static_cast<double>(f); }
  LogMessageRecord& operator<<(const void* p) {
    LOG_argument_union u{};
    u.ptr = p;
    addKeptArg(u, LOG_ARG_TYPE_POINTER, 0, "%p", 2);
    return *this;
  }
  LogMessageRecord& operator<<(const TextBlock_struct& t) {
    LOG_argument_union u{};
    u.ptr = t.textBfr;
    addKeptArg(u, LOG_ARG_TYPE_TEXT_FRAGMENT, static_cast<LogArgumentLenType_t>(t.bfrLen), "%B", 2);
    return *this;
  }
  LogMessageRecord& operator<<(const HexadecimalBlock_struct& h) {
    LOG_argument_union u{};
    u.ptr = h.dataBfr;
    if (h.asLowercase) {
      addKeptArg(u, LOG_ARG_TYPE_HEX_FRAGMENT, static_cast<LogArgumentLenType_t>(h.bfrLen), "%x", 2);
    } else {
      addKeptArg(u, LOG_ARG_TYPE_HEX_FRAGMENT_UPPER, static_cast<LogArgumentLenType_t>(h.bfrLen), "%X", 2);
    }
    return *this;
  }
  LogMessageRecord& operator<<(const BinaryBlock_struct& b) {
    // Shown as uppercase hexadecimal in text lines.
    LOG_argument_union u{};
    u.ptr = b.dataBfr;
    addKeptArg(u, LOG_ARG_TYPE_HEX_FRAGMENT_UPPER, static_cast<LogArgumentLenType_t>(b.bfrLen), "%X", 2);
    return *this;
  }
  LogMessageRecord& operator<<(const EscapedTextBlock_struct& e) {
    addEscapedText(e);
    return *this;
  }
  LogMessageRecord& operator<<(const LogFixedPointValue_struct& v) {
    LOG_argument_union u{};
    u.i64 = v.value;
    addKeptArg(u, LOG_ARG_TYPE_FIXED_POINT,
               static_cast<LogArgumentLenType_t>(static_cast<uint8_t>(v.precision)), "%P", 2);
    return *this;
  }
  // Appends "BEGIN label\n" and writes the record, emits the text as lines of
  // at most maxLength bytes, then continues this record with "END label".
  LogMessageRecord& operator<<(const SplitAcrossLines_struct& split) {
    *this << "BEGIN " << split.label << "\n";
    writeAsTextToBuffer(static_cast<unsigned int>(prefixMaskOfManager()));
    splitLongLogLine(*this, split.text, split.breakChars, split.maxLength);
    return *this << "END " << split.label;
  }
  LogMessageRecord& operator<<(const VariableFixedPointValue& v) {
    return *this << LogFixedPointValue_struct{v.value, v.precision};
  }
  LogMessageRecord& operator<<(const LogPosixNanoseconds_struct& t) {
    LOG_argument_union u{};
    u.u64 = t.nanoseconds;
    addKeptArg(u, LOG_ARG_TYPE_POSIX_NANOSECONDS, 8, "%N", 2);
    return *this;
  }

  // Explicit argument addition (LOG_ARG): keeps the value without touching
  // the format line, which LOG_MESSAGE_FORMAT supplies.
  template <typename T>
  void addExplicitArg(const T& value) {
    const char* format = logLineFormat;
    const uint32_t offset = generatedOffset;
    *this << value;
    generatedOffset = offset;
    logLineFormat = format;
  }

  // Appends text to the format line, doubling every '%'. Text that does not
  // fit in the format line is cut.
  void addText(const char* text, size_t len);
  void addEscapedText(const EscapedTextBlock_struct& e);

  // Reports a value dropped because the argument list is full.
  ZUR_COLD void emitOverflowError(const LOG_argument_union& value, LogArgumentType type,
                                  LogArgumentLenType_t len);
  ZUR_COLD void emitOverflowErrorText(const char* text, size_t len);

  uint_fast32_t prefixMaskOfManager() const;

  // ---- fields, in declaration order ----
  LogManager* logMgr;
  const char* logLineFormat;
  const char* sourceFile;
  timespec timestamp;
  uint64_t threadId;
  uint32_t sourceFileNameLen;
  uint32_t argCount;
  uint32_t sourceLine;
  uint32_t importanceLevel;
  uint32_t generatedOffset;
  uint32_t argCountExceeded;
  char generatedFormatLine[GENERATED_FORMAT_LINE_SIZE];
  ArgumentRecord argList[LOG_MAX_ARGUMENT_TOTAL];

 private:
  void renderPrefix(log_render::LineUnderConstruction& line, unsigned int prefixWithFlags, char* syslogTime);
  void renderMessage(log_render::LineUnderConstruction& line) const;
  void addKeptArg(const LOG_argument_union& value, LogArgumentType type, LogArgumentLenType_t len,
                  const char* conversion, uint32_t conversionLen);
};

// Returns the "LABEL message" part of a rendered line, or the whole line when
// it does not start with a date/time/thread/file:line prefix. For tests.
std::string_view stripLogLinePrefix(std::string_view line);
