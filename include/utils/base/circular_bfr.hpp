// Buffer regions: one contiguous byte area (heap memory, a mapped file or
// shared memory) that carries its own bookkeeping, a region header followed by
// allocation records and the blocks they describe. Every reference inside a
// region is a byte offset from its first byte (0 = none), so several processes
// can map the same region at different addresses and a file can be inspected
// after its writer ended. Two allocators work on the format:
//
//   CircularBufferManager  equal-sized blocks from a pool laid out when the
//                          region is formatted; handed-out blocks stay on the
//                          active list in allocation order until returned.
//   FixedBufferManager     variable-sized allocations, rounded to a granule,
//                          carved from the top of one free area and never
//                          taken back (shared-variable segments, granule 64).
//
// Fields are in the byte order of the process that formatted the region; the
// header's byteOrderTag tells a reader which (0x11223344 reads native). The
// allocators format and allocate only the 32-bit layout below; the list
// readers (getFreeListHead, getActiveListHead, traverseNextBlock) and
// checkLists also read the 64-bit layout and the other byte order, and treat
// the region as untrusted: an offset is followed only when its record lies
// inside the region, and walks stop after the most records the region could
// hold.
//
// 32-bit header (84 bytes)                     32-bit allocation record (20 bytes)
//   0  char[8]  magicNumber (no NUL at 8 chars)    0  offset_allocRecord (its own offset)
//   8  uint8    headerLength 84 ('T')              4  offset_block
//   9  char[47] componentId "name:pid"             8  blockLen
//  56  uint32   byteOrderTag 0x11223344           12  usedLen (0xFFFFFFFF = not yet filled)
//  60  uint32   _pad                              16  offset_nextInChain (0 = last)
//  64  uint32   blockDimensions (region length)
//  68  uint32   offset_startFreeList           64-bit layout: header of 96 bytes with
//  72  uint32   updatingThread (region lock)   headerLength 96, blockDimensions uint64
//  76  uint32   offset_startActiveList (oldest) at 64, the two lock-area words at 72/76,
//  80  uint32   offset_endActiveList (newest)  the active offsets uint64 at 80/88;
//                                              records of five uint64 (40 bytes).
//
// Locking: every list change is made while holding the region lock, the word
// updatingThread, taken by compare-and-swap from 0 to the caller's kernel
// thread id and released by storing 0. The list readers take no lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

using OFFSET_T = uint32_t;
using BufferRegion_Overhead_t = uint_fast8_t;
// Offsets of this build's layout are 4 bytes.
inline constexpr unsigned SHARED_BUFFER_OFFSET_SIZE = 4;

#define DEFAULT_CIRCULAR_BFR_MAGIC_NUMBER "CIRCBFR"
#define DEFAULT_FIXED_BFR_MAGIC_NUMBER "FIXDBFR"

// byteOrderTag as written; reads as 0x44332211 on a machine of the other order.
inline constexpr uint32_t SHARED_BUFFER_BYTE_ORDER_TAG = 0x11223344u;
// usedLen of a block that is allocated but not yet filled.
inline constexpr uint32_t SHARED_BUFFER_UNFILLED = 0xFFFFFFFFu;

inline uint16_t our_swap16(uint16_t v) { return __builtin_bswap16(v); }
inline uint32_t our_swap32(uint32_t v) { return __builtin_bswap32(v); }
inline uint64_t our_swap64(uint64_t v) { return __builtin_bswap64(v); }

struct SharedBufferRegionHeader_32 {
  char magicNumber[8];
  uint8_t headerLength;
  char componentId[47];
  uint32_t byteOrderTag;
  uint32_t _pad;
  uint32_t blockDimensions;
  uint32_t offset_startFreeList;
  uint32_t updatingThread;
  uint32_t offset_startActiveList;
  uint32_t offset_endActiveList;

  // Copies the magic (up to 8 bytes, stopping after its NUL), sets
  // headerLength, writes componentId "component:pid" (cut to 47 bytes with its
  // NUL), blockDimensions = regionLength, zeroes the list offsets and the lock,
  // and sets byteOrderTag last.
  void initialize(const char* component, const char* magic, uint64_t regionLength);
  bool isNativeByteOrder() const { return byteOrderTag == SHARED_BUFFER_BYTE_ORDER_TAG; }
};

struct SharedBufferRegionHeader_64 {
  char magicNumber[8];
  uint8_t headerLength;
  char componentId[47];
  uint32_t byteOrderTag;
  uint32_t _pad;
  uint64_t blockDimensions;
  uint32_t offset_startFreeList;
  uint32_t updatingThread;
  uint64_t offset_startActiveList;
  uint64_t offset_endActiveList;

  void initialize(const char* component, const char* magic, uint64_t regionLength);
  bool isNativeByteOrder() const { return byteOrderTag == SHARED_BUFFER_BYTE_ORDER_TAG; }
};

struct SharedBufferAllocRecord_32 {
  uint32_t offset_allocRecord;
  uint32_t offset_block;
  uint32_t blockLen;
  uint32_t usedLen;
  uint32_t offset_nextInChain;
};

