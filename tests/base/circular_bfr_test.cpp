// Buffer regions: the formatted bytes against hand-written images, both
// allocators' edge cases, list readers over either layout and byte order, and
// checkLists' verdicts.
#include "utils/base/circular_bfr.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "base/region_image.hpp"

namespace {

std::string componentId(const char* name) { return std::string(name) + ":" + std::to_string(getpid()); }

uint32_t offsetOf(const BufferRegion& r, const SharedBufferAllocRecord* rec) {
  return static_cast<uint32_t>(reinterpret_cast<const unsigned char*>(rec) - r.getBufferBase());
}

void expectBytes(const unsigned char* actual, const RegionImage& expected) {
  for (size_t i = 0; i < expected.bytes.size(); ++i) {
    ASSERT_EQ(actual[i], expected.bytes[i]) << "first difference at offset " << i;
  }
}

TEST(BufferRegion, PoolFormatMatchesImage) {
  if (!hostIsLittleEndian()) GTEST_SKIP() << "images are little-endian";
  Storage s(8192);
  CircularBufferManager pool(s.data(), 8192, 1024, "comp", "LOGCBFR");
  ASSERT_EQ(pool.getAvailableBlocks(), 7u);  // (8192 - 84) / 1044
  RegionImage image(8192, false);
  image.header(84, "LOGCBFR", componentId("comp"), 8192, 84, 0, 0);
  for (uint32_t i = 0; i < 7; ++i) {
    image.record(84 + 20 * i, 4, 224 + 1024 * i, 1024, 0xFFFFFFFFu, i < 6 ? 84 + 20 * (i + 1) : 0);
  }
  expectBytes(s.data(), image);
}

TEST(BufferRegion, FreeAreaFormatAndCarvingMatchImage) {
  if (!hostIsLittleEndian()) GTEST_SKIP() << "images are little-endian";
  Storage s(4096);
  FixedBufferManager area(s.data(), 4096, 64, "vars", "SHMVAR01");
  SharedBufferAllocRecord* first = area.allocateBlock(100);
  ASSERT_NE(first, nullptr);
  SharedBufferAllocRecord* empty = area.allocateBlock(0);  // a record and no data
  ASSERT_NE(empty, nullptr);
  RegionImage image(4096, false);
  image.header(84, "SHMVAR01", componentId("vars"), 4096, 84, 3928, 3908);
  image.record(84, 4, 104, 3824, 0xFFFFFFFFu, 0);  // 3992 - 148 - 20
  image.record(3928, 4, 3948, 148, 120, 3908);
  image.record(3908, 4, 3928, 20, 20, 0);
  expectBytes(s.data(), image);
  EXPECT_EQ(area.blockAddress(first), s.data() + 3948);
}

TEST(BufferRegion, RegionsWithoutRoomOrAlignmentGetNoBlocks) {
  Storage s(8192);
  struct Case {
    unsigned char* ptr;
    size_t len;
    size_t blockSize;
    size_t blocks;
  };
  const Case cases[] = {
      {s.data(), 84 + 20 + 64, 64, 1},        {s.data(), 84 + 20 + 60, 64, 0},
      {s.data() + 2, 1024, 64, 0},            {s.data(), 1022, 64, 0},
      {s.data(), 1024, 0, 0},                 {nullptr, 1024, 64, 0},
  };
  for (const Case& c : cases) {
    CircularBufferManager pool(c.ptr, c.len, c.blockSize, "t");
    EXPECT_EQ(pool.getAvailableBlocks(), c.blocks) << c.len << " " << c.blockSize;
  }
  // Allocation from either kind without blocks: null and one line each.
  CircularBufferManager pool(s.data(), 128, 64, "t");
  FixedBufferManager area(s.data(), 100, 64, "t");
  testing::internal::CaptureStderr();
  EXPECT_EQ(pool.allocateBlock(1), nullptr);
  EXPECT_EQ(area.allocateBlock(1), nullptr);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("CircularBufferManager: region"), std::string::npos) << err;
  EXPECT_NE(err.find("FixedBufferManager: region"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
  if constexpr (sizeof(size_t) > 4) {
    BufferRegion::OwnershipState none = BufferRegion::NOT_OWNER;
    FixedBufferManager huge(s.data(), static_cast<size_t>((uint64_t{1} << 32) + 4), 64, "t");
    EXPECT_EQ(huge.getAvailableBlocks(), 0u);
    EXPECT_EQ(huge.getOwnership(), none);
  }
}

// Returned blocks leave the active list wherever they stand and go on the
// free list's head; a reused block starts unfilled.
TEST(CircularBufferManager, ReturnsInAnyOrderKeepBothListsLinked) {
  struct Case {
    std::vector<size_t> returnOrder;  // indexes into the five allocations
    std::vector<uint64_t> activeAfterFirst;
  };
  const Case cases[] = {
      {{2, 0, 4, 1, 3}, {84, 104, 144, 164}},  // middle first
      {{4, 3, 2, 1, 0}, {84, 104, 124, 144}},  // tail first: the tail moves back
      {{0, 1, 2, 3, 4}, {104, 124, 144, 164}},
  };
  for (const Case& c : cases) {
    Storage s(4096);
    CircularBufferManager pool(s.data(), 4096, 256, "t");  // 14 blocks
    std::vector<SharedBufferAllocRecord*> held;
    for (int i = 0; i < 5; ++i) held.push_back(pool.allocateBlock(1));
    EXPECT_EQ(listOffsets(pool, true), (std::vector<uint64_t>{84, 104, 124, 144, 164}));
    std::vector<uint64_t> returned;
    for (size_t k = 0; k < c.returnOrder.size(); ++k) {
      SharedBufferAllocRecord* rec = held[c.returnOrder[k]];
      setUsedLength(rec, 7);
      pool.returnBlock(rec);
      returned.insert(returned.begin(), offsetOf(pool, rec));
      if (k == 0) {
        EXPECT_EQ(listOffsets(pool, true), c.activeAfterFirst);
      }
      ASSERT_EQ(pool.checkLists(0), 0);
    }
    const std::vector<uint64_t> free = listOffsets(pool, false);
    ASSERT_EQ(free.size(), 14u);
    EXPECT_EQ(std::vector<uint64_t>(free.begin(), free.begin() + 5), returned);
    const auto* h = reinterpret_cast<const SharedBufferRegionHeader_32*>(s.data());
    EXPECT_EQ(h->offset_startActiveList + h->offset_endActiveList + h->updatingThread, 0u);
    // A new allocation takes the last returned block, unfilled, behind a correct tail.
    SharedBufferAllocRecord* again = pool.allocateBlock(1);
    EXPECT_EQ(offsetOf(pool, again), returned.front());
    EXPECT_EQ(getUsedLength(again), SHARED_BUFFER_UNFILLED);
    EXPECT_EQ(listOffsets(pool, true), std::vector<uint64_t>{offsetOf(pool, again)});
  }
}

TEST(CircularBufferManager, RecordNotOnTheActiveListIsLeftAlone) {
  Storage s(4096);
  CircularBufferManager pool(s.data(), 4096, 256, "t");
  SharedBufferAllocRecord* a = pool.allocateBlock(1);
  SharedBufferAllocRecord* b = pool.allocateBlock(1);
  pool.returnBlock(a);
  testing::internal::CaptureStderr();
  pool.returnBlock(a);  // twice
  SharedBufferAllocRecord_32 outside{};
  pool.returnBlock(&outside);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("offset 84 is not on the active list"), std::string::npos) << err;
  EXPECT_EQ(pool.checkLists(0), 0);
  EXPECT_EQ(listOffsets(pool, true), std::vector<uint64_t>{offsetOf(pool, b)});
  EXPECT_EQ(listOffsets(pool, false).size(), pool.getAvailableBlocks() - 1);
}

TEST(FixedBufferManager, WholeRecordHandedOutWhenTooLittleWouldRemain) {
  Storage s(1024);
  FixedBufferManager area(s.data(), 1024, 64, "t");  // free record: 1024 - 104 = 920 bytes
  SharedBufferAllocRecord* big = area.allocateBlock(800);  // 832 + 20 = 852; 68 < 84 would remain
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(offsetOf(area, big), 84u);
  EXPECT_EQ(big->blockLen, 920u);
  EXPECT_EQ(area.getFreeListHead(), nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(area.allocateBlock(0), nullptr);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("TODO:  FixedBufferManager out of free blocks at "), std::string::npos) << err;
  EXPECT_NE(err.find(" blockDimensions=1024\n"), std::string::npos) << err;
  EXPECT_EQ(reinterpret_cast<const SharedBufferRegionHeader_32*>(s.data())->updatingThread, 0u);
}

TEST(FixedBufferManager, TooLargeRequestFailsAndLaterSmallOnesFit) {
  Storage s(4096);
  FixedBufferManager area(s.data(), 4096, 64, "t");
  testing::internal::CaptureStderr();
  EXPECT_EQ(area.allocateBlock(4000), nullptr);
  EXPECT_EQ(area.allocateBlock(SIZE_MAX), nullptr);  // no wrap-around
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(area.allocateBlock(10)->blockLen, 84u);
  EXPECT_EQ(area.checkLists(0), 0);
}

// Lists of a region written on another machine: either layout, either order.
TEST(BufferRegion, ListReadersFollowEitherLayoutAndByteOrder) {
  for (unsigned headerLen : {84u, 96u}) {
    for (bool big : {false, true}) {
      const unsigned width = headerLen == 84 ? 4 : 8;
      const size_t recordLen = 5 * width;
      RegionImage image(2048, big);
      const size_t r0 = headerLen, r1 = r0 + recordLen, r2 = r1 + recordLen, r3 = r2 + recordLen;
      image.header(headerLen, "CIRCBFR", "far:1", 2048, r2, r0, r3);
      image.record(r0, width, 1000, 100, 5, r1);
      image.record(r1, width, 1100, 100, 7, r3);
      image.record(r2, width, 1200, 100, 0xFFFFFFFFu, 0);
      image.record(r3, width, 1300, 100, 9, 0);
      Storage s(2048);
      std::memcpy(s.data(), image.bytes.data(), 2048);
      CircularBufferManager reader(s.data(), 2048);
      const std::string label = std::to_string(headerLen) + (big ? " big" : " little");
      EXPECT_EQ(listOffsets(reader, true), (std::vector<uint64_t>{r0, r1, r3})) << label;
      EXPECT_EQ(listOffsets(reader, false), std::vector<uint64_t>{r2}) << label;
      EXPECT_EQ(reader.recordField(reader.getActiveListHead(), BufferRegion::REC_BLOCK), 1000u) << label;
      EXPECT_EQ(reader.checkLists(0), 0) << label;
      EXPECT_EQ(reader.allocateBlock(1) == nullptr, big || headerLen == 96) << label;  // read-only
    }
  }
}

TEST(BufferRegion, UntrustedOffsetsAreNotFollowed) {
  RegionImage image(512, false);
  image.header(84, "CIRCBFR", "far:1", 512, 500, 84, 84);  // free head: record would cross the end
  image.record(84, 4, 200, 10, 1, 492);                    // exactly fits: 492 + 20 = 512
  image.record(492, 4, 200, 10, 1, 40);                    // inside the header
  Storage s(512);
  std::memcpy(s.data(), image.bytes.data(), 512);
  CircularBufferManager reader(s.data(), 512);
  EXPECT_EQ(reader.getFreeListHead(), nullptr);
  EXPECT_EQ(listOffsets(reader, true), (std::vector<uint64_t>{84, 492}));
  s.data()[8] = 90;  // neither layout
  EXPECT_EQ(reader.getActiveListHead(), nullptr);
}

TEST(BufferRegion, CheckListsNamesEachCorruption) {
  struct Case {
    const char* what;
    std::vector<std::array<uint32_t, 2>> records;  // offset, next
    uint32_t freeHead;
    const char* message;
  };
  const Case cases[] = {
      {"single record back to itself", {{84, 84}}, 84, "CORRUPTION:  LOOP on free block list at record 1 check "},
      {"last back to head", {{84, 104}, {104, 124}, {124, 84}}, 84,
       "CORRUPTION:  LOOP on free block list at record 3 check "},
      {"self loop", {{84, 104}, {104, 104}}, 84, "CORRUPTION:  self-LOOP on free block list at record 2 check "},
      {"loop to the middle", {{84, 104}, {104, 124}, {124, 104}}, 84,
       "CORRUPTION:  LOOP on free block list at record 20 check "},
      {"offset past the end", {{84, 490}}, 84, "CORRUPTION:  bad offset 490 on free block list at record 1 check "},
  };
  for (const Case& c : cases) {
    RegionImage image(500, false);
    image.header(84, "CIRCBFR", "t:1", 500, c.freeHead, 0, 0);
    for (const auto& r : c.records) image.record(r[0], 4, 300, 10, 0, r[1]);
    Storage s(500);
    std::memcpy(s.data(), image.bytes.data(), 500);
    CircularBufferManager reader(s.data(), 500);
    testing::internal::CaptureStderr();
    EXPECT_EQ(reader.checkLists(0), 1) << c.what;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind(c.message, 0), 0u) << c.what << ": " << err;
  }
}

