#include "codecs/common/lzw_decoder.h"

#include <algorithm>
#include <cstring>

namespace lumenax {

TLxLzwDecoder::TLxLzwDecoder(const TLxLzwOptions& options) : opt_(options) {
  opt_.LiteralBits = std::clamp(opt_.LiteralBits, 1, 8);
  clear_ = 1u << opt_.LiteralBits;
  end_ = clear_ + 1;
  firstFree_ = clear_ + 2;
  for (uint32_t c = 0; c < clear_; ++c) {
    prefix_[c] = 0;
    suffix_[c] = uint8_t(c);
    first_[c] = uint8_t(c);
    length_[c] = 1;
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

inline bool TLxLzwDecoder::ReadCode(uint32_t& code) {
  if (bitCount_ < width_) {
    // Refill up to 7 bytes at once; the accumulator keeps at most 63 valid bits.
    const size_t size = data_.size();
    if (opt_.LsbFirst) {
      while (bitCount_ <= 56 && pos_ < size) {
        bits_ |= uint64_t(data_[pos_++]) << bitCount_;
        bitCount_ += 8;
      }
    } else {
      while (bitCount_ <= 56 && pos_ < size) {
        bits_ = bits_ << 8 | data_[pos_++];
        bitCount_ += 8;
      }
    }
    if (bitCount_ < width_) return false;
  }
  const uint32_t mask = (1u << width_) - 1;
  if (opt_.LsbFirst) {
    code = uint32_t(bits_) & mask;
    bits_ >>= width_;
  } else {
    code = uint32_t(bits_ >> (bitCount_ - width_)) & mask;
  }
  bitCount_ -= width_;
  return true;
}

inline void TLxLzwDecoder::WriteString(uint32_t code, uint8_t* dst) const {
  uint8_t* p = dst + length_[code];
  while (code >= firstFree_) {
    *--p = suffix_[code];
    code = prefix_[code];
  }
  *--p = uint8_t(code);
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
  while (n < want && failure_ == TLxFailure::None) {
    uint32_t code;
    if (ended_ || !ReadCode(code)) {
      ended_ = true;
      failure_ = TLxFailure::Truncated;
      break;
    }
    if (code == clear_) {
      ResetTable();
      prev_ = -1;
      continue;
    }
    if (code == end_) {
      ended_ = true;
      failure_ = TLxFailure::Truncated;
      break;
    }
    uint32_t str = code;
    if (prev_ < 0) {
      // The first code of a stream, or after a clear code, must be a literal: any other
      // string is undefined.
      if (code >= clear_) {
        failure_ = TLxFailure::BadData;
        break;
      }
    } else if (nextFree_ < uint32_t(kTableSize)) {
      const uint32_t added = nextFree_++;
      const uint32_t prev = uint32_t(prev_);
      // A code that is not in the table yet (normally exactly the one being added) stands for
      // the previous string plus its own first byte.
      suffix_[added] = code < added ? first_[code] : first_[prev];
      prefix_[added] = uint16_t(prev);
      first_[added] = first_[prev];
      length_[added] = uint16_t(length_[prev] + 1);
      if (code >= added) str = added;
      const uint32_t limit = opt_.EarlyChange ? (1u << width_) - 1 : (1u << width_);
      if (nextFree_ >= limit && width_ < kMaxBits) ++width_;
    } else if (opt_.FullTableIsError) {
      failure_ = TLxFailure::BadData;
      break;
    }
    prev_ = int32_t(str);
    const size_t len = length_[str];
    if (len <= want - n) {
      WriteString(str, dst + n);
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
