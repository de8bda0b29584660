// Names in the store (tables, fields, indexes, files) compare without regard to ASCII case and
// without the blanks around them; these are the two conversions that rule needs.
#pragma once

#include <string>

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

}  // namespace quellor
