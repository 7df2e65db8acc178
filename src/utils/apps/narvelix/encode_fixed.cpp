// The fixed-length record encoder: fields go straight to their offsets in
// the zeroed record, from a row's field list or, in the second read, straight
// from a line without quotes as the separator walk finds each field.
#include <cstring>

#include "utils/apps/narvelix/encode_text.hpp"
#include "utils/apps/narvelix/narvelix.hpp"
#include "utils/apps/narvelix/narvelix_log.hpp"
#include "utils/apps/narvelix/second_read.hpp"
#include "utils/base/text2int.hpp"
#include "utils/base/text2int_plain.hpp"
#include "utils/io/plain_line.hpp"

namespace {

using SMV = SharedMemoryVariable;
using namespace text2int_plain;
using namespace record_text;

// EMPTY_TEXT out of line: where a field's type is not known to the compiler
// an inlined string copy from it would warn of bounds it never reaches.
ZUR_NOINLINE const char* emptyText() { return EMPTY_TEXT; }

}  // namespace

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

