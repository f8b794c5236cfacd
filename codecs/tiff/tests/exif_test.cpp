// The EXIF decoder on blocks built tag by tag: every kind of value in both byte orders, the
// maker-note copy, hostile pointers and counts, and what the JPEG reader does with the block
// (resolution, orientation, thumbnail, XMP ahead of EXIF, broken thumbnails).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "bitmap/conversion.h"
#include "codecs/common/ifd.h"
#include "codecs/jpeg/tests/jpeg_test_util.h"
#include "codecs/tiff/exif.h"
#include "codecs/tiff/tests/tiff_test_util.h"
#include "io/param_fields.h"
#include "tests/support/test_support.h"

namespace lumenax::test {
namespace {

// A 16 x 8 JPEG (a thumbnail) with a left half darker than the right.
Bytes ThumbnailJpeg(int w = 16, int h = 8) {
  TLxBitmap b(w, h, lx24RGB);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) b.SetPixelsRGB24(x, y, CreateRGB(x < w / 2 ? 20 : 230, 90, 90));
  TIOParamsVals p;
  return Encode(b, p);
}

void SRational(TiffBuilder& t, uint16_t tag, int32_t num, int32_t den) {
  Bytes b(8);
  t.Put32(&b[0], uint32_t(num));
  t.Put32(&b[4], uint32_t(den));
  t.Raw(tag, ttSRational, 1, b);
}

void Rationals(TiffBuilder& t, uint16_t tag, std::vector<std::pair<uint32_t, uint32_t>> v) {
  Bytes b(8 * v.size());
  for (size_t i = 0; i < v.size(); ++i) {
    t.Put32(&b[8 * i], v[i].first);
    t.Put32(&b[8 * i + 4], v[i].second);
  }
  t.Raw(tag, ttRational, uint32_t(v.size()), b);
}

struct BlockOptions {
  bool bigEndian = false;
  uint32_t orientation = 1;
  Bytes thumbnail = ThumbnailJpeg();
  uint32_t xResolution = 72;
};

// "Exif", 0, 0 and a TIFF structure with a main directory, an EXIF directory with a maker
// note, a GPS directory and a JPEG thumbnail.
Bytes ExifBlock(const BlockOptions& o = {}) {
  TiffBuilder t(o.bigEndian);
  // The maker note: two entries, a SHORT inside the entry and three SHORTs out of line
  // (offsets count from the TIFF header, as cameras write them).
  Bytes note(2 + 2 * 12 + 4 + 6, 0);
  const uint32_t noteAt = uint32_t(t.File().size());
  t.Put16(&note[0], 2);
  t.Put16(&note[2], 1), t.Put16(&note[4], ttShort), t.Put32(&note[6], 1), t.Put16(&note[10], 7);
  t.Put16(&note[14], 2), t.Put16(&note[16], ttShort), t.Put32(&note[18], 3);
  t.Put32(&note[22], noteAt + 30);
  t.Put16(&note[30], 0x0102), t.Put16(&note[32], 0x0304), t.Put16(&note[34], 0x0506);
  t.Append(note);

  SRational(t, 37380, -2, 1);  // exposure bias
  SRational(t, 37379, -7, 2);  // brightness
  Rationals(t, 33434, {{1, 250}});
  Rationals(t, 33437, {{28, 10}});
  Rationals(t, 41988, {{3, 0}});  // a zero denominator counts as 1
  t.Short(34855, {100, 200});
  t.Short(41986, {1});
  t.Raw(41728, ttUndefined, 1, {3});
  t.Raw(36864, ttUndefined, 4, {'0', '2', '3', '0'});
  t.Ascii(36867, "2020:01:02 03:04:05");
  Bytes comment = {'A', 'S', 'C', 'I', 'I', 0, 0, 0, 'h', 'e', 'l', 'l', 'o', 0};
  t.Raw(37510, ttUndefined, uint32_t(comment.size()), comment);
  t.AtOffset(37500, ttUndefined, uint32_t(note.size()), noteAt);
  const uint32_t exifAt = t.EndDirectory(false);

  t.Raw(0, ttByte, 4, {2, 3, 0, 0});
  t.Ascii(1, "N");
  Rationals(t, 2, {{48, 1}, {51, 1}, {2950, 100}});
  t.Ascii(3, "E");
  Rationals(t, 4, {{2, 1}, {17, 1}, {40, 1}});
  t.Raw(5, ttByte, 1, {1});
  Rationals(t, 6, {{355, 10}});
  t.Ascii(19, "S");
  t.Ascii(21, "W");
  t.Ascii(29, "2020:01:02");
  const uint32_t gpsAt = t.EndDirectory(false);

  t.Ascii(270, "a description");
  t.Ascii(271, "Maker");
  t.Ascii(272, "Model 9");
  t.Short(274, {o.orientation});
  Rationals(t, 282, {{o.xResolution, 1}});
  Rationals(t, 283, {{o.xResolution, 1}});
  t.Short(296, {2});
  Rationals(t, 318, {{3127, 10000}, {329, 1000}});
  const std::u16string title = u"T\u00e9st \u20ac";
  Bytes wide;
  for (char16_t c : title) wide.push_back(uint8_t(c)), wide.push_back(uint8_t(c >> 8));
  wide.push_back(0), wide.push_back(0);
  t.Raw(40091, ttByte, uint32_t(wide.size()), wide);
  t.Long(34665, {exifAt});
  t.Long(34853, {gpsAt});
  t.EndDirectory();

  if (!o.thumbnail.empty()) {
    const uint32_t at = t.Append(o.thumbnail);
    t.Short(259, {6});
    t.Long(513, {at});
    t.Long(514, {uint32_t(o.thumbnail.size())});
    t.EndDirectory();
  }
  Bytes block = {'E', 'x', 'i', 'f', 0, 0};
  block.insert(block.end(), t.File().begin(), t.File().end());
  return block;
}

std::string Field(const TIOParamsVals& p, const char* name) {
  const ParamField* f = FindParamField(name);
  return f ? f->Get(p) : "<no field " + std::string(name) + ">";
}

class ExifByteOrder : public ::testing::TestWithParam<bool> {};

TEST_P(ExifByteOrder, EveryKindOfValue) {
  BlockOptions o;
  o.bigEndian = GetParam();
  const Bytes block = ExifBlock(o);
  TIOParamsVals p;
  ASSERT_TRUE(DecodeExifBlock(block.data(), block.size(), p));
  EXPECT_TRUE(p.ExifPresent);
  EXPECT_EQ(p.ExifImageDescription, "a description");
  EXPECT_EQ(p.ExifMake, "Maker");
  EXPECT_EQ(p.ExifModel, "Model 9");
  EXPECT_EQ(p.ExifXResolution, 72);
  EXPECT_EQ(Field(p, "ExifWhitePoint"), "0.3127,0.329");
  EXPECT_EQ(Field(p, "ExifXPTitle"), "T\xC3\xA9st \xE2\x82\xAC");
  // Signed rationals stay signed.
  EXPECT_EQ(p.ExifExposureBiasValue, -2);
  EXPECT_EQ(p.ExifBrightnessValue, -3.5);
  EXPECT_DOUBLE_EQ(p.ExifExposureTime, 0.004);
  EXPECT_DOUBLE_EQ(p.ExifFNumber, 2.8);
  EXPECT_EQ(p.ExifDigitalZoomRatio, 3);
  EXPECT_EQ(Field(p, "ExifISOSpeedRatings"), "100,200");
  EXPECT_EQ(p.ExifExposureMode, 1);
  EXPECT_EQ(p.ExifWhiteBalance, -1) << "absent tags keep their defaults";
  EXPECT_EQ(p.ExifFileSource, 3);
  EXPECT_EQ(p.ExifVersion, "0230");
  EXPECT_EQ(p.ExifDateTimeOriginal, "2020:01:02 03:04:05");
  EXPECT_EQ(p.ExifUserCommentCode, std::string("ASCII\0\0\0", 8));
  EXPECT_EQ(p.ExifUserComment, "hello");
  EXPECT_EQ(p.ExifGpsVersionID, "2.3.0.0");
  EXPECT_EQ(p.ExifGpsLatitudeRef, "N");
  EXPECT_EQ(Field(p, "ExifGpsLatitude"), "48,51,29.5");
  EXPECT_EQ(Field(p, "ExifGpsLongitude"), "2,17,40");
  EXPECT_EQ(p.ExifGpsAltitudeRef, "1");
  EXPECT_EQ(p.ExifGpsAltitude, 35.5);
  EXPECT_EQ(p.ExifGpsDestLatitudeRef, "S");
  EXPECT_EQ(p.ExifGpsDestLongitudeRef, "W");
  EXPECT_EQ(p.ExifGpsDateStamp, "2020:01:02");
  ASSERT_TRUE(p.ExifThumbnail);
  EXPECT_EQ(Field(p, "ExifThumbnail"), "16x8");

  // The maker note comes out little-endian whatever the source, offsets relative to it.
  const Bytes expected = {2, 0,                                 // entries
                          1, 0, 3, 0, 1, 0, 0, 0, 7,  0, 0, 0,  // inline SHORT
                          2, 0, 3, 0, 3, 0, 0, 0, 26, 0, 0, 0,  // at 26
                          2, 1, 4, 3, 6, 5};                    // the values
  EXPECT_EQ(p.ExifMakerNote, expected);
  EXPECT_EQ(Field(p, "ExifMakerNote"), "32");
}

INSTANTIATE_TEST_SUITE_P(Exif, ExifByteOrder, ::testing::Values(false, true));

TEST(Exif, HostilePointersAndCountsCostOnlyTheirFields) {
  TiffBuilder t;
  // A maker note whose entries claim 2^32 - 1 doubles and an offset near the end.
  Bytes note(2 + 12, 0);
  t.Put16(&note[0], 1);
  t.Put16(&note[2], 9), t.Put16(&note[4], ttDouble), t.Put32(&note[6], 0xFFFFFFFFu);
  t.Put32(&note[10], 0xFFFFFFF0u);
  const uint32_t noteAt = t.Append(note);
  t.AtOffset(37500, ttUndefined, uint32_t(note.size()), noteAt);
  t.Short(41986, {2});
  const uint32_t exifAt = t.EndDirectory(false);
  t.Ascii(271, "Maker");
  t.Long(34665, {exifAt});
  t.Long(34853, {0xFFFFFF00u});  // GPS far outside the block
  t.Long(513, {0x7FFFFFFFu});
  t.EndDirectory();
  // A second directory whose thumbnail lies outside the block.
  t.Short(259, {6});
  t.Long(513, {0x7FFFFFF0u});
  t.Long(514, {4000});
  t.EndDirectory();
  Bytes block = {'E', 'x', 'i', 'f', 0, 0};
  block.insert(block.end(), t.File().begin(), t.File().end());
  TIOParamsVals p;
  ASSERT_TRUE(DecodeExifBlock(block.data(), block.size(), p));
  EXPECT_EQ(p.ExifMake, "Maker");
  EXPECT_EQ(p.ExifExposureMode, 2);
  EXPECT_TRUE(p.ExifMakerNote.empty());
  EXPECT_EQ(p.ExifGpsVersionID, "");
  EXPECT_FALSE(p.ExifThumbnail && !p.ExifThumbnail->IsEmpty());

  // An EXIF pointer back to the main directory reads nothing twice and ends.
  TiffBuilder loop;
  loop.Long(34665, {8});
  loop.Ascii(271, "Loop");
  loop.EndDirectory();
  Bytes b2 = {'E', 'x', 'i', 'f', 0, 0};
  b2.insert(b2.end(), loop.File().begin(), loop.File().end());
  TIOParamsVals q;
  EXPECT_TRUE(DecodeExifBlock(b2.data(), b2.size(), q));
  EXPECT_EQ(q.ExifMake, "Loop");

  // Not EXIF at all, or a bad TIFF header: false and nothing changed.
  TIOParamsVals r;
  const Bytes notExif = {'E', 'x', 'i', 'f', 'X', 0, 'I', 'I', 42, 0, 8, 0, 0, 0};
  EXPECT_FALSE(DecodeExifBlock(notExif.data(), notExif.size(), r));
  const Bytes badHeader = {'E', 'x', 'i', 'f', 0, 0, 'X', 'X', 42, 0, 8, 0, 0, 0};
  EXPECT_FALSE(DecodeExifBlock(badHeader.data(), badHeader.size(), r));
  EXPECT_FALSE(r.ExifPresent);
}

// A 32 x 16 JPEG written at the given resolution, with the segments inserted after SOI in
// the order given.
Bytes PhotoWith(int dpi, const std::vector<std::pair<uint8_t, Bytes>>& segments) {
  TLxBitmap b(32, 16, lx24RGB);
  FillPattern(b);
  TIOParamsVals p;
  p.SetDpiX(dpi);
  p.SetDpiY(dpi);
  Bytes jpeg = Encode(b, p);
  size_t at = 2;
  // After the JFIF header.
  if (jpeg[2] == 0xFF && jpeg[3] == 0xE0) at = 4 + (size_t(jpeg[4]) << 8 | jpeg[5]);
  for (auto it = segments.rbegin(); it != segments.rend(); ++it)
    jpeg = InsertSegment(jpeg, it->first, it->second, at);
  return jpeg;
}

TEST(ExifInJpeg, ResolutionRule) {
  // The JFIF header's 300 stays; ExifXResolution keeps the EXIF value.
  auto d = Decode(PhotoWith(300, {{0xE1, ExifBlock()}}));
  ASSERT_FALSE(d->aborting);
  EXPECT_EQ(d->params.DpiX, 300);
  EXPECT_EQ(d->params.ExifXResolution, 72);
  // A header of 1 x 1 (an aspect ratio) takes the EXIF resolution.
  d = Decode(PhotoWith(1, {{0xE1, ExifBlock()}}));
  EXPECT_EQ(d->params.DpiX, 72);
  EXPECT_EQ(d->params.DpiY, 72);
}

TEST(ExifInJpeg, XmpAheadOfExifStillGivesTheExifBlock) {
  std::string xmp = "http://ns.adobe.com/xap/1.0/";
  Bytes xmpBlock(xmp.begin(), xmp.end());
  xmpBlock.push_back(0);
  const std::string packet = "<x:xmpmeta xmlns:x='adobe:ns:meta/'></x:xmpmeta>";
  xmpBlock.insert(xmpBlock.end(), packet.begin(), packet.end());
  auto d = Decode(PhotoWith(300, {{0xE1, xmpBlock}, {0xE1, ExifBlock()}}));
  ASSERT_FALSE(d->aborting);
  EXPECT_TRUE(d->params.ExifPresent);
  EXPECT_EQ(d->params.ExifMake, "Maker");
  EXPECT_EQ(d->params.XMP_Info, packet);
}

TEST(ExifInJpeg, AutoOrientTurnsImageAndThumbnailAndResetsOrientation) {
  BlockOptions o;
  o.orientation = 6;
  const Bytes jpeg = PhotoWith(300, {{0xE1, ExifBlock(o)}});
  auto plain = Decode(jpeg);
  EXPECT_EQ(plain->bitmap.Width(), 32);
  EXPECT_EQ(plain->params.TiffOrientation, 6);
  EXPECT_EQ(plain->params.ExifOrientation, 6);
  // The thumbnail is upright either way: 16 x 8 turned a quarter.
  ASSERT_TRUE(plain->params.ExifThumbnail);
  EXPECT_EQ(plain->params.ExifThumbnail->Width(), 8);
  EXPECT_EQ(plain->params.ExifThumbnail->Height(), 16);
  // Orientation 6: the stored left half (dark) ends up on top.
  EXPECT_LT(plain->params.ExifThumbnail->PixelAsRGB(4, 1).r, 100);
  EXPECT_GT(plain->params.ExifThumbnail->PixelAsRGB(4, 14).r, 150);

  auto turned = Decode(jpeg, {}, [](TIOParamsVals& p) { p.JpegAutoOrient = true; });
  ASSERT_FALSE(turned->aborting);
  EXPECT_EQ(turned->bitmap.Width(), 16);
  EXPECT_EQ(turned->bitmap.Height(), 32);
  TLxBitmap expected;
  expected.Assign(plain->bitmap);
  AutoOrient(expected, 6);
  EXPECT_EQ(CountDifferentPixels(BitmapToRgba(expected), BitmapToRgba(turned->bitmap)), 0u);
  // Upright now: a re-save must not make viewers turn it again.
  EXPECT_EQ(turned->params.TiffOrientation, 1);
  EXPECT_EQ(turned->params.ExifOrientation, 1);
}

TEST(ExifInJpeg, LoadExifThumbnailDeliversTheThumbnail) {
  const Bytes jpeg = PhotoWith(300, {{0xE1, ExifBlock()}});
  auto d = Decode(jpeg, {}, [](TIOParamsVals& p) { p.SetLoadExifThumbnail(true); });
  ASSERT_FALSE(d->aborting);
  EXPECT_EQ(d->bitmap.Width(), 16);
  EXPECT_EQ(d->bitmap.Height(), 8);
  // Without a thumbnail the image itself is read.
  BlockOptions o;
  o.thumbnail.clear();
  d = Decode(PhotoWith(300, {{0xE1, ExifBlock(o)}}), {},
             [](TIOParamsVals& p) { p.SetLoadExifThumbnail(true); });
  EXPECT_EQ(d->bitmap.Width(), 32);
}

TEST(ExifInJpeg, BrokenOrOversizedThumbnailNeverFailsTheImage) {
  BlockOptions large;
  large.thumbnail = ThumbnailJpeg(480, 8);
  BlockOptions cut;
  cut.thumbnail = ThumbnailJpeg();
  cut.thumbnail.resize(cut.thumbnail.size() / 2);
  BlockOptions garbage;
  garbage.thumbnail = Bytes(300, 0x5A);
  for (const BlockOptions* o : {&large, &cut, &garbage}) {
    auto d = Decode(PhotoWith(300, {{0xE1, ExifBlock(*o)}}));
    EXPECT_FALSE(d->aborting) << FailureText(d->reason.Code);
    EXPECT_EQ(d->bitmap.Width(), 32);
    EXPECT_TRUE(d->params.ExifPresent);
    EXPECT_EQ(d->params.ExifMake, "Maker");
    if (o != &cut) {
      EXPECT_EQ(Field(d->params, "ExifThumbnail"), "0x0");
    }
  }
}

TEST(ExifParamsGroup, ResetDefaultsCopyAndTextForms) {
  auto d = Decode(PhotoWith(300, {{0xE1, ExifBlock()}}));
  TIOParamsVals copy;
  copy.Assign(d->params);
  EXPECT_EQ(copy.ExifMake, "Maker");
  ASSERT_TRUE(copy.ExifThumbnail);
  EXPECT_NE(copy.ExifThumbnail.get(), d->params.ExifThumbnail.get()) << "a copy of its own";
  EXPECT_EQ(copy.ExifThumbnail->Width(), 16);

  ASSERT_EQ(d->params.JpegMarkers.Count(), 1);
  d->params.ResetInfo();
  EXPECT_EQ(d->params.JpegMarkers.Count(), 0) << "the EXIF APP1 goes with the group";
  EXPECT_FALSE(d->params.ExifPresent);
  EXPECT_FALSE(d->params.ExifThumbnail);
  EXPECT_EQ(d->params.ExifMake, "");
  EXPECT_EQ(d->params.ExifDigitalZoomRatio, -1);
  EXPECT_EQ(d->params.ExifSharpness, -1);
  EXPECT_EQ(d->params.ExifFlash, 0);

  // Arrays as comma-separated numbers, exactly as many as the field holds; wide strings
  // as UTF-8; the thumbnail and maker note are only shown.
  TIOParamsVals p;
  auto set = [&p](const char* name, const char* value) {
    return FindParamField(name)->Set(p, value);
  };
  EXPECT_TRUE(set("ExifGpsLatitude", "1, 2,3.25"));
  EXPECT_EQ(p.ExifGpsLatitude[2], 3.25);
  EXPECT_FALSE(set("ExifGpsLatitude", "1,2"));
  EXPECT_FALSE(set("ExifGpsLatitude", "1,2,3,4"));
  EXPECT_FALSE(set("ExifISOSpeedRatings", "100,x"));
  EXPECT_EQ(p.ExifGpsLatitude[0], 1) << "a refused value changes nothing";
  EXPECT_TRUE(set("ExifXPAuthor", "\xF0\x9F\x98\x80 \xC3\xA5"));
  EXPECT_EQ(p.ExifXPAuthor, u"\U0001F600 \u00e5");
  EXPECT_EQ(Field(p, "ExifXPAuthor"), "\xF0\x9F\x98\x80 \xC3\xA5");
  EXPECT_FALSE(set("ExifThumbnail", "1x1"));
  EXPECT_FALSE(set("ExifMakerNote", "3"));
}

// ---------------------------------------------------------------- writing

// The directories of a built block, for looking at tags and their types.
struct Parsed {
  Bytes tiff;
  std::unique_ptr<TLxMemStream> stream;
  std::unique_ptr<TLxTiffStructure> s;
  TLxIfd main, exif, gps;
  explicit Parsed(const Bytes& block) : tiff(block.begin() + 6, block.end()) {
    stream = std::make_unique<TLxMemStream>(tiff.data(), int64_t(tiff.size()));
    s = std::make_unique<TLxTiffStructure>(*stream, 0);
    if (!s->ReadHeader() || !s->ReadIfd(s->FirstIfd(), main)) return;
    if (const TLxIfdEntry* e = main.Find(34665)) s->ReadIfd(*s->Uint(*e), exif);
    if (const TLxIfdEntry* e = main.Find(34853)) s->ReadIfd(*s->Uint(*e), gps);
  }
};

TEST(ExifWriting, TypesAndWhatIsLeftOut) {
  TIOParamsVals p;
  p.ExifPresent = true;
  p.ExifExposureBiasValue = -2;
  p.ExifShutterSpeedValue = -1.5;
  p.ExifBrightnessValue = -0.25;
  p.ExifPixelXDimension = 70000;  // too large for a SHORT
  p.ExifPixelYDimension = 300;
  p.ExifGpsLatitudeRef = "N";  // GPS data without a version
  p.ExifGpsLatitude = {10, 20, 30.5};
  p.SetDpiX(200);
  p.SetDpiY(100);
  p.ExifXResolution = p.ExifYResolution = 0;  // no EXIF resolution: DpiX and DpiY stand in
  const Bytes block = BuildExifBlock(p);
  ASSERT_GT(block.size(), 6u);
  ASSERT_EQ(std::memcmp(block.data(), "Exif\0\0II", 8), 0);
  Parsed t(block);
  ASSERT_FALSE(t.exif.Entries.empty());
  EXPECT_EQ(t.exif.Find(37380)->Type, ttSRational);
  EXPECT_EQ(t.exif.Find(37377)->Type, ttSRational);
  EXPECT_EQ(t.exif.Find(37379)->Type, ttSRational);
  EXPECT_EQ(*t.s->Real(*t.exif.Find(37380)), -2);
  EXPECT_DOUBLE_EQ(*t.s->Real(*t.exif.Find(37377)), -1.5);
  EXPECT_EQ(t.exif.Find(40962)->Type, ttLong);
  EXPECT_EQ(*t.s->Uint(*t.exif.Find(40962)), 70000u);
  EXPECT_EQ(t.exif.Find(40963)->Type, ttShort);
  EXPECT_EQ(t.exif.Find(41988), nullptr) << "a zoom ratio of -1 is absent";
  EXPECT_EQ(t.exif.Find(41986), nullptr) << "an exposure mode of -1 is absent";
  EXPECT_EQ(t.s->Ascii(*t.exif.Find(36864)), "0230") << "an empty version is written as 0230";
  EXPECT_EQ(*t.s->Real(*t.main.Find(282)), 200);
  EXPECT_EQ(*t.s->Real(*t.main.Find(283)), 100);
  ASSERT_FALSE(t.gps.Entries.empty()) << "GPS data without a version are kept";
  EXPECT_EQ(t.s->UintArray(*t.gps.Find(0), 4), (std::vector<uint32_t>{2, 2, 0, 0}));
  EXPECT_DOUBLE_EQ(*t.s->Real(*t.gps.Find(2), 2), 30.5);
  EXPECT_EQ(t.gps.Find(6), nullptr) << "no altitude, no altitude tag";

  // Without GPS fields there is no GPS directory.
  TIOParamsVals q;
  q.ExifPresent = true;
  q.ExifMake = "M";
  EXPECT_EQ(Parsed(BuildExifBlock(q)).main.Find(34853), nullptr);
}

TEST(ExifWriting, ReadBackKeepsTheGroupAndTurnsTheThumbnailBack) {
  for (bool big : {false, true}) {
    BlockOptions o;
    o.bigEndian = big;
    o.orientation = 6;
    const Bytes source = ExifBlock(o);
    TIOParamsVals p;
    ASSERT_TRUE(DecodeExifBlock(source.data(), source.size(), p));
    const Bytes block = BuildExifBlock(p);
    TIOParamsVals q;
    ASSERT_TRUE(DecodeExifBlock(block.data(), block.size(), q));
    for (const ParamField& f : ParamFieldTable()) {
      if (std::string(f.Name).starts_with("Exif")) {
        EXPECT_EQ(f.Get(q), f.Get(p)) << f.Name;
      }
    }
    // The thumbnail was stored turned back (16 x 8 as the camera wrote it) and reads upright.
    EXPECT_EQ(Field(q, "ExifThumbnail"), "8x16");
    EXPECT_LT(q.ExifThumbnail->PixelAsRGB(4, 1).r, 100);
    EXPECT_GT(q.ExifThumbnail->PixelAsRGB(4, 14).r, 150);
    // The maker note's out-of-line value still reads 0x0102, 0x0304, 0x0506.
    ASSERT_EQ(q.ExifMakerNote.size(), 32u);
    EXPECT_EQ(Bytes(q.ExifMakerNote.end() - 6, q.ExifMakerNote.end()), (Bytes{2, 1, 4, 3, 6, 5}));
  }
}

TEST(ExifWriting, BlockTooLargeForApp1DropsThumbnailThenMakerNote) {
  TIOParamsVals p;
  p.ExifPresent = true;
  p.ExifMake = "M";
  // A maker note of 60 entries of 1,000 bytes each.
  Bytes note(2 + 60 * 12, 0);
  note[0] = 60;
  for (int i = 0; i < 60; ++i) {
    uint8_t* e = &note[2 + 12 * i];
    e[0] = uint8_t(i + 1), e[2] = ttUndefined, e[4] = 0xE8, e[5] = 0x03;  // 1,000 bytes
    const uint32_t at = uint32_t(note.size());
    e[8] = uint8_t(at), e[9] = uint8_t(at >> 8), e[10] = uint8_t(at >> 16);
    note.resize(note.size() + 1000, uint8_t(i));
  }
  p.ExifMakerNote = note;
  // A noisy thumbnail that does not compress well.
  TLxBitmap& thumb = p.ExifThumbnail.Create();
  thumb.Allocate(160, 120, lx24RGB);
  uint32_t r = 1;
  for (int y = 0; y < 120; ++y)
    for (int x = 0; x < 480; ++x)
      thumb.ScanLine(y)[x] = uint8_t((r = r * 1103515245 + 12345) >> 24);
  Bytes block = BuildExifBlock(p);
  ASSERT_FALSE(block.empty());
  EXPECT_LE(block.size(), 65533u);
  TIOParamsVals q;
  ASSERT_TRUE(DecodeExifBlock(block.data(), block.size(), q));
  EXPECT_EQ(q.ExifMake, "M");
  EXPECT_FALSE(q.ExifThumbnail && !q.ExifThumbnail->IsEmpty()) << "the thumbnail went first";
  EXPECT_FALSE(q.ExifMakerNote.empty()) << "the maker note still fits";
  // A maker note that does not fit on its own goes too.
  std::vector<uint8_t> big(2 + 12 * 66);
  big[0] = 66;
  for (int i = 0; i < 66; ++i) {
    uint8_t* e = &big[2 + 12 * i];
    e[0] = uint8_t(i + 1), e[2] = ttUndefined, e[4] = 0xFF, e[5] = 0x03;  // 1,023 bytes
    const uint32_t at = uint32_t(big.size());
    e[8] = uint8_t(at), e[9] = uint8_t(at >> 8), e[10] = uint8_t(at >> 16);
    big.resize(big.size() + 1023, 1);
  }
  p.ExifMakerNote = big;
  block = BuildExifBlock(p);
  ASSERT_FALSE(block.empty());
  EXPECT_LE(block.size(), 65533u);
  TIOParamsVals s;
  ASSERT_TRUE(DecodeExifBlock(block.data(), block.size(), s));
  EXPECT_TRUE(s.ExifMakerNote.empty());
  EXPECT_EQ(s.ExifMake, "M");
}

}  // namespace
}  // namespace lumenax::test
