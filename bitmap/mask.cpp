#include "bitmap/mask.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "bitmap/bitmap.h"

namespace lumenax {

namespace {

bool TryZeroed(std::vector<uint8_t>& v, uint64_t size) {
  try {
    v.assign(size_t(size), 0);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
}

}  // namespace

bool TLxMask::Allocate(int width, int height, int bitsPerPixel) {
  Free();
  int64_t rowLen = ComputeRowLen(width, std::max(bitsPerPixel, 0), 32);
  if (width < 0 || height < 0 || bitsPerPixel < 0 || rowLen < 0) return false;
  std::vector<uint8_t> p;
  if (!TryZeroed(p, uint64_t(rowLen) * uint64_t(height))) return false;
  pixels_ = std::move(p);
  Width = width;
  Height = height;
  BitsPerPixel = bitsPerPixel;
  RowLen = int32_t(rowLen);
  BoundsLeft = BoundsTop = kEmptyBound;
  BoundsRight = BoundsBottom = 0;
  AllOpaque = false;
  return true;
}

void TLxMask::Free() {
  pixels_.clear();
  pixels_.shrink_to_fit();
  Width = Height = BitsPerPixel = RowLen = 0;
}

int TLxMask::GetPixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= Width || y >= Height || pixels_.empty()) return 0;
  if (BitsPerPixel == 1) return ScanLine(y)[x >> 3] & (0x80 >> (x & 7));
  if (BitsPerPixel == 8) return ScanLine(y)[x];
  return 0;
}

void TLxMask::Widen(int x, int y) {
  BoundsLeft = std::min(BoundsLeft, x);
  BoundsTop = std::min(BoundsTop, y);
  BoundsRight = std::max(BoundsRight, x);
  BoundsBottom = std::max(BoundsBottom, y);
  BoundsLeft = std::clamp(BoundsLeft, 0, std::max(Width - 1, 0));
  BoundsTop = std::clamp(BoundsTop, 0, std::max(Height - 1, 0));
  BoundsRight = std::clamp(BoundsRight, 0, std::max(Width - 1, 0));
  BoundsBottom = std::clamp(BoundsBottom, 0, std::max(Height - 1, 0));
}

void TLxMask::SetPixel(int x, int y, int value) {
  if (x < 0 || y < 0 || x >= Width || y >= Height || pixels_.empty()) return;
  if (value != 0) Widen(x, y);
  if (AllOpaque) AllOpaque = BitsPerPixel != 8 || value == 255;
  if (BitsPerPixel == 1) {
    uint8_t bit = uint8_t(0x80 >> (x & 7));
    uint8_t& b = ScanLine(y)[x >> 3];
    b = value ? uint8_t(b | bit) : uint8_t(b & ~bit);
  } else if (BitsPerPixel == 8) {
    ScanLine(y)[x] = uint8_t(value);
  }
}

void TLxMask::Fill(int value) {
  if (!pixels_.empty())
    std::memset(pixels_.data(), uint8_t(value), size_t(int64_t(RowLen) * Height));
  AllOpaque = BitsPerPixel != 8 || value == 255;
}

void TLxMask::Clear() {
  Fill(0);
  BoundsLeft = BoundsTop = kEmptyBound;
  BoundsRight = BoundsBottom = 0;
}

void TLxMask::FillSpan(int value, int x1, int y, int x2) {
  if (pixels_.empty() || Height <= 0 || Width <= 0) return;
  x1 = std::max(x1, 0);
  x2 = std::min(x2, Width - 1);
  y = std::clamp(y, 0, Height - 1);
  if (AllOpaque) AllOpaque = BitsPerPixel != 8 || value == 255;
  if (x2 < x1) return;
  uint8_t* row = ScanLine(y);
  if (BitsPerPixel == 1) {
    for (int x = x1; x <= x2; ++x) {
      uint8_t bit = uint8_t(0x80 >> (x & 7));
      row[x >> 3] = value == 1 ? uint8_t(row[x >> 3] | bit) : uint8_t(row[x >> 3] & ~bit);
    }
  } else if (BitsPerPixel == 8) {
    std::memset(row + x1, uint8_t(value), size_t(x2 - x1 + 1));
  }
}

void TLxMask::RecomputeBounds() {
  BoundsLeft = BoundsTop = kEmptyBound;
  BoundsRight = BoundsBottom = 0;
  if (BitsPerPixel != 1 && BitsPerPixel != 8) return;
  // Each row is searched from both ends for its first and last set pixel, so a mask costs
  // one pass at most, and zero bytes of 1-bit rows are skipped whole.
  for (int y = 0; y < Height; ++y) {
    const uint8_t* r = ScanLine(y);
    int a = 0, b = Width - 1;
    if (BitsPerPixel == 8) {
      while (a <= b && r[a] == 0) ++a;
      if (a > b) continue;
      while (r[b] == 0) --b;
    } else {
      while (a <= b && (a & 7) == 0 && r[a >> 3] == 0) a += 8;
      while (a <= b && !(r[a >> 3] & (0x80 >> (a & 7)))) ++a;
      if (a > b) continue;
      while (!(r[b >> 3] & (0x80 >> (b & 7)))) --b;
    }
    Widen(a, y);
    Widen(b, y);
  }
}

void TLxMask::UpdateAllOpaque() {
  if (BitsPerPixel == 1) {
    for (int y = 0; y < Height; ++y) {
      const uint8_t* row = ScanLine(y);
      for (int i = 0; i < Width / 8; ++i)
        if (row[i] != 255) return void(AllOpaque = false);
      for (int x = Width / 8 * 8; x < Width; ++x)
        if (!(row[x >> 3] & (0x80 >> (x & 7)))) return void(AllOpaque = false);
    }
  } else if (BitsPerPixel == 8) {
    for (int y = 0; y < Height; ++y) {
      const uint8_t* row = ScanLine(y);
      for (int x = 0; x < Width; ++x)
        if (row[x] != 255) return void(AllOpaque = false);
    }
  }
  AllOpaque = true;
}

void TLxMask::Resize(int width, int height) {
  int64_t rowLen = ComputeRowLen(width, std::max(BitsPerPixel, 0), 32);
  if (width < 0 || height < 0 || rowLen < 0) return;
  std::vector<uint8_t> p;
  if (!TryZeroed(p, uint64_t(rowLen) * uint64_t(height))) return;
  int rows = std::min(Height, height);
  int64_t len = std::min<int64_t>(RowLen, rowLen);
  for (int y = 0; y < rows && !pixels_.empty(); ++y)
    std::memcpy(p.data() + rowLen * (height - 1 - y), ScanLine(y), size_t(len));
  pixels_ = std::move(p);
  Width = width;
  Height = height;
  RowLen = int32_t(rowLen);
  if (BoundsLeft < BoundsRight) {
    BoundsLeft = std::clamp(BoundsLeft, 0, std::max(width - 1, 0));
    BoundsRight = std::clamp(BoundsRight, 0, std::max(width - 1, 0));
    BoundsTop = std::clamp(BoundsTop, 0, std::max(height - 1, 0));
    BoundsBottom = std::clamp(BoundsBottom, 0, std::max(height - 1, 0));
  }
}

}  // namespace lumenax
