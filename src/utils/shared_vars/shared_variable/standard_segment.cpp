// Segment files: mapping a ".smv" file with its magic checked, and the
// program's standard segment "$LOG_DIR/<base>-YYYYMMDD_HHMMSS-host-pid.smv",
// created zero-filled, formatted and filled with the deferred variables.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "utils/io/mapped_file.hpp"
#include "utils/shared_vars/shared_variable.hpp"

namespace {
constexpr size_t NAME_BUFFER = 512;
constexpr size_t MAGIC_LEN = 8;
}  // namespace

unsigned char* SharedMemoryVariableManager::createSegment(const char* fileName, size_t* len, int mode,
                                                          const char* magic) {
  void* mapping = nullptr;
  size_t mappedLength = len != nullptr ? *len : 0;
  const int fd = createMappedFile(&mapping, fileName, &mappedLength, mode);
  if (fd < 0 || mapping == nullptr) return nullptr;
  close(fd);
  if (len != nullptr) *len = mappedLength;
  if (magic == nullptr || (mode & MAP_FILE_RESET) != 0) return static_cast<unsigned char*>(mapping);
  const unsigned char* bytes = static_cast<const unsigned char*>(mapping);
  if (mappedLength >= MAGIC_LEN && std::strncmp(reinterpret_cast<const char*>(bytes), magic, MAGIC_LEN) == 0) {
    return static_cast<unsigned char*>(mapping);
  }
  // The first bytes as text: printable characters up to the first NUL.
  char got[MAGIC_LEN + 1] = {};
  for (size_t i = 0; i < MAGIC_LEN && i < mappedLength && bytes[i] != 0; ++i) {
    got[i] = bytes[i] >= 0x20 && bytes[i] < 0x7f ? static_cast<char>(bytes[i]) : '?';
  }
  std::fprintf(stderr, "File %s does not have correct magic number, wanted=\"%.8s\" got=\"%s\"\n", fileName, magic,
               got);
  munmap(mapping, mappedLength);
  return nullptr;
}

unsigned char* SharedMemoryVariableManager::createAndAttachStandardSegment(const char* component, size_t* len) {
  if (component == nullptr || len == nullptr) return nullptr;
  if (initialized()) {
    std::fprintf(stderr, "Existing segment was already allocated; replacing with component %s\n", component);
  }
  const char* base = component;
  for (const char* p = component; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  char dir[NAME_BUFFER];
  const char* fromEnvironment = std::getenv("LOG_DIR");
  std::snprintf(dir, sizeof dir, "%s", fromEnvironment != nullptr ? fromEnvironment : ".");
  char fileName[NAME_BUFFER];
  if (makeQualifiedFileName(fileName, sizeof fileName, base, ".smv", dir, FILENAME_WITH_EVERYTHING) < 0) {
    std::fprintf(stderr, "Shared variable segment name too long: %s\n", fileName);
    return nullptr;
  }
  unsigned char* segment = createSegment(fileName, len, MAP_FILE_INIT, SMV_MAGIC_NUMBER);
  if (segment == nullptr) return nullptr;
  // Formats the segment and registers the deferred variables; a replaced
  // segment stays mapped (variables registered there still point into it).
  initializeSegment(segment, *len, base);
  return segment;
}
