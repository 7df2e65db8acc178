// makeQualifiedFileName: a file name built from a directory, a component
// name, today's date and time, the host and the process id. Every piece is
// appended with a bounded snprintf; a name that had to be cut is reported as
// -1 so callers never open a file under a name other than the one meant.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "utils/io/mapped_file.hpp"
#include "utils/time/get_time.hpp"

namespace {

// Appends formatted text at *used within [bfr, bfr + bfrLen). Returns false
// (leaving the cut, terminated text) when it did not fit.
__attribute__((format(printf, 4, 5))) bool appendPiece(char* bfr, size_t bfrLen, size_t* used, const char* format,
                                                       ...) {
  const size_t room = bfrLen - *used;
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(bfr + *used, room, format, args);
  va_end(args);
  if (n < 0) return false;
  if (static_cast<size_t>(n) >= room) {
    *used = bfrLen - 1;
    return false;
  }
  *used += static_cast<size_t>(n);
  return true;
}

}  // namespace

int makeQualifiedFileName(char* fileName, size_t fileNameLen, const char* componentName, const char* suffix,
                          const char* dirName, uint32_t flags) {
  if (fileName == nullptr || fileNameLen == 0) return -1;
  fileName[0] = '\0';
  size_t used = 0;
  bool fits = true;
  if ((flags & FILENAME_ADD_DIR_PREFIX) && dirName != nullptr && dirName[0] != '\0') {
    fits = appendPiece(fileName, fileNameLen, &used, "%s/", dirName);
  }
  if (fits && componentName != nullptr && componentName[0] != '\0') {
    fits = appendPiece(fileName, fileNameLen, &used, "%s", componentName);
  }
  if (fits && (flags & (FILENAME_WITH_DATE | FILENAME_WITH_TIME))) {
    TimeAsHourMinSec now{};
    const TimeAsDayAndYear* today = getTodaysDate(&now);
    if (flags & FILENAME_WITH_DATE) {
      fits = appendPiece(fileName, fileNameLen, &used, "-%4.4u%2.2u%2.2u", static_cast<unsigned>(today->year),
                         static_cast<unsigned>(today->month), static_cast<unsigned>(today->day));
    }
    if (fits && (flags & FILENAME_WITH_TIME)) {
      fits = appendPiece(fileName, fileNameLen, &used, "_%2.2u%2.2u%2.2u", static_cast<unsigned>(now.hour),
                         static_cast<unsigned>(now.min), static_cast<unsigned>(now.sec));
    }
  }
  if (fits && (flags & FILENAME_WITH_HOST)) {
    char host[128];
    if (gethostname(host, sizeof host) != 0) host[0] = '\0';
    host[sizeof host - 1] = '\0';
    char* dot = std::strchr(host, '.');
    if (dot != nullptr) *dot = '\0';
    fits = appendPiece(fileName, fileNameLen, &used, "-%s", host);
  }
  if (fits && (flags & FILENAME_WITH_PID)) {
    fits = appendPiece(fileName, fileNameLen, &used, "-%u", static_cast<unsigned>(getpid()));
  }
  if (fits && suffix != nullptr && suffix[0] != '\0') {
    fits = appendPiece(fileName, fileNameLen, &used, "%s", suffix);
  }
  return fits ? static_cast<int>(used) : -1;
}
