// Timed mutex and timed condition on one thread: the statistics each lock,
// unlock, wait and post leaves behind, place texts, recursive locking and the
// unnamed forms without statistics.
#include "utils/base/timed_mutex.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Statistics kept in the objects (no segment).
SharedMemoryVariableNode* testNode() {
  static SharedMemoryVariableNode node("timedMutexTests", static_cast<SharedMemoryVariableNode*>(nullptr));
  return &node;
}

bool ticksReadable() { return get_CPU_ticks() != 0; }

TEST(TimedMutex, LockAndUnlockLeaveStatistics) {
  TimedMutex m("statsLock", testNode());
  ASSERT_NE(m.statistics, nullptr);
  EXPECT_STREQ(m.getMutexName(), "statsLock");
  TimedMutex::TimedMutexStatistics& s = *m.statistics;
  for (int i = 1; i <= 3; ++i) {
    const int64_t delay = m.LOCK_HERE();
    EXPECT_GE(delay, 0);
    EXPECT_EQ(m.getThreadIdOfCurrentOwner(), static_cast<uint64_t>(pthread_self()));
    EXPECT_EQ(zur::statLoad(s.lockObtainedAt), m.obtainedAt);
    EXPECT_GE(zur::statLoad(s.lockObtainedAt), zur::statLoad(s.lockRequestedAt));
    const int64_t held = m.unlock();
    EXPECT_GE(held, 0);
    EXPECT_EQ(m.getThreadIdOfCurrentOwner(), 0u);
    EXPECT_EQ(zur::statLoad(s.locksWanted), i);
    EXPECT_EQ(zur::statLoad(s.locksObtained), i);
  }
  EXPECT_NE(std::strstr(s.lockLocation, "timed_mutex_test.cpp:"), nullptr) << static_cast<const char*>(s.lockLocation);
  if (ticksReadable()) {
    EXPECT_GT(zur::statLoad(s.totalHeldTicks), 0u);
  }
}

TEST(TimedMutex, PlaceTextFollowsTheLastCallerAndIsCutToTheSpace) {
  TimedMutex m("placeLock", testNode());
  char place[] = "first.cpp:1";
  const struct {
    const char* place;
    const char* expected;
  } cases[] = {{"a.cpp:10", "a.cpp:10"}, {"b.cpp:20", "b.cpp:20"}, {"a.cpp:10", "a.cpp:10"}, {place, "first.cpp:1"}};
  for (const auto& c : cases) {
    m.lock(c.place);
    m.unlock();
    EXPECT_STREQ(m.statistics->lockLocation, c.expected);
  }
  // acquireLock leaves the place alone.
  m.acquireLock();
  m.unlock();
  EXPECT_STREQ(m.statistics->lockLocation, "first.cpp:1");
  // A long place is cut to the room of its record.
  const std::string longPlace(300, 'x');
  m.lock(longPlace.c_str());
  m.unlock();
  const SharedMemoryVariable_Record* rec = m.statistics->lockLocation.dataPointer;
  const uint32_t space = rec->allocatedLength - 52u - rec->varNameLength;
  EXPECT_EQ(rec->usedLength, space);
  EXPECT_EQ(std::strlen(m.statistics->lockLocation), space - 1u);
}

TEST(TimedMutex, RecursiveLockCountsEveryLock) {
  TimedMutex m("recursiveLock", testNode(), true);
  m.LOCK_HERE();
  m.LOCK_HERE();  // would deadlock on a default mutex
  m.unlock();
  m.unlock();
  EXPECT_EQ(zur::statLoad(m.statistics->locksWanted), 2);
  EXPECT_EQ(zur::statLoad(m.statistics->locksObtained), 2);
}

TEST(TimedMutex, UnnamedMutexKeepsNoStatisticsButTimes) {
  TimedMutex m;
  EXPECT_EQ(m.statistics, nullptr);
  EXPECT_EQ(m.getMutexName(), nullptr);
  EXPECT_GE(m.LOCK_HERE(), 0);
  const uint64_t obtained = m.obtainedAt;
  EXPECT_EQ(obtained == 0, !ticksReadable());
  EXPECT_GE(m.unlock(), 0);
  m.untimedLock();
  m.untimedUnlock();
  EXPECT_EQ(m.obtainedAt, obtained);  // untimed calls keep no ticks
}

TEST(TimedCondition, TimedWaitCountsAsCompletedWait) {
  TimedMutex m("condLock", testNode());
  TimedCondition c(&m, "cond", testNode());
  EXPECT_STREQ(c.getConditionName(), "cond");
  EXPECT_EQ(c.getMutex(), &m);
  timespec past{1, 0};  // long gone: returns at once
  c.LOCK_HERE();
  c.WAIT_HERE_UNTIL(&past);
  c.waitForConditionOrUntil(&past);  // no place: waitLocation stays
  c.unlock();
  EXPECT_FALSE(c.isSleeping());
  TimedCondition::TimedConditionStatistics& s = *c.statistics;
  EXPECT_EQ(zur::statLoad(s.waitsStarted), 2);
  EXPECT_EQ(zur::statLoad(s.waitsCompleted), 2);
  EXPECT_GE(zur::statLoad(s.waitCompletedAt), zur::statLoad(s.waitStartedAt));
  EXPECT_NE(std::strstr(s.waitLocation, "timed_mutex_test.cpp:"), nullptr);
  EXPECT_EQ(c.postCondition(), 0);
  EXPECT_EQ(c.postCondition(), 0);
  EXPECT_EQ(zur::statLoad(s.totalPostEvents), 2u);
}

}  // namespace
