// The size check every decoder runs once, before it allocates: the image must have a
// representable row length and byte count, and beyond a size that is allocated freely (a
// truncated download of a moderate image still shows what it has), the stream must hold at
// least the bytes the pixels need at the format's best compression.
#pragma once

#include <cstdint>

#include "bitmap/bitmap.h"
#include "bitmap/byte_reader.h"
#include "bitmap/progress.h"

namespace lumenax {

// Bitmaps up to this size are allocated whatever the stream holds.
constexpr uint64_t kFreeImageBytes = uint64_t(64) << 20;
// No decoder allocates a bitmap larger than this.
constexpr uint64_t kMaxImageBytes = uint64_t(16) << 30;

// TLxFailure::None when a width x height image of layout pf may be allocated for a stream
// that has `available` bytes left and needs at least `leastBytes` for all its pixels;
// TooLarge otherwise.
inline TLxFailure CheckImageSize(int64_t width, int64_t height, PixelFormat pf, uint64_t leastBytes,
                                 int64_t available) {
  if (width <= 0 || height <= 0 || width > INT32_MAX || height > INT32_MAX)
    return TLxFailure::TooLarge;
  int64_t rowLen = ComputeRowLen(width, BitCountOf(pf), 32);
  uint64_t bytes = 0;
  if (rowLen <= 0 || !checked_mul(uint64_t(rowLen), uint64_t(height), bytes) ||
      bytes > kMaxImageBytes)
    return TLxFailure::TooLarge;
  if (bytes > kFreeImageBytes && uint64_t(available < 0 ? 0 : available) < leastBytes)
    return TLxFailure::TooLarge;
  return TLxFailure::None;
}

}  // namespace lumenax
