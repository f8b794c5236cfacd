// Layout check and the whole-image encoders of the PostScript and PDF writers.
#include "codecs/postscript/ps_common.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <exception>
#include <memory>
#include <span>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/common/ccitt_encoder.h"
#include "codecs/common/lzw_encoder.h"
#include "codecs/jpeg/jpeg.h"
#include "io/params.h"

namespace lumenax {

bool TakeLayout(TLxBitmap& bitmap, TIOParamsVals& params, ProgressRecord& progress) {
  if (bitmap.Width() <= 0 || bitmap.Height() <= 0) {
    progress.Fail(TLxFailure::Unsupported, "unsupported variant: empty image");
    return false;
  }
  switch (bitmap.PixelFormat()) {
    case lx1g:
      params.BitsPerSample = 1;
      params.SamplesPerPixel = 1;
      return true;
    case lx24RGB:
      params.BitsPerSample = 8;
      params.SamplesPerPixel = 3;
      return true;
    default:
      progress.Fail(TLxFailure::Unsupported, "unsupported variant: pixel layout");
      return false;
  }
}

int32_t PaperSide(int32_t value, int32_t fallback) {
  return value < 1 ? fallback : value;
}

bool WriteJpegData(TLxBitmap& bitmap, const TIOParamsVals& params, TLxJpegColorSpace space,
                   TStream& sink, ProgressRecord& progress) {
  // A record of its own: the caller's colour space may be one the page cannot show (CMYK
  // after a CMYK load), and the markers of a file read earlier do not belong in the page.
  TIOParamsVals temp;
  temp.JpegColorSpace = space;
  temp.JpegQuality = params.JpegQuality;
  temp.JpegDctMethod = params.JpegDctMethod;
  temp.JpegOptimizeCoding = params.JpegOptimizeCoding;
  temp.JpegSmoothing = params.JpegSmoothing;
  temp.JpegProgressive = params.JpegProgressive;
  temp.DpiX = params.DpiX;
  temp.DpiY = params.DpiY;
  try {
    WriteJpegStream(sink, bitmap, temp, progress);
  } catch (const ELxJpegException& e) {
    progress.Fail(TLxFailure::BadData, e.what());
  }
  return !progress.Aborting();
}

namespace {

#if defined(__x86_64__) || defined(__i386__)
// Five pixels (15 bytes) at a time through one 16-byte shuffle. The 16th byte stored belongs
// to the next pixel, which the next step or the rest loop writes again.
__attribute__((target("ssse3"))) int RowToRgbSsse3(const uint8_t* row, int width, uint8_t* out) {
  const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
  int x = 0;
  // Loads and stores of 16 bytes need a sixth pixel behind the five.
  for (; x + 6 <= width; x += 5, row += 15, out += 15)
    _mm_storeu_si128(
        reinterpret_cast<__m128i*>(out),
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row)), order));
  return x;
}

// Sixteen pixels (48 bytes in three registers) at a time: for each channel, three shuffles
// pick its bytes out of the three registers and are joined.
struct SplitMasks {
  alignas(16) int8_t m[3][3][16];  // [channel][register][byte]
  constexpr SplitMasks() : m{} {
    for (int c = 0; c < 3; ++c)
      for (int r = 0; r < 3; ++r)
        for (int i = 0; i < 16; ++i) {
          const int from = 3 * i + c;
          m[c][r][i] = int8_t(from / 16 == r ? from % 16 : -128);
        }
  }
};
constexpr SplitMasks kSplit;

__attribute__((target("ssse3"))) int RowToChannelsSsse3(const uint8_t* row, int width,
                                                        uint8_t* const out[3]) {
  auto mask = [](int c, int r) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(kSplit.m[c][r]));
  };
  int x = 0;
  for (; x + 16 <= width; x += 16, row += 48) {
    const __m128i p0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row));
    const __m128i p1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 16));
    const __m128i p2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 32));
    for (int c = 0; c < 3; ++c) {
      const __m128i v = _mm_or_si128(
          _mm_or_si128(_mm_shuffle_epi8(p0, mask(c, 0)), _mm_shuffle_epi8(p1, mask(c, 1))),
          _mm_shuffle_epi8(p2, mask(c, 2)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out[c] + x), v);
    }
  }
  return x;
}
#endif

}  // namespace

