// Photoshop reader and writer: every writable layout back through the reader with layers,
// masks and alpha; hand-made files for lengths that lie, PackBits rows, channel places, ZIP
// channels, modes that are not decoded, extra merged channels; the load and save entry points
// with and without a viewer.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/layer.h"
#include "codecs/common/tests/codec_test_util.h"
#include "codecs/psd/psd.h"
#include "io/lumenax_io.h"
#include "io/params.h"

namespace lumenax {
namespace {

using namespace test;

// ---------------------------------------------------------------- building files by hand

struct Bytes {
  std::vector<uint8_t> v;
  Bytes& u8(int x) {
    v.push_back(uint8_t(x));
    return *this;
  }
  Bytes& u16(int x) { return u8(x >> 8).u8(x); }
  Bytes& u32(int64_t x) { return u16(int(x >> 16) & 0xFFFF).u16(int(x & 0xFFFF)); }
  Bytes& raw(const std::vector<uint8_t>& b) {
    v.insert(v.end(), b.begin(), b.end());
    return *this;
  }
  Bytes& str(const std::string& s) {
    v.insert(v.end(), s.begin(), s.end());
    return *this;
  }
  // The bytes of b preceded by their 32-bit length.
  Bytes& section(const Bytes& b) { return u32(int64_t(b.v.size())).raw(b.v); }
};

Bytes Header(int channels, int h, int w, int depth, int mode) {
  Bytes b;
  b.str("8BPS").u16(1).u32(0).u16(0).u16(channels).u32(h).u32(w).u16(depth).u16(mode);
  return b;
}

Bytes Resource(int id, const std::vector<uint8_t>& data) {
  Bytes b;
  b.str("8BIM").u16(id).u16(0).u32(int64_t(data.size())).raw(data);
  if (data.size() & 1) b.u8(0);
  return b;
}

// A raw channel: compression 0 and the rows.
std::vector<uint8_t> RawChannel(const std::vector<uint8_t>& rows) {
  Bytes b;
  b.u16(0).raw(rows);
  return b.v;
}

// A PackBits channel of rows of equal length, each encoded as one literal packet.
std::vector<uint8_t> RleChannel(const std::vector<std::vector<uint8_t>>& rows) {
  Bytes table, data;
  for (const auto& r : rows) {
    table.u16(int(r.size()) + 1);
    data.u8(int(r.size()) - 1).raw(r);
  }
  Bytes b;
  b.u16(1).raw(table.v).raw(data.v);
  return b.v;
}

std::vector<uint8_t> ZipChannel(std::vector<uint8_t> rows, int compression, int rowBytes,
                                int depth) {
  if (compression == 3) {  // prediction: each sample minus the one before it
    for (size_t r = 0; r < rows.size(); r += size_t(rowBytes)) {
      if (depth == 16) {
        for (int x = rowBytes - 2; x >= 2; x -= 2) {
          const uint16_t a = uint16_t(rows[r + x] << 8 | rows[r + x + 1]);
          const uint16_t p = uint16_t(rows[r + x - 2] << 8 | rows[r + x - 1]);
          const uint16_t d = uint16_t(a - p);
          rows[r + x] = uint8_t(d >> 8);
          rows[r + x + 1] = uint8_t(d);
        }
      } else {
        for (int x = rowBytes - 1; x >= 1; --x)
          rows[r + x] = uint8_t(rows[r + x] - rows[r + x - 1]);
      }
    }
  }
  uLongf n = compressBound(uLong(rows.size()));
  std::vector<uint8_t> z(n);
  compress(z.data(), &n, rows.data(), uLong(rows.size()));
  z.resize(n);
  Bytes b;
  b.u16(compression).raw(z);
  return b.v;
}

struct LayerRecord {
  int top = 0, left = 0, bottom = 0, right = 0;
  std::vector<std::pair<int, std::vector<uint8_t>>> channels;  // id, data with compression
  std::vector<int64_t> lengths;  // recorded lengths; empty: the data sizes
  int opacity = 255, flags = 0;
  std::string name = "L";
  bool mask = false;
  int mtop = 0, mleft = 0, mbottom = 0, mright = 0;
};

// The layer and mask section of count (as stored) and records.
Bytes LayerSection(int count, const std::vector<LayerRecord>& records) {
  Bytes info;
  info.u16(count & 0xFFFF);
  for (const LayerRecord& s : records) {
    info.u32(s.top).u32(s.left).u32(s.bottom).u32(s.right).u16(int(s.channels.size()));
    for (size_t k = 0; k < s.channels.size(); ++k)
      info.u16(s.channels[k].first & 0xFFFF)
          .u32(s.lengths.empty() ? int64_t(s.channels[k].second.size()) : s.lengths[k]);
    info.str("8BIMnorm").u8(s.opacity).u8(0).u8(s.flags).u8(0);
    Bytes extra;
    if (s.mask)
      extra.u32(20).u32(s.mtop).u32(s.mleft).u32(s.mbottom).u32(s.mright).u8(0).u8(0).u16(0);
    else
      extra.u32(0);
    extra.u32(0).u8(int(s.name.size())).str(s.name);
    while (extra.v.size() % 4) extra.u8(0);
    info.section(extra);
  }
  for (const LayerRecord& s : records)
    for (const auto& c : s.channels) info.raw(c.second);
  Bytes whole;
  whole.section(info).u32(0);
  Bytes out;
  out.section(whole);
  return out;
}

std::vector<uint8_t> Psd(const Bytes& header, const Bytes& resources, const Bytes& layers,
                         const std::vector<uint8_t>& merged, const Bytes& colourData = {}) {
  Bytes b = header;
  b.section(colourData)
      .section(resources)
      .raw(layers.v.empty() ? Bytes().u32(0).v : layers.v)
      .raw(merged);
  return b.v;
}

// A merged image: compression 0 and the planes one after another.
std::vector<uint8_t> RawMerged(const std::vector<std::vector<uint8_t>>& planes) {
  Bytes b;
  b.u16(0);
  for (const auto& p : planes) b.raw(p);
  return b.v;
}

// ---------------------------------------------------------------- running the codec

struct Loaded {
  TLxBitmap bitmap;
  TIOParamsVals params;
  TLxLayerList layers;
  Outcome outcome;
};

std::unique_ptr<Loaded> Load(const std::vector<uint8_t>& bytes, bool loadLayers = false,
                             bool native = true) {
  auto l = std::make_unique<Loaded>();
  l->params.IsNativePixelFormat = native;
  TLxMemStream s(bytes.data(), int64_t(bytes.size()));
  l->outcome = RunCodec([&](ProgressRecord& p) {
    ReadPsdStream(s, l->bitmap, l->params, &l->layers, loadLayers, p);
  });
  return l;
}

std::vector<uint8_t> Save(TLxBitmap* bm, TIOParamsVals& params,
                          const TLxLayerList* layers = nullptr, Outcome* outcome = nullptr) {
  TMemoryStream s;
  Outcome o = RunCodec([&](ProgressRecord& p) { WritePsdStream(s, params, p, layers, bm); });
  if (outcome) *outcome = o;
  return StreamBytes(s);
}

// Every byte of every row's pixels, and of the alpha channel.
bool SamePixels(TLxBitmap& a, TLxBitmap& b, bool alpha = true) {
  if (a.Width() != b.Width() || a.Height() != b.Height() || a.PixelFormat() != b.PixelFormat())
    return false;
  const size_t n = size_t((int64_t(a.Width()) * a.BitCount() + 7) / 8);
  for (int y = 0; y < a.Height(); ++y) {
    std::vector<uint8_t> ra(a.ScanLine(y), a.ScanLine(y) + n);
    if (std::memcmp(ra.data(), b.ScanLine(y), n) != 0) return false;
  }
  if (!alpha) return true;
  for (int y = 0; y < a.Height(); ++y)
    for (int x = 0; x < a.Width(); ++x)
      if (a.GetAlphaValue(x, y) != b.GetAlphaValue(x, y)) return false;
  return true;
}

// A picture-like image of layout pf: gradients and some runs, every byte touched.
void Paint(TLxBitmap& b, int w, int h, PixelFormat pf, uint32_t seed = 1) {
  b.Allocate(w, h, pf);
  const int n = int((int64_t(w) * BitCountOf(pf) + 7) / 8);
  for (int y = 0; y < h; ++y) {
    uint8_t* p = b.ScanLine(y);
    for (int i = 0; i < n; ++i)
      p[i] = uint8_t(i < n / 3 ? 200 : (i * 7 + y * 13 + int(seed) * 29) ^ (i >> 3));
  }
  if (pf == lx8p)
    for (int k = 0; k < 256; ++k) b.SetPaletteEntry(k, CreateRGB(uint8_t(k), uint8_t(255 - k), 7));
}

// Transparent and opaque pixels; partial alpha only when asked for (the merged image stores
// partly transparent colours blended with white, which does not come back exactly).
void PaintAlpha(TLxBitmap& b, bool partial = false) {
  TLxBitmap* a = b.AlphaChannel();
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x)
      a->ScanLine(y)[x] = partial ? uint8_t(x * 40 + y) : (x + y) % 3 ? 255 : 0;
  a->AllOpaque = false;
}

void FillRgb(TLxBitmap& b, TRGB c) {
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) b.SetPixelsRGB24(x, y, c);
}

