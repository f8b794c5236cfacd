// Encoders and texts the PostScript and PDF writers share: page fitting, ASCII85, RunLength,
// comment texts and dates.
#include <cstdio>
#include <cstring>

#include "codecs/postscript/postscript.h"

namespace lumenax {

TLxFittedSize FitToPage(int32_t width, int32_t height, int32_t pageWidth, int32_t pageHeight) {
  if (width <= 0 || height <= 0) return {};
  // The scale is the smaller of pageHeight / height and pageWidth / width. Worked in integers
  // so that the side that fills the page comes out exactly as the page's, which the product
  // with a rounded quotient does not always do (3 * (595 / 3.0) is below 595).
  const int64_t w = width, h = height, pw = pageWidth, ph = pageHeight;
  int64_t fw, fh;
  if (ph * w <= pw * h) {  // the height limits: s = ph / h
    fw = w * ph / h;
    fh = ph;
  } else {
    fw = pw;
    fh = h * pw / w;
  }
  auto clampSide = [](int64_t v) {
    return int32_t(std::max<int64_t>(1, std::min<int64_t>(v, INT32_MAX)));
  };
  return {clampSide(fw), clampSide(fh)};
}

void Ascii85Encode(const uint8_t* data, size_t count, std::string& out, int64_t& total) {
  // Worst case five characters per group plus a line break every 15 groups.
  out.reserve(out.size() + count / 4 * 5 + count / 4 / 15 * 2 + 16);
  int line = 0;
  int64_t written = 0;
  size_t i = 0;
  char digits[5];
  while (i < count) {
    const size_t n = std::min<size_t>(4, count - i);
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) v = (v << 8) | (k < n ? data[i + k] : 0u);
    i += n;
    if (n == 4 && v == 0) {
      out.push_back('z');
      ++line;
      ++written;
    } else {
      for (int k = 4; k >= 0; --k) {
        digits[k] = char(v % 85 + 33);
        v /= 85;
      }
      out.append(digits, n + 1);
      line += int(n) + 1;
      written += int64_t(n) + 1;
    }
    if (line > 74) {
      out.append("\r\n", 2);
      line = 0;
    }
  }
  out.append("~>\r\n", 4);
  total += written;
}

void RunLengthEncode(const uint8_t* data, size_t count, std::vector<uint8_t>& out) {
  out.reserve(out.size() + count + count / 128 + 2);
  size_t p = 0;
  while (p < count) {
    size_t run = 1;
    while (p + run < count && run < 128 && data[p + run] == data[p]) ++run;
    if (run >= 2) {
      out.push_back(uint8_t(257 - run));
      out.push_back(data[p]);
      p += run;
      continue;
    }
    // A literal grows while each byte differs from the one before it, so it ends with the
    // first byte of a following pair.
    size_t n = 1;
    while (p + n < count && n < 128 && data[p + n] != data[p + n - 1]) ++n;
    out.push_back(uint8_t(n - 1));
    out.insert(out.end(), data + p, data + p + n);
    p += n;
  }
  out.push_back(128);
}

std::vector<uint8_t> RunLengthEncode(const uint8_t* data, size_t count) {
  std::vector<uint8_t> out;
  RunLengthEncode(data, count, out);
  return out;
}

std::string CleanCommentText(std::string_view text) {
  std::string s(text);
  for (char& ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F)
      ch = ' ';
    else if (c >= 0x80)
      ch = '?';
  }
  return s;
}

namespace {
constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
}  // namespace

std::string PsDateText(const std::tm& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s %s %02d %02d:%02d:%02d %04d", kDays[unsigned(t.tm_wday) % 7],
                kMonths[unsigned(t.tm_mon) % 12], t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                t.tm_year + 1900);
  return buf;
}

std::string PdfDateText(const std::tm& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return buf;
}

}  // namespace lumenax
