// BMP decode and encode timings for bench/bmp.sh, which sets them against Pillow and
// ImageMagick doing the same work.
//   bmp_bench generate DIR   writes DIR/rgb24.bmp (6000 x 4000, 24 bits) and DIR/rle8.bmp
//                            (the same size, 8 bits, RLE8)
//   bmp_bench time DIR [N]   prints "name milliseconds" lines, each the best of N runs:
//                            a plain read() of each file into fresh memory, our decode of
//                            each file, and our 24-bit and RLE8 encode into DIR
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "bench_util.h"
#include "bitmap/bitmap.h"
#include "bitmap/mask.h"
#include "bitmap/memory.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/bmp/bmp.h"
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
      uint32_t n = Next(s) & 15;
      r[3 * x] = uint8_t(x * 255 / kW + n);
      r[3 * x + 1] = uint8_t(y * 255 / kH + n);
      r[3 * x + 2] = uint8_t((x + y) * 127 / (kW + kH) + n);
    }
  }
}

// A palette graphic: spans of 1 to 64 pixels of one index, as drawings and screenshots have.
void MakeGraphic(TLxBitmap& b) {
  b.Allocate(kW, kH, lx8p);
  for (int i = 0; i < 256; ++i)
    b.SetPaletteEntry(i, CreateRGB(uint8_t(i), uint8_t(i * 7), uint8_t(255 - i)));
  uint32_t s = 7;
  for (int y = 0; y < kH; ++y) {
    uint8_t* r = b.ScanLine(y);
    for (int x = 0; x < kW;) {
      int len = 1 + int(Next(s) % 64);
      uint8_t v = uint8_t(Next(s));
      for (int i = 0; i < len && x < kW; ++i) r[x++] = v;
    }
  }
}

bool Write(TLxBitmap& b, const std::filesystem::path& file, int bitsPerSample, int samplesPerPixel,
           int compression) {
  TIOParamsVals p;
  p.BitsPerSample = bitsPerSample;
  p.SamplesPerPixel = samplesPerPixel;
  p.BmpCompression = uint8_t(compression);
  p.DpiX = p.DpiY = 96;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  TLxWideFileStream out(file, fmCreate);
  WriteBMPStream(out, b, p, true, progress);
  return !aborting;
}

bool Decode(const std::filesystem::path& file, TLxBitmap& b) {
  TIOParamsVals p;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  std::unique_ptr<TLxMask> mask;
  TLxWideFileStream in(file, fmOpenRead | fmShareDenyWrite);
  ReadBMPStream(in, b, 0, false, mask, false, false, progress, p);
  return !aborting;
}

double Best(int runs, const std::function<bool()>& f) {
  return bench_util::BestMs(runs, f, "bmp_bench");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bmp_bench generate|time DIR [runs]\n");
    return 2;
  }
  const std::string mode = argv[1];
  const std::filesystem::path dir = argv[2];
  const std::filesystem::path rgb24 = dir / "rgb24.bmp", rle8 = dir / "rle8.bmp";
  if (mode == "generate") {
    TLxBitmap photo, graphic;
    MakePhoto(photo);
    MakeGraphic(graphic);
    bool ok = Write(photo, rgb24, 8, 3, 0) && Write(graphic, rle8, 8, 1, 1);
    return ok ? 0 : 1;
  }
  const int runs = argc > 3 ? std::atoi(argv[3]) : 5;
  TLxBitmap photo, graphic;
  std::printf("read24 %.2f\n", Best(runs, [&] { return PlainRead(rgb24); }));
  std::printf("decode24 %.2f\n", Best(runs, [&] {
                TLxBitmap b;
                return Decode(rgb24, b);
              }));
  std::printf("readrle8 %.2f\n", Best(runs, [&] { return PlainRead(rle8); }));
  std::printf("decoderle8 %.2f\n", Best(runs, [&] {
                TLxBitmap b;
                return Decode(rle8, b);
              }));
  Decode(rgb24, photo);
  std::printf("encode24 %.2f\n",
              Best(runs, [&] { return Write(photo, dir / "out24.bmp", 8, 3, 0); }));
  TIOParamsVals native;
  native.IsNativePixelFormat = true;
  {
    bool aborting = false;
    ProgressRecord progress;
    progress.AbortingPtr = &aborting;
    std::unique_ptr<TLxMask> mask;
    TLxWideFileStream in(rle8, fmOpenRead | fmShareDenyWrite);
    ReadBMPStream(in, graphic, 0, false, mask, false, false, progress, native);
  }
  std::printf("encoderle8 %.2f\n",
              Best(runs, [&] { return Write(graphic, dir / "outrle8.bmp", 8, 1, 1); }));
  return 0;
}
