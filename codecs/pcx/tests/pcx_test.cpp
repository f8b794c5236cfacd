// PCX and DCX: layouts, runs across lines, palettes, hostile headers, every writer mode, page
// insertion, and files of other programs in both directions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "bitmap/bitmap.h"
#include "bitmap/byte_reader.h"
#include "bitmap/mask.h"
#include "bitmap/worker_pool.h"
#include "codecs/common/tests/codec_test_util.h"
#include "codecs/pcx/pcx.h"
#include "io/params.h"

namespace lumenax {
namespace {

using namespace test;
namespace fs = std::filesystem;

struct Loaded {
  TLxBitmap bitmap;
  TIOParamsVals params;
  std::unique_ptr<TLxMask> mask;
  Outcome outcome;
};

std::unique_ptr<Loaded> Load(const std::vector<uint8_t>& bytes, int dcxIndex = -1) {
  auto l = std::make_unique<Loaded>();
  TLxMemStream s(bytes.data(), int64_t(bytes.size()));
  l->outcome = RunCodec([&](ProgressRecord& p) {
    if (dcxIndex >= 0) {
      l->params.DcxImageIndex = dcxIndex;
      ReadDcxStream(s, l->bitmap, l->params, false, p, l->mask);
    } else {
      ReadPcxStream(s, l->bitmap, l->params, false, p, int64_t(bytes.size()), l->mask);
    }
  });
  if (l->mask) l->bitmap.AlphaChannel()->CopyFromMask(l->mask.get());
  return l;
}

std::vector<uint8_t> Save(TLxBitmap& bm, TIOParamsVals& params, Outcome* outcome = nullptr) {
  TMemoryStream s;
  Outcome o = RunCodec([&](ProgressRecord& p) { WritePcxStream(s, bm, params, p); });
  if (outcome) *outcome = o;
  return StreamBytes(s);
}

std::vector<uint8_t> Header(int bits, int planes, int w, int h, int bpl, int encoding = 1) {
  std::vector<uint8_t> b(128, 0);
  b[0] = 10, b[1] = 5, b[2] = uint8_t(encoding), b[3] = uint8_t(bits);
  b[8] = uint8_t(w - 1), b[9] = uint8_t((w - 1) >> 8), b[10] = uint8_t(h - 1);
  b[11] = uint8_t((h - 1) >> 8);
  b[12] = 72;  // horizontal 72, vertical 0
  b[65] = uint8_t(planes), b[66] = uint8_t(bpl), b[67] = uint8_t(bpl >> 8);
  return b;
}

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<int> Rgb(Loaded& l, int x, int y) {
  TRGB c = l.bitmap.PixelAsRGB(x, y);
  return {c.r, c.g, c.b};
}

TEST(PcxReader, RunsCrossPlaneLinesAndRows) {
  // 3 x 2, 8 bits x 3 planes, 4 bytes per line: one run of 12 fills the first row's red and
  // green lines and the blue one, then the second row comes in literals and a run of 24 that
  // runs past the last row (dropped).
  std::vector<uint8_t> data = {0xC8, 7, 0xC4, 9, 1, 2, 3, 0, 4, 5, 6, 0, 0xC4, 8, 0xFF, 1};
  auto l = Load(Cat(Header(8, 3, 3, 2, 4), data));
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  EXPECT_EQ(Rgb(*l, 0, 0), (std::vector<int>{7, 7, 9}));
  EXPECT_EQ(Rgb(*l, 2, 1), (std::vector<int>{3, 6, 8}));
  EXPECT_EQ(l->params.DpiX, DefaultDPI);  // 72 and 0: both default
  EXPECT_EQ(l->params.DpiY, DefaultDPI);
}

// The bytes run-length data stand for, decoded the plain way, cut at n.
std::vector<uint8_t> Unpack(const std::vector<uint8_t>& data, size_t n) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < data.size() && out.size() < n; ++i) {
    if (data[i] < 0xC0) {
      out.push_back(data[i]);
    } else if (i + 1 < data.size()) {
      out.insert(out.end(), data[i] & 0x3F, data[i + 1]);
      ++i;
    }
  }
  if (out.size() > n) out.resize(n);
  return out;
}

