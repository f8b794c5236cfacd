// CCITT encoding: every scheme, both fill orders, strips of several rows and of one, through
// the library's decoders, on pages of random, structured and degenerate rows; the bits that
// close a strip; the stream form and its short writes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codecs/common/ccitt_decoder.h"
#include "codecs/common/ccitt_encoder.h"
#include "codecs/common/tests/codec_test_util.h"

namespace lumenax {
namespace {

using Bytes = std::vector<uint8_t>;

// Rows of 1 = black, 0 = white, leftmost pixel in the most significant bit.
struct Page {
  uint32_t width = 0, height = 0;
  Bytes bits;
  size_t RowBytes() const { return (size_t(width) + 7) / 8; }
  std::span<const uint8_t> Row(uint32_t y) const {
    return std::span(bits).subspan(y * RowBytes(), RowBytes());
  }
  void Set(uint32_t x, uint32_t y) { bits[y * RowBytes() + x / 8] |= uint8_t(0x80 >> (x % 8)); }
};

// Random runs of lengths suited to the width, rows copied from the one above with edges moved
// by up to four pixels (vertical and pass modes), all-white and all-black rows, single-pixel
// alternation, and garbage in the pad bits (the encoder must ignore it).
Page MakePage(uint32_t width, uint32_t height, uint32_t seed) {
  Page p;
  p.width = width;
  p.height = height;
  p.bits.assign(p.RowBytes() * height, 0);
  std::mt19937 rng(seed);
  std::vector<uint32_t> edges;
  for (uint32_t y = 0; y < height; ++y) {
    const uint32_t kind = rng() % 8;
    std::vector<uint32_t> e;
    if (kind == 0) {
      e = {0};  // all black
    } else if (kind == 1) {
      // all white
    } else if (kind == 2) {
      for (uint32_t x = rng() % 2; x < width; ++x) e.push_back(x);  // every pixel a change
    } else if (kind <= 5 && y > 0) {
      uint32_t last = 0;
      for (uint32_t x : edges) {
        if (rng() % 8 == 0) continue;
        const int64_t m = int64_t(x) + int64_t(rng() % 9) - 4;
        if (m < 0 || m >= int64_t(width) || (!e.empty() && uint32_t(m) <= last)) continue;
        e.push_back(uint32_t(m));
        last = uint32_t(m);
      }
    } else {
      const uint32_t scale = 1 + rng() % (width < 64 ? width : kind == 7 ? 4000 : 200);
      for (uint32_t x = rng() % 3 ? rng() % scale : 0; x < width; x += 1 + rng() % scale)
        e.push_back(x);
    }
    for (size_t i = 0; i < e.size(); i += 2) {
      const uint32_t to = i + 1 < e.size() ? e[i + 1] : width;
      for (uint32_t x = e[i]; x < to; ++x) p.Set(x, y);
    }
    if (width % 8) p.bits[(y + 1) * p.RowBytes() - 1] |= uint8_t(rng() & (0xFF >> (width % 8)));
    edges = e;
  }
  return p;
}

std::string SchemeName(TLxCcittScheme s) {
  switch (s) {
    case TLxCcittScheme::ModifiedHuffman:
      return "MH";
    case TLxCcittScheme::Group3OneD:
      return "G3-1D";
    case TLxCcittScheme::Group3TwoD:
      return "G3-2D";
    case TLxCcittScheme::Group4:
      return "G4";
  }
  return "?";
}

int BitAt(const Bytes& data, uint64_t pos, int fillOrder) {
  const int shift = fillOrder == 2 ? int(pos % 8) : 7 - int(pos % 8);
  return (data[pos / 8] >> shift) & 1;
}

// Encodes the page in strips of rowsPerStrip rows, decodes every strip, and checks the pixels
// and what follows the last row of each strip.
void CheckRoundTrip(const Page& page, TLxCcittScheme scheme, int fillOrder, uint32_t rowsPerStrip) {
  SCOPED_TRACE(SchemeName(scheme) + " width " + std::to_string(page.width) + " fill " +
               std::to_string(fillOrder) + " rows/strip " + std::to_string(rowsPerStrip));
  TLxCcittEncoder enc(scheme, page.width, fillOrder);
  TLxCcittDecoder dec(scheme, page.width, fillOrder);
  Bytes row(page.RowBytes());
  const uint8_t lastMask = uint8_t(0xFF << ((8 - page.width % 8) % 8));
  for (uint32_t y0 = 0; y0 < page.height; y0 += rowsPerStrip) {
    const uint32_t y1 = std::min(page.height, y0 + rowsPerStrip);
    Bytes strip;
    for (uint32_t y = y0; y < y1; ++y) enc.EncodeRow(page.Row(y), strip);
    enc.EndStrip(strip);
    dec.Begin(strip);
    for (uint32_t y = y0; y < y1; ++y) {
      ASSERT_EQ(dec.DecodeRow(row), TLxCcittRowEnd::Filled) << "row " << y;
      for (size_t i = 0; i < row.size(); ++i) {
        const uint8_t mask = i + 1 == row.size() ? lastMask : 0xFF;
        ASSERT_EQ(uint8_t(~row[i] & mask), uint8_t(page.Row(y)[i] & mask))
            << "row " << y << " byte " << i;
      }
    }
    // The strip's closing codes, then zero bits to the byte boundary, then nothing.
    uint64_t pos = dec.BitPosition();
    if (scheme == TLxCcittScheme::ModifiedHuffman) pos = (pos + 7) / 8 * 8;
    const int eols = scheme == TLxCcittScheme::Group4       ? 2
                     : scheme == TLxCcittScheme::Group3TwoD ? 1
                                                            : 0;
    for (int e = 0; e < eols; ++e)
      for (int i = 0; i < 12; ++i, ++pos)
        ASSERT_EQ(BitAt(strip, pos, fillOrder), i == 11 ? 1 : 0) << "end-of-line bit " << i;
    ASSERT_EQ((pos + 7) / 8, strip.size());
    for (; pos < strip.size() * 8; ++pos) ASSERT_EQ(BitAt(strip, pos, fillOrder), 0);
  }
}

constexpr TLxCcittScheme kSchemes[] = {TLxCcittScheme::ModifiedHuffman, TLxCcittScheme::Group3OneD,
                                       TLxCcittScheme::Group3TwoD, TLxCcittScheme::Group4};

TEST(CcittEncoder, RoundTripsEverySchemeAndShape) {
  // Widths: one pixel, around byte edges, fax widths, runs beyond the 2,560 make-up code.
  const uint32_t widths[] = {1, 7, 8, 9, 63, 64, 65, 200, 1728, 2561, 6000};
  uint32_t seed = 10;
  for (uint32_t w : widths) {
    const Page page = MakePage(w, w > 2000 ? 24 : 60, seed++);
    const Page oneRow = MakePage(w, 1, seed++);
    for (TLxCcittScheme s : kSchemes) {
      for (int fill : {1, 2}) {
        CheckRoundTrip(page, s, fill, page.height);
        CheckRoundTrip(oneRow, s, fill, 1);
      }
      CheckRoundTrip(page, s, 1, 7);
      CheckRoundTrip(page, s, 2, 1);
    }
  }
}

// Two-dimensional coding takes the vertical mode for a row equal to the one above: an all-white
// page costs one bit per row, then the end of facsimile block.
TEST(CcittEncoder, RepeatedRowsCostOneBitEach) {
  Page white;
  white.width = 1728;
  white.height = 80;
  white.bits.assign(white.RowBytes() * white.height, 0);
  TLxCcittEncoder g4(TLxCcittScheme::Group4, white.width);
  Bytes out;
  for (uint32_t y = 0; y < white.height; ++y) g4.EncodeRow(white.Row(y), out);
  g4.EndStrip(out);
  EXPECT_EQ(out.size(), (80u + 24 + 7) / 8);
  EXPECT_EQ(out.front(), 0xFF);

  // A page of identical striped rows: the first row codes the changes, every later one V0s.
  Page stripes = white;
  for (uint32_t y = 0; y < stripes.height; ++y)
    for (uint32_t x = 100; x < 1700; x += 200)
      for (uint32_t k = 0; k < 50; ++k) stripes.Set(x + k, y);
  auto g3Bytes = [&](uint32_t rows) {
    TLxCcittEncoder g3(TLxCcittScheme::Group3TwoD, stripes.width);
    Bytes b;
    for (uint32_t y = 0; y < rows; ++y) g3.EncodeRow(stripes.Row(y), b);
    g3.EndStrip(b);
    return b.size();
  };
  // Each later row: end-of-line, tag bit, 17 V0 codes (16 changes and the row's end).
  EXPECT_NEAR(double(g3Bytes(80) - g3Bytes(1)) * 8, 79 * (13 + 17), 8);
}

TEST(CcittEncoder, StreamFormMatchesAndReportsShortWrites) {
  const Page page = MakePage(2000, 200, 99);
  for (TLxCcittScheme s : kSchemes) {
    SCOPED_TRACE(SchemeName(s));
    TLxCcittEncoder a(s, page.width, 2), b(s, page.width, 2);
    Bytes expected;
    TMemoryStream stream;
    for (int strip = 0; strip < 2; ++strip) {
      for (uint32_t y = 0; y < page.height; ++y) {
        a.EncodeRow(page.Row(y), expected);
        ASSERT_TRUE(b.EncodeRow(page.Row(y), stream));
      }
      a.EndStrip(expected);
      ASSERT_TRUE(b.EndStrip(stream));
      EXPECT_EQ(size_t(stream.Size()), expected.size());
    }
    EXPECT_TRUE(test::StreamBytes(stream) == expected);

    test::ShortStream shortStream(100);
    TLxCcittEncoder c(s, page.width);
    bool ok = true;
    for (uint32_t y = 0; y < page.height; ++y) ok = c.EncodeRow(page.Row(y), shortStream) && ok;
    ok = c.EndStrip(shortStream) && ok;
    EXPECT_FALSE(ok);
  }
}

}  // namespace
}  // namespace lumenax
