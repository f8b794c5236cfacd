// BMP writer: bottom-up Windows bitmaps of 1, 4, 8, 24 and 32 bits, RLE4/RLE8 on request,
// with a core, 40-byte or 64-byte info header.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/byte_reader.h"
#include "bitmap/conversion.h"
#include "bitmap/progress.h"
#include "codecs/bmp/bmp.h"
#include "codecs/bmp/bmp_rle.h"
#include "codecs/common/resolution.h"
#include "io/params.h"
#include "quantize/quantizer.h"

namespace lumenax {
namespace {

constexpr size_t kWriteBlock = size_t(1) << 20;
constexpr uint16_t kSignature = 0x4D42;  // "BM"
constexpr int64_t kFileHeaderSize = 14;
constexpr uint32_t kCoreHeaderSize = 12, kInfoHeaderSize = 40, kInfo64HeaderSize = 64;
constexpr int64_t kMaxPaletteBytes = 256 * 4;
// Core headers hold width and height in 16 bits.
constexpr int kCoreMaxSide = 0xFFFF;
// Values of the compression field.
constexpr uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2;

void PutU16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(uint8_t(x)), v.push_back(uint8_t(x >> 8));
}
void PutU32(std::vector<uint8_t>& v, uint32_t x) {
  PutU16(v, x & 0xFFFF), PutU16(v, x >> 16);
}

// Collects output in large blocks; a write that the stream does not take completely sets
// Aborting. Counts every byte so that positions need no seeks.
class BlockWriter {
 public:
  // expected: about how many bytes will be written, so that small images take small buffers.
  BlockWriter(TStream& stream, ProgressRecord& progress, int64_t expected)
      : stream_(stream), progress_(progress), start_(stream.Position()) {
    buffer_.reserve(size_t(std::clamp<int64_t>(expected, 64, int64_t(kWriteBlock))));
  }
  void Put(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    written_ += int64_t(n);
    if (n >= kWriteBlock) {
      Flush();
      Write(b, n);
      return;
    }
    if (buffer_.size() + n > kWriteBlock) Flush();
    buffer_.insert(buffer_.end(), b, b + n);
  }
  void Put(const std::vector<uint8_t>& v) { Put(v.data(), v.size()); }
  void Flush() {
    if (!buffer_.empty()) Write(buffer_.data(), buffer_.size());
    buffer_.clear();
  }
  int64_t Written() const { return written_; }

