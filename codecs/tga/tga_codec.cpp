// Targa: registry row, content test, and the reader and writer as the I/O component calls them.
#include "bitmap/mask.h"
#include "codecs/codec.h"
#include "codecs/tga/tga.h"
#include "io/params.h"

namespace lumenax {

namespace {

// Targa has no signature: a header the reader accepts, with its ID, colour map and the least
// data its pixels can take inside the stream.
bool TgaContentTest(TLxProbe& probe) {
  if (probe.Stream().Seek(probe.Start(), soBeginning) != probe.Start()) return false;
  return TgaHeaderTest(probe.Stream());
}

void ReadTga(TLxReadArgs& a) {
  std::unique_ptr<TLxMask> unused;
  std::unique_ptr<TLxMask>& mask = a.AlphaMask ? *a.AlphaMask : unused;
  ReadTgaStream(a.Stream, a.Bitmap, a.Params, a.AlphaMask == nullptr, mask, a.InfoOnly, a.Progress);
}

void WriteTga(TLxWriteArgs& a) {
  WriteTgaStream(a.Stream, a.Bitmap, a.Params, a.AlphaMask, a.Progress);
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
    .Read = ReadTga,
    .Write = WriteTga,
    // The writer takes 24-bit or bilevel pixels and the alpha channel as a mask.
    .Policy = {.AlphaAsMaskOnSave = true, .ConvertTo24OnSave = true},
};

}  // namespace lumenax
