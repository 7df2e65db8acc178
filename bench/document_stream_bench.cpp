// Document extraction speed: 100 MB of XML-like documents ("<doc ...>" through
// "</doc>\n", an element every ~50 bytes, so the end tag's first byte is
// common) arriving in 1,448-byte pieces (one TCP segment's payload), cut by
// the extractor and, in the same run, by a splitter built on glibc memmem
// with the same shape (append, search the prefix, resume the end-tag search,
// compact once per piece). Document sizes 1 KB, 2 KB and 1 MB show whether
// the cost per byte depends on the document size. A last case parses
// pipelined HTTP requests of about 2 KB with their bodies.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "utils/io/document_stream.hpp"
#include "utils/io/http_stream.hpp"

namespace {

constexpr size_t STREAM_BYTES = 100u << 20;
constexpr size_t PIECE_BYTES = 1448;
const char PREFIX[] = "<doc";
const char END_TAG[] = "</doc>\n";

// Documents of exactly docSize bytes, back to back, STREAM_BYTES in all.
const std::string& documentStream(size_t docSize) {
  static std::map<size_t, std::string> streams;
  std::string& s = streams[docSize];
  if (!s.empty()) return s;
  s.reserve(STREAM_BYTES + docSize);
  char line[96];
  for (unsigned doc = 0; s.size() + docSize <= STREAM_BYTES; ++doc) {
    const size_t docStart = s.size();
    std::snprintf(line, sizeof line, "<doc id=\"%08u\">\n", doc);
    s += line;
    for (unsigned item = 0;; ++item) {
      std::snprintf(line, sizeof line, "<item n=\"%06u\">value %u of document %u</item>\n", item,
                    item * 7u, doc);
      if (s.size() - docStart + std::strlen(line) + std::strlen(END_TAG) > docSize) break;
      s += line;
    }
    s.append(docSize - (s.size() - docStart) - std::strlen(END_TAG), ' ');
    s += END_TAG;
  }
  return s;
}

class CountingExtractor : public Extract_And_Process_Document_Stream {
 public:
  CountingExtractor() : Extract_And_Process_Document_Stream(PREFIX, END_TAG, 65536) {
    setMaxPendingBytes(4u << 20);
  }
  int processDocument(unsigned char* document, size_t length) override {
    ++documents;
    bytes += length;
    benchmark::DoNotOptimize(document);
    return 0;
  }
  size_t documents = 0;
  size_t bytes = 0;
};

// The same job on memmem.
class MemmemSplitter {
 public:
  MemmemSplitter() : pending_(65536) {}

  void feed(const unsigned char* data, size_t length) {
    if (pending_.size() - end_ < length) pending_.resize(2 * pending_.size() + length);
    std::memcpy(pending_.data() + end_, data, length);
    end_ += length;
    unsigned char* base = pending_.data();
    const size_t prefixLen = sizeof PREFIX - 1;
    const size_t tagLen = sizeof END_TAG - 1;
    for (;;) {
      if (!inDocument_) {
        void* p = memmem(base + start_, end_ - start_, PREFIX, prefixLen);
        if (p == nullptr) {
          if (end_ - start_ > prefixLen - 1) start_ = end_ - (prefixLen - 1);
          break;
        }
        start_ = static_cast<size_t>(static_cast<unsigned char*>(p) - base);
        searchFrom_ = start_;
        inDocument_ = true;
      }
      void* t = memmem(base + searchFrom_, end_ - searchFrom_, END_TAG, tagLen);
      if (t == nullptr) {
        if (end_ - searchFrom_ > tagLen - 1) searchFrom_ = end_ - (tagLen - 1);
        break;
      }
      const size_t docEnd = static_cast<size_t>(static_cast<unsigned char*>(t) - base) + tagLen;
      ++documents;
      bytes += docEnd - start_;
      benchmark::DoNotOptimize(base + start_);
      start_ = docEnd;
      inDocument_ = false;
    }
    if (start_ > 0) {
      std::memmove(base, base + start_, end_ - start_);
      end_ -= start_;
      searchFrom_ = searchFrom_ > start_ ? searchFrom_ - start_ : 0;
      start_ = 0;
    }
  }
  size_t documents = 0;
  size_t bytes = 0;

