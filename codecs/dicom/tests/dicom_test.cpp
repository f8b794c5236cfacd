// DICOM reader: the element walk (lengths, nesting, texts), native layouts, the stretch, RLE,
// encapsulated frames, lossless JPEG, and conversions of real files by dcmtk and GDCM.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <sstream>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bitmap/bitmap.h"
#include "codecs/common/tests/codec_test_util.h"
#include "codecs/dicom/dicom.h"
#include "io/params.h"

namespace lumenax {
namespace {

using namespace test;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// An explicit-VR data set, little or big endian.
struct DataSet {
  Bytes b;
  bool big = false;
  void U16(uint32_t v) {
    if (big)
      b.push_back(uint8_t(v >> 8)), b.push_back(uint8_t(v));
    else
      b.push_back(uint8_t(v)), b.push_back(uint8_t(v >> 8));
  }
  void U32(uint32_t v) {
    if (big)
      U16(v >> 16), U16(v & 0xFFFF);
    else
      U16(v & 0xFFFF), U16(v >> 16);
  }
  void Tag(uint16_t g, uint16_t e) { U16(g), U16(e); }
  void El(uint16_t g, uint16_t e, const char* vr, const Bytes& v) {
    Tag(g, e);
    b.push_back(uint8_t(vr[0])), b.push_back(uint8_t(vr[1]));
    const bool longLength = !std::strcmp(vr, "OB") || !std::strcmp(vr, "OW") ||
                            !std::strcmp(vr, "SQ") || !std::strcmp(vr, "UN");
    if (longLength)
      U16(0), U32(uint32_t(v.size()));
    else
      U16(uint32_t(v.size()));
    b.insert(b.end(), v.begin(), v.end());
  }
  void Str(uint16_t g, uint16_t e, const char* vr, std::string s) {
    if (s.size() % 2) s += ' ';
    El(g, e, vr, Bytes(s.begin(), s.end()));
  }
  void Us(uint16_t e, uint16_t v) {
    DataSet t{{}, big};
    t.U16(v);
    El(0x0028, e, "US", t.b);
  }
  // Rows, columns, samples, bits and photometric of an image.
  void Image(int w, int h, int spp, int alloc, int stored, const char* photometric, int rep = 0) {
    Us(0x0002, uint16_t(spp));
    Str(0x0028, 0x0004, "CS", photometric);
    Us(0x0010, uint16_t(h));
    Us(0x0011, uint16_t(w));
    Us(0x0100, uint16_t(alloc));
    Us(0x0101, uint16_t(stored));
    Us(0x0103, uint16_t(rep));
  }
  void Pixels(const Bytes& v, const char* vr = "OW") { El(0x7FE0, 0x0010, vr, v); }
  // Encapsulated pixel data: offset table and fragments, then the delimiter.
  void Encapsulated(const std::vector<uint32_t>& table, const std::vector<Bytes>& fragments) {
    Tag(0x7FE0, 0x0010);
    b.push_back('O'), b.push_back('B');
    U16(0), U32(0xFFFFFFFF);
    Tag(0xFFFE, 0xE000), U32(uint32_t(table.size() * 4));
    for (uint32_t t : table) U32(t);
    for (const Bytes& f : fragments) {
      Tag(0xFFFE, 0xE000), U32(uint32_t(f.size()));
      b.insert(b.end(), f.begin(), f.end());
    }
    Tag(0xFFFE, 0xE0DD), U32(0);
  }
};

// A PS3.10 file: preamble, "DICM", the transfer syntax, and the data set.
Bytes File(const std::string& ts, const DataSet& ds) {
  DataSet meta;
  meta.b.assign(128, 0);
  meta.b.insert(meta.b.end(), {'D', 'I', 'C', 'M'});
  std::string t = ts;
  if (t.size() % 2) t.push_back('\0');
  meta.El(0x0002, 0x0010, "UI", Bytes(t.begin(), t.end()));
  meta.b.insert(meta.b.end(), ds.b.begin(), ds.b.end());
  return meta.b;
}

const char kExplicitLE[] = "1.2.840.10008.1.2.1";

struct Loaded {
  TLxBitmap bitmap;
  TIOParamsVals params;
  Outcome outcome;
  uint16_t G16(int x, int y) { return reinterpret_cast<uint16_t*>(bitmap.ScanLine(y))[x]; }
  uint8_t G8(int x, int y) { return bitmap.ScanLine(y)[x]; }
};

std::unique_ptr<Loaded> Load(const Bytes& bytes, bool headerOnly = false, int imageIndex = 0) {
  auto l = std::make_unique<Loaded>();
  l->params.ImageIndex = imageIndex;
  TLxMemStream s(bytes.data(), int64_t(bytes.size()));
  l->outcome =
      RunCodec([&](ProgressRecord& p) { ReadDicomStream(s, l->params, l->bitmap, headerOnly, p); });
  return l;
}

Bytes Le16(std::initializer_list<int> values) {
  Bytes b;
  for (int v : values) b.push_back(uint8_t(v)), b.push_back(uint8_t(uint16_t(v) >> 8));
  return b;
}

TEST(DicomStretch, CtWindowCutsAtItsEdgesAndTheRangeIsStretched) {
  DataSet ds;
  ds.Image(4, 1, 1, 16, 12, "MONOCHROME2");
  ds.Str(0x0028, 0x1050, "DS", "40");
  ds.Str(0x0028, 0x1051, "DS", "400");
  ds.Str(0x0028, 0x1052, "DS", "-1024");
  ds.Str(0x0028, 0x1053, "DS", "1");
  // Rescaled: -160 (lo), 40 (centre), 239 (hi), -1024.
  ds.Pixels(Le16({864, 1064, 1263, 0}));
  auto l = Load(File(kExplicitLE, ds));
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  ASSERT_EQ(l->bitmap.PixelFormat(), lx16g);
  EXPECT_EQ(l->G16(0, 0), 0);
  EXPECT_EQ(l->G16(1, 0), 32849);  // ((40 - 39.5) / 399 + 0.5) * 65535
  EXPECT_EQ(l->G16(2, 0), 65535);
  EXPECT_EQ(l->G16(3, 0), 0);
  EXPECT_EQ(l->params.BitsPerSample, 12);
}

TEST(DicomStretch, NegativeValuesEqualStoredValuesAndFlatImagesComeOutEqual) {
  // Signed samples: equal stored values must come out equal wherever they are (the offset for
  // negative values is known before any sample is mapped).
  DataSet ds;
  ds.Image(4, 1, 1, 16, 16, "MONOCHROME2", 1);
  ds.Pixels(Le16({-5, 100, -5, -300}));
  auto l = Load(File(kExplicitLE, ds));
  ASSERT_FALSE(l->outcome.aborting);
  EXPECT_EQ(l->G16(0, 0), l->G16(2, 0));
  EXPECT_EQ(l->G16(3, 0), 0);
  EXPECT_EQ(l->G16(1, 0), 65535);
  EXPECT_EQ(l->G16(0, 0), uint16_t(295.0 / 400 * 65535));
  // All samples equal: no division by zero; they keep their rescaled value.
  DataSet flat;
  flat.Image(3, 1, 1, 16, 16, "MONOCHROME2");
  flat.Pixels(Le16({700, 700, 700}));
  auto f = Load(File(kExplicitLE, flat));
  ASSERT_FALSE(f->outcome.aborting);
  EXPECT_EQ(f->G16(0, 0), 700);
  EXPECT_EQ(f->G16(2, 0), 700);
}

TEST(DicomStretch, ValuesBetweenTheOnesPresentDoNotMoveTheRange) {
  // Slope 0.1, window centre 12.2 and width 4: lo = trunc(10.2) = 10, so a rescaled 10.1
  // (stored 101) would map below 0. It is not in the image: the stretch runs from stored 100
  // (0) to 200 (65535) and 103 keeps its windowed value.
  DataSet ds;
  ds.Image(3, 1, 1, 16, 16, "MONOCHROME2");
  ds.Str(0x0028, 0x1050, "DS", "12.2");
  ds.Str(0x0028, 0x1051, "DS", "4");
  ds.Str(0x0028, 0x1053, "DS", "0.1");
  ds.Pixels(Le16({100, 103, 200}));
  auto l = Load(File(kExplicitLE, ds));
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  EXPECT_EQ(l->G16(0, 0), 0);
  EXPECT_EQ(l->G16(1, 0), uint16_t(((103 * 0.1 - 11.7) / 3 + 0.5) * 65535));
  EXPECT_EQ(l->G16(2, 0), 65535);
  // With 101 present the range starts below 0 and 100 no longer maps to 0.
  DataSet with;
  with.Image(3, 1, 1, 16, 16, "MONOCHROME2");
  with.Str(0x0028, 0x1050, "DS", "12.2");
  with.Str(0x0028, 0x1051, "DS", "4");
  with.Str(0x0028, 0x1053, "DS", "0.1");
  with.Pixels(Le16({100, 101, 200}));
  auto m = Load(File(kExplicitLE, with));
  ASSERT_FALSE(m->outcome.aborting);
  EXPECT_EQ(m->G16(1, 0), 0);
  EXPECT_GT(m->G16(0, 0), 0);
}

TEST(DicomText, UnconvertibleTextsKeepDefaultsAndSyntaxSpacesAreIgnored) {
  DataSet ds;
  ds.big = true;
  ds.Image(2, 1, 1, 16, 16, "MONOCHROME1 ");
  ds.Str(0x0028, 0x1053, "DS", "n/a");   // slope stays 1 (not -1, which inverts)
  ds.Str(0x0028, 0x1052, "DS", "10,5");  // comma as decimal separator: 10.5
  ds.Str(0x0028, 0x0008, "IS", "2.5");   // not an integer: one frame
  ds.Pixels(Le16({0x0100, 0x0300}));     // big endian: 1 and 3
  auto l = Load(File("1.2.840.10008.1.2.2 ", ds));
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  EXPECT_EQ(l->params.ImageCount, 1);
  // 1 < 3 with a positive slope; MONOCHROME1 inverts: the first is white.
  EXPECT_EQ(l->G16(0, 0), 65535);
  EXPECT_EQ(l->G16(1, 0), 0);
}

TEST(DicomNative, SampleSizeFollowsBitsAllocated) {
  // 16 allocated, 6 stored: two bytes per sample, shifted to 8 bits, no stretch.
  DataSet a;
  a.Image(3, 1, 1, 16, 6, "MONOCHROME2");
  a.Pixels(Le16({63, 1, 32}));
  auto l = Load(File(kExplicitLE, a));
  ASSERT_EQ(l->bitmap.PixelFormat(), lx8g);
  EXPECT_EQ(l->G8(0, 0), 252);
  EXPECT_EQ(l->G8(1, 0), 4);
  EXPECT_EQ(l->G8(2, 0), 128);
  // 1 bit allocated: least significant bit first, 0 and 255.
  DataSet b;
  b.Image(10, 1, 1, 1, 1, "MONOCHROME2");
  b.Pixels({0x05, 0x02}, "OB");
  auto bits = Load(File(kExplicitLE, b));
  ASSERT_FALSE(bits->outcome.aborting) << bits->outcome.reason.Text();
  const uint8_t want[10] = {255, 0, 255, 0, 0, 0, 0, 0, 0, 255};
  for (int x = 0; x < 10; ++x) EXPECT_EQ(bits->G8(x, 0), want[x]) << x;
  // Planar RGB and YBR_FULL.
  DataSet c;
  c.Image(2, 1, 3, 8, 8, "RGB");
  c.Us(0x0006, 1);
  c.Pixels({10, 20, 30, 40, 50, 60}, "OB");
  auto rgb = Load(File(kExplicitLE, c));
  EXPECT_EQ(rgb->bitmap.PixelAsRGB(1, 0).r, 20);
  EXPECT_EQ(rgb->bitmap.PixelAsRGB(1, 0).g, 40);
  EXPECT_EQ(rgb->bitmap.PixelAsRGB(1, 0).b, 60);
  DataSet d;
  d.Image(1, 1, 3, 8, 8, "YBR_FULL");
  d.Pixels({100, 128, 200, 0}, "OB");
  auto ybr = Load(File(kExplicitLE, d));
  EXPECT_EQ(ybr->bitmap.PixelAsRGB(0, 0).r, 100 + 101);  // Y + round(1.402 * 72)
  EXPECT_EQ(ybr->bitmap.PixelAsRGB(0, 0).b, 100);
}

TEST(DicomNative, GrayRowsCutShortStretchInvertAndMask) {
  // 3 x 3, 16 of 12 bits, MONOCHROME1, big endian, the data end inside the third row: the
  // missing samples are 0 and take part in the stretch; inversion comes after it.
  DataSet a;
  a.big = true;
  a.Image(3, 3, 1, 16, 12, "MONOCHROME1");
  Bytes px;
  for (int v : {100, 200, 300, 400, 500, 600, 700, 0, 0})
    px.push_back(uint8_t(v >> 8)), px.push_back(uint8_t(v));
  a.Pixels(px);
  Bytes file = File("1.2.840.10008.1.2.2", a);
  file.erase(file.end() - 4, file.end());
  auto l = Load(file);
  EXPECT_EQ(l->outcome.code(), TLxFailure::Truncated);
  ASSERT_EQ(l->bitmap.PixelFormat(), lx16g);
  for (int i = 0; i < 9; ++i) {
    const int v = i < 7 ? (i + 1) * 100 : 0;
    EXPECT_EQ(l->G16(i % 3, i / 3), 65535 - int(std::trunc(v / 700.0 * 65535))) << i;
  }
  // 8 of 4 bits: masked and shifted to 8 bits; MONOCHROME1 without a stretch inverts.
  DataSet b;
  b.Image(2, 2, 1, 8, 4, "MONOCHROME1");
  b.Pixels({0xF1, 0x02, 0x0F, 0x30}, "OB");
  auto g = Load(File(kExplicitLE, b));
  ASSERT_FALSE(g->outcome.aborting) << g->outcome.reason.Text();
  ASSERT_EQ(g->bitmap.PixelFormat(), lx8g);
  EXPECT_EQ(g->G8(0, 0), 255 - 0x10);
  EXPECT_EQ(g->G8(1, 0), 255 - 0x20);
  EXPECT_EQ(g->G8(0, 1), 255 - 0xF0);
  EXPECT_EQ(g->G8(1, 1), 255);
}

TEST(DicomNative, LayoutsWithoutADecoderAreRefusedButHeadersStillRead) {
  struct Case {
    int spp, alloc, stored;
    const char* photometric;
    const char* ts;
  } cases[] = {{1, 32, 32, "MONOCHROME2", kExplicitLE},
               {3, 16, 16, "RGB", kExplicitLE},
               {3, 8, 8, "YBR_FULL_422", kExplicitLE},
               {1, 8, 8, "HSV", kExplicitLE},
               {1, 8, 8, "MONOCHROME2", "1.2.840.10008.1.2.4.80"},
               {1, 12, 12, "MONOCHROME2", "1.2.840.10008.1.2.4.51"}};
  for (const Case& c : cases) {
    DataSet ds;
    ds.Image(2, 2, c.spp, c.alloc, c.stored, c.photometric);
    if (std::strcmp(c.ts, kExplicitLE) == 0)
      ds.Pixels(Bytes(64, 1), "OB");
    else
      ds.Encapsulated({}, {Bytes(64, 1)});
    auto l = Load(File(c.ts, ds));
    EXPECT_EQ(l->outcome.code(), TLxFailure::Unsupported) << c.photometric << " " << c.alloc;
    EXPECT_FALSE(Load(File(c.ts, ds), true)->outcome.aborting);
  }
  DataSet none;
  none.Str(0x0010, 0x0010, "PN", "Nobody");
  EXPECT_EQ(Load(File(kExplicitLE, none))->outcome.code(), TLxFailure::NoImage);
  auto header = Load(File(kExplicitLE, none), true);
  EXPECT_FALSE(header->outcome.aborting);
  EXPECT_TRUE(header->params.DicomTags.Find(0x0010, 0x0010));
}

TEST(DicomWalk, HostileLengthsEndTheWalkAsTruncated) {
  DataSet ds;
  ds.Image(2, 2, 1, 8, 8, "MONOCHROME2");
  ds.Tag(0x0010, 0x0010);
  ds.b.insert(ds.b.end(), {'L', 'O', 0xFF, 0x7F});  // 32767 bytes that are not there
  ds.Pixels(Bytes(4, 9), "OB");
  auto l = Load(File(kExplicitLE, ds));
  EXPECT_EQ(l->outcome.code(), TLxFailure::Truncated);
  EXPECT_TRUE(l->bitmap.IsEmpty());
  // An element longer than its item.
  DataSet seq;
  seq.Tag(0x0008, 0x1140);
  seq.b.insert(seq.b.end(), {'S', 'Q', 0, 0}), seq.U32(0xFFFFFFFF);
  seq.Tag(0xFFFE, 0xE000), seq.U32(10);
  seq.Str(0x0008, 0x1150, "UI", "1.2.3.4.5.6.7.8");
  seq.Tag(0xFFFE, 0xE0DD), seq.U32(0);
  EXPECT_EQ(Load(File(kExplicitLE, seq))->outcome.code(), TLxFailure::Truncated);
  // Pixel data that end early: what is there, zeros after, truncated.
  DataSet cut;
  cut.Image(4, 2, 1, 8, 8, "MONOCHROME2");
  cut.Tag(0x7FE0, 0x0010);
  cut.b.insert(cut.b.end(), {'O', 'B', 0, 0}), cut.U32(8);
  cut.b.insert(cut.b.end(), {7, 7, 7});
  auto c = Load(File(kExplicitLE, cut));
  EXPECT_EQ(c->outcome.code(), TLxFailure::Truncated);
  ASSERT_FALSE(c->bitmap.IsEmpty());
  EXPECT_EQ(c->G8(2, 0), 7);
  EXPECT_EQ(c->G8(3, 0), 0);
  EXPECT_EQ(c->G8(3, 1), 0);
}

TEST(DicomWalk, IconSequenceNeitherDescribesNorReplacesTheImage) {
  DataSet ds;
  ds.Image(2, 1, 1, 8, 8, "MONOCHROME2");
  // Icon Image Sequence with its own size and pixels.
  ds.Tag(0x0088, 0x0200);
  ds.b.insert(ds.b.end(), {'S', 'Q', 0, 0}), ds.U32(0xFFFFFFFF);
  ds.Tag(0xFFFE, 0xE000), ds.U32(0xFFFFFFFF);
  ds.Us(0x0010, 1);
  ds.Us(0x0011, 1);
  ds.Pixels({200, 0}, "OB");
  ds.Tag(0xFFFE, 0xE00D), ds.U32(0);
  ds.Tag(0xFFFE, 0xE0DD), ds.U32(0);
  ds.Pixels({3, 4}, "OB");
  auto l = Load(File(kExplicitLE, ds));
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  EXPECT_EQ(l->bitmap.Width(), 2);
  EXPECT_EQ(l->G8(0, 0), 3);
  EXPECT_EQ(l->G8(1, 0), 4);
  // The nested elements are listed.
  int rowsTags = 0;
  for (int i = 0; i < l->params.DicomTags.Count(); ++i)
    rowsTags += l->params.DicomTags[i].Group == 0x0028 && l->params.DicomTags[i].Element == 0x0010;
  EXPECT_EQ(rowsTags, 2);
}

// RLE fragment: header with the given offsets, then segments.
Bytes RleFragment(const std::vector<Bytes>& segments) {
  Bytes f(64, 0);
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + size_t(i)] = uint8_t(v >> (8 * i));
  };
  put(0, uint32_t(segments.size()));
  uint32_t at = 64;
  for (size_t i = 0; i < segments.size(); ++i) {
    put(4 + 4 * i, at);
    at += uint32_t(segments[i].size());
  }
  for (const Bytes& s : segments) f.insert(f.end(), s.begin(), s.end());
  return f;
}

