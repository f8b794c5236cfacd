// Icons and cursors exchanged with other people's programs: Debian's sample icons load with
// the pixels Pillow and netpbm decode and the directory icoutils lists; icons that Pillow,
// ImageMagick and netpbm write load as Pillow decodes them; the icons we write, every depth,
// decode in Pillow and netpbm as our source.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "bitmap/byte_reader.h"
#include "bitmap/stream.h"
#include "codecs/ico/ico.h"
#include "codecs/ico/tests/ico_test_util.h"
#include "io/lumenax_io.h"
#include "io/param_fields.h"

namespace lumenax::test {
namespace {

namespace fs = std::filesystem;

const char* const kPython = "/usr/bin/python3";
const char* const kConvert = "/usr/bin/convert";  // not the stand-in on PATH

bool HavePillow() {
  return HaveProgram(kPython) &&
         RunCommand(std::string(kPython) + " -c 'import PIL' 2>/dev/null") == 0;
}

bool RunIn(const fs::path& dir, const std::string& commands) {
  return RunCommand("cd " + ShellQuote(dir.string()) + " && " + commands) == 0;
}

// Pillow's decode of every entry of an icon, as <out>/<offset>.png (Pillow sorts its entries,
// so they are matched by the offset of their data).
const char* const kPillowFrames = R"(
import sys
from PIL import IcoImagePlugin
f = IcoImagePlugin.IcoFile(open(sys.argv[1], 'rb'))
for i, e in enumerate(f.entry):
    try:
        f.frame(i).convert('RGBA').save('%s/%d.png' % (sys.argv[2], e['offset']))
    except Exception as x:
        print('pillow: entry at %d: %s' % (e['offset'], x), file=sys.stderr)
)";

struct DirEntry {
  int width, height;
  uint32_t offset;
};

std::vector<DirEntry> Directory(const Bytes& f) {
  std::vector<DirEntry> out;
  const int n = f.size() >= 6 ? LoadU16LE(&f[4]) : 0;
  for (int i = 0; i < n && 6 + 16 * size_t(i + 1) <= f.size(); ++i) {
    const uint8_t* e = &f[6 + 16 * size_t(i)];
    out.push_back({e[0], e[1], LoadU32LE(e + 12)});
  }
  return out;
}

// The entries IcoImageIndex counts, in its order (directory positions).
std::vector<int> Selectable(const std::vector<DirEntry>& dir) {
  std::vector<int> out;
  for (size_t i = 0; i < dir.size(); ++i)
    if (dir[i].width && dir[i].height) out.push_back(int(i));
  if (out.empty())
    for (size_t i = 0; i < dir.size(); ++i) out.push_back(int(i));
  return out;
}

// Pixels whose alpha differs, or whose colour differs where both are not fully transparent
// (readers give transparent pixels different colours: we give them the background).
size_t Differences(const RgbaImage& a, const RgbaImage& b, int tolerance = 0) {
  if (a.width != b.width || a.height != b.height) return size_t(-1);
  size_t n = 0;
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x) {
      const uint8_t *p = a.at(x, y), *q = b.at(x, y);
      bool differ = std::abs(p[3] - q[3]) > tolerance;
      if (p[3] != 0 || q[3] != 0)
        for (int c = 0; c < 3; ++c) differ |= std::abs(p[c] - q[c]) > tolerance;
      n += differ;
    }
  return n;
}

struct OurLoad {
  RgbaImage image;
  bool aborting = true;
  std::string reason;
  std::string sizes, counts;
  int hotX = -1, hotY = -1;
};

OurLoad LoadOurs(const fs::path& file, int index, bool cursor = false) {
  TLumenaxIO io;
  io.Params.SetImageIndex(index);
  if (cursor)
    io.LoadFromFileCur(file);
  else
    io.LoadFromFileIco(file);
  OurLoad out;
  out.aborting = io.Aborting;
  out.reason = io.FailureReason.Text();
  out.image = BitmapToRgba(*io.Bitmap());
  out.sizes = IcoParams::IcoSizesText(io.Params);
  out.counts = IcoParams::IcoBitCountsText(io.Params);
  out.hotX = io.Params.CurHotspotX, out.hotY = io.Params.CurHotspotY;
  return out;
}

