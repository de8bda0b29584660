// Restructure: the edge cases of changing a table's fields, indexes and attributes, the checks
// with their codes, losses offered to OnDataLost, and the files left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "ChildProcess.h"
#include "StoreTestTables.h"
#include "store/api/StoreTb.h"
#include "support/TempDir.h"

namespace quellor::test {
namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// A table "t" with Name (string 20, primary), Score (smallint), Note (memo) and a secondary
// index on Score, filled with `rows` records.
void MakeTable(const TempDir& dir, int rows, const std::string& name = "t") {
  TStoreTable t;
  Bind(t, dir, name);
  t.FieldDefs().Add("Name", TFieldType::String, 20);
  t.FieldDefs().Add("Score", TFieldType::SmallInt);
  t.FieldDefs().Add("Note", TFieldType::Memo);
  t.IndexDefs().Add("", "Name", IndexOption::Primary);
  t.IndexDefs().Add("ByScore", "Score", 0);
  t.CreateTable();
  t.Open();
  for (int i = 1; i <= rows; ++i) {
    t.Append();
    t.FieldByName("Name").SetAsString("site" + std::to_string(i));
    t.FieldByName("Score").SetAsInteger(i % 7);
    if (i % 3 == 0) t.FieldByName("Note").SetAsString(std::string(700 + i, 'n'));
    t.Post();
  }
  // One deleted record, so that logical ids have a gap.
  if (rows >= 2) {
    t.First();
    t.Next();
    t.Delete();
  }
  t.Close();
}

struct TRow {
  int32_t id;
  std::map<std::string, std::string> values;
  bool operator==(const TRow&) const = default;
};

// Every record in physical order: logical id (through the bookmark) and each field's text.
std::vector<TRow> Rows(const TempDir& dir, const std::string& name = "t") {
  TStoreTable t;
  Bind(t, dir, name);
  t.Open();
  std::vector<TRow> rows;
  for (t.First(); !t.Eof(); t.Next()) {
    TRow row{t.GetBookmark().logicalId, {}};
    for (int i = 0; i < t.FieldCount(); ++i)
      row.values[t.Fields(i).FieldName()] =
          t.Fields(i).IsNull() ? "<null>" : t.Fields(i).AsString();
    rows.push_back(std::move(row));
  }
  std::sort(rows.begin(), rows.end(), [](const TRow& a, const TRow& b) { return a.id < b.id; });
  return rows;
}

bool RestructureDefault(TStoreTable& t, int lastAutoInc = -1, bool noBackup = false) {
  return t.Restructure(0, 0, 1, 2, false, "", "", 512, lastAutoInc, noBackup);
}

TEST(Restructure, AddingAFieldKeepsValuesAndIdsAndLeavesBackups) {
  TempDir dir;
  MakeTable(dir, 50);
  auto before = Rows(dir);
  TStoreTable t;
  Bind(t, dir, "t");
  t.RestructureFieldDefs().LoadFromTable();
  t.RestructureIndexDefs().LoadFromTable();
  ASSERT_EQ(t.RestructureFieldDefs().Count(), 3);
  t.RestructureFieldDefs().Add("Extra", TFieldType::String, 30);
  RestructureDefault(t);
  auto after = Rows(dir);
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].id, before[i].id);
    EXPECT_EQ(after[i].values.at("Extra"), "<null>");
    after[i].values.erase("Extra");
    EXPECT_EQ(after[i].values, before[i].values);
  }
  for (const char* ext : {".DBK", ".IBK", ".BBK"}) EXPECT_TRUE(Exists(dir.file("t") + ext)) << ext;
  EXPECT_EQ(t.UserMajorVersion(), 1);
  EXPECT_EQ(t.UserMinorVersion(), 2);
  // The lists are read again from the new structure.
  t.RestructureFieldDefs().LoadFromTable();
  EXPECT_EQ(t.RestructureFieldDefs().Count(), 4);
  // The secondary index still works on the new table.
  t.SetIndexName("ByScore");
  t.Open();
  t.First();
  EXPECT_EQ(t.FieldByName("Score").AsInteger(), 0);
  EXPECT_EQ(t.RecordCount(), 49);
}

