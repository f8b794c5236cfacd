// The TIFF writer: every layout and compression read back by our reader and by libtiff and
// Pillow, the tags other readers rely on, page insertion, and refusals that must leave the
// target alone.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "bitmap/byte_reader.h"
#include "bitmap/conversion.h"
#include "bitmap/settings.h"
#include "bitmap/worker_pool.h"
#include "codecs/common/ifd.h"
#include "codecs/tiff/tests/tiff_test_util.h"
#include "codecs/tiff/tiff_writer.h"
#include "io/lumenax_io.h"
#include "tests/support/test_support.h"

namespace lumenax::test {
namespace {

namespace fs = std::filesystem;

const char* kPython = "/usr/bin/python3";

void PutLE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

struct Written {
  Bytes file;
  int32_t result = 0;
  bool aborting = false;
  TLxFailureReason reason;
};

Written Write(TLxBitmap* bitmap, TIOParamsVals& params, bool insert = false, Bytes existing = {}) {
  Written w;
  TMemoryStream s(std::move(existing));
  ProgressRecord p;
  p.AbortingPtr = &w.aborting;
  p.ReasonPtr = &w.reason;
  w.result = WriteTiffStream(s, insert, bitmap, p, params);
  w.file = s.Bytes();
  return w;
}

// A bitmap of the layout with a deterministic pattern (every palette index and gray level
// that the depth can carry shows up).
std::unique_ptr<TLxBitmap> Pattern(PixelFormat pf, int w, int h, unsigned seed, int colours = 256) {
  auto b = std::make_unique<TLxBitmap>();
  b->Allocate(w, h, pf);
  std::mt19937 rng(seed);
  if (pf == lx8p)
    for (int i = 0; i < 256; ++i)
      b->SetPaletteEntry(i, CreateRGB(uint8_t(rng()), uint8_t(rng()), uint8_t(rng())));
  for (int y = 0; y < h; ++y) {
    uint8_t* r = b->ScanLine(y);
    switch (pf) {
      case lx1g:
        for (int i = 0; i < (w + 7) / 8; ++i) r[i] = uint8_t(rng());
        break;
      case lx8p:
        for (int x = 0; x < w; ++x) r[x] = uint8_t(rng() % unsigned(colours));
        break;
      case lx8g:
        for (int x = 0; x < w; ++x) r[x] = uint8_t(x * 7 + y * 3 + (rng() & 3));
        break;
      case lx16g:
        for (int x = 0; x < w; ++x) b->SetPixels16(x, y, uint16_t(x * 997 + y * 131 + rng() % 50));
        break;
      case lx24RGB:
        for (int x = 0; x < 3 * w; ++x)
          r[x] = uint8_t((x / 3) * 5 + y * 2 + (rng() & 7) + x % 3 * 60);
        break;
      case lxCMYK:
        for (int x = 0; x < 4 * w; ++x) r[x] = uint8_t(rng());
        break;
      case lxRGB48:
        for (int x = 0; x < w; ++x)
          b->SetPixelsRGB48(x, y, uint16_t(x * 1000 + y), uint16_t(rng()), uint16_t(y * 900));
        break;
      default:
        break;
    }
  }
  return b;
}

// Same layout, size and pixels (palette bitmaps by colour).
void ExpectSamePixels(TLxBitmap& want, TLxBitmap& got, const std::string& what) {
  ASSERT_EQ(got.Width(), want.Width()) << what;
  ASSERT_EQ(got.Height(), want.Height()) << what;
  RgbaImage a = BitmapToRgba(want), b = BitmapToRgba(got);
  EXPECT_EQ(CountDifferentPixels(a, b), 0u) << what;
  if (want.PixelFormat() == lx16g || want.PixelFormat() == lxRGB48 ||
      want.PixelFormat() == lxCMYK) {
    ASSERT_EQ(got.PixelFormat(), want.PixelFormat()) << what;
    for (int y = 0; y < want.Height(); ++y)
      ASSERT_EQ(std::memcmp(want.ScanLine(y), got.ScanLine(y),
                            size_t(want.Width()) * (want.BitCount() / 8)),
                0)
          << what << " row " << y;
  }
}

struct Layout {
  const char* name;
  PixelFormat pf;
  int bits, spp;
  int colours = 256;
  bool alpha = false;
  TLxTiffPhotometric photometric = tpRgb;
};

const std::vector<Layout>& Layouts() {
  static const std::vector<Layout> l = {
      {"rgb", lx24RGB, 8, 3},      {"rgba", lx24RGB, 8, 3, 256, true},
      {"gray8", lx8g, 8, 1},       {"gray4", lx8g, 4, 1},
      {"palette8", lx8p, 8, 1},    {"palette4", lx8p, 4, 1, 16},
      {"palette2", lx8p, 2, 1, 4}, {"palette3", lx8p, 3, 1, 8},
      {"gray16", lx16g, 16, 1},    {"rgb48", lxRGB48, 16, 3},
      {"cmyk", lxCMYK, 8, 4},      {"bilevel", lx1g, 1, 1},
  };
  return l;
}

std::unique_ptr<TLxBitmap> MakeSource(const Layout& l, int w, int h, unsigned seed) {
  auto b = Pattern(l.pf, w, h, seed, l.colours);
  if (l.pf == lx8g && l.bits < 8) {
    // Levels the depth can hold.
    const int top = (1 << l.bits) - 1;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        uint8_t& v = b->ScanLine(y)[x];
        v = uint8_t((v * top + 127) / 255 * 255 / top);
      }
  }
  if (l.alpha) {
    TLxBitmap* a = b->AlphaChannel();
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) a->ScanLine(y)[x] = uint8_t(x * 9 + y);
    a->AllOpaque = false;
  }
  return b;
}

