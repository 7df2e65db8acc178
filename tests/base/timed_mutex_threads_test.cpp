// Timed mutex and condition between threads: a waiter's delay lands in the
// statistics, a deadline ends a lock attempt on a held mutex, a post wakes a
// waiter. No sleeps: the main thread polls a statistic with a deadline.
#include "utils/base/timed_mutex.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "test_support.hpp"

namespace {

SharedMemoryVariableNode* testNode() {
  static SharedMemoryVariableNode node("timedMutexThreads", static_cast<SharedMemoryVariableNode*>(nullptr));
  return &node;
}

using narvelix_test::pollUntil;

TEST(TimedMutexThreads, ContendedLockRecordsTheDelay) {
  TimedMutex m("contended", testNode());
  TimedMutex::TimedMutexStatistics& s = *m.statistics;
  m.LOCK_HERE();
  const uint64_t mainThread = m.getThreadIdOfCurrentOwner();
  std::atomic<int64_t> workerDelay{-1};
  std::thread worker([&] {
    workerDelay = m.lock("worker.cpp:7");
    m.unlock();
  });
  // The worker has asked for the lock once totalLocksWanted reaches 2.
  ASSERT_TRUE(pollUntil([&] { return zur::statLoad(s.locksWanted) == 2; }));
  EXPECT_EQ(zur::statLoad(s.locksObtained), 1);
  EXPECT_EQ(m.getThreadIdOfCurrentOwner(), mainThread);
  m.unlock();
  worker.join();
  EXPECT_EQ(zur::statLoad(s.locksObtained), 2);
  EXPECT_STREQ(s.lockLocation, "worker.cpp:7");
  EXPECT_EQ(m.getThreadIdOfCurrentOwner(), 0u);
  if (get_CPU_ticks() != 0) {
    EXPECT_GT(workerDelay.load(), 0);
    EXPECT_GE(zur::statLoad(s.totalDelayTicks), static_cast<unsigned long long>(workerDelay.load()));
  }
}

TEST(TimedMutexThreads, DeadlineEndsALockAttempt) {
  TimedMutex m("deadline", testNode());
  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    m.LOCK_HERE();
    held = true;
    pollUntil([&] { return release.load(); });
    m.unlock();
  });
  ASSERT_TRUE(pollUntil([&] { return held.load(); }));
  timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_nsec += 20000000;  // 20 ms
  if (deadline.tv_nsec >= 1000000000) {
    deadline.tv_nsec -= 1000000000;
    deadline.tv_sec += 1;
  }
  EXPECT_EQ(m.lockUntil(&deadline, "late.cpp:1"), -1);
  release = true;
  holder.join();
  EXPECT_EQ(zur::statLoad(m.statistics->locksObtained), 1);
  EXPECT_EQ(zur::statLoad(m.statistics->locksWanted), 2);
}

TEST(TimedConditionThreads, PostWakesTheWaiter) {
  TimedMutex m("condMutex", testNode());
  TimedCondition c(&m, "condThreads", testNode());
  bool ready = false;  // guarded by m
  std::thread waiter([&] {
    c.LOCK_HERE();
    while (!ready) c.WAIT_HERE();
    c.unlock();
  });
  ASSERT_TRUE(pollUntil([&] { return zur::statLoad(c.statistics->waitsStarted) >= 1; }));
  c.LOCK_HERE();
  ready = true;
  c.postCondition();
  c.unlock();
  waiter.join();
  EXPECT_FALSE(c.isSleeping());
  EXPECT_EQ(zur::statLoad(c.statistics->waitsCompleted), zur::statLoad(c.statistics->waitsStarted));
  EXPECT_EQ(zur::statLoad(c.statistics->totalPostEvents), 1u);
}

}  // namespace