 private:
  void Write(const uint8_t* p, size_t n) {
    if (failed_) return;
    if (stream_.Write(p, int64_t(n)) != int64_t(n)) {
      failed_ = true;
      progress_.Fail(TLxFailure::WriteFailed, start_ + flushed_, "write failed");
    }
    flushed_ += int64_t(n);
  }
  TStream& stream_;
  ProgressRecord& progress_;
  const int64_t start_;  // stream position of the first byte
  int64_t flushed_ = 0;  // bytes handed to the stream so far
  std::vector<uint8_t> buffer_;
  int64_t written_ = 0;
  bool failed_ = false;
};

enum class HeaderKind { Core, Info40, Info64 };

struct HeaderFields {
  HeaderKind kind = HeaderKind::Info40;
  int width = 0, height = 0, bits = 0;
  uint32_t compression = 0, imageSize = 0, colorsUsed = 0, colorsImportant = 0;
  int32_t ppmX = 0, ppmY = 0;
};

std::vector<uint8_t> InfoHeader(const HeaderFields& f) {
  std::vector<uint8_t> v;
  if (f.kind == HeaderKind::Core) {
    PutU32(v, kCoreHeaderSize);
    PutU16(v, uint32_t(f.width)), PutU16(v, uint32_t(f.height));
    PutU16(v, 1), PutU16(v, uint32_t(f.bits));
    return v;
  }
  PutU32(v, f.kind == HeaderKind::Info64 ? kInfo64HeaderSize : kInfoHeaderSize);
  PutU32(v, uint32_t(f.width)), PutU32(v, uint32_t(f.height));
  PutU16(v, 1), PutU16(v, uint32_t(f.bits));
  PutU32(v, f.compression), PutU32(v, f.imageSize);
  PutU32(v, uint32_t(f.ppmX)), PutU32(v, uint32_t(f.ppmY));
  PutU32(v, f.colorsUsed), PutU32(v, f.colorsImportant);
  if (f.kind == HeaderKind::Info64) v.resize(kInfo64HeaderSize, 0);
  return v;
}

std::vector<uint8_t> FileHeader(uint32_t fileSize, uint32_t dataOffset) {
  std::vector<uint8_t> v;
  PutU16(v, kSignature);
  PutU32(v, fileSize);
  PutU32(v, 0);
  PutU32(v, dataOffset);
  return v;
}

// The resolution fields are signed 32-bit values.
int32_t PixelsPerMetre(int32_t dpi) {
  return int32_t(PixelsPerMetreFromDpi(dpi, INT32_MIN, INT32_MAX));
}

// Pending literal pixels of the RLE encoders, flushed in chunks of at most 255.
void FlushLiterals8(const uint8_t* p, int n, std::vector<uint8_t>& out) {
  while (n > 0) {
    int c = std::min(n, 255);
    if (c == 1) {
      out.push_back(1), out.push_back(p[0]);
    } else if (c == 2) {
      out.push_back(1), out.push_back(p[0]), out.push_back(1), out.push_back(p[1]);
    } else {
      out.push_back(0), out.push_back(uint8_t(c));
      out.insert(out.end(), p, p + c);
      if (c & 1) out.push_back(0);
    }
    p += c, n -= c;
  }
}

void FlushLiterals4(const uint8_t* p, int n, std::vector<uint8_t>& out) {
  while (n > 0) {
    int c = std::min(n, 255);
    if (c == 1) {
      out.push_back(1), out.push_back(uint8_t(p[0] << 4));
    } else if (c == 2) {
      out.push_back(2), out.push_back(uint8_t(p[0] << 4 | (p[1] & 15)));
    } else {
      out.push_back(0), out.push_back(uint8_t(c));
      int bytes = (c + 1) / 2;
      for (int i = 0; i < bytes; ++i) {
        uint8_t hi = p[2 * i] & 15, lo = 2 * i + 1 < c ? p[2 * i + 1] & 15 : 0;
        out.push_back(uint8_t(hi << 4 | lo));
      }
      if (bytes & 1) out.push_back(0);
    }
    p += c, n -= c;
  }
}

}  // namespace

// One row of indices (one per byte) as RLE8 or RLE4, ending with the end-of-line mark.
// Two or more equal neighbours become a run of at most 255; everything else is literal.
void EncodeBmpRleRow(const uint8_t* idx, int width, bool rle4, std::vector<uint8_t>& out) {
  int literalStart = 0;
  int x = 0;
  auto flush = [&](int end) {
    if (rle4)
      FlushLiterals4(idx + literalStart, end - literalStart, out);
    else
      FlushLiterals8(idx + literalStart, end - literalStart, out);
  };
  while (x < width) {
    if (x - literalStart > 255) {
      flush(x);
      literalStart = x;
    }
    if (x + 1 < width && idx[x] == idx[x + 1]) {
      flush(x);
      int run = 2;
      while (x + run < width && run < 255 && idx[x + run] == idx[x]) ++run;
      uint8_t v = idx[x];
      out.push_back(uint8_t(run));
      out.push_back(rle4 ? uint8_t((v & 15) << 4 | (v & 15)) : v);
      x += run;
      literalStart = x;
    } else {
      ++x;
    }
  }
  flush(width);
  out.push_back(0), out.push_back(0);
}

