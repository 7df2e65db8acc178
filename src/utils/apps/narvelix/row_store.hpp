// Compact in-memory store for the content rows of one conversion. Rows are kept
// until the whole input is read, so the store is sized like the input: field
// texts back to back in large chunks, each with a one-byte length (five bytes
// for texts of 255 bytes or more), and one count byte per row. No allocation
// per row or field: a new chunk of CHUNK_BYTES (16 MiB) is taken only when a row does
// not fit the current one, and a row never spans two chunks. A row needs
// 1 + sum(length + 1) bytes for short fields, about the bytes of its input
// line. Single-threaded.
//
// Row encoding (byte order of the machine for the 32-bit long length):
//   count      uint8             number of fields stored (0..128)
//   per field: len8 uint8        length, or 255 followed by the length as uint32
//              text  len bytes   the field text, no terminator
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

class RowStore {
 public:
  static constexpr std::size_t CHUNK_BYTES = std::size_t{16} << 20;
  // Readable bytes behind the end of every chunk, so that a reader may load a
  // few bytes past the last text of a chunk (8-byte copies of short texts).
  static constexpr std::size_t SLACK_BYTES = 16;
  static constexpr uint32_t LONG_LENGTH_MARK = 255;

  // Upper bound of the bytes a row of fieldCount fields holding textBytes
  // bytes of text in total takes in the store.
  static constexpr std::size_t rowBound(uint32_t fieldCount, std::size_t textBytes) {
    return 1 + textBytes + std::size_t{5} * fieldCount;
  }

  RowStore() = default;
  ~RowStore();
  RowStore(const RowStore&) = delete;
  RowStore& operator=(const RowStore&) = delete;

  // Returns room for a row of at most maxBytes bytes (see rowBound), or null
  // when memory is exhausted. The row exists once commitRow is called.
  unsigned char* reserveRow(std::size_t maxBytes);
  // Commits the row written from the pointer reserveRow returned up to end.
  void commitRow(unsigned char* end) {
    chunkUsed.back() = static_cast<std::size_t>(end - chunks.back());
    ++rows;
  }

  // Writes the length of a text that was already copied to p + 1 in front of
  // it (moving it when the length needs the long form); returns its end.
  static unsigned char* sealField(unsigned char* p, uint32_t length) {
    if (length < LONG_LENGTH_MARK) {
      *p = static_cast<unsigned char>(length);
      return p + 1 + length;
    }
    std::memmove(p + 1 + sizeof length, p + 1, length);
    *p = static_cast<unsigned char>(LONG_LENGTH_MARK);
    std::memcpy(p + 1, &length, sizeof length);
    return p + 1 + sizeof length + length;
  }

  static unsigned char* putField(unsigned char* p, const char* text, uint32_t length) {
    if (length < LONG_LENGTH_MARK) {
      *p++ = static_cast<unsigned char>(length);
    } else {
      *p++ = static_cast<unsigned char>(LONG_LENGTH_MARK);
      std::memcpy(p, &length, sizeof length);
      p += sizeof length;
    }
    std::memcpy(p, text, length);
    return p + length;
  }

  std::size_t rowCount() const { return rows; }

  // Walks the rows in the order they were stored.
  class Cursor {
   public:
    explicit Cursor(const RowStore& store) : owner(store) {}
    // Decodes the next row: its texts into text/length (at most maxFields of
    // them, the rest of the row is skipped) and returns the number of fields
    // decoded, or -1 after the last row.
    int next(const char** text, uint32_t* length, uint32_t maxFields);

   private:
    const RowStore& owner;
    std::size_t chunk = 0;
    std::size_t offset = 0;
  };

 private:
  std::vector<unsigned char*> chunks;
  std::vector<std::size_t> chunkUsed;
  std::vector<std::size_t> chunkSize;
  std::size_t rows = 0;
};