// Each kind of BLOB field keeps its kind when the table is opened again and through a
// restructure that adds a field (the restructure lists are loaded from the stored fields).
TEST(Restructure, BlobFieldKindsSurviveOpeningAndRestructuring) {
  const TFieldType kinds[] = {TFieldType::Blob,    TFieldType::Memo,        TFieldType::FmtMemo,
                              TFieldType::Graphic, TFieldType::TypedBinary, TFieldType::Ole};
  TempDir dir;
  TStoreTable t;
  Bind(t, dir, "kinds");
  t.FieldDefs().Add("Name", TFieldType::String, 10);
  for (size_t i = 0; i < std::size(kinds); ++i)
    t.FieldDefs().Add("B" + std::to_string(i), kinds[i]);
  t.CreateTable();
  auto check = [&](const char* when) {
    SCOPED_TRACE(when);
    t.Open();
    for (size_t i = 0; i < std::size(kinds); ++i)
      EXPECT_EQ(t.FieldByName("B" + std::to_string(i)).DataType(), kinds[i]) << i;
    t.Close();
  };
  check("opened");
  t.RestructureFieldDefs().LoadFromTable();
  t.RestructureIndexDefs().LoadFromTable();
  t.RestructureFieldDefs().Add("Extra", TFieldType::String, 30);
  ASSERT_TRUE(RestructureDefault(t));
  check("restructured");
}

TEST(Restructure, NoBackupLeavesNoBackupFiles) {
  TempDir dir;
  MakeTable(dir, 5);
  TStoreTable t;
  Bind(t, dir, "t");
  t.RestructureFieldDefs().LoadFromTable();
  t.RestructureFieldDefs().Add("Extra", TFieldType::Integer);
  RestructureDefault(t, -1, true);
  for (const char* ext : {".DBK", ".IBK", ".BBK"}) EXPECT_FALSE(Exists(dir.file("t") + ext)) << ext;
  EXPECT_EQ(Rows(dir).size(), 4u);
}

TEST(Restructure, LastAutoInc) {
  struct Case {
    int lastAutoInc;
    int32_t expectedNextId;
  };
  // The table gives out ids 1..10 (one deleted): -1 keeps 10, 1000 records 1000, and a value
  // below an id in use is raised to that id, so that no id is given out twice.
  for (Case c : {Case{-1, 11}, Case{1000, 1001}, Case{3, 11}}) {
    TempDir dir;
    MakeTable(dir, 10);
    TStoreTable t;
    Bind(t, dir, "t");
    t.RestructureFieldDefs().LoadFromTable();
    t.RestructureFieldDefs().Add("Extra", TFieldType::Integer);
    RestructureDefault(t, c.lastAutoInc);
    t.Open();
    t.Append();
    t.FieldByName("Name").SetAsString("new");
    t.Post();
    EXPECT_EQ(t.GetBookmark().logicalId, c.expectedNextId) << c.lastAutoInc;
  }
}

TEST(Restructure, IndexOnlyChangeCopiesNoRecordAndLeavesTheDataFile) {
  TempDir dir;
  MakeTable(dir, 30);
  std::string dataBefore = ReadFileBytes(dir.file("t.DAT"));
  TStoreTable t;
  Bind(t, dir, "t");
  bool progress = false;
  t.OnRestructureProgress = [&](TStoreTable&, int, int16_t) { progress = true; };
  auto& ix = t.RestructureIndexDefs();
  ix.LoadFromTable();
  ASSERT_EQ(ix.Count(), 2);
  ix.Delete(ix.IndexOf("ByScore"));
  ix.Add("ByNote", "Score;Name", IndexOption::Unique | IndexOption::Descending);
  t.Restructure(0, 0, 0, 0, false, "", "", 512, -1, false);
  EXPECT_FALSE(progress);  // no record was copied
  std::string dataAfter = ReadFileBytes(dir.file("t.DAT"));
  // Only the header may change (change counter and time of writing); every slot is the same.
  ASSERT_EQ(dataAfter.size(), dataBefore.size());
  EXPECT_EQ(dataAfter.substr(127), dataBefore.substr(127));
  t.SetIndexName("ByNote");
  t.Open();
  t.First();
  EXPECT_EQ(t.FieldByName("Score").AsInteger(), 6);
  EXPECT_EQ(t.RecordCount(), 29);
  t.Close();
  t.SetIndexName("ByScore");
  EXPECT_THROW(t.Open(), EStoreEngineError);
}

