// Log statements of the file-reading sources: every source under this folder
// belongs to the `io` component. Until the logging API is present in the tree
// a minimal stand-in with the same statement shape writes one plain line to
// standard error, so the reader builds on its own.
#pragma once

#if __has_include("utils/logging/logging_api.hpp")
#include "utils/logging/logging_api.hpp"
#else
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace read_file_log_fallback {
enum IoLevel : uint32_t { io_trace = 16, io_debug = 32, io_info = 64, io_warning = 128, io_error = 256 };
inline uint32_t io_logLevelMask = 896;
struct Line {
  char text[1024];
  size_t used = 0;
  void add(const char* s) {
    size_t n = std::strlen(s);
    if (n > sizeof text - 1 - used) n = sizeof text - 1 - used;
    std::memcpy(text + used, s, n);
    used += n;
    text[used] = 0;
  }
  Line& operator<<(const char* s) { add(s); return *this; }
  Line& operator<<(long long v) { char b[32]; std::snprintf(b, sizeof b, "%lld", v); add(b); return *this; }
  Line& operator<<(int v) { return *this << static_cast<long long>(v); }
  Line& operator<<(long v) { return *this << static_cast<long long>(v); }
  Line& operator<<(unsigned v) { return *this << static_cast<long long>(v); }
  Line& operator<<(unsigned long v) { return *this << static_cast<long long>(v); }
  ~Line() { std::fputs(text, stderr); }
};
}  // namespace read_file_log_fallback
using read_file_log_fallback::io_trace;
using read_file_log_fallback::io_warning;
using read_file_log_fallback::io_error;
#define LOG_CERR(lvl)                                                        \
  {                                                                          \
    if ((read_file_log_fallback::io_logLevelMask & (lvl)) == (lvl)) {        \
      read_file_log_fallback::Line logObj;                                   \
      logObj
#define LOG_ENDLINE \
  "\n";             \
  }                 \
  }
#endif
