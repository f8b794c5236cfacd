// libFuzzer target of the GIF load: the block parser and the animation composition, as the
// component's load entry points run them. The last byte of the input chooses the frame (0..7)
// and, in bit 3, the native pixel format; a header-only read runs first. Images that load are
// written back and read again, which runs the writer on odd bitmaps.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "bitmap/bitmap.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/gif/gif.h"
#include "io/params.h"

using namespace lumenax;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Valid screens and frames can be large; keep the fuzzer's canvases small.
  GifPixelLimit = 1u << 20;
  const uint8_t options = size > 0 ? data[size - 1] : 0;
  {
    TLxMemStream stream(data, int64_t(size));
    TLxBitmap bitmap;
    TIOParamsVals params;
    bool aborting = false;
    ProgressRecord progress;
    progress.AbortingPtr = &aborting;
    int32_t count = 0;
    std::unique_ptr<TLxMask> none;
    ReadGifStream(stream, bitmap, count, true, none, true, progress, params);
    if (!bitmap.IsEmpty()) __builtin_trap();  // a header-only read leaves the pixels alone
  }
  TLxMemStream stream(data, int64_t(size));
  TLxBitmap bitmap;
  TIOParamsVals params;
  params.SetImageIndex(options & 7);
  params.IsNativePixelFormat = options & 8;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  LoadGifComposed(stream, bitmap, progress, params);

  if (!bitmap.IsEmpty() && int64_t(bitmap.Width()) * bitmap.Height() <= 65536) {
    TMemoryStream out;
    bool failed = false;
    ProgressRecord wp;
    wp.AbortingPtr = &failed;
    params.GifInterlaced = options & 16;
    WriteGifStream(out, bitmap, params, wp);
    if (failed) __builtin_trap();
    out.Seek(0, soBeginning);
    TLxBitmap again;
    TIOParamsVals p2;
    LoadGifComposed(out, again, wp, p2);
    // What the writer produced must load again, at the same size.
    if (failed || again.Width() != bitmap.Width() || again.Height() != bitmap.Height())
      __builtin_trap();
  }
  return 0;
}
