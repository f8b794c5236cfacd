// PNG reader on libpng.
//
// libpng reports errors by longjmp. No C++ object may be alive in a frame that a longjmp
// skips, so every call that can fail runs inside one of the two small phase functions below
// (ReadHeader, ReadRows); they keep their state in a plain ReadContext owned by
// ReadPNGStream and touch only trivially destructible locals. Everything that allocates or
// may throw (the parameter record, the bitmap, buffers) happens in ReadPNGStream between
// the phases, where no libpng call is on the stack.
#include <png.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/byte_reader.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/common/pixel_rows.h"
#include "codecs/common/resolution.h"
#include "codecs/png/png.h"
#include "io/params.h"

namespace lumenax {

namespace {

// Sanity limits handed to libpng: it refuses larger IHDR sizes, more ancillary chunks, and
// ancillary chunks (or decompressed zTXt/iCCP data) larger than this.
constexpr png_uint_32 kMaxDimension = 1000000;
constexpr png_uint_32 kMaxCachedChunks = 1000;
constexpr png_alloc_size_t kMaxChunkBytes = 16u << 20;
// Deflate cannot shrink data by more than about 1032:1, so image data longer than the rest
// of the stream times this cannot be there: such a header is refused before allocating.
constexpr uint64_t kMaxInflateRatio = 1032;
// Whatever the stream holds, images beyond this many pixels are refused.
constexpr uint64_t kMaxPixels = uint64_t(1) << 31;
constexpr uint64_t kMaxPixelsUnknownSize = uint64_t(1) << 28;
constexpr size_t kReadAhead = 64 * 1024;
// The error the read callback raises when the stream ends early.
constexpr const char* kReadError = "Read Error";
// libpng allocates its chunk buffers at the length a chunk header claims, before reading
// the chunk (and zero-fills them), whatever the chunk malloc limit says for tEXt and the
// like. So its allocations go through a budget: none larger than kMaxLibpngBlock (rows of
// the widest allowed image need 8 MiB), and no more than kLibpngBudget at once (a file of
// many zTXt chunks cannot inflate into gigabytes). A refused chunk buffer makes libpng skip
// the chunk; a refused row buffer fails the load.
constexpr size_t kMaxLibpngBlock = 32u << 20;
constexpr size_t kLibpngBudget = 256u << 20;

// How a decoded row reaches the bitmap.
enum class RowMode : uint8_t {
  Direct,      // libpng writes straight into the bitmap row (red and blue swapped after)
  SplitAlpha,  // red, green, blue, alpha staged, then split into the row and the alpha row
  Palette1,    // 1-bit palette indices staged, then looked up into an lx24RGB row
};

// Where the alpha of a pixel comes from when the rows themselves carry none: the tRNS chunk
// of images that keep their own layout (native, 1-bit).
enum class KeyAlpha : uint8_t { None, IndexTable, Gray1, Gray8, Gray16 };

struct ReadContext {
  TStream* stream = nullptr;
  ProgressRecord* progress = nullptr;
  png_structp png = nullptr;
  png_infop info = nullptr;
  size_t libpngBytes = 0;  // held by libpng now, see kLibpngBudget

  // Read-ahead over the stream; the unused rest is given back at the end.
  uint8_t* buffer = nullptr;
  size_t bufferPos = 0;
  size_t bufferLen = 0;

  // From the header phase. Native layouts (IsNativePixelFormat) apply to 8/16-bit gray and
  // 8-bit palette images only.
  bool nativeRequested = false;
  bool native = false;
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int depth = 0;
  int colorType = 0;
  int interlace = 0;
  bool hasTrns = false;
  bool rgbaRows = false;  // rows come as red, green, blue, alpha
  bool swapRows = false;  // rows come as red, green, blue: swap into blue, green, red
  int passes = 1;
  size_t rowBytes = 0;
  int channels = 0;

