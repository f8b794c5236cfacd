// What the I/O component needs of an image viewer or a picture control it is attached to.
// The display components implement these; tests use small doubles.
//
// A viewer lives on its own (user-interface) thread. The component touches it directly only
// from that thread; from its background threads it hands calls to QueueOnViewerThread, which
// the viewer runs later on its own thread (repaint, progress, end of work).
#pragma once

#include <filesystem>
#include <functional>

#include "bitmap/layer.h"
#include "bitmap/types.h"
#include "io/file_types.h"

namespace lumenax {

class TLxBitmap;
class TBitmap;
class TStream;

enum class TLxViewerChange {
  BitmapReplaced,  // the viewer's bitmap or platform bitmap is another one now
  Destroying,      // the viewer is being destroyed; forget it
};

class TLxViewer {
 public:
  virtual ~TLxViewer() = default;

  // The viewer's bitmap; nullptr when it keeps its image only in a platform bitmap.
  virtual TLxBitmap* ViewerBitmap() = 0;
  virtual TBitmap* ViewerPlatformBitmap() = 0;

  virtual TColor Background() const = 0;
  virtual void SetBackground(TColor colour) = 0;

  virtual int32_t DpiX() const = 0;
  virtual int32_t DpiY() const = 0;
  virtual void SetDpiX(int32_t dpi) = 0;
  virtual void SetDpiY(int32_t dpi) = 0;

  // Redraw the image now.
  virtual void Repaint() = 0;
  // Tell the viewer's listeners that the image changed.
  virtual void ImageChanged() = 0;

  // Runs call later on the viewer's thread; false when the viewer has no window to receive
  // it (the call is then dropped).
  virtual bool QueueOnViewerThread(std::function<void()> call) = 0;

  // The callback receives BitmapReplaced and, once, Destroying. Returns a handle (>= 0).
  virtual int RegisterChangeCallback(std::function<void(TLxViewerChange)> callback) = 0;
  virtual void UnregisterChangeCallback(int handle) = 0;

  // The viewer's own file formats (vector objects, layers): loads the file and returns true,
  // or false when this viewer cannot.
  virtual bool LoadViewerFile(const std::filesystem::path&, FileType) { return false; }
  virtual bool LoadViewerStream(TStream&, FileType) { return false; }

  // Layers (bottom first). A viewer without layers keeps the defaults: no list, and layers
  // handed to it are dropped.
  virtual const TLxLayerList* ViewerLayers() { return nullptr; }
  // Takes layers read from a file: they replace the viewer's layers, or are added on top.
  virtual void TakeLayers(TLxLayerList layers, bool replace) {
    (void)layers;
    (void)replace;
  }
  // Draws the visible layers into target as the viewer shows them; the default draws them
  // at their bitmap sizes on a canvas of the viewer's bitmap size (FlattenLayers).
  virtual bool FlattenViewerLayers(TLxBitmap& target);
};

// A platform picture control whose picture the component loads into and saves from.
class TLxPictureControl {
 public:
  virtual ~TLxPictureControl() = default;
  virtual TBitmap* PictureBitmap() = 0;
  // The picture was changed behind the control's back: redraw it.
  virtual void PictureModified() = 0;
  // The callback runs once when the control is being destroyed. Returns a handle (>= 0).
  virtual int RegisterDestroyCallback(std::function<void()> callback) = 0;
  virtual void UnregisterDestroyCallback(int handle) = 0;
};

}  // namespace lumenax