TEST(DicomRle, SegmentsDecodeWithinTheirOwnBytesAndHostileHeadersAreRefused) {
  const char kRle[] = "1.2.840.10008.1.2.5";
  // 16-bit: high bytes then low bytes; 3 x 1 samples 0x0102, 0x0102, 0x0300.
  DataSet ds;
  ds.Image(3, 1, 1, 16, 16, "MONOCHROME2");
  ds.Encapsulated({}, {RleFragment({{0xFF, 0x01, 0x00, 0x03}, {0xFF, 0x02, 0x00, 0x00}})});
  auto l = Load(File(kRle, ds));
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  // Stretched: 0x0102 -> 0, 0x0300 -> 65535.
  EXPECT_EQ(l->G16(0, 0), 0);
  EXPECT_EQ(l->G16(1, 0), 0);
  EXPECT_EQ(l->G16(2, 0), 65535);
  // A run in segment 1 that would spill into segment 2's plane is clipped to its own plane.
  DataSet spill;
  spill.Image(2, 1, 1, 16, 16, "MONOCHROME2");
  spill.Encapsulated({}, {RleFragment({{0x83, 0x05}, {0x01, 0x01, 0x02}})});
  auto s = Load(File(kRle, spill));
  ASSERT_FALSE(s->outcome.aborting) << s->outcome.reason.Text();
  EXPECT_EQ(s->G16(0, 0), 0);
  EXPECT_EQ(s->G16(1, 0), 65535);
  // Runs and literals that cross rows: 3 x 2 samples 0x01xx from one run of high bytes.
  DataSet rows;
  rows.Image(3, 2, 1, 16, 16, "MONOCHROME2");
  rows.Encapsulated({}, {RleFragment({{0xFB, 0x01}, {0x01, 0, 10, 0xFE, 20, 0x00, 40}})});
  auto r = Load(File(kRle, rows));
  ASSERT_FALSE(r->outcome.aborting) << r->outcome.reason.Text();
  // 0x0100, 0x010A, then 0x0114 three times, 0x0128; stretched over 0x0100 .. 0x0128.
  EXPECT_EQ(r->G16(0, 0), 0);
  EXPECT_EQ(r->G16(1, 0), 10 * 65535 / 40);
  EXPECT_EQ(r->G16(2, 0), 20 * 65535 / 40);
  EXPECT_EQ(r->G16(1, 1), 20 * 65535 / 40);
  EXPECT_EQ(r->G16(2, 1), 65535);
  // Counts and offsets.
  for (uint32_t count : {0u, 16u, 1u}) {
    DataSet bad;
    bad.Image(2, 1, 1, 16, 16, "MONOCHROME2");
    Bytes fragment = RleFragment({{0x01, 1, 2}, {0x01, 1, 2}});
    fragment[0] = uint8_t(count);
    bad.Encapsulated({}, {fragment});
    EXPECT_EQ(Load(File(kRle, bad))->outcome.code(), TLxFailure::BadData) << count;
  }
  Bytes far = RleFragment({{0x01, 1, 2}});
  far[4] = 0xF0;  // offset beyond the fragment
  DataSet f;
  f.Image(2, 1, 1, 8, 8, "MONOCHROME2");
  f.Encapsulated({}, {far});
  EXPECT_EQ(Load(File(kRle, f))->outcome.code(), TLxFailure::BadData);
  // A segment that ends early: zeros and truncated.
  DataSet shortSeg;
  shortSeg.Image(4, 1, 1, 8, 8, "MONOCHROME2");
  shortSeg.Encapsulated({}, {RleFragment({{0x01, 50, 60}})});
  auto t = Load(File(kRle, shortSeg));
  EXPECT_EQ(t->outcome.code(), TLxFailure::Truncated);
}

