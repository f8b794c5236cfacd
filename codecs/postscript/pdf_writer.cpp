// PDF 1.4 writer: a one-page document whose page shows the image scaled to fit at its top-left
// corner, the image stored raw or with RunLength, CCITT, LZW or JPEG compression.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bitmap/bitmap.h"
#include "bitmap/progress.h"
#include "bitmap/stream.h"
#include "codecs/common/stream_buffer.h"
#include "codecs/postscript/pdf_objects.h"
#include "codecs/postscript/postscript.h"
#include "codecs/postscript/ps_common.h"
#include "io/params.h"

namespace lumenax {

namespace {

std::unique_ptr<TLxPDFObject> FaxParms(bool group4, int w, int h) {
  auto parms = std::make_unique<TLxPDFDictionaryObject>();
  parms->Add("K", PdfNumber(group4 ? -1 : 1));
  parms->Add("BlackIs1", PdfBool(true));
  parms->Add("Columns", PdfNumber(w));
  parms->Add("Rows", PdfNumber(h));
  parms->Add("EndOfLine", PdfBool(false));
  parms->Add("Uncompressed", PdfBool(true));
  parms->Add("EncodedByteAlign", PdfBool(false));
  parms->Add("EndOfBlock", PdfBool(false));
  return parms;
}

// The image stream without /Type, /Subtype, /Width and /Height. Its data come from a source
// that encodes the rows as the document is written, so that no whole encoded image is held.
std::unique_ptr<TLxPDFStreamObject> ImageStream(TLxBitmap& bm, const TIOParamsVals& params,
                                                ProgressRecord& progress) {
  const int w = bm.Width(), h = bm.Height();
  auto image = std::make_unique<TLxPDFStreamObject>();
  TLxPDFDictionaryObject& dict = image->Dictionary;
  int compression = params.PdfCompression;
  // The rows in red, green, blue order (one-bit rows as they are), uncompressed.
  auto plainRows = [&bm, &progress](TLxWriteBuffer& out) {
    const int w = bm.Width(), h = bm.Height();
    const bool colour = bm.PixelFormat() == lx24RGB;
    const size_t rowBytes = colour ? size_t(w) * 3 : size_t(w + 7) / 8;
    TLxRowBlock block(out, rowBytes);
    progress.BeginRows(h);
    for (int y = 0; y < h; ++y) {
      if (progress.Aborting()) return false;
      if (colour)
        RowToRgb(bm.ScanLine(y), w, block.Row());
      else
        std::memcpy(block.Row(), bm.ScanLine(y), rowBytes);
      progress.RowDone();
    }
    return block.Flush() && !progress.Aborting();
  };
  auto lzwRows = [&bm, &progress, hook = LzwEncoder(params)](TLxWriteBuffer& out) {
    TLxWriteBufferStream sink(out);
    return WriteLzwData(bm, hook, sink, progress);
  };
  if (bm.PixelFormat() == lx1g) {
    if (compression == 4) compression = 3;
    // Values no one-bit encoding has are stored uncompressed.
    if (compression > 5) compression = 0;
    const size_t rowBytes = size_t(w + 7) / 8;
    if (compression == 0) {
      image->Source = plainRows;
      image->SourceLength = int64_t(rowBytes) * h;
    } else if (compression == 1) {
      image->Source = [&bm, &progress, rowBytes](TLxWriteBuffer& out) {
        // The rows make one RunLength block.
        TLxRunLengthEncoder encoder;
        std::vector<uint8_t> rows, packed;
        const int h = bm.Height();
        progress.BeginRows(h);
        for (int y = 0; y < h; ++y) {
          if (progress.Aborting()) return false;
          rows.insert(rows.end(), bm.ScanLine(y), bm.ScanLine(y) + rowBytes);
          if (rows.size() >= (1u << 16) || y + 1 == h) {
            encoder.Add(rows.data(), rows.size(), packed);
            rows.clear();
            out.Write(packed.data(), packed.size());
            packed.clear();
          }
          progress.RowDone();
        }
        encoder.End(packed);
        out.Write(packed.data(), packed.size());
        return !progress.Aborting();
      };
      auto filters = std::make_unique<TLxPDFArrayObject>();
      filters->Add(PdfName("RunLengthDecode"));
      dict.Add("Filter", std::move(filters));
    } else if (compression == 2 || compression == 3) {
      const TLxFaxKind kind = compression == 2 ? TLxFaxKind::Group4 : TLxFaxKind::Group3TwoD;
      image->Source = [&bm, &progress, kind](TLxWriteBuffer& out) {
        return WriteFaxData(bm, kind, progress,
                            [&out](const uint8_t* data, size_t n) { out.Write(data, n); });
      };
      dict.Add("Filter", PdfName("CCITTFaxDecode"));
      dict.Add("DecodeParms", FaxParms(compression == 2, w, h));
    } else {
      image->Source = lzwRows;
      dict.Add("Filter", PdfName("LZWDecode"));
    }
    dict.Add("ColorSpace", PdfName("DeviceGray"));
    dict.Add("BitsPerComponent", PdfNumber(1));
    return image;
  }
  const char* space = "DeviceRGB";
  if (compression == 5) {
    image->Source = lzwRows;
    dict.Add("Filter", PdfName("LZWDecode"));
  } else if (compression == 4) {
    // Gray or three components: the colour space named below must match the stream.
    const bool gray = params.JpegColorSpace == jcGrayScale;
    image->Source = [&bm, &params, &progress, gray](TLxWriteBuffer& out) {
      TLxWriteBufferStream sink(out);
      return WriteJpegData(bm, params, gray ? jcGrayScale : jcYCbCr, sink, progress);
    };
    dict.Add("Filter", PdfName("DCTDecode"));
    if (gray) space = "DeviceGray";
  } else {
    image->Source = plainRows;
    image->SourceLength = int64_t(w) * 3 * h;
  }
  dict.Add("ColorSpace", PdfName(space));
  dict.Add("BitsPerComponent", PdfNumber(8));
  return image;
}

// The LZW encoding (5 for both layouts) asked for, with no encoder to do it.
bool LzwMissing(const TIOParamsVals& params) {
  return params.PdfCompression == 5 && !LzwEncoder(params);
}

}  // namespace

void WritePDFStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                    ProgressRecord& progress) {
  if (!TakeLayout(bitmap, params, progress)) return;
  if (LzwMissing(params)) {
    progress.Fail(TLxFailure::NoWriter, "no LZW encoder installed");
    return;
  }
  std::unique_ptr<TLxPDFStreamObject> image = ImageStream(bitmap, params, progress);
  TLxPDFStreamObject& data = *image;

  PdfDocument doc;
  doc.AddImagePage(std::move(image), bitmap.Width(), bitmap.Height(),
                   PaperSide(params.PdfPaperWidth, 595), PaperSide(params.PdfPaperHeight, 842));
  PdfDocument::Info info{params.PdfTitle,        params.PdfAuthor,  params.PdfSubject,
                         params.PdfKeywords,     params.PdfCreator, params.PdfProducer,
                         PdfDateText(LocalNow())};
  doc.Close(info);
  if (data.SourceLength < 0) doc.AddLengthObject(data);
  // The document's head waits in the write buffer until image data fill it, and what is
  // buffered when the data fail or the save is cancelled is dropped: a save that stops in its
  // first rows writes nothing.
  TLxWriteBuffer out(stream, progress);
  if (!doc.Write(out)) {
    if (!progress.Aborting()) progress.Fail(TLxFailure::WriteFailed, "image data not written");
    return;
  }
  out.Flush();
}

}  // namespace lumenax
