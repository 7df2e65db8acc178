// Per-record cost of reading a metadata file into a generated record struct:
// the plain copy (the file's layout equals the struct's), the by-name copy
// (the same fields in another order, and a variable-length file with an
// optional group absent from every other record), and the record walk alone.
// The files are built in memory (100000 records of 56 bytes) and read with
// openMemory, so only the reader's work is measured.
#include <cstring>
#include <vector>

#include <benchmark/benchmark.h>

#include "utils/metadata/metadata_reader.hpp"

namespace {

struct Row {
  uint64_t id;
  VariableFixedPointValue price;
  int32_t qty;
  uint32_t venue;
  char symbol[8];
  char note[16];
};
const UniversalMetaData_FieldDescription Row_fields[] = {
    DESCRIBE_FIELD_OF_CLASS(id, SMV_TYPE_UINT64, Row),
    DESCRIBE_FIELD_OF_CLASS(price, SMV_TYPE_FIXED, Row),
    DESCRIBE_FIELD_OF_CLASS(qty, SMV_TYPE_INT32, Row),
    DESCRIBE_FIELD_OF_CLASS(venue, SMV_TYPE_UINT32, Row),
    DESCRIBE_FIELD_OF_CLASS(symbol, SMV_TYPE_STRING, Row),
    DESCRIBE_FIELD_OF_CLASS(note, SMV_TYPE_STRING, Row),
    {0, 0, 0, 0, {}, {}}};

}  // namespace

template <>
inline const UniversalMetaData_FieldDescription *MetaDataForFeed<Row>::fieldDescriptionTable =
    Row_fields;
template <>
inline const uint32_t MetaDataForFeed<Row>::totalFields = 6;
template <>
inline const char MetaDataForFeed<Row>::magicNumber[9] = {"METADATA"};

namespace {

constexpr uint32_t RECORDS = 100000;

struct Field {
  const char *name;
  uint8_t group;
  uint8_t type;
  uint16_t length;
};
// The struct's fields in its own order, and the same fields reordered.
const Field NATURAL[] = {{"id", 1, 7, 8},    {"price", 1, 9, 16},  {"qty", 1, 4, 4},
                         {"venue", 1, 5, 4}, {"symbol", 1, 18, 8}, {"note", 1, 18, 16}};
const Field REORDERED[] = {{"note", 1, 18, 16}, {"symbol", 1, 18, 8}, {"qty", 1, 4, 4},
                           {"venue", 1, 5, 4},  {"price", 1, 9, 16},  {"id", 1, 7, 8}};

void put(std::vector<unsigned char> &image, std::size_t at, const void *data, std::size_t n) {
  std::memcpy(image.data() + at, data, n);
}

// A file of RECORDS records over fields; when variable, "note" is an
// optional field of group 2, present in every other record.
std::vector<unsigned char> buildFile(const Field *fields, bool variable) {
  const uint16_t count = 6;
  uint16_t recordLength = 0;
  for (int i = 0; i < count; ++i) recordLength = static_cast<uint16_t>(recordLength + fields[i].length);
  std::vector<unsigned char> image(24 + 24 * count, 0);
  std::memcpy(image.data(), "METADATA", 8);
  image[8] = image[9] = 24;
  const uint16_t headerRecordLength = variable ? 0 : recordLength;
  put(image, 10, &count, 2);
  put(image, 12, &headerRecordLength, 2);
  put(image, 16, &RECORDS, 4);
  uint16_t offset = variable ? 16 : 0;
  uint16_t offsets[6];
  for (int i = 0; i < count; ++i) {
    const std::size_t at = 24 + 24 * static_cast<std::size_t>(i);
    image[at] = variable && std::strcmp(fields[i].name, "note") == 0 ? 2 : 1;
    image[at + 1] = fields[i].type;
    put(image, at + 2, &offset, 2);
    put(image, at + 4, &fields[i].length, 2);
    std::memcpy(image.data() + at + 8, fields[i].name, std::strlen(fields[i].name));
    offsets[i] = offset;
    offset = static_cast<uint16_t>(offset + fields[i].length);
  }
  for (uint32_t r = 0; r < RECORDS; ++r) {
    const bool withNote = !variable || r % 2 == 0;
    std::size_t start = image.size();
    std::size_t body = start;
    if (variable) {
      const uint16_t length = static_cast<uint16_t>(16 + recordLength - (withNote ? 0 : 16));
      const uint64_t mask = withNote ? 3 : 1;
      image.resize(start + length, 0);
      put(image, start, &length, 2);
      image[start + 2] = 1;
      put(image, start + 8, &mask, 8);
      body = start + 16;
    } else {
      image.resize(start + recordLength, 0);
    }
    std::size_t at = body;
    for (int i = 0; i < count; ++i) {
      if (!withNote && std::strcmp(fields[i].name, "note") == 0) continue;
      const uint64_t value = r + static_cast<uint64_t>(i);
      std::memcpy(image.data() + (variable ? at : body + offsets[i]), &value,
                  fields[i].type == 18 ? 4 : fields[i].length < 8 ? fields[i].length : 8);
      at += fields[i].length;
    }
  }
  return image;
}

void readAll(benchmark::State &state, const std::vector<unsigned char> &image, bool copy) {
  MetaDataReader reader;
  if (reader.openMemory(image.data(), image.size(), "bench") != 0 ||
      !reader.matchesRecordType<Row>()) {
    state.SkipWithError(reader.errorText());
    return;
  }
  Row row;
  for (auto _ : state) {
    reader.rewind();
    if (copy) {
      while (reader.nextRecord(row)) benchmark::DoNotOptimize(row);
    } else {
      while (reader.nextRecord()) benchmark::DoNotOptimize(reader.recordData());
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * RECORDS);
}

void BM_FixedWalkOnly(benchmark::State &state) { readAll(state, buildFile(NATURAL, false), false); }
void BM_FixedPlainCopy(benchmark::State &state) { readAll(state, buildFile(NATURAL, false), true); }
void BM_FixedByNameCopy(benchmark::State &state) { readAll(state, buildFile(REORDERED, false), true); }
void BM_VariableWalkOnly(benchmark::State &state) { readAll(state, buildFile(NATURAL, true), false); }
void BM_VariableByNameCopy(benchmark::State &state) { readAll(state, buildFile(NATURAL, true), true); }

BENCHMARK(BM_FixedWalkOnly);
BENCHMARK(BM_FixedPlainCopy);
BENCHMARK(BM_FixedByNameCopy);
BENCHMARK(BM_VariableWalkOnly);
BENCHMARK(BM_VariableByNameCopy);

}  // namespace
