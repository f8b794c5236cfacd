// PNG reader and writer (libpng).
#pragma once

namespace lumenax {

class TStream;
class TLxBitmap;
class TLxMask;
class TIOParamsVals;
struct ProgressRecord;

// Reads a PNG image from the stream's position (at the signature). Bad data set Aborting, with
// a failure reason through the progress record.
void ReadPNGStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool infoOnly,
                   ProgressRecord& progress);

// Writes the bitmap as PNG at the stream's position; alphaMask (may be null) carries the
// alpha channel. Raises EInvalidGraphic "Error on creating PNG" when libpng fails.
void WritePNGStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                    const TLxMask* alphaMask, ProgressRecord& progress);

}  // namespace lumenax
