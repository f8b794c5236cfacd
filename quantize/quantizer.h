// TLxQuantizer: a palette of at most N colours for a bitmap, and the index of any colour in it.
#pragma once

#include <cstdint>
#include <memory>

#include "bitmap/types.h"

namespace lumenax {

class TLxBitmap;

// -1: box quantizer below 128 colours, neural otherwise; 0 neural; 1 box.
extern int32_t QuantizerMethod;
// -1: neural sampling factor from the image size; 0..100 quality.
extern int32_t NeuralSampleQuality;

class TLxQuantizer {
 public:
  // Builds the palette for bitmap into palette[0 .. colorCount - 1] (colorCount <= 256).
  TLxQuantizer(TLxBitmap& bitmap, TRGB* palette, int colorCount);
  ~TLxQuantizer();
  TLxQuantizer(const TLxQuantizer&) = delete;
  TLxQuantizer& operator=(const TLxQuantizer&) = delete;

  // Palette index of a colour packed as blue + green * 256 + red * 65536.
  int RGBToIndex(uint32_t colour);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace lumenax
