#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "bitmap/bitmap.h"
#include "bitmap/conversion.h"
#include "bitmap/settings.h"
#include "tests/support/test_support.h"

namespace lumenax {
namespace {

// Where stored pixel (x, y) of a w x h image must appear after AutoOrient(o).
void Expected(int o, int w, int h, int x, int y, int& vx, int& vy) {
  switch (o) {
    case 2:
      vx = w - 1 - x, vy = y;
      break;
    case 3:
      vx = w - 1 - x, vy = h - 1 - y;
      break;
    case 4:
      vx = x, vy = h - 1 - y;
      break;
    case 5:
      vx = y, vy = x;
      break;  // stored transposed
    case 6:
      vx = h - 1 - y, vy = x;
      break;
    case 7:
      vx = h - 1 - y, vy = w - 1 - x;
      break;  // stored transversed
    case 8:
      vx = y, vy = w - 1 - x;
      break;
    default:
      vx = x, vy = y;
      break;
  }
}

// Bytes of pixel (x, y), or the bit for lx1g.
std::vector<uint8_t> PixelBytes(TLxBitmap& b, int x, int y) {
  const uint8_t* row = b.ScanLine(y);
  if (b.PixelFormat() == lx1g) return {uint8_t((row[x >> 3] >> (7 - (x & 7))) & 1)};
  int n = b.BitCount() / 8;
  return std::vector<uint8_t>(row + x * n, row + x * n + n);
}

TEST(Orientation, EveryCodeEveryLayoutWithAlpha) {
  const PixelFormat layouts[] = {lx1g,  lx8p,   lx8g,    lx16g,    lx24RGB,
                                 lx32f, lxCMYK, lxRGB48, lxCIELab, lx32RGB};
  std::mt19937 rng(3);
  for (PixelFormat pf : layouts) {
    for (bool paged : {false, true}) {
      for (int o = 0; o <= 9; ++o) {
        const int w = 11, h = 5;  // odd width: lx1g rows end in a partial byte
        TLxBitmap src;
        if (paged) {
          src.FileThreshold = 0;
          src.SetLocation(lxTempFile);
        }
        ASSERT_TRUE(src.Allocate(w, h, pf));
        for (int y = 0; y < h; ++y) {
          uint8_t* row = src.ScanLine(y);
          for (int i = 0; i < src.RowLen(); ++i) row[i] = uint8_t(rng());
        }
        if (pf == lx8p) src.SetPaletteEntry(9, CreateRGB(1, 2, 3));
        TLxBitmap* alpha = src.AlphaChannel();
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x) alpha->SetPixels8(x, y, uint8_t(y * w + x));
        TLxBitmap out;
        out.Assign(src);
        AutoOrient(out, o);
        SCOPED_TRACE(testing::Message()
                     << PixelFormatName(pf) << " orientation " << o << (paged ? " paged" : ""));
        const bool turned = o >= 5 && o <= 8;
        ASSERT_EQ(out.Width(), turned ? h : w);
        ASSERT_EQ(out.Height(), turned ? w : h);
        ASSERT_EQ(out.PixelFormat(), pf);
        ASSERT_TRUE(out.HasAlphaChannel());
        ASSERT_EQ(out.AlphaChannel()->Width(), out.Width());
        if (pf == lx8p) {
          EXPECT_EQ(out.GetPaletteEntry(9), CreateRGB(1, 2, 3));
        }
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x) {
            int vx, vy;
            Expected(o, w, h, x, y, vx, vy);
            ASSERT_EQ(PixelBytes(out, vx, vy), PixelBytes(src, x, y)) << x << "," << y;
            ASSERT_EQ(out.AlphaChannel()->Pixels8(vx, vy), uint8_t(y * w + x));
          }
        if (pf == lx1g && o == 2) {
          // The unused low bits of the last byte stay clear.
          for (int y = 0; y < h; ++y) EXPECT_EQ(out.ScanLine(y)[1] & 0x1F, 0);
        }
      }
    }
  }
}

// ImageMagick's -auto-orient on the same gray picture agrees for all eight codes.
TEST(Orientation, AgreesWithImageMagick) {
  const std::string magick = "/usr/bin/convert";
  if (!test::HaveProgram(magick)) GTEST_SKIP() << "ImageMagick (/usr/bin/convert) is not installed";
  test::TempDir dir;
  const int w = 7, h = 4;
  TLxBitmap src(w, h, lx8g);
  std::string pgm = "P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t v = uint8_t(10 + y * w + x);
      src.SetPixels8(x, y, v);
      pgm.push_back(char(v));
    }
  test::WriteFileBytes(dir / "in.pgm", std::vector<uint8_t>(pgm.begin(), pgm.end()));
  const char* names[] = {"",        "TopLeft",  "TopRight",    "BottomRight", "BottomLeft",
                         "LeftTop", "RightTop", "RightBottom", "LeftBottom"};
  for (int o = 1; o <= 8; ++o) {
    std::string out = (dir / ("o" + std::to_string(o) + ".pgm")).string();
    std::string cmd = magick + " " + test::ShellQuote((dir / "in.pgm").string()) + " -orient " +
                      names[o] + " -auto-orient " + test::ShellQuote(out);
    ASSERT_EQ(test::RunCommand(cmd), 0) << cmd;
    std::vector<uint8_t> bytes = test::ReadFileBytes(out);
    std::string text(bytes.begin(), bytes.end());
    std::istringstream in(text);
    std::string magic;
    int ow, oh, maxval;
    in >> magic >> ow >> oh >> maxval;
    in.get();
    size_t offset = size_t(in.tellg());
    TLxBitmap mine;
    mine.Assign(src);
    AutoOrient(mine, o);
    ASSERT_EQ(mine.Width(), ow) << o;
    ASSERT_EQ(mine.Height(), oh) << o;
    for (int y = 0; y < oh; ++y)
      for (int x = 0; x < ow; ++x)
        ASSERT_EQ(mine.Pixels8(x, y), bytes[offset + size_t(y) * ow + x])
            << names[o] << " " << x << "," << y;
  }
}

