// libFuzzer target of the raw bitmap record reader. Records that load are written back and
// must read again to the same record.
#include <cstddef>
#include <cstdint>

#include "bitmap/bitmap.h"
#include "bitmap/stream.h"

using namespace lumenax;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TLxBitmap bitmap;
  if (!bitmap.LoadRawFromMemory(data, int64_t(size))) return 0;
  TMemoryStream out;
  bitmap.SaveRawToStream(out);
  TLxBitmap again;
  if (!again.LoadRawFromMemory(out.Bytes().data(), int64_t(out.Bytes().size()))) __builtin_trap();
  return 0;
}
