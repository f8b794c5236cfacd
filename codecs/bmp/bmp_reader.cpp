// BMP reader: Windows and OS/2 device-independent bitmaps of 1, 4, 8, 16, 24 and 32 bits,
// uncompressed, RLE4/RLE8 and bit fields.
//
// Every byte is hostile. Header sizes, palette counts, the pixel data offset and the
// dimensions are checked against the stream before the bitmap is allocated; a file cannot
// make us allocate much more than its own size could describe. Rows that the file does not
// provide stay zero, and a file that ends before its last row is reported through Aborting
// after what is there has been decoded.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/byte_reader.h"
#include "bitmap/mask.h"
#include "codecs/bmp/bmp.h"
#include "io/params.h"
#include "bitmap/progress.h"

namespace lumenax {
namespace {

// A bitmap up to this size is decoded even when the file holds only a little of its data
// (a truncated download); beyond it the file must hold a reasonable share of what it claims.
constexpr int64_t kFreeAllocation = int64_t(64) << 20;
// Uncompressed rows are read in blocks of about this size.
constexpr int64_t kReadBlock = int64_t(1) << 20;
// RLE4 and RLE8 describe at most 255 pixels with two bytes.
constexpr int64_t kRlePixelsPerByte = 128;

constexpr uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3, kAlphaBitFields = 6;

// One colour component described by a bit mask. The component is taken from the mask's
// lowest run of set bits: runs longer than 8 bits keep their top 8 bits, shorter ones are
// widened to 0..255 by repeating their bits (31 of 5 bits gives 255).
struct MaskChannel {
  uint32_t mask = 0;
  int shift = 0;
  uint32_t keep = 0;
  uint8_t widen[256] = {};

  void Setup(uint32_t m) {
    mask = m;
    shift = 0;
    keep = 0;
    widen[0] = 0;
    if (m == 0) return;
    int low = std::countr_zero(m);
    int run = std::countr_one(m >> low);
    int bits = std::min(run, 8);
    shift = low + (run - bits);
    keep = (1u << bits) - 1;
    for (uint32_t v = 0; v <= keep; ++v) {
      uint32_t r = v << (8 - bits);
      for (int s = bits; s < 8; s *= 2) r |= r >> s;
      widen[v] = uint8_t(r);
    }
  }
  uint8_t Get(uint32_t w) const { return widen[((w & mask) >> shift) & keep]; }
};

// Whole-percentage progress before each stored row: the handler hears each value once.
struct RowProgress {
  ProgressRecord& progress;
  int height;
  int last = -1;
  // False when the load is to stop before this row.
  bool Before(int rowsDone) {
    int pct = int(int64_t(rowsDone) * 100 / height);
    if (pct != last) {
      last = pct;
      progress.Report(pct);
    }
    return !progress.Aborting();
  }
};

struct BmpHeader {
  uint32_t headerSize = 0;
  int64_t width = 0;
  int64_t height = 0;
  bool topDown = false;
  int bits = 0;
  uint32_t compression = 0;
  uint32_t imageSize = 0;
  uint32_t colorsUsed = 0;
  int32_t ppmX = 0, ppmY = 0;
  uint32_t masks[4] = {0, 0, 0, 0};  // red, green, blue, alpha
  bool core = false;
};

bool Supported(int bits, uint32_t compression) {
  switch (bits) {
    case 1:
      return compression == kRgb;
    case 4:
      return compression == kRgb || compression == kRle4;
    case 8:
      return compression == kRgb || compression == kRle8;
    case 16:
    case 32:
      return compression == kRgb || compression == kBitFields || compression == kAlphaBitFields;
    case 24:
      return compression == kRgb || compression == kBitFields;
    default:
      return false;
  }
}

void SetResolution(TIOParamsVals& params, int32_t ppmX, int32_t ppmY, bool core) {
  auto dpi = [core](int32_t ppm) {
    double d = ppm / 100.0 * 2.54;
    return core || std::nearbyint(d) == 0 ? double(DefaultDPI) : d;
  };
  params.SetDpiX(dpi(ppmX));
  params.SetDpiY(dpi(ppmY));
}

// Decoding state shared by the pixel paths.
class PixelDecoder {
 public:
  PixelDecoder(TStream& stream, TLxBitmap& bitmap, const BmpHeader& h, ProgressRecord& progress)
      : stream_(stream),
        bitmap_(bitmap),
        h_(h),
        progress_(progress),
        width_(int(h.width)),
        height_(int(h.height)) {}

