// Structured log statements: per-component severity masks, the statement forms
// (LOG_CERR, LOG_COUT, LOG_WHEN, LOG_INTO, ...), the message record they fill,
// its text rendering and the log managers that write the finished lines.
//
// Declaring a source file's component. Every source file belongs to one log
// component, `app` (the tool, the default) or `io` (file reading and I/O).
// Define THIS_COMPONENT before the first log statement of the file, normally
// at the top before the includes:
//
//     #define THIS_COMPONENT io
//     #include "utils/logging/logging_api.hpp"
//
// Without a definition the file belongs to `app`. A statement names its level
// either bare (`LOG_CERR(error)`: the level of THIS_COMPONENT) or with a
// component prefix (`LOG_CERR(io_warning)`); a prefixed level is tested
// against that component's mask whatever THIS_COMPONENT is.
//
//     LOG_CERR(app_error) << "Could not open file \"" << fileName << "\"" << LOG_ENDLINE;
//     LOG_CERR(io_warning) << "short read of " << byteCount << " bytes" << LOG_ENDLINE;
//
// A statement is a complete statement: it opens a block that its ending
// (LOG_ENDLINE, ENDREC, AS_PLAIN_TEXT, ...) closes, so put braces around it
// when it is the body of an if/else. A disabled statement evaluates none of
// its values and costs one load, one mask test and one branch. An enabled one
// builds a LogMessageRecord (about 120 KB) on the calling thread's stack.
//
// Inserted values: const char* / char* / std::string_view (text, copied at
// once), char, every integer type (int, unsigned, long, size_t, int64_t, ...:
// signed 32-bit and smaller as %d, unsigned as %u, 64-bit as %ld / %lu), bool
// (0/1), float and double (%g: shortest text that reads back the same),
// const void* (%p), TextBlock_struct / AS_TEXT_BUFFER(p, len),
// HexadecimalBlock_struct / AS_HEXADECIMAL_BUFFER(p, len, lowercase),
// EscapedTextBlock_struct / AS_ESCAPED_TEXT_BUFFER(p, len), fixed-point
// values (VariableFixedPointValue, or AS_FIXED_POINT(value, precision)), and
// POSIX nanoseconds through AS_POSIX_NANOSECONDS(ns). Pointer-held values
// (text blocks, hexadecimal blocks) must stay valid until the ending returns.
//
// Rendered line on standard error with the default configuration (prefix mask
// all ones: date, time, thread id, file:line, label):
//
//     2026/12/06 03:53:07.123456 140245871236928 src/utils/apps/narvelix/main.cpp:42 ERROR Could not open file "x.csv"
//
// Tests can strip everything before the label with LOG_LINE_PREFIX_REGEX, or
// call stripLogLinePrefix(), which returns the "LABEL message" part.
#pragma once

#include <pthread.h>
#include <sys/uio.h>
#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <string_view>
#include <type_traits>

#include "utils/base/compiler_hints.hpp"
#include "utils/base/text2int.hpp"
#include "utils/shared_vars/shared_variable.hpp"
#include "utils/time/get_time.hpp"

class LogManager;
class IO_Processor;

// Mask variable of one component, and its plain value.
using LogMaskType_t = SMV_StandaloneNumeric<unsigned int>;
using LogMaskPrimitiveType_t = unsigned int;

// A line prefix matched up to and including the label's preceding space:
// "YYYY/MM/DD HH:MM:SS.ffffff <thread> <file>:<line> ". The label follows.
#define LOG_LINE_PREFIX_REGEX \
  "^[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6} [0-9]+ [^ ]+:[0-9]+ "

// ---------------------------------------------------------------------------
// Value types that statements insert.
// ---------------------------------------------------------------------------

struct TextBlock_struct {
  const char* textBfr;
  uint_fast32_t bfrLen;

  constexpr TextBlock_struct() : textBfr(""), bfrLen(0) {}
  TextBlock_struct(const char* text) : textBfr(text), bfrLen(text ? std::strlen(text) : 0) {}
  constexpr TextBlock_struct(const char* text, uint_fast32_t len) : textBfr(text), bfrLen(len) {}
  constexpr operator std::string_view() const { return std::string_view(textBfr, bfrLen); }
};
#define AS_TEXT_BUFFER(s, len) TextBlock_struct((s), static_cast<uint_fast32_t>(len))
// Writes the block's bfrLen bytes, as a log line would show them.
std::ostream& operator<<(std::ostream& os, const TextBlock_struct& text);

