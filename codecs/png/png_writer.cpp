// PNG writer on libpng.
//
// As in the reader, libpng's errors leave by longjmp: everything that owns memory or may
// throw (working copies, the quantizer, buffers, the text list) is prepared in
// WritePNGStream, and the functions that call libpng (WriteHeader, WriteRows, WriteChunk)
// each set their own jump target and hold only plain values. A libpng error becomes
// EInvalidGraphic "Error on creating PNG" once they have returned and the libpng structures
// are gone; an exception of the stream inside the write callback is kept and raised again
// the same way.
//
// Large non-interlaced images are filtered and deflated in bands on several threads
// (png_deflate.h); libpng still writes the signature and every chunk, the IDAT chunks and
// IEND through png_write_chunk, since png_write_end refuses image data it did not compress.
#include <png.h>
#include <zlib.h>

#include <array>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/conversion.h"
#include "bitmap/errors.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "bitmap/worker_pool.h"
#include "codecs/common/resolution.h"
#include "codecs/png/png.h"
#include "codecs/png/png_deflate.h"
#include "io/params.h"
#include "quantize/quantizer.h"

namespace lumenax {

namespace {

constexpr const char* kCreateError = "Error on creating PNG";
// libpng hands over a few bytes at a time (chunk headers, CRCs); they are gathered here so
// that the stream sees large writes.
constexpr size_t kWriteBuffer = 64 * 1024;

// What goes into the row handed to libpng.
enum class RowFill : uint8_t {
  Direct,       // the working bitmap's row as stored
  RgbFromAny,   // blue, green, red of any layout
  Rgba,         // lx24RGB row and mask: blue, green, red, alpha
  RgbaFromAny,  // any layout and mask
  Gray8,        // the gray level of any layout
  Gray16,       // the gray level of any layout as the high byte, low byte 0
  Index,        // the quantizer's index of each pixel
  IndexAlpha,   // 0 where the mask is below 255, else the quantizer's index + 1
  TableAlpha,   // lx8p: 0 where the mask is below 255, else indexTable[index]
};

struct WriteContext {
  TStream* stream = nullptr;
  ProgressRecord* progress = nullptr;
  std::exception_ptr* pendingError = nullptr;  // an exception of the stream, raised later
  png_structp png = nullptr;
  png_infop info = nullptr;

  uint8_t* out = nullptr;  // write buffer of kWriteBuffer bytes
  size_t outLen = 0;
  int64_t start = 0;    // stream position of the first byte
  int64_t flushed = 0;  // bytes handed to the stream so far

  // Header and chunks.
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int depth = 8;
  int colorType = PNG_COLOR_TYPE_RGB;
  bool interlaced = false;
  png_color* plte = nullptr;
  int plteCount = 0;
  png_byte trnsAlpha[1] = {0};
  int trnsCount = 0;
  png_color_16 background{};
  bool hasPhys = false;
  png_uint_32 ppmX = 0;
  png_uint_32 ppmY = 0;
  int filters = -1;  // png_set_filter mask, -1: libpng's own choice
  int level = 5;
  png_text* texts = nullptr;
  int textCount = 0;

