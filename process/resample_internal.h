// Pieces shared by the resampling algorithms: rows read as 8- or 16-bit samples, rows written
// to the target, progress that reports each whole percentage once.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "process/resample.h"

namespace lumenax::resample_detail {

// Progress of one algorithm: each whole percentage is reported once; Step returns false once
// the record says Aborting.
class Progress {
 public:
  explicit Progress(ProgressRecord& record) : record_(record) {}
  bool Step(int percent) {
    if (percent != last_) {
      last_ = percent;
      record_.Report(percent);
    }
    return !record_.Aborting();
  }
  bool Aborting() const { return record_.Aborting(); }

 private:
  ProgressRecord& record_;
  int last_ = -1;
};

// Rows of a source as 8-bit samples, Channels per pixel (1 or 3). The address returned stays
// valid until the next call.
class RowSource8 {
 public:
  virtual ~RowSource8() = default;
  virtual const uint8_t* Row(int y) = 0;
  int Width = 0, Height = 0, Channels = 0;
};

// lx24RGB or lx8g rows as they are stored; with an alpha plane (lx8g) an lx24RGB pixel whose
// alpha is 0 is read as gray (128, 128, 128). lx1g rows are read as 0 and 255.
class BitmapRows8 final : public RowSource8 {
 public:
  BitmapRows8(TLxBitmap& bitmap, TLxBitmap* grayUnder);
  const uint8_t* Row(int y) override;

 private:
  TLxBitmap& bitmap_;
  TLxBitmap* alpha_;
  std::vector<uint8_t> row_;
};

// Where the rows of a result go: 8-bit samples with the algorithm's channel count, written
// to the target's layout (copied, gray widened to lx24RGB, or thresholded to lx1g bits).
class RowSink8 {
 public:
  explicit RowSink8(TLxBitmap& target, int channels);
  // The buffer for row y (Width * channels bytes, plus slack); Put writes it to the target.
  uint8_t* Buffer() { return buffer_.data(); }
  void Put(int y);
  int Width() const { return width_; }
  int Height() const { return height_; }

 private:
  TLxBitmap& target_;
  int channels_;
  int width_, height_;
  std::vector<uint8_t> buffer_;
};

// Sets the row access of a bitmap for the time of one pass and puts it back.
class RowAccessScope {
 public:
  RowAccessScope(TLxBitmap& bitmap, TLxRowAccess access) : bitmap_(bitmap), old_(bitmap.RowAccess) {
    bitmap.RowAccess = access;
  }
  ~RowAccessScope() { bitmap_.RowAccess = old_; }
  RowAccessScope(const RowAccessScope&) = delete;
  RowAccessScope& operator=(const RowAccessScope&) = delete;

 private:
  TLxBitmap& bitmap_;
  TLxRowAccess old_;
};

// The algorithms. Each returns false when it could not run (memory) or was cancelled; the
// reason is recorded by the caller.
enum class Outcome { Done, OutOfMemory, Cancelled };

Outcome NearestCopy(TLxBitmap& source, TLxBitmap* grayUnder, TLxBitmap& target, Progress& progress);
Outcome KernelResample(RowSource8& source, RowSink8& sink, TResampleFilter filter,
                       Progress& progress);
Outcome FastLinear(RowSource8& source, RowSink8& sink, Progress& progress);
// whiteWins: rfProjectWB. The sink receives 0 and 255.
Outcome Project(RowSource8& source, RowSink8& sink, bool whiteWins, Progress& progress);
Outcome AreaResample8(RowSource8& source, RowSink8& sink, bool cubic, Progress& progress);
// lx16g or lxRGB48 into the same layout.
Outcome AreaResample16(TLxBitmap& source, TLxBitmap& target, bool cubic, Progress& progress);

// The kernels of filters 1 to 8 and their supports.
double KernelValue(TResampleFilter filter, double x);
double KernelSupport(TResampleFilter filter);

// Test hook: false runs the portable loops instead of the vector instructions.
extern bool g_useVectorCode;

}  // namespace lumenax::resample_detail
