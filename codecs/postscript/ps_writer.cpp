// PostScript Level 2 writer: one page, the image scaled to fit it at its top-left corner, the
// data ASCII85-encoded after RunLength, CCITT or JPEG compression.
#include <string>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/common/stream_buffer.h"
#include "codecs/postscript/postscript.h"
#include "codecs/postscript/ps_common.h"
#include "io/params.h"

namespace lumenax {

namespace {

constexpr const char* kEol = "\r\n";

void Line(std::string& out, const std::string& text) {
  out += text;
  out += kEol;
}

// The page's image data as ASCII85 text; total counts its group characters.
bool PageData(TLxBitmap& bm, const TIOParamsVals& params, int compression, std::string& data,
              int64_t& total, ProgressRecord& progress) {
  const int w = bm.Width(), h = bm.Height();
  if (bm.PixelFormat() == lx1g) {
    if (compression == 1 || compression == 2) {
      std::vector<uint8_t> fax =
          EncodeFax(bm, compression == 1 ? TLxFaxKind::Group4 : TLxFaxKind::Group3TwoD, progress);
      if (progress.Aborting()) return false;
      Ascii85Encode(fax.data(), fax.size(), data, total);
      return true;
    }
    const size_t rowBytes = size_t(w + 7) / 8;
    std::vector<uint8_t> rows;
    rows.reserve(rowBytes * size_t(h));
    progress.BeginRows(h);
    for (int y = 0; y < h; ++y) {
      if (progress.Aborting()) return false;
      const uint8_t* row = bm.ScanLine(y);
      rows.insert(rows.end(), row, row + rowBytes);
      progress.RowDone();
    }
    const std::vector<uint8_t> packed = RunLengthEncode(rows.data(), rows.size());
    Ascii85Encode(packed.data(), packed.size(), data, total);
    return true;
  }
  if (compression == 3) {
    // The page says "false 3": three components, whatever the record asks for.
    std::vector<uint8_t> jpeg = EncodeJpeg(bm, params, jcYCbCr, progress);
    if (progress.Aborting()) return false;
    Ascii85Encode(jpeg.data(), jpeg.size(), data, total);
    return true;
  }
  // Each channel of each row is a RunLength block and an ASCII85 block of its own: the page's
  // procedures open a new filter pair for every read.
  std::vector<uint8_t> channel(static_cast<size_t>(w));
  std::vector<uint8_t> packed;
  data.reserve(size_t(w) * size_t(h) * 3 * 5 / 4);
  progress.BeginRows(h);
  for (int y = 0; y < h; ++y) {
    if (progress.Aborting()) return false;
    const uint8_t* row = bm.ScanLine(y);
    for (int c = 2; c >= 0; --c) {
      for (int x = 0; x < w; ++x) channel[size_t(x)] = row[3 * x + c];
      packed.clear();
      RunLengthEncode(channel.data(), channel.size(), packed);
      Ascii85Encode(packed.data(), packed.size(), data, total);
    }
    progress.RowDone();
  }
  return true;
}

}  // namespace

void WritePSStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                   ProgressRecord& progress) {
  if (!TakeLayout(bitmap, params, progress)) return;
  const int w = bitmap.Width(), h = bitmap.Height();
  const bool bilevel = bitmap.PixelFormat() == lx1g;
  const int32_t paperW = PaperSide(params.PsPaperWidth, 595);
  const int32_t paperH = PaperSide(params.PsPaperHeight, 842);
  int compression = params.PsCompression;
  // One-bit images know 0 RunLength, 1 Group 4 and 2 Group 3; other values get RunLength as
  // colour images do.
  if (bilevel && compression > 2) compression = 0;

  std::string data;
  int64_t total = 0;
  if (!PageData(bitmap, params, compression, data, total, progress)) return;

  const std::string W = std::to_string(w), H = std::to_string(h);
  std::string head;
  Line(head, "%!PS-Adobe-3.0");
  Line(head, "%%Creator: Lumenax by Quorvantic");
  Line(head, "%%Title: " + CleanCommentText(params.PsTitle));
  Line(head, "%%CreationDate: " + PsDateText(LocalNow()));
  Line(head, "%%DocumentData: Clean7Bit");
  Line(head, "%%LanguageLevel: 2");
  // The page count, left-aligned in a field of six characters.
  Line(head, "%%Pages: 1     ");
  Line(head, "%%BoundingBox: 0 0 " + std::to_string(paperW) + " " + std::to_string(paperH));
  Line(head, "%%EndComments");
  Line(head, "%%BeginProlog");
  Line(head, "10 dict begin");
  Line(head, "%%EndProlog");

  const TLxFittedSize fit = FitToPage(w, h, paperW, paperH);
  Line(head, "%%Page: 1 1");
  Line(head, "0 " + std::to_string(paperH) + " translate");
  Line(head, std::to_string(fit.Width) + " -" + std::to_string(fit.Height) + " scale");
  Line(head, W + " " + H + " " + std::to_string(params.BitsPerSample));
  Line(head, "[ " + W + " 0 0 " + H + " 0 0 ]");
  const std::string beginData = "%%BeginData:      " + std::to_string(total) + " ASCII Bytes";
  if (!bilevel) {
    if (compression == 3) {
      Line(head, "currentfile /ASCII85Decode filter << >> /DCTDecode filter");
      Line(head, "false 3");
    } else {
      Line(head, "/rstr " + W + " string def");
      Line(head, "/gstr " + W + " string def");
      Line(head, "/bstr " + W + " string def");
      for (const char* s : {"rstr", "gstr", "bstr"})
        Line(head, std::string("{currentfile /ASCII85Decode filter /RunLengthDecode filter ") + s +
                       " readstring pop}");
      Line(head, "true 3");
    }
    Line(head, beginData);
    Line(head, "colorimage");
  } else {
    if (compression == 0) {
      Line(head, "currentfile /ASCII85Decode filter /RunLengthDecode filter");
    } else {
      Line(head, std::string("currentfile /ASCII85Decode filter << /K ") +
                     (compression == 1 ? "-1" : "1") + " /BlackIs1 true /Columns " + W + " /Rows " +
                     H +
                     " /EndOfLine false /Uncompressed true /EncodedByteAlign false "
                     "/EndOfBlock false >> /CCITTFaxDecode filter");
    }
    Line(head, beginData);
    Line(head, "image");
  }

  std::string tail;
  Line(tail, "%%EndData");
  Line(tail, "showpage");
  Line(tail, "%%Trailer");
  Line(tail, "end");
  Line(tail, "%%EOF");

  TLxWriteBuffer out(stream, progress);
  out.Text(head);
  out.Text(data);
  out.Text(tail);
  out.Flush();
}

}  // namespace lumenax
