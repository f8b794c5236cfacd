// libFuzzer target of the Photoshop reader, with layers read. Small images that load are
// written back (with their layers) and must load again at the same size.
#include <cstddef>
#include <cstdint>

#include "bitmap/bitmap.h"
#include "bitmap/layer.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/psd/psd.h"
#include "io/params.h"

using namespace lumenax;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TLxMemStream stream(data, int64_t(size));
  TLxBitmap bitmap;
  TIOParamsVals params;
  params.IsNativePixelFormat = size > 0 && (data[size - 1] & 1);
  TLxLayerList layers;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  progress.MaxPixels = 1 << 20;
  const bool loadLayers = size == 0 || !(data[size - 1] & 2);
  ReadPsdStream(stream, bitmap, params, &layers, loadLayers, progress);
  if (!loadLayers) layers.clear();
  if (aborting) return 0;
  int64_t pixels = bitmap.IsEmpty() ? 0 : int64_t(bitmap.Width()) * bitmap.Height();
  bool fits = bitmap.Width() <= kPsdMaxSide && bitmap.Height() <= kPsdMaxSide;
  for (auto& l : layers) {
    pixels += int64_t(l->Bitmap->Width()) * l->Bitmap->Height();
    fits = fits && l->Bitmap->Width() <= kPsdMaxSide && l->Bitmap->Height() <= kPsdMaxSide;
  }
  if (pixels == 0 || pixels > 65536 || !fits) return 0;
  TMemoryStream out;
  bool failed = false;
  ProgressRecord wp;
  wp.AbortingPtr = &failed;
  WritePsdStream(out, params, wp, layers.empty() ? nullptr : &layers,
                 bitmap.IsEmpty() ? nullptr : &bitmap);
  if (failed) __builtin_trap();
  out.Seek(0, soBeginning);
  TLxBitmap again;
  TIOParamsVals p2;
  p2.IsNativePixelFormat = true;
  ReadPsdStream(out, again, p2, nullptr, false, wp);
  if (failed || again.IsEmpty()) __builtin_trap();
  if (!bitmap.IsEmpty() && (again.Width() != bitmap.Width() || again.Height() != bitmap.Height()))
    __builtin_trap();
  return 0;
}
