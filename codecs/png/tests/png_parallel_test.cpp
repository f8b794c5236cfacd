// The PNG writer's band encoder: the same file as libpng's row-by-row writing but for the
// deflate stream (same chunks, same filtered rows, about the same size), the same bytes for
// any number of threads, files other decoders read, a cancelled save that leaves the old
// file, and the share of the cores an encode may take.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bitmap/conversion.h"
#include "bitmap/worker_pool.h"
#include "codecs/png/png.h"
#include "codecs/png/png_deflate.h"
#include "codecs/png/tests/png_test_util.h"
#include "io/lumenax_io.h"
#include "tests/support/test_support.h"

namespace lumenax {
namespace {

using test::LoadPng;
using test::SavePng;

// The tuning of one test, put back afterwards.
struct Tuning {
  PngParallelTuning saved = PngParallelSettings();
  explicit Tuning(int64_t minPixels, int workers = 0, size_t bandBytes = 4096,
                  TLxWorkerPool* pool = nullptr) {
    PngParallelTuning& t = PngParallelSettings();
    t.minPixels = minPixels;
    t.workers = workers;
    t.bandBytes = bandBytes;
    t.pool = pool;
  }
  ~Tuning() { PngParallelSettings() = saved; }
};

uint32_t Be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// The chunks of a file but IDAT, whole, in order; and the IDAT data joined.
struct Chunks {
  std::vector<std::vector<uint8_t>> other;
  std::vector<uint8_t> idat;
  int idatChunks = 0;
};

Chunks Split(const std::vector<uint8_t>& b) {
  Chunks c;
  for (size_t p = 8; p + 12 <= b.size();) {
    const uint32_t n = Be32(&b[p]);
    if (p + 12 + n > b.size()) break;
    if (std::memcmp(&b[p + 4], "IDAT", 4) == 0) {
      c.idat.insert(c.idat.end(), b.begin() + long(p) + 8, b.begin() + long(p) + 8 + n);
      ++c.idatChunks;
    } else {
      c.other.emplace_back(b.begin() + long(p), b.begin() + long(p) + 12 + n);
    }
    p += 12 + n;
  }
  return c;
}

// The zlib stream inflated; empty when it is not a valid zlib stream (checksum included).
std::vector<uint8_t> Inflate(const std::vector<uint8_t>& z) {
  std::vector<uint8_t> out;
  z_stream s{};
  if (inflateInit(&s) != Z_OK) return out;
  s.next_in = const_cast<uint8_t*>(z.data());
  s.avail_in = uInt(z.size());
  uint8_t buf[65536];
  int r = Z_OK;
  while (r == Z_OK) {
    s.next_out = buf;
    s.avail_out = sizeof buf;
    r = inflate(&s, Z_NO_FLUSH);
    out.insert(out.end(), buf, buf + (sizeof buf - s.avail_out));
  }
  inflateEnd(&s);
  if (r != Z_STREAM_END || s.avail_in != 0) out.clear();
  return out;
}

// A photograph-like image: gradients, texture and noise, so that every filter wins some
// rows and the quantizer has to reduce.
void Photo(TLxBitmap& b, int w, int h) {
  b.Allocate(w, h, lx24RGB);
  uint32_t seed = 7;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      seed = seed * 1664525u + 1013904223u;
      const int noise = int(seed >> 29) - 4;
      const int tex = (x * x / 7 + y * 3) % 41 - 20;
      b.SetPixelsRGB24(x, y,
                       CreateRGB(uint8_t(std::clamp(x + tex + noise, 0, 255)),
                                 uint8_t(std::clamp(y * 2 + noise, 0, 255)),
                                 uint8_t(std::clamp(128 + tex * 3 - noise, 0, 255))));
    }
}

void Alpha(TLxBitmap& b, TLxMask& mask, bool binary) {
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      const int v = (x * 5 + y * 3) % 256;
      b.SetAlphaValue(x, y, uint8_t(binary ? (v < 40 ? 0 : 255) : v));
    }
  test::MaskFromAlpha(b, mask);
}

struct Case {
  std::string name;
  TLxBitmap* bitmap;
  const TLxMask* mask;
  int samples;
  int bits;
};

