// EXIF reading: the group's defaults and text forms, the tags of the main, EXIF and GPS
// directories, the maker-note copy and the JPEG "Exif" block.
//
// Every offset is hostile: directory pointers go through the structure's bounded reads
// (codecs/common/ifd.h), value extents are computed in 64 bits, and the decoding of a JPEG
// block and of its thumbnail run with abort flags of their own, so that a broken block costs
// the EXIF fields or the thumbnail and never the image that carries it.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>

#include "bitmap/conversion.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/common/ifd.h"
#include "codecs/tiff/exif.h"
#include "codecs/tiff/exif_tags.h"
#include "codecs/tiff/tiff.h"
#include "io/params.h"

namespace lumenax {

// ---------------------------------------------------------------- text helpers

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  auto put = [&out](uint32_t c) {
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18));
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      put(0x10000 + ((c - 0xD800) << 10) + (uint32_t(text[i + 1]) - 0xDC00));
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      put(0xFFFD);
    } else {
      put(c);
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    const uint8_t b = uint8_t(text[i]);
    uint32_t c = 0xFFFD;
    size_t n = 1;
    if (b < 0x80) {
      c = b;
    } else if (b >= 0xC2 && b < 0xF5) {
      const size_t extra = b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
      uint32_t v = b & (0x3F >> extra);
      bool ok = i + extra < text.size();
      for (size_t k = 1; ok && k <= extra; ++k) {
        const uint8_t t = uint8_t(text[i + k]);
        if ((t & 0xC0) != 0x80) ok = false;
        v = v << 6 | (t & 0x3F);
      }
      const uint32_t least = extra == 1 ? 0x80 : extra == 2 ? 0x800 : 0x10000;
      if (ok && v >= least && v < 0x110000 && !(v >= 0xD800 && v < 0xE000)) {
        c = v;
        n = extra + 1;
      }
    }
    if (c >= 0x10000) {
      out += char16_t(0xD800 + ((c - 0x10000) >> 10));
      out += char16_t(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += char16_t(c);
    }
    i += n;
  }
  return out;
}

namespace {

template <class T>
std::string FormatNumbers(const T* values, size_t count) {
  std::string out;
  char buf[64];
  for (size_t i = 0; i < count; ++i) {
    if (i) out += ',';
    auto r = std::to_chars(buf, buf + sizeof buf, values[i]);
    out.append(buf, r.ptr);
  }
  return out;
}

template <class T>
bool ParseNumbers(std::string_view text, T* values, size_t count) {
  std::vector<T> parsed;
  while (parsed.size() < count) {
    const size_t comma = text.find(',');
    std::string_view part = text.substr(0, comma);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
    if (!part.empty() && part.front() == '+') part.remove_prefix(1);
    T v{};
    auto r = std::from_chars(part.data(), part.data() + part.size(), v);
    if (part.empty() || r.ec != std::errc() || r.ptr != part.data() + part.size()) return false;
    parsed.push_back(v);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
    if (parsed.size() == count) return false;  // more values than the field holds
  }
  if (parsed.size() != count) return false;
  std::copy(parsed.begin(), parsed.end(), values);
  return true;
}

}  // namespace

std::string FormatExifNumbers(const double* values, size_t count) {
  return FormatNumbers(values, count);
}
std::string FormatExifNumbers(const int32_t* values, size_t count) {
  return FormatNumbers(values, count);
}
bool ParseExifNumbers(std::string_view text, double* values, size_t count) {
  return ParseNumbers(text, values, count);
}
bool ParseExifNumbers(std::string_view text, int32_t* values, size_t count) {
  return ParseNumbers(text, values, count);
}

// ---------------------------------------------------------------- the group

void ExifParams::ResetExif() {
  // The orientation belongs to the record's orientation setter, which keeps it equal to the
  // TIFF orientation.
  const int32_t orientation = ExifOrientation;
  *this = ExifParams{};
  ExifOrientation = orientation;
}

bool ExifParams::HasGpsData() const {
  auto any = [](const std::array<double, 3>& a) {
    return std::any_of(a.begin(), a.end(), [](double v) { return v != 0; });
  };
  for (const std::string* s :
       {&ExifGpsVersionID, &ExifGpsLatitudeRef, &ExifGpsLongitudeRef, &ExifGpsAltitudeRef,
        &ExifGpsSatellites, &ExifGpsStatus, &ExifGpsMeasureMode, &ExifGpsSpeedRef, &ExifGpsTrackRef,
        &ExifGpsImgDirectionRef, &ExifGpsMapDatum, &ExifGpsDestLatitudeRef,
        &ExifGpsDestLongitudeRef, &ExifGpsDestBearingRef, &ExifGpsDestDistanceRef,
        &ExifGpsDateStamp})
    if (!s->empty()) return true;
  for (double v : {ExifGpsAltitude, ExifGpsDOP, ExifGpsSpeed, ExifGpsTrack, ExifGpsImgDirection,
                   ExifGpsDestBearing, ExifGpsDestDistance})
    if (v != 0) return true;
  return any(ExifGpsLatitude) || any(ExifGpsLongitude) || any(ExifGpsTimeStamp) ||
         any(ExifGpsDestLatitude) || any(ExifGpsDestLongitude);
}

