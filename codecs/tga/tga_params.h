// The Targa group of the parameter record.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "bitmap/types.h"

namespace lumenax {

// Date-times are days since 30 December 1899, the time of day as the fraction.
double TgaDateTime(int year, int month, int day, int hour, int minute, int second);
// Today at midnight, local time.
double TgaToday();

struct TgaParams {
  int32_t TgaXPos = 0;
  int32_t TgaYPos = 0;
  // Read: the pixels were run-length encoded. Write: encode them.
  bool TgaCompressed = true;
  std::string TgaImageId;
  // Extension area.
  std::string TgaAuthor;
  double TgaDate = TgaToday();
  std::string TgaJobName;
  TRGB TgaKeyColor{};
  double TgaAspectRatio = 1.0;
  double TgaGamma = 2.2;
  // Read: an 8-bit image without colour map. Write: 8-bit images as grayscale.
  bool TgaGrayLevel = false;

  void SetDefaults() { *this = TgaParams{}; }
  template <class V>
  static void DescribeFields(V& v) {
    v("TgaXPos", &TgaParams::TgaXPos);
    v("TgaYPos", &TgaParams::TgaYPos);
    v("TgaCompressed", &TgaParams::TgaCompressed);
    v("TgaImageId", &TgaParams::TgaImageId);
    v("TgaAuthor", &TgaParams::TgaAuthor);
    v("TgaDate", &TgaParams::TgaDate);
    v("TgaJobName", &TgaParams::TgaJobName);
    v("TgaKeyColor", &TgaParams::TgaKeyColor);
    v("TgaAspectRatio", &TgaParams::TgaAspectRatio);
    v("TgaGamma", &TgaParams::TgaGamma);
    v("TgaGrayLevel", &TgaParams::TgaGrayLevel);
  }
  void ResetInfo() {}
};

}  // namespace lumenax
