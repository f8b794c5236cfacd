// The two-pass kernel resampler (filters 1 to 8): a horizontal pass from the source rows into
// a work image of target width and source height, then a vertical pass from the work image
// into the target, row by row. Samples are 8-bit with one or three channels.
//
// The first and last pixels of source and target correspond: the scale of an axis is
// (n' - 1) / (n - 1) (n' / n when either size is 1). Each target pixel takes the source
// pixels under its kernel window; indices outside the image are reflected (-j on the left,
// 2n - 1 - j on the right) and clamped. The kernel is evaluated in double; the weights of one
// target pixel are then scaled so that they sum to exactly kKernelWeightSum, and every
// result is sum(weight * sample) / sum(weight), truncated and clamped to 0..255.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "process/resample_internal.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define LX_RESAMPLE_SSE2 1
#endif

namespace lumenax::resample_detail {

bool g_useVectorCode = true;

namespace {

constexpr double kPi = 3.14159265358979323846;

double Sinc(double x) {
  if (x == 0) return 1;
  x *= kPi;
  return std::sin(x) / x;
}

}  // namespace

double KernelValue(TResampleFilter filter, double x) {
  double a = std::fabs(x);
  switch (filter) {
    case rfTriangle:
      return a < 1 ? 1 - a : 0;
    case rfHermite:
      return a < 1 ? (2 * a - 3) * a * a + 1 : 0;
    case rfBell:
      if (a < 0.5) return 0.75 - a * a;
      if (a < 1.5) return 0.5 * (a - 1.5) * (a - 1.5);
      return 0;
    case rfBSpline:
      if (a < 1) return 0.5 * a * a * a - a * a + 2.0 / 3;
      if (a < 2) return (2 - a) * (2 - a) * (2 - a) / 6;
      return 0;
    case rfLanczos3:
      return a < 3 ? Sinc(x) * Sinc(x / 3) : 0;
    case rfMitchell:
      if (a < 1) return (7 * a * a * a - 12 * a * a + 16.0 / 3) / 6;
      if (a < 2) return (-(7.0 / 3) * a * a * a + 12 * a * a - 20 * a + 32.0 / 3) / 6;
      return 0;
    case rfNearest:
      return x > -0.5 && x <= 0.5 ? 1 : 0;
    case rfLinear:
      if (x >= 0 && x < 1) return 1 - x;
      if (x >= -1 && x < 0) return 1 + x;
      return 0;
    default:
      return 0;
  }
}

double KernelSupport(TResampleFilter filter) {
  switch (filter) {
    case rfBell:
      return 1.5;
    case rfBSpline:
    case rfMitchell:
      return 2.0;
    case rfLanczos3:
      return 3.0;
    default:
      return 1.0;
  }
}

namespace {

// The weights of one axis. Target pixel i reads source pixels first[i] .. first[i] + taps - 1
// with the weights w[i * taps ..]; short windows are padded with zero weights.
struct AxisWeights {
  int taps = 0;
  std::vector<int> first;
  std::vector<int32_t> w;
  // Every weight fits 16 bits (the vector code multiplies 16-bit words).
  bool small = true;
};

// Reflection at the edges, then clamping, as the two-pass rule has it.
int Reflect(int64_t j, int n) {
  if (j < 0) j = -j;
  if (j >= n) j = 2 * int64_t(n) - 1 - j;
  return int(std::clamp<int64_t>(j, 0, n - 1));
}

// Weights of an axis of n source pixels resampled to n2; taps is rounded up to a multiple of
// align.
AxisWeights ComputeWeights(int n, int n2, TResampleFilter filter, int align) {
  const double support = KernelSupport(filter);
  const double f = (n == 1 || n2 == 1) ? double(n2) / n : double(n2 - 1) / (n - 1);
  const double width = f >= 1 ? support : support / f;
  struct Window {
    int first;
    std::vector<int32_t> w;
  };
  std::vector<Window> windows(static_cast<size_t>(n2));
  std::vector<double> d;
  int maxTaps = 1;
  for (int i = 0; i < n2; ++i) {
    const double c = i / f;
    const int64_t lo = int64_t(std::floor(c - width)), hi = int64_t(std::ceil(c + width));
    // Reflected indices stay inside lo .. hi clipped to the image, so one dense window holds
    // the weights of every index.
    int a = Reflect(std::max<int64_t>(lo, 0), n), b = Reflect(std::min<int64_t>(hi, n - 1), n);
    for (int64_t j = lo; j <= hi; ++j) {
      int r = Reflect(j, n);
      a = std::min(a, r);
      b = std::max(b, r);
    }
    d.assign(size_t(b - a + 1), 0.0);
    for (int64_t j = lo; j <= hi; ++j) {
      double v = f >= 1 ? KernelValue(filter, c - double(j))
                        : KernelValue(filter, (c - double(j)) * f) * f;
      d[size_t(Reflect(j, n) - a)] += v;
    }
    double total = 0;
    for (double v : d) total += v;
    Window& win = windows[size_t(i)];
    std::vector<int32_t> q(d.size());
    double absTotal = 0;
    for (double v : d) absTotal += std::fabs(v);
    if (total > 1e-6 && absTotal / total < 64) {
      int64_t sum = 0;
      size_t largest = 0;
      for (size_t k = 0; k < d.size(); ++k) {
        q[k] = int32_t(std::nearbyint(d[k] / total * kKernelWeightSum));
        sum += q[k];
        if (std::abs(q[k]) > std::abs(q[largest])) largest = k;
      }
      // Rounding leaves the sum a little off: the largest weight takes the difference.
      q[largest] += int32_t(kKernelWeightSum - sum);
    } else {
      // No usable weights: the nearest source pixel.
      std::fill(q.begin(), q.end(), 0);
      q[size_t(Reflect(int64_t(std::floor(c + 0.5)), n) - a)] = kKernelWeightSum;
    }
    size_t s = 0, e = q.size();
    while (s < e && q[s] == 0) ++s;
    while (e > s && q[e - 1] == 0) --e;
    win.first = a + int(s);
    win.w.assign(q.begin() + std::ptrdiff_t(s), q.begin() + std::ptrdiff_t(e));
    maxTaps = std::max(maxTaps, int(win.w.size()));
  }
  AxisWeights aw;
  aw.taps = (maxTaps + align - 1) / align * align;
  aw.first.resize(size_t(n2));
  aw.w.assign(size_t(n2) * size_t(aw.taps), 0);
  for (int i = 0; i < n2; ++i) {
    const Window& win = windows[size_t(i)];
    aw.first[size_t(i)] = win.first;
    for (size_t k = 0; k < win.w.size(); ++k) {
      aw.w[size_t(i) * aw.taps + k] = win.w[k];
      if (win.w[k] > 32767 || win.w[k] < -32768) aw.small = false;
    }
  }
  return aw;
}

uint8_t Clamp8(int32_t acc) {
  return acc < 0 ? 0 : uint8_t(std::min(255, acc >> kKernelWeightBits));
}

// ---------------------------------------------------------------- portable loops

void HorizontalPortable(const uint8_t* src, int C, const AxisWeights& aw, int n2, uint8_t* out) {
  for (int i = 0; i < n2; ++i) {
    const int32_t* w = &aw.w[size_t(i) * aw.taps];
    const uint8_t* p = src + size_t(aw.first[size_t(i)]) * C;
    for (int c = 0; c < C; ++c) {
      int32_t acc = 0;
      for (int t = 0; t < aw.taps; ++t) acc += w[t] * p[t * C + c];
      out[i * C + c] = Clamp8(acc);
    }
  }
}

void VerticalPortable(const uint8_t* const* rows, const int32_t* w, int taps, size_t n,
                      uint8_t* out, size_t from) {
  for (size_t k = from; k < n; ++k) {
    int32_t acc = 0;
    for (int t = 0; t < taps; ++t) acc += w[t] * rows[t][k];
    out[k] = Clamp8(acc);
  }
}

#if LX_RESAMPLE_SSE2

// Weight words for the vector loops. Three channels: per tap pair (w0, w1) repeated for blue,
// green and red, then two zero words. One channel: eight taps in a row.
std::vector<int16_t> PackWeights(const AxisWeights& aw, int C, int n2) {
  std::vector<int16_t> v;
  if (C == 3) {
    const int pairs = aw.taps / 2;
    v.assign(size_t(n2) * size_t(pairs) * 8, 0);
    for (int i = 0; i < n2; ++i) {
      for (int t = 0; t < pairs; ++t) {
        int16_t* o = &v[(size_t(i) * pairs + t) * 8];
        const int32_t* w = &aw.w[size_t(i) * aw.taps + 2 * t];
        for (int c = 0; c < 3; ++c) o[2 * c] = int16_t(w[0]), o[2 * c + 1] = int16_t(w[1]);
      }
    }
  } else {
    v.assign(aw.w.size(), 0);
    for (size_t k = 0; k < aw.w.size(); ++k) v[k] = int16_t(aw.w[k]);
  }
  return v;
}

// Three channels: the words of pixels x and x + 1 are paired (b0 b1 g0 g1 r0 r1 . .) and
// multiplied with a tap pair in one step.
void Horizontal3Sse2(const uint8_t* src, const AxisWeights& aw, const int16_t* weights, int n2,
                     uint8_t* out) {
  const int pairs = aw.taps / 2;
  const __m128i zero = _mm_setzero_si128();
  for (int i = 0; i < n2; ++i) {
    const uint8_t* p = src + size_t(aw.first[size_t(i)]) * 3;
    const __m128i* k = reinterpret_cast<const __m128i*>(weights + size_t(i) * pairs * 8);
    __m128i acc = zero;
    for (int t = 0; t < pairs; ++t) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 6 * t));
      __m128i u = _mm_unpacklo_epi8(v, zero);
      __m128i pair = _mm_unpacklo_epi16(u, _mm_srli_si128(u, 6));
      acc = _mm_add_epi32(acc, _mm_madd_epi16(pair, _mm_loadu_si128(k + t)));
    }
    acc = _mm_srai_epi32(acc, kKernelWeightBits);
    acc = _mm_packus_epi16(_mm_packs_epi32(acc, acc), zero);
    int32_t bgr = _mm_cvtsi128_si32(acc);
    std::memcpy(out + size_t(i) * 3, &bgr, 4);  // the fourth byte is overwritten next
  }
}

