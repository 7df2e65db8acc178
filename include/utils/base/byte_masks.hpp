// Bit masks of byte classes over a block of 16, 32 or 64 bytes: bit i of a
// mask is set when byte i of the block is in the class. One call builds
// several masks from one load of the block, so a caller that needs the
// separators, quotes and digits of a block reads it once.
//
// Classes (ByteTest): equal to any of up to four bytes (unused slots repeat
// a byte; the repeated compares fold away where the bytes are constants), an unsigned range
// [low, low + span], or an ASCII letter of either case. The same interface has
// several implementations, equal in results:
//   Portable  word-at-a-time integer arithmetic (4 or 8 bytes per operation),
//             on every processor;
//   Sse2      16-byte compares (ZUR_USE_SSE2);
//   Avx2      32-byte compares (ZUR_USE_AVX2), compiled for AVX2 alone: call
//             it only from code compiled with target("avx2") and only when
//             avx2Available();
//   Neon      16-byte compares where the ARM build enables NEON.
// Native is the best implementation every processor of the build has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "utils/base/compiler_hints.hpp"

#if defined(ZUR_USE_SSE2)
#include <emmintrin.h>
#endif
#if defined(ZUR_USE_AVX2)
#include <immintrin.h>
#endif
#if defined(__ARM_NEON) && !defined(UTILS_PORTABLE_ONLY)
#include <arm_neon.h>
#define ZUR_USE_NEON 1
#endif

namespace byte_masks {

struct ByteTest {
  enum Kind : uint8_t { ANY_OF, RANGE, LETTER };
  Kind kind;
  unsigned char b[4];  // ANY_OF: the bytes; RANGE: low, span
};

// Equal to c, or to one of c and d.
constexpr ByteTest equal(unsigned char c) { return {ByteTest::ANY_OF, {c, c, c, c}}; }
constexpr ByteTest either(unsigned char c, unsigned char d) {
  return {ByteTest::ANY_OF, {c, d, c, c}};
}
// Equal to one of the first count (1..4) bytes of list.
constexpr ByteTest anyOf(const unsigned char* list, unsigned count) {
  return {ByteTest::ANY_OF,
          {list[0], list[count > 1 ? 1 : 0], list[count > 2 ? 2 : 0], list[count > 3 ? 3 : 0]}};
}
// low..high, both included (low <= high).
constexpr ByteTest range(unsigned char low, unsigned char high) {
  return {ByteTest::RANGE, {low, static_cast<unsigned char>(high - low), 0, 0}};
}
constexpr ByteTest letter() { return {ByteTest::LETTER, {0, 0, 0, 0}}; }

// Word-at-a-time tests in ordinary integer registers: each test leaves the
// verdict for byte i in the top bit of byte i of the word (the other bits
// are cleared), exact for all 256 byte values; no add carries from one byte
// into the next. The word is 64 bits where pointers are (x86-64, AArch64) and
// 32 bits elsewhere, so that 32-bit ARM does one-register adds and a single
// 32-bit multiply per gather. Costs per word and test: an equality 5
// operations, a range 7, the gather of the top bits 3.
struct Portable {
  using Word = std::conditional_t<(sizeof(void*) >= 8), uint64_t, uint32_t>;
  static constexpr unsigned WORD_BYTES = sizeof(Word);
  static constexpr Word ONES = ~Word{0} / 0xFFu;  // 0x01 in every byte
  static constexpr Word HIGH = ONES * 0x80u;
  static constexpr Word LOW7 = ONES * 0x7Fu;

  // Byte i of the block in byte i of the word, counted from the low end.
  static ZUR_ALWAYS_INLINE Word load(const unsigned char* p) {
    Word w;
    std::memcpy(&w, p, sizeof w);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    if constexpr (sizeof w == 8) {
      w = __builtin_bswap64(w);
    } else {
      w = __builtin_bswap32(w);
    }
#endif
    return w;
  }

  // Top bit of each byte set when the byte is not zero: the low seven bits
  // plus 0x7F reach the top bit unless they are all zero (at most 0xFE, so
  // no carry out of the byte), and the top bit itself is or-ed in.
  static ZUR_ALWAYS_INLINE Word nonZero(Word v) { return ((v & LOW7) + LOW7) | v; }

  // Top bit set where byte >= k. low7 is x & LOW7. The low seven bits plus
  // 0x80 - (k & 0x7F) (1..128, sum at most 0xFF) reach the top bit exactly
  // when they are at least k's; the byte's own top bit decides the rest.
  static ZUR_ALWAYS_INLINE Word atLeast(Word x, Word low7, unsigned k) {
    const Word lowAtLeast = low7 + ONES * (0x80u - (k & 0x7Fu));
    return (k & 0x80u) != 0 ? x & lowAtLeast : x | lowAtLeast;
  }
  // Top bit set where byte <= m: the low seven bits plus 0x7F - (m & 0x7F)
  // stay below the top bit exactly when they are at most m's.
  static ZUR_ALWAYS_INLINE Word atMost(Word x, Word low7, unsigned m) {
    const Word lowAbove = low7 + ONES * (0x7Fu - (m & 0x7Fu));
    return (m & 0x80u) != 0 ? ~(x & lowAbove) : ~(x | lowAbove);
  }

