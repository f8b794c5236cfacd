// The Photoshop codec against files and decoders no one here wrote: ImageMagick's files of
// every kind into our reader, our files of every layout into ImageMagick and Pillow, and the
// sample files of Debian packages compared with ImageMagick's merged image.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/stream.h"
#include "codecs/common/tests/codec_test_util.h"
#include "codecs/psd/psd.h"
#include "io/lumenax_io.h"
#include "io/params.h"

namespace lumenax {
namespace {

using namespace test;
namespace fs = std::filesystem;

const char* kConvert = "/usr/bin/convert";

bool HaveImageMagick() {
  return HaveProgram(kConvert);
}

// ImageMagick's merged image of a PSD file (FILE[0]) as 8-bit RGBA.
bool MagickRgba(const fs::path& file, RgbaImage& out, const TempDir& dir) {
  const fs::path png = dir / "magick-out.png";
  const std::string cmd = std::string(kConvert) + " " + ShellQuote(file.string() + "[0]") +
                          " -depth 8 PNG32:" + ShellQuote(png.string()) + " 2>/dev/null";
  return RunCommand(cmd) == 0 && ReadPngRgba(png, out);
}

// A 24-bit picture with gradients, flat areas and an alpha ramp, as a PAM file for the peers.
void WriteTestPam(const fs::path& p, int w, int h, bool alpha) {
  std::string head = "P7\nWIDTH " + std::to_string(w) + "\nHEIGHT " + std::to_string(h) +
                     "\nDEPTH " + (alpha ? "4" : "3") + "\nMAXVAL 255\nTUPLTYPE " +
                     (alpha ? "RGB_ALPHA" : "RGB") + "\nENDHDR\n";
  std::vector<uint8_t> b(head.begin(), head.end());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      b.push_back(uint8_t(x * 255 / (w - 1)));
      b.push_back(uint8_t(y * 255 / (h - 1)));
      b.push_back(x < w / 3 ? 40 : uint8_t((x * y) & 255));
      if (alpha) b.push_back(uint8_t(y < h / 2 ? 255 : (x * 17) & 255));
    }
  WriteFileBytes(p, b);
}

struct OurLoad {
  bool ok = false;
  std::string reason;
  RgbaImage rgba;
  TLxBitmap bitmap;
};

std::unique_ptr<OurLoad> LoadOurs(const fs::path& file, bool native = false) {
  auto r = std::make_unique<OurLoad>();
  TLumenaxIO io;
  io.SetNativePixelFormat(native);
  io.LoadFromFilePsd(file);
  r->ok = !io.Aborting;
  r->reason = io.FailureReason.Text();
  if (!io.Bitmap()->IsEmpty()) {
    r->rgba = BitmapToRgba(*io.Bitmap());
    r->bitmap.Assign(*io.Bitmap());
  }
  return r;
}

// Largest colour difference, and the number of pixels whose alpha differs. With
// opaqueOrClearOnly, partly transparent pixels are left out of the colour comparison.
void Compare(const RgbaImage& a, const RgbaImage& b, int& colour, size_t& alpha,
             bool opaqueOrClearOnly = false) {
  colour = 256;
  alpha = 0;
  if (a.width != b.width || a.height != b.height) return;
  colour = 0;
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x) {
      const uint8_t* p = a.at(x, y);
      const uint8_t* q = b.at(x, y);
      if (p[3] != q[3]) ++alpha;
      if (opaqueOrClearOnly && p[3] != 0 && p[3] != 255) continue;
      for (int k = 0; k < 3; ++k) colour = std::max(colour, std::abs(p[k] - q[k]));
    }
}

