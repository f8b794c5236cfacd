// libFuzzer target of the DICOM reader (element walk, native, RLE, JPEG, lossless JPEG and
// JPEG 2000 pixel data). The last byte chooses a header-only read (bit 0) and the frame asked
// for (bits 1-2).
#include <cstddef>
#include <cstdint>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/dicom/dicom.h"
#include "io/params.h"

using namespace lumenax;

constexpr uint64_t kMaxPixels = uint64_t(1) << 20;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t flags = size > 0 ? data[size - 1] : 0;
  TLxMemStream stream(data, int64_t(size));
  TLxBitmap bitmap;
  TIOParamsVals params;
  params.ImageIndex = flags >> 1 & 3;
  bool aborting = false;
  TLxFailureReason reason;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  progress.ReasonPtr = &reason;
  progress.MaxPixels = kMaxPixels;
  ReadDicomStream(stream, params, bitmap, flags & 1, progress);
  if (aborting != bool(reason)) __builtin_trap();
  return 0;
}
