// The I/O processor's threads: starting the reader and processing threads,
// their start routines, stop requests, SIGIO interruption and joining. The
// state bytes are changed only with atomic or / and (a lost bit would leave a
// waiter waiting); waits here poll them with short sleeps and end at a bound.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>

#include <cstdio>
#include <cstring>

#include "utils/base/atomic_values.hpp"
#include "utils/io/io_processor.hpp"

namespace {

constexpr unsigned READER = IO_Processor::READ_THREAD;
constexpr unsigned PROCESSOR = IO_Processor::PROCESS_THREAD;

uint8_t loadState(const uint8_t* state) { return __atomic_load_n(state, __ATOMIC_ACQUIRE); }
void setBits(uint8_t* state, unsigned bits) { zur::fetchOr(state, static_cast<uint8_t>(bits)); }
void clearBits(uint8_t* state, unsigned bits) { zur::fetchAndNot(state, static_cast<uint8_t>(bits)); }

void doNothingHandler(int, siginfo_t*, void*) {}

// Installs doNothingHandler for SIGIO once, over the default or ignored
// disposition only; without SA_RESTART, so a blocking call it hits ends with
// EINTR.
void installSigioHandlerOnce() {
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  pthread_once(&once, [] {
    struct sigaction current;
    if (sigaction(SIGIO, nullptr, &current) != 0) return;
    const bool hasOwnHandler = (current.sa_flags & SA_SIGINFO) != 0
                                   ? current.sa_sigaction != nullptr
                                   : current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN;
    if (hasOwnHandler) {
      std::fprintf(stderr, "IO_Processor: SIGIO has a handler of the application; kept (blocked reads end "
                           "only as it lets them)\n");
      return;
    }
    struct sigaction wanted;
    std::memset(&wanted, 0, sizeof wanted);
    wanted.sa_sigaction = doNothingHandler;
    wanted.sa_flags = SA_SIGINFO;
    sigemptyset(&wanted.sa_mask);
    sigaction(SIGIO, &wanted, nullptr);
  });
}

void sleepMilliseconds(long ms) {
  const timespec pause{0, ms * 1000000L};
  nanosleep(&pause, nullptr);
}

bool isCaller(pthread_t thread) { return thread != 0 && pthread_equal(thread, pthread_self()) != 0; }

// Clears the thread's bit of currentThreadState when its routine returns or
// the thread is cancelled (the unwinding runs this destructor).
struct RunningBit {
  uint8_t* state;
  unsigned bit;
  ~RunningBit() { clearBits(state, bit); }
};

void nameThread(pthread_t thread, const char* format, int fd, const char* label) {
  char name[32];
  std::snprintf(name, sizeof name, format, fd, label);
  IO_Processor::setLabelForThread(thread, name);
}

}  // namespace

void IO_Processor::setLabelForThread(pthread_t thread, const char* text) {
  // The system keeps 15 characters and the NUL.
  char name[16];
  const size_t len = text != nullptr ? ::strnlen(text, sizeof name - 1) : 0;
  if (len != 0) std::memcpy(name, text, len);
  name[len] = '\0';
  pthread_setname_np(thread, name);
}

void IO_Processor::startThread(pthread_t* id, unsigned bit, void* (*routine)(void*), const char* nameFormat) {
  clearBits(&stopRequested, bit | bit << 3);
  installSigioHandlerOnce();
  const int rc = pthread_create(id, nullptr, routine, this);
  if (rc != 0) {
    std::fprintf(stderr, "pthread_create errno=%d\n", rc);
    *id = 0;
    return;
  }
  setBits(&createdThreads, bit);
  nameThread(*id, nameFormat, descriptor, label);
}

int IO_Processor::setThreadMode(unsigned mode) {
  __atomic_store_n(&desiredThreadState, static_cast<uint8_t>(mode), __ATOMIC_RELEASE);
  if ((mode & PROCESS_DURING_READ) != 0) {
    setBits(&currentThreadState, PROCESS_DURING_READ);
  } else {
    clearBits(&currentThreadState, PROCESS_DURING_READ);
  }
  const unsigned current = loadState(&currentThreadState);
  const bool newReader = (mode & READER) != 0 && (current & READER) == 0;
  const bool newProcessor = (mode & PROCESSOR) != 0 && (current & PROCESSOR) == 0;
  if (newReader) startThread(&consumeThreadID, READER, startConsumeThread, "r%d:%s");
  if (newProcessor) startThread(&processThreadID, PROCESSOR, startProcessThread, "p%d:%s");
  if (newProcessor) return newReader ? 3 : 2;
  return newReader ? 1 : 0;
}