std::string ExifParams::ThumbnailText(const ExifParams& p) {
  if (!p.ExifThumbnail || p.ExifThumbnail->IsEmpty()) return "0x0";
  return std::to_string(p.ExifThumbnail->Width()) + "x" + std::to_string(p.ExifThumbnail->Height());
}

std::string ExifParams::MakerNoteText(const ExifParams& p) {
  return std::to_string(p.ExifMakerNote.size());
}

// ---------------------------------------------------------------- reading

namespace {

enum : uint16_t {
  kTagExifIfd = 34665,
  kTagGpsIfd = 34853,
  kTagMakerNote = 37500,
  kTagUserComment = 37510,
  kTagGpsVersion = 0,
  kTagGpsAltitudeRef = 5,
};

using namespace exif_tags;

// Read, but written from other fields (the resolution unit) or not at all.
constexpr IntTag kMainInts[] = {{296, &P::ExifResolutionUnit}, {531, &P::ExifYCbCrPositioning}};

// A text value: ASCII, BYTE or UNDEFINED bytes up to the first zero.
std::optional<std::string> TextOf(TLxTiffStructure& s, const TLxIfd& ifd, uint16_t tag) {
  const TLxIfdEntry* e = ifd.Find(tag);
  if (!e || (e->Type != ttAscii && e->Type != ttByte && e->Type != ttUndefined))
    return std::nullopt;
  std::vector<uint8_t> b = s.Block(*e);
  const auto end = std::find(b.begin(), b.end(), uint8_t(0));
  return std::string(b.begin(), end);
}

// An integer value; a single UNDEFINED byte counts as one (file source, scene type).
std::optional<int32_t> IntOf(TLxTiffStructure& s, const TLxIfd& ifd, uint16_t tag,
                             uint32_t index = 0) {
  const TLxIfdEntry* e = ifd.Find(tag);
  if (!e) return std::nullopt;
  if (e->Type == ttUndefined) {
    uint8_t b;
    if (index >= e->Count || !s.ValueBytes(*e, index, &b, 1)) return std::nullopt;
    return int32_t(b);
  }
  std::optional<uint32_t> v = s.Uint(*e, index);
  if (!v) return std::nullopt;
  return int32_t(*v);
}

std::optional<double> RealOf(TLxTiffStructure& s, const TLxIfd& ifd, uint16_t tag,
                             uint32_t index = 0) {
  const TLxIfdEntry* e = ifd.Find(tag);
  if (!e) return std::nullopt;
  std::optional<double> v = s.Real(*e, index);
  if (!v || !std::isfinite(*v)) return std::nullopt;
  return v;
}

void RealsOf(TLxTiffStructure& s, const TLxIfd& ifd, uint16_t tag, double* out, uint32_t n) {
  const TLxIfdEntry* e = ifd.Find(tag);
  if (!e) return;
  for (uint32_t i = 0; i < n; ++i) out[i] = RealOf(s, ifd, tag, i).value_or(0);
}

// A sub-directory that a pointer tag names; false when the pointer is absent, points into
// the header or outside the stream, or the directory cannot be read.
bool SubDirectory(TLxTiffStructure& s, const TLxIfd& ifd, uint16_t tag, TLxIfd& out) {
  const TLxIfdEntry* e = ifd.Find(tag);
  if (!e) return false;
  std::optional<uint32_t> at = s.Uint(*e);
  if (!at || *at < 8 || int64_t(*at) >= s.StreamSize() - s.Base()) return false;
  return s.ReadIfd(*at, out) && int64_t(*at) + s.Base() != ifd.Position;
}

void ReadMainTags(TLxTiffStructure& s, const TLxIfd& ifd, ExifParams& x) {
  if (std::optional<std::string> v = TextOf(s, ifd, 270)) x.ExifImageDescription = *v;
  for (const TextTag& t : kMainTexts)
    if (std::optional<std::string> v = TextOf(s, ifd, t.tag)) x.*t.field = *v;
  for (const IntTag& t : kMainInts)
    if (std::optional<int32_t> v = IntOf(s, ifd, t.tag)) x.*t.field = *v;
  RealsOf(s, ifd, 318, x.ExifWhitePoint.data(), 2);
  RealsOf(s, ifd, 319, x.ExifPrimaryChromaticities.data(), 6);
  RealsOf(s, ifd, 529, x.ExifYCbCrCoefficients.data(), 3);
  RealsOf(s, ifd, 532, x.ExifReferenceBlackWhite.data(), 6);
  for (const WideTag& t : kMainWide) {
    const TLxIfdEntry* e = ifd.Find(t.tag);
    if (!e) continue;
    std::vector<uint8_t> b = s.Block(*e);
    std::u16string text;
    for (size_t i = 0; i + 1 < b.size(); i += 2) text += char16_t(b[i] | b[i + 1] << 8);
    while (!text.empty() && text.back() == 0) text.pop_back();
    x.*t.field = std::move(text);
  }
}

void ReadExifTags(TLxTiffStructure& s, const TLxIfd& ifd, ExifParams& x) {
  for (const RealTag& t : kExifReals)
    if (std::optional<double> v = RealOf(s, ifd, t.tag)) x.*t.field = *v;
  if (std::optional<double> v = RealOf(s, ifd, 41988)) x.ExifDigitalZoomRatio = *v;
  for (const IntTag& t : kExifInts)
    if (std::optional<int32_t> v = IntOf(s, ifd, t.tag)) x.*t.field = *v;
  if (ifd.Find(34855)) {
    x.ExifISOSpeedRatings[0] = IntOf(s, ifd, 34855, 0).value_or(0);
    x.ExifISOSpeedRatings[1] = IntOf(s, ifd, 34855, 1).value_or(0);
  }
  if (std::optional<std::string> v = TextOf(s, ifd, 36864)) x.ExifVersion = *v;
  for (const TextTag& t : kExifTexts)
    if (std::optional<std::string> v = TextOf(s, ifd, t.tag)) x.*t.field = *v;
  if (const TLxIfdEntry* e = ifd.Find(kTagUserComment)) {
    std::vector<uint8_t> b = s.Block(*e);
    if (!b.empty()) {
      const size_t code = std::min<size_t>(8, b.size());
      x.ExifUserCommentCode.assign(b.begin(), b.begin() + ptrdiff_t(code));
      size_t end = b.size();
      while (end > code && b[end - 1] == 0) --end;
      x.ExifUserComment.assign(b.begin() + ptrdiff_t(code), b.begin() + ptrdiff_t(end));
    }
  }
  if (const TLxIfdEntry* e = ifd.Find(kTagMakerNote)) x.ExifMakerNote = CopyMakerNote(s, *e);
}

void ReadGpsTags(TLxTiffStructure& s, const TLxIfd& ifd, ExifParams& x) {
  if (const TLxIfdEntry* e = ifd.Find(kTagGpsVersion)) {
    std::vector<uint32_t> v = s.UintArray(*e, 4);
    if (v.empty() && e->Type == ttUndefined)
      for (uint8_t b : s.Block(*e)) v.push_back(b);
    std::string text;
    for (size_t i = 0; i < v.size() && i < 4; ++i) {
      if (i) text += '.';
      text += std::to_string(v[i] & 0xFF);
    }
    x.ExifGpsVersionID = text;
  }
  for (const TextTag& t : kGpsTexts)
    if (std::optional<std::string> v = TextOf(s, ifd, t.tag)) x.*t.field = *v;
  if (std::optional<int32_t> v = IntOf(s, ifd, kTagGpsAltitudeRef))
    x.ExifGpsAltitudeRef = std::to_string(*v);
  for (const GpsReal& t : kGpsReals)
    if (std::optional<double> v = RealOf(s, ifd, t.tag)) x.*t.field = *v;
  for (const GpsReal3& t : kGpsReal3) RealsOf(s, ifd, t.tag, (x.*t.field).data(), 3);
}

}  // namespace

