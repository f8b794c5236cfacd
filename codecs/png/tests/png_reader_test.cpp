// The PNG reader on files written by libpng directly: layouts, transparency, parameters,
// progress, and the failures that must end in Aborting.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>

#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/png/png.h"
#include "codecs/png/tests/png_test_util.h"
#include "tests/support/test_support.h"

namespace lumenax {
namespace {

using test::EncodeRawPng;
using test::LoadPng;
using test::RawPng;

using Row = std::vector<uint8_t>;

// A w x h RGB image (8 bits) whose pixel (x, y) is (x * 10, y * 10, x + y).
RawPng RgbImage(int w, int h) {
  RawPng p;
  p.width = w;
  p.height = h;
  p.colorType = 2;
  for (int y = 0; y < h; ++y) {
    Row r;
    for (int x = 0; x < w; ++x)
      r.insert(r.end(), {uint8_t(x * 10), uint8_t(y * 10), uint8_t(x + y)});
    p.rows.push_back(r);
  }
  return p;
}

TRGB Px(TLxBitmap& b, int x, int y) {
  return b.PixelAsRGB(x, y);
}

TEST(PngReader, PaletteImagesGetAlphaFromTrnsAndTheirColourMap) {
  RawPng p;
  p.width = 3;
  p.colorType = 3;
  p.palette = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
  p.rows = {Row{0, 1, 2}};
  TLxBitmap b;
  TIOParamsVals params;
  ASSERT_FALSE(LoadPng(EncodeRawPng(p), b, params));
  EXPECT_EQ(b.PixelFormat(), lx24RGB);
  EXPECT_FALSE(b.HasAlphaChannel());
  EXPECT_EQ(Px(b, 2, 0), CreateRGB(0, 0, 255));
  EXPECT_EQ(params.ColorMapCount, 3);
  EXPECT_EQ(params.ColorMap[0], CreateRGB(255, 0, 0));
  EXPECT_EQ(params.SamplesPerPixel, 1);
  EXPECT_EQ(params.BitsPerSample, 8);

  p.trnsAlpha = {0, 128};
  ASSERT_FALSE(LoadPng(EncodeRawPng(p), b, params));
  ASSERT_TRUE(b.HasAlphaChannel());
  EXPECT_FALSE(b.AlphaChannel()->AllOpaque);
  EXPECT_EQ(b.GetAlphaValue(0, 0), 0);
  EXPECT_EQ(b.GetAlphaValue(1, 0), 128);
  EXPECT_EQ(b.GetAlphaValue(2, 0), 255);

  // Native layout: lx8p with the file's palette, and the same alpha.
  params.IsNativePixelFormat = true;
  ASSERT_FALSE(LoadPng(EncodeRawPng(p), b, params));
  EXPECT_EQ(b.PixelFormat(), lx8p);
  EXPECT_EQ(b.Pixels8(2, 0), 2);
  EXPECT_EQ(b.GetPaletteEntry(1), CreateRGB(0, 255, 0));
  EXPECT_EQ(b.GetAlphaValue(1, 0), 128);
}

// The colour key of gray and RGB images becomes alpha 0 at exactly the matching pixels
// (16-bit keys compare all 16 bits), in every layout.
TEST(PngReader, ColourKeysOfGrayAndRgbImagesBecomeAlpha) {
  RawPng rgb = RgbImage(4, 2);
  rgb.trnsColor = {{20, 0, 2}};  // pixel (2, 0)
  TLxBitmap b;
  TIOParamsVals params;
  ASSERT_FALSE(LoadPng(EncodeRawPng(rgb), b, params));
  ASSERT_TRUE(b.HasAlphaChannel());
  EXPECT_EQ(params.SamplesPerPixel, 3);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(b.GetAlphaValue(x, y), x == 2 && y == 0 ? 0 : 255);
  EXPECT_EQ(Px(b, 2, 0), CreateRGB(20, 0, 2)) << "colour kept under the transparency";

  RawPng g16;
  g16.width = 3;
  g16.colorType = 0;
  g16.depth = 16;
  g16.rows = {Row{0x12, 0x34, 0x12, 0x35, 0xFF, 0xFF}};
  g16.trnsColor = {{0x1234, 0, 0}};
  for (bool native : {false, true}) {
    SCOPED_TRACE(native ? "native" : "converted");
    params.IsNativePixelFormat = native;
    ASSERT_FALSE(LoadPng(EncodeRawPng(g16), b, params));
    EXPECT_EQ(b.PixelFormat(), native ? lx16g : lx24RGB);
    EXPECT_EQ(b.GetAlphaValue(0, 0), 0);
    EXPECT_EQ(b.GetAlphaValue(1, 0), 255) << "same high byte, other low byte";
    EXPECT_EQ(b.GetAlphaValue(2, 0), 255);
    EXPECT_EQ(Px(b, 1, 0), CreateRGB(0x12, 0x12, 0x12));
  }

  RawPng g8;
  g8.width = 2;
  g8.colorType = 0;
  g8.rows = {Row{7, 8}};
  g8.trnsColor = {{8, 0, 0}};
  params.IsNativePixelFormat = true;
  ASSERT_FALSE(LoadPng(EncodeRawPng(g8), b, params));
  EXPECT_EQ(b.PixelFormat(), lx8g);
  EXPECT_EQ(b.GetAlphaValue(0, 0), 255);
  EXPECT_EQ(b.GetAlphaValue(1, 0), 0);

  RawPng g1;  // 1-bit gray keeps lx1g and gets its alpha beside it
  g1.width = 10;
  g1.colorType = 0;
  g1.depth = 1;
  g1.rows = {Row{0b10110000, 0b01000000}};
  g1.trnsColor = {{1, 0, 0}};
  params.IsNativePixelFormat = false;
  ASSERT_FALSE(LoadPng(EncodeRawPng(g1), b, params));
  EXPECT_EQ(b.PixelFormat(), lx1g);
  const int expectAlpha[10] = {0, 255, 0, 0, 255, 255, 255, 255, 255, 0};
  for (int x = 0; x < 10; ++x) EXPECT_EQ(b.GetAlphaValue(x, 0), expectAlpha[x]) << x;
}

TEST(PngReader, SixteenBitRgbaKeepsHighBytesAndAlpha) {
  RawPng p;
  p.width = 2;
  p.colorType = 6;
  p.depth = 16;
  p.rows = {Row{0xAB, 0xCD, 0x01, 0x02, 0x80, 0xFF, 0x40, 0x00,  // (AB, 01, 80) alpha 40
                0xFF, 0xFF, 0x00, 0x00, 0x12, 0x34, 0xFF, 0xFF}};
  TLxBitmap b;
  TIOParamsVals params;
  ASSERT_FALSE(LoadPng(EncodeRawPng(p), b, params));
  EXPECT_EQ(b.PixelFormat(), lx24RGB);
  EXPECT_EQ(params.BitsPerSample, 16);
  EXPECT_EQ(params.SamplesPerPixel, 4);
  EXPECT_EQ(Px(b, 0, 0), CreateRGB(0xAB, 0x01, 0x80));
  EXPECT_EQ(b.GetAlphaValue(0, 0), 0x40);
  EXPECT_EQ(Px(b, 1, 0), CreateRGB(0xFF, 0x00, 0x12));
  EXPECT_EQ(b.GetAlphaValue(1, 0), 0xFF);
}

// Rows long enough for the block copies and with a tail after them, in every channel count,
// interlaced and not.
TEST(PngReader, WideRowsOfEveryChannelCount) {
  for (int colorType : {0, 2, 3, 4, 6}) {
    for (bool interlaced : {false, true}) {
      SCOPED_TRACE(testing::Message()
                   << "colour type " << colorType << (interlaced ? " interlaced" : ""));
      const int w = 53, h = 9,
                channels = colorType == 2   ? 3
                           : colorType == 6 ? 4
                           : colorType == 4 ? 2
                                            : 1;
      RawPng p;
      p.width = w;
      p.height = h;
      p.colorType = colorType;
      p.interlaced = interlaced;
      for (int i = 0; i < 256; ++i)
        p.palette.push_back({uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)});
      if (colorType != 3) p.palette.clear();
      uint32_t seed = 7;
      for (int y = 0; y < h; ++y) {
        Row r(size_t(w) * channels);
        for (auto& v : r) v = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
        p.rows.push_back(r);
      }
      TLxBitmap b;
      TIOParamsVals params;
      ASSERT_FALSE(LoadPng(EncodeRawPng(p), b, params));
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const uint8_t* s = &p.rows[size_t(y)][size_t(x) * channels];
          TRGB want = colorType == 3
                          ? CreateRGB(p.palette[s[0]][0], p.palette[s[0]][1], p.palette[s[0]][2])
                      : channels >= 3 ? CreateRGB(s[0], s[1], s[2])
                                      : CreateRGB(s[0], s[0], s[0]);
          ASSERT_EQ(Px(b, x, y), want) << x << "," << y;
          int alpha = channels == 4 ? s[3] : channels == 2 ? s[1] : 255;
          ASSERT_EQ(b.HasAlphaChannel() ? b.GetAlphaValue(x, y) : 255, alpha) << x << "," << y;
        }
    }
  }
}

