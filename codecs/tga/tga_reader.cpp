// Targa reader: colour-mapped, true-colour and gray images of 1, 4, 8, 16, 24 and 32 bits,
// plain or run-length encoded, any orientation, with the extension area of the footer.
//
// Every byte is hostile. Image type, depth and colour-map entry size must be ones we decode;
// the colour map keeps entries 0 to 255 and reads over the rest; the extension area is used
// only when it lies wholly inside the stream. The image must be one the stream could hold
// before anything is allocated. Data that end early are decoded as far as they go, the rest
// stays zero, and the load fails as "truncated".
#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/byte_reader.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "codecs/common/image_size.h"
#include "codecs/common/stream_buffer.h"
#include "codecs/tga/tga.h"
#include "io/params.h"

namespace lumenax {

namespace {

constexpr int kHeaderSize = 18;
constexpr int kFooterSize = 26;
constexpr int kExtensionSize = 495;
constexpr char kSignature[18] = {'T', 'R', 'U', 'E', 'V', 'I', 'S', 'I', 'O',
                                 'N', '-', 'X', 'F', 'I', 'L', 'E', '.', '\0'};

struct TgaHeader {
  uint8_t idLength = 0, mapType = 0, type = 0;
  uint16_t mapFirst = 0, mapLength = 0;
  uint8_t mapEntryBits = 0;
  uint16_t x = 0, y = 0, width = 0, height = 0;
  uint8_t depth = 0, descriptor = 0;

  void Parse(const uint8_t* h) {
    idLength = h[0], mapType = h[1], type = h[2];
    mapFirst = LoadU16LE(h + 3), mapLength = LoadU16LE(h + 5), mapEntryBits = h[7];
    x = LoadU16LE(h + 8), y = LoadU16LE(h + 10), width = LoadU16LE(h + 12);
    height = LoadU16LE(h + 14), depth = h[16], descriptor = h[17];
  }
  bool rle() const { return type >= 9; }
  bool gray() const { return (type & 7) == 3; }
  int pixelBytes() const { return (depth + 7) / 8; }
  int64_t mapBytes() const {
    return mapType == 1 ? int64_t(mapLength) * ((mapEntryBits + 7) / 8) : 0;
  }
  int64_t fileRowBytes() const { return (int64_t(width) * depth + 7) / 8; }
  // The least bytes the pixels can take: all rows, or a run packet per 128 pixels.
  uint64_t leastPixelBytes() const {
    if (!rle()) return uint64_t(fileRowBytes()) * height;
    uint64_t pixels = uint64_t(width) * height;
    return (pixels + 127) / 128 * uint64_t(1 + pixelBytes());
  }
};

// Why a header cannot be decoded; None when it can.
struct HeaderFault {
  TLxFailure code = TLxFailure::None;
  const char* detail = "";
};

HeaderFault CheckHeader(const TgaHeader& h) {
  const uint8_t t = h.type;
  if (!(t == 1 || t == 2 || t == 3 || t == 9 || t == 10 || t == 11)) {
    if (t == 0) return {TLxFailure::NoImage, "no image data"};
    return {TLxFailure::Unsupported, "unsupported image type"};
  }
  const uint8_t d = h.depth;
  if (!(d == 1 || d == 4 || d == 8 || d == 16 || d == 24 || d == 32))
    return {TLxFailure::Unsupported, "unsupported pixel depth"};
  if (h.mapType > 1) return {TLxFailure::BadHeader, "bad colour-map type"};
  if (h.mapType == 1) {
    const uint8_t e = h.mapEntryBits;
    if (!(e == 15 || e == 16 || e == 24 || e == 32))
      return {TLxFailure::Unsupported, "unsupported colour-map entry size"};
  }
  if (h.width == 0 || h.height == 0) return {TLxFailure::BadHeader, "empty image"};
  if (h.rle() && d < 8) return {TLxFailure::Unsupported, "run-length encoded bilevel or 4-bit"};
  return {};
}

// 5-bit components widened by repeating their top bits (31 gives 255).
inline uint8_t Widen5(uint32_t v) {
  v &= 31;
  return uint8_t(v << 3 | v >> 2);
}
inline TRGB From555(uint32_t v) {
  return TRGB{Widen5(v), Widen5(v >> 5), Widen5(v >> 10)};
}

// Reads one row of pixels (each pixelBytes long) from plain or run-length data. A packet may
// carry over into the next row.
class PixelSource {
 public:
  PixelSource(TLxReadBuffer& in, bool rle, int pixelBytes) : in_(in), rle_(rle), ps_(pixelBytes) {}

