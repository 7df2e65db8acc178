// The I/O processor's object, block handling and the handover between
// submitters and the processor: submitting or processing a block, the queue
// of submitted blocks, the processing loop, waiting for work and signalling
// it. Submitters append a block's record offset to the queue under `mutex`,
// then publish it with a release store of the queue's tail and a release
// increment of packetsRead; the processor, the only one taking from the
// queue, reads them with acquire: a processor that sees a count also sees the
// queued block's slot, its length and its bytes.
#include "utils/io/io_processor.hpp"

#include "utils/base/atomic_values.hpp"
#include "utils/base/circular_wait.hpp"

#include <fcntl.h>
#include <sched.h>
#include <time.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

using ByteCount = unsigned long long;

// The pending counts with the ordering their handover needs.
unsigned loadAcquire(const SMV_StandaloneNumeric<unsigned>& var) {
  const SharedMemoryVariable_Record* rec = __atomic_load_n(&var.dataPointer, __ATOMIC_RELAXED);
  return __atomic_load_n(&rec->numericValue.u32, __ATOMIC_ACQUIRE);
}
void addRelease(SMV_StandaloneNumeric<unsigned>& var, unsigned delta) {
  SharedMemoryVariable_Record* rec = __atomic_load_n(&var.dataPointer, __ATOMIC_RELAXED);
  // release: publishes the queued block (its list link and bytes); pairs
  // with the acquire in loadAcquire.
  __atomic_fetch_add(&rec->numericValue.u32, delta, __ATOMIC_RELEASE);
}

// Queue slots: one per block of the region (a block is queued at most once
// until it is processed), a power of two, bounded for regions of tiny blocks.
constexpr uint32_t MAX_QUEUE_SLOTS = 1u << 20;
constexpr uint32_t MAX_BATCH = IO_Processor::MAX_PROCESS_BATCH;

uint32_t queueSlots(const BufferRegion* region) {
  const size_t blocks = region != nullptr ? region->getAvailableBlocks() : 0;
  uint32_t slots = 2;
  while (slots < blocks && slots < MAX_QUEUE_SLOTS) slots <<= 1;
  return slots;
}

uint32_t descriptorStatusFlags(int fd) {
  if (fd < 0) return 0;
  const int flags = fcntl(fd, F_GETFL);
  return flags < 0 ? 0u : static_cast<uint32_t>(flags);
}

// A CLOCK_REALTIME deadline one second from now, or abstime when earlier.
timespec waitSlice(const timespec* abstime) {
  timespec slice;
  clock_gettime(CLOCK_REALTIME, &slice);
  slice.tv_sec += 1;
  if (abstime != nullptr &&
      (abstime->tv_sec < slice.tv_sec || (abstime->tv_sec == slice.tv_sec && abstime->tv_nsec < slice.tv_nsec))) {
    slice = *abstime;
  }
  return slice;
}

bool deadlinePassed(const timespec* abstime) {
  if (abstime == nullptr) return false;
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec > abstime->tv_sec || (now.tv_sec == abstime->tv_sec && now.tv_nsec >= abstime->tv_nsec);
}

}  // namespace

IO_Processor_Statistics::IO_Processor_Statistics(SharedMemoryVariableNode* parentNode)
    : namingNode("io_stats", parentNode),
      bytesRead("bytesRead", &namingNode, 0),
      bytesProcessed("bytesProcessed", &namingNode, 0),
      packetsRead("packetsRead", &namingNode, 0),
      packetsProcessed("packetsProcessed", &namingNode, 0),
      productiveReadSpins("productiveReadSpins", &namingNode, 0),
      maxReadTimeout("maxReadTimeout", &namingNode, 0),
      readAttemptsBeforeBlocking("readsBeforeBlock", &namingNode, 0) {}

