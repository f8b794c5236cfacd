// The encoders against libtiff: strips LZW- and CCITT-encoded here are wrapped in a small
// little-endian TIFF, tiffcp decodes them into an uncompressed file, and its rows must equal
// the source.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "codecs/common/bit_order.h"
#include "codecs/common/ccitt_encoder.h"
#include "codecs/common/lzw_encoder.h"
#include "tests/support/test_support.h"

namespace lumenax {
namespace {

using Bytes = std::vector<uint8_t>;

struct Image {
  uint32_t width = 0, height = 0;
  uint16_t bits = 8, samples = 1, photometric = 1;
  Bytes pixels;  // rows of RowBytes(), top first
  size_t RowBytes() const { return (size_t(width) * bits * samples + 7) / 8; }
  std::span<const uint8_t> Row(uint32_t y) const {
    return std::span(pixels).subspan(y * RowBytes(), RowBytes());
  }
};

void Put16(Bytes& b, uint32_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}
uint32_t Get16(const Bytes& f, size_t at) {
  return at + 2 <= f.size() ? uint32_t(f[at] | f[at + 1] << 8) : 0;
}
uint32_t Get32(const Bytes& f, size_t at) {
  return Get16(f, at) | Get16(f, at + 2) << 16;
}

// A little-endian TIFF of the given strips; extra holds further SHORT or LONG tags of one
// value (tag -> {type, value}).
Bytes WriteTiff(const Image& im, uint16_t compression, const std::vector<Bytes>& strips,
                uint32_t rowsPerStrip,
                const std::map<uint16_t, std::pair<uint16_t, uint32_t>>& extra = {}) {
  Bytes out = {'I', 'I', 42, 0, 0, 0, 0, 0};
  std::vector<uint32_t> offsets, counts;
  for (const Bytes& s : strips) {
    offsets.push_back(uint32_t(out.size()));
    counts.push_back(uint32_t(s.size()));
    out.insert(out.end(), s.begin(), s.end());
    if (out.size() % 2) out.push_back(0);
  }
  const uint32_t bitsAt = uint32_t(out.size());
  for (int i = 0; i < im.samples; ++i) Put16(out, im.bits);
  const uint32_t offsetsAt = uint32_t(out.size());
  for (uint32_t v : offsets) Put32(out, v);
  const uint32_t countsAt = uint32_t(out.size());
  for (uint32_t v : counts) Put32(out, v);
  const uint32_t ifd = uint32_t(out.size());
  for (int i = 0; i < 4; ++i) out[4 + size_t(i)] = uint8_t(ifd >> (8 * i));
  const uint32_t n = uint32_t(strips.size());
  std::map<uint16_t, std::tuple<uint16_t, uint32_t, uint32_t>> tags = {
      {256, {4, 1, im.width}},
      {257, {4, 1, im.height}},
      {258, {3, im.samples, im.samples == 1 ? im.bits : bitsAt}},
      {259, {3, 1, compression}},
      {262, {3, 1, im.photometric}},
      {273, {4, n, n == 1 ? offsets[0] : offsetsAt}},
      {277, {3, 1, im.samples}},
      {278, {4, 1, rowsPerStrip}},
      {279, {4, n, n == 1 ? counts[0] : countsAt}},
  };
  for (auto& [tag, tv] : extra) tags[tag] = {tv.first, 1, tv.second};
  Put16(out, uint32_t(tags.size()));
  for (auto& [tag, e] : tags) {
    Put16(out, tag);
    Put16(out, std::get<0>(e));
    Put32(out, std::get<1>(e));
    Put32(out, std::get<2>(e));
  }
  Put32(out, 0);
  return out;
}

// The rows of an uncompressed, strip-organised file as tiffcp writes it.
bool RawRows(const Bytes& f, Image& im) {
  if (f.size() < 8 || f[0] != 'I') return false;
  const size_t ifd = Get32(f, 4);
  std::map<uint32_t, std::vector<uint32_t>> tags;
  for (uint32_t i = 0, count = Get16(f, ifd); i < count; ++i) {
    const size_t e = ifd + 2 + 12 * size_t(i);
    const uint32_t type = Get16(f, e + 2), n = Get32(f, e + 4);
    const size_t size = type == 3 ? 2 : type == 4 ? 4 : 0;
    if (!size) continue;
    const size_t at = size * n <= 4 ? e + 8 : Get32(f, e + 8);
    auto& v = tags[Get16(f, e)];
    for (uint32_t k = 0; k < n; ++k)
      v.push_back(size == 2 ? Get16(f, at + 2 * k) : Get32(f, at + 4 * k));
  }
  if (tags[259].empty() || tags[259][0] != 1 || tags[256].empty() || tags[257].empty())
    return false;
  im.width = tags[256][0];
  im.height = tags[257][0];
  im.bits = uint16_t(tags[258].empty() ? 1 : tags[258][0]);
  im.samples = uint16_t(tags[277].empty() ? 1 : tags[277][0]);
  im.pixels.clear();
  for (size_t s = 0; s < tags[273].size() && s < tags[279].size(); ++s) {
    const size_t at = tags[273][s], n = tags[279][s];
    if (at + n > f.size()) return false;
    im.pixels.insert(im.pixels.end(), f.begin() + long(at), f.begin() + long(at + n));
  }
  im.pixels.resize(im.RowBytes() * im.height);
  return true;
}

void ClearPadBits(Image& im) {
  const size_t used = size_t(im.width) * im.bits * im.samples;
  if (used % 8 == 0) return;
  for (uint32_t y = 0; y < im.height; ++y)
    im.pixels[(y + 1) * im.RowBytes() - 1] &= uint8_t(0xFF << (8 - used % 8));
}

// Has libtiff decode file and compares its rows with src.
void ExpectLibtiffDecodes(const Bytes& file, const Image& src, const std::string& what) {
  SCOPED_TRACE(what);
  test::TempDir dir;
  test::WriteFileBytes(dir / "ours.tif", file);
  const std::string cmd = "tiffcp -s -f msb2lsb -c none " +
                          test::ShellQuote((dir / "ours.tif").string()) + " " +
                          test::ShellQuote((dir / "ref.tif").string()) + " 2>&1";
  std::string output;
  ASSERT_EQ(test::RunCommand(cmd, &output), 0) << output;
  EXPECT_EQ(output, "");  // no warnings either
  Image ref;
  ASSERT_TRUE(RawRows(test::ReadFileBytes(dir / "ref.tif"), ref));
  ASSERT_EQ(ref.width, src.width);
  ASSERT_EQ(ref.height, src.height);
  Image s = src;
  ClearPadBits(s);
  ClearPadBits(ref);
  size_t first = 0;
  while (first < s.pixels.size() && s.pixels[first] == ref.pixels[first]) ++first;
  EXPECT_EQ(first, s.pixels.size()) << "first difference in row " << first / s.RowBytes();
}

bool HaveTiffcp() {
  return test::HaveProgram("tiffcp");
}

// Photo-like RGB rows: gradients, noise, flat areas; with noise enough to fill the code table.
Image MakePhoto(uint32_t width, uint32_t height, uint16_t samples, uint32_t seed) {
  Image im;
  im.width = width;
  im.height = height;
  im.samples = samples;
  im.photometric = samples == 1 ? 1 : 2;
  im.pixels.resize(im.RowBytes() * height);
  std::mt19937 rng(seed);
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x)
      for (uint32_t c = 0; c < samples; ++c) {
        uint8_t& v = im.pixels[y * im.RowBytes() + x * samples + c];
        v = y % 7 == 3 ? uint8_t(rng()) : x > width * 2 / 3 ? uint8_t(40 * c) : uint8_t(x + y * c);
      }
  return im;
}

// Strips through the encoder hook, one row per call, optionally differenced and bit-reversed.
std::vector<Bytes> LzwStrips(const Image& im, uint32_t rowsPerStrip, bool predictor,
                             int fillOrder) {
  std::vector<Bytes> strips;
  Bytes row(im.RowBytes());
  for (uint32_t y0 = 0; y0 < im.height; y0 += rowsPerStrip) {
    TMemoryStream stream;
    std::unique_ptr<TLxLzwHookState> state;
    for (uint32_t y = y0; y < std::min(im.height, y0 + rowsPerStrip); ++y) {
      std::memcpy(row.data(), im.Row(y).data(), row.size());
      if (predictor) DifferenceRow8(row, im.samples);
      EXPECT_TRUE(TiffLzwEncodeRow(row, stream, state));
    }
    EXPECT_TRUE(TiffLzwEncodeRow({}, stream, state));
    Bytes s(stream.Memory(), stream.Memory() + stream.Size());
    if (fillOrder == 2) ReverseBitOrder(s);
    strips.push_back(std::move(s));
  }
  return strips;
}

TEST(EncoderPeers, LibtiffDecodesOurLzw) {
  if (!HaveTiffcp()) GTEST_SKIP() << "tiffcp missing";
  struct Case {
    Image im;
    uint32_t rowsPerStrip;
    bool predictor;
    int fillOrder;
    std::string what;
  };
  std::vector<Case> cases = {
      {MakePhoto(301, 97, 3, 1), 97, false, 1, "rgb one strip"},
      {MakePhoto(301, 97, 3, 2), 13, true, 1, "rgb predictor strips"},
      {MakePhoto(640, 40, 3, 3), 40, true, 2, "rgb predictor fill order 2"},
      {MakePhoto(1, 300, 1, 4), 300, false, 1, "one-pixel rows"},
      {MakePhoto(5000, 1, 3, 5), 1, true, 1, "one row"},
      {MakePhoto(777, 51, 1, 6), 20, true, 1, "gray predictor"},
  };
  for (const Case& c : cases) {
    std::map<uint16_t, std::pair<uint16_t, uint32_t>> extra;
    if (c.predictor) extra[317] = {3, 2};
    if (c.fillOrder == 2) extra[266] = {3, 2};
    const auto strips = LzwStrips(c.im, c.rowsPerStrip, c.predictor, c.fillOrder);
    ExpectLibtiffDecodes(WriteTiff(c.im, 5, strips, c.rowsPerStrip, extra), c.im, c.what);
  }
}

// A bilevel page (1 = black, photometric 0): long and short runs, runs past 2,560, rows that
// follow the one above with moved edges, all-white and all-black rows.
Image MakePage(uint32_t width, uint32_t height, uint32_t seed) {
  Image im;
  im.width = width;
  im.height = height;
  im.bits = 1;
  im.photometric = 0;
  im.pixels.assign(im.RowBytes() * height, 0);
  std::mt19937 rng(seed);
  std::vector<uint32_t> edges;
  for (uint32_t y = 0; y < height; ++y) {
    std::vector<uint32_t> e;
    const uint32_t kind = rng() % 6;
    if (kind == 0) {
      e = {0};
    } else if (kind == 1 || y == 0) {
      const uint32_t scale = 1 + rng() % 3000;
      for (uint32_t x = rng() % scale; x < width; x += 1 + rng() % scale) e.push_back(x);
    } else if (kind == 2) {
      // all white
    } else {
      for (uint32_t x : edges) {
        const int64_t m = int64_t(x) + int64_t(rng() % 9) - 4;
        if (m >= 0 && m < int64_t(width) && (e.empty() || uint32_t(m) > e.back()) && rng() % 9)
          e.push_back(uint32_t(m));
      }
    }
    for (size_t i = 0; i < e.size(); i += 2)
      for (uint32_t x = e[i]; x < (i + 1 < e.size() ? e[i + 1] : width); ++x)
        im.pixels[y * im.RowBytes() + x / 8] |= uint8_t(0x80 >> (x % 8));
    edges = e;
  }
  return im;
}

TEST(EncoderPeers, LibtiffDecodesOurCcitt) {
  if (!HaveTiffcp()) GTEST_SKIP() << "tiffcp missing";
  const Image page = MakePage(3001, 90, 11);
  const Image fax = MakePage(1728, 40, 12);
  const Image tiny = MakePage(1, 5, 13);
  struct Mode {
    TLxCcittScheme scheme;
    uint16_t compression;
    uint16_t optionsTag;
    uint32_t options;
    std::string name;
  };
  const Mode modes[] = {
      {TLxCcittScheme::ModifiedHuffman, 2, 0, 0, "MH"},
      {TLxCcittScheme::Group3OneD, 3, 292, 0, "G3-1D"},
      {TLxCcittScheme::Group3TwoD, 3, 292, 1, "G3-2D"},
      {TLxCcittScheme::Group4, 4, 293, 0, "G4"},
  };
  for (const Mode& m : modes)
    for (const Image* im : {&page, &fax, &tiny})
      for (int fill : {1, 2}) {
        const uint32_t rowsPerStrip = im == &fax ? 40 : im == &tiny ? 2 : 17;
        TLxCcittEncoder enc(m.scheme, im->width, fill);
        std::vector<Bytes> strips;
        for (uint32_t y0 = 0; y0 < im->height; y0 += rowsPerStrip) {
          strips.emplace_back();
          for (uint32_t y = y0; y < std::min(im->height, y0 + rowsPerStrip); ++y)
            enc.EncodeRow(im->Row(y), strips.back());
          enc.EndStrip(strips.back());
        }
        std::map<uint16_t, std::pair<uint16_t, uint32_t>> extra = {{266, {3, uint32_t(fill)}}};
        if (m.optionsTag) extra[m.optionsTag] = {4, m.options};
        ExpectLibtiffDecodes(
            WriteTiff(*im, m.compression, strips, rowsPerStrip, extra), *im,
            m.name + " width " + std::to_string(im->width) + " fill " + std::to_string(fill));
      }
}

}  // namespace
}  // namespace lumenax
