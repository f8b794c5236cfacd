// BMP writer: depth choice, headers, RLE encoders, alpha, progress and failures, and round
// trips through the reader.
#include <gtest/gtest.h>

#include "bitmap/byte_reader.h"
#include "codecs/bmp/bmp_rle.h"
#include "codecs/bmp/tests/bmp_test_util.h"
#include "tests/support/test_support.h"

namespace lumenax::test {
namespace {

struct Written {
  uint32_t fileSize, offset, headerSize;
  int width, height, bits;
  uint32_t compression, imageSize, ppmX, ppmY, used, important;
};

Written Parse(const std::vector<uint8_t>& f) {
  Written w{};
  EXPECT_GE(f.size(), 26u);
  if (f.size() < 26) return w;
  EXPECT_EQ(f[0], 'B');
  EXPECT_EQ(f[1], 'M');
  w.fileSize = LoadU32LE(&f[2]);
  w.offset = LoadU32LE(&f[10]);
  w.headerSize = LoadU32LE(&f[14]);
  if (w.headerSize == 12) {
    w.width = LoadU16LE(&f[18]);
    w.height = LoadU16LE(&f[20]);
    w.bits = LoadU16LE(&f[24]);
    return w;
  }
  if (f.size() < 54) return w;
  w.width = int32_t(LoadU32LE(&f[18]));
  w.height = int32_t(LoadU32LE(&f[22]));
  w.bits = LoadU16LE(&f[28]);
  w.compression = LoadU32LE(&f[30]);
  w.imageSize = LoadU32LE(&f[34]);
  w.ppmX = LoadU32LE(&f[38]);
  w.ppmY = LoadU32LE(&f[42]);
  w.used = LoadU32LE(&f[46]);
  w.important = LoadU32LE(&f[50]);
  return w;
}

// An lx24RGB image of w x h with a colour pattern of n distinct colours.
void Pattern(TLxBitmap& b, int w, int h, int n) {
  b.Allocate(w, h, lx24RGB);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      int i = (x + 3 * y) % n;
      b.SetPixelsRGB24(x, y, CreateRGB(uint8_t(i * 37), uint8_t(255 - i * 11), uint8_t(i * 5)));
    }
}

// Reads a written file back; the pixels as RGBA.
RgbaImage ReadBack(const std::vector<uint8_t>& f, bool* aborting = nullptr,
                   TIOParamsVals* out = nullptr) {
  TLxBitmap b;
  TIOParamsVals p;
  LoadResult r = LoadBmp(f, b, p);
  if (aborting) *aborting = r.aborting;
  if (out) out->Assign(p);
  return BitmapToRgba(b);
}

TEST(BmpWriter, DepthFollowsTheParameters) {
  TLxBitmap b;
  Pattern(b, 5, 3, 4);
  TIOParamsVals p;
  struct Case {
    int bitsPerSample, samplesPerPixel;
    bool alpha;
    int bits;
  } cases[] = {{1, 1, false, 1}, {4, 1, false, 4},  {8, 1, false, 8},
               {2, 1, false, 8}, {8, 3, false, 24}, {8, 3, true, 32},
               {8, 4, true, 32}, {8, 1, true, 8},   {4, 1, true, 4}};
  for (auto c : cases) {
    b.RemoveAlphaChannel(false, clWhite);
    if (c.alpha) b.AlphaChannel();  // present but opaque
    p.BitsPerSample = c.bitsPerSample;
    p.SamplesPerPixel = c.samplesPerPixel;
    SaveResult r = SaveBmp(b, p, /*keepAlpha=*/true);
    ASSERT_FALSE(r.aborting);
    Written w = Parse(r.bytes);
    EXPECT_EQ(w.bits, c.bits) << c.bitsPerSample << " " << c.samplesPerPixel << " " << c.alpha;
    EXPECT_EQ(w.fileSize, r.bytes.size());
    if (c.bits <= 8) {
      EXPECT_EQ(p.ColorMapCount, 1 << c.bits);
    }
  }
}

TEST(BmpWriter, HeaderFields) {
  TLxBitmap b;
  Pattern(b, 5, 3, 4);
  TIOParamsVals p;
  p.DpiX = 72;
  p.DpiY = 96;
  SaveResult r = SaveBmp(b, p);
  Written w = Parse(r.bytes);
  EXPECT_EQ(w.headerSize, 40u);
  EXPECT_EQ(w.offset, 54u);
  EXPECT_EQ(w.fileSize, 54u + 3 * 16);
  EXPECT_EQ(w.imageSize, 3u * 16);
  EXPECT_EQ(w.width, 5);
  EXPECT_EQ(w.height, 3);
  EXPECT_EQ(w.bits, 24);
  EXPECT_EQ(w.compression, 0u);
  EXPECT_EQ(w.ppmX, 2835u);
  EXPECT_EQ(w.ppmY, 3780u);
  EXPECT_EQ(w.used, 0u);
  EXPECT_EQ(w.important, 16777216u);
  // RLE asked for, but 24-bit output is never compressed.
  p.BmpCompression = 1;
  EXPECT_EQ(Parse(SaveBmp(b, p).bytes).compression, 0u);

  // The 64-byte header is the 40-byte one followed by zeros.
  p.BmpVersion = 3;
  r = SaveBmp(b, p);
  w = Parse(r.bytes);
  EXPECT_EQ(w.headerSize, 64u);
  EXPECT_EQ(w.offset, 78u);
  for (int i = 54; i < 78; ++i) EXPECT_EQ(r.bytes[size_t(i)], 0) << i;

  // Core header: 16-bit sizes, 3-byte palette entries, never compressed.
  p.BmpVersion = 2;
  p.BitsPerSample = 8;
  p.SamplesPerPixel = 1;
  TLxBitmap pal(5, 3, lx8p);
  r = SaveBmp(pal, p);
  w = Parse(r.bytes);
  EXPECT_EQ(w.headerSize, 12u);
  EXPECT_EQ(w.width, 5);
  EXPECT_EQ(w.height, 3);
  EXPECT_EQ(w.bits, 8);
  EXPECT_EQ(w.offset, 14u + 12 + 256 * 3);
  EXPECT_EQ(w.fileSize, w.offset + 3u * 8);
  TIOParamsVals back;
  bool aborting = true;
  ReadBack(r.bytes, &aborting, &back);
  EXPECT_FALSE(aborting);
  EXPECT_EQ(back.BmpVersion, 2);

  // A width the core header cannot hold gets the 40-byte header instead.
  TLxBitmap wide(70000, 1, lx24RGB);
  p.SamplesPerPixel = 3;
  w = Parse(SaveBmp(wide, p).bytes);
  EXPECT_EQ(w.headerSize, 40u);
  EXPECT_EQ(w.width, 70000);
  p.SamplesPerPixel = 1;

  // Palette output: colours used and important are the palette size.
  p.BmpVersion = 1;
  p.BitsPerSample = 4;
  w = Parse(SaveBmp(pal, p).bytes);
  EXPECT_EQ(w.used, 16u);
  EXPECT_EQ(w.important, 16u);
  EXPECT_EQ(w.compression, 2u);
}

TEST(BmpWriter, RleEncodersProduceTheDocumentedBytes) {
  auto enc = [](std::vector<uint8_t> idx, bool rle4) {
    std::vector<uint8_t> out;
    EncodeBmpRleRow(idx.data(), int(idx.size()), rle4, out);
    return out;
  };
  using V = std::vector<uint8_t>;
  EXPECT_EQ(enc(V(10, 7), false), (V{10, 7, 0, 0}));
  EXPECT_EQ(enc({1, 2, 3}, false), (V{0, 3, 1, 2, 3, 0, 0, 0}));
  EXPECT_EQ(enc({1, 2, 3}, true), (V{0, 3, 0x12, 0x30, 0, 0}));
  EXPECT_EQ(enc({5}, false), (V{1, 5, 0, 0}));
  EXPECT_EQ(enc({5, 6}, false), (V{1, 5, 1, 6, 0, 0}));
  EXPECT_EQ(enc({5}, true), (V{1, 0x50, 0, 0}));
  EXPECT_EQ(enc({5, 6}, true), (V{2, 0x56, 0, 0}));
  EXPECT_EQ(enc({1, 2, 3, 4, 5, 6, 7}, true), (V{0, 7, 0x12, 0x34, 0x56, 0x70, 0, 0}));
  EXPECT_EQ(enc({4, 4, 9, 8, 1, 1, 1}, false), (V{2, 4, 1, 9, 1, 8, 3, 1, 0, 0}));
  EXPECT_EQ(enc({3, 3, 3}, true), (V{3, 0x33, 0, 0}));
  // Runs longer than 255 are split.
  EXPECT_EQ(enc(V(300, 2), false), (V{255, 2, 45, 2, 0, 0}));
  // Literal stretches longer than 255 are flushed in chunks.
  V lit(300);
  for (size_t i = 0; i < lit.size(); ++i) lit[i] = uint8_t(i % 2 ? 1 : 2);
  V out = enc(lit, false);
  ASSERT_GE(out.size(), 4u);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 255);
  EXPECT_EQ(out[2 + 255], 0);  // the pad byte of an odd literal
  // The 256th pending pixel is flushed on its own, the rest as a literal of 44.
  EXPECT_EQ(out[258], 1);
  EXPECT_EQ(out[259], lit[255]);
  EXPECT_EQ(out[260], 0);
  EXPECT_EQ(out[261], 44);
}