// A lossless JPEG (predictor 1) of 8-bit one-component samples, with a table giving every
// category a 5-bit code.
Bytes LosslessJpeg(int w, int h, const std::vector<int>& samples, int pt, int precision = 8) {
  Bytes j = {0xFF, 0xD8};
  j.insert(j.end(),
           {0xFF, 0xC3, 0, 11, uint8_t(precision), 0, uint8_t(h), 0, uint8_t(w), 1, 1, 0x11, 0});
  Bytes dht = {0xFF, 0xC4, 0, 3 + 16 + 17, 0x00, 0, 0, 0, 0, 17, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  for (int i = 0; i <= 16; ++i) dht.push_back(uint8_t(i));
  j.insert(j.end(), dht.begin(), dht.end());
  j.insert(j.end(), {0xFF, 0xDA, 0, 8, 1, 1, 0x00, 1, 0, uint8_t(pt)});
  uint32_t acc = 0;
  int bits = 0;
  auto put = [&](uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) {
      acc = acc << 1 | ((v >> i) & 1);
      if (++bits == 8) {
        j.push_back(uint8_t(acc));
        if (uint8_t(acc) == 0xFF) j.push_back(0);
        acc = 0, bits = 0;
      }
    }
  };
  std::vector<int> stored(samples.size());
  for (size_t i = 0; i < samples.size(); ++i) stored[i] = samples[i] >> pt;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      int pred = x > 0   ? stored[size_t(y * w + x - 1)]
                 : y > 0 ? stored[size_t((y - 1) * w)]
                         : 1 << (precision - pt - 1);
      int d = stored[size_t(y * w + x)] - pred;
      int ssss = 0;
      while ((d < 0 ? -d : d) >= (1 << ssss)) ++ssss;
      put(uint32_t(ssss), 5);
      if (ssss) put(uint32_t(d < 0 ? d + (1 << ssss) - 1 : d), ssss);
    }
  if (bits) put(0x7F, 8 - bits);
  j.insert(j.end(), {0xFF, 0xD9});
  return j;
}

