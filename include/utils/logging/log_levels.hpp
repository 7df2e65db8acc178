// Components, their level names and mask variables, and the enabling rule a
// statement tests before it builds a record.
#pragma once

#include <cstdint>

#include "utils/base/compiler_hints.hpp"
#include "utils/logging/log_record.hpp"

// Every prefixed level name lives here; each component's scope namespace sees
// them, and the statement macros look level names up in that scope, so a
// client names a level (app_trace, or bare trace) without a using-directive.
namespace ZurLogLevelNames {}

#define ZUR_LOG_CAT_(a, b) a##b
#define ZUR_LOG_CAT(a, b) ZUR_LOG_CAT_(a, b)

// One level list, applied to prefixed and bare names alike.
#define ZUR_LOG_LEVEL_LIST(P, disableMaskValue)                                              \
  P##none = 0u, P##trace = 16u, P##debug = 32u, P##info = 64u, P##information = 64u,         \
  P##warn = 128u, P##warning = 128u, P##warningAndSyslog = 129u, P##warningAndStderr = 130u, \
  P##warningAndBroadcast = 131u, P##error = 256u, P##errorAndSyslog = 257u,                  \
  P##errorAndStderr = 258u, P##errorAndBroadcast = 259u, P##fatal = 512u,                    \
  P##fatalAndSyslog = 513u, P##fatalAndStderr = 514u, P##fatalAndBroadcast = 515u,           \
  P##user = 1024u, P##userInfo1 = 2112u, P##userInfo2 = 4160u, P##userInfo3 = 8256u,         \
  P##userInfo4 = 16448u, P##userInfo5 = 32832u, P##userInfo6 = 65600u,                       \
  P##userDebug1 = 2080u, P##userDebug2 = 4128u, P##userDebug3 = 8224u,                       \
  P##userDebug4 = 16416u, P##userDebug5 = 32800u, P##userDebug6 = 65568u,                    \
  P##userTrace1 = 2064u, P##userTrace2 = 4112u, P##userTrace3 = 8208u,                       \
  P##userTrace4 = 16400u, P##userTrace5 = 32784u, P##userTrace6 = 65552u,                    \
  P##userLevel1 = 2048u, P##userLevel2 = 4096u, P##userLevel3 = 8192u,                       \
  P##userLevel4 = 16384u, P##userLevel5 = 32768u, P##userLevel6 = 65536u,                    \
  P##basicLevels = 1008u, P##defaultMask = 960u, P##disableMask = (disableMaskValue),        \
  P##all = 2147483647u