// ---------------------------------------------------------------- round trips

TEST(PsdRoundTrip, EveryWritableLayoutWithAlpha) {
  for (PixelFormat pf : {lx1g, lx8g, lx16g, lx8p, lx24RGB, lxRGB48, lxCMYK, lxCIELab}) {
    SCOPED_TRACE(PixelFormatName(pf));
    TLxBitmap b;
    Paint(b, 13, 5, pf);
    if (pf != lx1g) PaintAlpha(b);
    TIOParamsVals params;
    params.DpiX = 150;
    params.DpiY = 75;
    Outcome wo;
    const auto bytes = Save(&b, params, nullptr, &wo);
    ASSERT_FALSE(wo.aborting) << wo.reason.Text();
    auto l = Load(bytes);
    ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
    EXPECT_TRUE(SamePixels(b, l->bitmap, pf != lx1g));
    EXPECT_EQ(l->bitmap.HasAlphaChannel(), pf != lx1g);
    EXPECT_EQ(l->params.DpiX, 150);
    EXPECT_EQ(l->params.DpiY, 75);
    if (pf == lx8p) {
      for (int k : {0, 100, 255}) EXPECT_EQ(l->bitmap.GetPaletteEntry(k), b.GetPaletteEntry(k));
    }
  }
}

TEST(PsdRoundTrip, Rgb32IsWrittenAsRgb24) {
  TLxBitmap b;
  Paint(b, 6, 3, lx32RGB);
  TIOParamsVals params;
  auto l = Load(Save(&b, params));
  ASSERT_FALSE(l->outcome.aborting);
  TLxBitmap expect;
  expect.Assign(b);
  expect.SetPixelFormat(lx24RGB);
  EXPECT_TRUE(SamePixels(expect, l->bitmap, false));
  EXPECT_EQ(l->params.SamplesPerPixel, 3);
}

