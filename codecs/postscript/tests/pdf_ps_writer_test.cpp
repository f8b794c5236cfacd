// PostScript and PDF writers without peers: the shared encoders, the PDF object classes, the
// document structure (page matrix, cross-reference offsets, information entries) and the
// refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <random>
#include <string>

#include "bitmap/bitmap.h"
#include "bitmap/worker_pool.h"
#include "codecs/common/lzw_encoder.h"
#include "codecs/common/stream_buffer.h"
#include "codecs/common/tests/codec_test_util.h"
#include "codecs/postscript/pdf_objects.h"
#include "codecs/postscript/postscript.h"
#include "codecs/postscript/ps_common.h"
#include "io/lumenax_io.h"
#include "io/params.h"

namespace lumenax {
namespace {

using namespace test;

std::string Str(const std::vector<uint8_t>& v) {
  return std::string(v.begin(), v.end());
}

template <class O>
std::string Written(const O& object) {
  TMemoryStream s;
  ProgressRecord p;
  {
    TLxWriteBuffer out(s, p);
    object.Write(out);
    out.Flush();
  }
  return Str(StreamBytes(s));
}

std::string A85(std::vector<uint8_t> bytes, int64_t* total = nullptr) {
  std::string out;
  int64_t t = 0;
  Ascii85Encode(bytes.data(), bytes.size(), out, t);
  if (total) *total = t;
  return out;
}

// A small ASCII85 decoder to check the encoder's output against.
std::vector<uint8_t> A85Decode(const std::string& text) {
  std::vector<uint8_t> out;
  uint32_t v = 0;
  int n = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '~') break;
    if (c == '\r' || c == '\n') continue;
    if (c == 'z') {
      out.insert(out.end(), 4, 0);
      continue;
    }
    v = v * 85 + uint32_t(c - 33);
    if (++n == 5) {
      for (int k = 3; k >= 0; --k) out.push_back(uint8_t(v >> (8 * k)));
      v = 0, n = 0;
    }
  }
  if (n > 0) {
    for (int k = n; k < 5; ++k) v = v * 85 + 84;
    for (int k = 0; k < n - 1; ++k) out.push_back(uint8_t(v >> (24 - 8 * k)));
  }
  return out;
}

std::vector<uint8_t> RleDecode(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < in.size();) {
    int len = in[i++];
    if (len == 128) break;
    if (len < 128) {
      out.insert(out.end(), in.begin() + std::ptrdiff_t(i),
                 in.begin() + std::ptrdiff_t(i) + len + 1);
      i += size_t(len) + 1;
    } else {
      out.insert(out.end(), size_t(257 - len), in[i++]);
    }
  }
  return out;
}

TEST(PsEncoding, FitToPage) {
  auto f = FitToPage(100, 50, 595, 842);
  EXPECT_EQ(f.Width, 595);
  EXPECT_EQ(f.Height, 297);
  // The limiting side always comes out as the page's, also where the quotient is inexact.
  for (int w = 1; w < 400; ++w) EXPECT_EQ(FitToPage(w, 1, 595, 842).Width, 595) << w;
  for (int h = 2; h < 400; ++h) EXPECT_EQ(FitToPage(1, h, 595, 842).Height, 842) << h;
  f = FitToPage(1, 100000, 595, 842);
  EXPECT_EQ(f.Width, 1);
  EXPECT_EQ(f.Height, 842);
  f = FitToPage(0, 10, 595, 842);
  EXPECT_EQ(f.Width, 0);
  EXPECT_EQ(f.Height, 0);
}

TEST(PsEncoding, Ascii85GroupsAndLines) {
  int64_t total = 0;
  EXPECT_EQ(A85({0, 0, 0, 0}, &total), "z~>\r\n");
  EXPECT_EQ(total, 1);
  EXPECT_EQ(A85({0, 0, 0}, &total), "!!!!~>\r\n");
  EXPECT_EQ(total, 4);
  EXPECT_EQ(A85({'M', 'a', 'n', ' '}), "9jqo^~>\r\n");
  EXPECT_EQ(A85({}), "~>\r\n");

  // 200 groups: a line break after every 15 groups (75 characters), none counted in total.
  std::vector<uint8_t> data(800);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + 1);
  std::string text = A85(data, &total);
  EXPECT_EQ(total, 1000);
  size_t start = 0, lines = 0;
  for (size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2, ++lines)
    EXPECT_LE(at - start, 80u);
  EXPECT_EQ(lines, 200u / 15 + 1);
  EXPECT_EQ(A85Decode(text), data);

  // The total keeps running across calls.
  std::string out;
  int64_t running = 10;
  Ascii85Encode(data.data(), 5, out, running);
  EXPECT_EQ(running, 10 + 5 + 2);
}

