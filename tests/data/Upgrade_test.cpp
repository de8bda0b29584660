// Table upgrade and repair at start, on program folders made at the older versions by storetool:
// a site table at 1.0 with 1,000 sites and an ISP table at 1.0 come up at 1.2 and 1.1 with every
// value kept; 1.1 gains only LastDMCASent; current and unknown versions stay as they are; a table
// held by another process stops the upgrade with its message; damaged files are repaired and
// opened, other failures leave the table closed without a message.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "StoreTool.h"
#include "app/Config.h"
#include "app/Include.h"
#include "data/DataMod.h"
#include "data/SiteTables.h"
#include "store/ChildProcess.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

using namespace quellor;
using quellor::test::FakeUi;
using quellor::test::ReadFileBytes;
using quellor::test::TChild;
using quellor::test::TempDir;
using quellor::test::WriteFileBytes;

namespace {

constexpr int kSites = 1000;

// Every field of every record as text ("-" for NULL), by field name, in primary key order.
using Rows = std::vector<std::map<std::string, std::string>>;

Rows ReadAll(TStoreTable& t) {
  Rows rows;
  for (t.First(); !t.Eof(); t.Next()) {
    std::map<std::string, std::string> row;
    for (int i = 0; i < t.FieldCount(); ++i) {
      TStoreField& f = t.Fields(i);
      row[f.FieldName()] = f.IsNull() ? "-" : f.AsString();
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<std::string> FieldNames(TStoreTable& t) {
  std::vector<std::string> names;
  for (int i = 0; i < t.FieldCount(); ++i) names.push_back(t.Fields(i).FieldName());
  return names;
}

class UpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override { SetProgramFolder(dir.path()); }

  void Init(std::vector<std::string> options) {
    std::vector<std::string> args = {"init", dir.path()};
    args.insert(args.end(), options.begin(), options.end());
    std::ostringstream out, err;
    ASSERT_EQ(RunStoreTool(args, out, err), 0) << err.str();
  }

  // Fills the site table with `count` sites whose every field that exists holds a value (some
  // left empty), and the ISP table with a few providers.
  void Fill(int count) { Fill(count, dir.path()); }
  void Fill(int count, const std::string& folder) {
    TStoreTable t;
    t.SetDatabaseName(folder);
    t.SetTableName("cracks.DAT");
    t.Open();
    for (int i = 0; i < count; ++i) {
      t.Append();
      char url[40];
      std::snprintf(url, sizeof url, "http://site%04d.test/path", i);
      t.FieldByName("Url").SetAsString(url);
      t.FieldByName("E-mails").SetAsString("abuse@isp" + std::to_string(i % 17) + ".test");
      if (i % 5) t.FieldByName("BadE-mails").SetAsString("bad" + std::to_string(i) + "@x.test");
      t.FieldByName("IPAddr").SetAsString("10.0." + std::to_string(i / 256) + "." +
                                          std::to_string(i % 256));
      t.FieldByName("Notes").SetAsString("note " + std::to_string(i));
      int flag = 0;
      for (const char* name :
           {"Cracks", "Serialz", "Warez", "LinksOnly", "Tutes", "Forumz", "Toolz", "Porn", "Hacks",
            "DMCA", "Blessed", "USA", "IPChanged", "Killed", "Dead"}) {
        ++flag;
        if ((i + flag) % 4 != 0) t.FieldByName(name).SetAsBoolean((i >> (flag % 5)) & 1);
      }
      t.FieldByName("Urls").SetAsString("http://site.test/file" + std::to_string(i) + ".zip");
      if (i % 3)
        t.FieldByName("LastSent")
            .SetAsString("2023-0" + std::to_string(1 + i % 9) + "-1" + std::to_string(i % 10) +
                         " 12:34:56");
      t.FieldByName("Priority").SetAsInteger(i % 9 - 2);
      if (i % 2) t.FieldByName("KilledBy").SetAsString(std::string(1, char('A' + i % 26)));
      if (TStoreField* dmca = t.FindField("DMCAUrls"); dmca && i % 7 == 0)
        dmca->SetAsString("http://site.test/a" + std::to_string(i) + "\r\nhttp://b.test/");
      t.Post();
    }
    TStoreTable isp;
    isp.SetDatabaseName(folder);
    isp.SetTableName("isps.DAT");
    isp.Open();
    for (const char* domain : {"isp0.test", "a-longer-domain.test", "twenty-chars-12.test"}) {
      isp.Append();
      isp.FieldByName("Domain").SetAsString(domain);
      isp.FieldByName("Emails").SetAsString(std::string("abuse@") + domain);
      isp.Post();
    }
  }

  Rows Read(const char* table) { return Read(table, dir.path()); }
  Rows Read(const char* table, const std::string& folder) {
    TStoreTable t;
    t.SetDatabaseName(folder);
    t.SetTableName(table);
    t.Open();
    return ReadAll(t);
  }

  std::string Version(const char* table) {
    TStoreTable t;
    t.SetDatabaseName(dir.path());
    t.SetTableName(table);
    return std::to_string(t.UserMajorVersion()) + "." + std::to_string(t.UserMinorVersion());
  }

  // Creates the data module and runs its creation step, as start-up does.
  void Start() {
    dm = std::make_unique<TDM>(config, ui);
    config.ReadLastCompany();
    config.ReadSettings();
    dm->DataModuleCreate();
  }

  bool Exists(const char* name) { return std::filesystem::exists(dir.file(name)); }

  TempDir dir;
  TConfig config;
  FakeUi ui;
  std::unique_ptr<TDM> dm;
};

const std::vector<std::string> kCurrentSiteFields = {
    "Url",      "E-mails",      "BadE-mails", "IPAddr",   "Notes",     "Cracks", "Serialz",
    "Warez",    "LinksOnly",    "Tutes",      "Forumz",   "Toolz",     "Porn",   "Hacks",
    "DMCA",     "Urls",         "Blessed",    "USA",      "IPChanged", "Killed", "Dead",
    "LastSent", "LastDMCASent", "Priority",   "KilledBy", "DMCAUrls"};

}  // namespace

TEST_F(UpgradeTest, Version10TablesComeUpCurrentAfterOneStartWithEveryValueKept) {
  Init({"--site-version", "1.0", "--isp-version", "1.0"});
  Fill(kSites);
  Rows sites = Read("cracks.DAT");
  Rows isps = Read("isps.DAT");
  ASSERT_EQ(sites.size(), static_cast<size_t>(kSites));
  ASSERT_EQ(sites[0].size(), 24u);

  Start();
  EXPECT_TRUE(ui.calls.empty()) << ui.calls.front();
  EXPECT_EQ(ui.busyDepth, 0);
  EXPECT_GT(ui.processEventsCount, 0);  // the window repaints while records are copied
  ASSERT_TRUE(dm->tblCracks.Active());
  ASSERT_TRUE(dm->tblIsp.Active());
  EXPECT_EQ(dm->tblCracks.Filter(), "Killed = False");
  EXPECT_EQ(FieldNames(dm->tblCracks), kCurrentSiteFields);
  EXPECT_EQ(dm->tblCracks.FieldByName("LastDMCASent").DataType(), TFieldType::DateTime);
  EXPECT_EQ(dm->tblCracks.FieldByName("DMCAUrls").DataType(), TFieldType::Blob);
  EXPECT_EQ(dm->tblIsp.FieldByName("Domain").Size(), 25);
  dm.reset();

  EXPECT_EQ(Version("cracks.DAT"), "1.2");
  EXPECT_EQ(Version("isps.DAT"), "1.1");
  std::ostringstream info, err;
  ASSERT_EQ(RunStoreTool({"info", dir.path(), "cracks.DAT"}, info, err), 0) << err.str();
  EXPECT_NE(info.str().find("Description:    Cracks\n"), std::string::npos) << info.str();
  info.str("");
  ASSERT_EQ(RunStoreTool({"info", dir.path(), "isps.DAT"}, info, err), 0) << err.str();
  EXPECT_NE(info.str().find("Description:    ISPs\n"), std::string::npos) << info.str();

  Rows after = Read("cracks.DAT");
  ASSERT_EQ(after.size(), sites.size());
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i]["LastDMCASent"], "-");
    EXPECT_EQ(after[i]["DMCAUrls"], "-");
    after[i].erase("LastDMCASent");
    after[i].erase("DMCAUrls");
    ASSERT_EQ(after[i], sites[i]) << "record " << i;
  }
  EXPECT_EQ(Read("isps.DAT"), isps);
  // The old files are kept as backups.
  for (const char* backup : {"cracks.DBK", "cracks.IBK", "isps.DBK", "isps.IBK"})
    EXPECT_TRUE(Exists(backup)) << backup;

  // The next start finds nothing to do.
  std::string data = ReadFileBytes(dir.file("cracks.DAT"));
  std::filesystem::remove(dir.file("cracks.DBK"));
  Start();
  EXPECT_TRUE(ui.calls.empty());
  EXPECT_FALSE(Exists("cracks.DBK"));
}

