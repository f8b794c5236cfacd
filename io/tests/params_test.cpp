#include "io/params.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "io/lumenax_io.h"
#include "io/param_fields.h"

namespace lumenax {
namespace {

TEST(Params, DefaultsOfANewComponentAndOfARecordWithoutOwner) {
  TLumenaxIO io;
  EXPECT_EQ(io.Params.Owner, &io);
  EXPECT_EQ(io.Params.BitsPerSample, 8);
  EXPECT_EQ(io.Params.SamplesPerPixel, 3);
  EXPECT_EQ(io.Params.DpiX, 300);
  EXPECT_EQ(io.Params.DpiY, 300);
  EXPECT_EQ(io.Params.FileType, ftUnknown);
  EXPECT_TRUE(io.Params.FileName.empty());
  EXPECT_FALSE(io.Params.BmpKeepAlpha);
  EXPECT_EQ(io.Params.BmpVersion, 1);
  EXPECT_EQ(io.Params.PngCompression, 5);

  TIOParamsVals alone;
  EXPECT_EQ(alone.DpiX, 0);
  EXPECT_EQ(alone.DpiY, 0);
  EXPECT_EQ(alone.Width, 0);
}

TEST(Params, SetDefaultParamsResetsEveryGroup) {
  TLumenaxIO io;
  io.Params.BmpKeepAlpha = true;
  io.Params.PngInterlaced = true;
  io.Params.PngTextKeys = {"a"};
  io.Params.IPTC_Info.AddRecord(2, 5, 1, "x");
  io.Params.XMP_Info = "<x/>";
  TRGB map[2] = {CreateRGB(1, 2, 3), CreateRGB(4, 5, 6)};
  io.Params.SetColorMap(map, 2);
  io.Params.Width = 77;
  io.Params.SetDefaultParams();
  EXPECT_FALSE(io.Params.BmpKeepAlpha);
  EXPECT_FALSE(io.Params.PngInterlaced);
  EXPECT_TRUE(io.Params.PngTextKeys.empty());
  EXPECT_EQ(io.Params.IPTC_Info.Count(), 0);
  EXPECT_TRUE(io.Params.XMP_Info.empty());
  EXPECT_EQ(io.Params.ColorMapCount, 0);
  EXPECT_TRUE(io.Params.ColorMap.empty());
  EXPECT_EQ(io.Params.Width, 77);  // without a platform bitmap the size is kept
}

TEST(Params, ResetInfoClearsMetadataOnly) {
  TIOParamsVals p;
  TRGB map[2] = {CreateRGB(1, 2, 3), CreateRGB(4, 5, 6)};
  p.SetColorMap(map, 2);
  p.BitsPerSample = 4;
  p.SamplesPerPixel = 1;
  p.Width = 10;
  p.SetDpiX(96);
  p.BmpKeepAlpha = true;
  p.BmpCompression = 1;
  p.PngFilter = 2;
  p.PngTextKeys = {"Title"};
  p.PngTextValues = {"x"};
  p.IPTC_Info.AddRecord(2, 120, 1, "c");
  p.XMP_Info = "<x/>";
  p.FileType = ftPng;
  p.ResetInfo();
  EXPECT_EQ(p.ColorMapCount, 2);
  EXPECT_EQ(p.ColorMap[1], CreateRGB(4, 5, 6));
  EXPECT_EQ(p.BitsPerSample, 4);
  EXPECT_EQ(p.SamplesPerPixel, 1);
  EXPECT_EQ(p.Width, 10);
  EXPECT_EQ(p.DpiX, 96);
  EXPECT_TRUE(p.BmpKeepAlpha);
  EXPECT_EQ(p.BmpCompression, 1);
  EXPECT_EQ(p.PngFilter, 2);
  EXPECT_EQ(p.FileType, ftPng);
  EXPECT_TRUE(p.PngTextKeys.empty());
  EXPECT_TRUE(p.PngTextValues.empty());
  EXPECT_EQ(p.IPTC_Info.Count(), 0);
  EXPECT_TRUE(p.XMP_Info.empty());
}

TEST(Params, AssignCopiesEverythingButOwnerAndNativeFlag) {
  TLumenaxIO a, b;
  a.Params.PngTextKeys = {"k1", "k2", "k3"};
  a.Params.PngTextValues = {"v1", "v2", "v3"};
  b.Params.PngTextKeys = {"1", "2", "3", "4", "5"};
  b.Params.PngTextValues = {"1", "2", "3", "4", "5"};
  a.Params.IsNativePixelFormat = true;
  b.Params.IsNativePixelFormat = false;
  a.Params.SetDpiX(72.5);
  a.Params.DpiY = 150;
  a.Params.FileName = "/x/y.png";
  a.Params.FileType = ftPng;
  a.Params.BmpKeepAlpha = true;
  a.Params.IPTC_Info.AddRecord(2, 120, 3, "cap");
  a.Params.XMP_Info = "<x/>";
  TRGB map[3] = {CreateRGB(9, 8, 7), CreateRGB(6, 5, 4), CreateRGB(3, 2, 1)};
  a.Params.SetColorMap(map, 3);

  b.Params.Assign(a.Params);
  EXPECT_EQ(b.Params.PngTextKeys, a.Params.PngTextKeys);
  EXPECT_EQ(b.Params.PngTextValues.size(), 3u);
  EXPECT_EQ(b.Params.Owner, &b);
  EXPECT_FALSE(b.Params.IsNativePixelFormat);
  EXPECT_EQ(b.Params.DpiX, 72);
  EXPECT_DOUBLE_EQ(b.Params.ExifXResolution, 72.5);
  EXPECT_EQ(b.Params.DpiY, 150);
  EXPECT_EQ(b.Params.FileName, "/x/y.png");
  EXPECT_EQ(b.Params.FileType, ftPng);
  EXPECT_TRUE(b.Params.BmpKeepAlpha);
  ASSERT_EQ(b.Params.IPTC_Info.Count(), 1);
  EXPECT_EQ(b.Params.IPTC_Info.DatasetNumber(0), 120);
  EXPECT_EQ(b.Params.XMP_Info, "<x/>");
  ASSERT_EQ(b.Params.ColorMapCount, 3);
  EXPECT_EQ(b.Params.ColorMap[2], CreateRGB(3, 2, 1));
  // A deep copy: changing the source leaves the copy alone.
  a.Params.ColorMap[2] = CreateRGB(0, 0, 0);
  EXPECT_EQ(b.Params.ColorMap[2], CreateRGB(3, 2, 1));

  // A source without a palette leaves none.
  TIOParamsVals empty;
  b.Params.Assign(empty);
  EXPECT_EQ(b.Params.ColorMapCount, 0);
  EXPECT_TRUE(b.Params.ColorMap.empty());
}

TEST(Params, DpiRoundsHalvesToEvenAndKeepsThePreciseValue) {
  TIOParamsVals p;
  p.SetDpiX(72.5);
  EXPECT_EQ(p.DpiX, 72);
  EXPECT_DOUBLE_EQ(p.ExifXResolution, 72.5);
  p.SetDpiX(73.5);
  EXPECT_EQ(p.DpiX, 74);
  p.SetDpiY(299.6);
  EXPECT_EQ(p.DpiY, 300);
  EXPECT_DOUBLE_EQ(p.ExifYResolution, 299.6);
  p.SetDpiY(96);
  EXPECT_DOUBLE_EQ(p.ExifYResolution, 96.0);
  p.SetDpiX(1e300);  // clamped, not undefined
  EXPECT_EQ(p.DpiX, 2147483647);
}

// Two groups that keep their own copies of the shared values, to see the folds reach them.
struct GroupA {
  int32_t AImageIndex = 0;
  int32_t AImageCount = 0;
  int32_t AOrientation = 0;
  bool AThumbnail = false;
  std::string AText = "a";
  int defaults = 0;
  int resets = 0;
  void SetDefaults() {
    AText = "a";
    ++defaults;
  }
  void ResetInfo() {
    AText.clear();
    ++resets;
  }
  void OnSetImageIndex(int32_t v) { AImageIndex = v; }
  void OnSetImageCount(int32_t v) { AImageCount = v; }
  void OnSetOrientation(int32_t v) { AOrientation = v; }
  void OnSetLoadExifThumbnail(bool v) { AThumbnail = v; }
};
struct GroupB {
  int32_t BImageIndex = 0;
  std::string BText = "b";
  int assigned = 0;
  void SetDefaults() { BText = "b"; }
  void ResetInfo() { BText.clear(); }
  void OnSetImageIndex(int32_t v) { BImageIndex = v; }
  void AssignGroup(const GroupB& other) {
    BText = other.BText;
    ++assigned;
  }
};
struct Folded : TIOParamGroups<GroupA, GroupB> {
  using TIOParamGroups::AssignGroups;
  using TIOParamGroups::DefaultGroups;
  using TIOParamGroups::ImageCountToGroups;
  using TIOParamGroups::ImageIndexToGroups;
  using TIOParamGroups::LoadExifThumbnailToGroups;
  using TIOParamGroups::OrientationToGroups;
  using TIOParamGroups::ResetGroupsInfo;
};

TEST(Params, RecordWideOperationsReachEveryGroup) {
  Folded f, g;
  f.ImageIndexToGroups(3);
  EXPECT_EQ(f.AImageIndex, 3);
  EXPECT_EQ(f.BImageIndex, 3);
  f.ImageCountToGroups(5);
  f.OrientationToGroups(6);
  f.LoadExifThumbnailToGroups(true);
  EXPECT_EQ(f.AImageCount, 5);
  EXPECT_EQ(f.AOrientation, 6);
  EXPECT_TRUE(f.AThumbnail);
  f.ResetGroupsInfo();
  EXPECT_TRUE(f.AText.empty());
  EXPECT_TRUE(f.BText.empty());
  f.DefaultGroups();
  EXPECT_EQ(f.AText, "a");
  EXPECT_EQ(f.BText, "b");
  f.AText = "copied";
  g.AssignGroups(f);
  EXPECT_EQ(g.AText, "copied");  // member-wise copy
  EXPECT_EQ(g.AImageIndex, 3);
  EXPECT_EQ(g.assigned, 1);  // the group's own copy
}

TEST(ParamFields, TableCoversEveryGroupWithUniqueNames) {
  std::set<std::string> names;
  for (const ParamField& f : ParamFieldTable()) {
    EXPECT_TRUE(names.insert(f.Name).second) << f.Name;
    EXPECT_TRUE(f.Get);
  }
  for (const char* n : {"BitsPerSample", "FileName", "SamplesPerPixel", "Width", "Height", "DpiX",
                        "DpiY", "FileType", "ImageIndex", "ImageCount", "BmpVersion",
                        "BmpCompression", "BmpKeepAlpha", "PngInterlaced", "PngBackground",
                        "PngFilter", "PngCompression", "IsNativePixelFormat", "ColorMapCount"})
    EXPECT_TRUE(names.count(n)) << n;
  EXPECT_EQ(ParamFieldTable().front().Name, "BitsPerSample");
  EXPECT_EQ(ParamFieldTable().back().Name, "ColorMapCount");
}

TEST(ParamFields, ValuesRoundTripAndBadValuesAreRefused) {
  TLumenaxIO io;
  auto set = [&](const char* k, const char* v) { return SetIOValue(io, k, v); };
  auto get = [&](const char* k) { return FindParamField(k)->Get(io.Params); };
  EXPECT_EQ(set("BmpKeepAlpha", "true"), SetValueResult::Ok);
  EXPECT_TRUE(io.Params.BmpKeepAlpha);
  EXPECT_EQ(get("BmpKeepAlpha"), "true");
  EXPECT_EQ(set("BmpKeepAlpha", "maybe"), SetValueResult::BadValue);
  EXPECT_EQ(set("BmpVersion", "3"), SetValueResult::Ok);
  EXPECT_EQ(get("BmpVersion"), "3");  // a number, not a character
  EXPECT_EQ(set("BmpVersion", "256"), SetValueResult::BadValue);
  EXPECT_EQ(set("BmpVersion", "-1"), SetValueResult::BadValue);
  EXPECT_EQ(set("PngCompression", "0x9"), SetValueResult::Ok);
  EXPECT_EQ(io.Params.PngCompression, 9);
  EXPECT_EQ(set("PngCompression", "9x"), SetValueResult::BadValue);
  EXPECT_EQ(set("PngBackground", "10,20,30"), SetValueResult::Ok);
  EXPECT_EQ(io.Params.PngBackground, CreateRGB(10, 20, 30));
  EXPECT_EQ(get("PngBackground"), "10,20,30");
  EXPECT_EQ(set("PngBackground", "10,20"), SetValueResult::BadValue);
  EXPECT_EQ(set("PngBackground", "10,20,300"), SetValueResult::BadValue);
  EXPECT_EQ(set("DpiX", "72.5"), SetValueResult::Ok);
  EXPECT_EQ(io.Params.DpiX, 72);
  EXPECT_EQ(set("FileType", "ftPng"), SetValueResult::Ok);
  EXPECT_EQ(io.Params.FileType, ftPng);
  EXPECT_EQ(set("FileType", "5"), SetValueResult::Ok);
  EXPECT_EQ(get("FileType"), "5");
  EXPECT_EQ(set("ImageIndex", "3"), SetValueResult::Ok);
  EXPECT_EQ(io.Params.ImageIndex, 3);
  EXPECT_EQ(set("NativePixelFormat", "yes"), SetValueResult::Ok);
  EXPECT_TRUE(io.NativePixelFormat());
  EXPECT_TRUE(io.Params.IsNativePixelFormat);
  EXPECT_EQ(set("Background", "255,0,0"), SetValueResult::Ok);
  EXPECT_EQ(io.Background(), TColor(0x0000FF));
  EXPECT_EQ(set("ColorMapCount", "3"), SetValueResult::UnknownKey);  // read only
  EXPECT_EQ(set("NoSuchField", "1"), SetValueResult::UnknownKey);
  EXPECT_EQ(set("bmpkeepalpha", "1"), SetValueResult::UnknownKey);  // names are exact
  EXPECT_EQ(CheckIOValue("PngFilter", "2"), SetValueResult::Ok);
  EXPECT_EQ(CheckIOValue("PngFilter", ""), SetValueResult::BadValue);
}

}  // namespace
}  // namespace lumenax
