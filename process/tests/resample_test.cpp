// ResampleBitmap: the algorithms against plain transcriptions of their rules, the edge cases,
// the refusals, progress, and every filter on every layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "process/resample.h"
#include "process/resample_internal.h"
#include "process/tests/resample_test_support.h"

namespace lumenax {
namespace {

struct Job {
  bool aborting = false;
  TLxFailureReason reason;
  std::vector<int> percents;
  int cancelAt = -1;  // sets Aborting once this many percentages were reported
  ProgressRecord Record() {
    ProgressRecord p;
    p.AbortingPtr = &aborting;
    p.ReasonPtr = &reason;
    p.OnProgressData = this;
    p.OnProgressCode = [](void* data, void*, int percent) {
      auto* self = static_cast<Job*>(data);
      self->percents.push_back(percent);
      if (int(self->percents.size()) == self->cancelAt) self->aborting = true;
    };
    return p;
  }
  bool Resample(TLxBitmap& s, TLxBitmap& t, TResampleFilter f) {
    ProgressRecord p = Record();
    return ResampleBitmap(s, t, f, p);
  }
};

Image8 Resampled(const Image8& source, int w2, int h2, TResampleFilter filter) {
  TLxBitmap s, t(w2, h2, source.c == 3 ? lx24RGB : lx8g);
  ToBitmap(source, s);
  Job run;
  EXPECT_TRUE(run.Resample(s, t, filter)) << ResampleFilterName(filter) << " " << run.reason.Text();
  return FromBitmap(t);
}

Image8 Uniform(int w, int h, int c, uint8_t v) {
  Image8 im;
  im.w = w, im.h = h, im.c = c;
  im.px.assign(size_t(w) * h * c, v);
  return im;
}

// Random bytes in every row of a bitmap (padding included).
void Scramble(TLxBitmap& b, uint32_t seed) {
  std::mt19937 rng(seed);
  for (int y = 0; y < b.Height(); ++y) {
    uint8_t* row = b.ScanLine(y);
    for (int k = 0; k < b.RowLen(); ++k) row[k] = uint8_t(rng());
  }
}

std::vector<uint8_t> Bytes(TLxBitmap& b) {
  std::vector<uint8_t> out;
  for (int y = 0; y < b.Height(); ++y) {
    const uint8_t* row = b.ScanLine(y);
    out.insert(out.end(), row, row + b.RowLen());
  }
  return out;
}

// ---------------------------------------------------------------- names

TEST(ResampleFilter, NamesValuesAndCase) {
  for (int i = 0; i < kResampleFilterCount; ++i) {
    TResampleFilter f = rfNone;
    std::string name = ResampleFilterName(TResampleFilter(i));
    ASSERT_TRUE(ResampleFilterFromName(name, f)) << name;
    EXPECT_EQ(f, i);
    ASSERT_TRUE(ResampleFilterFromName(name.substr(2), f)) << name;
    EXPECT_EQ(f, i);
    ASSERT_TRUE(ResampleFilterFromName(std::to_string(i), f));
    EXPECT_EQ(f, i);
  }
  TResampleFilter f = rfNone;
  EXPECT_TRUE(ResampleFilterFromName("LANCZOS3", f) && f == rfLanczos3);
  EXPECT_TRUE(ResampleFilterFromName("RfProjectWb", f) && f == rfProjectWB);
  EXPECT_TRUE(ResampleFilterFromName("bspline", f) && f == rfBSpline);
  for (const char* bad : {"", "rf", "14", "-1", "lanczos", "rfrfNone", "100", "linear "})
    EXPECT_FALSE(ResampleFilterFromName(bad, f)) << bad;
  EXPECT_EQ(ResampleFilterName(TResampleFilter(14)), nullptr);
}

// ---------------------------------------------------------------- the rules' own examples

TEST(Resample, EdgeCasesOfTheRules) {
  // 2 x 1 (black, white) to 3 x 1 with rfTriangle: the middle pixel is mid-gray.
  Image8 bw = Uniform(2, 1, 3, 0);
  for (int c = 0; c < 3; ++c) bw.at(1, 0, c) = 255;
  Image8 three = Resampled(bw, 3, 1, rfTriangle);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(three.at(0, 0, c), 0);
    EXPECT_EQ(three.at(1, 0, c), 127);
    EXPECT_EQ(three.at(2, 0, c), 255);
  }
  // rfNone from 4 to 2 columns takes columns 0 and 2.
  Image8 four = Uniform(4, 1, 1, 0);
  for (int x = 0; x < 4; ++x) four.at(x, 0, 0) = uint8_t(10 * (x + 1));
  Image8 two = Resampled(four, 2, 1, rfNone);
  EXPECT_EQ(two.at(0, 0, 0), 10);
  EXPECT_EQ(two.at(1, 0, 0), 30);
  // rfProjectWB keeps a one-pixel white line when reducing a black image.
  Image8 line = Uniform(12, 12, 3, 0);
  for (int y = 0; y < 12; ++y)
    for (int c = 0; c < 3; ++c) line.at(5, y, c) = 255;
  TLxBitmap s, t(4, 4, lx24RGB);
  ToBitmap(line, s);
  Job run;
  ASSERT_TRUE(run.Resample(s, t, rfProjectWB));
  ASSERT_EQ(t.PixelFormat(), lx1g);
  Image8 projected = FromBitmap(t);
  for (int j = 0; j < 4; ++j) {
    int white = 0;
    for (int i = 0; i < 4; ++i) white += projected.at(i, j, 0) == 255;
    EXPECT_GE(white, 1) << "row " << j;
  }
  EXPECT_EQ(projected.px, RefProject(line, 4, 4, true).px);
}

// A fully transparent pixel of an lx24RGB source reads as gray with every filter; the source
// itself is not changed (it may be the very image being saved).
TEST(Resample, TransparentPixelsReadAsGrayAndTheSourceStays) {
  TLxBitmap source(6, 4, lx24RGB);
  source.Fill(0);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) source.SetPixelsRGB24(x, y, CreateRGB(255, 0, 0));
  source.AlphaChannel()->Fill(0);
  source.AlphaChannel()->AllOpaque = false;
  const std::vector<uint8_t> before = Bytes(source);
  for (int f = 0; f < kResampleFilterCount; ++f) {
    for (auto [w2, h2] : {std::pair{3, 2}, std::pair{9, 6}}) {
      TLxBitmap target(w2, h2, lx24RGB);
      Job run;
      ASSERT_TRUE(run.Resample(source, target, TResampleFilter(f))) << f;
      EXPECT_EQ(Bytes(source), before) << "the source changed with filter " << f;
      ASSERT_TRUE(target.HasAlphaChannel());
      EXPECT_FALSE(target.AlphaChannel()->AllOpaque);
      Image8 alpha = AlphaOf(target);
      for (uint8_t a : alpha.px) EXPECT_EQ(a, 0) << f;
      if (f == rfProjectBW || f == rfProjectWB) {
        // Gray is neither black nor white: each projection keeps its starting colour.
        Image8 bits = FromBitmap(target);
        for (uint8_t v : bits.px) EXPECT_EQ(v, f == rfProjectBW ? 255 : 0);
        continue;
      }
      for (int y = 0; y < h2; ++y)
        for (int x = 0; x < w2; ++x)
          ASSERT_EQ(target.PixelsRGB24(x, y), CreateRGB(128, 128, 128))
              << ResampleFilterName(TResampleFilter(f)) << " " << x << "," << y;
    }
  }
}

