// JPEG 2000 reader and writer: sample scaling, component choice, opacity, writer settings and
// failures, hostile headers, and files of other programs in both directions.
#include <gtest/gtest.h>
#include <openjpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/mask.h"
#include "codecs/common/tests/codec_test_util.h"
#include "codecs/jp2/jp2.h"
#include "codecs/jp2/jp2_openjpeg.h"
#include "io/lumenax_io.h"
#include "io/params.h"

namespace lumenax {
namespace {

using namespace test;
namespace fs = std::filesystem;

struct Loaded {
  TLxBitmap bitmap;
  TIOParamsVals params;
  std::unique_ptr<TLxMask> mask;
  Outcome outcome;
  TRGB At(int x, int y) { return bitmap.PixelAsRGB(x, y); }
};

std::unique_ptr<Loaded> Load(const std::vector<uint8_t>& bytes, bool headerOnly = false) {
  auto l = std::make_unique<Loaded>();
  TLxMemStream s(bytes.data(), int64_t(bytes.size()));
  l->outcome = RunCodec(
      [&](ProgressRecord& p) { ReadJp2Stream(s, l->bitmap, l->params, headerOnly, &l->mask, p); });
  return l;
}

std::vector<uint8_t> Save(TLxBitmap& bm, TIOParamsVals& params, int format = kJp2FormatFile,
                          Outcome* outcome = nullptr) {
  TMemoryStream s;
  Outcome o = RunCodec([&](ProgressRecord& p) { WriteJp2Stream(s, bm, params, format, p); });
  if (outcome) *outcome = o;
  EXPECT_FALSE(o.aborting) << o.reason.Text();
  return StreamBytes(s);
}

// A code stream of the given components built with OpenJPEG itself (values per component,
// each of its own size). Lossless.
struct Comp {
  uint32_t dx = 1, dy = 1, prec = 8;
  bool sgnd = false;
  std::vector<int32_t> values;
};
std::vector<uint8_t> Encode(int w, int h, std::vector<Comp> comps, OPJ_COLOR_SPACE cs,
                            OPJ_CODEC_FORMAT form = OPJ_CODEC_J2K) {
  std::vector<opj_image_cmptparm_t> cp(comps.size());
  for (size_t i = 0; i < comps.size(); ++i) {
    std::memset(&cp[i], 0, sizeof cp[i]);
    cp[i].dx = comps[i].dx, cp[i].dy = comps[i].dy;
    cp[i].w = (uint32_t(w) + cp[i].dx - 1) / cp[i].dx;
    cp[i].h = (uint32_t(h) + cp[i].dy - 1) / cp[i].dy;
    cp[i].prec = comps[i].prec, cp[i].sgnd = comps[i].sgnd;
  }
  OpjImage im(opj_image_create(uint32_t(cp.size()), cp.data(), cs));
  im->x1 = uint32_t(w), im->y1 = uint32_t(h);
  for (size_t i = 0; i < comps.size(); ++i) {
    EXPECT_EQ(comps[i].values.size(), size_t(cp[i].w) * cp[i].h);
    std::copy(comps[i].values.begin(), comps[i].values.end(), im->comps[i].data);
  }
  opj_cparameters_t p;
  opj_set_default_encoder_parameters(&p);
  p.numresolution = 1;
  TMemoryStream out;
  OpjStreamState st;
  st.Stream = &out;
  st.Writing = true;
  OpjCodec codec(opj_create_compress(form));
  OpjStream s = MakeOpjStream(st);
  EXPECT_TRUE(opj_setup_encoder(codec.get(), &p, im.get()) &&
              opj_start_compress(codec.get(), im.get(), s.get()) &&
              opj_encode(codec.get(), s.get()) && opj_end_compress(codec.get(), s.get()));
  s.reset();
  return StreamBytes(out);
}

Comp Filled(int w, int h, uint32_t prec, bool sgnd, int32_t (*f)(int x, int y), uint32_t dx = 1,
            uint32_t dy = 1) {
  Comp c{dx, dy, prec, sgnd, {}};
  const int cw = (w + int(dx) - 1) / int(dx), ch = (h + int(dy) - 1) / int(dy);
  for (int y = 0; y < ch; ++y)
    for (int x = 0; x < cw; ++x) c.values.push_back(f(x, y));
  return c;
}

// A 24-bit test picture: gradients and a few saturated corners.
void Picture(TLxBitmap& bm, int w, int h) {
  bm.Allocate(w, h, lx24RGB);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      bm.SetPixelsRGB24(x, y, TRGB{uint8_t(x * 7 + y), uint8_t(y * 5), uint8_t((x ^ y) * 3)});
}

// Where the COD segment keeps the progression order and SIZ the first precision.
int CodeStreamByte(const std::vector<uint8_t>& b, uint16_t marker, size_t offset) {
  for (size_t i = 0; i + 1 < b.size(); ++i)
    if (b[i] == 0xFF && b[i + 1] == uint8_t(marker) && i + offset < b.size()) return b[i + offset];
  return -1;
}

TEST(Jp2Reader, NarrowSamplesStretchToFullRangeAndWideOnesKeepTheirTopBits) {
  // 4-bit white is 255 (not 240); 4-bit 5 is 85; 12-bit 4095 is 255 and 0x7F0 is 0x7F.
  auto four = Load(Encode(2, 1, {Comp{1, 1, 4, false, {15, 5}}}, OPJ_CLRSPC_GRAY));
  ASSERT_FALSE(four->outcome.aborting) << four->outcome.reason.Text();
  EXPECT_EQ(four->At(0, 0).r, 255);
  EXPECT_EQ(four->At(1, 0).g, 85);
  EXPECT_EQ(four->params.BitsPerSample, 4);
  auto twelve = Load(Encode(2, 1, {Comp{1, 1, 12, false, {4095, 0x7F0}}}, OPJ_CLRSPC_GRAY));
  EXPECT_EQ(twelve->bitmap.PixelFormat(), lx24RGB);
  EXPECT_EQ(twelve->At(0, 0).b, 255);
  EXPECT_EQ(twelve->At(1, 0).b, 0x7F);
}

TEST(Jp2Reader, SignedSamplesAreMovedToUnsignedBeforeScaling) {
  // As unsigned, -1 would be white; moved by 128 it is just below the middle.
  auto l = Load(Encode(3, 1, {Comp{1, 1, 8, true, {-1, -128, 127}}}, OPJ_CLRSPC_GRAY));
  ASSERT_FALSE(l->outcome.aborting);
  EXPECT_EQ(l->At(0, 0).r, 127);
  EXPECT_EQ(l->At(1, 0).r, 0);
  EXPECT_EQ(l->At(2, 0).r, 255);
}

TEST(Jp2Reader, SubsampledChromaOfACodeStreamIsYCbCrRepeatedOverEachBlock) {
  const int w = 6, h = 4;
  auto l = Load(Encode(w, h,
                       {Filled(w, h, 8, false, [](int x, int) { return 60 + 20 * x; }),
                        Filled(
                            w, h, 8, false, [](int x, int) { return x == 1 ? 200 : 128; }, 2, 2),
                        Filled(
                            w, h, 8, false, [](int, int y) { return y == 1 ? 50 : 128; }, 2, 2)},
                       OPJ_CLRSPC_UNSPECIFIED));
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  ASSERT_EQ(l->bitmap.Width(), w);
  // Neutral chroma: gray of Y.
  TRGB c = l->At(0, 0);
  EXPECT_EQ(c.r, 60);
  EXPECT_EQ(c.g, 60);
  EXPECT_EQ(c.b, 60);
  // Cb 200 covers columns 2 and 3: blue = Y + round(1.772 * 72) = Y + 128.
  EXPECT_EQ(l->At(2, 0).b, 228);
  EXPECT_EQ(l->At(3, 1).b, 248);
  EXPECT_EQ(l->At(4, 0).b, 140);
  // Cr 50 covers rows 2 and 3: red = Y + round(1.402 * -78) = Y - 109.
  EXPECT_EQ(l->At(5, 2).r, 160 - 109);
  EXPECT_EQ(l->At(5, 3).r, 160 - 109);
  EXPECT_EQ(l->At(5, 1).r, 160);
}

TEST(Jp2Reader, ExtraFullSizeComponentOfACodeStreamIsOpacity) {
  const int w = 4, h = 2;
  auto gray =
      Load(Encode(w, h,
                  {Filled(w, h, 8, false, [](int x, int) { return x * 60; }),
                   Filled(w, h, 8, false, [](int x, int y) { return x == 0 && y == 0 ? 0 : 255; })},
                  OPJ_CLRSPC_UNSPECIFIED));
  ASSERT_TRUE(gray->mask);
  EXPECT_EQ(gray->mask->GetPixel(0, 0), 0);
  EXPECT_EQ(gray->mask->GetPixel(1, 0), 255);
  EXPECT_EQ(gray->At(2, 0).g, 120);
  // Fully opaque opacity gives no mask at all.
  auto opaque = Load(Encode(w, h,
                            {Filled(w, h, 8, false, [](int, int) { return 9; }),
                             Filled(w, h, 8, false, [](int, int) { return 9; }),
                             Filled(w, h, 8, false, [](int, int) { return 9; }),
                             Filled(w, h, 8, false, [](int, int) { return 255; })},
                            OPJ_CLRSPC_UNSPECIFIED));
  ASSERT_FALSE(opaque->outcome.aborting);
  EXPECT_FALSE(opaque->mask);
}

TEST(Jp2Reader, CmykAndHostileHeadersAreRefusedWithTheirReason) {
  const int w = 2, h = 2;
  auto flat = [](int, int) { return 1; };
  std::vector<uint8_t> jp2 = Encode(w, h,
                                    {Filled(w, h, 8, false, flat), Filled(w, h, 8, false, flat),
                                     Filled(w, h, 8, false, flat), Filled(w, h, 8, false, flat)},
                                    OPJ_CLRSPC_SRGB, OPJ_CODEC_JP2);
  // The colour box (colr) says CMYK (enumerated space 12).
  const std::string colr = "colr";
  auto at = std::search(jp2.begin(), jp2.end(), colr.begin(), colr.end());
  ASSERT_NE(at, jp2.end());
  ASSERT_EQ(at[4], 1);  // method: enumerated
  at[10] = 12;
  auto cmyk = Load(jp2);
  EXPECT_EQ(cmyk->outcome.code(), TLxFailure::Unsupported);

  EXPECT_EQ(Load(Text("not a jpeg 2000 file"))->outcome.code(), TLxFailure::BadSignature);

  // A code stream whose SIZ claims 60000 x 60000 x 3: refused before decoding.
  std::vector<uint8_t> big = Encode(
      w, h,
      {Filled(w, h, 8, false, flat), Filled(w, h, 8, false, flat), Filled(w, h, 8, false, flat)},
      OPJ_CLRSPC_UNSPECIFIED);
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) big[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
  };
  // SIZ: FF51 Lsiz Rsiz Xsiz Ysiz XOsiz YOsiz XTsiz YTsiz ...
  put32(8, 60000), put32(12, 60000), put32(24, 60000), put32(28, 60000);
  auto huge = Load(big);
  EXPECT_EQ(huge->outcome.code(), TLxFailure::TooLarge);
  EXPECT_TRUE(huge->bitmap.IsEmpty());
  // A small image cut into one-pixel tiles: far more tiles than its bytes could hold, refused
  // before the decoder sets them up (in a file as in a bare code stream).
  for (OPJ_CODEC_FORMAT format : {OPJ_CODEC_J2K, OPJ_CODEC_JP2}) {
    std::vector<uint8_t> tiled =
        Encode(w, h, {Filled(w, h, 8, false, flat)}, OPJ_CLRSPC_GRAY, format);
    const uint8_t socSiz[] = {0xFF, 0x4F, 0xFF, 0x51};
    auto cs = std::search(tiled.begin(), tiled.end(), socSiz, socSiz + 4);
    ASSERT_NE(cs, tiled.end());
    const size_t base = size_t(cs - tiled.begin());
    for (size_t k : {8u, 12u})  // 4000 x 4000 pixels in 1 x 1 tiles
      for (int i = 0; i < 4; ++i) tiled[base + k + size_t(i)] = uint8_t(4000u >> (24 - 8 * i));
    for (size_t k : {24u, 28u})
      for (int i = 0; i < 4; ++i) tiled[base + k + size_t(i)] = uint8_t(1u >> (24 - 8 * i));
    auto many = Load(tiled);
    EXPECT_EQ(many->outcome.code(), TLxFailure::TooLarge) << many->outcome.reason.Text();
  }
  // The same through the fuzzers' cap.
  std::vector<uint8_t> small = Encode(64, 64, {Filled(64, 64, 8, false, flat)}, OPJ_CLRSPC_GRAY);
  TLxMemStream s(small.data(), int64_t(small.size()));
  TLxBitmap bm;
  TIOParamsVals params;
  Outcome o = RunCodec([&](ProgressRecord& p) {
    p.MaxPixels = 1000;
    ReadJp2Stream(s, bm, params, false, nullptr, p);
  });
  EXPECT_EQ(o.code(), TLxFailure::TooLarge);

