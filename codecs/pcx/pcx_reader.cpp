// PCX reader (1 to 4 bit planes of 1 bit, 2 and 4 bits, 8 bits with a palette or gray, 8-bit
// RGB and RGB plus alpha, plain or run-length encoded) and DCX page selection.
//
// Every byte is hostile. The header must describe a window, line length and layout we decode;
// the image must be one the data could hold before anything is allocated; run-length runs
// that pass a plane line's end carry into the next and never past the line buffer. Data that
// end before the last row are decoded as far as they go, the rest stays zero, and the load
// fails as "truncated".
#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "bitmap/bitmap.h"
#include "bitmap/byte_reader.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/worker_pool.h"
#include "codecs/common/image_size.h"
#include "codecs/common/pixel_rows.h"
#include "codecs/common/stream_buffer.h"
#include "codecs/pcx/pcx.h"
#include "codecs/pcx/pcx_format.h"
#include "io/params.h"

namespace lumenax {

namespace {

// The 16 colours of the EGA, used when a header palette is all zero.
constexpr uint8_t kEga[16][3] = {{0, 0, 0},     {0, 0, 170},    {0, 170, 0},    {0, 170, 170},
                                 {170, 0, 0},   {170, 0, 170},  {170, 85, 0},   {170, 170, 170},
                                 {85, 85, 85},  {85, 85, 255},  {85, 255, 85},  {85, 255, 255},
                                 {255, 85, 85}, {255, 85, 255}, {255, 255, 85}, {255, 255, 255}};

// Bytes of the image data, up to a limit (the end of the PCX data).
class LimitedSource {
 public:
  LimitedSource(TLxReadBuffer& in, int64_t limit) : in_(in), left_(limit) {}
  int Get() {
    if (left_ <= 0) return -1;
    --left_;
    return in_.Get();
  }
  // The buffered bytes not read yet, never past the limit (see TLxReadBuffer::Span).
  const uint8_t* Span(size_t& avail) {
    avail = 0;
    if (left_ <= 0) return nullptr;
    const uint8_t* p = in_.Span(avail);
    avail = size_t(std::min<int64_t>(int64_t(avail), left_));
    return p;
  }
  void Skip(size_t k) {
    in_.Skip(k);
    left_ -= int64_t(k);
  }
  size_t Read(uint8_t* dst, size_t n) {
    size_t k = size_t(std::min<int64_t>(int64_t(n), std::max<int64_t>(left_, 0)));
    size_t got = in_.Read(dst, k);
    left_ -= int64_t(got);
    return got;
  }

 private:
  TLxReadBuffer& in_;
  int64_t left_;
};

// Bytes a row buffer handed to LineDecoder::Row needs past the row: the fast path stores
// literal bytes 16 at a time.
constexpr size_t kRowSlack = 16;

#if defined(__SSE2__)
// Bit k set when p[k] (k < 64) has both top bits set, i.e. starts a count-and-byte pair.
inline uint64_t PairStarts64(const uint8_t* p) {
  uint64_t m = 0;
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    m |= uint64_t(uint32_t(_mm_movemask_epi8(_mm_and_si128(v, _mm_add_epi8(v, v))))) << (16 * k);
  }
  return m;
}
inline void Copy16(uint8_t* dst, const uint8_t* src) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(src)));
}
#else
inline uint64_t PairStarts64(const uint8_t* p) {
  uint64_t m = 0;
  for (int k = 0; k < 64; ++k) m |= uint64_t(p[k] >= 0xC0) << k;
  return m;
}
inline void Copy16(uint8_t* dst, const uint8_t* src) {
  std::memcpy(dst, src, 16);
}
#endif

#if defined(__x86_64__) || defined(__i386__)
// For each set of the bytes of an 8-byte group to drop: the shuffle that gathers the others
// to the front, and how many they are.
struct DropTable {
  alignas(16) uint8_t shuffle[256][16];
  uint8_t kept[256];
  constexpr DropTable() : shuffle{}, kept{} {
    for (int m = 0; m < 256; ++m) {
      int o = 0;
      for (int k = 0; k < 8; ++k)
        if (!(m >> k & 1)) shuffle[m][o++] = uint8_t(k);
      kept[m] = uint8_t(o);
      for (; o < 16; ++o) shuffle[m][o] = 0x80;
    }
  }
};
constexpr DropTable kDrop;

