// CCITT row decoders on hand-made code streams: the code tables themselves, one-dimensional
// rows with end-of-line and fill bits, byte-aligned compression 2 rows, every two-dimensional
// mode, uncompressed mode, and damaged data that must neither loop nor overflow.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codecs/common/bit_order.h"
#include "codecs/common/ccitt_codes.h"
#include "codecs/common/ccitt_decoder.h"

namespace lumenax {
namespace {

using Bytes = std::vector<uint8_t>;

// "0011 0101 1" -> bytes, most significant bit first, spaces ignored, zero padded.
Bytes Bits(const std::string& s) {
  Bytes out;
  size_t n = 0;
  for (char c : s) {
    if (c != '0' && c != '1') continue;
    if (n % 8 == 0) out.push_back(0);
    if (c == '1') out.back() |= uint8_t(0x80 >> (n % 8));
    ++n;
  }
  return out;
}

// A white row of width pixels with the given black spans [from, to).
Bytes Row(uint32_t width, std::vector<std::pair<uint32_t, uint32_t>> black) {
  Bytes row((width + 7) / 8, 0xFF);
  for (auto [a, b] : black)
    for (uint32_t x = a; x < b; ++x) row[x / 8] &= uint8_t(~(0x80 >> (x % 8)));
  return row;
}

std::string Show(const Bytes& row, uint32_t width) {
  std::string s;
  for (uint32_t x = 0; x < width; ++x) s += (row[x / 8] >> (7 - x % 8) & 1) ? '.' : '#';
  return s;
}

TEST(CcittCodes, TablesAreCompletePrefixCodes) {
  // Every code of a colour, plus the end-of-line, must be prefix-free; the run codes must fill
  // the whole code space except the subtree 0000000 (end-of-line and extended make-up), and
  // the extended make-up codes fill exactly 00000001.
  for (bool white : {true, false}) {
    std::vector<TLxCcittCode> all;
    double kraft = 0, extended = 0;
    auto add = [&](auto codes, double& sum) {
      for (const TLxCcittCode& c : codes) {
        all.push_back(c);
        sum += 1.0 / double(1u << c.Length);
      }
    };
    add(white ? CcittWhiteTerminating() : CcittBlackTerminating(), kraft);
    add(white ? CcittWhiteMakeUp() : CcittBlackMakeUp(), kraft);
    add(CcittExtendedMakeUp(), extended);
    all.push_back(kCcittEndOfLine);
    EXPECT_DOUBLE_EQ(kraft, 1.0 - 1.0 / 128) << white;
    EXPECT_DOUBLE_EQ(extended, 1.0 / 256);
    for (size_t i = 0; i < all.size(); ++i)
      for (size_t j = 0; j < all.size(); ++j) {
        if (i == j) continue;
        const TLxCcittCode &a = all[i], &b = all[j];
        if (a.Length > b.Length) continue;
        EXPECT_NE(b.Bits >> (b.Length - a.Length), a.Bits)
            << "code for " << a.Run << " is a prefix of " << b.Run << " white " << white;
      }
  }
  for (int r = 0; r < 64; ++r) {
    EXPECT_EQ(CcittWhiteTerminating()[size_t(r)].Run, r);
    EXPECT_EQ(CcittBlackTerminating()[size_t(r)].Run, r);
  }
}

TEST(CcittDecoder, OneDimensionalRows) {
  const uint32_t w = 20;
  Bytes row(3);
  // white 3, black 2, white 15
  const std::string codes = "1000 11 110101";
  const Bytes expect = Row(w, {{3, 5}});
  {
    Bytes data = Bits(codes);
    TLxCcittRow r = DecodeCcittRow1D(row, data, 1, 0, w);
    EXPECT_EQ(Show(row, w), Show(expect, w));
    EXPECT_EQ(r.End, TLxCcittRowEnd::Filled);
    EXPECT_EQ(r.BitPosition, 12u);
  }
  // End-of-line codes before the row, with or without fill bits, and the meaningless 9- to
  // 11-bit zero patterns, are skipped; so is a bit that starts no code.
  for (const std::string& prefix : {std::string("000000000001"), std::string("0000000000000001"),
                                    std::string("000000000001 000000001 000000000001")}) {
    Bytes data = Bits(prefix + codes);
    TLxCcittRow r = DecodeCcittRow1D(row, data, 1, 0, w);
    EXPECT_EQ(Show(row, w), Show(expect, w)) << prefix;
    EXPECT_EQ(r.End, TLxCcittRowEnd::Filled);
  }
  // Make-up codes add up; runs are cut at the row's end: white 64+0 fills the row.
  {
    Bytes data = Bits("11011 00110101");
    TLxCcittRow r = DecodeCcittRow1D(row, data, 1, 0, w);
    EXPECT_EQ(Show(row, w), std::string(w, '.'));
    EXPECT_EQ(r.End, TLxCcittRowEnd::Filled);
    EXPECT_EQ(r.BitPosition, 13u);
  }
  // An end-of-line inside the row ends it: the rest keeps the current colour (black here),
  // and the end-of-line is left for the next row, which skips it.
  {
    Bytes data = Bits("1000 000000000001 0111 11");
    TLxCcittRow r = DecodeCcittRow1D(row, data, 1, 0, w);
    EXPECT_EQ(Show(row, w), Show(Row(w, {{3, 20}}), w));
    EXPECT_EQ(r.End, TLxCcittRowEnd::EndOfLine);
    EXPECT_EQ(r.BitPosition, 4u);
    // The next row: the end-of-line, then white 2, black 2.
    r = DecodeCcittRow1D(row, data, 1, r.BitPosition, 4);
    EXPECT_EQ(Show(row, 4), "..##");
    EXPECT_EQ(r.End, TLxCcittRowEnd::Filled);
  }
  // Data that end inside the row.
  {
    Bytes data = Bits("1000 11");  // padded with zeros to a byte
    TLxCcittRow r = DecodeCcittRow1D(row, data, 1, 0, w);
    EXPECT_EQ(r.End, TLxCcittRowEnd::EndOfData);
    EXPECT_EQ(r.BitPosition, 8u);
    EXPECT_EQ(Show(row, w), Show(Row(w, {{3, 5}}), w));
  }
  // Fill order 2: the same codes with every byte's bits reversed.
  {
    Bytes data = Bits(codes);
    ReverseBitOrder(data);
    DecodeCcittRow1D(row, data, 2, 0, w);
    EXPECT_EQ(Show(row, w), Show(expect, w));
  }
}

TEST(CcittDecoder, CompressionTwoRowsStartOnByteBoundaries) {
  // Row 1: white 10 (5 bits). Row 2, from the next byte: white 0, black 10.
  Bytes data = Bits("00111 000  00110101 0000100 0");
  Bytes row(2);
  TLxCcittRow r = DecodeCcittRowRle(row, data, 1, 0, 10);
  EXPECT_EQ(Show(row, 10), "..........");
  EXPECT_EQ(r.BitPosition, 8u);
  r = DecodeCcittRowRle(row, data, 1, r.BitPosition, 10);
  EXPECT_EQ(Show(row, 10), "##########");
  EXPECT_EQ(r.BitPosition, 24u);
  EXPECT_EQ(r.End, TLxCcittRowEnd::Filled);
  // A position inside a byte is rounded up first.
  r = DecodeCcittRowRle(row, data, 1, 3, 10);
  EXPECT_EQ(Show(row, 10), "##########");
}

// The reference row of the two-dimensional tests: 80 pixels, black at [8,16), [24,32),
// [40,48), [56,64); coded against a white row as four horizontal modes and V0.
const uint32_t kW = 80;
const std::string kRefCodes =
    "001 10011 000101  001 10011 000101  001 10011 000101  001 10011 000101  1";
// Against it, one transition in each of the seven vertical modes, then V0 twice:
// V0, VR1, VR2, VR3, VL1, VL2, VL3, V0, V0.
const std::string kVerticalCodes = "1 011 000011 0000011 010 000010 0000010 1 1";

TEST(CcittDecoder, TwoDimensionalModes) {
  const Bytes ref = Row(kW, {{8, 16}, {24, 32}, {40, 48}, {56, 64}});
  const Bytes vertical = Row(kW, {{8, 17}, {26, 35}, {39, 46}, {53, 64}});
  Bytes row(10);
  {
    TLxCcittDecoder dec(TLxCcittScheme::Group4, kW);
    Bytes data = Bits(kRefCodes + kVerticalCodes);
    dec.Begin(data);
    EXPECT_EQ(dec.DecodeRow(row), TLxCcittRowEnd::Filled);
    EXPECT_EQ(Show(row, kW), Show(ref, kW));
    EXPECT_EQ(dec.DecodeRow(row), TLxCcittRowEnd::Filled);
    EXPECT_EQ(Show(row, kW), Show(vertical, kW));
    // A new strip starts against a white row again.
    dec.Begin(data);
    EXPECT_EQ(dec.DecodeRow(row), TLxCcittRowEnd::Filled);
    EXPECT_EQ(Show(row, kW), Show(ref, kW));
  }
  // Pass mode: white passes below the black run at [8,16); then horizontal white 14,
  // black 10; V0 to the end.
  {
    Bytes refRow = Row(kW, {{8, 16}});
    Bytes data = Bits("0001 001 110100 0000100 1");
    TLxCcittRow r = DecodeCcittRow2D(row, data, false, 1, 0, refRow, kW);
    EXPECT_EQ(Show(row, kW), Show(Row(kW, {{30, 40}}), kW));
    EXPECT_EQ(r.End, TLxCcittRowEnd::Filled);
    EXPECT_EQ(refRow, row);  // the decoded row becomes the reference
  }
  // VL3 where b1 is the first pixel would put a1 before the row: it stays at the row start.
  {
    Bytes refRow = Row(kW, {{0, 8}});
    Bytes data = Bits("0000010 1 1");
    TLxCcittRow r = DecodeCcittRow2D(row, data, false, 1, 0, refRow, kW);
    EXPECT_EQ(Show(row, kW), Show(Row(kW, {{0, 8}}), kW));
    EXPECT_EQ(r.End, TLxCcittRowEnd::Filled);
  }
}

TEST(CcittDecoder, GroupThreeTwoDimensionalTagBitsAndFill) {
  // Each row starts with an end-of-line and a tag bit: 1 one-dimensional, 0 two-dimensional.
  // Row 1 (1-D): white 8, black 8 four times, white 16. Row 2 (2-D) against it.
  const std::string row1 = "10011 000101 10011 000101 10011 000101 10011 000101 101010";
  Bytes row(10);
  for (const std::string& fill : {std::string(""), std::string("0000000")}) {
    TLxCcittDecoder dec(TLxCcittScheme::Group3TwoD, kW);
    Bytes data = Bits(fill + "000000000001 1" + row1 + fill + "000000000001 0" + kVerticalCodes +
                      "000000000001 1 000000000001 1");
    dec.Begin(data);
    EXPECT_EQ(dec.DecodeRow(row), TLxCcittRowEnd::Filled);
    EXPECT_EQ(Show(row, kW), Show(Row(kW, {{8, 16}, {24, 32}, {40, 48}, {56, 64}}), kW));
    EXPECT_EQ(dec.DecodeRow(row), TLxCcittRowEnd::Filled);
    EXPECT_EQ(Show(row, kW), Show(Row(kW, {{8, 17}, {26, 35}, {39, 46}, {53, 64}}), kW));
  }
}

TEST(CcittDecoder, UncompressedModeSetsItsPixels) {
  // Extension into uncompressed mode, then: 1 (black), 01 (white, black), 00001 (four white,
  // black), 000001 (five white), exit 00000001 with one white and tag 1 (black follows);
  // V0 against the white reference row fills the rest with black.
  const uint32_t w = 24;
  Bytes refRow = Row(w, {}), row(3);
  Bytes data = Bits("0000001111 1 01 00001 000001 00000001 1  1");
  TLxCcittRow r = DecodeCcittRow2D(row, data, false, 1, 0, refRow, w);
  EXPECT_EQ(Show(row, w), Show(Row(w, {{0, 1}, {2, 3}, {7, 8}, {14, 24}}), w));
  EXPECT_EQ(r.End, TLxCcittRowEnd::Filled);
  // The same with the one-dimensional extension code, exiting with tag 0 (white follows).
  refRow = Row(w, {});
  data = Bits("000000001111 001 0000001 0 1");
  r = DecodeCcittRow2D(row, data, false, 1, 0, refRow, w);
  EXPECT_EQ(Show(row, w), Show(Row(w, {{2, 3}}), w));
  EXPECT_EQ(r.End, TLxCcittRowEnd::Filled);
}

TEST(CcittDecoder, DamagedDataNeitherLoopsNorOverflows) {
  // A row of 100,000 make-up codes of 2,560: the run is summed without overflow and cut.
  {
    std::string s;
    for (int i = 0; i < 100000; ++i) s += "000000011111";
    Bytes data = Bits(s + "00110101");  // then white 0 ends the run
    Bytes row(13);
    TLxCcittRow r = DecodeCcittRow1D(row, data, 1, 0, 100);
    EXPECT_EQ(r.End, TLxCcittRowEnd::Filled);
    EXPECT_EQ(Show(row, 100), std::string(100, '.'));
  }
  // Random data through every scheme: each row call consumes data or ends the strip, and the
  // rows never grow past their width (the byte after the row stays untouched).
  std::mt19937 rng(17);
  for (int t = 0; t < 600; ++t) {
    Bytes data(rng() % 300);
    for (uint8_t& b : data) b = uint8_t(rng() % 4 ? rng() : 0);
    const uint32_t width = 1 + rng() % 200;
    const auto scheme = TLxCcittScheme(t % 4);
    TLxCcittDecoder dec(scheme, width, 1 + int(rng() % 2), rng() % 2);
    dec.Begin(data);
    Bytes row(dec.RowBytes() + 1, 0x5A);
    int rows = 0;
    while (!dec.AtEnd()) {
      const uint64_t before = dec.BitPosition();
      dec.DecodeRow(std::span(row.data(), dec.RowBytes()));
      ASSERT_TRUE(dec.BitPosition() > before || dec.AtEnd()) << t;
      ASSERT_EQ(row.back(), 0x5A);
      ASSERT_LT(++rows, 3000);
    }
    EXPECT_EQ(dec.DecodeRow(std::span(row.data(), dec.RowBytes())), TLxCcittRowEnd::EndOfData);
  }
  // A row span shorter than the width: the width is cut to it.
  Bytes data = Bits("0000110111"), small(1, 0);
  DecodeCcittRow1D(small, data, 1, 0, 1000);
  EXPECT_EQ(small[0], 0xFF);
}

}  // namespace
}  // namespace lumenax
