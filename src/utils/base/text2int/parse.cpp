// Fixed-point and floating-point text parsing (the out-of-line part of
// text2int.hpp). Both work on texts of explicit length (0 = NUL-terminated),
// never read past len characters, never allocate, and never fail: every text
// yields a number by the documented rules. Arithmetic is done on uint64_t so
// that wrapping sums are defined; the final conversion to int64_t is modular.
#include <cmath>
#include <cstring>

#include "utils/base/text2int.hpp"

namespace {

constexpr int_fast8_t MAX_PARSE_PRECISION = 15;
constexpr int_fast8_t PRECISION_AS_WRITTEN = -2;

// Precision requests outside -2 and 0..15 never index past powersOf10_64bit:
// above 15 acts as 15, other negative values as -2.
inline int_fast8_t normalisedPrecision(int_fast8_t desiredPrecision) {
  if (desiredPrecision > MAX_PARSE_PRECISION) return MAX_PARSE_PRECISION;
  if (desiredPrecision < 0) return PRECISION_AS_WRITTEN;
  return desiredPrecision;
}

// Positions of the first '.', '-' and '+' of a text, found in one pass. The
// texts are short (CSV fields), so one pass beats up to three memchr calls
// (about 1.2x on BM_FastAsciiToFixedpoint). A class table keeps each
// character to one load and one test.
struct Marks {
  int point = -1;
  int minus = -1;
  int plus = -1;
};

constexpr uint8_t MARK_POINT = 1, MARK_MINUS = 2, MARK_PLUS = 4;

constexpr struct MarkClasses {
  uint8_t of[256] = {};
  constexpr MarkClasses() {
    of[static_cast<unsigned char>('.')] = MARK_POINT;
    of[static_cast<unsigned char>('-')] = MARK_MINUS;
    of[static_cast<unsigned char>('+')] = MARK_PLUS;
  }
} MARK_CLASSES;

inline Marks findMarks(const char* str, unsigned len) {
  Marks m;
  unsigned seen = 0;
  for (unsigned i = 0; i < len; ++i) {
    const unsigned cls = MARK_CLASSES.of[static_cast<unsigned char>(str[i])];
    if (ZUR_LIKELY((cls & ~seen) == 0)) continue;
    seen |= cls;
    if (cls == MARK_POINT) m.point = static_cast<int>(i);
    else if (cls == MARK_MINUS) m.minus = static_cast<int>(i);
    else m.plus = static_cast<int>(i);
  }
  return m;
}

// The common texts, in one pass: an optional '-', 1 to 19 digits, and
// optionally a point and 1 to 15 digits, nothing else. Gives the same value
// and precision (as written) as the general rules below; false for any other
// text.
inline bool plainDecimal(const char* str, unsigned len, VariableFixedPointValue* result) {
  const char* p = str;
  const char* const end = str + len;
  const bool negative = p != end && *p == '-';
  if (negative) ++p;
  const char* const integerStart = p;
  uint64_t value = 0;
  for (; p != end; ++p) {
    const unsigned d = static_cast<unsigned char>(*p) - static_cast<unsigned>('0');
    if (d > 9u) break;
    value = value * 10u + d;
  }
  const auto integerDigits = static_cast<unsigned>(p - integerStart);
  if (integerDigits == 0 || integerDigits > 19) return false;
  unsigned places = 0;
  if (p != end) {
    if (*p != '.') return false;
    const char* const fractionStart = ++p;
    for (; p != end; ++p) {
      const unsigned d = static_cast<unsigned char>(*p) - static_cast<unsigned>('0');
      if (d > 9u) return false;
      value = value * 10u + d;
    }
    places = static_cast<unsigned>(p - fractionStart);
    if (places == 0 || places > static_cast<unsigned>(MAX_PARSE_PRECISION)) return false;
  }
  if (negative) value = 0u - value;
  result->value = static_cast<int64_t>(value);
  result->precision = static_cast<int_fast8_t>(places);
  return true;
}

inline uint_fast8_t lengthOrStrlen(const char* str, uint_fast8_t len) {
  return len != 0 ? len : static_cast<uint_fast8_t>(std::strlen(str) & 255u);
}

}  // namespace

