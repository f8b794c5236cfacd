// Targa writer: depth 1 (gray type), 8 (colour-mapped from a quantizer, or gray), 24, and 32
// when the alpha is not fully opaque; rows top-down; run-length packets that never cross a
// row for depths 8 and 24; the image ID, the extension area and the footer.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/conversion.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "codecs/common/stream_buffer.h"
#include "codecs/tga/tga.h"
#include "io/params.h"
#include "quantize/quantizer.h"

namespace lumenax {
namespace {

constexpr int kExtensionSize = 495;

bool MaskIsOpaque(const TLxMask* mask, int w, int h) {
  if (!mask || mask->AllOpaque) return true;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      if (mask->GetPixel(x, y) != 255 && !(mask->BitsPerPixel == 1 && mask->GetPixel(x, y)))
        return false;
  return true;
}

// Alpha of row y, 255 where the mask does not reach.
void MaskRow(const TLxMask* mask, int y, int w, uint8_t* out) {
  std::fill(out, out + w, uint8_t(255));
  if (!mask || y >= mask->Height) return;
  const int n = std::min(w, mask->Width);
  if (mask->BitsPerPixel == 8) {
    std::memcpy(out, mask->ScanLine(y), size_t(n));
  } else {
    for (int x = 0; x < n; ++x) out[x] = mask->GetPixel(x, y) ? 255 : 0;
  }
}

// Run-length packets of one row of n pixels of ps bytes: runs of 2 to 128 equal pixels, the
// rest in literal packets of up to 128.
void EncodeRow(const uint8_t* p, int n, int ps, TLxWriteBuffer& out) {
  int i = 0;
  while (i < n) {
    int run = 1;
    while (i + run < n && run < 128 && std::memcmp(p + (i + run) * ps, p + i * ps, size_t(ps)) == 0)
      ++run;
    if (run >= 2) {
      out.Put(uint8_t(0x80 | (run - 1)));
      out.Write(p + i * ps, size_t(ps));
      i += run;
      continue;
    }
    int lit = 1;
    while (i + lit < n && lit < 128) {
      if (i + lit + 1 < n &&
          std::memcmp(p + (i + lit) * ps, p + (i + lit + 1) * ps, size_t(ps)) == 0)
        break;
      ++lit;
    }
    out.Put(uint8_t(lit - 1));
    out.Write(p + i * ps, size_t(lit) * size_t(ps));
    i += lit;
  }
}

// A ratio as 16-bit numerator and denominator: four decimals when they fit.
void Ratio(double v, uint16_t& num, uint16_t& den) {
  num = den = 0;
  if (!(v > 0)) return;
  for (uint32_t d = 10000; d >= 1; d /= 10) {
    double n = std::trunc(v * d);
    if (n <= 65535) {
      num = uint16_t(n), den = uint16_t(d);
      return;
    }
  }
  num = 65535, den = 1;
}

void PutText(uint8_t* at, const std::string& s, size_t field) {
  std::memcpy(at, s.data(), std::min(s.size(), field - 1));
}

void WriteTga(TStream& stream, TLxBitmap& source, TIOParamsVals& params, const TLxMask* mask,
              ProgressRecord& progress) {
  if (source.IsEmpty()) {
    progress.Fail(TLxFailure::NoImage, "no image to write");
    return;
  }
  if (source.PixelFormat() != lx24RGB && source.PixelFormat() != lx1g) {
    progress.Fail(TLxFailure::Unsupported, "only 24-bit and bilevel images are written");
    return;
  }
  const int w = source.Width(), h = source.Height();
  if (w > 65535 || h > 65535) {
    progress.Fail(TLxFailure::TooLarge, "wider or higher than 65535 pixels");
    return;
  }
  // ---- depth and layout
  int depth;
  bool mapped = false, gray = false;
  if (!MaskIsOpaque(mask, w, h)) {
    depth = 32;
  } else if (params.SamplesPerPixel == 1 && params.BitsPerSample == 1) {
    depth = 1;
  } else if (params.SamplesPerPixel == 1 &&
             (params.BitsPerSample == 4 || params.BitsPerSample == 8)) {
    depth = 8;
    gray = params.BitsPerSample == 8 && params.TgaGrayLevel;
    mapped = !gray;
  } else if (source.PixelFormat() == lx1g) {
    depth = 1;
  } else {
    depth = 24;
  }
  // Bilevel, 32-bit and mapped-from-bilevel images are written plain.
  if (depth == 1 || depth == 32) params.TgaCompressed = false;
  const bool rle = params.TgaCompressed;

  std::unique_ptr<TLxBitmap> copy;
  TLxBitmap* bm = &source;
  if (depth == 1 && source.PixelFormat() != lx1g) {
    TRGB c1, c2;
    copy = ExtractTwoColorBitmap(source, c1, c2);
    if (!copy) {
      copy = std::make_unique<TLxBitmap>(w, h, lx1g);
      copy->CopyAndConvertFormat(source);
    }
    bm = copy.get();
  } else if (depth != 1 && source.PixelFormat() == lx1g) {
    copy = std::make_unique<TLxBitmap>();
    copy->Assign(source);
    copy->SetPixelFormat(lx24RGB);
    bm = copy.get();
  }

  TRGB palette[256] = {};
  const int mapLength = mapped ? (params.BitsPerSample == 4 ? 16 : 256) : 0;
  std::unique_ptr<TLxQuantizer> quantizer;
  if (mapped) {
    quantizer = std::make_unique<TLxQuantizer>(*bm, palette, mapLength);
    params.SetColorMap(palette, mapLength);
  }

  // ---- header, ID and colour map
  std::string id = params.TgaImageId.substr(0, 254);
  TLxWriteBuffer out(stream, progress);
  out.Put(uint8_t(id.size() + 1));
  out.Put(mapped ? 1 : 0);
  uint8_t type = depth == 1 || gray ? 3 : mapped ? 1 : 2;
  if (rle) type += 8;
  out.Put(type);
  out.U16LE(0);
  out.U16LE(uint32_t(mapLength));
  out.Put(mapped ? 24 : 0);
  out.U16LE(uint32_t(params.TgaXPos));
  out.U16LE(uint32_t(params.TgaYPos));
  out.U16LE(uint32_t(w));
  out.U16LE(uint32_t(h));
  out.Put(uint8_t(depth));
  out.Put(uint8_t(0x20 | (depth == 32 ? 8 : 0)));
  out.Write(id.data(), id.size());
  out.Put(0);
  for (int i = 0; i < mapLength; ++i) {
    out.Put(palette[i].b);
    out.Put(palette[i].g);
    out.Put(palette[i].r);
  }

  // ---- rows from the top
  const int ps = depth == 1 ? 1 : depth / 8;
  const size_t rowBytes = depth == 1 ? size_t(w + 7) / 8 : size_t(w) * size_t(ps);
  // Plain rows go straight into blocks of rows; run-length rows are encoded from one line.
  std::vector<uint8_t> line(rle ? rowBytes : 0);
  TLxRowBlock rows(out, rle ? 0 : rowBytes);
  std::vector<uint8_t> alpha(depth == 32 ? size_t(w) : 0);
  progress.BeginRows(h);
  for (int y = 0; y < h && out.ok(); ++y) {
    if (progress.Aborting()) return;
    const uint8_t* row = bm->ScanLine(y);
    uint8_t* d = rle ? line.data() : rows.Row();
    switch (depth) {
      case 1:
        std::memcpy(d, row, rowBytes);
        break;
      case 8:
        for (int x = 0; x < w; ++x) {
          const uint8_t* p = row + 3 * x;
          d[x] = gray ? uint8_t(Gray8(p[2], p[1], p[0]))
                      : uint8_t(quantizer->RGBToIndex(PackBGR(TRGB{p[0], p[1], p[2]})));
        }
        break;
      case 24:
        std::memcpy(d, row, rowBytes);
        break;
      case 32:
        MaskRow(mask, y, w, alpha.data());
        for (int x = 0; x < w; ++x) {
          d[4 * x] = row[3 * x], d[4 * x + 1] = row[3 * x + 1], d[4 * x + 2] = row[3 * x + 2];
          d[4 * x + 3] = alpha[size_t(x)];
        }
        break;
    }
    if (rle) EncodeRow(d, w, ps, out);
    progress.RowDone();
  }
  rows.Flush();
  if (progress.Aborting() || !out.ok()) return;

  // ---- extension area and footer
  const int64_t extensionOffset = out.Count();
  uint8_t e[kExtensionSize] = {};
  e[0] = kExtensionSize & 0xFF, e[1] = kExtensionSize >> 8;
  PutText(e + 2, params.TgaAuthor, 41);
  {
    using namespace std::chrono;
    const double days = std::floor(params.TgaDate);
    const sys_days epoch = year_month_day{year{1899}, December, day{30}};
    const year_month_day ymd{epoch + std::chrono::days{int64_t(days)}};
    int secs = int(std::lround((params.TgaDate - days) * 86400.0));
    secs = std::clamp(secs, 0, 86399);
    const int v[6] = {int(unsigned(ymd.month())),
                      int(unsigned(ymd.day())),
                      int(ymd.year()),
                      secs / 3600,
                      secs / 60 % 60,
                      secs % 60};
    if (ymd.ok() && int(ymd.year()) > 0 && int(ymd.year()) < 2500)
      for (int i = 0; i < 6; ++i)
        e[367 + 2 * i] = uint8_t(v[i]), e[368 + 2 * i] = uint8_t(v[i] >> 8);
  }
  PutText(e + 379, params.TgaJobName, 41);
  e[470] = 0, e[471] = params.TgaKeyColor.r, e[472] = params.TgaKeyColor.g;
  e[473] = params.TgaKeyColor.b;
  uint16_t n, d;
  Ratio(params.TgaAspectRatio, n, d);
  e[474] = uint8_t(n), e[475] = uint8_t(n >> 8), e[476] = uint8_t(d), e[477] = uint8_t(d >> 8);
  Ratio(params.TgaGamma, n, d);
  e[478] = uint8_t(n), e[479] = uint8_t(n >> 8), e[480] = uint8_t(d), e[481] = uint8_t(d >> 8);
  out.Write(e, sizeof e);
  out.U32LE(uint32_t(extensionOffset));
  out.U32LE(0);
  out.Write("TRUEVISION-XFILE.", 18);  // with its terminating zero
  out.Flush();
}

}  // namespace

void WriteTgaStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, const TLxMask* mask,
                    ProgressRecord& progress) {
  try {
    WriteTga(stream, bitmap, params, mask, progress);
  } catch (const std::bad_alloc&) {
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the copy");
  }
}

}  // namespace lumenax
