// The checks every codec must pass, run over every registry row whose codec has a reader:
// cut files are refused with a reason or decoded, never crash; a cancel from the progress
// event stops the load; every load ends with exactly one finish notification; FileType and
// FileName are set after a failed load; a save that fails leaves the old target. A new codec
// gets these checks by adding its sample files to kSamples.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "codecs/codec.h"
#include "codecs/common/ascii_case.h"
#include "io/lumenax_io.h"
#include "io/registry.h"
#include "tests/support/test_support.h"

namespace lumenax {
namespace {

namespace fs = std::filesystem;
using test::CorpusDir;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

struct Sample {
  FileType type;
  // Relative to the corpus folder; "data:" paths are relative to the folder of sample files
  // from Debian packages (scripts/test-data-packages), "src:" paths to the project.
  const char* path;
};

fs::path SamplePath(const Sample& s) {
  const std::string p = s.path;
  if (p.starts_with("data:")) return test::TestDataDir() / p.substr(5);
  if (p.starts_with("src:")) return test::SourceDir() / p.substr(4);
  return CorpusDir() / p;
}

// Files of other people's making, one or more per format with a reader.
constexpr Sample kSamples[] = {
    {ftBmp, "bmpsuite/g/rgb24.bmp"},
    {ftBmp, "bmpsuite/g/pal8rle.bmp"},
    {ftBmp, "bmpsuite/g/rgb32bf.bmp"},
    {ftPng, "pngsuite/png/basn2c08.png"},
    {ftPng, "pngsuite/png/basi3p04.png"},
    {ftPng, "pngsuite/png/basn6a16.png"},
    {ftJpeg, "bmpsuite/reference/rgb24.jpg"},
#define LX_GIF_SUITE "data:gdk-pixbuf-tests/usr/libexec/installed-tests/gdk-pixbuf/test-images/"
    {ftGif, LX_GIF_SUITE "gif-test-suite/animation.gif"},
    {ftGif, LX_GIF_SUITE "gif-test-suite/interlace.gif"},
    {ftGif, LX_GIF_SUITE "gif-test-suite/local-color-table.gif"},
#undef LX_GIF_SUITE
    // Seeds of the fuzz targets, made by netpbm and Pillow.
    {ftPxm, "src:fuzz/corpus/pnm_reader_fuzz/ramp.ppm"},
    {ftPxm, "src:fuzz/corpus/pnm_reader_fuzz/plain.pgm"},
    {ftPxm, "src:fuzz/corpus/pnm_reader_fuzz/bits.pbm"},
    {ftTga, "src:fuzz/corpus/tga_reader_fuzz/rle24.tga"},
    {ftJp2, "src:fuzz/corpus/jp2_reader_fuzz/gray12.jp2"},
    {ftJp2, "src:fuzz/corpus/jp2_reader_fuzz/not_kitty.jp2"},
    {ftJ2k, "src:fuzz/corpus/jp2_reader_fuzz/ycc420.j2k"},
    {ftJ2k, "src:fuzz/corpus/jp2_reader_fuzz/rgb_lossy.j2k"},
    {ftDicom, "src:fuzz/corpus/dicom_reader_fuzz/mr_rle.dcm"},
    {ftDicom, "src:fuzz/corpus/dicom_reader_fuzz/mr_lossless.dcm"},
    {ftDicom, "src:fuzz/corpus/dicom_reader_fuzz/rgb_native.dcm"},
    {ftTga, "src:fuzz/corpus/tga_reader_fuzz/rgba.tga"},
    {ftTga, "src:fuzz/corpus/tga_reader_fuzz/cmap.tga"},
    {ftPcx, "src:fuzz/corpus/pcx_reader_fuzz/rle8.pcx"},
    {ftPcx, "src:fuzz/corpus/pcx_reader_fuzz/rgb.pcx"},
    {ftDcx, "src:fuzz/corpus/pcx_reader_fuzz/pages.dcx"},
    {ftIco, "data:nsis-common/usr/share/nsis/Contrib/Graphics/Icons/orange-install.ico"},
    {ftIco, "src:fuzz/corpus/ico_reader_fuzz/png.ico"},
    {ftIco, "src:fuzz/corpus/ico_reader_fuzz/nb.ico"},
    {ftCur, "data:wx3.2-examples/usr/share/doc/wx3.2-examples/examples/samples/image/horse.cur"},
    {ftWbmp, "src:fuzz/corpus/wbmp_reader_fuzz/ramp.wbmp"},
    {ftWbmp, "src:fuzz/corpus/wbmp_reader_fuzz/big.wbmp"},
    {ftRaw, "data:rawtran-doc/usr/share/doc/rawtran/IMG_5952.CR2"},
#define LX_GO_TIFF \
  "data:golang-golang-x-image-dev/usr/share/gocode/src/golang.org/x/image/testdata/"
    {ftTiff, LX_GO_TIFF "video-001-strip-64.tiff"},
    {ftTiff, LX_GO_TIFF "bw-gopher_ccittGroup4.tiff"},
    {ftTiff, LX_GO_TIFF "video-001-tile-64x64.tiff"},
#undef LX_GO_TIFF
    {ftTiff, "src:fuzz/corpus/tiff_reader_fuzz/jpeg-tables.tif"},
    {ftTiff, "src:fuzz/corpus/tiff_reader_fuzz/gray-alpha.tif"},
    {ftPsd, "src:fuzz/corpus/psd_reader_fuzz/im_rgba_zip_layers.psd"},
    {ftPsd, "src:fuzz/corpus/psd_reader_fuzz/im_cmyk.psd"},
    {ftPsd, "data:davegnukem-datasrc/usr/share/games/davegnukem/src/shadows.psd"},
    {ftPsd,
     "data:graphite-web/usr/share/graphite-web/static/js/ext/resources/images/default/"
     "window/top-bottom.psd"},
};

// The samples of a type that are present (the test-data cache may be missing).
std::vector<Sample> SamplesOf(FileType type) {
  std::vector<Sample> out;
  for (const Sample& s : kSamples) {
    // Samples from a package that could not be fetched are left out.
    if (s.type == type && fs::exists(SamplePath(s))) out.push_back(s);
  }
  return out;
}

bool Listed(FileType type) {
  for (const Sample& s : kSamples)
    if (s.type == type) return true;
  return false;
}

std::vector<const TLxCodecDescriptor*> ReadableCodecs() {
  std::vector<const TLxCodecDescriptor*> out;
  for (const TLxCodecDescriptor* c : AllCodecs()) {
    if (c->Registered && c->Read) out.push_back(c);
  }
  return out;
}

// A file name for a copy of a sample, with the format's first extension.
fs::path NameFor(const TempDir& dir, const TLxCodecDescriptor& codec, const std::string& stem) {
  return dir / (stem + "." + AsciiLower(GetExtension(codec.Type, 0)));
}

struct LoadOutcome {
  bool aborting = false;
  TLxFailureReason reason;
  int finishes = 0;
  FileType type = ftUnknown;
  fs::path name;
};

LoadOutcome LoadByType(const fs::path& file, FileType type, bool cancel = false) {
  TLumenaxIO io;
  LoadOutcome out;
  io.OnFinishWork = [&out](TLumenaxIO&) { ++out.finishes; };
  if (cancel) {
    io.OnProgress = [](TLumenaxIO& sender, int percent) {
      if (percent > 0 && percent < 100) sender.Aborting = true;
    };
  }
  io.LoadFromFileByType(file, type);
  out.aborting = io.Aborting;
  out.reason = io.FailureReason;
  out.type = io.Params.FileType;
  out.name = io.Params.FileName;
  return out;
}

class Conformance : public ::testing::Test {
 protected:
  void SetUp() override {
    if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  }
};

TEST_F(Conformance, EveryReadableCodecHasSamples) {
  for (const TLxCodecDescriptor* c : ReadableCodecs())
    EXPECT_TRUE(Listed(c->Type)) << c->Description << " has no sample in kSamples";
}

TEST_F(Conformance, WholeFilesLoadOnceWithTypeAndName) {
  TempDir dir;
  for (const TLxCodecDescriptor* c : ReadableCodecs()) {
    for (const Sample& s : SamplesOf(c->Type)) {
      fs::path file = NameFor(dir, *c, "whole");
      fs::copy_file(SamplePath(s), file, fs::copy_options::overwrite_existing);
      LoadOutcome out = LoadByType(file, c->Type);
      EXPECT_FALSE(out.aborting) << s.path << ": " << out.reason.Text();
      EXPECT_FALSE(out.reason) << s.path;
      EXPECT_EQ(out.finishes, 1) << s.path;
      EXPECT_EQ(out.type, c->Type) << s.path;
      EXPECT_EQ(out.name, file) << s.path;
    }
  }
}

TEST_F(Conformance, CutFilesAreRefusedWithAReasonOrDecoded) {
  TempDir dir;
  for (const TLxCodecDescriptor* c : ReadableCodecs()) {
    for (const Sample& s : SamplesOf(c->Type)) {
      std::vector<uint8_t> bytes = ReadFileBytes(SamplePath(s));
      std::set<size_t> cuts{0, 1, 8, 16, 33, bytes.size() / 3, bytes.size() / 2, bytes.size() - 1};
      for (size_t cut : cuts) {
        if (cut >= bytes.size()) continue;
        fs::path file = NameFor(dir, *c, "cut" + std::to_string(cut));
        WriteFileBytes(file, std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(cut)));
        LoadOutcome out = LoadByType(file, c->Type);
        SCOPED_TRACE(std::string(s.path) + " cut at " + std::to_string(cut));
        EXPECT_EQ(out.finishes, 1);
        if (out.aborting) {
          EXPECT_TRUE(out.reason) << "refused without a reason";
        }
        // The refused load still tells what was tried.
        EXPECT_EQ(out.type, c->Type);
        EXPECT_EQ(out.name, file);
      }
    }
  }
}

TEST_F(Conformance, CancelFromTheProgressEventStopsTheLoad) {
  TempDir dir;
  for (const TLxCodecDescriptor* c : ReadableCodecs()) {
    if (SamplesOf(c->Type).empty()) continue;
    const Sample s = SamplesOf(c->Type).front();
    fs::path file = NameFor(dir, *c, "cancel");
    fs::copy_file(SamplePath(s), file, fs::copy_options::overwrite_existing);
    LoadOutcome out = LoadByType(file, c->Type, /*cancel=*/true);
    EXPECT_TRUE(out.aborting) << s.path;
    EXPECT_EQ(out.reason.Code, TLxFailure::Cancelled) << s.path << ": " << out.reason.Text();
    EXPECT_EQ(out.finishes, 1) << s.path;
  }
}

TEST_F(Conformance, FailedSavesLeaveTheOldTarget) {
  for (const TLxCodecDescriptor* c : ReadableCodecs()) {
    if (!c->Write || SamplesOf(c->Type).empty()) continue;
    TempDir dir;
    const Sample s = SamplesOf(c->Type).front();
    TLumenaxIO io;
    io.LoadFromFileByType(SamplePath(s), c->Type);
    ASSERT_FALSE(io.Aborting) << s.path;
    fs::path target = NameFor(dir, *c, "target");
    const std::vector<uint8_t> old{'o', 'l', 'd'};
    WriteFileBytes(target, old);
    int finishes = 0;
    io.OnFinishWork = [&finishes](TLumenaxIO&) { ++finishes; };
    io.OnProgress = [](TLumenaxIO& sender, int percent) {
      if (percent > 0 && percent < 100) sender.Aborting = true;
    };
    io.SaveToFile(target);
    EXPECT_TRUE(io.Aborting) << s.path;
    EXPECT_EQ(io.FailureReason.Code, TLxFailure::Cancelled) << s.path;
    EXPECT_EQ(finishes, 1) << s.path;
    EXPECT_EQ(ReadFileBytes(target), old) << s.path;
    std::error_code ec;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path(), ec), fs::directory_iterator()), 1)
        << "a temporary file stayed behind";
  }
}