IO_Processor::IO_Processor(SharedMemoryVariableNode* namingNode, BufferRegion* region,
                           IO_processBlockFP processBlock, int fd, unsigned threadMode, void* data,
                           unsigned blockMode, IO_receiveBlockFP receive, IO_consumeFP consumeLoop,
                           IO_processFP processLoop)
    : bfrManager(region),
      statistics(new IO_Processor_Statistics(namingNode)),
      mutex(new TimedMutex("io_lock", namingNode, false)),
      condition(nullptr),
      processRoutine(processLoop),
      processBlockRoutine(processBlock),
      consumeRoutine(consumeLoop),
      recvRoutine(receive),
      extraData(data),
      consumeThreadID(0),
      processThreadID(0),
      descriptor(fd),
      descriptorFlags(descriptorStatusFlags(fd)),
      packetsProcessedIncrement(1),
      label{},
      maxPacketSize(0),
      lastReadTimeout(0),
      threadStartedState(0),
      currentThreadState(0),
      desiredThreadState(0),
      stopRequested(0),
      blockingMode(0),
      createdThreads(0),
      queue(nullptr),
      queueMask(0),
      queueHead(0),
      queueTail(0),
      processBatchRoutine(nullptr),
      maxBatch(1) {
  condition = new TimedCondition(mutex, "io_cond", namingNode);
  const uint32_t slots = queueSlots(region);
  queue = new (std::nothrow) uint32_t[slots];
  if (queue != nullptr) {
    queueMask = slots - 1;
  } else {
    std::fprintf(stderr, "IO_Processor: no memory for a queue of %u blocks; blocks are processed at once\n", slots);
  }
  setLabel(namingNode != nullptr ? namingNode->getName() : "io");
  setBlockingMode(blockMode);
  if (threadMode != NONE) {
    setThreadMode(threadMode);
    waitForThreadStart(threadMode & BOTH_THREADS);
  }
}

IO_Processor::~IO_Processor() {
  const unsigned left = __atomic_load_n(&createdThreads, __ATOMIC_RELAXED);
  if (left != 0) {
    std::fprintf(stderr, "IO_Processor %s destroyed with threads %u; stopping them\n", label, left);
    stopThread(left);
    waitForThreadExit(left);
  }
  delete condition;
  delete mutex;
  delete statistics;
  delete[] queue;
}

void IO_Processor::setBlockingMode(unsigned mode) {
  blockingMode = static_cast<uint8_t>(mode);
  const size_t blockSize = bfrManager != nullptr ? bfrManager->getBlockSize() : 0;
  const size_t header = dataOffset();
  maxPacketSize = blockSize > header ? blockSize - header : 0;
}

void IO_Processor::setLabel(const char* text) {
  std::snprintf(label, sizeof label, "%s", text != nullptr ? text : "");
}

void IO_Processor::setDescriptor(int fd) {
  descriptor = fd;
  descriptorFlags = descriptorStatusFlags(fd);
}

unsigned char* IO_Processor::bufferAddress(SharedBufferAllocRecord* rec, size_t* len) {
  const size_t offset = dataOffset();
  if (len != nullptr) *len = rec->blockLen > offset ? rec->blockLen - offset : 0;
  return bfrManager->blockAddress(rec) + offset;
}

IO_metaBlock_header* IO_Processor::bufferHeaderAddress(SharedBufferAllocRecord* rec, size_t* len) {
  if (len != nullptr) *len = rec->blockLen;
  if (dataOffset() == 0) return nullptr;
  return reinterpret_cast<IO_metaBlock_header*>(bfrManager->blockAddress(rec));
}

bool IO_Processor::copyMetaHeader(SharedBufferAllocRecord* rec, IO_metaBlock_header* out) {
  if (dataOffset() == 0) return false;
  std::memcpy(out, bfrManager->blockAddress(rec), sizeof *out);
  return true;
}

int IO_Processor::pendingCount() const {
  return static_cast<int>(loadAcquire(statistics->packetsRead) - zur::statLoad(statistics->packetsProcessed));
}

void IO_Processor::setProcessBatchRoutine(IO_processBatchFP routine, uint32_t batch) {
  processBatchRoutine = routine;
  maxBatch = batch < 1 ? 1 : batch > MAX_BATCH ? MAX_BATCH : batch;
}

int IO_Processor::processNow(SharedBufferAllocRecord* rec, uint32_t* lenOut) {
  const int kept = processBlockRoutine(rec, this);
  // The length after the routine (it may change it), read before the block
  // goes back.
  const uint32_t len = getUsedLength(rec);
  *lenOut = len;
  if (kept == 0) {
    bfrManager->returnBlock(rec);
  }
  zur::statAdd(statistics->bytesProcessed, static_cast<ByteCount>(len));
  zur::statAdd(statistics->packetsProcessed, static_cast<unsigned>(packetsProcessedIncrement));
  return kept;
}

