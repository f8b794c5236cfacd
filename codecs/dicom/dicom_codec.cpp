// DICOM: registry row, content test, and the reader as the I/O component calls it (DICOM has
// no writer).
#include <cstring>

#include "codecs/codec.h"
#include "codecs/dicom/dicom.h"
#include "io/params.h"

namespace lumenax {

namespace {

// "DICM" after the 128-byte preamble.
bool DicomContentTest(TLxProbe& probe) {
  uint8_t h[4];
  return probe.ReadAt(128, h, 4) && std::memcmp(h, "DICM", 4) == 0;
}

void ReadDicom(TLxReadArgs& a) {
  ReadDicomStream(a.Stream, a.Params, a.Bitmap, a.InfoOnly, a.Progress);
}

}  // namespace

extern const TLxCodecDescriptor kDicomCodec{
    .Type = ftDicom,
    .Description = "DICOM Bitmap",
    .Extensions = "DCM;DIC;DICOM",
    .Readable = true,
    .ContentTest = DicomContentTest,
    .Read = ReadDicom,
    // Native pixel data are read a row at a time: a large read-ahead saves a system call per
    // row (the element walk before them reads a few bytes at a time either way).
    .Policy = {.ReadBuffer = 1 << 18},
};

}  // namespace lumenax
