// A small bottom-up device-independent bitmap: the platform bitmap behind the lxTBitmap
// storage place. Rows are padded to 32 bits and stored bottom row first; ScanLine(0) is the
// top row. 1-, 4- and 8-bit bitmaps have a colour table of up to 256 entries.
#pragma once

#include <cstdint>
#include <vector>

#include "bitmap/types.h"

namespace lumenax {

enum TPixelFormatDIB : uint8_t {
  pfDevice,  // the display's own depth: 32 bits here
  pf1bit,
  pf4bit,
  pf8bit,
  pf15bit,
  pf16bit,
  pf24bit,
  pf32bit,
  pfCustom,
};

enum TBitmapHandleType : uint8_t { bmDIB, bmDDB };

struct TPaletteEntry {
  uint8_t peRed = 0, peGreen = 0, peBlue = 0, peFlags = 0;
};

class TBitmap {
 public:
  TBitmap() = default;
  TBitmap(const TBitmap& other) { Assign(other); }
  TBitmap& operator=(const TBitmap& other) {
    if (this != &other) Assign(other);
    return *this;
  }

  int Width() const { return width_; }
  int Height() const { return height_; }
  // Size changes keep the content at the top-left; new pixels are zero.
  void SetWidth(int w) { SetSize(w, height_); }
  void SetHeight(int h) { SetSize(width_, h); }
  void SetSize(int w, int h);

  TPixelFormatDIB PixelFormat() const { return format_; }
  // Changes the depth, converting pixels between 1/4/8 bits with colour tables and 15/16/
  // 24/32 bits; other pairs start from zeroed pixels.
  void SetPixelFormat(TPixelFormatDIB pf);
  int BitsPerPixel() const;
  int RowBytes() const;

  bool Monochrome() const { return format_ == pf1bit; }
  void SetMonochrome(bool mono);
  TBitmapHandleType HandleType() const { return handleType_; }
  void SetHandleType(TBitmapHandleType t) { handleType_ = t; }

  uint8_t* ScanLine(int row);
  const uint8_t* ScanLine(int row) const;

  // Colour table of 1/4/8-bit bitmaps (blue, green, red).
  int ColorTableSize() const { return int(colorTable_.size()); }
  TRGB GetColorTableEntry(int i) const;
  void SetColorTableEntry(int i, TRGB c);
  // The logical palette entries (red, green, blue, flags).
  void SetPaletteEntries(const TPaletteEntry* entries, int count);
  const std::vector<TPaletteEntry>& PaletteEntries() const { return palette_; }

  // Copies size, depth, colour table and pixels of another bitmap.
  void Assign(const TBitmap& other);
  // Draws another bitmap of the same depth at (x, y), clipped.
  void Draw(int x, int y, const TBitmap& other);

  bool Empty() const { return width_ <= 0 || height_ <= 0; }

 private:
  void Reallocate(int w, int h, TPixelFormatDIB pf, bool keep);
  int width_ = 0;
  int height_ = 0;
  TPixelFormatDIB format_ = pfDevice;
  TBitmapHandleType handleType_ = bmDIB;
  std::vector<uint8_t> pixels_;
  std::vector<TRGB> colorTable_;
  std::vector<TPaletteEntry> palette_;
};

}  // namespace lumenax
