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

// The thumbnail a file carries besides its image (EXIF thumbnail, the Photoshop thumbnail
// resource): created by the reader that finds one, freed before every load.
struct ExifThumbnailParams {
  std::unique_ptr<TLxBitmap> ExifThumbnail;

  void SetDefaults() { ExifThumbnail.reset(); }
  // A bitmap, not a scalar: nothing for the command-line table.
  template <class V>
  static void DescribeFields(V&) {}
  void ResetInfo() { ExifThumbnail.reset(); }
  void AssignGroup(const ExifThumbnailParams& source) {
    if (!source.ExifThumbnail) {
      ExifThumbnail.reset();
      return;
    }
    if (!ExifThumbnail) ExifThumbnail = std::make_unique<TLxBitmap>();
    ExifThumbnail->Assign(*source.ExifThumbnail);
  }
};

}  // namespace lumenax
