#include "quantize/quantizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

#include "bitmap/bitmap.h"
#include "quantize/reducers.h"
#include "tests/support/test_support.h"

namespace lumenax {
namespace {

// Restores the two quantizer settings after a test changes them.
struct SettingsGuard {
  int32_t method = QuantizerMethod, quality = NeuralSampleQuality;
  ~SettingsGuard() {
    QuantizerMethod = method;
    NeuralSampleQuality = quality;
  }
};

// An lx24RGB bitmap whose pixels, row-major, are the given packed colours.
std::unique_ptr<TLxBitmap> MakeImage(int w, int h, const std::vector<uint32_t>& colours,
                                     bool paged = false) {
  auto b = std::make_unique<TLxBitmap>();
  if (paged) {
    b->FileThreshold = 0;
    b->SetLocation(lxTempFile);
  }
  EXPECT_TRUE(b->Allocate(w, h, lx24RGB));
  EXPECT_EQ(b->Location(), paged ? lxTempFile : lxInMemory);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b->ScanLine(y);
    for (int x = 0; x < w; ++x) {
      uint32_t c = colours[size_t(y) * w + x];
      row[3 * x] = uint8_t(c), row[3 * x + 1] = uint8_t(c >> 8), row[3 * x + 2] = uint8_t(c >> 16);
    }
  }
  return b;
}

// Random pixels drawn from `distinct` random colours (some of them gray-free).
std::vector<uint32_t> RandomPixels(std::mt19937& rng, int count, int distinct) {
  std::vector<uint32_t> set(static_cast<size_t>(distinct));
  for (auto& c : set) c = rng() & 0xFFFFFF;
  std::vector<uint32_t> px(static_cast<size_t>(count));
  for (auto& p : px) p = set[rng() % set.size()];
  px[0] = 0x102030;  // never gray, so the exact-list path is taken
  return px;
}

// The exact-list definition, written the slow way: a linear search per pixel, giving up at
// the (N + 1)th colour; RGBToIndex the first position of the colour in the list.
struct LinearExactList {
  bool fits = true;
  std::vector<uint32_t> list;
  LinearExactList(const std::vector<uint32_t>& pixels, int n) {
    for (uint32_t c : pixels) {
      if (std::find(list.begin(), list.end(), c) != list.end()) continue;
      if (int(list.size()) == n) {
        fits = false;
        return;
      }
      list.push_back(c);
    }
  }
  int Index(uint32_t c) const { return int(std::find(list.begin(), list.end(), c) - list.begin()); }
};

TEST(QuantizerExactList, MatchesLinearSearchOnRandomImages) {
  std::mt19937 rng(1234);
  struct Case {
    int w, h, distinct, n;
    bool paged;
  } cases[] = {{64, 48, 256, 256, false}, {64, 48, 300, 256, false}, {33, 17, 16, 16, false},
               {33, 17, 17, 16, false},   {50, 50, 2, 2, true},      {40, 30, 200, 256, true},
               {7, 5, 1, 1, false},       {100, 3, 100, 100, false}};
  for (const Case& cs : cases) {
    std::vector<uint32_t> px = RandomPixels(rng, cs.w * cs.h, cs.distinct);
    LinearExactList ref(px, cs.n);
    auto bmp = MakeImage(cs.w, cs.h, px, cs.paged);
    std::vector<TRGB> palette(256, TRGB{0xAA, 0xBB, 0xCC});
    TLxQuantizer q(*bmp, palette.data(), cs.n);
    SCOPED_TRACE(testing::Message()
                 << cs.w << "x" << cs.h << " distinct " << cs.distinct << " n " << cs.n);
    if (!ref.fits) {
      EXPECT_NE(q.PaletteSource(), TLxQuantizer::Source::ExactList);
      continue;
    }
    ASSERT_EQ(q.PaletteSource(), TLxQuantizer::Source::ExactList);
    ASSERT_EQ(q.ProducedCount(), int(ref.list.size()));
    for (size_t i = 0; i < ref.list.size(); ++i) EXPECT_EQ(PackBGR(palette[i]), ref.list[i]);
    for (int i = int(ref.list.size()); i < cs.n; ++i) EXPECT_EQ(palette[size_t(i)], TRGB{});
    for (int i = cs.n; i < 256; ++i) EXPECT_EQ(palette[size_t(i)], (TRGB{0xAA, 0xBB, 0xCC}));
    for (uint32_t c : px) ASSERT_EQ(q.RGBToIndex(c), ref.Index(c));
  }
}

TEST(QuantizerExactList, ExactlyNColoursKeepFirstAppearanceOrderAndNPlusOneReduce) {
  // Colours appear in the order 5, 3, 9, 3, 5, 1 ...
  std::vector<uint32_t> px = {0x050000, 0x000300, 0x000009, 0x000300,
                              0x050000, 0x010101, 0x000009, 0x050000};
  auto bmp = MakeImage(4, 2, px);
  TRGB pal[4];
  TLxQuantizer q(*bmp, pal, 4);
  EXPECT_EQ(q.PaletteSource(), TLxQuantizer::Source::ExactList);
  EXPECT_EQ(PackBGR(pal[0]), 0x050000u);
  EXPECT_EQ(PackBGR(pal[1]), 0x000300u);
  EXPECT_EQ(PackBGR(pal[2]), 0x000009u);
  EXPECT_EQ(PackBGR(pal[3]), 0x010101u);
  EXPECT_EQ(q.RGBToIndex(0x000009), 2);
  // Bits above the colour are ignored.
  EXPECT_EQ(q.RGBToIndex(0xFF000009), 2);

  TRGB pal3[3];
  TLxQuantizer q3(*bmp, pal3, 3);  // four colours for three entries: reduction
  EXPECT_EQ(q3.PaletteSource(), TLxQuantizer::Source::Box);
}

TEST(QuantizerExactList, ColoursNotInTheImageGetTheNearestEntry) {
  std::vector<uint32_t> px = {0xFF0000, 0x00FF00, 0x0000FF, 0xFF0000};
  auto bmp = MakeImage(2, 2, px);
  TRGB pal[8];
  TLxQuantizer q(*bmp, pal, 8);
  ASSERT_EQ(q.ProducedCount(), 3);
  EXPECT_EQ(q.RGBToIndex(0xF00A0A), 0);
  EXPECT_EQ(q.RGBToIndex(0x0A0AF0), 2);
  // Black is the first unused entry, which holds black.
  EXPECT_EQ(q.RGBToIndex(0x000000), 3);
  EXPECT_EQ(pal[3], TRGB{});
}

TEST(QuantizerMethod, ChosenByColourCountAndSetting) {
  SettingsGuard guard;
  std::mt19937 rng(7);
  std::vector<uint32_t> px(64 * 64);
  for (auto& p : px) p = rng() & 0xFFFFFF;
  auto bmp = MakeImage(64, 64, px);
  std::vector<TRGB> pal(256);
  QuantizerMethod = -1;
  EXPECT_EQ(TLxQuantizer(*bmp, pal.data(), 16).PaletteSource(), TLxQuantizer::Source::Box);
  EXPECT_EQ(TLxQuantizer(*bmp, pal.data(), 127).PaletteSource(), TLxQuantizer::Source::Box);
  EXPECT_EQ(TLxQuantizer(*bmp, pal.data(), 128).PaletteSource(), TLxQuantizer::Source::Neural);
  EXPECT_EQ(TLxQuantizer(*bmp, pal.data(), 256).PaletteSource(), TLxQuantizer::Source::Neural);
  QuantizerMethod = 0;
  EXPECT_EQ(TLxQuantizer(*bmp, pal.data(), 16).PaletteSource(), TLxQuantizer::Source::Neural);
  QuantizerMethod = 1;
  EXPECT_EQ(TLxQuantizer(*bmp, pal.data(), 256).PaletteSource(), TLxQuantizer::Source::Box);
  QuantizerMethod = 7;
  EXPECT_EQ(TLxQuantizer(*bmp, pal.data(), 16).PaletteSource(), TLxQuantizer::Source::Neural);
}

TEST(QuantizerNeural, SamplingFactor) {
  SettingsGuard guard;
  NeuralSampleQuality = -1;
  EXPECT_EQ(quant::NeuralSamplingFactor(100 * 100), 3);
  EXPECT_EQ(quant::NeuralSamplingFactor(640 * 480), 29);
  EXPECT_EQ(quant::NeuralSamplingFactor(1000 * 1000), 30);
  EXPECT_EQ(quant::NeuralSamplingFactor(1999), 1);
  EXPECT_EQ(quant::NeuralSamplingFactor(2000), 2);
  NeuralSampleQuality = 100;
  EXPECT_EQ(quant::NeuralSamplingFactor(1000 * 1000), 1);
  NeuralSampleQuality = 0;
  EXPECT_EQ(quant::NeuralSamplingFactor(10), 30);
  NeuralSampleQuality = 50;
  EXPECT_EQ(quant::NeuralSamplingFactor(10), 15);
  NeuralSampleQuality = 101;  // out of range: from the size
  EXPECT_EQ(quant::NeuralSamplingFactor(100 * 100), 3);
}

// A smooth, photo-like picture: gradients with some texture.
std::vector<uint32_t> PhotoPixels(int w, int h) {
  std::vector<uint32_t> px(size_t(w) * h);
  std::mt19937 rng(99);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      int r = (x * 255) / (w - 1), g = (y * 255) / (h - 1), b = ((x + y) * 127) / (w + h);
      int noise = int(rng() % 9) - 4;
      auto cl = [](int v) { return uint32_t(std::clamp(v, 0, 255)); };
      px[size_t(y) * w + x] = cl(b + noise) | cl(g + noise) << 8 | cl(r) << 16;
    }
  return px;
}

