// Binary records written into a pipe: the bytes of every statement under
// every prefix mask match the golden image (fixed time source and thread id),
// the header fields of the documented layouts hold, and the writer-thread
// path produces the same bytes as the direct path.
#include "log_binary_support.hpp"

#include <gtest/gtest.h>

#include <cstring>

#include "test_support.hpp"

// Level values are named bare here, as numbers for records.
using namespace ZurLogLevelNames;

namespace {

std::string writeAll(uint_fast8_t useThread) {
  binlog::PipeManager out(useThread);
  for (uint32_t prefix : binlog::PREFIXES) {
    for (binlog::Statement fill : binlog::STATEMENTS) {
      auto rec = binlog::record(out.get(), app_error, "a.cpp");
      fill(*rec);
      rec->writeAsBinaryToBuffer(prefix);
    }
  }
  return out.bytes();
}

LogLineBinaryHeader headerAt(const std::string& image, size_t at) {
  LogLineBinaryHeader h{};
  if (at + sizeof h <= image.size()) std::memcpy(&h, image.data() + at, sizeof h);
  return h;
}

}  // namespace

TEST(BinaryRecords, ImageOfEveryStatementUnderEveryPrefix) {
  const std::string image = writeAll(0);
  narvelix_test::expectGolden(image, "log_binary_records.bin");
  // The documented layouts, record by record: length, format line offset,
  // first value offset, value count (the fixed header fields are listed by
  // the reader's raw-mode test).
  struct Fields {
    uint32_t length, formatOffset, firstArg, args;
  };
  const Fields expected[] = {
      {48, 48, 48, 0},           // prefix 0, nothing
      {48 + 16 + 8, 48, 48, 1},  // one UINT32: 4 bytes and 4 of padding
      {48 + 7 * 24, 48, 48, 7},
      {48 + 16 + 8 + 16 + 8 + 16 + 8 + 16 + 8, 48, 48, 4},
      {48 + 16 + 8 + 16 + 8 + 16 + 8 + 24 + 16, 48, 48, 5},
      {56, 54, 56, 0},  // file name "a.cpp": 48 + 6, padded to 56
  };
  size_t at = 0;
  for (const Fields& f : expected) {
    const LogLineBinaryHeader h = headerAt(image, at);
    EXPECT_EQ(h.logLineLength, f.length) << "record at " << at;
    EXPECT_EQ(h.offsetFormatString, f.formatOffset) << "record at " << at;
    EXPECT_EQ(h.offsetFirstArg, f.firstArg) << "record at " << at;
    EXPECT_EQ(h.argumentCount, f.args) << "record at " << at;
    at += h.logLineLength;
  }
}

TEST(BinaryRecords, WriterThreadWritesTheSameBytes) {
  EXPECT_EQ(writeAll(1), writeAll(0));
  // The statement forms end the same way: BINARY_ENDREC adds the newline.
  std::string images[2];
  for (const uint_fast8_t useThread : {uint_fast8_t{0}, uint_fast8_t{1}}) {
    binlog::PipeManager out(useThread, 0x88u);
    LOG_INTO(out.get(), app_warning) << "n=" << 3u << BINARY_ENDREC;
    LOG_INTO(out.get(), app_warning) << "n=" << 4u << AS_BINARY_RECORD;
    images[useThread] = out.bytes();
  }
  EXPECT_EQ(images[0], images[1]);
  ASSERT_GT(images[0].size(), 48u);
  const LogLineBinaryHeader h = headerAt(images[0], 0);
  EXPECT_EQ(h.logPrefixMask, 0x88u);
  const std::string format = images[0].substr(h.offsetFormatString, 6);
  EXPECT_EQ(format, std::string("n=%u\n", 6));
}

TEST(BinaryRecords, ValuesAreBoundedByTheirBlocks) {
  binlog::PipeManager out(0, 0);
  // Inline values keep at most 8 bytes; a type the writer does not know is
  // written all the same, with a notice.
  auto inlineValues = binlog::record(out.get());
  binlog::addRaw(*inlineValues, LogMessageRecord::LOG_ARG_TYPE_CHAR, nullptr, 12);
  binlog::addRaw(*inlineValues, static_cast<LogMessageRecord::LogArgumentType>(99), nullptr, 12);
  testing::internal::CaptureStderr();
  inlineValues->writeAsBinaryToBuffer(0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Type not really recognized: 99\n");
  // A record ends before the first value that does not fit its block whole:
  // after one 2016-byte value exactly 2016 bytes are left, not enough for the
  // next value and its header.
  auto big = binlog::record(out.get());
  const std::string text(2016, 'b');
  for (int i = 0; i < 3; ++i) *big << AS_TEXT_BUFFER(text.data(), text.size());
  testing::internal::CaptureStderr();
  big->writeAsBinaryToBuffer(0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Too many elements: 1\n");
  const std::string image = out.bytes();
  const LogLineBinaryHeader small = headerAt(image, 0);
  EXPECT_EQ(small.logLineLength, 48u + 2 * 24);
  const LogLineBinaryHeader h = headerAt(image, small.logLineLength);
  EXPECT_EQ(h.argumentCount, 1u);
  EXPECT_EQ(h.logLineLength, 48u + 16 + 2016);
  EXPECT_EQ(image.size(), small.logLineLength + h.logLineLength);
}
