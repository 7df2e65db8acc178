// Integer, fixed-point and floating-point values to decimal text (the
// formatting half of text2int.hpp). Integer digits are produced in groups of
// four from numberAs4Digits, right to left, so a 20-digit value costs two 64-bit
// divisions (by 10^8, a library call on 32-bit ARM) and 32-bit arithmetic for
// the rest, one word store per group. Nothing here allocates; the fixed-point
// writer uses small stack buffers. Diagnostics are single lines on stderr.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "utils/base/text2int.hpp"

namespace {

constexpr uint_fast8_t FULL_INT_BUFFER_BYTES = 24;  // 20 digits, sign and NUL fit
constexpr uint32_t TEN_TO_THE_8 = 100000000u;

inline void store4(char* to, uint32_t group) {
  std::memcpy(to, numberAs4Digits[group].digits, 4);
}

// Writes value so that it ends just before end; returns the first character.
// Bytes written: the digits, plus one leading '0' when the leading group has
// three digits.
inline char* writeDigitsBefore(char* end, uint64_t value) {
  char* cp = end;
  while (value > UINT32_MAX) {
    const uint64_t high = value / TEN_TO_THE_8;
    const uint32_t low8 = static_cast<uint32_t>(value - high * TEN_TO_THE_8);
    store4(cp - 4, low8 % 10000u);
    store4(cp - 8, low8 / 10000u);
    cp -= 8;
    value = high;
  }
  uint32_t v = static_cast<uint32_t>(value);
  while (v >= 10000u) {
    store4(cp - 4, v % 10000u);
    cp -= 4;
    v /= 10000u;
  }
  if (v >= 1000u) {
    store4(cp - 4, v);
    return cp - 4;
  }
  if (v >= 100u) {
    store4(cp - 4, v);  // "0123": the leading '0' stays before the text
    return cp - 3;
  }
  if (v >= 10u) {
    std::memcpy(cp - 2, numberAs4Digits[v].digits + 2, 2);
    return cp - 2;
  }
  cp[-1] = static_cast<char>('0' + v);
  return cp - 1;
}

unsigned countDigits(uint64_t value) {
  unsigned n = 1;
  while (value >= 10u) {
    value /= 10u;
    ++n;
  }
  return n;
}

// Whether a buffer of bfrLen bytes can hold value (and a sign) ending at
// bfrLen - 4. Only asked for buffers shorter than the 24 bytes that always fit.
ZUR_COLD bool fitsInBuffer(uint_fast8_t bfrLen, uint64_t value, bool withSign) {
  if (bfrLen < 4) return false;
  const unsigned digits = countDigits(value);
  const bool leadingZeroStored = digits % 4u == 3u;
  const unsigned needed = digits + ((withSign || leadingZeroStored) ? 1u : 0u);
  return needed <= bfrLen - 4u;
}

// Result for a buffer too small for the number: an empty text at the terminator
// position when there is one.
ZUR_COLD char* emptyTextForSmallBuffer(uint32_t* resultBfr, uint_fast8_t bfrLen,
                                       uint_fast8_t* retStrLen) {
  static char noRoom[1] = {'\0'};
  std::fprintf(stderr, "uint_to_ascii: buffer of %u bytes too small for the number\n",
               static_cast<unsigned>(bfrLen));
  if (retStrLen != nullptr) *retStrLen = 0;
  if (bfrLen < 4) return noRoom;
  char* const bfrEnd = reinterpret_cast<char*>(resultBfr) + bfrLen - 4;
  *bfrEnd = '\0';
  return bfrEnd;
}

ZUR_COLD void reportCrazyPrecision(unsigned precision, int64_t value) {
  std::fprintf(stderr, "crazy precision: %d val=%" PRId64 "\n", static_cast<int>(precision), value);
}

// Writes the fixed-point text (without a length limit) at out; returns its length.
unsigned writeFixedPoint(char* out, int64_t value, unsigned precision, int outputPrecision) {
  uint32_t work[FULL_INT_BUFFER_BYTES / 4];
  uint_fast8_t textLen = 0;
  const char* text = int_to_ascii(work, FULL_INT_BUFFER_BYTES, value, &textLen);
  unsigned signOffset = 0;
  if (text[0] == '-') {
    out[0] = '-';
    signOffset = 1;
  }
  const char* digits = text + signOffset;
  const unsigned digitCount = textLen - signOffset;
  const int leadingBytes = static_cast<int>(digitCount) - static_cast<int>(precision);

  char* cp = out + signOffset;
  if (leadingBytes > 0) {
    std::memcpy(cp, digits, static_cast<unsigned>(leadingBytes));
    cp += leadingBytes;
    *cp++ = '.';
    std::memcpy(cp, digits + leadingBytes, precision);
  } else {
    *cp++ = '0';
    *cp++ = '.';
    const unsigned zeros = precision - digitCount;
    std::memset(cp, '0', zeros);
    std::memcpy(cp + zeros, digits, digitCount);
  }
  char* const fraction = cp;  // first decimal, precision decimals follow

  unsigned kept = precision;
  if (outputPrecision == -3) {
    while (kept > 0 && fraction[kept - 1] == '0') --kept;
  } else if (outputPrecision >= 0) {
    const unsigned wanted = static_cast<unsigned>(outputPrecision);
    if (wanted > precision) std::memset(fraction + precision, '0', wanted - precision);
    kept = wanted;
  }
  fraction[kept] = '\0';
  return static_cast<unsigned>(fraction + kept - out);
}

}  // namespace

