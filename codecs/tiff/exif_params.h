// The EXIF group of the parameter record: the camera tags of a TIFF main directory, of its
// EXIF directory (tag 34665) and of its GPS directory (tag 34853), the maker note and the
// thumbnail. The TIFF reader fills it from a TIFF file or from a JPEG "Exif" block; the TIFF
// writer and the JPEG save write it back.
//
// The precise resolution (tags 282 and 283) lives in the record itself (ExifXResolution,
// ExifYResolution), kept by SetDpiX and SetDpiY.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bitmap/bitmap.h"

namespace lumenax {

// UTF-16 text as UTF-8 (unpaired surrogates become U+FFFD) and back.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

// Comma-separated numbers (shortest round-trip form for doubles).
std::string FormatExifNumbers(const double* values, size_t count);
std::string FormatExifNumbers(const int32_t* values, size_t count);
// Parses exactly count comma-separated numbers; false (and nothing stored) otherwise.
bool ParseExifNumbers(std::string_view text, double* values, size_t count);
bool ParseExifNumbers(std::string_view text, int32_t* values, size_t count);

// An owned bitmap that copies deeply: a record's copy gets its own thumbnail.
class TLxOwnedBitmap {
 public:
  TLxOwnedBitmap() = default;
  TLxOwnedBitmap(const TLxOwnedBitmap& other) { *this = other; }
  TLxOwnedBitmap(TLxOwnedBitmap&&) = default;
  TLxOwnedBitmap& operator=(const TLxOwnedBitmap& other) {
    if (&other == this) return *this;
    bitmap_.reset();
    if (other.bitmap_) {
      bitmap_ = std::make_unique<TLxBitmap>();
      bitmap_->Assign(*other.bitmap_);
    }
    return *this;
  }
  TLxOwnedBitmap& operator=(TLxOwnedBitmap&&) = default;
  TLxOwnedBitmap& operator=(std::unique_ptr<TLxBitmap> bitmap) {
    bitmap_ = std::move(bitmap);
    return *this;
  }

  explicit operator bool() const { return bool(bitmap_); }
  TLxBitmap* get() const { return bitmap_.get(); }
  TLxBitmap* operator->() const { return bitmap_.get(); }
  TLxBitmap& operator*() const { return *bitmap_; }
  void reset() { bitmap_.reset(); }
  // The bitmap, created empty when there is none.
  TLxBitmap& Create() {
    if (!bitmap_) bitmap_ = std::make_unique<TLxBitmap>();
    return *bitmap_;
  }

 private:
  std::unique_ptr<TLxBitmap> bitmap_;
};

struct ExifParams {
  // The record holds EXIF data (an EXIF directory was read, or set by the user); the JPEG
  // save writes an EXIF block when it is set.
  bool ExifPresent = false;
  // The thumbnail of the EXIF block, upright; null or empty when there is none.
  TLxOwnedBitmap ExifThumbnail;
  // The maker note (tag 37500) as a little-endian directory: entry count, entries, and the
  // out-of-line values they reference, with offsets relative to the start of the block.
  std::vector<uint8_t> ExifMakerNote;

  // ---- main directory
  std::string ExifImageDescription;                   // 270
  std::string ExifMake;                               // 271
  std::string ExifModel;                              // 272
  int32_t ExifOrientation = 1;                        // 274, the same value as TiffOrientation
  int32_t ExifResolutionUnit = 0;                     // 296
  std::string ExifSoftware;                           // 305
  std::string ExifDateTime;                           // 306
  std::string ExifArtist;                             // 315
  std::array<double, 2> ExifWhitePoint{};             // 318
  std::array<double, 6> ExifPrimaryChromaticities{};  // 319
  std::array<double, 3> ExifYCbCrCoefficients{};      // 529
  int32_t ExifYCbCrPositioning = 0;                   // 531
  std::array<double, 6> ExifReferenceBlackWhite{};    // 532
  std::string ExifCopyright;                          // 33432
  // 40091..40095: the tag's bytes taken as little-endian UTF-16.
  std::u16string ExifXPTitle;
  std::u16string ExifXPComment;
  std::u16string ExifXPAuthor;
  std::u16string ExifXPKeywords;
  std::u16string ExifXPSubject;

