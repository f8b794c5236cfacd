// Content detection on hostile bytes: every test reads only what is there, and the stream
// position comes back to where detection started.
#include <cstdint>
#include <cstdlib>

#include "bitmap/stream.h"
#include "io/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (int64_t start : {int64_t(0), int64_t(1)}) {
    if (start > int64_t(size)) break;
    lumenax::TLxMemStream stream(data, int64_t(size));
    stream.Seek(start, lumenax::soBeginning);
    lumenax::FileType type = lumenax::DetectStreamFormat(stream);
    if (stream.Position() != start) std::abort();
    if (type < 0 || type > 28) std::abort();
  }
  return 0;
}
