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
inline int Gray8(TRGB c) {
  return Gray8(c.r, c.g, c.b);
}
// 16-bit gray: (R * 212 + G * 713 + B * 75) / 1000 on 16-bit channels.
uint16_t Gray16(uint16_t r, uint16_t g, uint16_t b);
// (0.2126 r + 0.7152 g + 0.0722 b) / 255.
double FloatGray(int r, int g, int b);

// Ordered-dither matrix, indexed [x mod 8][y mod 8].
extern const int DitherMatrix8[8][8];

// lxCMYK stores 255 minus the amount of each ink.
struct TCMYK {
  uint8_t c = 0, m = 0, y = 0, k = 0;
  friend bool operator==(const TCMYK&, const TCMYK&) = default;
};
struct TCIELab {
  uint8_t l = 0;
  int8_t a = 0;
  int8_t b = 0;
  friend bool operator==(const TCIELab&, const TCIELab&) = default;
};

// Colours are packed as blue + green * 256 + red * 65536 (see PackBGR).
// With UseCmykProfile and the bundled profile these go through LittleCMS; otherwise (and when
// the profile cannot be used) through the plain formulas.
TCMYK RgbToCmyk(uint32_t colour);
TRGB CmykToRgb(TCMYK cmyk);
TCIELab RgbToLab(uint32_t colour);
TRGB LabToRgb(TCIELab lab);
// The plain formulas alone.
TCMYK RgbToCmykFormula(uint32_t colour);
TRGB CmykToRgbFormula(TCMYK cmyk);
// Whole runs of pixels, the profile's transform applied once per run: count lx24RGB pixels
// (3 bytes each) to lxCMYK (4 bytes each) and back.
void RgbRunToCmyk(const uint8_t* bgr, uint8_t* cmyk, int count);
void CmykRunToRgb(const uint8_t* cmyk, uint8_t* bgr, int count, int bgrStride);
// The colour-managed transforms are in use (UseCmykProfile and the profile opened).
bool CmykProfileActive();

// YCbCr (JPEG's full-range form) to a colour, each channel truncated and clamped.
TRGB YCbCrToRgb(int y, int cb, int cr);

// Pixel x of a row of bitmap (already fetched with ScanLine) as a colour.
TRGB PixelAsRGBFromRow(const TLxBitmap& bitmap, const uint8_t* row, int x);

// Every byte of every row (padding included) complemented.
void InvertBitmap(TLxBitmap& bitmap);
// Mean red, green and blue (row means summed, then divided by the height); black when empty.
TRGB AverageColor(TLxBitmap& bitmap);
// target (lx1g, allocated here to the source's size) := source thresholded at its gray level:
// black below threshold, white otherwise. threshold -1: the gray level of the average colour;
// -2: the maximum-entropy threshold of the gray histogram. A lx1g source is copied.
// progress (may be null) is told each row's percentage.
void ConvertTo1BitThreshold(TLxBitmap& source, TLxBitmap& target, int threshold,
                            ProgressRecord* progress);
// Ordered dither of source into target (lx1g, allocated here to the source's size). With
// whiteCutoff a pixel whose three channels are all at least 251 is always white. Sources:
// lx8p, lx8g, lx16g, lx24RGB, lx32f, lxRGB48; others are left alone.
void DitherTo1Bit(TLxBitmap& source, TLxBitmap& target, bool whiteCutoff = false);
// A 1-bit copy of an image of exactly two colours, bit 0 the darker one (colour1), or null.
std::unique_ptr<TLxBitmap> ExtractTwoColorBitmap(TLxBitmap& bitmap, TRGB& colour1, TRGB& colour2);
// The colours a 1-bit copy can keep: an image of two colours as ExtractTwoColorBitmap, an image
// of one colour other than black and white as all bits 0 with colour1 = colour2 = that colour.
// Null otherwise (black or white alone, more colours): a 1-bit conversion loses nothing more.
std::unique_ptr<TLxBitmap> ExtractColoursFor1Bit(TLxBitmap& bitmap, TRGB& colour1, TRGB& colour2);

// Set of 32-bit values in 2^k chained buckets (bucket = value and (2^k - 1)).
struct THash1Item {
  uint32_t value = 0;
  int32_t next = -1;  // index of the next item of the chain, -1 at the end
};
class THash1 {
 public:
  explicit THash1(int k);
  // True (and Count raised) when the value was not in the set yet.
  bool Add(uint32_t value);
  int Count() const { return int(items_.size()); }

 private:
  uint32_t mask_;
  std::vector<int32_t> buckets_;
  std::vector<THash1Item> items_;
};

// ---- orientation
// Mirrors left-right every layout (lx1g bit by bit, others by whole pixels), alpha included.
void MirrorLeftRight(TLxBitmap& bitmap);
// Exchanges row y with row Height - 1 - y, alpha included.
void MirrorTopBottom(TLxBitmap& bitmap);
// +90 turns counter-clockwise (pixel (x, y) goes to (y, Width - 1 - x)), -90 clockwise; the
// result is Height x Width. Other angles do nothing. Alpha included.
void QuarterTurn(TLxBitmap& bitmap, int angle);
// Turns an image upright by its EXIF/TIFF orientation code (1..8; other values do nothing).
void AutoOrient(TLxBitmap& bitmap, int orientation);

// ---- export
// The rectangle (x1, y1) .. (x2, y2) exclusive (0 for x2 or y2: the width or height) as a
// packed device-independent bitmap (40-byte info header, colour table, rows bottom-up),
// in a block the caller owns; empty when the bitmap or the rectangle is empty. Layouts other
// than lx1g, lx8p, lx8g and lx24RGB are exported from a 24-bit copy.
std::vector<uint8_t> _CopyBitmaptoDIBEx(TLxBitmap& bitmap, int x1, int y1, double dpiY, double dpiX,
                                        int y2, int x2);

// ---- diagnostic log
// Appends "date time : message" to DebugLogFile; does nothing while it is empty.
void WriteDebugLog(const std::string& message);

}  // namespace lumenax
