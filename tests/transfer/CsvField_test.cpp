// The quote-aware field splitter, case by case.
#include "transfer/CsvField.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace quellor;

namespace {

struct FieldCase {
  const char* name;
  std::string line;
  char separator;
  int n;
  std::string expected;
};

const FieldCase kFieldCases[] = {
    {"first of three", "a,b,c", ',', 0, "a"},
    {"middle", "a,b,c", ',', 1, "b"},
    {"last", "a,b,c", ',', 2, "c"},
    {"beyond the end", "a,b,c", ',', 3, ""},
    {"far beyond the end", "a,b,c", ',', 1000, ""},
    {"negative number", "a,b,c", ',', -1, ""},
    {"empty line", "", ',', 0, ""},
    {"empty line, later field", "", ',', 2, ""},
    {"empty field between", "a,,c", ',', 1, ""},
    {"empty last field", "a,b,", ',', 2, ""},
    {"quoted comma", "\"a,b\",c", ',', 0, "a,b"},
    {"after quoted comma", "\"a,b\",c", ',', 1, "c"},
    {"doubled quote inside quotes", "\"x\"\"y\",z", ',', 0, "x\"y"},
    {"field after doubled quote", "\"x\"\"y\",z", ',', 1, "z"},
    {"doubled quote unquoted", "a\"\"b,c", ',', 0, "a\"b"},
    {"quote at the start of a quoted value", "\"\"\"abc\",x", ',', 0, "\"abc"},
    {"quote at the end of a quoted value", "\"abc\"\"\",x", ',', 0, "abc\""},
    {"blank before the quote keeps the quotes", " \"a,b\",c", ',', 0, "\"a,b\""},
    {"blank before the quote, next field", " \"a,b\",c", ',', 1, "c"},
    {"blanks inside quotes are trimmed too", "\" a \",b", ',', 0, "a"},
    {"blank after the closing quote keeps them", "\"a\" ,b", ',', 0, "\"a\""},
    {"unbalanced quote takes the rest", "a,\"b,c,d", ',', 1, "\"b,c,d"},
    {"unbalanced quote: next field empty", "a,\"b,c,d", ',', 2, ""},
    {"unbalanced quote: field after that empty", "a,\"b,c,d", ',', 3, ""},
    {"lone quote becomes empty", "\"", ',', 0, ""},
    {"lone quote field", "a,\",b", ',', 1, "\",b"},
    {"pair of quotes is one quote, then empty", "\"\",b", ',', 0, ""},
    {"empty quoted value", "a,\"\"", ',', 1, ""},
    {"quote in the middle switches", "ab\"c,d\"e,f", ',', 0, "ab\"c,d\"e"},
    {"in-quotes state carries over while skipping", "\"a,b\"c,\"d", ',', 1, "\"d"},
    {"blanks and controls trimmed", "  \t a b \r\x01,c", ',', 0, "a b"},
    {"NUL is trimmed at the ends", std::string("\0x\0,y", 5), ',', 0, "x"},
    {"NUL kept inside", std::string("x\0y,z", 5), ',', 0, std::string("x\0y", 3)},
    {"UTF-8 bytes are not trimmed", "\xc3\xa4,b", ',', 0, "\xc3\xa4"},
    {"another separator", "a;\"b;c\";d", ';', 1, "b;c"},
    {"comma is data with another separator", "a,b;c", ';', 0, "a,b"},
    {"tab separator", "a\tb\tc", '\t', 2, "c"},
    {"site line Url", "http://x.test,,,,,,,,TRUE,,,,,,,,FALSE", ',', 0, "http://x.test"},
    {"site line LinksOnly", "http://x.test,,,,,,,,TRUE,,,,,,,,FALSE", ',', 8, "TRUE"},
    {"site line Blessed", "http://x.test,,,,,,,,TRUE,,,,,,,,FALSE", ',', 16, "FALSE"},
};

TEST(CsvField, GetCsvFieldCases) {
  for (const FieldCase& c : kFieldCases)
    EXPECT_EQ(GetCsvField(c.line, c.separator, c.n), c.expected) << c.name;
}

TEST(CsvField, GetCsvFieldsCases) {
  for (const FieldCase& c : kFieldCases) {
    if (c.n < 0) continue;
    std::vector<std::string> fields = GetCsvFields(c.line, c.separator);
    const std::string field = static_cast<size_t>(c.n) < fields.size() ? fields[c.n] : "";
    EXPECT_EQ(field, c.expected) << c.name;
  }
  EXPECT_EQ(GetCsvFields("", ','), std::vector<std::string>{""});
  EXPECT_EQ(GetCsvFields("a;", ';'), (std::vector<std::string>{"a", ""}));
  EXPECT_EQ(GetCsvFields("\"x;y\";z", ';'), (std::vector<std::string>{"x;y", "z"}));
}

// All fields at once against GetCsvField one by one, on random lines of the characters that
// matter: quotes, both separators, blanks, line breaks and letters.
TEST(CsvField, GetCsvFieldsAgreesWithGetCsvField) {
  std::mt19937 random(20240301);
  const std::string alphabet = "\"\";,, \r\nab\x01";
  for (int round = 0; round < 20000; ++round) {
    std::string line(random() % 24, ' ');
    for (char& ch : line) ch = alphabet[random() % alphabet.size()];
    for (char separator : {';', ','}) {
      std::vector<std::string> fields = GetCsvFields(line, separator);
      ASSERT_FALSE(fields.empty());
      for (size_t n = 0; n <= fields.size(); ++n) {
        const std::string expected = GetCsvField(line, separator, static_cast<int>(n));
        const std::string got = n < fields.size() ? fields[n] : "";
        ASSERT_EQ(got, expected) << "line \"" << line << "\" separator " << separator << " field "
                                 << n;
      }
    }
  }
}

TEST(CsvField, TrimBlanks) {
  EXPECT_EQ(TrimBlanks(""), "");
  EXPECT_EQ(TrimBlanks(" \t\r\n"), "");
  EXPECT_EQ(TrimBlanks(" a b "), "a b");
  EXPECT_EQ(TrimBlanks("\x7f"), "\x7f");
}

}  // namespace