// ---------------------------------------------------------------- what is served

TEST(Resample, UnservedCombinationsAreRefusedAndLeaveTheTarget) {
  int served = 0;
  for (int pfv = 1; pfv < kPixelFormatCount; ++pfv) {
    const PixelFormat pf = PixelFormat(pfv);
    for (int f = 0; f < kResampleFilterCount; ++f) {
      const TResampleFilter filter = TResampleFilter(f);
      bool expected =
          filter == rfNone || pf == lx24RGB || pf == lx1g ||
          (pf == lx8g && filter != rfProjectBW && filter != rfProjectWB) ||
          ((pf == lx16g || pf == lxRGB48) && (filter == rfBilinear || filter == rfBicubic));
      EXPECT_EQ(ResampleSupported(pf, filter), expected) << PixelFormatName(pf) << " " << f;
      if (expected) {
        ++served;
        continue;
      }
      TLxBitmap source(5, 4, pf), target(3, 2, pf);
      Scramble(source, 1);
      Scramble(target, 2);
      const std::vector<uint8_t> before = Bytes(target);
      Job run;
      EXPECT_FALSE(run.Resample(source, target, filter));
      EXPECT_TRUE(run.aborting);
      EXPECT_EQ(run.reason.Code, TLxFailure::Unsupported);
      EXPECT_EQ(run.reason.Text(), "unsupported");
      EXPECT_EQ(target.PixelFormat(), pf);
      EXPECT_EQ(Bytes(target), before) << PixelFormatName(pf) << " " << f;
    }
  }
  EXPECT_EQ(served, 2 * 14 + 12 + 2 * 3 + 5);
  // An empty source or target is refused with its own reason.
  TLxBitmap empty, target(3, 3, lx24RGB), source(3, 3, lx24RGB);
  Job run;
  EXPECT_FALSE(run.Resample(empty, target, rfTriangle));
  EXPECT_EQ(run.reason.Code, TLxFailure::NoImage);
  Job run2;
  EXPECT_FALSE(run2.Resample(source, source, rfTriangle));
}