struct HexadecimalBlock_struct {
  const void* dataBfr;
  uint_fast32_t bfrLen;
  bool asLowercase;

  constexpr HexadecimalBlock_struct(const void* data, uint_fast32_t len, bool lowercase = true)
      : dataBfr(data), bfrLen(len), asLowercase(lowercase) {}
};
#define AS_HEXADECIMAL_BUFFER(d, len, lowercase) \
  HexadecimalBlock_struct((d), static_cast<uint_fast32_t>(len), (lowercase))

struct BinaryBlock_struct {
  const void* dataBfr;
  uint_fast32_t bfrLen;
  constexpr BinaryBlock_struct(const void* data, uint_fast32_t len) : dataBfr(data), bfrLen(len) {}
};
#define AS_BINARY_BUFFER(d, l) BinaryBlock_struct((d), static_cast<uint_fast32_t>(l))

// Replacement table for escaped text: escapedLen[c] is -1 when c is shown as
// itself, else the length (1..3) of escapedChar[c].
struct Escaped_Replacement_Characters {
  static constexpr int MAX_REPLACEMENT_LENGTH = 3;
  int8_t escapedLen[256];
  char escapedChar[256][MAX_REPLACEMENT_LENGTH + 1];
};

// Text shown with escapes (quote, newline, CR, tab, backspace, backslash and
// NUL by default). The escaped text is expanded into the format line when
// inserted, so the block need not outlive the insertion.
struct EscapedTextBlock_struct {
  const char* textBfr;
  uint_fast32_t bfrLen;
  char singleOutputChar;
  const Escaped_Replacement_Characters* replacementsToUse;

  static const Escaped_Replacement_Characters defaultEscapePatterns;

  EscapedTextBlock_struct(const char* text, uint_fast32_t len)
      : textBfr(text), bfrLen(len), singleOutputChar(0), replacementsToUse(&defaultEscapePatterns) {}
  explicit EscapedTextBlock_struct(char c)
      : textBfr(&singleOutputChar), bfrLen(1), singleOutputChar(c), replacementsToUse(&defaultEscapePatterns) {}
  EscapedTextBlock_struct(const EscapedTextBlock_struct& other)
      : textBfr(other.textBfr == &other.singleOutputChar ? &singleOutputChar : other.textBfr),
        bfrLen(other.bfrLen),
        singleOutputChar(other.singleOutputChar),
        replacementsToUse(other.replacementsToUse) {}
  EscapedTextBlock_struct& operator=(const EscapedTextBlock_struct&) = delete;
};
#define AS_ESCAPED_TEXT_BUFFER(s, len) EscapedTextBlock_struct((s), static_cast<uint_fast32_t>(len))
#define AS_ESCAPED_TEXT_CHARACTER(c) EscapedTextBlock_struct(static_cast<char>(c))

// A decimal number value x 10^-precision, inserted as a fixed-point argument.
struct LogFixedPointValue_struct {
  int64_t value;
  int_fast8_t precision;
};
#define AS_FIXED_POINT(v, p) LogFixedPointValue_struct{static_cast<int64_t>(v), static_cast<int_fast8_t>(p)}

// Nanoseconds since the POSIX epoch, rendered as local date and time.
struct LogPosixNanoseconds_struct {
  uint64_t nanoseconds;
};
#define AS_POSIX_NANOSECONDS(ns) LogPosixNanoseconds_struct{static_cast<uint64_t>(ns)}

// A long text inserted as its own run of lines (SPLIT_ACROSS_LINES).
struct SplitAcrossLines_struct {
  const char* label;
  const char* text;
  const char* breakChars;
  size_t maxLength;
};
#define SPLIT_ACROSS_LINES(label, text, breakChars, maxLength) \
  SplitAcrossLines_struct{(label), (text), (breakChars), static_cast<size_t>(maxLength)}

// Information gathered from the command line's log flags.
struct LogSubsystemInfo {
  const char* programName;
  uint32_t processID;
  uint32_t maxPendingLogLines;
  uint32_t defaultLogLevel;
  uint32_t defaultLogPrefix;
  unsigned char useThreads;  // 1 after +logthread, 2 after -logthread
  unsigned char enableMap;   // 1 after +logmap, 2 after -logmap
};
extern LogSubsystemInfo default_LogSubsystemInfo;

