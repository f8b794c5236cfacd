// Colour formulas, colour-managed CMYK, reading pixels as colours, and the small whole-image
// helpers (inversion, average colour, the two-colour hash set).
#include "bitmap/conversion.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "bitmap/bitmap.h"
#include "bitmap/cmyk_profile.h"
#include "bitmap/settings.h"
#include "bitmap/utilities.h"

namespace lumenax {

const int DitherMatrix8[8][8] = {
    {0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
    {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
    {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
    {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21},
};

int Gray8(int r, int g, int b) {
  return (r * GrayWeightRed + g * GrayWeightGreen + b * GrayWeightBlue) / 100;
}

uint16_t Gray16(uint16_t r, uint16_t g, uint16_t b) {
  return uint16_t((uint32_t(r) * 212 + uint32_t(g) * 713 + uint32_t(b) * 75) / 1000);
}

double FloatGray(int r, int g, int b) {
  return (0.2126 * r + 0.7152 * g + 0.0722 * b) / 255;
}

// ====================================================================== CMYK

namespace {

// The two transforms between LittleCMS's built-in sRGB and the bundled CMYK output profile,
// built on the first colour-managed conversion of the process. They are created without the
// one-pixel cache (cmsFLAGS_NOCACHE), so several threads may use them at once.
class CmykTransforms {
 public:
  static const CmykTransforms& Get() {
    static CmykTransforms instance;
    return instance;
  }
  bool ok() const { return toCmyk_ && toRgb_; }
  cmsHTRANSFORM toCmyk() const { return toCmyk_; }
  cmsHTRANSFORM toRgb() const { return toRgb_; }

 private:
  CmykTransforms() {
    ProfileBytes icc = CmykProfileBytes();
    if (icc.size == 0) return;
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE cmyk = cmsOpenProfileFromMem(icc.data, cmsUInt32Number(icc.size));
    if (srgb && cmyk && cmsGetColorSpace(cmyk) == cmsSigCmykData) {
      // Relative colorimetric with black point compensation: colours inside the printing
      // gamut come back as they went in, and black stays black.
      const cmsUInt32Number flags = cmsFLAGS_NOCACHE | cmsFLAGS_BLACKPOINTCOMPENSATION;
      toCmyk_ = cmsCreateTransform(srgb, TYPE_RGB_16, cmyk, TYPE_CMYK_16,
                                   INTENT_RELATIVE_COLORIMETRIC, flags);
      toRgb_ = cmsCreateTransform(cmyk, TYPE_CMYK_16, srgb, TYPE_RGB_16,
                                  INTENT_RELATIVE_COLORIMETRIC, flags);
    }
    if (cmyk) cmsCloseProfile(cmyk);
    if (srgb) cmsCloseProfile(srgb);
    if (!ok()) Release();
  }
  ~CmykTransforms() { Release(); }
  void Release() {
    if (toCmyk_) cmsDeleteTransform(toCmyk_);
    if (toRgb_) cmsDeleteTransform(toRgb_);
    toCmyk_ = toRgb_ = nullptr;
  }
  cmsHTRANSFORM toCmyk_ = nullptr;
  cmsHTRANSFORM toRgb_ = nullptr;
};

const CmykTransforms* ActiveTransforms() {
  if (!UseCmykProfile) return nullptr;
  const CmykTransforms& t = CmykTransforms::Get();  // thread-safe static initialisation
  return t.ok() ? &t : nullptr;
}

constexpr int kRunChunk = 1024;

}  // namespace

bool CmykProfileActive() {
  return ActiveTransforms() != nullptr;
}

TCMYK RgbToCmykFormula(uint32_t colour) {
  TRGB c = UnpackBGR(colour);
  int k = std::max({c.r, c.g, c.b});
  if (k == 0) k = 1;
  return TCMYK{uint8_t(c.r * 255 / k), uint8_t(c.g * 255 / k), uint8_t(c.b * 255 / k), uint8_t(k)};
}

TRGB CmykToRgbFormula(TCMYK v) {
  return CreateRGB(uint8_t(v.c * v.k / 255), uint8_t(v.m * v.k / 255), uint8_t(v.y * v.k / 255));
}

void RgbRunToCmyk(const uint8_t* bgr, uint8_t* cmyk, int count) {
  const CmykTransforms* t = ActiveTransforms();
  if (!t) {
    for (int i = 0; i < count; ++i, bgr += 3, cmyk += 4) {
      TCMYK v = RgbToCmykFormula(PackBGR(TRGB{bgr[0], bgr[1], bgr[2]}));
      cmyk[0] = v.c, cmyk[1] = v.m, cmyk[2] = v.y, cmyk[3] = v.k;
    }
    return;
  }
  // Channels widened to 16 bits (x 257); each ink stored as 255 - (ink shr 8).
  uint16_t in[kRunChunk * 3], out[kRunChunk * 4];
  while (count > 0) {
    int n = std::min(count, kRunChunk);
    for (int i = 0; i < n; ++i) {
      in[3 * i] = uint16_t(bgr[3 * i + 2] * 257);
      in[3 * i + 1] = uint16_t(bgr[3 * i + 1] * 257);
      in[3 * i + 2] = uint16_t(bgr[3 * i] * 257);
    }
    cmsDoTransform(t->toCmyk(), in, out, cmsUInt32Number(n));
    for (int i = 0; i < 4 * n; ++i) cmyk[i] = uint8_t(255 - (out[i] >> 8));
    bgr += 3 * n, cmyk += 4 * n, count -= n;
  }
}

void CmykRunToRgb(const uint8_t* cmyk, uint8_t* bgr, int count, int bgrStride) {
  const CmykTransforms* t = ActiveTransforms();
  if (!t) {
    for (int i = 0; i < count; ++i, cmyk += 4, bgr += bgrStride) {
      TRGB c = CmykToRgbFormula(TCMYK{cmyk[0], cmyk[1], cmyk[2], cmyk[3]});
      bgr[0] = c.b, bgr[1] = c.g, bgr[2] = c.r;
    }
    return;
  }
  // Each stored byte v is the ink (255 - v) x 257; each result channel is taken shr 8.
  uint16_t in[kRunChunk * 4], out[kRunChunk * 3];
  while (count > 0) {
    int n = std::min(count, kRunChunk);
    for (int i = 0; i < 4 * n; ++i) in[i] = uint16_t((255 - cmyk[i]) * 257);
    cmsDoTransform(t->toRgb(), in, out, cmsUInt32Number(n));
    for (int i = 0; i < n; ++i, bgr += bgrStride) {
      bgr[0] = uint8_t(out[3 * i + 2] >> 8);
      bgr[1] = uint8_t(out[3 * i + 1] >> 8);
      bgr[2] = uint8_t(out[3 * i] >> 8);
    }
    cmyk += 4 * n, count -= n;
  }
}

TCMYK RgbToCmyk(uint32_t colour) {
  TRGB c = UnpackBGR(colour);
  uint8_t out[4];
  RgbRunToCmyk(&c.b, out, 1);
  return TCMYK{out[0], out[1], out[2], out[3]};
}

TRGB CmykToRgb(TCMYK v) {
  uint8_t in[4] = {v.c, v.m, v.y, v.k};
  TRGB c;
  CmykRunToRgb(in, &c.b, 1, 3);
  return c;
}

// ====================================================================== L*a*b*

TCIELab RgbToLab(uint32_t colour) {
  TRGB c = UnpackBGR(colour);
  auto lin = [](double u) { return u <= 0.03928 ? u / 12.92 : std::pow((u + 0.055) / 1.055, 2.4); };
  double R = lin(c.r / 255.0), G = lin(c.g / 255.0), B = lin(c.b / 255.0);
  double X = (0.412453 * R + 0.35758 * G + 0.180423 * B) / 0.95047;
  double Y = 0.212671 * R + 0.71516 * G + 0.072169 * B;
  double Z = (0.019334 * R + 0.119193 * G + 0.950227 * B) / 1.088883;
  auto f = [](double t) { return t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116.0; };
  double L = Y > 0.008856 ? 116 * f(Y) - 16 : 903.3 * Y;
  // L 0..100 is stored as 0..255, the scale LabToRgb and every reader of Lab bytes use; a and
  // b are rounded and kept as their low byte (read back as signed).
  const long l = std::clamp(std::lround(L * 255 / 100), 0L, 255L);
  auto low = [](double v) { return uint8_t(TruncLow32(double(std::lround(v)))); };
  return TCIELab{uint8_t(l), int8_t(low((f(X) - f(Y)) * 500)), int8_t(low((f(Y) - f(Z)) * 200))};
}

TRGB LabToRgb(TCIELab lab) {
  double fy = (lab.l * 0.39215686275 + 16) / 116;
  double fx = fy + lab.a / 500.0, fz = fy - lab.b / 200.0;
  auto inv = [](double f) {
    double f3 = f * f * f;
    return f3 > 0.008856 ? f3 : (f - 0.13793103448) / 7.787;
  };
  double X = inv(fx) * 0.95047, Y = inv(fy), Z = inv(fz) * 1.08883;
  double R = 3.2406 * X - 1.5372 * Y - 0.4986 * Z;
  double G = -0.9689 * X + 1.8758 * Y + 0.0415 * Z;
  double B = 0.0557 * X - 0.2040 * Y + 1.0570 * Z;
  auto gam = [](double u) {
    double v = u <= 0.0031308 ? 12.92 * u : 1.055 * std::pow(u, 1 / 2.4) - 0.055;
    return uint8_t(std::clamp(std::lround(v * 255), 0L, 255L));
  };
  return CreateRGB(gam(R), gam(G), gam(B));
}

TRGB YCbCrToRgb(int y, int cb, int cr) {
  auto ch = [](double v) { return uint8_t(ClampByte(int(std::clamp(std::trunc(v), -1e6, 1e6)))); };
  return CreateRGB(ch(y + 1.402 * (cr - 128)), ch(y - 0.34414 * (cb - 128) - 0.71414 * (cr - 128)),
                   ch(y + 1.772 * (cb - 128)));
}

// ====================================================================== pixels as colours

TRGB PixelAsRGBFromRow(const TLxBitmap& bitmap, const uint8_t* row, int x) {
  switch (bitmap.PixelFormat()) {
    case lx1g: {
      uint8_t v = ((row[x >> 3] >> (7 - (x & 7))) & 1) ? 255 : 0;
      return TRGB{v, v, v};
    }
    case lx8p:
      return bitmap.GetPaletteEntry(row[x]);
    case lx8g:
      return TRGB{row[x], row[x], row[x]};
    case lx16g: {
      uint8_t v = row[2 * x + 1];
      return TRGB{v, v, v};
    }
    case lx24RGB:
      return TRGB{row[3 * x], row[3 * x + 1], row[3 * x + 2]};
    case lx32f: {
      float f;
      std::memcpy(&f, row + 4 * x, 4);
      uint8_t v = uint8_t(TruncLow32(double(f) * 255));
      return TRGB{v, v, v};
    }
    case lxCMYK: {
      const uint8_t* p = row + 4 * x;
      return CmykToRgb(TCMYK{p[0], p[1], p[2], p[3]});
    }
    case lxRGB48: {
      const uint8_t* p = row + 6 * x;
      return CreateRGB(p[1], p[3], p[5]);
    }
    case lxCIELab: {
      const uint8_t* p = row + 3 * x;
      return LabToRgb(TCIELab{p[0], int8_t(p[1]), int8_t(p[2])});
    }
    case lx32RGB:
      return TRGB{row[4 * x], row[4 * x + 1], row[4 * x + 2]};
    default:
      return TRGB{};
  }
}

// ====================================================================== whole images

void InvertBitmap(TLxBitmap& bitmap) {
  for (int y = 0; y < bitmap.Height(); ++y) {
    uint8_t* row = bitmap.ScanLine(y);
    for (int i = 0; i < bitmap.RowLen(); ++i) row[i] = uint8_t(~row[i]);
  }
}

TRGB AverageColor(TLxBitmap& bitmap) {
  const int w = bitmap.Width(), h = bitmap.Height();
  if (bitmap.IsEmpty() || bitmap.PixelFormat() == lxNone) return TRGB{};
  int64_t total[3] = {0, 0, 0};
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = bitmap.ScanLine(y);
    int64_t sum[3] = {0, 0, 0};
    for (int x = 0; x < w; ++x) {
      TRGB c = PixelAsRGBFromRow(bitmap, row, x);
      sum[0] += c.r, sum[1] += c.g, sum[2] += c.b;
    }
    for (int c = 0; c < 3; ++c) total[c] += sum[c] / w;
  }
  return CreateRGB(uint8_t(total[0] / h), uint8_t(total[1] / h), uint8_t(total[2] / h));
}

THash1::THash1(int k)
    : mask_(uint32_t((uint64_t(1) << std::clamp(k, 0, 24)) - 1)), buckets_(size_t(mask_) + 1, -1) {}

bool THash1::Add(uint32_t value) {
  int32_t* link = &buckets_[value & mask_];
  while (*link >= 0) {
    THash1Item& item = items_[size_t(*link)];
    if (item.value == value) return false;
    link = &item.next;
  }
  *link = int32_t(items_.size());
  items_.push_back(THash1Item{value, -1});
  return true;
}

}  // namespace lumenax
