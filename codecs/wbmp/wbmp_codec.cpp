// Wireless bitmaps: registry row. The format has no signature, so there is no content test:
// it is read by name or by type. The reader and writer come with the WBMP codec.
#include "codecs/codec.h"

namespace lumenax {

extern const TLxCodecDescriptor kWbmpCodec{
    .Type = ftWbmp,
    .Description = "Wireless Bitmap",
    .Extensions = "WBMP",
    .Readable = true,
    .Writable = true,
    .SaveExtensions = ".wbmp",
    .Policy = {.ConvertTo24OnSave = true},
};

}  // namespace lumenax
