// TLxQuantizer: a palette of at most N colours for a bitmap, and the index of any colour in it.
//
// The palette comes from, in this order of preference:
//   - the exact list of the image's colours (lx24RGB, not gray) when it holds at most N, in
//     order of first appearance;
//   - a reduction algorithm when it holds more: the box quantizer on a 32x32x32 histogram or
//     the NeuQuant neural network (QuantizerMethod chooses);
//   - the bitmap's own palette (lx8p);
//   - a gray ramp (gray images).
// Palette entries that none of these produce are set to 0, so callers can write all N.
//
// One quantizer belongs to one image and one thread; several quantizers may run at once on
// different threads (they share nothing but the two read-only settings below).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "bitmap/types.h"

namespace lumenax {

class TLxBitmap;

// -1: box quantizer below 128 colours, neural otherwise; 0 neural; 1 box; any other: neural.
extern int32_t QuantizerMethod;
// -1: neural sampling factor from the image size; 0..100 quality (100: every pixel).
// Values outside -1..100 count as -1.
extern int32_t NeuralSampleQuality;

class TLxQuantizer {
 public:
  // Builds the palette for bitmap into palette[0 .. colorCount - 1]. colorCount is clamped to
  // 256; with colorCount <= 0 nothing is written and every colour maps to 0.
  TLxQuantizer(TLxBitmap& bitmap, TRGB* palette, int colorCount);
  ~TLxQuantizer();
  TLxQuantizer(const TLxQuantizer&) = delete;
  TLxQuantizer& operator=(const TLxQuantizer&) = delete;

  // Palette index of a colour packed as blue + green * 256 + red * 65536 (higher bits are
  // ignored). For the gray ramp it is the gray level scaled to 0 .. N - 1.
  int RGBToIndex(uint32_t colour) {
    if (lookup_) {
      uint16_t v = lookup_[colour & 0xFFFFFF];
      if (v) return v - 1;
    }
    return RGBToIndexSlow(colour);
  }

  // The same answers as RGBToIndex for one of several threads that share this quantizer (once
  // built, it is only read): each Mapper keeps its own answer cache.
  class Mapper {
   public:
    explicit Mapper(const TLxQuantizer& quantizer) : q_(quantizer) {}
    int RGBToIndex(uint32_t colour) {
      if (q_.lookup_) {
        uint16_t v = q_.lookup_[colour & 0xFFFFFF];
        if (v) return v - 1;
      }
      return Slow(colour);
    }

   private:
    int Slow(uint32_t colour);
    const TLxQuantizer& q_;
    int last_ = -1;
    std::vector<uint32_t> keys_;  // colour + 1, 0 when empty
    std::vector<uint8_t> index_;
  };

  // The bitmap was found gray at construction (IsGrayScale).
  bool Gray() const { return gray_; }
  // N as clamped by the constructor.
  int ColorCount() const { return colorCount_; }
  // Palette entries actually produced (the rest were set to 0).
  int ProducedCount() const { return produced_; }
  // Which way the palette was made.
  enum class Source : uint8_t { None, ExactList, GrayRamp, OwnPalette, Box, Neural };
  Source PaletteSource() const { return source_; }

 private:
  struct State;
  int RGBToIndexSlow(uint32_t colour);
  // The answer of every source but the neural network, which needs a cache to be quick.
  int UncachedIndex(uint32_t colour) const;

  std::unique_ptr<State> state_;
  // 2^24 entries, index + 1 of an exact colour, 0 when unknown (exact list and own palette);
  // owned by state_.
  const uint16_t* lookup_ = nullptr;
  int colorCount_ = 0;
  int produced_ = 0;
  bool gray_ = false;
  Source source_ = Source::None;
};

}  // namespace lumenax
