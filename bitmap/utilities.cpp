#include "bitmap/utilities.h"

#include <algorithm>

#include "bitmap/conversion.h"

namespace lumenax {

namespace {
// x truncated toward zero and held within int (NaN gives 0).
int TruncInt(double x) {
  if (std::isnan(x)) return 0;
  return int(std::clamp(std::trunc(x), -2147483648.0, 2147483647.0));
}
}  // namespace

int CeilInt(double x) {
  int t = TruncInt(x);
  return x - t > 0 && t < 2147483647 ? t + 1 : t;
}

int FloorInt(double x) {
  int t = TruncInt(x);
  return x - t < 0 && t > -2147483647 - 1 ? t - 1 : t;
}

namespace {

// The classic desktop scheme, as colour values (red in the low byte), by system colour index.
constexpr TColor kSystemColors[] = {
    0xC8C8C8,  // 0 scroll bar
    0x000000,  // 1 background
    0xD1B499,  // 2 active caption
    0xDBCDBF,  // 3 inactive caption
    0xF0F0F0,  // 4 menu
    0xFFFFFF,  // 5 window
    0x646464,  // 6 window frame
    0x000000,  // 7 menu text
    0x000000,  // 8 window text
    0x000000,  // 9 caption text
    0xB4B4B4,  // 10 active border
    0xFCF7F4,  // 11 inactive border
    0xABABAB,  // 12 application workspace
    0xD77800,  // 13 highlight
    0xFFFFFF,  // 14 highlight text
    0xF0F0F0,  // 15 button face
    0xA0A0A0,  // 16 button shadow
    0x6D6D6D,  // 17 gray text
    0x000000,  // 18 button text
    0x000000,  // 19 inactive caption text
    0xFFFFFF,  // 20 button highlight
    0x696969,  // 21 3-D dark shadow
    0xE3E3E3,  // 22 3-D light
    0x000000,  // 23 info text
    0xE1FFFF,  // 24 info background
    0x000000,  // 25 (unused)
    0xCC6600,  // 26 hot light
    0xEAD1B9,  // 27 gradient active caption
    0xF2E4D7,  // 28 gradient inactive caption
    0xFF9933,  // 29 menu highlight
    0xF0F0F0,  // 30 menu bar
};

}  // namespace

TColor ColorToRGB(TColor colour) {
  if ((colour & 0xFF000000) != clSystemColor) return colour;
  uint32_t index = colour & 0xFF;
  return index < sizeof kSystemColors / sizeof kSystemColors[0] ? kSystemColors[index] : 0;
}

TRGB ColorToTRGB(TColor colour) {
  return TColor2TRGB(ColorToRGB(colour));
}

uint32_t ColorToBGRA(TColor colour, uint8_t alpha) {
  return SwapRedBlue(ColorToRGB(colour)) | uint32_t(alpha) << 24;
}

int GrayOfPacked(uint32_t c) {
  return Gray8(int(c >> 16 & 0xFF), int(c >> 8 & 0xFF), int(c & 0xFF));
}

const uint8_t kReverseBits8[256] = {
#define LX_R2(n) n, n + 2 * 64, n + 1 * 64, n + 3 * 64
#define LX_R4(n) LX_R2(n), LX_R2(n + 2 * 16), LX_R2(n + 1 * 16), LX_R2(n + 3 * 16)
#define LX_R6(n) LX_R4(n), LX_R4(n + 2 * 4), LX_R4(n + 1 * 4), LX_R4(n + 3 * 4)
    LX_R6(0), LX_R6(2), LX_R6(1), LX_R6(3)
#undef LX_R2
#undef LX_R4
#undef LX_R6
};

uint32_t ReverseBits32(uint32_t w) {
  return uint32_t(kReverseBits8[w & 0xFF]) << 24 | uint32_t(kReverseBits8[w >> 8 & 0xFF]) << 16 |
         uint32_t(kReverseBits8[w >> 16 & 0xFF]) << 8 | kReverseBits8[w >> 24];
}

int TBitmapBitCount(TPixelFormatDIB format) {
  switch (format) {
    case pf1bit:
      return 1;
    case pf4bit:
      return 4;
    case pf8bit:
      return 8;
    case pf15bit:
      return 15;
    case pf16bit:
      return 16;
    case pf24bit:
      return 24;
    case pf32bit:
      return 32;
    default:
      return 0;
  }
}

}  // namespace lumenax
