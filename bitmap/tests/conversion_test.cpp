#include "bitmap/conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include "bitmap/bitmap.h"
#include "bitmap/settings.h"
#include "bitmap/tests/paged_bitmap.h"
#include "bitmap/utilities.h"
#include "bitmap/progress.h"

namespace lumenax {
namespace {

// Restores the process-wide settings a test changes.
struct SettingsGuard {
  bool cmyk = UseCmykProfile;
  int32_t wr = GrayWeightRed, wg = GrayWeightGreen, wb = GrayWeightBlue;
  ~SettingsGuard() {
    UseCmykProfile = cmyk;
    GrayWeightRed = wr, GrayWeightGreen = wg, GrayWeightBlue = wb;
  }
};

TEST(ConversionGray, EdgeValuesOfTheMatrix) {
  TLxBitmap g8(2, 1, lx8g);
  g8.SetPixels8(0, 0, 128);
  g8.SetPixels8(1, 0, 255);
  TLxBitmap a;
  a.Assign(g8);
  a.SetPixelFormat(lx16g);
  EXPECT_EQ(a.Pixels16(0, 0), 32896);
  a.Assign(g8);
  a.SetPixelFormat(lx32f);
  EXPECT_EQ(a.Pixels32f(1, 0), 1.0f);
  EXPECT_FLOAT_EQ(a.Pixels32f(0, 0), 128 / 255.0f);

  TLxBitmap g16(1, 1, lx16g);
  g16.SetPixels16(0, 0, 65535);
  g16.SetPixelFormat(lx8g);
  EXPECT_EQ(g16.Pixels8(0, 0), 255);

  TLxBitmap rgb(3, 1, lx24RGB);
  rgb.SetPixelsRGB24(0, 0, CreateRGB(255, 255, 255));
  rgb.SetPixelsRGB24(1, 0, CreateRGB(255, 0, 0));
  rgb.SetPixelsRGB24(2, 0, CreateRGB(10, 20, 30));
  TLxBitmap c;
  c.Assign(rgb);
  c.SetPixelFormat(lx8g);
  EXPECT_EQ(c.Pixels8(0, 0), 255);
  EXPECT_EQ(c.Pixels8(1, 0), 53);
  EXPECT_EQ(c.Pixels8(2, 0), (10 * 21 + 20 * 71 + 30 * 8) / 100);
  // 16-bit gray widens the channels first: red alone is 65535 * 212 / 1000.
  c.Assign(rgb);
  c.SetPixelFormat(lx16g);
  EXPECT_EQ(c.Pixels16(0, 0), 65535);
  EXPECT_EQ(c.Pixels16(1, 0), 13893);
  c.Assign(rgb);
  c.SetPixelFormat(lx32f);
  EXPECT_FLOAT_EQ(c.Pixels32f(1, 0), float(0.2126));
}

TEST(ConversionGray, WeightsAreProcessWideSettings) {
  SettingsGuard guard;
  GrayWeightRed = 30, GrayWeightGreen = 59, GrayWeightBlue = 11;
  TLxBitmap rgb(1, 1, lx24RGB);
  rgb.SetPixelsRGB24(0, 0, CreateRGB(255, 0, 0));
  rgb.SetPixelFormat(lx8g);
  EXPECT_EQ(rgb.Pixels8(0, 0), 76);
  EXPECT_EQ(GrayOfPacked(0xFF0000), 76);
}

TEST(ConversionFloat, OutOfRangeSamplesWrapAndNonNumbersGiveZero) {
  TLxBitmap f(4, 1, lx32f);
  f.SetPixels32f(0, 0, 1.5f);   // Trunc(382.5) = 382, low byte 126
  f.SetPixels32f(1, 0, -0.5f);  // Trunc(-127.5) = -127, low byte 129
  f.SetPixels32f(2, 0, std::numeric_limits<float>::quiet_NaN());
  f.SetPixels32f(3, 0, 1e30f);
  TLxBitmap g;
  g.Assign(f);
  g.SetPixelFormat(lx8g);
  EXPECT_EQ(g.Pixels8(0, 0), 126);
  EXPECT_EQ(g.Pixels8(1, 0), 129);
  EXPECT_EQ(g.Pixels8(2, 0), 0);
  EXPECT_EQ(f.PixelAsRGB(0, 0), CreateRGB(126, 126, 126));
  g.Assign(f);
  g.SetPixelFormat(lx16g);
  EXPECT_EQ(g.Pixels16(0, 0), uint16_t(98302));  // Trunc(98302.5) keeps its low 16 bits
}

TEST(ConversionOneBit, ToPaletteKeepsOtherEntriesAndToGrayLayouts) {
  TLxBitmap bw(10, 2, lx1g);
  bw.Fill(0);
  bw.ScanLine(0)[0] = 0xA0;  // pixels 0 and 2 of row 0 white
  TLxBitmap p(10, 2, lx8p);
  for (int i = 0; i < 256; ++i) p.SetPaletteEntry(i, CreateRGB(7, 8, uint8_t(i)));
  p.CopyAndConvertFormat(bw);
  EXPECT_EQ(p.GetPaletteEntry(0), CreateRGB(0, 0, 0));
  EXPECT_EQ(p.GetPaletteEntry(1), CreateRGB(255, 255, 255));
  EXPECT_EQ(p.GetPaletteEntry(2), CreateRGB(7, 8, 2));
  EXPECT_EQ(p.GetPaletteEntry(255), CreateRGB(7, 8, 255));
  EXPECT_EQ(p.Pixels8(0, 0), 1);
  EXPECT_EQ(p.Pixels8(1, 0), 0);
  EXPECT_EQ(p.Pixels8(2, 0), 1);

  struct {
    PixelFormat pf;
    TRGB white;
  } cases[] = {{lx8g, CreateRGB(255, 255, 255)},    {lx16g, CreateRGB(255, 255, 255)},
               {lx24RGB, CreateRGB(255, 255, 255)}, {lx32RGB, CreateRGB(255, 255, 255)},
               {lx32f, CreateRGB(255, 255, 255)},   {lxRGB48, CreateRGB(255, 255, 255)}};
  for (auto& cs : cases) {
    TLxBitmap t;
    t.Assign(bw);
    t.SetPixelFormat(cs.pf);
    EXPECT_EQ(t.PixelAsRGB(0, 0), cs.white) << PixelFormatName(cs.pf);
    EXPECT_EQ(t.PixelAsRGB(1, 0), TRGB{}) << PixelFormatName(cs.pf);
  }
  TLxBitmap t;
  t.Assign(bw);
  t.SetPixelFormat(lx32RGB);
  EXPECT_EQ(t.ScanLine(0)[3], 255);
  EXPECT_EQ(t.ScanLine(1)[4 * 9 + 3], 255);
  t.Assign(bw);
  t.SetPixelFormat(lx16g);
  EXPECT_EQ(t.Pixels16(0, 0), 65535);
}

TEST(ConversionOneBit, ThroughTwentyFourBitToLab) {
  TLxBitmap bw(2, 1, lx1g);
  bw.ScanLine(0)[0] = 0x40;  // pixel 1 white
  TLxBitmap lab(2, 1, lxCIELab);
  lab.CopyAndConvertFormat(bw);
  EXPECT_EQ(bw.PixelFormat(), lx24RGB) << "the source is left converted";
  EXPECT_EQ(lab.ScanLine(0)[0], 0);
  EXPECT_EQ(lab.ScanLine(0)[3], 255);
  EXPECT_EQ(lab.PixelAsRGB(1, 0), CreateRGB(255, 255, 255));
}

TEST(ConversionDither, HalfGrayLightsHalfTheMatrix) {
  for (bool paged : {false, true}) {
    auto g = paged ? PagedBitmap(16, 16, lx8g) : std::make_unique<TLxBitmap>(16, 16, lx8g);
    g->Fill(128);
    TLxBitmap bw;
    bw.BlackWhiteMethod = 0;
    bw.Allocate(16, 16, lx1g);
    bw.CopyAndConvertFormat(*g);
    int white = 0;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) {
        bool set = bw.PixelAsRGB(x, y).r == 255;
        EXPECT_EQ(set, DitherMatrix8[x % 8][y % 8] < 32) << x << "," << y;
        white += set;
      }
    EXPECT_EQ(white, 128);
  }
  EXPECT_EQ(DitherMatrix8[1][0], 48);
  EXPECT_EQ(DitherMatrix8[0][1], 32);
  EXPECT_EQ(DitherMatrix8[7][7], 21);
}

TEST(ConversionDither, LevelsOfEachSource) {
  // One pixel at (1, 0), where the matrix holds 48: levels 49+ are white, 48 and below black.
  auto one = [](TLxBitmap& src) {
    TLxBitmap bw;
    bw.BlackWhiteMethod = 0;
    bw.Allocate(src.Width(), src.Height(), lx1g);
    bw.CopyAndConvertFormat(src);
    return bw.PixelAsRGB(1, 0).r == 255;
  };
  TLxBitmap g16(2, 1, lx16g);
  g16.SetPixels16(1, 0, 49 << 10);
  EXPECT_TRUE(one(g16));
  g16.SetPixels16(1, 0, (49 << 10) - 1);
  EXPECT_FALSE(one(g16));
  TLxBitmap f(2, 1, lx32f);
  f.SetPixels32f(1, 0, 196 / 255.0f);  // 196 >> 2 = 49
  EXPECT_TRUE(one(f));
  f.SetPixels32f(1, 0, 195 / 255.0f);
  EXPECT_FALSE(one(f));
  TLxBitmap p(2, 1, lx8p);
  p.SetPaletteEntry(3, CreateRGB(196, 196, 196));
  p.SetPixels8(1, 0, 3);
  EXPECT_TRUE(one(p));
  TLxBitmap w48(2, 1, lxRGB48);
  w48.SetPixelsRGB48(1, 0, 196 * 256, 196 * 256, 196 * 256);
  EXPECT_TRUE(one(w48));
  w48.SetPixelsRGB48(1, 0, 195 * 256 + 255, 195 * 256 + 255, 195 * 256 + 255);
  EXPECT_FALSE(one(w48));
  // CMYK goes through 24 bits first.
  TLxBitmap cmyk(2, 1, lxCMYK);
  cmyk.SetPixelsCMYK(1, 0, 0xFFFFFFFF);
  SettingsGuard guard;
  UseCmykProfile = false;
  EXPECT_TRUE(one(cmyk));
  EXPECT_EQ(cmyk.PixelFormat(), lx24RGB);
}

TEST(ConversionDither, PlatformBitmapKeepsNearWhiteWhite) {
  TLxBitmap rgb(8, 1, lx24RGB);
  rgb.Fill(0xFCFCFC);  // every channel 252: level 63 in memory, always white here
  TLxBitmap mem;
  mem.Assign(rgb);
  mem.BlackWhiteMethod = 0;
  mem.SetPixelFormat(lx1g);
  // Matrix column 7 of row 0 holds 63: level 63 is not above it.
  EXPECT_EQ(mem.PixelAsRGB(7, 0).r, 0);
  TLxBitmap tb;
  tb.SetLocation(lxTBitmap);
  tb.Assign(rgb);
  ASSERT_EQ(tb.Location(), lxTBitmap);
  tb.BlackWhiteMethod = 0;
  tb.SetPixelFormat(lx1g);
  ASSERT_EQ(tb.PixelFormat(), lx1g);
  for (int x = 0; x < 8; ++x) EXPECT_EQ(tb.PixelAsRGB(x, 0).r, 255) << x;
}

TEST(ConversionThreshold, MeanGrayAndProgress) {
  TLxBitmap g(4, 3, lx8g);
  uint8_t values[12] = {0, 10, 20, 30, 100, 110, 120, 130, 200, 210, 220, 230};
  for (int i = 0; i < 12; ++i) g.SetPixels8(i % 4, i / 4, values[i]);
  EXPECT_EQ(AverageColor(g), CreateRGB(115, 115, 115));
  TLxBitmap bw;
  int calls = 0;
  ProgressRecord progress;
  progress.OnProgressData = &calls;
  progress.OnProgressCode = [](void* data, void*, int percent) {
    ++*static_cast<int*>(data);
    EXPECT_LE(percent, 100);
  };
  ConvertTo1BitThreshold(g, bw, -1, &progress);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(progress.Value, 3);
  EXPECT_DOUBLE_EQ(progress.Per1, 100 / 3.5);
  ASSERT_EQ(bw.PixelFormat(), lx1g);
  for (int i = 0; i < 12; ++i)
    EXPECT_EQ(bw.PixelAsRGB(i % 4, i / 4).r == 255, values[i] >= 115) << i;
  // An explicit threshold, and a 1-bit source copied as it is.
  ConvertTo1BitThreshold(g, bw, 200, nullptr);
  EXPECT_EQ(bw.PixelAsRGB(0, 2).r, 255);
  EXPECT_EQ(bw.PixelAsRGB(3, 1).r, 0);
  TLxBitmap copy;
  ConvertTo1BitThreshold(bw, copy, -1, nullptr);
  EXPECT_EQ(copy.PixelFormat(), lx1g);
  EXPECT_EQ(copy.PixelAsRGB(0, 2).r, 255);
  // Maximum entropy splits a two-peak histogram between the peaks.
  TLxBitmap two(10, 1, lx8g);
  for (int x = 0; x < 10; ++x) two.SetPixels8(x, 0, x < 5 ? 40 : 200);
  ConvertTo1BitThreshold(two, bw, -2, nullptr);
  EXPECT_EQ(bw.PixelAsRGB(0, 0).r, 0);
  EXPECT_EQ(bw.PixelAsRGB(9, 0).r, 255);
  // Through the matrix with method 1; RGB48 goes to 24 bits first.
  TLxBitmap w48(2, 1, lxRGB48);
  w48.SetPixelsRGB48(1, 0, 65535, 65535, 65535);
  w48.BlackWhiteMethod = 1;
  TLxBitmap dst;
  dst.Allocate(2, 1, lx1g);
  dst.CopyAndConvertFormat(w48);
  EXPECT_EQ(w48.PixelFormat(), lx24RGB);
  EXPECT_EQ(dst.PixelAsRGB(0, 0).r, 0);
  EXPECT_EQ(dst.PixelAsRGB(1, 0).r, 255);
  // Any other method leaves the destination alone.
  TLxBitmap src(2, 1, lx8g);
  TLxBitmap none;
  none.BlackWhiteMethod = 5;
  none.Allocate(2, 1, lx1g);
  none.Fill(1);
  none.CopyAndConvertFormat(src);
  EXPECT_EQ(none.PixelAsRGB(0, 0).r, 255);
}

// Every layout to every layout: gray levels survive each pair (within the precision of the
// layouts involved), and colours survive every pair of colour layouts. A fault in any rule
// (a channel order, a scale, a missing "through lx24RGB") shows here.
TEST(ConversionMatrix, EveryPairKeepsTheLevels) {
  SettingsGuard guard;
  UseCmykProfile = false;
  const PixelFormat all[] = {lx1g,  lx8p,   lx8g,    lx16g,    lx24RGB,
                             lx32f, lxCMYK, lxRGB48, lxCIELab, lx32RGB};
  const uint8_t levels[] = {0, 255, 0, 255};  // survive even lx1g
  for (PixelFormat s : all) {
    for (PixelFormat d : all) {
      if (s == d) continue;
      for (bool paged : {false, true}) {
        TLxBitmap start(4, 1, lx8g);
        for (int x = 0; x < 4; ++x) start.SetPixels8(x, 0, levels[x]);
        auto src = paged ? PagedBitmap(4, 1, lx8g) : std::make_unique<TLxBitmap>(4, 1, lx8g);
        src->AssignImage(start);
        src->SetPixelFormat(s);
        ASSERT_EQ(src->PixelFormat(), s);
        src->AlphaChannel()->SetPixels8(1, 0, 77);
        TLxBitmap dst;
        if (paged) {
          dst.FileThreshold = 0;
          dst.SetLocation(lxTempFile);
        }
        ASSERT_TRUE(dst.Allocate(4, 1, d));
        dst.CopyAndConvertFormat(*src);
        SCOPED_TRACE(testing::Message() << PixelFormatName(s) << " -> " << PixelFormatName(d)
                                        << (paged ? " paged" : ""));
        // L*a*b* bytes hold L * 2.5 but are read back as L * 255 / 100: white returns as 249.
        const int tol = (s == lxCIELab || d == lxCIELab) ? 6 : 1;
        for (int x = 0; x < 4; ++x) {
          TRGB c = dst.PixelAsRGB(x, 0);
          EXPECT_NEAR(c.r, levels[x], tol);
          EXPECT_NEAR(c.g, levels[x], tol);
          EXPECT_NEAR(c.b, levels[x], tol);
        }
        ASSERT_TRUE(dst.HasAlphaChannel()) << "alpha handed over";
        EXPECT_EQ(dst.AlphaChannel()->Pixels8(1, 0), 77);
        EXPECT_FALSE(src->HasAlphaChannel());
      }
    }
  }
}

TEST(ConversionMatrix, ColoursSurviveColourLayouts) {
  SettingsGuard guard;
  UseCmykProfile = false;
  const TRGB colours[] = {CreateRGB(200, 30, 10),   CreateRGB(10, 220, 40), CreateRGB(5, 6, 250),
                          CreateRGB(255, 255, 255), CreateRGB(0, 0, 0),     CreateRGB(90, 80, 70)};
  const PixelFormat colourLayouts[] = {lx24RGB, lx32RGB, lxRGB48, lxCMYK, lxCIELab, lx8p};
  for (PixelFormat s : colourLayouts)
    for (PixelFormat d : colourLayouts) {
      if (s == d) continue;
      TLxBitmap src(6, 1, lx24RGB);
      for (int x = 0; x < 6; ++x) src.SetPixelsRGB24(x, 0, colours[x]);
      src.SetPixelFormat(s);
      TLxBitmap dst(6, 1, d);
      dst.CopyAndConvertFormat(src);
      SCOPED_TRACE(testing::Message() << PixelFormatName(s) << " -> " << PixelFormatName(d));
      // L*a*b* bytes are coarse (a and b truncated to whole units, L in 0.4 steps).
      const int tol = (s == lxCIELab || d == lxCIELab) ? 12 : 1;
      for (int x = 0; x < 6; ++x) {
        TRGB c = dst.PixelAsRGB(x, 0);
        EXPECT_NEAR(c.r, colours[x].r, tol) << x;
        EXPECT_NEAR(c.g, colours[x].g, tol) << x;
        EXPECT_NEAR(c.b, colours[x].b, tol) << x;
      }
    }
}

TEST(ConversionMatrix, ExactStoredValues) {
  TLxBitmap rgb(1, 1, lx24RGB);
  rgb.SetPixelsRGB24(0, 0, CreateRGB(0x12, 0x34, 0x56));
  TLxBitmap w48(1, 1, lxRGB48);
  w48.CopyAndConvertFormat(rgb);
  uint16_t r, g, b;
  w48.PixelsRGB48(0, 0, r, g, b);
  EXPECT_EQ(r, 0x1212);
  EXPECT_EQ(g, 0x3434);
  EXPECT_EQ(b, 0x5656);
  TLxBitmap f(1, 1, lx32f);
  w48.SetPixelsRGB48(0, 0, 65535, 0, 0);
  f.CopyAndConvertFormat(w48);
  EXPECT_FLOAT_EQ(f.Pixels32f(0, 0), float(0.2126 * 65535 / 256 / 255));
  TLxBitmap g16(1, 1, lx16g);
  f.SetPixels32f(0, 0, 0.5f);
  g16.CopyAndConvertFormat(f);
  EXPECT_EQ(g16.Pixels16(0, 0), 32767);
  TLxBitmap p(1, 1, lx8p);
  g16.SetPixels16(0, 0, 0xAB12);
  p.CopyAndConvertFormat(g16);
  EXPECT_EQ(p.Pixels8(0, 0), 0xAB);
  EXPECT_EQ(p.GetPaletteEntry(200), CreateRGB(200, 200, 200));
  TLxBitmap x32(1, 1, lx32RGB);
  x32.CopyAndConvertFormat(rgb);
  EXPECT_EQ(x32.ScanLine(0)[0], 0x56);
  EXPECT_EQ(x32.ScanLine(0)[3], 255);
  // Same layout: no rule, nothing converted.
  TLxBitmap same(1, 1, lx24RGB);
  same.CopyAndConvertFormat(rgb);
  EXPECT_EQ(same.PixelsRGB24(0, 0), TRGB{});
  // A different size: nothing at all.
  TLxBitmap other(2, 1, lx8g);
  other.CopyAndConvertFormat(rgb);
  EXPECT_EQ(other.Pixels8(0, 0), 0);
}

TEST(ConversionMatrix, TrueColourToPaletteUsesTheQuantizer) {
  TLxBitmap rgb(3, 2, lx24RGB);
  const TRGB c[] = {CreateRGB(200, 0, 0), CreateRGB(0, 200, 0), CreateRGB(200, 0, 0),
                    CreateRGB(1, 2, 3),   CreateRGB(0, 200, 0), CreateRGB(1, 2, 3)};
  for (int i = 0; i < 6; ++i) rgb.SetPixelsRGB24(i % 3, i / 3, c[i]);
  TLxBitmap p;
  p.QuantizeColors = 16;
  p.Assign(rgb);
  p.SetPixelFormat(lx8p);
  ASSERT_EQ(p.PixelFormat(), lx8p);
  EXPECT_EQ(p.GetPaletteEntry(0), c[0]);
  EXPECT_EQ(p.GetPaletteEntry(1), c[1]);
  EXPECT_EQ(p.GetPaletteEntry(2), c[3]);
  EXPECT_EQ(p.GetPaletteEntry(3), TRGB{});
  EXPECT_EQ(p.GetPaletteEntry(255), TRGB{});
  for (int i = 0; i < 6; ++i) EXPECT_EQ(p.PixelAsRGB(i % 3, i / 3), c[i]);
}

TEST(ConversionCmyk, FormulaValues) {
  SettingsGuard guard;
  UseCmykProfile = false;
  EXPECT_FALSE(CmykProfileActive());
  EXPECT_EQ(RgbToCmyk(0x000000), (TCMYK{0, 0, 0, 1}));
  EXPECT_EQ(CmykToRgb(TCMYK{255, 255, 255, 255}), CreateRGB(255, 255, 255));
  // k = max = 200; each channel * 255 / 200.
  EXPECT_EQ(RgbToCmyk(PackBGR(CreateRGB(200, 100, 50))), (TCMYK{255, 127, 63, 200}));
  EXPECT_EQ(CmykToRgb(TCMYK{255, 127, 63, 200}), CreateRGB(200, 99, 49));
  TLxBitmap c(1, 1, lxCMYK);
  c.SetPixelsCMYK(0, 0, 0x80FF40FF);  // c 255, m 64, y 255, k 128 (bytes in memory order)
  EXPECT_EQ(c.PixelAsRGB(0, 0), CreateRGB(128, 32, 128));
}

TEST(ConversionCmyk, ProfileTransformsPrintableColours) {
  SettingsGuard guard;
  UseCmykProfile = true;
  ASSERT_TRUE(CmykProfileActive()) << "the bundled profile opens";
  TCMYK white = RgbToCmyk(0xFFFFFF);
  EXPECT_GE(white.c, 253);  // (almost) no ink
  EXPECT_GE(white.k, 253);
  TCMYK black = RgbToCmyk(0x000000);
  EXPECT_LE(black.k, 10);  // full black ink
  TRGB back = CmykToRgb(TCMYK{255, 255, 255, 255});
  EXPECT_GE(back.r, 250);
  EXPECT_GE(back.g, 250);
  EXPECT_GE(back.b, 250);
  back = CmykToRgb(TCMYK{0, 0, 0, 0});  // all four inks: black
  EXPECT_LE(back.r, 10);
  // Colours inside the printing gamut come back close; black stays black.
  for (uint32_t colour : {0x808080u, 0x4060A0u, 0xA08060u, 0xC0C0C0u, 0x000000u}) {
    TRGB r = CmykToRgb(RgbToCmyk(colour));
    TRGB o = UnpackBGR(colour);
    EXPECT_NEAR(r.r, o.r, 8) << std::hex << colour;
    EXPECT_NEAR(r.g, o.g, 8) << std::hex << colour;
    EXPECT_NEAR(r.b, o.b, 8) << std::hex << colour;
  }
  // The whole-row path gives the same bytes as the single-colour one, also on threads.
  TLxBitmap rgb(64, 4, lx24RGB);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 64; ++x)
      rgb.SetPixelsRGB24(x, y, CreateRGB(uint8_t(x * 4), uint8_t(y * 60), uint8_t(255 - x)));
  auto convert = [&rgb](TLxBitmap& out) {
    TLxBitmap copy;
    copy.Assign(rgb);
    out.Allocate(64, 4, lxCMYK);
    out.CopyAndConvertFormat(copy);
  };
  TLxBitmap a, b2, c2;
  std::thread t1([&] { convert(b2); }), t2([&] { convert(c2); });
  convert(a);
  t1.join();
  t2.join();
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 64; ++x) {
      TCMYK v = RgbToCmyk(PackBGR(rgb.PixelsRGB24(x, y)));
      uint32_t packed =
          uint32_t(v.c) | uint32_t(v.m) << 8 | uint32_t(v.y) << 16 | uint32_t(v.k) << 24;
      ASSERT_EQ(a.PixelsCMYK(x, y), packed);
      ASSERT_EQ(b2.PixelsCMYK(x, y), packed);
      ASSERT_EQ(c2.PixelsCMYK(x, y), packed);
    }
}

