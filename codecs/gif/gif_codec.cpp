// GIF: registry row and content test. The reader and writer come with the GIF codec.
#include "codecs/codec.h"

namespace lumenax {

namespace {

bool GifContentTest(TLxProbe& probe) {
  return probe.HeadIs(13, "GIF", 3);
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
};

}  // namespace lumenax
