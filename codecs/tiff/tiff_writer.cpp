// TIFF writer: layout decisions, strip encoders, tags and the directory chain.
#include "codecs/tiff/tiff_writer.h"

#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <set>

#include "bitmap/bitmap.h"
#include "bitmap/conversion.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "bitmap/worker_pool.h"
#include "codecs/common/ccitt_encoder.h"
#include "codecs/common/ifd.h"
#include "codecs/common/lzw_encoder.h"
#include "codecs/common/packbits.h"
#include "codecs/jpeg/jpeg.h"
#include "io/params.h"
#include "quantize/quantizer.h"

namespace lumenax {

// ====================================================================== output

namespace {
constexpr size_t kOutputBuffer = 1 << 16;
}

TLxTiffOutput::TLxTiffOutput(TStream& stream, ProgressRecord& progress, int64_t base)
    : stream_(stream), progress_(progress), base_(base) {
  position_ = stream.Position() - base;
  buffer_.reserve(kOutputBuffer);
}

TLxTiffOutput::~TLxTiffOutput() = default;

bool TLxTiffOutput::Failed() const {
  return failed_;
}

void TLxTiffOutput::Fail() {
  failed_ = true;
  progress_.Fail(TLxFailure::WriteFailed, "short write");
}

void TLxTiffOutput::Flush() {
  if (buffer_.empty()) return;
  if (!Failed()) {
    const int64_t n = int64_t(buffer_.size());
    if (stream_.Write(buffer_.data(), n) != n)
      progress_.Fail(TLxFailure::WriteFailed, "short write");
  }
  buffer_.clear();
}

void TLxTiffOutput::Write(const void* data, size_t n) {
  position_ += int64_t(n);
  if (buffer_.size() + n > kOutputBuffer) {
    Flush();
    if (n >= kOutputBuffer) {
      if (!Failed() && stream_.Write(data, int64_t(n)) != int64_t(n)) Fail();
      return;
    }
  }
  const auto* p = static_cast<const uint8_t*>(data);
  buffer_.insert(buffer_.end(), p, p + n);
}

void TLxTiffOutput::WriteU16(uint16_t v) {
  const uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)};
  Write(b, 2);
}

void TLxTiffOutput::WriteU32(uint32_t v) {
  const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  Write(b, 4);
}

void TLxTiffOutput::Align() {
  if (position_ & 1) WriteU8(0);
}

void TLxTiffOutput::Seek(int64_t position) {
  Flush();
  stream_.Seek(base_ + position, soBeginning);
  position_ = position;
}

void TLxTiffOutput::Resync() {
  Flush();
  position_ = stream_.Position() - base_;
}

// ====================================================================== tag list

namespace {

void Put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v), p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v), p[1] = uint8_t(v >> 8), p[2] = uint8_t(v >> 16), p[3] = uint8_t(v >> 24);
}

}  // namespace

void TLxTiffTagList::AddRaw(uint16_t tag, uint16_t type, uint32_t count, const void* bytes,
                            size_t size) {
  Entry e{tag, type, count, {0, 0, 0, 0}};
  if (size <= 4) {
    if (size) std::memcpy(e.value, bytes, size);
  } else {
    out_.Align();
    const int64_t at = out_.Position();
    if (at > int64_t(std::numeric_limits<uint32_t>::max()) - int64_t(size)) {
      out_.Progress().Fail(TLxFailure::TooLarge, "TIFF data beyond 4 GiB");
      return;
    }
    out_.Write(bytes, size);
    Put32(e.value, uint32_t(at));
  }
  Remove(tag);
  entries_.push_back(e);
}

void TLxTiffTagList::AddShort(uint16_t tag, uint16_t value) {
  uint8_t b[2];
  Put16(b, value);
  AddRaw(tag, ttShort, 1, b, 2);
}

void TLxTiffTagList::AddShorts(uint16_t tag, std::span<const uint16_t> values) {
  std::vector<uint8_t> b(values.size() * 2);
  for (size_t i = 0; i < values.size(); ++i) Put16(&b[2 * i], values[i]);
  AddRaw(tag, ttShort, uint32_t(values.size()), b.data(), b.size());
}

void TLxTiffTagList::AddLong(uint16_t tag, uint32_t value) {
  uint8_t b[4];
  Put32(b, value);
  AddRaw(tag, ttLong, 1, b, 4);
}

void TLxTiffTagList::AddLongs(uint16_t tag, std::span<const uint32_t> values) {
  std::vector<uint8_t> b(values.size() * 4);
  for (size_t i = 0; i < values.size(); ++i) Put32(&b[4 * i], values[i]);
  AddRaw(tag, ttLong, uint32_t(values.size()), b.data(), b.size());
}

void TLxTiffTagList::AddInteger(uint16_t tag, uint32_t value) {
  if (value > 0xFFFF)
    AddLong(tag, value);
  else
    AddShort(tag, uint16_t(value));
}

void TLxTiffTagList::AddIntegers(uint16_t tag, std::span<const uint32_t> values) {
  if (std::any_of(values.begin(), values.end(), [](uint32_t v) { return v > 0xFFFF; })) {
    AddLongs(tag, values);
    return;
  }
  std::vector<uint16_t> shorts(values.begin(), values.end());
  AddShorts(tag, shorts);
}

void DoubleToRational(double value, bool isSigned, uint32_t& numerator, uint32_t& denominator) {
  if (!std::isfinite(value)) value = 0;
  if (!isSigned && value < 0) value = 0;
  const double limit = isSigned ? 2147483647.0 : 4294967295.0;
  // The finest denominator that keeps the numerator in range; at 1 the numerator is clamped.
  uint32_t d = 10000000;
  while (d > 1 && std::fabs(value) * d > limit) d /= 10;
  double n = std::round(value * d);
  n = std::clamp(n, isSigned ? -2147483648.0 : 0.0, limit);
  int64_t v = int64_t(n);
  // Smallest equivalent fraction, so that whole numbers read as n/1.
  if (v == 0) d = 1;
  while (d > 1 && v % 10 == 0) v /= 10, d /= 10;
  numerator = uint32_t(v);
  denominator = d;
}

