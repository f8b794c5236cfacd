// libFuzzer target of the JPEG reader. The input's last byte chooses the options (the reader
// ignores what follows the image): bit 0 native pixel layout, bit 1 header only, bit 2 an
// abbreviated stream (the input is split at its second start-of-image marker into a tables
// stream and an image stream), bits 3-4 the scale (1..4), bit 5 inverted CMYK, bit 6 raw
// YCbCr, bit 7 a row limit of 5. Small images that load are written back and read again.
#include <cstddef>
#include <cstdint>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/jpeg/jpeg.h"
#include "io/params.h"

using namespace lumenax;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t flags = size > 0 ? data[size - 1] : 0;
  size_t split = 0;
  if (flags & 4) {
    for (size_t i = 2; i + 1 < size; ++i) {
      if (data[i] == 0xFF && data[i + 1] == 0xD8) {
        split = i;
        break;
      }
    }
  }
  TLxMemStream tables(data, int64_t(split));
  TLxMemStream stream(data + split, int64_t(size - split));
  TLxBitmap bitmap;
  TIOParamsVals params;
  params.JpegScale = uint8_t(1 + (flags >> 3 & 3));
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  TLxJpegReadOptions options;
  options.TablesStream = split ? &tables : nullptr;
  options.NativeLayout = flags & 1;
  options.HeaderOnly = flags & 2;
  options.InvertCmyk = flags & 32;
  options.RawYCbCr = flags & 64;
  options.RowLimit = flags & 128 ? 5 : -1;
  ReadJpegStream(stream, bitmap, params, options, progress);

  if (!aborting && !bitmap.IsEmpty() && int64_t(bitmap.Width()) * bitmap.Height() <= 65536) {
    TMemoryStream out;
    bool failed = false;
    ProgressRecord wp;
    wp.AbortingPtr = &failed;
    params.JpegProgressive = flags & 8;
    try {
      WriteJpegStream(out, bitmap, params, wp);
    } catch (const ELxJpegException&) {
      __builtin_trap();  // the writer must take whatever the reader delivered
    }
    if (!failed) {
      out.Seek(0, soBeginning);
      TLxBitmap again;
      TIOParamsVals p2;
      ReadJpegStream(out, again, p2, TLxJpegReadOptions{}, wp);
      if (failed) __builtin_trap();
    }
  }
  return 0;
}