// The leading 16-byte blocks of run-length data for a row with room, 16 bytes of the row a
// store. The bytes that start pairs are told from the data bytes that follow them by their
// place in each stretch of bytes of 0xC0 and up (every other one, from the first). Pairs of
// count 1 lose their first byte, pairs of count 2 have it replaced by their data byte, both
// in one shuffle; other pairs end the block and are set as runs. A pair may end on the next
// block's first byte. Stops while 32 bytes of data and 96 of the row are left (a run and a
// store fit); returns the bytes of p consumed, done advanced by the bytes set.
__attribute__((target("ssse3"))) size_t DecodeBlocksSsse3(const uint8_t* p, size_t avail,
                                                          uint8_t* dst, size_t n, size_t& done) {
  const __m128i c1 = _mm_set1_epi8(char(0xC1)), c2 = _mm_set1_epi8(char(0xC2));
  const __m128i bit = _mm_set_epi8(-128, 64, 32, 16, 8, 4, 2, 1, -128, 64, 32, 16, 8, 4, 2, 1);
  const __m128i halves = _mm_set_epi8(1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0);
  size_t out = done, i = 0;
  unsigned carry = 0;
  // Data with runs every few bytes (paletted pictures) end most blocks early; the caller's
  // windows do better there, so after 32 blocks of which more than 12 ended early this
  // stops.
  unsigned blocks = 0, early = 0;
  while (i + 32 <= avail && out + 96 <= n) {
    if (++blocks > 32) {
      if (early > 12) break;
      blocks = 1, early = 0;
    }
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
    const unsigned high =
        unsigned(_mm_movemask_epi8(_mm_and_si128(a, _mm_add_epi8(a, a)))) & ~carry;
    const unsigned starts = high & ~(high << 1);
    const unsigned evenRuns = high & ~(high + (starts & 0x5555));
    const unsigned prefix = (evenRuns & 0x5555) | (high & ~evenRuns & 0xAAAA);
    const unsigned one = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(a, c1))) & prefix;
    const unsigned two = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(a, c2))) & prefix;
    const unsigned other = prefix & ~one & ~two;
    const unsigned take = other ? unsigned(__builtin_ctz(other)) : 16;
    const __m128i twos = _mm_cmpeq_epi8(
        _mm_and_si128(_mm_shuffle_epi8(_mm_cvtsi32_si128(int(two)), halves), bit), bit);
    const __m128i marked = _mm_or_si128(_mm_andnot_si128(twos, a), _mm_and_si128(twos, b));
    if ((one | other) == 0) {
      // No byte to drop: the block comes out as long as it went in.
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + out), marked);
      out += 16;
      i += 16;
      carry = prefix >> 15;
      continue;
    }
    const unsigned drop = one | (0xFFFF & ~((1u << take) - 1));
    const unsigned lo = drop & 0xFF, hi = (drop >> 8) & 0xFF;
    _mm_storeu_si128(
        reinterpret_cast<__m128i*>(dst + out),
        _mm_shuffle_epi8(marked,
                         _mm_load_si128(reinterpret_cast<const __m128i*>(kDrop.shuffle[lo]))));
    out += kDrop.kept[lo];
    _mm_storeu_si128(
        reinterpret_cast<__m128i*>(dst + out),
        _mm_shuffle_epi8(_mm_unpackhi_epi64(marked, marked),
                         _mm_load_si128(reinterpret_cast<const __m128i*>(kDrop.shuffle[hi]))));
    out += kDrop.kept[hi];
    i += take;
    if (take == 16) {
      carry = prefix >> 15;
    } else {
      ++early;
      // Up to 63 copies, four stores whatever the count: the row has room.
      const __m128i run = _mm_set1_epi8(char(p[i + 1]));
      for (size_t k = 0; k < 64; k += 16)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + out + k), run);
      out += p[i] & 0x3F;
      i += 2;
      carry = 0;
    }
  }
  if (carry) dst[out++] = p[i++];
  done = out;
  return i;
}