void SetLayout(TIOParamsVals& p, const Layout& l, TLxTiffCompression c, int fillOrder = 1) {
  p.BitsPerSample = l.bits;
  p.SamplesPerPixel = l.spp;
  p.TiffPhotometric = l.photometric;
  p.TiffCompression = c;
  p.TiffFillOrder = fillOrder;
}

// Reads back with our reader in the file's own layout; the alpha channel attached.
std::unique_ptr<TiffLoad> ReadBack(const Bytes& file) {
  auto r = LoadTiff(file, {.native = true});
  if (r->mask) r->bitmap.AlphaChannel()->CopyFromMask(r->mask.get());
  return r;
}

const TLxTiffCompression kLossless[] = {tcNone, tcPackBits, tcDeflate, tcLzw};

TEST(TiffWriter, EveryLayoutAndLosslessCompressionReadsBackIdentically) {
  unsigned seed = 1;
  for (const Layout& l : Layouts()) {
    for (TLxTiffCompression c : kLossless) {
      // Widths that end inside a byte; heights over several strips for the larger images.
      for (auto [w, h] : {std::pair{1, 1}, std::pair{13, 7}, std::pair{37, 600}}) {
        auto src = MakeSource(l, w, h, ++seed);
        TIOParamsVals p;
        SetLayout(p, l, c);
        Written out = Write(src.get(), p);
        const std::string what = std::string(l.name) + " c" + std::to_string(int(c)) + " " +
                                 std::to_string(w) + "x" + std::to_string(h);
        ASSERT_FALSE(out.aborting) << what << ": " << out.reason.Text();
        EXPECT_EQ(out.result, 1);
        auto r = ReadBack(out.file);
        ASSERT_FALSE(r->aborting) << what << ": " << r->reason.Text();
        // Deflate strips carry no alpha samples.
        if (c == tcDeflate && l.alpha) src->RemoveAlphaChannel(false, 0);
        ExpectSamePixels(*src, r->bitmap, what);
        // The record describes what was stored.
        EXPECT_EQ(r->params.BitsPerSample, p.BitsPerSample) << what;
        EXPECT_EQ(r->params.TiffPhotometric, p.TiffPhotometric) << what;
        EXPECT_EQ(r->params.TiffCompression, p.TiffCompression) << what;
      }
    }
  }
}

const TLxTiffCompression kFax[] = {tcCcittRle, tcG3Fax1D, tcG3Fax2D, tcG4Fax};

TEST(TiffWriter, FaxCompressionsInBothFillOrdersReadBackIdentically) {
  unsigned seed = 50;
  for (TLxTiffCompression c : kFax) {
    for (int fill : {1, 2}) {
      // Widths around the run-length code boundaries; many rows for several strips.
      for (auto [w, h] : {std::pair{1, 1}, std::pair{63, 5}, std::pair{64, 3}, std::pair{2600, 9},
                          std::pair{301, 900}}) {
        auto src = Pattern(lx1g, w, h, ++seed);
        TIOParamsVals p;
        SetLayout(p, Layouts().back(), c, fill);
        Written out = Write(src.get(), p);
        const std::string what = "c" + std::to_string(int(c)) + " fill " + std::to_string(fill) +
                                 " " + std::to_string(w) + "x" + std::to_string(h);
        ASSERT_FALSE(out.aborting) << what;
        EXPECT_EQ(p.TiffCompression, c) << what;
        auto r = ReadBack(out.file);
        ASSERT_FALSE(r->aborting) << what << ": " << r->reason.Text();
        ExpectSamePixels(*src, r->bitmap, what);
      }
    }
  }
}

TEST(TiffWriter, StripsOfHalfAMebibyteAndTheirTags) {
  auto src = Pattern(lx24RGB, 1000, 400, 3);  // 1.2 MB of rows: two strips of 174 rows + 52
  TIOParamsVals p;
  Written out = Write(src.get(), p);
  ASSERT_FALSE(out.aborting);
  TLxMemStream s(out.file.data(), int64_t(out.file.size()));
  TLxTiffStructure t(s, 0);
  ASSERT_TRUE(t.ReadHeader());
  TLxIfd ifd;
  ASSERT_TRUE(t.ReadIfd(t.FirstIfd(), ifd));
  EXPECT_EQ(t.Uint(*ifd.Find(278)), 200u);
  EXPECT_EQ(ifd.Find(273)->Count, 2u);
  EXPECT_EQ(t.Uint(*ifd.Find(279), 1), 200u * 3000);
  EXPECT_EQ(t.Uint(*ifd.Find(296)), 2u);
  EXPECT_EQ(t.Uint(*ifd.Find(277)), 3u);
  // Sorted entries, even offsets.
  for (size_t i = 1; i < ifd.Entries.size(); ++i)
    EXPECT_LT(ifd.Entries[i - 1].Tag, ifd.Entries[i].Tag);
  EXPECT_EQ(t.FirstIfd() % 2, 0u);
}

