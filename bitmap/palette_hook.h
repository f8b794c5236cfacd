// The palette reduction that the conversion to lx8p needs, reached through a hook so that the
// bitmap layer does not depend on the quantizer above it. The quantizer's module installs it
// when the program starts (see quantize/palette_hook.cpp).
#pragma once

#include <cstdint>
#include <memory>

#include "bitmap/types.h"

namespace lumenax {

class TLxBitmap;

// Maps colours to the indices of the palette it was made for.
class TLxPaletteMapper {
 public:
  virtual ~TLxPaletteMapper() = default;
  // Index of a colour packed as blue + green * 256 + red * 65536.
  virtual int RGBToIndex(uint32_t colour) = 0;
};

// Builds a palette of at most `colours` entries for `source` into palette[0 .. 255] and returns
// the mapper for it.
using TPaletteQuantizer = std::unique_ptr<TLxPaletteMapper> (*)(TLxBitmap& source, TRGB* palette,
                                                                int colours);

// The installed palette quantizer; null until one is installed.
TPaletteQuantizer PaletteQuantizer();
void SetPaletteQuantizer(TPaletteQuantizer quantizer);

}  // namespace lumenax
