// Lossless JPEG decoder (T.81 Annex H, Huffman coding) for DICOM's lossless transfer syntaxes.
//
// The frame (SOF3) must match the data set's size, precision and components; Huffman tables
// must be complete prefix codes (no code space used twice); every scan is decoded with its
// predictor, restart intervals and point transform. Data that end early leave the remaining
// samples 0.
//
// Speed: the entropy-coded bits sit in a 64-bit buffer refilled eight bytes at a time when
// those bytes hold no 0xFF; a table on the next 12 bits gives the code's category and, for the
// common short codes, the difference itself. One-component scans without restart intervals
// have a loop of their own per predictor.
#include <algorithm>
#include <cstring>

#include "codecs/dicom/dicom.h"

namespace lumenax {

namespace {

constexpr int kLookBits = 12;

// A lookup entry: bits 0-4 the code length (0: longer than kLookBits), bits 5-9 the
// category (kBadCategory for a value above 16), bit 10 set when the difference's bits are in
// the lookahead too and bits 16-31 hold the difference.
constexpr int kBadCategory = 31;
constexpr int32_t kWhole = 1 << 10;

struct Huffman {
  bool defined = false;
  // Canonical code per length 1..16: codes of length l are minCode[l] .. maxCode[l] (maxCode -1
  // when none); valPtr[l] is the index of the first value of that length.
  int32_t minCode[17] = {}, maxCode[18] = {}, valPtr[17] = {};
  uint8_t values[256] = {};
  int32_t lookup[1 << kLookBits] = {};
};

int32_t Extend(uint32_t v, int ssss) {
  return v < (1u << (ssss - 1)) ? int32_t(v) - (1 << ssss) + 1 : int32_t(v);
}

// Builds the decoding tables; false for a code that uses more code space than exists.
bool BuildHuffman(const uint8_t counts[16], const uint8_t* vals, int total, Huffman& h) {
  int32_t code = 0;
  int k = 0;
  std::memset(h.lookup, 0, sizeof h.lookup);
  for (int l = 1; l <= 16; ++l) {
    h.valPtr[l] = k;
    h.minCode[l] = code;
    code += counts[l - 1];
    k += counts[l - 1];
    if (code > (1 << l)) return false;  // oversubscribed
    h.maxCode[l] = counts[l - 1] ? code - 1 : -1;
    if (l <= kLookBits) {
      for (int c = h.minCode[l]; c < code; ++c) {
        const int value = vals[h.valPtr[l] + (c - h.minCode[l])];
        const int shift = kLookBits - l;
        for (int f = c << shift; f < (c + 1) << shift; ++f) {
          int32_t e = l;
          if (value > 16) {
            e |= kBadCategory << 5;
          } else {
            e |= value << 5;
            // The difference's bits follow the code inside the lookahead.
            if (value < 16 && l + value <= kLookBits) {
              int32_t diff = 0;
              if (value > 0) {
                const uint32_t bits = uint32_t(f >> (kLookBits - l - value)) & ((1u << value) - 1);
                diff = Extend(bits, value);
              }
              e |= kWhole | int32_t(uint32_t(diff) << 16);
            }
          }
          h.lookup[f] = e;
        }
      }
    }
    code <<= 1;
  }
  h.maxCode[17] = 0x7FFFFFFF;
  std::memcpy(h.values, vals, size_t(total));
  h.defined = true;
  return true;
}

// Entropy-coded bits with stuffed zero bytes removed; stops at a marker, after which (and
// past the data) it delivers zero bits.
//
// Running out: the data count as cut short when a code was read beyond their end (not beyond
// a marker), reading codes as if by their first 9 bits and then bit by bit. The buffer reads
// ahead, so that is judged from the bit count consumed against the end, and only once a
// refill has reached the end.
class BitReader {
 public:
  BitReader(const uint8_t* p, size_t n, size_t pos) : p_(p), n_(n), pos_(pos) {}

