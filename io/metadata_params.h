// Metadata groups of the parameter record that belong to no single codec: the IPTC records
// and the XMP packet. JPEG, TIFF and PSD readers fill them; their writers write them back.
#pragma once

#include <memory>
#include <string>

#include "bitmap/bitmap.h"
#include "bitmap/metadata.h"

namespace lumenax {

struct IptcParams {
  TLxIPTCInfoList IPTC_Info;

  void SetDefaults() { IPTC_Info.Clear(); }
  // IPTC_Info is a list, not a scalar: nothing for the command-line table.
  template <class V>
  static void DescribeFields(V&) {}
  void ResetInfo() { IPTC_Info.Clear(); }
  void AssignGroup(const IptcParams& source) { IPTC_Info.Assign(source.IPTC_Info); }
};

struct XmpParams {
  // The XMP packet as text (UTF-8).
  std::string XMP_Info;

  void SetDefaults() { XMP_Info.clear(); }
  template <class V>
  static void DescribeFields(V& v) {
    v("XMP_Info", &XmpParams::XMP_Info);
  }
  void ResetInfo() { XMP_Info.clear(); }
};

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

// The thumbnail a file carries besides its image (the Photoshop thumbnail resource): created
// by the reader that finds one, freed before every load.
struct ExifThumbnailParams {
  TLxOwnedBitmap ExifThumbnail;

  void SetDefaults() { ExifThumbnail.reset(); }
  // A bitmap, not a scalar: nothing for the command-line table.
  template <class V>
  static void DescribeFields(V&) {}
  void ResetInfo() { ExifThumbnail.reset(); }
};

}  // namespace lumenax
