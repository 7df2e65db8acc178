// The constant tables of text2int_tbl.hpp. Each entry is computed at compile
// time by a constexpr rule function below; the repetition macros only spell out
// the brace list a C array needs, so every table is constant-initialised data
// (constinit) and costs nothing at start-up.
#include "utils/base/text2int_tbl.hpp"

namespace {

constexpr uint64_t pow10u64(unsigned exponent) {
  uint64_t p = 1;
  for (unsigned i = 0; i < exponent; ++i) p *= 10u;  // wraps past 10^19, as the rules want
  return p;
}

constexpr bool isDigit(unsigned c) { return c >= '0' && c <= '9'; }

// d * 10^p for digit characters, 0 otherwise; 0xFFFFFFFF where d * 10^p does not
// fit 32 bits (digits 5..9 at position 9).
constexpr uint32_t text2intEntry(unsigned c, unsigned pos) {
  if (!isDigit(c)) return 0;
  const uint64_t v = (c - '0') * pow10u64(pos);
  return v > UINT32_MAX ? UINT32_C(0xFFFFFFFF) : static_cast<uint32_t>(v);
}

// d * 10^p for digit characters, 0 otherwise. At position 19, digits 2..8 wrap
// modulo 2^64 (the multiplication is unsigned) and digit 9 holds 0xFFFFFFFF.
constexpr uint64_t text2int64Entry(unsigned c, unsigned pos) {
  if (!isDigit(c)) return 0;
  const unsigned d = c - '0';
  if (pos == 19 && d == 9) return UINT64_C(0xFFFFFFFF);
  return d * pow10u64(pos);
}

constexpr double floatingPower(unsigned exponent) {
  double p = 1.0;
  for (unsigned i = 0; i < exponent; ++i) p *= 10.0;  // exact up to 10^22
  return p;
}

// 1 / 10^k with 10^k exact, so the one correctly rounded division gives the
// double nearest to 10^-k (the same value as the literal 1e-k).
constexpr double reciprocalPower(unsigned exponent) { return 1.0 / floatingPower(exponent); }

constexpr char decimalDigit(unsigned n, unsigned divisor) {
  return static_cast<char>('0' + (n / divisor) % 10u);
}

constexpr char hexDigit(unsigned nibble, bool upper) {
  return static_cast<char>(nibble < 10 ? '0' + nibble : (upper ? 'A' : 'a') + nibble - 10);
}

}  // namespace

// M(n) for n = b .. b+9, b .. b+15, and so on; M emits one initialiser and its comma.
#define REP10(M, b) M((b) + 0) M((b) + 1) M((b) + 2) M((b) + 3) M((b) + 4) \
  M((b) + 5) M((b) + 6) M((b) + 7) M((b) + 8) M((b) + 9)
#define REP100(M, b) REP10(M, (b) + 0) REP10(M, (b) + 10) REP10(M, (b) + 20) \
  REP10(M, (b) + 30) REP10(M, (b) + 40) REP10(M, (b) + 50) REP10(M, (b) + 60) \
  REP10(M, (b) + 70) REP10(M, (b) + 80) REP10(M, (b) + 90)
#define REP1000(M, b) REP100(M, (b) + 0) REP100(M, (b) + 100) REP100(M, (b) + 200) \
  REP100(M, (b) + 300) REP100(M, (b) + 400) REP100(M, (b) + 500) REP100(M, (b) + 600) \
  REP100(M, (b) + 700) REP100(M, (b) + 800) REP100(M, (b) + 900)
#define REP10000(M) REP1000(M, 0) REP1000(M, 1000) REP1000(M, 2000) REP1000(M, 3000) \
  REP1000(M, 4000) REP1000(M, 5000) REP1000(M, 6000) REP1000(M, 7000) REP1000(M, 8000) \
  REP1000(M, 9000)
#define REP16(M, b) M((b) + 0) M((b) + 1) M((b) + 2) M((b) + 3) M((b) + 4) M((b) + 5) \
  M((b) + 6) M((b) + 7) M((b) + 8) M((b) + 9) M((b) + 10) M((b) + 11) M((b) + 12) \
  M((b) + 13) M((b) + 14) M((b) + 15)
#define REP256(M) REP16(M, 0) REP16(M, 16) REP16(M, 32) REP16(M, 48) REP16(M, 64) \
  REP16(M, 80) REP16(M, 96) REP16(M, 112) REP16(M, 128) REP16(M, 144) REP16(M, 160) \
  REP16(M, 176) REP16(M, 192) REP16(M, 208) REP16(M, 224) REP16(M, 240)

#define T2I32_ROW(c) {text2intEntry(c, 0), text2intEntry(c, 1), text2intEntry(c, 2), \
  text2intEntry(c, 3), text2intEntry(c, 4), text2intEntry(c, 5), text2intEntry(c, 6), \
  text2intEntry(c, 7), text2intEntry(c, 8), text2intEntry(c, 9)},
constinit const uint32_t text2int_table[256][10] = {REP256(T2I32_ROW)};

#define T2I64_ROW(c) {text2int64Entry(c, 0), text2int64Entry(c, 1), text2int64Entry(c, 2), \
  text2int64Entry(c, 3), text2int64Entry(c, 4), text2int64Entry(c, 5), \
  text2int64Entry(c, 6), text2int64Entry(c, 7), text2int64Entry(c, 8), \
  text2int64Entry(c, 9), text2int64Entry(c, 10), text2int64Entry(c, 11), \
  text2int64Entry(c, 12), text2int64Entry(c, 13), text2int64Entry(c, 14), \
  text2int64Entry(c, 15), text2int64Entry(c, 16), text2int64Entry(c, 17), \
  text2int64Entry(c, 18), text2int64Entry(c, 19)},
constinit const uint64_t text2int64_table[256][20] = {REP256(T2I64_ROW)};

#define POW10_U64(k) pow10u64(k),
constinit const uint64_t powersOf10_64bit[16] = {REP16(POW10_U64, 0)};

#define POW10_DOUBLE(k) floatingPower(k),
constinit const double floatingPowersOf10[10] = {REP10(POW10_DOUBLE, 0)};

#define RECIPROCAL_POW10(k) reciprocalPower(k),
constinit const double reciprocalPowersOf10[16] = {REP16(RECIPROCAL_POW10, 0)};

#define FOUR_DIGITS(n) {{decimalDigit(n, 1000), decimalDigit(n, 100), decimalDigit(n, 10), \
  decimalDigit(n, 1)}},
alignas(64) constinit const Aligned4Chars numberAs4Digits[10000] = {REP10000(FOUR_DIGITS)};

#define TWO_DIGITS(n) {decimalDigit(n, 10), decimalDigit(n, 1), '\0'},
constinit const char numberAsTwoDigits[100][3] = {REP100(TWO_DIGITS, 0)};

#define HEX_UPPER(b) {hexDigit((b) >> 4, true), hexDigit((b) & 15u, true), '\0'},
constinit const char byteAsUppercaseHexadecimal[256][3] = {REP256(HEX_UPPER)};

#define HEX_LOWER(b) {hexDigit((b) >> 4, false), hexDigit((b) & 15u, false), '\0'},
constinit const char byteAsLowercaseHexadecimal[256][3] = {REP256(HEX_LOWER)};