TEST(PcxReader, LongRunLengthDataAcrossReadBlocks) {
  // 24 bits, 500 x 100: literal stretches, runs of 0, 1 and up to 63 (some across rows), and
  // a run pair split by the end of the first 64 KiB the reader takes in.
  const int w = 500, h = 100;
  const size_t total = size_t(w) * 3 * h;
  std::vector<uint8_t> data;
  for (int i = 0; i < 65535; ++i) data.push_back(uint8_t(i % 0xC0));
  data.push_back(0xC5), data.push_back(0xEE);  // straddles the block end
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
  for (size_t produced = 65535 + 5; produced < total + 100;) {
    const uint32_t r = next();
    if (r % 3 == 0) {
      data.push_back(uint8_t(0xC0 | (r >> 2) % 64)), data.push_back(uint8_t(r >> 8));
      produced += (r >> 2) % 64;
    } else {
      data.push_back(uint8_t((r >> 3) % 0xC0));
      ++produced;
    }
  }
  const std::vector<uint8_t> file = Cat(Header(8, 3, w, h, w), data);
  auto check = [&](size_t limit) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    auto l = std::make_unique<Loaded>();
    TLxMemStream s(file.data(), int64_t(file.size()));
    l->outcome = RunCodec([&](ProgressRecord& p) {
      ReadPcxStream(s, l->bitmap, l->params, false, p, int64_t(128 + limit), l->mask);
    });
    std::vector<uint8_t> want =
        Unpack(std::vector<uint8_t>(data.begin(), data.begin() + limit), total);
    EXPECT_EQ(l->outcome.code(), want.size() < total ? TLxFailure::Truncated : TLxFailure::None);
    // Rows the data do not reach, and the rest of the row they stop in, are zero.
    const size_t rows = (want.size() + size_t(w) * 3 - 1) / (size_t(w) * 3);
    want.resize(rows * w * 3, 0);
    want.resize(total, 0);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const uint8_t* line = want.data() + size_t(y) * w * 3;
        ASSERT_EQ(Rgb(*l, x, y), (std::vector<int>{line[x], line[w + x], line[2 * w + x]}))
            << x << "," << y;
      }
  };
  check(data.size());
  check(65536);  // the limit splits the run pair
  check(70001);
}

TEST(PcxReader, LargeImagesDecodeInPiecesAsInOne) {
  // Data of more than a megabyte are decoded in pieces on the worker pool (on a machine of
  // two cores or more) that the reader cuts between run pairs. 24 bits, 2000 pixels wide,
  // with stretches that make cutting hard: literals, pairs and runs; a long stretch of bytes
  // of 0xC0 and up only (pairs of such bytes, runs of none); runs of 63 that expand a piece
  // many times over; then bytes the image does not need.
  std::vector<uint8_t> data;
  uint32_t seed = 99;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
  auto mixed = [&](size_t bytes) {
    for (size_t end = data.size() + bytes; data.size() < end;) {
      const uint32_t r = next();
      if (r % 16 == 0)
        data.push_back(uint8_t(0xC0 | (r >> 4) % 64)), data.push_back(uint8_t(r >> 5));
      else if (r % 16 == 1)
        data.push_back(0xC1), data.push_back(uint8_t(0xC0 | r >> 6));
      else
        data.push_back(uint8_t((r >> 3) % 0xC0));
    }
  };
  mixed(300000);
  for (int i = 0; i < 150001; ++i) data.push_back(uint8_t(0xC0 | next() % 3));
  data.push_back(7);
  for (int i = 0; i < 20000; ++i) data.push_back(0xFF), data.push_back(uint8_t(i));
  mixed(900000);
  const int w = 2000;
  const size_t rowBytes = size_t(w) * 3;
  const int h = int(Unpack(data, SIZE_MAX).size() * 9 / 10 / rowBytes);
  const size_t total = rowBytes * size_t(h);
  const std::vector<uint8_t> file = Cat(Header(8, 3, w, h, w), data);
  for (size_t limit : {data.size(), size_t(1100000), size_t(1250001), size_t(1250002)}) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    std::vector<uint8_t> want =
        Unpack(std::vector<uint8_t>(data.begin(), data.begin() + limit), total);
    const bool complete = want.size() == total;
    const size_t rows = (want.size() + rowBytes - 1) / rowBytes;
    want.resize(rows * rowBytes, 0);
    want.resize(total, 0);
    for (int lanes : {1, 0}) {
      SCOPED_TRACE("lanes " + std::to_string(lanes));
      TLxLaneLimit limitLanes(lanes);
      TLxBitmap bm;
      TIOParamsVals params;
      std::unique_ptr<TLxMask> mask;
      TLxMemStream s(file.data(), int64_t(file.size()));
      Outcome o = RunCodec([&](ProgressRecord& p) {
        ReadPcxStream(s, bm, params, false, p, int64_t(128 + limit), mask);
      });
      EXPECT_EQ(o.code(), complete ? TLxFailure::None : TLxFailure::Truncated);
      std::vector<uint8_t> bgr(rowBytes);
      for (int y = 0; y < h; ++y) {
        const uint8_t* line = want.data() + size_t(y) * rowBytes;
        for (int x = 0; x < w; ++x)
          bgr[3 * x] = line[2 * w + x], bgr[3 * x + 1] = line[w + x], bgr[3 * x + 2] = line[x];
        ASSERT_EQ(0, std::memcmp(bm.ScanLine(y), bgr.data(), rowBytes)) << "row " << y;
      }
    }
  }
  // A cancel while pieces are out stops the load.
  TLxBitmap bm;
  TIOParamsVals params;
  std::unique_ptr<TLxMask> mask;
  TLxMemStream s(file.data(), int64_t(file.size()));
  bool aborting = false;
  ProgressRecord p;
  p.AbortingPtr = &aborting;
  p.OnProgressData = &aborting;
  p.OnProgressCode = [](void* flag, void*, int percent) {
    if (percent >= 30) *static_cast<bool*>(flag) = true;
  };
  ReadPcxStream(s, bm, params, false, p, int64_t(file.size()), mask);
  EXPECT_TRUE(aborting);
}

