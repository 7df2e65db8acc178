// Moves data between a file descriptor and a processing routine through the
// blocks of a buffer region (utils/base/circular_bfr.hpp). The reader
// ("consume") side receives into freshly allocated blocks; the processor side
// hands each filled block to the processing routine and returns the block to
// the region when the routine is done with it. Both sides can run on threads
// of their own (the reader queues blocks on the region's active list and wakes
// the processor), on one thread (each block is processed as soon as it is
// read), or be driven by the caller (submitOrProcessBlock).
//
// Blocks are processed in submission order (for a reader thread that is
// allocation order). The processor keeps its own queue of the submitted
// blocks' record offsets, one slot per block of the region, so a block that
// is allocated and given back without being submitted (a line found empty, a
// log closed meanwhile, a block kept for memory) is never seen by the
// processor, wherever it sits on the region's active list. packetsRead -
// packetsProcessed is the number of queued blocks; submitters append under
// `mutex` and raise packetsRead with release, the processor (the only one
// taking from the queue) reads the count with acquire and the queue without
// the lock. A block whose processing routine returns non-zero is kept by the
// routine: the processor neither returns nor reprocesses it, and the
// routine's owner gives it back later with returnKeptBlock.
//
// A batch routine (setProcessBatchRoutine) lets the processing thread hand
// several queued, filled, non-empty blocks to one call (a writer gathers them
// into one writev); the processor returns them all afterwards. An empty block
// still ends the stream and goes through processBlockRoutine.
//
// Block modes with meta data (blockingMode & 6) put a 64-byte IO_metaBlock_header
// before the data of every block:
//    0  2  headerLen               64, network byte order
//    2  2  fromLen                 source address length, network order; 0 = none
//    4 12  _pad1                   not written
//   16  8  receiveTimeSeconds      with _PACKET_HAS_RECEIVE_TIME, native order
//   24  8  receiveTimeNanoseconds
//   32 32  fromAddress             the sender's socket address (_PACKET_HAS_SOURCE)
// Blocks are only 4-aligned: read and write the header with memcpy
// (copyMetaHeader).
//
// Threads: the thread that builds the processor calls setThreadMode,
// stopThread, interruptThread and waitForThread*; they are not made for
// concurrent use with each other. Threads run with cancellation disabled
// except inside the blocking receive of recvConsume. Stopping a reader that
// blocks in a receive takes SIGIO: its handler does nothing and is installed
// without SA_RESTART, so the receive ends with EINTR; waitForThreadExit
// re-sends SIGIO about every millisecond to a thread asked to stop until it
// has ended. The handler is installed once, and only over the default or
// ignored disposition (an application's own handler is kept, with one warning
// line). Statistics live under the naming node "io_stats".
#pragma once

#include <pthread.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

#include "utils/base/circular_bfr.hpp"
#include "utils/base/timed_mutex.hpp"
#include "utils/shared_vars/shared_variable.hpp"

class IO_Processor;

// Processes one block: 0 = done with it (the processor returns it to the
// region); anything else = the routine keeps it.
using IO_processBlockFP = int (*)(SharedBufferAllocRecord* rec, IO_Processor* io);
// Fills one block: the byte count (0 = end of input), -2 = stop reading, any
// other negative value = an error (ten in a row end the reader).
using IO_receiveBlockFP = ssize_t (*)(SharedBufferAllocRecord* rec, IO_Processor* io);
// Body of the reader thread (default IO_Processor::doConsumeLoop).
using IO_consumeFP = int (*)(IO_Processor* io);
// Body of the processing thread (default IO_Processor::doProcessLoop).
using IO_processFP = int (*)(IO_Processor* io);
// Processes count (>= 1) queued blocks in submission order, all filled and
// non-empty; the processor returns every one to the region afterwards, counts
// them, and calls the routine once more with count 0 (a routine may then wake
// producers that wait for room).
using IO_processBatchFP = void (*)(SharedBufferAllocRecord** recs, uint32_t count, IO_Processor* io);

