// Helpers of the I/O processor tests: a pool region on the heap, a processing
// routine that collects what it is given, filled blocks, test data, a temporary file, a UDP
// socket pair on 127.0.0.1 and a receive routine that follows a script.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "utils/base/atomic_values.hpp"
#include "utils/io/io_processor.hpp"

namespace iotest {

class Pool {
 public:
  Pool(size_t blocks, size_t blockSize)
      : storage((84 + blocks * (blockSize + 20) + 7) / 8, 0),
        manager(storage.data(), 84 + blocks * (blockSize + 20), blockSize, "iotest") {}
  BufferRegion* region() { return &manager; }
  size_t freeCount() { return walk(manager.getFreeListHead()).size(); }
  std::vector<SharedBufferAllocRecord*> activeList() { return walk(manager.getActiveListHead()); }

 private:
  std::vector<SharedBufferAllocRecord*> walk(SharedBufferAllocRecord* rec) {
    std::vector<SharedBufferAllocRecord*> out;
    for (; rec != nullptr && out.size() <= manager.maxRecordCount(); rec = manager.traverseNextBlock(rec)) {
      out.push_back(rec);
    }
    return out;
  }
  std::vector<uint64_t> storage;
  CircularBufferManager manager;
};

struct ScriptedReceive {
  const char* script;  // per call: 'E' error, 'D' one byte "D", 'Z' (or the end) end of input
  size_t at;
};

// The processing routine's record of what it saw; the processor's extraData.
struct Collector {
  std::string data;
  std::vector<IO_metaBlock_header> headers;
  int calls = 0;
  uint32_t keepMask = 0;  // bit n: keep the block of call n (1-based)
  int stopAfterCalls = -1;
  ScriptedReceive* receiveScript = nullptr;
  const std::string& text() const { return data; }
};

inline int collect(SharedBufferAllocRecord* rec, IO_Processor* io) {
  Collector* c = static_cast<Collector*>(io->getExtraData());
  ++c->calls;
  const size_t len = getUsedLength(rec);
  const size_t offset = io->dataOffset();
  if (len > offset) c->data.append(reinterpret_cast<const char*>(io->bufferAddress(rec, nullptr)), len - offset);
  if (offset != 0 && len != 0) {
    IO_metaBlock_header h;
    io->copyMetaHeader(rec, &h);
    c->headers.push_back(h);
  }
  if (c->calls == c->stopAfterCalls) {
    zur::fetchOr(&io->stopRequested, static_cast<uint8_t>(IO_Processor::PROCESS_THREAD));
  }
  return c->calls < 32 ? static_cast<int>(c->keepMask >> c->calls & 1u) : 0;
}

inline ssize_t scriptedReceive(SharedBufferAllocRecord* rec, IO_Processor* io) {
  ScriptedReceive* s = static_cast<Collector*>(io->getExtraData())->receiveScript;
  const char step = s->script[s->at];
  if (step != '\0') ++s->at;
  if (step == 'E') {
    errno = EIO;
    return -1;
  }
  if (step != 'D') return 0;
  io->bufferAddress(rec, nullptr)[0] = 'D';
  return 1;
}

// A block of the processor's region holding text, filled but not submitted.
inline SharedBufferAllocRecord* filledBlock(IO_Processor& io, const std::string& text) {
  SharedBufferAllocRecord* rec = io.getBufferRegion()->allocateBlock(64);
  std::memcpy(io.bufferAddress(rec, nullptr), text.data(), text.size());
  setUsedLength(rec, static_cast<uint32_t>(text.size()));
  return rec;
}

// n bytes that differ from their neighbours, so a lost, doubled or reordered
// piece shows.
inline std::string pattern(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 12345;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

class TempFile {
 public:
  explicit TempFile(const std::string& content) {
    char name[] = "/tmp/io_processor_testXXXXXX";
    descriptor = mkstemp(name);
    if (descriptor >= 0) {
      unlink(name);
      if (write(descriptor, content.data(), content.size()) != static_cast<ssize_t>(content.size())) std::abort();
      lseek(descriptor, 0, SEEK_SET);
    }
  }
  ~TempFile() {
    if (descriptor >= 0) close(descriptor);
  }
  int fd() const { return descriptor; }

 private:
  int descriptor;
};

// Two UDP sockets on 127.0.0.1, the sender connected to the receiver.
class UdpPair {
 public:
  UdpPair() {
    receiver = socket(AF_INET, SOCK_DGRAM, 0);
    sender = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    valid = receiver >= 0 && sender >= 0 && bind(receiver, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            getsockname(receiver, reinterpret_cast<sockaddr*>(&a), &len) == 0 &&
            connect(sender, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    sockaddr_in s{};
    len = sizeof s;
    if (valid && getsockname(sender, reinterpret_cast<sockaddr*>(&s), &len) == 0) port = s.sin_port;
  }
  ~UdpPair() {
    if (receiver >= 0) close(receiver);
    if (sender >= 0) close(sender);
  }
  bool ok() const { return valid; }
  ssize_t send(const void* data, size_t len) { return ::send(sender, data, len, 0); }
  in_port_t senderPort() const { return port; }

  int receiver;
  int sender;

 private:
  bool valid;
  in_port_t port = 0;
};

}  // namespace iotest
