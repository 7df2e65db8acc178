// Writing the metadata reference file: header, field descriptions, then one
// record per stored row. Records are encoded straight into a 128 KiB staging
// buffer that goes out with one fwrite when full, so the per-row cost is the
// field conversions and one memset of the record; no allocation per row.
// Variable-length records (optional field groups) get a 16-byte record header
// and carry only the groups that had content. Integers are written in the
// machine's byte order (little-endian on every target) with memcpy, since
// record fields are not aligned.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "utils/base/text2int_plain.hpp"
#include "utils/apps/narvelix/narvelix.hpp"
#include "utils/apps/narvelix/narvelix_log.hpp"
#include "utils/apps/narvelix/output_file.hpp"
#include "utils/io/plain_line.hpp"
#include "utils/apps/narvelix/second_read.hpp"
#include "utils/base/text2int.hpp"

namespace {

using SMV = SharedMemoryVariable;
using namespace text2int_plain;

// Small enough to stay in the processor's second-level cache between the
// encoder's stores and the write's copy; large enough for the biggest record.
constexpr std::size_t STAGING_BYTES = std::size_t{1} << 17;
constexpr uint32_t RECORD_HEADER_BYTES = sizeof(UniversalMetaData_ReferenceRecordHeader);
static_assert(STAGING_BYTES >= 65535 + RECORD_HEADER_BYTES, "the largest record fits the staging");

// Text in the row store is not NUL-terminated; empty fields point here.
const char EMPTY_TEXT[1] = {'\0'};

// Copies n bytes without a library call for the short texts that most fields
// hold: two overlapping 8- or 4-byte moves. The source may be read up to its
// last byte only.
ZUR_ALWAYS_INLINE void copyText(unsigned char* d, const void* source, uint32_t n) {
  const auto* s = static_cast<const unsigned char*>(source);
  if (n >= 8) {
    if (n > 16) {
      std::memcpy(d, s, n);
      return;
    }
    std::memcpy(d, s, 8);
    std::memcpy(d + n - 8, s + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(d, s, 4);
    std::memcpy(d + n - 4, s + n - 4, 4);
  } else {
    for (uint32_t i = 0; i < n; ++i) d[i] = s[i];
  }
}

// True for the texts that always fit a 64-bit field, found without the
// digit-by-digit range check: up to 19 digits for UINT64, an optional '-' and
// up to 18 digits for INT64. Other texts (and other types) get the full check.
ZUR_ALWAYS_INLINE bool surelyFits(uint32_t type, const char* text, uint32_t length) {
  uint64_t v;
  if (type == SMV::SMV_TYPE_UINT64) return length <= 19 && digitsValue(text, length, &v);
  if (type != SMV::SMV_TYPE_INT64 || length == 0) return false;
  const uint32_t sign = text[0] == '-' ? 1u : 0u;
  return length - sign <= 18 && digitsValue(text + sign, length - sign, &v);
}

// EMPTY_TEXT out of line: where a field's type is not known to the compiler
// an inlined string copy from it would warn of bounds it never reaches.
ZUR_NOINLINE const char* emptyText() { return EMPTY_TEXT; }

// Set while a thread encodes a chunk whose messages are held back: the flag
// it points at is raised instead of a message being written.
thread_local bool* t_heldMessages = nullptr;

}  // namespace

bool Narvelix::holdMessage() {
  if (t_heldMessages == nullptr) return false;
  *t_heldMessages = true;
  return true;
}

void Narvelix::holdMessagesInto(bool* flag) { t_heldMessages = flag; }

int Narvelix::completedFile(int recordsSeen) {
  if (!inputReadCompletely(recordsSeen)) return -1;
  if (inputRejected) return -1;  // already reported; no file is written
  if (!computeLayout()) return -1;
  const int rc = writeMetadataFile(recordsSeen);
  if (rc < 0) encounteredError = true;
  return rc;
}

// Encodes one row into body (recordLength zero bytes on entry). Returns the
// body length: recordLength for fixed-length records, the padded length of the
// present fields for variable-length ones (with *presentMask set).
uint32_t Narvelix::encodeRecord(const RowContent& row, uint32_t rowIndex, unsigned char* body,
                                uint64_t* presentMask) {
  uint64_t groupMask = 0;
  uint64_t skippedMask = 0;
  uint32_t outOffset = 0;
  const bool variable = usesVariableLengthRecords;
  for (uint32_t k = 0; k < selectedTotal; ++k) {
    const SelectedField& f = selected[k];
    const char* fieldText = row.fieldText[f.column];
    const uint32_t inputLength = row.fieldLength[f.column];
    const auto shortLength = static_cast<uint_fast8_t>(inputLength & 0xFF);
    if (ZUR_UNLIKELY(f.checkRange) && !surelyFits(f.type, fieldText, inputLength)) {
      checkNumericRange(f, fieldText, inputLength, rowIndex);
    }

    // Numbers are staged in outVal (bytes 0..7 the 64-bit value, 8..11 the
    // 32-bit value or the fixed-point precision) and copied as one block.
    unsigned char outVal[16];
    const void* fieldStart = outVal;
    uint32_t copyLength = 0;
    switch (f.type) {
      case SMV::SMV_TYPE_INT32: {
        const uint32_t v = signed32Value(fieldText, shortLength);
        std::memcpy(outVal + 8, &v, sizeof v);
        fieldStart = outVal + 8;
        copyLength = 4;
        break;
      }
      case SMV::SMV_TYPE_UINT32: {
        const uint32_t v = unsigned32Value(fieldText, shortLength);
        std::memcpy(outVal + 8, &v, sizeof v);
        fieldStart = outVal + 8;
        copyLength = 4;
        break;
      }
      case SMV::SMV_TYPE_INT64: {
        const uint64_t v = signed64Value(fieldText, shortLength);
        std::memcpy(outVal, &v, sizeof v);
        copyLength = 8;
        break;
      }
      case SMV::SMV_TYPE_UINT64: {
        const uint64_t v = unsigned64Value(fieldText, shortLength);
        std::memcpy(outVal, &v, sizeof v);
        copyLength = 8;
        break;
      }
      case SMV::SMV_TYPE_FIXED: {
        // A length of 0 would make the parser measure the text with strlen;
        // the stored texts are not terminated, and such a text reads as 0.
        int64_t value = 0;
        uint32_t precision = 0;
        if (shortLength != 0) {
          const VariableFixedPointValue fp = fast_ascii_to_fixedpoint(fieldText, shortLength, -2);
          value = fp.value;
          precision = static_cast<uint8_t>(fp.precision);
        }
        std::memcpy(outVal, &value, sizeof value);
        std::memcpy(outVal + 8, &precision, sizeof precision);
        copyLength = 12;
        break;
      }
      case SMV::SMV_TYPE_STRING:
        fieldStart = fieldText;
        copyLength = inputLength;
        if (ZUR_UNLIKELY(copyLength >= f.length)) {
          // Only a field whose forced type was turned into a 4-byte string can
          // get here: keep the terminating zero.
          copyLength = f.length - 1u;
          if (!holdMessage()) LOG_CERR(app_warning) << "Row " << rowIndex << " column "
                                << static_cast<int32_t>(f.column) << " name=\""
                                << columnDescriptions[f.column].fieldName << "\": text of "
                                << inputLength << " bytes cut to " << copyLength << LOG_ENDLINE;
        }
        break;
      default:
        if (!holdMessage()) LOG_CERR(app_error) << "Unknown fieldType=" << static_cast<uint32_t>(f.type)
                            << " col=" << static_cast<int32_t>(f.column) << " name=\""
                            << columnDescriptions[f.column].fieldName << "\" text=\""
                            << NARVELIX_TEXT(fieldText, inputLength) << "\"" << LOG_ENDLINE;
        fieldStart = nullptr;
        break;
    }

    uint32_t fieldLength = f.length;
    if (variable && f.hasMaskBit) {
      if (inputLength == 0) {
        LOG_CERR(app_trace) << "input field " << static_cast<int32_t>(f.column)
                            << " name=" << columnDescriptions[f.column].fieldName << " was null"
                            << LOG_ENDLINE;
        if (groupMask & f.maskBit) {
          if (!holdMessage()) LOG_CERR(app_warning) << "Row " << rowIndex << " field group "
                                << static_cast<uint32_t>(f.group)
                                << " has had prior content but is missing column "
                                << static_cast<int32_t>(f.column) << " name=\""
                                << columnDescriptions[f.column].fieldName
                                << "\"; zero-filled field will be output" << LOG_ENDLINE;
          copyLength = 0;
        } else {
          fieldLength = 0;
          skippedMask |= f.maskBit;
        }
      } else if (skippedMask & f.maskBit) {
        if (!holdMessage()) {
          LOG_CERR(app_error) << "Row " << rowIndex << " field group "
                              << static_cast<uint32_t>(f.group)
                              << " has had content skipped before column "
                              << static_cast<int32_t>(f.column) << " name=\""
                              << columnDescriptions[f.column].fieldName
                              << "\"; field must be deleted from output" << LOG_ENDLINE;
          encounteredError = true;
        }
        fieldLength = 0;
      } else {
        LOG_CERR(app_trace) << "Indicate group " << static_cast<uint32_t>(f.group) << " in use"
                            << LOG_ENDLINE;
        groupMask |= f.maskBit;
      }
    }
    LOG_CERR(app_trace) << "field=" << NARVELIX_TEXT(fieldText, inputLength)
                        << " inputLength=" << inputLength
                        << " type=" << static_cast<uint32_t>(f.type) << " offset=" << outOffset
                        << " length=" << copyLength << " fieldLen=" << fieldLength
                        << " data=" << AS_HEXADECIMAL_BUFFER(fieldStart, copyLength, true)
                        << LOG_ENDLINE;
    if (fieldLength == 0) continue;  // left out of this record
    // The body is zero on entry: only the value bytes are copied, the rest of
    // the field stays zero.
    copyText(body + outOffset, fieldStart, copyLength);
    outOffset += fieldLength;
  }
  if (!variable) return recordLength;
  *presentMask = groupMask;
  return outOffset + ((0u - outOffset) & 7u);
}

// encodeRecord for fixed-length records with tracing off: each field goes
// straight to its offset (fieldOffsets) in the zeroed body. With kVector the
// numbers of up to 16 digits take the 16-byte vector paths first (x86 with
// AVX2 only: see encodeFixedRecordAvx2).
template <bool kVector>
ZUR_ALWAYS_INLINE void Narvelix::encodeFixedRecordWith(const RowContent& row, uint32_t rowIndex,
                                                       unsigned char* body,
                                                       const uint16_t* fieldOffsets) {
  for (uint32_t k = 0; k < selectedTotal; ++k) {
    const SelectedField& f = selected[k];
    encodeFixedField<kVector, false>(f, row.fieldText[f.column], row.fieldLength[f.column],
                                     rowIndex, body + fieldOffsets[k]);
  }
}

// One field of encodeFixedRecordWith: its text to d, the field's place in the
// zeroed record. With kQuiet a field that needs a message (a number that may
// not fit, a text cut short) is not written and false returned instead.
template <bool kVector, bool kQuiet>
ZUR_ALWAYS_INLINE bool Narvelix::encodeFixedField(const SelectedField& f, const char* fieldText,
                                                  uint32_t inputLength, uint32_t rowIndex,
                                                  unsigned char* d) {
  {
    const auto shortLength = static_cast<uint_fast8_t>(inputLength & 0xFF);
    // 64-bit fields check their range below, from the digits they parse.
    const bool is64 = f.type == SMV::SMV_TYPE_INT64 || f.type == SMV::SMV_TYPE_UINT64;
    if (ZUR_UNLIKELY(f.checkRange) && !is64) {
      if (kQuiet) return false;
      checkNumericRange(f, fieldText, inputLength, rowIndex);
    }
    switch (f.type) {
      case SMV::SMV_TYPE_INT32: {
        uint32_t v;
        uint64_t wide;
        if (kVector && signedDigits16(fieldText, inputLength, 9, &wide)) {
          v = static_cast<uint32_t>(wide);
        } else {
          v = signed32Value(fieldText, shortLength);
        }
        std::memcpy(d, &v, sizeof v);
        break;
      }
      case SMV::SMV_TYPE_UINT32: {
        uint32_t v;
        uint64_t wide;
        if (kVector && inputLength <= 9 && digitsValue16(fieldText, inputLength, &wide)) {
          v = static_cast<uint32_t>(wide);
        } else {
          v = unsigned32Value(fieldText, shortLength);
        }
        std::memcpy(d, &v, sizeof v);
        break;
      }
      case SMV::SMV_TYPE_INT64: {
        uint64_t v;
        // Up to 16 digits always fit.
        if (kVector && signedDigits16(fieldText, inputLength, 16, &v)) {
          std::memcpy(d, &v, sizeof v);
          break;
        }
        // An optional '-' and up to 18 digits always fit.
        if (inputLength < 256 && signedDigits(fieldText, shortLength, 19, &v)) {
          const uint32_t digits = inputLength - (fieldText[0] == '-' && inputLength > 1 ? 1u : 0u);
          if (ZUR_UNLIKELY(f.checkRange) && digits > 18) {
            if (kQuiet) return false;
            checkNumericRange(f, fieldText, inputLength, rowIndex);
          }
        } else {
          if (ZUR_UNLIKELY(f.checkRange)) {
            if (kQuiet) return false;
            checkNumericRange(f, fieldText, inputLength, rowIndex);
          }
          v = static_cast<uint64_t>(text2int64(fieldText, shortLength));
        }
        std::memcpy(d, &v, sizeof v);
        break;
      }
      case SMV::SMV_TYPE_UINT64: {
        // Up to 19 digits always fit.
        uint64_t v;
        if (kVector && digitsValue16(fieldText, inputLength, &v)) {
          std::memcpy(d, &v, sizeof v);
          break;
        }
        if (!(inputLength < 256 && digitsValue(fieldText, shortLength, &v))) {
          if (ZUR_UNLIKELY(f.checkRange)) {
            if (kQuiet) return false;
            checkNumericRange(f, fieldText, inputLength, rowIndex);
          }
          v = text2uint64(fieldText, shortLength);
        }
        std::memcpy(d, &v, sizeof v);
        break;
      }
      case SMV::SMV_TYPE_FIXED: {
        int64_t value = 0;
        uint32_t precision = 0;
        if (kVector && plainFixedValue16(fieldText, inputLength, &value, &precision)) {
          std::memcpy(d, &value, sizeof value);
          std::memcpy(d + 8, &precision, sizeof precision);
          break;
        }
        if (shortLength != 0 && !plainFixedValue(fieldText, shortLength, &value, &precision)) {
          const VariableFixedPointValue fp = fast_ascii_to_fixedpoint(fieldText, shortLength, -2);
          value = fp.value;
          precision = static_cast<uint8_t>(fp.precision);
        }
        std::memcpy(d, &value, sizeof value);
        std::memcpy(d + 8, &precision, sizeof precision);
        break;
      }
      default:  // SMV_TYPE_STRING; the layout admits no other type here
        if (ZUR_LIKELY(inputLength < f.length)) {
          copyText(d, fieldText, inputLength);
        } else {
          if (kQuiet) return false;
          copyText(d, fieldText, f.length - 1u);
          if (!holdMessage()) LOG_CERR(app_warning) << "Row " << rowIndex << " column "
                                << static_cast<int32_t>(f.column) << " name=\""
                                << columnDescriptions[f.column].fieldName << "\": text of "
                                << inputLength << " bytes cut to " << f.length - 1u << LOG_ENDLINE;
        }
        break;
    }
  }
  return true;
}

void Narvelix::encodeFixedRecord(const RowContent& row, uint32_t rowIndex, unsigned char* body,
                                 const uint16_t* fieldOffsets) {
  encodeFixedRecordWith<false>(row, rowIndex, body, fieldOffsets);
}

#if defined(ZUR_USE_AVX2)
__attribute__((target("avx2"))) void Narvelix::encodeFixedRecordAvx2(const RowContent& row,
                                                                     uint32_t rowIndex,
                                                                     unsigned char* body,
                                                                     const uint16_t* fieldOffsets) {
  encodeFixedRecordWith<true>(row, rowIndex, body, fieldOffsets);
}
#else
void Narvelix::encodeFixedRecordAvx2(const RowContent& row, uint32_t rowIndex, unsigned char* body,
                                     const uint16_t* fieldOffsets) {
  encodeFixedRecord(row, rowIndex, body, fieldOffsets);
}
#endif

// encodeFixedField for a field of a line in the reader's buffer, without
// messages (false for a field that needs one). An empty text leaves a string
// field zero; numbers read it as "".
template <bool kVector>
ZUR_ALWAYS_INLINE bool Narvelix::encodeInPlace(const SelectedField& f, const unsigned char* text,
                                               uint32_t length, uint32_t rowIndex,
                                               unsigned char* d) {
  if (length != 0) {
    return encodeFixedField<kVector, true>(f, reinterpret_cast<const char*>(text), length,
                                           rowIndex, d);
  }
  if (f.type == SMV::SMV_TYPE_STRING) return true;
  return encodeFixedField<kVector, true>(f, emptyText(), 0, rowIndex, d);
}

template <typename Masks, bool kVector>
ZUR_ALWAYS_INLINE Narvelix::InPlace Narvelix::encodeLineInPlaceWith(LineRereader& reader,
                                                       const unsigned char* line,
                                                       std::size_t length, uint32_t rowIndex,
                                                       unsigned char* record,
                                                       const uint16_t* fieldOffsets) {
  uint32_t k = 0;
  bool clean = true;
  const int total = plain_line::splitPlainLine<Masks>(
      line, length, reader.readable(line), plainSeparator(*this), plainQuote(*this), storedColumns,
      // Inlined, so that the number parsers are compiled for the caller's
      // processor target.
      [&](uint32_t column, std::size_t start, std::size_t fieldLength) ZUR_INLINE_LAMBDA {
        if (k == selectedTotal || selected[k].column != column) return;
        const SelectedField& f = selected[k];
        const auto n = static_cast<uint32_t>(fieldLength);
        // A field that needs a message leaves the line to the general
        // path, so that a line given up later on (a quote in a later block)
        // has written none.
        if (clean) clean = encodeInPlace<kVector>(f, line + start, n, rowIndex, record + fieldOffsets[k]);
        ++k;
      },
      reader.blockOrigin(), reader.blockCache());
  if (total < 0) return IN_PLACE_NOT_PLAIN;
  if (!clean) return IN_PLACE_NEEDS_MESSAGE;
  // Columns missing from the line read as empty texts.
  for (; k < selectedTotal; ++k) {
    if (!encodeInPlace<kVector>(selected[k], line, 0, rowIndex, record + fieldOffsets[k])) {
      return IN_PLACE_NEEDS_MESSAGE;
    }
  }
  return IN_PLACE_ENCODED;
}

Narvelix::InPlace Narvelix::encodeLineInPlace(LineRereader& reader, const unsigned char* line,
                                 std::size_t length, uint32_t rowIndex, unsigned char* record,
                                 const uint16_t* fieldOffsets) {
  return encodeLineInPlaceWith<plain_line::PortableMasks, false>(reader, line, length, rowIndex,
                                                                  record, fieldOffsets);
}

#if defined(ZUR_USE_AVX2)
__attribute__((target("avx2"))) Narvelix::InPlace Narvelix::encodeLineInPlaceAvx2(
    LineRereader& reader, const unsigned char* line, std::size_t length, uint32_t rowIndex,
    unsigned char* record, const uint16_t* fieldOffsets) {
  return encodeLineInPlaceWith<plain_line::Avx2Masks, true>(reader, line, length, rowIndex, record,
                                                            fieldOffsets);
}
#else
Narvelix::InPlace Narvelix::encodeLineInPlaceAvx2(LineRereader& reader, const unsigned char* line,
                                     std::size_t length, uint32_t rowIndex, unsigned char* record,
                                     const uint16_t* fieldOffsets) {
  return encodeLineInPlace(reader, line, length, rowIndex, record, fieldOffsets);
}
#endif

void Narvelix::planEncoding(EncodePlan* plan) const {
  // The lean encoder takes fixed-length records of known types.
  plan->lean = !usesVariableLengthRecords && !forceGeneralEncoder;
  plan->vectorNumbers = byte_masks::avx2Available();
  plan->inPlace = plan->lean;
  uint32_t offset = 0;
  for (uint32_t k = 0; k < selectedTotal; ++k) {
    if (k > 0 && selected[k].column <= selected[k - 1].column) plan->inPlace = false;
    plan->fieldOffsets[k] = static_cast<uint16_t>(offset);
    offset += selected[k].length;
    switch (selected[k].type) {
      case SMV::SMV_TYPE_INT32:
      case SMV::SMV_TYPE_UINT32:
      case SMV::SMV_TYPE_INT64:
      case SMV::SMV_TYPE_UINT64:
      case SMV::SMV_TYPE_FIXED:
      case SMV::SMV_TYPE_STRING:
        break;
      default:
        plan->lean = false;
    }
  }
}

std::size_t Narvelix::encodeRow(const RowContent& row, uint32_t r, unsigned char* record,
                                const EncodePlan& plan) {
  if (usesVariableLengthRecords) {
    unsigned char* body = record + RECORD_HEADER_BYTES;
    std::memset(body, 0, recordLength);
    uint64_t presentMask = 0;
    const uint32_t bodyLength = encodeRecord(row, r, body, &presentMask);
    UniversalMetaData_ReferenceRecordHeader recordHeader;
    std::memset(&recordHeader, 0, sizeof recordHeader);
    recordHeader.totalRecordLength = static_cast<uint16_t>(bodyLength + RECORD_HEADER_BYTES);
    recordHeader.recordFormatVersion = UNIVERSAL_METADATA_RECORD_FORMAT_VERSION;
    recordHeader.fieldsPresentMask = presentMask;
    std::memcpy(record, &recordHeader, sizeof recordHeader);
    return RECORD_HEADER_BYTES + bodyLength;
  }
  std::memset(record, 0, recordLength);
  if (ZUR_UNLIKELY(!plan.lean)) return encodeRecord(row, r, record, nullptr);
  if (plan.vectorNumbers) {
    encodeFixedRecordAvx2(row, r, record, plan.fieldOffsets);
  } else {
    encodeFixedRecord(row, r, record, plan.fieldOffsets);
  }
  if (ZUR_UNLIKELY(COMPONENT_LOG_ENABLED(app, app_trace))) {
    LOG_CERR(app_trace) << "Row " << r << " record=" << AS_HEXADECIMAL_BUFFER(record, recordLength, true)
                        << LOG_ENDLINE;
  }
  return recordLength;
}

bool Narvelix::RecordSink::put(const unsigned char* data, std::size_t length) {
  if (stream != nullptr) {
    sent = std::fwrite(data, 1, length, stream);
    return sent == length;
  }
  if (descriptor >= 0) {
    sent = 0;
    while (sent < length) {
      const ssize_t n = ::pwrite(descriptor, data + sent, length - sent, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
      offset += n;
    }
  }
  bytes += length;
  return true;
}

template <typename NextRow>
Narvelix::EncodeResult Narvelix::encodeRows(NextRow nextRow, uint32_t firstRow, uint32_t rowCount,
                                            RecordSink& sink, unsigned char* staging,
                                            const EncodePlan& plan) {
  RowContent row;
  for (uint32_t i = 0; i < storedColumns; ++i) {
    row.fieldText[i] = EMPTY_TEXT;
    row.fieldLength[i] = 0;
  }
  EncodeResult result;
  result.row = firstRow;
  uint32_t previousFields = 0;
  const std::size_t maxRecordBytes = recordLength + RECORD_HEADER_BYTES;
  const uint32_t endRow = firstRow + rowCount;
  [[maybe_unused]] bool inPlace = false;
  if constexpr (std::is_same_v<NextRow, ChunkRows>) {
    inPlace = plan.inPlace && nextRow.reader->plainSplit() &&
              !COMPONENT_LOG_ENABLED(app, app_trace);
  }
  for (uint32_t r = firstRow; r < endRow; ++r) {
    if constexpr (std::is_same_v<NextRow, ChunkRows>) {
      if (inPlace) {
        unsigned char* line;
        std::size_t lineLength;
        if (ZUR_UNLIKELY(!nextRow.reader->nextContentLine(&line, &lineLength))) {
          result.status = EncodeResult::ROW_MISSING;
          result.row = r;
          return result;
        }
        if (result.staged + maxRecordBytes > STAGING_BYTES) {
          if (!sink.put(staging, result.staged)) {
            result.status = EncodeResult::WRITE_FAILED;
            result.sent = sink.sent;
            return result;
          }
          result.staged = 0;
          result.row = r;
        }
        unsigned char* const record = staging + result.staged;
        std::memset(record, 0, recordLength);
        const InPlace encoded =
            plan.vectorNumbers
                ? encodeLineInPlaceAvx2(*nextRow.reader, line, lineLength, r, record, plan.fieldOffsets)
                : encodeLineInPlace(*nextRow.reader, line, lineLength, r, record, plan.fieldOffsets);
        if (ZUR_LIKELY(encoded == IN_PLACE_ENCODED)) {
          result.staged += recordLength;
          continue;
        }
        std::memset(record, 0, recordLength);
        const int decoded = nextRow.reader->splitLine(line, lineLength, row.fieldText, row.fieldLength,
                                                      storedColumns, encoded == IN_PLACE_NEEDS_MESSAGE);
        for (auto i = static_cast<uint32_t>(decoded); i < previousFields; ++i) {
          row.fieldText[i] = EMPTY_TEXT;
          row.fieldLength[i] = 0;
        }
        previousFields = static_cast<uint32_t>(decoded);
        result.staged += encodeRow(row, r, record, plan);
        continue;
      }
    }
    const int decoded = nextRow(row.fieldText, row.fieldLength, storedColumns);
    if (ZUR_UNLIKELY(decoded < 0)) {
      result.status = EncodeResult::ROW_MISSING;
      result.row = r;
      return result;
    }
    // Columns missing from this line read as empty texts.
    for (auto i = static_cast<uint32_t>(decoded); i < previousFields; ++i) {
      row.fieldText[i] = EMPTY_TEXT;
      row.fieldLength[i] = 0;
    }
    previousFields = static_cast<uint32_t>(decoded);
    if (result.staged + maxRecordBytes > STAGING_BYTES) {
      if (!sink.put(staging, result.staged)) {
        result.status = EncodeResult::WRITE_FAILED;
        result.sent = sink.sent;
        return result;
      }
      result.staged = 0;
      result.row = r;
    }
    result.staged += encodeRow(row, r, staging + result.staged, plan);
  }
  return result;
}

// Explicit forms for the chunk encoder.
template Narvelix::EncodeResult Narvelix::encodeRows<Narvelix::ChunkRows>(
    ChunkRows, uint32_t, uint32_t, RecordSink&, unsigned char*, const EncodePlan&);

void Narvelix::reportRowMissing(uint32_t row) {
  LOG_CERR(app_error) << "The input changed while it was read: row " << row << " is missing; \""
                      << fileName << "\" is not complete" << LOG_ENDLINE;
}

void Narvelix::reportWriteFailed(uint32_t row, std::size_t sent) {
  LOG_CERR(app_error) << "Could not write record " << row << " to \"" << fileName
                      << "\" wrote=" << static_cast<int32_t>(sent) << LOG_ENDLINE;
}

int Narvelix::writeMetadataFile(int recordsSeen) {
  LOG_CERR(app_info) << "output fileName=\"" << fileName << "\"" << LOG_ENDLINE;
  if (secondRead && !inputUnchanged()) {
    LOG_CERR(app_error) << "The input changed while it was read; \"" << fileName
                        << "\" is not written" << LOG_ENDLINE;
    return -1;
  }
  auto* staging = static_cast<unsigned char*>(std::malloc(STAGING_BYTES));
  if (staging == nullptr) {
    LOG_CERR(app_error) << "Out of memory for the output buffer of \"" << fileName << "\""
                        << LOG_ENDLINE;
    return -1;
  }
  OutputFile output;
  FILE* const out = output.open(fileName);
  if (out == nullptr) {
    LOG_CERR(app_error) << "Could not create \"" << fileName << "\" to output meta data"
                        << LOG_ENDLINE;
    std::free(staging);
    return -1;
  }

  const auto rowTotal = static_cast<uint32_t>(contentRows);
  UniversalMetaData_ReferenceFileHeader header;
  std::memset(&header, 0, sizeof header);
  std::memcpy(header.magicNumber, magicNumber, sizeof header.magicNumber);
  header.headerLength = UNIVERSAL_METADATA_HEADER_LENGTH;
  header.fieldDescriptionLength = UNIVERSAL_METADATA_DESCRIPTION_LENGTH;
  header.totalFields = static_cast<uint16_t>(selectedTotal);
  header.metaRecordLength = usesVariableLengthRecords ? 0 : static_cast<uint16_t>(recordLength);
  header.totalRecords = rowTotal;
  if (options.verbose != 0) {
    LOG_CERR(app_info) << "selectedFieldTotal=" << selectedTotal << LOG_ENDLINE;
  }

  // Header and descriptions are flushed at once so that a failing output is
  // reported at the step that failed.
  const std::size_t headerBytes = std::fwrite(&header, 1, sizeof header, out);
  if (headerBytes != sizeof header || std::fflush(out) != 0) {
    LOG_CERR(app_error) << "Could not write file header to \"" << fileName << "\"" << LOG_ENDLINE;
    output.abandon();
    std::free(staging);
    return -1;
  }
  std::size_t written =
      std::fwrite(fieldDescriptions, sizeof fieldDescriptions[0], selectedTotal, out);
  if (written == selectedTotal && selectedTotal != 0 && std::fflush(out) != 0) written = 0;
  if (written != selectedTotal) {
    LOG_CERR(app_error) << "Could not write field descriptions to \"" << fileName
                        << "\" wrote=" << static_cast<int32_t>(written) << " records of "
                        << selectedTotal << LOG_ENDLINE;
    output.abandon();
    std::free(staging);
    return -1;
  }
  if (options.verbose != 0) {
    LOG_CERR(app_info) << "Total rows=" << rowTotal << " bytes="
                       << static_cast<uint32_t>(sizeof header +
                                                sizeof fieldDescriptions[0] * written)
                       << LOG_ENDLINE;
  }

  EncodePlan plan;
  planEncoding(&plan);
  bool failed = false;
  std::size_t staged = 0;
  uint32_t firstStagedRow = 0;
  // Chunks of rows are encoded at once, each written at its final offset
  // (pwrite), when the output is a regular file written from its current
  // position: records start there (standard output may hold an earlier
  // input's file before this one) and the position is moved past them.
  const int outputFd = ::fileno(out);
  struct stat outputStat;
  int64_t recordsStart = -1;
  if (secondRead && chunks.size() > 1 && ::fstat(outputFd, &outputStat) == 0 &&
      S_ISREG(outputStat.st_mode) && (::fcntl(outputFd, F_GETFL) & O_APPEND) == 0) {
    recordsStart = static_cast<int64_t>(::lseek(outputFd, 0, SEEK_CUR));
  }
  if (recordsStart >= 0) {
    int64_t recordsEnd = recordsStart;
    failed = !encodeChunks(outputFd, recordsStart, plan, staging, &recordsEnd);
    if (!failed && ::lseek(outputFd, static_cast<off_t>(recordsEnd), SEEK_SET) < 0) {
      reportWriteFailed(0, 0);
      failed = true;
    }
  } else {
    LineRereader rereader(*this, descriptor);
    if (secondRead && !rereader.ready()) {
      LOG_CERR(app_error) << "Out of memory for the input buffer of \"" << fileName << "\""
                          << LOG_ENDLINE;
      output.abandon();
      std::free(staging);
      return -1;
    }
    RowStore::Cursor cursor(rowData);
    RecordSink sink;
    sink.stream = out;
    const EncodeResult result =
        secondRead ? encodeRows(ChunkRows{&rereader}, 0, rowTotal, sink, staging, plan)
                   : encodeRows(
                         [&cursor](const char** text, uint32_t* length, uint32_t columns) {
                           return cursor.next(text, length, columns);
                         },
                         0, rowTotal, sink, staging, plan);
    staged = result.staged;
    firstStagedRow = result.row;
    if (result.status == EncodeResult::ROW_MISSING && secondRead) {
      reportRowMissing(result.row);
      failed = true;
    } else if (result.status == EncodeResult::WRITE_FAILED) {
      reportWriteFailed(result.row, result.sent);
      failed = true;
    }
  }
  if (!failed && secondRead && !inputUnchanged()) {
    LOG_CERR(app_error) << "The input changed while it was read; \"" << fileName
                        << "\" is not complete" << LOG_ENDLINE;
    failed = true;
  }
  if (!failed) {
    const std::size_t sent = std::fwrite(staging, 1, staged, out);
    if (sent != staged || std::fflush(out) != 0) {
      reportWriteFailed(firstStagedRow, sent);
      failed = true;
    }
  }
  std::free(staging);
  if (failed) {
    output.abandon();  // a file of that name stays as it was
    return -1;
  }
  const int closed = output.close();
  if (closed == OutputFile::OUTPUT_WRITE_FAILED) {
    LOG_CERR(app_error) << "Could not write record " << firstStagedRow << " to \"" << fileName
                        << "\" wrote=0" << LOG_ENDLINE;
  }
  return closed == OutputFile::OUTPUT_CLOSED ? recordsSeen : -1;
}