struct IO_metaBlock_header {
  uint16_t headerLen;
  uint16_t fromLen;
  uint8_t _pad1[12];
  uint64_t receiveTimeSeconds;
  uint64_t receiveTimeNanoseconds;
  unsigned char fromAddress[32];
};
static_assert(sizeof(IO_metaBlock_header) == 64);
static_assert(offsetof(IO_metaBlock_header, fromLen) == 2);
static_assert(offsetof(IO_metaBlock_header, receiveTimeSeconds) == 16);
static_assert(offsetof(IO_metaBlock_header, receiveTimeNanoseconds) == 24);
static_assert(offsetof(IO_metaBlock_header, fromAddress) == 32);

// The node "io_stats" under the processor's naming node. Pending counts are
// changed under the processor's mutex; the rest by one side each. Read them
// with zur::statLoad from other threads.
struct IO_Processor_Statistics {
  explicit IO_Processor_Statistics(SharedMemoryVariableNode* parentNode);

  SharedMemoryVariableNode namingNode;
  SMV_StandaloneNumeric<unsigned long long> bytesRead;       // "bytesRead"
  SMV_StandaloneNumeric<unsigned long long> bytesProcessed;  // "bytesProcessed"
  SMV_StandaloneNumeric<unsigned int> packetsRead;           // "packetsRead"
  SMV_StandaloneNumeric<unsigned int> packetsProcessed;      // "packetsProcessed"
  SMV_StandaloneNumeric<unsigned int> productiveReadSpins;   // "productiveReadSpins"
  SMV_StandaloneNumeric<unsigned int> maxReadTimeout;        // "maxReadTimeout", seconds; a setting
  SMV_StandaloneNumeric<unsigned int> readAttemptsBeforeBlocking;  // "readsBeforeBlock"; a setting
};

class IO_Processor {
 public:
  // Bits: 1 reader thread, 2 processing thread, 4 process blocks as they are
  // read (on the reader thread, or at once in submitOrProcessBlock).
  enum ThreadMode : uint8_t {
    NONE = 0,
    READ_THREAD = 1,
    PROCESS_THREAD = 2,
    BOTH_THREADS = 3,
    SEPARATE_READ_AND_PROCESS_THREADS = 3,
    PROCESS_DURING_READ = 4,
    READ_AND_PROCESS_ON_SAME_THREAD = 5,
  };
  enum BlockMode : uint8_t {
    CONTIGUOUS_BYTE_STREAM = 0,  // recv
    PACKET = 1,
    _PACKET_HAS_SOURCE = 2,        // recvfrom; fromAddress in the meta header
    _PACKET_HAS_RECEIVE_TIME = 4,  // receive time in the meta header
    _PACKET_HAS_META_DATA = 6,
    _NOT_SOCKET = 128,  // read(): a pipe or file; no socket options
    PACKET_WITH_SOURCE = 3,
    PACKET_WITH_TIME = 5,
    PACKET_WITH_SOURCE_AND_TIME = 7,
    CONTIGUOUS_FILE_STREAM = 128,
  };
  static constexpr size_t META_HEADER_LEN = sizeof(IO_metaBlock_header);
  // The most blocks handed to one call of a batch routine.
  static constexpr uint32_t MAX_PROCESS_BATCH = 64;

  // Builds the statistics under namingNode (null: kept in the objects), the
  // mutex "io_lock" and condition "io_cond" under namingNode, maxPacketSize =
  // the region's block size (less 64 with meta data), reads the descriptor's
  // status flags (0 when none or fcntl fails), then starts the threads of
  // threadMode and waits (at most 10 s) until those actually created run.
  IO_Processor(SharedMemoryVariableNode* namingNode, BufferRegion* bfrManager, IO_processBlockFP processBlockRoutine,
               int descriptor, unsigned threadMode = NONE, void* extraData = nullptr, unsigned blockMode = PACKET,
               IO_receiveBlockFP recvRoutine = recvConsume, IO_consumeFP consumeRoutine = doConsumeLoop,
               IO_processFP processRoutine = doProcessLoop);
  // Deletes condition, mutex and statistics. Threads should have been
  // stopped and joined; any still there are stopped and waited for first
  // (with a warning line), so they never outlive the object.
  virtual ~IO_Processor();
  IO_Processor(const IO_Processor&) = delete;
  IO_Processor& operator=(const IO_Processor&) = delete;