  // For the row phase.
  TLxBitmap* bitmap = nullptr;
  TLxBitmap* alpha = nullptr;
  RowMode mode = RowMode::Direct;
  KeyAlpha keyAlpha = KeyAlpha::None;
  uint8_t* staging = nullptr;
  bool haveSsse3 = false;
  TRGB twoColours[2];
  uint8_t alphaOfIndex[256];
  unsigned grayKey = 0;
  bool finished = false;  // png_read_end ran
  // PLTE of palette images (held by libpng).
  png_colorp plte = nullptr;
  int plteCount = 0;
  // The bitmap's layout and the bytes of its row that the row mode fills.
  lumenax::PixelFormat layout = lx24RGB;
  size_t bitmapRowBytes = 0;
  // libpng warned that the image is beyond a size limit (its error then only says "Invalid
  // IHDR data").
  bool warnedTooLarge = false;
};

// ---------------------------------------------------------------- libpng callbacks

// Stream position of the next byte libpng has not taken yet.
int64_t ConsumedPosition(const ReadContext* c) noexcept {
  try {
    return c->stream->Position() - int64_t(c->bufferLen - c->bufferPos);
  } catch (...) {
    return -1;
  }
}

struct LibpngFailure {
  TLxFailure code;
  const char* detail;
};

// The reason behind one of libpng's error messages.
LibpngFailure ClassifyLibpngError(const char* message, bool warnedTooLarge) {
  auto has = [message](const char* part) { return std::strstr(message, part) != nullptr; };
  if (has("Not a PNG file") || has("corrupted by ASCII"))
    return {TLxFailure::BadSignature, "not a PNG signature"};
  if (has(kReadError)) return {TLxFailure::Truncated, "truncated PNG data"};
  if (has("IHDR data") && warnedTooLarge) return {TLxFailure::TooLarge, "image too large"};
  if (has("CRC")) return {TLxFailure::BadData, "bad chunk CRC"};
  if (has("IHDR")) return {TLxFailure::BadHeader, "bad IHDR chunk"};
  if (has("Not enough image data")) return {TLxFailure::Truncated, "truncated image data"};
  if (has("IEND")) return {TLxFailure::NoImage, "no image data"};  // IEND before any IDAT
  if (has("emory")) return {TLxFailure::OutOfMemory, "out of memory"};
  if (has("IDAT") || has("ompress") || has("image data") || has("zlib") || has("stream"))
    return {TLxFailure::BadData, "corrupt zlib data"};
  return {TLxFailure::BadData, "corrupt PNG data"};
}

// Records why libpng gave up; returns before the longjmp so that nothing it makes is skipped.
void FailFromLibpng(ReadContext* c, const char* message) noexcept {
  try {
    LibpngFailure f = ClassifyLibpngError(message ? message : "", c->warnedTooLarge);
    c->progress->Fail(f.code, ConsumedPosition(c), f.detail);
  } catch (...) {
    c->progress->Abort();
  }
}

[[noreturn]] void OnError(png_structp png, png_const_charp message) {
  auto* c = static_cast<ReadContext*>(png_get_error_ptr(png));
  FailFromLibpng(c, message);
  png_longjmp(png, 1);
}

// Warnings are ignored, except that a size limit was passed.
void OnWarning(png_structp png, png_const_charp message) {
  auto* c = static_cast<ReadContext*>(png_get_error_ptr(png));
  if (message && (std::strstr(message, "exceeds user limit") || std::strstr(message, "too large")))
    c->warnedTooLarge = true;
}

// Each block carries its size in front, so that freeing can give it back to the budget.
constexpr size_t kBlockHeader = 16;

png_voidp OnMalloc(png_structp png, png_alloc_size_t size) {
  auto* c = static_cast<ReadContext*>(png_get_mem_ptr(png));
  if (size > kMaxLibpngBlock || c->libpngBytes + size > kLibpngBudget) return nullptr;
  auto* block = static_cast<uint8_t*>(std::malloc(size + kBlockHeader));
  if (!block) return nullptr;
  std::memcpy(block, &size, sizeof size);
  c->libpngBytes += size;
  return block + kBlockHeader;
}

void OnFree(png_structp png, png_voidp p) {
  if (!p) return;
  auto* c = static_cast<ReadContext*>(png_get_mem_ptr(png));
  uint8_t* block = static_cast<uint8_t*>(p) - kBlockHeader;
  png_alloc_size_t size;
  std::memcpy(&size, block, sizeof size);
  c->libpngBytes -= size;
  std::free(block);
}

// Copies n bytes of the stream to out; false when the stream has fewer or fails.
bool TakeBytes(ReadContext* c, uint8_t* out, size_t n) noexcept {
  try {
    while (n > 0) {
      if (c->bufferPos == c->bufferLen) {
        if (n >= kReadAhead) {  // large requests bypass the buffer
          int64_t got = c->stream->Read(out, int64_t(n));
          return got == int64_t(n);
        }
        int64_t got = c->stream->Read(c->buffer, int64_t(kReadAhead));
        if (got <= 0) return false;
        c->bufferPos = 0;
        c->bufferLen = size_t(got);
      }
      size_t take = std::min(n, c->bufferLen - c->bufferPos);
      std::memcpy(out, c->buffer + c->bufferPos, take);
      c->bufferPos += take;
      out += take;
      n -= take;
    }
    return true;
  } catch (...) {
    return false;
  }
}

void OnRead(png_structp png, png_bytep out, size_t n) {
  auto* c = static_cast<ReadContext*>(png_get_io_ptr(png));
  if (!TakeBytes(c, out, n)) png_error(png, kReadError);  // the stream ended early
}

// ---------------------------------------------------------------- phase 1: header

// Reads the chunks up to the image data and sets the transformations. False after a libpng
// error (Aborting is set by then).
bool ReadHeader(ReadContext* c) {
  if (setjmp(png_jmpbuf(c->png))) return false;
  png_structp png = c->png;
  png_infop info = c->info;
  png_read_info(png, info);
  int compression = 0, filter = 0;
  png_get_IHDR(png, info, &c->width, &c->height, &c->depth, &c->colorType, &c->interlace,
               &compression, &filter);
  c->hasTrns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  const int ct = c->colorType;
  const int depth = c->depth;
  const bool gray = ct == PNG_COLOR_TYPE_GRAY || ct == PNG_COLOR_TYPE_GRAY_ALPHA;
  c->native = c->nativeRequested && (depth == 8 || depth == 16) &&
              (ct == PNG_COLOR_TYPE_GRAY || ct == PNG_COLOR_TYPE_PALETTE);

  if (c->native) {
    if (depth == 16) png_set_swap(png);  // lx16g holds little-endian samples
  } else if (ct == PNG_COLOR_TYPE_GRAY && depth == 1) {
    // lx1g as stored
  } else if (ct == PNG_COLOR_TYPE_PALETTE && depth == 1) {
    // looked up by hand into lx24RGB
  } else {
    if ((ct == PNG_COLOR_TYPE_PALETTE && depth > 1) || (ct == PNG_COLOR_TYPE_GRAY && depth < 8))
      png_set_expand(png);  // includes tRNS to alpha
    else if (c->hasTrns)
      png_set_tRNS_to_alpha(png);  // a colour key of an 8/16-bit gray or RGB image
    if (depth == 16) png_set_strip_16(png);
    if (depth < 8) png_set_packing(png);
    if (gray) png_set_gray_to_rgb(png);
    // Red and blue are put in place by the reader itself, with byte shuffles (rows with
    // alpha while they are split anyway), which costs less than libpng's pass over the row.
    c->rgbaRows = (ct & PNG_COLOR_MASK_ALPHA) || c->hasTrns;
    c->swapRows = !c->rgbaRows && (ct & PNG_COLOR_MASK_COLOR);
  }
  c->passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  c->channels = png_get_channels(png, info);
  c->rowBytes = png_get_rowbytes(png, info);
  return true;
}

// ---------------------------------------------------------------- phase 2: rows

// Alpha of the pixels x0, x0 + dx, ... of a row that keeps its own layout, from tRNS.
void KeyAlphaRow(const ReadContext* c, const uint8_t* src, uint8_t* a, png_uint_32 x0,
                 png_uint_32 dx) {
  const png_uint_32 w = c->width;
  switch (c->keyAlpha) {
    case KeyAlpha::IndexTable:  // 8-bit indices (native) or 1-bit indices (Palette1)
      if (c->mode == RowMode::Palette1) {
        for (png_uint_32 x = x0; x < w; x += dx)
          a[x] = c->alphaOfIndex[(src[x >> 3] >> (7 - (x & 7))) & 1];
      } else {
        for (png_uint_32 x = x0; x < w; x += dx) a[x] = c->alphaOfIndex[src[x]];
      }
      break;
    case KeyAlpha::Gray1:
      for (png_uint_32 x = x0; x < w; x += dx)
        a[x] = ((src[x >> 3] >> (7 - (x & 7))) & 1) == c->grayKey ? 0 : 255;
      break;
    case KeyAlpha::Gray8:
      for (png_uint_32 x = x0; x < w; x += dx) a[x] = src[x] == c->grayKey ? 0 : 255;
      break;
    case KeyAlpha::Gray16:  // little-endian after png_set_swap
      for (png_uint_32 x = x0; x < w; x += dx)
        a[x] = unsigned(src[2 * x] | src[2 * x + 1] << 8) == c->grayKey ? 0 : 255;
      break;
    case KeyAlpha::None:
      break;
  }
}

// Red, green, blue, alpha of pixels x0, x0 + dx, ... into an lx24RGB row (blue first) and
// an alpha row.
void SplitRowScalar(const uint8_t* src, uint8_t* dst, uint8_t* a, png_uint_32 w, png_uint_32 x0,
                    png_uint_32 dx) {
  for (png_uint_32 x = x0; x < w; x += dx) {
    const uint8_t* s = src + 4 * size_t(x);
    uint8_t* d = dst + 3 * size_t(x);
    d[0] = s[2];
    d[1] = s[1];
    d[2] = s[0];
    a[x] = s[3];
  }
}

#if defined(__x86_64__) || defined(__i386__)
// Whole rows, 16 pixels a step with byte shuffles: this split is the only pass the reader
// adds over the pixels of an image with alpha, so it must cost next to nothing.
__attribute__((target("ssse3"))) void SplitRowSsse3(const uint8_t* src, uint8_t* dst, uint8_t* a,
                                                    png_uint_32 w) {
  const __m128i colour = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m128i a0 = _mm_setr_epi8(3, 7, 11, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i a1 = _mm_setr_epi8(-1, -1, -1, -1, 3, 7, 11, 15, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i a2 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, 3, 7, 11, 15, -1, -1, -1, -1);
  const __m128i a3 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 3, 7, 11, 15);
  png_uint_32 x = 0;
  for (; x + 16 <= w; x += 16, src += 64, dst += 48) {
    __m128i p0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    __m128i p1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
    __m128i p2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32));
    __m128i p3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 48));
    __m128i c0 = _mm_shuffle_epi8(p0, colour), c1 = _mm_shuffle_epi8(p1, colour),
            c2 = _mm_shuffle_epi8(p2, colour), c3 = _mm_shuffle_epi8(p3, colour);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_or_si128(c0, _mm_slli_si128(c1, 12)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16),
                     _mm_or_si128(_mm_srli_si128(c1, 4), _mm_slli_si128(c2, 8)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 32),
                     _mm_or_si128(_mm_srli_si128(c2, 8), _mm_slli_si128(c3, 4)));
    __m128i al = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(p0, a0), _mm_shuffle_epi8(p1, a1)),
                              _mm_or_si128(_mm_shuffle_epi8(p2, a2), _mm_shuffle_epi8(p3, a3)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(a + x), al);
  }
  SplitRowScalar(src - 4 * size_t(x), dst - 3 * size_t(x), a, w, x, 1);
}
#endif