  // Rows.
  TLxBitmap* working = nullptr;
  const TLxMask* mask = nullptr;
  RowFill fill = RowFill::Direct;
  TLxQuantizer* quantizer = nullptr;
  int indexLimit = 256;  // quantizer indices at or above this are out of the palette
  const uint8_t* indexTable = nullptr;
};

// ---------------------------------------------------------------- output

// Hands n bytes to the stream; a short write fails the save.
void WriteThrough(WriteContext* c, const uint8_t* data, size_t n) {
  int64_t put = c->stream->Write(data, int64_t(n));
  if (put != int64_t(n))
    c->progress->Fail(TLxFailure::WriteFailed, c->start + c->flushed + std::max<int64_t>(put, 0),
                      "write failed");
  c->flushed += int64_t(n);
}

// Moves the gathered bytes to the stream; a short write sets Aborting. An exception of
// the stream is kept in pendingError and false returned.
bool FlushOut(WriteContext* c) noexcept {
  if (c->outLen == 0) return true;
  try {
    WriteThrough(c, c->out, c->outLen);
    c->outLen = 0;
    return true;
  } catch (...) {
    *c->pendingError = std::current_exception();
    c->outLen = 0;
    return false;
  }
}

bool PutBytes(WriteContext* c, const uint8_t* data, size_t n) noexcept {
  if (c->outLen + n > kWriteBuffer) {
    if (!FlushOut(c)) return false;
    if (n >= kWriteBuffer) {  // large blocks go straight through
      try {
        WriteThrough(c, data, n);
        return true;
      } catch (...) {
        *c->pendingError = std::current_exception();
        return false;
      }
    }
  }
  std::memcpy(c->out + c->outLen, data, n);
  c->outLen += n;
  return true;
}

// ---------------------------------------------------------------- libpng callbacks

[[noreturn]] void OnError(png_structp png, png_const_charp) {
  png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

void OnWrite(png_structp png, png_bytep data, size_t n) {
  auto* c = static_cast<WriteContext*>(png_get_io_ptr(png));
  if (!PutBytes(c, data, n)) png_error(png, "stream failure");
}

void OnFlush(png_structp png) {
  auto* c = static_cast<WriteContext*>(png_get_io_ptr(png));
  if (!FlushOut(c)) png_error(png, "stream failure");
}

// ---------------------------------------------------------------- rows

// The buffers of one thread that builds rows. Several threads may build rows of the same
// image at once, each with its own RowScratch: the working bitmap (in memory), the mask and
// the quantizer are only read.
struct RowScratch {
  std::vector<uint8_t> row;      // the row built (width * 4 + 8 bytes)
  std::vector<uint8_t> maskRow;  // alpha of one row when the mask cannot be read in place
  std::unique_ptr<TLxQuantizer::Mapper> mapper;  // null: the quantizer's own lookups

  RowScratch(const WriteContext& c, bool ownMapper)
      : row(size_t(std::max(c.width, png_uint_32(1))) * 4 + 8, 0),
        maskRow(c.mask ? size_t(std::max(c.width, png_uint_32(1))) : 0, 255) {
    if (ownMapper && c.quantizer) mapper = std::make_unique<TLxQuantizer::Mapper>(*c.quantizer);
  }
};

// Alpha values of row y, 255 where the mask does not reach.
const uint8_t* AlphaRow(const WriteContext* c, int y, RowScratch& s) {
  const TLxMask& m = *c->mask;
  const int w = int(c->width);
  if (m.BitsPerPixel == 8 && m.Width >= w && y < m.Height) return m.ScanLine(y);
  uint8_t* a = s.maskRow.data();
  std::memset(a, 255, size_t(w));
  if (y < m.Height) {
    const uint8_t* src = m.ScanLine(y);
    const int n = std::min(w, m.Width);
    if (m.BitsPerPixel == 8)
      std::memcpy(a, src, size_t(n));
    else if (m.BitsPerPixel == 1)
      for (int x = 0; x < n; ++x) a[x] = (src[x >> 3] >> (7 - (x & 7))) & 1 ? 255 : 0;
  }
  return a;
}

int IndexOf(const WriteContext* c, RowScratch& s, TRGB colour) {
  const uint32_t packed = PackBGR(colour);
  int i = s.mapper ? s.mapper->RGBToIndex(packed) : c->quantizer->RGBToIndex(packed);
  return i >= 0 && i < c->indexLimit ? i : 0;
}

// The row of y handed to libpng.
const uint8_t* RowOf(const WriteContext* c, int y, RowScratch& s) {
  TLxBitmap& bm = *c->working;
  const uint8_t* src = bm.ScanLine(y);
  if (c->fill == RowFill::Direct) return src;
  const int w = int(c->width);
  uint8_t* d = s.row.data();
  switch (c->fill) {
    case RowFill::Rgba: {
      const uint8_t* a = AlphaRow(c, y, s);
      for (int x = 0; x < w; ++x, src += 3, d += 4) {
        d[0] = src[0];
        d[1] = src[1];
        d[2] = src[2];
        d[3] = a[x];
      }
      break;
    }
    case RowFill::RgbFromAny:
      for (int x = 0; x < w; ++x, d += 3) {
        TRGB p = PixelAsRGBFromRow(bm, src, x);
        std::memcpy(d, &p, 3);
      }
      break;
    case RowFill::RgbaFromAny: {
      const uint8_t* a = AlphaRow(c, y, s);
      for (int x = 0; x < w; ++x, d += 4) {
        TRGB p = PixelAsRGBFromRow(bm, src, x);
        d[0] = p.b;
        d[1] = p.g;
        d[2] = p.r;
        d[3] = a[x];
      }
      break;
    }
    case RowFill::Gray8:
      for (int x = 0; x < w; ++x) d[x] = PixelAsRGBFromRow(bm, src, x).r;
      break;
    case RowFill::Gray16:
      for (int x = 0; x < w; ++x) {
        d[2 * x] = PixelAsRGBFromRow(bm, src, x).r;
        d[2 * x + 1] = 0;
      }
      break;
    case RowFill::Index:
      if (bm.PixelFormat() == lx24RGB) {
        for (int x = 0; x < w; ++x, src += 3)
          d[x] = uint8_t(IndexOf(c, s, TRGB{src[0], src[1], src[2]}));
      } else {
        for (int x = 0; x < w; ++x) d[x] = uint8_t(IndexOf(c, s, PixelAsRGBFromRow(bm, src, x)));
      }
      break;
    case RowFill::IndexAlpha: {
      const uint8_t* a = AlphaRow(c, y, s);
      for (int x = 0; x < w; ++x)
        d[x] = a[x] < 255 ? 0 : uint8_t(IndexOf(c, s, PixelAsRGBFromRow(bm, src, x)) + 1);
      break;
    }
    case RowFill::TableAlpha: {
      const uint8_t* a = AlphaRow(c, y, s);
      for (int x = 0; x < w; ++x) d[x] = a[x] < 255 ? 0 : c->indexTable[src[x]];
      break;
    }
    case RowFill::Direct:
      break;
  }
  return s.row.data();
}

// Hands the chunks to libpng and writes them, up to the image data. False after a libpng
// error.
bool WriteHeader(WriteContext* c) {
  if (setjmp(png_jmpbuf(c->png))) return false;
  png_structp png = c->png;
  png_infop info = c->info;
  if (c->plteCount > 0) png_set_PLTE(png, info, c->plte, c->plteCount);
  if (c->trnsCount > 0) png_set_tRNS(png, info, c->trnsAlpha, c->trnsCount, nullptr);
  png_set_IHDR(png, info, c->width, c->height, c->depth, c->colorType,
               c->interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (c->hasPhys) png_set_pHYs(png, info, c->ppmX, c->ppmY, PNG_RESOLUTION_METER);
  if (c->filters >= 0) png_set_filter(png, PNG_FILTER_TYPE_BASE, c->filters);
  png_set_bKGD(png, info, &c->background);
  png_set_compression_level(png, c->level);
  if (c->colorType & PNG_COLOR_MASK_COLOR && c->colorType != PNG_COLOR_TYPE_PALETTE)
    png_set_bgr(png);
  if (c->textCount > 0) png_set_text(png, info, c->texts, c->textCount);
  png_write_info(png, info);
  return true;
}

// Writes the rows through libpng, one at a time, and the end of the image unless aborted.
// False after a libpng error.
bool WriteRows(WriteContext* c, RowScratch& scratch) {
  if (setjmp(png_jmpbuf(c->png))) return false;
  png_structp png = c->png;
  const int passes = png_set_interlace_handling(png);
  ProgressRecord& progress = *c->progress;
  progress.Per1 = 100.0 / (double(c->height) * double(passes));
  progress.Value = 0;
  for (int pass = 0; pass < passes; ++pass) {
    for (png_uint_32 y = 0; y < c->height; ++y) {
      // Rows without pixels in this pass are skipped by libpng; don't build them.
      if (passes > 1 && !PNG_ROW_IN_INTERLACE_PASS(y, pass))
        png_write_row(png, scratch.row.data());
      else
        png_write_row(png, RowOf(c, int(y), scratch));
      progress.RowDone();
      if (progress.Aborting()) return true;
    }
  }
  png_write_end(png, c->info);
  return true;
}

// One chunk through libpng. False after a libpng error.
bool WriteChunk(png_structp png, const char* type, const uint8_t* data, size_t n) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_write_chunk(png, reinterpret_cast<png_const_bytep>(type), data, n);
  return true;
}

// ---------------------------------------------------------------- rows on several threads

// Channels of a PNG colour type.
int Channels(int colorType) {
  switch (colorType) {
    case PNG_COLOR_TYPE_RGB:
      return 3;
    case PNG_COLOR_TYPE_RGB_ALPHA:
      return 4;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      return 2;
    default:
      return 1;
  }
}

// The rows as libpng would store them: red and blue of colour rows swapped, as png_set_bgr
// asks.
class BandRows : public PngRowSource {
 public:
  BandRows(const WriteContext& c, size_t rowBytes, bool ownMapper)
      : c_(c), scratch_(c, ownMapper), rowBytes_(rowBytes), channels_(Channels(c.colorType)) {}

  void Row(int y, uint8_t* out) override {
    const uint8_t* row = RowOf(&c_, y, scratch_);
    if (c_.colorType == PNG_COLOR_TYPE_RGB || c_.colorType == PNG_COLOR_TYPE_RGB_ALPHA) {
      const size_t n = size_t(c_.width) * size_t(channels_);
      for (size_t i = 0; i < n; i += size_t(channels_)) {
        out[i] = row[i + 2];
        out[i + 1] = row[i + 1];
        out[i + 2] = row[i];
        if (channels_ == 4) out[i + 3] = row[i + 3];
      }
    } else {
      std::memcpy(out, row, rowBytes_);
    }
  }

 private:
  const WriteContext& c_;
  RowScratch scratch_;
  size_t rowBytes_;
  int channels_;
};

// Deflate output as IDAT chunks; rows counted as libpng's loop counts them.
class IdatSink : public PngIdatSink {
 public:
  explicit IdatSink(WriteContext& c) : c_(c) {}
  bool Chunk(const uint8_t* data, size_t n) override {
    return ok_ = WriteChunk(c_.png, "IDAT", data, n);
  }
  bool RowsDone(int rows) override {
    for (int i = 0; i < rows; ++i) {
      c_.progress->RowDone();
      if (c_.progress->Aborting()) return false;
    }
    return true;
  }
  bool ok() const { return ok_; }

 private:
  WriteContext& c_;
  bool ok_ = true;
};

// The filter choice of PngFilter as libpng makes it: the one filter asked for, or for palette
// images and depths below 8 none, else the adaptive choice among all five.
PngRowFilter RowFilter(const WriteContext& c) {
  switch (c.filters) {
    case PNG_FILTER_NONE:
      return PngRowFilter::None;
    case PNG_FILTER_SUB:
      return PngRowFilter::Sub;
    case PNG_FILTER_PAETH:
      return PngRowFilter::Paeth;
    default:
      return c.colorType == PNG_COLOR_TYPE_PALETTE || c.depth < 8 ? PngRowFilter::None
                                                                  : PngRowFilter::Adaptive;
  }
}

// Whether the image data go through WritePngBands.
bool UseBands(const WriteContext& c) {
  const PngParallelTuning& tuning = PngParallelSettings();
  return !c.interlaced && c.height > 0 && c.width > 0 &&
         int64_t(c.width) * int64_t(c.height) >= tuning.minPixels;
}

// Writes the image data through WritePngBands and the end of the image unless aborted. False
// after a libpng error.
bool WriteBands(WriteContext* c) {
  const PngParallelTuning& tuning = PngParallelSettings();
  const int bits = Channels(c->colorType) * c->depth;
  PngBandImage image;
  image.height = int(c->height);
  image.rowBytes = (size_t(c->width) * size_t(bits) + 7) / 8;
  image.bpp = std::max(1, bits / 8);
  image.filter = RowFilter(*c);
  image.bandRows = PngBandRows(image.rowBytes, tuning.bandBytes);
  image.level = c->level;
  // libpng's choice: the filtered strategy unless rows are left unfiltered.
  image.strategy = image.filter == PngRowFilter::None ? Z_DEFAULT_STRATEGY : Z_FILTERED;
  // A bitmap in the paging file maps one row at a time: one thread only.
  const bool inMemory = c->working->Location() == lxInMemory;
  int lanes = tuning.workers > 0 ? tuning.workers : SpareLanes();
  if (!inMemory) lanes = 1;
  const bool ownMapper = lanes > 1;
  image.newSource = [c, &image, ownMapper] {
    return std::make_unique<BandRows>(*c, image.rowBytes, ownMapper);
  };
  ProgressRecord& progress = *c->progress;
  progress.Per1 = 100.0 / double(c->height);
  progress.Value = 0;
  IdatSink sink(*c);
  TLxWorkerPool& pool = tuning.pool ? *tuning.pool : TLxWorkerPool::Shared();
  const bool complete = WritePngBands(image, lanes, pool, sink);
  if (!sink.ok()) return false;
  if (!complete) return true;  // aborted: no end
  return WriteChunk(c->png, "IEND", nullptr, 0);
}

// ---------------------------------------------------------------- choices before libpng

struct WriteGuard {
  WriteContext& c;
  void Release() {
    if (c.png) png_destroy_write_struct(&c.png, c.info ? &c.info : nullptr);
    c.png = nullptr;
    c.info = nullptr;
  }
  ~WriteGuard() { Release(); }
};

// Whether any pixel of the image is less than fully opaque in the mask.
bool MaskHasTransparency(const TLxMask& m, int width, int height) {
  if (m.AllOpaque || (m.BitsPerPixel != 8 && m.BitsPerPixel != 1)) return false;
  const int h = std::min(height, m.Height), w = std::min(width, m.Width);
  for (int y = 0; y < h; ++y) {
    const uint8_t* r = m.ScanLine(y);
    if (m.BitsPerPixel == 8) {
      for (int x = 0; x < w; ++x)
        if (r[x] != 255) return true;
    } else {
      for (int x = 0; x < w; ++x)
        if (!((r[x >> 3] >> (7 - (x & 7))) & 1)) return true;
    }
  }
  return false;
}

// An lx24RGB copy of a bitmap in any layout.
std::unique_ptr<TLxBitmap> RgbCopy(TLxBitmap& source) {
  auto copy = std::make_unique<TLxBitmap>();
  if (!copy->Allocate(source.Width(), source.Height(), lx24RGB)) return nullptr;
  for (int y = 0; y < source.Height(); ++y) {
    const uint8_t* s = source.ScanLine(y);
    uint8_t* d = copy->ScanLine(y);
    for (int x = 0; x < source.Width(); ++x, d += 3) {
      TRGB p = PixelAsRGBFromRow(source, s, x);
      std::memcpy(d, &p, 3);
    }
  }
  return copy;
}

int NearestEntry(const png_color* entries, int count, TRGB c) {
  int best = 0;
  long bestDistance = -1;
  for (int i = 0; i < count; ++i) {
    long dr = long(entries[i].red) - c.r, dg = long(entries[i].green) - c.g,
         db = long(entries[i].blue) - c.b;
    long d = dr * dr + dg * dg + db * db;
    if (bestDistance < 0 || d < bestDistance) best = i, bestDistance = d;
  }
  return best;
}

// libpng turns the characters a keyword may not hold into spaces and trims them, and fails
// the whole image when nothing is left. Readers hand over whatever keywords a file had (an
// empty one too), so such a text is left out instead.
bool UsableKeyword(const std::string& key) {
  for (unsigned char ch : key) {
    if (ch == 0) break;
    if ((ch > 32 && ch < 127) || ch > 160) return true;
  }
  return false;
}

// pHYs holds unsigned 32-bit values.
png_uint_32 PixelsPerMetre(int32_t dpi) {
  return png_uint_32(PixelsPerMetreFromDpi(dpi, 0, UINT32_MAX));
}

// The libpng filter mask of PngFilter; -1 leaves the choice to libpng.
int FilterMask(uint8_t pngFilter) {
  switch (pngFilter) {
    case kPngFilterNone:
      return PNG_FILTER_NONE;
    case kPngFilterSub:
      return PNG_FILTER_SUB;
    case kPngFilterPaeth:
      return PNG_FILTER_PAETH;
    default:
      return -1;
  }
}

// Gray output of a single-channel image stores 1, 8 or 16 bits; other depths become 8.
void NormaliseBitsPerSample(TIOParamsVals& params) {
  if (params.SamplesPerPixel == 1 && params.BitsPerSample != 1 && params.BitsPerSample != 8 &&
      params.BitsPerSample != 16)
    params.BitsPerSample = 8;
}

// What the rows are made from, and the palettes built for them. Owns the working copy, the
// quantizer and the tables that the WriteContext points into.
struct WritePlan {
  std::unique_ptr<TLxBitmap> copy;
  TLxBitmap* working = nullptr;
  // The two colours of 1-bit output when they are not black and white: written as a
  // two-entry palette rather than thrown away.
  bool colourPair = false;
  TRGB dark{}, light{};
  std::array<TRGB, 256> quantized{};
  std::array<png_color, 256> plte{};
  std::array<uint8_t, 256> indexTable{};
  std::unique_ptr<TLxQuantizer> quantizer;
};

// The working bitmap: 1-bit output from a two-colour extract (bit 0 the darker colour) or a
// converted copy; palette and gray output from a layout the quantizer understands.
void ChooseWorkingBitmap(TLxBitmap& bitmap, const TIOParamsVals& params, bool withAlpha,
                         WritePlan& plan) {
  plan.working = &bitmap;
  // With alpha, 1-bit images take the palette path, whose entry 0 is the transparent one.
  if (params.BitsPerSample == 1 && !withAlpha && bitmap.PixelFormat() != lx1g) {
    plan.copy = ExtractColoursFor1Bit(bitmap, plan.dark, plan.light);
    if (plan.copy) {
      const TRGB black{0, 0, 0}, white{255, 255, 255};
      plan.colourPair = !(plan.dark == black && plan.light == white);
    } else {
      plan.copy = std::make_unique<TLxBitmap>();
      plan.copy->AssignImage(bitmap);
      plan.copy->SetPixelFormat(lx1g);
    }
    plan.working = plan.copy.get();
  }
  const lumenax::PixelFormat wpf = plan.working->PixelFormat();
  if (params.SamplesPerPixel == 1 && wpf != lx1g && wpf != lx8p && wpf != lx8g && wpf != lx16g &&
      wpf != lx32f && wpf != lx24RGB) {
    plan.copy = RgbCopy(*plan.working);  // lxRGB48, lx32RGB, lxCMYK, lxCIELab: by their colours
    if (!plan.copy) throw EInvalidGraphic(kCreateError);
    plan.working = plan.copy.get();
  }
}

// 1-bit output of two colours other than black and white: a two-entry palette.
void PlanTwoColourPalette(WriteContext& c, WritePlan& plan, TRGB bg) {
  c.colorType = PNG_COLOR_TYPE_PALETTE;
  c.depth = 1;
  c.fill = RowFill::Direct;
  plan.plte[0] = {plan.dark.r, plan.dark.g, plan.dark.b};
  plan.plte[1] = {plan.light.r, plan.light.g, plan.light.b};
  c.plte = plan.plte.data();
  c.plteCount = 2;
  c.background.index = png_byte(NearestEntry(plan.plte.data(), c.plteCount, bg));
}

void PlanGray(WriteContext& c, const WritePlan& plan, int bps, int bgGray) {
  c.colorType = PNG_COLOR_TYPE_GRAY;
  c.depth = bps == 16 ? 16 : 8;
  c.fill = bps == 16                             ? RowFill::Gray16
           : plan.working->PixelFormat() == lx8g ? RowFill::Direct
                                                 : RowFill::Gray8;
  c.background.gray = png_uint_16(bps == 16 ? bgGray * 257 : bgGray);
}

// Palette output without alpha: the bitmap's own palette or the quantizer's, 256 entries.
void PlanOpaquePalette(WriteContext& c, WritePlan& plan, int bps, TRGB bg) {
  TLxBitmap& working = *plan.working;
  c.depth = bps == 16 ? 16 : 8;  // 16 is refused by libpng
  if (working.PixelFormat() == lx8p) {
    for (int i = 0; i < 256; ++i) plan.quantized[size_t(i)] = working.GetPaletteEntry(i);
    c.fill = RowFill::Direct;
  } else {
    plan.quantizer = std::make_unique<TLxQuantizer>(working, plan.quantized.data(), 256);
    c.fill = RowFill::Index;
  }
  for (int i = 0; i < 256; ++i) {
    const TRGB& q = plan.quantized[size_t(i)];
    plan.plte[size_t(i)] = {q.r, q.g, q.b};
  }
  c.plteCount = 256;
  c.background.index = png_byte(NearestEntry(plan.plte.data(), c.plteCount, bg));
}

// Palette output with alpha: entry 0 is the background and fully transparent; the image's
// colours follow.
void PlanTransparentPalette(WriteContext& c, WritePlan& plan, int bps, TRGB bg) {
  TLxBitmap& working = *plan.working;
  c.depth = 8;
  const int colours = std::min(1 << std::min(bps, 8), 255);
  if (working.PixelFormat() == lx8p) {
    for (int i = 0; i < colours; ++i) plan.quantized[size_t(i)] = working.GetPaletteEntry(i);
    // Index i moves to i + 1; indices past the written entries take the nearest one.
    std::array<png_color, 256> own{};
    for (int i = 0; i < colours; ++i) {
      const TRGB& q = plan.quantized[size_t(i)];
      own[size_t(i)] = {q.r, q.g, q.b};
    }
    for (int i = 0; i < 256; ++i)
      plan.indexTable[size_t(i)] = uint8_t(
          1 + (i < colours ? i : NearestEntry(own.data(), colours, working.GetPaletteEntry(i))));
    c.indexTable = plan.indexTable.data();
    c.fill = RowFill::TableAlpha;
  } else {
    plan.quantizer = std::make_unique<TLxQuantizer>(working, plan.quantized.data(), colours);
    c.indexLimit = colours;
    c.fill = RowFill::IndexAlpha;
  }
  plan.plte[0] = {bg.r, bg.g, bg.b};
  for (int i = 0; i < colours; ++i) {
    const TRGB& q = plan.quantized[size_t(i)];
    plan.plte[size_t(i) + 1] = {q.r, q.g, q.b};
  }
  c.plteCount = std::min((1 << std::min(bps, 8)) + 1, 256);
  c.trnsAlpha[0] = 0;
  c.trnsCount = 1;
  c.background.index = 0;  // the background is entry 0 itself
}

void PlanColour(WriteContext& c, const WritePlan& plan, bool withAlpha, TRGB bg) {
  c.colorType = withAlpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
  c.depth = 8;
  const bool rgb = plan.working->PixelFormat() == lx24RGB;
  c.fill = withAlpha ? (rgb ? RowFill::Rgba : RowFill::RgbaFromAny)
                     : (rgb ? RowFill::Direct : RowFill::RgbFromAny);
  c.background.red = bg.r;
  c.background.green = bg.g;
  c.background.blue = bg.b;
}

// Colour type, bit depth, palette, tRNS and bKGD.
void PlanImage(WriteContext& c, WritePlan& plan, const TIOParamsVals& params, bool withAlpha) {
  const int bps = params.BitsPerSample;
  const TRGB bg = params.PngBackground;
  const int bgGray = Gray8(bg.r, bg.g, bg.b);
  const bool oneBit =
      params.SamplesPerPixel == 1 && bps == 1 && plan.working->PixelFormat() == lx1g && !withAlpha;
  if (oneBit && plan.colourPair) {
    PlanTwoColourPalette(c, plan, bg);
  } else if (oneBit) {
    c.colorType = PNG_COLOR_TYPE_GRAY;
    c.depth = 1;
    c.fill = RowFill::Direct;
    c.background.gray = bgGray >= 128 ? 1 : 0;
  } else if (params.SamplesPerPixel == 1 && !withAlpha && plan.working->IsGrayScale()) {
    PlanGray(c, plan, bps, bgGray);
  } else if (params.SamplesPerPixel == 1) {
    c.colorType = PNG_COLOR_TYPE_PALETTE;
    if (withAlpha)
      PlanTransparentPalette(c, plan, bps, bg);
    else
      PlanOpaquePalette(c, plan, bps, bg);
    c.plte = plan.plte.data();
  } else {
    PlanColour(c, plan, withAlpha, bg);
  }
  c.quantizer = plan.quantizer.get();
}

// The text chunks: as many pairs as the shorter list holds, unusable keywords left out.
std::vector<png_text> TextChunks(const TIOParamsVals& params) {
  const size_t textCount = std::min(params.PngTextKeys.size(), params.PngTextValues.size());
  std::vector<png_text> texts;
  for (size_t i = 0; i < textCount; ++i) {
    if (!UsableKeyword(params.PngTextKeys[i])) continue;
    png_text t{};
    t.compression = PNG_TEXT_COMPRESSION_NONE;
    t.key = const_cast<char*>(params.PngTextKeys[i].c_str());
    t.text = const_cast<char*>(params.PngTextValues[i].c_str());
    t.text_length = std::strlen(t.text);
    texts.push_back(t);
  }
  return texts;
}

}  // namespace

void WritePNGStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                    const TLxMask* alphaMask, ProgressRecord& progress) {
  std::exception_ptr pendingError;
  std::vector<uint8_t> out(kWriteBuffer);
  WriteContext c;
  c.stream = &stream;
  c.progress = &progress;
  c.pendingError = &pendingError;
  c.out = out.data();
  c.start = stream.Position();
  c.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &c, OnError, OnWarning);
  if (!c.png) throw EInvalidGraphic(kCreateError);
  WriteGuard guard{c};
  c.info = png_create_info_struct(c.png);
  if (!c.info) {
    guard.Release();
    throw EInvalidGraphic(kCreateError);
  }
  png_set_write_fn(c.png, &c, OnWrite, OnFlush);

