// Formatting half of the numeric text conversion: the worked examples, where
// the text sits in the caller's buffer, small-buffer safety and the format
// tables. Random values formatted and parsed back are the numbers fuzz
// target's job.
#include "utils/base/text2int.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

namespace {

std::string fixedText(int64_t value, unsigned precision, int outputPrecision, uint_fast8_t bfrLen = 200) {
  char out[256];
  std::memset(out, '#', sizeof out);
  uint_fast8_t len = 0;
  char* r = fixedpoint_to_ascii(out, bfrLen, value, static_cast<uint_fast8_t>(precision), &len,
                                static_cast<int_fast8_t>(outputPrecision));
  EXPECT_EQ(r, out);
  EXPECT_EQ(std::strlen(out), len);
  return std::string(out, len);
}

std::string floatText(double value, int outputPrecision, bool roundValue, uint_fast8_t bfrLen = 64) {
  char out[64];
  uint_fast8_t len = 0;
  char* r = float_to_ascii(out, bfrLen, value, &len, static_cast<int_fast8_t>(outputPrecision), roundValue);
  EXPECT_EQ(r, out);
  EXPECT_EQ(std::strlen(out), len);
  return std::string(out, len);
}

}  // namespace

TEST(UintToAscii, TextEndsFourBytesBeforeBufferEnd) {
  const uint64_t values[] = {0,         7,          10,          99,          100,
                             999,       1000,       9999,        10000,       12345,
                             99999999,  100000000,  4294967295u, 4294967296u, 10000000000000000000u,
                             UINT64_MAX};
  for (const uint_fast8_t bfrLen : {uint_fast8_t{24}, uint_fast8_t{28}, uint_fast8_t{64}}) {
    for (const uint64_t v : values) {
      uint32_t bfr[16];
      uint_fast8_t len = 0;
      char* text = uint_to_ascii(bfr, bfrLen, v, &len);
      const char* bfrEnd = reinterpret_cast<char*>(bfr) + bfrLen - 4;
      EXPECT_EQ(std::string(text), std::to_string(v));
      EXPECT_EQ(len, std::to_string(v).size());
      EXPECT_EQ(text + len, bfrEnd) << v;
      EXPECT_EQ(*bfrEnd, '\0');
    }
  }
  uint32_t bfr[6];
  EXPECT_STREQ(uint_to_ascii(bfr, 24, 5, nullptr), "5");  // a null length pointer is allowed
  EXPECT_STREQ(int_to_ascii(bfr, 24, INT64_MIN, nullptr), "-9223372036854775808");
}

TEST(UintToAscii, RightJustified) {
  struct Case {
    uint64_t value;
    unsigned fieldLen;
    char fill;
    const char* text;
  };
  const Case cases[] = {{42, 5, '0', "00042"},   {42, 1, '0', "42"},  {42, 2, ' ', "42"},
                        {0, 3, ' ', "  0"},      {123456, 4, '*', "123456"},
                        {7, 20, '0', "00000000000000000007"}};
  for (const Case& c : cases) {
    uint32_t bfr[6];
    EXPECT_STREQ(uint_to_ascii_right_justified(bfr, sizeof bfr, c.value,
                                               static_cast<uint_fast8_t>(c.fieldLen), c.fill),
                 c.text);
  }
  // The fill stops at the start of the buffer.
  uint32_t bfr[3];
  EXPECT_STREQ(uint_to_ascii_right_justified(bfr, sizeof bfr, 7, 30, '0'), "00000007");
}

TEST(UintToAscii, SmallBufferGivesEmptyTextNotAnOverrun) {
  // Exact-size heap buffers so that AddressSanitizer sees any stray byte.
  struct Case {
    unsigned bfrLen;
    uint64_t value;
    bool negative;
    const char* text;  // nullptr: does not fit
  };
  const Case cases[] = {{8, 1234, false, "1234"},   {8, 123, false, "123"},  {8, 12345, false, nullptr},
                        {8, 123, true, "-123"},     {8, 1234, true, nullptr}, {12, 12345678, false, "12345678"},
                        {12, 1234567, true, "-1234567"}, {12, 123456789, false, nullptr},
                        {4, 1, false, nullptr},     {0, 1, false, nullptr}};
  testing::internal::CaptureStderr();
  for (const Case& c : cases) {
    std::unique_ptr<uint32_t[]> bfr(new uint32_t[c.bfrLen / 4 + (c.bfrLen == 0)]);
    uint_fast8_t len = 99;
    const char* text = c.negative ? int_to_ascii(bfr.get(), static_cast<uint_fast8_t>(c.bfrLen),
                                                 -static_cast<int64_t>(c.value), &len)
                                  : uint_to_ascii(bfr.get(), static_cast<uint_fast8_t>(c.bfrLen), c.value, &len);
    EXPECT_STREQ(text, c.text ? c.text : "") << c.bfrLen << ' ' << c.value;
    EXPECT_EQ(len, std::strlen(text));
  }
  const std::string messages = testing::internal::GetCapturedStderr();
  EXPECT_NE(messages.find("too small"), std::string::npos);
}

