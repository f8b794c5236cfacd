// libFuzzer target of the wireless bitmap reader. Images that load are written back (reduced
// to 255 x 255 at most) and must load again.
#include <cstddef>
#include <cstdint>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/wbmp/wbmp.h"
#include "io/params.h"

using namespace lumenax;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TLxMemStream stream(data, int64_t(size));
  TLxBitmap bitmap;
  TIOParamsVals params;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  ReadWbmpStream(stream, bitmap, params, false, progress);
  if (!aborting && !bitmap.IsEmpty() && int64_t(bitmap.Width()) * bitmap.Height() <= (1 << 20)) {
    TMemoryStream out;
    bool failed = false;
    ProgressRecord wp;
    wp.AbortingPtr = &failed;
    WriteWbmpStream(out, bitmap, wp);
    if (failed) __builtin_trap();
    out.Seek(0, soBeginning);
    TLxBitmap again;
    TIOParamsVals p2;
    ReadWbmpStream(out, again, p2, false, wp);
    if (failed || again.Width() > 255 || again.Height() > 255) __builtin_trap();
  }
  return 0;
}
