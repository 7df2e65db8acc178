// The whole-line splitter against the reader's general splitter and a byte
// loop: random lines over an alphabet of every class (separators, quotes, NUL,
// signs, points, CR, bytes above 127), of lengths around the 64-byte blocks,
// must give the same fields and the same classes, whether the bytes past the
// line may be read or not, with every byte-mask implementation.
#include "utils/io/plain_line.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "utils/io/read_file.hpp"

namespace {

// Class bits of one field by the byte rules.
uint32_t referenceClasses(const std::string& field) {
  uint32_t classes = 0;
  int signs = 0;
  int points = 0;
  for (const char ch : field) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= '0' && c <= '9') {
      classes |= plain_line::HAS_DIGIT;
    } else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
      classes |= plain_line::HAS_LETTER;
    } else if (c == '-' || c == '+') {
      classes |= c == '-' ? plain_line::HAS_MINUS : plain_line::HAS_PLUS;
      if (++signs > 1) classes |= plain_line::HAS_OTHER;
    } else if (c == '.') {
      classes |= plain_line::HAS_POINT;
      if (++points > 1) classes |= plain_line::HAS_OTHER;
    } else {
      classes |= plain_line::HAS_OTHER;
    }
  }
  return classes;
}

struct Split {
  int total = 0;
  std::vector<std::string> fields;
  std::vector<uint32_t> classes;
};

constexpr uint32_t MAX_FIELDS = 20;

// Runs both plain splitters over line, placed in a buffer with `after` bytes
// of other text behind it that they may read.
template <typename Masks>
void plainSplits(const std::string& line, size_t after, Split* split, Split* classified) {
  std::string buffer = line + std::string(after, ',');
  const auto* p = reinterpret_cast<const unsigned char*>(buffer.data());
  const size_t readable = line.size() + after;
  split->total = plain_line::splitPlainLine<Masks>(
      p, line.size(), readable, ',', '"', MAX_FIELDS, [&](uint32_t i, size_t start, size_t length) {
        if (split->fields.size() <= i) split->fields.resize(i + 1);
        split->fields[i] = buffer.substr(start, length);
      });
  classified->total =
      plain_line::classifyPlainLine<Masks>(p, line.size(), readable, ',', '"', MAX_FIELDS,
                                           [&](uint32_t i, size_t length, uint32_t classes) {
                                             if (classified->fields.size() <= i) {
                                               classified->fields.resize(i + 1);
                                               classified->classes.resize(i + 1);
                                             }
                                             classified->fields[i] = std::string(length, '?');
                                             classified->classes[i] = classes;
                                           });
}

using Splits = void (*)(const std::string&, size_t, Split*, Split*);

// The splitters over each mask implementation this build and processor have.
std::vector<Splits> implementations() {
  std::vector<Splits> all = {plainSplits<plain_line::MasksOf<byte_masks::Portable>>,
                             plainSplits<plain_line::PortableMasks>};
#if defined(ZUR_USE_AVX2)
  if (byte_masks::avx2Available()) all.push_back(plainSplits<plain_line::Avx2Masks>);
#endif
  return all;
}

