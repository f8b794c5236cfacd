// The icon and cursor readers on hand-made files: hostile directories and headers, palettes
// shorter than the depth allows, the three ways transparency is stored, cursors of every
// depth, PNG images, and image selection.
#include <gtest/gtest.h>

#include "bitmap/stream.h"
#include "codecs/bmp/bmp.h"
#include "codecs/ico/tests/ico_test_util.h"

namespace lumenax::test {
namespace {

const TRGB kBlack{0, 0, 0}, kWhite{255, 255, 255};
const TRGB kRed = CreateRGB(255, 0, 0), kBlue = CreateRGB(0, 0, 255), kGreen = CreateRGB(0, 255, 0);

TRGB PixelOf(Loaded& l, int x, int y) {
  return l.bitmap.PixelAsRGB(x, y);
}

// A 4-bit 5 x 3 image: index (x + y) mod 3 over red, green, blue; the left column transparent.
Dib SmallDib(int bits = 4) {
  Dib d;
  d.width = 5, d.height = 3, d.bits = bits;
  if (bits <= 8) {
    d.palette = {kRed, kGreen, kBlue};
    d.palette.resize(size_t(1) << bits, kBlack);
  }
  d.pixel = [](int x, int y) { return uint32_t((x + y) % 3); };
  d.transparent = [](int x, int) { return x == 0; };
  return d;
}

TEST(IcoReader, PaletteImagesWithTheirAndMask) {
  for (int bits : {4, 8}) {
    SCOPED_TRACE(bits);
    Loaded l;
    LoadIcon(MakeIconFile(1, {EntryFor(SmallDib(bits))}), l, false,
             [](TIOParamsVals& p) { p.IcoBackground = CreateRGB(1, 2, 3); });
    ASSERT_FALSE(l.aborting) << l.reason.Text();
    EXPECT_EQ(l.bitmap.PixelFormat(), lx24RGB);
    EXPECT_EQ(l.params.BitsPerSample, bits);
    EXPECT_EQ(l.params.SamplesPerPixel, 1);
    EXPECT_EQ(l.params.DpiX, 96);
    EXPECT_EQ(l.params.ColorMapCount, 1 << bits);
    RgbaImage im = l.Rgba();
    ASSERT_EQ(im.width, 5);
    ASSERT_EQ(im.height, 3);
    const TRGB colours[3] = {kRed, kGreen, kBlue};
    for (int y = 0; y < 3; ++y) {
      for (int x = 0; x < 5; ++x) {
        const uint8_t* p = im.at(x, y);
        const TRGB want = x == 0 ? CreateRGB(1, 2, 3) : colours[(x + y) % 3];
        EXPECT_EQ(p[0], want.r) << x << "," << y;
        EXPECT_EQ(p[2], want.b) << x << "," << y;
        EXPECT_EQ(p[3], x == 0 ? 0 : 255) << x << "," << y;
      }
    }
  }
}

TEST(IcoReader, HostileDirectoriesAndHeadersAreRefusedWithAReason) {
  const Bytes good = MakeIconFile(1, {EntryFor(SmallDib())});
  struct Case {
    const char* what;
    Bytes file;
    TLxFailure code;
  };
  std::vector<Case> cases;
  {
    Bytes b = good;
    b[4] = 200;  // 200 entries in a file that holds one
    cases.push_back({"directory past the end", b, TLxFailure::Truncated});
  }
  {
    Entry e = EntryFor(SmallDib());
    e.offset = 5000;
    cases.push_back({"offset past the end", MakeIconFile(1, {e}), TLxFailure::Truncated});
  }
  {
    Dib d = SmallDib();
    d.headerSize = 12;
    cases.push_back(
        {"info header below 40", MakeIconFile(1, {EntryFor(d)}), TLxFailure::BadHeader});
  }
  {
    Dib d = SmallDib();
    d.headerHeight = -6;
    cases.push_back({"negative height", MakeIconFile(1, {EntryFor(d)}), TLxFailure::BadHeader});
  }
  {
    Dib d = SmallDib();
    d.compression = 2;
    cases.push_back({"RLE", MakeIconFile(1, {EntryFor(d)}), TLxFailure::BadHeader});
  }
  {
    // A header claiming 100000 x 200000 pixels behind 0-size directory bytes.
    Dib d = SmallDib(24);
    Entry e = EntryFor(d);
    e.width = e.height = 0;
    e.data[4] = 0xA0, e.data[5] = 0x86, e.data[6] = 0x01, e.data[7] = 0;    // 100000
    e.data[8] = 0x40, e.data[9] = 0x0D, e.data[10] = 0x03, e.data[11] = 0;  // 200000
    cases.push_back({"100000 x 200000", MakeIconFile(1, {e}), TLxFailure::TooLarge});
  }
  for (int bits : {2, 16}) {
    Dib d = SmallDib(bits == 2 ? 1 : 24);
    d.bits = bits;
    d.palette.resize(bits == 2 ? 4 : 0);
    cases.push_back({"unsupported depth", MakeIconFile(1, {EntryFor(d)}), TLxFailure::Unsupported});
  }
  {
    Entry e = EntryFor(SmallDib());
    e.bitCount = 0, e.colours = 0;
    e.data[14] = 0;  // no bit count anywhere
    cases.push_back({"no bit count", MakeIconFile(1, {e}), TLxFailure::BadHeader});
  }
  for (Case& c : cases) {
    for (bool cursor : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (cursor ? " (cursor)" : ""));
      Loaded l;
      l.bitmap.Allocate(2, 2, lx8g);
      LoadIcon(c.file, l, cursor);
      EXPECT_TRUE(l.aborting);
      EXPECT_EQ(l.reason.Code, c.code) << l.reason.Text();
      EXPECT_EQ(l.bitmap.Width(), 2) << "the bitmap is left alone";
    }
  }
}

TEST(IcoReader, PaletteFollowsTheHeaderSizeAndColoursUsed) {
  // A 108-byte header and a palette of 3 colours: the pixels follow the third colour.
  Dib d = SmallDib(8);
  d.headerSize = 108;
  d.colorsUsed = 3;
  d.palette.resize(3);
  d.pixel = [](int x, int y) { return uint32_t(x == 4 ? 7 : (x + y) % 3); };  // 7: no colour
  for (bool cursor : {false, true}) {
    Entry e = EntryFor(d);
    // A cursor's colour count says 2: the header's count rules, as for icons.
    if (cursor) e.colours = 2;
    Loaded l;
    LoadIcon(MakeIconFile(cursor ? 2 : 1, {e}), l, cursor);
    ASSERT_FALSE(l.aborting) << l.reason.Text();
    EXPECT_EQ(l.params.ColorMapCount, 3);
    EXPECT_EQ(PixelOf(l, 1, 0), kGreen);
    EXPECT_EQ(PixelOf(l, 2, 0), kBlue);
    EXPECT_EQ(PixelOf(l, 3, 1), kGreen);
    EXPECT_EQ(PixelOf(l, 4, 2), kBlack) << "an index past the palette is black";
  }
}

TEST(IcoReader, CutDataKeepWhatIsThereAndSayTruncated) {
  Dib d = SmallDib(24);
  d.width = 4, d.height = 4;
  d.pixel = [](int, int) { return 0x00FFFFFFu; };
  Bytes file = MakeIconFile(1, {EntryFor(d)});
  const size_t colourStart = 6 + 16 + 40;
  const size_t rowLen = 12;
  // Two whole rows (the bottom ones) and a part of the third.
  file.resize(colourStart + 2 * rowLen + 5);
  Loaded l;
  LoadIcon(file, l);
  EXPECT_TRUE(l.aborting);
  EXPECT_EQ(l.reason.Code, TLxFailure::Truncated);
  ASSERT_EQ(l.bitmap.Height(), 4);
  EXPECT_EQ(PixelOf(l, 3, 2), kWhite);
  EXPECT_EQ(PixelOf(l, 0, 1), kWhite);
  EXPECT_EQ(PixelOf(l, 3, 1), kBlack) << "the rest of a cut row is zero";
  EXPECT_EQ(PixelOf(l, 0, 0), kBlack) << "unread rows are zero";

  // Whole colour rows without the AND mask are cut too.
  file = MakeIconFile(1, {EntryFor(d)});
  file.resize(colourStart + 4 * rowLen + 4);
  Loaded m;
  LoadIcon(file, m);
  EXPECT_TRUE(m.aborting);
  EXPECT_EQ(m.reason.Code, TLxFailure::Truncated);
  EXPECT_EQ(PixelOf(m, 0, 0), kWhite);
}

TEST(IcoReader, TwentyFourBitImagesUseTheirMask) {
  Dib d;
  d.width = 3, d.height = 2, d.bits = 24;
  d.pixel = [](int x, int) { return x == 2 ? 0x00123456u : 0u; };
  d.transparent = [](int x, int y) { return x == 0 && y == 0; };
  Loaded l;
  LoadIcon(MakeIconFile(1, {EntryFor(d)}), l);
  ASSERT_FALSE(l.aborting) << l.reason.Text();
  EXPECT_EQ(l.params.BitsPerSample, 8);
  EXPECT_EQ(l.params.SamplesPerPixel, 3);
  ASSERT_TRUE(l.mask);
  EXPECT_EQ(PixelOf(l, 0, 0), kWhite) << "transparent pixels take the background";
  EXPECT_EQ(PixelOf(l, 2, 1), CreateRGB(0x12, 0x34, 0x56));
  RgbaImage im = l.Rgba();
  EXPECT_EQ(im.at(0, 0)[3], 0);
  EXPECT_EQ(im.at(1, 0)[3], 255);

  // An empty mask gives an opaque image without alpha.
  d.transparent = [](int, int) { return false; };
  Loaded o;
  LoadIcon(MakeIconFile(1, {EntryFor(d)}), o);
  ASSERT_FALSE(o.aborting);
  EXPECT_FALSE(o.mask);
}

TEST(IcoReader, ThirtyTwoBitAlphaOrItsAndMask) {
  Dib d;
  d.width = 4, d.height = 2, d.bits = 32;
  d.pixel = [](int x, int) { return uint32_t(x * 60) << 24 | 0x00102030u; };
  d.transparent = [](int x, int) { return x == 3; };  // ignored: the alpha bytes rule
  Loaded l;
  LoadIcon(MakeIconFile(1, {EntryFor(d)}), l);
  ASSERT_FALSE(l.aborting);
  RgbaImage im = l.Rgba();
  for (int x = 0; x < 4; ++x) EXPECT_EQ(im.at(x, 1)[3], x * 60);
  EXPECT_EQ(im.at(1, 0)[0], 0x10);

  // Alpha bytes all 0: the AND mask decides; without a mask the image is opaque.
  d.pixel = [](int, int) { return 0x00102030u; };
  Loaded m;
  LoadIcon(MakeIconFile(1, {EntryFor(d)}), m);
  ASSERT_FALSE(m.aborting);
  im = m.Rgba();
  EXPECT_EQ(im.at(3, 0)[3], 0);
  EXPECT_EQ(im.at(2, 0)[3], 255);
  d.withMask = false;
  Loaded n;
  LoadIcon(MakeIconFile(1, {EntryFor(d)}), n);
  ASSERT_FALSE(n.aborting) << n.reason.Text();
  EXPECT_FALSE(n.mask);
}

TEST(IcoReader, OneBitImages) {
  // Index: x mod 2; the top row transparent. Pixel 0 of the top row is "screen", pixel 1
  // "inverted screen".
  Dib d;
  d.width = 2, d.height = 2, d.bits = 1;
  d.pixel = [](int x, int) { return uint32_t(x & 1); };
  d.transparent = [](int, int y) { return y == 0; };
  struct Case {
    std::vector<TRGB> palette;
    TRGB background;
    PixelFormat layout;
    TRGB bottom0, bottom1, top0, top1;
  };
  const TRGB bg = CreateRGB(9, 9, 9);
  const Case cases[] = {
      {{kBlack, kWhite}, kWhite, lx1g, kBlack, kWhite, kWhite, kBlack},
      {{kBlack, kWhite}, kBlack, lx1g, kBlack, kWhite, kBlack, kWhite},
      // White then black: the same picture, inverted into the bilevel layout.
      {{kWhite, kBlack}, kWhite, lx1g, kWhite, kBlack, kWhite, kBlack},
      // Other pairs through the palette; transparent pixels take the background.
      {{kRed, kBlue}, bg, lx24RGB, kRed, kBlue, bg, bg},
  };
  for (const Case& c : cases) {
    d.palette = c.palette;
    Loaded l;
    LoadIcon(MakeIconFile(1, {EntryFor(d)}), l, false,
             [&](TIOParamsVals& p) { p.IcoBackground = c.background; });
    ASSERT_FALSE(l.aborting);
    EXPECT_EQ(l.bitmap.PixelFormat(), c.layout);
    EXPECT_EQ(PixelOf(l, 0, 1), c.bottom0);
    EXPECT_EQ(PixelOf(l, 1, 1), c.bottom1);
    EXPECT_EQ(PixelOf(l, 0, 0), c.top0);
    EXPECT_EQ(PixelOf(l, 1, 0), c.top1);
    RgbaImage im = l.Rgba();
    EXPECT_EQ(im.at(0, 0)[3], 0);
    EXPECT_EQ(im.at(0, 1)[3], 255);
  }
}

TEST(IcoReader, SelectionAndTheDirectoryLists) {
  Dib small = SmallDib(4), big = SmallDib(8);
  big.width = big.height = 7;
  Entry huge = EntryFor(SmallDib(24));
  huge.width = huge.height = 0;  // a "256" entry (its header says 5 x 3)
  const Bytes file = MakeIconFile(1, {EntryFor(small), huge, EntryFor(big)});
  Loaded l;
  LoadIcon(file, l, false, [](TIOParamsVals& p) { p.SetImageIndex(1); });
  ASSERT_FALSE(l.aborting);
  EXPECT_EQ(l.bitmap.Width(), 7) << "the 0-size entry is not counted";
  EXPECT_EQ(IcoParams::IcoSizesText(l.params), "5x3,7x7");
  EXPECT_EQ(IcoParams::IcoBitCountsText(l.params), "4,8");
  EXPECT_EQ(l.params.IcoSizes[2], (TIcoSize{0, 0}));

  // An index that selects nothing fails and leaves the bitmap alone.
  for (int index : {2, 3, -1}) {
    Loaded m;
    m.bitmap.Allocate(1, 1, lx8g);
    LoadIcon(file, m, false, [index](TIOParamsVals& p) { p.SetImageIndex(index); });
    EXPECT_TRUE(m.aborting) << index;
    EXPECT_EQ(m.reason.Code, TLxFailure::NoImage);
    EXPECT_EQ(m.bitmap.Width(), 1);
  }

  // Icons of "256" entries only count every entry; cursors always do.
  Entry huge2 = huge;
  const Bytes only = MakeIconFile(1, {huge, huge2});
  for (bool cursor : {false, true}) {
    Loaded n;
    LoadIcon(cursor ? MakeIconFile(2, {huge, huge2}) : only, n, cursor,
             [](TIOParamsVals& p) { p.SetImageIndex(1); });
    EXPECT_FALSE(n.aborting) << n.reason.Text();
    EXPECT_EQ(n.bitmap.Width(), 5);
    EXPECT_EQ(n.bitmap.Height(), 3);
  }
}

TEST(CurReader, EveryDepthWithHotspotAndMask) {
  for (int bits : {1, 4, 8, 24, 32}) {
    SCOPED_TRACE(bits);
    Dib d = SmallDib(bits <= 8 ? bits : 24);
    d.bits = bits;
    if (bits == 1) d.palette = {kBlack, kWhite};
    if (bits > 8) d.pixel = [](int, int) { return 0xFF00FF00u; };
    Entry e = EntryFor(d);
    e.planes = 3, e.bitCount = 5;  // the hotspot
    e.colours = 0;
    Loaded l;
    LoadIcon(MakeIconFile(2, {e}), l, true);
    ASSERT_FALSE(l.aborting) << l.reason.Text();
    EXPECT_EQ(l.params.CurHotspotX, 3);
    EXPECT_EQ(l.params.CurHotspotY, 5);
    ASSERT_TRUE(l.mask) << "a cursor always returns its mask";
    if (bits > 8) {
      EXPECT_EQ(PixelOf(l, 1, 1), kGreen);
      EXPECT_EQ(l.params.BitsPerSample, 8);
    }
    RgbaImage im = l.Rgba();
    EXPECT_EQ(im.at(0, 0)[3], bits == 32 ? 255 : 0);
    EXPECT_EQ(im.at(1, 0)[3], 255);
  }
}

TEST(CurReader, FourBitsWithTwoColoursStayTwentyFourBit) {
  // Two palette entries do not make a 4-bit cursor bilevel.
  Dib d = SmallDib(4);
  d.colorsUsed = 2;
  d.palette.resize(2);
  d.pixel = [](int x, int) { return uint32_t(x & 1); };
  Entry e = EntryFor(d);
  e.colours = 2;
  Loaded l;
  LoadIcon(MakeIconFile(2, {e}), l, true);
  ASSERT_FALSE(l.aborting) << l.reason.Text();
  EXPECT_EQ(l.bitmap.PixelFormat(), lx24RGB);
  EXPECT_EQ(PixelOf(l, 3, 1), kGreen);
  EXPECT_EQ(PixelOf(l, 4, 1), kRed);
}

TEST(IcoReader, PngImagesWithAlphaAndTheirDepth) {
  TLxBitmap src(6, 4, lx24RGB);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) {
      uint8_t* p = src.ScanLine(y) + 3 * x;
      p[0] = uint8_t(x * 40), p[1] = uint8_t(y * 60), p[2] = 7;
      src.SetAlphaValue(x, y, uint8_t(x * 50));
    }
  Entry png;
  png.width = 6, png.height = 4, png.bitCount = 32;
  png.data = PngOf(src);
  for (bool cursor : {false, true}) {
    Entry small = EntryFor(SmallDib());
    Loaded l;
    LoadIcon(MakeIconFile(cursor ? 2 : 1, {small, png}), l, cursor,
             [](TIOParamsVals& p) { p.SetImageIndex(1); });
    ASSERT_FALSE(l.aborting) << l.reason.Text();
    if (!cursor) {
      EXPECT_EQ(IcoParams::IcoBitCountsText(l.params), "4,32");
    }
    RgbaImage im = l.Rgba();
    ASSERT_EQ(im.width, 6);
    for (int x = 0; x < 6; ++x) {
      EXPECT_EQ(im.at(x, 2)[3], x * 50);
      EXPECT_EQ(im.at(x, 2)[2], x * 40);
    }
  }
  // A PNG cut short is refused by the PNG reader, with its reason.
  png.data.resize(png.data.size() / 2);
  Loaded c;
  LoadIcon(MakeIconFile(1, {png}), c);
  EXPECT_TRUE(c.aborting);
  EXPECT_TRUE(c.reason);
}

