// The PCX header as the reader, the writer and the content test see it.
#pragma once

#include <cstdint>
#include <cstring>

#include "bitmap/byte_reader.h"
#include "bitmap/progress.h"

namespace lumenax {

constexpr int kPcxHeaderSize = 128;
constexpr uint8_t kPcxManufacturer = 10;
constexpr uint8_t kPcxLastVersion = 5;
constexpr uint32_t kDcxMagic = 0x3ADE68B1;
constexpr int kDcxMaxPages = 1024;

struct PcxHeader {
  uint8_t manufacturer = 0, version = 0, encoding = 0, bits = 0;
  uint16_t xmin = 0, ymin = 0, xmax = 0, ymax = 0, hres = 0, vres = 0;
  uint8_t palette[48] = {};
  uint8_t planes = 0;
  uint16_t bytesPerLine = 0;

  void Parse(const uint8_t* h) {
    manufacturer = h[0], version = h[1], encoding = h[2], bits = h[3];
    xmin = LoadU16LE(h + 4), ymin = LoadU16LE(h + 6), xmax = LoadU16LE(h + 8);
    ymax = LoadU16LE(h + 10), hres = LoadU16LE(h + 12), vres = LoadU16LE(h + 14);
    std::memcpy(palette, h + 16, 48);
    planes = h[65];
    bytesPerLine = LoadU16LE(h + 66);
  }
  int64_t width() const { return int64_t(xmax) - xmin + 1; }
  int64_t height() const { return int64_t(ymax) - ymin + 1; }
};

struct PcxFault {
  TLxFailure code = TLxFailure::None;
  const char* detail = "";
};

// Layouts decoded: 1 bit in 1 to 4 planes, 2 or 4 bits in one plane (header palette), 8 bits
// in 1 (palette or gray), 3 (RGB) or 4 planes (RGB and alpha).
inline PcxFault CheckPcxHeader(const PcxHeader& h) {
  if (h.manufacturer != kPcxManufacturer) return {TLxFailure::BadSignature, "not a PCX file"};
  if (h.encoding > 1) return {TLxFailure::BadHeader, "bad encoding"};
  if (h.bits != 1 && h.bits != 2 && h.bits != 4 && h.bits != 8)
    return {TLxFailure::BadHeader, "bad bits per pixel"};
  if (h.xmax < h.xmin || h.ymax < h.ymin) return {TLxFailure::BadHeader, "bad window"};
  const int64_t need = (h.width() * h.bits + 7) / 8;
  if (h.bytesPerLine == 0 || h.bytesPerLine < need)
    return {TLxFailure::BadHeader, "bad bytes per line"};
  const bool ok = (h.bits == 1 && h.planes >= 1 && h.planes <= 4) ||
                  ((h.bits == 2 || h.bits == 4) && h.planes == 1) ||
                  (h.bits == 8 && (h.planes == 1 || h.planes == 3 || h.planes == 4));
  if (!ok) return {TLxFailure::Unsupported, "unsupported bits and planes"};
  return {};
}

}  // namespace lumenax