char* uint_to_ascii(uint32_t* resultBfr, uint_fast8_t bfrLen, uint64_t value,
                    uint_fast8_t* retStrLen) {
  if (ZUR_UNLIKELY(bfrLen < FULL_INT_BUFFER_BYTES) && !fitsInBuffer(bfrLen, value, false))
    return emptyTextForSmallBuffer(resultBfr, bfrLen, retStrLen);
  char* const bfrEnd = reinterpret_cast<char*>(resultBfr) + bfrLen - 4;
  *bfrEnd = '\0';
  char* const start = writeDigitsBefore(bfrEnd, value);
  if (retStrLen != nullptr) *retStrLen = static_cast<uint_fast8_t>(bfrEnd - start);
  return start;
}

char* int_to_ascii(uint32_t* resultBfr, uint_fast8_t bfrLen, int64_t value,
                   uint_fast8_t* retStrLen) {
  if (value >= 0) return uint_to_ascii(resultBfr, bfrLen, static_cast<uint64_t>(value), retStrLen);
  const uint64_t magnitude = 0u - static_cast<uint64_t>(value);
  if (ZUR_UNLIKELY(bfrLen < FULL_INT_BUFFER_BYTES) && !fitsInBuffer(bfrLen, magnitude, true))
    return emptyTextForSmallBuffer(resultBfr, bfrLen, retStrLen);
  char* const bfrEnd = reinterpret_cast<char*>(resultBfr) + bfrLen - 4;
  *bfrEnd = '\0';
  char* const start = writeDigitsBefore(bfrEnd, magnitude) - 1;
  *start = '-';
  if (retStrLen != nullptr) *retStrLen = static_cast<uint_fast8_t>(bfrEnd - start);
  return start;
}

char* uint_to_ascii_right_justified(uint32_t* resultBfr, uint_fast8_t bfrLen,
                                    uint64_t value, uint_fast8_t fieldLen, char fillChar) {
  uint_fast8_t textLen = 0;
  char* start = uint_to_ascii(resultBfr, bfrLen, value, &textLen);
  if (fieldLen > textLen) {
    const long room = start - reinterpret_cast<char*>(resultBfr);
    long fill = fieldLen - textLen;
    if (fill > room) fill = room < 0 ? 0 : room;  // never in front of the buffer
    start -= fill;
    std::memset(start, fillChar, static_cast<unsigned long>(fill));
  }
  return start;
}

