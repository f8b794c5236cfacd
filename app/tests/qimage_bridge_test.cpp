// TBitmap <-> QImage, checked against Qt's own conversions of the same pixels.
#include <gtest/gtest.h>

#include <QImage>
#include <cstring>

#include "app/qimage_bridge.h"

namespace {

using lumenax::TBitmap;
using lumenax::TRGB;

TEST(QImageBridge, EveryDepthMatchesQtsOwnConversion) {
  // A gradient with an alpha ramp, made by Qt.
  QImage argb(7, 5, QImage::Format_ARGB32);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 7; ++x) argb.setPixel(x, y, qRgba(x * 36, y * 60, 255 - x * 30, 40 * x));
  TBitmap withAlpha = veltrano::FromQImage(argb);
  EXPECT_EQ(withAlpha.PixelFormat(), lumenax::pf32bit);
  EXPECT_EQ(withAlpha.ScanLine(2)[4 * 3 + 3], 120) << "straight alpha in the fourth byte";

  QImage rgb = argb.convertToFormat(QImage::Format_RGB888);
  TBitmap b24 = veltrano::FromQImage(rgb);
  EXPECT_EQ(b24.PixelFormat(), lumenax::pf24bit);
  EXPECT_EQ(veltrano::ToQImage(b24), rgb);

  QImage indexed = rgb.convertToFormat(QImage::Format_Indexed8);
  TBitmap b8 = veltrano::FromQImage(indexed);
  EXPECT_EQ(b8.PixelFormat(), lumenax::pf8bit);
  EXPECT_EQ(veltrano::ToQImage(b8).convertToFormat(QImage::Format_RGB32),
            indexed.convertToFormat(QImage::Format_RGB32));

  QImage mono = rgb.convertToFormat(QImage::Format_Mono);
  EXPECT_EQ(veltrano::ToQImage(veltrano::FromQImage(mono)).convertToFormat(QImage::Format_RGB32),
            mono.convertToFormat(QImage::Format_RGB32));

  // 16 bits (5-6-5) widen like Qt widens them.
  QImage r565 = rgb.convertToFormat(QImage::Format_RGB16);
  TBitmap b16;
  b16.SetPixelFormat(lumenax::pf16bit);
  b16.SetSize(7, 5);
  for (int y = 0; y < 5; ++y) std::memcpy(b16.ScanLine(y), r565.constScanLine(y), 14);
  EXPECT_EQ(veltrano::ToQImage(b16).convertToFormat(QImage::Format_RGB32),
            r565.convertToFormat(QImage::Format_RGB32));
}

}  // namespace