TEST(FixedPointToAscii, WorkedExamples) {
  struct Case {
    int64_t value;
    unsigned precision;
    int outputPrecision;
    const char* text;
  };
  const Case cases[] = {
      {1250, 2, -2, "12.50"},   {1250, 2, -3, "12.5"},   {1250, 2, 1, "12.5"},
      {1250, 2, 4, "12.5000"},  {1250, 2, 0, "12."},     {5, 3, -2, "0.005"},
      {-25, 2, -2, "-0.25"},    {12000, 3, -3, "12."},   {12, 0, -2, "12."},
      {0, 0, -2, "0."},         {0, 3, -2, "0.000"},     {0, 3, -3, "0."},
      {-5, 1, -2, "-0.5"},      {100, 2, -3, "1."},      {INT64_MIN, 0, -2, "-9223372036854775808."},
      {INT64_MIN, 10, -2, "-922337203.6854775808"},      {INT64_MAX, 10, -3, "922337203.6854775807"},
      {1, 10, -2, "0.0000000001"},                       {-1, 10, 12, "-0.000000000100"},
      {1250, 2, -1, "12.50"},   {1250, 2, -4, "12.50"},  {1250, 2, -128, "12.50"},  // act as -2
      {123456, 3, 1, "123.4"},  {-123456, 3, 0, "-123."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fixedText(c.value, c.precision, c.outputPrecision), c.text)
        << c.value << " p" << c.precision << " o" << c.outputPrecision;
  }
}

TEST(FixedPointToAscii, CrazyPrecisionIsReportedAndReplacedByTwo) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(fixedText(12345, 12, -2), "123.45");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "crazy precision: 12 val=12345\n");
}

TEST(FixedPointToAscii, ShortBufferCutsTheText) {
  testing::internal::CaptureStderr();
  char out[6];
  uint_fast8_t len = 0;
  fixedpoint_to_ascii(out, sizeof out, -123456, 2, &len, 4);
  EXPECT_STREQ(out, "-1234");
  EXPECT_EQ(len, 5u);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("cut"), std::string::npos);
  // Room for the longest text at this precision: written in place, no message.
  char exact[1 + 20 + 1 + 2 + 1];
  fixedpoint_to_ascii(exact, sizeof exact, 7, 2, &len, -2);
  EXPECT_STREQ(exact, "0.07");
  // bfrLen 0: the caller vouches for the room; the text is written whole.
  char roomy[64];
  fixedpoint_to_ascii(roomy, 0, -123456, 2, &len, 4);
  EXPECT_STREQ(roomy, "-1234.5600");
  float_to_ascii(roomy, 0, 2.0, &len, -2, false);
  EXPECT_STREQ(roomy, "2.0");
  EXPECT_EQ(len, 3u);
}

TEST(FloatToAscii, WorkedExamples) {
  struct Case {
    double value;
    int outputPrecision;
    bool roundValue;
    const char* text;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {2.5, -1, false, "2.5"},      {2.0, -1, false, "2"},      {2.0, -2, false, "2.0"},
      {1.23456, 2, true, "1.23"},   {12.0, 0, true, "12."},     {nan, 2, false, "nan"},
      {-inf, 2, false, "inf"},      {inf, -1, false, "inf"},    {0.0, -1, false, "0"},
      {0.0, -2, false, "0.0"},      {-2.5, 0, true, "-3."},     {-0.25, 1, true, "-0.3"},
      {1.999, 2, false, "1.99"},    {1.999, 2, true, "2.00"},   {0.1, 12, false, "0.100000000"},
      {-1.5, -1, false, "-1.5"},    {1e30, 6, false, "9223372036854.775807"},   // saturates
      {-1e30, 0, false, "-9223372036854775808."},
      {3.14159, -3, true, "3.14159"}, {1e-7, -2, false, "0.0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(floatText(c.value, c.outputPrecision, c.roundValue), c.text)
        << c.value << " o" << c.outputPrecision << " r" << c.roundValue;
  }
}

TEST(FloatToAscii, NanAndInfinityRespectTheBufferLength) {
  char out[4] = {'x', 'x', 'x', 'x'};
  uint_fast8_t len = 0;
  float_to_ascii(out, 2, std::nan(""), &len, -1, false);
  EXPECT_STREQ(out, "n");
  EXPECT_EQ(len, 1u);
  EXPECT_EQ(out[2], 'x');
  float_to_ascii(out, 4, std::numeric_limits<double>::infinity(), &len, -1, false);
  EXPECT_STREQ(out, "inf");
  EXPECT_EQ(len, 3u);
}

// The digit and hexadecimal tables against printf, every entry: the macros
// that build them would show a slip only in the entries it touches.
TEST(FormatTables, HoldTheirTexts) {
  char text[8];
  for (unsigned n = 0; n < 10000; ++n) {
    std::snprintf(text, sizeof text, "%04u", n);
    ASSERT_EQ(std::string(numberAs4Digits[n].digits, 4), text);
  }
  for (unsigned b = 0; b < 256; ++b) {
    std::snprintf(text, sizeof text, "%02X%02x", b, b);
    ASSERT_EQ(std::string(byteAsUppercaseHexadecimal[b]) + byteAsLowercaseHexadecimal[b], text);
  }
}
