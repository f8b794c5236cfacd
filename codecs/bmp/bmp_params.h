// The BMP group of the parameter record.
#pragma once

#include <cstdint>

namespace lumenax {

// Values of BmpVersion: the kind of info header.
constexpr uint8_t kBmpVersionOther = 0;   // any size but 12, 40 and 64 (108, 124, ...)
constexpr uint8_t kBmpVersionInfo40 = 1;  // the 40-byte Windows header
constexpr uint8_t kBmpVersionCore = 2;    // the 12-byte OS/2 1.x core header
constexpr uint8_t kBmpVersionInfo64 = 3;  // the 64-byte OS/2 2.x header

// Values of BmpCompression.
constexpr uint8_t kBmpUncompressed = 0;
constexpr uint8_t kBmpRunLength = 1;  // RLE8 for 8 bits, RLE4 for 4 bits

struct BmpParams {
  // Info header kind: kBmpVersionCore, kBmpVersionInfo40, kBmpVersionInfo64 or
  // kBmpVersionOther.
  uint8_t BmpVersion = kBmpVersionInfo40;
  // kBmpUncompressed or kBmpRunLength.
  uint8_t BmpCompression = kBmpUncompressed;
  // The fourth byte of 32-bit pixels is alpha: read into an alpha mask, written from the
  // alpha channel.
  bool BmpKeepAlpha = false;

  void SetDefaults() { *this = BmpParams{}; }
  // The fields by name, for the command-line table.
  template <class V>
  static void DescribeFields(V& v) {
    v("BmpVersion", &BmpParams::BmpVersion);
    v("BmpCompression", &BmpParams::BmpCompression);
    v("BmpKeepAlpha", &BmpParams::BmpKeepAlpha);
  }
  void ResetInfo() {}
};

}  // namespace lumenax