namespace {

void AddFractions(TLxTiffTagList& tags, uint16_t tag, std::span<const double> values,
                  bool isSigned) {
  std::vector<uint8_t> b(values.size() * 8);
  for (size_t i = 0; i < values.size(); ++i) {
    uint32_t n, d;
    DoubleToRational(values[i], isSigned, n, d);
    Put32(&b[8 * i], n);
    Put32(&b[8 * i + 4], d);
  }
  tags.AddRaw(tag, isSigned ? ttSRational : ttRational, uint32_t(values.size()), b.data(),
              b.size());
}

}  // namespace

void TLxTiffTagList::AddRational(uint16_t tag, double value) {
  AddFractions(*this, tag, std::span<const double>(&value, 1), false);
}
void TLxTiffTagList::AddRationals(uint16_t tag, std::span<const double> values) {
  AddFractions(*this, tag, values, false);
}
void TLxTiffTagList::AddSRational(uint16_t tag, double value) {
  AddFractions(*this, tag, std::span<const double>(&value, 1), true);
}
void TLxTiffTagList::AddSRationals(uint16_t tag, std::span<const double> values) {
  AddFractions(*this, tag, values, true);
}

void TLxTiffTagList::AddRationalParts(uint16_t tag, uint32_t numerator, uint32_t denominator) {
  uint8_t b[8];
  Put32(b, numerator);
  Put32(b + 4, denominator);
  AddRaw(tag, ttRational, 1, b, 8);
}

void TLxTiffTagList::AddAscii(uint16_t tag, std::string_view text) {
  if (text.empty()) return;
  if (text.size() <= 4) {
    AddRaw(tag, ttAscii, uint32_t(text.size()), text.data(), text.size());
    return;
  }
  std::vector<uint8_t> b(text.begin(), text.end());
  b.push_back(0);
  AddRaw(tag, ttAscii, uint32_t(b.size()), b.data(), b.size());
}

void TLxTiffTagList::AddBytes(uint16_t tag, uint16_t type, std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  AddRaw(tag, type, uint32_t(bytes.size()), bytes.data(), bytes.size());
}

void TLxTiffTagList::SetValue(uint16_t tag, uint32_t valueField) {
  for (Entry& e : entries_)
    if (e.tag == tag) Put32(e.value, valueField);
}

bool TLxTiffTagList::Has(uint16_t tag) const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [tag](const Entry& e) { return e.tag == tag; });
}

void TLxTiffTagList::Remove(uint16_t tag) {
  std::erase_if(entries_, [tag](const Entry& e) { return e.tag == tag; });
}

