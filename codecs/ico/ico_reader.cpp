// Icon and cursor reader: one image of the directory, stored as a device-independent bitmap
// of 1, 4, 8, 24 or 32 bits followed by its 1-bit AND mask, or as a PNG file.
//
// Every byte is hostile. The directory and the chosen image's offset are checked against the
// stream; the palette starts where the info header's own size says; the image's size is
// checked against the data before anything is allocated. Rows that the data do not provide
// stay zero, and data that end early fail the load as truncated after what is there has been
// decoded.
#include <algorithm>
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
#include "bitmap/stream.h"
#include "codecs/bmp/bmp.h"
#include "codecs/codec.h"
#include "codecs/common/image_size.h"
#include "codecs/ico/ico.h"
#include "codecs/ico/ico_format.h"
#include "io/params.h"

namespace lumenax {

namespace {

struct DirEntry {
  uint8_t width = 0, height = 0, colours = 0;
  // Icons: planes and bit count. Cursors: the hotspot.
  uint16_t planes = 0, bitCount = 0;
  uint32_t offset = 0;
  bool Sized() const { return width != 0 && height != 0; }
};

// ⌈log2(count)⌉: the bits that index count colours.
int BitsForColours(int count) {
  int b = 0;
  while (b < 16 && (1 << b) < count) ++b;
  return b;
}

// Bits per pixel of a PNG image from its header: the sample depth times the samples of the
// colour type; 0 for a colour type that does not exist.
int PngBitsPerPixel(uint8_t depth, uint8_t colourType) {
  switch (colourType) {
    case 0:
    case 3:
      return depth;
    case 2:
      return depth * 3;
    case 4:
      return depth * 2;
    case 6:
      return depth * 4;
    default:
      return 0;
  }
}

// The mask bit of pixel x in a mask row: set means transparent.
inline bool MaskBit(const uint8_t* row, int x) {
  return (row[x >> 3] >> (7 - (x & 7))) & 1;
}

class IconReader {
 public:
  IconReader(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, ProgressRecord& progress,
             bool cursor)
      : stream_(stream),
        in_(stream),
        bitmap_(bitmap),
        params_(params),
        progress_(progress),
        cursor_(cursor),
        start_(stream.Position()),
        size_(stream.Size()) {}

  void Read(bool ignoreAlpha, std::unique_ptr<TLxMask>& alphaMask, bool infoOnly) {
    uint8_t head[kIcoHeaderSize];
    if (!in_.bytes(head, kIcoHeaderSize)) {
      progress_.Fail(TLxFailure::Truncated, start_, "truncated icon header");
      return;
    }
    // Some programs save a plain BMP file under an icon's name.
    if (!cursor_ && head[0] == 'B' && head[1] == 'M') {
      stream_.Seek(start_, soBeginning);
      ReadBMPStream(stream_, bitmap_, size_ - start_, ignoreAlpha, alphaMask, false, infoOnly,
                    progress_, params_);
      return;
    }
    const int count = LoadU16LE(head + 4);
    const int32_t index = cursor_ ? params_.CurImageIndex : params_.IcoImageIndex;
    if (index < 0 || index >= count) {
      progress_.Fail(TLxFailure::NoImage, start_ + 4,
                     "no image " + std::to_string(index) + " in the directory");
      return;
    }
    if (!ReadDirectory(count)) return;
    if (!cursor_) ListDirectory();
    const std::vector<int> selectable = Selectable();
    if (size_t(index) >= selectable.size()) {
      progress_.Fail(TLxFailure::NoImage, start_ + 4,
                     "no image " + std::to_string(index) + " in the directory");
      return;
    }
    entry_ = entries_[size_t(selectable[size_t(index)])];
    if (cursor_) {
      params_.CurHotspotX = entry_.planes;
      params_.CurHotspotY = entry_.bitCount;
    }
    imageStart_ = start_ + int64_t(entry_.offset);
    if (entry_.offset > uint64_t(size_ - start_) || size_ - imageStart_ < 8) {
      progress_.Fail(TLxFailure::Truncated, imageStart_, "image data beyond the end");
      return;
    }
    uint8_t signature[8];
    stream_.Seek(imageStart_, soBeginning);
    in_.bytes(signature, 8);
    if (std::memcmp(signature, kPngSignature, 8) == 0)
      ReadPngImage(ignoreAlpha, alphaMask, infoOnly);
    else
      ReadDibImage(ignoreAlpha, alphaMask, infoOnly);
  }

