// Camera RAW reader on LibRaw. The output is what LibRaw's own converter gives with the
// camera's white balance: demosaiced, in sRGB with its gamma, auto-brightened, turned the
// way the camera was held.
#include <libraw/libraw.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/codec.h"
#include "codecs/raw/raw.h"
#include "codecs/raw/tiff_structure.h"
#include "codecs/raw/raw_datastream.h"
#include "io/params.h"

namespace lumenax {

namespace {

// A raw frame holds at least half a bit of data per pixel: no camera compresses further. A
// header that announces more pixels than its file can hold is refused before LibRaw
// allocates for them.
constexpr int64_t kMaxRawPixelsPerByte = 16;
// A decoder that asks for this many bytes past the end of the file has run out of data.
constexpr int64_t kTruncatedPastEnd = 1024;
// LibRaw's stages run in the order of their flag bits; the last one used is the stretch.
constexpr int kStageCount = 20;

struct LibRawDeleter {
  void operator()(LibRaw* raw) const { delete raw; }
};

struct Session {
  ProgressRecord& progress;
  int lastPercent = -1;
  bool dataError = false;
  bool memoryError = false;
};

int StageIndex(LibRaw_progress stage) {
  int index = 0;
  for (unsigned bits = unsigned(stage); bits > 1; bits >>= 1) ++index;
  return stage == LIBRAW_PROGRESS_START ? 0 : index + 1;
}

int OnProgress(void* data, LibRaw_progress stage, int iteration, int expected) {
  auto* s = static_cast<Session*>(data);
  int part = expected > 0 ? std::clamp(iteration, 0, expected) * 100 / expected : 0;
  int percent = std::min(99, (StageIndex(stage) * 100 + part) * 9 / (kStageCount * 10));
  if (percent > s->lastPercent) {
    s->lastPercent = percent;
    s->progress.Report(percent);
  }
  // Non-zero stops LibRaw at its next stage.
  return s->progress.Aborting() ? 1 : 0;
}

void OnDataError(void* data, const char*, const int) {
  static_cast<Session*>(data)->dataError = true;
}

void OnMemoryError(void* data, const char*, const char*) {
  static_cast<Session*>(data)->memoryError = true;
}

std::unique_ptr<LibRaw, LibRawDeleter> NewLibRaw() {
  // LibRaw's default error callbacks print to stderr; ours only take note.
  return std::unique_ptr<LibRaw, LibRawDeleter>(
      new LibRaw(LIBRAW_OPIONS_NO_MEMERR_CALLBACK | LIBRAW_OPIONS_NO_DATAERR_CALLBACK));
}

// Records why LibRaw refused.
void FailFrom(int code, const Session& s, int64_t offset) {
  ProgressRecord& p = s.progress;
  switch (code) {
    case LIBRAW_CANCELLED_BY_CALLBACK:
      // The handler that cancelled has set Aborting and the reason already.
      p.Abort();
      return;
    case LIBRAW_FILE_UNSUPPORTED:
      p.Fail(TLxFailure::BadSignature, 0, "not a camera RAW file");
      return;
    case LIBRAW_REQUEST_FOR_NONEXISTENT_IMAGE:
      p.Fail(TLxFailure::NoImage, "no raw image in the file");
      return;
    case LIBRAW_NOT_IMPLEMENTED:
      p.Fail(TLxFailure::Unsupported, "raw data of a kind LibRaw does not decode");
      return;
    case LIBRAW_UNSUFFICIENT_MEMORY:
      p.Fail(TLxFailure::OutOfMemory, "out of memory decoding raw data");
      return;
    case LIBRAW_TOO_BIG:
    case LIBRAW_MEMPOOL_OVERFLOW:
      p.Fail(TLxFailure::TooLarge, "raw image too large");
      return;
    case LIBRAW_IO_ERROR:
      p.Fail(TLxFailure::Truncated, offset, "truncated raw data");
      return;
    default:
      p.Fail(TLxFailure::BadData, offset, "corrupt raw data");
      return;
  }
}

// Opens the data and checks that the raw frame fits its file; false (with a reason) if not.
bool Open(LibRaw& raw, TLxRawDatastream& data, Session& s, int64_t size) {
  int rc = raw.open_datastream(&data);
  if (rc != LIBRAW_SUCCESS) {
    FailFrom(rc, s, -1);
    return false;
  }
  const libraw_image_sizes_t& sz = raw.imgdata.sizes;
  if (sz.raw_width == 0 || sz.raw_height == 0 || sz.width == 0 || sz.height == 0) {
    s.progress.Fail(TLxFailure::BadHeader, "raw image without size");
    return false;
  }
  if (int64_t(sz.raw_width) * sz.raw_height > kMaxRawPixelsPerByte * size) {
    s.progress.Fail(TLxFailure::TooLarge, "raw frame larger than its file can hold");
    return false;
  }
  return true;
}

}  // namespace

bool IsCameraRaw(TStream& stream, int64_t start, int64_t size, bool bySizeToo) {
  if (size <= 0 || !TiffStructureIsSound(stream, start, size)) return false;
  auto opens = [&](int64_t padding) {
    auto raw = NewLibRaw();
    TLxRawDatastream data(stream, start, size, padding);
    return raw->open_datastream(&data) == LIBRAW_SUCCESS;
  };
  if (!opens(0)) return false;
  // A file recognised by its size alone is no longer recognised one byte longer.
  return bySizeToo || opens(1);
}

void ReadCameraRaw(TLxReadArgs& a) {
  ProgressRecord& progress = a.Progress;
  TIOParamsVals& params = a.Params;
  const bool native = params.IsNativePixelFormat;
  const int64_t start = a.Stream.Position();
  const int64_t size = a.Stream.Size() - start;
  Session s{progress};
  auto raw = NewLibRaw();
  raw->set_dataerror_handler(OnDataError, &s);
  raw->set_memerror_handler(OnMemoryError, &s);
  if (!a.InfoOnly) raw->set_progress_handler(OnProgress, &s);
  libraw_output_params_t& out = raw->imgdata.params;
  out.use_camera_wb = 1;
  out.output_bps = native ? 16 : 8;
  if (!TiffStructureIsSound(a.Stream, start, size)) {
    progress.Fail(TLxFailure::BadData, start, "damaged TIFF structure");
    return;
  }
  a.Stream.Seek(start, soBeginning);
  TLxRawDatastream data(a.Stream, start, size);
  if (!Open(*raw, data, s, size)) return;

  params.BitsPerSample = native ? 16 : 8;
  params.SamplesPerPixel = 3;
  if (a.InfoOnly) {
    // The size the processed image will have: after rotation, stretching and turning.
    raw->adjust_sizes_info_only();
    params.Width = raw->imgdata.sizes.iwidth;
    params.Height = raw->imgdata.sizes.iheight;
    return;
  }

  data.ClearPastEnd();
  int rc = raw->unpack();
  if (rc == LIBRAW_SUCCESS && (data.BytesPastEnd() > kTruncatedPastEnd)) {
    progress.Fail(TLxFailure::Truncated, start + size, "truncated raw data");
    return;
  }
  if (rc == LIBRAW_SUCCESS && s.dataError) {
    progress.Fail(TLxFailure::BadData, "corrupt raw data");
    return;
  }
  if (rc == LIBRAW_SUCCESS) rc = raw->dcraw_process();
  if (rc != LIBRAW_SUCCESS || progress.Aborting()) {
    if (!progress.Aborting() || rc != LIBRAW_SUCCESS) FailFrom(rc, s, -1);
    return;
  }
  if (s.memoryError) {
    progress.Fail(TLxFailure::OutOfMemory, "out of memory decoding raw data");
    return;
  }

  int width = 0, height = 0, colors = 0, bps = 0;
  raw->get_mem_image_format(&width, &height, &colors, &bps);
  if (width <= 0 || height <= 0 || (colors != 1 && colors != 3) || bps != out.output_bps) {
    progress.Fail(TLxFailure::Unsupported, "raw image of an unexpected layout");
    return;
  }
  const int sampleBytes = bps / 8;
  const size_t stride = size_t(width) * colors * sampleBytes;
  std::vector<uint8_t> image;
  try {
    image.resize(stride * size_t(height));
  } catch (const std::bad_alloc&) {
    progress.Fail(TLxFailure::OutOfMemory, "out of memory for the raw image");
    return;
  }
  // 8-bit pixels in the bitmap's blue, green, red order; 16-bit ones in red, green, blue.
  rc = raw->copy_mem_image(image.data(), int(stride), native ? 0 : 1);
  if (rc != LIBRAW_SUCCESS) {
    FailFrom(rc, s, -1);
    return;
  }
  raw.reset();

  a.Bitmap.ReallocPending = true;
  if (!a.Bitmap.Allocate(width, height, native ? lxRGB48 : lx24RGB)) {
    progress.Fail(TLxFailure::OutOfMemory, "out of memory for the bitmap");
    return;
  }
  params.Width = width;
  params.Height = height;
  for (int y = 0; y < height; ++y) {
    const uint8_t* src = image.data() + stride * size_t(y);
    uint8_t* dst = a.Bitmap.ScanLine(y);
    if (colors == 3) {
      std::memcpy(dst, src, stride);
    } else {
      // A sensor without colour filters: gray in every channel.
      for (int x = 0; x < width; ++x)
        for (int c = 0; c < 3; ++c)
          std::memcpy(dst + (size_t(x) * 3 + c) * sampleBytes, src + size_t(x) * sampleBytes,
                      size_t(sampleBytes));
    }
  }
}

}  // namespace lumenax
