// Encoders and texts the PostScript and PDF writers share: page fitting, ASCII85, RunLength,
// comment texts and dates.
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "codecs/postscript/postscript.h"

namespace lumenax {

TLxFittedSize FitToPage(int32_t width, int32_t height, int32_t pageWidth, int32_t pageHeight) {
  if (width <= 0 || height <= 0) return {};
  // The scale is the smaller of pageHeight / height and pageWidth / width. Worked in integers
  // so that the side that fills the page comes out exactly as the page's, which the product
  // with a rounded quotient does not always do (3 * (595 / 3.0) is below 595).
  const int64_t w = width, h = height, pw = pageWidth, ph = pageHeight;
  int64_t fw, fh;
  if (ph * w <= pw * h) {  // the height limits: s = ph / h
    fw = w * ph / h;
    fh = ph;
  } else {
    fw = pw;
    fh = h * pw / w;
  }
  auto clampSide = [](int64_t v) {
    return int32_t(std::max<int64_t>(1, std::min<int64_t>(v, INT32_MAX)));
  };
  return {clampSide(fw), clampSide(fh)};
}

namespace {

uint32_t LoadBigEndian32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}

uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// Index of the lowest byte of a nonzero word in memory order (the words are loaded
// little-endian).
size_t FirstSetByte(uint64_t x) {
  return size_t(__builtin_ctzll(x)) / 8;
}

// The five digits of a group: v = d0 85^4 + d1 85^3 + d2 85^2 + d3 85 + d4, worked out as two
// halves so that the divisions do not wait on each other.
void Ascii85Digits(uint32_t v, uint8_t* o) {
  const uint32_t hi = v / 7225, lo = v - hi * 7225;  // 7225 = 85^2
  const uint32_t d0 = hi / 7225, mid = hi - d0 * 7225;
  const uint32_t d1 = mid / 85, d3 = lo / 85;
  o[0] = uint8_t(d0 + 33);
  o[1] = uint8_t(d1 + 33);
  o[2] = uint8_t(mid - d1 * 85 + 33);
  o[3] = uint8_t(d3 + 33);
  o[4] = uint8_t(lo - d3 * 85 + 33);
}

}  // namespace

size_t TLxAscii85Encoder::MaxText(size_t count) {
  const size_t groups = count / 4 + 2;
  return groups * 5 + (groups / 15 + 1) * 2 + 4;
}

#if defined(__x86_64__) || defined(__i386__)
// Four groups at a time: the digits of the four 32-bit values by repeated division by 85 in
// the vector lanes (v / 85 = v * 0xC0C0C0C1 >> 38 exactly for every 32-bit v), then shuffled
// into the 20 characters. Sixteen groups go into line (80 bytes and 12 of room); false, with
// nothing to use, when one of the first fifteen is zero.
__attribute__((target("ssse3"))) bool Ascii85Line(const uint8_t* data, uint8_t* line) {
  const __m128i swap = _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  const __m128i magic = _mm_set1_epi32(int(0xC0C0C0C1u));
  const __m128i bang = _mm_set1_epi32(33);
  const __m128i headA = _mm_setr_epi8(0, 1, 2, 3, -1, 4, 5, 6, 7, -1, 8, 9, 10, 11, -1, 12);
  const __m128i headB = _mm_setr_epi8(-1, -1, -1, -1, 0, -1, -1, -1, -1, 4, -1, -1, -1, -1, 8, -1);
  const __m128i tailA =
      _mm_setr_epi8(13, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i tailB =
      _mm_setr_epi8(-1, -1, -1, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  // Quotient and remainder of four lanes by 85.
  auto divide = [&](__m128i v, __m128i& rest) {
    const __m128i even = _mm_srli_epi64(_mm_mul_epu32(v, magic), 38);
    const __m128i odd = _mm_srli_epi64(_mm_mul_epu32(_mm_srli_epi64(v, 32), magic), 38);
    const __m128i q = _mm_or_si128(even, _mm_slli_epi64(odd, 32));
    const __m128i times85 = _mm_add_epi32(_mm_add_epi32(_mm_slli_epi32(q, 6), _mm_slli_epi32(q, 4)),
                                          _mm_add_epi32(_mm_slli_epi32(q, 2), q));
    rest = _mm_sub_epi32(v, times85);
    return q;
  };
  int zero = 0;
  for (int k = 0; k < 4; ++k) {
    const __m128i v =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * k)), swap);
    zero |= _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(v, _mm_setzero_si128()))) << (4 * k);
    __m128i d4, d3, d2, d1;
    const __m128i d0 = divide(divide(divide(divide(v, d4), d3), d2), d1);
    // Digits 0 to 3 as the bytes of each lane, digit 4 alone.
    const __m128i a =
        _mm_add_epi8(_mm_or_si128(_mm_or_si128(d0, _mm_slli_epi32(d1, 8)),
                                  _mm_or_si128(_mm_slli_epi32(d2, 16), _mm_slli_epi32(d3, 24))),
                     _mm_set1_epi8(33));
    const __m128i b = _mm_add_epi32(d4, bang);
    uint8_t* o = line + 20 * k;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o),
                     _mm_or_si128(_mm_shuffle_epi8(a, headA), _mm_shuffle_epi8(b, headB)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16),
                     _mm_or_si128(_mm_shuffle_epi8(a, tailA), _mm_shuffle_epi8(b, tailB)));
  }
  // The sixteenth group is not used.
  return (zero & 0x7FFF) == 0;
}
#endif

