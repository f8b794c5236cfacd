// libFuzzer target of the BMP reader. The reserved words of the file header, which the
// reader ignores, choose the options: bit 0 native pixel format, bit 1 ignore alpha, bit 2
// header-only read, bit 3 no file header (the stream then starts at the info header), bit 4
// RLE and bits 5-6 the header kind of the write-back, bit 7 write-back: small images that load
// are written back and read again, which runs the writer on odd bitmaps.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "bitmap/bitmap.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/bmp/bmp.h"
#include "io/params.h"

using namespace lumenax;

// Images beyond this are refused before allocation, so that inputs explore the parser rather
// than fill images near the readers' own size limits.
constexpr uint64_t kMaxPixels = uint64_t(1) << 20;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t flags = size >= 7 ? data[6] : 0;
  const bool native = flags & 1, ignoreAlpha = flags & 2, infoOnly = flags & 4;
  const bool writeBack = flags & 128;
  const bool noFileHeader = (flags & 8) && size >= 14;
  const uint8_t* start = noFileHeader ? data + 14 : data;
  const size_t length = noFileHeader ? size - 14 : size;

  TLxMemStream stream(start, int64_t(length));
  TLxBitmap bitmap;
  TIOParamsVals params;
  params.IsNativePixelFormat = native;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  progress.MaxPixels = kMaxPixels;
  TLxFailureReason reason;
  progress.ReasonPtr = &reason;
  std::unique_ptr<TLxMask> mask;
  ReadBMPStream(stream, bitmap, 0, ignoreAlpha, mask, noFileHeader, infoOnly, progress, params);
  // Every refusal says why.
  if (aborting != bool(reason)) __builtin_trap();
  if (mask) bitmap.AlphaChannel()->CopyFromMask(mask.get());

  // The write-back costs far more than the read (the quantizer's tables), so only inputs
  // that ask for it pay for it.
  if (writeBack && !aborting && !bitmap.IsEmpty() &&
      int64_t(bitmap.Width()) * bitmap.Height() <= 65536) {
    TMemoryStream out;
    bool failed = false;
    ProgressRecord wp;
    wp.AbortingPtr = &failed;
    params.BmpCompression = flags >> 4 & 1;
    params.BmpVersion = flags >> 5 & 3;
    WriteBMPStream(out, bitmap, params, !ignoreAlpha, wp);
    if (!failed) {
      out.Seek(0, soBeginning);
      TLxBitmap again;
      TIOParamsVals p2;
      std::unique_ptr<TLxMask> m2;
      ReadBMPStream(out, again, 0, false, m2, false, false, wp, p2);
      // What the writer produced must load again.
      if (failed) __builtin_trap();
    }
  }
  return 0;
}
