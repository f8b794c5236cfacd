// JPEG reader on libjpeg-turbo.
//
// Every libjpeg call that can fail runs inside one of the small phase functions below, which
// set the error manager's jump point and keep their state in a plain ReadContext: nothing
// with a destructor lives in a frame that the jump may skip. The parameter record, the bitmap
// and the buffers are handled in ReadJpegStream between the phases.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/conversion.h"
#include "bitmap/stream.h"
#include "codecs/jpeg/jpeg.h"
#include "codecs/jpeg/jpeg_glue.h"

#include "codecs/jpeg/jpeg_internal.h"
#include "codecs/tiff/exif.h"
#include "io/params.h"

namespace lumenax {

namespace {

// How decoded rows reach the bitmap.
enum class RowMode : uint8_t {
  Direct,     // libjpeg writes the bitmap row as it is (gray, blue-green-red, Y-Cb-Cr)
  GrayToRgb,  // gray staged, each byte written three times
  Cmyk,       // CMYK straight into an lxCMYK row (complemented with InvertCmyk)
  CmykToRgb,  // CMYK staged, converted to blue-green-red
};

struct ReadContext;

struct ReadMonitor {
  jpeg_progress_mgr pub;
  ReadContext* context;
};

struct ReadContext {
  jpeg_decompress_struct cinfo;
  JpegErrorManager err;
  JpegSource src;
  ReadMonitor monitor;
  ProgressRecord* progress = nullptr;
  bool created = false;
  // The jump ended a phase: message code of the libjpeg error (err.override tells when it
  // was something else).
  bool failed = false;

