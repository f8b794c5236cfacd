// The floor of bench/png.sh: the least a program can do to encode or decode the same pixels
// with libpng and the same settings. Nothing of the library is linked.
//   png_floor encode IN.raw W H CHANNELS LEVEL FILTER OUT.png REPEAT
//   png_floor decode IN.png REPEAT
// FILTER as PngFilter: 0 none, 1 Sub, 2 Paeth, other values libpng's own choice. Prints the
// median of REPEAT runs in seconds (wall and processor time) and the peak resident memory in
// KiB. Memory is treated as the library treats its bitmaps:
// pixels live in 2 MiB pages, and every decode writes into a block allocated for it (as a
// load into a new bitmap does); the stdio buffer is large.
#include <png.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Processor time of this process (user and system), which other programs running on the
// machine disturb far less than the wall clock.
double Cpu() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + t.tv_nsec * 1e-9;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

constexpr size_t kStdioBuffer = 1 << 20;

// A block of pixel memory in 2 MiB pages where the system offers them (free with free()).
unsigned char* PixelBlock(size_t n) {
  constexpr size_t kPage = 2 << 20;
  n = (n + kPage - 1) / kPage * kPage;
  void* p = nullptr;
  if (posix_memalign(&p, kPage, n) != 0) return nullptr;
  madvise(p, n, MADV_HUGEPAGE);
  return static_cast<unsigned char*>(p);
}

bool EncodeOnce(const unsigned char* px, int w, int h, int channels, int level, int filter,
                const char* out) {
  FILE* f = std::fopen(out, "wb");
  if (!f) return false;
  std::setvbuf(f, nullptr, _IOFBF, kStdioBuffer);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return false;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, png_uint_32(w), png_uint_32(h), 8,
               channels == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (filter == 0)
    png_set_filter(png, 0, PNG_FILTER_NONE);
  else if (filter == 1)
    png_set_filter(png, 0, PNG_FILTER_SUB);
  else if (filter == 2)
    png_set_filter(png, 0, PNG_FILTER_PAETH);
  png_set_compression_level(png, level);
  png_write_info(png, info);
  const size_t stride = size_t(w) * channels;
  for (int y = 0; y < h; ++y) png_write_row(png, px + stride * y);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return std::fclose(f) == 0;
}

// Decodes into a new block of pixel memory.
bool DecodeOnce(const char* in) {
  FILE* f = std::fopen(in, "rb");
  if (!f) return false;
  std::setvbuf(f, nullptr, _IOFBF, kStdioBuffer);
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return false;
  }
  png_init_io(png, f);
  png_read_info(png, info);
  png_read_update_info(png, info);
  const size_t stride = png_get_rowbytes(png, info);
  const png_uint_32 h = png_get_image_height(png, info);
  unsigned char* pixels = PixelBlock(stride * h);
  if (!pixels) png_error(png, "out of memory");
  for (png_uint_32 y = 0; y < h; ++y) png_read_row(png, pixels + stride * y, nullptr);
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  std::free(pixels);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<double> times, cpus;
  if (argc == 10 && std::string_view(argv[1]) == "encode") {
    const int w = std::atoi(argv[3]), h = std::atoi(argv[4]), channels = std::atoi(argv[5]);
    const size_t size = size_t(w) * h * channels;
    unsigned char* px = PixelBlock(size);
    FILE* f = std::fopen(argv[2], "rb");
    if (!px || !f || std::fread(px, 1, size, f) != size) return 1;
    std::fclose(f);
    for (int i = 0; i < std::atoi(argv[9]); ++i) {
      double t0 = Now(), c0 = Cpu();
      if (!EncodeOnce(px, w, h, channels, std::atoi(argv[6]), std::atoi(argv[7]), argv[8]))
        return 1;
      times.push_back(Now() - t0);
      cpus.push_back(Cpu() - c0);
    }
  } else if (argc == 4 && std::string_view(argv[1]) == "decode") {
    for (int i = -1; i < std::atoi(argv[3]); ++i) {  // run -1 warms up, as in png_bench
      double t0 = Now(), c0 = Cpu();
      if (!DecodeOnce(argv[2])) return 1;
      if (i < 0) continue;
      times.push_back(Now() - t0);
      cpus.push_back(Cpu() - c0);
    }
  } else {
    std::fprintf(stderr, "usage: png_floor encode|decode ...\n");
    return 2;
  }
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  std::printf("%.6f %.6f %ld\n", Median(times), Median(cpus), u.ru_maxrss);
  return 0;
}
