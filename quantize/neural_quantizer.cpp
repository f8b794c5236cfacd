// NeuQuant neural-network quantizer (Anthony Dekker's self-organising map), in 32-bit integer
// arithmetic. Colours are scaled by 16 while learning; frequencies and biases steer every
// neuron into use.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>

#include "bitmap/bitmap.h"
#include "quantize/quantizer.h"
#include "quantize/reducers.h"

namespace lumenax::quant {
namespace {

constexpr int kNetBiasShift = 4;                           // colours are learnt times 16
constexpr int kIntBias = 1 << 16;                          // frequency scale
constexpr int kBetaShift = 10;                             // frequency loss 1/1024
constexpr int kBeta = kIntBias >> kBetaShift;              // 64
constexpr int kBetaGamma = kIntBias << (10 - kBetaShift);  // 65536
constexpr int kRadiusBiasShift = 6;
constexpr int kRadiusBias = 1 << kRadiusBiasShift;  // 64
constexpr int kRadiusDec = 30;
constexpr int kAlphaBias = 1 << 10;     // 1024
constexpr int kRadBias = 1 << 8;        // 256
constexpr int kAlphaRadBias = 1 << 18;  // 262144

// Pixel colours of a bitmap reached by pixel number (row-major).
class SampleSource {
 public:
  SampleSource(TLxBitmap& bitmap, int64_t pixels, int64_t step, int64_t samples)
      : bitmap_(bitmap), width_(bitmap.Width()) {
    // Rows in a paging file cost a file read each, so the samples are gathered in one pass
    // over the rows instead of being fetched in learning order.
    if (bitmap.Location() == lxTempFile) Gather(pixels, step, samples);
  }
  // Colour of sample number i, which lies at pixel p.
  const uint8_t* Get(int64_t i, int64_t p) {
    if (!gathered_.empty()) return &gathered_[size_t(i) * 3];
    return bitmap_.ScanLine(int(p / width_)) + 3 * (p % width_);
  }

 private:
  // Sample i lies at pixel (i * step) mod pixels. With g = gcd(step, pixels), pixel p is
  // visited only when g divides p, by the samples i = (p / g) * inverse(step / g) modulo
  // pixels / g, plus multiples of pixels / g.
  void Gather(int64_t pixels, int64_t step, int64_t samples) {
    gathered_.assign(size_t(samples) * 3, 0);
    int64_t g = std::gcd(step, pixels);
    int64_t period = pixels / g;
    int64_t inverse = period == 1 ? 0 : ModInverse((step / g) % period, period);
    int64_t first = 0;  // the first sample at the current multiple of g
    int64_t p = 0;
    for (int y = 0; y < bitmap_.Height(); ++y) {
      const uint8_t* row = bitmap_.ScanLine(y);
      for (int x = 0; x < width_; ++x, ++p) {
        if (p % g) continue;
        for (int64_t i = first; i < samples; i += period) {
          uint8_t* d = &gathered_[size_t(i) * 3];
          d[0] = row[3 * x], d[1] = row[3 * x + 1], d[2] = row[3 * x + 2];
        }
        first += inverse;
        if (first >= period) first -= period;
      }
    }
  }
  static int64_t ModInverse(int64_t a, int64_t m) {
    // Extended Euclid; a and m are coprime.
    __int128 t = 0, newT = 1, r = m, newR = a;
    while (newR != 0) {
      __int128 q = r / newR;
      __int128 tmp = t - q * newT;
      t = newT, newT = tmp;
      tmp = r - q * newR;
      r = newR, newR = tmp;
    }
    if (t < 0) t += m;
    return int64_t(t);
  }

