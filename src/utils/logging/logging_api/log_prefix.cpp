// Shortened source-file names in log lines: the table of source-path
// prefixes built from the environment ("{ST}/src", "{BT1}/src" ..
// "{BT4}/src", each also resolved through symbolic links), the strip count
// of GCOV_PREFIX_STRIP, and each manager's small cache keyed by the name's
// address.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "utils/io/mapped_file.hpp"
#include "utils/logging/logging_api.hpp"

namespace {

// Entry i matches a name that begins with prefix[i] immediately followed by
// second[i]. Built before the managers are used; rebuilt only by tests.
struct PrefixTable {
  const char* stripFilePrefix[LogManager::MAX_FILE_PREFIX_ENTRIES];
  uint16_t filePrefixLen[LogManager::MAX_FILE_PREFIX_ENTRIES];
  const char* stripFilePrefix2[LogManager::MAX_FILE_PREFIX_ENTRIES];
  uint16_t filePrefix2Len[LogManager::MAX_FILE_PREFIX_ENTRIES];
};
PrefixTable prefixTable{};
std::atomic<uint32_t> defaultStripLeadingDirectories{LogManager::STRIP_USE_DEFAULT};
char resolvedPrefixes[4096];
size_t resolvedPrefixFill = 0;

constexpr const char* fileEnvVars[] = {"{ST}/src", "{BT1}/src", "{BT2}/src", "{BT3}/src", "{BT4}/src"};

uint32_t addPrefixEntry(uint32_t count, const char* prefix, const char* second) {
  if (count >= LogManager::MAX_FILE_PREFIX_ENTRIES) {
    std::fprintf(stderr, "LogManager: too many file prefix entries, ignoring: %s\n", second);
    return count;
  }
  prefixTable.stripFilePrefix[count] = prefix;
  prefixTable.filePrefixLen[count] = static_cast<uint16_t>(std::strlen(prefix));
  prefixTable.stripFilePrefix2[count] = second;
  prefixTable.filePrefix2Len[count] = static_cast<uint16_t>(std::strlen(second));
  return count + 1;
}

}  // namespace

bool LogManager::defaultStripLeadingDirectoriesUnset() {
  return defaultStripLeadingDirectories.load(std::memory_order_acquire) == STRIP_USE_DEFAULT;
}

void LogManager::initializePrefixTable() {
  const int32_t strip = getEnvironValue("GCOV_PREFIX_STRIP", 0);
  prefixTable = PrefixTable{};
  resolvedPrefixFill = 0;
  uint32_t count = 0;
  for (const char* pattern : fileEnvVars) {
    const char* close = std::strchr(pattern, '}');
    char varName[16];
    const size_t nameLen = static_cast<size_t>(close - pattern - 1);
    std::memcpy(varName, pattern + 1, nameLen);
    varName[nameLen] = '\0';
    const char* second = close + 1;
    const char* value = std::getenv(varName);
    if (value == nullptr) value = "";
    if (value[0] == '\0' && second[0] == '\0') continue;
    count = addPrefixEntry(count, value, second);
    if (value[0] == '\0') continue;
    char* resolved = resolvedPrefixes + resolvedPrefixFill;
    const size_t room = sizeof resolvedPrefixes - resolvedPrefixFill;
    const int len = expand_symlinks(resolved, room, value, std::strlen(value), false);
    if (len > 0 && std::strcmp(resolved, value) != 0) {
      resolvedPrefixFill += static_cast<size_t>(len) + 1;
      count = addPrefixEntry(count, resolved, second);
    }
  }
  // release: publishes the table; pairs with the acquire of the managers.
  defaultStripLeadingDirectories.store(strip < 0 ? 0u : static_cast<uint32_t>(strip), std::memory_order_release);
}

