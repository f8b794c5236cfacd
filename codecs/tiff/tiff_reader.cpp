// TIFF reader: both byte orders, the directory chain and SubIFDs, strips and tiles, contiguous
// and separate planes, the compressions none, PackBits, Deflate, LZW, CCITT (modified Huffman,
// Group 3 one- and two-dimensional, Group 4), JPEG and old-style JPEG, the horizontal
// predictor, and the photometric interpretations gray, RGB, palette, CMYK, YCbCr and L*a*b*.
//
// Every byte is hostile:
//  - the structure (codecs/common/ifd.h) ignores tags whose values lie outside the stream and
//    ends directory chains that loop;
//  - the layout is checked before anything is allocated: a combination of samples, bits and
//    photometric interpretation that no conversion below turns into pixels is refused as
//    unsupported rather than left blank, and the image, a tile and the row buffers must stay
//    within the size caps;
//  - strip and tile data are read only as far as the stream goes; data that end early keep the
//    rows decoded so far, leave the rest zero and fail as "truncated".
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <zlib.h>

#include "bitmap/bitmap.h"
#include "bitmap/byte_reader.h"
#include "bitmap/conversion.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/common/bit_order.h"
#include "codecs/common/ccitt_decoder.h"
#include "codecs/common/ifd.h"
#include "codecs/common/image_size.h"
#include "codecs/common/lzw_decoder.h"
#include "codecs/common/packbits.h"
#include "codecs/jpeg/jpeg.h"
#include "codecs/tiff/exif.h"
#include "codecs/tiff/tiff.h"
#include "io/params.h"

