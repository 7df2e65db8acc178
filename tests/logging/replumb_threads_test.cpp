// Capture of a descriptor: lines written to it arrive, marked, at its
// original destination; the descriptor is restored afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "test_support.hpp"
#include "utils/logging/logging_api.hpp"
#include "utils/logging/replumb_and_log.hpp"

using narvelix_test::descriptorText;

TEST(ReplumbAndLog, CompleteLinesAndTheRestAreMarked) {
  std::FILE* file = std::tmpfile();
  const int fd = dup(fileno(file));
  {
    ReplumbAndLog capture(fd, &ReplumbAndLog::acceptData, "capture_test");
    ASSERT_TRUE(capture.isCapturing());
    EXPECT_EQ(capture.logMgr, nullptr);
    const char text[] = "one\ntwo\nthr";
    ASSERT_EQ(write(fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
  }
  EXPECT_EQ(descriptorText(fileno(file)), "PREFIX+ one\nPREFIX+ two\nPREFIX: thr");
  // Restored: the descriptor writes to the file again.
  ASSERT_EQ(write(fd, "after\n", 6), 6);
  EXPECT_EQ(descriptorText(fileno(file)), "PREFIX+ one\nPREFIX+ two\nPREFIX: thrafter\n");
  close(fd);
  std::fclose(file);
}

TEST(ReplumbAndLog, CapturesTheStandardOutputManagersLines) {
  std::FILE* file = std::tmpfile();
  std::fflush(stdout);
  const int savedStdout = dup(STDOUT_FILENO);
  ASSERT_EQ(dup2(fileno(file), STDOUT_FILENO), STDOUT_FILENO);
  {
    ReplumbAndLog capture(STDOUT_FILENO, &ReplumbAndLog::acceptData, "stdout_capture");
    ASSERT_TRUE(capture.isCapturing());
    for (int i = 0; i < 100; ++i) LOG_COUT(app_error) << "line " << i << AS_PREFIXED_TEXT(0)
  }
  dup2(savedStdout, STDOUT_FILENO);
  close(savedStdout);
  // Pieces may be split across reads; joined, the text is the lines in order.
  std::string joined;
  const std::string text = descriptorText(fileno(file));
  size_t at = 0;
  while (at < text.size()) {
    ASSERT_TRUE(text.compare(at, 8, "PREFIX+ ") == 0 || text.compare(at, 8, "PREFIX: ") == 0) << text.substr(at);
    at += 8;
    size_t end = text.find("PREFIX", at);
    if (end == std::string::npos) end = text.size();
    joined += text.substr(at, end - at);
    at = end;
  }
  std::string expected;
  for (int i = 0; i < 100; ++i) expected += "line " + std::to_string(i);
  EXPECT_EQ(joined, expected);
  std::fclose(file);
}
