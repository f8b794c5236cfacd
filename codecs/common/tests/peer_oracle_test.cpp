// The decoders against libtiff: test pages are compressed by tiffcp (and by Pillow for
// compression 2) in every CCITT, LZW and PackBits variant they write, in strips and tiles and
// both fill orders; the strips are taken out of the files and decoded here, and the pixels
// must equal what libtiff decodes from the same file (tiffcp -c none). The other way round,
// strips PackBits-, LZW- and CCITT-encoded here must decode in libtiff to the source pixels.
// GIF's LZW, from Pillow's encoder, goes through the same core in its GIF dialect.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "codecs/common/bit_order.h"
#include "codecs/common/ccitt_decoder.h"
#include "codecs/common/ccitt_encoder.h"
#include "codecs/common/lzw_decoder.h"
#include "codecs/common/lzw_encoder.h"
#include "codecs/common/packbits.h"
#include "tests/support/test_support.h"

namespace lumenax {
namespace {

using test::ReadFileBytes;
using test::RunCommand;
using test::ShellQuote;
using test::TempDir;
using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------------------------
// Just enough TIFF to write an image in strips and to find the strips or tiles of a file.

struct Image {
  uint32_t width = 0, height = 0;
  uint16_t bits = 8, samples = 1, photometric = 1;
  Bytes pixels;  // rows of RowBytes(), top first
  size_t RowBytes() const { return (size_t(width) * bits * samples + 7) / 8; }
};

// A tag of one SHORT or LONG value.
struct ExtraTag {
  uint16_t tag, type;
  uint32_t value;
};

// Writes a little-endian TIFF: uncompressed in one strip, or with the given strips.
Bytes WriteTiff(const Image& im, uint16_t compression = 1, const std::vector<Bytes>& strips = {},
                uint32_t rowsPerStrip = 0, const std::vector<ExtraTag>& extra = {}) {
  std::vector<Bytes> data = strips;
  if (data.empty()) data.push_back(im.pixels);
  if (!rowsPerStrip) rowsPerStrip = im.height;
  Bytes out = {'I', 'I', 42, 0, 0, 0, 0, 0};
  auto put32 = [](Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
  };
  auto put16 = [](Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
  };
  std::vector<uint32_t> offsets, counts;
  for (const Bytes& s : data) {
    offsets.push_back(uint32_t(out.size()));
    counts.push_back(uint32_t(s.size()));
    out.insert(out.end(), s.begin(), s.end());
    if (out.size() % 2) out.push_back(0);
  }
  // Out-of-line values: bits per sample and the strip arrays.
  const uint32_t bitsAt = uint32_t(out.size());
  for (int i = 0; i < im.samples; ++i) put16(out, im.bits);
  const uint32_t offsetsAt = uint32_t(out.size());
  for (uint32_t v : offsets) put32(out, v);
  const uint32_t countsAt = uint32_t(out.size());
  for (uint32_t v : counts) put32(out, v);
  const uint32_t ifd = uint32_t(out.size());
  std::memcpy(&out[4], &ifd, 4);  // the test machines are little-endian, as is the file
  struct Entry {
    uint16_t tag, type;
    uint32_t count, value;
  };
  const uint32_t n = uint32_t(data.size());
  std::vector<Entry> entries = {
      {256, 4, 1, im.width},
      {257, 4, 1, im.height},
      {258, 3, im.samples, im.samples == 1 ? im.bits : bitsAt},
      {259, 3, 1, compression},
      {262, 3, 1, im.photometric},
      {273, 4, n, n == 1 ? offsets[0] : offsetsAt},
      {277, 3, 1, im.samples},
      {278, 4, 1, rowsPerStrip},
      {279, 4, n, n == 1 ? counts[0] : countsAt},
  };
  for (const ExtraTag& t : extra) entries.push_back({t.tag, t.type, 1, t.value});
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
  put16(out, uint16_t(entries.size()));
  for (const Entry& e : entries) {
    put16(out, e.tag);
    put16(out, e.type);
    put32(out, e.count);
    put32(out, e.value);
  }
  put32(out, 0);
  return out;
}

struct Tiff {
  std::map<uint16_t, std::vector<uint32_t>> tags;
  uint32_t Tag(uint16_t t, uint32_t dflt) const {
    auto it = tags.find(t);
    return it == tags.end() || it->second.empty() ? dflt : it->second[0];
  }
  const std::vector<uint32_t>& Array(uint16_t t) const {
    static const std::vector<uint32_t> none;
    auto it = tags.find(t);
    return it == tags.end() ? none : it->second;
  }
};

bool ParseTiff(const Bytes& f, Tiff& t) {
  if (f.size() < 8) return false;
  const bool mm = f[0] == 'M';
  auto u16 = [&](size_t at) -> uint32_t {
    if (at + 2 > f.size()) return 0;
    return mm ? uint32_t(f[at] << 8 | f[at + 1]) : uint32_t(f[at] | f[at + 1] << 8);
  };
  auto u32 = [&](size_t at) -> uint32_t {
    if (at + 4 > f.size()) return 0;
    return mm ? u16(at) << 16 | u16(at + 2) : u16(at) | u16(at + 2) << 16;
  };
  const size_t ifd = u32(4);
  const uint32_t count = u16(ifd);
  if (!count) return false;
  for (uint32_t i = 0; i < count; ++i) {
    const size_t e = ifd + 2 + 12 * size_t(i);
    const uint32_t tag = u16(e), type = u16(e + 2), n = u32(e + 4);
    const size_t size = type == 3 ? 2 : type == 4 ? 4 : 0;
    if (!size) continue;
    const size_t at = size * n <= 4 ? e + 8 : u32(e + 8);
    std::vector<uint32_t>& v = t.tags[uint16_t(tag)];
    for (uint32_t k = 0; k < n; ++k) v.push_back(size == 2 ? u16(at + 2 * k) : u32(at + 4 * k));
  }
  return true;
}

// The stored raw rows of an uncompressed, contiguous, strip-organised file.
bool RawRows(const Bytes& f, Image& im) {
  Tiff t;
  if (!ParseTiff(f, t) || t.Tag(259, 1) != 1) return false;
  im.width = t.Tag(256, 0);
  im.height = t.Tag(257, 0);
  im.bits = uint16_t(t.Tag(258, 1));
  im.samples = uint16_t(t.Tag(277, 1));
  im.pixels.clear();
  const auto &offsets = t.Array(273), &counts = t.Array(279);
  for (size_t s = 0; s < offsets.size() && s < counts.size(); ++s) {
    if (size_t(offsets[s]) + counts[s] > f.size()) return false;
    im.pixels.insert(im.pixels.end(), f.begin() + offsets[s], f.begin() + offsets[s] + counts[s]);
  }
  im.pixels.resize(im.RowBytes() * im.height);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Our decoding of a file's strips or tiles into raw rows, as libtiff would deliver them.

struct Decoded {
  Image image;
  std::string problem;  // empty when every row decoded completely
};

Decoded DecodeFile(const Bytes& f) {
  Decoded d;
  Tiff t;
  if (!ParseTiff(f, t)) {
    d.problem = "unparsable";
    return d;
  }
  Image& im = d.image;
  im.width = t.Tag(256, 0);
  im.height = t.Tag(257, 0);
  im.bits = uint16_t(t.Tag(258, 1));
  im.samples = uint16_t(t.Tag(277, 1));
  im.pixels.assign(im.RowBytes() * im.height, 0);
  const uint32_t compression = t.Tag(259, 1), fillOrder = t.Tag(266, 1);
  const bool tiled = t.tags.count(322);
  const uint32_t blockW = tiled ? t.Tag(322, 0) : im.width;
  const uint32_t blockH = tiled ? t.Tag(323, 0) : std::min(t.Tag(278, im.height), im.height);
  const auto& offsets = t.Array(tiled ? 324 : 273);
  const auto& counts = t.Array(tiled ? 325 : 279);
  const uint32_t across = (im.width + blockW - 1) / blockW;
  const size_t blockRowBytes = (size_t(blockW) * im.bits * im.samples + 7) / 8;
  Bytes row(blockRowBytes);

  TLxCcittScheme scheme = TLxCcittScheme::Group4;
  if (compression == 2) scheme = TLxCcittScheme::ModifiedHuffman;
  if (compression == 3)
    scheme = (t.Tag(292, 0) & 1) ? TLxCcittScheme::Group3TwoD : TLxCcittScheme::Group3OneD;
  TLxCcittDecoder ccitt(scheme, blockW, int(fillOrder));
  std::unique_ptr<TLxLzwHookState> lzwState;

  for (size_t b = 0; b < offsets.size() && b < counts.size(); ++b) {
    if (size_t(offsets[b]) + counts[b] > f.size()) {
      d.problem = "block past the file";
      return d;
    }
    Bytes block(f.begin() + offsets[b], f.begin() + offsets[b] + counts[b]);
    // Fill order 2 reverses the bits of whole blocks for the byte-oriented codings.
    if (fillOrder == 2 && compression != 2 && compression != 3 && compression != 4)
      ReverseBitOrder(block);
    const uint32_t y0 = uint32_t(tiled ? b / across * blockH : b * blockH);
    const uint32_t x0 = uint32_t(tiled ? b % across * blockW : 0);
    size_t packPos = 0;
    ccitt.Begin(block);
    for (uint32_t r = 0; r < blockH && y0 + r < im.height; ++r) {
      bool ok = true;
      switch (compression) {
        case 2:
        case 3:
        case 4:
          ok = ccitt.DecodeRow(row) == TLxCcittRowEnd::Filled;
          for (uint8_t& v : row) v = uint8_t(~v);  // codec white is a 0 bit in the file
          break;
        case 5:
          ok = DefaultTiffLzwDecoderHook(block, row, lzwState) == TLxFailure::None;
          break;
        case 32773: {
          TLxPackBitsResult p = DecodePackBits(std::span(block).subspan(packPos), row);
          packPos += p.Consumed;
          ok = p.Complete;
          break;
        }
        default:
          d.problem = "compression " + std::to_string(compression);
          return d;
      }
      if (!ok && d.problem.empty())
        d.problem = "block " + std::to_string(b) + " row " + std::to_string(r) + " incomplete";
      // Copy the part of the block row inside the image (blocks are byte-aligned).
      const size_t at = size_t(x0) * im.bits * im.samples / 8;
      const size_t n = std::min(blockRowBytes, im.RowBytes() - at);
      std::memcpy(&im.pixels[(y0 + r) * im.RowBytes() + at], row.data(), n);
    }
    TiffLzwDecodeRow({}, {}, lzwState);
  }
  return d;
}

// Clears the pad bits after the last pixel of every row, which encoders may fill freely.
void ClearPadBits(Image& im) {
  const size_t used = size_t(im.width) * im.bits * im.samples;
  if (used % 8 == 0) return;
  const uint8_t keep = uint8_t(0xFF << (8 - used % 8));
  for (uint32_t y = 0; y < im.height; ++y) im.pixels[(y + 1) * im.RowBytes() - 1] &= keep;
}

// ---------------------------------------------------------------------------------------------
// Test pictures.

// A bilevel page (1 = black, as stored with photometric 0) whose rows hold every run length
// of the code tables, runs past 2,560, random runs, repeated rows and rows whose edges move
// by up to three pixels (the vertical modes), an all-black and an all-white row.
Image MakePage() {
  Image im;
  im.width = 2777;
  im.height = 120;
  im.bits = 1;
  im.photometric = 0;
  im.pixels.assign(im.RowBytes() * im.height, 0);
  std::mt19937 rng(2024);
  std::vector<uint32_t> lengths;
  // Each length twice in a row, so that it appears as a white and as a black run.
  for (uint32_t r = 1; r < 64; ++r) lengths.insert(lengths.end(), {r, r});
  for (uint32_t k = 1; k <= 42; ++k) lengths.insert(lengths.end(), 2, 64 * k + (k * 7) % 64);
  lengths.push_back(2700);
  size_t next = 0;
  std::vector<std::vector<uint32_t>> edges(im.height);  // colour changes of each row
  for (uint32_t y = 0; y < im.height; ++y) {
    std::vector<uint32_t>& e = edges[y];
    if (y == 40) {
      e = {0};  // all black
    } else if (y == 41) {
      // all white
    } else if (next < lengths.size()) {
      uint32_t x = y % 2 ? 0 : 5;  // some rows start black
      while (next < lengths.size() && x + lengths[next] <= im.width) {
        e.push_back(x);
        x += lengths[next++];
      }
    } else if (y % 3 == 0) {
      for (uint32_t x = rng() % 30; x < im.width; x += 1 + rng() % 90) e.push_back(x);
    } else {
      // The row above with every edge moved by -3..3 (kept increasing), some dropped.
      uint32_t last = 0;
      bool any = false;
      for (uint32_t x : edges[y - 1]) {
        if (rng() % 10 == 0) continue;
        int64_t m = int64_t(x) + int64_t(rng() % 7) - 3;
        if (m < 0 || (any && m <= last) || m >= im.width) continue;
        e.push_back(uint32_t(m));
        last = uint32_t(m);
        any = true;
      }
    }
    // Paint: black between edge 0 and 1, 2 and 3, ...
    for (size_t i = 0; i < e.size(); i += 2) {
      const uint32_t to = i + 1 < e.size() ? e[i + 1] : im.width;
      for (uint32_t x = e[i]; x < to; ++x)
        im.pixels[y * im.RowBytes() + x / 8] |= uint8_t(0x80 >> (x % 8));
    }
  }
  return im;
}

// A photo-like RGB picture: gradients, noise, flat areas and sharp edges.
Image MakePhoto() {
  Image im;
  im.width = 301;
  im.height = 97;
  im.bits = 8;
  im.samples = 3;
  im.photometric = 2;
  im.pixels.resize(im.RowBytes() * im.height);
  std::mt19937 rng(7);
  for (uint32_t y = 0; y < im.height; ++y)
    for (uint32_t x = 0; x < im.width; ++x) {
      uint8_t* p = &im.pixels[y * im.RowBytes() + x * 3];
      const bool flat = x > 200 && y < 40;
      p[0] = flat ? 200 : uint8_t(x + y / 3);
      p[1] = flat ? 10 : uint8_t((x * y) / 50 + rng() % 3);
      p[2] = (x / 17 + y / 13) % 2 ? 255 : uint8_t(rng());
    }
  return im;
}

bool HaveTools() {
  return test::HaveProgram("tiffcp") && test::HaveProgram("/usr/bin/python3");
}

// Writes the source, runs every variant through tiffcp (and Pillow), decodes each variant with
// libtiff into ref-<name>.tif and with our decoders, and compares.
void CheckVariants(const Image& src,
                   const std::vector<std::pair<std::string, std::string>>& variants,
                   bool withPillowMh) {
  TempDir dir;
  test::WriteFileBytes(dir / "src.tif", WriteTiff(src));
  std::string script = "set -e; cd " + ShellQuote(dir.path().string()) + "; ";
  for (auto& [name, options] : variants)
    script += "tiffcp " + options + " src.tif " + name + ".tif; ";
  if (withPillowMh)
    script +=
        "/usr/bin/python3 -c \"from PIL import Image; "
        "Image.open('src.tif').save('mh.tif', compression='tiff_ccitt')\"; ";
  std::vector<std::string> names;
  for (auto& v : variants) names.push_back(v.first);
  if (withPillowMh) names.push_back("mh");
  for (auto& n : names) script += "tiffcp -s -f msb2lsb -c none " + n + ".tif ref-" + n + ".tif; ";
  ASSERT_EQ(RunCommand(script + " 2>&1"), 0) << script;

  for (auto& name : names) {
    SCOPED_TRACE(name);
    Image ref;
    ASSERT_TRUE(RawRows(ReadFileBytes(dir / ("ref-" + name + ".tif")), ref));
    Decoded ours = DecodeFile(ReadFileBytes(dir / (name + ".tif")));
    EXPECT_EQ(ours.problem, "");
    ASSERT_EQ(ours.image.pixels.size(), ref.pixels.size());
    ClearPadBits(ref);
    ClearPadBits(ours.image);
    size_t firstBad = 0;
    while (firstBad < ref.pixels.size() && ours.image.pixels[firstBad] == ref.pixels[firstBad])
      ++firstBad;
    EXPECT_EQ(firstBad, ref.pixels.size())
        << "first difference in row " << firstBad / ref.RowBytes();
    // The peers must also have kept the source (a check of the test itself).
    if (name == names.front()) {
      Image s = src;
      ClearPadBits(s);
      EXPECT_TRUE(ref.pixels == s.pixels);
    }
  }
}

TEST(TiffOracle, CcittStripsAndTilesMatchLibtiff) {
  if (!HaveTools()) GTEST_SKIP() << "tiffcp or Pillow missing";
  CheckVariants(MakePage(),
                {{"g3", "-c g3"},
                 {"g3fill", "-c g3:fill"},
                 {"g32d", "-c g3:2d"},
                 {"g32dfill", "-c g3:2d:fill -r 11"},
                 {"g4", "-c g4"},
                 {"g4strips", "-c g4 -r 7"},
                 {"g4lsb", "-c g4 -f lsb2msb"},
                 {"g32dlsb", "-c g3:2d -f lsb2msb -r 13"},
                 {"g4tiles", "-c g4 -t -w 512 -l 32"},
                 {"lzw1bit", "-c lzw"},
                 {"packbits1bit", "-c packbits -r 20"}},
                /*withPillowMh=*/true);
}

TEST(TiffOracle, LzwAndPackBitsStripsMatchLibtiff) {
  if (!HaveTools()) GTEST_SKIP() << "tiffcp or Pillow missing";
  CheckVariants(MakePhoto(),
                {{"lzw", "-c lzw"},
                 {"lzwstrips", "-c lzw -r 5"},
                 {"lzwlsb", "-c lzw -f lsb2msb"},
                 {"lzwtiles", "-c lzw -t -w 64 -l 32"},
                 {"packbits", "-c packbits"},
                 {"packbitsmm", "-c packbits -B -r 9"}},
                /*withPillowMh=*/false);
}

TEST(TiffOracle, OurPackBitsDecodesInLibtiff) {
  if (!HaveTools()) GTEST_SKIP() << "tiffcp missing";
  TempDir dir;
  for (const Image& src : {MakePhoto(), MakePage()}) {
    const uint32_t rowsPerStrip = 8;
    std::vector<Bytes> strips;
    for (uint32_t y = 0; y < src.height; y += rowsPerStrip) {
      Bytes strip;
      for (uint32_t r = y; r < std::min(src.height, y + rowsPerStrip); ++r)
        EncodePackBits(std::span(src.pixels).subspan(r * src.RowBytes(), src.RowBytes()), strip);
      strips.push_back(strip);
    }
    test::WriteFileBytes(dir / "ours.tif", WriteTiff(src, 32773, strips, rowsPerStrip));
    ASSERT_EQ(RunCommand("cd " + ShellQuote(dir.path().string()) +
                         " && tiffcp -c none ours.tif back.tif 2>&1"),
              0);
    Image back;
    ASSERT_TRUE(RawRows(ReadFileBytes(dir / "back.tif"), back));
    EXPECT_TRUE(back.pixels == src.pixels);
  }
}

// Has libtiff decode our file and compares its rows with the source.
void ExpectLibtiffDecodes(const Bytes& file, const Image& src, const std::string& what) {
  SCOPED_TRACE(what);
  TempDir dir;
  test::WriteFileBytes(dir / "ours.tif", file);
  std::string output;
  ASSERT_EQ(RunCommand("cd " + ShellQuote(dir.path().string()) +
                           " && tiffcp -s -f msb2lsb -c none ours.tif back.tif 2>&1",
                       &output),
            0)
      << output;
  EXPECT_EQ(output, "");  // no warnings either
  Image back;
  ASSERT_TRUE(RawRows(ReadFileBytes(dir / "back.tif"), back));
  ASSERT_EQ(back.pixels.size(), src.pixels.size());
  Image s = src;
  ClearPadBits(s);
  ClearPadBits(back);
  size_t first = 0;
  while (first < s.pixels.size() && s.pixels[first] == back.pixels[first]) ++first;
  EXPECT_EQ(first, s.pixels.size()) << "first difference in row " << first / s.RowBytes();
}

TEST(TiffOracle, OurLzwDecodesInLibtiff) {
  if (!HaveTools()) GTEST_SKIP() << "tiffcp missing";
  // Noise fills the code table many times; one-pixel rows; a single row.
  Image noise = MakePhoto(), column, row;
  std::mt19937 rng(11);
  for (size_t i = 0; i < noise.pixels.size(); i += 2) noise.pixels[i] = uint8_t(rng());
  column.width = 1;
  column.height = 300;
  column.pixels.resize(300);
  for (uint32_t y = 0; y < 300; ++y) column.pixels[y] = uint8_t(y * y / 7);
  row = MakePhoto();
  row.height = 1;
  row.pixels.resize(row.RowBytes());
  struct Case {
    const Image* im;
    uint32_t rowsPerStrip;
    bool predictor;
    int fillOrder;
  };
  const Image photo = MakePhoto();
  for (const Case& c :
       {Case{&photo, 97, false, 1}, Case{&photo, 13, true, 1}, Case{&photo, 40, true, 2},
        Case{&noise, 97, false, 1}, Case{&column, 300, false, 1}, Case{&column, 7, true, 2},
        Case{&row, 1, true, 1}}) {
    const Image& im = *c.im;
    std::vector<Bytes> strips;
    Bytes buffer(im.RowBytes());
    for (uint32_t y0 = 0; y0 < im.height; y0 += c.rowsPerStrip) {
      TMemoryStream stream;
      std::unique_ptr<TLxLzwHookState> state;
      for (uint32_t y = y0; y < std::min(im.height, y0 + c.rowsPerStrip); ++y) {
        std::memcpy(buffer.data(), &im.pixels[y * im.RowBytes()], buffer.size());
        if (c.predictor) DifferenceRow8(buffer, im.samples);
        ASSERT_TRUE(TiffLzwEncodeRow(buffer, stream, state));
      }
      ASSERT_TRUE(TiffLzwEncodeRow({}, stream, state));
      strips.emplace_back(stream.Memory(), stream.Memory() + stream.Size());
      if (c.fillOrder == 2) ReverseBitOrder(strips.back());
    }
    std::vector<ExtraTag> extra = {{266, 3, uint32_t(c.fillOrder)}};
    if (c.predictor) extra.push_back({317, 3, 2});
    ExpectLibtiffDecodes(WriteTiff(im, 5, strips, c.rowsPerStrip, extra), im,
                         std::to_string(im.width) + "x" + std::to_string(im.height) +
                             " strips of " + std::to_string(c.rowsPerStrip) +
                             (c.predictor ? " predictor" : "") + " fill order " +
                             std::to_string(c.fillOrder));
  }
}

TEST(TiffOracle, OurCcittDecodesInLibtiff) {
  if (!HaveTools()) GTEST_SKIP() << "tiffcp missing";
  const Image page = MakePage();
  Image dot = page;  // a one-pixel page of one row
  dot.width = dot.height = 1;
  dot.pixels = {0x80};
  struct Mode {
    TLxCcittScheme scheme;
    uint16_t compression;
    ExtraTag options;
    const char* name;
  };
  const Mode modes[] = {
      {TLxCcittScheme::ModifiedHuffman, 2, {293, 4, 0}, "MH"},
      {TLxCcittScheme::Group3OneD, 3, {292, 4, 0}, "G3-1D"},
      {TLxCcittScheme::Group3TwoD, 3, {292, 4, 1}, "G3-2D"},
      {TLxCcittScheme::Group4, 4, {293, 4, 0}, "G4"},
  };
  for (const Mode& m : modes)
    for (const Image* im : {&page, static_cast<const Image*>(&dot)})
      for (int fill : {1, 2})
        for (uint32_t rowsPerStrip : {im->height, 17u}) {
          TLxCcittEncoder enc(m.scheme, im->width, fill);
          std::vector<Bytes> strips;
          for (uint32_t y0 = 0; y0 < im->height; y0 += rowsPerStrip) {
            strips.emplace_back();
            for (uint32_t y = y0; y < std::min(im->height, y0 + rowsPerStrip); ++y)
              enc.EncodeRow(std::span(im->pixels).subspan(y * im->RowBytes(), im->RowBytes()),
                            strips.back());
            enc.EndStrip(strips.back());
          }
          std::vector<ExtraTag> extra = {{266, 3, uint32_t(fill)}};
          if (m.compression != 2) extra.push_back(m.options);
          ExpectLibtiffDecodes(WriteTiff(*im, m.compression, strips, rowsPerStrip, extra), *im,
                               std::string(m.name) + " width " + std::to_string(im->width) +
                                   " fill order " + std::to_string(fill) + " strips of " +
                                   std::to_string(rowsPerStrip));
        }
}

TEST(GifOracle, LzwThroughTheSharedCore) {
  if (!HaveTools()) GTEST_SKIP() << "Pillow missing";
  TempDir dir;
  // Pillow writes a 16-colour GIF and the palette indexes of its pixels.
  const char* script = R"(
from PIL import Image
im = Image.new('RGB', (97, 41))
for y in range(41):
    for x in range(97):
        im.putpixel((x, y), ((x * 5) % 256, (y * 9) % 256, 200 if x > 60 else (x * y) % 256))
q = im.quantize(16)
q.save('p.gif', interlace=False)
open('indexes', 'wb').write(bytes(Image.open('p.gif').getdata()))
)";
  test::WriteFileBytes(dir / "make.py", Bytes(script, script + std::strlen(script)));
  ASSERT_EQ(RunCommand("cd " + ShellQuote(dir.path().string()) + " && /usr/bin/python3 make.py"),
            0);
  const Bytes gif = ReadFileBytes(dir / "p.gif"), indexes = ReadFileBytes(dir / "indexes");
  ASSERT_EQ(indexes.size(), 97u * 41u);
  // Walk to the image: header, global palette, extensions, image descriptor.
  size_t i = 13 + (gif[10] & 0x80 ? 3u << ((gif[10] & 7) + 1) : 0);
  while (i < gif.size() && gif[i] == 0x21) {
    i += 2;
    while (i < gif.size() && gif[i]) i += 1 + gif[i];
    ++i;
  }
  ASSERT_LT(i + 10, gif.size());
  ASSERT_EQ(gif[i], 0x2C);
  i += 10 + (gif[i + 9] & 0x80 ? 3u << ((gif[i + 9] & 7) + 1) : 0);
  const int minCodeSize = gif[i++];
  Bytes stream;
  while (i < gif.size() && gif[i]) {
    stream.insert(stream.end(), gif.begin() + ptrdiff_t(i) + 1,
                  gif.begin() + ptrdiff_t(std::min(gif.size(), i + 1 + gif[i])));
    i += 1 + gif[i];
  }
  TLxLzwOptions o;
  o.LiteralBits = minCodeSize;
  o.EarlyChange = false;
  o.LsbFirst = true;
  o.FullTableIsError = false;
  TLxLzwDecoder d(o);
  d.Begin(stream);
  Bytes out(indexes.size());
  EXPECT_EQ(d.Decode(out), TLxFailure::None);
  EXPECT_TRUE(out == indexes);
}

}  // namespace
}  // namespace lumenax
