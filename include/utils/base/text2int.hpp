// Decimal text to binary numbers and back, without the C library's
// string-to-number or formatted-output routines.
//
// Parsing: the texts come from CSV fields, command-line words and environment
// values; they are not NUL-terminated in general and carry an explicit length of
// at most 255 characters. The parsers never fail: malformed text yields a number
// by the rules stated with each function (a non-digit still takes a digit
// position; too long a text gives 0; sums wrap). Integers are converted by
// summing one table entry per character, unrolled by length (no loop over the
// digits, no multiplication, no digit test), so they are inline here.
//
// Formatting: the integer writers fill the caller's buffer from its end towards
// its start, four digits per table word, and return a pointer to the first
// character, so no reversal or copy is needed. No routine here allocates.
#pragma once

#include <cstdint>

#include "utils/base/compiler_hints.hpp"
#include "utils/base/text2int_tbl.hpp"

// A decimal number: value / 10^precision.
struct VariableFixedPointValue {
  int64_t value;           // the number scaled by 10^precision
  int_fast8_t precision;   // decimal places of value (0..15 from the parser)
};

// ---------------------------------------------------------------------------
// Parsing
// ---------------------------------------------------------------------------

// Unsigned value of exactly text_len characters: the sum over k of
// text2int_table[text[k]][text_len-1-k] in 32-bit unsigned arithmetic. Every
// character takes a position, so "123 " (length 4) gives 1230 and " 123" gives
// 123. text_len 0 or above 10 gives 0. Values above 2^32-1 wrap.
inline uint_fast32_t text2uint32(const char* textString, uint_fast8_t text_len);

// Signed value: leading characters that are not digits are skipped up to and
// including the first '-' (negative) or '+'; the rest (at most 10 characters, or
// the result is 0) is converted with text2uint32 and negated for '-' with
// two's complement wrap. "-" alone gives 0, "x5" gives 5.
inline int_fast32_t text2int32(const char* textString, uint_fast8_t text_len);

// As text2uint32 with 64-bit entries, lengths 1..20 (0 or above 20 gives 0).
inline uint64_t text2uint64(const char* textString, uint_fast8_t text_len);

// As text2int32 with text2uint64 for the digits (at most 20 after the sign).
inline int64_t text2int64(const char* textString, uint_fast8_t text_len);

// Fixed-point value of a decimal text, e.g. "12.50" -> {1250, 2}, "-3" -> {-3, 0}.
// desiredPrecision -2 keeps as many decimal places as the text has (at most 15);
// 0..15 gives exactly that many (extra digits dropped without rounding, missing
// ones filled with zeros). Values above 15 act as 15, other negative values as
// -2. len 0 means str is NUL-terminated (its strlen, reduced to 8 bits, is used).
// An integer or fraction part longer than 20 characters counts as 0.
VariableFixedPointValue fast_ascii_to_fixedpoint(const char* str, uint_fast8_t len,
                                                 int_fast8_t desiredPrecision);

// fast_ascii_to_fixedpoint returning the value and storing the precision
// through resultPrecision.
inline int64_t ascii_to_fixedpoint(const char* str, uint_fast8_t len,
                                   int_fast8_t desiredPrecision,
                                   uint_fast8_t* resultPrecision) {
  const VariableFixedPointValue v = fast_ascii_to_fixedpoint(str, len, desiredPrecision);
  *resultPrecision = static_cast<uint_fast8_t>(v.precision);
  return v.value;
}

// Floating-point value of a decimal text with an optional exponent ("2.5e3",
// "4E-2"). The mantissa is read with fast_ascii_to_fixedpoint; an exponent that
// scales by less than 10^-9 gives 0.0 ("3e-10" reads as 0.0), while a text
// without exponent is scaled by up to 10^-15. len 0 means NUL-terminated.
double text2double(const char* str, uint_fast8_t len);

// ---------------------------------------------------------------------------
// Formatting
// ---------------------------------------------------------------------------

// Writes value in decimal so that the text ends at byte bfrLen-4 of resultBfr,
// where a NUL is stored, and returns its first character. bfrLen is in bytes, a
// multiple of 4; 24 bytes hold every 64-bit value with a sign. The number of
// characters is stored through retStrLen when it is not null. 0 is "0". If the
// buffer cannot hold the digits, the text is empty (length 0) and a line is
// written to standard error.
char* uint_to_ascii(uint32_t* resultBfr, uint_fast8_t bfrLen, uint64_t value,
                    uint_fast8_t* retStrLen);

// As uint_to_ascii, with a leading '-' for negative values (counted in the
// length). INT64_MIN is written correctly.
char* int_to_ascii(uint32_t* resultBfr, uint_fast8_t bfrLen, int64_t value,
                   uint_fast8_t* retStrLen);

// As uint_to_ascii, with fillChar in front of the digits up to fieldLen
// characters; a longer number is not cut. The fill stops at the start of the
// buffer.
char* uint_to_ascii_right_justified(uint32_t* resultBfr, uint_fast8_t bfrLen,
                                    uint64_t value, uint_fast8_t fieldLen, char fillChar);

// Writes value / 10^precision at the start of resultBfr and returns resultBfr.
// The point is always written ("12." for 1200 with precision 2 and output
// precision 0). outputPrecision: -2 keeps all precision decimals, -3 removes
// trailing zero decimals (the point stays), n >= 0 gives exactly n decimals (cut
// without rounding, or zero-filled); -1 and values below -3 act as -2. A
// precision above 10 is reported on standard error ("crazy precision: ...") and
// replaced by 2. The text with its NUL needs at most 23 + max(precision,
// outputPrecision) bytes; when bfrLen is smaller the text is cut to bfrLen-1
// characters (reported on standard error). bfrLen 0 means the caller provides
// that room and the length is not checked. The length is stored through
// retStrLen when not null.
char* fixedpoint_to_ascii(char* resultBfr, uint_fast8_t bfrLen, int64_t value,
                          uint_fast8_t precision, uint_fast8_t* retStrLen,
                          int_fast8_t outputPrecision);

