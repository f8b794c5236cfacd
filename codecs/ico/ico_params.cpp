#include "codecs/ico/ico_params.h"

#include <charconv>
#include <vector>

namespace lumenax {

namespace {

// A positive decimal number filling the whole text.
bool ParsePositive(std::string_view s, int32_t& out) {
  if (s.empty()) return false;
  auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size() && out > 0;
}

// The comma-separated parts of text; none for an empty text.
std::vector<std::string_view> SplitCommas(std::string_view text) {
  std::vector<std::string_view> parts;
  if (text.empty()) return parts;
  for (;;) {
    size_t comma = text.find(',');
    parts.push_back(text.substr(0, comma));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return parts;
}

}  // namespace

int IcoParams::IcoSizeCount() const {
  int n = 0;
  while (n < kIcoMaxImages && IcoSizes[size_t(n)].Width > 0) ++n;
  return n;
}

std::string IcoParams::IcoSizesText(const IcoParams& p) {
  std::string out;
  for (int i = 0; i < p.IcoSizeCount(); ++i) {
    if (i) out += ',';
    out += std::to_string(p.IcoSizes[size_t(i)].Width) + 'x' +
           std::to_string(p.IcoSizes[size_t(i)].Height);
  }
  return out;
}

bool IcoParams::SetIcoSizesText(IcoParams& p, std::string_view text) {
  std::vector<std::string_view> parts = SplitCommas(text);
  if (parts.size() > size_t(kIcoMaxImages)) return false;
  std::array<TIcoSize, kIcoMaxImages> sizes{};
  for (size_t i = 0; i < parts.size(); ++i) {
    size_t x = parts[i].find_first_of("xX");
    if (x == std::string_view::npos || !ParsePositive(parts[i].substr(0, x), sizes[i].Width) ||
        !ParsePositive(parts[i].substr(x + 1), sizes[i].Height))
      return false;
  }
  p.IcoSizes = sizes;
  return true;
}

std::string IcoParams::IcoBitCountsText(const IcoParams& p) {
  std::string out;
  for (int i = 0; i < p.IcoSizeCount(); ++i) {
    if (i) out += ',';
    out += std::to_string(p.IcoBitCounts[size_t(i)]);
  }
  return out;
}

bool IcoParams::SetIcoBitCountsText(IcoParams& p, std::string_view text) {
  std::vector<std::string_view> parts = SplitCommas(text);
  if (parts.size() > size_t(kIcoMaxImages)) return false;
  std::array<int32_t, kIcoMaxImages> counts{};
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string_view s = parts[i];
    auto r = std::from_chars(s.data(), s.data() + s.size(), counts[i]);
    if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size() || counts[i] < 0)
      return false;
  }
  p.IcoBitCounts = counts;
  return true;
}

}  // namespace lumenax
