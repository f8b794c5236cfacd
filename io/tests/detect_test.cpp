#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "bitmap/stream.h"
#include "io/registry.h"
#include "tests/support/test_support.h"

namespace lumenax {
namespace {

using Bytes = std::vector<uint8_t>;
using test::TempDir;

Bytes Str(const std::string& s) {
  return Bytes(s.begin(), s.end());
}
Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes Fill(size_t n, uint8_t v = 0) {
  return Bytes(n, v);
}
void LE16(Bytes& b, size_t at, uint16_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
void LE32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}
void BE16(Bytes& b, size_t at, uint16_t v) {
  b[at] = uint8_t(v >> 8);
  b[at + 1] = uint8_t(v);
}
void BE32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * (3 - i)));
}

FileType Detect(const Bytes& b) {
  TMemoryStream s(b);
  FileType t = DetectStreamFormat(s);
  EXPECT_EQ(s.Position(), 0);
  return t;
}

struct Tag {
  uint16_t tag, type;
  uint32_t count, value;
};

// A little-endian ("II") or big-endian ("MM") TIFF with one directory at offset 8.
Bytes Tiff(const std::vector<Tag>& tags, bool bigEndian = false) {
  Bytes b = Fill(8 + 2 + tags.size() * 12 + 4 + 16);
  b[0] = b[1] = bigEndian ? 'M' : 'I';
  auto u16 = [&](size_t at, uint16_t v) { bigEndian ? BE16(b, at, v) : LE16(b, at, v); };
  auto u32 = [&](size_t at, uint32_t v) { bigEndian ? BE32(b, at, v) : LE32(b, at, v); };
  u16(2, 42);
  u32(4, 8);
  u16(8, uint16_t(tags.size()));
  for (size_t i = 0; i < tags.size(); ++i) {
    size_t e = 10 + i * 12;
    u16(e, tags[i].tag);
    u16(e + 2, tags[i].type);
    u32(e + 4, tags[i].count);
    if (tags[i].type == 3)
      u16(e + 8, uint16_t(tags[i].value));
    else
      u32(e + 8, tags[i].value);
  }
  return b;
}

const std::vector<Tag> kSmallImage = {{256, 3, 1, 100}, {257, 3, 1, 100}};

Bytes Icon(uint16_t type, uint32_t offset) {
  Bytes b = Fill(6 + 16 + 8);
  LE16(b, 2, type);
  LE16(b, 4, 1);
  b[6] = 16;
  b[7] = 16;
  LE32(b, 6 + 8, 40);
  LE32(b, 6 + 12, offset);
  return b;
}

Bytes Targa(uint8_t type, uint8_t bits, uint16_t w = 4, uint16_t h = 3) {
  Bytes b = Fill(18 + 36);
  b[2] = type;
  b[16] = bits;
  LE16(b, 12, w);
  LE16(b, 14, h);
  return b;
}

// A PCX header the reader accepts: 1 x 1 pixel, 8 bits, one plane, two bytes per line.
Bytes Pcx(uint8_t version, size_t size = 129) {
  Bytes b = Fill(size);
  b[0] = 0x0A;
  b[1] = version;
  b[2] = 1;
  b[3] = 8;
  b[65] = 1;
  b[66] = 2;
  return b;
}

Bytes JpegAt(size_t offset) {
  return Cat(Fill(offset, ' '), Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0});
}

Bytes Layers(int32_t count) {
  Bytes b = Cat(Str("LUMENAXLAYERS"), Fill(12));
  LE32(b, 13, uint32_t(count));
  return b;
}

