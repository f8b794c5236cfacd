// Video files: a frame of an AVI file can be asked for by name. There is no registry row;
// detection still recognises the container.
#include <cstring>

#include "codecs/codec.h"

namespace lumenax {

namespace {

bool AviContentTest(TLxProbe& probe) {
  uint8_t h[12];
  return probe.ReadAt(0, h, 12) && std::memcmp(h, "RIFF", 4) == 0 &&
         std::memcmp(h + 8, "AVI ", 4) == 0;
}

}  // namespace

extern const TLxCodecDescriptor kAviCodec{
    .Type = ftAvi,
    .Registered = false,
    .ContentTest = AviContentTest,
    .LoadRoute = TLxLoadRoute::Video,
};

}  // namespace lumenax
