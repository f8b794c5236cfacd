// Basic types shared by the whole library: colours, pixel layouts, storage places.
#pragma once

#include <cstdint>

namespace lumenax {

// Three-byte colour record, blue first: the byte order of an lx24RGB pixel.
struct TRGB {
  uint8_t b = 0;
  uint8_t g = 0;
  uint8_t r = 0;
  friend bool operator==(const TRGB&, const TRGB&) = default;
};
static_assert(sizeof(TRGB) == 3);

inline TRGB CreateRGB(uint8_t r, uint8_t g, uint8_t b) {
  return TRGB{b, g, r};
}

// A 32-bit colour value: red in the low byte, then green, then blue.
using TColor = uint32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;

inline TRGB TColor2TRGB(TColor c) {
  return TRGB{uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)};
}
inline TColor TRGB2TColor(TRGB c) {
  return TColor(c.r) | TColor(c.g) << 8 | TColor(c.b) << 16;
}
// A colour packed the way an lx24RGB pixel reads as a little-endian integer.
inline uint32_t PackBGR(TRGB c) {
  return uint32_t(c.b) | uint32_t(c.g) << 8 | uint32_t(c.r) << 16;
}
inline TRGB UnpackBGR(uint32_t v) {
  return TRGB{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)};
}

// Pixel layouts of a bitmap.
enum PixelFormat : uint8_t {
  lxNone = 0,
  lx1g = 1,
  lx8p = 2,
  lx8g = 3,
  lx16g = 4,
  lx24RGB = 5,
  lx32f = 6,
  lxCMYK = 7,
  lxRGB48 = 8,
  lxCIELab = 9,
  lx32RGB = 10,
};
constexpr int kPixelFormatCount = 11;
constexpr int kBitCountOf[kPixelFormatCount] = {0, 1, 8, 8, 16, 24, 32, 32, 48, 24, 32};
constexpr int kChannelCountOf[kPixelFormatCount] = {0, 1, 1, 1, 1, 3, 1, 4, 3, 3, 4};

inline int BitCountOf(PixelFormat pf) {
  return pf < kPixelFormatCount ? kBitCountOf[pf] : 0;
}
inline int ChannelCountOf(PixelFormat pf) {
  return pf < kPixelFormatCount ? kChannelCountOf[pf] : 0;
}
// "lx24RGB" etc.; nullptr for values outside the enumeration.
const char* PixelFormatName(PixelFormat pf);
// Inverse of PixelFormatName; false when the name is unknown.
bool PixelFormatFromName(const char* name, PixelFormat& pf);

// Where the rows of a bitmap live.
enum BitmapLocation : uint8_t { lxInMemory = 0, lxTempFile = 1, lxTBitmap = 2 };

// Row access set of the paging file: read rows from the file when mapped, write back on release.
using TLxRowAccess = uint8_t;
constexpr TLxRowAccess raRead = 1;
constexpr TLxRowAccess raWrite = 2;

// How lxInMemory pixel blocks are obtained.
enum TLxMemoryAllocator : uint8_t { maHeap = 0, maGlobal = 1, maHybrid = 2 };

}  // namespace lumenax
