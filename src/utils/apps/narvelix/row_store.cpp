// Chunk management and row decoding of the converter's row store (format in
// row_store.hpp). Chunks come from malloc so that pages of a chunk are only
// touched, and counted against the process, as rows fill them.
#include "utils/apps/narvelix/row_store.hpp"

#include <cstdlib>

RowStore::~RowStore() {
  for (unsigned char* c : chunks) std::free(c);
}

unsigned char* RowStore::reserveRow(std::size_t maxBytes) {
  if (!chunks.empty() && chunkSize.back() - chunkUsed.back() >= maxBytes) {
    return chunks.back() + chunkUsed.back();
  }
  const std::size_t size = maxBytes > CHUNK_BYTES ? maxBytes : CHUNK_BYTES;
  auto* fresh = static_cast<unsigned char*>(std::malloc(size));
  if (fresh == nullptr) return nullptr;
  chunks.push_back(fresh);
  chunkUsed.push_back(0);
  chunkSize.push_back(size);
  return fresh;
}

int RowStore::Cursor::next(const char** text, uint32_t* length, uint32_t maxFields) {
  while (owner.chunks.size() > chunk && offset >= owner.chunkUsed[chunk]) {
    ++chunk;
    offset = 0;
  }
  if (chunk >= owner.chunks.size()) return -1;
  const unsigned char* p = owner.chunks[chunk] + offset;
  const uint32_t count = *p++;
  uint32_t kept = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t len = *p++;
    if (len == LONG_LENGTH_MARK) {
      std::memcpy(&len, p, sizeof len);
      p += sizeof len;
    }
    if (i < maxFields) {
      text[i] = reinterpret_cast<const char*>(p);
      length[i] = len;
      kept = i + 1;
    }
    p += len;
  }
  offset = static_cast<std::size_t>(p - owner.chunks[chunk]);
  return static_cast<int>(kept);
}