// Writes value at the start of resultBfr and returns resultBfr. NaN gives "nan",
// either infinity "inf". outputPrecision 0..9 gives that many decimals (above 9
// acts as 9); a negative value gives 6 decimals with trailing zeros removed, and
// then -1 drops a bare point ("2") while other negative values keep one zero
// ("2.0"). roundValue rounds half away from zero at the last decimal, otherwise
// the value is truncated. Scaled values beyond the int64 range saturate. bfrLen
// bounds the text as in fixedpoint_to_ascii (0: room vouched for by the
// caller); "nan" and "inf" are copied with at most bfrLen bytes.
char* float_to_ascii(char* resultBfr, uint_fast8_t bfrLen, double value,
                     uint_fast8_t* retStrLen, int_fast8_t outputPrecision, bool roundValue);

// ---------------------------------------------------------------------------
// End of public API. Implementation details follow.
// ---------------------------------------------------------------------------

namespace text2int_detail {

inline uint32_t digit32(const char* end, unsigned pos) {
  return text2int_table[static_cast<unsigned char>(end[-1 - static_cast<int>(pos)])][pos];
}
inline uint64_t digit64(const char* end, unsigned pos) {
  return text2int64_table[static_cast<unsigned char>(end[-1 - static_cast<int>(pos)])][pos];
}

// Index of the first character after the sign, or of the first digit; sets
// negative for '-'. The scan stops at text_len.
inline uint_fast8_t skipToDigits(const char* text, uint_fast8_t text_len, bool* negative) {
  uint_fast8_t i = 0;
  while (i < text_len) {
    const char c = text[i];
    if (static_cast<unsigned char>(c - '0') <= 9u) break;
    ++i;
    if (c == '-') {
      *negative = true;
      break;
    }
    if (c == '+') break;
  }
  return i;
}

}  // namespace text2int_detail

inline uint_fast32_t text2uint32(const char* textString, uint_fast8_t text_len) {
  using text2int_detail::digit32;
  const char* const end = textString + text_len;
  uint32_t sum = 0;
  // One case per length; each case adds its leftmost character and falls into
  // the next shorter one.
  switch (text_len) {
    case 10: sum += digit32(end, 9); [[fallthrough]];
    case 9: sum += digit32(end, 8); [[fallthrough]];
    case 8: sum += digit32(end, 7); [[fallthrough]];
    case 7: sum += digit32(end, 6); [[fallthrough]];
    case 6: sum += digit32(end, 5); [[fallthrough]];
    case 5: sum += digit32(end, 4); [[fallthrough]];
    case 4: sum += digit32(end, 3); [[fallthrough]];
    case 3: sum += digit32(end, 2); [[fallthrough]];
    case 2: sum += digit32(end, 1); [[fallthrough]];
    case 1: sum += digit32(end, 0); return sum;
    default: return 0;
  }
}

inline uint64_t text2uint64(const char* textString, uint_fast8_t text_len) {
  using text2int_detail::digit64;
  const char* const end = textString + text_len;
  uint64_t sum = 0;
  switch (text_len) {
    case 20: sum += digit64(end, 19); [[fallthrough]];
    case 19: sum += digit64(end, 18); [[fallthrough]];
    case 18: sum += digit64(end, 17); [[fallthrough]];
    case 17: sum += digit64(end, 16); [[fallthrough]];
    case 16: sum += digit64(end, 15); [[fallthrough]];
    case 15: sum += digit64(end, 14); [[fallthrough]];
    case 14: sum += digit64(end, 13); [[fallthrough]];
    case 13: sum += digit64(end, 12); [[fallthrough]];
    case 12: sum += digit64(end, 11); [[fallthrough]];
    case 11: sum += digit64(end, 10); [[fallthrough]];
    case 10: sum += digit64(end, 9); [[fallthrough]];
    case 9: sum += digit64(end, 8); [[fallthrough]];
    case 8: sum += digit64(end, 7); [[fallthrough]];
    case 7: sum += digit64(end, 6); [[fallthrough]];
    case 6: sum += digit64(end, 5); [[fallthrough]];
    case 5: sum += digit64(end, 4); [[fallthrough]];
    case 4: sum += digit64(end, 3); [[fallthrough]];
    case 3: sum += digit64(end, 2); [[fallthrough]];
    case 2: sum += digit64(end, 1); [[fallthrough]];
    case 1: sum += digit64(end, 0); return sum;
    default: return 0;
  }
}

inline int_fast32_t text2int32(const char* textString, uint_fast8_t text_len) {
  bool negative = false;
  const uint_fast8_t start = text2int_detail::skipToDigits(textString, text_len, &negative);
  uint32_t magnitude = static_cast<uint32_t>(
      text2uint32(textString + start, static_cast<uint_fast8_t>(text_len - start)));
  if (negative) magnitude = 0u - magnitude;
  return static_cast<int32_t>(magnitude);
}

inline int64_t text2int64(const char* textString, uint_fast8_t text_len) {
  bool negative = false;
  const uint_fast8_t start = text2int_detail::skipToDigits(textString, text_len, &negative);
  uint64_t magnitude = text2uint64(textString + start, static_cast<uint_fast8_t>(text_len - start));
  if (negative) magnitude = 0u - magnitude;
  return static_cast<int64_t>(magnitude);
}
