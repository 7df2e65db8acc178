// Buffer regions under concurrent use: threads allocating and returning pool
// blocks in and out of order, and threads carving one free area. Afterwards
// checkLists and a full census find nothing lost, duplicated or overlapping.
#include "utils/base/circular_wait.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "base/region_image.hpp"
#include "utils/base/circular_bfr.hpp"

namespace {

constexpr int THREADS = 4;

TEST(CircularBufferManagerThreads, BlocksAreNeverHandedOutTwice) {
  // 13 blocks, each thread holding at most 4: the pool runs dry (threads wait
  // for returns) but never with every thread waiting.
  constexpr size_t BLOCK = 64;
  std::vector<uint64_t> storage(((84 + 13 * (BLOCK + 20)) + 7) / 8, 0);
  const size_t len = 84 + 13 * (BLOCK + 20);
  CircularBufferManager pool(storage.data(), len, BLOCK, "stress");
  ASSERT_EQ(pool.getAvailableBlocks(), 13u);
  std::atomic<int> failures{0};
  auto worker = [&](int id) {
    std::mt19937 random(static_cast<unsigned>(id) * 7919u + 1u);
    std::vector<std::pair<SharedBufferAllocRecord*, uint32_t>> held;
    for (uint32_t step = 0; step < 20000; ++step) {
      const bool give = held.size() == 4 || (!held.empty() && random() % 2 == 0);
      if (give) {
        // Any held block, not only the oldest.
        const size_t k = random() % held.size();
        auto [rec, stamp] = held[k];
        uint32_t seen;
        std::memcpy(&seen, pool.blockAddress(rec), sizeof seen);
        if (seen != stamp) failures.fetch_add(1);
        held.erase(held.begin() + static_cast<long>(k));
        pool.returnBlock(rec);
      } else {
        SharedBufferAllocRecord* rec = pool.allocateBlock(BLOCK);
        if (rec == nullptr) {
          failures.fetch_add(1);
          continue;
        }
        const uint32_t stamp = static_cast<uint32_t>(id) << 24 | step;
        std::memcpy(pool.blockAddress(rec), &stamp, sizeof stamp);
        held.emplace_back(rec, stamp);
      }
    }
    for (auto& [rec, stamp] : held) pool.returnBlock(rec);
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < THREADS; ++i) threads.emplace_back(worker, i);
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(pool.checkLists(0), 0);
  EXPECT_TRUE(listOffsets(pool, true).empty());
  std::vector<uint64_t> free = listOffsets(pool, false);
  std::sort(free.begin(), free.end());
  std::vector<uint64_t> all;
  for (uint64_t i = 0; i < 13; ++i) all.push_back(84 + 20 * i);
  EXPECT_EQ(free, all);
}

TEST(RegionLockKey, ThreadsGetDistinctNonZeroKeys) {
  uint32_t keys[THREADS] = {};
  std::vector<std::thread> threads;
  for (int i = 0; i < THREADS; ++i) threads.emplace_back([&keys, i] { keys[i] = ZUR_regionLockKey(); });
  for (std::thread& t : threads) t.join();
  std::set<uint32_t> distinct(keys, keys + THREADS);
  distinct.insert(ZUR_regionLockKey());
  EXPECT_EQ(distinct.size(), size_t{THREADS + 1});
  EXPECT_EQ(distinct.count(0u), 0u);
}

TEST(FixedBufferManagerThreads, ConcurrentAllocationsDoNotOverlap) {
  constexpr size_t LEN = 1 << 20;
  constexpr int PER_THREAD = 500;
  std::vector<uint64_t> storage(LEN / 8, 0);
  FixedBufferManager area(storage.data(), LEN, 64, "stress");
  std::vector<std::vector<SharedBufferAllocRecord*>> got(THREADS);
  std::vector<std::thread> threads;
  for (int i = 0; i < THREADS; ++i) {
    threads.emplace_back([&, i] {
      for (int k = 0; k < PER_THREAD; ++k) {
        got[static_cast<size_t>(i)].push_back(area.allocateBlock(static_cast<size_t>(k % 200)));
      }
    });
  }
  for (std::thread& t : threads) t.join();
  std::set<std::pair<uint32_t, uint32_t>> spans;  // footprints [start, end)
  uint64_t used = 0;
  for (const auto& list : got) {
    for (SharedBufferAllocRecord* rec : list) {
      ASSERT_NE(rec, nullptr);
      spans.emplace(rec->offset_allocRecord, rec->offset_allocRecord + rec->blockLen);
      used += rec->blockLen;
    }
  }
  ASSERT_EQ(spans.size(), size_t{THREADS * PER_THREAD});
  uint32_t end = 0;
  for (const auto& [start, stop] : spans) {
    EXPECT_GE(start, end);
    end = stop;
  }
  const SharedBufferAllocRecord* freeRec = area.getFreeListHead();
  ASSERT_NE(freeRec, nullptr);
  EXPECT_EQ(used + freeRec->blockLen + 104, LEN);
  EXPECT_EQ(listOffsets(area, true).size(), size_t{THREADS * PER_THREAD});
  EXPECT_EQ(area.checkLists(0), 0);
}

}  // namespace
