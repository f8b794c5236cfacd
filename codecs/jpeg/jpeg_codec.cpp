// JPEG: registry row and content tests. The reader and writer come with the JPEG codec.
#include "codecs/codec.h"

namespace lumenax {

namespace {

bool JpegStreamHeaderTest(TLxProbe& probe) {
  return StreamHeaderIs(probe, "JFIF");
}

// A start-of-image marker followed by another marker within the first 100 bytes (files
// with a little junk before the image are common).
bool JpegContentTest(TLxProbe& probe) {
  uint8_t buf[102];
  int64_t got = probe.ReadSome(0, buf, sizeof buf);
  for (int64_t i = 0; i + 3 <= got && i < 100; ++i) {
    if (buf[i] == 0xFF && buf[i + 1] == 0xD8 && buf[i + 2] == 0xFF) return true;
  }
  return false;
}

}  // namespace

extern const TLxCodecDescriptor kJpegCodec{
    .Type = ftJpeg,
    .Description = "JPEG Bitmap",
    .Extensions = "JPG;JPEG;JPE;JIF",
    .Readable = true,
    .Writable = true,
    .DialogPage = 4,
    .SaveExtensions = ".jpg;.jpeg;.jpe;.jif",
    .StreamHeaderTest = JpegStreamHeaderTest,
    .ContentTest = JpegContentTest,
    .Policy = {.FileReadBuffer = 8192, .StreamHeader = {.Magic = "JFIF", .OptionalOnLoad = true}},
};

}  // namespace lumenax
