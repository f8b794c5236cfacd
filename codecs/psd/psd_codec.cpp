// Photoshop: registry row, content test, and the reader and writer as the I/O component calls
// them.
#include <algorithm>
#include <cstring>

#include "codecs/codec.h"
#include "codecs/psd/psd.h"
#include "io/params.h"

namespace lumenax {

namespace {

// "8BPS", version 1, then plausible channels (1..24), depth (1..16) and colour mode (< 10).
bool PsdContentTest(TLxProbe& probe) {
  uint8_t h[26];
  if (!probe.ReadAt(0, h, 26)) return false;
  if (std::memcmp(h, "8BPS", 4) != 0 || LoadU16BE(h + 4) != 1) return false;
  uint16_t channels = LoadU16BE(h + 12);
  uint16_t depth = LoadU16BE(h + 22);
  uint16_t mode = LoadU16BE(h + 24);
  return channels >= 1 && channels <= 24 && depth >= 1 && depth <= 16 && mode < 10;
}

// A file with a single layer keeps that layer's transparency: its alpha channel becomes the
// image's, placed at the layer's position and cut to the image; the rest is transparent.
void TakeSingleLayerAlpha(TLxBitmap& bitmap, TLxLayer& layer) {
  if (bitmap.IsEmpty() || bitmap.PixelFormat() == lx1g) return;
  TLxBitmap& src = *layer.Bitmap;
  TLxBitmap* srcAlpha = src.AlphaChannel();
  TLxBitmap* alpha = bitmap.AlphaChannel();
  alpha->Fill(0);
  const int x0 = std::max(0, layer.PosX);
  const int x1 = int(std::min<int64_t>(bitmap.Width(), int64_t(layer.PosX) + src.Width()));
  const int y0 = std::max(0, layer.PosY);
  const int y1 = int(std::min<int64_t>(bitmap.Height(), int64_t(layer.PosY) + src.Height()));
  for (int y = y0; y < y1; ++y) {
    const uint8_t* from = srcAlpha->ScanLine(y - layer.PosY) + (x0 - layer.PosX);
    if (x1 > x0) std::memcpy(alpha->ScanLine(y) + x0, from, size_t(x1 - x0));
  }
  alpha->UpdateAllOpaque();
}

void ReadPsd(TLxReadArgs& a) {
  TLxLayerList own;
  TLxLayerList& layers = a.Layers ? *a.Layers : own;
  const bool loadLayers = a.Layers && a.LoadLayers;
  ReadPsdStream(a.Stream, a.Bitmap, a.Params, &layers, loadLayers, a.Progress, a.InfoOnly);
  if (a.InfoOnly) {
    layers.clear();
    return;
  }
  if (loadLayers && !layers.empty()) return;  // they go to the viewer
  const auto images =
      std::count_if(layers.begin(), layers.end(), [](const auto& l) { return !l->IsMask; });
  if (images == 1 && !a.Params.LoadExifThumbnail) {
    auto it = std::find_if(layers.begin(), layers.end(), [](const auto& l) { return !l->IsMask; });
    TakeSingleLayerAlpha(a.Bitmap, **it);
  }
  layers.clear();
}

void WritePsd(TLxWriteArgs& a) {
  WritePsdStream(a.Stream, a.Params, a.Progress, a.Layers, &a.Bitmap);
}

}  // namespace

extern const TLxCodecDescriptor kPsdCodec{
    .Type = ftPsd,
    .Description = "Photoshop PSD",
    .Extensions = "PSD",
    .Readable = true,
    .Writable = true,
    .SaveExtensions = ".psd",
    .ContentTest = PsdContentTest,
    .Read = ReadPsd,
    .Write = WritePsd,
    // Layers go to and come from an attached viewer.
    .Policy = {.LayersWithViewer = true},
};

}  // namespace lumenax
