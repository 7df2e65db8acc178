// The region side of the buffer managers: header formatting, ownership, the
// region lock, and the readers that walk a region formatted by any process
// (either layout, either byte order). Readers never trust the region: fields
// are loaded with 32-bit relaxed atomics or memcpy (records of a foreign region
// need not be aligned), an offset is followed only when its whole record lies
// inside the region, and walks stop after maxRecordCount() records.
#include <sys/mman.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "utils/base/circular_bfr.hpp"
#include "utils/base/circular_wait.hpp"
#include "utils/base/compiler_hints.hpp"

std::atomic<uint32_t> BufferRegion::totalChecks{0};

namespace {

constexpr size_t HEADER_32 = sizeof(SharedBufferRegionHeader_32);
constexpr size_t HEADER_64 = sizeof(SharedBufferRegionHeader_64);
constexpr size_t RECORD_32 = sizeof(SharedBufferAllocRecord_32);
constexpr size_t RECORD_64 = sizeof(SharedBufferAllocRecord_64);

// Relaxed 32-bit load: atomic where aligned (the region may be changed by
// another thread or process meanwhile), memcpy otherwise.
uint32_t load32(const unsigned char* p) {
  if ((reinterpret_cast<uintptr_t>(p) & 3u) == 0) {
    return __atomic_load_n(reinterpret_cast<const uint32_t*>(p), __ATOMIC_RELAXED);
  }
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// A 64-bit field as two 32-bit loads put back in memory order.
uint64_t load64(const unsigned char* p) {
  uint32_t halves[2] = {load32(p), load32(p + 4)};
  uint64_t v;
  std::memcpy(&v, halves, sizeof v);
  return v;
}

// The offset in a list head field, in host order; 0 when the header names
// no layout. offset_startFreeList is a 32-bit word in both layouts.
uint64_t listHeadOffset(const BufferRegion& r, bool active) {
  const unsigned headerLen = r.layoutHeaderLength();
  if (headerLen == 0) return 0;
  const unsigned char* base = r.getBufferBase();
  const bool native = r.isNativeByteOrder();
  if (headerLen == HEADER_64 && active) {
    const uint64_t v = load64(base + offsetof(SharedBufferRegionHeader_64, offset_startActiveList));
    return native ? v : our_swap64(v);
  }
  const size_t at = active                   ? offsetof(SharedBufferRegionHeader_32, offset_startActiveList)
                    : headerLen == HEADER_32 ? offsetof(SharedBufferRegionHeader_32, offset_startFreeList)
                                             : offsetof(SharedBufferRegionHeader_64, offset_startFreeList);
  const uint32_t v = load32(base + at);
  return native ? v : our_swap32(v);
}

template <typename Header>
void initializeHeader(Header* h, const char* component, const char* magic, uint64_t regionLength) {
  std::memset(h->magicNumber, 0, sizeof h->magicNumber);
  if (magic != nullptr) {
    for (size_t i = 0; i < sizeof h->magicNumber; ++i) {
      h->magicNumber[i] = magic[i];
      if (magic[i] == '\0') break;
    }
  }
  h->headerLength = static_cast<uint8_t>(sizeof(Header));
  std::snprintf(h->componentId, sizeof h->componentId, "%s:%d", component != nullptr ? component : "",
                static_cast<int>(getpid()));
  h->blockDimensions = static_cast<decltype(h->blockDimensions)>(regionLength);
  h->_pad = 0;
  h->offset_startFreeList = 0;
  h->updatingThread = 0;
  h->offset_startActiveList = 0;
  h->offset_endActiveList = 0;
  h->byteOrderTag = SHARED_BUFFER_BYTE_ORDER_TAG;
}

// Byte totals of the active list, for checkLists.
struct ListTotals {
  size_t usedBytes = 0;
  size_t activeBytes = 0;
};

}  // namespace

void SharedBufferRegionHeader_32::initialize(const char* component, const char* magic, uint64_t regionLength) {
  initializeHeader(this, component, magic, regionLength);
}

void SharedBufferRegionHeader_64::initialize(const char* component, const char* magic, uint64_t regionLength) {
  initializeHeader(this, component, magic, regionLength);
}

BufferRegion::BufferRegion(void* ptr, size_t len, size_t block_size, OwnershipState ownedBy)
    : region(static_cast<unsigned char*>(ptr)),
      regionLength(len),
      blockSize(block_size),
      availableBlocks(0),
      ownership(ownedBy) {
  const bool aligned = (reinterpret_cast<uintptr_t>(ptr) & 3u) == 0 && (len & 3u) == 0;
  const uint64_t len64 = len;
  if (ptr != nullptr && aligned && block_size != 0 && len64 <= UINT32_MAX &&
      len64 >= HEADER_32 + RECORD_32 + static_cast<uint64_t>(block_size)) {
    availableBlocks = (len - HEADER_32) / (block_size + RECORD_32);
  }
}

BufferRegion::~BufferRegion() {
  if (ownership == OWN_BLOCK) {
    delete[] region;
  } else if (ownership == OWN_MAP && region != nullptr) {
    munmap(region, regionLength);
  }
}

void BufferRegion::replaceRegion(void* ptr, size_t len, size_t block_size, OwnershipState ownedBy) {
  if (ownership == OWN_BLOCK) delete[] region;
  region = static_cast<unsigned char*>(ptr);
  regionLength = len;
  blockSize = block_size;
  ownership = ownedBy;
}

unsigned BufferRegion::layoutHeaderLength() const {
  if (region == nullptr || regionLength < HEADER_32) return 0;
  const unsigned length = region[offsetof(SharedBufferRegionHeader_32, headerLength)];
  if (length == HEADER_32) return HEADER_32;
  if (length == HEADER_64 && regionLength >= HEADER_64) return HEADER_64;
  return 0;
}

bool BufferRegion::isNativeByteOrder() const {
  return region != nullptr && regionLength >= HEADER_32 &&
         load32(region + offsetof(SharedBufferRegionHeader_32, byteOrderTag)) == SHARED_BUFFER_BYTE_ORDER_TAG;
}

bool BufferRegion::isNativeRegion32(const void* ptr, size_t len) {
  if (ptr == nullptr || (reinterpret_cast<uintptr_t>(ptr) & 3u) != 0 || len < HEADER_32) return false;
  const auto* h = static_cast<const SharedBufferRegionHeader_32*>(ptr);
  return h->headerLength == HEADER_32 && h->isNativeByteOrder();
}

size_t BufferRegion::maxRecordCount() const {
  const unsigned headerLen = layoutHeaderLength();
  if (headerLen == 0) return 0;
  return (regionLength - headerLen) / (headerLen == HEADER_32 ? RECORD_32 : RECORD_64);
}

SharedBufferAllocRecord* BufferRegion::recordAtOffset(uint64_t offset) const {
  const unsigned headerLen = layoutHeaderLength();
  if (headerLen == 0 || offset < headerLen) return nullptr;
  const size_t recordLen = headerLen == HEADER_32 ? RECORD_32 : RECORD_64;
  if (offset > regionLength || regionLength - offset < recordLen) return nullptr;
  return reinterpret_cast<SharedBufferAllocRecord*>(region + offset);
}

uint64_t BufferRegion::recordField(const SharedBufferAllocRecord* rec, RecordField field) const {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(rec);
  const bool native = isNativeByteOrder();
  if (layoutHeaderLength() == HEADER_64) {
    const uint64_t v = load64(p + 8u * field);
    return native ? v : our_swap64(v);
  }
  // acquire on usedLen: pairs with setUsedLength, so the block's bytes are
  // there when its length is.
  const uint32_t v = field == REC_USED_LEN && (reinterpret_cast<uintptr_t>(p) & 3u) == 0
                         ? __atomic_load_n(reinterpret_cast<const uint32_t*>(p + 4u * field), __ATOMIC_ACQUIRE)
                         : load32(p + 4u * field);
  return native ? v : our_swap32(v);
}

SharedBufferAllocRecord* BufferRegion::getFreeListHead() { return recordAtOffset(listHeadOffset(*this, false)); }

SharedBufferAllocRecord* BufferRegion::getActiveListHead() { return recordAtOffset(listHeadOffset(*this, true)); }

SharedBufferAllocRecord* BufferRegion::traverseNextBlock(SharedBufferAllocRecord* rec) {
  if (rec == nullptr) return nullptr;
  return recordAtOffset(recordField(rec, REC_NEXT));
}

unsigned char* BufferRegion::blockAddress(const SharedBufferAllocRecord* rec) { return region + rec->offset_block; }

uint32_t BufferRegion::lockRegion(uint32_t key) {
  uint32_t* lockWord = &header32()->updatingThread;
  ZUR_PREFETCH(lockWord);
  uint32_t spins = 0;
  for (;;) {
    uint32_t expected = 0;
    // Swap only when the word reads free: waiters spin on a shared copy of
    // the line instead of taking it from the holder on every pass.
    // seq_cst: the lock's acquire; pairs with the release in unlockRegion.
    if (__atomic_load_n(lockWord, __ATOMIC_RELAXED) == 0 &&
        __atomic_compare_exchange_n(lockWord, &expected, key, false, __ATOMIC_SEQ_CST, __ATOMIC_RELAXED)) {
      return spins;
    }
    ZUR_spinPause(spins);
    ++spins;
  }
}

void BufferRegion::unlockRegion() {
  // release: publishes every list change; pairs with the CAS in lockRegion.
  __atomic_store_n(&header32()->updatingThread, 0u, __ATOMIC_RELEASE);
}

SharedBufferRegionHeader_32* BufferRegion::formatHeader(const char* component, const char* magicNumber) {
  if (region == nullptr || (reinterpret_cast<uintptr_t>(region) & 3u) != 0 || regionLength < HEADER_32) return nullptr;
  SharedBufferRegionHeader_32* h = header32();
  h->initialize(component, magicNumber, regionLength);
  return h;
}

void BufferRegion::reportNoBlocks(const char* managerName) const {
  std::fprintf(stderr, "%s: region %p of %zu bytes has no blocks; allocation refused\n", managerName,
               static_cast<const void*>(region), regionLength);
}

void BufferRegion::appendActive(SharedBufferAllocRecord_32* rec, uint32_t offset) {
  SharedBufferRegionHeader_32* h = header32();
  __atomic_store_n(&rec->offset_nextInChain, 0u, __ATOMIC_RELAXED);
  const uint32_t tail = __atomic_load_n(&h->offset_endActiveList, __ATOMIC_RELAXED);
  // release on the links: an unlocked reader that follows them sees the
  // record's fields (pairs with nothing stronger than its relaxed loads on the
  // target's ordered stores; the lock orders every locked reader).
  if (tail != 0) __atomic_store_n(&nativeRecord(tail)->offset_nextInChain, offset, __ATOMIC_RELEASE);
  __atomic_store_n(&h->offset_endActiveList, offset, __ATOMIC_RELEASE);
  if (__atomic_load_n(&h->offset_startActiveList, __ATOMIC_RELAXED) == 0) {
    __atomic_store_n(&h->offset_startActiveList, offset, __ATOMIC_RELEASE);
  }
}

namespace {

// One list of checkLists. Returns false after printing a corruption message.
bool walkList(BufferRegion* r, SharedBufferAllocRecord* head, uint64_t headOffset, bool active, int display,
              size_t* count, ListTotals* totals) {
  const char* listName = active ? "active" : "free";
  const size_t limit = r->maxRecordCount();
  const unsigned char* base = r->getBufferBase();
  SharedBufferAllocRecord* rec = head;
  uint64_t pendingOffset = headOffset;  // an offset read but not yet followed
  if (head == nullptr && headOffset != 0) {
    std::fprintf(stderr, "CORRUPTION:  bad offset %" PRIu64 " on %s block list at record 0", headOffset, listName);
    return false;
  }
  while (rec != nullptr) {
    ++*count;
    const uint64_t allocOffset = r->recordField(rec, BufferRegion::REC_ALLOC);
    const uint64_t blockOffset = r->recordField(rec, BufferRegion::REC_BLOCK);
    const uint64_t blockLen = r->recordField(rec, BufferRegion::REC_BLOCK_LEN);
    const uint64_t usedLen = r->recordField(rec, BufferRegion::REC_USED_LEN);
    const uint64_t next = r->recordField(rec, BufferRegion::REC_NEXT);
    const bool unfilled = usedLen == SHARED_BUFFER_UNFILLED || usedLen == UINT64_MAX;
    if (display > 1) {
      std::fprintf(stderr,
                   "%s offset_allocRecord=%" PRIu64 " offset_block=%" PRIu64 " blocklen=%" PRIu64 " usedLen=%" PRIu64
                   " nextInChain=%" PRIu64,
                   active ? "ACTIVE" : "FREE", allocOffset, blockOffset, blockLen, usedLen, next);
      if (active) {
        std::fputs(" text=", stderr);
        // Unfilled blocks show nothing; the text never runs past the block
        // or the region.
        const size_t regionLength = r->getRegionLength();
        if (!unfilled && blockOffset < regionLength) {
          uint64_t shown = usedLen < blockLen ? usedLen : blockLen;
          if (shown > regionLength - blockOffset) shown = regionLength - blockOffset;
          std::fwrite(base + blockOffset, 1, static_cast<size_t>(shown), stderr);
        }
      }
      std::fputc('\n', stderr);
    }
    if (active) {
      if (!unfilled) totals->usedBytes += static_cast<size_t>(usedLen);
      totals->activeBytes += static_cast<size_t>(blockLen);
    }
    SharedBufferAllocRecord* following = r->traverseNextBlock(rec);
    pendingOffset = next;
    if (following == head && following != nullptr) {
      std::fprintf(stderr, "CORRUPTION:  LOOP on %s block list at record %zu", listName, *count);
      return false;
    }
    if (following == nullptr) {
      if (pendingOffset != 0) {
        std::fprintf(stderr, "CORRUPTION:  bad offset %" PRIu64 " on %s block list at record %zu", pendingOffset,
                     listName, *count);
        return false;
      }
      return true;
    }
    if (following == rec) {
      std::fprintf(stderr, "CORRUPTION:  self-LOOP on %s block list at record %zu", listName, *count);
      return false;
    }
    if (*count >= limit) {  // more records than the region can hold: a loop further on
      std::fprintf(stderr, "CORRUPTION:  LOOP on %s block list at record %zu", listName, *count);
      return false;
    }
    rec = following;
  }
  return true;
}

}  // namespace

int BufferRegion::checkLists(int display) {
  const uint32_t check = totalChecks.fetch_add(1, std::memory_order_relaxed) + 1;
  size_t freeCount = 0;
  size_t activeCount = 0;
  ListTotals totals;
  const uint64_t freeHead = listHeadOffset(*this, false);
  const uint64_t activeHead = listHeadOffset(*this, true);
  if (!walkList(this, recordAtOffset(freeHead), freeHead, false, display, &freeCount, &totals) ||
      !walkList(this, recordAtOffset(activeHead), activeHead, true, display, &activeCount, &totals)) {
    std::fprintf(stderr, " check %u\n", check);
    return 1;
  }
  if (display >= 1) {
    std::fprintf(stderr, "freeRecordCount: %zu\nactiveRecordCount: %zu\ntotalUsedBytes: %zu\ntotalActiveBytes: %zu\n",
                 freeCount, activeCount, totals.usedBytes, totals.activeBytes);
    std::fflush(stderr);
  }
  return 0;
}
