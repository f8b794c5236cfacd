// Mirroring and quarter turns for every layout, and AutoOrient on top of them. The alpha
// channel always follows the colour image.
#include <algorithm>
#include <cstring>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/conversion.h"
#include "bitmap/utilities.h"

namespace lumenax {
namespace {

inline bool GetBit(const uint8_t* row, int x) {
  return (row[x >> 3] >> (7 - (x & 7))) & 1;
}
inline void SetBit(uint8_t* row, int x, bool v) {
  uint8_t m = uint8_t(0x80 >> (x & 7));
  if (v)
    row[x >> 3] |= m;
  else
    row[x >> 3] &= uint8_t(~m);
}

// Bytes per pixel; 0 for lx1g.
int PixelBytes(const TLxBitmap& b) {
  return b.PixelFormat() == lx1g ? 0 : b.BitCount() / 8;
}

bool Usable(const TLxBitmap& b) {
  return !b.IsEmpty() && b.PixelFormat() != lxNone;
}

void MirrorLeftRightImage(TLxBitmap& b) {
  if (!Usable(b)) return;
  const int w = b.Width(), bpp = PixelBytes(b);
  std::vector<uint8_t> tmp(size_t(b.RowLen()));
  for (int y = 0; y < b.Height(); ++y) {
    uint8_t* row = b.ScanLine(y);
    if (bpp == 0) {
      // Bits reversed within the width; the unused low bits of the last byte stay clear.
      std::memcpy(tmp.data(), row, tmp.size());
      std::memset(row, 0, size_t((w + 7) / 8));
      for (int x = 0; x < w; ++x) SetBit(row, w - 1 - x, GetBit(tmp.data(), x));
    } else {
      for (int l = 0, r = w - 1; l < r; ++l, --r)
        std::swap_ranges(row + size_t(l) * bpp, row + size_t(l + 1) * bpp, row + size_t(r) * bpp);
    }
  }
}

void MirrorTopBottomImage(TLxBitmap& b) {
  if (!Usable(b)) return;
  const size_t len = size_t(b.RowLen());
  std::vector<uint8_t> top(len), bottom(len);
  // One row is mapped at a time, so this works in the paging file too.
  for (int y = 0, z = b.Height() - 1; y < z; ++y, --z) {
    std::memcpy(top.data(), b.ScanLine(y), len);
    uint8_t* pz = b.ScanLine(z);
    std::memcpy(bottom.data(), pz, len);
    std::memcpy(pz, top.data(), len);
    std::memcpy(b.ScanLine(y), bottom.data(), len);
  }
}

// A new bitmap holding b turned a quarter; null when it cannot be allocated.
std::unique_ptr<TLxBitmap> Turned(TLxBitmap& b, int angle) {
  const int w = b.Width(), h = b.Height(), bpp = PixelBytes(b);
  auto out = std::make_unique<TLxBitmap>();
  out->FileThreshold = b.FileThreshold;
  out->SetLocation(b.Location());
  out->IsAlphaChannel = b.IsAlphaChannel;
  if (!out->Allocate(h, w, b.PixelFormat())) return nullptr;
  for (int i = 0; i < b.PaletteCount(); ++i) out->SetPaletteEntry(i, b.GetPaletteEntry(i));
  out->BlackWhiteMethod = b.BlackWhiteMethod;
  out->QuantizeColors = b.QuantizeColors;

  // The turned rows are filled in bands held in memory; each band needs one pass over the
  // source rows, which keeps paged images paged.
  const size_t outLen = size_t(out->RowLen());
  const int band = int(std::clamp<int64_t>(int64_t(64) * 1024 * 1024 / int64_t(outLen), 1, w));
  std::vector<uint8_t> buf;
  for (int first = 0; first < w; first += band) {
    const int rows = std::min(band, w - first);
    buf.assign(outLen * size_t(rows), 0);
    for (int y = 0; y < h; ++y) {
      const uint8_t* src = b.ScanLine(y);
      for (int i = 0; i < rows; ++i) {
        const int yd = first + i;
        // +90: (x, y) -> (y, w - 1 - x), so output row yd, column y holds source x = w - 1 - yd.
        // -90: (x, y) -> (h - 1 - y, x), so output row yd, column h - 1 - y holds source x = yd.
        const int xs = angle > 0 ? w - 1 - yd : yd;
        const int xd = angle > 0 ? y : h - 1 - y;
        uint8_t* dst = &buf[outLen * size_t(i)];
        if (bpp == 0)
          SetBit(dst, xd, GetBit(src, xs));
        else
          std::memcpy(dst + size_t(xd) * bpp, src + size_t(xs) * bpp, size_t(bpp));
      }
    }
    for (int i = 0; i < rows; ++i)
      std::memcpy(out->ScanLine(first + i), &buf[outLen * size_t(i)], outLen);
  }
  return out;
}

}  // namespace

void MirrorLeftRight(TLxBitmap& bitmap) {
  MirrorLeftRightImage(bitmap);
  if (bitmap.HasAlphaChannel()) MirrorLeftRightImage(*bitmap.AlphaChannel());
}

void MirrorTopBottom(TLxBitmap& bitmap) {
  MirrorTopBottomImage(bitmap);
  if (bitmap.HasAlphaChannel()) MirrorTopBottomImage(*bitmap.AlphaChannel());
}

void QuarterTurn(TLxBitmap& bitmap, int angle) {
  if ((angle != 90 && angle != -90) || !Usable(bitmap)) return;
  std::unique_ptr<TLxBitmap> turned = Turned(bitmap, angle);
  if (!turned) return;
  std::unique_ptr<TLxBitmap> alpha;
  bool alphaOpaque = false;
  if (bitmap.HasAlphaChannel()) {
    alphaOpaque = bitmap.AlphaChannel()->AllOpaque;
    alpha = Turned(*bitmap.AlphaChannel(), angle);
    if (!alpha) return;
  }
  const bool opaque = bitmap.AllOpaque;
  const int64_t threshold = bitmap.FileThreshold;
  const int32_t colours = bitmap.QuantizeColors;
  turned->MoveImageTo(bitmap);
  bitmap.FileThreshold = threshold;
  bitmap.QuantizeColors = colours;
  bitmap.AllOpaque = opaque;
  if (alpha) {
    alpha->AllOpaque = alphaOpaque;
    bitmap.AttachAlphaChannel(std::move(alpha));
  }
}

// Orientation 5 stores the picture transposed (row 0 is the left side, column 0 the top) and
// 7 transversed (row 0 the right side, column 0 the bottom): the clockwise turn plus mirror
// undoes 5 and the counter-clockwise one undoes 7.
void AutoOrient(TLxBitmap& bitmap, int orientation) {
  switch (orientation) {
    case 2:
      MirrorLeftRight(bitmap);
      break;
    case 3:
      MirrorTopBottom(bitmap);
      MirrorLeftRight(bitmap);
      break;
    case 4:
      MirrorTopBottom(bitmap);
      break;
    case 5:
      QuarterTurn(bitmap, -90);
      MirrorLeftRight(bitmap);
      break;
    case 6:
      QuarterTurn(bitmap, -90);
      break;
    case 7:
      QuarterTurn(bitmap, 90);
      MirrorLeftRight(bitmap);
      break;
    case 8:
      QuarterTurn(bitmap, 90);
      break;
    default:
      break;
  }
}

}  // namespace lumenax
