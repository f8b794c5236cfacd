// Export of a bitmap rectangle as a packed device-independent bitmap (the clipboard and
// drag-and-drop form), and the diagnostic log its steps are written to.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include "bitmap/bitmap.h"
#include "bitmap/conversion.h"
#include "bitmap/settings.h"

namespace lumenax {

void WriteDebugLog(const std::string& message) {
  if (DebugLogFile.empty()) return;
  // One line per call, whole even when several threads log at once.
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  std::FILE* f = std::fopen(DebugLogFile.c_str(), "a");
  if (!f) return;
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(f, "%s : %s\n", stamp, message.c_str());
  std::fflush(f);
  std::fclose(f);
}

namespace {

void Put16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v), p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
int32_t PixelsPerMetre(double dpi) {
  double v = std::trunc(dpi * 39.3700787);
  return std::isfinite(v) && v > -2147483648.0 && v < 2147483647.0 ? int32_t(v) : 0;
}

}  // namespace

std::vector<uint8_t> _CopyBitmaptoDIBEx(TLxBitmap& bitmap, int x1, int y1, double dpiY, double dpiX,
                                        int y2, int x2) {
  WriteDebugLog("_CopyBitmaptoDIBEx: begin");
  const lumenax::PixelFormat pf = bitmap.PixelFormat();
  if (bitmap.IsEmpty() || pf == lxNone) return {};
  if (pf != lx1g && pf != lx8p && pf != lx8g && pf != lx24RGB) {
    WriteDebugLog(
        "_CopyBitmaptoDIBEx: not supported pixel format, converting to 24bit and recurse");
    TLxBitmap copy;
    copy.Assign(bitmap);
    if (copy.IsEmpty()) return {};
    copy.SetPixelFormat(lx24RGB);
    if (copy.PixelFormat() != lx24RGB) return {};
    return _CopyBitmaptoDIBEx(copy, x1, y1, dpiY, dpiX, y2, x2);
  }
  if (x2 == 0) x2 = bitmap.Width();
  if (y2 == 0) y2 = bitmap.Height();
  // The rectangle is kept inside the image: nothing outside it is ever read.
  x1 = std::max(x1, 0), y1 = std::max(y1, 0);
  x2 = std::min(x2, bitmap.Width()), y2 = std::min(y2, bitmap.Height());
  const int w = x2 - x1, h = y2 - y1;
  if (w <= 0 || h <= 0) return {};

  const int bitCount = bitmap.BitCount();
  const int64_t rowLen = ((int64_t(w) * bitCount + 31) / 32) * 4;
  const int tableBytes = pf == lx1g ? 8 : (pf == lx24RGB ? 0 : 1024);
  const int64_t size = rowLen * h + 44 + tableBytes;
  WriteDebugLog("_CopyBitmaptoDIBEx: allocate " + std::to_string(size) + " bytes");
  std::vector<uint8_t> block;
  try {
    block.assign(size_t(size), 0);
  } catch (const std::bad_alloc&) {
    return {};
  }

  uint8_t* p = block.data();
  Put32(p, 40);
  Put32(p + 4, uint32_t(w));
  Put32(p + 8, uint32_t(h));
  Put16(p + 12, 1);
  Put16(p + 14, uint32_t(bitCount));
  Put32(p + 24, uint32_t(PixelsPerMetre(dpiX)));
  Put32(p + 28, uint32_t(PixelsPerMetre(dpiY)));
  uint8_t* table = p + 40;
  uint8_t* rows = table + tableBytes;

  if (pf == lx1g) {
    WriteDebugLog("_CopyBitmaptoDIBEx: lx1g");
    table[4] = table[5] = table[6] = table[7] = 255;
    for (int y = y2 - 1, i = 0; y >= y1; --y, ++i) {
      const uint8_t* src = bitmap.ScanLine(y);
      uint8_t* dst = rows + rowLen * i;
      for (int x = 0; x < w; ++x) {
        int sx = x1 + x;
        if ((src[sx >> 3] >> (7 - (sx & 7))) & 1) dst[x >> 3] |= uint8_t(0x80 >> (x & 7));
      }
    }
  } else if (pf == lx8p || pf == lx8g) {
    WriteDebugLog("_CopyBitmaptoDIBEx: lx8g or lx8p");
    if (pf == lx8p) {
      for (int i = 0; i < bitmap.PaletteCount() && i < 256; ++i) {
        TRGB c = bitmap.GetPaletteEntry(i);
        table[4 * i] = c.b, table[4 * i + 1] = c.g, table[4 * i + 2] = c.r;
      }
    } else {
      for (int i = 0; i < 256; ++i) table[4 * i] = table[4 * i + 1] = table[4 * i + 2] = uint8_t(i);
    }
    for (int y = y2 - 1, i = 0; y >= y1; --y, ++i)
      std::memcpy(rows + rowLen * i, bitmap.ScanLine(y) + x1, size_t(w));
  } else {
    WriteDebugLog("_CopyBitmaptoDIBEx: lx24RGB");
    for (int y = y2 - 1, i = 0; y >= y1; --y, ++i)
      std::memcpy(rows + rowLen * i, bitmap.ScanLine(y) + 3 * int64_t(x1), size_t(w) * 3);
  }
  return block;
}

}  // namespace lumenax
