// GIF writer: one frame, a global palette of 2^Bits entries, the control and comment
// extensions always written.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/gif/gif.h"
#include "io/params.h"
#include "quantize/quantizer.h"

namespace lumenax {
namespace {

constexpr TRGB kBlack{0, 0, 0};
constexpr TRGB kWhite{255, 255, 255};

// Writes that remember whether the stream took everything.
struct Out {
  TStream& s;
  bool ok = true;
  void Bytes(const void* p, size_t n) {
    if (n > 0 && s.Write(p, int64_t(n)) != int64_t(n)) ok = false;
  }
  void U8(uint8_t v) { Bytes(&v, 1); }
  void U16(int v) {
    const int c = std::clamp(v, 0, 65535);
    const uint8_t b[2] = {uint8_t(c), uint8_t(c >> 8)};
    Bytes(b, 2);
  }
};

uint32_t Pack(TRGB c) {
  return uint32_t(c.b) | uint32_t(c.g) << 8 | uint32_t(c.r) << 16;
}

// The first palette entry with the smallest sum of absolute channel differences.
int Nearest(const TRGB* palette, int count, TRGB c) {
  int best = 0, bestDistance = 1 << 30;
  for (int i = 0; i < count; ++i) {
    const int d =
        std::abs(palette[i].r - c.r) + std::abs(palette[i].g - c.g) + std::abs(palette[i].b - c.b);
    if (d < bestDistance) best = i, bestDistance = d;
  }
  return best;
}

// Indexes of a bilevel bitmap: one byte 0 or 1 per pixel.
void BitsToIndexes(TLxBitmap& b, std::vector<uint8_t>& out) {
  const int w = b.Width();
  for (int y = 0; y < b.Height(); ++y) {
    const uint8_t* row = b.ScanLine(y);
    uint8_t* dst = out.data() + size_t(y) * size_t(w);
    for (int x = 0; x < w; ++x) dst[x] = row[x >> 3] >> (7 - (x & 7)) & 1;
  }
}

// Up to two distinct colours of the image in the order met; false for more.
bool TwoColours(TLxBitmap& b, TRGB& first, TRGB& second, int& count) {
  count = 0;
  for (int y = 0; y < b.Height(); ++y) {
    for (int x = 0; x < b.Width(); ++x) {
      const TRGB c = b.PixelAsRGB(x, y);
      if (count > 0 && c == first) continue;
      if (count > 1 && c == second) continue;
      if (count == 2) return false;
      (count == 0 ? first : second) = c;
      ++count;
    }
  }
  return true;
}

// target := source in target's layout. The conversion hands the alpha channel over to the
// target; it goes back to the source, which is the caller's image.
void ConvertKeepingAlpha(TLxBitmap& target, TLxBitmap& source) {
  target.CopyAndConvertFormat(source);
  if (target.HasAlphaChannel()) source.AttachAlphaChannel(target.DetachAlphaChannel());
}

}  // namespace

void WriteGifStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                    ProgressRecord& progress) {
  progress.Report(0);
  if (progress.Aborting()) return;
  const int width = bitmap.Width(), height = bitmap.Height();
  if (bitmap.IsEmpty() || width <= 0 || height <= 0) {
    progress.Fail(TLxFailure::NoImage, "no image to save");
    return;
  }
  if (width > 65535 || height > 65535) {
    progress.Fail(TLxFailure::TooLarge, "too large");
    return;
  }
  // A depth a GIF cannot hold (16 bits after a 16-bit PNG, say) is written as 8 bits.
  int bits = params.BitsPerSample;
  if (bits < 1 || bits > 8) bits = 8;
  const bool hasAlpha = bitmap.HasAlphaChannel();
  int colours = 1 << bits;
  const int transparentSlot = (1 << bits) - 1;
  if (hasAlpha) {
    colours -= 1;
    params.GifTransparent = true;
  }

  std::vector<uint8_t> indexes;
  try {
    indexes.assign(size_t(width) * size_t(height), 0);
  } catch (const std::bad_alloc&) {
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the indexes");
    return;
  }
  TRGB palette[256] = {};
  std::unique_ptr<TLxQuantizer> quantizer;
  if (bits == 1) {
    TRGB first{}, second{};
    int distinct = 0;
    if (bitmap.PixelFormat() == lx1g) {
      palette[0] = kBlack;
      palette[1] = kWhite;
      BitsToIndexes(bitmap, indexes);
    } else if (TwoColours(bitmap, first, second, distinct)) {
      // Two colours keep their own values, the first one met at index 0.
      palette[0] = first;
      palette[1] = distinct == 2 ? second : first;
      for (int y = 0; y < height; ++y) {
        uint8_t* dst = indexes.data() + size_t(y) * size_t(width);
        for (int x = 0; x < width; ++x) dst[x] = bitmap.PixelAsRGB(x, y) == first ? 0 : 1;
      }
    } else {
      TLxBitmap bw(width, height, lx1g);
      ConvertKeepingAlpha(bw, bitmap);
      palette[0] = kBlack;
      palette[1] = kWhite;
      BitsToIndexes(bw, indexes);
    }
  } else {
    // An lx8p bitmap keeps its indexes when they all fit the colours the file can hold.
    bool copyIndexes = bitmap.PixelFormat() == lx8p;
    for (int y = 0; y < height && copyIndexes; ++y) {
      const uint8_t* row = bitmap.ScanLine(y);
      copyIndexes = *std::max_element(row, row + width) < colours;
    }
    if (copyIndexes) {
      for (int i = 0; i < 256; ++i) palette[i] = bitmap.GetPaletteEntry(i);
      for (int y = 0; y < height; ++y)
        std::memcpy(indexes.data() + size_t(y) * size_t(width), bitmap.ScanLine(y), size_t(width));
    } else {
      TLxBitmap converted;
      TLxBitmap* source = &bitmap;
      if (bitmap.PixelFormat() != lx24RGB) {
        if (!converted.Allocate(width, height, lx24RGB)) {
          progress.Fail(TLxFailure::OutOfMemory, "no memory for the conversion");
          return;
        }
        ConvertKeepingAlpha(converted, bitmap);
        source = &converted;
      }
      quantizer = std::make_unique<TLxQuantizer>(*source, palette, colours);
      for (int y = 0; y < height; ++y) {
        const uint8_t* row = source->ScanLine(y);
        uint8_t* dst = indexes.data() + size_t(y) * size_t(width);
        for (int x = 0; x < width; ++x, row += 3)
          dst[x] = uint8_t(quantizer->RGBToIndex(row[0] | row[1] << 8 | row[2] << 16));
      }
    }
  }
  if (hasAlpha) {
    TLxBitmap* alpha = bitmap.AlphaChannel();
    for (int y = 0; y < height; ++y) {
      const uint8_t* a = alpha->ScanLine(y);
      uint8_t* dst = indexes.data() + size_t(y) * size_t(width);
      for (int x = 0; x < width; ++x)
        if (a[x] != 255) dst[x] = uint8_t(transparentSlot);
    }
    palette[transparentSlot] = params.GifTransparentColor;
  }
  progress.Report(30);
  if (progress.Aborting()) return;

  auto indexOf = [&](TRGB c) {
    return quantizer ? quantizer->RGBToIndex(Pack(c)) : Nearest(palette, colours, c);
  };
  Out out{stream};
  const bool validVersion = params.GifVersion.size() == 6 && params.GifVersion.starts_with("GIF");
  out.Bytes(validVersion ? params.GifVersion.data() : "GIF89a", 6);
  out.U16(width);
  out.U16(height);
  out.U8(uint8_t(0x80 | (bits - 1) << 4 | (bits - 1)));
  out.U8(uint8_t(indexOf(params.GifBackgroundColor)));
  out.U8(0);
  for (int i = 0; i < (1 << bits); ++i) {
    const uint8_t rgb[3] = {palette[i].r, palette[i].g, palette[i].b};
    out.Bytes(rgb, 3);
  }
  // Graphic control extension.
  const uint8_t control[4] = {
      0x21, 0xF9, 4, uint8_t((params.GifTransparent ? 1 : 0) | (params.GifDisposal & 7) << 2)};
  out.Bytes(control, 4);
  out.U16(params.GifDelay);
  out.U8(uint8_t(hasAlpha ? transparentSlot : indexOf(params.GifTransparentColor)));
  out.U8(0);
  // Image descriptor, no local table.
  out.U8(0x2C);
  out.U16(params.GifLeft);
  out.U16(params.GifTop);
  out.U16(width);
  out.U16(height);
  out.U8(params.GifInterlaced ? 0x40 : 0);
  progress.Report(70);
  if (progress.Aborting()) return;
  TGifEncoderHook encode = params.GifEncoderHook ? params.GifEncoderHook : DefaultGifEncoderHook;
  if (!encode) {
    progress.Fail(TLxFailure::NoWriter, "no LZW encoder installed");
    return;
  }
  if (!encode(stream, height, width, bits, indexes.data(), params.GifInterlaced)) out.ok = false;
  // Comment extension, always written. A comment longer than a sub-block takes several; an
  // empty one would end the extension and is left out.
  out.U8(0x21);
  out.U8(0xFE);
  for (const std::string& comment : params.GifComments) {
    for (size_t at = 0; at < comment.size(); at += 255) {
      const size_t n = std::min<size_t>(255, comment.size() - at);
      out.U8(uint8_t(n));
      out.Bytes(comment.data() + at, n);
    }
  }
  out.U8(0);
  out.U8(0x3B);
  if (!out.ok) {
    progress.Fail(TLxFailure::WriteFailed, "the target took fewer bytes than written");
    return;
  }
  progress.Report(100);
}

}  // namespace lumenax
