// A source file of component `io`: bare level names are io levels and test
// io_logLevelMask; prefixed names keep their own component.
#define THIS_COMPONENT io
#include "utils/logging/logging_api.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

#include <cstdio>
#include <string>

namespace {

std::string renderedBy(void (*emit)(LogManager*)) {
  std::FILE* file = std::tmpfile();
  {
    SharedMemoryVariableNode node("io-test", &DEFAULT_sharedMemoryVariableManager);
    LogManager mgr(&node, fileno(file), 0, "io-test", LogMessageRecord::LOG_ERROR_LEVEL, 4096, nullptr, 10000);
    emit(&mgr);
  }
  const std::string out = narvelix_test::descriptorText(fileno(file));
  std::fclose(file);
  return out;
}

}  // namespace

TEST(LogComponent, BareLevelsBelongToThisComponent) {
  EXPECT_EQ(&zurLogMaskOf(ZUR_LOG_LEVEL(info)), &io_logLevelMask);
  EXPECT_EQ(&zurLogMaskOf(ZUR_LOG_LEVEL(app_info)), &app_logLevelMask);
  // io starts at warning and above: bare info is off, app_info is on.
  const std::string text = renderedBy([](LogManager* mgr) {
    LOG_INTO(mgr, info) << "io info" << LOG_ENDLINE;
    LOG_INTO(mgr, warning) << "io warning" << LOG_ENDLINE;
    LOG_INTO(mgr, app_info) << "app info" << LOG_ENDLINE;
    LOG_COMPONENT_INTO(mgr, app, info) << "app info by component" << LOG_ENDLINE;
  });
  EXPECT_EQ(text, "WARNING io warning\nINFO app info\nINFO app info by component\n");
}

TEST(LogComponent, RawMaskFormsUseThisComponent) {
  const unsigned saved = unsigned(io_logLevelMask);
  EXPECT_FALSE(COMPONENT_LOG_ENABLED(THIS_COMPONENT, 64u));
  io_logLevelMask |= 64u;
  EXPECT_TRUE(COMPONENT_LOG_ENABLED(THIS_COMPONENT, 64u));
  io_logLevelMask = saved;
}
