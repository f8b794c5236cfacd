// Resolution fields of file formats (pixels per metre, as BMP and PNG store them) and the
// record's dots per inch.
#pragma once

#include <cstdint>

namespace lumenax {

class TIOParamsVals;

constexpr double kCentimetresPerInch = 2.54;

// Dots per inch of a resolution in pixels per metre, unrounded: ppm / 100 x 2.54.
double DpiFromPixelsPerMetre(double ppm);

// Sets DpiX and DpiY from pixels per metre (the record rounds, halves to even). A value that
// rounds to 0 dots per inch (a file that states no resolution) stores DefaultDPI instead.
void SetDpiFromPixelsPerMetre(TIOParamsVals& params, double ppmX, double ppmY);

// Pixels per metre of a resolution in dots per inch: dpi / 2.54 x 100 rounded to the nearest
// whole number (halves to even), then clamped to [low, high], the range of the format's field.
int64_t PixelsPerMetreFromDpi(int32_t dpi, int64_t low, int64_t high);

}  // namespace lumenax
