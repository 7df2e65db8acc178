// Every byte-mask implementation this build and processor have, against
// plain byte predicates: random blocks over all 256 byte values, each kind of
// class (one to four bytes, ranges touching 0 and 255 or crossing 0x7F/0x80,
// letters), at every block width.
#include "utils/base/byte_masks.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using byte_masks::ByteTest;
constexpr std::size_t TESTS = 11;
using Builder = std::function<void(std::size_t bytes, const unsigned char*,
                                   const ByteTest (&)[TESTS], uint64_t (&)[TESTS])>;

template <typename Impl>
void buildWith(std::size_t bytes, const unsigned char* p, const ByteTest (&t)[TESTS],
               uint64_t (&m)[TESTS]) {
  if (bytes == 16) Impl::template build<16>(p, t, m);
  if (bytes == 32) Impl::template build<32>(p, t, m);
  if (bytes == 64) Impl::template build<64>(p, t, m);
}

#if defined(ZUR_USE_AVX2)
__attribute__((target("avx2"))) void buildAvx2(std::size_t bytes, const unsigned char* p,
                                               const ByteTest (&t)[TESTS], uint64_t (&m)[TESTS]) {
  if (bytes == 32) byte_masks::Avx2::build<32>(p, t, m);
  if (bytes == 64) byte_masks::Avx2::build<64>(p, t, m);
  if (bytes == 16) byte_masks::Portable::build<16>(p, t, m);  // no 16-byte form
}
#endif

struct Implementation {
  std::string name;
  Builder build;
};

std::vector<Implementation> implementations() {
  std::vector<Implementation> all = {{"portable", buildWith<byte_masks::Portable>}};
#if defined(ZUR_USE_SSE2)
  all.push_back({"sse2", buildWith<byte_masks::Sse2>});
#endif
#if defined(ZUR_USE_AVX2)
  if (byte_masks::avx2Available()) all.push_back({"avx2", buildAvx2});
#endif
#if defined(ZUR_USE_NEON)
  all.push_back({"neon", buildWith<byte_masks::Neon>});
#endif
  return all;
}

TEST(ByteMasks, EveryImplementationMatchesTheBytePredicates) {
  const unsigned char four[4] = {'"', 0, 0xFF, ';'};
  const ByteTest tests[TESTS] = {byte_masks::equal(','),        byte_masks::either('"', 0),
                                 byte_masks::anyOf(four, 3),    byte_masks::anyOf(four, 4),
                                 byte_masks::range('0', '9'),   byte_masks::range(0, 31),
                                 byte_masks::range(0x80, 0xFF), byte_masks::letter(),
                                 byte_masks::range(0x7F, 0x80), byte_masks::range(0, 0xFF),
                                 byte_masks::either(0x7F, 0x80)};
  const std::function<bool(unsigned char)> expected[TESTS] = {
      [](unsigned char c) { return c == ','; },
      [](unsigned char c) { return c == '"' || c == 0; },
      [](unsigned char c) { return c == '"' || c == 0 || c == 0xFF; },
      [](unsigned char c) { return c == '"' || c == 0 || c == 0xFF || c == ';'; },
      [](unsigned char c) { return c >= '0' && c <= '9'; },
      [](unsigned char c) { return c <= 31; },
      [](unsigned char c) { return c >= 0x80; },
      [](unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); },
      [](unsigned char c) { return c == 0x7F || c == 0x80; },
      [](unsigned char) { return true; },
      [](unsigned char c) { return c == 0x7F || c == 0x80; },
  };
  std::mt19937 random(1207);
  unsigned char block[64];
  for (const Implementation& impl : implementations()) {
    for (int round = 0; round < 300; ++round) {
      // Half the rounds draw from the bytes the classes test, so that hits
      // are dense; a round of each sweeps all 256 values in order.
      const char dense[] = ",\"\0\xFF;09/:@AZ[`az{\x7F\x80\x1F ";
      for (unsigned i = 0; i < 64; ++i) {
        block[i] = round < 4 ? static_cast<unsigned char>(64u * static_cast<unsigned>(round) + i)
                   : round % 2 != 0
                       ? static_cast<unsigned char>(random())
                       : static_cast<unsigned char>(dense[random() % (sizeof dense - 1)]);
      }
      for (const std::size_t bytes : {std::size_t{16}, std::size_t{32}, std::size_t{64}}) {
        uint64_t masks[TESTS];
        impl.build(bytes, block, tests, masks);
        for (std::size_t k = 0; k < TESTS; ++k) {
          uint64_t want = 0;
          for (unsigned i = 0; i < bytes; ++i)
            want |= static_cast<uint64_t>(expected[k](block[i])) << i;
          ASSERT_EQ(masks[k], want)
              << impl.name << " class " << k << " width " << bytes << " round " << round;
        }
      }
    }
  }
}

}  // namespace