TEST(TiffWriter, LayoutDecisionsCorrectTheRecord) {
  // Two colours at one bit: bilevel, 0 the darker colour.
  {
    TLxBitmap b(5, 2, lx24RGB);
    for (int x = 0; x < 5; ++x) {
      b.SetPixelsRGB24(x, 0, CreateRGB(200, 10, 10));
      b.SetPixelsRGB24(x, 1, CreateRGB(10, 10, 90));
    }
    TIOParamsVals p;
    p.BitsPerSample = 1, p.SamplesPerPixel = 1;
    Written out = Write(&b, p);
    auto r = LoadTiff(out.file, {.native = true});
    ASSERT_EQ(r->bitmap.PixelFormat(), lx1g);
    EXPECT_EQ(r->bitmap.ScanLine(0)[0] & 0x80, 0x80);  // the red row is the lighter one
    EXPECT_EQ(r->bitmap.ScanLine(1)[0] & 0x80, 0);
  }
  // Fax compressions need bilevel rows; a palette image is stored uncompressed.
  {
    auto b = Pattern(lx8p, 9, 9, 4);
    TIOParamsVals p;
    p.BitsPerSample = 8, p.SamplesPerPixel = 1, p.TiffCompression = tcG3Fax2D;
    Written out = Write(b.get(), p);
    EXPECT_EQ(p.TiffCompression, tcNone);
    EXPECT_EQ(p.TiffPhotometric, tpPalette);
    ExpectSamePixels(*b, LoadTiff(out.file, {.native = true})->bitmap, "fax palette");
  }
  // 16-bit gray asked to be stored at 8 bits is stored at 8 bits, not as 16-bit rows
  // under an 8-bit tag.
  {
    auto b = Pattern(lx16g, 11, 3, 5);
    TIOParamsVals p;
    p.BitsPerSample = 8, p.SamplesPerPixel = 1;
    Written out = Write(b.get(), p);
    auto r = LoadTiff(out.file, {.native = true});
    ASSERT_EQ(r->bitmap.PixelFormat(), lx8g);
    for (int x = 0; x < 11; ++x) EXPECT_EQ(r->bitmap.ScanLine(2)[x], b->Pixels16(x, 2) >> 8);
  }
  // Layouts without rows of their own go through a 24-bit copy.
  for (PixelFormat pf : {lx32f, lxCIELab, lx32RGB}) {
    auto src = Pattern(lx24RGB, 6, 4, 6);
    TLxBitmap b;
    b.Allocate(6, 4, pf);
    b.CopyAndConvertFormat(*src);
    TLxBitmap want(6, 4, lx24RGB);
    want.CopyAndConvertFormat(b);
    TIOParamsVals p;
    Written out = Write(&b, p);
    ASSERT_FALSE(out.aborting) << PixelFormatName(pf);
    ExpectSamePixels(want, LoadTiff(out.file)->bitmap, PixelFormatName(pf));
  }
  // Conversions work on copies: the caller's bitmap, alpha channel included, is left as it was.
  for (auto [pf, bits, spp, c] :
       {std::tuple{lxCMYK, 1, 1, tcG4Fax}, std::tuple{lx8p, 8, 3, tcG4Fax},
        std::tuple{lxRGB48, 4, 1, tcG4Fax}, std::tuple{lx1g, 8, 3, tcG4Fax},
        std::tuple{lx8g, 8, 3, tcJpeg}, std::tuple{lxCMYK, 8, 3, tcOldJpeg}}) {
    auto b = Pattern(pf, 9, 5, 14);
    b->AlphaChannel()->Fill(100);
    TLxBitmap before;
    before.Assign(*b);
    TIOParamsVals p;
    p.BitsPerSample = bits, p.SamplesPerPixel = spp, p.TiffCompression = c;
    Written out = Write(b.get(), p);
    ASSERT_FALSE(out.aborting) << PixelFormatName(pf);
    ASSERT_EQ(b->PixelFormat(), pf);
    ASSERT_TRUE(b->HasAlphaChannel()) << PixelFormatName(pf);
    EXPECT_EQ(b->AlphaChannel()->ScanLine(4)[8], 100);
    EXPECT_EQ(CountDifferentPixels(BitmapToRgba(*b), BitmapToRgba(before)), 0u);
  }
  // A Deflate effort out of range is the normal one.
  {
    auto b = Pattern(lx24RGB, 20, 20, 7);
    TIOParamsVals p;
    p.TiffCompression = tcDeflate, p.TiffDeflateLevel = 77;
    Written out = Write(b.get(), p);
    ASSERT_FALSE(out.aborting);
    ExpectSamePixels(*b, LoadTiff(out.file)->bitmap, "deflate 77");
  }
}

