// The metadata reference file: a binary record file that carries its own
// description. This header declares its three on-disk structures, the macros
// that describe a C++ record struct in the file's own description type, and
// the MetaDataForFeed<T> template that ties a record struct to its description
// table, field count and magic number (generated record headers specialise
// it). It only declares layouts; reading and validating a file is
// utils/metadata/metadata_reader.hpp.
//
// Byte layout. Every multi-byte integer is little-endian (the byte order of
// the writing machine; the targets are little-endian and the file carries no
// byte-order mark). Structures follow each other with no padding and no
// alignment of the file position; reserved bytes are written as zero and
// ignored on reading.
//
//   file   = ReferenceFileHeader, totalFields x FieldDescription, totalRecords x record
//
//   ReferenceFileHeader (24 bytes)        FieldDescription (24 bytes)
//     0  char[8]  magicNumber (no NUL       0  uint8    fieldGroupId (1 = ordinary)
//                 when 8 characters)        1  uint8    fieldType (SMV_TYPE_* code)
//     8  uint8    headerLength (24)         2  uint16   fieldOffset (from record start)
//     9  uint8    fieldDescriptionLength    4  uint16   fieldLength
//    10  uint16   totalFields               6  char[2]  _pad
//    12  uint16   metaRecordLength          8  char[16] fieldName (NUL-terminated)
//                 (0: variable-length)
//    14  char[2]  _pad1                   ReferenceRecordHeader (16 bytes, variable-
//    16  uint32   totalRecords            length files only, ahead of each record)
//    20  char[4]  _pad2                     0  uint16   totalRecordLength (multiple of 8)
//                                           2  uint8    recordFormatVersion (1)
//                                           3  char[5]  _pad
//                                           8  uint64   fieldsPresentMask (bit g-1: group g)
//
// Field encodings: INT32/UINT32 4 bytes, INT64/UINT64 8 bytes, FIXED 16 bytes
// (int64 scaled value, uint32 precision, 4 zero bytes), STRING the text and at
// least one zero byte. Fixed-length files: every record is metaRecordLength
// bytes with fields at their fieldOffset. Variable-length files: a record
// header, then the present fields back to back in description order (absent
// groups take no bytes, so offsets are recomputed per record), zero-filled to a
// multiple of 8; descriptions give offsets as if every field were present,
// counted from the start of the record header (the first field is at 16).
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdint.h>  // generated headers name uint32_t, int32_t, uint64_t unqualified

#include "utils/shared_vars/shared_variable.hpp"

// Generated record headers use VariableFixedPointValue for fixed-point members
// and AS_TEXT_BUFFER(pointer, length) in their stream operator; both come in
// through this header.
#include "utils/base/text2int.hpp"
#include "utils/logging/log_values.hpp"

struct UniversalMetaData_ReferenceFileHeader {
  char magicNumber[8];
  uint8_t headerLength;
  uint8_t fieldDescriptionLength;
  uint16_t totalFields;
  uint16_t metaRecordLength;
  char _pad1[2];
  uint32_t totalRecords;
  char _pad2[4];
};

struct UniversalMetaData_FieldDescription {
  uint8_t fieldGroupId;
  uint8_t fieldType;
  uint16_t fieldOffset;
  uint16_t fieldLength;
  char _pad[2];
  char fieldName[16];
};

struct UniversalMetaData_ReferenceRecordHeader {
  uint16_t totalRecordLength;
  uint8_t recordFormatVersion;
  char _pad[5];
  uint64_t fieldsPresentMask;
};

static_assert(sizeof(UniversalMetaData_ReferenceFileHeader) == 24);
static_assert(offsetof(UniversalMetaData_ReferenceFileHeader, magicNumber) == 0);
static_assert(offsetof(UniversalMetaData_ReferenceFileHeader, headerLength) == 8);
static_assert(offsetof(UniversalMetaData_ReferenceFileHeader, fieldDescriptionLength) == 9);
static_assert(offsetof(UniversalMetaData_ReferenceFileHeader, totalFields) == 10);
static_assert(offsetof(UniversalMetaData_ReferenceFileHeader, metaRecordLength) == 12);
static_assert(offsetof(UniversalMetaData_ReferenceFileHeader, _pad1) == 14);
static_assert(offsetof(UniversalMetaData_ReferenceFileHeader, totalRecords) == 16);
static_assert(offsetof(UniversalMetaData_ReferenceFileHeader, _pad2) == 20);

static_assert(sizeof(UniversalMetaData_FieldDescription) == 24);
static_assert(offsetof(UniversalMetaData_FieldDescription, fieldGroupId) == 0);
static_assert(offsetof(UniversalMetaData_FieldDescription, fieldType) == 1);
static_assert(offsetof(UniversalMetaData_FieldDescription, fieldOffset) == 2);
static_assert(offsetof(UniversalMetaData_FieldDescription, fieldLength) == 4);
static_assert(offsetof(UniversalMetaData_FieldDescription, _pad) == 6);
static_assert(offsetof(UniversalMetaData_FieldDescription, fieldName) == 8);

