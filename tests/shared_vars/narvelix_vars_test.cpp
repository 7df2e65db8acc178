// narvelix-vars and the segment lister: a segment written by this program,
// hand-built segments of the other byte order and of the 64-bit layout, damaged
// segments (one line and status 1, never a crash), and usage errors.
#include "utils/shared_vars/segment_listing.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/region_image.hpp"
#include "test_support.hpp"
#include "utils/shared_vars/shared_variable.hpp"

namespace {

using narvelix_test::RunResult;

RunResult runShell(const std::string& line) { return narvelix_test::runShell(line, NARVELIX_BINARY_DIR); }

RunResult runVars(const std::string& arguments) { return runShell(narvelix_test::tool(NARVELIX_VARS_EXE) + " " + arguments); }

std::string writeFile(const std::string& name, const unsigned char* bytes, size_t len) {
  return narvelix_test::writeFile(std::string(NARVELIX_BINARY_DIR) + "/" + name + "_" + std::to_string(getpid()) + ".smv",
                                  std::string(reinterpret_cast<const char*>(bytes), len));
}

// A segment of this process with a node tree and one variable of each kind.
struct SampleSegment {
  std::vector<uint64_t> words = std::vector<uint64_t>(512, 0);
  SharedMemoryVariableManager manager{false};
  SharedMemoryVariableNode app{"app", &manager};
  SharedMemoryVariableNode stats{"io_stats", &app};
  SMV_StandaloneNumeric<unsigned long long> bytesRead{"bytesRead", &stats, 123456789012ULL};
  SMV_StandaloneNumeric<int> delta{"delta", &app, -7};
  SMV_StandaloneNumeric<double> ratio{"ratio", &manager, 0.5};
  SMV_StandaloneString<128u> host{"host", &stats};
  SampleSegment() {
    host = "build";
    manager.initializeSegment(words.data(), words.size() * 8, "sample");
  }
  const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(words.data()); }
  size_t size() const { return words.size() * 8; }
};

const char SAMPLE_LISTING[] =
    "app = node\n"
    "/app/io_stats = node\n"
    "/app/io_stats/bytesRead = uint64 123456789012\n"
    "/app/delta = int32 -7\n"
    "ratio = double 0.500000\n"
    "/app/io_stats/host = text \"build\"\n";

// The sample's variables as another machine would have written them: the
// 32-bit layout in big-endian order, and the 64-bit layout in either order.
std::vector<unsigned char> foreignSegment(unsigned headerLen, bool big) {
  const unsigned width = headerLen == 84 ? 4 : 8;
  const size_t allocLen = 5 * width;
  RegionImage image(2048, big);
  struct Var {
    uint16_t type;
    const char* name;
    int parent;  // index of the parent variable, -1 for none
    uint64_t raw;
    const char* textValue;
  };
  const Var vars[] = {{32, "app", -1, 0, nullptr},          {32, "io_stats", 0, 0, nullptr},
                      {7, "bytesRead", 1, 123456789012ULL, nullptr}, {4, "delta", 0, 0xFFFFFFF9u, nullptr},
                      {10, "ratio", -1, 0x3FE0000000000000ULL, nullptr}, {18, "host", 1, 0, "build"}};
  const size_t footprint = 192;
  std::vector<size_t> at;
  for (size_t i = 0; i < 6; ++i) at.push_back(headerLen + 8 + footprint * i);
  image.header(headerLen, "SHMVAR01", "far:1", 2048, 0, at[0], at[5]);
  for (size_t i = 0; i < 6; ++i) {
    const Var& v = vars[i];
    image.record(at[i], width, at[i] + allocLen, footprint, 100, i + 1 < 6 ? at[i + 1] : 0);
    const size_t rec = at[i] + allocLen;
    image.put(rec, v.raw, v.type == 7 || v.type == 10 ? 8 : 4);
    image.put(rec + 8, v.parent < 0 ? 0 : at[static_cast<size_t>(v.parent)] + allocLen, 8);
    image.put(rec + 16, footprint, 4);
    image.put(rec + 24, v.type, 2);
    image.put(rec + 26, std::strlen(v.name) + 1, 2);
    image.text(rec + 28, v.name);
    if (v.textValue != nullptr) image.text(rec + 28 + std::strlen(v.name) + 1, v.textValue);
  }
  return image.bytes;
}