namespace {

// Alpha of one row as bytes, 255 where the channel has no value (a channel that does not
// match the image's size after a resize).
void AlphaRow(TLxBitmap* alpha, int y, int width, uint8_t* out) {
  std::fill(out, out + width, uint8_t(255));
  if (!alpha || y >= alpha->Height()) return;
  const int n = std::min(width, alpha->Width());
  const uint8_t* r = alpha->ScanLine(y);
  if (!r) return;
  if (alpha->PixelFormat() == lx8g) {
    std::memcpy(out, r, size_t(n));
  } else if (alpha->PixelFormat() == lx1g) {
    for (int x = 0; x < n; ++x) out[x] = (r[x >> 3] >> (7 - (x & 7))) & 1 ? 255 : 0;
  }
}

// Looks at every value: AllOpaque is only a hint, and 1-bit channels never lower it.
bool AlphaIsOpaque(TLxBitmap& bitmap) {
  TLxBitmap* a = bitmap.AlphaChannel();
  if (!a) return true;
  std::vector<uint8_t> row(size_t(bitmap.Width()));
  for (int y = 0; y < bitmap.Height(); ++y) {
    AlphaRow(a, y, bitmap.Width(), row.data());
    for (uint8_t v : row)
      if (v != 255) return false;
  }
  return true;
}

// Colours of row y as blue, green, red.
const uint8_t* ColourRow(TLxBitmap& bitmap, int y, std::vector<uint8_t>& scratch) {
  const uint8_t* src = bitmap.ScanLine(y);
  if (bitmap.PixelFormat() == lx24RGB) return src;
  const int w = bitmap.Width();
  for (int x = 0; x < w; ++x) {
    TRGB c = PixelAsRGBFromRow(bitmap, src, x);
    scratch[3 * size_t(x)] = c.b, scratch[3 * size_t(x) + 1] = c.g,
                scratch[3 * size_t(x) + 2] = c.r;
  }
  return scratch.data();
}

// Output bit depth: alpha that is meant to be kept and is not all opaque wins; then the
// parameters; then any alpha channel.
int ChooseDepth(TLxBitmap& bitmap, const TIOParamsVals& params, bool keepAlpha) {
  if (keepAlpha && bitmap.HasAlphaChannel() && !AlphaIsOpaque(bitmap)) return 32;
  if (params.BitsPerSample == 1) return 1;
  if (params.BitsPerSample == 4) return 4;
  if (params.SamplesPerPixel == 1) return 8;
  if (bitmap.HasAlphaChannel()) return 32;
  return 24;
}

// The info header fields, with bits per pixel and image size still to be completed.
HeaderFields PlanHeader(int width, int height, int bits, const TIOParamsVals& params) {
  HeaderFields hf;
  hf.width = width;
  hf.height = height;
  hf.bits = bits;
  if (params.BmpVersion == kBmpVersionCore && width <= kCoreMaxSide && height <= kCoreMaxSide)
    hf.kind = HeaderKind::Core;
  else if (params.BmpVersion == kBmpVersionInfo64)
    hf.kind = HeaderKind::Info64;
  else
    hf.kind = HeaderKind::Info40;
  const bool rle = (bits == 4 || bits == 8) && params.BmpCompression == kBmpRunLength &&
                   hf.kind != HeaderKind::Core;
  hf.compression = rle ? (bits == 4 ? kRle4 : kRle8) : kRgb;
  hf.ppmX = PixelsPerMetre(params.DpiX);
  hf.ppmY = PixelsPerMetre(params.DpiY);
  hf.colorsUsed = bits <= 8 ? 1u << bits : 0;
  hf.colorsImportant = bits == 32 ? 1 : 1u << std::min(bits, 24);
  return hf;
}

// One write: placeholder headers, palette, rows bottom first, then the headers completed.
class BmpWriter {
 public:
  BmpWriter(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool keepAlpha,
            ProgressRecord& progress)
      : stream_(stream),
        bitmap_(bitmap),
        params_(params),
        keepAlpha_(keepAlpha),
        progress_(progress),
        width_(bitmap.Width()),
        height_(bitmap.Height()) {}

