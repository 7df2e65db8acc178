// The compile-time helpers and atomic value helpers behave as plain code would.
#include "utils/base/compiler_hints.hpp"
#include "utils/base/atomic_values.hpp"

#include <gtest/gtest.h>

TEST(AtomicValues, UpdatesAndReturnsAsDocumented) {
  uint32_t word = 0x0F;
  EXPECT_EQ(zur::fetchOr(&word, 0xF0u), 0x0Fu);
  EXPECT_EQ(zur::loadRelaxed(&word), 0xFFu);
  EXPECT_EQ(zur::fetchAndNot(&word, 0x0Fu), 0xFFu);
  EXPECT_EQ(word, 0xF0u);
  EXPECT_TRUE(zur::compareExchange(&word, 0xF0u, 7u));
  EXPECT_FALSE(zur::compareExchange(&word, 0xF0u, 9u));
  EXPECT_EQ(word, 7u);
  uint64_t big = UINT64_C(0xFFFFFFFF);
  EXPECT_EQ(zur::addRelaxed(&big, uint64_t{1}), UINT64_C(0x100000000));
}

TEST(CompilerHints, LiteralLengthAndArrayCount) {
  static_assert(ZUR_LITERAL_LEN("abc") == 3);
  const int a[5] = {};
  static_assert(ZUR_ARRAY_COUNT(a) == 5);
  EXPECT_TRUE(ZUR_LIKELY(1 + 1 == 2));
}
