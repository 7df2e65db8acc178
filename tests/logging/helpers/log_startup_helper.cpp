// Helper process for the start-up tests: takes the log flags off its command
// line, reports how the standard managers were configured from the
// environment and the flags, then writes argv[1] numbered lines
// with LOG_CERR and exits at once (the managers must drain at exit).
#include <cstdio>
#include <cstdlib>

#include "utils/logging/logging_api.hpp"

int main(int argc, char** argvIn) {
  const char** argv = const_cast<const char**>(argvIn);
  PROCESS_COMMANDLINE_LOG_FLAGS(argc, argv);
  const long lines = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 0;
  LogManager* err = LogManager::STDERR_LogManager;
  LogManager* out = LogManager::STDOUT_LogManager;
  std::printf("stderr block=%zu blocks=%zu thread=%d\n", err->getBlockSize(),
              err->getBufferManager()->getAvailableBlocks(), err->hasWriterThread() ? 1 : 0);
  std::printf("stdout block=%zu blocks=%zu thread=%d\n", out->getBlockSize(),
              out->getBufferManager()->getAvailableBlocks(), out->hasWriterThread() ? 1 : 0);
  std::fflush(stdout);
  for (long i = 0; i < lines; ++i) LOG_CERR(app_error) << "line " << i << AS_PREFIXED_TEXT(0);
  return 0;
}
