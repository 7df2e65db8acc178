// Guards of the converter against inputs the line loop handles badly on its
// own: the end of input inside the last line (that line is not delivered: a
// warning says so), a line too long for the reader's buffer (the rest of the
// input is not read: the input is refused), more rows than a file's 32-bit
// record count holds (refused), heading names that clean to
// nothing or to the same name, and numbers too big for their field.
#include <cstring>

#include "utils/apps/narvelix/narvelix.hpp"
#include "utils/apps/narvelix/narvelix_log.hpp"

namespace {

using SMV = SharedMemoryVariable;

// Out-of-range values reported one by one per input; the rest are counted.
constexpr uint32_t MAX_RANGE_WARNINGS = 20;

// Whether text (length bytes) as [sign] digits [. digits] fits the field type:
// integers within their 64-bit range, fixed point within the 64-bit scaled
// value and at most 15 decimal places. The parsers take at most 20 digits
// before the point (more read as 0), so a longer integer part fits only when
// it is 0. Texts of another shape are not judged.
bool numberFits(uint32_t type, const char* text, uint32_t length) {
  uint32_t i = 0;
  bool negative = false;
  if (i < length && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  uint64_t value = 0;
  bool overflow = false;
  uint32_t integerDigits = 0;
  bool integerPartZero = true;
  uint32_t decimals = 0;
  bool point = false;
  for (; i < length; ++i) {
    const char c = text[i];
    if (c == '.' && type == SMV::SMV_TYPE_FIXED && !point) {
      point = true;
      continue;
    }
    if (c < '0' || c > '9') return true;  // not a plain number
    if (point) {
      if (++decimals > 15) return false;
    } else {
      ++integerDigits;
      if (c != '0') integerPartZero = false;
    }
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) {
      overflow = true;
    } else {
      value = value * 10 + digit;
    }
  }
  if (overflow || (integerDigits > 20 && !integerPartZero)) return false;
  if (type == SMV::SMV_TYPE_UINT64) return !negative || value == 0;
  const uint64_t limit = negative ? (uint64_t{1} << 63) : (uint64_t{1} << 63) - 1;
  return value <= limit;
}

const char* const EMPTY = "";

}  // namespace

int Narvelix::readIntoBuffer(unsigned char* buffer, size_t length) {
  if (ZUR_UNLIKELY(length == 0)) lineTooLong = true;
  const int rc = CSV_File::readIntoBuffer(buffer, length);
  if (rc > 0) {
    sawInputBytes = true;
    // Bytes after the last line feed read so far: usually the line feed is
    // near the end of the chunk.
    auto n = static_cast<size_t>(rc);
    while (n > 0 && buffer[n - 1] != '\n') --n;
    if (n > 0) unterminatedBytes = 0;
    unterminatedBytes += static_cast<size_t>(rc) - n;
  }
  return rc;
}

bool Narvelix::inputReadCompletely(int recordsSeen) {
  if (lineTooLong) {
    LOG_CERR(app_error) << "Line " << static_cast<int32_t>(recordsSeen + 1)
                        << " is longer than 65535 bytes: the rest of the input was not read"
                        << LOG_ENDLINE;
    encounteredError = true;
    inputRejected = true;
    return false;
  }
  if (ZUR_UNLIKELY(contentRows > recordLimit)) {
    LOG_CERR(app_error) << "Too many content rows: more than " << recordLimit
                        << ", the most the 32-bit record count of a metadata file holds"
                        << LOG_ENDLINE;
    encounteredError = true;
    inputRejected = true;
    return false;
  }
  if (unterminatedBytes != 0) {
    // The reader delivers complete lines only.
    LOG_CERR(app_warning) << "Last line has no line feed: its "
                          << static_cast<uint32_t>(unterminatedBytes) << " bytes were not converted"
                          << LOG_ENDLINE;
  }
  return true;
}

void Narvelix::checkHeadingNames(const bool* cleanedEmpty) {
  for (int i = 0; i < fieldTotal; ++i) {
    const char* name = columnDescriptions[i].fieldName;
    if (name[0] == '\0') {
      if (cleanedEmpty[i]) {
        LOG_CERR(app_warning) << "Column " << static_cast<int32_t>(i)
                              << " has no name left after cleaning its heading; it is left out of "
                                 "the output"
                              << LOG_ENDLINE;
      }
      continue;
    }
    for (int j = 0; j < i; ++j) {
      if (std::strncmp(columnDescriptions[j].fieldName, name, sizeof columnDescriptions[j].fieldName) == 0) {
        LOG_CERR(app_warning) << "Columns " << static_cast<int32_t>(j) << " and "
                              << static_cast<int32_t>(i) << " have the same name \"" << name << "\""
                              << LOG_ENDLINE;
        break;
      }
    }
  }
}

void Narvelix::checkNumericRange(const SelectedField& f, const char* fieldText, uint32_t length,
                                 uint32_t rowIndex) {
  if (length == 0 || numberFits(f.type, fieldText, length) || holdMessage()) return;
  if (++outOfRangeValues > MAX_RANGE_WARNINGS) return;
  LOG_CERR(app_warning) << "Row " << rowIndex << " column " << static_cast<int32_t>(f.column)
                        << " name=\"" << columnDescriptions[f.column].fieldName << "\": value \""
                        << NARVELIX_TEXT(fieldText != nullptr ? fieldText : EMPTY, length)
                        << "\" does not fit its field of type " << static_cast<uint32_t>(f.type)
                        << LOG_ENDLINE;
  if (outOfRangeValues == MAX_RANGE_WARNINGS) {
    LOG_CERR(app_warning) << "Further values that do not fit their fields are not reported"
                          << LOG_ENDLINE;
  }
}
