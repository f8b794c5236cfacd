// JPEG reader and writer (libjpeg-turbo, 6b interface), and the helpers that find JPEG data
// embedded in other formats.
#pragma once

#include <cstdint>

#include "bitmap/errors.h"

namespace lumenax {

class TStream;
class TLxBitmap;
class TIOParamsVals;
struct ProgressRecord;

// Raised with libjpeg's message text. The reader catches it; the writer lets it pass.
class ELxJpegException : public ELxError {
 public:
  using ELxError::ELxError;
};

struct TLxJpegReadOptions {
  // Quantisation and Huffman tables for an abbreviated image stream (JPEG-compressed TIFF);
  // may be null or the image stream itself.
  TStream* TablesStream = nullptr;
  // Keep grayscale as lx8g and CMYK as lxCMYK instead of converting to lx24RGB.
  bool NativeLayout = false;
  // Rows to decode; negative: all.
  int32_t RowLimit = -1;
  // Collect an embedded ICC profile into the record's input profile.
  bool ReadIccProfile = true;
  // CMYK samples are stored as ink amounts (0 no ink): complement them.
  bool InvertCmyk = false;
  // Hand IPTC and XMP blocks over to the record.
  bool ReadMetadata = true;
  // Deliver Y, Cb, Cr bytes instead of converting to blue, green, red.
  bool RawYCbCr = false;
  // Fill the record from the header only; no pixels.
  bool HeaderOnly = false;
};

// Reads the JPEG image at the stream's position (within its first 100 bytes) into bitmap and
// fills params. Bad data set Aborting with a reason; the rows decoded before a fault stay in
// the bitmap. Returns the number of rows decoded. On success the stream is left just after
// the image's end marker.
int32_t ReadJpegStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                       const TLxJpegReadOptions& options, ProgressRecord& progress);
// The same with every option as an argument (tablesStream may be null).
inline int32_t ReadJpegStream(TStream& stream, TStream* tablesStream, TLxBitmap& bitmap,
                              bool nativeLayout, int32_t rowLimit, bool readIccProfile,
                              bool invertCmyk, bool readMetadata, bool rawYCbCr, bool headerOnly,
                              ProgressRecord& progress, TIOParamsVals& params) {
  return ReadJpegStream(stream, bitmap, params,
                        TLxJpegReadOptions{tablesStream, nativeLayout, rowLimit, readIccProfile,
                                           invertCmyk, readMetadata, rawYCbCr, headerOnly},
                        progress);
}

// Writes the bitmap as a JPEG stream with the record's JPEG settings and markers. An empty
// bitmap or a short write sets Aborting; libjpeg's errors set it and raise ELxJpegException.
void WriteJpegStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                     ProgressRecord& progress);
// The same; with inkCmyk, CMYK samples are stored as ink amounts (0 no ink), as TIFF keeps
// them, instead of the complemented form other JPEG files carry.
void WriteJpegStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                     ProgressRecord& progress, bool inkCmyk);

// Position of the first FF D8 FF at offsets 0..99 from the current position, or -1. The
// stream position is restored.
int64_t FindJpegStart(TStream& stream);

// Bytes from the current position to the end of the first end-of-image marker (or to the end
// of the stream). The stream position is restored.
int64_t JpegStreamLength(TStream& stream);

// Replaces the IPTC and XMP markers of the record's marker list with the record's IPTC
// records and XMP text (what a save writes when those were read or edited).
void RefreshJpegMetadataMarkers(TIOParamsVals& params);

}  // namespace lumenax
