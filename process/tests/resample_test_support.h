// Small helpers of the resampling tests: 8-bit images in plain arrays, PNM files, bitmaps.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "bitmap/bitmap.h"

namespace lumenax {

// Samples row by row from the top-left; c = 1 (gray) or 3 (red, green, blue).
struct Image8 {
  int w = 0, h = 0, c = 0;
  std::vector<uint8_t> px;
  uint8_t& at(int x, int y, int ch) { return px[(size_t(y) * w + x) * c + ch]; }
  uint8_t at(int x, int y, int ch) const { return px[(size_t(y) * w + x) * c + ch]; }
};

struct Diff {
  double mean = 0;
  int max = 0;
};

// P5 and P6 files with a maximum of 255.
bool ReadPnm(const std::filesystem::path& path, Image8& out);
void WritePnm(const std::filesystem::path& path, const Image8& image);
// lx24RGB (as red, green, blue), lx8g and lx1g (0 and 255) bitmaps.
Image8 FromBitmap(TLxBitmap& bitmap);
// The alpha channel as a gray image.
Image8 AlphaOf(TLxBitmap& bitmap);
// Into an lx24RGB or lx8g bitmap.
void ToBitmap(const Image8& image, TLxBitmap& bitmap);
Image8 Crop(const Image8& image, int margin);
// Mean and largest absolute difference of the samples (sizes must agree).
Diff Compare(const Image8& a, const Image8& b);
// A deterministic picture: gradients, a fine pattern and noise.
Image8 PhotoLike(int w, int h, int channels, uint32_t seed);

}  // namespace lumenax

namespace lumenax {

// Plain transcriptions of the resampling rules, pixel by pixel, for exact comparisons.
// Nearest neighbour: source index trunc(i * (n / n')), at most n - 1.
Image8 RefNearest(const Image8& s, int w2, int h2);
// Fast linear, an axis of unchanged size copied.
Image8 RefFastLinear(const Image8& s, int w2, int h2);
// Projection into 0 / 255 (one channel); the last span of each axis reaches the last pixel.
Image8 RefProject(const Image8& s, int w2, int h2, bool whiteWins);
// The two-pass resampler with weights round(k * 256) (round(k * 256 * f) when reducing), as
// first written, before the finer weights.
Image8 RefKernel256(const Image8& s, int w2, int h2, int filter);
// The same with the kernel values as weights, in double.
Image8 RefKernelExact(const Image8& s, int w2, int h2, int filter);

}  // namespace lumenax
