// Resampling timed in one process, for bench/resample.sh.
//   resample_bench gen W H OUT.raw
//       deterministic photo-like RGB pixels (light, texture, fine pattern, noise)
//   resample_bench run IN.raw W H W2 H2 FILTER REPEAT
//       loads the pixels into an lx24RGB bitmap once, then times ResampleBitmap into a fresh
//       target REPEAT times. Prints the median wall and processor seconds, the resident
//       memory before the first run and the peak (KiB), and the bytes of the target and of
//       one work image of the two-pass resampler (target width x source height x 3).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "process/resample.h"

using namespace lumenax;

namespace {

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double Cpu() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + t.tv_nsec * 1e-9;
}

long ResidentKiB() {
  std::ifstream f("/proc/self/statm");
  long pages = 0, resident = 0;
  f >> pages >> resident;
  return resident * 4;
}

// The peak resident size of this program's memory (VmHWM; getrusage's figure would include
// the parent's at fork time, kept across exec).
long PeakKiB() {
  std::ifstream f("/proc/self/status");
  for (std::string line; std::getline(f, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

int Generate(int w, int h, const char* out) {
  std::vector<uint8_t> px(size_t(w) * h * 3);
  uint32_t seed = 12345;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      seed = seed * 1664525u + 1013904223u;
      int noise = int(seed >> 28) - 8;
      double fx = double(x) / w, fy = double(y) / h;
      int base = int(90 + 80 * fx + 50 * fy);
      int tex = int(25 * std::sin(x * 0.05 + std::sin(y * 0.013) * 4) * std::cos(y * 0.031));
      int fine = ((x / 2 + y / 2) & 1) ? 12 : -12;
      uint8_t* p = &px[(size_t(y) * w + x) * 3];
      p[0] = uint8_t(std::clamp(base + tex + noise + fine + 30, 0, 255));
      p[1] = uint8_t(std::clamp(base + tex / 2 + noise - fine, 0, 255));
      p[2] = uint8_t(std::clamp(base - tex + noise - 20, 0, 255));
    }
  }
  std::ofstream f(out, std::ios::binary);
  f.write(reinterpret_cast<const char*>(px.data()), std::streamsize(px.size()));
  return f ? 0 : 1;
}

int Run(const char* in, int w, int h, int w2, int h2, const char* filterName, int repeat) {
  TResampleFilter filter;
  if (!ResampleFilterFromName(filterName, filter)) return 2;
  // Row by row into the bitmap, so that the peak memory is the bitmaps' own.
  std::ifstream f(in, std::ios::binary);
  TLxBitmap source(w, h, lx24RGB);
  std::vector<uint8_t> row(size_t(w) * 3);
  for (int y = 0; y < h; ++y) {
    if (!f.read(reinterpret_cast<char*>(row.data()), std::streamsize(row.size()))) return 1;
    uint8_t* d = source.ScanLine(y);
    const uint8_t* s = row.data();
    for (int x = 0; x < w; ++x, d += 3, s += 3) d[0] = s[2], d[1] = s[1], d[2] = s[0];
  }
  long before = ResidentKiB();
  std::vector<double> times, cpus;
  for (int i = 0; i < repeat; ++i) {
    TLxBitmap target(w2, h2, lx24RGB);
    bool aborting = false;
    ProgressRecord progress;
    progress.AbortingPtr = &aborting;
    double t0 = Now(), c0 = Cpu();
    if (!ResampleBitmap(source, target, filter, progress)) return 1;
    times.push_back(Now() - t0);
    cpus.push_back(Cpu() - c0);
  }
  std::printf("%.6f %.6f %ld %ld %lld %lld\n", Median(times), Median(cpus), before, PeakKiB(),
              (long long)(int64_t(w2) * h2 * 3), (long long)(int64_t(w2) * h * 3));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "gen" && argc == 5) return Generate(std::atoi(argv[2]), std::atoi(argv[3]), argv[4]);
  if (mode == "run" && argc == 9)
    return Run(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]),
               std::atoi(argv[6]), argv[7], std::atoi(argv[8]));
  std::fprintf(stderr, "usage: resample_bench gen W H OUT.raw | run IN.raw W H W2 H2 FILTER N\n");
  return 2;
}