TEST(PsdRoundTrip, LayersMasksNamesAndVisibility) {
  for (PixelFormat pf : {lx8g, lx24RGB, lxRGB48, lxCMYK, lxCIELab, lx16g, lx8p}) {
    SCOPED_TRACE(PixelFormatName(pf));
    TLxLayerList layers;
    auto add = [&](int x, int y, int w, int h, uint32_t seed) {
      auto l = std::make_unique<TLxLayer>();
      Paint(*l->Bitmap, w, h, pf, seed);
      l->PosX = x;
      l->PosY = y;
      layers.push_back(std::move(l));
      return layers.back().get();
    };
    add(0, 0, 9, 7, 1)->Name = "Background";
    TLxLayer* second = add(-2, 3, 5, 6, 2);
    second->Name = "Über";
    second->Opacity = 128;
    second->Visible = false;
    PaintAlpha(*second->Bitmap);
    auto mask = std::make_unique<TLxLayer>();
    mask->IsMask = true;
    mask->Visible = false;
    mask->PosX = 1;
    mask->PosY = 4;
    Paint(*mask->Bitmap, 3, 2, lx8g, 9);
    layers.push_back(std::move(mask));
    TLxBitmap merged;
    Paint(merged, 9, 7, pf, 5);
    TIOParamsVals params;
    Outcome wo;
    const auto bytes = Save(&merged, params, &layers, &wo);
    ASSERT_FALSE(wo.aborting) << wo.reason.Text();

    auto withLayers = Load(bytes, true);
    ASSERT_FALSE(withLayers->outcome.aborting) << withLayers->outcome.reason.Text();
    EXPECT_TRUE(withLayers->bitmap.IsEmpty()) << "layers were read: no merged image";
    ASSERT_EQ(withLayers->layers.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      const TLxLayer& a = *layers[i];
      const TLxLayer& b = *withLayers->layers[i];
      EXPECT_EQ(a.PosX, b.PosX);
      EXPECT_EQ(a.PosY, b.PosY);
      EXPECT_EQ(a.IsMask, b.IsMask);
      EXPECT_EQ(a.Visible, b.Visible);
      if (!a.IsMask) {
        EXPECT_EQ(a.Name, b.Name);
        EXPECT_EQ(a.Opacity, b.Opacity);
      }
      EXPECT_TRUE(SamePixels(*a.Bitmap, *b.Bitmap, !a.IsMask && a.Bitmap->HasAlphaChannel()));
    }

    auto merged2 = Load(bytes, false);
    ASSERT_FALSE(merged2->outcome.aborting);
    EXPECT_TRUE(merged2->layers.empty()) << "two layers are skipped when not asked for";
    EXPECT_TRUE(SamePixels(merged, merged2->bitmap, false));
  }
}

TEST(PsdRoundTrip, OneBitRowsAreComplemented) {
  TLxBitmap b;
  b.Allocate(10, 2, lx1g);
  b.ScanLine(0)[0] = 0xF0;
  b.ScanLine(0)[1] = 0x80;
  b.ScanLine(1)[0] = 0x0F;
  b.ScanLine(1)[1] = 0x40;
  TIOParamsVals params;
  const auto bytes = Save(&b, params);
  // The merged image is the file's tail: two rows of 2 complemented bytes.
  auto l = Load(bytes);
  ASSERT_FALSE(l->outcome.aborting);
  EXPECT_EQ(l->bitmap.PixelFormat(), lx1g);
  EXPECT_EQ(l->bitmap.ScanLine(0)[0], 0xF0);
  EXPECT_EQ(l->bitmap.ScanLine(0)[1] & 0xC0, 0x80);
  EXPECT_EQ(l->bitmap.ScanLine(1)[1] & 0xC0, 0x40);
  // A hand-made row: stored 0x00 0x3F is white for 8 pixels, then 2 white pixels.
  auto hand = Load(Psd(Header(1, 1, 10, 1, 0), {}, {}, RawMerged({{0x00, 0x3F}})));
  ASSERT_FALSE(hand->outcome.aborting);
  EXPECT_EQ(hand->bitmap.ScanLine(0)[0], 0xFF);
  EXPECT_EQ(hand->bitmap.ScanLine(0)[1] & 0xC0, 0xC0);
}

// ---------------------------------------------------------------- what the writer writes

