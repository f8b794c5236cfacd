// Camera RAW: registry row, content tests and the reader (LibRaw). Many camera files are
// TIFF inside and are detected as TIFF; DetectFileFormat reads those as camera RAW when the
// name says so.
#include "codecs/codec.h"
#include "codecs/raw/raw.h"

namespace lumenax {

namespace {

bool RawContentTest(TLxProbe& probe) {
  return IsCameraRaw(probe.Stream(), probe.Start(), probe.Avail(), false);
}

// Under a camera-RAW name, the headerless sensor dumps that are known by their size count too.
bool RawNamedContentTest(TLxProbe& probe) {
  return IsCameraRaw(probe.Stream(), probe.Start(), probe.Avail(), true);
}

}  // namespace

extern const TLxCodecDescriptor kRawCodec{
    .Type = ftRaw,
    .Description = "Camera RAW",
    .Extensions = "CRW;CR2;NEF;RAW;PEF;RAF;X3F;BAY;ORF;SRF;MRW;DCR;SR2",
    .Readable = true,
    .ContentTest = RawContentTest,
    .NamedContentTest = RawNamedContentTest,
    .Read = ReadCameraRaw,
};

}  // namespace lumenax
