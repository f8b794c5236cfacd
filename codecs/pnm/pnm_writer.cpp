// Portable anymap writer: P4 for bilevel images, P5 for gray ones, P6 (8 or 16 bits) for the
// rest. Layouts the rows cannot be written from directly go through a private 24-bit (or, for
// P4, 1-bit) copy; the caller's bitmap is never changed.
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/conversion.h"
#include "bitmap/progress.h"
#include "codecs/common/pixel_rows.h"
#include "codecs/common/stream_buffer.h"
#include "codecs/pnm/pnm.h"
#include "io/params.h"

namespace lumenax {
namespace {

enum class Output { P4, P5, P6x8, P6x16From24, P6x16 };

Output ChooseOutput(TLxBitmap& bitmap, const TIOParamsVals& params) {
  const PixelFormat pf = bitmap.PixelFormat();
  const int bps = params.BitsPerSample, spp = params.SamplesPerPixel;
  if ((bps == 1 && spp == 1) || pf == lx1g) return Output::P4;
  // Gray only when the pixels are gray: a palette image of colours stays colour.
  if (bps == 8 && spp == 1 && (pf == lx8g || pf == lx16g || bitmap.IsGrayScale()))
    return Output::P5;
  if (bps == 16 && spp == 3 && pf == lx24RGB) return Output::P6x16From24;
  if (pf == lxRGB48) return Output::P6x16;
  return Output::P6x8;
}

// "# " lines for one comment, one per line of its text.
void CommentLines(const std::string& comment, std::string& out) {
  size_t start = 0;
  for (;;) {
    size_t end = comment.find_first_of("\r\n", start);
    out += "\n# ";
    out += comment.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (end == std::string::npos) break;
    start = end + (comment.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
  out += '\n';
}

void WritePxm(TStream& stream, TLxBitmap& source, TIOParamsVals& params, ProgressRecord& progress) {
  if (source.IsEmpty()) {
    progress.Fail(TLxFailure::NoImage, "no image to write");
    return;
  }
  const Output out = ChooseOutput(source, params);
  // The layout the rows are written from.
  PixelFormat want = lx24RGB;
  if (out == Output::P4)
    want = lx1g;
  else if (out == Output::P6x16)
    want = lxRGB48;
  else if (out == Output::P5 && (source.PixelFormat() == lx8g || source.PixelFormat() == lx16g))
    want = source.PixelFormat();
  std::unique_ptr<TLxBitmap> copy;
  TLxBitmap* bm = &source;
  if (source.PixelFormat() != want) {
    copy = std::make_unique<TLxBitmap>();
    copy->Assign(source);
    copy->SetPixelFormat(want);
    if (copy->PixelFormat() != want) {
      progress.Fail(TLxFailure::Unsupported, "layout cannot be written");
      return;
    }
    bm = copy.get();
  }
  const int w = bm->Width(), h = bm->Height();

  std::string head;
  head += out == Output::P4 ? "P4" : out == Output::P5 ? "P5" : "P6";
  head += ' ';
  for (const std::string& c : params.PxmComments) CommentLines(c, head);
  head += std::to_string(w) + ' ' + std::to_string(h);
  if (out == Output::P5 || out == Output::P6x8) head += " 255";
  if (out == Output::P6x16 || out == Output::P6x16From24) head += " 65535";
  head += '\n';

  TLxWriteBuffer sink(stream, progress);
  sink.Text(head);
  const int sampleBytes = out == Output::P6x16 || out == Output::P6x16From24 ? 6 : 3;
  const size_t lineBytes = out == Output::P4   ? size_t(w + 7) / 8
                           : out == Output::P5 ? size_t(w)
                                               : size_t(w) * size_t(sampleBytes);
  TLxRowBlock rows(sink, lineBytes);
  progress.BeginRows(h);
  for (int y = 0; y < h && sink.ok(); ++y) {
    if (progress.Aborting()) return;
    const uint8_t* row = bm->ScanLine(y);
    uint8_t* d = rows.Row();
    switch (out) {
      case Output::P4:
        for (size_t i = 0; i < lineBytes; ++i) d[i] = uint8_t(~row[i]);
        // Bits past the width are 0 in the file.
        if (w % 8) d[lineBytes - 1] &= uint8_t(0xFF << (8 - w % 8));
        break;
      case Output::P5:
        if (bm->PixelFormat() == lx8g) {
          std::copy(row, row + w, d);
        } else if (bm->PixelFormat() == lx16g) {
          const uint16_t* s = reinterpret_cast<const uint16_t*>(row);
          for (int x = 0; x < w; ++x) d[x] = uint8_t(s[x] >> 8);
        } else {
          for (int x = 0; x < w; ++x)
            d[x] = uint8_t(Gray8(row[3 * x + 2], row[3 * x + 1], row[3 * x]));
        }
        break;
      case Output::P6x8:
        SwapRedBlue24(row, d, size_t(w));
        break;
      case Output::P6x16From24:
        for (int x = 0; x < w; ++x) {
          // v * 257 most significant byte first is the byte twice.
          const uint8_t r = row[3 * x + 2], g = row[3 * x + 1], b = row[3 * x];
          uint8_t* p = d + 6 * x;
          p[0] = p[1] = r, p[2] = p[3] = g, p[4] = p[5] = b;
        }
        break;
      case Output::P6x16: {
        const uint16_t* s = reinterpret_cast<const uint16_t*>(row);
        for (int i = 0; i < w * 3; ++i) d[2 * i] = uint8_t(s[i] >> 8), d[2 * i + 1] = uint8_t(s[i]);
        break;
      }
    }
    progress.RowDone();
  }
  rows.Flush();
  sink.Flush();
}

}  // namespace

void WritePxmStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                    ProgressRecord& progress) {
  try {
    WritePxm(stream, bitmap, params, progress);
  } catch (const std::bad_alloc&) {
    progress.Fail(TLxFailure::OutOfMemory, "no memory for the copy");
  }
}

}  // namespace lumenax
