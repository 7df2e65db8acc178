// The free-area allocator: allocations rounded up to the granule plus their
// 20-byte record are carved from the high end of the first free record large
// enough, under the region lock, and never taken back. A request that no free
// record can hold gets one message and null: the allocator never waits for
// space that cannot come back.
#include <cinttypes>
#include <cstdio>

#include "utils/base/circular_bfr.hpp"
#include "utils/base/circular_wait.hpp"
#include "utils/base/compiler_hints.hpp"

std::atomic<uint32_t> FixedBufferManager::TOTAL_allocation_wait_spins{0};

namespace {

constexpr uint32_t HEADER_LEN = sizeof(SharedBufferRegionHeader_32);
constexpr uint32_t RECORD_LEN = sizeof(SharedBufferAllocRecord_32);
constexpr size_t ATTACH_GRANULE = 64;

ZUR_COLD void reportOutOfSpace(const char* file, int line, uint32_t blockDimensions) {
  std::fprintf(stderr, "TODO:  FixedBufferManager out of free blocks at %s:%d blockDimensions=%" PRIu32 "\n", file,
               line, blockDimensions);
}

}  // namespace

// Attaching to a region that is not a native 32-bit one leaves 0 blocks: the
// list readers still read it, the allocator refuses to write it.
FixedBufferManager::FixedBufferManager(void* ptr, size_t len)
    : BufferRegion(ptr, len, isNativeRegion32(ptr, len) ? ATTACH_GRANULE : 0, NOT_OWNER) {}

FixedBufferManager::FixedBufferManager(void* ptr, size_t len, size_t block_size, const char* component,
                                       const char* magicNumber)
    : BufferRegion(ptr, len, block_size, NOT_OWNER) {
  SharedBufferRegionHeader_32* h = formatHeader(component, magicNumber);
  if (h == nullptr || availableBlocks == 0) return;
  SharedBufferAllocRecord_32* rec = nativeRecord(HEADER_LEN);
  rec->offset_allocRecord = HEADER_LEN;
  rec->offset_block = HEADER_LEN + RECORD_LEN;
  rec->blockLen = static_cast<uint32_t>(len - HEADER_LEN - RECORD_LEN);
  rec->usedLen = SHARED_BUFFER_UNFILLED;
  rec->offset_nextInChain = 0;
  h->offset_startFreeList = HEADER_LEN;
}

FixedBufferManager::~FixedBufferManager() = default;

SharedBufferAllocRecord* FixedBufferManager::allocateBlock(size_t len) {
  if (ZUR_UNLIKELY(availableBlocks == 0)) {
    reportNoBlocks("FixedBufferManager");
    return nullptr;
  }
  SharedBufferRegionHeader_32* h = header32();
  // A len beyond the region cannot fit; below it the rounding cannot wrap.
  const uint64_t wanted = len < regionLength ? len : regionLength;
  const uint64_t rounded = (wanted + blockSize - 1) / blockSize * blockSize;
  const uint64_t neededLen = rounded + RECORD_LEN;
  const uint32_t spins = lockRegion(ZUR_regionLockKey());
  if (spins != 0) TOTAL_allocation_wait_spins.fetch_add(spins, std::memory_order_relaxed);

  // First fit along the free list, bounded by the records the region can hold.
  uint32_t previous = 0;
  uint32_t off1 = __atomic_load_n(&h->offset_startFreeList, __ATOMIC_RELAXED);
  for (size_t walked = 0; off1 != 0 && walked <= maxRecordCount(); ++walked) {
    if (nativeRecord(off1)->blockLen >= neededLen) break;
    previous = off1;
    off1 = nativeRecord(off1)->offset_nextInChain;
  }
  if (off1 == 0 || nativeRecord(off1)->blockLen < neededLen) {
    const uint32_t dimensions = h->blockDimensions;
    unlockRegion();
    reportOutOfSpace(__FILE__, __LINE__, dimensions);
    return nullptr;
  }
  SharedBufferAllocRecord_32* rec = nativeRecord(off1);
  const uint32_t need = static_cast<uint32_t>(neededLen);
  const uint32_t leftOver = rec->blockLen - need;
  SharedBufferAllocRecord_32* result;
  uint32_t resultOffset;
  if (leftOver < blockSize + RECORD_LEN) {
    // Too little would remain for another allocation: hand out the whole record.
    const uint32_t next = rec->offset_nextInChain;
    if (previous == 0) {
      uint32_t expected = off1;
      __atomic_compare_exchange_n(&h->offset_startFreeList, &expected, next, false, __ATOMIC_SEQ_CST,
                                  __ATOMIC_RELAXED);
    } else {
      nativeRecord(previous)->offset_nextInChain = next;
    }
    result = rec;
    resultOffset = off1;
  } else {
    resultOffset = off1 + rec->blockLen - need;
    rec->blockLen = leftOver;
    result = nativeRecord(resultOffset);
    result->offset_allocRecord = resultOffset;
    result->offset_block = resultOffset + RECORD_LEN;
    result->blockLen = need;
    result->usedLen = static_cast<uint32_t>(len) + RECORD_LEN;
  }
  appendActive(result, resultOffset);
  unlockRegion();
  return result;
}

void FixedBufferManager::returnBlock(SharedBufferAllocRecord* /*rec*/) {}
