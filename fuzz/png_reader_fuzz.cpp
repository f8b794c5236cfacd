// libFuzzer target of the PNG reader. Each input is read as it is and, when it is a chunk
// sequence whose CRCs do not all match, once more with the CRCs corrected, so that mutations
// reach past the CRC checks into libpng's and our handling of the chunks. Inputs are read in
// the converting layout or, by the size's parity, in the native one; a small image that loads
// is written back, which exercises the writer on every layout and alpha the reader produces.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/errors.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/png/png.h"
#include "io/params.h"

using namespace lumenax;

// Images beyond this are refused before allocation, so that inputs explore the parser rather
// than fill images near the readers' own size limits.
constexpr uint64_t kMaxPixels = uint64_t(1) << 20;

namespace {

void ReadAndWriteBack(const uint8_t* data, size_t size) {
  TLxMemStream stream(data, int64_t(size));
  TLxBitmap bitmap;
  TIOParamsVals params;
  params.IsNativePixelFormat = size & 1;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  progress.MaxPixels = kMaxPixels;
  TLxFailureReason reason;
  progress.ReasonPtr = &reason;
  ReadPNGStream(stream, bitmap, params, false, progress);
  // Every refusal says why.
  if (aborting != bool(reason)) __builtin_trap();
  if (aborting || bitmap.IsEmpty() || int64_t(bitmap.Width()) * bitmap.Height() > 65536) return;

  TLxMask mask;
  if (bitmap.HasAlphaChannel()) bitmap.AlphaChannel()->CopyToMask(mask);
  TNulStream out;
  try {
    WritePNGStream(out, bitmap, params, bitmap.HasAlphaChannel() ? &mask : nullptr, progress);
  } catch (const EInvalidGraphic&) {
    // 16-bit palette output is refused by libpng; nothing else may throw.
    if (!(params.SamplesPerPixel == 1 && params.BitsPerSample == 16)) __builtin_trap();
  }
}

// A copy with every chunk's CRC recomputed; empty when nothing would change.
std::vector<uint8_t> WithCorrectCrcs(const uint8_t* data, size_t size) {
  std::vector<uint8_t> b(data, data + size);
  bool changed = false;
  size_t p = 8;
  while (p + 12 <= b.size()) {
    uint32_t n = uint32_t(b[p]) << 24 | b[p + 1] << 16 | b[p + 2] << 8 | b[p + 3];
    if (n > b.size() - p - 12) break;
    uint32_t crc = uint32_t(crc32(0, &b[p + 4], uInt(n + 4)));
    uint8_t* c = &b[p + 8 + n];
    uint8_t want[4] = {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)};
    for (int i = 0; i < 4; ++i) {
      changed |= c[i] != want[i];
      c[i] = want[i];
    }
    p += 12 + n;
  }
  if (!changed) b.clear();
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ReadAndWriteBack(data, size);
  std::vector<uint8_t> fixed = WithCorrectCrcs(data, size);
  if (!fixed.empty()) ReadAndWriteBack(fixed.data(), fixed.size());
  return 0;
}
