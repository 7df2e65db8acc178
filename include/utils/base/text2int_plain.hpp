// Plain number texts ([-]digits[.digits]) to values, in front of the table
// parsers of text2int.hpp and without a branch per digit: the portable paths take 8 digits at a time in a 64-bit word; on x86 processors
// with AVX2 the *16 paths take up to 16 digits (and a decimal point) in one
// 16-byte vector. Each path gives the table parsers' value for the texts it
// accepts and refuses every other text (false), which the caller then hands
// to the next path, the table parsers last.
//
// Reads past the text: the word paths up to 7 bytes past a text shorter than
// 8, the vector paths the 16 bytes after an optional leading '-'; callers
// keep that many readable bytes behind their last text (the converter's row
// store and second-read buffer do). Of an empty text (which may be a one-byte
// "") at most the first byte is read.
#pragma once

#include <cstdint>
#include <cstring>

#include "utils/base/compiler_hints.hpp"
#include "utils/base/text2int.hpp"
#include "utils/base/text2int_tbl.hpp"

#if defined(ZUR_USE_AVX2)
#include <immintrin.h>
#endif

namespace text2int_plain {

ZUR_ALWAYS_INLINE uint64_t eightDigits(uint64_t chunk) {
  // chunk holds 8 digit values (0..9), the first digit in the low byte.
  chunk = (chunk * 10u + (chunk >> 8)) & UINT64_C(0x00FF00FF00FF00FF);
  chunk = (chunk * 100u + (chunk >> 16)) & UINT64_C(0x0000FFFF0000FFFF);
  return (chunk * 10000u + (chunk >> 32)) & UINT64_C(0xFFFFFFFF);
}

ZUR_ALWAYS_INLINE bool digitChunk(const char* p, uint32_t count, uint64_t* chunk) {
  // count digits (1..8) at p: their values moved to the top bytes, zeros
  // (leading zero digits) below them.
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  v -= UINT64_C(0x3030303030303030);
  v <<= 8u * (8u - count);
  *chunk = v;
  return (((v + UINT64_C(0x7676767676767676)) | v) & UINT64_C(0x8080808080808080)) == 0;
}

// Value of the len (1..19) ASCII digits at text; false when any of them is
// not a digit.
ZUR_ALWAYS_INLINE bool digitsValue(const char* text, uint32_t len, uint64_t* value) {
  static_assert(sizeof(uint64_t) == 8, "8-byte chunks");
  uint64_t a;
  if (len <= 8) {
    if (len == 0 || !digitChunk(text, len, &a)) return false;
    *value = eightDigits(a);
    return true;
  }
  uint64_t b;
  if (len <= 16) {
    if (!digitChunk(text, len - 8, &a) || !digitChunk(text + len - 8, 8, &b)) return false;
    *value = eightDigits(a) * UINT64_C(100000000) + eightDigits(b);
    return true;
  }
  uint64_t c;
  if (len > 19 || !digitChunk(text, len - 16, &a) || !digitChunk(text + len - 16, 8, &b) ||
      !digitChunk(text + len - 8, 8, &c)) {
    return false;
  }
  *value = (eightDigits(a) * UINT64_C(100000000) + eightDigits(b)) * UINT64_C(100000000) +
           eightDigits(c);
  return true;
}

// The table parsers with the 8-digit path first: a text of an optional '-'
// and 1..19 digits (1..9 for the 32-bit parsers, whose ten-digit results are
// their own) gives the same value; any other text goes to the table parser.
ZUR_ALWAYS_INLINE uint32_t unsigned32Value(const char* text, uint_fast8_t len) {
  uint64_t v;
  if (ZUR_LIKELY(len <= 9 && digitsValue(text, len, &v))) return static_cast<uint32_t>(v);
  return static_cast<uint32_t>(text2uint32(text, len));
}

ZUR_ALWAYS_INLINE uint64_t unsigned64Value(const char* text, uint_fast8_t len) {
  uint64_t v;
  if (ZUR_LIKELY(digitsValue(text, len, &v))) return v;
  return text2uint64(text, len);
}

ZUR_ALWAYS_INLINE bool signedDigits(const char* text, uint_fast8_t len, uint32_t maxDigits,
                                    uint64_t* value) {
  const bool negative = len > 1 && text[0] == '-';
  const uint32_t digits = negative ? len - 1u : len;
  uint64_t v;
  if (digits > maxDigits || !digitsValue(text + (negative ? 1 : 0), digits, &v)) return false;
  *value = negative ? 0u - v : v;
  return true;
}

ZUR_ALWAYS_INLINE uint32_t signed32Value(const char* text, uint_fast8_t len) {
  uint64_t v;
  if (ZUR_LIKELY(signedDigits(text, len, 9, &v))) return static_cast<uint32_t>(v);
  return static_cast<uint32_t>(text2int32(text, len));
}

ZUR_ALWAYS_INLINE uint64_t signed64Value(const char* text, uint_fast8_t len) {
  uint64_t v;
  if (ZUR_LIKELY(signedDigits(text, len, 19, &v))) return v;
  return static_cast<uint64_t>(text2int64(text, len));
}

// Index of the first byte of p[0, n) that is not a digit, or n; 8 bytes at a
// time (reads up to 7 bytes past the text, as digitsValue does). Borrows and
// carries only move towards later bytes, so the lowest flagged byte is exact.
ZUR_ALWAYS_INLINE uint32_t digitRun(const char* p, uint32_t n) {
  for (uint32_t i = 0; i < n; i += 8) {
    uint64_t v;
    std::memcpy(&v, p + i, sizeof v);
    v -= UINT64_C(0x3030303030303030);
    const uint64_t bad = ((v + UINT64_C(0x7676767676767676)) | v) & UINT64_C(0x8080808080808080);
    if (bad != 0) {
      const uint32_t at = i + ZUR_lowestSetBit(bad) / 8u;
      return at < n ? at : n;
    }
  }
  return n;
}

// fast_ascii_to_fixedpoint with the precision as written, for the texts
// [-]digits[.digits] of at most 19 digits: the same value and precision.
// False for any other text (the caller then takes the parser).
ZUR_ALWAYS_INLINE bool plainFixedValue(const char* text, uint32_t len, int64_t* value,
                                       uint32_t* precision) {
  const uint32_t sign = (len > 1 && text[0] == '-') ? 1u : 0u;
  const uint32_t integerDigits = digitRun(text + sign, len - sign);
  if (integerDigits == 0 || integerDigits > 19) return false;
  uint64_t integerPart;
  if (!digitsValue(text + sign, integerDigits, &integerPart)) return false;
  uint64_t v = integerPart;
  uint32_t places = 0;
  const uint32_t pointAt = sign + integerDigits;
  if (pointAt != len) {
    if (text[pointAt] != '.') return false;
    places = len - pointAt - 1u;
    uint64_t fraction;
    // digitsValue refuses a fraction that is not all digits.
    if (places == 0 || places > 15 || integerDigits + places > 19 ||
        !digitsValue(text + pointAt + 1, places, &fraction)) {
      return false;
    }
    v = integerPart * powersOf10_64bit[places] + fraction;
  }
  *value = static_cast<int64_t>(sign != 0 ? 0u - v : v);
  *precision = places;
  return true;
}

#if defined(ZUR_USE_AVX2)
// Shuffle masks that move the n (0..16) bytes at the start of a vector to its
// end, zeros before them.
struct RightAlignMasks {
  alignas(16) int8_t mask[17][16];
  constexpr RightAlignMasks() : mask{} {
    for (int n = 0; n <= 16; ++n) {
      for (int i = 0; i < 16; ++i) {
        const int from = i - (16 - n);
        mask[n][i] = static_cast<int8_t>(from >= 0 ? from : -128);
      }
    }
  }
};
inline constexpr RightAlignMasks RIGHT_ALIGN;

// Value of 16 digit values (0..9), the first in byte 0.
__attribute__((target("avx2"))) inline uint64_t sixteenDigits(__m128i digits) {
  const __m128i pairs = _mm_maddubs_epi16(
      digits, _mm_setr_epi8(10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1));
  const __m128i quads = _mm_madd_epi16(pairs, _mm_setr_epi16(100, 1, 100, 1, 100, 1, 100, 1));
  const __m128i packed = _mm_packus_epi32(quads, quads);
  const __m128i eights =
      _mm_madd_epi16(packed, _mm_setr_epi16(10000, 1, 10000, 1, 10000, 1, 10000, 1));
  const auto high = static_cast<uint32_t>(_mm_cvtsi128_si32(eights));
  const auto low = static_cast<uint32_t>(_mm_extract_epi32(eights, 1));
  return uint64_t{high} * UINT64_C(100000000) + low;
}

// Digit values of the n (1..16) bytes at p, right-aligned (zeros before),
// and the mask of those of the n bytes that are digits.
__attribute__((target("avx2"))) inline __m128i alignedDigits(const char* p, uint32_t n,
                                                             uint32_t* digitBits) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i values = _mm_sub_epi8(x, _mm_set1_epi8('0'));
  const __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(values, _mm_set1_epi8(9)), values);
  *digitBits = static_cast<uint32_t>(_mm_movemask_epi8(isDigit)) & ((1u << n) - 1u);
  return _mm_shuffle_epi8(values,
                          _mm_load_si128(reinterpret_cast<const __m128i*>(RIGHT_ALIGN.mask[n])));
}

