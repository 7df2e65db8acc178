// Logging objects that exist before main: the naming nodes "stdout" and
// "stderr" (priority 109), the standard-output and standard-error managers
// configured from the environment (priority 110, in static storage, never
// freed: at exit they drain, stop their writer and write directly), the
// component mask variables, the "coalesceIOVEC" counter and the default
// escape table.
#include <unistd.h>

#include <new>

#include "utils/logging/logging_api.hpp"

SharedMemoryVariableNode stdoutName __attribute__((init_priority(109)))("stdout",
                                                                        &DEFAULT_sharedMemoryVariableManager);
SharedMemoryVariableNode stderrName __attribute__((init_priority(109)))("stderr",
                                                                        &DEFAULT_sharedMemoryVariableManager);

LogManager* LogManager::STDOUT_LogManager = nullptr;
LogManager* LogManager::STDERR_LogManager = nullptr;

namespace {

constexpr int32_t DEFAULT_STD_MAX_LINE_LENGTH = 4608;
constexpr int32_t MIN_STD_LINE_LENGTH = 256;
constexpr int32_t DEFAULT_STD_LINES = 64;
constexpr int32_t MAX_STD_LINES = 4096;

alignas(LogManager) unsigned char stdoutStorage[sizeof(LogManager)];
alignas(LogManager) unsigned char stderrStorage[sizeof(LogManager)];

LogManager* realizeStdManager(void* storage, SharedMemoryVariableNode* node, int fd, const char* name,
                              const char* threadVar, const char* lengthVar, const char* linesVar) {
  int32_t maxLen = getEnvironValue(lengthVar, DEFAULT_STD_MAX_LINE_LENGTH);
  if (maxLen <= 0) maxLen = DEFAULT_STD_MAX_LINE_LENGTH;
  if (maxLen < MIN_STD_LINE_LENGTH) maxLen = MIN_STD_LINE_LENGTH;
  if (maxLen > static_cast<int32_t>(LogManager::MAX_LOG_LINE_LENGTH)) {
    maxLen = static_cast<int32_t>(LogManager::MAX_LOG_LINE_LENGTH);
  }
  int32_t lines = getEnvironValue(linesVar, DEFAULT_STD_LINES);
  if (lines < 1) lines = 1;
  if (lines > MAX_STD_LINES) lines = MAX_STD_LINES;
  const uint_fast8_t useThread = getEnvironValue(threadVar, 0) == 1 ? 1 : 0;
  return new (storage) LogManager(node, fd, useThread, name, 0xFFFFFFFFu, static_cast<uint32_t>(maxLen), nullptr,
                                  static_cast<size_t>(LogManager::MAX_LOG_LINE_LENGTH) * static_cast<size_t>(lines));
}

struct StandardManagers {
  StandardManagers() {
    LogManager::STDOUT_LogManager = realizeStdManager(stdoutStorage, &stdoutName, STDOUT_FILENO, "stdout",
                                                      "USE_STDOUT_THREAD", "STDOUT_MAX_LENGTH", "STDOUT_LINES");
    LogManager::STDERR_LogManager = realizeStdManager(stderrStorage, &stderrName, STDERR_FILENO, "stderr",
                                                      "USE_STDERR_THREAD", "STDERR_MAX_LENGTH", "STDERR_LINES");
  }
  // The managers stay usable by later destructors: only their writers stop.
  ~StandardManagers() {
    LogManager::STDOUT_LogManager->killProcessingThread();
    LogManager::STDERR_LogManager->killProcessingThread();
  }
};
StandardManagers realize_STDOUT_and_STDERR_Managers __attribute__((init_priority(110)));

}  // namespace

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

constexpr Escaped_Replacement_Characters buildDefaultEscapes() {
  Escaped_Replacement_Characters table{};
  table.build(_DEFAULT_ESCAPED_CHARACTERS, _DEFAULT_REPLACEMENT_CHARACTERS, _DEFAULT_NULL_REPLACEMENT);
  return table;
}

}  // namespace

constinit LogSubsystemInfo default_LogSubsystemInfo{};

constinit const Escaped_Replacement_Characters EscapedTextBlock_struct::defaultEscapePatterns =
    buildDefaultEscapes();