TEST(DicomLossless, DecodesWithPointTransformAndRefusesWhatDoesNotMatch) {
  const char kSV1[] = "1.2.840.10008.1.2.4.70";
  const std::vector<int> px = {8, 16, 200, 40, 0, 252};
  DataSet ds;
  ds.Image(3, 2, 1, 8, 8, "MONOCHROME2");
  ds.Encapsulated({}, {LosslessJpeg(3, 2, px, 2)});
  auto l = Load(File(kSV1, ds));
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  // Shifted back by the point transform, then the 8-bit stretch (0 .. 252 to 0 .. 255).
  EXPECT_EQ(l->G8(0, 0), 8 * 255 / 252);
  EXPECT_EQ(l->G8(2, 0), 200 * 255 / 252);
  EXPECT_EQ(l->G8(1, 1), 0);
  EXPECT_EQ(l->G8(2, 1), 255);
  // A frame that is not the data set's size, and an oversubscribed table.
  DataSet wrong;
  wrong.Image(4, 2, 1, 8, 8, "MONOCHROME2");
  wrong.Encapsulated({}, {LosslessJpeg(3, 2, px, 0)});
  EXPECT_EQ(Load(File(kSV1, wrong))->outcome.code(), TLxFailure::BadData);
  Bytes over = LosslessJpeg(3, 2, px, 0);
  over[15 + 2 + 4 + 1] = 3;  // three 1-bit codes
  DataSet o;
  o.Image(3, 2, 1, 8, 8, "MONOCHROME2");
  o.Encapsulated({}, {over});
  EXPECT_EQ(Load(File(kSV1, o))->outcome.code(), TLxFailure::BadData);
  // No SOF3: a failure, not an empty success.
  Bytes baseline = LosslessJpeg(3, 2, px, 0);
  baseline[3] = 0xC0;
  DataSet b;
  b.Image(3, 2, 1, 8, 8, "MONOCHROME2");
  b.Encapsulated({}, {baseline});
  EXPECT_EQ(Load(File(kSV1, b))->outcome.code(), TLxFailure::BadData);
}

