// The raw bitmap record: round trips of every layout, and records that must be refused
// without touching the bitmap.
#include <gtest/gtest.h>

#include <cstring>

#include "bitmap/bitmap.h"
#include "bitmap/stream.h"

namespace lumenax {
namespace {

// A bitmap whose bytes and settings all differ from the defaults.
void MakeSample(TLxBitmap& b, PixelFormat pf, bool alpha) {
  ASSERT_TRUE(b.Allocate(13, 5, pf));
  for (int y = 0; y < b.Height(); ++y) {
    uint8_t* row = b.ScanLine(y);
    for (int i = 0; i < b.RowLen(); ++i) row[i] = uint8_t(y * 31 + i * 7 + pf);
  }
  for (int i = 0; i < b.PaletteCount(); ++i)
    b.SetPaletteEntry(i, TRGB{uint8_t(i), uint8_t(255 - i), uint8_t(i * 3)});
  b.QuantizeColors = 77;
  b.DisplayLow = -1.5;
  b.DisplayHigh = 1e6;
  b.DisplayOffsets[2] = -9;
  b.DisplayAdjust = true;
  b.DisplayContrast = 42;
  b.AllOpaque = true;
  if (alpha) {
    for (int y = 0; y < b.Height(); ++y)
      for (int x = 0; x < b.Width(); ++x) b.SetAlphaValue(x, y, uint8_t(x * 19 + y));
    b.AlphaChannel()->AllOpaque = false;
  }
}

void ExpectSame(TLxBitmap& a, TLxBitmap& b) {
  ASSERT_EQ(a.Width(), b.Width());
  ASSERT_EQ(a.Height(), b.Height());
  ASSERT_EQ(a.PixelFormat(), b.PixelFormat());
  const int bytes = (a.Width() * a.BitCount() + 7) / 8;
  for (int y = 0; y < a.Height(); ++y)
    ASSERT_EQ(std::memcmp(a.ScanLine(y), b.ScanLine(y), size_t(bytes)), 0) << "row " << y;
  ASSERT_EQ(a.PaletteCount(), b.PaletteCount());
  for (int i = 0; i < a.PaletteCount(); ++i) EXPECT_EQ(a.GetPaletteEntry(i), b.GetPaletteEntry(i));
  EXPECT_EQ(a.QuantizeColors, b.QuantizeColors);
  EXPECT_EQ(a.DisplayLow, b.DisplayLow);
  EXPECT_EQ(a.DisplayHigh, b.DisplayHigh);
  EXPECT_EQ(a.DisplayOffsets[2], b.DisplayOffsets[2]);
  EXPECT_EQ(a.DisplayAdjust, b.DisplayAdjust);
  EXPECT_EQ(a.DisplayContrast, b.DisplayContrast);
  EXPECT_EQ(a.AllOpaque, b.AllOpaque);
  ASSERT_EQ(a.HasAlphaChannel(), b.HasAlphaChannel());
  if (a.HasAlphaChannel()) {
    for (int y = 0; y < a.Height(); ++y)
      for (int x = 0; x < a.Width(); ++x) ASSERT_EQ(a.GetAlphaValue(x, y), b.GetAlphaValue(x, y));
    EXPECT_EQ(a.AlphaChannel()->AllOpaque, b.AlphaChannel()->AllOpaque);
  }
}

TEST(RawRecord, EveryLayoutWithAndWithoutAlphaRoundTrips) {
  for (int pf = lx1g; pf < kPixelFormatCount; ++pf) {
    for (bool alpha : {false, true}) {
      SCOPED_TRACE(std::to_string(pf) + (alpha ? " with alpha" : ""));
      TLxBitmap a;
      MakeSample(a, PixelFormat(pf), alpha);
      TMemoryStream s;
      a.SaveRawToStream(s);
      s.Seek(0, soBeginning);
      TLxBitmap b;
      ASSERT_TRUE(b.LoadRawFromStream(s));
      EXPECT_EQ(s.Position(), s.Size()) << "the whole record is read";
      ExpectSame(a, b);
      // The memory forms: too small a block gets nothing.
      std::vector<uint8_t> block(s.Bytes().size());
      EXPECT_EQ(a.SaveRawToMemory(block.data(), int64_t(block.size()) - 1), -1);
      EXPECT_EQ(a.SaveRawToMemory(block.data(), int64_t(block.size())), int64_t(block.size()));
      EXPECT_EQ(block, s.Bytes());
      TLxBitmap c;
      ASSERT_TRUE(c.LoadRawFromMemory(block.data(), int64_t(block.size())));
      ExpectSame(a, c);
    }
  }
}

TEST(RawRecord, RowsAreReadAtTheRecordsOwnRowLength) {
  // Written from memory with 64-bit rows; read into a bitmap that keeps its own alignment.
  TLxBitmap a;
  a.SetLocation(lxInMemory);
  a.SetRowAlignment(64);
  MakeSample(a, lx24RGB, true);
  TMemoryStream s;
  a.SaveRawToStream(s);
  s.Seek(0, soBeginning);
  TLxBitmap b;
  ASSERT_TRUE(b.LoadRawFromStream(s));
  ExpectSame(a, b);
}

TEST(RawRecord, BrokenRecordsLeaveTheBitmapAlone) {
  TLxBitmap a;
  MakeSample(a, lx8p, true);
  TMemoryStream s;
  a.SaveRawToStream(s);
  const std::vector<uint8_t> good = s.Bytes();
  const size_t n = 20 + 3 * 256;  // offset of Width

  auto refused = [](std::vector<uint8_t> bytes) {
    TLxBitmap target;
    target.Allocate(2, 2, lx8g);
    target.Fill(9);
    const bool loaded = target.LoadRawFromMemory(bytes.data(), int64_t(bytes.size()));
    const bool unchanged =
        target.Width() == 2 && target.PixelFormat() == lx8g && target.Pixels8(1, 1) == 9;
    return !loaded && unchanged;
  };
  auto patched = [&](size_t at, std::vector<uint8_t> with) {
    std::vector<uint8_t> b = good;
    std::memcpy(b.data() + at, with.data(), with.size());
    return b;
  };
  // Every cut of the record.
  for (size_t cut = 0; cut < good.size(); cut += 7)
    EXPECT_TRUE(refused({good.begin(), good.begin() + long(cut)})) << "cut at " << cut;
  EXPECT_TRUE(refused({good.begin(), good.end() - 1})) << "no alpha AllOpaque byte";
  EXPECT_TRUE(refused(patched(0, {'X'})));                 // signature
  EXPECT_TRUE(refused(patched(12, {0, 0, 0, 0x80})));       // negative version
  EXPECT_TRUE(refused(patched(16, {1, 1, 0, 0})));          // 257 palette entries
  EXPECT_TRUE(refused(patched(16, {0xFF, 0xFF, 0xFF, 0xFF})));  // -1 entries
  EXPECT_TRUE(refused(patched(n + 8, {11})));               // unknown layout
  EXPECT_TRUE(refused(patched(n + 8, {0})));                // no layout for 13 x 5
  EXPECT_TRUE(refused(patched(n, {0xFF, 0xFF, 0xFF, 0xFF})));   // negative width
  EXPECT_TRUE(refused(patched(n + 4, {0, 0, 0, 0x7F})));    // more rows than bytes
  EXPECT_TRUE(refused(patched(n + 51, {12, 0, 0, 0})));     // alignment of 12 bits
  EXPECT_TRUE(refused(patched(n + 51, {0, 0, 0, 0})));      // alignment 0
  // The untouched record still loads.
  TLxBitmap b;
  EXPECT_TRUE(b.LoadRawFromMemory(good.data(), int64_t(good.size())));
}

}  // namespace
}  // namespace lumenax
