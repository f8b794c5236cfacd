#include "codecs/bmp/tests/bmp_test_util.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace lumenax::test {

std::vector<uint8_t> MakeBmp(const BmpSpec& s) {
  Bytes info;
  info.u32(s.headerSize)
      .u32(uint32_t(s.width))
      .u32(uint32_t(s.height))
      .u16(1)
      .u16(uint32_t(s.bits));
  info.u32(s.compression).u32(s.imageSize).u32(uint32_t(s.ppm)).u32(uint32_t(s.ppm));
  info.u32(s.colorsUsed).u32(0);
  Bytes extra;
  if (s.headerSize >= 52) {
    for (size_t i = 0; i < s.masks.size() && info.size() < s.headerSize; ++i) info.u32(s.masks[i]);
  } else {
    for (uint32_t m : s.masks) extra.u32(m);
  }
  info.v.resize(s.headerSize, 0);
  for (uint32_t c : s.palette) extra.u32(c);
  uint32_t offset = uint32_t(14 + info.size() + extra.size());
  uint32_t total = uint32_t(offset + s.pixels.size());
  Bytes f;
  f.u8('B').u8('M').u32(total).u32(0).u32(s.zeroOffset ? 0 : offset);
  f.raw(info.v).raw(extra.v).raw(s.pixels);
  return f.v;
}

namespace {
struct ProgressLog {
  std::vector<int>* calls;
  bool* aborting;
  int abortAt;
};
void LogProgress(void* data, void*, int percent) {
  auto* log = static_cast<ProgressLog*>(data);
  log->calls->push_back(percent);
  if (log->abortAt >= 0 && int(log->calls->size()) > log->abortAt) *log->aborting = true;
}
}  // namespace

LoadResult LoadBmp(const std::vector<uint8_t>& file, TLxBitmap& bitmap, TIOParamsVals& params,
                   bool keepAlpha, bool infoOnly, int abortAtCall, uint64_t maxPixels) {
  LoadResult r;
  TLxMemStream stream(file.data(), int64_t(file.size()));
  ProgressLog log{&r.progress, &r.aborting, abortAtCall};
  ProgressRecord progress;
  progress.OnProgressCode = LogProgress;
  progress.OnProgressData = &log;
  progress.AbortingPtr = &r.aborting;
  progress.ReasonPtr = &r.reason;
  progress.MaxPixels = maxPixels;
  std::unique_ptr<TLxMask> mask;
  bitmap.RemoveAlphaChannel(false, clWhite);
  ReadBMPStream(stream, bitmap, 0, !keepAlpha, mask, false, infoOnly, progress, params);
  if (mask && !infoOnly) bitmap.AlphaChannel()->CopyFromMask(mask.get());
  if (abortAtCall < 0) {
    EXPECT_EQ(r.aborting, bool(r.reason)) << r.reason.Text();
  }
  return r;
}

LoadResult LoadBmpFile(const std::filesystem::path& p, TLxBitmap& bitmap, TIOParamsVals& params,
                       bool keepAlpha) {
  return LoadBmp(ReadFileBytes(p), bitmap, params, keepAlpha);
}

SaveResult SaveBmp(TLxBitmap& bitmap, TIOParamsVals& params, bool keepAlpha) {
  SaveResult r;
  TMemoryStream stream;
  ProgressLog log{&r.progress, &r.aborting, -1};
  ProgressRecord progress;
  progress.OnProgressCode = LogProgress;
  progress.OnProgressData = &log;
  progress.AbortingPtr = &r.aborting;
  progress.ReasonPtr = &r.reason;
  WriteBMPStream(stream, bitmap, params, keepAlpha, progress);
  EXPECT_EQ(r.aborting, bool(r.reason)) << r.reason.Text();
  r.bytes = stream.Bytes();
  return r;
}

uint32_t Rgb(TLxBitmap& b, int x, int y) {
  TRGB c = b.PixelAsRGB(x, y);
  return uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b;
}

}  // namespace lumenax::test