int L1(TRGB a, uint32_t c) {
  return std::abs(a.b - int(c & 0xFF)) + std::abs(a.g - int((c >> 8) & 0xFF)) +
         std::abs(a.r - int((c >> 16) & 0xFF));
}

TEST(QuantizerNeural, SearchFindsTheNearestNeuronAndResultsRepeat) {
  SettingsGuard guard;
  QuantizerMethod = 0;
  std::vector<uint32_t> px = PhotoPixels(120, 90);
  auto bmp = MakeImage(120, 90, px);
  std::vector<TRGB> pal(256), pal2(256);
  TLxQuantizer q(*bmp, pal.data(), 256);
  ASSERT_EQ(q.PaletteSource(), TLxQuantizer::Source::Neural);
  TLxQuantizer again(*bmp, pal2.data(), 256);
  EXPECT_EQ(pal, pal2);

  std::mt19937 rng(5);
  double total = 0;
  for (int i = 0; i < 20000; ++i) {
    uint32_t c = i < 10800 ? px[size_t(i)] : rng() & 0xFFFFFF;
    int idx = q.RGBToIndex(c);
    ASSERT_GE(idx, 0);
    ASSERT_LT(idx, 256);
    int best = 1 << 30;
    for (const TRGB& e : pal) best = std::min(best, L1(e, c));
    ASSERT_EQ(L1(pal[size_t(idx)], c), best) << std::hex << c;
    if (i < 10800) total += best;
  }
  // The palette follows the picture (a median cut gets about 10.5 on a similar picture).
  EXPECT_LT(total / 10800, 18.0);

  // A hint narrows the search without changing the answer, whatever neuron it names.
  quant::NeuralQuantizer net;
  std::vector<TRGB> netPal(256);
  net.Build(*bmp, 256, 3, netPal.data());
  EXPECT_EQ(netPal, pal);
  for (int i = 0; i < 5000; ++i) {
    uint32_t c = rng() & 0xFFFFFF;
    int plain = net.Index(c);
    ASSERT_EQ(net.Index(c, int(rng() % 256)), plain);
    ASSERT_EQ(net.Index(c, plain), plain);
  }

  // The same image in a paging file gives the same palette (samples gathered row by row).
  auto paged = MakeImage(120, 90, px, true);
  std::vector<TRGB> pal3(256);
  TLxQuantizer q3(*paged, pal3.data(), 256);
  EXPECT_EQ(pal, pal3);
}

