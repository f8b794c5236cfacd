// Targa reader and writer.
#pragma once

#include <memory>

namespace lumenax {

class TStream;
class TLxBitmap;
class TLxMask;
class TIOParamsVals;
struct ProgressRecord;

// Reads a Targa image from the stream's position (its footer from the stream's end). Alpha of
// 32-bit pixels, of 32-bit colour maps and of gray-plus-alpha pixels comes back in mask
// unless noMask; a mask that turns out uniform is dropped.
void ReadTgaStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool noMask,
                   std::unique_ptr<TLxMask>& mask, bool headerOnly, ProgressRecord& progress);

// Writes an lx24RGB or lx1g bitmap; mask (may be null) is its alpha.
void WriteTgaStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, const TLxMask* mask,
                    ProgressRecord& progress);

// True when the data at the stream's position start with a header the reader accepts and the
// stream holds its ID, colour map and the least data its pixels can take.
bool TgaHeaderTest(TStream& stream);

}  // namespace lumenax
