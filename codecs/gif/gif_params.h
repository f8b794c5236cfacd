// The GIF group of the parameter record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bitmap/types.h"
#include "codecs/gif/gif_lzw.h"

namespace lumenax {

struct GifParams {
  // The six-byte signature: read from the file, written as the first six bytes.
  std::string GifVersion = "GIF89a";
  // The frame to load (from 0), and the number of image descriptors the last load found.
  int32_t GifImageIndex = 0;
  int32_t GifImageCount = 0;
  // Position of the frame on the logical screen.
  int32_t GifLeft = 0;
  int32_t GifTop = 0;
  // Frame delay in hundredths of a second.
  int32_t GifDelay = 0;
  bool GifTransparent = false;
  TRGB GifTransparentColor{};
  bool GifInterlaced = false;
  int32_t GifScreenWidth = 0;
  int32_t GifScreenHeight = 0;
  TRGB GifBackgroundColor{};
  // The pixel aspect byte of the logical screen descriptor.
  int32_t GifAspectRatio = 0;
  // One entry per non-empty comment sub-block.
  std::vector<std::string> GifComments;
  // Disposal method 0..7 of the graphic control extension.
  uint8_t GifDisposal = 2;
  // The LZW coders this record's loads and saves use; the reset installs the library's.
  TGifDecoderHook GifDecoderHook = DefaultGifDecoderHook;
  TGifEncoderHook GifEncoderHook = DefaultGifEncoderHook;

  void SetDefaults() { *this = GifParams{}; }
  void ResetInfo() { GifComments.clear(); }
  void OnSetImageIndex(int32_t v) { GifImageIndex = v; }
  void OnSetImageCount(int32_t v) { GifImageCount = v; }
  // The fields by name, for the command-line table (comments and hooks are not scalars).
  template <class V>
  static void DescribeFields(V& v) {
    v("GifVersion", &GifParams::GifVersion);
    v("GifImageIndex", &GifParams::GifImageIndex);
    v("GifImageCount", &GifParams::GifImageCount);
    v("GifLeft", &GifParams::GifLeft);
    v("GifTop", &GifParams::GifTop);
    v("GifDelay", &GifParams::GifDelay);
    v("GifTransparent", &GifParams::GifTransparent);
    v("GifTransparentColor", &GifParams::GifTransparentColor);
    v("GifInterlaced", &GifParams::GifInterlaced);
    v("GifScreenWidth", &GifParams::GifScreenWidth);
    v("GifScreenHeight", &GifParams::GifScreenHeight);
    v("GifBackgroundColor", &GifParams::GifBackgroundColor);
    v("GifAspectRatio", &GifParams::GifAspectRatio);
    v("GifDisposal", &GifParams::GifDisposal);
  }
};

}  // namespace lumenax
