// Hand-built buffer region images for tests: bytes placed at explicit offsets
// in an explicit byte order, so a test states the layout it expects without
// going through the structures under test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "utils/base/circular_bfr.hpp"

// 8-aligned zeroed storage for a region.
struct Storage {
  std::vector<uint64_t> words;
  explicit Storage(size_t len) : words((len + 7) / 8, 0) {}
  unsigned char* data() { return reinterpret_cast<unsigned char*>(words.data()); }
  size_t size() const { return words.size() * 8; }
};

struct RegionImage {
  std::vector<unsigned char> bytes;
  bool bigEndian;

  RegionImage(size_t size, bool big) : bytes(size, 0), bigEndian(big) {}

  // Writes the low `width` bytes of v at `offset` in the image's byte order.
  void put(size_t offset, uint64_t v, unsigned width) {
    for (unsigned i = 0; i < width; ++i) {
      const unsigned shift = 8 * (bigEndian ? width - 1 - i : i);
      bytes.at(offset + i) = static_cast<unsigned char>(v >> shift);
    }
  }
  void text(size_t offset, const std::string& s) { std::memcpy(&bytes.at(offset), s.data(), s.size()); }

  // A region header of the 32-bit (84) or 64-bit (96) layout.
  void header(unsigned headerLen, const char* magic, const std::string& componentId, uint64_t length,
              uint64_t freeHead, uint64_t activeHead, uint64_t activeTail) {
    text(0, std::string(magic, std::strlen(magic) < 8 ? std::strlen(magic) : 8));
    bytes[8] = static_cast<unsigned char>(headerLen);
    text(9, componentId);
    put(56, 0x11223344u, 4);
    const bool wide = headerLen == 96;
    put(64, length, wide ? 8 : 4);
    put(wide ? 72 : 68, freeHead, 4);
    put(wide ? 80 : 76, activeHead, wide ? 8 : 4);
    put(wide ? 88 : 80, activeTail, wide ? 8 : 4);
  }
  // An allocation record of the 32-bit (4-byte fields) or 64-bit layout.
  void record(size_t offset, unsigned fieldWidth, uint64_t block, uint64_t blockLen, uint64_t usedLen,
              uint64_t next) {
    const uint64_t fields[5] = {offset, block, blockLen, usedLen, next};
    for (unsigned i = 0; i < 5; ++i) put(offset + fieldWidth * i, fields[i], fieldWidth);
  }
};

// The little-endian image of a host value, to compare with memory on the
// little-endian machines the tests run on.
inline bool hostIsLittleEndian() {
  const uint32_t probe = 1;
  unsigned char first;
  std::memcpy(&first, &probe, 1);
  return first == 1;
}

// Offsets of a list as the list readers see it (at most 10,000 records).
inline std::vector<uint64_t> listOffsets(BufferRegion& r, bool active) {
  std::vector<uint64_t> offsets;
  for (SharedBufferAllocRecord* rec = active ? r.getActiveListHead() : r.getFreeListHead(); rec != nullptr;
       rec = r.traverseNextBlock(rec)) {
    offsets.push_back(r.recordField(rec, BufferRegion::REC_ALLOC));
    if (offsets.size() > 10000) break;
  }
  return offsets;
}
