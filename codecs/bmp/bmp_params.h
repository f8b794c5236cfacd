// The BMP group of the parameter record.
#pragma once

#include <cstdint>

namespace lumenax {

struct BmpParams {
  // Info header kind: 2 core (12 bytes), 1 for 40 bytes, 3 for 64 bytes, 0 any other size.
  uint8_t BmpVersion = 1;
  // 0 uncompressed, 1 run-length encoded.
  uint8_t BmpCompression = 0;
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
