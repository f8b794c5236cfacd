// The converter's promise, checked on other people's images: a PNG converted to BMP and back,
// and a BMP converted to PNG and back, holds the pixels and alpha it started with, wherever the
// other format can hold them (BMP keeps 8 bits per sample, so 16-bit samples are compared by
// their high byte, which is what the reader keeps).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "io/lumenax_io.h"
#include "tests/support/test_support.h"

namespace veltrano {
namespace {

namespace fs = std::filesystem;
using lumenax::test::RgbaImage;
using lumenax::test::ShellQuote;
using lumenax::test::TempDir;

// Pixels and alpha as the converter loads a file (BMP alpha kept), or nothing.
bool Load(const fs::path& p, RgbaImage& out) {
  lumenax::TLumenaxIO io;
  io.Params.BmpKeepAlpha = true;
  io.LoadFromFile(p);
  if (io.Aborting || !io.Bitmap() || io.Bitmap()->IsEmpty()) return false;
  out = lumenax::test::BitmapToRgba(*io.Bitmap());
  return true;
}

// Where two images differ first, for the failure message ("" when they are equal).
std::string FirstDifference(const RgbaImage& a, const RgbaImage& b) {
  if (a.width != b.width || a.height != b.height)
    return "size " + std::to_string(a.width) + "x" + std::to_string(a.height) + " became " +
           std::to_string(b.width) + "x" + std::to_string(b.height);
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x)
      if (!std::equal(a.at(x, y), a.at(x, y) + 4, b.at(x, y))) {
        auto rgba = [](const uint8_t* p) {
          return std::to_string(p[0]) + "," + std::to_string(p[1]) + "," + std::to_string(p[2]) +
                 "," + std::to_string(p[3]);
        };
        return "pixel " + std::to_string(x) + "," + std::to_string(y) + " " + rgba(a.at(x, y)) +
               " became " + rgba(b.at(x, y)) + " (" +
               std::to_string(lumenax::test::CountDifferentPixels(a, b)) + " pixels differ)";
      }
  return {};
}

// Converts every file of folder with veltrano-cli; returns its exit status.
int Convert(const fs::path& folder) {
  return lumenax::test::RunCommand(ShellQuote(VELTRANO_CLI_PATH) + " -q " +
                                   ShellQuote(folder.string()));
}

// Copies the sources that pick accepts into a folder, converts them there, moves the results
// into a second folder and converts those back; every source must survive both steps.
void CheckRoundTrip(const fs::path& sources, const std::string& fromExt, const std::string& toExt,
                    const std::function<bool(const std::string&)>& pick) {
  if (!fs::is_directory(sources)) GTEST_SKIP() << sources << " is not there";
  TempDir there, back;
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(sources)) {
    std::string name = e.path().filename().string();
    if (e.path().extension() != fromExt || !pick(name)) continue;
    fs::copy_file(e.path(), there / name);
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  ASSERT_FALSE(names.empty());
  ASSERT_EQ(Convert(there.path()), 0);
  for (const std::string& name : names) {
    fs::path converted = fs::path(there / name).replace_extension(toExt);
    ASSERT_TRUE(fs::exists(converted)) << name;
    fs::rename(converted, back / converted.filename().string());
  }
  ASSERT_EQ(Convert(back.path()), 0);

  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    RgbaImage source, middle, final;
    ASSERT_TRUE(Load(sources / name, source));
    ASSERT_TRUE(Load(back / fs::path(name).replace_extension(toExt).string(), middle));
    ASSERT_TRUE(Load(back / name, final));
    EXPECT_EQ(FirstDifference(source, middle), "") << "after " << fromExt << " -> " << toExt;
    EXPECT_EQ(FirstDifference(source, final), "") << "after the way back";
  }
}

TEST(ConverterRoundTrip, PngSuiteSurvivesPngToBmpToPng) {
  // Gamma files (g*) and corrupt files (x*) are not part of the promise.
  CheckRoundTrip(lumenax::test::CorpusDir() / "pngsuite/png", ".png", ".bmp",
                 [](const std::string& n) { return n[0] != 'g' && n[0] != 'x'; });
}

TEST(ConverterRoundTrip, BmpSuiteGoodFilesSurviveBmpToPngToBmp) {
  CheckRoundTrip(lumenax::test::CorpusDir() / "bmpsuite/g", ".bmp", ".png",
                 [](const std::string&) { return true; });
}

}  // namespace
}  // namespace veltrano