  void Write() {
    if (bitmap_.IsEmpty()) {
      progress_.Fail(TLxFailure::NoImage, "no image to write");
      return;
    }
    const int64_t start = stream_.Position();
    bits_ = ChooseDepth(bitmap_, params_, keepAlpha_);
    hf_ = PlanHeader(width_, height_, bits_, params_);
    core_ = hf_.kind == HeaderKind::Core;
    rle_ = hf_.compression != kRgb;
    rowLen_ = ((int64_t(width_) * bits_ + 31) / 32) * 4;
    colours_ = bits_ <= 8 ? 1 << bits_ : 0;
    if (!rle_ && rowLen_ * height_ + kFileHeaderSize + kInfo64HeaderSize + kMaxPaletteBytes >
                     int64_t(UINT32_MAX)) {
      // Beyond what the 32-bit size fields of the format can describe.
      progress_.Fail(TLxFailure::TooLarge, "image too large for BMP");
      return;
    }

    BlockWriter out(stream_, progress_,
                    kFileHeaderSize + kInfo64HeaderSize + kMaxPaletteBytes + rowLen_ * height_);
    WritePlaceholderHeaders(out);
    progress_.Per1 = 100.0 / height_;
    if (!PreparePalette()) return;
    WritePalette(out);
    const int64_t dataStart = out.Written();
    WriteRows(out);
    out.Flush();
    quantizer_.reset();
    scratchImage_.reset();
    if (progress_.Aborting()) return;
    CompleteHeaders(start, dataStart, out.Written());
  }

 private:
  // A file header that holds only the signature and an info header without bits per pixel;
  // both are completed at the end.
  void WritePlaceholderHeaders(BlockWriter& out) {
    HeaderFields placeholder = hf_;
    placeholder.bits = 0;
    out.Put(FileHeader(0, 0));
    out.Put(InfoHeader(placeholder));
  }

  // The palette and the image the rows come from: a quantizer for 4 and 8 bits, two colours
  // (or black and white) for 1 bit.
  bool PreparePalette() {
    for (int i = 0; i < 256; ++i) remap_[i] = uint8_t(i);
    if (bits_ == 4 || bits_ == 8) {
      PrepareQuantizer();
      return true;
    }
    if (bits_ == 1) return PrepareTwoColours();
    return true;
  }

  void PrepareQuantizer() {
    // Gray layouts go to the quantizer as they are (it gives them a gray ramp); colour
    // layouts other than the two it reads directly are converted to lx24RGB first.
    const PixelFormat pf = bitmap_.PixelFormat();
    if (pf != lx24RGB && pf != lx8p && pf != lx1g && pf != lx8g && pf != lx16g && pf != lx32f) {
      scratchImage_ = std::make_unique<TLxBitmap>();
      scratchImage_->AssignImage(bitmap_);
      scratchImage_->SetPixelFormat(lx24RGB);
      source_ = scratchImage_.get();
    }
    quantizer_ = std::make_unique<TLxQuantizer>(*source_, palette_, colours_);
    if (source_->PixelFormat() == lx8p && colours_ < 256) {
      // Indices the smaller palette does not have take its nearest colour.
      for (int i = colours_; i < 256; ++i) {
        TRGB c = source_->GetPaletteEntry(i);
        int best = 0, bestD = INT32_MAX;
        for (int j = 0; j < colours_; ++j) {
          int dr = c.r - palette_[j].r, dg = c.g - palette_[j].g, db = c.b - palette_[j].b;
          int d = dr * dr + dg * dg + db * db;
          if (d < bestD) best = j, bestD = d;
        }
        remap_[i] = uint8_t(best);
      }
    }
  }

