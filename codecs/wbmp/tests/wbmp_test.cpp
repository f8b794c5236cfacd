// Wireless bitmaps: header integers, hostile sizes, the 255-pixel reduction, and files of
// other programs in both directions.
#include <gtest/gtest.h>

#include <filesystem>

#include "bitmap/bitmap.h"
#include "codecs/common/tests/codec_test_util.h"
#include "codecs/wbmp/wbmp.h"
#include "io/lumenax_io.h"
#include "io/params.h"

namespace lumenax {
namespace {

using namespace test;
namespace fs = std::filesystem;

struct Loaded {
  TLxBitmap bitmap;
  TIOParamsVals params;
  Outcome outcome;
};

std::unique_ptr<Loaded> Load(const std::vector<uint8_t>& bytes, bool infoOnly = false) {
  auto l = std::make_unique<Loaded>();
  TLxMemStream s(bytes.data(), int64_t(bytes.size()));
  l->outcome =
      RunCodec([&](ProgressRecord& p) { ReadWbmpStream(s, l->bitmap, l->params, infoOnly, p); });
  return l;
}

std::vector<uint8_t> Save(TLxBitmap& bm, Outcome* outcome = nullptr) {
  TMemoryStream s;
  Outcome o = RunCodec([&](ProgressRecord& p) { WriteWbmpStream(s, bm, p); });
  if (outcome) *outcome = o;
  return StreamBytes(s);
}

TEST(WbmpReader, RowsAreCopiedAndTheRecordFilled) {
  auto l = Load({0, 0, 9, 2, 0xAA, 0x80, 0x55, 0x00});
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  EXPECT_EQ(l->bitmap.PixelFormat(), lx1g);
  EXPECT_EQ(l->bitmap.Width(), 9);
  EXPECT_EQ(l->bitmap.ScanLine(0)[0], 0xAA);
  EXPECT_EQ(l->bitmap.ScanLine(0)[1] & 0x80, 0x80);
  EXPECT_EQ(l->bitmap.ScanLine(1)[0], 0x55);
  EXPECT_EQ(l->params.BitsPerSample, 1);
  EXPECT_EQ(l->params.DpiX, DefaultDPI);
  EXPECT_EQ(l->outcome.percents, (std::vector<int>{0, 50}));
  // Two-byte sizes.
  std::vector<uint8_t> wide = {0, 0, 0x81, 0x48, 1};
  wide.resize(5 + 25, 0xFF);
  auto w = Load(wide);
  ASSERT_FALSE(w->outcome.aborting);
  EXPECT_EQ(w->bitmap.Width(), 200);
  auto info = Load({0, 0, 9, 2}, /*infoOnly=*/true);
  EXPECT_FALSE(info->outcome.aborting);
  EXPECT_EQ(info->params.Height, 2);
}

TEST(WbmpReader, BadHeadersAndHostileSizes) {
  auto t = Load({1, 0, 9, 2, 0, 0, 0, 0});
  EXPECT_EQ(t->outcome.code(), TLxFailure::Unsupported);
  EXPECT_EQ(t->params.Width, 0);  // record untouched
  EXPECT_EQ(Load({0, 0, 0, 2})->outcome.code(), TLxFailure::BadHeader);
  // A fourth byte that still asks for more.
  EXPECT_EQ(Load({0, 0, 0x81, 0x81, 0x81, 0x81, 1, 1})->outcome.code(), TLxFailure::BadHeader);
  // 2^28 - 1 square in 12 bytes.
  auto huge = Load({0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0});
  EXPECT_EQ(huge->outcome.code(), TLxFailure::TooLarge);
  EXPECT_TRUE(huge->bitmap.IsEmpty());
  EXPECT_EQ(Load({0, 0, 9})->outcome.code(), TLxFailure::Truncated);
  auto cut = Load({0, 0, 8, 3, 0xFF});
  EXPECT_EQ(cut->outcome.code(), TLxFailure::Truncated);
  EXPECT_EQ(cut->bitmap.ScanLine(0)[0], 0xFF);
  EXPECT_EQ(cut->bitmap.ScanLine(2)[0], 0);
}

TEST(WbmpWriter, SizesAndTheReduction) {
  TLxBitmap small(9, 2, lx1g);
  small.ScanLine(0)[0] = 0xAA;
  std::vector<uint8_t> out = Save(small);
  ASSERT_EQ(out.size(), 4u + 4);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 5),
            (std::vector<uint8_t>{0, 0, 9, 2, 0xAA}));
  struct Case {
    int w, h, ow, oh;
  } cases[] = {{1000, 500, 255, 127}, {255, 300, 216, 255}, {300, 300, 255, 255},
               {255, 255, 255, 255},  {200, 100, 200, 100}, {3000, 2, 255, 1}};
  for (const Case& c : cases) {
    TLxBitmap bm(c.w, c.h, lx24RGB);
    bm.FillRect(c.w / 2, 0, c.w - 1, c.h - 1, 255);  // right half white
    out = Save(bm);
    auto l = Load(out);
    ASSERT_FALSE(l->outcome.aborting) << c.w << "x" << c.h;
    EXPECT_EQ(l->bitmap.Width(), c.ow) << c.w << "x" << c.h;
    EXPECT_EQ(l->bitmap.Height(), c.oh) << c.w << "x" << c.h;
    // The whole image is scaled: its right half is still white, its left black.
    EXPECT_EQ(l->bitmap.PixelAsRGB(c.ow - 1, c.oh - 1).r, 255);
    EXPECT_EQ(l->bitmap.PixelAsRGB(0, 0).r, 0);
    // The caller's bitmap is untouched.
    EXPECT_EQ(bm.PixelFormat(), lx24RGB);
    EXPECT_EQ(bm.Width(), c.w);
  }
  ShortStream s(5);
  TLxBitmap bm(40, 40, lx1g);
  Outcome o = RunCodec([&](ProgressRecord& p) { WriteWbmpStream(s, bm, p); });
  EXPECT_EQ(o.code(), TLxFailure::WriteFailed);
}

