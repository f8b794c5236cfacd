// Small colour and integer utilities used across the codecs.
#pragma once

#include <cmath>
#include <cstdint>
#include <utility>

#include "bitmap/tbitmap.h"
#include "bitmap/types.h"

namespace lumenax {

// x truncated toward zero, plus 1 when x has a positive fraction.
int CeilInt(double x);
// x truncated toward zero, minus 1 when x has a negative fraction.
int FloorInt(double x);

// System colours: a TColor with the top byte 0xFF names entry (low byte) of this table of
// the usual desktop colours (scroll bar 0, background 1, ..., button face 15, window 5,
// window text 8, highlight 13 ...).
constexpr TColor clSystemColor = 0xFF000000;
// A colour value with system colours resolved to their RGB value.
TColor ColorToRGB(TColor colour);
// A colour value (system colours resolved) unpacked to TRGB.
TRGB ColorToTRGB(TColor colour);
// The colour resolved and packed as blue + green * 256 + red * 65536 + alpha * 2^24.
uint32_t ColorToBGRA(TColor colour, uint8_t alpha);
// Byte 0 and byte 2 exchanged, byte 3 cleared: colour value <-> packed TRGB.
inline uint32_t SwapRedBlue(uint32_t c) {
  return (c & 0x00FF00) | (c & 0xFF) << 16 | (c >> 16 & 0xFF);
}
// Gray8 of a packed TRGB (red in byte 2).
int GrayOfPacked(uint32_t c);
// The low three bytes are equal.
inline bool SameRGB(uint32_t a, uint32_t b) {
  return ((a ^ b) & 0xFFFFFF) == 0;
}

inline int IMax(int a, int b) {
  return a > b ? a : b;
}
inline int IMin(int a, int b) {
  return a < b ? a : b;
}
inline double FMax(double a, double b) {
  return a > b ? a : b;
}
inline double FMin(double a, double b) {
  return a < b ? a : b;
}
// low when v <= low, v when v < high, otherwise high.
inline int ClampInt(int v, int low, int high) {
  return v <= low ? low : (v < high ? v : high);
}
inline int ClampByte(int v) {
  return v < 0 ? 0 : (v > 255 ? 255 : v);
}
inline void SwapInt(int& a, int& b) {
  std::swap(a, b);
}
inline void SwapByte(uint8_t& a, uint8_t& b) {
  std::swap(a, b);
}
inline void SwapFloat64(double& a, double& b) {
  std::swap(a, b);
}
// Swaps so that x1 <= x2 and y1 <= y2.
inline void OrderRect(int& x1, int& y1, int& x2, int& y2) {
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
}

extern const uint8_t kReverseBits8[256];
inline uint8_t ReverseBits8(uint8_t b) {
  return kReverseBits8[b];
}
uint32_t ReverseBits32(uint32_t w);

// Bits per pixel of a platform bitmap format: 1, 4, 8, 15, 16, 24, 32; 0 for pfDevice and
// pfCustom.
int TBitmapBitCount(TPixelFormatDIB format);

// The low 32 bits of x truncated toward zero (as a two's-complement integer); 0 for NaN and
// infinities. Float samples that leave their range wrap this way instead of being clamped.
inline uint32_t TruncLow32(double x) {
  if (!std::isfinite(x)) return 0;
  double t = std::trunc(x);
  if (t >= -2147483648.0 && t < 2147483648.0) return uint32_t(int32_t(t));
  double m = std::fmod(t, 4294967296.0);
  if (m < 0) m += 4294967296.0;
  return uint32_t(m);
}

}  // namespace lumenax