  // Cut inside the header and inside the data.
  EXPECT_TRUE(Load(std::vector<uint8_t>(small.begin(), small.begin() + 20))->outcome.aborting);
  auto cut = Load(std::vector<uint8_t>(small.begin(), small.begin() + long(small.size() / 2)));
  (void)cut;  // OpenJPEG decodes what is there or refuses; neither may read past the data.
}

TEST(Jp2Writer, RoundTripKeepsPixelsAlphaAndBilevel) {
  TLxBitmap bm;
  Picture(bm, 37, 21);
  TLxBitmap* a = bm.AlphaChannel();
  for (int y = 0; y < 21; ++y)
    for (int x = 0; x < 37; ++x) a->ScanLine(y)[x] = uint8_t(x * 6);
  a->AllOpaque = false;
  TIOParamsVals params;
  for (int form : {kJp2FormatFile, kJp2FormatCodeStream}) {
    auto l = Load(Save(bm, params, form));
    ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
    ASSERT_TRUE(l->mask);
    int diff = 0;
    for (int y = 0; y < 21; ++y)
      for (int x = 0; x < 37; ++x) {
        TRGB p = l->At(x, y), q = bm.PixelAsRGB(x, y);
        diff += p.r != q.r || p.g != q.g || p.b != q.b || l->mask->GetPixel(x, y) != x * 6;
      }
    EXPECT_EQ(diff, 0) << "form " << form;
  }
  // A fully opaque alpha channel is not written: three components.
  a->Fill(255);
  a->AllOpaque = true;
  TLxJ2kSamples samples;
  std::vector<uint8_t> opaque = Save(bm, params);
  RunCodec([&](ProgressRecord& p) { DecodeJ2kSamples(opaque.data(), opaque.size(), samples, p); });
  EXPECT_EQ(samples.Components, 3);

  TLxBitmap bits;
  bits.Allocate(19, 5, lx1g);
  for (int y = 0; y < 5; ++y) bits.ScanLine(y)[1] = uint8_t(0xA5 + y);
  TIOParamsVals p1;
  auto l = Load(Save(bits, p1));
  ASSERT_EQ(l->bitmap.PixelFormat(), lx1g);
  for (int y = 0; y < 5; ++y) EXPECT_EQ(l->bitmap.ScanLine(y)[1], uint8_t(0xA5 + y));
  EXPECT_EQ(p1.Jp2ColorSpace, 0);
}

TEST(Jp2Writer, SettingsOutOfRangeFallBackAndOrderRateAndGrayAreHonoured) {
  TLxBitmap bm;
  Picture(bm, 64, 64);
  TIOParamsVals params;
  params.BitsPerSample = 40;  // taken as 8
  params.Jp2ColorSpace = 7;   // taken as RGB
  params.Jp2ProgressionOrder = 1;
  std::vector<uint8_t> j2k = Save(bm, params, kJp2FormatCodeStream);
  EXPECT_EQ(CodeStreamByte(j2k, 0xFF51, 40) & 0x7F, 7);  // Ssiz of the first component: 8 bits
  EXPECT_EQ(CodeStreamByte(j2k, 0xFF51, 39), 3);         // Csiz low byte: three components
  EXPECT_EQ(CodeStreamByte(j2k, 0xFF52, 5), OPJ_RLCP);
  params.Jp2ProgressionOrder = 0;
  EXPECT_EQ(CodeStreamByte(Save(bm, params, kJp2FormatCodeStream), 0xFF52, 5), OPJ_LRCP);

  // Gray at 12 bits: Gray8 widened to v * 4095 / 255, read back to its top 8 bits.
  params.Jp2ColorSpace = 0;
  params.BitsPerSample = 12;
  auto g = Load(Save(bm, params));
  ASSERT_FALSE(g->outcome.aborting);
  EXPECT_EQ(g->params.SamplesPerPixel, 1);
  EXPECT_EQ(g->params.BitsPerSample, 12);
  const TRGB c = bm.PixelAsRGB(10, 20);
  const int gray = (c.r * 21 + c.g * 71 + c.b * 8) / 100;
  EXPECT_EQ(g->At(10, 20).r, (gray * 4095 / 255) >> 4);

  // Rate 0.1 on a noisy picture: about a tenth of the raw size.
  TLxBitmap noise;
  noise.Allocate(128, 128, lx24RGB);
  uint32_t seed = 1;
  for (int y = 0; y < 128; ++y)
    for (int x = 0; x < 384; ++x)
      noise.ScanLine(y)[x] = uint8_t((seed = seed * 1103515245 + 12345) >> 16);
  TIOParamsVals lossy;
  lossy.Jp2Rate = 0.1;
  const size_t size = Save(noise, lossy, kJp2FormatCodeStream).size();
  EXPECT_GT(size, 128 * 128 * 3 / 10 * 8 / 10);
  EXPECT_LT(size, 128 * 128 * 3 / 10 * 12 / 10);
}

TEST(Jp2Writer, EncoderAndStreamFailuresAreReported) {
  TLxBitmap bm;
  Picture(bm, 64, 64);
  TIOParamsVals params;
  for (int form : {kJp2FormatFile, kJp2FormatCodeStream}) {
    ShortStream s(100);
    Outcome o = RunCodec([&](ProgressRecord& p) { WriteJp2Stream(s, bm, params, form, p); });
    EXPECT_TRUE(o.aborting);
    EXPECT_EQ(o.code(), TLxFailure::WriteFailed);
  }
}

TEST(Jp2Reader, HeaderOnlyFillsTheRecordWithoutPixels) {
  TLxBitmap bm;
  Picture(bm, 40, 30);
  TIOParamsVals params;
  auto l = Load(Save(bm, params), true);
  EXPECT_FALSE(l->outcome.aborting);
  EXPECT_TRUE(l->bitmap.IsEmpty());
  EXPECT_EQ(l->params.Width, 40);
  EXPECT_EQ(l->params.Height, 30);
  EXPECT_EQ(l->params.SamplesPerPixel, 3);
  EXPECT_EQ(l->params.BitsPerSample, 8);
}

// ---------------------------------------------------------------- other programs' files

// A binary PNM (P5 or P6, any maximum) with every sample brought to 8 bits by our rule.
bool ReadPnm8(const fs::path& file, int& w, int& h, int& channels, std::vector<uint8_t>& out) {
  std::vector<uint8_t> b = ReadFileBytes(file);
  size_t pos = 2;
  auto number = [&]() {
    while (pos < b.size() && (std::isspace(b[pos]) || b[pos] == '#'))
      if (b[pos++] == '#')
        while (pos < b.size() && b[pos] != '\n') ++pos;
    long v = 0;
    while (pos < b.size() && std::isdigit(b[pos])) v = v * 10 + (b[pos++] - '0');
    return v;
  };
  if (b.size() < 3 || b[0] != 'P' || (b[1] != '5' && b[1] != '6')) return false;
  channels = b[1] == '5' ? 1 : 3;
  w = int(number()), h = int(number());
  const long maxval = number();
  ++pos;
  int prec = 0;
  while ((1L << prec) - 1 < maxval) ++prec;
  const size_t n = size_t(w) * h * channels;
  const int bytes = maxval > 255 ? 2 : 1;
  if (b.size() < pos + n * bytes) return false;
  out.resize(n);
  for (size_t i = 0; i < n; ++i) {
    long v = bytes == 2 ? b[pos + 2 * i] << 8 | b[pos + 2 * i + 1] : b[pos + i];
    out[i] = prec >= 8 ? uint8_t(v >> (prec - 8)) : uint8_t((v * 255 + maxval / 2) / maxval);
  }
  return true;
}

// Our reading of file against opj_decompress's, brought to 8 bits; the largest difference.
int CompareWithOpjDecompress(const fs::path& file, const TempDir& dir, bool gray) {
  fs::path pnm = dir / (gray ? "ref.pgm" : "ref.ppm");
  std::string cmd = "opj_decompress -i " + ShellQuote(file.string()) + " -o " +
                    ShellQuote(pnm.string()) + " >/dev/null 2>&1";
  if (RunCommand(cmd) != 0) return -1;
  int w = 0, h = 0, ch = 0;
  std::vector<uint8_t> ref;
  if (!ReadPnm8(pnm, w, h, ch, ref)) return -2;
  auto l = Load(ReadFileBytes(file));
  if (l->outcome.aborting || l->bitmap.Width() != w || l->bitmap.Height() != h) return -3;
  int worst = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      TRGB p = l->At(x, y);
      const uint8_t* r = &ref[(size_t(y) * w + x) * ch];
      const int want[3] = {r[0], ch == 3 ? r[1] : r[0], ch == 3 ? r[2] : r[0]};
      worst = std::max(
          {worst, std::abs(p.r - want[0]), std::abs(p.g - want[1]), std::abs(p.b - want[2])});
    }
  return worst;
}

