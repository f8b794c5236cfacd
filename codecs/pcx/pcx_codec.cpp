// PCX and multipage PCX (DCX): registry rows, content tests, and the readers and writers as
// the I/O component calls them.
#include "bitmap/mask.h"
#include "codecs/codec.h"
#include "codecs/pcx/pcx.h"
#include "codecs/pcx/pcx_format.h"
#include "io/params.h"

namespace lumenax {

namespace {

// The 12-byte "PCX2" stream header, or the 4-byte "PCX" one older streams carry.
bool PcxStreamHeaderTest(TLxProbe& probe) {
  return StreamHeaderIs(probe, "PCX2") || probe.HeadIs(4, "PCX\0", 4);
}

// A version up to 5 and a header the reader accepts.
bool PcxContentTest(TLxProbe& probe) {
  uint8_t h[2];
  if (probe.Avail() <= kPcxHeaderSize || !probe.ReadAt(0, h, 2) || h[1] > kPcxLastVersion)
    return false;
  probe.Stream().Seek(probe.Start(), soBeginning);
  return PcxHeaderTest(probe.Stream());
}

bool DcxContentTest(TLxProbe& probe) {
  probe.Stream().Seek(probe.Start(), soBeginning);
  return IsDcxStream(probe.Stream());
}

std::unique_ptr<TLxMask>& MaskSlot(TLxReadArgs& a, std::unique_ptr<TLxMask>& unused) {
  return a.AlphaMask ? *a.AlphaMask : unused;
}

// The reader gets what the stream holds from its position on.
void ReadPcx(TLxReadArgs& a) {
  std::unique_ptr<TLxMask> unused;
  ReadPcxStream(a.Stream, a.Bitmap, a.Params, a.InfoOnly, a.Progress,
                a.Stream.Size() - a.Stream.Position(), MaskSlot(a, unused));
}

void WritePcx(TLxWriteArgs& a) {
  WritePcxStream(a.Stream, a.Bitmap, a.Params, a.Progress);
}

void ReadDcx(TLxReadArgs& a) {
  std::unique_ptr<TLxMask> unused;
  ReadDcxStream(a.Stream, a.Bitmap, a.Params, a.InfoOnly, a.Progress, MaskSlot(a, unused));
}

void WriteDcx(TLxWriteArgs& a) {
  InsertDcxPage(a.Stream, a.Bitmap, a.Params, a.Progress);
}

}  // namespace

extern const TLxCodecDescriptor kPcxCodec{
    .Type = ftPcx,
    .Description = "PaintBrush",
    .Extensions = "PCX",
    .Readable = true,
    .Writable = true,
    .DialogPage = 64,
    .SaveExtensions = ".pcx",
    .StreamHeaderTest = PcxStreamHeaderTest,
    .ContentTest = PcxContentTest,
    .Read = ReadPcx,
    .Write = WritePcx,
    .Policy = {.ConvertTo24OnSave = true,
               .StreamHeader = {.Magic = "PCX2",
                                .AcceptsOldForm = true,
                                .WrittenOnlyOnSuccess = true}},
};

extern const TLxCodecDescriptor kDcxCodec{
    .Type = ftDcx,
    .Description = "Multipage PCX",
    .Extensions = "DCX",
    .Readable = true,
    .Writable = true,
    .SaveExtensions = ".dcx",
    .ContentTest = DcxContentTest,
    .Read = ReadDcx,
    .Write = WriteDcx,
    .Policy = {.ConvertTo24OnSave = true, .TruncateStreamOnSave = true},
};

}  // namespace lumenax
