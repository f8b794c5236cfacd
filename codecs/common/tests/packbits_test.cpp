// PackBits: the published example, the encoder's packet choices, round trips, decoding that
// stays inside both buffers, and piecewise decoding that joins up to the whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "codecs/common/packbits.h"

namespace lumenax {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Decode(const Bytes& in, size_t outSize, TLxPackBitsResult* result = nullptr) {
  Bytes out(outSize, 0xEE);
  TLxPackBitsResult r = DecodePackBits(in, out);
  if (result) *result = r;
  return out;
}

Bytes EncodeRow(const Bytes& row) {
  Bytes out;
  EncodePackBits(row, out);
  return out;
}

TEST(PackBits, DecodesTheClassicExample) {
  const Bytes packed = {0xFE, 0xAA, 0x02, 0x80, 0x00, 0x2A, 0xFD, 0xAA,
                        0x03, 0x80, 0x00, 0x2A, 0x22, 0xF7, 0xAA};
  const Bytes unpacked = {0xAA, 0xAA, 0xAA, 0x80, 0x00, 0x2A, 0xAA, 0xAA, 0xAA, 0xAA, 0x80, 0x00,
                          0x2A, 0x22, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
  TLxPackBitsResult r;
  EXPECT_EQ(Decode(packed, unpacked.size(), &r), unpacked);
  EXPECT_TRUE(r.Complete);
  EXPECT_EQ(r.Consumed, packed.size());
  EXPECT_EQ(r.Produced, unpacked.size());
  // -128 is a no-op packet.
  EXPECT_EQ(Decode({0x80, 0x00, 0x07, 0x80}, 1), Bytes{0x07});
}

TEST(PackBits, EncoderPacketChoices) {
  // Runs of four or more become run packets; three equal bytes stay literal.
  EXPECT_EQ(EncodeRow({5, 5, 5, 5}), (Bytes{0xFD, 5}));
  EXPECT_EQ(EncodeRow({5, 5, 5, 7}), (Bytes{3, 5, 5, 5, 7}));
  EXPECT_EQ(EncodeRow({1, 2, 9, 9, 9, 9, 9, 3}), (Bytes{1, 1, 2, 0xFC, 9, 0, 3}));
  EXPECT_EQ(EncodeRow({}), Bytes{});
  // 129 equal bytes: a full run of 128, then a literal of one.
  EXPECT_EQ(EncodeRow(Bytes(129, 4)), (Bytes{0x81, 4, 0, 4}));
  // 130 different bytes: literals split at 128.
  Bytes ramp(130);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = uint8_t(i);
  Bytes packed = EncodeRow(ramp);
  ASSERT_EQ(packed.size(), 132u);
  EXPECT_EQ(packed[0], 127);
  EXPECT_EQ(packed[129], 1);
  EXPECT_EQ(packed.size(), PackBitsBound(ramp.size()));
}

TEST(PackBits, RoundTripsWithinTheBound) {
  std::mt19937 rng(5);
  for (int t = 0; t < 300; ++t) {
    Bytes row(rng() % 1000);
    for (size_t i = 0; i < row.size(); ++i)
      row[i] = (i && rng() % 4) ? row[i - 1] : uint8_t(rng() % (t % 3 ? 4 : 256));
    Bytes packed = EncodeRow(row);
    ASSERT_LE(packed.size(), PackBitsBound(row.size()));
    TLxPackBitsResult r;
    ASSERT_EQ(Decode(packed, row.size(), &r), row);
    EXPECT_EQ(r.Consumed, packed.size());
  }
}

TEST(PackBits, StaysInsideBothBuffers) {
  TLxPackBitsResult r;
  // A run longer than the output: cut, and the whole packet counts as consumed.
  EXPECT_EQ(Decode({0x81, 7, 0x00, 9}, 5, &r), Bytes(5, 7));
  EXPECT_EQ(r.Consumed, 2u);
  EXPECT_TRUE(r.Complete);
  // A literal longer than the output: cut the same way.
  EXPECT_EQ(Decode({4, 1, 2, 3, 4, 5, 0, 6}, 2, &r), (Bytes{1, 2}));
  EXPECT_EQ(r.Consumed, 6u);
  // A literal cut by the end of the input delivers what is there; the rest of the output is 0.
  EXPECT_EQ(Decode({9, 1, 2, 3}, 6, &r), (Bytes{1, 2, 3, 0, 0, 0}));
  EXPECT_FALSE(r.Complete);
  EXPECT_EQ(r.Produced, 3u);
  EXPECT_EQ(r.Consumed, 4u);
  // A run without its byte produces nothing.
  EXPECT_EQ(Decode({0, 1, 0xF0}, 3, &r), (Bytes{1, 0, 0}));
  EXPECT_EQ(r.Produced, 1u);
  EXPECT_EQ(r.Consumed, 3u);
  // Empty input, empty output.
  EXPECT_EQ(Decode({}, 2, &r), (Bytes{0, 0}));
  EXPECT_EQ(Decode({0xFD, 3}, 0, &r), Bytes{});
  EXPECT_EQ(r.Consumed, 0u);

  // Row by row, a run spilling over a row is dropped; a whole strip at once keeps it.
  const Bytes strip = {0xFB, 1, 0x01, 2, 3};  // six 1s, then 2, 3
  Bytes row(4);
  TLxPackBitsResult first = DecodePackBits(strip, row);
  EXPECT_EQ(row, (Bytes{1, 1, 1, 1}));
  DecodePackBits(std::span(strip).subspan(first.Consumed), row);
  EXPECT_EQ(row, (Bytes{2, 3, 0, 0}));
  EXPECT_EQ(Decode(strip, 8), (Bytes{1, 1, 1, 1, 1, 1, 2, 3}));
}

TEST(PackBits, PiecesJoinUpToTheWholeDecode) {
  // Runs and literals crossing the pieces' edges, and inputs cut anywhere (inside a literal,
  // before a run's byte): the pieces are the whole decode cut up, and the first piece the
  // input does not fill says so.
  std::mt19937 rng(11);
  for (int t = 0; t < 200; ++t) {
    Bytes plane(1 + rng() % 600);
    for (size_t i = 0; i < plane.size(); ++i)
      plane[i] = (i && rng() % 3) ? plane[i - 1] : uint8_t(rng());
    Bytes packed = EncodeRow(plane);
    if (t % 2) packed.resize(rng() % (packed.size() + 1));
    if (t % 5 == 0) packed.insert(packed.begin() + ptrdiff_t(rng() % (packed.size() + 1)), 0x80);
    TLxPackBitsResult whole;
    const Bytes want = Decode(packed, plane.size(), &whole);
    TLxPackBitsReader reader(packed);
    const size_t piece = 1 + rng() % 40;
    Bytes got(plane.size(), 0xEE);
    bool complete = true;
    for (size_t at = 0; at < got.size(); at += piece) {
      const size_t n = std::min(piece, got.size() - at);
      const bool filled = reader.Next({got.data() + at, n});
      // Past the input's end every piece is all zeros.
      if (!complete) {
        EXPECT_EQ(Bytes(got.begin() + ptrdiff_t(at), got.begin() + ptrdiff_t(at + n)), Bytes(n, 0));
      }
      complete = complete && filled;
    }
    ASSERT_EQ(got, want) << t;
    EXPECT_EQ(complete, whole.Complete) << t;
  }
}

}  // namespace
}  // namespace lumenax
