#include "io/params.h"

#include <algorithm>
#include <cmath>

#include "bitmap/tbitmap.h"
#include "codecs/tiff/exif.h"
#include "io/lumenax_io.h"

namespace lumenax {

int32_t DefaultDPI = 300;

TIOParamsVals::TIOParamsVals(TLumenaxIO* owner) : Owner(owner) {
  SetDefaultParams();
}

void TIOParamsVals::SetDefaultParams() {
  FreeColorMap();
  FileName.clear();
  FileType = ftUnknown;
  BitsPerSample = 8;
  SamplesPerPixel = 3;
  IsNativePixelFormat = false;
  if (Owner) {
    if (TBitmap* platform = Owner->GetPlatformBitmap()) {
      Width = platform->Width();
      Height = platform->Height();
    }
    SetDpiX(DefaultDPI);
    SetDpiY(DefaultDPI);
  }
  ImageIndex = 0;
  ImageCount = 0;
  DefaultGroups();
  SetImageIndex(0);
  SetImageCount(0);
  SetOrientation(1);
  SetLoadExifThumbnail(false);
}

void TIOParamsVals::ResetInfo() {
  ResetGroupsInfo();
  for (int i = 0; i < JpegMarkers.Count(); ++i) {
    if (JpegMarkers.MarkerCode(i) == 0xE1 &&
        IsExifBlock(JpegMarkers.MarkerData(i), size_t(JpegMarkers.MarkerLength(i)))) {
      JpegMarkers.DeleteMarker(i);
      break;
    }
  }
}

void TIOParamsVals::Assign(const TIOParamsVals& source) {
  if (&source == this) return;
  BitsPerSample = source.BitsPerSample;
  FileName = source.FileName;
  SamplesPerPixel = source.SamplesPerPixel;
  Width = source.Width;
  Height = source.Height;
  FileType = source.FileType;
  AssignGroups(source);
  // Exact copies: the groups above keep their own image indexes and counts as in source.
  ImageIndex = source.ImageIndex;
  ImageCount = source.ImageCount;
  LoadExifThumbnail = source.LoadExifThumbnail;
  StoreDpiX(source.DpiX, source.ExifXResolution);
  StoreDpiY(source.DpiY, source.ExifYResolution);
  SetColorMap(source.ColorMap.data(),
              std::min<int32_t>(source.ColorMapCount, int32_t(source.ColorMap.size())));
}

void TIOParamsVals::StoreDpiX(int32_t dpi, double precise) {
  DpiX = dpi;
  ExifXResolution = precise;
  if (Owner && Owner->AttachedLumenax()) Owner->PassResolutionToViewer(true, dpi);
}

void TIOParamsVals::StoreDpiY(int32_t dpi, double precise) {
  DpiY = dpi;
  ExifYResolution = precise;
  if (Owner && Owner->AttachedLumenax()) Owner->PassResolutionToViewer(false, dpi);
}

void TIOParamsVals::SetDpiX(int32_t dpi) {
  StoreDpiX(dpi, dpi);
}
void TIOParamsVals::SetDpiY(int32_t dpi) {
  StoreDpiY(dpi, dpi);
}

namespace {

// Nearest integer, halves to even; values beyond the 32-bit range are clamped.
int32_t RoundDpi(double dpi) {
  if (!(dpi == dpi)) return 0;
  double r = std::nearbyint(dpi);
  if (r > 2147483647.0) return 2147483647;
  if (r < -2147483648.0) return -2147483647 - 1;
  return int32_t(r);
}

}  // namespace

void TIOParamsVals::SetDpiX(double dpi) {
  StoreDpiX(RoundDpi(dpi), dpi);
}
void TIOParamsVals::SetDpiY(double dpi) {
  StoreDpiY(RoundDpi(dpi), dpi);
}

void TIOParamsVals::SetImageIndex(int32_t index) {
  ImageIndex = index;
  ImageIndexToGroups(index);
}

void TIOParamsVals::SetImageCount(int32_t count) {
  ImageCount = count;
  ImageCountToGroups(count);
}

void TIOParamsVals::SetOrientation(int32_t orientation) {
  OrientationToGroups(orientation);
}

void TIOParamsVals::SetLoadExifThumbnail(bool value) {
  LoadExifThumbnail = value;
  LoadExifThumbnailToGroups(value);
}

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