TEST(Detect, EveryTestOnItsOwn) {
  EXPECT_EQ(Detect(Cat(Str(std::string("JFIF\0", 5)), Fill(8))), ftJpeg);
  EXPECT_EQ(Detect(Cat(Str("GIF89a"), Fill(8))), ftGif);
  EXPECT_EQ(Detect(Cat(Str(std::string("PCX2\0", 5)), Fill(8))), ftPcx);
  EXPECT_EQ(Detect(Cat(Str(std::string("PCX\0", 4)), Fill(1))), ftPcx);
  EXPECT_EQ(Detect(Cat(Str("BM"), Fill(13))), ftBmp);
  EXPECT_EQ(Detect(Pcx(5)), ftPcx);
  EXPECT_EQ(Detect(Cat(Str(std::string("TIFF\0", 5)), Fill(8))), ftTiff);
  EXPECT_EQ(Detect(Tiff(kSmallImage)), ftTiff);
  EXPECT_EQ(Detect(Tiff(kSmallImage, true)), ftTiff);
  EXPECT_EQ(Detect(Cat(Str("\x89PNG"), Fill(5, 0xEE))), ftPng);
  EXPECT_EQ(Detect(Cat(Fill(128), Cat(Str("DICM"), Fill(8)))), ftDicom);
  EXPECT_EQ(Detect(Icon(1, 22)), ftIco);
  EXPECT_EQ(Detect(Icon(2, 22)), ftCur);
  EXPECT_EQ(Detect(Targa(2, 24)), ftTga);
  EXPECT_EQ(Detect(Str("P6\n# made by hand\n4 3\n255\n")), ftPxm);
  EXPECT_EQ(Detect(Str("P1 #c\n 12\t7 ")), ftPxm);
  EXPECT_EQ(Detect(JpegAt(0)), ftJpeg);
  Bytes jp2 = Fill(24);
  BE32(jp2, 0, 12);
  BE32(jp2, 4, 0x6A502020);
  BE32(jp2, 8, 0x0D0A870A);
  EXPECT_EQ(Detect(jp2), ftJp2);
  EXPECT_EQ(Detect(Cat(Bytes{0xFF, 0x4F, 0xFF, 0x51}, Fill(40))), ftJ2k);
  EXPECT_EQ(Detect(Cat(Str(std::string("RIFF\x10\0\0\0AVI ", 12)), Fill(8))), ftAvi);
  Bytes dcx = Fill(16);
  LE32(dcx, 0, 0x3ADE68B1);
  LE32(dcx, 4, 12);
  EXPECT_EQ(Detect(dcx), ftDcx);
  Bytes wmf = Fill(40);
  LE16(wmf, 0, 1);
  LE16(wmf, 2, 9);
  EXPECT_EQ(Detect(wmf), ftWmf);
  Bytes placeable = Fill(60);
  LE32(placeable, 0, 0x9AC6CDD7);
  LE16(placeable, 22, 1);
  LE16(placeable, 24, 9);
  EXPECT_EQ(Detect(placeable), ftWmf);
  Bytes emf = Fill(100);
  LE32(emf, 0, 1);
  LE32(emf, 40, 0x464D4520);
  EXPECT_EQ(Detect(emf), ftEmf);
  Bytes psd = Cat(Str("8BPS"), Fill(30));
  BE16(psd, 4, 1);
  BE16(psd, 12, 3);
  BE16(psd, 22, 8);
  BE16(psd, 24, 3);
  EXPECT_EQ(Detect(psd), ftPsd);
  EXPECT_EQ(Detect(Str("LXV1")), ftVectObjects);
  EXPECT_EQ(Detect(Str("LXVP....")), ftVectObjects);
  EXPECT_EQ(Detect(Layers(2)), ftLayers);
  Bytes both = Cat(Fill(4), Cat(Layers(1), Str("LXV1")));
  LE32(both, 0, 4 + 25);
  EXPECT_EQ(Detect(both), ftLayersAndObjects);
}