// Red and blue of pixels x0, x0 + dx, ... of an lx24RGB row swapped in place.
void SwapRowScalar(uint8_t* row, png_uint_32 w, png_uint_32 x0, png_uint_32 dx) {
  for (png_uint_32 x = x0; x < w; x += dx) std::swap(row[3 * size_t(x)], row[3 * size_t(x) + 2]);
}

void SwapRow(const ReadContext* c, uint8_t* row, png_uint_32 x0, png_uint_32 dx) {
  if (dx == 1) {
    SwapRedBlue24(row, row, c->width);
    return;
  }
  SwapRowScalar(row, c->width, x0, dx);
}

void SplitRow(const ReadContext* c, const uint8_t* src, uint8_t* dst, uint8_t* a, png_uint_32 x0,
              png_uint_32 dx) {
#if defined(__x86_64__) || defined(__i386__)
  if (dx == 1 && c->haveSsse3) {
    SplitRowSsse3(src, dst, a, c->width);
    return;
  }
#endif
  SplitRowScalar(src, dst, a, c->width, x0, dx);
}

// Reads row y of pass `pass` (libpng fills only that pass's pixels; earlier passes' pixels
// of the row stay as they were) and moves what it got into the bitmap and alpha channel.
void ReadRow(ReadContext* c, int pass, png_uint_32 y) {
  png_uint_32 x0 = 0, dx = 1;
  if (c->passes > 1) {
    if (!PNG_ROW_IN_INTERLACE_PASS(y, pass)) {
      png_read_row(c->png, nullptr, nullptr);  // nothing of this row in this pass
      return;
    }
    x0 = PNG_PASS_START_COL(pass);
    dx = PNG_PASS_COL_OFFSET(pass);
  }
  switch (c->mode) {
    case RowMode::Direct: {
      uint8_t* row = c->bitmap->ScanLine(int(y));
      png_read_row(c->png, row, nullptr);
      if (c->swapRows) SwapRow(c, row, x0, dx);
      if (c->keyAlpha != KeyAlpha::None) KeyAlphaRow(c, row, c->alpha->ScanLine(int(y)), x0, dx);
      break;
    }
    case RowMode::SplitAlpha:
      png_read_row(c->png, c->staging, nullptr);
      SplitRow(c, c->staging, c->bitmap->ScanLine(int(y)), c->alpha->ScanLine(int(y)), x0, dx);
      break;
    case RowMode::Palette1: {
      png_read_row(c->png, c->staging, nullptr);
      const uint8_t* src = c->staging;
      uint8_t* dst = c->bitmap->ScanLine(int(y));
      for (png_uint_32 x = x0; x < c->width; x += dx) {
        const TRGB& rgb = c->twoColours[(src[x >> 3] >> (7 - (x & 7))) & 1];
        std::memcpy(dst + 3 * size_t(x), &rgb, 3);
      }
      if (c->keyAlpha != KeyAlpha::None) KeyAlphaRow(c, src, c->alpha->ScanLine(int(y)), x0, dx);
      break;
    }
  }
}

