// The writer thread of a log manager is the processing thread of the
// manager's I/O processor over the manager's region. Logging threads submit
// gathered blocks; the thread writes them in submission order, up to
// IO_Processor::MAX_PROCESS_BATCH ready blocks per writev (writeLogBatch), and
// the processor gives them back. Only closeLog, the destructor and
// killProcessingThread submit the empty end block; they wait at most
// THREAD_JOIN_SECONDS for the thread, then stop it, and write themselves what
// was queued after the end block. The thread reports its own troubles on
// standard error, never through a manager.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "utils/io/io_processor.hpp"
#include "utils/logging/logging_api.hpp"

namespace {

void pause(long ns) {
  const timespec t{0, ns};
  nanosleep(&t, nullptr);
}

// Blocks that may be queued before loggers wait for the writer: all but a
// few, which stay free for lines being rendered and for the end block.
uint32_t queuedLimit(size_t blocks) {
  const size_t reserve = blocks / 2 < 8 ? blocks / 2 : 8;
  return static_cast<uint32_t>(blocks - reserve);
}

// Maps every page of the region now, without changing its bytes, so the
// logging threads do not take a page fault (about a microsecond) on each
// block's first use while the writer lets the queue grow. Kernels without
// MADV_POPULATE_WRITE (before Linux 5.14) refuse it; the pages are then
// mapped on first use as before.
void populateRegion([[maybe_unused]] unsigned char* base, [[maybe_unused]] size_t len) {
#ifdef MADV_POPULATE_WRITE
  const long page = sysconf(_SC_PAGESIZE);
  if (base == nullptr || page <= 0) return;
  const uintptr_t pageMask = static_cast<uintptr_t>(page) - 1;
  const uintptr_t first = (reinterpret_cast<uintptr_t>(base) + pageMask) & ~pageMask;
  const uintptr_t end = (reinterpret_cast<uintptr_t>(base) + len) & ~pageMask;
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#endif
}

}  // namespace

void LogManager::writeLogBatch(SharedBufferAllocRecord** recs, uint32_t count, IO_Processor* io) {
  if (count == 0) {  // the batch's blocks are back
    static_cast<LogManager*>(io->getExtraData())->wakeRoomWaiters();
    return;
  }
  iovec elements[IO_Processor::MAX_PROCESS_BATCH];
  const size_t offset = io->dataOffset();
  uint32_t used = 0;
  for (uint32_t i = 0; i < count && used < IO_Processor::MAX_PROCESS_BATCH; ++i) {
    const uint32_t len = getUsedLength(recs[i]);
    if (len <= offset) continue;
    elements[used].iov_base = io->bufferAddress(recs[i], nullptr);
    elements[used].iov_len = len - offset;
    ++used;
  }
  writeElements(io->getDescriptor(), elements, used, io);
}

SharedBufferAllocRecord* LogManager::allocateBuffer() {
  if (bfrMgr == nullptr || bfrMgr->getAvailableBlocks() == 0) return nullptr;
  if (threaded.load(std::memory_order_acquire) && !closed.load(std::memory_order_relaxed)) waitForRoom();
  return bfrMgr->allocateBlock(blockSize);
}

void LogManager::waitForRoom() {
  // Loggers wait here on a condition while the writer holds all but a few
  // blocks, not in the region's allocator (which sleeps 100 ms at times).
  // The writer wakes them when a batch's blocks are back; each wait is a
  // slice of 2 ms (a wake-up missed costs one) and all together at most
  // about THREAD_JOIN_SECONDS.
  if (ioMgr->pendingCount() < static_cast<int>(queueLimit)) return;
  constexpr uint32_t MAX_WAITS = THREAD_JOIN_SECONDS * 500u;
  pthread_mutex_lock(&roomLock);
  roomWaiters.fetch_add(1);
  for (uint32_t waits = 0; waits < MAX_WAITS && ioMgr->pendingCount() >= static_cast<int>(queueLimit) &&
                           threaded.load(std::memory_order_relaxed);
       ++waits) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += 2000000;
    if (deadline.tv_nsec >= 1000000000) {
      deadline.tv_nsec -= 1000000000;
      ++deadline.tv_sec;
    }
    pthread_cond_timedwait(&roomFreed, &roomLock, &deadline);
  }
  roomWaiters.fetch_sub(1);
  pthread_mutex_unlock(&roomLock);
}

void LogManager::wakeRoomWaiters() {
  if (roomWaiters.load() == 0) return;
  // The lock orders the freed blocks before a waiter's check; the broadcast
  // follows the unlock, so a woken waiter does not block on the lock still
  // held here (a second sleep and wake-up).
  pthread_mutex_lock(&roomLock);
  pthread_mutex_unlock(&roomLock);
  pthread_cond_broadcast(&roomFreed);
}

