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
#include <string>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/byte_reader.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "codecs/bmp/bmp.h"
#include "codecs/common/resolution.h"
#include "io/params.h"

namespace lumenax {
namespace {

// A bitmap up to this size is decoded even when the file holds only a little of its data
// (a truncated download); beyond it the file must hold a reasonable share of what it claims.
constexpr int64_t kFreeAllocation = int64_t(64) << 20;
// Uncompressed rows are read in blocks of about this size.
constexpr int64_t kReadBlock = int64_t(1) << 20;
// RLE4 and RLE8 describe at most 255 pixels with two bytes.
constexpr int64_t kRlePixelsPerByte = 128;

constexpr uint16_t kSignature = 0x4D42;  // "BM"
constexpr uint32_t kFileHeaderSize = 14;
constexpr int64_t kDataOffsetField = 10;  // where the file header keeps the pixel data offset
// Info header sizes that select a layout or say where the colour masks are.
constexpr uint32_t kCoreHeaderSize = 12;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kMasksInHeaderSize = 52;
constexpr uint32_t kAlphaMaskInHeaderSize = 56;
constexpr uint32_t kInfo64HeaderSize = 64;  // and the most of any header that is looked at
constexpr uint32_t kMaxPalette = 256;

// Values of the compression field.
constexpr uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3, kJpeg = 4, kPng = 5,
                   kAlphaBitFields = 6;
// The components of 16-bit pixels without masks: 5 bits each.
constexpr uint32_t k555Red = 0x7C00, k555Green = 0x03E0, k555Blue = 0x001F;

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

// One read: the headers as they are taken from the stream, then the checks, the layout and
// the pixels. Each step that refuses the file records why and returns false.
class BmpReader {
 public:
  BmpReader(TStream& stream, TLxBitmap& bitmap, ProgressRecord& progress, TIOParamsVals& params)
      : stream_(stream),
        in_(stream),
        bitmap_(bitmap),
        progress_(progress),
        params_(params),
        start_(stream.Position()),
        streamSize_(stream.Size()) {}

  void Read(int64_t size, bool ignoreAlpha, std::unique_ptr<TLxMask>& alphaMask, bool noFileHeader,
            bool infoOnly) {
    if (!ReadFileHeader(noFileHeader)) return;
    const bool callerSize = size > 0;
    if (fileSize_ != 0 && size <= 0) size = fileSize_;
    if (!ReadInfoHeader()) return;
    ReadPalette();
    SetSampleLayout();
    if (!LocatePixelData(infoOnly)) return;
    FindRleLength(size, callerSize);

    if (infoOnly || h_.width == 0 || h_.height == 0) return;
    alphaMask.reset();
    if (!CheckDecodable()) return;
    const PixelFormat pf = ChooseLayout();
    if (!CheckAgainstStream(pf) || !AllocateBitmap(pf)) return;

    PixelDecoder dec(stream_, bitmap_, h_, progress_);
    SetUpDecoder(dec, pf);
    progress_.Per1 = 100.0 / double(h_.height);
    if (h_.bits == 32 && !ignoreAlpha && dec.alphaFromMask && !AllocateAlpha(dec, alphaMask))
      return;
    DecodePixels(dec);
    KeepAlphaIfMeaningful(dec, alphaMask);
    if (dec.truncated)
      progress_.Fail(TLxFailure::Truncated, stream_.Position(),
                     Rle() ? "truncated RLE data" : "truncated pixel data");
  }

 private:
  // ---- headers

  // The 14-byte file header, or one made up for a bare info header.
  bool ReadFileHeader(bool noFileHeader) {
    if (noFileHeader) {
      fileSize_ = uint32_t(std::min<int64_t>(streamSize_, UINT32_MAX));
      return true;
    }
    uint8_t fh[kFileHeaderSize];
    const bool complete = in_.bytes(fh, kFileHeaderSize);
    if (LoadU16LE(fh) != kSignature) {
      progress_.Fail(TLxFailure::BadSignature, start_, "not a BMP signature");
      return false;
    }
    if (!complete) {
      progress_.Fail(TLxFailure::Truncated, stream_.Position(), "truncated file header");
      return false;
    }
    fileSize_ = LoadU32LE(fh + 2);
    dataOffset_ = LoadU32LE(fh + 10);
    return true;
  }

