// Targa reader and writer: orientation, packets across rows, colour maps, extension area,
// hostile headers, every writer depth, and files of other programs in both directions.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "bitmap/bitmap.h"
#include "bitmap/mask.h"
#include "codecs/common/tests/codec_test_util.h"
#include "codecs/tga/tga.h"
#include "io/lumenax_io.h"
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
  uint8_t Alpha(int x, int y) const { return mask ? uint8_t(mask->GetPixel(x, y)) : 255; }
};

std::unique_ptr<Loaded> Load(const std::vector<uint8_t>& bytes, bool headerOnly = false) {
  auto l = std::make_unique<Loaded>();
  TLxMemStream s(bytes.data(), int64_t(bytes.size()));
  l->outcome = RunCodec([&](ProgressRecord& p) {
    ReadTgaStream(s, l->bitmap, l->params, false, l->mask, headerOnly, p);
  });
  return l;
}

std::vector<uint8_t> Save(TLxBitmap& bm, TIOParamsVals& params, const TLxMask* mask = nullptr,
                          Outcome* outcome = nullptr) {
  TMemoryStream s;
  Outcome o = RunCodec([&](ProgressRecord& p) { WriteTgaStream(s, bm, params, mask, p); });
  if (outcome) *outcome = o;
  return StreamBytes(s);
}

