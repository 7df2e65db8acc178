// Whole-line splitting and classing for the common CSV line that holds no
// quote character and no NUL: every separator ends a field and no byte is
// dropped, so the fields are the runs between separators and can be found,
// measured and classed from bit masks without touching the line byte by byte.
//
// The line is taken 64 bytes at a time. For each block one bit mask per byte
// class is built (16-byte compares where SSE2 is available, a byte loop
// elsewhere). Whether a field holds a byte of some class X is then one add per
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

#include "utils/base/compiler_hints.hpp"

#if defined(ZUR_USE_SSE2)
#include <emmintrin.h>
#endif
#if defined(ZUR_USE_AVX2)
#include <immintrin.h>
// 32-byte compares, compiled for AVX2 alone and chosen at run time.
#define PLAIN_LINE_AVX2 1
#endif

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

// Separator and stop masks only, for splitting.
ZUR_ALWAYS_INLINE void splitMasks(const unsigned char* p, unsigned char separator,
                                  unsigned char quote, uint64_t* separators, uint64_t* stops) {
#if defined(ZUR_USE_SSE2)
  const __m128i sep = _mm_set1_epi8(static_cast<char>(separator));
  const __m128i quo = _mm_set1_epi8(static_cast<char>(quote));
  const __m128i zero = _mm_setzero_si128();
  uint64_t s = 0;
  uint64_t t = 0;
  for (unsigned q = 0; q < 4; ++q) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * q));
    const auto sm = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, sep)));
    const auto tm = static_cast<uint32_t>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(x, quo), _mm_cmpeq_epi8(x, zero))));
    s |= static_cast<uint64_t>(sm) << (16 * q);
    t |= static_cast<uint64_t>(tm) << (16 * q);
  }
  *separators = s;
  *stops = t;
#else
  uint64_t s = 0;
  uint64_t t = 0;
  for (unsigned i = 0; i < BLOCK; ++i) {
    const unsigned char c = p[i];
    s |= static_cast<uint64_t>(c == separator) << i;
    t |= static_cast<uint64_t>(c == quote || c == 0) << i;
  }
  *separators = s;
  *stops = t;
#endif
}

ZUR_ALWAYS_INLINE void classMasks(const unsigned char* p, unsigned char separator,
                                  unsigned char quote, BlockMasks* m) {
#if defined(ZUR_USE_SSE2)
  const __m128i sep = _mm_set1_epi8(static_cast<char>(separator));
  const __m128i quo = _mm_set1_epi8(static_cast<char>(quote));
  const __m128i zero = _mm_setzero_si128();
  const __m128i char0 = _mm_set1_epi8('0');
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i lowerCase = _mm_set1_epi8(0x20);
  const __m128i charA = _mm_set1_epi8('a');
  const __m128i twentyFive = _mm_set1_epi8(25);
  const __m128i minus = _mm_set1_epi8('-');
  const __m128i plus = _mm_set1_epi8('+');
  const __m128i point = _mm_set1_epi8('.');
  uint64_t masks[7] = {};
  for (unsigned q = 0; q < 4; ++q) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * q));
    // Unsigned range tests: (c - low) <= span.
    const __m128i fromZero = _mm_sub_epi8(x, char0);
    const __m128i fromA = _mm_sub_epi8(_mm_or_si128(x, lowerCase), charA);
    const __m128i hits[7] = {
        _mm_cmpeq_epi8(x, sep),
        _mm_or_si128(_mm_cmpeq_epi8(x, quo), _mm_cmpeq_epi8(x, zero)),
        _mm_cmpeq_epi8(_mm_min_epu8(fromZero, nine), fromZero),
        _mm_cmpeq_epi8(_mm_min_epu8(fromA, twentyFive), fromA),
        _mm_cmpeq_epi8(x, minus),
        _mm_cmpeq_epi8(x, plus),
        _mm_cmpeq_epi8(x, point),
    };
    for (unsigned k = 0; k < 7; ++k) {
      masks[k] |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(hits[k])))
                  << (16 * q);
    }
  }
