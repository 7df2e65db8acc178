// Parsing half of the numeric text conversion: the worked examples, the
// quirks (non-digits take a position, too long gives 0, sums wrap), and the
// fixed-point and floating-point readers. Arbitrary texts against a reference
// parser are the numbers fuzz target's job.
#include "utils/base/text2int.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

uint_fast8_t len8(const std::string& s) { return static_cast<uint_fast8_t>(s.size()); }

}  // namespace

TEST(Text2Int, UnsignedWorkedExamples) {
  struct Case {
    std::string text;
    uint32_t u32;
    uint64_t u64;
  };
  const Case cases[] = {
      {"123", 123, 123},
      {"123 ", 1230, 1230},          // a trailing space still takes a digit position
      {" 123", 123, 123},            // a leading space adds nothing
      {"+5", 5, 5},
      {"1x3", 103, 103},
      {"0", 0, 0},
      {"", 0, 0},
      {"4294967295", 4294967295u, 4294967295u},
      {"4294967296", 0, 4294967296u},            // 32-bit sum wraps
      {"12345678901", 0, 12345678901u},          // 11 characters: too long for 32 bits
      {"18446744073709551615", 0, UINT64_MAX},
      {"18446744073709551616", 0, 0},            // wraps to 0
      {"123456789012345678901", 0, 0},           // 21 characters
      {"00000000000000000001", 0, 1},
      // Digits 5..9 at position 9 hold 0xFFFFFFFF; digit 9 at position 19 of
      // the 64-bit table also holds 0xFFFFFFFF; digits 2..8 there wrap.
      {"5000000000", 0xFFFFFFFFu, 5000000000u},
      {"5000000001", 0, 5000000001u},
      {"4000000000", 4000000000u, 4000000000u},
      {"90000000000000000000", 0, 0xFFFFFFFFull},
      {"20000000000000000000", 0, 2u * 10000000000000000000ull},
      {"10000000000000000000", 0, 10000000000000000000ull},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text2uint32(c.text.data(), len8(c.text)), c.u32) << '"' << c.text << '"';
    EXPECT_EQ(text2uint64(c.text.data(), len8(c.text)), c.u64) << '"' << c.text << '"';
  }
}

TEST(Text2Int, SignedWorkedExamples) {
  struct Case {
    std::string text;
    int32_t i32;
    int64_t i64;
  };
  const Case cases[] = {
      {" -42", -42, -42},
      {"+7", 7, 7},
      {"-", 0, 0},
      {"x5", 5, 5},
      {"", 0, 0},
      {"  ", 0, 0},
      {"--5", -5, -5},             // the scan stops after the first sign; the second adds 0
      {"-+5", -5, -5},             // after '-' the text "+5" is two positions: '+' adds 0
      {"-2147483648", INT32_MIN, -2147483648ll},
      {"2147483648", INT32_MIN, 2147483648ll},   // wraps in 32 bits
      {"-12345678901", 0, -12345678901ll},       // 11 digits after the sign
      {"-9223372036854775808", 0, INT64_MIN},
      {"9223372036854775807", 0, INT64_MAX},
      {"-18446744073709551615", 0, 1},           // magnitude 2^64-1, negated with wrap
      {"-123456789012345678901", 0, 0},
      {"12-3", 1203, 1203},                      // a digit first: no sign scan at all
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text2int32(c.text.data(), len8(c.text)), c.i32) << '"' << c.text << '"';
    EXPECT_EQ(text2int64(c.text.data(), len8(c.text)), c.i64) << '"' << c.text << '"';
  }
}

// Every byte but a digit adds nothing at any position (the tables are built
// by macros; a slip there would give some other byte a digit's values).
TEST(Text2Int, NonDigitTableEntriesAreZero) {
  for (unsigned c = 0; c < 256; ++c) {
    if (c >= '0' && c <= '9') continue;
    for (unsigned p = 0; p < 20; ++p) {
      ASSERT_EQ(text2int64_table[c][p], 0u) << c << ' ' << p;
      if (p < 10) {
        ASSERT_EQ(text2int_table[c][p], 0u) << c << ' ' << p;
      }
    }
  }
}

// ---- fixed point ----

