// Portable anymap reader: P1 to P6, ASCII and binary, maxima up to 65535.
//
// Every byte is hostile. The header must give a known magic, a positive width and height that
// fit 32 bits and (except for bitmaps) a maximum of 1 to 65535; the image must be one the
// stream could hold before anything is allocated. Samples above the maximum are clamped. Data
// that end before the last row are decoded as far as they go, the rest stays zero, and the
// load fails as "truncated".
#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "codecs/common/image_size.h"
#include "codecs/common/pixel_rows.h"
#include "codecs/common/stream_buffer.h"
#include "codecs/pnm/pnm.h"
#include "io/params.h"

namespace lumenax {
namespace {

// Binary rasters are read in blocks of about this many bytes.
constexpr int64_t kRowBlock = int64_t(1) << 20;
// Header comments kept (and characters of each); a file of nothing but comments is not
// allowed to fill memory with them.
constexpr size_t kMaxComments = 1024;
constexpr size_t kMaxCommentLength = 4096;

inline bool IsDigit(int c) {
  return c >= '0' && c <= '9';
}
inline bool IsLetter(int c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Skips the rest of a comment line, the line break included.
void SkipComment(TLxReadBuffer& in) {
  int c;
  while ((c = in.Get()) >= 0 && c != '\n' && c != '\r') {
  }
}

// Header tokens: runs of ASCII letters and digits, anything else separates them. "#" starts a
// comment up to the end of the line, also right after a token (it ends the token then).
class HeaderTokens {
 public:
  // budget: tokens (comments included) to read at most; 0 for no limit.
  HeaderTokens(TLxReadBuffer& in, std::vector<std::string>& comments, int budget = 0)
      : in_(in), comments_(comments), budget_(budget) {}

  struct Word {
    std::string text;       // the first characters only
    int64_t value = -1;     // decimal value; -1 when not a number
    bool overflow = false;  // a number beyond 32 bits
  };

  // The next token that is not a comment; false at the end of the data.
  bool Next(Word& w) {
    int c;
    for (;;) {
      c = in_.Get();
      if (c < 0) return false;
      if (c == '#') {
        if (OverBudget()) return false;
        Comment();
        continue;
      }
      if (IsDigit(c) || IsLetter(c)) break;
    }
    if (OverBudget()) return false;
    w = Word{};
    bool numeric = true;
    int64_t v = 0;
    while (IsDigit(c) || IsLetter(c)) {
      if (w.text.size() < 16) w.text += char(c);
      if (IsDigit(c)) {
        if (v <= INT32_MAX) v = v * 10 + (c - '0');
      } else {
        numeric = false;
      }
      c = in_.Get();
    }
    if (numeric) {
      w.overflow = v > INT32_MAX;
      w.value = w.overflow ? -1 : v;
    }
    // The character that ends the token is consumed; a "#" there opens a comment.
    if (c == '#') Comment();
    return true;
  }

 private:
  bool OverBudget() { return budget_ > 0 && ++used_ > budget_; }
  void Comment() {
    std::string text;
    int c;
    while ((c = in_.Get()) >= 0 && c != '\n' && c != '\r')
      if (text.size() < kMaxCommentLength) text += char(c);
    auto blank = [](char ch) { return ch == ' ' || ch == '\t' || ch == '\v' || ch == '\f'; };
    size_t b = 0, e = text.size();
    while (b < e && blank(text[b])) ++b;
    while (e > b && blank(text[e - 1])) --e;
    if (comments_.size() < kMaxComments) comments_.push_back(text.substr(b, e - b));
  }

  TLxReadBuffer& in_;
  std::vector<std::string>& comments_;
  int budget_ = 0;
  int used_ = 0;
};

// Samples of an ASCII raster: decimal numbers separated by anything but letters; comments
// are skipped. Returns -1 at the end of the data, -2 for a token with letters in it. Values
// saturate at 65536 (above every maximum).
int32_t NextSample(TLxReadBuffer& in) {
  int c;
  for (;;) {
    c = in.Get();
    if (c < 0) return -1;
    if (IsDigit(c)) break;
    if (c == '#')
      SkipComment(in);
    else if (IsLetter(c))
      return -2;
  }
  int32_t v = c - '0';
  while (IsDigit(c = in.Get())) v = std::min(v * 10 + (c - '0'), 65536);
  if (IsLetter(c)) return -2;
  if (c == '#') SkipComment(in);
  return v;
}

struct PnmHeader {
  int kind = 0;  // 1 .. 6
  int64_t width = 0, height = 0;
  int32_t maximum = 1;
  bool ascii() const { return kind <= 3; }
  bool bilevel() const { return kind == 1 || kind == 4; }
  int channels() const { return kind == 3 || kind == 6 ? 3 : 1; }
};

class RasterDecoder {
 public:
  RasterDecoder(TLxReadBuffer& in, TLxBitmap& bitmap, const PnmHeader& h, ProgressRecord& progress)
      : in_(in),
        bitmap_(bitmap),
        h_(h),
        progress_(progress),
        width_(int(h.width)),
        height_(int(h.height)) {
    const int32_t m = h.maximum;
    to8_.resize(size_t(m) + 1);
    for (int32_t v = 0; v <= m; ++v) to8_[size_t(v)] = uint8_t(int64_t(v) * 255 / m);
    // Two-byte samples of maximum 65535 keep their high bytes.
    if (m == 65535)
      for (int32_t v = 0; v <= m; ++v) to8_[size_t(v)] = uint8_t(v >> 8);
    if (bitmap.PixelFormat() == lxRGB48) {
      to16_.resize(size_t(m) + 1);
      for (int32_t v = 0; v <= m; ++v) to16_[size_t(v)] = uint16_t(int64_t(v) * 65535 / m);
    }
  }

  void Run() {
    progress_.BeginRows(height_);
    switch (h_.kind) {
      case 1:
        AsciiBits();
        break;
      case 2:
      case 3:
        AsciiSamples();
        break;
      default:
        Binary();
        break;
    }
  }

 private:
  // After each row; false when the load is to stop.
  bool RowDone() {
    progress_.RowDone();
    return !progress_.Aborting();
  }
  void Truncated() {
    progress_.Fail(TLxFailure::Truncated, in_.Position(), "truncated pixel data");
  }

  void AsciiBits() {
    for (int y = 0; y < height_; ++y) {
      if (progress_.Aborting()) return;
      uint8_t* row = bitmap_.ScanLine(y);
      for (int x = 0; x < width_;) {
        int c = in_.Get();
        if (c < 0) {
          Truncated();
          return;
        }
        if (c == '0') {
          row[x >> 3] |= uint8_t(0x80 >> (x & 7));
          ++x;
        } else if (c == '1') {
          ++x;
        } else if (c == '#') {
          SkipComment(in_);
        }
      }
      if (!RowDone()) return;
    }
  }

  void AsciiSamples() {
    const int channels = h_.channels();
    const bool wide = bitmap_.PixelFormat() == lxRGB48;
    for (int y = 0; y < height_; ++y) {
      if (progress_.Aborting()) return;
      uint8_t* row = bitmap_.ScanLine(y);
      for (int x = 0; x < width_; ++x) {
        int32_t s[3];
        for (int k = 0; k < channels; ++k) {
          int32_t v = NextSample(in_);
          if (v == -1) {
            Truncated();
            return;
          }
          if (v == -2) {
            progress_.Fail(TLxFailure::BadData, in_.Position(), "letters in the samples");
            return;
          }
          s[k] = std::min(v, h_.maximum);
        }
        if (channels == 1) s[1] = s[2] = s[0];
        if (wide) {
          uint16_t w[3] = {to16_[size_t(s[0])], to16_[size_t(s[1])], to16_[size_t(s[2])]};
          std::memcpy(row + 6 * x, w, 6);
        } else {
          uint8_t* p = row + 3 * x;
          p[0] = to8_[size_t(s[2])], p[1] = to8_[size_t(s[1])], p[2] = to8_[size_t(s[0])];
        }
      }
      if (!RowDone()) return;
    }
  }

  // Full-range 8-bit pixmaps are read straight into the rows (past the header bytes already
  // buffered) and their red and blue samples swapped where they lie, while the row is in
  // cache. False for other layouts.
  bool DirectRows() {
    if (h_.kind != 6 || h_.maximum != 255 || bitmap_.PixelFormat() != lx24RGB) return false;
    const size_t fileRow = size_t(width_) * 3;
    for (int y = 0; y < height_; ++y) {
      if (progress_.Aborting()) return true;
      uint8_t* row = bitmap_.ScanLine(y);
      const size_t got = in_.ReadThrough(row, fileRow);
      if (got == 0) {
        Truncated();
        return true;
      }
      // The last row the data reach is decoded with zeros for what is missing.
      if (got < fileRow) std::memset(row + got, 0, fileRow - got);
      SwapRedBlue24(row, row, size_t(width_));
      if (!RowDone()) return true;
      if (got < fileRow) {
        Truncated();
        return true;
      }
    }
    return true;
  }

  void Binary() {
    if (DirectRows()) return;
    const int sampleBytes = h_.maximum > 255 ? 2 : 1;
    const int64_t fileRow =
        h_.kind == 4 ? (h_.width + 7) / 8 : h_.width * h_.channels() * sampleBytes;
    const int64_t rowsPerBlock = std::clamp<int64_t>(kRowBlock / fileRow, 1, height_);
    std::vector<uint8_t> block(size_t(rowsPerBlock * fileRow));
    for (int y = 0; y < height_;) {
      if (progress_.Aborting()) return;
      const int n = int(std::min<int64_t>(rowsPerBlock, height_ - y));
      const size_t want = size_t(n * fileRow);
      const size_t got = in_.Read(block.data(), want);
      // The last row the data reach is decoded with zeros for what is missing.
      if (got < want) std::memset(block.data() + got, 0, want - got);
      const int rows = got == want ? n : int((int64_t(got) + fileRow - 1) / fileRow);
      for (int i = 0; i < rows; ++i) {
        DecodeRow(block.data() + i * fileRow, y + i, sampleBytes);
        if (!RowDone()) return;
      }
      if (got < want) {
        Truncated();
        return;
      }
      y += n;
    }
  }

  void DecodeRow(const uint8_t* src, int y, int sampleBytes) {
    uint8_t* row = bitmap_.ScanLine(y);
    const int w = width_;
    const int32_t m = h_.maximum;
    if (h_.kind == 4) {
      // 1 is black in the file, 0 in the bitmap.
      const int64_t n = (h_.width + 7) / 8;
      for (int64_t i = 0; i < n; ++i) row[i] = uint8_t(~src[i]);
      return;
    }
    if (bitmap_.PixelFormat() == lxRGB48) {
      uint16_t* out = reinterpret_cast<uint16_t*>(row);
      for (int64_t i = 0; i < int64_t(w) * 3; ++i) {
        int32_t v = std::min<int32_t>(LoadU16BE(src + 2 * i), m);
        out[i] = to16_[size_t(v)];
      }
      return;
    }
    const uint8_t* t = to8_.data();
    if (sampleBytes == 1) {
      if (h_.kind == 5 && m == 255) {
        ExpandGray24(src, row, size_t(w));
      } else if (h_.kind == 5) {
        for (int x = 0; x < w; ++x) {
          uint8_t g = t[std::min<int32_t>(src[x], m)];
          row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = g;
        }
      } else if (m == 255) {
        for (int x = 0; x < w; ++x) {
          const uint8_t* s = src + 3 * x;
          uint8_t* p = row + 3 * x;
          p[0] = s[2], p[1] = s[1], p[2] = s[0];
        }
      } else {
        for (int x = 0; x < w; ++x) {
          const uint8_t* s = src + 3 * x;
          uint8_t* p = row + 3 * x;
          p[0] = t[std::min<int32_t>(s[2], m)];
          p[1] = t[std::min<int32_t>(s[1], m)];
          p[2] = t[std::min<int32_t>(s[0], m)];
        }
      }
      return;
    }
    if (h_.kind == 5) {
      for (int x = 0; x < w; ++x) {
        uint8_t g = t[std::min<int32_t>(LoadU16BE(src + 2 * x), m)];
        row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = g;
      }
    } else {
      for (int x = 0; x < w; ++x) {
        const uint8_t* s = src + 6 * x;
        uint8_t* p = row + 3 * x;
        p[0] = t[std::min<int32_t>(LoadU16BE(s + 4), m)];
        p[1] = t[std::min<int32_t>(LoadU16BE(s + 2), m)];
        p[2] = t[std::min<int32_t>(LoadU16BE(s), m)];
      }
    }
  }

  TLxReadBuffer& in_;
  TLxBitmap& bitmap_;
  const PnmHeader& h_;
  ProgressRecord& progress_;
  int width_, height_;
  std::vector<uint8_t> to8_;
  std::vector<uint16_t> to16_;
};

// The fewest bytes a raster of this header can take.
uint64_t LeastRasterBytes(const PnmHeader& h) {
  const uint64_t pixels = uint64_t(h.width) * uint64_t(h.height);
  const uint64_t samples = pixels * uint64_t(h.channels());
  switch (h.kind) {
    case 1:
      return pixels;  // one digit per pixel, no separators needed
    case 2:
    case 3:
      return samples * 2 - 1;  // a digit and a separator per sample
    case 4:
      return uint64_t((h.width + 7) / 8) * uint64_t(h.height);
    default:
      return samples * (h.maximum > 255 ? 2 : 1);
  }
}

struct HeaderFault {
  TLxFailure code = TLxFailure::None;
  const char* detail = "";
};

// Magic, width, height and maximum; the raster starts where the tokens stop.
HeaderFault ParseHeader(HeaderTokens& tokens, PnmHeader& h) {
  HeaderTokens::Word w;
  if (!tokens.Next(w) || w.text.size() != 2 || w.text[0] != 'P' || w.text[1] < '1' ||
      w.text[1] > '6')
    return {TLxFailure::BadSignature, "not a portable anymap"};
  h.kind = w.text[1] - '0';
  if (!tokens.Next(w)) return {TLxFailure::BadHeader, "missing width"};
  if (w.value <= 0) return {TLxFailure::BadHeader, "bad width"};
  h.width = w.value;
  if (!tokens.Next(w)) return {TLxFailure::BadHeader, "missing height"};
  if (w.value <= 0) return {TLxFailure::BadHeader, "bad height"};
  h.height = w.value;
  if (!h.bilevel()) {
    if (!tokens.Next(w)) return {TLxFailure::BadHeader, "missing maximum"};
    if (w.value <= 0 || w.value > 65535) return {TLxFailure::BadHeader, "bad maximum"};
    h.maximum = int32_t(w.value);
  }
  return {};
}

void ReadPxm(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool infoOnly,
             ProgressRecord& progress) {
  TLxReadBuffer in(stream);
  params.PxmComments.clear();
  HeaderTokens tokens(in, params.PxmComments);
  PnmHeader h;
  if (HeaderFault f = ParseHeader(tokens, h); f.code != TLxFailure::None) {
    progress.Fail(f.code, in.Position(), f.detail);
    return;
  }

  PixelFormat pf = lx24RGB;
  if (h.bilevel()) {
    params.BitsPerSample = 1, params.SamplesPerPixel = 1;
    pf = lx1g;
  } else if (h.kind == 6 && h.maximum > 255) {
    params.BitsPerSample = 16, params.SamplesPerPixel = 3;
    if (params.IsNativePixelFormat) pf = lxRGB48;
  } else {
    params.BitsPerSample = 8, params.SamplesPerPixel = h.channels();
  }
  params.Width = int32_t(h.width);
  params.Height = int32_t(h.height);
  params.SetDpiX(DefaultDPI);
  params.SetDpiY(DefaultDPI);
  params.FreeColorMap();
  if (infoOnly) return;

  const int64_t available = stream.Size() - in.Position();
  if (CheckImageSize(h.width, h.height, pf, LeastRasterBytes(h), available) != TLxFailure::None) {
    progress.Fail(TLxFailure::TooLarge, in.Position(), "image larger than its data");
    return;
  }
  bitmap.ReallocPending = true;
  if (!bitmap.Allocate(int(h.width), int(h.height), pf)) {
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the image");
    return;
  }
  RasterDecoder(in, bitmap, h, progress).Run();
  in.Release();
}

}  // namespace

bool PxmHeaderTest(TStream& stream) {
  TLxReadBuffer in(stream, 512);
  std::vector<std::string> comments;
  HeaderTokens tokens(in, comments, /*budget=*/501);
  PnmHeader h;
  return ParseHeader(tokens, h).code == TLxFailure::None;
}

void ReadPxmStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool infoOnly,
                   ProgressRecord& progress) {
  try {
    ReadPxm(stream, bitmap, params, infoOnly, progress);
  } catch (const std::bad_alloc&) {
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the image");
  } catch (const std::length_error&) {
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the image");
  }
}

}  // namespace lumenax
