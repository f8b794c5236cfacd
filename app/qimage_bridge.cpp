#include "app/qimage_bridge.h"

#include <cstring>

namespace veltrano {

using lumenax::TBitmap;
using lumenax::TRGB;

QImage ToQImage(const TBitmap& bitmap) {
  const int w = bitmap.Width(), h = bitmap.Height();
  if (bitmap.Empty()) return QImage();
  const int bits = bitmap.BitsPerPixel();
  if (bits <= 8) {
    QImage image(w, h, bits == 1 ? QImage::Format_Mono : QImage::Format_Indexed8);
    QList<QRgb> table;
    for (int i = 0; i < bitmap.ColorTableSize(); ++i) {
      TRGB c = bitmap.GetColorTableEntry(i);
      table.append(qRgb(c.r, c.g, c.b));
    }
    image.setColorTable(table);
    for (int y = 0; y < h; ++y) {
      const uint8_t* src = bitmap.ScanLine(y);
      uchar* dst = image.scanLine(y);
      if (bits == 1)
        std::memcpy(dst, src, size_t((w + 7) / 8));
      else if (bits == 8)
        std::memcpy(dst, src, size_t(w));
      else
        for (int x = 0; x < w; ++x) dst[x] = (x & 1) ? src[x >> 1] & 15 : src[x >> 1] >> 4;
    }
    return image;
  }
  const bool wide = bits == 32;
  QImage image(w, h, wide ? QImage::Format_RGB32 : QImage::Format_RGB888);
  for (int y = 0; y < h; ++y) {
    const uint8_t* src = bitmap.ScanLine(y);
    uchar* dst = image.scanLine(y);
    for (int x = 0; x < w; ++x) {
      uint8_t b, g, r;
      if (bits == 16) {
        const unsigned v = unsigned(src[2 * x] | src[2 * x + 1] << 8);
        const bool five = bitmap.PixelFormat() == lumenax::pf15bit;
        const unsigned rv = five ? v >> 10 & 31 : v >> 11, gv = five ? v >> 5 & 31 : v >> 5 & 63;
        r = uint8_t(rv << 3 | rv >> 2);
        g = five ? uint8_t(gv << 3 | gv >> 2) : uint8_t(gv << 2 | gv >> 4);
        b = uint8_t((v & 31) << 3 | (v & 31) >> 2);
      } else {
        const uint8_t* p = src + (wide ? 4 : 3) * x;
        b = p[0], g = p[1], r = p[2];
      }
      if (wide)
        reinterpret_cast<QRgb*>(dst)[x] = qRgb(r, g, b);
      else
        dst[3 * x] = r, dst[3 * x + 1] = g, dst[3 * x + 2] = b;
    }
  }
  return image;
}

TBitmap FromQImage(const QImage& source) {
  TBitmap bitmap;
  if (source.isNull()) return bitmap;
  const int w = source.width(), h = source.height();
  if (source.format() == QImage::Format_Mono || source.format() == QImage::Format_Indexed8) {
    const bool mono = source.format() == QImage::Format_Mono;
    bitmap.SetPixelFormat(mono ? lumenax::pf1bit : lumenax::pf8bit);
    bitmap.SetSize(w, h);
    const QList<QRgb> table = source.colorTable();
    for (int i = 0; i < int(table.size()) && i < bitmap.ColorTableSize(); ++i)
      bitmap.SetColorTableEntry(i, TRGB{uint8_t(qBlue(table[i])), uint8_t(qGreen(table[i])),
                                        uint8_t(qRed(table[i]))});
    for (int y = 0; y < h; ++y)
      std::memcpy(bitmap.ScanLine(y), source.constScanLine(y), size_t(mono ? (w + 7) / 8 : w));
    return bitmap;
  }
  const bool alpha = source.hasAlphaChannel();
  const QImage image = source.convertToFormat(alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
  bitmap.SetPixelFormat(alpha ? lumenax::pf32bit : lumenax::pf24bit);
  bitmap.SetSize(w, h);
  for (int y = 0; y < h; ++y) {
    const QRgb* src = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    uint8_t* dst = bitmap.ScanLine(y);
    for (int x = 0; x < w; ++x) {
      uint8_t* p = dst + (alpha ? 4 : 3) * x;
      p[0] = uint8_t(qBlue(src[x]));
      p[1] = uint8_t(qGreen(src[x]));
      p[2] = uint8_t(qRed(src[x]));
      if (alpha) p[3] = uint8_t(qAlpha(src[x]));
    }
  }
  return bitmap;
}

}  // namespace veltrano
