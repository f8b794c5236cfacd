// Resampling next to the well-known resamplers: Pillow, ImageMagick and libvips resize the
// same pictures (made by resample_peers.py, which also explains how the peers are brought to
// our pixel positions), and files the peers wrote are resampled by us and checked.
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
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
  // The peers' images are made once per version of the script and kept in the build folder,
  // so that every test of this suite (each one its own process) reads the same set.
  static void SetUpTestSuite() {
    if (!test::HaveProgram("/usr/bin/python3") || !test::HaveProgram("/usr/bin/convert") ||
        !test::HaveProgram("vips")) {
      skip_ = "needs Pillow, ImageMagick and vips (scripts/setup installs them)";
      return;
    }
    fs::path script = test::SourceDir() / "process" / "tests" / "resample_peers.py";
    std::vector<uint8_t> text = test::ReadFileBytes(script);
    char key[32];
    std::snprintf(key, sizeof key, "%016zx",
                  std::hash<std::string>{}(std::string(text.begin(), text.end())));
    dir_ = fs::path(LX_RESAMPLE_PEER_CACHE) / key;
    if (fs::exists(dir_ / "done")) return;
    std::error_code ec;
    fs::create_directories(dir_.parent_path(), ec);
    fs::path fresh = dir_.string() + ".tmp" + std::to_string(::getpid());
    fs::remove_all(fresh, ec);
    fs::create_directories(fresh, ec);
    if (test::RunCommand("/usr/bin/python3 " + ShellQuote(script.string()) + " " +
                         ShellQuote(fresh.string())) != 0) {
      fs::remove_all(fresh, ec);
      skip_ = "the peers could not make the comparison images";
      return;
    }
    test::WriteFileBytes(fresh / "done", {});
    fs::rename(fresh, dir_, ec);  // another test process may have been first: same files
    fs::remove_all(fresh, ec);
  }
  static fs::path Path(const std::string& name) { return dir_ / name; }
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

  static fs::path dir_;
  static std::string skip_;
};
fs::path ResamplePeers::dir_;
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

// How close a peer must come: the mean and the largest difference of the samples.
struct Tolerance {
  double mean;
  int max;
  bool Holds(const Diff& d) const { return d.mean <= mean && d.max <= max; }
};

struct PeerKernel {
  const char* name;                   // file prefix
  std::vector<TResampleFilter> ours;  // our filters with the same kernel
  std::vector<const char*> cases;     // "down", "up"
  Tolerance down, up;
};

// Means near 1: the peers round, we truncate after each pass. ImageMagick enlarges vertically
// first and so clamps at another point than we do, which moves pixels next to strong edges;
// enlarging, only its mean counts. vips computes with coarser weights.
const std::vector<PeerKernel>& PeerKernels() {
  static const Tolerance pil{1.1, 2}, im{1.1, 3}, imUp{1.1, 255}, vips{1.3, 4};
  static const std::vector<PeerKernel> peers = {
      {"pil_bilinear", {rfTriangle, rfLinear}, {"down", "up"}, pil, pil},
      {"pil_lanczos", {rfLanczos3}, {"down", "up"}, pil, pil},
      {"pil_box", {rfNearest}, {"down", "up"}, pil, pil},
      {"im_triangle", {rfTriangle, rfLinear}, {"down", "up"}, im, imUp},
      {"im_hermite", {rfHermite}, {"down", "up"}, im, imUp},
      {"im_quadratic", {rfBell}, {"down", "up"}, im, imUp},
      {"im_cubic", {rfBSpline}, {"down", "up"}, im, imUp},
      {"im_lanczos", {rfLanczos3}, {"down", "up"}, im, imUp},
      {"im_mitchell", {rfMitchell}, {"down", "up"}, im, imUp},
      {"im_box", {rfNearest}, {"down", "up"}, im, imUp},
      {"vips_linear", {rfTriangle, rfLinear}, {"down"}, vips, vips},
      {"vips_mitchell", {rfMitchell}, {"down"}, vips, vips},
      {"vips_lanczos3", {rfLanczos3}, {"down"}, vips, vips},
  };
  return peers;
}

