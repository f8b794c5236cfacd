// BMP files exchanged with Debian's Pillow and ImageMagick: what they write loads with the
// pixels they decode themselves, and what this writer produces they decode as we do.
#include <gtest/gtest.h>

#include <fstream>

#include "codecs/bmp/tests/bmp_test_util.h"
#include "tests/support/test_support.h"

namespace lumenax::test {
namespace {

const char* const kPython = "/usr/bin/python3";
const char* const kConvert = "/usr/bin/convert";  // not the stand-in on PATH

bool HavePillow() {
  return HaveProgram(kPython) &&
         RunCommand(std::string(kPython) + " -c 'import PIL' 2>/dev/null") == 0;
}
bool HaveImageMagick() {
  return HaveProgram(kConvert);
}

bool RunPython(const TempDir& dir, const std::string& script) {
  std::filesystem::path file = dir / "script.py";
  std::ofstream(file) << script;
  return RunCommand("cd " + ShellQuote(dir.path().string()) + " && " + kPython + " " +
                    ShellQuote(file.string())) == 0;
}

// Decodes every file matching the pattern into <file>.im.pam, 8-bit RGBA (PAM, because
// ImageMagick's PNG output trips over the empty gamma of 64-byte headers).
std::string MagickDecodeAll(const std::string& pattern) {
  return "for f in " + pattern + "; do " + kConvert +
         " \"$f\" -depth 8 -type TrueColorAlpha PAM:\"$f.im.pam\" || exit 1; done";
}

bool RunShell(const TempDir& dir, const std::string& commands) {
  return RunCommand("cd " + ShellQuote(dir.path().string()) + " && " + commands) == 0;
}

// A 61 x 37 test card: odd width for row padding, gradients, and a varied alpha.
const char* const kMakeSource = R"(
from PIL import Image
im = Image.new('RGBA', (61, 37))
for y in range(37):
    for x in range(61):
        a = 255 if (x + y) % 5 else (x * 3) % 256
        im.putpixel((x, y), ((x * 4) % 256, (y * 7) % 256, (x * y) % 256, a))
im.save('src.png')
rgb = im.convert('RGB')
rgb.save('rgb.png')
rgb.quantize(12).convert('RGB').save('src12.png')
rgb.quantize(200).convert('RGB').save('src200.png')
)";

// Our decode, as RGBA (the alpha channel from a returned mask).
RgbaImage Decode(const std::filesystem::path& bmp, bool* aborting) {
  TLxBitmap b;
  TIOParamsVals p;
  LoadResult r = LoadBmpFile(bmp, b, p, /*keepAlpha=*/true);
  *aborting = r.aborting;
  return BitmapToRgba(b);
}

// Number of pixels that differ by more than tolerance in a channel; alpha is left out when
// colourOnly (a peer that ignores the fourth byte).
size_t Differences(const RgbaImage& a, const RgbaImage& b, int tolerance, bool colourOnly) {
  if (a.width != b.width || a.height != b.height) return size_t(-1);
  size_t n = 0;
  for (size_t i = 0; i < a.rgba.size(); i += 4) {
    for (size_t c = 0; c < (colourOnly ? 3u : 4u); ++c) {
      if (std::abs(a.rgba[i + c] - b.rgba[i + c]) > tolerance) {
        ++n;
        break;
      }
    }
  }
  return n;
}

struct PeerFile {
  std::string name;   // written by the peer
  int tolerance = 0;  // 16-bit: the peers round where we repeat bits
  bool colourOnly = false;
};

void ExpectSameAsPeer(const TempDir& dir, const std::vector<PeerFile>& files,
                      const std::string& suffix) {
  for (auto& f : files) {
    SCOPED_TRACE(f.name + suffix);
    bool aborting = true;
    RgbaImage ours = Decode(dir / f.name, &aborting);
    EXPECT_FALSE(aborting);
    RgbaImage theirs;
    if (suffix.ends_with(".pam")) {
      ASSERT_TRUE(ReadPamRgba(dir / (f.name + suffix), theirs));
    } else {
      ASSERT_TRUE(ReadPngRgba(dir / (f.name + suffix), theirs));
    }
    EXPECT_EQ(Differences(ours, theirs, f.tolerance, f.colourOnly), 0u);
  }
}

TEST(BmpPeers, FilesWrittenByPillowLoadAsPillowDecodesThem) {
  if (!HavePillow()) GTEST_SKIP() << "Pillow (/usr/bin/python3) not available";
  TempDir dir;
  ASSERT_TRUE(RunPython(dir, std::string(kMakeSource) + R"(
src = Image.open('src.png')
src.convert('1').save('pil1.bmp')
src.convert('L').save('pilL.bmp')
src.convert('RGB').quantize(200).save('pilP.bmp')
src.convert('RGB').save('pil24.bmp')
src.save('pil32.bmp')
for n in ['pil1', 'pilL', 'pilP', 'pil24', 'pil32']:
    Image.open(n + '.bmp').convert('RGBA').save(n + '.bmp.pil.png')
)"));
  ExpectSameAsPeer(dir,
                   {{"pil1.bmp"},
                    {"pilL.bmp"},
                    {"pilP.bmp"},
                    {"pil24.bmp"},
                    // Pillow reads 32-bit files without their fourth byte.
                    {"pil32.bmp", 0, true}},
                   ".pil.png");
  // The alpha Pillow stored in the fourth byte is the source's.
  bool aborting = true;
  RgbaImage ours = Decode(dir / "pil32.bmp", &aborting);
  RgbaImage src;
  ASSERT_TRUE(ReadPngRgba(dir / "src.png", src));
  EXPECT_EQ(CountDifferentPixels(ours, src), 0u);
}

TEST(BmpPeers, FilesWrittenByImageMagickLoadAsItDecodesThem) {
  if (!HavePillow() || !HaveImageMagick()) GTEST_SKIP() << "Pillow or ImageMagick not available";
  TempDir dir;
  ASSERT_TRUE(RunPython(dir, kMakeSource));
  const std::string c = kConvert;
  ASSERT_TRUE(RunShell(dir, c + " rgb.png -type Bilevel BMP3:im1.bmp && " + c +
                                " src12.png -type Palette -compress None BMP3:im4.bmp && " + c +
                                " src12.png -type Palette BMP2:im4os2.bmp && " + c +
                                " src200.png -type Palette -compress None BMP3:im8.bmp && " + c +
                                " src200.png -type Palette -compress RLE BMP3:im8rle.bmp && " + c +
                                " src200.png -type Palette BMP2:im8os2.bmp && " + c +
                                " rgb.png -define bmp:subtype=RGB565 BMP:im565.bmp && " + c +
                                " rgb.png -define bmp:subtype=RGB555 BMP:im555.bmp && " + c +
                                " rgb.png BMP3:im24.bmp && " + c + " rgb.png BMP2:im24os2.bmp && " +
                                c + " src.png -define bmp3:alpha=true BMP3:im32.bmp && " + c +
                                " src.png -type TrueColorAlpha BMP:im32v5.bmp && " +
                                MagickDecodeAll("im*.bmp")));
  ExpectSameAsPeer(dir,
                   {{"im1.bmp"},
                    {"im4.bmp"},
                    {"im4os2.bmp"},
                    {"im8.bmp"},
                    {"im8rle.bmp"},
                    {"im8os2.bmp"},
                    {"im565.bmp", 1},
                    {"im555.bmp", 1},
                    {"im24.bmp"},
                    {"im24os2.bmp"},
                    {"im32.bmp"},
                    {"im32v5.bmp"}},
                   ".im.pam");
}

// What this writer produces, decoded by the peers, equals what our reader decodes; and our
// reader gives back the source wherever the output depth is lossless for it.
TEST(BmpPeers, FilesWeWriteDecodeIdenticallyInThePeers) {
  const bool pillow = HavePillow(), magick = HaveImageMagick();
  if (!pillow && !magick) GTEST_SKIP() << "neither Pillow nor ImageMagick available";
  TempDir dir;

  // Sources: 16 and 200 colours as lx8p, black and white as lx1g, true colour with alpha.
  TLxBitmap p16(61, 37, lx8p), p200(61, 37, lx8p), bw(61, 37, lx1g), rgba(61, 37, lx24RGB);
  for (int i = 0; i < 256; ++i) {
    TRGB c = CreateRGB(uint8_t(i * 13), uint8_t(255 - i), uint8_t(i * i / 7));
    p16.SetPaletteEntry(i, c);
    p200.SetPaletteEntry(i, c);
  }
  for (int y = 0; y < 37; ++y) {
    for (int x = 0; x < 61; ++x) {
      p16.ScanLine(y)[x] = uint8_t(x / 7 == y / 5 ? 3 : (x * y + x) % 16);
      p200.ScanLine(y)[x] = uint8_t(x < 30 ? (x / 4 + y) % 200 : (x * 7 + y * 3) % 200);
      if ((x ^ y) & 4) bw.ScanLine(y)[x >> 3] |= uint8_t(0x80 >> (x & 7));
      rgba.SetPixelsRGB24(x, y, CreateRGB(uint8_t(x * 4), uint8_t(y * 7), uint8_t(x * y)));
      rgba.SetAlphaValue(x, y, uint8_t((x + y) % 5 ? 255 : x * 3));
    }
  }
  // Debian's Pillow 9.4 misdecodes RLE4 (the BMP Suite's g/pal4rle.bmp as well), and
  // ImageMagick 6.9 misplaces the palette after a 64-byte header (as in the Suite's
  // q/pal8os2v2.bmp): those files are left to the other peer.
  struct Output {
    std::string name;
    TLxBitmap* bitmap;
    int bitsPerSample, samplesPerPixel, version, compression;
    bool pillow = true, magick = true;
  };
  const std::vector<Output> outputs = {
      {"w1.bmp", &bw, 1, 1, 1, 0},       {"w1core.bmp", &bw, 1, 1, 2, 0},
      {"w4.bmp", &p16, 4, 1, 1, 0},      {"w4rle.bmp", &p16, 4, 1, 1, 1, false, true},
      {"w4core.bmp", &p16, 4, 1, 2, 1},  {"w4v3.bmp", &p16, 4, 1, 3, 0, true, false},
      {"w8.bmp", &p200, 8, 1, 1, 0},     {"w8rle.bmp", &p200, 8, 1, 1, 1},
      {"w8core.bmp", &p200, 8, 1, 2, 0}, {"w8v3rle.bmp", &p200, 8, 1, 3, 1, true, false},
      {"w24.bmp", &rgba, 8, 3, 1, 0},    {"w24core.bmp", &rgba, 8, 3, 2, 0},
      {"w32.bmp", &rgba, 8, 4, 1, 0},    {"w32v3.bmp", &rgba, 8, 4, 3, 0}};
  for (auto& o : outputs) {
    TIOParamsVals p;
    p.BitsPerSample = o.bitsPerSample;
    p.SamplesPerPixel = o.samplesPerPixel;
    p.BmpVersion = uint8_t(o.version);
    p.BmpCompression = uint8_t(o.compression);
    std::unique_ptr<TLxBitmap> alpha;
    if (o.name.starts_with("w24")) alpha = o.bitmap->DetachAlphaChannel();
    SaveResult r = SaveBmp(*o.bitmap, p, /*keepAlpha=*/true);
    if (alpha) o.bitmap->AttachAlphaChannel(std::move(alpha));
    ASSERT_FALSE(r.aborting) << o.name;
    WriteFileBytes(dir / o.name, r.bytes);
    // Lossless outputs come back as their source.
    bool aborting = true;
    RgbaImage back = Decode(dir / o.name, &aborting);
    EXPECT_FALSE(aborting) << o.name;
    RgbaImage src = BitmapToRgba(*o.bitmap);
    if (o.name.starts_with("w24"))
      for (size_t i = 3; i < src.rgba.size(); i += 4) src.rgba[i] = 255;
    EXPECT_EQ(CountDifferentPixels(back, src), 0u) << o.name;
  }
  if (pillow) {
    std::string list;
    for (auto& o : outputs)
      if (o.pillow) list += "'" + o.name + "',";
    ASSERT_TRUE(RunPython(dir, "from PIL import Image\nfor n in [" + list +
                                   "]:\n    Image.open(n).convert('RGBA').save(n + '.pil.png')\n"));
    // Pillow reads 32-bit files without their fourth byte.
    std::vector<PeerFile> files;
    for (auto& o : outputs)
      if (o.pillow) files.push_back({o.name, 0, o.samplesPerPixel == 4});
    ExpectSameAsPeer(dir, files, ".pil.png");
  }
  if (magick) {
    ASSERT_TRUE(RunShell(dir, MagickDecodeAll("w*.bmp")));
    // ImageMagick takes the fourth byte as alpha after a 40-byte header, not after a 64-byte
    // one.
    std::vector<PeerFile> files;
    for (auto& o : outputs)
      if (o.magick) files.push_back({o.name, 0, o.name == "w32v3.bmp"});
    ExpectSameAsPeer(dir, files, ".im.pam");
  }
}

}  // namespace
}  // namespace lumenax::test
