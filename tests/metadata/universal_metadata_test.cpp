// The description macros of the format header, and the stream operator of a
// generated header (the generated tables are checked against the files they
// were generated with in metadata_reader_test.cpp).
#include "utils/metadata/UniversalMetaData.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "golden/types.hpp"

namespace {

struct ExpectedField {
  const char *name;
  uint8_t group;
  uint8_t type;
  size_t offset;
  size_t length;
};

void expectTable(const UniversalMetaData_FieldDescription *table, uint32_t total,
                 const ExpectedField *expected, size_t expectedCount) {
  ASSERT_EQ(total, expectedCount);
  for (size_t i = 0; i < expectedCount; ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_STREQ(table[i].fieldName, expected[i].name);
    EXPECT_EQ(table[i].fieldGroupId, expected[i].group);
    EXPECT_EQ(table[i].fieldType, expected[i].type);
    EXPECT_EQ(table[i].fieldOffset, expected[i].offset);
    EXPECT_EQ(table[i].fieldLength, expected[i].length);
    EXPECT_EQ(table[i]._pad[0], 0);
    EXPECT_EQ(table[i]._pad[1], 0);
  }
  // The end marker is all zero bytes.
  const UniversalMetaData_FieldDescription &marker = table[expectedCount];
  const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&marker);
  for (size_t b = 0; b < sizeof(marker); ++b) EXPECT_EQ(bytes[b], 0u) << "marker byte " << b;
}

// Collects whatever the generated stream operators write. Values are taken
// by value: members of a densely packed record may be misaligned, and binding
// a reference to one is undefined.
struct TextStream {
  std::string text;
  template <typename V>
  TextStream &operator<<(V v) {
    if constexpr (std::is_same_v<V, VariableFixedPointValue>) {
      text += std::to_string(v.value) + "e-" + std::to_string(int(v.precision));
    } else if constexpr (std::is_arithmetic_v<V>) {
      text += std::to_string(v);
    } else {
      text += std::string_view(v);
    }
    return *this;
  }
};

}  // namespace

TEST(UniversalMetaData, NamedAndZeroFilledMacrosSetNameAndGroup) {
  struct Local {
    int32_t a;
    uint64_t b;
    VariableFixedPointValue c;
  };
  const UniversalMetaData_FieldDescription table[] = {
      DESCRIBE_NAMED_FIELD_OF_CLASS("alpha", a, SMV_TYPE_INT32, Local),
      DESCRIBE_OPTIONAL_NAMED_FIELD_OF_CLASS(4, "beta", b, SMV_TYPE_UINT64, Local),
      DESCRIBE_OPTIONAL_OR_ZERO_FILLED_FIELD_OF_CLASS(5, c, SMV_TYPE_FIXED | 128, Local),
      DESCRIBE_OPTIONAL_OR_ZERO_FILLED_NAMED_FIELD_OF_CLASS(6, "b2", b, SMV_TYPE_UINT64, Local),
      DESCRIBE_OPTIONAL_FIELD_OF_CLASS(7, a, SMV_TYPE_INT32, Local),
      {0, 0, 0, 0, {}, {}},
  };
  const ExpectedField expected[] = {
      {"alpha", 1, 4, 0, 4},
      {"beta", 4, 7, offsetof(Local, b), 8},
      {"c", 128 | 5, 9 | 128, offsetof(Local, c), sizeof(VariableFixedPointValue)},
      {"b2", 128 | 6, 7, offsetof(Local, b), 8},
      {"a", 7, 4, 0, 4},
  };
  expectTable(table, std::size(expected), expected, std::size(expected));
  EXPECT_EQ(RELATIVE_FIELD_OFFSET(Local, c), offsetof(Local, c));
}

TEST(UniversalMetaData, GeneratedStreamOperatorWritesEveryField) {
  Tarquel_MetaDataRecord r{};
  r.id = 3;
  r.neg = 7;
  std::memcpy(r.name, "abcdefgh", 8);  // full width: no terminator
  r.price = VariableFixedPointValue{1250, 2};
  TextStream os;
  os << r;
  EXPECT_EQ(os.text, "[Tarquel_MetaDataRecord={ id=3 delta=0 big=0 neg=7 price=1250e-2 name=\"abcdefgh\" blank=\"\" }]");
}
