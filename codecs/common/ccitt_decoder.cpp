#include "codecs/common/ccitt_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "codecs/common/bit_order.h"
#include "codecs/common/ccitt_codes.h"

namespace lumenax {

namespace {

// ---------------------------------------------------------------------------------------------
// Bits of the data, in code order, with zeros past the end.

class BitReader {
 public:
  BitReader(std::span<const uint8_t> data, int fillOrder, uint64_t pos)
      : data_(data.data()),
        size_(data.size()),
        sizeBits_(uint64_t(data.size()) * 8),
        pos_(std::min(pos, uint64_t(data.size()) * 8)),
        lsbFirst_(fillOrder != 1) {}

  uint64_t Position() const { return pos_; }
  uint64_t Available() const { return sizeBits_ - pos_; }
  bool AtEnd() const { return pos_ >= sizeBits_; }
  void Skip(uint64_t n) { pos_ = n >= Available() ? sizeBits_ : pos_ + n; }
  void SkipToEnd() { pos_ = sizeBits_; }

  // The next 32 bits, the first in bit 31; bits past the end of the data read as 0.
  uint32_t Peek32() const {
    const size_t b = size_t(pos_ >> 3);
    uint64_t v = 0;
    if (b + 5 <= size_) {
      for (size_t k = 0; k < 5; ++k) v = v << 8 | Byte(b + k);
    } else {
      for (size_t k = 0; k < 5; ++k) v = v << 8 | (b + k < size_ ? Byte(b + k) : 0);
    }
    return uint32_t((v << (24 + (pos_ & 7))) >> 32);
  }

  // Leading zero bits from the position. found: a one bit follows them within the data.
  uint64_t CountZeros(bool& found) const {
    uint64_t n = 0;
    BitReader r = *this;
    while (!r.AtEnd()) {
      const uint32_t bits = r.Peek32();
      if (bits) {
        const uint64_t z = uint64_t(__builtin_clz(bits));
        found = z < r.Available();
        return found ? n + z : n + r.Available();
      }
      const uint64_t step = std::min<uint64_t>(32, r.Available());
      n += step;
      r.Skip(step);
    }
    found = false;
    return n;
  }

 private:
  uint8_t Byte(size_t i) const { return lsbFirst_ ? kReversedBits[data_[i]] : data_[i]; }

  const uint8_t* data_;
  size_t size_;
  uint64_t sizeBits_;
  uint64_t pos_;
  bool lsbFirst_;
};

// ---------------------------------------------------------------------------------------------
// Run code lookup by the next 13 bits.

enum : uint8_t { kInvalid = 0, kTerminating, kMakeUp, kZeros };

struct RunEntry {
  uint16_t Run = 0;
  uint8_t Length = 0;
  uint8_t Kind = kInvalid;
};

constexpr int kLookupBits = 13;

struct RunTables {
  std::array<RunEntry, 1 << kLookupBits> White, Black;

  RunTables() {
    Add(White, CcittWhiteTerminating(), kTerminating);
    Add(White, CcittWhiteMakeUp(), kMakeUp);
    Add(White, CcittExtendedMakeUp(), kMakeUp);
    Add(Black, CcittBlackTerminating(), kTerminating);
    Add(Black, CcittBlackMakeUp(), kMakeUp);
    Add(Black, CcittExtendedMakeUp(), kMakeUp);
    // Eight or more zeros: end-of-line, fill, or the 9- to 11-bit patterns 0...01.
    for (size_t i = 0; i < (1u << (kLookupBits - 8)); ++i) {
      White[i].Kind = kZeros;
      Black[i].Kind = kZeros;
    }
  }