namespace lumenax {

namespace {

// ---------------------------------------------------------------- tags

enum : uint16_t {
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
  kOrientation = 274,
  kSamplesPerPixel = 277,
  kRowsPerStrip = 278,
  kStripByteCounts = 279,
  kXResolution = 282,
  kYResolution = 283,
  kPlanarConfig = 284,
  kPageName = 285,
  kXPosition = 286,
  kYPosition = 287,
  kT4Options = 292,
  kT6Options = 293,
  kResolutionUnit = 296,
  kPageNumber = 297,
  kSoftware = 305,
  kPredictor = 317,
  kColorMap = 320,
  kTileWidth = 322,
  kTileLength = 323,
  kTileOffsets = 324,
  kTileByteCounts = 325,
  kSubIfds = 330,
  kInkSet = 332,
  kNumberOfInks = 334,
  kExtraSamples = 338,
  kSampleFormat = 339,
  kJpegTables = 347,
  kJpegProc = 512,
  kJpegInterchangeFormat = 513,
  kJpegInterchangeFormatLength = 514,
  kYCbCrSubSampling = 530,
  kXmp = 700,
  kAnnotations = 32932,
  kIptc = 33723,
  kIccProfile = 34675,
};

enum : uint32_t {
  kCompNone = 1,
  kCompCcittRle = 2,
  kCompCcittFax3 = 3,
  kCompCcittFax4 = 4,
  kCompLzw = 5,
  kCompOldJpeg = 6,
  kCompJpeg = 7,
  kCompAdobeDeflate = 8,
  kCompPackBits = 32773,
  kCompDeflate = 32946,
};

constexpr int kMaxThumbnailSide = 400;
// A row buffer (one row of a strip or tile, all samples) larger than this is refused.
constexpr uint64_t kMaxRowBytes = uint64_t(1) << 30;
// More samples per pixel than any layout uses (CMYK with spot colours stays far below).
constexpr uint32_t kMaxSamples = 32;
// Tiles may exceed the image (small images in large tiles), but not by this much.
constexpr uint64_t kMaxTileSide = 65536;

// The working set of one directory.
struct Tags {
  uint32_t width = 0, height = 0;
  uint32_t samples = 1, bits = 1;
  bool bitsDiffer = false;
  uint32_t rowsPerStrip = 0;  // 0: the height
  int64_t tileWidth = -1, tileLength = -1;
  uint32_t photometric = 2;
  uint32_t planar = 1;
  uint32_t orientation = 1;
  uint32_t compression = 1;
  uint32_t predictor = 1;
  uint32_t resolutionUnit = 2;
  double xResolution = 0, yResolution = 0;
  double xPosition = 0, yPosition = 0;
  uint32_t t4Options = 0, t6Options = 0;
  uint32_t fillOrder = 1;
  uint32_t jpegProc = 0;
  uint32_t jpegInterchange = 0, jpegInterchangeLength = 0;
  uint32_t extraSamples = 0;
  uint32_t subH = 2, subV = 2;
  uint32_t sampleFormat = 1;
  std::string software;
  const TLxIfdEntry* stripOffsets = nullptr;
  const TLxIfdEntry* stripCounts = nullptr;
  const TLxIfdEntry* tileOffsets = nullptr;
  const TLxIfdEntry* tileCounts = nullptr;
  const TLxIfdEntry* jpegTables = nullptr;
  const TLxIfdEntry* colorMap = nullptr;
};

uint32_t UintOr(TLxTiffStructure& s, const TLxIfd& ifd, uint16_t tag, uint32_t otherwise) {
  const TLxIfdEntry* e = ifd.Find(tag);
  if (!e) return otherwise;
  return s.Uint(*e).value_or(otherwise);
}

double RealOr(TLxTiffStructure& s, const TLxIfd& ifd, uint16_t tag, double otherwise) {
  const TLxIfdEntry* e = ifd.Find(tag);
  if (!e) return otherwise;
  return s.Real(*e).value_or(otherwise);
}

void ReadTags(TLxTiffStructure& s, const TLxIfd& ifd, Tags& t) {
  t.width = UintOr(s, ifd, kImageWidth, 0);
  t.height = UintOr(s, ifd, kImageLength, 0);
  t.samples = UintOr(s, ifd, kSamplesPerPixel, 1);
  if (const TLxIfdEntry* e = ifd.Find(kBitsPerSample)) {
    std::vector<uint32_t> v = s.UintArray(*e, 64);
    if (!v.empty()) {
      t.bits = v[0];
      for (uint32_t b : v) t.bitsDiffer |= b != v[0];
    }
  }
  const uint32_t rps = UintOr(s, ifd, kRowsPerStrip, 0);
  t.rowsPerStrip = rps == 0xFFFFFFFFu ? 0 : rps;
  if (const TLxIfdEntry* e = ifd.Find(kTileWidth)) t.tileWidth = s.Uint(*e).value_or(0);
  if (const TLxIfdEntry* e = ifd.Find(kTileLength)) t.tileLength = s.Uint(*e).value_or(0);
  t.photometric = UintOr(s, ifd, kPhotometric, 2);
  t.planar = UintOr(s, ifd, kPlanarConfig, 1);
  t.orientation = UintOr(s, ifd, kOrientation, 1);
  t.compression = UintOr(s, ifd, kCompression, 1);
  t.predictor = UintOr(s, ifd, kPredictor, 1);
  t.resolutionUnit = UintOr(s, ifd, kResolutionUnit, 2);
  t.xResolution = RealOr(s, ifd, kXResolution, 0);
  t.yResolution = RealOr(s, ifd, kYResolution, 0);
  t.xPosition = RealOr(s, ifd, kXPosition, 0);
  t.yPosition = RealOr(s, ifd, kYPosition, 0);
  t.t4Options = UintOr(s, ifd, kT4Options, 0);
  t.t6Options = UintOr(s, ifd, kT6Options, 0);
  t.fillOrder = UintOr(s, ifd, kFillOrder, 1);
  t.jpegProc = UintOr(s, ifd, kJpegProc, 0);
  t.jpegInterchange = UintOr(s, ifd, kJpegInterchangeFormat, 0);
  t.jpegInterchangeLength = UintOr(s, ifd, kJpegInterchangeFormatLength, 0);
  t.extraSamples = UintOr(s, ifd, kExtraSamples, 0);
  t.sampleFormat = UintOr(s, ifd, kSampleFormat, 1);
  if (const TLxIfdEntry* e = ifd.Find(kYCbCrSubSampling)) {
    t.subH = s.Uint(*e, 0).value_or(2);
    t.subV = s.Uint(*e, 1).value_or(2);
    if (t.subH == 0) t.subH = 2;
    if (t.subV == 0) t.subV = 2;
  }
  if (const TLxIfdEntry* e = ifd.Find(kSoftware)) t.software = s.Ascii(*e);
  t.stripOffsets = ifd.Find(kStripOffsets);
  t.stripCounts = ifd.Find(kStripByteCounts);
  t.tileOffsets = ifd.Find(kTileOffsets);
  t.tileCounts = ifd.Find(kTileByteCounts);
  t.jpegTables = ifd.Find(kJpegTables);
  t.colorMap = ifd.Find(kColorMap);
}

TLxTiffCompression CompressionField(const Tags& t) {
  switch (t.compression) {
    case kCompNone:
      return tcNone;
    case kCompCcittRle:
      return tcCcittRle;
    case kCompCcittFax3:
      return (t.t4Options & 1) ? tcG3Fax2D : tcG3Fax1D;
    case kCompCcittFax4:
      return tcG4Fax;
    case kCompLzw:
      return tcLzw;
    case kCompOldJpeg:
      return tcOldJpeg;
    case kCompJpeg:
      return tcJpeg;
    case kCompPackBits:
      return tcPackBits;
    case kCompDeflate:
      return tcDeflate;
    case kCompAdobeDeflate:
      return tcAdobeDeflate;
    default:
      return tcUnknown;
  }
}

bool IsCcitt(uint32_t c) {
  return c == kCompCcittRle || c == kCompCcittFax3 || c == kCompCcittFax4;
}

// ---------------------------------------------------------------- metadata

void ReadMetadata(TLxTiffStructure& s, const TLxIfd& ifd, const Tags& t, TIOParamsVals& params) {
  params.TiffCompression = CompressionField(t);
  if (t.photometric <= 6)
    params.TiffPhotometric = TLxTiffPhotometric(t.photometric);
  else if (t.photometric == 8)
    params.TiffPhotometric = tpLab;
  params.TiffPlanarConfig = int32_t(t.planar);
  params.TiffFillOrder = int32_t(t.fillOrder);
  params.SetOrientation(int32_t(t.orientation));
  params.TiffByteOrder = s.BigEndian() ? 0 : 1;
  params.Width = int32_t(std::min<uint32_t>(t.width, INT32_MAX));
  params.Height = int32_t(std::min<uint32_t>(t.height, INT32_MAX));
  params.BitsPerSample = int32_t(std::min<uint32_t>(t.bits, INT32_MAX));
  params.SamplesPerPixel = int32_t(std::min<uint32_t>(t.samples, INT32_MAX));

  const double f = t.resolutionUnit == 3 ? 2.54 : 1.0;
  const double dx = t.xResolution * f, dy = t.yResolution * f;
  params.SetDpiX(std::isfinite(dx) && dx >= 0.5 && dx < 1e9 ? dx : double(DefaultDPI));
  params.SetDpiY(std::isfinite(dy) && dy >= 0.5 && dy < 1e9 ? dy : double(DefaultDPI));
  auto position = [f](double v) {
    const double p = std::trunc(v * f);
    return std::isfinite(p) && std::fabs(p) < 2e9 ? int32_t(p) : 0;
  };
  params.TiffXPos = position(t.xPosition);
  params.TiffYPos = position(t.yPosition);

  auto text = [&](uint16_t tag) {
    const TLxIfdEntry* e = ifd.Find(tag);
    return e ? s.Ascii(*e) : std::string();
  };
  params.TiffDocumentName = text(kDocumentName);
  params.TiffImageDescription = text(kImageDescription);
  params.TiffPageName = text(kPageName);
  if (const TLxIfdEntry* e = ifd.Find(kPageNumber)) {
    params.TiffPageNumber = int32_t(s.Uint(*e, 0).value_or(0) & 0xFFFF);
    params.TiffPageCount = int32_t(s.Uint(*e, 1).value_or(0) & 0xFFFF);
  } else {
    params.TiffPageNumber = 0;
    params.TiffPageCount = 0;
  }

  // Colour map: 2^bits entries of red, then green, then blue; missing entries stay black.
  params.FreeColorMap();
  if (t.colorMap && t.bits >= 1 && t.bits <= 8) {
    const uint32_t n = 1u << t.bits;
    std::vector<uint32_t> v = s.UintArray(*t.colorMap, 3 * n);
    v.resize(size_t(3) * n, 0);
    const bool wide = std::any_of(v.begin(), v.end(), [](uint32_t x) { return x > 255; });
    auto c = [&](uint32_t x) { return uint8_t(wide ? (x >> 8) & 0xFF : x); };
    std::vector<TRGB> map(n);
    for (uint32_t i = 0; i < n; ++i) map[i] = CreateRGB(c(v[i]), c(v[n + i]), c(v[2 * n + i]));
    params.SetColorMap(map.data(), int32_t(n));
  }

  params.IPTC_Info.Clear();
  if (const TLxIfdEntry* e = ifd.Find(kIptc)) {
    std::vector<uint8_t> b = s.Block(*e);
    if (!b.empty()) params.IPTC_Info.LoadFromBuffer(b.data(), int64_t(b.size()));
  }
  params.XMP_Info.clear();
  if (const TLxIfdEntry* e = ifd.Find(kXmp); e && (e->Type == ttByte || e->Type == ttUndefined)) {
    std::vector<uint8_t> b = s.Block(*e);
    params.XMP_Info.assign(b.begin(), b.end());
  }
  if (const TLxIfdEntry* e = ifd.Find(kIccProfile)) {
    std::vector<uint8_t> b = s.Block(*e);
    if (!b.empty()) params.InputICCProfile().LoadFromBuffer(std::move(b));
  }
  params.TiffAnnotations.clear();
  if (const TLxIfdEntry* e = ifd.Find(kAnnotations)) params.TiffAnnotations = s.Block(*e);
  ReadExifDirectories(s, ifd, params);
}

// ---------------------------------------------------------------- layout

// How decoded samples become pixels.
enum class Kind : uint8_t {
  Bilevel,       // 1 sample of 1 bit into lx1g
  GrayByte,      // gray (and gray + alpha) into lx8g or lx24RGB
  Gray16,        // 16-bit gray into lx16g or lx24RGB
  PaletteIndex,  // indexes into lx8p
  PaletteRgb,    // colour map entries into lx24RGB (alpha from a second sample)
  Rgb8,          // 8-bit RGB(A)
  Rgb16,         // 16-bit RGB(A) into lxRGB48 or lx24RGB
  Rgb555,        // one 16-bit sample of 5-5-5 RGB
  Cmyk,          // 8- or 16-bit CMYK into lxCMYK or lx24RGB
  Lab,           // 8-bit CIE L*a*b*
  YCbCr,         // 8-bit YCbCr, subsampled or not
  Jpeg,          // decoded by the JPEG reader
};

struct Layout {
  Kind kind = Kind::Rgb8;
  PixelFormat pf = lx24RGB;
  TLxFailure fault = TLxFailure::None;
  const char* why = "";
};

Layout Refuse(const char* why) {
  Layout l;
  l.fault = TLxFailure::Unsupported;
  l.why = why;
  return l;
}

Layout ChooseLayout(const Tags& t, bool native) {
  const uint32_t spp = t.samples, bps = t.bits, ph = t.photometric;
  if (t.sampleFormat == 3) return Refuse("floating-point samples");
  if (spp == 0) return Refuse("no samples");
  if (spp > kMaxSamples) return Refuse("too many samples per pixel");
  if (bps == 0 || bps > 16) return Refuse("unsupported bits per sample");
  if (t.predictor == 3) return Refuse("floating-point predictor");
  Layout l;
  if (t.compression == kCompJpeg) {
    l.kind = Kind::Jpeg;
    if (native && (ph == 0 || ph == 1) && spp == 1)
      l.pf = lx8g;
    else if (native && ph == 5 && spp >= 4)
      l.pf = lxCMYK;
    return l;
  }
  if (IsCcitt(t.compression) && !(spp == 1 && bps == 1))
    return Refuse("fax compression of more than one bit");
  if (t.predictor == 2 && (t.compression == kCompLzw || t.compression == kCompDeflate ||
                           t.compression == kCompAdobeDeflate)) {
    if (bps != 8 && bps != 16) return Refuse("predictor on samples of neither 8 nor 16 bits");
  }
  switch (ph) {
    case 0:
    case 1:
      if (spp == 1 && bps == 1) {
        l.kind = Kind::Bilevel, l.pf = lx1g;
      } else if (spp == 1 && bps <= 8) {
        l.kind = Kind::GrayByte, l.pf = native && bps == 8 ? lx8g : lx24RGB;
      } else if (spp == 2 && bps == 8) {
        l.kind = Kind::GrayByte, l.pf = lx24RGB;
      } else if (spp == 1 && bps > 8) {
        l.kind = Kind::Gray16, l.pf = native ? lx16g : lx24RGB;
      } else {
        return Refuse("unsupported gray layout");
      }
      return l;
    case 2:
      if (spp >= 3 && bps == 8) {
        l.kind = Kind::Rgb8;
      } else if (spp >= 3 && bps == 16) {
        l.kind = Kind::Rgb16, l.pf = native && spp == 3 ? lxRGB48 : lx24RGB;
      } else if (spp == 1 && bps == 16) {
        l.kind = Kind::Rgb555;
      } else {
        return Refuse("unsupported RGB layout");
      }
      return l;
    case 3:
      if (bps > 8) return Refuse("palette of more than 8 bits");
      if (spp == 1) {
        l.kind = native ? Kind::PaletteIndex : Kind::PaletteRgb;
        l.pf = native ? lx8p : lx24RGB;
      } else if (spp == 2 && bps == 8) {
        l.kind = Kind::PaletteRgb;
      } else {
        return Refuse("unsupported palette layout");
      }
      return l;
    case 5:
      if (spp >= 4 && (bps == 8 || (bps == 16 && spp == 4))) {
        l.kind = Kind::Cmyk, l.pf = native ? lxCMYK : lx24RGB;
        return l;
      }
      return Refuse("unsupported separated layout");
    case 6:
      if (spp == 3 && bps == 8) {
        const bool plain = t.subH == 1 && t.subV == 1;
        const bool sub = (t.subH == 2 && (t.subV == 1 || t.subV == 2));
        if (!plain && !sub) return Refuse("unsupported YCbCr subsampling");
        if (!plain && t.planar == 2) return Refuse("subsampled YCbCr in separate planes");
        l.kind = Kind::YCbCr;
        return l;
      }
      return Refuse("unsupported YCbCr layout");
    case 8:
      if (spp == 3 && bps == 8) {
        l.kind = Kind::Lab;
        return l;
      }
      return Refuse("unsupported L*a*b* layout");
    default:
      return Refuse("unsupported photometric interpretation");
  }
}

// ---------------------------------------------------------------- row decoders

// Delivers the coded rows of one plane of a strip or tile, one per call.
class RowDecoder {
 public:
  RowDecoder(const Tags& t, TTiffLzwDecoderHook lzw, uint32_t ccittWidth)
      : compression_(t.compression), lzw_(lzw) {
    if (IsCcitt(t.compression)) {
      TLxCcittScheme scheme = TLxCcittScheme::Group4;
      if (t.compression == kCompCcittRle)
        scheme = TLxCcittScheme::ModifiedHuffman;
      else if (t.compression == kCompCcittFax3)
        scheme = (t.t4Options & 1) ? TLxCcittScheme::Group3TwoD : TLxCcittScheme::Group3OneD;
      ccitt_ = std::make_unique<TLxCcittDecoder>(scheme, ccittWidth, int(t.fillOrder),
                                                 (t.t4Options & 4) != 0);
    }
  }
  ~RowDecoder() { End(); }
  RowDecoder(const RowDecoder&) = delete;
  RowDecoder& operator=(const RowDecoder&) = delete;

