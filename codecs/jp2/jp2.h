// JPEG 2000 reader and writer (OpenJPEG), for JP2 files and bare code streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace lumenax {

class TStream;
class TLxBitmap;
class TLxMask;
class TIOParamsVals;
struct ProgressRecord;

// Forms of WriteJp2Stream.
constexpr int kJp2FormatFile = 0;        // a JP2 file
constexpr int kJp2FormatCodeStream = 1;  // a bare code stream

// Reads a JP2 file or a code stream (chosen by its signature) from the stream's position into
// an lx24RGB or lx1g bitmap. An opacity component comes back in *mask when mask is not null.
// Bad data set Aborting with a failure reason.
void ReadJp2Stream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool headerOnly,
                   std::unique_ptr<TLxMask>* mask, ProgressRecord& progress);

// Writes an lx24RGB or lx1g bitmap (and its alpha channel, for RGB) in the given form. Encoder
// and stream failures set Aborting with the reason.
void WriteJp2Stream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, int format,
                    ProgressRecord& progress);

// The samples of a JPEG 2000 code stream or JP2 file held in memory, every component brought to
// the image's full size (subsampled components repeated), as other formats embedding JPEG 2000
// data need them.
struct TLxJ2kSamples {
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t Components = 0;
  int32_t Precision = 0;  // of the first component
  bool Signed = false;    // of the first component
  // Components planes of Width x Height values, row by row.
  std::vector<int32_t> Planes;
};

// Decodes data; false with a failure reason set through progress. Images beyond
// progress.MaxPixels or maxPixels (when not 0) are refused before decoding.
bool DecodeJ2kSamples(const uint8_t* data, size_t size, TLxJ2kSamples& out,
                      ProgressRecord& progress);

}  // namespace lumenax
