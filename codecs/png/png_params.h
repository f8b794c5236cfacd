// The PNG group of the parameter record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bitmap/types.h"

namespace lumenax {

struct PngParams {
  bool PngInterlaced = false;  // Adam7
  TRGB PngBackground{};        // bKGD
  // Row filter for writing: 0 none, 1 Sub, 2 Paeth, any other value libpng's own choice.
  uint8_t PngFilter = 0;
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