// A restructure that copies the records reports the copy; one that builds new indexes in place
// reports that build instead. Each ends at 100 percent.
TEST(Restructure, CopyAndInPlaceProgressGoToTheirOwnEvents) {
  struct TCase {
    const char* what;
    bool addField;  // else: only a new secondary index
    bool copyExpected;
  };
  const TCase cases[] = {{"a field added", true, true}, {"an index added", false, false}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    MakeTable(dir, 40);
    TStoreTable t;
    Bind(t, dir, "t");
    std::vector<int> copy, optimize, restructure;
    t.OnCopyProgress = [&](TStoreTable&, int, int16_t percent) { copy.push_back(percent); };
    t.OnOptimizeProgress = [&](TStoreTable&, int, int16_t percent) { optimize.push_back(percent); };
    t.OnRestructureProgress = [&](TStoreTable&, int, int16_t percent) {
      restructure.push_back(percent);
    };
    t.RestructureFieldDefs().LoadFromTable();
    t.RestructureIndexDefs().LoadFromTable();
    if (c.addField)
      t.RestructureFieldDefs().Add("Extra", TFieldType::String, 30);
    else
      t.RestructureIndexDefs().Add("ByName", "Name", 0);
    ASSERT_TRUE(RestructureDefault(t));
    std::vector<int>& told = c.copyExpected ? copy : optimize;
    std::vector<int>& silent = c.copyExpected ? optimize : copy;
    ASSERT_FALSE(told.empty());
    EXPECT_EQ(told.back(), 100);
    EXPECT_TRUE(std::is_sorted(told.begin(), told.end()));
    EXPECT_TRUE(silent.empty());
    EXPECT_EQ(restructure, c.copyExpected ? copy : std::vector<int>{});
  }
}

