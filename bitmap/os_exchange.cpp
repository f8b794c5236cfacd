// Exchange with platform bitmaps: the DIB block, copies from a TBitmap or a DIB, and keeping
// an lxTBitmap bitmap in step with a TBitmap that callers draw on or resize directly.
#include <algorithm>
#include <cstring>
#include <memory>

#include "bitmap/bitmap.h"
#include "bitmap/dibbitmap.h"
#include "bitmap/tbitmap.h"

namespace lumenax {

// ====================================================================== TLxDibbitmap

bool TLxDibbitmap::Allocate(int width, int height, lumenax::PixelFormat pf) {
  FreeImage();
  if ((pf != lx1g && pf != lx24RGB) || width <= 0 || height <= 0) return false;
  const int bits = pf == lx1g ? 1 : 24;
  const int64_t rowLen = ComputeRowLen(width, bits, 32);
  if (rowLen <= 0) return false;
  block_ = PixelMemory::Allocate(uint64_t(rowLen) * uint64_t(height), maHybrid);
  if (!block_) return false;
  std::memset(block_.get(), 0, size_t(rowLen) * size_t(height));
  width_ = width;
  height_ = height;
  bitCount_ = bits;
  rowLen_ = int(rowLen);
  return true;
}

void TLxDibbitmap::FreeImage() {
  block_.reset();
  width_ = height_ = bitCount_ = rowLen_ = 0;
}

lumenax::PixelFormat TLxDibbitmap::PixelFormat() const {
  return bitCount_ == 1 ? lx1g : bitCount_ == 24 ? lx24RGB : lxNone;
}

void TLxDibbitmap::Assign(TLxBaseBitmap& source) {
  auto* dib = dynamic_cast<TLxDibbitmap*>(&source);
  if (!dib || dib == this) return;
  if (!Allocate(dib->Width(), dib->Height(), dib->PixelFormat())) return;
  std::memcpy(block_.get(), dib->block_.get(), size_t(rowLen_) * size_t(height_));
}

// ====================================================================== TBitmap layouts

namespace {

// The colour table of a 1/4/8-bit TBitmap is a gray ramp (entry i is i, i, i).
bool IsGrayRamp(const TBitmap& b) {
  for (int i = 0; i < b.ColorTableSize(); ++i) {
    TRGB c = b.GetColorTableEntry(i);
    if (c.r != i || c.g != i || c.b != i) return false;
  }
  return b.ColorTableSize() == 256;
}

// A 1-bit TBitmap whose colours are black (0) and white (1) holds bilevel pixels.
bool IsBlackAndWhite(const TBitmap& b) {
  return b.GetColorTableEntry(0) == TRGB{0, 0, 0} && b.GetColorTableEntry(1) == TRGB{255, 255, 255};
}

// 5 and 6-bit samples widened to 8 bits by replicating their high bits.
inline uint8_t Widen5(unsigned v) {
  return uint8_t(v << 3 | v >> 2);
}
inline uint8_t Widen6(unsigned v) {
  return uint8_t(v << 2 | v >> 4);
}

}  // namespace

// ====================================================================== copies

void TLxBitmap::AdoptOwnTBitmap(std::unique_ptr<TBitmap> bitmap) {
  // Depths without a layout of their own become 24 bits, so that rows never get another
  // layout's length.
  const int bits = bitmap->BitsPerPixel();
  if (bits != 1 && bits != 8 && bits != 24 && bits != 32) bitmap->SetPixelFormat(pf24bit);
  TBitmap* raw = bitmap.get();
  const bool wasAlpha = IsAlphaChannel;
  EncapsulateTBitmap(raw, true);
  IsAlphaChannel = wasAlpha;
  if (location_ != lxTBitmap) return;  // empty
  externalBitmap_ = false;
  ownBitmap_ = std::move(bitmap);
}

void TLxBitmap::CopyFromTBitmap(TBitmap& bitmap) {
  if (location_ == lxTBitmap) {
    AdoptOwnTBitmap(std::make_unique<TBitmap>(bitmap));
    AllOpaque = false;
    return;
  }
  const int w = bitmap.Width(), h = bitmap.Height();
  const int bits = bitmap.BitsPerPixel();
  lumenax::PixelFormat pf = lxNone;
  switch (bitmap.PixelFormat()) {
    case pf1bit:
      pf = IsBlackAndWhite(bitmap) ? lx1g : lx8p;
      break;
    case pf4bit:
    case pf8bit:
      pf = lx8p;
      break;
    case pf15bit:
    case pf16bit:
    case pf24bit:
      pf = lx24RGB;
      break;
    case pf32bit:
      pf = lx32RGB;
      break;
    default:
      return;  // device-dependent and custom bitmaps: nothing is done
  }
  if (bitmap.Empty() || !Allocate(w, h, pf)) return;
  if (pf == lx8p) {
    for (int i = 0; i < PaletteCount(); ++i)
      SetPaletteEntry(i, i < bitmap.ColorTableSize() ? bitmap.GetColorTableEntry(i) : TRGB{});
  }
  const int64_t srcLen = (int64_t(w) * bits + 31) / 32 * 4;
  for (int y = 0; y < h; ++y) {
    const uint8_t* src = bitmap.ScanLine(y);
    uint8_t* dst = ScanLine(y);
    switch (bitmap.PixelFormat()) {
      case pf1bit:
        if (pf == lx1g) {
          std::memcpy(dst, src, size_t(std::min<int64_t>(rowLen_, srcLen)));
        } else {
          for (int x = 0; x < w; ++x) dst[x] = (src[x >> 3] >> (7 - (x & 7))) & 1;
        }
        break;
      case pf4bit:
        for (int x = 0; x < w; ++x) dst[x] = (x & 1) ? src[x >> 1] & 15 : src[x >> 1] >> 4;
        break;
      case pf15bit:
      case pf16bit:
        for (int x = 0; x < w; ++x) {
          const unsigned v = unsigned(src[2 * x] | src[2 * x + 1] << 8);
          uint8_t* p = dst + 3 * x;
          if (bitmap.PixelFormat() == pf15bit) {
            p[2] = Widen5(v >> 10 & 31);
            p[1] = Widen5(v >> 5 & 31);
          } else {
            p[2] = Widen5(v >> 11);
            p[1] = Widen6(v >> 5 & 63);
          }
          p[0] = Widen5(v & 31);
        }
        break;
      default:
        std::memcpy(dst, src, size_t(std::min<int64_t>(rowLen_, srcLen)));
        break;
    }
  }
  AllOpaque = false;
}

void TLxBitmap::CopyFromDibBitmap(TLxDibbitmap* dib) {
  if (!dib || dib->PixelFormat() == lxNone) return;
  if (location_ == lxTBitmap) {
    auto copy = std::make_unique<TBitmap>();
    copy->SetPixelFormat(dib->BitCount() == 1 ? pf1bit : pf24bit);
    if (dib->BitCount() == 1) {
      copy->SetColorTableEntry(0, TRGB{0, 0, 0});
      copy->SetColorTableEntry(1, TRGB{255, 255, 255});
    }
    copy->SetSize(dib->Width(), dib->Height());
    for (int y = 0; y < dib->Height(); ++y)
      std::memcpy(copy->ScanLine(y), dib->ScanLine(y),
                  size_t(std::min(copy->RowBytes(), dib->RowLen())));
    AdoptOwnTBitmap(std::move(copy));
    return;
  }
  if (!Allocate(dib->Width(), dib->Height(), dib->PixelFormat())) return;
  for (int y = 0; y < height_; ++y)
    std::memcpy(ScanLine(y), dib->ScanLine(y), size_t(std::min(rowLen_, dib->RowLen())));
}

void TLxBitmap::SyncFromTBitmap() {
  if (location_ != lxTBitmap || !bitmap_ || syncing_) return;
  syncing_ = true;
  const int bits = bitmap_->BitsPerPixel();
  // Depths without a layout of their own are turned into 24 bits first.
  if (bits != 1 && bits != 8 && bits != 24 && bits != 32) bitmap_->SetPixelFormat(pf24bit);
  lumenax::PixelFormat pf = lx24RGB;
  switch (bitmap_->BitsPerPixel()) {
    case 1:
      pf = lx1g;
      break;
    case 8:
      pf = IsAlphaChannel || IsGrayRamp(*bitmap_) ? lx8g : lx8p;
      break;
    case 32:
      pf = lx32RGB;
      break;
    default:
      break;
  }
  const int w = std::max(bitmap_->Width(), 0), h = std::max(bitmap_->Height(), 0);
  if (w != width_ || h != height_ || pf != pixelFormat_) {
    const int64_t rowLen = ComputeRowLen(w, BitCountOf(pf), 32);
    width_ = w;
    height_ = h;
    pixelFormat_ = pf;
    bitCount_ = BitCountOf(pf);
    channelCount_ = ChannelCountOf(pf);
    rowLen_ = rowLen < 0 ? 0 : int32_t(rowLen);
    // The alpha channel follows the new size; its content is gone, so it is opaque.
    if (alpha_) {
      alpha_->Allocate(w, h, lx8g);
      alpha_->Fill(255);
      alpha_->AllOpaque = true;
    }
    BuildRowTable();
  }
  if (height_ > 0 && (rowTable_.empty() || bitmap_->ScanLine(0) != rowTable_[0])) BuildRowTable();
  if (pf == lx8p) {
    if (!palette_ || paletteCount_ != 256) {
      palette_ = std::make_unique<TRGB[]>(256);
      paletteCount_ = 256;
    }
    for (int i = 0; i < 256; ++i) {
      const TRGB c = bitmap_->GetColorTableEntry(i);
      if (!(palette_[size_t(i)] == c)) palette_[size_t(i)] = c;
    }
  }
  syncing_ = false;
}

}  // namespace lumenax