// Defines the level names, the bare-name scope and the mask accessors of a
// component whose mask variable `component##_logLevelMask` is defined in one
// .cpp (LogMaskType_t component##_logLevelMask(SMV_STARTUP, "component_logMask",
// parentNode, initial), registered with the default variable manager by a
// start-up hook).
#define DEFINE_COMPONENT_LOG_MASKS_WITH_DISABLE(component, disableMaskValue)                     \
  namespace ZurLogLevelNames {                                                                  \
  enum ZUR_LOG_CAT(component, _LogLevels) : uint32_t { ZUR_LOG_LEVEL_LIST(component##_, disableMaskValue) }; \
  }                                                                                             \
  extern LogMaskType_t component##_logLevelMask;                                                \
  namespace component##_LogLevelScope {                                                         \
  using namespace ::ZurLogLevelNames;                                                           \
  enum BareLogLevels : uint32_t { ZUR_LOG_LEVEL_LIST(, disableMaskValue) }; \
  inline constexpr uint32_t componentDisableMask = (disableMaskValue);                          \
  inline LogMaskType_t& maskVariable() { return component##_logLevelMask; }                      \
  }                                                                                             \
  ZUR_ALWAYS_INLINE LogMaskType_t& zurLogMaskOf(ZurLogLevelNames::component##_LogLevels) {      \
    return component##_logLevelMask;                                                            \
  }                                                                                             \
  ZUR_ALWAYS_INLINE LogMaskType_t& zurLogMaskOf(component##_LogLevelScope::BareLogLevels) {     \
    return component##_logLevelMask;                                                            \
  }                                                                                             \
  constexpr uint32_t zurLogDisableMaskOf(ZurLogLevelNames::component##_LogLevels) {             \
    return (disableMaskValue);                                                                  \
  }                                                                                             \
  constexpr uint32_t zurLogDisableMaskOf(component##_LogLevelScope::BareLogLevels) {            \
    return (disableMaskValue);                                                                  \
  }
#define DEFINE_COMPONENT_LOG_MASKS(component) DEFINE_COMPONENT_LOG_MASKS_WITH_DISABLE(component, 0u)

// A further user level of a component: its base level ORed with user level N.
#define DECLARE_COMPONENT_USER_LOG_MASK(component, name, baseLevel, N)                         \
  inline constexpr ZurLogLevelNames::component##_LogLevels component##_##name =                \
      static_cast<ZurLogLevelNames::component##_LogLevels>(                                    \
          static_cast<uint32_t>(baseLevel) | (static_cast<uint32_t>(LogMessageRecord::LOG_SEVERITY_USER) << (N)))

// Compile-time disable masks: a build may define these to remove whole levels.
#ifndef APP_LOG_DISABLE_MASK
#define APP_LOG_DISABLE_MASK 0u
#endif
#ifndef IO_LOG_DISABLE_MASK
#define IO_LOG_DISABLE_MASK 0u
#endif
DEFINE_COMPONENT_LOG_MASKS_WITH_DISABLE(app, APP_LOG_DISABLE_MASK)
DEFINE_COMPONENT_LOG_MASKS_WITH_DISABLE(io, IO_LOG_DISABLE_MASK)

// A file that does not define THIS_COMPONENT belongs to `app`.
namespace THIS_COMPONENT_LogLevelScope = app_LogLevelScope;

// The enabling rule on plain values: the level meets no disable bit, and every
// severity bit of the level (routing bits 0..3 excluded) is set in the mask.
constexpr bool zurLogEnabledFor(uint32_t maskValue, uint32_t disableMask, uint32_t level) {
  const uint32_t severityBits = level & ~static_cast<uint32_t>(LogMessageRecord::AND_SPECIAL_MASK);
  return (level & disableMask) == 0 && (maskValue & severityBits) == severityBits;
}

template <typename Level>
ZUR_ALWAYS_INLINE bool zurLogLevelEnabled(Level level) {
  const uint32_t lvl = static_cast<uint32_t>(level);
  if ((lvl & zurLogDisableMaskOf(level)) != 0) return false;
  const uint32_t severityBits = lvl & ~static_cast<uint32_t>(LogMessageRecord::AND_SPECIAL_MASK);
  return (static_cast<uint32_t>(zurLogMaskOf(level)) & severityBits) == severityBits;
}

// The level named `lvl` (bare or prefixed) as seen from `component`.
#define ZUR_LOG_LEVEL_IN(component, lvl) (ZUR_LOG_CAT(component, _LogLevelScope)::lvl)
#define ZUR_LOG_LEVEL(lvl) ZUR_LOG_LEVEL_IN(THIS_COMPONENT, lvl)

// The value of `mask` (level names of `component`, bare or prefixed, numbers,
// or an expression over them) as a uint32_t.
#define ZUR_LOG_MASK_IN(component, mask)                  \
  ([&]() -> uint32_t {                                    \
    using namespace ZUR_LOG_CAT(component, _LogLevelScope); \
    return static_cast<uint32_t>(mask);                   \
  }())
// True when `mask` is enabled for `component`.
#define COMPONENT_LOG_ENABLED(component, mask)                                              \
  zurLogEnabledFor(static_cast<uint32_t>(ZUR_LOG_CAT(component, _LogLevelScope)::maskVariable()), \
                   ZUR_LOG_CAT(component, _LogLevelScope)::componentDisableMask,            \
                   ZUR_LOG_MASK_IN(component, mask))
#define ENABLE_COMPONENT_LOG_LEVEL(component, level) \
  (ZUR_LOG_CAT(component, _LogLevelScope)::maskVariable() |= ZUR_LOG_MASK_IN(component, level))
#define DISABLE_COMPONENT_LOG_LEVEL(component, level) \
  (ZUR_LOG_CAT(component, _LogLevelScope)::maskVariable() &= ~ZUR_LOG_MASK_IN(component, level))

#define THIS_COMPONENT_LOG_MANAGER LogManager::DEFAULT_LogManager
