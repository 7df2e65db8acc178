// The document extractor: the substring search it runs for prefixes and end
// tags, the pending buffer and the scan state machine. Documents and blocks
// are handed to the hooks in place; consuming them only advances the pending
// buffer's start offset, and the kept bytes move to the front at the end of a
// scan once the consumed bytes fill half the storage. A failed end-tag search remembers how far it got, so a
// document arriving in n pieces is searched once in total, not n times.
#include <cstring>
#include <new>

#include "utils/base/compiler_hints.hpp"

#if defined(ZUR_USE_SSE2)
#include <emmintrin.h>
#endif
#include "utils/io/document_stream.hpp"
#include "utils/io/io_processor.hpp"
#include "read_file_log.hpp"

namespace {

// Bad-character (Horspool) search of pattern[0, m) in src[0, srcLen) with a
// table built as SkipTable::build does. The window end i moves by the table
// entry of the byte under it; a candidate is checked only when that byte is
// the pattern's last one. m >= 2 and no match starts before `from`.
template <typename ShiftT>
ZUR_ALWAYS_INLINE ssize_t skipSearch(const unsigned char* src, size_t srcLen, size_t from,
                                     const unsigned char* pattern, size_t m,
                                     const ShiftT* shift) {
  const unsigned char last = pattern[m - 1];
  size_t i = from + m - 1;
  while (i < srcLen) {
    const unsigned char b = src[i];
    if (b == last && std::memcmp(src + i - (m - 1), pattern, m - 1) == 0) {
      return static_cast<ssize_t>(i - (m - 1));
    }
    i += shift[b];
  }
  return -1;
}

#if defined(ZUR_USE_SSE2)
// SSE2 candidate filter in front of the skip search: 16 window starts at a
// time are kept when the pattern's first byte is at the start and its last
// byte m - 1 further on; only those are compared in full. One compare pair per
// 16 bytes beats the skip search whenever the pattern's bytes are common in
// the text (a document full of '<' looking for "</doc>"). The last windows
// (fewer than 16 + m - 1 bytes) go to the skip search. m >= 2.
template <typename ShiftT>
ssize_t filteredSearch(const unsigned char* src, size_t srcLen, size_t from,
                       const unsigned char* pattern, size_t m, const ShiftT* shift) {
  const __m128i first = _mm_set1_epi8(static_cast<char>(pattern[0]));
  const __m128i last = _mm_set1_epi8(static_cast<char>(pattern[m - 1]));
  size_t i = from;
  for (; srcLen - i >= 16 + m - 1; i += 16) {
    const __m128i starts = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    const __m128i ends = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + m - 1));
    auto candidates = static_cast<uint32_t>(_mm_movemask_epi8(
        _mm_and_si128(_mm_cmpeq_epi8(starts, first), _mm_cmpeq_epi8(ends, last))));
    while (candidates != 0) {
      const size_t at = i + static_cast<size_t>(ZUR_lowestSetBit(candidates));
      if (std::memcmp(src + at + 1, pattern + 1, m - 2) == 0) return static_cast<ssize_t>(at);
      candidates &= candidates - 1u;
    }
  }
  return skipSearch(src, srcLen, i, pattern, m, shift);
}
#else
template <typename ShiftT>
ZUR_ALWAYS_INLINE ssize_t filteredSearch(const unsigned char* src, size_t srcLen, size_t from,
                                         const unsigned char* pattern, size_t m,
                                         const ShiftT* shift) {
  return skipSearch(src, srcLen, from, pattern, m, shift);
}
#endif

// The whole search: the degenerate lengths, then the first pattern byte found
// with memchr (a one-byte pattern ends there; a match there is the common case
// of a document end), then the filtered or skip search over the windows after
// that byte: no match can start before the first occurrence of the pattern's
// first byte.
template <typename ShiftT>
ZUR_ALWAYS_INLINE ssize_t searchWithTable(const unsigned char* src, size_t srcLen,
                                          const unsigned char* pattern, size_t m,
                                          const ShiftT* shift) {
  if (m == 0) return -1;
  if (m >= srcLen) return (m == srcLen && std::memcmp(src, pattern, m) == 0) ? 0 : -1;
  const void* hit = std::memchr(src, pattern[0], srcLen);
  if (hit == nullptr) return -1;
  const auto first = static_cast<size_t>(static_cast<const unsigned char*>(hit) - src);
  if (m == 1) return static_cast<ssize_t>(first);
  if (m > srcLen - first) return -1;
  if (std::memcmp(src + first + 1, pattern + 1, m - 1) == 0) return static_cast<ssize_t>(first);
  return filteredSearch(src, srcLen, first + 1, pattern, m, shift);
}