// Reads every row of every pass, reporting progress after each; png_read_end unless the
// load was stopped. False after a libpng error (Aborting is set by then).
bool ReadRows(ReadContext* c) {
  if (setjmp(png_jmpbuf(c->png))) return false;
  ProgressRecord& progress = *c->progress;
  progress.Per1 = 100.0 / (double(c->passes) * double(c->height));
  progress.Value = 0;
  for (int pass = 0; pass < c->passes; ++pass) {
    for (png_uint_32 y = 0; y < c->height; ++y) {
      ReadRow(c, pass, y);
      progress.RowDone();
      if (progress.Aborting()) return true;
    }
  }
  png_read_end(c->png, c->info);
  c->finished = true;
  return true;
}

// ---------------------------------------------------------------- helpers around the phases

// Frees the libpng structures on every way out and gives back the unread look-ahead.
struct ReadGuard {
  ReadContext& c;
  ~ReadGuard() {
    png_destroy_read_struct(&c.png, c.info ? &c.info : nullptr, nullptr);
    if (c.bufferLen > c.bufferPos) {
      try {
        c.stream->Seek(-int64_t(c.bufferLen - c.bufferPos), soCurrent);
      } catch (...) {
      }
    }
  }
};

int SamplesOf(int colorType) {
  switch (colorType) {
    case PNG_COLOR_TYPE_RGB:
      return 3;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      return 2;
    case PNG_COLOR_TYPE_RGB_ALPHA:
      return 4;
    default:
      return 1;  // gray, palette
  }
}