TEST(PsEncoding, RunLength) {
  EXPECT_EQ(RunLengthEncode(std::vector<uint8_t>{5, 5, 5, 7}.data(), 4),
            (std::vector<uint8_t>{254, 5, 0, 7, 128}));
  EXPECT_EQ(RunLengthEncode(nullptr, 0), (std::vector<uint8_t>{128}));
  // Runs and literals are cut at 128.
  std::vector<uint8_t> same(200, 9);
  EXPECT_EQ(RunLengthEncode(same.data(), same.size()), (std::vector<uint8_t>{129, 9, 185, 9, 128}));
  std::vector<uint8_t> ramp(130);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = uint8_t(i);
  std::vector<uint8_t> packed = RunLengthEncode(ramp.data(), ramp.size());
  ASSERT_EQ(packed.size(), 1 + 128 + 1 + 2 + 1u);
  EXPECT_EQ(packed[0], 127);
  EXPECT_EQ(packed[129], 1);
  EXPECT_EQ(RleDecode(packed), ramp);
  // Mixed data decode back to themselves.
  std::vector<uint8_t> mixed;
  for (int i = 0; i < 3000; ++i) mixed.push_back(uint8_t((i / 3) % 5 == 0 ? 0 : i * 31 % 7));
  EXPECT_EQ(RleDecode(RunLengthEncode(mixed.data(), mixed.size())), mixed);
}

// The encoders in their plainest form, byte by byte, to hold the fast ones against.
std::vector<uint8_t> PlainRunLength(const std::vector<uint8_t>& d) {
  std::vector<uint8_t> out;
  size_t p = 0;
  while (p < d.size()) {
    size_t run = 1;
    while (p + run < d.size() && run < 128 && d[p + run] == d[p]) ++run;
    if (run >= 2) {
      out.push_back(uint8_t(257 - run));
      out.push_back(d[p]);
      p += run;
      continue;
    }
    size_t n = 1;
    while (p + n < d.size() && n < 128 && d[p + n] != d[p + n - 1]) ++n;
    out.push_back(uint8_t(n - 1));
    out.insert(out.end(), d.begin() + std::ptrdiff_t(p), d.begin() + std::ptrdiff_t(p + n));
    p += n;
  }
  out.push_back(128);
  return out;
}

std::string PlainAscii85(const std::vector<uint8_t>& d, int64_t& total) {
  std::string out;
  int line = 0;
  for (size_t i = 0; i < d.size(); i += 4) {
    const size_t n = std::min<size_t>(4, d.size() - i);
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) v = (v << 8) | (k < n ? d[i + k] : 0u);
    if (n == 4 && v == 0) {
      out += 'z';
      ++line, ++total;
    } else {
      char digits[5];
      for (int k = 4; k >= 0; --k, v /= 85) digits[k] = char(v % 85 + 33);
      out.append(digits, n + 1);
      line += int(n) + 1, total += int64_t(n) + 1;
    }
    if (line > 74) out += "\r\n", line = 0;
  }
  return out + "~>\r\n";
}

// Data of every kind the encoders meet: noise, runs (some longer than 128), pairs that cut
// literals short, zero words, and all of these mixed.
std::vector<std::vector<uint8_t>> Samples() {
  std::mt19937 rng(17);
  std::vector<std::vector<uint8_t>> out;
  for (int kind = 0; kind < 5; ++kind)
    for (size_t size : {0, 1, 2, 3, 7, 64, 127, 128, 129, 130, 257, 1000, 4099}) {
      std::vector<uint8_t> d(size);
      for (size_t i = 0; i < size; ++i) {
        const uint32_t r = rng();
        switch (kind) {
          case 0:
            d[i] = uint8_t(r);
            break;
          case 1:
            d[i] = uint8_t(i / 150 % 3);
            break;
          case 2:
            d[i] = uint8_t((i + 1) / 2 * 7);
            break;  // a b b c c d d ...: most expansion
          case 3:
            d[i] = (i / 4) % 3 == 0 ? 0 : uint8_t(r);
            break;
          default:
            d[i] = r % 4 == 0 ? uint8_t(r >> 8) : i ? d[i - 1] : 0;
            break;
        }
      }
      out.push_back(std::move(d));
    }
  return out;
}