void RowToChannels(const uint8_t* row, int width, uint8_t* red, uint8_t* green, uint8_t* blue) {
  int x = 0;
#if defined(__x86_64__) || defined(__i386__)
  static const bool haveSsse3 = __builtin_cpu_supports("ssse3");
  uint8_t* const out[3] = {blue, green, red};
  if (haveSsse3) x = RowToChannelsSsse3(row, width, out);
#endif
  for (row += 3 * x; x < width; ++x, row += 3) {
    blue[x] = row[0];
    green[x] = row[1];
    red[x] = row[2];
  }
}

void RowToRgb(const uint8_t* row, int width, uint8_t* out) {
  int x = 0;
#if defined(__x86_64__) || defined(__i386__)
  static const bool haveSsse3 = __builtin_cpu_supports("ssse3");
  if (haveSsse3) x = RowToRgbSsse3(row, width, out);
#endif
  for (row += 3 * x, out += 3 * x; x < width; ++x, row += 3, out += 3) {
    out[0] = row[2];
    out[1] = row[1];
    out[2] = row[0];
  }
}

bool WriteFaxData(TLxBitmap& bitmap, TLxFaxKind kind, ProgressRecord& progress,
                  const std::function<void(const uint8_t*, size_t)>& sink) {
  // The encoder takes 1 as black and the rows hold 1 as white; the pages declare /BlackIs1
  // true, so the two inversions cancel and the rows go in as they are.
  const int w = bitmap.Width(), h = bitmap.Height();
  TLxCcittEncoder encoder(
      kind == TLxFaxKind::Group4 ? TLxCcittScheme::Group4 : TLxCcittScheme::Group3TwoD,
      uint32_t(w));
  std::vector<uint8_t> out;
  uint64_t total = 0;
  auto hand = [&] {
    total += out.size();
    sink(out.data(), out.size());
    out.clear();
  };
  const size_t rowBytes = size_t(w + 7) / 8;
  progress.BeginRows(h);
  for (int y = 0; y < h; ++y) {
    if (progress.Aborting()) return false;
    encoder.EncodeRow(std::span<const uint8_t>(bitmap.ScanLine(y), rowBytes), out);
    if (out.size() >= (1u << 16)) hand();
    progress.RowDone();
  }
  encoder.EndStrip(out);
  out.resize(out.size() + size_t((4 - (total + out.size()) % 4) % 4), 0);
  hand();
  return !progress.Aborting();
}

TTiffLzwEncoderHook LzwEncoder(const TIOParamsVals& params) {
  return params.TiffLzwEncoderHook ? params.TiffLzwEncoderHook : DefaultTiffLzwEncoderHook;
}

bool WriteLzwData(TLxBitmap& bitmap, TTiffLzwEncoderHook hook, TStream& sink,
                  ProgressRecord& progress) {
  if (!hook) {
    progress.Fail(TLxFailure::NoWriter, "no LZW encoder installed");
    return false;
  }
  const int w = bitmap.Width(), h = bitmap.Height();
  const bool colour = bitmap.PixelFormat() == lx24RGB;
  const size_t rowBytes = colour ? size_t(w) * 3 : size_t(w + 7) / 8;
  std::vector<uint8_t> rgb(colour ? rowBytes + 16 : 0);
  std::unique_ptr<TLxLzwHookState> state;
  bool ok = true;
  progress.BeginRows(h);
  for (int y = 0; y < h && ok; ++y) {
    if (progress.Aborting()) return false;
    const uint8_t* row = bitmap.ScanLine(y);
    if (colour) {
      RowToRgb(row, w, rgb.data());
      row = rgb.data();
    }
    ok = hook(std::span<const uint8_t>(row, rowBytes), sink, state);
    progress.RowDone();
  }
  if (ok) ok = hook({}, sink, state);
  if (!ok) {
    progress.Fail(TLxFailure::WriteFailed, "LZW encoder failed");
    return false;
  }
  return !progress.Aborting();
}

int64_t TLxWriteBufferStream::Write(const void* buffer, int64_t count) {
  out_.Write(buffer, size_t(count));
  return out_.ok() ? count : 0;
}

std::tm LocalNow() {
  std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  return t;
}

}  // namespace lumenax
