// libFuzzer target of the TIFF writer. The input chooses a small bitmap (size, layout, alpha,
// pixels) and the writer's parameters (depth, samples, photometric, compression, fill order,
// JPEG and Deflate settings); the file written must read back at its size, lossless layouts
// stored as they are must come back pixel for pixel, and the file must take a second page in
// insert mode. A copy with one byte changed is then offered to insert mode, which must either
// add the page or refuse it without writing.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "bitmap/bitmap.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/tiff/tiff.h"
#include "codecs/tiff/tiff_writer.h"
#include "io/params.h"

using namespace lumenax;

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint8_t Byte() { return at < size ? data[at++] : 0; }
};

const PixelFormat kFormats[] = {lx1g,   lx8p,    lx8g,    lx16g,    lx24RGB,
                                lxCMYK, lxRGB48, lx32RGB, lxCIELab, lx32f};

// The pixels of two bitmaps of one layout (the pad bits of a last partial byte excepted).
bool SameRows(TLxBitmap& a, TLxBitmap& b) {
  const size_t bits = size_t(a.Width()) * size_t(a.BitCount());
  const size_t whole = bits / 8;
  const unsigned rest = unsigned(bits % 8);
  const uint8_t mask = uint8_t(0xFF00 >> rest);
  for (int y = 0; y < a.Height(); ++y) {
    const uint8_t* p = a.ScanLine(y);
    const uint8_t* q = b.ScanLine(y);
    if (std::memcmp(p, q, whole) != 0) return false;
    if (rest && ((p[whole] ^ q[whole]) & mask)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  const int w = 1 + in.Byte() % 48;
  const int h = 1 + in.Byte() % 48;
  const PixelFormat pf = kFormats[in.Byte() % std::size(kFormats)];
  const uint8_t flags = in.Byte();
  TIOParamsVals params;
  params.BitsPerSample = in.Byte() % 18;
  params.SamplesPerPixel = in.Byte() % 6;
  params.TiffPhotometric = TLxTiffPhotometric(in.Byte() % 8);
  params.TiffCompression = TLxTiffCompression(in.Byte() % 12);
  params.TiffFillOrder = 1 + (flags & 1);
  params.TiffJpegColorSpace = TLxJpegColorSpace(in.Byte() % 5);
  params.TiffJpegQuality = in.Byte() % 101;
  params.TiffDeflateLevel = int8_t(in.Byte()) % 4;
  params.TiffPageNumber = flags & 2 ? 1 : -1;

  TLxBitmap bitmap;
  if (!bitmap.Allocate(w, h, pf)) return 0;
  if (pf == lx8p)
    for (int i = 0; i < 256; ++i)
      bitmap.SetPaletteEntry(i, CreateRGB(in.Byte(), in.Byte(), uint8_t(i)));
  const size_t rowBytes = (size_t(w) * size_t(bitmap.BitCount()) + 7) / 8;
  for (int y = 0; y < h; ++y) {
    uint8_t* r = bitmap.ScanLine(y);
    for (size_t i = 0; i < rowBytes; ++i) {
      uint8_t v = in.Byte();
      // Floats kept finite: their byte patterns are not what is being tested.
      if (pf == lx32f && i % 4 == 3) v &= 0x3F;
      r[i] = v;
    }
  }
  if (flags & 4) {
    TLxBitmap* a = bitmap.AlphaChannel();
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) a->ScanLine(y)[x] = in.Byte();
    a->AllOpaque = false;
  }

  const TLxTiffCompression asked = params.TiffCompression;
  TMemoryStream out;
  bool failed = false;
  ProgressRecord wp;
  wp.AbortingPtr = &failed;
  if (WriteTiffStream(out, false, &bitmap, wp, params) != 1 || failed) __builtin_trap();

  // Read back.
  TLxBitmap back;
  TIOParamsVals rp;
  rp.IsNativePixelFormat = true;
  bool rfailed = false;
  ProgressRecord rpr;
  rpr.AbortingPtr = &rfailed;
  std::unique_ptr<TLxMask> mask;
  int32_t count = 0;
  TLxMemStream file(out.Bytes().data(), int64_t(out.Size()));
  ReadTiffStream(back, file, count, false, true, false, mask, false, rpr, rp);
  if (rfailed || count != 1 || back.Width() != w || back.Height() != h) __builtin_trap();
  // Layouts stored as they are, losslessly.
  const bool lossless = asked != tcJpeg && asked != tcOldJpeg;
  const bool plain = (pf == lx24RGB && params.BitsPerSample == 8 && params.SamplesPerPixel == 3 &&
                      params.TiffPhotometric == tpRgb) ||
                     (pf == lx1g && params.BitsPerSample == 1) ||
                     (pf == lx16g && params.BitsPerSample == 16) || pf == lxCMYK || pf == lxRGB48;
  if (lossless && plain && back.PixelFormat() == pf && !SameRows(bitmap, back)) __builtin_trap();

  // A second page.
  TMemoryStream two(out.Bytes());
  params.TiffImageIndex = flags >> 4;
  failed = false;
  if (WriteTiffStream(two, true, &bitmap, wp, params) != 2 || failed) __builtin_trap();

  // A damaged copy: the page is added or refused, never half-written.
  if (in.at < size && out.Size() > 0) {
    std::vector<uint8_t> bytes = out.Bytes();
    bytes[in.Byte() * 131u % bytes.size()] ^= uint8_t(1 + in.Byte());
    TMemoryStream damaged(bytes);
    failed = false;
    const int32_t n = WriteTiffStream(damaged, true, &bitmap, wp, params);
    if (n == 0 && damaged.Bytes() != bytes) __builtin_trap();
  }
  return 0;
}
