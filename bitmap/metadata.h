// Metadata that travels from a reader to a writer without being interpreted: the comment and
// application markers of a JPEG file, IPTC-IIM records, and XMP packets as JPEG APP1 carries
// them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumenax {

// JPEG markers: code (0xE0..0xEF for APP0..APP15, 0xFE for a comment) and the marker's bytes
// without FF, code and length field. A marker holds at most 65,535 bytes.
class TLxMarkerList {
 public:
  int Count() const { return int(markers_.size()); }
  // Indices are not checked: callers stay within Count.
  uint8_t* MarkerData(int i) { return markers_[size_t(i)].data.data(); }
  const uint8_t* MarkerData(int i) const { return markers_[size_t(i)].data.data(); }
  uint8_t MarkerCode(int i) const { return markers_[size_t(i)].code; }
  int MarkerLength(int i) const { return int(markers_[size_t(i)].data.size()); }
  // First index with that code, or -1.
  int IndexOf(uint8_t code) const;
  // Appends length mod 65536 bytes of data (none for a negative length).
  void AddMarker(uint8_t code, const void* data, int length);
  // Replaces entry i (same length rule as AddMarker).
  void SetMarker(int i, uint8_t code, int length, const void* data);
  void DeleteMarker(int i);
  void Clear() { markers_.clear(); }
  // Clears this list and copies every marker of other in order; nothing when other is null.
  void Assign(const TLxMarkerList* other);
  // By marker code; APP2 "ICC_PROFILE" chunks by their sequence byte; then an "Exif" APP1
  // is moved ahead of the other APP1 markers. The order of equal codes is that of the
  // library's quicksort, which writers of existing files rely on.
  void Sort();

 private:
  struct Marker {
    uint8_t code = 0;
    std::vector<uint8_t> data;
  };
  int Compare(int i, int j) const;
  void QuickSort(int l, int r);
  static std::vector<uint8_t> Copy(const void* data, int length);
  std::vector<Marker> markers_;
};

// IPTC-IIM records (record number, dataset number, bytes), with the two byte forms in which
// files carry them: a Photoshop image-resource block (JPEG APP13) and a bare dataset stream
// (TIFF).
class TLxIPTCInfoList {
 public:
  int Count() const { return int(records_.size()); }
  // Indices are not checked: callers stay within Count.
  int32_t RecordNumber(int i) const { return records_[size_t(i)].record; }
  int32_t DatasetNumber(int i) const { return records_[size_t(i)].dataset; }
  int32_t RecordLength(int i) const { return int32_t(records_[size_t(i)].data.size()); }
  const uint8_t* RecordData(int i) const { return records_[size_t(i)].data.data(); }
  // Copies length bytes (none for a negative length); returns the new index.
  int AddRecord(int32_t record, int32_t dataset, int32_t length, const void* data);
  void Clear();
  // Clears and copies every record of other; UserChanged stays set.
  void Assign(const TLxIPTCInfoList& other);
  // The records in the Photoshop form ("Photoshop 3.0" resource 0x0404) or the bare form
  // (led by the record-version dataset 2:00). Empty when the list is empty.
  std::vector<uint8_t> SaveToBuffer(bool photoshopForm) const;
  // Reads the datasets of either form; malformed data end the scan and keep what was read.
  // True when at least one record was read. Clears UserChanged.
  bool LoadFromBuffer(const void* data, int64_t length);

  // Set by every change made through this list, cleared by LoadFromBuffer: writers tell from
  // it whether the records were edited since they were read.
  bool UserChanged = false;

 private:
  struct Record {
    int32_t record = 0;
    int32_t dataset = 0;
    std::vector<uint8_t> data;
  };
  std::vector<Record> records_;
};

// The namespace identifier that leads an XMP packet in a JPEG APP1 segment (28 characters).
inline constexpr std::string_view kXmpNamespace = "http://ns.adobe.com/xap/1.0/";

// The XMP text inside an APP1 block, or nullptr when the block is not XMP: at least 30 bytes
// whose first 24 equal those of the identifier; the text runs from after the first zero byte
// to the end of the block. textLength receives its length.
const char* IsXmpBlock(const void* data, int64_t length, int64_t* textLength = nullptr);
// The identifier, its terminating zero, then the text.
std::vector<uint8_t> BuildXmpBlock(std::string_view text);

}  // namespace lumenax