TEST(Restructure, ChecksFailWithTheirCodesBeforeAnythingChanges) {
  struct Case {
    const char* what;
    std::function<void(TStoreTable&)> change;
    uint16_t code;
    int lastAutoInc = -1;
    int blockSize = 512;
    bool encrypted = false;
    std::string password{};
  };
  auto fields = [](TStoreTable& t) -> TRestructureFieldDefs& { return t.RestructureFieldDefs(); };
  auto indexes = [](TStoreTable& t) -> TRestructureIndexDefs& { return t.RestructureIndexDefs(); };
  std::vector<Case> cases = {
      {"blank password", [](TStoreTable&) {}, 10015, -1, 512, true, ""},
      {"long password", [](TStoreTable&) {}, 10015, -1, 512, true, "0123456789abcdef"},
      {"last auto-inc below -1", [](TStoreTable&) {}, 9492, -2},
      {"small blocks", [](TStoreTable&) {}, 9498, -1, 63},
      {"bad field name", [&](TStoreTable& t) { fields(t).Items(1).Name = "1abc"; }, 10038},
      {"same field name", [&](TStoreTable& t) { fields(t).Items(1).Name = "name"; }, 10038},
      {"same field number", [&](TStoreTable& t) { fields(t).Items(1).FieldNo = 1; }, 10000},
      {"unknown type", [&](TStoreTable& t) { fields(t).Items(1).DataType = TFieldType::Unknown; },
       10000},
      {"string too long", [&](TStoreTable& t) { fields(t).Items(0).Size = 251; }, 10000},
      {"bad default", [&](TStoreTable& t) { fields(t).Items(1).DefaultValue = "abc"; }, 10006},
      {"record too big",
       [&](TStoreTable& t) {
         for (int i = 0; i < 300; ++i)
           fields(t).Add("F" + std::to_string(i), TFieldType::String, 250);
       },
       9477},
      {"too many indexes",
       [&](TStoreTable& t) {
         for (int i = 0; i < 30; ++i) indexes(t).Add("I" + std::to_string(i), "Score", 0);
       },
       9487},
      {"bad index name", [&](TStoreTable& t) { indexes(t).Add("9x", "Score", 0); }, 10022},
      {"same index name",
       [&](TStoreTable& t) {
         indexes(t).Add("Other", "Score", 0);
         indexes(t).Items(2).Name = "byscore";
       },
       10027},
      {"unknown index field", [&](TStoreTable& t) { indexes(t).Add("X", "Nope", 0); }, 10023},
      {"BLOB key", [&](TStoreTable& t) { indexes(t).Add("X", "Note", 0); }, 12292},
      {"key too long",
       [&](TStoreTable& t) {
         for (int i = 0; i < 3; ++i)
           fields(t).Add("K" + std::to_string(i), TFieldType::String, 250);
         indexes(t).Add("X", "K0;K1;K2", 0);
       },
       10026},
  };
  for (const Case& c : cases) {
    TempDir dir;
    MakeTable(dir, 5);
    std::string data = ReadFileBytes(dir.file("t.DAT"));
    std::string index = ReadFileBytes(dir.file("t.IDX"));
    TStoreTable t;
    Bind(t, dir, "t");
    fields(t).LoadFromTable();
    indexes(t).LoadFromTable();
    c.change(t);
    try {
      t.Restructure(0, 0, 0, 0, c.encrypted, c.password, "", c.blockSize, c.lastAutoInc, false);
      ADD_FAILURE() << c.what << ": no error";
    } catch (const EStoreEngineError& e) {
      EXPECT_EQ(e.ErrorCode(), c.code) << c.what << ": " << e.what();
    }
    EXPECT_EQ(ReadFileBytes(dir.file("t.DAT")), data) << c.what;
    EXPECT_EQ(ReadFileBytes(dir.file("t.IDX")), index) << c.what;
    EXPECT_FALSE(Exists(dir.file("t.DBK"))) << c.what;
  }
}

TEST(Restructure, ListsRejectBadEntries) {
  TRestructureFieldDefs fields;
  fields.Add("A", TFieldType::String, 10);
  EXPECT_THROW(fields.Add("", TFieldType::String, 10), EDatabaseError);
  EXPECT_THROW(fields.Add("a", TFieldType::Integer), EDatabaseError);
  EXPECT_THROW(fields.Add("B", TFieldType::String, 0), EDatabaseError);
  EXPECT_THROW(fields.Add("B", TFieldType::Integer, 4), EDatabaseError);
  EXPECT_THROW(fields.Find("Z"), EDatabaseError);
  fields.Insert(0, "First", TFieldType::BCD, 8);
  EXPECT_EQ(fields.Items(0).Name, "First");
  EXPECT_EQ(fields.Count(), 2);
  TRestructureIndexDefs indexes;
  indexes.Add("I", "A", 0);
  try {
    indexes.Add("i", "A", 0);
    ADD_FAILURE();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Duplicate index name 'i'");
  }
}

