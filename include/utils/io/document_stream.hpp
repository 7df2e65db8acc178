// Document extraction from a byte stream that arrives in pieces. A document
// opens with a fixed prefix (up to 63 bytes, possibly empty) and closes with a
// fixed end tag (up to 63 bytes); the document may announce a block of a given
// length that follows it, as an HTTP header announces its body. Arriving bytes
// are collected in one pending File_Buffer; every complete document goes to
// processDocument and every complete announced block to processBlock, both in
// place inside the pending buffer (valid only during the call).
//
// Cost: each byte is searched for the end tag once (a search that fails
// resumes where it stopped when more bytes arrive), consumed documents only
// advance an offset, and the kept bytes move to the front of the storage at
// most once per scan, when the consumed ones fill half of it. Memory: the pending buffer starts at the size given to the
// constructor and grows up to a limit (16 times that size unless set
// otherwise); a document or block that cannot fit in the limit is dropped with
// an io_error message and the scan resynchronises after it.
//
// Not thread-safe: one extractor is fed by one thread. Nothing here throws;
// results are counts or -1 as each operation states.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "utils/base/circular_bfr.hpp"
#include "utils/io/read_file.hpp"

class IO_Processor;

class Extract_And_Process_Document_Stream {
 public:
  // What the scan looks for next.
  enum ScanState : int32_t {
    FIND_NOTHING = 0,       // stop after the current document
    FIND_DOC_START = 1,     // the document prefix
    FIND_END_TAG = 2,       // the end tag of the document that starts the pending bytes
    FIND_BLOCK_LENGTH = 3,  // neededBlockLen bytes of the announced block
  };

  // Capacity of the prefix and end-tag arrays; one byte is the terminator.
  static constexpr size_t MAX_PATTERN_LEN = 63;
  // The pending limit is at least this many bytes.
  static constexpr size_t MIN_PENDING_LIMIT = 128;
  // The pending limit, as a multiple of the initial buffer size.
  static constexpr size_t DEFAULT_PENDING_LIMIT_FACTOR = 16;
  // Initial buffer size used when the constructor is given 0.
  static constexpr size_t DEFAULT_INITIAL_SIZE = 4096;

  ScanState scanState;
  ScanState restartScanState;  // state after a complete document (and its block)
  unsigned char documentStartPrefix[MAX_PATTERN_LEN + 1];
  unsigned char documentEndTag[MAX_PATTERN_LEN + 1];
  File_Buffer* pendingContent;  // owned; the bytes received and not consumed
  ssize_t neededBlockLen;       // length of the block that follows the current document
  size_t documentStartLen;
  size_t documentEndLen;

  // Prefix and end tag are NUL-terminated strings, cut to MAX_PATTERN_LEN
  // bytes (with an io_warning). A null or empty prefix starts (and restarts)
  // the scan in FIND_END_TAG: every document begins right after the previous
  // one. Otherwise the scan starts and restarts in FIND_DOC_START, dropping
  // the bytes before each prefix. An empty end tag never completes a document.
  // initialBufferSize 0 means DEFAULT_INITIAL_SIZE.
  Extract_And_Process_Document_Stream(const char* startPrefix, const char* endTag,
                                      size_t initialBufferSize);
  Extract_And_Process_Document_Stream(const Extract_And_Process_Document_Stream&) = delete;
  Extract_And_Process_Document_Stream& operator=(const Extract_And_Process_Document_Stream&) =
      delete;
  virtual ~Extract_And_Process_Document_Stream();

  // Hooks, in slot order after the destructor.
  // One complete document, prefix through end tag. Returns the length of the
  // block that follows it; 0 or less: none. Base: 0.
  virtual int processDocument(unsigned char* document, size_t length);
  // One complete announced block. The result is not used. Base: 0.
  virtual int_fast32_t processBlock(unsigned char* block, size_t length);

  // Consumes from the pending bytes every complete document and block.
  // Returns the documents handed to processDocument in this call when it stops
  // to wait for block bytes or because the restart state is FIND_NOTHING
  // (after a block: FIND_BLOCK_LENGTH); -1 when it stops because the prefix or
  // end tag is not (yet) pending, or on a bad state (io_error "Bad scan
  // state=<n>"). Documents handed over before a -1 are counted in
  // documentsProcessed().
  int scanForDocument();

  // Appends data (in parts of at most the pending limit) and scans after each
  // part. Returns the documents handed to processDocument during the call, or
  // -1 (nothing appended) when the scan state is not one of 1..3. A scan that
  // ends in FIND_NOTHING keeps the rest of the data pending, as far as it fits.
  int scanAndProcessBuffer(const unsigned char* data, size_t length);
  // The same for the unconsumed bytes of bfr, which are then all consumed.
  // A null bfr gives -1.
  int scanAndProcessBuffer(File_Buffer* bfr);

  // Block routine of an I/O processor whose extra data is the extractor: the
  // block's data (its used length after the processor's data offset) is
  // appended and scanned, as scanAndProcessBuffer does. Returns 0, so the
  // processor gives the block back. An empty block (end of input) and a
  // processor without an extractor do nothing.
  static int addIOblockThenProcess(SharedBufferAllocRecord* rec, IO_Processor* io);

  // Offset of the first occurrence of subString[0, subLen) in
  // source[0, srcLen), or -1 (also for an empty pattern). A first-byte search
  // finds the common case; otherwise a bad-character skip search runs.
  static ssize_t findSubstringInBlock(const unsigned char* source, size_t srcLen,
                                      const unsigned char* subString, size_t subLen);

  // Limit of the pending bytes: a document that reaches it without its end
  // tag, or an announced block longer than it, is dropped (io_error). Values
  // under MIN_PENDING_LIMIT are raised to it. Takes effect at the next scan.
  void setMaxPendingBytes(size_t limit);
  size_t maxPendingBytes() const { return maxPendingBytes_; }
  // Documents handed to processDocument since construction.
  size_t documentsProcessed() const { return documentsProcessed_; }

 private:
  // Bad-character shift table of one pattern: entry b is the distance from the
  // last occurrence of byte b in pattern[0, len - 1) to the pattern's last
  // byte, or len when b does not occur there. The pattern's own last byte
  // thus gets the shift of its previous occurrence, which is what a window
  // whose last byte matched may safely move by. Entries fit a byte because
  // patterns of the extractor are at most MAX_PATTERN_LEN bytes long.
  struct SkipTable {
    uint8_t shift[256];
    void build(const unsigned char* pattern, size_t len);
  };

  // Pending bytes for the next part of an append: grows the storage up to
  // the limit. Returns the bytes that may be appended (at most wanted).
  size_t makeRoom(size_t wanted);
  // Consumes `bytes` pending bytes by advancing the start offset.
  void consume(size_t bytes) { pendingContent->adjustBufferStart(bytes); }
  // End of a scan: moves the unconsumed bytes to the front of the storage
  // once the consumed ones fill half of it.
  void compact();
  // The FIND_BLOCK_LENGTH step while an oversized block is being skipped.
  // Returns true when the skip is complete.
  bool skipDroppedBlock();
  // The FIND_END_TAG step while an oversized document is being dropped.
  // Returns true when its end tag was found and consumed.
  bool skipDroppedDocument();

  size_t maxPendingBytes_;
  size_t endSearchFrom_;  // pending offset where the next end-tag search starts
  size_t documentsProcessed_;
  size_t blockBytesToSkip_;  // bytes of a dropped block still to skip
  bool droppingDocument_;    // a document over the limit is skipped through its end tag
  SkipTable startSkip_;
  SkipTable endSkip_;
};
