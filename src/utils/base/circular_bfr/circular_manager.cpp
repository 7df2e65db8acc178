// The pool allocator: equal-sized blocks, free list last-in first-out, active
// list in allocation order. Every list change is made while holding the region
// lock; the free head is popped with a 32-bit compare-and-swap under the lock
// (the head and the lock word are not an 8-aligned pair, so no 64-bit swap).
// Waiting is spinning with the relax hint, sched_yield and, while the pool is
// exhausted, a 100 ms sleep every 16th attempt: no system lock is taken.
#include <time.h>

#include <cstdio>

#include "utils/base/circular_bfr.hpp"
#include "utils/base/circular_wait.hpp"
#include "utils/base/compiler_hints.hpp"

std::atomic<uint32_t> CircularBufferManager::TOTAL_allocation_wait_spins{0};
std::atomic<uint32_t> CircularBufferManager::TOTAL_return_wait_spins{0};

namespace {

constexpr uint32_t HEADER_LEN = sizeof(SharedBufferRegionHeader_32);
constexpr uint32_t RECORD_LEN = sizeof(SharedBufferAllocRecord_32);

ZUR_COLD void reportNotActive(uint32_t offset) {
  std::fprintf(stderr, "CircularBufferManager: returned record at offset %u is not on the active list; ignored\n",
               offset);
}

// Block size of a formatted native region: blockLen of its first record.
size_t firstBlockLength(const void* ptr, size_t len) {
  if (!BufferRegion::isNativeRegion32(ptr, len) || len < HEADER_LEN + RECORD_LEN) return 0;
  return reinterpret_cast<const SharedBufferAllocRecord_32*>(static_cast<const unsigned char*>(ptr) + HEADER_LEN)
      ->blockLen;
}

}  // namespace

CircularBufferManager::CircularBufferManager(void* ptr, size_t len)
    : BufferRegion(ptr, len, firstBlockLength(ptr, len), NOT_OWNER) {}

CircularBufferManager::CircularBufferManager(void* ptr, size_t len, size_t block_size, const char* component,
                                             const char* magicNumber)
    : BufferRegion(ptr, len, block_size, NOT_OWNER) {
  SharedBufferRegionHeader_32* h = formatHeader(component, magicNumber);
  const uint32_t count = static_cast<uint32_t>(availableBlocks);
  if (h == nullptr || count == 0) return;
  const uint32_t firstBlock = HEADER_LEN + RECORD_LEN * count;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t offset = HEADER_LEN + RECORD_LEN * i;
    SharedBufferAllocRecord_32* rec = nativeRecord(offset);
    rec->offset_allocRecord = offset;
    rec->offset_block = firstBlock + static_cast<uint32_t>(blockSize) * i;
    rec->blockLen = static_cast<uint32_t>(blockSize);
    rec->usedLen = SHARED_BUFFER_UNFILLED;
    rec->offset_nextInChain = i + 1 < count ? offset + RECORD_LEN : 0;
  }
  h->offset_startFreeList = HEADER_LEN;
}

CircularBufferManager::~CircularBufferManager() = default;

