// LineFeedScanner against memchr: every line feed of random buffers, found in
// order while the buffer's valid end grows (as reads append to it), with
// densities from none to every byte and blocks that end on a line feed.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "utils/io/line_feed_scanner.hpp"

namespace {

std::vector<size_t> memchrLineFeeds(const std::vector<unsigned char>& data) {
  std::vector<size_t> at;
  for (size_t i = 0; i < data.size(); ++i) {
    const void* lf = std::memchr(data.data() + i, '\n', data.size() - i);
    if (lf == nullptr) break;
    i = static_cast<size_t>(static_cast<const unsigned char*>(lf) - data.data());
    at.push_back(i);
  }
  return at;
}

TEST(LineFeedScanner, FindsEveryLineFeedAsTheBufferGrows) {
  std::mt19937 random(1206);
  for (const unsigned everyNth : {0u, 1u, 2u, 17u, 64u, 90u, 1000u}) {
    for (int round = 0; round < 20; ++round) {
      std::vector<unsigned char> data(1 + random() % 700);
      for (unsigned char& c : data) {
        c = static_cast<unsigned char>('a' + random() % 26);
        if (everyNth != 0 && random() % everyNth == 0) c = '\n';
      }
      if (round == 0 && data.size() > 64) data[63] = '\n';  // last byte of a block
      const std::vector<size_t> expected = memchrLineFeeds(data);

      // The valid end grows in random steps; lines are taken as they appear.
      LineFeedScanner scanner;
      scanner.reset(0);
      std::vector<size_t> found;
      size_t start = 0;
      size_t end = 0;
      while (end < data.size()) {
        end = std::min(data.size(), end + 1 + random() % 150);
        for (;;) {
          const size_t lf = scanner.next(data.data(), start, end);
          if (lf == end) break;
          found.push_back(lf);
          start = lf + 1;
        }
      }
      EXPECT_EQ(found, expected) << "every " << everyNth << " round " << round;
    }
  }
}

TEST(LineFeedScanner, ResetAfterTheBytesMove) {
  // A partial line moved to the front of the buffer, as the reader does
  // before its next read.
  std::vector<unsigned char> data(200, 'x');
  data[10] = '\n';
  data[150] = '\n';
  LineFeedScanner scanner;
  scanner.reset(0);
  EXPECT_EQ(scanner.next(data.data(), 0, 120), 10u);
  EXPECT_EQ(scanner.next(data.data(), 11, 120), 120u);
  std::memmove(data.data(), data.data() + 11, 189);
  scanner.reset(0);
  EXPECT_EQ(scanner.next(data.data(), 0, 189), 139u);
  EXPECT_EQ(scanner.next(data.data(), 140, 189), 189u);
}

}  // namespace
