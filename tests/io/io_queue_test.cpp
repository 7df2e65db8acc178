// The processor's queue of submitted blocks, driven on this thread: blocks
// allocated and never submitted (kept filled, or given back) are never
// processed, whatever their place on the region's active list; submitted
// blocks go in submission order; after processQueuedBlocks nothing is queued.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "io/io_processor_test_support.hpp"

namespace {

using iotest::Collector;
using iotest::Pool;

SharedBufferAllocRecord* filledBlock(IO_Processor& io, const std::string& text) {
  SharedBufferAllocRecord* rec = io.getBufferRegion()->allocateBlock(64);
  std::memcpy(io.bufferAddress(rec, nullptr), text.data(), text.size());
  setUsedLength(rec, static_cast<uint32_t>(text.size()));
  return rec;
}

// Per step: a lower-case letter allocates a block holding it (filled, not
// submitted), the same letter in upper case submits that block, '-' + letter
// gives it back unsubmitted. The end block follows the script.
struct QueueCase {
  const char* script;
  const char* processed;
};

TEST(IO_ProcessorQueue, OnlySubmittedBlocksAreProcessedInSubmissionOrder) {
  const QueueCase cases[] = {
      {"aAbBcC", "abc"},
      {"abBcC-a", "bc"},      // the oldest block held, then given back
      {"abcCBA", "cba"},      // submission order, not allocation order
      {"aAbcC-bdD", "acd"},   // a block given back between submitted ones
      {"abAcC", "ac"},        // a filled block never submitted stays out
  };
  for (const QueueCase& c : cases) {
    Pool pool(8, 64);
    Collector out;
    IO_Processor io(nullptr, pool.region(), iotest::collect, -1, IO_Processor::NONE, &out);
    SharedBufferAllocRecord* held[26] = {};
    for (const char* p = c.script; *p != '\0'; ++p) {
      if (*p == '-') {
        ++p;
        pool.region()->returnBlock(held[*p - 'a']);
        held[*p - 'a'] = nullptr;
      } else if (*p >= 'a') {
        held[*p - 'a'] = filledBlock(io, std::string(1, *p));
      } else {
        io.submitOrProcessBlock(held[*p - 'A']);
        held[*p - 'A'] = nullptr;
      }
    }
    io.submitOrProcessBlock(filledBlock(io, ""));
    out.stopAfterCalls = 16;  // bounds a loop that goes wrong
    EXPECT_EQ(IO_Processor::doProcessLoop(&io), 0) << c.script;
    EXPECT_EQ(out.text(), c.processed) << c.script;
    EXPECT_EQ(io.pendingCount(), 0) << c.script;
    for (SharedBufferAllocRecord* rec : held) pool.region()->returnBlock(rec);
    EXPECT_EQ(pool.freeCount(), 8u) << c.script;
    EXPECT_EQ(pool.region()->checkLists(0), 0) << c.script;
  }
}

// Blocks queued for a processing thread that has gone are processed, in
// order, by processQueuedBlocks; later ones are processed at once.
TEST(IO_ProcessorQueue, QueuedBlocksAreProcessedWhenTheThreadHasGone) {
  Pool pool(8, 64);
  Collector out;
  IO_Processor io(nullptr, pool.region(), iotest::collect, -1, IO_Processor::NONE, &out);
  EXPECT_EQ(io.submitOrProcessBlock(filledBlock(io, "a")), 1);
  EXPECT_EQ(io.submitOrProcessBlock(filledBlock(io, "b")), 1);
  EXPECT_EQ(out.calls, 0);
  EXPECT_EQ(io.processQueuedBlocks(), 2);
  EXPECT_EQ(out.text(), "ab");
  EXPECT_EQ(io.submitOrProcessBlock(filledBlock(io, "c")), 0);
  EXPECT_EQ(out.text(), "abc");
  EXPECT_EQ(pool.freeCount(), 8u);
}

}  // namespace