 private:
  // ---- directory

  bool ReadDirectory(int count) {
    const int64_t dirStart = start_ + kIcoHeaderSize;
    if (int64_t(count) * kIcoEntrySize > size_ - dirStart) {
      progress_.Fail(TLxFailure::Truncated, dirStart, "truncated directory");
      return false;
    }
    std::vector<uint8_t> raw(size_t(count) * kIcoEntrySize);
    in_.bytes(raw.data(), int64_t(raw.size()));
    entries_.resize(size_t(count));
    for (int i = 0; i < count; ++i) {
      const uint8_t* e = raw.data() + size_t(i) * kIcoEntrySize;
      DirEntry& d = entries_[size_t(i)];
      d.width = e[0], d.height = e[1], d.colours = e[2];
      d.planes = LoadU16LE(e + 4), d.bitCount = LoadU16LE(e + 6);
      d.offset = LoadU32LE(e + 12);
    }
    return true;
  }

  // The entries an image index counts: every entry of a cursor; for icons those with a width
  // and a height byte, or every entry when none has them (an icon of 256 x 256 images only).
  std::vector<int> Selectable() const {
    std::vector<int> out;
    for (size_t i = 0; i < entries_.size(); ++i)
      if (cursor_ || entries_[i].Sized()) out.push_back(int(i));
    if (out.empty())
      for (size_t i = 0; i < entries_.size(); ++i) out.push_back(int(i));
    return out;
  }

  // IcoSizes and IcoBitCounts list the entries IcoImageIndex counts, in its order (at most
  // kIcoMaxImages). A size byte of 0 stands for 256. PNG images give their own depth.
  void ListDirectory() {
    params_.IcoSizes = {};
    params_.IcoBitCounts = {};
    int n = 0;
    for (int i : Selectable()) {
      if (n == kIcoMaxImages) break;
      const DirEntry& d = entries_[size_t(i)];
      int bits = d.bitCount ? d.bitCount : d.colours ? BitsForColours(d.colours) : 24;
      const int pngBits = PngBitsAt(d.offset);
      if (pngBits > 0) bits = pngBits;
      params_.IcoSizes[size_t(n)] = {d.width ? d.width : 256, d.height ? d.height : 256};
      params_.IcoBitCounts[size_t(n)] = bits;
      ++n;
    }
  }

  // Bits per pixel of a PNG image at offset, 0 when there is none.
  int PngBitsAt(uint32_t offset) {
    constexpr int64_t kHead = 26;  // signature, IHDR length and type, width, height, depth, type
    uint8_t h[kHead];
    if (offset > uint64_t(size_ - start_) || size_ - start_ - int64_t(offset) < kHead) return 0;
    stream_.Seek(start_ + int64_t(offset), soBeginning);
    if (stream_.Read(h, kHead) != kHead) return 0;
    if (std::memcmp(h, kPngSignature, 8) != 0 || std::memcmp(h + 12, "IHDR", 4) != 0) return 0;
    return PngBitsPerPixel(h[24], h[25]);
  }

  // ---- PNG images

