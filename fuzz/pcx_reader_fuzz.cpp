// libFuzzer target of the PCX reader and the DCX container. Inputs that start with the DCX
// magic are read as containers (the reserved header byte 64 of PCX input otherwise chooses a
// header-only read, or with 2 the comparison below). Small images that load are written back
// as PCX and must load again.
//
// Comparison: the data after the header are repeated to more than a megabyte, which large
// run-length images read in pieces on the worker pool, and the result must be the same
// bitmap and outcome as on one lane.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "bitmap/worker_pool.h"
#include "codecs/pcx/pcx.h"
#include "io/params.h"

using namespace lumenax;

namespace {

struct Decoded {
  TLxBitmap bitmap;
  std::unique_ptr<TLxMask> mask;
  bool aborting = false;
};

void Decode(const std::vector<uint8_t>& file, int lanes, Decoded& d) {
  TLxLaneLimit limit(lanes);
  TLxMemStream stream(file.data(), int64_t(file.size()));
  TIOParamsVals params;
  ProgressRecord progress;
  progress.AbortingPtr = &d.aborting;
  ReadPcxStream(stream, d.bitmap, params, false, progress, int64_t(file.size()), d.mask);
}

void ComparePieces(const uint8_t* data, size_t size) {
  constexpr size_t kHeader = 128, kStretched = (1 << 20) + 4096;
  if (size <= kHeader + 1) return;
  // Small images only: the stretched data could describe a large one.
  const size_t w = size_t(data[8] | data[9] << 8) + 1, h = size_t(data[10] | data[11] << 8) + 1;
  if (data[2] != 1 || w * h > (1 << 20)) return;
  std::vector<uint8_t> file(data, data + size);
  while (file.size() < kStretched) file.insert(file.end(), data + kHeader, data + size);
  Decoded one, many;
  Decode(file, 1, one);
  Decode(file, 0, many);
  if (one.aborting != many.aborting || one.bitmap.Width() != many.bitmap.Width() ||
      one.bitmap.Height() != many.bitmap.Height() ||
      one.bitmap.PixelFormat() != many.bitmap.PixelFormat() || !one.mask != !many.mask)
    __builtin_trap();
  const size_t rowBytes = (size_t(one.bitmap.Width()) * size_t(one.bitmap.BitCount()) + 7) / 8;
  for (int y = 0; y < one.bitmap.Height(); ++y)
    if (std::memcmp(one.bitmap.ScanLine(y), many.bitmap.ScanLine(y), rowBytes) != 0 ||
        (one.mask && std::memcmp(one.mask->ScanLine(y), many.mask->ScanLine(y),
                                 size_t(one.bitmap.Width())) != 0))
      __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 && data[64] == 2 && !(data[0] == 0xB1 && data[1] == 0x68)) {
    ComparePieces(data, size);
    return 0;
  }
  TLxMemStream stream(data, int64_t(size));
  TLxBitmap bitmap;
  TIOParamsVals params;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  std::unique_ptr<TLxMask> mask;
  const bool dcx = size >= 4 && data[0] == 0xB1 && data[1] == 0x68;
  if (dcx) {
    params.DcxImageIndex = size > 8 ? data[size - 1] % 4 : 0;
    ReadDcxStream(stream, bitmap, params, false, progress, mask);
  } else {
    const bool headerOnly = size > 64 && data[64] == 1;
    ReadPcxStream(stream, bitmap, params, headerOnly, progress, int64_t(size), mask);
  }
  if (!aborting && !bitmap.IsEmpty() && int64_t(bitmap.Width()) * bitmap.Height() <= 16384) {
    params.PcxCompression = size & 1;
    TMemoryStream out;
    bool failed = false;
    ProgressRecord wp;
    wp.AbortingPtr = &failed;
    WritePcxStream(out, bitmap, params, wp);
    if (failed) __builtin_trap();
    out.Seek(0, soBeginning);
    TLxBitmap again;
    TIOParamsVals p2;
    std::unique_ptr<TLxMask> m2;
    ReadPcxStream(out, again, p2, false, wp, out.Size(), m2);
    if (failed || again.Width() != bitmap.Width() || again.Height() != bitmap.Height())
      __builtin_trap();
  }
  return 0;
}
