// Lists the variables of arbitrary bytes taken as a shared-variable segment.
// The input sits in an exact-size heap buffer, so any read past the segment is
// caught by AddressSanitizer. Checks: the lister either lists or gives a
// one-line reason, and a listing is the same when repeated.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "utils/shared_vars/segment_listing.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // 8-aligned copy, as a mapping would be.
  std::unique_ptr<uint64_t[]> words(new uint64_t[size / 8 + 1]);
  std::memcpy(words.get(), data, size);
  const unsigned char* segment = reinterpret_cast<const unsigned char*>(words.get());
  std::unique_ptr<unsigned char[]> exact(new unsigned char[size]);
  std::memcpy(exact.get(), data, size);
  std::string out, error, again, againError;
  const bool ok = listSegmentVariables(exact.get(), size, out, error);
  if (!ok && (error.empty() || error.find('\n') != std::string::npos)) std::abort();
  const bool okAgain = listSegmentVariables(segment, size, again, againError);
  if (ok != okAgain || out != again) std::abort();
  return 0;
}