// The images of the tests: every colour type the writer makes, each about 200 KB of rows.
struct Images {
  TLxBitmap rgb, rgba, gray, gray16, palette, indexed, bw;
  TLxMask rgbaMask, paletteMask, indexedMask;
  std::vector<Case> cases;

  Images() {
    const int w = 160, h = 150;
    Photo(rgb, w, h);
    Photo(rgba, w, h);
    Alpha(rgba, rgbaMask, false);
    gray.Allocate(w, h, lx8g);
    gray16.Allocate(w, h, lx16g);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const TRGB p = rgb.PixelAsRGB(x, y);
        gray.SetPixels8(x, y, p.g);
        gray16.SetPixels16(x, y, uint16_t(p.r * 257));
      }
    Photo(palette, w, h);  // thousands of colours: the quantizer reduces them
    Alpha(palette, paletteMask, true);
    indexed.Allocate(w, h, lx8p);
    for (int i = 0; i < 256; ++i)
      indexed.SetPaletteEntry(i, CreateRGB(uint8_t(i), uint8_t(i / 2), 9));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) indexed.SetPixels8(x, y, uint8_t((x / 3 + y / 5) % 256));
    Alpha(indexed, indexedMask, true);
    bw.Allocate(w, h, lx1g);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        if ((x * x + y) % 7 < 3) bw.ScanLine(y)[x / 8] |= uint8_t(0x80 >> (x % 8));
    cases = {{"rgb", &rgb, nullptr, 3, 8},
             {"rgba", &rgba, &rgbaMask, 3, 8},
             {"gray", &gray, nullptr, 1, 8},
             {"gray16", &gray16, nullptr, 1, 16},
             {"palette-transparent", &palette, &paletteMask, 1, 8},
             {"indexed-transparent", &indexed, &indexedMask, 1, 8},
             {"gray1", &bw, nullptr, 1, 1}};
  }
};

Images& TestImages() {
  static Images images;
  return images;
}

std::vector<uint8_t> Save(const Case& c, int filter) {
  TIOParamsVals params;
  params.SamplesPerPixel = c.samples;
  params.BitsPerSample = c.bits;
  params.PngFilter = uint8_t(filter);
  params.DpiX = params.DpiY = 300;
  params.PngBackground = CreateRGB(0, 0, 0);
  params.PngTextKeys = {"Title"};
  params.PngTextValues = {"bands"};
  return SavePng(*c.bitmap, params, c.mask);
}

// Against libpng writing row by row: every chunk but IDAT the same bytes, the same filtered
// rows (so the same filter chosen for every row, also where libpng chooses), a valid
// checksum, and about the same size.
TEST(PngBands, SameFileAsLibpngButTheDeflateStream) {
  for (const Case& c : TestImages().cases) {
    for (int filter : {0, 1, 2, 3}) {
      SCOPED_TRACE(c.name + " PngFilter " + std::to_string(filter));
      std::vector<uint8_t> byRows, byBands;
      {
        Tuning t(INT64_MAX);
        byRows = Save(c, filter);
      }
      {
        // Bands of 32 KiB, a few per image; each restart costs some bytes, fewer the larger
        // the bands (the writer's are 1 MiB).
        Tuning t(1, 2, 32768);
        byBands = Save(c, filter);
      }
      const Chunks rows = Split(byRows), bands = Split(byBands);
      EXPECT_EQ(bands.other, rows.other);
      const std::vector<uint8_t> filtered = Inflate(bands.idat);
      ASSERT_FALSE(filtered.empty());
      EXPECT_TRUE(filtered == Inflate(rows.idat));
      // Not larger by more than 1 % (or a few restarts' worth on the smallest files; small
      // images may also come out smaller, since libpng then narrows the deflate window).
      EXPECT_LE(double(byBands.size()),
                std::max(1.01 * double(byRows.size()), byRows.size() + 100.0))
          << byBands.size() << " against " << byRows.size();
      TLxBitmap back, want;
      TIOParamsVals p1, p2;
      ASSERT_FALSE(LoadPng(byBands, back, p1));
      ASSERT_FALSE(LoadPng(byRows, want, p2));
      EXPECT_EQ(test::CountDifferentPixels(test::BitmapToRgba(back), test::BitmapToRgba(want)), 0u);
    }
  }
}

