// Line ends of a byte buffer, found 64 bytes at a time: one pass of 16-byte
// compares builds the line-feed mask of a block, and each line then costs a
// bit scan instead of a memchr call (which dominates for short lines). The
// last bytes of the buffer (less than a block) are searched with memchr. The
// mask comes from byte_masks.hpp (vector compares or its byte loop).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "utils/base/byte_masks.hpp"
#include "utils/base/compiler_hints.hpp"

class LineFeedScanner {
 public:
  // Forgets what was scanned; the next search starts at offset `from`. Call
  // it whenever the buffer's bytes move.
  void reset(std::size_t from) {
    scanned_ = from;
    pending_ = 0;
  }

  // Offset of the first '\n' in base[from, end), or end when there is none.
  // Successive calls must not go back (from at least the previous result + 1)
  // and must not change bytes at or after the previous result's end.
  ZUR_ALWAYS_INLINE std::size_t next(const unsigned char* base, std::size_t from, std::size_t end) {
    for (;;) {
      while (pending_ != 0) {
        const std::size_t at = blockStart_ + ZUR_lowestSetBit(pending_);
        pending_ &= pending_ - 1u;
        if (at >= from && at < end) return at;
      }
      if (scanned_ < from) scanned_ = from;
      if (scanned_ >= end) return end;
      if (end - scanned_ >= BLOCK) {
        pending_ = lineFeeds(base + scanned_);
        blockStart_ = scanned_;
        scanned_ += BLOCK;
        continue;
      }
      const void* lf = std::memchr(base + scanned_, '\n', end - scanned_);
      // Not found: the tail is searched again once more bytes arrive.
      if (lf == nullptr) return end;
      const auto at = static_cast<std::size_t>(static_cast<const unsigned char*>(lf) - base);
      scanned_ = at + 1;
      return at;
    }
  }

 private:
  static constexpr std::size_t BLOCK = 64;

  static ZUR_ALWAYS_INLINE uint64_t lineFeeds(const unsigned char* p) {
    const byte_masks::ByteTest tests[1] = {byte_masks::equal('\n')};
    uint64_t mask[1];
    byte_masks::Native::build<BLOCK>(p, tests, mask);
    return mask[0];
  }

  std::size_t scanned_ = 0;     // bytes before this offset are in pending_ or done
  std::size_t blockStart_ = 0;  // offset of bit 0 of pending_
  uint64_t pending_ = 0;        // line feeds of the last block not yet returned
};