#else
  uint64_t masks[7] = {};
  for (unsigned i = 0; i < BLOCK; ++i) {
    const unsigned char c = p[i];
    const uint64_t bit = uint64_t{1} << i;
    if (c == separator) masks[0] |= bit;
    if (c == quote || c == 0) masks[1] |= bit;
    if (c >= '0' && c <= '9') masks[2] |= bit;
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) masks[3] |= bit;
    if (c == '-') masks[4] |= bit;
    if (c == '+') masks[5] |= bit;
    if (c == '.') masks[6] |= bit;
  }
#endif
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
#if defined(ZUR_USE_SSE2)
  const __m128i quo = _mm_set1_epi8(static_cast<char>(quote));
  const __m128i zero = _mm_setzero_si128();
  const __m128i backslash = _mm_set1_epi8('\\');
  uint64_t q = 0;
  uint64_t n = 0;
  uint64_t b = 0;
  for (unsigned k = 0; k < 4; ++k) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    const unsigned shift = 16 * k;
    q |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, quo))))
         << shift;
    n |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, zero))))
         << shift;
    b |= static_cast<uint64_t>(
             static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, backslash))))
         << shift;
  }
#else
  uint64_t q = 0;
  uint64_t n = 0;
  uint64_t b = 0;
  for (unsigned i = 0; i < BLOCK; ++i) {
    q |= static_cast<uint64_t>(p[i] == quote) << i;
    n |= static_cast<uint64_t>(p[i] == 0) << i;
    b |= static_cast<uint64_t>(p[i] == '\\') << i;
  }
#endif
  // A quote list without a quote (quote 0): NULs are not quotes.
  *quotes = quote != 0 ? q : 0;
  *nuls = n;
  *backslashes = b;
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

ZUR_ALWAYS_INLINE uint32_t bitCount(uint64_t x) {
#if defined(__GNUC__) || defined(__clang__)
  return static_cast<uint32_t>(__builtin_popcountll(x));
#else
  uint32_t n = 0;
  for (; x != 0; x &= x - 1u) ++n;
  return n;
#endif
}

// Bits from..to-1 (from <= to <= 64).
ZUR_ALWAYS_INLINE uint64_t bitRange(unsigned from, unsigned to) {
  const uint64_t below = to >= 64 ? ~uint64_t{0} : (uint64_t{1} << to) - 1u;
  const uint64_t under = from >= 64 ? ~uint64_t{0} : (uint64_t{1} << from) - 1u;
  return below & ~under;
}

// How block masks are built: PortableMasks everywhere (SSE2 or the byte
// loop); Avx2Masks on x86 processors that have AVX2 (avx2Available()), for
// callers compiled with the avx2 target (see the callers' *_avx2 wrappers).
struct PortableMasks {
  static ZUR_ALWAYS_INLINE void split(const unsigned char* p, unsigned char separator,
                                      unsigned char quote, uint64_t* separators, uint64_t* stops) {
    splitMasks(p, separator, quote, separators, stops);
  }
  static ZUR_ALWAYS_INLINE void classes(const unsigned char* p, unsigned char separator,
                                        unsigned char quote, BlockMasks* m) {
    classMasks(p, separator, quote, m);
  }
};