TEST(DibExport, HeaderTableRowsAndLog) {
  test::TempDir dir;
  auto saved = DebugLogFile;
  DebugLogFile = dir / "debug.log";

  TLxBitmap p(5, 3, lx8p);
  for (int i = 0; i < 256; ++i) p.SetPaletteEntry(i, CreateRGB(uint8_t(i), 1, 2));
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) p.SetPixels8(x, y, uint8_t(10 * y + x));
  std::vector<uint8_t> dib = _CopyBitmaptoDIBEx(p, 1, 1, 72, 96, 0, 4);
  // 3 x 2 pixels at 8 bits: rows of 4 bytes.
  ASSERT_EQ(dib.size(), size_t(4 * 2 + 44 + 1024));
  auto u32 = [&](size_t o) {
    return uint32_t(dib[o] | dib[o + 1] << 8 | dib[o + 2] << 16 | dib[o + 3] << 24);
  };
  EXPECT_EQ(u32(0), 40u);
  EXPECT_EQ(u32(4), 3u);
  EXPECT_EQ(u32(8), 2u);
  EXPECT_EQ(dib[12], 1);
  EXPECT_EQ(dib[14], 8);
  EXPECT_EQ(u32(24), 3779u);          // 96 dpi
  EXPECT_EQ(u32(28), 2834u);          // 72 dpi
  EXPECT_EQ(dib[40 + 4 * 7 + 2], 7);  // red of entry 7
  EXPECT_EQ(dib[40 + 4 * 7 + 0], 2);
  const size_t rows = 40 + 1024;
  EXPECT_EQ(dib[rows + 0], 21);  // bottom row first: row 2 from x 1
  EXPECT_EQ(dib[rows + 4], 11);
  EXPECT_EQ(dib[rows + 6], 13);

  TLxBitmap bw(10, 2, lx1g);
  bw.ScanLine(0)[0] = 0x5A, bw.ScanLine(0)[1] = 0xC0;
  dib = _CopyBitmaptoDIBEx(bw, 3, 0, 300, 300, 1, 0);
  ASSERT_EQ(dib.size(), size_t(4 + 44 + 8));
  EXPECT_EQ(dib[14], 1);
  EXPECT_EQ(dib[44], 255);
  EXPECT_EQ(dib[47], 255);
  // Bits 3..9 of 0101 1010 11: 1 1010 11, packed from the top bit.
  EXPECT_EQ(dib[48], 0xD6);

  TLxBitmap w48(2, 2, lxRGB48);
  w48.SetPixelsRGB48(1, 1, 0xFF00, 0x8000, 0x0100);
  dib = _CopyBitmaptoDIBEx(w48, 0, 0, 96, 96, 0, 0);
  ASSERT_EQ(dib.size(), size_t(8 * 2 + 44));
  EXPECT_EQ(dib[14], 24);
  EXPECT_EQ(dib[40 + 3], 1);  // blue of (1, 1), bottom row first
  EXPECT_EQ(dib[40 + 5], 0xFF);
  EXPECT_EQ(w48.PixelFormat(), lxRGB48) << "the caller's bitmap is not converted";

  EXPECT_TRUE(_CopyBitmaptoDIBEx(w48, 1, 1, 96, 96, 1, 1).empty());
  TLxBitmap empty;
  EXPECT_TRUE(_CopyBitmaptoDIBEx(empty, 0, 0, 96, 96, 0, 0).empty());
  // A rectangle reaching outside the image is kept inside it.
  dib = _CopyBitmaptoDIBEx(p, -4, 2, 96, 96, 99, 99);
  EXPECT_EQ(u32(4), 5u);
  EXPECT_EQ(u32(8), 1u);

  std::vector<uint8_t> log = test::ReadFileBytes(DebugLogFile);
  std::string text(log.begin(), log.end());
  DebugLogFile = saved;
  EXPECT_NE(text.find(" : _CopyBitmaptoDIBEx: begin\n"), std::string::npos);
  EXPECT_NE(text.find(" : _CopyBitmaptoDIBEx: allocate 1076 bytes\n"), std::string::npos);
  EXPECT_NE(text.find(" : _CopyBitmaptoDIBEx: lx8g or lx8p\n"), std::string::npos);
  EXPECT_NE(text.find(" : _CopyBitmaptoDIBEx: lx1g\n"), std::string::npos);
  EXPECT_NE(text.find(" : _CopyBitmaptoDIBEx: lx24RGB\n"), std::string::npos);
  EXPECT_NE(
      text.find(
          " : _CopyBitmaptoDIBEx: not supported pixel format, converting to 24bit and recurse\n"),
      std::string::npos);
  // Lines start with the date and time.
  EXPECT_EQ(text[4], '-');
  EXPECT_EQ(text[13], ':');
}

}  // namespace
}  // namespace lumenax
