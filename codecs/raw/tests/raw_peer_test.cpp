// Camera RAW against the converters no one here wrote: LibRaw's sample converter
// (dcraw_emu) and dcraw, on a real Canon CR2 from Debian's rawtran-doc and on DNGs written
// by the tests.
#include <gtest/gtest.h>

#include "bitmap/bitmap.h"
#include "codecs/raw/tests/raw_test_util.h"
#include "io/lumenax_io.h"
#include "io/registry.h"
#include "tests/support/test_support.h"

namespace lumenax::test {
namespace {

namespace fs = std::filesystem;

const char* const kDcrawEmu = "/usr/bin/dcraw_emu";
const char* const kDcraw = "/usr/bin/dcraw";

fs::path Cr2() {
  fs::path p = TestDataDir() / "rawtran-doc/usr/share/doc/rawtran/IMG_5952.CR2";
  return TestDataDir().empty() || !fs::exists(p) ? fs::path() : p;
}

// Our decode of a file by type.
std::vector<uint16_t> Decode(const fs::path& file, bool native, int* width, int* height) {
  TLumenaxIO io;
  io.SetNativePixelFormat(native);
  io.LoadFromFileByType(file, ftRaw);
  EXPECT_FALSE(io.Aborting) << io.FailureReason.Text();
  *width = io.Bitmap()->Width();
  *height = io.Bitmap()->Height();
  return BitmapSamples(*io.Bitmap());
}

// dcraw_emu writes <file>.ppm next to the file.
bool RunDcrawEmu(const fs::path& file, const std::string& options, PpmImage& out) {
  fs::remove(file.string() + ".ppm");
  if (RunCommand(std::string(kDcrawEmu) + " " + options + " " + ShellQuote(file.string())) != 0)
    return false;
  return ReadPpm(file.string() + ".ppm", out);
}

bool RunDcraw(const fs::path& file, const fs::path& ppm, PpmImage& out) {
  return RunCommand(std::string(kDcraw) + " -w -c " + ShellQuote(file.string()) + " > " +
                    ShellQuote(ppm.string())) == 0 &&
         ReadPpm(ppm, out);
}

void ExpectLikeDcrawEmu(const fs::path& file, bool native) {
  int w = 0, h = 0;
  std::vector<uint16_t> ours = Decode(file, native, &w, &h);
  PpmImage theirs;
  ASSERT_TRUE(RunDcrawEmu(file, native ? "-w -6" : "-w", theirs)) << file;
  EXPECT_EQ(w, theirs.width);
  EXPECT_EQ(h, theirs.height);
  SampleDifference d = Compare(ours, theirs.samples);
  EXPECT_EQ(d.largest, 0) << file << " mean " << d.mean;
}

TEST(RawPeer, Cr2IsTiffByContentAndRawByName) {
  if (Cr2().empty()) GTEST_SKIP() << "rawtran-doc is not in the test-data cache";
  TempDir dir;
  fs::copy_file(Cr2(), dir / "c.tif");
  EXPECT_EQ(DetectFileFormat(dir / "c.tif", false), ftTiff);
  EXPECT_EQ(DetectFileFormat(Cr2(), false), ftRaw);
  EXPECT_EQ(DetectFileFormat(Cr2(), true), ftRaw);
  // Header-only: the size of the decoded image, without decoding.
  TLumenaxIO info;
  info.ParamsFromFile(Cr2());
  EXPECT_EQ(info.Params.FileType, ftRaw);
  EXPECT_EQ(info.Params.Width, 3522);
  EXPECT_EQ(info.Params.Height, 2348);
}

TEST(RawPeer, Cr2EqualsDcrawEmuAndIsCloseToDcraw) {
  if (Cr2().empty()) GTEST_SKIP() << "rawtran-doc is not in the test-data cache";
  if (!HaveProgram(kDcrawEmu) || !HaveProgram(kDcraw)) GTEST_SKIP() << "no dcraw_emu or dcraw";
  TempDir dir;
  fs::copy_file(Cr2(), dir / "c.cr2");
  ExpectLikeDcrawEmu(dir / "c.cr2", false);
  int w = 0, h = 0;
  std::vector<uint16_t> ours = Decode(dir / "c.cr2", false, &w, &h);
  PpmImage dcraw;
  ASSERT_TRUE(RunDcraw(dir / "c.cr2", dir / "dcraw.ppm", dcraw));
  SampleDifference d = Compare(ours, dcraw.samples);
  RecordProperty("dcraw_mean_difference", std::to_string(d.mean));
  EXPECT_LE(d.mean, 0.01) << "largest " << d.largest;
}

TEST(RawPeer, Cr2CutInItsCompressedDataIsTruncated) {
  if (Cr2().empty()) GTEST_SKIP() << "rawtran-doc is not in the test-data cache";
  TempDir dir;
  std::vector<uint8_t> bytes = ReadFileBytes(Cr2());
  bytes.resize(bytes.size() * 2 / 3);
  WriteFileBytes(dir / "cut.cr2", bytes);
  TLumenaxIO io;
  io.LoadFromFile(dir / "cut.cr2");
  EXPECT_TRUE(io.Aborting);
  EXPECT_EQ(io.FailureReason.Code, TLxFailure::Truncated) << io.FailureReason.Text();
  EXPECT_EQ(io.Params.FileType, ftRaw);
}

TEST(RawPeer, Cr2NativeEqualsDcrawEmu16Bit) {
  if (Cr2().empty()) GTEST_SKIP() << "rawtran-doc is not in the test-data cache";
  if (!HaveProgram(kDcrawEmu)) GTEST_SKIP() << "no dcraw_emu";
  TempDir dir;
  fs::copy_file(Cr2(), dir / "c.cr2");
  ExpectLikeDcrawEmu(dir / "c.cr2", true);
}

TEST(RawPeer, WrittenDngsDecodeLikeTheConverters) {
  if (!HaveProgram(kDcrawEmu) || !HaveProgram(kDcraw)) GTEST_SKIP() << "no dcraw_emu or dcraw";
  TempDir dir;
  for (int orientation : {1, 3, 6, 8}) {
    SCOPED_TRACE("orientation " + std::to_string(orientation));
    fs::path file = dir / ("o" + std::to_string(orientation) + ".dng");
    WriteFileBytes(file, MakeDng(96, 64, orientation));
    std::string idOut;
    ASSERT_EQ(RunCommand(std::string(kDcraw) + " -i " + ShellQuote(file.string()), &idOut), 0)
        << "dcraw does not take the written DNG";
    ExpectLikeDcrawEmu(file, false);
    ExpectLikeDcrawEmu(file, true);
    int w = 0, h = 0;
    std::vector<uint16_t> ours = Decode(file, false, &w, &h);
    PpmImage dcraw;
    ASSERT_TRUE(RunDcraw(file, dir / "dcraw.ppm", dcraw));
    EXPECT_EQ(w, dcraw.width);
    SampleDifference d = Compare(ours, dcraw.samples);
    EXPECT_LE(d.mean, 0.01) << "largest " << d.largest;
  }
}

}  // namespace
}  // namespace lumenax::test