TEST(PcxReader, PalettedRowsOfLongLiteralsAndShortRuns) {
  // 8 bits, 1001 x 90 (1002 bytes a line): literal stretches of 1 to 120 bytes, pairs of
  // count 0 to 63 (mostly up to 16) whose byte is often 0xC0 or more, some runs across rows;
  // every pixel goes through a palette of distinct colours. Cut at several places too.
  const int w = 1001, h = 90, bpl = 1002;
  const size_t total = size_t(bpl) * h;
  std::vector<uint8_t> data;
  uint32_t seed = 4242;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 8) & 0xFFFFFF; };
  for (size_t produced = 0; produced < total + 50;) {
    const uint32_t r = next();
    if (r % 4 == 0) {
      const size_t len = 1 + r / 4 % 120;
      for (size_t k = 0; k < len; ++k) data.push_back(uint8_t(next() % 0xC0));
      produced += len;
    } else {
      const uint32_t count = r % 7 == 0 ? r / 7 % 64 : r / 7 % 17;
      data.push_back(uint8_t(0xC0 | count)), data.push_back(uint8_t(r >> 12));
      produced += count;
    }
  }
  std::vector<uint8_t> palette = {12};
  for (int i = 0; i < 256; ++i)
    palette.insert(palette.end(), {uint8_t(i), uint8_t(255 - i), uint8_t(i * 7 + 3)});
  for (size_t limit : {data.size(), size_t(40000), size_t(50001)}) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    std::vector<uint8_t> cut(data.begin(), data.begin() + long(limit));
    auto l = Load(Cat(Cat(Header(8, 1, w, h, bpl), cut), palette));
    // The palette's bytes are data to the reader as well when the data are cut.
    std::vector<uint8_t> want = Unpack(Cat(cut, palette), total);
    const bool full = limit == data.size();
    EXPECT_EQ(l->outcome.code(), full ? TLxFailure::None : TLxFailure::Truncated);
    // The row the data stop in is decoded with zeros for the rest; rows after it stay black.
    const size_t rows = (want.size() + bpl - 1) / bpl;
    want.resize(rows * bpl, 0);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const uint8_t i = size_t(y) < rows ? want[size_t(y) * bpl + size_t(x)] : 0;
        const std::vector<int> colour = size_t(y) < rows
                                            ? std::vector<int>{i, 255 - i, uint8_t(i * 7 + 3)}
                                            : std::vector<int>{0, 0, 0};
        ASSERT_EQ(Rgb(*l, x, y), colour) << x << "," << y;
      }
  }
}