// lx8g runs the 8-bit plane routines (the ones alpha channels use) and gives what a gray
// lx24RGB image gives; lx1g is read as 0 and 255.
TEST(Resample, GrayAndOneBitSourcesMatchTheirColourEquivalents) {
  Image8 gray = PhotoLike(23, 17, 1, 5);
  Image8 colour = Uniform(23, 17, 3, 0);
  for (size_t k = 0; k < gray.px.size(); ++k)
    for (int c = 0; c < 3; ++c) colour.px[k * 3 + c] = gray.px[k];
  for (int f = rfTriangle; f <= rfBicubic; ++f) {
    for (auto [w2, h2] : {std::pair{9, 31}, std::pair{40, 8}}) {
      Image8 g = Resampled(gray, w2, h2, TResampleFilter(f));
      Image8 c = Resampled(colour, w2, h2, TResampleFilter(f));
      for (size_t k = 0; k < g.px.size(); ++k)
        ASSERT_EQ(g.px[k], c.px[k * 3]) << ResampleFilterName(TResampleFilter(f)) << " " << k;
    }
  }
  // One bit: black and white read as 0 and 255, the result in lx24RGB.
  TLxBitmap bits(19, 11, lx1g);
  Scramble(bits, 9);
  Image8 plane = FromBitmap(bits);
  for (int f = rfTriangle; f <= rfProjectWB; ++f) {
    TLxBitmap target(7, 26, lx1g);
    Job run;
    ASSERT_TRUE(run.Resample(bits, target, TResampleFilter(f))) << f;
    Image8 out = FromBitmap(target);
    if (f >= rfProjectBW) {
      ASSERT_EQ(target.PixelFormat(), lx1g);
      EXPECT_EQ(out.px, RefProject(plane, 7, 26, f == rfProjectWB).px) << f;
      continue;
    }
    ASSERT_EQ(target.PixelFormat(), lx24RGB);
    Image8 expected = Resampled(plane, 7, 26, TResampleFilter(f));
    for (size_t k = 0; k < expected.px.size(); ++k)
      ASSERT_EQ(out.px[k * 3], expected.px[k]) << ResampleFilterName(TResampleFilter(f));
  }
}

// ---------------------------------------------------------------- the two-pass resampler

TEST(Resample, FineWeightsSurviveExtremeReductions) {
  // 6000 -> 10 columns: weights of 256 * f round to 0 and used to give black.
  Image8 flat = Uniform(6000, 3, 1, 200);
  EXPECT_EQ(RefKernel256(flat, 10, 3, rfTriangle).px[0], 0) << "the old weights";
  for (int f = rfTriangle; f <= rfLinear; ++f) {
    Image8 out = Resampled(flat, 10, 3, TResampleFilter(f));
    for (uint8_t v : out.px) ASSERT_EQ(v, 200) << ResampleFilterName(TResampleFilter(f));
  }
}

