// TIFF reader.
#pragma once

#include <cstdint>
#include <memory>

namespace lumenax {

class TStream;
class TLxBitmap;
class TLxMask;
class TIOParamsVals;
struct ProgressRecord;

// Reads directory Params.TiffImageIndex of the TIFF at the stream's position (or the entry
// Params.TiffSubIndex of its SubIFDs) into bitmap and fills the record's TIFF and descriptive
// fields. imageCount receives the number of directories in the chain. Transparency comes back
// in mask (8 bits, 255 opaque) unless noAlpha. relativeOffsets: file offsets count from the
// stream position at entry (EXIF blocks), else from 0. headerOnly: tags only, no pixels.
// isThumbnail: an EXIF thumbnail (at most 400 x 400 pixels, filled black first).
//
// An image index past the chain loads nothing and is not a failure. Every refusal sets
// Aborting with a reason; rows decoded before a fault stay in the bitmap, the rest are zero.
void ReadTiffStream(TLxBitmap& bitmap, TStream& stream, int32_t& imageCount, bool isThumbnail,
                    bool noAlpha, bool relativeOffsets, std::unique_ptr<TLxMask>& mask,
                    bool headerOnly, ProgressRecord& progress, TIOParamsVals& params);

}  // namespace lumenax
