// Writing PDF objects, and the one-page document of the PDF writer.
#include "codecs/postscript/pdf_objects.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "codecs/common/stream_buffer.h"
#include "codecs/postscript/postscript.h"

namespace lumenax {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void Put(TLxWriteBuffer& out, std::string_view s) {
  out.Write(s.data(), s.size());
}

void PutInt(TLxWriteBuffer& out, int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.Write(buf, size_t(r.ptr - buf));
}

bool IsAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// Code points of UTF-8 text; malformed sequences give U+FFFD, one per bad byte.
std::vector<char32_t> DecodeUtf8(std::string_view s) {
  std::vector<char32_t> cps;
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t extra = 0;
    char32_t cp = c;
    if ((c & 0xE0) == 0xC0)
      extra = 1, cp = c & 0x1F;
    else if ((c & 0xF0) == 0xE0)
      extra = 2, cp = c & 0x0F;
    else if ((c & 0xF8) == 0xF0)
      extra = 3, cp = c & 0x07;
    bool ok = c < 0x80 || extra > 0;
    for (size_t k = 1; ok && k <= extra; ++k) {
      if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (!ok || cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      cps.push_back(0xFFFD);
      ++i;
      continue;
    }
    cps.push_back(cp);
    i += extra + 1;
  }
  return cps;
}

void PutHex16(TLxWriteBuffer& out, uint32_t v) {
  for (int shift = 12; shift >= 0; shift -= 4) out.Put(uint8_t(kHex[(v >> shift) & 15]));
}

}  // namespace

std::string PdfNumberText(double value) {
  char buf[64];
  if (!std::isfinite(value)) return "0";
  if (value == std::trunc(value) && std::fabs(value) < 1e15) {
    auto r = std::to_chars(buf, buf + sizeof buf, int64_t(value));
    return std::string(buf, r.ptr);
  }
  // PDF has no exponent form; fixed notation, shortest digits that read back the same.
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  if (r.ec != std::errc()) return "0";
  return std::string(buf, r.ptr);
}

void TLxPDFRefObject::Write(TLxWriteBuffer& out) const {
  PutInt(out, RefNumber);
  out.Put(' ');
  PutInt(out, Generation);
  Put(out, " R");
}

void TLxPDFBooleanObject::Write(TLxWriteBuffer& out) const {
  Put(out, Value ? "true" : "false");
}

void TLxPDFNumericObject::Write(TLxWriteBuffer& out) const {
  Put(out, PdfNumberText(Value));
}

void TLxPDFStringObject::Write(TLxWriteBuffer& out) const {
  if (!IsAscii(Value)) {
    Put(out, "<FEFF");
    for (char32_t cp : DecodeUtf8(Value)) {
      if (cp >= 0x10000) {
        cp -= 0x10000;
        PutHex16(out, 0xD800 + (uint32_t(cp) >> 10));
        PutHex16(out, 0xDC00 + (uint32_t(cp) & 0x3FF));
      } else {
        PutHex16(out, uint32_t(cp));
      }
    }
    out.Put('>');
    return;
  }
  out.Put('(');
  for (char c : Value) {
    switch (c) {
      case '\b':
        Put(out, "\\b");
        break;
      case '\t':
        Put(out, "\\t");
        break;
      case '\n':
        Put(out, "\\n");
        break;
      case '\f':
        Put(out, "\\f");
        break;
      case '\r':
        Put(out, "\\r");
        break;
      case '(':
      case ')':
      case '\\':
        out.Put('\\');
        out.Put(uint8_t(c));
        break;
      default:
        out.Put(uint8_t(c));
    }
  }
  out.Put(')');
}

void TLxPDFNameObject::Write(TLxWriteBuffer& out) const {
  out.Put('/');
  for (char ch : Value) {
    const unsigned char c = static_cast<unsigned char>(ch);
    // Besides the characters outside "!".."~", the delimiters and "#" itself are escaped so
    // that the name ends where it should and reads back as written.
    const bool escape = c < '!' || c > '~' || c == '#' || c == '/' || c == '%' || c == '(' ||
                        c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' ||
                        c == '}';
    if (escape) {
      out.Put('#');
      out.Put(uint8_t(kHex[c >> 4]));
      out.Put(uint8_t(kHex[c & 15]));
    } else {
      out.Put(c);
    }
  }
}