char* fixedpoint_to_ascii(char* resultBfr, uint_fast8_t bfrLen, int64_t value,
                          uint_fast8_t precision, uint_fast8_t* retStrLen,
                          int_fast8_t outputPrecision) {
  unsigned usedPrecision = precision;
  if (ZUR_UNLIKELY(usedPrecision > 10u)) {
    reportCrazyPrecision(usedPrecision, value);
    usedPrecision = 2;
  }
  int mode = outputPrecision;
  if (mode == -1 || mode < -3) mode = -2;

  // Longest possible text: sign, 20 digits, point, decimals, NUL.
  const unsigned decimalsBound =
      mode >= 0 && static_cast<unsigned>(mode) > usedPrecision ? static_cast<unsigned>(mode) : usedPrecision;
  const unsigned bound = 1u + 20u + 1u + decimalsBound + 1u;
  unsigned len = 0;
  // bfrLen 0: the caller vouches for room for the longest text (the contract
  // of callers that do not track their buffer length).
  if (ZUR_LIKELY(bound <= bfrLen || bfrLen == 0)) {
    len = writeFixedPoint(resultBfr, value, usedPrecision, mode);
  } else {
    char whole[1u + 20u + 1u + 127u + 1u + 8u];
    len = writeFixedPoint(whole, value, usedPrecision, mode);
    if (len + 1u > bfrLen) {
      std::fprintf(stderr, "fixedpoint_to_ascii: %u characters cut to fit a buffer of %u bytes\n",
                   len, static_cast<unsigned>(bfrLen));
      len = bfrLen - 1u;
    }
    std::memcpy(resultBfr, whole, len);
    resultBfr[len] = '\0';
  }
  if (retStrLen != nullptr) *retStrLen = static_cast<uint_fast8_t>(len);
  return resultBfr;
}

namespace {

char* writeWord(char* resultBfr, uint_fast8_t bfrLen, const char* word, uint_fast8_t* retStrLen) {
  const unsigned wordSize = static_cast<unsigned>(std::strlen(word)) + 1u;
  const unsigned n = wordSize < bfrLen ? wordSize : bfrLen;
  std::memcpy(resultBfr, word, n);
  unsigned len = wordSize - 1u;
  if (n < wordSize && bfrLen != 0) {
    resultBfr[bfrLen - 1] = '\0';
    len = bfrLen - 1u;
  } else if (bfrLen == 0) {
    len = 0;
  }
  if (retStrLen != nullptr) *retStrLen = static_cast<uint_fast8_t>(len);
  return resultBfr;
}

// Truncation towards zero, saturating where the double is beyond int64.
int64_t toInt64Saturated(double scaled) {
  if (scaled >= 0x1p63) return INT64_MAX;
  if (scaled < -0x1p63) return INT64_MIN;
  return static_cast<int64_t>(scaled);
}

}  // namespace

char* float_to_ascii(char* resultBfr, uint_fast8_t bfrLen, double value,
                     uint_fast8_t* retStrLen, int_fast8_t outputPrecision, bool roundValue) {
  if (std::isnan(value)) return writeWord(resultBfr, bfrLen, "nan", retStrLen);
  if (std::isinf(value)) return writeWord(resultBfr, bfrLen, "inf", retStrLen);

  const unsigned precision =
      outputPrecision >= 0 ? (outputPrecision > 9 ? 9u : static_cast<unsigned>(outputPrecision)) : 6u;
  double scaled = value * floatingPowersOf10[precision];
  if (roundValue) scaled += value >= 0 ? 0.5 : -0.5;
  const int64_t fixedPointVal = toInt64Saturated(scaled);

  const unsigned room = bfrLen == 0 ? 256u : bfrLen;  // 0: room vouched for, as above
  uint_fast8_t len = 0;
  fixedpoint_to_ascii(resultBfr, bfrLen, fixedPointVal, static_cast<uint_fast8_t>(precision), &len, -2);
  if (outputPrecision < 0) {
    while (len > 1 && resultBfr[len - 1] == '0') --len;
    if (len > 0 && resultBfr[len - 1] == '.') {
      if (outputPrecision == -1) {
        --len;
      } else if (len < room) {
        resultBfr[len++] = '0';  // the zero that was just there
      }
    }
    if (len < room) resultBfr[len] = '\0';
  }
  if (retStrLen != nullptr) *retStrLen = len;
  return resultBfr;
}
