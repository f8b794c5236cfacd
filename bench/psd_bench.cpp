// Photoshop decode and encode timings for bench/psd.sh, which sets them against Pillow and
// ImageMagick doing the same work.
//   psd_bench generate DIR   writes DIR/photo.pam (6000 x 4000 RGB) for the peers to make
//                            their files from, and DIR/rle.psd with our writer
//   psd_bench time DIR [N]   prints "name milliseconds" lines, each the best of N runs: a
//                            plain read() of each file into fresh memory, our decode of the
//                            merged image of rle.psd and raw.psd, of the layers of zip.psd,
//                            and our encode of the photo
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "bench_util.h"
#include "bitmap/bitmap.h"
#include "bitmap/layer.h"
#include "bitmap/memory.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/psd/psd.h"
#include "io/params.h"

using namespace lumenax;

namespace {

using bench_util::PlainRead;

constexpr int kW = 6000, kH = 4000;  // 24 megapixels

uint32_t Next(uint32_t& s) {
  s = s * 1664525u + 1013904223u;
  return s >> 8;
}

// A photo-like true-colour image: gradients with noise.
void MakePhoto(TLxBitmap& b) {
  b.Allocate(kW, kH, lx24RGB);
  uint32_t s = 1;
  for (int y = 0; y < kH; ++y) {
    uint8_t* r = b.ScanLine(y);
    for (int x = 0; x < kW; ++x) {
      uint32_t n = Next(s) & 3;
      r[3 * x] = uint8_t(x * 255 / kW + n);
      r[3 * x + 1] = uint8_t(y * 255 / kH);
      r[3 * x + 2] = uint8_t(x < kW / 3 ? 90 : (x + y) * 127 / (kW + kH) + n);
    }
  }
}

bool Write(TLxBitmap& b, const std::filesystem::path& file) {
  TIOParamsVals p;
  p.DpiX = p.DpiY = 96;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  TLxWideFileStream out(file, fmCreate);
  WritePsdStream(out, p, progress, nullptr, &b);
  return !aborting;
}

bool Decode(const std::filesystem::path& file, bool layers) {
  TLxBitmap b;
  TIOParamsVals p;
  p.IsNativePixelFormat = true;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  TLxLayerList list;
  TLxWideFileStream in(file, fmOpenRead | fmShareDenyWrite);
  ReadPsdStream(in, b, p, &list, layers, progress);
  return !aborting && (layers ? !list.empty() : !b.IsEmpty());
}

double Best(int runs, const std::function<bool()>& f) {
  return bench_util::BestMs(runs, f, "psd_bench");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: psd_bench generate|time DIR [runs]\n");
    return 2;
  }
  const std::string mode = argv[1];
  const std::filesystem::path dir = argv[2];
  TLxBitmap photo;
  MakePhoto(photo);
  if (mode == "generate") {
    TLxWideFileStream pam(dir / "photo.pam", fmCreate);
    const std::string head = "P7\nWIDTH " + std::to_string(kW) + "\nHEIGHT " + std::to_string(kH) +
                             "\nDEPTH 3\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n";
    pam.WriteBuffer(head.data(), int64_t(head.size()));
    std::string row(size_t(kW) * 3, '\0');
    for (int y = 0; y < kH; ++y) {
      const uint8_t* p = photo.ScanLine(y);
      for (int x = 0; x < kW; ++x) {
        row[3 * size_t(x)] = char(p[3 * x + 2]);
        row[3 * size_t(x) + 1] = char(p[3 * x + 1]);
        row[3 * size_t(x) + 2] = char(p[3 * x]);
      }
      pam.WriteBuffer(row.data(), int64_t(row.size()));
    }
    return Write(photo, dir / "rle.psd") ? 0 : 1;
  }
  const int runs = argc > 3 ? std::atoi(argv[3]) : 5;
  for (const char* name : {"rle", "raw", "zip"}) {
    const auto file = dir / (std::string(name) + ".psd");
    if (!std::filesystem::exists(file)) continue;
    std::printf("read_%s %.2f\n", name, Best(runs, [&] { return PlainRead(file); }));
    std::printf("decode_%s %.2f\n", name,
                Best(runs, [&] { return Decode(file, std::string(name) == "zip"); }));
  }
  std::printf("encode %.2f\n", Best(runs, [&] { return Write(photo, dir / "out.psd"); }));
  return 0;
}