  // Wants the threads of mode and sets or clears bit 4; starts the threads
  // newly wanted (never stops one). Returns 3 (both started), 2 (processing),
  // 1 (reader) or 0; a failed pthread_create is reported on stderr.
  int setThreadMode(unsigned mode);
  unsigned getThreadMode() const { return __atomic_load_n(&currentThreadState, __ATOMIC_RELAXED); }

  // Sets the block mode and maxPacketSize to fit the region's blocks.
  void setBlockingMode(unsigned mode);
  void setLabel(const char* text);
  const char* getLabel() const { return label; }
  void setPacketsProcessedIncrement(int32_t increment) { packetsProcessedIncrement = increment; }
  void setReadAttempts(unsigned attempts) { zur::statStore(statistics->readAttemptsBeforeBlocking, attempts); }
  unsigned getReadAttempts() const { return zur::statLoad(statistics->readAttemptsBeforeBlocking); }
  void setReadTimeout(unsigned seconds) { zur::statStore(statistics->maxReadTimeout, seconds); }
  unsigned getReadTimeout() const { return zur::statLoad(statistics->maxReadTimeout); }
  void setExtraData(void* data) { extraData = data; }
  void* getExtraData() const { return extraData; }
  void setMaxPacketSize(size_t size) { maxPacketSize = size; }
  void setProcessRoutine(IO_processBlockFP routine) { processBlockRoutine = routine; }
  void setProcessLoopRoutine(IO_processFP routine) { processRoutine = routine; }
  void setConsumeLoopRoutine(IO_consumeFP routine) { consumeRoutine = routine; }
  void setConsumeRoutine(IO_receiveBlockFP routine) { recvRoutine = routine; }
  // Set before the processing thread starts: with a batch routine the
  // processing loop takes up to maxBatch (at least 1) ready blocks at a time.
  void setProcessBatchRoutine(IO_processBatchFP routine, uint32_t maxBatch);
  BufferRegion* getBufferRegion() const { return bfrManager; }
  int getDescriptor() const { return descriptor; }
  // Stores the descriptor and reads its flags (0 for -1).
  void setDescriptor(int fd);

  // 64 in block modes with meta data, else 0.
  size_t dataOffset() const { return (blockingMode & _PACKET_HAS_META_DATA) != 0 ? META_HEADER_LEN : 0; }
  // The data of a block; *len (when not null) gets the room for it.
  unsigned char* bufferAddress(SharedBufferAllocRecord* rec, size_t* len);
  // The meta header at the start of a block (null without meta data);
  // *len gets the block length. Only 4-aligned: use copyMetaHeader to read.
  IO_metaBlock_header* bufferHeaderAddress(SharedBufferAllocRecord* rec, size_t* len);
  // Copies the meta header of a block into *out; false without meta data.
  bool copyMetaHeader(SharedBufferAllocRecord* rec, IO_metaBlock_header* out);

  // Hands one filled block (allocated from the region, usedLen set) to the
  // processor. With bit 4 it is processed at once and the routine's result
  // is returned; otherwise it is queued, a waiting processor woken, and 1
  // returned.
  int submitOrProcessBlock(SharedBufferAllocRecord* rec);
  // Gives back a block that the processing routine kept (any thread).
  void returnKeptBlock(SharedBufferAllocRecord* rec);
  // For use after the processing thread has ended: sets bit 4, so blocks
  // submitted from now on are processed at once, then processes on the
  // calling thread the blocks still queued, in order. Returns their number.
  int processQueuedBlocks();

  // The default receive routine (read / recv / recvfrom, optional busy
  // polling and receive time-out); see the source for the steps.
  static ssize_t recvConsume(SharedBufferAllocRecord* rec, IO_Processor* io);
  // The default reader loop: allocate, receive, queue or process, until a
  // stop request, end of input, -2 or ten receive errors in a row. Returns
  // 0, -2, or -1 for a region without blocks.
  static int doConsumeLoop(IO_Processor* io);
  // The default processing loop: until a stop request or an empty block.
  static int doProcessLoop(IO_Processor* io);

  // Pending count after waiting for one (or a stop request of the processor,
  // or the CLOCK_REALTIME deadline). alreadyLocked: the caller holds `mutex`;
  // it is released on return either way.
  int waitForDataToProcess(bool alreadyLocked);
  int waitForDataToProcessOrUntil(const timespec* abstime, bool alreadyLocked);
  // Wakes a waiting processor; returns the pending count. Releases `mutex`.
  int noteDataToProcess(bool alreadyLocked);
  // packetsRead - packetsProcessed.
  int pendingCount() const;

