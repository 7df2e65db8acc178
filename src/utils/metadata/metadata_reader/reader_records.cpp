// Record navigation and field access for metadata reference files. Everything
// here relies on the validation done at open: record headers, lengths and
// field extents are known to lie inside the image, so moving to a record and
// reading a field only compute offsets. Typed getters convert only when the
// stored value fits the requested type exactly.
#include <cinttypes>
#include <cstring>

#include "utils/base/compiler_hints.hpp"
#include "utils/metadata/metadata_reader.hpp"

namespace {

constexpr uint32_t RECORD_HEADER = sizeof(UniversalMetaData_ReferenceRecordHeader);

// 10^0 .. 10^18, the scales of fixed-point precisions a reader hands out.
constexpr int64_t POWERS_OF_10[19] = {1,
                                      10,
                                      100,
                                      1000,
                                      10000,
                                      100000,
                                      1000000,
                                      10000000,
                                      100000000,
                                      1000000000,
                                      10000000000,
                                      100000000000,
                                      1000000000000,
                                      10000000000000,
                                      100000000000000,
                                      1000000000000000,
                                      10000000000000000,
                                      100000000000000000,
                                      1000000000000000000};

template <typename T>
T readValue(const unsigned char *p) {
  T v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

}  // namespace

const char *MetaDataReader::typeName(uint32_t typeCode) {
  switch (typeCode) {
    case SharedMemoryVariable::SMV_TYPE_INT32:
      return "SMV_TYPE_INT32";
    case SharedMemoryVariable::SMV_TYPE_UINT32:
      return "SMV_TYPE_UINT32";
    case SharedMemoryVariable::SMV_TYPE_INT64:
      return "SMV_TYPE_INT64";
    case SharedMemoryVariable::SMV_TYPE_UINT64:
      return "SMV_TYPE_UINT64";
    case SharedMemoryVariable::SMV_TYPE_FIXED:
      return "SMV_TYPE_FIXED";
    case SharedMemoryVariable::SMV_TYPE_STRING:
      return "SMV_TYPE_STRING";
    default:
      return "unknown";
  }
}

int MetaDataReader::fieldIndex(std::string_view name) const {
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (name == names_[i].text) return static_cast<int>(i);
  }
  return -1;
}

uint64_t MetaDataReader::presentBodyLength(uint64_t mask) const {
  uint64_t length = alwaysPresentLength_;
  for (uint64_t m = mask & usedGroups_; m != 0; m &= m - 1) length += groupBodyLength_[ZUR_lowestSetBit(m)];
  return length;
}

void MetaDataReader::rewind() {
  recordData_ = nullptr;
  recordIndex_ = 0;
  recordLength_ = 0;
  presentMask_ = 0;
  nextIndex_ = 0;
  nextRecordPos_ = recordsStart_;
}

bool MetaDataReader::enterFixedRecord(uint32_t index) {
  // Fixed-length records, and the empty records of a file without fields.
  recordLength_ = header_.metaRecordLength;
  recordData_ = image_ + recordsStart_ + static_cast<std::size_t>(index) * recordLength_;
  recordIndex_ = index;
  presentMask_ = ~uint64_t{0};
  nextIndex_ = index + 1;
  return true;
}

bool MetaDataReader::enterVariableRecord(const unsigned char *record, uint32_t index) {
  recordData_ = record;
  recordIndex_ = index;
  recordLength_ = readValue<uint16_t>(record);
  presentMask_ =
      readValue<uint64_t>(record + offsetof(UniversalMetaData_ReferenceRecordHeader, fieldsPresentMask));
  uint32_t offset = RECORD_HEADER;
  const std::size_t count = descriptions_.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (fieldGroupBit_[i] == ALWAYS_PRESENT || (presentMask_ & fieldGroupBit_[i]) != 0) {
      fieldOffsets_[i] = static_cast<uint16_t>(offset);
      offset += descriptions_[i].fieldLength;
    } else {
      fieldOffsets_[i] = ABSENT;
    }
  }
  nextIndex_ = index + 1;
  nextRecordPos_ = static_cast<std::size_t>(record - image_) + recordLength_;
  return true;
}

