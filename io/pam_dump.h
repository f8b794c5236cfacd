// The reference view of a decoded image: a PAM file (P7, TUPLTYPE RGB_ALPHA, MAXVAL 255)
// holding every pixel's PixelAsRGB and its alpha value (255 without an alpha channel).
// Tests and benchmarks compare it with what other programs decode.
#pragma once

#include <filesystem>

namespace lumenax {

class TLxBitmap;
class TStream;

void WriteBitmapAsPam(TLxBitmap& bitmap, TStream& stream);
// Writes beside the target and replaces it only when complete; raises EFCreateError or
// EWriteError.
void SaveBitmapAsPam(TLxBitmap& bitmap, const std::filesystem::path& fileName);

}  // namespace lumenax
