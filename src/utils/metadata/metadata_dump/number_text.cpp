// Number and CSV cell formatting for the metadata dump: integers from a
// two-digit table, fixed-point values with exactly their stored decimal
// places, and RFC 4180 cell quoting. Digits are produced two at a time so a
// 64-bit value costs at most ten 64-bit divisions (a library call on 32-bit
// ARM), and values below 2^32 use 32-bit division only.
#include <cstring>

#include "utils/metadata/metadata_dump.hpp"

namespace {

// DIGIT_PAIRS[2 * n], DIGIT_PAIRS[2 * n + 1] are the two decimal digits of
// n for n in 0..99 ("00", "01", ..., "99").
constexpr char DIGIT_PAIRS[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Bytes that force a CSV cell into quotes: comma, double quote, CR, LF.
struct QuoteTable {
  bool needsQuote[256] = {};
  constexpr QuoteTable() {
    needsQuote[static_cast<unsigned char>(',')] = true;
    needsQuote[static_cast<unsigned char>('"')] = true;
    needsQuote[static_cast<unsigned char>('\r')] = true;
    needsQuote[static_cast<unsigned char>('\n')] = true;
  }
};
constexpr QuoteTable QUOTE_TABLE;

// Writes the digits of value so that they end at end; returns their start.
char *digitsBackwards(char *end, uint64_t value) {
  char *p = end;
  while (value > UINT32_MAX) {
    const uint64_t quotient = value / 100;
    const unsigned pair = static_cast<unsigned>(value - quotient * 100);
    p -= 2;
    std::memcpy(p, DIGIT_PAIRS + 2 * pair, 2);
    value = quotient;
  }
  uint32_t small = static_cast<uint32_t>(value);
  while (small >= 100) {
    const uint32_t quotient = small / 100;
    const unsigned pair = small - quotient * 100;
    p -= 2;
    std::memcpy(p, DIGIT_PAIRS + 2 * pair, 2);
    small = quotient;
  }
  if (small >= 10) {
    p -= 2;
    std::memcpy(p, DIGIT_PAIRS + 2 * small, 2);
  } else {
    *--p = static_cast<char>('0' + small);
  }
  return p;
}

}  // namespace

char *formatUnsignedText(char *out, uint64_t value) {
  char digits[20];
  char *start = digitsBackwards(digits + sizeof(digits), value);
  const std::size_t length = static_cast<std::size_t>(digits + sizeof(digits) - start);
  std::memcpy(out, start, length);
  return out + length;
}

char *formatSignedText(char *out, int64_t value) {
  uint64_t magnitude = static_cast<uint64_t>(value);
  if (value < 0) {
    *out++ = '-';
    magnitude = 0 - magnitude;
  }
  return formatUnsignedText(out, magnitude);
}

char *formatFixedPointText(char *out, int64_t value, uint32_t precision) {
  uint64_t magnitude = static_cast<uint64_t>(value);
  if (value < 0) {
    *out++ = '-';
    magnitude = 0 - magnitude;
  }
  char digits[20];
  char *start = digitsBackwards(digits + sizeof(digits), magnitude);
  const std::size_t length = static_cast<std::size_t>(digits + sizeof(digits) - start);
  if (precision == 0) {
    std::memcpy(out, start, length);
    return out + length;
  }
  if (length <= precision) {
    // All digits are decimals: "0." then leading zeros of the fraction.
    *out++ = '0';
    *out++ = '.';
    const std::size_t zeros = precision - length;
    std::memset(out, '0', zeros);
    out += zeros;
    std::memcpy(out, start, length);
    return out + length;
  }
  const std::size_t whole = length - precision;
  std::memcpy(out, start, whole);
  out += whole;
  *out++ = '.';
  std::memcpy(out, start + whole, precision);
  return out + precision;
}

char *formatCsvCell(char *out, const char *text, std::size_t length) {
  std::size_t i = 0;
  while (i < length && !QUOTE_TABLE.needsQuote[static_cast<unsigned char>(text[i])]) ++i;
  if (i == length) {
    std::memcpy(out, text, length);
    return out + length;
  }
  *out++ = '"';
  std::memcpy(out, text, i);
  out += i;
  for (; i < length; ++i) {
    const char c = text[i];
    if (c == '"') *out++ = '"';
    *out++ = c;
  }
  *out++ = '"';
  return out;
}
