// A POSIX mutex and condition variable that keep timing statistics in shared
// memory variables: when the lock was last requested and obtained and by which
// thread, the total ticks callers waited for it and held it, how many locks
// were wanted and obtained, and the source place of the last caller; for a
// condition the waits started and completed, the ticks waited, the posts and
// the place of the last wait. Another process can watch the values in the
// variable segment while the program runs. Times are ticks of the processor
// counter (get_CPU_ticks), not nanoseconds: on a processor whose counter reads
// 0 every delay and hold is 0 and only the counts move.
//
// Statistics are written by the thread that holds, or is about to take, the
// mutex (and the posting thread for totalPostEvents) with relaxed atomic loads
// and stores, never read-modify-write: concurrent requesters may lose an
// increment of totalLocksWanted or overwrite lockRequestedAt, and a 64-bit
// value is stored as two 32-bit halves (variable records are only 4-aligned),
// so a reader in another thread may see a torn value. Read them with
// zur::statLoad. The results of the pthread calls are not examined.
#pragma once

#include <pthread.h>
#include <time.h>

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "utils/base/compiler_hints.hpp"
#include "utils/shared_vars/shared_variable.hpp"
#include "utils/time/tick_time.hpp"

// Statistics are compiled in.
#define HIDE_TIMED_MUTEX_STATISTICS 0

// "file:line" as one string literal, built at compile time.
#define ZUR_STRINGIFY_TEXT(x) #x
#define ZUR_STRINGIFY(x) ZUR_STRINGIFY_TEXT(x)
#define THIS_FILE_AND_LINE(f, l) f ":" ZUR_STRINGIFY(l)

// Lock / wait with the place of the call: mutex.LOCK_HERE(), cond.WAIT_HERE(),
// cond.WAIT_HERE_UNTIL(&deadline).
#define LOCK_HERE() lock(THIS_FILE_AND_LINE(__FILE__, __LINE__))
#define WAIT_HERE() waitForCondition(THIS_FILE_AND_LINE(__FILE__, __LINE__))
#define WAIT_HERE_UNTIL(timeout) waitForConditionOrUntil((timeout), THIS_FILE_AND_LINE(__FILE__, __LINE__))

namespace zur {

// Statistic access through a numeric variable's current record (the record
// moves when a segment arrives). 4-byte values: one relaxed atomic access;
// 8-byte values: two relaxed 32-bit halves in memory order.
template <typename T>
inline T statLoad(const SMV_StandaloneNumeric<T>& var) {
  static_assert(sizeof(T) == 4 || sizeof(T) == 8);
  const SharedMemoryVariable_Record* rec = __atomic_load_n(&var.dataPointer, __ATOMIC_RELAXED);
  const uint32_t* words = &rec->numericValue.u32;
  uint32_t halves[2] = {__atomic_load_n(words, __ATOMIC_RELAXED), 0};
  if constexpr (sizeof(T) == 8) halves[1] = __atomic_load_n(words + 1, __ATOMIC_RELAXED);
  T v;
  std::memcpy(&v, halves, sizeof v);
  return v;
}

template <typename T>
inline void statStore(SMV_StandaloneNumeric<T>& var, T v) {
  static_assert(sizeof(T) == 4 || sizeof(T) == 8);
  SharedMemoryVariable_Record* rec = __atomic_load_n(&var.dataPointer, __ATOMIC_RELAXED);
  uint32_t* words = &rec->numericValue.u32;
  uint32_t halves[2] = {0, 0};
  std::memcpy(halves, &v, sizeof v);
  __atomic_store_n(words, halves[0], __ATOMIC_RELAXED);
  if constexpr (sizeof(T) == 8) __atomic_store_n(words + 1, halves[1], __ATOMIC_RELAXED);
}

// Adds in unsigned arithmetic (wraps, never overflows a signed type); a load
// and a store, so a concurrent adder may lose its increment.
template <typename T>
inline void statAdd(SMV_StandaloneNumeric<T>& var, T delta) {
  using U = std::make_unsigned_t<T>;
  statStore(var, static_cast<T>(static_cast<U>(statLoad(var)) + static_cast<U>(delta)));
}

}  // namespace zur

class TimedMutex {
 public:
  // The naming node (the mutex's name) and its eight variables.
  struct TimedMutexStatistics {
    TimedMutexStatistics(const char* name, SharedMemoryVariableNode* parentNode);
    TimedMutexStatistics(const char* name, SharedMemoryVariableManager* manager);
    // Both public forms: the node's parent is a node or a manager.
    template <typename Parent>
    TimedMutexStatistics(const char* name, Parent* parent, int);

    SharedMemoryVariableNode namingNode;
    SMV_StandaloneNumeric<unsigned long long> lockRequestedAt;
    SMV_StandaloneNumeric<unsigned long long> totalDelayTicks;
    SMV_StandaloneNumeric<unsigned long long> lockObtainedAt;
    SMV_StandaloneNumeric<unsigned long long> totalHeldTicks;
    SMV_StandaloneNumeric<unsigned long long> lockHeldBy;
    SMV_StandaloneNumeric<int> locksWanted;
    SMV_StandaloneNumeric<int> locksObtained;
    SMV_StandaloneString<128u> lockLocation;
    // The place text last copied into lockLocation (guarded by the mutex):
    // a place is copied only when it is another pointer, so places must be
    // texts that do not change (the LOCK_HERE literals).
    const char* lastPlace = nullptr;
  };

