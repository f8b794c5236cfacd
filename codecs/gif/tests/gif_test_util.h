// Hand-made GIF files for the tests, and loading them through the component.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bitmap/types.h"
#include "io/lumenax_io.h"

namespace lumenax::test {

// Packs codes least significant bit first, as GIF stores them.
struct LsbCodes {
  std::vector<uint8_t> bytes;
  size_t bits = 0;
  void Put(uint32_t code, int width);
};

// Appends the blocks of a GIF file.
struct GifBuilder {
  std::vector<uint8_t> b;
  // Header and logical screen; a global table when colours is not empty (size rounded up).
  GifBuilder& Screen(int w, int h, const std::vector<TRGB>& colours, int background = 0,
                     const char* version = "GIF89a");
  GifBuilder& Control(int disposal, bool transparent = false, int index = 0, int delay = 0);
  // An image, its indexes encoded by the library's encoder (bits: minimum code size).
  GifBuilder& Image(int left, int top, int w, int h, const std::vector<uint8_t>& indexes,
                    int bits = 2, bool interlaced = false, const std::vector<TRGB>& local = {});
  // An image descriptor followed by the given raw data (code size byte and sub-blocks).
  GifBuilder& RawImage(int left, int top, int w, int h, const std::vector<uint8_t>& data,
                       uint8_t packed = 0);
  GifBuilder& Comment(const std::string& text);
  GifBuilder& Trailer();
  void U16(int v);
};

// Data sub-blocks of bytes with a minimum code size byte in front and the terminator.
std::vector<uint8_t> SubBlocks(uint8_t minCodeSize, const std::vector<uint8_t>& bytes);

// Loads the bytes through LoadFromStreamGif with GifImageIndex = index (-1: leave it).
void LoadGif(TLumenaxIO& io, const std::vector<uint8_t>& bytes, int index = -1);

// The RGBA of pixel (x, y) of the component's bitmap.
struct Px {
  uint8_t r, g, b, a;
  friend bool operator==(const Px&, const Px&) = default;
};
Px PixelAt(TLumenaxIO& io, int x, int y);

}  // namespace lumenax::test