TEST(PsdWriter, SingleLayerRecordAndNamePadding) {
  TLxLayerList layers;
  auto l = std::make_unique<TLxLayer>();
  Paint(*l->Bitmap, 4, 2, lx24RGB);
  l->Name = "ab";
  l->Visible = false;
  layers.push_back(std::move(l));
  TIOParamsVals params;
  const auto bytes = Save(nullptr, params, &layers);
  // Find the record after the resources: "8BIMnorm", opacity, clipping, flags, filler, extra.
  const std::string s(bytes.begin(), bytes.end());
  const size_t at = s.find("8BIMnorm");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(uint8_t(s[at + 10]), 2) << "invisible layers have flags 2";
  const uint32_t extra = LoadU32BE(&bytes[at + 12]);
  EXPECT_EQ(extra, 12u);
  EXPECT_EQ(bytes[at + 16 + 8], 2);  // name length after the two zero lengths
  EXPECT_EQ(bytes[at + 16 + 11], 1) << "padding bytes have value 1";
}

TEST(PsdWriter, NoTransparencyIndexAndMergedAlpha) {
  // Index 255 stays opaque: no transparency index is written.
  TLxBitmap p;
  p.Allocate(3, 1, lx8p);
  std::memset(p.ScanLine(0), 255, 3);
  TIOParamsVals params;
  auto bytes = Save(&p, params);
  const std::string s(bytes.begin(), bytes.end());
  EXPECT_EQ(s.find(std::string("8BIM\x04\x17", 6)), std::string::npos);
  auto l = Load(bytes);
  EXPECT_FALSE(l->bitmap.HasAlphaChannel());

  // Transparency travels as an extra merged channel with a negative layer count; an opaque
  // alpha channel adds nothing to the merged image.
  TLxBitmap rgb;
  Paint(rgb, 4, 4, lx24RGB);
  rgb.AlphaChannel()->Fill(255);
  bytes = Save(&rgb, params);
  EXPECT_EQ(LoadU16BE(&bytes[12]), 3);
  PaintAlpha(rgb);
  bytes = Save(&rgb, params);
  EXPECT_EQ(LoadU16BE(&bytes[12]), 4);
  auto back = Load(bytes);
  EXPECT_TRUE(SamePixels(rgb, back->bitmap));
}

TEST(PsdRoundTrip, PartlyTransparentMergedColoursOverWhite) {
  // Stored blended with white, read back with the white taken out: within what the blend
  // keeps of each colour (255 / alpha levels).
  for (PixelFormat pf : {lx24RGB, lxRGB48, lx8g}) {
    SCOPED_TRACE(PixelFormatName(pf));
    TLxBitmap b;
    Paint(b, 7, 3, pf);
    PaintAlpha(b, true);
    TIOParamsVals params;
    const auto bytes = Save(&b, params);
    // The merged image alone (the layer count is negative, its extra channel is the alpha).
    auto l = Load(bytes);
    ASSERT_FALSE(l->outcome.aborting);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 7; ++x) {
        const int a = b.GetAlphaValue(x, y);
        ASSERT_EQ(l->bitmap.GetAlphaValue(x, y), a);
        if (a == 0) continue;
        const TRGB p = b.PixelAsRGB(x, y), q = l->bitmap.PixelAsRGB(x, y);
        const int tolerance = 255 / a + 1;
        EXPECT_LE(std::abs(p.r - q.r), tolerance) << x << "," << y << " alpha " << a;
        EXPECT_LE(std::abs(p.b - q.b), tolerance) << x << "," << y << " alpha " << a;
      }
  }
  // The stored byte is the colour over white: 100 at alpha 51 is 100 * 0.2 + 255 * 0.8.
  TLxBitmap g;
  g.Allocate(1, 1, lx8g);
  g.ScanLine(0)[0] = 100;
  g.AlphaChannel()->ScanLine(0)[0] = 51;
  g.AlphaChannel()->AllOpaque = false;
  TIOParamsVals params;
  const auto bytes = Save(&g, params);
  EXPECT_EQ(bytes[bytes.size() - 3], 224);
  EXPECT_EQ(bytes[bytes.size() - 1], 51);
}

TEST(PsdWriter, SectionLengthsDoNotDependOnTheStreamEnd) {
  TLxBitmap b;
  Paint(b, 20, 9, lx24RGB);
  TIOParamsVals params;
  const auto plain = Save(&b, params);
  // The same image written at the start of a stream that holds more data already.
  TMemoryStream s(std::vector<uint8_t>(100000, 0xAB));
  s.Seek(0, soBeginning);
  Outcome o = RunCodec([&](ProgressRecord& p) { WritePsdStream(s, params, p, nullptr, &b); });
  ASSERT_FALSE(o.aborting);
  std::vector<uint8_t> head(s.Memory(), s.Memory() + plain.size());
  EXPECT_EQ(head, plain);
  auto l = Load(StreamBytes(s));
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  EXPECT_TRUE(SamePixels(b, l->bitmap, false));
}

TEST(PsdWriter, LimitsAndNames) {
  TIOParamsVals params;
  Outcome o;
  TLxBitmap wide;
  wide.Allocate(30001, 1, lx8g);
  Save(&wide, params, nullptr, &o);
  EXPECT_EQ(o.code(), TLxFailure::TooLarge);
  TLxBitmap f;
  f.Allocate(2, 2, lx32f);
  Save(&f, params, nullptr, &o);
  EXPECT_EQ(o.code(), TLxFailure::Unsupported);

  // 254 ASCII bytes and a two-byte character: the name is cut before the character.
  TLxLayerList layers;
  auto l = std::make_unique<TLxLayer>();
  Paint(*l->Bitmap, 2, 2, lx8g);
  l->Name = std::string(254, 'x') + "é" + "tail";
  layers.push_back(std::move(l));
  auto back = Load(Save(nullptr, params, &layers), true);
  ASSERT_EQ(back->layers.size(), 1u);
  EXPECT_EQ(back->layers[0]->Name, std::string(254, 'x'));
}

