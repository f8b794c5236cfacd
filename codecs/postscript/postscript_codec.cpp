// PostScript and PDF: registry rows of two write-only formats. The writers come with the
// PostScript/PDF codec.
#include "codecs/codec.h"

namespace lumenax {

extern const TLxCodecDescriptor kPsCodec{
    .Type = ftPs,
    .Description = "PostScript Level 2",
    .Extensions = "PS;EPS",
    .Writable = true,
    .SaveExtensions = ".ps;.eps",
    .Policy = {.ConvertTo24OnSave = true},
};

extern const TLxCodecDescriptor kPdfCodec{
    .Type = ftPdf,
    .Description = "Adobe PDF",
    .Extensions = "PDF",
    .Writable = true,
    .SaveExtensions = ".pdf",
    .Policy = {.ConvertTo24OnSave = true},
};

}  // namespace lumenax
