#include "codecs/common/packbits.h"

#include <algorithm>
#include <cstring>

namespace lumenax {

TLxPackBitsResult DecodePackBits(std::span<const uint8_t> in, std::span<uint8_t> out) {
  const size_t inSize = in.size(), outSize = out.size();
  size_t i = 0, o = 0;
  while (o < outSize && i < inSize) {
    const int n = int8_t(in[i++]);
    if (n >= 0) {
      const size_t count = size_t(n) + 1;
      const size_t avail = std::min(count, inSize - i);
      const size_t k = std::min(avail, outSize - o);
      std::memcpy(out.data() + o, in.data() + i, k);
      o += k;
      i += avail;
    } else if (n != -128) {
      if (i >= inSize) break;  // the run's byte is missing
      const size_t count = size_t(1 - n);
      const size_t k = std::min(count, outSize - o);
      std::memset(out.data() + o, in[i++], k);
      o += k;
    }
  }
  if (o < outSize) std::memset(out.data() + o, 0, outSize - o);
  TLxPackBitsResult r;
  r.Consumed = i;
  r.Produced = o;
  r.Complete = o == outSize;
  return r;
}

bool TLxPackBitsReader::Next(std::span<uint8_t> out) {
  const size_t inSize = in_.size(), outSize = out.size();
  size_t o = 0;
  for (;;) {
    if (literalLeft_) {
      const size_t k = std::min(literalLeft_, outSize - o);
      std::memcpy(out.data() + o, in_.data() + i_, k);
      o += k, i_ += k, literalLeft_ -= k;
    } else if (runLeft_) {
      const size_t k = std::min(runLeft_, outSize - o);
      std::memset(out.data() + o, runByte_, k);
      o += k, runLeft_ -= k;
    }
    if (o == outSize || i_ >= inSize) break;
    const int n = int8_t(in_[i_++]);
    if (n >= 0) {
      // A literal cut short by the end of the input delivers the bytes there are.
      literalLeft_ = std::min(size_t(n) + 1, inSize - i_);
    } else if (n != -128) {
      if (i_ >= inSize) break;  // the run's byte is missing
      runByte_ = in_[i_++];
      runLeft_ = size_t(1 - n);
    }
  }
  if (o < outSize) std::memset(out.data() + o, 0, outSize - o);
  return o == outSize;
}

void EncodePackBits(std::span<const uint8_t> row, std::vector<uint8_t>& out) {
  const size_t n = row.size();
  out.reserve(out.size() + PackBitsBound(n));
  size_t literalStart = 0, literalCount = 0;
  auto flush = [&] {
    if (!literalCount) return;
    out.push_back(uint8_t(literalCount - 1));
    out.insert(out.end(), row.begin() + ptrdiff_t(literalStart),
               row.begin() + ptrdiff_t(literalStart + literalCount));
    literalCount = 0;
  };
  size_t p = 0;
  while (p < n) {
    size_t r = 1;
    while (r < 128 && p + r < n && row[p + r] == row[p]) ++r;
    if (r >= 4) {
      flush();
      out.push_back(uint8_t(int8_t(1 - int(r))));
      out.push_back(row[p]);
      p += r;
      continue;
    }
    if (literalCount == 128) flush();
    if (!literalCount) literalStart = p;
    ++literalCount;
    ++p;
  }
  flush();
}

}  // namespace lumenax
