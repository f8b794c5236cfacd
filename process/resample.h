// Resampling: changes the width and height of a bitmap with one of fourteen filters.
//
// ResampleBitmap picks the algorithm by filter and pixel layout:
//   rfNone                      nearest-neighbour copy, every layout (lx8p keeps its palette)
//   rfTriangle .. rfLinear      two-pass kernel resampler: lx24RGB, lx8g, lx1g (into lx24RGB)
//   rfFastLinear                interpolation / span means: lx24RGB, lx8g, lx1g (into lx24RGB)
//   rfBilinear, rfBicubic       area-weighted: lx24RGB, lx8g, lxRGB48, lx16g, lx1g (into
//                               lx24RGB)
//   rfProjectBW, rfProjectWB    black-and-white projection: lx24RGB and lx1g, into lx1g
// Any other combination is refused with the reason "unsupported" and leaves the target as it
// was. An alpha channel is resampled with the same filter as an 8-bit plane; pixels whose
// alpha is 0 are read as gray (128, 128, 128) from an lx24RGB source (the source itself is
// never changed).
#pragma once

#include <cstdint>
#include <string_view>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"

namespace lumenax {

enum TResampleFilter : uint8_t {
  rfNone = 0,
  rfTriangle = 1,
  rfHermite = 2,
  rfBell = 3,
  rfBSpline = 4,
  rfLanczos3 = 5,
  rfMitchell = 6,
  rfNearest = 7,
  rfLinear = 8,
  rfFastLinear = 9,
  rfBilinear = 10,
  rfBicubic = 11,
  rfProjectBW = 12,
  rfProjectWB = 13,
};
constexpr int kResampleFilterCount = 14;

// "rfLanczos3" etc.; nullptr for values outside the enumeration.
const char* ResampleFilterName(TResampleFilter filter);
// A filter by name, with or without the "rf" prefix and in any case ("lanczos3",
// "RFBICUBIC"), or by its value "0" to "13". False when nothing matches.
bool ResampleFilterFromName(std::string_view name, TResampleFilter& filter);

// Whether ResampleBitmap has an algorithm for this filter on a source of this layout.
bool ResampleSupported(PixelFormat source, TResampleFilter filter);
// The layout ResampleBitmap gives the target for this source layout and filter (lxNone when
// the combination is not served).
PixelFormat ResampledPixelFormat(PixelFormat source, TResampleFilter filter);

// Fills target, allocated at the size wanted, from source with filter. The target takes the
// layout ResampledPixelFormat names (it is reallocated at its own size when its layout
// differs), and an alpha channel when the source has one. Progress goes to the record's
// handler as whole percentages, each reported once; a handler that sets Aborting stops the
// work. Returns true when the target was filled; otherwise the reason is in the record
// (Unsupported "unsupported", NoImage for an empty source or target, OutOfMemory, Cancelled)
// and the target is left as it was unless the work was cancelled halfway.
bool ResampleBitmap(TLxBitmap& source, TLxBitmap& target, TResampleFilter filter,
                    ProgressRecord& progress);

// Fixed-point scale of the fast linear interpolation fraction.
constexpr int kFastLinearScale = 131072;
// Added to span ends of the fast linear reduction so that a whole quotient computed a hair
// below its value is not truncated one column short.
constexpr double kFastLinearSpanNudge = 0.0000000001;
// The weights of one target pixel of the two-pass resampler sum to this.
constexpr int kKernelWeightBits = 14;
constexpr int kKernelWeightSum = 1 << kKernelWeightBits;

}  // namespace lumenax
