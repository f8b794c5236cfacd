// The icon writer: the default layout byte for byte, refused requests, the layout each depth
// needs, transparency through the AND mask, odd widths, aborts, and the size lists as text.
#include <gtest/gtest.h>

#include "bitmap/byte_reader.h"
#include "bitmap/stream.h"
#include "codecs/ico/ico.h"
#include "codecs/ico/tests/ico_test_util.h"
#include "io/lumenax_io.h"
#include "io/param_fields.h"

namespace lumenax::test {
namespace {

struct Written {
  Bytes bytes;
  bool aborting = false;
  TLxFailureReason reason;
};

Written Write(TLxBitmap& bitmap, TIOParamsVals& params, std::vector<int32_t> counts,
              std::vector<TIcoSize> sizes, int64_t at = 0) {
  TMemoryStream out;
  out.SetSize(at);
  out.Seek(at, soBeginning);
  Written w;
  ProgressRecord progress;
  progress.AbortingPtr = &w.aborting;
  progress.ReasonPtr = &w.reason;
  WriteIcoStream(out, bitmap, params, counts, sizes, progress);
  w.bytes = out.Bytes();
  return w;
}

// A w x h picture of four colours in quarters; with alpha, the top-left pixel is transparent
// and the next one half transparent.
TLxBitmap& Quarters(TLxBitmap& b, int w, int h, bool alpha) {
  b.Allocate(w, h, lx24RGB);
  const TRGB c[4] = {CreateRGB(200, 10, 10), CreateRGB(10, 200, 10), CreateRGB(10, 10, 200),
                     CreateRGB(250, 250, 250)};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const TRGB& q = c[(x * 2 / w) + 2 * (y * 2 / h)];
      uint8_t* p = b.ScanLine(y) + 3 * x;
      p[0] = q.b, p[1] = q.g, p[2] = q.r;
    }
  if (alpha) {
    b.SetAlphaValue(0, 0, 0);
    b.SetAlphaValue(1, 0, 128);
  }
  return b;
}

TEST(IcoWriter, DefaultsGiveOne64By64EightBitImage) {
  TLxBitmap b;
  Quarters(b, 100, 80, false);
  TIOParamsVals p;
  p.DpiX = p.DpiY = 96;
  const int n = p.IcoSizeCount();
  ASSERT_EQ(n, 1);
  Written w = Write(b, p, {p.IcoBitCounts[0]}, {p.IcoSizes[0]});
  ASSERT_FALSE(w.aborting) << w.reason.Text();
  const Bytes& f = w.bytes;
  ASSERT_EQ(f.size(), 6u + 16 + 40 + 1024 + 64 * 64 + 64 * 8);
  EXPECT_EQ(LoadU16LE(&f[0]), 0);
  EXPECT_EQ(LoadU16LE(&f[2]), 1);
  EXPECT_EQ(LoadU16LE(&f[4]), 1);
  // Entry: 64, 64, 255 colours, reserved, planes 0, bit count 0, bytes, offset.
  EXPECT_EQ(f[6], 64);
  EXPECT_EQ(f[7], 64);
  EXPECT_EQ(f[8], 255);
  EXPECT_EQ(f[9], 0);
  EXPECT_EQ(LoadU16LE(&f[10]), 0);
  EXPECT_EQ(LoadU16LE(&f[12]), 0);
  EXPECT_EQ(LoadU32LE(&f[14]), 40u + 1024 + 4096 + 512);
  EXPECT_EQ(LoadU32LE(&f[18]), 22u);
  const uint8_t* ih = &f[22];
  EXPECT_EQ(LoadU32LE(ih), 40u);
  EXPECT_EQ(LoadU32LE(ih + 4), 64u);
  EXPECT_EQ(LoadU32LE(ih + 8), 128u);
  EXPECT_EQ(LoadU16LE(ih + 12), 1);
  EXPECT_EQ(LoadU16LE(ih + 14), 8);
  EXPECT_EQ(LoadU32LE(ih + 16), 0u);
  EXPECT_EQ(LoadU32LE(ih + 20), 4608u);
  EXPECT_EQ(LoadU32LE(ih + 24), 3780u);
  EXPECT_EQ(LoadU32LE(ih + 32), 0u);
  EXPECT_EQ(LoadU32LE(ih + 36), 0u);
  EXPECT_EQ(LoadU32LE(ih + 40), 0u) << "palette entry 0 is black";
  // No transparency: the mask is empty. The record keeps the quantizer's palette.
  for (size_t i = f.size() - 512; i < f.size(); ++i) ASSERT_EQ(f[i], 0) << i;
  EXPECT_EQ(p.ColorMapCount, 256);
  EXPECT_EQ(p.ColorMap[0], CreateRGB(200, 10, 10));
  // The source is not changed.
  EXPECT_EQ(b.Width(), 100);
  EXPECT_FALSE(b.HasAlphaChannel());
}

TEST(IcoWriter, RequestsADirectoryCannotHoldWriteNothing) {
  TLxBitmap b;
  Quarters(b, 8, 8, false);
  const std::vector<std::vector<TIcoSize>> bad = {
      {}, {{300, 16}}, {{16, 0}}, {{16, 16}, {16, 257}}};
  for (const auto& sizes : bad) {
    TIOParamsVals p;
    Written w = Write(b, p, std::vector<int32_t>(sizes.size(), 8), sizes);
    EXPECT_TRUE(w.aborting);
    EXPECT_EQ(w.reason.Code, sizes.empty() ? TLxFailure::NoImage : TLxFailure::Unsupported);
    EXPECT_TRUE(w.bytes.empty());
  }
  // Through the component: no size in IcoSizes fails the save and leaves the old file.
  TempDir dir;
  WriteFileBytes(dir / "old.ico", {'o', 'l', 'd'});
  TLumenaxIO io;
  Quarters(*io.Bitmap(), 8, 8, false);
  io.Params.IcoSizes = {};
  io.SaveToFile(dir / "old.ico");
  EXPECT_TRUE(io.Aborting);
  EXPECT_EQ(io.FailureReason.Code, TLxFailure::NoImage);
  EXPECT_EQ(ReadFileBytes(dir / "old.ico"), (Bytes{'o', 'l', 'd'}));
}

TEST(IcoWriter, EveryDepthRoundTripsWithItsTransparency) {
  // 1-bit images are made from a two-colour picture; the rest from four colours.
  for (int depth : {1, 4, 8, 24, 32}) {
    SCOPED_TRACE(depth);
    TLxBitmap b;
    Quarters(b, 16, 16, true);
    if (depth == 1) {
      for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) std::memset(b.ScanLine(y) + 3 * x, (x + y) % 3 ? 255 : 0, 3);
    }
    TIOParamsVals p;
    Written w = Write(b, p, {depth}, {{16, 16}});
    ASSERT_FALSE(w.aborting) << w.reason.Text();
    Loaded l;
    LoadIcon(w.bytes, l, false, [](TIOParamsVals& q) { q.IcoBackground = {}; });
    ASSERT_FALSE(l.aborting) << l.reason.Text();
    EXPECT_EQ(IcoParams::IcoBitCountsText(l.params), std::to_string(depth));
    EXPECT_EQ(l.bitmap.PixelFormat(), depth == 1 ? lx1g : lx24RGB);
    RgbaImage ours = l.Rgba(), src = BitmapToRgba(b);
    EXPECT_EQ(ours.at(0, 0)[3], 0) << "transparent";
    EXPECT_EQ(ours.at(1, 0)[3], depth == 32 ? 128 : 0) << "half transparent";
    size_t wrong = 0;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x)
        if (src.at(x, y)[3] == 255 && std::memcmp(src.at(x, y), ours.at(x, y), 4) != 0) ++wrong;
    EXPECT_EQ(wrong, 0u);
  }
}

