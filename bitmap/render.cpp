#include "bitmap/render.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "bitmap/bitmap.h"
#include "bitmap/tbitmap.h"

namespace lumenax {

bool ClipToTarget(int x, int y, int width, int height, int targetWidth, int targetHeight,
                  TLxClippedRect& out) {
  if (width <= 0 || height <= 0 || targetWidth <= 0 || targetHeight <= 0) return false;
  // 64-bit: positions and sizes may be anywhere in the int range.
  const int64_t x1 = std::max<int64_t>(x, 0), y1 = std::max<int64_t>(y, 0);
  const int64_t x2 = std::min<int64_t>(int64_t(x) + width, targetWidth);
  const int64_t y2 = std::min<int64_t>(int64_t(y) + height, targetHeight);
  if (x1 >= x2 || y1 >= y2) return false;
  out.TargetX = int(x1);
  out.TargetY = int(y1);
  out.SourceX = int(x1 - x);
  out.SourceY = int(y1 - y);
  out.Width = int(x2 - x1);
  out.Height = int(y2 - y1);
  return true;
}

void RenderToBitmap(TLxBitmap& source, TLxBitmap& target, int x, int y) {
  if (source.PixelFormat() != lx24RGB || target.PixelFormat() != lx24RGB) return;
  TLxClippedRect r;
  if (!ClipToTarget(x, y, source.Width(), source.Height(), target.Width(), target.Height(), r))
    return;
  TLxBitmap* alpha = source.HasAlphaChannel() ? source.AlphaChannel() : nullptr;
  if (alpha && alpha->AllOpaque) alpha = nullptr;
  for (int row = 0; row < r.Height; ++row) {
    // Rows of a paged bitmap stay mapped only until the next ScanLine of the same bitmap.
    const uint8_t* src = source.LockRow(r.SourceY + row) + 3 * r.SourceX;
    uint8_t* dst = target.ScanLine(r.TargetY + row) + 3 * r.TargetX;
    if (!alpha) {
      std::memcpy(dst, src, size_t(r.Width) * 3);
    } else {
      const uint8_t* a = alpha->ScanLine(r.SourceY + row) + r.SourceX;
      for (int i = 0; i < r.Width; ++i) {
        if (a[i] != 0) std::memcpy(dst + 3 * i, src + 3 * i, 3);
      }
    }
    source.UnlockRow(r.SourceY + row);
  }
}

namespace {

// Stretches from onto to through a pixel writer: put(targetX, targetY, colour, alpha).
template <class Put>
void Stretch(TLxBitmap& source, int targetWidth, int targetHeight, const TLxRect& to,
             TLxRect from, Put put) {
  // The source rectangle is cut to the source; the target keeps its size.
  if (from.X < 0 || from.Y < 0 || from.Width <= 0 || from.Height <= 0 ||
      int64_t(from.X) + from.Width > source.Width() ||
      int64_t(from.Y) + from.Height > source.Height())
    return;
  TLxClippedRect r;
  if (!ClipToTarget(to.X, to.Y, to.Width, to.Height, targetWidth, targetHeight, r)) return;
  TLxBitmap* alpha = source.HasAlphaChannel() ? source.AlphaChannel() : nullptr;
  if (alpha && alpha->AllOpaque) alpha = nullptr;
  for (int row = 0; row < r.Height; ++row) {
    const int sy = from.Y + int(int64_t(r.SourceY + row) * from.Height / to.Height);
    for (int col = 0; col < r.Width; ++col) {
      const int sx = from.X + int(int64_t(r.SourceX + col) * from.Width / to.Width);
      const uint8_t a = alpha ? alpha->Pixels8(sx, sy) : 255;
      if (a == 0) continue;
      put(r.TargetX + col, r.TargetY + row, source.PixelAsRGB(sx, sy), a);
    }
  }
}

// The source over the target pixel (blue, green, red bytes) with alpha a.
void Over(uint8_t* p, TRGB c, uint8_t a) {
  if (a == 255) {
    p[0] = c.b, p[1] = c.g, p[2] = c.r;
    return;
  }
  p[0] = uint8_t((c.b * a + p[0] * (255 - a) + 127) / 255);
  p[1] = uint8_t((c.g * a + p[1] * (255 - a) + 127) / 255);
  p[2] = uint8_t((c.r * a + p[2] * (255 - a) + 127) / 255);
}

}  // namespace

void RenderToBitmap(TLxBitmap& source, TLxBitmap& target, const TLxRect& to, const TLxRect& from) {
  if (target.PixelFormat() != lx24RGB || source.PixelFormat() == lxNone) return;
  Stretch(source, target.Width(), target.Height(), to, from,
          [&target](int x, int y, TRGB c, uint8_t a) { Over(target.ScanLine(y) + 3 * x, c, a); });
}

void RenderToTBitmap(TLxBitmap& source, TBitmap& target, const TLxRect& to, const TLxRect& from) {
  const int bytes = target.BitsPerPixel() == 24 ? 3 : target.PixelFormat() == pf32bit ? 4 : 0;
  if (bytes == 0 || source.PixelFormat() == lxNone) return;
  Stretch(source, target.Width(), target.Height(), to, from,
          [&target, bytes](int x, int y, TRGB c, uint8_t a) {
            Over(target.ScanLine(y) + bytes * x, c, a);
          });
}

}  // namespace lumenax