bool IO_Processor::queueBlock(SharedBufferAllocRecord* rec) {
  // Held for a few stores: taken without the lock statistics, whose two
  // processor-counter reads would cost more than the hand-over itself.
  mutex->untimedLock();
  const uint32_t tail = __atomic_load_n(&queueTail, __ATOMIC_RELAXED);
  // Bit 4 is set under the mutex when the processing thread has gone
  // (processQueuedBlocks): nothing may be queued after that.
  const bool atOnce = (__atomic_load_n(&currentThreadState, __ATOMIC_RELAXED) & PROCESS_DURING_READ) != 0;
  if (atOnce || queue == nullptr || tail - __atomic_load_n(&queueHead, __ATOMIC_ACQUIRE) > queueMask) {
    mutex->untimedUnlock();
    if (!atOnce) std::fprintf(stderr, "IO_Processor %s: queue full; block processed at once\n", label);
    return false;
  }
  const uint32_t offset = static_cast<uint32_t>(reinterpret_cast<unsigned char*>(rec) - bfrManager->getBufferBase());
  __atomic_store_n(&queue[tail & queueMask], offset, __ATOMIC_RELAXED);
  // release: the slot before the tail and the count that announce it.
  __atomic_store_n(&queueTail, tail + 1, __ATOMIC_RELEASE);
  addRelease(statistics->packetsRead, 1);
  if (condition->isSleeping()) condition->postCondition();
  mutex->untimedUnlock();
  return true;
}

int IO_Processor::submitOrProcessBlock(SharedBufferAllocRecord* rec) {
  if ((__atomic_load_n(&currentThreadState, __ATOMIC_RELAXED) & PROCESS_DURING_READ) == 0 && queueBlock(rec)) {
    return 1;
  }
  addRelease(statistics->packetsRead, 1);
  uint32_t len;
  return processNow(rec, &len);
}

void IO_Processor::returnKeptBlock(SharedBufferAllocRecord* rec) { bfrManager->returnBlock(rec); }

SharedBufferAllocRecord* IO_Processor::queuedBlock(uint32_t i) const {
  const uint32_t offset = __atomic_load_n(&queue[(queueHead + i) & queueMask], __ATOMIC_RELAXED);
  if (offset < sizeof(SharedBufferRegionHeader_32) || offset >= bfrManager->getRegionLength()) return nullptr;
  return reinterpret_cast<SharedBufferAllocRecord*>(bfrManager->getBufferBase() + offset);
}

bool IO_Processor::waitUntilFilled(SharedBufferAllocRecord* rec) const {
  // A submitted block is filled; one handed on unfilled waits for its
  // filler, up to a stop request of the processor (or about 2 s on a thread
  // that is not the processor's).
  const bool onProcessor = processThreadID != 0 && pthread_equal(processThreadID, pthread_self()) != 0;
  for (uint32_t passes = 1; getUsedLength(rec) == SHARED_BUFFER_UNFILLED; ++passes) {
    if (onProcessor ? stopAsked(PROCESS_THREAD) : passes > 32000) return false;
    if ((passes & 7u) == 0) {
      const timespec pause{0, 500000};
      nanosleep(&pause, nullptr);
    } else {
      sched_yield();
    }
  }
  return true;
}

uint32_t IO_Processor::processBatch(uint32_t queued) {
  SharedBufferAllocRecord* recs[MAX_BATCH];
  const uint32_t limit = queued < maxBatch ? queued : maxBatch;
  uint32_t count = 0;
  ByteCount bytes = 0;
  // Filled, non-empty blocks only: an empty one ends the stream and an
  // unfilled one is waited for, both on the single-block path.
  for (; count < limit; ++count) {
    SharedBufferAllocRecord* rec = queuedBlock(count);
    const uint32_t len = rec != nullptr ? getUsedLength(rec) : 0;
    if (len == 0 || len == SHARED_BUFFER_UNFILLED) break;
    recs[count] = rec;
    bytes += len;
  }
  if (count == 0) return 0;
  // The slots are free before their blocks are: a block given back may be
  // queued again at once, and the queue has one slot per block.
  __atomic_store_n(&queueHead, queueHead + count, __ATOMIC_RELEASE);
  processBatchRoutine(recs, count, this);
  for (uint32_t i = 0; i < count; ++i) bfrManager->returnBlock(recs[i]);
  zur::statAdd(statistics->bytesProcessed, bytes);
  zur::statAdd(statistics->packetsProcessed, count * static_cast<unsigned>(packetsProcessedIncrement));
  processBatchRoutine(nullptr, 0, this);  // the blocks are back and counted
  return count;
}

