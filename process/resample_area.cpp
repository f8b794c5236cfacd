// The area-weighted resampler (rfBilinear, rfBicubic) on 8- and 16-bit samples.
//
// Each axis is cut at the source and the target pixel boundaries. A target pixel is the sum
// of the pieces of source area it covers, each piece weighted by its width and height, over
// the area of the target pixel, truncated. Along a reduced axis a piece takes its source
// pixel; along an enlarged one it takes the value interpolated at the piece's centre, linearly
// (rfBilinear) or by cubic convolution over four neighbours (rfBicubic), edge pixels
// repeating.
//
// Lengths are integers: with g = gcd(n, n'), a source pixel is n'/g units long and a target
// pixel n/g units, so the pieces of a reduced axis have whole lengths and their weights sum to
// exactly the target pixel's length. Interpolation weights along an enlarged axis are scaled
// to sum to exactly 2^16. Either way a uniform image keeps its exact value.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "process/resample_internal.h"

namespace lumenax::resample_detail {

namespace {

constexpr int64_t kInterpolationSum = 1 << 16;
// Reduced axes longer than this many units per target pixel are scaled like enlarged ones.
constexpr int64_t kMaxExactUnits = 1 << 20;

struct AreaAxis {
  std::vector<int> first;
  std::vector<int> count;
  std::vector<std::vector<int64_t>> w;
  int64_t denominator = 1;
  int64_t maxAbsSum = 1;  // largest sum of |weight| of one target pixel
  int maxCount = 1;
};

double K1(double x) {
  x = std::fabs(x);
  return x * x * x - 2 * x * x + 1;
}
double K2(double x) {
  x = std::fabs(x);
  return 5 * x * x - x * x * x - 8 * x + 4;
}

// Scales weights that sum to about 1 into integers that sum to exactly kInterpolationSum.
std::vector<int64_t> Quantize(const std::vector<double>& v) {
  double total = 0;
  for (double x : v) total += x;
  std::vector<int64_t> q(v.size());
  int64_t sum = 0;
  size_t largest = 0;
  for (size_t k = 0; k < v.size(); ++k) {
    q[k] = total != 0 ? int64_t(std::nearbyint(v[k] / total * kInterpolationSum)) : 0;
    sum += q[k];
    if (std::llabs(q[k]) > std::llabs(q[largest])) largest = k;
  }
  q[largest] += kInterpolationSum - sum;
  return q;
}

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

AreaAxis ComputeAxis(int n, int n2, bool cubic) {
  AreaAxis axis;
  axis.first.resize(size_t(n2));
  axis.count.resize(size_t(n2));
  axis.w.resize(size_t(n2));
  const int64_t g = std::gcd(int64_t(n), int64_t(n2));
  const int64_t a = n2 / g;  // units per source pixel
  const int64_t b = n / g;   // units per target pixel
  const bool reduced = n >= n2;
  const bool exact = reduced && b <= kMaxExactUnits;
  axis.denominator = exact ? b : kInterpolationSum;
  for (int i = 0; i < n2; ++i) {
    const int64_t start = i * b, end = start + b;
    std::vector<int64_t>& w = axis.w[size_t(i)];
    if (reduced) {
      const int64_t x0 = start / a, x1 = std::min<int64_t>((end - 1) / a, n - 1);
      std::vector<int64_t> len;
      for (int64_t x = x0; x <= x1; ++x)
        len.push_back(std::min((x + 1) * a, end) - std::max(x * a, start));
      axis.first[size_t(i)] = int(x0);
      if (exact) {
        w = len;
      } else {
        std::vector<double> v(len.begin(), len.end());
        w = Quantize(v);
      }
    } else {
      // Pieces of this target pixel, cut where source pixels meet; each piece's value is
      // interpolated at its centre (source pixel centres at half units).
      const int reach = cubic ? 2 : 1;
      int64_t lo = std::max<int64_t>(0, start / a - reach),
              hi = std::min<int64_t>(n - 1, (end - 1) / a + reach + 1);
      std::vector<double> v(size_t(hi - lo + 1), 0.0);
      auto add = [&](int64_t x, double weight) {
        v[size_t(std::clamp<int64_t>(x, 0, n - 1) - lo)] += weight;
      };
      for (int64_t s0 = start; s0 < end;) {
        const int64_t s1 = std::min(end, (s0 / a + 1) * a);
        const double len = double(s1 - s0) / double(b);
        const int64_t u = s0 + s1 - a;  // centre in units of 1/(2a) source pixels, minus 1/2
        const int64_t x = FloorDiv(u, 2 * a);
        const double t = double(u - x * 2 * a) / double(2 * a);
        if (cubic) {
          add(x - 1, len * K2(t + 1));
          add(x, len * K1(t));
          add(x + 1, len * K1(1 - t));
          add(x + 2, len * K2(2 - t));
        } else {
          add(x, len * (1 - t));
          add(x + 1, len * t);
        }
        s0 = s1;
      }
      std::vector<int64_t> q = Quantize(v);
      size_t s = 0, e = q.size();
      while (s + 1 < e && q[s] == 0) ++s;
      while (e > s + 1 && q[e - 1] == 0) --e;
      axis.first[size_t(i)] = int(lo + int64_t(s));
      w.assign(q.begin() + std::ptrdiff_t(s), q.begin() + std::ptrdiff_t(e));
    }
    axis.count[size_t(i)] = int(w.size());
    axis.maxCount = std::max(axis.maxCount, int(w.size()));
    int64_t absSum = 0;
    for (int64_t x : w) absSum += std::llabs(x);
    axis.maxAbsSum = std::max(axis.maxAbsSum, absSum);
  }
  return axis;
}

// acc / d truncated toward zero, negative results 0, then at most maxValue; through a double
// reciprocal, corrected to the exact quotient.
template <typename Acc>
inline int64_t Divide(Acc acc, int64_t d, double inv, int64_t maxValue) {
  if (acc <= 0) return 0;
  int64_t q = int64_t(double(acc) * inv);
  if (q * d > int64_t(acc)) --q;
  if ((q + 1) * d <= int64_t(acc)) ++q;
  return std::min(q, maxValue);
}

// The two axes as one separable sum: each source row is reduced horizontally once (kept in a
// ring of rows while target rows need it), then the target row is the weighted sum of those.
template <typename Sample, typename Acc, typename Read, typename Write>
Outcome AreaCore(int C, const AreaAxis& ax, const AreaAxis& ay, int64_t maxValue, Read read,
                 Write write, Progress& progress) {
  const int W2 = int(ax.first.size()), H2 = int(ay.first.size());
  const size_t n = size_t(W2) * size_t(C);
  // The horizontal weights in one array: target pixel i's start at offset[i].
  std::vector<Acc> wx;
  std::vector<size_t> offset(size_t(W2) + 1);
  for (int i = 0; i < W2; ++i) {
    offset[size_t(i)] = wx.size();
    for (int64_t w : ax.w[size_t(i)]) wx.push_back(Acc(w));
  }
  offset[size_t(W2)] = wx.size();
  const int ring = ay.maxCount;
  std::vector<Acc> rows(size_t(ring) * n);
  std::vector<int> held(size_t(ring), -1);
  std::vector<Acc> acc(n);
  std::vector<Sample> out(n);
  const int64_t d = ax.denominator * ay.denominator;
  const double inv = 1.0 / double(d);
  // A denominator that is a power of two divides by a shift.
  int shift = -1;
  if ((d & (d - 1)) == 0)
    for (shift = 0; (int64_t(1) << shift) < d;) ++shift;
  for (int j = 0; j < H2; ++j) {
    std::fill(acc.begin(), acc.end(), Acc(0));
    for (int m = 0; m < ay.count[size_t(j)]; ++m) {
      const int y = ay.first[size_t(j)] + m;
      Acc* h = &rows[size_t(y % ring) * n];
      if (held[size_t(y % ring)] != y) {
        const Sample* s = read(y);
        for (int i = 0; i < W2; ++i) {
          const Acc* w = wx.data() + offset[size_t(i)];
          const size_t taps = offset[size_t(i) + 1] - offset[size_t(i)];
          const Sample* p = s + size_t(ax.first[size_t(i)]) * C;
          if (C == 3) {
            Acc s0 = 0, s1 = 0, s2 = 0;
            for (size_t k = 0; k < taps; ++k, p += 3) {
              s0 += w[k] * Acc(p[0]);
              s1 += w[k] * Acc(p[1]);
              s2 += w[k] * Acc(p[2]);
            }
            h[size_t(i) * 3] = s0, h[size_t(i) * 3 + 1] = s1, h[size_t(i) * 3 + 2] = s2;
          } else {
            Acc sum = 0;
            for (size_t k = 0; k < taps; ++k) sum += w[k] * Acc(p[k]);
            h[i] = sum;
          }
        }
        held[size_t(y % ring)] = y;
      }
      const Acc wy = Acc(ay.w[size_t(j)][size_t(m)]);
      for (size_t k = 0; k < n; ++k) acc[k] += wy * h[k];
    }
    if (shift >= 0) {
      for (size_t k = 0; k < n; ++k)
        out[k] = Sample(acc[k] <= 0 ? 0 : std::min<int64_t>(int64_t(acc[k]) >> shift, maxValue));
    } else {
      for (size_t k = 0; k < n; ++k) out[k] = Sample(Divide(acc[k], d, inv, maxValue));
    }
    write(j, out.data());
    if (!progress.Step(int(double(j + 1) / H2 * 100))) return Outcome::Cancelled;
  }
  return Outcome::Done;
}

// 32-bit sums when no sum of one target pixel can pass 2^31.
bool Fits32(const AreaAxis& ax, const AreaAxis& ay, int64_t maxValue) {
  return ax.maxAbsSum < (int64_t(1) << 31) / maxValue &&
         ay.maxAbsSum < (int64_t(1) << 31) / (maxValue * ax.maxAbsSum);
}

}  // namespace

Outcome AreaResample8(RowSource8& source, RowSink8& sink, bool cubic, Progress& progress) {
  const int W = source.Width, H = source.Height, C = source.Channels;
  const AreaAxis ax = ComputeAxis(W, sink.Width(), cubic);
  const AreaAxis ay = ComputeAxis(H, sink.Height(), cubic);
  auto read = [&source](int y) { return source.Row(y); };
  const size_t bytes = size_t(sink.Width()) * size_t(C);
  auto writeRow = [&sink, bytes](int j, const uint8_t* row) {
    std::memcpy(sink.Buffer(), row, bytes);
    sink.Put(j);
  };
  if (Fits32(ax, ay, 255))
    return AreaCore<uint8_t, int32_t>(C, ax, ay, 255, read, writeRow, progress);
  return AreaCore<uint8_t, int64_t>(C, ax, ay, 255, read, writeRow, progress);
}

Outcome AreaResample16(TLxBitmap& source, TLxBitmap& target, bool cubic, Progress& progress) {
  const int W = source.Width(), H = source.Height();
  const int C = source.PixelFormat() == lxRGB48 ? 3 : 1;
  const AreaAxis ax = ComputeAxis(W, target.Width(), cubic);
  const AreaAxis ay = ComputeAxis(H, target.Height(), cubic);
  std::vector<uint16_t> row(size_t(W) * size_t(C));
  auto read = [&](int y) {
    std::memcpy(row.data(), source.ScanLine(y), row.size() * 2);
    return static_cast<const uint16_t*>(row.data());
  };
  const size_t bytes = size_t(target.Width()) * size_t(C) * 2;
  auto write = [&target, bytes](int j, const uint16_t* out) {
    std::memcpy(target.ScanLine(j), out, bytes);
  };
  if (Fits32(ax, ay, 65535))
    return AreaCore<uint16_t, int32_t>(C, ax, ay, 65535, read, write, progress);
  return AreaCore<uint16_t, int64_t>(C, ax, ay, 65535, read, write, progress);
}

}  // namespace lumenax::resample_detail