// An 18-byte header followed by body.
std::vector<uint8_t> Tga(uint8_t type, uint8_t depth, uint16_t w, uint16_t h, uint8_t descriptor,
                         const std::vector<uint8_t>& body, uint8_t mapType = 0,
                         uint16_t mapFirst = 0, uint16_t mapLength = 0, uint8_t mapBits = 0) {
  std::vector<uint8_t> b = {0,
                            mapType,
                            type,
                            uint8_t(mapFirst),
                            uint8_t(mapFirst >> 8),
                            uint8_t(mapLength),
                            uint8_t(mapLength >> 8),
                            mapBits,
                            0,
                            0,
                            0,
                            0,
                            uint8_t(w),
                            uint8_t(w >> 8),
                            uint8_t(h),
                            uint8_t(h >> 8),
                            depth,
                            descriptor};
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

// Pixel (x, y) as r, g, b.
std::vector<int> Rgb(Loaded& l, int x, int y) {
  TRGB c = l.bitmap.PixelAsRGB(x, y);
  return {c.r, c.g, c.b};
}

TEST(TgaReader, EveryOrientationGivesTheSameImage) {
  // 2 x 2, 32-bit: top-left red (alpha 10), top-right green, bottom-left blue, bottom-right
  // white (alpha 20). Stored in each of the four orders.
  const std::vector<uint8_t> tl = {0, 0, 255, 10}, tr = {0, 255, 0, 255}, bl = {255, 0, 0, 255},
                             br = {255, 255, 255, 20};
  auto cat = [](std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  const std::pair<uint8_t, std::vector<uint8_t>> orders[] = {
      {0x00, cat({bl, br, tl, tr})},  // bottom-left origin
      {0x10, cat({br, bl, tr, tl})},  // bottom-right
      {0x20, cat({tl, tr, bl, br})},  // top-left
      {0x30, cat({tr, tl, br, bl})},  // top-right
  };
  for (const auto& [descriptor, body] : orders) {
    SCOPED_TRACE(int(descriptor));
    auto l = Load(Tga(2, 32, 2, 2, uint8_t(descriptor | 8), body));
    ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
    EXPECT_EQ(Rgb(*l, 0, 0), (std::vector<int>{255, 0, 0}));
    EXPECT_EQ(Rgb(*l, 1, 0), (std::vector<int>{0, 255, 0}));
    EXPECT_EQ(Rgb(*l, 0, 1), (std::vector<int>{0, 0, 255}));
    EXPECT_EQ(Rgb(*l, 1, 1), (std::vector<int>{255, 255, 255}));
    ASSERT_TRUE(l->mask);
    EXPECT_EQ(l->Alpha(0, 0), 10);
    EXPECT_EQ(l->Alpha(1, 1), 20);
  }
}

TEST(TgaReader, RunPacketsCarryOverIntoTheNextRow) {
  // 3 x 2 top-down 24-bit: a run of 4 then a literal packet of 2.
  std::vector<uint8_t> body = {0x83, 1, 2, 3, 0x01, 4, 5, 6, 7, 8, 9};
  auto l = Load(Tga(10, 24, 3, 2, 0x20, body));
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  EXPECT_EQ(Rgb(*l, 2, 0), (std::vector<int>{3, 2, 1}));
  EXPECT_EQ(Rgb(*l, 0, 1), (std::vector<int>{3, 2, 1}));
  EXPECT_EQ(Rgb(*l, 1, 1), (std::vector<int>{6, 5, 4}));
  EXPECT_EQ(Rgb(*l, 2, 1), (std::vector<int>{9, 8, 7}));
  EXPECT_TRUE(l->params.TgaCompressed);
}

TEST(TgaReader, ColourMapsGiveColoursAndAlpha) {
  // 32-bit map entries: index 0 opaque red, index 1 half-transparent blue.
  std::vector<uint8_t> body = {0, 0, 255, 255, 255, 0, 0, 128, 0, 1};
  auto l = Load(Tga(1, 8, 2, 1, 0x20, body, 1, 0, 2, 32));
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  EXPECT_EQ(Rgb(*l, 0, 0), (std::vector<int>{255, 0, 0}));
  EXPECT_EQ(Rgb(*l, 1, 0), (std::vector<int>{0, 0, 255}));
  EXPECT_EQ(l->Alpha(1, 0), 128);
  EXPECT_EQ(l->params.ColorMapCount, 2);
  EXPECT_FALSE(l->params.TgaGrayLevel);

  // A map from entry 250 with 20 entries of 16 bits: entries past 255 are read over, and the
  // pixels after the map are still found.
  std::vector<uint8_t> map;
  for (int i = 0; i < 20; ++i) map.insert(map.end(), {0xFF, 0x7F});  // white, 5-bit 31s
  map.push_back(252);
  auto m = Load(Tga(1, 8, 1, 1, 0x20, map, 1, 250, 20, 16));
  ASSERT_FALSE(m->outcome.aborting) << m->outcome.reason.Text();
  EXPECT_EQ(Rgb(*m, 0, 0), (std::vector<int>{255, 255, 255}));  // 31 widens to 255
  EXPECT_LE(m->params.ColorMapCount, 256);

  auto bad = Load(Tga(1, 8, 1, 1, 0x20, {0, 0}, 1, 0, 1, 8));
  EXPECT_EQ(bad->outcome.code(), TLxFailure::Unsupported);
}

TEST(TgaReader, GrayAlphaSixteenBitAndFourBitPixels) {
  auto la = Load(Tga(3, 16, 2, 1, 0x20, {100, 0, 200, 255}));
  ASSERT_FALSE(la->outcome.aborting);
  EXPECT_EQ(Rgb(*la, 0, 0), (std::vector<int>{100, 100, 100}));
  EXPECT_EQ(la->Alpha(0, 0), 0);
  EXPECT_EQ(la->Alpha(1, 0), 255);
  // 5-5-5: red 31, green 16, blue 1.
  auto c = Load(Tga(2, 16, 1, 1, 0x20, {0x01, 0x7E}));
  EXPECT_EQ(Rgb(*c, 0, 0), (std::vector<int>{255, 132, 8}));
  // Depth 4, high nibble first, through a 24-bit map.
  std::vector<uint8_t> body = {0, 0, 0, 255, 255, 255, 0x10};
  auto four = Load(Tga(1, 4, 2, 1, 0x20, body, 1, 0, 2, 24));
  ASSERT_FALSE(four->outcome.aborting) << four->outcome.reason.Text();
  EXPECT_EQ(Rgb(*four, 0, 0), (std::vector<int>{255, 255, 255}));
  EXPECT_EQ(Rgb(*four, 1, 0), (std::vector<int>{0, 0, 0}));
  // 32-bit pixels whose alpha bytes are all 0 are opaque.
  auto zero = Load(Tga(2, 32, 1, 1, 0x20, {1, 2, 3, 0}));
  EXPECT_FALSE(zero->mask);
}

TEST(TgaReader, ExtensionAreaOnlyWhenInside) {
  TLxBitmap bm(1, 1, lx24RGB);
  TIOParamsVals p;
  p.TgaAuthor = "A. Author";
  p.TgaJobName = "job";
  p.TgaKeyColor = CreateRGB(1, 2, 3);
  p.TgaAspectRatio = 1.5;
  p.TgaGamma = 2.2;
  p.TgaDate = TgaDateTime(2001, 2, 3, 4, 5, 6);
  p.TgaImageId = "id text";
  std::vector<uint8_t> file = Save(bm, p);
  auto l = Load(file);
  ASSERT_FALSE(l->outcome.aborting);
  EXPECT_EQ(l->params.TgaAuthor, "A. Author");
  EXPECT_EQ(l->params.TgaJobName, "job");
  EXPECT_EQ(l->params.TgaKeyColor, CreateRGB(1, 2, 3));
  EXPECT_DOUBLE_EQ(l->params.TgaAspectRatio, 1.5);
  EXPECT_DOUBLE_EQ(l->params.TgaGamma, 2.2);
  EXPECT_DOUBLE_EQ(l->params.TgaDate, TgaDateTime(2001, 2, 3, 4, 5, 6));
  EXPECT_EQ(l->params.TgaImageId, "id text");
  // The size field says 495.
  const size_t ext = LoadU32LE(file.data() + file.size() - 26);
  EXPECT_EQ(LoadU16LE(file.data() + ext), 495);

  // Offset 0 (as Pillow writes) and an offset past the data mean no area.
  for (uint32_t offset : {0u, uint32_t(file.size())}) {
    std::vector<uint8_t> f = file;
    f[f.size() - 26] = uint8_t(offset), f[f.size() - 25] = uint8_t(offset >> 8);
    auto n = Load(f);
    EXPECT_EQ(n->params.TgaAuthor, "") << offset;
    EXPECT_DOUBLE_EQ(n->params.TgaGamma, 2.2) << offset;
    EXPECT_DOUBLE_EQ(n->params.TgaDate, TgaToday()) << offset;
  }
}

TEST(TgaReader, HostileHeadersAndCutData) {
  std::vector<uint8_t> huge = Tga(2, 24, 65535, 65535, 0, std::vector<uint8_t>(82, 7));
  auto l = Load(huge);
  EXPECT_EQ(l->outcome.code(), TLxFailure::TooLarge);
  EXPECT_TRUE(l->bitmap.IsEmpty());
  EXPECT_EQ(Load(Tga(10, 24, 65535, 65535, 0, {0xFF, 1, 2, 3}))->outcome.code(),
            TLxFailure::TooLarge);
  EXPECT_EQ(Load(Tga(2, 15, 1, 1, 0, {1, 2}))->outcome.code(), TLxFailure::Unsupported);
  EXPECT_EQ(Load(Tga(32, 8, 1, 1, 0, {1}))->outcome.code(), TLxFailure::Unsupported);
  EXPECT_EQ(Load(Tga(2, 24, 0, 1, 0, {}))->outcome.code(), TLxFailure::BadHeader);
  EXPECT_EQ(Load({0, 0, 2})->outcome.code(), TLxFailure::Truncated);

  // Bottom-up rows: the data reach the bottom row and half the next; the top row is zero.
  auto cut = Load(Tga(2, 24, 2, 3, 0, {9, 9, 9, 9, 9, 9, 5, 5, 5}));
  EXPECT_EQ(cut->outcome.code(), TLxFailure::Truncated);
  EXPECT_EQ(Rgb(*cut, 1, 2), (std::vector<int>{9, 9, 9}));
  EXPECT_EQ(Rgb(*cut, 0, 1), (std::vector<int>{5, 5, 5}));
  EXPECT_EQ(Rgb(*cut, 1, 1), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(Rgb(*cut, 0, 0), (std::vector<int>{0, 0, 0}));
}

// ------------------------------------------------------------------ writer

TLxBitmap& Picture(TLxBitmap& bm) {
  bm.Allocate(37, 11, lx24RGB);
  for (int y = 0; y < 11; ++y)
    for (int x = 0; x < 37; ++x)
      bm.SetPixelsRGB24(
          x, y, x < 20 ? CreateRGB(uint8_t(x * 6), 40, uint8_t(y * 20)) : CreateRGB(200, 100, 0));
  return bm;
}

TEST(TgaWriter, EveryDepthReadsBack) {
  TLxBitmap bm;
  Picture(bm);
  struct Case {
    int bps, spp;
    bool rle, gray;
    int depth, type;
  } cases[] = {
      {8, 3, false, false, 24, 2}, {8, 3, true, false, 24, 10}, {8, 1, false, false, 8, 1},
      {8, 1, true, false, 8, 9},   {8, 1, true, true, 8, 11},   {4, 1, false, false, 8, 1},
      {1, 1, true, false, 1, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bps) + "/" + std::to_string(c.rle) + "/" +
                 std::to_string(c.gray));
    TIOParamsVals p;
    p.BitsPerSample = c.bps, p.SamplesPerPixel = c.spp, p.TgaCompressed = c.rle,
    p.TgaGrayLevel = c.gray;
    std::vector<uint8_t> file = Save(bm, p);
    ASSERT_GT(file.size(), 18u);
    EXPECT_EQ(file[16], c.depth);
    EXPECT_EQ(file[2], c.type);
    auto l = Load(file);
    ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
    if (c.depth == 24 || (c.depth == 8 && !c.gray && c.bps == 8)) {
      // Fewer than 256 colours: the map holds them exactly.
      EXPECT_EQ(CountDifferentPixels(BitmapToRgba(l->bitmap), BitmapToRgba(bm)), 0u);
    }
    if (c.bps == 4) {
      EXPECT_EQ(file[5], 16);  // a 16-entry map
    }
    EXPECT_EQ(l->bitmap.Width(), 37);
  }
}

TEST(TgaWriter, PlainRowsOverSeveralBlocksAreStoredInOrder) {
  // 24 bits and 32 bits with alpha over more than a megabyte, the last block part full: the
  // pixel bytes are the bitmap's rows from the top, then the extension area follows.
  const int w = 700, h = 600;
  TLxBitmap bm(w, h, lx24RGB);
  TLxMask mask;
  mask.Allocate(w, h, 8);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      bm.SetPixelsRGB24(x, y, CreateRGB(uint8_t(x), uint8_t(y), uint8_t(x * 7 + y)));
      mask.SetPixel(x, y, uint8_t(x + y * 3));
    }
  const TLxMask* masks[] = {nullptr, &mask};
  for (const TLxMask* m : masks) {
    SCOPED_TRACE(m ? "32" : "24");
    TIOParamsVals p;
    p.TgaCompressed = false;
    std::vector<uint8_t> file = Save(bm, p, m);
    const size_t ps = m ? 4 : 3, start = 18 + file[0];
    ASSERT_GT(file.size(), start + size_t(w) * h * ps);
    EXPECT_EQ(file[16], 8 * ps);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const uint8_t* q = file.data() + start + (size_t(y) * w + x) * ps;
        const uint8_t* p = bm.ScanLine(y) + 3 * x;
        ASSERT_TRUE(q[0] == p[0] && q[1] == p[1] && q[2] == p[2]) << x << "," << y;
        if (m) {
          ASSERT_EQ(q[3], uint8_t(x + y * 3)) << x << "," << y;
        }
      }
    EXPECT_EQ(file[start + size_t(w) * h * ps], 495 & 0xFF);  // the extension area's size
  }
}