TEST(BmpWriter, PaletteImagesRoundTripThroughTheReader) {
  // lx8p bitmaps keep their own indices, so every palette depth and both encodings can be
  // checked exactly.
  TLxBitmap b(37, 9, lx8p);
  for (int i = 0; i < 16; ++i)
    b.SetPaletteEntry(i, CreateRGB(uint8_t(i * 16), uint8_t(200 - i), uint8_t(i)));
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 37; ++x)
      b.ScanLine(y)[x] = uint8_t(x < 20 ? (x / 6 + y) % 16 : (x * 7 + y) % 16);
  RgbaImage want = BitmapToRgba(b);
  for (int bits : {4, 8}) {
    for (int compression : {0, 1}) {
      for (int version : {1, 2, 3}) {
        TIOParamsVals p;
        p.BitsPerSample = bits;
        p.SamplesPerPixel = 1;
        p.BmpCompression = uint8_t(compression);
        p.BmpVersion = uint8_t(version);
        SaveResult r = SaveBmp(b, p);
        ASSERT_FALSE(r.aborting);
        Written w = Parse(r.bytes);
        uint32_t wantCompression = compression && version != 2 ? (bits == 4 ? 2 : 1) : 0;
        EXPECT_EQ(w.compression, wantCompression);
        bool aborting = true;
        TIOParamsVals back;
        EXPECT_EQ(CountDifferentPixels(ReadBack(r.bytes, &aborting, &back), want), 0u)
            << bits << " " << compression << " " << version;
        EXPECT_FALSE(aborting);
        if (version != 2) {
          EXPECT_EQ(w.imageSize, r.bytes.size() - w.offset);
        }
        EXPECT_EQ(back.ColorMapCount, 1 << bits);
        EXPECT_EQ(p.ColorMap[3], b.GetPaletteEntry(3));
      }
    }
  }
}

