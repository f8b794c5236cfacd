#include "process/lumenax_proc.h"

#include <cstdlib>
#include <limits>

namespace lumenax {

TLumenaxProc::TLumenaxProc() : own_(std::make_unique<TLxBitmap>()), bitmap_(own_.get()) {}

TLumenaxProc::TLumenaxProc(TLxBitmap& bitmap) : bitmap_(&bitmap) {}

void TLumenaxProc::AttachBitmap(TLxBitmap* bitmap) {
  if (bitmap) {
    bitmap_ = bitmap;
    return;
  }
  if (!own_) own_ = std::make_unique<TLxBitmap>();
  bitmap_ = own_.get();
}

ProgressRecord TLumenaxProc::MakeProgress() {
  ProgressRecord progress;
  progress.OnProgressCode = [](void* data, void*, int percent) {
    auto* self = static_cast<TLumenaxProc*>(data);
    if (self->OnProgress) self->OnProgress(*self, percent);
  };
  progress.OnProgressData = this;
  progress.Sender = this;
  progress.AbortingPtr = &Aborting;
  progress.ReasonPtr = &FailureReason;
  return progress;
}

bool TLumenaxProc::Resample(int width, int height, TResampleFilter filter) {
  Aborting = false;
  FailureReason.Clear();
  ProgressRecord progress = MakeProgress();
  TLxBitmap& bitmap = *bitmap_;
  if (bitmap.IsEmpty() || (width < 0 && height < 0)) return true;

  // Sizes in 64 bits: the aspect-ratio products of large images pass 32 bits.
  const int64_t oldW = bitmap.Width(), oldH = bitmap.Height();
  int64_t w, h;
  if (width == -1)
    w = (height == 0 ? oldH : int64_t(height)) * oldW / oldH;
  else if (width == 0)
    w = oldW;
  else
    w = std::llabs(int64_t(width));
  w = std::max<int64_t>(w, 1);
  if (height == -1)
    h = w * oldH / oldW;
  else if (height == 0)
    h = oldH;
  else
    h = std::llabs(int64_t(height));
  h = std::max<int64_t>(h, 1);

  const PixelFormat pf = ResampledPixelFormat(bitmap.PixelFormat(), filter);
  if (pf == lxNone) {
    progress.Fail(TLxFailure::Unsupported, "unsupported");
    return false;
  }
  constexpr int64_t kMaxSide = std::numeric_limits<int32_t>::max();
  if (w > kMaxSide || h > kMaxSide || ComputeRowLen(w, BitCountOf(pf), 32) < 0) {
    progress.Fail(TLxFailure::TooLarge, "too large");
    return false;
  }
  TLxBitmap target;
  target.FileThreshold = bitmap.FileThreshold;
  target.MemoryAllocator = bitmap.MemoryAllocator;
  if (!target.Allocate(int(w), int(h), pf)) {
    progress.Fail(TLxFailure::OutOfMemory, "out of memory");
    return false;
  }
  if (!ResampleBitmap(bitmap, target, filter, progress)) return false;

  if (AutoUndo && OnSaveUndo)
    OnSaveUndo(*this, "Resample " + std::to_string(width) + "," + std::to_string(height));
  if (bitmap.Location() == lxTBitmap)
    bitmap.Assign(target);  // the platform bitmap stays bound
  else
    target.MoveImageTo(bitmap);
  return true;
}

}  // namespace lumenax
