#include <gtest/gtest.h>

#include "bitmap/bitmap.h"
#include "bitmap/mask.h"

namespace lumenax {
namespace {

TEST(AlphaChannel, LifeCycle) {
  TLxBitmap b(10, 10, lx24RGB);
  EXPECT_FALSE(b.HasAlphaChannel());
  TLxBitmap* a = b.AlphaChannel();
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(b.HasAlphaChannel());
  EXPECT_EQ(a->Width(), 10);
  EXPECT_EQ(a->PixelFormat(), lx8g);
  EXPECT_TRUE(a->IsAlphaChannel);
  EXPECT_TRUE(a->AllOpaque);
  EXPECT_EQ(b.GetAlphaValue(9, 9), 255);
  EXPECT_EQ(a->AlphaChannel(), nullptr) << "an alpha channel has no alpha channel";

  b.SetAlphaValue(0, 0, 128);
  EXPECT_FALSE(a->AllOpaque);
  b.SetAlphaValue(0, 0, 255);
  a->UpdateAllOpaque();
  EXPECT_TRUE(a->AllOpaque);

  ASSERT_TRUE(b.Allocate(10, 10, lx24RGB));
  EXPECT_TRUE(b.HasAlphaChannel()) << "Allocate without reallocating keeps it";
  b.ReallocPending = true;
  ASSERT_TRUE(b.Allocate(10, 10, lx24RGB));
  EXPECT_FALSE(b.HasAlphaChannel()) << "a reallocating Allocate frees it";

  b.AlphaChannel();
  b.FreeImage(false);
  EXPECT_TRUE(b.HasAlphaChannel());
  b.FreeImage(true);
  EXPECT_FALSE(b.HasAlphaChannel());
}

TEST(AlphaChannel, AttachReturnsThePreviousChannel) {
  TLxBitmap b(2, 2, lx24RGB);
  b.AlphaChannel()->Fill(1);
  auto replacement = TLxBitmap::CreateAlphaChannel(2, 2, lxInMemory);
  replacement->Fill(2);
  auto old = b.AttachAlphaChannel(std::move(replacement));
  ASSERT_TRUE(old);
  EXPECT_EQ(old->Pixels8(0, 0), 1);
  EXPECT_EQ(b.GetAlphaValue(0, 0), 2);
  b.AttachAlphaChannel(std::move(old));
  EXPECT_EQ(b.GetAlphaValue(0, 0), 1);
}

TEST(AlphaChannel, RemoveWithMerge) {
  TLxBitmap b(3, 1, lx24RGB);
  b.SetPixelsRGB24(0, 0, CreateRGB(200, 200, 200));
  b.SetPixelsRGB24(1, 0, CreateRGB(255, 255, 255));
  b.SetPixelsRGB24(2, 0, CreateRGB(77, 66, 55));
  b.SetAlphaValue(0, 0, 128);
  b.SetAlphaValue(1, 0, 255);
  b.SetAlphaValue(2, 0, 0);
  b.RemoveAlphaChannel(true, 0x102030);  // blue 0x10, green 0x20, red 0x30
  EXPECT_FALSE(b.HasAlphaChannel());
  // bg + floor((c - bg) * a / 256)
  EXPECT_EQ(b.PixelsRGB24(0, 0),
            CreateRGB(0x30 + (200 - 0x30) * 128 / 256, 0x20 + (200 - 0x20) * 128 / 256,
                      0x10 + (200 - 0x10) * 128 / 256));
  EXPECT_EQ(b.PixelsRGB24(2, 0), CreateRGB(0x30, 0x20, 0x10)) << "alpha 0 gives the background";

  TLxBitmap c(1, 1, lx24RGB);
  c.SetPixelsRGB24(0, 0, CreateRGB(200, 200, 200));
  c.SetAlphaValue(0, 0, 128);
  c.RemoveAlphaChannel(true, clBlack);
  EXPECT_EQ(c.PixelsRGB24(0, 0), CreateRGB(100, 100, 100));
  TLxBitmap d(1, 1, lx24RGB);
  d.SetPixelsRGB24(0, 0, CreateRGB(255, 255, 255));
  d.SetAlphaValue(0, 0, 255);
  d.RemoveAlphaChannel(true, clBlack);
  EXPECT_EQ(d.PixelsRGB24(0, 0), CreateRGB(254, 254, 254));
  // Darker than the background: the floor goes toward minus infinity.
  TLxBitmap e(1, 1, lx24RGB);
  e.SetAlphaValue(0, 0, 1);
  e.RemoveAlphaChannel(true, clWhite);
  EXPECT_EQ(e.PixelsRGB24(0, 0), CreateRGB(254, 254, 254));

  TLxBitmap g(1, 1, lx8g);
  g.ScanLine(0)[0] = 10;
  g.SetAlphaValue(0, 0, 0);
  g.RemoveAlphaChannel(true, clWhite);
  EXPECT_FALSE(g.HasAlphaChannel());
  EXPECT_EQ(g.Pixels8(0, 0), 10) << "other layouts are not composed";
}

TEST(AlphaChannel, MaskExchange) {
  TLxBitmap img(10, 3, lx24RGB);
  TLxMask m;
  ASSERT_TRUE(m.Allocate(10, 3, 8));
  m.Fill(255);
  m.SetPixel(4, 1, 60);
  img.AlphaChannel()->CopyFromMask(&m);
  EXPECT_EQ(img.GetAlphaValue(4, 1), 60);
  EXPECT_EQ(img.GetAlphaValue(5, 1), 255);
  EXPECT_FALSE(img.AlphaChannel()->AllOpaque);

  TLxMask back;
  img.AlphaChannel()->CopyToMask(back);
  EXPECT_EQ(back.BitsPerPixel, 8);
  EXPECT_EQ(back.GetPixel(4, 1), 60);
  EXPECT_EQ(back.GetPixel(0, 0), 255);

  TLxMask one;
  ASSERT_TRUE(one.Allocate(10, 3, 1));
  one.SetPixel(2, 2, 1);
  img.AlphaChannel()->CopyFromMask(&one);
  EXPECT_EQ(img.AlphaChannel()->PixelFormat(), lx1g);
  EXPECT_EQ(img.GetAlphaValue(2, 2), 255);
  EXPECT_EQ(img.GetAlphaValue(3, 2), 0);

  img.AlphaChannel()->CopyFromMask(nullptr);
  EXPECT_TRUE(img.AlphaChannel()->AllOpaque) << "no mask: fully opaque";

  TLxMask odd;
  odd.Allocate(4, 4, 4);
  TLxBitmap other(2, 2, lx24RGB);
  other.AlphaChannel()->CopyFromMask(&odd);
  EXPECT_EQ(other.AlphaChannel()->Width(), 2) << "other depths are ignored";
}

TEST(AlphaChannel, MaxAlphaRect) {
  TLxBitmap a(4, 4, lx24RGB), b(4, 4, lx24RGB);
  a.AlphaChannel()->Fill(10);
  a.SetAlphaValue(1, 1, 200);
  b.AlphaChannel()->Fill(50);
  a.MaxAlphaRectTo(b, 0, 0, 4, 4, 0, 0);
  EXPECT_EQ(b.GetAlphaValue(1, 1), 200);
  EXPECT_EQ(b.GetAlphaValue(0, 0), 50);
}

TEST(Mask, PixelsBoundsAndOpacity) {
  TLxMask m;
  ASSERT_TRUE(m.Allocate(10, 4, 1));
  EXPECT_TRUE(m.IsEmpty());
  m.SetPixel(0, 0, 1);
  EXPECT_EQ(m.GetPixel(0, 0), 128) << "a set 1-bit pixel yields its bit's value";
  EXPECT_EQ(m.GetPixel(-1, 0), 0);
  EXPECT_EQ(m.GetPixel(10, 0), 0);
  m.SetPixel(50, 50, 1);  // ignored

  for (int y = 0; y < 4; ++y) m.FillSpan(1, 0, y, 9);
  m.UpdateAllOpaque();
  EXPECT_TRUE(m.AllOpaque) << "padding bits of the last byte do not count";
  m.SetPixel(9, 0, 0);
  m.UpdateAllOpaque();
  EXPECT_FALSE(m.AllOpaque);

  TLxMask e;
  ASSERT_TRUE(e.Allocate(8, 8, 8));
  e.SetPixel(5, 5, 9);
  EXPECT_EQ(e.BoundsLeft, 5);
  EXPECT_EQ(e.BoundsBottom, 5);
  e.SetPixel(5, 5, 0);
  EXPECT_EQ(e.BoundsLeft, 5) << "a zero value never narrows the bounds";
  e.RecomputeBounds();
  EXPECT_TRUE(e.IsEmpty());

  e.Fill(255);
  EXPECT_TRUE(e.AllOpaque);
  e.SetPixel(1, 1, 254);
  EXPECT_FALSE(e.AllOpaque);
  e.Fill(3);
  EXPECT_FALSE(e.AllOpaque);
  e.FillSpan(7, -4, 99, 100);  // clipped to the last row
  EXPECT_EQ(e.GetPixel(0, 7), 7);
  EXPECT_EQ(e.GetPixel(7, 7), 7);
  e.Clear();
  EXPECT_EQ(e.GetPixel(0, 7), 0);
  EXPECT_TRUE(e.IsEmpty());
}

TEST(Mask, RecomputeBoundsFindsTheSetPixels) {
  for (int bits : {1, 8}) {
    TLxMask m;
    ASSERT_TRUE(m.Allocate(37, 9, bits));
    m.SetPixel(20, 2, 1);
    m.SetPixel(3, 6, 1);
    m.SetPixel(36, 6, 1);
    m.SetPixel(17, 8, 1);
    m.BoundsLeft = m.BoundsTop = 0;  // stale bounds are replaced
    m.BoundsRight = m.BoundsBottom = 0;
    m.RecomputeBounds();
    EXPECT_EQ(m.BoundsLeft, 3) << bits;
    EXPECT_EQ(m.BoundsTop, 2) << bits;
    EXPECT_EQ(m.BoundsRight, 36) << bits;
    EXPECT_EQ(m.BoundsBottom, 8) << bits;
  }
}

TEST(Mask, ResizeKeepsTopLeft) {
  TLxMask m;
  ASSERT_TRUE(m.Allocate(4, 4, 8));
  m.SetPixel(1, 1, 9);
  m.SetPixel(3, 3, 8);
  m.Resize(2, 6);
  EXPECT_EQ(m.Width, 2);
  EXPECT_EQ(m.Height, 6);
  EXPECT_EQ(m.GetPixel(1, 1), 9);
  EXPECT_EQ(m.GetPixel(1, 5), 0);
  EXPECT_EQ(m.BoundsRight, 1);
  EXPECT_FALSE(m.Allocate(-1, 4, 8));
}

}  // namespace
}  // namespace lumenax
