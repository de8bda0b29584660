// Base64, the character set of encoded words by language, and the header text encoding.
#include "notices/MailEncoding.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quellor {
namespace {

const LocaleInfo kLatin1{'.', "ISO-8859-1", "de", "DE"};
const LocaleInfo kUtf8{'.', "UTF-8", "en", "US"};

LocaleInfo Cjk(const char* language, const char* territory) {
  return LocaleInfo{'.', "UTF-8", language, territory};
}

// Decodes one "=?cs?Q?...?=" word (enough for the tests' own checks).
std::string DecodeQ(const std::string& word) {
  size_t start = word.find("?Q?") + 3;
  size_t end = word.rfind("?=");
  std::string r;
  for (size_t i = start; i < end; ++i) {
    if (word[i] == '_') {
      r += ' ';
    } else if (word[i] == '=') {
      r += static_cast<char>(std::stoi(word.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      r += word[i];
    }
  }
  return r;
}

std::string DecodeBase64(const std::string& text) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string r;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    acc = (acc << 6) | static_cast<uint32_t>(alphabet.find(c));
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      r += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return r;
}

std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  size_t start = 0;
  for (;;) {
    size_t brk = text.find("\r\n\t", start);
    words.push_back(text.substr(start, brk - start));
    if (brk == std::string::npos) break;
    start = brk + 3;
  }
  return words;
}

TEST(Base64, EncodesGroupsWithFilling) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foobar", "Zm9vYmFy"},
      {std::string("\xff\x00\x10", 3), "/wAQ"},
      {"user", "dXNlcg=="},
      {"secret", "c2VjcmV0"},
  };
  for (const Case& c : cases) EXPECT_EQ(Base64Encode(c.in), c.out) << c.in;
}

TEST(HeaderCharset, FollowsLanguageAndCodeset) {
  struct Case {
    LocaleInfo locale;
    std::string name;
    char encoding;
    std::string convert;
  } cases[] = {
      {Cjk("zh", "CN"), "GB2312", 'B', "GB2312"},
      {Cjk("zh", "SG"), "GB2312", 'B', "GB2312"},
      {Cjk("zh", ""), "GB2312", 'B', "GB2312"},
      {Cjk("zh", "TW"), "Big5", 'B', "BIG5"},
      {Cjk("zh", "HK"), "Big5", 'B', "BIG5"},
      {Cjk("ja", "JP"), "ISO-2022-JP", 'B', "ISO-2022-JP"},
      {Cjk("ko", "KR"), "EUC-KR", 'B', "EUC-KR"},
      {kUtf8, "UTF-8", 'Q', ""},
      {LocaleInfo{'.', "utf8", "fr", "FR"}, "UTF-8", 'Q', ""},
      {kLatin1, "ISO-8859-1", 'Q', ""},
      {LocaleInfo{'.', "ANSI_X3.4-1968", "en", ""}, "ISO-8859-1", 'Q', ""},
      {LocaleInfo{'.', "KOI8-R", "ru", "RU"}, "KOI8-R", 'Q', ""},
      {LocaleInfo{'.', "ISO-8859-15", "de", "DE"}, "ISO-8859-15", 'Q', ""},
  };
  for (const Case& c : cases) {
    THeaderCharset cs = HeaderCharsetFor(c.locale);
    EXPECT_EQ(cs.Name, c.name) << c.locale.language << "_" << c.locale.territory;
    EXPECT_EQ(cs.Encoding, c.encoding) << c.name;
    EXPECT_EQ(cs.Convert, c.convert) << c.name;
  }
}

