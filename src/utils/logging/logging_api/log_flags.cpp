// Command-line log flags and the registries behind them: the component
// registry (name, mask variable, initial mask), the table of level names used
// by +logmask/-logmask (".debug", ".user3", ...), and the severity labels of
// user-defined levels. Meant to run at start-up on one thread; only component
// slots are claimed atomically, for registration from static constructors.
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>

#include "log_subsystem.hpp"
#include "utils/logging/logging_api.hpp"
#include "utils/time/time_point.hpp"

namespace {

constexpr int MAX_DISTINCT_FLAG_ALIASES = 128;
constexpr size_t COMPONENT_NAME_SIZE = 32;
constexpr size_t FLAG_NAME_SIZE = 16;
constexpr size_t PART_LIMIT = 127;  // component and flag parts are cut to this

struct LogMaskAndComponent {
  LogMaskType_t* logMaskVar;
  char componentName[COMPONENT_NAME_SIZE];
  LogMaskPrimitiveType_t initialMask;
};

struct BitFlagAndName {
  uint32_t bitFlags;
  char flagName[FLAG_NAME_SIZE];
};

LogMaskAndComponent logMaskMap[LogManager::MAX_SUPPORTED_COMPONENTS] = {
    {&app_logLevelMask, "app", 0},
    {&io_logLevelMask, "io", 0},
};
std::atomic<uint32_t> registeredComponentTotal{2};

BitFlagAndName logFlagBits[MAX_DISTINCT_FLAG_ALIASES] = {
    {16, ".trace"},   {32, ".debug"},    {64, ".info"},     {128, ".warning"}, {128, ".warn"},
    {256, ".error"},  {256, ".err"},     {512, ".fatal"},   {1024, ".user"},   {1024, ".user0"},
    {2048, ".user1"}, {4096, ".user2"},  {8192, ".user3"},  {16384, ".user4"}, {32768, ".user5"},
    {65536, ".user6"}, {2147483647u, ".all"},
};

uint32_t globalAddMask = 0;
uint32_t globalRemoveMask = 0;
uint32_t tooManyComponentsCount = 0;
uint32_t tooManyFlagsCount = 0;

constexpr uint32_t FLAG_ALL = 2147483647u;

// Bounded copy with terminator.
void copyName(char* dest, size_t destSize, const char* src, size_t srcLen) {
  if (srcLen > destSize - 1) srcLen = destSize - 1;
  std::memcpy(dest, src, srcLen);
  dest[srcLen] = '\0';
}

// Index of the flag name, compared after the cut that stores names (15
// characters), or -1. *firstFree gets the first record with an empty name
// (MAX when none).
int findFlag(const char* name, int* firstFree) {
  char cut[FLAG_NAME_SIZE];
  copyName(cut, sizeof cut, name, std::strlen(name));
  for (int i = 0; i < MAX_DISTINCT_FLAG_ALIASES; ++i) {
    if (logFlagBits[i].flagName[0] == '\0') {
      if (firstFree) *firstFree = i;
      return -1;
    }
    if (std::strcmp(logFlagBits[i].flagName, cut) == 0) return i;
  }
  if (firstFree) *firstFree = MAX_DISTINCT_FLAG_ALIASES;
  return -1;
}

// The placeholder mask of an unknown flag stored in record `index`: its own
// bit, for the first 32 records only.
uint32_t placeholderOf(int index) { return index < 32 ? 1u << index : 0u; }

// The current local time as YYYY/MM/DD HH:MM:SS.nnnnnnnnn.
void formatCurrentTime(char* out, size_t outSize) {
  TimeWithNanoseconds now;
  getCurrentTime(&now, false);
  const TimePointOfGranularity<1000000000u> point(static_cast<time_t>(now.time_sec), now.time_nanosec, 0,
                                                  TimePointCacheForToday);
  size_t len = 0;
  if (!point.formatIntoString(out, outSize, &len,
                              TimePointOfGranularity<1000000000u>::OUTPUT_DATE |
                                  TimePointOfGranularity<1000000000u>::OUTPUT_TIME) &&
      outSize > 0) {
    out[0] = '\0';
  }
}

bool isMaskFlag(const char* arg) {
  return (arg[0] == '+' || arg[0] == '-') && arg[1] == 'l' && std::strcmp(arg + 2, "ogmask") == 0;
}

// Handles one +logmask/-logmask MASKS pair. Returns true when both arguments
// are to be removed from the vector.
bool applyMaskFlag(LogSubsystemInfo* info, const char* programName, bool isAdd, const char* flagText) {
  (void)info;
  char componentPart[PART_LIMIT + 1];
  char flagPart[PART_LIMIT + 2];
  const char* dot = std::strchr(flagText, '.');
  if (dot == nullptr) {
    copyName(componentPart, sizeof componentPart, programName, std::strlen(programName));
    flagPart[0] = '.';
    copyName(flagPart + 1, PART_LIMIT, flagText, std::strlen(flagText));
  } else {
    copyName(componentPart, sizeof componentPart, flagText, static_cast<size_t>(dot - flagText));
    copyName(flagPart, PART_LIMIT + 1, dot, std::strlen(dot));
  }

  uint32_t mask = 0;
  bool keepArguments = false;
  int firstFree = 0;
  const int found = findFlag(flagPart, &firstFree);
  if (found >= 0) {
    mask = logFlagBits[found].bitFlags;
    if (!isAdd) mask &= ~static_cast<uint32_t>(LogMessageRecord::LOG_SEVERITY_USER);
    if (isAdd && mask == FLAG_ALL) keepArguments = true;
  } else {
    char timeText[48];
    formatCurrentTime(timeText, sizeof timeText);
    std::fprintf(stderr, "%s %s: log level mask flag not recognized: %s i=%d\n", timeText, componentPart, flagPart,
                 firstFree);
    if (firstFree >= MAX_DISTINCT_FLAG_ALIASES - 1) {
      std::fprintf(stderr, "Too many user-defined flags, cannot add entry for %s\n", flagPart);
      std::fprintf(stderr, "Resolve by increasing MAX_DISTINCT_FLAG_ALIASES to at least %d in %s\n",
                   129 + static_cast<int>(tooManyFlagsCount++), __FILE__);
      std::fflush(stderr);
      return false;
    }
    const uint32_t placeholder = isAdd ? placeholderOf(firstFree) : 0u;
    BitFlagAndName& entry = logFlagBits[firstFree];
    entry.bitFlags = placeholder;
    copyName(entry.flagName, FLAG_NAME_SIZE, flagPart, std::strlen(flagPart));
    std::fprintf(stderr, "Add entry for unknown flag %s with placeholder value %u\n", flagPart, placeholder);
    std::fprintf(stderr, "Added: %s\n", entry.flagName);
    mask = 0;
  }

  // Registered names are cut to 31 characters: so is the name looked for.
  char componentKey[COMPONENT_NAME_SIZE];
  copyName(componentKey, sizeof componentKey, componentPart, std::strlen(componentPart));
  bool matched = false;
  const uint32_t total = registeredComponentTotal.load(std::memory_order_acquire);
  for (uint32_t i = 0; i < total; ++i) {
    LogMaskAndComponent& component = logMaskMap[i];
    if (componentKey[0] != '\0' && std::strcmp(component.componentName, componentKey) != 0) continue;
    matched = true;
    if (component.logMaskVar != nullptr) {
      if (isAdd) {
        *component.logMaskVar |= mask;
      } else {
        *component.logMaskVar &= ~mask;
      }
    } else {
      std::fprintf(stderr, "using implicit definition of component %s\n", component.componentName);
      if (isAdd) {
        component.initialMask |= mask;
      } else {
        component.initialMask &= ~mask;
      }
    }
  }
  if (componentPart[0] == '\0') {
    if (isAdd) {
      globalAddMask |= mask;
    } else {
      globalRemoveMask |= mask;
    }
  }
  if (isAdd && !matched) {
    char timeText[48];
    formatCurrentTime(timeText, sizeof timeText);
    std::fprintf(stderr, "%s log level mask flag %s for component %s not found: %s\n", timeText, flagText, programName,
                 componentPart);
    std::fprintf(stderr, "add implicit definition of %s mask=%u\n", componentPart, mask);
    LogManager::addLogComponent(componentPart, nullptr, mask);
  }
  std::fflush(stderr);
  return !keepArguments;
}

}  // namespace

