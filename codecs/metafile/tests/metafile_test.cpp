// Windows metafiles written by a libuemf helper, played through libwmf and librsvg: sizes,
// the 8000-pixel cap, the parameters, background and alpha, refusals, and the pixels against
// ImageMagick's rendering of the same files. Enhanced metafiles from pstoedit are refused.
#include <gtest/gtest.h>

#include <fstream>

#include "bitmap/bitmap.h"
#include "io/lumenax_io.h"
#include "io/params.h"
#include "io/registry.h"
#include "tests/support/test_support.h"

namespace lumenax::test {
namespace {

namespace fs = std::filesystem;

const char* const kConvert = "/usr/bin/convert";

class Metafile : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(LX_MAKE_WMF).empty()) GTEST_SKIP() << "libuemf is not installed";
  }
  fs::path Make(const std::string& kind) {
    fs::path out = dir_ / (kind + ".wmf");
    EXPECT_EQ(RunCommand(std::string(LX_MAKE_WMF) + " " + ShellQuote(out.string()) + " " + kind),
              0);
    return out;
  }
  TempDir dir_;
};

struct Outcome {
  bool aborting;
  TLxFailureReason reason;
  int finishes = 0;
  int width = 0, height = 0;
};

Outcome Play(TLumenaxIO& io, const fs::path& file, int width, int height) {
  Outcome out{};
  io.OnFinishWork = [&out](TLumenaxIO&) { ++out.finishes; };
  io.LoadFromFileMetafile(file, width, height, true);
  out.aborting = io.Aborting;
  out.reason = io.FailureReason;
  out.width = io.Bitmap()->Width();
  out.height = io.Bitmap()->Height();
  return out;
}

TEST_F(Metafile, OwnSizeAndParameters) {
  // A placeable 4 x 3 inch file is 384 x 288 pixels at 96 dpi.
  TLumenaxIO io;
  fs::path file = Make("placeable");
  EXPECT_EQ(DetectFileFormat(file, false), ftWmf);
  io.Params.BitsPerSample = 1;
  io.Params.DpiX = 7;
  io.LoadFromFile(file);
  ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
  EXPECT_EQ(io.Bitmap()->Width(), 384);
  EXPECT_EQ(io.Bitmap()->Height(), 288);
  EXPECT_EQ(io.Bitmap()->PixelFormat(), lx24RGB);
  EXPECT_EQ(io.Params.FileType, ftWmf);
  EXPECT_EQ(io.Params.FileName, file);
  EXPECT_EQ(io.Params.Width, 384);
  EXPECT_EQ(io.Params.Height, 288);
  EXPECT_EQ(io.Params.BitsPerSample, 8);
  EXPECT_EQ(io.Params.SamplesPerPixel, 3);
  EXPECT_EQ(io.Params.DpiX, DefaultDPI);
  // Without a placeable header the drawing's bounding box gives the size: the scene's
  // shapes reach every edge but the right one's last 200 units.
  TLumenaxIO plain;
  plain.LoadFromFile(Make("plain"));
  ASSERT_FALSE(plain.Aborting) << plain.FailureReason.Text();
  EXPECT_GT(plain.Bitmap()->Width(), 0);
  EXPECT_GT(plain.Bitmap()->Height(), 0);
  EXPECT_EQ(plain.Params.FileType, ftWmf);
}

TEST_F(Metafile, RequestedSizesAndTheCap) {
  fs::path file = Make("placeable");
  TLumenaxIO io;
  struct Case {
    int w, h, ew, eh;
  } cases[] = {
      {200, -1, 200, 150},    // height follows the width
      {-1, 150, 200, 150},    // width follows the height
      {50, 60, 50, 60},       // both given: stretched
      {16000, 90, 8000, 45},  // the longer side held to 8000
      {90, 20000, 36, 8000},
  };
  for (const Case& c : cases) {
    Outcome out = Play(io, file, c.w, c.h);
    SCOPED_TRACE(std::to_string(c.w) + " x " + std::to_string(c.h));
    ASSERT_FALSE(out.aborting) << out.reason.Text();
    EXPECT_EQ(out.width, c.ew);
    EXPECT_EQ(out.height, c.eh);
    EXPECT_EQ(out.finishes, 1);
  }
  // A size of 0 is no image: the load fails instead of leaving the old image.
  for (auto [w, h] : {std::pair{0, 100}, std::pair{100, 0}, std::pair{-1, 0}}) {
    Outcome out = Play(io, file, w, h);
    EXPECT_TRUE(out.aborting) << w << " x " << h;
    EXPECT_EQ(out.reason.Code, TLxFailure::NoImage);
    EXPECT_EQ(out.finishes, 1);
  }
  // A width that rounds to nothing in the metafile's proportions.
  Outcome thin = Play(io, file, -1, 1);
  EXPECT_FALSE(thin.aborting);
  Outcome none = Play(io, file, 1, -1);
  EXPECT_TRUE(none.aborting);
  EXPECT_EQ(none.reason.Code, TLxFailure::NoImage);
}

