// The PNG writer: colour type and depth choices, palettes with the transparent entry,
// chunks, filters, progress and failures; and its files checked by pngcheck and decoded by
// Pillow.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "bitmap/errors.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/png/png.h"
#include "codecs/png/png_deflate.h"
#include "codecs/png/tests/png_test_util.h"
#include "tests/support/test_support.h"

namespace lumenax {
namespace {

#ifdef LX_PNG_ALL_BANDS
// Every image of this file goes through the band encoder: three threads, bands of a row or
// two, so dictionaries span several bands.
const bool kAllBands = [] {
  PngParallelTuning& tuning = PngParallelSettings();
  tuning.minPixels = 1;
  tuning.workers = 3;
  tuning.bandBytes = 16;
  return true;
}();
#endif

using test::LoadPng;
using test::SavePng;

// What a written file holds, chunk by chunk.
struct PngFile {
  uint32_t width = 0, height = 0;
  int depth = 0, colorType = -1, interlace = -1;
  std::vector<std::array<uint8_t, 3>> plte;
  std::vector<uint8_t> trns, bkgd;
  std::optional<std::array<uint32_t, 2>> phys;
  int physUnit = -1;
  std::vector<std::pair<std::string, std::string>> texts;
  std::vector<uint8_t> filters;  // filter byte of each row (non-interlaced images)
  std::vector<std::string> order;
};

uint32_t Be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

PngFile Parse(const std::vector<uint8_t>& b) {
  PngFile f;
  std::vector<uint8_t> idat;
  size_t p = 8;
  while (p + 12 <= b.size()) {
    uint32_t n = Be32(&b[p]);
    std::string type(b.begin() + long(p) + 4, b.begin() + long(p) + 8);
    const uint8_t* d = &b[p + 8];
    f.order.push_back(type);
    if (type == "IHDR") {
      f.width = Be32(d);
      f.height = Be32(d + 4);
      f.depth = d[8];
      f.colorType = d[9];
      f.interlace = d[12];
    } else if (type == "PLTE") {
      for (uint32_t i = 0; i + 2 < n; i += 3) f.plte.push_back({d[i], d[i + 1], d[i + 2]});
    } else if (type == "tRNS") {
      f.trns.assign(d, d + n);
    } else if (type == "bKGD") {
      f.bkgd.assign(d, d + n);
    } else if (type == "pHYs") {
      f.phys = {{Be32(d), Be32(d + 4)}};
      f.physUnit = d[8];
    } else if (type == "tEXt") {
      std::string s(d, d + n);
      size_t z = s.find('\0');
      f.texts.push_back({s.substr(0, z), s.substr(z + 1)});
    } else if (type == "IDAT") {
      idat.insert(idat.end(), d, d + n);
    }
    p += 12 + n;
  }
  if (f.interlace == 0 && f.height > 0) {
    int channels = f.colorType == 2 ? 3 : f.colorType == 6 ? 4 : f.colorType == 4 ? 2 : 1;
    size_t rowBytes = (size_t(f.width) * channels * f.depth + 7) / 8 + 1;
    std::vector<uint8_t> raw(rowBytes * f.height);
    uLongf len = uLongf(raw.size());
    if (uncompress(raw.data(), &len, idat.data(), uLong(idat.size())) == Z_OK)
      for (uint32_t y = 0; y < f.height; ++y) f.filters.push_back(raw[y * rowBytes]);
  }
  return f;
}

// A colourful w x h image, 3 colours per row band.
void Colourful(TLxBitmap& b, int w, int h) {
  b.Allocate(w, h, lx24RGB);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      b.SetPixelsRGB24(x, y, CreateRGB(uint8_t(x * 37 + y), uint8_t(y * 11), uint8_t(x ^ y)));
}

// A w x h image of 40 colours.
void FewColours(TLxBitmap& b, int w, int h) {
  b.Allocate(w, h, lx24RGB);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      int i = (x * 3 + y * 5) % 40;
      b.SetPixelsRGB24(x, y, CreateRGB(uint8_t(i * 6), uint8_t(255 - i * 3), uint8_t(i * i % 256)));
    }
}

TLxMask& AlphaGradient(TLxBitmap& b, TLxMask& m) {
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) b.SetAlphaValue(x, y, uint8_t((x * 40 + y * 3) % 256));
  test::MaskFromAlpha(b, m);
  return m;
}