  // The PNG codec reads the image, alpha included; its alpha comes back as the mask.
  void ReadPngImage(bool ignoreAlpha, std::unique_ptr<TLxMask>& alphaMask, bool infoOnly) {
    const TLxCodecDescriptor* png = FindCodec(ftPng);
    if (!png || !png->Read) {
      progress_.Fail(TLxFailure::Unsupported, imageStart_, "PNG images are not supported");
      return;
    }
    TLxStreamWindow window(stream_, imageStart_, size_ - imageStart_);
    std::unique_ptr<TLxMask> pngMask;
    TLxReadArgs args{window, bitmap_, params_, progress_, infoOnly, &pngMask};
    png->Read(args);
    if (infoOnly || progress_.Aborting()) return;
    alphaMask.reset();
    if (ignoreAlpha) {
      bitmap_.RemoveAlphaChannel(false, clWhite);
      return;
    }
    auto mask = std::make_unique<TLxMask>();
    if (pngMask) {
      mask = std::move(pngMask);
    } else if (bitmap_.HasAlphaChannel()) {
      bitmap_.AlphaChannel()->CopyToMask(*mask);
    } else if (!cursor_) {
      return;  // no transparency
    } else if (!mask->Allocate(bitmap_.Width(), bitmap_.Height(), 8)) {
      progress_.Fail(TLxFailure::OutOfMemory, "cannot allocate the mask");
      return;
    } else {
      mask->Fill(255);
    }
    bitmap_.RemoveAlphaChannel(false, clWhite);
    mask->AllOpaque = false;
    HandOver(std::move(mask), alphaMask);
  }

  // ---- bitmap images

  void ReadDibImage(bool ignoreAlpha, std::unique_ptr<TLxMask>& alphaMask, bool infoOnly) {
    if (!ReadInfoHeader() || !ChooseDepth() || !ReadPalette()) return;
    if (infoOnly) return;
    const PixelFormat pf = ChooseLayout();
    if (!CheckSize(pf)) return;
    bitmap_.ReallocPending = true;
    if (!bitmap_.Allocate(int(width_), int(height_), pf)) {
      progress_.Fail(TLxFailure::OutOfMemory, "cannot allocate the image");
      return;
    }
    alphaMask.reset();
    std::unique_ptr<TLxMask> mask;
    if (!ignoreAlpha) {
      mask = std::make_unique<TLxMask>();
      if (!mask->Allocate(int(width_), int(height_), 8)) {
        progress_.Fail(TLxFailure::OutOfMemory, "cannot allocate the mask");
        return;
      }
      mask->Fill(255);
      mask->AllOpaque = false;
    }
    mask_ = mask.get();
    if (!DecodeColourRows()) return;
    if (bits_ == 32 && !ignoreAlpha && alphaAllZero_) {
      // Fourth bytes that are all 0 carry no alpha: the AND mask says what is transparent,
      // and without one the image is opaque.
      if (MaskAvailable()) {
        if (!DecodeMask()) return;
      } else {
        mask->Fill(255);
      }
    } else if (bits_ != 32) {
      if (!DecodeMask()) return;
    }
    if (mask) HandOver(std::move(mask), alphaMask);
  }

  // The info header: at least 40 bytes (the colours follow it, however long it is), a width and
  // height that are not negative, no compression.
  bool ReadInfoHeader() {
    const int64_t at = imageStart_;
    stream_.Seek(at, soBeginning);
    uint8_t ih[kIcoInfoHeaderSize];
    const uint32_t headerSize = in_.u32le();
    if (!in_.ok()) {
      progress_.Fail(TLxFailure::Truncated, at, "truncated info header");
      return false;
    }
    if (headerSize < kIcoInfoHeaderSize) {
      progress_.Fail(TLxFailure::BadHeader, at, "bad info header size");
      return false;
    }
    if (int64_t(headerSize) > size_ - at) {
      progress_.Fail(TLxFailure::Truncated, at, "truncated info header");
      return false;
    }
    stream_.Seek(at, soBeginning);
    in_.bytes(ih, kIcoInfoHeaderSize);
    paletteStart_ = at + headerSize;
    headerWidth_ = int32_t(LoadU32LE(ih + 4));
    headerHeight_ = int32_t(LoadU32LE(ih + 8));
    headerBits_ = LoadU16LE(ih + 14);
    const uint32_t compression = LoadU32LE(ih + 16);
    colorsUsed_ = LoadU32LE(ih + 32);
    SetDpi(int32_t(LoadU32LE(ih + 24)), int32_t(LoadU32LE(ih + 28)));
    if (headerWidth_ < 0) {
      progress_.Fail(TLxFailure::BadHeader, at + 4, "negative width");
      return false;
    }
    if (headerHeight_ < 0) {
      progress_.Fail(TLxFailure::BadHeader, at + 8, "negative height");
      return false;
    }
    if (compression != 0) {
      progress_.Fail(TLxFailure::BadHeader, at + 16,
                     "bad compression " + std::to_string(compression));
      return false;
    }
    return true;
  }

