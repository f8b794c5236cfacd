// The conversion matrix of CopyAndConvertFormat, and the ways to one bit per pixel: ordered
// dither, threshold and the two-colour extraction.
//
// Every pair of layouts is converted row by row through ScanLine, so the pace is the same in
// every storage place. Pairs without a direct rule convert the source in place to lx24RGB
// first (no second intermediate image) and go on from there.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "bitmap/bitmap.h"
#include "bitmap/byte_reader.h"
#include "bitmap/conversion.h"
#include "bitmap/palette_hook.h"
#include "bitmap/progress.h"
#include "bitmap/settings.h"
#include "bitmap/utilities.h"

namespace lumenax {
namespace {

enum class Rule { None, Direct, Through24 };

Rule RuleFor(PixelFormat s, PixelFormat d) {
  if (s == d || s == lxNone || d == lxNone || s >= kPixelFormatCount || d >= kPixelFormatCount)
    return Rule::None;
  switch (s) {
    case lx1g:
    case lx8p:
    case lx8g:
    case lx16g:
    case lx32f:
      return (d == lxCMYK || d == lxCIELab) ? Rule::Through24 : Rule::Direct;
    case lx24RGB:
      return Rule::Direct;
    case lxCMYK:
    case lxCIELab:
      return (d == lx24RGB || d == lx32RGB) ? Rule::Direct : Rule::Through24;
    case lxRGB48:
      return (d == lx8p || d == lxCMYK || d == lxCIELab) ? Rule::Through24 : Rule::Direct;
    case lx32RGB:
      return d == lx24RGB ? Rule::Direct : Rule::Through24;
    default:
      return Rule::None;
  }
}

inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v), p[1] = uint8_t(v >> 8);
}
inline float GetF(const uint8_t* p) {
  float f;
  std::memcpy(&f, p, 4);
  return f;
}
inline void PutF(uint8_t* p, double v) {
  float f = float(v);
  std::memcpy(p, &f, 4);
}
inline void Put48(uint8_t* p, uint16_t r, uint16_t g, uint16_t b) {
  Put16(p, r), Put16(p + 2, g), Put16(p + 4, b);
}
inline bool Bit(const uint8_t* row, int x) {
  return (row[x >> 3] >> (7 - (x & 7))) & 1;
}
// Low bits of Trunc(v * scale), as a float sample leaves its range.
inline uint32_t FloatTo(const uint8_t* p, double scale) {
  return TruncLow32(double(GetF(p)) * scale);
}

// The palette of an lx8p bitmap as a plain table (entries past PaletteCount black).
struct PaletteTable {
  TRGB e[256];
  explicit PaletteTable(const TLxBitmap& b) {
    for (int i = 0; i < 256; ++i) e[i] = b.GetPaletteEntry(i);
  }
};

void SetGrayRamp(TLxBitmap& d) {
  for (int i = 0; i < 256; ++i) d.SetPaletteEntry(i, TRGB{uint8_t(i), uint8_t(i), uint8_t(i)});
}

// One row of a direct rule: source row sp of layout s, w pixels, into destination row dp.
// pal holds the source palette when s is lx8p.
struct RowSource {
  PixelFormat s;
  const TLxBitmap& bitmap;
  const PaletteTable* pal;
  const uint8_t* sp;
  int w;
};

// lx24RGB (stride 3) or lx32RGB (stride 4, fourth byte 255).
void RowToRgb(const RowSource& r, uint8_t* dp, int stride) {
  const uint8_t* sp = r.sp;
  const int w = r.w;
  if (r.s == lxCMYK) {
    CmykRunToRgb(sp, dp, w, stride);
  } else if (r.s == lx24RGB || r.s == lx32RGB) {
    const int ss = r.s == lx24RGB ? 3 : 4;
    for (int x = 0; x < w; ++x) std::memcpy(dp + stride * x, sp + ss * x, 3);
  } else {
    for (int x = 0; x < w; ++x) {
      TRGB c = PixelAsRGBFromRow(r.bitmap, sp, x);
      uint8_t* q = dp + stride * x;
      q[0] = c.b, q[1] = c.g, q[2] = c.r;
    }
  }
  if (stride == 4)
    for (int x = 0; x < w; ++x) dp[4 * x + 3] = 255;
}

// Red, green, blue of 16-bit samples as lxRGB48 stores them.
inline uint16_t Red48(const uint8_t* p) {
  return LoadU16LE(p);
}
inline uint16_t Green48(const uint8_t* p) {
  return LoadU16LE(p + 2);
}
inline uint16_t Blue48(const uint8_t* p) {
  return LoadU16LE(p + 4);
}