TEST(QuantizerNeural, PagedGatherMatchesForEveryStep) {
  SettingsGuard guard;
  QuantizerMethod = 0;
  NeuralSampleQuality = 100;  // every pixel is a sample
  // 998 x 3 pixels make the byte count a multiple of 499, so the step becomes 491;
  // 982 x 499 pixels a multiple of 499 and 491, so it becomes 487.
  for (int w : {499 * 2, 491 * 2}) {
    int h = w == 998 ? 3 : 499;
    std::vector<uint32_t> px = PhotoPixels(w, h);
    auto mem = MakeImage(w, h, px), paged = MakeImage(w, h, px, true);
    std::vector<TRGB> a(64), b(64);
    TLxQuantizer qa(*mem, a.data(), 64), qb(*paged, b.data(), 64);
    EXPECT_EQ(a, b) << w;
  }
}

TEST(QuantizerBox, PaletteComponentsAreMultiplesOf8AndIndicesStayInRange) {
  SettingsGuard guard;
  QuantizerMethod = 1;
  std::vector<uint32_t> px = PhotoPixels(100, 80);
  auto bmp = MakeImage(100, 80, px);
  for (int n : {2, 16, 100, 256}) {
    std::vector<TRGB> pal(256, TRGB{1, 2, 3});
    TLxQuantizer q(*bmp, pal.data(), n);
    ASSERT_EQ(q.PaletteSource(), TLxQuantizer::Source::Box);
    EXPECT_LE(q.ProducedCount(), n);
    EXPECT_GE(q.ProducedCount(), std::min(n, 2));
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(pal[size_t(i)].r % 8, 0);
      EXPECT_EQ(pal[size_t(i)].g % 8, 0);
      EXPECT_EQ(pal[size_t(i)].b % 8, 0);
    }
    double err = 0;
    for (uint32_t c : px) {
      int idx = q.RGBToIndex(c);
      ASSERT_GE(idx, 0);
      ASSERT_LT(idx, q.ProducedCount());
      err += L1(pal[size_t(idx)], c);
    }
    if (n == 256) {
      EXPECT_LT(err / double(px.size()), 20.0);
    }
  }
}

