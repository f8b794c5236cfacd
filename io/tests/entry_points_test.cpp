// Entry points beyond loading and saving one file: stream headers, header-only reads, loads
// from memory, text export, headerless pixels and the resolution adjustment.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <memory>

#include "bitmap/stream.h"
#include "io/lumenax_io.h"
#include "io/stream_header.h"
#include "tests/support/test_support.h"

namespace lumenax {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::RunCommand;
using test::ShellQuote;
using test::TempDir;
using test::WriteFileBytes;

std::vector<uint8_t> Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::vector<uint8_t> Header(const char* magic, int32_t length) {
  std::vector<uint8_t> h(12, 0);
  std::memcpy(h.data(), magic, 4);
  for (int i = 0; i < 4; ++i) h[size_t(8 + i)] = uint8_t(uint32_t(length) >> (8 * i));
  return h;
}

struct Opened {
  bool ok = false;
  std::optional<TLxStreamWindow> window;
  int64_t continueAt = -1;
  TLxFailureReason reason;
  bool aborting = false;
};

std::unique_ptr<Opened> Open(const TLxStreamHeaderRule& rule, bool headersOn, TStream& stream) {
  auto o = std::make_unique<Opened>();
  ProgressRecord progress;
  progress.AbortingPtr = &o->aborting;
  progress.ReasonPtr = &o->reason;
  o->ok = OpenStreamHeader(rule, headersOn, stream, progress, o->window, o->continueAt);
  return o;
}

const TLxStreamHeaderRule kTiff{.Magic = "TIFF"};
const TLxStreamHeaderRule kJpeg{.Magic = "JFIF", .OptionalOnLoad = true};
const TLxStreamHeaderRule kPcx{
    .Magic = "PCX2", .AcceptsOldForm = true, .WrittenOnlyOnSuccess = true};

TEST(StreamHeader, WindowShowsOnlyTheAnnouncedImage) {
  std::vector<uint8_t> data = Bytes("xx");
  for (uint8_t b : Header("TIFF", 5)) data.push_back(b);
  for (uint8_t b : Bytes("hello world")) data.push_back(b);
  TMemoryStream s(data);
  s.Seek(2, soBeginning);
  auto o = Open(kTiff, true, s);
  ASSERT_TRUE(o->ok);
  ASSERT_TRUE(o->window);
  EXPECT_EQ(o->window->Size(), 5);
  EXPECT_EQ(o->continueAt, 2 + 12 + 5);
  char buf[16] = {};
  EXPECT_EQ(o->window->Read(buf, 16), 5);
  EXPECT_EQ(std::string(buf), "hello");
  // Seeking past either end of the window reads nothing.
  o->window->Seek(-3, soBeginning);
  EXPECT_EQ(o->window->Read(buf, 4), 0);
  o->window->Seek(7, soBeginning);
  EXPECT_EQ(o->window->Read(buf, 4), 0);
}

TEST(StreamHeader, RequiredOptionalAndOldForms) {
  // Without StreamHeaders nothing is looked for, except the optional JPEG header.
  TMemoryStream bare(Bytes("\xFF\xD8\xFF rest of a jpeg"));
  auto o = Open(kTiff, false, bare);
  EXPECT_TRUE(o->ok);
  EXPECT_FALSE(o->window);
  EXPECT_EQ(bare.Position(), 0);
  o = Open(kJpeg, false, bare);
  EXPECT_TRUE(o->ok);
  EXPECT_FALSE(o->window);
  EXPECT_EQ(bare.Position(), 0) << "a bare JPEG is read from where it starts";

  std::vector<uint8_t> jfif = Header("JFIF", 3);
  jfif.insert(jfif.end(), {1, 2, 3, 4});
  TMemoryStream withJfif(jfif);
  o = Open(kJpeg, false, withJfif);
  ASSERT_TRUE(o->window);
  EXPECT_EQ(o->window->Size(), 3);

  // A required header that is missing stops the load with a reason.
  o = Open(kTiff, true, bare);
  EXPECT_FALSE(o->ok);
  EXPECT_TRUE(o->aborting);
  EXPECT_EQ(o->reason.Code, TLxFailure::BadSignature);

  // The old PCX header: four bytes, then the image to the end of the stream.
  TMemoryStream old(Bytes(std::string("PCX\0", 4) + "image"));
  o = Open(kPcx, true, old);
  EXPECT_TRUE(o->ok);
  EXPECT_FALSE(o->window);
  EXPECT_EQ(old.Position(), 4);
  TMemoryStream notPcx(Bytes("PCY2 and more bytes"));
  EXPECT_FALSE(Open(kPcx, true, notPcx)->ok);
}

TEST(StreamHeader, LengthsOutsideTheStreamAreRefused) {
  for (int32_t length : {-1, INT32_MIN, 6, INT32_MAX}) {
    std::vector<uint8_t> data = Header("TIFF", length);
    data.insert(data.end(), 5, 0xAB);
    TMemoryStream s(data);
    auto o = Open(kTiff, true, s);
    EXPECT_FALSE(o->ok) << length;
    EXPECT_EQ(o->reason.Code, TLxFailure::Truncated) << length;
    EXPECT_EQ(o->reason.Offset, 8) << length;
  }
}

// A stream that pretends to be far longer than it is, to test the 32-bit length limit.
class LongStream : public TStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t count) override {
    pos_ += count;
    size_ = std::max(size_, pos_);
    return count;
  }
  int64_t Seek(int64_t offset, int origin) override {
    pos_ = origin == soBeginning ? offset : origin == soCurrent ? pos_ + offset : size_ + offset;
    return pos_;
  }

 private:
  int64_t pos_ = 0;
  int64_t size_ = 0;
};

