// BMP reader on small files built byte by byte: header kinds and parameters, every depth,
// masks, alpha, RLE, progress, and hostile input.
#include <gtest/gtest.h>

#include "bitmap/settings.h"
#include "codecs/bmp/tests/bmp_test_util.h"
#include "tests/support/test_support.h"

namespace lumenax::test {
namespace {

// Rows of 24-bit pixels, bottom row first, each 0xRRGGBB, padded to 4 bytes.
std::vector<uint8_t> Rows24(const std::vector<std::vector<uint32_t>>& bottomUp) {
  Bytes b;
  for (auto& row : bottomUp) {
    for (uint32_t c : row) b.u8(c).u8(c >> 8).u8(c >> 16);
    while (b.size() % 4) b.u8(0);
  }
  return b.v;
}

TEST(BmpReader, HeaderKindsSetVersionResolutionAndDepth) {
  struct Case {
    uint32_t headerSize;
    int version;
  } cases[] = {{40, 1}, {64, 3}, {108, 0}, {124, 0}, {52, 0}};
  for (auto c : cases) {
    BmpSpec s;
    s.headerSize = c.headerSize;
    s.width = 2;
    s.height = 1;
    s.ppm = 3780;
    s.pixels = Rows24({{0x102030, 0x405060}});
    TLxBitmap b;
    TIOParamsVals p;
    ASSERT_FALSE(LoadBmp(MakeBmp(s), b, p).aborting) << c.headerSize;
    EXPECT_EQ(p.BmpVersion, c.version) << c.headerSize;
    EXPECT_EQ(p.DpiX, 96);
    EXPECT_EQ(p.DpiY, 96);
    EXPECT_EQ(p.Width, 2);
    EXPECT_EQ(p.Height, 1);
    EXPECT_EQ(p.BitsPerSample, 8);
    EXPECT_EQ(p.SamplesPerPixel, 3);
    EXPECT_EQ(b.PixelFormat(), lx24RGB);
    EXPECT_EQ(Rgb(b, 0, 0), 0x102030u);
    EXPECT_EQ(Rgb(b, 1, 0), 0x405060u);
  }
  BmpSpec s;
  s.ppm = 2835;
  s.pixels = Rows24({{1}});
  TLxBitmap b;
  TIOParamsVals p;
  LoadBmp(MakeBmp(s), b, p);
  EXPECT_EQ(p.DpiX, 72);
  s.ppm = 0;
  LoadBmp(MakeBmp(s), b, p);
  EXPECT_EQ(p.DpiX, DefaultDPI);
}

TEST(BmpReader, CoreHeaderWithPaletteAndDataOffset) {
  // OS/2 1.x: 3-byte palette entries, 2^bits of them; resolution is the default.
  Bytes f;
  f.u8('B').u8('M').u32(0).u32(0).u32(14 + 12 + 16 * 3);
  f.u32(12).u16(3).u16(2).u16(1).u16(4);
  for (int i = 0; i < 16; ++i) f.u8(i).u8(i * 2).u8(i * 3);  // blue, green, red
  f.u8(0x12).u8(0x30).zeros(2);                              // bottom row: 1 2 3
  f.u8(0xF0).u8(0x00).zeros(2);                              // top row: 15 0 0
  TLxBitmap b;
  TIOParamsVals p;
  p.BmpCompression = 1;
  ASSERT_FALSE(LoadBmp(f.v, b, p).aborting);
  EXPECT_EQ(p.BmpVersion, 2);
  EXPECT_EQ(p.BmpCompression, 0);
  EXPECT_EQ(p.DpiX, DefaultDPI);
  EXPECT_EQ(p.ColorMapCount, 16);
  EXPECT_EQ(p.BitsPerSample, 4);
  EXPECT_EQ(p.SamplesPerPixel, 1);
  EXPECT_EQ(Rgb(b, 0, 1), 0x030201u);
  EXPECT_EQ(Rgb(b, 2, 1), 0x090603u);
  EXPECT_EQ(Rgb(b, 0, 0), uint32_t(45 << 16 | 30 << 8 | 15));
}

TEST(BmpReader, OneBitPalettes) {
  auto file = [](uint32_t c0, uint32_t c1) {
    BmpSpec s;
    s.width = 3;
    s.height = 1;
    s.bits = 1;
    s.palette = {c0, c1};
    s.pixels = {0xA0, 0, 0, 0};  // 1 0 1
    return MakeBmp(s);
  };
  TLxBitmap b;
  TIOParamsVals p;
  // Black, white: the bits as stored.
  ASSERT_FALSE(LoadBmp(file(0x000000, 0xFFFFFF), b, p).aborting);
  EXPECT_EQ(b.PixelFormat(), lx1g);
  EXPECT_EQ(b.ScanLine(0)[0] & 0xE0, 0xA0);
  // White, black: inverted, so that 0 stays black in the bitmap.
  LoadBmp(file(0xFFFFFF, 0x000000), b, p);
  EXPECT_EQ(b.PixelFormat(), lx1g);
  EXPECT_EQ(b.ScanLine(0)[0] & 0xE0, 0x40);
  EXPECT_EQ(Rgb(b, 0, 0), 0u);
  EXPECT_EQ(Rgb(b, 1, 0), 0xFFFFFFu);
  // Any other pair of colours is decoded through the palette.
  LoadBmp(file(0xFF0000, 0x0000FF), b, p);
  EXPECT_EQ(b.PixelFormat(), lx24RGB);
  EXPECT_EQ(Rgb(b, 0, 0), 0x0000FFu);
  EXPECT_EQ(Rgb(b, 1, 0), 0xFF0000u);
  EXPECT_EQ(Rgb(b, 2, 0), 0x0000FFu);
  p.IsNativePixelFormat = true;
  LoadBmp(file(0xFF0000, 0x0000FF), b, p);
  EXPECT_EQ(b.PixelFormat(), lx8p);
  EXPECT_EQ(b.ScanLine(0)[0], 1);
  EXPECT_EQ(b.ScanLine(0)[1], 0);
  EXPECT_EQ(b.GetPaletteEntry(1), CreateRGB(0, 0, 255));
}

TEST(BmpReader, PaletteImagesAndIndicesBeyondThePalette) {
  // 8 bits, two colours listed; index 7 is beyond them and must come out black.
  BmpSpec s;
  s.width = 3;
  s.height = 2;
  s.bits = 8;
  s.colorsUsed = 2;
  s.palette = {0x112233, 0x445566};
  s.pixels = {0, 1, 7, 0, 1, 1, 0, 0};
  TLxBitmap b;
  TIOParamsVals p;
  ASSERT_FALSE(LoadBmp(MakeBmp(s), b, p).aborting);
  EXPECT_EQ(p.ColorMapCount, 2);
  EXPECT_EQ(b.PixelFormat(), lx24RGB);
  EXPECT_EQ(Rgb(b, 0, 1), 0x112233u);
  EXPECT_EQ(Rgb(b, 1, 1), 0x445566u);
  EXPECT_EQ(Rgb(b, 2, 1), 0u);
  EXPECT_EQ(Rgb(b, 0, 0), 0x445566u);
  p.IsNativePixelFormat = true;
  LoadBmp(MakeBmp(s), b, p);
  EXPECT_EQ(b.PixelFormat(), lx8p);
  EXPECT_EQ(b.ScanLine(1)[2], 7);
  EXPECT_EQ(b.GetPaletteEntry(7), TRGB{});
  EXPECT_EQ(b.GetPaletteEntry(1), CreateRGB(0x44, 0x55, 0x66));

  // 4 bits, colours-used 300 counts as 0: all 16 entries are read.
  BmpSpec f;
  f.width = 3;
  f.height = 1;
  f.bits = 4;
  f.colorsUsed = 300;
  for (uint32_t i = 0; i < 16; ++i) f.palette.push_back(i * 0x111111);
  f.pixels = {0x1F, 0x20, 0, 0};
  p.IsNativePixelFormat = false;
  ASSERT_FALSE(LoadBmp(MakeBmp(f), b, p).aborting);
  EXPECT_EQ(p.ColorMapCount, 16);
  EXPECT_EQ(Rgb(b, 0, 0), 0x111111u);
  EXPECT_EQ(Rgb(b, 1, 0), 0xFFFFFFu);
  EXPECT_EQ(Rgb(b, 2, 0), 0x222222u);
}

TEST(BmpReader, LongHeadersReadThePaletteRightAfterThem) {
  for (uint32_t hs : {108u, 124u}) {
    BmpSpec s;
    s.headerSize = hs;
    s.width = 2;
    s.height = 1;
    s.bits = 8;
    s.colorsUsed = 2;
    s.palette = {0xABCDEF, 0x123456};
    s.pixels = {1, 0, 0, 0};
    s.zeroOffset = true;
    TLxBitmap b;
    TIOParamsVals p;
    ASSERT_FALSE(LoadBmp(MakeBmp(s), b, p).aborting);
    EXPECT_EQ(Rgb(b, 0, 0), 0x123456u) << hs;
    EXPECT_EQ(Rgb(b, 1, 0), 0xABCDEFu) << hs;
  }
}

TEST(BmpReader, SixteenBitComponentsAreWidenedToFullRange) {
  BmpSpec s;
  s.width = 3;
  s.height = 1;
  s.bits = 16;
  s.pixels = {0xFF, 0x7F, 0x21, 0x04, 0x00, 0x7C, 0, 0};  // white, (1,1,1), red
  TLxBitmap b;
  TIOParamsVals p;
  ASSERT_FALSE(LoadBmp(MakeBmp(s), b, p).aborting);
  EXPECT_EQ(p.BitsPerSample, 5);
  EXPECT_EQ(p.SamplesPerPixel, 3);
  EXPECT_EQ(Rgb(b, 0, 0), 0xFFFFFFu);
  EXPECT_EQ(Rgb(b, 1, 0), 0x080808u);
  EXPECT_EQ(Rgb(b, 2, 0), 0xFF0000u);
  // 5-6-5 through bit fields: white is white, green 1 of 63 is 4.
  s.compression = 3;
  s.masks = {0xF800, 0x07E0, 0x001F};
  s.pixels = {0xFF, 0xFF, 0x20, 0x00, 0x1F, 0x00, 0, 0};
  ASSERT_FALSE(LoadBmp(MakeBmp(s), b, p).aborting);
  EXPECT_EQ(Rgb(b, 0, 0), 0xFFFFFFu);
  EXPECT_EQ(Rgb(b, 1, 0), 0x000400u);
  EXPECT_EQ(Rgb(b, 2, 0), 0x0000FFu);
}

TEST(BmpReader, MasksOfShortHeadersComeBeforeThePalette) {
  // As written by every tool: header, three masks, then the palette.
  BmpSpec s;
  s.width = 1;
  s.height = 1;
  s.bits = 16;
  s.compression = 3;
  s.colorsUsed = 2;
  s.masks = {0xF800, 0x07E0, 0x001F};
  s.palette = {0x010101, 0x020202};
  s.pixels = {0x00, 0xF8, 0, 0};
  TLxBitmap b;
  TIOParamsVals p;
  ASSERT_FALSE(LoadBmp(MakeBmp(s), b, p).aborting);
  EXPECT_EQ(Rgb(b, 0, 0), 0xFF0000u);
  EXPECT_EQ(p.ColorMapCount, 2);
  EXPECT_EQ(p.ColorMap[1], CreateRGB(2, 2, 2));
}

std::vector<uint8_t> Pixels32(const std::vector<uint32_t>& words) {
  Bytes b;
  for (uint32_t w : words) b.u32(w);
  return b.v;
}

TEST(BmpReader, ThirtyTwoBitAlphaRule) {
  BmpSpec s;
  s.width = 2;
  s.height = 2;
  s.bits = 32;
  TLxBitmap b;
  TIOParamsVals p;
  // Fourth bytes all 0, or all 255: no alpha channel.
  for (uint32_t a : {0u, 0xFFu}) {
    s.pixels = Pixels32({a << 24 | 0x112233, a << 24 | 1, a << 24 | 2, a << 24 | 3});
    ASSERT_FALSE(LoadBmp(MakeBmp(s), b, p).aborting);
    EXPECT_FALSE(b.HasAlphaChannel());
    EXPECT_EQ(p.SamplesPerPixel, 4);
    EXPECT_EQ(Rgb(b, 0, 1), 0x112233u);
  }
  // A mix: kept as alpha, on the rows of its colours, also for top-down files.
  s.pixels = Pixels32({0x80112233, 0xFF000001, 0x00000002, 0x10000003});
  for (bool topDown : {false, true}) {
    s.height = topDown ? -2 : 2;
    ASSERT_FALSE(LoadBmp(MakeBmp(s), b, p).aborting);
    ASSERT_TRUE(b.HasAlphaChannel());
    int first = topDown ? 0 : 1;
    EXPECT_EQ(Rgb(b, 0, first), 0x112233u);
    EXPECT_EQ(b.GetAlphaValue(0, first), 0x80);
    EXPECT_EQ(b.GetAlphaValue(1, first), 0xFF);
    EXPECT_EQ(b.GetAlphaValue(0, 1 - first), 0x00);
    EXPECT_EQ(b.GetAlphaValue(1, 1 - first), 0x10);
  }
  // Without BmpKeepAlpha the fourth byte is skipped.
  LoadBmp(MakeBmp(s), b, p, /*keepAlpha=*/false);
  EXPECT_FALSE(b.HasAlphaChannel());
  EXPECT_EQ(Rgb(b, 1, 1), 3u);
}

TEST(BmpReader, ThirtyTwoBitMasksAreHonoured) {
  BmpSpec s;
  s.width = 1;
  s.height = 1;
  s.bits = 32;
  s.compression = 3;
  TLxBitmap b;
  TIOParamsVals p;
  // The standard masks: blue, green, red, fourth byte as alpha.
  s.masks = {0xFF0000, 0xFF00, 0xFF};
  s.pixels = Pixels32({0x80102030});
  ASSERT_FALSE(LoadBmp(MakeBmp(s), b, p).aborting);
  EXPECT_EQ(Rgb(b, 0, 0), 0x102030u);
  EXPECT_EQ(b.GetAlphaValue(0, 0), 0x80);
  // Red in the top byte, blue in the third (as in the BMP Suite's rgb32bf).
  s.masks = {0xFF000000, 0x00000FF0, 0x00FF0000};
  s.pixels = Pixels32({0xAABBCCD0});
  ASSERT_FALSE(LoadBmp(MakeBmp(s), b, p).aborting);
  EXPECT_EQ(Rgb(b, 0, 0), 0xAACDBBu);
  EXPECT_FALSE(b.HasAlphaChannel());
  // 10-bit components keep their top 8 bits; the masks of a 124-byte header are its own,
  // with the alpha mask.
  s.headerSize = 124;
  s.masks = {0x3FF00000, 0x000FFC00, 0x000003FF, 0xC0000000};
  s.pixels = Pixels32({0x3FF00000u | (0x200u << 10) | 0x3Fu | 0x40000000u});
  ASSERT_FALSE(LoadBmp(MakeBmp(s), b, p).aborting);
  EXPECT_EQ(Rgb(b, 0, 0), 0xFF800Fu);
  EXPECT_EQ(b.GetAlphaValue(0, 0), 0x55);
}

TEST(BmpReader, Rle8RunsDeltasAndTheRightEdge) {
  BmpSpec s;
  s.width = 4;
  s.height = 3;
  s.bits = 8;
  s.compression = 1;
  s.colorsUsed = 4;
  s.palette = {0x000000, 0x111111, 0x222222, 0x333333};
  Bytes d;
  d.u8(2).u8(3).u8(5).u8(1);              // bottom row: 3 3, then 1 across the edge
  d.u8(3).u8(0);                          // padding beyond the edge, as ImageMagick writes
  d.u8(0).u8(0);                          // end of line
  d.u8(0).u8(2).u8(1).u8(0);              // delta: one right
  d.u8(0).u8(3).u8(2).u8(3).u8(1).u8(0);  // absolute 2 3 1, padded
  d.u8(0).u8(3).u8(1).u8(1).u8(1).u8(0);  // absolute run beyond the edge
  d.u8(0).u8(0);
  d.u8(0).u8(2).u8(2).u8(0);  // delta: two right
  d.u8(1).u8(2);
  d.u8(0).u8(1);  // end of bitmap
  s.pixels = d.v;
  TLxBitmap b;
  TIOParamsVals p;
  LoadResult r = LoadBmp(MakeBmp(s), b, p);
  ASSERT_FALSE(r.aborting);
  EXPECT_EQ(p.BmpCompression, 1);
  const uint32_t want[3][4] = {{0, 0, 0x222222, 0},
                               {0, 0x222222, 0x333333, 0x111111},
                               {0x333333, 0x333333, 0x111111, 0x111111}};
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(Rgb(b, x, y), want[y][x]) << x << "," << y;
  EXPECT_EQ(r.progress, (std::vector<int>{66, 100}));
}

TEST(BmpReader, Rle4RunsAreCutAtTheEdge) {
  BmpSpec s;
  s.width = 3;
  s.height = 2;
  s.bits = 4;
  s.compression = 2;
  s.colorsUsed = 4;
  s.palette = {0x000000, 0x111111, 0x222222, 0x333333};
  Bytes d;
  d.u8(5).u8(0x12);  // 1 2 1 (2 1 dropped)
  d.u8(0).u8(0);
  d.u8(0).u8(3).u8(0x32).u8(0x10);  // absolute 3 2 1: two bytes, no pad
  d.u8(0).u8(1);
  s.pixels = d.v;
  TLxBitmap b;
  TIOParamsVals p;
  p.IsNativePixelFormat = true;
  ASSERT_FALSE(LoadBmp(MakeBmp(s), b, p).aborting);
  ASSERT_EQ(b.PixelFormat(), lx8p);
  const uint8_t* bottom = b.ScanLine(1);
  EXPECT_EQ(bottom[0], 1);
  EXPECT_EQ(bottom[1], 2);
  EXPECT_EQ(bottom[2], 1);
  const uint8_t* top = b.ScanLine(0);
  EXPECT_EQ(top[0], 3);
  EXPECT_EQ(top[1], 2);
  EXPECT_EQ(top[2], 1);
  EXPECT_EQ(b.GetPaletteEntry(3), CreateRGB(0x33, 0x33, 0x33));
}

TEST(BmpReader, ProgressReportsEachWholePercentOnce) {
  BmpSpec s;
  s.width = 1;
  s.height = 100;
  s.pixels.assign(400, 7);
  TLxBitmap b;
  TIOParamsVals p;
  LoadResult r = LoadBmp(MakeBmp(s), b, p);
  ASSERT_FALSE(r.aborting);
  std::vector<int> want;
  for (int i = 0; i < 100; ++i) want.push_back(i);
  EXPECT_EQ(r.progress, want);
  // 200 rows: 0, 1, ... each once, never 100.
  s.height = 200;
  s.pixels.assign(800, 7);
  r = LoadBmp(MakeBmp(s), b, p);
  EXPECT_EQ(r.progress.size(), 100u);
  EXPECT_EQ(r.progress.back(), 99);
}

TEST(BmpReader, AbortFromTheProgressHandlerStopsReading) {
  BmpSpec s;
  s.width = 1;
  s.height = 100;
  s.pixels.assign(400, 7);
  TLxBitmap b;
  TIOParamsVals p;
  LoadResult r = LoadBmp(MakeBmp(s), b, p, true, false, /*abortAtCall=*/10);
  EXPECT_TRUE(r.aborting);
  EXPECT_EQ(r.progress.size(), 11u);
  // Rows 0..9 of the file (the bottom ten) were read; the 11th report came before the 11th.
  EXPECT_EQ(Rgb(b, 0, 99), 0x070707u);
  EXPECT_EQ(Rgb(b, 0, 90), 0x070707u);
  EXPECT_EQ(Rgb(b, 0, 89), 0u);
  EXPECT_EQ(Rgb(b, 0, 0), 0u);
}

TEST(BmpReader, InfoOnlyAndZeroSizes) {
  BmpSpec s;
  s.width = 5;
  s.height = 4;
  s.bits = 8;
  s.pixels.assign(32, 0);
  TLxBitmap b;
  TIOParamsVals p;
  ASSERT_FALSE(LoadBmp(MakeBmp(s), b, p, true, /*infoOnly=*/true).aborting);
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_EQ(p.Width, 5);
  EXPECT_EQ(p.Height, 4);
  EXPECT_EQ(p.BitsPerSample, 8);
  EXPECT_EQ(p.ColorMapCount, 256);
  s.width = 0;
  ASSERT_FALSE(LoadBmp(MakeBmp(s), b, p).aborting);
  EXPECT_TRUE(b.IsEmpty());
}

TEST(BmpReader, NoFileHeader) {
  BmpSpec s;
  s.width = 1;
  s.height = 1;
  s.pixels = Rows24({{0xCAFE01}});
  std::vector<uint8_t> f = MakeBmp(s);
  f.erase(f.begin(), f.begin() + 14);
  TLxMemStream stream(f.data(), int64_t(f.size()));
  TLxBitmap b;
  TIOParamsVals p;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  std::unique_ptr<TLxMask> mask;
  ReadBMPStream(stream, b, 0, true, mask, true, false, progress, p);
  ASSERT_FALSE(aborting);
  EXPECT_EQ(Rgb(b, 0, 0), 0xCAFE01u);
}

TEST(BmpReader, WrongSignatureChangesNothing) {
  BmpSpec s;
  s.pixels = Rows24({{1}});
  std::vector<uint8_t> f = MakeBmp(s);
  f[1] = 'A';
  TLxBitmap b(3, 3, lx8g);
  TIOParamsVals p;
  p.Width = 77;
  p.BmpVersion = 9;
  LoadResult r = LoadBmp(f, b, p);
  EXPECT_TRUE(r.aborting);
  EXPECT_EQ(r.reason.Code, TLxFailure::BadSignature);
  EXPECT_EQ(r.reason.Offset, 0);
  EXPECT_EQ(p.Width, 77);
  EXPECT_EQ(p.BmpVersion, 9);
  EXPECT_EQ(b.Width(), 3);
}

TEST(BmpReader, TruncatedRowsAreDecodedAndTheRestIsBlack) {
  BmpSpec s;
  s.width = 2;
  s.height = 4;
  s.pixels = Rows24(
      {{0x111111, 0x222222}, {0x333333, 0x444444}, {0x555555, 0x666666}, {0x777777, 0x888888}});
  std::vector<uint8_t> f = MakeBmp(s);
  f.resize(f.size() - 8 - 4);  // the third row keeps one pixel and a byte of the next
  // A bitmap that held something before: unread pixels must not show it.
  TLxBitmap b;
  b.Allocate(2, 4, lx24RGB);
  b.Fill(0xFFFFFF);
  TIOParamsVals p;
  LoadResult r = LoadBmp(f, b, p);
  EXPECT_TRUE(r.aborting);
  EXPECT_EQ(r.reason.Code, TLxFailure::Truncated);
  EXPECT_EQ(r.reason.Detail, "truncated pixel data");
  EXPECT_EQ(r.reason.Offset, int64_t(f.size()));
  EXPECT_EQ(Rgb(b, 0, 3), 0x111111u);
  EXPECT_EQ(Rgb(b, 1, 2), 0x444444u);
  EXPECT_EQ(Rgb(b, 0, 1), 0x555555u);
  EXPECT_EQ(Rgb(b, 1, 1), 0x000066u);
  EXPECT_EQ(Rgb(b, 0, 0), 0u);
  EXPECT_EQ(Rgb(b, 1, 0), 0u);
}

TEST(BmpReader, TruncatedRleIsReportedAndUnreadRowsAreZero) {
  BmpSpec s;
  s.width = 2;
  s.height = 3;
  s.bits = 8;
  s.compression = 1;
  s.colorsUsed = 2;
  s.palette = {0, 0xFFFFFF};
  s.pixels = {2, 1, 0, 0, 1};  // a row, then the data stop in the middle of a pair
  TLxBitmap b;
  TIOParamsVals p;
  LoadResult cut = LoadBmp(MakeBmp(s), b, p);
  EXPECT_TRUE(cut.aborting);
  EXPECT_EQ(cut.reason.Code, TLxFailure::Truncated);
  EXPECT_EQ(cut.reason.Detail, "truncated RLE data");
  EXPECT_EQ(Rgb(b, 1, 2), 0xFFFFFFu);
  EXPECT_EQ(Rgb(b, 0, 1), 0u);
  // The same data ended by end-of-bitmap are a complete image.
  s.pixels = {2, 1, 0, 1};
  EXPECT_FALSE(LoadBmp(MakeBmp(s), b, p).aborting);
  // A file size field that says too little (the image size field is right) cuts nothing.
  s.pixels = {2, 1, 0, 0, 2, 1, 0, 0, 2, 1, 0, 1};
  s.imageSize = 12;
  std::vector<uint8_t> f = MakeBmp(s);
  f[2] = 66, f[3] = f[4] = f[5] = 0;  // 4 bytes of RLE data by this count
  EXPECT_FALSE(LoadBmp(f, b, p).aborting);
  EXPECT_EQ(Rgb(b, 1, 0), 0xFFFFFFu);
  // A delta beyond the last row ends decoding without leaving the bitmap.
  s.pixels = {2, 1, 0, 2, 200, 250, 2, 1};
  EXPECT_FALSE(LoadBmp(MakeBmp(s), b, p).aborting);
}

TEST(BmpReader, HostileHeadersAreRefusedBeforeAllocating) {
  TLxBitmap b;
  TIOParamsVals p;
  // Refused with this reason, and nothing allocated.
  auto refused = [&](const std::vector<uint8_t>& f, TLxFailure why) {
    b.FreeImage(true);
    LoadResult r = LoadBmp(f, b, p);
    EXPECT_EQ(r.reason.Code, why) << r.reason.Text();
    return r.aborting && b.IsEmpty();
  };
  BmpSpec s;
  s.width = 3000000;
  s.height = 2000000;
  s.pixels = Rows24({{1}});
  EXPECT_TRUE(refused(MakeBmp(s), TLxFailure::TooLarge));  // terabytes described by a few bytes
  s.width = -5;
  s.height = 2;
  EXPECT_TRUE(refused(MakeBmp(s), TLxFailure::BadHeader));
  s.width = 1;
  s.height = INT32_MIN;
  EXPECT_TRUE(refused(MakeBmp(s), TLxFailure::BadHeader));
  s.height = 1;
  s.bits = 2;  // a depth this reader does not decode
  EXPECT_TRUE(refused(MakeBmp(s), TLxFailure::Unsupported));
  s.bits = 24;
  std::vector<uint8_t> f = MakeBmp(s);
  f[14] = 0xFF, f[15] = 0xFF;  // info header larger than the file
  EXPECT_TRUE(refused(f, TLxFailure::Truncated));
  f = MakeBmp(s);
  f[14] = 8;  // info header too small to hold anything
  EXPECT_TRUE(refused(f, TLxFailure::BadHeader));
  f = MakeBmp(s);
  f[10] = 0xF0, f[11] = 0xFF;  // pixel data offset beyond the end
  EXPECT_TRUE(refused(f, TLxFailure::Truncated));
  f = MakeBmp(s);
  f.resize(20);  // cut inside the info header
  EXPECT_TRUE(refused(f, TLxFailure::Truncated));
  EXPECT_TRUE(refused({'B', 'M', 0}, TLxFailure::Truncated));
  EXPECT_TRUE(refused({'B', 'A', 0}, TLxFailure::BadSignature));
  // RLE: 2 bytes cannot describe a 100-megapixel image.
  s.width = 10000;
  s.height = 10000;
  s.bits = 8;
  s.compression = 1;
  s.pixels = {0, 1};
  EXPECT_TRUE(refused(MakeBmp(s), TLxFailure::TooLarge));
}

TEST(BmpReader, RefusalsNameTheFieldAndTheVariant) {
  TLxBitmap b;
  TIOParamsVals p;
  BmpSpec s;
  s.pixels = Rows24({{1}});
  s.compression = 4;  // embedded JPEG
  LoadResult r = LoadBmp(MakeBmp(s), b, p);
  EXPECT_EQ(r.reason.Code, TLxFailure::Unsupported);
  EXPECT_EQ(r.reason.Text(), "unsupported compression 4 at byte 30");
  s.compression = 5;  // embedded PNG
  EXPECT_EQ(LoadBmp(MakeBmp(s), b, p).reason.Code, TLxFailure::Unsupported);
  s.compression = 0;
  s.bits = 30000;
  r = LoadBmp(MakeBmp(s), b, p);
  EXPECT_EQ(r.reason.Code, TLxFailure::BadHeader);
  EXPECT_EQ(r.reason.Text(), "bad bit count 30000 at byte 28");
  s.bits = 16;
  s.compression = 1;  // RLE8 of 16-bit pixels
  EXPECT_EQ(LoadBmp(MakeBmp(s), b, p).reason.Code, TLxFailure::Unsupported);
  s.bits = 24;
  s.compression = 3;
  s.headerSize = 40;
  std::vector<uint8_t> f = MakeBmp(s);
  f.resize(14 + 40 + 6);  // the masks after the header are cut
  r = LoadBmp(f, b, p);
  EXPECT_EQ(r.reason.Code, TLxFailure::Truncated);
  EXPECT_EQ(r.reason.Detail, "truncated colour masks");
  // A header that leaves the stream no pixel bytes at all.
  s.compression = 0;
  f = MakeBmp(s);
  f.resize(14 + 40);
  r = LoadBmp(f, b, p);
  EXPECT_EQ(r.reason.Code, TLxFailure::Truncated);
  EXPECT_EQ(r.reason.Text(), "no pixel data at byte 54");
}

// Rows of 24 and 32 bits are plain rows whatever the compression field says (an RLE or
// alpha-mask code by mistake loses nothing); embedded JPEG and PNG stay refused above.
TEST(BmpReader, CompressionCodesOfTrueColourRowsReadPlainRows) {
  for (int bits : {24, 32}) {
    for (uint32_t compression : {1u, 2u, 6u}) {
      if (bits == 32 && compression == 6) continue;  // alpha bit fields: masks are honoured
      BmpSpec s;
      s.width = 2;
      s.height = 2;
      s.bits = bits;
      s.compression = compression;
      if (bits == 24)
        s.pixels = Rows24({{0x102030, 0x405060}, {0x708090, 0xA0B0C0}});
      else
        s.pixels = {0x30, 0x20, 0x10, 0x80, 0x60, 0x50, 0x40, 0x80,
                    0x90, 0x80, 0x70, 0x80, 0xC0, 0xB0, 0xA0, 0x80};
      TLxBitmap b;
      TIOParamsVals p;
      LoadResult r = LoadBmp(MakeBmp(s), b, p);
      SCOPED_TRACE(std::to_string(bits) + " bits, compression " + std::to_string(compression));
      ASSERT_FALSE(r.aborting) << r.reason.Text();
      EXPECT_EQ(Rgb(b, 0, 1), 0x102030u);
      EXPECT_EQ(Rgb(b, 1, 1), 0x405060u);
      EXPECT_EQ(Rgb(b, 0, 0), 0x708090u);
      EXPECT_EQ(Rgb(b, 1, 0), 0xA0B0C0u);
      if (bits == 32) {
        ASSERT_TRUE(b.HasAlphaChannel());  // 0x80 everywhere: a real alpha channel
        EXPECT_EQ(b.AlphaChannel()->ScanLine(0)[1], 0x80);
      }
      EXPECT_EQ(p.BmpCompression, compression == 6 ? kBmpUncompressed : kBmpRunLength);
    }
  }
}

TEST(BmpReader, PixelCapRefusesBeforeAllocating) {
  BmpSpec s;
  s.width = 100;
  s.height = 100;
  s.bits = 8;
  s.pixels.assign(100 * 100, 0);
  TLxBitmap b;
  TIOParamsVals p;
  LoadResult r = LoadBmp(MakeBmp(s), b, p, true, false, -1, /*maxPixels=*/9999);
  EXPECT_TRUE(r.aborting);
  EXPECT_EQ(r.reason.Code, TLxFailure::TooLarge);
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_EQ(p.Width, 100);  // the header is read as without the cap
  EXPECT_FALSE(LoadBmp(MakeBmp(s), b, p, true, false, -1, /*maxPixels=*/10000).aborting);
  EXPECT_EQ(b.Width(), 100);
  s.compression = 1;  // the same cap for RLE data
  s.pixels = {0, 1};
  EXPECT_EQ(LoadBmp(MakeBmp(s), b, p, true, false, -1, 9999).reason.Code, TLxFailure::TooLarge);
}

TEST(BmpReader, DecodesIntoPagedBitmaps) {
  // Rows that live in the paging file are reached one at a time.
  BmpSpec s;
  s.width = 3;
  s.height = 3;
  s.pixels = Rows24({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
  TLxBitmap b;
  b.FileThreshold = 0;
  b.SetLocation(lxTempFile);
  TIOParamsVals p;
  ASSERT_FALSE(LoadBmp(MakeBmp(s), b, p).aborting);
  ASSERT_EQ(b.Location(), lxTempFile);
  EXPECT_EQ(Rgb(b, 0, 2), 1u);
  EXPECT_EQ(Rgb(b, 2, 0), 9u);
  BmpSpec r;
  r.width = 2;
  r.height = 2;
  r.bits = 8;
  r.compression = 1;
  r.colorsUsed = 2;
  r.palette = {0x010203, 0x040506};
  r.pixels = {2, 1, 0, 0, 1, 0, 1, 1, 0, 1};
  ASSERT_FALSE(LoadBmp(MakeBmp(r), b, p).aborting);
  EXPECT_EQ(Rgb(b, 1, 1), 0x040506u);
  EXPECT_EQ(Rgb(b, 0, 0), 0x010203u);
  EXPECT_EQ(Rgb(b, 1, 0), 0x040506u);
}

}  // namespace
}  // namespace lumenax::test
