// Hand-made icons and cursors, and loads through the stream readers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "io/params.h"
#include "tests/support/test_support.h"

namespace lumenax::test {

using Bytes = std::vector<uint8_t>;

// One bitmap image of an icon: info header, palette, colour rows and AND mask. Pixels are
// given top row first; the bytes are written bottom row first as the format stores them.
struct Dib {
  int width = 4;
  int height = 4;
  int bits = 8;
  uint32_t headerSize = 40;
  // The height field; 0 writes 2 x height.
  int32_t headerHeight = 0;
  uint32_t compression = 0;
  uint32_t colorsUsed = 0;
  int32_t ppm = 3780;  // 96 dpi
  std::vector<TRGB> palette;
  // Index for 1 to 8 bits; 0xAARRGGBB for 24 and 32 bits.
  std::function<uint32_t(int x, int y)> pixel = [](int, int) { return 0u; };
  // The AND bit: true is transparent.
  std::function<bool(int x, int y)> transparent = [](int, int) { return false; };
  bool withMask = true;

  Bytes Encode() const;
};

struct Entry {
  uint8_t width = 0, height = 0, colours = 0;
  uint16_t planes = 1, bitCount = 0;  // cursors: the hotspot
  Bytes data;
  // Replaces the computed offset when set.
  int64_t offset = -1;
};

// An icon (type 1) or cursor (type 2) file holding the entries' data in order.
Bytes MakeIconFile(uint16_t type, const std::vector<Entry>& entries);
// An entry for a DIB with its size bytes filled in (0 for 256).
Entry EntryFor(const Dib& dib);

struct Loaded {
  TLxBitmap bitmap;
  TIOParamsVals params;
  std::unique_ptr<TLxMask> mask;
  bool aborting = false;
  TLxFailureReason reason;
  // Pixels and alpha (from the mask) as RGBA.
  RgbaImage Rgba();
};

// Reads with ReadIcoStream (cursor: ReadCurStream); prepare may set parameters first.
void LoadIcon(const Bytes& file, Loaded& out, bool cursor = false,
              const std::function<void(TIOParamsVals&)>& prepare = {}, bool infoOnly = false);

// A 32-bit PNG of the image, alpha included, written by our PNG writer.
Bytes PngOf(TLxBitmap& bitmap);

}  // namespace lumenax::test