TEST(PngWriter, ColourTypeFollowsSamplesAndAlpha) {
  TLxBitmap b;
  Colourful(b, 6, 4);
  TIOParamsVals params;
  params.SamplesPerPixel = 3;
  PngFile f = Parse(SavePng(b, params, nullptr));
  EXPECT_EQ(f.colorType, 2);
  EXPECT_EQ(f.depth, 8);

  TLxMask mask;
  AlphaGradient(b, mask);
  f = Parse(SavePng(b, params, &mask));
  EXPECT_EQ(f.colorType, 6);
  EXPECT_EQ(f.depth, 8);
  TLxBitmap back;
  TIOParamsVals readParams;
  ASSERT_FALSE(LoadPng(SavePng(b, params, &mask), back, readParams));
  EXPECT_EQ(test::CountDifferentPixels(test::BitmapToRgba(back), test::BitmapToRgba(b)), 0u);

  // An alpha channel that is all 255, known (AllOpaque) or not, writes no alpha.
  b.AlphaChannel()->Fill(255);
  test::MaskFromAlpha(b, mask);
  EXPECT_EQ(Parse(SavePng(b, params, &mask)).colorType, 2);
  mask.AllOpaque = false;
  EXPECT_EQ(Parse(SavePng(b, params, &mask)).colorType, 2);
  // A 1-bit mask works the same way as an 8-bit one.
  mask.Allocate(6, 4, 1);
  mask.Fill(0xFF);
  mask.SetPixel(5, 3, 0);
  mask.AllOpaque = false;
  std::vector<uint8_t> bytes = SavePng(b, params, &mask);
  EXPECT_EQ(Parse(bytes).colorType, 6);
  ASSERT_FALSE(LoadPng(bytes, back, readParams));
  EXPECT_EQ(back.GetAlphaValue(5, 3), 0);
  EXPECT_EQ(back.GetAlphaValue(4, 3), 255);
}

TEST(PngWriter, PaletteWithAlphaReservesEntryZero) {
  TLxBitmap b;
  Colourful(b, 5, 3);
  TLxMask mask;
  mask.Allocate(5, 3, 8);
  mask.Fill(255);
  mask.SetPixel(1, 1, 254);  // partly transparent becomes fully transparent
  mask.SetPixel(2, 2, 0);
  mask.AllOpaque = false;
  TIOParamsVals params;
  params.SamplesPerPixel = 1;
  params.BitsPerSample = 8;
  params.PngBackground = CreateRGB(1, 2, 3);
  std::vector<uint8_t> bytes = SavePng(b, params, &mask);
  PngFile f = Parse(bytes);
  EXPECT_EQ(f.colorType, 3);
  EXPECT_EQ(f.depth, 8);
  ASSERT_EQ(f.plte.size(), 256u);
  EXPECT_EQ(f.plte[0], (std::array<uint8_t, 3>{1, 2, 3}));
  EXPECT_EQ(f.trns, std::vector<uint8_t>{0});
  EXPECT_EQ(f.bkgd, std::vector<uint8_t>{0}) << "the background is entry 0 itself";

  TLxBitmap back;
  TIOParamsVals readParams;
  ASSERT_FALSE(LoadPng(bytes, back, readParams));
  EXPECT_EQ(back.GetAlphaValue(1, 1), 0);
  EXPECT_EQ(back.GetAlphaValue(2, 2), 0);
  EXPECT_EQ(back.PixelAsRGB(2, 2), CreateRGB(1, 2, 3));
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x)
      if (back.GetAlphaValue(x, y) == 255) {
        EXPECT_EQ(back.PixelAsRGB(x, y), b.PixelAsRGB(x, y));
      }
  EXPECT_EQ(readParams.PngBackground, CreateRGB(1, 2, 3));

  // From lx8p: index i becomes i + 1 and keeps its colour.
  TLxBitmap p(4, 1, lx8p);
  for (int i = 0; i < 256; ++i) p.SetPaletteEntry(i, CreateRGB(uint8_t(i), 0, uint8_t(255 - i)));
  p.SetPixels8(0, 0, 0);
  p.SetPixels8(1, 0, 7);
  p.SetPixels8(2, 0, 255);  // not among the 255 written entries: the nearest one
  p.SetPixels8(3, 0, 9);
  mask.Allocate(4, 1, 8);
  mask.Fill(255);
  mask.SetPixel(3, 0, 0);
  mask.AllOpaque = false;
  ASSERT_FALSE(LoadPng(SavePng(p, params, &mask), back, readParams));
  EXPECT_EQ(back.PixelAsRGB(0, 0), CreateRGB(0, 0, 255));
  EXPECT_EQ(back.PixelAsRGB(1, 0), CreateRGB(7, 0, 248));
  EXPECT_EQ(back.PixelAsRGB(2, 0), CreateRGB(254, 0, 1));
  EXPECT_EQ(back.GetAlphaValue(3, 0), 0);
}