  void Begin(std::span<const uint8_t> data) {
    End();
    data_ = data;
    pos_ = 0;
    if (ccitt_) ccitt_->Begin(data);
    if (compression_ == kCompDeflate || compression_ == kCompAdobeDeflate) {
      zs_ = z_stream{};
      zs_.next_in = const_cast<Bytef*>(data.data());
      zs_.avail_in = uInt(std::min<size_t>(data.size(), UINT32_MAX));
      zOpen_ = inflateInit(&zs_) == Z_OK;
      zDone_ = false;
    }
  }

  void End() {
    if (zOpen_) inflateEnd(&zs_);
    zOpen_ = false;
    if (lzwState_) lzw_({}, {}, lzwState_);
    lzwState_.reset();
  }

  // The next row into row (all of it written: what could not be decoded is 0).
  TLxFailure Next(std::span<uint8_t> row) {
    switch (compression_) {
      case kCompNone: {
        const size_t have = pos_ < data_.size() ? std::min(row.size(), data_.size() - pos_) : 0;
        if (have) std::memcpy(row.data(), data_.data() + pos_, have);
        if (have < row.size()) std::memset(row.data() + have, 0, row.size() - have);
        pos_ += row.size();
        return have == row.size() ? TLxFailure::None : TLxFailure::Truncated;
      }
      case kCompPackBits: {
        TLxPackBitsResult r = DecodePackBits(data_.subspan(std::min(pos_, data_.size())), row);
        pos_ += r.Consumed;
        return r.Complete ? TLxFailure::None : TLxFailure::Truncated;
      }
      case kCompLzw:
        return lzw_(data_, row, lzwState_);
      case kCompDeflate:
      case kCompAdobeDeflate:
        return Inflate(row);
      default:
        if (ccitt_) {
          // Rows come out white-is-one, one bit per pixel.
          return ccitt_->DecodeRow(row) == TLxCcittRowEnd::EndOfData ? TLxFailure::Truncated
                                                                     : TLxFailure::None;
        }
        std::memset(row.data(), 0, row.size());
        return TLxFailure::Unsupported;
    }
  }

 private:
  TLxFailure Inflate(std::span<uint8_t> row) {
    std::memset(row.data(), 0, row.size());
    if (!zOpen_) return TLxFailure::BadData;
    zs_.next_out = row.data();
    zs_.avail_out = uInt(row.size());
    while (zs_.avail_out > 0 && !zDone_) {
      const uInt before = zs_.avail_out;
      const uInt inBefore = zs_.avail_in;
      const int rc = inflate(&zs_, Z_NO_FLUSH);
      if (rc == Z_STREAM_END) {
        zDone_ = true;
      } else if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_MEM_ERROR) {
        zDone_ = true;
        return TLxFailure::BadData;
      } else if (rc == Z_BUF_ERROR || (zs_.avail_out == before && zs_.avail_in == inBefore)) {
        zDone_ = true;  // no input left
      }
    }
    return zs_.avail_out == 0 ? TLxFailure::None : TLxFailure::Truncated;
  }

  uint32_t compression_;
  TTiffLzwDecoderHook lzw_;
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  std::unique_ptr<TLxLzwHookState> lzwState_;
  std::unique_ptr<TLxCcittDecoder> ccitt_;
  z_stream zs_{};
  bool zOpen_ = false;
  bool zDone_ = false;
};

// ---------------------------------------------------------------- the reader

class TiffReader {
 public:
  TiffReader(TLxTiffStructure& s, const Tags& t, TLxBitmap& bitmap, TIOParamsVals& params,
             ProgressRecord& progress, TLxMask* mask)
      : s_(s), t_(t), bitmap_(bitmap), params_(params), progress_(progress), mask_(mask) {}

  void Read(const Layout& layout, TTiffLzwDecoderHook lzw);

 private:
  struct Block {
    uint32_t x0 = 0, y0 = 0;  // where the block starts in the image
    uint32_t rows = 0;        // rows of the block inside the image
    uint32_t width = 0;       // pixels of the block inside the image
  };

  bool Geometry();
  bool ReadBlockData(uint32_t index, bool lastOfPlane, std::vector<uint8_t>& out,
                     TLxFailure& fault);
  void DecodeBlocks(TTiffLzwDecoderHook lzw);
  void DecodeJpegBlocks();
  void PrepareRow(uint8_t* row, size_t samples, uint32_t stride);
  void Emit(const uint8_t* coded, uint32_t y, const Block& b);
  void EmitPixels(const uint8_t* pix, uint32_t y, uint32_t x0, uint32_t w, uint8_t* alpha);

  TLxTiffStructure& s_;
  const Tags& t_;
  TLxBitmap& bitmap_;
  TIOParamsVals& params_;
  ProgressRecord& progress_;
  TLxMask* mask_;
  Layout layout_;