TEST_F(UpgradeTest, Version11GainsOnlyLastDMCASent) {
  Init({"--site-version", "1.1"});
  Fill(60);
  Rows sites = Read("cracks.DAT");
  ASSERT_EQ(sites[0].count("DMCAUrls"), 1u);
  ASSERT_EQ(sites[0].count("LastDMCASent"), 0u);
  ASSERT_EQ(sites[7]["DMCAUrls"], "http://site.test/a7\r\nhttp://b.test/");
  Start();
  EXPECT_TRUE(ui.calls.empty());
  EXPECT_EQ(FieldNames(dm->tblCracks), kCurrentSiteFields);
  dm.reset();
  EXPECT_EQ(Version("cracks.DAT"), "1.2");
  Rows after = Read("cracks.DAT");
  ASSERT_EQ(after.size(), sites.size());
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i]["LastDMCASent"], "-");
    after[i].erase("LastDMCASent");
    EXPECT_EQ(after[i], sites[i]) << "record " << i;
  }
  // The ISP table was current: no backup of it.
  EXPECT_TRUE(Exists("cracks.DBK"));
  EXPECT_FALSE(Exists("isps.DBK"));
}

TEST_F(UpgradeTest, CurrentAndUnknownVersionsAreLeftAsTheyAre) {
  for (const char* version : {"1.2", "2.0"}) {
    TempDir other;
    SetProgramFolder(other.path());
    TStoreTable t;
    t.SetDatabaseName(other.path());
    t.SetTableName("cracks.DAT");
    DefineSiteFields(t.FieldDefs());
    if (std::string(version) == "2.0") t.FieldDefs().Add("Extra", TFieldType::String, 10);
    t.IndexDefs().Add("", "Url", IndexOption::Primary);
    t.StoreDefs().UserMajorVersion = version[0] - '0';
    t.StoreDefs().UserMinorVersion = version[2] - '0';
    t.CreateTable();
    std::ostringstream out, err;
    ASSERT_EQ(RunStoreTool({"init", other.path()}, out, err), 0);  // the ISP table, at 1.1

    TDM module(config, ui);
    module.DataModuleCreate();
    EXPECT_TRUE(ui.calls.empty()) << version;
    EXPECT_TRUE(module.tblCracks.Active()) << version;
    EXPECT_EQ(module.tblCracks.UserMajorVersion(), version[0] - '0');
    EXPECT_EQ(module.tblCracks.UserMinorVersion(), version[2] - '0');
    EXPECT_EQ(module.tblCracks.FieldCount(), std::string(version) == "2.0" ? 27 : 26);
    for (const char* backup : {"cracks.DBK", "isps.DBK"})
      EXPECT_FALSE(std::filesystem::exists(other.file(backup))) << version << " " << backup;
  }
}

