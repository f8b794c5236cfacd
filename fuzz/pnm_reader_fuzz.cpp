// libFuzzer target of the portable anymap reader. The parity of the input's length chooses
// the native pixel format (16-bit pixmaps as lxRGB48). Small images that load are written
// back and must load again.
#include <cstddef>
#include <cstdint>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/pnm/pnm.h"
#include "io/params.h"

using namespace lumenax;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TLxMemStream stream(data, int64_t(size));
  TLxBitmap bitmap;
  TIOParamsVals params;
  params.IsNativePixelFormat = size & 1;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  ReadPxmStream(stream, bitmap, params, false, progress);
  if (!aborting && !bitmap.IsEmpty() && int64_t(bitmap.Width()) * bitmap.Height() <= 65536) {
    TMemoryStream out;
    bool failed = false;
    ProgressRecord wp;
    wp.AbortingPtr = &failed;
    WritePxmStream(out, bitmap, params, wp);
    if (failed) __builtin_trap();
    out.Seek(0, soBeginning);
    TLxBitmap again;
    TIOParamsVals p2;
    ReadPxmStream(out, again, p2, false, wp);
    if (failed || again.Width() != bitmap.Width() || again.Height() != bitmap.Height())
      __builtin_trap();
  }
  return 0;
}
