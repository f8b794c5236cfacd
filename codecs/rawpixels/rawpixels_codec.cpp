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
#include "codecs/common/stream_buffer.h"
#include "io/params.h"

namespace lumenax {

namespace {

// Bytes of one stored row of width samples of bits each, padded to align bits.
int64_t StoredRowLength(int64_t width, int bits, int32_t align) {
  return (width * bits + align - 1) / align * (align / 8);
}

// Interleaved rows straight into the bitmap's rows.
bool ReadInterleaved(TLxReadArgs& a, int64_t stored) {
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
    a.Progress.RowDone();
    if (a.Progress.Aborting()) return false;
  }
  return true;
}

// Planes of samples (1 or 2 bytes each) scattered into the channels of the bitmap's pixels.
bool ReadPlanes(TLxReadArgs& a, int planes, int sampleBytes, int32_t align) {
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
      uint8_t* out = b.ScanLine(y) + plane * sampleBytes;
      for (int32_t x = 0; x < b.Width(); ++x)
        std::memcpy(out + size_t(x) * pixelBytes, row.data() + size_t(x) * sampleBytes,
                    size_t(sampleBytes));
      if (a.Progress.Aborting()) return false;
    }
  }
  return true;
}

// Red-first data become the bitmap's blue-first order: swap samples 0 and 2 of each pixel.
void SwapRedBlue(TLxBitmap& b, int sampleBytes) {
  const int pixelBytes = 3 * sampleBytes;
  for (int32_t y = 0; y < b.Height(); ++y) {
    uint8_t* p = b.ScanLine(y);
    for (int32_t x = 0; x < b.Width(); ++x, p += pixelBytes) {
      for (int i = 0; i < sampleBytes; ++i) std::swap(p[i], p[2 * sampleBytes + i]);
    }
  }
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
  bool ok;
  if (!planar) {
    ok = ReadInterleaved(a, StoredRowLength(b.Width(), BitCountOf(pf), p.RawPixelsRowAlign));
  } else if (pf == lx24RGB) {
    ok = ReadPlanes(a, 3, 1, p.RawPixelsRowAlign);
  } else if (pf == lxRGB48) {
    ok = ReadPlanes(a, 3, 2, p.RawPixelsRowAlign);
  } else if (pf == lxCMYK) {
    ok = ReadPlanes(a, 4, 1, p.RawPixelsRowAlign);
  } else {
    return a.Progress.Fail(TLxFailure::Unsupported, "planar data for this layout");
  }
  if (!ok) return;
  a.Progress.Report(100);
  if (!p.RawPixelsBitmapOrder && pf == lx24RGB) SwapRedBlue(b, 1);
  if (!p.RawPixelsBitmapOrder && pf == lxRGB48) SwapRedBlue(b, 2);
}

}  // namespace

extern const TLxCodecDescriptor kRawPixelsCodec{
    .Type = ftRawPixels,
    .Registered = false,
    .Read = ReadRawPixels,
};

}  // namespace lumenax