TEST_F(Conformance, FormatsWithoutCodecsSayWhy) {
  // Every readable row whose codec is not built yet refuses with "no reader" and notifies
  // once; every writable one leaves no file and says "no writer".
  TempDir dir;
  const fs::path some = CorpusDir() / "bmpsuite/g/rgb24.bmp";
  for (const TLxCodecDescriptor* c : AllCodecs()) {
    if (!c->Registered || c->LoadRoute != TLxLoadRoute::Reader) continue;
    if (c->Readable && !c->Read) {
      LoadOutcome out = LoadByType(some, c->Type);
      EXPECT_TRUE(out.aborting) << c->Description;
      EXPECT_EQ(out.reason.Code, TLxFailure::NoReader) << c->Description;
      EXPECT_EQ(out.finishes, 1) << c->Description;
    }
    if (c->Writable && !c->Write && *c->SaveExtensions) {
      TLumenaxIO io;
      io.LoadFromFile(some);
      std::string ext(c->SaveExtensions);
      fs::path target = dir / ("out" + ext.substr(0, ext.find(';')));
      io.SaveToFile(target);
      EXPECT_TRUE(io.Aborting) << c->Description;
      EXPECT_EQ(io.FailureReason.Code, TLxFailure::NoWriter) << c->Description;
      EXPECT_FALSE(fs::exists(target)) << c->Description;
    }
  }
}

}  // namespace
}  // namespace lumenax
