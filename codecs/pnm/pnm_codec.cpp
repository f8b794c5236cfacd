// Portable anymaps (PBM, PGM, PPM): registry row and content test. The reader and writer
// come with the anymap codec.
#include <cctype>
#include <cstdint>
#include <optional>
#include <string>

#include "codecs/codec.h"

namespace lumenax {

namespace {

// Tokens of an anymap header: runs of ASCII letters and digits; "#" starts a comment that
// runs to the end of the line.
class AnymapTokens {
 public:
  explicit AnymapTokens(TLxProbe& probe) : probe_(probe) {}

  // The next token that is not a comment; nullopt at the end of the data or after the
  // token budget.
  std::optional<std::string> Next() {
    while (budget_ > 0) {
      int c = Get();
      if (c < 0) return std::nullopt;
      if (c == '#') {
        --budget_;
        while (c >= 0 && c != '\n' && c != '\r') c = Get();
        continue;
      }
      if (!std::isalnum(c)) continue;
      std::string token;
      // Long tokens are consumed whole but kept short: none of them is a valid one.
      while (c >= 0 && std::isalnum(c)) {
        if (token.size() < 64) token += char(c);
        c = Get();
      }
      --budget_;
      return token;
    }
    return std::nullopt;
  }

 private:
  int Get() {
    if (pos_ == filled_) {
      filled_ = size_t(probe_.ReadSome(offset_, buffer_, sizeof buffer_));
      offset_ += int64_t(filled_);
      pos_ = 0;
      if (filled_ == 0) return -1;
    }
    return buffer_[pos_++];
  }

  TLxProbe& probe_;
  uint8_t buffer_[512];
  size_t pos_ = 0;
  size_t filled_ = 0;
  int64_t offset_ = 0;
  int budget_ = 501;
};

int32_t DecimalOrMinusOne(const std::optional<std::string>& token) {
  if (!token || token->empty() || token->size() > 10) return -1;
  int64_t v = 0;
  for (char c : *token) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v > INT32_MAX ? -1 : int32_t(v);
}

// "P1" to "P6" followed by a positive width and height.
bool PxmContentTest(TLxProbe& probe) {
  AnymapTokens tokens(probe);
  std::optional<std::string> magic = tokens.Next();
  if (!magic || magic->size() != 2 || (*magic)[0] != 'P' || (*magic)[1] < '1' || (*magic)[1] > '6')
    return false;
  int32_t width = DecimalOrMinusOne(tokens.Next());
  int32_t height = DecimalOrMinusOne(tokens.Next());
  return width > 0 && height > 0;
}

}  // namespace

extern const TLxCodecDescriptor kPxmCodec{
    .Type = ftPxm,
    .Description = "Portable Pixmap, GrayMap, BitMap",
    .Extensions = "PXM;PPM;PGM;PBM",
    .Readable = true,
    .Writable = true,
    .SaveExtensions = ".pxm;.pbm;.pgm;.ppm",
    .ContentTest = PxmContentTest,
};

}  // namespace lumenax