TEST(StreamHeader, SavesWriteTheLengthOrFailWhenItDoesNotFit) {
  TMemoryStream s;
  s.WriteBuffer("ab", 2);
  bool aborting = false;
  TLxFailureReason reason;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  progress.ReasonPtr = &reason;
  int64_t start = BeginStreamHeader(s);
  s.WriteBuffer("image", 5);
  EndStreamHeader(kTiff, s, start, progress);
  std::vector<uint8_t> expected = Bytes("ab");
  for (uint8_t b : Header("TIFF", 5)) expected.push_back(b);
  for (uint8_t b : Bytes("image")) expected.push_back(b);
  EXPECT_EQ(s.Bytes(), expected);
  EXPECT_EQ(s.Position(), int64_t(expected.size()));
  EXPECT_FALSE(aborting);

  LongStream big;
  start = BeginStreamHeader(big);
  big.Seek(int64_t(INT32_MAX) + 13, soBeginning);
  EndStreamHeader(kTiff, big, start, progress);
  EXPECT_TRUE(aborting);
  EXPECT_EQ(reason.Code, TLxFailure::TooLarge);
}

// A small BMP made by the library itself.
std::vector<uint8_t> SmallBmp(int w = 5, int h = 3) {
  TLumenaxIO io;
  io.Bitmap()->Allocate(w, h, lx24RGB);
  io.Bitmap()->Fill(0x102030);
  TMemoryStream s;
  io.SaveToStreamBmp(s);
  return s.Bytes();
}