void RowTo8g(const RowSource& r, uint8_t* dp) {
  const uint8_t* sp = r.sp;
  for (int x = 0; x < r.w; ++x) {
    int v = 0;
    switch (r.s) {
      case lx1g:
        v = Bit(sp, x) ? 255 : 0;
        break;
      case lx8p:
        v = Gray8(r.pal->e[sp[x]]);
        break;
      case lx16g:
        v = LoadU16LE(sp + 2 * x) >> 8;
        break;
      case lx24RGB:
        v = Gray8(sp[3 * x + 2], sp[3 * x + 1], sp[3 * x]);
        break;
      case lx32f:
        v = int(FloatTo(sp + 4 * x, 255));
        break;
      case lxRGB48: {
        const uint8_t* p = sp + 6 * x;
        v = Gray8(Red48(p) >> 8, Green48(p) >> 8, Blue48(p) >> 8);
        break;
      }
      default:
        break;
    }
    dp[x] = uint8_t(v);
  }
}

void RowTo16g(const RowSource& r, uint8_t* dp) {
  const uint8_t* sp = r.sp;
  for (int x = 0; x < r.w; ++x) {
    uint32_t v = 0;
    switch (r.s) {
      case lx1g:
        v = Bit(sp, x) ? 65535 : 0;
        break;
      case lx8p: {
        TRGB c = r.pal->e[sp[x]];
        v = Gray16(uint16_t(c.r * 257), uint16_t(c.g * 257), uint16_t(c.b * 257));
        break;
      }
      case lx8g:
        v = sp[x] * 257u;
        break;
      case lx24RGB:
        v = Gray16(uint16_t(sp[3 * x + 2] * 257), uint16_t(sp[3 * x + 1] * 257),
                   uint16_t(sp[3 * x] * 257));
        break;
      case lx32f:
        v = FloatTo(sp + 4 * x, 65535);
        break;
      case lxRGB48: {
        const uint8_t* p = sp + 6 * x;
        v = Gray16(Red48(p), Green48(p), Blue48(p));
        break;
      }
      default:
        break;
    }
    Put16(dp + 2 * x, uint16_t(v));
  }
}

void RowTo32f(const RowSource& r, uint8_t* dp) {
  const uint8_t* sp = r.sp;
  for (int x = 0; x < r.w; ++x) {
    double v = 0;
    switch (r.s) {
      case lx1g:
        v = Bit(sp, x) ? 1.0 : 0.0;
        break;
      case lx8p: {
        TRGB c = r.pal->e[sp[x]];
        v = FloatGray(c.r, c.g, c.b);
        break;
      }
      case lx8g:
        v = sp[x] / 255.0;
        break;
      case lx16g:
        v = LoadU16LE(sp + 2 * x) / 65535.0;
        break;
      case lx24RGB:
        v = FloatGray(sp[3 * x + 2], sp[3 * x + 1], sp[3 * x]);
        break;
      case lxRGB48: {
        const uint8_t* p = sp + 6 * x;
        v = (0.2126 * Red48(p) + 0.7152 * Green48(p) + 0.0722 * Blue48(p)) / 256 / 255;
        break;
      }
      default:
        break;
    }
    PutF(dp + 4 * x, v);
  }
}

void RowTo48(const RowSource& r, uint8_t* dp) {
  const uint8_t* sp = r.sp;
  for (int x = 0; x < r.w; ++x) {
    uint16_t red = 0, green = 0, blue = 0;
    switch (r.s) {
      case lx1g:
        red = green = blue = Bit(sp, x) ? 65535 : 0;
        break;
      case lx8p: {
        TRGB c = r.pal->e[sp[x]];
        red = uint16_t(c.r * 257), green = uint16_t(c.g * 257), blue = uint16_t(c.b * 257);
        break;
      }
      case lx8g:
        red = green = blue = uint16_t(sp[x] * 257);
        break;
      case lx16g:
        red = green = blue = LoadU16LE(sp + 2 * x);
        break;
      case lx24RGB:
        red = uint16_t(sp[3 * x + 2] * 257), green = uint16_t(sp[3 * x + 1] * 257),
        blue = uint16_t(sp[3 * x] * 257);
        break;
      case lx32f:
        red = green = blue = uint16_t(FloatTo(sp + 4 * x, 65535));
        break;
      default:
        break;
    }
    Put48(dp + 6 * x, red, green, blue);
  }
}