// Rows paged to a temporary file (one row mapped at a time) load and save like rows in memory.
TEST(PngReader, PagedBitmaps) {
  RawPng p;
  p.width = 29;
  p.height = 17;
  p.colorType = 6;
  p.interlaced = true;
  uint32_t seed = 3;
  for (int y = 0; y < p.height; ++y) {
    Row r(size_t(p.width) * 4);
    for (auto& v : r) v = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
    p.rows.push_back(r);
  }
  std::vector<uint8_t> bytes = EncodeRawPng(p);
  TLxBitmap inMemory, paged;
  paged.FileThreshold = 0;
  TIOParamsVals params;
  ASSERT_FALSE(LoadPng(bytes, inMemory, params));
  ASSERT_FALSE(LoadPng(bytes, paged, params));
  ASSERT_EQ(paged.Location(), lxTempFile);
  EXPECT_EQ(test::CountDifferentPixels(test::BitmapToRgba(paged), test::BitmapToRgba(inMemory)),
            0u);

  TLxMask mask;
  paged.AlphaChannel()->CopyToMask(mask);
  std::vector<uint8_t> again = test::SavePng(paged, params, &mask);
  TLxBitmap back;
  ASSERT_FALSE(LoadPng(again, back, params));
  EXPECT_EQ(test::CountDifferentPixels(test::BitmapToRgba(back), test::BitmapToRgba(inMemory)), 0u);
}

