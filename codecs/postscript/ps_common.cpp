// Layout check and the whole-image encoders of the PostScript and PDF writers.
#include "codecs/postscript/ps_common.h"

#include <exception>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
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

std::vector<uint8_t> EncodeFax(TLxBitmap&, TLxFaxKind, ProgressRecord& progress) {
  progress.Fail(TLxFailure::NoWriter, "no CCITT encoder");
  return {};
}

std::vector<uint8_t> EncodeLzw(TLxBitmap&, const TIOParamsVals&, ProgressRecord& progress) {
  progress.Fail(TLxFailure::NoWriter, "no LZW encoder");
  return {};
}

std::tm LocalNow() {
  std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  return t;
}

}  // namespace lumenax
