// PNG: registry row, content test, and the reader and writer as the I/O component calls them.
#include <cstring>

#include "codecs/codec.h"
#include "codecs/png/png.h"
#include "io/params.h"

namespace lumenax {

namespace {

bool PngContentTest(TLxProbe& probe) {
  uint8_t h[4];
  return probe.Avail() > 8 && probe.ReadAt(0, h, 4) && h[0] == 0x89 &&
         std::memcmp(h + 1, "PNG", 3) == 0;
}

void ReadPng(TLxReadArgs& a) {
  ReadPNGStream(a.Stream, a.Bitmap, a.Params, a.InfoOnly, a.Progress);
}

void WritePng(TLxWriteArgs& a) {
  WritePNGStream(a.Stream, a.Bitmap, a.Params, a.AlphaMask, a.Progress);
}

}  // namespace

extern const TLxCodecDescriptor kPngCodec{
    .Type = ftPng,
    .Description = "Portable Network Graphics",
    .Extensions = "PNG",
    .Readable = true,
    .Writable = true,
    .DialogPage = 128,
    .SaveExtensions = ".png",
    .ContentTest = PngContentTest,
    .Read = ReadPng,
    .Write = WritePng,
    // The writer stores the alpha channel as the image's alpha samples.
    .Policy = {.AlphaAsMaskOnSave = true},
    // A file load starts from the component's background, which a bKGD chunk replaces; after
    // any load the component's background is what the record then holds.
    .BackgroundToParams = [](TIOParamsVals& p, TRGB c) { p.PngBackground = c; },
    .BackgroundFromParams = [](const TIOParamsVals& p) { return p.PngBackground; },
};

}  // namespace lumenax