// The libpng heuristic on rows built to make each filter win: flat rows go unfiltered,
// horizontal ramps take Sub, repeated rows Up.
TEST(PngBands, AdaptiveFilterPicksTheLeastSum) {
  const size_t n = 12;
  std::vector<uint8_t> prev(n, 0), raw(n, 0), out(n + 1), scratch(2 * (n + 1));
  FilterPngRow(PngRowFilter::Adaptive, raw.data(), prev.data(), n, 3, out.data(), scratch.data());
  EXPECT_EQ(out[0], 0) << "ties go to the earlier filter";
  for (size_t i = 0; i < n; ++i) raw[i] = uint8_t(100 + 10 * (i / 3));
  FilterPngRow(PngRowFilter::Adaptive, raw.data(), prev.data(), n, 3, out.data(), scratch.data());
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[4], 10);
  prev = raw;
  FilterPngRow(PngRowFilter::Adaptive, raw.data(), prev.data(), n, 3, out.data(), scratch.data());
  EXPECT_EQ(out[0], 2);
  EXPECT_EQ(std::count(out.begin() + 1, out.end(), 0), long(n));
}

// The bytes depend on the image only: 1, 2 and 7 threads write the same file.
TEST(PngBands, SameBytesForAnyNumberOfThreads) {
  TLxWorkerPool pool(6);
  for (const Case& c : TestImages().cases) {
    for (int filter : {0, 3}) {
      if (filter == 0 && c.name != "rgb") continue;
      SCOPED_TRACE(c.name + " PngFilter " + std::to_string(filter));
      std::vector<uint8_t> one, two, seven;
      {
        Tuning t(1, 1, 4096, &pool);
        one = Save(c, filter);
      }
      {
        Tuning t(1, 2, 4096, &pool);
        two = Save(c, filter);
      }
      {
        Tuning t(1, 7, 4096, &pool);
        seven = Save(c, filter);
      }
      EXPECT_GT(Split(one).idatChunks, 0);
      EXPECT_TRUE(one == two);
      EXPECT_TRUE(one == seven);
    }
  }
}

