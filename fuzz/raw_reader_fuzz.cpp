// libFuzzer target of the camera-RAW reader (LibRaw behind our data stream). The size's
// lowest bit chooses the native 16-bit layout, the next a header-only read; the content
// tests run first, as detection would.
#include <cstddef>
#include <cstdint>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/codec.h"
#include "codecs/raw/raw.h"
#include "io/params.h"

using namespace lumenax;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TLxMemStream stream(data, int64_t(size));
  IsCameraRaw(stream, 0, int64_t(size), true);
  stream.Seek(0, soBeginning);
  TLxBitmap bitmap;
  TIOParamsVals params;
  params.IsNativePixelFormat = size & 1;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  TLxReadArgs args{stream, bitmap, params, progress, (size & 2) != 0};
  ReadCameraRaw(args);
  // A decoded image is whole: every row is there.
  if (!aborting && !args.InfoOnly && (bitmap.IsEmpty() || bitmap.Width() != params.Width))
    __builtin_trap();
  return 0;
}