TEST(ConversionLab, KnownValues) {
  EXPECT_EQ(RgbToLab(0xFFFFFF), (TCIELab{255, 0, 0}));
  EXPECT_EQ(RgbToLab(0x000000), (TCIELab{0, 0, 0}));
  TCIELab red = RgbToLab(0xFF0000);
  EXPECT_EQ(red.l, 136);                                              // L 53.24 of 100
  EXPECT_EQ(red.a, 80);                                               // a 80.09
  EXPECT_EQ(red.b, 67);                                               // b 67.20
  EXPECT_EQ(LabToRgb(TCIELab{255, 0, 0}), CreateRGB(255, 255, 255));  // clamped
  EXPECT_EQ(LabToRgb(TCIELab{0, 0, 0}), CreateRGB(0, 0, 0));
}

// White, black and grays survive a trip through lxCIELab: exactly at the ends, within the
// 8-bit quantisation of L elsewhere (241 of the 256 levels exactly).
TEST(ConversionLab, GraysSurviveTheRoundTrip) {
  TLxBitmap ramp(256, 1, lx24RGB);
  for (int g = 0; g < 256; ++g) ramp.SetPixelsRGB24(g, 0, CreateRGB(g, g, g));
  TLxBitmap lab(256, 1, lxCIELab);
  lab.CopyAndConvertFormat(ramp);
  TLxBitmap back(256, 1, lx24RGB);
  back.CopyAndConvertFormat(lab);
  int exact = 0;
  for (int g = 0; g < 256; ++g) {
    const TRGB c = back.PixelAsRGB(g, 0);
    for (int v : {int(c.r), int(c.g), int(c.b)}) ASSERT_LE(std::abs(v - g), 1) << "gray " << g;
    exact += c == CreateRGB(g, g, g);
  }
  EXPECT_EQ(back.PixelAsRGB(0, 0), CreateRGB(0, 0, 0));
  EXPECT_EQ(back.PixelAsRGB(255, 0), CreateRGB(255, 255, 255));
  EXPECT_GE(exact, 240);
  EXPECT_EQ(lab.ScanLine(0)[3 * 255], 255);  // L 100
}

