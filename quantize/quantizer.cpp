#include "quantize/quantizer.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "bitmap/bitmap.h"
#include "quantize/reducers.h"

namespace lumenax {

int32_t QuantizerMethod = -1;
int32_t NeuralSampleQuality = -1;

namespace {

constexpr size_t kLookupSize = size_t(1) << 24;
constexpr int kCacheBits = 16;
constexpr size_t kCacheSize = size_t(1) << kCacheBits;

struct FreeDeleter {
  void operator()(uint16_t* p) const { std::free(p); }
};
using LookupTable = std::unique_ptr<uint16_t, FreeDeleter>;

// A table with one entry per 24-bit colour. It comes from calloc, so the operating system
// hands out zero pages lazily and only the pages of colours actually met are ever touched
// (at most one page per palette entry).
LookupTable NewLookup() {
  return LookupTable(static_cast<uint16_t*>(std::calloc(kLookupSize, sizeof(uint16_t))));
}

inline uint32_t Packed(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
}

// Entry i of an N-entry gray ramp.
inline uint8_t RampLevel(int i, int n) {
  return n == 1 ? 0 : uint8_t((i * 255 * 2 + (n - 1)) / (2 * (n - 1)));
}

}  // namespace

struct TLxQuantizer::State {
  LookupTable lookup;
  // The N palette entries as written (those not produced are 0), for nearest-colour answers.
  std::vector<TRGB> entries;
  uint8_t grayIndex[256] = {};
  quant::BoxQuantizer box;
  quant::NeuralQuantizer neural;
  int lastNeural = -1;
  std::vector<uint32_t> cacheKeys;  // colour + 1, 0 when empty
  std::vector<uint8_t> cacheIndex;