TEST_F(Metafile, BackgroundAndAlphaFollowWhatIsDrawn) {
  TLumenaxIO io;
  io.SetBackground(TColor(0x00FF00));  // green
  Outcome out = Play(io, Make("key"), 384, 288);
  ASSERT_FALSE(out.aborting) << out.reason.Text();
  TLxBitmap& b = *io.Bitmap();
  ASSERT_TRUE(b.HasAlphaChannel());
  TLxBitmap& a = *b.AlphaChannel();
  auto pixel = [&b](int x, int y) { return b.PixelAsRGB(x, y); };
  // Red rectangle in the top left quarter.
  EXPECT_EQ(a.ScanLine(50)[50], 255);
  EXPECT_EQ(pixel(50, 50).r, 255);
  EXPECT_EQ(pixel(50, 50).g, 0);
  // Undrawn: the top right corner outside the ellipse shows the background, transparent.
  EXPECT_EQ(a.ScanLine(2)[381], 0);
  EXPECT_EQ(pixel(381, 2).g, 255);
  EXPECT_EQ(pixel(381, 2).r, 0);
  // Ellipse centre: blue, opaque.
  EXPECT_EQ(a.ScanLine(72)[288], 255);
  EXPECT_EQ(pixel(288, 72).b, 255);
  // The square painted in red 3, green 2, blue 1 is drawn: opaque, not a hole. (libwmf
  // names colours by the nearest of its colour names: this one comes out black.)
  EXPECT_EQ(a.ScanLine(270)[370], 255);
  EXPECT_LE(pixel(370, 270).r, 3);
  EXPECT_LE(pixel(370, 270).g, 2);
  EXPECT_LE(pixel(370, 270).b, 1);
  EXPECT_FALSE(a.AllOpaque);
  // Without alpha: no channel.
  io.LoadFromFileMetafile(Make("placeable"), -1, -1, false);
  ASSERT_FALSE(io.Aborting);
  EXPECT_FALSE(io.Bitmap()->HasAlphaChannel());
}

TEST_F(Metafile, RefusalsCarryAReasonTypeAndName) {
  // A metafile that draws nothing has no size, and no proportions to follow a given side.
  fs::path empty = Make("empty");
  for (auto [w, h] : {std::pair{-1, -1}, std::pair{-1, 100}, std::pair{100, -1}}) {
    TLumenaxIO io;
    Outcome out = Play(io, empty, w, h);
    EXPECT_TRUE(out.aborting);
    EXPECT_EQ(out.reason.Code, TLxFailure::BadHeader);
    EXPECT_EQ(out.finishes, 1);
    EXPECT_EQ(io.Params.FileType, ftWmf);
    EXPECT_EQ(io.Params.FileName, empty);
  }
  // A file cut after its header, and one of records that make no sense.
  std::vector<uint8_t> bytes = ReadFileBytes(Make("placeable"));
  for (size_t cut : {size_t(40), bytes.size() / 2}) {
    fs::path file = dir_ / ("cut" + std::to_string(cut) + ".wmf");
    WriteFileBytes(file, std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(cut)));
    TLumenaxIO cutIo;
    Outcome c = Play(cutIo, file, -1, -1);
    if (c.aborting) {
      EXPECT_TRUE(c.reason) << cut;
    }
    EXPECT_EQ(c.finishes, 1);
    EXPECT_EQ(cutIo.Params.FileName, file);
  }
  // A header that claims records larger than the file: libwmf would allocate for them.
  std::vector<uint8_t> claim = bytes;
  claim[22 + 12] = claim[22 + 13] = claim[22 + 14] = 0xFF;
  claim[22 + 15] = 0x7F;
  WriteFileBytes(dir_ / "claim.wmf", claim);
  TLumenaxIO claimIo;
  Outcome c = Play(claimIo, dir_ / "claim.wmf", -1, -1);
  EXPECT_TRUE(c.aborting);
  EXPECT_EQ(c.reason.Code, TLxFailure::BadData);
  EXPECT_EQ(c.reason.Detail, "metafile record size beyond the file");
  // Bitmap records whose bitmap is missing or claims more pixels than the record holds:
  // libwmf would allocate for the claim (12.8 GB for one 132-byte file).
  auto withRecord = [&bytes](std::vector<uint8_t> record) {
    std::vector<uint8_t> b = bytes;
    b.insert(b.begin() + 22 + 18, record.begin(), record.end());
    return b;
  };
  std::vector<uint8_t> noBitmap{5, 0, 0, 0, 0x42, 0x01, 1, 0, 0xFF, 0};
  std::vector<uint8_t> hugeBitmap{28, 0, 0, 0, 0x42, 0x01, 0, 0, 0, 0};
  std::vector<uint8_t> header(40, 0);
  header[0] = 40;
  header[4] = header[5] = header[8] = header[9] = 0xFF;  // 65535 x 65535
  header[12] = 1;
  header[14] = 24;
  hugeBitmap.insert(hugeBitmap.end(), header.begin(), header.end());
  hugeBitmap.resize(56, 0);
  for (const auto& record : {noBitmap, hugeBitmap}) {
    WriteFileBytes(dir_ / "bitmap.wmf", withRecord(record));
    TLumenaxIO bitmapIo;
    Outcome b = Play(bitmapIo, dir_ / "bitmap.wmf", -1, -1);
    EXPECT_TRUE(b.aborting);
    EXPECT_EQ(b.reason.Detail, "metafile bitmap larger than its record");
  }
  // A metafile is not read from a stream.
  TMemoryStream s(bytes);
  TLumenaxIO streamIo;
  streamIo.Aborting = true;
  streamIo.LoadFromStream(s);
  EXPECT_TRUE(streamIo.Aborting);
  EXPECT_TRUE(streamIo.Bitmap()->IsEmpty());
}

