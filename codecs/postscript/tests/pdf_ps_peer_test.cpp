// Our PostScript and PDF documents read by other programs: qpdf checks the structure, poppler
// lists, extracts and describes the images, Ghostscript renders the pages and converts the
// PostScript. A bounded randomized sweep covers every encoding of both layouts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <sstream>
#include <string>

#include "bitmap/bitmap.h"
#include "codecs/common/tests/codec_test_util.h"
#include "codecs/postscript/postscript.h"
#include "io/params.h"

namespace lumenax {
namespace {

using namespace test;
namespace fs = std::filesystem;

bool HavePeers() {
  return HaveProgram("/usr/bin/gs") && HaveProgram("/usr/bin/qpdf") &&
         HaveProgram("/usr/bin/pdfimages") && HaveProgram("/usr/bin/pdfinfo");
}

// Runs of random length and value, so that RunLength, CCITT and LZW all meet both runs and
// noise.
void FillRandom(TLxBitmap& bm, int w, int h, PixelFormat pf, std::mt19937& rng) {
  bm.Allocate(w, h, pf);
  const size_t bytes = pf == lx1g ? size_t(w + 7) / 8 : size_t(w) * 3;
  for (int y = 0; y < h; ++y) {
    uint8_t* row = bm.ScanLine(y);
    size_t x = 0;
    while (x < bytes) {
      size_t run = 1 + rng() % (rng() % 2 ? 3 : 40);
      uint8_t v = uint8_t(rng());
      if (pf == lx1g && rng() % 2) v = rng() % 2 ? 0xFF : 0x00;
      for (; run > 0 && x < bytes; --run) row[x++] = v;
    }
    // Occasionally repeat the row above, as scanned pages do.
    if (y > 0 && rng() % 4 == 0) std::copy_n(bm.ScanLine(y - 1), bytes, row);
  }
}

// A smooth picture for the lossy encoding.
void FillSmooth(TLxBitmap& bm, int w, int h) {
  bm.Allocate(w, h, lx24RGB);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = bm.ScanLine(y) + 3 * x;
      p[0] = uint8_t(x * 255 / std::max(1, w - 1));
      p[1] = uint8_t(y * 255 / std::max(1, h - 1));
      p[2] = 128;
    }
}

std::vector<uint8_t> Write(bool pdf, TLxBitmap& bm, TIOParamsVals& params, Outcome& o) {
  TMemoryStream s;
  o = RunCodec([&](ProgressRecord& p) {
    if (pdf)
      WritePDFStream(s, bm, params, p);
    else
      WritePSStream(s, bm, params, p);
  });
  return StreamBytes(s);
}

std::string Shell(const std::string& cmd, int* status = nullptr) {
  std::string out;
  int rc = RunCommand(cmd, &out);
  if (status) *status = rc;
  return out;
}

bool QpdfCheck(const fs::path& file, std::string& report) {
  int rc = 0;
  report = Shell("/usr/bin/qpdf --check " + ShellQuote(file.string()) + " 2>&1", &rc);
  return rc == 0 && report.find("No syntax or stream encoding errors found") != std::string::npos;
}

// Renders page 1 at 72 dpi; a page size in points is forced for PostScript.
bool Render(const fs::path& file, bool gray, RgbaImage& out, const TempDir& dir, int pageW = 0,
            int pageH = 0) {
  const fs::path png = dir / "render.png";
  std::string cmd = std::string("/usr/bin/gs -q -dSAFER -dBATCH -dNOPAUSE -r72 -sDEVICE=") +
                    (gray ? "pnggray" : "png16m");
  if (pageW > 0)
    cmd += " -dDEVICEWIDTHPOINTS=" + std::to_string(pageW) +
           " -dDEVICEHEIGHTPOINTS=" + std::to_string(pageH) + " -dFIXEDMEDIA";
  cmd += " -o " + ShellQuote(png.string()) + " " + ShellQuote(file.string()) + " 2>&1";
  int rc = 0;
  std::string log = Shell(cmd, &rc);
  fs::remove(png.string() + ".x");
  if (rc != 0) {
    ADD_FAILURE() << "gs: " << log;
    return false;
  }
  return ReadPngRgba(png, out);
}

// The DSC comments a PostScript consumer relies on.
struct Dsc {
  int pages = -1;
  int bbox[4] = {-1, -1, -1, -1};
  bool endsWithEof = false;
};

Dsc ParseDsc(const std::string& ps) {
  Dsc d;
  std::istringstream in(ps);
  std::string line, last;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("%%Pages:", 0) == 0) d.pages = std::atoi(line.c_str() + 8);
    if (line.rfind("%%BoundingBox:", 0) == 0)
      std::istringstream(line.substr(14)) >> d.bbox[0] >> d.bbox[1] >> d.bbox[2] >> d.bbox[3];
    if (!line.empty()) last = line;
  }
  d.endsWithEof = last == "%%EOF";
  return d;
}