// Indices into the palette set up by PrepareLx8p; true colour through the palette mapper.
void RowTo8p(const RowSource& r, uint8_t* dp, size_t rowBytes, TLxPaletteMapper* mapper) {
  const uint8_t* sp = r.sp;
  const int w = r.w;
  switch (r.s) {
    case lx1g:
      for (int x = 0; x < w; ++x) dp[x] = Bit(sp, x) ? 1 : 0;
      break;
    case lx8g:
      std::memcpy(dp, sp, rowBytes);
      break;
    case lx16g:
      for (int x = 0; x < w; ++x) dp[x] = uint8_t(LoadU16LE(sp + 2 * x) >> 8);
      break;
    case lx32f:
      for (int x = 0; x < w; ++x) dp[x] = uint8_t(FloatTo(sp + 4 * x, 255));
      break;
    case lx24RGB:
      if (!mapper) break;
      for (int x = 0; x < w; ++x) {
        const uint8_t* p = sp + 3 * x;
        dp[x] = uint8_t(
            mapper->RGBToIndex(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16));
      }
      break;
    default:
      break;
  }
}

void RowToLab(const RowSource& r, uint8_t* dp) {
  for (int x = 0; x < r.w; ++x) {
    const uint8_t* p = r.sp + 3 * x;
    TCIELab v = RgbToLab(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16);
    dp[3 * x] = v.l, dp[3 * x + 1] = uint8_t(v.a), dp[3 * x + 2] = uint8_t(v.b);
  }
}

// The palette of an lx8p destination: black and white for lx1g, the quantizer's palette for
// true colour (the returned mapper gives the indices), the gray ramp otherwise.
std::unique_ptr<TLxPaletteMapper> PrepareLx8p(TLxBitmap& src, TLxBitmap& dst) {
  const PixelFormat s = src.PixelFormat();
  if (s == lx1g) {
    dst.SetPaletteEntry(0, CreateRGB(0, 0, 0));
    dst.SetPaletteEntry(1, CreateRGB(255, 255, 255));
    return nullptr;
  }
  if (s != lx24RGB) {
    SetGrayRamp(dst);
    return nullptr;
  }
  TRGB entries[256] = {};
  std::unique_ptr<TLxPaletteMapper> mapper;
  if (TPaletteQuantizer quantize = PaletteQuantizer())
    mapper = quantize(src, entries, dst.QuantizeColors);
  for (int i = 0; i < 256; ++i) dst.SetPaletteEntry(i, entries[i]);
  return mapper;
}

// The direct rules. Rows of both bitmaps are taken with ScanLine, row 0 first.
void ConvertDirect(TLxBitmap& src, TLxBitmap& dst) {
  const PixelFormat s = src.PixelFormat(), d = dst.PixelFormat();
  const int w = src.Width(), h = src.Height();
  std::unique_ptr<PaletteTable> pal;
  if (s == lx8p) pal = std::make_unique<PaletteTable>(src);
  std::unique_ptr<TLxPaletteMapper> mapper;
  if (d == lx8p) mapper = PrepareLx8p(src, dst);
  const size_t grayRowBytes = size_t(std::min(src.RowLen(), dst.RowLen()));

  for (int y = 0; y < h; ++y) {
    const RowSource r{s, src, pal.get(), src.ScanLine(y), w};
    uint8_t* dp = dst.ScanLine(y);
    switch (d) {
      case lx24RGB:
        RowToRgb(r, dp, 3);
        break;
      case lx32RGB:
        RowToRgb(r, dp, 4);
        break;
      case lx8g:
        RowTo8g(r, dp);
        break;
      case lx16g:
        RowTo16g(r, dp);
        break;
      case lx32f:
        RowTo32f(r, dp);
        break;
      case lxRGB48:
        RowTo48(r, dp);
        break;
      case lx8p:
        RowTo8p(r, dp, grayRowBytes, mapper.get());
        break;
      case lxCMYK:
        RgbRunToCmyk(r.sp, dp, w);
        break;
      case lxCIELab:
        RowToLab(r, dp);
        break;
      default:
        break;
    }
  }
}

// Makes target an lx1g bitmap of the source's size (allocating only when it is not one).
bool Prepare1Bit(TLxBitmap& source, TLxBitmap& target) {
  if (target.Width() == source.Width() && target.Height() == source.Height() &&
      target.PixelFormat() == lx1g && !target.IsEmpty())
    return true;
  return target.Allocate(source.Width(), source.Height(), lx1g);
}

// Writes one lx1g row from per-pixel white flags given by white(x).
template <class White>
void Pack1Bit(uint8_t* dp, int w, White white) {
  for (int x0 = 0; x0 < w; x0 += 8) {
    uint8_t byte = 0;
    const int n = std::min(8, w - x0);
    for (int i = 0; i < n; ++i)
      if (white(x0 + i)) byte |= uint8_t(0x80 >> i);
    dp[x0 >> 3] = byte;
  }
}

