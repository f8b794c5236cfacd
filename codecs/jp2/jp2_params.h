// The JPEG 2000 group of the parameter record.
#pragma once

#include <cstdint>

namespace lumenax {

struct Jp2Params {
  // Writer: 0 gray, 1 RGB, 2 YCbCr (written as RGB); 3 and above are taken as 1.
  uint8_t Jp2ColorSpace = 1;
  // Writer: below 1 (and above 0) the fraction of the raw size to aim for; otherwise
  // lossless.
  double Jp2Rate = 1.0;
  // Writer: 0 layer-resolution-component-position, 1 resolution-layer-component-position.
  uint8_t Jp2ProgressionOrder = 0;

  void SetDefaults() { *this = Jp2Params{}; }
  void ResetInfo() {}
  template <class V>
  static void DescribeFields(V& v) {
    v("Jp2ColorSpace", &Jp2Params::Jp2ColorSpace);
    v("Jp2Rate", &Jp2Params::Jp2Rate);
    v("Jp2ProgressionOrder", &Jp2Params::Jp2ProgressionOrder);
  }
};

}  // namespace lumenax