TEST_F(Metafile, EnhancedMetafilesAreRefused) {
  if (!HaveProgram("/usr/bin/pstoedit")) GTEST_SKIP() << "pstoedit is not installed";
  fs::path ps = dir_ / "t.ps";
  std::ofstream(ps) << "%!PS\nnewpath 10 10 moveto 100 100 lineto 100 10 lineto closepath fill\n"
                       "showpage\n";
  fs::path emf = dir_ / "t.emf";
  ASSERT_EQ(RunCommand("/usr/bin/pstoedit -q -f emf " + ShellQuote(ps.string()) + " " +
                       ShellQuote(emf.string()) + " 2>/dev/null"),
            0);
  EXPECT_EQ(DetectFileFormat(emf, false), ftEmf);
  TLumenaxIO io;
  int finishes = 0;
  io.OnFinishWork = [&finishes](TLumenaxIO&) { ++finishes; };
  io.LoadFromFile(emf);
  EXPECT_TRUE(io.Aborting);
  EXPECT_EQ(io.FailureReason.Code, TLxFailure::Unsupported);
  EXPECT_EQ(io.FailureReason.Detail, "enhanced metafiles are not supported");
  EXPECT_EQ(io.Params.FileType, ftEmf);
  EXPECT_EQ(io.Params.FileName, emf);
  EXPECT_EQ(finishes, 1);
}

TEST_F(Metafile, PixelsAgreeWithImageMagick) {
  if (!HaveProgram(kConvert)) GTEST_SKIP() << "ImageMagick is not installed";
  fs::path file = Make("placeable");
  // ImageMagick draws at 72 dpi by default; at 96 it gives our size.
  fs::path pam = dir_ / "im.pam";
  ASSERT_EQ(RunCommand(std::string(kConvert) + " -density 96 -background white " +
                       ShellQuote(file.string()) + " -flatten -depth 8 -type TrueColor PAM:" +
                       ShellQuote(pam.string()) + " 2>/dev/null"),
            0);
  RgbaImage theirs;
  ASSERT_TRUE(ReadPamRgba(pam, theirs));
  TLumenaxIO io;
  io.SetBackground(clWhite);
  Outcome out = Play(io, file, theirs.width, theirs.height);
  ASSERT_FALSE(out.aborting) << out.reason.Text();
  io.Bitmap()->RemoveAlphaChannel(false, clWhite);
  RgbaImage ours = BitmapToRgba(*io.Bitmap());
  ASSERT_EQ(ours.width, theirs.width);
  ASSERT_EQ(ours.height, theirs.height);
  // The renderers differ at the edges of shapes (anti-aliasing, half-pixel placement):
  // count pixels that differ clearly.
  size_t different = 0;
  for (int y = 0; y < ours.height; ++y)
    for (int x = 0; x < ours.width; ++x) {
      const uint8_t* p = ours.at(x, y);
      const uint8_t* q = theirs.at(x, y);
      for (int c = 0; c < 3; ++c)
        if (std::abs(int(p[c]) - int(q[c])) > 64) {
          ++different;
          break;
        }
    }
  EXPECT_LT(double(different), 0.03 * ours.width * ours.height) << different << " pixels differ";
}

}  // namespace
}  // namespace lumenax::test
