// Whole-line splitting and classing for the common CSV line that holds no
// quote character and no NUL: every separator ends a field and no byte is
// dropped, so the fields are the runs between separators and can be found,
// measured and classed from bit masks without touching the line byte by byte.
//
// The line is taken 64 bytes at a time. For each block one bit mask per byte
// class is built (byte_masks.hpp). Whether a field holds a byte of some class X is then one add per
// block: with F the mask of non-separator bytes, F + X carries from the first
// X of each field through the rest of it into the separator that ends it, so
// (F + X) & S marks exactly the fields that hold an X. The carry-in bits of
// that add mark the bytes after the first X of their field, which gives
// "holds a second X" the same way. Carries chain from block to block, so a
// field may span blocks.
//
// The splitter leaves lines with a quote or a NUL to the reader's general
// splitter; the classing pass also takes quoted runs (see classifyPlainLine).
// Both have the general splitter's results on the lines they take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "utils/base/byte_masks.hpp"
#include "utils/base/compiler_hints.hpp"

namespace plain_line {

constexpr unsigned BLOCK = 64;

// Bit i of each mask describes byte i of a 64-byte block.
struct BlockMasks {
  uint64_t separator;
  uint64_t stop;  // quote or NUL: the line is not plain
  uint64_t digit;
  uint64_t letter;
  uint64_t minus;
  uint64_t plus;
  uint64_t point;
};

// The class masks of the block that held the end of the last line classed,
// for the next line, which starts in that block: classed through a cache,
// each 64-byte block of a buffer is classed once however many lines it holds.
// Blocks are then counted in 64-byte steps from an origin (the buffer start)
// rather than from each line's start. The owner calls reset() whenever the
// buffer's bytes move or change (a refill); splitting a line in place may
// rewrite that line's bytes and the byte after it, never a later line's.
struct BlockCache {
  const unsigned char* block = nullptr;
  BlockMasks masks{};
  void reset() { block = nullptr; }
};

// Separator and stop masks only, for splitting.
template <typename Impl>
ZUR_ALWAYS_INLINE void splitMasks(const unsigned char* p, unsigned char separator,
                                  unsigned char quote, uint64_t* separators, uint64_t* stops) {
  const byte_masks::ByteTest tests[2] = {byte_masks::equal(separator),
                                         byte_masks::either(quote, 0)};
  uint64_t masks[2];
  Impl::template build<BLOCK>(p, tests, masks);
  *separators = masks[0];
  *stops = masks[1];
}

template <typename Impl>
ZUR_ALWAYS_INLINE void classMasks(const unsigned char* p, unsigned char separator,
                                  unsigned char quote, BlockMasks* m) {
  using namespace byte_masks;
  const ByteTest tests[7] = {equal(separator), either(quote, 0), range('0', '9'), letter(),
                             equal('-'),       equal('+'),       equal('.')};
  uint64_t masks[7];
  Impl::template build<BLOCK>(p, tests, masks);
  m->separator = masks[0];
  m->stop = masks[1];
  m->digit = masks[2];
  m->letter = masks[3];
  m->minus = masks[4];
  m->plus = masks[5];
  m->point = masks[6];
}

// Quote, NUL and backslash masks of a block, for the blocks whose stop mask
// is not empty.
ZUR_ALWAYS_INLINE void quoteMasks(const unsigned char* p, unsigned char quote, uint64_t* quotes,
                                  uint64_t* nuls, uint64_t* backslashes) {
  const byte_masks::ByteTest tests[3] = {byte_masks::equal(quote), byte_masks::equal(0),
                                         byte_masks::equal('\\')};
  uint64_t masks[3];
  byte_masks::Native::build<BLOCK>(p, tests, masks);
  // A quote list without a quote (quote 0): NULs are not quotes.
  *quotes = quote != 0 ? masks[0] : 0;
  *nuls = masks[1];
  *backslashes = masks[2];
}

// Bit i set when an odd number of bits 0..i of x are set.
ZUR_ALWAYS_INLINE uint64_t prefixParity(uint64_t x) {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

// The builtin where the processor counts bits in one instruction; elsewhere
// (32-bit ARM, x86 without POPCNT) the builtin is a library call, and the
// few operations below are cheaper.
ZUR_ALWAYS_INLINE uint32_t bitCount(uint64_t x) {
#if defined(__POPCNT__) || defined(__aarch64__)
  return static_cast<uint32_t>(__builtin_popcountll(x));
#else
  x -= (x >> 1) & 0x5555555555555555u;
  x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  return static_cast<uint32_t>((x * 0x0101010101010101u) >> 56);
#endif
}

// Bits from..to-1 (from <= to <= 64).
ZUR_ALWAYS_INLINE uint64_t bitRange(unsigned from, unsigned to) {
  const uint64_t below = to >= 64 ? ~uint64_t{0} : (uint64_t{1} << to) - 1u;
  const uint64_t under = from >= 64 ? ~uint64_t{0} : (uint64_t{1} << from) - 1u;
  return below & ~under;
}

// How block masks are built: PortableMasks builds them with the build's
// native implementation (vector compares or the byte loop); Avx2Masks on x86
// processors that have AVX2 (byte_masks::avx2Available()), for callers
// compiled with the avx2 target (see the callers' *_avx2 wrappers).
template <typename Impl>
struct MasksOf {
  static ZUR_ALWAYS_INLINE void split(const unsigned char* p, unsigned char separator,
                                      unsigned char quote, uint64_t* separators, uint64_t* stops) {
    splitMasks<Impl>(p, separator, quote, separators, stops);
  }
  static ZUR_ALWAYS_INLINE void classes(const unsigned char* p, unsigned char separator,
                                        unsigned char quote, BlockMasks* m) {
    classMasks<Impl>(p, separator, quote, m);
  }
};
using PortableMasks = MasksOf<byte_masks::Native>;
#if defined(ZUR_USE_AVX2)
using Avx2Masks = MasksOf<byte_masks::Avx2>;
#endif

// One add of a carry chain: fieldBytes + marks + *carry, returning the sum and
// leaving the carry out of bit 63 in *carry.
ZUR_ALWAYS_INLINE uint64_t chainAdd(uint64_t fieldBytes, uint64_t marks, uint64_t* carry) {
  const uint64_t sum = fieldBytes + marks;
  const uint64_t total = sum + *carry;
  *carry = static_cast<uint64_t>(sum < fieldBytes) | static_cast<uint64_t>(total < sum);
  return total;
}

// The 64 bytes at line + offset when line[0, readable) holds them, else a
// copy of the line's last bytes padded with zeros. *valid marks the bytes
// that belong to the line.
ZUR_ALWAYS_INLINE const unsigned char* blockAt(const unsigned char* line, std::size_t length,
                                               std::size_t readable, std::size_t offset,
                                               unsigned char (&tail)[BLOCK], uint64_t* valid) {
  const std::size_t left = length - offset;
  *valid = left >= BLOCK ? ~uint64_t{0} : (uint64_t{1} << left) - 1u;
  if (readable - offset >= BLOCK) return line + offset;
  std::memset(tail, 0, sizeof tail);
  std::memcpy(tail, line + offset, left);
  return tail;
}

// Calls onField(index, start, length) for each field of a plain line, in
// order, for the first maxFields fields. line[0, readable) may be read
// (readable >= length; bytes past the line are read but not used). Returns the
// number of fields in the line, or -1 when the line holds a quote or a NUL;
// onField may then have been called for the fields before the block that holds
// it, and the caller takes the general splitter instead. An empty line has no
// field. With a cache, blocks count from origin as in classifyPlainLine (only
// the separator and stop masks of the cached block are used).
template <typename Masks = PortableMasks, typename OnField>
ZUR_ALWAYS_INLINE int splitPlainLine(const unsigned char* line, std::size_t length,
                                     std::size_t readable, unsigned char separator,
                                     unsigned char quote, uint32_t maxFields, OnField&& onField,
                                     const unsigned char* origin = nullptr,
                                     BlockCache* cache = nullptr) {
  if (length == 0) return 0;
  // Byte positions count from base; the line holds [first, lineEnd).
  std::size_t first = 0;
  if (cache != nullptr) first = static_cast<std::size_t>(line - origin) % BLOCK;
  const unsigned char* const base = line - first;
  const std::size_t lineEnd = first + length;
  readable += first;
  unsigned char tail[BLOCK];
  uint32_t field = 0;
  std::size_t fieldStart = first;
  for (std::size_t offset = 0;; offset += BLOCK) {
    uint64_t valid;
    const unsigned char* block = blockAt(base, lineEnd, readable, offset, tail, &valid);
    if (offset == 0) valid &= ~bitRange(0, static_cast<unsigned>(first));
    const bool last = lineEnd - offset < BLOCK;
    uint64_t separators;
    uint64_t stops;
    if (cache != nullptr && block == cache->block) {
      separators = cache->masks.separator;
      stops = cache->masks.stop;
    } else {
      Masks::split(block, separator, quote, &separators, &stops);
      if (cache != nullptr && last && block != tail) {
        cache->block = block;
        cache->masks.separator = separators;
        cache->masks.stop = stops;
      }
    }
    if (ZUR_UNLIKELY((stops & valid) != 0)) return -1;
    separators &= valid;
    if (last) separators |= uint64_t{1} << (lineEnd - offset);  // the line end closes the last field
    for (; separators != 0; separators &= separators - 1u) {
      const std::size_t end = offset + ZUR_lowestSetBit(separators);
      if (field < maxFields) onField(field, fieldStart - first, end - fieldStart);
      ++field;
      fieldStart = end + 1;
    }
    if (last) break;
  }
  return static_cast<int>(field);
}

// Class bits of one field, as given to classifyPlainLine's callback.
enum FieldClass : uint32_t {
  HAS_DIGIT = 1,
  HAS_LETTER = 2,
  HAS_MINUS = 4,
  HAS_PLUS = 8,
  HAS_POINT = 16,
  // Any other byte, or a second sign ('-' or '+'), or a second '.'.
  HAS_OTHER = 32,
  CLASS_COMBINATIONS = 64,
};

// splitPlainLine that also classes the bytes of each field (line[0, readable)
// may be read), and also takes lines with quotes, as the general splitter
// reads them: a quote opens a quoted run anywhere in a field, separators in
// the run are field bytes, the quotes themselves are dropped, and a run left
// open goes to the end of the line. Calls onField(index, length, classes)
// with the FieldClass bits of the field's text. Returns -1 for a line with a
// NUL or with a backslash before a quote (an escaped quote), which the
// general splitter reads.
//
// With a cache, blocks are taken in 64-byte steps from origin (origin <=
// line; the bytes from origin to line may be read), the masks of the block
// the line starts in come from the cache when the last line ended there, and
// the block the line ends in is left in the cache.
template <typename Masks = PortableMasks, typename OnField>
ZUR_ALWAYS_INLINE int classifyPlainLine(const unsigned char* line, std::size_t length,
                                        std::size_t readable, unsigned char separator,
                                        unsigned char quote, uint32_t maxFields,
                                        OnField&& onField, const unsigned char* origin = nullptr,
                                        BlockCache* cache = nullptr) {
  if (length == 0) return 0;
  // Byte positions count from base; the line holds [first, lineEnd).
  std::size_t first = 0;
  if (cache != nullptr) first = static_cast<std::size_t>(line - origin) % BLOCK;
  const unsigned char* const base = line - first;
  const std::size_t lineEnd = first + length;
  readable += first;
  unsigned char tail[BLOCK];
  uint32_t field = 0;
  std::size_t fieldStart = first;
  // Carries of the chains, from one block into the next.
  uint64_t cDigit = 0, cLetter = 0, cMinus = 0, cPlus = 0, cPoint = 0, cOther = 0;
  uint64_t cSign = 0, cSecondSign = 0, cPoint2 = 0, cSecondPoint = 0;
  // Quote state: whether the line had a quote yet, whether the last block
  // ended inside a quoted run or on a backslash, and the quotes of the field
  // that is still open at the end of a block.
  bool quoted = false;
  uint64_t insideCarry = 0;
  uint64_t backslashCarry = 0;
  uint32_t openFieldQuotes = 0;
  for (std::size_t offset = 0;; offset += BLOCK) {
    uint64_t valid;
    const unsigned char* block = blockAt(base, lineEnd, readable, offset, tail, &valid);
    if (offset == 0) valid &= ~bitRange(0, static_cast<unsigned>(first));
    BlockMasks m;
    const bool last = lineEnd - offset < BLOCK;
    if (cache != nullptr && block == cache->block) {
      m = cache->masks;
    } else {
      Masks::classes(block, separator, quote, &m);
      if (cache != nullptr && last && block != tail) {
        cache->block = block;
        cache->masks = m;
      }
    }
    uint64_t separators = m.separator & valid;
    uint64_t quotes = 0;
    if (ZUR_UNLIKELY((m.stop & valid) != 0 || quoted)) {
      uint64_t nuls;
      uint64_t backslashes;
      quoteMasks(block, quote, &quotes, &nuls, &backslashes);
      quotes &= valid;
      backslashes &= valid;
      if ((nuls & valid) != 0 || (((backslashes << 1) | backslashCarry) & quotes) != 0) return -1;
      backslashCarry = backslashes >> 63;
      quoted = true;
      // Bytes inside quoted runs (the opening quote included): their
      // separators are field bytes.
      const uint64_t inside = prefixParity(quotes) ^ (0u - insideCarry);
      insideCarry = inside >> 63;
      separators &= ~inside;
    }
    if (last) separators |= uint64_t{1} << (lineEnd - offset);  // the line end closes the last field
    const uint64_t fieldBytes = ~separators;
    const uint64_t digits = m.digit & valid;
    const uint64_t letters = m.letter & valid;
    const uint64_t minus = m.minus & valid;
    const uint64_t plus = m.plus & valid;
    const uint64_t points = m.point & valid;
    const uint64_t other =
        valid & fieldBytes & ~(digits | letters | minus | plus | points | quotes);
    const uint64_t signs = minus | plus;
    // Bytes after the first sign (point) of their field: carry-in bits.
    const uint64_t signCarries = chainAdd(fieldBytes, signs, &cSign) ^ fieldBytes ^ signs;
    const uint64_t pointCarries = chainAdd(fieldBytes, points, &cPoint2) ^ fieldBytes ^ points;
    const uint64_t hasDigit = chainAdd(fieldBytes, digits, &cDigit) & separators;
    const uint64_t hasLetter = chainAdd(fieldBytes, letters, &cLetter) & separators;
    const uint64_t hasMinus = chainAdd(fieldBytes, minus, &cMinus) & separators;
    const uint64_t hasPlus = chainAdd(fieldBytes, plus, &cPlus) & separators;
    const uint64_t hasPoint = chainAdd(fieldBytes, points, &cPoint) & separators;
    const uint64_t hasOther = (chainAdd(fieldBytes, other, &cOther) |
                               chainAdd(fieldBytes, signs & signCarries, &cSecondSign) |
                               chainAdd(fieldBytes, points & pointCarries, &cSecondPoint)) &
                              separators;
    // The masks in pairs, the second shifted up by one, so that one shift
    // gives two class bits. Bits of two masks never meet: a field's bit is
    // at the separator that ends it, and the field that ends one byte after
    // a separator is empty and has no bits. (The bit above an empty field's
    // separator may show a class of the field before: empty fields are given
    // no classes.)
    const uint64_t digitLetter = hasDigit | (hasLetter << 1);
    const uint64_t minusPlus = hasMinus | (hasPlus << 1);
    const uint64_t pointOther = hasPoint | (hasOther << 1);
    unsigned fromBit = 0;  // first bit of the current field in this block
    for (; separators != 0; separators &= separators - 1u) {
      const unsigned bit = ZUR_lowestSetBit(separators);
      const std::size_t end = offset + bit;
      if (field < maxFields) {
        std::size_t width = end - fieldStart;
        if (quoted) {
          width -= openFieldQuotes + bitCount(quotes & bitRange(fromBit, bit));
          openFieldQuotes = 0;
        }
        auto classes = static_cast<uint32_t>(((digitLetter >> bit) & 3u) |
                                             (((minusPlus >> bit) & 3u) << 2) |
                                             (((pointOther >> bit) & 3u) << 4));
        if (end == fieldStart) classes = 0;
        if (ZUR_UNLIKELY(bit == BLOCK - 1)) {
          // The second mask of each pair lost its bit 63 in the shift.
          classes = static_cast<uint32_t>((hasDigit >> bit) | ((hasLetter >> bit) << 1) |
                                          ((hasMinus >> bit) << 2) | ((hasPlus >> bit) << 3) |
                                          ((hasPoint >> bit) << 4) | ((hasOther >> bit) << 5));
        }
        onField(field, width, classes);
      }
      ++field;
      fieldStart = end + 1;
      fromBit = bit + 1;
    }
    if (last) break;
    if (quoted) openFieldQuotes += bitCount(quotes & bitRange(fromBit, BLOCK));
  }
  return static_cast<int>(field);
}

}  // namespace plain_line