// Appends the tEXt and zTXt chunks from index `from` on; returns the number libpng holds.
int TakeTexts(ReadContext& c, TIOParamsVals& params, int from) {
  png_textp text = nullptr;
  int count = png_get_text(c.png, c.info, &text, nullptr);
  for (int i = from; i < count; ++i) {
    const png_text& t = text[i];
    if (t.compression != PNG_TEXT_COMPRESSION_NONE && t.compression != PNG_TEXT_COMPRESSION_zTXt)
      continue;  // iTXt
    params.PngTextKeys.emplace_back(t.key ? t.key : "");
    params.PngTextValues.emplace_back(t.text ? t.text : "");
  }
  return count;
}

// The colour of bKGD at its real value: palette entry, gray level scaled up from low depths,
// or the high byte of 16-bit samples.
bool BackgroundOf(ReadContext& c, TRGB& out) {
  png_color_16p bg = nullptr;
  if (!png_get_bKGD(c.png, c.info, &bg) || !bg) return false;
  auto to8 = [&](unsigned v) -> uint8_t {
    if (c.depth == 16) return uint8_t(v >> 8);
    if (c.depth < 8)
      return uint8_t(std::min<unsigned>(v, (1u << c.depth) - 1) * 255 / ((1u << c.depth) - 1));
    return uint8_t(std::min<unsigned>(v, 255));
  };
  switch (c.colorType) {
    case PNG_COLOR_TYPE_PALETTE: {
      png_colorp palette = nullptr;
      int n = 0;
      if (!png_get_PLTE(c.png, c.info, &palette, &n) || bg->index >= n) return false;
      out = CreateRGB(palette[bg->index].red, palette[bg->index].green, palette[bg->index].blue);
      return true;
    }
    case PNG_COLOR_TYPE_GRAY:
    case PNG_COLOR_TYPE_GRAY_ALPHA: {
      uint8_t v = to8(bg->gray);
      out = CreateRGB(v, v, v);
      return true;
    }
    default:
      out = CreateRGB(to8(bg->red), to8(bg->green), to8(bg->blue));
      return true;
  }
}

