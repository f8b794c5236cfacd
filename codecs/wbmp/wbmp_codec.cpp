// Wireless bitmaps: registry row, reader and writer. The format has no signature, so there is
// no content test: it is read by name or by type.
#include "codecs/codec.h"
#include "codecs/wbmp/wbmp.h"
#include "io/params.h"

namespace lumenax {

namespace {

void ReadWbmp(TLxReadArgs& a) {
  ReadWbmpStream(a.Stream, a.Bitmap, a.Params, a.InfoOnly, a.Progress);
}

void WriteWbmp(TLxWriteArgs& a) {
  WriteWbmpStream(a.Stream, a.Bitmap, a.Progress);
}

}  // namespace

extern const TLxCodecDescriptor kWbmpCodec{
    .Type = ftWbmp,
    .Description = "Wireless Bitmap",
    .Extensions = "WBMP",
    .Readable = true,
    .Writable = true,
    .SaveExtensions = ".wbmp",
    .Read = ReadWbmp,
    .Write = WriteWbmp,
    .Policy = {.ConvertTo24OnSave = true},
};

}  // namespace lumenax