TEST(Restructure, LossesAreOfferedWithCauseAndContext) {
  struct Case {
    const char* what;
    std::function<void(TStoreTable&)> change;
    TDataLossCause cause;
    std::string context;
  };
  auto fields = [](TStoreTable& t) -> TRestructureFieldDefs& { return t.RestructureFieldDefs(); };
  std::vector<Case> cases = {
      {"dropped field",
       [&](TStoreTable& t) {
         fields(t).Delete(1);
         t.RestructureIndexDefs().Delete(1);
       },
       TDataLossCause::FieldDropped, "Score"},
      {"required new field",
       [&](TStoreTable& t) { fields(t).Add("Must", TFieldType::Integer, 0, true); },
       TDataLossCause::ValidityCheck, "Must"},
      {"maximum", [&](TStoreTable& t) { fields(t).Items(1).MaximumValue = "3"; },
       TDataLossCause::ValidityCheck, "Score"},
      {"unique index over duplicates",
       [&](TStoreTable& t) {
         fields(t).Add("Extra", TFieldType::Integer);
         t.RestructureIndexDefs().Items(1).Options = IndexOption::Unique;
       },
       TDataLossCause::DuplicateKey, "ByScore"},
      {"unique index over duplicates, indexes only",
       [&](TStoreTable& t) { t.RestructureIndexDefs().Items(1).Options = IndexOption::Unique; },
       TDataLossCause::DuplicateKey, "ByScore"},
      {"conversion",
       [&](TStoreTable& t) {
         fields(t).Items(0).DataType = TFieldType::Integer;
         fields(t).Items(0).Size = 0;
         t.RestructureIndexDefs().Clear();
       },
       TDataLossCause::Conversion, "Name"},
      {"cut string", [&](TStoreTable& t) { fields(t).Items(0).Size = 3; },
       TDataLossCause::Conversion, "Name"},
  };
  for (const Case& c : cases) {
    for (bool stop : {true, false}) {
      TempDir dir;
      MakeTable(dir, 20);
      std::string data = ReadFileBytes(dir.file("t.DAT"));
      std::string index = ReadFileBytes(dir.file("t.IDX"));
      std::string blob = ReadFileBytes(dir.file("t.BLB"));
      TStoreTable t;
      Bind(t, dir, "t");
      fields(t).LoadFromTable();
      t.RestructureIndexDefs().LoadFromTable();
      c.change(t);
      std::vector<std::pair<TDataLossCause, std::string>> asked;
      t.OnDataLost = [&](TStoreTable&, TDataLossCause cause, const std::string& context, bool& go,
                         bool& stopAsking) {
        asked.emplace_back(cause, context);
        go = !stop;
        stopAsking = true;
      };
      bool applied = RestructureDefault(t);
      EXPECT_EQ(applied, !stop) << c.what;
      ASSERT_EQ(asked.size(), 1u) << c.what;
      EXPECT_EQ(asked[0].first, c.cause) << c.what;
      EXPECT_EQ(asked[0].second, c.context) << c.what;
      if (stop) {
        EXPECT_EQ(ReadFileBytes(dir.file("t.DAT")), data) << c.what;
        EXPECT_EQ(ReadFileBytes(dir.file("t.IDX")), index) << c.what;
        EXPECT_EQ(ReadFileBytes(dir.file("t.BLB")), blob) << c.what;
        EXPECT_FALSE(Exists(dir.file("t.DBK"))) << c.what;
        // No temporary table is left in the folder.
        int files = 0;
        for (const char* ext : {".DAT", ".IDX", ".BLB"}) files += Exists(dir.file("t") + ext);
        EXPECT_EQ(files, 3);
      } else {
        EXPECT_TRUE(Exists(dir.file("t.DBK"))) << c.what;
        EXPECT_LE(Rows(dir).size(), 19u) << c.what;
      }
    }
  }
}

TEST(Restructure, FailsWhileAnotherProgramHasTheTableOpenOrItIsReadOnly) {
  {
    TempDir dir;
    MakeTable(dir, 3);
    TChild child([&](TChild& self) {
      TStoreTable t;
      Bind(t, dir, "t");
      t.Open();
      self.Send("open");
      self.Receive();
      return 0;
    });
    ASSERT_EQ(child.Receive(), "open");
    TStoreTable t;
    Bind(t, dir, "t");
    t.RestructureFieldDefs().LoadFromTable();
    t.RestructureFieldDefs().Add("Extra", TFieldType::Integer);
    try {
      RestructureDefault(t);
      ADD_FAILURE() << "no error while open elsewhere";
    } catch (const EStoreEngineError& e) {
      EXPECT_EQ(e.ErrorCode(), 11013) << e.what();
    }
    child.Send("done");
    EXPECT_EQ(child.Wait(), 0);
  }
  {
    TempDir dir;
    MakeTable(dir, 3);
    ASSERT_EQ(::chmod(dir.file("t.DAT").c_str(), 0444), 0);
    TStoreTable t;
    Bind(t, dir, "t");
    t.RestructureFieldDefs().LoadFromTable();
    t.RestructureFieldDefs().Add("Extra", TFieldType::Integer);
    try {
      RestructureDefault(t);
      ADD_FAILURE() << "no error for a read-only table";
    } catch (const EStoreEngineError& e) {
      EXPECT_EQ(e.ErrorCode(), 11013) << e.what();
    }
    ::chmod(dir.file("t.DAT").c_str(), 0644);
  }
}

