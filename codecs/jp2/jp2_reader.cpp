// JPEG 2000 reader: JP2 files and bare code streams through OpenJPEG, into lx24RGB (or lx1g
// for one-bit gray), with an opacity component as the alpha mask.
//
// The components shown are chosen by the image's colour space: sRGB and unknown spaces of three
// or more components as red, green, blue (unknown ones as Y, Cb, Cr when the chroma components
// are subsampled), gray and unknown spaces of one or two components as gray, sYCC and e-YCC as
// Y, Cb, Cr. Samples are brought to 8 bits: wider ones keep their top 8 bits, narrower ones are
// stretched so that their maximum is 255; signed samples are moved to unsigned first.
//
// The image size is checked against the caps after the header and before anything is decoded.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/byte_reader.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/common/image_size.h"
#include "codecs/jp2/jp2.h"
#include "codecs/jp2/jp2_openjpeg.h"
#include "io/params.h"

namespace lumenax {

namespace {

enum class Signature { None, File, CodeStream };

Signature SignatureOf(const uint8_t* h, size_t n) {
  if (n >= 12 && LoadU32BE(h) == 12 && LoadU32BE(h + 4) == 0x6A502020 &&
      LoadU32BE(h + 8) == 0x0D0A870A)
    return Signature::File;
  if (n >= 4 && LoadU16BE(h) == 0xFF4F && LoadU16BE(h + 2) == 0xFF51) return Signature::CodeStream;
  return Signature::None;
}

// Offset of the code stream: 0 for a bare one, the contents of the jp2c box of a file; -1
// when the boxes end first (OpenJPEG then reports what is wrong).
int64_t CodeStreamOffset(TStream& s, int64_t start, int64_t length, Signature form) {
  if (form == Signature::CodeStream) return 0;
  int64_t at = 0;
  for (int boxes = 0; boxes < 256 && at + 8 <= length; ++boxes) {
    uint8_t b[16];
    if (s.Seek(start + at, soBeginning) != start + at || s.Read(b, 8) != 8) return -1;
    uint64_t size = LoadU32BE(b);
    int64_t header = 8;
    if (size == 1) {
      if (s.Read(b + 8, 8) != 8) return -1;
      size = uint64_t(LoadU32BE(b + 8)) << 32 | LoadU32BE(b + 12);
      header = 16;
    }
    if (LoadU32BE(b + 4) == 0x6A703263) return at + header;  // jp2c
    if (size == 0 || size < uint64_t(header) || size > uint64_t(length - at)) return -1;
    at += int64_t(size);
  }
  return -1;
}

// OpenJPEG sets up every tile and every component of every tile as soon as it reads the
// image header, however little data follows. Each tile must have at least one tile-part
// (14 bytes or more), and a small stream may not ask for more tile components than about
// one per 16 bytes: a hundred bytes could otherwise take a gigabyte before anything decodes.
bool TilesFitTheData(TStream& s, int64_t start, int64_t length, Signature form) {
  const int64_t at = CodeStreamOffset(s, start, length, form);
  uint8_t siz[42];
  if (at < 0 || s.Seek(start + at, soBeginning) != start + at || s.Read(siz, 42) != 42 ||
      LoadU16BE(siz) != 0xFF4F || LoadU16BE(siz + 2) != 0xFF51)
    return true;  // not ours to judge
  // SOC, SIZ, Lsiz, Rsiz, then Xsiz, Ysiz, XOsiz, YOsiz, XTsiz, YTsiz, XTOsiz, YTOsiz, Csiz.
  const uint64_t x1 = LoadU32BE(siz + 8), y1 = LoadU32BE(siz + 12);
  const uint64_t tw = LoadU32BE(siz + 24), th = LoadU32BE(siz + 28);
  const uint64_t tx0 = LoadU32BE(siz + 32), ty0 = LoadU32BE(siz + 36);
  const uint64_t comps = LoadU16BE(siz + 40);
  if (tw == 0 || th == 0 || x1 <= tx0 || y1 <= ty0) return true;  // OpenJPEG refuses these
  const uint64_t tiles = ((x1 - tx0 + tw - 1) / tw) * ((y1 - ty0 + th - 1) / th);
  const uint64_t bytes = uint64_t(length - at);
  return tiles <= bytes / 14 &&
         tiles * std::max<uint64_t>(comps, 1) <= std::max<uint64_t>(65536, bytes / 16);
}

// One decode: codec, stream and image, from the header on.
struct Decoder {
  OpjStreamState state;
  OpjMessages messages;
  OpjCodec codec;
  OpjStream stream;
  OpjImage image;
  Signature form = Signature::None;