// Whether the stream can hold the image data the header announces (deflate shrinks data by
// kMaxInflateRatio at most). A stream that cannot tell its size gets a tighter pixel limit.
bool SizeIsPlausible(const ReadContext& c, int64_t streamRemaining) {
  uint64_t pixels = 0, bits = 0;
  const uint64_t maxPixels = streamRemaining > 0 ? kMaxPixels : kMaxPixelsUnknownSize;
  if (!checked_mul(c.width, c.height, pixels) || pixels > maxPixels) return false;
  if (!checked_mul(pixels, uint64_t(SamplesOf(c.colorType) * c.depth), bits)) return false;
  if (streamRemaining > 0 && bits / 8 / kMaxInflateRatio > uint64_t(streamRemaining)) return false;
  return true;
}

// The libpng structures, with our memory functions, limits and read callback. False (with
// the reason recorded) when they cannot be made; the guard frees what was made.
bool CreateReader(ReadContext& c) {
  c.png =
      png_create_read_struct_2(PNG_LIBPNG_VER_STRING, &c, OnError, OnWarning, &c, OnMalloc, OnFree);
  if (c.png) c.info = png_create_info_struct(c.png);
  if (!c.png || !c.info) {
    c.progress->Fail(TLxFailure::OutOfMemory, "cannot create the PNG reader");
    return false;
  }
  png_set_user_limits(c.png, kMaxDimension, kMaxDimension);
  png_set_chunk_cache_max(c.png, kMaxCachedChunks);
  png_set_chunk_malloc_max(c.png, kMaxChunkBytes);
  png_set_read_fn(c.png, &c, OnRead);
  return true;
}