  // At least 57 bits in the buffer afterwards.
  void Refill() {
    if (!atMarker_ && pos_ + 8 <= n_) {
      uint64_t w = 0;
      for (int i = 0; i < 8; ++i) w = w << 8 | p_[pos_ + size_t(i)];
      // No 0xFF byte among the eight: they are all data.
      const uint64_t x = ~w;
      if (((x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull) == 0) {
        const int t = (64 - bits_) >> 3;
        acc_ |= (t == 8 ? w : w >> (64 - 8 * t)) << (64 - 8 * t - bits_);
        pos_ += size_t(t);
        bits_ += 8 * t;
        delivered_ += uint64_t(8 * t);
        return;
      }
    }
    SlowRefill();
  }
  int Bits() const { return bits_; }
  // The next k bits (1 <= k <= 32, k <= Bits()).
  uint32_t Peek(int k) const { return uint32_t(acc_ >> (64 - k)); }
  void Skip(int k) {
    acc_ <<= k;
    bits_ -= k;
  }
  uint32_t Get(int k) {
    const uint32_t v = Peek(k);
    Skip(k);
    return v;
  }
  // The end of the data is in the buffer: reads must be checked against it.
  bool Ending() const { return realEnd_ != kNoEnd; }
  // A read of k more bits from here goes past the end.
  void Demand(int k) {
    if (Ending() && Consumed() + uint64_t(k) > realEnd_) ran_ = true;
  }
  bool Ran() const { return ran_; }
  size_t Pos() const { return pos_; }
  // Drops the buffered bits and moves past an RSTn marker if one is next.
  void Restart() {
    delivered_ -= uint64_t(bits_);
    bits_ = 0;
    acc_ = 0;
    atMarker_ = false;
    realEnd_ = kNoEnd;
    while (pos_ + 1 < n_ && !(p_[pos_] == 0xFF && p_[pos_ + 1] >= 0xD0 && p_[pos_ + 1] <= 0xD7) &&
           !(p_[pos_] == 0xFF && p_[pos_ + 1] != 0 && p_[pos_ + 1] != 0xFF))
      ++pos_;
    if (pos_ + 1 < n_ && p_[pos_] == 0xFF && p_[pos_ + 1] >= 0xD0 && p_[pos_ + 1] <= 0xD7)
      pos_ += 2;
  }
  // Moves to the next marker (after the scan).
  void ToMarker() {
    while (pos_ + 1 < n_ && !(p_[pos_] == 0xFF && p_[pos_ + 1] != 0 && p_[pos_ + 1] != 0xFF))
      ++pos_;
  }

  // The state, which the one-component scan loop keeps in locals of its own.
  static constexpr uint64_t kNoEnd = ~uint64_t(0);

  uint64_t Consumed() const { return delivered_ - uint64_t(bits_); }

  void SlowRefill() {
    while (bits_ <= 56) {
      uint8_t b = 0;
      if (!atMarker_ && pos_ < n_) {
        b = p_[pos_];
        if (b == 0xFF) {
          size_t q = pos_ + 1;
          while (q < n_ && p_[q] == 0xFF) ++q;  // fill bytes
          if (q < n_ && p_[q] == 0) {
            pos_ = q + 1;
          } else {
            atMarker_ = true;
            b = 0;
            if (q >= n_ && !Ending()) realEnd_ = delivered_;
          }
        } else {
          ++pos_;
        }
      } else if (!atMarker_ && !Ending()) {
        realEnd_ = delivered_;
      }
      acc_ |= uint64_t(b) << (56 - bits_);
      bits_ += 8;
      delivered_ += 8;
    }
  }

  const uint8_t* p_;
  size_t n_;
  size_t pos_;
  uint64_t acc_ = 0;  // the next bits_ bits, from the top
  int bits_ = 0;
  uint64_t delivered_ = 0;     // bits put into the buffer so far
  uint64_t realEnd_ = kNoEnd;  // delivered_ where the data ended
  bool atMarker_ = false;
  bool ran_ = false;
};

// The next difference, with every read checked against the end. False for a code the table
// does not have or a category above 16.
bool DecodeDifferenceChecked(BitReader& br, const Huffman& h, int32_t& diff) {
  if (br.Bits() < 32) br.Refill();
  br.Demand(9);
  const int32_t e = h.lookup[br.Peek(kLookBits)];
  int length = e & 31, ssss;
  if (length) {
    ssss = e >> 5 & 31;
  } else {
    const uint32_t code = br.Peek(16);
    ssss = -1;
    for (int l = kLookBits + 1; l <= 16; ++l) {
      const int32_t c = int32_t(code >> (16 - l));
      if (h.maxCode[l] >= 0 && c <= h.maxCode[l] && c >= h.minCode[l]) {
        ssss = h.values[h.valPtr[l] + c - h.minCode[l]];
        length = l;
        break;
      }
    }
    if (ssss < 0) {
      br.Demand(16);
      return false;
    }
    if (ssss > 16) ssss = kBadCategory;
  }
  br.Demand(length);
  br.Skip(length);
  if (ssss > 16) return false;
  if (ssss == 0) {
    diff = 0;
  } else if (ssss == 16) {
    diff = 32768;
  } else {
    br.Demand(ssss);
    diff = Extend(br.Get(ssss), ssss);
  }
  return true;
}

// The next difference; the buffer holds at least 32 bits and the end is not in it.
inline bool DecodeDifference(BitReader& br, const Huffman& h, int32_t& diff) {
  const int32_t e = h.lookup[br.Peek(kLookBits)];
  if (e & kWhole) {
    br.Skip((e & 31) + (e >> 5 & 31));
    diff = e >> 16;
    return true;
  }
  const int ssss = e >> 5 & 31;
  if ((e & 31) == 0 || ssss > 16) return DecodeDifferenceChecked(br, h, diff);
  br.Skip(e & 31);
  diff = ssss == 16 ? 32768 : Extend(br.Get(ssss), ssss);
  return true;
}

inline bool NextDifference(BitReader& br, const Huffman& h, int32_t& diff) {
  if (br.Bits() < 32) br.Refill();
  if (br.Ending()) return DecodeDifferenceChecked(br, h, diff);
  return DecodeDifference(br, h, diff);
}

enum class ScanEnd { Done, Ran, BadCode };

template <int Predictor>
inline int32_t Predict(int32_t ra, int32_t rb, int32_t rc) {
  if constexpr (Predictor == 1) return ra;
  if constexpr (Predictor == 2) return rb;
  if constexpr (Predictor == 3) return rc;
  if constexpr (Predictor == 4) return ra + rb - rc;
  if constexpr (Predictor == 5) return ra + ((rb - rc) >> 1);
  if constexpr (Predictor == 6) return rb + ((ra - rc) >> 1);
  return (ra + rb) >> 1;
}

int32_t PredictAny(int predictor, int32_t ra, int32_t rb, int32_t rc) {
  switch (predictor) {
    case 1:
      return Predict<1>(ra, rb, rc);
    case 2:
      return Predict<2>(ra, rb, rc);
    case 3:
      return Predict<3>(ra, rb, rc);
    case 4:
      return Predict<4>(ra, rb, rc);
    case 5:
      return Predict<5>(ra, rb, rc);
    case 6:
      return Predict<6>(ra, rb, rc);
    default:
      return Predict<7>(ra, rb, rc);
  }
}

// What a scan needs besides the bits.
struct ScanSetup {
  int width, height, nf, ns;
  int comp[4];
  const Huffman* table[4];
  int predictor, pt, restartInterval;
  uint32_t mask;
  int32_t initial;
};

// A scan of one component (of a one-component frame) without restart intervals. reached is
// the number of samples written. The bit buffer lives in locals here (written back to br
// around the rare calls that need it): kept in the reader, it would be loaded and stored
// again for every sample.
template <int Predictor>
ScanEnd GrayScan(BitReader& br, const ScanSetup& s, TLxLosslessRows& rows, int64_t& reached) {
  const int32_t* const lookup = s.table[0]->lookup;
  const uint8_t* const p = br.p_;
  const size_t n = br.n_;
  const int w = s.width, pt = s.pt;
  const uint32_t mask = s.mask;
  std::vector<int32_t> prevRow(static_cast<size_t>(w)), curRow(static_cast<size_t>(w));
  int32_t* prev = prevRow.data();
  int32_t* cur = curRow.data();
  uint64_t acc = br.acc_, delivered = br.delivered_;
  int bits = br.bits_;
  size_t pos = br.pos_;
  bool quick = !br.atMarker_ && !br.Ending();  // no marker and no end in the buffer
  auto save = [&] { br.acc_ = acc, br.bits_ = bits, br.pos_ = pos, br.delivered_ = delivered; };
  auto load = [&] {
    acc = br.acc_, bits = br.bits_, pos = br.pos_, delivered = br.delivered_;
    quick = !br.atMarker_ && !br.Ending();
  };
  ScanEnd end = ScanEnd::Done;
  int y = 0, x = 0;
  // The next difference; false when the scan ends here.
  auto next = [&](int32_t& diff) {
    if (bits < 32) {
      bool filled = false;
      if (quick && pos + 8 <= n) {
        uint64_t word;
        std::memcpy(&word, p + pos, 8);
        word = __builtin_bswap64(word);
        const uint64_t inv = ~word;
        if (((inv - 0x0101010101010101ull) & ~inv & 0x8080808080808080ull) == 0) {
          const int t = (64 - bits) >> 3;  // 4 to 8
          acc |= (t == 8 ? word : word >> (64 - 8 * t)) << (64 - 8 * t - bits);
          pos += size_t(t);
          bits += 8 * t;
          delivered += uint64_t(8 * t);
          filled = true;
        }
      }
      if (!filled) {
        save();
        br.Refill();
        load();
      }
    }
    if (quick) {
      const int32_t e = lookup[acc >> (64 - kLookBits)];
      if (e & kWhole) {
        const int k = (e & 31) + (e >> 5 & 31);
        acc <<= k;
        bits -= k;
        diff = e >> 16;
        return true;
      }
      const int length = e & 31, ssss = e >> 5 & 31;
      if (length && ssss <= 16) {
        acc <<= length;
        bits -= length;
        if (ssss == 16) {
          diff = 32768;
        } else if (ssss == 0) {
          diff = 0;
        } else {
          diff = Extend(uint32_t(acc >> (64 - ssss)), ssss);
          acc <<= ssss;
          bits -= ssss;
        }
        return true;
      }
    }
    save();
    const bool ok = DecodeDifferenceChecked(br, *s.table[0], diff);
    load();
    if (!ok) {
      end = br.Ran() ? ScanEnd::Ran : ScanEnd::BadCode;
      return false;
    }
    return true;
  };
  // Sample x of the row from its prediction; false when the scan ends here.
  auto step = [&](int32_t pred, uint16_t* out) {
    int32_t diff;
    if (!next(diff)) return false;
    const int32_t v = int32_t(uint32_t(pred + diff) & 0xFFFF);
    cur[x] = v;
    out[x] = uint16_t((uint32_t(v) << pt) & mask);
    if (!quick && br.Ending()) {
      save();
      br.Demand(0);
      if (br.Ran()) {
        ++x;
        end = ScanEnd::Ran;
        return false;
      }
    }
    return true;
  };
  for (y = 0; y < s.height; ++y) {
    uint16_t* out = rows.Row(y);
    x = 0;
    if (!step(y == 0 ? s.initial : prev[0], out)) break;
    if (y == 0 || Predictor == 1) {
      for (x = 1; x < w; ++x)
        if (!step(cur[x - 1], out)) break;
    } else {
      for (x = 1; x < w; ++x)
        if (!step(Predict<Predictor>(cur[x - 1], prev[x], prev[x - 1]), out)) break;
    }
    if (end != ScanEnd::Done) break;
    std::swap(prev, cur);
  }
  save();
  reached = end == ScanEnd::Done ? int64_t(s.height) * w : int64_t(y) * w + x;
  return end;
}

// Any scan: interleaved components, restart intervals, every predictor.
ScanEnd AnyScan(BitReader& br, const ScanSetup& s, TLxLosslessRows& rows, int64_t& reached) {
  const int width = s.width, nf = s.nf;
  const size_t stride = size_t(width) * size_t(nf);
  // Predictions work on the unshifted values: keep them per component in two rows.
  std::vector<int32_t> prev(stride), cur(stride);
  int sinceRestart = 0;
  bool firstLine = true;  // of the image or of a restart interval
  for (int y = 0; y < s.height; ++y) {
    uint16_t* out = rows.Row(y);
    for (int x = 0; x < width; ++x) {
      if (s.restartInterval && sinceRestart == s.restartInterval) {
        br.Restart();
        sinceRestart = 0;
        firstLine = true;
      }
      // At a restart the first sample starts over from the initial value.
      const bool restartStart = s.restartInterval && sinceRestart == 0 && (y > 0 || x > 0);
      for (int i = 0; i < s.ns; ++i) {
        const int c = s.comp[i];
        const size_t at = size_t(x) * size_t(nf) + size_t(c);
        int32_t pred;
        if ((y == 0 && x == 0) || restartStart)
          pred = s.initial;
        else if (firstLine)
          pred = x > 0 ? cur[at - size_t(nf)] : s.initial;
        else if (x == 0)
          pred = prev[at];
        else
          pred = PredictAny(s.predictor, cur[at - size_t(nf)], prev[at], prev[at - size_t(nf)]);
        int32_t diff;
        if (!NextDifference(br, *s.table[i], diff)) {
          reached = int64_t(y) * width + x;
          return br.Ran() ? ScanEnd::Ran : ScanEnd::BadCode;
        }
        const int32_t v = int32_t(uint32_t(pred + diff) & 0xFFFF);
        cur[at] = v;
        out[at] = uint16_t((uint32_t(v) << s.pt) & s.mask);
      }
      ++sinceRestart;
      br.Demand(0);
      if (br.Ran()) {
        reached = int64_t(y) * width + x + 1;
        return ScanEnd::Ran;
      }
    }
    std::swap(prev, cur);
    firstLine = false;
  }
  reached = int64_t(s.height) * width;
  return ScanEnd::Done;
}

ScanEnd Scan(BitReader& br, const ScanSetup& s, TLxLosslessRows& rows, int64_t& reached) {
  if (s.nf == 1 && s.restartInterval == 0) {
    switch (s.predictor) {
      case 1:
        return GrayScan<1>(br, s, rows, reached);
      case 2:
        return GrayScan<2>(br, s, rows, reached);
      case 3:
        return GrayScan<3>(br, s, rows, reached);
      case 4:
        return GrayScan<4>(br, s, rows, reached);
      case 5:
        return GrayScan<5>(br, s, rows, reached);
      case 6:
        return GrayScan<6>(br, s, rows, reached);
      default:
        return GrayScan<7>(br, s, rows, reached);
    }
  }
  return AnyScan(br, s, rows, reached);
}

// Samples of component c from raster position from to the end set to 0.
void ZeroFrom(TLxLosslessRows& rows, int width, int height, int nf, int c, int64_t from,
              int64_t to) {
  for (int64_t i = from; i < to;) {
    const int y = int(i / width);
    if (y >= height) break;
    uint16_t* row = rows.Row(y);
    int x = int(i % width);
    const int64_t rowEnd = std::min<int64_t>(to, int64_t(y + 1) * width);
    for (; i < rowEnd; ++i, ++x) row[size_t(x) * size_t(nf) + size_t(c)] = 0;
  }
}

class VectorRows : public TLxLosslessRows {
 public:
  VectorRows(std::vector<uint16_t>& v, size_t rowSamples) : v_(v), rowSamples_(rowSamples) {}
  uint16_t* Row(int y) override { return v_.data() + size_t(y) * rowSamples_; }

