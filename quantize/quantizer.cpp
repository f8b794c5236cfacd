// Placeholder until the quantizer lands: no palette, every colour maps to 0.
#include "quantize/quantizer.h"

namespace lumenax {

int32_t QuantizerMethod = -1;
int32_t NeuralSampleQuality = -1;

struct TLxQuantizer::State {};

TLxQuantizer::TLxQuantizer(TLxBitmap&, TRGB*, int) {}
TLxQuantizer::~TLxQuantizer() = default;
int TLxQuantizer::RGBToIndex(uint32_t) { return 0; }

}  // namespace lumenax