TEST(TgaWriter, PartlyTransparentIsPlain32Bit) {
  TLxBitmap bm;
  Picture(bm);
  TLxMask mask;
  mask.Allocate(37, 11, 8);
  mask.Fill(255);
  mask.SetPixel(3, 4, 77);
  mask.AllOpaque = false;
  TIOParamsVals p;
  p.BitsPerSample = 8, p.SamplesPerPixel = 1, p.TgaCompressed = true;
  std::vector<uint8_t> file = Save(bm, p, &mask);
  EXPECT_EQ(file[16], 32);
  EXPECT_EQ(file[2], 2);
  EXPECT_FALSE(p.TgaCompressed);
  auto l = Load(file);
  ASSERT_TRUE(l->mask);
  EXPECT_EQ(l->Alpha(3, 4), 77);
  EXPECT_EQ(CountDifferentPixels(BitmapToRgba(l->bitmap), BitmapToRgba(bm)), 0u);
}

TEST(TgaWriter, LimitsOfTheFields) {
  TLxBitmap bm(2, 2, lx24RGB);
  TIOParamsVals p;
  p.TgaImageId = std::string(300, 'x');
  std::vector<uint8_t> file = Save(bm, p);
  EXPECT_EQ(file[0], 255);
  EXPECT_EQ(Load(file)->params.TgaImageId, std::string(254, 'x'));
  p.TgaAspectRatio = 1000.25;  // 10,002,500 / 10,000 does not fit 16 bits
  file = Save(bm, p);
  EXPECT_NEAR(Load(file)->params.TgaAspectRatio, 1000.2, 1e-9);

  TLxBitmap wide(70000, 1, lx24RGB);
  Outcome o;
  Save(wide, p, nullptr, &o);
  EXPECT_EQ(o.code(), TLxFailure::TooLarge);
  ShortStream s(40);
  o = RunCodec([&](ProgressRecord& pr) { WriteTgaStream(s, bm, p, nullptr, pr); });
  EXPECT_EQ(o.code(), TLxFailure::WriteFailed);
}

