// expand_symlinks and findFileInPath. A path is handled as a list of
// elements ("/name", the first possibly without its '/') pointing into the
// caller's text or into a 2048-byte work area that collects link texts; a
// link replaces elements of the list and the walk restarts from the first.
// Each link text takes work-area space, so a cycle of links ends when the
// area is full. Nothing is written past the caller's buffer.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "utils/io/mapped_file.hpp"

namespace {

constexpr size_t LINK_WORK_AREA = 2048;

struct ElementList {
  PathElement items[MAX_PATH_ELEMENTS];
  uint32_t count = 0;

  [[nodiscard]] bool add(const char* name, uint32_t len) {
    if (count >= MAX_PATH_ELEMENTS) return false;
    items[count++] = PathElement{name, len};
    return true;
  }
};

// Splits text at each '/', every element after the first keeping its '/'.
[[nodiscard]] bool splitPath(const char* text, size_t len, ElementList* out) {
  size_t start = 0;
  for (size_t i = 1; i <= len; ++i) {
    if (i == len || text[i] == '/') {
      if (!out->add(text + start, static_cast<uint32_t>(i - start))) return false;
      start = i;
    }
  }
  return true;
}

bool isElement(const PathElement& e, const char* text) {
  const size_t len = std::strlen(text);
  return e.len == len && std::memcmp(e.name, text, len) == 0;
}

// Writes elements [0, end) into bfr; false when they do not fit with a NUL.
[[nodiscard]] bool joinElements(const ElementList& list, uint32_t end, char* bfr, size_t bfrLen, size_t* outLen) {
  size_t used = 0;
  for (uint32_t i = 0; i < end; ++i) {
    const PathElement& e = list.items[i];
    if (used + e.len >= bfrLen) return false;
    std::memcpy(bfr + used, e.name, e.len);
    used += e.len;
  }
  if (bfrLen == 0) return false;
  bfr[used] = '\0';
  *outLen = used;
  return true;
}

// Folds "/." and "/.." (the latter after an examined element that is neither
// the first nor itself ".."). Returns the index to examine next.
uint32_t foldDots(ElementList* list, uint32_t i) {
  const PathElement& e = list->items[i];
  uint32_t removeFrom;
  uint32_t removeCount;
  if (i > 0 && isElement(e, "/.")) {
    removeFrom = i;
    removeCount = 1;
  } else if (i > 1 && isElement(e, "/..") && !isElement(list->items[i - 1], "/..")) {
    removeFrom = i - 1;
    removeCount = 2;
  } else {
    return i;
  }
  std::memmove(list->items + removeFrom, list->items + removeFrom + removeCount,
               (list->count - removeFrom - removeCount) * sizeof(PathElement));
  list->count -= removeCount;
  return removeFrom;
}

}  // namespace

int expand_symlinks(char* resultPath, size_t bfrLen, const char* priorPath, size_t priorLen, bool mustExist) {
  if (resultPath == nullptr || bfrLen == 0) return -1;
  resultPath[0] = '\0';
  if (priorPath == nullptr || priorLen == 0) return 0;
  char work[LINK_WORK_AREA];
  size_t workUsed = 0;
  ElementList list;
  if (!splitPath(priorPath, priorLen, &list)) return -1;

  uint32_t i = 0;
  size_t len = 0;
  while (i < list.count) {
    i = foldDots(&list, i);
    if (i >= list.count) break;
    if (!joinElements(list, i + 1, resultPath, bfrLen, &len)) return -1;
    struct stat status;
    if (::lstat(resultPath, &status) != 0) {
      if (mustExist) return -1;
      ++i;
      continue;
    }
    if (!S_ISLNK(status.st_mode)) {
      ++i;
      continue;
    }
    // The link text goes after a '/' slot, used when the text is relative.
    if (workUsed + 2 >= LINK_WORK_AREA - 1) return -1;
    char* slot = work + workUsed;
    const size_t room = LINK_WORK_AREA - 1 - workUsed - 1;
    const ssize_t n = ::readlink(resultPath, slot + 1, room);
    if (n <= 0 || static_cast<size_t>(n) >= room) return -1;
    workUsed += 1 + static_cast<size_t>(n);
    const bool isAbsolute = slot[1] == '/';
    const bool replacesSlash = list.items[i].name[0] == '/';
    const char* target = slot + 1;
    size_t targetLen = static_cast<size_t>(n);
    if (!isAbsolute && replacesSlash) {
      *slot = '/';
      target = slot;
      ++targetLen;
    }
    // New list: the kept prefix, the target's elements, the rest.
    ElementList next;
    const uint32_t keep = isAbsolute ? 0 : i;
    for (uint32_t k = 0; k < keep; ++k) {
      if (!next.add(list.items[k].name, list.items[k].len)) return -1;
    }
    if (!splitPath(target, targetLen, &next)) return -1;
    for (uint32_t k = i + 1; k < list.count; ++k) {
      if (!next.add(list.items[k].name, list.items[k].len)) return -1;
    }
    list = next;
    i = 0;
  }
  if (!joinElements(list, list.count, resultPath, bfrLen, &len)) return -1;
  return static_cast<int>(len);
}

namespace {

// The next alternative of a ':'-separated list from *cursor: skips runs of
// ':' (except at the list's very start, which gives one empty alternative).
// Returns false at the end.
bool nextAlternative(const char** cursor, bool atStart, const char** start, size_t* len) {
  const char* p = *cursor;
  if (atStart && *p == ':') {
    *start = p;
    *len = 0;
    *cursor = p + 1;
    return true;
  }
  while (*p == ':') ++p;
  if (*p == '\0') return false;
  const char* end = std::strchr(p, ':');
  if (end == nullptr) end = p + std::strlen(p);
  *start = p;
  *len = static_cast<size_t>(end - p);
  *cursor = end;
  return true;
}

}  // namespace

int findFileInPath(char* resultFile, size_t resultBfrLen, const char* file, const char* searchPath,
                   const char* suffix) {
  if (resultFile == nullptr || resultBfrLen == 0 || file == nullptr) return -1;
  resultFile[0] = '\0';
  if (searchPath == nullptr) searchPath = "";
  if (suffix == nullptr) suffix = "";
  const size_t fileLen = std::strlen(file);
  const char* dirCursor = searchPath;
  const char* dir;
  size_t dirLen;
  bool dirAtStart = true;
  while (nextAlternative(&dirCursor, dirAtStart, &dir, &dirLen)) {
    dirAtStart = false;
    const bool addSlash = dirLen > 0 && dir[dirLen - 1] != '/';
    const size_t baseLen = dirLen + (addSlash ? 1 : 0) + fileLen;
    // An empty suffix list tries the bare name once.
    const char* suffixCursor = suffix[0] == '\0' ? ":" : suffix;
    const char* alt;
    size_t altLen;
    bool suffixAtStart = true;
    while (nextAlternative(&suffixCursor, suffixAtStart, &alt, &altLen)) {
      suffixAtStart = false;
      if (baseLen + altLen >= resultBfrLen) continue;
      char* p = resultFile;
      std::memcpy(p, dir, dirLen);
      p += dirLen;
      if (addSlash) *p++ = '/';
      std::memcpy(p, file, fileLen);
      p += fileLen;
      std::memcpy(p, alt, altLen);
      p += altLen;
      *p = '\0';
      if (::access(resultFile, F_OK) == 0) return static_cast<int>(p - resultFile);
    }
  }
  resultFile[0] = '\0';
  return -1;
}
