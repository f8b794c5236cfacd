// PDF 1.4 writer: a one-page document whose page shows the image scaled to fit at its top-left
// corner, the image stored raw or with RunLength, CCITT, LZW or JPEG compression.
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

// The image stream without /Type, /Subtype, /Width and /Height; null when encoding failed.
std::unique_ptr<TLxPDFStreamObject> ImageStream(TLxBitmap& bm, const TIOParamsVals& params,
                                                ProgressRecord& progress) {
  const int w = bm.Width(), h = bm.Height();
  auto image = std::make_unique<TLxPDFStreamObject>();
  TLxPDFDictionaryObject& dict = image->Dictionary;
  std::vector<uint8_t>& data = image->Data;
  int compression = params.PdfCompression;
  if (bm.PixelFormat() == lx1g) {
    if (compression == 4) compression = 3;
    // Values no one-bit encoding has are stored uncompressed.
    if (compression > 5) compression = 0;
    const size_t rowBytes = size_t(w + 7) / 8;
    if (compression == 0 || compression == 1) {
      std::vector<uint8_t> rows;
      rows.reserve(rowBytes * size_t(h));
      progress.BeginRows(h);
      for (int y = 0; y < h; ++y) {
        if (progress.Aborting()) return nullptr;
        const uint8_t* row = bm.ScanLine(y);
        rows.insert(rows.end(), row, row + rowBytes);
        progress.RowDone();
      }
      if (compression == 1) {
        data = RunLengthEncode(rows.data(), rows.size());
        auto filters = std::make_unique<TLxPDFArrayObject>();
        filters->Add(PdfName("RunLengthDecode"));
        dict.Add("Filter", std::move(filters));
      } else {
        data = std::move(rows);
      }
    } else if (compression == 2 || compression == 3) {
      data =
          EncodeFax(bm, compression == 2 ? TLxFaxKind::Group4 : TLxFaxKind::Group3TwoD, progress);
      if (progress.Aborting()) return nullptr;
      dict.Add("Filter", PdfName("CCITTFaxDecode"));
      dict.Add("DecodeParms", FaxParms(compression == 2, w, h));
    } else {
      data = EncodeLzw(bm, params, progress);
      if (progress.Aborting()) return nullptr;
      dict.Add("Filter", PdfName("LZWDecode"));
    }
    dict.Add("ColorSpace", PdfName("DeviceGray"));
    dict.Add("BitsPerComponent", PdfNumber(1));
    return image;
  }
  const char* space = "DeviceRGB";
  if (compression == 5) {
    data = EncodeLzw(bm, params, progress);
    if (progress.Aborting()) return nullptr;
    dict.Add("Filter", PdfName("LZWDecode"));
  } else if (compression == 4) {
    // Gray or three components: the colour space named below must match the stream.
    const bool gray = params.JpegColorSpace == jcGrayScale;
    data = EncodeJpeg(bm, params, gray ? jcGrayScale : jcYCbCr, progress);
    if (progress.Aborting()) return nullptr;
    dict.Add("Filter", PdfName("DCTDecode"));
    if (gray) space = "DeviceGray";
  } else {
    const size_t rowBytes = size_t(w) * 3;
    data.resize(rowBytes * size_t(h));
    progress.BeginRows(h);
    for (int y = 0; y < h; ++y) {
      if (progress.Aborting()) return nullptr;
      RowToRgb(bm.ScanLine(y), w, data.data() + rowBytes * size_t(y));
      progress.RowDone();
    }
  }
  dict.Add("ColorSpace", PdfName(space));
  dict.Add("BitsPerComponent", PdfNumber(8));
  return image;
}

}  // namespace

void WritePDFStream(TStream& stream, TLxBitmap& bitmap, TIOParamsVals& params,
                    ProgressRecord& progress) {
  if (!TakeLayout(bitmap, params, progress)) return;
  std::unique_ptr<TLxPDFStreamObject> image = ImageStream(bitmap, params, progress);
  if (!image || progress.Aborting()) return;

  PdfDocument doc;
  doc.AddImagePage(std::move(image), bitmap.Width(), bitmap.Height(),
                   PaperSide(params.PdfPaperWidth, 595), PaperSide(params.PdfPaperHeight, 842));
  PdfDocument::Info info{params.PdfTitle,        params.PdfAuthor,  params.PdfSubject,
                         params.PdfKeywords,     params.PdfCreator, params.PdfProducer,
                         PdfDateText(LocalNow())};
  doc.Close(info);
  TLxWriteBuffer out(stream, progress);
  doc.Write(out);
  out.Flush();
}

}  // namespace lumenax