#endif

// Run-length data already in memory (a piece of a large image), read like LimitedSource by
// LineDecoder::Fill.
class SpanSource {
 public:
  SpanSource(const uint8_t* p, size_t n) : p_(p), left_(n) {}
  int Get() {
    if (left_ == 0) return -1;
    --left_;
    return *p_++;
  }
  const uint8_t* Span(size_t& avail) {
    avail = left_;
    return p_;
  }
  void Skip(size_t k) {
    p_ += k;
    left_ -= k;
  }
  size_t Left() const { return left_; }

 private:
  const uint8_t* p_;
  size_t left_;
};

// Fills whole rows (all plane lines of one row) from plain or run-length data; a run that
// passes the end of a row goes on in the next one.
template <class Source>
class LineDecoder {
 public:
  LineDecoder(Source& in, bool rle) : in_(in), rle_(rle) {}
  // False when the data ended first; the rest of the row is zero then. dst has room for n +
  // kRowSlack bytes; what lands past n is scratch.
  bool Row(uint8_t* dst, size_t n) {
    const size_t done = rle_ ? Fill(dst, n) : in_.Read(dst, n);
    if (done < n) std::memset(dst + done, 0, n - done);
    return done == n;
  }
  // Up to n bytes of run-length data decoded into dst (room for n + kRowSlack); fewer only
  // when the data ended.
  size_t Fill(uint8_t* dst, size_t n) {
    size_t done = 0;
    while (done < n) {
      if (count_ > 0) {
        // A run carried over from the previous row.
        size_t k = std::min<size_t>(count_, n - done);
        std::memset(dst + done, value_, k);
        done += k;
        count_ -= int(k);
        continue;
      }
      size_t avail;
      const uint8_t* p = in_.Span(avail);
      if (avail == 0) break;
      size_t i = Windows(p, avail, dst, n, done);
      while (done < n && i < avail && count_ == 0) {
        if (p[i] < 0xC0) {
          // A stretch of literal bytes, copied at once.
          const size_t end = std::min(avail, i + (n - done));
          size_t j = i + 1;
          while (j < end && p[j] < 0xC0) ++j;
          std::memcpy(dst + done, p + i, j - i);
          done += j - i;
          i = j;
          continue;
        }
        if (i + 1 == avail) break;  // the pair goes on in the next block
        Pair(p[i] & 0x3F, p[i + 1], dst, n, done);
        i += 2;
      }
      in_.Skip(i);
      if (done < n && i < avail && count_ == 0) {
        // A run pair split across blocks.
        const int b = in_.Get();
        const int v = in_.Get();
        if (b < 0 || v < 0) break;
        count_ = b & 0x3F;
        value_ = uint8_t(v);
      }
    }
    return done;
  }
  // No run left to finish.
  bool Idle() const { return count_ == 0; }

 private:
  // A pair of count c and byte v at dst + done; what passes the row end is carried.
  void Pair(int c, uint8_t v, uint8_t* dst, size_t n, size_t& done) {
    const size_t k = std::min<size_t>(size_t(c), n - done);
    if (k == 1)
      dst[done] = v;
    else if (k > 1)
      std::memset(dst + done, v, k);
    done += k;
    count_ = c - int(k);
    value_ = v;
  }