TEST(PsEncoding, FastEncodersGiveThePlainFormInAnyPieces) {
  std::mt19937 rng(5);
  for (const std::vector<uint8_t>& d : Samples()) {
    const std::string what = std::to_string(d.size()) + " bytes";
    const std::vector<uint8_t> rle = PlainRunLength(d);
    ASSERT_EQ(RunLengthEncode(d.data(), d.size()), rle) << what;
    EXPECT_EQ(RunLengthSize(d.data(), d.size()), rle.size()) << what;
    ASSERT_LE(rle.size(), RunLengthMaxSize(d.size())) << what;
    TLxRunLengthEncoder pieces;
    std::vector<uint8_t> packed;
    for (size_t at = 0; at < d.size();) {
      const size_t n = std::min<size_t>(d.size() - at, rng() % 300);
      pieces.Add(d.data() + at, n, packed);
      at += n;
    }
    pieces.End(packed);
    EXPECT_EQ(packed, rle) << what;

    int64_t plainTotal = 0;
    const std::string text = PlainAscii85(d, plainTotal);
    int64_t total = 0;
    EXPECT_EQ(A85(d, &total), text) << what;
    EXPECT_EQ(total, plainTotal) << what;
    TLxAscii85Encoder encoder, counter;
    std::vector<uint8_t> out(TLxAscii85Encoder::MaxText(d.size()));
    size_t used = 0;
    for (size_t at = 0; at < d.size();) {
      const size_t n = std::min<size_t>(d.size() - at, rng() % 90);
      used += encoder.Add(d.data() + at, n, out.data() + used);
      counter.Count(d.data() + at, n);
      at += n;
    }
    used += encoder.End(out.data() + used);
    counter.CountEnd();
    EXPECT_EQ(std::string(out.begin(), out.begin() + std::ptrdiff_t(used)), text) << what;
    EXPECT_EQ(encoder.Total(), plainTotal) << what;
    EXPECT_EQ(counter.Total(), plainTotal) << what;
    // RunLength data never hold a zero group, so their count needs only their size.
    TLxAscii85Encoder block;
    block.CountBlock(rle.size());
    int64_t rleTotal = 0;
    PlainAscii85(rle, rleTotal);
    EXPECT_EQ(block.Total(), rleTotal) << what;
  }
}

TEST(PsEncoding, RowsInRedGreenBlueAndByChannel) {
  for (int w = 0; w < 40; ++w) {
    std::vector<uint8_t> row(size_t(3 * w) + 1, 0xEE), rgb(size_t(3 * w) + 1, 0xEE);
    for (int i = 0; i < 3 * w; ++i) row[size_t(i)] = uint8_t(i * 11 + 1);
    std::vector<uint8_t> r(size_t(w) + 1, 0xEE), g(r), b(r);
    RowToRgb(row.data(), w, rgb.data());
    RowToChannels(row.data(), w, r.data(), g.data(), b.data());
    for (int x = 0; x < w; ++x) {
      ASSERT_EQ(rgb[size_t(3 * x)], row[size_t(3 * x + 2)]) << w;
      ASSERT_EQ(rgb[size_t(3 * x + 1)], row[size_t(3 * x + 1)]) << w;
      ASSERT_EQ(rgb[size_t(3 * x + 2)], row[size_t(3 * x)]) << w;
      ASSERT_EQ(r[size_t(x)], row[size_t(3 * x + 2)]) << w;
      ASSERT_EQ(g[size_t(x)], row[size_t(3 * x + 1)]) << w;
      ASSERT_EQ(b[size_t(x)], row[size_t(3 * x)]) << w;
    }
    // Nothing past the row.
    EXPECT_EQ(rgb[size_t(3 * w)], 0xEE);
    EXPECT_EQ(r[size_t(w)], 0xEE);
    EXPECT_EQ(b[size_t(w)], 0xEE);
  }
}

TEST(PsEncoding, CommentTextsAndDates) {
  EXPECT_EQ(CleanCommentText("a\r\nshowpage\tb\x7F"), "a  showpage b ");
  EXPECT_EQ(CleanCommentText("caf\xC3\xA9"), "caf??");
  std::tm t{};
  t.tm_year = 126, t.tm_mon = 11, t.tm_mday = 9, t.tm_wday = 3;
  t.tm_hour = 7, t.tm_min = 5, t.tm_sec = 3;
  std::setlocale(LC_ALL, "de_DE.UTF-8");  // names stay English where such a locale exists
  EXPECT_EQ(PsDateText(t), "Wed Dec 09 07:05:03 2026");
  EXPECT_EQ(PdfDateText(t), "20261209070503");
  std::setlocale(LC_ALL, "C");
}