  // Palette used for lookups: 256 entries, black beyond what the file lists.
  TRGB palette[256];
  bool paletteOut = false;  // palette images decoded to lx24RGB
  bool invert1 = false;     // 1-bit rows complemented (white-black palette)
  bool native = false;      // lx8p output
  TLxMask* alpha = nullptr;
  bool alphaAllZero = true, alphaAll255 = true;
  MaskChannel red, green, blue, alphaCh;
  bool standard32 = true;  // 32 bits stored as blue, green, red, fourth byte
  bool alphaFromMask = false;
  bool truncated = false;

  int64_t FileRowLen() const { return ((h_.width * h_.bits + 31) / 32) * 4; }
  int BitmapRow(int k) const { return h_.topDown ? k : height_ - 1 - k; }

  void DecodeUncompressed() {
    const int64_t rowLen = FileRowLen();
    const int64_t rowsPerBlock = std::clamp<int64_t>(kReadBlock / rowLen, 1, height_);
    RowProgress rp{progress_, height_};
    // Rows that equal the stored bytes and lie in memory in file order are read in place.
    const bool direct = !h_.topDown && bitmap_.Location() == lxInMemory &&
                        bitmap_.RowLen() == rowLen && RowsAreStoredBytes();
    std::vector<uint8_t> block;
    if (!direct) block.resize(size_t(rowsPerBlock * rowLen));
    for (int k = 0; k < height_;) {
      int n = int(std::min<int64_t>(rowsPerBlock, height_ - k));
      int m = 0;
      while (m < n && rp.Before(k + m)) ++m;
      if (m == 0) return;
      uint8_t* dst = direct ? bitmap_.ScanLine(height_ - 1 - k) : block.data();
      int64_t want = m * rowLen;
      int64_t got = std::max<int64_t>(stream_.Read(dst, want), 0);
      int full = int(got / rowLen);
      int64_t partial = got % rowLen;
      if (partial > 0) {
        // The last row the file holds is only partly there: the rest of it stays zero.
        std::memset(dst + got, 0, size_t(rowLen - partial));
        ++full;
      }
      if (!direct)
        for (int i = 0; i < full; ++i) DecodeRow(block.data() + i * rowLen, k + i);
      if (got < want) {
        truncated = true;
        return;
      }
      if (m < n) return;
      k += m;
    }
  }

  // RLE4 / RLE8 from a buffer holding all the compressed data. Pixels beyond the right
  // edge are dropped: a run that crosses the edge leaves its value in the last column, and
  // what follows it in the row (writers pad rows to whole words with index 0) is not drawn.
  void DecodeRle(const std::vector<uint8_t>& data) {
    const bool rle8 = h_.bits == 8;
    const int64_t w = width_;
    const size_t size = data.size();
    const uint8_t* d = data.data();
    size_t pos = 0;
    int64_t x = 0;
    int64_t k = 0;  // stored row
    uint8_t* row = nullptr;
    int64_t rowOf = -1;
    auto rowPtr = [&]() {
      if (rowOf != k) {
        row = bitmap_.ScanLine(BitmapRow(int(k)));
        rowOf = k;
      }
      return row;
    };
    bool ended = false;
    while (!ended && size - pos >= 2) {
      const uint8_t c = d[pos], v = d[pos + 1];
      pos += 2;
      if (c != 0) {  // encoded run
        int64_t n = std::clamp<int64_t>(w - x, 0, c);
        if (n > 0) {
          uint8_t* r = rowPtr();
          if (rle8) {
            for (int64_t i = 0; i < n; ++i) StoreIndex(r, int(x + i), v);
          } else {
            for (int64_t i = 0; i < n; ++i) StoreIndex(r, int(x + i), i & 1 ? v & 15 : v >> 4);
          }
        }
        x += c;
        continue;
      }
      switch (v) {
        case 0:  // end of line
          ++k;
          x = 0;
          if (k >= height_) {
            ended = true;
            break;
          }
          progress_.Report(int((k + 1) * 100 / height_));
          if (progress_.Aborting()) return;
          break;
        case 1:
          ended = true;
          break;  // end of bitmap
        case 2:   // delta: right and on by whole rows
          if (size - pos < 2) {
            pos = size;
            break;
          }
          x += d[pos];
          k += d[pos + 1];
          pos += 2;
          if (k >= height_) ended = true;
          break;
        default: {  // absolute run of v pixels, padded to an even number of bytes
          const size_t bytes = rle8 ? v : (size_t(v) + 1) / 2;
          const size_t avail = std::min(bytes, size - pos);
          const uint8_t* lit = d + pos;
          const int64_t count = rle8 ? int64_t(avail) : std::min<int64_t>(v, int64_t(avail) * 2);
          const int64_t n = std::clamp<int64_t>(w - x, 0, count);
          if (n > 0) {
            uint8_t* r = rowPtr();
            if (rle8) {
              for (int64_t i = 0; i < n; ++i) StoreIndex(r, int(x + i), lit[i]);
            } else {
              for (int64_t i = 0; i < n; ++i) {
                uint8_t b = lit[i >> 1];
                StoreIndex(r, int(x + i), i & 1 ? b & 15 : b >> 4);
              }
            }
          }
          x += count;
          pos += avail;
          if (avail == bytes && (bytes & 1)) pos = std::min(size, pos + 1);
          break;
        }
      }
    }
    // Data that run out before the end-of-bitmap mark and before the last row are cut.
    if (!ended && k < height_ - 1) truncated = true;
  }