TEST(PngWriter, SingleSampleImages) {
  TIOParamsVals params;
  params.SamplesPerPixel = 1;
  params.BitsPerSample = 8;
  // Gray lx24RGB without alpha: 8-bit gray, not palette.
  TLxBitmap g(3, 2, lx24RGB);
  for (int x = 0; x < 3; ++x)
    g.SetPixelsRGB24(x, 1, CreateRGB(uint8_t(x * 100), uint8_t(x * 100), uint8_t(x * 100)));
  std::vector<uint8_t> bytes = SavePng(g, params, nullptr);
  EXPECT_EQ(Parse(bytes).colorType, 0);
  EXPECT_EQ(Parse(bytes).depth, 8);
  TLxBitmap back;
  TIOParamsVals readParams;
  ASSERT_FALSE(LoadPng(bytes, back, readParams));
  EXPECT_EQ(back.PixelAsRGB(2, 1), CreateRGB(200, 200, 200));

  // Any other bit depth is written as 8 bits and left as 8 in the record.
  params.BitsPerSample = 4;
  EXPECT_EQ(Parse(SavePng(g, params, nullptr)).depth, 8);
  EXPECT_EQ(params.BitsPerSample, 8);

  // 16-bit gray: the high byte, low byte 0.
  TLxBitmap g16(2, 1, lx16g);
  g16.SetPixels16(0, 0, 0xABCD);
  g16.SetPixels16(1, 0, 0x0102);
  params.BitsPerSample = 16;
  bytes = SavePng(g16, params, nullptr);
  EXPECT_EQ(Parse(bytes).depth, 16);
  readParams.IsNativePixelFormat = true;
  ASSERT_FALSE(LoadPng(bytes, back, readParams));
  ASSERT_EQ(back.PixelFormat(), lx16g);
  EXPECT_EQ(back.Pixels16(0, 0), 0xAB00);
  EXPECT_EQ(back.Pixels16(1, 0), 0x0100);

  // A colour image as 16-bit palette is refused by libpng, and that is an exception.
  TLxBitmap c;
  Colourful(c, 4, 4);
  try {
    SavePng(c, params, nullptr);
    ADD_FAILURE() << "no exception";
  } catch (const EInvalidGraphic& e) {
    EXPECT_STREQ(e.what(), "Error on creating PNG");
  }

  // lx1g with one bit per sample is written as stored.
  TLxBitmap one(10, 1, lx1g);
  one.ScanLine(0)[0] = 0b10100000;
  one.ScanLine(0)[1] = 0b01000000;
  params.BitsPerSample = 1;
  bytes = SavePng(one, params, nullptr);
  EXPECT_EQ(Parse(bytes).colorType, 0);
  EXPECT_EQ(Parse(bytes).depth, 1);
  readParams.IsNativePixelFormat = false;
  ASSERT_FALSE(LoadPng(bytes, back, readParams));
  EXPECT_EQ(back.PixelFormat(), lx1g);
  EXPECT_EQ(back.ScanLine(0)[0], 0b10100000);
  EXPECT_EQ(back.ScanLine(0)[1] & 0xC0, 0b01000000);

  // A layout the quantizer cannot read is judged by its colours.
  TLxBitmap rgb48(2, 1, lxRGB48);
  rgb48.SetPixelsRGB48(0, 0, 0xFF00, 0, 0);
  rgb48.SetPixelsRGB48(1, 0, 0, 0, 0xFF00);
  params.BitsPerSample = 8;
  bytes = SavePng(rgb48, params, nullptr);
  EXPECT_EQ(Parse(bytes).colorType, 3);
  ASSERT_FALSE(LoadPng(bytes, back, readParams));
  EXPECT_EQ(back.PixelAsRGB(0, 0), CreateRGB(255, 0, 0));
  EXPECT_EQ(back.PixelAsRGB(1, 0), CreateRGB(0, 0, 255));
}