// A one-component lossless JPEG of any precision, predictor and restart interval. Every
// category has a 5-bit code, or (longCodes) codes of 16 bits (categories 0 and 1) down to 1
// bit (category 16).
Bytes LosslessJpegAny(int w, int h, const std::vector<int>& samples, int precision, int predictor,
                      int restart, bool longCodes) {
  Bytes j = {0xFF, 0xD8};
  j.insert(j.end(), {0xFF, 0xC3, 0, 11, uint8_t(precision), uint8_t(h >> 8), uint8_t(h),
                     uint8_t(w >> 8), uint8_t(w), 1, 1, 0x11, 0});
  // Code lengths per category, then canonical codes.
  int length[17];
  for (int c = 0; c <= 16; ++c) length[c] = !longCodes ? 5 : c < 2 ? 16 : 17 - c;
  uint8_t counts[16] = {};
  for (int c = 0; c <= 16; ++c) ++counts[length[c] - 1];
  uint32_t code[17];
  {
    uint32_t next = 0;
    for (int l = 1; l <= 16; ++l) {
      for (int c = 0; c <= 16; ++c)
        if (length[c] == l) code[c] = next++;
      next <<= 1;
    }
  }
  Bytes dht = {0xFF, 0xC4, 0, 3 + 16 + 17, 0x00};
  dht.insert(dht.end(), counts, counts + 16);
  for (int l = 1; l <= 16; ++l)
    for (int c = 0; c <= 16; ++c)
      if (length[c] == l) dht.push_back(uint8_t(c));
  j.insert(j.end(), dht.begin(), dht.end());
  if (restart) j.insert(j.end(), {0xFF, 0xDD, 0, 4, uint8_t(restart >> 8), uint8_t(restart)});
  j.insert(j.end(), {0xFF, 0xDA, 0, 8, 1, 1, 0x00, uint8_t(predictor), 0, 0});
  uint32_t acc = 0;
  int bits = 0;
  auto put = [&](uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) {
      acc = acc << 1 | ((v >> i) & 1);
      if (++bits == 8) {
        j.push_back(uint8_t(acc));
        if (uint8_t(acc) == 0xFF) j.push_back(0);
        acc = 0, bits = 0;
      }
    }
  };
  auto at = [&](int x, int y) { return samples[size_t(y * w + x)]; };
  int since = 0, marker = 0;
  bool firstLine = true;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      if (restart && since == restart) {
        if (bits) put(0x7F, 8 - bits);
        j.insert(j.end(), {0xFF, uint8_t(0xD0 + marker++ % 8)});
        since = 0, firstLine = true;
      }
      const int ra = x ? at(x - 1, y) : 0, rb = y ? at(x, y - 1) : 0,
                rc = x && y ? at(x - 1, y - 1) : 0;
      int pred;
      if ((x == 0 && y == 0) || (restart && since == 0))
        pred = 1 << (precision - 1);
      else if (firstLine)
        pred = x ? ra : 1 << (precision - 1);
      else if (x == 0)
        pred = rb;
      else
        pred = predictor == 1   ? ra
               : predictor == 2 ? rb
               : predictor == 3 ? rc
               : predictor == 4 ? ra + rb - rc
               : predictor == 5 ? ra + ((rb - rc) >> 1)
               : predictor == 6 ? rb + ((ra - rc) >> 1)
                                : (ra + rb) >> 1;
      // The difference modulo 2^16, as a category and its bits.
      int d = (at(x, y) - pred) & 0xFFFF;
      if (d >= 32768) d -= 65536;
      int ssss = 0;
      while (ssss < 16 && (d < 0 ? -d : d) >= (1 << ssss)) ++ssss;
      put(code[ssss], length[ssss]);
      if (ssss && ssss < 16) put(uint32_t(d < 0 ? d + (1 << ssss) - 1 : d), ssss);
      ++since;
    }
    firstLine = false;
  }
  if (bits) put(0x7F, 8 - bits);
  j.insert(j.end(), {0xFF, 0xD9});
  return j;
}

TEST(DicomLossless, SixteenBitScansOfEveryPredictorRestartAndCodeLength) {
  const char kProcess14[] = "1.2.840.10008.1.2.4.57";
  // 0 and 65535 are present, so the stretch leaves every sample as it is; jumps of 32768 need
  // category 16, noise every other category.
  const int w = 23, h = 9;
  std::vector<int> px(size_t(w * h));
  uint32_t seed = 3;
  for (size_t i = 0; i < px.size(); ++i) {
    seed = seed * 1103515245 + 12345;
    px[i] = int(i % 3 == 0 ? 1000 + (seed >> 16) % 64 : (seed >> 8) & 0xFFFF);
  }
  px[0] = 0, px[1] = 32768, px[2] = 0, px[5] = 65535;
  for (int predictor = 1; predictor <= 7; ++predictor)
    for (int restart : {0, 7, 23})
      for (bool longCodes : {false, true}) {
        DataSet ds;
        ds.Image(w, h, 1, 16, 16, "MONOCHROME2");
        ds.Encapsulated({}, {LosslessJpegAny(w, h, px, 16, predictor, restart, longCodes)});
        auto l = Load(File(kProcess14, ds));
        ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text() << predictor << restart;
        std::vector<int> got;
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x) got.push_back(l->G16(x, y));
        EXPECT_EQ(got, px) << "predictor " << predictor << " restart " << restart
                           << (longCodes ? " long codes" : "");
      }
}

TEST(DicomLossless, DataCutShortKeepTheRowsBeforeAndReportTruncated) {
  const char kSV1[] = "1.2.840.10008.1.2.4.70";
  const int w = 64, h = 16;
  std::vector<int> px(size_t(w * h));
  for (size_t i = 0; i < px.size(); ++i) px[i] = int((i * 7919) % 65536);
  px[3] = 0, px[4] = 65535;
  const Bytes full = LosslessJpegAny(w, h, px, 16, 1, 0, false);
  // Cut in the middle of the entropy-coded data (a fragment of even length), and just before
  // the end of image marker.
  for (size_t keep : {full.size() / 2 & ~size_t(1), full.size() - 2}) {
    Bytes cut(full.begin(), full.begin() + ptrdiff_t(keep));
    DataSet ds;
    ds.Image(w, h, 1, 16, 16, "MONOCHROME2");
    ds.Encapsulated({}, {cut});
    auto l = Load(File(kSV1, ds));
    if (keep == full.size() - 2) {
      // Only the marker is missing: every sample is there.
      EXPECT_EQ(l->G16(w - 1, h - 1), px.back());
      continue;
    }
    EXPECT_EQ(l->outcome.code(), TLxFailure::Truncated);
    ASSERT_EQ(l->bitmap.Height(), h);
    for (int x = 0; x < w; ++x) EXPECT_EQ(l->G16(x, 2), px[size_t(2 * w + x)]) << x;
    for (int x = 0; x < w; ++x) EXPECT_EQ(l->G16(x, h - 1), 0) << x;
  }
}

