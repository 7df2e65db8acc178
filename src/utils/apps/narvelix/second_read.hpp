// Second read of a CSV file for the converter's records: the content lines are
// read again from the start of the file with pread into a buffer of its own
// (the reader's descriptor position is not used) and split by the reader's
// own splitter, so each row comes out exactly as the first read saw it. The
// first line (the heading) is skipped. No allocation per row: one 1 MiB
// buffer for the whole read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "utils/apps/narvelix/narvelix.hpp"
#include "utils/io/line_feed_scanner.hpp"
#include "utils/io/plain_line.hpp"
#include "utils/io/read_file.hpp"

class LineRereader {
 public:
  // Larger than the reader's line buffer: every line the first read
  // delivered fits.
  static constexpr std::size_t BUFFER_BYTES = std::size_t{1} << 20;
  // Allocated behind the buffer, so that the encoder may read a few bytes
  // past the last text of a line at its end (8-byte loads of short numbers)
  // and the splitter whole 64-byte blocks.
  static constexpr std::size_t SLACK_BYTES = 64;

  LineRereader(CSV_File& splitter, int fd);
  ~LineRereader();
  LineRereader(const LineRereader&) = delete;
  LineRereader& operator=(const LineRereader&) = delete;

  // False when the buffer could not be allocated.
  bool ready() const { return buffer_ != nullptr; }

  // Reads only the bytes [begin, end) of the file, which start at a line's
  // start; no heading is skipped there.
  void setRange(int64_t begin, int64_t end) {
    fileOffset_ = begin;
    rangeEnd_ = end;
    headingSkipped_ = true;
  }

  // The next line as read (no LF; CRs kept), not split; lineSlack more bytes
  // behind it may be read. False at the end of the file or range, on a read
  // error or for a line that fills the whole buffer; unreadBytes() then
  // tells how many bytes after the last line feed were left.
  bool nextRawLine(unsigned char** line, std::size_t* length);
  std::size_t lineSlack(const unsigned char* line, std::size_t length) const {
    return static_cast<std::size_t>(buffer_ + BUFFER_BYTES + SLACK_BYTES - (line + length));
  }
  std::size_t unreadBytes() const { return end_ - start_; }
  // The buffer start and the block masks shared by its lines (emptied by
  // every refill), for plain_line::classifyPlainLine.
  const unsigned char* blockOrigin() const { return buffer_; }
  plain_line::BlockCache* blockCache() { return &blocks_; }

  // Splits the next content line: the text of its first maxFields fields (up
  // to the first NUL in each, as the first read measured them) into
  // text/length, and returns how many were set, or -1 at the end of the file,
  // on a read error or a line that does not fit the buffer.
  int next(const char** text, uint32_t* length, uint32_t maxFields);

  // The next content line (CRs before its end dropped) for a caller that
  // splits it itself, as next would with splitLine. False at the end of the
  // file or range, on a read error or a line that does not fit the buffer.
  bool nextContentLine(unsigned char** line, std::size_t* length);
  // Splits a line from nextContentLine as next does; with tryPlain false
  // (a line known to have a quote or NUL) straight by the general splitter.
  int splitLine(unsigned char* line, std::size_t lineLength, const char** text, uint32_t* length,
                uint32_t maxFields, bool tryPlain = true);
  // Whether lines without quotes may be split by plain_line::splitPlainLine
  // (with plainSeparator/plainQuote of the splitter).
  bool plainSplit() const { return plainSplit_; }
  // Bytes from line that may be read (its own and the slack behind it).
  std::size_t readable(const unsigned char* line) const {
    return static_cast<std::size_t>(buffer_ + BUFFER_BYTES + SLACK_BYTES - line);
  }

 private:
  bool nextLine(unsigned char** line, std::size_t* length);
  // Moves the partial line to the front and reads more; false at the end of
  // the file, on a read error or when a line fills the whole buffer.
  ZUR_NOINLINE bool refill();

  CSV_File& splitter_;
  int fd_;
  unsigned char* buffer_;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
  int64_t fileOffset_ = 0;
  int64_t rangeEnd_ = INT64_MAX;
  bool headingSkipped_ = false;
  bool plainSplit_;
  LineFeedScanner lineFeeds_;
  plain_line::BlockCache blocks_;
  char* fields_[CSV_File::MAX_FIELDS];
};

inline int Narvelix::ChunkRows::operator()(const char** text, uint32_t* length,
                                           uint32_t maxFields) const {
  return reader->next(text, length, maxFields);
}