  bool PrepareTwoColours() {
    const TRGB black{0, 0, 0}, white{255, 255, 255};
    palette_[0] = black, palette_[1] = white;
    if (bitmap_.PixelFormat() == lx1g) return true;
    TRGB c1, c2;
    scratchImage_ = ExtractColoursFor1Bit(bitmap_, c1, c2);
    if (scratchImage_) {
      palette_[0] = c1, palette_[1] = c2;
    } else {
      scratchImage_ = std::make_unique<TLxBitmap>();
      scratchImage_->BlackWhiteMethod = bitmap_.BlackWhiteMethod;
      scratchImage_->AssignImage(bitmap_);
      scratchImage_->SetPixelFormat(lx1g);
    }
    source_ = scratchImage_.get();
    if (source_->PixelFormat() != lx1g || source_->Width() != width_ ||
        source_->Height() != height_) {
      progress_.Fail(TLxFailure::OutOfMemory, "cannot make a 1-bit copy of the image");
      return false;
    }
    return true;
  }

  // The palette actually written also goes into the parameter record.
  void WritePalette(BlockWriter& out) {
    if (colours_ == 0) return;
    params_.SetColorMap(palette_, colours_);
    std::vector<uint8_t> pal;
    for (int i = 0; i < colours_; ++i) {
      pal.push_back(palette_[i].b), pal.push_back(palette_[i].g), pal.push_back(palette_[i].r);
      if (!core_) pal.push_back(0);
    }
    out.Put(pal);
  }

  void WriteRows(BlockWriter& out) {
    row_.assign(size_t(rowLen_) + 4, 0);
    scratch_.assign(size_t(width_) * 3 + 4, 0);
    indices_.assign(size_t(std::max<int64_t>(width_, rowLen_)), 0);
    alphaRow_.assign(bits_ == 32 ? size_t(width_) : 0, 0);
    alpha_ =
        bits_ == 32 && keepAlpha_ && bitmap_.HasAlphaChannel() ? bitmap_.AlphaChannel() : nullptr;
    bool complete = true;
    for (int k = 0; k < height_; ++k) {
      const int y = height_ - 1 - k;
      progress_.Report(int(int64_t(k) * 100 / height_));
      if (progress_.Aborting()) {
        complete = false;
        break;
      }
      switch (bits_) {
        case 1:
          WriteRow1(out, y);
          break;
        case 4:
        case 8:
          WriteIndexedRow(out, y);
          break;
        case 24:
          WriteRow24(out, y);
          break;
        case 32:
          WriteRow32(out, y);
          break;
      }
    }
    if (complete && rle_) {
      const uint8_t endOfBitmap[2] = {0, 1};
      out.Put(endOfBitmap, 2);
    }
  }

  // The 1-bit rows as stored, the bits past the width cleared.
  void WriteRow1(BlockWriter& out, int y) {
    const uint8_t* src = source_->ScanLine(y);
    const int bytes = (width_ + 7) / 8;
    std::memcpy(row_.data(), src, size_t(std::min<int64_t>(bytes, source_->RowLen())));
    if (width_ & 7) row_[size_t(bytes - 1)] &= uint8_t(0xFF00 >> (width_ & 7));
    out.Put(row_.data(), size_t(rowLen_));
  }

  // Palette indices of row y: the row's own (remapped) or the quantizer's.
  void IndicesOf(int y) {
    const uint8_t* src = source_->ScanLine(y);
    if (source_->PixelFormat() == lx8p) {
      for (int x = 0; x < width_; ++x) indices_[size_t(x)] = remap_[src[x]];
      return;
    }
    for (int x = 0; x < width_; ++x) {
      uint32_t c = PackBGR(PixelAsRGBFromRow(*source_, src, x));
      if (c != lastColour_) {
        int i = quantizer_->RGBToIndex(c);
        lastIndex_ = i >= 0 && i < colours_ ? i : 0;
        lastColour_ = c;
      }
      indices_[size_t(x)] = uint8_t(lastIndex_);
    }
  }