TEST(PdfObjects, EachClassWritesItsForm) {
  EXPECT_EQ(Written(TLxPDFRefObject(7)), "7 0 R");
  EXPECT_EQ(Written(TLxPDFBooleanObject(true)), "true");
  EXPECT_EQ(Written(TLxPDFBooleanObject(false)), "false");
  EXPECT_EQ(Written(TLxPDFNumericObject(595)), "595");
  EXPECT_EQ(Written(TLxPDFNumericObject(-1)), "-1");
  EXPECT_EQ(Written(TLxPDFNumericObject(0.5)), "0.5");
  EXPECT_EQ(Written(TLxPDFNumericObject(-2.25)), "-2.25");
  EXPECT_EQ(Written(TLxPDFNumericObject(1e20)), "100000000000000000000");
  EXPECT_EQ(Written(TLxPDFStringObject("a(b)c\\d\b\t\n\f\r")), "(a\\(b\\)c\\\\d\\b\\t\\n\\f\\r)");
  // UTF-8 text becomes UTF-16BE with a byte order mark; bad bytes become U+FFFD.
  EXPECT_EQ(Written(TLxPDFStringObject("\xC3\xA9t\xC3\xA9")), "<FEFF00E9007400E9>");
  EXPECT_EQ(Written(TLxPDFStringObject("\xF0\x9F\x98\x80")), "<FEFFD83DDE00>");
  EXPECT_EQ(Written(TLxPDFStringObject("a\xFF")), "<FEFF0061FFFD>");
  EXPECT_EQ(Written(TLxPDFStringObject("\xE2\x82")), "<FEFFFFFDFFFD>");
  EXPECT_EQ(Written(TLxPDFNameObject("a b")), "/a#20b");
  EXPECT_EQ(Written(TLxPDFNameObject("x\x7F#(")), "/x#7F#23#28");
  TLxPDFArrayObject array;
  array.Add(PdfName("PDF")).Add(PdfNumber(3)).Add(PdfRef(2));
  EXPECT_EQ(Written(array), "[/PDF 3 2 0 R ]");
  TLxPDFDictionaryObject dict;
  dict.Add("Type", PdfName("Page")).Add("Count", PdfNumber(1));
  dict.Insert(0, "First", PdfBool(false));
  EXPECT_EQ(Written(dict), "<< /First false\n/Type /Page\n/Count 1\n>>");
  TLxPDFStreamObject stream;
  stream.Data = {'a', 'b', 'c'};
  stream.Dictionary.Add("Filter", PdfName("X"));
  EXPECT_EQ(Written(stream), "<< /Length 3\n/Filter /X\n>>\nstream\nabc\nendstream");

  // Numbers keep "." under a locale whose separator is ",".
  if (std::setlocale(LC_ALL, "de_DE.UTF-8") || std::setlocale(LC_ALL, "fr_FR.UTF-8")) {
    EXPECT_EQ(Written(TLxPDFNumericObject(0.5)), "0.5");
    std::setlocale(LC_ALL, "C");
  }
}

void Fill24(TLxBitmap& bm, int w, int h, unsigned seed = 1) {
  bm.Allocate(w, h, lx24RGB);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = bm.ScanLine(y);
    for (int x = 0; x < 3 * w; ++x) row[x] = uint8_t((x * 13 + y * 7 + seed) / 5);
  }
}

std::string SavePdf(TLxBitmap& bm, TIOParamsVals& params, Outcome* outcome = nullptr) {
  TMemoryStream s;
  Outcome o = RunCodec([&](ProgressRecord& p) { WritePDFStream(s, bm, params, p); });
  if (outcome) *outcome = o;
  return Str(StreamBytes(s));
}

std::string SavePs(TLxBitmap& bm, TIOParamsVals& params, Outcome* outcome = nullptr) {
  TMemoryStream s;
  Outcome o = RunCodec([&](ProgressRecord& p) { WritePSStream(s, bm, params, p); });
  if (outcome) *outcome = o;
  return Str(StreamBytes(s));
}

TEST(PdfWriter, OnePageDocument) {
  TLxBitmap bm;
  Fill24(bm, 100, 50);
  TIOParamsVals params;
  params.PdfTitle = "Report (draft)";
  params.PdfAuthor = "";
  params.PdfSubject =
      "Gr\xC3\xBC\xC3\x9F"
      "e";
  Outcome o;
  const std::string pdf = SavePdf(bm, params, &o);
  ASSERT_FALSE(o.aborting) << o.reason.Text();
  EXPECT_EQ(pdf.substr(0, 15), "%PDF-1.4\n%\xC8\xD2\xF0\xFE\n");
  EXPECT_NE(pdf.find("q\n595 0 0 297 0 545 cm\n/lm1 Do\nQ"), std::string::npos);
  EXPECT_NE(pdf.find("/XObject << /lm1 3 0 R\n>>"), std::string::npos);
  EXPECT_NE(pdf.find("/MediaBox [0 0 595 842 ]"), std::string::npos);
  EXPECT_NE(pdf.find("/Length 15000\n"), std::string::npos);
  EXPECT_NE(pdf.find("/Title (Report \\(draft\\))"), std::string::npos);
  EXPECT_NE(pdf.find("/Subject <FEFF0047007200FC00DF0065>"), std::string::npos);
  EXPECT_EQ(pdf.find("/Author"), std::string::npos);
  const size_t date = pdf.find("/CreationDate (D:");
  ASSERT_NE(date, std::string::npos);
  EXPECT_TRUE(std::all_of(pdf.begin() + std::ptrdiff_t(date) + 17,
                          pdf.begin() + std::ptrdiff_t(date) + 31, ::isdigit));
  EXPECT_EQ(pdf[date + 31], ')');
  EXPECT_NE(pdf.find("trailer\n<< /Size 8\n/Root 1 0 R\n/Info 7 0 R\n>>\nstartxref\n"),
            std::string::npos);
  EXPECT_EQ(params.BitsPerSample, 8);
  EXPECT_EQ(params.SamplesPerPixel, 3);

  // Objects 1 catalog ... 7 information, each xref entry at its "N 0 obj" line.
  const size_t sx = pdf.rfind("startxref\n");
  const size_t xref = std::stoul(pdf.substr(sx + 10));
  ASSERT_EQ(pdf.compare(xref, 12, "xref\n0 8\n000"), 0);
  const char* kinds[] = {"/Type /Catalog", "/ProcSet",     "/Subtype /Image", "cm\n",
                         "/Type /Page\n",  "/Type /Pages", "/CreationDate"};
  for (int n = 1; n <= 7; ++n) {
    const size_t entry = xref + 9 + 20 * size_t(n);
    const size_t offset = std::stoul(pdf.substr(entry, 10));
    EXPECT_EQ(pdf.substr(entry + 10, 10), " 00000 n \n");
    const std::string head = std::to_string(n) + " 0 obj\n";
    ASSERT_EQ(pdf.compare(offset, head.size(), head), 0) << n;
    const size_t end = pdf.find("endobj", offset);
    EXPECT_NE(pdf.substr(offset, end - offset).find(kinds[n - 1]), std::string::npos) << n;
  }
  // The pixels, red-green-blue, follow the image dictionary.
  const size_t data = pdf.find("stream\n", pdf.find("/Subtype /Image")) + 7;
  EXPECT_EQ(uint8_t(pdf[data]), bm.ScanLine(0)[2]);
  EXPECT_EQ(uint8_t(pdf[data + 2]), bm.ScanLine(0)[0]);
}

