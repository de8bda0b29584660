// The view commands and the kill marking on a real site table: the Filters dialog's choices as
// filter texts and the sites they show, the killed-sites toggle, All sites, Kill site and Kill
// site dead, an empty view and a closed table.
#include "data/SiteViews.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "StoreTool.h"
#include "app/Config.h"
#include "app/Include.h"
#include "data/DataMod.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

using namespace quellor;
using quellor::test::FakeUi;
using quellor::test::TempDir;

namespace {

using Urls = std::set<std::string>;

constexpr int kNull = -1;

struct Site {
  const char* url;
  int killed;  // 0, 1 or kNull
  int ipChanged;
  int priority;  // kNull for none
  int dead;
};

// Live and killed sites, with and without changed addresses, of several priorities, and sites
// whose flags are empty.
const Site kSites[] = {
    {"http://live-a.test/", 0, 1, 2, 0},
    {"http://live-b.test/", 0, 0, 5, 0},
    {"http://live-c.test/", 0, kNull, 2, 0},
    {"http://live-d.test/", 0, 0, kNull, kNull},
    {"http://gone-a.test/", 1, 1, 3, 0},
    {"http://gone-b.test/", 1, 0, 2, 1},
    {"http://gone-c.test/", 1, 1, 2, 0},
    {"http://null-a.test/", kNull, 0, 2, 0},
    {"http://null-b.test/", kNull, kNull, kNull, kNull},
};

Urls All() {
  Urls urls;
  for (const Site& s : kSites) urls.insert(s.url);
  return urls;
}

class SiteViewsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramFolder(dir.path());
    std::ostringstream out, err;
    ASSERT_EQ(RunStoreTool({"init", dir.path()}, out, err), 0) << err.str();
    {
      TStoreTable t;
      t.SetDatabaseName(dir.path());
      t.SetTableName("cracks.DAT");
      t.Open();
      for (const Site& s : kSites) {
        t.Append();
        t.FieldByName("Url").SetAsString(s.url);
        t.FieldByName("Notes").SetAsString("note");
        t.FieldByName("KilledBy").SetAsString("J");
        t.FieldByName("LastSent").SetAsString("2024-03-01 10:00:00");
        if (s.killed != kNull) t.FieldByName("Killed").SetAsBoolean(s.killed == 1);
        if (s.ipChanged != kNull) t.FieldByName("IPChanged").SetAsBoolean(s.ipChanged == 1);
        if (s.priority != kNull) t.FieldByName("Priority").SetAsInteger(s.priority);
        if (s.dead != kNull) t.FieldByName("Dead").SetAsBoolean(s.dead == 1);
        t.Post();
      }
    }
    config.ReadLastCompany();
    config.ReadSettings();
    dm = std::make_unique<TDM>(config);
    dm->DataModuleCreate();
  }

  Urls Visible() {
    Urls urls;
    TStoreTable& t = dm->tblCracks;
    TBookmark here = t.GetBookmark();
    for (t.First(); !t.Eof(); t.Next()) urls.insert(t.FieldByName("Url").AsString());
    if (here.Valid()) t.GotoBookmark(here);
    return urls;
  }

  // A site's stored flags and texts, read through a table of its own.
  std::string Stored(const std::string& url) {
    TStoreTable t;
    t.SetDatabaseName(dir.path());
    t.SetTableName("cracks.DAT");
    t.Open();
    if (!t.FindKey({url})) return "missing";
    auto flag = [&t](const char* name) {
      TStoreField& f = t.FieldByName(name);
      return f.IsNull() ? std::string("-") : f.AsBoolean() ? std::string("T") : std::string("F");
    };
    return "Killed=" + flag("Killed") + " Dead=" + flag("Dead") +
           " Notes=" + t.FieldByName("Notes").AsString() +
           " KilledBy=" + t.FieldByName("KilledBy").AsString() +
           " LastSent=" + t.FieldByName("LastSent").AsString();
  }

  // Makes the site with this Url current in the view.
  void GoTo(const std::string& url) {
    TStoreTable& t = dm->tblCracks;
    for (t.First(); !t.Eof(); t.Next())
      if (t.FieldByName("Url").AsString() == url) return;
    FAIL() << url << " is not in the view";
  }

  TempDir dir;
  TConfig config;
  FakeUi ui;
  std::unique_ptr<TDM> dm;
};

}  // namespace

