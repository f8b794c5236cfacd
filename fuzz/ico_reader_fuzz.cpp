// libFuzzer target of the icon and cursor readers. The second byte of the header (half of
// the reserved word, which the readers ignore) chooses the options: bit 0 cursor, bit 1 ignore
// alpha, bit 2 header-only read, bits 3-5 the image index, bit 6 native pixel format, bit 7
// write-back: small images that load are written as an icon of two sizes (the depth from the
// first directory entry's reserved byte) and must load again.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "bitmap/bitmap.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/ico/ico.h"
#include "io/params.h"

using namespace lumenax;

// Images beyond this are refused before allocation, so that inputs explore the parser rather
// than fill images near the readers' own size limits.
constexpr uint64_t kMaxPixels = uint64_t(1) << 20;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t flags = size >= 2 ? data[1] : 0;
  const bool cursor = flags & 1, ignoreAlpha = flags & 2, infoOnly = flags & 4;
  const bool writeBack = flags & 128;
  TLxMemStream stream(data, int64_t(size));
  TLxBitmap bitmap;
  TIOParamsVals params;
  params.IsNativePixelFormat = flags & 64;
  params.SetImageIndex(flags >> 3 & 7);
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  progress.MaxPixels = kMaxPixels;
  TLxFailureReason reason;
  progress.ReasonPtr = &reason;
  std::unique_ptr<TLxMask> mask;
  if (cursor)
    ReadCurStream(stream, bitmap, params, ignoreAlpha, mask, progress, infoOnly);
  else
    ReadIcoStream(stream, bitmap, params, ignoreAlpha, mask, progress, infoOnly);
  // Every refusal says why.
  if (aborting != bool(reason)) __builtin_trap();
  if (mask) bitmap.AlphaChannel()->CopyFromMask(mask.get());

  if (writeBack && !aborting && !bitmap.IsEmpty() &&
      int64_t(bitmap.Width()) * bitmap.Height() <= 16384) {
    static constexpr int32_t kDepths[8] = {0, 1, 4, 8, 24, 32, 0, 8};
    const int32_t depth = kDepths[size > 9 ? data[9] & 7 : 0];
    if (bitmap.PixelFormat() != lx24RGB && bitmap.PixelFormat() != lx1g)
      bitmap.SetPixelFormat(lx24RGB);
    const std::array<int32_t, 2> counts{depth, depth};
    const std::array<TIcoSize, 2> sizes{TIcoSize{bitmap.Width() % 256 + 1, 16},
                                        TIcoSize{3, bitmap.Height() % 256 + 1}};
    TMemoryStream out;
    bool failed = false;
    TLxFailureReason why;
    ProgressRecord wp;
    wp.AbortingPtr = &failed;
    wp.ReasonPtr = &why;
    WriteIcoStream(out, bitmap, params, counts, sizes, wp);
    if (failed) __builtin_trap();
    for (int32_t index = 0; index < 2; ++index) {
      out.Seek(0, soBeginning);
      TLxBitmap again;
      TIOParamsVals p2;
      p2.SetImageIndex(index);
      std::unique_ptr<TLxMask> m2;
      ReadIcoStream(out, again, p2, false, m2, wp, false);
      // What the writer produced must load again at the size asked for.
      if (failed || again.Width() != sizes[size_t(index)].Width ||
          again.Height() != sizes[size_t(index)].Height)
        __builtin_trap();
    }
  }
  return 0;
}
