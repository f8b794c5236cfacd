// libFuzzer target of the TIFF reader: the directory chain, tag access, every compression and
// layout. The last byte of the input chooses the directory (bits 0-1), the SubIFD entry (bit
// 2), the native pixel format (bit 3), no alpha (bit 4) and turning upright (bit 5); a
// header-only read runs first and must leave the bitmap alone.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "bitmap/bitmap.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/tiff/tiff.h"
#include "io/params.h"

using namespace lumenax;

// Images beyond this are refused before allocation, so that inputs explore the decoders
// rather than fill huge images.
constexpr uint64_t kMaxPixels = uint64_t(1) << 20;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t options = size > 0 ? data[size - 1] : 0;
  {
    TLxMemStream stream(data, int64_t(size));
    TLxBitmap bitmap;
    TIOParamsVals params;
    bool aborting = false;
    TLxFailureReason reason;
    ProgressRecord progress;
    progress.AbortingPtr = &aborting;
    progress.ReasonPtr = &reason;
    int32_t count = 0;
    std::unique_ptr<TLxMask> mask;
    ReadTiffStream(bitmap, stream, count, false, false, false, mask, true, progress, params);
    if (!bitmap.IsEmpty() || mask) __builtin_trap();
    if (aborting != bool(reason)) __builtin_trap();
  }
  TLxMemStream stream(data, int64_t(size));
  TLxBitmap bitmap;
  TIOParamsVals params;
  params.TiffImageIndex = options & 3;
  params.TiffSubIndex = (options & 4) ? 0 : -1;
  params.IsNativePixelFormat = options & 8;
  params.TiffAutoOrient = options & 32;
  bool aborting = false;
  TLxFailureReason reason;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  progress.ReasonPtr = &reason;
  progress.MaxPixels = kMaxPixels;
  int32_t count = 0;
  std::unique_ptr<TLxMask> mask;
  ReadTiffStream(bitmap, stream, count, false, options & 16, false, mask, false, progress, params);
  // Every refusal says why.
  if (aborting != bool(reason)) __builtin_trap();
  if (mask) {
    if (mask->Width != bitmap.Width() || mask->Height != bitmap.Height()) __builtin_trap();
    bitmap.AlphaChannel()->CopyFromMask(mask.get());
  }
  return 0;
}