// Every kernel filter, reducing and enlarging by 3, agrees with each peer that has its
// kernel, and the tolerances are tight enough that every other kernel fails them.
TEST_F(ResamplePeers, KernelFiltersAgreeAndWrongKernelsDoNot) {
  for (const Case& c : kCases) {
    Image8 photo = Pnm(std::string("photo_") + c.name + ".ppm");
    std::map<int, Image8> ours;
    for (int f = rfTriangle; f <= rfLinear; ++f)
      ours[f] = Ours(photo, c.w2, c.h2, TResampleFilter(f));
    std::map<int, int> agreeing;
    for (const PeerKernel& p : PeerKernels()) {
      if (std::find(p.cases.begin(), p.cases.end(), std::string(c.name)) == p.cases.end()) continue;
      Image8 peer = Crop(Pnm(std::string(p.name) + "_" + c.name + ".ppm"), c.q);
      const Tolerance& tol = std::string(c.name) == "down" ? p.down : p.up;
      for (int f = rfTriangle; f <= rfLinear; ++f) {
        Diff d = Compare(ours[f], peer);
        bool same = std::find(p.ours.begin(), p.ours.end(), f) != p.ours.end();
        if (same) {
          EXPECT_TRUE(tol.Holds(d)) << ResampleFilterName(TResampleFilter(f)) << " vs " << p.name
                                    << " " << c.name << ": mean " << d.mean << ", max " << d.max;
          agreeing[f] += tol.Holds(d);
          std::printf("%-5s %-12s %-14s mean %.2f max %3d\n", c.name,
                      ResampleFilterName(TResampleFilter(f)), p.name, d.mean, d.max);
        } else {
          EXPECT_FALSE(tol.Holds(d))
              << "a wrong kernel passes: " << ResampleFilterName(TResampleFilter(f)) << " vs "
              << p.name << " " << c.name << ": mean " << d.mean << ", max " << d.max;
        }
      }
    }
    for (int f = rfTriangle; f <= rfLinear; ++f)
      EXPECT_GE(agreeing[f], 1) << ResampleFilterName(TResampleFilter(f)) << " " << c.name;
  }
}

// The alpha plane of RGBA files written by Pillow and ImageMagick is resampled the way colour
// is; colour under fully transparent pixels turns gray. Next to the hard edges of these
// planes Lanczos overshoots, and ImageMagick, which clamps after its other pass, differs by
// more there: its mean counts.
TEST_F(ResamplePeers, AlphaPlanesOfPeerFiles) {
  const Tolerance pil{1.1, 2}, im{1.1, 255}, imUp{1.1, 255};
  for (const char* src : {"pil", "im"}) {
    for (const Case& c : kCases) {
      TLxBitmap rgba;
      std::string file =
          std::string("rgba_") + src + (std::string(c.name) == "down" ? "" : "_small") + ".png";
      Load(file, rgba);
      ASSERT_EQ(rgba.PixelFormat(), lx24RGB) << file;
      ASSERT_TRUE(rgba.HasAlphaChannel()) << file;
      for (auto [filter, pilName, imName] : {std::tuple{rfTriangle, "bilinear", "triangle"},
                                             std::tuple{rfLanczos3, "lanczos", "lanczos"}}) {
        TLxBitmap target(c.w2, c.h2, lx24RGB);
        ProgressRecord progress;
        ASSERT_TRUE(ResampleBitmap(rgba, target, filter, progress));
        Image8 alpha = AlphaOf(target);
        std::string prefix = std::string("alpha_") + src + "_";
        Diff dp = Compare(alpha, Crop(Pnm(prefix + "pil_" + pilName + "_" + c.name + ".pgm"), c.q));
        Diff di = Compare(alpha, Crop(Pnm(prefix + "im_" + imName + "_" + c.name + ".pgm"), c.q));
        EXPECT_TRUE(pil.Holds(dp)) << file << " " << pilName << ": " << dp.mean << " " << dp.max;
        EXPECT_TRUE((std::string(c.name) == "down" ? im : imUp).Holds(di))
            << file << " " << imName << ": " << di.mean << " " << di.max;
        std::printf("alpha %-20s %-10s Pillow mean %.2f max %d, ImageMagick mean %.2f max %d\n",
                    file.c_str(), ResampleFilterName(filter), dp.mean, dp.max, di.mean, di.max);
        if (std::string(src) == "pil" && std::string(c.name) == "down") {
          // The block x 6..29, y 8..29 of the source is fully transparent: target pixels whose
          // whole window lies inside it are gray.
          int x0 = filter == rfTriangle ? 3 : 5, x1 = filter == rfTriangle ? 8 : 6;
          int y0 = filter == rfTriangle ? 4 : 6, y1 = filter == rfTriangle ? 8 : 6;
          for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) {
              EXPECT_EQ(target.PixelsRGB24(x, y), CreateRGB(128, 128, 128)) << x << "," << y;
              EXPECT_EQ(target.GetAlphaValue(x, y), 0);
            }
        }
      }
    }
  }
}