TEST(PlainLine, AgreesWithTheGeneralSplitter) {
  CSV_File reference(-1, true, ',');
  const char alphabet[] = {',', ',', ',', '0', '7', '9',  'a',  'Z',
                           '-', '+', '.', ' ', '_', '\r', '\\', static_cast<char>(0xC3),
                           '"', '\0'};
  std::mt19937 random(20261206);
  const size_t lengths[] = {0, 1, 2, 15, 16, 17, 31, 32, 63, 64, 65, 100, 127, 128, 129, 200};
  int plainLines = 0;
  int quotedLines = 0;
  for (int round = 0; round < 400; ++round) {
    for (const size_t length : lengths) {
      std::string line;
      // A quarter of the lines may hold a NUL, another quarter quotes but no
      // NUL, the rest neither, so that most are plain.
      const size_t letters = round % 4 == 0   ? sizeof alphabet
                             : round % 4 == 1 ? sizeof alphabet - 1
                                              : sizeof alphabet - 2;
      for (size_t i = 0; i < length; ++i) line += alphabet[random() % letters];
      const bool hasNul = line.find('\0') != std::string::npos;
      const bool plain = line.find('"') == std::string::npos && !hasNul;
      // The classing pass also takes quoted runs, unless a quote is escaped.
      const bool classable = !hasNul && line.find("\\\"") == std::string::npos;

      std::vector<unsigned char> copy(line.begin(), line.end());
      copy.push_back(0);
      char* fields[CSV_File::MAX_FIELDS];
      const int total =
          reference.parseIntoFields(CSV_File::MAX_FIELDS, fields, copy.data(), length);
      const auto kept = static_cast<size_t>(std::min<int>(total, static_cast<int>(MAX_FIELDS)));

      for (const size_t after : {size_t{0}, size_t{64}}) {
        for (const Splits plainSplits : implementations()) {
          Split split;
          Split classified;
          plainSplits(line, after, &split, &classified);
          if (plain) {
            ++plainLines;
            ASSERT_EQ(split.total, total) << line;
            ASSERT_EQ(split.fields.size(), kept) << line;
            for (size_t i = 0; i < kept; ++i) {
              EXPECT_EQ(split.fields[i], std::string(fields[i])) << line << " field " << i;
            }
          } else {
            EXPECT_EQ(split.total, -1) << line;
          }
          if (!classable) {
            EXPECT_EQ(classified.total, -1) << line;
            continue;
          }
          if (!plain) ++quotedLines;
          ASSERT_EQ(classified.total, total) << line;
          ASSERT_EQ(classified.fields.size(), kept) << line;
          for (size_t i = 0; i < kept; ++i) {
            EXPECT_EQ(classified.fields[i].size(), std::strlen(fields[i]))
                << line << " field " << i;
            EXPECT_EQ(classified.classes[i], referenceClasses(fields[i])) << line << " field " << i;
          }
        }
      }
    }
  }
  EXPECT_GT(quotedLines, 2000);
  EXPECT_GT(plainLines, 2000);
}

TEST(PlainLine, FieldsSpanningBlocks) {
  // One field across three blocks, with its sign in the first and its second
  // point in the last; fields that start exactly at a block edge; quoted runs
  // across block edges, with separators inside, one left open.
  struct Case {
    std::string line;
    std::vector<uint32_t> classes;
    std::vector<size_t> widths;
  };
  const std::string longDigits(130, '5');
  const Case cases[] = {
      {"-" + longDigits + ".1.2,x",
       {plain_line::HAS_DIGIT | plain_line::HAS_MINUS | plain_line::HAS_POINT |
            plain_line::HAS_OTHER,
        plain_line::HAS_LETTER},
       {135, 1}},
      {std::string(63, 'a') + ",1", {plain_line::HAS_LETTER, plain_line::HAS_DIGIT}, {63, 1}},
      {std::string(64, 'a') + ",-", {plain_line::HAS_LETTER, plain_line::HAS_MINUS}, {64, 1}},
      {"+" + std::string(70, '7') + "-",
       {plain_line::HAS_DIGIT | plain_line::HAS_PLUS | plain_line::HAS_MINUS |
        plain_line::HAS_OTHER},
       {72}},
      {",,", {0, 0, 0}, {0, 0, 0}},
      {"\"" + std::string(70, 'a') + ",b\",c",
       {plain_line::HAS_LETTER | plain_line::HAS_OTHER, plain_line::HAS_LETTER},
       {72, 1}},
      {"x,1\"" + std::string(62, '2') + "\"3,\"\"",
       {plain_line::HAS_LETTER, plain_line::HAS_DIGIT, 0},
       {1, 64, 0}},
      {"a,\"" + std::string(100, ',') + "\"\"",
       {plain_line::HAS_LETTER, plain_line::HAS_OTHER},
       {1, 100}},
      {"a,\"open," + std::string(80, 'z'),
       {plain_line::HAS_LETTER, plain_line::HAS_LETTER | plain_line::HAS_OTHER},
       {1, 85}},
  };
  for (const Case& c : cases) {
    for (const size_t after : {size_t{0}, size_t{64}}) {
      for (const Splits plainSplits : implementations()) {
        Split split;
        Split classified;
        plainSplits(c.line, after, &split, &classified);
        ASSERT_EQ(classified.total, static_cast<int>(c.classes.size())) << c.line;
        EXPECT_EQ(classified.classes, c.classes) << c.line;
        std::vector<size_t> widths;
        for (const std::string& f : classified.fields) widths.push_back(f.size());
        EXPECT_EQ(widths, c.widths) << c.line;
      }
    }
  }
}

}  // namespace