// Against the weighted means computed in double, the finer weights are off by at most one
// level wherever the kernel's weights are not simple fractions (where they are, both round
// exact whole means either way, and truncation then moves some by one in each pass). The old
// 256ths are further off, and the two differ by a fraction of a level on average.
TEST(Resample, FineWeightsFollowExactMeans) {
  struct Size {
    int w, h, w2, h2;
  };
  for (Size s :
       {Size{58, 43, 20, 15}, Size{20, 15, 58, 43}, Size{31, 17, 13, 29}, Size{17, 11, 40, 5}}) {
    Image8 photo = PhotoLike(s.w, s.h, 3, 77);
    for (int f = rfTriangle; f <= rfLinear; ++f) {
      Image8 ours = Resampled(photo, s.w2, s.h2, TResampleFilter(f));
      Diff exact = Compare(ours, RefKernelExact(photo, s.w2, s.h2, f));
      Diff old = Compare(ours, RefKernel256(photo, s.w2, s.h2, f));
      std::string what = std::string(ResampleFilterName(TResampleFilter(f))) + " " +
                         std::to_string(s.w) + "x" + std::to_string(s.h) + " -> " +
                         std::to_string(s.w2) + "x" + std::to_string(s.h2);
      const bool fractions = f == rfTriangle || f == rfLinear || f == rfNearest;
      EXPECT_LE(exact.max, fractions ? 2 : 1) << what;
      EXPECT_LT(exact.mean, fractions ? 0.35 : 0.07) << what;
      EXPECT_LE(old.max, 2) << what;
      EXPECT_LT(old.mean, 0.4) << what;
    }
  }
}

TEST(Resample, SinglePixelFillsTheTarget) {
  Image8 one = Uniform(1, 1, 3, 0);
  one.px = {10, 20, 30};
  TLxBitmap s;
  ToBitmap(one, s);
  s.AlphaChannel()->SetPixels8(0, 0, 99);
  for (int f = rfTriangle; f <= rfLinear; ++f) {
    TLxBitmap t(5, 3, lx24RGB);
    Job run;
    ASSERT_TRUE(run.Resample(s, t, TResampleFilter(f)));
    Image8 out = FromBitmap(t);
    for (size_t k = 0; k < out.px.size(); ++k) ASSERT_EQ(out.px[k], one.px[k % 3]) << f;
    for (uint8_t a : AlphaOf(t).px) ASSERT_EQ(a, 99) << f;
  }
}

// The vector loops and the portable ones compute the same integers.
TEST(Resample, VectorAndPortableLoopsAgree) {
  struct Restore {
    ~Restore() { resample_detail::g_useVectorCode = true; }
  } restore;
  for (int c : {1, 3}) {
    for (auto [w, h, w2, h2] : {std::tuple{61, 37, 20, 12}, std::tuple{19, 13, 64, 41},
                                std::tuple{5, 90, 33, 7}, std::tuple{2, 2, 17, 1}}) {
      Image8 photo = PhotoLike(w, h, c, uint32_t(w * h));
      for (int f = rfTriangle; f <= rfLinear; ++f) {
        resample_detail::g_useVectorCode = true;
        Image8 fast = Resampled(photo, w2, h2, TResampleFilter(f));
        resample_detail::g_useVectorCode = false;
        Image8 plain = Resampled(photo, w2, h2, TResampleFilter(f));
        ASSERT_EQ(fast.px, plain.px) << c << " " << f << " " << w << "x" << h;
      }
    }
  }
}

// ---------------------------------------------------------------- fast linear, projection

TEST(Resample, FastLinearFollowsItsRuleAndCopiesAnUnchangedAxis) {
  Image8 photo = PhotoLike(100, 50, 3, 3);
  for (auto [w2, h2] : {std::pair{100, 100}, std::pair{50, 50}, std::pair{100, 50},
                        std::pair{37, 120}, std::pair{230, 21}, std::pair{1, 1}}) {
    Image8 out = Resampled(photo, w2, h2, rfFastLinear);
    EXPECT_EQ(out.px, RefFastLinear(photo, w2, h2).px) << w2 << "x" << h2;
  }
  // 100 x 50 -> 100 x 100 (AdjustDPI at 300 x 150 dpi): even rows are the source rows.
  Image8 tall = Resampled(photo, 100, 100, rfFastLinear);
  for (int y = 0; y < 50; ++y)
    for (int x = 0; x < 100; ++x)
      for (int c = 0; c < 3; ++c) ASSERT_EQ(tall.at(x, 2 * y, c), photo.at(x, y, c));
  // Same size: the image as it is.
  EXPECT_EQ(Resampled(photo, 100, 50, rfFastLinear).px, photo.px);
}