// ------------------------------------------------------------------ peers

// What we write loads in Pillow (and netpbm for what it reads) with our pixels.
TEST(TgaPeers, OurFilesInPillowAndNetpbm) {
  if (!HavePillow()) GTEST_SKIP() << "Pillow not installed";
  TempDir dir;
  TLxBitmap bm;
  Picture(bm);
  TLxMask mask;
  mask.Allocate(37, 11, 8);
  mask.Fill(200);
  for (int bps : {8, 4, 1, 16}) {
    for (bool rle : {false, true}) {
      for (bool alpha : {false, true}) {
        SCOPED_TRACE(std::to_string(bps) + (rle ? " rle" : "") + (alpha ? " alpha" : ""));
        TIOParamsVals p;
        p.BitsPerSample = bps, p.SamplesPerPixel = bps == 16 ? 3 : 1, p.TgaCompressed = rle;
        const fs::path file = dir / "ours.tga";
        WriteFileBytes(file, Save(bm, p, alpha ? &mask : nullptr));
        auto l = Load(ReadFileBytes(file));
        ASSERT_FALSE(l->outcome.aborting);
        RgbaImage ours = BitmapToRgba(l->bitmap);
        if (l->mask)
          l->bitmap.AlphaChannel()->CopyFromMask(l->mask.get()), ours = BitmapToRgba(l->bitmap);
        RgbaImage theirs;
        ASSERT_TRUE(PillowRgba(file, theirs, dir));
        EXPECT_EQ(CountDifferentPixels(ours, theirs), 0u);
        if (!alpha && NetpbmRgba("tgatoppm", file, theirs, dir)) {
          ours = BitmapToRgba(l->bitmap);
          EXPECT_EQ(CountDifferentPixels(ours, theirs), 0u) << "tgatoppm";
        }
      }
    }
  }
}