// Maximum-entropy threshold (Kapur) of the gray histogram: black is gray < threshold.
int MaxEntropyThreshold(TLxBitmap& source) {
  double hist[256] = {};
  const int w = source.Width(), h = source.Height();
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = source.ScanLine(y);
    for (int x = 0; x < w; ++x)
      hist[std::clamp(Gray8(PixelAsRGBFromRow(source, row, x)), 0, 255)] += 1;
  }
  const double total = double(w) * h;
  double p[256], cum[256], acc = 0;
  for (int i = 0; i < 256; ++i) {
    p[i] = hist[i] / total;
    acc += p[i];
    cum[i] = acc;
  }
  int best = 0;
  double bestH = -1;
  for (int t = 0; t < 255; ++t) {
    double pb = cum[t], pw = 1.0 - cum[t];
    if (pb <= 0 || pw <= 0) continue;
    double hb = 0, hw = 0;
    for (int i = 0; i <= t; ++i)
      if (p[i] > 0) hb -= p[i] / pb * std::log(p[i] / pb);
    for (int i = t + 1; i < 256; ++i)
      if (p[i] > 0) hw -= p[i] / pw * std::log(p[i] / pw);
    if (hb + hw > bestH) bestH = hb + hw, best = t;
  }
  return best + 1;
}

}  // namespace

// ====================================================================== the palette hook

namespace {
TPaletteQuantizer gPaletteQuantizer = nullptr;
}  // namespace

TPaletteQuantizer PaletteQuantizer() {
  return gPaletteQuantizer;
}
void SetPaletteQuantizer(TPaletteQuantizer quantizer) {
  gPaletteQuantizer = quantizer;
}

// ====================================================================== one bit per pixel

void DitherTo1Bit(TLxBitmap& source, TLxBitmap& target, bool whiteCutoff) {
  const PixelFormat s = source.PixelFormat();
  if (s != lx8p && s != lx8g && s != lx16g && s != lx24RGB && s != lx32f && s != lxRGB48) return;
  if (&source == &target || !Prepare1Bit(source, target)) return;
  std::unique_ptr<PaletteTable> pal;
  if (s == lx8p) pal = std::make_unique<PaletteTable>(source);
  const int w = source.Width(), h = source.Height();
  for (int y = 0; y < h; ++y) {
    const uint8_t* sp = source.ScanLine(y);
    uint8_t* dp = target.ScanLine(y);
    const int ym = y & 7;
    Pack1Bit(dp, w, [&](int x) {
      int level = 0;
      switch (s) {
        case lx8p:
          level = Gray8(pal->e[sp[x]]) >> 2;
          break;
        case lx8g:
          level = (sp[x] >> 2) & 63;
          break;
        case lx16g:
          level = LoadU16LE(sp + 2 * x) >> 10;
          break;
        case lx24RGB: {
          const uint8_t* p = sp + 3 * x;
          if (whiteCutoff && p[0] >= 251 && p[1] >= 251 && p[2] >= 251)
            level = 64;
          else
            level = Gray8(p[2], p[1], p[0]) >> 2;
          break;
        }
        case lx32f:
          level = (FloatTo(sp + 4 * x, 255) & 0xFF) >> 2;
          break;
        case lxRGB48:
          level = Gray8(LoadU16LE(sp + 6 * x) >> 8, LoadU16LE(sp + 6 * x + 2) >> 8,
                        LoadU16LE(sp + 6 * x + 4) >> 8) >>
                  2;
          break;
        default:
          break;
      }
      return level > DitherMatrix8[x & 7][ym];
    });
  }
}

void ConvertTo1BitThreshold(TLxBitmap& source, TLxBitmap& target, int threshold,
                            ProgressRecord* progress) {
  if (&source == &target || source.IsEmpty() || source.PixelFormat() == lxNone) return;
  if (source.PixelFormat() == lx1g) {
    target.AssignImage(source);
    return;
  }
  if (threshold == -1)
    threshold = Gray8(AverageColor(source));
  else if (threshold == -2)
    threshold = MaxEntropyThreshold(source);
  if (!Prepare1Bit(source, target)) return;
  const int w = source.Width(), h = source.Height();
  if (progress) {
    progress->Per1 = 100.0 / (h + 0.5);
    progress->Value = 0;
  }
  for (int y = 0; y < h; ++y) {
    const uint8_t* sp = source.ScanLine(y);
    uint8_t* dp = target.ScanLine(y);
    Pack1Bit(dp, w, [&](int x) { return Gray8(PixelAsRGBFromRow(source, sp, x)) >= threshold; });
    if (progress) progress->RowDone();
  }
}

