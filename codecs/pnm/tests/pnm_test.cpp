// Portable anymap reader and writer: headers, scaling, truncation, every writer rule, and
// files of other programs in both directions.
#include <gtest/gtest.h>

#include <string>

#include "bitmap/bitmap.h"
#include "bitmap/conversion.h"
#include "codecs/common/tests/codec_test_util.h"
#include "codecs/pnm/pnm.h"
#include "io/lumenax_io.h"
#include "io/params.h"

namespace lumenax {
namespace {

using namespace test;

struct Loaded {
  TLxBitmap bitmap;
  TIOParamsVals params;
  Outcome outcome;
};

std::unique_ptr<Loaded> Load(const std::vector<uint8_t>& bytes, bool native = false,
                             bool infoOnly = false) {
  auto l = std::make_unique<Loaded>();
  l->params.IsNativePixelFormat = native;
  TLxMemStream s(bytes.data(), int64_t(bytes.size()));
  l->outcome =
      RunCodec([&](ProgressRecord& p) { ReadPxmStream(s, l->bitmap, l->params, infoOnly, p); });
  return l;
}
std::unique_ptr<Loaded> Load(const std::string& text, bool native = false) {
  return Load(Text(text), native);
}

std::vector<uint8_t> Save(TLxBitmap& bitmap, TIOParamsVals& params, Outcome* outcome = nullptr) {
  TMemoryStream s;
  Outcome o = RunCodec([&](ProgressRecord& p) { WritePxmStream(s, bitmap, params, p); });
  if (outcome) *outcome = o;
  return StreamBytes(s);
}

std::string Head(const std::vector<uint8_t>& b, size_t n) {
  return std::string(b.begin(), b.begin() + long(std::min(n, b.size())));
}

TEST(PnmReader, AsciiMapsScaleToTheMaximumAndClamp) {
  auto l = Load("P2\n3 1\n15\n15 7 99\n");
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  EXPECT_EQ(l->bitmap.PixelFormat(), lx24RGB);
  EXPECT_EQ(l->bitmap.PixelAsRGB(0, 0), CreateRGB(255, 255, 255));
  EXPECT_EQ(l->bitmap.PixelAsRGB(1, 0), CreateRGB(119, 119, 119));
  EXPECT_EQ(l->bitmap.PixelAsRGB(2, 0), CreateRGB(255, 255, 255));  // above the maximum
  EXPECT_EQ(l->params.BitsPerSample, 8);
  EXPECT_EQ(l->params.SamplesPerPixel, 1);

  // Red, green and blue land in their own channels; comments inside the raster are skipped.
  auto c = Load("P3 2 1 255 # first\n 10 20 30 # 1 2 3\n 40 50 60\n");
  ASSERT_FALSE(c->outcome.aborting);
  EXPECT_EQ(c->bitmap.PixelAsRGB(0, 0), CreateRGB(10, 20, 30));
  EXPECT_EQ(c->bitmap.PixelAsRGB(1, 0), CreateRGB(40, 50, 60));
}

TEST(PnmReader, PlainBitmapDigitsNeedNoSeparators) {
  auto a = Load("P1\n5 2\n01101\n10010\n");
  auto b = Load("P1 5 2 0 1 1 0 1 1 0 0 1 0");
  ASSERT_FALSE(a->outcome.aborting);
  ASSERT_FALSE(b->outcome.aborting);
  EXPECT_EQ(a->bitmap.PixelFormat(), lx1g);
  // 0 is white (bit set), 1 black.
  EXPECT_EQ(a->bitmap.ScanLine(0)[0] & 0xF8, 0b10010000);
  EXPECT_EQ(a->bitmap.ScanLine(1)[0] & 0xF8, 0b01101000);
  EXPECT_EQ(b->bitmap.ScanLine(0)[0] & 0xF8, a->bitmap.ScanLine(0)[0] & 0xF8);
  EXPECT_EQ(b->bitmap.ScanLine(1)[0] & 0xF8, a->bitmap.ScanLine(1)[0] & 0xF8);
}

TEST(PnmReader, CommentsAreCollectedAlsoRightAfterAToken) {
  auto l = Load("P5\n#  made by hand  \n2 1#size\n255\n\x10\x20");
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  EXPECT_EQ(l->params.PxmComments, (std::vector<std::string>{"made by hand", "size"}));
  EXPECT_EQ(l->bitmap.PixelAsRGB(1, 0), CreateRGB(0x20, 0x20, 0x20));
  // A "#" that ends the maximum opens a comment; the raster follows its line.
  auto m = Load("P5 1 1 255#c\n\x42");
  ASSERT_FALSE(m->outcome.aborting);
  EXPECT_EQ(m->bitmap.PixelAsRGB(0, 0).r, 0x42);
}

TEST(PnmReader, BinarySamplesScaleUnlessFullRange) {
  auto p5 = Load(std::string("P5 2 1 100\n") + char(50) + char(100));
  EXPECT_EQ(p5->bitmap.PixelAsRGB(0, 0).g, 127);
  EXPECT_EQ(p5->bitmap.PixelAsRGB(1, 0).g, 255);
  // P6 of maximum 100 is scaled like P5 (its bytes are not colours of 0..255).
  auto p6 = Load(std::string("P6 1 1 100\n") + char(100) + char(50) + char(0));
  EXPECT_EQ(p6->bitmap.PixelAsRGB(0, 0), CreateRGB(255, 127, 0));
  auto full = Load(std::string("P6 1 1 255\n") + char(1) + char(2) + char(3));
  EXPECT_EQ(full->bitmap.PixelAsRGB(0, 0), CreateRGB(1, 2, 3));
  // Two bytes per sample above 255, most significant first: no shear.
  auto p5w = Load(std::string("P5 2 1 1023\n") + std::string("\x03\xFF\x02\x00", 4));
  EXPECT_EQ(p5w->bitmap.PixelAsRGB(0, 0).r, 255);
  EXPECT_EQ(p5w->bitmap.PixelAsRGB(1, 0).r, 127);
}

TEST(PnmReader, SixteenBitPixmapsHighBytesOrScaledWords) {
  const std::string file = std::string("P6 1 1 65535\n") + "\x12\x34\xAB\xCD\xFF\xFF";
  auto l = Load(file);
  EXPECT_EQ(l->bitmap.PixelFormat(), lx24RGB);
  EXPECT_EQ(l->bitmap.PixelAsRGB(0, 0), CreateRGB(0x12, 0xAB, 0xFF));
  EXPECT_EQ(l->params.BitsPerSample, 16);
  auto n = Load(file, /*native=*/true);
  ASSERT_EQ(n->bitmap.PixelFormat(), lxRGB48);
  uint16_t r, g, b;
  n->bitmap.PixelsRGB48(0, 0, r, g, b);
  EXPECT_EQ(r, 0x1234);
  EXPECT_EQ(g, 0xABCD);
  // A 10-bit file fills the whole 16-bit range.
  auto ten = Load(std::string("P6 1 1 1023\n") + std::string("\x03\xFF\x00\x00\x02\x00", 6), true);
  ten->bitmap.PixelsRGB48(0, 0, r, g, b);
  EXPECT_EQ(r, 65535);
  EXPECT_EQ(b, 512 * 65535 / 1023);
}

TEST(PnmReader, BadHeadersAreRefusedWithTheirReason) {
  struct Case {
    const char* text;
    TLxFailure code;
  } cases[] = {
      {"P5 2 2 0\n", TLxFailure::BadHeader},      {"P5 2 2 65536\n", TLxFailure::BadHeader},
      {"P5 2 2", TLxFailure::BadHeader},          {"P6 0 2 255\n", TLxFailure::BadHeader},
      {"P6 x 2 255\n", TLxFailure::BadHeader},    {"P6 4294967297 1 255\n", TLxFailure::BadHeader},
      {"P7 1 1 255\n", TLxFailure::BadSignature}, {"", TLxFailure::BadSignature},
      {"P2 1 1 9 1x\n", TLxFailure::BadData},
  };
  for (const Case& c : cases) {
    auto l = Load(c.text);
    EXPECT_TRUE(l->outcome.aborting) << c.text;
    EXPECT_EQ(l->outcome.code(), c.code) << c.text;
  }
}

TEST(PnmReader, HugeImagesOfFewBytesAreRefusedBeforeAllocating) {
  auto l = Load("P6 60000 60000 255\n\x01\x02\x03");
  EXPECT_EQ(l->outcome.code(), TLxFailure::TooLarge);
  EXPECT_TRUE(l->bitmap.IsEmpty());
  auto p1 = Load("P1 100000 100000 0");
  EXPECT_EQ(p1->outcome.code(), TLxFailure::TooLarge);
}

TEST(PnmReader, TruncatedDataKeepWhatIsThereAndZeroTheRest) {
  std::string file = "P6 2 3 255\n";
  file += std::string(6, char(200)) + std::string(3, char(100));  // one row and a half
  auto l = Load(file);
  EXPECT_TRUE(l->outcome.aborting);
  EXPECT_EQ(l->outcome.code(), TLxFailure::Truncated);
  EXPECT_EQ(l->bitmap.PixelAsRGB(1, 0), CreateRGB(200, 200, 200));
  EXPECT_EQ(l->bitmap.PixelAsRGB(0, 1), CreateRGB(100, 100, 100));
  EXPECT_EQ(l->bitmap.PixelAsRGB(1, 1), CreateRGB(0, 0, 0));
  EXPECT_EQ(l->bitmap.PixelAsRGB(1, 2), CreateRGB(0, 0, 0));
  auto a = Load("P2 2 2 255 1 2 3");
  EXPECT_EQ(a->outcome.code(), TLxFailure::Truncated);
}

TEST(PnmReader, FullRangeRowsBeyondTheFirstReadBlock) {
  // A P6 of 90,000 bytes (more than the reader takes in with the header) and a P5 of an odd
  // width, whole and cut inside a row after that block.
  const int w = 300, h = 100;
  const std::string head = "P6\n# made for the test\n300 100\n255\n";
  std::vector<uint8_t> file(head.begin(), head.end()), gray;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      file.insert(file.end(), {uint8_t(x), uint8_t(y), uint8_t(x ^ y ^ 0x55)});
      gray.push_back(uint8_t(x * 3 + y));
    }
  for (size_t cut : {file.size(), head.size() + 70002}) {
    SCOPED_TRACE(cut);
    auto l = Load(std::vector<uint8_t>(file.begin(), file.begin() + long(cut)));
    const size_t pixels = (cut - head.size()) / 3;  // whole pixels in the data
    EXPECT_EQ(l->outcome.code(), cut == file.size() ? TLxFailure::None : TLxFailure::Truncated);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const bool there = size_t(y * w + x) < pixels;
        ASSERT_EQ(l->bitmap.PixelAsRGB(x, y),
                  there ? CreateRGB(uint8_t(x), uint8_t(y), uint8_t(x ^ y ^ 0x55)) : TRGB{})
            << x << "," << y;
      }
  }
  const std::string grayHead = "P5 37 100 255\n";
  std::vector<uint8_t> p5(grayHead.begin(), grayHead.end());
  p5.insert(p5.end(), gray.begin(), gray.begin() + 3700);
  auto g = Load(p5);
  ASSERT_FALSE(g->outcome.aborting) << g->outcome.reason.Text();
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 37; ++x) {
      const uint8_t v = gray[size_t(y) * 37 + size_t(x)];
      ASSERT_EQ(g->bitmap.PixelAsRGB(x, y), CreateRGB(v, v, v)) << x << "," << y;
    }
}

