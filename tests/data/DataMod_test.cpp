#include "data/DataMod.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "app/Config.h"
#include "app/Include.h"
#include "data/SiteTables.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

using namespace quellor;
using quellor::test::TempDir;

namespace {

class DataModTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramFolder(dir.path());
    CreateProgramTables(dir.path());
    TStoreTable t;
    t.SetDatabaseName(dir.path());
    t.SetTableName("cracks.DAT");
    t.Open();
    struct Site {
      const char* url;
      int killed;  // -1 NULL
      int ipChanged;
      int priority;
    } sites[] = {
        {"http://a.test/", 0, 1, 2}, {"http://b.test/", 1, 1, 3}, {"http://c.test/", -1, 0, 2},
        {"http://d.test/", 0, 0, 5}, {"http://e.test/", 1, 0, 3},
    };
    for (const auto& s : sites) {
      t.Append();
      t.FieldByName("Url").SetAsString(s.url);
      if (s.killed >= 0) t.FieldByName("Killed").SetAsBoolean(s.killed == 1);
      t.FieldByName("IPChanged").SetAsBoolean(s.ipChanged == 1);
      t.FieldByName("Priority").SetAsInteger(s.priority);
      t.Post();
    }
  }

  std::set<std::string> Visible(TStoreTable& t) {
    std::set<std::string> urls;
    for (t.First(); !t.Eof(); t.Next()) urls.insert(t.FieldByName("Url").AsString());
    return urls;
  }

  TempDir dir;
  TConfig config;
};

}  // namespace

TEST_F(DataModTest, CreationOpensBothTablesThroughTheDefaultView) {
  config.ReadLastCompany();  // KilledFilter "False"
  TDM dm(config);
  dm.DataModuleCreate();
  EXPECT_EQ(dm.db.Directory(), dir.path());
  EXPECT_TRUE(dm.tblCracks.Active());
  EXPECT_TRUE(dm.tblIsp.Active());
  EXPECT_TRUE(dm.tblCracks.Filtered());
  EXPECT_EQ(dm.tblCracks.Filter(), "Killed = False");
  // Killed sites and sites whose Killed is NULL are hidden.
  EXPECT_EQ(Visible(dm.tblCracks), (std::set<std::string>{"http://a.test/", "http://d.test/"}));
  EXPECT_EQ(dm.tblCracks.RecordCount(), 2);
}

TEST_F(DataModTest, ANewSiteIsNotKilledHasNoPriorityAndNeedsAUrl) {
  config.ReadLastCompany();  // KilledFilter "False"
  TDM dm(config);
  dm.DataModuleCreate();
  dm.tblCracks.Append();
  EXPECT_FALSE(dm.tblCracks.FieldByName("Killed").IsNull());
  EXPECT_FALSE(dm.tblCracks.FieldByName("Killed").AsBoolean());
  EXPECT_TRUE(dm.tblCracks.FieldByName("Priority").IsNull());
  // Without a Url (or only blanks) the site is refused and the edit kept.
  for (const char* url : {"", "   "}) {
    dm.tblCracks.FieldByName("Url").SetAsString(url);
    try {
      dm.tblCracks.Post();
      ADD_FAILURE() << "stored a site without a Url";
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), kSiteNeedsUrl);
    }
    EXPECT_EQ(dm.tblCracks.State(), TDataSetState::Insert);
  }
  dm.tblCracks.FieldByName("Url").SetAsString("http://new.test/");
  dm.tblCracks.Post();
  // It shows in the default view after a refresh.
  dm.tblCracks.Refresh();
  EXPECT_EQ(Visible(dm.tblCracks),
            (std::set<std::string>{"http://a.test/", "http://d.test/", "http://new.test/"}));
}

TEST_F(DataModTest, ViewFilterTableRowByRow) {
  struct Case {
    const char *killed, *ipChanged, *priority, *text;
    std::set<std::string> urls;
  } cases[] = {
      {"False", "", "", "Killed = False", {"http://a.test/", "http://d.test/"}},
      {"True",
       "True",
       "3",
       "Killed = True And IPChanged = True And Priority = 3",
       {"http://b.test/"}},
      {"", "True", "2", "IPChanged = True And Priority = 2", {"http://a.test/"}},
      {"False", "", " 5", "Killed = False And Priority =  5", {"http://d.test/"}},
      {"",
       "",
       "",
       "",
       {"http://a.test/", "http://b.test/", "http://c.test/", "http://d.test/", "http://e.test/"}},
  };
  TDM dm(config);
  config.ReadLastCompany();
  dm.DataModuleCreate();
  for (const auto& c : cases) {
    config.KilledFilter = c.killed;
    config.IPChangedFilter = c.ipChanged;
    config.PriorityFilter = c.priority;
    dm.ApplyFilter();
    EXPECT_EQ(dm.tblCracks.Filter(), c.text);
    EXPECT_EQ(Visible(dm.tblCracks), c.urls) << c.text;
  }
}

TEST_F(DataModTest, APriorityTheFilterRejectsRaisesTheFilterErrorAndKeepsTheView) {
  TDM dm(config);
  config.ReadLastCompany();
  dm.DataModuleCreate();
  config.PriorityFilter = "x";
  try {
    dm.ApplyFilter();
    FAIL() << "no error";
  } catch (const EStoreEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 10051);
    EXPECT_EQ(std::string(e.what()).rfind("Store Engine Error # 10051 Filter error for table "
                                          "'cracks.DAT' - ",
                                          0),
              0u)
        << e.what();
  }
  EXPECT_EQ(dm.tblCracks.Filter(), "Killed = False");
  EXPECT_EQ(dm.tblCracks.RecordCount(), 2);
  EXPECT_EQ(config.PriorityFilter, "x");  // the same error returns at the next ApplyFilter
  EXPECT_THROW(dm.ApplyFilter(), EStoreEngineError);
}

TEST(DataModMissing, MissingTablesRaiseTheStoreErrorAndLeaveTheTablesClosed) {
  TempDir empty;
  SetProgramFolder(empty.path());
  TConfig config;
  quellor::test::FakeUi ui;
  TDM dm(config, ui);
  // The upgrade's version check reports the site table; its open then fails quietly, and the
  // ISP table's open raises the error.
  try {
    dm.DataModuleCreate();
    FAIL() << "no error";
  } catch (const EStoreEngineError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Store Engine Error # 11010 Invalid path or file name for table 'isps.DAT'");
  }
  EXPECT_EQ(ui.calls, std::vector<std::string>{"message: Store Engine Error # 11010 Invalid path "
                                               "or file name for table 'cracks.DAT'"});
  EXPECT_FALSE(dm.tblCracks.Active());
  EXPECT_FALSE(dm.tblIsp.Active());
}
