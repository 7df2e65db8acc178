// Values that log statements insert (text, hexadecimal and escaped blocks,
// fixed-point values, POSIX nanoseconds, long texts split across lines), the
// escape tables, the mask types and the process's log settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <string_view>

#include "utils/shared_vars/shared_variable.hpp"

class LogManager;
class IO_Processor;

// Mask variable of one component, and its plain value.
using LogMaskType_t = SMV_StandaloneNumeric<unsigned int>;
using LogMaskPrimitiveType_t = unsigned int;

struct TextBlock_struct {
  const char* textBfr;
  uint_fast32_t bfrLen;

  constexpr TextBlock_struct() : textBfr(""), bfrLen(0) {}
  TextBlock_struct(const char* text) : textBfr(text), bfrLen(text ? std::strlen(text) : 0) {}
  constexpr TextBlock_struct(const char* text, uint_fast32_t len) : textBfr(text), bfrLen(len) {}
  constexpr operator std::string_view() const { return std::string_view(textBfr, bfrLen); }
};
#define AS_TEXT_BUFFER(s, len) TextBlock_struct((s), static_cast<uint_fast32_t>(len))
// Writes the block's bfrLen bytes, as a log line would show them.
std::ostream& operator<<(std::ostream& os, const TextBlock_struct& text);

struct HexadecimalBlock_struct {
  const void* dataBfr;
  uint_fast32_t bfrLen;
  bool asLowercase;

  constexpr HexadecimalBlock_struct(const void* data, uint_fast32_t len, bool lowercase = true)
      : dataBfr(data), bfrLen(len), asLowercase(lowercase) {}
};
#define AS_HEXADECIMAL_BUFFER(d, len, lowercase) \
  HexadecimalBlock_struct((d), static_cast<uint_fast32_t>(len), (lowercase))

struct BinaryBlock_struct {
  const void* dataBfr;
  uint_fast32_t bfrLen;
  constexpr BinaryBlock_struct(const void* data, uint_fast32_t len) : dataBfr(data), bfrLen(len) {}
};
#define AS_BINARY_BUFFER(d, l) BinaryBlock_struct((d), static_cast<uint_fast32_t>(l))

// Replacement table for escaped text: escapedLen[c] is -1 when c is shown as
// itself, else the length (1..3) of escapedChar[c].
struct Escaped_Replacement_Characters {
  static constexpr int MAX_REPLACEMENT_LENGTH = 3;
  int8_t escapedLen[256];
  char escapedChar[256][MAX_REPLACEMENT_LENGTH + 1];

  // Every character shown as itself, then characters[i] replaced by a
  // backslash and replacements[i] (pairs up to the shorter string), and NUL
  // by nullReplacement (at most 3 characters; null or "": NUL not replaced).
  constexpr void build(const char* characters, const char* replacements, const char* nullReplacement) {
    for (int i = 0; i < 256; ++i) {
      escapedLen[i] = -1;
      for (int k = 0; k <= MAX_REPLACEMENT_LENGTH; ++k) escapedChar[i][k] = '\0';
    }
    for (int i = 0; characters != nullptr && replacements != nullptr && characters[i] != '\0' &&
                    replacements[i] != '\0';
         ++i) {
      const unsigned char c = static_cast<unsigned char>(characters[i]);
      escapedLen[c] = 2;
      escapedChar[c][0] = '\\';
      escapedChar[c][1] = replacements[i];
    }
    if (nullReplacement != nullptr && nullReplacement[0] != '\0') {
      int8_t n = 0;
      while (n < MAX_REPLACEMENT_LENGTH && nullReplacement[n] != '\0') {
        escapedChar[0][n] = nullReplacement[n];
        ++n;
      }
      escapedLen[0] = n;
    }
  }
};

// The default escapes: these six characters, in order, become a backslash
// followed by the character at the same place of the replacements; NUL
// becomes "\0".
#define _DEFAULT_ESCAPED_CHARACTERS "\"\n\r\t\b\\"
#define _DEFAULT_REPLACEMENT_CHARACTERS "\"nrtb\\"
#define _DEFAULT_NULL_REPLACEMENT "\\0"

