// TIOParamsVals: everything about an image file that is not pixels, carried from a reader to
// a writer. Each format's group is a plain struct declared with its codec and inherited
// here, so fields read as Params.BmpKeepAlpha; SetDefaultParams, ResetInfo and Assign cover
// every group through the group list below.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "bitmap/types.h"
#include "codecs/bmp/bmp_params.h"
#include "codecs/png/png_params.h"
#include "io/file_types.h"

namespace lumenax {

class TLumenaxIO;

// Library-wide default resolution in dots per inch.
extern int32_t DefaultDPI;

class TIOParamsVals : public BmpParams, public PngParams {
 public:
  explicit TIOParamsVals(TLumenaxIO* owner = nullptr);

  TLumenaxIO* Owner = nullptr;
  int32_t BitsPerSample = 8;
  std::filesystem::path FileName;
  int32_t SamplesPerPixel = 3;
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t DpiX = 0;
  int32_t DpiY = 0;
  lumenax::FileType FileType = ftUnknown;
  int32_t ImageIndex = 0;
  int32_t ImageCount = 0;
  bool IsNativePixelFormat = false;
  // Palette of the last image read (blue, green, red triples); ColorMapCount entries.
  std::vector<TRGB> ColorMap;
  int32_t ColorMapCount = 0;

  void SetDefaultParams();
  void ResetInfo();
  void Assign(const TIOParamsVals& source);

  void SetDpiX(int32_t dpi);
  void SetDpiY(int32_t dpi);
  // Rounded to the nearest integer, halves to even.
  void SetDpiX(double dpi);
  void SetDpiY(double dpi);
  void SetImageIndex(int32_t index);
  void SetImageCount(int32_t count);

  // Replaces the colour map with count entries (none for count <= 0).
  void SetColorMap(const TRGB* entries, int32_t count);
  void FreeColorMap();
};

}  // namespace lumenax