TEST(BmpWriter, FourBitsFromAWiderPaletteTakeTheNearestColour) {
  TLxBitmap b(2, 1, lx8p);
  for (int i = 0; i < 256; ++i) b.SetPaletteEntry(i, CreateRGB(uint8_t(i), uint8_t(i), uint8_t(i)));
  b.ScanLine(0)[0] = 14;
  b.ScanLine(0)[1] = 200;
  TIOParamsVals p;
  p.BitsPerSample = 4;
  SaveResult r = SaveBmp(b, p);
  RgbaImage got = ReadBack(r.bytes);
  EXPECT_EQ(got.at(0, 0)[0], 14);
  EXPECT_EQ(got.at(1, 0)[0], 15);  // the lightest of the 16 entries written
}

TEST(BmpWriter, QuantizedPalettes) {
  // Sixteen colours or fewer are kept exactly, in order of first appearance.
  TLxBitmap b;
  Pattern(b, 9, 5, 12);
  for (int compression : {0, 1}) {
    TIOParamsVals p;
    p.BitsPerSample = 4;
    p.SamplesPerPixel = 1;
    p.BmpCompression = uint8_t(compression);
    SaveResult r = SaveBmp(b, p);
    EXPECT_EQ(Parse(r.bytes).bits, 4);
    EXPECT_EQ(CountDifferentPixels(ReadBack(r.bytes), BitmapToRgba(b)), 0u) << compression;
    ASSERT_EQ(p.ColorMapCount, 16);
    EXPECT_EQ(p.ColorMap[0], b.PixelsRGB24(0, 0));
    EXPECT_EQ(p.ColorMap[1], b.PixelsRGB24(1, 0));
    EXPECT_EQ(p.ColorMap[15], TRGB{});  // entries the quantizer did not fill are black
  }
  // More colours than entries: a reduced palette, every index within it.
  Pattern(b, 40, 20, 60);
  TIOParamsVals p;
  p.BitsPerSample = 4;
  p.SamplesPerPixel = 1;
  bool aborting = true;
  RgbaImage back = ReadBack(SaveBmp(b, p).bytes, &aborting);
  EXPECT_FALSE(aborting);
  EXPECT_GT(CountDifferentPixels(back, BitmapToRgba(b)), 0u);
  // A gray layout gets the gray ramp and keeps its levels at 8 bits.
  TLxBitmap gray(7, 3, lx8g);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 7; ++x) gray.ScanLine(y)[x] = uint8_t(x * 40 + y);
  p.BitsPerSample = 8;
  SaveResult r = SaveBmp(gray, p);
  EXPECT_EQ(Parse(r.bytes).bits, 8);
  EXPECT_EQ(CountDifferentPixels(ReadBack(r.bytes), BitmapToRgba(gray)), 0u);
  // Other colour layouts are converted to true colour first.
  TLxBitmap wide(5, 2, lx32RGB);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 5; ++x) {
      uint8_t* px = wide.ScanLine(y) + 4 * x;
      px[0] = uint8_t(x * 50), px[1] = uint8_t(y * 90), px[2] = 200, px[3] = 0;
    }
  r = SaveBmp(wide, p);
  EXPECT_EQ(CountDifferentPixels(ReadBack(r.bytes), BitmapToRgba(wide)), 0u);
}

