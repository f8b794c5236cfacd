// BMP writer: bottom-up Windows bitmaps of 1, 4, 8, 24 and 32 bits, RLE4/RLE8 on request,
// with a core, 40-byte or 64-byte info header.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/byte_reader.h"
#include "bitmap/conversion.h"
#include "codecs/bmp/bmp.h"
#include "codecs/bmp/bmp_rle.h"
#include "io/params.h"
#include "bitmap/progress.h"
#include "quantize/quantizer.h"

namespace lumenax {
namespace {

constexpr size_t kWriteBlock = size_t(1) << 20;

void PutU16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(uint8_t(x)), v.push_back(uint8_t(x >> 8));
}
void PutU32(std::vector<uint8_t>& v, uint32_t x) {
  PutU16(v, x & 0xFFFF), PutU16(v, x >> 16);
}

// Collects output in large blocks; a write that the stream does not take completely sets
// Aborting. Counts every byte so that positions need no seeks.
class BlockWriter {
 public:
  // expected: about how many bytes will be written, so that small images take small buffers.
  BlockWriter(TStream& stream, ProgressRecord& progress, int64_t expected)
      : stream_(stream), progress_(progress) {
    buffer_.reserve(size_t(std::clamp<int64_t>(expected, 64, int64_t(kWriteBlock))));
  }
  void Put(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    written_ += int64_t(n);
    if (n >= kWriteBlock) {
      Flush();
      Write(b, n);
      return;
    }
    if (buffer_.size() + n > kWriteBlock) Flush();
    buffer_.insert(buffer_.end(), b, b + n);
  }
  void Put(const std::vector<uint8_t>& v) { Put(v.data(), v.size()); }
  void Flush() {
    if (!buffer_.empty()) Write(buffer_.data(), buffer_.size());
    buffer_.clear();
  }
  int64_t Written() const { return written_; }

 private:
  void Write(const uint8_t* p, size_t n) {
    if (failed_) return;
    if (stream_.Write(p, int64_t(n)) != int64_t(n)) {
      failed_ = true;
      progress_.Abort();
    }
  }
  TStream& stream_;
  ProgressRecord& progress_;
  std::vector<uint8_t> buffer_;
  int64_t written_ = 0;
  bool failed_ = false;
};

enum class HeaderKind { Core, Info40, Info64 };

struct HeaderFields {
  HeaderKind kind = HeaderKind::Info40;
  int width = 0, height = 0, bits = 0;
  uint32_t compression = 0, imageSize = 0, colorsUsed = 0, colorsImportant = 0;
  int32_t ppmX = 0, ppmY = 0;
};

std::vector<uint8_t> InfoHeader(const HeaderFields& f) {
  std::vector<uint8_t> v;
  if (f.kind == HeaderKind::Core) {
    PutU32(v, 12);
    PutU16(v, uint32_t(f.width)), PutU16(v, uint32_t(f.height));
    PutU16(v, 1), PutU16(v, uint32_t(f.bits));
    return v;
  }
  PutU32(v, f.kind == HeaderKind::Info64 ? 64 : 40);
  PutU32(v, uint32_t(f.width)), PutU32(v, uint32_t(f.height));
  PutU16(v, 1), PutU16(v, uint32_t(f.bits));
  PutU32(v, f.compression), PutU32(v, f.imageSize);
  PutU32(v, uint32_t(f.ppmX)), PutU32(v, uint32_t(f.ppmY));
  PutU32(v, f.colorsUsed), PutU32(v, f.colorsImportant);
  if (f.kind == HeaderKind::Info64) v.resize(64, 0);
  return v;
}

std::vector<uint8_t> FileHeader(uint32_t fileSize, uint32_t dataOffset) {
  std::vector<uint8_t> v;
  PutU16(v, 0x4D42);
  PutU32(v, fileSize);
  PutU32(v, 0);
  PutU32(v, dataOffset);
  return v;
}

int32_t PixelsPerMetre(int32_t dpi) {
  double v = std::nearbyint(dpi / 2.54 * 100);
  return int32_t(std::clamp(v, double(INT32_MIN), double(INT32_MAX)));
}

// Pending literal pixels of the RLE encoders, flushed in chunks of at most 255.
void FlushLiterals8(const uint8_t* p, int n, std::vector<uint8_t>& out) {
  while (n > 0) {
    int c = std::min(n, 255);
    if (c == 1) {
      out.push_back(1), out.push_back(p[0]);
    } else if (c == 2) {
      out.push_back(1), out.push_back(p[0]), out.push_back(1), out.push_back(p[1]);
    } else {
      out.push_back(0), out.push_back(uint8_t(c));
      out.insert(out.end(), p, p + c);
      if (c & 1) out.push_back(0);
    }
    p += c, n -= c;
  }
}

void FlushLiterals4(const uint8_t* p, int n, std::vector<uint8_t>& out) {
  while (n > 0) {
    int c = std::min(n, 255);
    if (c == 1) {
      out.push_back(1), out.push_back(uint8_t(p[0] << 4));
    } else if (c == 2) {
      out.push_back(2), out.push_back(uint8_t(p[0] << 4 | (p[1] & 15)));
    } else {
      out.push_back(0), out.push_back(uint8_t(c));
      int bytes = (c + 1) / 2;
      for (int i = 0; i < bytes; ++i) {
        uint8_t hi = p[2 * i] & 15, lo = 2 * i + 1 < c ? p[2 * i + 1] & 15 : 0;
        out.push_back(uint8_t(hi << 4 | lo));
      }
      if (bytes & 1) out.push_back(0);
    }
    p += c, n -= c;
  }
}

}  // namespace

