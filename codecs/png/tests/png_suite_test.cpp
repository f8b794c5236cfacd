// The reader against the PNG Suite: every valid file loads to the expected pixels, in the
// converting and in the native layouts; every corrupt one (x*) fails through Aborting.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "codecs/png/tests/png_test_util.h"
#include "tests/support/test_support.h"

namespace lumenax {
namespace {

namespace fs = std::filesystem;

fs::path SuiteDir() {
  return test::PngSuiteDir();
}
std::vector<fs::path> SuiteFiles(bool corrupt) {
  return test::PngSuiteFiles(corrupt);
}
std::vector<int> Expected(const std::string& stem, std::vector<int>* rounded) {
  return test::PngSuiteExpected(stem, rounded);
}

class PngSuiteValid : public ::testing::TestWithParam<bool> {};

TEST_P(PngSuiteValid, EveryFileLoadsToTheExpectedPixels) {
  if (SuiteDir().empty()) GTEST_SKIP() << "corpus not found (../shared/corpus)";
  const bool native = GetParam();
  int files = 0;
  for (auto& f : SuiteFiles(false)) {
    SCOPED_TRACE(f.filename().string());
    std::string stem = f.stem().string();
    std::vector<int> rounded;
    std::vector<int> want = Expected(stem, &rounded);
    TLxBitmap bmp;
    TIOParamsVals params;
    params.IsNativePixelFormat = native;
    ASSERT_FALSE(test::LoadPng(test::ReadFileBytes(f), bmp, params));
    test::RgbaImage got = test::BitmapToRgba(bmp);
    ASSERT_EQ(got.rgba.size(), want.size());
    size_t diff = 0;
    for (size_t i = 0; i < want.size(); ++i) diff += want[i] != got.rgba[i];
    EXPECT_EQ(diff, 0u);
    if (!rounded.empty()) {
      ASSERT_EQ(rounded.size(), want.size());
      int worst = 0;
      for (size_t i = 0; i < want.size(); ++i)
        worst = std::max(worst, std::abs(rounded[i] - got.rgba[i]));
      EXPECT_LE(worst, 1);
    }
    ++files;
  }
  EXPECT_EQ(files, 161);
}

INSTANTIATE_TEST_SUITE_P(Layouts, PngSuiteValid, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Native" : "Converted"; });

// Why each corrupt file is refused.
TLxFailure ReasonFor(const std::string& name) {
  static const std::map<std::string, TLxFailure> reasons = {
      {"xc1n0g08.png", TLxFailure::BadHeader},     // colour type 1
      {"xc9n2c08.png", TLxFailure::BadHeader},     // colour type 9
      {"xcrn0g04.png", TLxFailure::BadSignature},  // carriage returns added
      {"xcsn0g01.png", TLxFailure::BadData},       // IDAT checksum
      {"xd0n2c08.png", TLxFailure::BadHeader},     // bit depth 0
      {"xd3n2c08.png", TLxFailure::BadHeader},     // bit depth 3
      {"xd9n2c08.png", TLxFailure::BadHeader},     // bit depth 99
      {"xdtn0g01.png", TLxFailure::NoImage},       // no IDAT chunk
      {"xhdn0g08.png", TLxFailure::BadData},       // IHDR checksum
      {"xlfn0g04.png", TLxFailure::BadSignature},  // line feeds added
      {"xs1n0g01.png", TLxFailure::BadSignature},  // signature bytes
      {"xs2n0g01.png", TLxFailure::BadSignature}, {"xs4n0g01.png", TLxFailure::BadSignature},
      {"xs7n0g01.png", TLxFailure::BadSignature},
  };
  auto it = reasons.find(name);
  return it == reasons.end() ? TLxFailure::None : it->second;
}

TEST(PngSuiteCorrupt, EveryFileSetsAbortingWithItsReason) {
  if (SuiteDir().empty()) GTEST_SKIP() << "corpus not found (../shared/corpus)";
  int files = 0;
  for (auto& f : SuiteFiles(true)) {
    SCOPED_TRACE(f.filename().string());
    for (bool infoOnly : {false, true}) {
      TLxBitmap bmp;
      TIOParamsVals params;
      TLxFailureReason reason;
      bool aborting =
          test::LoadPng(test::ReadFileBytes(f), bmp, params, infoOnly, nullptr, &reason);
      // Files whose only fault lies in the image data still give their header to an
      // info-only read.
      std::string name = f.filename().string();
      bool headerIsSound = name == "xcsn0g01.png";  // bad IDAT checksum
      if (!infoOnly || !headerIsSound) {
        EXPECT_TRUE(aborting) << (infoOnly ? "info only" : "");
        EXPECT_EQ(reason.Code, ReasonFor(name)) << reason.Text();
      } else {
        EXPECT_FALSE(aborting) << "info only";
      }
    }
    ++files;
  }
  EXPECT_EQ(files, 14);
}

}  // namespace
}  // namespace lumenax
