// Row conversions: a portable loop for each, and 16 pixels a step with byte shuffles where
// the processor has SSSE3 (the build itself targets plain x86-64).
#include "codecs/common/pixel_rows.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define LX_PIXEL_ROWS_X86 1
#endif

namespace lumenax {
namespace {

void SwapRedBlue24Scalar(const uint8_t* src, uint8_t* dst, size_t n) {
  for (size_t x = 0; x < n; ++x, src += 3, dst += 3) {
    const uint8_t a = src[0], b = src[1], c = src[2];
    dst[0] = c, dst[1] = b, dst[2] = a;
  }
}

// Four bytes a pixel, each store overlapping the next pixel's first byte; the last pixel is
// stored on its own so nothing lands past the row.
void ExpandIndexed24Scalar(const uint8_t* index, uint8_t* dst, size_t n,
                           const TLxPalette32& palette) {
  if (n == 0) return;
  size_t x = 0;
  for (; x + 4 < n; x += 4, dst += 12) {
    const uint32_t a = palette.entry[index[x]], b = palette.entry[index[x + 1]];
    const uint32_t c = palette.entry[index[x + 2]], d = palette.entry[index[x + 3]];
    std::memcpy(dst, &a, 4);
    std::memcpy(dst + 3, &b, 4);
    std::memcpy(dst + 6, &c, 4);
    std::memcpy(dst + 9, &d, 4);
  }
  for (; x + 1 < n; ++x, dst += 3) std::memcpy(dst, &palette.entry[index[x]], 4);
  const uint32_t last = palette.entry[index[x]];
  dst[0] = uint8_t(last), dst[1] = uint8_t(last >> 8), dst[2] = uint8_t(last >> 16);
}

void ExpandGray24Scalar(const uint8_t* gray, uint8_t* dst, size_t n) {
  for (size_t x = 0; x < n; ++x, dst += 3) dst[0] = dst[1] = dst[2] = gray[x];
}

void InterleavePlanes24Scalar(const uint8_t* red, const uint8_t* green, const uint8_t* blue,
                              uint8_t* dst, size_t n) {
  for (size_t x = 0; x < n; ++x, dst += 3) dst[0] = blue[x], dst[1] = green[x], dst[2] = red[x];
}

void SplitPlanes24Scalar(const uint8_t* src, uint8_t* red, uint8_t* green, uint8_t* blue,
                         size_t n) {
  for (size_t x = 0; x < n; ++x, src += 3) blue[x] = src[0], green[x] = src[1], red[x] = src[2];
}

#ifdef LX_PIXEL_ROWS_X86

// Shuffle controls for 16 pixels = 48 bytes = three 16-byte blocks. Planes are numbered red 0,
// green 1, blue 2; in a pixel blue is byte 0 and red byte 2, so plane p is byte 2 - p.
struct Controls {
  alignas(16) int8_t interleave[3][3][16];  // [output block][plane][byte]
  alignas(16) int8_t split[3][3][16];       // [plane][input block][byte]
  alignas(16) int8_t gray[3][16];           // [output block][byte]
};

constexpr Controls MakeControls() {
  Controls c{};
  for (int block = 0; block < 3; ++block)
    for (int q = 0; q < 16; ++q) {
      const int k = 16 * block + q, x = k / 3, plane = 2 - k % 3;
      for (int p = 0; p < 3; ++p) c.interleave[block][p][q] = int8_t(p == plane ? x : -1);
      c.gray[block][q] = int8_t(x);
    }
  for (int p = 0; p < 3; ++p)
    for (int block = 0; block < 3; ++block)
      for (int x = 0; x < 16; ++x) {
        const int k = 3 * x + 2 - p;
        c.split[p][block][x] = int8_t(k / 16 == block ? k % 16 : -1);
      }
  return c;
}

constexpr Controls kControls = MakeControls();

__attribute__((target("ssse3"))) inline __m128i Control(const int8_t* c) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(c));
}
__attribute__((target("ssse3"))) inline __m128i Load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
__attribute__((target("ssse3"))) inline void Store(uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// The pixels that straddle two blocks take a byte from each. All three blocks are loaded
// before any is stored, so src may be dst.
__attribute__((target("ssse3"))) void SwapRedBlue24Ssse3(const uint8_t* src, uint8_t* dst,
                                                         size_t n) {
  const __m128i m00 = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, -1);
  const __m128i m01 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1);
  const __m128i m10 = _mm_setr_epi8(-1, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i m11 = _mm_setr_epi8(0, -1, 4, 3, 2, 7, 6, 5, 10, 9, 8, 13, 12, 11, -1, 15);
  const __m128i m12 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, -1);
  const __m128i m21 = _mm_setr_epi8(14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i m22 = _mm_setr_epi8(-1, 3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10, 15, 14, 13);
  size_t x = 0;
  for (; x + 16 <= n; x += 16, src += 48, dst += 48) {
    const __m128i a = Load(src), b = Load(src + 16), c = Load(src + 32);
    const __m128i o0 = _mm_or_si128(_mm_shuffle_epi8(a, m00), _mm_shuffle_epi8(b, m01));
    const __m128i o1 = _mm_or_si128(
        _mm_or_si128(_mm_shuffle_epi8(a, m10), _mm_shuffle_epi8(b, m11)), _mm_shuffle_epi8(c, m12));
    const __m128i o2 = _mm_or_si128(_mm_shuffle_epi8(b, m21), _mm_shuffle_epi8(c, m22));
    Store(dst, o0);
    Store(dst + 16, o1);
    Store(dst + 32, o2);
  }
  SwapRedBlue24Scalar(src, dst, n - x);
}

