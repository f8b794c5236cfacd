// Colour profiles carried by the parameter record. Readers that find an embedded ICC profile
// (JPEG APP2 chunks, TIFF and PNG tags) leave its bytes in the record's input profile; writers
// embed it again. The profile is kept as bytes: interpreting it belongs to colour management.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace lumenax {

class TLxICC {
 public:
  const std::vector<uint8_t>& Raw() const { return raw_; }
  bool IsEmpty() const { return raw_.empty(); }
  void LoadFromBuffer(const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    raw_.assign(p, p + length);
  }
  void LoadFromBuffer(std::vector<uint8_t> bytes) { raw_ = std::move(bytes); }
  void Clear() { raw_.clear(); }

 private:
  std::vector<uint8_t> raw_;
};

// The record's group for the profile embedded in the file last read: created on first use,
// freed before every load, copied (or dropped) by Assign.
struct IccProfileParams {
  // The profile, created empty when there is none yet.
  TLxICC& InputICCProfile() {
    if (!inputProfile_) inputProfile_ = std::make_unique<TLxICC>();
    return *inputProfile_;
  }
  // The profile when one exists, else nullptr (nothing is created).
  const TLxICC* InputICCProfileIfAny() const { return inputProfile_.get(); }
  // True when a profile with bytes is present.
  bool HasInputICCProfile() const { return inputProfile_ && !inputProfile_->IsEmpty(); }
  void FreeInputICCProfile() { inputProfile_.reset(); }

  void SetDefaults() { inputProfile_.reset(); }
  // Not a scalar: nothing for the command-line table.
  template <class V>
  static void DescribeFields(V&) {}
  void ResetInfo() { inputProfile_.reset(); }
  void AssignGroup(const IccProfileParams& source) {
    if (source.inputProfile_)
      InputICCProfile() = *source.inputProfile_;
    else
      inputProfile_.reset();
  }

 private:
  std::unique_ptr<TLxICC> inputProfile_;
};

}  // namespace lumenax
