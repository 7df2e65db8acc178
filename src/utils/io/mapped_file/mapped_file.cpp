// createMappedFile and zeroFileContents: a file opened (close-on-exec),
// created, reset or extended with zeros in 4096-byte writes, and mapped
// shared. Extending keeps the file's contents: zeros are appended from its
// end. Diagnostics are single lines on standard error.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "utils/io/mapped_file.hpp"

namespace {

constexpr size_t ZERO_BLOCK = 4096;
// Mappings of this many bytes and more try huge pages first.
constexpr size_t HUGE_PAGE_THRESHOLD = 104857600;

int openRetrying(const char* name, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(name, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Zero-fills `wanted` bytes at the descriptor's position; reports a short
// fill. Returns the bytes written, or 0 when the fill fell short.
size_t zeroFill(int fd, size_t wanted, const char* fileName) {
  const size_t written = zeroFileContents(fd, wanted);
  if (written < wanted) {
    std::fprintf(stderr, "Could not initialize mapped file \"%s\", only wrote %zu of %zubytes\n", fileName, written,
                 wanted);
    return 0;
  }
  return written;
}

int failOpen(void** segment, const char* fileName, int fd) {
  std::fprintf(stderr, "createMappedFile: can't open cache segment \"%s\"\n", fileName);
  if (fd >= 0) ::close(fd);
  *segment = nullptr;
  return -1;
}

}  // namespace

size_t zeroFileContents(int descriptor, size_t len) {
  static const char zeros[ZERO_BLOCK] = {};
  size_t total = 0;
  while (total < len) {
    size_t blockDone = 0;
    while (blockDone < ZERO_BLOCK) {
      const ssize_t n = ::write(descriptor, zeros + blockDone, ZERO_BLOCK - blockDone);
      if (n > 0) {
        blockDone += static_cast<size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        return total + blockDone;
      }
    }
    total += ZERO_BLOCK;
  }
  return total;
}

int createMappedFile(void** segment, const char* fileName, size_t* segmentLenPtr, int doInit) {
  const size_t len = segmentLenPtr != nullptr ? *segmentLenPtr : 0;
  const bool writable = (doInit & MAP_FILE_READWRITE) != 0;
  const bool reset = (doInit & MAP_FILE_RESET) != 0;
  int flags = O_CLOEXEC;
  if (writable && len > 0) {
    flags |= O_RDWR | O_CREAT | (reset ? O_TRUNC : 0);
  } else if (writable || reset) {
    // A reset writes zeros, so it needs a writable descriptor even when the
    // mapping is read-only.
    flags |= O_RDWR | (reset && len > 0 ? O_CREAT | O_TRUNC : 0);
  } else {
    flags |= O_RDONLY;
  }
  const int fd = openRetrying(fileName, flags, 0666);
  struct stat status;
  if (fd < 0 || ::fstat(fd, &status) != 0) return failOpen(segment, fileName, fd);
  const uint64_t fileSize = static_cast<uint64_t>(status.st_size);

  size_t mapLen;
  if (len == 0) {
    mapLen = static_cast<size_t>(fileSize);
    if (reset) mapLen = zeroFill(fd, mapLen, fileName);
  } else if (reset) {
    mapLen = zeroFill(fd, len, fileName);
  } else if (len <= fileSize) {
    mapLen = len;
  } else if (!writable) {
    mapLen = static_cast<size_t>(fileSize);
  } else {
    // Extend from the end: the existing contents stay.
    const size_t growth = len - static_cast<size_t>(fileSize);
    const size_t written = ::lseek(fd, 0, SEEK_END) < 0 ? 0 : zeroFill(fd, growth, fileName);
    mapLen = written == 0 ? 0 : static_cast<size_t>(fileSize) + written;
  }

  const int protection = writable ? PROT_READ | PROT_WRITE : PROT_READ;
  void* mapping = MAP_FAILED;
  if (mapLen >= HUGE_PAGE_THRESHOLD) {
    mapping = ::mmap(nullptr, mapLen, protection, MAP_SHARED | MAP_HUGETLB, fd, 0);
    if (mapping == MAP_FAILED) {
      mapping = ::mmap(nullptr, mapLen, protection, MAP_SHARED, fd, 0);
      if (mapping != MAP_FAILED) {
        std::fprintf(stderr,
                     "Could not map cache segment \"%s\" for %zu bytes using huge pages, but succeeded with regular "
                     "pages\n",
                     fileName, mapLen);
      }
    }
  } else if (mapLen > 0) {
    mapping = ::mmap(nullptr, mapLen, protection, MAP_SHARED, fd, 0);
  }
  if (mapping == MAP_FAILED) {
    std::fprintf(stderr, "Can not map cache segment \"%s\" for %zu bytes\n", fileName, mapLen);
    ::close(fd);
    *segment = nullptr;
    return -1;
  }
  *segment = mapping;
  if (segmentLenPtr != nullptr) *segmentLenPtr = mapLen;
  return fd;
}