bool MetaDataReader::nextRecord() {
  if (image_ == nullptr || nextIndex_ >= header_.totalRecords) {
    recordData_ = nullptr;
    nextIndex_ = header_.totalRecords;
    return false;
  }
  const bool variable = header_.metaRecordLength == 0 && imageSize_ != recordsStart_;
  if (!variable) return enterFixedRecord(nextIndex_);
  const std::size_t pos = nextIndex_ == 0 ? recordsStart_ : nextRecordPos_;
  return enterVariableRecord(image_ + pos, nextIndex_);
}

bool MetaDataReader::seekRecord(uint32_t index) {
  if (image_ == nullptr) {
    setError("no file is open");
    return false;
  }
  if (index >= header_.totalRecords) {
    setError("record %u is past the last record (%u records)", index, header_.totalRecords);
    return false;
  }
  const bool variable = header_.metaRecordLength == 0 && imageSize_ != recordsStart_;
  if (!variable) return enterFixedRecord(index);
  if (recordData_ == nullptr || index < recordIndex_) {
    rewind();
    nextRecord();
  }
  while (recordIndex_ < index) nextRecord();
  return true;
}

bool MetaDataReader::fieldFor(uint32_t field, const unsigned char *&data,
                              const UniversalMetaData_FieldDescription *&description) const {
  if (recordData_ == nullptr) {
    setError("no current record");
    return false;
  }
  if (field >= descriptions_.size()) {
    setError("record %u: no field %u (%zu fields)", recordIndex_, field, descriptions_.size());
    return false;
  }
  if (fieldOffsets_[field] == ABSENT) {
    setError("record %u: field '%s' is absent", recordIndex_, names_[field].text);
    return false;
  }
  data = recordData_ + fieldOffsets_[field];
  description = &descriptions_[field];
  return true;
}

bool MetaDataReader::integerOf(uint32_t field, bool &isNegative, uint64_t &magnitude) const {
  const unsigned char *data;
  const UniversalMetaData_FieldDescription *d;
  if (!fieldFor(field, data, d)) return false;
  int64_t signedValue = 0;
  switch (d->fieldType) {
    case SharedMemoryVariable::SMV_TYPE_INT32:
      signedValue = readValue<int32_t>(data);
      break;
    case SharedMemoryVariable::SMV_TYPE_UINT32:
      isNegative = false;
      magnitude = readValue<uint32_t>(data);
      return true;
    case SharedMemoryVariable::SMV_TYPE_INT64:
      signedValue = readValue<int64_t>(data);
      break;
    case SharedMemoryVariable::SMV_TYPE_UINT64:
      isNegative = false;
      magnitude = readValue<uint64_t>(data);
      return true;
    case SharedMemoryVariable::SMV_TYPE_FIXED: {
      signedValue = readValue<int64_t>(data);
      const uint32_t precision = readValue<uint32_t>(data + 8);
      if (precision != 0 &&
          (precision > MAX_FIXED_PRECISION || signedValue % POWERS_OF_10[precision] != 0)) {
        setError("record %u: field '%s' holds a value with %u decimal places, not an integer",
                 recordIndex_, names_[field].text, precision);
        return false;
      }
      if (precision != 0) signedValue /= POWERS_OF_10[precision];
      break;
    }
    default:
      setError("record %u: field '%s' holds text, not a number", recordIndex_, names_[field].text);
      return false;
  }
  isNegative = signedValue < 0;
  magnitude = isNegative ? 0 - static_cast<uint64_t>(signedValue) : static_cast<uint64_t>(signedValue);
  return true;
}