size_t TLxAscii85Encoder::Groups(const uint8_t* data, size_t groups, uint8_t* out) {
  uint8_t* o = out;
  int line = line_;
  int64_t zeros = 0;
  size_t g = 0;
#if defined(__x86_64__) || defined(__i386__)
  static const bool haveSsse3 = __builtin_cpu_supports("ssse3");
#endif
  while (g < groups) {
#if defined(__x86_64__) || defined(__i386__)
    // A whole line of fifteen groups without a zero group: 75 characters and the break.
    if (haveSsse3 && line == 0 && groups - g >= 16) {
      alignas(16) uint8_t text[96];
      if (Ascii85Line(data, text)) {
        std::memcpy(o, text, 75);
        o[75] = '\r', o[76] = '\n';
        o += 77;
        data += 60;
        g += 15;
        continue;
      }
    }
#endif
    const uint32_t v = LoadBigEndian32(data);
    if (v == 0) {
      *o++ = 'z';
      ++line;
      ++zeros;
    } else {
      Ascii85Digits(v, o);
      o += 5;
      line += 5;
    }
    if (line > 74) {
      o[0] = '\r', o[1] = '\n';
      o += 2;
      line = 0;
    }
    data += 4;
    ++g;
  }
  line_ = line;
  total_ += int64_t(groups) * 5 - zeros * 4;
  return size_t(o - out);
}

bool TLxAscii85Encoder::FillHeld(const uint8_t*& data, size_t& count) {
  const size_t take = std::min<size_t>(4 - size_t(held_), count);
  std::memcpy(heldBytes_ + held_, data, take);
  held_ += int(take);
  data += take;
  count -= take;
  return held_ == 4;
}

size_t TLxAscii85Encoder::Add(const uint8_t* data, size_t count, uint8_t* out) {
  size_t written = 0;
  if (held_ > 0) {
    if (!FillHeld(data, count)) return 0;
    written = Groups(heldBytes_, 1, out);
    held_ = 0;
  }
  written += Groups(data, count / 4, out + written);
  held_ = int(count % 4);
  std::memcpy(heldBytes_, data + count / 4 * 4, size_t(held_));
  return written;
}

void TLxAscii85Encoder::Count(const uint8_t* data, size_t count) {
  if (held_ > 0) {
    if (!FillHeld(data, count)) return;
    total_ += LoadBigEndian32(heldBytes_) == 0 ? 1 : 5;
    held_ = 0;
  }
  const size_t groups = count / 4;
  int64_t zeros = 0;
  for (size_t g = 0; g < groups; ++g) zeros += LoadBigEndian32(data + 4 * g) == 0;
  total_ += int64_t(groups) * 5 - zeros * 4;
  held_ = int(count % 4);
  std::memcpy(heldBytes_, data + groups * 4, size_t(held_));
}

size_t TLxAscii85Encoder::End(uint8_t* out) {
  uint8_t* o = out;
  if (held_ > 0) {
    // A short last group of n bytes: n + 1 digits of the group padded with zeros.
    uint8_t group[4] = {0, 0, 0, 0};
    std::memcpy(group, heldBytes_, size_t(held_));
    uint8_t digits[5];
    Ascii85Digits(LoadBigEndian32(group), digits);
    std::memcpy(o, digits, size_t(held_) + 1);
    o += held_ + 1;
    line_ += held_ + 1;
    total_ += held_ + 1;
    if (line_ > 74) {
      o[0] = '\r', o[1] = '\n';
      o += 2;
    }
  }
  std::memcpy(o, "~>\r\n", 4);
  o += 4;
  held_ = 0;
  line_ = 0;
  return size_t(o - out);
}

void TLxAscii85Encoder::CountEnd() {
  if (held_ > 0) total_ += held_ + 1;
  held_ = 0;
  line_ = 0;
}

