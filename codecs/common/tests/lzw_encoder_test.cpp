// TIFF LZW encoding: round trips through a strict reading of the code stream (every code at
// the width a decoder expects, clear first, end-of-information last, zero padding, nothing
// after) and through the library's decoder; the hook's life cycle and its short writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "codecs/common/lzw_decoder.h"
#include "codecs/common/lzw_encoder.h"
#include "codecs/common/tests/codec_test_util.h"

namespace lumenax {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kNone = 0xFFFFFFFFu;

struct Strict {
  Bytes data;
  std::string problem;      // empty when the stream is exactly as it must be
  size_t clears = 0;        // clear codes after the first
  size_t entriesAtEnd = 0;  // the decoder's table size when the end code came
};

// Reads a code stream the way a TIFF decoder must, refusing anything loose.
Strict StrictDecode(const Bytes& code) {
  Strict r;
  size_t bit = 0;
  auto read = [&](int width, uint32_t& v) {
    if (bit + size_t(width) > code.size() * 8) return false;
    v = 0;
    for (int i = 0; i < width; ++i, ++bit) v = v << 1 | ((code[bit / 8] >> (7 - bit % 8)) & 1);
    return true;
  };
  struct String {
    uint32_t prefix;
    uint8_t last, first;
  };
  std::vector<String> table(258);
  for (uint32_t i = 0; i < 256; ++i) table[i] = {kNone, uint8_t(i), uint8_t(i)};
  auto emit = [&](uint32_t c) {
    const size_t at = r.data.size();
    for (; c != kNone; c = table[c].prefix) r.data.push_back(table[c].last);
    std::reverse(r.data.begin() + long(at), r.data.end());
  };
  int width = 9;
  int64_t prev = -1;
  uint32_t c = 0;
  if (!read(9, c) || c != 256) return r.problem = "no clear code first", r;
  for (;;) {
    if (!read(width, c)) return r.problem = "no end code", r;
    if (c == 256) {
      table.resize(258);
      width = 9;
      prev = -1;
      ++r.clears;
      continue;
    }
    if (c == 257) break;
    if (prev < 0) {
      if (c > 255) return r.problem = "string code after a clear", r;
      r.data.push_back(uint8_t(c));
      prev = c;
      continue;
    }
    if (c > table.size()) return r.problem = "code above the next entry", r;
    const uint8_t first = c < table.size() ? table[c].first : table[size_t(prev)].first;
    table.push_back({uint32_t(prev), first, table[size_t(prev)].first});
    emit(c);
    if (table.size() > 4094) return r.problem = "table past 4,094 entries", r;
    if (table.size() >= (1u << width) - 1 && width < 12) ++width;
    prev = c;
  }
  r.entriesAtEnd = table.size();
  if (bit % 8 && (code[bit / 8] & (0xFF >> (bit % 8)))) return r.problem = "padding not zero", r;
  if ((bit + 7) / 8 != code.size()) return r.problem = "bytes after the end code", r;
  return r;
}

Bytes RandomBytes(size_t n, uint32_t seed, int alphabet = 256) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& v : b) v = uint8_t(rng() % uint32_t(alphabet));
  return b;
}

void ExpectRoundTrip(const Bytes& in) {
  const Bytes code = EncodeTiffLzw(in);
  const Strict s = StrictDecode(code);
  ASSERT_EQ(s.problem, "") << in.size() << " bytes";
  ASSERT_TRUE(s.data == in) << in.size() << " bytes";
  // The library's decoder gives the bytes, then meets the end code.
  TLxLzwDecoder dec;
  dec.Begin(code);
  Bytes out(in.size() + 1);
  size_t produced = 0;
  ASSERT_EQ(dec.Decode(out, &produced), TLxFailure::Truncated);
  EXPECT_EQ(produced, in.size());
  out.pop_back();
  EXPECT_TRUE(out == in);
  EXPECT_TRUE(dec.Finished());
}

