#include "io/pam_dump.h"

#include <gtest/gtest.h>

#include "bitmap/bitmap.h"
#include "bitmap/errors.h"
#include "tests/support/test_support.h"

namespace lumenax {
namespace {

using test::RgbaImage;
using test::TempDir;

TEST(PamDump, ColoursAndAlphaAsTheLibraryReadsThem) {
  TempDir dir;
  TLxBitmap rgb(3, 2, lx24RGB);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x)
      rgb.SetPixelsRGB24(x, y, CreateRGB(uint8_t(x * 80), uint8_t(y * 200), 7));
  rgb.AlphaChannel()->SetPixels8(2, 1, 33);
  SaveBitmapAsPam(rgb, dir / "rgb.pam");
  RgbaImage pam, expected = test::BitmapToRgba(rgb);
  ASSERT_TRUE(test::ReadPamRgba(dir / "rgb.pam", pam));
  EXPECT_EQ(test::CountDifferentPixels(pam, expected), 0u);
  EXPECT_EQ(pam.at(2, 1)[3], 33);
  EXPECT_EQ(pam.at(1, 0)[0], 80);

  // Palette and one-bit layouts go through PixelAsRGB; no alpha channel means opaque.
  TLxBitmap pal(2, 2, lx8p);
  pal.SetPaletteEntry(1, CreateRGB(10, 20, 30));
  pal.SetPixels8(1, 0, 1);
  SaveBitmapAsPam(pal, dir / "pal.pam");
  ASSERT_TRUE(test::ReadPamRgba(dir / "pal.pam", pam));
  EXPECT_EQ(pam.at(1, 0)[0], 10);
  EXPECT_EQ(pam.at(1, 0)[2], 30);
  EXPECT_EQ(pam.at(0, 1)[3], 255);
  TLxBitmap bw(9, 1, lx1g);
  bw.Fill(0);
  bw.ScanLine(0)[1] = 0x80;  // pixel 8 white
  SaveBitmapAsPam(bw, dir / "bw.pam");
  ASSERT_TRUE(test::ReadPamRgba(dir / "bw.pam", pam));
  EXPECT_EQ(pam.at(8, 0)[1], 255);
  EXPECT_EQ(pam.at(7, 0)[1], 0);

  // Another program reads the file the same way.
  if (test::HaveProgram("/usr/bin/convert")) {
    std::string d = test::ShellQuote(dir.path().string());
    ASSERT_EQ(test::RunCommand("cd " + d + " && /usr/bin/convert rgb.pam PNG32:rgb.png"), 0);
    RgbaImage png;
    ASSERT_TRUE(test::ReadPngRgba(dir / "rgb.png", png));
    EXPECT_EQ(test::CountDifferentPixels(png, expected), 0u);
  }
}

TEST(PamDump, EmptyBitmapAndUnwritableTarget) {
  TempDir dir;
  TLxBitmap empty;
  SaveBitmapAsPam(empty, dir / "empty.pam");
  std::vector<uint8_t> bytes = test::ReadFileBytes(dir / "empty.pam");
  std::string text(bytes.begin(), bytes.end());
  EXPECT_NE(text.find("WIDTH 0\nHEIGHT 0\n"), std::string::npos);
  EXPECT_THROW(SaveBitmapAsPam(empty, dir / "no" / "x.pam"), EFCreateError);
}

}  // namespace
}  // namespace lumenax