// One row of indices (one per byte) as RLE8 or RLE4, ending with the end-of-line mark.
// Two or more equal neighbours become a run of at most 255; everything else is literal.
void EncodeBmpRleRow(const uint8_t* idx, int width, bool rle4, std::vector<uint8_t>& out) {
  int literalStart = 0;
  int x = 0;
  auto flush = [&](int end) {
    if (rle4)
      FlushLiterals4(idx + literalStart, end - literalStart, out);
    else
      FlushLiterals8(idx + literalStart, end - literalStart, out);
  };
  while (x < width) {
    if (x - literalStart > 255) {
      flush(x);
      literalStart = x;
    }
    if (x + 1 < width && idx[x] == idx[x + 1]) {
      flush(x);
      int run = 2;
      while (x + run < width && run < 255 && idx[x + run] == idx[x]) ++run;
      uint8_t v = idx[x];
      out.push_back(uint8_t(run));
      out.push_back(rle4 ? uint8_t((v & 15) << 4 | (v & 15)) : v);
      x += run;
      literalStart = x;
    } else {
      ++x;
    }
  }
  flush(width);
  out.push_back(0), out.push_back(0);
}

namespace {

// Alpha of one row as bytes, 255 where the channel has no value (a channel that does not
// match the image's size after a resize).
void AlphaRow(TLxBitmap* alpha, int y, int width, uint8_t* out) {
  std::fill(out, out + width, uint8_t(255));
  if (!alpha || y >= alpha->Height()) return;
  const int n = std::min(width, alpha->Width());
  const uint8_t* r = alpha->ScanLine(y);
  if (!r) return;
  if (alpha->PixelFormat() == lx8g) {
    std::memcpy(out, r, size_t(n));
  } else if (alpha->PixelFormat() == lx1g) {
    for (int x = 0; x < n; ++x) out[x] = (r[x >> 3] >> (7 - (x & 7))) & 1 ? 255 : 0;
  }
}

// Looks at every value: AllOpaque is only a hint, and 1-bit channels never lower it.
bool AlphaIsOpaque(TLxBitmap& bitmap) {
  TLxBitmap* a = bitmap.AlphaChannel();
  if (!a) return true;
  std::vector<uint8_t> row(size_t(bitmap.Width()));
  for (int y = 0; y < bitmap.Height(); ++y) {
    AlphaRow(a, y, bitmap.Width(), row.data());
    for (uint8_t v : row)
      if (v != 255) return false;
  }
  return true;
}

// Colours of row y as blue, green, red.
const uint8_t* ColourRow(TLxBitmap& bitmap, int y, std::vector<uint8_t>& scratch) {
  const uint8_t* src = bitmap.ScanLine(y);
  if (bitmap.PixelFormat() == lx24RGB) return src;
  const int w = bitmap.Width();
  for (int x = 0; x < w; ++x) {
    TRGB c = PixelAsRGBFromRow(bitmap, src, x);
    scratch[3 * size_t(x)] = c.b, scratch[3 * size_t(x) + 1] = c.g,
                scratch[3 * size_t(x) + 2] = c.r;
  }
  return scratch.data();
}

void WriteBmp(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool keepAlpha,
              ProgressRecord& progress) {
  const int width = bitmap.Width(), height = bitmap.Height();
  if (bitmap.IsEmpty()) {
    progress.Abort();
    return;
  }
  const int64_t start = stream.Position();

  // ---- depth
  int bits;
  if (keepAlpha && bitmap.HasAlphaChannel() && !AlphaIsOpaque(bitmap))
    bits = 32;
  else if (params.BitsPerSample == 1)
    bits = 1;
  else if (params.BitsPerSample == 4)
    bits = 4;
  else if (params.SamplesPerPixel == 1)
    bits = 8;
  else if (bitmap.HasAlphaChannel())
    bits = 32;
  else
    bits = 24;

  HeaderFields hf;
  hf.width = width;
  hf.height = height;
  hf.bits = bits;
  if (params.BmpVersion == 2 && width <= 0xFFFF && height <= 0xFFFF)
    hf.kind = HeaderKind::Core;
  else if (params.BmpVersion == 3)
    hf.kind = HeaderKind::Info64;
  else
    hf.kind = HeaderKind::Info40;
  const bool core = hf.kind == HeaderKind::Core;
  const bool rle = (bits == 4 || bits == 8) && params.BmpCompression == 1 && !core;
  hf.compression = rle ? (bits == 4 ? 2 : 1) : 0;
  hf.ppmX = PixelsPerMetre(params.DpiX);
  hf.ppmY = PixelsPerMetre(params.DpiY);
  hf.colorsUsed = bits <= 8 ? 1u << bits : 0;
  hf.colorsImportant = bits == 32 ? 1 : 1u << std::min(bits, 24);

  const int64_t rowLen = ((int64_t(width) * bits + 31) / 32) * 4;
  if (!rle && rowLen * height + 14 + 64 + 1024 > int64_t(UINT32_MAX)) {
    // Beyond what the 32-bit size fields of the format can describe.
    progress.Abort();
    return;
  }

  BlockWriter out(stream, progress, 14 + 64 + 1024 + rowLen * height);
  {
    HeaderFields placeholder = hf;
    placeholder.bits = 0;
    out.Put(FileHeader(0, 0));
    out.Put(InfoHeader(placeholder));
  }
  progress.Per1 = 100.0 / height;

  // ---- palette and the image the rows come from
  TLxBitmap* source = &bitmap;
  std::unique_ptr<TLxBitmap> scratchImage;
  std::unique_ptr<TLxQuantizer> quantizer;
  TRGB palette[256] = {};
  uint8_t remap[256];
  for (int i = 0; i < 256; ++i) remap[i] = uint8_t(i);
  const int colours = bits <= 8 ? 1 << bits : 0;

  if (bits == 4 || bits == 8) {
    // Gray layouts go to the quantizer as they are (it gives them a gray ramp); colour
    // layouts other than the two it reads directly are converted to lx24RGB first.
    const PixelFormat pf = bitmap.PixelFormat();
    if (pf != lx24RGB && pf != lx8p && pf != lx1g && pf != lx8g && pf != lx16g && pf != lx32f) {
      scratchImage = std::make_unique<TLxBitmap>();
      scratchImage->AssignImage(bitmap);
      scratchImage->SetPixelFormat(lx24RGB);
      source = scratchImage.get();
    }
    quantizer = std::make_unique<TLxQuantizer>(*source, palette, colours);
    if (source->PixelFormat() == lx8p && colours < 256) {
      // Indices the smaller palette does not have take its nearest colour.
      for (int i = colours; i < 256; ++i) {
        TRGB c = source->GetPaletteEntry(i);
        int best = 0, bestD = INT32_MAX;
        for (int j = 0; j < colours; ++j) {
          int dr = c.r - palette[j].r, dg = c.g - palette[j].g, db = c.b - palette[j].b;
          int d = dr * dr + dg * dg + db * db;
          if (d < bestD) best = j, bestD = d;
        }
        remap[i] = uint8_t(best);
      }
    }
  } else if (bits == 1) {
    const TRGB black{0, 0, 0}, white{255, 255, 255};
    palette[0] = black, palette[1] = white;
    if (bitmap.PixelFormat() != lx1g) {
      TRGB c1, c2;
      scratchImage = ExtractColoursFor1Bit(bitmap, c1, c2);
      if (scratchImage) {
        palette[0] = c1, palette[1] = c2;
      } else {
        scratchImage = std::make_unique<TLxBitmap>();
        scratchImage->BlackWhiteMethod = bitmap.BlackWhiteMethod;
        scratchImage->AssignImage(bitmap);
        scratchImage->SetPixelFormat(lx1g);
      }
      source = scratchImage.get();
      if (source->PixelFormat() != lx1g || source->Width() != width || source->Height() != height) {
        progress.Abort();  // the conversion could not make a 1-bit image of it
        return;
      }
    }
  }
  if (colours > 0) {
    params.SetColorMap(palette, colours);
    std::vector<uint8_t> pal;
    for (int i = 0; i < colours; ++i) {
      pal.push_back(palette[i].b), pal.push_back(palette[i].g), pal.push_back(palette[i].r);
      if (!core) pal.push_back(0);
    }
    out.Put(pal);
  }
  const int64_t dataStart = out.Written();

  // ---- rows, bottom first
  std::vector<uint8_t> row(size_t(rowLen) + 4, 0);
  std::vector<uint8_t> scratch(size_t(width) * 3 + 4);
  std::vector<uint8_t> indices(size_t(std::max<int64_t>(width, rowLen)));
  std::vector<uint8_t> alphaRow(bits == 32 ? size_t(width) : 0);
  std::vector<uint8_t> encoded;
  TLxBitmap* alpha =
      bits == 32 && keepAlpha && bitmap.HasAlphaChannel() ? bitmap.AlphaChannel() : nullptr;
  uint32_t lastColour = 0xFFFFFFFF;
  int lastIndex = 0;
  bool complete = true;
  for (int k = 0; k < height; ++k) {
    const int y = height - 1 - k;
    progress.Report(int(int64_t(k) * 100 / height));
    if (progress.Aborting()) {
      complete = false;
      break;
    }
    switch (bits) {
      case 1: {
        const uint8_t* src = source->ScanLine(y);
        const int bytes = (width + 7) / 8;
        std::memcpy(row.data(), src, size_t(std::min<int64_t>(bytes, source->RowLen())));
        if (width & 7) row[size_t(bytes - 1)] &= uint8_t(0xFF00 >> (width & 7));
        out.Put(row.data(), size_t(rowLen));
        break;
      }
      case 4:
      case 8: {
        const uint8_t* src = source->ScanLine(y);
        if (source->PixelFormat() == lx8p) {
          for (int x = 0; x < width; ++x) indices[size_t(x)] = remap[src[x]];
        } else {
          for (int x = 0; x < width; ++x) {
            uint32_t c = PackBGR(PixelAsRGBFromRow(*source, src, x));
            if (c != lastColour) {
              int i = quantizer->RGBToIndex(c);
              lastIndex = i >= 0 && i < colours ? i : 0;
              lastColour = c;
            }
            indices[size_t(x)] = uint8_t(lastIndex);
          }
        }
        if (rle) {
          encoded.clear();
          EncodeBmpRleRow(indices.data(), width, bits == 4, encoded);
          out.Put(encoded);
        } else if (bits == 8) {
          std::memcpy(row.data(), indices.data(), size_t(width));
          out.Put(row.data(), size_t(rowLen));
        } else {
          for (int x = 0; x < width; x += 2) {
            uint8_t hi = indices[size_t(x)], lo = x + 1 < width ? indices[size_t(x) + 1] : 0;
            row[size_t(x / 2)] = uint8_t(hi << 4 | lo);
          }
          out.Put(row.data(), size_t(rowLen));
        }
        break;
      }
      case 24: {
        const uint8_t* src = ColourRow(bitmap, y, scratch);
        std::memcpy(row.data(), src, size_t(width) * 3);
        out.Put(row.data(), size_t(rowLen));
        break;
      }
      case 32: {
        const uint8_t* src = ColourRow(bitmap, y, scratch);
        if (alpha)
          AlphaRow(alpha, y, width, alphaRow.data());
        else
          std::fill(alphaRow.begin(), alphaRow.end(), uint8_t(255));
        uint8_t* d = row.data();
        for (int x = 0; x < width; ++x) {
          d[4 * x] = src[3 * x], d[4 * x + 1] = src[3 * x + 1], d[4 * x + 2] = src[3 * x + 2];
          d[4 * x + 3] = alphaRow[size_t(x)];
        }
        out.Put(row.data(), size_t(rowLen));
        break;
      }
    }
  }
  if (complete && rle) {
    const uint8_t eob[2] = {0, 1};
    out.Put(eob, 2);
  }
  out.Flush();
  quantizer.reset();
  scratchImage.reset();
  if (progress.Aborting()) return;

  // ---- complete the headers
  const int64_t end = out.Written();
  if (end > int64_t(UINT32_MAX)) {
    progress.Abort();
    return;
  }
  hf.imageSize = uint32_t(end - dataStart);
  std::vector<uint8_t> head = FileHeader(uint32_t(end), uint32_t(dataStart));
  std::vector<uint8_t> info = InfoHeader(hf);
  head.insert(head.end(), info.begin(), info.end());
  stream.Seek(start, soBeginning);
  if (stream.Write(head.data(), int64_t(head.size())) != int64_t(head.size())) progress.Abort();
  stream.Seek(start + end, soBeginning);
}

}  // namespace

// Scratch buffers are bounded by the file (or the image) before they are made; a machine
// that still cannot provide them fails the operation instead of throwing through callers.
void WriteBMPStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool keepAlpha,
                    ProgressRecord& progress) {
  try {
    WriteBmp(stream, bitmap, params, keepAlpha, progress);
  } catch (const std::bad_alloc&) {
    progress.Abort();
  } catch (const std::length_error&) {
    progress.Abort();
  }
}

}  // namespace lumenax