bool LogManager::startWriterThread() {
  // queueLimit is set by the first start: a manager gets one writer thread.
  if (ioMgr == nullptr || bfrMgr->getAvailableBlocks() == 0 || queueLimit != 0) return false;
  queueLimit = queuedLimit(bfrMgr->getAvailableBlocks());
  populateRegion(bfrMgr->getBufferBase(), bfrMgr->getRegionLength());
  ioMgr->setProcessBatchRoutine(&writeLogBatch, IO_Processor::MAX_PROCESS_BATCH);
  ioMgr->setThreadMode(IO_Processor::PROCESS_THREAD);
  if ((ioMgr->waitForThreadStart(IO_Processor::PROCESS_THREAD) & IO_Processor::PROCESS_THREAD) == 0) {
    std::fprintf(stderr, "LogManager %s: cannot start writer thread; writing directly\n", appName);
    ioMgr->waitForThreadExit(IO_Processor::PROCESS_THREAD);
    ioMgr->processQueuedBlocks();
    return false;
  }
  // release: loggers that see the flag hand their lines to the thread.
  threaded.store(true, std::memory_order_release);
  return true;
}

ssize_t LogManager::writeDataToBuffer(SharedBufferAllocRecord* rec) {
  if (rec == nullptr) return 0;
  const uint32_t len = getUsedLength(rec);
  // A closed manager and a memory manager only give the block back, as does
  // an empty block (it would read as the end of the log).
  if (ioMgr == nullptr || closed.load(std::memory_order_acquire) || len == 0) {
    returnBuffer(rec);
    return static_cast<ssize_t>(len);
  }
  zur::statAdd(ioMgr->statistics->bytesRead, static_cast<unsigned long long>(len));
  // Queued for the writer thread, or (without one) written at once.
  ioMgr->submitOrProcessBlock(rec);
  return static_cast<ssize_t>(len);
}

uint32_t LogManager::waitUntilFilled(SharedBufferAllocRecord* rec) {
  uint32_t len;
  for (uint32_t tries = 1; (len = getUsedLength(rec)) == SHARED_BUFFER_UNFILLED; ++tries) {
    if ((tries & 7u) == 0) {
      pause(500000);
    } else {
      sched_yield();
    }
  }
  return len;
}

int LogManager::commitLogRecord(SharedBufferAllocRecord* rec, IO_Processor* controller) {
  const uint32_t used = waitUntilFilled(rec);
  const size_t offset = controller->dataOffset();
  if (used <= offset) return 0;
  iovec element{controller->bufferAddress(rec, nullptr), used - offset};
  writeElements(controller->getDescriptor(), &element, 1, controller);
  return 0;
}

void LogManager::finishWriterThread(bool announce) {
  wakeRoomWaiters();
  // The end block: the thread writes everything queued before it and ends.
  SharedBufferAllocRecord* end = bfrMgr->allocateBlock(blockSize);
  if (end != nullptr) {
    setUsedLength(end, 0);
    ioMgr->submitOrProcessBlock(end);
  }
  if (announce) {
    std::printf("LogManager::closeLog waitForThreadExit\n");
    std::fflush(stdout);
  }
  constexpr uint32_t MAX_WAIT_MS = THREAD_JOIN_SECONDS * 1000u;
  uint32_t waitedMs = 0;
  while ((ioMgr->getThreadMode() & IO_Processor::PROCESS_THREAD) != 0 && waitedMs < MAX_WAIT_MS) {
    pause(1000000);
    ++waitedMs;
  }
  if (waitedMs >= MAX_WAIT_MS) {
    std::fprintf(stderr, "LogManager %s: writer thread did not finish within %u s; stopping it\n", appName,
                 THREAD_JOIN_SECONDS);
    // A second request signals the thread out of a blocked write.
    ioMgr->stopThread(IO_Processor::PROCESS_THREAD);
    ioMgr->stopThread(IO_Processor::PROCESS_THREAD);
  }
  // Lines queued after the end block are written here; later ones are
  // written by their logging threads.
  if (ioMgr->waitForThreadExit(IO_Processor::PROCESS_THREAD) == 0) ioMgr->processQueuedBlocks();
}

int LogManager::closeLog() {
  if (ioMgr == nullptr || closed.exchange(true, std::memory_order_acq_rel)) return 0;
  if (threaded.exchange(false, std::memory_order_acq_rel)) finishWriterThread(true);
  // Descriptors the manager did not open (and 0-2) stay open.
  if (ownsDescriptor && output_fd > 2) {
    close(output_fd);
    output_fd = -1;
    ioMgr->setDescriptor(-1);
  }
  return 0;
}

void LogManager::killProcessingThread() {
  // From now on the logging threads write their lines themselves.
  if (threaded.exchange(false, std::memory_order_acq_rel)) finishWriterThread(false);
}

bool LogManager::startProcessingThread() {
  if (closed.load(std::memory_order_acquire)) return false;
  return startWriterThread();
}
