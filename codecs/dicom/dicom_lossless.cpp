// Lossless JPEG decoder (T.81 Annex H, Huffman coding) for DICOM's lossless transfer syntaxes.
//
// The frame (SOF3) must match the data set's size, precision and components; Huffman tables
// must be complete prefix codes (no code space used twice); every scan is decoded with its
// predictor, restart intervals and point transform. Data that end early leave the remaining
// samples 0.
#include <algorithm>
#include <cstring>

#include "codecs/dicom/dicom.h"

namespace lumenax {

namespace {

struct Huffman {
  bool defined = false;
  // Canonical code per length 1..16: codes of length l are minCode[l] .. maxCode[l] (maxCode -1
  // when none); valPtr[l] is the index of the first value of that length.
  int32_t minCode[17] = {}, maxCode[18] = {}, valPtr[17] = {};
  uint8_t values[256] = {};
  // Fast path: the first 9 bits give (length << 8 | value), 0 when longer.
  uint16_t fast[512] = {};
};

// Builds the decoding tables; false for a code that uses more code space than exists.
bool BuildHuffman(const uint8_t counts[16], const uint8_t* vals, int total, Huffman& h) {
  int32_t code = 0;
  int k = 0;
  std::memset(h.fast, 0, sizeof h.fast);
  for (int l = 1; l <= 16; ++l) {
    h.valPtr[l] = k;
    h.minCode[l] = code;
    code += counts[l - 1];
    k += counts[l - 1];
    if (code > (1 << l)) return false;  // oversubscribed
    h.maxCode[l] = counts[l - 1] ? code - 1 : -1;
    if (l <= 9) {
      for (int c = h.minCode[l]; c < code; ++c) {
        const int shift = 9 - l;
        for (int f = c << shift; f < (c + 1) << shift; ++f)
          h.fast[f] = uint16_t(l << 8 | vals[h.valPtr[l] + (c - h.minCode[l])]);
      }
    }
    code <<= 1;
  }
  h.maxCode[17] = 0x7FFFFFFF;
  std::memcpy(h.values, vals, size_t(total));
  h.defined = true;
  return true;
}

// Entropy-coded bits with stuffed zero bytes removed; stops at a marker. Past the data it
// delivers zero bits and notes it.
class BitReader {
 public:
  BitReader(const uint8_t* p, size_t n, size_t pos) : p_(p), n_(n), pos_(pos) {}

  uint32_t Peek(int k) {
    Fill(k);
    return uint32_t(acc_ >> (bits_ - k)) & ((1u << k) - 1);
  }
  void Skip(int k) { bits_ -= k; }
  uint32_t Get(int k) {
    if (k == 0) return 0;
    uint32_t v = Peek(k);
    Skip(k);
    return v;
  }
  bool Ran() const { return ran_; }
  size_t Pos() const { return pos_; }
  // Drops the buffered bits and moves past an RSTn marker if one is next.
  void Restart() {
    bits_ = 0;
    acc_ = 0;
    atMarker_ = false;
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

 private:
  void Fill(int k) {
    while (bits_ < k) {
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
            ran_ = q >= n_;
          }
        } else {
          ++pos_;
        }
      } else {
        if (!atMarker_) ran_ = true;
      }
      acc_ = acc_ << 8 | b;
      bits_ += 8;
    }
  }

  const uint8_t* p_;
  size_t n_;
  size_t pos_;
  uint64_t acc_ = 0;
  int bits_ = 0;
  bool atMarker_ = false;
  bool ran_ = false;
};

// The difference category of the next code, or -1 for a code the table does not have.
int DecodeSymbol(BitReader& br, const Huffman& h) {
  const uint16_t f = h.fast[br.Peek(9)];
  if (f) {
    br.Skip(f >> 8);
    return f & 0xFF;
  }
  int32_t code = int32_t(br.Get(9));
  for (int l = 10; l <= 16; ++l) {
    code = code << 1 | int32_t(br.Get(1));
    if (h.maxCode[l] >= 0 && code <= h.maxCode[l] && code >= h.minCode[l])
      return h.values[h.valPtr[l] + code - h.minCode[l]];
  }
  return -1;
}

int32_t Difference(BitReader& br, int ssss) {
  if (ssss == 0) return 0;
  if (ssss == 16) return 32768;
  const int32_t v = int32_t(br.Get(ssss));
  return v < (1 << (ssss - 1)) ? v - (1 << ssss) + 1 : v;
}

}  // namespace