TEST(PcxReader, SixteenColourPlanesAndHeaderPalettes) {
  // 1 bit x 4 planes, 8 x 1: pixel x gets index x (planes are the index bits); zero palette.
  std::vector<uint8_t> planes = {0b01010101, 0b00110011, 0b00001111, 0};
  auto l = Load(Cat(Header(1, 4, 8, 1, 1, 0), planes));
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  EXPECT_EQ(l->bitmap.PixelFormat(), lx24RGB);
  EXPECT_EQ(l->params.BitsPerSample, 4);
  EXPECT_EQ(l->params.SamplesPerPixel, 1);
  EXPECT_EQ(l->params.ColorMapCount, 16);
  EXPECT_EQ(Rgb(*l, 1, 0), (std::vector<int>{0, 0, 170}));   // EGA blue
  EXPECT_EQ(Rgb(*l, 6, 0), (std::vector<int>{170, 85, 0}));  // EGA brown
  // 4 bits in one plane, high nibble first, through the header palette.
  std::vector<uint8_t> h4 = Header(4, 1, 2, 1, 2, 0);
  h4[16 + 3] = 10, h4[16 + 4] = 20, h4[16 + 5] = 30;  // entry 1
  auto f = Load(Cat(h4, {0x10, 0}));
  EXPECT_EQ(Rgb(*f, 0, 0), (std::vector<int>{10, 20, 30}));
  EXPECT_EQ(Rgb(*f, 1, 0), (std::vector<int>{0, 0, 0}));
}

TEST(PcxReader, TrailingPaletteOnlyWithItsMarker) {
  std::vector<uint8_t> file = Cat(Header(8, 1, 2, 1, 2, 0), {1, 200});
  std::vector<uint8_t> pal(769, 0);
  pal[0] = 12;
  pal[1 + 3] = 50, pal[2 + 3] = 60, pal[3 + 3] = 70;  // entry 1
  auto l = Load(Cat(file, pal));
  EXPECT_EQ(Rgb(*l, 0, 0), (std::vector<int>{50, 60, 70}));
  pal[0] = 11;
  auto g = Load(Cat(file, pal));
  EXPECT_EQ(Rgb(*g, 0, 0), (std::vector<int>{1, 1, 1}));
  EXPECT_EQ(Rgb(*g, 1, 0), (std::vector<int>{200, 200, 200}));
  // A small file holds no palette: gray.
  auto s = Load(file);
  ASSERT_FALSE(s->outcome.aborting);
  EXPECT_EQ(Rgb(*s, 1, 0), (std::vector<int>{200, 200, 200}));
}

TEST(PcxReader, FourPlanesCarryAlpha) {
  auto l = Load(Cat(Header(8, 4, 2, 1, 2, 0), {1, 2, 3, 4, 5, 6, 255, 40}));
  ASSERT_FALSE(l->outcome.aborting);
  EXPECT_EQ(Rgb(*l, 1, 0), (std::vector<int>{2, 4, 6}));
  ASSERT_TRUE(l->bitmap.HasAlphaChannel());
  EXPECT_EQ(l->bitmap.GetAlphaValue(0, 0), 255);
  EXPECT_EQ(l->bitmap.GetAlphaValue(1, 0), 40);
}