TEST(PnmReader, InfoOnlyFillsTheRecordAndLeavesPixels) {
  auto l = Load(Text("P6 # c\n7 5 255\n"), false, /*infoOnly=*/true);
  EXPECT_FALSE(l->outcome.aborting);
  EXPECT_EQ(l->params.Width, 7);
  EXPECT_EQ(l->params.Height, 5);
  EXPECT_EQ(l->params.DpiX, DefaultDPI);
  EXPECT_EQ(l->params.PxmComments.size(), 1u);
  EXPECT_TRUE(l->bitmap.IsEmpty());
}

// ------------------------------------------------------------------ writer

TEST(PnmWriter, RowsOverSeveralBlocksAreStoredInOrder) {
  // P6 and P5 images of more than a megabyte, the last block part full.
  const int w = 700, h = 600;
  TLxBitmap rgb(w, h, lx24RGB), gray(w, h, lx8g);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      rgb.SetPixelsRGB24(x, y, CreateRGB(uint8_t(x), uint8_t(y), uint8_t(x * 7 + y)));
      gray.ScanLine(y)[x] = uint8_t(x * 3 + y);
    }
  for (int spp : {3, 1}) {
    SCOPED_TRACE(spp);
    TIOParamsVals p;
    p.BitsPerSample = 8, p.SamplesPerPixel = spp;
    Outcome o;
    std::vector<uint8_t> file = Save(spp == 3 ? rgb : gray, p, &o);
    ASSERT_FALSE(o.aborting) << o.reason.Text();
    const size_t body = size_t(w) * h * spp;
    ASSERT_GT(file.size(), body);
    EXPECT_EQ(Head(file, 2), spp == 3 ? "P6" : "P5");
    const uint8_t* q = file.data() + file.size() - body;
    EXPECT_EQ(q[-1], '\n');
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x, q += spp) {
        if (spp == 3) {
          const TRGB c = rgb.PixelAsRGB(x, y);
          ASSERT_TRUE(q[0] == c.r && q[1] == c.g && q[2] == c.b) << x << "," << y;
        } else {
          ASSERT_EQ(q[0], uint8_t(x * 3 + y)) << x << "," << y;
        }
      }
  }
}