  // Bytes in [low, low + span], wrapping past 0xFF as the unsigned byte
  // subtraction of the vector forms does.
  static ZUR_ALWAYS_INLINE Word inRange(Word x, unsigned low, unsigned span) {
    const Word low7 = x & LOW7;
    const unsigned high = low + span;
    if (high <= 0xFFu) return atLeast(x, low7, low) & atMost(x, low7, high) & HIGH;
    return (atLeast(x, low7, low) | atMost(x, low7, high - 0x100u)) & HIGH;
  }

  static ZUR_ALWAYS_INLINE Word hits(Word x, const ByteTest& t) {
    switch (t.kind) {
      case ByteTest::ANY_OF: {
        Word none = nonZero(x ^ (ONES * t.b[0]));
        for (unsigned j = 1; j < 4; ++j) {
          if (t.b[j] != t.b[0]) none &= nonZero(x ^ (ONES * t.b[j]));
        }
        return ~none & HIGH;
      }
      case ByteTest::RANGE:
        return inRange(x, t.b[0], t.b[1]);
      default:
        return inRange(x | (ONES * 0x20u), 'a', 'z' - 'a');
    }
  }

  // Bit i of the result is the top bit of byte i of h (h has no other bits).
  // Shifted down, the top bits sit at bits 8i; the multiplier has one bit at
  // 56 - 7i for each i (32-bit: 21 - 7i), which moves bit 8i to 56 + i (21 +
  // i). Every product lands on its own bit, so no carries disturb the result.
  static ZUR_ALWAYS_INLINE uint32_t gather(Word h) {
    if constexpr (sizeof(Word) == 8) {
      return static_cast<uint32_t>(((h >> 7) * 0x0102040810204080ull) >> 56);
    } else {
      return static_cast<uint32_t>((((h >> 7) * 0x00204081u) >> 21) & 0xFu);
    }
  }

  template <std::size_t BYTES, std::size_t N>
  static ZUR_ALWAYS_INLINE void build(const unsigned char* p, const ByteTest (&tests)[N],
                                      uint64_t (&masks)[N]) {
    static_assert(BYTES == 16 || BYTES == 32 || BYTES == 64);
    // Unrolled whole, so that each test's kind and constant bytes fold into
    // its instructions (a loop would switch on the kind for every word).
#pragma GCC unroll 16
    for (std::size_t k = 0; k < N; ++k) {
      uint64_t mask = 0;
#pragma GCC unroll 16
      for (unsigned w = 0; w < BYTES / WORD_BYTES; ++w) {
        const Word x = load(p + WORD_BYTES * w);
        mask |= static_cast<uint64_t>(gather(hits(x, tests[k]))) << (WORD_BYTES * w);
      }
      masks[k] = mask;
    }
  }
};

#if defined(ZUR_USE_SSE2)
struct Sse2 {
  static ZUR_ALWAYS_INLINE __m128i hits(__m128i x, const ByteTest& t) {
    switch (t.kind) {
      case ByteTest::ANY_OF: {
        __m128i h = _mm_cmpeq_epi8(x, _mm_set1_epi8(static_cast<char>(t.b[0])));
        for (unsigned j = 1; j < 4; ++j) {
          h = _mm_or_si128(h, _mm_cmpeq_epi8(x, _mm_set1_epi8(static_cast<char>(t.b[j]))));
        }
        return h;
      }
      case ByteTest::RANGE: {  // unsigned (c - low) <= span
        const __m128i from = _mm_sub_epi8(x, _mm_set1_epi8(static_cast<char>(t.b[0])));
        return _mm_cmpeq_epi8(_mm_min_epu8(from, _mm_set1_epi8(static_cast<char>(t.b[1]))), from);
      }
      default: {
        const __m128i from = _mm_sub_epi8(_mm_or_si128(x, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
        return _mm_cmpeq_epi8(_mm_min_epu8(from, _mm_set1_epi8(25)), from);
      }
    }
  }

  template <std::size_t BYTES, std::size_t N>
  static ZUR_ALWAYS_INLINE void build(const unsigned char* p, const ByteTest (&tests)[N],
                                      uint64_t (&masks)[N]) {
    static_assert(BYTES == 16 || BYTES == 32 || BYTES == 64);
    for (std::size_t k = 0; k < N; ++k) masks[k] = 0;
    for (unsigned q = 0; q < BYTES / 16; ++q) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * q));
      for (std::size_t k = 0; k < N; ++k) {
        masks[k] |=
            static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(hits(x, tests[k]))))
            << (16 * q);
      }
    }
  }
};
#endif