TEST(WbmpPeers, BothWays) {
  TempDir dir;
  int ran = 0;
  // Theirs into ours: netpbm, ImageMagick and the packaged files, decoded by netpbm.
  if (HaveProgram("/usr/bin/pbmtowbmp") && HaveProgram("/usr/bin/wbmptopbm")) {
    const fs::path file = dir / "nb.wbmp";
    ASSERT_EQ(RunCommand("/usr/bin/pgmramp -lr 37 11 | /usr/bin/pamthreshold 2>/dev/null | "
                         "/usr/bin/pamtopnm | /usr/bin/pbmtowbmp > " +
                         file.string()),
              0);
    std::vector<fs::path> files = {file};
    if (HaveProgram("/usr/bin/convert")) {
      ASSERT_EQ(RunCommand("/usr/bin/convert -size 21x9 gradient:white-black " +
                           (dir / "im.wbmp").string()),
                0);
      files.push_back(dir / "im.wbmp");
    }
    const fs::path packaged = TestDataDir() / "wapua/usr/share/perl5/wApua/images";
    if (!TestDataDir().empty() && fs::exists(packaged))
      for (const auto& e : fs::directory_iterator(packaged)) files.push_back(e.path());
    for (const fs::path& f : files) {
      SCOPED_TRACE(f.filename().string());
      RgbaImage theirs;
      ASSERT_TRUE(NetpbmRgba("wbmptopbm", f, theirs, dir));
      auto l = Load(ReadFileBytes(f));
      ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
      EXPECT_EQ(CountDifferentPixels(BitmapToRgba(l->bitmap), theirs), 0u);
      // Ours into theirs.
      const fs::path back = dir / "back.wbmp";
      WriteFileBytes(back, Save(l->bitmap));
      RgbaImage again;
      ASSERT_TRUE(NetpbmRgba("wbmptopbm", back, again, dir));
      EXPECT_EQ(CountDifferentPixels(again, theirs), 0u);
      ++ran;
    }
  }
  if (ran == 0) GTEST_SKIP() << "netpbm not installed";
}

TEST(WbmpComponent, LoadsByNameAndSaves) {
  TempDir dir;
  WriteFileBytes(dir / "a.wbmp", {0, 0, 9, 2, 0xAA, 0x80, 0x55, 0x00});
  TLumenaxIO io;
  io.LoadFromFile(dir / "a.wbmp");
  ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
  EXPECT_EQ(io.Params.FileType, ftWbmp);
  io.SaveToFile(dir / "b.wbmp");
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(ReadFileBytes(dir / "b.wbmp"), ReadFileBytes(dir / "a.wbmp"));
}

}  // namespace
}  // namespace lumenax
