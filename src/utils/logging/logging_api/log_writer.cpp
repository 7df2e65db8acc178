// The writer thread of a log manager: a queue of fixed-size line slots filled
// by logging threads (one copy per line, under the queue's mutex) and
// written in submission order by one thread per manager. A full queue makes
// loggers wait for a free slot, so no line is lost and order is kept.
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "utils/logging/logging_api.hpp"

// Slots, their lengths and the ring indexes, all guarded by `lock`.
class LogWriterQueue {
 public:
  LogWriterQueue(LogManager* owner, uint32_t lineCount, uint32_t lineSize)
      : mgr(owner), slotCount(lineCount), slotSize(lineSize) {}

  LogManager* mgr;
  const uint32_t slotCount;
  const uint32_t slotSize;
  char* slots = nullptr;
  uint32_t* lengths = nullptr;
  uint32_t head = 0;   // next slot to write
  uint32_t count = 0;  // queued lines
  bool stopping = false;
  pthread_t thread{};
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t notEmpty = PTHREAD_COND_INITIALIZER;
  pthread_cond_t notFull = PTHREAD_COND_INITIALIZER;
};

namespace {

void* writerMain(void* arg) {
  LogWriterQueue* q = static_cast<LogWriterQueue*>(arg);
  pthread_mutex_lock(&q->lock);
  for (;;) {
    while (q->count == 0 && !q->stopping) pthread_cond_wait(&q->notEmpty, &q->lock);
    if (q->count == 0) break;  // stopping, and everything is written
    const uint32_t slot = q->head;
    const char* data = q->slots + static_cast<size_t>(slot) * q->slotSize;
    const uint32_t len = q->lengths[slot];
    // The slot stays owned by the writer until count drops: loggers only
    // fill slots beyond head + count.
    pthread_mutex_unlock(&q->lock);
    q->mgr->writeLine(data, len);
    pthread_mutex_lock(&q->lock);
    q->head = (q->head + 1) % q->slotCount;
    --q->count;
    pthread_cond_signal(&q->notFull);
  }
  pthread_mutex_unlock(&q->lock);
  return nullptr;
}

void releaseQueue(LogWriterQueue* q) {
  std::free(q->slots);
  std::free(q->lengths);
  pthread_mutex_destroy(&q->lock);
  pthread_cond_destroy(&q->notEmpty);
  pthread_cond_destroy(&q->notFull);
  delete q;
}

}  // namespace

bool LogManager::startWriterThread(uint32_t lineCount) {
  if (writer.load(std::memory_order_relaxed) != nullptr || lineCount == 0 || memoryBlock != nullptr) return false;
  LogWriterQueue* q = new (std::nothrow) LogWriterQueue(this, lineCount, blockSize);
  if (q == nullptr) return false;
  q->slots = static_cast<char*>(std::malloc(static_cast<size_t>(lineCount) * blockSize));
  q->lengths = static_cast<uint32_t*>(std::calloc(lineCount, sizeof(uint32_t)));
  if (q->slots == nullptr || q->lengths == nullptr) {
    std::fprintf(stderr, "LogManager %s: no memory for %u queued lines; writing directly\n", appName, lineCount);
    releaseQueue(q);
    return false;
  }
  const int rc = pthread_create(&q->thread, nullptr, writerMain, q);
  if (rc != 0) {
    std::fprintf(stderr, "LogManager %s: cannot start writer thread: %s; writing directly\n", appName,
                 std::strerror(rc));
    releaseQueue(q);
    return false;
  }
  char threadName[16];
  std::snprintf(threadName, sizeof threadName, "log-%s", appName != nullptr ? appName : "");
  pthread_setname_np(q->thread, threadName);
  // release: the queue is fully built before loggers can see it; pairs with
  // the acquire in submitLine.
  writer.store(q, std::memory_order_release);
  return true;
}

void LogManager::stopWriterThread() {
  LogWriterQueue* q = writer.load(std::memory_order_relaxed);
  if (q == nullptr) return;
  pthread_mutex_lock(&q->lock);
  q->stopping = true;
  pthread_cond_broadcast(&q->notEmpty);
  pthread_cond_broadcast(&q->notFull);
  pthread_mutex_unlock(&q->lock);
  pthread_join(q->thread, nullptr);
  writer.store(nullptr, std::memory_order_relaxed);
  releaseQueue(q);
}

bool LogManager::hasWriterThread() const { return writer.load(std::memory_order_relaxed) != nullptr; }

LogManager::~LogManager() { stopWriterThread(); }

size_t LogManager::submitLine(const char* data, size_t len) {
  LogWriterQueue* q = writer.load(std::memory_order_acquire);
  if (q == nullptr) return writeLine(data, len);
  if (len > q->slotSize) len = q->slotSize;
  pthread_mutex_lock(&q->lock);
  while (q->count == q->slotCount && !q->stopping) pthread_cond_wait(&q->notFull, &q->lock);
  if (q->stopping) {
    pthread_mutex_unlock(&q->lock);
    return writeLine(data, len);
  }
  const uint32_t slot = (q->head + q->count) % q->slotCount;
  std::memcpy(q->slots + static_cast<size_t>(slot) * q->slotSize, data, len);
  q->lengths[slot] = static_cast<uint32_t>(len);
  ++q->count;
  pthread_cond_signal(&q->notEmpty);
  pthread_mutex_unlock(&q->lock);
  return len;
}
