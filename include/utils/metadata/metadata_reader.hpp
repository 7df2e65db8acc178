// Reader for metadata reference files (layout in UniversalMetaData.hpp). It
// maps a file (or takes a caller's memory image), validates the whole
// structure once at open, then walks the records and hands out fields by index
// or name as integers, fixed-point values or text, or whole records as a
// generated record struct. Validation is complete enough that no later access
// can read past the image: header and description lengths, every field inside
// its record, fixed-length records filling the file exactly, and every
// variable-length record header inside the file with a length that is a
// multiple of 8, at least 16, and long enough for the fields its mask declares
// (fields of group 0 or above 64 own no mask bit: they are in every record).
// Nothing throws and nothing logs: operations return a result and leave a
// one-line reason in errorText(). A reader is used by one thread at a time.
// Assumes a little-endian host, like the format; values are read with memcpy,
// so no alignment is assumed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <vector>

#include "utils/metadata/UniversalMetaData.hpp"

class MetaDataReader {
 public:
  // Results of the open calls.
  enum OpenResult : int {
    METADATA_OK = 0,
    METADATA_OPEN_FAILED = -1,  // the file could not be opened, examined, mapped or read
    METADATA_BAD_FORMAT = -2,   // the bytes are not a valid metadata file
  };

  // Longest error text, terminator included; longer texts are cut.
  static constexpr std::size_t MAX_ERROR_TEXT = 256;
  // Largest fixed-point precision handed out (the writer stores 0..15).
  static constexpr uint32_t MAX_FIXED_PRECISION = 18;

  MetaDataReader();
  ~MetaDataReader();
  MetaDataReader(const MetaDataReader &) = delete;
  MetaDataReader &operator=(const MetaDataReader &) = delete;

  // Opens and validates fileName. A regular file is memory-mapped; anything
  // else (a pipe, "--stdin" for descriptor 0) is read into memory. Closes a
  // file opened before. Returns METADATA_OK, METADATA_OPEN_FAILED or
  // METADATA_BAD_FORMAT; on failure errorText() names the file and the reason
  // and the reader is closed.
  [[nodiscard]] int open(const char *fileName);
  // The same over an image in memory that the caller keeps alive and
  // unchanged until close() or the next open. label names it in error texts.
  [[nodiscard]] int openMemory(const void *data, std::size_t sizeBytes, const char *label);
  // Releases the mapping or buffer. Safe to call when nothing is open.
  void close();

  bool isOpen() const { return image_ != nullptr; }
  const char *errorText() const { return errorText_; }

  // ---- file description (valid while open) ----
  const UniversalMetaData_ReferenceFileHeader &fileHeader() const { return header_; }
  // Magic number up to its first NUL, at most 8 characters, NUL-terminated.
  const char *magicNumber() const { return magic_; }
  uint32_t totalFields() const { return header_.totalFields; }
  uint32_t totalRecords() const { return header_.totalRecords; }
  bool isVariableLength() const { return header_.metaRecordLength == 0; }
  std::size_t fileSize() const { return imageSize_; }
  // Description i < totalFields(), an aligned copy of the file's bytes.
  const UniversalMetaData_FieldDescription &fieldDescription(uint32_t i) const {
    return descriptions_[i];
  }
  // Name of field i, NUL-terminated even when the file's 16 bytes have no NUL.
  const char *fieldName(uint32_t i) const { return names_[i].text; }
  // Index of the first field named name, or -1.
  int fieldIndex(std::string_view name) const;
  // "SMV_TYPE_INT32" and so on for the codes a file may hold, else "unknown".
  static const char *typeName(uint32_t typeCode);

