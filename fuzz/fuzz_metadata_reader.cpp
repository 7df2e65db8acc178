// Fuzz target for the metadata reader and the dump renderings: the input is a
// whole metadata file image. The reader validates it; when it accepts the
// image, every record is walked forwards, every field is read through each
// typed getter, a few records are reached by seek, and the records and the
// description are rendered as narvelix-dump renders them (into /dev/null).
// Checks beyond the sanitizers: every field the reader hands out lies inside
// the image and inside its record, a variable-length record holds its present
// fields, the forward walk meets exactly totalRecords records, and a seek
// lands on the record the walk found at that index.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "utils/metadata/metadata_dump.hpp"
#include "utils/metadata/metadata_reader.hpp"

namespace {

// A file without fields may claim up to 2^32 - 1 records of no bytes; the
// walk and the dump stop after this many so that one input stays quick.
constexpr uint32_t MAX_WALK = 1u << 14;

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz_metadata_reader: %s\n", what);
    std::abort();
  }
}

void readEveryField(const MetaDataReader& reader, const unsigned char* image, std::size_t size) {
  const unsigned char* record = reader.recordData();
  const uint32_t recordLength = reader.recordLength();
  check(record >= image && record + recordLength <= image + size, "record outside the image");
  uint64_t presentBytes = 0;
  for (uint32_t i = 0; i < reader.totalFields(); ++i) {
    const unsigned char* field = reader.fieldData(i);
    check((field != nullptr) == reader.isFieldPresent(i), "fieldData and isFieldPresent differ");
    if (field != nullptr) {
      const uint32_t length = reader.fieldDescription(i).fieldLength;
      check(field >= record && field + length <= record + recordLength, "field outside its record");
      presentBytes += length;
    }
    int32_t i32;
    uint32_t u32;
    int64_t i64;
    uint64_t u64;
    VariableFixedPointValue fixed;
    std::string_view text;
    (void)reader.getInt32(i, i32);
    (void)reader.getUint32(i, u32);
    (void)reader.getInt64(i, i64);
    (void)reader.getUint64(i, u64);
    (void)reader.getFixedPoint(i, fixed);
    if (reader.getText(i, text)) {
      check(text.size() <= reader.fieldDescription(i).fieldLength, "text longer than its field");
    }
  }
  if (reader.isVariableLength() && reader.totalFields() != 0) {
    check(16 + presentBytes <= recordLength, "present fields overrun a variable-length record");
  }
  // By name: the first field of that name, also when names repeat.
  if (reader.totalFields() != 0) {
    std::string_view text;
    int64_t i64;
    (void)reader.getText(reader.fieldName(0), text);
    (void)reader.getInt64(reader.fieldName(reader.totalFields() - 1), i64);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MetaDataTextWriter* const sink = new MetaDataTextWriter(::open("/dev/null", O_WRONLY));
  MetaDataReader reader;
  if (reader.openMemory(data, size, "fuzz") != MetaDataReader::METADATA_OK) {
    check(!reader.isOpen() && reader.errorText()[0] != '\0', "a refused image leaves no reason");
    return 0;
  }

  const uint32_t walked = reader.totalRecords() < MAX_WALK ? reader.totalRecords() : MAX_WALK;
  std::vector<const unsigned char*> starts;
  while (starts.size() < walked && reader.nextRecord()) {
    check(reader.recordIndex() == starts.size(), "records out of order");
    starts.push_back(reader.recordData());
    readEveryField(reader, data, size);
  }
  check(starts.size() == walked, "the walk ended before the record count");
  if (walked == reader.totalRecords()) check(!reader.nextRecord(), "a record past the count");

  if (!starts.empty()) {
    const uint32_t last = static_cast<uint32_t>(starts.size() - 1);
    for (uint32_t index : {last, 0u, last / 2}) {
      check(reader.seekRecord(index), "seek to an existing record failed");
      check(reader.recordData() == starts[index], "seek and walk disagree");
    }
  }
  check(!reader.seekRecord(reader.totalRecords()), "seek past the end succeeded");

  char errorText[MetaDataReader::MAX_ERROR_TEXT];
  (void)writeMetaDataCsv(reader, *sink, MAX_WALK, errorText, sizeof errorText);
  (void)writeMetaDataDescription(reader, *sink);
  return 0;
}
