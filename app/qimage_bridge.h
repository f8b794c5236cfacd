// The window system's images and the library's platform bitmaps: a TBitmap (any depth) to a
// QImage and back, so that windows can show library images and tests can read what a window
// drew.
#pragma once

#include <QImage>

#include "bitmap/tbitmap.h"

namespace veltrano {

// 1-bit and 4/8-bit bitmaps become indexed images with their colour table, 15/16/24-bit ones
// RGB888, 32-bit (and device) ones RGB32.
QImage ToQImage(const lumenax::TBitmap& bitmap);
// Indexed images become 8-bit bitmaps with their colour table (1-bit ones 1-bit), images with
// an alpha channel 32-bit ones (straight alpha in the fourth byte), every other image 24 bits.
lumenax::TBitmap FromQImage(const QImage& image);

}  // namespace veltrano
