// Binary rendering of a finished record (layout in utils/logging/log_binary.hpp):
// the header and value headers are written into the manager's block at their
// final offsets, the file name, format line, values and padding are I/O
// vector elements pointing where the bytes already are (the record, the
// caller's data, a constant block of zeros). The direct path writes them with
// writev; for a writer thread they are gathered into the block. Costs one
// memcpy per header and no formatting at all.
#include <cstdio>
#include <cstring>

#include "log_render_line.hpp"
#include "utils/logging/log_binary.hpp"

namespace {

using LMR = LogMessageRecord;
using log_render::LineUnderConstruction;

constexpr unsigned char paddingBytes[16] = {};

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

// Adds the value header (written into the block), the value and its padding
// when all of them fit; false (nothing added) otherwise.
bool addArgument(LineUnderConstruction& line, const LMR::ArgumentRecord& arg) {
  const ValueBytes value = valueBytesOf(arg);
  const size_t valueLen = value.len + (value.withNul ? 1 : 0);
  const uint32_t padding = paddingAfter(valueLen);
  const size_t needed = LogLineBinaryValueHeader::HEADER_LEN + valueLen + padding;
  // Header, value, NUL and padding: at most four elements.
  if (needed > line.room() || line.elementTotal + 4 > log_render::ELEMENT_LIMIT) return false;
  LogLineBinaryValueHeader header{};
  header.argType = static_cast<uint32_t>(arg.argBaseType);
  header.argLength = value.argLength;
  header.offsetNextArg = static_cast<uint32_t>(valueLen + padding);
  header.headerLen = LogLineBinaryValueHeader::HEADER_LEN;
  line.placeRendered(reinterpret_cast<const char*>(&header), sizeof header);
  line.addElement(value.data, value.len);
  line.addElement(paddingBytes, (value.withNul ? 1u : 0u) + padding);
  return true;
}

}  // namespace

SharedBufferAllocRecord* LogMessageRecord::prepareBinaryRecord(unsigned int prefixWithFlags, size_t* returnLen,
                                                               uint32_t singleThreaded) {
  if (returnLen != nullptr) *returnLen = 0;
  LogManager* mgr = logMgr;
  SharedBufferAllocRecord* rec = mgr != nullptr ? mgr->allocateBuffer() : nullptr;
  if (rec == nullptr) return nullptr;
  size_t blockLength = 0;
  LineUnderConstruction line{log_render::threadElements(), 0, 0,
                             reinterpret_cast<char*>(mgr->bufferAddress(rec, &blockLength)), 0};
  if (line.bfrBase == nullptr || line.elements == nullptr || blockLength <= LogLineBinaryHeader::HEADER_LEN) {
    mgr->returnBuffer(rec);
    return nullptr;
  }
  line.blockLen = blockLength - 1;  // gather terminates the block

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
  // The header is copied in once its counts are known.
  line.elements[0] = iovec{line.bfrBase, sizeof header};
  line.elementTotal = 1;
  line.totalRecordLen = sizeof header;

  // File name and format line, each with its NUL, then zeros up to a
  // multiple of 8. Texts longer than the block are cut to leave room.
  auto addText = [&line](const char* text, size_t len) {
    const size_t room = line.room() > 2 * LOG_BINARY_ALIGNMENT ? line.room() - 2 * LOG_BINARY_ALIGNMENT : 0;
    line.addElement(text, len < room ? len : room);
    line.addElement(paddingBytes, 1);
  };
  if (prefixWithFlags & LOG_FILENAME) {
    const TextBlock_struct name = mgr->pruneDirectoryPrefix(sourceFile != nullptr ? sourceFile : "",
                                                            static_cast<int_fast32_t>(sourceFileNameLen));
    addText(name.textBfr, name.bfrLen);
  }
  header.offsetFormatString = static_cast<uint32_t>(line.totalRecordLen);
  if (prefixWithFlags & LOG_BINARY_FORMAT_STRING) {
    const char* format = logLineFormat != nullptr ? logLineFormat : "";
    addText(format, std::strlen(format));
  }
  line.addElement(paddingBytes, paddingAfter(line.totalRecordLen));
  header.offsetFirstArg = static_cast<uint32_t>(line.totalRecordLen);

  uint32_t written = 0;
  while (written < argCount && addArgument(line, argList[written])) ++written;
  if (written < argCount) {
    std::fprintf(stderr, "Too many elements: %u\n", line.elementTotal);
    std::fflush(stderr);
  }
  header.argumentCount = written;
  header.logLineLength = static_cast<uint32_t>(line.totalRecordLen);
  std::memcpy(line.bfrBase, &header, sizeof header);

  const size_t total = line.totalRecordLen;
  line.elementTotal = static_cast<uint32_t>(coalesce_iovec(line.elementTotal, line.elements));
  if (mgr->isClosed()) {
    mgr->returnBuffer(rec);
    return nullptr;
  }
  if (singleThreaded != 0 && mgr->hasOutput()) {
    const size_t bytes = log_render::writeLineDirect(mgr, line, "prepareBinaryRecord");
    mgr->returnBuffer(rec);
    if (returnLen != nullptr) *returnLen = bytes;
    return nullptr;
  }
  const size_t gathered = log_render::gather(line);
  setUsedLength(rec, static_cast<uint32_t>(gathered));
  if (returnLen != nullptr) *returnLen = total;
  return rec;
}
