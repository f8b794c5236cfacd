// What a content test sees: the stream from the position P where detection started, read
// only through checked reads. Every test starts again from P; a read that comes up short
// makes the test fail.
#pragma once

#include <cstdint>
#include <cstring>

#include "bitmap/byte_reader.h"
#include "bitmap/stream.h"

namespace lumenax {

class TLxProbe {
 public:
  TLxProbe(TStream& stream, int64_t start, int64_t size)
      : stream_(stream), start_(start), size_(size) {}

  // Bytes available from P.
  int64_t Avail() const { return size_ - start_; }
  // Size of the whole stream.
  int64_t Size() const { return size_; }
  int64_t Start() const { return start_; }
  TStream& Stream() { return stream_; }

  // Reads exactly n bytes at P + offset; false when they are not all there.
  bool ReadAt(int64_t offset, void* buffer, int64_t n) {
    return ReadAbs(start_ + offset, buffer, n);
  }
  // Reads exactly n bytes at an absolute position of the stream.
  bool ReadAbs(int64_t position, void* buffer, int64_t n) {
    if (position < 0 || n < 0 || position > size_ || n > size_ - position) return false;
    if (stream_.Seek(position, soBeginning) != position) return false;
    return stream_.Read(buffer, n) == n;
  }
  // Reads up to n bytes at P + offset and returns how many it got.
  int64_t ReadSome(int64_t offset, void* buffer, int64_t n) {
    if (stream_.Seek(start_ + offset, soBeginning) != start_ + offset) return 0;
    int64_t got = 0;
    while (got < n) {
      int64_t r = stream_.Read(static_cast<uint8_t*>(buffer) + got, n - got);
      if (r <= 0) break;
      got += r;
    }
    return got;
  }
  // More than need bytes are available and the data at P start with magic.
  bool HeadIs(int64_t need, const void* magic, size_t length) {
    uint8_t buf[32];
    if (Avail() <= need || length > sizeof buf) return false;
    if (!ReadAt(0, buf, int64_t(length))) return false;
    return std::memcmp(buf, magic, length) == 0;
  }

 private:
  TStream& stream_;
  int64_t start_;
  int64_t size_;
};

// A content test: true when the data at P are of the format.
using TLxContentTest = bool (*)(TLxProbe& probe);

// The 12-byte header some formats carry in streams: five bytes of tag ("JFIF\0", "PCX2\0",
// "TIFF\0") and the rest of the header; more than 12 bytes must be available.
inline bool StreamHeaderIs(TLxProbe& probe, const char (&tag)[5]) {
  uint8_t h[12];
  return probe.Avail() > 12 && probe.ReadAt(0, h, 12) && std::memcmp(h, tag, 5) == 0;
}

}  // namespace lumenax