// Several images encoded at once share the pool without waiting on each other's bands.
TEST(PngBands, EncodesAtOnceShareThePool) {
  TLxWorkerPool pool(2);
  Tuning t(1, 3, 4096, &pool);
  const Case& c = TestImages().cases[0];
  const std::vector<uint8_t> want = Save(c, 3);
  std::vector<int> same(4, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] {
      for (int k = 0; k < 3; ++k) same[size_t(i)] += Save(c, 3) == want;
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(same, std::vector<int>(4, 3));
}

// libvips and Pillow read the band-encoded files to the pixels our reader reads; pngcheck
// finds nothing wrong.
TEST(PngBandsPeers, PngcheckVipsAndPillowDecodeTheSamePixels) {
  if (!test::HaveProgram("pngcheck") || !test::HaveProgram("vips") ||
      !test::HaveProgram("/usr/bin/python3"))
    GTEST_SKIP() << "pngcheck, vips or /usr/bin/python3 missing";
  Tuning t(1, 2);
  test::TempDir dir;
  std::string pillow =
      "/usr/bin/python3 " +
      test::ShellQuote((test::SourceDir() / "codecs/png/tests/pillow_decode.py").string());
  std::vector<std::pair<std::string, test::RgbaImage>> files;
  for (const Case& c : TestImages().cases) {
    const std::vector<uint8_t> bytes = Save(c, 3);
    const std::filesystem::path file = dir / (c.name + ".png");
    test::WriteFileBytes(file, bytes);
    TLxBitmap back;
    TIOParamsVals params;
    ASSERT_FALSE(LoadPng(bytes, back, params)) << c.name;
    files.emplace_back(c.name, test::BitmapToRgba(back));
    std::string out;
    EXPECT_EQ(test::RunCommand("pngcheck -q " + test::ShellQuote(file.string()), &out), 0)
        << c.name << ": " << out;
    pillow += " " + test::ShellQuote(file.string());
  }
  std::string report;
  ASSERT_EQ(test::RunCommand(pillow, &report), 0) << report;
  for (const auto& [name, ours] : files) {
    SCOPED_TRACE(name);
    const std::filesystem::path png = dir / (name + ".png");
    const std::vector<uint8_t> byPillow = test::ReadFileBytes(png.string() + ".rgba");
    EXPECT_TRUE(byPillow == ours.rgba);
    if (name != "rgb" && name != "rgba" && name != "gray16" && name != "palette-transparent")
      continue;  // vips starts slowly: the kinds of rows that differ most
    // vips: 8-bit RGBA of every file (16-bit gray cast down by its high byte).
    const std::filesystem::path raw = dir / (name + ".vips.raw");
    std::string cmd = "vips colourspace " + test::ShellQuote(png.string()) + " " +
                      test::ShellQuote((dir / (name + ".v")).string()) + " srgb";
    std::string out;
    ASSERT_EQ(test::RunCommand(cmd, &out), 0) << out;
    cmd = "vips bandjoin_const " + test::ShellQuote((dir / (name + ".v")).string()) + " " +
          test::ShellQuote((dir / (name + "4.v")).string()) + " 255";
    const bool hasAlpha = name == "rgba" || name.find("transparent") != std::string::npos;
    if (hasAlpha)
      cmd = "cp " + test::ShellQuote((dir / (name + ".v")).string()) + " " +
            test::ShellQuote((dir / (name + "4.v")).string());
    ASSERT_EQ(test::RunCommand(cmd, &out), 0) << out;
    cmd = "vips cast " + test::ShellQuote((dir / (name + "4.v")).string()) + " " +
          test::ShellQuote(raw.string() + ".v") + " uchar --shift && vips rawsave " +
          test::ShellQuote(raw.string() + ".v") + " " + test::ShellQuote(raw.string());
    ASSERT_EQ(test::RunCommand(cmd, &out), 0) << out;
    const std::vector<uint8_t> byVips = test::ReadFileBytes(raw);
    EXPECT_TRUE(byVips == ours.rgba) << byVips.size() << " bytes against " << ours.rgba.size();
  }
}

// Cancelling halfway through a save over an existing file leaves that file as it was and
// no temporary file beside it.
TEST(PngBands, CancelHalfwayKeepsTheOldTarget) {
  TLxWorkerPool pool(3);
  Tuning t(1, 4, 4096, &pool);
  test::TempDir dir;
  const std::filesystem::path target = dir / "kept.png";
  const std::vector<uint8_t> old = {'o', 'l', 'd'};
  test::WriteFileBytes(target, old);
  TLumenaxIO io;
  Photo(*io.Bitmap(), 160, 150);
  std::vector<int> percents;
  io.OnProgress = [&percents](TLumenaxIO& sender, int percent) {
    percents.push_back(percent);
    if (percent >= 50) sender.Aborting = true;
  };
  io.SaveToFilePng(target);
  EXPECT_TRUE(io.Aborting);
  EXPECT_EQ(io.FailureReason.Code, TLxFailure::Cancelled);
  // Rows stop at the one that asked; then the end-of-operation notification.
  ASSERT_GE(percents.size(), 2u);
  EXPECT_EQ(percents[percents.size() - 2], 50);
  EXPECT_EQ(percents.back(), 100);
  EXPECT_EQ(test::ReadFileBytes(target), old);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);

  // Without the cancel the same save replaces the file.
  io.OnProgress = nullptr;
  io.SaveToFilePng(target);
  EXPECT_FALSE(io.Aborting);
  TLxBitmap back;
  TIOParamsVals params;
  ASSERT_FALSE(LoadPng(test::ReadFileBytes(target), back, params));
  EXPECT_EQ(back.Width(), 160);
}

// Conversions in flight take their share of the cores: with as many as there are cores, an
// encode keeps to its own thread.
TEST(PngBands, BusyConversionsLeaveNoSpareLanes) {
  const int cores = CoreCount();
  EXPECT_EQ(SpareLanes(), cores);
  {
    TLxBusyConversion one;
    EXPECT_EQ(BusyConversions(), 1);
    EXPECT_EQ(SpareLanes(), cores);  // the conversion asking is that one
    std::vector<std::unique_ptr<TLxBusyConversion>> more;
    for (int i = 1; i < cores; ++i) more.push_back(std::make_unique<TLxBusyConversion>());
    EXPECT_EQ(SpareLanes(), 1);
    more.push_back(std::make_unique<TLxBusyConversion>());
    EXPECT_EQ(SpareLanes(), 1);
  }
  EXPECT_EQ(BusyConversions(), 0);
}

}  // namespace
}  // namespace lumenax
