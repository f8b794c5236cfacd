// PCX writer (modes 1, 4, 8 and 24 bits, plain or run-length encoded lines, the trailing
// 256-colour palette) and DCX page insertion.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "bitmap/bitmap.h"
#include "bitmap/byte_reader.h"
#include "bitmap/conversion.h"
#include "bitmap/progress.h"
#include "bitmap/worker_pool.h"
#include "codecs/common/pixel_rows.h"
#include "codecs/common/stream_buffer.h"
#include "codecs/pcx/pcx.h"
#include "codecs/pcx/pcx_format.h"
#include "io/params.h"
#include "quantize/quantizer.h"

namespace lumenax {
namespace {

// Room EncodeLine needs in o past 2 * n bytes.
constexpr size_t kEncodeSlack = 32;

// The token at p[at] of a plane line of n bytes: a run of up to 63 equal bytes as 0xC0 +
// count and the byte; a single byte below 0xC0 stands for itself. Returns the bytes taken.
inline size_t EmitRun(const uint8_t* p, size_t n, size_t at, uint8_t*& out) {
  const uint8_t v = p[at];
  const size_t most = std::min<size_t>(n - at, 63);
  size_t run = 1;
  while (run < most && p[at + run] == v) ++run;
  uint8_t* o = out;
  if (run > 1 || v >= 0xC0) *o++ = uint8_t(0xC0 | run);
  *o++ = v;
  out = o;
  return run;
}

#if defined(__x86_64__) || defined(__i386__)
// For each set of the bytes of an 8-byte group that need a 0xC1 before them: the shuffle
// that spreads the group out with the 0xC1s (byte 8 of its source) in between, and the
// length that comes out.
struct SpreadTable {
  alignas(16) uint8_t shuffle[256][16];
  uint8_t length[256];
  constexpr SpreadTable() : shuffle{}, length{} {
    for (int m = 0; m < 256; ++m) {
      int o = 0;
      for (int k = 0; k < 8; ++k) {
        if (m >> k & 1) shuffle[m][o++] = 8;
        shuffle[m][o++] = uint8_t(k);
      }
      length[m] = uint8_t(o);
      for (; o < 16; ++o) shuffle[m][o] = 0x80;
    }
  }
};
constexpr SpreadTable kSpread;

// One step through the leading 16-byte blocks of a plane line, the same tokens as EmitRun
// gives one by one. Lone bytes and pairs go out a half block per shuffle: the first byte of a
// pair becomes 0xC2, lone bytes of 0xC0 and up get a 0xC1. A pair may end on the next block's
// first byte (carry), which then goes out as it is. A run of three or more ends the block
// where it starts and goes out on its own. Loads reach 18 bytes past i, EmitRun up to 63.
__attribute__((target("ssse3"), always_inline)) inline void EncodeBlock16(const uint8_t* p,
                                                                          size_t n, size_t& i,
                                                                          uint8_t*& o,
                                                                          unsigned& carry) {
  const __m128i lead1 = _mm_set1_epi8(char(0xC1)), lead2 = _mm_set1_epi8(char(0xC2));
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 2));
  const __m128i same = _mm_cmpeq_epi8(a, b);
  const unsigned pairs = unsigned(_mm_movemask_epi8(same));
  // Up to the first run of three or more (all 16 bytes when none starts here) the block
  // holds lone bytes and pairs.
  const unsigned triples = pairs & unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(b, c)));
  const unsigned take = triples ? unsigned(__builtin_ctz(triples)) : 16;
  const unsigned high = unsigned(_mm_movemask_epi8(_mm_and_si128(a, _mm_add_epi8(a, a))));
  const unsigned lone = high & ~pairs & ~((pairs << 1) | carry) & ((1u << take) - 1);
  const __m128i marked = _mm_or_si128(_mm_andnot_si128(same, a), _mm_and_si128(same, lead2));
  if (lone == 0) {
    // Most blocks of photographs: as long as they were.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), marked);
    o += take;
  } else {
    const unsigned low8 = lone & 0xFF, high8 = lone >> 8;
    _mm_storeu_si128(
        reinterpret_cast<__m128i*>(o),
        _mm_shuffle_epi8(_mm_unpacklo_epi64(marked, lead1),
                         _mm_load_si128(reinterpret_cast<const __m128i*>(kSpread.shuffle[low8]))));
    // A table length is 8 plus the 0xC1s.
    o += take >= 8 ? kSpread.length[low8] : take + kSpread.length[low8] - 8;
    if (take > 8) {
      _mm_storeu_si128(
          reinterpret_cast<__m128i*>(o),
          _mm_shuffle_epi8(
              _mm_unpackhi_epi64(marked, lead1),
              _mm_load_si128(reinterpret_cast<const __m128i*>(kSpread.shuffle[high8]))));
      o += take - 8 + kSpread.length[high8] - 8;
    }
  }
  i += take;
  if (take == 16) {
    carry = pairs >> 15;
  } else {
    carry = 0;
    i += EmitRun(p, n, i, o);
  }
}

