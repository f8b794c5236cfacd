// libFuzzer target of the PNG reader. Each input is read in the converting layout or, by
// the size's parity, in the native one; a small image that loads is written back, which
// exercises the writer on every layout and alpha the reader produces.
#include <cstddef>
#include <cstdint>

#include "bitmap/bitmap.h"
#include "bitmap/errors.h"
#include "bitmap/mask.h"
#include "bitmap/stream.h"
#include "codecs/png/png.h"
#include "io/params.h"
#include "io/progress.h"

using namespace lumenax;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TLxMemStream stream(data, int64_t(size));
  TLxBitmap bitmap;
  TIOParamsVals params;
  params.IsNativePixelFormat = size & 1;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  ReadPNGStream(stream, bitmap, params, false, progress);
  if (aborting || bitmap.IsEmpty() || int64_t(bitmap.Width()) * bitmap.Height() > 65536) return 0;

  TLxMask mask;
  if (bitmap.HasAlphaChannel()) bitmap.AlphaChannel()->CopyToMask(mask);
  TNulStream out;
  try {
    WritePNGStream(out, bitmap, params, bitmap.HasAlphaChannel() ? &mask : nullptr, progress);
  } catch (const EInvalidGraphic&) {
    // 16-bit palette output is refused by libpng; nothing else may throw.
    if (!(params.SamplesPerPixel == 1 && params.BitsPerSample == 16)) __builtin_trap();
  }
  return 0;
}