  // The info header (core or Windows layout) and the colour masks that follow it. The header
  // must be one we can read and must lie inside the stream.
  bool ReadInfoHeader() {
    const int64_t infoStart = stream_.Position();
    h_.headerSize = in_.u32le();
    if (!in_.ok()) {
      progress_.Fail(TLxFailure::Truncated, infoStart, "truncated info header");
      return false;
    }
    if (h_.headerSize < kCoreHeaderSize) {
      progress_.Fail(TLxFailure::BadHeader, infoStart, "bad info header size");
      return false;
    }
    if (h_.headerSize > streamSize_ - infoStart) {
      progress_.Fail(TLxFailure::Truncated, infoStart, "truncated info header");
      return false;
    }
    stream_.Seek(infoStart, soBeginning);
    params_.FreeColorMap();
    if (h_.headerSize == kCoreHeaderSize)
      ReadCoreHeader();
    else
      ReadWindowsHeader();
    if (!in_.ok()) {
      // The header lies inside the stream, so only the masks after it can be cut.
      progress_.Fail(TLxFailure::Truncated, stream_.Position(), "truncated colour masks");
      return false;
    }
    return true;
  }

  void ReadCoreHeader() {
    uint8_t ch[kCoreHeaderSize];
    in_.bytes(ch, kCoreHeaderSize);
    h_.core = true;
    h_.width = LoadU16LE(ch + 4);
    h_.height = LoadU16LE(ch + 6);
    h_.bits = LoadU16LE(ch + 10);
    params_.BmpVersion = kBmpVersionCore;
    params_.Width = int32_t(h_.width);
    params_.Height = int32_t(h_.height);
    SetDpiFromPixelsPerMetre(params_, 0, 0);  // core headers state no resolution
    params_.BmpCompression = kBmpUncompressed;
    if (h_.bits <= 8) paletteCount_ = 1u << h_.bits;
    paletteEntrySize_ = 3;
  }

  // Only the first 64 bytes are looked at; fields a shorter header does not reach count as 0.
  void ReadWindowsHeader() {
    uint8_t ih[kInfo64HeaderSize] = {};
    in_.bytes(ih, std::min<uint32_t>(kInfo64HeaderSize, h_.headerSize));
    if (h_.headerSize > kInfo64HeaderSize) in_.skip(h_.headerSize - kInfo64HeaderSize);
    params_.BmpVersion = h_.headerSize == kInfo64HeaderSize ? kBmpVersionInfo64
                         : h_.headerSize == kInfoHeaderSize ? kBmpVersionInfo40
                                                            : kBmpVersionOther;
    h_.width = int32_t(LoadU32LE(ih + 4));
    int64_t height = int32_t(LoadU32LE(ih + 8));
    if (height < 0) {
      height = -height;
      h_.topDown = true;
    }
    h_.height = height;
    h_.bits = LoadU16LE(ih + 14);
    h_.compression = LoadU32LE(ih + 16);
    h_.imageSize = LoadU32LE(ih + 20);
    h_.ppmX = int32_t(LoadU32LE(ih + 24));
    h_.ppmY = int32_t(LoadU32LE(ih + 28));
    h_.colorsUsed = LoadU32LE(ih + 32);
    params_.Width = int32_t(std::clamp<int64_t>(h_.width, INT32_MIN, INT32_MAX));
    params_.Height = int32_t(std::min<int64_t>(h_.height, INT32_MAX));
    SetDpiFromPixelsPerMetre(params_, h_.ppmX, h_.ppmY);
    paletteCount_ = h_.colorsUsed > kMaxPalette ? 0 : h_.colorsUsed;
    if (paletteCount_ == 0 && h_.bits <= 8) paletteCount_ = 1u << h_.bits;
    if (h_.compression == kBitFields || h_.compression == kAlphaBitFields) ReadMasks(ih);
    if (h_.compression == kRgb || h_.compression == kBitFields)
      params_.BmpCompression = kBmpUncompressed;
    else if (h_.compression == kRle8 || h_.compression == kRle4)
      params_.BmpCompression = kBmpRunLength;
  }

