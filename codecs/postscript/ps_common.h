// What the PostScript and PDF writers share besides the text encoders: the layout check, and
// the JPEG, CCITT and LZW data of a whole image held in memory.
#pragma once

#include <cstdint>
#include <ctime>
#include <vector>

#include "codecs/jpeg/jpeg_params.h"

namespace lumenax {

class TLxBitmap;
class TIOParamsVals;
struct ProgressRecord;

// lx1g (1 bit, 1 sample) or lx24RGB (8 bits, 3 samples), stored into the record; any other
// layout, or an empty bitmap, fails as an unsupported variant. True when the image can be
// written.
bool TakeLayout(TLxBitmap& bitmap, TIOParamsVals& params, ProgressRecord& progress);

// Paper sizes below 1 point take the A4 defaults.
int32_t PaperSide(int32_t value, int32_t fallback);

// The image as a JPEG stream in the given colour space, with the record's JPEG settings and
// none of its markers. Empty, with Aborting set, when the encoder fails.
std::vector<uint8_t> EncodeJpeg(TLxBitmap& bitmap, const TIOParamsVals& params,
                                TLxJpegColorSpace space, ProgressRecord& progress);

enum class TLxFaxKind { Group3TwoD, Group4 };

// The rows of a one-bit image as stored (set bits white) through a CCITT row encoder, padded
// with zero bytes to a multiple of four. Empty, with Aborting set, when it fails.
std::vector<uint8_t> EncodeFax(TLxBitmap& bitmap, TLxFaxKind kind, ProgressRecord& progress);

// The rows through the record's LZW encoder hook (else the library's default) as one strip;
// colour rows in red, green, blue order. Empty, with Aborting set, when there is no encoder
// or it fails.
std::vector<uint8_t> EncodeLzw(TLxBitmap& bitmap, const TIOParamsVals& params,
                               ProgressRecord& progress);

// Red, green, blue samples of one lx24RGB row (stored blue, green, red).
void RowToRgb(const uint8_t* row, int width, uint8_t* out);

std::tm LocalNow();

}  // namespace lumenax