VariableFixedPointValue fast_ascii_to_fixedpoint(const char* str, uint_fast8_t len,
                                                 int_fast8_t desiredPrecision) {
  len = lengthOrStrlen(str, len);
  desiredPrecision = normalisedPrecision(desiredPrecision);
  if (desiredPrecision == PRECISION_AS_WRITTEN) {
    VariableFixedPointValue plain;
    if (plainDecimal(str, len, &plain)) return plain;
  }
  const Marks marks = findMarks(str, len);

  if (marks.point < 0) {
    const int_fast8_t precision = desiredPrecision == PRECISION_AS_WRITTEN ? 0 : desiredPrecision;
    bool negative = false;
    const uint_fast8_t start = text2int_detail::skipToDigits(str, len, &negative);
    const uint_fast8_t digits = static_cast<uint_fast8_t>(len - start);
    if (digits == 0 || digits > 20) return {0, precision};
    uint64_t value = text2uint64(str + start, digits) * powersOf10_64bit[precision];
    if (negative) value = 0u - value;
    return {static_cast<int64_t>(value), precision};
  }

  const char* const point = str + marks.point;
  const unsigned pointIndex = static_cast<unsigned>(marks.point);
  const unsigned charsAfterPoint = len - 1u - pointIndex;
  const unsigned decimalPlaces = desiredPrecision == PRECISION_AS_WRITTEN
                                     ? charsAfterPoint
                                     : static_cast<unsigned>(desiredPrecision);
  const unsigned precision = decimalPlaces < 15u ? decimalPlaces : 15u;

  // The first '-' anywhere in the text makes the value negative, else the first
  // '+' is skipped; the number starts after the sign, characters before it are
  // ignored. A sign after the point leaves an empty integer part.
  bool negative = false;
  const char* numberStart = str;
  if (marks.minus >= 0) {
    negative = true;
    numberStart = str + marks.minus + 1;
  } else if (marks.plus >= 0) {
    numberStart = str + marks.plus + 1;
  }

  uint64_t integerPart = 0;
  if (numberStart < point) {
    const long integerLen = point - numberStart;
    if (integerLen <= 20) integerPart = text2uint64(numberStart, static_cast<uint_fast8_t>(integerLen));
  }
  uint64_t value = integerPart * powersOf10_64bit[precision];
  if (negative) value = 0u - value;
  if (charsAfterPoint == 0) return {static_cast<int64_t>(value), static_cast<int_fast8_t>(precision)};

  const unsigned used = precision < charsAfterPoint ? precision : charsAfterPoint;
  if (used != 0) {
    const uint64_t fraction =
        text2uint64(point + 1, static_cast<uint_fast8_t>(used)) * powersOf10_64bit[precision - used];
    value = negative ? value - fraction : value + fraction;
  }
  return {static_cast<int64_t>(value), static_cast<int_fast8_t>(precision)};
}

double text2double(const char* str, uint_fast8_t len) {
  len = lengthOrStrlen(str, len);

  // The exponent letter is searched from the end back to index 1; a point on the
  // way means there is no exponent.
  unsigned exponentAt = 0;
  for (unsigned i = len; i-- > 1;) {
    const char c = str[i];
    if (c == '.') break;
    if (c == 'e' || c == 'E') {
      exponentAt = i;
      break;
    }
  }

  if (exponentAt == 0) {
    const VariableFixedPointValue m = fast_ascii_to_fixedpoint(str, len, PRECISION_AS_WRITTEN);
    return static_cast<double>(m.value) * reciprocalPowersOf10[m.precision];
  }

  const VariableFixedPointValue m =
      fast_ascii_to_fixedpoint(str, static_cast<uint_fast8_t>(exponentAt), PRECISION_AS_WRITTEN);
  const double mantissa = static_cast<double>(m.value);
  if (exponentAt + 1 == len) return mantissa * reciprocalPowersOf10[m.precision];

  const int64_t exponent =
      text2int32(str + exponentAt + 1, static_cast<uint_fast8_t>(len - exponentAt - 1));
  const int64_t scale = exponent - m.precision;
  if (scale < -9) return 0.0;
  if (scale <= 0) return mantissa * reciprocalPowersOf10[-scale];
  if (scale <= 9) return mantissa * floatingPowersOf10[scale];
  // 0 * 10^s stays 0 even where pow overflows to infinity (which would give NaN).
  if (m.value == 0) return 0.0;
  return mantissa * std::pow(10.0, static_cast<double>(scale));
}