  // Reads the header; false with a reason.
  bool Open(TStream& s, ProgressRecord& progress) {
    const int64_t start = s.Position();
    uint8_t h[12] = {};
    const int64_t got = s.Read(h, 12);
    s.Seek(start, soBeginning);
    form = SignatureOf(h, size_t(std::max<int64_t>(got, 0)));
    if (form == Signature::None) {
      progress.Fail(TLxFailure::BadSignature, start, "not a JPEG 2000 file or code stream");
      return false;
    }
    state.Stream = &s;
    state.Base = start;
    state.Length = s.Size() - start;
    const bool fits = TilesFitTheData(s, start, state.Length, form);
    s.Seek(start, soBeginning);
    if (!fits) {
      progress.Fail(TLxFailure::TooLarge, start, "too large: more tiles than the data can hold");
      return false;
    }
    codec.reset(opj_create_decompress(form == Signature::File ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
    stream = MakeOpjStream(state);
    if (!codec || !stream) {
      progress.Fail(TLxFailure::OutOfMemory, "no memory for the decoder");
      return false;
    }
    messages.Attach(codec.get());
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    opj_image_t* raw = nullptr;
    const bool ok = opj_setup_decoder(codec.get(), &parameters) &&
                    opj_read_header(stream.get(), codec.get(), &raw);
    image.reset(raw);
    if (!ok || !image) {
      progress.Fail(state.Length < 64 ? TLxFailure::Truncated : TLxFailure::BadHeader, start,
                    messages.Or("bad header"));
      return false;
    }
    return CheckSize(progress);
  }

  // The image must have a size, components OpenJPEG can describe and fit the caps.
  bool CheckSize(ProgressRecord& progress) {
    const opj_image_t& im = *image;
    const int64_t w = int64_t(im.x1) - im.x0, h = int64_t(im.y1) - im.y0;
    if (w <= 0 || h <= 0 || im.numcomps == 0 || !im.comps) {
      progress.Fail(TLxFailure::BadHeader, "bad header: empty image");
      return false;
    }
    uint64_t samples = 0;
    for (uint32_t c = 0; c < im.numcomps; ++c) {
      const opj_image_comp_t& k = im.comps[c];
      if (k.prec < 1 || k.prec > 31 || k.dx == 0 || k.dy == 0) {
        progress.Fail(TLxFailure::BadHeader, "bad header: component");
        return false;
      }
      // The component's size, whether or not OpenJPEG filled it in yet.
      samples += (uint64_t(w) + k.dx - 1) / k.dx * ((uint64_t(h) + k.dy - 1) / k.dy);
    }
    if (samples == 0 || samples > kMaxImageBytes / 4 ||
        CheckImageSize(w, h, lx24RGB, 0, 0) != TLxFailure::None ||
        !progress.PixelsAllowed(uint64_t(w), uint64_t(h))) {
      progress.Fail(TLxFailure::TooLarge, "too large");
      return false;
    }
    return true;
  }

  bool Decode(ProgressRecord& progress) {
    const bool ok = opj_decode(codec.get(), stream.get(), image.get()) &&
                    opj_end_decompress(codec.get(), stream.get());
    if (!ok) {
      progress.Fail(TLxFailure::BadData, messages.Or("bad data"));
      return false;
    }
    for (uint32_t c = 0; c < image->numcomps; ++c) {
      const opj_image_comp_t& k = image->comps[c];
      if (!k.data || k.w == 0 || k.h == 0 || k.prec < 1 || k.prec > 31) {
        progress.Fail(TLxFailure::BadData, "bad data: component without samples");
        return false;
      }
    }
    return true;
  }
};

enum class Kind { Gray, Rgb, Ycc };

struct Choice {
  Kind kind = Kind::Gray;
  int comps[3] = {0, 0, 0};
  int alpha = -1;
};

bool FullSize(const opj_image_comp_t& k) {
  return k.dx == 1 && k.dy == 1;
}

// Which components make the picture; false (with a reason) for colour spaces we do not show.
bool ChooseComponents(const opj_image_t& im, bool codeStream, Choice& ch,
                      ProgressRecord& progress) {
  const int n = int(im.numcomps);
  switch (im.color_space) {
    case OPJ_CLRSPC_GRAY:
      ch.kind = Kind::Gray;
      break;
    case OPJ_CLRSPC_SRGB:
      ch.kind = Kind::Rgb;
      break;
    case OPJ_CLRSPC_SYCC:
    case OPJ_CLRSPC_EYCC:
      ch.kind = Kind::Ycc;
      break;
    case OPJ_CLRSPC_UNKNOWN:
    case OPJ_CLRSPC_UNSPECIFIED:
      if (n <= 2) {
        ch.kind = Kind::Gray;
      } else {
        const opj_image_comp_t* k = im.comps;
        const bool chromaSubsampled = FullSize(k[0]) && !FullSize(k[1]) && !FullSize(k[2]);
        ch.kind = chromaSubsampled ? Kind::Ycc : Kind::Rgb;
      }
      break;
    default:
      progress.Fail(TLxFailure::Unsupported, "unsupported variant: colour space");
      return false;
  }
  if (ch.kind != Kind::Gray && n < 3) {
    progress.Fail(TLxFailure::BadHeader, "bad header: too few components for colour");
    return false;
  }
  const int colour = ch.kind == Kind::Gray ? 1 : 3;
  for (int i = 0; i < 3; ++i) ch.comps[i] = ch.kind == Kind::Gray ? 0 : i;
  for (int c = colour; c < n; ++c) {
    if (im.comps[c].alpha) {
      ch.alpha = c;
      break;
    }
  }
  // A bare code stream cannot say which component is opacity: an extra full-size one is.
  if (ch.alpha < 0 && codeStream && n == colour + 1 && FullSize(im.comps[colour]) &&
      (im.color_space == OPJ_CLRSPC_UNKNOWN || im.color_space == OPJ_CLRSPC_UNSPECIFIED))
    ch.alpha = colour;
  return true;
}

// A component's samples brought to 8 bits through a map of its columns and rows.
class Plane {
 public:
  Plane(const opj_image_t& im, int c, int width, int height) : k_(im.comps[c]) {
    cols_.resize(size_t(width));
    rows_.resize(size_t(height));
    for (int x = 0; x < width; ++x) cols_[size_t(x)] = Map(im.x0 + uint32_t(x), k_.dx, k_.x0, k_.w);
    for (int y = 0; y < height; ++y)
      rows_[size_t(y)] = Map(im.y0 + uint32_t(y), k_.dy, k_.y0, k_.h);
    const uint32_t p = k_.prec;
    max_ = (int64_t(1) << p) - 1;
    offset_ = k_.sgnd ? int64_t(1) << (p - 1) : 0;
    shift_ = p > 8 ? int(p - 8) : 0;
  }

  // Row y of the component, as 8-bit values, into out (width values).
  void Row(int y, uint8_t* out) const {
    const OPJ_INT32* src = k_.data + size_t(rows_[size_t(y)]) * k_.w;
    for (size_t x = 0; x < cols_.size(); ++x) out[x] = Scale(src[cols_[x]]);
  }

  uint8_t Scale(int32_t s) const {
    int64_t v = std::clamp<int64_t>(int64_t(s) + offset_, 0, max_);
    if (k_.prec >= 8) return uint8_t(v >> shift_);
    return uint8_t((v * 255 + max_ / 2) / max_);
  }

 private:
  // Image coordinate v falls in the component's sample floor(v / step), counted from its
  // origin and kept inside it.
  static uint32_t Map(uint32_t v, uint32_t step, uint32_t origin, uint32_t size) {
    int64_t i = int64_t(v / step) - int64_t(origin);
    return uint32_t(std::clamp<int64_t>(i, 0, int64_t(size) - 1));
  }

  const opj_image_comp_t& k_;
  std::vector<uint32_t> cols_, rows_;
  int64_t max_ = 255, offset_ = 0;
  int shift_ = 0;
};

// Y, Cb, Cr to red, green, blue with rounded products from tables.
struct YccTables {
  int crR[256], cbB[256], crG[256], cbG[256];
  YccTables() {
    for (int i = 0; i < 256; ++i) {
      const double d = i - 128;
      crR[i] = int(std::lround(1.402 * d));
      cbB[i] = int(std::lround(1.772 * d));
      crG[i] = int(std::lround(-0.71414 * d));
      cbG[i] = int(std::lround(-0.34414 * d));
    }
  }
};

uint8_t Clamp8(int v) {
  return uint8_t(std::clamp(v, 0, 255));
}

void SetCommonParams(TIOParamsVals& params, const opj_image_t& im, const Choice& ch) {
  params.Width = int32_t(im.x1 - im.x0);
  params.Height = int32_t(im.y1 - im.y0);
  params.BitsPerSample = int32_t(im.comps[ch.comps[0]].prec);
  params.SamplesPerPixel = ch.kind == Kind::Gray ? 1 : 3;
  params.SetDpiX(DefaultDPI);
  params.SetDpiY(DefaultDPI);
  params.FreeColorMap();
}

// The pixels of a decoded image into bitmap (and mask).
void Render(const opj_image_t& im, const Choice& ch, TLxBitmap& bitmap,
            std::unique_ptr<TLxMask>* mask, ProgressRecord& progress) {
  const int w = int(im.x1 - im.x0), h = int(im.y1 - im.y0);
  const bool bilevel = ch.kind == Kind::Gray && im.comps[ch.comps[0]].prec == 1;
  bitmap.ReallocPending = true;
  if (!bitmap.Allocate(w, h, bilevel ? lx1g : lx24RGB)) {
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the image");
    return;
  }
  const bool withAlpha = ch.alpha >= 0 && mask;
  if (withAlpha) {
    *mask = std::make_unique<TLxMask>();
    if (!(*mask)->Allocate(w, h, 8)) {
      mask->reset();
      progress.Fail(TLxFailure::OutOfMemory, "no memory for the alpha channel");
      return;
    }
  }
  const int planes = ch.kind == Kind::Gray ? 1 : 3;
  std::vector<Plane> p;
  p.reserve(4);
  for (int i = 0; i < planes; ++i) p.emplace_back(im, ch.comps[i], w, h);
  if (withAlpha) p.emplace_back(im, ch.alpha, w, h);
  const size_t n = static_cast<size_t>(w);
  std::vector<uint8_t> a(n), b(n), c(n), alpha(n);
  static const YccTables ycc;
  bool allOpaque = true;
  progress.BeginRows(h);
  for (int y = 0; y < h; ++y) {
    if (progress.Aborting()) return;
    p[0].Row(y, a.data());
    if (planes == 3) p[1].Row(y, b.data()), p[2].Row(y, c.data());
    uint8_t* row = bitmap.ScanLine(y);
    if (bilevel) {
      std::memset(row, 0, size_t(w + 7) / 8);
      for (int x = 0; x < w; ++x)
        if (a[size_t(x)]) row[x >> 3] |= uint8_t(0x80 >> (x & 7));
    } else if (ch.kind == Kind::Gray) {
      for (int x = 0; x < w; ++x) row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = a[size_t(x)];
    } else if (ch.kind == Kind::Rgb) {
      for (int x = 0; x < w; ++x)
        row[3 * x] = c[size_t(x)], row[3 * x + 1] = b[size_t(x)], row[3 * x + 2] = a[size_t(x)];
    } else {
      for (int x = 0; x < w; ++x) {
        const int Y = a[size_t(x)], cb = b[size_t(x)], cr = c[size_t(x)];
        row[3 * x + 2] = Clamp8(Y + ycc.crR[cr]);
        row[3 * x + 1] = Clamp8(Y + ycc.cbG[cb] + ycc.crG[cr]);
        row[3 * x] = Clamp8(Y + ycc.cbB[cb]);
      }
    }
    if (withAlpha) {
      p.back().Row(y, alpha.data());
      for (int x = 0; x < w; ++x) allOpaque &= alpha[size_t(x)] == 255;
      std::memcpy((*mask)->ScanLine(y), alpha.data(), size_t(w));
    }
    progress.RowDone();
  }
  if (withAlpha) {
    if (allOpaque) {
      mask->reset();
    } else {
      (*mask)->RecomputeBounds();
    }
  }
}

}  // namespace

void ReadJp2Stream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params, bool headerOnly,
                   std::unique_ptr<TLxMask>* mask, ProgressRecord& progress) {
  Decoder d;
  if (!d.Open(stream, progress)) return;
  const bool codeStream = d.form == Signature::CodeStream;
  Choice ch;
  if (!ChooseComponents(*d.image, codeStream, ch, progress)) return;
  SetCommonParams(params, *d.image, ch);
  if (headerOnly) return;
  if (!d.Decode(progress)) return;
  // A palette may have changed the components: choose again on what was decoded.
  ch = Choice{};
  if (!ChooseComponents(*d.image, codeStream, ch, progress)) return;
  SetCommonParams(params, *d.image, ch);
  Render(*d.image, ch, bitmap, mask, progress);
}

bool DecodeJ2kSamples(const uint8_t* data, size_t size, TLxJ2kSamples& out,
                      ProgressRecord& progress) {
  TLxMemStream mem(data, int64_t(size));
  Decoder d;
  if (!d.Open(mem, progress) || !d.Decode(progress)) return false;
  const opj_image_t& im = *d.image;
  const int w = int(im.x1 - im.x0), h = int(im.y1 - im.y0);
  out.Width = w;
  out.Height = h;
  out.Components = int32_t(im.numcomps);
  out.Precision = int32_t(im.comps[0].prec);
  out.Signed = im.comps[0].sgnd;
  const size_t plane = size_t(w) * size_t(h);
  out.Planes.assign(plane * im.numcomps, 0);
  for (uint32_t c = 0; c < im.numcomps; ++c) {
    const opj_image_comp_t& k = im.comps[c];
    int32_t* dst = out.Planes.data() + plane * c;
    for (int y = 0; y < h; ++y) {
      const int64_t ry =
          std::clamp<int64_t>(int64_t((im.y0 + uint32_t(y)) / k.dy) - k.y0, 0, int64_t(k.h) - 1);
      const OPJ_INT32* src = k.data + size_t(ry) * k.w;
      for (int x = 0; x < w; ++x) {
        const int64_t rx =
            std::clamp<int64_t>(int64_t((im.x0 + uint32_t(x)) / k.dx) - k.x0, 0, int64_t(k.w) - 1);
        dst[size_t(y) * size_t(w) + size_t(x)] = src[rx];
      }
    }
  }
  return true;
}

}  // namespace lumenax
