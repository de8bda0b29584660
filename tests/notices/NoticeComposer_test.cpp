// The complaint notice composer: flag combinations against the exact notice lines, the kind of
// notice, and the footer file.
#include "notices/NoticeComposer.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/Config.h"
#include "app/Include.h"
#include "data/SiteTables.h"
#include "store/api/StoreTb.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

namespace quellor {
namespace {

using Lines = std::vector<std::string>;

// Short fragments, so that every line of a notice shows where it came from.
TConfig Wording() {
  TConfig c;
  c.CloseRequest = "CLOSE";
  c.LinkToSites = "LINKTO";
  c.DirectLinkSites = "DIRECT";
  c.Cracks = "cracks";
  c.Serials = "serials";
  c.Warez = "warez";
  c.DirectLinkUrls = "DLURLS";
  c.LinksOnly = "LINKSONLY";
  c.USALinksOnly = "USALINKS";
  c.TOS = "tos:";
  c.Tutes = "tutes";
  c.Forumz = "forumz";
  c.Toolz = "toolz";
  c.Porn = "porn";
  c.Hackz = "hackz";
  return c;
}

// A site from a list of flag names.
TNoticeSite Site(const std::string& flags, const std::string& ip = "10.0.0.1",
                 const std::string& urls = "") {
  TNoticeSite s;
  s.Url = "http://crackz.example/";
  s.IPAddr = ip;
  s.Urls = urls;
  auto has = [&](const char* f) {
    return (" " + flags + " ").find(std::string(" ") + f + " ") != std::string::npos;
  };
  s.Cracks = has("Cracks");
  s.Serialz = has("Serialz");
  s.Warez = has("Warez");
  s.LinksOnly = has("LinksOnly");
  s.USA = has("USA");
  s.Tutes = has("Tutes");
  s.Forumz = has("Forumz");
  s.Toolz = has("Toolz");
  s.Hacks = has("Hacks");
  s.Porn = has("Porn");
  return s;
}

const Lines kFooter = {"Regards,", "The Team"};
const Lines kHead = {"CLOSE", "http://crackz.example/", "IP Address: 10.0.0.1"};

Lines Join(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(NoticeComposer, FlagCombinationsGiveTheseLines) {
  const Lines tail = {"Regards,", "The Team", ""};
  struct Case {
    const char* what;
    TNoticeSite site;
    NoticeKind kind;
    Lines lines;
  } cases[] = {
      {"the worked example: Url, IP, Cracks, Warez, LinksOnly, USA, Urls, Forumz, Porn",
       Site("Cracks Warez LinksOnly USA Forumz Porn", "10.0.0.1", "http://crackz.example/f.zip"),
       NoticeKind::Infringement,
       Join({kHead,
             {"", "LINKTO", "", "1)  cracks", "", "2)  warez", "", "DLURLS",
              "http://crackz.example/f.zip", "", "LINKSONLY", "USALINKS", "",
              "In addition the tos:", "", "1)  forumz", "", "The site also porn", ""},
             tail})},
      {"only Tutes and Hacks", Site("Tutes Hacks"), NoticeKind::TosOnly,
       Join({kHead, {"", "The tos:", "", "1)  tutes", "", "2)  hackz", ""}, tail})},
      {"Cracks without LinksOnly: DirectLinkSites, no LinksOnly paragraphs even with USA",
       Site("Cracks USA"), NoticeKind::Infringement,
       Join({kHead, {"", "DIRECT", "", "1)  cracks", ""}, tail})},
      {"LinksOnly without USA", Site("Cracks LinksOnly"), NoticeKind::Infringement,
       Join({kHead, {"", "LINKTO", "", "1)  cracks", "", "LINKSONLY"}, tail})},
      {"LinksOnly without an infringement flag belongs to nothing", Site("LinksOnly USA Toolz"),
       NoticeKind::TosOnly, Join({kHead, {"", "The tos:", "", "1)  toolz", ""}, tail})},
      {"Serialz and Warez without Cracks are 1 and 2", Site("Serialz Warez"),
       NoticeKind::Infringement,
       Join({kHead, {"", "DIRECT", "", "1)  serials", "", "2)  warez", ""}, tail})},
      {"only Porn", Site("Porn"), NoticeKind::TosOnly,
       Join({kHead, {"", "The tos:", "", "The site also porn", ""}, tail})},
      {"Tutes, Forumz, Toolz, Hacks are 1 to 4, Toolz before Hacks",
       Site("Hacks Toolz Forumz Tutes"), NoticeKind::TosOnly,
       Join({kHead,
             {"", "The tos:", "", "1)  tutes", "", "2)  forumz", "", "3)  toolz", "", "4)  hackz",
              ""},
             tail})},
      {"empty IPAddr: no IP line", Site("Warez", ""), NoticeKind::Infringement,
       Join({{"CLOSE", "http://crackz.example/", "", "DIRECT", "", "1)  warez", ""}, tail})},
      {"empty Urls: no DirectLinkUrls", Site("Cracks", "10.0.0.1", ""), NoticeKind::Infringement,
       Join({kHead, {"", "DIRECT", "", "1)  cracks", ""}, tail})},
      {"all eight categories", Site("Cracks Serialz Warez Tutes Forumz Toolz Hacks Porn"),
       NoticeKind::Infringement,
       Join({kHead,
             // The item's blank line and the section's leading one make two.
             {"",
              "DIRECT",
              "",
              "1)  cracks",
              "",
              "2)  serials",
              "",
              "3)  warez",
              "",
              "",
              "In addition the tos:",
              "",
              "1)  tutes",
              "",
              "2)  forumz",
              "",
              "3)  toolz",
              "",
              "4)  hackz",
              "",
              "The site also porn",
              ""},
             tail})},
  };
  const TConfig config = Wording();
  for (const Case& c : cases) {
    Lines lines = {"old"};
    EXPECT_EQ(ComposeNoticeLines(c.site, config, kFooter, lines), c.kind) << c.what;
    EXPECT_EQ(lines, c.lines) << c.what;
    EXPECT_EQ(KindOf(c.site), c.kind) << c.what;
  }
}

TEST(NoticeComposer, NothingSetLeavesTheLinesAlone) {
  const TConfig config = Wording();
  for (const char* flags : {"", "LinksOnly USA", "LinksOnly", "USA"}) {
    Lines lines = {"previous notice"};
    EXPECT_EQ(ComposeNoticeLines(Site(flags), config, kFooter, lines), NoticeKind::None) << flags;
    EXPECT_EQ(lines, Lines{"previous notice"});
  }
}

TEST(NoticeComposer, FragmentsAndValuesGoInAsStored) {
  TConfig config = Wording();
  config.Cracks = "";           // an empty fragment still gives its line
  config.Warez = "  padded  ";  // nothing is trimmed
  config.TOS = "two\r\nlines";  // a line break makes two lines of the notice
  TNoticeSite s = Site("Cracks Warez Tutes");
  s.Url = " http://x.example/ ";
  Lines lines;
  ComposeNoticeLines(s, config, {}, lines);
  EXPECT_EQ(lines, (Lines{"CLOSE", " http://x.example/ ", "IP Address: 10.0.0.1", "", "DIRECT", "",
                          "1)  ", "", "2)    padded  ", "", "", "In addition the two", "lines", "",
                          "1)  tutes", "", ""}));
}

// The command's composer on a real site table and footer file.
class ComposeFromTable : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramFolder(dir.path());
    CreateProgramTables(dir.path());
    table.SetDatabaseName(dir.path());
    table.SetTableName("cracks.DAT");
    table.Open();
    table.Append();
    table.FieldByName("Url").SetAsString("http://crackz.example/");
    table.FieldByName("IPAddr").SetAsString("10.0.0.1");
    table.Post();
  }
  void SetFlag(const char* field, bool on) {
    table.Edit();
    table.FieldByName(field).SetAsBoolean(on);
    table.Post();
  }
  test::TempDir dir;
  TStoreTable table;
  test::FakeUi ui;
  TConfig config = Wording();
};

TEST_F(ComposeFromTable, ReadsTheRecordAndTheFooter) {
  // No flag at all (every flag is empty): "nothing set", the buffer stays.
  Lines notice = {"kept"};
  EXPECT_EQ(ComposeNotice(table, config, ui, notice), NoticeKind::None);
  EXPECT_EQ(ui.calls, (std::vector<std::string>{std::string("message: ") + kNothingSetText}));
  EXPECT_EQ(notice, Lines{"kept"});

  // A footer without a final line break gives the same notice as one with it.
  SetFlag("Serialz", true);
  SetFlag("Porn", false);  // a flag stored as false is not set either
  for (const char* footer : {"Thanks\r\nBye", "Thanks\r\nBye\r\n", "Thanks\nBye\n"}) {
    test::WriteFileBytes(dir.file("noticeFooter.txt"), footer);
    EXPECT_EQ(ComposeNotice(table, config, ui, notice), NoticeKind::Infringement);
    EXPECT_EQ(notice, Join({kHead, {"", "DIRECT", "", "1)  serials", "", "Thanks", "Bye", ""}}))
        << footer;
  }
  // An empty footer file gives the single blank line.
  test::WriteFileBytes(dir.file("noticeFooter.txt"), "");
  ComposeNotice(table, config, ui, notice);
  EXPECT_EQ(notice, Join({kHead, {"", "DIRECT", "", "1)  serials", "", ""}}));
}

TEST_F(ComposeFromTable, MissingFooterStopsBeforeAnythingChanges) {
  SetFlag("Cracks", true);
  Lines notice = {"kept"};
  try {
    ComposeNotice(table, config, ui, notice);
    FAIL() << "no error";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file " + dir.file("noticeFooter.txt"));
  }
  EXPECT_EQ(notice, Lines{"kept"});
}

}  // namespace
}  // namespace quellor
