// Helpers of the BMP tests: building small files byte by byte, and loading and saving the
// way the I/O component does (a returned alpha mask becomes the alpha channel).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/bmp/bmp.h"
#include "io/params.h"

namespace lumenax::test {

// Little-endian byte assembly.
struct Bytes {
  std::vector<uint8_t> v;
  Bytes& u8(uint32_t x) {
    v.push_back(uint8_t(x));
    return *this;
  }
  Bytes& u16(uint32_t x) { return u8(x).u8(x >> 8); }
  Bytes& u32(uint32_t x) { return u16(x & 0xFFFF).u16(x >> 16); }
  Bytes& raw(const std::vector<uint8_t>& b) {
    v.insert(v.end(), b.begin(), b.end());
    return *this;
  }
  Bytes& zeros(size_t n) {
    v.resize(v.size() + n, 0);
    return *this;
  }
  size_t size() const { return v.size(); }
};

// A BMP with a Windows info header of headerSize bytes (40 unless said otherwise): the file
// header, the info header, extra (masks or palette bytes as given) and the pixel bytes.
struct BmpSpec {
  int width = 1, height = 1, bits = 24;
  uint32_t compression = 0;
  uint32_t headerSize = 40;
  uint32_t colorsUsed = 0;
  int32_t ppm = 2835;
  uint32_t imageSize = 0;
  std::vector<uint32_t> palette;  // 0x00RRGGBB
  std::vector<uint32_t> masks;    // written after the header (or inside it from 52 bytes)
  std::vector<uint8_t> pixels;
  bool zeroOffset = false;
};
std::vector<uint8_t> MakeBmp(const BmpSpec& s);

// Loads like the I/O component: the mask becomes the alpha channel.
// Every load that sets Aborting without being cancelled must say why (checked here).
struct LoadResult {
  bool aborting = false;
  TLxFailureReason reason;
  std::vector<int> progress;
};
LoadResult LoadBmp(const std::vector<uint8_t>& file, TLxBitmap& bitmap, TIOParamsVals& params,
                   bool keepAlpha = true, bool infoOnly = false, int abortAtCall = -1,
                   uint64_t maxPixels = 0);
LoadResult LoadBmpFile(const std::filesystem::path& p, TLxBitmap& bitmap, TIOParamsVals& params,
                       bool keepAlpha = true);

struct SaveResult {
  bool aborting = false;
  TLxFailureReason reason;
  std::vector<uint8_t> bytes;
  std::vector<int> progress;
};
SaveResult SaveBmp(TLxBitmap& bitmap, TIOParamsVals& params, bool keepAlpha = true);

// Row y, pixel x of an lx24RGB bitmap as 0xRRGGBB.
uint32_t Rgb(TLxBitmap& b, int x, int y);

}  // namespace lumenax::test
