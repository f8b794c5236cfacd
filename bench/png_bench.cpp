// The PNG codec timed on files, for bench/png.sh.
//   png_bench gen W H CHANNELS OUT.raw        deterministic test pixels, R G B [A] order
//   png_bench encode IN.raw W H CHANNELS LEVEL FILTER OUT.png REPEAT [WORKERS [MINPIXELS]]
//   png_bench decode IN.png REPEAT        (after one untimed decode that warms up)
// encode loads the pixels into an lx24RGB bitmap (and the alpha mask the I/O component would
// hand over) once, then times WritePNGStream into a file; decode times ReadPNGStream from
// the file into a fresh bitmap. Each prints the median of REPEAT runs in seconds (wall and
// processor time) and the peak resident memory in KiB. WORKERS: threads deflating one image
// (0, the default: as many as the cores allow); MINPIXELS: the writer's threshold for
// deflating in bands (default: the writer's own).
#include <sys/resource.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/png/png.h"
#include "codecs/png/png_deflate.h"
#include "floor_util.h"
#include "io/params.h"

using namespace lumenax;

namespace {

using floor_util::Cpu;
using floor_util::Now;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// A photograph-like image: smooth light, texture and sensor noise; the alpha of a cut-out
// (opaque inside an ellipse, a soft rim, transparent outside).
int Generate(int w, int h, int channels, const char* out) {
  std::vector<uint8_t> px(size_t(w) * h * channels);
  uint32_t seed = 12345;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      seed = seed * 1664525u + 1013904223u;
      int noise = int(seed >> 28) - 8;
      double fx = double(x) / w, fy = double(y) / h;
      int base = int(90 + 80 * fx + 50 * fy);
      int tex = int(25 * std::sin(x * 0.05 + std::sin(y * 0.013) * 4) * std::cos(y * 0.031));
      uint8_t* p = &px[(size_t(y) * w + x) * channels];
      p[0] = uint8_t(std::clamp(base + tex + noise + 30, 0, 255));
      p[1] = uint8_t(std::clamp(base + tex / 2 + noise, 0, 255));
      p[2] = uint8_t(std::clamp(base - tex + noise - 20, 0, 255));
      if (channels == 4) {
        double dx = (fx - 0.5) / 0.42, dy = (fy - 0.5) / 0.45, r = std::sqrt(dx * dx + dy * dy);
        p[3] = uint8_t(r < 0.95 ? 255 : r > 1.0 ? 0 : int((1.0 - r) / 0.05 * 255));
      }
    }
  }
  std::ofstream f(out, std::ios::binary);
  f.write(reinterpret_cast<const char*>(px.data()), std::streamsize(px.size()));
  return f ? 0 : 1;
}

long PeakKiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

int Encode(const char* in, int w, int h, int channels, int level, int filter, const char* out,
           int repeat) {
  // Read a row at a time, so that the peak memory is the bitmap's and the writer's only.
  std::ifstream f(in, std::ios::binary);
  TLxBitmap bitmap(w, h, lx24RGB);
  std::vector<uint8_t> px(size_t(w) * channels);
  for (int y = 0; y < h; ++y) {
    if (!f.read(reinterpret_cast<char*>(px.data()), std::streamsize(px.size()))) return 1;
    uint8_t* d = bitmap.ScanLine(y);
    const uint8_t* s = px.data();
    for (int x = 0; x < w; ++x, d += 3, s += channels) {
      d[0] = s[2];
      d[1] = s[1];
      d[2] = s[0];
    }
    if (channels == 4) {
      uint8_t* a = bitmap.AlphaChannel()->ScanLine(y);
      for (int x = 0; x < w; ++x) a[x] = px[size_t(x) * 4 + 3];
    }
  }
  TLxMask mask;
  if (channels == 4) {
    bitmap.AlphaChannel()->UpdateAllOpaque();
    bitmap.AlphaChannel()->CopyToMask(mask);
  }
  TIOParamsVals params;
  params.SamplesPerPixel = channels;
  params.PngCompression = level;
  params.PngFilter = uint8_t(filter);
  std::vector<double> times, cpus;
  for (int i = 0; i < repeat; ++i) {
    bool aborting = false;
    ProgressRecord progress;
    progress.AbortingPtr = &aborting;
    double t0 = Now(), c0 = Cpu();
    {
      TLxWideFileStream s(out, fmCreate);
      WritePNGStream(s, bitmap, params, channels == 4 ? &mask : nullptr, progress);
    }
    times.push_back(Now() - t0);
    cpus.push_back(Cpu() - c0);
    if (aborting) return 1;
  }
  std::printf("%.6f %.6f %ld\n", Median(times), Median(cpus), PeakKiB());
  return 0;
}

int Decode(const char* in, int repeat) {
  std::vector<double> times, cpus;
  for (int i = -1; i < repeat; ++i) {  // run -1 warms up (first use of large pages)
    bool aborting = false;
    ProgressRecord progress;
    progress.AbortingPtr = &aborting;
    TIOParamsVals params;
    double t0 = Now(), c0 = Cpu();
    {
      TLxBitmap bitmap;
      TLxWideFileStream s(in, fmOpenRead | fmShareDenyWrite);
      ReadPNGStream(s, bitmap, params, false, progress);
    }
    if (i >= 0) {
      times.push_back(Now() - t0);
      cpus.push_back(Cpu() - c0);
    }
    if (aborting) return 1;
  }
  std::printf("%.6f %.6f\n", Median(times), Median(cpus));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "gen" && argc == 6)
    return Generate(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), argv[5]);
  if (mode == "encode" && argc >= 10 && argc <= 12) {
    if (argc > 10) PngParallelSettings().workers = std::atoi(argv[10]);
    if (argc > 11) PngParallelSettings().minPixels = std::atoll(argv[11]);
    return Encode(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]),
                  std::atoi(argv[6]), std::atoi(argv[7]), argv[8], std::atoi(argv[9]));
  }
  if (mode == "decode" && argc == 4) return Decode(argv[2], std::atoi(argv[3]));
  std::fprintf(stderr, "usage: png_bench gen|encode|decode ...\n");
  return 2;
}