TEST(TiffWriter, DescriptiveTagsAndTheStructureWithoutABitmap) {
  TIOParamsVals p;
  p.TiffImageDescription = "a description";
  p.DpiX = 150, p.DpiY = 72;
  Written out = Write(nullptr, p);
  ASSERT_FALSE(out.aborting);
  TLxMemStream s(out.file.data(), int64_t(out.file.size()));
  TLxTiffStructure t(s, 0);
  ASSERT_TRUE(t.ReadHeader());
  TLxIfd ifd;
  ASSERT_TRUE(t.ReadIfd(t.FirstIfd(), ifd));
  ASSERT_EQ(ifd.Entries.size(), 4u);
  EXPECT_EQ(t.Ascii(*ifd.Find(270)), "a description");
  EXPECT_EQ(t.Real(*ifd.Find(282)), 150.0);
  EXPECT_EQ(t.Real(*ifd.Find(283)), 72.0);

  // Short strings stand in the entry without a zero; page numbers, names, positions.
  auto b = Pattern(lx8g, 4, 4, 8);
  TIOParamsVals q;
  q.BitsPerSample = 8, q.SamplesPerPixel = 1;
  q.TiffDocumentName = "doc";
  q.TiffPageName = "a page name";
  q.TiffPageNumber = 2, q.TiffPageCount = 5;
  q.TiffXPos = 3;
  q.XMP_Info = "<x:xmpmeta/>";
  q.InputICCProfile().LoadFromBuffer(Bytes(300, 7));
  out = Write(b.get(), q);
  auto r = LoadTiff(out.file);
  EXPECT_EQ(r->params.TiffDocumentName, "doc");
  EXPECT_EQ(r->params.TiffPageName, "a page name");
  EXPECT_EQ(r->params.TiffPageNumber, 2);
  EXPECT_EQ(r->params.TiffPageCount, 5);
  EXPECT_EQ(r->params.XMP_Info, "<x:xmpmeta/>");
  ASSERT_TRUE(r->params.HasInputICCProfile());
  EXPECT_EQ(r->params.InputICCProfileIfAny()->Raw(), Bytes(300, 7));
  TLxMemStream s2(out.file.data(), int64_t(out.file.size()));
  TLxTiffStructure t2(s2, 0);
  ASSERT_TRUE(t2.ReadHeader());
  TLxIfd ifd2;
  ASSERT_TRUE(t2.ReadIfd(t2.FirstIfd(), ifd2));
  EXPECT_EQ(ifd2.Find(269)->Count, 3u);
  EXPECT_EQ(t2.Real(*ifd2.Find(286)), 3.0);
}

TEST(TiffWriter, RationalsKeepSignAndRange) {
  uint32_t n, d;
  DoubleToRational(-2, true, n, d);
  EXPECT_EQ(int32_t(n), -2);
  EXPECT_EQ(d, 1u);
  DoubleToRational(0.3333333, false, n, d);
  EXPECT_NEAR(double(n) / d, 0.3333333, 1e-7);
  DoubleToRational(1e12, false, n, d);  // clamped, never a zero denominator
  EXPECT_EQ(n, 0xFFFFFFFFu);
  EXPECT_EQ(d, 1u);
  DoubleToRational(-1e12, true, n, d);
  EXPECT_EQ(int32_t(n), INT32_MIN);
  EXPECT_EQ(d, 1u);
  DoubleToRational(299.6, false, n, d);
  EXPECT_EQ(double(n) / d, 299.6);
}

// ---------------------------------------------------------------- insertion

Bytes OnePage(int value) {
  TLxBitmap b(3, 2, lx8g);
  b.Fill(value);
  TIOParamsVals p;
  p.BitsPerSample = 8, p.SamplesPerPixel = 1;
  return Write(&b, p).file;
}

// The first gray value of every page.
std::vector<int> Pages(const Bytes& file) {
  std::vector<int> v;
  int count = LoadTiff(file)->count;
  for (int i = 0; i < count; ++i) {
    auto r = LoadTiff(file, {.native = true, .index = i});
    v.push_back(r->aborting ? -1 : r->bitmap.ScanLine(0)[0]);
  }
  return v;
}

TEST(TiffWriter, InsertAtTheStartInTheMiddleAndPastTheEnd) {
  Bytes file = OnePage(10);
  TLxBitmap b(3, 2, lx8g);
  auto insert = [&](int index, int value) {
    b.Fill(value);
    TIOParamsVals p;
    p.BitsPerSample = 8, p.SamplesPerPixel = 1, p.TiffImageIndex = index;
    Written w = Write(&b, p, true, file);
    EXPECT_FALSE(w.aborting) << w.reason.Text();
    file = w.file;
    return w.result;
  };
  EXPECT_EQ(insert(1, 20), 2);
  EXPECT_EQ(Pages(file), (std::vector<int>{10, 20}));
  EXPECT_EQ(insert(0, 30), 3);
  EXPECT_EQ(Pages(file), (std::vector<int>{30, 10, 20}));
  EXPECT_EQ(insert(2, 40), 4);
  EXPECT_EQ(Pages(file), (std::vector<int>{30, 10, 40, 20}));
  EXPECT_EQ(insert(99, 50), 5);
  EXPECT_EQ(Pages(file), (std::vector<int>{30, 10, 40, 20, 50}));
}

TEST(TiffWriter, InsertRefusesBigEndianLoopsAndOffsetsOutsideTheFile) {
  TLxBitmap b(3, 2, lx8g);
  TIOParamsVals p;
  p.TiffImageIndex = 5;
  Bytes good = OnePage(1);
  const uint32_t first = LoadU32LE(&good[4]);
  Bytes big = good;
  big[0] = big[1] = 'M';
  Bytes loop = good;  // the directory's next pointer leads back to itself
  const uint32_t next = first + 2 + 12 * LoadU16LE(&good[first]);
  PutLE32(&loop[next], first);
  Bytes outside = good;
  PutLE32(&outside[next], uint32_t(good.size() + 100));
  for (const Bytes& f : {big, loop, outside, Bytes{}}) {
    Written w = Write(&b, p, true, f);
    EXPECT_TRUE(w.aborting);
    EXPECT_EQ(w.result, 0);
    EXPECT_EQ(w.file, f);  // nothing written
  }
}

