// The line under construction while a record is rendered: a list of I/O
// vector elements that point into the record's format line, into constant
// tables or into the manager's block, where every rendered piece is written
// at the offset it will have in the finished line.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "utils/logging/logging_api.hpp"

namespace log_render {

// 2 x LOG_MAX_ARGUMENT_TOTAL + 9 elements; one is added only while the count
// is at most ELEMENT_LIMIT.
constexpr uint32_t MAX_ELEMENT_TOTAL = 2 * LogMessageRecord::LOG_MAX_ARGUMENT_TOTAL + 9;
constexpr uint32_t ELEMENT_LIMIT = MAX_ELEMENT_TOTAL - 2;

// memmove for the short pieces of a line (separators, numbers, words of the
// format line) without a library call: every byte is loaded before any is
// stored, so overlapping pieces move correctly too.
inline void moveBytes(char* to, const char* from, size_t len) {
  if (len > 16) {
    std::memmove(to, from, len);
  } else if (len >= 8) {
    uint64_t head, tail;
    std::memcpy(&head, from, 8);
    std::memcpy(&tail, from + len - 8, 8);
    std::memcpy(to, &head, 8);
    std::memcpy(to + len - 8, &tail, 8);
  } else if (len >= 4) {
    uint32_t head, tail;
    std::memcpy(&head, from, 4);
    std::memcpy(&tail, from + len - 4, 4);
    std::memcpy(to, &head, 4);
    std::memcpy(to + len - 4, &tail, 4);
  } else if (len != 0) {
    const char first = from[0], middle = from[len / 2], last = from[len - 1];
    to[0] = first;
    to[len / 2] = middle;
    to[len - 1] = last;
  }
}

struct LineUnderConstruction {
  iovec* elements;
  uint32_t elementTotal;
  size_t totalRecordLen;  // also the block offset of the next rendered piece
  char* bfrBase;
  size_t blockLen;  // usable bytes: the block's length less the NUL's byte
  // Set for a line that ends up gathered in the block (writer thread,
  // memory): every element is copied to its offset as it is added, so the
  // line is whole in the block when the last one is in and no second pass
  // over the elements is needed.
  bool copyIn = false;

  size_t room() const { return blockLen - totalRecordLen; }
  // Adds an element for len bytes at data (the bytes stay where they are).
  bool addElement(const void* data, size_t len);
  // Copies a rendered piece to its offset in the block and adds it; a piece
  // longer than the room left is left out (false).
  bool placeRendered(const char* text, size_t len);
  // As placeRendered, for the text of uint_to_ascii / int_to_ascii, whose
  // digits end at a 4-byte boundary of the work buffer, stored in aligned
  // groups of four: it is read in those groups (and the leading bytes one by
  // one), so each read is answered by one earlier store, not by waiting for
  // several to reach the cache.
  bool placeNumber(const char* text, size_t len);
  // As placeRendered, but cuts the piece to the room left.
  void placeCut(const char* text, size_t len);
  // Adds an element for constant text, cut to the room left.
  void addConstant(const char* text, size_t len);
};

// Copies every element to its running offset in the block unless it already
// lies there, stopping before one that would pass blockLen, and
// NUL-terminates. Returns the gathered length.
size_t gather(const LineUnderConstruction& line);

// Writes the elements of a finished line straight to the manager's
// descriptor (fd 2 without a manager), counts them in its statistics and
// reports a short write once per manager; `who` names the caller in that
// report. Returns the bytes written.
size_t writeLineDirect(LogManager* mgr, LineUnderConstruction& line, const char* who);

// Elements of the calling thread (allocated on its first line, kept).
iovec* threadElements();

// Renders the value of one conversion at the line's current offset.
// `letter` is the conversion letter, `conversion`/`conversionLen` the text after '%' up
// to and including it (flags, width, precision, length letters), `plain`
// whether it had nothing but an optional 'l' before the letter.
void renderConversion(LineUnderConstruction& line, const LogMessageRecord& record,
                      const LogMessageRecord::ArgumentRecord& arg, const char* conversion, size_t conversionLen, char letter,
                      bool plain);

// Writes "YYYY/MM/DD", "HH:MM:SS.ffffff" (microseconds, truncated) or both
// (joined by a space) into out (at least 40 bytes) with the calling thread's
// prefix day cache; the text up to the fraction is kept per thread for the
// second last shown. Returns the length.
size_t formatPrefixTime(int64_t seconds, uint32_t nanoseconds, bool withDate, bool withTime, char* out);

}  // namespace log_render
