// Icons and cursors: registry rows and content tests. The readers and the icon writer come
// with the icon codec.
#include <vector>

#include "codecs/codec.h"

namespace lumenax {

namespace {

constexpr uint16_t kResourceIcon = 1;
constexpr uint16_t kResourceCursor = 2;
constexpr int64_t kDirectoryEntrySize = 16;

// An icon directory of the resource type: reserved zero, the type, at least one entry, and
// entries whose reserved byte is zero, whose size is not zero and whose data start after
// the entry.
bool IconDirectoryTest(TLxProbe& probe, uint16_t resourceType) {
  if (probe.Avail() < 23) return false;
  uint8_t head[6];
  if (!probe.ReadAt(0, head, 6)) return false;
  uint16_t count = LoadU16LE(head + 4);
  if (LoadU16LE(head) != 0 || LoadU16LE(head + 2) != resourceType || count == 0) return false;
  std::vector<uint8_t> entries(size_t(count) * kDirectoryEntrySize);
  if (!probe.ReadAt(6, entries.data(), int64_t(entries.size()))) return false;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = entries.data() + i * kDirectoryEntrySize;
    int64_t after = 6 + int64_t(i + 1) * kDirectoryEntrySize;
    if (e[3] != 0 || LoadU32LE(e + 8) == 0 || int64_t(LoadU32LE(e + 12)) < after) return false;
  }
  return true;
}

bool IcoContentTest(TLxProbe& probe) {
  return IconDirectoryTest(probe, kResourceIcon);
}

bool CurContentTest(TLxProbe& probe) {
  return IconDirectoryTest(probe, kResourceCursor);
}

}  // namespace

extern const TLxCodecDescriptor kIcoCodec{
    .Type = ftIco,
    .Description = "Windows Icon",
    .Extensions = "ICO",
    .Readable = true,
    .Writable = true,
    .SaveExtensions = ".ico",
    .ContentTest = IcoContentTest,
    .Policy = {.ConvertTo24OnSave = true},
};

extern const TLxCodecDescriptor kCurCodec{
    .Type = ftCur,
    .Description = "Windows Cursor",
    .Extensions = "CUR",
    .Readable = true,
    .ContentTest = CurContentTest,
};

}  // namespace lumenax