TEST(PdfWriter, JpegColourSpaceFollowsThePage) {
  TLxBitmap bm;
  Fill24(bm, 40, 30);
  TIOParamsVals params;
  params.PdfCompression = 4;
  auto components = [](const std::string& doc) {
    // Number of components in the first SOFn of the embedded JPEG.
    size_t at = doc.find("\xFF\xD8");
    for (; at + 10 < doc.size(); ++at)
      if (uint8_t(doc[at]) == 0xFF && (uint8_t(doc[at + 1]) & 0xF0) == 0xC0 &&
          uint8_t(doc[at + 1]) != 0xC4 && uint8_t(doc[at + 1]) != 0xC8 &&
          uint8_t(doc[at + 1]) != 0xCC)
        return int(uint8_t(doc[at + 9]));
    return -1;
  };
  // A CMYK colour space left from a load still gives three components and DeviceRGB.
  params.JpegColorSpace = jcCMYK;
  std::string pdf = SavePdf(bm, params);
  EXPECT_NE(pdf.find("/Filter /DCTDecode"), std::string::npos);
  EXPECT_NE(pdf.find("/ColorSpace /DeviceRGB"), std::string::npos);
  EXPECT_EQ(components(pdf), 3);
  params.JpegColorSpace = jcGrayScale;
  pdf = SavePdf(bm, params);
  EXPECT_NE(pdf.find("/ColorSpace /DeviceGray"), std::string::npos);
  EXPECT_EQ(components(pdf), 1);
  EXPECT_EQ(params.JpegColorSpace, jcGrayScale);
  // PostScript always says three components.
  params.PsCompression = 3;
  const std::string ps = SavePs(bm, params);
  const size_t begin = ps.find("colorimage\r\n") + 12;
  const std::string jpeg = [&] {
    std::vector<uint8_t> d = A85Decode(ps.substr(begin));
    return Str(d);
  }();
  EXPECT_EQ(components(jpeg), 3);
  EXPECT_NE(ps.find("false 3\r\n"), std::string::npos);
}

TEST(PsWriter, OnePageDocument) {
  TLxBitmap bm;
  Fill24(bm, 100, 50);
  TIOParamsVals params;
  params.PsTitle = "x\r\n%%EOF\nshowpage \xC3\xA9";
  Outcome o;
  const std::string ps = SavePs(bm, params, &o);
  ASSERT_FALSE(o.aborting) << o.reason.Text();
  EXPECT_EQ(ps.rfind("%!PS-Adobe-3.0\r\n%%Creator: Lumenax by Quorvantic\r\n", 0), 0u);
  EXPECT_NE(ps.find("%%Title: x  %%EOF showpage ??\r\n"), std::string::npos);
  const size_t date = ps.find("%%CreationDate: ");
  ASSERT_NE(date, std::string::npos);
  EXPECT_EQ(ps.find("\r\n", date) - date, 16 + 24u);
  EXPECT_NE(ps.find("%%Pages: 1     \r\n%%BoundingBox: 0 0 595 842\r\n"), std::string::npos);
  EXPECT_NE(ps.find("%%Page: 1 1\r\n0 842 translate\r\n595 -297 scale\r\n100 50 8\r\n"
                    "[ 100 0 0 50 0 0 ]\r\n/rstr 100 string def\r\n"),
            std::string::npos);
  EXPECT_NE(ps.find("true 3\r\n%%BeginData:      "), std::string::npos);
  EXPECT_TRUE(ps.ends_with("%%EndData\r\nshowpage\r\n%%Trailer\r\nend\r\n%%EOF\r\n"));

  // The data: 3 x 50 blocks, red, green, blue of each row; the count is their characters.
  const size_t countAt = ps.find("%%BeginData:") + 18;
  const int64_t count = std::stoll(ps.substr(countAt));
  size_t at = ps.find("colorimage\r\n") + 12;
  const size_t end = ps.find("%%EndData");
  int64_t chars = 0;
  for (size_t i = at; i < end; ++i)
    if (ps[i] != '\r' && ps[i] != '\n') ++chars;
  EXPECT_EQ(chars - 3 * 50 * 2, count);  // "~>" of each block not counted
  for (int y = 0; y < 50; ++y)
    for (int c : {2, 1, 0}) {
      const size_t stop = ps.find("~>", at);
      std::vector<uint8_t> samples = RleDecode(A85Decode(ps.substr(at, stop - at)));
      ASSERT_EQ(samples.size(), 100u);
      for (int x = 0; x < 100; ++x) ASSERT_EQ(samples[size_t(x)], bm.ScanLine(y)[3 * x + c]);
      at = stop + 4;
    }
}

