#include "bitmap/metadata.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace lumenax {

// ============================================================ TLxMarkerList

std::vector<uint8_t> TLxMarkerList::Copy(const void* data, int length) {
  int n = length <= 0 ? 0 : length % 65536;
  if (n == 0 || !data) return {};
  const auto* p = static_cast<const uint8_t*>(data);
  return std::vector<uint8_t>(p, p + n);
}

int TLxMarkerList::IndexOf(uint8_t code) const {
  for (size_t i = 0; i < markers_.size(); ++i) {
    if (markers_[i].code == code) return int(i);
  }
  return -1;
}

void TLxMarkerList::AddMarker(uint8_t code, const void* data, int length) {
  markers_.push_back(Marker{code, Copy(data, length)});
}

void TLxMarkerList::SetMarker(int i, uint8_t code, int length, const void* data) {
  markers_[size_t(i)] = Marker{code, Copy(data, length)};
}

void TLxMarkerList::DeleteMarker(int i) {
  markers_.erase(markers_.begin() + i);
}

void TLxMarkerList::Assign(const TLxMarkerList* other) {
  if (!other || other == this) return;
  markers_ = other->markers_;
}

namespace {

// The data read as a zero-terminated string equal text (the data may end without the zero).
bool DataIsString(const std::vector<uint8_t>& data, std::string_view text) {
  if (data.size() < text.size()) return false;
  if (std::memcmp(data.data(), text.data(), text.size()) != 0) return false;
  return data.size() == text.size() || data[text.size()] == 0;
}

}  // namespace

int TLxMarkerList::Compare(int i, int j) const {
  const Marker& a = markers_[size_t(i)];
  const Marker& b = markers_[size_t(j)];
  if (a.code == 0xE2 && b.code == 0xE2 && a.data.size() > 13 && b.data.size() > 13 &&
      DataIsString(a.data, "ICC_PROFILE") && DataIsString(b.data, "ICC_PROFILE")) {
    return int(a.data[12]) - int(b.data[12]);
  }
  return int(a.code) - int(b.code);
}

void TLxMarkerList::QuickSort(int l, int r) {
  int i;
  do {
    i = l;
    int j = r, p = (l + r) / 2;
    do {
      while (Compare(i, p) < 0) ++i;
      while (Compare(j, p) > 0) --j;
      if (i <= j) {
        if (i == p)
          p = j;
        else if (j == p)
          p = i;
        std::swap(markers_[size_t(i)], markers_[size_t(j)]);
        ++i;
        --j;
      }
    } while (i <= j);
    if (l < j) QuickSort(l, j);
    l = i;
  } while (i < r);
}

void TLxMarkerList::Sort() {
  if (!markers_.empty()) QuickSort(0, Count() - 1);
  int first = IndexOf(0xE1);
  if (first < 0) return;
  for (int j = first + 1; j < Count(); ++j) {
    if (markers_[size_t(j)].code == 0xE1 && DataIsString(markers_[size_t(j)].data, "Exif")) {
      std::swap(markers_[size_t(first)], markers_[size_t(j)]);
    }
  }
}

// ============================================================ TLxIPTCInfoList

int TLxIPTCInfoList::AddRecord(int32_t record, int32_t dataset, int32_t length, const void* data) {
  Record r{record, dataset, {}};
  if (length > 0 && data) {
    const auto* p = static_cast<const uint8_t*>(data);
    r.data.assign(p, p + length);
  }
  records_.push_back(std::move(r));
  UserChanged = true;
  return Count() - 1;
}

void TLxIPTCInfoList::Clear() {
  records_.clear();
  UserChanged = true;
}

void TLxIPTCInfoList::Assign(const TLxIPTCInfoList& other) {
  if (&other == this) return;
  records_ = other.records_;
  UserChanged = true;
}

namespace {

constexpr uint8_t kPhotoshopHeader[26] = {'P',  'h',  'o', 't', 'o', 's', 'h', 'o', 'p',
                                          ' ',  '3',  '.', '0', 0,   '8', 'B', 'I', 'M',
                                          0x04, 0x04, 0,   0,   0,   0,   0,   0};
constexpr uint8_t kBareHeader[7] = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x02};

void PutBE32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

}  // namespace