TEST(HeaderText, EncodesOnlyTheWordsThatNeedIt) {
  struct Case {
    const char* what;
    LocaleInfo locale;
    bool specials;
    std::string in, out;
  } cases[] = {
      {"printable ASCII", kLatin1, false, "Software piracy notice: http://x.example/?a=b_c",
       "Software piracy notice: http://x.example/?a=b_c"},
      {"accented word on Latin-1", kLatin1, false, "Caf\xe9 ouvert",
       "=?ISO-8859-1?Q?Caf=E9?= ouvert"},
      {"run of two words", kLatin1, false, "Un caf\xe9 cr\xe8me ici",
       "Un =?ISO-8859-1?Q?caf=E9_cr=E8me?= ici"},
      {"Q specials of text", kLatin1, false, "a=b \xe9?_=", "a=b =?ISO-8859-1?Q?=E9=3F=5F=3D?="},
      {"control character", kLatin1, false, "x\x01y", "=?ISO-8859-1?Q?x=01y?="},
      {"tab before run stays outside", kLatin1, false, "x\t\xe9", "x\t=?ISO-8859-1?Q?=E9?="},
      {"address specials in names", kLatin1, true, "M\xfcller, Hans",
       "=?ISO-8859-1?Q?M=FCller=2C?= Hans"},
      {"specials make a name word need encoding", kLatin1, true, "\xe9 a.b",
       "=?ISO-8859-1?Q?=E9_a=2Eb?="},
      {"UTF-8 system", kUtf8, false, "Caf\xc3\xa9 ouvert", "=?UTF-8?Q?Caf=C3=A9?= ouvert"},
      {"Japanese", Cjk("ja", "JP"), false, "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e",
       "=?ISO-2022-JP?B?GyRCRnxLXDhsGyhC?="},
      {"Korean", Cjk("ko", "KR"), false, "\xed\x95\x9c\xea\xb5\xad\xec\x96\xb4",
       "=?EUC-KR?B?x9Gxub7u?="},
      {"simplified Chinese", Cjk("zh", "CN"), false, "\xe4\xb8\xad\xe6\x96\x87",
       "=?GB2312?B?1tDOxA==?="},
      {"traditional Chinese", Cjk("zh", "TW"), false, "\xe4\xb8\xad\xe6\x96\x87",
       "=?Big5?B?pKSk5Q==?="},
      {"Korean text the character set lacks goes as UTF-8", Cjk("ko", "KR"), false,
       "\xf0\x9f\x98\x80", "=?UTF-8?B?8J+YgA==?="},
      {"Japanese on an EUC-JP system", LocaleInfo{'.', "EUC-JP", "ja", "JP"}, false,
       "\xc6\xfc\xcb\xdc\xb8\xec", "=?ISO-2022-JP?B?GyRCRnxLXDhsGyhC?="},
  };
  for (const Case& c : cases)
    EXPECT_EQ(EncodeHeaderText(c.in, c.specials, c.locale), c.out) << c.what;
}

TEST(HeaderText, LineBreaksBetweenWordsNeverPass) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"x\r\nBcc: victim@example.com", "x Bcc: victim@example.com"},
      {"x\nBcc: v", "x Bcc: v"},
      {"x\r\n Bcc: v", "x Bcc: v"},
      {"x\r\n\xe9", "x =?ISO-8859-1?Q?=E9?="},
      {"\r\n", " "},
  };
  for (const Case& c : cases) {
    std::string encoded = EncodeHeaderText(c.in, false, kLatin1);
    EXPECT_EQ(encoded, c.out);
    EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
  }
}

TEST(HeaderText, LongRunsSplitIntoWordsOfAtMost75) {
  // "=?ISO-8859-1?Q?" is 15 characters: 19 encoded characters of 3 fit in 75 with "?=".
  std::string text(40, '\xe9');
  std::vector<std::string> words = SplitWords(EncodeHeaderText(text, false, kLatin1));
  ASSERT_EQ(words.size(), 3u);
  EXPECT_EQ(words[0], "=?ISO-8859-1?Q?" + std::string() +
                          "=E9=E9=E9=E9=E9=E9=E9=E9=E9=E9=E9=E9=E9=E9=E9=E9=E9=E9=E9?=");
  EXPECT_EQ(words[2], "=?ISO-8859-1?Q?=E9=E9?=");
  std::string decoded;
  for (const std::string& w : words) {
    EXPECT_LE(w.size(), 75u);
    decoded += DecodeQ(w);
  }
  EXPECT_EQ(decoded, text);
}

TEST(HeaderText, Utf8CharactersAreNeverSplitBetweenWords) {
  std::string text;
  for (int i = 0; i < 30; ++i) text += "\xc3\xa9";
  std::vector<std::string> words = SplitWords(EncodeHeaderText(text, false, kUtf8));
  ASSERT_EQ(words.size(), 3u);  // 10 characters of 6 encoded bytes per word
  for (const std::string& w : words) {
    EXPECT_LE(w.size(), 75u);
    EXPECT_EQ(DecodeQ(w).size() % 2, 0u) << w;
    EXPECT_EQ(DecodeQ(w)[0], '\xc3') << w;
  }
}