TEST(Detect, NearMissesAreNotTaken) {
  // Each test's own boundary: one byte short, one value off.
  EXPECT_EQ(Detect(Cat(Str(std::string("JFIF\0", 5)), Fill(7))), ftUnknown);
  EXPECT_EQ(Detect(Cat(Str("BM"), Fill(12))), ftUnknown);  // 14 bytes are not enough
  EXPECT_EQ(Detect(Pcx(6)), ftUnknown);
  EXPECT_EQ(Detect(Pcx(5, 128)), ftUnknown);
  // Only headers the PCX reader accepts: encoding 0 or 1, 1, 2, 4 or 8 bits. A Targa file
  // whose image ID is 10 bytes long starts with 0x0A.
  Bytes tgaWithId = Targa(2, 24, 4, 3);
  tgaWithId[0] = 10;
  tgaWithId.resize(18 + 10 + 36 + 80);
  EXPECT_EQ(Detect(tgaWithId), ftTga);
  Bytes noBits = Pcx(5);
  noBits[3] = 0;
  EXPECT_EQ(Detect(noBits), ftUnknown);
  // A Targa header must have room for its pixels: a wireless bitmap 0, 0, 2, 1 does not.
  Bytes wbmp = Fill(24);
  wbmp[2] = 2;
  wbmp[3] = 1;
  wbmp[16] = 24;
  wbmp[12] = 200;
  wbmp[14] = 200;
  EXPECT_EQ(Detect(wbmp), ftUnknown);
  Bytes noPages = Fill(16);
  LE32(noPages, 0, 0x3ADE68B1);
  EXPECT_EQ(Detect(noPages), ftUnknown);
  EXPECT_EQ(Detect(Str("\x89PNG\r\n\x1A\n")), ftUnknown);  // 8 bytes
  EXPECT_EQ(Detect(Tiff({{256, 3, 1, 100}})), ftUnknown);  // no image length
  Bytes far = Tiff(kSmallImage);
  LE32(far, 4, uint32_t(far.size()));
  EXPECT_EQ(Detect(far), ftUnknown);
  Bytes cut = Tiff(kSmallImage);
  cut.resize(20);  // the directory runs past the end
  EXPECT_EQ(Detect(cut), ftUnknown);
  Bytes ba = Tiff(kSmallImage, true);
  BE16(ba, 8, 0xBA00 | 2);  // byte 8 is 0xBA
  EXPECT_EQ(Detect(ba), ftUnknown);
  EXPECT_EQ(Detect(Icon(1, 21)), ftUnknown);  // image inside the directory
  Bytes shortIcon = Icon(1, 22);
  shortIcon.resize(22);
  EXPECT_EQ(Detect(shortIcon), ftUnknown);
  EXPECT_EQ(Detect(Targa(2, 24, 0)), ftUnknown);
  EXPECT_EQ(Detect(Targa(4, 24)), ftUnknown);
  EXPECT_EQ(Detect(Targa(2, 15)), ftUnknown);
  EXPECT_EQ(Detect(Str("P6\n0 3\n255\n")), ftUnknown);
  EXPECT_EQ(Detect(Str("P7\nWIDTH 4\nHEIGHT 3\n")), ftUnknown);
  EXPECT_EQ(Detect(Str("P3 x 3\n")), ftUnknown);
  EXPECT_EQ(Detect(Str("P3 99999999999 3\n")), ftUnknown);
  EXPECT_EQ(Detect(JpegAt(100)), ftUnknown);
  Bytes dcx = Fill(16);
  LE32(dcx, 0, 0x3ADE68B1);
  LE32(dcx, 4, 16);  // page offset at the end of the file
  EXPECT_EQ(Detect(dcx), ftUnknown);
  Bytes psd = Cat(Str("8BPS"), Fill(30));
  BE16(psd, 4, 1);
  BE16(psd, 12, 3);
  BE16(psd, 24, 3);  // depth 0
  EXPECT_EQ(Detect(psd), ftUnknown);
  EXPECT_EQ(Detect(Str("LXV0")), ftUnknown);
  EXPECT_EQ(Detect(Str("LXVQ")), ftUnknown);
  EXPECT_EQ(Detect(Layers(0)), ftUnknown);
  Bytes both = Cat(Fill(4), Cat(Layers(1), Str("LXV1")));
  LE32(both, 0, 1000);  // points past the end
  EXPECT_EQ(Detect(both), ftUnknown);
  EXPECT_EQ(Detect({}), ftUnknown);
}

