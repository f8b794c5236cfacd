#include "codecs/common/lzw_encoder.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace lumenax {

namespace {

constexpr uint32_t kClear = 256;
constexpr uint32_t kEnd = 257;
constexpr uint32_t kFirstCode = 258;
// The last code given to a string; the next new string clears the table instead, so that
// decoders that count one entry behind never pass 4,094 entries.
constexpr uint32_t kLastCode = 4093;
constexpr int kMinWidth = 9;
constexpr int kMaxWidth = 12;

// Dictionary: open addressing with linear probing over 8,192 slots (at most 3,836 strings, so
// under half full). A slot holds (prefix code << 8 | byte) << 12 | code; keys use 20 bits and
// codes stay below 4,094, so an all-ones slot is never a string.
constexpr int kHashBits = 13;
constexpr uint32_t kSlots = 1u << kHashBits;
constexpr uint32_t kEmpty = 0xFFFFFFFFu;

// Output gathered before it goes to the stream.
constexpr size_t kBufferSize = 32 * 1024;
// Bytes one input byte can add at most (a code and a clear code), and what ending adds.
constexpr size_t kBytesPerInput = 3;
constexpr size_t kEndBytes = 16;

inline uint32_t Slot(uint32_t key) {
  return (key * 0x9E3779B1u) >> (32 - kHashBits);
}

class LzwCore {
 public:
  LzwCore() { ClearTable(); }

  // Starts the code stream with a clear code.
  uint8_t* Begin(uint8_t* out) { return Put(out, kClear); }

  // Encodes [p, end); out must have room for kBytesPerInput bytes per input byte.
  uint8_t* Encode(const uint8_t* p, const uint8_t* end, uint8_t* out) {
    if (p == end) return out;
    uint32_t prefix = prefix_;
    if (prefix == kNone) prefix = *p++;
    // The hot state lives in locals: stores through out could otherwise alias the members.
    uint64_t acc = acc_;
    int bits = bits_;
    int width = width_;
    uint32_t next = next_;
    uint32_t* const table = table_.data();
    auto put = [&](uint32_t code) {
      acc = (acc << width) | code;
      bits += width;
      if (bits >= 32) {
        bits -= 32;
        const uint32_t v = uint32_t(acc >> bits);
        out[0] = uint8_t(v >> 24);
        out[1] = uint8_t(v >> 16);
        out[2] = uint8_t(v >> 8);
        out[3] = uint8_t(v);
        out += 4;
      }
    };
    while (p < end) {
      const uint32_t byte = *p++;
      const uint32_t key = prefix << 8 | byte;
      uint32_t slot = Slot(key);
      uint32_t entry;
      while ((entry = table[slot]) != kEmpty) {
        if ((entry >> 12) == key) break;
        slot = (slot + 1) & (kSlots - 1);
      }
      if (entry != kEmpty) {
        prefix = entry & 0xFFF;
        continue;
      }
      put(prefix);
      prefix = byte;
      if (next > kLastCode) {
        put(kClear);
        std::fill(table_.begin(), table_.end(), kEmpty);
        next = kFirstCode;
        width = kMinWidth;
      } else {
        table[slot] = key << 12 | next;
        ++next;
        // The decoder, one string behind, widens when its table reaches 2^width - 1 entries.
        if (next > (1u << width) - 1 && width < kMaxWidth) ++width;
      }
    }
    acc_ = acc;
    bits_ = bits;
    width_ = width;
    next_ = next;
    prefix_ = prefix;
    return out;
  }

  // Writes the pending string, the end-of-information code and the padding bits.
  uint8_t* End(uint8_t* out) {
    if (prefix_ != kNone) {
      out = Put(out, prefix_);
      prefix_ = kNone;
      // Reading that code adds a string to the decoder's table, which may widen its codes
      // before it reads the end-of-information code.
      if (next_ >= (1u << width_) - 1 && width_ < kMaxWidth) ++width_;
    }
    out = Put(out, kEnd);
    if (bits_ % 8) {
      acc_ <<= 8 - bits_ % 8;
      bits_ += 8 - bits_ % 8;
    }
    while (bits_ >= 8) {
      bits_ -= 8;
      *out++ = uint8_t(acc_ >> bits_);
    }
    return out;
  }