TEST(PcxReader, HostileHeadersAndCutData) {
  auto bad = [](std::vector<uint8_t> h) { return Load(Cat(h, std::vector<uint8_t>(200, 0))); };
  std::vector<uint8_t> h = Header(8, 1, 4, 4, 4);
  h[8] = 0, h[4] = 5;  // Xmax < Xmin
  EXPECT_EQ(bad(h)->outcome.code(), TLxFailure::BadHeader);
  EXPECT_EQ(bad(Header(8, 1, 4, 4, 0))->outcome.code(), TLxFailure::BadHeader);
  EXPECT_EQ(bad(Header(8, 1, 8, 4, 7))->outcome.code(), TLxFailure::BadHeader);
  EXPECT_EQ(bad(Header(8, 1, 4, 4, 4, 2))->outcome.code(), TLxFailure::BadHeader);
  EXPECT_EQ(bad(Header(3, 1, 4, 4, 4))->outcome.code(), TLxFailure::BadHeader);
  EXPECT_EQ(bad(Header(8, 2, 4, 4, 4))->outcome.code(), TLxFailure::Unsupported);
  EXPECT_EQ(bad(Header(4, 2, 4, 4, 4))->outcome.code(), TLxFailure::Unsupported);
  std::vector<uint8_t> wrong = Header(8, 1, 4, 4, 4);
  wrong[0] = 11;
  EXPECT_EQ(bad(wrong)->outcome.code(), TLxFailure::BadSignature);
  auto huge = Load(Cat(Header(8, 3, 65535, 65535, 65535), {0xFF, 0}));
  EXPECT_EQ(huge->outcome.code(), TLxFailure::TooLarge);
  EXPECT_TRUE(huge->bitmap.IsEmpty());
  // Two rows of three, the data stop in the second.
  auto cut = Load(Cat(Header(8, 3, 3, 2, 4, 0), std::vector<uint8_t>(12 + 5, 90)));
  EXPECT_EQ(cut->outcome.code(), TLxFailure::Truncated);
  EXPECT_EQ(Rgb(*cut, 2, 0), (std::vector<int>{90, 90, 90}));
  EXPECT_EQ(Rgb(*cut, 2, 1), (std::vector<int>{90, 0, 0}));  // red line complete, green cut
}

// ------------------------------------------------------------------ writer

TLxBitmap& Picture(TLxBitmap& bm) {
  bm.Allocate(21, 7, lx24RGB);
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 21; ++x)
      bm.SetPixelsRGB24(
          x, y,
          x < 9 ? CreateRGB(uint8_t(x * 25), 200, uint8_t(y * 30)) : CreateRGB(0xC7, 0xC7, 0xC7));
  return bm;
}

TEST(PcxWriter, ModesReadBack) {
  TLxBitmap bm;
  Picture(bm);
  struct Case {
    int bps, spp, bits, planes;
  } cases[] = {{8, 3, 8, 3}, {8, 1, 8, 1}, {4, 1, 4, 1}, {1, 1, 1, 1}, {8, 4, 8, 3}, {16, 3, 8, 3}};
  for (const Case& c : cases) {
    for (int compression : {0, 1}) {
      SCOPED_TRACE(std::to_string(c.bps) + "x" + std::to_string(c.spp) + " rle " +
                   std::to_string(compression));
      TIOParamsVals p;
      p.BitsPerSample = c.bps, p.SamplesPerPixel = c.spp, p.PcxCompression = uint8_t(compression);
      Outcome o;
      std::vector<uint8_t> file = Save(bm, p, &o);
      ASSERT_FALSE(o.aborting) << o.reason.Text();
      EXPECT_EQ(file[3], c.bits);
      EXPECT_EQ(file[65], c.planes);
      EXPECT_EQ(LoadU16LE(file.data() + 66) % 2, 0);  // even bytes per line
      auto l = Load(file);
      ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
      if (c.bits == 8) {
        EXPECT_EQ(CountDifferentPixels(BitmapToRgba(l->bitmap), BitmapToRgba(bm)), 0u);
      }
      if (c.bits == 8 && c.planes == 3 && !compression) {
        // 21 pixels, 22 bytes per line: the padding bytes are 0.
        EXPECT_EQ(file[128 + 21], 0);
        EXPECT_EQ(file.size(), 128u + 7 * 3 * 22);
      }
    }
  }
}