// Pillow's and netpbm's files load with the pixels they decode.
TEST(TgaPeers, TheirFilesLoad) {
  TempDir dir;
  int ran = 0;
  if (HavePillow()) {
    for (const char* mode : {"L", "LA", "P", "RGB", "RGBA"}) {
      for (const char* rle : {"False", "True"}) {
        SCOPED_TRACE(std::string(mode) + rle);
        const fs::path file = dir / "pil.tga";
        ASSERT_EQ(RunCommand(std::string("/usr/bin/python3 -c \"from PIL import Image; "
                                         "im = Image.radial_gradient('L').resize((23, 9)); "
                                         "im = Image.merge('RGBA', (im, im.rotate(90), "
                                         "im.transpose(0), im.rotate(45))); im.convert('") +
                             mode + "').save('" + file.string() + "', rle=" + rle + ")\""),
                  0);
        RgbaImage theirs;
        ASSERT_TRUE(PillowRgba(file, theirs, dir));
        auto l = Load(ReadFileBytes(file));
        ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
        if (l->mask) l->bitmap.AlphaChannel()->CopyFromMask(l->mask.get());
        EXPECT_EQ(CountDifferentPixels(BitmapToRgba(l->bitmap), theirs), 0u);
        ++ran;
      }
    }
  }
  if (HaveProgram("/usr/bin/pamtotga")) {
    const std::string src = (dir / "src.ppm").string();
    ASSERT_EQ(RunCommand("/usr/bin/pgmramp -diagonal 29 13 | /usr/bin/pgmtoppm red-blue > " +
                         ShellQuote(src)),
              0);
    for (const char* opts : {"", "-norle", "-cmap", "-cmap -norle", "-mono"}) {
      SCOPED_TRACE(opts);
      const fs::path file = dir / "nb.tga";
      std::string in = src;
      if (std::string(opts) == "-mono")
        in = "<(/usr/bin/ppmtopgm " + src + " | /usr/bin/pamthreshold 2>/dev/null)";
      ASSERT_EQ(RunCommand("bash -c '/usr/bin/pamtotga " + std::string(opts) + " " + in + " > " +
                           file.string() + " 2>/dev/null'"),
                0);
      RgbaImage theirs;
      ASSERT_TRUE(NetpbmRgba("tgatoppm", file, theirs, dir));
      auto l = Load(ReadFileBytes(file));
      ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
      EXPECT_EQ(CountDifferentPixels(BitmapToRgba(l->bitmap), theirs), 0u);
      ++ran;
    }
  }
  if (HaveProgram("/usr/bin/convert") && HavePillow()) {
    // ImageMagick's files. Its writer stores the rows top first while the header says bottom
    // first (its own reader turns them back): Pillow and netpbm read them upside down, as we
    // do, and we follow the header with them.
    const fs::path png = dir / "im.png";
    ASSERT_EQ(RunCommand("/usr/bin/convert -size 23x9 gradient:yellow-navy " + png.string()), 0);
    RgbaImage source;
    ASSERT_TRUE(ReadPngRgba(png, source));
    RgbaImage flipped = source;
    for (int y = 0; y < source.height; ++y)
      std::copy(source.at(0, y), source.at(0, y) + 4 * source.width,
                flipped.rgba.begin() + 4 * size_t(source.height - 1 - y) * size_t(source.width));
    for (const char* opts : {"", "-compress RLE", "-type Palette", "-type Palette -compress RLE",
                             "-colorspace Gray", "-colorspace Gray -compress RLE"}) {
      SCOPED_TRACE(opts);
      const fs::path file = dir / "im.tga";
      ASSERT_EQ(RunCommand("/usr/bin/convert " + png.string() + " " + opts + " " + file.string()),
                0);
      RgbaImage theirs;
      ASSERT_TRUE(PillowRgba(file, theirs, dir));
      auto l = Load(ReadFileBytes(file));
      ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
      const RgbaImage ours = BitmapToRgba(l->bitmap);
      EXPECT_EQ(CountDifferentPixels(ours, theirs), 0u);
      if (std::string(opts).find("Gray") == std::string::npos) {
        EXPECT_EQ(CountDifferentPixels(ours, flipped), 0u);
      }
      ++ran;
    }
  }
  if (ran == 0) GTEST_SKIP() << "no peer installed";
}