 private:
  static constexpr uint32_t kNone = 0xFFFFFFFFu;

  uint8_t* Put(uint8_t* out, uint32_t code) {
    acc_ = (acc_ << width_) | code;
    bits_ += width_;
    while (bits_ >= 8) {
      bits_ -= 8;
      *out++ = uint8_t(acc_ >> bits_);
    }
    return out;
  }

  void ClearTable() { table_.fill(kEmpty); }

  std::array<uint32_t, kSlots> table_;
  uint64_t acc_ = 0;  // bit accumulator, the last bits_ bits not yet written
  int bits_ = 0;
  int width_ = kMinWidth;
  uint32_t next_ = kFirstCode;
  uint32_t prefix_ = kNone;  // the string being extended
};

// The encoder with its output buffer, handed to a sink (bool(const uint8_t*, size_t)) when
// full and at the end.
struct EncoderState : TLxLzwHookState {
  LzwCore core;
  std::array<uint8_t, kBufferSize> buffer;
  size_t fill = 0;
  bool ok = true;

  template <class Sink>
  void Drain(Sink& sink) {
    if (ok && fill) ok = sink(buffer.data(), fill);
    fill = 0;
  }
  template <class Sink>
  void Begin(Sink& sink) {
    if (kBufferSize - fill < kEndBytes) Drain(sink);
    fill = size_t(core.Begin(buffer.data() + fill) - buffer.data());
  }
  template <class Sink>
  void Feed(std::span<const uint8_t> data, Sink& sink) {
    const uint8_t* p = data.data();
    const uint8_t* const end = p + data.size();
    while (p < end) {
      if (kBufferSize - fill < kEndBytes + 1024) Drain(sink);
      const size_t room = (kBufferSize - fill - kEndBytes) / kBytesPerInput;
      const size_t n = std::min(room, size_t(end - p));
      fill = size_t(core.Encode(p, p + n, buffer.data() + fill) - buffer.data());
      p += n;
    }
  }
  template <class Sink>
  void End(Sink& sink) {
    if (kBufferSize - fill < kEndBytes) Drain(sink);
    fill = size_t(core.End(buffer.data() + fill) - buffer.data());
    Drain(sink);
  }
};

}  // namespace

bool TiffLzwEncodeRow(std::span<const uint8_t> data, TStream& stream,
                      std::unique_ptr<TLxLzwHookState>& state) {
  auto sink = [&stream](const uint8_t* p, size_t n) {
    return stream.Write(p, int64_t(n)) == int64_t(n);
  };
  auto* s = dynamic_cast<EncoderState*>(state.get());
  if (data.empty()) {
    if (!s) {
      state.reset();
      return true;
    }
    s->End(sink);
    const bool ok = s->ok;
    state.reset();
    return ok;
  }
  if (!s) {
    auto fresh = std::make_unique<EncoderState>();
    s = fresh.get();
    state = std::move(fresh);
    s->Begin(sink);
  }
  s->Feed(data, sink);
  return s->ok;
}

TTiffLzwEncoderHook DefaultTiffLzwEncoderHook = TiffLzwEncodeRow;

std::vector<uint8_t> EncodeTiffLzw(std::span<const uint8_t> data) {
  std::vector<uint8_t> out;
  auto sink = [&out](const uint8_t* p, size_t n) {
    out.insert(out.end(), p, p + n);
    return true;
  };
  auto s = std::make_unique<EncoderState>();
  s->Begin(sink);
  s->Feed(data, sink);
  s->End(sink);
  return out;
}

void DifferenceRow8(std::span<uint8_t> row, int samplesPerPixel) {
  if (samplesPerPixel < 1) return;
  const size_t step = size_t(samplesPerPixel);
  // From the right, so that every difference is taken from an original sample.
  for (size_t i = row.size(); i-- > step;) row[i] = uint8_t(row[i] - row[i - step]);
}

}  // namespace lumenax
