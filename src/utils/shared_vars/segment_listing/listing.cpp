// Segment listing: header checks, then the active list walked through the
// region readers (which refuse offsets outside the segment), each allocation
// checked to contain its variable record before the record is rendered, and
// each allocation record visited once (a second visit is a loop).
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "utils/shared_vars/segment_listing.hpp"
#include "utils/shared_vars/shared_variable.hpp"

namespace {

constexpr size_t RECORD_LEN = sizeof(SharedMemoryVariable_Record);
constexpr size_t LINE_LEN = 4096;

template <typename... Args>
bool fail(std::string& error, const char* format, Args... args) {
  char text[256];
  std::snprintf(text, sizeof text, format, args...);
  error = text;
  return false;
}

// A read-only view: the list readers never write, and attaching does not
// touch the region.
class SegmentView : public BufferRegion {
 public:
  SegmentView(const unsigned char* base, size_t len)
      : BufferRegion(const_cast<unsigned char*>(base), len, 64, NOT_OWNER) {}
  SharedBufferAllocRecord* allocateBlock(size_t) override { return nullptr; }
  void returnBlock(SharedBufferAllocRecord*) override {}
  BufferRegion_Overhead_t getBlockOverhead() const override { return 0; }
};

// The active list head as written, in host order.
uint64_t rawActiveHead(const unsigned char* segment, unsigned headerLength, bool native) {
  if (headerLength == sizeof(SharedBufferRegionHeader_32)) {
    uint32_t v;
    std::memcpy(&v, segment + offsetof(SharedBufferRegionHeader_32, offset_startActiveList), sizeof v);
    return native ? v : our_swap32(v);
  }
  uint64_t v;
  std::memcpy(&v, segment + offsetof(SharedBufferRegionHeader_64, offset_startActiveList), sizeof v);
  return native ? v : our_swap64(v);
}

}  // namespace

bool listSegmentVariables(const unsigned char* segment, size_t segmentLength, std::string& out, std::string& error) {
  if (segment == nullptr || segmentLength < sizeof(SharedBufferRegionHeader_32)) {
    return fail(error, "too short for a segment header (%zu bytes)", segmentLength);
  }
  SegmentView view(segment, segmentLength);
  const unsigned headerLength = view.layoutHeaderLength();
  if (headerLength == 0) return fail(error, "unknown header length %u", static_cast<unsigned>(segment[8]));
  uint32_t tag;
  std::memcpy(&tag, segment + offsetof(SharedBufferRegionHeader_32, byteOrderTag), sizeof tag);
  const bool native = tag == SHARED_BUFFER_BYTE_ORDER_TAG;
  if (!native && tag != our_swap32(SHARED_BUFFER_BYTE_ORDER_TAG)) {
    return fail(error, "unknown byte order tag 0x%08" PRIx32, tag);
  }
  if (std::memcmp(segment, SMV_MAGIC_NUMBER, 8) != 0) {
    char magic[9] = {};
    for (int i = 0; i < 8; ++i) {
      magic[i] = segment[i] >= 0x20 && segment[i] < 0x7f ? static_cast<char>(segment[i]) : '?';
    }
    return fail(error, "magic number \"%s\" is not \"" SMV_MAGIC_NUMBER "\"", magic);
  }
  const size_t allocRecordLen = headerLength == sizeof(SharedBufferRegionHeader_32) ? sizeof(SharedBufferAllocRecord_32)
                                                                                  : sizeof(SharedBufferAllocRecord_64);
  // One bit per 4-byte offset: a record seen twice means the list loops.
  std::vector<bool> seen(segmentLength / 4 + 1, false);
  char prefix[LINE_LEN];
  char line[LINE_LEN];
  size_t count = 0;
  uint64_t offset = rawActiveHead(segment, headerLength, native);
  for (;;) {
    if (offset == 0) return true;
    SharedBufferAllocRecord* rec = view.recordAtOffset(offset);
    if (rec == nullptr) {
      return fail(error, "variable %zu links to offset %" PRIu64 " outside the segment", count + 1, offset);
    }
    ++count;
    if (offset % 4 != 0 || view.recordField(rec, BufferRegion::REC_ALLOC) != offset) {
      return fail(error, "allocation record at offset %" PRIu64 " names another offset", offset);
    }
    // recordAtOffset accepted the offset, so it lies inside the segment and fits a size_t.
    const size_t slot = static_cast<size_t>(offset / 4);
    if (seen[slot]) return fail(error, "the variable list loops back to offset %" PRIu64, offset);
    seen[slot] = true;
    const uint64_t recordOffset = offset + allocRecordLen;
    if (recordOffset + RECORD_LEN > segmentLength) {
      return fail(error, "variable %zu at offset %" PRIu64 " runs past the segment's end", count, recordOffset);
    }
    const auto* record = reinterpret_cast<const SharedMemoryVariable_Record*>(segment + recordOffset);
    // acquire: pairs with the release store of the name length by the writer,
    // after which the record's other fields are complete.
    if (__atomic_load_n(&record->varNameLength, __ATOMIC_ACQUIRE) != 0) {
      uint32_t allocated = record->allocatedLength;
      if (!native) allocated = our_swap32(allocated);
      // formatAsText reads up to allocatedLength - 20 bytes from the record on.
      if (allocated < sizeof(SharedBufferAllocRecord_32) + RECORD_LEN ||
          recordOffset + allocated - sizeof(SharedBufferAllocRecord_32) > segmentLength) {
        return fail(error, "variable %zu at offset %" PRIu64 " has a bad length %" PRIu32, count, recordOffset,
                    allocated);
      }
      record->getPathPrefix(prefix, sizeof prefix, segment, native, segmentLength);
      record->formatAsText(line, sizeof line,
                           SharedMemoryVariable::SMV_DISPLAY_NAME | SharedMemoryVariable::SMV_DISPLAY_EQUALS |
                               SharedMemoryVariable::SMV_DISPLAY_TYPE | SharedMemoryVariable::SMV_DISPLAY_VALUE,
                           prefix, native);
      out.append(line);
      out.push_back('\n');
    }
    offset = view.recordField(rec, BufferRegion::REC_NEXT);
  }
}