TEST(BmpWriter, OneBitPalettes) {
  TIOParamsVals p;
  p.BitsPerSample = 1;
  p.SamplesPerPixel = 1;
  // Two colours: the darker becomes entry 0, and the image keeps both exactly.
  TLxBitmap b(5, 2, lx24RGB);
  b.Fill(0xFF0000);  // TColor: blue
  b.SetPixelsRGB24(1, 0, CreateRGB(255, 0, 0));
  b.SetPixelsRGB24(3, 1, CreateRGB(255, 0, 0));
  SaveResult r = SaveBmp(b, p);
  EXPECT_EQ(Parse(r.bytes).bits, 1);
  ASSERT_EQ(p.ColorMapCount, 2);
  EXPECT_EQ(p.ColorMap[0], CreateRGB(0, 0, 255));  // blue: gray 18 below red's 53
  EXPECT_EQ(p.ColorMap[1], CreateRGB(255, 0, 0));
  EXPECT_EQ(CountDifferentPixels(ReadBack(r.bytes), BitmapToRgba(b)), 0u);
  // One colour: kept in the palette (a 1-bit file of one colour reads back as that colour).
  b.Fill(0x808080);
  r = SaveBmp(b, p);
  EXPECT_EQ(p.ColorMap[0], CreateRGB(128, 128, 128));
  EXPECT_EQ(p.ColorMap[1], CreateRGB(128, 128, 128));
  EXPECT_EQ(Parse(r.bytes).bits, 1);
  EXPECT_EQ(CountDifferentPixels(ReadBack(r.bytes), BitmapToRgba(b)), 0u);
  // One colour that is black or white: black and white, as ever.
  b.Fill(0xFFFFFF);
  r = SaveBmp(b, p);
  EXPECT_EQ(p.ColorMap[0], CreateRGB(0, 0, 0));
  EXPECT_EQ(p.ColorMap[1], CreateRGB(255, 255, 255));
  EXPECT_EQ(CountDifferentPixels(ReadBack(r.bytes), BitmapToRgba(b)), 0u);
  // More colours: threshold at the mean gray level.
  TLxBitmap ramp(8, 1, lx24RGB);
  for (int x = 0; x < 8; ++x) {
    uint8_t v = uint8_t(x * 32);
    ramp.SetPixelsRGB24(x, 0, CreateRGB(v, v, v));
  }
  r = SaveBmp(ramp, p);
  EXPECT_EQ(p.ColorMap[1], CreateRGB(255, 255, 255));
  RgbaImage back = ReadBack(r.bytes);
  EXPECT_EQ(back.at(0, 0)[0], 0);
  EXPECT_EQ(back.at(7, 0)[0], 255);
}

