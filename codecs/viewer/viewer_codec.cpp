// The viewer's own formats (vector objects, layers, both): registry rows and content tests.
// An attached viewer that can loads them; the library itself has no reader.
#include <cstring>

#include "codecs/codec.h"

namespace lumenax {

namespace {

constexpr char kLayersMagic[] = "LUMENAXLAYERS";
constexpr int64_t kLayersMagicLength = 13;

// "LXV" and a version byte from '1' to 'P'.
bool VectorObjectsAt(TLxProbe& probe, int64_t offset) {
  uint8_t h[4];
  if (!probe.ReadAt(offset, h, 4)) return false;
  return h[0] == 'L' && h[1] == 'X' && h[2] == 'V' && h[3] >= 0x31 && h[3] <= 0x50;
}

// The layers magic and a positive layer count.
bool LayersAt(TLxProbe& probe, int64_t offset) {
  uint8_t h[25];
  if (!probe.ReadAt(offset, h, 25)) return false;
  return std::memcmp(h, kLayersMagic, kLayersMagicLength) == 0 &&
         int32_t(LoadU32LE(h + kLayersMagicLength)) > 0;
}

bool VectObjectsContentTest(TLxProbe& probe) {
  return VectorObjectsAt(probe, 0);
}

bool LayersContentTest(TLxProbe& probe) {
  return LayersAt(probe, 0);
}

// A 32-bit offset, layers after it, and vector objects at the offset. The offset counts from
// the start of the stream, not from where the data start.
bool LayersAndObjectsContentTest(TLxProbe& probe) {
  uint8_t h[4];
  if (!probe.ReadAt(0, h, 4)) return false;
  int32_t n = int32_t(LoadU32LE(h));
  if (n > probe.Size()) return false;
  if (!LayersAt(probe, 4)) return false;
  uint8_t v[4];
  return probe.ReadAbs(n, v, 4) && v[0] == 'L' && v[1] == 'X' && v[2] == 'V' && v[3] >= 0x31 &&
         v[3] <= 0x50;
}

}  // namespace

extern const TLxCodecDescriptor kVectObjectsCodec{
    .Type = ftVectObjects,
    .Description = "Vectorial objects",
    .Extensions = "LXV",
    .Readable = true,
    .Writable = true,
    .ContentTest = VectObjectsContentTest,
    .LoadRoute = TLxLoadRoute::ViewerFile,
};

extern const TLxCodecDescriptor kLayersCodec{
    .Type = ftLayers,
    .Description = "Layers",
    .Extensions = "LYR",
    .Readable = true,
    .Writable = true,
    .ContentTest = LayersContentTest,
    .LoadRoute = TLxLoadRoute::ViewerFile,
};

extern const TLxCodecDescriptor kLayersAndObjectsCodec{
    .Type = ftLayersAndObjects,
    .Description = "Layers and objects",
    .Extensions = "ALL",
    .Readable = true,
    .Writable = true,
    .ContentTest = LayersAndObjectsContentTest,
    .LoadRoute = TLxLoadRoute::ViewerFile,
};

}  // namespace lumenax