TEST_F(UpgradeTest, ATableHeldByAnotherProcessStopsTheUpgradeWithItsMessage) {
  Init({"--site-version", "1.0", "--isp-version", "1.0"});
  Fill(20);
  TChild holder([this](TChild& self) {
    TStoreTable t;
    t.SetDatabaseName(dir.path());
    t.SetTableName("cracks.DAT");
    t.Open();
    self.Send("open");
    self.Receive();
    return 0;
  });
  ASSERT_EQ(holder.Receive(), "open");
  Start();
  EXPECT_EQ(ui.calls, std::vector<std::string>{std::string("message: ") + kDatabaseUpdateFailed});
  EXPECT_EQ(ui.busyDepth, 0);
  // The tables open at their old versions; the ISP step did not run.
  ASSERT_TRUE(dm->tblCracks.Active());
  EXPECT_EQ(dm->tblCracks.FieldCount(), 24);
  EXPECT_EQ(
      dm->tblCracks.RecordCount(), Read("cracks.DAT").size() - [&] {
        int killed = 0;
        for (auto& r : Read("cracks.DAT")) killed += r["Killed"] != "False";
        return killed;
      }());
  ASSERT_TRUE(dm->tblIsp.Active());
  EXPECT_EQ(dm->tblIsp.FieldByName("Domain").Size(), 20);
  holder.Send("done");
  EXPECT_EQ(holder.Wait(), 0);
  dm.reset();
  EXPECT_EQ(Version("cracks.DAT"), "1.0");
  EXPECT_EQ(Version("isps.DAT"), "1.0");
  EXPECT_FALSE(Exists("cracks.DBK"));

  // The next start, alone, upgrades both.
  ui.calls.clear();
  Start();
  EXPECT_TRUE(ui.calls.empty());
  EXPECT_EQ(dm->tblCracks.FieldCount(), 26);
  EXPECT_EQ(dm->tblIsp.FieldByName("Domain").Size(), 25);
}

