// The link scanner of the URL check: the target of the first anchor tag of an HTML line, and the
// targets of a saved page, one per line that has one.
#pragma once

#include <string>
#include <vector>

namespace quellor {

// The target of the first anchor tag ("<A") of `line`, or "" when that anchor's first attribute
// is not HREF, has no "=", or its target is not in double quotes. A target that begins with "#"
// yields "" too. The target keeps the case it has in the line. A target whose closing quote is
// missing runs to the end of the line.
std::string HrefOfLine(const std::string& line);

// HrefOfLine of every line of `text` (CR, LF or CR LF line ends), the empty results left out.
std::vector<std::string> LinksOfText(const std::string& text);

}  // namespace quellor