// ---------------------------------------------------------------- hostile and odd files

TEST(PsdReader, HeaderChecks) {
  Bytes bad = Header(3, 1, 1, 8, 3);
  bad.v[0] = 'X';
  EXPECT_EQ(Load(Psd(bad, {}, {}, RawMerged({{1}, {2}, {3}})))->outcome.code(),
            TLxFailure::BadSignature);
  EXPECT_EQ(Load(Psd(Header(25, 1, 1, 8, 3), {}, {}, {}))->outcome.code(), TLxFailure::BadHeader);
  EXPECT_EQ(Load(Psd(Header(3, 1, 1, 8, 10), {}, {}, {}))->outcome.code(), TLxFailure::BadHeader);
  EXPECT_EQ(Load(Psd(Header(3, 0, 1, 8, 3), {}, {}, {}))->outcome.code(), TLxFailure::BadHeader);
  // Modes and depths that are not decoded say so instead of loading nothing.
  EXPECT_EQ(Load(Psd(Header(2, 1, 1, 8, 7), {}, {}, RawMerged({{1}, {2}})))->outcome.code(),
            TLxFailure::Unsupported);
  EXPECT_EQ(Load(Psd(Header(1, 1, 1, 16, 2), {}, {}, RawMerged({{1, 2}})))->outcome.code(),
            TLxFailure::Unsupported);
  EXPECT_EQ(Load(Psd(Header(1, 1, 8, 8, 0), {}, {}, RawMerged({{1}})))->outcome.code(),
            TLxFailure::Unsupported);
}

TEST(PsdReader, ResourcesCheckTheirLengths) {
  auto dpi = [](uint32_t x) {
    Bytes b;
    b.u32(int64_t(x)).u16(1).u16(1).u32(int64_t(x)).u16(1).u16(1);
    return b.v;
  };
  auto load = [&](const Bytes& res) {
    return Load(Psd(Header(1, 1, 2, 8, 1), res, {}, RawMerged({{7, 9}})));
  };
  auto l = load(Resource(1005, dpi(72 * 65536)));
  EXPECT_EQ(l->params.DpiX, 72);
  EXPECT_EQ(load({})->params.DpiX, 96);
  EXPECT_EQ(load(Resource(1005, dpi(100)))->params.DpiX, 96) << "below 1 dpi";
  EXPECT_EQ(load(Resource(1005, std::vector<uint8_t>(8, 1)))->params.DpiX, 96) << "short";
  // A resource whose length runs past its section (but not past the stream) ends the walk;
  // the rest of the file still reads.
  Bytes liar;
  liar.str("8BIM").u16(1060).u16(0).u32(5000).str("<x/>");
  l = load(liar);
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  EXPECT_TRUE(l->params.XMP_Info.empty());
  EXPECT_EQ(l->bitmap.ScanLine(0)[1], 9);
  // A section longer than the stream is refused.
  Bytes b = Header(1, 1, 2, 8, 1);
  b.u32(0).u32(1000).str("8BIM");
  EXPECT_EQ(Load(b.v)->outcome.code(), TLxFailure::Truncated);
}