  // Geometry.
  bool tiled_ = false;
  uint32_t blockW_ = 0, blockH_ = 0;  // strip: width x rows per strip; tile: its size
  uint32_t across_ = 1, down_ = 1;    // blocks per row and column of blocks
  uint32_t planes_ = 1;               // separate planes
  uint32_t planeSamples_ = 1;         // samples per pixel in one plane
  uint32_t subH_ = 1, subV_ = 1;      // YCbCr data units
  size_t codedRowBytes_ = 0;          // one coded row of one plane
  std::vector<uint32_t> offsets_, counts_;
  bool haveCounts_ = false;
  // Working rows.
  std::vector<uint8_t> pix_;  // one row of pixels, samples unpacked to bytes or 16-bit words
  std::vector<uint8_t> alphaRow_;
  std::vector<uint8_t> work_;
  TRGB palette_[256] = {};
  bool molli_ = false;
};

bool TiffReader::Geometry() {
  const Tags& t = t_;
  const uint32_t W = t.width, H = t.height;
  tiled_ = t.tileWidth >= 0 || t.tileLength >= 0;
  planes_ = t.planar == 2 && t.samples > 1 ? t.samples : 1;
  planeSamples_ = planes_ == 1 ? t.samples : 1;
  if (layout_.kind == Kind::YCbCr && !(t.subH == 1 && t.subV == 1) && t.compression != kCompJpeg) {
    subH_ = t.subH;
    subV_ = t.subV;
  }
  if (tiled_) {
    if (t.tileWidth <= 0 || t.tileLength <= 0) {
      progress_.Fail(TLxFailure::BadHeader, "tile width or length of 0");
      return false;
    }
    blockW_ = uint32_t(t.tileWidth);
    blockH_ = uint32_t(t.tileLength);
    if (blockW_ > std::max<uint64_t>(2 * uint64_t(W), kMaxTileSide) ||
        blockH_ > std::max<uint64_t>(2 * uint64_t(H), kMaxTileSide)) {
      progress_.Fail(TLxFailure::TooLarge, "tiles far larger than the image");
      return false;
    }
    uint64_t tilePixels = uint64_t(blockW_) * blockH_;
    uint64_t tileBytes = 0;
    const bool sane = checked_mul(tilePixels, uint64_t(t.samples) * t.bits, tileBytes) &&
                      tileBytes / 8 <= kMaxImageBytes;
    const uint64_t bigW = uint64_t(W) + blockW_, bigH = uint64_t(H) + blockH_;
    if (!sane || !progress_.PixelsAllowed(blockW_, blockH_) ||
        !progress_.PixelsAllowed(bigW, bigH) || bigW * bigH / 8 > kMaxImageBytes) {
      progress_.Fail(TLxFailure::TooLarge, "tiles too large");
      return false;
    }
    across_ = uint32_t((uint64_t(W) + blockW_ - 1) / blockW_);
    down_ = uint32_t((uint64_t(H) + blockH_ - 1) / blockH_);
  } else {
    blockW_ = W;
    blockH_ = t.rowsPerStrip == 0 || t.rowsPerStrip > H ? H : t.rowsPerStrip;
    across_ = 1;
    down_ = uint32_t((uint64_t(H) + blockH_ - 1) / blockH_);
  }
  uint64_t rowBits = 0;
  if (subH_ > 1 || subV_ > 1) {
    const uint64_t units = (uint64_t(blockW_) + subH_ - 1) / subH_;
    rowBits = units * (subH_ * subV_ + 2) * 8;
  } else if (!checked_mul(uint64_t(blockW_), uint64_t(planeSamples_) * t.bits, rowBits)) {
    rowBits = UINT64_MAX;
  }
  const uint64_t rowBytes = rowBits / 8 + (rowBits % 8 ? 1 : 0);
  if (rowBytes == 0 || rowBytes > kMaxRowBytes) {
    progress_.Fail(TLxFailure::TooLarge, "rows too long");
    return false;
  }
  codedRowBytes_ = size_t(rowBytes);

  // Offsets and byte counts: exactly as many as there are blocks (fewer when the file has
  // fewer), never more, so a huge count allocates nothing.
  const uint64_t blocks = uint64_t(across_) * down_ * planes_;
  const uint32_t want = uint32_t(std::min<uint64_t>(blocks, UINT32_MAX));
  const TLxIfdEntry* off = tiled_ && t.tileOffsets ? t.tileOffsets : t.stripOffsets;
  const TLxIfdEntry* cnt = tiled_ && t.tileOffsets ? t.tileCounts : t.stripCounts;
  if (off && planes_ > 1 && off->Count % planes_ != 0) {
    progress_.Fail(TLxFailure::Unsupported, off->Position,
                   "separate planes whose strips are not a multiple of the samples");
    return false;
  }
  if (off) offsets_ = s_.UintArray(*off, want);
  if (cnt) counts_ = s_.UintArray(*cnt, want);
  haveCounts_ = cnt != nullptr;
  if (offsets_.empty()) {
    progress_.Fail(TLxFailure::Truncated, tiled_ ? "no tile offsets" : "no strip offsets");
    return false;
  }
  return true;
}

// Reads the bytes of block `index`; false (fault set) when they are not in the stream at all.
bool TiffReader::ReadBlockData(uint32_t index, bool lastOfPlane, std::vector<uint8_t>& out,
                               TLxFailure& fault) {
  out.clear();
  if (index >= offsets_.size()) {
    fault = TLxFailure::Truncated;
    return false;
  }
  const int64_t size = s_.StreamSize();
  const int64_t at = s_.Base() + int64_t(offsets_[index]);
  if (at >= size) {
    fault = TLxFailure::Truncated;
    return false;
  }
  const int64_t room = size - at;
  int64_t count = index < counts_.size() ? int64_t(counts_[index]) : 0;
  if (t_.compression == kCompNone) {
    // Too small counts of uncompressed data still cover their rows, as far as the data go.
    const uint64_t rows =
        tiled_ || !lastOfPlane ? blockH_ : t_.height - uint64_t(blockH_) * (down_ - 1);
    const uint64_t need = (rows + subV_ - 1) / subV_ * codedRowBytes_;
    count = std::max<int64_t>(count, int64_t(std::min<uint64_t>(need, uint64_t(INT64_MAX))));
  }
  if (count == 0 || count > room) count = room;
  // No coding of these rows takes more than a dozen times their raw size: a strip that
  // claims the rest of a large file (as every strip of a hostile file may) reads no more.
  const uint64_t codedRows =
      tiled_ || !lastOfPlane ? blockH_ : t_.height - uint64_t(blockH_) * (down_ - 1);
  const uint64_t cap = codedRows * codedRowBytes_ * 12 + 65536;
  if (uint64_t(count) > cap) count = int64_t(cap);
  out.resize(size_t(count));
  if (!s_.ReadAt(at, out.data(), out.size())) {
    out.clear();
    fault = TLxFailure::Truncated;
    return false;
  }
  return true;
}

// Byte order and predictor of one decoded row of one plane (samples values, stride samples
// from one pixel to the next).
void TiffReader::PrepareRow(uint8_t* row, size_t samples, uint32_t stride) {
  if (t_.bits == 16 && s_.BigEndian()) {
    for (size_t i = 0; i < samples; ++i) std::swap(row[2 * i], row[2 * i + 1]);
  }
  const bool predictor = t_.predictor == 2 && subH_ == 1 &&
                         (t_.compression == kCompLzw || t_.compression == kCompDeflate ||
                          t_.compression == kCompAdobeDeflate);
  if (!predictor) return;
  if (t_.bits == 8 && (stride == 3 || stride == 4)) {
    // The running sums kept in registers: no store has to be read back.
    uint8_t a = row[0], b = row[1], c = row[2], d = stride == 4 ? row[3] : 0;
    size_t i = stride;
    if (stride == 3) {
      for (; i + 3 <= samples; i += 3) {
        row[i] = a = uint8_t(a + row[i]);
        row[i + 1] = b = uint8_t(b + row[i + 1]);
        row[i + 2] = c = uint8_t(c + row[i + 2]);
      }
    } else {
      for (; i + 4 <= samples; i += 4) {
        row[i] = a = uint8_t(a + row[i]);
        row[i + 1] = b = uint8_t(b + row[i + 1]);
        row[i + 2] = c = uint8_t(c + row[i + 2]);
        row[i + 3] = d = uint8_t(d + row[i + 3]);
      }
    }
    for (; i < samples; ++i) row[i] = uint8_t(row[i] + row[i - stride]);
  } else if (t_.bits == 8) {
    uint8_t acc = row[0];
    if (stride == 1)
      for (size_t i = 1; i < samples; ++i) row[i] = acc = uint8_t(acc + row[i]);
    else
      for (size_t i = stride; i < samples; ++i) row[i] = uint8_t(row[i] + row[i - stride]);
  } else if (t_.bits == 16) {
    for (size_t i = stride; i < samples; ++i) {
      uint16_t a, b;
      std::memcpy(&a, row + 2 * i, 2);
      std::memcpy(&b, row + 2 * (i - stride), 2);
      a = uint16_t(a + b);
      std::memcpy(row + 2 * i, &a, 2);
    }
  }
}

// One coded row (all planes interleaved) into image row y (and, for subsampled YCbCr, the
// rows below it).
void TiffReader::Emit(const uint8_t* coded, uint32_t y, const Block& b) {
  const uint32_t w = b.width;
  if (layout_.kind == Kind::Bilevel) {
    const bool invert = t_.photometric == 0 ? !IsCcitt(t_.compression) : IsCcitt(t_.compression);
    uint8_t* row = bitmap_.ScanLine(int(y));
    if (b.x0 % 8 == 0) {
      const size_t n = (size_t(w) + 7) / 8;
      uint8_t* dst = row + b.x0 / 8;
      if (invert)
        for (size_t i = 0; i < n; ++i) dst[i] = uint8_t(~coded[i]);
      else
        std::memcpy(dst, coded, n);
    } else {
      for (uint32_t x = 0; x < w; ++x) {
        bool bit = (coded[x >> 3] >> (7 - (x & 7))) & 1;
        if (invert) bit = !bit;
        const uint32_t X = b.x0 + x;
        const uint8_t m = uint8_t(0x80 >> (X & 7));
        if (bit)
          row[X >> 3] |= m;
        else
          row[X >> 3] &= uint8_t(~m);
      }
    }
    return;
  }
  if (subH_ > 1 || subV_ > 1) {
    // Data units of subH x subV luma samples, then one Cb and one Cr.
    const uint32_t unit = subH_ * subV_ + 2;
    const uint32_t units = (w + subH_ - 1) / subH_;
    for (uint32_t j = 0; j < subV_; ++j) {
      const uint32_t yy = y + j;
      if (yy >= b.y0 + b.rows) break;
      uint8_t* row = bitmap_.ScanLine(int(yy)) + size_t(b.x0) * 3;
      for (uint32_t u = 0; u < units; ++u) {
        const uint8_t* d = coded + size_t(u) * unit;
        const int cb = d[subH_ * subV_], cr = d[subH_ * subV_ + 1];
        for (uint32_t i = 0; i < subH_; ++i) {
          const uint32_t x = u * subH_ + i;
          if (x >= w) break;
          const TRGB c = YCbCrToRgb(d[j * subH_ + i], cb, cr);
          row[3 * x] = c.b, row[3 * x + 1] = c.g, row[3 * x + 2] = c.r;
        }
      }
    }
    return;
  }
  const uint8_t* pix = coded;
  if (t_.bits < 8) {
    // One byte per sample, most significant bits first.
    const size_t n = size_t(w) * t_.samples;
    const uint32_t bits = t_.bits, maxv = (1u << bits) - 1;
    uint8_t* out = pix_.data();
    for (size_t i = 0; i < n; ++i) {
      const size_t bit = i * bits;
      const uint32_t word = uint32_t(coded[bit >> 3]) << 8 |
                            (((bit + bits - 1) >> 3) != (bit >> 3) ? coded[(bit >> 3) + 1] : 0);
      out[i] = uint8_t((word >> (16 - bits - (bit & 7))) & maxv);
    }
    pix = out;
  }
  if (t_.bits > 8 && t_.bits < 16) {
    // 9 to 15 bits: 16-bit words, the value's top bits repeated below it.
    const size_t n = size_t(w) * t_.samples;
    const uint32_t bits = t_.bits, maxv = (1u << bits) - 1;
    uint8_t* out = pix_.data();
    for (size_t i = 0; i < n; ++i) {
      const size_t bit = i * bits;
      const size_t at = bit >> 3;
      const uint32_t word = uint32_t(coded[at]) << 16 | uint32_t(coded[at + 1]) << 8 |
                            (((bit + bits - 1) >> 3) > at + 1 ? coded[at + 2] : 0);
      const uint32_t v = (word >> (24 - bits - (bit & 7))) & maxv;
      const uint16_t wide = uint16_t(v << (16 - bits) | v >> (2 * bits - 16));
      std::memcpy(out + 2 * i, &wide, 2);
    }
    pix = out;
  }
  uint8_t* alpha = mask_ ? mask_->ScanLine(int(y)) + b.x0 : nullptr;
  EmitPixels(pix, y, b.x0, w, alpha);
}

void TiffReader::EmitPixels(const uint8_t* s, uint32_t y, uint32_t x0, uint32_t w, uint8_t* alpha) {
  const uint32_t spp = t_.samples;
  const PixelFormat pf = bitmap_.PixelFormat();
  uint8_t* row = bitmap_.ScanLine(int(y));
  auto word = [s](size_t i) {
    uint16_t v;
    std::memcpy(&v, s + 2 * i, 2);
    return v;
  };
  switch (layout_.kind) {
    case Kind::GrayByte: {
      const uint32_t bits = t_.bits, maxv = (1u << bits) - 1;
      const bool invert = t_.photometric == 0;
      auto level = [&](uint8_t v) {
        uint32_t g = bits == 8 ? v : bits == 7 ? v * 2u : (v * 255u + maxv / 2) / maxv;
        return uint8_t(invert ? 255 - g : g);
      };
      if (pf == lx8g) {
        uint8_t* d = row + x0;
        if (!invert && spp == 1) {
          std::memcpy(d, s, w);
        } else {
          for (uint32_t x = 0; x < w; ++x) d[x] = level(s[size_t(x) * spp]);
        }
      } else {
        uint8_t* d = row + size_t(x0) * 3;
        for (uint32_t x = 0; x < w; ++x) {
          const uint8_t g = level(s[size_t(x) * spp]);
          d[3 * x] = d[3 * x + 1] = d[3 * x + 2] = g;
        }
      }
      if (alpha && spp == 2)
        for (uint32_t x = 0; x < w; ++x) alpha[x] = s[2 * size_t(x) + 1];
      break;
    }
    case Kind::Gray16: {
      const bool invert = t_.photometric == 0;
      if (pf == lx16g) {
        uint8_t* d = row + size_t(x0) * 2;
        for (uint32_t x = 0; x < w; ++x) {
          uint16_t v = word(x);
          if (invert) v = uint16_t(65535 - v);
          std::memcpy(d + 2 * x, &v, 2);
        }
      } else {
        uint8_t* d = row + size_t(x0) * 3;
        const int shift = molli_ ? 4 : 8;
        for (uint32_t x = 0; x < w; ++x) {
          uint16_t v = word(x);
          if (invert) v = uint16_t(65535 - v);
          const uint8_t g = uint8_t(std::min(v >> shift, 255));
          d[3 * x] = d[3 * x + 1] = d[3 * x + 2] = g;
        }
      }
      break;
    }
    case Kind::PaletteIndex:
      std::memcpy(row + x0, s, w);
      break;
    case Kind::PaletteRgb: {
      uint8_t* d = row + size_t(x0) * 3;
      for (uint32_t x = 0; x < w; ++x) {
        const TRGB& c = palette_[s[size_t(x) * spp]];
        d[3 * x] = c.b, d[3 * x + 1] = c.g, d[3 * x + 2] = c.r;
      }
      if (alpha && spp == 2)
        for (uint32_t x = 0; x < w; ++x) alpha[x] = uint8_t(255 - s[2 * size_t(x) + 1]);
      break;
    }
    case Kind::Rgb8: {
      uint8_t* d = row + size_t(x0) * 3;
      for (uint32_t x = 0; x < w; ++x) {
        const uint8_t* p = s + size_t(x) * spp;
        d[3 * x] = p[2], d[3 * x + 1] = p[1], d[3 * x + 2] = p[0];
      }
      if (alpha && spp >= 4)
        for (uint32_t x = 0; x < w; ++x) alpha[x] = s[size_t(x) * spp + 3];
      break;
    }
    case Kind::Rgb16: {
      if (pf == lxRGB48) {
        uint8_t* d = row + size_t(x0) * 6;
        for (uint32_t x = 0; x < w; ++x) std::memcpy(d + 6 * x, s + size_t(x) * spp * 2, 6);
      } else {
        uint8_t* d = row + size_t(x0) * 3;
        for (uint32_t x = 0; x < w; ++x) {
          const size_t i = size_t(x) * spp;
          d[3 * x] = uint8_t(word(i + 2) >> 8);
          d[3 * x + 1] = uint8_t(word(i + 1) >> 8);
          d[3 * x + 2] = uint8_t(word(i) >> 8);
        }
      }
      if (alpha && spp >= 4)
        for (uint32_t x = 0; x < w; ++x) alpha[x] = uint8_t(word(size_t(x) * spp + 3) >> 8);
      break;
    }
    case Kind::Rgb555: {
      uint8_t* d = row + size_t(x0) * 3;
      for (uint32_t x = 0; x < w; ++x) {
        const uint16_t v = word(x);
        d[3 * x] = uint8_t((v & 31) * 8);
        d[3 * x + 1] = uint8_t((v >> 5 & 31) * 8);
        d[3 * x + 2] = uint8_t((v >> 10 & 31) * 8);
      }
      break;
    }
    case Kind::Cmyk: {
      // lxCMYK keeps 255 minus each ink; the file stores the inks.
      uint8_t* d = pf == lxCMYK ? row + size_t(x0) * 4 : work_.data();
      for (uint32_t x = 0; x < w; ++x) {
        const size_t i = size_t(x) * spp;
        for (int k = 0; k < 4; ++k)
          d[4 * x + k] = uint8_t(255 - (t_.bits == 16 ? word(i + k) >> 8 : s[i + k]));
      }
      if (pf != lxCMYK) CmykRunToRgb(work_.data(), row + size_t(x0) * 3, int(w), 3);
      break;
    }
    case Kind::Lab: {
      uint8_t* d = row + size_t(x0) * 3;
      for (uint32_t x = 0; x < w; ++x) {
        const uint8_t* p = s + size_t(x) * 3;
        const TRGB c = LabToRgb(TCIELab{p[0], int8_t(p[1]), int8_t(p[2])});
        d[3 * x] = c.b, d[3 * x + 1] = c.g, d[3 * x + 2] = c.r;
      }
      break;
    }
    case Kind::YCbCr: {
      uint8_t* d = row + size_t(x0) * 3;
      for (uint32_t x = 0; x < w; ++x) {
        const uint8_t* p = s + size_t(x) * 3;
        const TRGB c = YCbCrToRgb(p[0], p[1], p[2]);
        d[3 * x] = c.b, d[3 * x + 1] = c.g, d[3 * x + 2] = c.r;
      }
      break;
    }
    case Kind::Bilevel:
    case Kind::Jpeg:
      break;
  }
}

void TiffReader::DecodeBlocks(TTiffLzwDecoderHook lzw) {
  const uint32_t W = t_.width, H = t_.height;
  // Fill order 2 reverses the bits of every byte of the coded data; the fax decoders read
  // such data in that order themselves.
  const bool reverse = t_.fillOrder == 2 && !IsCcitt(t_.compression);
  std::vector<std::unique_ptr<RowDecoder>> decoders;
  std::vector<std::vector<uint8_t>> data(planes_), rows(planes_);
  for (uint32_t p = 0; p < planes_; ++p) {
    decoders.push_back(std::make_unique<RowDecoder>(t_, lzw, blockW_));
    rows[p].resize(codedRowBytes_ + 8);
  }
  std::vector<uint8_t> joined(planes_ > 1 ? size_t(blockW_) * t_.samples * (t_.bits == 16 ? 2 : 1)
                                          : 0);
  const uint64_t perPlane = uint64_t(across_) * down_;
  const bool ccittSamples = IsCcitt(t_.compression) && layout_.kind != Kind::Bilevel;
  if (tiled_)
    progress_.BeginRows(int(std::min<uint64_t>(perPlane, INT32_MAX)));
  else
    progress_.BeginRows(int(H));
  for (uint32_t by = 0; by < down_; ++by) {
    for (uint32_t bx = 0; bx < across_; ++bx) {
      if (progress_.Aborting()) return;
      Block b;
      b.x0 = bx * blockW_;
      b.y0 = by * blockH_;
      b.rows = std::min(blockH_, H - b.y0);
      b.width = std::min(blockW_, W - b.x0);
      for (uint32_t p = 0; p < planes_; ++p) {
        const uint64_t index = p * perPlane + uint64_t(by) * across_ + bx;
        TLxFailure fault = TLxFailure::None;
        if (index > UINT32_MAX ||
            !ReadBlockData(uint32_t(index), by + 1 == down_, data[p], fault)) {
          progress_.Fail(TLxFailure::Truncated, tiled_ ? "missing tile" : "missing strip");
          return;
        }
        if (reverse) ReverseBitOrder(data[p]);
        decoders[p]->Begin(data[p]);
      }
      const uint32_t codedRows = (b.rows + subV_ - 1) / subV_;
      for (uint32_t r = 0; r < codedRows; ++r) {
        if (progress_.Aborting()) return;
        TLxFailure fault = TLxFailure::None;
        for (uint32_t p = 0; p < planes_; ++p) {
          std::span<uint8_t> row(rows[p].data(), codedRowBytes_);
          const TLxFailure f = decoders[p]->Next(row);
          if (fault == TLxFailure::None) fault = f;
          // Fax rows come out white-is-one; as samples (palette indexes) white is 0.
          if (ccittSamples)
            for (uint8_t& v : row) v = uint8_t(~v);
          PrepareRow(row.data(), size_t(blockW_) * planeSamples_, planeSamples_);
        }
        const uint8_t* coded = rows[0].data();
        if (planes_ > 1) {
          const size_t bytes = t_.bits == 16 ? 2 : 1;
          if (t_.bits < 8) {
            // Unpacked plane by plane: one byte per sample.
            const uint32_t bits = t_.bits, maxv = (1u << bits) - 1;
            for (uint32_t p = 0; p < planes_; ++p) {
              const uint8_t* src = rows[p].data();
              for (uint32_t x = 0; x < blockW_; ++x) {
                const size_t bit = size_t(x) * bits;
                const uint32_t wv =
                    uint32_t(src[bit >> 3]) << 8 |
                    (((bit + bits - 1) >> 3) != (bit >> 3) ? src[(bit >> 3) + 1] : 0);
                joined[size_t(x) * planes_ + p] = uint8_t((wv >> (16 - bits - (bit & 7))) & maxv);
              }
            }
          } else {
            for (uint32_t p = 0; p < planes_; ++p) {
              const uint8_t* src = rows[p].data();
              for (uint32_t x = 0; x < blockW_; ++x)
                std::memcpy(&joined[(size_t(x) * planes_ + p) * bytes], src + x * bytes, bytes);
            }
          }
          coded = joined.data();
        }
        const uint32_t y = b.y0 + r * subV_;
        if (planes_ > 1 && t_.bits < 8) {
          uint8_t* alpha = mask_ ? mask_->ScanLine(int(y)) + b.x0 : nullptr;
          EmitPixels(coded, y, b.x0, b.width, alpha);
        } else {
          Emit(coded, y, b);
        }
        if (!tiled_)
          for (uint32_t j = 0; j < subV_ && y + j < b.y0 + b.rows; ++j) progress_.RowDone();
        if (fault != TLxFailure::None) {
          const int64_t at =
              s_.Base() + int64_t(offsets_[std::min<size_t>(size_t(uint64_t(by) * across_ + bx),
                                                            offsets_.size() - 1)]);
          progress_.Fail(
              fault, at,
              fault == TLxFailure::Truncated ? "truncated pixel data" : "corrupt pixel data");
          return;
        }
      }
      for (uint32_t p = 0; p < planes_; ++p) decoders[p]->End();
      if (tiled_) progress_.RowDone();
    }
  }
}

// A JPEG stream's frame size, read from its header; false when the header cannot be read
// (the reason is in reason).
bool JpegFrameSize(TStream& js, TStream* tables, int32_t& w, int32_t& h, TLxJpegColorSpace& space,
                   TLxFailureReason& reason) {
  if (tables) tables->Seek(0, soBeginning);
  TIOParamsVals hp;
  TLxBitmap none;
  bool failed = false;
  ProgressRecord pr;
  pr.AbortingPtr = &failed;
  pr.ReasonPtr = &reason;
  TLxJpegReadOptions o;
  o.TablesStream = tables;
  o.ReadIccProfile = false;
  o.ReadMetadata = false;
  o.HeaderOnly = true;
  ReadJpegStream(js, none, hp, o, pr);
  js.Seek(0, soBeginning);
  if (tables) tables->Seek(0, soBeginning);
  w = hp.Width, h = hp.Height, space = hp.JpegColorSpace;
  return !failed;
}

// Decodes a JPEG stream into piece (layout pf); the reason of a failure in reason. Returns
// the rows decoded.
int32_t DecodeJpegPiece(TStream& js, TStream* tables, PixelFormat pf, bool rawRgb, int32_t rowLimit,
                        TLxBitmap& piece, TLxFailureReason& reason) {
  if (tables) tables->Seek(0, soBeginning);
  TIOParamsVals jp;
  jp.JpegDctMethod = 0;  // the accurate integer transform
  bool failed = false;
  ProgressRecord pr;
  pr.AbortingPtr = &failed;
  pr.ReasonPtr = &reason;
  TLxJpegReadOptions o;
  o.TablesStream = tables;
  o.NativeLayout = pf != lx24RGB;
  o.RowLimit = rowLimit;
  o.ReadIccProfile = false;
  o.InvertCmyk = true;
  o.ReadMetadata = false;
  o.RawYCbCr = rawRgb;
  const int32_t rows = ReadJpegStream(js, piece, jp, o, pr);
  if (piece.IsEmpty()) return 0;
  if (rawRgb && piece.PixelFormat() == lx24RGB) {
    // The components were stored as red, green, blue.
    for (int y = 0; y < piece.Height(); ++y) {
      uint8_t* p = piece.ScanLine(y);
      for (int x = 0; x < piece.Width(); ++x) std::swap(p[3 * x], p[3 * x + 2]);
    }
  }
  if (piece.PixelFormat() != pf) piece.SetPixelFormat(pf);
  return rows;
}

void TiffReader::DecodeJpegBlocks() {
  if (planes_ > 1) {
    progress_.Fail(TLxFailure::Unsupported, "JPEG in separate planes");
    return;
  }
  std::vector<uint8_t> tableBytes;
  if (t_.jpegTables) tableBytes = s_.Block(*t_.jpegTables);
  TLxMemStream tables(tableBytes.data(), int64_t(tableBytes.size()));
  TStream* tablesPtr = tableBytes.empty() ? nullptr : &tables;
  const uint32_t W = t_.width, H = t_.height;
  progress_.BeginRows(int(std::min<uint64_t>(uint64_t(across_) * down_, INT32_MAX)));
  std::vector<uint8_t> data;
  for (uint32_t by = 0; by < down_; ++by) {
    for (uint32_t bx = 0; bx < across_; ++bx) {
      if (progress_.Aborting()) return;
      const uint32_t x0 = bx * blockW_, y0 = by * blockH_;
      const uint32_t index = by * across_ + bx;
      TLxFailure fault = TLxFailure::None;
      if (!ReadBlockData(index, by + 1 == down_, data, fault)) {
        progress_.Fail(TLxFailure::Truncated, tiled_ ? "missing tile" : "missing strip");
        return;
      }
      const int64_t at = s_.Base() + int64_t(offsets_[index]);
      TLxMemStream js(data.data(), int64_t(data.size()));
      int32_t fw = 0, fh = 0;
      TLxJpegColorSpace space = jcYCbCr;
      TLxFailureReason reason;
      if (!JpegFrameSize(js, tablesPtr, fw, fh, space, reason)) {
        progress_.Fail(reason.Code == TLxFailure::None ? TLxFailure::BadData : reason.Code, at,
                       "bad JPEG data in a strip or tile");
        return;
      }
      if (fw <= 0 || fh <= 0 || uint32_t(fw) > blockW_ || uint32_t(fh) > blockH_) {
        progress_.Fail(TLxFailure::BadData, at, "JPEG frame larger than its strip or tile");
        return;
      }
      TLxBitmap piece;
      const bool raw = t_.photometric == 2 && space == jcYCbCr;
      DecodeJpegPiece(js, tablesPtr, bitmap_.PixelFormat(), raw, -1, piece, reason);
      if (!piece.IsEmpty())
        piece.CopyRectTo(bitmap_, 0, 0, std::min<int>(piece.Width(), int(W - x0)),
                         std::min<int>(piece.Height(), int(H - y0)), int(x0), int(y0));
      if (reason) {
        progress_.Fail(reason.Code, at, "bad JPEG data in a strip or tile");
        return;
      }
      progress_.RowDone();
    }
  }
}

void TiffReader::Read(const Layout& layout, TTiffLzwDecoderHook lzw) {
  layout_ = layout;
  molli_ = t_.software.compare(0, 15, "Look@Molli v1.1") == 0;
  if (!Geometry()) return;
  const int cm = std::min(params_.ColorMapCount, 256);
  for (int i = 0; i < cm; ++i) palette_[i] = params_.ColorMap[size_t(i)];
  if (bitmap_.PixelFormat() == lx8p) {
    for (int i = 0; i < 256; ++i) bitmap_.SetPaletteEntry(i, palette_[i]);
  }
  const size_t pixels = std::min(blockW_, t_.width);
  pix_.resize(pixels * t_.samples * 2 + 16);
  work_.resize(pixels * 4 + 16);
  if (layout_.kind == Kind::Jpeg)
    DecodeJpegBlocks();
  else
    DecodeBlocks(lzw);
}

// ---------------------------------------------------------------- old-style JPEG

void ReadOldJpeg(TLxTiffStructure& s, const Tags& t, TLxBitmap& bitmap, ProgressRecord& progress) {
  const int64_t size = s.StreamSize(), base = s.Base();
  const uint32_t W = t.width, H = t.height;
  // Frames may be rounded up to whole 16-pixel blocks.
  auto frameFits = [&](int32_t fw, int32_t fh) {
    return fw > 0 && fh > 0 && uint64_t(fw) <= (uint64_t(W) + 15) / 16 * 16 &&
           uint64_t(fh) <= (uint64_t(H) + 15) / 16 * 16;
  };
  std::vector<uint32_t> offsets, counts;
  const uint32_t rps = t.rowsPerStrip == 0 || t.rowsPerStrip > H ? H : t.rowsPerStrip;
  const uint32_t strips = uint32_t((uint64_t(H) + rps - 1) / rps);
  if (t.stripOffsets) offsets = s.UintArray(*t.stripOffsets, strips);
  if (t.stripCounts) counts = s.UintArray(*t.stripCounts, strips);
  auto bytesAt = [&](int64_t at, int64_t n, std::vector<uint8_t>& out) {
    if (at < 0 || at >= size || n <= 0) return;
    n = std::min(n, size - at);
    const size_t old = out.size();
    out.resize(old + size_t(n));
    if (!s.ReadAt(at, out.data() + old, size_t(n))) out.resize(old);
  };
  if (t.stripCounts && !offsets.empty()) {
    // Header bytes, then for later strips the first marker segment of the first strip, then
    // the strip itself.
    std::vector<uint8_t> head;
    if (t.jpegInterchange != 0 && t.jpegInterchangeLength > 0)
      bytesAt(base + t.jpegInterchange, t.jpegInterchangeLength, head);
    std::vector<uint8_t> firstSegment;
    {
      uint8_t m[4];
      const int64_t at = base + offsets[0];
      if (s.ReadAt(at, m, 4)) bytesAt(at, 2 + int64_t(LoadU16BE(m + 2)), firstSegment);
    }
    progress.BeginRows(int(strips));
    for (uint32_t i = 0; i < strips && i < offsets.size(); ++i) {
      if (progress.Aborting()) return;
      std::vector<uint8_t> js = head;
      if (i > 0) js.insert(js.end(), firstSegment.begin(), firstSegment.end());
      bytesAt(base + offsets[i], i < counts.size() ? counts[i] : 0, js);
      TLxMemStream m(js.data(), int64_t(js.size()));
      int32_t fw = 0, fh = 0;
      TLxJpegColorSpace space;
      TLxFailureReason reason;
      if (!JpegFrameSize(m, nullptr, fw, fh, space, reason) || !frameFits(fw, fh)) {
        progress.Fail(reason ? reason.Code : TLxFailure::BadData, base + offsets[i],
                      "bad old-style JPEG strip");
        return;
      }
      TLxBitmap piece;
      const int32_t rows = DecodeJpegPiece(m, nullptr, lx24RGB, false, int32_t(rps), piece, reason);
      // Strips of these files often end a little early: more than half is good enough.
      if (reason && rows * 2 <= int32_t(rps)) {
        progress.Fail(reason.Code, base + offsets[i], "bad old-style JPEG strip");
        return;
      }
      if (!piece.IsEmpty())
        piece.CopyRectTo(bitmap, 0, 0, std::min<int>(piece.Width(), int(W)),
                         std::min<int>({piece.Height(), rows, int(H - i * rps)}), 0, int(i * rps));
      progress.RowDone();
    }
    return;
  }
  int64_t start = t.jpegInterchange;
  if (start == 0 && !offsets.empty()) start = offsets[0];
  start += base;
  if (start <= 0 || start >= size) {
    progress.Fail(TLxFailure::Truncated, "no old-style JPEG data");
    return;
  }
  TLxStreamWindow window(s.Stream(), start, size - start);
  window.Seek(0, soBeginning);
  const int64_t length = JpegStreamLength(window);
  TLxStreamWindow js(s.Stream(), start, std::max<int64_t>(length, 0));
  int32_t fw = 0, fh = 0;
  TLxJpegColorSpace space;
  TLxFailureReason reason;
  if (!JpegFrameSize(js, nullptr, fw, fh, space, reason)) {
    progress.Fail(reason.Code == TLxFailure::None ? TLxFailure::BadData : reason.Code, start,
                  "bad old-style JPEG data");
    return;
  }
  if (!frameFits(fw, fh)) {
    progress.Fail(TLxFailure::BadData, start, "JPEG frame larger than the image");
    return;
  }
  TLxBitmap piece;
  DecodeJpegPiece(js, nullptr, lx24RGB, false, -1, piece, reason);
  if (!piece.IsEmpty())
    piece.CopyRectTo(bitmap, 0, 0, std::min<int>(piece.Width(), int(W)),
                     std::min<int>(piece.Height(), int(H)), 0, 0);
  if (reason) progress.Fail(reason.Code, start, "bad old-style JPEG data");
}

// The least bytes the pixels of an image can be stored in, for the size check.
uint64_t LeastBytes(const Tags& t) {
  const uint64_t raw = (uint64_t(t.width) * t.samples * t.bits + 7) / 8 * t.height;
  switch (t.compression) {
    case kCompNone:
      return raw;
    case kCompPackBits:
      return raw / 64;
    case kCompCcittRle:
    case kCompCcittFax3:
    case kCompCcittFax4:
      return t.height / 8;
    case kCompJpeg:
    case kCompOldJpeg:
      return uint64_t(t.width) * t.height / 512;
    default:
      return raw / 4096;
  }
}

}  // namespace

