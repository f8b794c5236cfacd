// The DICOM group of the parameter record: the data elements of the last file read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumenax {

// One data element as the file holds it.
struct TLxDICOMTag {
  uint16_t Group = 0;
  uint16_t Element = 0;
  // Two characters, or empty.
  std::string VR;
  // The value length; 0 for an undefined length.
  uint32_t Length = 0;
  // The value's bytes followed by a zero byte; empty when the element has no value read.
  std::vector<uint8_t> Value;
};

// The elements of a data set in file order (pixel data excepted).
class TLxDICOMTags {
 public:
  void Clear() { tags_.clear(); }
  int Count() const { return int(tags_.size()); }
  const TLxDICOMTag& operator[](int i) const { return tags_[size_t(i)]; }
  void Add(TLxDICOMTag tag) { tags_.push_back(std::move(tag)); }
  // The first element of this tag, or null.
  const TLxDICOMTag* Find(uint16_t group, uint16_t element) const {
    for (const TLxDICOMTag& t : tags_)
      if (t.Group == group && t.Element == element) return &t;
    return nullptr;
  }

 private:
  std::vector<TLxDICOMTag> tags_;
};

// Whether elements of this VR hold text (printed with their value by `lumenax info`).
bool IsDicomTextVR(const std::string& vr);

struct DicomParams {
  TLxDICOMTags DicomTags;

  void SetDefaults() { DicomTags.Clear(); }
  void ResetInfo() { DicomTags.Clear(); }
  // The tag list is not a scalar field: `lumenax info` prints it separately.
  template <class V>
  static void DescribeFields(V&) {}
};

}  // namespace lumenax