TEST(PsdRoundTrip, ResourcesThumbnailProfileXmpIptc) {
  TLxBitmap b;
  Paint(b, 8, 6, lx24RGB);
  TIOParamsVals params;
  Paint(params.ExifThumbnail.Create(), 16, 8, lx24RGB);
  params.InputICCProfile().LoadFromBuffer(std::vector<uint8_t>{1, 2, 3, 4, 5});
  params.XMP_Info = "<x:xmpmeta/>";
  params.IPTC_Info.AddRecord(2, 5, 5, "title");
  const auto bytes = Save(&b, params);
  auto l = Load(bytes);
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  ASSERT_TRUE(l->params.ExifThumbnail);
  EXPECT_EQ(l->params.ExifThumbnail->Width(), 16);
  EXPECT_EQ(l->params.InputICCProfile().Raw(), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(l->params.XMP_Info, "<x:xmpmeta/>");
  // The plain form starts with the record version dataset (2:00).
  const TLxIPTCInfoList& iptc = l->params.IPTC_Info;
  ASSERT_EQ(iptc.Count(), 2);
  EXPECT_EQ(iptc.DatasetNumber(1), 5);
  EXPECT_EQ(iptc.RecordLength(1), 5);
  EXPECT_EQ(l->bitmap.Width(), 8);

  // With the thumbnail flag the thumbnail is the image.
  auto t = std::make_unique<Loaded>();
  t->params.SetLoadExifThumbnail(true);
  TLxMemStream s(bytes.data(), int64_t(bytes.size()));
  t->outcome = RunCodec(
      [&](ProgressRecord& p) { ReadPsdStream(s, t->bitmap, t->params, &t->layers, true, p); });
  ASSERT_FALSE(t->outcome.aborting);
  EXPECT_EQ(t->bitmap.Width(), 16);
  EXPECT_TRUE(t->layers.empty());

  // Resources too short for their kind are passed over: a transparency index of one byte, a
  // thumbnail of its header alone.
  Bytes res = Resource(1047, {5});
  res.raw(Resource(1036, std::vector<uint8_t>(28, 0)).v);
  auto odd = Load(Psd(Header(1, 1, 2, 8, 2), res, {}, RawMerged({{5, 6}})));
  ASSERT_FALSE(odd->outcome.aborting);
  EXPECT_FALSE(odd->bitmap.HasAlphaChannel());
  EXPECT_FALSE(odd->params.ExifThumbnail);
}

TEST(PsdReader, IndexedTransparencyIndexAndPalette) {
  Bytes pal;
  for (int c = 0; c < 3; ++c)
    for (int k = 0; k < 256; ++k) pal.u8(c == 0 ? k : 0);
  Bytes res = Resource(1047, {0, 5});
  auto l = Load(Psd(Header(1, 1, 4, 8, 2), res, {}, RawMerged({{5, 1, 5, 200}}), pal));
  ASSERT_FALSE(l->outcome.aborting);
  EXPECT_EQ(l->bitmap.PixelFormat(), lx8p);
  EXPECT_EQ(l->bitmap.GetPaletteEntry(200).r, 200);
  const int expect[4] = {0, 255, 0, 255};
  for (int x = 0; x < 4; ++x) EXPECT_EQ(l->bitmap.GetAlphaValue(x, 0), expect[x]);
}

TEST(PsdReader, ExtraMergedChannelIsAlphaOnlyWithoutPositiveLayerCount) {
  const auto merged = RawMerged({{10}, {20}, {30}, {40}});
  LayerRecord one;
  one.bottom = 1;
  one.right = 1;
  one.channels = {{0, RawChannel({1})}, {1, RawChannel({2})}, {2, RawChannel({3})}};
  // No layers: alpha.
  auto l = Load(Psd(Header(4, 1, 1, 8, 3), {}, {}, merged));
  EXPECT_EQ(l->bitmap.GetAlphaValue(0, 0), 40);
  // A negative count: alpha.
  l = Load(Psd(Header(4, 1, 1, 8, 3), {}, LayerSection(-1, {one}), merged));
  EXPECT_EQ(l->bitmap.GetAlphaValue(0, 0), 40);
  // A positive count: a saved selection, the image is opaque.
  LayerRecord two = one;
  l = Load(Psd(Header(4, 1, 1, 8, 3), {}, LayerSection(2, {one, two}), merged));
  ASSERT_FALSE(l->outcome.aborting);
  EXPECT_EQ(l->bitmap.GetAlphaValue(0, 0), 255);
  EXPECT_EQ(l->bitmap.PixelsRGB24(0, 0), CreateRGB(10, 20, 30));
}

TEST(PsdReader, LayerRecordsAreChecked) {
  const auto merged = RawMerged({{10}});
  LayerRecord s;
  s.bottom = 1;
  s.right = 1;
  s.channels = {{0, RawChannel({1})}};
  auto code = [&](const LayerRecord& layer) {
    return Load(Psd(Header(1, 1, 1, 8, 1), {}, LayerSection(1, {layer}), merged), true)
        ->outcome.code();
  };
  EXPECT_EQ(code(s), TLxFailure::None);
  LayerRecord upside = s;
  upside.top = 5;
  EXPECT_EQ(code(upside), TLxFailure::BadData);
  LayerRecord many = s;
  many.channels.assign(57, {0, RawChannel({1})});
  EXPECT_EQ(code(many), TLxFailure::BadData);
  LayerRecord longer = s;
  longer.lengths = {1000};
  EXPECT_EQ(code(longer), TLxFailure::BadData) << "channel data past the layer info";
  LayerRecord wrongRaw = s;
  wrongRaw.channels = {{0, RawChannel({1, 2})}};
  EXPECT_EQ(code(wrongRaw), TLxFailure::BadData) << "raw data of the wrong size";
  LayerRecord huge = s;
  huge.bottom = 20000;
  huge.right = 20000;
  huge.channels = {{0, Bytes().u16(1).u16(0).v}};
  EXPECT_EQ(code(huge), TLxFailure::TooLarge) << "PackBits data without a row table";
  LayerRecord zip = s;
  zip.channels = {{0, Bytes().u16(4).u8(0).v}};
  EXPECT_EQ(code(zip), TLxFailure::Unsupported);
}

TEST(PsdReader, PackBitsRowsStandOnTheirOwn) {
  // Row 0: a -128 no-op, then a run of 6 clipped to the row of 4; its count claims one byte
  // more than it has. Row 1 must still start at its own place. Row 2's count runs past the
  // data: what is there is decoded, the rest is zero, and the load reports truncation.
  Bytes table, data;
  const std::vector<uint8_t> row0 = {0x80, uint8_t(-5), 0x11, 0xEE};  // 0xEE is never used
  const std::vector<uint8_t> row1 = {3, 1, 2, 3, 4};
  const std::vector<uint8_t> row2 = {1, 9, 9};
  table.u16(int(row0.size())).u16(int(row1.size())).u16(40);
  data.raw(row0).raw(row1).raw(row2);
  Bytes merged;
  merged.u16(1).raw(table.v).raw(data.v);
  auto l = Load(Psd(Header(1, 3, 4, 8, 1), {}, {}, merged.v));
  EXPECT_EQ(l->outcome.code(), TLxFailure::Truncated);
  ASSERT_EQ(l->bitmap.Width(), 4);
  const uint8_t expect[3][4] = {{0x11, 0x11, 0x11, 0x11}, {1, 2, 3, 4}, {9, 9, 0, 0}};
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(l->bitmap.ScanLine(y)[x], expect[y][x]) << x << "," << y;
}

TEST(PsdReader, LayerChannelsReadFromTheirOwnPlace) {
  // The first channel's record length is 3 bytes longer than its data decodes from; the next
  // channel is found where the lengths put it.
  std::vector<uint8_t> red = RleChannel({{1, 2}, {3, 4}});
  red.insert(red.end(), {0xFF, 0xFF, 0xFF});
  LayerRecord s;
  s.bottom = 2;
  s.right = 2;
  s.channels = {{0, red},
                {1, RleChannel({{5, 6}, {7, 8}})},
                {2, RawChannel({9, 9, 9, 9})},
                {-1, RawChannel({0, 50, 100, 255})}};
  const auto bytes = Psd(Header(3, 2, 2, 8, 3), {}, LayerSection(1, {s}),
                         RawMerged({{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}}));
  auto l = Load(bytes, true);
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  ASSERT_EQ(l->layers.size(), 1u);
  TLxBitmap& b = *l->layers[0]->Bitmap;
  EXPECT_EQ(b.PixelsRGB24(1, 1), CreateRGB(4, 8, 9));
  EXPECT_EQ(b.GetAlphaValue(1, 0), 50);
}

TEST(PsdReader, ZipChannels) {
  for (int depth : {8, 16}) {
    for (int compression : {2, 3}) {
      SCOPED_TRACE(std::to_string(depth) + "/" + std::to_string(compression));
      const int w = 3, h = 2, rb = w * depth / 8;
      std::vector<uint8_t> gray(size_t(rb * h)), alpha(size_t(rb * h));
      for (size_t i = 0; i < gray.size(); ++i) {
        gray[i] = uint8_t(i * 37 + 5);
        alpha[i] = uint8_t(250 - i * 20);
      }
      LayerRecord s;
      s.bottom = h;
      s.right = w;
      s.channels = {{-1, ZipChannel(alpha, compression, rb, depth)},
                    {0, ZipChannel(gray, compression, rb, depth)}};
      auto l = Load(Psd(Header(1, h, w, depth, 1), {}, LayerSection(1, {s}),
                        RawMerged({std::vector<uint8_t>(size_t(rb * h), 0)})),
                    true);
      ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
      ASSERT_EQ(l->layers.size(), 1u);
      TLxBitmap& b = *l->layers[0]->Bitmap;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          if (depth == 8) {
            EXPECT_EQ(b.ScanLine(y)[x], gray[size_t(y * rb + x)]);
            EXPECT_EQ(b.GetAlphaValue(x, y), alpha[size_t(y * rb + x)]);
          } else {
            const size_t k = size_t(y * rb + 2 * x);
            EXPECT_EQ(b.Pixels16(x, y), gray[k] << 8 | gray[k + 1]);
            EXPECT_EQ(b.GetAlphaValue(x, y), alpha[k]) << "high byte of 16-bit alpha";
          }
        }
    }
  }
}

