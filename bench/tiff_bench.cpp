// The TIFF reader timed on a file, for bench/tiff.sh.
//   tiff_bench FILE       prints wall and processor seconds of one load
// The load runs as the I/O component's does: the file through the 8192-byte read buffer into
// a fresh bitmap.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>

#include "bitmap/bitmap.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/tiff/tiff.h"
#include "io/params.h"

using namespace lumenax;

namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double Cpu() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + t.tv_nsec * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const double t0 = Now(), c0 = Cpu();
  TLxWideFileStream file(argv[1], fmOpenRead | fmShareDenyWrite);
  TLxBufferedReadStream stream(file, true, 8192);
  TLxBitmap bitmap;
  TIOParamsVals params;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  std::unique_ptr<TLxMask> mask;
  int32_t count = 0;
  ReadTiffStream(bitmap, stream, count, false, false, false, mask, false, progress, params);
  if (aborting) return 1;
  std::printf("%.4f %.4f\n", Now() - t0, Cpu() - c0);
  return 0;
}