// One channel: eight taps per step, summed across the register at the end.
void Horizontal1Sse2(const uint8_t* src, const AxisWeights& aw, const int16_t* weights, int n2,
                     uint8_t* out) {
  const int steps = aw.taps / 8;
  const __m128i zero = _mm_setzero_si128();
  for (int i = 0; i < n2; ++i) {
    const uint8_t* p = src + aw.first[size_t(i)];
    const int16_t* k = weights + size_t(i) * aw.taps;
    __m128i acc = zero;
    for (int t = 0; t < steps; ++t) {
      __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 8 * t));
      __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(k + 8 * t));
      acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpacklo_epi8(v, zero), w));
    }
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, 0x4E));
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, 0xB1));
    out[i] = Clamp8(_mm_cvtsi128_si32(acc));
  }
}

// Sixteen samples at a time; work rows are taken two by two, their bytes interleaved as
// words and multiplied with a weight pair.
size_t VerticalSse2(const uint8_t* const* rows, const int32_t* w, int taps, size_t n,
                    uint8_t* out) {
  const __m128i zero = _mm_setzero_si128();
  size_t k = 0;
  for (; k + 16 <= n; k += 16) {
    __m128i acc0 = zero, acc1 = zero, acc2 = zero, acc3 = zero;
    for (int t = 0; t < taps; t += 2) {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[t] + k));
      __m128i b = zero;
      int32_t w1 = 0;
      if (t + 1 < taps) {
        b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[t + 1] + k));
        w1 = w[t + 1];
      }
      __m128i wv = _mm_set1_epi32(int32_t(uint32_t(uint16_t(w[t])) | (uint32_t(w1) << 16)));
      __m128i alo = _mm_unpacklo_epi8(a, zero), ahi = _mm_unpackhi_epi8(a, zero);
      __m128i blo = _mm_unpacklo_epi8(b, zero), bhi = _mm_unpackhi_epi8(b, zero);
      acc0 = _mm_add_epi32(acc0, _mm_madd_epi16(_mm_unpacklo_epi16(alo, blo), wv));
      acc1 = _mm_add_epi32(acc1, _mm_madd_epi16(_mm_unpackhi_epi16(alo, blo), wv));
      acc2 = _mm_add_epi32(acc2, _mm_madd_epi16(_mm_unpacklo_epi16(ahi, bhi), wv));
      acc3 = _mm_add_epi32(acc3, _mm_madd_epi16(_mm_unpackhi_epi16(ahi, bhi), wv));
    }
    __m128i lo = _mm_packs_epi32(_mm_srai_epi32(acc0, kKernelWeightBits),
                                 _mm_srai_epi32(acc1, kKernelWeightBits));
    __m128i hi = _mm_packs_epi32(_mm_srai_epi32(acc2, kKernelWeightBits),
                                 _mm_srai_epi32(acc3, kKernelWeightBits));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm_packus_epi16(lo, hi));
  }
  return k;
}