TEST(PngReader, OneBitImages) {
  RawPng gray;
  gray.width = 9;
  gray.colorType = 0;
  gray.depth = 1;
  gray.rows = {Row{0b10000001, 0b10000000}};
  TLxBitmap b;
  TIOParamsVals params;
  ASSERT_FALSE(LoadPng(EncodeRawPng(gray), b, params));
  EXPECT_EQ(b.PixelFormat(), lx1g);
  EXPECT_FALSE(b.HasAlphaChannel());
  EXPECT_EQ(Px(b, 0, 0), CreateRGB(255, 255, 255));
  EXPECT_EQ(Px(b, 1, 0), CreateRGB(0, 0, 0));
  EXPECT_EQ(Px(b, 8, 0), CreateRGB(255, 255, 255));

  // Red and blue palette, interlaced and not: the passes fill only their own pixels.
  RawPng pal;
  pal.width = 13;
  pal.height = 11;
  pal.colorType = 3;
  pal.depth = 1;
  pal.palette = {{255, 0, 0}, {0, 0, 255}};
  for (int y = 0; y < pal.height; ++y) {
    Row r(2, 0);
    for (int x = 0; x < pal.width; ++x)
      if ((x * 7 + y * 3) % 5 < 2) r[size_t(x / 8)] |= uint8_t(0x80 >> (x % 8));
    pal.rows.push_back(r);
  }
  for (bool interlaced : {false, true}) {
    SCOPED_TRACE(interlaced ? "interlaced" : "progressive");
    pal.interlaced = interlaced;
    ASSERT_FALSE(LoadPng(EncodeRawPng(pal), b, params));
    EXPECT_EQ(b.PixelFormat(), lx24RGB);
    EXPECT_EQ(params.PngInterlaced, interlaced);
    for (int y = 0; y < pal.height; ++y)
      for (int x = 0; x < pal.width; ++x)
        ASSERT_EQ(Px(b, x, y),
                  (x * 7 + y * 3) % 5 < 2 ? CreateRGB(0, 0, 255) : CreateRGB(255, 0, 0))
            << x << "," << y;
  }
}