SharedBufferAllocRecord* CircularBufferManager::allocateBlock(size_t /*len*/) {
  if (ZUR_UNLIKELY(availableBlocks == 0)) {
    reportNoBlocks("CircularBufferManager");
    return nullptr;
  }
  SharedBufferRegionHeader_32* h = header32();
  ZUR_PREFETCH(h);
  const uint32_t key = ZUR_regionLockKey();
  uint32_t spins = UINT32_MAX;  // the first attempt counts 0
  for (;;) {
    // Wait for a free block, then for the lock.
    const uint32_t seen = __atomic_load_n(&h->offset_startFreeList, __ATOMIC_RELAXED);
    ++spins;
    if (seen == 0) {
      if ((spins & 15u) == 15u) {
        const timespec pause{0, 100000000};
        nanosleep(&pause, nullptr);
      } else {
        sched_yield();
      }
      continue;
    }
    uint32_t unlocked = 0;
    // seq_cst: the lock's acquire; pairs with the release in unlockRegion.
    if (__atomic_load_n(&h->updatingThread, __ATOMIC_RELAXED) != 0 ||
        !__atomic_compare_exchange_n(&h->updatingThread, &unlocked, key, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_RELAXED)) {
      ZUR_spinPause(spins);
      continue;
    }
    // Lock held: pop the free head. Another allocator may have taken the last
    // block between the look above and the lock; then wait again unlocked
    // (returners need the lock to give a block back).
    uint32_t off0 = __atomic_load_n(&h->offset_startFreeList, __ATOMIC_RELAXED);
    while (off0 != 0) {
      const uint32_t next = __atomic_load_n(&nativeRecord(off0)->offset_nextInChain, __ATOMIC_RELAXED);
      if (__atomic_compare_exchange_n(&h->offset_startFreeList, &off0, next, false, __ATOMIC_SEQ_CST,
                                      __ATOMIC_RELAXED)) {
        break;
      }
    }
    if (off0 == 0) {
      unlockRegion();
      continue;
    }
    if (spins != 0) TOTAL_allocation_wait_spins.fetch_add(spins, std::memory_order_relaxed);
    SharedBufferAllocRecord_32* rec = nativeRecord(off0);
    __atomic_store_n(&rec->usedLen, SHARED_BUFFER_UNFILLED, __ATOMIC_RELAXED);
    appendActive(rec, off0);
    unlockRegion();
    return rec;
  }
}

void CircularBufferManager::returnBlock(SharedBufferAllocRecord* rec) {
  if (rec == nullptr || availableBlocks == 0) return;
  const unsigned char* at = reinterpret_cast<unsigned char*>(rec);
  if (at < region + HEADER_LEN || at >= region + HEADER_LEN + RECORD_LEN * availableBlocks) {
    reportNotActive(0);
    return;
  }
  const uint32_t offset = static_cast<uint32_t>(at - region);
  const uint32_t spins = lockRegion(ZUR_regionLockKey());
  if (spins != 0) TOTAL_return_wait_spins.fetch_add(spins, std::memory_order_relaxed);
  SharedBufferRegionHeader_32* h = header32();
  const uint32_t next = __atomic_load_n(&rec->offset_nextInChain, __ATOMIC_RELAXED);
  uint32_t previous = 0;  // record before rec on the active list; 0 = rec is the head
  uint32_t cursor = __atomic_load_n(&h->offset_startActiveList, __ATOMIC_RELAXED);
  for (size_t walked = 0; cursor != offset; ++walked) {
    if (cursor == 0 || walked >= availableBlocks) {
      unlockRegion();
      reportNotActive(offset);
      return;
    }
    previous = cursor;
    cursor = __atomic_load_n(&nativeRecord(cursor)->offset_nextInChain, __ATOMIC_RELAXED);
  }
  if (previous == 0) {
    __atomic_store_n(&h->offset_startActiveList, next, __ATOMIC_RELAXED);
  } else {
    __atomic_store_n(&nativeRecord(previous)->offset_nextInChain, next, __ATOMIC_RELAXED);
  }
  if (__atomic_load_n(&h->offset_endActiveList, __ATOMIC_RELAXED) == offset) {
    __atomic_store_n(&h->offset_endActiveList, previous, __ATOMIC_RELAXED);
  }
  // Push on the free list: plain stores, the lock orders them for the next
  // holder (an unlocked allocator only peeks at the head to decide to wait).
  __atomic_store_n(&rec->offset_nextInChain, __atomic_load_n(&h->offset_startFreeList, __ATOMIC_RELAXED),
                   __ATOMIC_RELAXED);
  __atomic_store_n(&h->offset_startFreeList, offset, __ATOMIC_RELAXED);
  unlockRegion();
}
