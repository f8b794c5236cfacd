// libFuzzer target of the PCX reader and the DCX container. Inputs that start with the DCX
// magic are read as containers (the reserved header byte 64 of PCX input otherwise chooses a
// header-only read). Small images that load are written back as PCX and must load again.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "bitmap/bitmap.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/pcx/pcx.h"
#include "io/params.h"

using namespace lumenax;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
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
