// The floor of bench/png.sh: the least a program can do to encode or decode the same pixels
// with libpng and the same settings. Nothing of the library is linked.
//   png_floor encode IN.raw W H CHANNELS LEVEL FILTER OUT.png REPEAT
//   png_floor decode IN.png REPEAT
// FILTER as PngFilter: 0 none, 1 Sub, 2 Paeth, other values libpng's own choice. Prints the
// median of REPEAT runs in seconds. To be a strict floor it gets every advantage the library
// might have outside libpng: a large stdio buffer, and decoding into memory that is
// allocated and touched before the clock starts.
#include <png.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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
  if (filter == 0) png_set_filter(png, 0, PNG_FILTER_NONE);
  else if (filter == 1) png_set_filter(png, 0, PNG_FILTER_SUB);
  else if (filter == 2) png_set_filter(png, 0, PNG_FILTER_PAETH);
  png_set_compression_level(png, level);
  png_write_info(png, info);
  const size_t stride = size_t(w) * channels;
  for (int y = 0; y < h; ++y) png_write_row(png, px + stride * y);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return std::fclose(f) == 0;
}

// Decodes into pixels, which holds at least `capacity` bytes.
bool DecodeOnce(const char* in, unsigned char* pixels, size_t capacity) {
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
  if (stride * h > capacity) png_error(png, "image larger than the buffer");
  for (png_uint_32 y = 0; y < h; ++y) png_read_row(png, pixels + stride * y, nullptr);
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  return true;
}

// Bytes of the decoded image, from the header alone.
size_t DecodedSize(const char* in) {
  FILE* f = std::fopen(in, "rb");
  unsigned char h[24];
  size_t n = f ? std::fread(h, 1, sizeof h, f) : 0;
  if (f) std::fclose(f);
  if (n != sizeof h) return 0;
  auto be = [&](int at) { return size_t(h[at]) << 24 | size_t(h[at + 1]) << 16 | size_t(h[at + 2]) << 8 | h[at + 3]; };
  return be(16) * be(20) * 8;  // up to 8 bytes a pixel
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<double> times, cpus;
  if (argc == 10 && std::string_view(argv[1]) == "encode") {
    const int w = std::atoi(argv[3]), h = std::atoi(argv[4]), channels = std::atoi(argv[5]);
    const size_t size = size_t(w) * h * channels;
    std::unique_ptr<unsigned char[]> px(new unsigned char[size]);
    FILE* f = std::fopen(argv[2], "rb");
    if (!f || std::fread(px.get(), 1, size, f) != size) return 1;
    std::fclose(f);
    for (int i = 0; i < std::atoi(argv[9]); ++i) {
      double t0 = Now(), c0 = Cpu();
      if (!EncodeOnce(px.get(), w, h, channels, std::atoi(argv[6]), std::atoi(argv[7]), argv[8]))
        return 1;
      times.push_back(Now() - t0);
      cpus.push_back(Cpu() - c0);
    }
  } else if (argc == 4 && std::string_view(argv[1]) == "decode") {
    const size_t capacity = DecodedSize(argv[2]);
    std::unique_ptr<unsigned char[]> pixels(new unsigned char[capacity]);
    std::memset(pixels.get(), 0, capacity);
    for (int i = -1; i < std::atoi(argv[3]); ++i) {  // run -1 warms up, as in png_bench
      double t0 = Now(), c0 = Cpu();
      if (!DecodeOnce(argv[2], pixels.get(), capacity)) return 1;
      if (i < 0) continue;
      times.push_back(Now() - t0);
      cpus.push_back(Cpu() - c0);
    }
  } else {
    std::fprintf(stderr, "usage: png_floor encode|decode ...\n");
    return 2;
  }
  std::printf("%.6f %.6f\n", Median(times), Median(cpus));
  return 0;
}
