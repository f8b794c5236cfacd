// BMP reader and writer.
#pragma once

#include <cstdint>
#include <memory>

namespace lumenax {

class TStream;
class TLxBitmap;
class TLxMask;
class TIOParamsVals;
struct ProgressRecord;

// Reads a BMP file (or, with noFileHeader, a bare info header and pixels) from the stream's
// position. size: bytes of the image block, 0 or less when unknown. Returns the alpha of
// 32-bit images in alphaMask (created here) unless ignoreAlpha. Bad data set Aborting, with a
// failure reason through the progress record.
void ReadBMPStream(TStream& stream, TLxBitmap& bitmap, int64_t size, bool ignoreAlpha,
                   std::unique_ptr<TLxMask>& alphaMask, bool noFileHeader, bool infoOnly,
                   ProgressRecord& progress, TIOParamsVals& params);

// Writes the bitmap as BMP at the stream's position with the settings of params; with
// keepAlpha the alpha channel goes into the fourth byte of 32-bit pixels.
void WriteBMPStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool keepAlpha,
                    ProgressRecord& progress);

}  // namespace lumenax