template <typename ShiftT>
void buildShiftTable(ShiftT* shift, const unsigned char* pattern, size_t m) {
  for (size_t b = 0; b < 256; ++b) shift[b] = static_cast<ShiftT>(m);
  for (size_t k = 0; k + 1 < m; ++k) shift[pattern[k]] = static_cast<ShiftT>(m - 1 - k);
}

// Copies at most MAX_PATTERN_LEN bytes of text into a pattern array and
// terminates it; returns the bytes kept.
size_t copyPattern(unsigned char* to, const char* text, const char* what) {
  const size_t cap = Extract_And_Process_Document_Stream::MAX_PATTERN_LEN;
  size_t len = text != nullptr ? std::strlen(text) : 0;
  if (ZUR_UNLIKELY(len > cap)) {
    LOG_CERR(io_warning) << what << " of " << static_cast<uint32_t>(len) << " bytes cut to "
                         << static_cast<uint32_t>(cap) << LOG_ENDLINE;
    len = cap;
  }
  if (len > 0) std::memcpy(to, text, len);
  to[len] = 0;
  return len;
}

ZUR_COLD void logBadScanState(int32_t state) {
  LOG_CERR(io_error) << "Bad scan state=" << state << LOG_ENDLINE;
}

ZUR_COLD void logDroppedDocument(size_t limit) {
  LOG_CERR(io_error) << "Document without its end tag within " << static_cast<uint64_t>(limit)
                     << " bytes dropped" << LOG_ENDLINE;
}

ZUR_COLD void logDroppedBlock(ssize_t length, size_t limit) {
  LOG_CERR(io_error) << "Block of " << static_cast<int64_t>(length)
                     << " bytes over the pending limit of " << static_cast<uint64_t>(limit)
                     << " bytes dropped" << LOG_ENDLINE;
}

ZUR_COLD void logNoPendingStorage(size_t wanted) {
  LOG_CERR(io_error) << "Cannot grow the pending buffer to " << static_cast<uint64_t>(wanted)
                     << " bytes; data dropped" << LOG_ENDLINE;
}

}  // namespace

void Extract_And_Process_Document_Stream::SkipTable::build(const unsigned char* pattern,
                                                           size_t len) {
  buildShiftTable(shift, pattern, len);
}

ssize_t Extract_And_Process_Document_Stream::findSubstringInBlock(const unsigned char* source,
                                                                  size_t srcLen,
                                                                  const unsigned char* subString,
                                                                  size_t subLen) {
  if (source == nullptr || subString == nullptr) return -1;
  if (subLen <= 255) {
    uint8_t shift[256];
    buildShiftTable(shift, subString, subLen);
    return searchWithTable(source, srcLen, subString, subLen, shift);
  }
  static_assert(sizeof(size_t) * 256 <= 2048, "shift table kept on the stack");
  size_t shift[256];
  buildShiftTable(shift, subString, subLen);
  return searchWithTable(source, srcLen, subString, subLen, shift);
}

Extract_And_Process_Document_Stream::Extract_And_Process_Document_Stream(const char* startPrefix,
                                                                         const char* endTag,
                                                                         size_t initialBufferSize)
    : scanState(FIND_DOC_START),
      restartScanState(FIND_DOC_START),
      documentStartPrefix{},
      documentEndTag{},
      pendingContent(nullptr),
      neededBlockLen(0),
      documentStartLen(0),
      documentEndLen(0),
      maxPendingBytes_(0),
      endSearchFrom_(0),
      documentsProcessed_(0),
      blockBytesToSkip_(0),
      droppingDocument_(false),
      startSkip_{},
      endSkip_{} {
  documentStartLen = copyPattern(documentStartPrefix, startPrefix, "Document prefix");
  documentEndLen = copyPattern(documentEndTag, endTag, "Document end tag");
  startSkip_.build(documentStartPrefix, documentStartLen);
  endSkip_.build(documentEndTag, documentEndLen);
  if (documentStartLen == 0) {
    // Nothing marks a document start: each document begins where the last ended.
    scanState = FIND_END_TAG;
    restartScanState = FIND_END_TAG;
  }
  const size_t initialSize = initialBufferSize > 0 ? initialBufferSize : DEFAULT_INITIAL_SIZE;
  pendingContent = new File_Buffer(initialSize);
  const size_t limit = initialSize <= SIZE_MAX / DEFAULT_PENDING_LIMIT_FACTOR
                           ? initialSize * DEFAULT_PENDING_LIMIT_FACTOR
                           : SIZE_MAX;
  setMaxPendingBytes(limit);
}

