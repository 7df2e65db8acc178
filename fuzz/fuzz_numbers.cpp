// Drives every numeric parser on arbitrary bytes and formats what they return.
// Input: byte 0 picks the desired and output precisions, the rest (at most 255
// bytes) is the text, placed in an exact-size heap buffer so that any read past
// the length is caught by AddressSanitizer. Checks: the integer parsers agree
// with a plain one-digit-at-a-time reference of the same rules, and integers
// and fixed-point values survive formatting and parsing back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "utils/base/text2int.hpp"

namespace {

uint64_t referenceUnsigned(const char* text, unsigned len, unsigned maxDigits, bool wide) {
  if (len == 0 || len > maxDigits) return 0;
  uint64_t sum = 0;
  for (unsigned k = 0; k < len; ++k) {
    const char c = text[k];
    if (c < '0' || c > '9') continue;
    const unsigned pos = len - 1 - k;
    uint64_t v = static_cast<uint64_t>(c - '0');
    for (unsigned i = 0; i < pos; ++i) v *= 10;
    if (wide && pos == 19 && c == '9') v = 0xFFFFFFFFu;
    if (!wide && pos == 9 && c >= '5') v = 0xFFFFFFFFu;
    sum += v;
  }
  return wide ? sum : static_cast<uint32_t>(sum);
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  const size_t textSize = size - 1 > 255 ? 255 : size - 1;
  const uint_fast8_t len = static_cast<uint_fast8_t>(textSize);
  std::unique_ptr<char[]> text(new char[textSize + 1]);
  std::memcpy(text.get(), data + 1, textSize);
  text[textSize] = '\0';
  const char* s = text.get();

  // Integers against the reference, then formatted and read back.
  const uint64_t u32 = text2uint32(s, len);
  const uint64_t u64 = text2uint64(s, len);
  check(u32 == referenceUnsigned(s, len, 10, false));
  check(u64 == referenceUnsigned(s, len, 20, true));
  const int64_t i32 = text2int32(s, len);
  const int64_t i64 = text2int64(s, len);

  uint32_t bfr[6];
  uint_fast8_t outLen = 0;
  const char* out = uint_to_ascii(bfr, sizeof bfr, u64, &outLen);
  check(text2uint64(out, outLen) == u64);
  out = int_to_ascii(bfr, sizeof bfr, i64, &outLen);
  check(text2int64(out, outLen) == i64);
  out = int_to_ascii(bfr, sizeof bfr, i32, &outLen);
  check(text2int32(out, outLen) == i32);
  out = uint_to_ascii_right_justified(bfr, sizeof bfr, u32, control % 32, '0');
  check(text2uint64(out, static_cast<uint_fast8_t>(std::strlen(out))) == u32);

  // Fixed point at a desired precision from -4 to 19 (out-of-range values
  // included), and the NUL-terminated form.
  const int_fast8_t desired = static_cast<int_fast8_t>(control % 24) - 4;
  const VariableFixedPointValue fp = fast_ascii_to_fixedpoint(s, len, desired);
  check(fp.precision >= 0 && fp.precision <= 15);
  const VariableFixedPointValue fpNul = fast_ascii_to_fixedpoint(s, 0, -2);
  check(fpNul.precision >= 0 && fpNul.precision <= 15);

  char fixedText[256];
  if (fp.precision <= 10) {
    uint_fast8_t fixedLen = 0;
    fixedpoint_to_ascii(fixedText, sizeof fixedText - 1, fp.value, static_cast<uint_fast8_t>(fp.precision),
                        &fixedLen, -2);
    check(std::strlen(fixedText) == fixedLen);
    const VariableFixedPointValue back = fast_ascii_to_fixedpoint(fixedText, fixedLen, -2);
    check(back.value == fp.value && back.precision == fp.precision);
  }
  const int_fast8_t outputPrecision = static_cast<int_fast8_t>(static_cast<int>(control >> 3) - 5);
  uint_fast8_t shownLen = 0;
  fixedpoint_to_ascii(fixedText, static_cast<uint_fast8_t>(control), fp.value, control % 11, &shownLen,
                      outputPrecision);
  check(std::strlen(fixedText) == shownLen);  // bfrLen 0: unbounded, fixedText has room

  // Floating point, formatted at a precision from the control byte.
  const double d = text2double(s, len);
  const double dNul = text2double(s, 0);
  (void)dNul;
  char floatText[64];
  uint_fast8_t floatLen = 0;
  float_to_ascii(floatText, sizeof floatText, d, &floatLen, static_cast<int_fast8_t>(control % 14) - 3,
                 (control & 1) != 0);
  check(std::strlen(floatText) == floatLen);
  return 0;
}
