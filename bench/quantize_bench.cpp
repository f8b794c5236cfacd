// The quantizer on 16-megapixel lx24RGB images, each measured against one plain pass over the
// same pixels (every pixel read through ScanLine and turned into one output byte, the least a
// palette writer does per pixel):
//   - an image of exactly 256 colours scattered at random (no runs): the exact colour list is
//     built and every pixel mapped with RGBToIndex;
//   - a photo-like image (smooth gradients and noise, about 925,000 colours): NeuQuant and the box
//     quantizer build a 256-colour palette and every pixel is mapped.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "bitmap/bitmap.h"
#include "quantize/quantizer.h"

namespace lumenax {
namespace {

constexpr int kSize = 4096;

TLxBitmap& Exact256() {
  static TLxBitmap b;
  if (b.IsEmpty()) {
    b.FileThreshold = INT64_MAX;
    b.Allocate(kSize, kSize, lx24RGB);
    std::mt19937 rng(42);
    std::vector<uint32_t> colours(256);
    for (auto& c : colours) c = rng() & 0xFFFFFF;
    colours[0] = 0x102030;  // not gray
    for (int y = 0; y < kSize; ++y) {
      uint8_t* p = b.ScanLine(y);
      for (int x = 0; x < kSize; ++x, p += 3) {
        // Every colour appears in the first row; after that they are drawn at random.
        uint32_t c = colours[y == 0 ? size_t(x % 256) : size_t(rng() % 256)];
        p[0] = uint8_t(c), p[1] = uint8_t(c >> 8), p[2] = uint8_t(c >> 16);
      }
    }
  }
  return b;
}

TLxBitmap& Photo() {
  static TLxBitmap b;
  if (b.IsEmpty()) {
    b.FileThreshold = INT64_MAX;
    b.Allocate(kSize, kSize, lx24RGB);
    std::mt19937 rng(7);
    for (int y = 0; y < kSize; ++y) {
      uint8_t* p = b.ScanLine(y);
      for (int x = 0; x < kSize; ++x, p += 3) {
        int noise = int(rng() % 3) - 1;  // sensor-like noise on the brightness
        auto cl = [](int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
        p[2] = cl(x * 255 / (kSize - 1) + noise);
        p[1] = cl(y * 255 / (kSize - 1) + noise);
        p[0] = cl(int(128 + 100 * std::sin(x / 300.0) * std::cos(y / 200.0)) + noise);
      }
    }
  }
  return b;
}

// One pass: every pixel read as a packed colour and turned into one byte of an output row.
void PlainPass(benchmark::State& state, TLxBitmap& b) {
  std::vector<uint8_t> out(size_t(b.Width()));
  for (auto _ : state) {
    for (int y = 0; y < b.Height(); ++y) {
      const uint8_t* p = b.ScanLine(y);
      for (int x = 0; x < b.Width(); ++x, p += 3) {
        uint32_t c = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
        out[size_t(x)] = uint8_t(c ^ (c >> 8) ^ (c >> 16));
      }
      benchmark::DoNotOptimize(out.data());
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * int64_t(b.Width()) * b.Height());
}

// Builds the palette and maps every pixel, as a palette writer does.
void BuildAndMap(benchmark::State& state, TLxBitmap& b, int method, TLxQuantizer::Source expect) {
  std::vector<uint8_t> out(size_t(b.Width()));
  TRGB palette[256];
  const int32_t saved = QuantizerMethod;
  QuantizerMethod = method;
  for (auto _ : state) {
    TLxQuantizer q(b, palette, 256);
    if (q.PaletteSource() != expect) state.SkipWithError("unexpected palette source");
    for (int y = 0; y < b.Height(); ++y) {
      const uint8_t* p = b.ScanLine(y);
      for (int x = 0; x < b.Width(); ++x, p += 3)
        out[size_t(x)] =
            uint8_t(q.RGBToIndex(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16));
      benchmark::DoNotOptimize(out.data());
    }
    benchmark::ClobberMemory();
  }
  QuantizerMethod = saved;
  state.SetItemsProcessed(state.iterations() * int64_t(b.Width()) * b.Height());
}

// Only the palette (no mapping), to show where the time goes.
void BuildOnly(benchmark::State& state, TLxBitmap& b, int method) {
  TRGB palette[256];
  const int32_t saved = QuantizerMethod;
  QuantizerMethod = method;
  for (auto _ : state) {
    TLxQuantizer q(b, palette, 256);
    benchmark::DoNotOptimize(palette);
  }
  QuantizerMethod = saved;
}

void BM_Exact256_PlainPass(benchmark::State& s) {
  PlainPass(s, Exact256());
}
void BM_Exact256_BuildAndMap(benchmark::State& s) {
  BuildAndMap(s, Exact256(), -1, TLxQuantizer::Source::ExactList);
}
void BM_Exact256_BuildOnly(benchmark::State& s) {
  BuildOnly(s, Exact256(), -1);
}
void BM_Photo_PlainPass(benchmark::State& s) {
  PlainPass(s, Photo());
}
void BM_Photo_NeuralBuildAndMap(benchmark::State& s) {
  BuildAndMap(s, Photo(), 0, TLxQuantizer::Source::Neural);
}
void BM_Photo_NeuralBuildOnly(benchmark::State& s) {
  BuildOnly(s, Photo(), 0);
}
void BM_Photo_BoxBuildAndMap(benchmark::State& s) {
  BuildAndMap(s, Photo(), 1, TLxQuantizer::Source::Box);
}
void BM_Photo_BoxBuildOnly(benchmark::State& s) {
  BuildOnly(s, Photo(), 1);
}

BENCHMARK(BM_Exact256_PlainPass)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_Exact256_BuildAndMap)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_Exact256_BuildOnly)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_Photo_PlainPass)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_Photo_NeuralBuildAndMap)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_Photo_NeuralBuildOnly)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_Photo_BoxBuildAndMap)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_Photo_BoxBuildOnly)->Unit(benchmark::kMillisecond)->MinTime(0.5);

}  // namespace
}  // namespace lumenax

BENCHMARK_MAIN();
