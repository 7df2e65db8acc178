// Binary log records: the self-describing form a statement ended with
// BINARY_ENDREC or AS_BINARY_RECORD is written in, for a reader that formats
// it later (narvelix-logcat). Fields are in the writer's byte order, which
// the header names ('L' on every target of this library); every value block
// starts at a multiple of 8 from the record's start. A manager's output
// carries binary records or text lines, not both: a reader cannot resync
// from one to the other.
//
// Record: a 48-byte LogLineBinaryHeader; with LOG_FILENAME (8) in the prefix
// mask the pruned source file name and a NUL; with LOG_BINARY_FORMAT_STRING
// (128) the format line and a NUL; zero bytes up to a multiple of 8
// (offsetFirstArg); then per argument a 16-byte LogLineBinaryValueHeader,
// the value bytes and zero bytes up to a multiple of 8.
//
// LogLineBinaryHeader:
//    0  1  formatVersion        '1'
//    1  1  byteOrder            'L' (LE); 'B' and 'I' name big-endian writers
//    2  1  logPrefixMask        low 8 bits of the prefix mask written with
//    3  1  _reserved            0
//    4  4  logLineLength        bytes of the whole record
//    8  8  nanosecondTimestamp  seconds x 10^9 + nanoseconds
//   16  8  threadId
//   24  4  lineNumber
//   28  4  importanceLevel      the statement's mask
//   32  4  argumentCount        value blocks that follow
//   36  4  offsetFileName       48
//   40  4  offsetFormatString   48 + the file name's bytes with its NUL
//   44  4  offsetFirstArg
// LogLineBinaryValueHeader:
//    0  4  argType              LogMessageRecord::LogArgumentType
//    4  4  argLength            the argument's argLen (0 for a null pointer)
//    8  4  offsetNextArg        value bytes plus padding after this header
//   12  1  headerLen            16
//   13  3  _reserved            0
// Value bytes: 4 for INT32, UINT32, FLOAT; 8 for INT64, UINT64, DOUBLE,
// POSIX_NANOSECONDS, FIXED_POINT (its precision is argLength's low byte);
// argLength bytes (at most 8) for CHAR and unknown types; TEXT and ROM_TEXT
// their argLength bytes and a NUL (nothing when 0); POINTER the argLength
// bytes it points to, or with argLength 0 the pointer itself (sizeof(void*)
// bytes, 8 with padding); BINARY, TEXT_FRAGMENT and the HEX_FRAGMENT types
// the argLength bytes they point to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct LogLineBinaryHeader {
  enum FormatVersion : unsigned char { LOG_LINE_BINARY_FORMAT_VER1 = 49 };
  enum ByteOrder : unsigned char {
    LOG_LINE_BINARY_FORMAT_LE = 76,
    LOG_LINE_BINARY_FORMAT_BE = 66,
    LOG_LINE_BINARY_FORMAT_BE_S360 = 73,
  };
  static constexpr uint32_t HEADER_LEN = 48;

  unsigned char formatVersion;
  unsigned char byteOrder;
  unsigned char logPrefixMask;
  unsigned char _reserved[1];
  uint32_t logLineLength;
  uint64_t nanosecondTimestamp;
  uint64_t threadId;
  uint32_t lineNumber;
  uint32_t importanceLevel;
  uint32_t argumentCount;
  uint32_t offsetFileName;
  uint32_t offsetFormatString;
  uint32_t offsetFirstArg;
};
static_assert(sizeof(LogLineBinaryHeader) == 48);
static_assert(offsetof(LogLineBinaryHeader, logLineLength) == 4);
static_assert(offsetof(LogLineBinaryHeader, nanosecondTimestamp) == 8);
static_assert(offsetof(LogLineBinaryHeader, threadId) == 16);
static_assert(offsetof(LogLineBinaryHeader, lineNumber) == 24);
static_assert(offsetof(LogLineBinaryHeader, importanceLevel) == 28);
static_assert(offsetof(LogLineBinaryHeader, argumentCount) == 32);
static_assert(offsetof(LogLineBinaryHeader, offsetFileName) == 36);
static_assert(offsetof(LogLineBinaryHeader, offsetFormatString) == 40);
static_assert(offsetof(LogLineBinaryHeader, offsetFirstArg) == 44);

struct LogLineBinaryValueHeader {
  static constexpr uint32_t HEADER_LEN = 16;

  uint32_t argType;
  uint32_t argLength;
  uint32_t offsetNextArg;
  unsigned char headerLen;
  unsigned char _reserved[3];
};
static_assert(sizeof(LogLineBinaryValueHeader) == 16);
static_assert(offsetof(LogLineBinaryValueHeader, argLength) == 4);
static_assert(offsetof(LogLineBinaryValueHeader, offsetNextArg) == 8);
static_assert(offsetof(LogLineBinaryValueHeader, headerLen) == 12);

// Value blocks and the pieces before them start at multiples of this.
constexpr uint32_t LOG_BINARY_ALIGNMENT = 8;
// Largest value of a CHAR or unknown-type argument.
constexpr uint32_t LOG_BINARY_MAX_INLINE_VALUE = 8;

// Reads a stream of binary records (as a log file holds them) and renders
// each as the text line the text renderer would have made for the statement
// (the format line's conversions applied to the stored values, the prefix
// fields selected by the stored prefix mask), or with RAW as its fields one
// per line. A record without a format line is shown as its values separated
// by spaces. Not thread-safe; allocates (a reading tool, not a hot path).
class LogBinaryReader {
 public:
  enum Mode { TEXT, RAW };
  // Records are at most this long (a manager's largest block).
  static constexpr uint32_t MAX_RECORD_LEN = 65728;

  explicit LogBinaryReader(Mode mode);
  ~LogBinaryReader();
  LogBinaryReader(const LogBinaryReader&) = delete;
  LogBinaryReader& operator=(const LogBinaryReader&) = delete;

  // Appends bytes and renders every record they complete onto out. False at
  // the first damaged record: the records before it are rendered, the rest
  // of the input is ignored and errorText() names the byte offset.
  bool feed(const unsigned char* data, size_t len, std::string& out);
  // End of input: false when an incomplete record is pending (truncated).
  bool finish();
  // The one-line reason of the failure ("" while none).
  const char* errorText() const { return error; }
  // Bytes of complete records read so far.
  uint64_t offset() const { return consumed; }
  uint64_t recordCount() const { return records; }

 private:
  // Checks the record at the start of pending; its length, 0 when more bytes
  // are needed, -1 when damaged (error set).
  int64_t checkRecord(const unsigned char* p, size_t avail);
  void renderText(const unsigned char* p, std::string& out);
  void renderRaw(const unsigned char* p, std::string& out);
  bool fail(const char* format, ...) __attribute__((format(printf, 2, 3)));

  Mode mode;
  std::vector<unsigned char> pending;
  uint64_t consumed = 0;
  uint64_t records = 0;
  bool failed = false;
  char error[160] = "";
  struct Renderer;
  Renderer* renderer;
};
