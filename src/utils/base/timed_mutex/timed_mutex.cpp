// The timed mutex and timed condition: two tick-counter reads around each
// pthread call and a few relaxed stores into the statistics variables. No
// system call beyond the mutex or condition itself; a place text is copied
// only when its pointer differs from the last one copied (LOCK_HERE passes
// the same literal every time).
#include "utils/base/timed_mutex.hpp"

#include <pthread.h>

namespace {

using Ticks = unsigned long long;

// Signed difference of two counter reads.
int64_t ticksBetween(uint64_t from, uint64_t to) { return static_cast<int64_t>(to - from); }

template <typename Statistics>
void copyPlace(Statistics* s, SMV_StandaloneString<128u>& text, const char* place) {
  if (place == nullptr || place == s->lastPlace) return;
  text = place;
  s->lastPlace = place;
}

}  // namespace

template <typename Parent>
TimedMutex::TimedMutexStatistics::TimedMutexStatistics(const char* name, Parent* parent, int)
    : namingNode(name, parent),
      lockRequestedAt("lockRequestedAt", &namingNode, 0),
      totalDelayTicks("totalDelayTicks", &namingNode, 0),
      lockObtainedAt("lockObtainedAt", &namingNode, 0),
      totalHeldTicks("totalHeldTicks", &namingNode, 0),
      lockHeldBy("lockHeldBy", &namingNode, 0),
      locksWanted("totalLocksWanted", &namingNode, 0),
      locksObtained("totalLocksObtained", &namingNode, 0),
      lockLocation("lockLocation", &namingNode) {}

TimedMutex::TimedMutexStatistics::TimedMutexStatistics(const char* name, SharedMemoryVariableNode* parentNode)
    : TimedMutexStatistics(name, parentNode, 0) {}

TimedMutex::TimedMutexStatistics::TimedMutexStatistics(const char* name, SharedMemoryVariableManager* manager)
    : TimedMutexStatistics(name, manager, 0) {}

TimedMutex::TimedMutex(const char* name, SharedMemoryVariableNode* parentNode, bool recursive)
    : statistics(name != nullptr ? new TimedMutexStatistics(name, parentNode) : nullptr), obtainedAt(0) {
  init(recursive);
}

TimedMutex::TimedMutex(const char* name, SharedMemoryVariableManager* manager, bool recursive)
    : statistics(name != nullptr ? new TimedMutexStatistics(name, manager) : nullptr), obtainedAt(0) {
  init(recursive);
}

void TimedMutex::init(bool recursive) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  if (recursive) pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

TimedMutex::~TimedMutex() {
  pthread_mutex_destroy(&mutex);
  delete statistics;
}

void TimedMutex::noteObtained(uint64_t t0, uint64_t t1, const char* place) {
  obtainedAt = t1;
  if (statistics == nullptr) return;
  TimedMutexStatistics* s = statistics;
  zur::statStore(s->lockObtainedAt, static_cast<Ticks>(t1));
  zur::statAdd(s->locksObtained, 1);
  zur::statStore(s->lockHeldBy, static_cast<Ticks>(pthread_self()));
  const int64_t delay = ticksBetween(t0, t1);
  if (delay >= 1) zur::statAdd(s->totalDelayTicks, static_cast<Ticks>(delay));
  copyPlace(s, s->lockLocation, place);
}

uint64_t TimedMutex::noteWanted() {
  const uint64_t t0 = get_CPU_ticks();
  if (statistics != nullptr) {
    zur::statAdd(statistics->locksWanted, 1);
    zur::statStore(statistics->lockRequestedAt, static_cast<Ticks>(t0));
  }
  return t0;
}

int64_t TimedMutex::acquireLock() { return lock(nullptr); }

int64_t TimedMutex::lock(const char* place) {
  const uint64_t t0 = noteWanted();
  // A free mutex is taken without a wait, so its delay is 0 and the second
  // counter read is saved: lock and unlock read the counter once each.
  uint64_t t1 = t0;
  if (pthread_mutex_trylock(&mutex) != 0) {
    pthread_mutex_lock(&mutex);
    t1 = get_CPU_ticks();
  }
  noteObtained(t0, t1, place);
  return ticksBetween(t0, t1);
}

int64_t TimedMutex::lockUntil(const timespec* deadline, const char* place) {
  const uint64_t t0 = noteWanted();
  if (pthread_mutex_timedlock(&mutex, deadline) != 0) return -1;
  const uint64_t t1 = get_CPU_ticks();
  noteObtained(t0, t1, place);
  return ticksBetween(t0, t1);
}