TEST(TiffWriter, InsertToFileKeepsTheOldFileWhenTheInsertFails) {
  TempDir dir;
  const fs::path target = dir / "pages.tif";
  TLumenaxIO io;
  io.Bitmap()->Allocate(4, 4, lx24RGB);
  io.Bitmap()->Fill(0);
  io.InsertToFileTiff(target);  // no file yet: a new one
  ASSERT_FALSE(io.Aborting);
  io.Bitmap()->Fill(16777215);
  io.Params.TiffImageIndex = 0;
  io.InsertToFileTiff(target);
  ASSERT_FALSE(io.Aborting);
  auto r = LoadTiff(ReadFileBytes(target));
  EXPECT_EQ(r->count, 2);
  EXPECT_EQ(r->bitmap.ScanLine(0)[0], 255);

  Bytes broken = ReadFileBytes(target);
  broken[0] = broken[1] = 'M';
  WriteFileBytes(target, broken);
  io.InsertToFileTiff(target);
  EXPECT_TRUE(io.Aborting);
  EXPECT_EQ(ReadFileBytes(target), broken);
}

TEST(TiffWriter, TwoImagesInOneStreamWithHeadersLoadInTurn) {
  TLumenaxIO io;
  io.StreamHeaders = true;
  TMemoryStream s;
  for (int v : {40, 200}) {
    io.Bitmap()->Allocate(5, 3, lx24RGB);
    io.Bitmap()->Fill(v);
    io.Params.TiffCompression = tcLzw;
    io.SaveToStreamTiff(s);
    ASSERT_FALSE(io.Aborting);
  }
  s.Seek(0, soBeginning);
  for (int v : {40, 200}) {
    io.LoadFromStreamTiff(s);
    ASSERT_FALSE(io.Aborting);
    TLxBitmap want(5, 3, lx24RGB);
    want.Fill(v);
    EXPECT_EQ(std::memcmp(io.Bitmap()->ScanLine(2), want.ScanLine(2), 15), 0);
  }
}

TEST(TiffWriter, ShortWritesAndCancellationFailWithoutAHeader) {
  // A stream that takes only the first 100 bytes.
  class Short : public TMemoryStream {
   public:
    int64_t Write(const void* b, int64_t n) override {
      if (Position() + n > 100) return 0;
      return TMemoryStream::Write(b, n);
    }
  } s;
  auto b = Pattern(lx24RGB, 50, 50, 13);
  TIOParamsVals p;
  bool aborting = false;
  TLxFailureReason reason;
  ProgressRecord pr;
  pr.AbortingPtr = &aborting;
  pr.ReasonPtr = &reason;
  EXPECT_EQ(WriteTiffStream(s, false, b.get(), pr, p), 0);
  EXPECT_TRUE(aborting);
  EXPECT_EQ(reason.Code, TLxFailure::WriteFailed);
  // A progress handler that cancels at the first report stops after the current row.
  TMemoryStream m;
  aborting = false;
  reason.Clear();
  pr.OnProgressData = &aborting;
  pr.OnProgressCode = [](void* data, void*, int) { *static_cast<bool*>(data) = true; };
  EXPECT_EQ(WriteTiffStream(m, false, b.get(), pr, p), 0);
  ASSERT_GE(m.Size(), 8);
  EXPECT_LT(m.Size(), 8 + 2 * 150);
  EXPECT_EQ(LoadU32LE(m.Bytes().data() + 4), 0u);  // the header's placeholder stays
}

// Deflate strips are compressed on the worker pool: each strip is a zlib stream of its own
// holding exactly its rows, the file is the same whatever the number of threads, and a save
// cancelled while strips are in flight stops cleanly.
TEST(TiffWriter, DeflateStripsAreStreamsOfTheirOwnWhateverTheThreads) {
  auto b = Pattern(lx24RGB, 1000, 900, 29);  // 2.7 MB of rows: strips of 180 rows
  for (int effort : {0, 1, 2}) {
    TIOParamsVals p;
    p.TiffCompression = tcDeflate, p.TiffDeflateLevel = effort;
    Written threaded = Write(b.get(), p);
    ASSERT_FALSE(threaded.aborting);
    Written alone;
    {
      std::vector<std::unique_ptr<TLxBusyConversion>> busy;
      for (int i = 0; i < CoreCount(); ++i) busy.push_back(std::make_unique<TLxBusyConversion>());
      ASSERT_EQ(SpareLanes(), 1);
      alone = Write(b.get(), p);
    }
    EXPECT_EQ(threaded.file, alone.file) << effort;

    TLxMemStream s(threaded.file.data(), int64_t(threaded.file.size()));
    TLxTiffStructure t(s, 0);
    ASSERT_TRUE(t.ReadHeader());
    TLxIfd ifd;
    ASSERT_TRUE(t.ReadIfd(t.FirstIfd(), ifd));
    EXPECT_EQ(t.Uint(*ifd.Find(259)), 32946u);
    EXPECT_EQ(t.Uint(*ifd.Find(278)), 180u);
    const std::vector<uint32_t> offsets = t.UintArray(*ifd.Find(273), 100);
    const std::vector<uint32_t> counts = t.UintArray(*ifd.Find(279), 100);
    ASSERT_EQ(offsets.size(), 5u);
    ASSERT_EQ(counts.size(), 5u);
    for (size_t i = 0; i < offsets.size(); ++i) {
      ASSERT_LE(uint64_t(offsets[i]) + counts[i], threaded.file.size());
      Bytes rows(180 * 3000 + 1);
      uLongf n = uLongf(rows.size());
      ASSERT_EQ(uncompress(rows.data(), &n, threaded.file.data() + offsets[i], counts[i]), Z_OK)
          << "strip " << i;
      ASSERT_EQ(n, 180u * 3000) << "strip " << i;
      for (int y = 0; y < 180; y += 59) {
        const uint8_t* src = b->ScanLine(int(i) * 180 + y);
        const uint8_t* got = rows.data() + size_t(y) * 3000;
        for (int x = 0; x < 1000; ++x)
          ASSERT_TRUE(got[3 * x] == src[3 * x + 2] && got[3 * x + 1] == src[3 * x + 1] &&
                      got[3 * x + 2] == src[3 * x])
              << "strip " << i << " row " << y << " pixel " << x;
      }
    }
    ExpectSamePixels(*b, LoadTiff(threaded.file)->bitmap, "deflate");
  }
  // Cancelled halfway: the strips gathered so far are dropped or finished, nothing leaks.
  TMemoryStream m;
  bool aborting = false;
  ProgressRecord pr;
  pr.AbortingPtr = &aborting;
  pr.OnProgressData = &aborting;
  pr.OnProgressCode = [](void* data, void*, int percent) {
    if (percent >= 50) *static_cast<bool*>(data) = true;
  };
  TIOParamsVals p;
  p.TiffCompression = tcDeflate;
  EXPECT_EQ(WriteTiffStream(m, false, b.get(), pr, p), 0);
  EXPECT_TRUE(aborting);
  EXPECT_EQ(LoadU32LE(m.Bytes().data() + 4), 0u);  // no directory
}

