// libFuzzer target of the headerless-pixels reader. The first 8 bytes choose the bitmap and
// the layout of the data: width and height (1..64), pixel layout, row alignment, planar and
// bitmap-order flags, header size; the rest is the data.
#include <cstddef>
#include <cstdint>

#include "bitmap/bitmap.h"
#include "bitmap/stream.h"
#include "io/lumenax_io.h"

using namespace lumenax;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  TLumenaxIO io;
  const PixelFormat pf = PixelFormat(data[2] % kPixelFormatCount);
  if (pf != lxNone && !io.Bitmap()->Allocate(1 + data[0] % 64, 1 + data[1] % 64, pf)) return 0;
  io.Params.RawPixelsRowAlign = int8_t(data[3]);
  io.Params.RawPixelsPlanar = data[4] & 1;
  io.Params.RawPixelsBitmapOrder = data[4] & 2;
  io.Params.RawPixelsHeaderSize = int16_t(data[5] | data[6] << 8);
  TLxMemStream stream(data + 8, int64_t(size - 8));
  io.LoadFromStreamRawPixels(stream);
  return 0;
}