// ---------------------------------------------------------------------------
// The message record.
// ---------------------------------------------------------------------------

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

  // Renders the record as one text line and hands it to the manager.
  // Returns the line length (or the bytes written when written directly).
  size_t writeAsTextToBuffer(unsigned int prefixWithFlags);
  // Binary records are not produced by this build: renders as text instead.
  size_t writeAsBinaryToBuffer(unsigned int prefixWithFlags);

  // Renders the record (prefix selected by prefixWithFlags) into dest, at most
  // destSize - 1 bytes plus a NUL. Returns the line length. Used by the
  // managers and by tests; needs no manager.
  size_t renderText(unsigned int prefixWithFlags, char* dest, size_t destSize) const;

  // Renders the record with prefix mask 0 into its manager's memory block
  // and returns the text ("" when the manager has no block).
  const char* formatIntoMemory() const;

  // Renders and writes (or queues) the line. Returns null: this build writes
  // directly from the calling thread. returnLen gets the bytes written.
  SharedBufferAllocRecord* formatRecordAsText(unsigned int prefixWithFlags, size_t* returnLen,
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
  void addKeptArg(const LOG_argument_union& value, LogArgumentType type, LogArgumentLenType_t len,
                  const char* conversion, uint32_t conversionLen);
};

// Value of an environment variable read as a signed 32-bit decimal, or
// defaultVal when unset; malformed text gives the value of its leading digits.
int32_t getEnvironValue(const char* varName, int32_t defaultVal);

// Returns the "LABEL message" part of a rendered line, or the whole line when
// it does not start with a date/time/thread/file:line prefix. For tests.
std::string_view stripLogLinePrefix(std::string_view line);

// ---------------------------------------------------------------------------
// Log managers.
// ---------------------------------------------------------------------------

using TimeAcquisitionFP = void (*)(timespec* ts, const LogManager* mgr);
class LogWriterQueue;

// One log output. By default every finished line is written directly by the
// logging thread with write(2) on the manager's descriptor (retrying on EINTR
// and after short writes). A manager given a writer thread
// (startWriterThread; "USE_STDERR_THREAD"/"USE_STDOUT_THREAD" = 1 for the
// standard managers) copies each line into a queue of fixed slots instead,
// waiting while all slots are full, and its thread writes them in order.
// Lines longer than the manager's maximum line length are cut.
class LogManager {
 public:
  static constexpr uint32_t MAX_LOG_LINE_LENGTH = 65728;

  constexpr LogManager(int outputFd, const char* name, uint_fast32_t prefixMask, uint32_t maxLineLen)
      : output_fd(outputFd),
        logPrefixMask(prefixMask),
        blockSize(maxLineLen),
        stripLeadingDirectories(STRIP_USE_DEFAULT),
        appName(name),
        errorCondition(""),
        getTimestampRoutine(&defaultGetTime),
        memoryBlock(nullptr),
        memoryBlockSize(0),
        writer(nullptr),
        useSeparateThreads(0) {}
  ~LogManager();
  LogManager(const LogManager&) = delete;
  LogManager& operator=(const LogManager&) = delete;

  static LogManager* DEFAULT_LogManager;  // null until a standard log file is opened
  static LogManager* STDOUT_LogManager;   // descriptor 1, set before main
  static LogManager* STDERR_LogManager;   // descriptor 2, set before main

  // Time sources: the process clock (default), or the nanosecond count at a
  // caller-given location (setSourceForCustomLogTime, then
  // setTimeAcquisitionRoutine(returnCustomLogTime)); the source must be set
  // before a manager uses returnCustomLogTime.
  static void defaultGetTime(timespec* ts, const LogManager* mgr);
  static void setSourceForCustomLogTime(const POSIXtimeInNanoseconds* source);
  static void returnCustomLogTime(timespec* ts, const LogManager* mgr);

  int getDescriptor() const { return output_fd; }
  void setDescriptor(int fd) { output_fd = fd; }
  IO_Processor* get_IO_Manager() const { return nullptr; }
  uint_fast32_t getLogPrefixMask() const { return logPrefixMask; }
  uint_fast32_t setLogPrefixMask(uint_fast32_t mask) {
    uint_fast32_t old = logPrefixMask;
    logPrefixMask = mask;
    return old;
  }
  uint32_t getMaxLineLength() const { return blockSize; }
  void setMaxLineLength(uint32_t len) { blockSize = len; }
  void setStripLeadingDirectories(uint_fast32_t n) { stripLeadingDirectories = static_cast<uint32_t>(n); }
  const char* getErrorCondition() const { return errorCondition; }
  void setErrorCondition(const char* text) { errorCondition = text; }
  void setTimeAcquisitionRoutine(TimeAcquisitionFP routine) { getTimestampRoutine = routine; }
  TimeAcquisitionFP getTimeAcquisitionRoutine() const { return getTimestampRoutine; }
  void getTimestamp(timespec* ts) const { getTimestampRoutine(ts, this); }
  const char* getName() const { return appName; }
  uint_fast8_t usesSeparateThread() const { return useSeparateThreads; }
  void setUseSeparateThread(uint_fast8_t use) { useSeparateThreads = use; }

