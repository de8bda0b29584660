// Tokens of the expression language, and malformed texts: every one compiles or fails with a
// filter error, none crashes.
#include "store/expr/ExprLexer.h"

#include <gtest/gtest.h>

#include <random>

#include "ExprSupport.h"
#include "store/api/StoreError.h"
#include "store/expr/ExprContext.h"

using namespace quellor;
using namespace quellor::exprtest;

namespace {

// Tokens as "kind:text" joined by blanks; strings show their value.
std::string Tokens(const std::string& text, char separator = '.') {
  std::string out;
  for (const TExprToken& t : TokenizeExpression(text, separator, "filter expression")) {
    static const char* const kKinds[] = {"end", "word", "name", "str", "int", "float", "sym"};
    if (!out.empty()) out += ' ';
    out += kKinds[static_cast<int>(t.kind)];
    if (t.kind == TExprTokenKind::String)
      out += ":" + t.value;
    else if (t.kind == TExprTokenKind::Integer)
      out += ":" + std::to_string(t.integer);
    else if (t.kind == TExprTokenKind::Float)
      out += ":" + std::to_string(t.real);
    else if (t.kind != TExprTokenKind::End)
      out += ":" + t.text;
  }
  return out;
}

}  // namespace

TEST(ExprLexer, SplitsTextIntoTokens) {
  struct Case {
    std::string text;
    char separator;
    std::string tokens;
  };
  const Case cases[] = {
      {"Killed = False", '.', "word:Killed sym:= word:False end"},
      {"a<>b<=c>=d<e>f", '.',
       "word:a sym:<> word:b sym:<= word:c sym:>= word:d sym:< word:e sym:> word:f end"},
      {"< >", '.', "sym:< sym:> end"},
      {"[E-mails] = ''", '.', "name:E-mails sym:= str: end"},
      {"'it''s' \"say \"\"hi\"\"\"", '.', "str:it's str:say \"hi\" end"},
      {"'a\"b' \"a'b\"", '.', "str:a\"b str:a'b end"},
      {"#65#66 #0", '.', std::string("str:A str:B str:") + '\0' + " end"},
      {"# 65", '.', "sym:# int:65 end"},
      {"12 2147483647 2147483648", '.', "int:12 int:2147483647 float:2147483648.000000 end"},
      {"1.5 .25 1e3 2E-2 7e+1", '.',
       "float:1.500000 float:0.250000 float:1000.000000 float:0.020000 float:70.000000 end"},
      {"1,5 ,5 (1, 5)", ',', "float:1.500000 float:0.500000 sym:( int:1 sym:, int:5 sym:) end"},
      {"1.5", ',', "int:1 sym:. int:5 end"},
      {"a/*x*/b /**/ c", '.', "word:a word:b word:c end"},
      {"x\t\r\n\x01y", '.', "word:x word:y end"},
      {"_a1 résumé a|b||c", '.', "word:_a1 word:résumé word:a sym:| word:b sym:| sym:| word:c end"},
      {"t.[F 1] ?*", '.', "word:t sym:. name:F 1 sym:? sym:* end"},
      {"", '.', "end"},
  };
  for (const Case& c : cases) EXPECT_EQ(Tokens(c.text, c.separator), c.tokens) << c.text;
}

TEST(ExprLexer, MalformedTextsFailWithAFilterErrorOnly) {
  // Seeded random texts: bytes of the language's own alphabet, and valid filters with bytes
  // dropped, doubled or replaced.
  const TExprTableScope scope("cracks.DAT", SiteFields());
  const std::string alphabet =
      "()[]'\"#*/+-|=<>,.?; \t0123456789eEaZ_\x80\xc3\xa9\xff"
      "KilledUrlPriorityANDORNOTLIKEINISNULLBETWEEN";
  const std::string valid[] = {
      "Killed = False And IPChanged = True And Priority = 2",
      "Url = 'www*' OR [E-mails] = '' OR Notes LIKE '%crack%'",
      "Priority BETWEEN 1 AND 3 AND Url IN ('a', \"b\") AND NOT Killed /* c */",
      "SUBSTRING(Url FROM 2 FOR 3) || #65 = 'x' AND IF(Killed THEN 1.5 ELSE 2e3) > -1",
      "TRIM(LEADING 'w' FROM UPPER(Url)) = 'A' AND EXTRACT(YEAR FROM LastSent) = 2024",
      "REPLACE('a' WITH 'b' IN Url) = POS('x' IN Notes) AND CAST(Priority AS CHAR(3)) = '1'",
  };
  std::mt19937 rng(20240105);
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  int compiled = 0, failed = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    if (i % 2) {
      size_t n = pick(40);
      for (size_t k = 0; k < n; ++k) text += alphabet[pick(alphabet.size())];
    } else {
      text = valid[pick(std::size(valid))];
      for (size_t edits = 1 + pick(3); edits > 0 && !text.empty(); --edits) {
        size_t at = pick(text.size());
        switch (pick(3)) {
          case 0:
            text.erase(at, 1);
            break;
          case 1:
            text.insert(at, 1, text[at]);
            break;
          default:
            text[at] = alphabet[pick(alphabet.size())];
        }
      }
    }
    TExprSettings settings;
    settings.caseInsensitive = i % 3 == 0;
    settings.languageId = i % 5 == 0 ? 1031 : 0;
    try {
      auto f = TExprFilter::Compile(text, scope, settings, "cracks.DAT");
      TMemRecord empty(SiteFields().size());
      f->Matches(empty);
      ++compiled;
    } catch (const EStoreEngineError& e) {
      ASSERT_EQ(e.ErrorCode(), StoreCode::FilterError) << text;
      ASSERT_EQ(std::string(e.what()).rfind(
                    "Store Engine Error # 10051 Filter error for table 'cracks.DAT' - ", 0),
                0u)
          << text;
      ++failed;
    }
  }
  EXPECT_GT(compiled, 500);
  EXPECT_GT(failed, 5000);
}