 private:
  // True when a decoded row is a plain copy of the stored row.
  bool RowsAreStoredBytes() const {
    switch (h_.bits) {
      case 1:
        return !paletteOut && !native && !invert1;
      case 8:
        return native;
      case 24:
        return true;
      default:
        return false;
    }
  }

  void StoreIndex(uint8_t* row, int x, uint8_t index) {
    if (native) {
      row[x] = index;
    } else {
      const TRGB& c = palette[index];
      row[3 * x] = c.b, row[3 * x + 1] = c.g, row[3 * x + 2] = c.r;
    }
  }

  void LookupRow(uint8_t* dst, int x, uint8_t index) {
    const TRGB& c = palette[index];
    uint8_t* p = dst + 3 * x;
    p[0] = c.b, p[1] = c.g, p[2] = c.r;
  }

  // Stored row k (its bytes in src, exactly FileRowLen long) into its bitmap row.
  void DecodeRow(const uint8_t* src, int k) {
    const int y = BitmapRow(k);
    uint8_t* dst = bitmap_.ScanLine(y);
    if (!dst) return;
    const int w = width_;
    switch (h_.bits) {
      case 1:
        if (paletteOut || native) {
          for (int x = 0; x < w; ++x) {
            uint8_t i = (src[x >> 3] >> (7 - (x & 7))) & 1;
            if (native)
              dst[x] = i;
            else
              LookupRow(dst, x, i);
          }
        } else {
          int64_t n = std::min<int64_t>(bitmap_.RowLen(), FileRowLen());
          if (invert1)
            for (int64_t i = 0; i < n; ++i) dst[i] = uint8_t(~src[i]);
          else
            std::memcpy(dst, src, size_t(n));
        }
        break;
      case 4:
        for (int x = 0; x < w; ++x) {
          uint8_t b = src[x >> 1];
          uint8_t i = x & 1 ? b & 15 : b >> 4;
          if (native)
            dst[x] = i;
          else
            LookupRow(dst, x, i);
        }
        break;
      case 8:
        if (native) {
          std::memcpy(dst, src, size_t(w));
        } else {
          for (int x = 0; x < w; ++x) LookupRow(dst, x, src[x]);
        }
        break;
      case 16:
        for (int x = 0; x < w; ++x) {
          uint32_t v = LoadU16LE(src + 2 * x);
          dst[3 * x] = blue.Get(v), dst[3 * x + 1] = green.Get(v), dst[3 * x + 2] = red.Get(v);
        }
        break;
      case 24:
        std::memcpy(dst, src, size_t(w) * 3);
        break;
      case 32:
        DecodeRow32(src, dst, y);
        break;
      default:
        break;
    }
  }