TEST(PsWriter, OneBitRunLength) {
  TLxBitmap bm;
  bm.Allocate(21, 5, lx1g);
  for (int y = 0; y < 5; ++y)
    for (int i = 0; i < 3; ++i) bm.ScanLine(y)[i] = uint8_t(y * 40 + i);
  TIOParamsVals params;
  params.PsCompression = 0;
  params.PsPaperWidth = 0;  // below 1: the default
  params.PsPaperHeight = -5;
  const std::string ps = SavePs(bm, params);
  EXPECT_NE(ps.find("%%BoundingBox: 0 0 595 842\r\n"), std::string::npos);
  EXPECT_NE(ps.find("21 5 1\r\n[ 21 0 0 5 0 0 ]\r\ncurrentfile /ASCII85Decode filter "
                    "/RunLengthDecode filter\r\n%%BeginData:"),
            std::string::npos);
  EXPECT_NE(ps.find("\r\nimage\r\n"), std::string::npos);
  const size_t at = ps.find("\r\nimage\r\n") + 9;
  std::vector<uint8_t> rows = RleDecode(A85Decode(ps.substr(at)));
  ASSERT_EQ(rows.size(), 15u);
  EXPECT_EQ(rows[4], 41);
  EXPECT_EQ(params.BitsPerSample, 1);
  EXPECT_EQ(params.SamplesPerPixel, 1);
}

// The image stream's data, checked against its /Length, direct or indirect.
std::string ImageData(const std::string& pdf) {
  const size_t dict = pdf.find("/Subtype /Image");
  const size_t at = pdf.find("/Length ", dict) + 8;
  const size_t start = pdf.find(">>\nstream\n", dict) + 10;
  const size_t end = pdf.find("\nendstream", start);
  size_t length = std::stoul(pdf.substr(at));
  const size_t line = pdf.find('\n', at);
  if (pdf.substr(line - 2, 2) == " R") {
    const std::string head = "\n" + std::to_string(length) + " 0 obj\n";
    const size_t object = pdf.find(head);
    EXPECT_NE(object, std::string::npos) << head;
    length = std::stoul(pdf.substr(object + head.size()));
  }
  EXPECT_EQ(end - start, length);
  return pdf.substr(start, end - start);
}

// Compressed data are written as they are made, so their count comes after them, in an
// indirect number object (object 8); uncompressed data keep a direct count and 7 objects.
TEST(PdfWriter, CompressedDataTakeTheirLengthFromAnObjectAfterThem) {
  TLxBitmap colour;
  Fill24(colour, 300, 200, 3);
  TLxBitmap bits;
  bits.Allocate(300, 200, lx1g);
  for (int y = 0; y < 200; ++y)
    for (int i = 0; i < 38; ++i) bits.ScanLine(y)[i] = uint8_t(y % 7 ? 0xFF : i * 37);
  for (auto [bm, compression] :
       {std::pair{&colour, 5}, std::pair{&colour, 4}, std::pair{&colour, 0}, std::pair{&bits, 1},
        std::pair{&bits, 2}, std::pair{&bits, 0}}) {
    TIOParamsVals params;
    params.PdfCompression = uint8_t(compression);
    Outcome o;
    const std::string pdf = SavePdf(*bm, params, &o);
    const std::string what = std::to_string(compression);
    ASSERT_FALSE(o.aborting) << what;
    const std::string data = ImageData(pdf);
    const bool direct = compression == 0;
    const int objects = direct ? 7 : 8;
    EXPECT_EQ(pdf.find("/Length 8 0 R\n") != std::string::npos, !direct) << what;
    EXPECT_NE(pdf.find("trailer\n<< /Size " + std::to_string(objects + 1) +
                       "\n/Root 1 0 R\n/Info 7 0 R\n>>"),
              std::string::npos)
        << what;
    const size_t xref = std::stoul(pdf.substr(pdf.rfind("startxref\n") + 10));
    for (int n = 1; n <= objects; ++n) {
      const size_t offset = std::stoul(pdf.substr(xref + 9 + 20 * size_t(n), 10));
      const std::string head = std::to_string(n) + " 0 obj\n";
      EXPECT_EQ(pdf.compare(offset, head.size(), head), 0) << what << " object " << n;
    }
    if (compression == 1) {
      EXPECT_EQ(RleDecode(std::vector<uint8_t>(data.begin(), data.end())).size(), 38u * 200);
    }
    if (compression == 0 && bm == &colour) {
      EXPECT_EQ(uint8_t(data[3 * 299]), colour.ScanLine(0)[3 * 299 + 2]);
    }
  }
}

