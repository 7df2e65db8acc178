// Helpers of the binary record tests: a manager writing into a pipe (with or
// without a writer thread) whose bytes can be read back, a fixed time source,
// and statements covering every argument type with a fixed thread id.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "utils/logging/log_binary.hpp"
#include "utils/logging/logging_api.hpp"

namespace binlog {

inline SharedMemoryVariableNode& testNode() {
  static SharedMemoryVariableNode node("binlogtest", &DEFAULT_sharedMemoryVariableManager);
  return node;
}

// 2026/12/07 01:02:03.456789012 UTC.
inline const POSIXtimeInNanoseconds FIXED_TIME = 1796605323456789012ull;

class PipeManager {
 public:
  explicit PipeManager(uint_fast8_t useThread, uint32_t prefixMask = 0xFFFFFFFFu) {
    if (pipe(ends) != 0) ends[0] = ends[1] = -1;
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
    mgr = std::make_unique<LogManager>(&testNode(), ends[1], useThread, "binlog", prefixMask, 4096, nullptr,
                                       64 * (4096 + 20) + 84);
    mgr->setStripLeadingDirectories(0);
    LogManager::setSourceForCustomLogTime(&FIXED_TIME);
    mgr->setTimeAcquisitionRoutine(&LogManager::returnCustomLogTime);
  }
  ~PipeManager() {
    mgr.reset();
    close(ends[0]);
    close(ends[1]);
  }
  LogManager* get() { return mgr.get(); }
  // Everything written so far (a writer thread first drains and stops).
  std::string bytes() {
    mgr->killProcessingThread();
    std::string out;
    char chunk[4096];
    ssize_t n;
    while ((n = read(ends[0], chunk, sizeof chunk)) > 0) out.append(chunk, static_cast<size_t>(n));
    return out;
  }

 private:
  int ends[2];
  std::unique_ptr<LogManager> mgr;
};

// A record on the heap with a fixed thread id and source position.
inline std::unique_ptr<LogMessageRecord> record(LogManager* mgr, uint32_t level = ZurLogLevelNames::app_error,
                                                const char* file = "src/bin/a.cpp", uint32_t line = 42) {
  auto rec = std::make_unique<LogMessageRecord>(mgr, level, file, line, static_cast<uint32_t>(std::strlen(file)));
  rec->threadId = 4242;
  return rec;
}

// Adds an argument record by hand (types no inserter produces).
inline void addRaw(LogMessageRecord& rec, LogMessageRecord::LogArgumentType type, const void* ptr, uint32_t len) {
  LogMessageRecord::ArgumentRecord& arg = rec.argList[rec.argCount++];
  arg.logArgs.u64 = 0;
  arg.logArgs.ptr = ptr;
  arg.argBaseType = type;
  arg.argLen = len;
}

inline const unsigned char HEX_BYTES[] = {0x00, 0xab, 0x7f};

// The statements of the image and round-trip tests: each fills a record.
using Statement = void (*)(LogMessageRecord&);
inline const Statement STATEMENTS[] = {
    [](LogMessageRecord&) {},                                       // no arguments, no text
    [](LogMessageRecord& r) { r << "x=" << 7u << "\n"; },          // one UINT32
    [](LogMessageRecord& r) {
      r << "i32 " << -5 << " i64 " << int64_t{-1234567890123} << " u64 " << uint64_t{18446744073709551615u}
        << " dbl " << 2.5 << " chr " << 'q' << " 100% " << AS_FIXED_POINT(-12345, 3) << " at "
        << AS_POSIX_NANOSECONDS(FIXED_TIME) << "\n";
    },
    [](LogMessageRecord& r) {
      r << "frag [" << AS_TEXT_BUFFER("abcdef", 3) << "] hex " << AS_HEXADECIMAL_BUFFER(HEX_BYTES, 3, true) << " HEX "
        << AS_HEXADECIMAL_BUFFER(HEX_BYTES, 3, false) << " bin " << AS_BINARY_BUFFER(HEX_BYTES, 2) << " esc "
        << AS_ESCAPED_TEXT_BUFFER("a\"b\n", 4) << "\n";
    },
    [](LogMessageRecord& r) {
      // Types only explicit arguments carry: ROM text, TEXT, a pointer to
      // bytes, a float, an empty fragment.
      r.setLogFormat("rom=%s text=%s ptr=%B flt=%g empty=[%B]\n");
      addRaw(r, LogMessageRecord::LOG_ARG_TYPE_ROM_TEXT, "rom!", 4);
      addRaw(r, LogMessageRecord::LOG_ARG_TYPE_TEXT, "abc", 3);
      addRaw(r, LogMessageRecord::LOG_ARG_TYPE_POINTER, "pointed", 7);
      LogMessageRecord::ArgumentRecord& f = r.argList[r.argCount++];
      f.logArgs.u64 = 0;
      f.logArgs.f = 0.75f;
      f.argBaseType = LogMessageRecord::LOG_ARG_TYPE_FLOAT;
      f.argLen = 4;
      addRaw(r, LogMessageRecord::LOG_ARG_TYPE_TEXT_FRAGMENT, "", 0);
    },
};

// Prefix masks the records are written with: none, the file name alone,
// everything (the format line included).
inline const uint32_t PREFIXES[] = {0, LogMessageRecord::LOG_FILENAME, 0xFFu};

}  // namespace binlog