void TLxPDFArrayObject::Write(TLxWriteBuffer& out) const {
  out.Put('[');
  for (const auto& item : Items) {
    item->Write(out);
    out.Put(' ');
  }
  out.Put(']');
}

void TLxPDFDictionaryObject::Insert(size_t index, std::string key, TLxPDFObjectPtr value) {
  index = std::min(index, Items.size());
  Items.emplace(Items.begin() + std::ptrdiff_t(index), std::move(key), std::move(value));
}

TLxPDFObject* TLxPDFDictionaryObject::Find(std::string_view key) const {
  for (const auto& [k, v] : Items)
    if (k == key) return v.get();
  return nullptr;
}

void TLxPDFDictionaryObject::Write(TLxWriteBuffer& out) const {
  Put(out, "<< ");
  for (const auto& [key, value] : Items) {
    TLxPDFNameObject(key).Write(out);
    out.Put(' ');
    value->Write(out);
    out.Put('\n');
  }
  Put(out, ">>");
}

TLxPDFStreamObject::TLxPDFStreamObject() {
  Dictionary.Add("Length", PdfNumber(0));
}

void TLxPDFStreamObject::Write(TLxWriteBuffer& out) const {
  if (auto* length = dynamic_cast<TLxPDFNumericObject*>(Dictionary.Find("Length")))
    length->Value = Source ? double(SourceLength) : double(Data.size());
  Dictionary.Write(out);
  Put(out, "\nstream\n");
  if (Source) {
    const int64_t start = out.Count();
    Failed = !Source(out) || !out.ok();
    const int64_t count = out.Count() - start;
    if (LengthObject)
      LengthObject->Value = double(count);
    else if (count != SourceLength)
      Failed = true;
  } else {
    out.Write(Data.data(), Data.size());
  }
  Put(out, "\nendstream");
}

TLxPDFObjectPtr PdfName(std::string value) {
  return std::make_unique<TLxPDFNameObject>(std::move(value));
}
TLxPDFObjectPtr PdfNumber(double value) {
  return std::make_unique<TLxPDFNumericObject>(value);
}
TLxPDFObjectPtr PdfString(std::string value) {
  return std::make_unique<TLxPDFStringObject>(std::move(value));
}
TLxPDFObjectPtr PdfBool(bool value) {
  return std::make_unique<TLxPDFBooleanObject>(value);
}
TLxPDFObjectPtr PdfRef(int32_t number) {
  return std::make_unique<TLxPDFRefObject>(number);
}
TLxPDFObjectPtr PdfRef(const TLxPDFObject& indirect) {
  return PdfRef(indirect.Number);
}

// ---------------------------------------------------------------------------- the document

PdfDocument::PdfDocument() {
  Catalog = &AddObject(std::make_unique<TLxPDFDictionaryObject>());
  Catalog->Add("Type", PdfName("Catalog"));
  Resources = &AddObject(std::make_unique<TLxPDFDictionaryObject>());
  auto procSet = std::make_unique<TLxPDFArrayObject>();
  procSet->Add(PdfName("PDF")).Add(PdfName("ImageB"));
  Resources->Add("ProcSet", std::move(procSet));
  auto xobjects = std::make_unique<TLxPDFDictionaryObject>();
  XObjects = xobjects.get();
  Resources->Add("XObject", std::move(xobjects));
}

