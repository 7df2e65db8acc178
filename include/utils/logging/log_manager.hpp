// Log managers: one log output each (a descriptor, a file, or memory only).
// A manager owns a circular region of blocks in which lines are built; a
// manager with a naming node writes them to its descriptor, either directly
// from the logging thread (writev, one call per line) or through a writer
// thread of its own that writes the blocks in submission order. Also: the
// process-wide managers, the source-path prefix table that shortens file
// names, the iovec merger and the integer reader for environment variables.
#pragma once

#include <pthread.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "utils/base/circular_bfr.hpp"
#include "utils/logging/log_values.hpp"
#include "utils/time/get_time.hpp"
#include "utils/time/time_point.hpp"

using TimeAcquisitionFP = void (*)(timespec* ts, const LogManager* mgr);

class LogManager {
 public:
  static constexpr uint32_t MAX_LOG_LINE_LENGTH = 65728;
  static constexpr uint32_t MAX_FILE_PREFIX_ENTRIES = 8;
  static constexpr uint32_t FILENAME_CACHE_SIZE = 4;
  // Bytes of a file manager's default region per pending line.
  static constexpr size_t REGION_BYTES_PER_PENDING_LINE = 65812;
  // A manager's own thread is joined within this many seconds.
  static constexpr uint32_t THREAD_JOIN_SECONDS = 2;
  // Managers built with this value take the process default
  // (GCOV_PREFIX_STRIP) when they first prune a name.
  static constexpr uint32_t STRIP_USE_DEFAULT = 0xFFFFFFFFu;

  struct FileNameCacheEntry {
    const char* fileName;  // compared by address
    TextBlock_struct replacementText;
  };

  // A manager over output_fd (-1: none). With a naming node the lines are
  // written to the descriptor: by a thread of the manager's own when
  // useSeparateThreads is 1, else by the logging thread; without one the
  // records can only be formatted into memory. maxLineLen is the block size
  // (the longest line plus its NUL); region (null: allocated here, owned)
  // holds `bytes` bytes, at least two blocks. appName names the region.
  LogManager(SharedMemoryVariableNode* parentNode, int output_fd, uint_fast8_t useSeparateThreads, const char* appName,
             uint_fast32_t logLinePrefixMask, uint_fast32_t maxLineLen, unsigned char* region, size_t bytes);
  // Drains and stops the writer thread (bounded wait), closes a descriptor
  // above 2 that came from a file, releases the region.
  virtual ~LogManager();
  LogManager(const LogManager&) = delete;
  LogManager& operator=(const LogManager&) = delete;

  static LogManager* DEFAULT_LogManager;  // null until a standard log file is opened
  static LogManager* STDOUT_LogManager;   // descriptor 1, set before main
  static LogManager* STDERR_LogManager;   // descriptor 2, set before main
  static SharedMemoryVariableNode* LogManager_ParentNode;  // "LOG", when created

  static LogManager* newLogToFileDescriptor(SharedMemoryVariableNode* parentNode, int fd,
                                            LogMaskPrimitiveType_t logPrefixMask, uint_fast8_t useSeparateThreads,
                                            unsigned char* region, size_t bytes);
  // Opens (appending) the log file named by makeQualifiedFileName(app, ".log",
  // inDir, filenameCreateFlags). With enableMap 1 the region lives in the
  // mapped file "<name>aux" (an ordinary region when that fails). Null when
  // the file cannot be opened or its name would be cut.
  static LogManager* newLogFileForComponent(SharedMemoryVariableNode* parentNode, const char* app,
                                            uint_fast32_t filenameCreateFlags, LogMaskPrimitiveType_t logPrefixMask,
                                            uint_fast8_t enableMap, uint_fast8_t useSeparateThreads,
                                            size_t desiredRegionSize, size_t reserveAtEnd, const char* inDir);
  // The process's log file of a component (null: the program name) in
  // $LOGDIR, with the settings of the log flags; the first becomes
  // DEFAULT_LogManager.
  static LogManager* newStandardLogFile(const char* namedComponent, uint_fast32_t filenameCreateFlags,
                                        SharedMemoryVariableNode* parentNode);

  // Hands a gathered block to the writer thread (or, with none, gives it
  // back to the region). Returns its used length.
  ssize_t writeDataToBuffer(SharedBufferAllocRecord* rec);
  // Copies len bytes (cut to the block, with a message) into rec and hands
  // it on as writeDataToBuffer does; copyAndWriteData takes a fresh block.
  ssize_t copyAndWriteDataToBuffer(SharedBufferAllocRecord* rec, const void* data, size_t len);
  ssize_t copyAndWriteData(const void* data, size_t len);
  SharedBufferAllocRecord* allocateBuffer();
  void returnBuffer(SharedBufferAllocRecord* rec);
  unsigned char* bufferAddress(SharedBufferAllocRecord* rec, size_t* len);