  void WriteIndexedRow(BlockWriter& out, int y) {
    IndicesOf(y);
    if (rle_) {
      encoded_.clear();
      EncodeBmpRleRow(indices_.data(), width_, bits_ == 4, encoded_);
      out.Put(encoded_);
      return;
    }
    if (bits_ == 8) {
      std::memcpy(row_.data(), indices_.data(), size_t(width_));
    } else {
      for (int x = 0; x < width_; x += 2) {
        uint8_t hi = indices_[size_t(x)], lo = x + 1 < width_ ? indices_[size_t(x) + 1] : 0;
        row_[size_t(x / 2)] = uint8_t(hi << 4 | lo);
      }
    }
    out.Put(row_.data(), size_t(rowLen_));
  }

  void WriteRow24(BlockWriter& out, int y) {
    const uint8_t* src = ColourRow(bitmap_, y, scratch_);
    std::memcpy(row_.data(), src, size_t(width_) * 3);
    out.Put(row_.data(), size_t(rowLen_));
  }

  // Blue, green, red and the alpha value (255 when alpha is not kept).
  void WriteRow32(BlockWriter& out, int y) {
    const uint8_t* src = ColourRow(bitmap_, y, scratch_);
    if (alpha_)
      AlphaRow(alpha_, y, width_, alphaRow_.data());
    else
      std::fill(alphaRow_.begin(), alphaRow_.end(), uint8_t(255));
    uint8_t* d = row_.data();
    for (int x = 0; x < width_; ++x) {
      d[4 * x] = src[3 * x], d[4 * x + 1] = src[3 * x + 1], d[4 * x + 2] = src[3 * x + 2];
      d[4 * x + 3] = alphaRow_[size_t(x)];
    }
    out.Put(row_.data(), size_t(rowLen_));
  }

  // File size, pixel data offset, bits per pixel and image size, written over the
  // placeholders; the stream is left at the end of the file.
  void CompleteHeaders(int64_t start, int64_t dataStart, int64_t end) {
    if (end > int64_t(UINT32_MAX)) {
      progress_.Fail(TLxFailure::TooLarge, "image too large for BMP");
      return;
    }
    hf_.imageSize = uint32_t(end - dataStart);
    std::vector<uint8_t> head = FileHeader(uint32_t(end), uint32_t(dataStart));
    std::vector<uint8_t> info = InfoHeader(hf_);
    head.insert(head.end(), info.begin(), info.end());
    stream_.Seek(start, soBeginning);
    if (stream_.Write(head.data(), int64_t(head.size())) != int64_t(head.size()))
      progress_.Fail(TLxFailure::WriteFailed, start, "write failed");
    stream_.Seek(start + end, soBeginning);
  }

  TStream& stream_;
  TLxBitmap& bitmap_;
  TIOParamsVals& params_;
  const bool keepAlpha_;
  ProgressRecord& progress_;
  const int width_, height_;

  int bits_ = 0;
  HeaderFields hf_;
  bool core_ = false, rle_ = false;
  int64_t rowLen_ = 0;
  int colours_ = 0;

  TLxBitmap* source_ = &bitmap_;  // the bitmap itself or scratchImage_
  std::unique_ptr<TLxBitmap> scratchImage_;
  std::unique_ptr<TLxQuantizer> quantizer_;
  TRGB palette_[256] = {};
  uint8_t remap_[256];

  std::vector<uint8_t> row_, scratch_, indices_, alphaRow_, encoded_;
  TLxBitmap* alpha_ = nullptr;
  uint32_t lastColour_ = 0xFFFFFFFF;
  int lastIndex_ = 0;
};

}  // namespace

// Scratch buffers are bounded by the file (or the image) before they are made; a machine
// that still cannot provide them fails the operation instead of throwing through callers.
void WriteBMPStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool keepAlpha,
                    ProgressRecord& progress) {
  try {
    BmpWriter(stream, bitmap, params, keepAlpha, progress).Write();
  } catch (const std::bad_alloc&) {
    progress.Fail(TLxFailure::OutOfMemory, "out of memory");
  } catch (const std::length_error&) {
    progress.Fail(TLxFailure::OutOfMemory, "out of memory");
  }
}

}  // namespace lumenax