TEST(Jp2Peers, RealFilesEqualOpjDecompress) {
  const fs::path data = TestDataDir();
  if (data.empty() || !HaveProgram("opj_decompress")) GTEST_SKIP() << "no test data or peer";
  const fs::path glymur = data / "python3-glymur/usr/lib/python3/dist-packages/glymur/data";
  const fs::path afl = data / "afl++-doc/usr/share/doc/afl++-doc/afl/testcases/images/jp2";
  TempDir dir;
  struct Case {
    fs::path file;
    bool gray;
  } cases[] = {{glymur / "goodstuff.j2k", false},
               {glymur / "heliov.jpx", false},
               {glymur / "nemo.jp2", false},
               {afl / "not_kitty.jp2", false}};
  int found = 0;
  for (const Case& c : cases) {
    if (!fs::exists(c.file)) continue;
    ++found;
    EXPECT_EQ(CompareWithOpjDecompress(c.file, dir, c.gray), 0) << c.file;
  }
  if (found == 0) GTEST_SKIP() << "packages not fetched";
}

// A gradient picture as a PNM of the given channels and maximum, for opj_compress.
fs::path WritePnm(const TempDir& dir, const std::string& name, int w, int h, int channels,
                  int maxval) {
  std::string head = std::string(channels == 1 ? "P5" : "P6") + "\n" + std::to_string(w) + " " +
                     std::to_string(h) + "\n" + std::to_string(maxval) + "\n";
  std::vector<uint8_t> b(head.begin(), head.end());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < channels; ++c) {
        const long v = (long(x) * 977 + long(y) * 131 + c * 4001) % (maxval + 1);
        if (maxval > 255) b.push_back(uint8_t(v >> 8));
        b.push_back(uint8_t(v));
      }
  fs::path p = dir / name;
  WriteFileBytes(p, b);
  return p;
}

