// Wireless bitmap (WBMP type 0) reader and writer.
#pragma once

namespace lumenax {

class TStream;
class TLxBitmap;
class TIOParamsVals;
struct ProgressRecord;

// Reads a type-0 WBMP from the stream's position into an lx1g bitmap.
void ReadWbmpStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool infoOnly,
                    ProgressRecord& progress);

// Writes the bitmap as a type-0 WBMP of at most 255 x 255 pixels: larger images are scaled
// down (nearest neighbour) on a private copy; the caller's bitmap is not changed.
void WriteWbmpStream(TStream& stream, TLxBitmap& bitmap, ProgressRecord& progress);

}  // namespace lumenax