  // Headers of 52 bytes and more hold the masks themselves (the alpha mask from 56 bytes);
  // shorter ones are followed by them, before the palette.
  void ReadMasks(const uint8_t* ih) {
    if (h_.headerSize >= kMasksInHeaderSize) {
      for (int i = 0; i < 3; ++i) h_.masks[i] = LoadU32LE(ih + kInfoHeaderSize + 4 * i);
      if (h_.headerSize >= kAlphaMaskInHeaderSize) h_.masks[3] = LoadU32LE(ih + kMasksInHeaderSize);
    } else {
      int count = h_.compression == kAlphaBitFields ? 4 : 3;
      for (int i = 0; i < count; ++i) h_.masks[i] = in_.u32le();
    }
  }

  // What the stream holds of the palette; missing entries stay black.
  void ReadPalette() {
    if (paletteCount_ == 0) return;
    std::vector<uint8_t> raw(size_t(paletteCount_) * paletteEntrySize_, 0);
    stream_.Read(raw.data(), int64_t(raw.size()));
    std::vector<TRGB> map(paletteCount_);
    for (uint32_t i = 0; i < paletteCount_; ++i) {
      const uint8_t* p = raw.data() + size_t(i) * paletteEntrySize_;
      map[i] = TRGB{p[0], p[1], p[2]};
      if (i < kMaxPalette) palette_[i] = map[i];
    }
    params_.SetColorMap(map.data(), int32_t(paletteCount_));
  }

  // BitsPerSample and SamplesPerPixel by the bit count; other counts leave both as they are.
  void SetSampleLayout() {
    switch (h_.bits) {
      case 1:
        params_.BitsPerSample = 1, params_.SamplesPerPixel = 1;
        break;
      case 4:
        params_.BitsPerSample = 4, params_.SamplesPerPixel = 1;
        break;
      case 8:
        params_.BitsPerSample = 8, params_.SamplesPerPixel = 1;
        break;
      case 16:
        params_.BitsPerSample = 5, params_.SamplesPerPixel = 3;
        break;
      case 24:
        params_.BitsPerSample = 8, params_.SamplesPerPixel = 3;
        break;
      case 32:
        params_.BitsPerSample = 8, params_.SamplesPerPixel = 4;
        break;
      default:
        break;
    }
  }

  // Seeks to the pixel data when the file header gives their offset. An offset beyond the
  // stream fails a load; a header-only read has all it needs by then.
  bool LocatePixelData(bool infoOnly) {
    if (dataOffset_ != 0) {
      if (int64_t(dataOffset_) > streamSize_ - start_) {
        if (!infoOnly)
          progress_.Fail(TLxFailure::Truncated, start_ + kDataOffsetField,
                         "pixel data offset beyond the end");
        return false;
      }
      stream_.Seek(start_ + dataOffset_, soBeginning);
    }
    dataStart_ = stream_.Position();
    available_ = std::max<int64_t>(streamSize_ - dataStart_, 0);
    return true;
  }

  // RLE data: what the caller's block size leaves, else the longer of what the file size and
  // the image size fields say (writers get either wrong), never beyond the stream.
  void FindRleLength(int64_t size, bool callerSize) {
    rleLength_ = h_.core ? 0 : h_.imageSize;
    if (size > 0) {
      int64_t fromSize = size - (dataStart_ - start_);
      rleLength_ = callerSize ? fromSize : std::max(rleLength_, fromSize);
    }
    if (rleLength_ <= 0 || rleLength_ > available_) rleLength_ = available_;
  }

  // ---- checks before anything is allocated

  bool Rle() const {
    return (h_.bits == 8 && h_.compression == kRle8) || (h_.bits == 4 && h_.compression == kRle4);
  }

  // Depths and compressions this reader decodes. Rows of 24 and 32 bits are plain rows
  // whatever the compression field says, except for embedded JPEG and PNG data.
  static bool Supported(int bits, uint32_t compression) {
    switch (bits) {
      case 1:
        return compression == kRgb;
      case 4:
        return compression == kRgb || compression == kRle4;
      case 8:
        return compression == kRgb || compression == kRle8;
      case 16:
        return compression == kRgb || compression == kBitFields || compression == kAlphaBitFields;
      case 24:
      case 32:
        return compression == kRgb || compression == kRle8 || compression == kRle4 ||
               compression == kBitFields || compression == kAlphaBitFields;
      default:
        return false;
    }
  }