TEST(PsdReader, EmptyLayersAndTheirMasksAreRemoved) {
  LayerRecord empty;  // 0 x 0 with a mask
  empty.channels = {{0, Bytes().u16(0).v}, {-2, RawChannel({1})}};
  empty.mask = true;
  empty.mbottom = 1;
  empty.mright = 1;
  LayerRecord masked;
  masked.bottom = 1;
  masked.right = 2;
  masked.channels = {{0, RawChannel({3, 4})}, {-2, RawChannel({200})}};
  masked.mask = true;
  masked.mtop = 1;
  masked.mleft = 1;
  masked.mbottom = 2;
  masked.mright = 2;
  auto l = Load(
      Psd(Header(1, 1, 2, 8, 1), {}, LayerSection(2, {empty, masked}), RawMerged({{0, 0}})), true);
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  ASSERT_EQ(l->layers.size(), 2u);
  EXPECT_FALSE(l->layers[0]->IsMask);
  EXPECT_TRUE(l->layers[1]->IsMask);
  EXPECT_FALSE(l->layers[1]->Visible);
  EXPECT_EQ(l->layers[1]->PosX, 1);
  EXPECT_EQ(l->layers[1]->Bitmap->ScanLine(0)[0], 200);
}

TEST(PsdReader, NonNativeLoadsGiveRgb) {
  TLxBitmap b;
  Paint(b, 5, 3, lxCMYK);
  TIOParamsVals params;
  auto l = Load(Save(&b, params), false, false);
  EXPECT_EQ(l->bitmap.PixelFormat(), lx24RGB);
}

// ---------------------------------------------------------------- entry points and viewers

