// Binary rendering of a finished record (layout in utils/logging/log_binary.hpp):
// every piece (header, file name, format line, value headers, values and
// their zero padding) is copied once, straight to its final offset in a
// block of the manager's region; no formatting at all. The direct path then
// writes the block with one writev element (a record is a few hundred bytes
// of small pieces: one copy costs less than the kernel's handling of many
// elements, which past 8 it allocates for), the writer thread gets the block.
#include <cstdio>
#include <cstring>

#include "log_render_line.hpp"
#include "utils/logging/log_binary.hpp"

namespace {

using LMR = LogMessageRecord;

constexpr uint32_t paddingAfter(size_t length) {
  return static_cast<uint32_t>((LOG_BINARY_ALIGNMENT - length % LOG_BINARY_ALIGNMENT) % LOG_BINARY_ALIGNMENT);
}

// The bytes that follow an argument's value header, and the argLength the
// header carries.
struct ValueBytes {
  const void* data;
  size_t len;
  uint32_t argLength;
  bool withNul;  // a NUL follows the bytes (text)
};

ValueBytes valueBytesOf(const LMR::ArgumentRecord& arg) {
  const LMR::LOG_argument_union& v = arg.logArgs;
  const uint32_t len = arg.argLen;
  switch (arg.argBaseType) {
    case LMR::LOG_ARG_TYPE_INT32:
    case LMR::LOG_ARG_TYPE_UINT32:
    case LMR::LOG_ARG_TYPE_FLOAT:
      return {&v, 4, len, false};
    case LMR::LOG_ARG_TYPE_INT64:
    case LMR::LOG_ARG_TYPE_UINT64:
    case LMR::LOG_ARG_TYPE_DOUBLE:
    case LMR::LOG_ARG_TYPE_POSIX_NANOSECONDS:
    case LMR::LOG_ARG_TYPE_FIXED_POINT:
      return {&v, 8, len, false};
    case LMR::LOG_ARG_TYPE_CHAR:
      return {&v, len < LOG_BINARY_MAX_INLINE_VALUE ? len : LOG_BINARY_MAX_INLINE_VALUE, len, false};
    case LMR::LOG_ARG_TYPE_TEXT:
    case LMR::LOG_ARG_TYPE_ROM_TEXT:
      if (v.ptr == nullptr || len == 0) return {nullptr, 0, 0, false};
      return {v.ptr, len, len, true};
    case LMR::LOG_ARG_TYPE_POINTER:
      if (len == 0) return {&v.ptr, sizeof v.ptr, 0, false};
      if (v.ptr == nullptr) return {nullptr, 0, 0, false};
      return {v.ptr, len, len, false};
    case LMR::LOG_ARG_TYPE_BINARY:
    case LMR::LOG_ARG_TYPE_TEXT_FRAGMENT:
    case LMR::LOG_ARG_TYPE_HEX_FRAGMENT:
    case LMR::LOG_ARG_TYPE_HEX_FRAGMENT_UPPER:
      if (v.ptr == nullptr) return {nullptr, 0, 0, false};
      return {v.ptr, len, len, false};
    default:
      std::fprintf(stderr, "Type not really recognized: %u\n", static_cast<unsigned>(arg.argBaseType));
      std::fflush(stderr);
      return {&v, len < LOG_BINARY_MAX_INLINE_VALUE ? len : LOG_BINARY_MAX_INLINE_VALUE, len, false};
  }
}

// The record under construction in its block: bytes are appended at `used`,
// never past `limit`.
struct RecordBytes {
  unsigned char* base;
  size_t used;
  size_t limit;