// The leading blocks of a plane line (see EncodeBlock16). Stops 32 bytes short of the end for
// the loads' reach; returns the bytes taken.
__attribute__((target("ssse3"))) size_t EncodeBlocksSsse3(const uint8_t* p, size_t n,
                                                          uint8_t*& out) {
  uint8_t* o = out;  // a local, so the stores through it need not reload it
  size_t i = 0;
  unsigned carry = 0;
  while (i + 32 <= n) EncodeBlock16(p, n, i, o, carry);
  if (carry) *o++ = p[i++];
  out = o;
  return i;
}

// The same, 32 bytes a step where they hold only bytes below 0xC0 and pairs, which go out as
// they came with 0xC2 for the first byte of each pair.
__attribute__((target("avx2"))) size_t EncodeBlocksAvx2(const uint8_t* p, size_t n, uint8_t*& out) {
  uint8_t* o = out;
  const __m256i lead2 = _mm256_set1_epi8(char(0xC2));
  size_t i = 0;
  unsigned carry = 0;
  while (i + 32 <= n) {
    if (i + 48 <= n) {
      const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
      const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 1));
      const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 2));
      const __m256i same = _mm256_cmpeq_epi8(a, b);
      const unsigned pairs = unsigned(_mm256_movemask_epi8(same));
      const unsigned triples = pairs & unsigned(_mm256_movemask_epi8(_mm256_cmpeq_epi8(b, c)));
      const unsigned high =
          unsigned(_mm256_movemask_epi8(_mm256_and_si256(a, _mm256_add_epi8(a, a))));
      if ((triples | (high & ~pairs & ~((pairs << 1) | carry))) == 0) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), _mm256_blendv_epi8(a, lead2, same));
        o += 32;
        i += 32;
        carry = pairs >> 31;
        continue;
      }
    }
    EncodeBlock16(p, n, i, o, carry);
  }
  if (carry) *o++ = p[i++];
  out = o;
  return i;
}
#endif

// One plane line, run-length encoded into o (room for 2 * n + kEncodeSlack bytes, the slack
// scratch). Returns the encoded length.
size_t EncodeLine(const uint8_t* p, size_t n, uint8_t* o) {
  uint8_t* const start = o;
  size_t i = 0;
#if defined(__x86_64__) || defined(__i386__)
  if (CpuHasAvx2())
    i = EncodeBlocksAvx2(p, n, o);
  else if (CpuHasSsse3())
    i = EncodeBlocksSsse3(p, n, o);
#endif
  while (i < n) i += EmitRun(p, n, i, o);
  return size_t(o - start);
}

// Lines of a band of rows, each plane line bpl bytes, run-length encoded by whichever thread
// claims the band first. Each line encodes on its own, so the file is the same whoever
// encodes which band.
class PcxBand : public TLxClaimedJob {
 public:
  // raw holds the band's plane lines (taken when lines are added), packed their encoded form
  // (2 * raw + kEncodeSlack).
  PcxBand(size_t bpl, std::shared_ptr<TLxBufferStock> raw, std::shared_ptr<TLxBufferStock> packed)
      : bpl_(bpl), rawStock_(std::move(raw)), packedStock_(std::move(packed)) {}
  ~PcxBand() {
    rawStock_->Give(std::move(raw_));
    packedStock_->Give(std::move(packed_));
  }
  // The next plane lines of the band, every byte of which the caller sets.
  uint8_t* AddLines(size_t count) {
    if (!raw_) raw_ = rawStock_->Take();
    uint8_t* at = raw_.get() + bpl_ * used_;
    used_ += count;
    return at;
  }
  // A 24-bit row of w pixels that stays where it is until the band is done; its three plane
  // lines are made with the encoding.
  void AddRow(const uint8_t* row, size_t w) {
    rows_.push_back(row);
    used_ += 3;
    width_ = w;
  }
  bool Full() const { return bpl_ * used_ == rawStock_->Bytes(); }
  const uint8_t* Packed() const { return packed_.get(); }
  size_t PackedSize() const { return packedSize_; }
  bool Ok() const { return ok_; }