TEST(Detect, OrderDecidesBetweenFormats) {
  // "JFIF" and a zero byte win over everything that follows.
  EXPECT_EQ(Detect(Cat(Str(std::string("JFIF\0", 5)), Cat(Str("BM"), Fill(20)))), ftJpeg);
  // A GIF that also holds a JPEG start within its first 100 bytes stays a GIF.
  EXPECT_EQ(Detect(Cat(Str("GIF89a"), JpegAt(4))), ftGif);
  // PNG is decided by its first four bytes, whatever follows.
  EXPECT_EQ(Detect(Cat(Str("\x89PNG"), Cat(Fill(20, 0xFF), Bytes{0xD8, 0xFF}))), ftPng);
  // JPEG data after 99 bytes of anything.
  EXPECT_EQ(Detect(JpegAt(99)), ftJpeg);
}

TEST(Detect, CameraRawInsideTiffIsNotTiff) {
  std::vector<Tag> dng = kSmallImage;
  dng.push_back({50706, 1, 4, 0x00000401});
  EXPECT_EQ(Detect(Tiff(dng)), ftUnknown);
  std::vector<Tag> dngWrongCount = kSmallImage;
  dngWrongCount.push_back({50706, 1, 3, 0});
  EXPECT_EQ(Detect(Tiff(dngWrongCount)), ftTiff);
  for (uint32_t photometric : {32803u, 34892u}) {
    std::vector<Tag> cfa = kSmallImage;
    cfa.push_back({262, 3, 1, photometric});
    EXPECT_EQ(Detect(Tiff(cfa, true)), ftUnknown) << photometric;
  }
  std::vector<Tag> rgb = kSmallImage;
  rgb.push_back({262, 3, 1, 2});
  EXPECT_EQ(Detect(Tiff(rgb)), ftTiff);
  // TIFF/EP with sub-directories and a small first image (a preview): camera RAW.
  std::vector<Tag> ep = kSmallImage;
  ep.push_back({330, 4, 1, 0});
  ep.push_back({37398, 1, 4, 0});
  EXPECT_EQ(Detect(Tiff(ep)), ftUnknown);
  std::vector<Tag> epLarge = {{256, 4, 1, 200}, {257, 3, 1, 100}, {330, 4, 1, 0}, {37398, 1, 4, 0}};
  EXPECT_EQ(Detect(Tiff(epLarge)), ftTiff);
}

TEST(Detect, StartsAtTheStreamPositionAndPutsItBack) {
  Bytes b = Cat(Str("junk!"), Cat(Str("BM"), Fill(13)));
  TMemoryStream s(b);
  s.Seek(5, soBeginning);
  EXPECT_EQ(DetectStreamFormat(s), ftBmp);
  EXPECT_EQ(s.Position(), 5);
  // A TIFF embedded after other data: its offsets count from its own start.
  Bytes t = Cat(Fill(7, 'x'), Tiff(kSmallImage));
  TMemoryStream ts(t);
  ts.Seek(7, soBeginning);
  EXPECT_EQ(DetectStreamFormat(ts), ftTiff);
  EXPECT_EQ(ts.Position(), 7);
}

// A stream whose reads fail after some bytes, as a broken device would.
class FailingStream : public TMemoryStream {
 public:
  using TMemoryStream::TMemoryStream;
  int64_t Read(void* buffer, int64_t count) override {
    if (++reads_ > 1) throw std::runtime_error("device gone");
    return TMemoryStream::Read(buffer, count);
  }

 private:
  int reads_ = 0;
};

