// Feeds arbitrary bytes to narvelix-logcat's reader as a file of binary log
// records, in text and raw mode. The input sits in an exact-size heap buffer,
// so a read past it is caught by AddressSanitizer. Checks: the reader either
// reads every byte or stops with a one-line reason at a record boundary it
// reached; fed in two pieces (split where the first byte says) it reads the
// same records and stops the same way. (The printed text may differ: a format
// line that applies a number conversion to a value held elsewhere shows the
// address where the reader keeps that value.)
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "utils/logging/log_binary.hpp"

namespace {

struct Result {
  bool ok;
  std::string out;
  std::string error;
  uint64_t offset;
  uint64_t records;
};

Result readAll(LogBinaryReader::Mode mode, const unsigned char* data, size_t size, size_t split) {
  LogBinaryReader reader(mode);
  Result r;
  r.ok = reader.feed(data, split, r.out) && reader.feed(data + split, size - split, r.out) && reader.finish();
  r.error = reader.errorText();
  r.offset = reader.offset();
  r.records = reader.recordCount();
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<unsigned char[]> exact(new unsigned char[size]);
  std::memcpy(exact.get(), data, size);
  const size_t split = size == 0 ? 0 : data[0] % (size + 1);
  for (LogBinaryReader::Mode mode : {LogBinaryReader::TEXT, LogBinaryReader::RAW}) {
    const Result whole = readAll(mode, exact.get(), size, size);
    const Result pieces = readAll(mode, exact.get(), size, split);
    if (whole.ok != pieces.ok || whole.records != pieces.records || whole.error != pieces.error) std::abort();
    if (whole.ok != whole.error.empty() || whole.error.find('\n') != std::string::npos) std::abort();
    if (whole.offset > size || (whole.ok && whole.offset != size)) std::abort();
  }
  return 0;
}
