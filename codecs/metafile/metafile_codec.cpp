// Windows metafiles: registry rows and content tests. Metafiles are played by the platform's
// graphics system (LoadFromFileMetafile), not by a stream reader.
#include "codecs/codec.h"

namespace lumenax {

namespace {

// The key that starts a placeable metafile, whose 22-byte header precedes the metafile.
constexpr uint32_t kPlaceableKey = 0x9AC6CDD7;
constexpr int64_t kPlaceableHeaderSize = 22;
// Metafile header: type 1 (in memory) or 2 (on disk), header size 9 words, version.
constexpr uint16_t kMetafileInMemory = 1;
constexpr uint16_t kMetafileHeaderWords = 9;
// Enhanced metafile: the first record is the header (type 1) with the signature " EMF".
constexpr uint32_t kEmrHeader = 1;
constexpr uint32_t kEmfSignature = 0x464D4520;
constexpr int64_t kEmfSignatureOffset = 40;

bool WmfContentTest(TLxProbe& probe) {
  uint8_t head[20];
  if (!probe.ReadAt(0, head, 20)) return false;
  int64_t at = LoadU32LE(head) == kPlaceableKey ? kPlaceableHeaderSize : 0;
  uint8_t h[18];
  if (!probe.ReadAt(at, h, 18)) return false;
  return LoadU16LE(h) == kMetafileInMemory && LoadU16LE(h + 2) == kMetafileHeaderWords &&
         LoadU16LE(h + 16) == 0;
}

bool EmfContentTest(TLxProbe& probe) {
  uint8_t h[100];
  if (!probe.ReadAt(0, h, 100)) return false;
  return LoadU32LE(h) == kEmrHeader && LoadU32LE(h + kEmfSignatureOffset) == kEmfSignature;
}

}  // namespace

extern const TLxCodecDescriptor kWmfCodec{
    .Type = ftWmf,
    .Description = "Windows Metafile",
    .Extensions = "WMF",
    .Readable = true,
    .ContentTest = WmfContentTest,
    .LoadRoute = TLxLoadRoute::Metafile,
};

extern const TLxCodecDescriptor kEmfCodec{
    .Type = ftEmf,
    .Description = "Enhanced Windows Metafile",
    .Extensions = "EMF",
    .Readable = true,
    .ContentTest = EmfContentTest,
    .LoadRoute = TLxLoadRoute::Metafile,
};

}  // namespace lumenax
