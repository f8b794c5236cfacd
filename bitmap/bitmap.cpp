#include "bitmap/bitmap.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "bitmap/conversion.h"
#include "bitmap/mask.h"
#include "bitmap/settings.h"

namespace lumenax {

const char* PixelFormatName(PixelFormat pf) {
  static const char* const kNames[kPixelFormatCount] = {"lxNone",  "lx1g",     "lx8p",   "lx8g",
                                                        "lx16g",   "lx24RGB",  "lx32f",  "lxCMYK",
                                                        "lxRGB48", "lxCIELab", "lx32RGB"};
  return pf < kPixelFormatCount ? kNames[pf] : nullptr;
}

bool PixelFormatFromName(const char* name, PixelFormat& pf) {
  for (int i = 0; i < kPixelFormatCount; ++i) {
    if (std::strcmp(name, PixelFormatName(PixelFormat(i))) == 0) {
      pf = PixelFormat(i);
      return true;
    }
  }
  return false;
}

int64_t ComputeRowLen(int64_t width, int bitCount, int alignmentBits) {
  if (width < 0 || bitCount < 0 || alignmentBits < 8 || alignmentBits % 8 != 0) return -1;
  // width < 2^31 and bitCount <= 48, so the product fits 64 bits.
  int64_t bits = width * bitCount;
  int64_t len = ((bits + alignmentBits - 1) / alignmentBits) * (alignmentBits / 8);
  return len > std::numeric_limits<int32_t>::max() ? -1 : len;
}

namespace {

bool AllowedInTBitmap(PixelFormat pf) {
  return pf == lx1g || pf == lx8p || pf == lx8g || pf == lx16g || pf == lx24RGB || pf == lx32RGB;
}

// Bytes per pixel of layouts that CopyRectTo copies bytewise; 0 for lx1g and lxNone.
int BytesPerPixel(PixelFormat pf) {
  return pf == lx1g ? 0 : BitCountOf(pf) / 8;
}

}  // namespace

// ====================================================================== construction

TLxBitmap::TLxBitmap()
    : FileThreshold(InitialFileThreshold()), fileBuffer_(std::make_unique<TLxFileBuffer>()) {}

TLxBitmap::TLxBitmap(int width, int height, lumenax::PixelFormat pf) : TLxBitmap() {
  Allocate(width, height, pf);
}

TLxBitmap::~TLxBitmap() {
  FreeImage(true);
}

std::unique_ptr<TLxBitmap> TLxBitmap::CreateAlphaChannel(int width, int height,
                                                         BitmapLocation location) {
  auto a = std::make_unique<TLxBitmap>();
  a->IsAlphaChannel = true;
  a->location_ = location == lxTBitmap ? lxInMemory : location;
  a->Allocate(width, height, lx8g);
  a->Fill(255);
  return a;
}

// ====================================================================== storage

bool TLxBitmap::StorageStep() {
  if (width_ <= 0 || height_ <= 0 || pixelFormat_ == lxNone || pixelFormat_ >= kPixelFormatCount)
    return false;
  auto fail = [this] {
    palette_.reset();
    paletteCount_ = 0;
    return false;
  };
  if (pixelFormat_ == lx8p) {
    palette_ = std::make_unique<TRGB[]>(256);
    paletteCount_ = 256;
  } else {
    palette_.reset();
    paletteCount_ = 0;
  }
  if (location_ == lxTBitmap) {
    if (!AllowedInTBitmap(pixelFormat_)) return fail();
    if (pixelFormat_ == lx16g) pixelFormat_ = lx8g;
  }
  bitCount_ = BitCountOf(pixelFormat_);
  channelCount_ = ChannelCountOf(pixelFormat_);
  int alignment = location_ == lxTBitmap ? 32 : rowAlignment_;
  int64_t rowLen = ComputeRowLen(width_, bitCount_, alignment);
  if (rowLen <= 0) return fail();
  rowLen_ = int32_t(rowLen);
  int64_t size = rowLen * height_;

  if (location_ == lxTempFile && size < FileThreshold)
    location_ = lxInMemory;
  else if (location_ == lxInMemory && size > FileThreshold)
    location_ = lxTempFile;

  if (location_ == lxTempFile) {
    if (!fileBuffer_->Create("IMG", size)) location_ = lxInMemory;
  }
  if (location_ == lxInMemory) {
    pixelBlock_ = PixelMemory::Allocate(uint64_t(size) + 32, MemoryAllocator);
    if (!pixelBlock_) return fail();
    auto addr = reinterpret_cast<uintptr_t>(pixelBlock_.get());
    pixels_ = pixelBlock_.get() + ((32 - addr % 32) % 32);
  } else if (location_ == lxTBitmap) {
    if (!externalBitmap_) {
      ownBitmap_ = std::make_unique<TBitmap>();
      bitmap_ = ownBitmap_.get();
    }
    bitmap_->SetSize(1, 1);
    bitmap_->SetPixelFormat(pfDevice);
    switch (pixelFormat_) {
      case lx1g:
        bitmap_->SetPixelFormat(pf1bit);
        break;
      case lx8p:
      case lx8g:
        bitmap_->SetPixelFormat(pf8bit);
        break;
      case lx24RGB:
        bitmap_->SetPixelFormat(pf24bit);
        break;
      default:
        bitmap_->SetPixelFormat(pf32bit);
        break;
    }
    bitmap_->SetSize(width_, height_);
    if (pixelFormat_ == lx8g) {
      for (int i = 0; i < 256; ++i)
        bitmap_->SetColorTableEntry(i, TRGB{uint8_t(i), uint8_t(i), uint8_t(i)});
    }
    BuildRowTable();
  }
  AllOpaque = false;
  return true;
}

void TLxBitmap::BuildRowTable() {
  rowTable_.resize(size_t(std::max(height_, 0)));
  for (int y = 0; y < height_; ++y) rowTable_[size_t(y)] = bitmap_->ScanLine(y);
}

void TLxBitmap::PushPaletteToTBitmap() {
  if (location_ != lxTBitmap || !bitmap_ || !palette_) return;
  TPaletteEntry entries[256];
  for (int i = 0; i < paletteCount_ && i < 256; ++i) {
    entries[i] =
        TPaletteEntry{palette_[size_t(i)].r, palette_[size_t(i)].g, palette_[size_t(i)].b, 0};
  }
  bitmap_->SetPaletteEntries(entries, std::min(paletteCount_, 256));
}

bool TLxBitmap::Allocate(int width, int height, lumenax::PixelFormat pf) {
  if (!ReallocPending && width == width_ && height == height_ && pf == pixelFormat_) return true;
  if (!externalBitmap_)
    FreeImage(true);
  else
    alpha_.reset();
  width_ = width;
  height_ = height;
  pixelFormat_ = pf;
  bool ok = StorageStep();
  if (!ok) width_ = height_ = 0;
  ReallocPending = false;
  return ok;
}

void TLxBitmap::ReleaseRows() {
  if (currentRow_) fileBuffer_->Release(currentRow_);
  currentRow_ = nullptr;
  for (uint8_t* r : lockedRows_) fileBuffer_->Release(r);
  lockedRows_.clear();
  lockedRowIndexes_.clear();
}

void TLxBitmap::FreeImage(bool freeAlpha) {
  if (freeAlpha) alpha_.reset();
  palette_.reset();
  paletteCount_ = 0;
  if (fileBuffer_) {
    ReleaseRows();
    fileBuffer_->Close();
  }
  pixelBlock_.reset();  // external pixel memory is never in pixelBlock_
  if (!externalBitmap_) ownBitmap_.reset();
  rowTable_.clear();
  pixels_ = nullptr;
  bitmap_ = nullptr;
  width_ = height_ = rowLen_ = bitCount_ = channelCount_ = 0;
  AllOpaque = false;
  externalBitmap_ = externalPixels_ = false;
}

bool TLxBitmap::IsEmpty() const {
  return width_ == 0 || height_ == 0 || rowLen_ == 0 || bitCount_ == 0;
}

void TLxBitmap::ResetToEmpty() {
  width_ = height_ = bitCount_ = channelCount_ = rowLen_ = 0;
  pixelFormat_ = lxNone;
  palette_.reset();
  paletteCount_ = 0;
  alpha_.reset();
  pixels_ = nullptr;
  pixelBlock_ = PixelMemory();
  bitmap_ = nullptr;
  ownBitmap_.reset();
  rowTable_.clear();
  currentRow_ = nullptr;
  lockedRows_.clear();
  lockedRowIndexes_.clear();
  fileBuffer_ = std::make_unique<TLxFileBuffer>();
  AllOpaque = false;
  externalBitmap_ = externalPixels_ = false;
  ReallocPending = true;
}

void TLxBitmap::MoveImageTo(TLxBitmap& target) {
  if (&target == this) return;
  target.FreeImage(true);
  target.width_ = width_;
  target.height_ = height_;
  target.bitCount_ = bitCount_;
  target.channelCount_ = channelCount_;
  target.palette_ = std::move(palette_);
  target.rowLen_ = rowLen_;
  target.pixelFormat_ = pixelFormat_;
  target.paletteCount_ = paletteCount_;
  target.alpha_ = std::move(alpha_);
  target.IsAlphaChannel = IsAlphaChannel;
  target.pixels_ = pixels_;
  target.pixelBlock_ = std::move(pixelBlock_);
  target.bitmap_ = bitmap_;
  target.ownBitmap_ = std::move(ownBitmap_);
  target.rowTable_ = std::move(rowTable_);
  target.currentRow_ = currentRow_;
  target.location_ = location_;
  target.AllOpaque = AllOpaque;
  target.externalBitmap_ = externalBitmap_;
  target.externalPixels_ = externalPixels_;
  target.fileBuffer_ = std::move(fileBuffer_);
  target.lockedRows_ = std::move(lockedRows_);
  target.lockedRowIndexes_ = std::move(lockedRowIndexes_);
  target.BlackWhiteMethod = BlackWhiteMethod;
  target.rowAlignment_ = rowAlignment_;
  target.MemoryAllocator = MemoryAllocator;
  ResetToEmpty();
}

// Copies min(RowLen, source RowLen) bytes of every common row from source.
void TLxBitmap::CopyRowsFrom(TLxBitmap& source) {
  int rows = std::min(height_, source.height_);
  int64_t len = std::min(rowLen_, source.rowLen_);
  TLxRowAccess sa = source.RowAccess, ta = RowAccess;
  source.RowAccess = raRead;
  RowAccess = raWrite;
  if (location_ == lxTempFile && source.location_ == lxTempFile && rowLen_ == source.rowLen_ &&
      height_ == source.height_) {
    source.ReleaseRows();
    ReleaseRows();
    source.fileBuffer_->CopyTo(*fileBuffer_, int64_t(rowLen_) * height_, 0);
  } else {
    for (int y = 0; y < rows; ++y) std::memcpy(ScanLine(y), source.ScanLine(y), size_t(len));
  }
  source.RowAccess = sa;
  RowAccess = ta;
}

// The end of every rebuild: the old image sits in tmp; this bitmap has been allocated anew.
void TLxBitmap::PlaceTempBack(TLxBitmap& tmp, bool copyPalette) {
  CopyRowsFrom(tmp);
  if (copyPalette && palette_ && tmp.palette_) {
    std::memcpy(palette_.get(), tmp.palette_.get(),
                sizeof(TRGB) * size_t(std::min(paletteCount_, tmp.paletteCount_)));
    PushPaletteToTBitmap();
  }
  if (!IsAlphaChannel) alpha_ = std::move(tmp.alpha_);
}

void TLxBitmap::SetWidth(int w) {
  if (w == width_) return;
  if (alpha_) alpha_->SetWidth(w);
  if (location_ == lxTBitmap) {
    if (!bitmap_) {
      ownBitmap_ = std::make_unique<TBitmap>();
      bitmap_ = ownBitmap_.get();
    }
    bitmap_->SetWidth(w);
    width_ = bitmap_->Width();
    rowLen_ = int32_t(std::max<int64_t>(ComputeRowLen(width_, bitCount_, 32), 0));
    BuildRowTable();
    return;
  }
  if (pixelFormat_ != lxNone && height_ > 0) {
    TLxBitmap tmp;
    MoveImageTo(tmp);
    if (!Allocate(w, tmp.height_, tmp.pixelFormat_)) return;
    PlaceTempBack(tmp, true);
    AllOpaque = false;
  } else {
    width_ = w;
  }
}

void TLxBitmap::SetHeight(int h) {
  if (h == height_) return;
  if (alpha_) alpha_->SetHeight(h);
  if (location_ == lxTBitmap) {
    if (!bitmap_) {
      ownBitmap_ = std::make_unique<TBitmap>();
      bitmap_ = ownBitmap_.get();
    }
    bitmap_->SetHeight(h);
    height_ = bitmap_->Height();
    BuildRowTable();
    return;
  }
  if (pixelFormat_ != lxNone && width_ > 0) {
    TLxBitmap tmp;
    MoveImageTo(tmp);
    if (!Allocate(tmp.width_, h, tmp.pixelFormat_)) return;
    PlaceTempBack(tmp, true);
    AllOpaque = false;
  } else {
    height_ = h;
  }
}

void TLxBitmap::MoveRect(int x1, int y1, int x2, int y2, int destX, int destY, double fill) {
  int w = x2 - x1 + 1, h = y2 - y1 + 1;
  if (w <= 0 || h <= 0) return;
  TLxBitmap tmp;
  tmp.location_ = location_ == lxTBitmap ? lxInMemory : location_;
  tmp.rowAlignment_ = rowAlignment_;
  if (!tmp.Allocate(w, h, pixelFormat_)) return;
  CopyRectTo(tmp, x1, y1, w, h, 0, 0);
  FillRect(x1, y1, x2, y2, fill);
  tmp.CopyRectTo(*this, 0, 0, w, h, destX, destY);
}

void TLxBitmap::Resize(int newWidth, int newHeight, double fillValue, double alphaFillValue,
                       int horizontalAlign, int verticalAlign) {
  const int w0 = width_, h0 = height_;
  auto shrink = [&](TLxBitmap& b, double fill) {
    if (newWidth < w0) {
      int d = w0 - newWidth;
      if (horizontalAlign == 1)
        b.MoveRect(d / 2, 0, newWidth + d / 2 - 1, h0 - 1, 0, 0, fill);
      else if (horizontalAlign == 2)
        b.MoveRect(d, 0, w0 - 1, h0 - 1, 0, 0, fill);
    }
    if (newHeight < h0) {
      int d = h0 - newHeight;
      if (verticalAlign == 1)
        b.MoveRect(0, d / 2, w0 - 1, newHeight + d / 2 - 1, 0, 0, fill);
      else if (verticalAlign == 2)
        b.MoveRect(0, d, w0 - 1, h0 - 1, 0, 0, fill);
    }
  };
  auto grow = [&](TLxBitmap& b, double fill) {
    if (w0 < b.width_) {
      b.FillRect(w0, 0, b.width_ - 1, b.height_ - 1, fill);
      if (horizontalAlign == 1)
        b.MoveRect(0, 0, w0 - 1, h0 - 1, (b.width_ - w0) / 2, 0, fill);
      else if (horizontalAlign == 2)
        b.MoveRect(0, 0, w0 - 1, h0 - 1, b.width_ - w0, 0, fill);
    }
    if (h0 < b.height_) {
      b.FillRect(0, h0, b.width_ - 1, b.height_ - 1, fill);
      if (verticalAlign == 1)
        b.MoveRect(0, 0, b.width_ - 1, h0 - 1, 0, (b.height_ - h0) / 2, fill);
      else if (verticalAlign == 2)
        b.MoveRect(0, 0, b.width_ - 1, h0 - 1, 0, b.height_ - h0, fill);
    }
  };
  shrink(*this, fillValue);
  if (alpha_) shrink(*alpha_, alphaFillValue);
  SetWidth(newWidth);
  SetHeight(newHeight);
  grow(*this, fillValue);
  if (alpha_) grow(*alpha_, alphaFillValue);
}

void TLxBitmap::SetPixelFormat(lumenax::PixelFormat pf) {
  if (pf == pixelFormat_) return;
  if (location_ == lxTBitmap) {
    // Convert through a bitmap in memory, then put the result back into the platform bitmap
    // (or keep it in memory when the platform bitmap cannot hold the layout).
    TLxBitmap tmp;
    tmp.location_ = lxInMemory;
    tmp.FileThreshold = std::numeric_limits<int64_t>::max();
    tmp.BlackWhiteMethod = BlackWhiteMethod;
    tmp.QuantizeColors = QuantizeColors;
    if (!IsEmpty()) tmp.AssignImage(*this);
    std::unique_ptr<TLxBitmap> alpha = std::move(alpha_);
    if (!tmp.IsEmpty() && pixelFormat_ == lx24RGB && pf == lx1g && BlackWhiteMethod == 0) {
      // The platform bitmap's own dither keeps near-white pixels (all channels >= 251) white.
      TLxBitmap bw;
      bw.location_ = lxInMemory;
      bw.FileThreshold = std::numeric_limits<int64_t>::max();
      DitherTo1Bit(tmp, bw, true);
      bw.MoveImageTo(tmp);
    } else if (!tmp.IsEmpty()) {
      tmp.SetPixelFormat(pf);
    }
    if (tmp.IsEmpty() || !AllowedInTBitmap(pf) || pf == lx16g) {
      if (tmp.IsEmpty()) {
        pixelFormat_ = pf;
        bitCount_ = BitCountOf(pf);
        channelCount_ = ChannelCountOf(pf);
      } else {
        tmp.MoveImageTo(*this);  // the layout cannot live in the platform bitmap
      }
    } else {
      ReallocPending = true;
      Allocate(tmp.width_, tmp.height_, pf);
      PlaceTempBack(tmp, true);
    }
    alpha_ = std::move(alpha);
    return;
  }
  TLxBitmap tmp;
  MoveImageTo(tmp);
  width_ = tmp.width_;
  height_ = tmp.height_;
  pixelFormat_ = pf;
  if (!StorageStep()) {
    width_ = height_ = 0;
    rowLen_ = bitCount_ = channelCount_ = 0;
  }
  ReallocPending = false;
  if (tmp.pixelFormat_ != lxNone) CopyAndConvertFormat(tmp);
}

void TLxBitmap::SetRowAlignment(int bits) {
  if (bits == rowAlignment_) return;
  if (bits < 8 || bits % 8 != 0) return;
  ReallocPending = true;
  if (location_ != lxInMemory) return;
  if (IsEmpty()) {
    rowAlignment_ = bits;
    return;
  }
  bool opaque = AllOpaque;
  TLxBitmap tmp;
  MoveImageTo(tmp);
  rowAlignment_ = bits;
  if (!Allocate(tmp.width_, tmp.height_, tmp.pixelFormat_)) return;
  PlaceTempBack(tmp, true);
  AllOpaque = opaque;
  ReallocPending = true;
}

void TLxBitmap::SetLocation(BitmapLocation location) {
  if (location == location_) return;
  ReallocPending = true;
  if (IsEmpty() || pixelFormat_ == lxNone) {
    location_ = location;
    return;
  }
  if (location == lxTBitmap && !AllowedInTBitmap(pixelFormat_)) return;
  bool opaque = AllOpaque;
  bool isAlpha = IsAlphaChannel;
  TLxBitmap tmp;
  MoveImageTo(tmp);
  location_ = location;
  if (!Allocate(tmp.width_, tmp.height_, tmp.pixelFormat_)) return;
  PlaceTempBack(tmp, true);
  IsAlphaChannel = isAlpha;
  AllOpaque = opaque;
  ReallocPending = true;
}

TBitmap* TLxBitmap::AsTBitmap() {
  SetLocation(lxTBitmap);
  return location_ == lxTBitmap ? bitmap_ : nullptr;
}

// ====================================================================== rows and pixels

uint8_t* TLxBitmap::ScanLine(int row) {
  switch (location_) {
    case lxInMemory:
      return pixels_ + int64_t(rowLen_) * (height_ - 1 - row);
    case lxTempFile:
      if (currentRow_) fileBuffer_->Release(currentRow_);
      currentRow_ = fileBuffer_->Map(RowAccess, rowLen_, int64_t(row) * rowLen_);
      return currentRow_;
    case lxTBitmap:
    default:
      return rowTable_[size_t(row)];
  }
}

uint8_t* TLxBitmap::LockRow(int row) {
  if (location_ != lxTempFile) return ScanLine(row);
  if (currentRow_) fileBuffer_->Release(currentRow_);
  currentRow_ = nullptr;
  uint8_t* p = fileBuffer_->Map(RowAccess, rowLen_, int64_t(row) * rowLen_);
  lockedRows_.push_back(p);
  lockedRowIndexes_.push_back(row);
  return p;
}

void TLxBitmap::UnlockRow(int row) {
  if (location_ != lxTempFile) return;
  for (size_t i = 0; i < lockedRowIndexes_.size(); ++i) {
    if (lockedRowIndexes_[i] != row) continue;
    fileBuffer_->Release(lockedRows_[i]);
    lockedRows_.erase(lockedRows_.begin() + ptrdiff_t(i));
    lockedRowIndexes_.erase(lockedRowIndexes_.begin() + ptrdiff_t(i));
    return;
  }
}

void TLxBitmap::SetPixels8(int x, int y, uint8_t v) {
  ScanLine(y)[x] = v;
  if (v != 255) AllOpaque = false;
}

uint16_t TLxBitmap::Pixels16(int x, int y) {
  uint16_t v;
  std::memcpy(&v, ScanLine(y) + 2 * x, 2);
  return v;
}

void TLxBitmap::SetPixels16(int x, int y, uint16_t v) {
  std::memcpy(ScanLine(y) + 2 * x, &v, 2);
  if (v != 65535) AllOpaque = false;
}

float TLxBitmap::Pixels32f(int x, int y) {
  float v;
  std::memcpy(&v, ScanLine(y) + 4 * x, 4);
  return v;
}

void TLxBitmap::SetPixels32f(int x, int y, float v) {
  std::memcpy(ScanLine(y) + 4 * x, &v, 4);
  if (!(v >= 1.0f)) AllOpaque = false;
}

uint32_t TLxBitmap::PixelsCMYK(int x, int y) {
  uint32_t v;
  std::memcpy(&v, ScanLine(y) + 4 * x, 4);
  return v;
}

void TLxBitmap::SetPixelsCMYK(int x, int y, uint32_t v) {
  std::memcpy(ScanLine(y) + 4 * x, &v, 4);
}

TRGB TLxBitmap::PixelsRGB24(int x, int y) {
  const uint8_t* p = ScanLine(y) + 3 * x;
  return TRGB{p[0], p[1], p[2]};
}

void TLxBitmap::SetPixelsRGB24(int x, int y, TRGB v) {
  uint8_t* p = ScanLine(y) + 3 * x;
  p[0] = v.b, p[1] = v.g, p[2] = v.r;
}

void TLxBitmap::PixelsRGB48(int x, int y, uint16_t& r, uint16_t& g, uint16_t& b) {
  uint16_t w[3];
  std::memcpy(w, ScanLine(y) + 6 * x, 6);
  r = w[0], g = w[1], b = w[2];
}

void TLxBitmap::SetPixelsRGB48(int x, int y, uint16_t r, uint16_t g, uint16_t b) {
  uint16_t w[3] = {r, g, b};
  std::memcpy(ScanLine(y) + 6 * x, w, 6);
  if (!(r == 65535 && g == 65535 && b == 65535)) AllOpaque = false;
}

TRGB TLxBitmap::PixelAsRGB(int x, int y) {
  if (pixelFormat_ == lxNone || IsEmpty()) return TRGB{};
  const uint8_t* p = ScanLine(y);
  return PixelAsRGBFromRow(*this, p, x);
}

// ====================================================================== fills

// Writes pixels x1..x2 of one row with the fill rules; storeV: lx32f stores v, not Trunc(v).
void TLxBitmap::FillRowRange(uint8_t* row, int x1, int x2, double v, bool storeV) {
  if (x2 < x1) return;
  int64_t t = std::isfinite(v) ? int64_t(std::trunc(std::clamp(v, -9.2e18, 9.2e18))) : 0;
  TRGB c = TColor2TRGB(TColor(uint32_t(t)));
  switch (pixelFormat_) {
    case lx1g:
      for (int x = x1; x <= x2; ++x) {
        uint8_t bit = uint8_t(0x80 >> (x & 7));
        if (t != 0)
          row[x >> 3] |= bit;
        else
          row[x >> 3] &= uint8_t(~bit);
      }
      break;
    case lx8p:
    case lx8g:
      std::memset(row + x1, uint8_t(t), size_t(x2 - x1 + 1));
      break;
    case lx16g: {
      uint16_t w = uint16_t(t);
      for (int x = x1; x <= x2; ++x) std::memcpy(row + 2 * x, &w, 2);
      break;
    }
    case lx24RGB:
      for (int x = x1; x <= x2; ++x) row[3 * x] = c.b, row[3 * x + 1] = c.g, row[3 * x + 2] = c.r;
      break;
    case lx32RGB:
      for (int x = x1; x <= x2; ++x) row[4 * x] = c.b, row[4 * x + 1] = c.g, row[4 * x + 2] = c.r;
      break;
    case lx32f: {
      float f = storeV ? float(v) : float(t);
      for (int x = x1; x <= x2; ++x) std::memcpy(row + 4 * x, &f, 4);
      break;
    }
    case lxCMYK: {
      TCMYK k = RgbToCmyk(PackBGR(c));
      uint8_t b4[4] = {k.c, k.m, k.y, k.k};
      for (int x = x1; x <= x2; ++x) std::memcpy(row + 4 * x, b4, 4);
      break;
    }
    case lxRGB48: {
      uint16_t w[3] = {uint16_t(c.r * 257), uint16_t(c.g * 257), uint16_t(c.b * 257)};
      for (int x = x1; x <= x2; ++x) std::memcpy(row + 6 * x, w, 6);
      break;
    }
    case lxCIELab: {
      TCIELab l = RgbToLab(PackBGR(c));
      uint8_t b3[3] = {l.l, uint8_t(l.a), uint8_t(l.b)};
      for (int x = x1; x <= x2; ++x) std::memcpy(row + 3 * x, b3, 3);
      break;
    }
    default:
      break;
  }
}

void TLxBitmap::Fill(double value) {
  if (IsEmpty()) return;
  int64_t t = std::isfinite(value) ? int64_t(std::trunc(std::clamp(value, -9.2e18, 9.2e18))) : 0;
  switch (pixelFormat_) {
    case lx1g:
    case lx8p:
    case lx8g: {
      uint8_t byte = pixelFormat_ == lx1g ? (t != 0 ? 255 : 0) : uint8_t(t);
      if (location_ == lxInMemory) {
        std::memset(pixels_, byte, size_t(int64_t(rowLen_) * height_));
      } else if (location_ == lxTBitmap) {
        std::memset(rowTable_[size_t(height_ - 1)], byte, size_t(int64_t(rowLen_) * height_));
      } else {
        TLxRowAccess ra = RowAccess;
        RowAccess = raWrite;
        for (int y = 0; y < height_; ++y) std::memset(ScanLine(y), byte, size_t(rowLen_));
        RowAccess = ra;
      }
      break;
    }
    default: {
      // One row is built and copied over every other row.
      std::vector<uint8_t> pattern(size_t(rowLen_), 0);
      uint8_t* first = ScanLine(0);
      std::memcpy(pattern.data(), first, size_t(rowLen_));
      FillRowRange(pattern.data(), 0, width_ - 1, value, true);
      std::memcpy(first, pattern.data(), size_t(rowLen_));
      for (int y = 1; y < height_; ++y) std::memcpy(ScanLine(y), pattern.data(), size_t(rowLen_));
      break;
    }
  }
  switch (pixelFormat_) {
    case lx1g:
      AllOpaque = t != 0;
      break;
    case lx8p:
    case lx8g:
      AllOpaque = t == 255;
      break;
    case lx16g:
      AllOpaque = t == 65535;
      break;
    case lx32f:
      AllOpaque = value == 1.0;
      break;
    default:
      AllOpaque = (uint32_t(t) & 0xFFFFFF) == 0xFFFFFF;
      break;
  }
}

void TLxBitmap::FillRect(int x1, int y1, int x2, int y2, double value) {
  if (IsEmpty()) return;
  x1 = std::max(x1, 0);
  y1 = std::max(y1, 0);
  x2 = std::min(x2, width_ - 1);
  y2 = std::min(y2, height_ - 1);
  if (y2 < y1 || x2 < x1) return;
  for (int y = y1; y <= y2; ++y) FillRowRange(ScanLine(y), x1, x2, value, false);
}

// ====================================================================== palette

TRGB TLxBitmap::GetPaletteEntry(int index) const {
  if (index >= 0 && index < paletteCount_ && palette_) return palette_[size_t(index)];
  return TRGB{};
}

void TLxBitmap::SetPaletteEntry(int index, TRGB colour) {
  if (index < 0 || index >= paletteCount_ || !palette_) return;
  palette_[size_t(index)] = colour;
  PushPaletteToTBitmap();
}

// ====================================================================== copying

void TLxBitmap::Assign(TLxBaseBitmap& base) {
  auto* source = dynamic_cast<TLxBitmap*>(&base);
  ReallocPending = true;
  if (!source || source == this) return;
  if (location_ == lxTBitmap) {
    if (source->IsEmpty()) return;
    if (!AllowedInTBitmap(source->pixelFormat_) || source->pixelFormat_ == lx16g)
      location_ = lxInMemory;
  }
  if (location_ != lxTBitmap || !externalBitmap_)
    FreeImage(true);
  else
    alpha_.reset();
  width_ = source->width_;
  height_ = source->height_;
  pixelFormat_ = source->pixelFormat_;
  rowAlignment_ = source->rowAlignment_;
  if (!StorageStep()) {
    width_ = height_ = 0;
    return;
  }
  AllOpaque = source->AllOpaque;
  CopyRowsFrom(*source);
  if (!IsAlphaChannel) {
    if (source->alpha_)
      AlphaChannel()->Assign(*source->alpha_);
    else
      RemoveAlphaChannel(false, clWhite);
  }
  if (palette_ && source->palette_) {
    std::memcpy(palette_.get(), source->palette_.get(),
                sizeof(TRGB) * size_t(std::min(paletteCount_, source->paletteCount_)));
    PushPaletteToTBitmap();
  }
  BlackWhiteMethod = source->BlackWhiteMethod;
}

void TLxBitmap::AssignImage(TLxBitmap& source) {
  if (source.IsEmpty() || &source == this) return;
  ReallocPending = true;
  if (location_ == lxTBitmap &&
      (!AllowedInTBitmap(source.pixelFormat_) || source.pixelFormat_ == lx16g))
    location_ = lxInMemory;
  FreeImage(false);
  width_ = source.width_;
  height_ = source.height_;
  pixelFormat_ = source.pixelFormat_;
  if (!StorageStep()) {
    width_ = height_ = 0;
    return;
  }
  CopyRowsFrom(source);
  if (palette_ && source.palette_) {
    std::memcpy(palette_.get(), source.palette_.get(),
                sizeof(TRGB) * size_t(std::min(paletteCount_, source.paletteCount_)));
    PushPaletteToTBitmap();
  }
  AllOpaque = false;
}

namespace {

struct ClippedRect {
  int sx, sy, w, h, tx, ty;
};

// The clipping shared by CopyRectTo and MaxAlphaRectTo; false when nothing is left.
bool ClipRect(int srcW, int srcH, int dstW, int dstH, ClippedRect& r) {
  if (srcW <= 0 || srcH <= 0 || dstW <= 0 || dstH <= 0) return false;
  if (r.tx < 0) {
    r.sx -= r.tx;
    r.w += r.tx;
    r.tx = 0;
  }
  if (r.ty < 0) {
    r.sy -= r.ty;
    r.h += r.ty;
    r.ty = 0;
  }
  r.tx = std::min(r.tx, dstW - 1);
  r.ty = std::min(r.ty, dstH - 1);
  r.sx = std::clamp(r.sx, 0, srcW - 1);
  r.sy = std::clamp(r.sy, 0, srcH - 1);
  r.w = std::min({r.w, srcW - r.sx, dstW - r.tx});
  r.h = std::min({r.h, srcH - r.sy, dstH - r.ty});
  return r.w > 0 && r.h > 0;
}

void CopyBits(const uint8_t* src, int sx, uint8_t* dst, int dx, int count) {
  for (int i = 0; i < count; ++i) {
    int s = sx + i, d = dx + i;
    bool bit = (src[s >> 3] >> (7 - (s & 7))) & 1;
    uint8_t mask = uint8_t(0x80 >> (d & 7));
    if (bit)
      dst[d >> 3] |= mask;
    else
      dst[d >> 3] &= uint8_t(~mask);
  }
}

}  // namespace

void TLxBitmap::CopyRectTo(TLxBitmap& target, int sourceX, int sourceY, int width, int height,
                           int targetX, int targetY) {
  ClippedRect r{sourceX, sourceY, width, height, targetX, targetY};
  if (!ClipRect(width_, height_, target.width_, target.height_, r)) return;
  lumenax::PixelFormat sp = pixelFormat_, tp = target.pixelFormat_;
  bool bits = sp == lx1g && tp == lx1g;
  bool expand = sp == lx1g && tp == lx24RGB;
  bool bytes = sp == tp && sp != lx1g && sp != lxNone;
  if (!bits && !expand && !bytes) return;
  int bpp = BytesPerPixel(sp);
  std::vector<uint8_t> rowCopy;
  for (int y = 0; y < r.h; ++y) {
    const uint8_t* src = ScanLine(r.sy + y);
    if (&target == this) {  // both rows of one bitmap: keep a copy of the source row
      rowCopy.assign(src, src + rowLen_);
      src = rowCopy.data();
    }
    uint8_t* dst = target.ScanLine(r.ty + y);
    if (bits) {
      CopyBits(src, r.sx, dst, r.tx, r.w);
    } else if (expand) {
      for (int x = 0; x < r.w; ++x) {
        int s = r.sx + x;
        uint8_t v = ((src[s >> 3] >> (7 - (s & 7))) & 1) ? 255 : 0;
        std::memset(dst + 3 * (r.tx + x), v, 3);
      }
    } else {
      std::memmove(dst + int64_t(r.tx) * bpp, src + int64_t(r.sx) * bpp, size_t(r.w) * size_t(bpp));
    }
  }
}

void TLxBitmap::MaxAlphaRectTo(TLxBitmap& target, int sourceX, int sourceY, int width, int height,
                               int targetX, int targetY) {
  TLxBitmap* sa = AlphaChannel();
  TLxBitmap* ta = target.AlphaChannel();
  if (!sa || !ta || sa->pixelFormat_ != lx8g || ta->pixelFormat_ != lx8g) return;
  ClippedRect r{sourceX, sourceY, width, height, targetX, targetY};
  if (!ClipRect(sa->width_, sa->height_, ta->width_, ta->height_, r)) return;
  for (int y = 0; y < r.h; ++y) {
    const uint8_t* src = sa->ScanLine(r.sy + y);
    uint8_t* dst = ta->ScanLine(r.ty + y);
    for (int x = 0; x < r.w; ++x) dst[r.tx + x] = std::max(dst[r.tx + x], src[r.sx + x]);
  }
}

// ====================================================================== alpha channel

TLxBitmap* TLxBitmap::AlphaChannel() {
  if (IsAlphaChannel) return nullptr;
  if (!alpha_) alpha_ = CreateAlphaChannel(width_, height_, location_);
  return alpha_.get();
}

std::unique_ptr<TLxBitmap> TLxBitmap::AttachAlphaChannel(std::unique_ptr<TLxBitmap> alpha) {
  std::unique_ptr<TLxBitmap> old = std::move(alpha_);
  alpha_ = std::move(alpha);
  if (alpha_) alpha_->IsAlphaChannel = true;
  return old;
}

std::unique_ptr<TLxBitmap> TLxBitmap::DetachAlphaChannel() {
  return std::move(alpha_);
}

void TLxBitmap::RemoveAlphaChannel(bool merge, TColor background) {
  if (IsAlphaChannel || !alpha_) return;
  if (merge && pixelFormat_ == lx24RGB && alpha_->pixelFormat_ == lx8g &&
      alpha_->width_ == width_ && alpha_->height_ == height_) {
    TRGB bg = TColor2TRGB(background);
    auto mix = [](int c, int b, int a) {
      int d = (c - b) * a;
      return uint8_t(b + (d >= 0 ? d / 256 : -((-d + 255) / 256)));
    };
    for (int y = 0; y < height_; ++y) {
      const uint8_t* a = alpha_->ScanLine(y);
      uint8_t* p = ScanLine(y);
      for (int x = 0; x < width_; ++x, p += 3) {
        p[0] = mix(p[0], bg.b, a[x]);
        p[1] = mix(p[1], bg.g, a[x]);
        p[2] = mix(p[2], bg.r, a[x]);
      }
    }
  }
  alpha_.reset();
}

uint8_t TLxBitmap::GetAlphaValue(int x, int y) {
  TLxBitmap* a = IsAlphaChannel ? this : AlphaChannel();
  const uint8_t* row = a->ScanLine(y);
  if (a->pixelFormat_ == lx1g) return ((row[x >> 3] >> (7 - (x & 7))) & 1) ? 255 : 0;
  return row[x];
}

void TLxBitmap::SetAlphaValue(int x, int y, uint8_t value) {
  TLxBitmap* a = IsAlphaChannel ? this : AlphaChannel();
  uint8_t* row = a->ScanLine(y);
  if (a->pixelFormat_ == lx1g) {
    uint8_t bit = uint8_t(0x80 >> (x & 7));
    if (value)
      row[x >> 3] |= bit;
    else
      row[x >> 3] &= uint8_t(~bit);
  } else {
    row[x] = value;
  }
  if (value != 255) {
    a->AllOpaque = false;
    AllOpaque = false;
  }
}

void TLxBitmap::CopyFromMask(const TLxMask* mask) {
  if (!mask) {
    Fill(255);
    return;
  }
  lumenax::PixelFormat pf;
  if (mask->BitsPerPixel == 1)
    pf = lx1g;
  else if (mask->BitsPerPixel == 8)
    pf = lx8g;
  else
    return;
  if (!Allocate(mask->Width, mask->Height, pf)) return;
  int64_t len = std::min(rowLen_, mask->RowLen);
  TLxRowAccess ra = RowAccess;
  RowAccess = raWrite;
  for (int y = 0; y < height_; ++y) std::memcpy(ScanLine(y), mask->ScanLine(y), size_t(len));
  RowAccess = ra;
  AllOpaque = mask->AllOpaque;
}

void TLxBitmap::CopyToMask(TLxMask& mask) {
  if (pixelFormat_ == lx1g || pixelFormat_ == lx8g) {
    mask.Allocate(width_, height_, pixelFormat_ == lx1g ? 1 : 8);
    int64_t len = std::min(rowLen_, mask.RowLen);
    for (int y = 0; y < height_; ++y) std::memcpy(mask.ScanLine(y), ScanLine(y), size_t(len));
    mask.AllOpaque = AllOpaque;
  } else if (pixelFormat_ == lx24RGB) {
    // Each mask value is the pixel's gray level over the full 0..255 range.
    mask.Allocate(width_, height_, 8);
    for (int y = 0; y < height_; ++y) {
      const uint8_t* p = ScanLine(y);
      uint8_t* m = mask.ScanLine(y);
      for (int x = 0; x < width_; ++x, p += 3) m[x] = uint8_t(Gray8(p[2], p[1], p[0]));
    }
  }
}

void TLxBitmap::UpdateAllOpaque() {
  if (IsEmpty()) {
    AllOpaque = false;
    return;
  }
  int64_t n = (int64_t(width_) * bitCount_ + 7) / 8;
  for (int y = 0; y < height_; ++y) {
    const uint8_t* row = ScanLine(y);
    for (int64_t i = 0; i < n; ++i) {
      if (row[i] != 255) {
        AllOpaque = false;
        return;
      }
    }
  }
  AllOpaque = true;
}

// ====================================================================== tests

bool TLxBitmap::IsGrayScale() {
  switch (pixelFormat_) {
    case lx8p:
      for (int i = 0; i < paletteCount_; ++i) {
        const TRGB& c = palette_[size_t(i)];
        if (c.r != c.g || c.g != c.b) return false;
      }
      return true;
    case lx24RGB:
      for (int y = 0; y < height_; ++y) {
        const uint8_t* p = ScanLine(y);
        for (int x = 0; x < width_; ++x, p += 3)
          if (p[0] != p[1] || p[1] != p[2]) return false;
      }
      return true;
    case lxRGB48:
      for (int y = 0; y < height_; ++y) {
        const uint8_t* p = ScanLine(y);
        for (int x = 0; x < width_; ++x, p += 6)
          if (std::memcmp(p, p + 2, 2) != 0 || std::memcmp(p + 2, p + 4, 2) != 0) return false;
      }
      return true;
    default:
      return true;
  }
}

bool TLxBitmap::IsAllZero() {
  for (int y = 0; y < height_; ++y) {
    const uint8_t* row = ScanLine(y);
    for (int i = 0; i < rowLen_; ++i)
      if (row[i]) return false;
  }
  return true;
}

// ====================================================================== TLxWorkBitmap

bool TLxWorkBitmap::Allocate(int width, int height, int bitCount) {
  if (width == width_ && height == height_ && bitCount == bitCount_ && block_) return true;
  block_.reset();
  width_ = height_ = bitCount_ = rowLen_ = 0;
  int64_t rowLen = ComputeRowLen(width, bitCount, 32);
  if (width <= 0 || height <= 0 || rowLen <= 0) return false;
  block_ = PixelMemory::Allocate(uint64_t(rowLen) * uint64_t(height), maHybrid);
  if (!block_) return false;
  width_ = width, height_ = height, bitCount_ = bitCount, rowLen_ = int(rowLen);
  return true;
}

// ====================================================================== platform bitmaps

void TLxBitmap::EncapsulateTBitmap(TBitmap* bitmap, bool freeFirst) {
  if (freeFirst) FreeImage(true);
  if (!bitmap) return;
  lumenax::PixelFormat pf = lxNone;
  switch (bitmap->BitsPerPixel()) {
    case 1:
      pf = lx1g;
      break;
    case 24:
      pf = lx24RGB;
      break;
    case 32:
      pf = lx32RGB;
      break;
    case 8: {
      pf = lx8g;
      for (int i = 0; i < bitmap->ColorTableSize(); ++i) {
        TRGB c = bitmap->GetColorTableEntry(i);
        if (c.r != i || c.g != i || c.b != i) pf = lx8p;
      }
      break;
    }
    default:
      break;
  }
  // Whatever this bitmap held is released; only the alpha channel survives without freeFirst.
  FreeImage(false);
  if (pf == lxNone || bitmap->Empty()) {
    alpha_.reset();
    return;
  }
  width_ = bitmap->Width();
  height_ = bitmap->Height();
  if (alpha_ && (alpha_->Width() != width_ || alpha_->Height() != height_)) alpha_.reset();
  pixelFormat_ = pf;
  bitCount_ = BitCountOf(pf);
  channelCount_ = ChannelCountOf(pf);
  rowLen_ = int32_t(ComputeRowLen(width_, bitCount_, 32));
  if (pf == lx8p) {
    palette_ = std::make_unique<TRGB[]>(256);
    paletteCount_ = 256;
    for (int i = 0; i < std::min(256, bitmap->ColorTableSize()); ++i)
      palette_[size_t(i)] = bitmap->GetColorTableEntry(i);
  }
  location_ = lxTBitmap;
  bitmap_ = bitmap;
  externalBitmap_ = true;
  BuildRowTable();
  ReallocPending = false;
}

}  // namespace lumenax
