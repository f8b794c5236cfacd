// EXIF writing: the main-directory EXIF tags, the EXIF directory with its maker note, the GPS
// directory, and the "Exif" APP1 block that a JPEG save carries.
//
// What the group does not hold is not written: the -1 fields, GPS values with neither a value
// nor a reference, empty texts. Integers that do not fit in a SHORT are written as LONG, the
// signed APEX values (shutter speed, brightness, exposure bias) as SRATIONAL.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "bitmap/conversion.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/common/ifd.h"
#include "codecs/tiff/exif.h"
#include "codecs/tiff/exif_tags.h"
#include "codecs/tiff/tiff_writer.h"
#include "io/params.h"

namespace lumenax {

namespace {

using namespace exif_tags;

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t Le16(const uint8_t* p) {
  return uint16_t(p[0] | p[1] << 8);
}
void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// The maker note copy (a little-endian directory with offsets relative to it) rebuilt for a
// block that starts at `start` in the output: entries whose values take 1,024 bytes or more
// are dropped, out-of-line values follow the entry table at even offsets, and offsets become
// positions in the output. Every offset of the copy must lie inside it; entries that do not
// are dropped. Empty when nothing is left.
std::vector<uint8_t> RebuildMakerNote(const std::vector<uint8_t>& note, uint32_t start) {
  std::vector<uint8_t> out;
  if (note.size() < 12) return out;
  const uint32_t count = Le16(note.data());
  if (uint64_t(count) * 12 + 2 > note.size()) return out;
  struct Kept {
    const uint8_t* entry;
    const uint8_t* value;  // out of line, or null
    size_t size;
  };
  std::vector<Kept> kept;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = note.data() + 2 + size_t(i) * 12;
    const uint32_t unit = TiffTypeSize(Le16(e + 2));
    const uint64_t bytes = uint64_t(Le32(e + 4)) * unit;  // no overflow in 64 bits
    if (unit == 0 || bytes >= 1024) continue;
    if (bytes <= 4) {
      kept.push_back({e, nullptr, 0});
      continue;
    }
    const uint32_t at = Le32(e + 8);
    if (at > note.size() || bytes > note.size() - at) continue;
    kept.push_back({e, note.data() + at, size_t(bytes)});
  }
  if (kept.empty()) return out;
  out.resize(2 + kept.size() * 12);
  out[0] = uint8_t(kept.size()), out[1] = uint8_t(kept.size() >> 8);
  for (size_t i = 0; i < kept.size(); ++i) {
    std::memcpy(&out[2 + i * 12], kept[i].entry, 12);
    if (!kept[i].value) continue;
    if (out.size() & 1) out.push_back(0);
    PutLe32(&out[2 + i * 12 + 8], start + uint32_t(out.size()));
    out.insert(out.end(), kept[i].value, kept[i].value + kept[i].size);
  }
  return out;
}

void AddDoubles(TLxTiffTagList& tags, uint16_t tag, const double* v, size_t n) {
  if (std::all_of(v, v + n, [](double x) { return x == 0; })) return;
  tags.AddRationals(tag, std::span<const double>(v, n));
}

void AddNonNegative(TLxTiffTagList& tags, uint16_t tag, int32_t v) {
  if (v >= 0) tags.AddInteger(tag, uint32_t(v));
}

uint32_t WriteExifIfd(TLxTiffOutput& out, const ExifParams& x) {
  TLxTiffTagList t(out);
  for (const RealTag& r : kExifReals) {
    if (r.isSigned)
      t.AddSRational(r.tag, x.*r.field);
    else
      t.AddRational(r.tag, x.*r.field);
  }
  if (x.ExifDigitalZoomRatio != -1) t.AddRational(41988, x.ExifDigitalZoomRatio);
  for (const IntTag& i : kExifInts) AddNonNegative(t, i.tag, x.*i.field);
  // One value when the second is not given.
  const int32_t iso0 = std::max(x.ExifISOSpeedRatings[0], 0),
                iso1 = std::max(x.ExifISOSpeedRatings[1], 0);
  const uint32_t iso[2] = {uint32_t(iso0), uint32_t(iso1)};
  t.AddIntegers(34855, std::span<const uint32_t>(iso, iso1 ? 2 : 1));
  t.AddAscii(36864, x.ExifVersion.empty() ? std::string_view("0230") : x.ExifVersion);
  for (const TextTag& s : kExifTexts) t.AddAscii(s.tag, x.*s.field);
  const std::string comment = x.ExifUserCommentCode + x.ExifUserComment;
  t.AddBytes(
      37510, ttUndefined,
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(comment.data()), comment.size()));
  if (x.ExifMakerNote.size() >= 12) {
    out.Align();
    const int64_t start = out.Position();
    if (start >= 0 && start < int64_t(UINT32_MAX / 2)) {
      const std::vector<uint8_t> note = RebuildMakerNote(x.ExifMakerNote, uint32_t(start));
      t.AddBytes(37500, ttUndefined, note);
    }
  }
  return t.WriteIfd(0);
}

