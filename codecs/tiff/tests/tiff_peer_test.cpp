// The TIFF reader against files and pixels no one here made: sample files of Debian packages,
// every variant tiffcp writes of a photo-like image and a bilevel page, ImageMagick's and
// Pillow's files, and copies of them cut short or with bytes flipped.
//
// Reference pixels come from tiff2rgba, or from Pillow for images with alpha (tiff2rgba
// premultiplies), written as PNG by one Python run per test. Lossless data must match
// exactly; 16-bit data within 1; YCbCr within 1, CMYK (plain formula) within 1 and CIE L*a*b*
// within kLabTolerance (the two sides convert through different white points and curves).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bitmap/settings.h"
#include "codecs/tiff/tests/tiff_test_util.h"
#include "tests/support/test_support.h"

namespace lumenax::test {
namespace {

namespace fs = std::filesystem;

const char* kPython = "/usr/bin/python3";
constexpr int kLabTolerance = 32;

// Writes the reference PNG of every "source|target|page" line of the list; a file tiff2rgba
// cannot convert gets no reference.
const char* kReferenceScript = R"PY(
import subprocess, sys, os, tempfile
from PIL import Image
tmp = tempfile.mkdtemp()
for line in open(sys.argv[1]):
    src, dst, page = line.rstrip('\n').split('|')
    page = int(page)
    try:
        im = Image.open(src)
        im.seek(page)
        if im.mode in ('RGBA', 'LA', 'PA'):
            im.convert('RGBA').save(dst)
            continue
    except Exception:
        pass
    one = os.path.join(tmp, 'page.tif')
    rgba = os.path.join(tmp, 'rgba.tif')
    plain = os.path.join(tmp, 'plain.tif')
    for f in (one, rgba, plain):
        if os.path.exists(f): os.remove(f)
    # tiffcp would code JPEG data again: the first page is converted as it is.
    if page == 0:
        one = src
        ok = True
    else:
        ok = subprocess.run(['tiffcp', '-c', 'none', '%s,%d' % (src, page), one],
                            capture_output=True).returncode == 0
    ok = ok and subprocess.run(['tiff2rgba', '-c', 'none', one, rgba], capture_output=True).returncode == 0
    ok = ok and subprocess.run(['tiffcp', '-f', 'msb2lsb', rgba, plain], capture_output=True).returncode == 0
    if ok:
        try:
            Image.open(plain).convert('RGBA').save(dst)
        except Exception:
            pass
)PY";

bool HavePeers() {
  return HaveProgram("tiffcp") && HaveProgram("tiff2rgba") && HaveProgram(kPython) &&
         RunCommand(std::string(kPython) + " -c 'import PIL' 2>/dev/null") == 0;
}

struct Case {
  fs::path file;
  int page = 0;
  int tolerance = 0;
  std::string name;
};

// The largest difference of any channel at any pixel, -1 for different sizes.
int MaxDifference(const RgbaImage& a, const RgbaImage& b) {
  if (a.width != b.width || a.height != b.height) return -1;
  int worst = 0;
  for (size_t i = 0; i < a.rgba.size(); ++i)
    worst = std::max(worst, std::abs(a.rgba[i] - b.rgba[i]));
  return worst;
}

RgbaImage Ours(const fs::path& file, int page, std::string& failure) {
  auto r = LoadTiff(ReadFileBytes(file), {.index = page});
  if (r->aborting) failure = r->reason.Text();
  if (r->mask) r->bitmap.AlphaChannel()->CopyFromMask(r->mask.get());
  return BitmapToRgba(r->bitmap);
}

// Compares every case with its reference; cases without one are counted and skipped.
void CompareAll(const std::vector<Case>& cases, size_t minimumCompared) {
  TempDir dir;
  std::ofstream list(dir / "list.txt");
  for (size_t i = 0; i < cases.size(); ++i)
    list << cases[i].file.string() << '|' << (dir / (std::to_string(i) + ".png")).string() << '|'
         << cases[i].page << '\n';
  list.close();
  std::ofstream(dir / "ref.py") << kReferenceScript;
  ASSERT_EQ(RunCommand(std::string(kPython) + " " + ShellQuote((dir / "ref.py").string()) + " " +
                       ShellQuote((dir / "list.txt").string())),
            0);
  size_t compared = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    RgbaImage ref;
    if (!ReadPngRgba(dir / (std::to_string(i) + ".png"), ref)) continue;
    std::string failure;
    RgbaImage ours = Ours(c.file, c.page, failure);
    EXPECT_EQ(failure, "") << c.name;
    const int d = MaxDifference(ours, ref);
    EXPECT_GE(d, 0) << c.name << ": sizes differ";
    EXPECT_LE(d, c.tolerance) << c.name << " page " << c.page;
    ++compared;
  }
  EXPECT_GE(compared, minimumCompared);
}

