// The DMCA notice: placeholder expansion, the DMCA Urls list, titles, paragraphs and the date.
#include "notices/DmcaNotice.h"

#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/Include.h"
#include "data/SiteTables.h"
#include "platform/Locale.h"
#include "store/api/StoreTb.h"
#include "support/TempDir.h"
#include "transfer/CsvField.h"

namespace quellor {
namespace {

const std::string kC = "displays an active hypertext link for a \"crack\" for";
const std::string kS = "displays serial numbers \"serialz\" for";
const std::string kK = "displays a serial number generator \"keygen\" for";
const std::string kW = "displays an active hypertext link for full-version downloads \"warez\" for";
const std::string kSerialz =
    "The \"Serialz\" are designed to disable or bypass copyright protection encoded in the "
    "software programs, in violation of US Copyright law.\r\n\r\n";
const std::string kKeyGens =
    "The \"KeyGens\" are designed to disable or bypass copyright protection encoded in the "
    "software programs, in violation of US Copyright law.\r\n\r\n";
const std::string kCrack =
    "The \"crack\" files are designed to disable or bypass copyright protection encoded in the "
    "software programs, in violation of US Copyright law.\r\n\r\n";

const TDmcaDate kDay{2024, 3, 1};

TDmcaSite Site(const std::string& dmcaUrls) {
  return {"http://warez.example/", "10.1.2.3", dmcaUrls};
}

class DmcaTest : public ::testing::Test {
 protected:
  // The month names of the C library's "C" locale are English; titles sort in English.
  void SetUp() override { Locale::Override(LocaleInfo{'.', "UTF-8", "en", "US"}); }
  void TearDown() override { Locale::Override(std::nullopt); }
};

TEST_F(DmcaTest, Expansion) {
  struct Case {
    const char* what;
    std::string dmcaUrls, text;
    bool subjectOnly;
    std::string result;
  } cases[] = {
      {"no placeholders, subject mode", "a, C, X", "Plain text\r\n", true, "Plain text\r\n"},
      {"no placeholders, DMCA mode: the paragraph after the text", "a, C, X", "Plain text\r\n",
       false, "Plain text\r\n" + kCrack},
      {"every placeholder, every occurrence", "", "%url% %IP% %url% [%urls%][%apps%] %date%", true,
       "http://warez.example/ 10.1.2.3 http://warez.example/ [][] March 1, 2024"},
      {"placeholders match their case only", "", "%URL% %ip% %Url% %DATE%", true,
       "%URL% %ip% %Url% %DATE%"},
      {"the example: two entries, titles sorted, first spelling kept",
       "http://w.example/a.html, C, Beta, Alpha; http://w.example/b.html, S, alpha",
       "%urls%|%apps%", false,
       "http://w.example/a.html " + kC + " Beta, Alpha\r\n\r\nhttp://w.example/b.html " + kS +
           " alpha\r\n\r\n|Alpha\r\nBeta\r\n" + kSerialz + kCrack},
      {"kind W: its line, no paragraph", "http://w.example/w, W, Suite", "%urls%", false,
       "http://w.example/w " + kW + " Suite\r\n\r\n"},
      {"kind K: the KeyGens paragraph between Serialz and crack", "a, C, T1; b, K, T2; c, S, T3",
       "", false, kSerialz + kKeyGens + kCrack},
      {"an empty entry ends the list", "http://w.example/c, C, One;; http://w.example/s, S, Two",
       "%urls%%apps%", false, "http://w.example/c " + kC + " One\r\n\r\nOne\r\n" + kCrack},
      {"a final separator is harmless", "a, W, T;", "%urls%", true, "a " + kW + " T\r\n\r\n"},
      {"an entry without address: titles and paragraph, no line", ", S, Lonely", "%urls%|%apps%",
       false, "|Lonely\r\n" + kSerialz},
      {"titles end at the first empty field", "a, W, Three, , Five", "%urls%%apps%", true,
       "a " + kW + " Three\r\n\r\nThree\r\n"},
      {"an entry without titles", "a, C", "%urls%%apps%", true, "a " + kC + " \r\n\r\n"},
      {"an unknown or lower-case kind: no sentence, no paragraph", "a, c, T; b, X, U", "%urls%",
       false, "a T\r\n\r\nb U\r\n\r\n"},
      {"quotes keep separators; blanks and line breaks around entries and fields are trimmed "
       "(a quoted field has no blank beside its quotes)",
       "\r\n  \"http://w.example/x?a=1;b=2\",C,\"Office, Pro\",\r\n Extra ; ", "%urls%", true,
       "http://w.example/x?a=1;b=2 " + kC + " Office, Pro, Extra\r\n\r\n"},
      {"a blank DMCA Urls: empty lists, no paragraph", "  \r\n ", "[%urls%][%apps%]", false,
       "[][]"},
      {"the subject setting never gets a paragraph", "a, C, X", "Possible TOS violation: %url%",
       true, "Possible TOS violation: http://warez.example/"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ExpandTemplateFor(Site(c.dmcaUrls), c.text, c.subjectOnly, kDay), c.result) << c.what;
}

TEST_F(DmcaTest, TitlesSortWithoutRegardToCaseAndKeepTheFirstSpelling) {
  std::string urls = "a, W, delta, Charlie, ALPHA, bravo; b, W, Delta, alpha, Bravo, echo";
  EXPECT_EQ(ExpandTemplateFor(Site(urls), "%apps%", true, kDay),
            "ALPHA\r\nbravo\r\nCharlie\r\ndelta\r\necho\r\n");
}

// Only case makes two titles one: width, ligatures and kana type keep them apart. Titles that
// sort alike keep the order in which they were met.
TEST_F(DmcaTest, TitlesThatDifferInMoreThanCaseStayApart) {
  struct Case {
    const char* what;
    std::string urls;
    std::string apps;
  } cases[] = {
      {"kana type", "a, W, \u30ab\u30bf, \u304b\u305f", "\u30ab\u30bf\r\n\u304b\u305f\r\n"},
      {"width", "a, W, \uff21\uff22\uff23, ABC, abc", "\uff21\uff22\uff23\r\nABC\r\n"},
      {"a ligature", "a, W, file, \ufb01le, FILE", "file\r\n\ufb01le\r\n"},
      {"case of accented and Greek letters",
       "a, W, \u00c9t\u00e9, \u00e9T\u00c9, \u03a3\u03bf\u03c6\u03af\u03b1, "
       "\u03c3\u03bf\u03c6\u03af\u03b1",
       "\u00c9t\u00e9\r\n\u03a3\u03bf\u03c6\u03af\u03b1\r\n"},
      {"everything together, first spellings in order",
       "a, W, \uff21\uff22\uff23, abc, ABC, \u30ab\u30bf; b, W, \u304b\u305f, \ufb01le, file, "
       "FILE, Beta",
       "\uff21\uff22\uff23\r\nabc\r\nBeta\r\n\ufb01le\r\nfile\r\n\u30ab\u30bf\r\n\u304b\u305f\r\n"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ExpandTemplateFor(Site(c.urls), "%apps%", true, kDay), c.apps) << c.what;
}

// Placeholders are replaced in their order, so a value brings in those that follow it.
TEST_F(DmcaTest, AValueThatHoldsALaterPlaceholderHasItReplaced) {
  TDmcaSite site{"http://w.example/%urls%|%apps%", "%date%", "a, W, Tool"};
  EXPECT_EQ(ExpandTemplateFor(site, "%url% %IP%", true, kDay),
            "http://w.example/a " + kW + " Tool\r\n\r\n|Tool\r\n March 1, 2024");
}

// The entries and titles of a long list are those of GetCsvField taken entry by entry.
TEST_F(DmcaTest, ParsingALongListGivesWhatFieldByFieldGives) {
  std::mt19937 random(7);
  const char* const pieces[] = {"http://w.example/p",
                                ", ",
                                ",",
                                "C",
                                "S",
                                "\"T, 1\"",
                                "Tool",
                                " ",
                                "\r\n",
                                ";",
                                "\"\"",
                                "\""};
  for (int round = 0; round < 3000; ++round) {
    std::string urls;
    for (int i = random() % 200; i > 0; --i) urls += pieces[random() % std::size(pieces)];
    std::vector<TDmcaEntry> expected;
    for (int n = 0;; ++n) {
      const std::string entry = GetCsvField(urls, ';', n);
      if (entry.empty()) break;
      TDmcaEntry e{GetCsvField(entry, ',', 0), GetCsvField(entry, ',', 1), {}};
      for (int k = 2; !GetCsvField(entry, ',', k).empty(); ++k)
        e.Titles.push_back(GetCsvField(entry, ',', k));
      expected.push_back(e);
    }
    const std::vector<TDmcaEntry> entries = ParseDmcaUrls(urls);
    ASSERT_EQ(entries.size(), expected.size()) << urls;
    for (size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ(entries[i].Address, expected[i].Address) << urls;
      EXPECT_EQ(entries[i].Kind, expected[i].Kind) << urls;
      EXPECT_EQ(entries[i].Titles, expected[i].Titles) << urls;
    }
  }
}

TEST_F(DmcaTest, DateHasNoLeadingZeroAndTheFullMonthName) {
  struct Case {
    TDmcaDate date;
    const char* text;
  } cases[] = {{{2024, 3, 1}, "March 1, 2024"},
               {{2025, 12, 31}, "December 31, 2025"},
               {{1999, 1, 9}, "January 9, 1999"}};
  for (const Case& c : cases) EXPECT_EQ(FormatDmcaDate(c.date), c.text);
}

TEST_F(DmcaTest, NoticeLinesFromTheTemplate) {
  std::vector<std::string> lines = BuildDmcaNoticeLines(
      {"Dear agent,", "%urls%Titles:", "%apps%", "Signed"},
      Site("http://w.example/a, C, Beta, Alpha; http://w.example/b, K, Gamma"), kDay);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Dear agent,", "http://w.example/a " + kC + " Beta, Alpha", "",
                       "http://w.example/b " + kK + " Gamma", "", "Titles:", "Alpha", "Beta",
                       "Gamma", "", "Signed", kKeyGens.substr(0, kKeyGens.size() - 4), "",
                       kCrack.substr(0, kCrack.size() - 4), ""}));
}

TEST_F(DmcaTest, BuildReadsTheSiteTableAndTheTemplateFile) {
  test::TempDir dir;
  SetProgramFolder(dir.path());
  CreateProgramTables(dir.path());
  TStoreTable table;
  table.SetDatabaseName(dir.path());
  table.SetTableName("cracks.DAT");
  table.Open();
  table.Append();
  table.FieldByName("Url").SetAsString("http://warez.example/");
  table.FieldByName("IPAddr").SetAsString("10.9.9.9");
  table.FieldByName("DMCAUrls").SetAsString("http://warez.example/k, K, Tool");
  table.Post();

  std::vector<std::string> notice = {"kept"};
  try {
    BuildDmcaNotice(table, notice);
    FAIL() << "no error";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file " + dir.file("dmca-template.txt"));
  }
  EXPECT_EQ(notice, std::vector<std::string>{"kept"});

  test::WriteFileBytes(dir.file("DMCA-Template.TXT"), "Site %url% (%IP%)\n%urls%");
  BuildDmcaNotice(table, notice);
  EXPECT_EQ(notice, (std::vector<std::string>{"Site http://warez.example/ (10.9.9.9)",
                                              "http://warez.example/k " + kK + " Tool", "", "",
                                              kKeyGens.substr(0, kKeyGens.size() - 4), ""}));
  EXPECT_EQ(ExpandTemplate(table, "DMCA for %url%", true), "DMCA for http://warez.example/");
}

}  // namespace
}  // namespace quellor