 private:
  std::vector<uint16_t>& v_;
  size_t rowSamples_;
};

}  // namespace

TLxLosslessResult DecodeLosslessJpeg(std::span<const uint8_t> data,
                                     const TLxLosslessJpegFrame& want, TLxLosslessRows& rows,
                                     const char** why) {
  const uint8_t* p = data.data();
  const size_t n = data.size();
  Huffman tables[4];
  int restartInterval = 0;
  int precision = 0, width = 0, height = 0, nf = 0;
  int compId[4] = {};
  bool frame = false;
  bool truncated = false;
  bool scanned = false;
  // Per component, how many samples (in raster order) some scan has written.
  int64_t reached[4] = {};
  // Samples no scan reached are 0 whatever the result.
  auto finish = [&](TLxLosslessResult r) {
    if (frame)
      for (int c = 0; c < nf; ++c)
        ZeroFrom(rows, width, height, nf, c, reached[c], int64_t(width) * height);
    return r;
  };
  auto bad = [&](const char* w) {
    *why = w;
    return finish(TLxLosslessResult::BadData);
  };
  size_t pos = 0;
  // Find SOI.
  while (pos + 1 < n && !(p[pos] == 0xFF && p[pos + 1] == 0xD8)) ++pos;
  if (pos + 1 >= n) return bad("bad data: no JPEG start");
  pos += 2;
  for (;;) {
    while (pos < n && p[pos] != 0xFF) ++pos;
    while (pos < n && p[pos] == 0xFF) ++pos;
    if (pos >= n) break;
    const uint8_t marker = p[pos++];
    if (marker == 0xD9) break;  // EOI
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
    if (pos + 2 > n) break;
    const size_t len = size_t(p[pos]) << 8 | p[pos + 1];
    if (len < 2 || pos + len > n) {
      truncated = true;
      break;
    }
    const uint8_t* seg = p + pos + 2;
    const size_t segLen = len - 2;
    const size_t next = pos + len;
    if ((marker >= 0xC0 && marker <= 0xCF) && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      if (marker != 0xC3) return bad("bad data: not a lossless JPEG");
      if (segLen < 6) return bad("bad data: short frame header");
      // A second frame starts over from zeros.
      if (frame)
        for (int c = 0; c < nf; ++c) ZeroFrom(rows, width, height, nf, c, 0, reached[c]);
      frame = false;
      std::fill(std::begin(reached), std::end(reached), 0);
      precision = seg[0];
      height = seg[1] << 8 | seg[2];
      width = seg[3] << 8 | seg[4];
      nf = seg[5];
      if (nf < 1 || nf > 4 || segLen < 6 + size_t(nf) * 3) return bad("bad data: frame components");
      for (int i = 0; i < nf; ++i) {
        compId[i] = seg[6 + 3 * i];
        if (seg[6 + 3 * i + 1] != 0x11) return bad("bad data: subsampled lossless JPEG");
      }
      if (width != want.Width || height != want.Height || nf != want.Components ||
          (precision != want.Precision && precision != want.AltPrecision) || precision < 2 ||
          precision > 16)
        return bad("bad data: frame does not match the data set");
      frame = true;
    } else if (marker == 0xC4) {
      size_t q = 0;
      while (q + 17 <= segLen) {
        const int tc = seg[q] >> 4, th = seg[q] & 15;
        if (tc != 0 || th > 3) return bad("bad data: Huffman table");
        int total = 0;
        for (int i = 0; i < 16; ++i) total += seg[q + 1 + size_t(i)];
        if (total > 17 || q + 17 + size_t(total) > segLen) return bad("bad data: Huffman table");
        if (!BuildHuffman(seg + q + 1, seg + q + 17, total, tables[th]))
          return bad("bad data: oversubscribed Huffman table");
        q += 17 + size_t(total);
      }
    } else if (marker == 0xDD) {
      if (segLen < 2) return bad("bad data: restart interval");
      restartInterval = seg[0] << 8 | seg[1];
    } else if (marker == 0xDA) {
      if (!frame) return bad("bad data: scan before frame");
      if (segLen < 1) return bad("bad data: scan header");
      const int ns = seg[0];
      if (ns < 1 || ns > nf || segLen < 1 + size_t(ns) * 2 + 3) return bad("bad data: scan header");
      ScanSetup s;
      s.width = width, s.height = height, s.nf = nf, s.ns = ns;
      s.restartInterval = restartInterval;
      for (int i = 0; i < ns; ++i) {
        const int id = seg[1 + 2 * i];
        s.comp[i] = -1;
        for (int c = 0; c < nf; ++c)
          if (compId[c] == id) s.comp[i] = c;
        if (s.comp[i] < 0) return bad("bad data: scan component");
        int table = seg[2 + 2 * i] >> 4;
        if (table > 3) return bad("bad data: scan table");
        if (!tables[table].defined) {
          // Fewer tables than components: the first one serves all.
          if (!tables[0].defined) return bad("bad data: no Huffman table");
          table = 0;
        }
        s.table[i] = &tables[table];
      }
      s.predictor = seg[1 + 2 * ns];
      s.pt = seg[3 + 2 * ns] & 15;
      if (s.predictor < 1 || s.predictor > 7) return bad("bad data: predictor");
      if (s.pt >= precision) return bad("bad data: point transform");
      s.mask = (1u << precision) - 1;
      s.initial = 1 << (precision - s.pt - 1);
      BitReader br(p, n, next);
      int64_t done = 0;
      const ScanEnd end = Scan(br, s, rows, done);
      for (int i = 0; i < ns; ++i) reached[s.comp[i]] = std::max(reached[s.comp[i]], done);
      if (end == ScanEnd::BadCode) return bad("bad data: Huffman code");
      scanned = true;
      if (end == ScanEnd::Ran) {
        truncated = true;
        break;
      }
      br.ToMarker();
      pos = br.Pos();
      continue;
    }
    pos = next;
  }
  if (!frame) return bad("bad data: no lossless JPEG frame");
  if (!scanned || truncated) {
    *why = "truncated pixel data";
    return finish(TLxLosslessResult::Truncated);
  }
  return finish(TLxLosslessResult::Ok);
}

TLxLosslessResult DecodeLosslessJpeg(std::span<const uint8_t> data,
                                     const TLxLosslessJpegFrame& frame, std::vector<uint16_t>& out,
                                     const char** why) {
  const size_t rowSamples =
      size_t(std::max(frame.Width, 0)) * size_t(std::max(frame.Components, 0));
  out.assign(rowSamples * size_t(std::max(frame.Height, 0)), 0);
  VectorRows rows(out, rowSamples);
  return DecodeLosslessJpeg(data, frame, rows, why);
}

}  // namespace lumenax