  void DecodeRow32(const uint8_t* src, uint8_t* dst, int y) {
    const int w = width_;
    uint8_t* a = alpha ? alpha->ScanLine(y) : nullptr;
    bool zero = true, full = true;
    if (standard32) {
      for (int x = 0; x < w; ++x) {
        const uint8_t* p = src + 4 * x;
        dst[3 * x] = p[0], dst[3 * x + 1] = p[1], dst[3 * x + 2] = p[2];
      }
      if (a) {
        for (int x = 0; x < w; ++x) {
          uint8_t v = src[4 * x + 3];
          a[x] = v;
          zero &= v == 0;
          full &= v == 255;
        }
      }
    } else {
      for (int x = 0; x < w; ++x) {
        uint32_t v = LoadU32LE(src + 4 * x);
        dst[3 * x] = blue.Get(v), dst[3 * x + 1] = green.Get(v), dst[3 * x + 2] = red.Get(v);
      }
      if (a) {
        for (int x = 0; x < w; ++x) {
          uint8_t v = alphaCh.Get(LoadU32LE(src + 4 * x));
          a[x] = v;
          zero &= v == 0;
          full &= v == 255;
        }
      }
    }
    alphaAllZero &= zero;
    alphaAll255 &= full;
  }

  TStream& stream_;
  TLxBitmap& bitmap_;
  const BmpHeader& h_;
  ProgressRecord& progress_;
  int width_, height_;
};

void ReadBmp(TStream& stream, TLxBitmap& bitmap, int64_t size, bool ignoreAlpha,
             std::unique_ptr<TLxMask>& alphaMask, bool noFileHeader, bool infoOnly,
             ProgressRecord& progress, TIOParamsVals& params) {
  ByteReader in(stream);
  const int64_t start = stream.Position();
  const int64_t streamSize = stream.Size();

  // ---- file header
  uint32_t fileSize = 0, dataOffset = 0;
  if (noFileHeader) {
    fileSize = uint32_t(std::min<int64_t>(streamSize, UINT32_MAX));
  } else {
    uint8_t fh[14];
    if (!in.bytes(fh, 14) || LoadU16LE(fh) != 0x4D42) {
      progress.Abort();
      return;
    }
    fileSize = LoadU32LE(fh + 2);
    dataOffset = LoadU32LE(fh + 10);
  }
  const bool callerSize = size > 0;
  if (fileSize != 0 && size <= 0) size = fileSize;

  // ---- info header
  BmpHeader h;
  const int64_t infoStart = stream.Position();
  h.headerSize = in.u32le();
  // The info header must be one we can read and must lie inside the stream.
  if (!in.ok() || h.headerSize < 12 || h.headerSize > streamSize - infoStart) {
    progress.Abort();
    return;
  }
  stream.Seek(infoStart, soBeginning);
  params.FreeColorMap();

  uint32_t paletteCount = 0;
  int paletteEntrySize = 4;
  if (h.headerSize == 12) {
    uint8_t ch[12];
    in.bytes(ch, 12);
    h.core = true;
    h.width = LoadU16LE(ch + 4);
    h.height = LoadU16LE(ch + 6);
    h.bits = LoadU16LE(ch + 10);
    params.BmpVersion = 2;
    params.Width = int32_t(h.width);
    params.Height = int32_t(h.height);
    SetResolution(params, 0, 0, true);
    params.BmpCompression = 0;
    if (h.bits <= 8) paletteCount = 1u << h.bits;
    paletteEntrySize = 3;
  } else {
    uint8_t ih[64] = {};
    in.bytes(ih, std::min<uint32_t>(64, h.headerSize));
    if (h.headerSize > 64) in.skip(h.headerSize - 64);
    params.BmpVersion = h.headerSize == 64 ? 3 : h.headerSize == 40 ? 1 : 0;
    h.width = int32_t(LoadU32LE(ih + 4));
    int64_t height = int32_t(LoadU32LE(ih + 8));
    if (height < 0) {
      height = -height;
      h.topDown = true;
    }
    h.height = height;
    h.bits = LoadU16LE(ih + 14);
    h.compression = LoadU32LE(ih + 16);
    h.imageSize = LoadU32LE(ih + 20);
    h.ppmX = int32_t(LoadU32LE(ih + 24));
    h.ppmY = int32_t(LoadU32LE(ih + 28));
    h.colorsUsed = LoadU32LE(ih + 32);
    params.Width = int32_t(std::clamp<int64_t>(h.width, INT32_MIN, INT32_MAX));
    params.Height = int32_t(std::min<int64_t>(h.height, INT32_MAX));
    SetResolution(params, h.ppmX, h.ppmY, false);
    paletteCount = h.colorsUsed > 256 ? 0 : h.colorsUsed;
    if (paletteCount == 0 && h.bits <= 8) paletteCount = 1u << h.bits;
    if (h.compression == kBitFields || h.compression == kAlphaBitFields) {
      // Headers of 52 bytes and more hold the masks themselves (the alpha mask from 56
      // bytes); shorter ones are followed by them, before the palette.
      if (h.headerSize >= 52) {
        for (int i = 0; i < 3; ++i) h.masks[i] = LoadU32LE(ih + 40 + 4 * i);
        if (h.headerSize >= 56) h.masks[3] = LoadU32LE(ih + 52);
      } else {
        int count = h.compression == kAlphaBitFields ? 4 : 3;
        for (int i = 0; i < count; ++i) h.masks[i] = in.u32le();
      }
    }
    if (h.compression == kRgb || h.compression == kBitFields)
      params.BmpCompression = 0;
    else if (h.compression == kRle8 || h.compression == kRle4)
      params.BmpCompression = 1;
  }
  if (!in.ok()) {
    // The headers themselves are cut.
    progress.Abort();
    return;
  }

  // ---- palette: what the stream holds of it; missing entries stay black
  TRGB palette[256] = {};
  if (paletteCount > 0) {
    std::vector<uint8_t> raw(size_t(paletteCount) * paletteEntrySize, 0);
    stream.Read(raw.data(), int64_t(raw.size()));
    std::vector<TRGB> map(paletteCount);
    for (uint32_t i = 0; i < paletteCount; ++i) {
      const uint8_t* p = raw.data() + size_t(i) * paletteEntrySize;
      map[i] = TRGB{p[0], p[1], p[2]};
      if (i < 256) palette[i] = map[i];
    }
    params.SetColorMap(map.data(), int32_t(paletteCount));
  }

  switch (h.bits) {
    case 1:
      params.BitsPerSample = 1, params.SamplesPerPixel = 1;
      break;
    case 4:
      params.BitsPerSample = 4, params.SamplesPerPixel = 1;
      break;
    case 8:
      params.BitsPerSample = 8, params.SamplesPerPixel = 1;
      break;
    case 16:
      params.BitsPerSample = 5, params.SamplesPerPixel = 3;
      break;
    case 24:
      params.BitsPerSample = 8, params.SamplesPerPixel = 3;
      break;
    case 32:
      params.BitsPerSample = 8, params.SamplesPerPixel = 4;
      break;
    default:
      break;
  }

  if (dataOffset != 0) {
    if (int64_t(dataOffset) > streamSize - start) {
      if (!infoOnly) progress.Abort();
      return;
    }
    stream.Seek(start + dataOffset, soBeginning);
  }
  const int64_t dataStart = stream.Position();
  const int64_t available = std::max<int64_t>(streamSize - dataStart, 0);
  // RLE data: what the caller's block size leaves, else the longer of what the file size and
  // the image size fields say (writers get either wrong), never beyond the stream.
  int64_t rleLength = h.core ? 0 : h.imageSize;
  if (size > 0) {
    int64_t fromSize = size - (dataStart - start);
    rleLength = callerSize ? fromSize : std::max(rleLength, fromSize);
  }
  if (rleLength <= 0 || rleLength > available) rleLength = available;

  if (infoOnly || h.width == 0 || h.height == 0) return;
  alphaMask.reset();

  // ---- what cannot be decoded, or could not possibly be in this stream, is refused
  if (h.width < 0 || h.height > INT32_MAX || !Supported(h.bits, h.compression)) {
    progress.Abort();
    return;
  }
  const bool rle = h.compression == kRle4 || h.compression == kRle8;
  PixelFormat pf = lx24RGB;
  bool bw = false, wb = false;
  if (h.bits == 1) {
    const TRGB black{0, 0, 0}, white{255, 255, 255};
    bw = palette[0] == black && palette[1] == white && paletteCount >= 2;
    wb = palette[0] == white && palette[1] == black && paletteCount >= 2;
  }
  if (h.bits == 1 && (bw || wb))
    pf = lx1g;
  else if (h.bits <= 8 && params.IsNativePixelFormat)
    pf = lx8p;
  const int64_t bitmapRowLen = ComputeRowLen(h.width, BitCountOf(pf), 32);
  uint64_t bitmapBytes = 0, pixels = 0, needed = 0;
  const int64_t fileRowLen = ((h.width * h.bits + 31) / 32) * 4;
  if (bitmapRowLen <= 0 || !checked_mul(uint64_t(bitmapRowLen), uint64_t(h.height), bitmapBytes) ||
      !checked_mul(uint64_t(h.width), uint64_t(h.height), pixels) ||
      !checked_mul(uint64_t(fileRowLen), uint64_t(h.height), needed)) {
    progress.Abort();
    return;
  }
  bool absurd;
  if (rle)
    absurd = available == 0 || (bitmapBytes > uint64_t(kFreeAllocation) &&
                                pixels / kRlePixelsPerByte > uint64_t(rleLength));
  else
    absurd = available == 0 ||
             (bitmapBytes > uint64_t(kFreeAllocation) && uint64_t(available) < needed / 4);
  if (absurd) {
    progress.Abort();
    return;
  }

  // ---- allocation: always fresh, zero-filled storage
  bitmap.ReallocPending = true;
  if (!bitmap.Allocate(int(h.width), int(h.height), pf)) {
    progress.Abort();
    return;
  }
  PixelDecoder dec(stream, bitmap, h, progress);
  std::copy(std::begin(palette), std::end(palette), dec.palette);
  dec.native = pf == lx8p;
  dec.paletteOut = h.bits <= 8 && pf == lx24RGB;
  dec.invert1 = wb;
  if (dec.native)
    for (int i = 0; i < 256; ++i) bitmap.SetPaletteEntry(i, palette[i]);

  if (h.bits == 16) {
    if (h.compression == kRgb) {
      dec.red.Setup(0x7C00), dec.green.Setup(0x03E0), dec.blue.Setup(0x001F);
    } else {
      dec.red.Setup(h.masks[0]), dec.green.Setup(h.masks[1]), dec.blue.Setup(h.masks[2]);
    }
  } else if (h.bits == 32 && h.compression != kRgb) {
    dec.standard32 = h.masks[0] == 0xFF0000 && h.masks[1] == 0xFF00 && h.masks[2] == 0xFF &&
                     (h.masks[3] == 0 || h.masks[3] == 0xFF000000u);
    dec.red.Setup(h.masks[0]), dec.green.Setup(h.masks[1]), dec.blue.Setup(h.masks[2]);
    dec.alphaCh.Setup(h.masks[3]);
    // Without an alpha mask only the standard layout has its alpha in the fourth byte.
    dec.alphaFromMask = h.masks[3] != 0 || dec.standard32;
  } else if (h.bits == 32) {
    dec.alphaFromMask = true;
  }

  progress.Per1 = 100.0 / double(h.height);

  if (h.bits == 32 && !ignoreAlpha && dec.alphaFromMask) {
    alphaMask = std::make_unique<TLxMask>();
    if (!alphaMask->Allocate(int(h.width), int(h.height), 8)) {
      alphaMask.reset();
      progress.Abort();
      return;
    }
    alphaMask->Fill(255);
    dec.alpha = alphaMask.get();
  }

  if (rle) {
    std::vector<uint8_t> data;
    data.resize(size_t(rleLength));
    int64_t got = std::max<int64_t>(stream.Read(data.data(), rleLength), 0);
    data.resize(size_t(got));
    dec.DecodeRle(data);
  } else {
    dec.DecodeUncompressed();
  }

  if (dec.alpha) {
    if (dec.alphaAll255 || dec.alphaAllZero) {
      alphaMask.reset();
    } else {
      alphaMask->AllOpaque = false;
      alphaMask->RecomputeBounds();
    }
  }
  if (dec.truncated) progress.Abort();
}

}  // namespace

// Scratch buffers are bounded by the file (or the image) before they are made; a machine
// that still cannot provide them fails the operation instead of throwing through callers.
void ReadBMPStream(TStream& stream, TLxBitmap& bitmap, int64_t size, bool ignoreAlpha,
                   std::unique_ptr<TLxMask>& alphaMask, bool noFileHeader, bool infoOnly,
                   ProgressRecord& progress, TIOParamsVals& params) {
  try {
    ReadBmp(stream, bitmap, size, ignoreAlpha, alphaMask, noFileHeader, infoOnly, progress, params);
  } catch (const std::bad_alloc&) {
    progress.Abort();
  } catch (const std::length_error&) {
    progress.Abort();
  }
}

}  // namespace lumenax