TEST(IcoWriter, DepthsGetTheLayoutTheyNeed) {
  // A bilevel bitmap saved at the default 8 bits reads 24-bit pixels from a converted copy
  // (not three bytes per pixel from its bit rows); a 24-bit bitmap saved at 1 bit is made
  // bilevel first (its two colours black and white).
  TLxBitmap bw(16, 3, lx1g);
  for (int x = 0; x < 16; x += 2) bw.ScanLine(1)[x / 8] |= uint8_t(0x80 >> (x % 8));
  TIOParamsVals p;
  Written w = Write(bw, p, {8, 0}, {{16, 3}, {16, 3}});
  ASSERT_FALSE(w.aborting) << w.reason.Text();
  for (int index : {0, 1}) {
    Loaded l;
    LoadIcon(w.bytes, l, false, [index](TIOParamsVals& q) { q.SetImageIndex(index); });
    ASSERT_FALSE(l.aborting);
    EXPECT_EQ(l.params.BitsPerSample, index == 0 ? 8 : 1) << "bit count 0 of lx1g is 1 bit";
    EXPECT_EQ(l.bitmap.PixelAsRGB(0, 1), (TRGB{255, 255, 255}));
    EXPECT_EQ(l.bitmap.PixelAsRGB(1, 1), (TRGB{0, 0, 0}));
    EXPECT_EQ(l.bitmap.PixelAsRGB(0, 0), (TRGB{0, 0, 0}));
  }
  TLxBitmap two(5, 2, lx24RGB);
  for (int x = 0; x < 5; ++x) std::memset(two.ScanLine(1) + 3 * x, x % 2 ? 30 : 220, 3);
  std::memset(two.ScanLine(0), 30, 15);
  Written v = Write(two, p, {1}, {{5, 2}});
  ASSERT_FALSE(v.aborting);
  // Header 6 + 16, info header 40, palette 8: the bottom colour row is the stored one.
  EXPECT_EQ(v.bytes[70], 0b10101000) << "the lighter colour is white";
  EXPECT_EQ(LoadU32LE(&v.bytes[22 + 20]), 2u * (4 + 4)) << "image size with the mask rows";
}

