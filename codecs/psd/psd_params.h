// The Photoshop group of the parameter record.
#pragma once

namespace lumenax {

struct PsdParams {
  // Loads read the layers into an attached viewer (instead of the merged image).
  bool PsdLoadLayers = false;
  // Layers loaded into a viewer replace its layers instead of being added to them.
  bool PsdReplaceLayers = true;

  void SetDefaults() { *this = PsdParams{}; }
  template <class V>
  static void DescribeFields(V& v) {
    v("PsdLoadLayers", &PsdParams::PsdLoadLayers);
    v("PsdReplaceLayers", &PsdParams::PsdReplaceLayers);
  }
  void ResetInfo() {}
};

}  // namespace lumenax
