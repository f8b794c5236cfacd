// GIF against files and decoders no one here wrote: the GIF test suite of Debian's
// gdk-pixbuf-tests, animations built by gifsicle, ImageMagick and Pillow (compared with
// ImageMagick's coalesced frames), Pillow's single frames, and our files in their readers.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "bitmap/bitmap.h"
#include "codecs/gif/tests/gif_test_util.h"
#include "io/lumenax_io.h"
#include "tests/support/test_support.h"

namespace lumenax {
namespace {

namespace fs = std::filesystem;
using test::RgbaImage;

const char* kPython = "/usr/bin/python3";
const char* kConvert = "/usr/bin/convert";

fs::path SuiteDir() {
  fs::path d = test::TestDataDir();
  if (d.empty()) return {};
  d /= "gdk-pixbuf-tests/usr/libexec/installed-tests/gdk-pixbuf/test-images";
  return fs::exists(d) ? d : fs::path{};
}

RgbaImage LoadFrame(const fs::path& file, int index, bool& aborting,
                    TLxFailureReason* why = nullptr) {
  TLumenaxIO io;
  test::LoadGif(io, test::ReadFileBytes(file), index);
  aborting = io.Aborting;
  if (why) *why = io.FailureReason;
  return test::BitmapToRgba(*io.Bitmap());
}

// Pixels where we show an opaque colour that the peer does not; pixels we leave transparent
// (outside frame 0, disposal-2 areas) are accepted, colour is ignored where both are.
size_t OpaqueDifferences(const RgbaImage& ours, const RgbaImage& theirs) {
  if (ours.width != theirs.width || ours.height != theirs.height) return size_t(-1);
  size_t n = 0;
  for (int y = 0; y < ours.height; ++y)
    for (int x = 0; x < ours.width; ++x) {
      const uint8_t* a = ours.at(x, y);
      const uint8_t* b = theirs.at(x, y);
      if (a[3] == 0) continue;
      if (b[3] == 0 || a[0] != b[0] || a[1] != b[1] || a[2] != b[2]) ++n;
    }
  return n;
}

std::map<std::string, std::string> ReadConf(const fs::path& p, std::vector<std::string>& frames) {
  std::map<std::string, std::string> kv;
  std::ifstream f(p);
  std::string line, section;
  while (std::getline(f, line)) {
    if (line.starts_with("[")) section = line.substr(1, line.find(']') - 1);
    const size_t eq = line.find(" = ");
    if (eq == std::string::npos) continue;
    kv[section + "." + line.substr(0, eq)] = line.substr(eq + 3);
  }
  std::stringstream list(kv["config.frames"]);
  std::string name;
  while (std::getline(list, name, ',')) frames.push_back(name);
  return kv;
}

TEST(GifPeers, GdkPixbufSuite) {
  const fs::path dir = SuiteDir();
  if (dir.empty()) GTEST_SKIP() << "gdk-pixbuf-tests not fetched (scripts/fetch-test-data)";
  int loaded = 0, refused = 0, frameSize = 0;
  std::vector<std::string> differ;
  for (const auto& e : fs::directory_iterator(dir / "gif-test-suite")) {
    if (e.path().extension() != ".conf") continue;
    std::vector<std::string> frames;
    auto kv = ReadConf(e.path(), frames);
    const fs::path gif = dir / "gif-test-suite" / kv["config.input"];
    const int w = std::stoi(kv["config.width"]), h = std::stoi(kv["config.height"]);
    for (size_t i = 0; i < std::max<size_t>(frames.size(), 1); ++i) {
      bool aborting = false;
      TLxFailureReason why;
      const RgbaImage ours = LoadFrame(gif, int(i), aborting, &why);
      if (frames.empty() || aborting) {
        // Files the suite expects nothing from must be refused; refusals elsewhere are listed.
        // Indexes beyond the palette read black and unknown extensions are skipped, so
        // invalid-colors and plain-text load here.
        const std::string n = gif.filename().string();
        if (frames.empty()) {
          if (n != "invalid-colors.gif" && n != "plain-text.gif") {
            EXPECT_TRUE(aborting || ours.width == 0) << n << " should be refused";
          }
        } else {
          differ.push_back(gif.filename().string() + " refused: " + why.Text());
        }
        ++refused;
        continue;
      }
      ++loaded;
      RgbaImage expect{w, h,
                       test::ReadFileBytes(dir / "gif-test-suite" / kv[frames[i] + ".pixels"])};
      if (ours.width != w || ours.height != h) {
        // A single-frame file loads at the frame's own size: compare it where it lies.
        ++frameSize;
        continue;
      }
      if (OpaqueDifferences(ours, expect) != 0)
        differ.push_back(gif.filename().string() + " frame " + std::to_string(i));
    }
  }
  std::string list;
  for (const std::string& d : differ) list += "\n  " + d;
  std::cout << "suite: " << loaded << " frames loaded, " << refused << " refused, " << frameSize
            << " at frame size; differences:" << list << "\n";
  EXPECT_GT(loaded, 60);
  // Every difference is one a rule of the reader explains (see the closing list).
  for (const std::string& d : differ) {
    // - the suite joins images shown without a delay into one frame; here every image
    //   descriptor is a frame of its own: animation-multi-image*, dispose-restore-previous,
    //   images-overlap, image-outside-bg, image-overlap-bg;
    // - minimum code sizes above 9 are refused: max-codes (11);
    // - a zero-sized image whose local table is cut off is refused (image-zero-*);
    // - a file whose only image has no data holds no image (no-data).
    const bool explained = d.starts_with("animation-multi-image") ||
                           d.starts_with("dispose-restore-previous") ||
                           d.starts_with("images-overlap") || d.starts_with("image-outside-bg") ||
                           d.starts_with("image-overlap-bg") || d.starts_with("max-codes") ||
                           d.starts_with("image-zero") || d.starts_with("no-data");
    EXPECT_TRUE(explained) << d;
  }
  // Files that other decoders found crashing or hanging: refused or loaded, never more.
  for (const char* sub : {"fail", "randomly-modified"}) {
    for (const auto& e : fs::directory_iterator(dir / sub)) {
      if (e.path().extension() != ".gif") continue;
      bool aborting = false;
      LoadFrame(e.path(), 3, aborting);
    }
  }
}

struct Peers : testing::Test {
  void SetUp() override {
    for (const char* p : {"gifsicle", kConvert, kPython})
      if (!test::HaveProgram(p)) GTEST_SKIP() << p << " missing";
  }
  test::TempDir dir;
  std::string Q(const std::string& name) { return test::ShellQuote((dir / name).string()); }
  void Run(const std::string& cmd) { ASSERT_EQ(test::RunCommand(cmd), 0) << cmd; }
};

TEST_F(Peers, AnimationsMatchCoalescedFrames) {
  // Frames of different sizes, colours and transparency.
  Run(std::string(kConvert) + " -size 12x9 xc:red -fill blue -draw 'rectangle 2,2 8,6' " +
      Q("a.gif"));
  Run(std::string(kConvert) + " -size 5x4 xc:none -fill lime -draw 'rectangle 1,1 3,2' " +
      Q("b.gif"));
  Run(std::string(kConvert) + " -size 7x3 plasma:fractal -colors 40 " + Q("c.gif"));
  Run(std::string(kConvert) + " -size 4x6 xc:yellow " + Q("d.gif"));
  const std::vector<std::string> recipes = {
      "--disposal none a.gif --position 3,2 b.gif --position 6,5 c.gif d.gif",
      "--disposal background a.gif --position 3,2 b.gif --position 9,7 c.gif --position 1,1 d.gif",
      "--disposal previous a.gif --position 3,2 b.gif c.gif --position 2,2 d.gif",
      "--logical-screen 15x11 --disposal background --position 4,3 b.gif --disposal previous "
      "--position 1,1 a.gif --position 10,8 c.gif",
      "-O2 --interlace a.gif --disposal previous --position 3,2 b.gif --position 5,5 c.gif d.gif",
  };
  int compared = 0;
  for (size_t r = 0; r < recipes.size(); ++r) {
    const std::string name = "anim" + std::to_string(r) + ".gif";
    Run("cd " + test::ShellQuote(dir.path().string()) + " && gifsicle " + recipes[r] + " > " +
        name + " 2>/dev/null");
    Run(std::string(kConvert) + " " + Q(name) +
        " -coalesce -depth 8 PAM:" + Q("co" + std::to_string(r) + "-%d.pam"));
    for (int i = 0;; ++i) {
      const fs::path pam = dir / ("co" + std::to_string(r) + "-" + std::to_string(i) + ".pam");
      if (!fs::exists(pam)) break;
      RgbaImage theirs;
      ASSERT_TRUE(test::ReadPamRgba(pam, theirs));
      bool aborting = false;
      const RgbaImage ours = LoadFrame(dir / name, i, aborting);
      ASSERT_FALSE(aborting) << name << " frame " << i;
      EXPECT_EQ(OpaqueDifferences(ours, theirs), 0u) << recipes[r] << " frame " << i;
      ++compared;
    }
  }
  // Pillow's save_all, with disposal 2 and transparency.
  Run(std::string(kPython) +
      " -c \"\nfrom PIL import Image\nims=[Image.new('RGBA',(9,7),(255,0,0,255)),"
      "Image.new('RGBA',(9,7),(0,0,0,0)),Image.new('RGBA',(9,7),(0,0,255,255))]\n"
      "ims[1].paste((0,255,0,255),(2,2,6,5))\nims[0].save('" +
      (dir / "pil.gif").string() + "',save_all=True,append_images=ims[1:],disposal=2)\"");
  Run(std::string(kConvert) + " " + Q("pil.gif") + " -coalesce -depth 8 PAM:" + Q("pil-%d.pam"));
  for (int i = 0; fs::exists(dir / ("pil-" + std::to_string(i) + ".pam")); ++i) {
    RgbaImage theirs;
    ASSERT_TRUE(test::ReadPamRgba(dir / ("pil-" + std::to_string(i) + ".pam"), theirs));
    bool aborting = false;
    EXPECT_EQ(OpaqueDifferences(LoadFrame(dir / "pil.gif", i, aborting), theirs), 0u) << i;
    ++compared;
  }
  EXPECT_GT(compared, 20);
}

TEST_F(Peers, SingleFramesLoadWithPillowsPixels) {
  const std::string script = R"(
import sys
from PIL import Image
d = sys.argv[1]
import random
random.seed(3)
for n in (2, 3, 16, 100, 256):
    im = Image.new('RGB', (23, 11))
    im.putdata([((i * 7919) % n * 37 % 256, (i % n) * 11 % 256, n) for i in range(23 * 11)])
    p = im.quantize(n)
    p.save(f'{d}/c{n}.gif')
    p.save(f'{d}/i{n}.gif', interlace=True)
    p.save(f'{d}/t{n}.gif', transparency=1)
for w in (1, 7, 9, 17):
    im = Image.new('1', (w, 5))
    im.putdata([(x * 3 + y) % 2 * 255 for y in range(5) for x in range(w)])
    im.save(f'{d}/bw{w}.gif')
import glob
for f in glob.glob(d + '/*.gif'):
    Image.open(f).convert('RGBA').save(f + '.png')
)";
  std::ofstream(dir / "make.py") << script;
  Run(std::string(kPython) + " " + Q("make.py") + " " + Q(""));
  int n = 0;
  for (const auto& e : fs::directory_iterator(dir.path())) {
    if (e.path().extension() != ".gif") continue;
    RgbaImage theirs;
    ASSERT_TRUE(test::ReadPngRgba(e.path().string() + ".png", theirs));
    bool aborting = false;
    const RgbaImage ours = LoadFrame(e.path(), 0, aborting);
    ASSERT_FALSE(aborting) << e.path();
    EXPECT_EQ(test::CountDifferentPixels(ours, theirs), 0u) << e.path().filename();
    ++n;
  }
  EXPECT_EQ(n, 19);
}

TEST_F(Peers, OurFilesInTheirReaders) {
  if (!test::HaveProgram("giftext")) GTEST_SKIP() << "giftext missing";
  for (int bits = 1; bits <= 8; ++bits) {
    for (bool alpha : {false, true}) {
      TLumenaxIO io;
      TLxBitmap& bm = *io.Bitmap();
      bm.Allocate(19, 13, lx24RGB);
      const int colours = (1 << bits) - (alpha ? 1 : 0);
      for (int y = 0; y < 13; ++y)
        for (int x = 0; x < 19; ++x) {
          const int i = (x + y * 19) % std::max(colours, 1);
          bm.SetPixelsRGB24(x, y, CreateRGB(uint8_t(i * 13), uint8_t(200 - i), uint8_t(i * 5)));
        }
      if (alpha) bm.AlphaChannel()->SetPixels8(3, 4, 0);
      io.Params.BitsPerSample = bits;
      io.Params.GifInterlaced = bits % 2;
      io.Params.GifComments = {std::string(400, 'z'), "made here"};
      const std::string name = "w" + std::to_string(bits) + (alpha ? "a" : "") + ".gif";
      io.SaveToFile(dir / name);
      ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
      Run("gifsicle --info " + Q(name) + " > /dev/null");
      std::string text;
      ASSERT_EQ(test::RunCommand("giftext " + Q(name), &text), 0);
      // giftext names the extensions (it does not print a comment's text).
      EXPECT_NE(text.find("GIF89 comment"), std::string::npos) << name;
      EXPECT_NE(text.find("GIF89 graphics control"), std::string::npos) << name;
      Run(std::string(kPython) + " -c \"from PIL import Image; Image.open('" +
          (dir / name).string() + "').convert('RGBA').save('" + (dir / name).string() + ".png')\"");
      RgbaImage theirs;
      ASSERT_TRUE(test::ReadPngRgba(dir / (name + ".png"), theirs));
      RgbaImage source = test::BitmapToRgba(bm);
      // Transparent pixels: only alpha counts.
      for (size_t i = 0; i < source.rgba.size(); i += 4)
        if (source.rgba[i + 3] == 0) {
          std::fill_n(source.rgba.begin() + long(i), 3, 0);
          std::fill_n(theirs.rgba.begin() + long(i), 3, 0);
        }
      if (bits == 1 && !alpha) {
        EXPECT_EQ(test::CountDifferentPixels(source, theirs), 0u) << name;  // two colours
      } else {
        EXPECT_EQ(test::CountDifferentPixels(source, theirs), 0u) << name;
      }
    }
  }
}

}  // namespace
}  // namespace lumenax
