// The process-wide log managers and start-up objects: the standard-output and
// standard-error managers (constant-initialised, so statements work during any
// static constructor), their configuration from the environment before main,
// the component mask variables, the default escape table, and the direct
// descriptor writer every manager uses.
#include <errno.h>
#include <unistd.h>

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

// Integer value of an environment variable, or `fallback` when unset or not
// a number.
long getEnvironValue(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  return (end != nullptr && *end == '\0') ? v : fallback;
}

void configureStdManager(LogManager& mgr, const char* threadVar, const char* lengthVar) {
  // A writer thread is not available in this build; the request is recorded.
  mgr.setUseSeparateThread(getEnvironValue(threadVar, 0) == 1 ? 1 : 0);
  const long maxLen = getEnvironValue(lengthVar, DEFAULT_STD_MAX_LINE_LENGTH);
  if (maxLen >= 2 && maxLen <= static_cast<long>(LogManager::MAX_LOG_LINE_LENGTH)) {
    mgr.setMaxLineLength(static_cast<uint32_t>(maxLen));
  }
}

// Built before the default priority, after the shared-variable manager.
__attribute__((constructor(110))) void realizeStandardManagers() {
  configureStdManager(stdoutManager, "USE_STDOUT_THREAD", "STDOUT_MAX_LENGTH");
  configureStdManager(stderrManager, "USE_STDERR_THREAD", "STDERR_MAX_LENGTH");
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

constinit SharedMemoryVariableNode app_logNode("app");
constinit SharedMemoryVariableNode io_logNode("io");
constinit LogMaskType_t app_logLevelMask(&app_logNode, "app_logMask", 960u);
constinit LogMaskType_t io_logLevelMask(&io_logNode, "io_logMask", 896u);
constinit SMV_StandaloneNumeric<uint32_t> coalesceCount("coalesceIOVEC", 0u);

constinit LogSubsystemInfo default_LogSubsystemInfo{};

constinit const Escaped_Replacement_Characters EscapedTextBlock_struct::defaultEscapePatterns =
    buildDefaultEscapes();

void LogManager::defaultGetTime(timespec* ts, LogManager* /*mgr*/) { getCurrentTime(ts); }

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
    const int savedErrno = errno;
    if (errorCondition == nullptr) {
      // Reported once per manager: the log output itself is failing.
      errorCondition = n == 0 ? "write returned 0" : "out of disk space";
      std::fprintf(stderr, "formatRecordAsText: only wrote %zu bytes but expected %zu fd=%d: %s\n", written, len,
                   output_fd, n == 0 ? "no progress" : std::strerror(savedErrno));
      std::fflush(stderr);
    }
    break;
  }
  return written;
}

TextBlock_struct LogManager::pruneDirectoryPrefix(const char* fileName, int_fast32_t fileNameLen) const {
  if (fileName == nullptr) return TextBlock_struct("", 0);
  const uint_fast32_t len = fileNameLen >= 0 ? static_cast<uint_fast32_t>(fileNameLen) : std::strlen(fileName);
  if (stripLeadingDirectories == 0) return TextBlock_struct(fileName, len);
  uint32_t slashesSeen = 0;
  for (uint_fast32_t i = 0; i < len; ++i) {
    if (fileName[i] == '/' && ++slashesSeen == stripLeadingDirectories + 1) {
      return TextBlock_struct(fileName + i + 1, len - i - 1);
    }
  }
  return TextBlock_struct(fileName, len);
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
