// Installs the colour quantizer as the bitmap layer's palette quantizer (the conversion of
// true colour to lx8p) when the program starts.
#include "bitmap/palette_hook.h"
#include "quantize/quantizer.h"

namespace lumenax {
namespace {

class QuantizerMapper final : public TLxPaletteMapper {
 public:
  QuantizerMapper(TLxBitmap& source, TRGB* palette, int colours)
      : quantizer_(source, palette, colours) {}
  int RGBToIndex(uint32_t colour) override { return quantizer_.RGBToIndex(colour); }

 private:
  TLxQuantizer quantizer_;
};

std::unique_ptr<TLxPaletteMapper> Quantize(TLxBitmap& source, TRGB* palette, int colours) {
  return std::make_unique<QuantizerMapper>(source, palette, colours);
}

const bool kInstalled = (SetPaletteQuantizer(Quantize), true);

}  // namespace
}  // namespace lumenax

// Named by the library's link options so that every program that links the library keeps
// this file, and with it the installation above.
extern "C" const bool lumenax_palette_quantizer_installed = lumenax::kInstalled;