Extract_And_Process_Document_Stream::~Extract_And_Process_Document_Stream() {
  delete pendingContent;
}

int Extract_And_Process_Document_Stream::processDocument(unsigned char* /*document*/,
                                                         size_t /*length*/) {
  return 0;
}

int_fast32_t Extract_And_Process_Document_Stream::processBlock(unsigned char* /*block*/,
                                                               size_t /*length*/) {
  return 0;
}

void Extract_And_Process_Document_Stream::setMaxPendingBytes(size_t limit) {
  maxPendingBytes_ = limit < MIN_PENDING_LIMIT ? MIN_PENDING_LIMIT : limit;
}

void Extract_And_Process_Document_Stream::compact() {
  // Moving the kept bytes only once the consumed ones fill half the storage
  // keeps the moves to less than one byte per byte consumed (a move per scan
  // of 1,448-byte arrivals into 1 KB documents cost 25% of the scan rate).
  // Nothing kept: the offsets return to 0 without a move.
  File_Buffer* p = pendingContent;
  if (p->startBufferOffset > 0 && (p->startBufferOffset >= p->bufferLen / 2 || p->spaceUsed() == 0)) {
    p->discardInitialBytes(0);
  }
}

size_t Extract_And_Process_Document_Stream::makeRoom(size_t wanted) {
  File_Buffer* p = pendingContent;
  const size_t used = p->spaceUsed();
  const size_t allowed = used < maxPendingBytes_ ? maxPendingBytes_ - used : 0;
  if (wanted > allowed) wanted = allowed;
  if (p->spaceLeft() >= wanted) return wanted;
  if (p->startBufferOffset > 0) p->discardInitialBytes(0);
  if (p->spaceLeft() >= wanted) return wanted;
  // Grow by doubling (fewer copies of a large document), up to the limit.
  size_t newLen = p->bufferLen <= SIZE_MAX / 2 ? p->bufferLen * 2 : SIZE_MAX;
  if (newLen < used + wanted) newLen = used + wanted;
  if (newLen > maxPendingBytes_ && maxPendingBytes_ >= used + wanted) newLen = maxPendingBytes_;
  unsigned char* grown = new (std::nothrow) unsigned char[newLen];
  if (ZUR_UNLIKELY(grown == nullptr)) {
    logNoPendingStorage(newLen);
    return p->spaceLeft();
  }
  if (used > 0) std::memcpy(grown, p->startBufferLocation(), used);
  p->useRegionAsBuffer(grown, newLen, used, 0);
  return wanted;
}

bool Extract_And_Process_Document_Stream::skipDroppedBlock() {
  const size_t avail = pendingContent->spaceUsed();
  const size_t take = avail < blockBytesToSkip_ ? avail : blockBytesToSkip_;
  consume(take);
  blockBytesToSkip_ -= take;
  return blockBytesToSkip_ == 0;
}

bool Extract_And_Process_Document_Stream::skipDroppedDocument() {
  const size_t avail = pendingContent->spaceUsed();
  const ssize_t at = searchWithTable(pendingContent->startBufferLocation(), avail, documentEndTag,
                                     documentEndLen, endSkip_.shift);
  if (at >= 0) {
    consume(static_cast<size_t>(at) + documentEndLen);
    droppingDocument_ = false;
    return true;
  }
  // Only the bytes that may begin the end tag are kept.
  const size_t keep = documentEndLen > 0 ? documentEndLen - 1 : 0;
  if (avail > keep) consume(avail - keep);
  return false;
}

