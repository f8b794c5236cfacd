// Camera RAW: registry row. Camera files are recognised by name (many are TIFF inside, see
// DetectFileFormat); the decoder comes with the camera-RAW codec.
#include "codecs/codec.h"

namespace lumenax {

extern const TLxCodecDescriptor kRawCodec{
    .Type = ftRaw,
    .Description = "Camera RAW",
    .Extensions = "CRW;CR2;NEF;RAW;PEF;RAF;X3F;BAY;ORF;SRF;MRW;DCR;SR2",
    .Readable = true,
    .Policy = {.ReadBuffer = 8192},
};

}  // namespace lumenax