TEST(BufferRegion, CheckListsDisplaysRecordsAndTotals) {
  Storage s(1024);
  CircularBufferManager pool(s.data(), 1024, 16, "t");  // (1024 - 84) / 36 = 26 blocks from 604
  std::vector<SharedBufferAllocRecord*> held;
  for (int i = 0; i < 26; ++i) held.push_back(pool.allocateBlock(1));
  std::memcpy(pool.blockAddress(held[0]), "hello", 5);
  setUsedLength(held[0], 5);
  std::memcpy(pool.blockAddress(held[1]), "0123456789abcdef", 16);
  setUsedLength(held[1], 64);  // more than the block: shown up to the block's end
  pool.returnBlock(held[25]);  // held[2] stays unfilled: no text, no used bytes
  testing::internal::CaptureStderr();
  EXPECT_EQ(pool.checkLists(2), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.substr(0, err.find("ACTIVE offset_allocRecord=144")),
            "FREE offset_allocRecord=584 offset_block=1004 blocklen=16 usedLen=4294967295 nextInChain=0\n"
            "ACTIVE offset_allocRecord=84 offset_block=604 blocklen=16 usedLen=5 nextInChain=104 text=hello\n"
            "ACTIVE offset_allocRecord=104 offset_block=620 blocklen=16 usedLen=64 nextInChain=124 "
            "text=0123456789abcdef\n"
            "ACTIVE offset_allocRecord=124 offset_block=636 blocklen=16 usedLen=4294967295 nextInChain=144 text=\n");
  EXPECT_NE(err.find("\nfreeRecordCount: 1\nactiveRecordCount: 25\ntotalUsedBytes: 69\ntotalActiveBytes: 400\n"),
            std::string::npos)
      << err;
  testing::internal::CaptureStderr();
  EXPECT_EQ(pool.checkLists(0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace

// One process allocates and fills blocks of a file-backed pool, through a
// manager attached to its own mapping (the block size read from the region),
// while another walks the active list: offsets, not pointers.
TEST(BufferRegion, TwoProcessesShareAFileBackedPool) {
  char path[] = "/tmp/narvelix_region_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 8192), 0);
  void* mine = mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ASSERT_NE(mine, MAP_FAILED);
  CircularBufferManager pool(mine, 8192, 256, "parent");
  constexpr int BLOCKS = 5;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    void* theirs = mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (theirs == MAP_FAILED) _exit(2);
    CircularBufferManager writer(theirs, 8192);
    for (int i = 0; i < BLOCKS; ++i) {
      SharedBufferAllocRecord* rec = writer.allocateBlock(1);
      if (rec == nullptr) _exit(3);
      const int n = std::snprintf(reinterpret_cast<char*>(writer.blockAddress(rec)), 256, "line %d", i);
      setUsedLength(rec, static_cast<uint32_t>(n));
      usleep(1000);
    }
    _exit(0);
  }
  std::vector<std::string> seen;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (seen.size() < BLOCKS && std::chrono::steady_clock::now() < deadline) {
    seen.clear();
    for (SharedBufferAllocRecord* rec = pool.getActiveListHead(); rec != nullptr; rec = pool.traverseNextBlock(rec)) {
      const uint32_t used = getUsedLength(rec);
      if (used == SHARED_BUFFER_UNFILLED) break;
      seen.emplace_back(reinterpret_cast<char*>(pool.blockAddress(rec)), used);
    }
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(seen, (std::vector<std::string>{"line 0", "line 1", "line 2", "line 3", "line 4"}));
  EXPECT_EQ(pool.checkLists(0), 0);
  munmap(mine, 8192);
  close(fd);
  unlink(path);
}