TEST(HeaderOnly, ReadsSizesWithoutPixelsAndNeverRaises) {
  TempDir dir;
  WriteFileBytes(dir / "a.bmp", SmallBmp(7, 4));
  TLumenaxIO io;
  int finishes = 0;
  io.OnFinishWork = [&finishes](TLumenaxIO&) { ++finishes; };
  io.ParamsFromFile(dir / "a.bmp");
  EXPECT_FALSE(io.Aborting);
  EXPECT_EQ(io.Params.FileType, ftBmp);
  EXPECT_EQ(io.Params.Width, 7);
  EXPECT_EQ(io.Params.Height, 4);
  EXPECT_EQ(io.Params.FileName, dir / "a.bmp");
  EXPECT_TRUE(io.Bitmap()->IsEmpty()) << "no pixels are decoded";
  EXPECT_EQ(finishes, 1);

  // Strict detection: a BMP named .png is nothing.
  fs::copy_file(dir / "a.bmp", dir / "b.png");
  io.ParamsFromFile(dir / "b.png");
  EXPECT_EQ(io.Params.FileType, ftUnknown);

  // A missing file or a file cut short gives ftUnknown, and nothing raises.
  EXPECT_NO_THROW(io.ParamsFromFileByType(dir / "missing.bmp", ftBmp));
  EXPECT_EQ(io.Params.FileType, ftUnknown);
  WriteFileBytes(dir / "cut.bmp", {'B', 'M', 1, 2});
  io.ParamsFromFileByType(dir / "cut.bmp", ftBmp);
  EXPECT_EQ(io.Params.FileType, ftUnknown);
  EXPECT_TRUE(io.Aborting);

  // The reader of another format refuses the file and says why.
  io.ParamsFromFileByType(dir / "a.bmp", ftPsd);
  EXPECT_EQ(io.Params.FileType, ftUnknown);
  EXPECT_EQ(io.FailureReason.Code, TLxFailure::BadSignature);

  // The stream forms leave FileName alone.
  io.Params.FileName = "kept";
  TMemoryStream s(SmallBmp(9, 2));
  io.ParamsFromStream(s);
  EXPECT_EQ(io.Params.FileType, ftBmp);
  EXPECT_EQ(io.Params.Width, 9);
  EXPECT_EQ(io.Params.FileName, "kept");
}

TEST(LoadFromBuffer, ByTypeAndByContent) {
  std::vector<uint8_t> bmp = SmallBmp(6, 2);
  for (FileType type : {ftUnknown, ftBmp}) {
    TLumenaxIO io;
    io.LoadFromBuffer(bmp.data(), int64_t(bmp.size()), type);
    EXPECT_FALSE(io.Aborting);
    EXPECT_EQ(io.Params.FileType, ftBmp);
    EXPECT_EQ(io.Bitmap()->Width(), 6);
  }
  // The wrong type is refused by that type's reader.
  TLumenaxIO io;
  io.LoadFromBuffer(bmp.data(), int64_t(bmp.size()), ftPng);
  EXPECT_TRUE(io.Aborting);
}

TEST(SaveToFile, ExtensionsThatCannotBeSaved) {
  TempDir dir;
  TLumenaxIO io;
  io.Bitmap()->Allocate(2, 2, lx24RGB);
  for (const char* name : {"a.xif", "a.pix", "a.unknownext"}) {
    io.SaveToFile(dir / name);
    EXPECT_TRUE(io.Aborting) << name;
    EXPECT_FALSE(fs::exists(dir / name)) << name;
  }
  EXPECT_FALSE(TLumenaxIO::SaveToFileSupported(dir / "a.xif"));
}

TEST(SaveToText, ByteArraysAndBase64DecodeToTheSavedImage) {
  TempDir dir;
  TLumenaxIO io;
  io.Bitmap()->Allocate(4, 3, lx24RGB);
  io.Bitmap()->Fill(0x4080C0);
  TMemoryStream saved;
  io.SaveToStream(saved, ftBmp);
  const std::vector<uint8_t>& bmp = saved.Bytes();

  io.SaveToText(dir / "img.b64", ftBmp, 2);
  ASSERT_FALSE(io.Aborting);
  EXPECT_EQ(io.Params.FileName, dir / "img.b64");
  ASSERT_EQ(RunCommand("base64 -d " + ShellQuote((dir / "img.b64").string()) + " > " +
                       ShellQuote((dir / "back.bmp").string())),
            0);
  EXPECT_EQ(ReadFileBytes(dir / "back.bmp"), bmp);
  std::vector<uint8_t> b64bytes = ReadFileBytes(dir / "img.b64");
  std::string b64(b64bytes.begin(), b64bytes.end());
  EXPECT_EQ(b64.find('\n'), 76u);

  // The C array compiles back to the same bytes: parse the hex numbers.
  io.SaveToText(dir / "img.h", ftBmp, 1);
  std::vector<uint8_t> text = ReadFileBytes(dir / "img.h");
  std::string c(text.begin(), text.end());
  EXPECT_EQ(c.rfind("// Size=" + std::to_string(bmp.size()) + "\n", 0), 0u) << c.substr(0, 40);
  std::vector<uint8_t> parsed;
  for (size_t at = c.find("0x"); at != std::string::npos; at = c.find("0x", at + 2))
    parsed.push_back(uint8_t(std::stoi(c.substr(at + 2, 2), nullptr, 16)));
  EXPECT_EQ(parsed, bmp);

  // The Pascal array: its name has no folder in it.
  io.SaveToText(dir / "img.pas", ftBmp, 0);
  text = ReadFileBytes(dir / "img.pas");
  std::string pas(text.begin(), text.end());
  EXPECT_EQ(pas.rfind("const\n  img_pas_Size = " + std::to_string(bmp.size()) + ";\n", 0), 0u)
      << pas.substr(0, 60);
  EXPECT_NE(pas.find("img_pas : array [0..img_pas_Size-1] of byte = ("), std::string::npos);
  EXPECT_EQ(pas.substr(pas.size() - 3), ");\n");
}

