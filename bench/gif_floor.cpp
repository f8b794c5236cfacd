// The floor of bench/gif.sh: giflib called directly. Nothing of the library is linked; pixel
// blocks are allocated as the library allocates bitmaps (2 MiB pages).
//   gif_floor decode FILE                     DGifSlurp, then the first image's indexes
//                                             looked up in its palette into blue-green-red rows
//   gif_floor encode IN.idx IN.pal W H OUT    W*H 8-bit indexes and a 768-byte palette written
//                                             with EGifPutLine, one row at a time
// Prints the wall and processor seconds of the decode or the encode.
#include <sys/mman.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>
#include <vector>

#include <gif_lib.h>

#include "floor_util.h"

using floor_util::Cpu;
using floor_util::Now;
using floor_util::PixelBlock;

namespace {

bool Decode(const char* name) {
  int error = 0;
  GifFileType* gif = DGifOpenFileName(name, &error);
  if (!gif) return false;
  if (DGifSlurp(gif) != GIF_OK || gif->ImageCount < 1) return false;
  const SavedImage& image = gif->SavedImages[0];
  const ColorMapObject* map = image.ImageDesc.ColorMap ? image.ImageDesc.ColorMap : gif->SColorMap;
  if (!map) return false;
  unsigned char lut[256][3] = {};
  for (int i = 0; i < map->ColorCount && i < 256; ++i) {
    lut[i][0] = map->Colors[i].Blue;
    lut[i][1] = map->Colors[i].Green;
    lut[i][2] = map->Colors[i].Red;
  }
  const int w = image.ImageDesc.Width, h = image.ImageDesc.Height;
  const size_t stride = (size_t(w) * 3 + 3) / 4 * 4;
  unsigned char* px = PixelBlock(stride * h);
  if (!px) return false;
  const GifByteType* in = image.RasterBits;
  for (int y = 0; y < h; ++y) {
    unsigned char* row = px + stride * y;
    for (int x = 0; x < w; ++x, ++in) {
      row[3 * x] = lut[*in][0];
      row[3 * x + 1] = lut[*in][1];
      row[3 * x + 2] = lut[*in][2];
    }
  }
  DGifCloseFile(gif, &error);
  std::free(px);
  return true;
}

bool Encode(const unsigned char* idx, const unsigned char* pal, int w, int h, const char* out) {
  int error = 0;
  GifFileType* gif = EGifOpenFileName(out, false, &error);
  if (!gif) return false;
  GifColorType colours[256];
  for (int i = 0; i < 256; ++i) colours[i] = {pal[3 * i], pal[3 * i + 1], pal[3 * i + 2]};
  ColorMapObject* map = GifMakeMapObject(256, colours);
  bool ok = map && EGifPutScreenDesc(gif, w, h, 8, 0, map) == GIF_OK &&
            EGifPutImageDesc(gif, 0, 0, w, h, false, nullptr) == GIF_OK;
  for (int y = 0; ok && y < h; ++y)
    ok = EGifPutLine(gif, const_cast<GifPixelType*>(idx + size_t(w) * y), w) == GIF_OK;
  GifFreeMapObject(map);
  return EGifCloseFile(gif, &error) == GIF_OK && ok;
}

std::vector<unsigned char> ReadAll(const char* name) {
  std::vector<unsigned char> bytes;
  if (FILE* f = std::fopen(name, "rb")) {
    unsigned char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
      bytes.insert(bytes.end(), buffer, buffer + n);
    std::fclose(f);
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  double t0 = 0, c0 = 0;
  const std::string_view mode = argc > 1 ? argv[1] : "";
  if (mode == "decode" && argc == 3) {
    t0 = Now();
    c0 = Cpu();
    if (!Decode(argv[2])) return 1;
  } else if (mode == "encode" && argc == 7) {
    const int w = std::atoi(argv[4]), h = std::atoi(argv[5]);
    const std::vector<unsigned char> idx = ReadAll(argv[2]), pal = ReadAll(argv[3]);
    if (idx.size() != size_t(w) * h || pal.size() < 768) return 1;
    unsigned char* px = PixelBlock(idx.size());
    if (!px) return 1;
    std::copy(idx.begin(), idx.end(), px);
    t0 = Now();
    c0 = Cpu();
    if (!Encode(px, pal.data(), w, h, argv[6])) return 1;
    std::free(px);
  } else {
    std::fprintf(stderr, "usage: gif_floor decode FILE | encode IN.idx IN.pal W H OUT\n");
    return 2;
  }
  std::printf("%.4f %.4f\n", Now() - t0, Cpu() - c0);
  return 0;
}
