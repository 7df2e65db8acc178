// Log statements of the narvelix tool: every source of the tool belongs to the
// `app` component. NARVELIX_TEXT(text, length) inserts a text that is not
// NUL-terminated (row-store fields). Until the logging API is in the tree a
// minimal stand-in with the same statement shape writes one plain line
// ("LABEL message") to standard error, so the tool builds on its own.
#pragma once

#include "utils/base/compiler_hints.hpp"

#if __has_include("utils/logging/logging_api.hpp")
#include "utils/logging/logging_api.hpp"
#define NARVELIX_TEXT(text, length) AS_TEXT_BUFFER((text), (length))
#define NARVELIX_HAS_LOGGING_API 1
#else
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace narvelix_log_fallback {
enum AppLevel : uint32_t {
  app_trace = 16,
  app_debug = 32,
  app_info = 64,
  app_warning = 128,
  app_error = 256
};
inline uint32_t app_logLevelMask = 960;
struct Text {
  const char* text;
  uint32_t length;
};
struct Hex {
  const void* data;
  uint32_t length;
};
struct Line {
  char text[4096];
  size_t used = 0;
  explicit Line(uint32_t level) {
    const char* label = level >= 256 ? "ERROR " : level >= 128 ? "WARNING " : level >= 64 ? "INFO " : level >= 32 ? "DEBUG " : "TRACE ";
    add(label, std::strlen(label));
  }
  void add(const char* s, size_t n) {
    if (n > sizeof text - 1 - used) n = sizeof text - 1 - used;
    std::memcpy(text + used, s, n);
    used += n;
    text[used] = 0;
  }
  Line& operator<<(const char* s) { add(s, std::strlen(s)); return *this; }
  Line& operator<<(Text t) { add(t.text, t.length); return *this; }
  Line& operator<<(Hex h) {
    for (uint32_t i = 0; i < h.length; ++i) {
      char b[4];
      std::snprintf(b, sizeof b, "%02x", static_cast<const unsigned char*>(h.data)[i]);
      add(b, 2);
    }
    return *this;
  }
  Line& operator<<(int32_t v) { char b[32]; std::snprintf(b, sizeof b, "%d", static_cast<int>(v)); add(b, std::strlen(b)); return *this; }
  Line& operator<<(uint32_t v) { char b[32]; std::snprintf(b, sizeof b, "%u", static_cast<unsigned>(v)); add(b, std::strlen(b)); return *this; }
  ~Line() { std::fputs(text, stderr); }
};
}  // namespace narvelix_log_fallback
using narvelix_log_fallback::app_debug;
using narvelix_log_fallback::app_error;
using narvelix_log_fallback::app_info;
using narvelix_log_fallback::app_trace;
using narvelix_log_fallback::app_warning;
#define COMPONENT_LOG_ENABLED(component, lvl) \
  ((narvelix_log_fallback::component##_logLevelMask & (lvl)) == (lvl))
#define LOG_CERR(lvl)                                                 \
  {                                                                   \
    if ((narvelix_log_fallback::app_logLevelMask & (lvl)) == (lvl)) { \
      narvelix_log_fallback::Line logObj(lvl);                        \
      logObj
#define LOG_ENDLINE \
  "\n";             \
  }                 \
  }
#define NARVELIX_TEXT(text, length) \
  (narvelix_log_fallback::Text{(text), static_cast<uint32_t>(length)})
#define AS_HEXADECIMAL_BUFFER(d, len, lowercase) \
  (narvelix_log_fallback::Hex{(d), static_cast<uint32_t>(len)})
#endif
