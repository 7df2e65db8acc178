// Shared variable records: the bytes a registration writes against a
// hand-written image, the text forms (formatAsText, getPathPrefix,
// getFullName), and records from untrusted segments. Records of the other
// byte order are rendered in narvelix_vars_test.
#include "utils/shared_vars/shared_variable.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "base/region_image.hpp"

namespace {

using SMV = SharedMemoryVariable;
constexpr unsigned ALL = SMV::SMV_DISPLAY_NAME | SMV::SMV_DISPLAY_EQUALS | SMV::SMV_DISPLAY_TYPE |
                         SMV::SMV_DISPLAY_VALUE;

static_assert(SMV_TypeCodeOf<int>::code == SMV::SMV_TYPE_INT32);
static_assert(SMV_TypeCodeOf<unsigned>::code == SMV::SMV_TYPE_UINT32);
static_assert(SMV_TypeCodeOf<long long>::code == SMV::SMV_TYPE_INT64);
static_assert(SMV_TypeCodeOf<unsigned long long>::code == SMV::SMV_TYPE_UINT64);
static_assert(SMV_TypeCodeOf<long>::code == (sizeof(long) == 8 ? SMV::SMV_TYPE_INT64 : SMV::SMV_TYPE_INT32));
static_assert(SMV_TypeCodeOf<unsigned long>::code == (sizeof(long) == 8 ? SMV::SMV_TYPE_UINT64 : SMV::SMV_TYPE_UINT32));
static_assert(SMV_TypeCodeOf<float>::code == SMV::SMV_TYPE_FLOAT);
static_assert(SMV_TypeCodeOf<double>::code == SMV::SMV_TYPE_DOUBLE);
static_assert(SMV_TypeCodeOf<short>::code == 255 && SMV_TypeCodeOf<bool>::code == 255);

std::string text(const SharedMemoryVariable_Record* r, unsigned flags, const char* prefix = "", bool native = true,
                 size_t len = 256) {
  std::vector<char> bfr(len + 1, '#');
  r->formatAsText(bfr.data(), len, flags, prefix, native);
  EXPECT_EQ(bfr[len], '#') << "wrote past bfrLen";
  return bfr.data();
}

TEST(SharedMemoryVariableRecord, RegistrationWritesTheImage) {
  if (!hostIsLittleEndian()) GTEST_SKIP() << "images are little-endian";
  Storage seg(4096);
  SharedMemoryVariableManager manager(false);
  SharedMemoryVariableNode app("app", &manager);
  SMV_StandaloneNumeric<unsigned> count("count", &app, 42u);
  SMV_StandaloneString<128u> label("s", &manager);
  label = "abc";
  manager.initializeSegment(seg.data(), 4096, "comp");
  RegionImage image(4096, false);
  image.header(84, "SHMVAR01", "comp:" + std::to_string(getpid()), 4096, 84, 3928, 3504);
  image.record(84, 4, 104, 3420, 0xFFFFFFFFu, 0);
  image.record(3928, 4, 3948, 148, 91, 3780);  // node: 3 + 64 + 4 = 71 -> 128, + 20
  image.put(3948 + 16, 148, 4);
  image.put(3948 + 24, 32, 2);
  image.put(3948 + 26, 4, 2);
  image.text(3948 + 28, "app");
  image.record(3780, 4, 3800, 148, 94, 3504);  // uint32: 4 + 64 + 6 = 74 -> 128, + 20
  image.put(3800, 42, 4);
  image.put(3800 + 8, 3948, 8);
  image.put(3800 + 16, 148, 4);
  image.put(3800 + 24, 5, 2);
  image.put(3800 + 26, 6, 2);
  image.text(3800 + 28, "count");
  image.record(3504, 4, 3524, 276, 214, 0);  // text: 128 + 64 + 2 = 194 -> 256, + 20
  image.put(3524 + 16, 276, 4);
  image.put(3524 + 20, 4, 4);
  image.put(3524 + 24, 18, 2);
  image.put(3524 + 26, 2, 2);
  image.text(3524 + 28, std::string("s\0abc", 5));
  for (size_t i = 0; i < 4096; ++i) ASSERT_EQ(seg.data()[i], image.bytes[i]) << "first difference at offset " << i;
  // Later writes go to the segment.
  count += 8u;
  EXPECT_EQ(seg.data()[3800], 50);
  EXPECT_EQ(app.getType(), SMV::SMV_TYPE_NAME_NODE);
}

// A record as a registration in a segment would write it (native order).
SharedMemoryVariable_Record* makeRecord(std::vector<uint64_t>& space, uint16_t type, const char* name,
                                        const void* value, size_t valueLen, const char* textValue = nullptr) {
  space.assign(32, 0);
  auto* r = reinterpret_cast<SharedMemoryVariable_Record*>(space.data());
  r->recordType = type;
  r->allocatedLength = 20 + 8 * 32;
  r->varNameLength = static_cast<uint16_t>(std::strlen(name) + 1);
  std::strcpy(r->varName, name);
  if (value != nullptr) std::memcpy(&r->numericValue, value, valueLen);
  if (textValue != nullptr) std::strcpy(r->varName + r->varNameLength, textValue);
  return r;
}

TEST(SharedMemoryVariableRecord, FormatAsTextPiecesAndValues) {
  const int32_t minus7 = -7;
  const uint32_t u42 = 42;
  const int64_t bigNegative = -9000000000LL;
  const uint64_t u64max = UINT64_MAX;
  const float f = 1.5f;
  const double d = -0.25;
  struct Case {
    uint16_t type;
    const void* value;
    size_t len;
    const char* textValue;
    unsigned flags;
    const char* prefix;
    const char* expected;
  };
  const Case cases[] = {
      {5, &u42, 4, nullptr, ALL, "/app", "/app/count = uint32 42"},
      {5, &u42, 4, nullptr, ALL, "", "count = uint32 42"},
      {4, &minus7, 4, nullptr, SMV::SMV_DISPLAY_VALUE, "", "-7"},
      {6, &bigNegative, 8, nullptr, SMV::SMV_DISPLAY_TYPE | SMV::SMV_DISPLAY_VALUE, "", "int64 -9000000000"},
      {7, &u64max, 8, nullptr, SMV::SMV_DISPLAY_VALUE, "", "18446744073709551615"},
      {8, &f, 4, nullptr, SMV::SMV_DISPLAY_VALUE, "", "1.500000"},
      {10, &d, 8, nullptr, SMV::SMV_DISPLAY_VALUE, "", "-0.250000"},
      {18, nullptr, 0, "abc", SMV::SMV_DISPLAY_VALUE, "", "\"abc\""},
      {19, nullptr, 0, "xy", ALL, "", "count = binary \"xy\""},
      {16, &u42, 4, nullptr, ALL, "", "count = unknown"},
      {32, nullptr, 0, nullptr, ALL, "/a", "/a/count = node"},
      {5, &u42, 4, nullptr, SMV::SMV_DISPLAY_NAME | SMV::SMV_DISPLAY_EQUALS, "", "count ="},
      {5, &u42, 4, nullptr, 0, "", ""},
  };
  for (const Case& c : cases) {
    std::vector<uint64_t> space;
    const SharedMemoryVariable_Record* r = makeRecord(space, c.type, "count", c.value, c.len, c.textValue);
    EXPECT_EQ(text(r, c.flags, c.prefix), c.expected) << c.expected;
  }
}

TEST(SharedMemoryVariableRecord, FormatAsTextStaysInsideTheBuffer) {
  const uint32_t u42 = 42;
  std::vector<uint64_t> space;
  const SharedMemoryVariable_Record* r = makeRecord(space, 5, "count", &u42, 4);
  const std::string full = "/app/count = uint32 42";
  for (size_t len = 1; len <= 30; ++len) {
    const std::string got = text(r, ALL, "/app", true, len);
    EXPECT_LT(got.size(), len);
    EXPECT_EQ(full.compare(0, got.size(), got), 0) << len << " '" << got << "'";
    if (len > full.size() + 1) {
      EXPECT_EQ(got, full) << len;
    }
  }
}

TEST(SharedMemoryVariableRecord, NamesAndTextsAreReadOnlyInsideTheAllocation) {
  std::vector<uint64_t> space;
  SharedMemoryVariable_Record* r = makeRecord(space, 18, "name", nullptr, 0);
  // A name length beyond the allocation and no NUL anywhere: bounded by the
  // allocation (allocatedLength - 48 bytes from varName).
  r->allocatedLength = 20 + 64 + 8;
  r->varNameLength = 60000;
  std::memset(r->varName, 'n', 44);
  EXPECT_EQ(text(r, ALL), std::string(44, 'n') + " = text \"\"");
  // A text without a NUL stops at the allocation's end.
  r->varNameLength = 3;
  EXPECT_EQ(text(r, SMV::SMV_DISPLAY_VALUE), "\"" + std::string(41, 'n') + "\"");
}

TEST(SharedMemoryVariableRecord, PathPrefixFollowsOnlyRecordsInsideTheSegment) {
  struct Case {
    uint64_t parentOffset;
    const char* expected;
  };
  const Case cases[] = {
      {0, ""},          {200, "/p"},   {1000, ""},     // past the end (1000 + 64 > 1024)
      {40, ""},         {202, ""},     // inside the header; misaligned
      {960, "/edge"},   // the last record that fits
  };
  for (const Case& c : cases) {
    Storage seg(1024);
    auto put = [&](size_t at, const char* name, uint64_t parent) {
      auto* r = reinterpret_cast<SharedMemoryVariable_Record*>(seg.data() + at);
      std::memcpy(&r->parentNodeOffset, &parent, 8);
      r->allocatedLength = 84;
      r->varNameLength = static_cast<uint16_t>(std::strlen(name) + 1);
      std::strcpy(r->varName, name);
      return r;
    };
    put(200, "p", 0);
    put(960, "edge", 0);
    const SharedMemoryVariable_Record* r = put(500, "v", c.parentOffset);
    char prefix[64];
    EXPECT_EQ(r->getPathPrefix(prefix, sizeof prefix, seg.data(), true, 1024),
              static_cast<int>(std::strlen(c.expected)));
    EXPECT_STREQ(prefix, c.expected) << c.parentOffset;
  }
}

TEST(SharedMemoryVariableRecord, AncestorChainsAreCutToTheSixteenNearest) {
  Storage seg(65536);
  SharedMemoryVariableManager manager(false);
  manager.initializeSegment(seg.data(), seg.size(), "chain");
  std::vector<std::unique_ptr<SharedMemoryVariableNode>> nodes;
  std::vector<std::string> names;
  for (int i = 0; i < 20; ++i) names.push_back("n" + std::to_string(i));
  nodes.push_back(std::make_unique<SharedMemoryVariableNode>(names[0].c_str(), &manager));
  for (int i = 1; i < 20; ++i) {
    const char* name = names[static_cast<size_t>(i)].c_str();
    nodes.push_back(std::make_unique<SharedMemoryVariableNode>(name, nodes.back().get()));
  }
  SMV_StandaloneNumeric<int> leaf("leaf", nodes.back().get(), 1);
  std::string expected;
  for (int i = 4; i < 20; ++i) expected += "/n" + std::to_string(i);
  char bfr[256];
  EXPECT_EQ(leaf.dataPointer->getPathPrefix(bfr, sizeof bfr, seg.data(), true, seg.size()),
            static_cast<int>(expected.size()));
  EXPECT_EQ(std::string(bfr), expected);
  EXPECT_EQ(leaf.getFullName(bfr, sizeof bfr), static_cast<int>(expected.size()));
  EXPECT_EQ(std::string(bfr), expected);
  // Cut to the buffer, always terminated.
  EXPECT_EQ(leaf.getFullName(bfr, 8), 7);
  EXPECT_EQ(std::string(bfr), expected.substr(0, 7));
  EXPECT_EQ(leaf.dataPointer->getPathPrefix(bfr, 8, seg.data(), true, seg.size()), 7);
  EXPECT_EQ(nodes[0]->getFullName(bfr, sizeof bfr), 2);  // no parent: the own name
  EXPECT_STREQ(bfr, "n0");
  // A loop of parents is walked at most 16 times.
  int64_t self = leaf.dataPointer->parentNodeOffset;
  std::memcpy(&nodes.back()->dataPointer->parentNodeOffset, &self, 8);
  EXPECT_EQ(leaf.dataPointer->getPathPrefix(bfr, sizeof bfr, seg.data(), true, seg.size()), 16 * 4);
}

TEST(SharedMemoryVariableRecord, LongNamesRunPastTheFixedRecord) {
  Storage seg(4096);
  SharedMemoryVariableManager manager(false);
  manager.initializeSegment(seg.data(), seg.size(), "long");
  const std::string name(70, 'x');
  SMV_StandaloneNumeric<int> v(name.c_str(), &manager, 5);
  size_t len = 0;
  EXPECT_EQ(std::string(v.getName(&len)), name);
  EXPECT_EQ(len, 70u);
  EXPECT_EQ(v.dataPointer->allocatedLength, 192u + 20u);  // 4 + 64 + 71 = 139 -> 192
  EXPECT_EQ(text(v.dataPointer, ALL), name + " = int32 5");
}

}  // namespace