void Ascii85Encode(const uint8_t* data, size_t count, std::string& out, int64_t& total) {
  TLxAscii85Encoder encoder;
  const size_t at = out.size();
  out.resize(at + TLxAscii85Encoder::MaxText(count));
  uint8_t* o = reinterpret_cast<uint8_t*>(out.data()) + at;
  size_t n = count ? encoder.Add(data, count, o) : 0;
  n += encoder.End(o + n);
  out.resize(at + n);
  total += encoder.Total();
}

namespace {

// The first index from i on, below limit, whose byte is not b (limit when there is none).
size_t RunEnd(const uint8_t* data, size_t i, size_t limit, uint8_t b) {
  const uint64_t pattern = b * kOnes;
  for (; i + 8 <= limit; i += 8)
    if (const uint64_t x = Load64(data + i) ^ pattern) return i + FirstSetByte(x);
  while (i < limit && data[i] == b) ++i;
  return i;
}

// The first index from i on (i >= 1), below limit, whose byte equals the one before it
// (limit when there is none).
size_t PairStart(const uint8_t* data, size_t i, size_t limit) {
  for (; i + 8 <= limit; i += 8) {
    const uint64_t x = Load64(data + i) ^ Load64(data + i - 1);
    // Flags the bytes where x is zero; the lowest flag is exact.
    if (const uint64_t z = (x - kOnes) & ~x & kHighs) return i + FirstSetByte(z);
  }
  while (i < limit && data[i] != data[i - 1]) ++i;
  return i;
}

}  // namespace

size_t RunLengthPackets(const uint8_t* data, size_t count, bool last, uint8_t* out, size_t& used) {
  uint8_t* o = out;
  size_t p = 0;
  while (p < count) {
    // A packet depends on at most the 128 bytes from its start.
    if (!last && count - p < 128) break;
    const size_t limit = std::min(count, p + 128);
    const uint8_t b = data[p];
    if (p + 1 < limit && data[p + 1] == b) {
      const size_t end = RunEnd(data, p + 2, limit, b);
      o[0] = uint8_t(257 - (end - p));
      o[1] = b;
      o += 2;
      p = end;
      continue;
    }
    // A literal grows while each byte differs from the one before it, so it ends with the
    // first byte of a following pair.
    const size_t end = PairStart(data, p + 1, limit);
    const size_t n = end - p;
    *o++ = uint8_t(n - 1);
    std::memcpy(o, data + p, n);
    o += n;
    p = end;
  }
  if (last) *o++ = 128;
  used = p;
  return size_t(o - out);
}

size_t RunLengthSize(const uint8_t* data, size_t count) {
  size_t size = 1, p = 0;
  while (p < count) {
    const size_t limit = std::min(count, p + 128);
    const uint8_t b = data[p];
    if (p + 1 < limit && data[p + 1] == b) {
      p = RunEnd(data, p + 2, limit, b);
      size += 2;
    } else {
      const size_t end = PairStart(data, p + 1, limit);
      size += 1 + (end - p);
      p = end;
    }
  }
  return size;
}

void RunLengthEncode(const uint8_t* data, size_t count, std::vector<uint8_t>& out) {
  const size_t at = out.size();
  out.resize(at + RunLengthMaxSize(count));
  size_t used = 0;
  out.resize(at + RunLengthPackets(data, count, true, out.data() + at, used));
}

std::vector<uint8_t> RunLengthEncode(const uint8_t* data, size_t count) {
  std::vector<uint8_t> out;
  RunLengthEncode(data, count, out);
  return out;
}

void TLxRunLengthEncoder::Add(const uint8_t* data, size_t count, std::vector<uint8_t>& out) {
  held_.insert(held_.end(), data, data + count);
  Encode(false, out);
}

void TLxRunLengthEncoder::End(std::vector<uint8_t>& out) {
  Encode(true, out);
}

void TLxRunLengthEncoder::Encode(bool last, std::vector<uint8_t>& out) {
  const size_t at = out.size();
  out.resize(at + RunLengthMaxSize(held_.size()));
  size_t used = 0;
  out.resize(at + RunLengthPackets(held_.data(), held_.size(), last, out.data() + at, used));
  held_.erase(held_.begin(), held_.begin() + std::ptrdiff_t(used));
}

std::string CleanCommentText(std::string_view text) {
  std::string s(text);
  for (char& ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F)
      ch = ' ';
    else if (c >= 0x80)
      ch = '?';
  }
  return s;
}

namespace {
constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
}  // namespace

std::string PsDateText(const std::tm& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s %s %02d %02d:%02d:%02d %04d", kDays[unsigned(t.tm_wday) % 7],
                kMonths[unsigned(t.tm_mon) % 12], t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                t.tm_year + 1900);
  return buf;
}

std::string PdfDateText(const std::tm& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return buf;
}

}  // namespace lumenax