int64_t TimedMutex::unlock() {
  const uint64_t t = get_CPU_ticks();
  if (statistics != nullptr) zur::statStore(statistics->lockHeldBy, Ticks{0});
  const int64_t held = ticksBetween(obtainedAt, t);
  pthread_mutex_unlock(&mutex);
  // totalHeldTicks is written after the release: concurrent unlockers may
  // lose an addition (a statistic, as the other counts).
  if (statistics != nullptr && held >= 1) zur::statAdd(statistics->totalHeldTicks, static_cast<Ticks>(held));
  return held;
}

const char* TimedMutex::getMutexName() const {
  return statistics != nullptr ? statistics->namingNode.getName() : nullptr;
}

uint64_t TimedMutex::getThreadIdOfCurrentOwner() const {
  return statistics != nullptr ? zur::statLoad(statistics->lockHeldBy) : 0;
}

template <typename Parent>
TimedCondition::TimedConditionStatistics::TimedConditionStatistics(const char* name, Parent* parent, int)
    : namingNode(name, parent),
      waitStartedAt("waitStartedAt", &namingNode, 0),
      waitCompletedAt("waitCompletedAt", &namingNode, 0),
      totalWaitTicks("totalWaitTicks", &namingNode, 0),
      totalPostEvents("totalPostEvents", &namingNode, 0),
      waitsStarted("totalWaitsStarted", &namingNode, 0),
      waitsCompleted("totalWaitsCompleted", &namingNode, 0),
      waitLocation("waitLocation", &namingNode) {}

TimedCondition::TimedConditionStatistics::TimedConditionStatistics(const char* name,
                                                                   SharedMemoryVariableNode* parentNode)
    : TimedConditionStatistics(name, parentNode, 0) {}

TimedCondition::TimedConditionStatistics::TimedConditionStatistics(const char* name,
                                                                   SharedMemoryVariableManager* manager)
    : TimedConditionStatistics(name, manager, 0) {}

TimedCondition::TimedCondition(TimedMutex* associated, const char* name, SharedMemoryVariableNode* parentNode)
    : statistics(name != nullptr ? new TimedConditionStatistics(name, parentNode) : nullptr),
      startedAt(0),
      mutex(associated),
      active(false) {
  pthread_cond_init(&condition, nullptr);
}

TimedCondition::TimedCondition(TimedMutex* associated, const char* name, SharedMemoryVariableManager* manager)
    : statistics(name != nullptr ? new TimedConditionStatistics(name, manager) : nullptr),
      startedAt(0),
      mutex(associated),
      active(false) {
  pthread_cond_init(&condition, nullptr);
}

TimedCondition::~TimedCondition() {
  pthread_cond_destroy(&condition);
  delete statistics;
}

void TimedCondition::noteStart(const char* place) {
  startedAt = get_CPU_ticks();
  if (statistics != nullptr) {
    copyPlace(statistics, statistics->waitLocation, place);
    zur::statStore(statistics->waitStartedAt, static_cast<Ticks>(startedAt));
    zur::statAdd(statistics->waitsStarted, 1);
  }
  __atomic_store_n(&active, true, __ATOMIC_RELAXED);
}

int64_t TimedCondition::noteCompleted() {
  __atomic_store_n(&active, false, __ATOMIC_RELAXED);
  const uint64_t t1 = get_CPU_ticks();
  const int64_t waited = ticksBetween(startedAt, t1);
  if (statistics != nullptr) {
    zur::statStore(statistics->waitCompletedAt, static_cast<Ticks>(t1));
    if (waited >= 1) zur::statAdd(statistics->totalWaitTicks, static_cast<Ticks>(waited));
    zur::statAdd(statistics->waitsCompleted, 1);
  }
  return waited;
}

int64_t TimedCondition::waitForCondition(const char* place) {
  noteStart(place);
  pthread_cond_wait(&condition, &mutex->mutex);
  return noteCompleted();
}

int64_t TimedCondition::waitForConditionOrUntil(const timespec* abstime, const char* place) {
  noteStart(place);
  pthread_cond_timedwait(&condition, &mutex->mutex, abstime);
  return noteCompleted();
}

int TimedCondition::postCondition() {
  if (statistics != nullptr) zur::statAdd(statistics->totalPostEvents, Ticks{1});
  pthread_cond_signal(&condition);
  return 0;
}

const char* TimedCondition::getConditionName() const {
  return statistics != nullptr ? statistics->namingNode.getName() : nullptr;
}