__attribute__((target("ssse3"))) void ExpandGray24Ssse3(const uint8_t* gray, uint8_t* dst,
                                                        size_t n) {
  const __m128i c0 = Control(kControls.gray[0]), c1 = Control(kControls.gray[1]),
                c2 = Control(kControls.gray[2]);
  size_t x = 0;
  for (; x + 16 <= n; x += 16, dst += 48) {
    const __m128i g = Load(gray + x);
    Store(dst, _mm_shuffle_epi8(g, c0));
    Store(dst + 16, _mm_shuffle_epi8(g, c1));
    Store(dst + 32, _mm_shuffle_epi8(g, c2));
  }
  ExpandGray24Scalar(gray + x, dst, n - x);
}

__attribute__((target("ssse3"))) void InterleavePlanes24Ssse3(const uint8_t* red,
                                                              const uint8_t* green,
                                                              const uint8_t* blue, uint8_t* dst,
                                                              size_t n) {
  const auto& m = kControls.interleave;
  size_t x = 0;
  for (; x + 16 <= n; x += 16, dst += 48) {
    const __m128i r = Load(red + x), g = Load(green + x), b = Load(blue + x);
    for (int block = 0; block < 3; ++block) {
      const __m128i o = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(r, Control(m[block][0])),
                                                  _mm_shuffle_epi8(g, Control(m[block][1]))),
                                     _mm_shuffle_epi8(b, Control(m[block][2])));
      Store(dst + 16 * block, o);
    }
  }
  InterleavePlanes24Scalar(red + x, green + x, blue + x, dst, n - x);
}

__attribute__((target("ssse3"))) void SplitPlanes24Ssse3(const uint8_t* src, uint8_t* red,
                                                         uint8_t* green, uint8_t* blue, size_t n) {
  const auto& m = kControls.split;
  uint8_t* const planes[3] = {red, green, blue};
  size_t x = 0;
  for (; x + 16 <= n; x += 16, src += 48) {
    const __m128i a = Load(src), b = Load(src + 16), c = Load(src + 32);
    for (int p = 0; p < 3; ++p) {
      const __m128i o = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, Control(m[p][0])),
                                                  _mm_shuffle_epi8(b, Control(m[p][1]))),
                                     _mm_shuffle_epi8(c, Control(m[p][2])));
      Store(planes[p] + x, o);
    }
  }
  SplitPlanes24Scalar(src, red + x, green + x, blue + x, n - x);
}

#endif  // LX_PIXEL_ROWS_X86

}  // namespace

bool CpuHasSsse3() {
#ifdef LX_PIXEL_ROWS_X86
  static const bool have = __builtin_cpu_supports("ssse3");
  return have;
#else
  return false;
#endif
}

bool CpuHasAvx2() {
#ifdef LX_PIXEL_ROWS_X86
  static const bool have = __builtin_cpu_supports("avx2");
  return have;
#else
  return false;
#endif
}

void SwapRedBlue24(const uint8_t* src, uint8_t* dst, size_t n) {
#ifdef LX_PIXEL_ROWS_X86
  if (CpuHasSsse3()) return SwapRedBlue24Ssse3(src, dst, n);
#endif
  SwapRedBlue24Scalar(src, dst, n);
}

void ExpandIndexed24(const uint8_t* index, uint8_t* dst, size_t n, const TLxPalette32& palette) {
  ExpandIndexed24Scalar(index, dst, n, palette);
}

void ExpandGray24(const uint8_t* gray, uint8_t* dst, size_t n) {
#ifdef LX_PIXEL_ROWS_X86
  if (CpuHasSsse3()) return ExpandGray24Ssse3(gray, dst, n);
#endif
  ExpandGray24Scalar(gray, dst, n);
}

void InterleavePlanes24(const uint8_t* red, const uint8_t* green, const uint8_t* blue, uint8_t* dst,
                        size_t n) {
#ifdef LX_PIXEL_ROWS_X86
  if (CpuHasSsse3()) return InterleavePlanes24Ssse3(red, green, blue, dst, n);
#endif
  InterleavePlanes24Scalar(red, green, blue, dst, n);
}

void SplitPlanes24(const uint8_t* src, uint8_t* red, uint8_t* green, uint8_t* blue, size_t n) {
#ifdef LX_PIXEL_ROWS_X86
  if (CpuHasSsse3()) return SplitPlanes24Ssse3(src, red, green, blue, n);
#endif
  SplitPlanes24Scalar(src, red, green, blue, n);
}

}  // namespace lumenax