TEST(PngReader, ProgressOnEveryRowOfEveryPass) {
  RawPng p = RgbImage(3, 100);
  TLxBitmap b;
  TIOParamsVals params;
  test::ProgressLog log;
  ASSERT_FALSE(LoadPng(EncodeRawPng(p), b, params, false, &log));
  ASSERT_EQ(log.percents.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(log.percents[size_t(i)], i + 1);

  p.interlaced = true;
  log = {};
  ASSERT_FALSE(LoadPng(EncodeRawPng(p), b, params, false, &log));
  ASSERT_EQ(log.percents.size(), 700u);
  EXPECT_EQ(log.percents.front(), 0);
  EXPECT_EQ(log.percents.back(), 100);
  EXPECT_TRUE(std::is_sorted(log.percents.begin(), log.percents.end()));
  for (int y = 0; y < 100; ++y)
    ASSERT_EQ(Px(b, 2, y), CreateRGB(20, uint8_t(y * 10), uint8_t(2 + y)));

  // A handler that sets Aborting stops the load after its first row.
  log = {};
  log.abortAtFirst = true;
  p.interlaced = false;
  EXPECT_TRUE(LoadPng(EncodeRawPng(p), b, params, false, &log));
  EXPECT_EQ(log.percents.size(), 1u);
  EXPECT_EQ(Px(b, 1, 0), CreateRGB(10, 0, 1));
  EXPECT_EQ(Px(b, 1, 1), CreateRGB(0, 0, 0));
}

TEST(PngReader, ResolutionFromPhys) {
  RawPng p = RgbImage(1, 1);
  TLxBitmap b;
  TIOParamsVals params;
  p.phys = {{3780, 2835, 1}};
  ASSERT_FALSE(LoadPng(EncodeRawPng(p), b, params));
  EXPECT_EQ(params.DpiX, 96);
  EXPECT_EQ(params.DpiY, 72);
  p.phys = {{3780, 3780, 0}};  // no unit: aspect ratio only
  ASSERT_FALSE(LoadPng(EncodeRawPng(p), b, params));
  EXPECT_EQ(params.DpiX, DefaultDPI);
  EXPECT_EQ(params.DpiY, DefaultDPI);
  p.phys = {{10, 10, 1}};  // rounds to 0
  ASSERT_FALSE(LoadPng(EncodeRawPng(p), b, params));
  EXPECT_EQ(params.DpiX, DefaultDPI);
}

// bKGD is read at its real value: 8-bit samples as they are, lower gray depths scaled up,
// 16-bit samples by their high byte, palette images by the entry's colour.
TEST(PngReader, BackgroundAtItsRealValue) {
  TLxBitmap b;
  TIOParamsVals params;
  RawPng rgb = RgbImage(1, 1);
  rgb.bkgd = {{0, 200, 100, 50}};
  ASSERT_FALSE(LoadPng(EncodeRawPng(rgb), b, params));
  EXPECT_EQ(params.PngBackground, CreateRGB(200, 100, 50));

  RawPng rgb16;
  rgb16.colorType = 2;
  rgb16.depth = 16;
  rgb16.rows = {Row(6, 0)};
  rgb16.bkgd = {{0, 0x1234, 0xABCD, 0x00FF}};
  ASSERT_FALSE(LoadPng(EncodeRawPng(rgb16), b, params));
  EXPECT_EQ(params.PngBackground, CreateRGB(0x12, 0xAB, 0x00));

  RawPng pal;
  pal.colorType = 3;
  pal.palette = {{1, 2, 3}, {40, 50, 60}};
  pal.rows = {Row{0}};
  pal.bkgd = {{1, 0, 0, 0}};
  ASSERT_FALSE(LoadPng(EncodeRawPng(pal), b, params));
  EXPECT_EQ(params.PngBackground, CreateRGB(40, 50, 60));

  RawPng g2;
  g2.colorType = 0;
  g2.depth = 2;
  g2.rows = {Row{0}};
  g2.bkgd = {{0, 2, 0, 0}};
  ASSERT_FALSE(LoadPng(EncodeRawPng(g2), b, params));
  EXPECT_EQ(params.PngBackground, CreateRGB(170, 170, 170));

  // Without bKGD the field keeps what the caller put there.
  params.PngBackground = CreateRGB(9, 8, 7);
  ASSERT_FALSE(LoadPng(EncodeRawPng(RgbImage(1, 1)), b, params));
  EXPECT_EQ(params.PngBackground, CreateRGB(9, 8, 7));
}

TEST(PngReader, TextsInFileOrderAndInfoOnly) {
  RawPng p;
  p.width = 2;
  p.colorType = 3;
  p.palette = {{1, 2, 3}, {4, 5, 6}};
  p.rows = {Row{0, 1}};
  p.texts = {{"Title", "A"}, {"Comment", "B c"}};
  p.zTXt = true;
  TIOParamsVals params;
  params.PngTextKeys = {"old"};
  params.PngTextValues = {"old"};
  TLxBitmap b(5, 5, lx8g);
  b.Fill(77);
  ASSERT_FALSE(LoadPng(EncodeRawPng(p), b, params, true));
  EXPECT_EQ(params.PngTextKeys, (std::vector<std::string>{"Title", "Comment"}));
  EXPECT_EQ(params.PngTextValues, (std::vector<std::string>{"A", "B c"}));
  EXPECT_EQ(params.Width, 2);
  EXPECT_EQ(params.ColorMapCount, 2);
  EXPECT_EQ(params.ColorMap[1], CreateRGB(4, 5, 6));
  EXPECT_EQ(b.Width(), 5) << "info only leaves the bitmap alone";
  EXPECT_EQ(b.Pixels8(4, 4), 77);

  // Texts after the image data follow those before it.
  RawPng after = RgbImage(1, 1);
  after.texts = {{"Late", "z"}};
  after.textAfterImage = true;
  ASSERT_FALSE(LoadPng(EncodeRawPng(after), b, params));
  EXPECT_EQ(params.PngTextKeys, (std::vector<std::string>{"Late"}));
}

// A stream that ends early fails the load; rows never reached are black even in a bitmap
// that held an image of the same size before.
TEST(PngReader, TruncatedStreamSetsAbortingAndLeavesZeroRows) {
  RawPng p = RgbImage(25, 400);
  uint32_t seed = 1;  // incompressible content: several IDAT chunks, the cut lands mid-image
  for (auto& r : p.rows)
    for (auto& v : r) v = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
  std::vector<uint8_t> bytes = EncodeRawPng(p);
  bytes.resize(bytes.size() / 2);
  TLxBitmap b(25, 400, lx24RGB);
  b.Fill(0xFFFFFF);
  TIOParamsVals params;
  TLxFailureReason reason;
  EXPECT_TRUE(LoadPng(bytes, b, params, false, nullptr, &reason));
  EXPECT_EQ(reason.Code, TLxFailure::Truncated);
  EXPECT_EQ(reason.Offset, int64_t(bytes.size()));
  ASSERT_EQ(b.Width(), 25);
  EXPECT_EQ(Px(b, 0, 0), CreateRGB(p.rows[0][0], p.rows[0][1], p.rows[0][2]))
      << "rows before the cut";
  for (int x = 0; x < 25; ++x) ASSERT_EQ(Px(b, x, 399), CreateRGB(0, 0, 0));

  // Without IEND (everything else whole) it fails too.
  std::vector<uint8_t> whole = EncodeRawPng(RgbImage(3, 3));
  whole.resize(whole.size() - 12);
  EXPECT_TRUE(LoadPng(whole, b, params, false, nullptr, &reason));
  EXPECT_EQ(reason.Code, TLxFailure::Truncated);
}

// A deflate stream that libpng cannot inflate is corrupt data, not a cut file.
TEST(PngReader, CorruptZlibDataIsBadData) {
  std::vector<uint8_t> bytes = EncodeRawPng(RgbImage(8, 8));
  // The IDAT chunk follows the 8-byte signature and the 25-byte IHDR chunk.
  const size_t idat = 8 + 25;
  ASSERT_EQ(std::string(bytes.begin() + idat + 4, bytes.begin() + idat + 8), "IDAT");
  const uint32_t length =
      uint32_t(bytes[idat] << 24 | bytes[idat + 1] << 16 | bytes[idat + 2] << 8 | bytes[idat + 3]);
  bytes[idat + 8] = 0x78;
  bytes[idat + 9] = 0x00;  // a zlib header whose check bits are wrong
  uLong crc = crc32(0, bytes.data() + idat + 4, uInt(length + 4));
  for (int i = 0; i < 4; ++i) bytes[idat + 8 + length + size_t(i)] = uint8_t(crc >> (24 - 8 * i));
  TLxBitmap b;
  TIOParamsVals params;
  TLxFailureReason reason;
  EXPECT_TRUE(LoadPng(bytes, b, params, false, nullptr, &reason));
  EXPECT_EQ(reason.Code, TLxFailure::BadData);
  EXPECT_EQ(reason.Detail, "corrupt zlib data");
}

TEST(PngReader, NotAPngSetsAborting) {
  TLxBitmap b;
  TIOParamsVals params;
  TLxFailureReason reason;
  EXPECT_TRUE(LoadPng(std::vector<uint8_t>{'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0}, b, params, false,
                      nullptr, &reason));
  EXPECT_EQ(reason.Code, TLxFailure::BadSignature);
  EXPECT_EQ(reason.Offset, 8);  // libpng looks at all eight signature bytes first
  EXPECT_TRUE(LoadPng({}, b, params, false, nullptr, &reason));
  EXPECT_EQ(reason.Code, TLxFailure::Truncated);
}

// Bytes of a PNG with the given IHDR size and a tiny IDAT, CRCs correct.
std::vector<uint8_t> HeaderOnly(uint32_t w, uint32_t h) {
  std::vector<uint8_t> bytes = EncodeRawPng(RgbImage(1, 1));
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
  };
  put32(16, w);
  put32(20, h);
  uLong crc = crc32(0, bytes.data() + 12, 17);
  put32(29, uint32_t(crc));
  return bytes;
}

TEST(PngReader, AbsurdSizesAreRefusedBeforeAllocating) {
  TLxBitmap b;
  TIOParamsVals params;
  TLxFailureReason reason;
  // 1e6 x 1e6 RGB would be 3 TB; the file has a few bytes.
  EXPECT_TRUE(LoadPng(HeaderOnly(1000000, 1000000), b, params, false, nullptr, &reason));
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_EQ(reason.Code, TLxFailure::TooLarge);
  // 100000 x 50000 is within libpng's limits but far beyond what 70 bytes can inflate to.
  EXPECT_TRUE(LoadPng(HeaderOnly(100000, 50000), b, params, false, nullptr, &reason));
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_EQ(reason.Code, TLxFailure::TooLarge);
  // Beyond the width limit: refused by libpng while reading the header.
  EXPECT_TRUE(LoadPng(HeaderOnly(2000000, 1), b, params, true, nullptr, &reason));
  EXPECT_EQ(reason.Code, TLxFailure::TooLarge);
  // A width of 0 is no size limit but a bad header.
  EXPECT_TRUE(LoadPng(HeaderOnly(0, 1), b, params, true, nullptr, &reason));
  EXPECT_EQ(reason.Code, TLxFailure::BadHeader);
  // A header-only read of a large but plausible header still reports it.
  EXPECT_FALSE(LoadPng(HeaderOnly(5000, 4000), b, params, true));
  EXPECT_EQ(params.Width, 5000);

  // A zTXt chunk that inflates beyond the chunk limit is dropped; the image loads.
  RawPng p = RgbImage(2, 2);
  p.texts = {{"Bomb", std::string(24u << 20, 'a')}, {"Fine", "ok"}};
  p.zTXt = true;
  ASSERT_FALSE(LoadPng(EncodeRawPng(p), b, params));
  EXPECT_EQ(params.PngTextKeys, (std::vector<std::string>{"Fine"}));
  EXPECT_EQ(Px(b, 1, 1), CreateRGB(10, 10, 2));
}

TEST(PngReader, PixelCapRefusesBeforeAllocating) {
  std::vector<uint8_t> bytes = EncodeRawPng(RgbImage(50, 20));
  TLxBitmap b;
  TIOParamsVals params;
  TLxFailureReason reason;
  EXPECT_TRUE(LoadPng(bytes, b, params, false, nullptr, &reason, /*maxPixels=*/999));
  EXPECT_EQ(reason.Code, TLxFailure::TooLarge);
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_EQ(params.Width, 50);  // the header is read as without the cap
  EXPECT_FALSE(LoadPng(bytes, b, params, false, nullptr, &reason, 1000));
  EXPECT_EQ(b.Width(), 50);
  EXPECT_FALSE(LoadPng(bytes, b, params, /*infoOnly=*/true, nullptr, &reason, 1));
}

TEST(PngReader, StreamIsLeftRightAfterTheImage) {
  std::vector<uint8_t> a = EncodeRawPng(RgbImage(2, 2)), c = EncodeRawPng(RgbImage(3, 1));
  std::vector<uint8_t> both = a;
  both.insert(both.end(), c.begin(), c.end());
  TLxMemStream s(both.data(), int64_t(both.size()));
  TLxBitmap b;
  TIOParamsVals params;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  ReadPNGStream(s, b, params, false, progress);
  EXPECT_EQ(s.Position(), int64_t(a.size()));
  ReadPNGStream(s, b, params, false, progress);
  EXPECT_FALSE(aborting);
  EXPECT_EQ(b.Width(), 3);
}

}  // namespace
}  // namespace lumenax
