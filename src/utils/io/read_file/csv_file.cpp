// CSV reader: construction with its separator and quote lists, the heading
// line (copied once, split in place, traced, handed to parsedHeadingLine),
// column lookup by name, and in-memory packets. The per-line splitter lives in
// csv_split.cpp. The heading copy is the only allocation of a reader's life.
#include <cstring>
#include <new>

#include "utils/base/compiler_hints.hpp"
#include "utils/io/read_file.hpp"
#include "read_file_log.hpp"

namespace {

constexpr size_t LIST_CAPACITY = 8;

// Copies a list string into an 8-byte list. Up to 7 characters are copied
// with the terminator and the length is the string length; a longer string is
// cut to 7 characters plus a NUL that counts as the eighth list character.
uint8_t copyCharList(unsigned char (&list)[LIST_CAPACITY], const char* text, const char* what) {
  std::memset(list, 0, sizeof list);
  if (text == nullptr) return 0;
  const size_t len = std::strlen(text);
  if (len < LIST_CAPACITY) {
    std::memcpy(list, text, len + 1);
    return static_cast<uint8_t>(len);
  }
  LOG_CERR(io_warning) << what << text << " limit is " << static_cast<uint32_t>(LIST_CAPACITY)
                       << LOG_ENDLINE;
  std::memcpy(list, text, LIST_CAPACITY - 1);
  list[LIST_CAPACITY - 1] = '\0';
  return static_cast<uint8_t>(LIST_CAPACITY);
}

}  // namespace

CSV_File::CSV_File(int fd, bool doHeader, char separator)
    : Read_And_Process_File(fd, READ_NORMAL, nullptr),
      headerLine(nullptr),
      separatorCharList{static_cast<unsigned char>(separator), 0, 0, 0, 0, 0, 0, 0},
      quoteCharList{'"', 0, 0, 0, 0, 0, 0, 0},
      fields{},
      fieldTotal(0),
      readsPerformed(0),
      separatorListLen(2),
      quoteListLen(1),
      doHeaderLine(doHeader) {
  buildCharClasses();
}

CSV_File::CSV_File(int fd, const char* separators, const char* quotes, bool doHeader)
    : Read_And_Process_File(fd, READ_NORMAL, nullptr),
      headerLine(nullptr),
      separatorCharList{},
      quoteCharList{},
      fields{},
      fieldTotal(0),
      readsPerformed(0),
      separatorListLen(0),
      quoteListLen(0),
      doHeaderLine(doHeader) {
  separatorListLen =
      copyCharList(separatorCharList, separators, "Separator character list is too long: ");
  quoteListLen = copyCharList(quoteCharList, quotes, "Quote character list is too long: ");
  buildCharClasses();
}

CSV_File::~CSV_File() {
  delete[] headerLine;
  headerLine = nullptr;
}

int CSV_File::completedFile(int recordsProcessedCount) {
  LOG_CERR(io_trace) << static_cast<uint32_t>(recordsProcessedCount) << " records processed"
                     << LOG_ENDLINE;
  return recordsProcessedCount;
}

int CSV_File::parsedHeadingLine() { return 0; }

int CSV_File::processHeaderLine(unsigned char* line, size_t length) {
  // The byte after the line (its CR or LF) is copied too; the splitter turns it
  // into the terminator.
  unsigned char* copy = new (std::nothrow) unsigned char[length + 1];
  if (ZUR_UNLIKELY(copy == nullptr)) {
    LOG_CERR(io_error) << "Cannot allocate the heading line of " << static_cast<uint32_t>(length)
                       << " bytes" << LOG_ENDLINE;
    return 0;
  }
  std::memcpy(copy, line, length + 1);
  delete[] headerLine;  // a second heading replaces the first
  headerLine = copy;
  fieldTotal = parseIntoFields(MAX_FIELDS, fields, headerLine, length);
  const int stored = fieldTotal < MAX_FIELDS ? fieldTotal : static_cast<int>(MAX_FIELDS);
  for (int i = 0; i < stored; ++i) {
    LOG_CERR(io_trace) << "field " << i << " = " << fields[i] << LOG_ENDLINE;
  }
  parsedHeadingLine();
  return 0;
}

int CSV_File::readAndProcessCSV_File() { return readAndProcessTextLines(doHeaderLine); }

int CSV_File::getFieldIndex(const char* name) const {
  const int stored = fieldTotal < MAX_FIELDS ? fieldTotal : static_cast<int>(MAX_FIELDS);
  if (name != nullptr) {
    for (int i = 0; i < stored; ++i) {
      if (fields[i] != nullptr && std::strcmp(fields[i], name) == 0) return i;
    }
  }
  LOG_CERR(io_trace) << "fieldTotal: " << fieldTotal << " Cannot locate field: "
                     << (name != nullptr ? name : "") << LOG_ENDLINE;
  for (int i = 0; i < stored; ++i) {
    LOG_CERR(io_trace) << "field " << i << " = " << (fields[i] != nullptr ? fields[i] : "")
                       << LOG_ENDLINE;
  }
  return -1;
}

int CSV_File::processPacket(unsigned char* packet, size_t length) {
  if (packet == nullptr || length == 0) return 0;
  File_Buffer window(packet, length, length,
                     File_Buffer::EXTERNAL_STORAGE | File_Buffer::EXTERNAL_NO_MOVE);
  int delivered = 0;
  for (;;) {
    const bool isHeading = doHeaderLine && recordsProcessed == 0;
    if (findAndProcessNextLine(&window, isHeading) == 0) break;
    ++delivered;
  }
  return delivered;
}
