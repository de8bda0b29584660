// Text encodings of the mail message: Base64, the encoded words of header text, the character
// set a header is labelled with for the system's language, and code-page conversions.
//
// Header text is std::string in the system code page. Text of printable ASCII passes unchanged;
// other text has the words that need it turned into encoded words ("=?charset?Q?...?=" or
// "=?charset?B?...?="). Which character set is used depends on the language and code set of the
// locale (see HeaderCharsetFor); conversions go through iconv.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Locale.h"

namespace quellor {

// The text without the blanks and control characters (codes 0 to 32) at either end.
std::string_view TrimControls(std::string_view s);

// Base64 of RFC 2045, "=" filling the last group, all on one line.
std::string Base64Encode(std::string_view bytes);

// Converts text between two code sets known to iconv. nullopt when a character cannot be
// represented in the target or the source is not valid in its code set.
std::optional<std::string> ConvertCodePage(std::string_view text, const std::string& fromCodeset,
                                           const std::string& toCodeset);

// How encoded words are written for a locale.
struct THeaderCharset {
  std::string Name;     // the label of the encoded word, e.g. "ISO-8859-1", "UTF-8", "Big5"
  char Encoding = 'Q';  // 'Q' or 'B'
  std::string Convert;  // iconv name to convert the text to first, or "" to send the bytes
};

// The character set of encoded words for a locale:
//   simplified Chinese ("zh", any territory but TW, HK, MO)  "GB2312" B, converted
//   other Chinese ("zh_TW", "zh_HK", "zh_MO")                "Big5" B, converted
//   Japanese                                                 "ISO-2022-JP" B, converted
//   Korean                                                   "EUC-KR" B, converted
//   any other language on a UTF-8 system                     "UTF-8" Q
//   any other language on a Latin-1 or ASCII system         "ISO-8859-1" Q
//   any other language on another 8-bit code set             that code set's name, Q
THeaderCharset HeaderCharsetFor(const LocaleInfo& locale);

// The header text encoding. Text whose every byte lies between 32 and 126 is returned unchanged.
// Otherwise the text is seen as words separated by runs of space, tab, CR and LF; a run of words
// that need encoding (a byte 0..31 or 127..255, and with addressSpecials also one of
// "()<>@,;:\".[]\\") becomes one encoded word, split into several on lines of their own (CR LF
// and a tab between) when longer than 75 characters. A CR or LF between words never passes
// into the header: such a separator becomes a single space.
// With `encodeWordsLongerThan` given, a word longer than that also needs encoding, so that a
// header line that no blank could fold short enough (a very long Url) folds between encoded
// words instead.
std::string EncodeHeaderText(std::string_view text, bool addressSpecials, const LocaleInfo& locale,
                             size_t encodeWordsLongerThan = std::string_view::npos);

// The MIME name of the system code page, for the charset parameter of a text body: "UTF-8",
// "ISO-8859-1" for Latin-1 and for plain ASCII systems (as header words are labelled),
// "windows-125x" for the CP125x code pages, otherwise the code set's own name.
std::string MimeCharsetOf(const std::string& codeset);

// Quoted-printable (RFC 2045) of one line of text: "=" and the bytes outside 33..126 as "="
// and two upper-case hex digits, except blanks and tabs inside the line; output lines of at
// most 76 characters joined by soft line breaks ("=" at the end of a line). Returns the output
// lines (one or more).
std::vector<std::string> QuotedPrintableLines(std::string_view line);

// True when the text holds a CR, an LF or a NUL character, which must never reach the wire
// inside an address, a command argument or a header value.
bool HasLineBreakOrNul(std::string_view text);

// The text with CR, LF and NUL shown as "<CR>", "<LF>" and "<NUL>", for error messages.
std::string ShowLineBreaks(std::string_view text);

}  // namespace quellor
