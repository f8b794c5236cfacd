// Box-splitting quantizer on a 5-bit-per-channel histogram.
//
// A box covers a range of bins in each channel (upper bound exclusive). Its error is the sum
// over the channels of the bins' squared spread about the box's mean bin, divided by the
// number of pixels in the image. Splits cut one channel at the bin that best separates the
// mass around the mean; the channel whose two parts end with the smallest summed error wins.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "bitmap/bitmap.h"
#include "quantize/reducers.h"

namespace lumenax::quant {
namespace {

constexpr int kBins = 32;
constexpr int kMaxBoxes = 256;

// Channels in the order the split tries them.
enum { kRed = 0, kGreen = 1, kBlue = 2 };

struct Box {
  int lo[3] = {0, 0, 0};
  int hi[3] = {kBins, kBins, kBins};
  uint64_t count = 0;
  uint64_t hist[3][kBins] = {};
  double mean[3] = {0, 0, 0};
  double error = 0;
};

inline size_t Cell(int r, int g, int b) {
  return size_t(r) << 10 | size_t(g) << 5 | size_t(b);
}

// Channel histograms, count, means and error of the box's current bounds.
void Measure(Box& box, const std::vector<uint32_t>& table, double totalPixels) {
  std::memset(box.hist, 0, sizeof box.hist);
  uint64_t count = 0;
  for (int r = box.lo[kRed]; r < box.hi[kRed]; ++r) {
    for (int g = box.lo[kGreen]; g < box.hi[kGreen]; ++g) {
      const uint32_t* cells = &table[Cell(r, g, 0)];
      uint64_t line = 0;
      for (int b = box.lo[kBlue]; b < box.hi[kBlue]; ++b) {
        uint32_t n = cells[b];
        if (!n) continue;
        box.hist[kBlue][b] += n;
        line += n;
      }
      box.hist[kGreen][g] += line;
      box.hist[kRed][r] += line;
      count += line;
    }
  }
  box.count = count;
  box.error = 0;
  for (int c = 0; c < 3; ++c) {
    double sum = 0, squares = 0;
    for (int e = box.lo[c]; e < box.hi[c]; ++e) {
      double n = double(box.hist[c][e]);
      sum += n * e;
      squares += n * e * e;
    }
    box.mean[c] = count ? sum / double(count) : 0.0;
    box.error += squares - box.mean[c] * box.mean[c] * double(count);
  }
  box.error = totalPixels > 0 ? box.error / totalPixels : 0.0;
}

// Bounds shrunk to the lowest and highest non-empty bin of each channel.
void Shrink(Box& box) {
  for (int c = 0; c < 3; ++c) {
    int lo = box.lo[c], hi = box.hi[c];
    while (lo < hi && box.hist[c][lo] == 0) ++lo;
    while (hi > lo && box.hist[c][hi - 1] == 0) --hi;
    if (lo < hi) box.lo[c] = lo, box.hi[c] = hi;
  }
}

inline uint64_t Bin(const Box& box, int c, int e) {
  return e >= 0 && e < kBins ? box.hist[c][e] : 0;
}

// The cut of channel c: the last bin of the lower part, or -1 when the channel cannot be cut.
int FindCut(const Box& box, int c) {
  if (box.hi[c] - box.lo[c] <= 1 || box.count == 0) return -1;
  const double mean = box.mean[c];
  const double count = double(box.count);
  // Halves round to even, as nearbyint does in the default rounding mode.
  int start = int(std::nearbyint((box.lo[c] + mean) * 0.5));
  int end = int(std::nearbyint((mean + box.hi[c]) * 0.5));
  uint64_t s = 0;
  for (int e = box.lo[c]; e < start; ++e) s += Bin(box, c, e);
  double t = 0, best = -1;
  int cut = -1;
  uint64_t lower = 0;
  for (int e = start; e <= end; ++e) {
    uint64_t n = Bin(box, c, e);
    s += n;
    if (s == box.count) break;
    t += double(n) * e / count;
    double d = mean - t;
    double score = double(s) / double(box.count - s) * d * d;
    if (score > best) best = score, cut = e, lower = s;
  }
  if (cut < 0 || lower == 0 || lower == box.count) return -1;
  return cut;
}

// Splits box into lower (kept in box) and upper (returned in upper); false when no channel
// can be cut.
bool Split(Box& box, Box& upper, const std::vector<uint32_t>& table, double totalPixels) {
  bool found = false;
  double bestError = 0;
  Box bestLow, bestHigh;
  for (int c = kRed; c <= kBlue; ++c) {
    int cut = FindCut(box, c);
    if (cut < 0) continue;
    Box low = box, high = box;
    low.hi[c] = cut + 1;
    high.lo[c] = cut + 1;
    Measure(low, table, totalPixels);
    Measure(high, table, totalPixels);
    if (low.count == 0 || high.count == 0) continue;
    // Dropping empty edge bins changes neither the count, the means nor the error.
    Shrink(low);
    Shrink(high);
    double sum = low.error + high.error;
    if (!found || sum < bestError) {
      found = true;
      bestError = sum;
      bestLow = low;
      bestHigh = high;
    }
  }
  if (!found) return false;
  box = bestLow;
  upper = bestHigh;
  return true;
}

}  // namespace

int BoxQuantizer::Build(TLxBitmap& bitmap, int n, TRGB* palette) {
  n = std::clamp(n, 1, kMaxBoxes);
  std::vector<uint32_t> table(size_t(kBins) * kBins * kBins, 0);
  const int w = bitmap.Width(), h = bitmap.Height();
  for (int y = 0; y < h; ++y) {
    const uint8_t* p = bitmap.ScanLine(y);
    for (int x = 0; x < w; ++x, p += 3) ++table[Cell(p[2] >> 3, p[1] >> 3, p[0] >> 3)];
  }
  const double totalPixels = double(w) * double(h);

  std::vector<Box> boxes(1);
  boxes.reserve(kMaxBoxes);
  Measure(boxes[0], table, totalPixels);  // the first box keeps bounds 0..32

  while (int(boxes.size()) < n) {
    int pick = -1;
    double largest = 0;
    for (size_t i = 0; i < boxes.size(); ++i) {
      if (boxes[i].error > largest) largest = boxes[i].error, pick = int(i);
    }
    if (pick < 0) break;
    Box upper;
    if (Split(boxes[size_t(pick)], upper, table, totalPixels))
      boxes.push_back(upper);
    else
      boxes[size_t(pick)].error = 0;
  }

  std::fill(index_.begin(), index_.end(), uint8_t(0));
  for (size_t i = 0; i < boxes.size(); ++i) {
    const Box& b = boxes[i];
    auto component = [&](int c) { return uint8_t(int(std::nearbyint(b.mean[c])) * 8); };
    palette[i] = CreateRGB(component(kRed), component(kGreen), component(kBlue));
    for (int r = b.lo[kRed]; r < b.hi[kRed]; ++r)
      for (int g = b.lo[kGreen]; g < b.hi[kGreen]; ++g)
        for (int bl = b.lo[kBlue]; bl < b.hi[kBlue]; ++bl) index_[Cell(r, g, bl)] = uint8_t(i);
  }
  return int(boxes.size());
}

}  // namespace lumenax::quant