int LogMessageRecord::process_commandline_log_flags(LogSubsystemInfo* info, int argc, const char** argv,
                                                    int* newArgc, const char** newArgv) {
  if (info == nullptr) info = &default_LogSubsystemInfo;
  if (argv == nullptr || argc <= 0) {
    if (newArgc != nullptr) *newArgc = argc > 0 ? argc : 0;
    return 0;
  }
  const char* programName = info->programName != nullptr ? info->programName : argv[0];
  if (programName == nullptr) programName = "";
  int kept = 0;
  auto keep = [&](const char* arg) {
    if (newArgv != nullptr) newArgv[kept] = arg;  // kept <= read index: safe in place
    ++kept;
  };
  keep(argv[0]);
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg == nullptr) {
      keep(arg);
      continue;
    }
    if (isMaskFlag(arg)) {
      if (i + 1 >= argc || argv[i + 1] == nullptr) {
        // No component.level argument follows: keep the flag and ignore it.
        std::fprintf(stderr, "%s: %s needs a component.level argument such as app.debug; ignored\n", programName, arg);
        keep(arg);
        continue;
      }
      const char* flagText = argv[i + 1];
      if (!applyMaskFlag(info, programName, arg[0] == '+', flagText)) {
        keep(arg);
        keep(flagText);
      }
      ++i;
      continue;
    }
    if (std::strcmp(arg, "+logmap") == 0) {
      info->enableMap = 1;
    } else if (std::strcmp(arg, "-logmap") == 0) {
      info->enableMap = 2;
    } else if (std::strcmp(arg, "+logthread") == 0) {
      info->useThreads = 1;
    } else if (std::strcmp(arg, "-logthread") == 0) {
      info->useThreads = 2;
    } else {
      keep(arg);
    }
  }
  if (newArgv != nullptr && kept < argc) newArgv[kept] = nullptr;  // keeps argv[argc] == nullptr
  if (newArgc != nullptr) *newArgc = kept;
  if (info == &default_LogSubsystemInfo) applyToStandardManagers(*info);
  return 0;
}

