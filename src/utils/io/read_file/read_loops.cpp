// The read loops of the reader base class and the File_Buffer byte window they
// run over. The text loop reads 65536-byte chunks, finds line ends with a
// LineFeedScanner (64-byte masks, memchr for the last bytes of a chunk) and
// hands each line in place to the hooks: no copy and no allocation per line;
// only the partial line at the end of a chunk moves to the front of the buffer
// before the next read. A line of 65536 bytes or more cannot fit, so the next
// read asks for zero bytes, which ends the input with a warning.
#include <cstdlib>
#include <cstring>
#include <new>

#include "utils/base/compiler_hints.hpp"
#include "utils/io/line_feed_scanner.hpp"
#include "utils/io/read_file.hpp"
#include "read_file_log.hpp"

// ---- File_Buffer ----

File_Buffer::File_Buffer(size_t bfrSize)
    : buffer(new (std::nothrow) unsigned char[bfrSize > 0 ? bfrSize : 1]),
      bufferLen(buffer != nullptr ? bfrSize : 0),
      endBufferOffset(0),
      startBufferOffset(0),
      externalBufferFlags(0) {}

File_Buffer::File_Buffer(unsigned char* storage, size_t bfrSize, size_t bytesValid, uint8_t flags)
    : buffer(nullptr), bufferLen(0), endBufferOffset(0), startBufferOffset(0), externalBufferFlags(0) {
  useRegionAsBuffer(storage, bfrSize, bytesValid, flags);
}

File_Buffer::~File_Buffer() {
  if ((externalBufferFlags & EXTERNAL_STORAGE_MASK) == 0) delete[] buffer;
}

void File_Buffer::useRegionAsBuffer(unsigned char* storage, size_t bfrSize, size_t bytesValid,
                                    uint8_t flags) {
  if (storage != buffer && (externalBufferFlags & EXTERNAL_STORAGE_MASK) == 0) delete[] buffer;
  buffer = storage;
  bufferLen = storage != nullptr ? bfrSize : 0;
  endBufferOffset = bytesValid < bufferLen ? bytesValid : bufferLen;
  startBufferOffset = 0;
  externalBufferFlags = flags;
}

void File_Buffer::discardInitialBytes(size_t bytes) {
  if (startBufferOffset + bytes == 0) return;
  size_t newStart = startBufferOffset + bytes;
  if (newStart > endBufferOffset) newStart = endBufferOffset;  // never past the valid bytes
  if (externalBufferFlags & EXTERNAL_NO_MOVE) {
    startBufferOffset = newStart;
    if (startBufferOffset == endBufferOffset) startBufferOffset = endBufferOffset = 0;
    return;
  }
  const size_t kept = endBufferOffset - newStart;
  if (kept > 0) std::memmove(buffer, buffer + newStart, kept);
  startBufferOffset = 0;
  endBufferOffset = kept;
}

size_t File_Buffer::appendDataToBuffer(const unsigned char* data, size_t dataLen, size_t extraGrowth) {
  if (data == nullptr || dataLen == 0) return 0;
  if (spaceLeft() < dataLen && startBufferOffset > 0 && !(externalBufferFlags & EXTERNAL_NO_MOVE)) {
    discardInitialBytes(0);
  }
  if (spaceLeft() < dataLen && (externalBufferFlags & EXTERNAL_STORAGE_MASK) == 0) {
    const size_t used = endBufferOffset;
    if (dataLen <= SIZE_MAX - used && extraGrowth <= SIZE_MAX - used - dataLen) {
      const size_t newLen = used + dataLen + extraGrowth;
      unsigned char* grown = new (std::nothrow) unsigned char[newLen];
      if (grown != nullptr) {
        if (used > 0) std::memcpy(grown, buffer, used);
        delete[] buffer;
        buffer = grown;
        bufferLen = newLen;
      }
    }
  }
  const size_t taken = dataLen < spaceLeft() ? dataLen : spaceLeft();
  if (taken > 0) std::memcpy(endBufferLocation(), data, taken);
  endBufferOffset += taken;
  return taken;
}

// ---- base hooks ----

void Read_And_Process_File::noteDataRead(const unsigned char* /*data*/, size_t /*length*/) const {}
int Read_And_Process_File::beginFile() { return 0; }
int Read_And_Process_File::completedFile(int recordsProcessedCount) { return recordsProcessedCount; }
int Read_And_Process_File::processLine(const unsigned char* /*line*/, size_t /*length*/) { return 0; }
int Read_And_Process_File::processHeaderLine(unsigned char* /*line*/, size_t /*length*/) { return 2; }
int_fast32_t Read_And_Process_File::processBlock(unsigned char* /*block*/, size_t /*length*/) {
  return 0;
}
int Read_And_Process_File::processBuffer(File_Buffer* /*buffer*/) { return 0; }

// ---- loops ----

namespace {

ZUR_COLD void logReadError(int rc) {
  LOG_CERR(io_trace) << "READ ERROR: " << rc << LOG_ENDLINE;
}

ZUR_COLD void logNoBuffer(size_t size) {
  LOG_CERR(io_error) << "Cannot allocate a read buffer of " << static_cast<uint32_t>(size)
                     << " bytes" << LOG_ENDLINE;
}

}  // namespace

int Read_And_Process_File::readIntoFileBuffer(File_Buffer* bfr) {
  const int rc = readIntoBuffer(bfr->endBufferLocation(), bfr->spaceLeft());
  if (rc > 0) bfr->adjustBufferEnd(static_cast<size_t>(rc));
  return rc;
}