TEST(DicomEncapsulated, OffsetTableChoosesTheFrameAndFragmentsAreJoined) {
  const char kSV1[] = "1.2.840.10008.1.2.4.70";
  auto frame = [](int v) { return LosslessJpeg(2, 1, {v, 255}, 0); };
  Bytes f0 = frame(0), f1 = frame(100), f2 = frame(200);
  // Frame 2 spread over two fragments.
  Bytes f2a(f2.begin(), f2.begin() + 7), f2b(f2.begin() + 7, f2.end());
  const uint32_t o1 = uint32_t(8 + f0.size()), o2 = o1 + uint32_t(8 + f1.size());
  DataSet ds;
  ds.Image(2, 1, 1, 8, 8, "MONOCHROME2");
  ds.Str(0x0028, 0x0008, "IS", "3");
  ds.Encapsulated({0, o1, o2}, {f0, f1, f2a, f2b});
  auto l = Load(File(kSV1, ds), false, 5);
  ASSERT_FALSE(l->outcome.aborting) << l->outcome.reason.Text();
  EXPECT_EQ(l->params.ImageIndex, 2);
  EXPECT_EQ(l->params.ImageCount, 3);
  // 200 and 255 stretched to 0 and 255: the frame is frame 2.
  EXPECT_EQ(l->G8(0, 0), 0);
  DataSet bad;
  bad.Image(2, 1, 1, 8, 8, "MONOCHROME2");
  bad.Str(0x0028, 0x0008, "IS", "3");
  bad.Encapsulated({0, o1 + 3, o2}, {f0, f1, f2a, f2b});
  EXPECT_EQ(Load(File(kSV1, bad), false, 1)->outcome.code(), TLxFailure::BadData);
  // A missing item tag between fragments.
  DataSet missing;
  missing.Image(2, 1, 1, 8, 8, "MONOCHROME2");
  missing.Encapsulated({}, {f0});
  missing.b.erase(missing.b.end() - 8, missing.b.end());
  missing.Tag(0x0010, 0x0010), missing.U32(0);
  EXPECT_EQ(Load(File(kSV1, missing))->outcome.code(), TLxFailure::BadData);
}

// ---------------------------------------------------------------- other programs' files

fs::path PydicomFiles() {
  const fs::path d = TestDataDir();
  if (d.empty()) return {};
  fs::path p = d / "python3-pydicom/usr/lib/python3/dist-packages/pydicom/data/test_files";
  return fs::exists(p) ? p : fs::path();
}

// The decoded pixels of a file as bytes (empty when it did not load).
Bytes Pixels(const fs::path& file, TLxFailure* code = nullptr) {
  auto l = Load(ReadFileBytes(file));
  if (code) *code = l->outcome.code();
  if (l->outcome.aborting || l->bitmap.IsEmpty()) return {};
  Bytes out;
  const int rowBytes = l->bitmap.Width() * l->bitmap.BitCount() / 8;
  for (int y = 0; y < l->bitmap.Height(); ++y)
    out.insert(out.end(), l->bitmap.ScanLine(y), l->bitmap.ScanLine(y) + rowBytes);
  return out;
}

// Our pixels at 8 bits per sample: gray samples, or red, green, blue; 16-bit samples keep
// their high byte.
struct Image8 {
  int width = 0, height = 0, channels = 0;
  Bytes samples;
};

Image8 Ours(TLxBitmap& b) {
  Image8 m;
  m.width = b.Width(), m.height = b.Height();
  m.channels = b.PixelFormat() == lx24RGB ? 3 : 1;
  for (int y = 0; y < m.height; ++y) {
    const uint8_t* row = b.ScanLine(y);
    for (int x = 0; x < m.width; ++x) {
      if (b.PixelFormat() == lx24RGB)
        m.samples.insert(m.samples.end(), {row[3 * x + 2], row[3 * x + 1], row[3 * x]});
      else if (b.PixelFormat() == lx16g)
        m.samples.push_back(uint8_t(reinterpret_cast<const uint16_t*>(row)[x] >> 8));
      else
        m.samples.push_back(row[x]);
    }
  }
  return m;
}

// A PGM or PPM of maximum 255.
bool ReadPnm(const fs::path& p, Image8& m) {
  const Bytes b = ReadFileBytes(p);
  int maxval = 0, at = 0;
  char magic[3] = {};
  if (std::sscanf(reinterpret_cast<const char*>(b.data()), "%2s %d %d %d%n", magic, &m.width,
                  &m.height, &maxval, &at) != 4 ||
      maxval != 255)
    return false;
  m.channels = magic[1] == '6' ? 3 : 1;
  const size_t n = size_t(m.width) * size_t(m.height) * size_t(m.channels);
  if (b.size() < size_t(at) + 1 + n) return false;
  m.samples.assign(b.begin() + at + 1, b.begin() + at + 1 + ptrdiff_t(n));
  return true;
}

// The largest sample difference, 256 for images of different shapes.
int MaxDiff(const Image8& a, const Image8& b) {
  if (a.width != b.width || a.height != b.height || a.channels != b.channels) return 256;
  int d = 0;
  for (size_t i = 0; i < a.samples.size(); ++i)
    d = std::max(d, std::abs(int(a.samples[i]) - int(b.samples[i])));
  return d;
}

bool HavePydicom() {
  return RunCommand("/usr/bin/python3 -c 'import pydicom, numpy' 2>/dev/null") == 0;
}

