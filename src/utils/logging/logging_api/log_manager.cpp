// Log managers: construction over a descriptor, a file or memory, the
// region's blocks, time sources, the descriptor writers, and the iovec
// merger.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <ostream>
#include <regex>

#include "utils/base/timed_mutex.hpp"
#include "utils/io/io_processor.hpp"
#include "utils/io/mapped_file.hpp"
#include "utils/logging/logging_api.hpp"

LogManager* LogManager::DEFAULT_LogManager = nullptr;
SharedMemoryVariableNode* LogManager::LogManager_ParentNode = nullptr;

namespace {

constexpr size_t REGION_HEADER_BYTES = 84;
constexpr size_t REGION_RECORD_BYTES = 20;

// Room for at least two blocks of blockSize.
size_t atLeastTwoBlocks(size_t bytes, size_t blockSize) {
  const size_t minimum = REGION_HEADER_BYTES + 2 * (blockSize + REGION_RECORD_BYTES);
  return bytes < minimum ? minimum : bytes;
}

}  // namespace

LogManager::LogManager(SharedMemoryVariableNode* parentNode, int fd, uint_fast8_t useSeparateThreads,
                       const char* name, uint_fast32_t logLinePrefixMask, uint_fast32_t maxLineLen,
                       unsigned char* region, size_t bytes)
    : bfrMgr(nullptr),
      ioMgr(nullptr),
      output_fd(fd),
      errorCondition(""),
      blockSize(maxLineLen < 2 ? 2 : maxLineLen),
      logPrefixMask(logLinePrefixMask),
      stripLeadingDirectories(STRIP_USE_DEFAULT),
      cachedFileNameCount(0),
      getTimestampRoutine(&defaultGetTime),
      logTimePointCache(TimePointCacheForToday),
      threaded(false),
      queueLimit(0),
      closed(false),
      ownsDescriptor(false),
      ownedNode(nullptr),
      mappedRegion(nullptr),
      mappedLength(0),
      appName(name != nullptr ? name : ""),
      memoryBlock(nullptr),
      logFileName() {
  if (output_fd != -1) {
    const int flags = fcntl(output_fd, F_GETFL);
    if (flags != -1 && (flags & O_APPEND) == 0) fcntl(output_fd, F_SETFL, flags | O_APPEND);
  }
  BufferRegion::OwnershipState ownedBy = BufferRegion::NOT_OWNER;
  bytes &= ~static_cast<size_t>(3);  // regions are laid out in 4-byte units
  if (region == nullptr) {
    bytes = atLeastTwoBlocks(bytes, blockSize);
    region = new (std::nothrow) unsigned char[bytes];
    if (region == nullptr) {
      std::fprintf(stderr, "LogManager %s: no memory for a region of %zu bytes\n", appName, bytes);
      bytes = 0;
    }
    ownedBy = BufferRegion::OWN_BLOCK;
  }
  // A region without blocks hands out none: lines are then dropped.
  bfrMgr = new (std::nothrow) CircularBufferManager(region, bytes, blockSize, appName, "LOGCBFR");
  if (bfrMgr != nullptr) {
    bfrMgr->setOwnership(ownedBy);
  } else if (ownedBy == BufferRegion::OWN_BLOCK) {
    delete[] region;
  }
  if (parentNode != nullptr && bfrMgr != nullptr) {
    // Lines the logging thread hands on are processed at once (written by
    // commitLogRecord); a writer thread takes them over when there is one.
    ioMgr = new (std::nothrow) IO_Processor(parentNode, bfrMgr, &commitLogRecord, output_fd,
                                            IO_Processor::PROCESS_DURING_READ, this, IO_Processor::PACKET);
    if (ioMgr != nullptr && useSeparateThreads == 1) startWriterThread();
  }
  if (defaultStripLeadingDirectoriesUnset()) initializePrefixTable();
}

LogManager::~LogManager() {
  killProcessingThread();
  keepMemoryBlock(nullptr);
  delete ioMgr;
  delete bfrMgr;
  delete ownedNode;  // after the processor, whose statistics live under it
  if (mappedRegion != nullptr) munmap(mappedRegion, mappedLength);
  if (ownsDescriptor && output_fd > 2) close(output_fd);
  pthread_cond_destroy(&roomFreed);
  pthread_mutex_destroy(&roomLock);
}

void LogManager::returnBuffer(SharedBufferAllocRecord* rec) {
  if (rec != nullptr && bfrMgr != nullptr) bfrMgr->returnBlock(rec);
}

unsigned char* LogManager::bufferAddress(SharedBufferAllocRecord* rec, size_t* len) {
  if (rec == nullptr || bfrMgr == nullptr) {
    if (len != nullptr) *len = 0;
    return nullptr;
  }
  if (len != nullptr) *len = rec->blockLen;
  return bfrMgr->blockAddress(rec);
}

void LogManager::keepMemoryBlock(SharedBufferAllocRecord* rec) {
  SharedBufferAllocRecord* previous = memoryBlock.exchange(rec, std::memory_order_acq_rel);
  if (previous != nullptr) returnBuffer(previous);
}