// Text shown with escapes (the default table, or a table of its own built
// from custom patterns). The escaped text is expanded into the format line
// when inserted, so the block need not outlive the insertion.
struct EscapedTextBlock_struct {
  const char* textBfr;
  uint_fast32_t bfrLen;
  char singleOutputChar;
  const Escaped_Replacement_Characters* replacementsToUse;
  Escaped_Replacement_Characters dynamicReplacements;

  static const Escaped_Replacement_Characters defaultEscapePatterns;

  EscapedTextBlock_struct(const char* text, uint_fast32_t len)
      : textBfr(text), bfrLen(len), singleOutputChar(0), replacementsToUse(&defaultEscapePatterns),
        dynamicReplacements() {}
  explicit EscapedTextBlock_struct(char c)
      : textBfr(&singleOutputChar), bfrLen(1), singleOutputChar(c), replacementsToUse(&defaultEscapePatterns),
        dynamicReplacements() {}
  // Custom patterns: characters[i] is shown as a backslash and
  // replacements[i]; NUL as nullReplacement (null: shown as itself).
  EscapedTextBlock_struct(const char* text, uint_fast32_t len, const char* characters, const char* replacements,
                          const char* nullReplacement = nullptr)
      : textBfr(text), bfrLen(len), singleOutputChar(0), replacementsToUse(&dynamicReplacements),
        dynamicReplacements() {
    dynamicReplacements.build(characters, replacements, nullReplacement);
  }
  EscapedTextBlock_struct(const EscapedTextBlock_struct& other)
      : textBfr(other.textBfr == &other.singleOutputChar ? &singleOutputChar : other.textBfr),
        bfrLen(other.bfrLen),
        singleOutputChar(other.singleOutputChar),
        replacementsToUse(other.replacementsToUse == &other.dynamicReplacements ? &dynamicReplacements
                                                                                 : other.replacementsToUse),
        dynamicReplacements(other.dynamicReplacements) {}
  EscapedTextBlock_struct& operator=(const EscapedTextBlock_struct&) = delete;
};
#define AS_ESCAPED_TEXT_BUFFER(s, len) EscapedTextBlock_struct((s), static_cast<uint_fast32_t>(len))
#define AS_ESCAPED_TEXT_CHARACTER(c) EscapedTextBlock_struct(static_cast<char>(c))

// A decimal number value x 10^-precision, inserted as a fixed-point argument.
struct LogFixedPointValue_struct {
  int64_t value;
  int_fast8_t precision;
};
#define AS_FIXED_POINT(v, p) LogFixedPointValue_struct{static_cast<int64_t>(v), static_cast<int_fast8_t>(p)}

// Nanoseconds since the POSIX epoch, rendered as local date and time.
struct LogPosixNanoseconds_struct {
  uint64_t nanoseconds;
};
#define AS_POSIX_NANOSECONDS(ns) LogPosixNanoseconds_struct{static_cast<uint64_t>(ns)}

// A long text inserted as its own run of lines (SPLIT_ACROSS_LINES).
struct SplitAcrossLines_struct {
  const char* label;
  const char* text;
  const char* breakChars;
  size_t maxLength;
};
#define SPLIT_ACROSS_LINES(label, text, breakChars, maxLength) \
  SplitAcrossLines_struct{(label), (text), (breakChars), static_cast<size_t>(maxLength)}

// Information gathered from the command line's log flags.
struct LogSubsystemInfo {
  const char* programName;
  uint32_t processID;
  uint32_t maxPendingLogLines;
  uint32_t defaultLogLevel;
  uint32_t defaultLogPrefix;
  unsigned char useThreads;  // 1 after +logthread, 2 after -logthread
  unsigned char enableMap;   // 1 after +logmap, 2 after -logmap
};
extern LogSubsystemInfo default_LogSubsystemInfo;
