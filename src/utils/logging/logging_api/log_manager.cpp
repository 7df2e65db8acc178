// The process-wide log managers and start-up objects: the standard-output and
// standard-error managers (constant-initialised, so statements work during any
// static constructor), their configuration from the environment before main,
// the component mask variables, the default escape table, and the direct
// descriptor writer every manager uses.
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <regex>

#include "utils/logging/logging_api.hpp"
#include "utils/time/get_time.hpp"

namespace {

constexpr uint32_t DEFAULT_STD_MAX_LINE_LENGTH = 4608;

constinit LogManager stdoutManager(STDOUT_FILENO, "stdout", 0xFFFFFFFFu, DEFAULT_STD_MAX_LINE_LENGTH);
constinit LogManager stderrManager(STDERR_FILENO, "stderr", 0xFFFFFFFFu, DEFAULT_STD_MAX_LINE_LENGTH);

constexpr int32_t DEFAULT_STD_LINES = 64;

void configureStdManager(LogManager& mgr, const char* threadVar, const char* lengthVar, const char* linesVar) {
  const int32_t maxLen = getEnvironValue(lengthVar, static_cast<int32_t>(DEFAULT_STD_MAX_LINE_LENGTH));
  if (maxLen >= 2 && maxLen <= static_cast<int32_t>(LogManager::MAX_LOG_LINE_LENGTH)) {
    mgr.setMaxLineLength(static_cast<uint32_t>(maxLen));
  }
  if (getEnvironValue(threadVar, 0) == 1) {
    mgr.setUseSeparateThread(1);
    int32_t lines = getEnvironValue(linesVar, DEFAULT_STD_LINES);
    if (lines < 1) lines = DEFAULT_STD_LINES;
    mgr.startWriterThread(static_cast<uint32_t>(lines));
  }
}

// Built before the default priority, after the shared-variable manager.
__attribute__((constructor(110))) void realizeStandardManagers() {
  configureStdManager(stdoutManager, "USE_STDOUT_THREAD", "STDOUT_MAX_LENGTH", "STDOUT_LINES");
  configureStdManager(stderrManager, "USE_STDERR_THREAD", "STDERR_MAX_LENGTH", "STDERR_LINES");
  LogManager::initializePrefixTable();
}

constexpr Escaped_Replacement_Characters buildDefaultEscapes() {
  Escaped_Replacement_Characters table{};
  for (int i = 0; i < 256; ++i) {
    table.escapedLen[i] = -1;
    table.escapedChar[i][0] = '\0';
  }
  const char characters[] = {'"', '\n', '\r', '\t', '\b', '\\'};
  const char replacements[] = {'"', 'n', 'r', 't', 'b', '\\'};
  for (int i = 0; i < 6; ++i) {
    const unsigned char c = static_cast<unsigned char>(characters[i]);
    table.escapedLen[c] = 2;
    table.escapedChar[c][0] = '\\';
    table.escapedChar[c][1] = replacements[i];
    table.escapedChar[c][2] = '\0';
  }
  table.escapedLen[0] = 2;
  table.escapedChar[0][0] = '\\';
  table.escapedChar[0][1] = '0';
  table.escapedChar[0][2] = '\0';
  return table;
}

}  // namespace

LogManager* LogManager::DEFAULT_LogManager = nullptr;
LogManager* LogManager::STDOUT_LogManager = &stdoutManager;
LogManager* LogManager::STDERR_LogManager = &stderrManager;

// Start-up variables: constant-initialised with their values in place, so a
// static constructor that logs before the hook below runs finds valid masks.
constinit SharedMemoryVariableNode app_logNode(SMV_STARTUP, "app");
constinit SharedMemoryVariableNode io_logNode(SMV_STARTUP, "io");
constinit LogMaskType_t app_logLevelMask(SMV_STARTUP, "app_logMask", &app_logNode, 960u);
constinit LogMaskType_t io_logLevelMask(SMV_STARTUP, "io_logMask", &io_logNode, 896u);
constinit SMV_StandaloneNumeric<uint32_t> coalesceCount(SMV_STARTUP, "coalesceIOVEC", nullptr, 0u);

namespace {

// Puts the start-up variables on the default manager's deferred list, right
// after the manager itself (priority 105) and before every default-priority
// object; nodes before their children.
struct RegisterStartupVariables {
  RegisterStartupVariables() {
    SharedMemoryVariable* variables[] = {&app_logNode, &io_logNode, &app_logLevelMask, &io_logLevelMask,
                                         &coalesceCount};
    DEFAULT_sharedMemoryVariableManager.registerVariables(ZUR_ARRAY_COUNT(variables), variables);
  }
};
RegisterStartupVariables registerStartupVariables __attribute__((init_priority(106)));

}  // namespace

constinit LogSubsystemInfo default_LogSubsystemInfo{};

constinit const Escaped_Replacement_Characters EscapedTextBlock_struct::defaultEscapePatterns =
    buildDefaultEscapes();

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

int LogManager::writeDataToBuffer(SharedBufferAllocRecord* /*rec*/) { return 0; }

