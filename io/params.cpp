#include "io/params.h"

#include <cmath>

namespace lumenax {

int32_t DefaultDPI = 300;

TIOParamsVals::TIOParamsVals(TLumenaxIO* owner) : Owner(owner) { SetDefaultParams(); }

void TIOParamsVals::SetDefaultParams() {
  FreeColorMap();
  FileName.clear();
  FileType = ftUnknown;
  BitsPerSample = 8;
  SamplesPerPixel = 3;
  IsNativePixelFormat = false;
  if (Owner) {
    SetDpiX(DefaultDPI);
    SetDpiY(DefaultDPI);
  }
  ImageIndex = 0;
  ImageCount = 0;
  SetImageIndex(0);
  BmpParams::SetDefaults();
  PngParams::SetDefaults();
}

void TIOParamsVals::ResetInfo() {
  BmpParams::ResetInfo();
  PngParams::ResetInfo();
}

void TIOParamsVals::Assign(const TIOParamsVals& source) {
  if (&source == this) return;
  BitsPerSample = source.BitsPerSample;
  FileName = source.FileName;
  SamplesPerPixel = source.SamplesPerPixel;
  Width = source.Width;
  Height = source.Height;
  SetDpiX(source.DpiX);
  SetDpiY(source.DpiY);
  FileType = source.FileType;
  SetImageIndex(source.ImageIndex);
  ImageCount = source.ImageCount;
  ColorMap = source.ColorMap;
  ColorMapCount = source.ColorMapCount;
  static_cast<BmpParams&>(*this) = source;
  static_cast<PngParams&>(*this) = source;
}

void TIOParamsVals::SetDpiX(int32_t dpi) { DpiX = dpi; }
void TIOParamsVals::SetDpiY(int32_t dpi) { DpiY = dpi; }
void TIOParamsVals::SetDpiX(double dpi) { SetDpiX(int32_t(std::nearbyint(dpi))); }
void TIOParamsVals::SetDpiY(double dpi) { SetDpiY(int32_t(std::nearbyint(dpi))); }
void TIOParamsVals::SetImageIndex(int32_t index) { ImageIndex = index; }
void TIOParamsVals::SetImageCount(int32_t count) { ImageCount = count; }

void TIOParamsVals::SetColorMap(const TRGB* entries, int32_t count) {
  if (count <= 0 || !entries) {
    FreeColorMap();
    return;
  }
  ColorMap.assign(entries, entries + count);
  ColorMapCount = count;
}

void TIOParamsVals::FreeColorMap() {
  ColorMap.clear();
  ColorMapCount = 0;
}

}  // namespace lumenax
