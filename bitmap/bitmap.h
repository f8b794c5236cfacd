// TLxBitmap: the home of every image the library loads, converts or saves.
//
// Rows are addressed by number, row 0 at the top, whatever the storage place:
//   lxInMemory  one zero-filled block aligned to 32 bytes, rows bottom-up;
//   lxTempFile  a self-deleting paging file, rows top-down, one row mapped at a time;
//   lxTBitmap   the pixels of a platform TBitmap, reached through a table of row addresses.
// The storage place is chosen by size at every allocation: images above FileThreshold go to
// the paging file, smaller ones to memory.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "bitmap/filebuffer.h"
#include "bitmap/memory.h"
#include "bitmap/tbitmap.h"
#include "bitmap/types.h"

namespace lumenax {

class TLxMask;
class TStream;
class TLxDibbitmap;
class TLxBitmap;

// Abstract base of the library's bitmap-like classes.
class TLxBaseBitmap {
 public:
  TLxBaseBitmap() = default;
  TLxBaseBitmap(const TLxBaseBitmap&) = delete;
  TLxBaseBitmap& operator=(const TLxBaseBitmap&) = delete;
  virtual ~TLxBaseBitmap() = default;

  // raRead: rows are read from the paging file when mapped; raWrite: written back.
  TLxRowAccess RowAccess = raRead | raWrite;

  virtual uint8_t* ScanLine(int row) = 0;
  virtual int BitCount() const = 0;
  virtual int Height() const = 0;
  virtual int Width() const = 0;
  virtual lumenax::PixelFormat PixelFormat() const = 0;
  virtual int RowLen() const = 0;
  // Black for an index outside 0 .. PaletteCount - 1.
  virtual TRGB GetPaletteEntry(int index) const = 0;
  virtual void SetPaletteEntry(int index, TRGB colour) = 0;
  virtual int PaletteCount() const = 0;
  virtual bool Allocate(int width, int height, lumenax::PixelFormat pf) = 0;
  virtual void Assign(TLxBaseBitmap& source) = 0;
};

class TLxBitmap : public TLxBaseBitmap {
 public:
  TLxBitmap();
  TLxBitmap(int width, int height, lumenax::PixelFormat pf);
  ~TLxBitmap() override;

  // An alpha channel: lx8g, filled with 255; lxTBitmap becomes lxInMemory.
  static std::unique_ptr<TLxBitmap> CreateAlphaChannel(int width, int height,
                                                       BitmapLocation location);

  // ---- geometry and layout (in lxTBitmap brought up to date from the TBitmap first, which
  // callers may have drawn on or resized)
  int Width() const override {
    Sync();
    return width_;
  }
  int Height() const override {
    Sync();
    return height_;
  }
  int BitCount() const override {
    Sync();
    return bitCount_;
  }
  int ChannelCount() const {
    Sync();
    return channelCount_;
  }
  int RowLen() const override {
    Sync();
    return rowLen_;
  }
  lumenax::PixelFormat PixelFormat() const override {
    Sync();
    return pixelFormat_;
  }
  BitmapLocation Location() const { return location_; }
  int RowAlignment() const { return rowAlignment_; }
  // RowLen x Height.
  int64_t ImageSize() const { return int64_t(rowLen_) * height_; }

  void SetWidth(int w);
  void SetHeight(int h);
  // Changes both dimensions; align 0 left/top, 1 centre, 2 right/bottom; new area is filled.
  void Resize(int newWidth, int newHeight, double fillValue, double alphaFillValue,
              int horizontalAlign, int verticalAlign);
  // Changes the layout, converting the content (CopyAndConvertFormat).
  void SetPixelFormat(lumenax::PixelFormat pf);
  void SetRowAlignment(int bits);
  void SetLocation(BitmapLocation location);
  // (Re)allocates without keeping content; false (size 0 x 0) on failure. Does nothing when
  // size and layout are unchanged and no reallocation is pending.
  bool Allocate(int width, int height, lumenax::PixelFormat pf) override;
  void FreeImage(bool freeAlpha);
  bool IsEmpty() const;

  // ---- rows and pixels (coordinates are not checked)
  // In lxTempFile the address stays valid only until the next ScanLine on this bitmap.
  uint8_t* ScanLine(int row) override;
  // A row that stays mapped until UnlockRow (only lxTempFile needs it).
  uint8_t* LockRow(int row);
  void UnlockRow(int row);