// The lister reads every form; the manager walks the segments of this host's
// byte order, behind 20- or 40-byte allocation records.
TEST(NarvelixVars, ReadsEitherByteOrderAndLayout) {
  for (unsigned headerLen : {84u, 96u}) {
    for (bool big : {false, true}) {
      const std::vector<unsigned char> bytes = foreignSegment(headerLen, big);
      std::string out, error;
      EXPECT_TRUE(listSegmentVariables(bytes.data(), bytes.size(), out, error)) << error;
      EXPECT_EQ(out, SAMPLE_LISTING) << headerLen << (big ? " big" : " little");
      if (big == hostIsLittleEndian()) continue;
      Storage seg(bytes.size());
      std::memcpy(seg.data(), bytes.data(), bytes.size());
      SharedMemoryVariableManager manager(false);
      manager.attachExistingSegment(seg.data(), seg.size());
      std::vector<std::string> names;
      SharedBufferAllocRecord_32* cursor32 = nullptr;
      SharedBufferAllocRecord_64* cursor64 = nullptr;
      while (SharedMemoryVariable_Record* r = headerLen == 84 ? manager.iterateOver32BitSegment(&cursor32)
                                                             : manager.iterateOver64BitSegment(&cursor64)) {
        names.push_back(r->varName);
      }
      EXPECT_EQ(names, (std::vector<std::string>{"app", "io_stats", "bytesRead", "delta", "ratio", "host"}))
          << headerLen;
    }
  }
}

TEST(NarvelixVars, DamagedSegmentsGiveOneLine) {
  struct Case {
    const char* what;
    size_t offset;  // where the damage is written, in the 32-bit little-endian sample
    std::vector<unsigned char> bytes;
    size_t keep;    // bytes of the file kept (0: all)
    const char* reason;
  };
  const std::vector<unsigned char> image = foreignSegment(84, false);
  // Allocation records at 92 + 192 i; variable records 20 bytes later.
  const Case cases[] = {
      {"truncated header", 0, {}, 40, "too short for a segment header (40 bytes)"},
      {"magic", 0, {'S', 'H', 'M', 'V', 'A', 'R', '0', '2'}, 0,
       "magic number \"SHMVAR02\" is not \"SHMVAR01\""},
      {"header length", 8, {90}, 0, "unknown header length 90"},
      {"byte order", 56, {1, 2, 3, 4}, 0, "unknown byte order tag 0x04030201"},
      {"head outside", 76, {0xF0, 0x07, 0, 0}, 0, "variable 1 links to offset 2032 outside the segment"},
      {"loop", 92 + 192 * 5 + 16, {92, 0, 0, 0}, 0, "the variable list loops back to offset 92"},
      {"wrong self offset", 92 + 192, {93, 0, 0, 0}, 0, "allocation record at offset 284 names another offset"},
      {"misaligned next", 92 + 16, {94, 1, 0, 0}, 0, "allocation record at offset 350 names another offset"},
      {"record length", 92 + 192 * 2 + 20 + 16, {0xFF, 0xFF, 0, 0}, 0,
       "variable 3 at offset 496 has a bad length 65535"},
      {"cut file", 0, {}, 92 + 192 * 5 + 40, "variable 6 at offset 1072 runs past the segment's end"},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> bytes = image;
    std::copy(c.bytes.begin(), c.bytes.end(), bytes.begin() + static_cast<long>(c.offset));
    if (c.keep != 0) bytes.resize(c.keep);
    const std::string path = writeFile("damaged", bytes.data(), bytes.size());
    const RunResult r = runVars(path);
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_EQ(r.err, "narvelix-vars: " + path + ": damaged segment: " + c.reason + "\n") << c.what;
    std::remove(path.c_str());
  }
}

TEST(NarvelixVars, UsageAndFileErrors) {
  struct Case {
    std::string arguments;
    int status;
    std::string errStart;
  };
  const Case cases[] = {
      {"", 2, "narvelix-vars: no segment file given\nusage: "},
      {"--watch", 2, "narvelix-vars: --watch needs a number of seconds\n"},
      {"--watch -1 x.smv", 2, "narvelix-vars: --watch wants seconds between 0 and 86400, not -1\n"},
      {"--bogus x.smv", 2, "narvelix-vars: unknown option --bogus\n"},
      {"a.smv b.smv", 2, "narvelix-vars: more than one file: b.smv\n"},
      {"/nonexistent/x.smv", 1, "narvelix-vars: /nonexistent/x.smv: No such file or directory\n"},
      {"/dev/null", 1, "narvelix-vars: /dev/null: not a regular file\n"},
  };
  for (const Case& c : cases) {
    const RunResult r = runVars(c.arguments);
    EXPECT_EQ(r.status, c.status) << c.arguments;
    EXPECT_EQ(r.err.rfind(c.errStart, 0), 0u) << c.arguments << ": " << r.err;
  }
}

TEST(NarvelixVars, WatchPrintsAgainUntilInterrupted) {
  SampleSegment sample;
  const std::string path = writeFile("watch", sample.bytes(), sample.size());
  const RunResult r = runShell(narvelix_test::tool(NARVELIX_VARS_EXE) + " --watch 0.05 " + path +
                             " & pid=$!; sleep 0.4; kill $pid; wait $pid; true");
  EXPECT_GE(r.out.size(), 2 * std::string(SAMPLE_LISTING).size() + 1) << r.out;
  EXPECT_EQ(r.out.rfind(std::string(SAMPLE_LISTING) + "\n" + SAMPLE_LISTING, 0), 0u) << r.out;
  std::remove(path.c_str());
}

}  // namespace
