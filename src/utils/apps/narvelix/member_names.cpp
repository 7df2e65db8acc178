// Distinct C++ member names for the generated record struct (see
// member_names.hpp). Runs once per header over at most 128 names, so the
// repeat check compares every pair and the keyword check walks a sorted list.
#include "utils/apps/narvelix/member_names.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace narvelix_names {

namespace {

// C++20 keywords and alternative tokens, sorted for binary search. Names with
// a special meaning only in some places (final, override, import, module)
// are ordinary identifiers as member names and are not listed.
const char* const KEYWORDS[] = {
    "alignas",     "alignof",      "and",          "and_eq",      "asm",          "auto",
    "bitand",      "bitor",        "bool",         "break",       "case",         "catch",
    "char",        "char16_t",     "char32_t",     "char8_t",     "class",        "co_await",
    "co_return",   "co_yield",     "compl",        "concept",     "const",        "const_cast",
    "consteval",   "constexpr",    "constinit",    "continue",    "decltype",     "default",
    "delete",      "do",           "double",       "dynamic_cast", "else",        "enum",
    "explicit",    "export",       "extern",       "false",       "float",        "for",
    "friend",      "goto",         "if",           "inline",      "int",          "long",
    "mutable",     "namespace",    "new",          "noexcept",    "not",          "not_eq",
    "nullptr",     "operator",     "or",           "or_eq",       "private",      "protected",
    "public",      "register",     "reinterpret_cast", "requires", "return",      "short",
    "signed",      "sizeof",       "static",       "static_assert", "static_cast", "struct",
    "switch",      "template",     "this",         "thread_local", "throw",       "true",
    "try",         "typedef",      "typeid",       "typename",    "union",        "unsigned",
    "using",       "virtual",      "void",         "volatile",    "wchar_t",      "while",
    "xor",         "xor_eq",
};

// Most columns one header can have, so most entries one name can have.
constexpr int MAX_REPEATS = 128;

bool isReserved(const char* name) {
  if (name[0] == '_' && std::isupper(static_cast<unsigned char>(name[1]))) return true;
  return std::strstr(name, "__") != nullptr;
}

bool takenBefore(const MemberName* members, int count, const char* name) {
  for (int j = 0; j < count; ++j) {
    if (std::strcmp(members[j].text, name) == 0) return true;
  }
  return false;
}

}  // namespace

bool isCppKeyword(const char* name) {
  return std::binary_search(std::begin(KEYWORDS), std::end(KEYWORDS), name,
                            [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
}

void makeMemberNames(const char* const* fieldNames, int count, MemberName* members) {
  for (int i = 0; i < count; ++i) {
    MemberName& m = members[i];
    const char* name = fieldNames[i];
    m.change = NAME_KEPT;
    if (std::isdigit(static_cast<unsigned char>(name[0]))) {
      std::snprintf(m.text, sizeof m.text, "_%.15s", name);
      m.change = NAME_LEADING_DIGIT;
    } else if (isCppKeyword(name) || isReserved(name)) {
      std::snprintf(m.text, sizeof m.text, "%.15s_", name);
      m.change = isCppKeyword(name) ? NAME_KEYWORD : NAME_RESERVED;
    } else {
      std::snprintf(m.text, sizeof m.text, "%.15s", name);
    }
    if (!takenBefore(members, i, m.text)) continue;
    char base[MAX_MEMBER_NAME];
    std::memcpy(base, m.text, sizeof base);
    // At most i earlier members, so one of the suffixes 2 .. i + 1 is free.
    for (int repeat = 2;; ++repeat) {
      std::snprintf(m.text, sizeof m.text, "%.16s_%d", base, repeat);
      if (!takenBefore(members, i, m.text)) break;
    }
    m.change = NAME_REPEATED;
  }
}

void orderRepeatedNames(const char* const* fieldNames, const int* recordPosition, int count,
                        int* order) {
  for (int i = 0; i < count; ++i) order[i] = i;
  for (int i = 0; i < count; ++i) {
    bool seenBefore = false;
    for (int j = 0; j < i && !seenBefore; ++j) seenBefore = std::strcmp(fieldNames[j], fieldNames[i]) == 0;
    if (seenBefore) continue;
    // The slots of this name, in heading order, and its entries by record position.
    int slots[MAX_REPEATS];
    int entries[MAX_REPEATS];
    int n = 0;
    for (int j = i; j < count && n < MAX_REPEATS; ++j) {
      if (std::strcmp(fieldNames[j], fieldNames[i]) != 0) continue;
      slots[n] = j;
      int at = n++;
      for (; at > 0 && recordPosition[entries[at - 1]] > recordPosition[j]; --at) entries[at] = entries[at - 1];
      entries[at] = j;
    }
    for (int m = 0; m < n; ++m) order[slots[m]] = entries[m];
  }
}

const char* memberNameChangeText(MemberNameChange change) {
  switch (change) {
    case NAME_LEADING_DIGIT: return "it starts with a digit";
    case NAME_KEYWORD: return "it is a C++ keyword";
    case NAME_RESERVED: return "C++ reserves it";
    case NAME_REPEATED: return "an earlier member has the same name";
    default: return "";
  }
}

}  // namespace narvelix_names