class LayerViewer : public TLxViewer {
 public:
  TLxBitmap bitmap;
  TLxLayerList layers;
  int taken = 0;
  bool replaced = false;
  TLxBitmap* ViewerBitmap() override { return &bitmap; }
  TBitmap* ViewerPlatformBitmap() override { return nullptr; }
  TColor Background() const override { return 0; }
  void SetBackground(TColor) override {}
  int32_t DpiX() const override { return 96; }
  int32_t DpiY() const override { return 96; }
  void SetDpiX(int32_t) override {}
  void SetDpiY(int32_t) override {}
  void Repaint() override {}
  void ImageChanged() override {}
  bool QueueOnViewerThread(std::function<void()>) override { return false; }
  int RegisterChangeCallback(std::function<void(TLxViewerChange)>) override { return 0; }
  void UnregisterChangeCallback(int) override {}
  const TLxLayerList* ViewerLayers() override { return &layers; }
  void TakeLayers(TLxLayerList l, bool replace) override {
    ++taken;
    replaced = replace;
    if (replace) layers.clear();
    for (auto& x : l) layers.push_back(std::move(x));
  }
};

// Three layers of 4 x 3 lx24RGB, the middle one half transparent.
std::vector<uint8_t> ThreeLayerFile() {
  TLxLayerList layers;
  for (int i = 0; i < 3; ++i) {
    auto l = std::make_unique<TLxLayer>();
    l->Bitmap->Allocate(4, 3, lx24RGB);
    FillRgb(*l->Bitmap, CreateRGB(uint8_t(50 * i), 0, 0));
    if (i == 1) l->Bitmap->AlphaChannel()->Fill(128);
    layers.push_back(std::move(l));
  }
  TLxBitmap merged;
  merged.Allocate(4, 3, lx24RGB);
  FillRgb(merged, CreateRGB(9, 8, 7));
  TIOParamsVals params;
  return Save(&merged, params, &layers);
}

TEST(PsdEntryPoints, LayersWithoutAViewerLoadTheMergedImage) {
  const auto bytes = ThreeLayerFile();
  TLumenaxIO io;
  io.Params.PsdLoadLayers = true;
  TLxMemStream s(bytes.data(), int64_t(bytes.size()));
  io.LoadFromStreamPsd(s);
  ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
  ASSERT_EQ(io.Bitmap()->Width(), 4);
  EXPECT_EQ(io.Bitmap()->PixelsRGB24(3, 2), CreateRGB(9, 8, 7));
}

TEST(PsdEntryPoints, LayersGoToAnAttachedViewerAndBack) {
  const auto bytes = ThreeLayerFile();
  LayerViewer viewer;
  viewer.layers.push_back(std::make_unique<TLxLayer>());
  TLumenaxIO io;
  io.SetAttachedLumenax(&viewer);
  io.Params.PsdLoadLayers = true;
  io.Params.PsdReplaceLayers = false;
  TLxMemStream s(bytes.data(), int64_t(bytes.size()));
  io.LoadFromStreamPsd(s);
  ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
  EXPECT_EQ(viewer.taken, 1);
  ASSERT_EQ(viewer.layers.size(), 4u) << "added to the layer the viewer had";
  EXPECT_EQ(viewer.layers[3]->Bitmap->PixelsRGB24(0, 0), CreateRGB(100, 0, 0));
  viewer.layers.erase(viewer.layers.begin());

  // Without PsdLoadLayers the viewer gets the merged image and no layers.
  io.Params.PsdLoadLayers = false;
  s.Seek(0, soBeginning);
  io.LoadFromStreamPsd(s);
  EXPECT_EQ(viewer.taken, 1);
  EXPECT_EQ(viewer.bitmap.PixelsRGB24(0, 0), CreateRGB(9, 8, 7));

  // Saving writes the viewer's layers and their flattened picture.
  TMemoryStream out;
  io.SaveToStreamPsd(out);
  ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
  auto l = Load(StreamBytes(out), true);
  ASSERT_EQ(l->layers.size(), 3u);
  auto m = Load(StreamBytes(out));
  ASSERT_EQ(m->bitmap.Width(), 4);
  // Layer 2 (red 100) is opaque and on top.
  EXPECT_EQ(m->bitmap.PixelsRGB24(1, 1), CreateRGB(100, 0, 0));
}

TEST(PsdEntryPoints, SingleLayerAlphaRule) {
  // One 2 x 1 layer at (1, 0) on a 4 x 2 image: its alpha lands there, the rest is 0.
  LayerRecord s;
  s.left = 1;
  s.bottom = 1;
  s.right = 3;
  s.channels = {{0, RawChannel({1, 2})}, {-1, RawChannel({77, 255})}};
  const auto bytes =
      Psd(Header(1, 2, 4, 8, 1), {}, LayerSection(1, {s}), RawMerged({std::vector<uint8_t>(8, 5)}));
  TLumenaxIO io;
  io.SetNativePixelFormat(true);
  TLxMemStream st(bytes.data(), int64_t(bytes.size()));
  io.LoadFromStreamPsd(st);
  ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
  TLxBitmap& b = *io.Bitmap();
  EXPECT_EQ(b.ScanLine(0)[0], 5);
  const int expect[2][4] = {{0, 77, 255, 0}, {0, 0, 0, 0}};
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(b.GetAlphaValue(x, y), expect[y][x]) << x << "," << y;
}

}  // namespace
}  // namespace lumenax
