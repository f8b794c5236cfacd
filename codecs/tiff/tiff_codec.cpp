// TIFF: registry row, content tests and the reader's and writer's entries.
#include <memory>
#include <optional>
#include <vector>

#include "bitmap/mask.h"
#include "codecs/codec.h"
#include "codecs/tiff/tiff.h"
#include "codecs/tiff/tiff_writer.h"

namespace lumenax {

namespace {

// Tags and values the content test looks at.
constexpr uint16_t kTagImageWidth = 256;
constexpr uint16_t kTagImageLength = 257;
constexpr uint16_t kTagPhotometric = 262;
constexpr uint16_t kTagSubIfds = 330;
constexpr uint16_t kTagEpStandardId = 37398;
constexpr uint16_t kTagDngVersion = 50706;
constexpr uint16_t kPhotometricCfa = 32803;
constexpr uint16_t kPhotometricLinearRaw = 34892;
constexpr uint16_t kTypeByte = 1;
constexpr uint16_t kTypeShort = 3;
constexpr uint16_t kTypeLong = 4;
// Camera-RAW files carry a small preview as their first directory.
constexpr uint32_t kPreviewSizeLimit = 200;

struct TiffEntry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  uint8_t value[4] = {};
};

struct TiffDirectory {
  bool bigEndian = false;
  std::vector<TiffEntry> entries;

  const TiffEntry* Find(uint16_t tag) const {
    for (const TiffEntry& e : entries) {
      if (e.tag == tag) return &e;
    }
    return nullptr;
  }
  uint16_t U16(const uint8_t* p) const { return bigEndian ? LoadU16BE(p) : LoadU16LE(p); }
  uint32_t U32(const uint8_t* p) const { return bigEndian ? LoadU32BE(p) : LoadU32LE(p); }
  // A SHORT or LONG value; nullopt for other types.
  std::optional<uint32_t> Value(const TiffEntry& e) const {
    if (e.type == kTypeShort) return U16(e.value);
    if (e.type == kTypeLong) return U32(e.value);
    return std::nullopt;
  }
};

// The first directory of a TIFF header at P, or nullopt when the header or the directory
// cannot be read.
std::optional<TiffDirectory> ReadTiffDirectory(TLxProbe& probe) {
  if (probe.Avail() <= 8) return std::nullopt;
  uint8_t head[9];
  if (!probe.ReadAt(0, head, 9)) return std::nullopt;
  TiffDirectory dir;
  if (head[0] == 'I' && head[1] == 'I') {
    dir.bigEndian = false;
  } else if (head[0] == 'M' && head[1] == 'M') {
    dir.bigEndian = true;
    // Big-endian files whose eighth byte is 0xBA are camera RAW of another layout.
    if (head[8] == 0xBA) return std::nullopt;
  } else {
    return std::nullopt;
  }
  uint32_t offset = dir.U32(head + 4);
  if (int64_t(offset) >= probe.Avail()) return std::nullopt;
  uint8_t countBytes[2];
  if (!probe.ReadAt(offset, countBytes, 2)) return std::nullopt;
  uint16_t count = dir.U16(countBytes);
  std::vector<uint8_t> raw(size_t(count) * 12);
  if (!probe.ReadAt(int64_t(offset) + 2, raw.data(), int64_t(raw.size()))) return std::nullopt;
  dir.entries.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = raw.data() + i * 12;
    dir.entries[i].tag = dir.U16(e);
    dir.entries[i].type = dir.U16(e + 2);
    dir.entries[i].count = dir.U32(e + 4);
    std::memcpy(dir.entries[i].value, e + 8, 4);
  }
  return dir;
}

// A first directory that belongs to a camera-RAW file rather than to an image of its own.
bool IsCameraRawDirectory(const TiffDirectory& dir) {
  if (const TiffEntry* e = dir.Find(kTagDngVersion); e && e->type == kTypeByte && e->count == 4)
    return true;
  if (const TiffEntry* e = dir.Find(kTagPhotometric); e && e->type == kTypeShort && e->count == 1) {
    uint16_t v = dir.U16(e->value);
    if (v == kPhotometricCfa || v == kPhotometricLinearRaw) return true;
  }
  if (dir.Find(kTagSubIfds) && dir.Find(kTagEpStandardId)) {
    const TiffEntry* w = dir.Find(kTagImageWidth);
    const TiffEntry* h = dir.Find(kTagImageLength);
    auto wv = w ? dir.Value(*w) : std::nullopt;
    auto hv = h ? dir.Value(*h) : std::nullopt;
    if (wv && hv && *wv < kPreviewSizeLimit && *hv < kPreviewSizeLimit) return true;
  }
  return false;
}

bool TiffStreamHeaderTest(TLxProbe& probe) {
  return StreamHeaderIs(probe, "TIFF");
}

bool TiffContentTest(TLxProbe& probe) {
  std::optional<TiffDirectory> dir = ReadTiffDirectory(probe);
  if (!dir || !dir->Find(kTagImageWidth) || !dir->Find(kTagImageLength)) return false;
  return !IsCameraRawDirectory(*dir);
}

void ReadTiff(TLxReadArgs& a) {
  std::unique_ptr<TLxMask> unused;
  std::unique_ptr<TLxMask>& mask = a.AlphaMask ? *a.AlphaMask : unused;
  int32_t count = 0;
  ReadTiffStream(a.Bitmap, a.Stream, count, false, a.AlphaMask == nullptr, false, mask, a.InfoOnly,
                 a.Progress, a.Params);
}

void WriteTiff(TLxWriteArgs& a) {
  WriteTiffStream(a.Stream, false, &a.Bitmap, a.Progress, a.Params);
}

}  // namespace

extern const TLxCodecDescriptor kTiffCodec{
    .Type = ftTiff,
    .Description = "TIFF Bitmap",
    .Extensions = "TIF;TIFF;FAX;G3N;G3F;XIF",
    .Readable = true,
    .Writable = true,
    .DialogPage = 8,
    .SaveExtensions = ".tif;.tiff;.fax;.g3f;.g3n",
    .StreamHeaderTest = TiffStreamHeaderTest,
    .ContentTest = TiffContentTest,
    .Read = ReadTiff,
    .Write = WriteTiff,
    .Policy = {.ReadBuffer = 8192, .StreamHeader = {.Magic = "TIFF"}},
};

}  // namespace lumenax