TEST(QuantizerBox, UniformCellNeverSplits) {
  SettingsGuard guard;
  QuantizerMethod = 1;
  // Eight colours inside one 5-bit cell, asked for four: the reduction keeps one box.
  std::vector<uint32_t> px;
  for (int i = 0; i < 64; ++i) px.push_back(0x404040u + uint32_t(i % 8));
  auto bmp = MakeImage(8, 8, px);
  TRGB pal[4] = {{9, 9, 9}, {9, 9, 9}, {9, 9, 9}, {9, 9, 9}};
  TLxQuantizer q(*bmp, pal, 4);
  ASSERT_EQ(q.PaletteSource(), TLxQuantizer::Source::Box);
  EXPECT_EQ(q.ProducedCount(), 1);
  EXPECT_EQ(pal[0], CreateRGB(64, 64, 64));
  EXPECT_EQ(pal[1], TRGB{});
  EXPECT_EQ(pal[3], TRGB{});

  // A single colour straight into the box quantizer.
  auto uniform = MakeImage(10, 10, std::vector<uint32_t>(100, 0x808080));
  quant::BoxQuantizer box;
  TRGB one[16];
  EXPECT_EQ(box.Build(*uniform, 16, one), 1);
  EXPECT_EQ(one[0], CreateRGB(128, 128, 128));
}

