// JPEG writer on libjpeg-turbo. As in the reader, libjpeg calls run inside small phase
// functions that hold no C++ objects; a libjpeg error is turned into ELxJpegException by the
// caller once the phase has returned.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/conversion.h"
#include "bitmap/stream.h"
#include "codecs/jpeg/jpeg.h"
#include "codecs/jpeg/jpeg_glue.h"

#include "codecs/jpeg/jpeg_internal.h"
#include "io/params.h"

namespace lumenax {

namespace {

// libjpeg takes at most this many bytes of marker data (the segment length field counts
// itself too).
constexpr size_t kMaxMarkerData = 65533;
// An ICC chunk: "ICC_PROFILE\0", sequence number, chunk count, then the data.
constexpr size_t kIccHeader = 14;
constexpr size_t kMaxIccChunk = kMaxMarkerData - kIccHeader;  // 65,519

struct MarkerRef {
  int code;
  const uint8_t* data;
  unsigned length;
};

struct WriteSettings {
  J_COLOR_SPACE inSpace;
  int inComponents;
  J_COLOR_SPACE jpegSpace;
  bool jfifToo;  // CMYK files carry a JFIF header as well as the Adobe marker
  UINT16 densityX;
  UINT16 densityY;
  int dctMethod;  // -1: libjpeg's default
  bool optimize;
  int smoothing;
  int quality;
  bool progressive;
  const MarkerRef* markers;
  size_t markerCount;
};

struct WriteContext {
  jpeg_compress_struct cinfo;
  JpegErrorManager err;
  JpegDestination dest;
  bool created = false;
  ProgressRecord* progress = nullptr;
  TLxBitmap* bitmap = nullptr;
  uint8_t* work = nullptr;  // CMYK row
  bool cmyk = false;
  bool inkCmyk = false;
  int rows = 0;
};

bool PhaseCreate(WriteContext* c) {
  if (setjmp(c->err.jump)) return false;
  jpeg_create_compress(&c->cinfo);
  c->created = true;
  return true;
}

bool PhaseStart(WriteContext* c, const WriteSettings* s, int width, int height) {
  if (setjmp(c->err.jump)) return false;
  jpeg_compress_struct& j = c->cinfo;
  j.image_width = JDIMENSION(width);
  j.image_height = JDIMENSION(height);
  j.input_components = s->inComponents;
  j.in_color_space = s->inSpace;
  jpeg_set_defaults(&j);
  jpeg_set_colorspace(&j, s->jpegSpace);
  j.density_unit = 1;
  j.X_density = s->densityX;
  j.Y_density = s->densityY;
  if (s->dctMethod >= 0) j.dct_method = J_DCT_METHOD(s->dctMethod);
  j.optimize_coding = s->optimize ? TRUE : FALSE;
  j.smoothing_factor = s->smoothing;
  jpeg_set_quality(&j, s->quality, TRUE);
  if (s->jfifToo) j.write_JFIF_header = TRUE;
  if (s->progressive) jpeg_simple_progression(&j);
  jpeg_start_compress(&j, TRUE);
  for (size_t i = 0; i < s->markerCount; ++i)
    jpeg_write_marker(&j, s->markers[i].code, s->markers[i].data, s->markers[i].length);
  return true;
}

bool PhaseRows(WriteContext* c) {
  if (setjmp(c->err.jump)) return false;
  jpeg_compress_struct& j = c->cinfo;
  const int w = int(j.image_width);
  while (j.next_scanline < j.image_height) {
    uint8_t* row = c->bitmap->ScanLine(int(j.next_scanline));
    if (c->cmyk) {
      RgbRunToCmyk(row, c->work, w);
      if (c->inkCmyk)
        for (int i = 0; i < 4 * w; ++i) c->work[i] = uint8_t(255 - c->work[i]);
      row = c->work;
    }
    JSAMPROW r = row;
    jpeg_write_scanlines(&j, &r, 1);
    ++c->rows;
    c->progress->RowDone();
    if (c->progress->Aborting() || c->dest.failed) break;
  }
  return true;
}

bool PhaseFinish(WriteContext* c) {
  if (setjmp(c->err.jump)) return false;
  jpeg_finish_compress(&c->cinfo);
  return true;
}

struct CompressGuard {
  WriteContext& c;
  ~CompressGuard() {
    if (c.created) jpeg_destroy_compress(&c.cinfo);
  }
};

bool IsIccChunk(const TLxMarkerList& m, int i) {
  return m.MarkerCode(i) == JPEG_APP0 + 2 && m.MarkerLength(i) >= int(kIccHeader) &&
         std::memcmp(m.MarkerData(i), "ICC_PROFILE\0", 12) == 0;
}

// The record's input profile as APP2 chunks, for files whose markers carry none.
std::vector<std::vector<uint8_t>> IccChunks(const TIOParamsVals& params) {
  std::vector<std::vector<uint8_t>> chunks;
  const TLxICC* icc = params.InputICCProfileIfAny();
  if (!icc || icc->IsEmpty()) return chunks;
  const std::vector<uint8_t>& raw = icc->Raw();
  const size_t count = (raw.size() + kMaxIccChunk - 1) / kMaxIccChunk;
  if (count > 255) return chunks;  // beyond what the chunk numbering can carry
  for (size_t i = 0; i < count; ++i) {
    const size_t from = i * kMaxIccChunk, n = std::min(kMaxIccChunk, raw.size() - from);
    std::vector<uint8_t> chunk(kIccHeader + n);
    std::memcpy(chunk.data(), "ICC_PROFILE\0", 12);
    chunk[12] = uint8_t(i + 1);
    chunk[13] = uint8_t(count);
    std::memcpy(chunk.data() + kIccHeader, raw.data() + from, n);
    chunks.push_back(std::move(chunk));
  }
  return chunks;
}

UINT16 Density(int32_t dpi) {
  if (dpi == 0) dpi = DefaultDPI;
  return UINT16(std::clamp<int32_t>(dpi, 1, 65535));
}

[[noreturn]] void RaiseFromJump(WriteContext& c, ProgressRecord& progress) {
  const int code = c.err.pub.msg_code;
  const char* text = JpegMessageText(code);
  progress.Fail(code == JERR_IMAGE_TOO_BIG ? TLxFailure::TooLarge : TLxFailure::Unsupported, text);
  throw ELxJpegException(text);
}

}  // namespace

void WriteJpegStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                     ProgressRecord& progress) {
  WriteJpegStream(stream, bitmap, params, progress, false);
}

void WriteJpegStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                     ProgressRecord& progress, bool inkCmyk) {
  if (bitmap.Width() == 0 || bitmap.Height() == 0) {
    progress.Fail(TLxFailure::NoImage, "empty image");
    return;
  }
  TLxBitmap* source = &bitmap;
  std::unique_ptr<TLxBitmap> copy;
  if (bitmap.PixelFormat() != lx24RGB) {
    copy = std::make_unique<TLxBitmap>();
    if (!copy->Allocate(bitmap.Width(), bitmap.Height(), lx24RGB)) {
      progress.Fail(TLxFailure::OutOfMemory);
      return;
    }
    copy->CopyAndConvertFormat(bitmap);
    source = copy.get();
  }

  WriteSettings s{};
  s.inSpace = JCS_EXT_BGR;
  s.inComponents = 3;
  switch (params.JpegColorSpace) {
    case jcGrayScale:
      s.jpegSpace = JCS_GRAYSCALE;
      break;
    case jcYCbCr:
      s.jpegSpace = JCS_YCbCr;
      break;
    case jcCMYK:
      s.inSpace = JCS_CMYK;
      s.inComponents = 4;
      s.jpegSpace = JCS_CMYK;
      s.jfifToo = true;
      break;
    case jcYCbCrK:
      s.inSpace = JCS_CMYK;
      s.inComponents = 4;
      s.jpegSpace = JCS_YCCK;
      break;
    default:
      s.jpegSpace = JCS_RGB;
      break;
  }
  s.densityX = Density(params.DpiX);
  s.densityY = Density(params.DpiY);
  s.dctMethod = params.JpegDctMethod == 0   ? int(JDCT_ISLOW)
                : params.JpegDctMethod == 1 ? int(JDCT_IFAST)
                : params.JpegDctMethod == 2 ? int(JDCT_FLOAT)
                                            : -1;
  s.optimize = params.JpegOptimizeCoding;
  // Factors above 100 would give the smoothing filter negative weights.
  s.smoothing = std::clamp<int32_t>(params.JpegSmoothing, 0, 100);
  s.quality = params.JpegQuality;
  s.progressive = params.JpegProgressive;

  // The file's markers in order (libjpeg writes its own Adobe marker), and the record's ICC
  // profile when the markers carry none.
  TLxMarkerList& markers = params.JpegMarkers;
  markers.Sort();
  std::vector<MarkerRef> refs;
  bool haveIcc = false;
  for (int i = 0; i < markers.Count(); ++i) {
    if (markers.MarkerCode(i) == JPEG_APP0 + 14) continue;
    if (size_t(markers.MarkerLength(i)) > kMaxMarkerData) continue;
    haveIcc = haveIcc || IsIccChunk(markers, i);
    refs.push_back(
        {markers.MarkerCode(i), markers.MarkerData(i), unsigned(markers.MarkerLength(i))});
  }
  std::vector<std::vector<uint8_t>> icc;
  if (!haveIcc) icc = IccChunks(params);
  if (!icc.empty()) {
    auto at = std::find_if(refs.begin(), refs.end(),
                           [](const MarkerRef& r) { return r.code > JPEG_APP0 + 2; });
    std::vector<MarkerRef> chunkRefs;
    for (const auto& chunk : icc)
      chunkRefs.push_back({JPEG_APP0 + 2, chunk.data(), unsigned(chunk.size())});
    refs.insert(at, chunkRefs.begin(), chunkRefs.end());
  }
  s.markers = refs.data();
  s.markerCount = refs.size();

  auto ioBuffer = std::make_unique<JOCTET[]>(kJpegIoBufferSize);
  std::vector<uint8_t> work(s.inComponents == 4 ? size_t(source->Width()) * 4 : 0);
  auto c = std::make_unique<WriteContext>();
  std::memset(&c->cinfo, 0, sizeof c->cinfo);
  c->progress = &progress;
  c->cinfo.err = InitJpegErrorManager(c->err);
  std::exception_ptr streamError;
  c->dest.buffer = ioBuffer.get();
  c->dest.pendingError = &streamError;
  CompressGuard guard{*c};
  if (!PhaseCreate(c.get())) RaiseFromJump(*c, progress);
  AttachJpegDestination(&c->cinfo, c->dest, stream);
  if (progress.Aborting()) return;

  if (!PhaseStart(c.get(), &s, source->Width(), source->Height())) RaiseFromJump(*c, progress);
  c->bitmap = source;
  c->work = work.data();
  c->cmyk = s.inComponents == 4;
  c->inkCmyk = inkCmyk;
  progress.BeginRows(source->Height());
  if (!PhaseRows(c.get())) RaiseFromJump(*c, progress);
  if (!progress.Aborting() && !c->dest.failed && !PhaseFinish(c.get())) RaiseFromJump(*c, progress);
  if (streamError) {
    progress.Abort();
    std::rethrow_exception(streamError);
  }
  if (c->dest.failed) progress.Fail(TLxFailure::WriteFailed, "short write");
}

}  // namespace lumenax
