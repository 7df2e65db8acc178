// Bit masks of byte classes over a block of 16, 32 or 64 bytes: bit i of a
// mask is set when byte i of the block is in the class. One call builds
// several masks from one load of the block, so a caller that needs the
// separators, quotes and digits of a block reads it once.
//
// Classes (ByteTest): equal to any of up to four bytes (unused slots repeat
// a byte; the repeated compares fold away where the bytes are constants), an unsigned range
// [low, low + span], or an ASCII letter of either case. The same interface has
// several implementations, equal in results:
//   Portable  a byte loop, on every processor;
//   Sse2      16-byte compares (ZUR_USE_SSE2);
//   Avx2      32-byte compares (ZUR_USE_AVX2), compiled for AVX2 alone: call
//             it only from code compiled with target("avx2") and only when
//             avx2Available();
//   Neon      16-byte compares where the ARM build enables NEON.
// Native is the best implementation every processor of the build has.
#pragma once

#include <cstddef>
#include <cstdint>
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

ZUR_ALWAYS_INLINE bool inClass(const ByteTest& t, unsigned char c) {
  switch (t.kind) {
    case ByteTest::ANY_OF:
      return c == t.b[0] || c == t.b[1] || c == t.b[2] || c == t.b[3];
    case ByteTest::RANGE:
      return static_cast<unsigned char>(c - t.b[0]) <= t.b[1];
    default:
      return static_cast<unsigned char>((c | 0x20u) - 'a') <= 25u;
  }
}

struct Portable {
  template <std::size_t BYTES, std::size_t N>
  static ZUR_ALWAYS_INLINE void build(const unsigned char* p, const ByteTest (&tests)[N],
                                      uint64_t (&masks)[N]) {
    static_assert(BYTES == 16 || BYTES == 32 || BYTES == 64);
    for (std::size_t k = 0; k < N; ++k) masks[k] = 0;
    for (unsigned i = 0; i < BYTES; ++i) {
      const unsigned char c = p[i];
      for (std::size_t k = 0; k < N; ++k)
        masks[k] |= static_cast<uint64_t>(inClass(tests[k], c)) << i;
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

// Whether Native compares many bytes at once (not the byte loop).
constexpr bool NATIVE_IS_VECTOR = !std::is_same_v<Native, Portable>;

}  // namespace byte_masks
