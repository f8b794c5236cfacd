// Icon writer: one image per requested size and depth, each the bitmap resampled to its size
// and stored as a device-independent bitmap of 1, 4, 8, 24 or 32 bits with a 1-bit AND mask
// made from the alpha channel.
//
// Sizes outside what a directory entry can describe are refused before anything is written.
// The caller's bitmap is never changed: every image is made on a private copy.
#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/byte_reader.h"
#include "bitmap/conversion.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/common/resolution.h"
#include "codecs/ico/ico.h"
#include "codecs/ico/ico_format.h"
#include "io/params.h"
#include "process/resample.h"
#include "quantize/quantizer.h"

namespace lumenax {

namespace {

void PutU16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(uint8_t(v)), out.push_back(uint8_t(v >> 8));
}
void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  PutU16(out, v & 0xFFFF), PutU16(out, v >> 16);
}

int64_t RowBytes(int64_t width, int bits) {
  return ((width * bits + 31) / 32) * 4;
}

// The depth of an image from its requested bit count; 0 asks the record's sample layout.
int ChooseDepth(int32_t requested, const TIOParamsVals& params) {
  switch (requested) {
    case 1:
    case 4:
    case 8:
    case 32:
      return requested;
    case 0: {
      const int spp = params.SamplesPerPixel, bps = params.BitsPerSample;
      if (spp == 3 && bps == 8) return 24;
      if (spp == 4 && bps == 8) return 32;
      if (spp == 1 && bps == 1) return 1;
      if (spp == 1 && bps == 4) return 4;
      return 8;
    }
    default:
      return 24;
  }
}

struct ImageRecord {
  uint32_t offset = 0;  // from the first byte of the header
  uint32_t bytes = 0;
  int depth = 0;
  int width = 0, height = 0;
};

class IconWriter {
 public:
  IconWriter(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, ProgressRecord& progress)
      : stream_(stream), bitmap_(bitmap), params_(params), progress_(progress) {}

  void Write(std::span<const int32_t> bitCounts, std::span<const TIcoSize> sizes) {
    if (!CheckRequest(sizes)) return;
    const size_t n = sizes.size();
    TLxBitmap* source = &bitmap_;
    // The resampler serves 24-bit and bilevel images; anything else is made 24-bit first.
    TLxBitmap converted;
    if (bitmap_.PixelFormat() != lx24RGB && bitmap_.PixelFormat() != lx1g) {
      converted.Assign(bitmap_);
      converted.SetPixelFormat(lx24RGB);
      if (converted.PixelFormat() != lx24RGB) {
        progress_.Fail(TLxFailure::OutOfMemory, "cannot make a 24-bit copy of the image");
        return;
      }
      source = &converted;
    }

    start_ = stream_.Position();
    std::vector<uint8_t> head;
    PutU16(head, 0), PutU16(head, kIcoResourceIcon), PutU16(head, uint16_t(n));
    // The directory's place, filled in when the images are written.
    head.resize(size_t(kIcoHeaderSize + kIcoEntrySize * int64_t(n)), 0);
    if (!Put(head)) return;
    progress_.Per1 = 100.0 / double(n);

    params_.FreeColorMap();
    if (bitmap_.PixelFormat() != lx24RGB) params_.BitsPerSample = params_.SamplesPerPixel = 1;

    std::vector<ImageRecord> images(n);
    for (size_t i = 0; i < n; ++i) {
      progress_.Report(int(double(i) * progress_.Per1));
      if (progress_.Aborting()) {
        // A save that stops part way fails; its target is not replaced.
        progress_.Fail(TLxFailure::Cancelled, "cancelled");
        return;
      }
      const int32_t requested = i < bitCounts.size() ? bitCounts[i] : 0;
      ImageRecord& rec = images[i];
      rec.width = sizes[i].Width, rec.height = sizes[i].Height;
      rec.depth = ChooseDepth(requested, params_);
      const int64_t at = stream_.Position();
      if (!WriteImage(*source, rec)) return;
      rec.offset = uint32_t(at - start_);
      rec.bytes = uint32_t(stream_.Position() - at);
    }

    const int64_t end = stream_.Position();
    std::vector<uint8_t> dir;
    for (const ImageRecord& r : images) {
      const bool palette = r.depth <= 8;
      dir.push_back(uint8_t(r.width & 0xFF));
      dir.push_back(uint8_t(r.height & 0xFF));
      dir.push_back(uint8_t(palette ? std::min(1 << r.depth, 255) : 0));
      dir.push_back(0);
      PutU16(dir, palette ? 0 : 1);
      PutU16(dir, palette ? 0 : uint32_t(r.depth));
      PutU32(dir, r.bytes);
      PutU32(dir, r.offset);
    }
    stream_.Seek(start_ + kIcoHeaderSize, soBeginning);
    if (!Put(dir)) return;
    stream_.Seek(end, soBeginning);
  }

