// Line delivery of the second read (see second_read.hpp). Lines end at LF; a
// CR before the LF is dropped by the reader and a second one by the
// converter's content hook, so both are dropped here too.
#include "utils/apps/narvelix/second_read.hpp"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "utils/apps/narvelix/narvelix.hpp"
#include "utils/io/plain_line.hpp"

namespace {

// One line for the whole-line splitter: its fields go to text/length.
struct PlainSplit {
  const unsigned char* line;
  std::size_t length;
  std::size_t readable;
  unsigned char separator;
  unsigned char quote;
  uint32_t maxFields;
  const char** text;
  uint32_t* fieldLengths;
  const unsigned char* blockOrigin;
  plain_line::BlockCache* blocks;
};

template <typename Masks>
ZUR_ALWAYS_INLINE int splitPlainLineWith(const PlainSplit& s) {
  const unsigned char* const line = s.line;
  const char** const text = s.text;
  uint32_t* const length = s.fieldLengths;
  return plain_line::splitPlainLine<Masks>(
      line, s.length, s.readable, s.separator, s.quote, s.maxFields,
      [line, text, length](uint32_t i, std::size_t start, std::size_t fieldLength) {
        // An empty field reads as "" (a zero length asks some parsers to
        // measure the text themselves).
        text[i] = fieldLength != 0 ? reinterpret_cast<const char*>(line + start) : "";
        length[i] = static_cast<uint32_t>(fieldLength);
      },
      s.blockOrigin, s.blocks);
}

int splitPlainLine(const PlainSplit& s) { return splitPlainLineWith<plain_line::PortableMasks>(s); }

#if defined(ZUR_USE_AVX2)
__attribute__((target("avx2"))) int splitPlainLineAvx2(const PlainSplit& s) {
  return splitPlainLineWith<plain_line::Avx2Masks>(s);
}
#else
int splitPlainLineAvx2(const PlainSplit& s) { return splitPlainLine(s); }
#endif

}  // namespace

LineRereader::LineRereader(CSV_File& splitter, int fd)
    : splitter_(splitter),
      fd_(fd),
      buffer_(static_cast<unsigned char*>(std::malloc(BUFFER_BYTES + SLACK_BYTES))),
      plainSplit_(Narvelix::plainSplitUsable(splitter)),
      fields_{} {
  if (buffer_ != nullptr) std::memset(buffer_ + BUFFER_BYTES, 0, SLACK_BYTES);
}

LineRereader::~LineRereader() { std::free(buffer_); }

bool LineRereader::refill() {
  const std::size_t kept = end_ - start_;
  if (kept == BUFFER_BYTES) return false;
  if (kept > 0 && start_ > 0) std::memmove(buffer_, buffer_ + start_, kept);
  start_ = 0;
  end_ = kept;
  lineFeeds_.reset(0);
  blocks_.reset();
  std::size_t want = BUFFER_BYTES - end_;
  if (rangeEnd_ - fileOffset_ < static_cast<int64_t>(want)) {
    want = static_cast<std::size_t>(rangeEnd_ - fileOffset_);
  }
  if (want == 0) return false;
  ssize_t got;
  do {
    got = ::pread(fd_, buffer_ + end_, want, static_cast<off_t>(fileOffset_));
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return false;
  fileOffset_ += got;
  end_ += static_cast<std::size_t>(got);
  return true;
}

ZUR_ALWAYS_INLINE bool LineRereader::nextLine(unsigned char** line, std::size_t* length) {
  for (;;) {
    if (ZUR_LIKELY(start_ < end_)) {
      const std::size_t lf = lineFeeds_.next(buffer_, start_, end_);
      if (ZUR_LIKELY(lf != end_)) {
        *line = buffer_ + start_;
        *length = lf - start_;
        start_ = lf + 1;
        return true;
      }
    }
    if (!refill()) return false;
  }
}

bool LineRereader::nextRawLine(unsigned char** line, std::size_t* length) {
  return buffer_ != nullptr && nextLine(line, length);
}

bool LineRereader::nextContentLine(unsigned char** line, std::size_t* length) {
  if (buffer_ == nullptr) return false;
  if (!headingSkipped_) {
    if (!nextLine(line, length)) return false;
    headingSkipped_ = true;
  }
  if (!nextLine(line, length)) return false;
  if (*length > 0 && (*line)[*length - 1] == '\r') --*length;
  if (*length > 0 && (*line)[*length - 1] == '\r') --*length;
  return true;
}

int LineRereader::next(const char** text, uint32_t* length, uint32_t maxFields) {
  unsigned char* line;
  std::size_t lineLength;
  if (!nextContentLine(&line, &lineLength)) return -1;
  return splitLine(line, lineLength, text, length, maxFields);
}

int LineRereader::splitLine(unsigned char* line, std::size_t lineLength, const char** text,
                            uint32_t* length, uint32_t maxFields, bool tryPlain) {
  if (plainSplit_ && tryPlain) {
    // Fields of a line without quotes are the runs between separators, in
    // place; a line with a quote or NUL takes the general splitter.
    const PlainSplit split = {line,
                              lineLength,
                              static_cast<std::size_t>(buffer_ + BUFFER_BYTES + SLACK_BYTES - line),
                              Narvelix::plainSeparator(splitter_),
                              Narvelix::plainQuote(splitter_),
                              maxFields,
                              text,
                              length,
                              buffer_,
                              &blocks_};
    const int total = byte_masks::avx2Available() ? splitPlainLineAvx2(split) : splitPlainLine(split);
    if (total >= 0) return static_cast<int>(std::min(static_cast<uint32_t>(total), maxFields));
  }
  const int total = splitter_.parseIntoFields(CSV_File::MAX_FIELDS, fields_, line, lineLength);
  uint32_t count = total > 0 ? static_cast<uint32_t>(total) : 0;
  if (count > maxFields) count = maxFields;
  if (count > CSV_File::MAX_FIELDS) count = CSV_File::MAX_FIELDS;
  for (uint32_t i = 0; i < count; ++i) {
    text[i] = fields_[i];
    length[i] = static_cast<uint32_t>(std::strlen(fields_[i]));
  }
  return static_cast<int>(count);
}
