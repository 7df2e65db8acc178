// Reference for the document extractor tests: a splitter that cuts a whole
// stream at once with std::string::find (documents from a prefix through the
// end tag, each followed by the block it announces), and an extractor that
// records what its hooks receive in the same form. A document announces a
// block of as many bytes as it holds '+' characters.
#pragma once

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "utils/io/document_stream.hpp"

// 'D' document or 'B' block, with its bytes.
struct StreamEvent {
  char kind;
  std::string bytes;
  bool operator==(const StreamEvent& o) const { return kind == o.kind && bytes == o.bytes; }
};

inline std::ostream& operator<<(std::ostream& os, const StreamEvent& e) {
  return os << e.kind << ":\"" << e.bytes << "\"";
}

inline size_t announcedBlockLength(const std::string& document) {
  return static_cast<size_t>(std::count(document.begin(), document.end(), '+'));
}

// Documents and blocks complete in `stream`; an empty prefix makes every
// document start where the previous one (or its block) ended.
inline std::vector<StreamEvent> referenceDocuments(const std::string& stream, const std::string& prefix,
                                                   const std::string& endTag) {
  std::vector<StreamEvent> events;
  if (endTag.empty()) return events;
  size_t pos = 0;
  for (;;) {
    if (!prefix.empty()) {
      pos = stream.find(prefix, pos);
      if (pos == std::string::npos) break;
    }
    const size_t tag = stream.find(endTag, pos);
    if (tag == std::string::npos) break;
    const std::string document = stream.substr(pos, tag + endTag.size() - pos);
    events.push_back({'D', document});
    pos = tag + endTag.size();
    const size_t block = announcedBlockLength(document);
    if (block > 0) {
      if (stream.size() - pos < block) break;
      events.push_back({'B', stream.substr(pos, block)});
      pos += block;
    }
  }
  return events;
}

class RecordingExtractor : public Extract_And_Process_Document_Stream {
 public:
  RecordingExtractor(const char* prefix, const char* endTag, size_t initialSize = 64)
      : Extract_And_Process_Document_Stream(prefix, endTag, initialSize) {}

  int processDocument(unsigned char* document, size_t length) override {
    events.push_back({'D', std::string(reinterpret_cast<const char*>(document), length)});
    if (!blockLengths.empty()) {
      const int announced = blockLengths.front();
      blockLengths.erase(blockLengths.begin());
      return announced;
    }
    return static_cast<int>(announcedBlockLength(events.back().bytes));
  }
  int_fast32_t processBlock(unsigned char* block, size_t length) override {
    events.push_back({'B', std::string(reinterpret_cast<const char*>(block), length)});
    return 0;
  }

  int feed(const std::string& bytes) {
    return scanAndProcessBuffer(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  }

  std::vector<StreamEvent> events;
  std::vector<int> blockLengths;  // announced by the next documents, instead of the '+' count
};
