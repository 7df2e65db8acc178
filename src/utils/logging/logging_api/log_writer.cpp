// The writer thread of a log manager: logging threads hand it gathered
// blocks of the manager's region through a ring of block records (one slot
// per block of the region, plus one for the end marker, so handing on never
// waits); the thread writes them in submission order and gives each block
// back, several blocks per writev. An end marker (closeLog) makes it finish
// after the blocks before it.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "utils/base/timed_mutex.hpp"
#include "utils/io/io_processor.hpp"
#include "utils/logging/logging_api.hpp"

class LogWriterQueue {
 public:
  LogWriterQueue(LogManager* owner, uint32_t slots)
      : mgr(owner), capacity(slots), outstandingLimit(slotLimit(slots - 1)) {}

  // Blocks that may be handed on before loggers wait for the writer: all
  // but a few, which stay free for lines being rendered.
  static uint32_t slotLimit(uint32_t blocks) {
    const uint32_t reserve = blocks / 2 < 8 ? blocks / 2 : 8;
    return blocks - reserve;
  }

  // Waits while the writer holds too many blocks, so loggers sleep on a
  // condition rather than spin in the region; each wait is timed and the
  // whole at most two seconds.
  void waitForRoom() {
    pthread_mutex_lock(&lock);
    for (int waits = 0; outstanding >= outstandingLimit && !finished && waits < 200; ++waits) {
      timespec deadline{};
      clock_gettime(CLOCK_REALTIME, &deadline);
      deadline.tv_nsec += 10000000;
      if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_nsec -= 1000000000;
        ++deadline.tv_sec;
      }
      pthread_cond_timedwait(&roomFree, &lock, &deadline);
    }
    pthread_mutex_unlock(&lock);
  }

  // Appends rec (null: the end marker). False when the thread has finished.
  bool submit(SharedBufferAllocRecord* rec) {
    pthread_mutex_lock(&lock);
    if (finished || endQueued || count == capacity) {
      pthread_mutex_unlock(&lock);
      return false;
    }
    ring[(head + count) % capacity] = rec;
    ++count;
    if (rec == nullptr) {
      endQueued = true;
    } else {
      ++outstanding;
    }
    // A writer between batches polls; only a sleeping one needs the wake-up.
    if (writerSleeping) pthread_cond_signal(&notEmpty);
    pthread_mutex_unlock(&lock);
    return true;
  }

  // Waits at most `seconds` for the thread to finish and joins it.
  bool join(uint32_t seconds) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += static_cast<time_t>(seconds);
    if (pthread_timedjoin_np(thread, nullptr, &deadline) != 0) return false;
    joined = true;
    return true;
  }

  static void* run(void* arg);

  LogManager* const mgr;
  const uint32_t capacity;
  const uint32_t outstandingLimit;
  uint32_t outstanding = 0;  // handed on, not yet given back
  bool writerSleeping = false;
  static constexpr int IDLE_POLLS = 20;
  static constexpr long POLL_PAUSE_NS = 50000;
  SharedBufferAllocRecord** ring = nullptr;
  uint32_t head = 0;
  uint32_t count = 0;
  bool endQueued = false;
  bool finished = false;
  bool started = false;
  bool joined = false;
  pthread_t thread{};
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t notEmpty = PTHREAD_COND_INITIALIZER;
  pthread_cond_t roomFree = PTHREAD_COND_INITIALIZER;
};

void* LogWriterQueue::run(void* arg) {
  LogWriterQueue* q = static_cast<LogWriterQueue*>(arg);
  // Blocks taken together are written with one writev.
  constexpr uint32_t BATCH = 64;
  SharedBufferAllocRecord* batch[BATCH];
  iovec elements[BATCH];
  bool ending = false;
  pthread_mutex_lock(&q->lock);
  while (!ending) {
    // After work, poll briefly (submitters then need not wake the thread),
    // then sleep until signalled; every wait is bounded.
    for (int polls = 0; q->count == 0 && polls < IDLE_POLLS; ++polls) {
      pthread_mutex_unlock(&q->lock);
      const timespec pause{0, POLL_PAUSE_NS};
      nanosleep(&pause, nullptr);
      pthread_mutex_lock(&q->lock);
    }
    while (q->count == 0) {
      q->writerSleeping = true;
      timespec deadline{};
      clock_gettime(CLOCK_REALTIME, &deadline);
      deadline.tv_sec += 1;
      pthread_cond_timedwait(&q->notEmpty, &q->lock, &deadline);
      q->writerSleeping = false;
    }
    uint32_t taken = 0;
    while (q->count != 0 && taken < BATCH) {
      SharedBufferAllocRecord* rec = q->ring[q->head];
      q->head = (q->head + 1) % q->capacity;
      --q->count;
      if (rec == nullptr) {  // the end marker: everything before it is written
        ending = true;
        break;
      }
      batch[taken++] = rec;
    }
    pthread_mutex_unlock(&q->lock);
    for (uint32_t i = 0; i < taken; ++i) {
      elements[i].iov_base = q->mgr->bfrMgr->blockAddress(batch[i]);
      elements[i].iov_len = LogManager::waitUntilFilled(batch[i]);
    }
    const size_t written = writeElements(q->mgr->output_fd, elements, taken);
    IO_Processor_Statistics* stats = q->mgr->ioMgr->statistics;
    zur::statAdd(stats->bytesProcessed, static_cast<unsigned long long>(written));
    zur::statAdd(stats->packetsProcessed, taken);
    for (uint32_t i = 0; i < taken; ++i) q->mgr->returnBuffer(batch[i]);
    pthread_mutex_lock(&q->lock);
    q->outstanding -= taken;
    pthread_cond_broadcast(&q->roomFree);
  }
  q->finished = true;
  pthread_cond_broadcast(&q->roomFree);
  pthread_mutex_unlock(&q->lock);
  return nullptr;
}

