// libFuzzer target of the JPEG 2000 reader (JP2 files and code streams). The last byte chooses
// a header-only read (bit 0). Small images that load are written back as a code stream and must
// load again with the same size.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "bitmap/bitmap.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/jp2/jp2.h"
#include "io/params.h"

using namespace lumenax;

constexpr uint64_t kMaxPixels = uint64_t(1) << 20;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const bool headerOnly = size > 0 && (data[size - 1] & 1);
  TLxMemStream stream(data, int64_t(size));
  TLxBitmap bitmap;
  TIOParamsVals params;
  bool aborting = false;
  TLxFailureReason reason;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  progress.ReasonPtr = &reason;
  progress.MaxPixels = kMaxPixels;
  std::unique_ptr<TLxMask> mask;
  ReadJp2Stream(stream, bitmap, params, headerOnly, &mask, progress);
  if (aborting != bool(reason)) __builtin_trap();
  if (!aborting && !bitmap.IsEmpty() && int64_t(bitmap.Width()) * bitmap.Height() <= 4096) {
    TMemoryStream out;
    bool failed = false;
    ProgressRecord wp;
    wp.AbortingPtr = &failed;
    WriteJp2Stream(out, bitmap, params, kJp2FormatCodeStream, wp);
    if (failed) __builtin_trap();
    out.Seek(0, soBeginning);
    TLxBitmap again;
    TIOParamsVals p2;
    ReadJp2Stream(out, again, p2, false, nullptr, wp);
    if (failed || again.Width() != bitmap.Width() || again.Height() != bitmap.Height())
      __builtin_trap();
  }
  return 0;
}
