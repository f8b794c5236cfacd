// GIF: registry row, content test, and the reader (with the animation composition) and writer
// as the I/O component calls them.
#include <memory>

#include "bitmap/mask.h"
#include "codecs/codec.h"
#include "codecs/gif/gif.h"
#include "io/params.h"

namespace lumenax {

namespace {

bool GifContentTest(TLxProbe& probe) {
  return probe.HeadIs(13, "GIF", 3);
}

void ReadGif(TLxReadArgs& a) {
  if (a.InfoOnly) {
    int32_t count = 0;
    std::unique_ptr<TLxMask> none;
    ReadGifStream(a.Stream, a.Bitmap, count, true, none, true, a.Progress, a.Params);
    return;
  }
  LoadGifComposed(a.Stream, a.Bitmap, a.Progress, a.Params);
}

void WriteGif(TLxWriteArgs& a) {
  WriteGifStream(a.Stream, a.Bitmap, a.Params, a.Progress);
}

}  // namespace

extern const TLxCodecDescriptor kGifCodec{
    .Type = ftGif,
    .Description = "CompuServe Bitmap",
    .Extensions = "GIF",
    .Readable = true,
    .Writable = true,
    .DialogPage = 16,
    .SaveExtensions = ".gif",
    .ContentTest = GifContentTest,
    .Read = ReadGif,
    .Write = WriteGif,
    // After a load the component's background is the transparent colour when the frame has
    // one, else the screen's background colour.
    .BackgroundFromParams =
        [](const TIOParamsVals& p) {
          return p.GifTransparent ? p.GifTransparentColor : p.GifBackgroundColor;
        },
};

}  // namespace lumenax