TEST(HeaderText, JapaneseWordsEachEndInAscii) {
  std::string text;
  for (int i = 0; i < 40; ++i) text += "\xe6\x97\xa5";  // 40 times the same kanji
  std::vector<std::string> words = SplitWords(EncodeHeaderText(text, false, Cjk("ja", "JP")));
  ASSERT_GT(words.size(), 1u);
  std::string all;
  for (const std::string& w : words) {
    EXPECT_LE(w.size(), 75u);
    ASSERT_EQ(w.rfind("=?ISO-2022-JP?B?", 0), 0u) << w;
    std::string bytes = DecodeBase64(w.substr(16, w.size() - 18));
    // Each word converts back on its own and ends in the ASCII state.
    EXPECT_EQ(bytes.substr(bytes.size() - 3), "\x1b(B") << w;
    auto back = ConvertCodePage(bytes, "ISO-2022-JP", "UTF-8");
    ASSERT_TRUE(back.has_value()) << w;
    all += *back;
  }
  EXPECT_EQ(all, text);
}

TEST(ConvertCodePage, ReportsWhatCannotBeConverted) {
  EXPECT_EQ(ConvertCodePage("caf\xe9", "ISO-8859-1", "UTF-8"), "caf\xc3\xa9");
  EXPECT_EQ(ConvertCodePage("", "UTF-8", "ISO-2022-JP"), "");
  EXPECT_FALSE(ConvertCodePage("\xff\xfe", "UTF-8", "ISO-8859-1").has_value());
  EXPECT_FALSE(ConvertCodePage("\xe2\x82\xac", "UTF-8", "ISO-8859-1").has_value());
  EXPECT_FALSE(ConvertCodePage("x", "NO-SUCH-CODESET", "UTF-8").has_value());
  std::string longText(100000, 'a');
  EXPECT_EQ(ConvertCodePage(longText, "ASCII", "UTF-8"), longText);
}

TEST(LineBreakCheck, FindsCrLfAndNul) {
  EXPECT_FALSE(HasLineBreakOrNul("abuse@example.org"));
  EXPECT_TRUE(HasLineBreakOrNul("a\rb"));
  EXPECT_TRUE(HasLineBreakOrNul("a\nb"));
  EXPECT_TRUE(HasLineBreakOrNul(std::string("a\0b", 3)));
  EXPECT_EQ(ShowLineBreaks(std::string("a\r\n\0", 4)), "a<CR><LF><NUL>");
}

}  // namespace
}  // namespace quellor

namespace quellor {
namespace {

TEST(MimeCharset, OfTheSystemCodePage) {
  struct Case {
    const char *codeset, *name;
  } cases[] = {{"UTF-8", "UTF-8"},           {"utf8", "UTF-8"},
               {"ISO-8859-1", "ISO-8859-1"}, {"ANSI_X3.4-1968", "ISO-8859-1"},
               {"", "ISO-8859-1"},           {"ISO-8859-15", "ISO-8859-15"},
               {"CP1252", "windows-1252"},   {"KOI8-R", "KOI8-R"}};
  for (const Case& c : cases) EXPECT_EQ(MimeCharsetOf(c.codeset), c.name) << c.codeset;
}

TEST(QuotedPrintable, LinesOfAtMost76) {
  struct Case {
    std::string line;
    std::vector<std::string> out;
  } cases[] = {
      {"", {""}},
      {"plain text", {"plain text"}},
      {"a=b", {"a=3Db"}},
      {"ends in a blank ", {"ends in a blank=20"}},
      {"tab\tinside\t", {"tab\tinside=09"}},
      {"caf\xc3\xa9", {"caf=C3=A9"}},
      {std::string(76, 'x'), {std::string(76, 'x')}},
      {std::string(77, 'x'), {std::string(75, 'x') + "=", "xx"}},
      // An encoded byte is never split by a soft break.
      {std::string(74, 'x') + "\xff" + "y", {std::string(74, 'x') + "=", "=FFy"}},
  };
  for (const Case& c : cases) EXPECT_EQ(QuotedPrintableLines(c.line), c.out) << c.line;
}

}  // namespace
}  // namespace quellor
