// TLxDibbitmap: a plain bottom-up block of 1- or 24-bit pixels, rows padded to 32 bits, the
// form in which pixels are handed to and taken from platform drawing. It has no palette
// (1-bit pixels are black and white) and no alpha channel.
#pragma once

#include <cstdint>

#include "bitmap/bitmap.h"
#include "bitmap/memory.h"

namespace lumenax {

class TLxDibbitmap : public TLxBaseBitmap {
 public:
  TLxDibbitmap() = default;
  ~TLxDibbitmap() override = default;

  // Only lx1g and lx24RGB with a non-zero size; false (and empty) otherwise or when the
  // memory cannot be had.
  bool Allocate(int width, int height, lumenax::PixelFormat pf) override;
  void FreeImage();
  // Row y from the top: rows are stored bottom row first.
  uint8_t* ScanLine(int row) override {
    return block_.get() + int64_t(rowLen_) * (height_ - 1 - row);
  }
  int BitCount() const override { return bitCount_; }
  int Width() const override { return width_; }
  int Height() const override { return height_; }
  lumenax::PixelFormat PixelFormat() const override;
  int RowLen() const override { return rowLen_; }
  TRGB GetPaletteEntry(int) const override { return TRGB{}; }
  void SetPaletteEntry(int, TRGB) override {}
  int PaletteCount() const override { return 0; }
  // Only from another TLxDibbitmap: allocated alike, every byte copied.
  void Assign(TLxBaseBitmap& source) override;
  // The pixel block, bottom row first.
  uint8_t* Bits() { return block_.get(); }

 private:
  int width_ = 0, height_ = 0, bitCount_ = 0, rowLen_ = 0;
  PixelMemory block_;
};

}  // namespace lumenax