// Every selectable image of the icon against Pillow's decode of the same entry (and
// netpbm's, unless the icon has PNG entries netpbm leaves to an external program).
void ExpectLikePeers(const fs::path& icon, bool netpbm, int tolerance = 0) {
  SCOPED_TRACE(icon.filename().string());
  TempDir dir;
  std::ofstream(dir / "frames.py") << kPillowFrames;
  ASSERT_TRUE(
      RunIn(dir.path(), std::string(kPython) + " frames.py " + ShellQuote(icon.string()) + " ."));
  const Bytes bytes = ReadFileBytes(icon);
  const std::vector<DirEntry> d = Directory(bytes);
  const std::vector<int> sel = Selectable(d);
  ASSERT_FALSE(sel.empty());
  for (size_t k = 0; k < sel.size(); ++k) {
    SCOPED_TRACE("image " + std::to_string(k));
    const DirEntry& e = d[size_t(sel[k])];
    OurLoad ours = LoadOurs(icon, int(k));
    ASSERT_FALSE(ours.aborting) << ours.reason;
    RgbaImage pil;
    ASSERT_TRUE(ReadPngRgba(dir / (std::to_string(e.offset) + ".png"), pil));
    EXPECT_EQ(Differences(ours.image, pil, tolerance), 0u) << "Pillow";
    if (netpbm && HaveProgram("/usr/bin/winicontopam")) {
      const std::string pam = "nb" + std::to_string(k) + ".pam";
      ASSERT_TRUE(RunIn(dir.path(), "/usr/bin/winicontopam -image=" + std::to_string(sel[k]) + " " +
                                        ShellQuote(icon.string()) + " > " + pam + " 2>/dev/null"));
      RgbaImage nb;
      ASSERT_TRUE(ReadPamRgba(dir / pam, nb));
      EXPECT_EQ(Differences(ours.image, nb, tolerance), 0u) << "netpbm";
    }
  }
}

// What icoutils lists: "WxH" and bit depths of the entries IcoImageIndex counts.
void ExpectDirectoryLikeIcotool(const fs::path& icon) {
  std::string listing;
  ASSERT_EQ(
      RunCommand("/usr/bin/icotool -l " + ShellQuote(icon.string()) + " 2>/dev/null", &listing), 0);
  // Lines of "--width=W --height=H --bit-depth=B".
  auto field = [](const std::string& l, const std::string& name) {
    size_t at = l.find("--" + name + "=");
    return at == std::string::npos
               ? std::string()
               : l.substr(at + name.size() + 3, l.find(' ', at) - (at + name.size() + 3));
  };
  std::vector<std::string> sizes, counts, sizedSizes, sizedCounts;
  std::istringstream lines(listing);
  for (std::string l; std::getline(lines, l);) {
    const std::string s = field(l, "width") + "x" + field(l, "height");
    sizes.push_back(s), counts.push_back(field(l, "bit-depth"));
    if (s != "256x256") sizedSizes.push_back(s), sizedCounts.push_back(field(l, "bit-depth"));
  }
  if (!sizedSizes.empty()) sizes = sizedSizes, counts = sizedCounts;
  auto join = [](const std::vector<std::string>& v) {
    std::string out;
    for (size_t i = 0; i < v.size() && i < 16; ++i) out += (i ? "," : "") + v[i];
    return out;
  };
  OurLoad ours = LoadOurs(icon, 0);
  EXPECT_EQ(ours.sizes, join(sizes)) << icon;
  EXPECT_EQ(ours.counts, join(counts)) << icon;
}