fs::path DataDir(const char* package, const char* sub) {
  fs::path root = TestDataDir();
  if (root.empty() || !fs::exists(root / package)) return {};
  return root / package / sub;
}

std::vector<fs::path> TiffFilesUnder(const fs::path& dir) {
  std::vector<fs::path> out;
  if (dir.empty() || !fs::exists(dir)) return out;
  for (auto& e : fs::recursive_directory_iterator(dir)) {
    const std::string ext = e.path().extension().string();
    if (e.is_regular_file() && (ext == ".tif" || ext == ".tiff")) out.push_back(e.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST(TiffPeers, DebianSampleFilesMatchTheirReferences) {
  if (!HavePeers()) GTEST_SKIP() << "tiffcp, tiff2rgba or Pillow missing";
  std::vector<Case> cases;
  for (auto [package, sub] :
       {std::pair{"golang-golang-x-image-dev", "usr/share/gocode/src/golang.org/x/image/testdata"},
        std::pair{"librust-tiff-dev", "usr/share/cargo/registry"},
        std::pair{"golang-github-rwcarlsen-goexif-dev",
                  "usr/share/gocode/src/github.com/rwcarlsen/goexif/tiff"}}) {
    for (const fs::path& p : TiffFilesUnder(DataDir(package, sub))) {
      const bool sixteen = p.filename().string().find("16bit") != std::string::npos;
      cases.push_back({p, 0, sixteen ? 1 : 0, p.filename().string()});
    }
  }
  if (cases.empty()) GTEST_SKIP() << "test data not fetched (scripts/fetch-test-data)";
  CompareAll(cases, 15);
}

TEST(TiffPeers, ValidatorSamplesLoadAndBrokenOnesNeitherCrashNorHang) {
  fs::path root = DataDir("checkit-tiff", "usr/share/checkit_tiff");
  if (root.empty()) GTEST_SKIP() << "checkit-tiff samples not fetched";
  size_t n = 0;
  for (const fs::path& p : TiffFilesUnder(root / "tiffs_should_pass")) {
    auto r = LoadTiff(ReadFileBytes(p));
    EXPECT_FALSE(r->aborting) << p.filename() << ": " << r->reason.Text();
    EXPECT_FALSE(r->bitmap.IsEmpty()) << p.filename();
    ++n;
  }
  EXPECT_GE(n, 8u);
  for (const fs::path& p : TiffFilesUnder(root / "tiffs_should_fail")) {
    auto r = LoadTiff(ReadFileBytes(p));
    // Loaded or refused with a reason: nothing in between.
    EXPECT_EQ(r->aborting, bool(r->reason)) << p.filename();
    EXPECT_LE(r->count, 65535);
  }
}

class TiffPeerFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HavePeers()) GTEST_SKIP() << "tiffcp, tiff2rgba or Pillow missing";
    // A photo-like image with edges that do not fall on tile or strip boundaries, and a
    // bilevel page.
    const std::string script =
        "from PIL import Image, ImageDraw\n"
        "import random\n"
        "random.seed(7)\n"
        "im = Image.new('RGB', (123, 77))\n"
        "px = im.load()\n"
        "for y in range(77):\n"
        "    for x in range(123):\n"
        "        px[x, y] = ((x * 2 + y) % 256, (y * 3) % 256, (x * y // 7 + random.randint(0, "
        "20)) "
        "% 256)\n"
        "im.save('" +
        (dir_ / "photo.tif").string() +
        "')\n"
        "bw = Image.new('1', (301, 97), 1)\n"
        "d = ImageDraw.Draw(bw)\n"
        "for i in range(0, 300, 7): d.line((i, 0, 300 - i, 96), fill=0)\n"
        "d.rectangle((50, 20, 120, 60), fill=0)\n"
        "bw.save('" +
        (dir_ / "page.tif").string() + "')\n";
    ASSERT_EQ(RunCommand(std::string(kPython) + " -c " + ShellQuote(script)), 0);
  }
  fs::path Make(const std::string& name, const std::string& command) {
    fs::path p = dir_ / name;
    if (RunCommand(command + " " + ShellQuote(p.string()) + " 2>/dev/null") != 0) return {};
    return p;
  }
  std::string In(const char* name) { return ShellQuote((dir_ / name).string()); }
  TempDir dir_;
};