  uint8_t Pixels8(int x, int y) { return ScanLine(y)[x]; }
  void SetPixels8(int x, int y, uint8_t v);
  uint16_t Pixels16(int x, int y);
  void SetPixels16(int x, int y, uint16_t v);
  float Pixels32f(int x, int y);
  void SetPixels32f(int x, int y, float v);
  uint32_t PixelsCMYK(int x, int y);
  void SetPixelsCMYK(int x, int y, uint32_t v);
  TRGB PixelsRGB24(int x, int y);
  void SetPixelsRGB24(int x, int y, TRGB v);
  uint8_t* PixelAddressRGB24(int x, int y) { return ScanLine(y) + 3 * x; }
  // Red, green, blue words.
  void PixelsRGB48(int x, int y, uint16_t& r, uint16_t& g, uint16_t& b);
  void SetPixelsRGB48(int x, int y, uint16_t r, uint16_t g, uint16_t b);
  // Any layout read as a colour.
  TRGB PixelAsRGB(int x, int y);

  // Every pixel set to value (see the fill rules); AllOpaque follows the value.
  void Fill(double value);
  // Pixels x1..x2 of rows y1..y2, clipped; AllOpaque unchanged.
  void FillRect(int x1, int y1, int x2, int y2, double value);

  // ---- palette
  TRGB GetPaletteEntry(int index) const override;
  void SetPaletteEntry(int index, TRGB colour) override;
  int PaletteCount() const override { return paletteCount_; }
  const TRGB* Palette() const { return palette_.get(); }
  TRGB* Palette() { return palette_.get(); }

  // ---- copying
  void Assign(TLxBaseBitmap& source) override;
  void Assign(TBitmap& source) { CopyFromTBitmap(source); }
  // Size, layout, pixels and palette of source; this bitmap's alpha channel is left alone.
  void AssignImage(TLxBitmap& source);
  // Hands every storage of this bitmap to target and leaves this one empty.
  void MoveImageTo(TLxBitmap& target);
  void CopyRectTo(TLxBitmap& target, int sourceX, int sourceY, int width, int height, int targetX,
                  int targetY);
  void MaxAlphaRectTo(TLxBitmap& target, int sourceX, int sourceY, int width, int height,
                      int targetX, int targetY);
  // Fills this bitmap (already allocated in its layout) from a source of the same size.
  void CopyAndConvertFormat(TLxBitmap& source);
  // Copies a platform bitmap (1, 8, 24 and 32 bits; other depths as 24 bits).
  void CopyFromTBitmap(TBitmap& bitmap);
  // Adopts a platform bitmap as this bitmap's rows without copying (lxTBitmap, external: the
  // next FreeImage hands it back untouched). 1, 8, 24 and 32 bits are adopted (8 bits as
  // lx8g with a gray colour table, else lx8p with its colours); other depths leave this
  // bitmap empty. With freeFirst the current image and alpha channel are freed first.
  void EncapsulateTBitmap(TBitmap* bitmap, bool freeFirst);
  // Moves the rows to lxTBitmap and returns the platform bitmap.
  TBitmap* AsTBitmap();
  // Copies a DIB block (1 or 24 bits; in lxTBitmap into this bitmap's own TBitmap).
  void CopyFromDibBitmap(TLxDibbitmap* dib);
  // In lxTBitmap: size, layout, rows and palette taken again from the TBitmap (1 bit lx1g,
  // 8 bits lx8g for a gray ramp or an alpha channel else lx8p, 32 bits lx32RGB, others
  // converted to 24 bits). The geometry getters call it.
  void SyncFromTBitmap();

  // ---- raw record ("TLXBITMAPRAW": size, layout, palette, display settings, rows, alpha)
  void SaveRawToStream(TStream& stream);
  // False, with this bitmap unchanged, for anything but a complete, consistent record.
  bool LoadRawFromStream(TStream& stream);
  // The record into memory of capacity bytes: its length, or -1 (nothing written) when it
  // does not fit.
  int64_t SaveRawToMemory(void* address, int64_t capacity);
  bool LoadRawFromMemory(const void* address, int64_t length);

  // ---- alpha channel
  // Created on demand, fully opaque; none (nullptr) for a bitmap that is an alpha channel.
  TLxBitmap* AlphaChannel();
  bool HasAlphaChannel() const { return bool(alpha_); }
  // Adopts alpha; returns the channel that was there, which the caller now owns.
  std::unique_ptr<TLxBitmap> AttachAlphaChannel(std::unique_ptr<TLxBitmap> alpha);
  // Takes the alpha channel away from this bitmap and gives it to the caller.
  std::unique_ptr<TLxBitmap> DetachAlphaChannel();
  // Frees the alpha channel; with merge, composes lx24RGB over background first.
  void RemoveAlphaChannel(bool merge, TColor background);
  uint8_t GetAlphaValue(int x, int y);
  void SetAlphaValue(int x, int y, uint8_t value);
  // On an alpha channel: take size, depth and values from a mask (none: fully opaque).
  void CopyFromMask(const TLxMask* mask);
  // On an alpha channel: give the mask this size, depth and values.
  void CopyToMask(TLxMask& mask);
  // AllOpaque := every byte of every row's pixels is 255.
  void UpdateAllOpaque();

