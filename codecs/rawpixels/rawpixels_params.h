// The headerless-pixels group of the parameter record: how the bytes of a stream lay out
// the pixels of a bitmap the caller has allocated.
#pragma once

#include <cstdint>

namespace lumenax {

struct RawPixelsParams {
  // Bytes skipped from the stream's position before the pixel data.
  int32_t RawPixelsHeaderSize = 0;
  // Alignment in bits of each stored row (or plane row); a positive multiple of 8.
  int32_t RawPixelsRowAlign = 8;
  // Colour samples stored as separate planes.
  bool RawPixelsPlanar = false;
  // Colour samples stored in the bitmap's own channel order (blue first); otherwise red
  // first.
  bool RawPixelsBitmapOrder = false;

  void SetDefaults() { *this = RawPixelsParams{}; }
  void ResetInfo() {}
  template <class V>
  static void DescribeFields(V& v) {
    v("RawPixelsHeaderSize", &RawPixelsParams::RawPixelsHeaderSize);
    v("RawPixelsRowAlign", &RawPixelsParams::RawPixelsRowAlign);
    v("RawPixelsPlanar", &RawPixelsParams::RawPixelsPlanar);
    v("RawPixelsBitmapOrder", &RawPixelsParams::RawPixelsBitmapOrder);
  }
};

}  // namespace lumenax
