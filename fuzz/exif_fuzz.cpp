// libFuzzer target of the EXIF decoder: a JPEG APP1 block ("Exif", 0, 0 and a TIFF
// structure) with its main, EXIF and GPS directories, maker note and thumbnail. The block
// must never fail the record it fills; the record's text forms are produced for every field,
// and the thumbnail, when there is one, must be a small image.
#include <cstddef>
#include <cstdint>

#include "codecs/tiff/exif.h"
#include "io/param_fields.h"
#include "io/params.h"

using namespace lumenax;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TIOParamsVals params;
  DecodeExifBlock(data, size, params);
  if (params.ExifThumbnail && !params.ExifThumbnail->IsEmpty() &&
      (params.ExifThumbnail->Width() > 400 || params.ExifThumbnail->Height() > 400))
    __builtin_trap();
  for (const ParamField& f : ParamFieldTable()) f.Get(params);
  // The group survives a copy into another record and a reset.
  TIOParamsVals copy;
  copy.Assign(params);
  copy.ResetInfo();
  return 0;
}