 private:
  std::vector<unsigned char> pending_;
  size_t start_ = 0;
  size_t end_ = 0;
  size_t searchFrom_ = 0;
  bool inDocument_ = false;
};

template <typename Splitter, typename Feed>
void runSplitter(benchmark::State& state, Feed feed) {
  const size_t docSize = static_cast<size_t>(state.range(0));
  const std::string& stream = documentStream(docSize);
  const auto* data = reinterpret_cast<const unsigned char*>(stream.data());
  const size_t n = stream.size();
  for (auto _ : state) {
    Splitter splitter;
    for (size_t at = 0; at < n; at += PIECE_BYTES) {
      feed(splitter, data + at, n - at < PIECE_BYTES ? n - at : PIECE_BYTES);
    }
    if (splitter.documents != n / docSize || splitter.bytes != n) {
      state.SkipWithError("wrong documents");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(n));
  state.counters["docs"] = static_cast<double>(n / docSize);
}

void BM_ExtractDocuments(benchmark::State& state) {
  runSplitter<CountingExtractor>(state, [](CountingExtractor& x, const unsigned char* p, size_t len) {
    x.scanAndProcessBuffer(p, len);
  });
}

void BM_MemmemSplitter(benchmark::State& state) {
  runSplitter<MemmemSplitter>(state, [](MemmemSplitter& m, const unsigned char* p, size_t len) {
    m.feed(p, len);
  });
}

BENCHMARK(BM_ExtractDocuments)->Arg(1024)->Arg(2048)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemmemSplitter)->Arg(1024)->Arg(2048)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

// ---- HTTP ----

class CountingHttp : public Parse_And_Process_HTTP_Stream {
 public:
  CountingHttp() : Parse_And_Process_HTTP_Stream(65536, READ_REQUEST) {}
  int_fast32_t processBlock(unsigned char* block, size_t length) override {
    ++bodies;
    benchmark::DoNotOptimize(block);
    bodyBytes += length;
    return Parse_And_Process_HTTP_Stream::processBlock(block, length);
  }
  size_t bodies = 0;
  size_t bodyBytes = 0;
};

// Requests of a 300-byte header section and a 1,748-byte body.
const std::string& httpStream(size_t* requests) {
  static std::string s;
  static size_t count = 0;
  if (s.empty()) {
    const std::string body(1748, 'b');
    char header[512];
    while (s.size() < STREAM_BYTES / 4) {
      std::snprintf(header, sizeof header,
                    "POST /api/v1/items/%zu HTTP/1.1\r\nHost: service.example.org\r\n"
                    "User-Agent: bench/1.0\r\nAccept: application/json\r\n"
                    "Content-Type: application/octet-stream\r\nX-Request-Id: %zu\r\n"
                    "Connection: keep-alive\r\nContent-Length: %zu\r\n\r\n",
                    count, count * 31, body.size());
      s += header;
      s += body;
      ++count;
    }
  }
  *requests = count;
  return s;
}

void BM_HttpRequests(benchmark::State& state) {
  size_t requests = 0;
  const std::string& stream = httpStream(&requests);
  const auto* data = reinterpret_cast<const unsigned char*>(stream.data());
  const size_t n = stream.size();
  for (auto _ : state) {
    CountingHttp parser;
    for (size_t at = 0; at < n; at += PIECE_BYTES) {
      parser.scanAndProcessBuffer(data + at, n - at < PIECE_BYTES ? n - at : PIECE_BYTES);
    }
    if (parser.bodies != requests) {
      state.SkipWithError("wrong requests");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(n));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(requests));
}
BENCHMARK(BM_HttpRequests)->Unit(benchmark::kMillisecond);

}  // namespace