TEST(QuantizerBox, SplitsAtTheBestScoredBin) {
  // Red bins 10 and 12, ten pixels each. First box: bins 0..32, mean 11; the cut range is
  // round(5.5) = 6 .. round(21.5) = 22; bins 6..9 score 0, bin 10 scores 10/10 * (11 - 5)^2
  // and the scan stops at bin 12. Parts shrink to bin 10 and bin 12.
  std::vector<uint32_t> px;
  for (int i = 0; i < 10; ++i) px.push_back(uint32_t(10 * 8) << 16);
  for (int i = 0; i < 10; ++i) px.push_back(uint32_t(12 * 8 + 7) << 16 | 0x000005);
  auto bmp = MakeImage(20, 1, px);
  quant::BoxQuantizer box;
  TRGB pal[3] = {};
  ASSERT_EQ(box.Build(*bmp, 3, pal), 2);
  EXPECT_EQ(pal[0], CreateRGB(80, 0, 0));
  EXPECT_EQ(pal[1], CreateRGB(96, 0, 0));
  EXPECT_EQ(box.Index(uint32_t(80) << 16), 0);
  EXPECT_EQ(box.Index(uint32_t(100) << 16 | 3), 1);
  // Bin 11 lies in no box after shrinking: cell index 0.
  EXPECT_EQ(box.Index(uint32_t(88) << 16), 0);
}

TEST(QuantizerGray, RampAndIndicesReachWhite) {
  std::vector<uint32_t> px;
  for (int v = 0; v < 256; ++v) px.push_back(uint32_t(v) * 0x010101);
  auto bmp = MakeImage(16, 16, px);
  std::vector<TRGB> pal(256);
  TLxQuantizer q256(*bmp, pal.data(), 256);
  EXPECT_TRUE(q256.Gray());
  EXPECT_EQ(q256.PaletteSource(), TLxQuantizer::Source::GrayRamp);
  for (int v = 0; v < 256; ++v) {
    EXPECT_EQ(pal[size_t(v)], CreateRGB(uint8_t(v), uint8_t(v), uint8_t(v)));
    EXPECT_EQ(q256.RGBToIndex(uint32_t(v) * 0x010101), v);
  }
  for (int n : {2, 3, 4, 16, 100}) {
    std::vector<TRGB> p(static_cast<size_t>(n));
    TLxQuantizer q(*bmp, p.data(), n);
    EXPECT_EQ(p[0].r, 0);
    EXPECT_EQ(p[size_t(n - 1)], CreateRGB(255, 255, 255)) << n;
    EXPECT_EQ(q.RGBToIndex(0xFFFFFF), n - 1);
    for (int v = 0; v < 256; ++v) {
      int idx = q.RGBToIndex(uint32_t(v) << 16);
      int best = 1000;
      for (const TRGB& e : p) best = std::min(best, std::abs(e.r - v));
      ASSERT_EQ(std::abs(p[size_t(idx)].r - v), best) << n << " " << v;
    }
  }
  std::vector<TRGB> p16(16);
  TLxQuantizer q16(*bmp, p16.data(), 16);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(p16[size_t(i)].r, i * 17);
}

TEST(QuantizerOwnPalette, CopiesEntriesAndMapsToTheFirstEqualEntry) {
  TLxBitmap bmp(4, 4, lx8p);
  for (int i = 0; i < 256; ++i) bmp.SetPaletteEntry(i, CreateRGB(uint8_t(i), 0, uint8_t(255 - i)));
  bmp.SetPaletteEntry(7, CreateRGB(3, 0, 252));  // a second copy of entry 3
  std::vector<TRGB> pal(256);
  TLxQuantizer q(bmp, pal.data(), 256);
  EXPECT_FALSE(q.Gray());
  EXPECT_EQ(q.PaletteSource(), TLxQuantizer::Source::OwnPalette);
  EXPECT_EQ(pal[200], CreateRGB(200, 0, 55));
  EXPECT_EQ(q.RGBToIndex(PackBGR(CreateRGB(3, 0, 252))), 3);
  EXPECT_EQ(q.RGBToIndex(PackBGR(CreateRGB(200, 0, 55))), 200);
  // Not in the palette: the nearest entry, never an index past the palette.
  EXPECT_EQ(q.RGBToIndex(PackBGR(CreateRGB(201, 1, 55))), 200);

  // Asked for 16 colours, indices stay below 16.
  std::vector<TRGB> pal16(16);
  TLxQuantizer q16(bmp, pal16.data(), 16);
  EXPECT_EQ(q16.RGBToIndex(PackBGR(CreateRGB(200, 0, 55))), 15);

  // A gray palette answers with ramp positions.
  TLxBitmap gray(2, 2, lx8p);
  for (int i = 0; i < 256; ++i)
    gray.SetPaletteEntry(i, CreateRGB(uint8_t(i), uint8_t(i), uint8_t(i)));
  std::vector<TRGB> gp(256);
  TLxQuantizer qg(gray, gp.data(), 256);
  EXPECT_TRUE(qg.Gray());
  EXPECT_EQ(qg.RGBToIndex(0x7F7F7F), 0x7F);
}