// One bit per sample: two colours other than black and white are kept in a two-entry palette
// (the darker first); black and white stay gray; more colours are converted to black and white.
TEST(PngWriter, OneBitOutputFromColourImages) {
  TLxBitmap b(9, 2, lx24RGB);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 9; ++x)
      b.SetPixelsRGB24(x, y, (x + y) % 2 ? CreateRGB(255, 0, 0) : CreateRGB(0, 0, 255));
  TIOParamsVals params;
  params.SamplesPerPixel = 1;
  params.BitsPerSample = 1;
  std::vector<uint8_t> bytes = SavePng(b, params, nullptr);
  PngFile f = Parse(bytes);
  EXPECT_EQ(f.colorType, 3);
  EXPECT_EQ(f.depth, 1);
  TLxBitmap back;
  TIOParamsVals readParams;
  ASSERT_FALSE(LoadPng(bytes, back, readParams));
  ASSERT_EQ(readParams.ColorMapCount, 2);
  EXPECT_EQ(readParams.ColorMap[0], CreateRGB(0, 0, 255)) << "the darker colour is entry 0";
  EXPECT_EQ(readParams.ColorMap[1], CreateRGB(255, 0, 0));
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 9; ++x)
      EXPECT_EQ(back.PixelAsRGB(x, y), (x + y) % 2 ? CreateRGB(255, 0, 0) : CreateRGB(0, 0, 255))
          << x;

  // One colour that is neither black nor white: kept too.
  TLxBitmap flat(3, 3, lx24RGB);
  flat.Fill(0);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x) flat.SetPixelsRGB24(x, y, CreateRGB(10, 200, 30));
  bytes = SavePng(flat, params, nullptr);
  EXPECT_EQ(Parse(bytes).colorType, 3);
  ASSERT_FALSE(LoadPng(bytes, back, readParams));
  EXPECT_EQ(back.PixelAsRGB(2, 2), CreateRGB(10, 200, 30));

  // With transparency, the palette path keeps the colours and the transparent pixels.
  TLxBitmap holed(9, 2, lx24RGB);
  for (int x = 0; x < 9; ++x) {
    holed.SetPixelsRGB24(x, 0, CreateRGB(255, 0, 0));
    holed.SetPixelsRGB24(x, 1, CreateRGB(0, 0, 255));
    holed.SetAlphaValue(x, 1, x == 4 ? 0 : 255);
  }
  TLxMask holes;
  test::MaskFromAlpha(holed, holes);
  bytes = SavePng(holed, params, &holes);
  f = Parse(bytes);
  EXPECT_EQ(f.colorType, 3);
  ASSERT_FALSE(LoadPng(bytes, back, readParams));
  EXPECT_EQ(back.PixelAsRGB(0, 0), CreateRGB(255, 0, 0));
  EXPECT_EQ(back.PixelAsRGB(8, 1), CreateRGB(0, 0, 255));
  ASSERT_TRUE(back.HasAlphaChannel());
  EXPECT_EQ(back.GetAlphaValue(4, 1), 0);
  EXPECT_EQ(back.GetAlphaValue(3, 1), 255);

  // Black and white: gray, as ever.
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 9; ++x)
      b.SetPixelsRGB24(x, y, (x + y) % 2 ? CreateRGB(255, 255, 255) : CreateRGB(0, 0, 0));
  f = Parse(SavePng(b, params, nullptr));
  EXPECT_EQ(f.colorType, 0);
  EXPECT_EQ(f.depth, 1);

  // Three colours: converted, still one bit.
  b.SetPixelsRGB24(0, 0, CreateRGB(250, 250, 250));
  f = Parse(SavePng(b, params, nullptr));
  EXPECT_EQ(f.colorType, 0);
  EXPECT_EQ(f.depth, 1);
  EXPECT_EQ(b.PixelFormat(), lx24RGB) << "the caller's bitmap is not converted";
}

