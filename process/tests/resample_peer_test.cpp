// Resampling next to the well-known resamplers: Pillow, ImageMagick and libvips resize the
// same pictures (made by resample_peers.py, which also explains how the peers are brought to
// our pixel positions), and files the peers wrote are resampled by us and checked.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "io/lumenax_io.h"
#include "process/resample.h"
#include "process/tests/resample_test_support.h"
#include "tests/support/test_support.h"

namespace lumenax {
namespace {

using test::ShellQuote;
namespace fs = std::filesystem;

class ResamplePeers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test::HaveProgram("/usr/bin/python3") || !test::HaveProgram("/usr/bin/convert") ||
        !test::HaveProgram("vips")) {
      skip_ = "needs Pillow, ImageMagick and vips (scripts/setup installs them)";
      return;
    }
    dir_ = std::make_unique<test::TempDir>();
    fs::path script = test::SourceDir() / "process" / "tests" / "resample_peers.py";
    if (test::RunCommand("/usr/bin/python3 " + ShellQuote(script.string()) + " " +
                         ShellQuote(dir_->path().string())) != 0)
      skip_ = "the peers could not make the comparison images";
  }
  static void TearDownTestSuite() { dir_.reset(); }
  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
  }
  static fs::path Path(const std::string& name) { return dir_->path() / name; }
  static Image8 Pnm(const std::string& name) {
    Image8 im;
    EXPECT_TRUE(ReadPnm(Path(name), im)) << name;
    return im;
  }
  // Loads a file with our reader.
  static void Load(const std::string& name, TLxBitmap& out, bool native = false) {
    TLumenaxIO io;
    io.SetNativePixelFormat(native);
    io.LoadFromFile(Path(name));
    ASSERT_FALSE(io.Aborting) << name;
    out.Assign(*io.Bitmap());
  }

  static std::unique_ptr<test::TempDir> dir_;
  static std::string skip_;
};
std::unique_ptr<test::TempDir> ResamplePeers::dir_;
std::string ResamplePeers::skip_;

struct Case {
  const char* name;
  int w2, h2, q;
};
const Case kCases[] = {{"down", 20, 15, 4}, {"up", 58, 43, 13}};

Image8 Ours(Image8 source, int w2, int h2, TResampleFilter filter) {
  TLxBitmap s, t(w2, h2, source.c == 3 ? lx24RGB : lx8g);
  ToBitmap(source, s);
  ProgressRecord progress;
  EXPECT_TRUE(ResampleBitmap(s, t, filter, progress)) << ResampleFilterName(filter);
  return FromBitmap(t);
}

TEST_F(ResamplePeers, KernelMatrix) {
  const char* peers[] = {"pil_bilinear",  "pil_lanczos",  "pil_box",      "pil_bicubic",
                         "im_triangle",   "im_hermite",   "im_quadratic", "im_cubic",
                         "im_lanczos",    "im_mitchell",  "im_box",       "vips_linear",
                         "vips_mitchell", "vips_lanczos3"};
  for (const Case& c : kCases) {
    Image8 photo = Pnm(std::string("photo_") + c.name + ".ppm");
    std::printf("%s\n%-12s", c.name, "");
    for (const char* p : peers) std::printf(" %13s", p);
    std::printf("\n");
    for (int f = rfTriangle; f <= rfLinear; ++f) {
      Image8 ours = Ours(photo, c.w2, c.h2, TResampleFilter(f));
      std::printf("%-12s", ResampleFilterName(TResampleFilter(f)));
      for (const char* p : peers) {
        fs::path file = Path(std::string(p) + "_" + c.name + ".ppm");
        if (!fs::exists(file)) {
          std::printf(" %13s", "-");
          continue;
        }
        Image8 peer = Crop(Pnm(file.filename().string()), c.q);
        Diff d = Compare(ours, peer);
        std::printf("   %6.2f %4d", d.mean, d.max);
      }
      std::printf("\n");
    }
  }
}

}  // namespace
}  // namespace lumenax
