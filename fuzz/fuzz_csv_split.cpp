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
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

// Checks every line a packet delivers against the reference line rules.
class CheckingCsv : public CSV_File {
 public:
  CheckingCsv() : CSV_File(-1, false, ',') {}
  int processLine(const unsigned char* line, size_t length) override {
    const std::string text(reinterpret_cast<const char*>(line), length);
    lines.push_back(text);
    checkSplit(*this, text, MAX_FIELDS, std::string(",\0", 2), "\"");
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