TEST_F(SiteViewsTest, FiltersDialogChoicesGiveTheseTextsAndSites) {
  using S = TCheckState;
  struct Case {
    S killed, ipChanged;
    const char* rank;
    const char* text;
    Urls shown;
  } cases[] = {
      // The dialog's defaults: the start view.
      {S::Unchecked,
       S::Grayed,
       "",
       "Killed = False",
       {"http://live-a.test/", "http://live-b.test/", "http://live-c.test/",
        "http://live-d.test/"}},
      {S::Grayed,
       S::Checked,
       "2",
       "IPChanged = True And Priority = 2",
       {"http://live-a.test/", "http://gone-c.test/"}},
      // Rank typed as a blank and 5: used unchanged, two blanks after the equals sign.
      {S::Unchecked, S::Grayed, " 5", "Killed = False And Priority =  5", {"http://live-b.test/"}},
      {S::Checked,
       S::Unchecked,
       "",
       "Killed = True And IPChanged = False",
       {"http://gone-b.test/"}},
      {S::Checked,
       S::Checked,
       "3",
       "Killed = True And IPChanged = True And Priority = 3",
       {"http://gone-a.test/"}},
      {S::Grayed,
       S::Grayed,
       "2",
       "Priority = 2",
       {"http://live-a.test/", "http://live-c.test/", "http://gone-b.test/", "http://gone-c.test/",
        "http://null-a.test/"}},
      // Every box grey and no rank: no filter, every site, also those with empty flags.
      {S::Grayed, S::Grayed, "", "", All()},
      // The rank is not checked: it goes into the text as typed.
      {S::Unchecked,
       S::Grayed,
       "2 Or Dead",
       "Killed = False And Priority = 2 Or Dead",
       {"http://live-a.test/", "http://live-c.test/", "http://gone-b.test/"}},
  };
  for (const Case& c : cases) {
    ApplyFilterChoice(config, *dm, {c.killed, c.ipChanged, c.rank});
    EXPECT_EQ(dm->tblCracks.Filter(), c.text);
    EXPECT_EQ(Visible(), c.shown) << c.text;
  }
}

TEST_F(SiteViewsTest, ARankTheFilterRejectsKeepsTheViewAndReturnsAtTheNextApply) {
  for (const char* rank : {"x", " ", "2 And"}) {
    ApplyFilterChoice(config, *dm, {});
    Urls before = Visible();
    try {
      ApplyFilterChoice(config, *dm, {TCheckState::Grayed, TCheckState::Unchecked, rank});
      FAIL() << "no error for rank '" << rank << "'";
    } catch (const EStoreEngineError& e) {
      EXPECT_EQ(e.ErrorCode(), 10051) << e.what();
    }
    EXPECT_EQ(config.PriorityFilter, rank);
    EXPECT_EQ(config.KilledFilter, "");
    EXPECT_EQ(config.IPChangedFilter, "False");
    EXPECT_EQ(dm->tblCracks.Filter(), "Killed = False");
    EXPECT_EQ(Visible(), before);
    EXPECT_THROW(ShowAllSites(*dm), EStoreEngineError);
  }
}