  // Pixels per metre to dots per inch; values that round below 1 give DefaultDPI.
  void SetDpi(int32_t ppmX, int32_t ppmY) {
    auto dpi = [](int32_t ppm) {
      double d = double(ppm) / 100.0 * 2.54;
      return std::nearbyint(d) < 1 ? double(DefaultDPI) : d;
    };
    params_.SetDpiX(dpi(ppmX));
    params_.SetDpiY(dpi(ppmY));
  }

  // Bits per pixel, the record's sample layout and the image size.
  bool ChooseDepth() {
    int b = headerBits_;
    if (b == 0 && !cursor_) b = entry_.bitCount;
    if (b == 0 && entry_.colours) b = BitsForColours(entry_.colours);
    if (b == 0) {
      progress_.Fail(TLxFailure::BadHeader, imageStart_ + 14, "no bit count");
      return false;
    }
    if (b != 1 && b != 4 && b != 8 && b != 24 && b != 32) {
      progress_.Fail(TLxFailure::Unsupported, imageStart_ + 14,
                     "unsupported bit depth " + std::to_string(b));
      return false;
    }
    bits_ = b;
    if (b <= 8)
      params_.BitsPerSample = b, params_.SamplesPerPixel = 1;
    else
      params_.BitsPerSample = 8, params_.SamplesPerPixel = b == 32 ? 4 : 3;

    width_ = entry_.width ? entry_.width : headerWidth_;
    height_ = entry_.height ? entry_.height : headerHeight_ / 2;
    // Icons whose directory disagrees with a plausible info header follow the header.
    if (!cursor_ && entry_.width && entry_.width != headerWidth_ && headerWidth_ != 0 &&
        headerWidth_ < kIcoHeaderTrustLimit && headerHeight_ < kIcoHeaderTrustLimit) {
      width_ = headerWidth_;
      height_ = headerHeight_ / 2;
    }
    if (width_ == 0 || height_ == 0) {
      progress_.Fail(TLxFailure::BadHeader, imageStart_ + 4, "image of no pixels");
      return false;
    }
    params_.Width = int32_t(width_);
    params_.Height = int32_t(height_);
    return true;
  }

  // The colours the info header says are used (when that is below 2^b), else 2^b; indices past
  // them are black.
  bool ReadPalette() {
    params_.FreeColorMap();
    if (bits_ > 8) return true;
    const uint32_t full = 1u << bits_;
    const uint32_t count = colorsUsed_ != 0 && colorsUsed_ < full ? colorsUsed_ : full;
    paletteCount_ = count;
    if (int64_t(count) * 4 > size_ - paletteStart_) {
      progress_.Fail(TLxFailure::Truncated, paletteStart_, "truncated palette");
      return false;
    }
    stream_.Seek(paletteStart_, soBeginning);
    std::vector<uint8_t> raw(size_t(count) * 4);
    in_.bytes(raw.data(), int64_t(raw.size()));
    std::vector<TRGB> map(count);
    for (uint32_t i = 0; i < count; ++i) {
      map[i] = TRGB{raw[4 * i], raw[4 * i + 1], raw[4 * i + 2]};
      palette_[i] = map[i];
    }
    params_.SetColorMap(map.data(), int32_t(count));
    return true;
  }

  // 1-bit images of black and white (either order) stay bilevel; the rest is 24-bit.
  PixelFormat ChooseLayout() {
    if (bits_ != 1) return lx24RGB;
    const TRGB black{0, 0, 0}, white{255, 255, 255};
    if (palette_[0] == black && palette_[1] == white) return lx1g;
    if (palette_[0] == white && palette_[1] == black) {
      invert1_ = true;
      return lx1g;
    }
    return lx24RGB;
  }

