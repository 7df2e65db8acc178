// Text forms of variable records: type names, "prefix/name = type value" and
// the path of a record's ancestors. Records may come from a segment written by
// another process or machine, so every field is read in the segment's byte
// order, names and texts are bounded by the record's allocation, and parent
// offsets are followed only to records inside the segment.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "utils/shared_vars/shared_variable.hpp"

namespace {

using SMV = SharedMemoryVariable;

constexpr int MAX_ANCESTORS = 16;
constexpr size_t NAME_OFFSET = offsetof(SharedMemoryVariable_Record, varName);
// Bytes of an allocation before the name: its allocation record and the
// record's fixed fields.
constexpr size_t BEFORE_NAME = sizeof(SharedBufferAllocRecord_32) + NAME_OFFSET;

// Host-order field readers.
struct RecordView {
  const SharedMemoryVariable_Record* r;
  bool native;

  uint16_t u16(const uint16_t& f) const { return native ? f : our_swap16(f); }
  uint32_t u32(const uint32_t& f) const { return native ? f : our_swap32(f); }
  uint64_t u64(const void* f) const {
    uint64_t v;
    std::memcpy(&v, f, sizeof v);
    return native ? v : our_swap64(v);
  }
  // Bytes readable from varName on: the allocation after the fixed fields.
  size_t nameSpace() const {
    const uint32_t allocated = u32(r->allocatedLength);
    return allocated >= BEFORE_NAME + sizeof r->varName ? allocated - BEFORE_NAME : sizeof r->varName;
  }
  // The name's length, read no further than its declared length, the
  // allocation and `limit`.
  size_t nameLength(size_t limit = SIZE_MAX) const {
    const size_t bound = std::min({static_cast<size_t>(u16(r->varNameLength)), nameSpace(), limit});
    return ::strnlen(r->varName, bound);
  }
};

// Appends with snprintf into what is left of bfr; the position never passes
// the last byte (the terminator's place).
struct Appender {
  char* bfr;
  size_t len;
  size_t used = 0;

  template <typename... Args>
  void add(const char* format, Args... args) {
    if (used + 1 >= len) return;
    const int n = std::snprintf(bfr + used, len - used, format, args...);
    if (n <= 0) return;
    used += static_cast<size_t>(n) < len - used ? static_cast<size_t>(n) : len - used - 1;
  }
};

}  // namespace

const char* SharedMemoryVariable::typeName(unsigned code) {
  switch (code) {
    case SMV_TYPE_INT32: return "int32";
    case SMV_TYPE_UINT32: return "uint32";
    case SMV_TYPE_INT64: return "int64";
    case SMV_TYPE_UINT64: return "uint64";
    case SMV_TYPE_FLOAT: return "float";
    case SMV_TYPE_DOUBLE: return "double";
    case SMV_TYPE_STRING: return "text";
    case SMV_TYPE_BINARY_STRING: return "binary";
    case SMV_TYPE_NAME_NODE: return "node";
    default: return "unknown";
  }
}

char* SharedMemoryVariable_Record::formatAsText(char* bfr, size_t bfrLen, unsigned displayFlags, const char* prefix,
                                                bool isNative) const {
  if (bfr == nullptr || bfrLen == 0) return bfr;
  bfr[0] = '\0';
  const RecordView view{this, isNative};
  Appender out{bfr, bfrLen};
  const unsigned type = view.u16(recordType);
  if (displayFlags & SMV::SMV_DISPLAY_NAME) {
    const int nameLength = static_cast<int>(view.nameLength());
    if (prefix != nullptr && prefix[0] != '\0') {
      out.add("%s/%.*s ", prefix, nameLength, varName);
    } else {
      out.add("%.*s ", nameLength, varName);
    }
  }
  if (displayFlags & SMV::SMV_DISPLAY_EQUALS) out.add("= ");
  if (displayFlags & SMV::SMV_DISPLAY_TYPE) out.add("%s ", SMV::typeName(type));
  if (displayFlags & SMV::SMV_DISPLAY_VALUE) {
    const uint64_t raw = view.u64(&numericValue);
    uint32_t low;  // the 4-byte value at offset 0
    std::memcpy(&low, &numericValue, sizeof low);
    low = view.u32(low);
    switch (type) {
      case SMV::SMV_TYPE_INT32: out.add("%d ", static_cast<int32_t>(low)); break;
      case SMV::SMV_TYPE_UINT32: out.add("%u ", low); break;
      case SMV::SMV_TYPE_INT64: out.add("%" PRId64 " ", static_cast<int64_t>(raw)); break;
      case SMV::SMV_TYPE_UINT64: out.add("%" PRIu64 " ", raw); break;
      case SMV::SMV_TYPE_FLOAT: {
        float f;
        std::memcpy(&f, &low, sizeof f);
        out.add("%f ", static_cast<double>(f));
        break;
      }
      case SMV::SMV_TYPE_DOUBLE: {
        double d;
        std::memcpy(&d, &raw, sizeof d);
        out.add("%f ", d);
        break;
      }
      case SMV::SMV_TYPE_STRING:
      case SMV::SMV_TYPE_BINARY_STRING: {
        const size_t nameBytes = view.u16(varNameLength);
        const size_t space = view.nameSpace();
        const char* text = varName + nameBytes;
        const int textLength = nameBytes < space ? static_cast<int>(::strnlen(text, space - nameBytes)) : 0;
        out.add("\"%.*s\" ", textLength, textLength > 0 ? text : "");
        break;
      }
      default: break;
    }
  }
  if (out.used > 0) bfr[out.used - 1] = '\0';  // the trailing blank
  return bfr;
}

int SharedMemoryVariable_Record::getPathPrefix(char* bfr, size_t bfrLen, const unsigned char* segmentBase,
                                               bool isNative, size_t segmentLength) const {
  if (bfr == nullptr || bfrLen == 0) return 0;
  bfr[0] = '\0';
  const SharedMemoryVariable_Record* ancestors[MAX_ANCESTORS];
  int count = 0;
  uint64_t offset = RecordView{this, isNative}.u64(&parentNodeOffset);
  // Only 4-aligned records wholly inside the segment, past its header, are
  // followed.
  while (offset != 0 && count < MAX_ANCESTORS && offset % 4 == 0 && offset >= sizeof(SharedBufferRegionHeader_32) &&
         offset <= segmentLength && segmentLength - offset >= sizeof(SharedMemoryVariable_Record)) {
    const auto* parent = reinterpret_cast<const SharedMemoryVariable_Record*>(segmentBase + offset);
    ancestors[count++] = parent;
    offset = RecordView{parent, isNative}.u64(&parent->parentNodeOffset);
  }
  Appender out{bfr, bfrLen};
  for (int i = count - 1; i >= 0; --i) {
    const RecordView view{ancestors[i], isNative};
    // A name never runs past the segment's end.
    const size_t inSegment = static_cast<size_t>(segmentBase + segmentLength -
                                                 reinterpret_cast<const unsigned char*>(ancestors[i]->varName));
    const size_t nameLength = view.nameLength(inSegment);
    out.add("/%.*s", static_cast<int>(nameLength), ancestors[i]->varName);
  }
  return static_cast<int>(out.used);
}
