// Member names of the generated record struct. A field name is a cleaned
// heading (letters, digits and '_', at most 15 characters), which is not
// always a usable C++ member name: it may start with a digit, be a keyword or
// a reserved name, or repeat an earlier name (two headings equal after the cut
// to 15 characters). makeMemberNames turns each into a distinct identifier and
// says why it changed; a name that needs nothing keeps its text exactly, so
// headers of well-named tables come out as before.
#pragma once

#include <cstdint>

namespace narvelix_names {

// Longest member name: 15 characters, a '_' prefix or suffix
// and a repeat number ("_2" .. "_128"), plus the terminator; sized so that
// the compiler can prove any int suffix fits.
constexpr int MAX_MEMBER_NAME = 32;

enum MemberNameChange : uint8_t {
  NAME_KEPT = 0,
  NAME_LEADING_DIGIT,  // "_" put in front
  NAME_KEYWORD,        // a C++ keyword: "_" appended
  NAME_RESERVED,       // "_" and a capital letter, or "__": "_" appended
  NAME_REPEATED,       // equal to an earlier member: "_2", "_3", ... appended
};

struct MemberName {
  char text[MAX_MEMBER_NAME];
  MemberNameChange change;
};

// True when name is a keyword of C++20 (alternative operator spellings
// such as "and" included).
bool isCppKeyword(const char* name);

// Fills members[0 .. count-1] from fieldNames[0 .. count-1] (non-empty,
// NUL-terminated, at most 15 characters, letters, digits and '_'), in order:
// a leading digit gets a '_' prefix; a keyword or reserved name gets a '_'
// suffix; a result equal to an earlier member gets the first free suffix of
// "_2", "_3", ... . A name repeated after another change reports the repeat.
void makeMemberNames(const char* const* fieldNames, int count, MemberName* members);

// Order of the description table over the same count entries: order[slot]
// is the entry written at slot. Heading order, except that the entries of a
// field name that repeats stand in the order the record holds those fields
// (recordPosition[i], which --reorder may have changed), so that a reader
// pairing the k-th table entry of a name with the file's k-th field of that
// name pairs each member with its own column.
void orderRepeatedNames(const char* const* fieldNames, const int* recordPosition, int count,
                        int* order);

// A short reason for a change, for the warning that reports it.
const char* memberNameChangeText(MemberNameChange change);

}  // namespace narvelix_names