fs::path Gdk() {
  return TestDataDir() / "gdk-pixbuf-tests/usr/libexec/installed-tests/gdk-pixbuf/test-images";
}
fs::path Nsis() {
  return TestDataDir() / "nsis-common/usr/share/nsis/Contrib/Graphics/Icons";
}
fs::path Wx() {
  return TestDataDir() / "wx3.2-examples/usr/share/doc/wx3.2-examples/examples/samples/image";
}

TEST(IcoPeers, DebianIconsLoadAsPillowAndNetpbmDecodeThem) {
  if (!fs::exists(Nsis())) GTEST_SKIP() << "nsis-common samples not fetched";
  if (!HavePillow()) GTEST_SKIP() << "no Pillow";
  int files = 0;
  for (const auto& f : fs::directory_iterator(Nsis())) {
    if (f.path().extension() != ".ico") continue;
    ExpectLikePeers(f.path(), true);
    if (HaveProgram("/usr/bin/icotool")) ExpectDirectoryLikeIcotool(f.path());
    ++files;
  }
  EXPECT_GT(files, 20);
  if (fs::exists(Wx() / "horse.ico")) ExpectLikePeers(Wx() / "horse.ico", true);
  if (fs::exists(Gdk())) {
    ExpectLikePeers(Gdk() / "reftests/bug785447.ico", false);
    ExpectDirectoryLikeIcotool(Gdk() / "reftests/bug785447.ico");
  }
}

TEST(IcoPeers, CursorHotspotAndPixels) {
  if (!fs::exists(Wx() / "horse.cur")) GTEST_SKIP() << "wx3.2-examples samples not fetched";
  OurLoad ours = LoadOurs(Wx() / "horse.cur", 0, true);
  ASSERT_FALSE(ours.aborting) << ours.reason;
  EXPECT_EQ(ours.hotX, 16);
  EXPECT_EQ(ours.hotY, 23);
  // The cursor's images are the icon's: Pillow reads the bytes as an icon.
  if (!HavePillow()) return;
  TempDir dir;
  Bytes b = ReadFileBytes(Wx() / "horse.cur");
  b[2] = 1;
  WriteFileBytes(dir / "as.ico", b);
  std::ofstream(dir / "frames.py") << kPillowFrames;
  ASSERT_TRUE(RunIn(dir.path(), std::string(kPython) + " frames.py as.ico ."));
  RgbaImage pil;
  ASSERT_TRUE(ReadPngRgba(dir / (std::to_string(Directory(b)[0].offset) + ".png"), pil));
  EXPECT_EQ(Differences(ours.image, pil), 0u);
}

TEST(IcoPeers, GdkPixbufReferencesAndBrokenFiles) {
  if (!fs::exists(Gdk())) GTEST_SKIP() << "gdk-pixbuf-tests samples not fetched";
  struct Ref {
    const char* icon;
    int index;
  };
  for (Ref r : {Ref{"squares.ico", 0}, Ref{"bug785447.ico", 8}}) {
    OurLoad ours = LoadOurs(Gdk() / "reftests" / r.icon, r.index);
    ASSERT_FALSE(ours.aborting) << r.icon << ": " << ours.reason;
    RgbaImage ref;
    ASSERT_TRUE(ReadPngRgba(Gdk() / "reftests" / (std::string(r.icon) + ".ref.png"), ref));
    EXPECT_EQ(Differences(ours.image, ref), 0u) << r.icon;
  }
  int files = 0;
  for (const char* sub : {"fail", "randomly-modified"}) {
    for (const auto& f : fs::directory_iterator(Gdk() / sub)) {
      if (f.path().extension() != ".ico") continue;
      for (int index : {0, 1}) {
        TLumenaxIO io;
        io.Params.SetImageIndex(index);
        io.LoadFromFileIco(f.path());
        EXPECT_EQ(io.Aborting, bool(io.FailureReason)) << f.path();
      }
      ++files;
    }
  }
  EXPECT_GE(files, 8);
}

