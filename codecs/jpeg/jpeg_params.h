// The JPEG group of the parameter record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "bitmap/metadata.h"

namespace lumenax {

// Colour space of a JPEG file: read, what was found; write, what to produce.
enum TLxJpegColorSpace : uint8_t {
  jcRGB = 0,
  jcGrayScale = 1,
  jcYCbCr = 2,
  jcCMYK = 3,
  jcYCbCrK = 4,
};

struct JpegParams {
  TLxJpegColorSpace JpegColorSpace = jcYCbCr;
  // Writer quality 1..100 (libjpeg clamps other values).
  int32_t JpegQuality = 80;
  // 0 accurate integer, 1 fast integer, 2 floating point; other values: libjpeg's default.
  uint8_t JpegDctMethod = 1;
  bool JpegOptimizeCoding = false;
  // Writer smoothing factor 0..100.
  int32_t JpegSmoothing = 0;
  // Read: the file is progressive. Write: produce a progressive file.
  bool JpegProgressive = false;
  // Reader scaling: 0 automatic (to the wished Width and Height), 1 full size, 2 one half,
  // 3 one quarter, 4 one eighth.
  uint8_t JpegScale = 1;
  // Comment and APPn markers of the file (the first APP0 excepted), written back on save.
  TLxMarkerList JpegMarkers;
  // Reader: the scale denominator used (1, 2, 4 or 8).
  int32_t JpegScaleUsed = 1;
  // Reader: libjpeg warnings of the last load and the code of the last one.
  int32_t JpegWarningCount = 0;
  int32_t JpegLastWarningCode = 0;
  // Reader: size before scaling.
  int32_t JpegFullWidth = 0;
  int32_t JpegFullHeight = 0;
  // Reader: turn the image upright by its EXIF orientation.
  bool JpegAutoOrient = false;
  // Reader: deliver the EXIF thumbnail instead of the main image when there is one.
  bool JpegLoadExifThumbnail = false;

  void SetDefaults() { *this = JpegParams{}; }
  void ResetInfo() {}
  void OnSetLoadExifThumbnail(bool v) { JpegLoadExifThumbnail = v; }
  // The fields by name, for the command-line table.
  template <class V>
  static void DescribeFields(V& v) {
    v("JpegColorSpace", &JpegParams::JpegColorSpace);
    v("JpegQuality", &JpegParams::JpegQuality);
    v("JpegDctMethod", &JpegParams::JpegDctMethod);
    v("JpegOptimizeCoding", &JpegParams::JpegOptimizeCoding);
    v("JpegSmoothing", &JpegParams::JpegSmoothing);
    v("JpegProgressive", &JpegParams::JpegProgressive);
    v("JpegScale", &JpegParams::JpegScale);
    v("JpegMarkers", &JpegParams::JpegMarkers);
    v("JpegScaleUsed", &JpegParams::JpegScaleUsed);
    v("JpegWarningCount", &JpegParams::JpegWarningCount);
    v("JpegLastWarningCode", &JpegParams::JpegLastWarningCode);
    v("JpegFullWidth", &JpegParams::JpegFullWidth);
    v("JpegFullHeight", &JpegParams::JpegFullHeight);
    v("JpegAutoOrient", &JpegParams::JpegAutoOrient);
    v("JpegLoadExifThumbnail", &JpegParams::JpegLoadExifThumbnail);
  }
};

// The marker list in the field table, found there by argument-dependent lookup: one
// "CODE:LENGTH" pair per marker in hexadecimal, separated by spaces ("E1:1A2C FE:0010"). The
// list cannot be set from text.
std::string Format(const TLxMarkerList& markers);
inline bool Parse(std::string_view, TLxMarkerList&) {
  return false;
}

}  // namespace lumenax
