// Placeholder until the BMP codec lands: every call fails through Aborting.
#include "codecs/bmp/bmp.h"

#include "bitmap/mask.h"
#include "io/progress.h"

namespace lumenax {

void ReadBMPStream(TStream&, TLxBitmap&, int64_t, bool, std::unique_ptr<TLxMask>&, bool, bool,
                   ProgressRecord& progress, TIOParamsVals&) {
  progress.Abort();
}

void WriteBMPStream(TStream&, TLxBitmap&, TIOParamsVals&, bool, ProgressRecord& progress) {
  progress.Abort();
}

}  // namespace lumenax