  // SIGIO (and with force pthread_cancel) to each running thread of modes
  // other than the caller; returns the running bits among modes.
  int interruptThread(unsigned modes, bool force);
  // Asks the threads of modes to stop; wakes a waiting processor; a repeated
  // request signals a reader, a third one a processor. Returns the running
  // bits among modes.
  int stopThread(unsigned modes);
  // Waits (at most 10 s) until the wanted and created threads of modes have
  // started; returns currentThreadState & modes.
  int waitForThreadStart(unsigned modes);
  // Joins the threads of modes (re-sending SIGIO to those asked to stop);
  // 0, or -1 when a thread has not ended within 30 s (left unjoined).
  int waitForThreadExit(unsigned modes);
  // Sets a thread's system name to the first 15 characters of label.
  static void setLabelForThread(pthread_t thread, const char* label);
  // True when a stop of any thread of modes has been asked for.
  bool stopAsked(unsigned modes) const { return (__atomic_load_n(&stopRequested, __ATOMIC_ACQUIRE) & modes) != 0; }

  BufferRegion* bfrManager;           // not owned
  IO_Processor_Statistics* statistics;  // owned
  TimedMutex* mutex;                  // owned
  TimedCondition* condition;          // owned
  IO_processFP processRoutine;
  IO_processBlockFP processBlockRoutine;
  IO_consumeFP consumeRoutine;
  IO_receiveBlockFP recvRoutine;
  void* extraData;
  pthread_t consumeThreadID;  // 0 when none
  pthread_t processThreadID;  // 0 when none
  int descriptor;             // -1 = none
  uint32_t descriptorFlags;   // fcntl status flags as last set
  int32_t packetsProcessedIncrement;
  char label[24];
  size_t maxPacketSize;
  unsigned lastReadTimeout;  // seconds last applied with SO_RCVTIMEO
  // Bit 1 reader, bit 2 processor (bit 4 of currentThreadState: process as
  // read). stopRequested: 1 / 2 stop the reader / processor, 8 / 16 a repeated
  // request. Changed only with atomic or / and.
  uint8_t threadStartedState;
  uint8_t currentThreadState;
  uint8_t desiredThreadState;
  uint8_t stopRequested;
  uint8_t blockingMode;

 private:
  static void* startConsumeThread(void* arg);
  static void* startProcessThread(void* arg);
  // Starts the reader or processing thread (bit READ_THREAD or
  // PROCESS_THREAD) and names it; on failure *id is 0 and the bit stays clear.
  void startThread(pthread_t* id, unsigned bit, void* (*routine)(void*), const char* nameFormat);
  // Processes one block on the calling thread: counts, returns or keeps it.
  // *len gets the block's length after the routine.
  int processNow(SharedBufferAllocRecord* rec, uint32_t* len);
  // Appends one block to the queue under the mutex (taken untimed: the
  // submissions do not appear in its statistics), raises packetsRead and
  // wakes a waiter. False (nothing queued) when bit 4 was set meanwhile or
  // the queue is full: the caller processes the block itself.
  bool queueBlock(SharedBufferAllocRecord* rec);
  // Polls the pending count a few microseconds; true when work came.
  bool spinForData();
  // The i-th queued block (i < pending count) or null for a bad slot.
  SharedBufferAllocRecord* queuedBlock(uint32_t i) const;
  // Processes up to maxBatch ready blocks through the batch routine; returns
  // how many (0: the first is empty or unfilled, process it singly).
  uint32_t processBatch(uint32_t pending);
  // Waits (bounded by stop requests) while a queued block is still unfilled.
  bool waitUntilFilled(SharedBufferAllocRecord* rec) const;

  uint8_t createdThreads;  // bits of threads whose pthread_create succeeded
  uint32_t* queue;         // record offsets; queueMask + 1 slots (owned)
  uint32_t queueMask;
  uint32_t queueHead;      // next slot to process (processing side only)
  uint32_t queueTail;      // next slot to fill (under mutex)
  IO_processBatchFP processBatchRoutine;
  uint32_t maxBatch;
};
