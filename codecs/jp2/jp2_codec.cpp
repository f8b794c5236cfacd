// JPEG 2000, as a JP2 file and as a bare code stream: registry rows, content tests, and the
// reader and writer as the I/O component calls them. One reader serves both forms (it goes by
// the signature); the writer is told the form.
#include "bitmap/mask.h"
#include "codecs/codec.h"
#include "codecs/jp2/jp2.h"
#include "io/params.h"

namespace lumenax {

namespace {

// The JP2 signature box: length 12, type "jP  ", contents CR LF 0x87 LF.
constexpr uint32_t kSignatureBoxLength = 12;
constexpr uint32_t kSignatureBoxType = 0x6A502020;
constexpr uint32_t kSignatureBoxContents = 0x0D0A870A;
// A code stream starts with SOC followed by SIZ.
constexpr uint16_t kMarkerSoc = 0xFF4F;
constexpr uint16_t kMarkerSiz = 0xFF51;

bool Jp2ContentTest(TLxProbe& probe) {
  uint8_t h[12];
  return probe.ReadAt(0, h, 12) && LoadU32BE(h) == kSignatureBoxLength &&
         LoadU32BE(h + 4) == kSignatureBoxType && LoadU32BE(h + 8) == kSignatureBoxContents;
}

bool J2kContentTest(TLxProbe& probe) {
  uint8_t h[4];
  return probe.ReadAt(0, h, 4) && LoadU16BE(h) == kMarkerSoc && LoadU16BE(h + 2) == kMarkerSiz;
}

void ReadJp2(TLxReadArgs& a) {
  ReadJp2Stream(a.Stream, a.Bitmap, a.Params, a.InfoOnly, a.AlphaMask, a.Progress);
}

void WriteJp2File(TLxWriteArgs& a) {
  WriteJp2Stream(a.Stream, a.Bitmap, a.Params, kJp2FormatFile, a.Progress);
}

void WriteJp2CodeStream(TLxWriteArgs& a) {
  WriteJp2Stream(a.Stream, a.Bitmap, a.Params, kJp2FormatCodeStream, a.Progress);
}

}  // namespace

extern const TLxCodecDescriptor kJp2Codec{
    .Type = ftJp2,
    .Description = "JPEG2000",
    .Extensions = "JP2",
    .Readable = true,
    .Writable = true,
    .DialogPage = 512,
    .SaveExtensions = ".jp2",
    .ContentTest = Jp2ContentTest,
    .Read = ReadJp2,
    .Write = WriteJp2File,
    // The writer takes 24-bit or bilevel pixels and reads the alpha channel itself.
    .Policy = {.ConvertTo24OnSave = true},
};

extern const TLxCodecDescriptor kJ2kCodec{
    .Type = ftJ2k,
    .Description = "JPEG2000 Code Stream",
    .Extensions = "J2K;JPC;J2C",
    .Readable = true,
    .Writable = true,
    .DialogPage = 512,
    .SaveExtensions = ".j2k;.jpc;.j2c",
    .ContentTest = J2kContentTest,
    .Read = ReadJp2,
    .Write = WriteJp2CodeStream,
    .Policy = {.ConvertTo24OnSave = true},
};

}  // namespace lumenax
