#include "codecs/common/resolution.h"

#include <algorithm>
#include <cmath>

#include "io/params.h"

namespace lumenax {

double DpiFromPixelsPerMetre(double ppm) {
  return ppm / 100.0 * kCentimetresPerInch;
}

void SetDpiFromPixelsPerMetre(TIOParamsVals& params, double ppmX, double ppmY) {
  auto dpi = [](double ppm) {
    double d = DpiFromPixelsPerMetre(ppm);
    return std::nearbyint(d) == 0 ? double(DefaultDPI) : d;
  };
  params.SetDpiX(dpi(ppmX));
  params.SetDpiY(dpi(ppmY));
}

int64_t PixelsPerMetreFromDpi(int32_t dpi, int64_t low, int64_t high) {
  // Any 32-bit resolution times 39.37 stays far inside the 64-bit range.
  double v = std::nearbyint(dpi / kCentimetresPerInch * 100);
  return std::clamp(int64_t(v), low, high);
}

}  // namespace lumenax