TEST(BmpWriter, TrueColourAndOneBitRoundTrip) {
  TLxBitmap b;
  Pattern(b, 13, 7, 50);
  TIOParamsVals p;
  EXPECT_EQ(CountDifferentPixels(ReadBack(SaveBmp(b, p).bytes), BitmapToRgba(b)), 0u);
  // lx1g: written as it is, black and white.
  TLxBitmap g(13, 7, lx1g);
  for (int y = 0; y < 7; ++y) g.ScanLine(y)[0] = uint8_t(0x35 + y), g.ScanLine(y)[1] = 0xFF;
  p.BitsPerSample = 1;
  p.SamplesPerPixel = 1;
  SaveResult r = SaveBmp(g, p);
  EXPECT_EQ(Parse(r.bytes).bits, 1);
  EXPECT_EQ(CountDifferentPixels(ReadBack(r.bytes), BitmapToRgba(g)), 0u);
  EXPECT_EQ(p.ColorMapCount, 2);
  EXPECT_EQ(p.ColorMap[1], CreateRGB(255, 255, 255));
  // Other layouts give their colours to 24-bit output.
  TLxBitmap gray(3, 2, lx8g);
  gray.Fill(77);
  p.BitsPerSample = 8;
  p.SamplesPerPixel = 3;
  RgbaImage back = ReadBack(SaveBmp(gray, p).bytes);
  EXPECT_EQ(back.at(2, 1)[1], 77);
}

TEST(BmpWriter, AlphaGoesIntoTheFourthByte) {
  TLxBitmap b;
  Pattern(b, 3, 2, 6);
  b.SetAlphaValue(0, 0, 0);
  b.SetAlphaValue(1, 0, 128);
  TIOParamsVals p;
  SaveResult r = SaveBmp(b, p, /*keepAlpha=*/true);
  Written w = Parse(r.bytes);
  EXPECT_EQ(w.bits, 32);
  EXPECT_EQ(w.important, 1u);
  // Bottom row first: the top row, which holds the alpha, is the second stored row.
  const uint8_t* top = &r.bytes[w.offset + 12];
  EXPECT_EQ(top[3], 0);
  EXPECT_EQ(top[7], 128);
  EXPECT_EQ(top[11], 255);
  EXPECT_EQ(CountDifferentPixels(ReadBack(r.bytes), BitmapToRgba(b)), 0u);
  // Without keepAlpha the image is still 32-bit, every fourth byte 255.
  r = SaveBmp(b, p, /*keepAlpha=*/false);
  w = Parse(r.bytes);
  EXPECT_EQ(w.bits, 32);
  for (size_t i = w.offset + 3; i < r.bytes.size(); i += 4) EXPECT_EQ(r.bytes[i], 255);
}