uint32_t TLxTiffTagList::WriteIfd(uint32_t next) {
  std::stable_sort(entries_.begin(), entries_.end(),
                   [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
  out_.Align();
  const int64_t at = out_.Position();
  if (at > int64_t(std::numeric_limits<uint32_t>::max()) - 6 - 12 * int64_t(entries_.size())) {
    out_.Progress().Fail(TLxFailure::TooLarge, "TIFF data beyond 4 GiB");
    return 0;
  }
  out_.WriteU16(uint16_t(entries_.size()));
  for (const Entry& e : entries_) {
    uint8_t b[12];
    Put16(b, e.tag);
    Put16(b + 2, e.type);
    Put32(b + 4, e.count);
    std::memcpy(b + 8, e.value, 4);
    out_.Write(b, 12);
  }
  out_.WriteU32(next);
  return uint32_t(at);
}

void AddResolutionTags(TLxTiffTagList& tags, double xResolution, double yResolution, int32_t dpiX,
                       int32_t dpiY, uint16_t unit) {
  auto pick = [](double precise, int32_t dpi) {
    if (precise > 0 && std::isfinite(precise)) return precise;
    return double(dpi > 0 ? dpi : DefaultDPI);
  };
  tags.AddRational(282, pick(xResolution, dpiX));
  tags.AddRational(283, pick(yResolution, dpiY));
  tags.AddShort(296, unit);
}

// ====================================================================== layout

namespace {

enum Tag : uint16_t {
  kNewSubfileType = 254,
  kImageWidth = 256,
  kImageLength = 257,
  kBitsPerSample = 258,
  kCompression = 259,
  kPhotometric = 262,
  kFillOrder = 266,
  kDocumentName = 269,
  kImageDescription = 270,
  kStripOffsets = 273,
  kSamplesPerPixel = 277,
  kRowsPerStrip = 278,
  kStripByteCounts = 279,
  kPlanarConfiguration = 284,
  kPageName = 285,
  kXPosition = 286,
  kYPosition = 287,
  kT4Options = 292,
  kT6Options = 293,
  kPageNumber = 297,
  kPredictor = 317,
  kColorMap = 320,
  kCleanFaxData = 327,
  kExtraSamples = 338,
  kJpegProc = 512,
  kJpegInterchangeFormat = 513,
  kJpegInterchangeFormatLength = 514,
  kYCbCrSubSampling = 530,
  kXmp = 700,
  kAnnotations = 32932,
  kIptc = 33723,
  kIccProfile = 34675,
};

enum Photometric : uint16_t {
  kWhiteIsZero = 0,
  kBlackIsZero = 1,
  kRgb = 2,
  kPalette = 3,
  kSeparated = 5,
  kYCbCr = 6,
  kLab = 8,
};

enum Code : uint16_t {
  kNone = 1,
  kCcittRle = 2,
  kGroup3 = 3,
  kGroup4 = 4,
  kLzw = 5,
  kOldJpeg = 6,
  kJpeg = 7,
  kPackBits = 32773,
  kDeflate = 32946,
};

constexpr int64_t kStripBytes = 524288;

// How the rows are made from the working bitmap.
enum class RowKind : uint8_t {
  Bits1,      // lx1g rows as they are
  Gray8,      // lx8g bytes (scaled and packed below 8 bits, widened at 16)
  Index8,     // lx8p indexes (packed below 8 bits)
  Gray16,     // lx16g values
  Quantized,  // lx24RGB through the quantizer (packed below 8 bits, x 257 at 16)
  Rgb,        // lx24RGB as red, green, blue (and alpha)
  Cmyk,       // lxCMYK complemented
  RgbToCmyk,  // lx24RGB converted, complemented
  Lab,        // lx24RGB converted to L*a*b*
  Rgb48,      // lxRGB48 as little-endian 16-bit samples
  Jpeg,       // the JPEG writer takes the whole bitmap
};

struct Plan {
  TLxBitmap* work = nullptr;
  std::unique_ptr<TLxBitmap> own;
  TLxBitmap* alpha = nullptr;  // the caller's alpha channel, when alpha samples are written
  RowKind kind = RowKind::Rgb;
  uint16_t code = kNone;
  uint16_t photometric = kRgb;
  int bits = 8;     // bits per stored sample
  int samples = 3;  // stored samples per pixel (alpha included)
  bool predictor = false;
  bool twoD = false;
  int fillOrder = 1;
  TLxJpegColorSpace jpegSpace = jcYCbCr;
  std::vector<TRGB> palette;  // ColorMap entries (2^bits) for palette images
  std::unique_ptr<TLxQuantizer> quantizer;
};

// Replaces the working bitmap with a copy converted to pf. The copy is made first: the
// conversion routines may change their source (its layout, its alpha channel), and the
// caller's bitmap must come out of a save as it went in.
bool ConvertWork(Plan& p, PixelFormat pf, ProgressRecord& progress) {
  auto copy = std::make_unique<TLxBitmap>();
  copy->AssignImage(*p.work);
  if (!copy->IsEmpty()) copy->SetPixelFormat(pf);
  if (copy->IsEmpty() || copy->PixelFormat() != pf) {
    progress.Fail(TLxFailure::OutOfMemory);
    return false;
  }
  p.own = std::move(copy);
  p.work = p.own.get();
  return true;
}

bool AllOpaque(TLxBitmap& alpha) {
  for (int y = 0; y < alpha.Height(); ++y) {
    const uint8_t* a = alpha.ScanLine(y);
    for (int x = 0; x < alpha.Width(); ++x)
      if (a[x] != 255) return false;
  }
  return true;
}

bool IsJpeg(TLxTiffCompression c) {
  return c == tcJpeg || c == tcOldJpeg;
}
bool IsCcitt(TLxTiffCompression c) {
  return c == tcCcittRle || c == tcG3Fax1D || c == tcG3Fax2D || c == tcG4Fax;
}

// The largest palette index an lx8p bitmap uses.
int MaxIndex(TLxBitmap& b) {
  int m = 0;
  for (int y = 0; y < b.Height(); ++y) {
    const uint8_t* r = b.ScanLine(y);
    for (int x = 0; x < b.Width(); ++x) m = std::max<int>(m, r[x]);
  }
  return m;
}

// Decides the stored layout and prepares the working bitmap; corrects the record so that it
// describes what is stored. False when a copy could not be made.
bool MakePlan(Plan& p, TLxBitmap& bitmap, TIOParamsVals& params, ProgressRecord& progress,
              bool haveLzw) {
  p.work = &bitmap;
  int& bits = params.BitsPerSample;
  int& spp = params.SamplesPerPixel;
  TLxTiffCompression& comp = params.TiffCompression;
  TLxTiffPhotometric& photo = params.TiffPhotometric;
  if (bits < 1) bits = 8;
  if (spp < 1) spp = 3;

  // Layouts without a row rule of their own go through a 24-bit copy.
  const PixelFormat pf0 = bitmap.PixelFormat();
  if (pf0 != lx1g && pf0 != lx8p && pf0 != lx8g && pf0 != lx16g && pf0 != lx24RGB &&
      pf0 != lxCMYK && pf0 != lxRGB48) {
    if (!ConvertWork(p, lx24RGB, progress)) return false;
  }
  // Bilevel output is asked for by one sample of one bit; JPEG cannot carry it.
  if (bits == 1 && spp == 1 && IsJpeg(comp)) comp = tcNone;
  if (bits == 1 && spp == 1) {
    if (p.work->PixelFormat() != lx1g) {
      TRGB c1, c2;
      std::unique_ptr<TLxBitmap> two = ExtractTwoColorBitmap(*p.work, c1, c2);
      if (two) {
        p.own = std::move(two);
        p.work = p.own.get();
      } else if (!ConvertWork(p, lx1g, progress)) {
        return false;
      }
    }
  } else if (p.work->PixelFormat() == lx1g) {
    if (!ConvertWork(p, lx24RGB, progress)) return false;
  }

  // Layout decisions.
  bool grayOrPalette = false;
  bool gray = false;
  if (spp == 1 && ((bits >= 2 && bits <= 8) || bits == 16) && p.work->PixelFormat() != lxCMYK &&
      p.work->PixelFormat() != lxRGB48) {
    grayOrPalette = true;
    // Depths other readers take: 1, 2, 4, 8 and 16 bits.
    if (bits == 3) bits = 4;
    if (bits > 4 && bits < 8) bits = 8;
    if (comp != tcLzw && comp != tcPackBits && comp != tcDeflate && comp != tcAdobeDeflate)
      comp = tcNone;
    gray = p.work->IsGrayScale();
    if (gray) {
      photo = tpBlackIsZero;
    } else {
      photo = tpPalette;
      if (bits == 16) bits = 8;
    }
  }
  if (photo == tpPalette && spp > 1) photo = tpRgb;
  if (p.work->PixelFormat() == lxRGB48) spp = 3, bits = 16, photo = tpRgb;
  if (bits > 8 && spp != 1) spp = 3, bits = 8, photo = tpRgb;
  if ((photo == tpWhiteIsZero || photo == tpBlackIsZero) && bits == 8 && spp == 3) photo = tpRgb;
  if (photo == tpRgb && spp == 1 && bits == 1) photo = tpBlackIsZero;
  if (photo == tpYCbCr && comp != tcJpeg) photo = tpRgb;
  if (photo == tpRgb && spp > 3) spp = 3;
  if (p.work->PixelFormat() == lxRGB48) spp = 3, bits = 16, photo = tpRgb;
  if (p.work->PixelFormat() == lxCMYK) spp = 4, bits = 8, photo = tpSeparated;

  // JPEG strips: the JPEG writer takes any layout through a 24-bit copy.
  if (IsJpeg(comp) && !grayOrPalette) {
    p.kind = RowKind::Jpeg;
    p.code = comp == tcJpeg ? kJpeg : kOldJpeg;
    p.bits = bits = 8;
    switch (params.TiffJpegColorSpace) {
      case jcRGB:
        p.photometric = kRgb, p.jpegSpace = jcRGB, p.samples = 3;
        break;
      case jcGrayScale:
        p.photometric = kBlackIsZero, p.jpegSpace = jcGrayScale, p.samples = 1;
        break;
      case jcCMYK:
        p.photometric = kSeparated, p.jpegSpace = jcCMYK, p.samples = 4;
        break;
      case jcYCbCrK:
        p.photometric = kRgb, p.jpegSpace = jcRGB, p.samples = 3;
        break;
      default:
        p.photometric = kYCbCr, p.jpegSpace = jcYCbCr, p.samples = 3;
        break;
    }
    spp = p.samples;
    if (photo == tpYCbCr && p.photometric != kYCbCr) photo = tpRgb;
    // The JPEG writer converts other layouts itself, taking the alpha channel of its source.
    return p.work->PixelFormat() == lx24RGB || ConvertWork(p, lx24RGB, progress);
  }
  if (IsJpeg(comp)) comp = tcNone;
  if (photo == tpYCbCr) photo = tpRgb;

  const PixelFormat pf = p.work->PixelFormat();
  // Compression code; the fax codes need bilevel rows.
  if (IsCcitt(comp) && pf != lx1g) comp = tcNone;
  switch (comp) {
    case tcCcittRle:
      p.code = kCcittRle;
      break;
    case tcG3Fax1D:
      p.code = kGroup3;
      break;
    case tcG3Fax2D:
      p.code = kGroup3, p.twoD = true;
      break;
    case tcG4Fax:
      p.code = kGroup4;
      break;
    case tcLzw:
      p.code = haveLzw ? kLzw : kNone;
      if (!haveLzw) comp = tcNone;
      break;
    case tcPackBits:
      p.code = kPackBits;
      break;
    case tcDeflate:
    case tcAdobeDeflate:
      p.code = kDeflate;
      break;
    default:
      p.code = kNone;
      comp = tcNone;
      break;
  }
  p.fillOrder = params.TiffFillOrder == 2 ? 2 : 1;

  if (pf == lx1g) {
    p.kind = RowKind::Bits1;
    bits = 1, spp = 1;
    if (photo != tpWhiteIsZero && photo != tpBlackIsZero) photo = tpBlackIsZero;
    p.bits = 1, p.samples = 1;
    p.photometric = p.code >= kCcittRle && p.code <= kGroup4 ? kWhiteIsZero : kBlackIsZero;
    return true;
  }

  if (grayOrPalette) {
    p.samples = 1;
    if (pf == lx8p && gray) {
      if (!ConvertWork(p, lx8g, progress)) return false;
    } else if (pf == lx16g && bits != 16) {
      if (!ConvertWork(p, lx8g, progress)) return false;
    } else if (pf == lx8p && bits < 8 && MaxIndex(*p.work) >= (1 << bits)) {
      // Indexes that do not fit the depth: choose a smaller palette from the colours.
      if (!ConvertWork(p, lx24RGB, progress)) return false;
    }
    p.bits = bits;
    const PixelFormat wf = p.work->PixelFormat();
    if (gray) {
      p.photometric = kBlackIsZero;
      if (wf == lx16g)
        p.kind = RowKind::Gray16;
      else if (wf == lx8g)
        p.kind = RowKind::Gray8;
      else
        p.kind = RowKind::Quantized;
    } else {
      p.photometric = kPalette;
      p.palette.assign(size_t(1) << bits, TRGB{});
      if (wf == lx8p) {
        p.kind = RowKind::Index8;
        const int n = std::min<int>(p.work->PaletteCount(), int(p.palette.size()));
        for (int i = 0; i < n; ++i) p.palette[size_t(i)] = p.work->GetPaletteEntry(i);
      } else {
        p.kind = RowKind::Quantized;
      }
    }
    if (p.kind == RowKind::Quantized) {
      if (p.work->PixelFormat() != lx24RGB && !ConvertWork(p, lx24RGB, progress)) return false;
      std::vector<TRGB> pal(256);
      p.quantizer = std::make_unique<TLxQuantizer>(*p.work, pal.data(),
                                                   std::min(1 << std::min(bits, 8), 256));
      if (!gray)
        std::copy(pal.begin(), pal.begin() + ptrdiff_t(p.palette.size()), p.palette.begin());
    }
    return true;
  }

  // Colour layouts.
  if (pf == lxRGB48) {
    p.kind = RowKind::Rgb48, p.bits = 16, p.samples = 3, p.photometric = kRgb;
    return true;
  }
  if (pf == lxCMYK) {
    p.kind = RowKind::Cmyk, p.bits = 8, p.samples = 4, p.photometric = kSeparated;
    return true;
  }
  if (pf != lx24RGB && !ConvertWork(p, lx24RGB, progress)) return false;
  bits = 8;
  p.bits = 8;
  if (photo == tpSeparated) {
    spp = 4;
    p.kind = RowKind::RgbToCmyk, p.samples = 4, p.photometric = kSeparated;
    return true;
  }
  spp = 3;
  p.samples = 3;
  if (photo == tpLab) {
    p.kind = RowKind::Lab, p.photometric = kLab;
  } else {
    if (photo != tpRgb && photo != tpWhiteIsZero) photo = tpRgb;
    if (photo == tpWhiteIsZero) photo = tpRgb;
    p.kind = RowKind::Rgb, p.photometric = kRgb;
    if (bitmap.HasAlphaChannel() && (p.code == kNone || p.code == kLzw || p.code == kPackBits)) {
      TLxBitmap* a = bitmap.AlphaChannel();
      if (a && a->Width() == p.work->Width() && a->Height() == p.work->Height() && !AllOpaque(*a)) {
        p.alpha = a;
        p.samples = 4;
      }
    }
  }
  // Horizontal differencing for 8-bit colour rows without alpha.
  p.predictor = p.code == kLzw && !p.alpha;
  return true;
}

// ====================================================================== rows

// Packs one byte-per-sample values of `bits` bits, most significant bit first.
void PackSamples(const uint8_t* in, size_t n, int bits, uint8_t* out, size_t outBytes) {
  std::memset(out, 0, outBytes);
  size_t bit = 0;
  const unsigned mask = (1u << bits) - 1;
  for (size_t i = 0; i < n; ++i) {
    unsigned v = in[i] & mask;
    for (int b = bits - 1; b >= 0; --b, ++bit)
      if (v >> b & 1) out[bit >> 3] |= uint8_t(0x80 >> (bit & 7));
  }
}

class RowMaker {
 public:
  RowMaker(Plan& p) : p_(p), w_(p.work->Width()) {
    rowBytes_ = (size_t(w_) * size_t(p.bits) * size_t(p.samples) + 7) / 8;
    row_.resize(rowBytes_ + 16);
    if (p.bits < 8 && p.kind != RowKind::Bits1) values_.resize(size_t(w_));
  }
  size_t RowBytes() const { return rowBytes_; }

  // The stored bytes of row y.
  const uint8_t* Make(int y) {
    const uint8_t* src = p_.work->ScanLine(y);
    uint8_t* out = row_.data();
    const int w = w_;
    switch (p_.kind) {
      case RowKind::Bits1:
        return src;
      case RowKind::Gray8:
        if (p_.bits == 8) return src;
        if (p_.bits == 16) {
          for (int x = 0; x < w; ++x) out[2 * x] = out[2 * x + 1] = src[x];
          return out;
        } else {
          const int top = (1 << p_.bits) - 1;
          for (int x = 0; x < w; ++x) values_[size_t(x)] = uint8_t((src[x] * top + 127) / 255);
          PackSamples(values_.data(), size_t(w), p_.bits, out, rowBytes_);
        }
        return out;
      case RowKind::Index8:
        if (p_.bits == 8) return src;
        PackSamples(src, size_t(w), p_.bits, out, rowBytes_);
        return out;
      case RowKind::Gray16:
        std::memcpy(out, src, size_t(w) * 2);  // little-endian in memory
        return out;
      case RowKind::Quantized: {
        if (p_.bits == 16) {
          for (int x = 0; x < w; ++x, src += 3) {
            const int v = p_.quantizer->RGBToIndex(src[0] | src[1] << 8 | src[2] << 16) * 257;
            out[2 * x] = uint8_t(v), out[2 * x + 1] = uint8_t(v >> 8);
          }
          return out;
        }
        uint8_t* dst = p_.bits == 8 ? out : values_.data();
        for (int x = 0; x < w; ++x, src += 3)
          dst[x] = uint8_t(p_.quantizer->RGBToIndex(src[0] | src[1] << 8 | src[2] << 16));
        if (p_.bits < 8) PackSamples(values_.data(), size_t(w), p_.bits, out, rowBytes_);
        return out;
      }
      case RowKind::Rgb:
        if (p_.alpha) {
          const uint8_t* a = p_.alpha->ScanLine(y);
          for (int x = 0; x < w; ++x, src += 3, out += 4)
            out[0] = src[2], out[1] = src[1], out[2] = src[0], out[3] = a[x];
        } else {
          for (int x = 0; x < w; ++x, src += 3, out += 3)
            out[0] = src[2], out[1] = src[1], out[2] = src[0];
        }
        break;
      case RowKind::Cmyk:
        for (size_t i = 0; i < size_t(w) * 4; ++i) out[i] = uint8_t(255 - src[i]);
        return out;
      case RowKind::RgbToCmyk:
        RgbRunToCmyk(src, out, w);
        for (size_t i = 0; i < size_t(w) * 4; ++i) out[i] = uint8_t(255 - out[i]);
        return out;
      case RowKind::Lab:
        for (int x = 0; x < w; ++x, src += 3, out += 3) {
          const TCIELab lab = RgbToLab(src[0] | src[1] << 8 | src[2] << 16);
          out[0] = lab.l, out[1] = uint8_t(lab.a), out[2] = uint8_t(lab.b);
        }
        break;
      case RowKind::Rgb48:
        std::memcpy(out, src, size_t(w) * 6);
        return out;
      case RowKind::Jpeg:
        return out;
    }
    out = row_.data();
    if (p_.predictor) {
      const size_t n = size_t(w) * 3;
      for (size_t i = n; i-- > 3;) out[i] = uint8_t(out[i] - out[i - 3]);
    }
    return out;
  }

 private:
  Plan& p_;
  int w_;
  size_t rowBytes_;
  std::vector<uint8_t> row_;
  std::vector<uint8_t> values_;
};

// ====================================================================== strip encoders

class StripCoder {
 public:
  virtual ~StripCoder() = default;
  virtual void Row(const uint8_t* row, size_t n) = 0;
  virtual void EndStrip() = 0;
};

class PlainCoder : public StripCoder {
 public:
  explicit PlainCoder(TLxTiffOutput& out) : out_(out) {}
  void Row(const uint8_t* row, size_t n) override { out_.Write(row, n); }
  void EndStrip() override {}

 private:
  TLxTiffOutput& out_;
};

class PackBitsCoder : public StripCoder {
 public:
  explicit PackBitsCoder(TLxTiffOutput& out) : out_(out) {}
  void Row(const uint8_t* row, size_t n) override {
    buf_.clear();
    EncodePackBits(std::span<const uint8_t>(row, n), buf_);
    out_.Write(buf_.data(), buf_.size());
  }
  void EndStrip() override {}

 private:
  TLxTiffOutput& out_;
  std::vector<uint8_t> buf_;
};

// A stream over the writer's output, for encoders that write to a stream.
class OutputStream : public TStream {
 public:
  explicit OutputStream(TLxTiffOutput& out) : out_(out) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* buffer, int64_t count) override {
    out_.Write(buffer, size_t(count));
    return out_.Failed() ? 0 : count;
  }
  int64_t Seek(int64_t, int) override { return out_.Base() + out_.Position(); }

 private:
  TLxTiffOutput& out_;
};

class LzwCoder : public StripCoder {
 public:
  LzwCoder(TLxTiffOutput& out, TTiffLzwEncoderHook hook) : out_(out), stream_(out), hook_(hook) {}
  void Row(const uint8_t* row, size_t n) override {
    if (!hook_(std::span<const uint8_t>(row, n), stream_, state_)) Fail();
  }
  void EndStrip() override {
    if (!hook_(std::span<const uint8_t>(), stream_, state_)) Fail();
    state_.reset();
  }

 private:
  void Fail() { out_.Fail(); }
  TLxTiffOutput& out_;
  OutputStream stream_;
  TTiffLzwEncoderHook hook_;
  std::unique_ptr<TLxLzwHookState> state_;
};

class CcittCoder : public StripCoder {
 public:
  CcittCoder(TLxTiffOutput& out, TLxCcittScheme scheme, uint32_t width, int fillOrder)
      : out_(out), encoder_(scheme, width, fillOrder) {}
  void Row(const uint8_t* row, size_t n) override {
    buf_.clear();
    encoder_.EncodeRow(std::span<const uint8_t>(row, n), buf_);
    out_.Write(buf_.data(), buf_.size());
  }
  void EndStrip() override {
    buf_.clear();
    encoder_.EndStrip(buf_);
    out_.Write(buf_.data(), buf_.size());
  }

 private:
  TLxTiffOutput& out_;
  TLxCcittEncoder encoder_;
  std::vector<uint8_t> buf_;
};

TTiffLzwEncoderHook LzwHook(const TIOParamsVals& params) {
  return params.TiffLzwEncoderHook ? params.TiffLzwEncoderHook : DefaultTiffLzwEncoderHook;
}

std::unique_ptr<StripCoder> MakeCoder(const Plan& p, TLxTiffOutput& out, TIOParamsVals& params) {
  const uint32_t w = uint32_t(p.work->Width());
  switch (p.code) {
    case kLzw:
      return std::make_unique<LzwCoder>(out, LzwHook(params));
    case kCcittRle:
      return std::make_unique<CcittCoder>(out, TLxCcittScheme::ModifiedHuffman, w, p.fillOrder);
    case kGroup3:
      return std::make_unique<CcittCoder>(
          out, p.twoD ? TLxCcittScheme::Group3TwoD : TLxCcittScheme::Group3OneD, w, p.fillOrder);
    case kGroup4:
      return std::make_unique<CcittCoder>(out, TLxCcittScheme::Group4, w, p.fillOrder);
    case kPackBits:
      return std::make_unique<PackBitsCoder>(out);
    default:
      return std::make_unique<PlainCoder>(out);
  }
}

// ====================================================================== pixel data

bool FitsOffset(int64_t v, ProgressRecord& progress) {
  if (v >= 0 && v <= int64_t(std::numeric_limits<uint32_t>::max())) return true;
  progress.Fail(TLxFailure::TooLarge, "TIFF data beyond 4 GiB");
  return false;
}

// ====================================================================== Deflate strips

// Each Deflate strip is a zlib stream of its own, so strips compress independently: the rows
// of a strip are gathered on the calling thread while strips already gathered compress on
// the worker pool, and the results are written in strip order. Every strip is compressed
// the same way whoever runs it, so the file does not depend on the number of threads.

// The compressor level of a TiffDeflateLevel: 0 fastest, 2 best, anything else normal.
int DeflateCompressorLevel(int effort) {
  return effort == 0 ? 1 : effort == 2 ? 9 : 6;
}

// One compressor per thread and level, kept for the next strip.
libdeflate_compressor* ThreadCompressor(int level) {
  struct Cached {
    int level = -1;
    libdeflate_compressor* compressor = nullptr;
    ~Cached() {
      if (compressor) libdeflate_free_compressor(compressor);
    }
  };
  thread_local Cached cached;
  if (cached.level != level) {
    if (cached.compressor) libdeflate_free_compressor(cached.compressor);
    cached.compressor = libdeflate_alloc_compressor(level);
    cached.level = cached.compressor ? level : -1;
  }
  return cached.compressor;
}

class DeflateStrip : public TLxClaimedJob {
 public:
  DeflateStrip(int level, size_t rawBytes) : level_(level) { raw_.reserve(rawBytes); }
  std::vector<uint8_t>& Raw() { return raw_; }
  const std::vector<uint8_t>& Packed() const { return packed_; }
  bool Ok() const { return ok_; }

  // Runs on a worker too, so it throws nothing: a failed allocation leaves Ok() false.
  void Run() noexcept {
    try {
      if (libdeflate_compressor* c = ThreadCompressor(level_)) {
        packed_.resize(libdeflate_zlib_compress_bound(c, raw_.size()));
        const size_t n =
            libdeflate_zlib_compress(c, raw_.data(), raw_.size(), packed_.data(), packed_.size());
        packed_.resize(n);
        ok_ = n > 0;
      }
    } catch (const std::bad_alloc&) {
      ok_ = false;
    }
    raw_ = {};
    Done();
  }

 private:
  int level_;
  std::vector<uint8_t> raw_;
  std::vector<uint8_t> packed_;
  bool ok_ = false;
};

// Writes the rows as Deflate strips of rowsPerStrip rows; false when the save stopped.
bool WriteDeflateStrips(Plan& p, TLxTiffOutput& out, int rowsPerStrip, int effort,
                        std::vector<uint32_t>& offsets, std::vector<uint32_t>& counts) {
  ProgressRecord& progress = out.Progress();
  const int h = p.work->Height();
  const int level = DeflateCompressorLevel(effort);
  // A bitmap in the paging file maps one row at a time, and the rows are made here anyway;
  // only the compression moves to other threads.
  TLxOrderedJobs<DeflateStrip> strips(SpareLanes());
  auto write = [&](const DeflateStrip& strip) {
    if (!strip.Ok()) {
      progress.Fail(TLxFailure::OutOfMemory, "deflate");
      return false;
    }
    const int64_t start = out.Position();
    out.Write(strip.Packed().data(), strip.Packed().size());
    if (progress.Aborting() || !FitsOffset(out.Position(), progress)) return false;
    offsets.push_back(uint32_t(start));
    counts.push_back(uint32_t(out.Position() - start));
    return true;
  };

  RowMaker maker(p);
  const double per = h > 0 ? 100.0 / h : 0;
  for (int first = 0; first < h; first += rowsPerStrip) {
    const int last = std::min(h, first + rowsPerStrip);
    auto strip = std::make_shared<DeflateStrip>(level, maker.RowBytes() * size_t(last - first));
    std::vector<uint8_t>& raw = strip->Raw();
    for (int y = first; y < last; ++y) {
      if (progress.Assigned()) progress.Report(int(y * per));
      const uint8_t* row = maker.Make(y);
      raw.insert(raw.end(), row, row + maker.RowBytes());
      if (progress.Aborting()) return false;
    }
    if (!strips.Add(std::move(strip), write)) return false;
  }
  return strips.Drain(write);
}

void WriteStrips(Plan& p, TLxTiffOutput& out, TLxTiffTagList& tags, ProgressRecord& progress,
                 TIOParamsVals& params) {
  const int h = p.work->Height();
  int strips = 1;
  int rowsPerStrip = h;
  if (p.code != kJpeg) {
    strips = int(std::max<int64_t>(1, int64_t(h) * p.work->RowLen() / kStripBytes));
    rowsPerStrip = h / strips;
    if (h % strips) ++strips;
  }
  std::vector<uint32_t> offsets, counts;
  out.Align();
  if (p.kind == RowKind::Jpeg) {
    auto tmp = std::make_unique<TIOParamsVals>();
    tmp->JpegQuality = params.TiffJpegQuality;
    tmp->JpegColorSpace = p.jpegSpace;
    tmp->DpiX = params.DpiX, tmp->DpiY = params.DpiY;
    out.Flush();
    const int64_t start = out.Position();
    try {
      WriteJpegStream(out.Stream(), *p.work, *tmp, progress, true);
    } catch (const ELxJpegException&) {
      progress.Abort();
    }
    out.Resync();
    if (!FitsOffset(out.Position(), progress)) return;
    offsets.push_back(uint32_t(start));
    counts.push_back(uint32_t(out.Position() - start));
  } else if (p.code == kDeflate) {
    if (!WriteDeflateStrips(p, out, rowsPerStrip, params.TiffDeflateLevel, offsets, counts)) return;
  } else {
    RowMaker maker(p);
    std::unique_ptr<StripCoder> coder = MakeCoder(p, out, params);
    int64_t stripStart = out.Position();
    const double per = h > 0 ? 100.0 / h : 0;
    for (int y = 0; y < h; ++y) {
      if (progress.Assigned()) progress.Report(int(y * per));
      coder->Row(maker.Make(y), maker.RowBytes());
      if (progress.Aborting()) return;
      if ((y + 1) % rowsPerStrip == 0 || y + 1 == h) {
        coder->EndStrip();
        if (!FitsOffset(out.Position(), progress)) return;
        offsets.push_back(uint32_t(stripStart));
        counts.push_back(uint32_t(out.Position() - stripStart));
        stripStart = out.Position();
      }
    }
  }
  if (progress.Aborting()) return;
  tags.AddLong(kRowsPerStrip, uint32_t(rowsPerStrip));
  if (offsets.size() == 1) {
    tags.AddLong(kStripOffsets, offsets[0]);
    tags.AddLong(kStripByteCounts, counts[0]);
  } else {
    tags.AddLongs(kStripOffsets, offsets);
    tags.AddLongs(kStripByteCounts, counts);
  }
}

// Offset of the first start-of-scan marker of a JPEG stream, by its marker segments.
size_t StartOfScan(const std::vector<uint8_t>& j) {
  size_t i = 2;
  while (i + 4 <= j.size()) {
    if (j[i] != 0xFF) return 0;
    const uint8_t m = j[i + 1];
    if (m == 0xFF) {
      ++i;
      continue;
    }
    if (m == 0xDA) return i;
    i += 2 + (size_t(j[i + 2]) << 8 | j[i + 3]);
  }
  return 0;
}

void WriteOldJpeg(Plan& p, TLxTiffOutput& out, TLxTiffTagList& tags, ProgressRecord& progress,
                  TIOParamsVals& params) {
  auto tmp = std::make_unique<TIOParamsVals>();
  tmp->JpegQuality = params.TiffJpegQuality;
  tmp->JpegColorSpace = p.jpegSpace;
  tmp->DpiX = params.DpiX, tmp->DpiY = params.DpiY;
  TMemoryStream mem;
  try {
    WriteJpegStream(mem, *p.work, *tmp, progress, true);
  } catch (const ELxJpegException&) {
    progress.Abort();
  }
  if (progress.Aborting()) return;
  const std::vector<uint8_t>& j = mem.Bytes();
  out.Align();
  const int64_t at = out.Position();
  out.Write(j.data(), j.size());
  if (!FitsOffset(out.Position(), progress)) return;
  const size_t s = StartOfScan(j);
  tags.AddLong(kJpegInterchangeFormat, uint32_t(at));
  tags.AddLong(kJpegInterchangeFormatLength, uint32_t(j.size()));
  tags.AddLong(kRowsPerStrip, uint32_t(p.work->Height()));
  tags.AddLong(kStripOffsets, uint32_t(at + int64_t(s)));
  tags.AddLong(kStripByteCounts, uint32_t(j.size() - s));
  tags.AddShort(kJpegProc, 1);
}

// ====================================================================== insert mode

struct InsertPoint {
  int64_t pointer = 0;  // position (relative) of the 4-byte pointer to relink
  uint32_t old = 0;     // its value
  int32_t count = 0;    // directories found
};

bool ReadU32At(TStream& s, int64_t pos, uint32_t& v) {
  uint8_t b[4];
  s.Seek(pos, soBeginning);
  if (s.Read(b, 4) != 4) return false;
  v = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
  return true;
}

// Walks the chain of the structure at base. False (with a reason) for a structure that is not
// little-endian, a pointer outside the stream or a chain that loops.
bool FindInsertPoint(TStream& s, int64_t base, int32_t index, ProgressRecord& progress,
                     InsertPoint& ip) {
  const int64_t size = s.Size();
  uint8_t head[4] = {};
  s.Seek(base, soBeginning);
  if (s.Read(head, 4) != 4 || head[0] != 'I' || head[1] != 'I') {
    progress.Fail(TLxFailure::Unsupported, base, "only little-endian TIFF files can take a page");
    return false;
  }
  if (index < 0) index = 0;
  std::set<uint32_t> visited;
  int64_t pointer = 4;
  bool noted = false;
  for (int32_t i = 0;; ++i) {
    uint32_t v;
    if (!ReadU32At(s, base + pointer, v)) {
      progress.Fail(TLxFailure::Truncated, base + pointer, "directory pointer cut off");
      return false;
    }
    if (!noted && (i == index || (v == 0 && i < index))) {
      ip.pointer = pointer, ip.old = v, noted = true;
    }
    if (v == 0) {
      ip.count = i;
      return true;
    }
    if (v < 8 || base + int64_t(v) + 2 > size) {
      progress.Fail(TLxFailure::BadData, base + pointer, "directory offset outside the file");
      return false;
    }
    if (!visited.insert(v).second || visited.size() > TLxTiffStructure::kMaxIfds) {
      progress.Fail(TLxFailure::BadData, base + pointer, "directory chain loops");
      return false;
    }
    uint8_t c[2];
    s.Seek(base + v, soBeginning);
    if (s.Read(c, 2) != 2) {
      progress.Fail(TLxFailure::Truncated, base + v);
      return false;
    }
    pointer = int64_t(v) + 2 + 12 * int64_t(c[0] | c[1] << 8);
    if (base + pointer + 4 > size) {
      progress.Fail(TLxFailure::Truncated, base + v, "directory runs past the end of the file");
      return false;
    }
  }
}

}  // namespace

// ====================================================================== the writer

int32_t WriteTiffStream(TStream& stream, bool insertMode, TLxBitmap* bitmap,
                        ProgressRecord& progress, TIOParamsVals& params) {
  const int64_t base = stream.Position();
  InsertPoint ip;
  int32_t result = 1;
  if (insertMode) {
    if (!FindInsertPoint(stream, base, params.TiffImageIndex, progress, ip)) return 0;
    result = ip.count + 1;
    stream.Seek(0, soEnd);
    if (stream.Position() < base) return 0;
  }
  if (bitmap && (bitmap->IsEmpty() || bitmap->Width() <= 0 || bitmap->Height() <= 0)) {
    progress.Fail(TLxFailure::NoImage, "empty image");
    return 0;
  }

  Plan plan;
  // Without an encoder hook LZW requests are stored uncompressed.
  if (bitmap && !MakePlan(plan, *bitmap, params, progress, LzwHook(params) != nullptr)) return 0;
  // Bilevel fax rows are stored with 0 for white.
  std::unique_ptr<TLxBitmap> inverted;
  if (bitmap && plan.photometric == kWhiteIsZero && plan.kind == RowKind::Bits1) {
    if (plan.work == bitmap) {
      if (!ConvertWork(plan, lx1g, progress)) return 0;
      inverted = std::move(plan.own);
      plan.own = std::move(inverted);
      plan.work = plan.own.get();
    }
    InvertBitmap(*plan.work);
  }

  TLxTiffOutput out(stream, progress, base);
  if (!insertMode) {
    const uint8_t zeros[8] = {};
    out.Write(zeros, 8);
  }
  TLxTiffTagList tags(out);
  if (!AddExifTiffTags(tags, params, bitmap != nullptr)) {
    tags.AddAscii(kImageDescription, params.TiffImageDescription);
    AddResolutionTags(tags, 0, 0, params.DpiX, params.DpiY, 2);
  }
  if (bitmap) {
    TLxBitmap& w = *plan.work;
    tags.AddLong(kImageWidth, uint32_t(w.Width()));
    tags.AddLong(kImageLength, uint32_t(w.Height()));
    std::vector<uint16_t> bits(size_t(plan.samples), uint16_t(plan.bits));
    tags.AddShorts(kBitsPerSample, bits);
    tags.AddShort(kCompression, plan.code);
    tags.AddShort(kPhotometric, plan.photometric);
    tags.AddAscii(kDocumentName, params.TiffDocumentName);
    if (plan.code >= kCcittRle && plan.code <= kGroup4) {
      tags.AddShort(kFillOrder, uint16_t(plan.fillOrder));
      tags.AddShort(kCleanFaxData, 0);
    }
    tags.AddShort(kPlanarConfiguration, 1);
    if (plan.code == kOldJpeg)
      WriteOldJpeg(plan, out, tags, progress, params);
    else
      WriteStrips(plan, out, tags, progress, params);
  }
  if (progress.Aborting()) {
    out.Flush();
    return 0;
  }

  if (bitmap) {
    tags.AddShort(kSamplesPerPixel, uint16_t(plan.samples));
    if (plan.alpha) tags.AddShort(kExtraSamples, 2);  // unassociated: the rows hold straight alpha
    if (plan.predictor) tags.AddShort(kPredictor, 2);
    tags.AddAscii(kPageName, params.TiffPageName);
    if (params.TiffXPos > 0) tags.AddRationalParts(kXPosition, uint32_t(params.TiffXPos), 1);
    if (params.TiffYPos > 0) tags.AddRationalParts(kYPosition, uint32_t(params.TiffYPos), 1);
    if (plan.code == kGroup3) tags.AddLong(kT4Options, plan.twoD ? 1 : 0);
    if (plan.code == kGroup4) tags.AddLong(kT6Options, 0);
    if (plan.code == kJpeg || plan.code == kOldJpeg) {
      if (plan.photometric == kYCbCr) {
        const uint16_t sub[2] = {2, 2};
        tags.AddShorts(kYCbCrSubSampling, sub);
      }
    }
    tags.AddLong(kNewSubfileType, 0);
    if (params.TiffPageNumber >= 0 || params.TiffPageCount >= 0) {
      const uint16_t pn[2] = {uint16_t(std::clamp(params.TiffPageNumber, 0, 65535)),
                              uint16_t(std::clamp(params.TiffPageCount, 0, 65535))};
      tags.AddShorts(kPageNumber, pn);
    }
    std::vector<uint8_t> iptc = params.IPTC_Info.SaveToBuffer(false);
    if (!iptc.empty()) {
      iptc.resize((iptc.size() + 3) / 4 * 4, 0);
      tags.AddRaw(kIptc, ttLong, uint32_t(iptc.size() / 4), iptc.data(), iptc.size());
    }
    if (!params.XMP_Info.empty())
      tags.AddBytes(
          kXmp, ttByte,
          std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(params.XMP_Info.data()),
                                   params.XMP_Info.size()));
    tags.AddBytes(kAnnotations, ttByte, params.TiffAnnotations);
    if (params.HasInputICCProfile())
      tags.AddBytes(kIccProfile, ttUndefined, params.InputICCProfileIfAny()->Raw());
    if (plan.photometric == kPalette) {
      const size_t n = plan.palette.size();
      std::vector<uint16_t> map(3 * n);
      for (size_t i = 0; i < n; ++i) {
        map[i] = uint16_t(plan.palette[i].r * 257);
        map[n + i] = uint16_t(plan.palette[i].g * 257);
        map[2 * n + i] = uint16_t(plan.palette[i].b * 257);
      }
      tags.AddShorts(kColorMap, map);
    }
  }

  const uint32_t ifd = tags.WriteIfd(insertMode ? ip.old : 0);
  const int64_t end = out.Position();
  if (progress.Aborting()) {
    out.Flush();
    return 0;
  }
  if (!insertMode) {
    out.Seek(0);
    out.Write("II", 2);
    out.WriteU16(42);
    out.WriteU32(ifd);
  } else {
    out.Seek(ip.pointer);
    out.WriteU32(ifd);
  }
  out.Seek(end);
  return progress.Aborting() ? 0 : result;
}

}  // namespace lumenax