int Read_And_Process_File::findAndProcessNextLine(File_Buffer* fileBfr, bool hasHeader) {
  unsigned char* const line = fileBfr->startBufferLocation();
  const size_t available = fileBfr->spaceUsed();
  if (available == 0) return 0;
  unsigned char* const lf = static_cast<unsigned char*>(std::memchr(line, '\n', available));
  if (lf == nullptr) return 0;
  const size_t consumed = static_cast<size_t>(lf - line) + 1;
  size_t length = consumed - 1;
  lineStorageStart = fileBfr->buffer;
  lineStorageEnd = fileBfr->buffer + fileBfr->bufferLen;
  ++lineStorageFills;
  if (length > 0 && line[length - 1] == '\r') --length;
  if (hasHeader) {
    if (processHeaderLine(line, length) == 2) processLine(line, length);
  } else {
    processLine(line, length);
  }
  fileBfr->startBufferOffset += consumed;
  ++recordsProcessed;
  return static_cast<int>(consumed);
}

int Read_And_Process_File::readAndProcessTextLines(bool hasHeaderLine) {
  File_Buffer bfr(TEXT_LINE_BUFFER_SIZE);
  if (ZUR_UNLIKELY(bfr.buffer == nullptr)) {
    logNoBuffer(TEXT_LINE_BUFFER_SIZE);
    return -1;
  }
  recordsProcessed = 0;
  int rc = readIntoFileBuffer(&bfr);
  if (rc <= 0) return rc;
  beginFile();

  bool headerPending = hasHeaderLine;
  LineFeedScanner lineFeeds;
  lineStorageStart = bfr.buffer;
  lineStorageEnd = bfr.buffer + bfr.bufferLen;
  for (;;) {
    ++lineStorageFills;
    // Deliver every complete line in the buffer. Offsets live in locals while
    // the hooks run; the hooks never see the File_Buffer.
    unsigned char* const base = bfr.buffer;
    size_t start = bfr.startBufferOffset;
    const size_t end = bfr.endBufferOffset;
    if (ZUR_UNLIKELY(headerPending) && start < end) {
      const int consumed = findAndProcessNextLine(&bfr, true);
      if (consumed > 0) headerPending = false;
      start = bfr.startBufferOffset;
    }
    lineFeeds.reset(start);
    while (start < end) {
      unsigned char* const line = base + start;
      const size_t lf = lineFeeds.next(base, start, end);
      if (lf == end) break;
      size_t length = lf - start;
      start += length + 1;
      if (length > 0 && line[length - 1] == '\r') --length;
      processLine(line, length);
      ++recordsProcessed;
    }
    bfr.startBufferOffset = start;

    bfr.discardInitialBytes(0);
    rc = readIntoFileBuffer(&bfr);
    if (rc > 0) continue;
    if (rc < 0) logReadError(rc);
    break;
  }
  lineStorageStart = nullptr;
  lineStorageEnd = nullptr;
  completedFile(static_cast<int>(recordsProcessed));
  return static_cast<int>(recordsProcessed);
}

int Read_And_Process_File::readAndProcessBlocksFromFile(size_t recordLen) {
  if (recordLen > SIZE_MAX / BLOCKS_PER_BUFFER) {
    logNoBuffer(SIZE_MAX);
    return -1;
  }
  File_Buffer bfr(BLOCKS_PER_BUFFER * recordLen);
  if (ZUR_UNLIKELY(bfr.buffer == nullptr)) {
    logNoBuffer(BLOCKS_PER_BUFFER * recordLen);
    return -1;
  }
  int rc = readIntoFileBuffer(&bfr);
  if (rc <= 0) return rc;
  beginFile();
  for (;;) {
    while (bfr.spaceUsed() >= recordLen) {
      processBlock(bfr.startBufferLocation(), recordLen);
      ++recordsProcessed;
      bfr.startBufferOffset += recordLen;
    }
    bfr.discardInitialBytes(0);
    rc = readIntoFileBuffer(&bfr);
    if (rc > 0) continue;
    if (rc < 0) logReadError(rc);
    break;
  }
  completedFile(static_cast<int>(recordsProcessed));
  return static_cast<int>(recordsProcessed);
}

int Read_And_Process_File::readAndProcessFile() {
  if (intermediateBuffer == nullptr) {
    intermediateBuffer = new (std::nothrow) File_Buffer(TEXT_LINE_BUFFER_SIZE);
    if (intermediateBuffer == nullptr || intermediateBuffer->buffer == nullptr) {
      logNoBuffer(TEXT_LINE_BUFFER_SIZE);
      return -1;
    }
  }
  File_Buffer* const bfr = intermediateBuffer;
  recordsProcessed = 0;
  int rc = readIntoFileBuffer(bfr);
  if (rc <= 0) return rc;
  beginFile();
  for (;;) {
    if (processBuffer(bfr) < 0) break;
    bfr->discardInitialBytes(0);
    // A full buffer that processBuffer did not drain asks for zero bytes,
    // which warns and ends the loop like end of input.
    rc = readIntoFileBuffer(bfr);
    if (rc > 0) continue;
    if (rc < 0) logReadError(rc);
    break;
  }
  completedFile(static_cast<int>(recordsProcessed));
  return static_cast<int>(recordsProcessed);
}
