// Reading binary records back: every statement under every prefix mask reads
// back as exactly the text line the text renderer makes of the same record;
// a stream cut or split anywhere reads the same or stops at the cut record's
// offset; damaged fields are refused with their record's offset.
#include "utils/logging/log_binary.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "log_binary_support.hpp"

// Level values are named bare here, as numbers for records.
using namespace ZurLogLevelNames;

namespace {

struct Image {
  std::string bytes;
  std::string text;                  // what the text renderer made of the same records
  std::vector<size_t> recordStarts;  // and the image's size at the end
  std::vector<size_t> textStarts;
};

Image buildImage(const std::vector<uint32_t>& prefixes) {
  binlog::PipeManager out(0);
  LogManager memory(nullptr, -1, 0, "memory", 0, 4096, nullptr, 4 * (4096 + 20) + 84);
  memory.setStripLeadingDirectories(0);
  Image image;
  size_t written = 0;
  for (uint32_t prefix : prefixes) {
    for (binlog::Statement fill : binlog::STATEMENTS) {
      auto rec = binlog::record(out.get());
      fill(*rec);
      rec->logMgr = &memory;
      size_t len = 0;
      SharedBufferAllocRecord* block = rec->formatRecordAsText(prefix, &len, 0);
      image.textStarts.push_back(image.text.size());
      if (block != nullptr) {
        image.text.append(reinterpret_cast<const char*>(memory.bufferAddress(block, nullptr)), len);
        memory.returnBuffer(block);
      }
      rec->logMgr = out.get();
      image.recordStarts.push_back(written);
      written += rec->writeAsBinaryToBuffer(prefix);
    }
  }
  image.recordStarts.push_back(written);
  image.textStarts.push_back(image.text.size());
  image.bytes = out.bytes();
  return image;
}

std::string readAll(const std::string& bytes, LogBinaryReader::Mode mode, bool* ok, std::string* error,
                    size_t split = 0) {
  LogBinaryReader reader(mode);
  std::string out;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  *ok = reader.feed(data, split, out) && reader.feed(data + split, bytes.size() - split, out) && reader.finish();
  *error = reader.errorText();
  return out;
}

}  // namespace

TEST(BinaryReader, EveryArgumentTypeReadsAsTheTextRendererWritesIt) {
  // Records that carry their format line (prefix bit 128), with and without
  // the other prefix fields.
  const Image image = buildImage({0x80u, 0x88u, 0xFFu, 0xB3u});
  ASSERT_EQ(image.bytes.size(), image.recordStarts.back());
  bool ok = false;
  std::string error;
  EXPECT_EQ(readAll(image.bytes, LogBinaryReader::TEXT, &ok, &error), image.text);
  EXPECT_TRUE(ok) << error;
  // Without its format line a record shows its values, space-separated.
  const Image bare = buildImage({0, LogMessageRecord::LOG_FILENAME | LogMessageRecord::LOG_ERROR_LEVEL});
  const time_t seconds = static_cast<time_t>(binlog::FIXED_TIME / 1000000000u);
  tm local{};
  localtime_r(&seconds, &local);
  char when[40];
  std::strftime(when, sizeof when, "%Y/%m/%d %H:%M:%S.456789012", &local);
  const std::string values = std::string("-5 -1234567890123 18446744073709551615 2.5 q -12.345 ") + when + "\n";
  EXPECT_EQ(readAll(bare.bytes, LogBinaryReader::TEXT, &ok, &error),
            "\n7\n" + values + "abc 00ab7f 00AB7F 00AB\nrom! abc pointed 0.75 \n" +
                "src/bin/a.cpp ERROR \nsrc/bin/a.cpp ERROR 7\nsrc/bin/a.cpp ERROR " + values +
                "src/bin/a.cpp ERROR abc 00ab7f 00AB7F 00AB\nsrc/bin/a.cpp ERROR rom! abc pointed 0.75 \n");
  EXPECT_TRUE(ok) << error;
}

TEST(BinaryReader, CutOrSplitAnywhere) {
  const Image image = buildImage({0xFFu});
  for (size_t cut = 0; cut <= image.bytes.size(); ++cut) {
    size_t complete = 0;  // records wholly before the cut
    while (image.recordStarts[complete + 1] <= cut && complete + 1 < image.recordStarts.size() - 1) ++complete;
    if (image.recordStarts[complete + 1] <= cut) ++complete;
    bool ok = false;
    std::string error;
    const std::string out = readAll(image.bytes.substr(0, cut), LogBinaryReader::TEXT, &ok, &error, cut / 2);
    EXPECT_EQ(out, image.text.substr(0, image.textStarts[complete])) << cut;
    const bool atBoundary = image.recordStarts[complete] == cut;
    EXPECT_EQ(ok, atBoundary) << cut;
    if (!atBoundary) {
      EXPECT_EQ(error.rfind("truncated record at byte offset " + std::to_string(image.recordStarts[complete]) + ":",
                            0),
                0u)
          << cut << ": " << error;
    }
  }
}

