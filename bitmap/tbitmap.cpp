#include "bitmap/tbitmap.h"

#include <algorithm>
#include <cstring>

namespace lumenax {

namespace {

int BitsOf(TPixelFormatDIB pf) {
  switch (pf) {
    case pf1bit:
      return 1;
    case pf4bit:
      return 4;
    case pf8bit:
      return 8;
    case pf15bit:
    case pf16bit:
      return 16;
    case pf24bit:
      return 24;
    case pfDevice:
    case pf32bit:
    case pfCustom:
    default:
      return 32;
  }
}

int TableSizeOf(TPixelFormatDIB pf) {
  switch (pf) {
    case pf1bit:
      return 2;
    case pf4bit:
      return 16;
    case pf8bit:
      return 256;
    default:
      return 0;
  }
}

int64_t StrideOf(int w, TPixelFormatDIB pf) {
  return ((int64_t(w) * BitsOf(pf) + 31) / 32) * 4;
}

// Reads pixel x of a row as a colour.
TRGB ReadPixel(const uint8_t* row, int x, TPixelFormatDIB pf, const std::vector<TRGB>& table) {
  auto lookup = [&](int i) { return i < int(table.size()) ? table[size_t(i)] : TRGB{}; };
  switch (pf) {
    case pf1bit:
      return lookup((row[x >> 3] >> (7 - (x & 7))) & 1);
    case pf4bit:
      return lookup((x & 1) ? row[x >> 1] & 15 : row[x >> 1] >> 4);
    case pf8bit:
      return lookup(row[x]);
    case pf15bit: {
      int w = row[2 * x] | row[2 * x + 1] << 8;
      auto c = [](int v) { return uint8_t(v << 3 | v >> 2); };
      return TRGB{c(w & 31), c((w >> 5) & 31), c((w >> 10) & 31)};
    }
    case pf16bit: {
      int w = row[2 * x] | row[2 * x + 1] << 8;
      auto c5 = [](int v) { return uint8_t(v << 3 | v >> 2); };
      int g = (w >> 5) & 63;
      return TRGB{c5(w & 31), uint8_t(g << 2 | g >> 4), c5((w >> 11) & 31)};
    }
    case pf24bit:
      return TRGB{row[3 * x], row[3 * x + 1], row[3 * x + 2]};
    default:
      return TRGB{row[4 * x], row[4 * x + 1], row[4 * x + 2]};
  }
}

int NearestIndex(TRGB c, const std::vector<TRGB>& table) {
  int best = 0;
  int bestD = 1 << 30;
  for (int i = 0; i < int(table.size()); ++i) {
    const TRGB& t = table[size_t(i)];
    int d = (t.r - c.r) * (t.r - c.r) + (t.g - c.g) * (t.g - c.g) + (t.b - c.b) * (t.b - c.b);
    if (d < bestD) bestD = d, best = i;
  }
  return best;
}

void WritePixel(uint8_t* row, int x, TPixelFormatDIB pf, TRGB c, const std::vector<TRGB>& table) {
  switch (pf) {
    case pf1bit: {
      uint8_t bit = uint8_t(0x80 >> (x & 7));
      if (NearestIndex(c, table))
        row[x >> 3] |= bit;
      else
        row[x >> 3] &= uint8_t(~bit);
      break;
    }
    case pf4bit: {
      int i = NearestIndex(c, table);
      uint8_t& b = row[x >> 1];
      b = (x & 1) ? uint8_t((b & 0xF0) | i) : uint8_t((b & 0x0F) | i << 4);
      break;
    }
    case pf8bit:
      row[x] = uint8_t(NearestIndex(c, table));
      break;
    case pf15bit: {
      int w = (c.b >> 3) | (c.g >> 3) << 5 | (c.r >> 3) << 10;
      row[2 * x] = uint8_t(w);
      row[2 * x + 1] = uint8_t(w >> 8);
      break;
    }
    case pf16bit: {
      int w = (c.b >> 3) | (c.g >> 2) << 5 | (c.r >> 3) << 11;
      row[2 * x] = uint8_t(w);
      row[2 * x + 1] = uint8_t(w >> 8);
      break;
    }
    case pf24bit:
      row[3 * x] = c.b, row[3 * x + 1] = c.g, row[3 * x + 2] = c.r;
      break;
    default:
      row[4 * x] = c.b, row[4 * x + 1] = c.g, row[4 * x + 2] = c.r, row[4 * x + 3] = 0;
      break;
  }
}

std::vector<TRGB> DefaultTable(TPixelFormatDIB pf) {
  int n = TableSizeOf(pf);
  std::vector<TRGB> t(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    uint8_t v = uint8_t(n == 1 ? 0 : i * 255 / (n - 1));
    t[size_t(i)] = TRGB{v, v, v};
  }
  return t;
}

}  // namespace

int TBitmap::BitsPerPixel() const {
  return BitsOf(format_);
}
int TBitmap::RowBytes() const {
  return int(StrideOf(width_, format_));
}

void TBitmap::Reallocate(int w, int h, TPixelFormatDIB pf, bool keep) {
  if (w < 0) w = 0;
  if (h < 0) h = 0;
  int64_t stride = StrideOf(w, pf);
  std::vector<uint8_t> fresh(size_t(stride * h), 0);
  if (keep && pf == format_ && !pixels_.empty()) {
    int64_t oldStride = StrideOf(width_, format_);
    int64_t copy = std::min(stride, oldStride);
    for (int y = 0; y < std::min(h, height_); ++y) {
      // bottom-up: top row y lives at (height - 1 - y)
      std::memcpy(&fresh[size_t(stride * (h - 1 - y))],
                  &pixels_[size_t(oldStride * (height_ - 1 - y))], size_t(copy));
    }
  }
  pixels_ = std::move(fresh);
  width_ = w;
  height_ = h;
}

void TBitmap::SetSize(int w, int h) {
  if (w == width_ && h == height_) return;
  Reallocate(w, h, format_, true);
}

void TBitmap::SetPixelFormat(TPixelFormatDIB pf) {
  if (pf == format_) return;
  TPixelFormatDIB old = format_;
  std::vector<uint8_t> oldPixels = std::move(pixels_);
  std::vector<TRGB> oldTable = colorTable_;
  int64_t oldStride = StrideOf(width_, old);
  int64_t stride = StrideOf(width_, pf);
  pixels_.assign(size_t(stride * height_), 0);
  format_ = pf;
  int n = TableSizeOf(pf);
  if (n == 0) {
    colorTable_.clear();
  } else if (int(colorTable_.size()) != n) {
    colorTable_ = DefaultTable(pf);
  }
  if (oldPixels.empty()) return;
  for (int y = 0; y < height_; ++y) {
    const uint8_t* src = &oldPixels[size_t(oldStride * y)];
    uint8_t* dst = &pixels_[size_t(stride * y)];
    for (int x = 0; x < width_; ++x)
      WritePixel(dst, x, pf, ReadPixel(src, x, old, oldTable), colorTable_);
  }
}

void TBitmap::SetMonochrome(bool mono) {
  if (mono)
    SetPixelFormat(pf1bit);
  else if (format_ == pf1bit)
    SetPixelFormat(pfDevice);
}

uint8_t* TBitmap::ScanLine(int row) {
  return pixels_.data() + StrideOf(width_, format_) * (height_ - 1 - row);
}

const uint8_t* TBitmap::ScanLine(int row) const {
  return pixels_.data() + StrideOf(width_, format_) * (height_ - 1 - row);
}

TRGB TBitmap::GetColorTableEntry(int i) const {
  return i >= 0 && i < int(colorTable_.size()) ? colorTable_[size_t(i)] : TRGB{};
}

void TBitmap::SetColorTableEntry(int i, TRGB c) {
  if (i >= 0 && i < int(colorTable_.size())) colorTable_[size_t(i)] = c;
}

void TBitmap::SetPaletteEntries(const TPaletteEntry* entries, int count) {
  palette_.assign(entries, entries + std::max(count, 0));
  // The palette of an indexed DIB is its colour table.
  for (int i = 0; i < std::min(count, int(colorTable_.size())); ++i) {
    colorTable_[size_t(i)] = TRGB{entries[i].peBlue, entries[i].peGreen, entries[i].peRed};
  }
}

void TBitmap::Assign(const TBitmap& other) {
  width_ = other.width_;
  height_ = other.height_;
  format_ = other.format_;
  handleType_ = other.handleType_;
  pixels_ = other.pixels_;
  colorTable_ = other.colorTable_;
  palette_ = other.palette_;
}

void TBitmap::Draw(int x, int y, const TBitmap& other) {
  for (int sy = 0; sy < other.height_; ++sy) {
    int ty = y + sy;
    if (ty < 0 || ty >= height_) continue;
    const uint8_t* src = other.ScanLine(sy);
    uint8_t* dst = ScanLine(ty);
    for (int sx = 0; sx < other.width_; ++sx) {
      int tx = x + sx;
      if (tx < 0 || tx >= width_) continue;
      WritePixel(dst, tx, format_, ReadPixel(src, sx, other.format_, other.colorTable_),
                 colorTable_);
    }
  }
}

}  // namespace lumenax
