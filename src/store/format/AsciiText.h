// Names in the store (tables, fields, indexes, files) compare without regard to ASCII case and
// without the blanks around them; these are the two conversions that rule needs.
#pragma once

#include <string>
#include <string_view>

namespace quellor {

// `s` with A-Z turned into a-z; other bytes unchanged.
inline std::string AsciiLower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// `s` without the blanks and tabs at either end.
inline std::string TrimBlanks(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// Whether `a` and `b` are equal without regard to ASCII case; no copies.
inline bool AsciiEqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// `s` without the blanks and tabs at either end, as a view into `s`.
inline std::string_view TrimBlanksView(std::string_view s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

}  // namespace quellor