 private:
  bool CheckRequest(std::span<const TIcoSize> sizes) {
    if (sizes.empty()) {
      progress_.Fail(TLxFailure::NoImage, "no icon size to write");
      return false;
    }
    if (sizes.size() > 0xFFFF) {
      progress_.Fail(TLxFailure::Unsupported, "too many icon images");
      return false;
    }
    for (const TIcoSize& s : sizes) {
      if (s.Width < 1 || s.Width > kIcoMaxSide || s.Height < 1 || s.Height > kIcoMaxSide) {
        progress_.Fail(TLxFailure::Unsupported, "icon sizes are 1 to 256 pixels");
        return false;
      }
    }
    if (bitmap_.IsEmpty() || bitmap_.Width() <= 0 || bitmap_.Height() <= 0) {
      progress_.Fail(TLxFailure::NoImage, "empty image");
      return false;
    }
    return true;
  }

  bool Put(const std::vector<uint8_t>& bytes) {
    const int64_t at = stream_.Position();
    if (stream_.Write(bytes.data(), int64_t(bytes.size())) != int64_t(bytes.size())) {
      progress_.Fail(TLxFailure::WriteFailed, at, "write failed");
      return false;
    }
    return true;
  }

  // The source at the image's size: nearest neighbour for bilevel images, interpolated for
  // the rest; the alpha channel comes along.
  bool Resampled(TLxBitmap& source, const ImageRecord& rec, TLxBitmap& scaled, TLxBitmap*& out) {
    if (source.Width() == rec.width && source.Height() == rec.height) {
      out = &source;
      return true;
    }
    const TResampleFilter filter = source.PixelFormat() == lx1g ? rfNone : rfFastLinear;
    bool failed = false;
    TLxFailureReason reason;
    ProgressRecord quiet;
    quiet.AbortingPtr = &failed;
    quiet.ReasonPtr = &reason;
    if (!scaled.Allocate(rec.width, rec.height,
                         ResampledPixelFormat(source.PixelFormat(), filter)) ||
        !ResampleBitmap(source, scaled, filter, quiet)) {
      progress_.Fail(reason ? reason.Code : TLxFailure::OutOfMemory, "cannot resample the image");
      return false;
    }
    out = &scaled;
    return true;
  }

