// Builds metadata reference file images byte by byte for the reader and dump
// tests, independently of the reader's own structures where it matters (the
// bytes are placed at explicit offsets), and writes them to the build folder.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace metadata_test {

struct FieldSpec {
  const char *name;
  uint8_t group;
  uint8_t type;
  uint16_t offset;
  uint16_t length;
};

class FileBuilder {
 public:
  FileBuilder(const char *magic, uint16_t recordLength, uint32_t totalRecords) {
    bytes.assign(24, 0);
    std::memcpy(bytes.data(), magic, strnlen(magic, 8));
    bytes[8] = 24;
    bytes[9] = 24;
    put16(12, recordLength);
    put32(16, totalRecords);
  }

  void addField(const FieldSpec &f) {
    const std::size_t at = bytes.size();
    bytes.resize(at + 24, 0);
    bytes[at] = f.group;
    bytes[at + 1] = f.type;
    put16(at + 2, f.offset);
    put16(at + 4, f.length);
    std::memcpy(bytes.data() + at + 8, f.name, strnlen(f.name, 16));
    put16(10, static_cast<uint16_t>(fieldCount() + 1));
    fields.push_back(f);
  }
  std::size_t fieldCount() const { return fields.size(); }

  // Starts a fixed-length record of length bytes, all zero.
  std::size_t beginFixedRecord(uint16_t length) {
    const std::size_t at = bytes.size();
    bytes.resize(at + length, 0);
    return at;
  }
  // Appends a variable-length record: a header with mask, then body (padded
  // with zeros to a multiple of 8). Returns the record's start.
  std::size_t addVariableRecord(uint64_t mask, const std::vector<uint8_t> &body) {
    const std::size_t at = bytes.size();
    const std::size_t padded = (body.size() + 7) & ~std::size_t{7};
    bytes.resize(at + 16 + padded, 0);
    put16(at, static_cast<uint16_t>(16 + padded));
    bytes[at + 2] = 1;
    put64(at + 8, mask);
    if (!body.empty()) std::memcpy(bytes.data() + at + 16, body.data(), body.size());
    return at;
  }

  void put16(std::size_t at, uint16_t v) { std::memcpy(bytes.data() + at, &v, 2); }
  void put32(std::size_t at, uint32_t v) { std::memcpy(bytes.data() + at, &v, 4); }
  void put64(std::size_t at, uint64_t v) { std::memcpy(bytes.data() + at, &v, 8); }
  void putText(std::size_t at, const char *text) {
    std::memcpy(bytes.data() + at, text, std::strlen(text));
  }
  void putFixed(std::size_t at, int64_t value, uint32_t precision) {
    put64(at, static_cast<uint64_t>(value));
    put32(at + 8, precision);
  }

  std::vector<uint8_t> bytes;
  std::vector<FieldSpec> fields;
};

// Little-endian bytes of a value, for variable-length record bodies.
template <typename T>
void appendValue(std::vector<uint8_t> &body, T value) {
  const std::size_t at = body.size();
  body.resize(at + sizeof(T));
  std::memcpy(body.data() + at, &value, sizeof(T));
}
inline void appendText(std::vector<uint8_t> &body, const char *text, std::size_t fieldLength) {
  const std::size_t at = body.size();
  body.resize(at + fieldLength, 0);
  std::memcpy(body.data() + at, text, std::strlen(text));
}
inline void appendFixed(std::vector<uint8_t> &body, int64_t value, uint32_t precision) {
  appendValue(body, value);
  appendValue(body, precision);
  appendValue(body, uint32_t{0});
}

// Writes bytes to a file named name in the test build folder; returns its path.
inline std::string writeTestFile(const std::string &name, const std::vector<uint8_t> &bytes) {
  return narvelix_test::writeFile(std::string(NARVELIX_BINARY_DIR) + "/" + name, std::string(bytes.begin(), bytes.end()));
}

// Type codes as the file stores them.
constexpr uint8_t T_INT32 = 4, T_UINT32 = 5, T_INT64 = 6, T_UINT64 = 7, T_FIXED = 9,
                  T_STRING = 18;

// A fixed-length file of every type, two records; record length 56:
// id INT32 @0, count UINT32 @4, big INT64 @8, huge UINT64 @16, price FIXED @24,
// name STRING @40 (16 bytes).
inline FileBuilder sampleFixedFile() {
  FileBuilder b("METADATA", 56, 3);
  b.addField({"id", 1, T_INT32, 0, 4});
  b.addField({"count", 1, T_UINT32, 4, 4});
  b.addField({"big", 1, T_INT64, 8, 8});
  b.addField({"huge", 1, T_UINT64, 16, 8});
  b.addField({"price", 1, T_FIXED, 24, 16});
  b.addField({"name", 1, T_STRING, 40, 16});
  std::size_t r = b.beginFixedRecord(56);
  b.put32(r, static_cast<uint32_t>(-42));
  b.put32(r + 4, 4000000000u);
  b.put64(r + 8, static_cast<uint64_t>(INT64_MIN));
  b.put64(r + 16, UINT64_MAX);
  b.putFixed(r + 24, 1250, 2);
  b.putText(r + 40, "plain");
  r = b.beginFixedRecord(56);
  b.put32(r, 7);
  b.put32(r + 4, 0);
  b.put64(r + 8, 123456789012345ll);
  b.put64(r + 16, 5);
  b.putFixed(r + 24, -5, 2);
  b.putText(r + 40, "a,b \"q\"");
  r = b.beginFixedRecord(56);
  b.put32(r, static_cast<uint32_t>(INT32_MIN));
  b.put32(r + 4, UINT32_MAX);
  b.put64(r + 8, INT64_MAX);
  b.put64(r + 16, 0);
  b.putFixed(r + 24, 7, 0);
  b.putText(r + 40, "sixteen-chars-xx");  // fills the field: no zero byte
  return b;
}

// A variable-length file: id INT32 group 1, note STRING(8) group 2,
// amount FIXED group 3, tail UINT64 group 1. Offsets as if all present.
inline FileBuilder sampleVariableFile() {
  FileBuilder b("VARLEN", 0, 4);
  b.addField({"id", 1, T_INT32, 16, 4});
  b.addField({"note", 2, T_STRING, 20, 8});
  b.addField({"amount", 3, T_FIXED, 28, 16});
  b.addField({"tail", 1, T_UINT64, 44, 8});
  std::vector<uint8_t> body;
  // Record 0: everything present.
  appendValue(body, int32_t{1});
  appendText(body, "line\nbrk", 8);
  appendFixed(body, 31415, 4);
  appendValue(body, uint64_t{10});
  b.addVariableRecord(0x7, body);
  // Record 1: only the ordinary fields.
  body.clear();
  appendValue(body, int32_t{2});
  appendValue(body, uint64_t{20});
  b.addVariableRecord(0x1, body);
  // Record 2: groups 1 and 3, group 2 absent.
  body.clear();
  appendValue(body, int32_t{3});
  appendFixed(body, -120, 1);
  appendValue(body, uint64_t{30});
  b.addVariableRecord(0x5, body);
  // Record 3: groups 1 and 2 plus a bit for a group no field uses.
  body.clear();
  appendValue(body, int32_t{4});
  appendText(body, "x", 8);
  appendValue(body, uint64_t{40});
  b.addVariableRecord(0x3 | (uint64_t{1} << 40), body);
  return b;
}

}  // namespace metadata_test
