// The TIFF group of the parameter record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codecs/common/lzw_decoder.h"
#include "codecs/common/lzw_encoder.h"

namespace lumenax {

// Compression of the image read (the file's code in the comments).
enum TLxTiffCompression : uint8_t {
  tcNone = 0,           // 1
  tcCcittRle = 1,       // 2
  tcG3Fax1D = 2,        // 3
  tcG3Fax2D = 3,        // 3 with T4Options bit 0
  tcG4Fax = 4,          // 4
  tcLzw = 5,            // 5
  tcOldJpeg = 6,        // 6
  tcJpeg = 7,           // 7
  tcPackBits = 8,       // 32773
  tcDeflate = 9,        // 32946
  tcAdobeDeflate = 10,  // 8
  tcUnknown = 11,       // anything else
};

// Photometric interpretation of the image read.
enum TLxTiffPhotometric : uint8_t {
  tpWhiteIsZero = 0,
  tpBlackIsZero = 1,
  tpRgb = 2,
  tpPalette = 3,
  tpMask = 4,
  tpSeparated = 5,
  tpYCbCr = 6,
  tpLab = 7,  // 8 in the file
};

struct TiffParams {
  // Which directory of the chain to read (from 0).
  int32_t TiffImageIndex = 0;
  // When >= 0, read this entry of the SubIFDs tag of the chosen directory instead.
  int32_t TiffSubIndex = -1;
  // Directories in the chain found by the last read.
  int32_t TiffImageCount = 0;
  TLxTiffCompression TiffCompression = tcNone;
  TLxTiffPhotometric TiffPhotometric = tpRgb;
  // 1 contiguous samples, 2 separate planes.
  int32_t TiffPlanarConfig = 1;
  // Position of the image, in the resolution's units times the resolution factor.
  int32_t TiffXPos = 0;
  int32_t TiffYPos = 0;
  std::string TiffDocumentName;
  std::string TiffImageDescription;
  std::string TiffPageName;
  // The two values of PageNumber (0 when the tag is absent).
  int32_t TiffPageNumber = -1;
  int32_t TiffPageCount = -1;
  int32_t TiffOrientation = 1;
  int32_t TiffFillOrder = 1;
  // 1 for "II" (little-endian) files, 0 for "MM".
  int32_t TiffByteOrder = 1;
  // Turn the image upright by its orientation after loading.
  bool TiffAutoOrient = false;
  // The imaging annotations of the image read (tag 32932), as stored.
  std::vector<uint8_t> TiffAnnotations;
  // LZW decoder used for compression 5; empty: the library's default.
  TTiffLzwDecoderHook TiffLzwDecoderHook = DefaultTiffLzwDecoderHook;
  // LZW encoder used for compression 5; empty: the library's default.
  TTiffLzwEncoderHook TiffLzwEncoderHook = DefaultTiffLzwEncoderHook;

  void SetDefaults() { *this = TiffParams{}; }
  void ResetInfo() {
    TiffDocumentName.clear();
    TiffImageDescription.clear();
    TiffPageName.clear();
    TiffAnnotations.clear();
  }
  void OnSetImageIndex(int32_t v) { TiffImageIndex = v; }
  void OnSetImageCount(int32_t v) { TiffImageCount = v; }
  void OnSetOrientation(int32_t v) { TiffOrientation = v; }
  template <class V>
  static void DescribeFields(V& v) {
    v("TiffImageIndex", &TiffParams::TiffImageIndex);
    v("TiffSubIndex", &TiffParams::TiffSubIndex);
    v("TiffImageCount", &TiffParams::TiffImageCount);
    v("TiffCompression", &TiffParams::TiffCompression);
    v("TiffPhotometric", &TiffParams::TiffPhotometric);
    v("TiffPlanarConfig", &TiffParams::TiffPlanarConfig);
    v("TiffXPos", &TiffParams::TiffXPos);
    v("TiffYPos", &TiffParams::TiffYPos);
    v("TiffDocumentName", &TiffParams::TiffDocumentName);
    v("TiffImageDescription", &TiffParams::TiffImageDescription);
    v("TiffPageName", &TiffParams::TiffPageName);
    v("TiffPageNumber", &TiffParams::TiffPageNumber);
    v("TiffPageCount", &TiffParams::TiffPageCount);
    v("TiffOrientation", &TiffParams::TiffOrientation);
    v("TiffFillOrder", &TiffParams::TiffFillOrder);
    v("TiffByteOrder", &TiffParams::TiffByteOrder);
    v("TiffAutoOrient", &TiffParams::TiffAutoOrient);
  }
};

}  // namespace lumenax
