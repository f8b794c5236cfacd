// The PCX and DCX group of the parameter record.
#pragma once

#include <cstdint>

namespace lumenax {

struct PcxParams {
  // Version byte read and written.
  int32_t PcxVersion = 5;
  // Writer: nonzero writes run-length encoded lines.
  uint8_t PcxCompression = 1;
  // DCX page to read, or where the writer inserts its page.
  int32_t DcxImageIndex = 0;

  void SetDefaults() { *this = PcxParams{}; }
  template <class V>
  static void DescribeFields(V& v) {
    v("PcxVersion", &PcxParams::PcxVersion);
    v("PcxCompression", &PcxParams::PcxCompression);
    v("DcxImageIndex", &PcxParams::DcxImageIndex);
  }
  void ResetInfo() {}
  void OnSetImageIndex(int32_t index) { DcxImageIndex = index; }
};

}  // namespace lumenax