LogManager::FileNameCacheEntry LogManager::findCachedFileName(const char* name) const {
  const uint32_t newest = cachedFileNameCount.load(std::memory_order_relaxed);
  for (uint32_t k = 0; k < FILENAME_CACHE_SIZE; ++k) {
    const CachedName& entry = fileNameReplacementCache[(newest - k) % FILENAME_CACHE_SIZE];
    if (entry.fileName.load(std::memory_order_relaxed) != name || name == nullptr) continue;
    const uint32_t skip = entry.skip.load(std::memory_order_relaxed);
    // A skip written for another name may not fit this one.
    const size_t len = std::strlen(name);
    if (skip > len) break;
    return FileNameCacheEntry{name, TextBlock_struct(name + skip, static_cast<uint_fast32_t>(len - skip))};
  }
  return FileNameCacheEntry{nullptr, TextBlock_struct()};
}

void LogManager::addCachedFileName(const char* name, TextBlock_struct replacement) {
  uint32_t seen = cachedFileNameCount.load(std::memory_order_relaxed);
  while (!cachedFileNameCount.compare_exchange_weak(seen, seen + 1, std::memory_order_relaxed)) {
  }
  CachedName& entry = fileNameReplacementCache[(seen + 1) % FILENAME_CACHE_SIZE];
  // Pointer cleared first, so a reader never pairs the new skip with the
  // old name for long; a torn pair is caught by the bound check.
  entry.fileName.store(nullptr, std::memory_order_relaxed);
  entry.skip.store(static_cast<uint32_t>(replacement.textBfr - name), std::memory_order_relaxed);
  entry.fileName.store(name, std::memory_order_relaxed);
}

const TextBlock_struct LogManager::pruneDirectoryPrefix(const char* fileName, int_fast32_t fileNameLen) {
  if (fileName == nullptr) return TextBlock_struct("", 0);
  const uint_fast32_t len = fileNameLen >= 0 ? static_cast<uint_fast32_t>(fileNameLen) : std::strlen(fileName);
  const uint32_t newest = cachedFileNameCount.load(std::memory_order_relaxed);
  for (uint32_t k = 0; k < FILENAME_CACHE_SIZE; ++k) {
    const CachedName& entry = fileNameReplacementCache[(newest - k) % FILENAME_CACHE_SIZE];
    if (entry.fileName.load(std::memory_order_relaxed) != fileName) continue;
    const uint32_t skip = entry.skip.load(std::memory_order_relaxed);
    if (skip <= len) return TextBlock_struct(fileName + skip, len - skip);
  }
  if (defaultStripLeadingDirectoriesUnset()) initializePrefixTable();
  const uint32_t processDefault = defaultStripLeadingDirectories.load(std::memory_order_acquire);
  TextBlock_struct result(fileName, len);
  bool matched = false;
  for (uint32_t i = 0; i < MAX_FILE_PREFIX_ENTRIES && !matched; ++i) {
    const uint_fast32_t prefixLen = prefixTable.filePrefixLen[i];
    const uint_fast32_t secondLen = prefixTable.filePrefix2Len[i];
    if (prefixLen == 0 && secondLen == 0) break;
    const uint_fast32_t matchedLen = prefixLen + secondLen;
    if (matchedLen + 1 > len) continue;
    if (std::memcmp(fileName, prefixTable.stripFilePrefix[i], prefixLen) != 0) continue;
    if (std::memcmp(fileName + prefixLen, prefixTable.stripFilePrefix2[i], secondLen) != 0) continue;
    result = TextBlock_struct(fileName + matchedLen + 1, len - matchedLen - 1);
    matched = true;
  }
  const uint32_t strip = stripLeadingDirectories == STRIP_USE_DEFAULT ? processDefault : stripLeadingDirectories;
  if (!matched && strip != 0) {
    uint32_t slashesSeen = 0;
    for (uint_fast32_t i = 0; i < len; ++i) {
      if (fileName[i] == '/' && ++slashesSeen == strip + 1) {
        result = TextBlock_struct(fileName + i + 1, len - i - 1);
        break;
      }
    }
  }
  addCachedFileName(fileName, result);
  return result;
}
