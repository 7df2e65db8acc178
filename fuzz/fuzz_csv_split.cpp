// Differential fuzzer of the CSV splitter: CSV_File::parseIntoFields is run on
// arbitrary bytes and its field count and stored fields are compared with the
// byte-by-byte reference splitter of the tests. Any difference aborts.
//
// Input layout. When the first byte is 0x01 it selects the lists:
//   0x01, separator count (mod 9), quote count (mod 9), the separator bytes,
//   the quote bytes, a maxFields byte (mod 140), then the line.
// Otherwise the whole input is one line split with the default reader
// (separators ',' and NUL, quote '"', 128 pointers); the same input is then
// also fed as a packet, and every delivered line is checked the same way.
// Such lines (and a whole input without a line feed) also go through the
// whole-line splitter and classifier of the converter's second read, over
// every byte-mask implementation, with and without readable bytes past the
// line: on lines without quotes or NUL they give the reference fields, the
// classifier also on quoted runs without an escaped quote; otherwise -1.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <algorithm>
#include <vector>

#include "utils/io/plain_line.hpp"
#include "utils/io/read_file.hpp"
#include "csv_reference_split.hpp"

namespace {

[[noreturn]] void mismatch(const char* what, const std::string& line) {
  std::fprintf(stderr, "fuzz_csv_split: %s for a line of %zu bytes:", what, line.size());
  for (const char c : line) std::fprintf(stderr, " %02x", static_cast<unsigned char>(c));
  std::fprintf(stderr, "\n");
  std::abort();
}

void checkSplit(CSV_File& csv, const std::string& line, int maxFields, const std::string& separators,
                const std::string& quotes) {
  std::vector<unsigned char> bytes(line.begin(), line.end());
  bytes.push_back('\n');
  std::vector<char*> pointers(static_cast<size_t>(maxFields) + 1, nullptr);
  const int count = csv.parseIntoFields(maxFields, pointers.data(), bytes.data(), line.size());
  const std::vector<std::string> expected = referenceSplit(line, separators, quotes);
  if (count != static_cast<int>(expected.size())) mismatch("field count differs", line);
  if (pointers[static_cast<size_t>(maxFields)] != nullptr) mismatch("pointer past maxFields", line);
  for (int i = 0; i < count && i < maxFields; ++i) {
    const std::string& want = expected[static_cast<size_t>(i)];
    if (std::strcmp(pointers[static_cast<size_t>(i)], want.substr(0, want.find('\0')).c_str()) != 0) {
      mismatch("field text differs", line);
    }
  }
}

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

template <typename Masks>
void checkPlainLine(const std::string& line) {
  constexpr uint32_t MAX = 20;
  const std::vector<std::string> expected = referenceSplit(line, ",", "\"");
  const bool hasNul = line.find('\0') != std::string::npos;
  const bool plain = !hasNul && line.find('"') == std::string::npos;
  const bool classable = !hasNul && line.find("\\\"") == std::string::npos;
  std::vector<std::string> kept = expected;
  kept.resize(std::min<size_t>(expected.size(), MAX));
  // Alone at the buffer start, then behind an earlier line of `before - 1`
  // bytes whose last block the cache keeps for this line (before > 0).
  for (const auto& [before, after] : {std::pair<size_t, size_t>{0, 0}, {0, 64}, {1, 64}, {40, 64},
                                      {64, 64}, {100, 64}}) {
    const std::string buffer =
        (before > 0 ? std::string(before - 1, '7') + "\n" : "") + line + std::string(after, ',');
    const auto* origin = reinterpret_cast<const unsigned char*>(buffer.data());
    const auto* p = origin + before;
    plain_line::BlockCache splitCache, classCache;
    plain_line::BlockCache* splitBlocks = before > 0 ? &splitCache : nullptr;
    plain_line::BlockCache* classBlocks = before > 0 ? &classCache : nullptr;
    if (before > 0) {
      auto none = [](uint32_t, size_t, size_t) {};
      plain_line::splitPlainLine<Masks>(origin, before - 1, buffer.size(), ',', '"', MAX, none, origin,
                                        splitBlocks);
      plain_line::classifyPlainLine<Masks>(origin, before - 1, buffer.size(), ',', '"', MAX, none,
                                           origin, classBlocks);
    }
    std::vector<std::string> fields;
    const int total = plain_line::splitPlainLine<Masks>(
        p, line.size(), buffer.size() - before, ',', '"', MAX,
        [&](uint32_t i, size_t start, size_t length) {
          fields.resize(std::max<size_t>(fields.size(), i + 1));
          fields[i] = buffer.substr(before + start, length);
        },
        origin, splitBlocks);
    if (plain ? total != static_cast<int>(expected.size()) || fields != kept : total != -1) {
      mismatch("plain split differs", line);
    }
    std::vector<std::string> classes;  // each field's class bits, then its width
    const int classified = plain_line::classifyPlainLine<Masks>(
        p, line.size(), buffer.size() - before, ',', '"', MAX,
        [&](uint32_t i, size_t length, uint32_t bits) {
          classes.resize(std::max<size_t>(classes.size(), i + 1));
          classes[i] = std::to_string(bits) + " " + std::to_string(length);
        },
        origin, classBlocks);
    if (!classable) {
      if (classified != -1) mismatch("classified a line with NUL or an escaped quote", line);
      continue;
    }
    if (classified != static_cast<int>(expected.size())) mismatch("classified field count differs", line);
    for (size_t i = 0; i < kept.size(); ++i) {
      if (classes[i] != std::to_string(referenceClasses(kept[i])) + " " + std::to_string(kept[i].size())) {
        mismatch("field classes differ", line);
      }
    }
  }
}

void checkPlainLines(const std::string& line) {
  checkPlainLine<plain_line::MasksOf<byte_masks::Portable>>(line);
  checkPlainLine<plain_line::PortableMasks>(line);
#if defined(ZUR_USE_AVX2)
  if (byte_masks::avx2Available()) checkPlainLine<plain_line::Avx2Masks>(line);
#endif
}

// Checks every line a packet delivers against the reference line rules.
class CheckingCsv : public CSV_File {
 public:
  CheckingCsv() : CSV_File(-1, false, ',') {}
  int processLine(const unsigned char* line, size_t length) override {
    const std::string text(reinterpret_cast<const char*>(line), length);
    lines.push_back(text);
    checkSplit(*this, text, MAX_FIELDS, std::string(",\0", 2), "\"");
    checkPlainLines(text);
    return 0;
  }
  std::vector<std::string> lines;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size >= 3 && data[0] == 0x01) {
    const size_t separatorCount = data[1] % 9;
    const size_t quoteCount = data[2] % 9;
    size_t pos = 3;
    if (size < pos + separatorCount + quoteCount + 1) return 0;
    const std::string separators(reinterpret_cast<const char*>(data + pos), separatorCount);
    pos += separatorCount;
    const std::string quotes(reinterpret_cast<const char*>(data + pos), quoteCount);
    pos += quoteCount;
    const int maxFields = data[pos++] % 140;
    CSV_File csv(-1, true, ',');
    std::memset(csv.separatorCharList, 0, sizeof csv.separatorCharList);
    std::memcpy(csv.separatorCharList, separators.data(), separatorCount);
    csv.separatorListLen = static_cast<uint8_t>(separatorCount);
    std::memset(csv.quoteCharList, 0, sizeof csv.quoteCharList);
    std::memcpy(csv.quoteCharList, quotes.data(), quoteCount);
    csv.quoteListLen = static_cast<uint8_t>(quoteCount);
    const std::string line(reinterpret_cast<const char*>(data + pos), size - pos);
    checkSplit(csv, line, maxFields, separators, quotes);
    return 0;
  }

  const std::string input(reinterpret_cast<const char*>(data), size);
  CSV_File csv(-1, true, ',');
  checkSplit(csv, input, CSV_File::MAX_FIELDS, std::string(",\0", 2), "\"");
  if (input.find('\n') == std::string::npos) checkPlainLines(input);

  // Line rules: complete lines only, one CR before the LF removed.
  std::vector<std::string> expectedLines;
  size_t lineStart = 0;
  for (size_t lf = input.find('\n'); lf != std::string::npos; lf = input.find('\n', lineStart)) {
    size_t end = lf;
    if (end > lineStart && input[end - 1] == '\r') --end;
    expectedLines.push_back(input.substr(lineStart, end - lineStart));
    lineStart = lf + 1;
  }
  CheckingCsv packetReader;
  std::vector<unsigned char> packet(input.begin(), input.end());
  const int delivered = packetReader.processPacket(packet.data(), packet.size());
  if (delivered != static_cast<int>(expectedLines.size()) || packetReader.lines != expectedLines) {
    mismatch("packet lines differ", input);
  }
  return 0;
}