TLxLosslessResult DecodeLosslessJpeg(std::span<const uint8_t> data,
                                     const TLxLosslessJpegFrame& want, std::vector<uint16_t>& out,
                                     const char** why) {
  auto bad = [&](const char* w) {
    *why = w;
    return TLxLosslessResult::BadData;
  };
  const uint8_t* p = data.data();
  const size_t n = data.size();
  Huffman tables[4];
  int restartInterval = 0;
  int precision = 0, width = 0, height = 0, nf = 0;
  int compId[4] = {};
  bool frame = false;
  bool truncated = false;
  bool scanned = false;
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
      out.assign(size_t(width) * size_t(height) * size_t(nf), 0);
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
      int comp[4], table[4];
      for (int i = 0; i < ns; ++i) {
        const int id = seg[1 + 2 * i];
        comp[i] = -1;
        for (int c = 0; c < nf; ++c)
          if (compId[c] == id) comp[i] = c;
        if (comp[i] < 0) return bad("bad data: scan component");
        table[i] = seg[2 + 2 * i] >> 4;
        if (table[i] > 3) return bad("bad data: scan table");
        if (!tables[table[i]].defined) {
          // Fewer tables than components: the first one serves all.
          if (!tables[0].defined) return bad("bad data: no Huffman table");
          table[i] = 0;
        }
      }
      const int predictor = seg[1 + 2 * ns];
      const int pt = seg[3 + 2 * ns] & 15;
      if (predictor < 1 || predictor > 7) return bad("bad data: predictor");
      if (pt >= precision) return bad("bad data: point transform");
      BitReader br(p, n, next);
      const uint32_t mask = (1u << precision) - 1;
      const int32_t initial = 1 << (precision - pt - 1);
      const size_t stride = size_t(width) * size_t(nf);
      // Predictions work on the unshifted values: keep them per component in two rows.
      std::vector<int32_t> prev(stride), cur(stride);
      int sinceRestart = 0;
      bool firstLine = true;  // of the image or of a restart interval
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          if (restartInterval && sinceRestart == restartInterval) {
            br.Restart();
            sinceRestart = 0;
            firstLine = true;
          }
          // At a restart the first sample starts over from the initial value.
          const bool restartStart = restartInterval && sinceRestart == 0 && (y > 0 || x > 0);
          for (int i = 0; i < ns; ++i) {
            const int c = comp[i];
            const size_t at = size_t(x) * size_t(nf) + size_t(c);
            int32_t pred;
            if ((y == 0 && x == 0) || restartStart) {
              pred = initial;
            } else if (firstLine) {
              pred = x > 0 ? cur[at - size_t(nf)] : initial;
            } else if (x == 0) {
              pred = prev[at];
            } else {
              const int32_t ra = cur[at - size_t(nf)], rb = prev[at], rc = prev[at - size_t(nf)];
              switch (predictor) {
                case 1:
                  pred = ra;
                  break;
                case 2:
                  pred = rb;
                  break;
                case 3:
                  pred = rc;
                  break;
                case 4:
                  pred = ra + rb - rc;
                  break;
                case 5:
                  pred = ra + ((rb - rc) >> 1);
                  break;
                case 6:
                  pred = rb + ((ra - rc) >> 1);
                  break;
                default:
                  pred = (ra + rb) >> 1;
                  break;
              }
            }
            const int ssss = DecodeSymbol(br, tables[table[i]]);
            if (ssss < 0 || ssss > 16) {
              if (br.Ran()) {
                truncated = true;
                goto done;
              }
              return bad("bad data: Huffman code");
            }
            const int32_t v = int32_t(uint32_t(pred + Difference(br, ssss)) & 0xFFFF);
            cur[at] = v;
            out[size_t(y) * stride + at] = uint16_t((uint32_t(v) << pt) & mask);
          }
          ++sinceRestart;
          if (br.Ran()) {
            truncated = true;
            goto done;
          }
        }
        std::swap(prev, cur);
        firstLine = false;
      }
    done:
      scanned = true;
      if (truncated) break;
      br.ToMarker();
      pos = br.Pos();
      continue;
    }
    pos = next;
  }
  if (!frame) return bad("bad data: no lossless JPEG frame");
  if (!scanned) {
    *why = "truncated pixel data";
    return TLxLosslessResult::Truncated;
  }
  if (truncated) {
    *why = "truncated pixel data";
    return TLxLosslessResult::Truncated;
  }
  return TLxLosslessResult::Ok;
}

}  // namespace lumenax
