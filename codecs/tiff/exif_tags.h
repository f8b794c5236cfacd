// The EXIF group's fields by tag, for the reader and the writer alike. Fields that either side
// handles by hand (the image description, the EXIF version, the digital zoom ratio, the ISO
// ratings, the user comment, the maker note, the GPS version and altitude reference, the
// resolution and colour tags of the main directory) are not listed.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "codecs/tiff/exif_params.h"

namespace lumenax::exif_tags {

using P = ExifParams;

struct TextTag {
  uint16_t tag;
  std::string P::*field;
};
struct IntTag {
  uint16_t tag;
  int32_t P::*field;
};
// Written as SRATIONAL when signed (the APEX shutter speed, brightness and exposure bias).
struct RealTag {
  uint16_t tag;
  double P::*field;
  bool isSigned;
};
// Windows' UCS-2 texts of the main directory, as BYTE arrays.
struct WideTag {
  uint16_t tag;
  std::u16string P::*field;
};
// A GPS value and the reference text that gives it meaning (none for DOP).
struct GpsReal {
  uint16_t tag;
  double P::*field;
  std::string P::*ref;
};
struct GpsReal3 {
  uint16_t tag;
  std::array<double, 3> P::*field;
  std::string P::*ref;
};

inline constexpr TextTag kMainTexts[] = {
    {271, &P::ExifMake},     {272, &P::ExifModel},  {305, &P::ExifSoftware},
    {306, &P::ExifDateTime}, {315, &P::ExifArtist}, {33432, &P::ExifCopyright},
};
inline constexpr WideTag kMainWide[] = {
    {40091, &P::ExifXPTitle},    {40092, &P::ExifXPComment}, {40093, &P::ExifXPAuthor},
    {40094, &P::ExifXPKeywords}, {40095, &P::ExifXPSubject},
};

inline constexpr RealTag kExifReals[] = {
    {33434, &P::ExifExposureTime, false},           {33437, &P::ExifFNumber, false},
    {37122, &P::ExifCompressedBitsPerPixel, false}, {37377, &P::ExifShutterSpeedValue, true},
    {37378, &P::ExifApertureValue, false},          {37379, &P::ExifBrightnessValue, true},
    {37380, &P::ExifExposureBiasValue, true},       {37381, &P::ExifMaxApertureValue, false},
    {37382, &P::ExifSubjectDistance, false},        {37386, &P::ExifFocalLength, false},
    {41486, &P::ExifFocalPlaneXResolution, false},  {41487, &P::ExifFocalPlaneYResolution, false},
    {41493, &P::ExifExposureIndex, false},
};
// Written when they are not negative (the -1 ones are absent).
inline constexpr IntTag kExifInts[] = {
    {34850, &P::ExifExposureProgram},  {37383, &P::ExifMeteringMode},
    {37384, &P::ExifLightSource},      {37385, &P::ExifFlash},
    {40961, &P::ExifColorSpace},       {40962, &P::ExifPixelXDimension},
    {40963, &P::ExifPixelYDimension},  {41488, &P::ExifFocalPlaneResolutionUnit},
    {41495, &P::ExifSensingMethod},    {41728, &P::ExifFileSource},
    {41729, &P::ExifSceneType},        {41986, &P::ExifExposureMode},
    {41987, &P::ExifWhiteBalance},     {41989, &P::ExifFocalLengthIn35mmFilm},
    {41990, &P::ExifSceneCaptureType}, {41991, &P::ExifGainControl},
    {41992, &P::ExifContrast},         {41993, &P::ExifSaturation},
    {41994, &P::ExifSharpness},        {41996, &P::ExifSubjectDistanceRange},
};
inline constexpr TextTag kExifTexts[] = {
    {36867, &P::ExifDateTimeOriginal},    {36868, &P::ExifDateTimeDigitized},
    {37520, &P::ExifSubsecTime},          {37521, &P::ExifSubsecTimeOriginal},
    {37522, &P::ExifSubsecTimeDigitized}, {40960, &P::ExifFlashPixVersion},
    {40964, &P::ExifRelatedSoundFile},    {42016, &P::ExifImageUniqueID},
};

inline constexpr TextTag kGpsTexts[] = {
    {1, &P::ExifGpsLatitudeRef},       {3, &P::ExifGpsLongitudeRef},
    {8, &P::ExifGpsSatellites},        {9, &P::ExifGpsStatus},
    {10, &P::ExifGpsMeasureMode},      {12, &P::ExifGpsSpeedRef},
    {14, &P::ExifGpsTrackRef},         {16, &P::ExifGpsImgDirectionRef},
    {18, &P::ExifGpsMapDatum},         {19, &P::ExifGpsDestLatitudeRef},
    {21, &P::ExifGpsDestLongitudeRef}, {23, &P::ExifGpsDestBearingRef},
    {25, &P::ExifGpsDestDistanceRef},  {29, &P::ExifGpsDateStamp},
};
inline constexpr GpsReal kGpsReals[] = {
    {6, &P::ExifGpsAltitude, &P::ExifGpsAltitudeRef},
    {11, &P::ExifGpsDOP, nullptr},
    {13, &P::ExifGpsSpeed, &P::ExifGpsSpeedRef},
    {15, &P::ExifGpsTrack, &P::ExifGpsTrackRef},
    {17, &P::ExifGpsImgDirection, &P::ExifGpsImgDirectionRef},
    {24, &P::ExifGpsDestBearing, &P::ExifGpsDestBearingRef},
    {26, &P::ExifGpsDestDistance, &P::ExifGpsDestDistanceRef},
};
// The time stamp's reference is the date stamp.
inline constexpr GpsReal3 kGpsReal3[] = {
    {2, &P::ExifGpsLatitude, &P::ExifGpsLatitudeRef},
    {4, &P::ExifGpsLongitude, &P::ExifGpsLongitudeRef},
    {7, &P::ExifGpsTimeStamp, &P::ExifGpsDateStamp},
    {20, &P::ExifGpsDestLatitude, &P::ExifGpsDestLatitudeRef},
    {22, &P::ExifGpsDestLongitude, &P::ExifGpsDestLongitudeRef},
};

}  // namespace lumenax::exif_tags