struct SharedBufferAllocRecord_64 {
  uint64_t offset_allocRecord;
  uint64_t offset_block;
  uint64_t blockLen;
  uint64_t usedLen;
  uint64_t offset_nextInChain;
};

using SharedBufferAllocRecord = SharedBufferAllocRecord_32;
using SharedBufferRegionHeader = SharedBufferRegionHeader_32;

static_assert(sizeof(SharedBufferRegionHeader_32) == 84);
static_assert(offsetof(SharedBufferRegionHeader_32, headerLength) == 8);
static_assert(offsetof(SharedBufferRegionHeader_32, componentId) == 9);
static_assert(offsetof(SharedBufferRegionHeader_32, byteOrderTag) == 56);
static_assert(offsetof(SharedBufferRegionHeader_32, _pad) == 60);
static_assert(offsetof(SharedBufferRegionHeader_32, blockDimensions) == 64);
static_assert(offsetof(SharedBufferRegionHeader_32, offset_startFreeList) == 68);
static_assert(offsetof(SharedBufferRegionHeader_32, updatingThread) == 72);
static_assert(offsetof(SharedBufferRegionHeader_32, offset_startActiveList) == 76);
static_assert(offsetof(SharedBufferRegionHeader_32, offset_endActiveList) == 80);
static_assert(sizeof(SharedBufferRegionHeader_64) == 96);
static_assert(offsetof(SharedBufferRegionHeader_64, blockDimensions) == 64);
static_assert(offsetof(SharedBufferRegionHeader_64, offset_startFreeList) == 72);
static_assert(offsetof(SharedBufferRegionHeader_64, updatingThread) == 76);
static_assert(offsetof(SharedBufferRegionHeader_64, offset_startActiveList) == 80);
static_assert(offsetof(SharedBufferRegionHeader_64, offset_endActiveList) == 88);
static_assert(sizeof(SharedBufferAllocRecord_32) == 20);
static_assert(offsetof(SharedBufferAllocRecord_32, offset_block) == 4);
static_assert(offsetof(SharedBufferAllocRecord_32, blockLen) == 8);
static_assert(offsetof(SharedBufferAllocRecord_32, usedLen) == 12);
static_assert(offsetof(SharedBufferAllocRecord_32, offset_nextInChain) == 16);
static_assert(sizeof(SharedBufferAllocRecord_64) == 40);
static_assert(offsetof(SharedBufferAllocRecord_64, usedLen) == 24);
static_assert(offsetof(SharedBufferAllocRecord_64, offset_nextInChain) == 32);

// The filler of a block publishes its length with release (pairs with the
// acquire in getUsedLength): a reader that sees the length sees the bytes.
inline void setUsedLength(SharedBufferAllocRecord_32* rec, uint32_t len) {
  __atomic_store_n(&rec->usedLen, len, __ATOMIC_RELEASE);
}
inline uint32_t getUsedLength(const SharedBufferAllocRecord_32* rec) {
  return __atomic_load_n(&rec->usedLen, __ATOMIC_ACQUIRE);
}

// Abstract base of the two managers. The object lives outside the region and
// owns it as `ownership` says.
class BufferRegion {
 public:
  enum OwnershipState : uint8_t {
    NOT_OWNER = 0,   // nothing released
    OWN_BLOCK = 1,   // allocated with new unsigned char[]; delete[] on destruction
    OWN_MAP = 2,     // a memory mapping; munmap(region, regionLength)
    OWN_RECORD = 3,  // nothing released
  };
  // Field indexes of an allocation record, for recordField.
  enum RecordField : uint8_t { REC_ALLOC = 0, REC_BLOCK, REC_BLOCK_LEN, REC_USED_LEN, REC_NEXT };

  // Stores the values and computes availableBlocks = (len - 84) /
  // (block_size + 20); regions that are null, not 4-aligned in address or
  // length, longer than 4 GiB, or shorter than the header and one block (or
  // with block size 0) get 0 blocks. Does not touch the region.
  BufferRegion(void* ptr, size_t len, size_t block_size, OwnershipState ownedBy);
  virtual ~BufferRegion();

  // Heads of the lists and the next record of a list, honouring layout and byte
  // order; null for offset 0 and for an offset whose record would not lie
  // inside the region (or whose header is neither layout). In the 64-bit layout
  // the pointer is to a SharedBufferAllocRecord_64; read it with recordField.
  virtual SharedBufferAllocRecord* getActiveListHead();
  virtual SharedBufferAllocRecord* getFreeListHead();
  virtual SharedBufferAllocRecord* traverseNextBlock(SharedBufferAllocRecord* rec);
  // region + rec->offset_block (native 32-bit records).
  virtual unsigned char* blockAddress(const SharedBufferAllocRecord* rec);
  // A block of at least len bytes linked at the tail of the active list, or
  // null (see the managers).
  virtual SharedBufferAllocRecord* allocateBlock(size_t len) = 0;
  virtual void returnBlock(SharedBufferAllocRecord* rec) = 0;
  // Bytes each allocation costs inside the region beyond its data.
  virtual BufferRegion_Overhead_t getBlockOverhead() const = 0;