  // ---- EXIF directory: rational values
  double ExifExposureTime = 0;            // 33434
  double ExifFNumber = 0;                 // 33437
  double ExifCompressedBitsPerPixel = 0;  // 37122
  double ExifShutterSpeedValue = 0;       // 37377 (signed)
  double ExifApertureValue = 0;           // 37378
  double ExifBrightnessValue = 0;         // 37379 (signed)
  double ExifExposureBiasValue = 0;       // 37380 (signed)
  double ExifMaxApertureValue = 0;        // 37381
  double ExifSubjectDistance = 0;         // 37382
  double ExifFocalLength = 0;             // 37386
  double ExifFocalPlaneXResolution = 0;   // 41486
  double ExifFocalPlaneYResolution = 0;   // 41487
  double ExifExposureIndex = 0;           // 41493
  double ExifDigitalZoomRatio = -1;       // 41988; -1: absent
  // ---- EXIF directory: integers (-1: absent, for those that default to it)
  int32_t ExifExposureProgram = 0;               // 34850
  std::array<int32_t, 2> ExifISOSpeedRatings{};  // 34855
  int32_t ExifMeteringMode = 0;                  // 37383
  int32_t ExifLightSource = 0;                   // 37384
  int32_t ExifFlash = 0;                         // 37385
  int32_t ExifColorSpace = 0;                    // 40961
  int32_t ExifPixelXDimension = 0;               // 40962
  int32_t ExifPixelYDimension = 0;               // 40963
  int32_t ExifFocalPlaneResolutionUnit = 0;      // 41488
  int32_t ExifSensingMethod = 0;                 // 41495
  int32_t ExifFileSource = 0;                    // 41728
  int32_t ExifSceneType = 0;                     // 41729
  int32_t ExifExposureMode = -1;                 // 41986
  int32_t ExifWhiteBalance = -1;                 // 41987
  int32_t ExifFocalLengthIn35mmFilm = -1;        // 41989
  int32_t ExifSceneCaptureType = -1;             // 41990
  int32_t ExifGainControl = -1;                  // 41991
  int32_t ExifContrast = -1;                     // 41992
  int32_t ExifSaturation = -1;                   // 41993
  int32_t ExifSharpness = -1;                    // 41994
  int32_t ExifSubjectDistanceRange = -1;         // 41996
  // ---- EXIF directory: texts
  std::string ExifVersion;              // 36864 (four bytes)
  std::string ExifDateTimeOriginal;     // 36867
  std::string ExifDateTimeDigitized;    // 36868
  std::string ExifSubsecTime;           // 37520
  std::string ExifSubsecTimeOriginal;   // 37521
  std::string ExifSubsecTimeDigitized;  // 37522
  std::string ExifFlashPixVersion;      // 40960 (four bytes)
  std::string ExifRelatedSoundFile;     // 40964
  std::string ExifImageUniqueID;        // 42016
  // 37510: the first 8 bytes (the character code) and the rest.
  std::string ExifUserCommentCode;
  std::string ExifUserComment;

  // ---- GPS directory
  std::string ExifGpsVersionID;                  // 0, as "2.2.0.0"
  std::string ExifGpsLatitudeRef;                // 1
  std::array<double, 3> ExifGpsLatitude{};       // 2
  std::string ExifGpsLongitudeRef;               // 3
  std::array<double, 3> ExifGpsLongitude{};      // 4
  std::string ExifGpsAltitudeRef;                // 5, the value as decimal text
  double ExifGpsAltitude = 0;                    // 6
  std::array<double, 3> ExifGpsTimeStamp{};      // 7
  std::string ExifGpsSatellites;                 // 8
  std::string ExifGpsStatus;                     // 9
  std::string ExifGpsMeasureMode;                // 10
  double ExifGpsDOP = 0;                         // 11
  std::string ExifGpsSpeedRef;                   // 12
  double ExifGpsSpeed = 0;                       // 13
  std::string ExifGpsTrackRef;                   // 14
  double ExifGpsTrack = 0;                       // 15
  std::string ExifGpsImgDirectionRef;            // 16
  double ExifGpsImgDirection = 0;                // 17
  std::string ExifGpsMapDatum;                   // 18
  std::string ExifGpsDestLatitudeRef;            // 19
  std::array<double, 3> ExifGpsDestLatitude{};   // 20
  std::string ExifGpsDestLongitudeRef;           // 21
  std::array<double, 3> ExifGpsDestLongitude{};  // 22
  std::string ExifGpsDestBearingRef;             // 23
  double ExifGpsDestBearing = 0;                 // 24
  std::string ExifGpsDestDistanceRef;            // 25
  double ExifGpsDestDistance = 0;                // 26
  std::string ExifGpsDateStamp;                  // 29

  // Every field to its default; the thumbnail freed, the maker note emptied.
  void SetDefaults() { ResetExif(); }
  void ResetInfo() { ResetExif(); }
  void ResetExif();
  void OnSetOrientation(int32_t v) { ExifOrientation = v; }
  // True when any GPS field holds a value.
  bool HasGpsData() const;

