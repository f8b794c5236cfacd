// What the PostScript and PDF writers share besides the text encoders: the layout check, and
// the JPEG, CCITT and LZW encoders of a whole image, which hand their data on as they go.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <vector>

#include "bitmap/stream.h"
#include "codecs/common/lzw_encoder.h"
#include "codecs/common/stream_buffer.h"
#include "codecs/jpeg/jpeg_params.h"

namespace lumenax {

class TLxBitmap;
class TIOParamsVals;
struct ProgressRecord;

// lx1g (1 bit, 1 sample) or lx24RGB (8 bits, 3 samples), stored into the record; any other
// layout, or an empty bitmap, fails as an unsupported variant. True when the image can be
// written.
bool TakeLayout(TLxBitmap& bitmap, TIOParamsVals& params, ProgressRecord& progress);

// Paper sizes below 1 point take the A4 defaults.
int32_t PaperSide(int32_t value, int32_t fallback);

// The image as a JPEG stream in the given colour space, with the record's JPEG settings and
// none of its markers, written to sink. False, with Aborting set, when the encoder fails.
bool WriteJpegData(TLxBitmap& bitmap, const TIOParamsVals& params, TLxJpegColorSpace space,
                   TStream& sink, ProgressRecord& progress);

enum class TLxFaxKind { Group4, Group3TwoD };

// The rows of a one-bit image as stored (set bits white) through a CCITT row encoder, padded
// with zero bytes to a multiple of four, handed to sink in pieces. False, with Aborting set,
// when it stops.
bool WriteFaxData(TLxBitmap& bitmap, TLxFaxKind kind, ProgressRecord& progress,
                  const std::function<void(const uint8_t*, size_t)>& sink);

// The LZW encoder hook of the record, else the library's default; null when there is none.
TTiffLzwEncoderHook LzwEncoder(const TIOParamsVals& params);

// The rows through the LZW encoder hook as one strip, written to sink; colour rows in red,
// green, blue order. False, with Aborting set, when it fails.
bool WriteLzwData(TLxBitmap& bitmap, TTiffLzwEncoderHook hook, TStream& sink,
                  ProgressRecord& progress);

// Red, green, blue samples of one lx24RGB row (stored blue, green, red).
void RowToRgb(const uint8_t* row, int width, uint8_t* out);

// The red, green and blue samples of one lx24RGB row, each channel on its own.
void RowToChannels(const uint8_t* row, int width, uint8_t* red, uint8_t* green, uint8_t* blue);

// A write-only stream that hands its bytes to a write buffer, for encoders that write to a
// stream; its position is the buffer's count.
class TLxWriteBufferStream : public TStream {
 public:
  explicit TLxWriteBufferStream(TLxWriteBuffer& out) : out_(out) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t, int) override { return out_.Count(); }

 private:
  TLxWriteBuffer& out_;
};

std::tm LocalNow();

}  // namespace lumenax