  // Fills n bytes (a row); returns false when the data ended first (the rest is zeroed).
  bool Row(uint8_t* dst, size_t n) {
    if (!rle_) {
      size_t got = in_.Read(dst, n);
      if (got < n) std::memset(dst + got, 0, n - got);
      return got == n;
    }
    size_t done = 0;
    while (done < n) {
      if (left_ == 0) {
        int h = in_.Get();
        if (h < 0) break;
        left_ = (h & 127) + 1;
        run_ = h & 128;
        if (run_ && in_.Read(value_, size_t(ps_)) < size_t(ps_)) {
          left_ = 0;
          break;
        }
      }
      const size_t pixels = std::min<size_t>(left_, (n - done) / size_t(ps_));
      if (run_) {
        for (size_t i = 0; i < pixels; ++i) std::memcpy(dst + done + i * ps_, value_, size_t(ps_));
      } else {
        size_t want = pixels * size_t(ps_);
        size_t got = in_.Read(dst + done, want);
        if (got < want) {
          done += got;
          left_ = 0;
          break;
        }
      }
      done += pixels * size_t(ps_);
      left_ -= int(pixels);
    }
    if (done < n) std::memset(dst + done, 0, n - done);
    return done == n;
  }

 private:
  TLxReadBuffer& in_;
  bool rle_;
  int ps_;
  int left_ = 0;
  bool run_ = false;
  uint8_t value_[4] = {};
};

// The extension area: author, date, job, key colour, aspect ratio and gamma.
void ReadExtension(TStream& stream, int64_t start, TIOParamsVals& params) {
  const int64_t size = stream.Size();
  if (size - start < kHeaderSize + kFooterSize) return;
  uint8_t foot[kFooterSize];
  stream.Seek(size - kFooterSize, soBeginning);
  if (stream.Read(foot, kFooterSize) != kFooterSize) return;
  if (std::memcmp(foot + 8, kSignature, sizeof kSignature) != 0) return;
  const int64_t offset = LoadU32LE(foot);
  // Offset 0 means none; an area that is not wholly inside the data is none either.
  if (offset == 0 || offset + kExtensionSize > size - kFooterSize - start) return;
  uint8_t e[kExtensionSize];
  stream.Seek(start + offset, soBeginning);
  if (stream.Read(e, kExtensionSize) != kExtensionSize) return;
  auto text = [&](int at) {
    const char* p = reinterpret_cast<const char*>(e + at);
    return std::string(p, strnlen(p, 41));
  };
  params.TgaAuthor = text(2);
  params.TgaJobName = text(379);
  const int month = LoadU16LE(e + 367), day = LoadU16LE(e + 369), year = LoadU16LE(e + 371);
  const int hour = LoadU16LE(e + 373), minute = LoadU16LE(e + 375), second = LoadU16LE(e + 377);
  if (month >= 1 && month <= 12 && day >= 1 && day <= 31 && year > 0 && year < 2500 && hour < 24 &&
      minute < 60 && second < 60)
    params.TgaDate = TgaDateTime(year, month, day, hour, minute, second);
  params.TgaKeyColor = CreateRGB(e[471], e[472], e[473]);
  const uint16_t an = LoadU16LE(e + 474), ad = LoadU16LE(e + 476);
  if (an && ad) params.TgaAspectRatio = double(an) / ad;
  const uint16_t gn = LoadU16LE(e + 478), gd = LoadU16LE(e + 480);
  if (gn && gd) params.TgaGamma = double(gn) / gd;
}

void MirrorRow(uint8_t* bgr, uint8_t* alpha, int w) {
  for (int a = 0, b = w - 1; a < b; ++a, --b) {
    for (int k = 0; k < 3; ++k) std::swap(bgr[3 * a + k], bgr[3 * b + k]);
    if (alpha) std::swap(alpha[a], alpha[b]);
  }
}

void MirrorBits(uint8_t* row, int w) {
  std::vector<uint8_t> copy(row, row + (w + 7) / 8);
  std::fill(row, row + copy.size(), uint8_t(0));
  for (int x = 0; x < w; ++x) {
    int s = w - 1 - x;
    if (copy[size_t(s >> 3)] & (0x80 >> (s & 7))) row[x >> 3] |= uint8_t(0x80 >> (x & 7));
  }
}

void ReadTga(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool noMask,
             std::unique_ptr<TLxMask>& mask, bool headerOnly, ProgressRecord& progress) {
  const int64_t start = stream.Position();
  params.TgaAuthor.clear();
  params.TgaJobName.clear();
  params.TgaDate = TgaToday();
  params.TgaKeyColor = TRGB{};
  params.TgaAspectRatio = 1.0;
  params.TgaGamma = 2.2;
  ReadExtension(stream, start, params);
  stream.Seek(start, soBeginning);

  uint8_t raw[kHeaderSize];
  if (stream.Read(raw, kHeaderSize) != kHeaderSize) {
    progress.Fail(TLxFailure::Truncated, 0, "truncated header");
    return;
  }
  TgaHeader h;
  h.Parse(raw);
  if (HeaderFault f = CheckHeader(h); f.code != TLxFailure::None) {
    progress.Fail(f.code, 0, f.detail);
    return;
  }
  TLxReadBuffer in(stream);
  params.TgaXPos = h.x;
  params.TgaYPos = h.y;
  std::string id(h.idLength, '\0');
  if (in.Read(reinterpret_cast<uint8_t*>(id.data()), id.size()) < id.size()) {
    progress.Fail(TLxFailure::Truncated, in.Position(), "truncated image ID");
    return;
  }
  id.resize(strnlen(id.c_str(), id.size()));
  params.TgaImageId = id;

  // The working palette: a 3-3-2 colour cube until the file says otherwise.
  TRGB palette[256];
  uint8_t paletteAlpha[256];
  for (int i = 0; i < 256; ++i) {
    palette[i] = CreateRGB(uint8_t((i >> 5) * 32 + 28), uint8_t((i >> 2 & 7) * 32 + 28),
                           uint8_t((i & 3) * 64 + 60));
    paletteAlpha[i] = 255;
  }
  bool mapAlpha = false;
  params.FreeColorMap();
  if (h.mapType == 1) {
    const int eb = (h.mapEntryBits + 7) / 8;
    for (int i = 0; i < h.mapLength; ++i) {
      uint8_t e[4];
      if (in.Read(e, size_t(eb)) < size_t(eb)) {
        progress.Fail(TLxFailure::Truncated, in.Position(), "truncated colour map");
        return;
      }
      const int index = h.mapFirst + i;
      if (index > 255) continue;  // read over, not stored
      if (eb == 2) {
        palette[index] = From555(LoadU16LE(e));
      } else {
        palette[index] = TRGB{e[0], e[1], e[2]};
        if (eb == 4) paletteAlpha[index] = e[3], mapAlpha = true;
      }
    }
    params.SetColorMap(palette, std::min<int>(h.mapLength, 256));
    params.TgaGrayLevel = false;
  } else if (h.depth == 8) {
    for (int i = 0; i < 256; ++i) palette[i] = CreateRGB(uint8_t(i), uint8_t(i), uint8_t(i));
    params.TgaGrayLevel = true;
  } else if (h.depth == 1) {
    palette[0] = TRGB{};
    palette[1] = CreateRGB(255, 255, 255);
  }

  params.TgaCompressed = h.rle();
  params.Width = h.width;
  params.Height = h.height;
  params.SetDpiX(DefaultDPI);
  params.SetDpiY(DefaultDPI);
  const bool grayAlpha = h.depth == 16 && h.gray();
  switch (h.depth) {
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
      if (grayAlpha)
        params.BitsPerSample = 8, params.SamplesPerPixel = 2;
      else
        params.BitsPerSample = 5, params.SamplesPerPixel = 3;
      break;
    case 24:
      params.BitsPerSample = 8, params.SamplesPerPixel = 3;
      break;
    default:
      params.BitsPerSample = 8, params.SamplesPerPixel = 4;
      break;
  }
  if (headerOnly) return;

  const PixelFormat pf = h.depth == 1 ? lx1g : lx24RGB;
  const int64_t available = stream.Size() - in.Position();
  if (CheckImageSize(h.width, h.height, pf, h.leastPixelBytes(), available) != TLxFailure::None) {
    progress.Fail(TLxFailure::TooLarge, in.Position(), "image larger than its data");
    return;
  }
  mask.reset();
  bitmap.ReallocPending = true;
  if (!bitmap.Allocate(h.width, h.height, pf)) {
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the image");
    return;
  }
  const bool withAlpha =
      !noMask && (h.depth == 32 || grayAlpha || (h.depth <= 8 && h.depth > 1 && mapAlpha));
  if (withAlpha) {
    mask = std::make_unique<TLxMask>();
    if (!mask->Allocate(h.width, h.height, 8)) {
      mask.reset();
      progress.Fail(TLxFailure::OutOfMemory, "no memory for the alpha channel");
      return;
    }
    mask->Fill(255);
  }

  const int w = h.width, ht = h.height;
  const bool topDown = h.descriptor & 0x20;
  const bool rightToLeft = h.descriptor & 0x10;
  PixelSource source(in, h.rle(), h.depth < 8 ? 1 : h.pixelBytes());
  std::vector<uint8_t> file(size_t(h.fileRowBytes()));
  std::vector<uint8_t> alpha(withAlpha ? size_t(w) : 0);
  bool alphaAllZero = true, alphaAll255 = true;
  bool truncated = false;
  progress.BeginRows(ht);
  for (int k = 0; k < ht && !truncated; ++k) {
    if (progress.Aborting()) return;
    truncated = !source.Row(file.data(), file.size());
    const int y = topDown ? k : ht - 1 - k;
    uint8_t* row = bitmap.ScanLine(y);
    const uint8_t* s = file.data();
    uint8_t* a = withAlpha ? alpha.data() : nullptr;
    switch (h.depth) {
      case 1:
        std::memcpy(row, s, file.size());
        if (rightToLeft) MirrorBits(row, w);
        break;
      case 4:
      case 8:
        for (int x = 0; x < w; ++x) {
          const uint8_t i = h.depth == 8 ? s[x] : (x & 1 ? s[x >> 1] & 15 : s[x >> 1] >> 4);
          const TRGB& c = palette[i];
          row[3 * x] = c.b, row[3 * x + 1] = c.g, row[3 * x + 2] = c.r;
          if (a) a[x] = paletteAlpha[i];
        }
        break;
      case 16:
        if (grayAlpha) {
          for (int x = 0; x < w; ++x) {
            row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = s[2 * x];
            if (a) a[x] = s[2 * x + 1];
          }
        } else {
          for (int x = 0; x < w; ++x) {
            const TRGB c = From555(LoadU16LE(s + 2 * x));
            row[3 * x] = c.b, row[3 * x + 1] = c.g, row[3 * x + 2] = c.r;
          }
        }
        break;
      case 24:
        std::memcpy(row, s, size_t(w) * 3);
        break;
      case 32:
        for (int x = 0; x < w; ++x) {
          const uint8_t* p = s + 4 * x;
          row[3 * x] = p[0], row[3 * x + 1] = p[1], row[3 * x + 2] = p[2];
          if (a) a[x] = p[3];
        }
        break;
    }
    if (rightToLeft && h.depth != 1) MirrorRow(row, a, w);
    if (a) {
      // Rows the data did not reach stay out of the uniformity test.
      for (int x = 0; x < w; ++x) alphaAllZero &= a[x] == 0, alphaAll255 &= a[x] == 255;
      std::memcpy(mask->ScanLine(y), a, size_t(w));
    }
    progress.RowDone();
  }
  in.Release();
  if (mask) {
    // All 0 is how many writers fill an unused fourth byte: such images are opaque.
    if (alphaAll255 || alphaAllZero) {
      mask.reset();
    } else {
      mask->AllOpaque = false;
      mask->RecomputeBounds();
    }
  }
  if (truncated) progress.Fail(TLxFailure::Truncated, in.Position(), "truncated pixel data");
}

}  // namespace

double TgaDateTime(int year, int month, int day, int hour, int minute, int second) {
  using namespace std::chrono;
  const sys_days d = year_month_day{std::chrono::year{year}, std::chrono::month{unsigned(month)},
                                    std::chrono::day{unsigned(day)}};
  const sys_days epoch = year_month_day{std::chrono::year{1899}, December, std::chrono::day{30}};
  return double((d - epoch).count()) + (hour * 3600 + minute * 60 + second) / 86400.0;
}

double TgaToday() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return TgaDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, 0, 0, 0);
}

bool TgaHeaderTest(TStream& stream) {
  const int64_t start = stream.Position();
  uint8_t raw[kHeaderSize];
  if (stream.Read(raw, kHeaderSize) != kHeaderSize) return false;
  TgaHeader h;
  h.Parse(raw);
  if (CheckHeader(h).code != TLxFailure::None) return false;
  const uint64_t need =
      uint64_t(kHeaderSize) + h.idLength + uint64_t(h.mapBytes()) + h.leastPixelBytes();
  return uint64_t(stream.Size() - start) >= need;
}

void ReadTgaStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool noMask,
                   std::unique_ptr<TLxMask>& mask, bool headerOnly, ProgressRecord& progress) {
  try {
    ReadTga(stream, bitmap, params, noMask, mask, headerOnly, progress);
  } catch (const std::bad_alloc&) {
    mask.reset();
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the image");
  } catch (const std::length_error&) {
    mask.reset();
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the image");
  }
}

}  // namespace lumenax