std::unique_ptr<TLxBitmap> ExtractTwoColorBitmap(TLxBitmap& bitmap, TRGB& colour1, TRGB& colour2) {
  if (bitmap.IsEmpty() || bitmap.PixelFormat() == lxNone) return nullptr;
  const int w = bitmap.Width(), h = bitmap.Height();
  THash1 set(13);
  auto result = std::make_unique<TLxBitmap>();
  if (!result->Allocate(w, h, lx1g)) return nullptr;
  uint32_t key1 = 0;
  // Scanning stops at the end of the row in which a third colour appears.
  for (int y = 0; y < h && set.Count() <= 2; ++y) {
    const uint8_t* sp = bitmap.ScanLine(y);
    uint8_t* dp = result->ScanLine(y);
    uint32_t previous = 0xFFFFFFFF;
    Pack1Bit(dp, w, [&](int x) {
      TRGB c = PixelAsRGBFromRow(bitmap, sp, x);
      uint32_t key = uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b;
      if (key != previous && set.Add(key)) {
        if (set.Count() == 1) {
          colour1 = c;
          key1 = key;
        } else {
          colour2 = c;
        }
      }
      previous = key;
      return key != key1;
    });
  }
  if (set.Count() != 2) return nullptr;
  // Bit 0 stands for the darker colour.
  auto level = [](TRGB c) {
    return std::nearbyint((c.r * GrayWeightRed + c.g * GrayWeightGreen + c.b * GrayWeightBlue) /
                          100.0);
  };
  if (level(colour2) < level(colour1)) {
    InvertBitmap(*result);
    std::swap(colour1, colour2);
  }
  return result;
}

std::unique_ptr<TLxBitmap> ExtractColoursFor1Bit(TLxBitmap& bitmap, TRGB& colour1, TRGB& colour2) {
  if (auto two = ExtractTwoColorBitmap(bitmap, colour1, colour2)) return two;
  if (bitmap.IsEmpty() || bitmap.PixelFormat() == lxNone) return nullptr;
  const TRGB first = bitmap.PixelAsRGB(0, 0);
  for (int y = 0; y < bitmap.Height(); ++y) {
    const uint8_t* sp = bitmap.ScanLine(y);
    for (int x = 0; x < bitmap.Width(); ++x) {
      TRGB c = PixelAsRGBFromRow(bitmap, sp, x);
      if (c.r != first.r || c.g != first.g || c.b != first.b) return nullptr;
    }
  }
  const bool black = first.r == 0 && first.g == 0 && first.b == 0;
  const bool white = first.r == 255 && first.g == 255 && first.b == 255;
  if (black || white) return nullptr;
  auto result = std::make_unique<TLxBitmap>();
  if (!result->Allocate(bitmap.Width(), bitmap.Height(), lx1g)) return nullptr;
  result->Fill(0);
  colour1 = colour2 = first;
  return result;
}

// ====================================================================== the matrix

void TLxBitmap::CopyAndConvertFormat(TLxBitmap& source) {
  if (&source == this) return;
  if (source.Width() != Width() || source.Height() != Height() || Location() == lxTBitmap) return;
  const lumenax::PixelFormat d = PixelFormat();
  if (d == lx1g && !IsEmpty()) {
    lumenax::PixelFormat s = source.PixelFormat();
    if (s == lxCMYK || s == lxCIELab || s == lx32RGB || (s == lxRGB48 && BlackWhiteMethod == 1))
      source.SetPixelFormat(lx24RGB);
    s = source.PixelFormat();
    if (s != lx1g && s != lxNone) {
      if (BlackWhiteMethod == 0)
        DitherTo1Bit(source, *this);
      else if (BlackWhiteMethod == 1)
        ConvertTo1BitThreshold(source, *this, -1, nullptr);
    }
  } else if (!IsEmpty()) {
    Rule rule = RuleFor(source.PixelFormat(), d);
    if (rule == Rule::Through24) {
      source.SetPixelFormat(lx24RGB);
      if (source.PixelFormat() == lx24RGB) rule = RuleFor(lx24RGB, d);
    }
    if (rule == Rule::Direct) ConvertDirect(source, *this);
  }
  if (!IsAlphaChannel) {
    std::unique_ptr<TLxBitmap> a = source.DetachAlphaChannel();
    if (a) AttachAlphaChannel(std::move(a));
  }
}

}  // namespace lumenax
