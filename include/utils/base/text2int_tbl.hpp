// Constant tables behind the numeric text conversion routines of text2int.hpp.
// Every table is built at compile time by the rule given with it (the builders
// are constexpr functions in src/utils/base/text2int/tables.cpp); none is ever
// written at run time, so all of them can be shared freely between threads.
// Tables are indexed by character value through static_cast<unsigned char>, so
// the signedness of char (unsigned on ARM, signed on x86) never matters.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- parsing ----

// Digit values by character and position: entry [c][p] is d * 10^p when c is the
// digit character d ('0'..'9'), and 0 for every other character. Position 0 is the
// last (units) character of a text, position k the character k places before it.
// Entries that do not fit 32 bits (digits 5..9 at position 9) hold 0xFFFFFFFF.
// Sum of entries = value of the text; a non-digit adds nothing but still takes a
// position. 256 x 10 x 4 bytes = 10 KB.
extern const uint32_t text2int_table[256][10];

// The same for 64-bit values, positions 0..19. At position 19 digit 1 holds 10^19;
// digits 2..8 hold d * 10^19 reduced modulo 2^64; digit 9 holds 0xFFFFFFFF (a
// marker, not a reduced value). 256 x 20 x 8 bytes = 40 KB.
extern const uint64_t text2int64_table[256][20];

// 10^0 .. 10^15.
extern const uint64_t powersOf10_64bit[16];
// 1.0 .. 1e9.
extern const double floatingPowersOf10[10];
// 1.0, 0.1, ... 1e-15 (each the double nearest to 10^-k).
extern const double reciprocalPowersOf10[16];

// ---- formatting ----

// One group of four characters, viewed as characters, as one 32-bit word (for a
// single aligned store), or by its last two or three characters. Byte order is
// the machine's; the words are only ever stored back to memory, never compared
// as numbers, so the text reads the same on any byte order.
union Aligned4Chars {
  char digits[4];
  uint32_t val;
  struct {
    char _zero[2];
    uint16_t two_digits;
  } lastTwoDigits;
  struct {
    char _zero;
    char hundreds;
    uint16_t two_digits;
  } lastThreeDigits;
};
static_assert(sizeof(Aligned4Chars) == 4);
static_assert(alignof(Aligned4Chars) == 4);
static_assert(offsetof(Aligned4Chars, lastTwoDigits) == 0);

// Entry n is n written in four decimal digits with leading zeros: "0000" .. "9999"
// (no terminator). 40000 bytes.
extern const Aligned4Chars numberAs4Digits[10000];
// Entry n is n in two decimal digits plus a NUL: "00" .. "99".
extern const char numberAsTwoDigits[100][3];
// Entry b is b in two upper-case hexadecimal digits plus a NUL: "00" .. "FF".
extern const char byteAsUppercaseHexadecimal[256][3];
// Entry b is b in two lower-case hexadecimal digits plus a NUL: "00" .. "ff".
extern const char byteAsLowercaseHexadecimal[256][3];
