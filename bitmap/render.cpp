#include "bitmap/render.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "bitmap/bitmap.h"

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

}  // namespace lumenax
