// Wireless bitmaps: type 0, one bit per pixel, set bits white, rows padded to whole bytes.
//
// Every byte is hostile: header integers longer than four bytes are refused, the image must
// be one the stream could hold before anything is allocated, and rows the data do not reach
// stay zero while the load fails as "truncated".
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "codecs/common/image_size.h"
#include "codecs/common/stream_buffer.h"
#include "codecs/wbmp/wbmp.h"
#include "io/params.h"
#include "process/resample.h"

namespace lumenax {
namespace {

constexpr int kMaxSide = 255;

// A multi-byte integer: 7 bits per byte, most significant group first, bit 7 set while more
// follow; at most four bytes. False when the data end or a fourth byte still asks for more.
bool ReadMultiByte(TLxReadBuffer& in, uint32_t& value, bool& truncated) {
  value = 0;
  for (int i = 0; i < 4; ++i) {
    int b = in.Get();
    if (b < 0) {
      truncated = true;
      return false;
    }
    value = value << 7 | uint32_t(b & 0x7F);
    if (!(b & 0x80)) return true;
  }
  return false;
}

void PutMultiByte(uint32_t v, TLxWriteBuffer& out) {
  if (v >= 128) out.Put(uint8_t(0x80 | (v >> 7)));
  out.Put(uint8_t(v & 0x7F));
}

void ReadWbmp(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool infoOnly,
              ProgressRecord& progress) {
  TLxReadBuffer in(stream);
  uint32_t field[4];
  static const char* const kNames[4] = {"bad type field", "bad fixed header", "bad width",
                                        "bad height"};
  for (int i = 0; i < 4; ++i) {
    bool truncated = false;
    if (!ReadMultiByte(in, field[i], truncated)) {
      if (truncated)
        progress.Fail(TLxFailure::Truncated, in.Position(), "truncated header");
      else
        progress.Fail(TLxFailure::BadHeader, in.Position(), kNames[i]);
      return;
    }
  }
  if (field[0] != 0) {
    progress.Fail(TLxFailure::Unsupported, 0, "WBMP type other than 0");
    return;
  }
  if (field[1] != 0) {
    progress.Fail(TLxFailure::Unsupported, 1, "extension headers");
    return;
  }
  if (field[2] == 0 || field[3] == 0) {
    progress.Fail(TLxFailure::BadHeader, in.Position(), "empty image");
    return;
  }
  const int64_t w = field[2], h = field[3];
  params.BitsPerSample = 1;
  params.SamplesPerPixel = 1;
  params.Width = int32_t(w);
  params.Height = int32_t(h);
  params.SetDpiX(DefaultDPI);
  params.SetDpiY(DefaultDPI);
  params.FreeColorMap();
  if (infoOnly) return;

  const int64_t rowBytes = (w + 7) / 8;
  if (CheckImageSize(w, h, lx1g, uint64_t(rowBytes) * uint64_t(h), stream.Size() - in.Position()) !=
      TLxFailure::None) {
    progress.Fail(TLxFailure::TooLarge, in.Position(), "image larger than its data");
    return;
  }
  bitmap.ReallocPending = true;
  if (!bitmap.Allocate(int(w), int(h), lx1g)) {
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the image");
    return;
  }
  progress.Per1 = 100.0 / double(h);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = bitmap.ScanLine(y);
    const size_t got = in.Read(row, size_t(rowBytes));
    if (got < size_t(rowBytes)) {
      std::memset(row + got, 0, size_t(rowBytes) - got);
      progress.Fail(TLxFailure::Truncated, in.Position(), "truncated pixel data");
      return;
    }
    progress.Report(int(y * progress.Per1));
    if (progress.Aborting()) return;
  }
  in.Release();
}

void WriteWbmp(TStream& stream, TLxBitmap& bitmap, ProgressRecord& progress) {
  if (bitmap.IsEmpty()) {
    progress.Fail(TLxFailure::NoImage, "no image to write");
    return;
  }
  // The caller's bitmap is never changed: conversions and reductions work on copies.
  std::unique_ptr<TLxBitmap> copy;
  TLxBitmap* bm = &bitmap;
  if (bitmap.PixelFormat() != lx1g) {
    copy = std::make_unique<TLxBitmap>();
    copy->Assign(bitmap);
    copy->SetPixelFormat(lx1g);
    if (copy->PixelFormat() != lx1g) {
      progress.Fail(TLxFailure::Unsupported, "layout cannot be made bilevel");
      return;
    }
    bm = copy.get();
  }
  int w = bm->Width(), h = bm->Height();
  if (w > kMaxSide || h > kMaxSide) {
    int nw, nh;
    if (w > h)
      nw = kMaxSide, nh = int(int64_t(h) * kMaxSide / w);
    else
      nw = int(int64_t(w) * kMaxSide / h), nh = kMaxSide;
    nw = std::max(nw, 1), nh = std::max(nh, 1);
    auto small = std::make_unique<TLxBitmap>(nw, nh, lx1g);
    ProgressRecord quiet;
    bool failed = false;
    quiet.AbortingPtr = &failed;
    quiet.ReasonPtr = progress.ReasonPtr;
    if (!ResampleBitmap(*bm, *small, rfNone, quiet) || small->PixelFormat() != lx1g) {
      progress.Fail(TLxFailure::Unsupported, "cannot reduce the image");
      return;
    }
    copy = std::move(small);
    bm = copy.get();
    w = nw, h = nh;
  }

  TLxWriteBuffer out(stream, progress);
  out.Put(0);
  out.Put(0);
  PutMultiByte(uint32_t(w), out);
  PutMultiByte(uint32_t(h), out);
  const size_t rowBytes = size_t(w + 7) / 8;
  progress.Per1 = 100.0 / double(h);
  for (int y = 0; y < h && out.ok(); ++y) {
    out.Write(bm->ScanLine(y), rowBytes);
    progress.Report(int(y * progress.Per1));
    if (progress.Aborting()) return;
  }
  out.Flush();
}

}  // namespace

void ReadWbmpStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool infoOnly,
                    ProgressRecord& progress) {
  try {
    ReadWbmp(stream, bitmap, params, infoOnly, progress);
  } catch (const std::bad_alloc&) {
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the image");
  }
}

void WriteWbmpStream(TStream& stream, TLxBitmap& bitmap, ProgressRecord& progress) {
  try {
    WriteWbmp(stream, bitmap, progress);
  } catch (const std::bad_alloc&) {
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the copy");
  }
}

}  // namespace lumenax