// Data larger than the encoders' blocks: the one-bit RunLength block runs across pieces of
// rows, colour rows are encoded in bands on several threads, the text goes out in several
// writes, and the announced count still matches; the page is the same on one thread.
TEST(PsWriter, LargeImagesKeepTheirCountAndData) {
  TLxBitmap bits;
  bits.Allocate(1500, 420, lx1g);  // 79 KB of rows
  for (int y = 0; y < 420; ++y)
    for (int i = 0; i < 188; ++i)
      bits.ScanLine(y)[i] = uint8_t((i + y) % 50 < 30 ? 0xFF : (i * 7 + y) % 5 ? i * 13 : 0);
  TLxBitmap colour;
  Fill24(colour, 900, 500, 9);  // 1.35 MB of samples, more text than one block
  for (TLxBitmap* bm : {&bits, &colour}) {
    TIOParamsVals params;
    params.PsCompression = 0;
    Outcome o;
    const std::string ps = SavePs(*bm, params, &o);
    ASSERT_FALSE(o.aborting);
    const int64_t count = std::stoll(ps.substr(ps.find("%%BeginData:") + 18));
    const size_t start =
        ps.find(bm == &bits ? "\r\nimage\r\n" : "colorimage\r\n") + (bm == &bits ? 9 : 12);
    const size_t end = ps.find("%%EndData");
    int64_t chars = 0;
    for (size_t i = start; i < end; ++i)
      if (ps[i] != '\r' && ps[i] != '\n') ++chars;
    const int64_t blocks = bm == &bits ? 1 : 3 * 500;
    EXPECT_EQ(chars - 2 * blocks, count);
    {
      std::vector<std::unique_ptr<TLxBusyConversion>> busy;
      for (int i = 0; i < CoreCount(); ++i) busy.push_back(std::make_unique<TLxBusyConversion>());
      ASSERT_EQ(SpareLanes(), 1);
      const std::string alone = SavePs(*bm, params);
      const size_t date = ps.find("%%CreationDate"), next = ps.find('\n', date);
      EXPECT_TRUE(alone.size() == ps.size() && alone.compare(0, date, ps, 0, date) == 0 &&
                  alone.compare(next, std::string::npos, ps, next) == 0);
    }
    if (bm == &bits) {
      const std::vector<uint8_t> rows = RleDecode(A85Decode(ps.substr(start)));
      ASSERT_EQ(rows.size(), 188u * 420);
      for (int y = 0; y < 420; ++y)
        ASSERT_EQ(std::memcmp(rows.data() + 188 * size_t(y), bits.ScanLine(y), 188), 0) << y;
    } else {
      // The last row's blue block.
      const size_t last = ps.rfind("~>", ps.rfind("~>", end) - 1) + 4;
      const std::vector<uint8_t> blue = RleDecode(A85Decode(ps.substr(last, end - last)));
      ASSERT_EQ(blue.size(), 900u);
      for (int x = 0; x < 900; ++x) ASSERT_EQ(blue[size_t(x)], colour.ScanLine(499)[3 * x]);
    }
  }
}

void FillBits(TLxBitmap& bm, int w, int h) {
  bm.Allocate(w, h, lx1g);
  for (int y = 0; y < h; ++y)
    for (int i = 0; i < (w + 7) / 8; ++i) bm.ScanLine(y)[i] = uint8_t(y % 3 ? 0xFF : 0x0F ^ i);
}

TEST(PdfWriter, OneBitEncodings) {
  TLxBitmap bm;
  FillBits(bm, 37, 23);
  TIOParamsVals params;
  // The default: Group 4, padded to a multiple of four bytes.
  std::string pdf = SavePdf(bm, params);
  EXPECT_NE(pdf.find("/Filter /CCITTFaxDecode\n/DecodeParms << /K -1\n/BlackIs1 true\n"
                     "/Columns 37\n/Rows 23\n/EndOfLine false\n/Uncompressed true\n"
                     "/EncodedByteAlign false\n/EndOfBlock false\n>>\n/ColorSpace /DeviceGray\n"
                     "/BitsPerComponent 1\n/Width 37\n/Height 23\n"),
            std::string::npos);
  EXPECT_EQ(ImageData(pdf).size() % 4, 0u);
  params.PdfCompression = 4;  // Group 3 two-dimensional, as 3
  EXPECT_NE(SavePdf(bm, params).find("/DecodeParms << /K 1\n"), std::string::npos);
  params.PdfCompression = 1;
  pdf = SavePdf(bm, params);
  EXPECT_NE(pdf.find("/Filter [/RunLengthDecode ]\n"), std::string::npos);
  params.PdfCompression = 5;
  EXPECT_NE(SavePdf(bm, params).find("/Filter /LZWDecode\n"), std::string::npos);
  // Values no one-bit encoding has store the rows as they are: 5 bytes x 23 rows.
  params.PdfCompression = 9;
  params.PdfPaperWidth = 0;  // below 1: the default
  params.PdfPaperHeight = -3;
  pdf = SavePdf(bm, params);
  EXPECT_NE(pdf.find("/MediaBox [0 0 595 842 ]"), std::string::npos);
  EXPECT_EQ(pdf.find("/Filter"), std::string::npos);
  EXPECT_NE(pdf.find("/Length 115\n"), std::string::npos);
}