void ReadExifDirectories(TLxTiffStructure& s, const TLxIfd& ifd, TIOParamsVals& params) {
  ExifParams& x = params;
  ReadMainTags(s, ifd, x);
  TLxIfd sub;
  if (SubDirectory(s, ifd, kTagExifIfd, sub)) {
    ReadExifTags(s, sub, x);
    x.ExifPresent = true;
  }
  if (SubDirectory(s, ifd, kTagGpsIfd, sub)) ReadGpsTags(s, sub, x);
}

std::vector<uint8_t> CopyMakerNote(TLxTiffStructure& s, const TLxIfdEntry& e) {
  constexpr uint32_t kMaxEntries = 256;
  std::vector<uint8_t> out;
  if (!e.Valid || e.Bytes < 14 || e.Bytes > TLxTiffStructure::kMaxBlock) return out;
  uint8_t c[2];
  if (!s.ReadAt(e.Position, c, 2)) return out;
  const uint32_t count = s.U16(c);
  if (count == 0 || count > kMaxEntries || uint64_t(count) * 12 > e.Bytes) return out;
  std::vector<uint8_t> table(size_t(count) * 12);
  if (!s.ReadAt(e.Position + 2, table.data(), table.size())) return out;

  struct Kept {
    uint8_t entry[12];
    std::vector<uint8_t> value;  // out of line, little-endian
  };
  std::vector<Kept> kept;
  const int64_t size = s.StreamSize();
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* p = table.data() + size_t(i) * 12;
    const uint16_t tag = s.U16(p), type = s.U16(p + 2);
    const uint32_t n = s.U32(p + 4);
    const uint32_t unit = TiffTypeSize(type);
    if (type > ttDouble || unit == 0) break;
    const uint64_t bytes = uint64_t(n) * unit;  // at most 2^32 x 8: no overflow
    if (int64_t(n) >= size) continue;
    Kept k;
    std::memcpy(k.entry, p, 12);
    // Little-endian tag, type and count.
    k.entry[0] = uint8_t(tag), k.entry[1] = uint8_t(tag >> 8);
    k.entry[2] = uint8_t(type), k.entry[3] = uint8_t(type >> 8);
    for (int b = 0; b < 4; ++b) k.entry[4 + b] = uint8_t(n >> (8 * b));
    // Values are swapped unit by unit (rationals as two 32-bit halves).
    const uint32_t swapUnit = type == ttRational || type == ttSRational ? 4 : unit;
    auto toLittle = [&](uint8_t* v, size_t len) {
      if (!s.BigEndian() || swapUnit < 2) return;
      for (size_t j = 0; j + swapUnit <= len; j += swapUnit) std::reverse(v + j, v + j + swapUnit);
    };
    if (bytes <= 4) {
      toLittle(k.entry + 8, size_t(bytes));
    } else {
      const uint32_t offset = s.U32(p + 8);
      const int64_t at = s.Base() + int64_t(offset);
      if (offset == 0 || bytes > TLxTiffStructure::kMaxBlock || at > size ||
          bytes > uint64_t(size - at))
        continue;
      k.value.resize(size_t(bytes));
      if (!s.ReadAt(at, k.value.data(), k.value.size())) continue;
      toLittle(k.value.data(), k.value.size());
    }
    kept.push_back(std::move(k));
  }
  if (kept.empty()) return out;
  out.resize(2 + kept.size() * 12);
  out[0] = uint8_t(kept.size()), out[1] = uint8_t(kept.size() >> 8);
  for (size_t i = 0; i < kept.size(); ++i) {
    uint8_t* entry = out.data() + 2 + i * 12;
    std::memcpy(entry, kept[i].entry, 12);
    if (kept[i].value.empty()) continue;
    if (out.size() & 1) out.push_back(0);
    const uint32_t at = uint32_t(out.size());
    entry = out.data() + 2 + i * 12;
    for (int b = 0; b < 4; ++b) entry[8 + b] = uint8_t(at >> (8 * b));
    out.insert(out.end(), kept[i].value.begin(), kept[i].value.end());
  }
  return out;
}

