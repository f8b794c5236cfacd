// Pixel-format conversion and colour helpers: the conversion matrix behind SetPixelFormat,
// reading any pixel as a colour, gray/CMYK/L*a*b* formulas, black-and-white by ordered dither
// or mean threshold, two-colour detection, orientation, and small colour utilities.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bitmap/types.h"

namespace lumenax {

class TLxBitmap;
struct ProgressRecord;

// Gray level with the process-wide weights: (r * GrayWeightRed + g * GrayWeightGreen +
// b * GrayWeightBlue) / 100.
int Gray8(int r, int g, int b);
// 16-bit gray: (R * 212 + G * 713 + B * 75) / 1000 on 16-bit channels.
uint16_t Gray16(uint16_t r, uint16_t g, uint16_t b);
// (0.2126 r + 0.7152 g + 0.0722 b) / 255.
double FloatGray(int r, int g, int b);

// Ordered-dither matrix, indexed [x mod 8][y mod 8].
extern const int DitherMatrix8[8][8];

// lxCMYK stores 255 minus the amount of each ink.
struct TCMYK {
  uint8_t c = 0, m = 0, y = 0, k = 0;
};
struct TCIELab {
  uint8_t l = 0;
  int8_t a = 0;
  int8_t b = 0;
};

// Colours are packed as blue + green * 256 + red * 65536 (see PackBGR).
TCMYK RgbToCmyk(uint32_t colour);
TRGB CmykToRgb(TCMYK cmyk);
TCIELab RgbToLab(uint32_t colour);
TRGB LabToRgb(TCIELab lab);

// Pixel x of a row of bitmap (already fetched with ScanLine) as a colour.
TRGB PixelAsRGBFromRow(const TLxBitmap& bitmap, const uint8_t* row, int x);

// Every byte of every row (padding included) complemented.
void InvertBitmap(TLxBitmap& bitmap);
// Mean red, green and blue (row means summed, then divided by the height).
TRGB AverageColor(TLxBitmap& bitmap);
// target (lx1g, allocated here) := source thresholded at its gray level; threshold -1 means
// the gray level of the average colour. progress may be null.
void ConvertTo1BitThreshold(TLxBitmap& source, TLxBitmap& target, int threshold,
                            ProgressRecord* progress);
// A 1-bit copy of an image of exactly two colours, bit 0 the darker one (colour1), or null.
std::unique_ptr<TLxBitmap> ExtractTwoColorBitmap(TLxBitmap& bitmap, TRGB& colour1, TRGB& colour2);

}  // namespace lumenax
