// Links of a saved web page as new sites: the link scanner's cases, the conversion through the
// import, the temporary file and the Browse button's file name.
#include "transfer/Html2Csv.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "store/api/StoreTb.h"
#include "transfer/ImportTestSupport.h"

using namespace quellor;
using namespace quellor::test;

namespace {

const std::string kTail = ",,,,,,,,TRUE,,,,,,,,FALSE,FALSE,,FALSE,FALSE";

TEST(Html2Csv, LinkToCsvLineCases) {
  struct Case {
    const char* name;
    std::string line, link;  // link "" for no line
  } cases[] = {
      {"link in a tag", "<a href=\"http://a.test/x\">A</a>", "http://a.test/x"},
      {"single quotes", "<a href='http://q.test/'>", "http://q.test/"},
      {"ends at a blank", "see http://b.test/p and more", "http://b.test/p"},
      {"ends at <", "http://c.test/<br>", "http://c.test/"},
      {"at the end of the line", "text http://end.test/last", "http://end.test/last"},
      {"secure scheme not taken", "<a href=\"https://s.test/\">", ""},
      {"capital scheme not taken", "HTTP://CAPS.TEST/", ""},
      {"capital ftp not taken", "FTP://CAPS.TEST/", ""},
      {"ftp taken", "<a href=\"ftp://f.test/pub\">", "ftp://f.test/pub"},
      {"http preferred over an earlier ftp", "ftp://f.test/a http://h.test/b", "http://h.test/b"},
      {"first of two http links", "http://one.test/ http://two.test/", "http://one.test/"},
      {"outside a tag, in a comment", "<!-- http://comment.test/ -->", "http://comment.test/"},
      {"scheme alone", "http:", "http:"},
      {"no link", "<p>nothing here</p>", ""},
      {"empty line", "", ""},
      {"tab kept", "http://t.test/\tx", "http://t.test/\tx"},
      {"comma: quoted", "http://comma.test/a,b.html", "\"http://comma.test/a,b.html\""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(LinkToCsvLine(c.line), c.link.empty() ? "" : c.link + kTail) << c.name;
}

class Html2CsvTest : public ImportFixture {
 protected:
  void SetUp() override {
    ImportFixture::SetUp();
    setenv("TMPDIR", temp.path().c_str(), 1);
  }
  void TearDown() override {
    unsetenv("TMPDIR");
    ImportFixture::TearDown();
  }
  std::vector<std::string> TempFiles() {
    std::vector<std::string> names;
    if (DIR* d = opendir(temp.path().c_str())) {
      while (dirent* e = readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
          names.push_back(e->d_name);
      closedir(d);
    }
    return names;
  }
  TempDir temp;
};

TEST_F(Html2CsvTest, ConvertImportsTheFirstLinkOfEveryLine) {
  AddSite("http://old.test/", false, "kept");
  WriteFileBytes(dir.file("page.htm"),
                 "<html><body>\r\n"
                 "<a href=\"http://one.test/\">1</a> <a href=\"http://ignored.test/\">\r\n"
                 "<a href=\"http://one.test/\">again</a>\n"
                 "<a href=\"https://secure.test/\">\r"
                 "ftp://files.test/pub\r\n"
                 "<a href=\"http://old.test/\">\r\n"
                 "text http://comma.test/a,b\r\n"
                 "http://last.test/end");
  THtml2Csv logic(Target(), ui);
  TImportResult r = logic.Convert(dir.file("page.htm"));
  EXPECT_EQ(r.imported, 4);
  EXPECT_EQ(ui.calls, std::vector<std::string>{"message: 4 sites imported"});
  EXPECT_TRUE(TempFiles().empty());

  TStoreTable& t = dm->tblCracks;
  for (const char* url : {"http://one.test/", "ftp://files.test/pub", "http://comma.test/a,b",
                          "http://last.test/end"}) {
    ASSERT_TRUE(Find(url)) << url;
    EXPECT_EQ(t.FieldByName("LinksOnly").AsString(), "True") << url;
    for (const char* f : {"Blessed", "USA", "Killed", "Dead"})
      EXPECT_EQ(t.FieldByName(f).AsString(), "False") << url << " " << f;
    for (const char* f : {"IPChanged", "Cracks", "E-mails", "LastSent", "Priority", "DMCAUrls"})
      EXPECT_TRUE(t.FieldByName(f).IsNull()) << url << " " << f;
  }
  EXPECT_FALSE(Find("http://ignored.test/"));
  ASSERT_TRUE(Find("http://old.test/"));
  EXPECT_EQ(t.FieldByName("Notes").AsString(), "kept");
  EXPECT_EQ(t.FieldByName("LinksOnly").AsString(), "");
}

TEST_F(Html2CsvTest, FilesWithoutLinksAndBadNames) {
  WriteFileBytes(dir.file("plain.html"), "<p>no links</p>\r\n");
  THtml2Csv logic(Target(), ui);
  logic.Convert(dir.file("plain.html"));
  EXPECT_EQ(ui.calls, std::vector<std::string>{"message: 0 sites imported"});
  // A name without extension works as well.
  WriteFileBytes(dir.file("noext"), "http://noext.test/\r\n");
  logic.Convert(dir.file("noext"));
  EXPECT_EQ(ui.calls.back(), "message: 1 sites imported");

  struct Case {
    std::string name, error;
  } cases[] = {
      {"", "Cannot open file "},
      {dir.file("missing.htm"), "Cannot open file " + dir.file("missing.htm")},
      {dir.path(), "Cannot open file " + dir.path()},
  };
  ui.calls.clear();
  for (const Case& c : cases) {
    try {
      logic.Convert(c.name);
      ADD_FAILURE() << c.name;
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), c.error);
    }
  }
  WriteFileBytes(dir.file("utf16.htm"), std::string("h\0t\0", 4));
  EXPECT_THROW(logic.Convert(dir.file("utf16.htm")), std::runtime_error);
  EXPECT_TRUE(ui.calls.empty());
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(Html2CsvTest, AnExistingCsvBesideTheInputIsNeverTouched) {
  WriteFileBytes(dir.file("page.htm"), "http://a.test/\r\n");
  WriteFileBytes(dir.file("page.Csv"), "my own list\r\n");
  char* before = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  THtml2Csv(Target(), ui).Convert(dir.file("page.htm"));
  EXPECT_EQ(ReadFileBytes(dir.file("page.Csv")), "my own list\r\n");
  EXPECT_EQ(ui.calls.back(), "message: 1 sites imported");
  EXPECT_EQ(chdir(before), 0);
  std::free(before);
}

TEST_F(Html2CsvTest, BrowseKeepsTheLastChosenName) {
  THtml2Csv logic(Target(), ui);
  EXPECT_EQ(logic.Browse(), "");  // cancelled, nothing chosen yet
  ui.fileAnswers.push_back(dir.file("a.htm"));
  EXPECT_EQ(logic.Browse(), dir.file("a.htm"));
  EXPECT_EQ(logic.Browse(), dir.file("a.htm"));  // cancelled: the previous name again
}

}  // namespace
