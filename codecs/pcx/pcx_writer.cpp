// PCX writer (modes 1, 4, 8 and 24 bits, plain or run-length encoded lines, the trailing
// 256-colour palette) and DCX page insertion.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "bitmap/bitmap.h"
#include "bitmap/byte_reader.h"
#include "bitmap/conversion.h"
#include "bitmap/progress.h"
#include "codecs/common/pixel_rows.h"
#include "codecs/common/stream_buffer.h"
#include "codecs/pcx/pcx.h"
#include "codecs/pcx/pcx_format.h"
#include "io/params.h"
#include "quantize/quantizer.h"

namespace lumenax {
namespace {

#if defined(__SSE2__)
// Bit k set when p[k] (k < 64) cannot go out as a lone literal: it has both top bits set or
// equals p[k + 1]. Reads p[0] to p[64].
inline uint64_t PairNeeded64(const uint8_t* p) {
  uint64_t m = 0;
  for (int k = 0; k < 4; ++k) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k + 1));
    const __m128i flag = _mm_or_si128(_mm_and_si128(a, _mm_add_epi8(a, a)), _mm_cmpeq_epi8(a, b));
    m |= uint64_t(uint32_t(_mm_movemask_epi8(flag))) << (16 * k);
  }
  return m;
}
inline void Copy16(uint8_t* dst, const uint8_t* src) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(src)));
}
#endif

// Room EncodeLine needs in o past 2 * n bytes.
constexpr size_t kEncodeSlack = 32;

// One plane line, run-length encoded into o (room for 2 * n + kEncodeSlack bytes, the slack
// scratch): runs of up to 63 equal bytes as 0xC0 + count and the byte; a single byte below
// 0xC0 stands for itself. Returns the encoded length.
size_t EncodeLine(const uint8_t* p, size_t n, uint8_t* o) {
  uint8_t* const start = o;
  size_t i = 0;
  // A run of a byte at i; its pair or the byte itself.
  auto emit = [&](size_t at) {
    const uint8_t v = p[at];
    const size_t most = std::min<size_t>(n - at, 63);
    size_t run = 1;
    while (run < most && p[at + run] == v) ++run;
    if (run > 1 || v >= 0xC0) *o++ = uint8_t(0xC0 | run);
    *o++ = v;
    return run;
  };
#if defined(__SSE2__)
  // 64 bytes a window: the lone literals between bytes that need a pair go out 16 bytes a
  // store (32 at least). Windows stay 32 bytes short of the end for the loads' reach.
  while (i + 96 <= n) {
    const uint64_t flags = PairNeeded64(p + i);
    size_t j = 0;
    while (j < 64) {
      const uint64_t rest = flags >> j;
      const size_t literals = rest ? size_t(__builtin_ctzll(rest)) : 64 - j;
      Copy16(o, p + i + j);
      Copy16(o + 16, p + i + j + 16);
      for (size_t k = 32; k < literals; k += 16) Copy16(o + k, p + i + j + k);
      o += literals;
      j += literals;
      if (j >= 64) break;
      j += emit(i + j);
    }
    i += j;
  }
#endif
  while (i < n) i += emit(i);
  return size_t(o - start);
}

