// narvelix-vars: prints every variable of a shared-variable segment file
// (".smv") as "path/name = type value" lines, while the writing program runs or
// afterwards, from a segment of either byte order. --watch SECONDS reprints
// the list every SECONDS until interrupted. The file is untrusted input: a
// damaged segment gives one line on standard error and exit status 1; a usage
// error gives status 2.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "utils/shared_vars/segment_listing.hpp"

namespace {

constexpr int EXIT_BAD_FILE = 1;
constexpr int EXIT_USAGE = 2;

const char USAGE[] =
    "usage: narvelix-vars [--watch SECONDS] FILE.smv\n"
    "  prints every variable of the segment FILE as \"path/name = type value\"\n"
    "  --watch SECONDS  print again every SECONDS until interrupted\n";

int usageError(const char* problem, const char* detail) {
  std::fprintf(stderr, "narvelix-vars: %s%s\n%s", problem, detail, USAGE);
  return EXIT_USAGE;
}

// A read-only shared mapping of the whole file, so a running writer's updates
// show in every listing.
struct MappedSegment {
  const unsigned char* base = nullptr;
  size_t length = 0;
  ~MappedSegment() {
    if (base != nullptr) munmap(const_cast<unsigned char*>(base), length);
  }
};

bool mapSegment(const char* fileName, MappedSegment& segment) {
  const int fd = open(fileName, O_RDONLY);
  if (fd < 0) {
    std::fprintf(stderr, "narvelix-vars: %s: %s\n", fileName, std::strerror(errno));
    return false;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    std::fprintf(stderr, "narvelix-vars: %s: not a regular file\n", fileName);
    close(fd);
    return false;
  }
  segment.length = static_cast<size_t>(info.st_size);
  if (segment.length == 0) {
    std::fprintf(stderr, "narvelix-vars: %s: damaged segment: the file is empty\n", fileName);
    close(fd);
    return false;
  }
  void* mapping = mmap(nullptr, segment.length, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (mapping == MAP_FAILED) {
    std::fprintf(stderr, "narvelix-vars: %s: cannot map %zu bytes: %s\n", fileName, segment.length,
                 std::strerror(errno));
    return false;
  }
  segment.base = static_cast<const unsigned char*>(mapping);
  return true;
}

bool printOnce(const char* fileName, const MappedSegment& segment, std::string& text) {
  text.clear();
  std::string error;
  const bool ok = listSegmentVariables(segment.base, segment.length, text, error);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  if (!ok) std::fprintf(stderr, "narvelix-vars: %s: damaged segment: %s\n", fileName, error.c_str());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const char* fileName = nullptr;
  double watchSeconds = 0;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (std::strcmp(arg, "--watch") == 0) {
      if (i + 1 >= argc) return usageError("--watch needs a number of seconds", "");
      char* end = nullptr;
      watchSeconds = std::strtod(argv[++i], &end);
      if (end == argv[i] || *end != '\0' || !(watchSeconds > 0) || watchSeconds > 86400) {
        return usageError("--watch wants seconds between 0 and 86400, not ", argv[i]);
      }
    } else if (arg[0] == '-' && arg[1] != '\0') {
      return usageError("unknown option ", arg);
    } else if (fileName != nullptr) {
      return usageError("more than one file: ", arg);
    } else {
      fileName = arg;
    }
  }
  if (fileName == nullptr) return usageError("no segment file given", "");

  MappedSegment segment;
  if (!mapSegment(fileName, segment)) return EXIT_BAD_FILE;
  std::string text;
  text.reserve(1 << 16);
  if (!printOnce(fileName, segment, text)) return EXIT_BAD_FILE;
  if (watchSeconds == 0) return 0;
  timespec pause;
  pause.tv_sec = static_cast<time_t>(watchSeconds);
  pause.tv_nsec = static_cast<long>((watchSeconds - std::floor(watchSeconds)) * 1e9);
  for (;;) {
    nanosleep(&pause, nullptr);
    std::fputc('\n', stdout);
    if (!printOnce(fileName, segment, text)) return EXIT_BAD_FILE;
  }
}