uint32_t WriteGpsIfd(TLxTiffOutput& out, const ExifParams& x) {
  TLxTiffTagList t(out);
  uint8_t version[4] = {2, 2, 0, 0};
  if (!x.ExifGpsVersionID.empty()) {
    std::string_view s = x.ExifGpsVersionID;
    for (int i = 0; i < 4; ++i) {
      const size_t dot = s.find('.');
      const std::string part(s.substr(0, dot));
      char* end = nullptr;
      const long v = std::strtol(part.c_str(), &end, 10);
      version[i] = part.empty() || *end ? 0 : uint8_t(std::clamp(v, 0L, 255L));
      s = dot == std::string_view::npos ? std::string_view() : s.substr(dot + 1);
    }
  }
  t.AddRaw(0, ttByte, 4, version, 4);
  for (const TextTag& s : kGpsTexts) t.AddAscii(s.tag, x.*s.field);
  if (!x.ExifGpsAltitudeRef.empty()) {
    char* end = nullptr;
    const long v = std::strtol(x.ExifGpsAltitudeRef.c_str(), &end, 10);
    const uint8_t ref = *end ? 0 : uint8_t(std::clamp(v, 0L, 255L));
    t.AddRaw(5, ttByte, 1, &ref, 1);
  }
  for (const GpsReal& g : kGpsReals)
    if (x.*g.field != 0 || (g.ref && !(x.*g.ref).empty())) t.AddRational(g.tag, x.*g.field);
  for (const GpsReal3& g : kGpsReal3) {
    const std::array<double, 3>& v = x.*g.field;
    if (std::any_of(v.begin(), v.end(), [](double d) { return d != 0; }) || !(x.*g.ref).empty())
      t.AddRationals(g.tag, v);
  }
  return t.WriteIfd(0);
}

// Inverse of the turn AutoOrient makes for an orientation: 6 and 8 undo each other, the
// others undo themselves.
int InverseOrientation(int orientation) {
  return orientation == 6 ? 8 : orientation == 8 ? 6 : orientation;
}

}  // namespace

bool AddExifTiffTags(TLxTiffTagList& tags, TIOParamsVals& params, bool /*withBitmap*/) {
  if (!params.ExifPresent) return false;
  const ExifParams& x = params;
  tags.AddAscii(
      270, !x.ExifImageDescription.empty() ? x.ExifImageDescription : params.TiffImageDescription);
  // The precise resolution, or the integer one when the EXIF data gave none.
  AddResolutionTags(tags, params.ExifXResolution, params.ExifYResolution, params.DpiX, params.DpiY,
                    2);
  tags.AddShort(274, uint16_t(std::clamp(params.TiffOrientation, 1, 8)));
  for (const TextTag& s : kMainTexts) tags.AddAscii(s.tag, x.*s.field);
  for (const WideTag& w : kMainWide) {
    const std::u16string& text = x.*w.field;
    if (text.empty()) continue;
    std::vector<uint8_t> bytes;
    for (char16_t c : text) bytes.push_back(uint8_t(c)), bytes.push_back(uint8_t(c >> 8));
    bytes.push_back(0), bytes.push_back(0);
    tags.AddBytes(w.tag, ttByte, bytes);
  }
  AddDoubles(tags, 318, x.ExifWhitePoint.data(), 2);
  AddDoubles(tags, 319, x.ExifPrimaryChromaticities.data(), 6);
  AddDoubles(tags, 529, x.ExifYCbCrCoefficients.data(), 3);
  if (x.ExifYCbCrPositioning > 0) tags.AddInteger(531, uint32_t(x.ExifYCbCrPositioning));
  AddDoubles(tags, 532, x.ExifReferenceBlackWhite.data(), 6);
  tags.AddLong(34665, WriteExifIfd(tags.Output(), x));
  if (x.HasGpsData()) tags.AddLong(34853, WriteGpsIfd(tags.Output(), x));
  return true;
}

namespace {

// The TIFF structure of an EXIF block; empty when it could not be written.
std::vector<uint8_t> ExifStructure(TIOParamsVals& params, bool withThumbnail, bool withMakerNote) {
  std::vector<uint8_t> note;
  if (!withMakerNote) note.swap(params.ExifMakerNote);
  TMemoryStream ms;
  bool failed = false;
  ProgressRecord progress;
  progress.AbortingPtr = &failed;
  WriteTiffStream(ms, false, nullptr, progress, params);
  if (!withMakerNote) note.swap(params.ExifMakerNote);
  if (failed) return {};
  const TLxBitmap* thumbnail = params.ExifThumbnail.get();
  if (withThumbnail && thumbnail && !thumbnail->IsEmpty()) {
    // The reader turned the thumbnail upright; it is stored as the image is.
    TLxBitmap stored;
    stored.Assign(*params.ExifThumbnail);
    if (stored.PixelFormat() != lx24RGB) stored.SetPixelFormat(lx24RGB);
    AutoOrient(stored, InverseOrientation(params.TiffOrientation));
    TIOParamsVals t;
    t.SetImageIndex(1);
    t.TiffCompression = tcOldJpeg;
    t.SetDpiX(72);
    t.SetDpiY(72);
    const int64_t before = ms.Size();
    bool thumbFailed = false;
    ProgressRecord thumbProgress;
    thumbProgress.AbortingPtr = &thumbFailed;
    ms.Seek(0, soBeginning);
    WriteTiffStream(ms, true, &stored, thumbProgress, t);
    // A thumbnail that cannot be written is left out.
    if (thumbFailed) ms.SetSize(before);
  }
  return ms.Bytes();
}

}  // namespace

std::vector<uint8_t> BuildExifBlock(TIOParamsVals& params) {
  // An APP1 marker holds at most 65,533 bytes: without the thumbnail, then without the maker
  // note, when the block is larger.
  constexpr size_t kMaxApp1 = 65533;
  std::vector<uint8_t> block;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const std::vector<uint8_t> tiff = ExifStructure(params, attempt == 0, attempt < 2);
    if (tiff.empty()) return {};
    block = {'E', 'x', 'i', 'f', 0, 0};
    block.insert(block.end(), tiff.begin(), tiff.end());
    if (block.size() <= kMaxApp1) return block;
  }
  return {};
}

}  // namespace lumenax
