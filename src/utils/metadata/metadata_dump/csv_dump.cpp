// The metadata dump renderings: records as CSV and the file description as a
// table, written through MetaDataTextWriter's single buffer. The record loop
// reads each field straight from the reader's image by type, reserving the
// widest text the field can produce before writing it, so a row costs no
// allocation and the descriptor sees one write per megabyte.
#include <errno.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "utils/metadata/metadata_dump.hpp"

MetaDataTextWriter::MetaDataTextWriter(int fd) : fd_(fd), buffer_(new char[BUFFER_BYTES]) {}

MetaDataTextWriter::~MetaDataTextWriter() {
  flush();
  delete[] buffer_;
}

bool MetaDataTextWriter::flush() {
  std::size_t done = 0;
  while (!failed_ && done < used_) {
    const ssize_t wrote = ::write(fd_, buffer_ + done, used_ - done);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      savedErrno_ = errno;
      failed_ = true;
      break;
    }
    done += static_cast<std::size_t>(wrote);
  }
  used_ = 0;
  return !failed_;
}

char *MetaDataTextWriter::reserve(std::size_t bytes) {
  if (BUFFER_BYTES - used_ < bytes) flush();
  return buffer_ + used_;
}

void MetaDataTextWriter::append(const char *text, std::size_t length) {
  while (length != 0) {
    if (used_ == BUFFER_BYTES) flush();
    const std::size_t room = BUFFER_BYTES - used_;
    const std::size_t part = length < room ? length : room;
    std::memcpy(buffer_ + used_, text, part);
    used_ += part;
    text += part;
    length -= part;
  }
}

void MetaDataTextWriter::append(const char *text) { append(text, std::strlen(text)); }

namespace {

uint32_t readU32(const unsigned char *p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

uint64_t readU64(const unsigned char *p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

}  // namespace

int writeMetaDataCsv(MetaDataReader &reader, MetaDataTextWriter &out, uint64_t maxRows,
                     char *errorText, std::size_t errorSize) {
  const uint32_t fieldCount = reader.totalFields();
  // Per field: type code and the widest cell it can produce (a text cell
  // doubles every byte at worst and adds two quotes).
  std::vector<uint8_t> types(fieldCount);
  std::vector<uint16_t> lengths(fieldCount);
  for (uint32_t i = 0; i < fieldCount; ++i) {
    types[i] = reader.fieldDescription(i).fieldType;
    lengths[i] = reader.fieldDescription(i).fieldLength;
  }

  for (uint32_t i = 0; i < fieldCount; ++i) {
    const char *name = reader.fieldName(i);
    char *p = out.reserve(2 * std::strlen(name) + 3);
    if (i != 0) *p++ = ',';
    p = formatCsvCell(p, name, std::strlen(name));
    out.commit(p);
  }
  out.append("\n", 1);

  reader.rewind();
  uint64_t rows = 0;
  while (rows < maxRows && reader.nextRecord()) {
    ++rows;
    for (uint32_t i = 0; i < fieldCount; ++i) {
      const std::size_t widest = types[i] == SharedMemoryVariable::SMV_TYPE_STRING
                                     ? 2 * static_cast<std::size_t>(lengths[i]) + 3
                                     : METADATA_MAX_NUMBER_TEXT + 1;
      char *p = out.reserve(widest);
      if (i != 0) *p++ = ',';
      const unsigned char *data = reader.fieldData(i);
      if (data != nullptr) {
        switch (types[i]) {
          case SharedMemoryVariable::SMV_TYPE_INT32:
            p = formatSignedText(p, static_cast<int32_t>(readU32(data)));
            break;
          case SharedMemoryVariable::SMV_TYPE_UINT32:
            p = formatUnsignedText(p, readU32(data));
            break;
          case SharedMemoryVariable::SMV_TYPE_INT64:
            p = formatSignedText(p, static_cast<int64_t>(readU64(data)));
            break;
          case SharedMemoryVariable::SMV_TYPE_UINT64:
            p = formatUnsignedText(p, readU64(data));
            break;
          case SharedMemoryVariable::SMV_TYPE_FIXED: {
            const uint32_t precision = readU32(data + 8);
            if (precision > MetaDataReader::MAX_FIXED_PRECISION) {
              out.commit(p);
              std::snprintf(errorText, errorSize,
                            "record %u field '%s': fixed-point precision %u is more than %u",
                            reader.recordIndex(), reader.fieldName(i), precision,
                            MetaDataReader::MAX_FIXED_PRECISION);
              out.flush();
              return -1;
            }
            p = formatFixedPointText(p, static_cast<int64_t>(readU64(data)), precision);
            break;
          }
          default: {  // SMV_TYPE_STRING; the reader admits no other codes
            const char *text = reinterpret_cast<const char *>(data);
            const void *zero = std::memchr(text, 0, lengths[i]);
            const std::size_t length =
                zero != nullptr ? static_cast<std::size_t>(static_cast<const char *>(zero) - text)
                                : lengths[i];
            p = formatCsvCell(p, text, length);
            break;
          }
        }
      }
      out.commit(p);
    }
    char *p = out.reserve(1);
    *p++ = '\n';
    out.commit(p);
  }
  if (!out.flush()) {
    std::snprintf(errorText, errorSize, "write failed: %s", std::strerror(out.savedErrno()));
    return -1;
  }
  return 0;
}

int writeMetaDataDescription(const MetaDataReader &reader, MetaDataTextWriter &out) {
  char line[256];
  // The magic number may hold any bytes; show the unprintable ones as \xNN.
  char magic[4 * UNIVERSAL_METADATA_MAGIC_LENGTH + 1];
  char *m = magic;
  for (const char *c = reader.magicNumber(); *c != '\0'; ++c) {
    const unsigned char byte = static_cast<unsigned char>(*c);
    if (byte >= 0x20 && byte < 0x7f) {
      *m++ = *c;
    } else {
      m += std::snprintf(m, 5, "\\x%02x", byte);
    }
  }
  *m = '\0';

  const UniversalMetaData_ReferenceFileHeader &header = reader.fileHeader();
  std::snprintf(line, sizeof(line), "magic number: %s\n", magic);
  out.append(line);
  std::snprintf(line, sizeof(line), "header length: %u, field description length: %u\n",
                header.headerLength, header.fieldDescriptionLength);
  out.append(line);
  if (header.metaRecordLength != 0) {
    std::snprintf(line, sizeof(line), "records: fixed length, %u bytes\n", header.metaRecordLength);
  } else if (reader.totalFields() == 0 && reader.fileSize() == 24) {
    std::snprintf(line, sizeof(line), "records: no fields, 0 bytes\n");
  } else {
    std::snprintf(line, sizeof(line), "records: variable length, 16-byte record header\n");
  }
  out.append(line);
  std::snprintf(line, sizeof(line), "fields: %u\n", reader.totalFields());
  out.append(line);
  std::snprintf(line, sizeof(line), "%5s  %-16s %5s  %-16s %6s %6s\n", "index", "name", "group",
                "type", "offset", "length");
  out.append(line);
  for (uint32_t i = 0; i < reader.totalFields(); ++i) {
    const UniversalMetaData_FieldDescription &d = reader.fieldDescription(i);
    std::snprintf(line, sizeof(line), "%5u  %-16s %5u  %-16s %6u %6u\n", i, reader.fieldName(i),
                  d.fieldGroupId, MetaDataReader::typeName(d.fieldType), d.fieldOffset,
                  d.fieldLength);
    out.append(line);
  }
  std::snprintf(line, sizeof(line), "total records: %u\n", reader.totalRecords());
  out.append(line);
  return out.flush() ? 0 : -1;
}
