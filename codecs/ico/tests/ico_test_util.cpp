#include "codecs/ico/tests/ico_test_util.h"

#include "bitmap/stream.h"
#include "codecs/ico/ico.h"
#include "codecs/png/png.h"

namespace lumenax::test {

namespace {

void Put16(Bytes& b, uint32_t v) {
  b.push_back(uint8_t(v)), b.push_back(uint8_t(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF), Put16(b, v >> 16);
}

}  // namespace

Bytes Dib::Encode() const {
  Bytes b;
  Put32(b, headerSize);
  Put32(b, uint32_t(width));
  Put32(b, uint32_t(headerHeight ? headerHeight : 2 * height));
  Put16(b, 1);
  Put16(b, uint32_t(bits));
  Put32(b, compression);
  Put32(b, 0);
  Put32(b, uint32_t(ppm));
  Put32(b, uint32_t(ppm));
  Put32(b, colorsUsed);
  Put32(b, 0);
  b.resize(headerSize, 0);
  for (const TRGB& c : palette)
    b.push_back(c.b), b.push_back(c.g), b.push_back(c.r), b.push_back(0);
  const size_t rowLen = size_t((width * bits + 31) / 32 * 4);
  for (int y = height - 1; y >= 0; --y) {
    Bytes row(rowLen, 0);
    for (int x = 0; x < width; ++x) {
      const uint32_t v = pixel(x, y);
      switch (bits) {
        case 1:
        case 2:
        case 4:
        case 8: {
          const int bit = x * bits;
          row[size_t(bit / 8)] |= uint8_t(v << (8 - bits - bit % 8));
          break;
        }
        case 16:
          row[size_t(2 * x)] = uint8_t(v), row[size_t(2 * x + 1)] = uint8_t(v >> 8);
          break;
        case 24:
        case 32:
          for (int c = 0; c < bits / 8; ++c) row[size_t(x * bits / 8 + c)] = uint8_t(v >> (8 * c));
          break;
      }
    }
    b.insert(b.end(), row.begin(), row.end());
  }
  if (withMask) {
    const size_t maskLen = size_t((width + 31) / 32 * 4);
    for (int y = height - 1; y >= 0; --y) {
      Bytes row(maskLen, 0);
      for (int x = 0; x < width; ++x)
        if (transparent(x, y)) row[size_t(x / 8)] |= uint8_t(0x80 >> (x % 8));
      b.insert(b.end(), row.begin(), row.end());
    }
  }
  return b;
}

Entry EntryFor(const Dib& dib) {
  Entry e;
  e.width = uint8_t(dib.width & 0xFF);
  e.height = uint8_t(dib.height & 0xFF);
  e.colours = dib.bits < 8 ? uint8_t(1 << dib.bits) : 0;
  e.bitCount = uint16_t(dib.bits);
  e.data = dib.Encode();
  return e;
}

Bytes MakeIconFile(uint16_t type, const std::vector<Entry>& entries) {
  Bytes b;
  Put16(b, 0), Put16(b, type), Put16(b, uint32_t(entries.size()));
  uint32_t offset = uint32_t(6 + 16 * entries.size());
  for (const Entry& e : entries) {
    b.push_back(e.width), b.push_back(e.height), b.push_back(e.colours), b.push_back(0);
    Put16(b, e.planes), Put16(b, e.bitCount);
    Put32(b, uint32_t(e.data.size()));
    Put32(b, e.offset >= 0 ? uint32_t(e.offset) : offset);
    offset += uint32_t(e.data.size());
  }
  for (const Entry& e : entries) b.insert(b.end(), e.data.begin(), e.data.end());
  return b;
}

RgbaImage Loaded::Rgba() {
  if (mask) bitmap.AlphaChannel()->CopyFromMask(mask.get());
  mask.reset();
  return BitmapToRgba(bitmap);
}

void LoadIcon(const Bytes& file, Loaded& out, bool cursor,
              const std::function<void(TIOParamsVals&)>& prepare, bool infoOnly) {
  TLxMemStream stream(file.data(), int64_t(file.size()));
  if (prepare) prepare(out.params);
  out.aborting = false;
  out.reason.Clear();
  ProgressRecord progress;
  progress.AbortingPtr = &out.aborting;
  progress.ReasonPtr = &out.reason;
  if (cursor)
    ReadCurStream(stream, out.bitmap, out.params, false, out.mask, progress, infoOnly);
  else
    ReadIcoStream(stream, out.bitmap, out.params, false, out.mask, progress, infoOnly);
}

Bytes PngOf(TLxBitmap& bitmap) {
  TMemoryStream out;
  TIOParamsVals params;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  std::unique_ptr<TLxMask> mask;
  if (bitmap.HasAlphaChannel()) {
    mask = std::make_unique<TLxMask>();
    bitmap.AlphaChannel()->CopyToMask(*mask);
  }
  WritePNGStream(out, bitmap, params, mask.get(), progress);
  return out.Bytes();
}

}  // namespace lumenax::test