uint_fast32_t LogManager::addLogComponent(const char* componentName, LogMaskType_t* logMask,
                                          LogMaskPrimitiveType_t initialMask) {
  if (componentName == nullptr) componentName = logMask != nullptr ? logMask->getName() : "";
  if (componentName == nullptr) componentName = "";
  const uint32_t total = registeredComponentTotal.load(std::memory_order_acquire);
  for (uint32_t i = 0; i < total; ++i) {
    LogMaskAndComponent& component = logMaskMap[i];
    if (std::strncmp(component.componentName, componentName, COMPONENT_NAME_SIZE - 1) != 0) continue;
    if (component.logMaskVar == logMask) return i + 1;
    std::fprintf(stderr, "alias existing %s to new address %p\n", componentName, static_cast<void*>(logMask));
    if (logMask != nullptr) {
      LogMaskType_t* old = component.logMaskVar;
      const uint32_t previous = old != nullptr ? static_cast<uint32_t>(*old) : component.initialMask;
      *logMask = (*logMask | globalAddMask | previous) & ~globalRemoveMask;
      if (old != nullptr) {
        // The old variable reads and writes the new one's value from now on
        // (until either moves into a segment); statements compiled against
        // it follow the flags given for the component.
        __atomic_store_n(&old->dataPointer, __atomic_load_n(&logMask->dataPointer, __ATOMIC_RELAXED),
                         __ATOMIC_RELAXED);
      }
      component.logMaskVar = logMask;
    }
    return i + 1;
  }
  uint32_t index = registeredComponentTotal.load(std::memory_order_relaxed);
  do {
    if (index >= MAX_SUPPORTED_COMPONENTS - 1) {
      std::fprintf(stderr, "Too many registered components, cannot add %s\n", componentName);
      std::fprintf(stderr, "Resolve by increasing MAX_SUPPORTED_COMPONENTS to at least %d in %s\n",
                   65 + static_cast<int>(tooManyComponentsCount++), __FILE__);
      std::fflush(stderr);
      return 0;
    }
    // acq_rel: claims the slot; pairs with the acquire load in the search above.
  } while (!registeredComponentTotal.compare_exchange_weak(index, index + 1, std::memory_order_acq_rel));
  LogMaskAndComponent& component = logMaskMap[index];
  if (logMask != nullptr) {
    const uint32_t value = (initialMask | globalAddMask | *logMask) & ~globalRemoveMask;
    component.initialMask = value;
    *logMask = value;
  } else {
    component.initialMask = (initialMask | globalAddMask) & ~globalRemoveMask;
  }
  component.logMaskVar = logMask;
  copyName(component.componentName, COMPONENT_NAME_SIZE, componentName, std::strlen(componentName));
  return index + 1;
}

int LogMessageRecord::define_commandline_flag(const char* flagName, LogMaskPrimitiveType_t mask, const char* label) {
  if (flagName == nullptr) return -1;
  if (flagName[0] == '.') ++flagName;
  char stored[FLAG_NAME_SIZE];
  stored[0] = '.';
  copyName(stored + 1, FLAG_NAME_SIZE - 1, flagName, std::strlen(flagName));
  int firstFree = 0;
  int index = findFlag(stored, &firstFree);
  if (index >= 0) {
    BitFlagAndName& entry = logFlagBits[index];
    if (entry.bitFlags == mask) return index;
    // Only a placeholder left by an unknown flag on the command line may
    // take another mask.
    if (entry.bitFlags != placeholderOf(index)) {
      std::fprintf(stderr, "define_commandline_flag: flag \"%s\" already defined with mask 0x%x, conflicts with 0x%x\n",
                   stored, entry.bitFlags, mask);
      return -1;
    }
    std::fprintf(stderr, "define_commandline_flag: flag %s already declared as %s, defining as: %u\n", stored,
                 entry.flagName, mask);
    entry.bitFlags = mask;
  } else {
    if (firstFree >= MAX_DISTINCT_FLAG_ALIASES - 1) {
      std::fprintf(stderr, "define_commandline_flag: no room for flag: %s\n", stored);
      std::fprintf(stderr, "Resolve by increasing MAX_DISTINCT_FLAG_ALIASES to at least %d in %s\n",
                   129 + static_cast<int>(tooManyFlagsCount++), __FILE__);
      return -2;
    }
    index = firstFree;
    logFlagBits[index].bitFlags = mask;
    std::memcpy(logFlagBits[index].flagName, stored, FLAG_NAME_SIZE);
  }
  LogMessageRecord::setSeverityLabel(mask, label != nullptr ? label : stored + 1);
  return index;
}
