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
#include "utils/apps/narvelix/encode_text.hpp"
#include "utils/apps/narvelix/second_read.hpp"
#include "utils/base/text2int.hpp"

namespace {

using SMV = SharedMemoryVariable;
using namespace text2int_plain;
using namespace record_text;

// Small enough to stay in the processor's second-level cache between the
// encoder's stores and the write's copy; large enough for the biggest record.
constexpr std::size_t STAGING_BYTES = std::size_t{1} << 17;
constexpr uint32_t RECORD_HEADER_BYTES = sizeof(UniversalMetaData_ReferenceRecordHeader);
static_assert(STAGING_BYTES >= 65535 + RECORD_HEADER_BYTES, "the largest record fits the staging");

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
  // Room for one more record before row r: the staged records are sent first
  // when the staging buffer could not hold it.
  auto makeRoom = [&](uint32_t r) {
    if (result.staged + maxRecordBytes <= STAGING_BYTES) return true;
    if (!sink.put(staging, result.staged)) {
      result.status = EncodeResult::WRITE_FAILED;
      result.sent = sink.sent;
      return false;
    }
    result.staged = 0;
    result.row = r;
    return true;
  };
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
        if (!makeRoom(r)) return result;
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
    if (!makeRoom(r)) return result;
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