fs::path PixbufImages() {
  return TestDataDir() / "gdk-pixbuf-tests/usr/libexec/installed-tests/gdk-pixbuf/test-images";
}

// Every orientation, depth and compression against the reference PNGs shipped with them.
TEST(TgaPeers, PackagedReferenceFiles) {
  const fs::path dir = PixbufImages() / "reftests/tga";
  if (TestDataDir().empty() || !fs::exists(dir)) GTEST_SKIP() << "no test data";
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const fs::path file = entry.path();
    if (file.extension() != ".tga") continue;
    SCOPED_TRACE(file.filename().string());
    RgbaImage ref;
    ASSERT_TRUE(ReadPngRgba(fs::path(file.string() + ".ref.png"), ref));
    auto l = Load(ReadFileBytes(file));
    ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
    if (l->mask) l->bitmap.AlphaChannel()->CopyFromMask(l->mask.get());
    RgbaImage ours = BitmapToRgba(l->bitmap);
    // The references widen 5-bit components by shifting (31 gives 248), we replicate bits.
    const std::string name = file.filename().string();
    const bool fiveBit =
        name.find("-16bpp") != std::string::npos && name.find("gray") == std::string::npos;
    EXPECT_LE(MaxDifference(ours, ref), fiveBit ? 7 : 0);
    ++checked;
  }
  EXPECT_GT(checked, 20);
  // Broken and randomly modified files are refused or loaded, never crash.
  for (const char* sub : {"fail", "randomly-modified"}) {
    for (const auto& entry : fs::directory_iterator(PixbufImages() / sub)) {
      const std::string ext = entry.path().extension().string();
      if (ext != ".tga") continue;
      auto l = Load(ReadFileBytes(entry.path()));
      if (l->outcome.aborting) {
        EXPECT_TRUE(l->outcome.reason) << entry.path();
      }
    }
  }
  auto snake = Load(
      ReadFileBytes(TestDataDir() /
                    "libsixel-examples/usr/share/doc/libsixel-examples/examples/images/snake.tga"));
  EXPECT_FALSE(snake->outcome.aborting) << snake->outcome.reason.Text();
}

TEST(TgaComponent, AlphaRoundTripThroughTheComponent) {
  TempDir dir;
  TLumenaxIO io;
  Picture(*io.Bitmap());
  io.Bitmap()->AlphaChannel()->Fill(0);
  io.Bitmap()->AlphaChannel()->SetPixels8(1, 1, 99);
  io.Bitmap()->AlphaChannel()->AllOpaque = false;
  io.SaveToFile(dir / "a.win");
  ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
  TLumenaxIO back;
  back.LoadFromFile(dir / "a.win");
  ASSERT_FALSE(back.Aborting) << back.FailureReason.Text();
  EXPECT_EQ(back.Params.FileType, ftTga);
  ASSERT_TRUE(back.Bitmap()->HasAlphaChannel());
  EXPECT_EQ(back.Bitmap()->GetAlphaValue(1, 1), 99);
  EXPECT_EQ(back.Bitmap()->GetAlphaValue(2, 1), 0);
}

}  // namespace
}  // namespace lumenax