#endif

}  // namespace

Outcome KernelResample(RowSource8& source, RowSink8& sink, TResampleFilter filter,
                       Progress& progress) {
  const int W = source.Width, H = source.Height, C = source.Channels;
  const int W2 = sink.Width(), H2 = sink.Height();
  const size_t rowBytes = size_t(W2) * size_t(C);

  if (W < 2 && H < 2) {
    // A single pixel: every target pixel is that pixel.
    const uint8_t* s = source.Row(0);
    uint8_t* t = sink.Buffer();
    for (int i = 0; i < W2; ++i) std::memcpy(t + size_t(i) * C, s, size_t(C));
    for (int j = 0; j < H2; ++j) {
      sink.Put(j);
      if (!progress.Step(int(double(j + 1) * 100 / (H2 + 0.5)))) return Outcome::Cancelled;
    }
    return Outcome::Done;
  }

  bool vector = false;
#if LX_RESAMPLE_SSE2
  vector = g_useVectorCode;
#endif
  const AxisWeights horizontal = ComputeWeights(W, W2, filter, vector && C == 1 ? 8 : 2);
  const AxisWeights vertical = ComputeWeights(H, H2, filter, 1);
  vector = vector && horizontal.small && vertical.small && (C == 1 || C == 3);

  TLxWorkBitmap work;
  if (!work.Allocate(W2, H, 8 * C)) return Outcome::OutOfMemory;
  const double p = 100.0 / (W2 + H + 0.5);

  // Source rows are copied into a buffer with zeros after the last pixel, which the padded
  // windows and the vector loads read.
  std::vector<uint8_t> row(size_t(W + horizontal.taps + 16) * size_t(C) + 16, 0);
  std::vector<uint8_t> out(rowBytes + 16);
#if LX_RESAMPLE_SSE2
  std::vector<int16_t> packed;
  if (vector) packed = PackWeights(horizontal, C, W2);
#endif
  for (int y = 0; y < H; ++y) {
    std::memcpy(row.data(), source.Row(y), size_t(W) * size_t(C));
#if LX_RESAMPLE_SSE2
    if (vector && C == 3)
      Horizontal3Sse2(row.data(), horizontal, packed.data(), W2, out.data());
    else if (vector)
      Horizontal1Sse2(row.data(), horizontal, packed.data(), W2, out.data());
    else
#endif
      HorizontalPortable(row.data(), C, horizontal, W2, out.data());
    std::memcpy(work.ScanLine(y), out.data(), rowBytes);
    if (!progress.Step(int((y + 1) * p))) return Outcome::Cancelled;
  }

  std::vector<const uint8_t*> rows(static_cast<size_t>(vertical.taps));
  for (int j = 0; j < H2; ++j) {
    const int first = vertical.first[size_t(j)];
    const int32_t* w = &vertical.w[size_t(j) * vertical.taps];
    // Zero weights past the image's last row read that row.
    for (int t = 0; t < vertical.taps; ++t)
      rows[size_t(t)] = work.ScanLine(std::min(first + t, H - 1));
    uint8_t* t = sink.Buffer();
    size_t done = 0;
#if LX_RESAMPLE_SSE2
    if (vector) done = VerticalSse2(rows.data(), w, vertical.taps, rowBytes, t);
#endif
    VerticalPortable(rows.data(), w, vertical.taps, rowBytes, t, done);
    sink.Put(j);
    if (!progress.Step(int((H + double(j + 1) * W2 / H2) * p))) return Outcome::Cancelled;
  }
  return Outcome::Done;
}

}  // namespace lumenax::resample_detail
