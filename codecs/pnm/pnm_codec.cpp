// Portable anymaps (PBM, PGM, PPM): registry row, content test, reader and writer.
#include "codecs/codec.h"
#include "codecs/pnm/pnm.h"
#include "io/params.h"

namespace lumenax {

namespace {

// The header the reader accepts: "P1" to "P6", a positive width and height and, except for
// bitmaps, a maximum of 1 to 65535 (comments anywhere in between).
bool PxmContentTest(TLxProbe& probe) {
  if (probe.Stream().Seek(probe.Start(), soBeginning) != probe.Start()) return false;
  return PxmHeaderTest(probe.Stream());
}

void ReadPxm(TLxReadArgs& a) {
  ReadPxmStream(a.Stream, a.Bitmap, a.Params, a.InfoOnly, a.Progress);
}

void WritePxm(TLxWriteArgs& a) {
  WritePxmStream(a.Stream, a.Bitmap, a.Params, a.Progress);
}

}  // namespace

extern const TLxCodecDescriptor kPxmCodec{
    .Type = ftPxm,
    .Description = "Portable Pixmap, GrayMap, BitMap",
    .Extensions = "PXM;PPM;PGM;PBM",
    .Readable = true,
    .Writable = true,
    .SaveExtensions = ".pxm;.pbm;.pgm;.ppm",
    .ContentTest = PxmContentTest,
    .Read = ReadPxm,
    .Write = WritePxm,
};

}  // namespace lumenax