TEST(IcoWriter, ImageSizeFieldAndOddFourBitRows) {
  TLxBitmap b;
  Quarters(b, 16, 16, false);
  TIOParamsVals p;
  Written w = Write(b, p, {1, 4, 8}, {{16, 16}, {7, 5}, {64, 64}});
  ASSERT_FALSE(w.aborting);
  auto image = [&](int i) { return &w.bytes[LoadU32LE(&w.bytes[6 + 16 * i + 12])]; };
  EXPECT_EQ(LoadU32LE(image(0) + 20), 128u) << "16 x 16 at 1 bit with its padded mask";
  EXPECT_EQ(LoadU32LE(image(1) + 20), 5u * (4 + 4));
  EXPECT_EQ(LoadU32LE(image(2) + 20), 4608u);
  // 7 pixels at 4 bits: the low half of the fourth byte, and the padding, are 0.
  const uint8_t* rows = image(1) + 40 + 64;
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(rows[4 * k + 3] & 0x0F, 0) << k;
    EXPECT_NE(rows[4 * k] >> 4, 0) << "opaque pixels are not index 0";
  }
}

TEST(IcoWriter, StreamPositionAndResampledSizes) {
  TLxBitmap b;
  Quarters(b, 40, 40, true);
  TIOParamsVals p;
  const std::vector<int32_t> counts{32, 24, 8};
  const std::vector<TIcoSize> sizes{{256, 256}, {17, 9}, {1, 1}};
  Written at0 = Write(b, p, counts, sizes, 0);
  Written at100 = Write(b, p, counts, sizes, 100);
  ASSERT_FALSE(at0.aborting || at100.aborting);
  ASSERT_EQ(at100.bytes.size(), at0.bytes.size() + 100);
  EXPECT_TRUE(std::equal(at0.bytes.begin(), at0.bytes.end(), at100.bytes.begin() + 100));
  EXPECT_EQ(at0.bytes[6], 0) << "256 is stored as 0";
  EXPECT_EQ(at0.bytes[7], 0);
  EXPECT_EQ(LoadU16LE(&at0.bytes[12]), 32);
  Loaded l;
  LoadIcon(at0.bytes, l, false, [](TIOParamsVals& q) { q.SetImageIndex(0); });
  EXPECT_EQ(IcoParams::IcoSizesText(l.params), "17x9,1x1") << "the 256 entry is not listed";
  EXPECT_EQ(l.bitmap.Width(), 17);
  EXPECT_EQ(l.bitmap.Height(), 9);
}

