// TLumenaxProc: the processing component. It works on a bitmap, its own or one it is given
// (the bitmap of a TLumenaxIO, say), and changes it in place.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "process/resample.h"

namespace lumenax {

class TLumenaxProc {
 public:
  using TProgressEvent = std::function<void(TLumenaxProc& sender, int percent)>;
  // Called before a command changes the bitmap, with the command's caption, while the bitmap
  // still holds the picture to go back to.
  using TSaveUndoEvent = std::function<void(TLumenaxProc& sender, const std::string& caption)>;

  // Works on a bitmap of its own.
  TLumenaxProc();
  // Works on bitmap, which the caller keeps alive.
  explicit TLumenaxProc(TLxBitmap& bitmap);
  TLumenaxProc(const TLumenaxProc&) = delete;
  TLumenaxProc& operator=(const TLumenaxProc&) = delete;

  TLxBitmap* Bitmap() const { return bitmap_; }
  // Works on bitmap from now on (nullptr: on its own bitmap again).
  void AttachBitmap(TLxBitmap* bitmap);

  // Replaces the bitmap by a resampled copy. width -1 keeps the aspect ratio (from the new
  // height; a height of 0 stands for the old height), 0 keeps the old width, other negative
  // values count as their absolute value; height likewise from the new width. Both negative,
  // or an empty bitmap: nothing happens (and true is returned). Returns false, with the
  // bitmap unchanged and the reason in FailureReason, when the filter has no algorithm for
  // the bitmap's layout, the size is beyond what a bitmap can hold, memory runs out or the
  // progress handler cancels.
  bool Resample(int width, int height, TResampleFilter filter);

  // ---- state of the last command
  bool Aborting = false;
  TLxFailureReason FailureReason;

  // ---- events and settings
  TProgressEvent OnProgress;
  // With AutoUndo set, every command that changes the bitmap calls OnSaveUndo first.
  bool AutoUndo = false;
  TSaveUndoEvent OnSaveUndo;

 private:
  ProgressRecord MakeProgress();
  std::unique_ptr<TLxBitmap> own_;
  TLxBitmap* bitmap_;
};

}  // namespace lumenax