SharedBufferAllocRecord* LogManager::allocateBuffer() {
  if (bfrMgr == nullptr || bfrMgr->getAvailableBlocks() == 0) return nullptr;
  LogWriterQueue* q = writer.load(std::memory_order_acquire);
  if (q != nullptr && !closed.load(std::memory_order_relaxed)) q->waitForRoom();
  return bfrMgr->allocateBlock(blockSize);
}

bool LogManager::startWriterThread() {
  if (ownedQueue != nullptr || ioMgr == nullptr || bfrMgr->getAvailableBlocks() == 0) return false;
  const uint32_t slots = static_cast<uint32_t>(bfrMgr->getAvailableBlocks()) + 1;
  LogWriterQueue* q = new (std::nothrow) LogWriterQueue(this, slots);
  if (q != nullptr) q->ring = new (std::nothrow) SharedBufferAllocRecord*[slots];
  const int rc = q != nullptr && q->ring != nullptr ? pthread_create(&q->thread, nullptr, &LogWriterQueue::run, q)
                                                      : ENOMEM;
  if (rc != 0) {
    std::fprintf(stderr, "LogManager %s: cannot start writer thread: %s; writing directly\n", appName,
                 std::strerror(rc));
    if (q != nullptr) delete[] q->ring;
    delete q;
    return false;
  }
  q->started = true;
  char threadName[16];
  std::snprintf(threadName, sizeof threadName, "log-%s", appName);
  pthread_setname_np(q->thread, threadName);
  ownedQueue = q;
  // release: the queue is fully built before loggers can see it.
  writer.store(q, std::memory_order_release);
  return true;
}

ssize_t LogManager::writeDataToBuffer(SharedBufferAllocRecord* rec) {
  if (rec == nullptr) return 0;
  const uint32_t len = getUsedLength(rec);
  LogWriterQueue* q = writer.load(std::memory_order_acquire);
  const bool isOpen = !closed.load(std::memory_order_acquire);
  if (q != nullptr && isOpen && len != 0 && q->submit(rec)) {
    zur::statAdd(ioMgr->statistics->bytesRead, static_cast<unsigned long long>(len));
    zur::statAdd(ioMgr->statistics->packetsRead, 1u);
    return static_cast<ssize_t>(len);
  }
  // No thread: the processor writes the block at once and gives it back. A
  // closed manager and a memory manager only give the block back (an empty
  // block would read as the end of the log).
  if (ioMgr != nullptr && q == nullptr && isOpen && len != 0) {
    zur::statAdd(ioMgr->statistics->bytesRead, static_cast<unsigned long long>(len));
    ioMgr->submitOrProcessBlock(rec);
  } else {
    returnBuffer(rec);
  }
  return static_cast<ssize_t>(len);
}

uint32_t LogManager::waitUntilFilled(SharedBufferAllocRecord* rec) {
  uint32_t len;
  for (uint32_t tries = 1; (len = getUsedLength(rec)) == SHARED_BUFFER_UNFILLED; ++tries) {
    if ((tries & 7u) == 0) {
      const timespec pause{0, 500000};
      nanosleep(&pause, nullptr);
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
  const char* data = reinterpret_cast<const char*>(controller->bufferAddress(rec, nullptr));
  size_t len = used - offset;
  const int fd = controller->getDescriptor();
  while (len != 0) {
    const ssize_t n = ::write(fd, data, len);
    if (n > 0) {
      data += n;
      len -= static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return 0;
}

int LogManager::closeLog() {
  if (ioMgr == nullptr || closed.exchange(true, std::memory_order_acq_rel)) return 0;
  LogWriterQueue* q = writer.load(std::memory_order_acquire);
  if (q != nullptr) {
    q->submit(nullptr);
    std::printf("LogManager::closeLog waitForThreadExit\n");
    std::fflush(stdout);
    if (!q->join(THREAD_JOIN_SECONDS)) {
      std::fprintf(stderr, "LogManager %s: writer thread did not finish within %u s\n", appName,
                   THREAD_JOIN_SECONDS);
    }
  }
  // Descriptors the manager did not open (and 0-2) stay open.
  if (ownsDescriptor && output_fd > 2) {
    close(output_fd);
    output_fd = -1;
    ioMgr->setDescriptor(-1);
  }
  return 0;
}

void LogManager::stopWriterThread() {
  LogWriterQueue* q = writer.load(std::memory_order_acquire);
  if (q == nullptr) return;
  if (!q->joined) {
    q->submit(nullptr);
    if (!q->join(THREAD_JOIN_SECONDS)) {
      std::fprintf(stderr, "LogManager %s: writer thread did not finish within %u s\n", appName,
                   THREAD_JOIN_SECONDS);
    }
  }
  // Lines from now on are written by the logging threads (unless closed).
  writer.store(nullptr, std::memory_order_release);
}

void LogManager::killProcessingThread() { stopWriterThread(); }

bool LogManager::startProcessingThread() {
  if (closed.load(std::memory_order_acquire)) return false;
  return startWriterThread();
}

void LogManager::releaseWriterQueue() {
  LogWriterQueue* q = ownedQueue;
  if (q == nullptr) return;
  ownedQueue = nullptr;
  // A thread that did not finish keeps its queue.
  if (!q->joined) return;
  delete[] q->ring;
  pthread_mutex_destroy(&q->lock);
  pthread_cond_destroy(&q->notEmpty);
  pthread_cond_destroy(&q->roomFree);
  delete q;
}