TEST(PnmWriter, HeaderAndCommentLines) {
  TLxBitmap bm(2, 1, lx24RGB);
  bm.SetPixelsRGB24(0, 0, CreateRGB(1, 2, 3));
  TIOParamsVals params;
  params.BitsPerSample = 8, params.SamplesPerPixel = 3;
  std::vector<uint8_t> out = Save(bm, params);
  ASSERT_EQ(out.size(), 11u + 6);
  EXPECT_EQ(Head(out, 11), "P6 2 1 255\n");
  EXPECT_EQ(out[11], 1);
  EXPECT_EQ(out[13], 3);
  params.PxmComments = {"one\ntwo", "three"};
  out = Save(bm, params);
  const std::string head = "P6 \n# one\n# two\n\n# three\n2 1 255\n";
  EXPECT_EQ(Head(out, head.size()), head);
  auto back = Load(out);
  EXPECT_EQ(back->params.PxmComments, (std::vector<std::string>{"one", "two", "three"}));
}

TEST(PnmWriter, BilevelIsP4WithBlackOne) {
  TLxBitmap bm(10, 1, lx1g);
  bm.ScanLine(0)[0] = 0b10100000;  // white, black, white, then black
  bm.ScanLine(0)[1] = 0xFF;        // white, and padding bits that must not leak
  TIOParamsVals params;
  std::vector<uint8_t> out = Save(bm, params);
  ASSERT_EQ(Head(out, 9), "P4 10 1\n\x5F");
  EXPECT_EQ(out.size(), 10u);
  EXPECT_EQ(out[9], 0x00);
  // A colour image asked for as 1 bit goes through a bilevel copy; the caller's stays.
  TLxBitmap rgb(3, 1, lx24RGB);
  rgb.SetPixelsRGB24(1, 0, CreateRGB(255, 255, 255));
  params.BitsPerSample = 1, params.SamplesPerPixel = 1;
  out = Save(rgb, params);
  EXPECT_EQ(Head(out, 7), "P4 3 1\n");
  EXPECT_EQ(out.at(7) & 0xE0, 0b10100000);
  EXPECT_EQ(rgb.PixelFormat(), lx24RGB);
}

