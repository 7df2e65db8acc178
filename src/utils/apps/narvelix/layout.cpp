// Field types and the packed record layout, chosen once all rows are stored:
// each kept column gets a type from what it held (inferType), a length that is
// a multiple of 4, and the next offset; the record is padded to a multiple of
// 8. Offsets and lengths are stored in 16 bits, so a layout that would not fit
// is refused instead of written with wrapped offsets.
#include <algorithm>
#include <cstring>

#include "utils/apps/narvelix/narvelix.hpp"
#include "utils/apps/narvelix/narvelix_log.hpp"

namespace {

using SMV = SharedMemoryVariable;

// Largest record (header included for variable-length records) whose length
// and offsets fit the 16-bit members of the file format.
constexpr uint32_t MAX_RECORD_BYTES = 65535;

}  // namespace

uint32_t Narvelix::inferType(uint32_t maxWidth, uint32_t contentMask) {
  LOG_CERR(app_trace) << "mask=" << contentMask << " maxWidth=" << maxWidth << LOG_ENDLINE;
  if ((contentMask & (HAD_NULL | HAD_NONULL)) == HAD_NULL) return SMV::SMV_TYPE_NONE;
  if (contentMask & (HAD_QUOTE | HAD_LETTERS | HAD_SYMBOLS)) return SMV::SMV_TYPE_STRING;
  if ((contentMask & (HAD_NUMBERS | HAD_MINUS | HAD_DECIMAL_POINT)) == HAD_MINUS) {
    return SMV::SMV_TYPE_STRING;
  }
  const uint32_t content = contentMask & ~static_cast<uint32_t>(HAD_NULL | HAD_NONULL);
  if (content == HAD_NUMBERS) return maxWidth <= 9 ? SMV::SMV_TYPE_UINT32 : SMV::SMV_TYPE_UINT64;
  if (content == (HAD_NUMBERS | HAD_MINUS)) {
    return maxWidth <= 9 ? SMV::SMV_TYPE_INT32 : SMV::SMV_TYPE_INT64;
  }
  return SMV::SMV_TYPE_FIXED;
}

bool Narvelix::computeLayout() {
  const int columns = std::min(fieldTotal, static_cast<int>(MAX_COLS));
  columnOrder.clear();
  for (int i = 0; i < columns; ++i) {
    columnOrder.push_back(ColumnWidthInfo{static_cast<uint16_t>(columnMaxWidth[i]),
                                          static_cast<uint8_t>(i)});
  }
  if (options.reorderFields) std::sort(columnOrder.begin(), columnOrder.end());

  const uint32_t headerBytes = usesVariableLengthRecords ? sizeof(UniversalMetaData_ReferenceRecordHeader) : 0;
  selectedTotal = 0;
  uint32_t fieldOffset = 0;
  for (const ColumnWidthInfo& entry : columnOrder) {
    const int i = entry.columnIndex;
    ColumnSpecification& columnSpec = columnDescriptions[i];
    if (columnSpec.fieldName[0] == '\0') continue;  // deleted column

    if (columnSpec.forceType == 0) {
      columnSpec.forceType = inferType(columnMaxWidth[i], columnObservedContent[i]);
      LOG_CERR(app_trace) << "Inferred " << columnSpec.fieldName << " to be type \"" << columnSpec.forceType
                          << "\"" << LOG_ENDLINE;
    }
    uint32_t length;
    switch (columnSpec.forceType) {
      case SMV::SMV_TYPE_INT32:
      case SMV::SMV_TYPE_UINT32:
        length = 4;
        break;
      case SMV::SMV_TYPE_INT64:
      case SMV::SMV_TYPE_UINT64:
        length = 8;
        break;
      case SMV::SMV_TYPE_FIXED:
        length = 16;
        break;
      case SMV::SMV_TYPE_STRING: {
        const uint32_t withTerminator = columnMaxWidth[i] + 1;
        length = withTerminator + ((0u - withTerminator) & 7u);
        LOG_CERR(app_trace) << "Max width=" << columnMaxWidth[i] << " rounded=" << length
                            << LOG_ENDLINE;
        break;
      }
      case SMV::SMV_TYPE_NONE:  // only empty values were seen
        columnSpec.forceType = SMV::SMV_TYPE_STRING;
        length = 4;
        break;
      default:
        LOG_CERR(app_error) << "Unknown field type: " << columnSpec.forceType << LOG_ENDLINE;
        columnSpec.forceType = SMV::SMV_TYPE_STRING;
        length = 4;
        break;
    }

    const uint32_t fieldEnd = headerBytes + fieldOffset + length;
    const uint32_t paddedEnd = fieldEnd + ((0u - fieldEnd) & 7u);
    if (ZUR_UNLIKELY(paddedEnd > MAX_RECORD_BYTES)) {
      LOG_CERR(app_error) << "Record too long at column \"" << columnSpec.fieldName << "\": length "
                          << paddedEnd << " exceeds " << MAX_RECORD_BYTES << LOG_ENDLINE;
      encounteredError = true;
      inputRejected = true;
      return false;
    }

    UniversalMetaData_FieldDescription& d = fieldDescriptions[selectedTotal];
    std::memset(&d, 0, sizeof d);
    d.fieldGroupId = columnSpec.fieldGroup;
    d.fieldType = static_cast<uint8_t>(columnSpec.forceType);
    d.fieldOffset = static_cast<uint16_t>(headerBytes + fieldOffset);
    d.fieldLength = static_cast<uint16_t>(length);
    std::memcpy(d.fieldName, columnSpec.fieldName, strnlen(columnSpec.fieldName, sizeof d.fieldName - 1));

    SelectedField& f = selected[selectedTotal];
    f.column = static_cast<uint8_t>(i);
    f.type = static_cast<uint8_t>(columnSpec.forceType);
    f.group = columnSpec.fieldGroup;
    f.hasMaskBit = columnSpec.fieldGroup >= 1 && columnSpec.fieldGroup <= 64;
    f.length = static_cast<uint16_t>(length);
    // Narrower numbers always fit: 18 digits in 64 bits, 15 decimal places.
    f.checkRange = (columnSpec.forceType == SMV::SMV_TYPE_INT64 || columnSpec.forceType == SMV::SMV_TYPE_UINT64)
                       ? columnMaxWidth[i] >= 19
                       : columnSpec.forceType == SMV::SMV_TYPE_FIXED && columnMaxWidth[i] >= 17;
    f.maskBit = f.hasMaskBit ? (uint64_t{1} << (columnSpec.fieldGroup - 1)) : 0;

    LOG_CERR(app_trace) << "selected " << selectedTotal << " offset=" << fieldOffset
                        << " fieldLen=" << length << LOG_ENDLINE;
    fieldOffset += length;
    ++selectedTotal;
  }
  recordLength = fieldOffset + ((0u - fieldOffset) & 7u);
  if (options.verbose != 0) {
    LOG_CERR(app_info) << "recordLength=" << recordLength << LOG_ENDLINE;
  }
  return true;
}
