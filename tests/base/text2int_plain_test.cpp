// The plain-number paths against the table parsers on every processor, and
// the 16-byte vector paths against the 8-byte word paths where AVX2 runs: on
// random texts (digits, signs, points and other bytes, lengths around the 8-
// and 16-byte limits, junk bytes behind the text) a word path gives the table
// parser's value for every text it accepts, and a vector path accepts exactly
// the texts the word path accepts within its limits, with the same value and
// precision.
#include "utils/base/text2int_plain.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "utils/base/byte_masks.hpp"

namespace {

using namespace text2int_plain;

// The text with 64 readable bytes behind it, which are not digits' zeros:
// a path that used them would show.
struct Text {
  char bytes[96];
  uint32_t length;
  explicit Text(const std::string& s, char filler = '7') : length(static_cast<uint32_t>(s.size())) {
    std::memset(bytes, filler, sizeof bytes);
    std::memcpy(bytes, s.data(), s.size());
  }
};

struct Results {
  bool digitsWord, digitsVector;
  uint64_t digitsWordValue, digitsVectorValue;
  bool signedWord[2], signedVector[2];
  uint64_t signedWordValue[2], signedVectorValue[2];
  bool fixedWord, fixedVector;
  int64_t fixedWordValue, fixedVectorValue;
  uint32_t fixedWordPlaces, fixedVectorPlaces;
};

#if defined(ZUR_USE_AVX2)
const bool VECTOR_PATHS = byte_masks::avx2Available();
__attribute__((target("avx2"))) Results vectorResults(const Text& t, Results r) {
  r.digitsVector = digitsValue16(t.bytes, t.length, &r.digitsVectorValue);
  const uint32_t maxDigits[2] = {9, 16};
  for (int m = 0; m < 2; ++m) {
    r.signedVector[m] = signedDigits16(t.bytes, t.length, maxDigits[m], &r.signedVectorValue[m]);
  }
  r.fixedVector = plainFixedValue16(t.bytes, t.length, &r.fixedVectorValue, &r.fixedVectorPlaces);
  return r;
}
#else
const bool VECTOR_PATHS = false;
Results vectorResults(const Text&, Results r) { return r; }
#endif

Results results(const Text& t) {
  Results r{};
  r.digitsWord = t.length <= 19 && digitsValue(t.bytes, t.length, &r.digitsWordValue);
  const uint32_t maxDigits[2] = {9, 16};
  for (int m = 0; m < 2; ++m) {
    r.signedWord[m] = t.length < 256 && signedDigits(t.bytes, static_cast<uint_fast8_t>(t.length),
                                                     maxDigits[m], &r.signedWordValue[m]);
  }
  r.fixedWord = t.length != 0 && t.length < 256 &&
                plainFixedValue(t.bytes, t.length, &r.fixedWordValue, &r.fixedWordPlaces);
  return VECTOR_PATHS ? vectorResults(t, r) : r;
}

// Checks one text; returns false (with a failure) on the first mismatch.
bool agree(const std::string& s, char filler = '7') {
  const Text t(s, filler);
  const Results r = results(t);
  const uint32_t sign = s.size() > 1 && s[0] == '-' ? 1u : 0u;
  const auto digits = static_cast<uint32_t>(s.size()) - sign;

  const auto len = static_cast<uint_fast8_t>(t.length);
  if (r.digitsWord) {
    EXPECT_EQ(r.digitsWordValue, text2uint64(t.bytes, len)) << '"' << s << '"';
  }
  const uint32_t maxDigits[2] = {9, 16};
  for (int m = 0; m < 2; ++m) {
    if (r.signedWord[m]) {
      EXPECT_EQ(static_cast<int64_t>(r.signedWordValue[m]), text2int64(t.bytes, len))
          << '"' << s << '"';
    }
  }
  if (r.fixedWord) {
    const VariableFixedPointValue fp = fast_ascii_to_fixedpoint(t.bytes, len, -2);
    EXPECT_EQ(r.fixedWordValue, fp.value) << '"' << s << '"';
    EXPECT_EQ(r.fixedWordPlaces, static_cast<uint32_t>(static_cast<uint8_t>(fp.precision)))
        << '"' << s << '"';
  }
  if (!VECTOR_PATHS) return !testing::Test::HasFailure();

  EXPECT_EQ(r.digitsVector, r.digitsWord && s.size() <= 16) << '"' << s << '"';
  if (r.digitsVector) {
    EXPECT_EQ(r.digitsVectorValue, r.digitsWordValue) << '"' << s << '"';
  }
  for (int m = 0; m < 2; ++m) {
    EXPECT_EQ(r.signedVector[m], r.signedWord[m] && digits <= maxDigits[m]) << '"' << s << '"';
    if (r.signedVector[m]) {
      EXPECT_EQ(r.signedVectorValue[m], r.signedWordValue[m]) << '"' << s << '"';
    }
  }
  EXPECT_EQ(r.fixedVector, r.fixedWord && digits <= 16) << '"' << s << '"';
  if (r.fixedVector) {
    EXPECT_EQ(r.fixedVectorValue, r.fixedWordValue) << '"' << s << '"';
    EXPECT_EQ(r.fixedVectorPlaces, r.fixedWordPlaces) << '"' << s << '"';
  }
  return !testing::Test::HasFailure();
}

TEST(PlainNumbers, EdgeTexts) {
  const char* const texts[] = {
      "", "0", "-", "-0", "+5", "5.", ".5", "-.5", "1.2.3", "-5", "-0.00", "00012.340", "1a", " 1", "1 ", "--1",
      "1-", "-1.", "9999999999999999", "99999999999999999", "-9999999999999999", "-99999999999999999",
      "123456789", "1234567890", "-123456789", "-1234567890", "12345678901234.5", "-12345678901234.5",
      "1.234567890123456", "1.2345678901234567", "123456789012345.", "0.000000000000001", "18446744073709551615"};
  for (const char* text : texts) {
    ASSERT_TRUE(agree(text)) << text;
    ASSERT_TRUE(agree(text, '.')) << text;
    ASSERT_TRUE(agree(text, '\0')) << text;
  }
}

TEST(PlainNumbers, RandomTexts) {
  std::mt19937 rng(20261206);
  const char alphabet[] = "0123456789012345678901234567890123456789-.-.+ ae";
  for (int i = 0; i < 200000; ++i) {
    std::string s;
    const auto length = static_cast<unsigned>(rng() % 21);
    // Mostly number-shaped texts, so that all paths accept often.
    const bool shaped = rng() % 2 == 0;
    for (unsigned k = 0; k < length; ++k) {
      if (shaped) {
        s += static_cast<char>('0' + rng() % 10);
      } else {
        s += alphabet[rng() % (sizeof alphabet - 1)];
      }
    }
    if (shaped && length > 1) {
      if (rng() % 2 == 0) s[0] = '-';
      if (rng() % 3 != 0) s[1 + rng() % (length - 1)] = '.';
    }
    ASSERT_TRUE(agree(s, static_cast<char>("7.-0a"[rng() % 5]))) << '"' << s << '"';
  }
}

}  // namespace
