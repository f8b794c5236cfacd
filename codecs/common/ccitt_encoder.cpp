#include "codecs/common/ccitt_encoder.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "codecs/common/bit_order.h"
#include "codecs/common/ccitt_codes.h"

namespace lumenax {

namespace {

struct ModeCode {
  uint32_t Bits;
  int Length;
};
constexpr ModeCode kPass{0x1, 4};        // 0001
constexpr ModeCode kHorizontal{0x1, 3};  // 001
// Vertical modes by a1 - b1, from -3 (VL3) to 3 (VR3).
constexpr ModeCode kVertical[7] = {{0x2, 7}, {0x2, 6}, {0x2, 3}, {0x1, 1},
                                   {0x3, 3}, {0x3, 6}, {0x3, 7}};

// Finished bytes kept before the stream forms write them.
constexpr size_t kStreamChunk = 16 * 1024;

inline int Pixel(const uint8_t* row, uint32_t x) {
  return (row[x >> 3] >> (7 - (x & 7))) & 1;
}

// The first position from x on whose pixel has colour (1 black, 0 white), or width.
uint32_t FindColor(const uint8_t* row, uint32_t x, uint32_t width, int color) {
  const uint8_t none = color ? 0x00 : 0xFF;  // a byte without a pixel of that colour
  while (x < width) {
    uint8_t b = row[x >> 3];
    if ((x & 7) == 0 && b == none) {
      x += 8;
      continue;
    }
    if (!color) b = uint8_t(~b);
    b &= uint8_t(0xFF >> (x & 7));
    if (b) return std::min(width, (x & ~7u) + uint32_t(std::countl_zero(b)));
    x = (x | 7) + 1;
  }
  return width;
}

}  // namespace

TLxCcittEncoder::TLxCcittEncoder(TLxCcittScheme scheme, uint32_t width, int fillOrder)
    : scheme_(scheme),
      width_(width),
      lsbFirst_(fillOrder == 2),
      ref_(RowBytes(), 0),
      cur_(RowBytes(), 0) {}

void TLxCcittEncoder::PutBits(uint32_t bits, int length) {
  acc_ = (acc_ << length) | bits;
  bitCount_ += length;
  while (bitCount_ >= 8) {
    bitCount_ -= 8;
    const uint8_t b = uint8_t(acc_ >> bitCount_);
    bytes_.push_back(lsbFirst_ ? ReverseBits(b) : b);
  }
}

void TLxCcittEncoder::PadToByte() {
  if (bitCount_ % 8) PutBits(0, 8 - bitCount_ % 8);
}

void TLxCcittEncoder::PutRun(uint32_t run, bool black) {
  const auto terminating = black ? CcittBlackTerminating() : CcittWhiteTerminating();
  const auto makeUp = black ? CcittBlackMakeUp() : CcittWhiteMakeUp();
  const auto extended = CcittExtendedMakeUp();
  while (run >= 64) {
    const uint32_t m = run > 2560 ? 2560 : run / 64 * 64;
    const TLxCcittCode& c = m >= 1792 ? extended[(m - 1792) / 64] : makeUp[m / 64 - 1];
    PutBits(c.Bits, c.Length);
    run -= m;
  }
  PutBits(terminating[run].Bits, terminating[run].Length);
}

void TLxCcittEncoder::EncodeOneD(const uint8_t* row) {
  uint32_t x = 0;
  int color = 0;
  while (x < width_) {
    const uint32_t next = FindColor(row, x, width_, !color);
    PutRun(next - x, color);
    x = next;
    color = !color;
  }
}

// a0 is the reference element on the coding row (before the first pixel at the start, with
// colour white), a1 and a2 the next changing elements on the coding row, b1 the first changing
// element on the reference row right of a0 with the colour opposite to a0's, b2 the next.
void TLxCcittEncoder::EncodeTwoD(const uint8_t* row) {
  const uint8_t* ref = ref_.data();
  const uint32_t w = width_;
  uint32_t a0 = 0;
  int color = 0;
  uint32_t a1 = FindColor(row, 0, w, 1);
  uint32_t b1 = FindColor(ref, 0, w, 1);
  for (;;) {
    const uint32_t b2 = FindColor(ref, b1, w, color);
    if (b2 < a1) {
      PutBits(kPass.Bits, kPass.Length);
      a0 = b2;
    } else if (const int64_t d = int64_t(a1) - int64_t(b1); d >= -3 && d <= 3) {
      const ModeCode& m = kVertical[d + 3];
      PutBits(m.Bits, m.Length);
      a0 = a1;
      color = !color;
    } else {
      const uint32_t a2 = FindColor(row, a1, w, color);
      PutBits(kHorizontal.Bits, kHorizontal.Length);
      PutRun(a1 - a0, color);
      PutRun(a2 - a1, !color);
      a0 = a2;
    }
    if (a0 >= w) break;
    a1 = FindColor(row, a0, w, !color);
    b1 = FindColor(ref, FindColor(ref, a0, w, color), w, !color);
  }
}

void TLxCcittEncoder::CodeRow(std::span<const uint8_t> row) {
  const size_t n = RowBytes();
  std::fill(cur_.begin(), cur_.end(), 0);
  std::memcpy(cur_.data(), row.data(), std::min(n, row.size()));
  if (n && width_ % 8) cur_[n - 1] &= uint8_t(0xFF << (8 - width_ % 8));

  switch (scheme_) {
    case TLxCcittScheme::ModifiedHuffman:
      EncodeOneD(cur_.data());
      PadToByte();
      break;
    case TLxCcittScheme::Group3OneD:
      PutBits(kCcittEndOfLine.Bits, kCcittEndOfLine.Length);
      EncodeOneD(cur_.data());
      break;
    case TLxCcittScheme::Group3TwoD:
      PutBits(kCcittEndOfLine.Bits, kCcittEndOfLine.Length);
      PutBits(firstRow_ ? 1 : 0, 1);
      if (firstRow_)
        EncodeOneD(cur_.data());
      else
        EncodeTwoD(cur_.data());
      break;
    case TLxCcittScheme::Group4:
      EncodeTwoD(cur_.data());
      break;
  }
  std::swap(ref_, cur_);
  firstRow_ = false;
}

void TLxCcittEncoder::CodeEnd() {
  if (scheme_ == TLxCcittScheme::Group3TwoD) {
    PutBits(kCcittEndOfLine.Bits, kCcittEndOfLine.Length);
  } else if (scheme_ == TLxCcittScheme::Group4) {
    PutBits(kCcittEndOfLine.Bits, kCcittEndOfLine.Length);
    PutBits(kCcittEndOfLine.Bits, kCcittEndOfLine.Length);
  }
  PadToByte();
  std::fill(ref_.begin(), ref_.end(), 0);
  firstRow_ = true;
}

void TLxCcittEncoder::EncodeRow(std::span<const uint8_t> row, std::vector<uint8_t>& out) {
  CodeRow(row);
  out.insert(out.end(), bytes_.begin(), bytes_.end());
  bytes_.clear();
}

void TLxCcittEncoder::EndStrip(std::vector<uint8_t>& out) {
  CodeEnd();
  out.insert(out.end(), bytes_.begin(), bytes_.end());
  bytes_.clear();
}

bool TLxCcittEncoder::Drain(TStream& stream, bool all) {
  if (bytes_.empty() || (!all && bytes_.size() < kStreamChunk)) return ok_;
  if (ok_) ok_ = stream.Write(bytes_.data(), int64_t(bytes_.size())) == int64_t(bytes_.size());
  bytes_.clear();
  return ok_;
}

bool TLxCcittEncoder::EncodeRow(std::span<const uint8_t> row, TStream& stream) {
  CodeRow(row);
  return Drain(stream, false);
}

bool TLxCcittEncoder::EndStrip(TStream& stream) {
  CodeEnd();
  return Drain(stream, true);
}

}  // namespace lumenax