  // Nearest of the N entries by squared distance, the first on ties.
  int Nearest(uint32_t colour) const {
    const int b = int(colour & 0xFF), g = int((colour >> 8) & 0xFF), r = int((colour >> 16) & 0xFF);
    int best = 0, bestD = 0x7FFFFFFF;
    for (size_t i = 0; i < entries.size(); ++i) {
      int db = entries[i].b - b, dg = entries[i].g - g, dr = entries[i].r - r;
      int d = db * db + dg * dg + dr * dr;
      if (d < bestD) bestD = d, best = int(i);
    }
    return best;
  }
};

TLxQuantizer::TLxQuantizer(TLxBitmap& bitmap, TRGB* palette, int colorCount)
    : state_(std::make_unique<State>()) {
  const int n = std::min(colorCount, 256);
  if (n <= 0 || !palette) return;
  colorCount_ = n;
  std::fill(palette, palette + n, TRGB{});
  gray_ = bitmap.IsGrayScale();
  const lumenax::PixelFormat pf = bitmap.PixelFormat();
  State& st = *state_;

  if (!gray_ && pf == lx24RGB) {
    // The exact list: distinct colours in order of first appearance, abandoned at the
    // (N + 1)th. The lookup gives the same first positions a linear search of the list would.
    LookupTable table = NewLookup();
    bool fits = bool(table);
    if (fits) {
      uint16_t* t = table.get();
      int k = 0;
      const int w = bitmap.Width(), h = bitmap.Height();
      for (int y = 0; y < h && fits; ++y) {
        const uint8_t* p = bitmap.ScanLine(y);
        uint32_t previous = 0xFFFFFFFF;
        for (int x = 0; x < w; ++x, p += 3) {
          uint32_t c = Packed(p);
          if (c == previous) continue;
          previous = c;
          if (t[c]) continue;
          if (k == n) {
            fits = false;
            break;
          }
          palette[k] = TRGB{p[0], p[1], p[2]};
          t[c] = uint16_t(++k);
        }
      }
      produced_ = k;
    }
    if (fits) {
      source_ = Source::ExactList;
      st.lookup = std::move(table);
      lookup_ = st.lookup.get();
    } else {
      table.reset();
      std::fill(palette, palette + n, TRGB{});
      const bool box = QuantizerMethod == 1 || (QuantizerMethod == -1 && n < 128);
      if (box) {
        source_ = Source::Box;
        produced_ = st.box.Build(bitmap, n, palette);
      } else {
        source_ = Source::Neural;
        int64_t pixels = int64_t(bitmap.Width()) * bitmap.Height();
        st.neural.Build(bitmap, n, quant::NeuralSamplingFactor(pixels), palette);
        produced_ = n;
        st.cacheKeys.assign(kCacheSize, 0);
        st.cacheIndex.assign(kCacheSize, 0);
      }
    }
  } else if (pf == lx8p) {
    source_ = Source::OwnPalette;
    produced_ = std::min(n, bitmap.PaletteCount());
    for (int i = 0; i < produced_; ++i) palette[i] = bitmap.GetPaletteEntry(i);
    if (!gray_) {
      // Colours of the palette map to their first entry; the gray answer wins otherwise.
      st.lookup = NewLookup();
      if (st.lookup) {
        uint16_t* t = st.lookup.get();
        for (int i = produced_ - 1; i >= 0; --i) t[PackBGR(palette[i])] = uint16_t(i + 1);
        lookup_ = t;
      }
    }
  } else if (gray_) {
    // Gray ramp spread over the full range, so white stays 255 for every N:
    // entry i = round(i * 255 / (N - 1)), and each level maps to its nearest entry.
    source_ = Source::GrayRamp;
    produced_ = n;
    for (int i = 0; i < n; ++i) {
      uint8_t v = RampLevel(i, n);
      palette[i] = TRGB{v, v, v};
    }
  }
  if (gray_) {
    // Gray answers are ramp positions (for gray output formats they are the sample values),
    // also when the palette came from an lx8p bitmap.
    for (int v = 0, i = 0; v < 256; ++v) {
      while (i + 1 < n && std::abs(RampLevel(i + 1, n) - v) < std::abs(RampLevel(i, n) - v)) ++i;
      st.grayIndex[v] = uint8_t(i);
    }
  }
  st.entries.assign(palette, palette + n);
}

TLxQuantizer::~TLxQuantizer() = default;

int TLxQuantizer::RGBToIndexSlow(uint32_t colour) {
  colour &= 0xFFFFFF;
  State& st = *state_;
  if (source_ != Source::Neural) return UncachedIndex(colour);
  // The network's search visits many neurons per colour, so recent answers are kept in a
  // small direct-mapped cache (a table of all 2^24 colours would miss the processor's caches
  // on every pixel of a photo), and the previous answer bounds the search, since neighbouring
  // pixels have similar colours.
  const size_t slot = (colour * 0x9E3779B1u) >> (32 - kCacheBits);
  if (st.cacheKeys[slot] == colour + 1) return st.cacheIndex[slot];
  int index = st.neural.Index(colour, st.lastNeural);
  if (index >= 0) {
    st.lastNeural = index;
    st.cacheKeys[slot] = colour + 1;
    st.cacheIndex[slot] = uint8_t(index);
  }
  return index;
}

int TLxQuantizer::UncachedIndex(uint32_t colour) const {
  colour &= 0xFFFFFF;
  const State& st = *state_;
  switch (source_) {
    case Source::ExactList:
      return st.Nearest(colour);
    case Source::Box:
      return st.box.Index(colour);
    case Source::Neural:
      return st.neural.Index(colour);
    case Source::GrayRamp:
      return st.grayIndex[(colour >> 16) & 0xFF];
    case Source::OwnPalette:
      if (gray_) return st.grayIndex[(colour >> 16) & 0xFF];
      return st.Nearest(colour);
    case Source::None:
      break;
  }
  return 0;
}

int TLxQuantizer::Mapper::Slow(uint32_t colour) {
  colour &= 0xFFFFFF;
  if (q_.source_ != Source::Neural) return q_.UncachedIndex(colour);
  if (keys_.empty()) {
    keys_.assign(kCacheSize, 0);
    index_.assign(kCacheSize, 0);
  }
  const size_t slot = (colour * 0x9E3779B1u) >> (32 - kCacheBits);
  if (keys_[slot] == colour + 1) return index_[slot];
  int index = q_.state_->neural.Index(colour, last_);
  if (index >= 0) {
    last_ = index;
    keys_[slot] = colour + 1;
    index_[slot] = uint8_t(index);
  }
  return index;
}

}  // namespace lumenax