  // The I/O processor's block routine: once the block is ready (used length
  // not 0xFFFFFFFF) writes its data (after the processor's data offset) to
  // the processor's descriptor, retrying short writes and EINTR. Returns 0.
  static int commitLogRecord(SharedBufferAllocRecord* rec, IO_Processor* controller);
  // Waits (yielding, 500 us sleeps every eighth try) while the block is
  // still being filled; returns its used length.
  static uint32_t waitUntilFilled(SharedBufferAllocRecord* rec);
  // Counts a line the logging thread wrote itself.
  void countDirectWrite(size_t bytes);
  // Ends the log: the writer thread (if any) writes what is queued and
  // finishes (bounded wait); a descriptor the manager opened is closed;
  // later lines are dropped. Without an I/O processor does nothing.
  int closeLog();
  // Lets the writer thread write what is queued and stops it (bounded
  // wait); later lines are written by the logging threads.
  void killProcessingThread();
  // Gives a manager that writes from the logging threads a writer thread of
  // its own; lines handed on from then on are written by it. False when it
  // has one (or had one), has no output, is closed, or the thread cannot
  // start (the manager then goes on writing directly).
  bool startProcessingThread();

  BufferRegion* getBufferManager() const { return bfrMgr; }
  // Null for a manager without a naming node. Lines written by the logging
  // thread count in its statistics (bytesRead, packetsRead, ...).
  IO_Processor* get_IO_Manager() const { return ioMgr; }
  bool hasOutput() const { return ioMgr != nullptr; }
  bool hasWriterThread() const { return threaded.load(std::memory_order_acquire); }
  // True when lines are written by the logging thread itself.
  uint32_t isSingleThreaded() const { return hasWriterThread() ? 0u : 1u; }
  int getDescriptor() const { return output_fd; }
  uint_fast32_t getLogPrefixMask() const { return logPrefixMask; }
  uint_fast32_t setLogPrefixMask(uint_fast32_t mask) {
    const uint_fast32_t old = logPrefixMask;
    logPrefixMask = mask;
    return old;
  }
  size_t getBlockSize() const { return blockSize; }
  void setStripLeadingDirectories(uint_fast32_t n) { stripLeadingDirectories = static_cast<uint32_t>(n); }
  const char* getErrorCondition() const { return errorCondition.load(std::memory_order_relaxed); }
  void setErrorCondition(const char* text) { errorCondition.store(text, std::memory_order_relaxed); }
  void setTimeAcquisitionRoutine(TimeAcquisitionFP routine) { getTimestampRoutine = routine; }
  TimeAcquisitionFP getTimeAcquisitionRoutine() const { return getTimestampRoutine; }
  void getTimestamp(timespec* ts) const { getTimestampRoutine(ts, this); }
  const char* getLogFileName() const { return logFileName; }
  const char* getAppName() const { return appName; }
  bool isClosed() const { return closed.load(std::memory_order_acquire); }

  // The block formatIntoMemory keeps; the previous one goes back first.
  void keepMemoryBlock(SharedBufferAllocRecord* rec);

  // Time sources: the process clock (default), or the nanosecond count at a
  // caller-given location (setSourceForCustomLogTime, then
  // setTimeAcquisitionRoutine(returnCustomLogTime)).
  static void defaultGetTime(timespec* ts, const LogManager* mgr);
  static void setSourceForCustomLogTime(const POSIXtimeInNanoseconds* source);
  static void returnCustomLogTime(timespec* ts, const LogManager* mgr);

  // File name as shown in log lines: the part after a matching source prefix
  // ("$ST/src", "$BT1/src" .. "$BT4/src", also resolved through symbolic
  // links); with no match and stripLeadingDirectories 0 the whole name, else
  // the part after the (n + 1)-th '/' (a leading '/' counts as the first).
  // Recent results are cached by the name's address.
  const TextBlock_struct pruneDirectoryPrefix(const char* fileName, int_fast32_t fileNameLen);
  FileNameCacheEntry findCachedFileName(const char* name) const;
  void addCachedFileName(const char* name, TextBlock_struct replacement);
  // Builds the prefix table from the environment (later calls rebuild it).
  static void initializePrefixTable();