  // A manager over memory (no descriptor): lines are rendered into the block
  // and never written (LOG_STREAM_OBJECT).
  void setMemoryBlock(char* block, uint32_t size) {
    memoryBlock = block;
    memoryBlockSize = size;
  }
  char* getMemoryBlock() const { return memoryBlock; }
  uint32_t getMemoryBlockSize() const { return memoryBlockSize; }

  // Starts the writer thread with lineCount slots of the current maximum line
  // length. Returns false (and keeps writing directly) when memory or the
  // thread cannot be had, or when one is already running.
  bool startWriterThread(uint32_t lineCount);
  // Lets the writer finish the queued lines, stops it and waits for it; later
  // lines are written directly. Called by the destructor.
  void stopWriterThread();
  bool hasWriterThread() const;
  // Hands a finished line to the writer thread, or writes it directly.
  // Returns the bytes queued or written.
  size_t submitLine(const char* data, size_t len);

  // Queued blocks are not used by this build; always returns 0.
  int writeDataToBuffer(SharedBufferAllocRecord* rec);

  // Writes len bytes to the descriptor, retrying on EINTR and after short
  // writes. Returns the bytes written; on failure reports once per manager.
  size_t writeLine(const char* data, size_t len);

  // File name as shown in log lines: the part after a matching source prefix
  // ("$ST/src", "$BT1/src" .. "$BT4/src", also resolved through symbolic
  // links); with no match and stripLeadingDirectories 0 the whole name, else
  // the part after the (n + 1)-th '/' (a leading '/' counts as the first).
  TextBlock_struct pruneDirectoryPrefix(const char* fileName, int_fast32_t fileNameLen) const;
  // Builds the prefix table from the environment (once; later calls rebuild
  // it, which tests use after changing the environment).
  static void initializePrefixTable();
  static constexpr uint32_t MAX_FILE_PREFIX_ENTRIES = 8;
  // Managers built with this value take the process default
  // (GCOV_PREFIX_STRIP) when they first prune a name.
  static constexpr uint32_t STRIP_USE_DEFAULT = 0xFFFFFFFFu;

  // Registers a component by name with its mask variable (null: known by
  // name only, its mask kept as initialMask). Returns index + 1, 0 when full.
  static constexpr uint32_t MAX_SUPPORTED_COMPONENTS = 64;
  static uint_fast32_t addLogComponent(const char* componentName, LogMaskType_t* logMask,
                                       LogMaskPrimitiveType_t initialMask);

  // TODO(logging): writer threads, log files, mapped logs, buffer regions.

 private:
  int output_fd;
  uint_fast32_t logPrefixMask;
  uint32_t blockSize;
  uint32_t stripLeadingDirectories;
  const char* appName;
  const char* errorCondition;
  TimeAcquisitionFP getTimestampRoutine;
  char* memoryBlock;
  uint32_t memoryBlockSize;
  // Set by startWriterThread, cleared by stopWriterThread (at exit for the
  // standard managers: a thread still logging then must not race with it).
  std::atomic<LogWriterQueue*> writer;
  uint_fast8_t useSeparateThreads;
};

// ---------------------------------------------------------------------------
// Components and their level names.
// ---------------------------------------------------------------------------

// Every prefixed level name lives here and is visible everywhere through the
// using-directive below; each component's scope namespace also sees them.
namespace ZurLogLevelNames {}
using namespace ZurLogLevelNames;

#define ZUR_LOG_CAT_(a, b) a##b
#define ZUR_LOG_CAT(a, b) ZUR_LOG_CAT_(a, b)

