// The reader and writer against files and decoders of other people's making: the Go image
// test files, djpeg, cjpeg, ImageMagick, Pillow and exiftool.
#include <gtest/gtest.h>

#include <cstring>

#include "bitmap/stream.h"
#include "codecs/jpeg/tests/jpeg_test_util.h"
#include "io/param_fields.h"
#include "tests/support/test_support.h"

namespace lumenax::test {
namespace {

namespace fs = std::filesystem;
const std::string kPython = "/usr/bin/python3";

Bytes FileBytes(const fs::path& p) {
  return ReadFileBytes(p);
}

// djpeg's decoding of a file as samples (PNM), with extra options.
bool Djpeg(const fs::path& file, const std::string& options, Pnm& out) {
  TempDir dir;
  fs::path pnm = dir / "out.pnm";
  if (RunCommand("djpeg " + options + " -pnm -outfile " + ShellQuote(pnm.string()) + " " +
                 ShellQuote(file.string())) != 0)
    return false;
  return ReadPnm(pnm, out);
}

void RequireTools() {
  if (!HaveProgram("djpeg") || !HaveProgram("cjpeg")) GTEST_SKIP() << "libjpeg-turbo-progs missing";
}

TEST(JpegPeers, GoFilesEqualDjpegForEveryDctMethodAndScale) {
  RequireTools();
  fs::path go = GoTestData();
  if (go.empty()) GTEST_SKIP() << "golang-1.19-src test data missing";
  int files = 0;
  for (const auto& e : fs::directory_iterator(go)) {
    const std::string name = e.path().filename().string();
    if (e.path().extension() != ".jpeg" || name.find("cmyk") != std::string::npos) continue;
    SCOPED_TRACE(name);
    Bytes bytes = FileBytes(e.path());
    struct Case {
      uint8_t dct, scale;
      const char* djpeg;
    } cases[] = {{0, 1, "-dct int"},
                 {1, 1, "-dct fast"},
                 {1, 2, "-dct fast -scale 1/2"},
                 {1, 3, "-dct fast -scale 1/4"},
                 {0, 4, "-dct int -scale 1/8"}};
    for (const Case& c : cases) {
      static thread_local Case current;
      current = c;
      auto d = Decode(bytes, {.NativeLayout = true}, [](TIOParamsVals& p) {
        p.JpegDctMethod = current.dct;
        p.JpegScale = current.scale;
      });
      Pnm ref;
      ASSERT_TRUE(Djpeg(e.path(), c.djpeg, ref)) << c.djpeg;
      // The "truncated" progressive file ends properly after fewer scans: it loads.
      EXPECT_FALSE(d->aborting) << c.djpeg << ": " << d->reason.Text();
      ASSERT_EQ(d->bitmap.Width(), ref.width) << c.djpeg;
      ASSERT_EQ(d->bitmap.Height(), ref.height) << c.djpeg;
      EXPECT_TRUE(BitmapSamples(d->bitmap) == ref.samples) << c.djpeg;
    }
    ++files;
  }
  EXPECT_GE(files, 20);
}

TEST(JpegPeers, GoCmykAgainstPillow) {
  fs::path go = GoTestData();
  if (go.empty() || !HaveProgram(kPython)) GTEST_SKIP() << "test data or Pillow missing";
  fs::path file = go / "video-001.cmyk.jpeg";
  TempDir dir;
  fs::path ppm = dir / "pil.ppm";
  ASSERT_EQ(RunCommand(kPython + " -c \"from PIL import Image; Image.open('" + file.string() +
                       "').convert('RGB').save('" + ppm.string() + "')\""),
            0);
  Pnm ref;
  ASSERT_TRUE(ReadPnm(ppm, ref));
  auto d = Decode(FileBytes(file));
  ASSERT_FALSE(d->aborting) << d->reason.Text();
  EXPECT_EQ(d->params.JpegColorSpace, jcCMYK);
  // Pillow converts by formula; ours goes through the CMYK profile. Same picture, different
  // colours: the mean difference stays moderate.
  Bytes ours = BitmapSamples(d->bitmap);
  ASSERT_EQ(ours.size(), ref.samples.size());
  double sum = 0;
  for (size_t i = 0; i < ours.size(); ++i) sum += std::abs(int(ours[i]) - int(ref.samples[i]));
  const double mean = sum / double(ours.size());
  RecordProperty("cmyk_mean_abs_difference", std::to_string(mean));
  EXPECT_LT(mean, 40) << mean;
  // The native layout keeps the stored samples, which Pillow reports as they are.
  auto native = Decode(FileBytes(file), {.NativeLayout = true});
  ASSERT_EQ(native->bitmap.PixelFormat(), lxCMYK);
}

// Files written by the peers: pixels equal djpeg's; a re-save keeps comments, markers and
// the profile byte for byte.
TEST(JpegPeers, PeerFilesDecodeAndResaveKeepsMetadata) {
  RequireTools();
  if (!HaveProgram(kPython) || !HaveProgram("exiftool") || !HaveProgram("/usr/bin/convert"))
    GTEST_SKIP() << "Pillow, exiftool or ImageMagick missing";
  TempDir dir;
  const std::string d = dir.path().string() + "/";
  // A source picture, a large ICC profile (several APP2 chunks) and a small one.
  ASSERT_EQ(RunCommand(kPython +
                       " -c \"from PIL import Image, ImageCms\n"
                       "im = Image.radial_gradient('L').resize((97, 61)).convert('RGB')\n"
                       "im.save('" +
                       d +
                       "src.ppm')\n"
                       "p = ImageCms.ImageCmsProfile(ImageCms.createProfile('sRGB')).tobytes()\n"
                       "open('" +
                       d +
                       "small.icc','wb').write(p)\n"
                       "open('" +
                       d + "big.icc','wb').write(p + bytes(range(256)) * 600)\n\""),
            0);
  const char* makers[] = {
      "cjpeg -quality 85 -sample 2x2 SRC > OUT",
      "cjpeg -quality 85 -sample 1x1 -progressive -icc ICC_BIG SRC > OUT",
      "cjpeg -rgb -quality 90 SRC > OUT",
      "cjpeg -grayscale -icc ICC_SMALL SRC > OUT",
      "/usr/bin/convert SRC -sampling-factor 2x1 -density 150 -set comment 'a comment' OUT",
      "/usr/bin/convert SRC -colorspace CMYK -quality 90 OUT",
      "/usr/bin/convert SRC -interlace Plane -profile ICC_BIG -set comment hi OUT",
  };
  int n = 0;
  for (std::string cmd : makers) {
    auto put = [&cmd](const std::string& key, const std::string& value) {
      for (size_t at; (at = cmd.find(key)) != std::string::npos;)
        cmd.replace(at, key.size(), value);
    };
    const std::string out = d + "peer" + std::to_string(n++) + ".jpg";
    put("ICC_BIG", d + "big.icc");
    put("ICC_SMALL", d + "small.icc");
    put("SRC", d + "src.ppm");
    put("OUT", out);
    SCOPED_TRACE(cmd);
    ASSERT_EQ(RunCommand(cmd), 0);
    auto dec = Decode(FileBytes(out), {.NativeLayout = true},
                      [](TIOParamsVals& p) { p.JpegDctMethod = 0; });
    ASSERT_FALSE(dec->aborting) << dec->reason.Text();
    if (dec->params.SamplesPerPixel != 4) {
      Pnm ref;
      ASSERT_TRUE(Djpeg(out, "-dct int", ref));
      EXPECT_TRUE(BitmapSamples(dec->bitmap) == ref.samples);
    }
    // Re-save with the record the reader filled.
    if (dec->bitmap.PixelFormat() != lx24RGB) dec->bitmap.SetPixelFormat(lx24RGB);
    const std::string again = out + ".again.jpg";
    WriteFileBytes(again, Encode(dec->bitmap, dec->params));
    std::string a, b;
    for (const char* tag : {"-ICC_Profile", "-Comment"}) {
      RunCommand("exiftool -b " + std::string(tag) + " " + ShellQuote(out), &a);
      RunCommand("exiftool -b " + std::string(tag) + " " + ShellQuote(again), &b);
      EXPECT_TRUE(a == b) << tag << ": " << a.size() << " vs " << b.size() << " bytes";
    }
    auto back = Decode(FileBytes(again));
    EXPECT_FALSE(back->aborting);
    EXPECT_EQ(back->params.JpegColorSpace, dec->params.JpegColorSpace);
  }
}

// Our files: djpeg and Pillow decode them exactly as we do; ImageMagick estimates the quality
// we asked for; the settings show in the file.
TEST(JpegPeers, OurFilesInOtherDecoders) {
  RequireTools();
  if (!HaveProgram(kPython) || !HaveProgram("/usr/bin/identify"))
    GTEST_SKIP() << "Pillow or ImageMagick missing";
  TempDir dir;
  TLxBitmap src(211, 97, lx24RGB);
  FillPattern(src, 3);
  struct Setting {
    TLxJpegColorSpace space;
    bool progressive, optimize;
    int quality;
  } settings[] = {{jcYCbCr, false, false, 80},     {jcYCbCr, true, false, 80},
                  {jcGrayScale, false, false, 75}, {jcRGB, false, false, 92},
                  {jcCMYK, false, false, 80},      {jcYCbCr, false, true, 80}};
  size_t plainSize = 0;
  Bytes plainPixels;
  int n = 0;
  for (const Setting& s : settings) {
    SCOPED_TRACE(n);
    TIOParamsVals params;
    params.JpegColorSpace = s.space;
    params.JpegProgressive = s.progressive;
    params.JpegOptimizeCoding = s.optimize;
    params.JpegQuality = s.quality;
    params.JpegDctMethod = 0;
    params.DpiX = 72;
    params.DpiY = 96;
    Bytes file = Encode(src, params);
    const fs::path path = dir / ("ours" + std::to_string(n++) + ".jpg");
    WriteFileBytes(path, file);
    auto d = Decode(file, {.NativeLayout = true}, [](TIOParamsVals& p) { p.JpegDctMethod = 0; });
    ASSERT_FALSE(d->aborting) << d->reason.Text();
    EXPECT_EQ(d->params.JpegColorSpace, s.space);
    EXPECT_EQ(d->params.JpegProgressive, s.progressive);
    if (s.space != jcRGB) {  // libjpeg writes no JFIF header (and so no density) for RGB
      EXPECT_EQ(d->params.DpiX, 72);
      EXPECT_EQ(d->params.DpiY, 96);
    }
    std::string q;
    RunCommand("/usr/bin/identify -format %Q " + ShellQuote(path.string()), &q);
    EXPECT_EQ(q, std::to_string(s.quality));
    if (s.space == jcCMYK) {
      // Both a JFIF APP0 and an Adobe APP14 marker.
      bool app0 = false, app14 = false;
      for (size_t i = 0; i + 1 < 40 && i + 1 < file.size(); ++i) {
        app0 = app0 || (file[i] == 0xFF && file[i + 1] == 0xE0);
        app14 = app14 || (file[i] == 0xFF && file[i + 1] == 0xEE);
      }
      EXPECT_TRUE(app0 && app14);
      continue;
    }
    Pnm ref;
    ASSERT_TRUE(Djpeg(path, "-dct int", ref));
    Bytes ours = BitmapSamples(d->bitmap);
    EXPECT_TRUE(ours == ref.samples);
    const fs::path pil = dir / "pil.pnm";
    ASSERT_EQ(RunCommand(kPython + " -c \"from PIL import Image; Image.open('" + path.string() +
                         "').save('" + pil.string() + "')\""),
              0);
    Pnm viaPil;
    ASSERT_TRUE(ReadPnm(pil, viaPil));
    EXPECT_TRUE(viaPil.samples == ours) << "Pillow decodes to the same samples";
    if (s.space == jcYCbCr && !s.progressive && !s.optimize) {
      plainSize = file.size();
      plainPixels = ours;
      double psnr = Psnr(ours, BitmapSamples(src));
      RecordProperty("psnr_q80", std::to_string(psnr));
      std::printf("PSNR at quality 80: %.2f dB\n", psnr);
      EXPECT_GT(psnr, 28);
    }
    if (s.optimize) {
      EXPECT_LT(file.size(), plainSize);
      EXPECT_TRUE(ours == plainPixels);
    }
  }
}

TEST(JpegWrite, MarkersProfileAndLimits) {
  TLxBitmap src(40, 30, lx24RGB);
  FillPattern(src);
  TIOParamsVals params;
  Bytes big(70000, 0x41), exif = {'E', 'x', 'i', 'f', 0, 0, 1, 2, 3};
  params.JpegMarkers.AddMarker(0xFE, "note", 4);
  params.JpegMarkers.AddMarker(0xEE, "Adobe", 5);         // libjpeg writes its own
  params.JpegMarkers.AddMarker(0xE3, big.data(), 65534);  // too long for a segment
  params.JpegMarkers.AddMarker(0xE1, exif.data(), int(exif.size()));
  Bytes profile(140000);
  for (size_t i = 0; i < profile.size(); ++i) profile[i] = uint8_t(i % 251);
  params.InputICCProfile().LoadFromBuffer(profile);
  auto back = Decode(Encode(src, params));
  ASSERT_FALSE(back->aborting) << back->reason.Text();
  const TLxMarkerList& m = back->params.JpegMarkers;
  // Sorted by code: APP1, three APP2 chunks, the comment; no APP3, no second APP14.
  ASSERT_EQ(m.Count(), 5);
  EXPECT_EQ(m.MarkerCode(0), 0xE1);
  EXPECT_EQ(m.MarkerCode(1), 0xE2);
  EXPECT_EQ(m.MarkerLength(1), 65533);
  EXPECT_EQ(m.MarkerCode(4), 0xFE);
  EXPECT_EQ(back->params.InputICCProfile().Raw(), profile);

  // Markers that already carry a profile win over the record's profile.
  TIOParamsVals p2;
  Bytes chunk(14);
  std::memcpy(chunk.data(), "ICC_PROFILE\0\1\1", 14);
  chunk.push_back(7);
  p2.JpegMarkers.AddMarker(0xE2, chunk.data(), int(chunk.size()));
  p2.InputICCProfile().LoadFromBuffer(profile);
  auto b2 = Decode(Encode(src, p2));
  EXPECT_EQ(b2->params.InputICCProfile().Raw(), Bytes{7});
}

TEST(JpegWrite, RefusalsAndOtherLayouts) {
  TIOParamsVals params;
  TLxBitmap empty;
  bool aborting = false;
  TLxFailureReason reason;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  progress.ReasonPtr = &reason;
  TMemoryStream out;
  WriteJpegStream(out, empty, params, progress);
  EXPECT_TRUE(aborting);
  EXPECT_EQ(out.Size(), 0);

  // A stream that takes nothing: the write fails, no exception.
  TLxBitmap src(300, 300, lx24RGB);
  FillPattern(src);
  params.JpegQuality = 100;
  aborting = false;
  reason.Clear();
  Bytes none;
  TLxMemStream readOnly(none.data(), 0);
  WriteJpegStream(readOnly, src, params, progress);
  EXPECT_TRUE(aborting);
  EXPECT_EQ(reason.Code, TLxFailure::WriteFailed);

  // A gray bitmap is converted on the way.
  TLxBitmap gray(10, 10, lx8g);
  gray.Fill(77);
  auto back = Decode(Encode(gray, params));
  EXPECT_NEAR(back->bitmap.ScanLine(5)[15], 77, 1);
}

TEST(JpegWrite, FieldTableShowsMarkersAndNumbers) {
  TIOParamsVals params;
  Bytes a(0x1A2C, 1), b(16, 2);
  params.JpegMarkers.AddMarker(0xE1, a.data(), int(a.size()));
  params.JpegMarkers.AddMarker(0xFE, b.data(), int(b.size()));
  const ParamField* markers = FindParamField("JpegMarkers");
  ASSERT_NE(markers, nullptr);
  EXPECT_EQ(markers->Get(params), "E1:1A2C FE:0010");
  params.JpegColorSpace = jcCMYK;
  EXPECT_EQ(FindParamField("JpegColorSpace")->Get(params), "3");
  EXPECT_TRUE(FindParamField("JpegQuality")->Set(params, "55"));
  EXPECT_EQ(params.JpegQuality, 55);
}

}  // namespace
}  // namespace lumenax::test
