// Metadata groups of the parameter record that belong to no single codec: the IPTC records
// and the XMP packet. JPEG, TIFF and PSD readers fill them; their writers write them back.
#pragma once

#include <string>

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

}  // namespace lumenax