static_assert(sizeof(UniversalMetaData_ReferenceRecordHeader) == 16);
static_assert(offsetof(UniversalMetaData_ReferenceRecordHeader, totalRecordLength) == 0);
static_assert(offsetof(UniversalMetaData_ReferenceRecordHeader, recordFormatVersion) == 2);
static_assert(offsetof(UniversalMetaData_ReferenceRecordHeader, _pad) == 3);
static_assert(offsetof(UniversalMetaData_ReferenceRecordHeader, fieldsPresentMask) == 8);

// Values the writer puts in the fixed members.
constexpr uint8_t UNIVERSAL_METADATA_HEADER_LENGTH = 24;
constexpr uint8_t UNIVERSAL_METADATA_DESCRIPTION_LENGTH = 24;
constexpr uint8_t UNIVERSAL_METADATA_RECORD_HEADER_LENGTH = 16;
constexpr uint8_t UNIVERSAL_METADATA_RECORD_FORMAT_VERSION = 1;
constexpr std::size_t UNIVERSAL_METADATA_MAGIC_LENGTH =
    sizeof(UniversalMetaData_ReferenceFileHeader::magicNumber);
constexpr std::size_t UNIVERSAL_METADATA_NAME_LENGTH =
    sizeof(UniversalMetaData_FieldDescription::fieldName);

// Ties a record struct T to its layout in a metadata file. The primary
// template only declares the members; a generated record header defines them
// for its struct by explicit specialisation, as inline variables so that any
// number of translation units of a program may include it:
//   template<> inline const UniversalMetaData_FieldDescription
//       *MetaDataForFeed<S_MetaDataRecord>::fieldDescriptionTable = S_fields;
//   template<> inline const uint32_t MetaDataForFeed<S_MetaDataRecord>::totalFields = 3;
//   template<> inline const char MetaDataForFeed<S_MetaDataRecord>::magicNumber[9] = {"METADATA"};
// Using MetaDataForFeed<T> for a T without those definitions fails at link
// time.
template <typename T>
struct MetaDataForFeed {
  // totalFields descriptions followed by an all-zero end marker.
  static const UniversalMetaData_FieldDescription *fieldDescriptionTable;
  static const uint32_t totalFields;
  // The file's magic number up to its first NUL, NUL-terminated.
  static const char
      magicNumber[sizeof(((UniversalMetaData_ReferenceFileHeader *)(nullptr))->magicNumber) + 1];
};

// Description macros. Each expands to one UniversalMetaData_FieldDescription
// initialiser {fieldGroupId, fieldType, fieldOffset, fieldLength, _pad,
// fieldName} for member n of className; t is an SMV_TYPE_* name (or an
// expression over them such as "SMV_TYPE_FIXED | 128"), shortName a string
// literal of at most 15 characters. The fieldOffset is the member's offset in
// className: the address of n in an object placed at 8192, minus 8192, which
// for the standard-layout record structs these describe is offsetof, so the
// tables are constant-initialised.
#define __ZERO_FILL_BIT 128
// Group bit of a field that is zero-filled rather than left out when absent.
constexpr uint8_t UNIVERSAL_METADATA_ZERO_FILL_BIT = __ZERO_FILL_BIT;

#define RELATIVE_FIELD_OFFSET(className, n) (offsetof(className, n))

#define DESCRIBE_OPTIONAL_NAMED_FIELD_OF_CLASS(group, shortName, n, t, className)     \
  {                                                                                  \
    static_cast<uint8_t>(group), static_cast<uint8_t>(SharedMemoryVariable::t),      \
        static_cast<uint16_t>(RELATIVE_FIELD_OFFSET(className, n)),                  \
        static_cast<uint16_t>(sizeof(static_cast<className *>(nullptr)->n)), {},     \
        shortName                                                                    \
  }
#define DESCRIBE_NAMED_FIELD_OF_CLASS(shortName, n, t, className) \
  DESCRIBE_OPTIONAL_NAMED_FIELD_OF_CLASS(1, shortName, n, t, className)
#define DESCRIBE_OPTIONAL_OR_ZERO_FILLED_NAMED_FIELD_OF_CLASS(group, shortName, n, t, className) \
  DESCRIBE_OPTIONAL_NAMED_FIELD_OF_CLASS(UNIVERSAL_METADATA_ZERO_FILL_BIT | (group), shortName,  \
                                         n, t, className)

#define DESCRIBE_FIELD_OF_CLASS(n, t, className) DESCRIBE_NAMED_FIELD_OF_CLASS(#n, n, t, className)
#define DESCRIBE_OPTIONAL_FIELD_OF_CLASS(group, n, t, className) \
  DESCRIBE_OPTIONAL_NAMED_FIELD_OF_CLASS(group, #n, n, t, className)
#define DESCRIBE_OPTIONAL_OR_ZERO_FILLED_FIELD_OF_CLASS(group, n, t, className) \
  DESCRIBE_OPTIONAL_OR_ZERO_FILLED_NAMED_FIELD_OF_CLASS(group, #n, n, t, className)

#undef __ZERO_FILL_BIT