TEST(Resample, ProjectionReachesTheLastColumnAndRow) {
  // A white line in the last column and one in the last row of a black image.
  Image8 im = Uniform(12, 10, 3, 0);
  for (int y = 0; y < 10; ++y)
    for (int c = 0; c < 3; ++c) im.at(11, y, c) = 255;
  for (int x = 0; x < 12; ++x)
    for (int c = 0; c < 3; ++c) im.at(x, 9, c) = 255;
  TLxBitmap s, t(5, 4, lx24RGB);
  ToBitmap(im, s);
  Job run;
  ASSERT_TRUE(run.Resample(s, t, rfProjectWB));
  Image8 out = FromBitmap(t);
  for (int j = 0; j < 4; ++j) EXPECT_EQ(out.at(4, j, 0), 255) << j;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(out.at(i, 3, 0), 255) << i;
  EXPECT_EQ(out.at(0, 0, 0), 0);
  // The mirror: black lines on white survive rfProjectBW.
  for (uint8_t& v : im.px) v = uint8_t(255 - v);
  ToBitmap(im, s);
  TLxBitmap t2(5, 4, lx24RGB);
  ASSERT_TRUE(run.Resample(s, t2, rfProjectBW));
  EXPECT_EQ(FromBitmap(t2).px, RefProject(im, 5, 4, false).px);
  for (int j = 0; j < 4; ++j) EXPECT_EQ(FromBitmap(t2).at(4, j, 0), 0);
  // Reduction, enlargement and mixed sizes against the rule.
  Image8 photo = PhotoLike(29, 23, 3, 8);
  TLxBitmap p;
  ToBitmap(photo, p);
  for (bool white : {false, true}) {
    for (auto [w2, h2] : {std::pair{9, 7}, std::pair{60, 50}, std::pair{29, 5}, std::pair{1, 1}}) {
      TLxBitmap b(w2, h2, lx24RGB);
      ASSERT_TRUE(run.Resample(p, b, white ? rfProjectWB : rfProjectBW));
      EXPECT_EQ(FromBitmap(b).px, RefProject(photo, w2, h2, white).px) << w2 << "x" << h2;
    }
  }
}

// ---------------------------------------------------------------- nearest neighbour

TEST(Resample, NearestCopiesEveryLayout) {
  for (int pfv = 1; pfv < kPixelFormatCount; ++pfv) {
    const PixelFormat pf = PixelFormat(pfv);
    TLxBitmap source(13, 9, pf);
    Scramble(source, uint32_t(pfv));
    if (pf == lx8p)
      for (int i = 0; i < 256; ++i)
        source.SetPaletteEntry(i, CreateRGB(uint8_t(i), 7, uint8_t(255 - i)));
    const int bits = source.BitCount();
    for (auto [w2, h2] : {std::pair{5, 4}, std::pair{31, 20}, std::pair{13, 1}, std::pair{1, 9}}) {
      TLxBitmap target(w2, h2, pf);
      Job run;
      ASSERT_TRUE(run.Resample(source, target, rfNone)) << PixelFormatName(pf);
      ASSERT_EQ(target.PixelFormat(), pf);
      for (int j = 0; j < h2; ++j) {
        int y = std::min(8, int(j * (9.0 / h2)));
        for (int i = 0; i < w2; ++i) {
          int x = std::min(12, int(i * (13.0 / w2)));
          if (bits == 1) {
            bool a = source.ScanLine(y)[x >> 3] & (0x80 >> (x & 7));
            bool b = target.ScanLine(j)[i >> 3] & (0x80 >> (i & 7));
            ASSERT_EQ(a, b);
          } else {
            const int n = bits / 8;
            std::vector<uint8_t> a(source.ScanLine(y) + x * n, source.ScanLine(y) + x * n + n);
            std::vector<uint8_t> b(target.ScanLine(j) + i * n, target.ScanLine(j) + i * n + n);
            ASSERT_EQ(a, b) << PixelFormatName(pf) << " " << i << "," << j;
          }
        }
      }
      if (pf == lx8p) {
        // The palette comes along: without it every colour would be lost.
        for (int i = 0; i < 256; ++i)
          ASSERT_EQ(target.GetPaletteEntry(i), source.GetPaletteEntry(i));
      }
    }
  }
}