// The "enc" column of pdfimages -list for the first image.
std::string ListedEncoding(const fs::path& file) {
  std::istringstream in(Shell("/usr/bin/pdfimages -list " + ShellQuote(file.string()) + " 2>&1"));
  std::string line;
  std::getline(in, line);
  std::getline(in, line);
  std::getline(in, line);
  std::istringstream cols(line);
  std::string c[10];
  for (auto& s : c) cols >> s;
  return c[8];
}

bool Extract(const fs::path& file, RgbaImage& out, const TempDir& dir) {
  const fs::path prefix = dir / "extract";
  if (RunCommand("/usr/bin/pdfimages -png " + ShellQuote(file.string()) + " " +
                 ShellQuote(prefix.string()) + " 2>&1") != 0)
    return false;
  return ReadPngRgba(dir / "extract-000.png", out);
}

double MeanDifference(const RgbaImage& a, const RgbaImage& b) {
  if (a.rgba.size() != b.rgba.size() || a.rgba.empty()) return 256;
  double sum = 0;
  for (size_t i = 0; i < a.rgba.size(); ++i) sum += std::abs(int(a.rgba[i]) - int(b.rgba[i]));
  return sum / double(a.rgba.size());
}

struct Case {
  bool pdf;
  PixelFormat layout;
  int compression;
  const char* encoding;  // pdfimages' name of it
  bool lossy;
};

// Every compression value of both layouts, two sizes each: 1 x 1, and a random size up
// to 300 x 200. Every PDF passes qpdf, every page renders to the source pixels (within the
// JPEG error for DCT), and poppler extracts the same pixels and names the encoding.
TEST(PsPdfPeers, RandomizedEveryEncoding) {
  if (!HavePeers()) GTEST_SKIP() << "ghostscript, qpdf or poppler-utils missing";
  const Case cases[] = {
      {true, lx1g, 0, "image", false},    {true, lx1g, 1, "image", false},
      {true, lx1g, 2, "ccitt", false},    {true, lx1g, 3, "ccitt", false},
      {true, lx1g, 4, "ccitt", false},    {true, lx1g, 5, "image", false},
      {true, lx24RGB, 0, "image", false}, {true, lx24RGB, 4, "jpeg", true},
      {true, lx24RGB, 5, "image", false}, {false, lx1g, 0, "", false},
      {false, lx1g, 1, "", false},        {false, lx1g, 2, "", false},
      {false, lx24RGB, 1, "", false},     {false, lx24RGB, 3, "", true},
  };
  std::mt19937 rng(20261209);
  TempDir dir;
  for (const Case& c : cases) {
    for (int k = 0; k < 2; ++k) {
      const int w = k == 0 ? 1 : 1 + int(rng() % 300), h = k == 0 ? 1 : 1 + int(rng() % 200);
      SCOPED_TRACE(std::string(c.pdf ? "pdf" : "ps") + (c.layout == lx1g ? " 1-bit" : " rgb") +
                   " compression " + std::to_string(c.compression) + " " + std::to_string(w) + "x" +
                   std::to_string(h));
      TLxBitmap bm;
      if (c.lossy)
        FillSmooth(bm, w, h);
      else
        FillRandom(bm, w, h, c.layout, rng);
      TIOParamsVals params;
      // The page is the image's size, so that one point is one pixel at 72 dpi.
      params.PdfPaperWidth = params.PsPaperWidth = w;
      params.PdfPaperHeight = params.PsPaperHeight = h;
      params.PdfCompression = params.PsCompression = uint8_t(c.compression);
      Outcome o;
      const std::vector<uint8_t> bytes = Write(c.pdf, bm, params, o);
      ASSERT_FALSE(o.aborting) << o.reason.Text();
      const fs::path file = dir / (c.pdf ? "page.pdf" : "page.ps");
      WriteFileBytes(file, bytes);
      const RgbaImage source = BitmapToRgba(bm);
      const bool gray = c.layout == lx1g;

      int pageW = 0, pageH = 0;
      if (c.pdf) {
        std::string report;
        EXPECT_TRUE(QpdfCheck(file, report)) << report;
        EXPECT_EQ(ListedEncoding(file), c.encoding);
        RgbaImage extracted;
        ASSERT_TRUE(Extract(file, extracted, dir));
        if (c.lossy)
          EXPECT_LT(MeanDifference(extracted, source), 4.0);
        else
          EXPECT_EQ(CountDifferentPixels(extracted, source), 0u);
      } else {
        // The page size comes from our bounding box.
        const Dsc dsc = ParseDsc(std::string(bytes.begin(), bytes.end()));
        EXPECT_EQ(dsc.pages, 1);
        EXPECT_TRUE(dsc.endsWithEof);
        EXPECT_EQ(dsc.bbox[0], 0);
        EXPECT_EQ(dsc.bbox[1], 0);
        pageW = dsc.bbox[2], pageH = dsc.bbox[3];
      }
      RgbaImage page;
      ASSERT_TRUE(Render(file, gray, page, dir, pageW, pageH));
      if (c.lossy)
        EXPECT_LT(MeanDifference(page, source), 4.0);
      else
        EXPECT_EQ(CountDifferentPixels(page, source), 0u);
    }
  }
}

