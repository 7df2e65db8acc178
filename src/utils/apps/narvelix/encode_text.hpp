// Text helpers shared by the record encoders.
#pragma once

#include <cstdint>
#include <cstring>

#include "utils/base/compiler_hints.hpp"

namespace record_text {

// Text in the row store is not NUL-terminated; empty fields point here.
inline constexpr char EMPTY_TEXT[1] = {'\0'};

// Copies n bytes without a library call for the short texts that most fields
// hold: two overlapping 8- or 4-byte moves. The source may be read up to its
// last byte only.
ZUR_ALWAYS_INLINE void copyText(unsigned char* d, const void* source, uint32_t n) {
  const auto* s = static_cast<const unsigned char*>(source);
  if (n >= 8) {
    if (n > 16) {
      std::memcpy(d, s, n);
      return;
    }
    std::memcpy(d, s, 8);
    std::memcpy(d + n - 8, s + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(d, s, 4);
    std::memcpy(d + n - 4, s + n - 4, 4);
  } else {
    for (uint32_t i = 0; i < n; ++i) d[i] = s[i];
  }
}

}  // namespace record_text