TEST(IcoReader, AnIconThatIsABmpFile) {
  TLxBitmap src(3, 2, lx24RGB);
  src.Fill(200);
  TMemoryStream bmp;
  TIOParamsVals p;
  bool aborting = false;
  ProgressRecord pr;
  pr.AbortingPtr = &aborting;
  WriteBMPStream(bmp, src, p, false, pr);
  Loaded l;
  LoadIcon(bmp.Bytes(), l);
  ASSERT_FALSE(l.aborting) << l.reason.Text();
  EXPECT_EQ(l.bitmap.Width(), 3);
  EXPECT_EQ(PixelOf(l, 2, 1), src.PixelAsRGB(2, 1));
}

TEST(IcoReader, InfoOnlyFillsTheRecordWithoutPixels) {
  Loaded l;
  LoadIcon(MakeIconFile(1, {EntryFor(SmallDib(8))}), l, false, {}, /*infoOnly=*/true);
  EXPECT_FALSE(l.aborting);
  EXPECT_EQ(l.params.Width, 5);
  EXPECT_EQ(l.params.Height, 3);
  EXPECT_EQ(l.params.BitsPerSample, 8);
  EXPECT_TRUE(l.bitmap.IsEmpty());
}

TEST(IcoReader, EveryCutOfAFileIsRefusedOrLoaded) {
  Dib d = SmallDib(32);
  d.pixel = [](int x, int) { return uint32_t(x * 50) << 24; };
  const Bytes file = MakeIconFile(1, {EntryFor(SmallDib(1)), EntryFor(SmallDib(8)), EntryFor(d)});
  for (int index = 0; index < 3; ++index) {
    for (size_t cut = 0; cut < file.size(); ++cut) {
      Loaded l;
      LoadIcon(Bytes(file.begin(), file.begin() + long(cut)), l, false,
               [index](TIOParamsVals& p) { p.SetImageIndex(index); });
      EXPECT_EQ(l.aborting, bool(l.reason)) << cut;
    }
  }
}

}  // namespace
}  // namespace lumenax::test
