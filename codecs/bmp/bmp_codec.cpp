// BMP: registry row, content test, and the reader and writer as the I/O component calls them.
#include "bitmap/mask.h"
#include "codecs/bmp/bmp.h"
#include "codecs/codec.h"
#include "io/params.h"

namespace lumenax {

namespace {

constexpr uint16_t kBmpSignature = 0x4D42;  // "BM"

bool BmpContentTest(TLxProbe& probe) {
  uint8_t h[2];
  return probe.Avail() > 14 && probe.ReadAt(0, h, 2) && LoadU16LE(h) == kBmpSignature;
}

// Without BmpKeepAlpha the fourth byte of 32-bit pixels is ignored; with it, it comes back as
// a mask that the load frame turns into the alpha channel.
void ReadBmp(TLxReadArgs& a) {
  std::unique_ptr<TLxMask> unused;
  std::unique_ptr<TLxMask>& mask = a.AlphaMask ? *a.AlphaMask : unused;
  ReadBMPStream(a.Stream, a.Bitmap, 0, !a.Params.BmpKeepAlpha, mask, false, a.InfoOnly,
                a.Progress, a.Params);
}

void WriteBmp(TLxWriteArgs& a) {
  WriteBMPStream(a.Stream, a.Bitmap, a.Params, a.Params.BmpKeepAlpha, a.Progress);
}

}  // namespace

extern const TLxCodecDescriptor kBmpCodec{
    .Type = ftBmp,
    .Description = "Windows Bitmap",
    .Extensions = "BMP;DIB;RLE",
    .Readable = true,
    .Writable = true,
    .DialogPage = 32,
    .SaveExtensions = ".bmp;.dib;.rle",
    .ContentTest = BmpContentTest,
    .Read = ReadBmp,
    .Write = WriteBmp,
    // The BMP file entry points open or create the file first and run their stream bodies on
    // it: a file that cannot be opened or created raises before any notification, and the
    // file is named after it.
    .Policy = {.OpenFileBeforeFrame = true,
               .CreateFileBeforeFrame = true,
               .NameAfterNotification = true},
};

}  // namespace lumenax
