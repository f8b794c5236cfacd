// Targa: registry row and content test. The reader and writer come with the Targa codec.
#include "codecs/codec.h"

namespace lumenax {

namespace {

// Image types: colour-mapped, true-colour, gray, each plain or run-length encoded.
bool IsTargaImageType(uint8_t t) {
  return t == 1 || t == 2 || t == 3 || t == 9 || t == 10 || t == 11;
}

bool IsTargaDepth(uint8_t bits) {
  return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// Targa has no signature: a plausible header (image type, depth, colour-map flag, size).
bool TgaContentTest(TLxProbe& probe) {
  uint8_t h[18];
  if (!probe.ReadAt(0, h, 18)) return false;
  return IsTargaImageType(h[2]) && IsTargaDepth(h[16]) && h[1] <= 1 && LoadU16LE(h + 12) != 0 &&
         LoadU16LE(h + 14) != 0;
}

}  // namespace

extern const TLxCodecDescriptor kTgaCodec{
    .Type = ftTga,
    .Description = "Targa Bitmap",
    .Extensions = "TGA;TARGA;VDA;ICB;VST;PIX",
    .Readable = true,
    .Writable = true,
    .DialogPage = 256,
    .SaveExtensions = ".tga;.targa;.vda;.icb;.vst;.win",
    .ContentTest = TgaContentTest,
    .Policy = {.AlphaAsMaskOnSave = true},
};

}  // namespace lumenax