TEST(PnmWriter, GrayOnlyForGrayImages) {
  TLxBitmap gray(2, 1, lx24RGB);
  gray.SetPixelsRGB24(0, 0, CreateRGB(9, 9, 9));
  TIOParamsVals params;
  params.BitsPerSample = 8, params.SamplesPerPixel = 1;
  std::vector<uint8_t> out = Save(gray, params);
  EXPECT_EQ(Head(out, 11), "P5 2 1 255\n");
  EXPECT_EQ(out.size(), 13u);
  EXPECT_EQ(out[11], 9);
  // A palette image of colours stays colour.
  TLxBitmap pal(2, 1, lx8p);
  pal.SetPaletteEntry(1, CreateRGB(200, 0, 0));
  pal.ScanLine(0)[0] = 1;
  out = Save(pal, params);
  ASSERT_EQ(Head(out, 11), "P6 2 1 255\n");
  EXPECT_EQ(out[11], 200);
  EXPECT_EQ(out[12], 0);
}

TEST(PnmWriter, SixteenBitRules) {
  TLxBitmap bm(1, 1, lx24RGB);
  bm.SetPixelsRGB24(0, 0, CreateRGB(0x12, 0x34, 0x56));
  TIOParamsVals params;
  params.BitsPerSample = 16, params.SamplesPerPixel = 3;
  std::vector<uint8_t> out = Save(bm, params);
  ASSERT_EQ(Head(out, 13), "P6 1 1 65535\n");
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 13, out.end()),
            (std::vector<uint8_t>{0x12, 0x12, 0x34, 0x34, 0x56, 0x56}));
  TLxBitmap w(1, 1, lxRGB48);
  w.SetPixelsRGB48(0, 0, 0x0102, 0x0304, 0x0506);
  params.BitsPerSample = 8;
  out = Save(w, params);
  ASSERT_EQ(Head(out, 13), "P6 1 1 65535\n");
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 13, out.end()),
            (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST(PnmWriter, OtherLayoutsGoThroughAColourCopy) {
  TLxBitmap f(2, 2, lx32f);
  f.SetPixels32f(1, 1, 1.0f);
  TIOParamsVals params;
  params.BitsPerSample = 32, params.SamplesPerPixel = 1;
  Outcome o;
  std::vector<uint8_t> out = Save(f, params, &o);
  EXPECT_FALSE(o.aborting) << o.reason.Text();
  ASSERT_EQ(Head(out, 11), "P6 2 2 255\n");
  EXPECT_EQ(out.size(), 11u + 12);
  EXPECT_EQ(f.PixelFormat(), lx32f);
}

TEST(PnmWriter, ShortWritesFail) {
  TLxBitmap bm(64, 64, lx24RGB);
  TIOParamsVals params;
  ShortStream s(100);
  Outcome o = RunCodec([&](ProgressRecord& p) { WritePxmStream(s, bm, params, p); });
  EXPECT_TRUE(o.aborting);
  EXPECT_EQ(o.code(), TLxFailure::WriteFailed);
}

// ------------------------------------------------------------------ peers

// Every layout netpbm writes loads with the pixels netpbm decodes; every file we write loads
// the same in netpbm.
TEST(PnmPeers, NetpbmBothWays) {
  if (!HaveProgram("/usr/bin/pamtopam") || !HaveProgram("/usr/bin/pgmramp"))
    GTEST_SKIP() << "netpbm not installed";
  TempDir dir;
  const std::string src = (dir / "src.ppm").string();
  ASSERT_EQ(RunCommand("/usr/bin/pgmramp -diagonal 37 23 | /usr/bin/pgmtoppm red-blue > " +
                       ShellQuote(src)),
            0);
  struct Case {
    const char* name;
    const char* pipe;
  } cases[] = {
      {"p6.ppm", "cat"},
      {"p3.ppm", "/usr/bin/pnmtoplainpnm"},
      {"p5.pgm", "/usr/bin/ppmtopgm"},
      {"p2.pgm", "/usr/bin/ppmtopgm | /usr/bin/pnmtoplainpnm"},
      {"p4.pbm", "/usr/bin/ppmtopgm | /usr/bin/pamthreshold | /usr/bin/pamtopnm"},
      {"p1.pbm",
       "/usr/bin/ppmtopgm | /usr/bin/pamthreshold | /usr/bin/pamtopnm | "
       "/usr/bin/pnmtoplainpnm"},
      {"d100.ppm", "/usr/bin/pamdepth 100"},
      {"d1000.ppm", "/usr/bin/pamdepth 1000"},
      {"d63.pgm", "/usr/bin/ppmtopgm | /usr/bin/pamdepth 63"},
      {"d65535.ppm", "/usr/bin/pamdepth 65535"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path file = dir / c.name;
    ASSERT_EQ(RunCommand("cat " + ShellQuote(src) + " | " + c.pipe + " > " +
                         ShellQuote(file.string()) + " 2>/dev/null"),
              0);
    RgbaImage theirs;
    ASSERT_TRUE(NetpbmRgba("pnmtopnm", file, theirs, dir));
    auto l = Load(ReadFileBytes(file));
    ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
    RgbaImage ours = BitmapToRgba(l->bitmap);
    // netpbm rounds when it changes the depth, we truncate: one level apart at most.
    EXPECT_LE(MaxDifference(ours, theirs), 1);

    // Written back (with the layout the file had) and read by netpbm.
    TMemoryStream out;
    Outcome o = RunCodec([&](ProgressRecord& p) { WritePxmStream(out, l->bitmap, l->params, p); });
    ASSERT_FALSE(o.aborting);
    const std::filesystem::path back = dir / (std::string("back-") + c.name);
    WriteFileBytes(back, StreamBytes(out));
    RgbaImage again;
    ASSERT_TRUE(NetpbmRgba("pnmtopnm", back, again, dir));
    EXPECT_EQ(CountDifferentPixels(again, ours), 0u);
  }
}

TEST(PnmPeers, PillowAndImageMagickFilesLoad) {
  TempDir dir;
  int ran = 0;
  if (HavePillow()) {
    for (const char* mode : {"1", "L", "RGB", "I"}) {
      SCOPED_TRACE(mode);
      const std::filesystem::path file = dir / "pil.pnm";
      ASSERT_EQ(RunCommand(std::string("/usr/bin/python3 -c \"from PIL import Image; "
                                       "im = Image.radial_gradient('L').resize((29, 17)); "
                                       "im.convert('") +
                           mode + "').save('" + file.string() + "', 'PPM')\""),
                0);
      RgbaImage theirs;
      ASSERT_TRUE(PillowRgba(file, theirs, dir));
      auto l = Load(ReadFileBytes(file));
      ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
      RgbaImage ours = BitmapToRgba(l->bitmap);
      if (std::string(mode) == "I") {
        // Pillow clips 16-bit samples to 8 bits instead of scaling: compare in netpbm.
        ASSERT_TRUE(NetpbmRgba("pnmtopnm", file, theirs, dir));
      }
      // Depth changes: netpbm rounds, we truncate.
      EXPECT_LE(MaxDifference(ours, theirs), 1);
      ++ran;
    }
  }
  if (HaveProgram("/usr/bin/convert")) {
    for (const char* ext : {"ppm", "pgm", "pbm"}) {
      for (const char* compress : {"", "-compress none "}) {
        const std::filesystem::path file = dir / (std::string("im.") + ext);
        ASSERT_EQ(RunCommand(std::string("/usr/bin/convert -size 13x9 gradient:yellow-navy ") +
                             compress + ShellQuote(file.string())),
                  0);
        RgbaImage theirs;
        ASSERT_TRUE(NetpbmRgba("pnmtopnm", file, theirs, dir));
        auto l = Load(ReadFileBytes(file));
        ASSERT_FALSE(l->outcome.aborting) << ext << compress;
        // ImageMagick writes maximum 65535 here; netpbm rounds to 8 bits, we keep high bytes.
        EXPECT_LE(MaxDifference(BitmapToRgba(l->bitmap), theirs), 1) << ext << compress;
        ++ran;
      }
    }
  }
  if (ran == 0) GTEST_SKIP() << "no peer installed";
}

// Files from Debian packages: the same picture as PNG and as every anymap.
TEST(PnmPeers, PackagedFilesMatchTheirPng) {
  const std::filesystem::path images =
      TestDataDir() / "libsixel-examples/usr/share/doc/libsixel-examples/examples/images";
  if (TestDataDir().empty() || !std::filesystem::exists(images)) GTEST_SKIP() << "no test data";
  TempDir dir;
  for (const char* name : {"snake.ppm", "snake-ascii.ppm", "snake.pgm", "snake-ascii.pgm",
                           "snake.pbm", "snake-ascii.pbm"}) {
    SCOPED_TRACE(name);
    auto l = Load(ReadFileBytes(images / name));
    ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
    RgbaImage theirs;
    ASSERT_TRUE(NetpbmRgba("pnmtopnm", images / name, theirs, dir));
    EXPECT_EQ(CountDifferentPixels(BitmapToRgba(l->bitmap), theirs), 0u);
  }
  const std::filesystem::path jbig = TestDataDir() / "jbigkit-testdata/usr/share/jbigkit-testdata";
  for (const char* name : {"sandra.pgm", "test-t82.pbm"}) {
    SCOPED_TRACE(name);
    auto l = Load(ReadFileBytes(jbig / name));
    ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
    RgbaImage theirs;
    ASSERT_TRUE(NetpbmRgba("pnmtopnm", jbig / name, theirs, dir));
    EXPECT_LE(MaxDifference(BitmapToRgba(l->bitmap), theirs), 1);
  }
}

// Through the component: loads by content and saves by extension.
TEST(PnmComponent, LoadsAndSavesByName) {
  TempDir dir;
  WriteFileBytes(dir / "a.ppm", Text("P3 1 1 255 1 2 3\n"));
  TLumenaxIO io;
  io.LoadFromFile(dir / "a.ppm");
  ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
  EXPECT_EQ(io.Params.FileType, ftPxm);
  io.Params.BitsPerSample = 8, io.Params.SamplesPerPixel = 3;
  io.SaveToFile(dir / "b.pgm");
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(Head(ReadFileBytes(dir / "b.pgm"), 11), "P6 1 1 255\n");
}

}  // namespace
}  // namespace lumenax