int Extract_And_Process_Document_Stream::scanForDocument() {
  int count = 0;
  for (;;) {
    unsigned char* start = pendingContent->startBufferLocation();
    const size_t avail = pendingContent->spaceUsed();
    switch (scanState) {
      case FIND_BLOCK_LENGTH: {
        if (blockBytesToSkip_ > 0) {
          if (!skipDroppedBlock()) {
            compact();
            return count;
          }
        } else {
          const auto blockLen = static_cast<size_t>(neededBlockLen);
          if (avail < blockLen) {
            compact();
            return count;
          }
          processBlock(start, blockLen);
          consume(blockLen);
        }
        scanState = restartScanState;
        if (scanState == FIND_BLOCK_LENGTH || scanState == FIND_NOTHING) {
          compact();
          return count;
        }
        break;
      }
      case FIND_DOC_START: {
        const ssize_t at = searchWithTable(start, avail, documentStartPrefix, documentStartLen,
                                           startSkip_.shift);
        if (at < 0) {
          // Only the bytes that may begin the prefix are kept.
          const size_t keep = documentStartLen > 0 ? documentStartLen - 1 : 0;
          if (avail > keep) consume(avail - keep);
          compact();
          return -1;
        }
        consume(static_cast<size_t>(at));
        scanState = FIND_END_TAG;
        endSearchFrom_ = 0;  // the end tag is searched from the document start, prefix included
        break;
      }
      case FIND_END_TAG: {
        if (ZUR_UNLIKELY(droppingDocument_)) {
          if (!skipDroppedDocument()) {
            compact();
            return -1;
          }
          endSearchFrom_ = 0;
          scanState = restartScanState;
          if (scanState == FIND_NOTHING) {
            compact();
            return count;
          }
          break;
        }
        const size_t from = endSearchFrom_ < avail ? endSearchFrom_ : avail;
        const ssize_t found = searchWithTable(start + from, avail - from, documentEndTag,
                                              documentEndLen, endSkip_.shift);
        if (found < 0) {
          // A later match can only start in the last documentEndLen - 1 bytes.
          const size_t tail = documentEndLen > 0 ? documentEndLen - 1 : 0;
          if (avail > tail && avail - tail > from) endSearchFrom_ = avail - tail;
          if (ZUR_UNLIKELY(avail >= maxPendingBytes_)) {
            logDroppedDocument(maxPendingBytes_);
            droppingDocument_ = true;
            endSearchFrom_ = 0;
            if (avail > tail) consume(avail - tail);
          }
          compact();
          return -1;
        }
        const size_t docLen = from + static_cast<size_t>(found) + documentEndLen;
        ++count;
        ++documentsProcessed_;
        endSearchFrom_ = 0;
        neededBlockLen = processDocument(start, docLen);
        consume(docLen);
        if (neededBlockLen > 0) {
          scanState = FIND_BLOCK_LENGTH;
          if (ZUR_UNLIKELY(static_cast<size_t>(neededBlockLen) > maxPendingBytes_)) {
            logDroppedBlock(neededBlockLen, maxPendingBytes_);
            blockBytesToSkip_ = static_cast<size_t>(neededBlockLen);
          }
          break;
        }
        scanState = restartScanState;
        if (scanState == FIND_NOTHING) {
          compact();
          return count;
        }
        break;
      }
      default:
        compact();
        logBadScanState(static_cast<int32_t>(scanState));
        return -1;
    }
  }
}

int Extract_And_Process_Document_Stream::scanAndProcessBuffer(const unsigned char* data,
                                                              size_t length) {
  if (scanState != FIND_DOC_START && scanState != FIND_END_TAG && scanState != FIND_BLOCK_LENGTH) {
    return scanForDocument();  // reports the bad state
  }
  const size_t before = documentsProcessed_;
  while (length > 0 && data != nullptr) {
    const size_t part = makeRoom(length);
    if (ZUR_UNLIKELY(part == 0)) break;
    std::memcpy(pendingContent->endBufferLocation(), data, part);
    pendingContent->adjustBufferEnd(part);
    data += part;
    length -= part;
    scanForDocument();
    if (scanState == FIND_NOTHING) {
      // The owner decides how to go on; keep what fits for then.
      const size_t kept = makeRoom(length);
      if (kept > 0) std::memcpy(pendingContent->endBufferLocation(), data, kept);
      pendingContent->adjustBufferEnd(kept);
      break;
    }
  }
  const size_t handed = documentsProcessed_ - before;
  return handed <= static_cast<size_t>(INT32_MAX) ? static_cast<int>(handed) : INT32_MAX;
}

int Extract_And_Process_Document_Stream::scanAndProcessBuffer(File_Buffer* bfr) {
  if (bfr == nullptr) return -1;
  const int result = scanAndProcessBuffer(bfr->startBufferLocation(), bfr->spaceUsed());
  bfr->discardInitialBytes(bfr->spaceUsed());
  return result;
}

int Extract_And_Process_Document_Stream::addIOblockThenProcess(SharedBufferAllocRecord* rec,
                                                               IO_Processor* io) {
  auto* extractor = static_cast<Extract_And_Process_Document_Stream*>(io->getExtraData());
  const size_t used = getUsedLength(rec);
  const size_t offset = io->dataOffset();
  if (extractor == nullptr || used <= offset) return 0;
  extractor->scanAndProcessBuffer(io->bufferAddress(rec, nullptr), used - offset);
  return 0;
}