TEST(PcxWriter, LargeRunLengthRowsReadBack) {
  // Flat stretches longer than 63, single bytes of 0xC0 and up, and noise, over more than the
  // writer's block.
  TLxBitmap bm(700, 40, lx24RGB);
  uint32_t seed = 7;
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 700; ++x) {
      seed = seed * 1103515245u + 12345u;
      const uint8_t n = uint8_t(seed >> 16);
      bm.SetPixelsRGB24(x, y,
                        x < 200   ? CreateRGB(0xC9, 10, uint8_t(y))
                        : x < 450 ? CreateRGB(n, uint8_t(n | 0xC0), uint8_t(x))
                                  : CreateRGB(uint8_t(x / 70 * 20), 0xFF, n));
    }
  TIOParamsVals p;
  p.BitsPerSample = 8, p.SamplesPerPixel = 3, p.PcxCompression = 1;
  Outcome o;
  std::vector<uint8_t> file = Save(bm, p, &o);
  ASSERT_FALSE(o.aborting) << o.reason.Text();
  auto l = Load(file);
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  EXPECT_EQ(CountDifferentPixels(BitmapToRgba(l->bitmap), BitmapToRgba(bm)), 0u);
  // Each plane line is encoded on its own: the first red line starts with a full run.
  EXPECT_EQ(file[128], 0xFF);
  EXPECT_EQ(file[129], 0xC9);
}

// Plane lines encoded byte by byte: a run of up to 63 equal bytes becomes a pair unless it
// is a single byte below 0xC0.
std::vector<uint8_t> EncodeReference(const uint8_t* p, size_t n) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < n;) {
    size_t run = 1;
    while (run < 63 && i + run < n && p[i + run] == p[i]) ++run;
    if (run > 1 || p[i] >= 0xC0) out.push_back(uint8_t(0xC0 | run));
    out.push_back(p[i]);
    i += run;
  }
  return out;
}

TEST(PcxWriter, RunLengthRowsMatchByteByByteEncoding) {
  // 24 bits, 999 x 400 (1000 bytes a plane line, the padding byte zero; several bands): long
  // noise stretches below 0xC0 (some long enough for whole 32-byte steps), lone bytes of 0xC0
  // and up, equal pairs, and runs up to and past 63. The same bytes come out on one thread
  // and on several.
  const int w = 999, h = 400;
  TLxBitmap bm(w, h, lx24RGB);
  uint32_t seed = 99;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 8) & 0xFFFFFF; };
  for (int y = 0; y < h; ++y) {
    uint8_t* row = bm.ScanLine(y);
    for (int i = 0; i < 3 * w;) {
      const uint32_t r = next();
      const int len = std::min(3 * w - i, r % 5 == 0 ? int(r / 5 % 400) + 1 : int(r / 5 % 3) + 1);
      const bool flat = r % 3 == 0;
      for (int k = 0; k < len; ++k, ++i)
        row[i] = flat ? uint8_t(r >> 16) : uint8_t(next() % (r % 2 ? 0xC0 : 0x100));
    }
    if (y % 4 == 0) {
      // A red line of unequal bytes below 0xC0 with pairs of high bytes that start 2, 1 or 0
      // bytes before every 32nd: pairs across the ends of 16- and 32-byte steps.
      for (int x = 0; x < w; ++x) row[3 * x + 2] = uint8_t(x * 37 % 0xBF);
      for (int x = 30 + y / 4 % 3; x + 1 < w; x += 32)
        row[3 * x + 2] = row[3 * x + 5] = uint8_t(0xD0 + x % 16);
    }
  }
  TIOParamsVals p;
  p.BitsPerSample = 8, p.SamplesPerPixel = 3, p.PcxCompression = 1;
  Outcome o;
  const std::vector<uint8_t> file = Save(bm, p, &o);
  ASSERT_FALSE(o.aborting) << o.reason.Text();
  {
    TLxLaneLimit oneLane(1);
    EXPECT_EQ(Save(bm, p), file);
  }
  std::vector<uint8_t> want;
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = bm.ScanLine(y);
    for (int plane = 0; plane < 3; ++plane) {
      std::vector<uint8_t> line(w + 1, 0);
      for (int x = 0; x < w; ++x) line[size_t(x)] = row[3 * x + 2 - plane];
      want = Cat(want, EncodeReference(line.data(), line.size()));
    }
  }
  ASSERT_EQ(file.size(), 128 + want.size());
  EXPECT_TRUE(std::equal(want.begin(), want.end(), file.begin() + 128));
}

TEST(PcxWriter, LimitsAndShortWrites) {
  TLxBitmap wide(70000, 1, lx24RGB);
  TIOParamsVals p;
  Outcome o;
  Save(wide, p, &o);
  EXPECT_EQ(o.code(), TLxFailure::TooLarge);
  TLxBitmap bm;
  Picture(bm);
  ShortStream s(150);
  o = RunCodec([&](ProgressRecord& pr) { WritePcxStream(s, bm, p, pr); });
  EXPECT_EQ(o.code(), TLxFailure::WriteFailed);
}

