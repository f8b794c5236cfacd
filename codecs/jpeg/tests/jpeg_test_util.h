// Helpers of the JPEG tests: decoding through our reader, encoding odd streams with libjpeg
// directly, and reading what the peer programs write.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "codecs/jpeg/jpeg.h"
#include "io/params.h"

namespace lumenax::test {

using Bytes = std::vector<uint8_t>;

struct Decoded {
  TLxBitmap bitmap;
  TIOParamsVals params;
  bool aborting = false;
  TLxFailureReason reason;
  int32_t rows = 0;
};

// Reads bytes with ReadJpegStream; prepare runs on the record before the read.
std::unique_ptr<Decoded> Decode(const Bytes& bytes, TLxJpegReadOptions options = {},
                                void (*prepare)(TIOParamsVals&) = nullptr,
                                const Bytes* tables = nullptr);
// Writes the bitmap with WriteJpegStream and the given record.
Bytes Encode(TLxBitmap& bitmap, TIOParamsVals& params);

// Encodes samples with libjpeg directly: components interleaved per pixel, in the given
// colour space (JCS_UNKNOWN for odd component counts).
struct RawEncode {
  int width = 16, height = 16, components = 3;
  int inSpace = 2;    // J_COLOR_SPACE of the samples (JCS_RGB)
  int jpegSpace = 3;  // J_COLOR_SPACE of the file (JCS_YCbCr)
  bool progressive = false;
  int quality = 90;
  // Markers written after libjpeg's own (code, data).
  std::vector<std::pair<int, Bytes>> markers;
};
Bytes EncodeSamples(const RawEncode& how, const Bytes& samples);

// Splits a JPEG into a tables-only stream (its DQT and DHT segments) and an abbreviated image
// stream (everything else).
void SplitTables(const Bytes& jpeg, Bytes& tables, Bytes& image);
// Inserts a segment (marker code and data) at a byte offset (default: just after the
// start-of-image marker).
Bytes InsertSegment(const Bytes& jpeg, uint8_t code, const Bytes& data, size_t at = 2);

// A smooth test pattern, blue-green-red rows.
void FillPattern(TLxBitmap& bitmap, int seed = 0);

struct Pnm {
  int width = 0, height = 0, channels = 0;
  Bytes samples;  // rows top-down, red-green-blue or gray
};
bool ReadPnm(const std::filesystem::path& p, Pnm& out);
// Pixels of a bitmap as red-green-blue (3 channels) or gray (1), for comparisons with Pnm.
Bytes BitmapSamples(TLxBitmap& bitmap);

// Folder of the Go image test files, or empty.
std::filesystem::path GoTestData();

// Peak signal-to-noise ratio of two sample arrays of equal size.
double Psnr(const Bytes& a, const Bytes& b);

}  // namespace lumenax::test
