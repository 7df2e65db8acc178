// Splitting one CSV line in place. This runs once per content row, so it never
// allocates and touches each byte as few times as it can: a 256-entry class
// table (built from the separator and quote lists) finds the next byte that
// matters; a run of ordinary bytes is not written at all while no byte of the
// field was dropped yet, and is moved with one memmove after a quote was
// dropped. Inside quotes the closing quote is found with memchr. The NUL
// written at line[length] is the sentinel that stops every table scan, so the
// scans need no bounds test.
#include <cstring>

#include "utils/base/compiler_hints.hpp"
#include "utils/io/read_file.hpp"

namespace {

// Bits of CSV_File::charClass_. A byte with none of them is ordinary.
// CLASS_STOP is set for byte 0 only: it halts the scan at the terminator and
// at NUL bytes inside the line, which are then looked at one by one.
constexpr unsigned char CLASS_SEPARATOR = 1;
constexpr unsigned char CLASS_QUOTE = 2;
constexpr unsigned char CLASS_STOP = 4;

// First byte at or after p whose class is not 0. Terminates at the NUL that
// parseIntoFields writes after the line.
ZUR_ALWAYS_INLINE unsigned char* skipOrdinary(unsigned char* p, const unsigned char* classes) {
  for (;;) {
    if (classes[p[0]]) return p;
    if (classes[p[1]]) return p + 1;
    if (classes[p[2]]) return p + 2;
    if (classes[p[3]]) return p + 3;
    p += 4;
  }
}

}  // namespace

void CSV_File::buildCharClasses() {
  std::memset(charClass_, 0, sizeof charClass_);
  const unsigned sepLen = separatorListLen < 8 ? separatorListLen : 8u;
  const unsigned quoteLen = quoteListLen < 8 ? quoteListLen : 8u;
  for (unsigned i = 0; i < sepLen; ++i) charClass_[separatorCharList[i]] |= CLASS_SEPARATOR;
  for (unsigned i = 0; i < quoteLen; ++i) charClass_[quoteCharList[i]] |= CLASS_QUOTE;
  charClass_[0] |= CLASS_STOP;
  std::memcpy(classSeparators_, separatorCharList, sizeof classSeparators_);
  std::memcpy(classQuotes_, quoteCharList, sizeof classQuotes_);
  classSeparatorLen_ = separatorListLen;
  classQuoteLen_ = quoteListLen;
}

int CSV_File::parseIntoFields(int maxFields, char** fieldList, unsigned char* line, size_t length) {
  if (length == 0) return 0;
  // The lists are public; a caller that edits them gets a fresh table.
  if (ZUR_UNLIKELY(classSeparatorLen_ != separatorListLen || classQuoteLen_ != quoteListLen ||
                   std::memcmp(classSeparators_, separatorCharList, 8) != 0 ||
                   std::memcmp(classQuotes_, quoteCharList, 8) != 0)) {
    buildCharClasses();
  }
  const unsigned char* const classes = charClass_;
  unsigned char* const end = line + length;
  *end = '\0';
  if (maxFields > 0) fieldList[0] = reinterpret_cast<char*>(line);

  unsigned char* rd = line;  // next input byte
  unsigned char* wr = line;  // next output byte; wr <= rd always
  int separators = 0;
  for (;;) {
    // Outside quotes: take the run of ordinary bytes.
    if (wr == rd) {
      rd = skipOrdinary(rd, classes);
      wr = rd;
    } else {
      unsigned char* const runEnd = skipOrdinary(rd, classes);
      const size_t run = static_cast<size_t>(runEnd - rd);
      std::memmove(wr, rd, run);
      wr += run;
      rd = runEnd;
    }
    if (rd == end) break;

    const unsigned char c = *rd;
    const unsigned char cls = classes[c];
    if (cls & CLASS_QUOTE) {
      // Quoted section: bytes up to the matching quote are kept, separators
      // included. Backslash + quote keeps the quote; the bytes before the quote
      // were written, so the backslash sits at wr - 1. (When the quote
      // character is the backslash itself, memchr finds the first one, so that
      // case never counts as escaped.)
      const unsigned char quote = c;
      ++rd;
      for (;;) {
        unsigned char* const hit =
            static_cast<unsigned char*>(std::memchr(rd, quote, static_cast<size_t>(end - rd)));
        unsigned char* const runEnd = hit != nullptr ? hit : end;
        const bool escaped = hit != nullptr && hit > rd && hit[-1] == '\\';
        const size_t run = static_cast<size_t>(runEnd - rd);
        std::memmove(wr, rd, run);
        wr += run;
        if (hit == nullptr) {  // left open: runs to the end of the line
          rd = end;
          break;
        }
        rd = hit + 1;
        if (escaped) {
          wr[-1] = quote;
          continue;
        }
        *wr = '\0';
        break;
      }
      continue;
    }
    if (cls & CLASS_SEPARATOR) {
      *wr = '\0';
      ++separators;
      ++rd;
      wr = rd;
      if (separators < maxFields) fieldList[separators] = reinterpret_cast<char*>(wr);
      continue;
    }
    // A NUL byte that is neither separator nor quote is field content.
    *wr++ = c;
    ++rd;
  }
  *wr = '\0';
  return separators + 1;
}