// digitsValue for 1..16 digits (len 0 or above 16 is refused).
__attribute__((target("avx2"))) inline bool digitsValue16(const char* text, uint32_t len,
                                                          uint64_t* value) {
  if (len - 1u >= 16u) return false;
  uint32_t digitBits;
  const __m128i digits = alignedDigits(text, len, &digitBits);
  if (digitBits != (1u << len) - 1u) return false;
  *value = sixteenDigits(digits);
  return true;
}

// signedDigits for an optional '-' and 1..min(maxDigits, 16) digits.
__attribute__((target("avx2"))) inline bool signedDigits16(const char* text, uint32_t len,
                                                           uint32_t maxDigits, uint64_t* value) {
  const uint32_t negative = static_cast<uint32_t>(len > 1) & static_cast<uint32_t>(text[0] == '-');
  const uint32_t digits = len - negative;
  uint64_t v;
  if (digits > maxDigits || !digitsValue16(text + negative, digits, &v)) return false;
  *value = negative != 0 ? 0u - v : v;
  return true;
}

// plainFixedValue for texts of an optional '-' and at most 16 more bytes.
__attribute__((target("avx2"))) inline bool plainFixedValue16(const char* text, uint32_t len,
                                                              int64_t* value, uint32_t* precision) {
  const uint32_t sign = static_cast<uint32_t>(len > 1) & static_cast<uint32_t>(text[0] == '-');
  const uint32_t n = len - sign;
  if (n - 1u >= 16u) return false;
  uint32_t digitBits;
  __m128i digits = alignedDigits(text + sign, n, &digitBits);
  const uint32_t others = digitBits ^ ((1u << n) - 1u);
  uint32_t places = 0;
  if (others != 0) {
    // One '.' with a digit on each side.
    const uint32_t pointAt = ZUR_lowestSetBit(others);
    if ((others & (others - 1u)) != 0 || pointAt == 0 || pointAt + 1u >= n ||
        text[sign + pointAt] != '.') {
      return false;
    }
    places = n - 1u - pointAt;
    // The integer digits move up one byte over the point; the fraction's
    // bytes (the last `places`) stay.
    const __m128i fraction =
        _mm_cmpgt_epi8(_mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                       _mm_set1_epi8(static_cast<char>(15 - places)));
    digits = _mm_blendv_epi8(_mm_slli_si128(digits, 1), digits, fraction);
  }
  const uint64_t v = sixteenDigits(digits);
  *value = static_cast<int64_t>(sign != 0 ? 0u - v : v);
  *precision = places;
  return true;
}
#else
// No vector paths here: every text goes to the word paths.
inline bool digitsValue16(const char*, uint32_t, uint64_t*) { return false; }
inline bool signedDigits16(const char*, uint32_t, uint32_t, uint64_t*) { return false; }
inline bool plainFixedValue16(const char*, uint32_t, int64_t*, uint32_t*) { return false; }
#endif

}  // namespace text2int_plain