TEST(QuantizerOther, NoPaletteLayoutsAndBadCounts) {
  TLxBitmap rgb48(2, 1, lxRGB48);
  rgb48.SetPixelsRGB48(0, 0, 1000, 2000, 3000);
  TRGB pal[4] = {{5, 5, 5}, {5, 5, 5}, {5, 5, 5}, {5, 5, 5}};
  TLxQuantizer q(rgb48, pal, 4);
  EXPECT_EQ(q.PaletteSource(), TLxQuantizer::Source::None);
  EXPECT_EQ(pal[2], TRGB{});
  EXPECT_EQ(q.RGBToIndex(0x123456), 0);

  auto bmp = MakeImage(1, 1, {0x010203});
  TRGB untouched{7, 7, 7};
  TLxQuantizer none(*bmp, &untouched, 0);
  EXPECT_EQ(untouched, (TRGB{7, 7, 7}));
  EXPECT_EQ(none.RGBToIndex(0x010203), 0);
}

// The PNG Suite pictures (decoded by libpng): those of at most 256 colours get them exactly
// and every pixel maps back to its own colour; the others get a neural palette that stays
// close to every pixel.
TEST(QuantizerCorpus, PngSuitePictures) {
  std::filesystem::path dir = test::CorpusDir() / "pngsuite" / "png";
  if (test::CorpusDir().empty() || !std::filesystem::is_directory(dir))
    GTEST_SKIP() << "corpus not found (../shared/corpus/pngsuite/png)";
  int exact = 0, reduced = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".png" || name[0] == 'x') continue;
    test::RgbaImage img;
    if (!test::ReadPngRgba(entry.path(), img) || img.width == 0) continue;
    std::vector<uint32_t> px;
    for (int y = 0; y < img.height; ++y)
      for (int x = 0; x < img.width; ++x) {
        const uint8_t* p = img.at(x, y);
        px.push_back(uint32_t(p[2]) | uint32_t(p[1]) << 8 | uint32_t(p[0]) << 16);
      }
    auto bmp = MakeImage(img.width, img.height, px);
    if (bmp->IsGrayScale()) continue;
    std::vector<TRGB> pal(256);
    TLxQuantizer q(*bmp, pal.data(), 256);
    LinearExactList ref(px, 256);
    SCOPED_TRACE(name);
    if (ref.fits) {
      ++exact;
      ASSERT_EQ(q.PaletteSource(), TLxQuantizer::Source::ExactList);
      for (size_t i = 0; i < ref.list.size(); ++i) ASSERT_EQ(PackBGR(pal[i]), ref.list[i]);
      for (uint32_t c : px) ASSERT_EQ(PackBGR(pal[size_t(q.RGBToIndex(c))]), c);
    } else {
      ++reduced;
      ASSERT_EQ(q.PaletteSource(), TLxQuantizer::Source::Neural);
      double err = 0;
      for (uint32_t c : px) err += L1(pal[size_t(q.RGBToIndex(c))], c);
      EXPECT_LT(err / double(px.size()), 24.0);
    }
  }
  EXPECT_GT(exact, 10);
  EXPECT_GT(reduced, 5);
}

}  // namespace
}  // namespace lumenax