// ---------------------------------------------------------------- peers

bool HavePeers() {
  return HaveProgram("tiffinfo") && HaveProgram("tiff2rgba") && HaveProgram("tiffdump") &&
         HaveProgram("tiffcp") && HaveProgram(kPython) &&
         RunCommand(std::string(kPython) + " -c 'import PIL' 2>/dev/null") == 0;
}

// For each "tiff|pillow.png|libtiff.png" line: Pillow's RGBA, and libtiff's (tiff2rgba, then
// read by Pillow) unless the file has alpha (tiff2rgba premultiplies it).
const char* kPeerScript = R"PY(
import subprocess, sys, os
from PIL import Image
for line in open(sys.argv[1]):
    src, pil, lt = line.rstrip('\n').split('|')
    try:
        im = Image.open(src)
        if im.mode not in ('I;16', 'I;16B', 'I'):
            im.convert('RGBA').save(pil)
    except Exception as e:
        sys.stderr.write('%s: Pillow: %s\n' % (src, e))
    rgba, plain = lt + '.tif', lt + '.plain.tif'
    # tiff2rgba keeps the fill order, which Pillow does not take: tiffcp puts it right.
    if subprocess.run(['tiff2rgba', '-c', 'none', src, rgba], capture_output=True).returncode == 0 \
       and subprocess.run(['tiffcp', '-f', 'msb2lsb', rgba, plain], capture_output=True).returncode == 0:
        try:
            Image.open(plain).convert('RGBA').save(lt)
        except Exception as e:
            sys.stderr.write('%s: %s\n' % (src, e))
)PY";

struct PeerCase {
  std::string name;
  fs::path file;
  RgbaImage want;
  int tolerance = 0;
  bool jpeg = false;
  bool alpha = false;
};

double Psnr(const RgbaImage& a, const RgbaImage& b) {
  double se = 0;
  size_t n = 0;
  for (size_t i = 0; i < a.rgba.size(); ++i) {
    if (i % 4 == 3) continue;
    const double d = double(a.rgba[i]) - b.rgba[i];
    se += d * d;
    ++n;
  }
  return se == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / (se / double(n)));
}

int MaxDiff(const RgbaImage& a, const RgbaImage& b, bool withAlpha) {
  if (a.width != b.width || a.height != b.height) return 1000;
  int m = 0;
  for (size_t i = 0; i < a.rgba.size(); ++i)
    if (withAlpha || i % 4 != 3) m = std::max(m, std::abs(int(a.rgba[i]) - int(b.rgba[i])));
  return m;
}

// libtiff's own comparison: every layout written with each lossless compression, large
// enough for several strips, holds exactly the samples of the same layout written
// uncompressed (16-bit and CMYK samples too, which the RGBA comparisons round), and libtiff
// reads every strip without a warning. tiffcmp stops at the first tag that differs, so both
// files are first copied uncompressed by tiffcp.
TEST(TiffWriterPeers, CompressedStripsHoldTheSamplesOfTheUncompressedFile) {
  if (!HaveProgram("tiffcp") || !HaveProgram("tiffcmp") || !HaveProgram("tiffinfo"))
    GTEST_SKIP() << "libtiff tools missing";
  TempDir dir;
  unsigned seed = 300;
  for (const Layout& l : Layouts()) {
    for (TLxTiffCompression c : {tcPackBits, tcDeflate, tcLzw}) {
      auto src = MakeSource(l, 640, 600, ++seed);
      // Deflate strips carry no alpha samples.
      if (c == tcDeflate && l.alpha) src->RemoveAlphaChannel(false, 0);
      const std::string name = std::string(l.name) + "-" + std::to_string(int(c));
      const fs::path plain = dir / (name + "-plain.tif"), packed = dir / (name + ".tif");
      for (auto [file, compression] : {std::pair{plain, tcNone}, std::pair{packed, c}}) {
        TIOParamsVals p;
        SetLayout(p, l, compression);
        Written out = Write(src.get(), p);
        ASSERT_FALSE(out.aborting) << name << ": " << out.reason.Text();
        WriteFileBytes(file, out.file);
      }
      std::string warnings, differences;
      RunCommand("tiffinfo -D " + ShellQuote(packed.string()) + " 2>&1 >/dev/null", &warnings);
      EXPECT_EQ(warnings, "") << name;
      const std::string a = ShellQuote((dir / "a.tif").string()),
                        b = ShellQuote((dir / "b.tif").string());
      ASSERT_EQ(RunCommand("tiffcp -c none " + ShellQuote(plain.string()) + " " + a +
                           " && tiffcp -c none " + ShellQuote(packed.string()) + " " + b),
                0)
          << name;
      EXPECT_EQ(RunCommand("tiffcmp " + a + " " + b + " 2>&1", &differences), 0) << name;
      EXPECT_EQ(differences, "") << name;
    }
  }
}