TEST(Detect, RunTimeProbesAndExceptions) {
  FormatRecord r;
  r.FileType = 210;
  r.FullName = "Test format";
  r.Extensions = "TSTF";
  FileType seenCode = 0;
  int64_t seenPosition = -1;
  r.TryFunction = [&](TStream& s, FileType code) {
    seenCode = code;
    seenPosition = s.Position();
    char head[4] = {};
    return s.Read(head, 4) == 4 && std::memcmp(head, "TSTF", 4) == 0;
  };
  RegisterFormat(r);
  Bytes b = Cat(Str("..."), Str("TSTF"));
  TMemoryStream s(b);
  s.Seek(3, soBeginning);
  EXPECT_EQ(DetectStreamFormat(s), 210);
  EXPECT_EQ(seenCode, 210);
  EXPECT_EQ(seenPosition, 3);
  EXPECT_EQ(s.Position(), 3);

  FormatRecord thrower;
  thrower.FileType = 211;
  thrower.TryFunction = [](TStream&, FileType) -> bool { throw std::runtime_error("probe"); };
  RegisterFormat(thrower);
  UnregisterFormat(210);
  EXPECT_EQ(Detect(Str("TSTF")), ftUnknown);  // the exception ends the detection quietly
  UnregisterFormat(211);

  // A read that raises ends the detection with what was found before it.
  FailingStream jfif(Cat(Str(std::string("JFIF\0", 5)), Fill(30)));
  EXPECT_EQ(DetectStreamFormat(jfif), ftJpeg);
  FailingStream bmp(Cat(Str("BM"), Fill(30)));
  EXPECT_EQ(DetectStreamFormat(bmp), ftUnknown);
}

TEST(DetectFile, NamesAndStrictRules) {
  TempDir dir;
  auto write = [&](const std::string& name, const Bytes& b) {
    test::WriteFileBytes(dir / name, b);
    return dir / name;
  };
  Bytes png = Cat(Str("\x89PNG\r\n\x1A\n"), Fill(30));
  EXPECT_EQ(DetectFileFormat(write("a.png", png), true), ftPng);
  EXPECT_EQ(DetectFileFormat(write("p.bmp", png), false), ftPng);
  EXPECT_EQ(DetectFileFormat(dir / "p.bmp", true), ftUnknown);
  EXPECT_EQ(DetectFileFormat(write("p.xyz", png), false), ftPng);
  EXPECT_EQ(DetectFileFormat(dir / "p.xyz", true), ftUnknown);
  EXPECT_EQ(DetectFileFormat(write("noext", png), false), ftPng);
  EXPECT_EQ(DetectFileFormat(dir / "noext", true), ftUnknown);

  // Icons and cursors share their layout: the name decides between them.
  EXPECT_EQ(DetectFileFormat(write("i.cur", Icon(1, 22)), true), ftCur);
  EXPECT_EQ(DetectFileFormat(dir / "i.cur", false), ftIco);
  EXPECT_EQ(DetectFileFormat(write("c.ico", Icon(2, 22)), true), ftIco);
  // ... but no other name turns an icon into something else.
  EXPECT_EQ(DetectFileFormat(write("i.png", Icon(1, 22)), true), ftUnknown);

  // TIFF content under a camera-RAW name is RAW; camera RAW in TIFF clothing stays unknown
  // by content whatever its name when not strict.
  Bytes tiff = Tiff(kSmallImage);
  EXPECT_EQ(DetectFileFormat(write("t.nef", tiff), false), ftRaw);
  EXPECT_EQ(DetectFileFormat(dir / "t.nef", true), ftRaw);
  EXPECT_EQ(DetectFileFormat(write("t.tif", tiff), true), ftTiff);
  std::vector<Tag> dngTags = kSmallImage;
  dngTags.push_back({50706, 1, 4, 0x00000401});
  Bytes dng = Tiff(dngTags);
  // This one is too small a sensor for the camera-RAW decoder: nothing recognises it.
  EXPECT_EQ(DetectFileFormat(write("d.dng", dng), false), ftUnknown);
  EXPECT_EQ(DetectFileFormat(write("d.tif", dng), false), ftUnknown);

  // A row added at run time wins by name.
  FormatRecord r;
  r.FileType = 220;
  r.Extensions = "TSTX";
  RegisterFormat(r);
  EXPECT_EQ(DetectFileFormat(write("a.tstx", png), false), 220);
  EXPECT_EQ(DetectFileFormat(dir / "a.tstx", true), 220);
  UnregisterFormat(220);

  EXPECT_EQ(DetectFileFormat("", false), ftUnknown);
  EXPECT_EQ(DetectFileFormat(dir / "missing.png", false), ftUnknown);
  EXPECT_EQ(DetectFileFormat(dir.path(), false), ftUnknown);
}

