// Start-up of a program's logging beyond the command-line flags: the program
// name and mask registration of initializeLogSubsystem, the naming node "LOG"
// under which standard log files name their statistics, and the settings of
// the flags applied to the standard managers. Runs at start-up on one thread.
#include "log_subsystem.hpp"

#include <unistd.h>

#include <cstring>
#include <new>

namespace {

// A standard manager made here (when none was built before main): its
// naming node and the manager live for the rest of the process.
LogManager* makeStandardManager(int fd, const char* nodeName, const LogSubsystemInfo& info) {
  auto* node = new (std::nothrow) SharedMemoryVariableNode(nodeName, &DEFAULT_sharedMemoryVariableManager);
  const uint32_t lines = info.maxPendingLogLines != 0 ? info.maxPendingLogLines : 1u;
  return new (std::nothrow) LogManager(node, fd, info.useThreads == 1 ? 1 : 0, nodeName, info.defaultLogPrefix,
                                       LogManager::MAX_LOG_LINE_LENGTH, nullptr,
                                       static_cast<size_t>(lines) * LogManager::MAX_LOG_LINE_LENGTH);
}

// The part of a path after its last '/' or '\'.
const char* baseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  return base;
}

}  // namespace

void applyToStandardManagers(const LogSubsystemInfo& info) {
  if (LogManager::STDOUT_LogManager == nullptr) {
    LogManager::STDOUT_LogManager = makeStandardManager(STDOUT_FILENO, "STDOUT", info);
  }
  if (LogManager::STDERR_LogManager == nullptr) {
    LogManager::STDERR_LogManager = makeStandardManager(STDERR_FILENO, "STDERR", info);
  }
  // The standard managers exist before main, so the flag switches them
  // rather than only managers made afterwards; "-logthread" leaves them.
  if (info.useThreads == 1) {
    for (LogManager* mgr : {LogManager::STDOUT_LogManager, LogManager::STDERR_LogManager}) {
      if (mgr != nullptr && !mgr->hasWriterThread()) mgr->startProcessingThread();
    }
  }
}

int LogManager::initializeLogSubsystem(int* newArgc, const char** newArgv, int argc, const char** argv,
                                       const char* componentName, LogMaskType_t* appMaskLocation,
                                       uint_fast32_t maxLines, LogMaskPrimitiveType_t logPrefixMask) {
  const char* name = componentName;
  if (name == nullptr) name = argc > 0 && argv != nullptr && argv[0] != nullptr ? argv[0] : "";
  name = baseName(name);
  if (name[0] == '\0') name = "notSpecified";
  default_LogSubsystemInfo.programName = name;
  if (appMaskLocation != nullptr) {
    addLogComponent("app", appMaskLocation, 0);
    addLogComponent(name, appMaskLocation, 0);
  }
  default_LogSubsystemInfo.defaultLogPrefix = static_cast<uint32_t>(logPrefixMask);
  default_LogSubsystemInfo.maxPendingLogLines = static_cast<uint32_t>(maxLines);
  default_LogSubsystemInfo.processID = static_cast<uint32_t>(getpid());
  LogMessageRecord::process_commandline_log_flags(&default_LogSubsystemInfo, argc, argv, newArgc, newArgv);
  if (LogManager_ParentNode == nullptr) {
    LogManager_ParentNode = new (std::nothrow) SharedMemoryVariableNode("LOG", &DEFAULT_sharedMemoryVariableManager);
  }
  // The file-prefix table was built by the first manager (the standard ones,
  // before main).
  return 0;
}
