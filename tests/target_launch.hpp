// Starting the programs of this build from a test: in a cross build they run
// under the emulator that CMake names in NARVELIX_EMULATOR (empty when the
// build is native).
#pragma once

#include <string>

// The shell words that start `program` (given already quoted for the shell).
inline std::string targetCommand(const std::string& program) {
  const std::string emulator = NARVELIX_EMULATOR;
  return emulator.empty() ? program : emulator + " " + program;
}