TEST(ConversionYCbCr, Values) {
  EXPECT_EQ(YCbCrToRgb(128, 128, 128), CreateRGB(128, 128, 128));
  EXPECT_EQ(YCbCrToRgb(76, 85, 255), CreateRGB(254, 0, 0));
  EXPECT_EQ(YCbCrToRgb(255, 0, 255), CreateRGB(255, 208, 28));  // green 208.35
  EXPECT_EQ(YCbCrToRgb(0, 255, 0), CreateRGB(0, 47, 225));
}

TEST(ConversionTwoColour, WhiteFirstGivesBlackAsBitZero) {
  TLxBitmap rgb(9, 3, lx24RGB);
  rgb.Fill(0xFFFFFF);
  rgb.SetPixelsRGB24(3, 1, CreateRGB(0, 0, 0));
  rgb.SetPixelsRGB24(8, 2, CreateRGB(0, 0, 0));
  TRGB c1, c2;
  auto bw = ExtractTwoColorBitmap(rgb, c1, c2);
  ASSERT_TRUE(bw);
  EXPECT_EQ(c1, CreateRGB(0, 0, 0));
  EXPECT_EQ(c2, CreateRGB(255, 255, 255));
  ASSERT_EQ(bw->PixelFormat(), lx1g);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 9; ++x)
      EXPECT_EQ(bw->PixelAsRGB(x, y).r, (x == 3 && y == 1) || (x == 8 && y == 2) ? 0 : 255);

  // Dark first: no swap, the first colour met is bit 0.
  TLxBitmap p(4, 1, lx8p);
  p.SetPaletteEntry(0, CreateRGB(10, 0, 0));
  p.SetPaletteEntry(1, CreateRGB(0, 200, 0));
  p.SetPixels8(2, 0, 1);
  auto two = ExtractTwoColorBitmap(p, c1, c2);
  ASSERT_TRUE(two);
  EXPECT_EQ(c1, CreateRGB(10, 0, 0));
  EXPECT_EQ(c2, CreateRGB(0, 200, 0));
  EXPECT_EQ(two->ScanLine(0)[0] & 0xF0, 0x20);

  TLxBitmap one(5, 5, lx24RGB);
  one.Fill(0x123456);
  EXPECT_FALSE(ExtractTwoColorBitmap(one, c1, c2));
  one.SetPixelsRGB24(1, 1, CreateRGB(1, 1, 1));
  one.SetPixelsRGB24(2, 3, CreateRGB(2, 2, 2));
  EXPECT_FALSE(ExtractTwoColorBitmap(one, c1, c2));
}