void* IO_Processor::startConsumeThread(void* arg) {
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  IO_Processor* io = static_cast<IO_Processor*>(arg);
  if ((loadState(&io->threadStartedState) & READER) != 0) {
    const SharedMemoryVariableNode* node = io->statistics->namingNode.getParentNode();
    std::fprintf(stderr, "Thread %.31s was already started!\n", node != nullptr ? node->getName() : "[notNamed]");
  }
  // Running before started: a waiter never sees a started thread as ended.
  setBits(&io->currentThreadState, READER);
  setBits(&io->threadStartedState, READER);
  RunningBit running{&io->currentThreadState, READER};
  io->consumeRoutine(io);
  return nullptr;
}

void* IO_Processor::startProcessThread(void* arg) {
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  IO_Processor* io = static_cast<IO_Processor*>(arg);
  // Running before started: a waiter never sees a started thread as ended.
  setBits(&io->currentThreadState, PROCESSOR);
  setBits(&io->threadStartedState, PROCESSOR);
  RunningBit running{&io->currentThreadState, PROCESSOR};
  io->processRoutine(io);
  return nullptr;
}

int IO_Processor::stopThread(unsigned modes) {
  modes &= BOTH_THREADS;
  const unsigned running = loadState(&currentThreadState) & modes;
  clearBits(&desiredThreadState, modes);
  const unsigned before = loadState(&stopRequested);
  // A request for a thread already asked once is marked repeated (x 8).
  setBits(&stopRequested, modes | (before & modes) << 3);
  if ((running & PROCESSOR) != 0) {
    noteDataToProcess(false);
    if ((before & PROCESSOR << 3) != 0 && !isCaller(processThreadID)) pthread_kill(processThreadID, SIGIO);
  }
  if ((running & READER) != 0 && (before & READER) != 0 && !isCaller(consumeThreadID)) {
    pthread_kill(consumeThreadID, SIGIO);
  }
  return static_cast<int>(running);
}

int IO_Processor::interruptThread(unsigned modes, bool force) {
  const unsigned running = loadState(&currentThreadState) & modes & BOTH_THREADS;
  const pthread_t threads[2] = {consumeThreadID, processThreadID};
  for (unsigned i = 0; i < 2; ++i) {
    if ((running & (1u << i)) == 0 || isCaller(threads[i])) continue;
    pthread_kill(threads[i], SIGIO);
    if (force) pthread_cancel(threads[i]);
  }
  return static_cast<int>(running);
}

int IO_Processor::waitForThreadStart(unsigned modes) {
  const unsigned wanted = modes & BOTH_THREADS & loadState(&desiredThreadState) & loadState(&createdThreads);
  for (unsigned passes = 0; (loadState(&threadStartedState) & wanted) != wanted && passes < 10000; ++passes) {
    if (passes < 64) {
      sched_yield();
    } else {
      sleepMilliseconds(1);
    }
  }
  return static_cast<int>(loadState(&currentThreadState) & modes);
}

int IO_Processor::waitForThreadExit(unsigned modes) {
  int result = 0;
  pthread_t* ids[2] = {&consumeThreadID, &processThreadID};
  for (unsigned i = 0; i < 2; ++i) {
    const unsigned bit = 1u << i;
    if ((modes & bit) == 0 || (loadState(&createdThreads) & bit) == 0 || isCaller(*ids[i])) continue;
    // Until the thread has started and left its routine; a thread asked to
    // stop gets SIGIO every millisecond (one sent before it blocked is lost).
    unsigned waitedMs = 0;
    while ((loadState(&threadStartedState) & bit) == 0 || (loadState(&currentThreadState) & bit) != 0) {
      if (waitedMs >= 30000) break;
      if ((loadState(&stopRequested) & bit) != 0) pthread_kill(*ids[i], SIGIO);
      sleepMilliseconds(1);
      ++waitedMs;
    }
    if (waitedMs >= 30000) {
      std::fprintf(stderr, "IO_Processor %s: thread %u has not ended; not joined\n", label, bit);
      result = -1;
      continue;
    }
    pthread_join(*ids[i], nullptr);
    *ids[i] = 0;
    clearBits(&createdThreads, bit);
    clearBits(&threadStartedState, bit);
  }
  return result;
}