TEST_F(UpgradeTest, MissingTablesShowTheStoreErrorOnceAndTheIspOpenFails) {
  try {
    Start();
    FAIL() << "no error";
  } catch (const EStoreEngineError& e) {
    EXPECT_STREQ(e.what(),
                 "Store Engine Error # 11010 Invalid path or file name for table "
                 "'isps.DAT'");
  }
  EXPECT_EQ(ui.calls, std::vector<std::string>{"message: Store Engine Error # 11010 Invalid path "
                                               "or file name for table 'cracks.DAT'"});
  EXPECT_FALSE(dm->tblCracks.Active());
  EXPECT_FALSE(dm->tblIsp.Active());
}

TEST(DamageCodes, ExactlyTheTenCodes) {
  std::vector<int> found;
  for (int code = 0; code < 20000; ++code)
    if (IsDamageCode(code)) found.push_back(code);
  EXPECT_EQ(found,
            (std::vector<int>{8711, 8961, 8962, 8963, 8965, 9217, 9218, 9998, 10023, 10029}));
}

TEST_F(UpgradeTest, DamagedSiteTablesAreRepairedAndOpenedWithTheirRecords) {
  struct Case {
    const char* what;
    const char* file;
    std::function<void(std::string&)> damage;
    int code;  // the open's error before the repair
  } cases[] = {
      {"header: slot count out of range", "cracks.DAT",
       [](std::string& b) {
         for (int i = 13; i < 17; ++i) b[i] = '\xff';
       },
       StoreCode::HeaderCorrupt},
      {"header: deleted chain beyond the slots", "cracks.DAT",
       [](std::string& b) {
         b[9] = '\x00';
         b[10] = '\x00';
         b[11] = '\x00';
         b[12] = '\x70';
       },
       StoreCode::HeaderCorrupt},
      {"index: root page zeroed", "cracks.IDX",
       [](std::string& b) { std::fill(b.begin() + 4096, b.begin() + 8192, '\0'); },
       StoreCode::IndexPagesCorrupt},
  };
  for (const Case& c : cases) {
    TempDir folder;
    SetProgramFolder(folder.path());
    std::ostringstream out, err;
    ASSERT_EQ(RunStoreTool({"init", folder.path()}, out, err), 0);
    Fill(400, folder.path());
    Rows sites = Read("cracks.DAT", folder.path());
    std::string bytes = ReadFileBytes(folder.file(c.file));
    c.damage(bytes);
    WriteFileBytes(folder.file(c.file), bytes);
    {
      TStoreTable probe;
      probe.SetDatabaseName(folder.path());
      probe.SetTableName("cracks.DAT");
      try {
        probe.Open();
        for (probe.First(); !probe.Eof(); probe.Next()) {
        }
        ADD_FAILURE() << c.what << ": the damage went unnoticed";
      } catch (const EStoreEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), c.code) << c.what << ": " << e.what();
      }
    }
    FakeUi quiet;
    TDM module(config, quiet);
    module.DataModuleCreate();
    EXPECT_TRUE(quiet.calls.empty()) << c.what;
    ASSERT_TRUE(module.tblCracks.Active()) << c.what;
    module.tblCracks.SetFiltered(false);
    EXPECT_EQ(ReadAll(module.tblCracks), sites) << c.what;
  }
}