// Files made by other people's programs are detected as what they are.
TEST(DetectFile, FilesMadeByOtherPrograms) {
  TempDir dir;
  std::string d = test::ShellQuote(dir.path().string());
  struct Case {
    std::string program;  // must exist for the case to run
    std::string command;  // run in the folder
    std::string file;
    FileType expected;
  };
  const std::string im = "/usr/bin/convert -size 6x4 gradient:red-blue ";
  const std::string py =
      "/usr/bin/python3 -c \"from PIL import Image; im = Image.new('RGB', (6, 4), (200, 30, 10)); ";
  std::vector<Case> cases = {
      {"/usr/bin/convert", im + "im.bmp", "im.bmp", ftBmp},
      {"/usr/bin/convert", im + "BMP3:im3.bmp", "im3.bmp", ftBmp},
      {"/usr/bin/convert", im + "BMP2:im2.bmp", "im2.bmp", ftBmp},
      {"/usr/bin/convert", im + "im.gif", "im.gif", ftGif},
      {"/usr/bin/convert", im + "im.jpg", "im.jpg", ftJpeg},
      {"/usr/bin/convert", im + "im.png", "im.png", ftPng},
      {"/usr/bin/convert", im + "im.tif", "im.tif", ftTiff},
      {"/usr/bin/convert", im + "-endian MSB im-mm.tif", "im-mm.tif", ftTiff},
      {"/usr/bin/convert", im + "-compress lzw im-lzw.tiff", "im-lzw.tiff", ftTiff},
      {"/usr/bin/convert", im + "im.pcx", "im.pcx", ftPcx},
      {"/usr/bin/convert", im + "im.dcx", "im.dcx", ftDcx},
      {"/usr/bin/convert", im + "im.tga", "im.tga", ftTga},
      {"/usr/bin/convert", im + "-compress rle im-rle.tga", "im-rle.tga", ftTga},
      {"/usr/bin/convert", im + "im.ppm", "im.ppm", ftPxm},
      {"/usr/bin/convert", im + "im.pgm", "im.pgm", ftPxm},
      {"/usr/bin/convert", im + "im.pbm", "im.pbm", ftPxm},
      {"/usr/bin/convert", im + "-compress none im-ascii.ppm", "im-ascii.ppm", ftPxm},
      {"/usr/bin/convert", im + "im.ico", "im.ico", ftIco},
      {"/usr/bin/convert", im + "im.psd", "im.psd", ftPsd},
      {"/usr/bin/convert", im + "im.jp2", "im.jp2", ftJp2},
      {"/usr/bin/convert", im + "im.j2k", "im.j2k", ftJ2k},
      // Neither of these has a content test.
      {"/usr/bin/convert", im + "im.wbmp", "im.wbmp", ftUnknown},
      {"/usr/bin/convert", im + "im.pam", "im.pam", ftUnknown},
      {"/usr/bin/python3", py + "im.save('pil.bmp')\"", "pil.bmp", ftBmp},
      {"/usr/bin/python3", py + "im.save('pil.gif')\"", "pil.gif", ftGif},
      {"/usr/bin/python3", py + "im.save('pil.jpg')\"", "pil.jpg", ftJpeg},
      {"/usr/bin/python3", py + "im.save('pil.png')\"", "pil.png", ftPng},
      {"/usr/bin/python3", py + "im.save('pil.tif')\"", "pil.tif", ftTiff},
      {"/usr/bin/python3", py + "im.save('pil.pcx')\"", "pil.pcx", ftPcx},
      {"/usr/bin/python3", py + "im.save('pil.tga')\"", "pil.tga", ftTga},
      {"/usr/bin/python3", py + "im.save('pil.ppm')\"", "pil.ppm", ftPxm},
      {"/usr/bin/python3", py + "im.resize((16, 16)).save('pil.ico')\"", "pil.ico", ftIco},
      {"/usr/bin/python3", py + "im.save('pil.jp2')\"", "pil.jp2", ftJp2},
      {"/usr/bin/python3", py + "im.save('pil.j2k')\"", "pil.j2k", ftJ2k},
      {"/usr/bin/python3", py + "im.save('pil.pdf')\"", "pil.pdf", ftUnknown},
      {"/usr/bin/ppmtobmp", "/usr/bin/ppmtobmp im.ppm > nb.bmp 2>/dev/null", "nb.bmp", ftBmp},
      {"/usr/bin/ppmtobmp", "/usr/bin/ppmtobmp -os2 im.ppm > nb-os2.bmp 2>/dev/null", "nb-os2.bmp",
       ftBmp},
      {"/usr/bin/ppmtopcx", "/usr/bin/ppmtopcx im.ppm > nb.pcx 2>/dev/null", "nb.pcx", ftPcx},
      {"/usr/bin/pamtotga", "/usr/bin/pamtotga im.ppm > nb.tga 2>/dev/null", "nb.tga", ftTga},
      {"/usr/bin/pnmtopng", "/usr/bin/pnmtopng im.ppm > nb.png 2>/dev/null", "nb.png", ftPng},
      {"/usr/bin/pnmtojpeg", "/usr/bin/pnmtojpeg im.ppm > nb.jpg 2>/dev/null", "nb.jpg", ftJpeg},
      {"/usr/bin/pamtowinicon", "/usr/bin/pamtowinicon im.ppm > nb.ico 2>/dev/null", "nb.ico",
       ftIco},
      {"/usr/bin/ppm2tiff", "/usr/bin/ppm2tiff im.ppm lt.tif", "lt.tif", ftTiff},
      {"/usr/bin/tiffcp", "/usr/bin/tiffcp -B -c zip im.tif lt-mm.tif", "lt-mm.tif", ftTiff},
      {"/usr/bin/opj_compress", "/usr/bin/opj_compress -n 1 -i im.ppm -o oj.jp2 >/dev/null",
       "oj.jp2", ftJp2},
      {"/usr/bin/opj_compress", "/usr/bin/opj_compress -n 1 -i im.ppm -o oj.j2k >/dev/null",
       "oj.j2k", ftJ2k},
  };
  int ran = 0;
  for (const Case& c : cases) {
    if (!test::HaveProgram(c.program)) {
      std::printf("skipped %s: %s is not installed\n", c.file.c_str(), c.program.c_str());
      continue;
    }
    int rc = test::RunCommand("cd " + d + " && " + c.command);
    if (rc != 0 || !std::filesystem::exists(dir / c.file)) {
      ADD_FAILURE() << "could not make " << c.file << " with: " << c.command;
      continue;
    }
    ++ran;
    EXPECT_EQ(DetectFileFormat(dir / c.file, false), c.expected) << c.file;
    if (c.expected != ftUnknown) {
      EXPECT_EQ(DetectFileFormat(dir / c.file, true), c.expected) << c.file;
    }
  }
  // A camera RAW of the DNG kind: a TIFF that carries the DNG version tag.
  if (test::HaveProgram("/usr/bin/tiffset") && std::filesystem::exists(dir / "lt.tif")) {
    std::filesystem::copy_file(dir / "lt.tif", dir / "dng.tif");
    ASSERT_EQ(test::RunCommand("cd " + d + " && /usr/bin/tiffset -s 50706 4 1 4 0 0 dng.tif"), 0);
    // An RGB image with a DNG version but no sensor data is no camera file either.
    EXPECT_EQ(DetectFileFormat(dir / "dng.tif", false), ftUnknown);
    std::filesystem::copy_file(dir / "lt.tif", dir / "cam.nef");
    EXPECT_EQ(DetectFileFormat(dir / "cam.nef", false), ftRaw);
  }
  if (ran == 0) GTEST_SKIP() << "none of the peer programs is installed";
}

}  // namespace
}  // namespace lumenax
