// File-type selection by leading bytes: a caller's table of selector rows
// (ending with a row whose read routine is null) is matched against the first
// 16 bytes of a file, so a reader can pick the read routine for compressed or
// captured input. The file is opened and closed here, apart from the reader's
// own descriptor; the standard streams are never probed, since reading them
// would consume input the reader needs.
#include <errno.h>
#include <unistd.h>

#include <cstring>

#include "utils/io/read_file.hpp"

namespace {

constexpr size_t HEADER_BYTES = 16;

bool isStandardStreamName(const char* fileName) {
  return fileName != nullptr && (std::strcmp(fileName, "--stdin") == 0 ||
                                 std::strcmp(fileName, "--stdout") == 0 ||
                                 std::strcmp(fileName, "--stderr") == 0);
}

// Reads until `length` bytes arrived or the input ends; a read error counts as
// end. Returns the bytes read.
size_t readFully(int fd, unsigned char* data, size_t length) {
  size_t got = 0;
  while (got < length) {
    const ssize_t rc = ::read(fd, data + got, length - got);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) break;
    got += static_cast<size_t>(rc);
  }
  return got;
}

}  // namespace

uint32_t Read_And_Process_File::matchFileHeader(const FileTypeReaderSelector* row,
                                                const unsigned char* data, size_t length) {
  uint32_t matched = 0;
  const uint32_t mask = row->initialBytesToMatchMask;
  for (size_t n = 0; n < HEADER_BYTES && n < length; ++n) {
    const uint32_t bit = 1u << n;
    if ((mask & bit) != 0 && data[n] == row->bytesToMatch[n]) matched |= bit;
  }
  return matched;
}

const Read_And_Process_File::FileTypeReaderSelector* Read_And_Process_File::findTypeOfFile(
    const char* fileName, const FileTypeReaderSelector* table) {
  if (table == nullptr || fileName == nullptr || isStandardStreamName(fileName)) return nullptr;
  const int fd = openFile(fileName, READ_NORMAL);
  if (fd < 0) return nullptr;
  unsigned char header[HEADER_BYTES];
  const size_t got = readFully(fd, header, sizeof header);
  closeFile(fd, READ_NORMAL);
  if (got != HEADER_BYTES || table[0].readInterfaceRoutine == nullptr) return nullptr;
  for (const FileTypeReaderSelector* row = table; row->readInterfaceRoutine != nullptr; ++row) {
    const uint32_t mask = row->initialBytesToMatchMask;
    if (mask == 0) return row;
    if (matchFileHeader(row, header, sizeof header) == mask) return row;
  }
  return nullptr;
}
