// TLxLayer: one layer of a layered image, as the Photoshop codec reads and writes it and as an
// image viewer shows it. A layer is a bitmap placed at (PosX, PosY) on the canvas, drawn with
// an opacity; a mask record carries the user mask of the layer just before it in the list
// instead of an image of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bitmap/bitmap.h"

namespace lumenax {

struct TLxLayer {
  // Top-left corner on the canvas (may be negative or beyond it).
  int32_t PosX = 0;
  int32_t PosY = 0;
  // 0 transparent .. 255 opaque.
  uint8_t Opacity = 255;
  // At most 1,023 characters (UTF-8 bytes).
  std::string Name;
  bool Visible = true;
  // Not clipped to the layer below.
  bool ClippingBase = true;
  // The user mask of the previous layer (an lx8g bitmap, 0 hidden, 255 shown).
  bool IsMask = false;
  // The pixels, with an alpha channel when the layer has transparency.
  std::unique_ptr<TLxBitmap> Bitmap = std::make_unique<TLxBitmap>();
  // The size the layer is shown at; 0 means the bitmap's own size.
  int32_t DisplayWidth = 0;
  int32_t DisplayHeight = 0;
  // The resampling filter (a TResampleFilter value) the layer is shown with; -1: none chosen.
  int8_t ResampleFilter = -1;

  int32_t ShownWidth() const { return DisplayWidth > 0 ? DisplayWidth : Bitmap->Width(); }
  int32_t ShownHeight() const { return DisplayHeight > 0 ? DisplayHeight : Bitmap->Height(); }
};

// Layers in drawing order: the first is the bottom one.
using TLxLayerList = std::vector<std::unique_ptr<TLxLayer>>;

// Draws the visible image layers (not mask records) of the list, bottom first, onto a new
// lx24RGB canvas of width x height filled with white and fully transparent, each through its
// alpha channel, its user mask and its opacity ("normal" blending), at its own bitmap size.
// The canvas gets an alpha channel holding the union of what was drawn. False when the
// canvas cannot be allocated.
bool FlattenLayers(const TLxLayerList& layers, int width, int height, TLxBitmap& target);

}  // namespace lumenax