TEST(BinaryReader, DamagedFieldsAreRefusedWithTheRecordOffset) {
  const Image image = buildImage({0xFFu});
  // Record 1 holds one UINT32 (7), record 3 starts with the fragment "abc".
  auto le32 = [](uint32_t v) {
    return std::vector<unsigned char>{static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                      static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  };
  auto pair = [&](uint32_t a, uint32_t b) {
    std::vector<unsigned char> v = le32(a);
    const std::vector<unsigned char> w = le32(b);
    v.insert(v.end(), w.begin(), w.end());
    return v;
  };
  struct Case {
    size_t record;
    bool inValues;  // `at` counts from the first value header, else from the record's start
    int at;
    std::vector<unsigned char> bytes;
    const char* reason;
  };
  const Case cases[] = {
      {1, false, 0, {'2'}, "format version 0x32"},
      {1, false, 1, {'B'}, "byte order 0x42 is not little-endian"},
      {1, false, 4, le32(40), "record length 40"},
      {1, false, 4, le32(70000), "record length 70000"},
      {1, false, 36, le32(56), "file name offset is not 48"},
      {1, false, 40, le32(57), "file name not terminated"},
      {1, false, 40, le32(4000), "file name offset out of the record"},
      {1, false, 44, le32(200), "first value offset out of the record"},
      {1, false, 44, le32(80), "first value offset does not follow the format line"},  // 72 + 8
      {1, true, -8, std::vector<unsigned char>(8, 'x'), "format line not terminated"},
      {1, false, 32, le32(2), "value header past the record's end"},
      {1, false, 32, le32(0), "values do not end at the record's length"},
      {1, false, 32, le32(4000), "more values than a record holds"},
      {1, true, 12, {15}, "value header length is not 16"},
      {1, true, 8, le32(16), "value block length out of the record"},
      {1, true, 8, le32(4), "value block length out of the record"},
      {3, true, 0, pair(LogMessageRecord::LOG_ARG_TYPE_TEXT_FRAGMENT, 9), "value longer than its block"},
      {3, true, 0, pair(LogMessageRecord::LOG_ARG_TYPE_ROM_TEXT, 2), "text value not terminated"},
  };
  for (const Case& c : cases) {
    const size_t start = image.recordStarts[c.record];
    LogLineBinaryHeader h;
    std::memcpy(&h, image.bytes.data() + start, sizeof h);
    const size_t at = static_cast<size_t>(static_cast<ptrdiff_t>(start + (c.inValues ? h.offsetFirstArg : 0u)) + c.at);
    std::string damaged = image.bytes;
    std::memcpy(damaged.data() + at, c.bytes.data(), c.bytes.size());
    bool ok = true;
    std::string error;
    const std::string out = readAll(damaged, LogBinaryReader::TEXT, &ok, &error);
    EXPECT_FALSE(ok) << c.reason;
    EXPECT_EQ(out, image.text.substr(0, image.textStarts[c.record])) << c.reason;
    EXPECT_EQ(error.rfind("damaged record at byte offset " + std::to_string(start) + ": " + c.reason, 0), 0u)
        << error;
  }
}

TEST(BinaryReader, RoutingBitsOfARecordAreNotFollowed) {
  binlog::PipeManager out(0);
  auto rec = binlog::record(out.get(), app_errorAndStderr);
  *rec << "only on standard output\n";
  rec->writeAsBinaryToBuffer(LogMessageRecord::LOG_ERROR_LEVEL | LogMessageRecord::LOG_BINARY_FORMAT_STRING);
  bool ok = false;
  std::string error;
  testing::internal::CaptureStderr();
  EXPECT_EQ(readAll(out.bytes(), LogBinaryReader::TEXT, &ok, &error), "ERROR only on standard output\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(BinaryReader, RawModeListsTheFields) {
  binlog::PipeManager out(0);
  auto rec = binlog::record(out.get());
  *rec << "v=" << 7u << " t=" << AS_TEXT_BUFFER("hi\n", 3) << "\n";
  rec->writeAsBinaryToBuffer(LogMessageRecord::LOG_FILENAME | LogMessageRecord::LOG_BINARY_FORMAT_STRING);
  bool ok = false;
  std::string error;
  const std::string raw = readAll(out.bytes(), LogBinaryReader::RAW, &ok, &error);
  EXPECT_TRUE(ok) << error;
  EXPECT_EQ(raw,
            "record 0 offset=0\nformatVersion=1\nbyteOrder=L\nlogPrefixMask=136\nlogLineLength=128\n"
            "nanosecondTimestamp=1796605323456789012\nthreadId=4242\nlineNumber=42\nimportanceLevel=256\n"
            "argumentCount=2\noffsetFileName=48\noffsetFormatString=62\noffsetFirstArg=80\n"
            "fileName=\"src/bin/a.cpp\"\nformatString=\"v=%u t=%B\\n\"\n"
            "arg 0 type=UINT32(5) argLength=4 offsetNextArg=8 value=7\n"
            "arg 1 type=TEXT_FRAGMENT(144) argLength=3 offsetNextArg=8 value=hi\n\n");
}
