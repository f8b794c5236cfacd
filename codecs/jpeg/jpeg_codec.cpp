// JPEG: registry row, content tests, and the reader and writer as the I/O component calls
// them.
#include <cstdio>

#include "codecs/codec.h"
#include "codecs/jpeg/jpeg.h"
#include "codecs/tiff/exif.h"
#include "io/params.h"

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

// Loads (and header-only reads) run the whole reader: ICC profile, IPTC and XMP included.
void ReadJpeg(TLxReadArgs& a) {
  TLxJpegReadOptions options;
  options.NativeLayout = a.Params.IsNativePixelFormat;
  options.HeaderOnly = a.InfoOnly;
  ReadJpegStream(a.Stream, a.Bitmap, a.Params, options, a.Progress);
}

void WriteJpeg(TLxWriteArgs& a) {
  RefreshJpegMetadataMarkers(a.Params);
  WriteJpegStream(a.Stream, a.Bitmap, a.Params, a.Progress);
}

}  // namespace

std::string Format(const TLxMarkerList& markers) {
  std::string out;
  char pair[16];
  for (int i = 0; i < markers.Count(); ++i) {
    std::snprintf(pair, sizeof pair, "%s%02X:%04X", i ? " " : "", markers.MarkerCode(i),
                  unsigned(markers.MarkerLength(i)));
    out += pair;
  }
  return out;
}

void RefreshJpegMetadataMarkers(TIOParamsVals& params) {
  TLxMarkerList& markers = params.JpegMarkers;
  constexpr uint8_t kApp1 = 0xE1, kApp13 = 0xED;
  // IPTC records: when edited, or when there are records but no markers at all (the image
  // did not come from a JPEG file).
  if (params.IPTC_Info.UserChanged || (params.IPTC_Info.Count() > 0 && markers.Count() == 0)) {
    std::vector<uint8_t> block = params.IPTC_Info.SaveToBuffer(true);
    const int at = markers.IndexOf(kApp13);
    if (!block.empty()) {
      if (at >= 0)
        markers.SetMarker(at, kApp13, int(block.size()), block.data());
      else
        markers.AddMarker(kApp13, block.data(), int(block.size()));
    } else if (at >= 0) {
      markers.DeleteMarker(at);
    }
  }
  // EXIF: the group replaces the file's block.
  if (params.ExifPresent) {
    std::vector<uint8_t> block = BuildExifBlock(params);
    if (!block.empty()) {
      for (int i = 0; i < markers.Count(); ++i) {
        if (markers.MarkerCode(i) == kApp1 &&
            IsExifBlock(markers.MarkerData(i), size_t(markers.MarkerLength(i)))) {
          markers.DeleteMarker(i);
          break;
        }
      }
      markers.AddMarker(kApp1, block.data(), int(block.size()));
    }
  }
  // XMP: the record's text replaces the file's packet.
  if (!params.XMP_Info.empty()) {
    for (int i = 0; i < markers.Count(); ++i) {
      if (markers.MarkerCode(i) == kApp1 &&
          IsXmpBlock(markers.MarkerData(i), markers.MarkerLength(i))) {
        markers.DeleteMarker(i);
        break;
      }
    }
    std::vector<uint8_t> block = BuildXmpBlock(params.XMP_Info);
    markers.AddMarker(kApp1, block.data(), int(block.size()));
  }
}

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
    .Read = ReadJpeg,
    .Write = WriteJpeg,
    // Saves hand the writer 24-bit pixels unless the image is bilevel; file loads read
    // through a buffer; a "JFIF" stream header is looked for on every stream load.
    .Policy = {.ConvertTo24OnSave = true,
               .FileReadBuffer = 8192,
               .StreamHeader = {.Magic = "JFIF", .OptionalOnLoad = true}},
};

}  // namespace lumenax