// Area-weighted reductions against ImageMagick's -scale and Pillow's reduce, within one level:
// 8-bit colour and 16-bit gray (read with NativePixelFormat).
TEST_F(ResamplePeers, AreaWeightedReductions) {
  TLxBitmap area;
  Load("area.png", area);
  ASSERT_EQ(area.PixelFormat(), lx24RGB);
  for (TResampleFilter f : {rfBilinear, rfBicubic}) {
    for (auto [w2, h2, peer] :
         {std::tuple{20, 15, "pil_reduce3.ppm"}, std::tuple{20, 15, "im_scale_20x15.ppm"},
          std::tuple{26, 19, "im_scale_26x19.ppm"}}) {
      TLxBitmap target(w2, h2, lx24RGB);
      ProgressRecord progress;
      ASSERT_TRUE(ResampleBitmap(area, target, f, progress));
      Diff d = Compare(FromBitmap(target), Pnm(peer));
      EXPECT_LE(d.max, 1) << peer << " " << ResampleFilterName(f);
      std::printf("area %-10s %-20s mean %.2f max %d\n", ResampleFilterName(f), peer, d.mean,
                  d.max);
    }
  }
  TLxBitmap gray;
  Load("gray16.png", gray, true);
  ASSERT_EQ(gray.PixelFormat(), lx16g);
  for (TResampleFilter f : {rfBilinear, rfBicubic}) {
    TLxBitmap target(20, 15, lx16g);
    ProgressRecord progress;
    ASSERT_TRUE(ResampleBitmap(gray, target, f, progress));
    for (const char* peer : {"pil_reduce3_16.png", "im_scale16_20x15.png"}) {
      TLxBitmap want;
      Load(peer, want, true);
      ASSERT_EQ(want.PixelFormat(), lx16g) << peer;
      ASSERT_EQ(want.Width(), 20);
      int worst = 0;
      double sum = 0;
      for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 20; ++x) {
          int e = std::abs(int(target.Pixels16(x, y)) - int(want.Pixels16(x, y)));
          worst = std::max(worst, e);
          sum += e;
        }
      EXPECT_LE(worst, 1) << peer << " " << ResampleFilterName(f);
      std::printf("area16 %-10s %-22s mean %.2f max %d\n", ResampleFilterName(f), peer, sum / 300,
                  worst);
    }
  }
}

// Nearest neighbour, fast linear and the projections follow their rules exactly on files the
// peers wrote: true colour, and one-bit files (read as lx1g).
TEST_F(ResamplePeers, ExactAlgorithmsOnPeerFiles) {
  const std::pair<int, int> sizes[] = {{11, 7}, {13, 29}, {100, 60}, {41, 29}, {1, 1}, {5, 40}};
  for (const char* file : {"noise_pil.png", "plasma_im.png", "bw_pil.png", "bw_im.png"}) {
    TLxBitmap source;
    Load(file, source);
    const bool oneBit = std::string(file).rfind("bw_", 0) == 0;
    ASSERT_EQ(source.PixelFormat(), oneBit ? lx1g : lx24RGB) << file;
    Image8 plane = FromBitmap(source);
    for (auto [w2, h2] : sizes) {
      for (TResampleFilter f : {rfNone, rfFastLinear, rfProjectBW, rfProjectWB}) {
        TLxBitmap target(w2, h2, source.PixelFormat());
        ProgressRecord progress;
        ASSERT_TRUE(ResampleBitmap(source, target, f, progress)) << file;
        Image8 got = FromBitmap(target);
        Image8 want = f == rfNone         ? RefNearest(plane, w2, h2)
                      : f == rfFastLinear ? RefFastLinear(plane, w2, h2)
                                          : RefProject(plane, w2, h2, f == rfProjectWB);
        if (oneBit && f == rfFastLinear) {
          // Written as lx24RGB gray.
          ASSERT_EQ(target.PixelFormat(), lx24RGB);
          Image8 widened = want;
          widened.c = 3;
          widened.px.clear();
          for (uint8_t v : want.px) widened.px.insert(widened.px.end(), {v, v, v});
          want = widened;
        }
        EXPECT_EQ(got.px, want.px)
            << file << " " << ResampleFilterName(f) << " " << w2 << "x" << h2;
      }
    }
  }
}

}  // namespace
}  // namespace lumenax
