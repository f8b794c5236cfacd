// The two reduction algorithms behind TLxQuantizer, for lx24RGB images with more colours than
// the palette holds. Both are deterministic: the same image gives the same palette.
#pragma once

#include <cstdint>
#include <vector>

#include "bitmap/types.h"

namespace lumenax {

class TLxBitmap;

namespace quant {

// Box splitting on a 32 x 32 x 32 histogram (5 bits per channel). The box with the largest
// error is split where the channel's two parts have the smallest summed error, until N boxes
// exist or no box can be split. Palette components are multiples of 8.
class BoxQuantizer {
 public:
  // Builds at most n (<= 256) boxes; writes their colours to palette[0 .. count - 1] and
  // returns count (at least 1 for a non-empty image).
  int Build(TLxBitmap& bitmap, int n, TRGB* palette);
  // Box number of the cell of a packed colour; cells that no box covers give 0.
  int Index(uint32_t colour) const {
    return index_[((colour >> 19) & 31) << 10 | ((colour >> 11) & 31) << 5 | ((colour >> 3) & 31)];
  }

 private:
  std::vector<uint8_t> index_ = std::vector<uint8_t>(32768, 0);
};

// NeuQuant: a one-dimensional self-organising map of N neurons trained on a sample of the
// pixels (every f-th in a prime-step order), then searched outward from a green index.
class NeuralQuantizer {
 public:
  // Trains n (1..256) neurons with sampling factor f (1..30) and writes them to palette.
  void Build(TLxBitmap& bitmap, int n, int f, TRGB* palette);
  // Nearest neuron by |dg| + |db| + |dr| found by the green-ordered search; -1 when none is
  // closer than 1000 (which cannot happen for 8-bit channels). A hint (a neuron's palette
  // index, for example the answer for the previous pixel) only narrows the search: its
  // distance + 1 replaces the starting bound of 1000. The answer is the same with or without
  // it: the first neuron in search order at the least distance.
  int Index(uint32_t colour, int hint = -1) const;

 private:
  struct Neuron {
    int b, g, r, index;
  };
  std::vector<Neuron> net_;      // sorted by green after Build
  std::vector<Neuron> byIndex_;  // the same neurons by palette index
  int netIndex_[256] = {};
};

// The sampling factor for an image of this many pixels under the current NeuralSampleQuality.
int NeuralSamplingFactor(int64_t pixels);

}  // namespace quant
}  // namespace lumenax
