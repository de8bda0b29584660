// Text2Html: the text-to-HTML converter that ships beside the Quellor executable. "Export to
// HTML" starts it detached on the live-sites list and on the killed-sites report:
//
//   Text2Html INPUT.txt OUTPUT.html
//
// Input: a text file (lines end at CR LF, LF or CR; any bytes). Output: one HTML5 page in
// UTF-8, lines ending in CR LF:
//
//   <!DOCTYPE html>
//   <html>
//   <head>
//   <meta charset="utf-8">
//   <title>NAME</title>                    NAME: the input file's name without its folder
//   <style>...</style>
//   </head>
//   <body>
//   <h1>NAME</h1>
//   <ul>
//   <li>LINE</li>                           one item per input line, empty lines included
//   <li><a href="URL">LINE</a></li>         a line that is one address (http://, https://,
//   ...                                     ftp:// or www., no blanks) becomes a link
//   </ul>
//   </body>
//   </html>
//
// Text is escaped (& < > " '), so no input can add markup. Bytes that form valid UTF-8 are
// kept; any other byte is read as Latin-1 (the 8-bit code pages' common case) and written as
// its character; control characters other than tab are shown as U+FFFD. An address link's
// target is escaped the same way and only ever has one of the four schemes, "http://" being
// put in front of "www.".
//
// Exit codes: 0 written; 1 the input cannot be read or the output cannot be written (the
// reason on stderr); 2 a wrong command line.
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

// Appends code point cp as UTF-8.
void AppendUtf8(std::string& out, unsigned cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Length of the valid UTF-8 sequence at text[i] (a character beyond ASCII), or 0.
size_t Utf8Length(const std::string& text, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char b = byte(i);
  size_t n = b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 && b < 0xE0 ? 2 : 0;
  if (n == 0 || i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  unsigned second = byte(i + 1);
  if (b == 0xE0 && second < 0xA0) return 0;   // overlong
  if (b == 0xED && second >= 0xA0) return 0;  // surrogates
  if (b == 0xF0 && second < 0x90) return 0;   // overlong
  if (b == 0xF4 && second >= 0x90) return 0;  // beyond U+10FFFF
  return n;
}

// The text as escaped HTML in UTF-8.
std::string Escape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      if (size_t n = Utf8Length(text, i)) {
        out.append(text, i, n);
        i += n;
      } else {
        // Not UTF-8: a byte of an 8-bit code page, read as Latin-1; C1 controls are no text.
        AppendUtf8(out, c < 0xA0 ? 0xFFFD : c);
        ++i;
      }
      continue;
    }
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
          AppendUtf8(out, 0xFFFD);
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  return out;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  for (size_t i = 0; prefix[i]; ++i) {
    if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
      return false;
  }
  return true;
}

std::string Trim(const std::string& text) {
  size_t b = 0, e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
  return text.substr(b, e - b);
}

// The link target of a line that is one address, or empty.
std::string LinkTarget(const std::string& line) {
  std::string address = Trim(line);
  for (char c : address)
    if (static_cast<unsigned char>(c) <= ' ' || c == '<' || c == '>' || c == '"') return {};
  for (const char* scheme : {"http://", "https://", "ftp://"})
    if (StartsWithNoCase(address, scheme) && address.size() > std::string(scheme).size())
      return address;
  if (StartsWithNoCase(address, "www.") && address.size() > 4) return "http://" + address;
  return {};
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: Text2Html INPUT.txt OUTPUT.html\n";
    return 2;
  }
  const std::string input = argv[1], output = argv[2];
  std::string text;
  {
    std::FILE* in = std::fopen(input.c_str(), "rb");
    if (!in) {
      std::cerr << "Text2Html: cannot read " << input << "\n";
      return 1;
    }
    char chunk[65536];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) text.append(chunk, n);
    bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) {
      std::cerr << "Text2Html: cannot read " << input << "\n";
      return 1;
    }
  }
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);

  const std::string title = Escape(BaseName(input));
  std::string page;
  auto line = [&page](const std::string& s) { page += s + "\r\n"; };
  line("<!DOCTYPE html>");
  line("<html>");
  line("<head>");
  line("<meta charset=\"utf-8\">");
  line("<title>" + title + "</title>");
  line(
      "<style>body{font-family:sans-serif;margin:2em}ul{list-style:none;padding:0}"
      "li{min-height:1.2em;white-space:pre-wrap}</style>");
  line("</head>");
  line("<body>");
  line("<h1>" + title + "</h1>");
  line("<ul>");
  for (const std::string& l : SplitLines(text)) {
    std::string target = LinkTarget(l);
    if (target.empty()) {
      line("<li>" + Escape(l) + "</li>");
    } else {
      line("<li><a href=\"" + Escape(target) + "\">" + Escape(l) + "</a></li>");
    }
  }
  line("</ul>");
  line("</body>");
  line("</html>");

  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  if (!out || !out.write(page.data(), static_cast<std::streamsize>(page.size())) || !out.flush()) {
    std::cerr << "Text2Html: cannot write " << output << "\n";
    return 1;
  }
  return 0;
}