  TLxBitmap& bitmap_;
  int64_t width_;
  std::vector<uint8_t> gathered_;
};

}  // namespace

int NeuralSamplingFactor(int64_t pixels) {
  int32_t quality = NeuralSampleQuality;
  if (quality >= 0 && quality <= 100) return int((100 - quality) / 100.0 * 29) + 1;
  if (pixels < 2000) return 1;
  double f = std::nearbyint(double(pixels - 2000) * 13 / 148000 + 2);
  return int(std::clamp(f, 1.0, 30.0));
}

void NeuralQuantizer::Build(TLxBitmap& bitmap, int n, int f, TRGB* palette) {
  n = std::clamp(n, 1, 256);
  f = std::clamp(f, 1, 30);
  net_.assign(size_t(n), Neuron{});
  std::vector<int> freq(size_t(n), 0), bias(size_t(n), 0);
  for (int i = 0; i < n; ++i) {
    int v = (i << (kNetBiasShift + 8)) / n;
    net_[size_t(i)] = Neuron{v, v, v, i};
    freq[size_t(i)] = kIntBias / n;
  }

  const int64_t pixels = int64_t(bitmap.Width()) * bitmap.Height();
  if (pixels > 0) {
    const int64_t samples = pixels / f;
    const int alphaDec = 30 + (f - 1) / 3;
    int64_t delta = samples / 100;
    if (delta == 0) delta = 1;
    int alpha = kAlphaBias;
    int radius = (n >> 3) * kRadiusBias;
    int rad = radius >> kRadiusBiasShift;
    if (rad <= 1) rad = 0;
    int radPower[32] = {};
    auto weights = [&] {
      for (int j = 0; j < rad; ++j)
        radPower[j] = alpha * (((rad * rad - j * j) * kRadBias) / (rad * rad));
    };
    weights();

    const int64_t bytes = pixels * 3;
    int64_t step;
    if (bytes % 499 != 0)
      step = 499;
    else if (bytes % 491 != 0)
      step = 491;
    else if (bytes % 487 != 0)
      step = 487;
    else
      step = 503;

    SampleSource source(bitmap, pixels, step, samples);
    int64_t pos = 0;
    for (int64_t i = 0; i < samples;) {
      const uint8_t* px = source.Get(i, pos);
      const int b = px[0] << kNetBiasShift, g = px[1] << kNetBiasShift, r = px[2] << kNetBiasShift;

      // Competition: nearest neuron, and nearest after the bias that favours rare winners.
      int bestD = 0x7FFFFFFF, bestBiasD = 0x7FFFFFFF, bestPos = -1, bestBiasPos = -1;
      for (int k = 0; k < n; ++k) {
        const Neuron& nr = net_[size_t(k)];
        int d = std::abs(nr.b - b) + std::abs(nr.g - g) + std::abs(nr.r - r);
        if (d < bestD) bestD = d, bestPos = k;
        int biasD = d - (bias[size_t(k)] >> (16 - kNetBiasShift));
        if (biasD < bestBiasD) bestBiasD = biasD, bestBiasPos = k;
        int betaFreq = freq[size_t(k)] >> kBetaShift;
        freq[size_t(k)] -= betaFreq;
        bias[size_t(k)] += betaFreq << 10;
      }
      freq[size_t(bestPos)] += kBeta;
      bias[size_t(bestPos)] -= kBetaGamma;
      const int winner = bestBiasPos;

      Neuron& w = net_[size_t(winner)];
      w.b -= (w.b - b) * alpha / kAlphaBias;
      w.g -= (w.g - g) * alpha / kAlphaBias;
      w.r -= (w.r - r) * alpha / kAlphaBias;

      if (rad) {
        int lo = std::max(winner - rad, -1), hi = std::min(winner + rad, n);
        int j = winner + 1, k = winner - 1, m = 1;
        while (j < hi || k > lo) {
          int a = radPower[m++];
          if (j < hi) {
            Neuron& p = net_[size_t(j++)];
            p.b -= (p.b - b) * a / kAlphaRadBias;
            p.g -= (p.g - g) * a / kAlphaRadBias;
            p.r -= (p.r - r) * a / kAlphaRadBias;
          }
          if (k > lo) {
            Neuron& p = net_[size_t(k--)];
            p.b -= (p.b - b) * a / kAlphaRadBias;
            p.g -= (p.g - g) * a / kAlphaRadBias;
            p.r -= (p.r - r) * a / kAlphaRadBias;
          }
        }
      }

      pos += step;
      if (pos >= pixels) pos %= pixels;
      ++i;
      if (i % delta == 0) {
        alpha -= alpha / alphaDec;
        radius -= radius / kRadiusDec;
        rad = radius >> kRadiusBiasShift;
        if (rad <= 1) rad = 0;
        weights();
      }
    }
  }

  for (int i = 0; i < n; ++i) {
    Neuron& nr = net_[size_t(i)];
    nr.b /= 1 << kNetBiasShift;
    nr.g /= 1 << kNetBiasShift;
    nr.r /= 1 << kNetBiasShift;
    palette[i] = CreateRGB(uint8_t(nr.r), uint8_t(nr.g), uint8_t(nr.b));
  }

  byIndex_ = net_;
  // Selection sort by green and the start table of each green value.
  int previous = 0, start = 0;
  for (int i = 0; i < n; ++i) {
    int smallPos = i, smallVal = net_[size_t(i)].g;
    for (int j = i + 1; j < n; ++j) {
      if (net_[size_t(j)].g < smallVal) smallPos = j, smallVal = net_[size_t(j)].g;
    }
    if (smallPos != i) std::swap(net_[size_t(i)], net_[size_t(smallPos)]);
    if (smallVal != previous) {
      netIndex_[previous] = (start + i) >> 1;
      for (int j = previous + 1; j < smallVal; ++j) netIndex_[j] = i;
      previous = smallVal;
      start = i;
    }
  }
  netIndex_[previous] = (start + n - 1) >> 1;
  for (int j = previous + 1; j < 256; ++j) netIndex_[j] = n - 1;
}

int NeuralQuantizer::Index(uint32_t colour, int hint) const {
  const int b = int(colour & 0xFF), g = int((colour >> 8) & 0xFF), r = int((colour >> 16) & 0xFF);
  const int n = int(net_.size());
  int bestD = 1000, best = -1;
  if (hint >= 0 && hint < n) {
    // Neurons at the hint's distance or beyond cannot win, and whatever the bound prunes
    // lies at least that far away, so the first neuron at the least distance is unchanged.
    const Neuron& h = byIndex_[size_t(hint)];
    bestD = std::min(bestD, std::abs(h.g - g) + std::abs(h.b - b) + std::abs(h.r - r) + 1);
  }
  int i = netIndex_[g], j = i - 1;
  while (i < n || j >= 0) {
    if (i < n) {
      const Neuron& p = net_[size_t(i)];
      int d = p.g - g;
      if (d >= bestD) {
        i = n;
      } else {
        ++i;
        if (d < 0) d = -d;
        d += std::abs(p.b - b);
        if (d < bestD) {
          d += std::abs(p.r - r);
          if (d < bestD) bestD = d, best = p.index;
        }
      }
    }
    if (j >= 0) {
      const Neuron& p = net_[size_t(j)];
      int d = g - p.g;
      if (d >= bestD) {
        j = -1;
      } else {
        --j;
        if (d < 0) d = -d;
        d += std::abs(p.b - b);
        if (d < bestD) {
          d += std::abs(p.r - r);
          if (d < bestD) bestD = d, best = p.index;
        }
      }
    }
  }
  return best;
}

}  // namespace lumenax::quant
