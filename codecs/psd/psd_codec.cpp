// Photoshop: registry row and content test. The reader and writer come with the PSD codec.
#include <cstring>

#include "codecs/codec.h"

namespace lumenax {

namespace {

// "8BPS", version 1, then plausible channels (1..24), depth (1..16) and colour mode (< 10).
bool PsdContentTest(TLxProbe& probe) {
  uint8_t h[26];
  if (!probe.ReadAt(0, h, 26)) return false;
  if (std::memcmp(h, "8BPS", 4) != 0 || LoadU16BE(h + 4) != 1) return false;
  uint16_t channels = LoadU16BE(h + 12);
  uint16_t depth = LoadU16BE(h + 22);
  uint16_t mode = LoadU16BE(h + 24);
  return channels >= 1 && channels <= 24 && depth >= 1 && depth <= 16 && mode < 10;
}

}  // namespace

extern const TLxCodecDescriptor kPsdCodec{
    .Type = ftPsd,
    .Description = "Photoshop PSD",
    .Extensions = "PSD",
    .Readable = true,
    .Writable = true,
    .SaveExtensions = ".psd",
    .ContentTest = PsdContentTest,
};

}  // namespace lumenax
