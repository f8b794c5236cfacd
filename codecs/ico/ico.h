// Icon and cursor reader, icon writer.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "codecs/ico/ico_params.h"

namespace lumenax {

class TStream;
class TLxBitmap;
class TLxMask;
class TIOParamsVals;
struct ProgressRecord;

// Reads the icon image IcoImageIndex from the stream's position (a BMP file there is read as
// that BMP) and lists the directory in IcoSizes and IcoBitCounts. Transparency comes back in
// alphaMask (made here) unless ignoreAlpha; an all-opaque mask is not returned. Bad data set
// Aborting, with a failure reason through the progress record.
void ReadIcoStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool ignoreAlpha,
                   std::unique_ptr<TLxMask>& alphaMask, ProgressRecord& progress, bool infoOnly);

// Reads the cursor image CurImageIndex (every entry counts) and its hotspot. The mask is
// always returned unless ignoreAlpha.
void ReadCurStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool ignoreAlpha,
                   std::unique_ptr<TLxMask>& alphaMask, ProgressRecord& progress, bool infoOnly);

// Writes the bitmap as an icon with one image per entry of sizes (1 to 256 on each side), of
// the bits per pixel of the same entry of bitCounts (1, 4, 8, 24, 32; 0 takes the depth from
// the record's SamplesPerPixel and BitsPerSample), from the stream's position. Transparency
// comes from the bitmap's alpha channel. Refusals and write failures set Aborting with a
// reason.
void WriteIcoStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                    std::span<const int32_t> bitCounts, std::span<const TIcoSize> sizes,
                    ProgressRecord& progress);

}  // namespace lumenax