// A 100 x 50 image on A4 fills the top 595 x 297 points; the rest of the page is white.
TEST(PsPdfPeers, A4PagePlacement) {
  if (!HavePeers()) GTEST_SKIP() << "ghostscript, qpdf or poppler-utils missing";
  TempDir dir;
  TLxBitmap bm;
  bm.Allocate(100, 50, lx24RGB);
  for (int y = 0; y < 50; ++y)
    for (int x = 0; x < 100; ++x) {
      uint8_t* p = bm.ScanLine(y) + 3 * x;
      p[0] = 0x20, p[1] = 0x40, p[2] = 0xC0;
    }
  for (bool pdf : {true, false}) {
    SCOPED_TRACE(pdf ? "pdf" : "ps");
    TIOParamsVals params;
    Outcome o;
    const fs::path file = dir / (pdf ? "a4.pdf" : "a4.ps");
    WriteFileBytes(file, Write(pdf, bm, params, o));
    RgbaImage page;
    ASSERT_TRUE(Render(file, false, page, dir, pdf ? 0 : 595, pdf ? 0 : 842));
    ASSERT_EQ(page.width, 595);
    ASSERT_EQ(page.height, 842);
    size_t wrong = 0;
    for (int y = 0; y < 842; ++y)
      for (int x = 0; x < 595; ++x) {
        const uint8_t* p = page.at(x, y);
        const bool inImage = y < 297;
        const bool ok = inImage ? (p[0] == 0xC0 && p[1] == 0x40 && p[2] == 0x20)
                                : (p[0] == 255 && p[1] == 255 && p[2] == 255);
        wrong += !ok;
      }
    EXPECT_EQ(wrong, 0u);
  }
}

// pdfinfo reads the page size and the information entries, non-ASCII texts included; ps2pdf
// converts the PostScript.
TEST(PsPdfPeers, InformationAndConversion) {
  if (!HavePeers()) GTEST_SKIP() << "ghostscript, qpdf or poppler-utils missing";
  TempDir dir;
  TLxBitmap bm;
  std::mt19937 rng(7);
  FillRandom(bm, 64, 48, lx1g, rng);
  TIOParamsVals params;
  params.PdfTitle =
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x9C\x93";
  params.PdfAuthor = "A (b) \\ c";
  params.PdfKeywords = "one two";
  params.PdfPaperWidth = 300;
  params.PdfPaperHeight = 400;
  Outcome o;
  const fs::path pdf = dir / "info.pdf";
  WriteFileBytes(pdf, Write(true, bm, params, o));
  const std::string info = Shell("/usr/bin/pdfinfo -enc UTF-8 " + ShellQuote(pdf.string()));
  // The value of a "Key:   value" line, or "(none)".
  auto field = [&info](const std::string& key) -> std::string {
    std::istringstream in(info);
    for (std::string line; std::getline(in, line);)
      if (line.rfind(key + ":", 0) == 0) {
        size_t at = line.find_first_not_of(' ', key.size() + 1);
        return at == std::string::npos ? "" : line.substr(at);
      }
    return "(none)";
  };
  EXPECT_EQ(field("Title"),
            "Gr\xC3\xBC\xC3\x9F"
            "e \xE2\x9C\x93");
  EXPECT_EQ(field("Author"), "A (b) \\ c");
  EXPECT_EQ(field("Keywords"), "one two");
  EXPECT_EQ(field("Page size").rfind("300 x 400 pts", 0), 0u) << info;
  EXPECT_EQ(field("Subject"), "(none)");
  EXPECT_NE(field("CreationDate"), "(none)");

  for (int compression : {1, 0}) {
    TLxBitmap colour;
    FillRandom(colour, 40, 30, lx24RGB, rng);
    TLxBitmap& source = compression == 1 ? bm : colour;
    params.PsCompression = uint8_t(compression);
    const fs::path ps = dir / "page.ps";
    WriteFileBytes(ps, Write(false, source, params, o));
    const fs::path converted = dir / "converted.pdf";
    int rc = 0;
    std::string log = Shell("/usr/bin/ps2pdf " + ShellQuote(ps.string()) + " " +
                                ShellQuote(converted.string()) + " 2>&1",
                            &rc);
    EXPECT_EQ(rc, 0) << log;
    std::string report;
    EXPECT_TRUE(QpdfCheck(converted, report)) << report;
  }
}

}  // namespace
}  // namespace lumenax