// A 37 x 29 source (odd sizes) of up to 240 colours with transparent and half-transparent
// pixels, one of twelve colours for 4-bit images and a black-and-white one for 1-bit images.
const char* const kMakeSources = R"(
from PIL import Image
im = Image.new('RGBA', (37, 29))
for y in range(29):
    for x in range(37):
        c = ((x // 7) * 50 % 256, (y // 6) * 60 % 256, ((x + y) // 9) * 80 % 256)
        a = 0 if (x < 3 and y < 3) else (128 if (x, y) == (5, 5) else 255)
        im.putpixel((x, y), c + (a,))
im.save('src.png')
bw = Image.new('RGBA', (37, 29))
for y in range(29):
    for x in range(37):
        v = 255 if (x * y) % 7 < 3 else 0
        bw.putpixel((x, y), (v, v, v, 0 if x == y else 255))
bw.save('bw.png')
few = Image.new('RGBA', (37, 29))
colours = [(20 * i, 255 - 20 * i, (90 * i) % 256) for i in range(12)]
for y in range(29):
    for x in range(37):
        few.putpixel((x, y), colours[(x // 8 + y // 5) % 12] + (im.getpixel((x, y))[3],))
few.save('few.png')
square = im.resize((48, 48), Image.NEAREST)
square.save('square.png')
square.save('pil-png.ico', sizes=[(16, 16), (32, 32), (48, 48)])
square.save('pil-bmp.ico', sizes=[(16, 16), (24, 24), (48, 48)], bitmap_format='bmp')
square.convert('RGB').save('square.ppm')
alpha = square.getchannel('A').point(lambda a: 255 if a == 255 else 0)
alpha.save('alpha.pgm')
)";

TEST(IcoPeers, IconsPeersWriteLoadAsPillowDecodesThem) {
  if (!HavePillow()) GTEST_SKIP() << "no Pillow";
  TempDir dir;
  std::ofstream(dir / "make.py") << kMakeSources;
  ASSERT_TRUE(RunIn(dir.path(), std::string(kPython) + " make.py"));
  std::vector<std::string> icons = {"pil-png.ico", "pil-bmp.ico"};
  if (HaveProgram(kConvert)) {
    ASSERT_TRUE(RunIn(dir.path(), std::string(kConvert) +
                                      " square.png -define icon:auto-resize=48,32,16 im.ico && " +
                                      kConvert + " square.png -colors 12 im-pal.ico"));
    icons.push_back("im.ico"), icons.push_back("im-pal.ico");
  }
  if (HaveProgram("/usr/bin/pamtowinicon")) {
    ASSERT_TRUE(RunIn(dir.path(),
                      "pamstack square.ppm alpha.pgm 2>/dev/null | pamtopam 2>/dev/null | "
                      "sed '0,/TUPLTYPE/s/TUPLTYPE.*/TUPLTYPE RGB_ALPHA/' > sq.pam && "
                      "/usr/bin/pamtowinicon sq.pam > nb.ico 2>/dev/null"));
    icons.push_back("nb.ico");
  }
  for (const std::string& name : icons) ExpectLikePeers(dir / name, false);
}

TEST(IcoPeers, OurIconsDecodeInPillowAndNetpbmAsTheSource) {
  if (!HavePillow()) GTEST_SKIP() << "no Pillow";
  TempDir dir;
  std::ofstream(dir / "make.py") << kMakeSources;
  ASSERT_TRUE(RunIn(dir.path(), std::string(kPython) + " make.py"));
  struct Case {
    const char* source;
    int32_t count;
    int spp, bps;  // the record's pair, for bit count 0
    int depth;     // what the file then holds
  };
  const Case cases[] = {
      {"bw.png", 1, 0, 0, 1},    {"few.png", 4, 0, 0, 4},   {"src.png", 8, 0, 0, 8},
      {"src.png", 24, 0, 0, 24}, {"src.png", 32, 0, 0, 32}, {"src.png", 0, 3, 8, 24},
      {"src.png", 0, 4, 8, 32},  {"bw.png", 0, 1, 1, 1},    {"few.png", 0, 1, 4, 4},
      {"src.png", 0, 1, 8, 8},
  };
  for (const Case& c : cases) {
    const std::string tag =
        std::string(c.source) + " bits " + std::to_string(c.count) + "/" + std::to_string(c.depth);
    SCOPED_TRACE(tag);
    TLumenaxIO io;
    io.LoadFromFile(dir / c.source);
    ASSERT_FALSE(io.Aborting);
    RgbaImage src = BitmapToRgba(*io.Bitmap());
    // The source's size first (compared pixel for pixel), then sizes made by resampling.
    const std::string sizes = "37x29,16x16,24x24,256x256,13x7";
    ASSERT_EQ(SetIOValue(io, "IcoSizes", sizes), SetValueResult::Ok);
    const std::string n = std::to_string(c.count);
    ASSERT_EQ(SetIOValue(io, "IcoBitCounts", n + "," + n + "," + n + "," + n + "," + n),
              SetValueResult::Ok);
    if (c.count == 0) io.Params.SamplesPerPixel = c.spp, io.Params.BitsPerSample = c.bps;
    // Written 100 bytes into a stream, then cut out of it.
    TMemoryStream s;
    s.SetSize(100);
    s.Seek(100, soBeginning);
    io.SaveToStreamIco(s);
    ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
    const Bytes bytes(s.Bytes().begin() + 100, s.Bytes().end());
    const fs::path icon = dir / "ours.ico";
    WriteFileBytes(icon, bytes);
    std::string listing;
    ASSERT_EQ(RunCommand("/usr/bin/icotool -l " + icon.string() + " 2>/dev/null", &listing), 0);
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 5) << listing;
    EXPECT_NE(listing.find("--bit-depth=" + std::to_string(c.depth)), std::string::npos) << listing;
    for (const char* size : {"width=13 --height=7", "width=256 --height=256"})
      EXPECT_NE(listing.find(size), std::string::npos) << listing;

    std::ofstream(dir / "frames.py") << kPillowFrames;
    fs::create_directories(dir / "pil");
    ASSERT_TRUE(RunIn(dir.path(), std::string(kPython) + " frames.py ours.ico pil"));
    const uint32_t first = Directory(bytes)[0].offset;
    RgbaImage pil, nb;
    ASSERT_TRUE(ReadPngRgba(dir / "pil" / (std::to_string(first) + ".png"), pil));
    ASSERT_TRUE(RunIn(dir.path(), "/usr/bin/winicontopam -image=0 ours.ico > nb.pam 2>/dev/null"));
    ASSERT_TRUE(ReadPamRgba(dir / "nb.pam", nb));
    // Below 32 bits the half-transparent pixel is transparent.
    RgbaImage want = src;
    for (size_t i = 3; i < want.rgba.size(); i += 4)
      if (c.depth != 32 && want.rgba[i] != 255) want.rgba[i] = 0;
    EXPECT_EQ(Differences(pil, want), 0u) << "Pillow";
    EXPECT_EQ(Differences(nb, want), 0u) << "netpbm";
    // Every image loads in both at the size asked for.
    for (int k = 1; k < 5; ++k) {
      const std::string pam = "nb" + std::to_string(k) + ".pam";
      ASSERT_TRUE(RunIn(dir.path(), "/usr/bin/winicontopam -image=" + std::to_string(k) +
                                        " ours.ico > " + pam + " 2>/dev/null"));
      RgbaImage im;
      ASSERT_TRUE(ReadPamRgba(dir / pam, im));
      const char* const wanted[] = {"", "16x16", "24x24", "256x256", "13x7"};
      EXPECT_EQ(std::to_string(im.width) + "x" + std::to_string(im.height), wanted[k]);
    }
    fs::remove_all(dir / "pil");
  }
}

}  // namespace
}  // namespace lumenax::test
