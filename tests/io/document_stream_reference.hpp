// Helpers of the document extractor and HTTP parser tests and their fuzzer:
// a reference splitter that cuts a whole stream at once with
// std::string::find, and an extractor and an HTTP parser that record what
// their hooks receive as event strings: "D:<document>", "B:<block>" and, for
// HTTP, "M:method|target|version|status|reason|length|name=value|...". A
// document announces a block of as many bytes as it holds '+' characters.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "utils/io/http_stream.hpp"

using Events = std::vector<std::string>;

inline int plusCount(const std::string& document) {
  return static_cast<int>(std::count(document.begin(), document.end(), '+'));
}

// Documents and blocks complete in `stream`; an empty prefix makes every
// document start where the previous one (or its block) ended.
inline Events referenceDocuments(const std::string& stream, const std::string& prefix,
                                 const std::string& endTag) {
  Events events;
  size_t pos = 0;
  while (!endTag.empty()) {
    if (!prefix.empty() && (pos = stream.find(prefix, pos)) == std::string::npos) break;
    const size_t tag = stream.find(endTag, pos);
    if (tag == std::string::npos) break;
    const std::string document = stream.substr(pos, tag + endTag.size() - pos);
    events.push_back("D:" + document);
    pos = tag + endTag.size();
    const auto block = static_cast<size_t>(plusCount(document));
    if (block > 0) {
      if (stream.size() - pos < block) break;
      events.push_back("B:" + stream.substr(pos, block));
      pos += block;
    }
  }
  return events;
}

template <typename Base>
int feedBytes(Base& target, const std::string& bytes) {
  return target.scanAndProcessBuffer(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

class RecordingExtractor : public Extract_And_Process_Document_Stream {
 public:
  RecordingExtractor(const char* prefix, const char* endTag, size_t initialSize = 64)
      : Extract_And_Process_Document_Stream(prefix, endTag, initialSize) {}

  int processDocument(unsigned char* document, size_t length) override {
    const std::string text(reinterpret_cast<const char*>(document), length);
    events.push_back("D:" + text);
    if (blockLengths.empty()) return plusCount(text);
    const int announced = blockLengths.front();
    blockLengths.erase(blockLengths.begin());
    return announced;
  }
  int_fast32_t processBlock(unsigned char* block, size_t length) override {
    events.push_back("B:" + std::string(reinterpret_cast<const char*>(block), length));
    return 0;
  }
  int feed(const std::string& bytes) { return feedBytes(*this, bytes); }

  Events events;
  std::vector<int> blockLengths;  // announced by the next documents, instead of the '+' count
};

class RecordingHttp : public Parse_And_Process_HTTP_Stream {
 public:
  explicit RecordingHttp(ParseState state, size_t initialSize = 64)
      : Parse_And_Process_HTTP_Stream(initialSize, state) {}

  int processDocument(unsigned char* document, size_t length) override {
    const int body = Parse_And_Process_HTTP_Stream::processDocument(document, length);
    std::string m = std::string("M:") + httpRequest + "|" + requestURL + "|" + httpVersion + "|" +
                    statusCode + "|" + responseReason + "|" + std::to_string(contentLengthWanted);
    for (size_t i = 0; i < headerAttributes.size(); ++i) {
      m += std::string("|") + headerAttributes.nameAt(i) + "=" + headerAttributes.valueAt(i);
    }
    events.push_back(m);
    return body;
  }
  int_fast32_t processBlock(unsigned char* block, size_t length) override {
    events.push_back((parseState == READ_CONTENT_BODY ? "B:" : "B(out of state):") +
                     std::string(reinterpret_cast<const char*>(block), length));
    return Parse_And_Process_HTTP_Stream::processBlock(block, length);
  }
  int feed(const std::string& bytes) { return feedBytes(*this, bytes); }

  Events events;
};
