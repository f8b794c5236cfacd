// The floor of bench/jpeg.sh: libjpeg-turbo called directly with the library's settings.
// Decoding writes blue-green-red rows into one whole-image block, encoding reads them from
// one; blocks are allocated as the library allocates bitmaps (2 MiB pages). Nothing of the
// library is linked.
//   jpeg_floor decode FILE DCT          DCT: islow, ifast or float
//   jpeg_floor encode IN.bgr W H QUALITY DCT OUT.jpg
// Prints the wall and processor seconds of the decode (file opened to last row) or of the
// encode (output opened to file closed).
#include <sys/mman.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include <jpeglib.h>

#include "floor_util.h"

using floor_util::Cpu;
using floor_util::Now;
using floor_util::PixelBlock;

namespace {

J_DCT_METHOD Dct(std::string_view name) {
  return name == "islow" ? JDCT_ISLOW : name == "float" ? JDCT_FLOAT : JDCT_IFAST;
}

bool Decode(const char* name, J_DCT_METHOD dct) {
  FILE* f = std::fopen(name, "rb");
  if (!f) return false;
  jpeg_decompress_struct d;
  jpeg_error_mgr err;
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_stdio_src(&d, f);
  jpeg_read_header(&d, TRUE);
  d.out_color_space = JCS_EXT_BGR;
  d.dct_method = dct;
  jpeg_start_decompress(&d);
  const size_t stride = (size_t(d.output_width) * 3 + 3) / 4 * 4;
  unsigned char* px = PixelBlock(stride * d.output_height);
  if (!px) return false;
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = px + stride * d.output_scanline;
    jpeg_read_scanlines(&d, &row, 1);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  std::fclose(f);
  std::free(px);
  return true;
}

bool Encode(const unsigned char* px, int w, int h, int quality, J_DCT_METHOD dct, const char* out) {
  FILE* f = std::fopen(out, "wb");
  if (!f) return false;
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  jpeg_stdio_dest(&c, f);
  c.image_width = JDIMENSION(w);
  c.image_height = JDIMENSION(h);
  c.input_components = 3;
  c.in_color_space = JCS_EXT_BGR;
  jpeg_set_defaults(&c);
  c.dct_method = dct;
  jpeg_set_quality(&c, quality, TRUE);
  jpeg_start_compress(&c, TRUE);
  const size_t stride = (size_t(w) * 3 + 3) / 4 * 4;
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<unsigned char*>(px) + stride * c.next_scanline;
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  double t0 = 0, c0 = 0;
  const std::string_view mode = argc > 1 ? argv[1] : "";
  if (mode == "decode" && argc == 4) {
    t0 = Now();
    c0 = Cpu();
    if (!Decode(argv[2], Dct(argv[3]))) return 1;
  } else if (mode == "encode" && argc == 8) {
    const int w = std::atoi(argv[3]), h = std::atoi(argv[4]);
    const size_t stride = (size_t(w) * 3 + 3) / 4 * 4;
    unsigned char* px = PixelBlock(stride * h);
    FILE* f = std::fopen(argv[2], "rb");
    if (!px || !f) return 1;
    for (int y = 0; y < h; ++y)
      if (std::fread(px + stride * y, 1, size_t(w) * 3, f) != size_t(w) * 3) return 1;
    std::fclose(f);
    t0 = Now();
    c0 = Cpu();
    if (!Encode(px, w, h, std::atoi(argv[5]), Dct(argv[6]), argv[7])) return 1;
    std::free(px);
  } else {
    std::fprintf(stderr, "usage: jpeg_floor decode FILE DCT | encode IN.bgr W H QUALITY DCT OUT\n");
    return 2;
  }
  std::printf("%.4f %.4f\n", Now() - t0, Cpu() - c0);
  return 0;
}
