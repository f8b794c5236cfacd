// The PostScript and PDF pages group of the parameter record.
#pragma once

#include <cstdint>
#include <string>

namespace lumenax {

struct PsPdfParams {
  // PostScript page size in points.
  int32_t PsPaperWidth = 595;
  int32_t PsPaperHeight = 842;
  // PostScript encoding. One-bit images: 0 RunLength, 1 CCITT Group 4, 2 CCITT Group 3
  // two-dimensional. Colour images: 3 JPEG, anything else RunLength.
  uint8_t PsCompression = 1;
  // The title comment of the document.
  std::string PsTitle = "No Title";
  // PDF page size (the media box) in points.
  int32_t PdfPaperWidth = 595;
  int32_t PdfPaperHeight = 842;
  // PDF encoding. One-bit images: 0 none, 1 RunLength, 2 CCITT Group 4, 3 and 4 CCITT Group 3
  // two-dimensional, 5 LZW. Colour images: 4 JPEG, 5 LZW, anything else none.
  uint8_t PdfCompression = 2;
  // Document information entries, written when not empty (UTF-8).
  std::string PdfTitle;
  std::string PdfAuthor;
  std::string PdfSubject;
  std::string PdfKeywords;
  std::string PdfCreator;
  std::string PdfProducer;

  void SetDefaults() { *this = PsPdfParams{}; }
  void ResetInfo() {}
  template <class V>
  static void DescribeFields(V& v) {
    v("PsPaperWidth", &PsPdfParams::PsPaperWidth);
    v("PsPaperHeight", &PsPdfParams::PsPaperHeight);
    v("PsCompression", &PsPdfParams::PsCompression);
    v("PsTitle", &PsPdfParams::PsTitle);
    v("PdfPaperWidth", &PsPdfParams::PdfPaperWidth);
    v("PdfPaperHeight", &PsPdfParams::PdfPaperHeight);
    v("PdfCompression", &PsPdfParams::PdfCompression);
    v("PdfTitle", &PsPdfParams::PdfTitle);
    v("PdfAuthor", &PsPdfParams::PdfAuthor);
    v("PdfSubject", &PsPdfParams::PdfSubject);
    v("PdfKeywords", &PsPdfParams::PdfKeywords);
    v("PdfCreator", &PsPdfParams::PdfCreator);
    v("PdfProducer", &PsPdfParams::PdfProducer);
  }
};

}  // namespace lumenax