  size_t room() const { return limit - used; }
  void put(const void* data, size_t len) {
    if (len != 0) std::memcpy(base + used, data, len);
    used += len;
  }
  void zeros(size_t len) {
    std::memset(base + used, 0, len);
    used += len;
  }
  // A text, cut to leave room for the rest of the header area, and its NUL.
  void putText(const char* text, size_t len) {
    const size_t keep = room() > 2 * LOG_BINARY_ALIGNMENT ? room() - 2 * LOG_BINARY_ALIGNMENT : 0;
    put(text, len < keep ? len : keep);
    zeros(1);
  }
  // The value header, the value and its padding when all of them fit;
  // false (nothing written) otherwise.
  bool putArgument(const LMR::ArgumentRecord& arg) {
    const ValueBytes value = valueBytesOf(arg);
    const size_t valueLen = value.len + (value.withNul ? 1 : 0);
    const uint32_t padding = paddingAfter(valueLen);
    if (LogLineBinaryValueHeader::HEADER_LEN + valueLen + padding > room()) return false;
    LogLineBinaryValueHeader header{};
    header.argType = static_cast<uint32_t>(arg.argBaseType);
    header.argLength = value.argLength;
    header.offsetNextArg = static_cast<uint32_t>(valueLen + padding);
    header.headerLen = LogLineBinaryValueHeader::HEADER_LEN;
    put(&header, sizeof header);
    put(value.data, value.len);
    zeros(valueLen - value.len + padding);
    return true;
  }
};

}  // namespace

SharedBufferAllocRecord* LogMessageRecord::prepareBinaryRecord(unsigned int prefixWithFlags, size_t* returnLen,
                                                               uint32_t singleThreaded) {
  if (returnLen != nullptr) *returnLen = 0;
  LogManager* mgr = logMgr;
  SharedBufferAllocRecord* rec = mgr != nullptr ? mgr->allocateBuffer() : nullptr;
  if (rec == nullptr) return nullptr;
  size_t blockLength = 0;
  RecordBytes out{mgr->bufferAddress(rec, &blockLength), 0, blockLength};
  if (out.base == nullptr || blockLength <= LogLineBinaryHeader::HEADER_LEN || mgr->isClosed()) {
    mgr->returnBuffer(rec);
    return nullptr;
  }

  LogLineBinaryHeader header{};
  header.formatVersion = LogLineBinaryHeader::LOG_LINE_BINARY_FORMAT_VER1;
  header.byteOrder = LogLineBinaryHeader::LOG_LINE_BINARY_FORMAT_LE;
  header.logPrefixMask = static_cast<unsigned char>(prefixWithFlags & 0xFFu);
  header.nanosecondTimestamp =
      static_cast<uint64_t>(timestamp.tv_sec) * 1000000000u + static_cast<uint64_t>(timestamp.tv_nsec);
  header.threadId = threadId;
  header.lineNumber = sourceLine;
  header.importanceLevel = importanceLevel;
  header.offsetFileName = LogLineBinaryHeader::HEADER_LEN;
  out.used = sizeof header;  // the header goes in once its counts are known
  if (prefixWithFlags & LOG_FILENAME) {
    const TextBlock_struct name = mgr->pruneDirectoryPrefix(sourceFile != nullptr ? sourceFile : "",
                                                            static_cast<int_fast32_t>(sourceFileNameLen));
    out.putText(name.textBfr, name.bfrLen);
  }
  header.offsetFormatString = static_cast<uint32_t>(out.used);
  if (prefixWithFlags & LOG_BINARY_FORMAT_STRING) {
    const char* format = logLineFormat != nullptr ? logLineFormat : "";
    out.putText(format, std::strlen(format));
  }
  out.zeros(paddingAfter(out.used));
  header.offsetFirstArg = static_cast<uint32_t>(out.used);

  uint32_t written = 0;
  while (written < argCount && out.putArgument(argList[written])) ++written;
  if (written < argCount) {
    std::fprintf(stderr, "Too many elements: %u\n", written);
    std::fflush(stderr);
  }
  header.argumentCount = written;
  header.logLineLength = static_cast<uint32_t>(out.used);
  std::memcpy(out.base, &header, sizeof header);

  const size_t total = out.used;
  if (singleThreaded != 0 && mgr->hasOutput()) {
    iovec element{out.base, total};
    log_render::LineUnderConstruction line{&element, 1, total, reinterpret_cast<char*>(out.base), blockLength};
    const size_t bytes = log_render::writeLineDirect(mgr, line, "prepareBinaryRecord");
    mgr->returnBuffer(rec);
    if (returnLen != nullptr) *returnLen = bytes;
    return nullptr;
  }
  setUsedLength(rec, static_cast<uint32_t>(total));
  if (returnLen != nullptr) *returnLen = total;
  return rec;
}