TEST(LzwEncoder, RoundTripsOfAllKinds) {
  ExpectRoundTrip({});
  ExpectRoundTrip({42});
  ExpectRoundTrip({7, 7});
  ExpectRoundTrip(Bytes(3, 0xFF));
  // The string being defined used at once (the "KwKwK" case), over and over.
  ExpectRoundTrip(Bytes(100000, 0));
  Bytes abab;
  for (int i = 0; i < 5000; ++i) abab.push_back(uint8_t(i % 2 ? 'a' : 'b'));
  ExpectRoundTrip(abab);
  // Noise fills the table every few thousand bytes: many clear codes.
  const Bytes noise = RandomBytes(200000, 1);
  EXPECT_GE(StrictDecode(EncodeTiffLzw(noise)).clears, 40u);
  ExpectRoundTrip(noise);
  ExpectRoundTrip(RandomBytes(150000, 2, 4));
  // Photo-like rows: gradients with a little noise and flat areas.
  Bytes photo;
  std::mt19937 rng(3);
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 300 * 3; ++x)
      photo.push_back(uint8_t(x > 600 ? 90 : (x / 3 + y + rng() % 4)));
  ExpectRoundTrip(photo);
}

// Every way a stream can end: the last code may widen the decoder's codes (at 511, 1,023 and
// 2,047 entries) just before the end-of-information code.
TEST(LzwEncoder, EndCodeHasTheDecodersWidth) {
  const Bytes noise = RandomBytes(4200, 4);
  std::set<size_t> ends;
  for (size_t n = 1; n <= noise.size(); ++n) {
    const bool nearEdge =
        (n > 230 && n < 270) || (n > 740 && n < 790) || (n > 1740 && n < 1830) || n > 3700;
    if (!nearEdge && n % 97) continue;
    const Bytes in(noise.begin(), noise.begin() + long(n));
    const Strict s = StrictDecode(EncodeTiffLzw(in));
    ASSERT_EQ(s.problem, "") << n;
    ASSERT_TRUE(s.data == in) << n;
    ends.insert(s.entriesAtEnd);
  }
  for (size_t edge : {511u, 1023u, 2047u}) EXPECT_TRUE(ends.count(edge)) << edge;
}

// A strip fed in pieces (rows) through the hook gives the same bytes as the whole; a second
// strip on the same stream starts afresh.
TEST(LzwEncoder, HookEncodesStripsInPieces) {
  const Bytes a = RandomBytes(60000, 5, 16), b = RandomBytes(9000, 6);
  TMemoryStream stream;
  std::unique_ptr<TLxLzwHookState> state;
  std::mt19937 rng(7);
  size_t at = 0;
  while (at < a.size()) {
    const size_t n = std::min(a.size() - at, size_t(1 + rng() % 3000));
    ASSERT_TRUE(DefaultTiffLzwEncoderHook(std::span(a).subspan(at, n), stream, state));
    ASSERT_TRUE(state);
    at += n;
  }
  ASSERT_TRUE(DefaultTiffLzwEncoderHook({}, stream, state));
  EXPECT_FALSE(state);
  const size_t firstStrip = size_t(stream.Size());
  ASSERT_TRUE(TiffLzwEncodeRow(b, stream, state));
  ASSERT_TRUE(TiffLzwEncodeRow({}, stream, state));
  // Ending with no strip begun writes nothing.
  ASSERT_TRUE(TiffLzwEncodeRow({}, stream, state));

  const Bytes all = test::StreamBytes(stream);
  Bytes expected = EncodeTiffLzw(a);
  EXPECT_EQ(firstStrip, expected.size());
  const Bytes second = EncodeTiffLzw(b);
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_TRUE(all == expected);
}

TEST(LzwEncoder, HookReportsShortWrites) {
  const Bytes noise = RandomBytes(100000, 8);
  test::ShortStream stream(1000);
  std::unique_ptr<TLxLzwHookState> state;
  bool ok = true;
  for (size_t at = 0; at < noise.size(); at += 1000)
    ok = TiffLzwEncodeRow(std::span(noise).subspan(at, 1000), stream, state) && ok;
  ok = TiffLzwEncodeRow({}, stream, state) && ok;
  EXPECT_FALSE(ok);
  EXPECT_FALSE(state);
}

TEST(LzwEncoder, HorizontalDifferencing) {
  Bytes row = {10, 20, 30, 11, 22, 33, 5, 0, 255};
  DifferenceRow8(row, 3);
  EXPECT_EQ(row, (Bytes{10, 20, 30, 1, 2, 3, 250, 234, 222}));
  Bytes gray = {1, 1, 3, 0};
  DifferenceRow8(gray, 1);
  EXPECT_EQ(gray, (Bytes{1, 0, 2, 253}));
}

}  // namespace
}  // namespace lumenax