TEST(Jp2Peers, OpjCompressVariantsEqualOpjDecompress) {
  if (!HaveProgram("opj_compress") || !HaveProgram("opj_decompress")) GTEST_SKIP();
  TempDir dir;
  const fs::path rgb = WritePnm(dir, "in.ppm", 97, 61, 3, 255);
  const fs::path g12 = WritePnm(dir, "in12.pgm", 53, 40, 1, 4095);
  const fs::path g16 = WritePnm(dir, "in16.pgm", 53, 40, 1, 65535);
  const fs::path g1 = WritePnm(dir, "in1.pgm", 53, 40, 1, 1);
  struct Case {
    fs::path in;
    std::string options, ext;
    bool gray;
  } cases[] = {
      {rgb, "-n 3", "jp2", false},
      {rgb, "-n 3 -r 20", "j2k", false},
      {rgb, "-n 3 -r 40,20,10 -I", "jp2", false},
      {rgb, "-n 2 -t 32,32", "j2k", false},
      {rgb, "-n 3 -c [32,32],[16,16]", "jp2", false},
      {rgb, "-n 3 -p LRCP", "j2k", false},
      {rgb, "-n 3 -p RLCP", "j2k", false},
      {rgb, "-n 3 -p RPCL", "j2k", false},
      {rgb, "-n 3 -p PCRL", "j2k", false},
      {rgb, "-n 3 -p CPRL", "j2k", false},
      {rgb, "-n 1", "jp2", false},
      {g12, "-n 3", "jp2", true},
      {g16, "-n 3", "j2k", true},
      {g1, "-n 2", "j2k", true},
  };
  int i = 0;
  for (const Case& c : cases) {
    const fs::path out = dir / ("v" + std::to_string(i++) + "." + c.ext);
    ASSERT_EQ(RunCommand("opj_compress -i " + ShellQuote(c.in.string()) + " -o " +
                         ShellQuote(out.string()) + " " + c.options + " >/dev/null 2>&1"),
              0)
        << c.options;
    EXPECT_EQ(CompareWithOpjDecompress(out, dir, c.gray), 0) << c.options << " " << c.ext;
  }
  // Signed and subsampled raw input: 8-bit signed gray, and 4:2:0 YCbCr (OpenJPEG's tool turns
  // it to RGB with its own rounding: within 2).
  std::vector<uint8_t> raw;
  for (int i2 = 0; i2 < 32 * 16; ++i2) raw.push_back(uint8_t(i2 * 7));
  WriteFileBytes(dir / "s.raw", raw);
  const fs::path signedOut = dir / "signed.j2k";
  ASSERT_EQ(RunCommand("opj_compress -i " + ShellQuote((dir / "s.raw").string()) + " -o " +
                       ShellQuote(signedOut.string()) + " -F 32,16,1,8,s -n 2 >/dev/null 2>&1"),
            0);
  EXPECT_EQ(CompareWithOpjDecompress(signedOut, dir, true), 0);
  std::vector<uint8_t> ycc;
  for (int k = 0; k < 32 * 16; ++k) ycc.push_back(uint8_t(40 + k % 170));
  for (int k = 0; k < 2 * 16 * 8; ++k) ycc.push_back(uint8_t(90 + k % 70));
  WriteFileBytes(dir / "y.raw", ycc);
  const fs::path yccOut = dir / "ycc.j2k";
  ASSERT_EQ(
      RunCommand("opj_compress -i " + ShellQuote((dir / "y.raw").string()) + " -o " +
                 ShellQuote(yccOut.string()) + " -F 32,16,3,8,u@1x1:2x2:2x2 -n 2 >/dev/null 2>&1"),
      0);
  const int d = CompareWithOpjDecompress(yccOut, dir, false);
  EXPECT_GE(d, 0);
  EXPECT_LE(d, 2);
}