// The files pydicom ships with its tests that the reader refuses, and why.
struct Refusal {
  const char* file;
  TLxFailure code;
  const char* why;
};
const Refusal kRefused[] = {
    {"ExplVR_BigEndNoMeta.dcm", TLxFailure::Truncated, "big endian data set without a header"},
    {"ExplVR_LitEndNoMeta.dcm", TLxFailure::NoImage, "no pixel data"},
    {"JPEG-lossy.dcm", TLxFailure::Unsupported, "12-bit JPEG"},
    {"JPGExtended.dcm", TLxFailure::Unsupported, "12-bit JPEG"},
    {"JPEG2000-embedded-sequence-delimiter.dcm", TLxFailure::TooLarge,
     "the code stream's SIZ announces 3,722,445,056 x 1,024 pixels in 14 million tiles"},
    {"MR_small_jpeg_ls_lossless.dcm", TLxFailure::Unsupported, "JPEG-LS"},
    {"MR_truncated.dcm", TLxFailure::Truncated, "pixel data cut short"},
    {"SC_rgb_rle_16bit.dcm", TLxFailure::Unsupported, "16-bit colour"},
    {"SC_rgb_rle_16bit_2frame.dcm", TLxFailure::Unsupported, "16-bit colour"},
    {"SC_rgb_rle_32bit.dcm", TLxFailure::Unsupported, "32 bits allocated"},
    {"SC_rgb_rle_32bit_2frame.dcm", TLxFailure::Unsupported, "32 bits allocated"},
    {"SC_ybr_full_422_uncompressed.dcm", TLxFailure::Unsupported, "native YBR_FULL_422"},
    {"UN_sequence.dcm", TLxFailure::NoImage, "no pixel data"},
    {"badVR.dcm", TLxFailure::Unsupported, "bits allocated of a broken header"},
    {"empty_charset_LEI.dcm", TLxFailure::NoImage, "no pixel data"},
    {"meta_missing_tsyntax.dcm", TLxFailure::BadHeader, "no transfer syntax, no image size"},
    {"nested_priv_SQ.dcm", TLxFailure::BadHeader, "pixel data without an image description"},
    {"no_meta.dcm", TLxFailure::Truncated, "data set without a header in an unknown syntax"},
    {"no_meta_group_length.dcm", TLxFailure::NoImage, "no pixel data"},
    {"priv_SQ.dcm", TLxFailure::NoImage, "no pixel data"},
    {"reportsi.dcm", TLxFailure::NoImage, "no pixel data"},
    {"reportsi_with_empty_number_tags.dcm", TLxFailure::NoImage, "no pixel data"},
    {"rtdose.dcm", TLxFailure::Unsupported, "32 bits allocated"},
    {"rtdose_1frame.dcm", TLxFailure::Unsupported, "32 bits allocated"},
    {"rtdose_expb.dcm", TLxFailure::Unsupported, "32 bits allocated"},
    {"rtdose_expb_1frame.dcm", TLxFailure::Unsupported, "32 bits allocated"},
    {"rtdose_rle.dcm", TLxFailure::Unsupported, "32 bits allocated"},
    {"rtdose_rle_1frame.dcm", TLxFailure::Unsupported, "32 bits allocated"},
    {"rtplan.dcm", TLxFailure::NoImage, "no pixel data"},
    {"rtplan_truncated.dcm", TLxFailure::Truncated, "elements cut short"},
    {"rtstruct.dcm", TLxFailure::NoImage, "no pixel data"},
    {"test-SR.dcm", TLxFailure::NoImage, "no pixel data"},
    {"waveform_ecg.dcm", TLxFailure::NoImage, "no pixel data"},
};

// Files that load but whose pixels are not pydicom's, and why.
struct Disagreement {
  const char* file;
  const char* why;
};
const Disagreement kDisagree[] = {
    // The data set says signed, the code stream unsigned: the data set wins here, the code
    // stream in pydicom.
    {"J2K_pixelrep_mismatch.dcm", "sign of the samples"},
    // RGB components in a JPEG without a marker naming them: the JPEG reader takes them for
    // Y, Cb, Cr (pydicom and dcmdjpeg keep them as red, green, blue).
    {"SC_jpeg_no_color_transform.dcm", "RGB JPEG converted as YCbCr"},
    {"SC_rgb_jpeg_lossy_gdcm.dcm", "RGB JPEG converted as YCbCr"},
    {"SC_rgb_jpeg.dcm", "RGB JPEG converted as YCbCr"},
};

TEST(DicomPeers, PydicomFilesLoadWithPydicomsPixelsOrAreRefusedForAListedReason) {
  const fs::path dir = PydicomFiles();
  if (dir.empty() || !HavePydicom()) GTEST_SKIP() << "python3-pydicom files or pydicom missing";
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".dcm") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  TempDir refs;
  std::string command =
      "/usr/bin/python3 " +
      ShellQuote((SourceDir() / "codecs/dicom/tests/pydicom_reference.py").string()) + " " +
      ShellQuote(refs.path().string());
  for (const fs::path& f : files) command += " " + ShellQuote(f.string());
  ASSERT_EQ(RunCommand(command + " 2>/dev/null"), 0);
  int compared = 0, refused = 0, disagreed = 0;
  for (const fs::path& f : files) {
    const std::string name = f.filename().string();
    auto l = Load(ReadFileBytes(f));
    const bool loaded = !l->outcome.aborting && !l->bitmap.IsEmpty();
    const Refusal* refusal = nullptr;
    for (const Refusal& r : kRefused)
      if (name == r.file) refusal = &r;
    if (!loaded) {
      ++refused;
      ASSERT_TRUE(refusal) << name << " refused: " << l->outcome.reason.Text();
      EXPECT_EQ(l->outcome.code(), refusal->code) << name << ": " << l->outcome.reason.Text();
      continue;
    }
    EXPECT_FALSE(refusal) << name << " loads now: take it off the list";
    Image8 want;
    ASSERT_TRUE(ReadPnm(refs / (name + ".pnm"), want)) << name << ": pydicom has no pixels";
    const Image8 got = Ours(l->bitmap);
    const char* why = nullptr;
    for (const Disagreement& d : kDisagree)
      if (name == d.file) why = d.why;
    // Colour conversions and lossy decoders round differently by a little.
    const char* ts = reinterpret_cast<const char*>(l->params.DicomTags.Find(2, 0x10)->Value.data());
    const bool lossy = std::string(ts).rfind("1.2.840.10008.1.2.4.5", 0) == 0;
    const int tolerance = lossy ? 4 : got.channels == 3 ? 2 : 1;
    const int diff = MaxDiff(got, want);
    if (why) {
      ++disagreed;
      EXPECT_GT(diff, tolerance) << name << " agrees now: take it off the list (" << why << ")";
    } else {
      ++compared;
      EXPECT_LE(diff, tolerance) << name;
    }
  }
  std::printf("pydicom files: %d compared, %d refused, %d listed disagreements\n", compared,
              refused, disagreed);
  EXPECT_GE(compared, 25);
}

// Converts src with a peer's command line ("tool options"), into out; false when the tool
// does not take it.
bool Convert(const std::string& command, const fs::path& src, const fs::path& out) {
  fs::remove(out);
  return RunCommand(command + " " + ShellQuote(src.string()) + " " + ShellQuote(out.string()) +
                    " >/dev/null 2>&1") == 0 &&
         fs::exists(out);
}

