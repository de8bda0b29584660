#include "web/LinkScan.h"

#include <cctype>

#include "platform/Files.h"

namespace quellor {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

size_t SkipBlanks(const std::string& s, size_t i) {
  while (i < s.size() && IsBlank(s[i])) ++i;
  return i;
}

std::string UpperAscii(const std::string& s) {
  std::string u = s;
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

}  // namespace

std::string HrefOfLine(const std::string& line) {
  const std::string upper = UpperAscii(line);
  size_t at = upper.find("<A");
  if (at == std::string::npos) return "";
  // HREF must be the first thing after "<A" and its blanks: the first "HREF" found at or after
  // the character following "<A" has to start exactly there.
  size_t i = SkipBlanks(upper, at + 2);
  size_t href = upper.find("HREF", at + 2);
  if (href == std::string::npos || href != i) return "";
  i = SkipBlanks(upper, i + 4);
  if (i >= upper.size() || upper[i] != '=') return "";
  i = SkipBlanks(upper, i + 1);
  if (i >= line.size() || line[i] != '"') return "";
  ++i;
  // A "#" target names a place in the page, not a link: nothing to check.
  if (i >= line.size() || line[i] == '#') return "";
  size_t close = line.find('"', i);
  if (close == std::string::npos) close = line.size();  // the search stops at the line's end
  return line.substr(i, close - i);
}

std::vector<std::string> LinksOfText(const std::string& text) {
  std::vector<std::string> links;
  for (const std::string& line : SplitLines(text)) {
    std::string target = HrefOfLine(line);
    if (!target.empty()) links.push_back(std::move(target));
  }
  return links;
}

}  // namespace quellor