  // The bulk of a row, 64 input bytes a window: the pair starts of a window are found at
  // once, the literals between them copied (32 bytes at least) and short runs set 16 bytes
  // a store. Windows are taken only while the block holds 64 bytes and a pair's second byte
  // beyond them plus a copy's overreach, and the row has room for all 64 as literals plus a
  // 32-byte copy; a run that brings the row end closer stops them. Returns the bytes of p consumed.
  size_t Windows(const uint8_t* p, size_t avail, uint8_t* dst, size_t n, size_t& done) {
    constexpr size_t kWindow = 64, kReach = kWindow + 32, kRoom = kWindow + 32;
    // The output position lives in a local: stores of bytes could alias the caller's.
    size_t out = done;
    size_t i = 0;
#if defined(__x86_64__) || defined(__i386__)
    if (CpuHasSsse3()) i = DecodeBlocksSsse3(p, avail, dst, n, out);
#endif
    while (i + kReach <= avail && out + kRoom <= n) {
      const uint64_t starts = PairStarts64(p + i);
      size_t j = 0;
      bool stop = false;
      while (j < kWindow) {
        const uint64_t rest = starts >> j;
        const size_t literals = rest ? size_t(__builtin_ctzll(rest)) : kWindow - j;
        Copy16(dst + out, p + i + j);
        Copy16(dst + out + 16, p + i + j + 16);
        for (size_t k = 32; k < literals; k += 16) Copy16(dst + out + k, p + i + j + k);
        out += literals;
        j += literals;
        if (j >= kWindow) break;
        const int c = p[i + j] & 0x3F;
        const uint8_t v = p[i + j + 1];
        j += 2;
        if (c <= 16) {
          // Short runs (and single bytes) as 16 copies of the byte; the row has room.
          const uint64_t x = v * 0x0101010101010101u;
          std::memcpy(dst + out, &x, 8);
          std::memcpy(dst + out + 8, &x, 8);
          out += size_t(c);
          stop = out + kRoom > n;
        } else {
          size_t at = out;
          Pair(c, v, dst, n, at);
          out = at;
          stop = count_ > 0 || out + kRoom > n;
        }
        if (stop) break;
      }
      i += j;
      if (stop) break;
    }
    done = out;
    return i;
  }

  Source& in_;
  bool rle_;
  int count_ = 0;
  uint8_t value_ = 0;
};

// Large run-length images are read in pieces of data decoded on the worker pool while the
// calling thread reads the next pieces and lays out the rows of those done. A piece starts
// and ends between pairs (see CutPiece), so it decodes alone into one stream of plane-line
// bytes; where it lies in the image is known when the pieces before it are taken back.
constexpr size_t kPieceData = 256 << 10;
// Bytes a piece decodes before it is taken back; the taker decodes the rest (runs that
// expand the data more than this, which are quick to set).
constexpr size_t kPieceOutput = 4 * kPieceData;

// How many bytes of data[0, n) make a piece that ends between pairs, when data[0] starts a
// pair or a literal: a byte below 0xC0 always ends one, and the bytes of 0xC0 and up after
// the last of them (or from the start) are whole pairs, so an odd count of them leaves one
// that starts a pair cut in two.
size_t CutPiece(const uint8_t* data, size_t n) {
  size_t high = 0;
  while (high < n && data[n - 1 - high] >= 0xC0) ++high;
  return n - (high & 1);
}

class PcxPiece : public TLxClaimedJob {
 public:
  PcxPiece(std::unique_ptr<uint8_t[]> data, size_t size, std::shared_ptr<TLxBufferStock> dataStock,
           std::shared_ptr<TLxBufferStock> outStock)
      : dataStock_(std::move(dataStock)),
        outStock_(std::move(outStock)),
        data_(std::move(data)),
        source_(data_.get(), size),
        decoder_(source_, true) {}
  ~PcxPiece() {
    dataStock_->Give(std::move(data_));
    if (out_) outStock_->Give(std::move(out_));
  }
  // Runs on a worker too, so it throws nothing: a failed allocation leaves Ok() false.
  void Run() noexcept {
    try {
      out_ = outStock_->Take();
      More();
    } catch (const std::bad_alloc&) {
      ok_ = false;
    }
    Done();
  }
  bool Ok() const { return ok_; }
  // The bytes decoded last; More replaces them with the next ones until Finished().
  const uint8_t* Output() const { return out_.get(); }
  size_t OutputSize() const { return size_; }
  void More() { size_ = decoder_.Fill(out_.get(), kPieceOutput); }
  bool Finished() const { return source_.Left() == 0 && decoder_.Idle(); }

 private:
  std::shared_ptr<TLxBufferStock> dataStock_, outStock_;
  std::unique_ptr<uint8_t[]> data_, out_;
  SpanSource source_;
  LineDecoder<SpanSource> decoder_;
  size_t size_ = 0;
  bool ok_ = true;
};

