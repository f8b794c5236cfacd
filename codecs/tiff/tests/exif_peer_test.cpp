// The EXIF decoder against a camera corpus no one here wrote (the EXIF headers of some 45
// camera models in both byte orders, the eight orientations, hostile blocks), compared with
// what exiftool reads from the same files: numbers within 1e-6 relative, texts exactly, and
// the thumbnail against exiftool's extracted thumbnail decoded and turned by the orientation.
//
// Most corpus files are cut right after their EXIF APP1 block; every block is spliced into a
// small JPEG of our own so that both sides read a whole file.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bitmap/conversion.h"
#include "codecs/jpeg/tests/jpeg_test_util.h"
#include "io/lumenax_io.h"
#include "io/param_fields.h"
#include "tests/support/test_support.h"

namespace lumenax::test {
namespace {

namespace fs = std::filesystem;

fs::path CameraCorpus() {
  const fs::path d = TestDataDir() /
                     "golang-github-rwcarlsen-goexif-dev/usr/share/gocode/src/"
                     "github.com/rwcarlsen/goexif/exif";
  return fs::is_directory(d / "samples") ? d : fs::path();
}

// The first APP1 block that begins with "Exif\0" before the image data, or empty.
Bytes ExifApp1(const Bytes& jpeg) {
  size_t i = 2;
  while (i + 4 <= jpeg.size() && jpeg[i] == 0xFF) {
    const uint8_t code = jpeg[i + 1];
    const size_t n = size_t(jpeg[i + 2]) << 8 | jpeg[i + 3];
    if (n < 2 || i + 2 + n > jpeg.size()) {
      // A block cut by the end of the file: what is there.
      if (code == 0xE1 && i + 9 < jpeg.size() && std::memcmp(&jpeg[i + 4], "Exif", 5) == 0)
        return Bytes(jpeg.begin() + ptrdiff_t(i + 4), jpeg.end());
      break;
    }
    if (code == 0xE1 && n >= 8 && std::memcmp(&jpeg[i + 4], "Exif", 5) == 0)
      return Bytes(jpeg.begin() + ptrdiff_t(i + 4), jpeg.begin() + ptrdiff_t(i + 2 + n));
    if (code == 0xDA) break;
    i += 2 + n;
  }
  return {};
}

struct Sample {
  std::string name;
  fs::path spliced;
};

// Splices the EXIF block of every corpus file into a 24 x 16 JPEG in dir.
std::vector<Sample> SpliceCorpus(const fs::path& corpus, const fs::path& dir) {
  std::vector<fs::path> files;
  for (const auto& sub : {corpus / "samples", corpus / "corrupt"})
    for (const auto& e : fs::directory_iterator(sub))
      if (e.path().extension() == ".jpg") files.push_back(e.path());
  files.push_back(corpus / "sample1.jpg");
  std::sort(files.begin(), files.end());
  std::vector<Sample> out;
  TLxBitmap image(24, 16, lx24RGB);
  FillPattern(image);
  for (const fs::path& f : files) {
    const Bytes block = ExifApp1(ReadFileBytes(f));
    if (block.empty()) continue;
    TIOParamsVals p;
    p.JpegMarkers.AddMarker(0xE1, block.data(), int(block.size()));
    Sample s{f.parent_path().filename().string() + "/" + f.filename().string(),
             dir / (std::to_string(out.size()) + ".jpg")};
    WriteFileBytes(s.spliced, Encode(image, p));
    out.push_back(s);
  }
  return out;
}

// One exiftool run over every file: a tab-separated line per file, "-" for absent tags.
std::vector<std::vector<std::string>> ExifToolTable(const std::vector<std::string>& tags,
                                                    const std::vector<Sample>& samples) {
  std::string cmd = "exiftool -n -T -q -m -charset exif=latin1 -api IgnoreMinorErrors=1";
  for (const std::string& t : tags) cmd += " -" + t;
  for (const Sample& s : samples) cmd += " " + ShellQuote(s.spliced.string());
  std::string text;
  RunCommand(cmd + " 2>/dev/null", &text);
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> cells;
    size_t start = 0;
    for (;;) {
      const size_t tab = line.find('\t', start);
      cells.push_back(line.substr(start, tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    rows.push_back(cells);
  }
  return rows;
}

// exiv2's reading of a file's EXIF tags of the main, EXIF and GPS directories: key to its
// interpreted value.
std::map<std::string, std::string> Exiv2Values(const fs::path& file) {
  std::string text;
  RunCommand("exiv2 -q -PEkt " + ShellQuote(file.string()) + " 2>/dev/null", &text);
  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t gap = line.find(' ');
    if (gap == std::string::npos) continue;
    const std::string key = line.substr(0, gap);
    if (!key.starts_with("Exif.Image.") && !key.starts_with("Exif.Photo.") &&
        !key.starts_with("Exif.GPSInfo."))
      continue;
    const size_t value = line.find_first_not_of(' ', gap);
    values[key] = value == std::string::npos ? "" : line.substr(value);
  }
  return values;
}

enum class Kind {
  Text,     // texts exactly
  Number,   // one number
  First,    // the first of our comma-separated numbers
  Apex,     // exiftool shows 2^(v/2) of the stored aperture value
  Shutter,  // exiftool shows 2^-v of the stored shutter speed value
  Degrees,  // our three numbers as degrees, minutes, seconds
  Time,     // our three numbers against exiftool's h:m:s
  Version,  // exiftool separates the GPS version bytes with spaces, we with dots
};

struct Compared {
  const char* ours;
  const char* theirs;
  Kind kind;
};

constexpr Compared kCompared[] = {
    {"ExifMake", "IFD0:Make", Kind::Text},
    {"ExifModel", "IFD0:Model", Kind::Text},
    {"ExifImageDescription", "IFD0:ImageDescription", Kind::Text},
    {"ExifSoftware", "IFD0:Software", Kind::Text},
    {"ExifDateTime", "IFD0:ModifyDate", Kind::Text},
    {"ExifArtist", "IFD0:Artist", Kind::Text},
    {"ExifCopyright", "IFD0:Copyright", Kind::Text},
    {"ExifOrientation", "IFD0:Orientation", Kind::Number},
    {"ExifResolutionUnit", "IFD0:ResolutionUnit", Kind::Number},
    {"ExifYCbCrPositioning", "IFD0:YCbCrPositioning", Kind::Number},
    {"ExifExposureTime", "ExifIFD:ExposureTime", Kind::Number},
    {"ExifFNumber", "ExifIFD:FNumber", Kind::Number},
    {"ExifCompressedBitsPerPixel", "ExifIFD:CompressedBitsPerPixel", Kind::Number},
    {"ExifShutterSpeedValue", "ExifIFD:ShutterSpeedValue", Kind::Shutter},
    {"ExifApertureValue", "ExifIFD:ApertureValue", Kind::Apex},
    {"ExifMaxApertureValue", "ExifIFD:MaxApertureValue", Kind::Apex},
    {"ExifBrightnessValue", "ExifIFD:BrightnessValue", Kind::Number},
    {"ExifExposureBiasValue", "ExifIFD:ExposureCompensation", Kind::Number},
    {"ExifFocalLength", "ExifIFD:FocalLength", Kind::Number},
    {"ExifFocalPlaneXResolution", "ExifIFD:FocalPlaneXResolution", Kind::Number},
    {"ExifFocalPlaneYResolution", "ExifIFD:FocalPlaneYResolution", Kind::Number},
    {"ExifExposureIndex", "ExifIFD:ExposureIndex", Kind::Number},
    {"ExifDigitalZoomRatio", "ExifIFD:DigitalZoomRatio", Kind::Number},
    {"ExifExposureProgram", "ExifIFD:ExposureProgram", Kind::Number},
    {"ExifISOSpeedRatings", "ExifIFD:ISO", Kind::First},
    {"ExifMeteringMode", "ExifIFD:MeteringMode", Kind::Number},
    {"ExifLightSource", "ExifIFD:LightSource", Kind::Number},
    {"ExifFlash", "ExifIFD:Flash", Kind::Number},
    {"ExifColorSpace", "ExifIFD:ColorSpace", Kind::Number},
    {"ExifPixelXDimension", "ExifIFD:ExifImageWidth", Kind::Number},
    {"ExifPixelYDimension", "ExifIFD:ExifImageHeight", Kind::Number},
    {"ExifFocalPlaneResolutionUnit", "ExifIFD:FocalPlaneResolutionUnit", Kind::Number},
    {"ExifSensingMethod", "ExifIFD:SensingMethod", Kind::Number},
    {"ExifFileSource", "ExifIFD:FileSource", Kind::Number},
    {"ExifSceneType", "ExifIFD:SceneType", Kind::Number},
    {"ExifExposureMode", "ExifIFD:ExposureMode", Kind::Number},
    {"ExifWhiteBalance", "ExifIFD:WhiteBalance", Kind::Number},
    {"ExifFocalLengthIn35mmFilm", "ExifIFD:FocalLengthIn35mmFormat", Kind::Number},
    {"ExifSceneCaptureType", "ExifIFD:SceneCaptureType", Kind::Number},
    {"ExifGainControl", "ExifIFD:GainControl", Kind::Number},
    {"ExifContrast", "ExifIFD:Contrast", Kind::Number},
    {"ExifSaturation", "ExifIFD:Saturation", Kind::Number},
    {"ExifSharpness", "ExifIFD:Sharpness", Kind::Number},
    {"ExifSubjectDistanceRange", "ExifIFD:SubjectDistanceRange", Kind::Number},
    {"ExifVersion", "ExifIFD:ExifVersion", Kind::Text},
    {"ExifFlashPixVersion", "ExifIFD:FlashpixVersion", Kind::Text},
    {"ExifDateTimeOriginal", "ExifIFD:DateTimeOriginal", Kind::Text},
    {"ExifDateTimeDigitized", "ExifIFD:CreateDate", Kind::Text},
    {"ExifSubsecTime", "ExifIFD:SubSecTime", Kind::Text},
    {"ExifSubsecTimeOriginal", "ExifIFD:SubSecTimeOriginal", Kind::Text},
    {"ExifSubsecTimeDigitized", "ExifIFD:SubSecTimeDigitized", Kind::Text},
    {"ExifImageUniqueID", "ExifIFD:ImageUniqueID", Kind::Text},
    {"ExifGpsVersionID", "GPS:GPSVersionID", Kind::Version},
    {"ExifGpsLatitudeRef", "GPS:GPSLatitudeRef", Kind::Text},
    {"ExifGpsLatitude", "GPS:GPSLatitude", Kind::Degrees},
    {"ExifGpsLongitudeRef", "GPS:GPSLongitudeRef", Kind::Text},
    {"ExifGpsLongitude", "GPS:GPSLongitude", Kind::Degrees},
    {"ExifGpsAltitudeRef", "GPS:GPSAltitudeRef", Kind::Text},
    {"ExifGpsAltitude", "GPS:GPSAltitude", Kind::Number},
    {"ExifGpsTimeStamp", "GPS:GPSTimeStamp", Kind::Time},
    {"ExifGpsMapDatum", "GPS:GPSMapDatum", Kind::Text},
    {"ExifGpsDateStamp", "GPS:GPSDateStamp", Kind::Text},
    {"ExifGpsImgDirectionRef", "GPS:GPSImgDirectionRef", Kind::Text},
    {"ExifGpsImgDirection", "GPS:GPSImgDirection", Kind::Number},
    {"ExifGpsDOP", "GPS:GPSDOP", Kind::Number},
};

std::vector<double> Numbers(const std::string& s, char separator) {
  std::vector<double> v;
  std::istringstream in(s);
  std::string part;
  while (std::getline(in, part, separator)) v.push_back(std::strtod(part.c_str(), nullptr));
  return v;
}

bool Near(double a, double b) {
  return std::fabs(a - b) <= 1e-6 * std::max({1.0, std::fabs(a), std::fabs(b)});
}

// Empty when the values agree, else what differs.
std::string Compare(const Compared& c, const std::string& ours, const std::string& theirs) {
  auto differ = [&] { return std::string(c.ours) + ": ours " + ours + ", exiftool " + theirs; };
  switch (c.kind) {
    case Kind::Text: {
      // exiftool drops the blanks that cameras pad their texts with; we keep the bytes.
      std::string trimmed = ours;
      while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
      return trimmed == theirs ? "" : differ();
    }
    case Kind::Version: {
      std::string dotted = theirs;
      std::replace(dotted.begin(), dotted.end(), ' ', '.');
      return ours == dotted ? "" : differ();
    }
    case Kind::Number:
    case Kind::First:
      return Near(std::strtod(ours.c_str(), nullptr), std::strtod(theirs.c_str(), nullptr))
                 ? ""
                 : differ();
    case Kind::Apex:
      return Near(std::pow(2.0, std::strtod(ours.c_str(), nullptr) / 2),
                  std::strtod(theirs.c_str(), nullptr))
                 ? ""
                 : differ();
    case Kind::Shutter:
      return Near(std::pow(2.0, -std::strtod(ours.c_str(), nullptr)),
                  std::strtod(theirs.c_str(), nullptr))
                 ? ""
                 : differ();
    case Kind::Degrees: {
      const std::vector<double> v = Numbers(ours, ',');
      return v.size() == 3 &&
                     Near(v[0] + v[1] / 60 + v[2] / 3600, std::strtod(theirs.c_str(), nullptr))
                 ? ""
                 : differ();
    }
    case Kind::Time: {
      const std::vector<double> a = Numbers(ours, ','), b = Numbers(theirs, ':');
      return a.size() == 3 && b.size() == 3 && Near(a[0], b[0]) && Near(a[1], b[1]) &&
                     Near(a[2], b[2])
                 ? ""
                 : differ();
    }
  }
  return differ();
}

class CameraCorpusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    corpus_ = CameraCorpus();
    if (corpus_.empty()) GTEST_SKIP() << "camera corpus missing (scripts/fetch-test-data)";
    if (!HaveProgram("exiftool")) GTEST_SKIP() << "exiftool missing";
    samples_ = SpliceCorpus(corpus_, dir_.path());
    ASSERT_GT(samples_.size(), 40u);
  }
  fs::path corpus_;
  TempDir dir_;
  std::vector<Sample> samples_;
};

TEST_F(CameraCorpusTest, ValuesEqualExifTool) {
  std::vector<std::string> tags;
  for (const Compared& c : kCompared) tags.push_back(c.theirs);
  const auto table = ExifToolTable(tags, samples_);
  ASSERT_EQ(table.size(), samples_.size());
  size_t compared = 0, gps = 0;
  for (size_t i = 0; i < samples_.size(); ++i) {
    SCOPED_TRACE(samples_[i].name);
    TLumenaxIO io;
    io.ParamsFromFile(samples_[i].spliced);
    ASSERT_FALSE(io.Aborting);
    ASSERT_TRUE(io.Params.ExifPresent || samples_[i].name.find("corrupt") != std::string::npos);
    ASSERT_EQ(table[i].size(), std::size(kCompared));
    // The hostile blocks hold duplicate tags, of which exiftool shows another one.
    if (samples_[i].name.starts_with("corrupt/")) continue;
    for (size_t k = 0; k < std::size(kCompared); ++k) {
      const std::string& theirs = table[i][k];
      if (theirs == "-") continue;  // exiftool found no such tag
      // This camera stores its GPS position and time as texts, not rationals; the group
      // holds rationals only.
      if (samples_[i].name == "samples/geodegrees_as_string.jpg" &&
          (kCompared[k].kind == Kind::Degrees || kCompared[k].kind == Kind::Time))
        continue;
      const std::string ours = FindParamField(kCompared[k].ours)->Get(io.Params);
      EXPECT_EQ(Compare(kCompared[k], ours, theirs), "");
      ++compared;
      gps += std::string(kCompared[k].theirs).starts_with("GPS:");
    }
  }
  RecordProperty("values_compared", int(compared));
  EXPECT_GT(compared, 1500u);
  EXPECT_GT(gps, 20u);
}

TEST_F(CameraCorpusTest, ThumbnailsEqualExifToolsTurnedUpright) {
  // exiftool writes each thumbnail beside its file as N_thumb.jpg.
  std::string cmd = "exiftool -q -m -b -ThumbnailImage -w %d%f_thumb.jpg";
  for (const Sample& s : samples_) cmd += " " + ShellQuote(s.spliced.string());
  RunCommand(cmd + " 2>/dev/null");
  size_t thumbnails = 0;
  for (const Sample& s : samples_) {
    SCOPED_TRACE(s.name);
    const fs::path theirs = s.spliced.parent_path() / (s.spliced.stem().string() + "_thumb.jpg");
    TLumenaxIO io;
    io.ParamsFromFile(s.spliced);
    const bool have = io.Params.ExifThumbnail && !io.Params.ExifThumbnail->IsEmpty();
    if (!fs::exists(theirs)) {
      EXPECT_FALSE(have);
      continue;
    }
    auto ref = Decode(ReadFileBytes(theirs), {}, [](TIOParamsVals& p) { p.JpegDctMethod = 0; });
    if (ref->aborting || ref->bitmap.Width() > 400 || ref->bitmap.Height() > 400) {
      EXPECT_FALSE(have) << "a thumbnail that cannot be read is left out";
      continue;
    }
    ASSERT_TRUE(have);
    AutoOrient(ref->bitmap, io.Params.ExifOrientation);
    EXPECT_EQ(
        CountDifferentPixels(BitmapToRgba(ref->bitmap), BitmapToRgba(*io.Params.ExifThumbnail)),
        0u);
    ++thumbnails;
  }
  EXPECT_GT(thumbnails, 20u);
}

// The eight orientation codes of f1..f8, spliced into the same 24 x 16 image: each loads
// turned upright, and says so afterwards.
TEST_F(CameraCorpusTest, EightOrientationsLoadUpright) {
  std::map<int, fs::path> byOrientation;
  for (const Sample& s : samples_)
    for (int k = 1; k <= 8; ++k)
      if (s.name == "samples/f" + std::to_string(k) + "-exif.jpg") byOrientation[k] = s.spliced;
  ASSERT_EQ(byOrientation.size(), 8u);
  for (const auto& [k, file] : byOrientation) {
    SCOPED_TRACE(k);
    TLumenaxIO io;
    io.Params.JpegAutoOrient = true;
    io.LoadFromFile(file);
    ASSERT_FALSE(io.Aborting);
    // 24 x 16 stored; orientations 5 to 8 swap the sides.
    EXPECT_EQ(io.Bitmap()->Width(), k >= 5 ? 16 : 24);
    EXPECT_EQ(io.Params.TiffOrientation, 1);
  }
}

// Hostile blocks (loops, counts of 2^32 - 1, tags far past the block) cost at most their
// fields: the image itself loads.
TEST_F(CameraCorpusTest, CorruptBlocksNeverFailTheImage) {
  size_t n = 0;
  for (const Sample& s : samples_) {
    if (s.name.find("corrupt/") != 0) continue;
    SCOPED_TRACE(s.name);
    TLumenaxIO io;
    io.LoadFromFile(s.spliced);
    EXPECT_FALSE(io.Aborting) << io.FailureReason.Text();
    EXPECT_EQ(io.Bitmap()->Width(), 24);
    ++n;
  }
  EXPECT_GE(n, 2u);
}

// Conversions keep the EXIF data: JPEG to JPEG, JPEG to TIFF and that TIFF to JPEG again give
// exiftool and exiv2 the values they read from the source, GPS included, and the JPEG copies
// keep the thumbnail upright.
TEST_F(CameraCorpusTest, ConversionsKeepWhatExifToolReads) {
  // A quarter of the corpus, the GPS sample and a turned one; each source stands once per
  // copy in `converted`, beside its copy in `outputs`.
  std::vector<Sample> converted, outputs;
  for (size_t i = 0; i < samples_.size(); ++i) {
    const Sample& s = samples_[i];
    if (s.name.starts_with("corrupt/")) continue;
    if (i % 4 != 0 && s.name.find("sample1") == std::string::npos &&
        s.name.find("f6-") == std::string::npos)
      continue;
    const std::string base = (dir_.path() / ("rt" + std::to_string(i))).string();
    TLumenaxIO io;
    io.LoadFromFile(s.spliced);
    ASSERT_FALSE(io.Aborting) << s.name;
    io.SaveToFile(base + ".jpg");
    ASSERT_FALSE(io.Aborting) << s.name;
    io.SaveToFile(base + ".tif");
    ASSERT_FALSE(io.Aborting) << s.name;
    TLumenaxIO back;
    back.LoadFromFile(base + ".tif");
    ASSERT_FALSE(back.Aborting) << s.name;
    EXPECT_TRUE(back.Params.ExifPresent);
    back.SaveToFile(base + "-again.jpg");
    ASSERT_FALSE(back.Aborting) << s.name;
    for (const char* suffix : {".jpg", ".tif", "-again.jpg"}) {
      outputs.push_back({s.name + " -> " + suffix, base + suffix});
      converted.push_back(s);
    }
  }
  std::vector<Sample> all = converted;
  all.insert(all.end(), outputs.begin(), outputs.end());
  std::vector<std::string> tags;
  for (const Compared& c : kCompared) tags.push_back(c.theirs);
  const auto table = ExifToolTable(tags, all);
  ASSERT_EQ(table.size(), all.size());
  size_t compared = 0, gps = 0;
  for (size_t i = 0; i < outputs.size(); ++i) {
    SCOPED_TRACE(outputs[i].name);
    const auto& before = table[i];
    const auto& after = table[converted.size() + i];
    ASSERT_EQ(after.size(), before.size());
    for (size_t k = 0; k < before.size(); ++k) {
      if (before[k] == "-") continue;
      if (kCompared[k].kind == Kind::Text || kCompared[k].kind == Kind::Version) {
        EXPECT_EQ(after[k], before[k]) << kCompared[k].theirs;
      } else {
        EXPECT_TRUE(
            Near(std::strtod(after[k].c_str(), nullptr), std::strtod(before[k].c_str(), nullptr)) ||
            (kCompared[k].kind == Kind::Time && after[k] == before[k]))
            << kCompared[k].theirs << ": " << before[k] << " became " << after[k];
      }
      ++compared;
      gps += std::string(kCompared[k].theirs).starts_with("GPS:");
    }
    // The JPEG copy carries the thumbnail, upright when read (TIFF files hold none).
    if (outputs[i].name.ends_with("-> .jpg")) {
      TLumenaxIO a, b;
      a.ParamsFromFile(converted[i].spliced);
      b.ParamsFromFile(outputs[i].spliced);
      const bool had = a.Params.ExifThumbnail && !a.Params.ExifThumbnail->IsEmpty();
      ASSERT_EQ(b.Params.ExifThumbnail && !b.Params.ExifThumbnail->IsEmpty(), had);
      if (had) {
        EXPECT_EQ(b.Params.ExifThumbnail->Width(), a.Params.ExifThumbnail->Width());
        EXPECT_EQ(b.Params.ExifThumbnail->Height(), a.Params.ExifThumbnail->Height());
        EXPECT_GT(
            Psnr(BitmapSamples(*a.Params.ExifThumbnail), BitmapSamples(*b.Params.ExifThumbnail)),
            30.0);
      }
    }
  }
  EXPECT_GT(compared, 200u);
  EXPECT_GT(gps, 10u);

  // exiv2, a reader of its own, shows the tags that the source and a copy both hold with
  // the same values: the same text, or numbers equal to 1e-6 relative (rationals are kept
  // as numbers, so 1/60 may come back as 16667/1000000, and a zoom ratio of 0/0 as 0).
  // Not compared: the offsets of the EXIF and GPS directories, the maker note (its inner
  // offsets count from the TIFF header and follow it to its new place), the orientation
  // (copies are stored upright), and the two version tags, which the copies hold as four
  // ASCII characters that exiv2 shows only in raw form.
  if (!HaveProgram("exiv2")) GTEST_SKIP() << "exiv2 missing";
  const std::set<std::string> moved = {"Exif.Image.ExifTag",     "Exif.Image.GPSTag",
                                       "Exif.Photo.MakerNote",   "Exif.Image.Orientation",
                                       "Exif.Photo.ExifVersion", "Exif.Photo.FlashpixVersion"};
  // The numbers of an exiv2 text ("1/60 s", "F2.8", "10 20 30"), fractions worked out.
  auto numbers = [](const std::string& text) {
    std::vector<double> out;
    if (text == "Digital zoom not used") return std::vector<double>{0};
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
      const size_t digit = word.find_first_of("-0123456789");
      if (digit == std::string::npos) continue;
      char* end = nullptr;
      double v = std::strtod(word.c_str() + digit, &end);
      if (*end == '/') {
        const double d = std::strtod(end + 1, nullptr);
        v = d != 0 ? v / d : 0;
      }
      out.push_back(v);
    }
    return out;
  };
  size_t agreed = 0;
  gps = 0;
  for (size_t i = 0; i < outputs.size(); ++i) {
    SCOPED_TRACE(outputs[i].name);
    const auto before = Exiv2Values(converted[i].spliced);
    const auto after = Exiv2Values(outputs[i].spliced);
    for (const auto& [key, value] : before) {
      const auto found = after.find(key);
      if (moved.count(key) || found == after.end()) continue;
      if (found->second != value) {
        const std::vector<double> a = numbers(value), b = numbers(found->second);
        bool same = !a.empty() && a.size() == b.size();
        for (size_t k = 0; same && k < a.size(); ++k) same = Near(a[k], b[k]);
        EXPECT_TRUE(same) << key << ": " << value << " became " << found->second;
      }
      ++agreed;
      gps += key.starts_with("Exif.GPSInfo.");
    }
  }
  EXPECT_GT(agreed, 200u);
  EXPECT_GT(gps, 10u);
}

}  // namespace
}  // namespace lumenax::test