bool MetaDataReader::getInt64(uint32_t field, int64_t &out) const {
  bool isNegative;
  uint64_t magnitude;
  if (!integerOf(field, isNegative, magnitude)) return false;
  const uint64_t limit = isNegative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  if (magnitude > limit) {
    setError("record %u: field '%s' value %" PRIu64 " is out of int64 range", recordIndex_,
             names_[field].text, magnitude);
    return false;
  }
  out = isNegative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

bool MetaDataReader::getUint64(uint32_t field, uint64_t &out) const {
  bool isNegative;
  uint64_t magnitude;
  if (!integerOf(field, isNegative, magnitude)) return false;
  if (isNegative && magnitude != 0) {
    setError("record %u: field '%s' is negative, not an unsigned value", recordIndex_,
             names_[field].text);
    return false;
  }
  out = magnitude;
  return true;
}

bool MetaDataReader::getInt32(uint32_t field, int32_t &out) const {
  int64_t wide;
  if (!getInt64(field, wide)) return false;
  if (wide < INT32_MIN || wide > INT32_MAX) {
    setError("record %u: field '%s' value %" PRId64 " is out of int32 range", recordIndex_,
             names_[field].text, wide);
    return false;
  }
  out = static_cast<int32_t>(wide);
  return true;
}

bool MetaDataReader::getUint32(uint32_t field, uint32_t &out) const {
  uint64_t wide;
  if (!getUint64(field, wide)) return false;
  if (wide > UINT32_MAX) {
    setError("record %u: field '%s' value %" PRIu64 " is out of uint32 range", recordIndex_,
             names_[field].text, wide);
    return false;
  }
  out = static_cast<uint32_t>(wide);
  return true;
}

bool MetaDataReader::getFixedPoint(uint32_t field, VariableFixedPointValue &out) const {
  const unsigned char *data;
  const UniversalMetaData_FieldDescription *d;
  if (!fieldFor(field, data, d)) return false;
  if (d->fieldType == SharedMemoryVariable::SMV_TYPE_FIXED) {
    const uint32_t precision = readValue<uint32_t>(data + 8);
    if (precision > MAX_FIXED_PRECISION) {
      setError("record %u: field '%s' has fixed-point precision %u, more than %u", recordIndex_,
               names_[field].text, precision, MAX_FIXED_PRECISION);
      return false;
    }
    out.value = readValue<int64_t>(data);
    out.precision = static_cast<int_fast8_t>(precision);
    return true;
  }
  int64_t value;
  if (!getInt64(field, value)) return false;
  out.value = value;
  out.precision = 0;
  return true;
}

bool MetaDataReader::getText(uint32_t field, std::string_view &out) const {
  const unsigned char *data;
  const UniversalMetaData_FieldDescription *d;
  if (!fieldFor(field, data, d)) return false;
  if (d->fieldType != SharedMemoryVariable::SMV_TYPE_STRING) {
    setError("record %u: field '%s' is a number (%s), not text", recordIndex_, names_[field].text,
             typeName(d->fieldType));
    return false;
  }
  const char *text = reinterpret_cast<const char *>(data);
  const void *zero = std::memchr(text, 0, d->fieldLength);
  const std::size_t length =
      zero != nullptr ? static_cast<std::size_t>(static_cast<const char *>(zero) - text)
                      : d->fieldLength;
  out = std::string_view(text, length);
  return true;
}

bool MetaDataReader::numberNamed(std::string_view name, uint32_t &field) const {
  const int index = fieldIndex(name);
  if (index < 0) {
    setError("no field named '%.*s'", static_cast<int>(name.size()), name.data());
    return false;
  }
  field = static_cast<uint32_t>(index);
  return true;
}

bool MetaDataReader::getInt32(std::string_view name, int32_t &out) const {
  uint32_t field;
  return numberNamed(name, field) && getInt32(field, out);
}
bool MetaDataReader::getUint32(std::string_view name, uint32_t &out) const {
  uint32_t field;
  return numberNamed(name, field) && getUint32(field, out);
}
bool MetaDataReader::getInt64(std::string_view name, int64_t &out) const {
  uint32_t field;
  return numberNamed(name, field) && getInt64(field, out);
}
bool MetaDataReader::getUint64(std::string_view name, uint64_t &out) const {
  uint32_t field;
  return numberNamed(name, field) && getUint64(field, out);
}
bool MetaDataReader::getFixedPoint(std::string_view name, VariableFixedPointValue &out) const {
  uint32_t field;
  return numberNamed(name, field) && getFixedPoint(field, out);
}
bool MetaDataReader::getText(std::string_view name, std::string_view &out) const {
  uint32_t field;
  return numberNamed(name, field) && getText(field, out);
}