  // delete[]s the current region when OWN_BLOCK, then stores the new values;
  // availableBlocks is left as it was.
  void replaceRegion(void* ptr, size_t len, size_t block_size, OwnershipState ownedBy);

  // Walks both lists (bounded, offsets checked). Prints records to stderr when
  // display > 1 and totals when display >= 1; a corruption message is always
  // printed. Returns 1 when a list is corrupt, 0 otherwise.
  int checkLists(int display);

  void setOwnership(OwnershipState ownedBy) { ownership = ownedBy; }
  OwnershipState getOwnership() const { return ownership; }
  size_t getRegionLength() const { return regionLength; }
  size_t getBlockSize() const { return blockSize; }
  size_t getAvailableBlocks() const { return availableBlocks; }
  unsigned char* getBufferBase() const { return region; }

  // 84 or 96 for a region whose header names one of the layouts, else 0.
  unsigned layoutHeaderLength() const;
  // True when byteOrderTag reads 0x11223344.
  bool isNativeByteOrder() const;
  // One field of a record returned by the list readers, in host order.
  uint64_t recordField(const SharedBufferAllocRecord* rec, RecordField field) const;
  // Offset of a record of the current layout, or null when the record would
  // not lie inside the region.
  SharedBufferAllocRecord* recordAtOffset(uint64_t offset) const;
  // The most records the region could hold: the bound of every list walk.
  size_t maxRecordCount() const;

  // True when [ptr, ptr + len) starts with a 32-bit header in this machine's
  // byte order: the only regions the allocators attach to.
  static bool isNativeRegion32(const void* ptr, size_t len);

  static std::atomic<uint32_t> totalChecks;

 protected:
  SharedBufferRegionHeader_32* header32() const { return reinterpret_cast<SharedBufferRegionHeader_32*>(region); }
  // Native 32-bit record at an offset written by this process's allocators.
  SharedBufferAllocRecord_32* nativeRecord(uint32_t offset) const {
    return reinterpret_cast<SharedBufferAllocRecord_32*>(region + offset);
  }
  // Takes the region lock; returns the failed attempts.
  uint32_t lockRegion(uint32_t key);
  void unlockRegion();
  // Writes the 32-bit header when the region can hold one (4-aligned, at
  // least 84 bytes); null otherwise.
  SharedBufferRegionHeader_32* formatHeader(const char* component, const char* magicNumber);
  // The one message of an allocation on a region without blocks.
  void reportNoBlocks(const char* managerName) const;
  // Links a native record at the tail of the active list (lock held).
  void appendActive(SharedBufferAllocRecord_32* rec, uint32_t offset);

  unsigned char* region;
  size_t regionLength;
  size_t blockSize;
  size_t availableBlocks;
  OwnershipState ownership;
};

// Equal-sized blocks in allocation order. allocateBlock waits (yield, and a
// 100 ms sleep every 16th attempt) while the pool is exhausted until another
// thread returns a block; on a pool with no blocks at all it returns null.
class CircularBufferManager : public BufferRegion {
 public:
  // Attaches to a formatted region: the block size is read from the record at
  // offset 84; a region that is not a native 32-bit one gets 0 blocks.
  CircularBufferManager(void* ptr, size_t len);
  // Formats the region as a pool: header, then all records, then all blocks;
  // the free list runs in ascending address order.
  CircularBufferManager(void* ptr, size_t len, size_t block_size, const char* component,
                        const char* magicNumber = DEFAULT_CIRCULAR_BFR_MAGIC_NUMBER);
  ~CircularBufferManager() override;

  // len is not used: every block is blockSize long.
  SharedBufferAllocRecord* allocateBlock(size_t len) override;
  // Unlinks the record wherever it is on the active list (constant time at its
  // head) and pushes it on the free list; a record not on the active list is
  // reported and left alone.
  void returnBlock(SharedBufferAllocRecord* rec) override;
  BufferRegion_Overhead_t getBlockOverhead() const override { return 0; }

  static std::atomic<uint32_t> TOTAL_allocation_wait_spins;
  static std::atomic<uint32_t> TOTAL_return_wait_spins;
};

// Variable-sized allocations carved from the high end of one free area; never
// taken back. Out of space: one message and null.
class FixedBufferManager : public BufferRegion {
 public:
  // Attaches to a formatted region with granule 64.
  FixedBufferManager(void* ptr, size_t len);
  // Formats the region as one free record at 84 covering [84, len - 20).
  FixedBufferManager(void* ptr, size_t len, size_t block_size, const char* component,
                     const char* magicNumber = DEFAULT_FIXED_BFR_MAGIC_NUMBER);
  ~FixedBufferManager() override;

  // An allocation of len rounded up to the granule plus its 20-byte record;
  // usedLen = len + 20, blockLen = the whole footprint.
  SharedBufferAllocRecord* allocateBlock(size_t len) override;
  void returnBlock(SharedBufferAllocRecord* rec) override;
  BufferRegion_Overhead_t getBlockOverhead() const override { return 20; }

  static std::atomic<uint32_t> TOTAL_allocation_wait_spins;
};