  // Row phase.
  TLxBitmap* bitmap = nullptr;
  uint8_t* work = nullptr;
  RowMode mode = RowMode::Direct;
  bool invertCmyk = false;
  int rowLimit = 0;
  int rows = 0;
  int width = 0;
};

void OnMonitor(j_common_ptr cinfo) {
  ReadContext* c = reinterpret_cast<ReadMonitor*>(cinfo->progress)->context;
  if (c->cinfo.input_scan_number > kJpegMaxScans) {
    c->err.override = TLxFailure::TooLarge;
    std::longjmp(c->err.jump, 1);
  }
  if (c->progress->Aborting()) {
    c->err.override = TLxFailure::Cancelled;
    std::longjmp(c->err.jump, 1);
  }
}

// ---------------------------------------------------------------- phases

bool PhaseCreate(ReadContext* c) {
  if (setjmp(c->err.jump)) return false;
  jpeg_create_decompress(&c->cinfo);
  c->created = true;
  c->cinfo.mem->max_memory_to_use = kJpegMaxMemory;
  c->monitor.pub.progress_monitor = OnMonitor;
  c->monitor.context = c;
  c->cinfo.progress = &c->monitor.pub;
  return true;
}

bool PhaseTables(ReadContext* c, TStream* tables) {
  if (setjmp(c->err.jump)) return false;
  AttachJpegSource(&c->cinfo, c->src, *tables);
  jpeg_read_header(&c->cinfo, FALSE);
  return true;
}

bool PhaseHeader(ReadContext* c, TStream* stream) {
  if (setjmp(c->err.jump)) return false;
  AttachJpegSource(&c->cinfo, c->src, *stream);
  jpeg_save_markers(&c->cinfo, JPEG_COM, 0xFFFF);
  for (int i = 0; i < 16; ++i) jpeg_save_markers(&c->cinfo, JPEG_APP0 + i, 0xFFFF);
  jpeg_read_header(&c->cinfo, TRUE);
  return true;
}

bool PhaseDimensions(ReadContext* c) {
  if (setjmp(c->err.jump)) return false;
  jpeg_calc_output_dimensions(&c->cinfo);
  return true;
}

bool PhaseStart(ReadContext* c) {
  if (setjmp(c->err.jump)) return false;
  jpeg_start_decompress(&c->cinfo);
  return true;
}

bool PhaseRows(ReadContext* c) {
  if (setjmp(c->err.jump)) return false;
  jpeg_decompress_struct& d = c->cinfo;
  while (d.output_scanline < d.output_height && c->rows < c->rowLimit) {
    uint8_t* row = c->bitmap->ScanLine(c->rows);
    JSAMPROW target =
        c->mode == RowMode::GrayToRgb || c->mode == RowMode::CmykToRgb ? c->work : row;
    if (jpeg_read_scanlines(&d, &target, 1) != 1) break;
    const int w = c->width;
    switch (c->mode) {
      case RowMode::Direct:
        break;
      case RowMode::GrayToRgb:
        for (int x = 0; x < w; ++x) row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = c->work[x];
        break;
      case RowMode::Cmyk:
        if (c->invertCmyk)
          for (int i = 0; i < 4 * w; ++i) row[i] = uint8_t(255 - row[i]);
        break;
      case RowMode::CmykToRgb:
        if (c->invertCmyk)
          for (int i = 0; i < 4 * w; ++i) c->work[i] = uint8_t(255 - c->work[i]);
        CmykRunToRgb(c->work, row, w, 3);
        break;
    }
    ++c->rows;
    c->progress->RowDone();
    if (c->progress->Aborting()) break;
  }
  return true;
}

// Ends the decompression; its errors do not matter any more.
void PhaseFinish(ReadContext* c, bool complete) {
  if (setjmp(c->err.jump)) return;
  if (complete)
    jpeg_finish_decompress(&c->cinfo);
  else
    jpeg_abort_decompress(&c->cinfo);
}

// Destroys the decompressor on every way out.
struct DecompressGuard {
  ReadContext& c;
  ~DecompressGuard() {
    if (c.created) jpeg_destroy_decompress(&c.cinfo);
  }
};

// ---------------------------------------------------------------- helpers

// Where in the stream libjpeg has got to.
int64_t InputOffset(ReadContext& c, int64_t attachedAt) {
  return attachedAt + c.src.consumed - int64_t(c.src.pub.bytes_in_buffer);
}

// Records why a phase ended through the jump.
void FailFromJump(ReadContext& c, ProgressRecord& progress, TLxFailure otherwise, int64_t offset) {
  if (c.err.override == TLxFailure::Cancelled) {
    progress.Abort();
    return;
  }
  if (c.err.override == TLxFailure::TooLarge) {
    progress.Fail(TLxFailure::TooLarge, offset, "too many scans");
    return;
  }
  const int code = c.err.pub.msg_code;
  if (c.src.hitEnd) {
    progress.Fail(TLxFailure::Truncated, offset);
  } else if (code == JERR_NO_BACKING_STORE || code == JERR_OUT_OF_MEMORY) {
    progress.Fail(TLxFailure::TooLarge, offset, JpegMessageText(code));
  } else if (code == JERR_CONVERSION_NOTIMPL || code == JERR_BAD_PRECISION ||
             code == JERR_NOT_COMPILED || code == JERR_ARITH_NOTIMPL) {
    progress.Fail(TLxFailure::Unsupported, offset, JpegMessageText(code));
  } else {
    progress.Fail(otherwise, offset, JpegMessageText(code));
  }
}

// The automatic scale: the largest reduction that still gives at least the wished size.
int AutoScaleDenominator(const jpeg_decompress_struct& d, int32_t wishW, int32_t wishH) {
  if (wishW <= 0 || wishH <= 0) return 1;
  for (int den : {8, 4, 2, 1}) {
    if (int64_t(d.image_width / unsigned(den)) >= wishW &&
        int64_t(d.image_height / unsigned(den)) >= wishH)
      return den;
  }
  return 1;
}

// At least one bit per 8x8 block of each component must follow for a sequential Huffman
// image: a header that promises more is not backed by data.
bool SequentialDataPlausible(const jpeg_decompress_struct& d, int64_t remaining) {
  if (d.progressive_mode || d.arith_code) return true;
  uint64_t blocks = 0;
  for (int i = 0; i < d.num_components; ++i)
    blocks += uint64_t(d.comp_info[i].width_in_blocks) * d.comp_info[i].height_in_blocks;
  return uint64_t(std::max<int64_t>(remaining, 0)) * 8 >= blocks;
}

void TakeMarkers(const jpeg_decompress_struct& d, TLxMarkerList& markers) {
  markers.Clear();
  bool firstApp0 = true;
  for (jpeg_saved_marker_ptr m = d.marker_list; m; m = m->next) {
    if (m->marker == JPEG_APP0 && firstApp0) {
      firstApp0 = false;
      continue;
    }
    markers.AddMarker(m->marker, m->data, int(m->data_length));
  }
}

// The first "Exif" APP1 block fills the EXIF group. The resolution that the JPEG header
// gave stays, unless the header gave none (1 x 1, a bare aspect ratio): then the EXIF
// resolution, truncated, becomes DpiX and DpiY. ExifXResolution/ExifYResolution keep the
// EXIF values either way.
void HandOverExif(TIOParamsVals& params, TLxBitmap& bitmap) {
  const TLxMarkerList& markers = params.JpegMarkers;
  for (int i = 0; i < markers.Count(); ++i) {
    if (markers.MarkerCode(i) != JPEG_APP0 + 1 ||
        !IsExifBlock(markers.MarkerData(i), size_t(markers.MarkerLength(i))))
      continue;
    const int32_t dpiX = params.DpiX, dpiY = params.DpiY;
    if (!DecodeExifBlock(markers.MarkerData(i), size_t(markers.MarkerLength(i)), params)) break;
    const double exifX = params.ExifXResolution, exifY = params.ExifYResolution;
    if (dpiX == 1 && dpiY == 1) {
      params.SetDpiX(exifX);
      params.SetDpiY(exifY);
      params.DpiX = int32_t(std::clamp(std::trunc(exifX), 0.0, 2147483647.0));
      params.DpiY = int32_t(std::clamp(std::trunc(exifY), 0.0, 2147483647.0));
    } else {
      params.DpiX = dpiX;
      params.DpiY = dpiY;
    }
    const int orientation = params.ExifOrientation;
    if (params.JpegAutoOrient && !bitmap.IsEmpty() && orientation >= 2 && orientation <= 8) {
      AutoOrient(bitmap, orientation);
      // The image is upright now: a re-save must not turn it again.
      params.SetOrientation(1);
    }
    break;
  }
}

void HandOverMetadata(TIOParamsVals& params, TLxBitmap& bitmap) {
  const TLxMarkerList& markers = params.JpegMarkers;
  for (int i = 0; i < markers.Count(); ++i) {
    if (markers.MarkerCode(i) == JPEG_APP0 + 13 &&
        params.IPTC_Info.LoadFromBuffer(markers.MarkerData(i), markers.MarkerLength(i)))
      break;
  }
  HandOverExif(params, bitmap);
  for (int i = 0; i < markers.Count(); ++i) {
    if (markers.MarkerCode(i) != JPEG_APP0 + 1) continue;
    int64_t length = 0;
    if (const char* text = IsXmpBlock(markers.MarkerData(i), markers.MarkerLength(i), &length)) {
      params.XMP_Info.assign(text, size_t(length));
      break;
    }
  }
}

int32_t ReadImage(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                  const TLxJpegReadOptions& options, ProgressRecord& progress) {
  params.JpegWarningCount = 0;
  params.JpegLastWarningCode = 0;

  const int64_t start = FindJpegStart(stream);
  if (start < 0) {
    progress.Fail(TLxFailure::BadSignature, stream.Position(), "no JPEG start marker");
    return 0;
  }
  stream.SetPosition(start);

  if (options.ReadIccProfile) {
    std::vector<uint8_t> profile = CollectJpegIccProfile(stream);
    if (!profile.empty()) params.InputICCProfile().LoadFromBuffer(std::move(profile));
  }

  auto ioBuffer = std::make_unique<JOCTET[]>(kJpegIoBufferSize);
  auto c = std::make_unique<ReadContext>();
  std::memset(&c->cinfo, 0, sizeof c->cinfo);
  c->progress = &progress;
  c->src.buffer = ioBuffer.get();
  std::exception_ptr streamError;
  c->src.pendingError = &streamError;
  c->cinfo.err = InitJpegErrorManager(c->err);
  DecompressGuard guard{*c};
  if (!PhaseCreate(c.get())) {
    progress.Fail(TLxFailure::OutOfMemory, start);
    return 0;
  }
  jpeg_decompress_struct& d = c->cinfo;

  int32_t rowsDone = 0;
  bool headerRead = false;
  bool started = false;
  if (options.TablesStream && options.TablesStream != &stream) {
    const int64_t tablesAt = options.TablesStream->Position();
    if (!PhaseTables(c.get(), options.TablesStream))
      FailFromJump(*c, progress, TLxFailure::BadHeader, InputOffset(*c, tablesAt));
    else if (c->src.empty)
      progress.Fail(TLxFailure::Truncated, tablesAt, "empty tables stream");
  }
  if (!progress.Aborting()) {
    if (!PhaseHeader(c.get(), &stream))
      FailFromJump(*c, progress, TLxFailure::BadHeader, InputOffset(*c, start));
    else
      headerRead = true;
  }

  if (headerRead) {
    params.BitsPerSample = 8;
    J_COLOR_SPACE out = JCS_UNKNOWN;
    switch (d.jpeg_color_space) {
      case JCS_GRAYSCALE:
        params.JpegColorSpace = jcGrayScale;
        params.SamplesPerPixel = 1;
        out = JCS_GRAYSCALE;
        break;
      case JCS_RGB:
        params.JpegColorSpace = jcRGB;
        params.SamplesPerPixel = 3;
        out = JCS_EXT_BGR;
        break;
      case JCS_YCbCr:
        params.JpegColorSpace = jcYCbCr;
        params.SamplesPerPixel = 3;
        out = JCS_EXT_BGR;
        break;
      case JCS_CMYK:
        params.JpegColorSpace = jcCMYK;
        params.SamplesPerPixel = 4;
        out = JCS_CMYK;
        break;
      case JCS_YCCK:
        params.JpegColorSpace = jcYCbCrK;
        params.SamplesPerPixel = 4;
        out = JCS_CMYK;
        break;
      default:
        break;
    }
    if (options.RawYCbCr) out = JCS_YCbCr;
    d.out_color_space = out;

    switch (params.JpegDctMethod) {
      case 0:
        d.dct_method = JDCT_ISLOW;
        break;
      case 1:
        d.dct_method = JDCT_IFAST;
        break;
      case 2:
        d.dct_method = JDCT_FLOAT;
        break;
      default:
        break;
    }

    switch (d.density_unit) {
      case 0:
      case 1:
        params.SetDpiX(int32_t(d.X_density));
        params.SetDpiY(int32_t(d.Y_density));
        break;
      case 2:
        params.SetDpiX(int32_t(std::trunc(d.X_density * 2.54)));
        params.SetDpiY(int32_t(std::trunc(d.Y_density * 2.54)));
        break;
      default:
        break;
    }

    params.FreeColorMap();
    params.JpegProgressive = d.progressive_mode != 0;
    params.JpegFullWidth = int32_t(d.image_width);
    params.JpegFullHeight = int32_t(d.image_height);

    d.scale_num = 1;
    switch (params.JpegScale) {
      case 0:
        d.scale_denom = unsigned(AutoScaleDenominator(d, params.Width, params.Height));
        break;
      case 1:
        d.scale_denom = 1;
        break;
      case 2:
        d.scale_denom = 2;
        break;
      case 3:
        d.scale_denom = 4;
        break;
      case 4:
        d.scale_denom = 8;
        break;
      default:
        break;
    }
    params.JpegScaleUsed = int32_t(d.scale_denom);

    if (out == JCS_UNKNOWN) {
      // Two components, or five and more: no colour space to convert from.
      progress.Fail(TLxFailure::Unsupported, start);
    } else if (options.HeaderOnly) {
      params.Width = int32_t(d.image_width);
      params.Height = int32_t(d.image_height);
    } else if (!PhaseDimensions(c.get())) {
      FailFromJump(*c, progress, TLxFailure::BadHeader, InputOffset(*c, start));
    } else if (uint64_t(d.output_width) * d.output_height > kJpegMaxPixels ||
               !SequentialDataPlausible(d, stream.Size() - InputOffset(*c, start))) {
      progress.Fail(TLxFailure::TooLarge, start);
    } else if (!PhaseStart(c.get())) {
      FailFromJump(*c, progress, TLxFailure::BadData, InputOffset(*c, start));
    } else {
      started = true;
    }
  }

  if (started) {
    params.Width = int32_t(d.output_width);
    params.Height = int32_t(d.output_height);
    const bool native = options.NativeLayout;
    lumenax::PixelFormat pf = lx24RGB;
    if (native && d.out_color_space == JCS_GRAYSCALE)
      pf = lx8g;
    else if (native && d.out_color_space == JCS_CMYK)
      pf = lxCMYK;
    std::vector<uint8_t> work(size_t(d.output_width) * 4);
    if (d.output_components != (d.out_color_space == JCS_GRAYSCALE ? 1
                                : d.out_color_space == JCS_CMYK    ? 4
                                                                   : 3)) {
      progress.Fail(TLxFailure::Unsupported, start);
    } else if (!bitmap.Allocate(int(d.output_width), int(d.output_height), pf)) {
      progress.Fail(TLxFailure::OutOfMemory, start);
    } else {
      c->bitmap = &bitmap;
      c->work = work.data();
      c->width = int(d.output_width);
      c->invertCmyk = options.InvertCmyk;
      c->rowLimit = options.RowLimit < 0 ? bitmap.Height() : options.RowLimit;
      if (d.out_color_space == JCS_GRAYSCALE)
        c->mode = pf == lx8g ? RowMode::Direct : RowMode::GrayToRgb;
      else if (d.out_color_space == JCS_CMYK)
        c->mode = pf == lxCMYK ? RowMode::Cmyk : RowMode::CmykToRgb;
      else
        c->mode = RowMode::Direct;
      progress.BeginRows(int(d.output_height));
      if (!PhaseRows(c.get()))
        FailFromJump(*c, progress, TLxFailure::BadData, InputOffset(*c, start));
      rowsDone = c->rows;
      if (!progress.Aborting()) {
        // The stream ended early when the decoder ran out of entropy-coded data, or when
        // scans may be missing. A sequential single-scan image that lacks only its
        // end-of-image marker is complete.
        const bool multiScan = d.progressive_mode || d.comps_in_scan < d.num_components;
        if (c->src.hitEnd && (c->err.dataMissing || multiScan))
          progress.Fail(TLxFailure::Truncated, InputOffset(*c, start));
        else if (rowsDone < c->rowLimit)
          progress.Fail(TLxFailure::Truncated, InputOffset(*c, start), "fewer rows than asked");
      }
    }
  }

  // Clean-up, whatever happened.
  TakeMarkers(d, params.JpegMarkers);
  if (started && !progress.Aborting()) {
    // libjpeg refuses to finish a decompression that delivered fewer rows than the image
    // has (a row limit): that one is abandoned instead.
    PhaseFinish(c.get(), d.output_scanline >= d.output_height);
    ReturnUnusedJpegInput(c->src);
  }
  if (c->err.warnings > 0) {
    params.JpegWarningCount = c->err.warnings;
    params.JpegLastWarningCode = c->err.lastWarning;
  }
  if (streamError) std::rethrow_exception(streamError);
  return rowsDone;
}

}  // namespace

int32_t ReadJpegStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                       const TLxJpegReadOptions& options, ProgressRecord& progress) {
  if (params.JpegLoadExifThumbnail) {
    // A header pass over the image's metadata decodes the EXIF block; when it holds a
    // thumbnail, that is the image delivered. The stream goes back to where this image
    // starts, not to the stream's start: a stream may hold several images.
    const int64_t entry = stream.Position();
    const int32_t wishW = params.Width, wishH = params.Height;
    if (params.ExifThumbnail) params.ExifThumbnail->FreeImage(true);
    params.JpegLoadExifThumbnail = false;
    bool probeFailed = false;
    ProgressRecord probe;
    probe.AbortingPtr = &probeFailed;
    TLxBitmap none;
    TLxJpegReadOptions header = options;
    header.HeaderOnly = true;
    header.ReadMetadata = true;
    header.ReadIccProfile = false;
    header.TablesStream = nullptr;
    ReadImage(stream, none, params, header, probe);
    HandOverMetadata(params, none);
    stream.SetPosition(entry);
    params.JpegLoadExifThumbnail = true;
    if (params.ExifThumbnail && !params.ExifThumbnail->IsEmpty()) {
      bitmap.Assign(*params.ExifThumbnail);
      params.Width = bitmap.Width();
      params.Height = bitmap.Height();
      return 0;
    }
    params.Width = wishW;
    params.Height = wishH;
  }
  int32_t rows = ReadImage(stream, bitmap, params, options, progress);
  if (options.ReadMetadata) HandOverMetadata(params, bitmap);
  return rows;
}

}  // namespace lumenax