void ReadTiffStream(TLxBitmap& bitmap, TStream& stream, int32_t& imageCount, bool isThumbnail,
                    bool noAlpha, bool relativeOffsets, std::unique_ptr<TLxMask>& mask,
                    bool headerOnly, ProgressRecord& progress, TIOParamsVals& params) {
  imageCount = 0;
  const int64_t base = relativeOffsets ? stream.Position() : 0;
  TLxTiffStructure s(stream, base);
  if (!s.ReadHeader()) {
    progress.Fail(TLxFailure::BadSignature, base, "not a TIFF byte order mark");
    return;
  }
  params.TiffByteOrder = s.BigEndian() ? 0 : 1;
  const std::vector<uint32_t> chain = s.WalkChain(s.FirstIfd());
  imageCount = int32_t(chain.size());
  params.SetImageCount(imageCount);
  const int32_t index = params.TiffImageIndex;
  if (index < 0 || size_t(index) >= chain.size()) return;

  TLxIfd ifd;
  if (!s.ReadIfd(chain[size_t(index)], ifd)) return;
  if (params.TiffSubIndex >= 0) {
    if (const TLxIfdEntry* e = ifd.Find(kSubIfds)) {
      const std::optional<uint32_t> sub = s.Uint(*e, uint32_t(params.TiffSubIndex));
      // A sub-directory must be a directory of its own, not one of the chain again.
      if (sub && *sub >= 8 && std::find(chain.begin(), chain.end(), *sub) == chain.end()) {
        TLxIfd subIfd;
        if (s.ReadIfd(*sub, subIfd)) ifd = std::move(subIfd);
      }
    }
  }

  Tags t;
  ReadTags(s, ifd, t);
  if (t.bitsDiffer) {
    progress.Fail(TLxFailure::Unsupported, ifd.Position, "bits per sample differ between samples");
    return;
  }
  if (t.samples == 1 && t.bits == 1 && t.compression >= 1 && t.compression <= 4 &&
      t.photometric == 2)
    t.photometric = 0;
  ReadMetadata(s, ifd, t, params);

  if (isThumbnail && (t.width == 0 || t.height == 0) && t.jpegInterchange != 0 &&
      int64_t(t.jpegInterchange) < s.StreamSize() - base) {
    // EXIF thumbnails give their size only in their JPEG frame.
    const int64_t at = base + t.jpegInterchange;
    const int64_t room = s.StreamSize() - at;
    TLxStreamWindow js(
        stream, at,
        t.jpegInterchangeLength > 0 ? std::min<int64_t>(t.jpegInterchangeLength, room) : room);
    js.Seek(0, soBeginning);
    int32_t fw = 0, fh = 0;
    TLxJpegColorSpace space;
    TLxFailureReason reason;
    if (JpegFrameSize(js, nullptr, fw, fh, space, reason) && fw > 0 && fh > 0) {
      t.width = uint32_t(fw);
      t.height = uint32_t(fh);
    }
  }
  if ((t.width == 0 || t.height == 0) && !isThumbnail) {
    progress.Fail(TLxFailure::BadHeader, ifd.Position, "image of no pixels");
    return;
  }
  TTiffLzwDecoderHook lzw = params.TiffLzwDecoderHook;
  if (t.compression == kCompLzw) {
    if (!lzw) lzw = DefaultTiffLzwDecoderHook;
    if (!lzw) {
      progress.Fail(TLxFailure::Unsupported, "no LZW decoder");
      return;
    }
  }
  if (headerOnly) return;
  if (t.width == 0 || t.height == 0) {
    progress.Fail(TLxFailure::BadHeader, ifd.Position, "image of no pixels");
    return;
  }
  if (isThumbnail && (t.width > kMaxThumbnailSide || t.height > kMaxThumbnailSide)) {
    progress.Fail(TLxFailure::TooLarge, ifd.Position, "thumbnail too large");
    return;
  }

  const bool oldJpeg =
      (t.compression == kCompOldJpeg || (t.jpegInterchange != 0 && t.compression != kCompLzw)) &&
      t.jpegProc < 2;
  Layout layout;
  if (oldJpeg) {
    if (t.planar == 2 && t.samples > 1) {
      progress.Fail(TLxFailure::Unsupported, ifd.Position, "old-style JPEG in separate planes");
      return;
    }
  } else {
    layout = ChooseLayout(t, params.IsNativePixelFormat);
    if (layout.fault != TLxFailure::None) {
      progress.Fail(layout.fault, ifd.Position, layout.why);
      return;
    }
    if (t.compression != kCompNone && t.compression != kCompPackBits && t.compression != kCompLzw &&
        t.compression != kCompDeflate && t.compression != kCompAdobeDeflate &&
        !IsCcitt(t.compression) && t.compression != kCompJpeg) {
      progress.Fail(TLxFailure::Unsupported, ifd.Position, "unsupported compression");
      return;
    }
  }
  const PixelFormat pf = oldJpeg ? lx24RGB : layout.pf;
  if (!progress.PixelsAllowed(t.width, t.height) ||
      CheckImageSize(t.width, t.height, pf, LeastBytes(t), s.StreamSize() - base) !=
          TLxFailure::None) {
    progress.Fail(TLxFailure::TooLarge, ifd.Position, "image too large");
    return;
  }

  const bool wantMask =
      !noAlpha && ((t.samples == 4 && t.extraSamples == 2) || (t.samples == 2 && t.bits == 8) ||
                   (t.samples == 4 && t.photometric == 2));
  bitmap.ReallocPending = true;
  if (!bitmap.Allocate(int(t.width), int(t.height), pf)) {
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the image");
    return;
  }
  if (isThumbnail) bitmap.Fill(0);
  mask.reset();
  if (wantMask && !oldJpeg && layout.kind != Kind::Jpeg) {
    mask = std::make_unique<TLxMask>();
    if (!mask->Allocate(int(t.width), int(t.height), 8)) {
      mask.reset();
      progress.Fail(TLxFailure::OutOfMemory, "no memory for the alpha channel");
      return;
    }
    mask->Fill(255);
  }

  if (oldJpeg) {
    ReadOldJpeg(s, t, bitmap, progress);
  } else {
    TiffReader reader(s, t, bitmap, params, progress, mask.get());
    reader.Read(layout, lzw);
  }
  if (mask) {
    mask->AllOpaque = false;
    mask->RecomputeBounds();
  }
  if (params.TiffAutoOrient && t.orientation >= 2 && t.orientation <= 8 && !bitmap.IsEmpty()) {
    // The alpha channel turns with the image.
    if (mask) {
      bitmap.AlphaChannel()->CopyFromMask(mask.get());
      mask.reset();
    }
    AutoOrient(bitmap, int(t.orientation));
    // The pixels are upright now: a re-save must not turn them a second time.
    params.SetOrientation(1);
  }
}

}  // namespace lumenax