int IO_Processor::processQueuedBlocks() {
  mutex->LOCK_HERE();
  zur::fetchOr(&currentThreadState, static_cast<uint8_t>(PROCESS_DURING_READ));
  const uint32_t tail = __atomic_load_n(&queueTail, __ATOMIC_RELAXED);
  mutex->unlock();
  int done = 0;
  while (queue != nullptr && queueHead != tail) {
    SharedBufferAllocRecord* rec = queuedBlock(0);
    __atomic_store_n(&queueHead, queueHead + 1, __ATOMIC_RELEASE);
    if (rec == nullptr) continue;
    waitUntilFilled(rec);
    uint32_t len;
    processNow(rec, &len);
    ++done;
  }
  return done;
}

int IO_Processor::doProcessLoop(IO_Processor* io) {
  IO_Processor_Statistics* s = io->statistics;
  for (;;) {
    if (io->stopAsked(PROCESS_THREAD)) return 0;
    if (io->pendingCount() == 0 && !io->spinForData()) {
      io->waitForDataToProcess(false);
      if (io->stopAsked(PROCESS_THREAD)) return 0;
      if (io->pendingCount() == 0) {
        std::fprintf(stderr, "no packet difference, retry\n");
        continue;
      }
    }
    // Only blocks already counted in packetsRead: a submitter stores the
    // queue's tail before it raises the count, and processing a block not
    // yet counted would make the counts cross.
    const int pending = io->pendingCount();
    uint32_t queued = __atomic_load_n(&io->queueTail, __ATOMIC_ACQUIRE) - io->queueHead;
    const uint32_t counted = pending < 0 ? 0u : static_cast<uint32_t>(pending);
    if (queued > counted) queued = counted;
    SharedBufferAllocRecord* rec = queued != 0 ? io->queuedBlock(0) : nullptr;
    if (rec == nullptr) {
      if (queued != 0) __atomic_store_n(&io->queueHead, io->queueHead + 1, __ATOMIC_RELEASE);
      const unsigned read = loadAcquire(s->packetsRead);
      const unsigned processed = zur::statLoad(s->packetsProcessed);
      std::fprintf(stderr, "NO active record, but packetsRead=%u packetsProcessed=%u\n", read, processed);
      if (processed < read) {
        zur::statAdd(s->packetsProcessed, 1u);
        continue;
      }
      std::fprintf(stderr, "Giving up\n");
      return 0;
    }
    if (io->processBatchRoutine != nullptr && io->processBatch(queued) != 0) continue;
    if (!io->waitUntilFilled(rec)) return 0;
    // The slot is free before the block is (see processBatch).
    __atomic_store_n(&io->queueHead, io->queueHead + 1, __ATOMIC_RELEASE);
    uint32_t len;
    io->processNow(rec, &len);
    if (len == 0) return 0;  // an empty block ends the stream
  }
}

bool IO_Processor::spinForData() {
  // About the time of one read of a large block: a streaming reader's next
  // block then costs no sleep and wake-up (two system calls and two context
  // switches), while an idle processor spins once per idle period.
  for (uint32_t spins = 0; spins < 4096; ++spins) {
    ZUR_spinPause(spins);
    if (pendingCount() != 0) return true;
    if (stopAsked(PROCESS_THREAD)) return false;
  }
  return false;
}

int IO_Processor::waitForDataToProcess(bool alreadyLocked) {
  return waitForDataToProcessOrUntil(nullptr, alreadyLocked);
}

int IO_Processor::waitForDataToProcessOrUntil(const timespec* abstime, bool alreadyLocked) {
  int pending = pendingCount();
  if (pending != 0) {
    if (alreadyLocked) mutex->unlock();
    return pending;
  }
  if (!alreadyLocked) mutex->LOCK_HERE();
  // Waits in slices of at most a second, so a lost wake-up costs a second,
  // never a hang.
  while ((pending = pendingCount()) == 0 && !stopAsked(PROCESS_THREAD) && !deadlinePassed(abstime)) {
    const timespec slice = waitSlice(abstime);
    condition->WAIT_HERE_UNTIL(&slice);
  }
  mutex->unlock();
  return pending;
}

int IO_Processor::noteDataToProcess(bool alreadyLocked) {
  if (!alreadyLocked) mutex->LOCK_HERE();
  if (condition->isSleeping()) condition->postCondition();
  mutex->unlock();
  return pendingCount();
}