TEST(IcoWriter, AnAbortBetweenImagesFailsTheSave) {
  TempDir dir;
  WriteFileBytes(dir / "t.ico", {'o', 'l', 'd'});
  TLumenaxIO io;
  Quarters(*io.Bitmap(), 32, 32, false);
  ASSERT_EQ(SetIOValue(io, "IcoSizes", "16x16,32x32,48x48"), SetValueResult::Ok);
  std::vector<int> seen;
  io.OnProgress = [&seen](TLumenaxIO& sender, int percent) {
    seen.push_back(percent);
    if (percent > 50) sender.Aborting = true;
  };
  io.SaveToFile(dir / "t.ico");
  EXPECT_TRUE(io.Aborting);
  EXPECT_EQ(io.FailureReason.Code, TLxFailure::Cancelled);
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(std::vector<int>(seen.begin(), seen.begin() + 3), (std::vector<int>{0, 33, 66}));
  EXPECT_EQ(ReadFileBytes(dir / "t.ico"), (Bytes{'o', 'l', 'd'}));
}

TEST(IcoParamsText, SizesAndBitCounts) {
  TLumenaxIO io;
  const ParamField* sizes = FindParamField("IcoSizes");
  const ParamField* counts = FindParamField("IcoBitCounts");
  ASSERT_TRUE(sizes && counts);
  EXPECT_EQ(sizes->Get(io.Params), "64x64");
  EXPECT_EQ(counts->Get(io.Params), "8");
  EXPECT_EQ(SetIOValue(io, "IcoSizes", "16x16,32x24,256x256"), SetValueResult::Ok);
  EXPECT_EQ(SetIOValue(io, "IcoBitCounts", "4,32"), SetValueResult::Ok);
  EXPECT_EQ(sizes->Get(io.Params), "16x16,32x24,256x256");
  EXPECT_EQ(counts->Get(io.Params), "4,32,0") << "as many counts as sizes";
  EXPECT_EQ(SetIOValue(io, "IcoSizes", "48x48"), SetValueResult::Ok);
  EXPECT_EQ(io.Params.IcoSizes[1], (TIcoSize{0, 0})) << "pairs after the list are zeroed";
  for (const char* bad : {"16", "16x", "x16", "0x16", "16x16,", "-1x4", "16x16;32x32"})
    EXPECT_EQ(SetIOValue(io, "IcoSizes", bad), SetValueResult::BadValue) << bad;
  EXPECT_EQ(SetIOValue(io, "IcoBitCounts", "4,x"), SetValueResult::BadValue);
  EXPECT_EQ(SetIOValue(io, "IcoSizes",
                       "1x1,2x2,3x3,4x4,5x5,6x6,7x7,8x8,9x9,10x10,11x11,12x12,13x13,14x14,15x15,"
                       "16x16,17x17"),
            SetValueResult::BadValue)
      << "at most 16";
  EXPECT_EQ(sizes->Get(io.Params), "48x48");
  // SetImageIndex reaches both indexes.
  io.Params.SetImageIndex(3);
  EXPECT_EQ(io.Params.IcoImageIndex, 3);
  EXPECT_EQ(io.Params.CurImageIndex, 3);
}

}  // namespace
}  // namespace lumenax::test