std::vector<uint8_t> TLxIPTCInfoList::SaveToBuffer(bool photoshopForm) const {
  std::vector<uint8_t> out;
  if (records_.empty()) return out;
  if (photoshopForm)
    out.assign(std::begin(kPhotoshopHeader), std::end(kPhotoshopHeader));
  else
    out.assign(std::begin(kBareHeader), std::end(kBareHeader));
  uint32_t total = 0;
  for (const Record& r : records_) {
    if ((r.record == 2 && r.dataset == 0) || r.data.empty()) continue;
    out.push_back(0x1C);
    out.push_back(uint8_t(r.record));
    out.push_back(uint8_t(r.dataset));
    size_t n = r.data.size();
    uint32_t header = 5;
    if (n < 32768) {
      out.push_back(uint8_t(n >> 8));
      out.push_back(uint8_t(n));
    } else {
      uint8_t ext[6] = {0x80, 0x04};
      PutBE32(ext + 2, uint32_t(n));
      out.insert(out.end(), ext, ext + 6);
      header = 9;
    }
    out.insert(out.end(), r.data.begin(), r.data.end());
    total += header + uint32_t(n);
  }
  if (out.size() % 2 != 0) out.push_back(0);
  if (photoshopForm) PutBE32(out.data() + 22, total);
  return out;
}

bool TLxIPTCInfoList::LoadFromBuffer(const void* data, int64_t length) {
  Clear();
  if (length <= 0 || !data) return false;
  const auto* p = static_cast<const uint8_t*>(data);
  int64_t pos = 0;
  bool atData = false;
  if (length >= 13 && std::memcmp(p, "Photoshop 3.0", 13) == 0) {
    static constexpr uint8_t kResource[6] = {'8', 'B', 'I', 'M', 0x04, 0x04};
    pos = length;
    for (int64_t i = 0; i + 6 <= length; ++i) {
      if (std::memcmp(p + i, kResource, 6) == 0) {
        pos = i + 6;
        // Step over the resource's name (a length byte and the text, padded to an even
        // size) and its 4-byte data size: a size with a 0x1C byte inside must not be taken
        // for the first dataset.
        if (pos < length) {
          int64_t data = pos + ((1 + int64_t(p[pos]) + 1) & ~int64_t(1)) + 4;
          if (data <= length) {
            pos = data;
            atData = true;
          }
        }
        break;
      }
    }
  }
  // Data that do not begin with a dataset are searched like a block without a resource.
  if (atData && pos < length && p[pos] != 0x1C) atData = false;
  if (!atData) {
    while (pos < length && p[pos] != 0x1C) ++pos;
    // A resource size whose last byte is 0x1C stands right before the first dataset.
    while (pos + 1 < length && p[pos + 1] == 0x1C) ++pos;
  }
  while (pos < length) {
    if (p[pos] != 0x1C || pos + 5 > length) break;
    int32_t record = p[pos + 1];
    int32_t dataset = p[pos + 2];
    int64_t size;
    int64_t header;
    if (p[pos + 3] & 0x80) {
      if (pos + 9 > length) break;
      int32_t v = int32_t(uint32_t(p[pos + 5]) << 24 | uint32_t(p[pos + 6]) << 16 |
                          uint32_t(p[pos + 7]) << 8 | uint32_t(p[pos + 8]));
      size = std::llabs(int64_t(v));
      header = 9;
    } else {
      size = int64_t(p[pos + 3]) << 8 | p[pos + 4];
      header = 5;
    }
    if (pos + header + size > length) break;
    AddRecord(record, dataset, int32_t(size), p + pos + header);
    pos += header + size;
  }
  UserChanged = false;
  return !records_.empty();
}

// ============================================================ XMP

const char* IsXmpBlock(const void* data, int64_t length, int64_t* textLength) {
  if (!data || length < 30) return nullptr;
  const auto* p = static_cast<const char*>(data);
  if (std::memcmp(p, kXmpNamespace.data(), 24) != 0) return nullptr;
  const void* zero = std::memchr(p, 0, size_t(length));
  if (!zero) return nullptr;
  const char* text = static_cast<const char*>(zero) + 1;
  if (textLength) *textLength = length - (text - p);
  return text;
}

std::vector<uint8_t> BuildXmpBlock(std::string_view text) {
  std::vector<uint8_t> out(kXmpNamespace.begin(), kXmpNamespace.end());
  out.push_back(0);
  out.insert(out.end(), text.begin(), text.end());
  return out;
}

}  // namespace lumenax
