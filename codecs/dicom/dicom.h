// DICOM reader (no writer): PS3.10 files and bare data sets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lumenax {

class TStream;
class TLxBitmap;
class TIOParamsVals;
struct ProgressRecord;

// Reads the data set at the stream's position into an lx8g, lx16g or lx24RGB bitmap and the
// record's DicomTags. Header-only reads stop at the pixel data. Bad or unsupported data set
// Aborting with a failure reason.
void ReadDicomStream(TStream& stream, TIOParamsVals& params, TLxBitmap& bitmap, bool headerOnly,
                     ProgressRecord& progress);

// Lossless JPEG (T.81 Annex H, Huffman coded): what the frame header must say.
struct TLxLosslessJpegFrame {
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t Components = 0;
  // Accepted precisions of the SOF (the data set's bits stored and bits allocated).
  int32_t Precision = 0;
  int32_t AltPrecision = 0;
};

enum class TLxLosslessResult {
  Ok,
  Truncated,  // the data ended early: the samples not reached are 0
  BadData,    // no SOF3, a frame that does not match, bad tables or codes
};

// Where decoded samples go: Row(y) is the storage of row y, Width x Components samples with
// the components interleaved. A row may be asked for more than once (once per scan); what the
// storage held before does not matter, samples no scan reaches are set to 0.
class TLxLosslessRows {
 public:
  virtual ~TLxLosslessRows() = default;
  virtual uint16_t* Row(int y) = 0;
};

// Decodes data into rows. Samples keep the point transform's shift.
TLxLosslessResult DecodeLosslessJpeg(std::span<const uint8_t> data,
                                     const TLxLosslessJpegFrame& frame, TLxLosslessRows& rows,
                                     const char** why);

// The same into out: Height rows of Width x Components samples; out is resized to that.
TLxLosslessResult DecodeLosslessJpeg(std::span<const uint8_t> data,
                                     const TLxLosslessJpegFrame& frame, std::vector<uint16_t>& out,
                                     const char** why);

}  // namespace lumenax