TEST(PngWriter, ChunksAndSettings) {
  TLxBitmap b;
  Colourful(b, 8, 6);
  TIOParamsVals params;
  params.DpiX = 72;
  params.DpiY = 300;
  params.PngTextKeys = {"Title", "", "Author", "Orphan"};  // no keyword: left out
  params.PngTextValues = {"T", "none", "A"};
  params.PngBackground = CreateRGB(200, 100, 50);
  std::vector<uint8_t> bytes = SavePng(b, params, nullptr);
  PngFile f = Parse(bytes);
  ASSERT_TRUE(f.phys);
  EXPECT_EQ((*f.phys)[0], 2835u);
  EXPECT_EQ((*f.phys)[1], 11811u);
  EXPECT_EQ(f.physUnit, 1);
  // Resolutions whose pixels per metre pass the 32-bit field are stored as its largest value.
  TIOParamsVals huge;
  huge.DpiX = 100000000;  // 3937007874 pixels per metre: still fits
  huge.DpiY = 2000000000;
  PngFile hugeFile = Parse(SavePng(b, huge, nullptr));
  ASSERT_TRUE(hugeFile.phys);
  EXPECT_EQ((*hugeFile.phys)[0], 3937007874u);
  EXPECT_EQ((*hugeFile.phys)[1], 4294967295u);
  EXPECT_EQ(f.texts,
            (std::vector<std::pair<std::string, std::string>>{{"Title", "T"}, {"Author", "A"}}));
  EXPECT_EQ(f.bkgd, (std::vector<uint8_t>{0, 200, 0, 100, 0, 50}))
      << "8-bit values in 16-bit fields";
  EXPECT_EQ(f.interlace, 0);

  // The background, resolution and texts come back through the reader.
  TLxBitmap back;
  TIOParamsVals readParams;
  ASSERT_FALSE(LoadPng(bytes, back, readParams));
  EXPECT_EQ(readParams.PngBackground, CreateRGB(200, 100, 50));
  EXPECT_EQ(readParams.DpiX, 72);
  EXPECT_EQ(readParams.DpiY, 300);
  EXPECT_EQ(readParams.PngTextKeys, (std::vector<std::string>{"Title", "Author"}));

  // Palette images point at the entry nearest to the background.
  TLxBitmap few;
  FewColours(few, 10, 10);
  params.SamplesPerPixel = 1;
  params.PngBackground = few.PixelAsRGB(3, 4);
  bytes = SavePng(few, params, nullptr);
  f = Parse(bytes);
  ASSERT_EQ(f.colorType, 3);
  ASSERT_EQ(f.bkgd.size(), 1u);
  ASSERT_FALSE(LoadPng(bytes, back, readParams));
  EXPECT_EQ(readParams.PngBackground, few.PixelAsRGB(3, 4));
  params.PngBackground = CreateRGB(200, 100, 50);

  // Gray images get the background's gray level at their depth.
  TLxBitmap g(2, 2, lx8g);
  EXPECT_EQ(Parse(SavePng(g, params, nullptr)).bkgd, (std::vector<uint8_t>{0, 117}));
  params.BitsPerSample = 16;
  EXPECT_EQ(Parse(SavePng(g, params, nullptr)).bkgd, (std::vector<uint8_t>{117, 117}));

  // Filters: 0 none, 1 Sub, 2 Paeth on every row; other values leave the choice to libpng.
  params.SamplesPerPixel = 3;
  Colourful(b, 64, 32);
  for (int filter : {0, 1, 2}) {
    params.PngFilter = uint8_t(filter);
    f = Parse(SavePng(b, params, nullptr));
    ASSERT_EQ(f.filters.size(), 32u);
    for (uint8_t v : f.filters) EXPECT_EQ(v, filter == 2 ? 4 : filter) << filter;
  }
  params.PngFilter = 3;
  f = Parse(SavePng(b, params, nullptr));
  ASSERT_EQ(f.filters.size(), 32u);
  EXPECT_GT(std::set<uint8_t>(f.filters.begin(), f.filters.end()).size(), 1u);

  // Compression level reaches zlib: level 0 stores, 9 is smaller than 1.
  params.PngFilter = 0;
  params.PngCompression = 0;
  size_t stored = SavePng(b, params, nullptr).size();
  params.PngCompression = 9;
  size_t best = SavePng(b, params, nullptr).size();
  EXPECT_GT(stored, size_t(64 * 32 * 3));
  EXPECT_LT(best, stored);

  params.PngInterlaced = true;
  EXPECT_EQ(Parse(SavePng(b, params, nullptr)).interlace, 1);
}

