#include "io/pam_dump.h"

#include <string>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/stream.h"
#include "io/replace_file.h"

namespace lumenax {

void WriteBitmapAsPam(TLxBitmap& bitmap, TStream& stream) {
  int width = bitmap.IsEmpty() ? 0 : bitmap.Width();
  int height = bitmap.IsEmpty() ? 0 : bitmap.Height();
  std::string header = "P7\nWIDTH " + std::to_string(width) + "\nHEIGHT " + std::to_string(height) +
                       "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  stream.WriteBuffer(header.data(), int64_t(header.size()));
  TLxBitmap* alpha = bitmap.HasAlphaChannel() ? bitmap.AlphaChannel() : nullptr;
  std::vector<uint8_t> row(size_t(width) * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      TRGB c = bitmap.PixelAsRGB(x, y);
      uint8_t* p = row.data() + size_t(x) * 4;
      p[0] = c.r;
      p[1] = c.g;
      p[2] = c.b;
      p[3] = 255;
    }
    if (alpha) {
      const uint8_t* a = alpha->ScanLine(y);
      for (int x = 0; x < width; ++x) row[size_t(x) * 4 + 3] = a[x];
    }
    stream.WriteBuffer(row.data(), int64_t(row.size()));
  }
}

void SaveBitmapAsPam(TLxBitmap& bitmap, const std::filesystem::path& fileName) {
  TLxReplacingFile file(fileName);
  WriteBitmapAsPam(bitmap, file.Stream());
  file.Commit();
}

}  // namespace lumenax