  bool WriteImage(TLxBitmap& source, const ImageRecord& rec) {
    TLxBitmap scaled;
    TLxBitmap* img = nullptr;
    if (!Resampled(source, rec, scaled, img)) return false;
    TLxBitmap* alpha = img->HasAlphaChannel() ? img->AlphaChannel() : nullptr;

    // The layout the depth needs: bilevel rows for 1 bit, 24-bit rows for the rest.
    std::unique_ptr<TLxBitmap> copy;
    if (rec.depth == 1 && img->PixelFormat() != lx1g) {
      TRGB c1, c2;
      copy = ExtractTwoColorBitmap(*img, c1, c2);
      if (!copy) {
        copy = std::make_unique<TLxBitmap>();
        copy->BlackWhiteMethod = img->BlackWhiteMethod;
        copy->AssignImage(*img);
        copy->SetPixelFormat(lx1g);
      }
    } else if (rec.depth != 1 && img->PixelFormat() != lx24RGB) {
      copy = std::make_unique<TLxBitmap>();
      copy->AssignImage(*img);
      copy->SetPixelFormat(lx24RGB);
    }
    TLxBitmap& pixels = copy ? *copy : *img;
    const PixelFormat want = rec.depth == 1 ? lx1g : lx24RGB;
    if (pixels.PixelFormat() != want || pixels.Width() != rec.width ||
        pixels.Height() != rec.height) {
      progress_.Fail(TLxFailure::OutOfMemory, "cannot convert the image");
      return false;
    }

    const int w = rec.width, h = rec.height, depth = rec.depth;
    const int64_t rowLen = RowBytes(w, depth), maskRowLen = RowBytes(w, 1);
    std::vector<uint8_t> out;
    out.reserve(size_t(kIcoInfoHeaderSize + 1024 + (rowLen + maskRowLen) * h));
    PutU32(out, kIcoInfoHeaderSize);
    PutU32(out, uint32_t(w));
    PutU32(out, uint32_t(2 * h));
    PutU16(out, 1);
    PutU16(out, uint32_t(depth));
    PutU32(out, 0);
    PutU32(out, depth <= 8 ? uint32_t((rowLen + maskRowLen) * h) : 0);
    PutU32(out, uint32_t(int32_t(PixelsPerMetreFromDpi(params_.DpiX, INT32_MIN, INT32_MAX))));
    PutU32(out, uint32_t(int32_t(PixelsPerMetreFromDpi(params_.DpiY, INT32_MIN, INT32_MAX))));
    PutU32(out, 0);
    PutU32(out, 0);

    // Palette: black and white for 1 bit; black, then the quantizer's colours for 4 and 8.
    std::optional<TLxQuantizer> quantizer;
    if (depth == 1) {
      const uint8_t bw[8] = {0, 0, 0, 0, 255, 255, 255, 0};
      out.insert(out.end(), bw, bw + 8);
    } else if (depth <= 8) {
      const int entries = 1 << depth;
      std::vector<TRGB> map(static_cast<size_t>(entries));
      quantizer.emplace(pixels, map.data(), entries - 1);
      params_.SetColorMap(map.data(), entries);
      out.insert(out.end(), 4, 0);
      for (int k = 1; k < entries; ++k) {
        const TRGB& c = map[size_t(k - 1)];
        out.push_back(c.b), out.push_back(c.g), out.push_back(c.r), out.push_back(0);
      }
    }

    auto transparent = [alpha](int x, int y) { return alpha && alpha->ScanLine(y)[x] < 255; };
    // Colour rows, bottom row first. Transparent pixels are index 0 (black).
    std::vector<uint8_t> row(static_cast<size_t>(rowLen));
    for (int k = 0; k < h; ++k) {
      const int y = h - 1 - k;
      std::fill(row.begin(), row.end(), 0);
      const uint8_t* src = pixels.ScanLine(y);
      switch (depth) {
        case 1:
          std::memcpy(row.data(), src, size_t(std::min<int64_t>(rowLen, pixels.RowLen())));
          for (int x = 0; x < w; ++x)
            if (transparent(x, y)) row[size_t(x >> 3)] &= uint8_t(~(0x80 >> (x & 7)));
          break;
        case 4:
        case 8:
          for (int x = 0; x < w; ++x) {
            int index = 0;
            if (!transparent(x, y)) {
              const uint8_t* p = src + 3 * x;
              const int limit = (1 << depth) - 2;
              index = std::min(quantizer->RGBToIndex(p[0] | p[1] << 8 | p[2] << 16), limit) + 1;
            }
            if (depth == 8)
              row[size_t(x)] = uint8_t(index);
            else
              row[size_t(x >> 1)] |= uint8_t(x & 1 ? index : index << 4);
          }
          break;
        case 24:
          std::memcpy(row.data(), src, size_t(w) * 3);
          for (int x = 0; x < w; ++x)
            if (transparent(x, y)) std::memset(row.data() + 3 * x, 0, 3);
          break;
        case 32: {
          const uint8_t* a = alpha ? alpha->ScanLine(y) : nullptr;
          for (int x = 0; x < w; ++x) {
            uint8_t* q = row.data() + 4 * x;
            q[0] = src[3 * x], q[1] = src[3 * x + 1], q[2] = src[3 * x + 2];
            q[3] = a ? a[x] : 255;
          }
          break;
        }
        default:
          break;
      }
      out.insert(out.end(), row.begin(), row.end());
    }

    // AND mask: a set bit for every pixel whose alpha is below 255.
    std::vector<uint8_t> mrow(static_cast<size_t>(maskRowLen));
    for (int k = 0; k < h; ++k) {
      const int y = h - 1 - k;
      std::fill(mrow.begin(), mrow.end(), 0);
      for (int x = 0; x < w; ++x)
        if (transparent(x, y)) mrow[size_t(x >> 3)] |= uint8_t(0x80 >> (x & 7));
      out.insert(out.end(), mrow.begin(), mrow.end());
    }
    return Put(out);
  }

  TStream& stream_;
  TLxBitmap& bitmap_;
  TIOParamsVals& params_;
  ProgressRecord& progress_;
  int64_t start_ = 0;
};

}  // namespace

void WriteIcoStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                    std::span<const int32_t> bitCounts, std::span<const TIcoSize> sizes,
                    ProgressRecord& progress) {
  try {
    IconWriter(stream, bitmap, params, progress).Write(bitCounts, sizes);
  } catch (const std::bad_alloc&) {
    progress.Fail(TLxFailure::OutOfMemory, "out of memory");
  } catch (const std::length_error&) {
    progress.Fail(TLxFailure::OutOfMemory, "out of memory");
  }
}

}  // namespace lumenax
