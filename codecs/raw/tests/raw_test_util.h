// Helpers of the camera-RAW tests: minimal DNG files written from scratch, netpbm files as
// LibRaw's sample converter and dcraw write them, and the bitmap as samples.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace lumenax {
class TLxBitmap;
}

namespace lumenax::test {

// A DNG of width x height 16-bit samples behind an RGGB colour filter (uncompressed, one
// strip), with the tags a raw converter needs: DNGVersion, CFA pattern, ColorMatrix1 and
// AsShotNeutral. orientation is the TIFF Orientation tag (1: as stored). The sensor shows
// smooth gradients, different in each colour, all below 75% of the white level (LibRaw, unlike
// dcraw, takes a brighter data peak as the white level).
std::vector<uint8_t> MakeDng(int width, int height, int orientation = 1);

// Samples of a binary PPM (maxval 255 or 65535), red, green, blue in reading order.
struct PpmImage {
  int width = 0;
  int height = 0;
  int maxval = 0;
  std::vector<uint16_t> samples;
};
bool ReadPpm(const std::filesystem::path& p, PpmImage& out);

// The bitmap's pixels (lx24RGB or lxRGB48) as red, green, blue samples in reading order.
std::vector<uint16_t> BitmapSamples(TLxBitmap& bitmap);

// Mean and largest absolute difference of two sample lists of the same length.
struct SampleDifference {
  double mean = 0;
  int largest = 0;
};
SampleDifference Compare(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b);

}  // namespace lumenax::test