// ------------------------------------------------------------------ DCX

std::vector<uint8_t> Insert(std::vector<uint8_t> container, TLxBitmap& bm, int index,
                            Outcome* outcome = nullptr) {
  TMemoryStream s(container);
  TIOParamsVals p;
  p.DcxImageIndex = index;
  Outcome o = RunCodec([&](ProgressRecord& pr) { InsertDcxPage(s, bm, p, pr); });
  if (outcome) *outcome = o;
  return StreamBytes(s);
}

TLxBitmap& Solid(TLxBitmap& bm, uint8_t v) {
  bm.Allocate(3, 2, lx24RGB);
  bm.Fill(v);
  return bm;
}

TEST(Dcx, InsertAndReadPages) {
  TLxBitmap a, b, c, d;
  Solid(a, 10), Solid(b, 20), Solid(c, 30), Solid(d, 40);
  std::vector<uint8_t> one = Insert({}, a, 0);
  {
    TLxMemStream s(one.data(), int64_t(one.size()));
    EXPECT_TRUE(IsDcxStream(s));
  }
  std::vector<uint8_t> two = Insert(one, b, 99);   // beyond the end: appended
  std::vector<uint8_t> three = Insert(two, c, 0);  // first
  // Pages now: 30, 10, 20.
  const int expect[] = {30, 10, 20};
  for (int i = 0; i < 3; ++i) {
    auto l = Load(three, i);
    ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
    EXPECT_EQ(Rgb(*l, 2, 1)[0], expect[i]) << i;
  }
  auto last = Load(three, 99);
  EXPECT_EQ(last->params.DcxImageIndex, 2);
  EXPECT_EQ(last->params.ImageIndex, 2);
  EXPECT_EQ(Rgb(*last, 0, 0)[0], 20);

  Outcome o;
  Insert({1, 2, 3, 4, 5}, d, 0, &o);
  EXPECT_EQ(o.code(), TLxFailure::BadHeader);
  // A table without pages is no container.
  std::vector<uint8_t> empty = {0xB1, 0x68, 0xDE, 0x3A, 0, 0, 0, 0};
  EXPECT_EQ(Load(empty, 0)->outcome.code(), TLxFailure::BadHeader);
}

// ------------------------------------------------------------------ peers

TEST(PcxPeers, OurFilesInPillowAndNetpbm) {
  if (!HavePillow()) GTEST_SKIP() << "Pillow not installed";
  TempDir dir;
  TLxBitmap bm;
  Picture(bm);
  for (int mode : {1, 4, 8, 24}) {
    for (int compression : {0, 1}) {
      SCOPED_TRACE(std::to_string(mode) + " rle " + std::to_string(compression));
      TIOParamsVals p;
      p.BitsPerSample = mode == 24 ? 8 : mode, p.SamplesPerPixel = mode == 24 ? 3 : 1;
      p.PcxCompression = uint8_t(compression);
      const fs::path file = dir / "ours.pcx";
      WriteFileBytes(file, Save(bm, p));
      auto l = Load(ReadFileBytes(file));
      ASSERT_FALSE(l->outcome.aborting);
      RgbaImage ours = BitmapToRgba(l->bitmap), theirs;
      // Neither peer reads uncompressed files: netpbm refuses encoding 0, Pillow decodes every
      // file as run-length encoded. Pillow has no 4-bit single-plane mode.
      if (!compression) continue;
      if (mode != 4) {
        ASSERT_TRUE(PillowRgba(file, theirs, dir));
        EXPECT_EQ(CountDifferentPixels(ours, theirs), 0u) << "Pillow";
      }
      ASSERT_TRUE(NetpbmRgba("pcxtoppm", file, theirs, dir));
      EXPECT_EQ(CountDifferentPixels(ours, theirs), 0u) << "pcxtoppm";
    }
  }
}