  // ---- records ----
  // Moves to record index (0-based). Fixed-length files seek directly;
  // variable-length files walk forward from the current record or from the
  // start. Returns false (with an error text) past the last record.
  bool seekRecord(uint32_t index);
  // Moves to the next record; false at the end (errorText() stays empty then).
  // After open the reader stands before the first record, so a loop is
  //   while (reader.nextRecord()) { ... }
  bool nextRecord();
  // Puts the reader back before the first record.
  void rewind();
  bool hasRecord() const { return recordData_ != nullptr; }
  uint32_t recordIndex() const { return recordIndex_; }
  // Bytes of the current record; for variable-length files from its header.
  const unsigned char *recordData() const { return recordData_; }
  uint32_t recordLength() const { return recordLength_; }
  // Groups present in the current record (all bits for fixed-length files).
  uint64_t fieldsPresentMask() const { return presentMask_; }
  bool isFieldPresent(uint32_t field) const {
    return recordData_ != nullptr && field < totalFields() && fieldOffsets_[field] != ABSENT;
  }
  // Start of field's bytes in the current record (fieldDescription().fieldLength
  // long), or null when there is no current record, no such field, or the
  // field is absent from this record.
  const unsigned char *fieldData(uint32_t field) const {
    return isFieldPresent(field) ? recordData_ + fieldOffsets_[field] : nullptr;
  }

  // Typed field access on the current record. Each returns true with out set,
  // or false with an error text when there is no current record, no such
  // field, the field is absent, or its value does not fit the requested type
  // exactly (a UINT64 above INT64_MAX as int64, a negative value as unsigned,
  // a 64-bit value out of 32-bit range, a fixed-point value with decimals as an
  // integer, text as a number). Integers read as fixed point with precision 0.
  bool getInt32(uint32_t field, int32_t &out) const;
  bool getUint32(uint32_t field, uint32_t &out) const;
  bool getInt64(uint32_t field, int64_t &out) const;
  bool getUint64(uint32_t field, uint64_t &out) const;
  bool getFixedPoint(uint32_t field, VariableFixedPointValue &out) const;
  // Text of a string field up to its first zero byte (or the whole field).
  // The view points into the file image.
  bool getText(uint32_t field, std::string_view &out) const;

  bool getInt32(std::string_view name, int32_t &out) const;
  bool getUint32(std::string_view name, uint32_t &out) const;
  bool getInt64(std::string_view name, int64_t &out) const;
  bool getUint64(std::string_view name, uint64_t &out) const;
  bool getFixedPoint(std::string_view name, VariableFixedPointValue &out) const;
  bool getText(std::string_view name, std::string_view &out) const;

  // ---- typed records through a generated struct ----
  // A record struct T with a generated description table
  // (MetaDataForFeed<T>) is filled from the open file in one of two ways:
  //  - plain copy: the file is fixed-length and its descriptions equal T's
  //    table entry by entry (name, group, type, offset, length), so the first
  //    sizeof(T) bytes of a record are a T;
  //  - by name: every other file whose magic number is T's and which has, for
  //    each field of T's table, a field of the same name and type (the k-th
  //    entry of a name repeated in the table takes the file's k-th field of
  //    that name). Each member is copied from its field; a text is cut or
  //    zero-filled to the member's size, a field absent from a variable-length
  //    record reads as zeros, bytes between members are zero.
  // The choice and the field mapping are made once per open file and record
  // type, on the first call for that type; later calls only copy (no
  // allocation per record). T must be trivially copyable.
  //
  // True when the open file can fill a T; otherwise false with the reason in
  // errorText() (the magic number differs, a field of T is missing from the
  // file, or has another type there).
  template <typename T>
  bool matchesRecordType() const {
    return recordPlanFor(recordTypeOf<T>()) >= 0;
  }
  // Fills out from record index and makes it the current record. Returns
  // false with an error text when the file cannot fill a T or index is past
  // the end; out is unchanged then.
  template <typename T>
  bool readRecord(uint32_t index, T &out) {
    const int plan = recordPlanFor(recordTypeOf<T>());
    if (plan < 0 || !seekRecord(index)) return false;
    copyRecord(plans_[static_cast<std::size_t>(plan)], &out);
    return true;
  }
  // Moves to the next record and fills out from it, for a loop over the file:
  //   T rec;
  //   while (reader.nextRecord(rec)) { ... }
  //   if (*reader.errorText() != '\0') { /* the file cannot fill a T */ }
  // Returns false at the end (errorText() empty) or when the file cannot
  // fill a T (errorText() says why).
  template <typename T>
  bool nextRecord(T &out) {
    const int plan = recordPlanFor(recordTypeOf<T>());
    if (plan < 0) return false;
    errorText_[0] = '\0';
    if (!nextRecord()) return false;
    copyRecord(plans_[static_cast<std::size_t>(plan)], &out);
    return true;
  }