TEST(TiffWriterPeers, EveryLayoutAndCompressionDecodesInLibtiffAndPillow) {
  if (!HavePeers()) GTEST_SKIP() << "libtiff tools or Pillow missing";
  TempDir dir;
  std::vector<PeerCase> cases;
  unsigned seed = 100;
  // libtiff and Pillow turn CMYK into RGB by the plain formula.
  const bool profile = UseCmykProfile;
  UseCmykProfile = false;
  struct Restore {
    bool v;
    ~Restore() { UseCmykProfile = v; }
  } restore{profile};
  auto add = [&](const std::string& name, TLxBitmap& src, TIOParamsVals& p, int tol, bool jpeg) {
    Written out = Write(&src, p);
    ASSERT_FALSE(out.aborting) << name << ": " << out.reason.Text();
    PeerCase c{name, dir / (name + ".tif"), BitmapToRgba(src), tol, jpeg, src.HasAlphaChannel()};
    WriteFileBytes(c.file, out.file);
    cases.push_back(std::move(c));
  };
  for (const Layout& l : Layouts()) {
    for (TLxTiffCompression c : kLossless) {
      auto src = MakeSource(l, 29, 17, ++seed);
      TIOParamsVals p;
      SetLayout(p, l, c);
      // libtiff keeps the high byte of 16-bit samples; CMYK goes through another formula.
      const int tol = l.pf == lxCMYK ? 2 : l.pf == lxRGB48 ? 1 : 0;
      if (c == tcDeflate && l.alpha) src->RemoveAlphaChannel(false, 0);
      SetLayout(p, l, c);
      add(std::string(l.name) + "-" + std::to_string(int(c)), *src, p, tol, false);
    }
  }
  // LZW: a code table that fills and clears several times, one-pixel rows, one-row images.
  for (auto [w, h] : {std::pair{300, 200}, std::pair{1, 300}, std::pair{500, 1}}) {
    auto src = std::make_unique<TLxBitmap>(w, h, lx24RGB);
    std::mt19937 rng{unsigned(w)};
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < 3 * w; ++x) src->ScanLine(y)[x] = uint8_t(rng());
    TIOParamsVals p;
    p.TiffCompression = tcLzw;
    add("lzw-" + std::to_string(w) + "x" + std::to_string(h), *src, p, 0, false);
    TIOParamsVals q;
    q.TiffCompression = tcLzw, q.BitsPerSample = 8, q.SamplesPerPixel = 1;
    auto gray = std::make_unique<TLxBitmap>(w, h, lx8g);
    gray->CopyAndConvertFormat(*src);
    add("lzw-gray-" + std::to_string(w) + "x" + std::to_string(h), *gray, q, 0, false);
  }
  for (TLxTiffCompression c : kFax) {
    for (int fill : {1, 2}) {
      auto src = Pattern(lx1g, 45, 19, ++seed);
      TIOParamsVals p;
      SetLayout(p, Layouts().back(), c, fill);
      add("fax" + std::to_string(int(c)) + "-fill" + std::to_string(fill), *src, p, 0, false);
    }
  }
  // Old-style JPEG is read by libtiff for YCbCr and gray data only (what cameras wrote).
  for (TLxJpegColorSpace cs : {jcYCbCr, jcRGB, jcGrayScale, jcCMYK, jcYCbCrK}) {
    for (TLxTiffCompression c : {tcJpeg, tcOldJpeg}) {
      if (c == tcOldJpeg && cs != jcYCbCr && cs != jcGrayScale) continue;
      // A smooth picture: JPEG is meant for those.
      auto src = std::make_unique<TLxBitmap>(64, 48, lx24RGB);
      for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
          src->SetPixelsRGB24(
              x, y,
              CreateRGB(uint8_t(40 + x * 2), uint8_t(60 + y * 3), uint8_t(150 + (x + y) / 2)));
      if (cs == jcGrayScale) {
        TLxBitmap g(64, 48, lx8g);
        g.CopyAndConvertFormat(*src);
        src->CopyAndConvertFormat(g);
      }
      TIOParamsVals p;
      p.TiffCompression = c;
      p.TiffJpegColorSpace = cs;
      p.TiffJpegQuality = 95;
      add("jpeg" + std::to_string(int(c)) + "-cs" + std::to_string(int(cs)), *src, p, 0, true);
    }
  }
  std::ofstream list(dir / "list.txt");
  for (const PeerCase& c : cases)
    list << c.file.string() << '|' << c.file.string() << ".pil.png|" << c.file.string()
         << ".lt.png\n";
  list.close();
  std::ofstream(dir / "peer.py") << kPeerScript;
  ASSERT_EQ(RunCommand(std::string(kPython) + " " + ShellQuote((dir / "peer.py").string()) + " " +
                       ShellQuote((dir / "list.txt").string())),
            0);
  for (const PeerCase& c : cases) {
    std::string log;
    const int rc = RunCommand("tiffinfo -D " + ShellQuote(c.file.string()) + " 2>&1", &log);
    EXPECT_EQ(rc, 0) << c.name;
    EXPECT_EQ(log.find("rror"), std::string::npos) << c.name << ": " << log.substr(0, 300);
    // Our reader.
    auto r = ReadBack(ReadFileBytes(c.file));
    EXPECT_FALSE(r->aborting) << c.name << ": " << r->reason.Text();
    RgbaImage ours = BitmapToRgba(r->bitmap);
    RgbaImage pil, lt;
    const bool havePil = ReadPngRgba(c.file.string() + ".pil.png", pil);
    const bool haveLt = ReadPngRgba(c.file.string() + ".lt.png", lt);
    if (c.name.rfind("gray16", 0) != 0 && c.name.find("jpeg6") == std::string::npos) {
      EXPECT_TRUE(havePil) << c.name << ": Pillow could not read it";
    }
    EXPECT_TRUE(haveLt) << c.name << ": tiff2rgba could not convert it";
    if (c.jpeg) {
      const double psnrOurs = Psnr(c.want, ours);
      EXPECT_GT(psnrOurs, 30) << c.name;
      if (haveLt) {
        EXPECT_GT(Psnr(c.want, lt), 30) << c.name << " (libtiff)";
        std::printf("%-16s PSNR ours %.1f dB, libtiff %.1f dB\n", c.name.c_str(), psnrOurs,
                    Psnr(c.want, lt));
      }
      continue;
    }
    EXPECT_LE(MaxDiff(c.want, ours, true), 0) << c.name << " (ours)";
    if (havePil) {
      EXPECT_LE(MaxDiff(c.want, pil, true), c.tolerance) << c.name << " (Pillow)";
    }
    if (haveLt && !c.alpha) {
      EXPECT_LE(MaxDiff(c.want, lt, false), c.tolerance) << c.name << " (libtiff)";
    }
  }
}