void PdfDocument::AddImagePage(std::unique_ptr<TLxPDFStreamObject> image, int32_t width,
                               int32_t height, int32_t paperWidth, int32_t paperHeight) {
  image->Dictionary.Insert(0, "Type", PdfName("XObject"));
  image->Dictionary.Insert(1, "Subtype", PdfName("Image"));
  image->Dictionary.Add("Width", PdfNumber(width));
  image->Dictionary.Add("Height", PdfNumber(height));
  TLxPDFStreamObject& img = AddObject(std::move(image));
  Images.push_back(&img);
  const std::string name = "lm" + std::to_string(Images.size());

  const TLxFittedSize fit = FitToPage(width, height, paperWidth, paperHeight);
  auto content = std::make_unique<TLxPDFStreamObject>();
  const std::string text =
      "q\n" + std::to_string(fit.Width) + " 0 0 " + std::to_string(fit.Height) + " 0 " +
      std::to_string(int64_t(paperHeight) - fit.Height) + " cm\n/" + name + " Do\nQ";
  content->Data.assign(text.begin(), text.end());
  TLxPDFStreamObject& contents = AddObject(std::move(content));
  Contents.push_back(&contents);

  XObjects->Add(name, PdfRef(img));

  auto page = std::make_unique<TLxPDFDictionaryObject>();
  page->Add("Type", PdfName("Page"));
  page->Add("Resources", PdfRef(*Resources));
  auto box = std::make_unique<TLxPDFArrayObject>();
  box->Add(PdfNumber(0)).Add(PdfNumber(0)).Add(PdfNumber(paperWidth)).Add(PdfNumber(paperHeight));
  page->Add("MediaBox", std::move(box));
  page->Add("Contents", PdfRef(contents));
  Pages.push_back(&AddObject(std::move(page)));
}

void PdfDocument::Close(const Info& info) {
  auto pages = std::make_unique<TLxPDFDictionaryObject>();
  pages->Add("Type", PdfName("Pages"));
  auto kids = std::make_unique<TLxPDFArrayObject>();
  for (const auto* page : Pages) kids->Add(PdfRef(*page));
  pages->Add("Kids", std::move(kids));
  pages->Add("Count", PdfNumber(double(Pages.size())));
  const TLxPDFDictionaryObject& pagesDict = AddObject(std::move(pages));
  for (auto* page : Pages) page->Add("Parent", PdfRef(pagesDict));
  Catalog->Add("Pages", PdfRef(pagesDict));

  auto dict = std::make_unique<TLxPDFDictionaryObject>();
  const std::pair<const char*, const std::string*> entries[] = {
      {"Title", &info.Title},       {"Author", &info.Author},   {"Subject", &info.Subject},
      {"Keywords", &info.Keywords}, {"Creator", &info.Creator}, {"Producer", &info.Producer}};
  for (const auto& [key, value] : entries)
    if (!value->empty()) dict->Add(key, PdfString(*value));
  dict->Add("CreationDate", PdfString("D:" + info.CreationDate));
  InfoDict = &AddObject(std::move(dict));
}

void PdfDocument::AddLengthObject(TLxPDFStreamObject& stream) {
  TLxPDFNumericObject& length = AddObject(std::make_unique<TLxPDFNumericObject>(0));
  stream.LengthObject = &length;
  for (auto& [key, value] : stream.Dictionary.Items)
    if (key == "Length") value = PdfRef(length);
}

bool PdfDocument::Write(TLxWriteBuffer& out) {
  const int64_t start = out.Count();
  // The second line is a comment of bytes above 127: it marks the file as binary.
  Put(out, "%PDF-1.4\n%\xC8\xD2\xF0\xFE\n");
  for (auto& object : Objects) {
    object->Position = out.Count() - start;
    PutInt(out, object->Number);
    Put(out, " 0 obj\n");
    object->Write(out);
    Put(out, "\nendobj\n");
    const auto* stream = dynamic_cast<const TLxPDFStreamObject*>(object.get());
    if ((stream && stream->Failed) || !out.ok()) return false;
  }
  const int64_t xref = out.Count() - start;
  const int64_t size = int64_t(Objects.size()) + 1;
  Put(out, "xref\n0 ");
  PutInt(out, size);
  Put(out, "\n0000000000 65535 f \n");
  for (const auto& object : Objects) {
    char line[32];
    std::snprintf(line, sizeof line, "%010lld 00000 n \n",
                  static_cast<long long>(object->Position));
    Put(out, line);
  }
  Put(out, "trailer\n<< /Size ");
  PutInt(out, size);
  Put(out, "\n/Root ");
  PutInt(out, Catalog->Number);
  Put(out, " 0 R\n/Info ");
  PutInt(out, InfoDict ? InfoDict->Number : 0);
  Put(out, " 0 R\n>>\nstartxref\n");
  PutInt(out, xref);
  Put(out, "\n%%EOF\n");
  return out.ok();
}

}  // namespace lumenax
