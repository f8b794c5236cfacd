// libFuzzer target of the Targa reader. The image descriptor's reserved bits 6 and 7, which
// the reader ignores, choose the options: bit 6 no mask, bit 7 header-only read. Small images
// that load are written back (the ID byte choosing depth and compression) and must load again.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "bitmap/bitmap.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/tga/tga.h"
#include "io/params.h"

using namespace lumenax;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t flags = size >= 18 ? data[17] : 0;
  TLxMemStream stream(data, int64_t(size));
  TLxBitmap bitmap;
  TIOParamsVals params;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  std::unique_ptr<TLxMask> mask;
  ReadTgaStream(stream, bitmap, params, flags & 0x40, mask, flags & 0x80, progress);
  if (!aborting && !bitmap.IsEmpty() && int64_t(bitmap.Width()) * bitmap.Height() <= 16384) {
    const uint8_t choice = size > 0 ? data[0] : 0;
    params.BitsPerSample = (choice & 3) == 0   ? 8
                           : (choice & 3) == 1 ? 4
                           : (choice & 3) == 2 ? 1
                                               : 8;
    params.SamplesPerPixel = (choice & 3) == 3 ? 3 : 1;
    params.TgaCompressed = choice & 4;
    params.TgaGrayLevel = choice & 8;
    TMemoryStream out;
    bool failed = false;
    ProgressRecord wp;
    wp.AbortingPtr = &failed;
    WriteTgaStream(out, bitmap, params, mask.get(), wp);
    if (failed) __builtin_trap();
    out.Seek(0, soBeginning);
    TLxBitmap again;
    TIOParamsVals p2;
    std::unique_ptr<TLxMask> m2;
    ReadTgaStream(out, again, p2, false, m2, false, wp);
    if (failed || again.Width() != bitmap.Width() || again.Height() != bitmap.Height())
      __builtin_trap();
  }
  return 0;
}