void WritePcx(TStream& stream, TLxBitmap& source, TIOParamsVals& params, ProgressRecord& progress) {
  if (source.IsEmpty()) {
    progress.Fail(TLxFailure::NoImage, "no image to write");
    return;
  }
  const int w = source.Width(), h = source.Height();
  if (w - 1 > 0xFFFF || h - 1 > 0xFFFF) {
    progress.Fail(TLxFailure::TooLarge, "wider or higher than 65536 pixels");
    return;
  }
  // Mode: 1, 4, 8 or 24 bits; anything else (2 planes, 8 x 4 after an RGBA source, 16-bit
  // sources) is written as 24 bits.
  int mode = params.BitsPerSample == 1 ? 1 : params.BitsPerSample * params.SamplesPerPixel;
  if (mode != 1 && mode != 4 && mode != 8) mode = 24;

  std::unique_ptr<TLxBitmap> copy;
  TLxBitmap* bm = &source;
  TRGB two[2] = {TRGB{}, CreateRGB(255, 255, 255)};
  if (mode == 1 && source.PixelFormat() != lx1g) {
    copy = ExtractTwoColorBitmap(source, two[0], two[1]);
    if (!copy) {
      two[0] = TRGB{}, two[1] = CreateRGB(255, 255, 255);
      copy = std::make_unique<TLxBitmap>(w, h, lx1g);
      copy->CopyAndConvertFormat(source);
    }
    bm = copy.get();
  } else if (mode != 1 && source.PixelFormat() != lx24RGB) {
    copy = std::make_unique<TLxBitmap>();
    copy->Assign(source);
    copy->SetPixelFormat(lx24RGB);
    if (copy->PixelFormat() != lx24RGB) {
      progress.Fail(TLxFailure::Unsupported, "layout cannot be written");
      return;
    }
    bm = copy.get();
  }

  TRGB palette[256] = {};
  std::unique_ptr<TLxQuantizer> quantizer;
  if (mode == 4 || mode == 8)
    quantizer = std::make_unique<TLxQuantizer>(*bm, palette, mode == 4 ? 16 : 256);

  const int planes = mode == 24 ? 3 : 1;
  const int bits = mode == 24 ? 8 : mode;
  size_t bpl = mode == 1 ? size_t(w + 7) / 8 : mode == 4 ? size_t(w + 1) / 2 : size_t(w);
  bpl += bpl & 1;

  uint8_t head[kPcxHeaderSize] = {};
  head[0] = kPcxManufacturer;
  head[1] = uint8_t(params.PcxVersion);
  head[2] = params.PcxCompression ? 1 : 0;
  head[3] = uint8_t(bits);
  auto u16 = [&head](int at, uint32_t v) { head[at] = uint8_t(v), head[at + 1] = uint8_t(v >> 8); };
  u16(8, uint32_t(w - 1));
  u16(10, uint32_t(h - 1));
  u16(12, uint32_t(std::clamp(params.DpiX, 0, 0xFFFF)));
  u16(14, uint32_t(std::clamp(params.DpiY, 0, 0xFFFF)));
  const TRGB* headerPalette = mode == 1 ? two : mode == 4 ? palette : nullptr;
  for (int i = 0; headerPalette && i < (mode == 1 ? 2 : 16); ++i) {
    head[16 + 3 * i] = headerPalette[i].r;
    head[17 + 3 * i] = headerPalette[i].g;
    head[18 + 3 * i] = headerPalette[i].b;
  }
  head[65] = uint8_t(planes);
  u16(66, uint32_t(bpl));
  u16(68, mode == 24 ? 0 : 1);
  if (mode == 8) params.SetColorMap(palette, 256);

  TLxWriteBuffer out(stream, progress);
  out.Write(head, sizeof head);
  std::vector<uint8_t> line(bpl * size_t(planes), 0);
  // Encoded rows gather in one block that goes out in one write when the next row might not
  // fit.
  const size_t mostPacked = 2 * line.size() + kEncodeSlack;
  std::vector<uint8_t> packed(params.PcxCompression ? std::max<size_t>(mostPacked, 1 << 20) : 0);
  size_t used = 0;
  progress.BeginRows(h);
  for (int y = 0; y < h && out.ok(); ++y) {
    if (progress.Aborting()) return;
    const uint8_t* row = bm->ScanLine(y);
    uint8_t* d = line.data();
    switch (mode) {
      case 1:
        std::memcpy(d, row, size_t(w + 7) / 8);
        break;
      case 4:
        for (int x = 0; x < w; ++x) {
          const uint8_t* p = row + 3 * x;
          uint8_t i = uint8_t(quantizer->RGBToIndex(PackBGR(TRGB{p[0], p[1], p[2]})));
          if (x & 1)
            d[x >> 1] |= i;
          else
            d[x >> 1] = uint8_t(i << 4);
        }
        break;
      case 8:
        for (int x = 0; x < w; ++x) {
          const uint8_t* p = row + 3 * x;
          d[x] = uint8_t(quantizer->RGBToIndex(PackBGR(TRGB{p[0], p[1], p[2]})));
        }
        break;
      default:
        SplitPlanes24(row, d, d + bpl, d + 2 * bpl, size_t(w));
        break;
    }
    if (params.PcxCompression) {
      if (used + mostPacked > packed.size()) {
        out.Write(packed.data(), used);
        used = 0;
      }
      for (int p = 0; p < planes; ++p)
        used += EncodeLine(d + size_t(p) * bpl, bpl, packed.data() + used);
    } else {
      out.Write(d, line.size());
    }
    progress.RowDone();
  }
  if (used > 0 && !progress.Aborting()) out.Write(packed.data(), used);
  if (progress.Aborting() || !out.ok()) return;
  if (mode == 8) {
    out.Put(12);
    for (int i = 0; i < 256; ++i) {
      out.Put(palette[i].r);
      out.Put(palette[i].g);
      out.Put(palette[i].b);
    }
  }
  out.Flush();
}

}  // namespace

void WritePcxStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                    ProgressRecord& progress) {
  try {
    WritePcx(stream, bitmap, params, progress);
  } catch (const std::bad_alloc&) {
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the copy");
  }
}

void InsertDcxPage(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                   ProgressRecord& progress) {
  try {
    // The old pages, as they are.
    std::vector<std::vector<uint8_t>> old;
    stream.Seek(0, soBeginning);
    const int64_t size = stream.Size();
    if (size > 0) {
      if (!IsDcxStream(stream)) {
        progress.Fail(TLxFailure::BadHeader, 0, "not a DCX container");
        return;
      }
      ByteReader in(stream);
      in.u32le();
      std::vector<uint32_t> offsets;
      for (uint32_t o; (o = in.u32le()) != 0 && in.ok() && offsets.size() < kDcxMaxPages;)
        offsets.push_back(o);
      for (uint32_t o : offsets) {
        int64_t end = size;
        for (uint32_t p : offsets)
          if (p > o) end = std::min<int64_t>(end, p);
        std::vector<uint8_t> page(size_t(end - o));
        stream.Seek(o, soBeginning);
        if (stream.Read(page.data(), int64_t(page.size())) != int64_t(page.size())) {
          progress.Fail(TLxFailure::Truncated, o, "truncated page");
          return;
        }
        old.push_back(std::move(page));
      }
    }
    if (old.size() >= kDcxMaxPages - 1) {
      progress.Fail(TLxFailure::Unsupported, "the container holds the most pages it can");
      return;
    }
    // An index beyond the last page appends.
    const size_t at = size_t(std::clamp<int64_t>(params.DcxImageIndex, 0, int64_t(old.size())));
    const size_t count = old.size() + 1;
    TMemoryStream built;
    std::vector<uint8_t> table(4 * (count + 2), 0);
    built.Write(table.data(), int64_t(table.size()));
    std::vector<uint32_t> offsets;
    for (size_t p = 0; p < count; ++p) {
      offsets.push_back(uint32_t(built.Position()));
      if (p == at) {
        WritePcxStream(built, bitmap, params, progress);
        if (progress.Aborting()) return;
      } else {
        const std::vector<uint8_t>& page = old[p < at ? p : p - 1];
        built.Write(page.data(), int64_t(page.size()));
      }
      if (built.Size() > int64_t(UINT32_MAX)) {
        progress.Fail(TLxFailure::TooLarge, "container larger than 4 GB");
        return;
      }
    }
    uint8_t* t = built.Memory();
    auto put = [t](size_t i, uint32_t v) {
      t[4 * i] = uint8_t(v), t[4 * i + 1] = uint8_t(v >> 8), t[4 * i + 2] = uint8_t(v >> 16);
      t[4 * i + 3] = uint8_t(v >> 24);
    };
    put(0, kDcxMagic);
    for (size_t i = 0; i < offsets.size(); ++i) put(i + 1, offsets[i]);
    stream.Seek(0, soBeginning);
    stream.SetSize(0);
    TLxWriteBuffer out(stream, progress);
    out.Write(built.Memory(), size_t(built.Size()));
    out.Flush();
  } catch (const std::bad_alloc&) {
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the container");
  }
}

}  // namespace lumenax
