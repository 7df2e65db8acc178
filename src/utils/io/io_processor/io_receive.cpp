// The reader side of the I/O processor: the default receive routine (read,
// recv or recvfrom into a block, optional busy polling with non-blocking
// attempts, a receive time-out, the meta header) and the default reader loop.
// Runs on the reader thread, or on the caller's thread when it drives the
// reader itself; cancellation is enabled only around the blocking receive.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "utils/io/io_processor.hpp"
#include "utils/time/get_time.hpp"

namespace {

using ByteCount = unsigned long long;

constexpr unsigned MAX_RECEIVE_ERRORS = 10;

void setNonBlocking(IO_Processor* io, bool nonBlocking) {
  const uint32_t flags = nonBlocking ? io->descriptorFlags | static_cast<uint32_t>(O_NONBLOCK)
                                     : io->descriptorFlags & ~static_cast<uint32_t>(O_NONBLOCK);
  if (fcntl(io->descriptor, F_SETFL, static_cast<int>(flags)) == 0) io->descriptorFlags = flags;
}

bool isNonBlocking(const IO_Processor* io) { return (io->descriptorFlags & static_cast<uint32_t>(O_NONBLOCK)) != 0; }

// One receive into [data, data + len); source, when not null, gets the
// sender's address. The only place a reader thread may be cancelled.
ssize_t receiveOnce(IO_Processor* io, unsigned char* data, size_t len, sockaddr_storage* source,
                    socklen_t* sourceLen) {
  int previous;
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &previous);
  ssize_t n;
  if (source != nullptr) {
    *sourceLen = sizeof(IO_metaBlock_header::fromAddress);
    n = recvfrom(io->descriptor, data, len, 0, reinterpret_cast<sockaddr*>(source), sourceLen);
  } else if ((io->blockingMode & IO_Processor::_NOT_SOCKET) != 0) {
    n = read(io->descriptor, data, len);
  } else {
    n = recv(io->descriptor, data, len, 0);
  }
  const int savedErrno = errno;
  pthread_setcancelstate(previous, nullptr);
  errno = savedErrno;
  return n;
}

}  // namespace