  bool CheckSize(PixelFormat pf) {
    rowLen_ = ((width_ * bits_ + 31) / 32) * 4;
    maskRowLen_ = ((width_ + 31) / 32) * 4;
    const int64_t available = size_ - ColourDataStart();
    uint64_t least = 0;
    if (!checked_mul(uint64_t(rowLen_), uint64_t(height_), least) ||
        CheckImageSize(width_, height_, pf, least, available) != TLxFailure::None ||
        !progress_.PixelsAllowed(uint64_t(width_), uint64_t(height_))) {
      progress_.Fail(TLxFailure::TooLarge, imageStart_ + 4, "image too large");
      return false;
    }
    return true;
  }

  int64_t ColourDataStart() const { return paletteStart_ + int64_t(paletteCount_) * 4; }

  // Reads row bytes; a row the stream ends in is completed with zeros. False when the data
  // ended before the row did.
  bool ReadRow(std::vector<uint8_t>& row) {
    int64_t got = std::max<int64_t>(stream_.Read(row.data(), int64_t(row.size())), 0);
    if (got < int64_t(row.size())) {
      std::memset(row.data() + got, 0, row.size() - size_t(got));
      return false;
    }
    return true;
  }

  // The XOR image, bottom row first, into the bitmap (and the alpha bytes of 32-bit images
  // into the mask).
  bool DecodeColourRows() {
    stream_.Seek(ColourDataStart(), soBeginning);
    std::vector<uint8_t> row(static_cast<size_t>(rowLen_));
    const int h = int(height_);
    progress_.BeginRows(h);
    for (int k = 0; k < h; ++k) {
      const bool whole = ReadRow(row);
      const int y = h - 1 - k;
      DecodeRow(row.data(), y);
      if (!whole) {
        progress_.Fail(TLxFailure::Truncated, stream_.Position(), "truncated pixel data");
        return false;
      }
      progress_.RowDone();
      if (progress_.Aborting()) return false;
    }
    return true;
  }

  void DecodeRow(const uint8_t* src, int y) {
    uint8_t* dst = bitmap_.ScanLine(y);
    const int w = int(width_);
    auto put = [dst](int x, const TRGB& c) {
      uint8_t* p = dst + 3 * x;
      p[0] = c.b, p[1] = c.g, p[2] = c.r;
    };
    switch (bits_) {
      case 1:
        if (bitmap_.PixelFormat() == lx1g) {
          const int64_t n = std::min<int64_t>(bitmap_.RowLen(), rowLen_);
          for (int64_t i = 0; i < n; ++i) dst[i] = invert1_ ? uint8_t(~src[i]) : src[i];
        } else {
          for (int x = 0; x < w; ++x) put(x, palette_[(src[x >> 3] >> (7 - (x & 7))) & 1]);
        }
        break;
      case 4:
        for (int x = 0; x < w; ++x) put(x, palette_[x & 1 ? src[x >> 1] & 15 : src[x >> 1] >> 4]);
        break;
      case 8:
        for (int x = 0; x < w; ++x) put(x, palette_[src[x]]);
        break;
      case 24:
        std::memcpy(dst, src, size_t(w) * 3);
        break;
      case 32: {
        uint8_t* a = mask_ ? mask_->ScanLine(y) : nullptr;
        for (int x = 0; x < w; ++x) {
          const uint8_t* p = src + 4 * x;
          dst[3 * x] = p[0], dst[3 * x + 1] = p[1], dst[3 * x + 2] = p[2];
          alphaAllZero_ &= p[3] == 0;
          if (a) a[x] = p[3];
        }
        break;
      }
      default:
        break;
    }
  }

  bool MaskAvailable() {
    uint64_t bytes = 0;
    return checked_mul(uint64_t(maskRowLen_), uint64_t(height_), bytes) &&
           bytes <= uint64_t(std::max<int64_t>(size_ - stream_.Position(), 0));
  }

