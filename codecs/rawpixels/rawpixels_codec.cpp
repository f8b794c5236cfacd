// Headerless pixels: read only when asked for by type, never detected, no registry row. The
// caller allocates the bitmap (size and layout); the reader fills it from the stream as the
// RawPixels fields of the record describe.
#include <algorithm>
#include <cstring>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/codec.h"
#include "codecs/common/pixel_rows.h"
#include "codecs/common/stream_buffer.h"
#include "io/params.h"

namespace lumenax {

namespace {

// Bytes of one stored row of width samples of bits each, padded to align bits.
int64_t StoredRowLength(int64_t width, int bits, int32_t align) {
  return (width * bits + align - 1) / align * (align / 8);
}

// Red-first pixels of one row become the bitmap's blue-first order: samples 0 and 2 of each
// pixel trade places. Done on each row as it arrives, while it is still in cache.
void SwapRedBlueRow(uint8_t* p, int32_t width, int sampleBytes) {
  if (sampleBytes == 1) {
    SwapRedBlue24(p, p, size_t(width));
    return;
  }
  for (int32_t x = 0; x < width; ++x, p += 6) {
    uint16_t r, b;
    std::memcpy(&r, p, 2);
    std::memcpy(&b, p + 4, 2);
    std::memcpy(p, &b, 2);
    std::memcpy(p + 4, &r, 2);
  }
}

// Interleaved rows straight into the bitmap's rows; swapBytes > 0 turns red-first pixels of
// that many bytes per sample blue-first.
bool ReadInterleaved(TLxReadArgs& a, int64_t stored, int swapBytes) {
  TLxBitmap& b = a.Bitmap;
  const int64_t take = std::min<int64_t>(stored, b.RowLen());
  std::vector<uint8_t> skip(static_cast<size_t>(stored - take));
  a.Progress.BeginRows(b.Height());
  for (int32_t y = 0; y < b.Height(); ++y) {
    if (ReadUpTo(a.Stream, b.ScanLine(y), take) != take ||
        ReadUpTo(a.Stream, skip.data(), int64_t(skip.size())) != int64_t(skip.size())) {
      a.Progress.Fail(TLxFailure::Truncated, a.Stream.Position(), "truncated pixel data");
      return false;
    }
    if (swapBytes > 0) SwapRedBlueRow(b.ScanLine(y), b.Width(), swapBytes);
    a.Progress.RowDone();
    if (a.Progress.Aborting()) return false;
  }
  return true;
}

// Planes of samples (1 or 2 bytes each) scattered into the channels of the bitmap's pixels;
// with redFirst the first and third planes go to the third and first channels.
bool ReadPlanes(TLxReadArgs& a, int planes, int sampleBytes, int32_t align, bool redFirst) {
  TLxBitmap& b = a.Bitmap;
  const int64_t stored = StoredRowLength(b.Width(), sampleBytes * 8, align);
  std::vector<uint8_t> row(static_cast<size_t>(stored));
  const int pixelBytes = planes * sampleBytes;
  for (int plane = 0; plane < planes; ++plane) {
    a.Progress.Report(plane * 100 / planes);
    for (int32_t y = 0; y < b.Height(); ++y) {
      if (ReadUpTo(a.Stream, row.data(), stored) != stored) {
        a.Progress.Fail(TLxFailure::Truncated, a.Stream.Position(), "truncated pixel data");
        return false;
      }
      const int channel = redFirst && plane < 3 ? 2 - plane : plane;
      uint8_t* out = b.ScanLine(y) + channel * sampleBytes;
      for (int32_t x = 0; x < b.Width(); ++x)
        std::memcpy(out + size_t(x) * pixelBytes, row.data() + size_t(x) * sampleBytes,
                    size_t(sampleBytes));
      if (a.Progress.Aborting()) return false;
    }
  }
  return true;
}

void ReadRawPixels(TLxReadArgs& a) {
  TLxBitmap& b = a.Bitmap;
  TIOParamsVals& p = a.Params;
  const PixelFormat pf = b.PixelFormat();
  if (b.Width() <= 0 || b.Height() <= 0 || pf == lxNone)
    return a.Progress.Fail(TLxFailure::NoImage, "raw pixels need an allocated bitmap");
  if (p.RawPixelsRowAlign <= 0 || p.RawPixelsRowAlign % 8 != 0)
    return a.Progress.Fail(TLxFailure::BadHeader, "row alignment must be a multiple of 8");
  if (p.RawPixelsHeaderSize < 0 || p.RawPixelsHeaderSize > a.Stream.Size() - a.Stream.Position())
    return a.Progress.Fail(TLxFailure::Truncated, "header larger than the data");
  p.Width = b.Width();
  p.Height = b.Height();
  p.BitsPerSample = pf == lx1g ? 1 : pf == lxRGB48 || pf == lx16g ? 16 : pf == lx32f ? 32 : 8;
  p.SamplesPerPixel = kChannelCountOf[pf];
  if (a.InfoOnly) return;
  a.Stream.Seek(p.RawPixelsHeaderSize, soCurrent);
  const bool planar =
      p.RawPixelsPlanar && pf != lx1g && pf != lx8p && pf != lx8g && pf != lx16g && pf != lx32f;
  // Red-first samples are turned blue-first as they are stored.
  const bool redFirst = !p.RawPixelsBitmapOrder && (pf == lx24RGB || pf == lxRGB48);
  bool ok;
  if (!planar) {
    ok = ReadInterleaved(a, StoredRowLength(b.Width(), BitCountOf(pf), p.RawPixelsRowAlign),
                         redFirst ? (pf == lxRGB48 ? 2 : 1) : 0);
  } else if (pf == lx24RGB) {
    ok = ReadPlanes(a, 3, 1, p.RawPixelsRowAlign, redFirst);
  } else if (pf == lxRGB48) {
    ok = ReadPlanes(a, 3, 2, p.RawPixelsRowAlign, redFirst);
  } else if (pf == lxCMYK) {
    ok = ReadPlanes(a, 4, 1, p.RawPixelsRowAlign, false);
  } else {
    return a.Progress.Fail(TLxFailure::Unsupported, "planar data for this layout");
  }
  if (!ok) return;
  a.Progress.Report(100);
}

}  // namespace

extern const TLxCodecDescriptor kRawPixelsCodec{
    .Type = ftRawPixels,
    .Registered = false,
    .Read = ReadRawPixels,
};

}  // namespace lumenax