ssize_t IO_Processor::recvConsume(SharedBufferAllocRecord* rec, IO_Processor* io) {
  IO_Processor_Statistics* s = io->statistics;
  const unsigned attempts = zur::statLoad(s->readAttemptsBeforeBlocking);
  const bool isSocket = (io->blockingMode & _NOT_SOCKET) == 0;
  if (attempts == 0 && isNonBlocking(io)) {
    setNonBlocking(io, false);
  } else if (attempts != 0 && !isNonBlocking(io)) {
    setNonBlocking(io, true);
#ifdef SO_BUSY_POLL
    if (isSocket) {
      const int busyPollMicroseconds = 100;
      // Failure (no privilege, no support) only costs latency.
      (void)setsockopt(io->descriptor, SOL_SOCKET, SO_BUSY_POLL, &busyPollMicroseconds,
                       sizeof busyPollMicroseconds);
    }
#endif
  }
  unsigned char* block = io->bfrManager->blockAddress(rec);
  const bool withHeader = (io->blockingMode & _PACKET_HAS_META_DATA) != 0;
  const size_t headerLen = withHeader ? META_HEADER_LEN : 0;
  if (withHeader) {
    const uint16_t lengths[2] = {htons(static_cast<uint16_t>(META_HEADER_LEN)), 0};
    std::memcpy(block, lengths, sizeof lengths);
  }
  const unsigned timeout = zur::statLoad(s->maxReadTimeout);
  if (timeout != io->lastReadTimeout) {
    if (isSocket) {
      timeval limit{};
      limit.tv_sec = static_cast<time_t>(timeout);
      (void)setsockopt(io->descriptor, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    io->lastReadTimeout = timeout;
  }

  const bool withSource = (io->blockingMode & _PACKET_HAS_SOURCE) != 0;
  sockaddr_storage source;
  socklen_t sourceLen = 0;
  ssize_t n;
  unsigned tries = 0;
  for (;;) {
    n = receiveOnce(io, block + headerLen, io->maxPacketSize, withSource ? &source : nullptr, &sourceLen);
    if (n >= 0) break;
    ++tries;
    if (tries > attempts || io->stopAsked(READ_THREAD)) break;
    if (tries == attempts) setNonBlocking(io, false);  // the next try blocks
  }
  if (n < 0) {
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK) return -2;
    if (error == EINTR) return -1;
    std::fprintf(stderr, "IO_Processor::recvConsume %s(%d) errno=%d\n", withSource ? "recvfrom" : "read",
                 io->descriptor, error);
    return -1;
  }
  if (withSource && withHeader) {
    const uint16_t fromLen = htons(static_cast<uint16_t>(sourceLen));
    std::memcpy(block + offsetof(IO_metaBlock_header, fromLen), &fromLen, sizeof fromLen);
    constexpr size_t ROOM = sizeof(IO_metaBlock_header::fromAddress);
    const size_t copied = sourceLen < ROOM ? sourceLen : ROOM;
    std::memcpy(block + offsetof(IO_metaBlock_header, fromAddress), &source, copied);
  }
  if (tries < attempts) zur::statAdd(s->productiveReadSpins, 1u);
  if ((io->blockingMode & _PACKET_HAS_RECEIVE_TIME) != 0) {
    const TimeWithNanoseconds* now = getCurrentTime(nullptr, false);
    std::memcpy(block + offsetof(IO_metaBlock_header, receiveTimeSeconds), &now->time_sec, 8);
    std::memcpy(block + offsetof(IO_metaBlock_header, receiveTimeNanoseconds), &now->time_nanosec, 8);
  }
  return n == 0 ? 0 : n + static_cast<ssize_t>(headerLen);
}

int IO_Processor::doConsumeLoop(IO_Processor* io) {
  const size_t allocLen =
      io->maxPacketSize + (io->blockingMode > PACKET && io->blockingMode != _NOT_SOCKET ? META_HEADER_LEN : 0);
  IO_Processor_Statistics* s = io->statistics;
  BufferRegion* region = io->bfrManager;
  unsigned errors = 0;
  unsigned emptyPasses = 0;
  for (;;) {
    if (io->stopAsked(READ_THREAD)) return 0;
    // The allocator waits while the pool is empty (sleeping 100 ms at times)
    // and cannot be stopped: wait here instead, where a stop request is seen,
    // yielding first (the processor frees a block in microseconds) and then
    // sleeping 50 us a pass. A wake-up by the processor per block given back
    // costs more than it saves (a system call and a switch a block).
    if (region->getFreeListHead() == nullptr) {
      if (++emptyPasses < 256) {
        sched_yield();
      } else {
        const timespec pause{0, 50000};
        nanosleep(&pause, nullptr);
      }
      continue;
    }
    emptyPasses = 0;
    SharedBufferAllocRecord* rec = region->allocateBlock(allocLen);
    if (rec == nullptr) {
      std::fprintf(stderr, "IO_Processor:doConsumeLoop -- region %s has no blocks\n", io->label);
      return -1;
    }
    const ssize_t n = io->recvRoutine(rec, io);
    if (n < 0) {
      region->returnBlock(rec);
      if (n == -2) return -2;
      if (++errors >= MAX_RECEIVE_ERRORS) {
        std::fprintf(stderr, "IO_Processor:doConsumeLoop -- too many receive errors\n");
        return 0;
      }
      continue;
    }
    zur::statAdd(s->bytesRead, static_cast<ByteCount>(n));
    setUsedLength(rec, static_cast<uint32_t>(n));
    io->submitOrProcessBlock(rec);
    if (n == 0) return 0;  // end of input, after the empty block
    errors = 0;
  }
}
