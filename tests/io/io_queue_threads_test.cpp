// The processor's queue with a processing thread while four threads allocate
// blocks and give some back without submitting them: the processor never
// waits on a block that was not submitted, processes every submitted block
// once and keeps each submitter's order; the pool ends whole.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "io/io_processor_test_support.hpp"

namespace {

using iotest::Collector;
using iotest::Pool;

// Four threads allocate; every third block goes back unsubmitted (every
// sixth after being filled). The processor sees each submitted line once and
// in its thread's order.
TEST(IO_ProcessorQueueThreads, UnsubmittedBlocksAmongConcurrentSubmitters) {
  constexpr int THREADS = 4;
  constexpr int LINES = 3000;
  Pool pool(16, 64);
  Collector out;
  IO_Processor io(nullptr, pool.region(), iotest::collect, -1, IO_Processor::PROCESS_THREAD, &out);
  std::vector<std::thread> submitters;
  for (int t = 0; t < THREADS; ++t) {
    submitters.emplace_back([&io, t] {
      char text[32];
      for (int i = 0; i < LINES; ++i) {
        SharedBufferAllocRecord* rec = io.getBufferRegion()->allocateBlock(64);
        const int len = std::snprintf(text, sizeof text, "t%d i%d\n", t, i);
        std::memcpy(io.bufferAddress(rec, nullptr), text, static_cast<size_t>(len));
        if (i % 3 == 1) {
          if (i % 6 == 1) setUsedLength(rec, static_cast<uint32_t>(len));
          io.getBufferRegion()->returnBlock(rec);
          continue;
        }
        setUsedLength(rec, static_cast<uint32_t>(len));
        io.submitOrProcessBlock(rec);
      }
    });
  }
  for (std::thread& s : submitters) s.join();
  SharedBufferAllocRecord* end = io.getBufferRegion()->allocateBlock(64);
  setUsedLength(end, 0);
  io.submitOrProcessBlock(end);
  // The end block ends the thread (joined within 30 s).
  ASSERT_EQ(io.waitForThreadExit(IO_Processor::PROCESS_THREAD), 0);
  std::vector<int> last(THREADS, -1);
  size_t lines = 0;
  for (size_t at = 0; at < out.text().size(); at = out.text().find('\n', at) + 1, ++lines) {
    int t = -1;
    int i = -1;
    ASSERT_EQ(std::sscanf(out.text().c_str() + at, "t%d i%d", &t, &i), 2);
    ASSERT_TRUE(t >= 0 && t < THREADS);
    ASSERT_EQ(i, last[static_cast<size_t>(t)] + (i % 3 == 2 ? 2 : 1)) << "thread " << t;
    last[static_cast<size_t>(t)] = i;
  }
  EXPECT_EQ(lines, static_cast<size_t>(THREADS) * (LINES - LINES / 3));
  EXPECT_EQ(pool.freeCount(), 16u);
  EXPECT_EQ(pool.region()->checkLists(0), 0);
}

}  // namespace