  // ---- text forms for the field table
  template <std::u16string ExifParams::*M>
  static std::string WideText(const ExifParams& p) {
    return Utf16ToUtf8(p.*M);
  }
  template <std::u16string ExifParams::*M>
  static bool SetWideText(ExifParams& p, std::string_view s) {
    p.*M = Utf8ToUtf16(s);
    return true;
  }
  template <class T, size_t N, std::array<T, N> ExifParams::*M>
  static std::string ArrayText(const ExifParams& p) {
    return FormatExifNumbers((p.*M).data(), N);
  }
  template <class T, size_t N, std::array<T, N> ExifParams::*M>
  static bool SetArrayText(ExifParams& p, std::string_view s) {
    return ParseExifNumbers(s, (p.*M).data(), N);
  }
  // The thumbnail as "WIDTHxHEIGHT" ("0x0" when there is none); the maker note as its size
  // in bytes. Neither can be set from text.
  static std::string ThumbnailText(const ExifParams& p);
  static std::string MakerNoteText(const ExifParams& p);
  static bool RefuseText(ExifParams&, std::string_view) { return false; }

  template <class V>
  static void DescribeFields(V& v);
};

template <class V>
void ExifParams::DescribeFields(V& v) {
  using P = ExifParams;
  v("ExifPresent", &P::ExifPresent);
  v("ExifThumbnail", &P::ThumbnailText, &P::RefuseText);
  v("ExifMakerNote", &P::MakerNoteText, &P::RefuseText);
  v("ExifImageDescription", &P::ExifImageDescription);
  v("ExifMake", &P::ExifMake);
  v("ExifModel", &P::ExifModel);
  v("ExifOrientation", &P::ExifOrientation);
  v("ExifResolutionUnit", &P::ExifResolutionUnit);
  v("ExifSoftware", &P::ExifSoftware);
  v("ExifDateTime", &P::ExifDateTime);
  v("ExifArtist", &P::ExifArtist);
  v("ExifWhitePoint", &P::ArrayText<double, 2, &P::ExifWhitePoint>,
    &P::SetArrayText<double, 2, &P::ExifWhitePoint>);
  v("ExifPrimaryChromaticities", &P::ArrayText<double, 6, &P::ExifPrimaryChromaticities>,
    &P::SetArrayText<double, 6, &P::ExifPrimaryChromaticities>);
  v("ExifYCbCrCoefficients", &P::ArrayText<double, 3, &P::ExifYCbCrCoefficients>,
    &P::SetArrayText<double, 3, &P::ExifYCbCrCoefficients>);
  v("ExifYCbCrPositioning", &P::ExifYCbCrPositioning);
  v("ExifReferenceBlackWhite", &P::ArrayText<double, 6, &P::ExifReferenceBlackWhite>,
    &P::SetArrayText<double, 6, &P::ExifReferenceBlackWhite>);
  v("ExifCopyright", &P::ExifCopyright);
  v("ExifXPTitle", &P::WideText<&P::ExifXPTitle>, &P::SetWideText<&P::ExifXPTitle>);
  v("ExifXPComment", &P::WideText<&P::ExifXPComment>, &P::SetWideText<&P::ExifXPComment>);
  v("ExifXPAuthor", &P::WideText<&P::ExifXPAuthor>, &P::SetWideText<&P::ExifXPAuthor>);
  v("ExifXPKeywords", &P::WideText<&P::ExifXPKeywords>, &P::SetWideText<&P::ExifXPKeywords>);
  v("ExifXPSubject", &P::WideText<&P::ExifXPSubject>, &P::SetWideText<&P::ExifXPSubject>);
  v("ExifExposureTime", &P::ExifExposureTime);
  v("ExifFNumber", &P::ExifFNumber);
  v("ExifCompressedBitsPerPixel", &P::ExifCompressedBitsPerPixel);
  v("ExifShutterSpeedValue", &P::ExifShutterSpeedValue);
  v("ExifApertureValue", &P::ExifApertureValue);
  v("ExifBrightnessValue", &P::ExifBrightnessValue);
  v("ExifExposureBiasValue", &P::ExifExposureBiasValue);
  v("ExifMaxApertureValue", &P::ExifMaxApertureValue);
  v("ExifSubjectDistance", &P::ExifSubjectDistance);
  v("ExifFocalLength", &P::ExifFocalLength);
  v("ExifFocalPlaneXResolution", &P::ExifFocalPlaneXResolution);
  v("ExifFocalPlaneYResolution", &P::ExifFocalPlaneYResolution);
  v("ExifExposureIndex", &P::ExifExposureIndex);
  v("ExifDigitalZoomRatio", &P::ExifDigitalZoomRatio);
  v("ExifExposureProgram", &P::ExifExposureProgram);
  v("ExifISOSpeedRatings", &P::ArrayText<int32_t, 2, &P::ExifISOSpeedRatings>,
    &P::SetArrayText<int32_t, 2, &P::ExifISOSpeedRatings>);
  v("ExifMeteringMode", &P::ExifMeteringMode);
  v("ExifLightSource", &P::ExifLightSource);
  v("ExifFlash", &P::ExifFlash);
  v("ExifColorSpace", &P::ExifColorSpace);
  v("ExifPixelXDimension", &P::ExifPixelXDimension);
  v("ExifPixelYDimension", &P::ExifPixelYDimension);
  v("ExifFocalPlaneResolutionUnit", &P::ExifFocalPlaneResolutionUnit);
  v("ExifSensingMethod", &P::ExifSensingMethod);
  v("ExifFileSource", &P::ExifFileSource);
  v("ExifSceneType", &P::ExifSceneType);
  v("ExifExposureMode", &P::ExifExposureMode);
  v("ExifWhiteBalance", &P::ExifWhiteBalance);
  v("ExifFocalLengthIn35mmFilm", &P::ExifFocalLengthIn35mmFilm);
  v("ExifSceneCaptureType", &P::ExifSceneCaptureType);
  v("ExifGainControl", &P::ExifGainControl);
  v("ExifContrast", &P::ExifContrast);
  v("ExifSaturation", &P::ExifSaturation);
  v("ExifSharpness", &P::ExifSharpness);
  v("ExifSubjectDistanceRange", &P::ExifSubjectDistanceRange);
  v("ExifVersion", &P::ExifVersion);
  v("ExifDateTimeOriginal", &P::ExifDateTimeOriginal);
  v("ExifDateTimeDigitized", &P::ExifDateTimeDigitized);
  v("ExifSubsecTime", &P::ExifSubsecTime);
  v("ExifSubsecTimeOriginal", &P::ExifSubsecTimeOriginal);
  v("ExifSubsecTimeDigitized", &P::ExifSubsecTimeDigitized);
  v("ExifFlashPixVersion", &P::ExifFlashPixVersion);
  v("ExifRelatedSoundFile", &P::ExifRelatedSoundFile);
  v("ExifImageUniqueID", &P::ExifImageUniqueID);
  v("ExifUserCommentCode", &P::ExifUserCommentCode);
  v("ExifUserComment", &P::ExifUserComment);
  v("ExifGpsVersionID", &P::ExifGpsVersionID);
  v("ExifGpsLatitudeRef", &P::ExifGpsLatitudeRef);
  v("ExifGpsLatitude", &P::ArrayText<double, 3, &P::ExifGpsLatitude>,
    &P::SetArrayText<double, 3, &P::ExifGpsLatitude>);
  v("ExifGpsLongitudeRef", &P::ExifGpsLongitudeRef);
  v("ExifGpsLongitude", &P::ArrayText<double, 3, &P::ExifGpsLongitude>,
    &P::SetArrayText<double, 3, &P::ExifGpsLongitude>);
  v("ExifGpsAltitudeRef", &P::ExifGpsAltitudeRef);
  v("ExifGpsAltitude", &P::ExifGpsAltitude);
  v("ExifGpsTimeStamp", &P::ArrayText<double, 3, &P::ExifGpsTimeStamp>,
    &P::SetArrayText<double, 3, &P::ExifGpsTimeStamp>);
  v("ExifGpsSatellites", &P::ExifGpsSatellites);
  v("ExifGpsStatus", &P::ExifGpsStatus);
  v("ExifGpsMeasureMode", &P::ExifGpsMeasureMode);
  v("ExifGpsDOP", &P::ExifGpsDOP);
  v("ExifGpsSpeedRef", &P::ExifGpsSpeedRef);
  v("ExifGpsSpeed", &P::ExifGpsSpeed);
  v("ExifGpsTrackRef", &P::ExifGpsTrackRef);
  v("ExifGpsTrack", &P::ExifGpsTrack);
  v("ExifGpsImgDirectionRef", &P::ExifGpsImgDirectionRef);
  v("ExifGpsImgDirection", &P::ExifGpsImgDirection);
  v("ExifGpsMapDatum", &P::ExifGpsMapDatum);
  v("ExifGpsDestLatitudeRef", &P::ExifGpsDestLatitudeRef);
  v("ExifGpsDestLatitude", &P::ArrayText<double, 3, &P::ExifGpsDestLatitude>,
    &P::SetArrayText<double, 3, &P::ExifGpsDestLatitude>);
  v("ExifGpsDestLongitudeRef", &P::ExifGpsDestLongitudeRef);
  v("ExifGpsDestLongitude", &P::ArrayText<double, 3, &P::ExifGpsDestLongitude>,
    &P::SetArrayText<double, 3, &P::ExifGpsDestLongitude>);
  v("ExifGpsDestBearingRef", &P::ExifGpsDestBearingRef);
  v("ExifGpsDestBearing", &P::ExifGpsDestBearing);
  v("ExifGpsDestDistanceRef", &P::ExifGpsDestDistanceRef);
  v("ExifGpsDestDistance", &P::ExifGpsDestDistance);
  v("ExifGpsDateStamp", &P::ExifGpsDateStamp);
}

}  // namespace lumenax
