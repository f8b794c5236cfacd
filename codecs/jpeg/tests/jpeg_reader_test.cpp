// The reader on streams made here: options, layouts, metadata, and refusals of bad input.
#include <gtest/gtest.h>

#include <cstring>

#include "bitmap/stream.h"
#include "codecs/jpeg/jpeg_glue.h"
#include "codecs/jpeg/jpeg_internal.h"
#include "codecs/jpeg/tests/jpeg_test_util.h"

namespace lumenax::test {
namespace {

Bytes Pattern(int w, int h, int components, int seed = 0) {
  Bytes s(size_t(w) * h * components);
  for (size_t i = 0; i < s.size(); ++i) s[i] = uint8_t((i * 7 + i / 13 * 5 + seed) & 255);
  return s;
}

Bytes Ycc(int w, int h, bool progressive = false) {
  RawEncode how{.width = w, .height = h, .progressive = progressive};
  return EncodeSamples(how, Pattern(w, h, 3));
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes IccChunk(int seq, int count, const Bytes& data) {
  Bytes b(12);
  std::memcpy(b.data(), "ICC_PROFILE\0", 12);
  b.push_back(uint8_t(seq));
  b.push_back(uint8_t(count));
  return Cat(b, data);
}

TEST(JpegRead, LayoutsAndRecord) {
  // Gray: lx8g natively, else three equal bytes; SamplesPerPixel stays 1.
  Bytes gray = EncodeSamples({.width = 20,
                              .height = 10,
                              .components = 1,
                              .inSpace = JCS_GRAYSCALE,
                              .jpegSpace = JCS_GRAYSCALE},
                             Pattern(20, 10, 1));
  auto native = Decode(gray, {.NativeLayout = true});
  auto rgb = Decode(gray);
  ASSERT_FALSE(native->aborting) << native->reason.Text();
  ASSERT_FALSE(rgb->aborting);
  EXPECT_EQ(native->bitmap.PixelFormat(), lx8g);
  EXPECT_EQ(rgb->bitmap.PixelFormat(), lx24RGB);
  EXPECT_EQ(native->params.SamplesPerPixel, 1);
  EXPECT_EQ(rgb->params.SamplesPerPixel, 1);
  EXPECT_EQ(rgb->params.JpegColorSpace, jcGrayScale);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 20; ++x)
      for (int k = 0; k < 3; ++k)
        ASSERT_EQ(rgb->bitmap.ScanLine(y)[3 * x + k], native->bitmap.ScanLine(y)[x]);
  EXPECT_EQ(rgb->rows, 10);
  EXPECT_EQ(rgb->params.Width, 20);
  EXPECT_EQ(rgb->params.BitsPerSample, 8);
  EXPECT_EQ(rgb->params.JpegMarkers.Count(), 0) << "the JFIF APP0 is not kept";

  // An RGB-coded file gives the same blue-green-red rows as libjpeg's own RGB output.
  Bytes samples = Pattern(16, 8, 3);
  Bytes rgbFile =
      EncodeSamples({.width = 16, .height = 8, .jpegSpace = JCS_RGB, .quality = 100}, samples);
  auto r = Decode(rgbFile, {}, [](TIOParamsVals& p) { p.JpegDctMethod = 0; });
  ASSERT_FALSE(r->aborting);
  EXPECT_EQ(r->params.JpegColorSpace, jcRGB);
  EXPECT_LT(std::abs(int(r->bitmap.ScanLine(3)[2]) - samples[3 * 16 * 3]), 6) << "red of (0,3)";
  EXPECT_LT(std::abs(int(r->bitmap.ScanLine(3)[0]) - samples[3 * 16 * 3 + 2]), 6);
}

TEST(JpegRead, CmykNativeKeepsStoredBytesAndInvertsOnRequest) {
  Bytes samples = Pattern(8, 8, 4);
  Bytes cmyk = EncodeSamples({.width = 8,
                              .height = 8,
                              .components = 4,
                              .inSpace = JCS_CMYK,
                              .jpegSpace = JCS_CMYK,
                              .quality = 100},
                             samples);
  auto stored = Decode(cmyk, {.NativeLayout = true});
  ASSERT_FALSE(stored->aborting);
  EXPECT_EQ(stored->bitmap.PixelFormat(), lxCMYK);
  EXPECT_EQ(stored->params.JpegColorSpace, jcCMYK);
  EXPECT_EQ(stored->params.SamplesPerPixel, 4);
  auto inverted = Decode(cmyk, {.NativeLayout = true, .InvertCmyk = true});
  auto asRgb = Decode(cmyk, {.InvertCmyk = true});
  auto asRgbStored = Decode(cmyk);
  for (int x = 0; x < 32; ++x)
    ASSERT_EQ(inverted->bitmap.ScanLine(2)[x], 255 - stored->bitmap.ScanLine(2)[x]) << x;
  EXPECT_EQ(asRgb->bitmap.PixelFormat(), lx24RGB);
  // Converting the complemented samples differs from converting the stored ones.
  EXPECT_NE(std::memcmp(asRgb->bitmap.ScanLine(2), asRgbStored->bitmap.ScanLine(2), 24), 0);
}

TEST(JpegRead, UnknownColourSpacesAreRefused) {
  for (int components : {2}) {  // (libjpeg writes at most four)
    Bytes file = EncodeSamples({.width = 8,
                                .height = 8,
                                .components = components,
                                .inSpace = JCS_UNKNOWN,
                                .jpegSpace = JCS_UNKNOWN},
                               Pattern(8, 8, components));
    for (bool native : {false, true}) {
      auto d = Decode(file, {.NativeLayout = native});
      EXPECT_TRUE(d->aborting) << components;
      EXPECT_EQ(d->reason.Code, TLxFailure::Unsupported) << components;
      EXPECT_TRUE(d->bitmap.IsEmpty());
    }
  }
}

TEST(JpegRead, StartWithinFirstHundredBytes) {
  Bytes jpeg = Ycc(8, 8);
  auto at99 = Decode(Cat(Bytes(99, 0x11), jpeg));
  EXPECT_FALSE(at99->aborting) << at99->reason.Text();
  auto at100 = Decode(Cat(Bytes(100, 0x11), jpeg));
  EXPECT_TRUE(at100->aborting);
  EXPECT_EQ(at100->reason.Code, TLxFailure::BadSignature);
  EXPECT_TRUE(at100->bitmap.IsEmpty());

  TLxMemStream s(jpeg.data(), int64_t(jpeg.size()));
  s.SetPosition(1);
  EXPECT_EQ(FindJpegStart(s), -1);
  EXPECT_EQ(s.Position(), 1);
}

TEST(JpegRead, AutomaticScaleAndHeaderOnly) {
  Bytes big = Ycc(2400, 1600);
  auto fits = Decode(big, {}, [](TIOParamsVals& p) {
    p.JpegScale = 0;
    p.Width = 300;
    p.Height = 200;
  });
  EXPECT_EQ(fits->params.JpegScaleUsed, 8);
  EXPECT_EQ(fits->bitmap.Width(), 300);
  EXPECT_EQ(fits->params.JpegFullWidth, 2400);
  auto wider = Decode(big, {}, [](TIOParamsVals& p) {
    p.JpegScale = 0;
    p.Width = 301;
    p.Height = 200;
  });
  EXPECT_EQ(wider->params.JpegScaleUsed, 4);
  EXPECT_EQ(wider->bitmap.Width(), 600);
  auto none = Decode(big, {.HeaderOnly = true}, [](TIOParamsVals& p) { p.JpegScale = 0; });
  EXPECT_EQ(none->params.JpegScaleUsed, 1);
  EXPECT_TRUE(none->bitmap.IsEmpty()) << "header only";
  EXPECT_EQ(none->params.Width, 2400);
  EXPECT_EQ(none->params.Height, 1600);
  EXPECT_EQ(none->rows, 0);
  EXPECT_FALSE(none->aborting);
}

TEST(JpegRead, AbbreviatedStreamWithSeparateTables) {
  Bytes full = Ycc(24, 16);
  Bytes tables, image;
  SplitTables(full, tables, image);
  auto whole = Decode(full);
  auto split = Decode(image, {}, nullptr, &tables);
  ASSERT_FALSE(split->aborting) << split->reason.Text();
  EXPECT_EQ(BitmapSamples(split->bitmap), BitmapSamples(whole->bitmap));
  auto noTables = Decode(image);
  EXPECT_TRUE(noTables->aborting) << "no Huffman tables";
  EXPECT_EQ(noTables->reason.Code, TLxFailure::BadData);
}

TEST(JpegRead, RowLimit) {
  Bytes file = Ycc(16, 64);
  auto part = Decode(file, {.RowLimit = 20});
  EXPECT_FALSE(part->aborting) << part->reason.Text();
  EXPECT_EQ(part->rows, 20);
  auto whole = Decode(file);
  EXPECT_EQ(std::memcmp(part->bitmap.ScanLine(19), whole->bitmap.ScanLine(19), 48), 0);
  // Asking for more rows than the image has fails.
  auto more = Decode(file, {.RowLimit = 65});
  EXPECT_TRUE(more->aborting);
  EXPECT_EQ(more->rows, 64);
}

TEST(JpegRead, RawYCbCr) {
  // A flat colour decodes to its Y, Cb, Cr values.
  Bytes samples(16 * 16 * 3);
  for (size_t i = 0; i < samples.size(); i += 3) {
    samples[i] = 255;  // red
    samples[i + 1] = 0;
    samples[i + 2] = 0;
  }
  Bytes file = EncodeSamples({.width = 16, .height = 16, .quality = 100}, samples);
  auto d = Decode(file, {.RawYCbCr = true});
  ASSERT_FALSE(d->aborting) << d->reason.Text();
  const uint8_t* p = d->bitmap.ScanLine(5) + 15;
  EXPECT_NEAR(p[0], 76, 2);   // Y
  EXPECT_NEAR(p[1], 85, 2);   // Cb
  EXPECT_NEAR(p[2], 255, 2);  // Cr
}

TEST(JpegRead, ResolutionFromJfif) {
  Bytes file = Ycc(8, 8);
  // The JFIF header sits at offset 2: units at +11, densities at +12 and +14.
  ASSERT_EQ(std::memcmp(file.data() + 6, "JFIF", 4), 0);
  file[13] = 2;
  file[14] = 0, file[15] = 118, file[16] = 0, file[17] = 118;
  auto cm = Decode(file);
  EXPECT_EQ(cm->params.DpiX, 299);
  EXPECT_EQ(cm->params.DpiY, 299);
  file[13] = 0, file[15] = 1, file[17] = 1;
  auto ratio = Decode(file);
  EXPECT_EQ(ratio->params.DpiX, 1);
}

TEST(JpegRead, MarkersMetadataAndProfile) {
  Bytes file = Ycc(8, 8);
  Bytes secondApp0 = {'J', 'F', 'X', 'X', 0, 0x10};
  Bytes comment = {'h', 'e', 'l', 'l', 'o'};
  std::string xmp(kXmpNamespace);
  xmp += '\0';
  xmp += "<x:xmpmeta>text</x:xmpmeta>";
  Bytes iptc;  // Photoshop resource block with one IPTC record (2:120 caption)
  {
    TLxIPTCInfoList list;
    list.AddRecord(2, 120, 7, "caption");
    iptc = list.SaveToBuffer(true);
  }
  Bytes profile(150000);
  for (size_t i = 0; i < profile.size(); ++i) profile[i] = uint8_t(i * 31 >> 3);
  const Bytes p1(profile.begin(), profile.begin() + 60000),
      p2(profile.begin() + 60000, profile.begin() + 120000),
      p3(profile.begin() + 120000, profile.end());
  // Inserted after the JFIF header (which ends at 20), each in front of the previous one.
  // The profile chunks are stored out of order (2, 1, 3); a chunk numbered 0, one above its
  // count and a repeat are ignored.
  file = InsertSegment(file, 0xE2, IccChunk(3, 3, p3), 20);
  file = InsertSegment(file, 0xE2, IccChunk(2, 3, Bytes(10, 0xEE)), 20);
  file = InsertSegment(file, 0xE2, IccChunk(4, 3, Bytes(10, 0xEE)), 20);
  file = InsertSegment(file, 0xE2, IccChunk(0, 3, Bytes(10, 0xEE)), 20);
  file = InsertSegment(file, 0xE2, IccChunk(1, 3, p1), 20);
  file = InsertSegment(file, 0xE2, IccChunk(2, 3, p2), 20);
  file = InsertSegment(file, 0xED, iptc, 20);
  file = InsertSegment(file, 0xE1, Bytes(xmp.begin(), xmp.end()), 20);
  file = InsertSegment(file, 0xFE, comment, 20);
  Bytes withApp0 = InsertSegment(file, 0xE0, secondApp0, 20);

  auto d = Decode(withApp0);
  ASSERT_FALSE(d->aborting) << d->reason.Text();
  const TLxMarkerList& m = d->params.JpegMarkers;
  ASSERT_GE(m.Count(), 5);
  EXPECT_EQ(m.MarkerCode(0), 0xE0);
  EXPECT_EQ(Bytes(m.MarkerData(0), m.MarkerData(0) + m.MarkerLength(0)), secondApp0);
  EXPECT_EQ(m.MarkerCode(1), 0xFE);
  EXPECT_EQ(d->params.XMP_Info, "<x:xmpmeta>text</x:xmpmeta>");
  ASSERT_EQ(d->params.IPTC_Info.Count(), 1);
  EXPECT_EQ(d->params.IPTC_Info.DatasetNumber(0), 120);
  ASSERT_TRUE(d->params.HasInputICCProfile());
  EXPECT_EQ(d->params.InputICCProfile().Raw(), profile);

  // Without ReadIccProfile and ReadMetadata the record is left alone.
  auto bare = Decode(withApp0, {.ReadIccProfile = false, .ReadMetadata = false});
  EXPECT_FALSE(bare->params.HasInputICCProfile());
  EXPECT_TRUE(bare->params.XMP_Info.empty());
  EXPECT_EQ(bare->params.JpegMarkers.Count(), m.Count());
}

TEST(JpegScan, ShortSegmentsEndTheWalks) {
  Bytes jpeg = Ycc(8, 8);
  // An APP2 whose length field says 1: the profile walk ends there, the length walk too.
  Bytes bad = {0xFF, 0xD8, 0xFF, 0xE2, 0x00, 0x01, 0xFF, 0xE2};
  bad.resize(64, 0);
  TLxMemStream s(bad.data(), int64_t(bad.size()));
  EXPECT_TRUE(CollectJpegIccProfile(s).empty());
  EXPECT_EQ(JpegStreamLength(s), 6);
  EXPECT_EQ(s.Position(), 0);

  // The length of a JPEG followed by other data ends at its end-of-image marker.
  Bytes two = Cat(jpeg, Bytes(50, 0xAB));
  TLxMemStream t(two.data(), int64_t(two.size()));
  EXPECT_EQ(JpegStreamLength(t), int64_t(jpeg.size()));
}

TEST(JpegRead, TruncatedDataKeepsRowsAndFails) {
  Bytes file = Ycc(64, 64);
  Bytes cut(file.begin(), file.begin() + long(file.size() * 2 / 3));
  auto d = Decode(cut);
  EXPECT_TRUE(d->aborting);
  EXPECT_EQ(d->reason.Code, TLxFailure::Truncated);
  EXPECT_GT(d->params.JpegWarningCount, 0);
  EXPECT_EQ(d->rows, 64) << "libjpeg delivers every row, the missing ones gray";
  auto whole = Decode(file);
  EXPECT_EQ(std::memcmp(d->bitmap.ScanLine(0), whole->bitmap.ScanLine(0), 64 * 3), 0);

  // A file that misses only its end-of-image marker is complete.
  Bytes noEoi(file.begin(), file.end() - 2);
  auto e = Decode(noEoi);
  EXPECT_FALSE(e->aborting) << e->reason.Text();

  // Cut within the header.
  auto h = Decode(Bytes(file.begin(), file.begin() + 100));
  EXPECT_TRUE(h->aborting);
  EXPECT_EQ(h->reason.Code, TLxFailure::Truncated);
}

TEST(JpegRead, TwoImagesInOneStreamEachFromItsPosition) {
  Bytes a = Ycc(8, 8), b = Ycc(16, 24);
  Bytes both = Cat(a, b);
  TLxMemStream s(both.data(), int64_t(both.size()));
  TIOParamsVals params;
  params.JpegLoadExifThumbnail = true;
  bool aborting = false;
  ProgressRecord progress;
  progress.AbortingPtr = &aborting;
  TLxBitmap bitmap;
  ReadJpegStream(s, bitmap, params, {}, progress);
  EXPECT_EQ(bitmap.Width(), 8);
  EXPECT_EQ(s.Position(), int64_t(a.size())) << "left just after the first image";
  ReadJpegStream(s, bitmap, params, {}, progress);
  EXPECT_FALSE(aborting);
  EXPECT_EQ(bitmap.Width(), 16) << "the second image, not the first again";
  EXPECT_TRUE(params.JpegLoadExifThumbnail);
}

// A header that announces a huge image over a few bytes of data is refused before anything
// is allocated.
Bytes WithSize(Bytes file, int w, int h) {
  for (size_t i = 2; i + 9 < file.size(); ++i) {
    if (file[i] == 0xFF && (file[i + 1] == 0xC0 || file[i + 1] == 0xC2)) {
      file[i + 5] = uint8_t(h >> 8), file[i + 6] = uint8_t(h);
      file[i + 7] = uint8_t(w >> 8), file[i + 8] = uint8_t(w);
      return file;
    }
  }
  return {};
}

TEST(JpegRead, HeaderBombsAreRefused) {
  auto seq = Decode(WithSize(Ycc(16, 16), 65500, 65500));
  EXPECT_TRUE(seq->aborting);
  EXPECT_EQ(seq->reason.Code, TLxFailure::TooLarge);
  auto seqSmaller = Decode(WithSize(Ycc(16, 16), 30000, 20000));
  EXPECT_EQ(seqSmaller->reason.Code, TLxFailure::TooLarge) << "600 Mpixel over 600 bytes";
  // Progressive: the coefficient buffers would exceed libjpeg's memory allowance.
  auto prog = Decode(WithSize(Ycc(16, 16, true), 40000, 40000));
  EXPECT_TRUE(prog->aborting);
  EXPECT_EQ(prog->reason.Code, TLxFailure::TooLarge) << prog->reason.Text();
  // The header alone still reads.
  auto header = Decode(WithSize(Ycc(16, 16), 65500, 65500), {.HeaderOnly = true});
  EXPECT_FALSE(header->aborting);
  EXPECT_EQ(header->params.Width, 65500);
}

TEST(JpegRead, FlippedAndCutBytesNeverCrash) {
  Bytes file = Ycc(40, 24, true);
  for (size_t cut = 0; cut < file.size(); cut += 7) {
    auto d = Decode(Bytes(file.begin(), file.begin() + long(cut)));
    EXPECT_TRUE(!d->aborting || d->reason) << cut;
  }
  for (size_t i = 0; i < file.size(); i += 3) {
    Bytes f = file;
    f[i] ^= uint8_t(0x5A + i);
    auto d = Decode(f);
    EXPECT_TRUE(!d->aborting || d->reason) << i;
  }
}

TEST(JpegRead, MessageTable) {
  EXPECT_EQ(JpegMessageCount(), JMSG_LASTMSGCODE);
  EXPECT_STREQ(JpegMessageText(0), "Bogus message code ?");
  EXPECT_STREQ(JpegMessageText(JERR_TOO_LITTLE_DATA), "Application transferred too few scanlines");
  EXPECT_STREQ(JpegMessageText(JERR_BAD_COMPONENT_ID), "Invalid component ID ? in SOS");
  EXPECT_STREQ(JpegMessageText(100000), "Bogus message code ?");
}

}  // namespace
}  // namespace lumenax::test
