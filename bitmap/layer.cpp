#include "bitmap/layer.h"

#include <algorithm>

namespace lumenax {

bool FlattenLayers(const TLxLayerList& layers, int width, int height, TLxBitmap& target) {
  if (!target.Allocate(width, height, lx24RGB)) return false;
  target.Fill(255);
  TLxBitmap* canvasAlpha = target.AlphaChannel();
  canvasAlpha->Fill(0);
  if (width <= 0 || height <= 0) return true;
  std::vector<uint8_t> dst(static_cast<size_t>(width) * 3), dstA(static_cast<size_t>(width));
  for (size_t i = 0; i < layers.size(); ++i) {
    const TLxLayer& layer = *layers[i];
    if (layer.IsMask || !layer.Visible || layer.Bitmap->IsEmpty()) continue;
    const TLxLayer* mask =
        i + 1 < layers.size() && layers[i + 1]->IsMask ? layers[i + 1].get() : nullptr;
    TLxBitmap& src = *layer.Bitmap;
    const int x0 = std::max(0, layer.PosX);
    const int x1 = int(std::min<int64_t>(width, int64_t(layer.PosX) + src.Width()));
    const int y0 = std::max(0, layer.PosY);
    const int y1 = int(std::min<int64_t>(height, int64_t(layer.PosY) + src.Height()));
    for (int y = y0; y < y1; ++y) {
      const int sy = y - layer.PosY;
      std::copy_n(target.ScanLine(y), dst.size(), dst.begin());
      std::copy_n(canvasAlpha->ScanLine(y), dstA.size(), dstA.begin());
      for (int x = x0; x < x1; ++x) {
        const int sx = x - layer.PosX;
        unsigned a = layer.Opacity;
        if (src.HasAlphaChannel()) a = a * src.GetAlphaValue(sx, sy) / 255;
        if (mask) {
          const int64_t mx = int64_t(x) - mask->PosX, my = int64_t(y) - mask->PosY;
          TLxBitmap& m = *mask->Bitmap;
          if (mx >= 0 && my >= 0 && mx < m.Width() && my < m.Height())
            a = a * m.Pixels8(int(mx), int(my)) / 255;
        }
        if (a == 0) continue;
        const TRGB c = src.PixelAsRGB(sx, sy);
        const unsigned da = dstA[size_t(x)];
        const unsigned outA = a + da * (255 - a) / 255;
        uint8_t* d = &dst[size_t(x) * 3];
        const uint8_t s[3] = {c.b, c.g, c.r};
        for (int k = 0; k < 3; ++k)
          d[k] = uint8_t((s[k] * a * 255 + d[k] * da * (255 - a) + outA * 255 / 2) / (outA * 255));
        dstA[size_t(x)] = uint8_t(outA);
      }
      std::copy(dst.begin(), dst.end(), target.ScanLine(y));
      std::copy(dstA.begin(), dstA.end(), canvasAlpha->ScanLine(y));
    }
  }
  canvasAlpha->UpdateAllOpaque();
  return true;
}

}  // namespace lumenax