// One level list, applied to prefixed and bare names alike.
#define ZUR_LOG_LEVEL_LIST(P, disableMaskValue)                                              \
  P##none = 0u, P##trace = 16u, P##debug = 32u, P##info = 64u, P##information = 64u,         \
  P##warn = 128u, P##warning = 128u, P##warningAndSyslog = 129u, P##warningAndStderr = 130u, \
  P##warningAndBroadcast = 131u, P##error = 256u, P##errorAndSyslog = 257u,                  \
  P##errorAndStderr = 258u, P##errorAndBroadcast = 259u, P##fatal = 512u,                    \
  P##fatalAndSyslog = 513u, P##fatalAndStderr = 514u, P##fatalAndBroadcast = 515u,           \
  P##user = 1024u, P##userInfo1 = 2112u, P##userInfo2 = 4160u, P##userInfo3 = 8256u,         \
  P##userInfo4 = 16448u, P##userInfo5 = 32832u, P##userInfo6 = 65600u,                       \
  P##userDebug1 = 2080u, P##userDebug2 = 4128u, P##userDebug3 = 8224u,                       \
  P##userDebug4 = 16416u, P##userDebug5 = 32800u, P##userDebug6 = 65568u,                    \
  P##userTrace1 = 2064u, P##userTrace2 = 4112u, P##userTrace3 = 8208u,                       \
  P##userTrace4 = 16400u, P##userTrace5 = 32784u, P##userTrace6 = 65552u,                    \
  P##userLevel1 = 2048u, P##userLevel2 = 4096u, P##userLevel3 = 8192u,                       \
  P##userLevel4 = 16384u, P##userLevel5 = 32768u, P##userLevel6 = 65536u,                    \
  P##basicLevels = 1008u, P##defaultMask = 960u, P##disableMask = (disableMaskValue),        \
  P##all = 2147483647u