// Everything the header chunks say goes into the parameter record. Returns the number of
// text chunks taken (texts after the image data are added at the end).
int FillParameters(ReadContext& c, TIOParamsVals& params) {
  params.PngTextKeys.clear();
  params.PngTextValues.clear();
  const int textsSeen = TakeTexts(c, params, 0);
  TRGB background;
  if (BackgroundOf(c, background)) params.PngBackground = background;

  params.Width = int32_t(c.width);
  params.Height = int32_t(c.height);
  params.BitsPerSample = c.depth;
  params.SamplesPerPixel = SamplesOf(c.colorType);
  SetDpiFromPixelsPerMetre(params, png_get_x_pixels_per_meter(c.png, c.info),
                           png_get_y_pixels_per_meter(c.png, c.info));
  params.FreeColorMap();
  if (c.colorType == PNG_COLOR_TYPE_PALETTE && png_get_PLTE(c.png, c.info, &c.plte, &c.plteCount) &&
      c.plteCount > 0) {
    std::vector<TRGB> map(static_cast<size_t>(c.plteCount));
    for (int i = 0; i < c.plteCount; ++i)
      map[size_t(i)] = CreateRGB(c.plte[i].red, c.plte[i].green, c.plte[i].blue);
    params.SetColorMap(map.data(), c.plteCount);
  }
  params.PngInterlaced = png_get_interlace_type(c.png, c.info) != PNG_INTERLACE_NONE;
  return textsSeen;
}

// The pixel layout and how rows arrive. False when what libpng will deliver does not fit it.
bool ChooseLayout(ReadContext& c) {
  const int ct = c.colorType, depth = c.depth;
  c.layout = lx24RGB;
  if (c.native)
    c.layout = ct == PNG_COLOR_TYPE_PALETTE ? lx8p : depth == 16 ? lx16g : lx8g;
  else if (ct == PNG_COLOR_TYPE_GRAY && depth == 1)
    c.layout = lx1g;
  c.bitmapRowBytes = c.rowBytes;  // bytes libpng writes into the bitmap row (Direct)
  if (c.layout == lx24RGB && c.channels == 4)
    c.mode = RowMode::SplitAlpha;
  else if (c.layout == lx24RGB && ct == PNG_COLOR_TYPE_PALETTE && depth == 1)
    c.mode = RowMode::Palette1;
  else
    c.mode = RowMode::Direct;
  if (c.mode != RowMode::Direct) c.bitmapRowBytes = size_t(c.width) * 3;
  return (c.mode == RowMode::SplitAlpha) == (c.rgbaRows && !c.native && c.layout == lx24RGB) &&
         !(c.mode == RowMode::SplitAlpha && c.rowBytes != size_t(c.width) * 4) &&
         !(c.mode == RowMode::Direct && c.layout == lx24RGB && c.channels != 3);
}

// Transparency that no transformation turned into an alpha sample: tRNS of images that keep
// their own layout. Also the two colours of 1-bit palette images.
void SetUpKeyAlpha(ReadContext& c) {
  png_bytep trnsAlpha = nullptr;
  int trnsCount = 0;
  png_color_16p trnsColor = nullptr;
  if (c.hasTrns && (c.mode == RowMode::Direct || c.mode == RowMode::Palette1) &&
      png_get_tRNS(c.png, c.info, &trnsAlpha, &trnsCount, &trnsColor)) {
    if (c.colorType == PNG_COLOR_TYPE_PALETTE) {
      std::memset(c.alphaOfIndex, 255, sizeof c.alphaOfIndex);
      for (int i = 0; i < trnsCount && i < 256; ++i) c.alphaOfIndex[i] = trnsAlpha[i];
      c.keyAlpha = KeyAlpha::IndexTable;
    } else if (c.colorType == PNG_COLOR_TYPE_GRAY && trnsColor) {
      c.grayKey = trnsColor->gray;
      c.keyAlpha = c.depth == 1    ? KeyAlpha::Gray1
                   : c.depth == 16 ? KeyAlpha::Gray16
                                   : KeyAlpha::Gray8;
    }
  }
  if (c.mode == RowMode::Palette1) {
    c.twoColours[0] = c.twoColours[1] = TRGB{};
    for (int i = 0; i < c.plteCount && i < 2; ++i)
      c.twoColours[i] = CreateRGB(c.plte[i].red, c.plte[i].green, c.plte[i].blue);
  }
}