TEST(PcxPeers, TheirFilesLoad) {
  TempDir dir;
  int ran = 0;
  auto check = [&](const fs::path& file, const char* decoder) {
    RgbaImage theirs;
    bool got = std::string(decoder) == "pillow" ? PillowRgba(file, theirs, dir)
                                                : NetpbmRgba(decoder, file, theirs, dir);
    ASSERT_TRUE(got) << decoder;
    auto l = Load(ReadFileBytes(file));
    ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
    EXPECT_EQ(CountDifferentPixels(BitmapToRgba(l->bitmap), theirs), 0u) << decoder;
    ++ran;
  };
  if (HaveProgram("/usr/bin/ppmtopcx")) {
    const std::string src = (dir / "src.ppm").string();
    ASSERT_EQ(RunCommand("/usr/bin/pgmramp -diagonal 29 13 | /usr/bin/pgmtoppm red-blue > " +
                         ShellQuote(src)),
              0);
    for (const char* opts : {"", "-8bit", "-24bit", "-packed", "-planes 4"}) {
      SCOPED_TRACE(opts);
      const fs::path file = dir / "nb.pcx";
      ASSERT_EQ(RunCommand("/usr/bin/pnmquant 16 " + src + " 2>/dev/null | /usr/bin/ppmtopcx " +
                           opts + " > " + file.string() + " 2>/dev/null"),
                0);
      check(file, "pcxtoppm");
    }
  }
  if (HavePillow()) {
    for (const char* mode : {"1", "L", "P", "RGB"}) {
      SCOPED_TRACE(mode);
      const fs::path file = dir / "pil.pcx";
      ASSERT_EQ(RunCommand(std::string("/usr/bin/python3 -c \"from PIL import Image; "
                                       "im = Image.radial_gradient('L').resize((23, 9)); "
                                       "im = Image.merge('RGB', (im, im.rotate(90), "
                                       "im.transpose(0))); im.convert('") +
                           mode + "').save('" + file.string() + "')\""),
                0);
      check(file, "pillow");
    }
  }
  // ImageMagick's files with and without alpha. Its own reader misreads planes; Pillow does
  // not read the alpha plane, so only the colours are compared there.
  if (HaveProgram("/usr/bin/convert") && HavePillow()) {
    const fs::path file = dir / "im.pcx";
    ASSERT_EQ(RunCommand("/usr/bin/convert -size 11x5 gradient:yellow-navy " + file.string()), 0);
    check(file, "pillow");
    ASSERT_EQ(RunCommand("/usr/bin/convert -size 11x5 gradient:yellow-navy -alpha set "
                         "-channel A -evaluate set 50% " +
                         file.string()),
              0);
    auto l = Load(ReadFileBytes(file));
    ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
    ASSERT_TRUE(l->bitmap.HasAlphaChannel());
    EXPECT_NEAR(l->bitmap.GetAlphaValue(3, 3), 128, 1);
    // A DCX of two pages against Pillow's frames.
    const fs::path dcx = dir / "im.dcx";
    ASSERT_EQ(RunCommand("/usr/bin/convert -size 11x5 gradient:yellow-navy \\( +clone -flop \\) " +
                         dcx.string()),
              0);
    const std::vector<uint8_t> bytes = ReadFileBytes(dcx);
    for (int page = 0; page < 2; ++page) {
      SCOPED_TRACE("page " + std::to_string(page));
      const fs::path frame = dir / "frame.png";
      ASSERT_EQ(RunCommand("/usr/bin/python3 -c \"import sys; from PIL import Image; "
                           "im = Image.open(sys.argv[1]); im.seek(" +
                           std::to_string(page) + "); im.convert('RGBA').save(sys.argv[2])\" " +
                           dcx.string() + " " + frame.string()),
                0);
      RgbaImage theirs;
      ASSERT_TRUE(ReadPngRgba(frame, theirs));
      auto p = Load(bytes, page);
      ASSERT_FALSE(p->outcome.aborting) << p->outcome.reason.Text();
      EXPECT_EQ(CountDifferentPixels(BitmapToRgba(p->bitmap), theirs), 0u);
    }
  }
  const fs::path heroes = TestDataDir() / "heroes-data/usr/share/games/heroes/tilesets";
  if (!TestDataDir().empty() && fs::exists(heroes) && HavePillow())
    check(heroes / "level06.pcx", "pillow");
  if (ran == 0) GTEST_SKIP() << "no peer installed";
}

}  // namespace
}  // namespace lumenax
