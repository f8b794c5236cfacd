// The floor of bench/tiff.sh: the least a program can do to decode a stripped TIFF with
// libtiff: every strip read with TIFFReadEncodedStrip into one whole-image block, allocated
// as the library allocates bitmaps (2 MiB pages). Nothing of the library is linked.
//   tiff_floor FILE       prints wall and processor seconds of the decode
#include <sys/mman.h>
#include <tiffio.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "floor_util.h"

using floor_util::Cpu;
using floor_util::Now;
using floor_util::PixelBlock;

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const double t0 = Now(), c0 = Cpu();
  TIFF* tif = TIFFOpen(argv[1], "r");
  if (!tif) return 1;
  const tmsize_t stripSize = TIFFStripSize(tif);
  const uint32_t strips = TIFFNumberOfStrips(tif);
  unsigned char* px = PixelBlock(size_t(stripSize) * strips);
  if (!px) return 1;
  for (uint32_t s = 0; s < strips; ++s) {
    if (TIFFReadEncodedStrip(tif, s, px + size_t(stripSize) * s, stripSize) < 0) return 1;
  }
  TIFFClose(tif);
  std::printf("%.4f %.4f\n", Now() - t0, Cpu() - c0);
  std::free(px);
  return 0;
}