TEST_F(SiteViewsTest, KilledSitesToggleAndAllSites) {
  const Urls live = {"http://live-a.test/", "http://live-b.test/", "http://live-c.test/",
                     "http://live-d.test/"};
  const Urls killed = {"http://gone-a.test/", "http://gone-b.test/", "http://gone-c.test/"};
  // All sites right after start: the start view.
  ShowAllSites(*dm);
  EXPECT_EQ(dm->tblCracks.Filter(), "Killed = False");
  EXPECT_EQ(Visible(), live);

  EXPECT_TRUE(ToggleKilledView(config, *dm, false));
  EXPECT_EQ(dm->tblCracks.Filter(), "Killed = True");
  EXPECT_EQ(Visible(), killed);
  EXPECT_FALSE(ToggleKilledView(config, *dm, true));
  EXPECT_EQ(Visible(), live);

  // The other two values take part unchanged.
  config.IPChangedFilter = "True";
  EXPECT_TRUE(ToggleKilledView(config, *dm, false));
  EXPECT_EQ(dm->tblCracks.Filter(), "Killed = True And IPChanged = True");
  EXPECT_EQ(Visible(), (Urls{"http://gone-a.test/", "http://gone-c.test/"}));

  // Reading a company's settings sets KilledFilter back to "False" without applying it; the
  // next All sites uses "False".
  config.ReadSettings();
  EXPECT_EQ(dm->tblCracks.Filter(), "Killed = True And IPChanged = True");
  ShowAllSites(*dm);
  EXPECT_EQ(dm->tblCracks.Filter(), "Killed = False And IPChanged = True");
}

TEST_F(SiteViewsTest, KillSiteStoresItAndItLeavesTheView) {
  GoTo("http://live-b.test/");
  EXPECT_TRUE(KillSite(*dm, ui));
  EXPECT_TRUE(ui.calls.empty());
  EXPECT_EQ(dm->tblCracks.State(), TDataSetState::Browse);
  EXPECT_EQ(Visible().count("http://live-b.test/"), 0u);
  EXPECT_EQ(dm->tblCracks.RecordCount(), 3);
  // The next site of the view is current now; after the last one, the new last.
  EXPECT_EQ(dm->tblCracks.FieldByName("Url").AsString(), "http://live-c.test/");
  GoTo("http://live-d.test/");
  EXPECT_TRUE(KillSite(*dm, ui));
  EXPECT_EQ(dm->tblCracks.FieldByName("Url").AsString(), "http://live-c.test/");
  EXPECT_EQ(Visible(), (Urls{"http://live-a.test/", "http://live-c.test/"}));
  // Nothing but Killed changed.
  EXPECT_EQ(Stored("http://live-b.test/"),
            "Killed=T Dead=F Notes=note KilledBy=J LastSent=2024-03-01 10:00:00");

  // In the killed-sites view the same command makes it live again, and it leaves that view.
  ToggleKilledView(config, *dm, false);
  GoTo("http://live-b.test/");
  EXPECT_TRUE(KillSite(*dm, ui));
  EXPECT_EQ(Visible().count("http://live-b.test/"), 0u);
  EXPECT_EQ(Stored("http://live-b.test/"),
            "Killed=F Dead=F Notes=note KilledBy=J LastSent=2024-03-01 10:00:00");
}

TEST_F(SiteViewsTest, KillSiteTwiceRestoresTheSite) {
  ApplyFilterChoice(config, *dm, {TCheckState::Grayed, TCheckState::Grayed, ""});
  for (const char* url : {"http://live-a.test/", "http://gone-a.test/", "http://null-a.test/"}) {
    std::string before = Stored(url);
    GoTo(url);
    EXPECT_TRUE(KillSite(*dm, ui));
    EXPECT_NE(Stored(url), before);
    EXPECT_EQ(dm->tblCracks.FieldByName("Url").AsString(), url);  // still in this view
    EXPECT_TRUE(KillSite(*dm, ui));
    std::string after = Stored(url);
    // An empty Killed counts as false: killed, then live (false, not empty).
    if (before.find("Killed=-") != std::string::npos) before.replace(7, 1, "F");
    EXPECT_EQ(after, before) << url;
  }
  EXPECT_TRUE(ui.calls.empty());
}

