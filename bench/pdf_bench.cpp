// PDF and PostScript write timings for bench/pdf.sh, which sets them against ImageMagick doing
// the same work.
//   pdf_bench generate DIR   writes DIR/photo.ppm (6000 x 4000 RGB) and DIR/page.pbm (6000 x
//                            4000 one bit, text-like runs)
//   pdf_bench time DIR [N [JOB]]  prints "name milliseconds" lines, each the best of N runs: a
//                            plain write() of the RGB pixel bytes, and our writers into DIR
//                            (PDF none, LZW, JPEG, Group 4; PostScript RunLength), then
//                            "size_<name> bytes" lines, "cpu_<name> milliseconds" (processor
//                            time of the best run, all threads) and "mem_<name> MB" (the
//                            most resident memory a run added to what the images already hold)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/postscript/postscript.h"
#include "io/params.h"

using namespace lumenax;

namespace {

constexpr int kW = 6000, kH = 4000;  // 24 megapixels

uint32_t Next(uint32_t& s) {
  s = s * 1664525u + 1013904223u;
  return s >> 8;
}

// Photo-like: gradients with noise.
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

// A scanned text page: lines of black strokes of 2 to 40 pixels on white.
void MakePage(TLxBitmap& b) {
  b.Allocate(kW, kH, lx1g);
  uint32_t s = 3;
  for (int y = 0; y < kH; ++y) {
    uint8_t* r = b.ScanLine(y);
    std::fill_n(r, (kW + 7) / 8, 0xFF);
    if ((y / 40) % 2 == 0) continue;  // blank line space
    for (int x = 0; x < kW;) {
      x += 5 + int(Next(s) % 60);
      const int len = 2 + int(Next(s) % 39);
      for (int i = 0; i < len && x < kW; ++i, ++x) r[x >> 3] &= uint8_t(~(0x80 >> (x & 7)));
    }
  }
}

void SavePnm(TLxBitmap& b, const std::filesystem::path& file) {
  FILE* f = std::fopen(file.c_str(), "wb");
  if (!f) std::exit(1);
  const bool bilevel = b.PixelFormat() == lx1g;
  std::fprintf(f, "%s\n%d %d\n%s", bilevel ? "P4" : "P6", b.Width(), b.Height(),
               bilevel ? "" : "255\n");
  std::vector<uint8_t> row(size_t(b.Width()) * 3);
  for (int y = 0; y < b.Height(); ++y) {
    const uint8_t* r = b.ScanLine(y);
    if (bilevel) {
      // PBM: 1 is black.
      for (int i = 0; i < (b.Width() + 7) / 8; ++i) row[size_t(i)] = uint8_t(~r[i]);
      std::fwrite(row.data(), 1, size_t(b.Width() + 7) / 8, f);
    } else {
      for (int x = 0; x < b.Width(); ++x) {
        row[3 * size_t(x)] = r[3 * x + 2];
        row[3 * size_t(x) + 1] = r[3 * x + 1];
        row[3 * size_t(x) + 2] = r[3 * x];
      }
      std::fwrite(row.data(), 1, row.size(), f);
    }
  }
  std::fclose(f);
}

double CpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// A "Vm...:" figure of /proc/self/status in kB.
long StatusKb(const char* key) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return 0;
  char line[256];
  long kb = 0;
  const size_t n = std::strlen(key);
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, key, n) == 0) kb = std::atol(line + n);
  std::fclose(f);
  return kb;
}

// Starts the peak resident figure again from the present one.
void ResetPeak() {
  if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
}

struct Timing {
  double wall = 1e300, cpu = 0;
  double peakMb = 0;
};

Timing Best(int runs, const std::function<bool()>& f) {
  Timing best;
  for (int i = 0; i < runs; ++i) {
    ResetPeak();
    const long before = StatusKb("VmRSS:");
    const double c0 = CpuMs();
    auto t0 = std::chrono::steady_clock::now();
    if (!f()) {
      std::fprintf(stderr, "pdf_bench: a run failed\n");
      std::exit(1);
    }
    const double wall =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = CpuMs() - c0;
    best.peakMb = std::max(best.peakMb, double(StatusKb("VmHWM:") - before) / 1024.0);
    if (wall < best.wall) best.wall = wall, best.cpu = cpu;
  }
  return best;
}

bool PlainWrite(const std::vector<uint8_t>& bytes, const std::filesystem::path& file) {
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += size_t(n);
  }
  ::close(fd);
  return done == bytes.size();
}

bool Write(TLxBitmap& b, const std::filesystem::path& file, bool pdf, int compression) {
  TIOParamsVals p;
  p.PdfCompression = p.PsCompression = uint8_t(compression);
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  TLxWideFileStream out(file, fmCreate);
  if (pdf)
    WritePDFStream(out, b, p, progress);
  else
    WritePSStream(out, b, p, progress);
  return !aborting;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: pdf_bench generate|time DIR [runs]\n");
    return 2;
  }
  const std::string mode = argv[1];
  const std::filesystem::path dir = argv[2];
  TLxBitmap photo, page;
  MakePhoto(photo);
  MakePage(page);
  if (mode == "generate") {
    SavePnm(photo, dir / "photo.ppm");
    SavePnm(page, dir / "page.pbm");
    return 0;
  }
  const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
  std::vector<uint8_t> pixels;
  pixels.reserve(size_t(kW) * kH * 3);
  for (int y = 0; y < kH; ++y)
    pixels.insert(pixels.end(), photo.ScanLine(y), photo.ScanLine(y) + 3 * kW);
  struct Job {
    const char* name;
    bool pdf;
    bool bilevel;
    int compression;
    const char* file;
  };
  const Job jobs[] = {{"pdf_none", true, false, 0, "none.pdf"},
                      {"pdf_lzw", true, false, 5, "lzw.pdf"},
                      {"pdf_jpeg", true, false, 4, "jpeg.pdf"},
                      {"pdf_g4", true, true, 2, "g4.pdf"},
                      {"ps_rle", false, false, 0, "rle.ps"}};
  const Timing plain = Best(runs, [&] { return PlainWrite(pixels, dir / "raw.bin"); });
  std::printf("plain_write %.2f\ncpu_plain_write %.2f\nmem_plain_write %.1f\n", plain.wall,
              plain.cpu, plain.peakMb);
  // A fifth argument names the one job to run (for profiling).
  const std::string only = argc > 4 ? argv[4] : "";
  for (const Job& j : jobs) {
    if (!only.empty() && only != j.name) continue;
    const Timing t = Best(
        runs, [&] { return Write(j.bilevel ? page : photo, dir / j.file, j.pdf, j.compression); });
    std::printf("%s %.2f\ncpu_%s %.2f\nmem_%s %.1f\n", j.name, t.wall, j.name, t.cpu, j.name,
                t.peakMb);
  }
  std::printf("size_plain_write %lld\n",
              static_cast<long long>(std::filesystem::file_size(dir / "raw.bin")));
  for (const Job& j : jobs)
    if (only.empty() || only == j.name)
      std::printf("size_%s %lld\n", j.name,
                  static_cast<long long>(std::filesystem::file_size(dir / j.file)));
  return 0;
}
