// GIF reader: the block parser that reads one frame, and the composition that shows a frame
// of an animation drawn over the frames before it.
//
// Every byte is hostile. The screen and frame sizes are checked against the allocation cap
// and against what the file's remaining bytes can describe before anything is allocated; the
// index buffer starts at 0, so pixels a broken code stream never reaches are index 0 and the
// load reports the break. Palette lookups go through a 256-entry table whose entries beyond
// the file's table are black, and every draw of the composition is clipped to the canvas.
#include <algorithm>
#include <cstring>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/byte_reader.h"
#include "bitmap/mask.h"
#include "bitmap/progress.h"
#include "bitmap/render.h"
#include "bitmap/stream.h"
#include "codecs/gif/gif.h"
#include "io/params.h"

namespace lumenax {

uint64_t GifPixelLimit = uint64_t(1) << 28;

namespace {

// A 12-bit code yields at most 4,096 pixels, a shorter code fewer: a byte of code stream
// describes at most 8 * 4096 / 12 pixels.
constexpr uint64_t kPixelsPerByte = 2731;
// Animations are re-read once per frame; files up to this size are read into memory once.
constexpr int64_t kBufferLimit = int64_t(512) << 20;

constexpr TRGB kBlack{0, 0, 0};
constexpr TRGB kWhite{255, 255, 255};

struct ColourTable {
  bool present = false;
  int bits = 0;  // size field + 1
  TRGB colours[256] = {};
};

// Reads a table of 2^bits red-green-blue triples; false when the stream ends first.
bool ReadTable(ByteReader& r, int bits, ColourTable& t) {
  uint8_t raw[768];
  const int count = 1 << bits;
  t.present = true;
  t.bits = bits;
  const bool ok = r.bytes(raw, 3 * count);
  for (int i = 0; i < count; ++i)
    t.colours[i] = CreateRGB(raw[3 * i], raw[3 * i + 1], raw[3 * i + 2]);
  for (int i = count; i < 256; ++i) t.colours[i] = kBlack;
  return ok;
}

// Skips data sub-blocks up to the zero-length block or the end of the stream.
void SkipSubBlocks(TStream& s) {
  const int64_t size = s.Size();
  for (;;) {
    uint8_t n = 0;
    if (s.Read(&n, 1) != 1 || n == 0) return;
    const int64_t next = s.Position() + n;
    if (next >= size) {
      s.Seek(0, soEnd);
      return;
    }
    s.Seek(next, soBeginning);
  }
}

// Comment sub-blocks: each becomes a string up to its first zero byte; empty ones are dropped.
void ReadComments(TStream& s, std::vector<std::string>& comments) {
  uint8_t block[255];
  for (;;) {
    uint8_t n = 0;
    if (s.Read(&n, 1) != 1 || n == 0) return;
    const int64_t got = std::max<int64_t>(s.Read(block, n), 0);
    const size_t len = size_t(std::find(block, block + got, uint8_t(0)) - block);
    if (len > 0) comments.emplace_back(reinterpret_cast<const char*>(block), len);
    if (got < n) return;
  }
}

// The graphic control extension of the wanted frame.
struct Control {
  uint8_t packed = 0;
  uint16_t delay = 0;
  uint8_t transparent = 0;
};

// Reads the control block by its own size byte, then skips sub-blocks to the terminator.
void ReadControl(TStream& s, Control& c) {
  uint8_t n = 0;
  if (s.Read(&n, 1) != 1) return;
  uint8_t block[255] = {};
  const int64_t got = std::max<int64_t>(s.Read(block, n), 0);
  c.packed = block[0];
  c.delay = LoadU16LE(block + 1);
  c.transparent = block[3];
  if (got < n) return;
  SkipSubBlocks(s);
}

// Turns the decoded indexes into the frame's bitmap and mask.
void BuildFrame(const std::vector<uint8_t>& indexes, int width, int height,
                const ColourTable& table, int bits, const Control& control, bool noMask,
                std::unique_ptr<TLxMask>& mask, TLxBitmap& bitmap, TIOParamsVals& params,
                ProgressRecord& progress) {
  const TRGB* pal = table.colours;
  const bool twoColour = bits == 1 && pal[0] == kBlack && pal[1] == kWhite;
  lumenax::PixelFormat pf = twoColour ? lx1g : params.IsNativePixelFormat ? lx8p : lx24RGB;
  if (!bitmap.Allocate(width, height, pf)) {
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the frame");
    return;
  }
  if (pf == lx8p) {
    for (int i = 0; i < 256; ++i) bitmap.SetPaletteEntry(i, pal[i]);
  }
  const size_t w = size_t(width);
  for (int y = 0; y < height; ++y) {
    const uint8_t* src = indexes.data() + size_t(y) * w;
    uint8_t* dst = bitmap.ScanLine(y);
    if (pf == lx1g) {
      // Index 1 is white; 0 and indexes past the two-entry table are black.
      std::memset(dst, 0, size_t(bitmap.RowLen()));
      for (size_t x = 0; x < w; ++x)
        if (src[x] == 1) dst[x >> 3] |= uint8_t(0x80 >> (x & 7));
    } else if (pf == lx8p) {
      std::memcpy(dst, src, w);
    } else {
      for (size_t x = 0; x < w; ++x) std::memcpy(dst + 3 * x, &pal[src[x]], 3);
    }
  }
  if (noMask) return;
  const bool transparent = control.packed & 1;
  bool any = false;
  if (transparent) {
    const uint8_t t = control.transparent;
    for (size_t i = 0; i < indexes.size() && !any; ++i) any = indexes[i] == t;
    if (any) {
      if (!mask) mask = std::make_unique<TLxMask>();
      if (!mask->Allocate(width, height, 8)) {
        mask.reset();
        progress.Fail(TLxFailure::OutOfMemory, "no memory for the mask");
        return;
      }
      mask->Fill(255);
      for (int y = 0; y < height; ++y) {
        const uint8_t* src = indexes.data() + size_t(y) * w;
        uint8_t* m = mask->ScanLine(y);
        for (size_t x = 0; x < w; ++x)
          if (src[x] == t) m[x] = 0;
      }
      mask->AllOpaque = false;
      mask->RecomputeBounds();
    }
  }
  if (!any) mask.reset();
}

}  // namespace

void ReadGifStream(TStream& stream, TLxBitmap& bitmap, int32_t& imageCount, bool noMask,
                   std::unique_ptr<TLxMask>& mask, bool headerOnly, ProgressRecord& progress,
                   TIOParamsVals& params) {
  imageCount = 0;
  progress.Report(0);
  if (progress.Aborting()) return;
  ByteReader r(stream);
  const int64_t size = stream.Size();
  Control control;
  uint8_t head[13];
  const bool complete = r.bytes(head, 13);
  if (std::memcmp(head, "GIF", 3) != 0) {
    progress.Fail(TLxFailure::BadSignature, 0, "not a GIF file");
    return;
  }
  if (!complete) {
    progress.Fail(TLxFailure::Truncated, stream.Position(), "truncated screen descriptor");
    return;
  }
  params.GifVersion.assign(reinterpret_cast<const char*>(head), 6);
  params.GifScreenWidth = LoadU16LE(head + 6);
  params.GifScreenHeight = LoadU16LE(head + 8);
  const uint8_t screenPacked = head[10];
  const uint8_t backgroundIndex = head[11];
  params.GifAspectRatio = head[12];
  params.SetDpiX(DefaultDPI);
  params.SetDpiY(DefaultDPI);
  params.SamplesPerPixel = 1;

  ColourTable global;
  global.bits = (screenPacked & 7) + 1;
  if ((screenPacked & 0x80) && !ReadTable(r, global.bits, global)) {
    progress.Fail(TLxFailure::Truncated, stream.Position(), "truncated colour table");
    return;
  }
  params.GifBackgroundColor = global.present ? global.colours[backgroundIndex] : kBlack;
  if (stream.Position() >= size) {
    progress.Fail(TLxFailure::Truncated, stream.Position(), "no image in the file");
    return;
  }

  while (!progress.Aborting()) {
    uint8_t introducer = 0;
    if (stream.Read(&introducer, 1) != 1) break;  // the end of the stream ends the file
    if (introducer == 0x3B) break;
    if (introducer == 0x21) {
      uint8_t label = 0;
      if (stream.Read(&label, 1) != 1) break;
      if (label == 0xF9 && imageCount == params.GifImageIndex) {
        control = Control{};
        ReadControl(stream, control);
      } else if (label == 0xFE) {
        ReadComments(stream, params.GifComments);
      } else {
        SkipSubBlocks(stream);
      }
      continue;
    }
    if (introducer != 0x2C) continue;  // stray bytes between blocks are ignored

    const int64_t descriptorAt = stream.Position() - 1;
    uint8_t d[9];
    if (!r.bytes(d, 9)) {
      progress.Fail(TLxFailure::Truncated, descriptorAt, "truncated image descriptor");
      break;
    }
    const int left = LoadU16LE(d), top = LoadU16LE(d + 2);
    const int width = LoadU16LE(d + 4), height = LoadU16LE(d + 6);
    const uint8_t packed = d[8];
    ColourTable local;
    if ((packed & 0x80) && !ReadTable(r, (packed & 7) + 1, local)) {
      progress.Fail(TLxFailure::Truncated, stream.Position(), "truncated colour table");
      break;
    }
    if (imageCount != params.GifImageIndex) {
      uint8_t minCodeSize;
      if (stream.Read(&minCodeSize, 1) == 1) SkipSubBlocks(stream);
      ++imageCount;
      continue;
    }

    // The wanted frame.
    progress.Report(30);
    if (progress.Aborting()) break;
    // Without any table, indexes 0 and 1 are black and white and the rest black.
    ColourTable fallback;
    fallback.bits = global.bits;
    fallback.colours[1] = kWhite;
    const ColourTable& table = local.present ? local : global.present ? global : fallback;
    const int bits = local.present ? local.bits : global.bits;
    params.GifTransparentColor = table.colours[control.transparent];
    params.GifLeft = left;
    params.GifTop = top;
    params.Width = width;
    params.Height = height;
    params.GifDelay = control.delay;
    params.GifTransparent = control.packed & 1;
    params.GifInterlaced = packed & 0x40;
    params.GifDisposal = uint8_t(control.packed >> 2 & 7);
    params.BitsPerSample = bits;
    params.SetColorMap(table.colours, 1 << bits);
    ++imageCount;

    if (headerOnly || width == 0 || height == 0) {
      // Header-only reads skip the pixels; a frame without pixels loads as nothing.
      uint8_t minCodeSize;
      if (stream.Read(&minCodeSize, 1) == 1) SkipSubBlocks(stream);
      if (!headerOnly) {
        bitmap.FreeImage(true);
        mask.reset();
      }
      continue;
    }
    const int64_t dataAt = stream.Position();
    const uint64_t pixels = uint64_t(width) * uint64_t(height);
    const uint64_t describable = uint64_t(std::max<int64_t>(size - dataAt, 0)) * kPixelsPerByte;
    if (pixels > GifPixelLimit || pixels > describable + 4096) {
      progress.Fail(TLxFailure::TooLarge, descriptorAt, "too large");
      break;
    }
    TGifDecoderHook decode = params.GifDecoderHook ? params.GifDecoderHook : DefaultGifDecoderHook;
    if (!decode) {
      progress.Fail(TLxFailure::Unsupported, dataAt, "no LZW decoder installed");
      break;
    }
    std::vector<uint8_t> indexes;
    try {
      indexes.assign(size_t(pixels), 0);
    } catch (const std::bad_alloc&) {
      progress.Fail(TLxFailure::OutOfMemory, "no memory for the frame");
      break;
    }
    const TLxFailure failure = decode(stream, height, width, indexes.data(), params.GifInterlaced);
    if (stream.Position() == dataAt) {
      progress.Fail(TLxFailure::BadData, dataAt, "bad LZW minimum code size");
      break;
    }
    progress.Report(70);
    BuildFrame(indexes, width, height, table, bits, control, noMask, mask, bitmap, params,
               progress);
    if (failure == TLxFailure::Truncated)
      progress.Fail(failure, dataAt, "truncated image data");
    else if (failure != TLxFailure::None)
      progress.Fail(failure, dataAt, "bad LZW code");
  }
  params.SetImageCount(imageCount);
  if (!progress.Aborting()) progress.Report(100);
}

namespace {

// Canvas state between the frames of one composition.
struct Composer {
  TLxBitmap& canvas;
  TIOParamsVals& params;
  TLxBitmap saved;  // the canvas under a frame whose disposal restores it
  TLxClippedRect previous;
  bool hasPrevious = false;
  int previousDisposal = 0;

