// Capture of a descriptor through a pipe, read and processed on one thread
// of an I/O processor. Diagnostics of the capture go to the descriptor's
// original destination, so a captured standard error never feeds itself.
#include "utils/logging/replumb_and_log.hpp"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr size_t CAPTURE_BLOCK_SIZE = 1024;
constexpr unsigned CAPTURE_BLOCK_MODE = 128;  // a pipe: read(), no socket options
constexpr int JOIN_WAIT_MS = 2000;

void writeAll(int fd, const char* data, size_t len) {
  while (len != 0) {
    const ssize_t n = ::write(fd, data, len);
    if (n > 0) {
      data += n;
      len -= static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;  // write errors are ignored
    }
  }
}

void reportTo(int fd, const char* what, const char* name) {
  char line[160];
  const int n = std::snprintf(line, sizeof line, "ReplumbAndLog %s: %s failed: %s\n", name, what, strerror(errno));
  if (n > 0) writeAll(fd, line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
}

}  // namespace

ReplumbAndLog::ReplumbAndLog(int fd, IO_processBlockFP processRoutine, const char* name)
    : source_fd(-1),
      output_fd(-1),
      logMgr(nullptr),
      namingNode(name != nullptr ? name : "replumb", &DEFAULT_sharedMemoryVariableManager),
      bfrBlock(),
      captured_fd(fd),
      region(nullptr),
      processor(nullptr) {
  const char* label = name != nullptr ? name : "replumb";
  output_fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (output_fd < 0) {
    reportTo(STDERR_FILENO, "dup", label);
    return;
  }
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    reportTo(output_fd, "pipe", label);
    return;
  }
  // The descriptor now writes into the pipe; the extra write end goes at
  // once, so restoring the descriptor ends the reader's input.
  if (dup2(ends[1], fd) < 0) {
    reportTo(output_fd, "dup2", label);
    close(ends[0]);
    close(ends[1]);
    return;
  }
  close(ends[1]);
  source_fd = ends[0];
  region = new (std::nothrow) CircularBufferManager(bfrBlock, sizeof bfrBlock, CAPTURE_BLOCK_SIZE, "", "CIRCBFR");
  if (region != nullptr) {
    processor = new (std::nothrow) IO_Processor(&namingNode, region, processRoutine, source_fd, IO_Processor::NONE,
                                                this, CAPTURE_BLOCK_MODE);
  }
  if (processor != nullptr) {
    processor->setReadAttempts(0);
    processor->setThreadMode(IO_Processor::READ_AND_PROCESS_ON_SAME_THREAD);
    if ((processor->waitForThreadStart(IO_Processor::READ_THREAD) & IO_Processor::READ_THREAD) != 0) return;
  }
  errno = ENOMEM;
  reportTo(output_fd, "reader thread start", label);
  release();
}

ReplumbAndLog::~ReplumbAndLog() { release(); }

void ReplumbAndLog::release() {
  if (output_fd >= 0 && source_fd >= 0) dup2(output_fd, captured_fd);  // the reader now sees the end of input
  if (processor != nullptr) {
    for (int waited = 0; waited < JOIN_WAIT_MS && (processor->getThreadMode() & IO_Processor::READ_THREAD) != 0;
         ++waited) {
      const timespec pause{0, 1000000};
      nanosleep(&pause, nullptr);
    }
    processor->stopThread(IO_Processor::READ_THREAD);
    processor->waitForThreadExit(IO_Processor::READ_THREAD);
    delete processor;
    processor = nullptr;
  }
  delete region;
  region = nullptr;
  if (source_fd >= 0) close(source_fd);
  if (output_fd >= 0) close(output_fd);
  source_fd = -1;
  output_fd = -1;
}

int ReplumbAndLog::acceptData(SharedBufferAllocRecord* rec, IO_Processor* controller) {
  const size_t offset = controller->dataOffset();
  const uint32_t used = getUsedLength(rec);
  if (used <= offset) return 0;
  const char* data = reinterpret_cast<const char*>(controller->bufferAddress(rec, nullptr));
  size_t len = used - offset;
  const ReplumbAndLog* self = static_cast<const ReplumbAndLog*>(controller->getExtraData());
  while (len != 0) {
    const char* newline = static_cast<const char*>(std::memchr(data, '\n', len));
    const size_t pieceLen = newline != nullptr ? static_cast<size_t>(newline - data) + 1 : len;
    writeAll(self->output_fd, newline != nullptr ? "PREFIX+ " : "PREFIX: ", 8);
    writeAll(self->output_fd, data, pieceLen);
    data += pieceLen;
    len -= pieceLen;
  }
  return 0;
}