  template <size_t N>
  static void Add(std::array<RunEntry, 1 << kLookupBits>& table,
                  std::span<const TLxCcittCode, N> codes, uint8_t kind) {
    for (const TLxCcittCode& c : codes) {
      const int spare = kLookupBits - c.Length;
      const size_t base = size_t(c.Bits) << spare;
      for (size_t s = 0; s < (size_t(1) << spare); ++s) table[base + s] = {c.Run, c.Length, kind};
    }
  }
};

const RunTables& Tables() {
  static const RunTables tables;
  return tables;
}

// ---------------------------------------------------------------------------------------------
// Row painting and reference-row scanning. Positions are pixel columns; rows are white (1)
// where nothing was painted.

void ClearBits(uint8_t* row, uint32_t x0, uint32_t x1) {
  if (x0 >= x1) return;
  size_t i0 = x0 >> 3, i1 = (x1 - 1) >> 3;
  const uint8_t head = uint8_t(0xFF >> (x0 & 7));              // bits from x0 on
  const uint8_t tail = uint8_t(0xFF << (7 - ((x1 - 1) & 7)));  // bits up to x1 - 1
  if (i0 == i1) {
    row[i0] &= uint8_t(~(head & tail));
    return;
  }
  row[i0] &= uint8_t(~head);
  if (i1 > i0 + 1) std::memset(row + i0 + 1, 0, i1 - i0 - 1);
  row[i1] &= uint8_t(~tail);
}

// Paints [x0, x1) in a colour onto a white row (white needs nothing).
inline void Paint(uint8_t* row, uint32_t x0, uint32_t x1, bool white) {
  if (!white) ClearBits(row, x0, x1);
}

inline bool PixelWhite(const uint8_t* row, uint32_t x) {
  return row[x >> 3] >> (7 - (x & 7)) & 1;
}

// First column >= from of the colour, or width.
uint32_t FindColour(const uint8_t* row, uint32_t from, uint32_t width, bool white) {
  if (from >= width) return width;
  const uint8_t flip = white ? 0x00 : 0xFF;
  size_t i = from >> 3;
  const size_t bytes = (size_t(width) + 7) >> 3;
  uint32_t x = uint32_t(uint8_t(row[i] ^ flip) & (0xFF >> (from & 7)));
  while (!x) {
    if (++i >= bytes) return width;
    x = uint8_t(row[i] ^ flip);
  }
  const uint32_t p = uint32_t(i * 8) + uint32_t(__builtin_clz(x) - 24);
  return std::min(p, width);
}

// b1: the first changing element of the reference row right of a0 whose colour is the
// opposite of the current colour (a pixel before the row counts as white).
uint32_t FindB1(const uint8_t* ref, int64_t a0, uint32_t width, bool white) {
  const uint32_t start = uint32_t(a0 + 1);
  if (start >= width) return width;
  const bool target = !white;
  const bool before = start == 0 ? true : PixelWhite(ref, start - 1);
  uint32_t p = start;
  if (before == target) p = FindColour(ref, p, width, !target);
  return FindColour(ref, p, width, target);
}

// ---------------------------------------------------------------------------------------------
// One-dimensional rows.

constexpr uint32_t kRunCap = 1u << 30;

enum class RunResult { Ok, EndOfLine, EndOfData };

// Reads one run (make-up codes and a terminating code) of a colour, as in horizontal mode.
// Unknown bits are skipped; an end-of-line ends the run early and is left in place.
RunResult ReadRun(BitReader& br, bool white, uint32_t& run) {
  const RunTables& t = Tables();
  run = 0;
  for (;;) {
    if (br.AtEnd()) return RunResult::EndOfData;
    const RunEntry& e = (white ? t.White : t.Black)[br.Peek32() >> (32 - kLookupBits)];
    if (e.Kind == kZeros) {
      bool found;
      const uint64_t zeros = br.CountZeros(found);
      if (!found) return RunResult::EndOfData;
      if (zeros >= 11) return RunResult::EndOfLine;
      br.Skip(zeros + 1);  // 000000001, 0000000001, 00000000001: no meaning
      continue;
    }
    if (e.Kind == kInvalid) {
      br.Skip(1);
      continue;
    }
    if (e.Length > br.Available()) return RunResult::EndOfData;
    br.Skip(e.Length);
    run = std::min(run + e.Run, kRunCap);
    if (e.Kind == kTerminating) return RunResult::Ok;
  }
}

TLxCcittRowEnd Decode1D(BitReader& br, uint8_t* row, uint32_t width) {
  const RunTables& t = Tables();
  uint32_t a0 = 0, run = 0;
  bool white = true, started = false;
  for (;;) {
    if (br.AtEnd()) {
      Paint(row, a0, width, white);
      return TLxCcittRowEnd::EndOfData;
    }
    const RunEntry& e = (white ? t.White : t.Black)[br.Peek32() >> (32 - kLookupBits)];
    if (e.Kind == kZeros) {
      bool found;
      const uint64_t zeros = br.CountZeros(found);
      if (!found) {
        br.SkipToEnd();
        Paint(row, a0, width, white);
        return TLxCcittRowEnd::EndOfData;
      }
      if (zeros < 11) {  // 000000001, 0000000001, 00000000001: no meaning
        br.Skip(zeros + 1);
        continue;
      }
      if (!started) {  // end-of-line (with fill bits) before the row: skipped
        br.Skip(zeros + 1);
        continue;
      }
      Paint(row, a0, width, white);
      return TLxCcittRowEnd::EndOfLine;
    }
    if (e.Kind == kInvalid) {
      br.Skip(1);
      continue;
    }
    if (e.Length > br.Available()) {
      br.SkipToEnd();
      Paint(row, a0, width, white);
      return TLxCcittRowEnd::EndOfData;
    }
    br.Skip(e.Length);
    started = true;
    run = std::min(run + e.Run, kRunCap);
    if (e.Kind == kMakeUp) continue;
    const uint32_t end = uint32_t(std::min<uint64_t>(uint64_t(a0) + run, width));
    Paint(row, a0, end, white);
    a0 = end;
    run = 0;
    white = !white;
    if (a0 >= width) return TLxCcittRowEnd::Filled;
  }
}

uint32_t UsableWidth(uint32_t width, size_t bytes) {
  return uint32_t(std::min<uint64_t>(width, uint64_t(bytes) * 8));
}

void WhiteRow(std::span<uint8_t> row, uint32_t width) {
  std::memset(row.data(), 0xFF, (size_t(width) + 7) / 8);
}

// ---------------------------------------------------------------------------------------------
// Two-dimensional rows.

enum Mode : uint8_t {
  kPass,
  kHorizontal,
  kVertical,   // with an offset
  kExtension,  // uncompressed mode
  kEndOfLine,
  kSkipBits,  // unknown code: skip Length bits
  kNoData,
};

struct ModeCode {
  Mode Kind;
  int Offset = 0;
  uint64_t Length = 0;
};

ModeCode ReadModeCode(const BitReader& br, bool fillMode) {
  if (br.AtEnd()) return {kNoData};
  const uint32_t bits = br.Peek32();
  const int lz = bits ? __builtin_clz(bits) : 32;
  // The code's bits after its first one bit.
  auto after = [&](int n) { return lz + 1 + n <= 32 ? (bits << (lz + 1)) >> (32 - n) : 0u; };
  ModeCode m{kSkipBits, 0, 1};
  switch (lz) {
    case 0:
      m = {kVertical, 0, 1};
      break;
    case 1:
      m = {kVertical, after(1) ? 1 : -1, 3};
      break;
    case 2:
      m = {kHorizontal, 0, 3};
      break;
    case 3:
      m = {kPass, 0, 4};
      break;
    case 4:
      m = {kVertical, after(1) ? 2 : -2, 6};
      break;
    case 5:
      m = {kVertical, after(1) ? 3 : -3, 7};
      break;
    case 6:
      if (after(3) == 7) m = {kExtension, 0, 10};
      break;
    case 8:
      if (after(3) == 7) m = {kExtension, 0, 12};
      break;
    default:
      if (lz >= 11) {
        bool found;
        const uint64_t zeros = br.CountZeros(found);
        if (!found) return {kNoData};
        if (zeros == 11 || fillMode) return {kEndOfLine, 0, zeros + 1};
        return {kSkipBits, 0, zeros - 11};  // the extra zeros, up to a plain end-of-line
      }
      break;
  }
  if (m.Length > br.Available()) return {kNoData};
  return m;
}

// Uncompressed mode from a0 (the extension code consumed). Returns false when the row ended
// inside it (rowEnd set); otherwise a0 and white are where coding goes on.
bool DecodeUncompressed(BitReader& br, uint8_t* row, uint32_t width, uint32_t& a0, bool& white,
                        TLxCcittRowEnd& rowEnd) {
  for (;;) {
    bool found;
    const uint64_t zeros = br.CountZeros(found);
    if (!found) {
      br.SkipToEnd();
      Paint(row, a0, width, white);
      rowEnd = TLxCcittRowEnd::EndOfData;
      return false;
    }
    if (zeros >= 11) return true;  // an end-of-line: back to mode codes, which handle it
    if (zeros < 6 && a0 >= width) {
      rowEnd = TLxCcittRowEnd::Filled;  // pixels past the row: the row is done
      return false;
    }
    br.Skip(zeros + 1);
    if (zeros <= 4) {  // zeros white pixels, then one black
      a0 = std::min<uint32_t>(a0 + uint32_t(zeros), width);
      if (a0 < width) ClearBits(row, a0, a0 + 1);
      a0 = std::min<uint32_t>(a0 + 1, width);
    } else if (zeros == 5) {  // five white pixels
      a0 = std::min<uint32_t>(a0 + 5, width);
    } else {  // exit after zeros - 6 white pixels; the next bit is the colour that follows
      a0 = std::min<uint32_t>(a0 + uint32_t(zeros - 6), width);
      if (br.AtEnd()) {
        Paint(row, a0, width, white);
        rowEnd = TLxCcittRowEnd::EndOfData;
        return false;
      }
      white = (br.Peek32() >> 31) == 0;
      br.Skip(1);
      return true;
    }
  }
}

TLxCcittRowEnd Decode2D(BitReader& br, uint8_t* row, const uint8_t* ref, uint32_t width,
                        bool fillMode) {
  int64_t a0 = -1;
  bool white = true, started = false;
  auto rest = [&](TLxCcittRowEnd end) {
    Paint(row, uint32_t(std::max<int64_t>(a0, 0)), width, white);
    return end;
  };
  for (;;) {
    if (a0 >= int64_t(width)) return TLxCcittRowEnd::Filled;
    const ModeCode m = ReadModeCode(br, fillMode);
    const uint32_t start = uint32_t(std::max<int64_t>(a0, 0));
    switch (m.Kind) {
      case kNoData:
        br.SkipToEnd();
        return rest(TLxCcittRowEnd::EndOfData);
      case kSkipBits:
        br.Skip(m.Length);
        continue;
      case kEndOfLine:
        if (started) return rest(TLxCcittRowEnd::EndOfLine);
        br.Skip(m.Length);
        if (br.AtEnd()) return rest(TLxCcittRowEnd::EndOfData);
        {
          const bool oneD = br.Peek32() >> 31;
          br.Skip(1);
          if (oneD) return Decode1D(br, row, width);
        }
        started = true;
        continue;
      case kPass: {
        br.Skip(m.Length);
        started = true;
        const uint32_t b1 = FindB1(ref, a0, width, white);
        const uint32_t b2 = FindColour(ref, b1, width, white);
        Paint(row, start, b2, white);
        a0 = std::max<int64_t>(b2, start);
        continue;
      }
      case kHorizontal: {
        br.Skip(m.Length);
        started = true;
        uint32_t run1 = 0, run2 = 0;
        RunResult r = ReadRun(br, white, run1);
        if (r == RunResult::Ok) {
          const uint32_t mid = uint32_t(std::min<uint64_t>(uint64_t(start) + run1, width));
          Paint(row, start, mid, white);
          a0 = mid;
          r = ReadRun(br, !white, run2);
          if (r == RunResult::Ok) {
            const uint32_t end = uint32_t(std::min<uint64_t>(uint64_t(mid) + run2, width));
            Paint(row, mid, end, !white);
            a0 = end;
            continue;
          }
        }
        if (r == RunResult::EndOfData) br.SkipToEnd();
        return rest(r == RunResult::EndOfData ? TLxCcittRowEnd::EndOfData
                                              : TLxCcittRowEnd::EndOfLine);
      }
      case kVertical: {
        br.Skip(m.Length);
        started = true;
        const int64_t b1 = FindB1(ref, a0, width, white);
        const uint32_t a1 = uint32_t(std::clamp<int64_t>(b1 + m.Offset, start, width));
        Paint(row, start, a1, white);
        a0 = a1;
        white = !white;
        continue;
      }
      case kExtension: {
        br.Skip(m.Length);
        started = true;
        uint32_t pos = start;
        TLxCcittRowEnd end;
        if (!DecodeUncompressed(br, row, width, pos, white, end)) return end;
        a0 = pos;
        continue;
      }
    }
  }
}

}  // namespace

TLxCcittRow DecodeCcittRow1D(std::span<uint8_t> row, std::span<const uint8_t> data, int fillOrder,
                             uint64_t bitPosition, uint32_t width) {
  width = UsableWidth(width, row.size());
  WhiteRow(row, width);
  BitReader br(data, fillOrder, bitPosition);
  TLxCcittRow r;
  r.End = Decode1D(br, row.data(), width);
  r.BitPosition = br.Position();
  return r;
}

TLxCcittRow DecodeCcittRowRle(std::span<uint8_t> row, std::span<const uint8_t> data, int fillOrder,
                              uint64_t bitPosition, uint32_t width) {
  const uint64_t end = uint64_t(data.size()) * 8;
  const uint64_t aligned = (std::min(bitPosition, end) + 7) & ~uint64_t(7);
  TLxCcittRow r = DecodeCcittRow1D(row, data, fillOrder, aligned, width);
  r.BitPosition = std::min(end, (r.BitPosition + 7) & ~uint64_t(7));
  return r;
}

TLxCcittRow DecodeCcittRow2D(std::span<uint8_t> row, std::span<const uint8_t> data, bool fillMode,
                             int fillOrder, uint64_t bitPosition, std::span<uint8_t> referenceRow,
                             uint32_t width) {
  width = UsableWidth(UsableWidth(width, row.size()), referenceRow.size());
  WhiteRow(row, width);
  BitReader br(data, fillOrder, bitPosition);
  TLxCcittRow r;
  r.End = Decode2D(br, row.data(), referenceRow.data(), width, fillMode);
  r.BitPosition = br.Position();
  std::memcpy(referenceRow.data(), row.data(), (size_t(width) + 7) / 8);
  return r;
}

TLxCcittDecoder::TLxCcittDecoder(TLxCcittScheme scheme, uint32_t width, int fillOrder,
                                 bool fillMode)
    : scheme_(scheme),
      width_(width),
      fillOrder_(fillOrder),
      fillMode_(fillMode || scheme == TLxCcittScheme::Group3TwoD),
      reference_(RowBytes(), 0xFF) {}

void TLxCcittDecoder::Begin(std::span<const uint8_t> strip) {
  data_ = strip;
  pos_ = 0;
  std::fill(reference_.begin(), reference_.end(), 0xFF);
}

TLxCcittRowEnd TLxCcittDecoder::DecodeRow(std::span<uint8_t> row) {
  TLxCcittRow r;
  switch (scheme_) {
    case TLxCcittScheme::ModifiedHuffman:
      r = DecodeCcittRowRle(row, data_, fillOrder_, pos_, width_);
      break;
    case TLxCcittScheme::Group3OneD:
      r = DecodeCcittRow1D(row, data_, fillOrder_, pos_, width_);
      break;
    case TLxCcittScheme::Group3TwoD:
    case TLxCcittScheme::Group4:
      r = DecodeCcittRow2D(row, data_, fillMode_, fillOrder_, pos_, reference_, width_);
      break;
  }
  pos_ = r.BitPosition;
  return r.End;
}

}  // namespace lumenax