TEST(Restructure, OpenDatasetIsRefused) {
  TempDir dir;
  MakeTable(dir, 3);
  TStoreTable t;
  Bind(t, dir, "t");
  t.Open();
  try {
    RestructureDefault(t);
    ADD_FAILURE();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Cannot perform this operation on an open dataset");
  }
}

TEST(Restructure, TypeChangesConvertValues) {
  TempDir dir;
  MakeTable(dir, 10);
  TStoreTable t;
  Bind(t, dir, "t");
  auto& f = t.RestructureFieldDefs();
  f.LoadFromTable();
  f.Items(1).DataType = TFieldType::String;  // Score: smallint -> string
  f.Items(1).Size = 10;
  f.Items(2).DataType = TFieldType::String;  // Note: memo -> wide string (values are cut)
  f.Items(2).Size = 250;
  t.RestructureIndexDefs().LoadFromTable();
  t.RestructureIndexDefs().Delete(1);
  int losses = 0;
  t.OnDataLost = [&](TStoreTable&, TDataLossCause cause, const std::string& context, bool&, bool&) {
    EXPECT_EQ(cause, TDataLossCause::Conversion);
    EXPECT_EQ(context, "Note");
    ++losses;
  };
  EXPECT_TRUE(RestructureDefault(t));
  EXPECT_EQ(losses, 3);  // records 3, 6, 9 had notes of 703 and more bytes
  auto rows = Rows(dir);
  ASSERT_EQ(rows.size(), 9u);
  EXPECT_EQ(rows[0].values.at("Score"), "1");
  EXPECT_EQ(rows[1].values.at("Name"), "site2");
  EXPECT_EQ(rows[2].values.at("Note"), std::string(250, 'n'));
}

TEST(Restructure, EncryptsThroughThePrivateFolderAndReportsProgress) {
  TempDir dir, scratch;
  MakeTable(dir, 40);
  auto before = Rows(dir);
  TStoreSession& session = TStoreSession::Default();
  session.SetPrivateDir(scratch.path());
  TStoreTable t;
  Bind(t, dir, "t");
  std::vector<int> percents;
  t.OnRestructureProgress = [&](TStoreTable&, int, int16_t percent) {
    percents.push_back(percent);
  };
  t.RestructureFieldDefs().LoadFromTable();
  t.RestructureFieldDefs().Add("Extra", TFieldType::Boolean);
  bool applied = t.Restructure(0, 0, 3, 4, true, "pw", "Sites", 1024, -1, true);
  session.SetPrivateDir("");
  EXPECT_TRUE(applied);
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(percents.back(), 100);
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  try {
    t.Open();
    ADD_FAILURE() << "opened without the password";
  } catch (const EStoreEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 10498);
  }
  session.AddPassword("pw");
  auto after = Rows(dir);
  session.RemoveAllPasswords();
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) {
    after[i].values.erase("Extra");
    EXPECT_EQ(after[i], before[i]);
  }
  // Nothing is left in the private folder.
  EXPECT_FALSE(Exists(scratch.file("x")));
  int left = 0;
  for (const auto& entry : std::filesystem::directory_iterator(scratch.path())) {
    (void)entry;
    ++left;
  }
  EXPECT_EQ(left, 0);
}

}  // namespace
}  // namespace quellor::test
