// Statement forms (LOG_CERR, LOG_COUT, LOG_WHEN, LOG_INTO, ...), their
// endings, formatting into memory and the command-line flag hook.
#pragma once

#include "utils/io/mapped_file.hpp"
#include "utils/logging/log_levels.hpp"
#include "utils/logging/log_manager.hpp"
#include "utils/logging/log_record.hpp"

// ---------------------------------------------------------------------------
// Statement forms. Each opens a block holding the record `logObj`; the ending
// closes it.
// ---------------------------------------------------------------------------

// Address-sanitizer builds give every block-scope variable its own frame slot,
// so a function with many statements would need one 120 KB record per
// statement on its stack; there the record comes from a per-thread pool
// instead (LogRecordFromPool). Other builds keep it on the stack, where the
// compiler shares one slot between the statements of a function.
#if defined(__SANITIZE_ADDRESS__)
#define ZUR_LOG_RECORDS_FROM_POOL 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZUR_LOG_RECORDS_FROM_POOL 1
#endif
#endif

// A record taken from the calling thread's pool (nested statements take the
// next one; beyond the pool's depth one is allocated for the statement).
class LogRecordFromPool {
 public:
  LogRecordFromPool(LogManager* mgr, uint32_t importanceFlags, const char* atFileName, uint32_t atLineNumber,
                    uint32_t fileNameLen);
  ~LogRecordFromPool();
  LogRecordFromPool(const LogRecordFromPool&) = delete;
  LogRecordFromPool& operator=(const LogRecordFromPool&) = delete;
  LogMessageRecord& record() { return *rec; }

 private:
  LogMessageRecord* rec;
  bool fromPool;
};

#if defined(ZUR_LOG_RECORDS_FROM_POOL)
#define ZUR_LOG_DECLARE_RECORD(manager, levelValue)                                                \
  LogRecordFromPool zurLogRecordHolder((manager), static_cast<uint32_t>(levelValue), __FILE__, __LINE__, \
                                       static_cast<uint32_t>(sizeof(__FILE__) - 1));               \
  LogMessageRecord& logObj = zurLogRecordHolder.record();
#else
#define ZUR_LOG_DECLARE_RECORD(manager, levelValue)                                         \
  LogMessageRecord logObj((manager), static_cast<uint32_t>(levelValue), __FILE__, __LINE__, \
                          static_cast<uint32_t>(sizeof(__FILE__) - 1));
#endif

