// The PNG group of the parameter record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bitmap/types.h"

namespace lumenax {

// Values of PngFilter; any other value leaves the choice of row filters to libpng.
constexpr uint8_t kPngFilterNone = 0;
constexpr uint8_t kPngFilterSub = 1;
constexpr uint8_t kPngFilterPaeth = 2;

struct PngParams {
  bool PngInterlaced = false;  // Adam7
  TRGB PngBackground{};        // bKGD
  // Row filter for writing: kPngFilterNone, kPngFilterSub, kPngFilterPaeth, or any other value
  // for libpng's own choice.
  uint8_t PngFilter = kPngFilterNone;
  int32_t PngCompression = 5;  // deflate level
  std::vector<std::string> PngTextKeys;
  std::vector<std::string> PngTextValues;

  void SetDefaults() { *this = PngParams{}; }
  // The fields by name, for the command-line table.
  template <class V>
  static void DescribeFields(V& v) {
    v("PngInterlaced", &PngParams::PngInterlaced);
    v("PngBackground", &PngParams::PngBackground);
    v("PngFilter", &PngParams::PngFilter);
    v("PngCompression", &PngParams::PngCompression);
  }
  void ResetInfo() {
    PngTextKeys.clear();
    PngTextValues.clear();
  }
};

}  // namespace lumenax
