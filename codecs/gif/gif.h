// GIF reader, animation composition and writer.
#pragma once

#include <cstdint>
#include <memory>

namespace lumenax {

class TStream;
class TLxBitmap;
class TLxMask;
class TIOParamsVals;
struct ProgressRecord;

// No frame or canvas of more pixels is allocated (a canvas takes 4 bytes a pixel); larger
// ones are refused as too large. A program (or a fuzzer) may lower it before loading.
extern uint64_t GifPixelLimit;

// Reads frame Params.GifImageIndex of the GIF file at the stream's position into bitmap and,
// unless noMask, its transparency into mask (created when empty, freed again when the frame
// has no transparent pixel); counts every image descriptor of the file into imageCount (also
// stored as the record's image count). headerOnly fills the record and skips all pixel data.
// Bad data set Aborting with a reason; a frame whose code stream ends early keeps what was
// decoded.
void ReadGifStream(TStream& stream, TLxBitmap& bitmap, int32_t& imageCount, bool noMask,
                   std::unique_ptr<TLxMask>& mask, bool headerOnly, ProgressRecord& progress,
                   TIOParamsVals& params);

// The load of the component's GIF entry points: frame Params.GifImageIndex of an animation
// drawn over frames 0 .. N-1 with their disposal methods (a single-frame file is its frame).
// Returns the number of frames.
int32_t LoadGifComposed(TStream& stream, TLxBitmap& bitmap, ProgressRecord& progress,
                        TIOParamsVals& params);

// Writes the bitmap as a one-frame GIF file at the stream's position.
void WriteGifStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                    ProgressRecord& progress);

}  // namespace lumenax
