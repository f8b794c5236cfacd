// LZW decoding: round trips through an independent encoder in both the TIFF and the GIF
// dialect, hand-made code streams for the corner cases, and the decoder hook's life cycle.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "codecs/common/lzw_decoder.h"

namespace lumenax {
namespace {

// Packs codes of given widths, most or least significant bit first.
class CodeWriter {
 public:
  explicit CodeWriter(bool lsbFirst = false) : lsb_(lsbFirst) {}
  void Put(uint32_t code, int width) {
    for (int i = 0; i < width; ++i) {
      const int bit = lsb_ ? (code >> i) & 1 : (code >> (width - 1 - i)) & 1;
      if (n_ % 8 == 0) out_.push_back(0);
      if (bit) out_.back() |= uint8_t(lsb_ ? 1 << (n_ % 8) : 0x80 >> (n_ % 8));
      ++n_;
    }
  }
  const std::vector<uint8_t>& Bytes() const { return out_; }

 private:
  bool lsb_;
  size_t n_ = 0;
  std::vector<uint8_t> out_;
};

// A plain dictionary encoder. TIFF dialect: the width grows one code early and the table is
// cleared before it fills; GIF dialect: late growth, LSB-first, and (clearAtFull false) a full
// table is kept without a clear code.
std::vector<uint8_t> Encode(const std::vector<uint8_t>& in, const TLxLzwOptions& o,
                            bool clearAtFull = true, bool startWithClear = true) {
  CodeWriter w(o.LsbFirst);
  const uint32_t clear = 1u << o.LiteralBits, eoi = clear + 1;
  std::map<std::pair<uint32_t, uint8_t>, uint32_t> dict;
  uint32_t next = clear + 2;
  int width = o.LiteralBits + 1;
  // The decoder, one entry behind, widens when its table reaches this limit.
  auto grow = [&] {
    const uint32_t limit = o.EarlyChange ? (1u << width) - 1 : (1u << width);
    if (next - 1 >= limit && width < 12) ++width;
  };
  auto reset = [&] {
    dict.clear();
    next = clear + 2;
    width = o.LiteralBits + 1;
  };
  if (startWithClear) w.Put(clear, width);
  if (in.empty()) {
    w.Put(eoi, width);
    return w.Bytes();
  }
  uint32_t prefix = in[0];
  for (size_t i = 1; i < in.size(); ++i) {
    auto it = dict.find({prefix, in[i]});
    if (it != dict.end()) {
      prefix = it->second;
      continue;
    }
    w.Put(prefix, width);
    if (next < 4096) {
      dict[{prefix, in[i]}] = next++;
      grow();
    }
    if (clearAtFull && next >= 4094) {
      w.Put(clear, width);
      reset();
    }
    prefix = in[i];
  }
  w.Put(prefix, width);
  if (next < 4096) {
    ++next;
    grow();
  }
  w.Put(eoi, width);
  return w.Bytes();
}

std::vector<uint8_t> TestData(size_t n, int alphabet, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    // Runs and repeats mixed with noise, so strings of every length appear.
    if (i > 16 && rng() % 3 == 0) {
      v[i] = v[i - 1 - rng() % 16];
    } else {
      v[i] = uint8_t(rng() % uint32_t(alphabet));
    }
  }
  return v;
}

// Decodes in pieces of varying size, as a reader taking rows of different lengths would.
std::vector<uint8_t> DecodeInPieces(const std::vector<uint8_t>& code, size_t total,
                                    const TLxLzwOptions& o, uint32_t seed,
                                    TLxFailure* failure = nullptr) {
  TLxLzwDecoder d(o);
  d.Begin(code);
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(total);
  size_t at = 0;
  TLxFailure f = TLxFailure::None;
  while (at < total && f == TLxFailure::None) {
    const size_t piece = std::min<size_t>(total - at, 1 + rng() % 700);
    f = d.Decode(std::span<uint8_t>(out.data() + at, piece));
    at += piece;
  }
  if (failure) *failure = f;
  return out;
}

TEST(LzwDecoder, RoundTripsBothDialects) {
  TLxLzwOptions tiff;  // defaults are TIFF's
  TLxLzwOptions gif;
  gif.EarlyChange = false;
  gif.LsbFirst = true;
  gif.FullTableIsError = false;
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    // Large inputs pass every code width and several clear codes; small ones end early.
    for (size_t n : {size_t(1), size_t(2), size_t(600), size_t(80000)}) {
      const std::vector<uint8_t> data = TestData(n, seed == 1 ? 256 : 4 << seed, seed);
      SCOPED_TRACE(testing::Message() << "seed " << seed << " n " << n);
      std::vector<uint8_t> code = Encode(data, tiff);
      TLxFailure f;
      EXPECT_EQ(DecodeInPieces(code, n, tiff, seed, &f), data);
      EXPECT_EQ(f, TLxFailure::None);
      // Asking for one byte more than the stream holds: the end code makes it Truncated.
      TLxLzwDecoder d(tiff);
      d.Begin(code);
      std::vector<uint8_t> more(n + 1, 0xAA);
      size_t produced = 0;
      EXPECT_EQ(d.Decode(more, &produced), TLxFailure::Truncated);
      EXPECT_EQ(produced, n);
      EXPECT_EQ(more[n], 0);
      EXPECT_TRUE(d.Finished());

      // GIF: no clear code when the table fills, so the decoder must freeze the table.
      std::vector<uint8_t> gifCode = Encode(data, gif, /*clearAtFull=*/false);
      EXPECT_EQ(DecodeInPieces(gifCode, n, gif, seed, &f), data);
      EXPECT_EQ(f, TLxFailure::None);
    }
  }
  // Small literal alphabets (GIF images of 4 or 16 colours).
  for (int bits : {2, 4}) {
    TLxLzwOptions o = gif;
    o.LiteralBits = bits;
    const std::vector<uint8_t> data = TestData(50000, 1 << bits, 7);
    EXPECT_EQ(DecodeInPieces(Encode(data, o, false), data.size(), o, 3), data) << bits;
  }
}

