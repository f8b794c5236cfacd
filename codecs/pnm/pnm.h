// Portable anymap reader and writer.
#pragma once

namespace lumenax {

class TStream;
class TLxBitmap;
class TIOParamsVals;
struct ProgressRecord;

// Reads a P1 to P6 image from the stream's position. Bad data set Aborting with a reason.
void ReadPxmStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool infoOnly,
                   ProgressRecord& progress);

// True when the stream, from its position, starts with a header the reader accepts. Moves the
// stream's position.
bool PxmHeaderTest(TStream& stream);

// Writes the bitmap as P4, P5 or P6 with the comments of params.
void WritePxmStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                    ProgressRecord& progress);

}  // namespace lumenax