TEST(FixedPoint, WorkedExamples) {
  struct Case {
    std::string text;
    int desired;
    int64_t value;
    int precision;
    int len = -1;  // bytes read: the text's length, 0 for up to the NUL
  };
  const Case cases[] = {
      {"12.50", -2, 1250, 2},
      {"-3", -2, -3, 0},
      {"0.5", -2, 5, 1},
      {"12.", -2, 12, 0},
      {".75", -2, 75, 2},
      {"-0.25", -2, -25, 2},
      {"1.12345678901234567", -2, 1123456789012345, 15},  // 17 places: last two dropped
      {"2.999", 2, 299, 2},                               // truncation, not rounding
      {"7", 3, 7000, 3},
      {"1.5", 3, 1500, 3},
      {"+4.25", -2, 425, 2},
      {" -1.5", -2, -15, 1},
      {"-", -2, 0, 0},
      {"", -2, 0, 0},
      {"abc", -2, 0, 0},                                  // three positions, all zero
      {"123456789012345678901", -2, 0, 0},                // 21 digits
      {"99999999999999999999", -2, static_cast<int64_t>(9999999999999999999ull + 0xFFFFFFFFull), 0},  // 9 at 19
      {"123456789012345678901.5", -2, 5, 1},              // integer part too long counts as 0
      {"-9223372036854775808", -2, INT64_MIN, 0},
      {"-922337203685477580.8", -2, INT64_MIN, 1},
      {"5", 0, 5, 0},
      {"5.9", 0, 5, 0},
      {"1.-5", -2, -5, 2},                                // sign after the point: empty integer part
      {"x-2.5", -2, -25, 1},                              // characters before the sign are ignored
      {"1.5", 16, 1500000000000000, 15},                  // above 15 acts as 15
      {"2", 100, 2000000000000000, 15},
      {"1.5", -1, 15, 1},                                 // negative ones act as -2
      {"1.5", -128, 15, 1},
      {"-12.125", -2, -12125, 3, 0},
      {"12.5-9", -2, 12, 0, 2},                           // nothing after len is read
      {"12.5-9", -2, 125, 1, 4},
  };
  for (const Case& c : cases) {
    const auto len = static_cast<uint_fast8_t>(c.len < 0 ? c.text.size() : static_cast<size_t>(c.len));
    const VariableFixedPointValue v =
        fast_ascii_to_fixedpoint(c.text.data(), len, static_cast<int_fast8_t>(c.desired));
    EXPECT_EQ(v.value, c.value) << '"' << c.text << "\" " << c.desired;
    EXPECT_EQ(v.precision, c.precision) << '"' << c.text << "\" " << c.desired;
  }
  uint_fast8_t precision = 99;
  EXPECT_EQ(ascii_to_fixedpoint("12.50", 5, -2, &precision), 1250);
  EXPECT_EQ(precision, 2u);
}

TEST(FixedPoint, EveryDesiredPrecision) {
  // "3.14159265358979323" and "-42" read at every precision 0..15 keep
  // exactly p digits after the point.
  const std::string pi = "3.14159265358979323";
  const std::string digits = "314159265358979323";
  for (int p = 0; p <= 15; ++p) {
    const VariableFixedPointValue v = fast_ascii_to_fixedpoint(pi.data(), len8(pi), static_cast<int_fast8_t>(p));
    EXPECT_EQ(v.precision, p);
    EXPECT_EQ(std::to_string(v.value), digits.substr(0, static_cast<size_t>(p) + 1)) << p;
    const VariableFixedPointValue w = fast_ascii_to_fixedpoint("-42", 3, static_cast<int_fast8_t>(p));
    EXPECT_EQ(w.precision, p);
    EXPECT_EQ(std::to_string(w.value), "-42" + std::string(static_cast<size_t>(p), '0')) << p;
  }
}

// ---- floating point ----

TEST(Text2Double, WorkedExamples) {
  struct Case {
    const char* text;
    double value;
  };
  const Case cases[] = {
      {"1.25", 1.25},
      {"2.5e3", 2500.0},
      {"4E-2", 0.04},
      {"1.5e12", 1.5e12},
      {"3e-10", 0.0},                 // scaling below 10^-9 is not attempted
      {"0.0000000001", 1e-10},        // without exponent up to 15 places are fine
      {"1e-9", 1e-9},
      {"12.5e-9", 0.0},               // 125 scaled by 10^-10
      {"-2.5E+2", -250.0},
      {"7e", 7.0},                    // nothing after the letter
      {"e5", 5.0},                    // the first character is never the exponent letter
      {"1.5e", 1.5},
      {"2e10", 2e10},
      {"0e400", 0.0},
      {"-", 0.0},
      {"", 0.0},
      {"1.e5", 1e5},
      {"3.25e.5", 3.25005},           // a point ends the search: fixed point, 'e' is a zero digit
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(text2double(c.text, static_cast<uint_fast8_t>(std::strlen(c.text))), c.value) << c.text;
    EXPECT_DOUBLE_EQ(text2double(c.text, 0), c.value) << c.text;
  }
}
