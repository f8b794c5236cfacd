// PostScript and PDF: registry rows of two write-only formats and their writers.
#include "codecs/codec.h"
#include "codecs/postscript/postscript.h"

namespace lumenax {

namespace {

void WritePs(TLxWriteArgs& a) {
  WritePSStream(a.Stream, a.Bitmap, a.Params, a.Progress);
}

void WritePdf(TLxWriteArgs& a) {
  WritePDFStream(a.Stream, a.Bitmap, a.Params, a.Progress);
}

}  // namespace

extern const TLxCodecDescriptor kPsCodec{
    .Type = ftPs,
    .Description = "PostScript Level 2",
    .Extensions = "PS;EPS",
    .Writable = true,
    .SaveExtensions = ".ps;.eps",
    .Write = WritePs,
    .Policy = {.ConvertTo24OnSave = true},
};

extern const TLxCodecDescriptor kPdfCodec{
    .Type = ftPdf,
    .Description = "Adobe PDF",
    .Extensions = "PDF",
    .Writable = true,
    .SaveExtensions = ".pdf",
    .Write = WritePdf,
    .Policy = {.ConvertTo24OnSave = true},
};

}  // namespace lumenax