TEST_F(UpgradeTest, AnOpenFailingWithAnotherCodeLeavesTheTableClosedWithoutAMessage) {
  // An encrypted site table whose password nobody gives: 10498, not a damage code.
  TStoreTable t;
  t.SetDatabaseName(dir.path());
  t.SetTableName("cracks.DAT");
  DefineSiteFields(t.FieldDefs());
  t.IndexDefs().Add("", "Url", IndexOption::Primary);
  t.StoreDefs().Encrypted = true;
  t.StoreDefs().Password = "secret";
  t.StoreDefs().UserMajorVersion = 1;
  t.StoreDefs().UserMinorVersion = 2;
  TStoreSession::Default().AddPassword("secret");
  t.CreateTable();
  TStoreSession::Default().RemoveAllPasswords();
  std::string bytes = ReadFileBytes(dir.file("cracks.DAT"));

  TDM module(config, ui);
  module.OpenWithRepair(module.tblCracks);
  EXPECT_FALSE(module.tblCracks.Active());
  EXPECT_TRUE(ui.calls.empty());
  EXPECT_EQ(ReadFileBytes(dir.file("cracks.DAT")), bytes);  // not repaired

  // A table opened exclusively by another process: 11013, the same.
  Init({});
  std::filesystem::remove(dir.file("cracks.DAT"));
  std::filesystem::remove(dir.file("cracks.IDX"));
  std::filesystem::remove(dir.file("cracks.BLB"));
  Init({});
  TChild holder([this](TChild& self) {
    TStoreTable x;
    x.SetDatabaseName(dir.path());
    x.SetTableName("cracks.DAT");
    x.SetExclusive(true);
    x.Open();
    self.Send("open");
    self.Receive();
    return 0;
  });
  ASSERT_EQ(holder.Receive(), "open");
  TDM second(config, ui);
  second.OpenWithRepair(second.tblCracks);
  EXPECT_FALSE(second.tblCracks.Active());
  EXPECT_TRUE(ui.calls.empty());
  holder.Send("done");
  EXPECT_EQ(holder.Wait(), 0);
}

TEST(StoreToolInit, MakesTheEarlierVersionsAndRefusesOthers) {
  struct Case {
    std::vector<std::string> options;
    const char *site, *isp;
    int siteFields, domainSize;
  } cases[] = {
      {{}, "1.2", "1.1", 26, 25},
      {{"--site-version", "1.0"}, "1.0", "1.1", 24, 25},
      {{"--site-version", "1.1", "--isp-version", "1.0"}, "1.1", "1.0", 25, 20},
      {{"--isp-version", "1.1", "--site-version", "1.2"}, "1.2", "1.1", 26, 25},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::vector<std::string> args = {"init", dir.path()};
    args.insert(args.end(), c.options.begin(), c.options.end());
    std::ostringstream out, err;
    ASSERT_EQ(RunStoreTool(args, out, err), 0) << err.str();
    EXPECT_EQ(out.str(), std::string("cracks.DAT created (user version ") + c.site +
                             ")\nisps.DAT created (user version " + c.isp + ")\n");
    TStoreTable site, isp;
    site.SetDatabaseName(dir.path());
    site.SetTableName("cracks.DAT");
    site.Open();
    EXPECT_EQ(site.FieldCount(), c.siteFields) << c.site;
    for (int i = 0; i < site.FieldCount(); ++i)
      EXPECT_EQ(site.Fields(i).Desc().number, i + 1) << site.Fields(i).FieldName();
    isp.SetDatabaseName(dir.path());
    isp.SetTableName("isps.DAT");
    isp.Open();
    EXPECT_EQ(isp.FieldByName("Domain").Size(), c.domainSize) << c.isp;
  }
  struct Bad {
    std::vector<std::string> args;
    const char* err;
  } bad[] = {
      {{"--site-version", "2.0"},
       "Unknown version '2.0' of cracks.DAT: storetool makes 1.0 to 1.2\n"},
      {{"--site-version", "1"}, "Unknown version '1' of cracks.DAT: storetool makes 1.0 to 1.2\n"},
      {{"--isp-version", "1.2"}, "Unknown version '1.2' of isps.DAT: storetool makes 1.0 to 1.1\n"},
  };
  for (const Bad& b : bad) {
    TempDir dir;
    std::vector<std::string> args = {"init", dir.path()};
    args.insert(args.end(), b.args.begin(), b.args.end());
    std::ostringstream out, err;
    EXPECT_EQ(RunStoreTool(args, out, err), 2);
    EXPECT_EQ(err.str(), b.err);
    EXPECT_FALSE(std::filesystem::exists(dir.file("cracks.DAT")));  // nothing made
  }
  TempDir dir;
  std::ostringstream out, err;
  EXPECT_EQ(RunStoreTool({"info", dir.path(), "cracks.DAT", "--site-version", "1.0"}, out, err), 2);
  EXPECT_NE(err.str().find("usage: storetool"), std::string::npos);
}
