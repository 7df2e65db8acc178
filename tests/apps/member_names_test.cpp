// Member names of the generated struct: each rule on its own and in the
// orders that make them interact (a changed name meeting an unchanged one,
// repeats of repeats).
#include "utils/apps/narvelix/member_names.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace narvelix_names;

TEST(MemberNames, RulesAndTheirInteractions) {
  struct Case {
    std::vector<const char*> fields;
    std::vector<std::string> members;
    std::vector<MemberNameChange> changes;
  };
  const Case cases[] = {
      {{"id", "price", "final", "import", "_1", "a_b_"},
       {"id", "price", "final", "import", "_1", "a_b_"},
       {NAME_KEPT, NAME_KEPT, NAME_KEPT, NAME_KEPT, NAME_KEPT, NAME_KEPT}},
      {{"1960", "120_jefferson_s", "private", "and", "co_await", "char8_t"},
       {"_1960", "_120_jefferson_s", "private_", "and_", "co_await_", "char8_t_"},
       {NAME_LEADING_DIGIT, NAME_LEADING_DIGIT, NAME_KEYWORD, NAME_KEYWORD, NAME_KEYWORD,
        NAME_KEYWORD}},
      {{"_Total", "a__b", "__x", "_total"},
       {"_Total_", "a__b_", "__x_", "_total"},
       {NAME_RESERVED, NAME_RESERVED, NAME_RESERVED, NAME_KEPT}},
      {{"id", "id", "id", "id_2"},
       {"id", "id_2", "id_3", "id_2_2"},
       {NAME_KEPT, NAME_REPEATED, NAME_REPEATED, NAME_REPEATED}},
      // A changed name that equals an unchanged earlier one is a repeat.
      {{"_1960", "1960", "class_", "class"},
       {"_1960", "_1960_2", "class_", "class__2"},
       {NAME_KEPT, NAME_REPEATED, NAME_KEPT, NAME_REPEATED}},
      // The repeat number skips suffixes that earlier columns already hold.
      {{"a", "a_2", "a"}, {"a", "a_2", "a_3"}, {NAME_KEPT, NAME_KEPT, NAME_REPEATED}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields[0]);
    std::vector<MemberName> members(c.fields.size());
    makeMemberNames(c.fields.data(), static_cast<int>(c.fields.size()), members.data());
    for (size_t i = 0; i < c.fields.size(); ++i) {
      EXPECT_EQ(members[i].text, c.members[i]) << c.fields[i];
      EXPECT_EQ(members[i].change, c.changes[i]) << c.fields[i];
    }
  }
}

TEST(MemberNames, ManyRepeatsStayDistinct) {
  // 128 columns of one 15-character name: the longest names the header can get.
  std::vector<const char*> fields(128, "abcdefghijklmno");
  std::vector<MemberName> members(fields.size());
  makeMemberNames(fields.data(), 128, members.data());
  EXPECT_STREQ(members[127].text, "abcdefghijklmno_128");
  for (size_t i = 0; i < members.size(); ++i) {
    for (size_t j = 0; j < i; ++j) ASSERT_STRNE(members[i].text, members[j].text);
  }
}

TEST(MemberNames, RepeatedNamesFollowTheRecordOrder) {
  struct Case {
    std::vector<const char*> fields;
    std::vector<int> recordPosition;
    std::vector<int> order;
  };
  const Case cases[] = {
      // Distinct names keep heading order whatever the record order.
      {{"a", "b", "c"}, {2, 0, 1}, {0, 1, 2}},
      // The two "x" swapped in the record: their slots swap entries; "y" stays.
      {{"x", "y", "x"}, {2, 0, 1}, {2, 1, 0}},
      {{"x", "x", "y", "x"}, {3, 1, 0, 2}, {1, 3, 2, 0}},
      {{"x", "x"}, {0, 1}, {0, 1}},
  };
  for (const Case& c : cases) {
    std::vector<int> order(c.fields.size());
    orderRepeatedNames(c.fields.data(), c.recordPosition.data(), static_cast<int>(c.fields.size()),
                       order.data());
    EXPECT_EQ(order, c.order);
  }
}