TEST(DicomPeers, DcmtkAndGdcmConversionsGiveTheNativePixels) {
  const fs::path dir = PydicomFiles();
  if (dir.empty() || !HaveProgram("dcmconv") || !HaveProgram("dcmcjpeg")) GTEST_SKIP();
  const bool gdcm = HaveProgram("gdcmconv");
  TempDir tmp;
  // Lossless: the native original's pixels exactly.
  std::vector<std::string> exact = {"dcmconv +ti", "dcmconv +tb", "dcmconv +te -e",
                                    "dcmconv +td", "dcmcrle",     "dcmcjpeg +e1"};
  for (int sv = 1; sv <= 7; ++sv) exact.push_back("dcmcjpeg +el +sv " + std::to_string(sv));
  if (gdcm) exact.insert(exact.end(), {"gdcmconv --rle", "gdcmconv --jpeg", "gdcmconv --j2k"});
  int conversions = 0;
  // 16-bit signed MR, 16-bit CT, 8-bit colour (odd size), 16-bit CT of a big-endian source.
  for (const char* name :
       {"MR_small.dcm", "CT_small.dcm", "SC_rgb_small_odd.dcm", "liver_expb_1frame.dcm"}) {
    const fs::path src = dir / name;
    if (!fs::exists(src)) continue;
    const fs::path native = tmp / "native.dcm";
    ASSERT_TRUE(Convert("dcmconv +te", src, native)) << name;
    auto n = Load(ReadFileBytes(native));
    ASSERT_FALSE(n->outcome.aborting) << name << ": " << n->outcome.reason.Text();
    const Image8 want = Ours(n->bitmap);
    const Bytes wantBits = Pixels(native);
    for (const std::string& c : exact) {
      const fs::path out = tmp / "conv.dcm";
      if (!Convert(c, native, out)) continue;
      ++conversions;
      EXPECT_EQ(Pixels(out), wantBits) << name << ": " << c;
    }
    // A point transform drops low bits: the pixels of dcmdjpeg's decode of the same file.
    for (const char* c : {"dcmcjpeg +el +sv 1 +pt 2", "dcmcjpeg +el +sv 6 +pt 3"}) {
      const fs::path out = tmp / "pt.dcm", back = tmp / "back.dcm";
      if (!Convert(c, native, out) || !Convert("dcmdjpeg", out, back)) continue;
      ++conversions;
      EXPECT_EQ(Pixels(out), Pixels(back)) << name << ": " << c;
    }
    // Baseline JPEG: within the JPEG error of the original (8-bit images only).
    const fs::path eb = tmp / "eb.dcm";
    if (Convert("dcmcjpeg +eb", native, eb)) {
      ++conversions;
      auto j = Load(ReadFileBytes(eb));
      ASSERT_FALSE(j->outcome.aborting) << name << ": " << j->outcome.reason.Text();
      EXPECT_LE(MaxDiff(Ours(j->bitmap), want), 24) << name << ": dcmcjpeg +eb";
    }
  }
  std::printf("dcmtk and GDCM conversions compared: %d\n", conversions);
  EXPECT_GE(conversions, 40);
}

// The elements of groups 0002, 0008, 0010 and 0028 as "gggg,eeee VR length" lines, from
// dcmdump (with their nesting depth) and from the reader's tag list. In implicit data sets
// the dictionary's "US or SS" is either: both are written "US|SS".
struct Element {
  std::string text;
  int depth = 0;
};

std::string ElementText(const std::string& tag, std::string vr, const std::string& length,
                        bool implicit) {
  if (implicit && (vr == "US" || vr == "SS" || vr == "xs")) vr = "US|SS";
  return tag + " " + vr + " " + length;
}

std::vector<Element> DumpedElements(const fs::path& file, bool implicit) {
  std::string out;
  RunCommand("dcmdump -q " + ShellQuote(file.string()) + " 2>/dev/null", &out);
  std::vector<Element> elements;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    const size_t open = line.find('(');
    if (open == std::string::npos || line.find_first_not_of(' ') != open || line.size() < open + 15)
      continue;
    const std::string group = line.substr(open + 1, 4), element = line.substr(open + 6, 4);
    if (group != "0002" && group != "0008" && group != "0010" && group != "0028") continue;
    const size_t hash = line.rfind('#');
    if (hash == std::string::npos) continue;
    std::string length = line.substr(hash + 1, line.find(',', hash) - hash - 1);
    length.erase(0, length.find_first_not_of(' '));
    if (length == "u/l") length = "0";
    elements.push_back(
        {ElementText(group + "," + element, line.substr(open + 12, 2), length, implicit),
         int(open / 2)});
  }
  return elements;
}

std::vector<std::string> OurElements(const TLxDICOMTags& tags, bool implicit) {
  std::vector<std::string> lines;
  for (int i = 0; i < tags.Count(); ++i) {
    const TLxDICOMTag& t = tags[i];
    if (t.Group != 2 && t.Group != 8 && t.Group != 0x10 && t.Group != 0x28) continue;
    char tag[16];
    std::snprintf(tag, sizeof tag, "%04x,%04x", t.Group, t.Element);
    lines.push_back(ElementText(tag, t.VR, std::to_string(t.Length), implicit));
  }
  return lines;
}

TEST(DicomPeers, DcmdumpListsTheSameElements) {
  const fs::path dir = PydicomFiles();
  if (dir.empty() || !HaveProgram("dcmdump")) GTEST_SKIP();
  int files = 0;
  for (const char* name :
       {"CT_small.dcm", "MR_small.dcm", "MR_small_implicit.dcm", "MR_small_bigendian.dcm",
        "ExplVR_BigEnd.dcm", "image_dfl.dcm", "SC_rgb_rle.dcm", "JPEG2000.dcm", "rtplan.dcm",
        "liver_1frame.dcm", "SC_rgb_jpeg_gdcm.dcm", "MR_small_jp2klossless.dcm"}) {
    const fs::path f = dir / name;
    if (!fs::exists(f)) continue;
    auto l = Load(ReadFileBytes(f), true);
    ASSERT_FALSE(l->outcome.aborting) << name << ": " << l->outcome.reason.Text();
    const TLxDICOMTag* ts = l->params.DicomTags.Find(2, 0x10);
    const bool implicit =
        !ts || std::string(reinterpret_cast<const char*>(ts->Value.data())) == "1.2.840.10008.1.2";
    // The reader lists the contents of sequences of undefined length only (others are one
    // value): dcmdump's top level must be in our list in order, and nothing of ours may be
    // missing from dcmdump at any level.
    const std::vector<std::string> ours = OurElements(l->params.DicomTags, implicit);
    const std::vector<Element> dumped = DumpedElements(f, implicit);
    ASSERT_FALSE(dumped.empty()) << name;
    size_t at = 0;
    for (const Element& e : dumped) {
      if (e.depth > 0) continue;
      while (at < ours.size() && ours[at] != e.text) ++at;
      EXPECT_LT(at, ours.size()) << name << ": " << e.text << " missing or out of order";
      if (at < ours.size()) ++at;
    }
    std::multiset<std::string> all;
    for (const Element& e : dumped) all.insert(e.text);
    for (const std::string& o : ours) {
      auto it = all.find(o);
      EXPECT_TRUE(it != all.end()) << name << ": " << o << " not in dcmdump's list";
      if (it != all.end()) all.erase(it);
    }
    ++files;
  }
  EXPECT_GE(files, 10);
}

}  // namespace
}  // namespace lumenax