TEST(PsdPeers, ImageMagickFilesIntoOurReader) {
  if (!HaveImageMagick()) GTEST_SKIP() << "ImageMagick missing";
  TempDir dir;
  WriteTestPam(dir / "rgb.pam", 61, 37, false);
  WriteTestPam(dir / "rgba.pam", 61, 37, true);
  struct Variant {
    std::string name, source, options;
    int tolerance;
  };
  const std::vector<Variant> variants = {
      {"rgb", "rgb.pam", "", 0},
      {"rgba-zip-layers", "rgba.pam", "", 0},
      {"rgba-rle", "rgba.pam", "-compress RLE", 0},
      {"rgb-raw", "rgb.pam", "-compress None", 0},
      {"rgba-zip", "rgba.pam", "-compress Zip", 0},
      // 16-bit samples: we keep the high byte, ImageMagick rounds.
      {"rgb16", "rgb.pam", "-depth 16", 1},
      {"rgba16", "rgba.pam", "-depth 16", 1},
      {"gray", "rgb.pam", "-colorspace Gray", 0},
      {"gray16", "rgb.pam", "-colorspace Gray -depth 16", 1},
      {"palette", "rgb.pam", "-colors 50 -type Palette", 0},
  };
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.name);
    const fs::path psd = dir / (v.name + ".psd");
    ASSERT_EQ(RunCommand(std::string(kConvert) + " " + ShellQuote((dir / v.source).string()) + " " +
                         v.options + " " + ShellQuote(psd.string()) + " 2>/dev/null"),
              0);
    // ImageMagick cannot read its own palette file back ("improper image header"): Pillow
    // is the reference there.
    RgbaImage ref;
    const bool magick = MagickRgba(psd, ref, dir);
    if (!magick && v.name == "palette" && HavePillow()) {
      ASSERT_TRUE(PillowRgba(psd, ref, dir));
    }
    ASSERT_TRUE(magick || v.name == "palette");
    if (ref.width == 0) continue;
    auto ours = LoadOurs(psd);
    ASSERT_TRUE(ours->ok) << ours->reason;
    int colour;
    size_t alpha;
    // ImageMagick writes partly transparent colours as they are but reads them as blended
    // with white (wrapping around below 0), so its own files do not come back there.
    Compare(ours->rgba, ref, colour, alpha, true);
    EXPECT_LE(colour, v.tolerance);
    EXPECT_EQ(alpha, 0u);
  }
}

TEST(PsdPeers, ImageMagickCmykBytesAsStored) {
  if (!HaveImageMagick()) GTEST_SKIP() << "ImageMagick missing";
  TempDir dir;
  WriteTestPam(dir / "rgb.pam", 20, 9, false);
  const fs::path psd = dir / "cmyk.psd", raw = dir / "cmyk.raw";
  ASSERT_EQ(RunCommand(std::string(kConvert) + " " + ShellQuote((dir / "rgb.pam").string()) +
                       " -colorspace CMYK " + ShellQuote(psd.string()) + " 2>/dev/null"),
            0);
  ASSERT_EQ(RunCommand(std::string(kConvert) + " " + ShellQuote(psd.string() + "[0]") +
                       " -depth 8 cmyk:" + ShellQuote(raw.string()) + " 2>/dev/null"),
            0);
  const auto ink = ReadFileBytes(raw);
  auto ours = LoadOurs(psd, true);
  ASSERT_TRUE(ours->ok) << ours->reason;
  ASSERT_EQ(ours->bitmap.PixelFormat(), lxCMYK);
  ASSERT_EQ(ink.size(), size_t(20 * 9 * 4));
  int worst = 0;
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 20; ++x)
      for (int k = 0; k < 4; ++k)
        worst = std::max(worst, std::abs(ours->bitmap.ScanLine(y)[4 * x + k] -
                                         (255 - ink[size_t((y * 20 + x) * 4 + k)])));
  EXPECT_EQ(worst, 0);
}

class RecordingViewer : public TLxViewer {
 public:
  TLxBitmap bitmap;
  TLxLayerList layers;
  TLxBitmap* ViewerBitmap() override { return &bitmap; }
  TBitmap* ViewerPlatformBitmap() override { return nullptr; }
  TColor Background() const override { return 0; }
  void SetBackground(TColor) override {}
  int32_t DpiX() const override { return 96; }
  int32_t DpiY() const override { return 96; }
  void SetDpiX(int32_t) override {}
  void SetDpiY(int32_t) override {}
  void Repaint() override {}
  void ImageChanged() override {}
  bool QueueOnViewerThread(std::function<void()>) override { return false; }
  int RegisterChangeCallback(std::function<void(TLxViewerChange)>) override { return 0; }
  void UnregisterChangeCallback(int) override {}
  const TLxLayerList* ViewerLayers() override { return &layers; }
  void TakeLayers(TLxLayerList l, bool replace) override {
    if (replace) layers.clear();
    for (auto& x : l) layers.push_back(std::move(x));
  }
};

