// Helpers for the reader tests: an in-memory read routine that hands out the
// input in chunks of a chosen size (so lines straddle reads of 1, 2, 3, 7 ...
// bytes and the 65536-byte buffer edge), and a reader that records every hook
// call.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "utils/io/read_file.hpp"

// State of memoryReadRoutine, kept in the reader's auxData.
struct MemorySource {
  std::string data;
  size_t position = 0;
  size_t chunk = 65536;   // most bytes handed out per read
  long failAtOffset = -1;  // once this many bytes were handed out, reads fail (-5)
};

inline int memoryReadRoutine(Read_And_Process_File* reader, unsigned char* buffer, uint32_t length) {
  MemorySource* src = static_cast<MemorySource*>(reader->auxData);
  if (src->failAtOffset >= 0 && src->position >= static_cast<size_t>(src->failAtOffset)) {
    return -5;
  }
  size_t n = src->data.size() - src->position;
  if (n > length) n = length;
  if (n > src->chunk) n = src->chunk;
  if (src->failAtOffset >= 0 && src->position + n > static_cast<size_t>(src->failAtOffset)) {
    n = static_cast<size_t>(src->failAtOffset) - src->position;
  }
  std::memcpy(buffer, src->data.data() + src->position, n);
  src->position += n;
  return static_cast<int>(n);
}

// Records every hook call of the text and block loops.
class RecordingReader : public Read_And_Process_File {
 public:
  explicit RecordingReader(int fd) : Read_And_Process_File(fd) {}
  explicit RecordingReader(MemorySource* src) : Read_And_Process_File(-1) {
    auxData = src;
    setReadRoutine(&memoryReadRoutine);
  }

  int beginFile() override {
    ++begins;
    return 0;
  }
  int completedFile(int count) override {
    ++completions;
    completedWith = count;
    return count;
  }
  int processLine(const unsigned char* line, size_t length) override {
    lines.emplace_back(reinterpret_cast<const char*>(line), length);
    return 0;
  }
  int processHeaderLine(unsigned char* line, size_t length) override {
    headers.emplace_back(reinterpret_cast<const char*>(line), length);
    return headerResult;
  }
  int_fast32_t processBlock(unsigned char* block, size_t length) override {
    blocks.emplace_back(reinterpret_cast<const char*>(block), length);
    return 0;
  }
  void noteDataRead(const unsigned char* data, size_t length) const override {
    noted.append(reinterpret_cast<const char*>(data), length);
  }

  int begins = 0;
  int completions = 0;
  int completedWith = -1;
  int headerResult = 2;
  std::vector<std::string> lines;
  std::vector<std::string> headers;
  std::vector<std::string> blocks;
  mutable std::string noted;
};
