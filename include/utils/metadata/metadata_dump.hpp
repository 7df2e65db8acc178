// Text renderings of metadata reference files for people and scripts: the
// records as CSV (RFC 4180 quoting, field names as the heading) and the file
// header with its field descriptions as an aligned table. Output goes through
// one large buffer to a descriptor, written with as few write calls as the
// buffer size allows; nothing is allocated per record. Used by the
// narvelix-dump tool; callers own the reader and the descriptor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "utils/metadata/metadata_reader.hpp"

// Largest text one rendered value can take: a fixed-point value with the
// reader's largest precision (sign, 20 digits, point, 18 decimals) fits.
constexpr std::size_t METADATA_MAX_NUMBER_TEXT = 48;

// Writes value x 10^-precision with exactly precision decimal places at out
// and returns the end of the text: 1250/2 gives "12.50", -5/2 "-0.05", 7/0
// "7". out needs METADATA_MAX_NUMBER_TEXT bytes (a NUL may be written behind
// the text). precision must be at most MetaDataReader::MAX_FIXED_PRECISION.
char *formatFixedPointText(char *out, int64_t value, uint32_t precision);
// Decimal text of an integer at out (not terminated); returns the end.
char *formatUnsignedText(char *out, uint64_t value);
char *formatSignedText(char *out, int64_t value);
// Writes text as one CSV cell at out and returns the end. The cell is quoted
// when the text holds a comma, double quote, CR or LF; quotes inside are
// doubled. out needs room for 2 * length + 2 bytes.
char *formatCsvCell(char *out, const char *text, std::size_t length);

// Buffered output to a descriptor. Write errors are kept: after the first
// failure further output is dropped and failed() stays true.
class MetaDataTextWriter {
 public:
  static constexpr std::size_t BUFFER_BYTES = 1u << 20;

  explicit MetaDataTextWriter(int fd);
  ~MetaDataTextWriter();  // flushes
  MetaDataTextWriter(const MetaDataTextWriter &) = delete;
  MetaDataTextWriter &operator=(const MetaDataTextWriter &) = delete;

  // Room for at least bytes more bytes (at most BUFFER_BYTES); flushes when
  // needed. Returns the write position; advance it with commit().
  char *reserve(std::size_t bytes);
  void commit(char *end) { used_ = static_cast<std::size_t>(end - buffer_); }
  void append(const char *text, std::size_t length);
  void append(const char *text);
  // Writes out what is buffered. Returns false when a write failed (now or before).
  bool flush();
  bool failed() const { return failed_; }
  int savedErrno() const { return savedErrno_; }

 private:
  int fd_;
  char *buffer_;
  std::size_t used_ = 0;
  bool failed_ = false;
  int savedErrno_ = 0;
};

// Writes the reader's records from the first as CSV: a heading of the field
// names, then at most maxRows rows (all with UINT64_MAX). Integers in decimal,
// fixed-point values with their stored decimal places, text up to its first
// zero byte, absent fields as empty cells; lines end in LF. Returns 0, or -1
// with a one-line reason in errorText when a value cannot be rendered or the
// output fails.
int writeMetaDataCsv(MetaDataReader &reader, MetaDataTextWriter &out, uint64_t maxRows,
                     char *errorText, std::size_t errorSize);

// Writes the header, one table line per field description (index, name,
// group, type name, offset, length) and the record count. Returns 0, or -1
// when the output fails.
int writeMetaDataDescription(const MetaDataReader &reader, MetaDataTextWriter &out);