  NormaliseBitsPerSample(params);
  const bool withAlpha =
      alphaMask && MaskHasTransparency(*alphaMask, bitmap.Width(), bitmap.Height());
  WritePlan plan;
  ChooseWorkingBitmap(bitmap, params, withAlpha, plan);
  c.working = plan.working;
  c.mask = alphaMask;
  c.width = png_uint_32(std::max(0, bitmap.Width()));
  c.height = png_uint_32(std::max(0, bitmap.Height()));
  c.interlaced = params.PngInterlaced;
  PlanImage(c, plan, params, withAlpha);

  if (params.DpiX > 0 && params.DpiY > 0) {
    c.hasPhys = true;
    c.ppmX = PixelsPerMetre(params.DpiX);
    c.ppmY = PixelsPerMetre(params.DpiY);
  }
  c.filters = FilterMask(params.PngFilter);
  c.level = params.PngCompression;
  std::vector<png_text> texts = TextChunks(params);
  c.texts = texts.data();
  c.textCount = int(texts.size());

  bool ok = WriteHeader(&c);
  if (ok && UseBands(c)) {
    ok = WriteBands(&c);
  } else if (ok) {
    RowScratch scratch(c, false);
    ok = WriteRows(&c, scratch);
  }
  guard.Release();
  if (!ok) {
    if (pendingError) std::rethrow_exception(pendingError);
    throw EInvalidGraphic(kCreateError);
  }
  if (!FlushOut(&c)) std::rethrow_exception(pendingError);
}

}  // namespace lumenax