#define ZUR_LOG_OPEN(condition, manager, levelValue) \
  if (ZUR_UNLIKELY(condition)) {                     \
    ZUR_LOG_DECLARE_RECORD(manager, levelValue)      \
    logObj

#define ZUR_LOG_OPEN_LEVEL(levelExpr, manager) \
  ZUR_LOG_OPEN(zurLogLevelEnabled(levelExpr), manager, levelExpr)

#define ALWAYS_EMIT_MESSAGE_TO_LOG(manager, mask) \
  {                                               \
    ZUR_LOG_DECLARE_RECORD(manager, mask)
#define EMIT_CONDITIONAL_MESSAGE_FOR_COMPONENT_TO_LOG(component, mask, manager) \
  if (ZUR_UNLIKELY(COMPONENT_LOG_ENABLED(component, mask))) {                   \
    ZUR_LOG_DECLARE_RECORD(manager, ZUR_LOG_MASK_IN(component, mask))
#define LOG_MESSAGE_FORMAT(s) logObj.setLogFormat(s);
#define LOG_ARG(arg) logObj.addExplicitArg(arg);

#define LOG_WHEN(lvl) ZUR_LOG_OPEN_LEVEL(ZUR_LOG_LEVEL(lvl), LogManager::DEFAULT_LogManager)
#define LOG_ALWAYS(lvl) ZUR_LOG_OPEN(true, LogManager::DEFAULT_LogManager, ZUR_LOG_LEVEL(lvl))
#define IFLOG_WHEN(lvl)                                                                      \
  ZUR_LOG_OPEN(LogManager::DEFAULT_LogManager != nullptr && zurLogLevelEnabled(ZUR_LOG_LEVEL(lvl)), \
               LogManager::DEFAULT_LogManager, ZUR_LOG_LEVEL(lvl))
#define IFLOG_ALWAYS(lvl) \
  ZUR_LOG_OPEN(LogManager::DEFAULT_LogManager != nullptr, LogManager::DEFAULT_LogManager, ZUR_LOG_LEVEL(lvl))
#define LOG_INTO(mgr, lvl) ZUR_LOG_OPEN_LEVEL(ZUR_LOG_LEVEL(lvl), (mgr))
#define LOG_ALWAYS_INTO(mgr, lvl) ZUR_LOG_OPEN(true, (mgr), ZUR_LOG_LEVEL(lvl))
#define LOG_COUT(lvl) ZUR_LOG_OPEN_LEVEL(ZUR_LOG_LEVEL(lvl), LogManager::STDOUT_LogManager)
#define LOG_CERR(lvl) ZUR_LOG_OPEN_LEVEL(ZUR_LOG_LEVEL(lvl), LogManager::STDERR_LogManager)
#define LOG_COMPONENT(component, lvl) \
  ZUR_LOG_OPEN_LEVEL(ZUR_LOG_LEVEL_IN(component, lvl), LogManager::DEFAULT_LogManager)
#define LOG_COMPONENT_ALWAYS(component, lvl) \
  ZUR_LOG_OPEN(true, LogManager::DEFAULT_LogManager, ZUR_LOG_LEVEL_IN(component, lvl))
#define LOG_COMPONENT_INTO(mgr, component, lvl) ZUR_LOG_OPEN_LEVEL(ZUR_LOG_LEVEL_IN(component, lvl), (mgr))
#define LOG_COMPONENT_ALWAYS_INTO(mgr, component, lvl) ZUR_LOG_OPEN(true, (mgr), ZUR_LOG_LEVEL_IN(component, lvl))
#define LOG_COMPONENT_COUT(component, lvl) \
  ZUR_LOG_OPEN_LEVEL(ZUR_LOG_LEVEL_IN(component, lvl), LogManager::STDOUT_LogManager)
#define LOG_COMPONENT_CERR(component, lvl) \
  ZUR_LOG_OPEN_LEVEL(ZUR_LOG_LEVEL_IN(component, lvl), LogManager::STDERR_LogManager)
#define IFLOG_COMPONENT(component, lvl)                                                         \
  ZUR_LOG_OPEN(LogManager::DEFAULT_LogManager != nullptr &&                                     \
                   zurLogLevelEnabled(ZUR_LOG_LEVEL_IN(component, lvl)),                        \
               LogManager::DEFAULT_LogManager, ZUR_LOG_LEVEL_IN(component, lvl))
#define IFLOG_COMPONENT_ALWAYS(component, lvl)                                      \
  ZUR_LOG_OPEN(LogManager::DEFAULT_LogManager != nullptr, LogManager::DEFAULT_LogManager, \
               ZUR_LOG_LEVEL_IN(component, lvl))
#define LOG_TO_DESCRIPTOR(output, mask) \
  ZUR_LOG_OPEN(COMPONENT_LOG_ENABLED(THIS_COMPONENT, mask), LogManager::output##_LogManager, \
               ZUR_LOG_MASK_IN(THIS_COMPONENT, mask))

// Values go straight to an output stream (include <ostream> yourself).
#define LOG_WHEN_OSTREAM(stream, lvl) \
  if (ZUR_UNLIKELY(zurLogLevelEnabled(ZUR_LOG_LEVEL(lvl)))) {  \
    (stream)
#define OSTREAM_ENDLINE \
  "\n";                 \
  }

// ---------------------------------------------------------------------------
// Endings.
// ---------------------------------------------------------------------------

#define ENDREC                                                                      \
  "\n";                                                                             \
  logObj.writeAsTextToBuffer(static_cast<unsigned int>(logObj.prefixMaskOfManager())); \
  }
#define LOG_ENDLINE ENDREC
#define BINARY_ENDREC                                                                 \
  "\n";                                                                               \
  logObj.writeAsBinaryToBuffer(static_cast<unsigned int>(logObj.prefixMaskOfManager())); \
  }
#define BINARY_LOG_ENDLINE BINARY_ENDREC
#define AS_PLAIN_TEXT            \
  "";                            \
  logObj.writeAsTextToBuffer(0); \
  }