// A fresh, zero-filled bitmap (rows a failed load never reaches stay black), its palette,
// the staging row and the alpha channel the rows need.
bool AllocateTargets(ReadContext& c, TLxBitmap& bitmap, const TIOParamsVals& params,
                     std::vector<uint8_t>& staging) {
  bitmap.ReallocPending = true;
  if (!bitmap.Allocate(int(c.width), int(c.height), c.layout) || bitmap.PixelFormat() != c.layout ||
      size_t(bitmap.RowLen()) < c.bitmapRowBytes) {
    c.progress->Fail(TLxFailure::OutOfMemory, "cannot allocate the image");
    return false;
  }
  if (c.layout == lx8p)
    for (int i = 0; i < params.ColorMapCount && i < 256; ++i)
      bitmap.SetPaletteEntry(i, params.ColorMap[size_t(i)]);
  c.bitmap = &bitmap;
#if defined(__x86_64__) || defined(__i386__)
  c.haveSsse3 = __builtin_cpu_supports("ssse3");
#endif
  if (c.mode != RowMode::Direct) {
    staging.assign(c.rowBytes + 1, 0);
    c.staging = staging.data();
  }
  if (c.mode == RowMode::SplitAlpha || c.keyAlpha != KeyAlpha::None) {
    c.alpha = bitmap.AlphaChannel();
    if (!c.alpha || c.alpha->Width() != bitmap.Width() || c.alpha->Height() != bitmap.Height()) {
      c.progress->Fail(TLxFailure::OutOfMemory, "cannot allocate the alpha channel");
      return false;
    }
    c.alpha->AllOpaque = false;
  }
  return true;
}

}  // namespace

void ReadPNGStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool infoOnly,
                   ProgressRecord& progress) {
  try {
    const int64_t remaining = stream.Size() - stream.Position();
    auto readAhead = std::make_unique<uint8_t[]>(kReadAhead);
    ReadContext c;
    c.stream = &stream;
    c.progress = &progress;
    c.buffer = readAhead.get();
    c.nativeRequested = params.IsNativePixelFormat;
    ReadGuard guard{c};
    if (!CreateReader(c) || !ReadHeader(&c)) return;
    const int textsSeen = FillParameters(c, params);
    if (infoOnly) return;

    if (!SizeIsPlausible(c, remaining)) {
      progress.Fail(TLxFailure::TooLarge, "image too large for its data");
      return;
    }
    if (!progress.PixelsAllowed(c.width, c.height)) {
      progress.Fail(TLxFailure::TooLarge, "image too large");
      return;
    }
    if (!ChooseLayout(c)) {
      progress.Fail(TLxFailure::Unsupported, "unexpected row layout");
      return;
    }
    SetUpKeyAlpha(c);
    std::vector<uint8_t> staging;
    if (!AllocateTargets(c, bitmap, params, staging)) return;
    if (!ReadRows(&c)) return;
    if (c.finished) TakeTexts(c, params, textsSeen);  // text chunks after the image data
  } catch (const std::bad_alloc&) {
    progress.Fail(TLxFailure::OutOfMemory, "out of memory");
  } catch (...) {
    progress.Fail(TLxFailure::BadData, "read error");
  }
}

}  // namespace lumenax