  // Disposal of the previous frame, then the frame drawn at (GifLeft, GifTop). False when the
  // canvas cannot be had.
  bool Draw(TLxBitmap& frame, ProgressRecord& progress) {
    const int64_t w = std::max<int64_t>(params.GifScreenWidth, frame.Width());
    const int64_t h = std::max<int64_t>(params.GifScreenHeight, frame.Height());
    if (uint64_t(w) * uint64_t(h) > GifPixelLimit) {
      progress.Fail(TLxFailure::TooLarge, "too large");
      return false;
    }
    const TRGB bg = params.GifBackgroundColor;
    const double bgValue = double(TRGB2TColor(bg));
    if (hasPrevious && previousDisposal == 2) {
      canvas.FillRect(previous.TargetX, previous.TargetY, previous.TargetX + previous.Width - 1,
                      previous.TargetY + previous.Height - 1, bgValue);
      canvas.AlphaChannel()->FillRect(previous.TargetX, previous.TargetY,
                                      previous.TargetX + previous.Width - 1,
                                      previous.TargetY + previous.Height - 1, 0);
    } else if (hasPrevious && previousDisposal == 3 && !saved.IsEmpty()) {
      saved.CopyRectTo(canvas, 0, 0, previous.Width, previous.Height, previous.TargetX,
                       previous.TargetY);
      saved.AlphaChannel()->CopyRectTo(*canvas.AlphaChannel(), 0, 0, previous.Width,
                                       previous.Height, previous.TargetX, previous.TargetY);
    }
    if (canvas.IsEmpty()) {
      if (!canvas.Allocate(int(w), int(h), lx24RGB)) {
        progress.Fail(TLxFailure::OutOfMemory, "no memory for the canvas");
        return false;
      }
      canvas.Fill(bgValue);
      canvas.AlphaChannel()->Fill(0);
    } else {
      if (canvas.PixelFormat() != lx24RGB) canvas.SetPixelFormat(lx24RGB);
      if (canvas.Width() < w || canvas.Height() < h) {
        canvas.AlphaChannel();
        canvas.Resize(int(std::max<int64_t>(w, canvas.Width())),
                      int(std::max<int64_t>(h, canvas.Height())), bgValue, 0, 0, 0);
      }
    }
    if (frame.PixelFormat() != lx24RGB) frame.SetPixelFormat(lx24RGB);
    TLxClippedRect r;
    const bool inside = ClipToTarget(params.GifLeft, params.GifTop, frame.Width(), frame.Height(),
                                     canvas.Width(), canvas.Height(), r);
    saved.FreeImage(true);
    if (inside && params.GifDisposal == 3) {
      // Keep what this frame covers, to be put back before the next frame.
      if (saved.Allocate(r.Width, r.Height, lx24RGB)) {
        canvas.CopyRectTo(saved, r.TargetX, r.TargetY, r.Width, r.Height, 0, 0);
        canvas.AlphaChannel()->CopyRectTo(*saved.AlphaChannel(), r.TargetX, r.TargetY, r.Width,
                                          r.Height, 0, 0);
      }
    }
    if (inside) {
      RenderToBitmap(frame, canvas, params.GifLeft, params.GifTop);
      frame.MaxAlphaRectTo(canvas, r.SourceX, r.SourceY, r.Width, r.Height, r.TargetX, r.TargetY);
    }
    previous = inside ? r : TLxClippedRect{};
    hasPrevious = inside;
    previousDisposal = params.GifDisposal;
    // The result now covers the whole canvas.
    params.GifDisposal = 2;
    params.GifLeft = params.GifTop = 0;
    return true;
  }
};

}  // namespace

int32_t LoadGifComposed(TStream& input, TLxBitmap& bitmap, ProgressRecord& progress,
                        TIOParamsVals& params) {
  const int32_t target = params.GifImageIndex;
  // Passes after the first read the file from memory when it is not too large.
  TStream* stream = &input;
  std::vector<uint8_t> copy;
  std::unique_ptr<TLxMemStream> memory;
  int64_t start = input.Position();
  const int64_t remaining = input.Size() - start;
  if (remaining > 0 && remaining <= kBufferLimit) {
    copy.resize(size_t(remaining));
    const int64_t got = std::max<int64_t>(input.Read(copy.data(), remaining), 0);
    memory = std::make_unique<TLxMemStream>(copy.data(), got);
    stream = memory.get();
    start = 0;
  }

  // Later frames report progress per frame here; their reads go without a handler.
  ProgressRecord quiet;
  quiet.AbortingPtr = progress.AbortingPtr;
  quiet.ReasonPtr = progress.ReasonPtr;

  TLxBitmap canvas;
  Composer composer{canvas, params};
  int32_t imageCount = 0;
  lumenax::PixelFormat framePf = lxNone;
  bool composed = false;
  for (int32_t i = 0;; ++i) {
    stream->Seek(start, soBeginning);
    params.SetImageIndex(i);
    params.GifComments.clear();
    std::unique_ptr<TLxMask> mask;
    TLxBitmap frame;
    // Frame 0 goes straight into the result: a single-frame file needs nothing more.
    TLxBitmap& into = i == 0 ? bitmap : frame;
    if (i == 0) into.FreeImage(true);
    ReadGifStream(*stream, into, imageCount, false, mask, false, target < 1 ? progress : quiet,
                  params);
    framePf = into.PixelFormat();
    if (mask) into.AlphaChannel()->CopyFromMask(mask.get());
    if (imageCount >= 2 && !into.IsEmpty()) {
      if (!composer.Draw(into, progress)) break;
      composed = true;
    }
    if (progress.Aborting()) break;
    if (target >= 1 && imageCount > 0) progress.Report(int(int64_t(i) * 100 / imageCount));
    if (!(i + 1 < imageCount && i != target)) break;
  }
  if (composed) {
    bitmap.Assign(canvas);
    if (framePf != lxNone && framePf != lx24RGB) bitmap.SetPixelFormat(framePf);
  }
  if (imageCount == 0 && !progress.Aborting())
    progress.Fail(TLxFailure::NoImage, "no image in the file");
  params.SetImageIndex(target);
  return imageCount;
}

}  // namespace lumenax
