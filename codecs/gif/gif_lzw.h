// GIF's LZW coders, reached through replaceable hooks: the library installs its own decoder
// and encoder as the defaults at start-up, every parameter record starts with a copy of them,
// and a program may put its own in either place.
//
// GIF's dialect: codes packed least significant bit first, literal width (the minimum code
// size) taken from the data, the code width growing when the table reaches 2^width entries,
// and a full table (4,096 entries) kept as it is until the next clear code.
#pragma once

#include <cstdint>

#include "bitmap/progress.h"

namespace lumenax {

class TStream;

// Reads the minimum code size byte and the image data sub-blocks (up to and including the
// zero-length block) from the stream's position and fills buffer, width x height palette
// indexes, rows top to bottom (interlaced: stored in the four-pass order). The buffer holds
// zeros on entry; pixels the data do not reach keep them.
// Returns None when every pixel was decoded (data after the last pixel are ignored), else
// Truncated (the data end first) or BadData (an impossible code). A minimum code size
// outside 2..9 is BadData with the stream put back on that byte.
using TGifDecoderHook = TLxFailure (*)(TStream& stream, int height, int width, uint8_t* buffer,
                                       bool interlaced);
// Writes the minimum code size byte, the data sub-blocks and the terminating zero-length
// block for width x height indexes of bitsPerPixel bits, taking rows in the four-pass order
// when interlaced. False when the stream took fewer bytes than written.
using TGifEncoderHook = bool (*)(TStream& stream, int height, int width, int bitsPerPixel,
                                 const uint8_t* buffer, bool interlaced);

TLxFailure GifLzwDecode(TStream& stream, int height, int width, uint8_t* buffer, bool interlaced);
bool GifLzwEncode(TStream& stream, int height, int width, int bitsPerPixel, const uint8_t* buffer,
                  bool interlaced);

// The process-wide defaults (GifLzwDecode and GifLzwEncode unless the program installs others
// before it loads or saves). A record's reset copies them into GifDecoderHook and
// GifEncoderHook; a codec uses the record's hook, else the default, and fails when both are
// empty.
extern TGifDecoderHook DefaultGifDecoderHook;
extern TGifEncoderHook DefaultGifEncoderHook;

// Row number of the n-th stored row of an interlaced image of the given height (the passes
// take every 8th row from 0, every 8th from 4, every 4th from 2, every 2nd from 1).
int GifInterlacedRow(int n, int height);

}  // namespace lumenax
