#include "bitmap/conversion.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "bitmap/bitmap.h"
#include "bitmap/settings.h"

namespace lumenax {

int Gray8(int r, int g, int b) {
  return (r * GrayWeightRed + g * GrayWeightGreen + b * GrayWeightBlue) / 100;
}

uint16_t Gray16(uint16_t r, uint16_t g, uint16_t b) {
  return uint16_t((uint32_t(r) * 212 + uint32_t(g) * 713 + uint32_t(b) * 75) / 1000);
}

double FloatGray(int r, int g, int b) { return (0.2126 * r + 0.7152 * g + 0.0722 * b) / 255; }

TCMYK RgbToCmyk(uint32_t colour) {
  TRGB c = UnpackBGR(colour);
  int k = std::max({c.r, c.g, c.b});
  if (k == 0) k = 1;
  return TCMYK{uint8_t(c.r * 255 / k), uint8_t(c.g * 255 / k), uint8_t(c.b * 255 / k), uint8_t(k)};
}

TRGB CmykToRgb(TCMYK v) {
  return CreateRGB(uint8_t(v.c * v.k / 255), uint8_t(v.m * v.k / 255), uint8_t(v.y * v.k / 255));
}

TCIELab RgbToLab(uint32_t colour) {
  TRGB c = UnpackBGR(colour);
  auto lin = [](double u) { return u <= 0.03928 ? u / 12.92 : std::pow((u + 0.055) / 1.055, 2.4); };
  double R = lin(c.r / 255.0), G = lin(c.g / 255.0), B = lin(c.b / 255.0);
  double X = (0.412453 * R + 0.35758 * G + 0.180423 * B) / 0.95047;
  double Y = 0.212671 * R + 0.71516 * G + 0.072169 * B;
  double Z = (0.019334 * R + 0.119193 * G + 0.950227 * B) / 1.088883;
  auto f = [](double t) { return t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116.0; };
  double L = Y > 0.008856 ? 116 * f(Y) - 16 : 903.3 * Y;
  auto low = [](double v) { return uint8_t(int64_t(std::trunc(v))); };
  return TCIELab{low(L * 2.5), int8_t(low((f(X) - f(Y)) * 500)), int8_t(low((f(Y) - f(Z)) * 200))};
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

TRGB PixelAsRGBFromRow(const TLxBitmap& bitmap, const uint8_t* row, int x) {
  switch (bitmap.PixelFormat()) {
    case lx1g: {
      uint8_t v = ((row[x >> 3] >> (7 - (x & 7))) & 1) ? 255 : 0;
      return TRGB{v, v, v};
    }
    case lx8p: return bitmap.GetPaletteEntry(row[x]);
    case lx8g: return TRGB{row[x], row[x], row[x]};
    case lx16g: {
      uint8_t v = row[2 * x + 1];
      return TRGB{v, v, v};
    }
    case lx24RGB: return TRGB{row[3 * x], row[3 * x + 1], row[3 * x + 2]};
    case lx32f: {
      float f;
      std::memcpy(&f, row + 4 * x, 4);
      uint8_t v = uint8_t(int64_t(std::trunc(std::isfinite(f) ? std::clamp(f * 255.0, -1e18, 1e18) : 0)));
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
    case lx32RGB: return TRGB{row[4 * x], row[4 * x + 1], row[4 * x + 2]};
    default: return TRGB{};
  }
}

void InvertBitmap(TLxBitmap& bitmap) {
  for (int y = 0; y < bitmap.Height(); ++y) {
    uint8_t* row = bitmap.ScanLine(y);
    for (int i = 0; i < bitmap.RowLen(); ++i) row[i] = uint8_t(~row[i]);
  }
}

TRGB AverageColor(TLxBitmap&) { return TRGB{}; }

void ConvertTo1BitThreshold(TLxBitmap&, TLxBitmap&, int, ProgressRecord*) {}

std::unique_ptr<TLxBitmap> ExtractTwoColorBitmap(TLxBitmap&, TRGB&, TRGB&) { return nullptr; }

// The conversion matrix arrives separately; until then only the alpha channel moves over.
void TLxBitmap::CopyAndConvertFormat(TLxBitmap& source) {
  if (source.Width() != Width() || source.Height() != Height() || Location() == lxTBitmap) return;
  if (!IsAlphaChannel) {
    std::unique_ptr<TLxBitmap> a = source.DetachAlphaChannel();
    if (a) AttachAlphaChannel(std::move(a));
  }
}

}  // namespace lumenax
