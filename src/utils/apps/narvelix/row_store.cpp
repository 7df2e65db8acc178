// Chunk management and row decoding of the converter's row store (format in
// row_store.hpp). Chunks are anonymous mappings: their pages are only taken,
// and counted against the process, as rows fill them, and where the kernel
// offers transparent huge pages a chunk asks for them (one fault per 2 MiB
// instead of one per 4 KiB while a 1 GB input is stored).
#include "utils/apps/narvelix/row_store.hpp"

#include <sys/mman.h>

RowStore::~RowStore() {
  for (std::size_t i = 0; i < chunks.size(); ++i) ::munmap(chunks[i], chunkSize[i] + SLACK_BYTES);
}

unsigned char* RowStore::reserveRow(std::size_t maxBytes) {
  if (!chunks.empty() && chunkSize.back() - chunkUsed.back() >= maxBytes) {
    return chunks.back() + chunkUsed.back();
  }
  const std::size_t size = maxBytes > CHUNK_BYTES ? maxBytes : CHUNK_BYTES;
  void* mapped = ::mmap(nullptr, size + SLACK_BYTES, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
#if defined(MADV_HUGEPAGE)
  (void)::madvise(mapped, size + SLACK_BYTES, MADV_HUGEPAGE);  // advice only; may be refused
#endif
  auto* fresh = static_cast<unsigned char*>(mapped);
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