TEST(PsdPeers, ImageMagickMultiImageFileIntoAViewer) {
  if (!HaveImageMagick()) GTEST_SKIP() << "ImageMagick missing";
  TempDir dir;
  WriteTestPam(dir / "a.pam", 30, 20, false);
  WriteTestPam(dir / "b.pam", 30, 20, true);
  WriteTestPam(dir / "c.pam", 12, 7, true);
  const fs::path psd = dir / "multi.psd";
  ASSERT_EQ(
      RunCommand(std::string(kConvert) + " " + ShellQuote((dir / "a.pam").string()) + " " +
                 ShellQuote((dir / "b.pam").string()) + " " + ShellQuote((dir / "c.pam").string()) +
                 " " + ShellQuote(psd.string()) + " 2>/dev/null"),
      0);
  RecordingViewer viewer;
  TLumenaxIO io;
  io.SetAttachedLumenax(&viewer);
  io.Params.PsdLoadLayers = true;
  io.LoadFromFilePsd(psd);
  ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
  ASSERT_GE(viewer.layers.size(), 2u);
  // Each layer equals ImageMagick's own reading of that layer.
  for (size_t i = 0; i < viewer.layers.size(); ++i) {
    SCOPED_TRACE(i);
    const fs::path png = dir / ("layer" + std::to_string(i) + ".png");
    ASSERT_EQ(RunCommand(std::string(kConvert) + " " +
                         ShellQuote(psd.string() + "[" + std::to_string(i + 1) + "]") +
                         " -depth 8 PNG32:" + ShellQuote(png.string()) + " 2>/dev/null"),
              0);
    RgbaImage ref;
    ASSERT_TRUE(ReadPngRgba(png, ref));
    int colour;
    size_t alpha;
    Compare(BitmapToRgba(*viewer.layers[i]->Bitmap), ref, colour, alpha);
    EXPECT_EQ(colour, 0);
    EXPECT_EQ(alpha, 0u);
  }
}