  // Runs on a worker too, so it throws nothing: a failed allocation leaves Ok() false.
  void Run() noexcept {
    try {
      packed_ = packedStock_->Take();
      auto encode = [this](const uint8_t* line) {
        packedSize_ += EncodeLine(line, bpl_, packed_.get() + packedSize_);
      };
      if (rows_.empty()) {
        for (size_t i = 0; i < used_; ++i) encode(raw_.get() + i * bpl_);
      }
      // A row's lines are encoded as soon as they are split into one set of lines that stays
      // in the cache.
      std::vector<uint8_t> lines(rows_.empty() ? 0 : 3 * bpl_);
      uint8_t* d = lines.data();
      for (const uint8_t* row : rows_) {
        SplitPlanes24(row, d, d + bpl_, d + 2 * bpl_, width_);
        if (width_ != bpl_) d[width_] = d[bpl_ + width_] = d[2 * bpl_ + width_] = 0;
        for (size_t p = 0; p < 3; ++p) encode(d + p * bpl_);
      }
      ok_ = true;
    } catch (const std::bad_alloc&) {
      ok_ = false;
    }
    Done();
  }

 private:
  size_t bpl_, used_ = 0, width_ = 0;
  std::vector<const uint8_t*> rows_;
  std::shared_ptr<TLxBufferStock> rawStock_, packedStock_;
  std::unique_ptr<uint8_t[]> raw_, packed_;
  size_t packedSize_ = 0;
  bool ok_ = false;
};

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
  const size_t filled = mode == 1 ? size_t(w + 7) / 8 : mode == 4 ? size_t(w + 1) / 2 : size_t(w);
  const size_t bpl = filled + (filled & 1);

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
  const size_t lineBytes = bpl * size_t(planes);
  std::vector<uint8_t> line(lineBytes, 0);
  // Encoded lines go out in bands of about half a mebibyte, encoded on the worker pool while
  // the next band is gathered here (the quantizer and a paged bitmap stay on this thread).
  const int bandRows = int(std::clamp<size_t>((size_t(1) << 19) / lineBytes, 1, size_t(h)));
  // Twice as many bands wait as there are lanes, so that this thread, which writes besides,
  // finds bands to encode without leaving the workers none.
  TLxOrderedJobs<PcxBand> bands(params.PcxCompression ? 2 * SpareLanes() : 1);
  const size_t bandLines = size_t(bandRows) * size_t(planes);
  auto rawStock = std::make_shared<TLxBufferStock>(bandLines * bpl);
  auto packedStock = std::make_shared<TLxBufferStock>(2 * bandLines * bpl + kEncodeSlack);
  std::shared_ptr<PcxBand> band;
  auto write = [&](const PcxBand& done) {
    if (!done.Ok()) {
      progress.Fail(TLxFailure::OutOfMemory, "no memory for the encoded lines");
      return false;
    }
    out.Write(done.Packed(), done.PackedSize());
    return out.ok() && !progress.Aborting();
  };
  // The rows of a bitmap in memory stay where they are, so the bands split 24-bit rows into
  // plane lines themselves.
  const bool splitInBands = params.PcxCompression && mode == 24 && bm->Location() == lxInMemory;
  progress.BeginRows(h);
  for (int y = 0; y < h && out.ok(); ++y) {
    if (progress.Aborting()) return;
    const uint8_t* row = bm->ScanLine(y);
    if (params.PcxCompression && !band)
      band = std::make_shared<PcxBand>(bpl, rawStock, packedStock);
    if (splitInBands) {
      band->AddRow(row, size_t(w));
    } else {
      uint8_t* d = line.data();
      if (params.PcxCompression) {
        d = band->AddLines(size_t(planes));
        // Padding bytes and the nibbles of 4-bit lines start at 0.
        if (mode == 4 || filled != bpl) std::memset(d, 0, lineBytes);
      }
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
      if (!params.PcxCompression) out.Write(d, lineBytes);
    }
    if (band && (band->Full() || y + 1 == h) && !bands.Add(std::move(band), write)) return;
    progress.RowDone();
  }
  if (!bands.Drain(write)) return;
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