size_t LogManager::writeLine(const char* data, size_t len) {
  size_t written = 0;
  while (written < len) {
    const ssize_t n = ::write(output_fd, data + written, len - written);
    if (n > 0) {
      written += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (errorCondition == nullptr || errorCondition[0] == '\0') {
      // Reported once per manager: the log output itself is failing. The line
      // goes out as one element.
      errorCondition = "out of disk space";
      std::fprintf(stderr, "formatRecordAsText: only wrote %zu bytes but expected %zu elements=1 fd=%d\n", written,
                   len, output_fd);
      std::fflush(stderr);
    }
    break;
  }
  return written;
}

namespace {

// Source-path prefixes cut from file names: entry i matches a name that
// begins with prefix[i] immediately followed by second[i].
struct PrefixTable {
  const char* prefix[LogManager::MAX_FILE_PREFIX_ENTRIES];
  uint16_t prefixLen[LogManager::MAX_FILE_PREFIX_ENTRIES];
  const char* second[LogManager::MAX_FILE_PREFIX_ENTRIES];
  uint16_t secondLen[LogManager::MAX_FILE_PREFIX_ENTRIES];
};
PrefixTable prefixTable{};
std::atomic<uint32_t> defaultStripLeadingDirectories{LogManager::STRIP_USE_DEFAULT};
char resolvedPrefixes[4096];
size_t resolvedPrefixFill = 0;

// "{ST}/src" ...: the variable between the braces, then a fixed path part.
constexpr const char* FILE_ENV_VARS[] = {"{ST}/src", "{BT1}/src", "{BT2}/src", "{BT3}/src", "{BT4}/src"};

uint32_t addPrefixEntry(uint32_t count, const char* prefix, const char* second) {
  if (count >= LogManager::MAX_FILE_PREFIX_ENTRIES) {
    std::fprintf(stderr, "LogManager: too many file prefix entries, ignoring: %s\n", second);
    return count;
  }
  prefixTable.prefix[count] = prefix;
  prefixTable.prefixLen[count] = static_cast<uint16_t>(std::strlen(prefix));
  prefixTable.second[count] = second;
  prefixTable.secondLen[count] = static_cast<uint16_t>(std::strlen(second));
  return count + 1;
}

}  // namespace

void LogManager::initializePrefixTable() {
  const int32_t strip = getEnvironValue("GCOV_PREFIX_STRIP", 0);
  prefixTable = PrefixTable{};
  resolvedPrefixFill = 0;
  uint32_t count = 0;
  for (const char* pattern : FILE_ENV_VARS) {
    // The variable name sits between the braces; the path part follows.
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
    char resolved[PATH_MAX];
    if (realpath(value, resolved) != nullptr && std::strcmp(resolved, value) != 0) {
      const size_t len = std::strlen(resolved) + 1;
      if (resolvedPrefixFill + len <= sizeof resolvedPrefixes) {
        char* copy = resolvedPrefixes + resolvedPrefixFill;
        std::memcpy(copy, resolved, len);
        resolvedPrefixFill += len;
        count = addPrefixEntry(count, copy, second);
      }
    }
  }
  // release: publishes the table; pairs with the acquire in pruneDirectoryPrefix.
  defaultStripLeadingDirectories.store(strip < 0 ? 0u : static_cast<uint32_t>(strip), std::memory_order_release);
}

TextBlock_struct LogManager::pruneDirectoryPrefix(const char* fileName, int_fast32_t fileNameLen) const {
  if (fileName == nullptr) return TextBlock_struct("", 0);
  const uint_fast32_t len = fileNameLen >= 0 ? static_cast<uint_fast32_t>(fileNameLen) : std::strlen(fileName);
  uint32_t processDefault = defaultStripLeadingDirectories.load(std::memory_order_acquire);
  if (processDefault == STRIP_USE_DEFAULT) {
    initializePrefixTable();
    processDefault = defaultStripLeadingDirectories.load(std::memory_order_acquire);
  }
  for (uint32_t i = 0; i < MAX_FILE_PREFIX_ENTRIES; ++i) {
    const uint_fast32_t prefixLen = prefixTable.prefixLen[i];
    const uint_fast32_t secondLen = prefixTable.secondLen[i];
    if (prefixLen == 0 && secondLen == 0) break;
    const uint_fast32_t matched = prefixLen + secondLen;
    if (matched + 1 > len) continue;
    if (std::memcmp(fileName, prefixTable.prefix[i], prefixLen) != 0) continue;
    if (std::memcmp(fileName + prefixLen, prefixTable.second[i], secondLen) != 0) continue;
    return TextBlock_struct(fileName + matched + 1, len - matched - 1);
  }
  const uint32_t strip = stripLeadingDirectories == STRIP_USE_DEFAULT ? processDefault : stripLeadingDirectories;
  if (strip == 0) return TextBlock_struct(fileName, len);
  uint32_t slashesSeen = 0;
  for (uint_fast32_t i = 0; i < len; ++i) {
    if (fileName[i] == '/' && ++slashesSeen == strip + 1) {
      return TextBlock_struct(fileName + i + 1, len - i - 1);
    }
  }
  return TextBlock_struct(fileName, len);
}

int32_t getEnvironValue(const char* varName, int32_t defaultVal) {
  const char* text = std::getenv(varName);
  if (text == nullptr) return defaultVal;
  return static_cast<int32_t>(std::strtol(text, nullptr, 10));
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