#define AS_TIMESTAMPED_TEXT                                                         \
  "";                                                                               \
  logObj.writeAsTextToBuffer(static_cast<unsigned int>(logObj.prefixMaskOfManager())); \
  }
#define AS_PREFIXED_TEXT(selectionMask)                                  \
  "";                                                                    \
  logObj.writeAsTextToBuffer(static_cast<unsigned int>(selectionMask)); \
  }
#define AS_BINARY_RECORD                                                              \
  "";                                                                                 \
  logObj.writeAsBinaryToBuffer(static_cast<unsigned int>(logObj.prefixMaskOfManager())); \
  }
#define WITH_DATE_TIME_LEVEL                                                                   \
  "";                                                                                          \
  logObj.writeAsTextToBuffer(LogMessageRecord::LOG_DATESTAMP | LogMessageRecord::LOG_TIMESTAMP | \
                             LogMessageRecord::LOG_ERROR_LEVEL);                               \
  }
#define WITH_TIME_LEVEL                                                                         \
  "";                                                                                           \
  logObj.writeAsTextToBuffer(LogMessageRecord::LOG_TIMESTAMP | LogMessageRecord::LOG_ERROR_LEVEL); \
  }

// Member-field insertions: " name=value" and " name=\"escaped\"".
#define _OUTPUT_MEMBER_FIELD(s, f) " " #f "=" << (s).f
#define _OUTPUT_MEMBER_FIELD_AS_STRING(s, f) \
  " " #f "=\"" << EscapedTextBlock_struct((s).f, static_cast<uint_fast32_t>(std::strlen((s).f))) << "\""

// Formatting into memory: LOG_STREAM_OBJECT(rec) declares a record `rec`
// whose manager ("logstream", no output) has a region of two blocks of
// MAX_LOG_LINE_LENGTH bytes; FORMAT_LOG_BUFFER(var, rec) renders it without
// prefix and sets var (const char*) to the text, valid while rec lives.
class LogStreamBuffer {
 public:
  static constexpr size_t REGION_BYTES = 2 * (LogManager::MAX_LOG_LINE_LENGTH + 64) + 256;
  LogStreamBuffer()
      : mgr(nullptr, -1, 0, "logstream", 0, LogManager::MAX_LOG_LINE_LENGTH, region, REGION_BYTES) {}
  alignas(8) unsigned char region[REGION_BYTES];
  LogManager mgr;
};
#define LOG_STREAM_OBJECT(n)                                           \
  LogStreamBuffer n##_logStreamBuffer;                                 \
  LogMessageRecord n(&n##_logStreamBuffer.mgr, 0, __FILE__, __LINE__, \
                     static_cast<uint32_t>(sizeof(__FILE__) - 1))
#define FORMAT_LOG_BUFFER(var, record) (var) = (record).formatIntoMemory()
#define RELEASE_LOG_BUFFER(record) ((void)(record))
#define APPEND_LOG_BUFFER(dest, record) ((dest) << (record).formatIntoMemory())

// Removes the log flags from (argc, argv) in place.
#define PROCESS_COMMANDLINE_LOG_FLAGS(argc, argv)                                               \
  LogMessageRecord::process_commandline_log_flags(&default_LogSubsystemInfo, (argc), (argv), \
                                                  &(argc), (argv))


// Full start-up for a program whose main source file belongs to
// THIS_COMPONENT: initializeLogSubsystem with the component's name and mask
// variable, then the program's standard log file (DEFAULT_LogManager) in
// $LOGDIR, named <component>-YYYYMMDD_HHMMSS-<pid>.log.
#define INIT_STANDARD_LOG_FOR_COMPONENT(argc, argv, appName, newArgc, newArgv)                          \
  do {                                                                                                \
    LogManager::initializeLogSubsystem((newArgc), (newArgv), (argc), (argv), (appName),               \
                                       &ZUR_LOG_CAT(THIS_COMPONENT, _LogLevelScope)::maskVariable(),  \
                                       LogManager::DEFAULT_MAX_PENDING_LOG_LINES,                     \
                                       LogManager::DEFAULT_LOG_PREFIX_MASK);                          \
    LogManager::newStandardLogFile(nullptr, LogManager::DEFAULT_LOG_FILE_NAMING, nullptr);              \
  } while (0)