  bool CheckDecodable() {
    const int64_t infoStart = start_ + kFileHeaderSize;
    if (h_.width < 0) {
      progress_.Fail(TLxFailure::BadHeader, infoStart + 4, "negative width");
      return false;
    }
    if (h_.height > INT32_MAX) {
      progress_.Fail(TLxFailure::BadHeader, infoStart + 8, "bad height");
      return false;
    }
    if (Supported(h_.bits, h_.compression)) return true;
    const bool knownDepth = h_.bits == 1 || h_.bits == 2 || h_.bits == 4 || h_.bits == 8 ||
                            h_.bits == 16 || h_.bits == 24 || h_.bits == 32 || h_.bits == 64;
    const int64_t bitsAt = infoStart + (h_.core ? 10 : 14);
    const std::string compression = "unsupported compression " + std::to_string(h_.compression);
    if (h_.compression == kJpeg || h_.compression == kPng)  // embedded JPEG or PNG data
      progress_.Fail(TLxFailure::Unsupported, infoStart + 16, compression);
    else if (!knownDepth)
      progress_.Fail(TLxFailure::BadHeader, bitsAt, "bad bit count " + std::to_string(h_.bits));
    else if (h_.bits == 2 || h_.bits == 64)
      progress_.Fail(TLxFailure::Unsupported, bitsAt,
                     "unsupported bit depth " + std::to_string(h_.bits));
    else
      progress_.Fail(TLxFailure::Unsupported, infoStart + 16, compression);
    return false;
  }

  PixelFormat ChooseLayout() {
    if (h_.bits == 1) {
      const TRGB black{0, 0, 0}, white{255, 255, 255};
      blackWhite_ = palette_[0] == black && palette_[1] == white && paletteCount_ >= 2;
      whiteBlack_ = palette_[0] == white && palette_[1] == black && paletteCount_ >= 2;
    }
    if (h_.bits == 1 && (blackWhite_ || whiteBlack_)) return lx1g;
    if (h_.bits <= 8 && params_.IsNativePixelFormat) return lx8p;
    return lx24RGB;
  }

  // A file cannot make us allocate much more than its own size could describe.
  bool CheckAgainstStream(PixelFormat pf) {
    const int64_t bitmapRowLen = ComputeRowLen(h_.width, BitCountOf(pf), 32);
    uint64_t bitmapBytes = 0, pixels = 0, needed = 0;
    const int64_t fileRowLen = ((h_.width * h_.bits + 31) / 32) * 4;
    if (bitmapRowLen <= 0 ||
        !checked_mul(uint64_t(bitmapRowLen), uint64_t(h_.height), bitmapBytes) ||
        !checked_mul(uint64_t(h_.width), uint64_t(h_.height), pixels) ||
        !checked_mul(uint64_t(fileRowLen), uint64_t(h_.height), needed)) {
      progress_.Fail(TLxFailure::TooLarge, start_ + kFileHeaderSize + 4, "image too large");
      return false;
    }
    if (available_ == 0) {
      progress_.Fail(TLxFailure::Truncated, dataStart_, "no pixel data");
      return false;
    }
    const bool big = bitmapBytes > uint64_t(kFreeAllocation);
    if (big && (Rle() ? pixels / kRlePixelsPerByte > uint64_t(rleLength_)
                      : uint64_t(available_) < needed / 4)) {
      progress_.Fail(TLxFailure::TooLarge, start_ + kFileHeaderSize + 4,
                     "image too large for its data");
      return false;
    }
    if (!progress_.PixelsAllowed(uint64_t(h_.width), uint64_t(h_.height))) {
      progress_.Fail(TLxFailure::TooLarge, start_ + kFileHeaderSize + 4, "image too large");
      return false;
    }
    return true;
  }

  // Always fresh, zero-filled storage.
  bool AllocateBitmap(PixelFormat pf) {
    bitmap_.ReallocPending = true;
    if (!bitmap_.Allocate(int(h_.width), int(h_.height), pf)) {
      progress_.Fail(TLxFailure::OutOfMemory, "cannot allocate the image");
      return false;
    }
    return true;
  }

  // ---- pixels