// Defines the level names, the bare-name scope and the mask accessors of a
// component whose mask variable `component##_logLevelMask` is defined in one
// .cpp (LogMaskType_t component##_logLevelMask(SMV_STARTUP, "component_logMask",
// parentNode, initial), registered with the default variable manager by a
// start-up hook).
#define DEFINE_COMPONENT_LOG_MASKS_WITH_DISABLE(component, disableMaskValue)                     \
  namespace ZurLogLevelNames {                                                                  \
  enum ZUR_LOG_CAT(component, _LogLevels) : uint32_t { ZUR_LOG_LEVEL_LIST(component##_, disableMaskValue) }; \
  }                                                                                             \
  extern LogMaskType_t component##_logLevelMask;                                                \
  namespace component##_LogLevelScope {                                                         \
  using namespace ::ZurLogLevelNames;                                                           \
  enum BareLogLevels : uint32_t { ZUR_LOG_LEVEL_LIST(, disableMaskValue) }; \
  inline constexpr uint32_t componentDisableMask = (disableMaskValue);                          \
  inline LogMaskType_t& maskVariable() { return component##_logLevelMask; }                      \
  }                                                                                             \
  ZUR_ALWAYS_INLINE LogMaskType_t& zurLogMaskOf(ZurLogLevelNames::component##_LogLevels) {      \
    return component##_logLevelMask;                                                            \
  }                                                                                             \
  ZUR_ALWAYS_INLINE LogMaskType_t& zurLogMaskOf(component##_LogLevelScope::BareLogLevels) {     \
    return component##_logLevelMask;                                                            \
  }                                                                                             \
  constexpr uint32_t zurLogDisableMaskOf(ZurLogLevelNames::component##_LogLevels) {             \
    return (disableMaskValue);                                                                  \
  }                                                                                             \
  constexpr uint32_t zurLogDisableMaskOf(component##_LogLevelScope::BareLogLevels) {            \
    return (disableMaskValue);                                                                  \
  }
#define DEFINE_COMPONENT_LOG_MASKS(component) DEFINE_COMPONENT_LOG_MASKS_WITH_DISABLE(component, 0u)

// A further user level of a component: its base level ORed with user level N.
#define DECLARE_COMPONENT_USER_LOG_MASK(component, name, baseLevel, N)                         \
  inline constexpr ZurLogLevelNames::component##_LogLevels component##_##name =                \
      static_cast<ZurLogLevelNames::component##_LogLevels>(                                    \
          static_cast<uint32_t>(baseLevel) | (static_cast<uint32_t>(LogMessageRecord::LOG_SEVERITY_USER) << (N)))

// Compile-time disable masks: a build may define these to remove whole levels.
#ifndef APP_LOG_DISABLE_MASK
#define APP_LOG_DISABLE_MASK 0u
#endif
#ifndef IO_LOG_DISABLE_MASK
#define IO_LOG_DISABLE_MASK 0u
#endif
DEFINE_COMPONENT_LOG_MASKS_WITH_DISABLE(app, APP_LOG_DISABLE_MASK)
DEFINE_COMPONENT_LOG_MASKS_WITH_DISABLE(io, IO_LOG_DISABLE_MASK)

// A file that does not define THIS_COMPONENT belongs to `app`.
namespace THIS_COMPONENT_LogLevelScope = app_LogLevelScope;

// The enabling rule on plain values: the level meets no disable bit, and every
// severity bit of the level (routing bits 0..3 excluded) is set in the mask.
constexpr bool zurLogEnabledFor(uint32_t maskValue, uint32_t disableMask, uint32_t level) {
  const uint32_t severityBits = level & ~static_cast<uint32_t>(LogMessageRecord::AND_SPECIAL_MASK);
  return (level & disableMask) == 0 && (maskValue & severityBits) == severityBits;
}

template <typename Level>
ZUR_ALWAYS_INLINE bool zurLogLevelEnabled(Level level) {
  const uint32_t lvl = static_cast<uint32_t>(level);
  if ((lvl & zurLogDisableMaskOf(level)) != 0) return false;
  const uint32_t severityBits = lvl & ~static_cast<uint32_t>(LogMessageRecord::AND_SPECIAL_MASK);
  return (static_cast<uint32_t>(zurLogMaskOf(level)) & severityBits) == severityBits;
}

// The level named `lvl` (bare or prefixed) as seen from `component`.
#define ZUR_LOG_LEVEL_IN(component, lvl) (ZUR_LOG_CAT(component, _LogLevelScope)::lvl)
#define ZUR_LOG_LEVEL(lvl) ZUR_LOG_LEVEL_IN(THIS_COMPONENT, lvl)

// True when `mask` (a raw value) is enabled for `component`.
#define COMPONENT_LOG_ENABLED(component, mask)                                              \
  zurLogEnabledFor(static_cast<uint32_t>(ZUR_LOG_CAT(component, _LogLevelScope)::maskVariable()), \
                   ZUR_LOG_CAT(component, _LogLevelScope)::componentDisableMask,            \
                   static_cast<uint32_t>(mask))
#define ENABLE_COMPONENT_LOG_LEVEL(component, level) \
  (ZUR_LOG_CAT(component, _LogLevelScope)::maskVariable() |= static_cast<uint32_t>(level))
#define DISABLE_COMPONENT_LOG_LEVEL(component, level) \
  (ZUR_LOG_CAT(component, _LogLevelScope)::maskVariable() &= ~static_cast<uint32_t>(level))

#define THIS_COMPONENT_LOG_MANAGER LogManager::DEFAULT_LogManager

// ---------------------------------------------------------------------------
// Statement forms. Each opens a block holding the record `logObj`; the ending
// closes it.
// ---------------------------------------------------------------------------

// Address-sanitizer builds give every block-scope variable its own frame slot,
// so a function with many statements would need one 120 KB record per
// statement on its stack; there the record comes from a per-thread pool
// instead (LogRecordFromPool). Other builds keep it on the stack, where the
// compiler shares one slot between the statements of a function.
#if defined(__SANITIZE_ADDRESS__)
#define ZUR_LOG_RECORDS_FROM_POOL 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZUR_LOG_RECORDS_FROM_POOL 1
#endif
#endif

// A record taken from the calling thread's pool (nested statements take the
// next one; beyond the pool's depth one is allocated for the statement).
class LogRecordFromPool {
 public:
  LogRecordFromPool(LogManager* mgr, uint32_t importanceFlags, const char* atFileName, uint32_t atLineNumber,
                    uint32_t fileNameLen);
  ~LogRecordFromPool();
  LogRecordFromPool(const LogRecordFromPool&) = delete;
  LogRecordFromPool& operator=(const LogRecordFromPool&) = delete;
  LogMessageRecord& record() { return *rec; }

 private:
  LogMessageRecord* rec;
  bool fromPool;
};

#if defined(ZUR_LOG_RECORDS_FROM_POOL)
#define ZUR_LOG_DECLARE_RECORD(manager, levelValue)                                                \
  LogRecordFromPool zurLogRecordHolder((manager), static_cast<uint32_t>(levelValue), __FILE__, __LINE__, \
                                       static_cast<uint32_t>(sizeof(__FILE__) - 1));               \
  LogMessageRecord& logObj = zurLogRecordHolder.record();
#else
#define ZUR_LOG_DECLARE_RECORD(manager, levelValue)                                         \
  LogMessageRecord logObj((manager), static_cast<uint32_t>(levelValue), __FILE__, __LINE__, \
                          static_cast<uint32_t>(sizeof(__FILE__) - 1));
#endif

#define ZUR_LOG_OPEN(condition, manager, levelValue) \
  if (ZUR_UNLIKELY(condition)) {                     \
    ZUR_LOG_DECLARE_RECORD(manager, levelValue)      \
    logObj

#define ZUR_LOG_OPEN_LEVEL(levelExpr, manager) \
  ZUR_LOG_OPEN(zurLogLevelEnabled(levelExpr), manager, levelExpr)

#define ALWAYS_EMIT_MESSAGE_TO_LOG(manager, mask) \
  {                                               \
    ZUR_LOG_DECLARE_RECORD(manager, mask)
#define EMIT_CONDITIONAL_MESSAGE_FOR_COMPONENT_TO_LOG(component, mask, manager) \
  if (ZUR_UNLIKELY(COMPONENT_LOG_ENABLED(component, mask))) {                   \
    ZUR_LOG_DECLARE_RECORD(manager, mask)
#define LOG_MESSAGE_FORMAT(s) logObj.setLogFormat(s);
#define LOG_ARG(arg) logObj.addExplicitArg(arg);

#define LOG_WHEN(lvl) ZUR_LOG_OPEN_LEVEL(ZUR_LOG_LEVEL(lvl), LogManager::DEFAULT_LogManager)
#define LOG_ALWAYS(lvl) ZUR_LOG_OPEN(true, LogManager::DEFAULT_LogManager, ZUR_LOG_LEVEL(lvl))
#define IFLOG_WHEN(lvl)                                                                      \
  ZUR_LOG_OPEN(LogManager::DEFAULT_LogManager != nullptr && zurLogLevelEnabled(ZUR_LOG_LEVEL(lvl)), \
               LogManager::DEFAULT_LogManager, ZUR_LOG_LEVEL(lvl))
#define IFLOG_ALWAYS(lvl) \
  ZUR_LOG_OPEN(LogManager::DEFAULT_LogManager != nullptr, LogManager::DEFAULT_LogManager, ZUR_LOG_LEVEL(lvl))
#define LOG_INTO(mgr, lvl) ZUR_LOG_OPEN_LEVEL(ZUR_LOG_LEVEL(lvl), (mgr))
#define LOG_ALWAYS_INTO(mgr, lvl) ZUR_LOG_OPEN(true, (mgr), ZUR_LOG_LEVEL(lvl))
#define LOG_COUT(lvl) ZUR_LOG_OPEN_LEVEL(ZUR_LOG_LEVEL(lvl), LogManager::STDOUT_LogManager)
#define LOG_CERR(lvl) ZUR_LOG_OPEN_LEVEL(ZUR_LOG_LEVEL(lvl), LogManager::STDERR_LogManager)
#define LOG_COMPONENT(component, lvl) \
  ZUR_LOG_OPEN_LEVEL(ZUR_LOG_LEVEL_IN(component, lvl), LogManager::DEFAULT_LogManager)
#define LOG_COMPONENT_ALWAYS(component, lvl) \
  ZUR_LOG_OPEN(true, LogManager::DEFAULT_LogManager, ZUR_LOG_LEVEL_IN(component, lvl))
#define LOG_COMPONENT_INTO(mgr, component, lvl) ZUR_LOG_OPEN_LEVEL(ZUR_LOG_LEVEL_IN(component, lvl), (mgr))
#define LOG_COMPONENT_ALWAYS_INTO(mgr, component, lvl) ZUR_LOG_OPEN(true, (mgr), ZUR_LOG_LEVEL_IN(component, lvl))
#define LOG_COMPONENT_COUT(component, lvl) \
  ZUR_LOG_OPEN_LEVEL(ZUR_LOG_LEVEL_IN(component, lvl), LogManager::STDOUT_LogManager)
#define LOG_COMPONENT_CERR(component, lvl) \
  ZUR_LOG_OPEN_LEVEL(ZUR_LOG_LEVEL_IN(component, lvl), LogManager::STDERR_LogManager)
#define IFLOG_COMPONENT(component, lvl)                                                         \
  ZUR_LOG_OPEN(LogManager::DEFAULT_LogManager != nullptr &&                                     \
                   zurLogLevelEnabled(ZUR_LOG_LEVEL_IN(component, lvl)),                        \
               LogManager::DEFAULT_LogManager, ZUR_LOG_LEVEL_IN(component, lvl))
#define IFLOG_COMPONENT_ALWAYS(component, lvl)                                      \
  ZUR_LOG_OPEN(LogManager::DEFAULT_LogManager != nullptr, LogManager::DEFAULT_LogManager, \
               ZUR_LOG_LEVEL_IN(component, lvl))
#define LOG_TO_DESCRIPTOR(output, mask) \
  ZUR_LOG_OPEN(COMPONENT_LOG_ENABLED(THIS_COMPONENT, mask), LogManager::output##_LogManager, mask)

// Values go straight to an output stream (include <ostream> yourself).
#define LOG_WHEN_OSTREAM(stream, lvl) \
  if (ZUR_UNLIKELY(zurLogLevelEnabled(ZUR_LOG_LEVEL(lvl)))) {  \
    (stream)
#define OSTREAM_ENDLINE \
  "\n";                 \
  }

// ---------------------------------------------------------------------------
// Endings.
// ---------------------------------------------------------------------------

#define ENDREC                                                                      \
  "\n";                                                                             \
  logObj.writeAsTextToBuffer(static_cast<unsigned int>(logObj.getLogManager()->getLogPrefixMask())); \
  }
#define LOG_ENDLINE ENDREC
#define BINARY_ENDREC                                                                 \
  "\n";                                                                               \
  logObj.writeAsBinaryToBuffer(static_cast<unsigned int>(logObj.getLogManager()->getLogPrefixMask())); \
  }
#define BINARY_LOG_ENDLINE BINARY_ENDREC
#define AS_PLAIN_TEXT            \
  "";                            \
  logObj.writeAsTextToBuffer(0); \
  }
#define AS_TIMESTAMPED_TEXT                                                         \
  "";                                                                               \
  logObj.writeAsTextToBuffer(static_cast<unsigned int>(logObj.getLogManager()->getLogPrefixMask())); \
  }
#define AS_PREFIXED_TEXT(selectionMask)                                  \
  "";                                                                    \
  logObj.writeAsTextToBuffer(static_cast<unsigned int>(selectionMask)); \
  }