  // name null: no statistics. Otherwise the node `name` with its variables
  // under parentNode (null: variables without a segment, kept in the objects)
  // or directly under manager. recursive: PTHREAD_MUTEX_RECURSIVE.
  explicit TimedMutex(const char* name = nullptr, SharedMemoryVariableNode* parentNode = nullptr,
                      bool recursive = false);
  TimedMutex(const char* name, SharedMemoryVariableManager* manager, bool recursive = false);
  ~TimedMutex();
  TimedMutex(const TimedMutex&) = delete;
  TimedMutex& operator=(const TimedMutex&) = delete;

  // Locks; returns the ticks waited (signed difference of two counter reads;
  // 0 when the mutex was free, taken without a second read).
  int64_t acquireLock();
  // acquireLock, then the place into lockLocation (with statistics).
  int64_t lock(const char* place);
  // Like lock, but gives up at the CLOCK_REALTIME deadline: -1 then (no lock
  // held, only totalLocksWanted moved), else the ticks waited.
  int64_t lockUntil(const timespec* deadline, const char* place);
  // Unlocks; returns the ticks held since obtainedAt.
  int64_t unlock();
  // Plain mutex calls without statistics or ticks. For a recursive mutex
  // every inner lock (timed) overwrites obtainedAt, so the outer unlock
  // reports the ticks since the innermost lock.
  void untimedLock() { pthread_mutex_lock(&mutex); }
  void untimedUnlock() { pthread_mutex_unlock(&mutex); }

  ZUR_MUTEX_TYPE* mutex_address() { return &mutex; }
  // The statistics node's name, or null for an unnamed mutex.
  const char* getMutexName() const;
  // pthread_self() of the holder as lockHeldBy shows it; 0 when free or
  // unnamed (no statistics).
  uint64_t getThreadIdOfCurrentOwner() const;

  TimedMutexStatistics* statistics;  // owned; null for an unnamed mutex
  uint64_t obtainedAt;               // ticks when last obtained (guarded by mutex)
  ZUR_MUTEX_TYPE mutex;

 private:
  void init(bool recursive);
  uint64_t noteWanted();
  void noteObtained(uint64_t t0, uint64_t t1, const char* place);
};

class TimedCondition {
 public:
  struct TimedConditionStatistics {
    TimedConditionStatistics(const char* name, SharedMemoryVariableNode* parentNode);
    TimedConditionStatistics(const char* name, SharedMemoryVariableManager* manager);
    // Both public forms: the node's parent is a node or a manager.
    template <typename Parent>
    TimedConditionStatistics(const char* name, Parent* parent, int);

    SharedMemoryVariableNode namingNode;
    SMV_StandaloneNumeric<unsigned long long> waitStartedAt;
    SMV_StandaloneNumeric<unsigned long long> waitCompletedAt;
    SMV_StandaloneNumeric<unsigned long long> totalWaitTicks;
    SMV_StandaloneNumeric<unsigned long long> totalPostEvents;
    SMV_StandaloneNumeric<int> waitsStarted;
    SMV_StandaloneNumeric<int> waitsCompleted;
    SMV_StandaloneString<128u> waitLocation;
    const char* lastPlace = nullptr;  // as in TimedMutexStatistics
  };

  // mutex: the associated mutex, not owned; it must outlive the condition.
  explicit TimedCondition(TimedMutex* mutex, const char* name = nullptr,
                          SharedMemoryVariableNode* parentNode = nullptr);
  TimedCondition(TimedMutex* mutex, const char* name, SharedMemoryVariableManager* manager);
  ~TimedCondition();
  TimedCondition(const TimedCondition&) = delete;
  TimedCondition& operator=(const TimedCondition&) = delete;

  // The caller holds the associated mutex. Returns the ticks waited; a null
  // place leaves waitLocation alone. OrUntil: abstime is a CLOCK_REALTIME
  // deadline; a time-out counts as a completed wait and is not told apart.
  int64_t waitForCondition(const char* place = nullptr);
  int64_t waitForConditionOrUntil(const timespec* abstime, const char* place = nullptr);
  // Wakes one waiter; returns 0.
  int postCondition();

  // True while a thread waits (set and cleared under the mutex).
  bool isSleeping() const { return __atomic_load_n(&active, __ATOMIC_RELAXED); }
  const char* getConditionName() const;
  TimedMutex* getMutex() const { return mutex; }
  ZUR_CONDITION_TYPE* condition_address() { return &condition; }
  int64_t lock(const char* place) { return mutex->lock(place); }
  void untimedLock() { mutex->untimedLock(); }
  int64_t unlock() { return mutex->unlock(); }
  void untimedUnlock() { mutex->untimedUnlock(); }
  ZUR_MUTEX_TYPE* mutex_address() { return mutex->mutex_address(); }

  TimedConditionStatistics* statistics;  // owned; null for an unnamed condition
  uint64_t startedAt;                    // ticks at the start of the current wait
  TimedMutex* mutex;
  ZUR_CONDITION_TYPE condition;
  bool active;

 private:
  void noteStart(const char* place);
  int64_t noteCompleted();
};
