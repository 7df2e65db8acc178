// The I/O processor's object, block handling and the handover between reader
// and processor: submitting or processing a block, the processing loop,
// waiting for work and signalling it. The pending count (packetsRead -
// packetsProcessed) is raised under `mutex` with a release store and read by
// the processor with acquire: a processor that sees a count also sees the
// queued block linked on the region's active list.
#include "utils/io/io_processor.hpp"

#include "utils/base/circular_wait.hpp"

#include <fcntl.h>
#include <sched.h>
#include <time.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

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
      keptBlocks(0) {
  condition = new TimedCondition(mutex, "io_cond", namingNode);
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

int IO_Processor::processNow(SharedBufferAllocRecord* rec, uint32_t* lenOut) {
  const int kept = processBlockRoutine(rec, this);
  // The length after the routine (it may change it), read before the block
  // goes back.
  const uint32_t len = getUsedLength(rec);
  *lenOut = len;
  if (kept == 0) {
    bfrManager->returnBlock(rec);
  } else {
    __atomic_add_fetch(&keptBlocks, 1, __ATOMIC_SEQ_CST);
  }
  zur::statAdd(statistics->bytesProcessed, static_cast<ByteCount>(len));
  zur::statAdd(statistics->packetsProcessed, static_cast<unsigned>(packetsProcessedIncrement));
  return kept;
}

void IO_Processor::queueBlock() {
  mutex->LOCK_HERE();
  addRelease(statistics->packetsRead, 1);
  if (condition->isSleeping()) condition->postCondition();
  mutex->unlock();
}

int IO_Processor::submitOrProcessBlock(SharedBufferAllocRecord* rec) {
  if ((__atomic_load_n(&currentThreadState, __ATOMIC_RELAXED) & PROCESS_DURING_READ) != 0) {
    addRelease(statistics->packetsRead, 1);
    uint32_t len;
    return processNow(rec, &len);
  }
  queueBlock();
  return 1;
}

void IO_Processor::returnKeptBlock(SharedBufferAllocRecord* rec) {
  // Under the mutex, so a processor walking past the kept blocks sees the
  // list and the count change together.
  mutex->LOCK_HERE();
  bfrManager->returnBlock(rec);
  __atomic_sub_fetch(&keptBlocks, 1, __ATOMIC_SEQ_CST);
  mutex->unlock();
}

SharedBufferAllocRecord* IO_Processor::nextBlockToProcess() {
  // Every processed block lies before every unprocessed one on the active
  // list, so the kept ones are its first keptBlocks records. Only this
  // thread raises the count: when it reads 0 there is nothing to skip.
  if (__atomic_load_n(&keptBlocks, __ATOMIC_SEQ_CST) == 0) return bfrManager->getActiveListHead();
  mutex->LOCK_HERE();
  SharedBufferAllocRecord* rec = bfrManager->getActiveListHead();
  for (int32_t skip = __atomic_load_n(&keptBlocks, __ATOMIC_SEQ_CST); skip > 0 && rec != nullptr; --skip) {
    rec = bfrManager->traverseNextBlock(rec);
  }
  mutex->unlock();
  return rec;
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
    SharedBufferAllocRecord* rec = io->nextBlockToProcess();
    if (rec == nullptr) {
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
    // Another submitter may still be filling an older block.
    for (uint32_t passes = 1; getUsedLength(rec) == SHARED_BUFFER_UNFILLED; ++passes) {
      if (io->stopAsked(PROCESS_THREAD)) return 0;
      if ((passes & 7u) == 0) {
        const timespec pause{0, 500000};
        nanosleep(&pause, nullptr);
      } else {
        sched_yield();
      }
    }
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
