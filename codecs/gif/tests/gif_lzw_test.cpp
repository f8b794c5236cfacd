// GIF LZW: round trips through the library's encoder and decoder, and hand-made code streams
// for the table-full, early-end and corrupt cases.
#include <gtest/gtest.h>

#include <random>

#include "bitmap/stream.h"
#include "codecs/gif/gif_lzw.h"
#include "codecs/gif/tests/gif_test_util.h"

namespace lumenax {
namespace {

using test::LsbCodes;
using test::SubBlocks;

std::vector<uint8_t> Noise(size_t n, int colours, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = i > 8 && rng() % 3 == 0 ? v[i - 1 - rng() % 8] : uint8_t(rng() % uint32_t(colours));
  return v;
}

TLxFailure Decode(const std::vector<uint8_t>& data, int w, int h, std::vector<uint8_t>& out,
                  bool interlaced = false, int64_t* end = nullptr) {
  TMemoryStream s(data);
  out.assign(size_t(w) * size_t(h), 0);
  const TLxFailure f = GifLzwDecode(s, h, w, out.data(), interlaced);
  if (end) *end = s.Position();
  return f;
}

TEST(GifLzw, RoundTripsEveryCodeSizeInterlacedOrNot) {
  for (int bits = 2; bits <= 8; ++bits) {
    for (bool interlaced : {false, true}) {
      for (int h = 1; h <= 9; ++h) {
        const int w = 3 + bits;
        SCOPED_TRACE(testing::Message()
                     << bits << " bits, height " << h << " interlaced " << interlaced);
        const std::vector<uint8_t> pixels = Noise(size_t(w * h), 1 << bits, uint32_t(bits * h));
        TMemoryStream s;
        ASSERT_TRUE(GifLzwEncode(s, h, w, bits, pixels.data(), interlaced));
        const int64_t written = s.Size();
        s.Seek(0, soBeginning);
        std::vector<uint8_t> out(pixels.size(), 0);
        EXPECT_EQ(GifLzwDecode(s, h, w, out.data(), interlaced), TLxFailure::None);
        EXPECT_EQ(out, pixels);
        EXPECT_EQ(s.Position(), written);  // the terminator is consumed
      }
    }
  }
  // Large images pass every code width and several table clears.
  for (int bits : {2, 5, 8}) {
    const int w = 517, h = 300;
    const std::vector<uint8_t> pixels = Noise(size_t(w * h), 1 << bits, 99);
    TMemoryStream s;
    ASSERT_TRUE(GifLzwEncode(s, h, w, bits, pixels.data(), bits == 5));
    s.Seek(0, soBeginning);
    std::vector<uint8_t> out(pixels.size(), 0);
    EXPECT_EQ(GifLzwDecode(s, h, w, out.data(), bits == 5), TLxFailure::None) << bits;
    EXPECT_EQ(out, pixels) << bits;
  }
}

// A stream that fills the table and goes on with 12-bit codes without a clear code.
LsbCodes FullTableStream(int literals, int& pixels, std::vector<uint8_t>& expect) {
  LsbCodes c;
  const int m = 2;
  int width = m + 1;
  uint32_t next = 6;
  c.Put(4, width);
  // Literal codes only: each adds one entry, until the table is full and beyond.
  for (int i = 0; i < literals; ++i) {
    const uint32_t code = uint32_t(i % 4);
    c.Put(code, width);
    expect.push_back(uint8_t(code));
    if (i > 0 && next < 4096) ++next;
    if (next >= (1u << width) && width < 12) ++width;
  }
  pixels = literals;
  return c;
}

TEST(GifLzw, FullTableKeepsDecodingUntilClear) {
  int pixels = 0;
  std::vector<uint8_t> expect;
  LsbCodes c = FullTableStream(5000, pixels, expect);
  // A clear code, then codes of the first width again.
  c.Put(4, 12);
  for (uint32_t code : {3u, 2u, 1u}) {
    c.Put(code, 3);
    expect.push_back(uint8_t(code));
  }
  c.Put(5, 3);
  std::vector<uint8_t> out;
  EXPECT_EQ(Decode(SubBlocks(2, c.bytes), int(expect.size()), 1, out), TLxFailure::None);
  EXPECT_EQ(out, expect);

  // The same stream cut short while the table is full: what came keeps, the rest is 0.
  std::vector<uint8_t> cut(c.bytes.begin(), c.bytes.end() - 500);
  EXPECT_EQ(Decode(SubBlocks(2, cut), int(expect.size()), 1, out), TLxFailure::Truncated);
  size_t same = 0;
  while (same < out.size() && out[same] == expect[same]) ++same;
  EXPECT_GT(same, 4096u);
  for (size_t i = same + 1; i < out.size(); ++i) ASSERT_EQ(out[i], 0) << i;
}

TEST(GifLzw, CorruptCodesStopTheFrame) {
  std::vector<uint8_t> out;
  // 'a' then a code above the next free entry (6 is next; 7 is beyond).
  LsbCodes c;
  c.Put(4, 3);
  c.Put(1, 3);
  c.Put(7, 3);
  c.Put(1, 3);
  EXPECT_EQ(Decode(SubBlocks(2, c.bytes), 4, 1, out), TLxFailure::BadData);
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 0, 0, 0}));
  // The code being defined is fine: 1, then 6 = "1 1".
  LsbCodes k;
  k.Put(4, 3);
  k.Put(1, 3);
  k.Put(6, 3);
  k.Put(5, 3);
  EXPECT_EQ(Decode(SubBlocks(2, k.bytes), 3, 1, out), TLxFailure::None);
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 1, 1}));
  // An end code before the last pixel: truncated; data after the last pixel are ignored.
  LsbCodes e;
  e.Put(4, 3);
  e.Put(2, 3);
  e.Put(5, 3);
  EXPECT_EQ(Decode(SubBlocks(2, e.bytes), 2, 1, out), TLxFailure::Truncated);
  EXPECT_EQ(out, (std::vector<uint8_t>{2, 0}));
  EXPECT_EQ(Decode(SubBlocks(2, e.bytes), 1, 1, out), TLxFailure::None);
  // No data sub-blocks at all.
  EXPECT_EQ(Decode({2, 0}, 2, 2, out), TLxFailure::Truncated);
}

TEST(GifLzw, MinimumCodeSizes) {
  std::vector<uint8_t> out;
  int64_t end = 0;
  for (uint8_t m : {0, 1, 10, 12, 255}) {
    EXPECT_EQ(Decode({m, 1, 0, 0}, 1, 1, out, false, &end), TLxFailure::BadData) << int(m);
    EXPECT_EQ(end, 0) << "the stream goes back to the code size byte";
  }
  // 9 is accepted: literal codes of 10 bits, those above 255 read as 255.
  LsbCodes c;
  c.Put(512, 10);
  c.Put(7, 10);
  c.Put(300, 10);
  c.Put(513, 10);
  EXPECT_EQ(Decode(SubBlocks(9, c.bytes), 2, 1, out), TLxFailure::None);
  EXPECT_EQ(out, (std::vector<uint8_t>{7, 255}));
}

TEST(GifLzw, EncoderReportsShortWrites) {
  // A read-only memory stream takes nothing.
  const uint8_t none = 0;
  TLxMemStream target(&none, 0);
  const std::vector<uint8_t> pixels(64, 1);
  EXPECT_FALSE(GifLzwEncode(target, 8, 8, 2, pixels.data(), false));
}

}  // namespace
}  // namespace lumenax
