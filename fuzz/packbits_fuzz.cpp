// libFuzzer target of PackBits. Bytes 0-1 give the output size; the rest is decoded, stays
// inside both buffers, and what it decoded must survive an encode-decode round trip within
// the encoder's bound. Decoded piece by piece (pieces of 1 + byte 0 % 61 bytes) it must give
// the same bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codecs/common/packbits.h"

using namespace lumenax;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t outSize = size_t(data[0] | data[1] << 8);
  const std::span<const uint8_t> in(data + 2, size - 2);
  std::vector<uint8_t> out(outSize);
  const TLxPackBitsResult r = DecodePackBits(in, out);
  if (r.Consumed > in.size() || r.Produced > outSize || r.Complete != (r.Produced == outSize))
    __builtin_trap();
  for (size_t i = r.Produced; i < outSize; ++i)
    if (out[i] != 0) __builtin_trap();

  TLxPackBitsReader reader(in);
  const size_t piece = 1 + data[0] % 61;
  std::vector<uint8_t> pieces(outSize);
  bool complete = true;
  for (size_t at = 0; at < outSize; at += piece)
    complete &= reader.Next({pieces.data() + at, std::min(piece, outSize - at)});
  if (pieces != out || complete != r.Complete) __builtin_trap();

  std::vector<uint8_t> packed;
  EncodePackBits(out, packed);
  if (packed.size() > PackBitsBound(out.size())) __builtin_trap();
  std::vector<uint8_t> again(outSize);
  const TLxPackBitsResult r2 = DecodePackBits(packed, again);
  if (!r2.Complete || r2.Consumed != packed.size() || again != out) __builtin_trap();
  return 0;
}
