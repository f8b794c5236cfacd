#include "codecs/common/lzw_decoder.h"

#include <algorithm>
#include <cstring>

namespace lumenax {

TLxLzwDecoder::TLxLzwDecoder(const TLxLzwOptions& options) : opt_(options) {
  opt_.LiteralBits = std::clamp(opt_.LiteralBits, 1, 9);
  clear_ = 1u << opt_.LiteralBits;
  end_ = clear_ + 1;
  firstFree_ = clear_ + 2;
  for (uint32_t c = 0; c < clear_; ++c) {
    prefix_[c] = 0;
    const uint8_t byte = uint8_t(std::min<uint32_t>(c, 255));
    suffix_[c] = byte;
    first_[c] = byte;
    length_[c] = 1;
    head_[c][0] = byte;
  }
  ResetTable();
}

void TLxLzwDecoder::ResetTable() {
  nextFree_ = firstFree_;
  width_ = opt_.LiteralBits + 1;
}

void TLxLzwDecoder::Begin(std::span<const uint8_t> data) {
  data_ = data;
  pos_ = 0;
  bits_ = 0;
  bitCount_ = 0;
  prev_ = -1;
  ended_ = false;
  failure_ = TLxFailure::None;
  carryPos_ = carryEnd_ = 0;
  ResetTable();
}

bool TLxLzwDecoder::Finished() const {
  const bool noMoreCodes =
      ended_ || failure_ != TLxFailure::None || (pos_ >= data_.size() && bitCount_ < width_);
  return noMoreCodes && carryPos_ >= carryEnd_;
}

inline void TLxLzwDecoder::WriteString(uint32_t code, uint8_t* dst) const {
  uint8_t* p = dst + length_[code];
  while (code >= firstFree_) {
    *--p = suffix_[code];
    code = prefix_[code];
  }
  *--p = suffix_[code];
}

template <bool LsbFirst>
size_t TLxLzwDecoder::DecodeCodes(uint8_t* dst, size_t n, size_t want) {
  // The state lives in locals while the loop runs: stores through dst could otherwise alias it.
  const uint8_t* const data = data_.data();
  const size_t size = data_.size();
  size_t pos = pos_;
  uint64_t bits = bits_;
  int bitCount = bitCount_;
  int width = width_;
  uint32_t nextFree = nextFree_;
  int32_t prev = prev_;
  const uint32_t clear = clear_, end = end_;
  uint16_t* const prefix = prefix_.data();
  uint8_t* const suffix = suffix_.data();
  uint8_t* const first = first_.data();
  uint16_t* const length = length_.data();
  auto* const head = head_.data();
  while (n < want) {
    if (bitCount < width) {
      // Refill up to 7 bytes at once; the accumulator keeps at most 63 valid bits.
      if (LsbFirst) {
        while (bitCount <= 56 && pos < size) {
          bits |= uint64_t(data[pos++]) << bitCount;
          bitCount += 8;
        }
      } else {
        while (bitCount <= 56 && pos < size) {
          bits = bits << 8 | data[pos++];
          bitCount += 8;
        }
      }
      if (bitCount < width) {
        ended_ = true;
        failure_ = TLxFailure::Truncated;
        break;
      }
    }
    uint32_t code;
    if (LsbFirst) {
      code = uint32_t(bits) & ((1u << width) - 1);
      bits >>= width;
    } else {
      code = uint32_t(bits >> (bitCount - width)) & ((1u << width) - 1);
    }
    bitCount -= width;
    if (code == clear) {
      nextFree = firstFree_;
      width = opt_.LiteralBits + 1;
      prev = -1;
      continue;
    }
    if (code == end) {
      ended_ = true;
      failure_ = TLxFailure::Truncated;
      break;
    }
    uint32_t str = code;
    if (prev < 0) {
      // The first code of a stream, or after a clear code, must be a literal: any other
      // string is undefined.
      if (code >= clear) {
        failure_ = TLxFailure::BadData;
        break;
      }
    } else if (nextFree < uint32_t(kTableSize)) {
      if (code > nextFree && opt_.CodeAboveNextIsError) {
        failure_ = TLxFailure::BadData;
        break;
      }
      const uint32_t added = nextFree++;
      // A code that is not in the table yet (normally exactly the one being added) stands for
      // the previous string plus its own first byte.
      const uint8_t last = code < added ? first[code] : first[prev];
      suffix[added] = last;
      prefix[added] = uint16_t(prev);
      first[added] = first[prev];
      const uint16_t prevLength = length[prev];
      length[added] = uint16_t(prevLength + 1);
      std::memcpy(head[added], head[prev], kHead);
      if (prevLength < kHead) head[added][prevLength] = last;
      if (code >= added) str = added;
      const uint32_t limit = opt_.EarlyChange ? (1u << width) - 1 : (1u << width);
      if (nextFree >= limit && width < kMaxBits) ++width;
    } else if (opt_.FullTableIsError) {
      failure_ = TLxFailure::BadData;
      break;
    }
    prev = int32_t(str);
    const size_t len = length[str];
    if (len <= want - n) {
      if (want - n >= kHead) {
        // Walk back from the end to the first kHead bytes, then copy those whole (the bytes
        // written past the string's end lie inside out and are overwritten next).
        uint8_t* p = dst + n + len;
        uint32_t c = str;
        for (size_t k = len; k > kHead; --k) {
          *--p = suffix[c];
          c = prefix[c];
        }
        std::memcpy(dst + n, head[c], kHead);
      } else {
        uint8_t* p = dst + n + len;
        uint32_t c = str;
        while (c >= clear) {
          *--p = suffix[c];
          c = prefix[c];
        }
        *--p = suffix[c];
      }
      n += len;
    } else {
      WriteString(str, carry_.data());
      const size_t k = want - n;
      std::memcpy(dst + n, carry_.data(), k);
      carryPos_ = k;
      carryEnd_ = len;
      n = want;
    }
  }
  pos_ = pos;
  bits_ = bits;
  bitCount_ = bitCount;
  width_ = width;
  nextFree_ = nextFree;
  prev_ = prev;
  return n;
}

TLxFailure TLxLzwDecoder::Decode(std::span<uint8_t> out, size_t* produced) {
  const size_t want = out.size();
  uint8_t* dst = out.data();
  size_t n = 0;
  if (failure_ == TLxFailure::None && carryPos_ < carryEnd_) {
    n = std::min(carryEnd_ - carryPos_, want);
    std::memcpy(dst, carry_.data() + carryPos_, n);
    carryPos_ += n;
  }
  if (n < want && failure_ == TLxFailure::None) {
    if (ended_)
      failure_ = TLxFailure::Truncated;
    else
      n = opt_.LsbFirst ? DecodeCodes<true>(dst, n, want) : DecodeCodes<false>(dst, n, want);
  }
  if (n < want) {
    std::memset(dst + n, 0, want - n);
    carryPos_ = carryEnd_ = 0;
  }
  if (produced) *produced = n;
  return n < want ? failure_ : TLxFailure::None;
}

namespace {

class TiffLzwState final : public TLxLzwHookState {
 public:
  TLxLzwDecoder decoder;
  const uint8_t* strip = nullptr;
  size_t size = 0;
};

}  // namespace

TLxFailure TiffLzwDecodeRow(std::span<const uint8_t> strip, std::span<uint8_t> row,
                            std::unique_ptr<TLxLzwHookState>& state) {
  if (strip.empty()) {
    state.reset();
    if (row.empty()) return TLxFailure::None;
    std::memset(row.data(), 0, row.size());
    return TLxFailure::Truncated;
  }
  auto* s = dynamic_cast<TiffLzwState*>(state.get());
  if (!s || s->strip != strip.data() || s->size != strip.size()) {
    auto fresh = std::make_unique<TiffLzwState>();
    fresh->strip = strip.data();
    fresh->size = strip.size();
    fresh->decoder.Begin(strip);
    s = fresh.get();
    state = std::move(fresh);
  }
  return s->decoder.Decode(row);
}

TTiffLzwDecoderHook DefaultTiffLzwDecoderHook = TiffLzwDecodeRow;

}  // namespace lumenax