TEST(LzwDecoder, HandMadeStreams) {
  TLxLzwOptions tiff;
  auto decode = [&](const std::vector<std::pair<uint32_t, int>>& codes, size_t want,
                    TLxFailure expect, std::vector<uint8_t> expectBytes) {
    CodeWriter w;
    for (auto [c, width] : codes) w.Put(c, width);
    TLxLzwDecoder d(tiff);
    d.Begin(w.Bytes());
    std::vector<uint8_t> out(want, 0xEE);
    EXPECT_EQ(d.Decode(out), expect);
    EXPECT_EQ(out, expectBytes);
  };
  // No clear code first: the initial table is in force.
  decode({{'a', 9}, {'b', 9}, {258, 9}, {257, 9}}, 4, TLxFailure::None, {'a', 'b', 'a', 'b'});
  // The string that is being defined (KwKwK): 'a', then 258 = "aa".
  decode({{256, 9}, {'a', 9}, {258, 9}, {257, 9}}, 3, TLxFailure::None, {'a', 'a', 'a'});
  // A first code above the literals has no string: corrupt, not a read of garbage.
  decode({{258, 9}, {257, 9}}, 2, TLxFailure::BadData, {0, 0});
  decode({{'x', 9}, {256, 9}, {300, 9}}, 3, TLxFailure::BadData, {'x', 0, 0});
  // Repeated clear codes are harmless.
  decode({{256, 9}, {256, 9}, {'q', 9}, {257, 9}}, 1, TLxFailure::None, {'q'});
  // Code stream ends inside the request: the rest is zero and the call fails.
  decode({{'a', 9}, {'b', 9}}, 4, TLxFailure::Truncated, {'a', 'b', 0, 0});
  // An end code inside the request.
  decode({{'a', 9}, {257, 9}, {'b', 9}}, 2, TLxFailure::Truncated, {'a', 0});
  // A code beyond the next free entry stands for the entry being added.
  decode({{'a', 9}, {400, 9}, {257, 9}}, 3, TLxFailure::None, {'a', 'a', 'a'});

  // The width becomes 10 bits once the table holds 511 entries: 253 literals after the first
  // add entries 258..510, and the next code is read with 10 bits.
  {
    CodeWriter w;
    std::vector<uint8_t> expect;
    for (int i = 0; i < 254; ++i) {
      w.Put(uint32_t(i), 9);
      expect.push_back(uint8_t(i));
    }
    w.Put(7, 10);
    w.Put(257, 10);
    expect.push_back(7);
    TLxLzwDecoder d(tiff);
    d.Begin(w.Bytes());
    std::vector<uint8_t> out(expect.size());
    EXPECT_EQ(d.Decode(out), TLxFailure::None);
    EXPECT_EQ(out, expect);
    TLxLzwOptions late = tiff;
    late.EarlyChange = false;  // the same stream without early change is misread
    TLxLzwDecoder d2(late);
    d2.Begin(w.Bytes());
    d2.Decode(out);
    EXPECT_NE(out, expect);
  }

  // More than 4,096 entries without a clear code: corrupt in TIFF, tolerated in GIF mode.
  {
    CodeWriter w;
    int width = 9;
    uint32_t next = 258;
    const int codes = 4200;
    for (int i = 0; i < codes; ++i) {
      w.Put(uint32_t(i % 256), width);
      if (i > 0 && next < 4096) ++next;
      if (next >= (1u << width) - 1 && width < 12) ++width;
    }
    w.Put(257, 12);
    std::vector<uint8_t> out(codes);
    TLxLzwDecoder d(tiff);
    d.Begin(w.Bytes());
    size_t produced = 0;
    EXPECT_EQ(d.Decode(out, &produced), TLxFailure::BadData);
    EXPECT_EQ(produced, 4096u - 258 + 1);  // the codes that added entries 258..4095, and one
    TLxLzwOptions tolerant = tiff;
    tolerant.FullTableIsError = false;
    TLxLzwDecoder g(tolerant);
    g.Begin(w.Bytes());
    EXPECT_EQ(g.Decode(out), TLxFailure::None);
    for (int i = 0; i < codes; ++i) ASSERT_EQ(out[size_t(i)], i % 256) << i;
  }
}

