// Placeholder until the PNG codec lands: every call fails through Aborting.
#include "codecs/png/png.h"
#include "io/progress.h"

namespace lumenax {

void ReadPNGStream(TStream&, TLxBitmap&, TIOParamsVals&, bool, ProgressRecord& progress) {
  progress.Abort();
}

void WritePNGStream(TStream&, TLxBitmap&, TIOParamsVals&, const TLxMask*,
                    ProgressRecord& progress) {
  progress.Abort();
}

}  // namespace lumenax