  // ---- tests
  bool IsGrayScale();
  bool IsAllZero();

  // ---- settings and state, public as in the record they come from
  bool IsAlphaChannel = false;
  // Every sample is known to hold its maximum; on an alpha channel: fully opaque.
  bool AllOpaque = false;
  int64_t FileThreshold;
  uint8_t BlackWhiteMethod = 1;  // 0 ordered dither, 1 threshold at the mean gray level
  int32_t QuantizeColors = 256;
  double DisplayLow = 0, DisplayHigh = 0;
  int32_t DisplayOffsets[4] = {0, 0, 0, 0};
  bool DisplayAdjust = false;
  int32_t DisplayContrast = 0;
  TLxMemoryAllocator MemoryAllocator = maHybrid;
  bool ReallocPending = true;
  int32_t ViewTag = 0;

  // Storage introspection for tests and the paging-file benchmark.
  TLxFileBuffer& FileBuffer() { return *fileBuffer_; }
  const uint8_t* PixelsAddress() const { return pixels_; }
  TBitmap* PlatformBitmap() { return bitmap_; }

 private:
  friend class BitmapStorageAccess;
  void Sync() const {
    if (location_ == lxTBitmap) const_cast<TLxBitmap*>(this)->SyncFromTBitmap();
  }
  // Makes bitmap this bitmap's own TBitmap storage (lxTBitmap, not external).
  void AdoptOwnTBitmap(std::unique_ptr<TBitmap> bitmap);
  bool StorageStep();
  void ReleaseRows();
  void CopyRowsFrom(TLxBitmap& source);
  void PlaceTempBack(TLxBitmap& tmp, bool copyPalette);
  void BuildRowTable();
  void PushPaletteToTBitmap();
  void FillRowRange(uint8_t* row, int x1, int x2, double v, bool storeV);
  void MoveRect(int x1, int y1, int x2, int y2, int destX, int destY, double fill);
  void ResetToEmpty();

  std::unique_ptr<TLxFileBuffer> fileBuffer_;
  uint8_t* currentRow_ = nullptr;  // mapped by ScanLine in lxTempFile (owned by fileBuffer_)
  std::unique_ptr<TRGB[]> palette_;
  int32_t paletteCount_ = 0;
  std::unique_ptr<TLxBitmap> alpha_;
  uint8_t* pixels_ = nullptr;  // 32-byte aligned, inside pixelBlock_ or external memory
  PixelMemory pixelBlock_;
  TBitmap* bitmap_ = nullptr;           // the platform bitmap in lxTBitmap
  std::unique_ptr<TBitmap> ownBitmap_;  // set unless ExternalBitmap
  std::vector<uint8_t*> rowTable_;
  std::vector<uint8_t*> lockedRows_;
  std::vector<int> lockedRowIndexes_;
  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t bitCount_ = 0;
  int32_t channelCount_ = 0;
  int32_t rowLen_ = 0;
  lumenax::PixelFormat pixelFormat_ = lxNone;
  BitmapLocation location_ = lxTempFile;
  bool externalBitmap_ = false;
  bool externalPixels_ = false;
  int32_t rowAlignment_ = 32;
  bool syncing_ = false;
};

// A bare bottom-up row store for processing code, rows padded to 32 bits.
class TLxWorkBitmap {
 public:
  // Does nothing when all three are unchanged; otherwise frees and reallocates.
  bool Allocate(int width, int height, int bitCount);
  int Width() const { return width_; }
  int Height() const { return height_; }
  int BitCount() const { return bitCount_; }
  int RowLen() const { return rowLen_; }
  uint8_t* ScanLine(int row) { return block_.get() + int64_t(rowLen_) * (height_ - 1 - row); }

 private:
  int width_ = 0, height_ = 0, bitCount_ = 0, rowLen_ = 0;
  PixelMemory block_;
};

// Row length for a width, bit count and alignment in bits; -1 when it does not fit 31 bits.
int64_t ComputeRowLen(int64_t width, int bitCount, int alignmentBits);

}  // namespace lumenax