TEST_F(TiffPeerFiles, EveryTiffcpVariantMatches) {
  std::vector<Case> cases;
  int n = 0;
  const char* layouts[] = {"-r 16", "-t -w 32 -l 16"};
  for (const char* c : {"none", "packbits", "lzw", "lzw:2", "zip", "zip:2", "jpeg"})
    for (const char* layout : layouts)
      for (const char* planar : {"contig", "separate"})
        for (const char* order : {"-B", "-L"}) {
          // Fill order 2 on half of them.
          const std::string fill = (n % 2) ? " -f lsb2msb" : "";
          const std::string args =
              std::string("-c ") + c + " " + layout + " -p " + planar + " " + order + fill;
          ++n;
          // JPEG in separate planes is not decoded (see the reader); tiffcp cannot write it
          // tiled at all.
          if (std::string(c) == "jpeg" && std::string(planar) == "separate") continue;
          fs::path p =
              Make("p" + std::to_string(n) + ".tif", "tiffcp " + args + " " + In("photo.tif"));
          if (!p.empty()) cases.push_back({p, 0, 0, args});
        }
  for (const char* c : {"none", "packbits", "lzw", "g3", "g3:2d", "g3:2d:fill", "g4", "zip"})
    for (const char* layout : layouts)
      for (const char* order : {"-B", "-L"})
        for (const char* fill : {"", " -f lsb2msb"}) {
          const std::string args = std::string("-c ") + c + " " + layout + " " + order + fill;
          ++n;
          fs::path p =
              Make("b" + std::to_string(n) + ".tif", "tiffcp " + args + " " + In("page.tif"));
          if (!p.empty()) cases.push_back({p, 0, 0, "page " + args});
        }
  // tiff2rgba cannot read tiffcp's uncompressed tiles (their last byte counts are short), so
  // some variants have no reference.
  CompareAll(cases, 90);
}

