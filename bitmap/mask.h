// TLxMask: a 1- or 8-bit plane with a bounding box. Readers hand transparency to the I/O
// component through it and writers receive the alpha channel in it.
#pragma once

#include <cstdint>
#include <vector>

namespace lumenax {

class TLxMask {
 public:
  static constexpr int32_t kEmptyBound = 2147483647;

  TLxMask() = default;
  TLxMask(const TLxMask&) = delete;
  TLxMask& operator=(const TLxMask&) = delete;

  int32_t Width = 0;
  int32_t Height = 0;
  int32_t BitsPerPixel = 0;  // 1 or 8; other depths are ignored by every pixel operation
  int32_t RowLen = 0;        // rows padded to 32 bits
  int32_t BoundsLeft = kEmptyBound, BoundsTop = kEmptyBound, BoundsRight = 0, BoundsBottom = 0;
  bool AllOpaque = false;

  // Zero-filled rows, bottom-up; bounds empty; AllOpaque false. False when the size is not
  // representable or memory is missing (the mask is then empty).
  bool Allocate(int width, int height, int bitsPerPixel);
  void Free();
  uint8_t* ScanLine(int row) { return pixels_.data() + int64_t(RowLen) * (Height - 1 - row); }
  const uint8_t* ScanLine(int row) const {
    return pixels_.data() + int64_t(RowLen) * (Height - 1 - row);
  }
  uint8_t* Pixels() { return pixels_.data(); }

  // 0 outside; a set 1-bit pixel yields its bit's value (128 for x mod 8 = 0).
  int GetPixel(int x, int y) const;
  bool IsSelected(int x, int y) const { return GetPixel(x, y) != 0; }
  void SetPixel(int x, int y, int value);
  void Fill(int value);
  void Clear();
  void FillSpan(int value, int x1, int y, int x2);
  bool IsEmpty() const { return BoundsLeft == kEmptyBound; }
  void RecomputeBounds();
  void UpdateAllOpaque();
  void Resize(int width, int height);

 private:
  void Widen(int x, int y);
  std::vector<uint8_t> pixels_;
};

}  // namespace lumenax
