// TIFF reader on hand-made files: structure (byte orders, chains that loop, values outside the
// file), strip and tile geometry gone wrong, the layouts that must be refused rather than left
// blank, predictor and conversion rules, and the metadata fields.
#include <gtest/gtest.h>
#include <zlib.h>

#include <numeric>

#include "bitmap/conversion.h"
#include "codecs/jpeg/jpeg.h"
#include "codecs/tiff/tests/tiff_test_util.h"

namespace lumenax::test {
namespace {

TEST(TiffStructure, BothByteOrdersGiveTheSamePixelsAndStripsLineUp) {
  for (bool big : {false, true}) {
    TiffBuilder b(big);
    // 3 x 3 RGB in strips of two rows: the second strip is the short last one.
    Bytes s1 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    Bytes s2 = {19, 20, 21, 22, 23, 24, 25, 26, 27};
    b.Image(3, 3, 3, 8, 2, {s1, s2}, 2);
    b.EndDirectory();
    auto r = LoadTiff(b.File());
    ASSERT_FALSE(r->aborting) << r->reason.Text();
    EXPECT_EQ(r->params.TiffByteOrder, big ? 0 : 1);
    ASSERT_EQ(r->bitmap.PixelFormat(), lx24RGB);
    EXPECT_EQ(r->bitmap.PixelsRGB24(0, 0).r, 1);
    EXPECT_EQ(r->bitmap.PixelsRGB24(0, 0).b, 3);
    EXPECT_EQ(r->bitmap.PixelsRGB24(2, 1).b, 18);
    EXPECT_EQ(r->bitmap.PixelsRGB24(2, 2).r, 25);
    EXPECT_EQ(r->count, 1);
  }
}

TEST(TiffStructure, ChainsThatLoopEndAndPagesAreCounted) {
  // Three pages; the last points back to the second (A -> B -> C -> B).
  TiffBuilder b;
  uint32_t second = 0;
  for (int page = 0; page < 3; ++page) {
    b.Image(1, 1, 1, 8, 1, {Bytes{uint8_t(10 * page + 10)}}, 1);
    uint32_t at = b.EndDirectory();
    if (page == 1) second = at;
  }
  b.LinkLastTo(second);
  for (int index = 0; index < 4; ++index) {
    auto r = LoadTiff(b.File(), {.index = index});
    EXPECT_EQ(r->count, 3);
    EXPECT_EQ(r->params.TiffImageCount, 3);
    EXPECT_FALSE(r->aborting);
    if (index < 3) {
      EXPECT_EQ(r->bitmap.PixelsRGB24(0, 0).g, 10 * index + 10);
    } else {
      // Past the chain: nothing is loaded and nothing failed.
      EXPECT_TRUE(r->bitmap.IsEmpty());
    }
  }
  // A directory that points at itself is one page.
  TiffBuilder self;
  self.Image(1, 1, 1, 8, 1, {Bytes{7}}, 1);
  uint32_t at = self.EndDirectory();
  self.LinkLastTo(at);
  EXPECT_EQ(LoadTiff(self.File())->count, 1);
}

TEST(TiffStructure, ValuesOutsideTheFileAreAbsentAndAllocateNothing) {
  // Strip offsets claiming 2^32 - 1 LONGs: the tag is absent, so there are no strips.
  TiffBuilder b;
  b.Long(256, {4});
  b.Long(257, {4});
  b.Short(258, {8});
  b.Short(262, {1});
  b.AtOffset(273, 4, 0xFFFFFFFFu, 8);
  b.AtOffset(279, 4, 0xFFFFFFFFu, 8);
  b.EndDirectory();
  auto r = LoadTiff(b.File());
  EXPECT_TRUE(r->aborting);
  EXPECT_EQ(r->code(), TLxFailure::Truncated);

  // A description whose value lies past the end is no description; the image still loads.
  TiffBuilder d;
  d.Image(1, 1, 1, 8, 1, {Bytes{200}}, 1);
  d.AtOffset(270, 2, 100, 1u << 30);
  d.EndDirectory();
  auto r2 = LoadTiff(d.File());
  EXPECT_FALSE(r2->aborting) << r2->reason.Text();
  EXPECT_EQ(r2->params.TiffImageDescription, "");
}

TEST(TiffStrips, RowsPerStripOfZeroOrAboveTheHeightMeanTheHeight) {
  for (uint32_t rps : {0u, 100u}) {
    TiffBuilder b;
    b.Image(2, 2, 1, 8, 1, {Bytes{1, 2, 3, 4}}, rps);
    b.EndDirectory();
    auto r = LoadTiff(b.File(), {.native = true});
    ASSERT_FALSE(r->aborting) << rps << r->reason.Text();
    EXPECT_EQ(r->bitmap.Pixels8(1, 1), 4);
  }
}

TEST(TiffStrips, MissingOrCutStripsKeepTheRowsBeforeAndZeroTheRest) {
  // Strip 2 of 3 points past the end of the file.
  TiffBuilder b;
  b.Long(256, {2});
  b.Long(257, {3});
  b.Short(258, {8});
  b.Short(262, {1});
  b.Long(278, {1});
  uint32_t s0 = b.Append({9, 9});
  b.Long(273, {s0, 1u << 20, s0});
  b.Long(279, {2, 2, 2});
  b.EndDirectory();
  auto r = LoadTiff(b.File(), {.native = true});
  EXPECT_EQ(r->code(), TLxFailure::Truncated);
  ASSERT_EQ(r->bitmap.Height(), 3);
  EXPECT_EQ(r->bitmap.Pixels8(1, 0), 9);
  EXPECT_EQ(r->bitmap.Pixels8(0, 1), 0);
  EXPECT_EQ(r->bitmap.Pixels8(0, 2), 0);
}

TEST(TiffStrips, TooSmallUncompressedCountsStillLoadWholeStrips) {
  // The byte count says 1.
  TiffBuilder c;
  c.Long(256, {2});
  c.Long(257, {2});
  c.Short(258, {8});
  c.Short(262, {1});
  uint32_t at = c.Append({10, 20, 30, 40});
  c.Long(273, {at});
  c.Long(279, {1});
  c.EndDirectory();
  auto r = LoadTiff(c.File(), {.native = true});
  ASSERT_FALSE(r->aborting) << r->reason.Text();
  EXPECT_EQ(r->bitmap.Pixels8(1, 1), 40);
}

TEST(TiffTiles, ZeroOrHugeTilesAreRefusedAndEdgeTilesAreCut) {
  TiffBuilder z;
  z.Image(4, 4, 1, 8, 1, {Bytes(16, 1)}, 4);
  z.Long(322, {0});
  z.Long(323, {16});
  z.EndDirectory();
  EXPECT_EQ(LoadTiff(z.File())->code(), TLxFailure::BadHeader);

  TiffBuilder h;
  h.Image(4, 4, 1, 8, 1, {Bytes(16, 1)}, 4);
  h.Long(322, {0x40000000});
  h.Long(323, {0x40000000});
  h.EndDirectory();
  EXPECT_EQ(LoadTiff(h.File())->code(), TLxFailure::TooLarge);
  EXPECT_EQ(LoadTiff(h.File(), {.maxPixels = 1 << 20})->code(), TLxFailure::TooLarge);

  // 5 x 3 image in 4 x 2 tiles (16 pixels per tile): four tiles, cut at the right and bottom.
  TiffBuilder t;
  t.Long(256, {5});
  t.Long(257, {3});
  t.Short(258, {8});
  t.Short(262, {1});
  t.Long(322, {4});
  t.Long(323, {2});
  std::vector<uint32_t> offs, counts;
  for (int tile = 0; tile < 4; ++tile) {
    Bytes d(8);
    for (int i = 0; i < 8; ++i) d[size_t(i)] = uint8_t(tile * 10 + i);
    offs.push_back(t.Append(d));
    counts.push_back(8);
  }
  t.Long(324, offs);
  t.Long(325, counts);
  t.EndDirectory();
  auto r = LoadTiff(t.File(), {.native = true});
  ASSERT_FALSE(r->aborting) << r->reason.Text();
  ASSERT_EQ(r->bitmap.Width(), 5);
  ASSERT_EQ(r->bitmap.Height(), 3);
  EXPECT_EQ(r->bitmap.Pixels8(3, 1), 7);   // tile 0, row 1, column 3
  EXPECT_EQ(r->bitmap.Pixels8(4, 0), 10);  // tile 1, row 0, column 0
  EXPECT_EQ(r->bitmap.Pixels8(4, 2), 30);  // tile 3, row 0, column 0

  // Tiles missing from the offsets: what exists is kept, the load fails as truncated.
  TiffBuilder m;
  m.Long(256, {5});
  m.Long(257, {3});
  m.Short(258, {8});
  m.Short(262, {1});
  m.Long(322, {4});
  m.Long(323, {2});
  m.Long(324, {offs[0]});
  m.EndDirectory();
  EXPECT_EQ(LoadTiff(m.File())->code(), TLxFailure::Truncated);
}

TEST(TiffLayouts, CombinationsWithoutPixelsAreRefusedNotLeftBlank) {
  struct Case {
    uint32_t spp, bps, photometric, extraTag, extraValue;
  };
  const Case cases[] = {
      {1, 0, 1, 0, 0},    // no bits
      {1, 32, 1, 0, 0},   // above 16 bits
      {1, 8, 1, 339, 3},  // floating-point samples
      {0, 8, 1, 0, 0},    // no samples
      {1, 8, 1, 317, 3},  // floating-point predictor
      {3, 4, 2, 0, 0},    // 4-bit RGB
      {1, 16, 3, 0, 0},   // 16-bit palette
      {3, 8, 4, 0, 0},    // transparency mask
      {40, 8, 2, 0, 0},   // 40 samples per pixel
  };
  for (const Case& c : cases) {
    TiffBuilder b;
    b.Image(2, 2, c.spp, c.bps, c.photometric, {Bytes(64, 0)}, 2, c.extraTag == 317 ? 5 : 1);
    if (c.spp == 0) {
      b.Drop(258);
      b.Short(258, {8});
    }
    if (c.extraTag) b.Short(uint16_t(c.extraTag), {c.extraValue});
    b.EndDirectory();
    auto r = LoadTiff(b.File());
    EXPECT_EQ(r->code(), TLxFailure::Unsupported)
        << c.spp << " samples of " << c.bps << " bits, photometric " << c.photometric;
    EXPECT_TRUE(r->bitmap.IsEmpty());
  }
  // Bits that differ between samples.
  TiffBuilder d;
  d.Image(1, 1, 3, 8, 2, {Bytes{1, 2, 3}}, 1);
  d.Drop(258);
  d.Short(258, {8, 8, 16});
  d.EndDirectory();
  EXPECT_EQ(LoadTiff(d.File())->code(), TLxFailure::Unsupported);
}

Bytes Deflate(const Bytes& in) {
  uLongf n = compressBound(uLong(in.size()));
  Bytes out(n);
  compress(out.data(), &n, in.data(), uLong(in.size()));
  out.resize(n);
  return out;
}

TEST(TiffPredictor, SixteenBitSamplesAreUndoneAfterTheByteSwapAtAnySampleCount) {
  for (bool big : {false, true}) {
    TiffBuilder b(big);
    // Gray row 1000, 1300, 65535 (wraps to 10), differences coded.
    const uint16_t values[3] = {1000, 1300, 10};
    Bytes raw;
    uint16_t prev = 0;
    for (uint16_t v : values) {
      uint16_t d = uint16_t(v - prev);
      prev = v;
      uint8_t p[2];
      b.Put16(p, d);
      raw.push_back(p[0]);
      raw.push_back(p[1]);
    }
    b.Image(3, 1, 1, 16, 1, {Deflate(raw)}, 1, 32946);
    b.Short(317, {2});
    b.EndDirectory();
    auto r = LoadTiff(b.File(), {.native = true});
    ASSERT_FALSE(r->aborting) << r->reason.Text();
    ASSERT_EQ(r->bitmap.PixelFormat(), lx16g);
    EXPECT_EQ(r->bitmap.Pixels16(0, 0), 1000);
    EXPECT_EQ(r->bitmap.Pixels16(1, 0), 1300);
    EXPECT_EQ(r->bitmap.Pixels16(2, 0), 10);
  }
  // 16-bit RGBA: each channel against the same channel of the pixel before.
  TiffBuilder b;
  Bytes raw;
  const uint16_t px[2][4] = {{0x1000, 0x2000, 0x3000, 0xFF00}, {0x1100, 0x2200, 0x3300, 0x8000}};
  for (int c = 0; c < 4; ++c)
    raw.push_back(uint8_t(px[0][c])), raw.push_back(uint8_t(px[0][c] >> 8));
  for (int c = 0; c < 4; ++c) {
    uint16_t d = uint16_t(px[1][c] - px[0][c]);
    raw.push_back(uint8_t(d));
    raw.push_back(uint8_t(d >> 8));
  }
  b.Image(2, 1, 4, 16, 2, {Deflate(raw)}, 1, 8);
  b.Short(317, {2});
  b.EndDirectory();
  auto r = LoadTiff(b.File());
  ASSERT_FALSE(r->aborting) << r->reason.Text();
  EXPECT_EQ(r->bitmap.PixelsRGB24(1, 0).r, 0x11);
  EXPECT_EQ(r->bitmap.PixelsRGB24(1, 0).b, 0x33);
  ASSERT_TRUE(r->mask);
  EXPECT_EQ(r->mask->GetPixel(1, 0), 0x80);
}

TEST(TiffCompression, DeflateAndLzwFaultsFailTheLoad) {
  // Deflate data of one row for an image of two.
  TiffBuilder b;
  b.Image(4, 2, 1, 8, 1, {Deflate({1, 2, 3, 4})}, 2, 8);
  b.EndDirectory();
  auto r = LoadTiff(b.File(), {.native = true});
  EXPECT_EQ(r->code(), TLxFailure::Truncated);
  EXPECT_EQ(r->bitmap.Pixels8(3, 0), 4);
  EXPECT_EQ(r->bitmap.Pixels8(3, 1), 0);
  // LZW whose first code is 300 (no string yet), 9 bits: 1001 0110 0...
  TiffBuilder l;
  l.Image(4, 1, 1, 8, 1, {Bytes{0x96, 0x00, 0x00, 0x00}}, 1, 5);
  l.EndDirectory();
  EXPECT_EQ(LoadTiff(l.File())->code(), TLxFailure::BadData);
  // PackBits whose literal run promises more than the data hold.
  TiffBuilder p;
  p.Image(4, 1, 1, 8, 1, {Bytes{3, 1, 2}}, 1, 32773);
  p.EndDirectory();
  EXPECT_EQ(LoadTiff(p.File())->code(), TLxFailure::Truncated);
}

TEST(TiffPixels, GrayDepthsScaleAndPalettesKeepOrMapTheirIndexes) {
  // 4-bit gray: 15 is white; 3-bit gray: 7 is white, 3 is 109.
  TiffBuilder g4;
  g4.Image(2, 1, 1, 4, 1, {Bytes{0xF3}}, 1);
  g4.EndDirectory();
  auto r4 = LoadTiff(g4.File());
  ASSERT_FALSE(r4->aborting);
  EXPECT_EQ(r4->bitmap.PixelsRGB24(0, 0).g, 255);
  EXPECT_EQ(r4->bitmap.PixelsRGB24(1, 0).g, 51);
  TiffBuilder g3;
  g3.Image(2, 1, 1, 3, 1, {Bytes{0xEC}}, 1);  // 111 011 00
  g3.EndDirectory();
  auto r3 = LoadTiff(g3.File());
  ASSERT_FALSE(r3->aborting) << r3->reason.Text();
  EXPECT_EQ(r3->bitmap.PixelsRGB24(0, 0).g, 255);
  EXPECT_EQ(r3->bitmap.PixelsRGB24(1, 0).g, 109);

  // 4-bit palette with a colour map of only 3 entries per channel (of 16): native keeps the
  // indexes; otherwise missing entries are black.
  TiffBuilder p;
  p.Image(2, 1, 1, 4, 3, {Bytes{0x2A}}, 1);
  p.Short(320, {65535, 0, 0, 0, 65535, 0, 0, 0, 65535});
  p.EndDirectory();
  auto native = LoadTiff(p.File(), {.native = true});
  ASSERT_FALSE(native->aborting) << native->reason.Text();
  ASSERT_EQ(native->bitmap.PixelFormat(), lx8p);
  EXPECT_EQ(native->bitmap.Pixels8(0, 0), 2);
  EXPECT_EQ(native->bitmap.Pixels8(1, 0), 10);
  auto rgb = LoadTiff(p.File());
  ASSERT_FALSE(rgb->aborting);
  EXPECT_EQ(rgb->params.ColorMapCount, 16);
  EXPECT_EQ(rgb->bitmap.PixelsRGB24(0, 0).r, 0);
  EXPECT_EQ(rgb->bitmap.PixelsRGB24(0, 0).g, 0);
  EXPECT_EQ(rgb->bitmap.PixelsRGB24(0, 0).b, 0);  // entry 2 exists only as red 0, green 0
  EXPECT_EQ(rgb->bitmap.PixelsRGB24(1, 0).r, 0);  // entry 10: missing

  // 1-bit palette through its colour map.
  TiffBuilder one;
  one.Image(2, 1, 1, 1, 3, {Bytes{0x40}}, 1);
  one.Short(320, {65535, 0, 0, 65535, 0, 0});
  one.EndDirectory();
  auto r1 = LoadTiff(one.File());
  ASSERT_FALSE(r1->aborting) << r1->reason.Text();
  EXPECT_EQ(r1->bitmap.PixelsRGB24(0, 0).r, 255);
  EXPECT_EQ(r1->bitmap.PixelsRGB24(1, 0).g, 255);
  EXPECT_EQ(r1->bitmap.PixelsRGB24(1, 0).r, 0);
}

TEST(TiffPixels, WhiteIsZeroAndBilevelRgbLookTheSameInEveryLayout) {
  TiffBuilder b;
  b.Image(2, 1, 1, 8, 0, {Bytes{0, 200}}, 1);
  b.EndDirectory();
  auto gray = LoadTiff(b.File(), {.native = true});
  auto rgb = LoadTiff(b.File());
  ASSERT_EQ(gray->bitmap.PixelFormat(), lx8g);
  EXPECT_EQ(gray->bitmap.Pixels8(0, 0), 255);
  EXPECT_EQ(gray->bitmap.Pixels8(1, 0), 55);
  EXPECT_EQ(rgb->bitmap.PixelsRGB24(1, 0).g, 55);

  // A 1-bit image that calls itself RGB is white-is-zero: set bits are black.
  TiffBuilder w;
  w.Image(8, 1, 1, 1, 2, {Bytes{0xF0}}, 1);
  w.EndDirectory();
  auto r = LoadTiff(w.File());
  ASSERT_FALSE(r->aborting) << r->reason.Text();
  EXPECT_EQ(r->params.TiffPhotometric, tpWhiteIsZero);
  EXPECT_EQ(r->bitmap.PixelAsRGB(0, 0).r, 0);
  EXPECT_EQ(r->bitmap.PixelAsRGB(7, 0).r, 255);
}

TEST(TiffPixels, SubsampledYCbCrAndFourSampleAlpha) {
  // 4 x 2 YCbCr 2 x 2: two data units of four luma samples, Cb, Cr.
  TiffBuilder y;
  y.Image(4, 2, 3, 8, 6, {Bytes{10, 20, 30, 40, 100, 200, 50, 60, 70, 80, 128, 128}}, 2);
  y.Short(530, {2, 2});
  y.EndDirectory();
  auto r = LoadTiff(y.File());
  ASSERT_FALSE(r->aborting) << r->reason.Text();
  EXPECT_EQ(r->bitmap.PixelsRGB24(1, 1), YCbCrToRgb(40, 100, 200));
  EXPECT_EQ(r->bitmap.PixelsRGB24(2, 1), YCbCrToRgb(70, 128, 128));
  // 2 x 1 subsampling, 3 pixels wide: the last unit is half used.
  TiffBuilder h;
  h.Image(3, 1, 3, 8, 6, {Bytes{10, 20, 100, 200, 30, 0, 128, 128}}, 1);
  h.Short(530, {2, 1});
  h.EndDirectory();
  auto r2 = LoadTiff(h.File());
  ASSERT_FALSE(r2->aborting) << r2->reason.Text();
  EXPECT_EQ(r2->bitmap.PixelsRGB24(1, 0), YCbCrToRgb(20, 100, 200));
  EXPECT_EQ(r2->bitmap.PixelsRGB24(2, 0), YCbCrToRgb(30, 128, 128));

  // RGBA with ExtraSamples 0: the fourth sample is still alpha; NoAlpha skips it.
  TiffBuilder a;
  a.Image(1, 1, 4, 8, 2, {Bytes{1, 2, 3, 77}}, 1);
  a.Short(338, {0});
  a.EndDirectory();
  auto withAlpha = LoadTiff(a.File());
  ASSERT_TRUE(withAlpha->mask);
  EXPECT_EQ(withAlpha->mask->GetPixel(0, 0), 77);
  auto noAlpha = LoadTiff(a.File(), {.noAlpha = true});
  EXPECT_FALSE(noAlpha->mask);
  EXPECT_EQ(noAlpha->bitmap.PixelsRGB24(0, 0).b, 3);
}

TEST(TiffMetadata, FieldsResolutionTextsBlocksAndHeaderOnly) {
  TiffBuilder b(true);
  b.Image(2, 3, 1, 8, 1, {Bytes(6, 1)}, 3);
  b.Rational(282, 2996, 10);  // 299.6
  b.Short(296, {2});
  b.Ascii(269, "doc");
  b.Ascii(270, "a longer description");
  b.Ascii(285, "pg");
  b.Short(297, {2, 5});
  b.Short(274, {6});
  Bytes xmp = {'<', 'x', '/', '>'};
  b.Raw(700, 1, 4, xmp);
  Bytes icc(200, 0x42);
  b.Raw(34675, 7, 200, icc);
  b.Raw(32932, 7, 5, Bytes{1, 2, 3, 4, 5});
  b.EndDirectory();
  auto r = LoadTiff(b.File(), {.headerOnly = true});
  ASSERT_FALSE(r->aborting) << r->reason.Text();
  EXPECT_TRUE(r->bitmap.IsEmpty());
  EXPECT_EQ(r->params.Width, 2);
  EXPECT_EQ(r->params.Height, 3);
  EXPECT_EQ(r->params.DpiX, 300);
  EXPECT_EQ(r->params.DpiY, 300);  // missing Y resolution
  EXPECT_EQ(r->params.TiffDocumentName, "doc");
  EXPECT_EQ(r->params.TiffImageDescription, "a longer description");
  EXPECT_EQ(r->params.TiffPageName, "pg");
  EXPECT_EQ(r->params.TiffPageNumber, 2);
  EXPECT_EQ(r->params.TiffPageCount, 5);
  EXPECT_EQ(r->params.TiffOrientation, 6);
  EXPECT_EQ(r->params.XMP_Info, "<x/>");
  ASSERT_TRUE(r->params.HasInputICCProfile());
  EXPECT_EQ(r->params.InputICCProfileIfAny()->Raw().size(), 200u);
  EXPECT_EQ(r->params.TiffAnnotations, (Bytes{1, 2, 3, 4, 5}));

  // Orientation 6 with TiffAutoOrient: the 2 x 3 image comes out 3 x 2.
  auto turned = LoadTiff(b.File(), {.autoOrient = true});
  ASSERT_FALSE(turned->aborting);
  EXPECT_EQ(turned->bitmap.Width(), 3);
  EXPECT_EQ(turned->bitmap.Height(), 2);
  // Upright now: a re-save must not turn it again.
  EXPECT_EQ(turned->params.TiffOrientation, 1);
  EXPECT_EQ(r->params.TiffOrientation, 6);
}

TEST(TiffStructure, SubIfdsAreReadWhenAskedAndNeverLoopBack) {
  TiffBuilder b;
  b.Image(1, 1, 1, 8, 1, {Bytes{5}}, 1);
  uint32_t subAt = 0;
  {
    // Build the sub-directory by hand after the main one.
    b.Long(330, {0});  // patched below
  }
  uint32_t main = b.EndDirectory();
  // Sub-directory: a 1 x 1 image of value 99, not linked into the chain.
  Bytes& f = b.File();
  TiffBuilder sub;  // only for its byte writers
  uint32_t pixel = b.Append({99});
  subAt = uint32_t(f.size());
  const uint16_t tags[][3] = {{256, 4, 1}, {257, 4, 1}, {258, 3, 8},
                              {262, 3, 1}, {273, 4, 0}, {279, 4, 1}};
  Bytes d(2 + 6 * 12 + 4, 0);
  sub.Put16(&d[0], 6);
  for (int i = 0; i < 6; ++i) {
    sub.Put16(&d[2 + 12 * i], tags[i][0]);
    sub.Put16(&d[4 + 12 * i], tags[i][1]);
    sub.Put32(&d[6 + 12 * i], 1);
    if (tags[i][1] == 3)
      sub.Put16(&d[10 + 12 * i], tags[i][2]);
    else
      sub.Put32(&d[10 + 12 * i], tags[i][0] == 273 ? pixel : tags[i][2]);
  }
  f.insert(f.end(), d.begin(), d.end());
  // Patch the SubIFDs value (its entry is the last of the main directory: tag 330).
  const uint16_t n = uint16_t(f[main] | f[main + 1] << 8);
  sub.Put32(&f[main + 2 + 12 * (n - 1) + 8], subAt);
  auto r = LoadTiff(f, {.native = true, .subIndex = 0});
  ASSERT_FALSE(r->aborting) << r->reason.Text();
  EXPECT_EQ(r->bitmap.Pixels8(0, 0), 99);
  EXPECT_EQ(r->count, 1);
  // A SubIFD that points at the main directory reads the main image.
  sub.Put32(&f[main + 2 + 12 * (n - 1) + 8], main);
  auto again = LoadTiff(f, {.native = true, .subIndex = 0});
  EXPECT_EQ(again->bitmap.Pixels8(0, 0), 5);
}

TEST(TiffStructure, TheChainEndsAtTheLastDirectoryItMayCount) {
  // 70,000 directories of one entry each, one after the other: 65,535 are counted.
  TiffBuilder b;
  Bytes& f = b.File();
  const uint32_t n = 70000;
  b.Put32(f.data() + 4, 8);
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t at = uint32_t(f.size());
    Bytes d(18, 0);
    b.Put16(&d[0], 1);
    b.Put16(&d[2], 256);
    b.Put16(&d[4], 3);
    b.Put32(&d[6], 1);
    b.Put32(&d[14], i + 1 < n ? at + 18 : 0);
    f.insert(f.end(), d.begin(), d.end());
  }
  auto r = LoadTiff(f, {.headerOnly = true});
  EXPECT_EQ(r->count, 65535);
}

TEST(TiffStrips, SeparatePlanesNeedStripsForEveryPlane) {
  // RGB in separate planes with 4 strips: not a multiple of 3.
  TiffBuilder b;
  b.Image(2, 2, 3, 8, 2, {Bytes{1, 2}, Bytes{3, 4}, Bytes{5, 6}, Bytes{7, 8}}, 1);
  b.Short(284, {2});
  b.EndDirectory();
  EXPECT_EQ(LoadTiff(b.File())->code(), TLxFailure::Unsupported);
  // Six strips (two rows of each plane) interleave into blue-green-red.
  TiffBuilder c;
  c.Image(2, 2, 3, 8, 2,
          {Bytes{1, 2}, Bytes{3, 4}, Bytes{5, 6}, Bytes{7, 8}, Bytes{9, 10}, Bytes{11, 12}}, 1);
  c.Short(284, {2});
  c.EndDirectory();
  auto r = LoadTiff(c.File());
  ASSERT_FALSE(r->aborting) << r->reason.Text();
  EXPECT_EQ(r->bitmap.PixelsRGB24(1, 1).r, 4);
  EXPECT_EQ(r->bitmap.PixelsRGB24(1, 1).g, 8);
  EXPECT_EQ(r->bitmap.PixelsRGB24(1, 1).b, 12);
}

// Codes of the given width, most significant bit first.
Bytes PackCodes(std::initializer_list<uint32_t> codes, int width = 9) {
  Bytes out;
  uint32_t acc = 0;
  int bits = 0;
  for (uint32_t c : codes) {
    acc = acc << width | c;
    bits += width;
    while (bits >= 8) {
      out.push_back(uint8_t(acc >> (bits - 8)));
      bits -= 8;
    }
  }
  if (bits) out.push_back(uint8_t(acc << (8 - bits)));
  return out;
}

TEST(TiffCompression, LzwThatEndsInsideARowFailsAsTruncated) {
  TiffBuilder b;
  // Row 0 complete (1 2 3 4), row 1 gets two bytes and the end code.
  b.Image(4, 2, 1, 8, 1, {PackCodes({256, 1, 2, 3, 4, 5, 6, 257})}, 2, 5);
  b.EndDirectory();
  auto r = LoadTiff(b.File(), {.native = true});
  EXPECT_EQ(r->code(), TLxFailure::Truncated);
  EXPECT_EQ(r->bitmap.Pixels8(3, 0), 4);
  EXPECT_EQ(r->bitmap.Pixels8(1, 1), 6);
  EXPECT_EQ(r->bitmap.Pixels8(3, 1), 0);
}

Bytes JpegOf(int w, int h) {
  TLxBitmap bmp(w, h, lx24RGB);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      bmp.SetPixelsRGB24(x, y, CreateRGB(uint8_t(x * 8), uint8_t(y * 8), 90));
  TIOParamsVals params;
  params.JpegQuality = 100;
  TMemoryStream out;
  bool failed = false;
  ProgressRecord p;
  p.AbortingPtr = &failed;
  WriteJpegStream(out, bmp, params, p);
  return out.Bytes();
}

TEST(TiffJpeg, FramesLargerThanTheirStripAreRefusedAndOldStyleDataAreClipped) {
  const Bytes jpeg = JpegOf(16, 16);
  // A 16 x 16 frame in the strip of an 8 x 8 image.
  TiffBuilder big;
  big.Image(8, 8, 3, 8, 6, {jpeg}, 8, 7);
  big.EndDirectory();
  auto r = LoadTiff(big.File());
  EXPECT_EQ(r->code(), TLxFailure::BadData);

  // The same frame filling a 16 x 16 image decodes.
  TiffBuilder fits;
  fits.Image(16, 16, 3, 8, 6, {jpeg}, 16, 7);
  fits.EndDirectory();
  auto ok = LoadTiff(fits.File());
  ASSERT_FALSE(ok->aborting) << ok->reason.Text();
  EXPECT_NEAR(ok->bitmap.PixelsRGB24(15, 0).r, 120, 6);
  EXPECT_NEAR(ok->bitmap.PixelsRGB24(0, 15).g, 120, 6);

  // Old-style: the interchange format points at a whole JPEG stream; its length claims more
  // than the file holds.
  TiffBuilder old;
  old.Long(256, {16});
  old.Long(257, {16});
  old.Short(258, {8, 8, 8});
  old.Short(259, {6});
  old.Short(262, {6});
  old.Short(277, {3});
  const uint32_t at = old.Append(jpeg);
  old.Long(513, {at});
  old.Long(514, {1u << 30});
  old.EndDirectory();
  auto o = LoadTiff(old.File());
  ASSERT_FALSE(o->aborting) << o->reason.Text();
  EXPECT_NEAR(o->bitmap.PixelsRGB24(15, 0).r, 120, 6);
  // With strip byte counts: the interchange bytes (clipped to the file) and the strip.
  TiffBuilder strips;
  strips.Long(256, {16});
  strips.Long(257, {16});
  strips.Short(258, {8, 8, 8});
  strips.Short(259, {6});
  strips.Short(262, {6});
  strips.Short(277, {3});
  const uint32_t j = strips.Append(jpeg);
  strips.Long(513, {j});
  strips.Long(514, {uint32_t(jpeg.size()) + 5000});
  strips.Long(273, {j + uint32_t(jpeg.size())});
  strips.Long(279, {0});
  strips.EndDirectory();
  auto s = LoadTiff(strips.File());
  EXPECT_EQ(s->aborting, bool(s->reason));
}

}  // namespace
}  // namespace lumenax::test