TEST_F(TiffPeerFiles, ImageMagickAndPillowFilesAndTheirPages) {
  if (!HaveProgram("/usr/bin/convert")) GTEST_SKIP() << "ImageMagick missing";
  const std::string im = "/usr/bin/convert " + In("photo.tif");
  std::vector<Case> cases;
  auto add = [&](const std::string& name, const std::string& command, int tolerance) {
    fs::path p = Make(name, command);
    ASSERT_FALSE(p.empty()) << command;
    cases.push_back({p, 0, tolerance, name});
  };
  add("g2.tif", im + " -colorspace gray -depth 2", 0);
  add("g4.tif", im + " -colorspace gray -depth 4", 0);
  add("g8.tif", im + " -colorspace gray -depth 8", 0);
  add("g8w.tif", im + " -colorspace gray -depth 8 -define quantum:polarity=min-is-white", 0);
  add("g16.tif", im + " -colorspace gray -depth 16", 1);
  add("p4.tif", im + " -colors 16 -type palette -depth 4", 0);
  add("p8.tif", im + " -colors 200 -type palette", 0);
  add("rgba.tif", im + " \\( +clone -fx i/w \\) -alpha off -compose copy_opacity -composite", 0);
  add("rgb16.tif", im + " -depth 16", 1);
  add("rgba16lzw.tif",
      im + " \\( +clone -fx j/h \\) -alpha off -compose copy_opacity -composite "
           "-depth 16 -compress lzw -define tiff:predictor=2",
      1);
  add("cmyk.tif", im + " -colorspace cmyk", 1);
  add("lab.tif", im + " -colorspace Lab", kLabTolerance);
  const std::string pil = std::string(kPython) + " -c " +
                          ShellQuote(
                              "import sys\nfrom PIL import Image\n"
                              "im = Image.open(sys.argv[1])\n"
                              "m = sys.argv[3]\n"
                              "im.convert(m).save(sys.argv[2], compression=sys.argv[4] or None)") +
                          " " + In("photo.tif");
  // Pillow's arguments: target, mode, compression.
  auto pillow = [&](const std::string& name, const std::string& mode, const std::string& comp,
                    int tolerance) {
    fs::path p = dir_ / name;
    ASSERT_EQ(RunCommand(pil + " " + ShellQuote(p.string()) + " " + mode + " '" + comp + "'"), 0);
    cases.push_back({p, 0, tolerance, name});
  };
  pillow("pil_l.tif", "L", "tiff_lzw", 0);
  pillow("pil_la.tif", "LA", "", 0);
  pillow("pil_rgba.tif", "RGBA", "tiff_adobe_deflate", 0);
  pillow("pil_p.tif", "P", "packbits", 0);
  pillow("pil_cmyk.tif", "CMYK", "", 1);
  pillow("pil_ycbcr.tif", "YCbCr", "", 1);

  // Several pages: ImageMagick's and Pillow's.
  fs::path multi = Make("multi.tif", "/usr/bin/convert " + In("photo.tif") + " " + In("page.tif") +
                                         " " + In("photo.tif") + " -compress lzw");
  ASSERT_FALSE(multi.empty());
  fs::path pilMulti = dir_ / "pil_multi.tif";
  ASSERT_EQ(
      RunCommand(std::string(kPython) + " -c " +
                 ShellQuote("import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1])\n"
                            "im.save(sys.argv[2], save_all=True, append_images=[im.convert('L'), "
                            "im.convert('1'), im.convert('RGBA')])") +
                 " " + In("photo.tif") + " " + ShellQuote(pilMulti.string())),
      0);
  for (int page = 0; page < 3; ++page) cases.push_back({multi, page, 0, "multi"});
  for (int page = 0; page < 4; ++page) cases.push_back({pilMulti, page, 0, "pil_multi"});
  EXPECT_EQ(LoadTiff(ReadFileBytes(multi))->count, 3);
  EXPECT_EQ(LoadTiff(ReadFileBytes(pilMulti))->count, 4);

  // CMYK through the plain formula, as tiff2rgba converts.
  const bool profile = UseCmykProfile;
  UseCmykProfile = false;
  CompareAll(cases, cases.size());
  UseCmykProfile = profile;
}

TEST_F(TiffPeerFiles, CutAndFlippedCopiesNeitherCrashNorLeak) {
  std::vector<fs::path> files = {
      Make("lzw.tif", "tiffcp -c lzw:2 -r 8 " + In("photo.tif")),
      Make("tiles.tif", "tiffcp -c zip -t -w 16 -l 16 -p separate " + In("photo.tif")),
      Make("jpeg.tif", "tiffcp -c jpeg -r 16 " + In("photo.tif")),
      Make("g4.tif", "tiffcp -c g4 " + In("page.tif")),
      Make("g3.tif", "tiffcp -c g3:2d " + In("page.tif")),
      Make("pack.tif", "tiffcp -c packbits -B " + In("page.tif"))};
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  for (const fs::path& p : files) {
    ASSERT_FALSE(p.empty());
    const Bytes whole = ReadFileBytes(p);
    for (size_t cut = 0; cut < whole.size(); cut += 1 + whole.size() / 97) {
      auto r = LoadTiff(Bytes(whole.begin(), whole.begin() + long(cut)), {.maxPixels = 1 << 20});
      EXPECT_EQ(r->aborting, bool(r->reason));
    }
    for (int round = 0; round < 60; ++round) {
      Bytes b = whole;
      for (int k = 0; k < 4; ++k) b[next() % b.size()] ^= uint8_t(1 + next() % 255);
      auto r = LoadTiff(b, {.native = (round & 1) != 0, .maxPixels = 1 << 20});
      EXPECT_EQ(r->aborting, bool(r->reason));
    }
  }
}

}  // namespace
}  // namespace lumenax::test