std::string TiffDump(const Bytes& file) {
  TempDir dir;
  WriteFileBytes(dir / "f.tif", file);
  std::string out;
  RunCommand("tiffdump " + ShellQuote((dir / "f.tif").string()), &out);
  return out;
}

TEST(TiffWriterPeers, TagsOtherReadersRelyOn) {
  if (!HavePeers()) GTEST_SKIP() << "libtiff tools or Pillow missing";
  // Straight alpha is unassociated; libtiff, Pillow and ImageMagick keep its colours.
  {
    TLxBitmap b(2, 1, lx24RGB);
    b.SetPixelsRGB24(0, 0, CreateRGB(200, 100, 50));
    b.SetPixelsRGB24(1, 0, CreateRGB(200, 100, 50));
    b.AlphaChannel()->ScanLine(0)[0] = 128;
    b.AlphaChannel()->ScanLine(0)[1] = 255;
    TIOParamsVals p;
    Written out = Write(&b, p);
    const std::string d = TiffDump(out.file);
    EXPECT_NE(d.find("ExtraSamples (338) SHORT (3) 1<2>"), std::string::npos) << d;
    TempDir dir;
    WriteFileBytes(dir / "a.tif", out.file);
    std::string px, im;
    RunCommand(std::string(kPython) + " -c \"from PIL import Image; print(Image.open('" +
                   (dir / "a.tif").string() + "').getpixel((0, 0)))\"",
               &px);
    EXPECT_EQ(px, "(200, 100, 50, 128)\n");
    if (HaveProgram("convert")) {
      RunCommand("convert " + ShellQuote((dir / "a.tif").string()) +
                     " -format '%[pixel:p{0,0}]' info: 2>/dev/null",
                 &im);
      EXPECT_EQ(im, "srgba(200,100,50,0.501961)");
    }
  }
  // Predictor for 8-bit RGB; PageNumber; ColorMap values are the palette bytes x 257.
  {
    auto b = Pattern(lx24RGB, 8, 8, 12);
    TIOParamsVals p;
    p.TiffCompression = tcDeflate;
    p.TiffPageNumber = 1, p.TiffPageCount = 3;
    std::string d = TiffDump(Write(b.get(), p).file);
    EXPECT_NE(d.find("PageNumber (297) SHORT (3) 2<1 3>"), std::string::npos) << d;
    EXPECT_EQ(d.find("Predictor"), std::string::npos) << d;
    TLxBitmap pal(4, 1, lx8p);
    pal.SetPaletteEntry(0, CreateRGB(1, 2, 3));
    pal.SetPaletteEntry(1, CreateRGB(255, 0, 128));
    pal.ScanLine(0)[0] = 0, pal.ScanLine(0)[1] = 1;
    TIOParamsVals q;
    q.BitsPerSample = 2, q.SamplesPerPixel = 1;
    d = TiffDump(Write(&pal, q).file);
    EXPECT_NE(d.find("Colormap (320) SHORT (3) 12<257 65535 0 0 514 0 0 0 771 32896 0 0>"),
              std::string::npos)
        << d;
  }
}

}  // namespace
}  // namespace lumenax::test
