// Encoded words in header text (RFC 2047), as this program writes them:
//
//   encoded-word = "=?" charset "?" ("Q" | "B") "?" encoded-text "?="
//
//   Q  a space is "_"; bytes 0..31 and 127..255, "=", "?", "_" (and in display names the
//      address specials) are "=" and two upper-case hex digits; every other byte stands for
//      itself.
//   B  the bytes as Base64 (RFC 2045 alphabet, "=" filling the last group).
//
// An encoded word, counted from "=?" to the closing "?=", is never longer than 75 characters:
// when the next character (Q) or group of four (B) would pass that, the word is closed and a new
// one begins on the next line, after CR LF and a tab. A character of a multi-byte code set is
// never split between two words; in B form every word holds whole characters converted on their
// own, so an ISO-2022-JP word always ends back in ASCII.
#include "notices/MailEncoding.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <functional>
#include <vector>

namespace quellor {

std::string_view TrimControls(std::string_view s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}
namespace {

constexpr size_t kMaxEncodedWord = 75;
constexpr std::string_view kAddressSpecials = "\"(),.:;<>@[\\]";

std::string Upper(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return r;
}

bool IsUtf8Codeset(const std::string& codeset) {
  std::string u = Upper(codeset);
  return u == "UTF-8" || u == "UTF8";
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsSpecial(unsigned char c) {
  return kAddressSpecials.find(static_cast<char>(c)) != std::string_view::npos;
}

bool NeedsEncoding(std::string_view word, bool addressSpecials) {
  for (unsigned char c : word) {
    if (c < 32 || c > 126) return true;
    if (addressSpecials && IsSpecial(c)) return true;
  }
  return false;
}

// Cuts UTF-8 text into characters: a lead byte with its continuation bytes. Bytes that do not
// form a sequence stand alone, so nothing is ever lost.
std::vector<std::string> SplitUtf8(std::string_view text) {
  std::vector<std::string> chars;
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t len = 1;
    if (c >= 0xC2 && c <= 0xDF)
      len = 2;
    else if (c >= 0xE0 && c <= 0xEF)
      len = 3;
    else if (c >= 0xF0 && c <= 0xF4)
      len = 4;
    size_t n = 1;
    while (n < len && i + n < text.size() &&
           (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80)
      ++n;
    if (n != len) n = 1;  // a broken sequence: its lead byte alone
    chars.emplace_back(text.substr(i, n));
    i += n;
  }
  return chars;
}

std::vector<std::string> SplitBytes(std::string_view text) {
  std::vector<std::string> chars;
  for (char c : text) chars.emplace_back(1, c);
  return chars;
}

std::string QEncodeChar(std::string_view ch, bool addressSpecials) {
  static const char* kHex = "0123456789ABCDEF";
  std::string r;
  for (unsigned char c : ch) {
    if (c == ' ') {
      r += '_';
    } else if (c < 32 || c > 126 || c == '=' || c == '?' || c == '_' ||
               (addressSpecials && IsSpecial(c))) {
      r += '=';
      r += kHex[c >> 4];
      r += kHex[c & 15];
    } else {
      r += static_cast<char>(c);
    }
  }
  return r;
}

std::string QWords(std::string_view run, const std::string& charset, bool addressSpecials) {
  const std::string opening = "=?" + charset + "?Q?";
  std::vector<std::string> chars = IsUtf8Codeset(charset) ? SplitUtf8(run) : SplitBytes(run);
  std::string out = opening;
  std::string line;
  for (const std::string& ch : chars) {
    std::string enc = QEncodeChar(ch, addressSpecials);
    if (!line.empty() && opening.size() + line.size() + enc.size() + 2 > kMaxEncodedWord) {
      out += line + "?=\r\n\t" + opening;
      line.clear();
    }
    line += enc;
  }
  return out + line + "?=";
}

// B words from characters given in UTF-8; `convert` turns a chunk of them into the bytes of the
// label's character set (nullopt when it cannot).
std::optional<std::string> BWords(
    const std::vector<std::string>& utf8Chars, const std::string& charset,
    const std::function<std::optional<std::string>(const std::string&)>& convert) {
  const std::string opening = "=?" + charset + "?B?";
  const size_t maxBytes = (kMaxEncodedWord - 2 - opening.size()) / 4 * 3;
  std::vector<std::string> chunks;
  std::string current;
  std::string currentBytes;
  for (const std::string& ch : utf8Chars) {
    std::optional<std::string> bytes = convert(current + ch);
    if (!bytes) return std::nullopt;
    if (bytes->size() > maxBytes && !current.empty()) {
      chunks.push_back(currentBytes);
      current = ch;
      bytes = convert(current);
      if (!bytes) return std::nullopt;
    } else {
      current += ch;
    }
    currentBytes = *bytes;
  }
  if (!current.empty()) chunks.push_back(currentBytes);
  std::string out;
  for (size_t i = 0; i < chunks.size(); ++i) {
    if (i > 0) out += "\r\n\t";
    out += opening + Base64Encode(chunks[i]) + "?=";
  }
  return out;
}

// One run of words that need encoding, as one or more encoded words.
std::string EncodeRun(std::string_view run, bool addressSpecials, const LocaleInfo& locale) {
  const THeaderCharset cs = HeaderCharsetFor(locale);
  if (cs.Encoding == 'Q') return QWords(run, cs.Name, addressSpecials);

  // B form with a conversion (the Chinese, Japanese and Korean character sets). The run is
  // taken to UTF-8 first so that it can be cut between characters.
  std::optional<std::string> utf8 = IsUtf8Codeset(locale.codeset)
                                        ? std::optional<std::string>(std::string(run))
                                        : ConvertCodePage(run, locale.codeset, "UTF-8");
  if (utf8) {
    std::vector<std::string> chars = SplitUtf8(*utf8);
    auto toCharset = [&](const std::string& chunk) {
      return ConvertCodePage(chunk, "UTF-8", cs.Convert);
    };
    if (auto words = BWords(chars, cs.Name, toCharset)) return *words;
    // A character the language's character set lacks: send the text as UTF-8 rather than
    // losing it.
    auto same = [](const std::string& chunk) { return std::optional<std::string>(chunk); };
    return *BWords(chars, "UTF-8", same);
  }
  // Text that is not valid in the system's code set: label the bytes with that code set.
  auto same = [](const std::string& chunk) { return std::optional<std::string>(chunk); };
  return *BWords(SplitBytes(run), locale.codeset, same);
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = (static_cast<unsigned char>(bytes[i]) << 16) |
                 (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                 static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::string> ConvertCodePage(std::string_view text, const std::string& fromCodeset,
                                           const std::string& toCodeset) {
  iconv_t cd = iconv_open(toCodeset.c_str(), fromCodeset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  std::string buffer(text.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  bool ok = true;
  bool flushing = false;
  for (;;) {
    char* outPtr = buffer.data();
    size_t outLeft = buffer.size();
    // The last call, with no input, writes the shift back to the initial state.
    size_t r = flushing ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                        : iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    out.append(buffer.data(), outPtr - buffer.data());
    if (r != static_cast<size_t>(-1)) {
      if (flushing) break;
      flushing = true;
      continue;
    }
    if (errno != E2BIG) {
      ok = false;
      break;
    }
  }
  iconv_close(cd);
  if (!ok) return std::nullopt;
  return out;
}

THeaderCharset HeaderCharsetFor(const LocaleInfo& locale) {
  std::string language = locale.language;
  for (char& c : language) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string territory = Upper(locale.territory);
  if (language == "zh") {
    if (territory == "TW" || territory == "HK" || territory == "MO") return {"Big5", 'B', "BIG5"};
    return {"GB2312", 'B', "GB2312"};
  }
  if (language == "ja") return {"ISO-2022-JP", 'B', "ISO-2022-JP"};
  if (language == "ko") return {"EUC-KR", 'B', "EUC-KR"};
  if (IsUtf8Codeset(locale.codeset)) return {"UTF-8", 'Q', ""};
  const std::string codeset = Upper(locale.codeset);
  if (codeset.empty() || codeset == "ISO-8859-1" || codeset == "ISO8859-1" ||
      codeset == "ANSI_X3.4-1968" || codeset == "ASCII" || codeset == "US-ASCII")
    return {"ISO-8859-1", 'Q', ""};
  return {locale.codeset, 'Q', ""};
}

std::string EncodeHeaderText(std::string_view text, bool addressSpecials, const LocaleInfo& locale,
                             size_t encodeWordsLongerThan) {
  const bool longWords = encodeWordsLongerThan != std::string_view::npos;
  if (!longWords && std::all_of(text.begin(), text.end(), [](char c) {
        unsigned char u = static_cast<unsigned char>(c);
        return u >= 32 && u <= 126;
      }))
    return std::string(text);
  auto needs = [&](const std::string& word) {
    return NeedsEncoding(word, addressSpecials) ||
           (longWords && word.size() > encodeWordsLongerThan);
  };

  // Words and the blanks before each; a last entry with an empty word holds trailing blanks.
  struct Token {
    std::string blanks;
    std::string word;
  };
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < text.size()) {
    Token t;
    while (i < text.size() && IsBlank(text[i])) t.blanks += text[i++];
    while (i < text.size() && !IsBlank(text[i])) t.word += text[i++];
    // A line break inside a one-line header would end the header: it becomes a space.
    if (t.blanks.find_first_of("\r\n") != std::string::npos) {
      std::erase_if(t.blanks, [](char c) { return c == '\r' || c == '\n'; });
      if (t.blanks.empty()) t.blanks = " ";
    }
    tokens.push_back(std::move(t));
  }

  std::string out;
  for (size_t k = 0; k < tokens.size();) {
    if (!needs(tokens[k].word)) {
      out += tokens[k].blanks + tokens[k].word;
      ++k;
      continue;
    }
    std::string run = tokens[k].word;
    size_t j = k + 1;
    while (j < tokens.size() && needs(tokens[j].word)) {
      run += tokens[j].blanks + tokens[j].word;
      ++j;
    }
    out += tokens[k].blanks + EncodeRun(run, addressSpecials, locale);
    k = j;
  }
  return out;
}

std::string MimeCharsetOf(const std::string& codeset) {
  const std::string u = Upper(codeset);
  if (u == "UTF-8" || u == "UTF8") return "UTF-8";
  if (u.empty() || u == "ANSI_X3.4-1968" || u == "ASCII" || u == "US-ASCII" || u == "ISO-8859-1" ||
      u == "ISO8859-1")
    return "ISO-8859-1";
  if (u.size() == 6 && u.rfind("CP125", 0) == 0) return "windows-" + u.substr(2);
  return codeset;
}

std::vector<std::string> QuotedPrintableLines(std::string_view line) {
  static const char* kHex = "0123456789ABCDEF";
  constexpr size_t kMaxQpLine = 76;  // the soft break's "=" included
  std::vector<std::string> out;
  std::string current;
  for (size_t i = 0; i < line.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    const bool last = i + 1 == line.size();
    std::string piece;
    if ((c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last)) {
      piece = std::string(1, static_cast<char>(c));
    } else {
      piece = {'=', kHex[c >> 4], kHex[c & 15]};
    }
    // Room for the piece and, unless it ends the line, a soft break after it.
    const size_t room = last ? kMaxQpLine : kMaxQpLine - 1;
    if (current.size() + piece.size() > room) {
      // A blank before the soft break is safe: the "=" follows it on the line (RFC 2045).
      out.push_back(current + "=");
      current.clear();
    }
    current += piece;
  }
  out.push_back(current);
  return out;
}

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string ShowLineBreaks(std::string_view text) {
  std::string r;
  for (char c : text) {
    if (c == '\r')
      r += "<CR>";
    else if (c == '\n')
      r += "<LF>";
    else if (c == '\0')
      r += "<NUL>";
    else
      r += c;
  }
  return r;
}

}  // namespace quellor