void ReadPcx(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool headerOnly,
             ProgressRecord& progress, int64_t dataSize, std::unique_ptr<TLxMask>& mask) {
  const int64_t start = stream.Position();
  dataSize = std::min(dataSize, stream.Size() - start);
  uint8_t raw[kPcxHeaderSize];
  if (dataSize < kPcxHeaderSize || stream.Read(raw, kPcxHeaderSize) != kPcxHeaderSize) {
    progress.Fail(TLxFailure::Truncated, 0, "truncated header");
    return;
  }
  PcxHeader h;
  h.Parse(raw);
  if (PcxFault f = CheckPcxHeader(h); f.code != TLxFailure::None) {
    progress.Fail(f.code, 0, f.detail);
    return;
  }
  const int64_t w = h.width(), ht = h.height();
  if (h.hres == 0 || h.vres == 0) {
    params.SetDpiX(DefaultDPI);
    params.SetDpiY(DefaultDPI);
  } else {
    params.SetDpiX(int32_t(h.hres));
    params.SetDpiY(int32_t(h.vres));
  }

  // Palettes as blue, green, red.
  TRGB palette[256] = {};
  const bool mapped = h.bits < 8 && !(h.bits == 1 && h.planes == 1);
  if (h.bits < 8) {
    bool zero = std::all_of(h.palette, h.palette + 48, [](uint8_t b) { return b == 0; });
    for (int i = 0; i < 16; ++i)
      palette[i] = zero ? CreateRGB(kEga[i][0], kEga[i][1], kEga[i][2])
                        : CreateRGB(h.palette[3 * i], h.palette[3 * i + 1], h.palette[3 * i + 2]);
  } else if (h.planes == 1) {
    // The trailing palette: 769 bytes at the end of the data, the first of them 12.
    bool trailing = false;
    if (dataSize >= kPcxHeaderSize + 769) {
      uint8_t pal[769];
      stream.Seek(start + dataSize - 769, soBeginning);
      if (stream.Read(pal, 769) == 769 && pal[0] == 12) {
        trailing = true;
        for (int i = 0; i < 256; ++i)
          palette[i] = CreateRGB(pal[1 + 3 * i], pal[2 + 3 * i], pal[3 + 3 * i]);
      }
      stream.Seek(start + kPcxHeaderSize, soBeginning);
    }
    if (!trailing)
      for (int i = 0; i < 256; ++i) palette[i] = CreateRGB(uint8_t(i), uint8_t(i), uint8_t(i));
  }

  params.PcxVersion = h.version;
  params.Width = int32_t(w);
  params.Height = int32_t(ht);
  params.BitsPerSample = h.bits;
  params.SamplesPerPixel = h.planes;
  params.FreeColorMap();
  if (h.bits == 8 && h.planes == 1) {
    params.SetColorMap(palette, 256);
  } else if (mapped) {
    const int indexBits = h.bits * h.planes;
    params.BitsPerSample = indexBits, params.SamplesPerPixel = 1;
    params.SetColorMap(palette, 1 << indexBits);
  }
  if (headerOnly) return;

  const uint64_t lineBytes = uint64_t(h.bytesPerLine) * h.planes;
  uint64_t total = lineBytes * uint64_t(ht);
  // A byte pair stands for at most 63 bytes.
  const uint64_t least = h.encoding ? (total + 62) / 63 * 2 : total;
  const PixelFormat pf = h.bits == 1 && h.planes == 1 ? lx1g : lx24RGB;
  if (CheckImageSize(w, ht, pf, least, dataSize - kPcxHeaderSize) != TLxFailure::None) {
    progress.Fail(TLxFailure::TooLarge, kPcxHeaderSize, "image larger than its data");
    return;
  }
  mask.reset();
  bitmap.ReallocPending = true;
  if (!bitmap.Allocate(int(w), int(ht), pf)) {
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the image");
    return;
  }
  const bool alpha = h.bits == 8 && h.planes == 4;
  if (alpha) {
    mask = std::make_unique<TLxMask>();
    if (!mask->Allocate(int(w), int(ht), 8)) {
      mask.reset();
      progress.Fail(TLxFailure::OutOfMemory, "no memory for the alpha channel");
      return;
    }
    mask->Fill(255);
  }

  TLxReadBuffer in(stream);
  LimitedSource source(in, dataSize - kPcxHeaderSize);
  std::vector<uint8_t> buf(static_cast<size_t>(lineBytes) + kRowSlack);
  const size_t rowBytes = size_t(lineBytes);
  TLxPalette32 table;
  for (int i = 0; i < 256; ++i)
    table.entry[i] =
        uint32_t(palette[i].b) | uint32_t(palette[i].g) << 8 | uint32_t(palette[i].r) << 16;
  const size_t bpl = h.bytesPerLine;
  bool all255 = true, truncated = false;
  // Row y from its plane lines at s.
  auto convert = [&](int y, const uint8_t* s) {
    uint8_t* row = bitmap.ScanLine(y);
    auto put = [row](int64_t x, const TRGB& c) {
      row[3 * x] = c.b, row[3 * x + 1] = c.g, row[3 * x + 2] = c.r;
    };
    if (h.bits == 1 && h.planes == 1) {
      std::memcpy(row, s, size_t((w + 7) / 8));
    } else if (h.bits == 1) {
      for (int64_t x = 0; x < w; ++x) {
        int index = 0;
        for (int p = 0; p < h.planes; ++p)
          index |= ((s[p * bpl + size_t(x >> 3)] >> (7 - (x & 7))) & 1) << p;
        put(x, palette[index]);
      }
    } else if (h.bits == 2) {
      for (int64_t x = 0; x < w; ++x) put(x, palette[(s[x >> 2] >> (6 - 2 * (x & 3))) & 3]);
    } else if (h.bits == 4) {
      for (int64_t x = 0; x < w; ++x) put(x, palette[x & 1 ? s[x >> 1] & 15 : s[x >> 1] >> 4]);
    } else if (h.planes == 1) {
      ExpandIndexed24(s, row, size_t(w), table);
    } else {
      InterleavePlanes24(s, s + bpl, s + 2 * bpl, row, size_t(w));
      if (alpha) {
        const uint8_t* a = s + 3 * bpl;
        std::memcpy(mask->ScanLine(y), a, size_t(w));
        for (int64_t x = 0; x < w; ++x) all255 &= a[x] == 255;
      }
    }
    progress.RowDone();
  };
  progress.BeginRows(int(ht));
  const int lanes = SpareLanes();
  if (h.encoding == 1 && lanes > 1 && uint64_t(dataSize) >= 4 * kPieceData) {
    // Decoded pieces are laid out as rows as they come back, in order; a row that two pieces
    // share is gathered in buf.
    int y = 0;
    size_t filled = 0;
    auto lay = [&](const uint8_t* p, size_t n) {
      while (n > 0 && y < ht) {
        if (progress.Aborting()) return false;
        if (filled == 0 && n >= rowBytes) {
          convert(y++, p);
          p += rowBytes, n -= rowBytes;
          continue;
        }
        const size_t k = std::min(n, rowBytes - filled);
        std::memcpy(buf.data() + filled, p, k);
        filled += k, p += k, n -= k;
        if (filled == rowBytes) convert(y++, buf.data()), filled = 0;
      }
      return y < ht;
    };
    bool failed = false;
    auto take = [&](PcxPiece& piece) {
      if (!piece.Ok()) {
        failed = true;
        return false;
      }
      for (;;) {
        if (!lay(piece.Output(), piece.OutputSize())) return false;
        if (piece.Finished()) return true;
        piece.More();
      }
    };
    auto dataStock = std::make_shared<TLxBufferStock>(kPieceData);
    auto outStock = std::make_shared<TLxBufferStock>(kPieceOutput + kRowSlack);
    // Twice as many pieces wait as there are lanes: the calling thread, which reads and lays
    // out rows besides, then finds pieces to decode without leaving the workers none.
    TLxOrderedJobs<PcxPiece> pieces(2 * lanes);
    bool taking = true, end = false;
    int carried = -1;
    while (taking && !end) {
      std::unique_ptr<uint8_t[]> data = dataStock->Take();
      size_t size = 0;
      if (carried >= 0) data[size++] = uint8_t(carried);
      const size_t wanted = kPieceData - size;
      const size_t got = source.Read(data.get() + size, wanted);
      size += got;
      end = got < wanted;
      const size_t cut = end ? size : CutPiece(data.get(), size);
      carried = cut < size ? data[cut] : -1;
      taking =
          pieces.Add(std::make_shared<PcxPiece>(std::move(data), cut, dataStock, outStock), take);
    }
    if (taking) pieces.Drain(take);
    if (failed) {
      mask.reset();
      progress.Fail(TLxFailure::OutOfMemory, "no memory for the decoded data");
      return;
    }
    if (progress.Aborting()) return;
    if (y < ht) {
      // The data ended inside row y.
      std::memset(buf.data() + filled, 0, rowBytes - filled);
      convert(y, buf.data());
      truncated = true;
    }
  } else {
    LineDecoder<LimitedSource> lines(source, h.encoding == 1);
    for (int y = 0; y < ht && !truncated; ++y) {
      if (progress.Aborting()) return;
      truncated = !lines.Row(buf.data(), rowBytes);
      convert(y, buf.data());
    }
  }
  in.Release();
  if (mask) {
    if (all255) {
      mask.reset();
    } else {
      mask->AllOpaque = false;
      mask->RecomputeBounds();
    }
  }
  if (truncated) progress.Fail(TLxFailure::Truncated, in.Position(), "truncated pixel data");
}