#if defined(PLAIN_LINE_AVX2)
struct Avx2Masks {
  __attribute__((target("avx2"))) static inline void split(const unsigned char* p,
                                                           unsigned char separator,
                                                           unsigned char quote,
                                                           uint64_t* separators, uint64_t* stops) {
    const __m256i sep = _mm256_set1_epi8(static_cast<char>(separator));
    const __m256i quo = _mm256_set1_epi8(static_cast<char>(quote));
    const __m256i zero = _mm256_setzero_si256();
    uint64_t s = 0;
    uint64_t t = 0;
    for (unsigned h = 0; h < 2; ++h) {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * h));
      const auto sm = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(x, sep)));
      const auto tm = static_cast<uint32_t>(_mm256_movemask_epi8(
          _mm256_or_si256(_mm256_cmpeq_epi8(x, quo), _mm256_cmpeq_epi8(x, zero))));
      s |= static_cast<uint64_t>(sm) << (32 * h);
      t |= static_cast<uint64_t>(tm) << (32 * h);
    }
    *separators = s;
    *stops = t;
  }

  __attribute__((target("avx2"))) static inline void classes(const unsigned char* p,
                                                             unsigned char separator,
                                                             unsigned char quote, BlockMasks* m) {
    const __m256i sep = _mm256_set1_epi8(static_cast<char>(separator));
    const __m256i quo = _mm256_set1_epi8(static_cast<char>(quote));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i char0 = _mm256_set1_epi8('0');
    const __m256i nine = _mm256_set1_epi8(9);
    const __m256i lowerCase = _mm256_set1_epi8(0x20);
    const __m256i charA = _mm256_set1_epi8('a');
    const __m256i twentyFive = _mm256_set1_epi8(25);
    const __m256i minus = _mm256_set1_epi8('-');
    const __m256i plus = _mm256_set1_epi8('+');
    const __m256i point = _mm256_set1_epi8('.');
    uint64_t masks[7] = {};
    for (unsigned h = 0; h < 2; ++h) {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * h));
      const __m256i fromZero = _mm256_sub_epi8(x, char0);
      const __m256i fromA = _mm256_sub_epi8(_mm256_or_si256(x, lowerCase), charA);
      const __m256i hits[7] = {
          _mm256_cmpeq_epi8(x, sep),
          _mm256_or_si256(_mm256_cmpeq_epi8(x, quo), _mm256_cmpeq_epi8(x, zero)),
          _mm256_cmpeq_epi8(_mm256_min_epu8(fromZero, nine), fromZero),
          _mm256_cmpeq_epi8(_mm256_min_epu8(fromA, twentyFive), fromA),
          _mm256_cmpeq_epi8(x, minus),
          _mm256_cmpeq_epi8(x, plus),
          _mm256_cmpeq_epi8(x, point),
      };
      for (unsigned k = 0; k < 7; ++k) {
        masks[k] |= static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(hits[k])))
                    << (32 * h);
      }
    }
    m->separator = masks[0];
    m->stop = masks[1];
    m->digit = masks[2];
    m->letter = masks[3];
    m->minus = masks[4];
    m->plus = masks[5];
    m->point = masks[6];
  }
};

// True when the processor has AVX2 (asked once).
inline bool avx2Available() {
  static const bool available = __builtin_cpu_supports("avx2") != 0;
  return available;
}
#else
inline bool avx2Available() { return false; }
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
// field.
template <typename Masks = PortableMasks, typename OnField>
ZUR_ALWAYS_INLINE int splitPlainLine(const unsigned char* line, std::size_t length,
                                     std::size_t readable, unsigned char separator,
                                     unsigned char quote, uint32_t maxFields, OnField&& onField) {
  if (length == 0) return 0;
  unsigned char tail[BLOCK];
  uint32_t field = 0;
  std::size_t fieldStart = 0;
  for (std::size_t offset = 0;; offset += BLOCK) {
    uint64_t valid;
    const unsigned char* block = blockAt(line, length, readable, offset, tail, &valid);
    uint64_t separators;
    uint64_t stops;
    Masks::split(block, separator, quote, &separators, &stops);
    if (ZUR_UNLIKELY((stops & valid) != 0)) return -1;
    separators &= valid;
    const bool last = length - offset < BLOCK;
    if (last) separators |= valid + 1u;  // the line end closes the last field
    for (; separators != 0; separators &= separators - 1u) {
      const std::size_t end = offset + ZUR_lowestSetBit(separators);
      if (field < maxFields) onField(field, fieldStart, end - fieldStart);
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
template <typename Masks = PortableMasks, typename OnField>
ZUR_ALWAYS_INLINE int classifyPlainLine(const unsigned char* line, std::size_t length,
                                        std::size_t readable, unsigned char separator,
                                        unsigned char quote, uint32_t maxFields,
                                        OnField&& onField) {
  if (length == 0) return 0;
  unsigned char tail[BLOCK];
  uint32_t field = 0;
  std::size_t fieldStart = 0;
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
    const unsigned char* block = blockAt(line, length, readable, offset, tail, &valid);
    BlockMasks m;
    Masks::classes(block, separator, quote, &m);
    const bool last = length - offset < BLOCK;
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
    if (last) separators |= valid + 1u;  // the line end closes the last field
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