bool FailingLzw(std::span<const uint8_t>, TStream&, std::unique_ptr<TLxLzwHookState>&) {
  return false;
}

TEST(PsPdfWriter, MissingOrFailingEncoders) {
  TLxBitmap bm;
  Fill24(bm, 20, 10);
  TIOParamsVals params;
  params.PdfCompression = 5;
  // No hook in the record: the default serves.
  params.TiffLzwEncoderHook = nullptr;
  Outcome o;
  EXPECT_NE(SavePdf(bm, params, &o).find("/LZWDecode"), std::string::npos);
  EXPECT_FALSE(o.aborting);
  // Neither: refused with a reason, nothing written.
  const TTiffLzwEncoderHook saved = DefaultTiffLzwEncoderHook;
  DefaultTiffLzwEncoderHook = nullptr;
  EXPECT_EQ(SavePdf(bm, params, &o), "");
  DefaultTiffLzwEncoderHook = saved;
  EXPECT_TRUE(o.aborting);
  EXPECT_EQ(o.code(), TLxFailure::NoWriter);
  // A hook that fails.
  params.TiffLzwEncoderHook = FailingLzw;
  EXPECT_EQ(SavePdf(bm, params, &o), "");
  EXPECT_TRUE(o.aborting);
  EXPECT_NE(o.code(), TLxFailure::None);
}

TEST(PsPdfWriter, ProgressAndCancel) {
  TLxBitmap bm;
  Fill24(bm, 10, 8);
  TIOParamsVals params;
  params.PsCompression = 0;
  Outcome o;
  SavePs(bm, params, &o);
  ASSERT_EQ(o.percents.size(), 8u);
  EXPECT_EQ(o.percents.back(), 100);
  // A handler that cancels at the first row stops the writer before anything is written.
  TMemoryStream s;
  bool aborting = false;
  ProgressRecord p;
  p.AbortingPtr = &aborting;
  p.OnProgressData = &aborting;
  p.OnProgressCode = [](void* data, void*, int) { *static_cast<bool*>(data) = true; };
  WritePDFStream(s, bm, params, p);
  EXPECT_EQ(s.Size(), 0);
}

TEST(PsPdfWriter, RefusesWhatItCannotWrite) {
  TIOParamsVals params;
  TLxBitmap gray;
  gray.Allocate(8, 8, lx8g);
  TLxBitmap empty;
  for (TLxBitmap* bm : {&gray, &empty}) {
    Outcome o;
    EXPECT_EQ(SavePdf(*bm, params, &o), "");
    EXPECT_TRUE(o.aborting);
    EXPECT_EQ(o.code(), TLxFailure::Unsupported);
    EXPECT_EQ(o.reason.Text().rfind("unsupported variant", 0), 0u) << o.reason.Text();
    EXPECT_EQ(SavePs(*bm, params, &o), "");
    EXPECT_EQ(o.code(), TLxFailure::Unsupported);
  }
  // A short write is reported.
  TLxBitmap bm;
  Fill24(bm, 30, 30);
  ShortStream s(100);
  Outcome o = RunCodec([&](ProgressRecord& p) { WritePDFStream(s, bm, params, p); });
  EXPECT_EQ(o.code(), TLxFailure::WriteFailed);
}

// The component's entry points: a gray image is saved as RGB and stays converted; the file is
// named with its type.
TEST(PsPdfWriter, ComponentEntryPoints) {
  TempDir dir;
  TLumenaxIO io;
  io.Bitmap()->Allocate(6, 4, lx8g);
  for (int y = 0; y < 4; ++y) std::fill_n(io.Bitmap()->ScanLine(y), 6, uint8_t(40 * y));
  io.Params.PdfCompression = 0;
  io.SaveToFilePdf(dir / "g.pdf");
  ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
  EXPECT_EQ(io.Bitmap()->PixelFormat(), lx24RGB);
  EXPECT_EQ(io.Params.FileType, ftPdf);
  const std::string pdf = Str(ReadFileBytes(dir / "g.pdf"));
  EXPECT_NE(pdf.find("/ColorSpace /DeviceRGB"), std::string::npos);
  io.SaveToFile(dir / "g.eps");
  ASSERT_FALSE(io.Aborting) << io.FailureReason.Text();
  EXPECT_EQ(io.Params.FileType, ftPs);
  EXPECT_EQ(Str(ReadFileBytes(dir / "g.eps")).rfind("%!PS-Adobe-3.0\r\n", 0), 0u);
}

}  // namespace
}  // namespace lumenax