ssize_t LogManager::copyAndWriteDataToBuffer(SharedBufferAllocRecord* rec, const void* data, size_t len) {
  if (rec == nullptr) return 0;
  if (len > rec->blockLen) {
    std::fprintf(stderr, "TRUNCATED LENGTH %zu to %u\n", len, static_cast<unsigned>(rec->blockLen));
    len = rec->blockLen;
  }
  std::memcpy(bfrMgr->blockAddress(rec), data, len);
  setUsedLength(rec, static_cast<uint32_t>(len));
  return writeDataToBuffer(rec);
}

ssize_t LogManager::copyAndWriteData(const void* data, size_t len) {
  return copyAndWriteDataToBuffer(allocateBuffer(), data, len);
}

namespace {

// Descriptor above 2, or -1 after a message.
int openLogFile(const char* name, int flags) {
  int fd;
  do {
    fd = open(name, flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

LogManager* LogManager::newLogToFileDescriptor(SharedMemoryVariableNode* parentNode, int fd,
                                               LogMaskPrimitiveType_t logPrefixMask, uint_fast8_t useSeparateThreads,
                                               unsigned char* region, size_t bytes) {
  return new (std::nothrow) LogManager(parentNode, fd, useSeparateThreads, default_LogSubsystemInfo.programName,
                                       logPrefixMask, MAX_LOG_LINE_LENGTH, region, bytes);
}

LogManager* LogManager::newLogFileForComponent(SharedMemoryVariableNode* parentNode, const char* app,
                                               uint_fast32_t filenameCreateFlags, LogMaskPrimitiveType_t logPrefixMask,
                                               uint_fast8_t enableMap, uint_fast8_t useSeparateThreads,
                                               size_t desiredRegionSize, size_t reserveAtEnd, const char* inDir) {
  size_t wantBytes = desiredRegionSize != 0
                         ? desiredRegionSize
                         : REGION_BYTES_PER_PENDING_LINE * default_LogSubsystemInfo.maxPendingLogLines;
  if (wantBytes == 0) {
    std::fprintf(stderr, "ERROR:  it appears LogManager::initializeLogSubsystem() has not yet been called.\n");
  }
  char name[256];
  if (makeQualifiedFileName(name, sizeof name, app != nullptr ? app : "log", ".log", inDir,
                            static_cast<uint32_t>(filenameCreateFlags)) < 0) {
    std::fprintf(stderr, "log file name too long: %s\n", name);
    return nullptr;
  }
  const int fd = openLogFile(name, O_WRONLY | O_CREAT | O_APPEND);
  if (fd < 0) {
    std::fprintf(stderr, "failed to open log file: %s\n", name);
    return nullptr;
  }
  void* mapping = MAP_FAILED;
  size_t size = wantBytes;
  if (enableMap == 1) {
    char auxName[260];
    std::snprintf(auxName, sizeof auxName, "%saux", name);
    const int auxFd = openLogFile(auxName, O_RDWR | O_CREAT | O_TRUNC);
    if (auxFd < 0) {
      std::fprintf(stderr, "failed to create aux log file: %s\n", auxName);
    } else {
      size = wantBytes / 4096 * 4096 + 4096;
      const size_t wrote = zeroFileContents(auxFd, size);
      if (wrote < size) {
        std::fprintf(stderr, "Could not initialize log auxmap file %s, only wrote %d of %lu bytes\n", auxName,
                     static_cast<int>(wrote), static_cast<unsigned long>(size));
      } else {
        mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, auxFd, 0);
      }
      close(auxFd);
    }
    if (mapping == MAP_FAILED) {
      const int err = errno;
      std::fprintf(stderr, "LogManager for %s, mmap failed, errno=%d %s\n", name, err, strerror(err));
      size = wantBytes;
    }
  }
  unsigned char* region = mapping == MAP_FAILED ? nullptr : static_cast<unsigned char*>(mapping);
  const size_t regionBytes = reserveAtEnd < size ? size - reserveAtEnd : size;
  LogManager* mgr = new (std::nothrow) LogManager(parentNode, fd, useSeparateThreads,
                                                  default_LogSubsystemInfo.programName, logPrefixMask,
                                                  MAX_LOG_LINE_LENGTH, region, regionBytes);
  if (mgr == nullptr) {
    if (region != nullptr) munmap(region, size);
    close(fd);
    return nullptr;
  }
  mgr->ownsDescriptor = true;
  if (region != nullptr) {
    mgr->mappedRegion = region;
    mgr->mappedLength = size;
  }
  std::snprintf(mgr->logFileName, sizeof mgr->logFileName, "%s", name);
  return mgr;
}

LogManager* LogManager::newStandardLogFile(const char* namedComponent, uint_fast32_t filenameCreateFlags,
                                           SharedMemoryVariableNode* parentNode) {
  const char* component = namedComponent != nullptr ? namedComponent : default_LogSubsystemInfo.programName;
  if (component == nullptr) component = "log";
  SharedMemoryVariableNode* ownNode = nullptr;
  if (parentNode == nullptr) {
    ownNode = LogManager_ParentNode != nullptr
                  ? new (std::nothrow) SharedMemoryVariableNode(component, LogManager_ParentNode)
                  : new (std::nothrow) SharedMemoryVariableNode(component, &DEFAULT_sharedMemoryVariableManager);
    parentNode = ownNode;
  }
  LogManager* mgr = newLogFileForComponent(parentNode, component, filenameCreateFlags,
                                           default_LogSubsystemInfo.defaultLogPrefix,
                                           default_LogSubsystemInfo.enableMap,
                                           default_LogSubsystemInfo.useThreads == 1 ? 1 : 0, 0, 0,
                                           std::getenv("LOGDIR"));
  if (mgr == nullptr) {
    delete ownNode;
    return nullptr;
  }
  mgr->ownedNode = ownNode;
  if (DEFAULT_LogManager == nullptr) DEFAULT_LogManager = mgr;
  return mgr;
}

void LogManager::defaultGetTime(timespec* ts, const LogManager* /*mgr*/) { interpolated_clock_gettime(ts, false); }

namespace {
std::atomic<const POSIXtimeInNanoseconds*> takeLogTimeFrom{nullptr};
}  // namespace

void LogManager::setSourceForCustomLogTime(const POSIXtimeInNanoseconds* source) {
  // release: the source's value is visible to managers that read it.
  takeLogTimeFrom.store(source, std::memory_order_release);
}

void LogManager::returnCustomLogTime(timespec* ts, const LogManager* /*mgr*/) {
  const POSIXtimeInNanoseconds* source = takeLogTimeFrom.load(std::memory_order_acquire);
  if (source == nullptr) {
    defaultGetTime(ts, nullptr);
    return;
  }
  const uint64_t ns = *source;
  ts->tv_sec = static_cast<time_t>(ns / 1000000000u);
  ts->tv_nsec = static_cast<long>(ns % 1000000000u);
}

void LogManager::countDirectWrite(size_t bytes) {
  if (ioMgr == nullptr) return;
  IO_Processor_Statistics* stats = ioMgr->statistics;
  zur::statAdd(stats->bytesRead, static_cast<unsigned long long>(bytes));
  zur::statAdd(stats->bytesProcessed, static_cast<unsigned long long>(bytes));
  zur::statAdd(stats->packetsRead, 1u);
  zur::statAdd(stats->packetsProcessed, 1u);
}

size_t writeElements(int fd, iovec* elements, uint_fast32_t count, const IO_Processor* stopper) {
  constexpr uint_fast32_t MAX_PER_CALL = 1024;
  size_t written = 0;
  uint_fast32_t i = 0;
  while (i < count) {
    const uint_fast32_t group = count - i < MAX_PER_CALL ? count - i : MAX_PER_CALL;
    const ssize_t n = writev(fd, elements + i, static_cast<int>(group));
    if (n < 0) {
      if (errno == EINTR && (stopper == nullptr || !stopper->stopAsked(IO_Processor::PROCESS_THREAD))) continue;
      break;
    }
    if (n == 0) break;
    written += static_cast<size_t>(n);
    // Skip what went out; a short write resumes inside an element.
    size_t left = static_cast<size_t>(n);
    while (i < count && left >= elements[i].iov_len) {
      left -= elements[i].iov_len;
      ++i;
    }
    if (left != 0) {
      elements[i].iov_base = static_cast<char*>(elements[i].iov_base) + left;
      elements[i].iov_len -= left;
    }
  }
  return written;
}

uint_fast32_t coalesce_iovec(uint_fast32_t total, iovec* elements) {
  if (total == 0) return 0;
  uint_fast32_t out = 0;
  uint32_t merges = 0;
  for (uint_fast32_t i = 1; i < total; ++i) {
    iovec& last = elements[out];
    if (static_cast<char*>(last.iov_base) + last.iov_len == elements[i].iov_base) {
      last.iov_len += elements[i].iov_len;
      ++merges;
    } else {
      elements[++out] = elements[i];
    }
  }
  coalesceCount += 1u + merges;
  return out + 1;
}

int32_t getEnvironValue(const char* varName, int32_t defaultVal) {
  const char* text = std::getenv(varName);
  if (text == nullptr) return defaultVal;
  const size_t len = std::strlen(text);
  return static_cast<int32_t>(text2int32(text, static_cast<uint_fast8_t>(len > 255 ? 255 : len)));
}

std::string_view stripLogLinePrefix(std::string_view line) {
  static const std::regex prefix(LOG_LINE_PREFIX_REGEX, std::regex::extended);
  std::match_results<std::string_view::const_iterator> match;
  if (std::regex_search(line.begin(), line.end(), match, prefix)) {
    return line.substr(static_cast<size_t>(match.length(0)));
  }
  return line;
}

std::ostream& operator<<(std::ostream& os, const TextBlock_struct& text) {
  return os.write(text.textBfr, static_cast<std::streamsize>(text.bfrLen));
}
