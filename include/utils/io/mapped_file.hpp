// Files that live next to a running program: names qualified with date,
// time, host and process id (log files, shared-variable segments), files
// created or sized and mapped shared into memory (huge pages first for 100 MiB
// and more), symbolic links of a path resolved element by element, and a file
// looked for along a search path. Every result is bounded by the caller's
// buffer; failures are reported as one line on standard error where a message
// is listed below, and as the documented result.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// ---- qualified file names ----
enum : uint32_t {
  FILENAME_WITH_DATE = 1,
  FILENAME_WITH_PID = 2,
  FILENAME_WITH_DATE_AND_PID = 3,
  FILENAME_WITH_TIME = 4,
  FILENAME_WITH_DATE_AND_TIME = 5,
  FILENAME_WITH_HOST = 8,
  FILENAME_ADD_DIR_PREFIX = 16,
  FILENAME_WITH_EVERYTHING = ~0u,
};

// Writes into fileName (fileNameLen bytes, terminator included), in order:
// "dirName/" (with FILENAME_ADD_DIR_PREFIX and a non-empty dirName), the
// component name, "-YYYYMMDD" (FILENAME_WITH_DATE), "_HHMMSS" (local time,
// FILENAME_WITH_TIME), "-host" (FILENAME_WITH_HOST; the host name up to its
// first '.'), "-pid" (FILENAME_WITH_PID) and the suffix. Date and time come
// from one getTodaysDate call. Returns the name's length, or -1 when it had to
// be cut (fileName then holds the cut, terminated text; do not open it).
int makeQualifiedFileName(char* fileName, size_t fileNameLen, const char* componentName, const char* suffix,
                          const char* dirName, uint32_t flags);

// ---- mapped files ----
// Mode bits of createMappedFile: bit 1 writable, bit 2 reset to zeros.
enum : int {
  MAP_FILE_READONLY = 0,
  MAP_FILE_READWRITE = 1,
  MAP_FILE_RESET = 2,
  MAP_FILE_INIT = 3,
};

// Writes 4096-byte blocks of zeros at the descriptor's position until at
// least len bytes are written (len rounded up to a multiple of 4096), retrying
// interrupted and short writes; stops at the first failing write. Returns the
// bytes written.
size_t zeroFileContents(int descriptor, size_t len);

// Opens (close-on-exec) and maps fileName shared, len = *segmentLenPtr (0 when
// the pointer is null):
// - len 0: the whole file (with the reset bit: its size in zeros first);
// - reset bit and len > 0: the file truncated and zero-filled to len rounded up
//   to 4096;
// - len up to the file's size: len bytes;
// - read-only and len beyond the size: the file's size;
// - writable and len beyond the size: the file extended by zeros from its end
//   (its contents kept), mapped whole.
// A file opened for a zero-fill is opened for writing even when the mapping is
// read-only. Returns the descriptor (the caller closes it) with *segment = the
// mapping and *segmentLenPtr (when given) = its length; or -1 with *segment =
// null, after one of these lines on standard error:
//   createMappedFile: can't open cache segment "NAME"
//   Could not initialize mapped file "NAME", only wrote N of Mbytes
//   Can not map cache segment "NAME" for N bytes
// Mappings of 100 MiB and more try huge pages first; when only regular pages
// work, "Could not map cache segment "NAME" for N bytes using huge pages, but
// succeeded with regular pages" is written and the mapping is returned.
int createMappedFile(void** segment, const char* fileName, size_t* segmentLenPtr, int doInit);

// The same for a typed segment pointer.
template <typename T>
int createMappedFile(T** segment, const char* fileName, size_t* segmentLenPtr, int doInit) {
  void* mapping = nullptr;
  const int fd = createMappedFile(&mapping, fileName, segmentLenPtr, doInit);
  *segment = static_cast<T*>(mapping);
  return fd;
}

// ---- path resolution ----
// One element of a path: "/name" (or "name" for a relative path's first).
struct PathElement {
  const char* name;
  uint32_t len;
};
constexpr uint32_t MAX_PATH_ELEMENTS = 256;

// Resolves the symbolic links in the first priorLen characters of priorPath,
// element by element from the first, into resultPath (bfrLen bytes, terminator
// included). A relative link target replaces its link's element, an absolute
// one everything up to it; "." elements and ".." after a directory that is not
// a link are folded, never above the first element. A missing element fails
// the call when mustExist, else is kept as written. Returns the resolved
// length, 0 for an empty input, -1 on failure: a missing element (mustExist),
// an unreadable link, a result longer than the buffer, more than
// MAX_PATH_ELEMENTS elements, or link texts that fill the 2048-byte work area
// (which ends every cycle of links).
int expand_symlinks(char* resultPath, size_t bfrLen, const char* priorPath, size_t priorLen, bool mustExist);

// Looks for file in each directory of the ':'-separated searchPath with each
// alternative of the ':'-separated suffix list (null counts as empty): the
// candidate is directory + "/" (unless it ends with one) + file + suffix. A
// leading ':' of searchPath stands for no directory (the bare name, no "/"),
// and a leading ':' (or an empty list) of suffix for no suffix; other runs of
// ':' are skipped. The first candidate that exists (access F_OK) is left in
// resultFile. Returns its length, or -1 when none exists (an empty searchPath
// tries nothing). Candidates longer than the buffer are not tried.
int findFileInPath(char* resultFile, size_t resultBfrLen, const char* file, const char* searchPath,
                   const char* suffix);