#define AS_BINARY_RECORD                                                              \
  "";                                                                                 \
  logObj.writeAsBinaryToBuffer(static_cast<unsigned int>(logObj.getLogManager()->getLogPrefixMask())); \
  }
#define WITH_DATE_TIME_LEVEL                                                                   \
  "";                                                                                          \
  logObj.writeAsTextToBuffer(LogMessageRecord::LOG_DATESTAMP | LogMessageRecord::LOG_TIMESTAMP | \
                             LogMessageRecord::LOG_ERROR_LEVEL);                               \
  }
#define WITH_TIME_LEVEL                                                                         \
  "";                                                                                           \
  logObj.writeAsTextToBuffer(LogMessageRecord::LOG_TIMESTAMP | LogMessageRecord::LOG_ERROR_LEVEL); \
  }

// Member-field insertions: " name=value" and " name=\"escaped\"".
#define _OUTPUT_MEMBER_FIELD(s, f) " " #f "=" << (s).f
#define _OUTPUT_MEMBER_FIELD_AS_STRING(s, f) \
  " " #f "=\"" << EscapedTextBlock_struct((s).f, static_cast<uint_fast32_t>(std::strlen((s).f))) << "\""

// Formatting into memory: LOG_STREAM_OBJECT(rec) declares a record `rec`
// whose manager ("logstream", no descriptor) keeps one line of
// MAX_LOG_LINE_LENGTH bytes; FORMAT_LOG_BUFFER(var, rec) renders it without
// prefix and sets var (const char*) to the text, valid while rec lives.
class LogStreamBuffer {
 public:
  LogStreamBuffer() : mgr(-1, "logstream", 0, LogManager::MAX_LOG_LINE_LENGTH) {
    mgr.setMemoryBlock(text, sizeof text);
  }
  LogManager mgr;
  char text[LogManager::MAX_LOG_LINE_LENGTH];
};
#define LOG_STREAM_OBJECT(n)                                           \
  LogStreamBuffer n##_logStreamBuffer;                                 \
  LogMessageRecord n(&n##_logStreamBuffer.mgr, 0, __FILE__, __LINE__, \
                     static_cast<uint32_t>(sizeof(__FILE__) - 1))
#define FORMAT_LOG_BUFFER(var, record) (var) = (record).formatIntoMemory()
#define RELEASE_LOG_BUFFER(record) ((void)(record))
#define APPEND_LOG_BUFFER(dest, record) ((dest) << (record).formatIntoMemory())

// Removes the log flags from (argc, argv) in place.
#define PROCESS_COMMANDLINE_LOG_FLAGS(argc, argv)                                               \
  LogMessageRecord::process_commandline_log_flags(&default_LogSubsystemInfo, (argc), (argv), \
                                                  &(argc), (argv))
