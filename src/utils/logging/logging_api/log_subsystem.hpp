// The process's log settings applied to its standard managers.
#pragma once

#include "utils/logging/logging_api.hpp"

// Makes the standard-output and standard-error managers when they do not
// exist yet, and after "+logthread" gives the existing ones a writer thread.
void applyToStandardManagers(const LogSubsystemInfo& info);