  void SetUpDecoder(PixelDecoder& dec, PixelFormat pf) {
    std::copy(std::begin(palette_), std::end(palette_), dec.palette);
    dec.native = pf == lx8p;
    dec.paletteOut = h_.bits <= 8 && pf == lx24RGB;
    dec.invert1 = whiteBlack_;
    if (dec.native)
      for (int i = 0; i < int(kMaxPalette); ++i) bitmap_.SetPaletteEntry(i, palette_[i]);
    const bool masked = h_.compression == kBitFields || h_.compression == kAlphaBitFields;
    if (h_.bits == 16) {
      if (h_.compression == kRgb) {
        dec.red.Setup(k555Red), dec.green.Setup(k555Green), dec.blue.Setup(k555Blue);
      } else {
        dec.red.Setup(h_.masks[0]), dec.green.Setup(h_.masks[1]), dec.blue.Setup(h_.masks[2]);
      }
    } else if (h_.bits == 32 && masked) {
      dec.standard32 = h_.masks[0] == 0xFF0000 && h_.masks[1] == 0xFF00 && h_.masks[2] == 0xFF &&
                       (h_.masks[3] == 0 || h_.masks[3] == 0xFF000000u);
      dec.red.Setup(h_.masks[0]), dec.green.Setup(h_.masks[1]), dec.blue.Setup(h_.masks[2]);
      dec.alphaCh.Setup(h_.masks[3]);
      // Without an alpha mask only the standard layout has its alpha in the fourth byte.
      dec.alphaFromMask = h_.masks[3] != 0 || dec.standard32;
    } else if (h_.bits == 32) {
      dec.alphaFromMask = true;
    }
  }

  bool AllocateAlpha(PixelDecoder& dec, std::unique_ptr<TLxMask>& alphaMask) {
    alphaMask = std::make_unique<TLxMask>();
    if (!alphaMask->Allocate(int(h_.width), int(h_.height), 8)) {
      alphaMask.reset();
      progress_.Fail(TLxFailure::OutOfMemory, "cannot allocate the alpha channel");
      return false;
    }
    alphaMask->Fill(255);
    dec.alpha = alphaMask.get();
    return true;
  }

  void DecodePixels(PixelDecoder& dec) {
    if (!Rle()) {
      dec.DecodeUncompressed();
      return;
    }
    std::vector<uint8_t> data;
    data.resize(size_t(rleLength_));
    int64_t got = std::max<int64_t>(stream_.Read(data.data(), rleLength_), 0);
    data.resize(size_t(got));
    dec.DecodeRle(data);
  }

  // Fourth bytes that are all 0 (a 32-bit file without alpha) or all 255 give no alpha.
  static void KeepAlphaIfMeaningful(PixelDecoder& dec, std::unique_ptr<TLxMask>& alphaMask) {
    if (!dec.alpha) return;
    if (dec.alphaAll255 || dec.alphaAllZero) {
      alphaMask.reset();
    } else {
      alphaMask->AllOpaque = false;
      alphaMask->RecomputeBounds();
    }
  }

  TStream& stream_;
  ByteReader in_;
  TLxBitmap& bitmap_;
  ProgressRecord& progress_;
  TIOParamsVals& params_;
  const int64_t start_;
  const int64_t streamSize_;
  uint32_t fileSize_ = 0, dataOffset_ = 0;
  BmpHeader h_;
  uint32_t paletteCount_ = 0;
  int paletteEntrySize_ = 4;
  TRGB palette_[kMaxPalette] = {};
  int64_t dataStart_ = 0, available_ = 0, rleLength_ = 0;
  bool blackWhite_ = false, whiteBlack_ = false;
};

}  // namespace

// Scratch buffers are bounded by the file (or the image) before they are made; a machine
// that still cannot provide them fails the operation instead of throwing through callers.
void ReadBMPStream(TStream& stream, TLxBitmap& bitmap, int64_t size, bool ignoreAlpha,
                   std::unique_ptr<TLxMask>& alphaMask, bool noFileHeader, bool infoOnly,
                   ProgressRecord& progress, TIOParamsVals& params) {
  try {
    BmpReader(stream, bitmap, progress, params)
        .Read(size, ignoreAlpha, alphaMask, noFileHeader, infoOnly);
  } catch (const std::bad_alloc&) {
    progress.Fail(TLxFailure::OutOfMemory, "out of memory");
  } catch (const std::length_error&) {
    progress.Fail(TLxFailure::OutOfMemory, "out of memory");
  }
}

}  // namespace lumenax