TEST(LzwDecoder, HookLifeCycle) {
  const std::vector<uint8_t> data = TestData(5000, 256, 11);
  const std::vector<uint8_t> code = Encode(data, TLxLzwOptions{});
  std::unique_ptr<TLxLzwHookState> state;
  std::vector<uint8_t> row(1000), all;
  for (int r = 0; r < 5; ++r) {
    ASSERT_EQ(DefaultTiffLzwDecoderHook(code, row, state), TLxFailure::None);
    ASSERT_TRUE(state);
    all.insert(all.end(), row.begin(), row.end());
  }
  EXPECT_EQ(all, data);
  // A sixth row does not exist: Truncated, zeros, and the failure sticks.
  EXPECT_EQ(TiffLzwDecodeRow(code, row, state), TLxFailure::Truncated);
  EXPECT_EQ(row, std::vector<uint8_t>(1000, 0));
  EXPECT_EQ(TiffLzwDecodeRow(code, row, state), TLxFailure::Truncated);
  // Another strip starts afresh.
  const std::vector<uint8_t> code2 = Encode(std::vector<uint8_t>(1000, 9), TLxLzwOptions{});
  EXPECT_EQ(TiffLzwDecodeRow(code2, row, state), TLxFailure::None);
  EXPECT_EQ(row, std::vector<uint8_t>(1000, 9));
  // The call without data frees the state; a row from an empty strip is truncated.
  EXPECT_EQ(TiffLzwDecodeRow({}, {}, state), TLxFailure::None);
  EXPECT_FALSE(state);
  EXPECT_EQ(TiffLzwDecodeRow({}, row, state), TLxFailure::Truncated);
  // A strip cut inside a row.
  std::vector<uint8_t> cut(code.begin(), code.begin() + ptrdiff_t(code.size() / 2));
  TLxFailure f = TLxFailure::None;
  int rows = 0;
  while ((f = TiffLzwDecodeRow(cut, row, state)) == TLxFailure::None) ++rows;
  EXPECT_EQ(f, TLxFailure::Truncated);
  EXPECT_LT(rows, 5);
}

}  // namespace
}  // namespace lumenax
