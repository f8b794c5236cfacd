// Checked reading of hostile bytes: every read says whether it got all it asked for, and
// size products go through checked multiplication.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

#include "bitmap/stream.h"

namespace lumenax {

// a * b into out; false (out untouched) on overflow.
inline bool checked_mul(uint64_t a, uint64_t b, uint64_t& out) {
  if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a) return false;
  out = a * b;
  return true;
}
inline bool checked_add(uint64_t a, uint64_t b, uint64_t& out) {
  if (b > std::numeric_limits<uint64_t>::max() - a) return false;
  out = a + b;
  return true;
}

// Reads from a stream; a short read zero-fills what was missing and clears ok() for good.
class ByteReader {
 public:
  explicit ByteReader(TStream& s) : s_(s) {}

  bool ok() const { return ok_; }
  TStream& stream() { return s_; }

  bool bytes(void* dst, int64_t n) {
    if (n <= 0) return true;
    int64_t got = s_.Read(dst, n);
    if (got < 0) got = 0;
    if (got < n) {
      std::memset(static_cast<uint8_t*>(dst) + got, 0, size_t(n - got));
      ok_ = false;
      return false;
    }
    return true;
  }
  uint8_t u8() {
    uint8_t b[1];
    bytes(b, 1);
    return b[0];
  }
  uint16_t u16le() {
    uint8_t b[2];
    bytes(b, 2);
    return uint16_t(b[0] | b[1] << 8);
  }
  uint16_t u16be() {
    uint8_t b[2];
    bytes(b, 2);
    return uint16_t(b[1] | b[0] << 8);
  }
  uint32_t u32le() {
    uint8_t b[4];
    bytes(b, 4);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
  }
  uint32_t u32be() {
    uint8_t b[4];
    bytes(b, 4);
    return uint32_t(b[3]) | uint32_t(b[2]) << 8 | uint32_t(b[1]) << 16 | uint32_t(b[0]) << 24;
  }
  int32_t s32le() { return int32_t(u32le()); }
  int16_t s16le() { return int16_t(u16le()); }

  // Skips n bytes forward; false when that passes the end of the stream.
  bool skip(int64_t n) {
    if (n < 0) return false;
    int64_t pos = s_.Position();
    if (n > remaining()) {
      s_.Seek(0, soEnd);
      ok_ = false;
      return false;
    }
    s_.Seek(pos + n, soBeginning);
    return true;
  }
  int64_t position() { return s_.Position(); }
  int64_t remaining() {
    int64_t r = s_.Size() - s_.Position();
    return r < 0 ? 0 : r;
  }

 private:
  TStream& s_;
  bool ok_ = true;
};

// Little-endian loads from memory.
inline uint16_t LoadU16LE(const uint8_t* p) {
  return uint16_t(p[0] | p[1] << 8);
}
inline uint32_t LoadU32LE(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint16_t LoadU16BE(const uint8_t* p) {
  return uint16_t(p[1] | p[0] << 8);
}
inline uint32_t LoadU32BE(const uint8_t* p) {
  return uint32_t(p[3]) | uint32_t(p[2]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[0]) << 24;
}

}  // namespace lumenax
