// Fuzz target for the whole conversion: the input's first byte picks options
// (bit 0 --reorder, bit 1 marks every other heading as an optional field of
// group 2 or 3, bit 2 writes the C++ header too, bit 3 --dense, bit 4 deletes
// the column named a, bit 5 renames the column named b, bit 6 renames a column
// to the name of another, bit 7 converts the input every way, see below), the
// rest is the CSV text. The converter runs in-process over a temporary file
// and the metadata file it writes is checked against its own description:
// the metadata reader opens it (header constants, descriptions, records that
// add up to the file size exactly) and its fields are packed back to back.
// With bit 7 the input is converted through the row store and through the
// second read, each with the lean and with the general encoder, and cut into
// chunks for four threads, and every file must hold the same bytes. Any
// mismatch aborts.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "utils/apps/narvelix/narvelix.hpp"
#include "utils/logging/logging_api.hpp"
#include "utils/metadata/metadata_reader.hpp"

namespace {

// Scratch files live in memory when /dev/shm exists.
std::string tempPath(const char* suffix) {
  static const char* const folder = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(folder) + "/fuzz_convert_" + std::to_string(::getpid()) + suffix;
}

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz_convert: metadata file is inconsistent: %s\n", what);
    std::abort();
  }
}

// What the reader accepts but the converter must not write: more than 128
// fields, fields that are not packed back to back (after the record header
// of variable-length records), and records longer than the fields rounded up
// to 8 (for fixed-length records: any other length).
void checkLayout(MetaDataReader& reader) {
  check(reader.totalFields() <= 128, "field count");
  uint32_t expectedOffset = reader.isVariableLength() ? 16 : 0;
  for (uint32_t i = 0; i < reader.totalFields(); ++i) {
    const UniversalMetaData_FieldDescription& d = reader.fieldDescription(i);
    check(d.fieldOffset == expectedOffset, "field offsets are not packed");
    check(d.fieldLength % 4 == 0 && d.fieldLength > 0, "field length");
    expectedOffset += d.fieldLength;
  }
  const uint32_t rounded = (expectedOffset + 7) & ~7u;
  while (reader.nextRecord()) {
    if (reader.isVariableLength()) {
      check(reader.recordLength() <= rounded, "record length");
    } else {
      check(reader.totalFields() == 0 || reader.recordLength() == rounded, "record length");
    }
  }
}

// One way through the converter: rows kept in the row store or read again
// from the file, fixed-length records by the lean or the general encoder, on
// one thread or on several (the file cut into chunks whatever its size).
struct Path {
  bool secondRead;
  bool generalEncoder;
  unsigned threads = 1;
};

// Converts input into output along path and returns the bytes written (empty
// when nothing was written).
std::string convert(const std::string& input, const std::string& output,
                    const Narvelix::ConvertOptions& opt, const Path& path, bool header) {
  std::remove(output.c_str());
  const int fd = ::open(input.c_str(), O_RDONLY);
  if (fd < 0) return std::string();
  {
    Narvelix converter(fd, output.c_str(), &opt);
    if (path.secondRead) converter.encodeFromSecondRead();
    if (path.generalEncoder) converter.useGeneralEncoder();
    converter.readAndProcessInChunks(path.threads, 0);
    ::close(fd);
    converter.releaseDescriptor();
    if (header) {
      const std::string headerName = output + ".hpp";
      (void)converter.dump_CPP_structure(headerName.c_str());
      std::remove(headerName.c_str());
    }
  }
  return readWhole(output);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const bool quiet = [] {
    DISABLE_COMPONENT_LOG_LEVEL(app, app_all);
    DISABLE_COMPONENT_LOG_LEVEL(io, io_all);
    return true;
  }();
  (void)quiet;
  const uint8_t flags = data[0];
  std::string csv(reinterpret_cast<const char*>(data + 1), size - 1);
  if (flags & 2) {
    // Mark every other heading field optional: "a,b,c" -> "a,?2b,c" style.
    std::string heading;
    std::size_t end = csv.find('\n');
    if (end == std::string::npos) end = csv.size();
    int column = 0;
    heading += (column % 2) ? "?2" : "";
    for (std::size_t i = 0; i < end; ++i) {
      heading += csv[i];
      if (csv[i] == ',') {
        ++column;
        if (column % 2) heading += (column % 4 == 1) ? "?2" : "?3";
      }
    }
    csv = heading + csv.substr(end);
  }
  const std::string input = tempPath(".csv");
  const std::string output = tempPath(".metadata");
  FILE* f = std::fopen(input.c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(csv.data(), 1, csv.size(), f);
  std::fclose(f);

  Narvelix::ConvertOptions opt;
  opt.reorderFields = (flags & 1) != 0;
  opt.useDensePacking = (flags & 8) != 0;
  static Narvelix::ColumnOverrideSpecification overrides[3];
  opt.externalOverrides = overrides;
  auto addOverride = [&opt](const char* from, const char* to) {
    Narvelix::ColumnOverrideSpecification& o = overrides[opt.overrideCount++];
    std::snprintf(o.renameFrom, sizeof o.renameFrom, "%s", from);
    std::snprintf(o.fieldName, sizeof o.fieldName, "%s", to);
  };
  if (flags & 16) addOverride("a", "");
  if (flags & 32) addOverride("b", "renamed_b_name_");
  if (flags & 64) addOverride("c", "a");
  const std::string written = convert(input, output, opt, Path{false, false}, (flags & 4) != 0);
  if (flags & 128) {
    const Path others[] = {{false, true}, {true, false}, {true, true}, {true, false, 4}};
    for (const Path& path : others) {
      if (convert(input, output, opt, path, false) != written) {
        std::fprintf(stderr, "fuzz_convert: %s with the %s encoder on %u threads wrote other bytes\n",
                     path.secondRead ? "the second read" : "the row store",
                     path.generalEncoder ? "general" : "lean", path.threads);
        std::abort();
      }
    }
  }
  if (!written.empty()) {
    // The library's reader accepts every file the converter writes: header
    // constants, descriptions and records that fill the file exactly.
    MetaDataReader reader;
    if (reader.openMemory(written.data(), written.size(), "converted") != MetaDataReader::METADATA_OK) {
      std::fprintf(stderr, "fuzz_convert: the reader refuses the file: %s\n", reader.errorText());
      std::abort();
    }
    checkLayout(reader);
  }
  std::remove(input.c_str());
  std::remove(output.c_str());
  return 0;
}
