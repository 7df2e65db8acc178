// Splitting one CSV line in place. This runs once per content row, so it never
// allocates and touches each byte as few times as it can. Plain fields (no
// quote dropped yet in the field) are split 32 bytes at a time: a bit mask of
// the bytes that matter (separators, quotes, NUL) is built without branches,
// from vector compares (byte_masks.hpp) where at most 4 distinct bytes matter,
// else from a 256-entry class table; its set bits are walked with
// count-trailing-zeros, so a field end costs no mispredicted scan-loop exit.
// Only separators are handled inside that walk. Bytes after a dropped quote
// are moved with one memmove per run; inside quotes the closing quote is found
// by a short byte loop, then memchr. The NUL written at line[length] stops
// every class-table scan, so those need no bounds test; block reads never
// pass line[length].
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "utils/base/byte_masks.hpp"
#include "utils/base/compiler_hints.hpp"
#include "utils/io/read_file.hpp"

namespace {

// Bits of CSV_File::charClass_. A byte with none of them is ordinary; every
// other byte also has CLASS_SPECIAL, the bit the block masks are built from.
// CLASS_STOP is set for byte 0 only: it halts the scan at the terminator and
// at NUL bytes inside the line, which are then looked at one by one.
constexpr unsigned char CLASS_SPECIAL = 1;
constexpr unsigned char CLASS_SEPARATOR = 2;
constexpr unsigned char CLASS_QUOTE = 4;
constexpr unsigned char CLASS_STOP = 8;
// The class of a byte that is a separator and nothing else.
constexpr unsigned char PLAIN_SEPARATOR = CLASS_SPECIAL | CLASS_SEPARATOR;

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

constexpr size_t BLOCK_BYTES = 32;

// Builds, for 32 bytes at p, the mask with bit i set when p[i] has a class.
class BlockScanner {
 public:
  BlockScanner(const unsigned char* classes, const unsigned char* specials, unsigned specialCount)
      : classes_(classes),
        useVector_(byte_masks::NATIVE_IS_VECTOR && specialCount > 0),
        wanted_{byte_masks::anyOf(specials, specialCount > 0 ? specialCount : 1u)} {}

  ZUR_ALWAYS_INLINE uint32_t mask(const unsigned char* p) const {
    if (useVector_) {
      uint64_t bits[1];
      byte_masks::Native::build<BLOCK_BYTES>(p, wanted_, bits);
      return static_cast<uint32_t>(bits[0]);
    }
    uint32_t bits = 0;
    for (unsigned i = 0; i < BLOCK_BYTES; ++i) {
      bits |= static_cast<uint32_t>(classes_[p[i]] & CLASS_SPECIAL) << i;
    }
    return bits;
  }

 private:
  const unsigned char* classes_;
  bool useVector_;
  byte_masks::ByteTest wanted_[1];
};

// First `quote` in [p, end), or null. Quoted values are mostly short: the
// first bytes are looked at in place, and memchr (a call, but fast on long
// runs) takes over only past them.
ZUR_ALWAYS_INLINE unsigned char* findQuote(unsigned char* p, unsigned char* end, unsigned char quote) {
  constexpr std::ptrdiff_t INLINE_BYTES = 16;
  unsigned char* const inlineEnd = end - p > INLINE_BYTES ? p + INLINE_BYTES : end;
  for (; p != inlineEnd; ++p) {
    if (*p == quote) return p;
  }
  if (p == end) return nullptr;
  return static_cast<unsigned char*>(std::memchr(p, quote, static_cast<size_t>(end - p)));
}

}  // namespace

void CSV_File::buildCharClasses() {
  std::memset(charClass_, 0, sizeof charClass_);
  const unsigned sepLen = separatorListLen < 8 ? separatorListLen : 8u;
  const unsigned quoteLen = quoteListLen < 8 ? quoteListLen : 8u;
  for (unsigned i = 0; i < sepLen; ++i) charClass_[separatorCharList[i]] |= PLAIN_SEPARATOR;
  for (unsigned i = 0; i < quoteLen; ++i) charClass_[quoteCharList[i]] |= CLASS_SPECIAL | CLASS_QUOTE;
  charClass_[0] |= CLASS_SPECIAL | CLASS_STOP;
  std::memcpy(classSeparators_, separatorCharList, sizeof classSeparators_);
  std::memcpy(classQuotes_, quoteCharList, sizeof classQuotes_);
  classSeparatorLen_ = separatorListLen;
  classQuoteLen_ = quoteListLen;
  unsigned specials = 0;
  for (unsigned b = 0; b < 256; ++b) {
    if (charClass_[b] == 0) continue;
    if (specials == sizeof vectorSpecials_) {
      specials = 0;  // too many for the compare path
      break;
    }
    vectorSpecials_[specials++] = static_cast<unsigned char>(b);
  }
  vectorSpecialCount_ = static_cast<uint8_t>(specials);
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
  const BlockScanner scanner(classes, vectorSpecials_, vectorSpecialCount_);
  unsigned char* const end = line + length;
  *end = '\0';
  if (maxFields > 0) fieldList[0] = reinterpret_cast<char*>(line);

  unsigned char* rd = line;  // next input byte
  unsigned char* wr = line;  // next output byte; wr <= rd always
  int separators = 0;
  for (;;) {
    // Outside quotes: take the run of ordinary bytes.
    if (wr == rd) {
      // Nothing dropped in this field: the bytes stay where they are and only
      // the separators become NULs. Each round takes the mask of the next 32 bytes, or, near the end, of
      // the last bytes and the terminator, and walks its set bits: separators
      // are split right here, any other byte that matters (quote, NUL, the
      // terminator) ends the walk with rd on it. The terminator's bit is
      // always set in the last round, so the loop ends there at the latest.
      // A field that opens with a quote skips the mask altogether.
      const unsigned char first = classes[*rd];
      const bool opensWithQuoteOrNul = first != 0 && first != PLAIN_SEPARATOR;
      while (!opensWithQuoteOrNul) {
        uint32_t bits = 0;
        const bool fullBlock = end - rd >= static_cast<std::ptrdiff_t>(BLOCK_BYTES);
        if (fullBlock) {
          bits = scanner.mask(rd);
        } else if (end - line >= static_cast<std::ptrdiff_t>(BLOCK_BYTES) - 1) {
          // The block that ends at the terminator; bytes before rd, already
          // split, are shifted out.
          unsigned char* const blockStart = end - (BLOCK_BYTES - 1);
          bits = scanner.mask(blockStart) >> (rd - blockStart);
        } else {
          const size_t last = static_cast<size_t>(end - rd);
          for (size_t i = 0; i <= last; ++i) {
            bits |= static_cast<uint32_t>(classes[rd[i]] & CLASS_SPECIAL) << i;
          }
        }
        unsigned char* stop = nullptr;
        while (bits != 0) {
          unsigned char* const hit = rd + ZUR_lowestSetBit(bits);
          if (classes[*hit] != PLAIN_SEPARATOR) {
            stop = hit;
            break;
          }
          *hit = '\0';
          ++separators;
          if (separators < maxFields) fieldList[separators] = reinterpret_cast<char*>(hit + 1);
          bits &= bits - 1;
        }
        if (stop != nullptr) {
          rd = stop;
          break;
        }
        rd += BLOCK_BYTES;  // only a full block can end without a stop
      }
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
      // character is the backslash itself, the search finds the first one, so
      // that case never counts as escaped.)
      const unsigned char quote = c;
      ++rd;
      for (;;) {
        unsigned char* const hit = findQuote(rd, end, quote);
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
