// The I/O processor driven on the test's own thread: blocks read through the
// default receive routine from a pipe, a regular file and a UDP socket, the
// meta header, kept blocks, the count of receive errors that ends the reader,
// and the queue: blocks allocated and never submitted (kept filled, or given
// back) are never processed, whatever their place on the region's active
// list; submitted blocks go in submission order; after processQueuedBlocks
// nothing is queued.
#include "utils/io/io_processor.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "io/io_processor_test_support.hpp"
#include "utils/time/get_time.hpp"

namespace {

using iotest::Collector;
using iotest::Pool;

TEST(IO_Processor, ConstructionSetsLabelSizesAndStatistics) {
  Pool pool(4, 256);
  SharedMemoryVariableNode node("ioNamed", static_cast<SharedMemoryVariableNode*>(nullptr));
  IO_Processor named(&node, pool.region(), iotest::collect, -1, IO_Processor::NONE, nullptr,
                     IO_Processor::PACKET_WITH_SOURCE_AND_TIME);
  EXPECT_STREQ(named.getLabel(), "ioNamed");
  EXPECT_EQ(named.maxPacketSize, 256u - 64u);
  EXPECT_EQ(named.statistics->namingNode.getParentNode(), &node);

  IO_Processor plain(nullptr, pool.region(), iotest::collect, -1);
  EXPECT_STREQ(plain.getLabel(), "io");
  EXPECT_EQ(plain.maxPacketSize, 256u);
  plain.setLabel("a-label-much-longer-than-twenty-three");
  EXPECT_EQ(std::strlen(plain.getLabel()), 23u);
}

// Blocks 1 and 3 are kept: the loop walks past them, they stay on the active
// list unreturned, and every block is processed exactly once.
TEST(IO_Processor, KeptBlocksAreSkippedNotReprocessed) {
  Pool pool(8, 64);
  Collector out;
  out.keepMask = 1u << 2 | 1u << 4;  // keeps "b" and "d"
  out.stopAfterCalls = 3;           // the loop stops after "c"
  IO_Processor io(nullptr, pool.region(), iotest::collect, -1, IO_Processor::NONE, &out);
  const char* texts[] = {"a", "b", "c", "d", "e", ""};
  std::vector<SharedBufferAllocRecord*> recs;
  for (const char* text : texts) {
    SharedBufferAllocRecord* rec = iotest::filledBlock(io, text);
    recs.push_back(rec);
    io.submitOrProcessBlock(rec);
    // Processing starts while blocks still arrive, then resumes after "b".
    if (recs.size() == 3) {
      EXPECT_EQ(IO_Processor::doProcessLoop(&io), 0);
    }
  }
  io.stopRequested = 0;
  out.stopAfterCalls = 6;  // the empty block's call; bounds a loop that goes wrong
  EXPECT_EQ(IO_Processor::doProcessLoop(&io), 0);
  EXPECT_EQ(out.text(), "abcde");
  EXPECT_EQ(out.calls, 6);
  // Kept blocks count as processed.
  EXPECT_EQ(zur::statLoad(io.statistics->bytesProcessed), 5u);
  EXPECT_EQ(zur::statLoad(io.statistics->packetsProcessed), 6u);
  EXPECT_EQ(pool.activeList(), (std::vector<SharedBufferAllocRecord*>{recs[1], recs[3]}));
  io.returnKeptBlock(recs[3]);
  io.returnKeptBlock(recs[1]);
  EXPECT_EQ(pool.freeCount(), 8u);
}

// The reader loop on this thread over a pipe and a regular file: every byte
// once, in order, and the statistics agree.
TEST(IO_Processor, ReaderLoopOnCallerThreadReadsPipeAndFile) {
  const std::string data = iotest::pattern(5000);
  struct Case {
    const char* what;
    int fd;
  };
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  ASSERT_EQ(write(pipeEnds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(pipeEnds[1]);
  iotest::TempFile file(data);
  const Case cases[] = {{"pipe", pipeEnds[0]}, {"file", file.fd()}};
  for (const Case& c : cases) {
    Pool pool(4, 700);
    Collector out;
    IO_Processor io(nullptr, pool.region(), iotest::collect, c.fd, IO_Processor::PROCESS_DURING_READ, &out,
                    IO_Processor::CONTIGUOUS_FILE_STREAM);
    EXPECT_EQ(IO_Processor::doConsumeLoop(&io), 0) << c.what;
    EXPECT_EQ(out.text(), data) << c.what;
    EXPECT_EQ(zur::statLoad(io.statistics->bytesRead), data.size()) << c.what;
    EXPECT_EQ(zur::statLoad(io.statistics->bytesProcessed), data.size()) << c.what;
    EXPECT_EQ(zur::statLoad(io.statistics->packetsRead), zur::statLoad(io.statistics->packetsProcessed));
    EXPECT_EQ(pool.freeCount(), 4u) << c.what;
  }
  close(pipeEnds[0]);
}

// recvfrom on UDP fills the meta header: source address and receive time.
TEST(IO_Processor, UdpPacketsCarrySourceAndReceiveTime) {
  iotest::UdpPair udp;
  ASSERT_TRUE(udp.ok());
  const char* packets[] = {"first", "second packet", ""};
  for (const char* p : packets) ASSERT_EQ(udp.send(p, std::strlen(p)), static_cast<ssize_t>(std::strlen(p)));
  Pool pool(4, 256);
  Collector out;
  IO_Processor io(nullptr, pool.region(), iotest::collect, udp.receiver, IO_Processor::PROCESS_DURING_READ, &out,
                  IO_Processor::PACKET_WITH_SOURCE_AND_TIME);
  const TimeWithNanoseconds before = *getCurrentTime(nullptr, true);
  EXPECT_EQ(IO_Processor::doConsumeLoop(&io), 0);
  EXPECT_EQ(out.text(), "firstsecond packet");
  ASSERT_EQ(out.headers.size(), 2u);
  for (const IO_metaBlock_header& h : out.headers) {
    EXPECT_EQ(ntohs(h.headerLen), 64u);
    ASSERT_EQ(ntohs(h.fromLen), sizeof(sockaddr_in));
    sockaddr_in from;
    std::memcpy(&from, h.fromAddress, sizeof from);
    EXPECT_EQ(from.sin_port, udp.senderPort());
    EXPECT_EQ(ntohl(from.sin_addr.s_addr), INADDR_LOOPBACK);
    EXPECT_GE(h.receiveTimeSeconds + 1, before.time_sec);
    EXPECT_LE(h.receiveTimeSeconds, before.time_sec + 60);
    EXPECT_LT(h.receiveTimeNanoseconds, 1000000000u);
  }
  // Each packet's bytes count with its 64-byte header.
  EXPECT_EQ(zur::statLoad(io.statistics->bytesRead), 5u + 13u + 2u * 64u);
}

// Busy polling: with read attempts the descriptor is made non-blocking and a
// read that finds data at once counts as a productive spin.
TEST(IO_Processor, ReadAttemptsPollBeforeBlocking) {
  iotest::UdpPair udp;
  ASSERT_TRUE(udp.ok());
  Pool pool(4, 256);
  Collector out;
  IO_Processor io(nullptr, pool.region(), iotest::collect, udp.receiver, IO_Processor::PROCESS_DURING_READ, &out,
                  IO_Processor::PACKET);
  io.setReadAttempts(3);
  ASSERT_EQ(udp.send("ping", 4), 4);
  ASSERT_EQ(udp.send("", 0), 0);
  EXPECT_EQ(IO_Processor::doConsumeLoop(&io), 0);
  EXPECT_EQ(out.text(), "ping");
  EXPECT_NE(io.descriptorFlags & static_cast<uint32_t>(O_NONBLOCK), 0u);
  EXPECT_EQ(zur::statLoad(io.statistics->productiveReadSpins), 2u);
  // Nothing to read: three non-blocking tries, then a blocking one that the
  // receive time-out ends with EAGAIN, which stops the reader quietly.
  io.setReadTimeout(1);
  EXPECT_EQ(IO_Processor::doConsumeLoop(&io), -2);
  EXPECT_EQ(io.lastReadTimeout, 1u);
}

// A receive routine that fails on purpose: nine errors and a success reset
// the count; the tenth error in a row ends the reader.
TEST(IO_Processor, TenReceiveErrorsInARowEndTheReader) {
  struct Case {
    const char* script;  // per call: E error, D data, Z end of input
    int dataBlocks;
    bool endsWithMessage;
  };
  const Case cases[] = {
      {"EEEEEEEEEDEEEEEEEEEDZ", 2, false},
      {"EEEEEEEEEE", 0, true},
      {"DEEEEEEEEEEZ", 1, true},
  };
  for (const Case& c : cases) {
    Pool pool(4, 64);
    Collector out;
    IO_Processor io(nullptr, pool.region(), iotest::collect, -1, IO_Processor::PROCESS_DURING_READ, &out,
                    IO_Processor::PACKET, iotest::scriptedReceive);
    iotest::ScriptedReceive script{c.script, 0};
    out.receiveScript = &script;
    testing::internal::CaptureStderr();
    EXPECT_EQ(IO_Processor::doConsumeLoop(&io), 0) << c.script;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("too many receive errors") != std::string::npos, c.endsWithMessage) << c.script;
    EXPECT_EQ(out.text(), std::string(static_cast<size_t>(c.dataBlocks), 'D')) << c.script;
    EXPECT_EQ(pool.freeCount(), 4u) << c.script;  // failed blocks went back
  }
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
        held[*p - 'a'] = iotest::filledBlock(io, std::string(1, *p));
      } else {
        io.submitOrProcessBlock(held[*p - 'A']);
        held[*p - 'A'] = nullptr;
      }
    }
    io.submitOrProcessBlock(iotest::filledBlock(io, ""));
    out.stopAfterCalls = 16;  // bounds a loop that goes wrong
    EXPECT_EQ(IO_Processor::doProcessLoop(&io), 0) << c.script;
    EXPECT_EQ(out.text(), c.processed) << c.script;
    EXPECT_EQ(io.pendingCount(), 0) << c.script;
    EXPECT_EQ(zur::statLoad(io.statistics->bytesProcessed), std::strlen(c.processed)) << c.script;
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
  EXPECT_EQ(io.submitOrProcessBlock(iotest::filledBlock(io, "a")), 1);
  EXPECT_EQ(io.submitOrProcessBlock(iotest::filledBlock(io, "b")), 1);
  EXPECT_EQ(out.calls, 0);
  EXPECT_EQ(io.processQueuedBlocks(), 2);
  EXPECT_EQ(out.text(), "ab");
  EXPECT_EQ(io.submitOrProcessBlock(iotest::filledBlock(io, "c")), 0);
  EXPECT_EQ(out.text(), "abc");
  EXPECT_EQ(pool.freeCount(), 8u);
}

}  // namespace
