// The I/O processor with real descriptors and threads: a pipe, a SOCK_DGRAM
// socket pair, UDP on 127.0.0.1 (recvfrom) and a regular file, each driven in
// every thread mode while a writer thread feeds it. Every byte arrives once
// and in order, and the counts of both sides agree at the end. Stop requests
// end threads blocked in a receive, a condition wait or a processing routine.
// While four threads allocate blocks and give some back unsubmitted, the
// processor never waits on a block that was not submitted and keeps each
// submitter's order. A reader thread feeds the document extractor. Waits poll
// with a five-second bound; no test sleeps for its result.
#include "utils/io/io_processor.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "io/document_stream_reference.hpp"
#include "io/io_processor_test_support.hpp"
#include "test_support.hpp"

namespace {

using iotest::Collector;
using iotest::Pool;

using narvelix_test::pollUntil;

enum class Source { PIPE, DGRAM_PAIR, UDP, FILE };

// One source of test data: the descriptor the processor reads, and a writer
// that sends the data and then the end of input.
class Feed {
 public:
  Feed(Source kind, const std::string& bytes) : source(kind), data(bytes), file(kind == Source::FILE ? bytes : "") {
    int ends[2] = {-1, -1};
    if (kind == Source::PIPE) {
      if (pipe(ends) != 0) return;
    } else if (kind == Source::DGRAM_PAIR) {
      if (socketpair(AF_UNIX, SOCK_DGRAM, 0, ends) != 0) return;
    } else if (kind == Source::UDP) {
      if (!udp.ok()) return;
      ends[0] = udp.receiver;
      ends[1] = udp.sender;
    } else {
      ends[0] = file.fd();
    }
    readEnd = ends[0];
    writeEnd = ends[1];
  }
  ~Feed() {
    if (source == Source::PIPE || source == Source::DGRAM_PAIR) {
      close(readEnd);
      if (writeEnd >= 0) close(writeEnd);
    }
  }
  unsigned blockMode() const {
    switch (source) {
      case Source::DGRAM_PAIR:
        return IO_Processor::PACKET;
      case Source::UDP:
        return IO_Processor::PACKET_WITH_SOURCE_AND_TIME;
      default:
        return IO_Processor::CONTIGUOUS_FILE_STREAM;
    }
  }
  // Sends the data in pieces of `piece` bytes and ends the input. UDP may
  // drop what the receiver's buffer cannot hold, so it is paced by the
  // processor's read count.
  void write(IO_Processor* io, size_t piece) {
    if (source == Source::FILE) return;
    unsigned sent = 0;
    for (size_t at = 0; at < data.size(); at += piece) {
      const size_t len = std::min(piece, data.size() - at);
      if (source == Source::UDP &&
          !pollUntil([&] { return zur::statLoad(io->statistics->packetsRead) + 16 > sent; })) {
        return;
      }
      if (::write(writeEnd, data.data() + at, len) != static_cast<ssize_t>(len)) return;
      ++sent;
    }
    if (source == Source::PIPE) {
      close(writeEnd);
      writeEnd = -1;
    } else {
      (void)::write(writeEnd, "", 0);  // an empty datagram ends the input
    }
  }

