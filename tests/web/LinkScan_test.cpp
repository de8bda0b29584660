// The link scanner: the first anchor's target per line, as the URL check lists them.
#include "web/LinkScan.h"

#include <gtest/gtest.h>

using namespace quellor;

TEST(HrefOfLine, Cases) {
  struct Case {
    const char* line;
    const char* target;
  } cases[] = {
      {"<a href=\"http://crack.example/x\">x</a>", "http://crack.example/x"},
      {"<A HREF=\"http://Crack.Example/CaseKept\">", "http://Crack.Example/CaseKept"},
      {"text <a   href  =  \"http://spaced.example/\">", "http://spaced.example/"},
      {"<a name=\"top\" href=\"http://x.example/\">", ""},  // an attribute before HREF
      {"<a href=\"http://first.example/\"> <a href=\"http://second.example/\">",
       "http://first.example/"},      // only the first anchor of a line
      {"<a href=\"#section\">", ""},  // a place in the page
      {"<a href=\"http://open.example/no-close", "http://open.example/no-close"},  // stops at end
      {"<a href=http://unquoted.example/>", ""},
      {"<a href \"http://noequals.example/\">", ""},
      {"<abbr title=\"x\">", ""},
      {"no anchor at all", ""},
      {"", ""},
      {"<a href=\"", ""},
      {"<a href=\"\">", ""},
      {"<A", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(HrefOfLine(c.line), c.target) << c.line;
}

TEST(HrefOfLine, HugeLinesAreScannedOnce) {
  // A 10 MB page without line breaks: one line, its first anchor, no hang.
  std::string page(10 * 1024 * 1024, 'x');
  page.replace(5000, 40, "<a href=\"http://deep.example/page\">");
  std::vector<std::string> links = LinksOfText(page);
  ASSERT_EQ(links.size(), 1u);
  EXPECT_EQ(links[0], "http://deep.example/page");
  EXPECT_TRUE(LinksOfText(std::string(1 << 20, '<')).empty());
}

TEST(LinksOfText, OneTargetPerLineWithAnyLineEnd) {
  std::string text =
      "<html>\r\n<a href=\"http://one.example/\">1</a>\n<p>\r<a href=\"http://two.example/\">"
      "\r\n<a name=\"x\" href=\"http://skipped.example/\">";
  EXPECT_EQ(LinksOfText(text),
            (std::vector<std::string>{"http://one.example/", "http://two.example/"}));
}
