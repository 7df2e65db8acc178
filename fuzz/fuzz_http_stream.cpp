// Fuzzer of the HTTP stream parser and the document extractor under it.
// Arbitrary bytes are fed to a parser whole and, to a second parser, in
// pieces whose sizes come from the input; both must report the same messages
// (start-line fields, headers, Content-Length, bodies), since where a stream
// is cut must never change what it holds. A small pending limit makes the
// oversized-document and oversized-body paths reachable.
//
// Input layout: byte 0 bit 0 chooses responses (1) or requests (0), bit 1 the
// small pending limit, bit 7 the extractor mode; byte 1 seeds the piece
// sizes; the rest is the stream. In the extractor mode, bytes 2 and 3 give
// the prefix and end-tag lengths (mod 5), taken from the stream's front, and
// the documents and blocks are compared with the reference splitter too.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "utils/logging/logging_api.hpp"
#include "../tests/io/document_stream_reference.hpp"

namespace {

// Feeds `stream` whole to one target and in pieces of 1..64 bytes (sizes
// drawn from seed) to the other.
template <typename T>
void feedBoth(T& whole, T& pieces, const unsigned char* stream, size_t size, uint8_t seed) {
  whole.scanAndProcessBuffer(stream, size);
  const auto savedMask = static_cast<unsigned>(io_logLevelMask);
  io_logLevelMask = 0u;  // the same messages again would only slow the run
  uint32_t state = seed * 2654435761u + 1u;
  for (size_t at = 0; at < size;) {
    state = state * 1103515245u + 12345u;
    size_t piece = 1 + (state >> 16) % 64;
    if (piece > size - at) piece = size - at;
    pieces.scanAndProcessBuffer(stream + at, piece);
    at += piece;
  }
  io_logLevelMask = savedMask;
}

[[noreturn]] void mismatch(const char* what) {
  std::fprintf(stderr, "fuzz_http_stream: %s\n", what);
  std::abort();
}

void fuzzHttp(uint8_t mode, uint8_t seed, const unsigned char* stream, size_t size) {
  const auto state = (mode & 1) != 0 ? Parse_And_Process_HTTP_Stream::READ_RESPONSE
                                     : Parse_And_Process_HTTP_Stream::READ_REQUEST;
  RecordingHttp whole(state, 64);
  RecordingHttp pieces(state, 64);
  if ((mode & 2) != 0) {
    whole.setMaxPendingBytes(128);
    pieces.setMaxPendingBytes(128);
  }
  feedBoth(whole, pieces, stream, size, seed);
  if (whole.events != pieces.events) mismatch("HTTP messages differ between whole and pieces");
  for (const std::string& e : whole.events) {
    if (e.compare(0, 2, "B(") == 0) mismatch("body handed over outside READ_CONTENT_BODY");
  }
  if (whole.pendingContent->spaceUsed() > whole.maxPendingBytes()) mismatch("pending over the limit");
}

void fuzzExtractor(uint8_t seed, const unsigned char* data, size_t size) {
  if (size < 2) return;
  const size_t prefixLen = data[0] % 5;
  const size_t tagLen = data[1] % 5;
  data += 2;
  size -= 2;
  if (size < prefixLen + tagLen) return;
  const std::string prefix(reinterpret_cast<const char*>(data), prefixLen);
  const std::string tag(reinterpret_cast<const char*>(data + prefixLen), tagLen);
  data += prefixLen + tagLen;
  size -= prefixLen + tagLen;
  // NUL ends the constructor's strings: the reference must see the same patterns.
  const std::string p = prefix.substr(0, prefix.find('\0'));
  const std::string t = tag.substr(0, tag.find('\0'));
  RecordingExtractor whole(p.c_str(), t.c_str(), 16);
  RecordingExtractor pieces(p.c_str(), t.c_str(), 16);
  whole.setMaxPendingBytes(1u << 20);  // inputs stay below it: nothing is dropped
  pieces.setMaxPendingBytes(1u << 20);
  feedBoth(whole, pieces, data, size, seed);
  const std::string stream(reinterpret_cast<const char*>(data), size);
  if (whole.events != referenceDocuments(stream, p, t)) mismatch("extractor differs from the reference");
  if (pieces.events != whole.events) mismatch("extractor differs between whole and pieces");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > (1u << 20)) return 0;
  const uint8_t mode = data[0];
  const uint8_t seed = data[1];
  if ((mode & 0x80) != 0) {
    fuzzExtractor(seed, data + 2, size - 2);
  } else {
    fuzzHttp(mode, seed, data + 2, size - 2);
  }
  return 0;
}
