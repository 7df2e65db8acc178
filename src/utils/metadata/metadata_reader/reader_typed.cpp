// Records of a metadata file read into a generated record struct. The first
// call for a record type compares the struct's description table with the
// file once and keeps the result as a plan: a plain copy when the layouts are
// the same, otherwise one copy step per member taken from the file's field of
// the same name. Later calls look the plan up (the last one used first) and
// copy; nothing is allocated per record.
#include <cstring>

#include "utils/metadata/metadata_reader.hpp"

namespace {

// Group of a description; 0 is written for optional fields without a number
// and means the same as 1 here.
uint32_t groupOf(const UniversalMetaData_FieldDescription &d) {
  return d.fieldGroupId == 0 ? 1u : d.fieldGroupId;
}

bool sameName(const char *a, const char *b) {
  return std::strncmp(a, b, UNIVERSAL_METADATA_NAME_LENGTH) == 0;
}

}  // namespace

int MetaDataReader::recordPlanFor(const RecordType &type) const {
  if (lastPlan_ < plans_.size() && plans_[lastPlan_].table == type.table &&
      plans_[lastPlan_].typeSize == type.size) {
    return static_cast<int>(lastPlan_);
  }
  if (image_ == nullptr) {
    setError("no file is open");
    return -1;
  }
  for (std::size_t i = 0; i < plans_.size(); ++i) {
    if (plans_[i].table == type.table && plans_[i].typeSize == type.size) {
      lastPlan_ = i;
      return static_cast<int>(i);
    }
  }
  RecordPlan plan{type.table, type.size, false, true, {}};
  if (!buildRecordPlan(type, plan)) return -1;
  plans_.push_back(std::move(plan));
  lastPlan_ = plans_.size() - 1;
  return static_cast<int>(lastPlan_);
}

bool MetaDataReader::tableEqualsFile(const RecordType &type) const {
  if (header_.metaRecordLength == 0 || type.count != descriptions_.size() ||
      type.size > header_.metaRecordLength) {
    return false;
  }
  for (uint32_t i = 0; i < type.count; ++i) {
    const UniversalMetaData_FieldDescription &mine = descriptions_[i];
    const UniversalMetaData_FieldDescription &theirs = type.table[i];
    if (!sameName(mine.fieldName, theirs.fieldName) || mine.fieldType != theirs.fieldType ||
        mine.fieldOffset != theirs.fieldOffset || mine.fieldLength != theirs.fieldLength ||
        groupOf(mine) != groupOf(theirs)) {
      return false;
    }
  }
  return true;
}

bool MetaDataReader::buildRecordPlan(const RecordType &type, RecordPlan &plan) const {
  if (std::strncmp(magic_, type.magic, UNIVERSAL_METADATA_MAGIC_LENGTH) != 0) {
    setError("magic number '%s' differs from the record type's '%s'", magic_, type.magic);
    return false;
  }
  if (tableEqualsFile(type)) {
    plan.plainCopy = true;
    return true;
  }
  plan.steps.reserve(type.count);
  std::size_t coveredBytes = 0;  // distinct bytes, as the members of a table do not overlap
  for (uint32_t t = 0; t < type.count; ++t) {
    const UniversalMetaData_FieldDescription &member = type.table[t];
    const char *name = member.fieldName;
    if (static_cast<std::size_t>(member.fieldOffset) + member.fieldLength > type.size) {
      setError("the record type's field '%.16s' (offset %u, length %u) lies outside its %zu bytes",
               name, member.fieldOffset, member.fieldLength, type.size);
      return false;
    }
    // A name the table repeats takes the file's fields of that name in order.
    uint32_t occurrence = 0;
    for (uint32_t e = 0; e < t; ++e) occurrence += sameName(type.table[e].fieldName, name) ? 1u : 0u;
    uint32_t seen = 0;
    std::size_t field = descriptions_.size();
    for (std::size_t f = 0; f < descriptions_.size(); ++f) {
      if (sameName(descriptions_[f].fieldName, name) && seen++ == occurrence) {
        field = f;
        break;
      }
    }
    if (field == descriptions_.size()) {
      if (occurrence == 0) {
        setError("the record type's field '%.16s' is not in the file", name);
      } else {
        setError("the record type has %u fields named '%.16s', the file %u", occurrence + 1, name,
                 seen);
      }
      return false;
    }
    const UniversalMetaData_FieldDescription &d = descriptions_[field];
    if (d.fieldType != member.fieldType) {
      setError("field '%.16s' is %s in the file, %s in the record type", name,
               typeName(d.fieldType), typeName(member.fieldType));
      return false;
    }
    if (d.fieldType != SharedMemoryVariable::SMV_TYPE_STRING && d.fieldLength != member.fieldLength) {
      setError("field '%.16s' (%s) is %u bytes in the file, %u in the record type", name,
               typeName(d.fieldType), d.fieldLength, member.fieldLength);
      return false;
    }
    const uint32_t copyBytes = d.fieldLength < member.fieldLength ? d.fieldLength : member.fieldLength;
    plan.steps.push_back(CopyStep{static_cast<uint32_t>(field), member.fieldOffset, copyBytes});
    coveredBytes += copyBytes;
  }
  // The struct is zeroed first unless the copies fill every byte of it:
  // bytes between members, the tails of cut-short texts and the members of
  // fields a variable-length record may leave out.
  plan.zeroFirst = header_.metaRecordLength == 0 || coveredBytes != type.size;
  return true;
}

void MetaDataReader::copyRecord(const RecordPlan &plan, void *out) const {
  unsigned char *to = static_cast<unsigned char *>(out);
  if (plan.plainCopy) {
    std::memcpy(to, recordData_, plan.typeSize);
    return;
  }
  if (plan.zeroFirst) std::memset(to, 0, plan.typeSize);
  const uint16_t *offsets = fieldOffsets_.data();
  for (const CopyStep &step : plan.steps) {
    const uint16_t from = offsets[step.fileField];
    if (from == ABSENT) continue;
    unsigned char *member = to + step.memberOffset;
    const unsigned char *field = recordData_ + from;
    // Numbers have one of three sizes; a copy of a constant size is a load
    // and a store where a variable one is a library call.
    switch (step.copyBytes) {
      case 4: std::memcpy(member, field, 4); break;
      case 8: std::memcpy(member, field, 8); break;
      case 16: std::memcpy(member, field, 16); break;
      default: std::memcpy(member, field, step.copyBytes); break;
    }
  }
}
