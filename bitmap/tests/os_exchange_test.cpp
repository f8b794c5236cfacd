// Exchange with platform bitmaps: the copy table, keeping lxTBitmap in step with a TBitmap
// that changes under it, DIB blocks, and stretched, keyed and blended rendering.
#include <gtest/gtest.h>

#include <cstring>

#include "bitmap/bitmap.h"
#include "bitmap/dibbitmap.h"
#include "bitmap/render.h"
#include "bitmap/tbitmap.h"

namespace lumenax {
namespace {

TBitmap Make(TPixelFormatDIB pf, int w, int h) {
  TBitmap b;
  b.SetPixelFormat(pf);
  b.SetSize(w, h);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b.ScanLine(y);
    for (int i = 0; i < b.RowBytes(); ++i) row[i] = uint8_t(i * 37 + y * 11);
  }
  for (int i = 0; i < b.ColorTableSize(); ++i)
    b.SetColorTableEntry(i, TRGB{uint8_t(i * 3), uint8_t(255 - i), uint8_t(i)});
  return b;
}

TEST(OsExchange, CopyFromTBitmapFollowsTheTable) {
  struct Row {
    TPixelFormatDIB pf;
    PixelFormat expected;
  } rows[] = {{pf1bit, lx8p},  {pf4bit, lx8p},    {pf8bit, lx8p},   {pf15bit, lx24RGB},
              {pf16bit, lx24RGB}, {pf24bit, lx24RGB}, {pf32bit, lx32RGB}};
  for (const Row& r : rows) {
    TBitmap src = Make(r.pf, 9, 4);
    TLxBitmap b;
    b.CopyFromTBitmap(src);
    SCOPED_TRACE(int(r.pf));
    ASSERT_EQ(b.PixelFormat(), r.expected);
    ASSERT_EQ(b.Width(), 9);
    EXPECT_FALSE(b.AllOpaque);
    for (int y = 0; y < 4; ++y) {
      const uint8_t* s = src.ScanLine(y);
      for (int x = 0; x < 9; ++x) {
        switch (r.pf) {
          case pf1bit:
            ASSERT_EQ(b.Pixels8(x, y), (s[x / 8] >> (7 - x % 8)) & 1);
            break;
          case pf4bit:
            ASSERT_EQ(b.Pixels8(x, y), x % 2 ? s[x / 2] & 15 : s[x / 2] >> 4);
            break;
          case pf8bit:
            ASSERT_EQ(b.Pixels8(x, y), s[x]);
            break;
          case pf15bit:
          case pf16bit: {
            unsigned v = unsigned(s[2 * x] | s[2 * x + 1] << 8);
            unsigned blue = v & 31;
            // Widened by replicating the high bits: 31 becomes 255, 0 stays 0.
            ASSERT_EQ(b.PixelsRGB24(x, y).b, uint8_t(blue << 3 | blue >> 2));
            unsigned red = r.pf == pf15bit ? v >> 10 & 31 : v >> 11;
            ASSERT_EQ(b.PixelsRGB24(x, y).r, uint8_t(red << 3 | red >> 2));
            break;
          }
          default:
            ASSERT_EQ(std::memcmp(b.ScanLine(y), s, size_t(9 * src.BitsPerPixel() / 8)), 0);
        }
      }
    }
    if (r.expected == lx8p) {
      EXPECT_EQ(b.GetPaletteEntry(1), src.GetColorTableEntry(1));
    }
  }
  // Black and white 1-bit images stay bilevel.
  TBitmap mono = Make(pf1bit, 9, 4);
  mono.SetColorTableEntry(0, TRGB{0, 0, 0});
  mono.SetColorTableEntry(1, TRGB{255, 255, 255});
  TLxBitmap b;
  b.CopyFromTBitmap(mono);
  EXPECT_EQ(b.PixelFormat(), lx1g);
  // Device-dependent bitmaps: nothing is done.
  TBitmap device;
  device.SetSize(3, 3);
  TLxBitmap untouched;
  untouched.Allocate(2, 2, lx8g);
  untouched.CopyFromTBitmap(device);
  EXPECT_EQ(untouched.Width(), 2);
}

TEST(OsExchange, PlatformStorageFollowsItsTBitmap) {
  TBitmap platform = Make(pf24bit, 6, 5);
  TLxBitmap b;
  b.EncapsulateTBitmap(&platform, true);
  ASSERT_EQ(b.Location(), lxTBitmap);
  b.SetAlphaValue(1, 1, 0);
  // The caller resizes the TBitmap and turns it into 16 bits: the bitmap follows, never
  // with another layout's row length, and its alpha channel is opaque again.
  platform.SetSize(10, 7);
  platform.SetPixelFormat(pf16bit);
  EXPECT_EQ(b.Width(), 10);
  EXPECT_EQ(b.Height(), 7);
  EXPECT_EQ(b.PixelFormat(), lx24RGB);
  EXPECT_EQ(b.RowLen(), platform.RowBytes());
  EXPECT_EQ(b.ScanLine(0), platform.ScanLine(0));
  ASSERT_TRUE(b.HasAlphaChannel());
  EXPECT_EQ(b.AlphaChannel()->Width(), 10);
  EXPECT_EQ(b.GetAlphaValue(1, 1), 255);
  // 8 bits with a gray ramp are gray, with other colours a palette.
  platform.SetPixelFormat(pf8bit);
  for (int i = 0; i < 256; ++i) platform.SetColorTableEntry(i, TRGB{uint8_t(i), uint8_t(i), uint8_t(i)});
  EXPECT_EQ(b.PixelFormat(), lx8g);
  platform.SetColorTableEntry(7, TRGB{1, 2, 3});
  EXPECT_EQ(b.PixelFormat(), lx8p);
  EXPECT_EQ(b.GetPaletteEntry(7), (TRGB{1, 2, 3}));

  // A copy in platform storage goes into the bitmap's own TBitmap at a layout of its own.
  TBitmap four = Make(pf4bit, 5, 2);
  b.CopyFromTBitmap(four);
  EXPECT_EQ(b.Location(), lxTBitmap);
  EXPECT_EQ(b.PixelFormat(), lx24RGB);
  EXPECT_EQ(b.Width(), 5);
  EXPECT_EQ(platform.Width(), 10) << "the caller's TBitmap is left alone";
}

TEST(OsExchange, DibBlocks) {
  TLxDibbitmap dib;
  EXPECT_FALSE(dib.Allocate(4, 4, lx8g));
  EXPECT_FALSE(dib.Allocate(0, 4, lx24RGB));
  ASSERT_TRUE(dib.Allocate(5, 3, lx24RGB));
  EXPECT_EQ(dib.RowLen(), 16);
  EXPECT_EQ(dib.ScanLine(2), dib.Bits()) << "bottom row first";
  for (int y = 0; y < 3; ++y)
    for (int i = 0; i < 15; ++i) dib.ScanLine(y)[i] = uint8_t(y * 50 + i);
  TLxBitmap b;
  b.CopyFromDibBitmap(&dib);
  ASSERT_EQ(b.PixelFormat(), lx24RGB);
  for (int y = 0; y < 3; ++y) EXPECT_EQ(std::memcmp(b.ScanLine(y), dib.ScanLine(y), 15), 0);
  TLxDibbitmap copy;
  copy.Assign(dib);
  EXPECT_EQ(std::memcmp(copy.Bits(), dib.Bits(), 48), 0);
  // Into platform storage.
  TBitmap platform;
  TLxBitmap p;
  p.EncapsulateTBitmap(&platform, true);
  p.SetLocation(lxTBitmap);
  p.CopyFromDibBitmap(&dib);
  EXPECT_EQ(p.Location(), lxTBitmap);
  EXPECT_EQ(p.PixelsRGB24(4, 2), b.PixelsRGB24(4, 2));
}

TEST(OsExchange, RenderingStretchesKeysAndBlends) {
  TLxBitmap src(2, 1, lx24RGB);
  src.SetPixelsRGB24(0, 0, TRGB{10, 20, 30});
  src.SetPixelsRGB24(1, 0, TRGB{200, 100, 0});
  src.SetAlphaValue(0, 0, 255);
  src.SetAlphaValue(1, 0, 0);
  TLxBitmap dst(4, 2, lx24RGB);
  dst.Fill(0);
  RenderToBitmap(src, dst, TLxRect{0, 0, 4, 2}, TLxRect{0, 0, 2, 1});
  EXPECT_EQ(dst.PixelsRGB24(1, 1), (TRGB{10, 20, 30}));
  EXPECT_EQ(dst.PixelsRGB24(3, 1), (TRGB{0, 0, 0})) << "alpha 0 leaves the target";
  // A half-transparent pixel is blended over the target.
  src.SetAlphaValue(1, 0, 128);
  dst.Fill(0);
  RenderToBitmap(src, dst, TLxRect{-1, 0, 4, 2}, TLxRect{0, 0, 2, 1});
  EXPECT_EQ(dst.PixelsRGB24(2, 0), (TRGB{100, 50, 0}));
  // Into a TBitmap, clipped.
  TBitmap platform;
  platform.SetPixelFormat(pf24bit);
  platform.SetSize(3, 3);
  RenderToTBitmap(src, platform, TLxRect{2, 2, 4, 4}, TLxRect{0, 0, 1, 1});
  EXPECT_EQ(platform.ScanLine(2)[6], 10);
  // Source rectangles outside the source draw nothing.
  RenderToTBitmap(src, platform, TLxRect{0, 0, 3, 3}, TLxRect{1, 0, 5, 1});
  EXPECT_EQ(platform.ScanLine(0)[0], 0);
}

}  // namespace
}  // namespace lumenax
