// The portable anymap group of the parameter record.
#pragma once

#include <string>
#include <vector>

namespace lumenax {

struct PxmParams {
  // Comment lines of the header, without their "#"; written back as comment lines.
  std::vector<std::string> PxmComments;

  void SetDefaults() { *this = PxmParams{}; }
  // The fields by name, for the command-line table.
  template <class V>
  static void DescribeFields(V& v) {
    v("PxmComments", &PxmParams::PxmComments);
  }
  void ResetInfo() { PxmComments.clear(); }
};

}  // namespace lumenax
