// IPTC records and XMP blocks from hostile bytes: reading never leaves the buffer, and what
// was read writes back and reads again to the same records.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bitmap/metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lumenax::TLxIPTCInfoList list;
  list.LoadFromBuffer(data, int64_t(size));
  for (bool photoshop : {true, false}) {
    std::vector<uint8_t> saved = list.SaveToBuffer(photoshop);
    lumenax::TLxIPTCInfoList back;
    back.LoadFromBuffer(saved.data(), int64_t(saved.size()));
    // Record 2:00 and empty records are not written; every other record comes back.
    int j = 0;
    for (int i = 0; i < list.Count(); ++i) {
      if ((list.RecordNumber(i) == 2 && list.DatasetNumber(i) == 0) || list.RecordLength(i) == 0)
        continue;
      while (j < back.Count() && back.RecordNumber(j) == 2 && back.DatasetNumber(j) == 0) ++j;
      if (j >= back.Count() || back.RecordLength(j) != list.RecordLength(i) ||
          std::memcmp(back.RecordData(j), list.RecordData(i), size_t(list.RecordLength(i))) != 0)
        std::abort();
      ++j;
    }
  }
  int64_t n = 0;
  if (const char* text = lumenax::IsXmpBlock(data, int64_t(size), &n)) {
    if (text < reinterpret_cast<const char*>(data) || n < 0 ||
        text + n != reinterpret_cast<const char*>(data) + size)
      std::abort();
  }
  return 0;
}