TEST(PngWriter, ProgressAndStreamFailures) {
  TLxBitmap b;
  Colourful(b, 5, 10);
  TIOParamsVals params;
  test::ProgressLog log;
  SavePng(b, params, nullptr, nullptr, &log);
  ASSERT_EQ(log.percents.size(), 10u);
  EXPECT_EQ(log.percents.front(), 10);
  EXPECT_EQ(log.percents.back(), 100);
  params.PngInterlaced = true;
  log = {};
  SavePng(b, params, nullptr, nullptr, &log);
  EXPECT_EQ(log.percents.size(), 70u);

  // Aborting from the handler stops after the first row and skips the end of the image.
  log = {};
  log.abortAtFirst = true;
  bool aborting = false;
  std::vector<uint8_t> bytes = SavePng(b, params, nullptr, &aborting, &log);
  EXPECT_TRUE(aborting);
  EXPECT_EQ(log.percents.size(), 1u);
  std::vector<std::string> order = Parse(bytes).order;
  EXPECT_EQ(std::count(order.begin(), order.end(), "IEND"), 0);

  // A stream that takes nothing: Aborting, no exception.
  bool abortingShort = false;
  TLxFailureReason reason;
  ProgressRecord progress;
  progress.AbortingPtr = &abortingShort;
  progress.ReasonPtr = &reason;
  uint8_t nothing = 0;
  TLxMemStream readOnly(&nothing, 1);
  WritePNGStream(readOnly, b, params, nullptr, progress);
  EXPECT_TRUE(abortingShort);
  EXPECT_EQ(reason.Code, TLxFailure::WriteFailed);
  EXPECT_EQ(reason.Offset, 0);

  // A stream that raises: its exception reaches the caller, not swallowed by libpng.
  TLxBufferedReadStream raising(readOnly, false, 16);
  EXPECT_THROW(WritePNGStream(raising, b, params, nullptr, progress), EWriteError);
}