  // End of public API. Implementation details follow.

 private:
  static constexpr uint16_t ABSENT = 0xFFFF;

  // What a record type brings: its table, field count, magic number and size.
  struct RecordType {
    const UniversalMetaData_FieldDescription *table;
    uint32_t count;
    const char *magic;
    std::size_t size;
  };
  // One member filled by a by-name copy.
  struct CopyStep {
    uint32_t fileField;     // the file's field it comes from
    uint32_t memberOffset;  // where it goes in the struct
    uint32_t copyBytes;     // min(field length, member length); the rest is zero
  };
  // How records of the open file fill one record type.
  struct RecordPlan {
    const UniversalMetaData_FieldDescription *table;  // identifies the type
    std::size_t typeSize;
    bool plainCopy;
    bool zeroFirst;               // by-name copy: some bytes of T get no copy
    std::vector<CopyStep> steps;  // by-name copy only
  };

  template <typename T>
  static RecordType recordTypeOf() {
    static_assert(std::is_trivially_copyable_v<T>, "records are copied into T byte by byte");
    return RecordType{MetaDataForFeed<T>::fieldDescriptionTable, MetaDataForFeed<T>::totalFields,
                      MetaDataForFeed<T>::magicNumber, sizeof(T)};
  }
  // Index in plans_ of the plan for type, built on first use; -1 with an
  // error text when the file cannot fill the type.
  int recordPlanFor(const RecordType &type) const;
  bool buildRecordPlan(const RecordType &type, RecordPlan &plan) const;
  bool tableEqualsFile(const RecordType &type) const;
  void copyRecord(const RecordPlan &plan, void *out) const;
  struct FieldName {
    char text[sizeof(UniversalMetaData_FieldDescription::fieldName) + 1];
  };

  int validate();
  bool enterVariableRecord(const unsigned char *record, uint32_t index);
  bool enterFixedRecord(uint32_t index);
  uint64_t presentBodyLength(uint64_t mask) const;
  bool fieldFor(uint32_t field, const unsigned char *&data,
                const UniversalMetaData_FieldDescription *&description) const;
  bool integerOf(uint32_t field, bool &isNegative, uint64_t &magnitude) const;
  bool numberNamed(std::string_view name, uint32_t &field) const;
  void setError(const char *format, ...) const __attribute__((format(printf, 2, 3)));

  const unsigned char *image_ = nullptr;
  std::size_t imageSize_ = 0;
  void *mapping_ = nullptr;  // set when image_ is our own mapping
  std::vector<unsigned char> ownedImage_;  // image read from a pipe or terminal
  const char *label_ = "";
  char labelCopy_[128] = {};

  UniversalMetaData_ReferenceFileHeader header_{};
  char magic_[UNIVERSAL_METADATA_MAGIC_LENGTH + 1] = {};
  std::vector<UniversalMetaData_FieldDescription> descriptions_;
  std::vector<FieldName> names_;
  // Mask bit of a field whose group (0, or above 64) has none: the field is
  // in every record.
  static constexpr uint64_t ALWAYS_PRESENT = 0;
  std::vector<uint64_t> fieldGroupBit_;  // mask bit of each field's group, or ALWAYS_PRESENT
  uint64_t groupBodyLength_[64] = {};    // bytes group g - 1 adds to a record body
  uint64_t usedGroups_ = 0;
  uint64_t alwaysPresentLength_ = 0;     // bytes the ALWAYS_PRESENT fields add to every body
  std::size_t recordsStart_ = 0;

  // Current record.
  const unsigned char *recordData_ = nullptr;
  uint32_t recordIndex_ = 0;
  uint32_t recordLength_ = 0;
  uint64_t presentMask_ = 0;
  uint32_t nextIndex_ = 0;         // record nextRecord() moves to
  std::size_t nextRecordPos_ = 0;  // variable-length: image offset of record recordIndex_ + 1
  std::vector<uint16_t> fieldOffsets_;  // per field offset in the current record, or ABSENT

  // Record types met so far in this file; a handful at most, so found by a
  // linear search that starts at the last one used.
  mutable std::vector<RecordPlan> plans_;
  mutable std::size_t lastPlan_ = 0;

  mutable char errorText_[MAX_ERROR_TEXT] = {};
};
