// Opening and validating metadata reference files: mapping or reading the
// image, and the one pass that checks every structure against the image size
// so that record and field access later need no bounds checks of their own.
// Runs on the caller's thread; reports through the reader's error text only.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "utils/metadata/metadata_reader.hpp"

namespace {

// Field length each type code requires; 0 for the string type (any length
// from 1), -1 for codes a metadata file never holds.
int requiredLength(uint32_t typeCode) {
  switch (typeCode) {
    case SharedMemoryVariable::SMV_TYPE_INT32:
    case SharedMemoryVariable::SMV_TYPE_UINT32:
      return 4;
    case SharedMemoryVariable::SMV_TYPE_INT64:
    case SharedMemoryVariable::SMV_TYPE_UINT64:
      return 8;
    case SharedMemoryVariable::SMV_TYPE_FIXED:
      return 16;
    case SharedMemoryVariable::SMV_TYPE_STRING:
      return 0;
    default:
      return -1;
  }
}

uint16_t readU16(const unsigned char *p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

uint64_t readU64(const unsigned char *p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

// One byte that stands for the image of an empty file, so an open reader
// always has a non-null image.
const unsigned char EMPTY_IMAGE[1] = {0};

}  // namespace

MetaDataReader::MetaDataReader() = default;

MetaDataReader::~MetaDataReader() { close(); }

void MetaDataReader::setError(const char *format, ...) const {
  va_list args;
  va_start(args, format);
  int used = std::snprintf(errorText_, sizeof(errorText_), "%s: ", label_);
  if (used < 0 || static_cast<std::size_t>(used) >= sizeof(errorText_)) used = 0;
  std::vsnprintf(errorText_ + used, sizeof(errorText_) - static_cast<std::size_t>(used), format,
                 args);
  va_end(args);
}

void MetaDataReader::close() {
  if (mapping_ != nullptr) {
    munmap(mapping_, imageSize_);
    mapping_ = nullptr;
  }
  std::vector<unsigned char>().swap(ownedImage_);
  image_ = nullptr;
  imageSize_ = 0;
  header_ = UniversalMetaData_ReferenceFileHeader{};
  magic_[0] = '\0';
  descriptions_.clear();
  names_.clear();
  fieldGroupBit_.clear();
  fieldOffsets_.clear();
  plans_.clear();
  lastPlan_ = 0;
  std::memset(groupBodyLength_, 0, sizeof(groupBodyLength_));
  usedGroups_ = 0;
  alwaysPresentLength_ = 0;
  recordsStart_ = 0;
  rewind();
}

int MetaDataReader::openMemory(const void *data, std::size_t sizeBytes, const char *label) {
  close();
  std::snprintf(labelCopy_, sizeof(labelCopy_), "%s", label != nullptr ? label : "memory");
  label_ = labelCopy_;
  errorText_[0] = '\0';
  image_ = sizeBytes != 0 && data != nullptr ? static_cast<const unsigned char *>(data)
                                             : EMPTY_IMAGE;
  imageSize_ = data != nullptr ? sizeBytes : 0;
  const int result = validate();
  if (result != METADATA_OK) {
    char keep[MAX_ERROR_TEXT];
    std::memcpy(keep, errorText_, sizeof(keep));
    close();
    std::memcpy(errorText_, keep, sizeof(keep));
  }
  return result;
}

int MetaDataReader::open(const char *fileName) {
  close();
  std::snprintf(labelCopy_, sizeof(labelCopy_), "%s", fileName);
  label_ = labelCopy_;
  errorText_[0] = '\0';

  const bool isStdin = std::strcmp(fileName, "--stdin") == 0;
  int fd = isStdin ? 0 : ::open(fileName, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int saved = errno;
    setError("cannot open: %s", std::strerror(saved));
    return METADATA_OPEN_FAILED;
  }
  struct stat info;
  if (fstat(fd, &info) != 0) {
    const int saved = errno;
    if (!isStdin) ::close(fd);
    setError("cannot examine: %s", std::strerror(saved));
    return METADATA_OPEN_FAILED;
  }
  if (S_ISDIR(info.st_mode)) {
    if (!isStdin) ::close(fd);
    setError("is a directory");
    return METADATA_OPEN_FAILED;
  }

  if (S_ISREG(info.st_mode)) {
    if (static_cast<uint64_t>(info.st_size) > static_cast<uint64_t>(SIZE_MAX / 2)) {
      if (!isStdin) ::close(fd);
      setError("file of %llu bytes is too large to map",
               static_cast<unsigned long long>(info.st_size));
      return METADATA_OPEN_FAILED;
    }
    const std::size_t size = static_cast<std::size_t>(info.st_size);
    if (size != 0) {
      void *mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
      if (mapped == MAP_FAILED) {
        const int saved = errno;
        if (!isStdin) ::close(fd);
        setError("cannot map %zu bytes: %s", size, std::strerror(saved));
        return METADATA_OPEN_FAILED;
      }
      // Records are read front to back; let the kernel read ahead.
      madvise(mapped, size, MADV_SEQUENTIAL);
      mapping_ = mapped;
    }
    if (!isStdin) ::close(fd);  // the mapping stays valid without the descriptor
    image_ = mapping_ != nullptr ? static_cast<const unsigned char *>(mapping_) : EMPTY_IMAGE;
    imageSize_ = size;
  } else {
    // A pipe or terminal: read everything, growing the buffer geometrically.
    std::size_t used = 0;
    ownedImage_.resize(1 << 16);
    for (;;) {
      if (used == ownedImage_.size()) ownedImage_.resize(ownedImage_.size() * 2);
      const ssize_t got = ::read(fd, ownedImage_.data() + used, ownedImage_.size() - used);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        const int saved = errno;
        if (!isStdin) ::close(fd);
        std::vector<unsigned char>().swap(ownedImage_);
        setError("read failed: %s", std::strerror(saved));
        return METADATA_OPEN_FAILED;
      }
      if (got == 0) break;
      used += static_cast<std::size_t>(got);
    }
    if (!isStdin) ::close(fd);
    ownedImage_.resize(used);
    image_ = used != 0 ? ownedImage_.data() : EMPTY_IMAGE;
    imageSize_ = used;
  }

  const int result = validate();
  if (result != METADATA_OK) {
    char keep[MAX_ERROR_TEXT];
    std::memcpy(keep, errorText_, sizeof(keep));
    close();
    std::memcpy(errorText_, keep, sizeof(keep));
  }
  return result;
}

int MetaDataReader::validate() {
  constexpr std::size_t HEADER = sizeof(UniversalMetaData_ReferenceFileHeader);
  constexpr std::size_t DESCRIPTION = sizeof(UniversalMetaData_FieldDescription);
  constexpr std::size_t RECORD_HEADER = sizeof(UniversalMetaData_ReferenceRecordHeader);

  if (imageSize_ < HEADER) {
    setError("truncated header: file has %zu bytes, the header needs %zu", imageSize_, HEADER);
    return METADATA_BAD_FORMAT;
  }
  std::memcpy(&header_, image_, HEADER);
  if (header_.headerLength != HEADER) {
    setError("header length is %u, expected %zu", header_.headerLength, HEADER);
    return METADATA_BAD_FORMAT;
  }
  if (header_.fieldDescriptionLength != DESCRIPTION) {
    setError("field description length is %u, expected %zu", header_.fieldDescriptionLength,
             DESCRIPTION);
    return METADATA_BAD_FORMAT;
  }
  std::memcpy(magic_, header_.magicNumber, UNIVERSAL_METADATA_MAGIC_LENGTH);
  magic_[UNIVERSAL_METADATA_MAGIC_LENGTH] = '\0';

  const uint32_t fieldCount = header_.totalFields;
  const std::size_t descriptionsEnd = HEADER + DESCRIPTION * fieldCount;
  if (imageSize_ < descriptionsEnd) {
    setError("truncated field descriptions: %u fields need %zu bytes, file has %zu", fieldCount,
             descriptionsEnd, imageSize_);
    return METADATA_BAD_FORMAT;
  }
  recordsStart_ = descriptionsEnd;

  descriptions_.resize(fieldCount);
  names_.resize(fieldCount);
  fieldGroupBit_.assign(fieldCount, 1);
  fieldOffsets_.assign(fieldCount, ABSENT);
  uint64_t allFieldsLength = 0;
  for (uint32_t i = 0; i < fieldCount; ++i) {
    UniversalMetaData_FieldDescription &d = descriptions_[i];
    std::memcpy(&d, image_ + HEADER + DESCRIPTION * i, DESCRIPTION);
    std::memcpy(names_[i].text, d.fieldName, sizeof(d.fieldName));
    names_[i].text[sizeof(d.fieldName)] = '\0';
    const int needed = requiredLength(d.fieldType);
    if (needed < 0) {
      setError("field %u '%s': unsupported type code %u", i, names_[i].text, d.fieldType);
      return METADATA_BAD_FORMAT;
    }
    if ((needed > 0 && d.fieldLength != needed) || d.fieldLength == 0) {
      setError("field %u '%s': length %u does not suit type %s", i, names_[i].text,
               d.fieldLength, typeName(d.fieldType));
      return METADATA_BAD_FORMAT;
    }
    allFieldsLength += d.fieldLength;
  }

  const uint64_t recordBytes = imageSize_ - descriptionsEnd;
  if (header_.metaRecordLength != 0) {
    const uint32_t recordLength = header_.metaRecordLength;
    for (uint32_t i = 0; i < fieldCount; ++i) {
      const UniversalMetaData_FieldDescription &d = descriptions_[i];
      if (static_cast<uint32_t>(d.fieldOffset) + d.fieldLength > recordLength) {
        setError("field %u '%s': offset %u + length %u runs past the record length %u", i,
                 names_[i].text, d.fieldOffset, d.fieldLength, recordLength);
        return METADATA_BAD_FORMAT;
      }
      fieldOffsets_[i] = d.fieldOffset;
    }
    const uint64_t expected = static_cast<uint64_t>(header_.totalRecords) * recordLength;
    if (recordBytes != expected) {
      setError("record data is %llu bytes, but %u records of %u bytes need %llu",
               static_cast<unsigned long long>(recordBytes), header_.totalRecords, recordLength,
               static_cast<unsigned long long>(expected));
      return METADATA_BAD_FORMAT;
    }
    return METADATA_OK;
  }

  // No record length and no fields: records take no bytes (every column was
  // deleted), unless record headers follow.
  if (fieldCount == 0 && recordBytes == 0) return METADATA_OK;

  // Variable-length records: offsets in the descriptions assume every field
  // is present and count from the record header.
  for (uint32_t i = 0; i < fieldCount; ++i) {
    const UniversalMetaData_FieldDescription &d = descriptions_[i];
    if (d.fieldOffset < RECORD_HEADER ||
        d.fieldOffset + static_cast<uint64_t>(d.fieldLength) > RECORD_HEADER + allFieldsLength) {
      setError("field %u '%s': offset %u + length %u lies outside a record of %llu bytes", i,
               names_[i].text, d.fieldOffset, d.fieldLength,
               static_cast<unsigned long long>(RECORD_HEADER + allFieldsLength));
      return METADATA_BAD_FORMAT;
    }
    // Groups 0 and above 64 own no bit of the 64-bit masks: the writer puts
    // their fields in every record.
    const uint32_t group = d.fieldGroupId;
    if (group == 0 || group > 64) {
      fieldGroupBit_[i] = ALWAYS_PRESENT;
      alwaysPresentLength_ += d.fieldLength;
      continue;
    }
    fieldGroupBit_[i] = uint64_t{1} << (group - 1);
    usedGroups_ |= fieldGroupBit_[i];
    groupBodyLength_[group - 1] += d.fieldLength;
  }

  std::size_t pos = descriptionsEnd;
  for (uint32_t k = 0; k < header_.totalRecords; ++k) {
    if (imageSize_ - pos < RECORD_HEADER) {
      setError("record %u: record header at offset %zu runs past the end of the file (%zu bytes)",
               k, pos, imageSize_);
      return METADATA_BAD_FORMAT;
    }
    const unsigned char *record = image_ + pos;
    const uint32_t length = readU16(record + offsetof(UniversalMetaData_ReferenceRecordHeader,
                                                      totalRecordLength));
    const uint32_t version =
        record[offsetof(UniversalMetaData_ReferenceRecordHeader, recordFormatVersion)];
    if (length < RECORD_HEADER) {
      setError("record %u at offset %zu: length %u is shorter than its 16-byte header", k, pos,
               length);
      return METADATA_BAD_FORMAT;
    }
    if (length % 8 != 0) {
      setError("record %u at offset %zu: length %u is not a multiple of 8", k, pos, length);
      return METADATA_BAD_FORMAT;
    }
    if (length > imageSize_ - pos) {
      setError("record %u at offset %zu: length %u runs past the end of the file (%zu bytes)", k,
               pos, length, imageSize_);
      return METADATA_BAD_FORMAT;
    }
    if (version != UNIVERSAL_METADATA_RECORD_FORMAT_VERSION) {
      setError("record %u at offset %zu: record format version %u, expected %u", k, pos, version,
               UNIVERSAL_METADATA_RECORD_FORMAT_VERSION);
      return METADATA_BAD_FORMAT;
    }
    const uint64_t mask =
        readU64(record + offsetof(UniversalMetaData_ReferenceRecordHeader, fieldsPresentMask));
    const uint64_t body = presentBodyLength(mask);
    if (body > length - RECORD_HEADER) {
      setError("record %u at offset %zu: its present fields need %llu bytes, the record holds %u",
               k, pos, static_cast<unsigned long long>(body), length - static_cast<uint32_t>(RECORD_HEADER));
      return METADATA_BAD_FORMAT;
    }
    pos += length;
  }
  if (pos != imageSize_) {
    setError("%zu bytes follow the last of %u records", imageSize_ - pos, header_.totalRecords);
    return METADATA_BAD_FORMAT;
  }
  return METADATA_OK;
}