// The page offsets of a DCX table; empty when the stream is not a container.
std::vector<uint32_t> DcxPages(TStream& stream, bool& valid) {
  valid = false;
  std::vector<uint32_t> pages;
  const int64_t start = stream.Position(), size = stream.Size();
  ByteReader in(stream);
  if (in.u32le() != kDcxMagic || !in.ok()) return pages;
  for (int i = 0; i < kDcxMaxPages; ++i) {
    uint32_t offset = in.u32le();
    if (!in.ok()) return {};
    if (offset == 0) break;
    if (int64_t(offset) >= size) return {};
    pages.push_back(offset);
  }
  stream.Seek(start, soBeginning);
  valid = !pages.empty();
  return pages;
}

}  // namespace

bool PcxHeaderTest(TStream& stream) {
  const int64_t start = stream.Position();
  uint8_t raw[kPcxHeaderSize];
  bool ok =
      stream.Size() - start > kPcxHeaderSize && stream.Read(raw, kPcxHeaderSize) == kPcxHeaderSize;
  if (ok) {
    PcxHeader h;
    h.Parse(raw);
    ok = CheckPcxHeader(h).code == TLxFailure::None;
  }
  stream.Seek(start, soBeginning);
  return ok;
}

bool IsDcxStream(TStream& stream) {
  const int64_t start = stream.Position();
  bool valid;
  DcxPages(stream, valid);
  stream.Seek(start, soBeginning);
  return valid;
}

void ReadPcxStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool headerOnly,
                   ProgressRecord& progress, int64_t dataSize, std::unique_ptr<TLxMask>& mask) {
  try {
    ReadPcx(stream, bitmap, params, headerOnly, progress, dataSize, mask);
  } catch (const std::bad_alloc&) {
    mask.reset();
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the image");
  } catch (const std::length_error&) {
    mask.reset();
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the image");
  }
}

void ReadDcxStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool headerOnly,
                   ProgressRecord& progress, std::unique_ptr<TLxMask>& mask) {
  bool valid;
  std::vector<uint32_t> pages = DcxPages(stream, valid);
  if (!valid) {
    progress.Fail(TLxFailure::BadHeader, 0, "not a DCX container with pages");
    return;
  }
  const int count = int(pages.size());
  const int index = std::clamp(params.DcxImageIndex, 0, count - 1);
  params.SetImageIndex(index);
  const int64_t offset = pages[size_t(index)];
  int64_t end = stream.Size();
  for (uint32_t p : pages)
    if (int64_t(p) > offset) end = std::min<int64_t>(end, p);
  stream.Seek(offset, soBeginning);
  ReadPcxStream(stream, bitmap, params, headerOnly, progress, end - offset, mask);
}

}  // namespace lumenax
