// Layout check and the whole-image encoders of the PostScript and PDF writers.
#include "codecs/postscript/ps_common.h"

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

std::vector<uint8_t> EncodeJpeg(TLxBitmap& bitmap, const TIOParamsVals& params,
                                TLxJpegColorSpace space, ProgressRecord& progress) {
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
  TMemoryStream jpeg;
  try {
    WriteJpegStream(jpeg, bitmap, temp, progress);
  } catch (const ELxJpegException& e) {
    progress.Fail(TLxFailure::BadData, e.what());
  }
  if (progress.Aborting()) return {};
  return std::move(jpeg.Bytes());
}

void RowToRgb(const uint8_t* row, int width, uint8_t* out) {
  for (int x = 0; x < width; ++x, row += 3, out += 3) {
    out[0] = row[2];
    out[1] = row[1];
    out[2] = row[0];
  }
}

std::vector<uint8_t> EncodeFax(TLxBitmap& bitmap, TLxFaxKind kind, ProgressRecord& progress) {
  // The encoder takes 1 as black and the rows hold 1 as white; the pages declare /BlackIs1
  // true, so the two inversions cancel and the rows go in as they are.
  const int w = bitmap.Width(), h = bitmap.Height();
  TLxCcittEncoder encoder(
      kind == TLxFaxKind::Group4 ? TLxCcittScheme::Group4 : TLxCcittScheme::Group3TwoD,
      uint32_t(w));
  std::vector<uint8_t> out;
  const size_t rowBytes = size_t(w + 7) / 8;
  progress.BeginRows(h);
  for (int y = 0; y < h; ++y) {
    if (progress.Aborting()) return {};
    encoder.EncodeRow(std::span<const uint8_t>(bitmap.ScanLine(y), rowBytes), out);
    progress.RowDone();
  }
  encoder.EndStrip(out);
  out.resize((out.size() + 3) / 4 * 4, 0);
  return out;
}

std::vector<uint8_t> EncodeLzw(TLxBitmap& bitmap, const TIOParamsVals& params,
                               ProgressRecord& progress) {
  const TTiffLzwEncoderHook hook =
      params.TiffLzwEncoderHook ? params.TiffLzwEncoderHook : DefaultTiffLzwEncoderHook;
  if (!hook) {
    progress.Fail(TLxFailure::NoWriter, "no LZW encoder installed");
    return {};
  }
  const int w = bitmap.Width(), h = bitmap.Height();
  const bool colour = bitmap.PixelFormat() == lx24RGB;
  const size_t rowBytes = colour ? size_t(w) * 3 : size_t(w + 7) / 8;
  std::vector<uint8_t> rgb(colour ? rowBytes : 0);
  TMemoryStream lzw;
  std::unique_ptr<TLxLzwHookState> state;
  bool ok = true;
  progress.BeginRows(h);
  for (int y = 0; y < h && ok; ++y) {
    if (progress.Aborting()) return {};
    const uint8_t* row = bitmap.ScanLine(y);
    if (colour) {
      RowToRgb(row, w, rgb.data());
      row = rgb.data();
    }
    ok = hook(std::span<const uint8_t>(row, rowBytes), lzw, state);
    progress.RowDone();
  }
  if (ok) ok = hook({}, lzw, state);
  if (!ok) {
    progress.Fail(TLxFailure::WriteFailed, "LZW encoder failed");
    return {};
  }
  return std::move(lzw.Bytes());
}

std::tm LocalNow() {
  std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  return t;
}

}  // namespace lumenax