TEST(Jp2Peers, OurFilesDecodeInOpjDecompressAndPillow) {
  if (!HaveProgram("opj_decompress")) GTEST_SKIP();
  TempDir dir;
  TLxBitmap bm;
  Picture(bm, 50, 33);
  TLxBitmap* a = bm.AlphaChannel();
  for (int y = 0; y < 33; ++y)
    for (int x = 0; x < 50; ++x) a->ScanLine(y)[x] = uint8_t(255 - x * 3);
  a->AllOpaque = false;
  TIOParamsVals params;
  const RgbaImage want = BitmapToRgba(bm);
  for (int form : {kJp2FormatFile, kJp2FormatCodeStream}) {
    const fs::path file = dir / (form == kJp2FormatFile ? "ours.jp2" : "ours.j2k");
    WriteFileBytes(file, Save(bm, params, form));
    const fs::path png = dir / "opj.png";
    ASSERT_EQ(RunCommand("opj_decompress -i " + ShellQuote(file.string()) + " -o " +
                         ShellQuote(png.string()) + " >/dev/null 2>&1"),
              0);
    RgbaImage got;
    ASSERT_TRUE(ReadPngRgba(png, got));
    EXPECT_EQ(CountDifferentPixels(got, want), 0u) << file;
    if (form == kJp2FormatFile && HavePillow()) {
      RgbaImage pillow;
      ASSERT_TRUE(PillowRgba(file, pillow, dir));
      EXPECT_EQ(CountDifferentPixels(pillow, want), 0u);
    }
  }
  // opj_dump names the progression order we asked for.
  params.Jp2ProgressionOrder = 1;
  const fs::path rl = dir / "rlcp.jp2";
  WriteFileBytes(rl, Save(bm, params));
  std::string dump;
  RunCommand("opj_dump -i " + ShellQuote(rl.string()) + " 2>/dev/null", &dump);
  EXPECT_NE(dump.find("prg=0x1"), std::string::npos) << dump.substr(0, 400);
}

TEST(Jp2Io, EntryPointsSaveAndLoadByExtension) {
  TempDir dir;
  TLumenaxIO io;
  Picture(*io.Bitmap(), 30, 20);
  for (const char* name : {"a.jp2", "a.j2k", "a.jpc", "a.j2c"}) {
    io.SaveToFile(dir / name);
    ASSERT_FALSE(io.Aborting) << name;
    TLumenaxIO back;
    back.LoadFromFile(dir / name);
    EXPECT_FALSE(back.Aborting) << name;
    EXPECT_EQ(back.Params.FileType, std::string(name) == "a.jp2" ? ftJp2 : ftJ2k) << name;
    EXPECT_EQ(back.Bitmap()->Width(), 30);
  }
}

}  // namespace
}  // namespace lumenax
