// Building TIFF files byte by byte for the reader tests, and running the reader on them.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/tiff/tiff.h"
#include "io/params.h"

namespace lumenax::test {

using Bytes = std::vector<uint8_t>;

// One directory: entries are added in any order and written sorted; values that do not fit
// in four bytes go after the directory. Pixel data and other blobs are appended to the file
// with Append, which returns their offset.
class TiffBuilder {
 public:
  explicit TiffBuilder(bool bigEndian = false) : big_(bigEndian) {
    file_ = {uint8_t(big_ ? 'M' : 'I'), uint8_t(big_ ? 'M' : 'I'), 0, 0, 0, 0, 0, 0};
    Put16(file_.data() + 2, 42);
  }

  uint32_t Append(const Bytes& data) {
    const uint32_t at = uint32_t(file_.size());
    file_.insert(file_.end(), data.begin(), data.end());
    if (file_.size() % 2) file_.push_back(0);
    return at;
  }
  // An entry whose value bytes are given as stored (already in the file's byte order).
  void Raw(uint16_t tag, uint16_t type, uint32_t count, Bytes value) {
    dir_.push_back({tag, type, count, std::move(value), false, 0});
  }
  // Removes the entries of a tag added so far.
  void Drop(uint16_t tag) {
    std::erase_if(dir_, [tag](const auto& e) { return e.tag == tag; });
  }
  // An entry whose four value bytes are a raw offset (for values claimed to lie elsewhere).
  void AtOffset(uint16_t tag, uint16_t type, uint32_t count, uint32_t offset) {
    dir_.push_back({tag, type, count, {}, true, offset});
  }
  void Short(uint16_t tag, std::vector<uint32_t> v) {
    Bytes b(v.size() * 2);
    for (size_t i = 0; i < v.size(); ++i) Put16(&b[2 * i], uint16_t(v[i]));
    Raw(tag, 3, uint32_t(v.size()), b);
  }
  void Long(uint16_t tag, std::vector<uint32_t> v) {
    Bytes b(v.size() * 4);
    for (size_t i = 0; i < v.size(); ++i) Put32(&b[4 * i], v[i]);
    Raw(tag, 4, uint32_t(v.size()), b);
  }
  void Rational(uint16_t tag, uint32_t num, uint32_t den) {
    Bytes b(8);
    Put32(&b[0], num);
    Put32(&b[4], den);
    Raw(tag, 5, 1, b);
  }
  void Ascii(uint16_t tag, const std::string& s) {
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    Raw(tag, 2, uint32_t(b.size()), b);
  }
  // The usual image tags; strips are appended and their offsets and counts listed.
  void Image(uint32_t w, uint32_t h, uint32_t spp, uint32_t bps, uint32_t photometric,
             const std::vector<Bytes>& strips, uint32_t rowsPerStrip, uint32_t compression = 1) {
    Long(256, {w});
    Long(257, {h});
    Short(258, std::vector<uint32_t>(spp, bps));
    Short(259, {compression});
    Short(262, {photometric});
    Short(277, {spp});
    Long(278, {rowsPerStrip});
    std::vector<uint32_t> offs, counts;
    for (const Bytes& s : strips) {
      offs.push_back(Append(s));
      counts.push_back(uint32_t(s.size()));
    }
    Long(273, offs);
    Long(279, counts);
  }
  // Writes the directory (entries sorted) and, unless it is a sub-directory (EXIF, GPS),
  // links it into the chain; returns its offset.
  uint32_t EndDirectory(bool link = true) {
    std::stable_sort(dir_.begin(), dir_.end(), [](auto& a, auto& b) { return a.tag < b.tag; });
    // Out-of-line values first.
    std::vector<uint32_t> valueAt(dir_.size(), 0);
    for (size_t i = 0; i < dir_.size(); ++i)
      if (!dir_[i].offsetOnly && dir_[i].value.size() > 4) valueAt[i] = Append(dir_[i].value);
    const uint32_t at = uint32_t(file_.size());
    Bytes d(2 + dir_.size() * 12 + 4, 0);
    Put16(&d[0], uint16_t(dir_.size()));
    for (size_t i = 0; i < dir_.size(); ++i) {
      uint8_t* e = &d[2 + 12 * i];
      Put16(e, dir_[i].tag);
      Put16(e + 2, dir_[i].type);
      Put32(e + 4, dir_[i].count);
      if (dir_[i].offsetOnly)
        Put32(e + 8, dir_[i].offset);
      else if (dir_[i].value.size() > 4)
        Put32(e + 8, valueAt[i]);
      else if (!dir_[i].value.empty())
        std::memcpy(e + 8, dir_[i].value.data(), dir_[i].value.size());
    }
    file_.insert(file_.end(), d.begin(), d.end());
    if (link) {
      Put32(file_.data() + (lastNext_ ? lastNext_ : 4), at);
      lastNext_ = at + 2 + uint32_t(dir_.size()) * 12;
    }
    dir_.clear();
    return at;
  }
  // Points the next-directory field of the last directory at offset.
  void LinkLastTo(uint32_t offset) { Put32(file_.data() + lastNext_, offset); }
  Bytes& File() { return file_; }

  void Put16(uint8_t* p, uint16_t v) const {
    if (big_)
      p[0] = uint8_t(v >> 8), p[1] = uint8_t(v);
    else
      p[0] = uint8_t(v), p[1] = uint8_t(v >> 8);
  }
  void Put32(uint8_t* p, uint32_t v) const {
    if (big_) {
      Put16(p, uint16_t(v >> 16));
      Put16(p + 2, uint16_t(v));
    } else {
      Put16(p, uint16_t(v));
      Put16(p + 2, uint16_t(v >> 16));
    }
  }

 private:
  struct Entry {
    uint16_t tag, type;
    uint32_t count;
    Bytes value;
    bool offsetOnly;
    uint32_t offset;
  };
  bool big_;
  Bytes file_;
  std::vector<Entry> dir_;
  uint32_t lastNext_ = 0;
};

struct TiffLoad {
  TLxBitmap bitmap;
  TIOParamsVals params;
  std::unique_ptr<TLxMask> mask;
  int32_t count = -1;
  bool aborting = false;
  TLxFailureReason reason;
  TLxFailure code() const { return reason.Code; }
};

struct TiffLoadOptions {
  bool native = false;
  bool noAlpha = false;
  bool headerOnly = false;
  int32_t index = 0;
  int32_t subIndex = -1;
  bool autoOrient = false;
  uint64_t maxPixels = 0;
};

inline std::unique_ptr<TiffLoad> LoadTiff(const Bytes& file, TiffLoadOptions o = {}) {
  auto r = std::make_unique<TiffLoad>();
  r->params.IsNativePixelFormat = o.native;
  r->params.TiffImageIndex = o.index;
  r->params.TiffSubIndex = o.subIndex;
  r->params.TiffAutoOrient = o.autoOrient;
  TLxMemStream s(file.data(), int64_t(file.size()));
  ProgressRecord p;
  p.AbortingPtr = &r->aborting;
  p.ReasonPtr = &r->reason;
  p.MaxPixels = o.maxPixels;
  ReadTiffStream(r->bitmap, s, r->count, false, o.noAlpha, false, r->mask, o.headerOnly, p,
                 r->params);
  return r;
}

}  // namespace lumenax::test
