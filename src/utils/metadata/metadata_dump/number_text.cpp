// Number and CSV cell formatting for the metadata dump: integers and
// fixed-point values through the library's formatters (text2int.hpp), with
// exactly the stored decimal places, and RFC 4180 cell quoting.
#include <cstring>

#include "utils/base/text2int.hpp"
#include "utils/metadata/metadata_dump.hpp"

namespace {

constexpr uint_fast8_t INT_TEXT_BYTES = 24;  // every 64-bit value with a sign
// Precisions up to this are written by fixedpoint_to_ascii in one call.
constexpr uint32_t ONE_CALL_PRECISION = 10;
constexpr uint32_t LOW_DIGITS = 8;  // written separately above ONE_CALL_PRECISION
constexpr uint64_t TEN_TO_LOW_DIGITS = 100000000u;

char *copyText(char *out, const char *text, uint_fast8_t length) {
  std::memcpy(out, text, length);
  return out + length;
}

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

}  // namespace

char *formatUnsignedText(char *out, uint64_t value) {
  uint32_t work[INT_TEXT_BYTES / 4];
  uint_fast8_t length = 0;
  const char *text = uint_to_ascii(work, INT_TEXT_BYTES, value, &length);
  return copyText(out, text, length);
}

char *formatSignedText(char *out, int64_t value) {
  uint32_t work[INT_TEXT_BYTES / 4];
  uint_fast8_t length = 0;
  const char *text = int_to_ascii(work, INT_TEXT_BYTES, value, &length);
  return copyText(out, text, length);
}

char *formatFixedPointText(char *out, int64_t value, uint32_t precision) {
  if (precision == 0) return formatSignedText(out, value);
  uint_fast8_t length = 0;
  if (precision <= ONE_CALL_PRECISION) {
    // bfrLen 0: the caller's buffer holds METADATA_MAX_NUMBER_TEXT bytes.
    fixedpoint_to_ascii(out, 0, value, static_cast<uint_fast8_t>(precision), &length, -2);
    return out + length;
  }
  // More decimals than the formatter takes: the magnitude without its last
  // eight digits as a fixed-point value, then those digits zero-filled.
  uint64_t magnitude = static_cast<uint64_t>(value);
  if (value < 0) {
    *out++ = '-';
    magnitude = 0 - magnitude;
  }
  const auto high = static_cast<int64_t>(magnitude / TEN_TO_LOW_DIGITS);
  fixedpoint_to_ascii(out, 0, high, static_cast<uint_fast8_t>(precision - LOW_DIGITS), &length, -2);
  out += length;
  uint32_t work[INT_TEXT_BYTES / 4];
  const char *low = uint_to_ascii_right_justified(work, INT_TEXT_BYTES, magnitude % TEN_TO_LOW_DIGITS,
                                                  LOW_DIGITS, '0');
  return copyText(out, low, LOW_DIGITS);
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
