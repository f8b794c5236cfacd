// PCX and multipage PCX (DCX): registry rows and content tests. The readers and writers come
// with the PCX codec.
#include "codecs/codec.h"

namespace lumenax {

namespace {

constexpr uint8_t kPcxManufacturer = 0x0A;
constexpr uint8_t kPcxLastVersion = 5;
constexpr uint32_t kDcxMagic = 0x3ADE68B1;
constexpr int kDcxMaxPages = 1024;

// The 12-byte "PCX2" stream header, or the 4-byte "PCX" one older streams carry.
bool PcxStreamHeaderTest(TLxProbe& probe) {
  return StreamHeaderIs(probe, "PCX2") || probe.HeadIs(4, "PCX\0", 4);
}

bool PcxContentTest(TLxProbe& probe) {
  uint8_t h[2];
  return probe.Avail() > 128 && probe.ReadAt(0, h, 2) && h[0] == kPcxManufacturer &&
         h[1] <= kPcxLastVersion;
}

// The magic and a page table whose offsets all lie inside the data, ended by a zero.
bool DcxContentTest(TLxProbe& probe) {
  uint8_t word[4];
  if (!probe.ReadAt(0, word, 4) || LoadU32LE(word) != kDcxMagic) return false;
  for (int i = 0; i < kDcxMaxPages; ++i) {
    if (!probe.ReadAt(4 + int64_t(i) * 4, word, 4)) return false;
    uint32_t offset = LoadU32LE(word);
    if (offset == 0) return true;
    if (int64_t(offset) >= probe.Avail()) return false;
  }
  return true;
}

}  // namespace

extern const TLxCodecDescriptor kPcxCodec{
    .Type = ftPcx,
    .Description = "PaintBrush",
    .Extensions = "PCX",
    .Readable = true,
    .Writable = true,
    .DialogPage = 64,
    .SaveExtensions = ".pcx",
    .StreamHeaderTest = PcxStreamHeaderTest,
    .ContentTest = PcxContentTest,
    .Policy = {.ConvertTo24OnSave = true,
               .StreamHeader = {.Magic = "PCX2", .AcceptsOldForm = true, .WrittenOnlyOnSuccess = true}},
};

extern const TLxCodecDescriptor kDcxCodec{
    .Type = ftDcx,
    .Description = "Multipage PCX",
    .Extensions = "DCX",
    .Readable = true,
    .Writable = true,
    .SaveExtensions = ".dcx",
    .ContentTest = DcxContentTest,
    .Policy = {.TruncateStreamOnSave = true},
};

}  // namespace lumenax
