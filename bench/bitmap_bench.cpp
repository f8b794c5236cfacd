// Row access, Fill and Assign of a 24-megapixel lx24RGB image in memory and in the paging
// file, against a memcpy of the same bytes (the reference of bench/run).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bitmap/bitmap.h"

namespace lumenax {
namespace {

constexpr int kW = 6000, kH = 4000;  // 24 megapixels
constexpr int64_t kBytes = int64_t(kW) * 3 * kH;

TLxBitmap& Image(bool paged) {
  static TLxBitmap mem, file;
  TLxBitmap& b = paged ? file : mem;
  if (b.IsEmpty()) {
    b.FileThreshold = paged ? 0 : INT64_MAX;
    b.SetLocation(paged ? lxTempFile : lxInMemory);
    b.Allocate(kW, kH, lx24RGB);
  }
  return b;
}

// Plain buffers come from the same allocator as pixel blocks, so page handling is equal.
struct Buffer {
  Buffer() : mem(PixelMemory::Allocate(uint64_t(kBytes), maGlobal)) {
    std::memset(mem.get(), 0x5A, size_t(kBytes));
  }
  uint8_t* data() const { return mem.get(); }
  PixelMemory mem;
};

const Buffer& Source() {
  static Buffer b;
  return b;
}

void BM_MemcpyReference(benchmark::State& state) {
  const auto& src = Source();
  Buffer dst;
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), size_t(kBytes));
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}

// The same bytes copied row by row in the order a bottom-up image stores them, without the
// bitmap: what ScanLine itself adds shows against this one.
void BM_MemcpyRowsBottomUp(benchmark::State& state) {
  const auto& src = Source();
  Buffer dst;
  const size_t row = size_t(kW) * 3;
  for (auto _ : state) {
    for (int y = 0; y < kH; ++y)
      std::memcpy(dst.data() + row * y, src.data() + row * (kH - 1 - y), row);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}

// Writes every row through ScanLine, as a decoder does.
void BM_ScanLineWrite(benchmark::State& state) {
  TLxBitmap& b = Image(state.range(0));
  const auto& src = Source();
  const size_t row = size_t(kW) * 3;
  for (auto _ : state) {
    for (int y = 0; y < kH; ++y) std::memcpy(b.ScanLine(y), src.data() + row * y, row);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}

// Reads every row through ScanLine, as an encoder does.
void BM_ScanLineRead(benchmark::State& state) {
  TLxBitmap& b = Image(state.range(0));
  Buffer dst;
  const size_t row = size_t(kW) * 3;
  for (auto _ : state) {
    for (int y = 0; y < kH; ++y) std::memcpy(dst.data() + row * y, b.ScanLine(y), row);
    benchmark::DoNotOptimize(dst.data());
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_Fill(benchmark::State& state) {
  TLxBitmap& b = Image(state.range(0));
  for (auto _ : state) b.Fill(0x102030);
  state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_Assign(benchmark::State& state) {
  TLxBitmap& src = Image(state.range(0));
  TLxBitmap dst;
  dst.FileThreshold = state.range(0) ? 0 : INT64_MAX;
  dst.SetLocation(state.range(0) ? lxTempFile : lxInMemory);
  for (auto _ : state) dst.Assign(src);
  state.SetBytesProcessed(state.iterations() * kBytes);
}

BENCHMARK(BM_MemcpyReference)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_MemcpyRowsBottomUp)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_ScanLineWrite)
    ->ArgName("paged")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);
BENCHMARK(BM_ScanLineRead)
    ->ArgName("paged")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);
BENCHMARK(BM_Fill)->ArgName("paged")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Assign)->ArgName("paged")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace
}  // namespace lumenax

BENCHMARK_MAIN();