#if defined(ZUR_USE_AVX2)
struct Avx2 {
  __attribute__((target("avx2"))) static inline __m256i hits(__m256i x, const ByteTest& t) {
    switch (t.kind) {
      case ByteTest::ANY_OF: {
        __m256i h = _mm256_cmpeq_epi8(x, _mm256_set1_epi8(static_cast<char>(t.b[0])));
        for (unsigned j = 1; j < 4; ++j) {
          h = _mm256_or_si256(h, _mm256_cmpeq_epi8(x, _mm256_set1_epi8(static_cast<char>(t.b[j]))));
        }
        return h;
      }
      case ByteTest::RANGE: {
        const __m256i from = _mm256_sub_epi8(x, _mm256_set1_epi8(static_cast<char>(t.b[0])));
        return _mm256_cmpeq_epi8(_mm256_min_epu8(from, _mm256_set1_epi8(static_cast<char>(t.b[1]))),
                                 from);
      }
      default: {
        const __m256i from =
            _mm256_sub_epi8(_mm256_or_si256(x, _mm256_set1_epi8(0x20)), _mm256_set1_epi8('a'));
        return _mm256_cmpeq_epi8(_mm256_min_epu8(from, _mm256_set1_epi8(25)), from);
      }
    }
  }

  template <std::size_t BYTES, std::size_t N>
  __attribute__((target("avx2"))) static inline void build(const unsigned char* p,
                                                           const ByteTest (&tests)[N],
                                                           uint64_t (&masks)[N]) {
    static_assert(BYTES == 32 || BYTES == 64);
    for (std::size_t k = 0; k < N; ++k) masks[k] = 0;
    for (unsigned h = 0; h < BYTES / 32; ++h) {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * h));
      for (std::size_t k = 0; k < N; ++k) {
        masks[k] |=
            static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(hits(x, tests[k]))))
            << (32 * h);
      }
    }
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

#if defined(ZUR_USE_NEON)
struct Neon {
  static ZUR_ALWAYS_INLINE uint8x16_t hits(uint8x16_t x, const ByteTest& t) {
    switch (t.kind) {
      case ByteTest::ANY_OF: {
        uint8x16_t h = vceqq_u8(x, vdupq_n_u8(t.b[0]));
        for (unsigned j = 1; j < 4; ++j) {
          h = vorrq_u8(h, vceqq_u8(x, vdupq_n_u8(t.b[j])));
        }
        return h;
      }
      case ByteTest::RANGE:
        return vcleq_u8(vsubq_u8(x, vdupq_n_u8(t.b[0])), vdupq_n_u8(t.b[1]));
      default:
        return vcleq_u8(vsubq_u8(vorrq_u8(x, vdupq_n_u8(0x20)), vdupq_n_u8('a')), vdupq_n_u8(25));
    }
  }

  // Bit i of the result is the top bit of byte i of h (all bits equal).
  static ZUR_ALWAYS_INLINE uint32_t moveMask(uint8x16_t h) {
    static const uint8_t weights[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t w = vandq_u8(h, vld1q_u8(weights));
    uint8x8_t s = vpadd_u8(vget_low_u8(w), vget_high_u8(w));
    s = vpadd_u8(s, s);
    s = vpadd_u8(s, s);
    return static_cast<uint32_t>(vget_lane_u8(s, 0)) |
           (static_cast<uint32_t>(vget_lane_u8(s, 1)) << 8);
  }

  template <std::size_t BYTES, std::size_t N>
  static ZUR_ALWAYS_INLINE void build(const unsigned char* p, const ByteTest (&tests)[N],
                                      uint64_t (&masks)[N]) {
    static_assert(BYTES == 16 || BYTES == 32 || BYTES == 64);
    for (std::size_t k = 0; k < N; ++k) masks[k] = 0;
    for (unsigned q = 0; q < BYTES / 16; ++q) {
      const uint8x16_t x = vld1q_u8(p + 16 * q);
      for (std::size_t k = 0; k < N; ++k) {
        masks[k] |= static_cast<uint64_t>(moveMask(hits(x, tests[k]))) << (16 * q);
      }
    }
  }
};
#endif

#if defined(ZUR_USE_SSE2)
using Native = Sse2;
#elif defined(ZUR_USE_NEON)
using Native = Neon;
#else
using Native = Portable;
#endif

// Whether Native compares 16 or more bytes at once (vector registers).
constexpr bool NATIVE_IS_VECTOR = !std::is_same_v<Native, Portable>;

}  // namespace byte_masks
