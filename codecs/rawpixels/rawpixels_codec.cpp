// Headerless pixels: read only when asked for by type, never detected, no registry row. The
// reader comes with the entry points that describe the layout.
#include "codecs/codec.h"

namespace lumenax {

extern const TLxCodecDescriptor kRawPixelsCodec{
    .Type = ftRawPixels,
    .Registered = false,
};

}  // namespace lumenax
