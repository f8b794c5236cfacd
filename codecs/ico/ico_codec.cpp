// Icons and cursors: registry rows, content tests, and the readers and the icon writer as
// the I/O component calls them.
#include <vector>

#include "bitmap/mask.h"
#include "codecs/codec.h"
#include "codecs/ico/ico.h"
#include "codecs/ico/ico_format.h"
#include "io/params.h"

namespace lumenax {

namespace {

constexpr int64_t kDirectoryEntrySize = kIcoEntrySize;

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
  return IconDirectoryTest(probe, kIcoResourceIcon);
}

bool CurContentTest(TLxProbe& probe) {
  return IconDirectoryTest(probe, kIcoResourceCursor);
}

// The mask the readers return becomes the alpha channel in the load frame.
void ReadIco(TLxReadArgs& a) {
  std::unique_ptr<TLxMask> unused;
  ReadIcoStream(a.Stream, a.Bitmap, a.Params, false, a.AlphaMask ? *a.AlphaMask : unused,
                a.Progress, a.InfoOnly);
}

void ReadCur(TLxReadArgs& a) {
  std::unique_ptr<TLxMask> unused;
  ReadCurStream(a.Stream, a.Bitmap, a.Params, false, a.AlphaMask ? *a.AlphaMask : unused,
                a.Progress, a.InfoOnly);
}

// One image for each leading size of IcoSizes whose width is above 0, with the bit count of
// the same place in IcoBitCounts.
void WriteIco(TLxWriteArgs& a) {
  const size_t n = size_t(a.Params.IcoSizeCount());
  WriteIcoStream(a.Stream, a.Bitmap, a.Params,
                 std::span<const int32_t>(a.Params.IcoBitCounts.data(), n),
                 std::span<const TIcoSize>(a.Params.IcoSizes.data(), n), a.Progress);
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
    .Read = ReadIco,
    .Write = WriteIco,
    .Policy = {.ConvertTo24OnSave = true},
};

extern const TLxCodecDescriptor kCurCodec{
    .Type = ftCur,
    .Description = "Windows Cursor",
    .Extensions = "CUR",
    .Readable = true,
    .ContentTest = CurContentTest,
    .Read = ReadCur,
};

}  // namespace lumenax
