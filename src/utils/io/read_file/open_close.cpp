// Reader construction and teardown, opening and closing descriptors (with the
// standard-stream names "--stdin", "--stdout", "--stderr" standing for 0, 1
// and 2), the default read routine, and the search for a readable file over
// ':'-separated lists of roots, names and suffixes. System calls are retried on
// EINTR; failures are reported once here at io_trace/io_warning and passed up
// as -1 or the negative read result.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "utils/base/compiler_hints.hpp"
#include "utils/io/read_file.hpp"
#include "read_file_log.hpp"

namespace {

// 0, 1 or 2 for the standard-stream names, -1 for any other name.
int standardStreamDescriptor(const char* fileName) {
  if (fileName == nullptr || fileName[0] != '-' || fileName[1] != '-') return -1;
  if (std::strcmp(fileName, "--stdin") == 0) return 0;
  if (std::strcmp(fileName, "--stdout") == 0) return 1;
  if (std::strcmp(fileName, "--stderr") == 0) return 2;
  return -1;
}

int openFlagsForMode(Read_And_Process_File::ReadModes mode) {
  switch (mode) {
    case Read_And_Process_File::WRITE:
      return O_WRONLY;
    case Read_And_Process_File::WRITE_APPEND:
      return O_WRONLY | O_CREAT | O_APPEND;
    case Read_And_Process_File::WRITE_TRUNCATE:
      return O_WRONLY | O_CREAT | O_TRUNC;
    default:
      return O_RDONLY;
  }
}

// One element of a ':'-separated list: [begin, end). An empty or null list is
// one empty element; a trailing ':' adds none.
struct ListCursor {
  const char* next;  // start of the next element, null when the list is done
  const char* begin = nullptr;
  size_t length = 0;

  explicit ListCursor(const char* list) : next(list != nullptr ? list : "") {}

  bool advance() {
    if (next == nullptr) return false;
    begin = next;
    const char* colon = std::strchr(begin, ':');
    if (colon == nullptr) {
      length = std::strlen(begin);
      next = nullptr;
    } else {
      length = static_cast<size_t>(colon - begin);
      next = colon[1] != '\0' ? colon + 1 : nullptr;
    }
    return true;
  }
};

ZUR_COLD void logZeroByteRequest() {
  LOG_CERR(io_warning) << "Asked for zero bytes" << LOG_ENDLINE;
}

}  // namespace

Read_And_Process_File::Read_And_Process_File(int fd, ReadModes mode,
                                             const FileTypeReaderSelector* selector)
    : intermediateBuffer(nullptr),
      // A selector row without a routine (an empty table) keeps the default.
      readRoutine(selector != nullptr && selector->readInterfaceRoutine != nullptr
                      ? selector->readInterfaceRoutine
                      : &defaultReadRoutine),
      auxData(nullptr),
      descriptor(fd),
      recordsProcessed(0),
      readMode(mode),
      _explicitAlignmentPadding(0) {}

Read_And_Process_File::Read_And_Process_File(const char* fileName, ReadModes mode,
                                             const FileTypeReaderSelector* selectorTable)
    : intermediateBuffer(nullptr),
      readRoutine(&defaultReadRoutine),
      auxData(nullptr),
      descriptor(-1),
      recordsProcessed(0),
      readMode(mode),
      _explicitAlignmentPadding(0) {
  if (fileName == nullptr || fileName[0] == '\0') return;
  descriptor = openFile(fileName, mode);
  if (descriptor != -1 && mode == READ_GUESS && selectorTable != nullptr) {
    const FileTypeReaderSelector* row = findTypeOfFile(fileName, selectorTable);
    if (row != nullptr) {
      readRoutine = row->readInterfaceRoutine;
      readMode = row->modeToSelect;
    }
  }
}

Read_And_Process_File::~Read_And_Process_File() {
  if (descriptor != -1) {
    closeFile(descriptor, readMode);
    descriptor = -1;
  }
  delete intermediateBuffer;
  intermediateBuffer = nullptr;
}

int Read_And_Process_File::openFile(const char* fileName, ReadModes mode) {
  const int standard = standardStreamDescriptor(fileName);
  if (standard >= 0) return standard;
  int fd = -1;
  if (fileName != nullptr) {
    do {
      fd = ::open(fileName, openFlagsForMode(mode), 0666);
    } while (fd < 0 && errno == EINTR);
  }
  if (ZUR_UNLIKELY(fd < 0)) {
    LOG_CERR(io_trace) << "Cannot open file=\"" << (fileName != nullptr ? fileName : "")
                       << "\"" << LOG_ENDLINE;
    return -1;
  }
  // Advice only: pipes and terminals refuse it, which changes nothing.
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return fd;
}

int Read_And_Process_File::closeFile(int fd, ReadModes /*mode*/) {
  if (fd == -1) return -1;
  // Linux releases the descriptor even when close reports EINTR, so no retry.
  return ::close(fd);
}

int Read_And_Process_File::defaultReadRoutine(Read_And_Process_File* reader, unsigned char* buffer,
                                              uint32_t length) {
  if (ZUR_UNLIKELY(length == 0)) {
    logZeroByteRequest();
    return 0;
  }
  // A single read never returns more than INT_MAX bytes in an int result.
  const size_t request = length > static_cast<uint32_t>(INT_MAX) ? static_cast<size_t>(INT_MAX)
                                                                 : static_cast<size_t>(length);
  ssize_t got;
  do {
    got = ::read(reader->descriptor, buffer, request);
  } while (got < 0 && errno == EINTR);
  return static_cast<int>(got);
}

int Read_And_Process_File::readIntoBuffer(unsigned char* buffer, size_t length) {
  if (ZUR_UNLIKELY(length == 0)) {
    logZeroByteRequest();
    return 0;
  }
  const uint32_t request = length > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<uint32_t>(length);
  // A routine cleared with setReadRoutine(nullptr) falls back to read().
  const ReadDataFP routine = readRoutine != nullptr ? readRoutine : &defaultReadRoutine;
  const int rc = routine(this, buffer, request);
  if (rc > 0) noteDataRead(buffer, static_cast<size_t>(rc));
  return rc;
}

int Read_And_Process_File::findFileInPathsWithSuffixes(char* path, uint_fast32_t pathLen,
                                                       const char* searchRootPaths,
                                                       const char* possibleFileNames,
                                                       const char* possibleSuffixes) {
  if (path == nullptr || pathLen == 0) return -1;
  ListCursor root(searchRootPaths);
  while (root.advance()) {
    const bool addSlash = root.length > 0 && root.begin[root.length - 1] != '/';
    ListCursor name(possibleFileNames);
    while (name.advance()) {
      ListCursor suffix(possibleSuffixes);
      while (suffix.advance()) {
        const size_t total = root.length + (addSlash ? 1 : 0) + name.length + suffix.length;
        if (total >= pathLen) {
          LOG_CERR(io_trace) << "Skipped a candidate path of " << static_cast<uint32_t>(total)
                             << " bytes, room is " << static_cast<uint32_t>(pathLen - 1)
                             << LOG_ENDLINE;
          continue;
        }
        char* p = path;
        std::memcpy(p, root.begin, root.length);
        p += root.length;
        if (addSlash) *p++ = '/';
        std::memcpy(p, name.begin, name.length);
        p += name.length;
        std::memcpy(p, suffix.begin, suffix.length);
        p += suffix.length;
        *p = '\0';
        LOG_CERR(io_trace) << "Test path: \"" << path << "\"" << LOG_ENDLINE;
        if (::access(path, R_OK) == 0) return static_cast<int>(total + 1);
      }
    }
  }
  return -1;
}