TEST(BmpWriter, TransparencySurvivesAnyDepthSetting) {
  // A palette image with transparency (as a PNG reader leaves it) keeps its alpha with
  // keepAlpha; an opaque alpha channel does not force 32 bits.
  TLxBitmap b;
  Pattern(b, 4, 4, 3);
  b.SetAlphaValue(2, 2, 10);
  TIOParamsVals p;
  p.BitsPerSample = 8;
  p.SamplesPerPixel = 1;
  SaveResult r = SaveBmp(b, p, true);
  EXPECT_EQ(Parse(r.bytes).bits, 32);
  RgbaImage back = ReadBack(r.bytes);
  EXPECT_EQ(back.at(2, 2)[3], 10);
  EXPECT_EQ(back.at(1, 2)[3], 255);
  p.BitsPerSample = 1;
  EXPECT_EQ(Parse(SaveBmp(b, p, true).bytes).bits, 32);
  EXPECT_EQ(Parse(SaveBmp(b, p, false).bytes).bits, 1);
  b.SetAlphaValue(2, 2, 255);
  p.BitsPerSample = 8;
  EXPECT_EQ(Parse(SaveBmp(b, p, true).bytes).bits, 8);
  // A 1-bit alpha channel (from a 1-bit mask) gives 0 and 255.
  TLxMask m;
  m.Allocate(4, 4, 1);
  m.Fill(255);
  m.SetPixel(1, 1, 0);
  b.AlphaChannel()->CopyFromMask(&m);
  ASSERT_EQ(b.AlphaChannel()->PixelFormat(), lx1g);
  p.SamplesPerPixel = 3;
  r = SaveBmp(b, p, true);
  back = ReadBack(r.bytes);
  EXPECT_EQ(back.at(1, 1)[3], 0);
  EXPECT_EQ(back.at(0, 1)[3], 255);
}

TEST(BmpWriter, ProgressAndAbort) {
  TLxBitmap b;
  Pattern(b, 2, 4, 3);
  TIOParamsVals p;
  SaveResult r = SaveBmp(b, p);
  EXPECT_EQ(r.progress, (std::vector<int>{0, 25, 50, 75}));
  // A stream that takes nothing: Aborting, and the headers stay placeholders.
  TLxMemStream readOnly(nullptr, 0);
  bool aborting = false;
  TLxFailureReason reason;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  progress.ReasonPtr = &reason;
  WriteBMPStream(readOnly, b, p, true, progress);
  EXPECT_TRUE(aborting);
  EXPECT_EQ(reason.Code, TLxFailure::WriteFailed);
  EXPECT_EQ(reason.Offset, 0);
  // Aborting set by the handler before the first row: nothing is completed.
  TMemoryStream s;
  aborting = false;
  reason.Clear();
  progress.OnProgressCode = +[](void* data, void*, int) { *static_cast<bool*>(data) = true; };
  progress.OnProgressData = &aborting;
  WriteBMPStream(s, b, p, true, progress);
  EXPECT_TRUE(aborting);
  ASSERT_GE(s.Bytes().size(), 54u);
  EXPECT_EQ(LoadU32LE(&s.Bytes()[2]), 0u);   // file size never filled in
  EXPECT_EQ(LoadU16LE(&s.Bytes()[28]), 0u);  // nor the bit count
  EXPECT_FALSE(reason);                      // a cancel is not the writer's failure
  // An empty bitmap is not written.
  TLxBitmap empty;
  aborting = false;
  progress.OnProgressCode = nullptr;
  WriteBMPStream(s, empty, p, true, progress);
  EXPECT_TRUE(aborting);
  EXPECT_EQ(reason.Code, TLxFailure::NoImage);
}

TEST(BmpWriter, WritesAtTheStreamPosition) {
  TLxBitmap b;
  Pattern(b, 3, 3, 5);
  TIOParamsVals p;
  TMemoryStream s;
  s.Write("prefix", 6);
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  WriteBMPStream(s, b, p, true, progress);
  ASSERT_FALSE(aborting);
  EXPECT_EQ(s.Position(), s.Size());
  std::vector<uint8_t> f(s.Bytes().begin() + 6, s.Bytes().end());
  Written w = Parse(f);
  EXPECT_EQ(w.fileSize, f.size());
  EXPECT_EQ(w.offset, 54u);
  EXPECT_EQ(CountDifferentPixels(ReadBack(f), BitmapToRgba(b)), 0u);
}

}  // namespace
}  // namespace lumenax::test