  // The AND mask, bottom row first, right after the colour rows. A set bit makes the pixel
  // transparent: mask value 0 and, for images up to 24 bits, the background colour (1-bit
  // black-and-white images keep the screen rule: transparent pixels of colour 1 invert it).
  bool DecodeMask() {
    std::vector<uint8_t> row(static_cast<size_t>(maskRowLen_));
    const int h = int(height_), w = int(width_);
    const TRGB background = cursor_ ? params_.CurBackground : params_.IcoBackground;
    const bool whiteBackground = background == TRGB{255, 255, 255};
    const bool bilevel = bitmap_.PixelFormat() == lx1g;
    for (int k = 0; k < h; ++k) {
      const bool whole = ReadRow(row);
      const int y = h - 1 - k;
      uint8_t* m = mask_ ? mask_->ScanLine(y) : nullptr;
      uint8_t* dst = bits_ == 32 ? nullptr : bitmap_.ScanLine(y);
      for (int x = 0; x < w; ++x) {
        const bool transparent = MaskBit(row.data(), x);
        if (bits_ == 32) {
          if (m) m[x] = transparent ? 0 : 255;
          continue;
        }
        if (!transparent) continue;
        if (m) m[x] = 0;
        if (bilevel) {
          uint8_t& byte = dst[x >> 3];
          const uint8_t bit = uint8_t(0x80 >> (x & 7));
          const bool index = bool(byte & bit) != invert1_;
          if (index != whiteBackground)
            byte |= bit;
          else
            byte &= uint8_t(~bit);
        } else {
          uint8_t* p = dst + 3 * x;
          p[0] = background.b, p[1] = background.g, p[2] = background.r;
        }
      }
      if (!whole) {
        progress_.Fail(TLxFailure::Truncated, stream_.Position(), "truncated mask");
        return false;
      }
    }
    return true;
  }

  // Icons return a mask only when it has transparent pixels; cursors always return it.
  void HandOver(std::unique_ptr<TLxMask> mask, std::unique_ptr<TLxMask>& alphaMask) {
    if (!cursor_) {
      mask->UpdateAllOpaque();
      if (mask->AllOpaque) return;
    }
    mask->RecomputeBounds();
    alphaMask = std::move(mask);
  }

  TStream& stream_;
  ByteReader in_;
  TLxBitmap& bitmap_;
  TIOParamsVals& params_;
  ProgressRecord& progress_;
  const bool cursor_;
  const int64_t start_;
  const int64_t size_;
  std::vector<DirEntry> entries_;
  DirEntry entry_;
  int64_t imageStart_ = 0, paletteStart_ = 0;
  int32_t headerWidth_ = 0, headerHeight_ = 0;
  int headerBits_ = 0;
  uint32_t colorsUsed_ = 0, paletteCount_ = 0;
  int bits_ = 0;
  int64_t width_ = 0, height_ = 0, rowLen_ = 0, maskRowLen_ = 0;
  TRGB palette_[256] = {};
  bool invert1_ = false;
  bool alphaAllZero_ = true;
  TLxMask* mask_ = nullptr;
};

void ReadIconOrCursor(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool ignoreAlpha,
                      std::unique_ptr<TLxMask>& alphaMask, ProgressRecord& progress, bool infoOnly,
                      bool cursor) {
  // Buffers are bounded by the stream before they are made; a machine that still cannot
  // provide them fails the load instead of throwing through callers.
  try {
    IconReader(stream, bitmap, params, progress, cursor).Read(ignoreAlpha, alphaMask, infoOnly);
  } catch (const std::bad_alloc&) {
    progress.Fail(TLxFailure::OutOfMemory, "out of memory");
  } catch (const std::length_error&) {
    progress.Fail(TLxFailure::OutOfMemory, "out of memory");
  }
}

}  // namespace

void ReadIcoStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool ignoreAlpha,
                   std::unique_ptr<TLxMask>& alphaMask, ProgressRecord& progress, bool infoOnly) {
  ReadIconOrCursor(stream, bitmap, params, ignoreAlpha, alphaMask, progress, infoOnly, false);
}

void ReadCurStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool ignoreAlpha,
                   std::unique_ptr<TLxMask>& alphaMask, ProgressRecord& progress, bool infoOnly) {
  ReadIconOrCursor(stream, bitmap, params, ignoreAlpha, alphaMask, progress, infoOnly, true);
}

}  // namespace lumenax