TEST(ConversionHelpers, HashSetInvertAndUtilities) {
  THash1 set(4);
  EXPECT_TRUE(set.Add(5));
  EXPECT_TRUE(set.Add(21));  // same bucket as 5
  EXPECT_FALSE(set.Add(5));
  EXPECT_FALSE(set.Add(21));
  EXPECT_TRUE(set.Add(0));
  EXPECT_EQ(set.Count(), 3);

  TLxBitmap b(3, 2, lx8g);
  b.Fill(0x0F);
  InvertBitmap(b);
  for (int i = 0; i < b.RowLen(); ++i) EXPECT_EQ(b.ScanLine(1)[i], 0xF0);

  EXPECT_EQ(CeilInt(1.2), 2);
  EXPECT_EQ(CeilInt(-1.2), -1);
  EXPECT_EQ(CeilInt(3.0), 3);
  EXPECT_EQ(FloorInt(-1.2), -2);
  EXPECT_EQ(FloorInt(1.8), 1);
  EXPECT_EQ(ClampInt(5, 0, 3), 3);
  EXPECT_EQ(ClampInt(-1, 0, 3), 0);
  EXPECT_EQ(ClampByte(300), 255);
  EXPECT_EQ(SwapRedBlue(0xAA112233), 0x332211u);
  EXPECT_TRUE(SameRGB(0x01123456, 0xFF123456));
  EXPECT_EQ(ColorToBGRA(0x0000FF, 0x80), 0x80FF0000u);
  EXPECT_EQ(ColorToTRGB(clSystemColor | 5), CreateRGB(255, 255, 255));
  EXPECT_EQ(ReverseBits8(0x01), 0x80);
  EXPECT_EQ(ReverseBits8(0x0D), 0xB0);
  EXPECT_EQ(ReverseBits32(0x00000001), 0x80000000u);
  EXPECT_EQ(ReverseBits32(0x12345678), 0x1E6A2C48u);
  int x1 = 5, y1 = 1, x2 = 2, y2 = 4;
  OrderRect(x1, y1, x2, y2);
  EXPECT_EQ(x1, 2);
  EXPECT_EQ(x2, 5);
  EXPECT_EQ(TBitmapBitCount(pf15bit), 15);
  EXPECT_EQ(TBitmapBitCount(pfCustom), 0);
  for (int i = 0; i < 256; ++i) {
    int r = 0;
    for (int bit = 0; bit < 8; ++bit) r |= ((i >> bit) & 1) << (7 - bit);
    ASSERT_EQ(ReverseBits8(uint8_t(i)), r);
  }
}

}  // namespace
}  // namespace lumenax