bool IsExifBlock(const uint8_t* data, size_t size) {
  return data && size >= 6 && std::memcmp(data, "Exif", 5) == 0;
}

bool DecodeExifBlock(const uint8_t* data, size_t size, TIOParamsVals& params) {
  if (!IsExifBlock(data, size)) return false;
  TLxMemStream stream(data + 6, int64_t(size - 6));
  // A record of its own, and an abort flag of its own: nothing here fails the caller.
  TIOParamsVals exif;
  bool failed = false;
  ProgressRecord progress;
  progress.AbortingPtr = &failed;
  TLxBitmap none;
  std::unique_ptr<TLxMask> mask;
  int32_t count = 0;
  ReadTiffStream(none, stream, count, false, true, true, mask, true, progress, exif);
  if (count == 0) return false;  // a bad header, or no directory at all

  ExifParams& x = params;
  const int32_t orientation = exif.ExifOrientation;
  x = static_cast<const ExifParams&>(exif);
  x.ExifImageDescription = exif.TiffImageDescription;
  x.ExifPresent = true;
  x.ExifThumbnail.reset();
  params.SetOrientation(orientation);
  params.SetDpiX(exif.ExifXResolution);
  params.SetDpiY(exif.ExifYResolution);

  // The thumbnail: the second directory.
  if (count >= 2) {
    bool thumbFailed = false;
    ProgressRecord thumbProgress;
    thumbProgress.AbortingPtr = &thumbFailed;
    exif.SetImageIndex(1);
    stream.SetPosition(0);
    TLxBitmap thumbnail;
    int32_t n = 0;
    ReadTiffStream(thumbnail, stream, n, true, true, true, mask, false, thumbProgress, exif);
    if (!thumbFailed && !thumbnail.IsEmpty()) {
      AutoOrient(thumbnail, orientation);
      thumbnail.MoveImageTo(x.ExifThumbnail.Create());
    }
  }
  return true;
}

}  // namespace lumenax
