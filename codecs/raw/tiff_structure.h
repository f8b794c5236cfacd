// A walk over the directories of TIFF-structured data (II/MM headers) that checks what a
// parser will follow: every directory and every value that does not fit in its entry lies
// inside the data, directories do not loop, and sub-directory and EXIF pointers lead to sound
// directories too. The camera-RAW decoder's own TIFF parser trusts these and can crash on
// data that breaks them, so such data never reaches it.
#pragma once

#include <cstdint>

namespace lumenax {

class TStream;

// True for data that does not start with a byte order, II or MM (nothing to check), for Canon's
// heap format, and for TIFF-structured data whose directories are sound, whatever version
// number follows the byte order; false when the structure is damaged.
bool TiffStructureIsSound(TStream& stream, int64_t start, int64_t size);

}  // namespace lumenax
