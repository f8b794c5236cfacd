// Bit order of packed data. TIFF's FillOrder 2 stores the first bit of every byte in its least
// significant bit; decoders that read most significant bit first take such data through
// ReverseBitOrder (LZW, PackBits, uncompressed 1-bit rows) or read it in that order directly
// (the CCITT decoders take the fill order as a parameter).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace lumenax {

namespace detail {
constexpr std::array<uint8_t, 256> MakeReversedBytes() {
  std::array<uint8_t, 256> t{};
  for (int i = 0; i < 256; ++i) {
    int r = 0;
    for (int b = 0; b < 8; ++b)
      if (i & (1 << b)) r |= 0x80 >> b;
    t[size_t(i)] = uint8_t(r);
  }
  return t;
}
}  // namespace detail

// Each byte value with its bits in the opposite order (0x01 <-> 0x80, 0x03 <-> 0xC0).
inline constexpr std::array<uint8_t, 256> kReversedBits = detail::MakeReversedBytes();

inline uint8_t ReverseBits(uint8_t b) {
  return kReversedBits[b];
}

// Reverses the bit order of every byte in place.
inline void ReverseBitOrder(std::span<uint8_t> bytes) {
  for (uint8_t& b : bytes) b = kReversedBits[b];
}

}  // namespace lumenax
