// ASCII case folding for extensions, keys and names (locale-independent).
#pragma once

#include <string>
#include <string_view>

namespace lumenax {

inline char AsciiLowerChar(char c) {
  return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

inline std::string AsciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiLowerChar(c);
  return out;
}

inline std::string AsciiUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
  return out;
}

}  // namespace lumenax