TEST(SaveToText, RampAndFailuresLeaveTheFileAlone) {
  TempDir dir;
  TLumenaxIO io;
  io.Bitmap()->Allocate(3, 2, lx24RGB);
  // Black, a middle gray and white in the first row, their channels mixed in the second.
  const uint8_t rows[2][9] = {{0, 0, 0, 128, 128, 128, 255, 255, 255},
                              {255, 0, 0, 0, 255, 0, 0, 0, 255}};
  for (int y = 0; y < 2; ++y) std::memcpy(io.Bitmap()->ScanLine(y), rows[y], 9);
  io.SaveToText(dir / "ramp.txt", ftUnknown, 3);
  ASSERT_FALSE(io.Aborting);
  // brightness = (r * 21 + g * 71 + b * 8) / 100 (blue first in memory), index b * 9 / 255.
  const char ramp[] = "W@#*+:., ";
  auto ch = [&](int b, int g, int r) {
    return ramp[std::min(8, (r * 21 + g * 71 + b * 8) / 100 * 9 / 255)];
  };
  std::string expected = std::string{ch(0, 0, 0), ch(128, 128, 128), ch(255, 255, 255)} + "\n" +
                         std::string{ch(255, 0, 0), ch(0, 255, 0), ch(0, 0, 255)} + "\n";
  std::vector<uint8_t> got = ReadFileBytes(dir / "ramp.txt");
  EXPECT_EQ(std::string(got.begin(), got.end()), expected);

  // Not 24-bit: refused, and the old file stays.
  WriteFileBytes(dir / "keep.txt", {'o', 'l', 'd'});
  io.Bitmap()->SetPixelFormat(lx8g);
  io.SaveToText(dir / "keep.txt", ftUnknown, 3);
  EXPECT_TRUE(io.Aborting);
  EXPECT_EQ(ReadFileBytes(dir / "keep.txt"), (std::vector<uint8_t>{'o', 'l', 'd'}));
  // A save that fails writes nothing either.
  io.SaveToText(dir / "keep.txt", ftDicom, 2);
  EXPECT_TRUE(io.Aborting);
  EXPECT_EQ(ReadFileBytes(dir / "keep.txt"), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_FALSE(fs::exists(dir / "none.txt"));
}

// Pixels of a PPM or PGM file written by netpbm, without its header.
struct Pnm {
  int width = 0, height = 0, maxval = 0;
  std::vector<uint8_t> pixels;
};

bool ReadPnm(const fs::path& p, Pnm& out) {
  std::vector<uint8_t> b = ReadFileBytes(p);
  std::string head(b.begin(), b.begin() + std::min<size_t>(b.size(), 64));
  char magic[3] = {};
  int consumed = 0;
  if (std::sscanf(head.c_str(), "%2s %d %d %d%n", magic, &out.width, &out.height, &out.maxval,
                  &consumed) != 4)
    return false;
  out.pixels.assign(b.begin() + consumed + 1, b.end());
  return true;
}

TEST(RawPixels, PeerPixelsInterleavedAndPlanar) {
  if (!test::HaveProgram("/usr/bin/ppmpat") || !test::HaveProgram("/usr/bin/pamdepth"))
    GTEST_SKIP() << "netpbm missing";
  TempDir dir;
  const std::string d = ShellQuote(dir.path().string());
  ASSERT_EQ(RunCommand("cd " + d +
                       " && /usr/bin/ppmpat -g2 -randomseed 5 13 7 > a.ppm 2>/dev/null"
                       " && /usr/bin/pamdepth 65535 a.ppm > a16.ppm 2>/dev/null"),
            0);
  Pnm a, a16;
  ASSERT_TRUE(ReadPnm(dir / "a.ppm", a));
  ASSERT_TRUE(ReadPnm(dir / "a16.ppm", a16));
  ASSERT_EQ(a.pixels.size(), size_t(13 * 7 * 3));

  // Interleaved RGB with a header and rows padded to 32 bits.
  const int stored = (13 * 24 + 31) / 32 * 4;
  std::vector<uint8_t> data(10, 0xEE);
  for (int y = 0; y < 7; ++y) {
    data.insert(data.end(), a.pixels.begin() + y * 39, a.pixels.begin() + (y + 1) * 39);
    data.insert(data.end(), size_t(stored - 39), 0x55);
  }
  TLumenaxIO io;
  io.Bitmap()->Allocate(13, 7, lx24RGB);
  io.Params.RawPixelsHeaderSize = 10;
  io.Params.RawPixelsRowAlign = 32;
  TMemoryStream s(data);
  io.LoadFromStreamRawPixels(s);
  ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
  EXPECT_EQ(io.Params.FileType, ftRawPixels);
  EXPECT_EQ(io.Params.Width, 13);
  EXPECT_EQ(io.Params.SamplesPerPixel, 3);
  for (int y = 0; y < 7; ++y) {
    for (int x = 0; x < 13; ++x) {
      const uint8_t* p = io.Bitmap()->ScanLine(y) + x * 3;
      const uint8_t* q = a.pixels.data() + (y * 13 + x) * 3;
      ASSERT_EQ(p[2], q[0]);
      ASSERT_EQ(p[1], q[1]);
      ASSERT_EQ(p[0], q[2]);
    }
  }

  // Planar 16-bit: three planes of big-endian samples kept as they are (bitmap order).
  std::vector<uint8_t> planes;
  for (int c = 0; c < 3; ++c) {
    for (int i = 0; i < 13 * 7; ++i) {
      planes.push_back(a16.pixels[size_t(i * 6 + c * 2)]);
      planes.push_back(a16.pixels[size_t(i * 6 + c * 2 + 1)]);
    }
  }
  TLumenaxIO io16;
  io16.Bitmap()->Allocate(13, 7, lxRGB48);
  io16.Params.RawPixelsPlanar = true;
  io16.Params.RawPixelsBitmapOrder = true;
  TMemoryStream s16(planes);
  io16.LoadFromStreamRawPixels(s16);
  ASSERT_FALSE(io16.Aborting) << io16.FailureReason.Text();
  for (int i = 0; i < 13 * 7; ++i) {
    const uint8_t* p = io16.Bitmap()->ScanLine(i / 13) + (i % 13) * 6;
    ASSERT_EQ(std::memcmp(p, a16.pixels.data() + i * 6, 6), 0) << i;
  }
}

TEST(RawPixels, RedFirstSamplesLandBlueFirst) {
  // 16-bit interleaved and 8-bit planar, red first: every pixel's first and third samples
  // trade places, the middle one stays; CMYK planes keep their order.
  const int w = 5, h = 3;
  std::vector<uint8_t> inter;
  for (int i = 0; i < w * h * 6; ++i) inter.push_back(uint8_t(i * 7 + 1));
  TLumenaxIO io16;
  io16.Bitmap()->Allocate(w, h, lxRGB48);
  TMemoryStream s16(inter);
  io16.LoadFromStreamRawPixels(s16);
  ASSERT_FALSE(io16.Aborting) << io16.FailureReason.Text();
  for (int i = 0; i < w * h; ++i) {
    const uint8_t* p = io16.Bitmap()->ScanLine(i / w) + (i % w) * 6;
    const uint8_t* q = inter.data() + i * 6;
    const uint8_t want[6] = {q[4], q[5], q[2], q[3], q[0], q[1]};
    ASSERT_EQ(std::memcmp(p, want, 6), 0) << i;
  }

  std::vector<uint8_t> planes;
  for (int i = 0; i < w * h * 4; ++i) planes.push_back(uint8_t(i * 3 + 2));
  for (PixelFormat pf : {lx24RGB, lxCMYK}) {
    const int n = pf == lxCMYK ? 4 : 3;
    TLumenaxIO io;
    io.Bitmap()->Allocate(w, h, pf);
    io.Params.RawPixelsPlanar = true;
    std::vector<uint8_t> bytes(planes.begin(), planes.begin() + w * h * n);
    TMemoryStream s(bytes);
    io.LoadFromStreamRawPixels(s);
    ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
    for (int i = 0; i < w * h; ++i) {
      const uint8_t* p = io.Bitmap()->ScanLine(i / w) + (i % w) * n;
      for (int c = 0; c < n; ++c) {
        const int plane = n == 3 ? 2 - c : c;
        ASSERT_EQ(p[c], bytes[size_t(plane * w * h + i)]) << int(pf) << " " << i << " " << c;
      }
    }
  }
}

TEST(RawPixels, BadDescriptionsAndShortDataAreRefused) {
  std::vector<uint8_t> data(4 * 3 * 3, 7);
  struct Case {
    PixelFormat pf;
    int32_t align;
    bool planar;
    size_t size;
    TLxFailure expected;
  } cases[] = {
      {lx24RGB, 0, false, data.size(), TLxFailure::BadHeader},
      {lx24RGB, 12, false, data.size(), TLxFailure::BadHeader},
      {lx24RGB, 8, false, data.size() - 1, TLxFailure::Truncated},
      {lx24RGB, 8, true, data.size() - 1, TLxFailure::Truncated},
      {lx32RGB, 8, true, 200, TLxFailure::Unsupported},
      {lxCIELab, 8, true, 200, TLxFailure::Unsupported},
      {lxNone, 8, false, data.size(), TLxFailure::NoImage},
  };
  for (const Case& c : cases) {
    TLumenaxIO io;
    if (c.pf != lxNone) io.Bitmap()->Allocate(4, 3, c.pf);
    io.Params.RawPixelsRowAlign = c.align;
    io.Params.RawPixelsPlanar = c.planar;
    std::vector<uint8_t> bytes(c.size, 7);
    TMemoryStream s(bytes);
    io.LoadFromStreamRawPixels(s);
    EXPECT_TRUE(io.Aborting) << int(c.pf) << " " << c.align;
    EXPECT_EQ(io.FailureReason.Code, c.expected) << int(c.pf) << " " << c.align;
  }
}

TEST(AdjustDPI, SquaresPixelsWithinSensibleRatios) {
  struct Case {
    int w, h, dpiX, dpiY, ew, eh, edpi;
  } cases[] = {
      {100, 50, 300, 150, 100, 100, 300},
      {50, 100, 300, 150, 25, 100, 150},
      // A ratio beyond 1:16 is not a real device's: the image stays as loaded.
      {40, 20, 3400, 200, 40, 20, -1},
  };
  for (const Case& c : cases) {
    TLumenaxIO io;
    io.Bitmap()->Allocate(c.w, c.h, lx24RGB);
    io.Params.Width = c.w;
    io.Params.Height = c.h;
    io.Params.DpiX = c.dpiX;
    io.Params.DpiY = c.dpiY;
    io.AdjustDPI();
    EXPECT_EQ(io.Bitmap()->Width(), c.ew);
    EXPECT_EQ(io.Bitmap()->Height(), c.eh);
    EXPECT_EQ(io.Params.Width, c.ew);
    if (c.edpi > 0) {
      EXPECT_EQ(io.Params.DpiX, c.edpi);
      EXPECT_EQ(io.Params.DpiY, c.edpi);
    } else {
      EXPECT_EQ(io.Params.DpiX, c.dpiX);
      EXPECT_EQ(io.Params.DpiY, c.dpiY);
    }
  }
}

}  // namespace
}  // namespace lumenax