// ---------------------------------------------------------------- area-weighted

// Pieces in whole units: sum(len_x * len_y * value) / (W * H / gcd...), truncated.
Image8 RefAreaReduce(const Image8& s, int w2, int h2) {
  auto lengths = [](int n, int n2, int i, std::vector<std::pair<int, int64_t>>& out) {
    out.clear();
    // A source pixel is n2 units long, a target pixel n units.
    int64_t start = int64_t(i) * n, end = start + n;
    for (int64_t x = start / n2; x * n2 < end; ++x)
      out.push_back({int(x), std::min((x + 1) * n2, end) - std::max(x * n2, start)});
  };
  Image8 t = Uniform(w2, h2, s.c, 0);
  std::vector<std::pair<int, int64_t>> lx, ly;
  for (int j = 0; j < h2; ++j) {
    lengths(s.h, h2, j, ly);
    for (int i = 0; i < w2; ++i) {
      lengths(s.w, w2, i, lx);
      for (int c = 0; c < s.c; ++c) {
        int64_t sum = 0;
        for (auto [y, a] : ly)
          for (auto [x, b] : lx) sum += a * b * s.at(x, y, c);
        t.at(i, j, c) = uint8_t(sum / (int64_t(s.w) * s.h));
      }
    }
  }
  return t;
}

TEST(Resample, AreaWeightedKeepsUniformValuesAndFollowsItsRule) {
  struct Size {
    int w, h, w2, h2;
  };
  const Size sizes[] = {{7, 7, 3, 3}, {10, 9, 3, 4},   {11, 13, 4, 5}, {3, 4, 7, 9},
                        {5, 9, 9, 2}, {97, 61, 13, 7}, {2, 3, 11, 10}};
  for (bool cubic : {false, true}) {
    const TResampleFilter f = cubic ? rfBicubic : rfBilinear;
    for (Size s : sizes) {
      for (uint8_t v : {uint8_t(255), uint8_t(1), uint8_t(129)}) {
        for (int c : {1, 3}) {
          Image8 out = Resampled(Uniform(s.w, s.h, c, v), s.w2, s.h2, f);
          for (uint8_t o : out.px) ASSERT_EQ(o, v) << s.w << "/" << s.w2 << " " << int(v);
        }
      }
      for (PixelFormat pf : {lx16g, lxRGB48}) {
        for (uint16_t v : {uint16_t(65535), uint16_t(12345)}) {
          TLxBitmap src(s.w, s.h, pf), dst(s.w2, s.h2, pf);
          for (int y = 0; y < s.h; ++y)
            for (int x = 0; x < s.w * (pf == lxRGB48 ? 3 : 1); ++x)
              std::memcpy(src.ScanLine(y) + 2 * x, &v, 2);
          Job run;
          ASSERT_TRUE(run.Resample(src, dst, f));
          for (int y = 0; y < s.h2; ++y)
            for (int x = 0; x < s.w2 * (pf == lxRGB48 ? 3 : 1); ++x) {
              uint16_t o;
              std::memcpy(&o, dst.ScanLine(y) + 2 * x, 2);
              ASSERT_EQ(o, v) << PixelFormatName(pf) << " " << s.w << "/" << s.w2;
            }
        }
      }
    }
    // Reductions are exact sums of whole pieces.
    for (Size s : {Size{7, 7, 3, 3}, Size{97, 61, 13, 7}, Size{60, 45, 26, 19}}) {
      Image8 photo = PhotoLike(s.w, s.h, 3, 21);
      EXPECT_EQ(Resampled(photo, s.w2, s.h2, f).px, RefAreaReduce(photo, s.w2, s.h2).px)
          << s.w << "x" << s.h;
    }
  }
  // Enlarging interpolates: a ramp stays a ramp, within the range of its neighbours.
  Image8 ramp = Uniform(4, 1, 1, 0);
  ramp.px = {0, 100, 200, 250};
  Image8 lin = Resampled(ramp, 16, 1, rfBilinear);
  for (int i = 1; i < 16; ++i) EXPECT_GE(lin.at(i, 0, 0), lin.at(i - 1, 0, 0)) << i;
  EXPECT_EQ(lin.at(0, 0, 0), 0);
  EXPECT_EQ(lin.at(15, 0, 0), 250);
}