  // Registers a component by name with its mask variable (null: known by
  // name only, its mask kept as initialMask). Returns index + 1, 0 when full.
  static constexpr uint32_t MAX_SUPPORTED_COMPONENTS = 64;
  static uint_fast32_t addLogComponent(const char* componentName, LogMaskType_t* logMask,
                                       LogMaskPrimitiveType_t initialMask);

  // Full start-up of a program's logging: the program name (componentName,
  // else argv[0], after its last '/' or '\\'; "notSpecified" when empty),
  // appMaskLocation registered as "app" and under the program name, the
  // default prefix and region size of managers made later, the log flags
  // removed from argv (into newArgv/newArgc as process_commandline_log_flags
  // does) and the naming node "LOG" (LogManager_ParentNode). Returns 0.
  static int initializeLogSubsystem(int* newArgc, const char** newArgv, int argc, const char** argv,
                                    const char* componentName, LogMaskType_t* appMaskLocation,
                                    uint_fast32_t maxLines, LogMaskPrimitiveType_t logPrefixMask);
  // Defaults of INIT_STANDARD_LOG_FOR_COMPONENT.
  static constexpr uint32_t DEFAULT_MAX_PENDING_LOG_LINES = 64;
  static constexpr uint32_t DEFAULT_LOG_PREFIX_MASK = 63;  // date, time, thread, file, line, label
  // FILENAME_ADD_DIR_PREFIX | FILENAME_WITH_DATE_AND_TIME | FILENAME_WITH_PID (utils/io/mapped_file.hpp).
  static constexpr uint32_t DEFAULT_LOG_FILE_NAMING = 16 | 5 | 2;

 private:
  // One cache entry: the name's address and how many leading characters the
  // shown name skips; relaxed atomics, so a torn pair only costs a search.
  struct CachedName {
    std::atomic<const char*> fileName{nullptr};
    std::atomic<uint32_t> skip{0};
  };
  // Starts the I/O processor's processing thread as the writer; false (lines
  // then written directly) when it cannot run.
  bool startWriterThread();
  // Submits the end block, waits at most THREAD_JOIN_SECONDS for the writer,
  // then stops it; writes what was queued after the end block.
  // announce: print the closeLog line on standard output first.
  void finishWriterThread(bool announce);
  // Waits (bounded) while the writer holds queueLimit blocks or more.
  void waitForRoom();
  // Wakes loggers waiting for room; the writer calls it when the blocks of
  // a batch are back.
  void wakeRoomWaiters();
  // The processor's batch routine: one writev for the ready blocks.
  static void writeLogBatch(SharedBufferAllocRecord** recs, uint32_t count, IO_Processor* io);
  static bool defaultStripLeadingDirectoriesUnset();

  BufferRegion* bfrMgr;
  IO_Processor* ioMgr;
  int output_fd;
  std::atomic<const char*> errorCondition;
  size_t blockSize;
  uint_fast32_t logPrefixMask;
  uint32_t stripLeadingDirectories;
  std::atomic<uint32_t> cachedFileNameCount;
  TimeAcquisitionFP getTimestampRoutine;
  CachedName fileNameReplacementCache[FILENAME_CACHE_SIZE];
  TimePointCache logTimePointCache;
  std::atomic<bool> threaded;  // set while lines go to the writer thread
  uint32_t queueLimit;         // queued blocks at which loggers wait
  std::atomic<uint32_t> roomWaiters{0};
  pthread_mutex_t roomLock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t roomFreed = PTHREAD_COND_INITIALIZER;
  std::atomic<bool> closed;
  bool ownsDescriptor;
  SharedMemoryVariableNode* ownedNode;  // made by newStandardLogFile
  void* mappedRegion;
  size_t mappedLength;
  const char* appName;
  std::atomic<SharedBufferAllocRecord*> memoryBlock;
  char logFileName[256];
};

// Merges runs of elements where one ends exactly where the next begins,
// compacting the array in place; returns the new count (0 for 0) and adds one
// plus the merges to coalesceCount.
uint_fast32_t coalesce_iovec(uint_fast32_t total, iovec* elements);
// Counter of coalesce_iovec calls and merges ("coalesceIOVEC").
extern SMV_StandaloneNumeric<uint32_t> coalesceCount;

// Writes count elements to fd, at most 1024 per writev call, retrying EINTR
// (unless the processing thread of stopper is asked to stop) and short
// writes; stops at any other error. Returns the bytes written.
size_t writeElements(int fd, iovec* elements, uint_fast32_t count, const IO_Processor* stopper = nullptr);

// Value of an environment variable read as a signed 32-bit decimal, or
// defaultVal when unset; malformed text gives the value of its leading digits.
int32_t getEnvironValue(const char* varName, int32_t defaultVal);
