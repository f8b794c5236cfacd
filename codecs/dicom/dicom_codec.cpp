// DICOM: registry row and content test. The reader comes with the DICOM codec.
#include <cstring>

#include "codecs/codec.h"

namespace lumenax {

namespace {

// "DICM" after the 128-byte preamble.
bool DicomContentTest(TLxProbe& probe) {
  uint8_t h[4];
  return probe.ReadAt(128, h, 4) && std::memcmp(h, "DICM", 4) == 0;
}

}  // namespace

extern const TLxCodecDescriptor kDicomCodec{
    .Type = ftDicom,
    .Description = "DICOM Bitmap",
    .Extensions = "DCM;DIC;DICOM",
    .Readable = true,
    .ContentTest = DicomContentTest,
    .Policy = {.ReadBuffer = 8192},
};

}  // namespace lumenax