// ---------------------------------------------------------------- progress

TEST(Resample, ProgressReportsEachWholePercentOnceAndCancels) {
  TLxBitmap source(150, 90, lx24RGB);
  Scramble(source, 4);
  source.AlphaChannel()->Fill(200);
  for (int f = 0; f < kResampleFilterCount; ++f) {
    TLxBitmap target(70, 230, lx24RGB);
    Job run;
    ASSERT_TRUE(run.Resample(source, target, TResampleFilter(f))) << f;
    ASSERT_FALSE(run.percents.empty()) << f;
    for (size_t k = 1; k < run.percents.size(); ++k)
      ASSERT_LT(run.percents[k - 1], run.percents[k]) << ResampleFilterName(TResampleFilter(f));
    EXPECT_GE(run.percents.front(), 0);
    EXPECT_LE(run.percents.back(), 100);
    EXPECT_GE(run.percents.back(), 98) << ResampleFilterName(TResampleFilter(f));

    TLxBitmap cancelled(70, 230, lx24RGB);
    Job stop;
    stop.cancelAt = 3;
    EXPECT_FALSE(stop.Resample(source, cancelled, TResampleFilter(f)));
    EXPECT_EQ(stop.reason.Code, TLxFailure::Cancelled);
    EXPECT_EQ(stop.percents.size(), 3u);
  }
}

// ---------------------------------------------------------------- everything at once

// Every filter on every layout at awkward sizes: the target is filled, or the call says no.
// Run under the sanitizers, this finds reads and writes outside rows and work images.
TEST(Resample, EveryFilterLayoutAndSize) {
  struct Size {
    int w, h, w2, h2;
  };
  std::vector<Size> sizes = {{1, 1, 1, 1}, {1, 1, 4, 3},     {1, 9, 3, 5},    {9, 1, 2, 7},
                             {7, 5, 1, 1}, {3, 2, 300, 200}, {17, 13, 4, 29}, {2, 2, 1, 5}};
  std::mt19937 rng(1234);
  for (int k = 0; k < 6; ++k) {
    std::uniform_int_distribution<int> d(1, 40);
    sizes.push_back({d(rng), d(rng), d(rng), d(rng)});
  }
  for (int pfv = 1; pfv < kPixelFormatCount; ++pfv) {
    const PixelFormat pf = PixelFormat(pfv);
    for (Size s : sizes) {
      TLxBitmap source(s.w, s.h, pf);
      Scramble(source, uint32_t(s.w * 31 + s.h));
      if ((s.w + pfv) % 2) {
        source.AlphaChannel()->Fill(255);
        source.AlphaChannel()->SetPixels8(0, 0, 0);
      }
      for (int f = 0; f < kResampleFilterCount; ++f) {
        const TResampleFilter filter = TResampleFilter(f);
        TLxBitmap target(s.w2, s.h2, pf);
        Job run;
        bool ok = run.Resample(source, target, filter);
        ASSERT_EQ(ok, ResampleSupported(pf, filter)) << PixelFormatName(pf) << " " << f;
        if (!ok) {
          EXPECT_EQ(run.reason.Code, TLxFailure::Unsupported);
          continue;
        }
        EXPECT_FALSE(run.aborting);
        ASSERT_EQ(target.Width(), s.w2);
        ASSERT_EQ(target.Height(), s.h2);
        ASSERT_EQ(target.PixelFormat(), ResampledPixelFormat(pf, filter));
        EXPECT_EQ(target.HasAlphaChannel(), source.HasAlphaChannel());
        if (source.HasAlphaChannel()) {
          ASSERT_EQ(target.AlphaChannel()->Width(), s.w2);
          ASSERT_EQ(target.AlphaChannel()->Height(), s.h2);
        }
      }
    }
  }
}

}  // namespace
}  // namespace lumenax