// Our writer's files of every layout: ImageMagick and Pillow see the same merged pixels,
// ImageMagick sees the layers and the resolution.
TEST(PsdPeers, OurFilesIntoImageMagickAndPillow) {
  if (!HaveImageMagick()) GTEST_SKIP() << "ImageMagick missing";
  const bool pillow = HavePillow();
  TempDir dir;
  WriteTestPam(dir / "src.pam", 45, 23, true);
  ASSERT_EQ(RunCommand(std::string(kConvert) + " " + ShellQuote((dir / "src.pam").string()) +
                       " PNG32:" + ShellQuote((dir / "src.png").string())),
            0);
  for (PixelFormat pf : {lx1g, lx8g, lx16g, lx8p, lx24RGB, lxRGB48}) {
    for (bool withAlpha : {false, true}) {
      if (pf == lx1g && withAlpha) continue;
      SCOPED_TRACE(std::string(PixelFormatName(pf)) + (withAlpha ? " with alpha" : ""));
      TLumenaxIO io;
      io.LoadFromFile(dir / "src.png");
      ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
      if (!withAlpha) io.Bitmap()->RemoveAlphaChannel(false, clWhite);
      io.Bitmap()->SetPixelFormat(pf);
      ASSERT_EQ(io.Bitmap()->PixelFormat(), pf);
      io.Params.DpiX = 200;
      io.Params.DpiY = 200;
      const fs::path psd = dir / "ours.psd";
      io.SaveToFilePsd(psd);
      ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
      const RgbaImage mine = BitmapToRgba(*io.Bitmap());
      // ImageMagick reads the merged transparency of gray files as fully transparent (its own
      // files too): the layer it reads is compared there.
      const bool grayAlpha = withAlpha && (pf == lx8g || pf == lx16g);
      // ImageMagick cannot read indexed files (not its own either): Pillow compares those.
      const bool magickReads = pf != lx8p;
      RgbaImage ref;
      if (!magickReads) {
        ref = mine;
      } else if (grayAlpha) {
        const fs::path png = dir / "layer.png";
        ASSERT_EQ(RunCommand(std::string(kConvert) + " " + ShellQuote(psd.string() + "[1]") +
                             " -depth 8 PNG32:" + ShellQuote(png.string()) + " 2>/dev/null"),
                  0);
        ASSERT_TRUE(ReadPngRgba(png, ref));
      } else {
        ASSERT_TRUE(MagickRgba(psd, ref, dir));
      }
      int colour;
      size_t alpha;
      // Partly transparent colours are stored blended with white; ImageMagick takes the white
      // out with its own rounding, Pillow leaves it in.
      Compare(mine, ref, colour, alpha, true);
      // 16-bit samples: we show the high byte, ImageMagick rounds.
      const bool wide = pf == lx16g || pf == lxRGB48;
      EXPECT_LE(colour, wide ? 1 : 0) << "ImageMagick";
      EXPECT_EQ(alpha, 0u) << "ImageMagick";
      std::string out;
      if (magickReads) {
        ASSERT_EQ(RunCommand(std::string("/usr/bin/identify -format '%x|' ") +
                                 ShellQuote(psd.string()) + " 2>/dev/null",
                             &out),
                  0);
        EXPECT_EQ(out.substr(0, out.find('|')).substr(0, 3), "200") << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '|'), 2) << "the merged image and one layer";
      }
      // Pillow reads 8-bit files only, bitmap mode inverted, and does not open gray or
      // indexed files whose layer has transparency (its own layer modes lack those).
      if (pillow && pf != lx1g && pf != lx16g && pf != lxRGB48 && !grayAlpha &&
          !(pf == lx8p && withAlpha)) {
        RgbaImage pil;
        ASSERT_TRUE(PillowRgba(psd, pil, dir));
        Compare(mine, pil, colour, alpha, true);
        EXPECT_EQ(colour, 0) << "Pillow";
        EXPECT_EQ(alpha, 0u) << "Pillow";
      }
    }
  }
}

// Sample files of Debian packages: merged colours equal ImageMagick's; alpha follows our
// rules, and where ImageMagick's differs the reason is known.
TEST(PsdPeers, DebianSampleFiles) {
  if (!HaveImageMagick()) GTEST_SKIP() << "ImageMagick missing";
  const fs::path data = TestDataDir();
  std::vector<fs::path> files;
  for (const char* pkg : {"davegnukem-datasrc", "graphite-web"}) {
    const fs::path root = data / pkg;
    if (data.empty() || !fs::exists(root)) continue;
    for (const auto& e : fs::recursive_directory_iterator(root))
      if (e.is_regular_file() && e.path().extension() == ".psd") files.push_back(e.path());
  }
  if (files.empty()) GTEST_SKIP() << "no sample files (scripts/fetch-test-data)";
  std::sort(files.begin(), files.end());
  // Files whose alpha differs from ImageMagick's, and why.
  const std::map<std::string, std::string> alphaDiffers = {
      // No layers: the extra channel is transparency here, ImageMagick reads it as opaque.
      {"shadows.psd", "no layers"},
      {"simplefont.psd", "no layers"},
  };
  TempDir dir;
  int loaded = 0, refused = 0;
  for (const fs::path& f : files) {
    SCOPED_TRACE(f.filename().string());
    auto ours = LoadOurs(f);
    RgbaImage ref;
    const bool theirs = MagickRgba(f, ref, dir);
    if (!ours->ok) {
      ++refused;
      EXPECT_FALSE(theirs) << "we refuse a file ImageMagick reads: " << ours->reason;
      continue;
    }
    ++loaded;
    ASSERT_TRUE(theirs);
    int colour;
    size_t alpha;
    Compare(ours->rgba, ref, colour, alpha);
    EXPECT_EQ(colour, 0);
    if (alpha && !alphaDiffers.count(f.filename().string()))
      ADD_FAILURE() << alpha << " pixels of other alpha than ImageMagick's";
  }
  EXPECT_GT(loaded, 0);
  std::cout << "[ PSD samples ] " << loaded << " loaded, " << refused << " refused\n";
}

}  // namespace
}  // namespace lumenax