// The codec keeps no state between calls: threads encoding and decoding at once get what one
// thread alone gets.
TEST(PngWriter, ThreadsAtOnce) {
  TLxBitmap source;
  Colourful(source, 61, 47);
  TLxMask mask;
  AlphaGradient(source, mask);
  TIOParamsVals params;
  params.PngInterlaced = true;
  const std::vector<uint8_t> want = SavePng(source, params, &mask);
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        TIOParamsVals p;
        p.PngInterlaced = true;
        TLxBitmap copy;
        copy.Assign(source);
        TLxMask m;
        copy.AlphaChannel()->CopyToMask(m);
        std::vector<uint8_t> bytes = SavePng(copy, p, &m);
        TLxBitmap back;
        TIOParamsVals readParams;
        if (bytes != want || LoadPng(bytes, back, readParams) ||
            test::CountDifferentPixels(test::BitmapToRgba(back), test::BitmapToRgba(source)) != 0)
          ++failures[size_t(t)];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

// ------------------------------------------------------------------- other programs' view

struct Written {
  std::string name;
  test::RgbaImage expected;
  std::string dpi;    // Pillow's dpi text, "" to skip
  std::string texts;  // Pillow's text pairs, "" to skip
};

TEST(PngWriterPeers, PngcheckAndPillowAgreeOnEveryColourType) {
  if (!test::HaveProgram("pngcheck") || !test::HaveProgram("/usr/bin/python3"))
    GTEST_SKIP() << "pngcheck or /usr/bin/python3 missing";
  test::TempDir dir;
  std::vector<Written> files;
  // Pillow must see what our reader sees, and for every choice but the reduced palette
  // that is the source image (with the background under transparent palette pixels).
  auto save = [&](const std::string& name, TLxBitmap& b, TIOParamsVals& params, const TLxMask* mask,
                  const test::RgbaImage* expected, std::string dpi = "", std::string texts = "") {
    std::vector<uint8_t> bytes = SavePng(b, params, mask);
    test::WriteFileBytes(dir / name, bytes);
    TLxBitmap back;
    TIOParamsVals readParams;
    readParams.IsNativePixelFormat = true;
    EXPECT_FALSE(LoadPng(bytes, back, readParams)) << name;
    test::RgbaImage ours = test::BitmapToRgba(back);
    if (expected) {
      EXPECT_EQ(test::CountDifferentPixels(ours, *expected), 0u) << name;
    }
    files.push_back({name, ours, dpi, texts});
  };
  test::RgbaImage srcImage;
  auto source = [&](TLxBitmap& b) {
    srcImage = test::BitmapToRgba(b);
    return &srcImage;
  };

  TLxBitmap rgb;
  Colourful(rgb, 37, 23);
  TIOParamsVals params;
  params.SamplesPerPixel = 3;
  for (int filter : {0, 1, 2, 5}) {
    params.PngFilter = uint8_t(filter);
    save("rgb-filter" + std::to_string(filter) + ".png", rgb, params, nullptr, source(rgb));
  }
  params.PngFilter = 0;
  params.DpiX = params.DpiY = 96;
  params.PngTextKeys = {"Title", "Comment"};
  params.PngTextValues = {"Lumenax", "two words"};
  save("rgb-texts.png", rgb, params, nullptr, source(rgb), "96.012,96.012",
       "Title=Lumenax\tComment=two words");
  params.PngTextKeys.clear();
  params.PngTextValues.clear();

  TLxBitmap rgba;
  Colourful(rgba, 37, 23);
  TLxMask mask;
  AlphaGradient(rgba, mask);
  save("rgba.png", rgba, params, &mask, source(rgba));
  params.PngInterlaced = true;
  save("rgba-interlaced.png", rgba, params, &mask, source(rgba));
  params.PngInterlaced = false;

  params.SamplesPerPixel = 1;
  params.BitsPerSample = 8;
  TLxBitmap few;
  FewColours(few, 37, 23);
  save("palette.png", few, params, nullptr, source(few));  // 40 colours: exact
  params.PngInterlaced = true;
  save("palette-interlaced.png", few, params, nullptr, source(few));
  params.PngInterlaced = false;
  save("palette-reduced.png", rgb, params, nullptr, nullptr);  // 851 colours

  TLxBitmap holes;
  FewColours(holes, 37, 23);
  for (int y = 0; y < 23; ++y)
    for (int x = 0; x < 37; ++x) holes.SetAlphaValue(x, y, (x + y) % 3 ? 255 : 0);
  TLxMask holeMask;
  test::MaskFromAlpha(holes, holeMask);
  params.PngBackground = CreateRGB(9, 9, 9);
  test::RgbaImage holesWant = *source(holes);
  for (size_t i = 0; i < holesWant.rgba.size(); i += 4)
    if (holesWant.rgba[i + 3] == 0)
      holesWant.rgba[i] = holesWant.rgba[i + 1] = holesWant.rgba[i + 2] = 9;
  save("palette-transparent.png", holes, params, &holeMask, &holesWant);

  TLxBitmap gray(40, 9, lx8g);
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 40; ++x) gray.SetPixels8(x, y, uint8_t(x * 6 + y));
  save("gray8.png", gray, params, nullptr, source(gray));
  TLxBitmap gray16(40, 9, lx16g);
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 40; ++x) gray16.SetPixels16(x, y, uint16_t((x * 6 + y) * 257));
  params.BitsPerSample = 16;
  save("gray16.png", gray16, params, nullptr, source(gray16));
  TLxBitmap bw(21, 5, lx1g);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 21; ++x)
      if ((x + y) % 4 == 0) bw.ScanLine(y)[x / 8] |= uint8_t(0x80 >> (x % 8));
  params.BitsPerSample = 1;
  save("gray1.png", bw, params, nullptr, source(bw));
  TLxBitmap pair(21, 5, lx24RGB);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 21; ++x)
      pair.SetPixelsRGB24(x, y, (x + y) % 3 ? CreateRGB(40, 90, 200) : CreateRGB(230, 250, 20));
  save("palette1.png", pair, params, nullptr, source(pair));

  std::string cmd =
      "/usr/bin/python3 " +
      test::ShellQuote((test::SourceDir() / "codecs/png/tests/pillow_decode.py").string());
  for (auto& w : files) {
    std::string out;
    EXPECT_EQ(test::RunCommand("pngcheck -q " + test::ShellQuote((dir / w.name).string()), &out), 0)
        << w.name << ": " << out;
    cmd += " " + test::ShellQuote((dir / w.name).string());
  }
  std::string report;
  ASSERT_EQ(test::RunCommand(cmd, &report), 0);
  std::map<std::string, std::vector<std::string>> lines;
  std::istringstream in(report);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::istringstream ls(line);
    for (std::string field; std::getline(ls, field, '\t');) fields.push_back(field);
    lines[std::filesystem::path(fields[0]).filename().string()] = fields;
  }
  for (auto& w : files) {
    SCOPED_TRACE(w.name);
    ASSERT_TRUE(lines.count(w.name));
    const auto& fields = lines[w.name];
    std::vector<uint8_t> rgba = test::ReadFileBytes(dir / (w.name + ".rgba"));
    EXPECT_EQ(fields[2], std::to_string(w.expected.width));
    EXPECT_EQ(fields[3], std::to_string(w.expected.height));
    ASSERT_EQ(rgba.size(), w.expected.rgba.size());
    size_t differ = 0;
    for (size_t i = 0; i < rgba.size(); i += 4)
      differ += std::memcmp(&rgba[i], &w.expected.rgba[i], 4) != 0;
    EXPECT_EQ(differ, 0u);
    if (!w.dpi.empty()) {
      EXPECT_EQ(fields[4], w.dpi);
    }
    if (!w.texts.empty()) {
      std::string texts;
      for (size_t i = 5; i < fields.size(); ++i) texts += (i > 5 ? "\t" : "") + fields[i];
      EXPECT_EQ(texts, w.texts);
    }
  }
}

}  // namespace
}  // namespace lumenax