TEST_F(SiteViewsTest, AnEmptyKilledCountsAsFalse) {
  ApplyFilterChoice(config, *dm, {TCheckState::Grayed, TCheckState::Grayed, ""});
  GoTo("http://null-b.test/");
  EXPECT_TRUE(KillSite(*dm, ui));
  EXPECT_EQ(Stored("http://null-b.test/"),
            "Killed=T Dead=- Notes=note KilledBy=J LastSent=2024-03-01 10:00:00");
}

TEST_F(SiteViewsTest, KillSiteDeadSetsBothFlagsAndTheSiteLeavesTheView) {
  GoTo("http://live-d.test/");
  EXPECT_TRUE(KillSiteDead(*dm, ui));
  EXPECT_EQ(Stored("http://live-d.test/"),
            "Killed=T Dead=T Notes=note KilledBy=J LastSent=2024-03-01 10:00:00");
  EXPECT_EQ(Visible().count("http://live-d.test/"), 0u);
  // On a site already killed and dead it stays so.
  ToggleKilledView(config, *dm, false);
  GoTo("http://live-d.test/");
  EXPECT_TRUE(KillSiteDead(*dm, ui));
  EXPECT_EQ(Stored("http://live-d.test/"),
            "Killed=T Dead=T Notes=note KilledBy=J LastSent=2024-03-01 10:00:00");
}

TEST_F(SiteViewsTest, KillSiteWithUnsavedEditsStoresBoth) {
  GoTo("http://live-a.test/");
  TStoreTable& t = dm->tblCracks;
  t.Edit();
  t.FieldByName("Notes").SetAsString("typed, not saved");
  t.FieldByName("KilledBy").SetAsString("Q");
  EXPECT_TRUE(KillSite(*dm, ui));
  EXPECT_EQ(Stored("http://live-a.test/"),
            "Killed=T Dead=F Notes=typed, not saved KilledBy=Q LastSent=2024-03-01 10:00:00");
}

TEST_F(SiteViewsTest, KillCommandsOnAnEmptyViewAreRefusedWithAMessage) {
  ApplyFilterChoice(config, *dm, {TCheckState::Checked, TCheckState::Grayed, "9"});
  ASSERT_TRUE(Visible().empty());
  EXPECT_FALSE(KillSite(*dm, ui));
  EXPECT_FALSE(KillSiteDead(*dm, ui));
  EXPECT_EQ(ui.calls, (std::vector<std::string>{std::string("message: ") + kNoSiteToKill,
                                                std::string("message: ") + kNoSiteToKill}));
  EXPECT_EQ(dm->tblCracks.State(), TDataSetState::Browse);
  // No record was added.
  ApplyFilterChoice(config, *dm, {TCheckState::Grayed, TCheckState::Grayed, ""});
  EXPECT_EQ(Visible(), All());
}

TEST_F(SiteViewsTest, KillCommandsOnAClosedTableRaiseTheStoreErrorAndChangeNothing) {
  GoTo("http://live-a.test/");
  dm->tblCracks.Close();
  for (bool (*command)(TDM&, Ui&) : {&KillSite, &KillSiteDead}) {
    try {
      command(*dm, ui);
      FAIL() << "no error";
    } catch (const EDatabaseError& e) {
      EXPECT_STREQ(e.what(), "Cannot perform this operation on a closed dataset");
    }
  }
  EXPECT_TRUE(ui.calls.empty());
  EXPECT_EQ(Stored("http://live-a.test/"),
            "Killed=F Dead=F Notes=note KilledBy=J LastSent=2024-03-01 10:00:00");
}

TEST(FilterValue, ThreeStatesGiveTrueFalseOrNoClause) {
  EXPECT_EQ(FilterValueOf(TCheckState::Checked), "True");
  EXPECT_EQ(FilterValueOf(TCheckState::Unchecked), "False");
  EXPECT_EQ(FilterValueOf(TCheckState::Grayed), "");
  TFilterChoice defaults;
  EXPECT_EQ(defaults.killed, TCheckState::Unchecked);
  EXPECT_EQ(defaults.ipChanged, TCheckState::Grayed);
  EXPECT_EQ(defaults.priority, "");
}