  Source source;
  std::string data;
  iotest::TempFile file;
  iotest::UdpPair udp;
  int readEnd = -1;
  int writeEnd = -1;
};

const char* sourceName(Source s) {
  static const char* names[] = {"pipe", "dgram socketpair", "udp", "file"};
  return names[static_cast<int>(s)];
}

TEST(IO_ProcessorThreads, EveryByteOnceInOrderInEveryThreadMode) {
  const std::string data = iotest::pattern(200000);
  const unsigned modes[] = {IO_Processor::READ_THREAD, IO_Processor::PROCESS_THREAD, IO_Processor::BOTH_THREADS,
                            IO_Processor::READ_AND_PROCESS_ON_SAME_THREAD, IO_Processor::PROCESS_DURING_READ};
  for (Source source : {Source::PIPE, Source::DGRAM_PAIR, Source::UDP, Source::FILE}) {
    for (unsigned mode : modes) {
      SCOPED_TRACE(std::string(sourceName(source)) + " mode " + std::to_string(mode));
      Feed feed(source, data);
      ASSERT_GE(feed.readEnd, 0);
      Pool pool(16, 2048);
      Collector out;
      IO_Processor io(nullptr, pool.region(), iotest::collect, feed.readEnd, mode, &out, feed.blockMode());
      // Started, though a reader of a file may have finished already.
      io.waitForThreadStart(mode);
      EXPECT_EQ(__atomic_load_n(&io.threadStartedState, __ATOMIC_RELAXED), mode & 3u);
      std::thread writer([&] { feed.write(&io, 1000); });
      // The caller drives the side that has no thread of its own.
      if (mode == IO_Processor::READ_THREAD) {
        EXPECT_EQ(IO_Processor::doProcessLoop(&io), 0);
      } else if ((mode & IO_Processor::READ_THREAD) == 0) {
        EXPECT_EQ(IO_Processor::doConsumeLoop(&io), 0);
      }
      writer.join();
      EXPECT_EQ(io.waitForThreadExit(IO_Processor::BOTH_THREADS), 0);
      EXPECT_EQ(io.threadStartedState, 0u);
      EXPECT_EQ(out.text().size(), data.size());
      EXPECT_TRUE(out.text() == data);
      const IO_Processor_Statistics& s = *io.statistics;
      EXPECT_EQ(zur::statLoad(s.bytesRead), zur::statLoad(s.bytesProcessed));
      EXPECT_EQ(zur::statLoad(s.packetsRead), zur::statLoad(s.packetsProcessed));
      EXPECT_EQ(pool.freeCount(), 16u);
      if (source == Source::UDP) {
        EXPECT_EQ(out.headers.size(), 200u);
      }
    }
  }
}

// Threads blocked in a receive (reader) and a condition wait (processor)
// end on a stop request.
TEST(IO_ProcessorThreads, StopEndsBlockedThreads) {
  for (Source source : {Source::PIPE, Source::UDP}) {
    SCOPED_TRACE(sourceName(source));
    Feed feed(source, "");
    Pool pool(4, 256);
    Collector out;
    IO_Processor io(nullptr, pool.region(), iotest::collect, feed.readEnd, IO_Processor::BOTH_THREADS, &out,
                    feed.blockMode());
    ASSERT_EQ(io.waitForThreadStart(IO_Processor::BOTH_THREADS), IO_Processor::BOTH_THREADS);
    // The processor is asleep once the condition has a waiter.
    ASSERT_TRUE(pollUntil([&] { return zur::statLoad(io.condition->statistics->waitsStarted) >= 1; }));
    EXPECT_EQ(io.stopThread(IO_Processor::BOTH_THREADS), IO_Processor::BOTH_THREADS);
    EXPECT_EQ(io.waitForThreadExit(IO_Processor::BOTH_THREADS), 0);
    EXPECT_EQ(io.getThreadMode() & 3u, 0u);
    EXPECT_EQ(out.calls, 0);
    EXPECT_EQ(pool.freeCount(), 4u);
  }
}

struct BlockingRoutineState {
  int fd;
  std::atomic<bool> entered{false};
  std::atomic<int> readErrno{0};
};

int blockInRead(SharedBufferAllocRecord*, IO_Processor* io) {
  auto* state = static_cast<BlockingRoutineState*>(io->getExtraData());
  state->entered = true;
  char c;
  if (read(state->fd, &c, 1) < 0) state->readErrno = errno;
  return 0;
}

// Repeated stop requests: the third signals a processing routine blocked in
// a system call.
TEST(IO_ProcessorThreads, ThirdStopSignalsABlockedProcessor) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  BlockingRoutineState state;
  state.fd = ends[0];
  Pool pool(4, 64);
  IO_Processor io(nullptr, pool.region(), blockInRead, -1, IO_Processor::PROCESS_THREAD, &state);
  SharedBufferAllocRecord* rec = pool.region()->allocateBlock(64);
  setUsedLength(rec, 1);
  EXPECT_EQ(io.submitOrProcessBlock(rec), 1);
  ASSERT_TRUE(pollUntil([&] { return state.entered.load(); }));
  EXPECT_EQ(io.stopThread(IO_Processor::PROCESS_THREAD), IO_Processor::PROCESS_THREAD);
  EXPECT_EQ(io.stopRequested, 2u);
  io.stopThread(IO_Processor::PROCESS_THREAD);
  EXPECT_EQ(io.stopRequested, 2u | 16u);
  // From the third request on each one signals (the first signal may come
  // before the read blocks).
  EXPECT_TRUE(pollUntil([&] {
    io.stopThread(IO_Processor::PROCESS_THREAD);
    return (io.getThreadMode() & IO_Processor::PROCESS_THREAD) == 0;
  }));
  EXPECT_EQ(state.readErrno.load(), EINTR);
  EXPECT_EQ(io.waitForThreadExit(IO_Processor::PROCESS_THREAD), 0);
  close(ends[0]);
  close(ends[1]);
}


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

// The document extractor fed by a reader thread from a real pipe: blocks of
// a small region cut the stream at arbitrary places, and the documents and
// blocks found agree with the reference splitter.
TEST(DocumentStreamPipe, ReaderThreadBlocksFeedTheExtractor) {
  std::string stream = "junk";
  for (int i = 0; i < 40; ++i) {
    stream += "<d>" + std::string(static_cast<size_t>(i % 7), 'x') + (i % 3 == 0 ? "++" : "") + "</d>";
    if (i % 3 == 0) stream += "BB";
    stream += "\n";
  }
  RecordingExtractor extractor("<d>", "</d>", 16);
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  Pool pool(8, 24);  // 24-byte blocks: documents span several reads
  IO_Processor io(nullptr, pool.region(), &Extract_And_Process_Document_Stream::addIOblockThenProcess, ends[0],
                  IO_Processor::READ_AND_PROCESS_ON_SAME_THREAD, &extractor, IO_Processor::CONTIGUOUS_FILE_STREAM);
  for (size_t at = 0; at < stream.size(); at += 5) {
    const size_t piece = stream.size() - at < 5 ? stream.size() - at : 5;
    ASSERT_EQ(write(ends[1], stream.data() + at, piece), static_cast<ssize_t>(piece));
  }
  close(ends[1]);
  EXPECT_EQ(io.waitForThreadExit(IO_Processor::READ_THREAD), 0);
  close(ends[0]);
  EXPECT_EQ(extractor.events, referenceDocuments(stream, "<d>", "</d>"));
  EXPECT_EQ(extractor.documentsProcessed(), 40u);
}

}  // namespace
