// The front end: opening, navigation, editing, table operations, encryption and the checks
// made when a table is opened.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "store/StoreTestTables.h"
#include "store/api/StoreTb.h"
#include "store/format/ByteOrder.h"
#include "support/TempDir.h"

using namespace quellor;
using namespace quellor::test;
using namespace quellor::bytes;

namespace {

std::string EngineMessage(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

uint16_t ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EStoreEngineError& e) {
    return e.ErrorCode();
  }
  return 0;
}

// A table "t" of names and numbers with `count` records (Name "n<i>", Num i).
void MakeNumbers(const TempDir& dir, int count, const std::string& name = "t") {
  TStoreTable table;
  Bind(table, dir, name);
  table.FieldDefs().Add("Name", TFieldType::String, 10);
  table.FieldDefs().Add("Num", TFieldType::Integer);
  table.CreateTable();
  table.Open();
  for (int i = 1; i <= count; ++i) {
    table.Append();
    table.FieldByName("Name").SetAsString("n" + std::to_string(i));
    table.FieldByName("Num").SetAsInteger(i);
    table.Post();
  }
}

std::vector<int64_t> Walk(TStoreTable& table) {
  std::vector<int64_t> seen;
  for (table.First(); !table.Eof(); table.Next())
    seen.push_back(table.FieldByName("Num").AsInteger());
  return seen;
}

TEST(StoreTable, NavigationVisitsRecordsInOrderWithEofAndBof) {
  TempDir dir;
  MakeNumbers(dir, 4);
  TStoreTable t;
  Bind(t, dir, "t");
  t.Open();
  EXPECT_TRUE(t.Bof());
  EXPECT_FALSE(t.Eof());
  EXPECT_EQ(t.RecordCount(), 4);
  EXPECT_EQ(Walk(t), (std::vector<int64_t>{1, 2, 3, 4}));
  EXPECT_TRUE(t.Eof());
  EXPECT_EQ(t.FieldByName("Num").AsInteger(), 4);  // stays on the last record
  t.Last();
  EXPECT_TRUE(t.Eof());
  t.Prior();
  EXPECT_EQ(t.FieldByName("Num").AsInteger(), 3);
  EXPECT_EQ(t.RecNo(), 3);
  EXPECT_EQ(t.MoveBy(-5), -2);
  EXPECT_TRUE(t.Bof());
  EXPECT_EQ(t.MoveBy(2), 2);
  EXPECT_EQ(t.FieldByName("Num").AsInteger(), 3);
  TBookmark mark = t.GetBookmark();
  t.First();
  t.GotoBookmark(mark);
  EXPECT_EQ(t.FieldByName("Num").AsInteger(), 3);
  t.Delete();
  EXPECT_EQ(t.FieldByName("Num").AsInteger(), 4);
  EXPECT_EQ(ErrorOf([&] { t.GotoBookmark(mark); }), 8710);
}

TEST(StoreTable, EmptyTableIsBothEofAndBof) {
  TempDir dir;
  MakeNumbers(dir, 0);
  TStoreTable t;
  Bind(t, dir, "t");
  t.Open();
  EXPECT_TRUE(t.Eof());
  EXPECT_TRUE(t.Bof());
  EXPECT_TRUE(t.IsEmpty());
  EXPECT_EQ(t.RecordCount(), 0);
  EXPECT_TRUE(t.FieldByName("Num").IsNull());
  EXPECT_EQ(ErrorOf([&] { t.Edit(); }), 8709);
}

TEST(StoreTable, EditPostCancelAndDeleteChangeTheFile) {
  TempDir dir;
  MakeNumbers(dir, 3);
  {
    TStoreTable t;
    Bind(t, dir, "t");
    t.Open();
    t.Next();
    t.Edit();
    EXPECT_EQ(t.State(), TDataSetState::Edit);
    t.FieldByName("Name").SetAsString("changed");
    t.Post();
    EXPECT_EQ(t.State(), TDataSetState::Browse);
    t.Edit();
    t.FieldByName("Name").SetAsString("discarded");
    t.Cancel();
    EXPECT_EQ(t.FieldByName("Name").AsString(), "changed");
    t.Last();
    t.Delete();
    EXPECT_EQ(t.RecordCount(), 2);
  }
  TStoreTable t;
  Bind(t, dir, "t");
  t.Open();
  EXPECT_EQ(Walk(t), (std::vector<int64_t>{1, 2}));
  t.First();
  t.Next();
  EXPECT_EQ(t.FieldByName("Name").AsString(), "changed");
}

TEST(StoreTable, DatasetStateErrors) {
  TempDir dir;
  MakeNumbers(dir, 1);
  TStoreTable t;
  Bind(t, dir, "t");
  EXPECT_EQ(EngineMessage([&] { t.First(); }), "Cannot perform this operation on a closed dataset");
  t.Open();
  EXPECT_EQ(EngineMessage([&] { t.FieldByName("Num").SetAsInteger(1); }),
            "Dataset not in edit or insert mode");
  EXPECT_EQ(EngineMessage([&] { t.FieldByName("Nope"); }), "Field 'Nope' not found");
  EXPECT_EQ(EngineMessage([&] { t.DeleteTable(); }),
            "Cannot perform this operation on an open dataset");
  TStoreTable unnamed;
  unnamed.SetDatabaseName(dir.path());
  EXPECT_EQ(EngineMessage([&] { unnamed.Open(); }), "Missing table name.");
}

TEST(StoreTable, SecondCursorOfTheProcessCannotEditALockedRecord) {
  TempDir dir;
  MakeNumbers(dir, 1);
  TStoreTable a, b;
  Bind(a, dir, "t");
  Bind(b, dir, "t");
  a.Open();
  b.Open();
  a.Edit();
  EXPECT_EQ(ErrorOf([&] { b.Edit(); }), 10258);
  a.Post();
  b.Edit();  // the lock went with the post; but b's copy is still current
  b.Cancel();
}

TEST(StoreTable, RecordChangedByAnotherCursorFailsWith8708AndStaysUnlocked) {
  TempDir dir;
  MakeNumbers(dir, 1);
  TStoreTable a, b;
  Bind(a, dir, "t");
  Bind(b, dir, "t");
  a.Open();
  b.Open();
  a.Edit();
  a.FieldByName("Num").SetAsInteger(99);
  a.Post();
  EXPECT_EQ(ErrorOf([&] { b.Edit(); }), 8708);
  EXPECT_EQ(b.State(), TDataSetState::Browse);
  a.Edit();  // not left locked by b
  a.Cancel();
  b.Refresh();
  EXPECT_EQ(b.FieldByName("Num").AsInteger(), 99);
  b.Delete();
  EXPECT_EQ(ErrorOf([&] { a.Edit(); }), 8708);
}

TEST(StoreTable, RequiredMinimumAndMaximumAreCheckedAtPost) {
  TempDir dir;
  TStoreTable t;
  Bind(t, dir, "v");
  t.FieldDefs().Add("Name", TFieldType::String, 10, true);
  TFieldDef& num = t.FieldDefs().Add("Num", TFieldType::SmallInt);
  num.Minimum = "-5";
  num.Maximum = "5";
  num.DefaultValue = "3";
  t.CreateTable();
  t.Open();
  t.Append();
  EXPECT_EQ(t.FieldByName("Num").AsInteger(), 3);  // the default
  EXPECT_EQ(EngineMessage([&] { t.Post(); }),
            "Store Engine Error # 9732 A value must be provided for the field 'Name' in table 'v'");
  EXPECT_EQ(t.State(), TDataSetState::Insert);  // the buffer stays
  t.FieldByName("Name").SetAsString("x");
  t.FieldByName("Num").SetAsInteger(6);
  EXPECT_EQ(ErrorOf([&] { t.Post(); }), 9731);
  t.FieldByName("Num").SetAsInteger(-6);
  EXPECT_EQ(ErrorOf([&] { t.Post(); }), 9730);
  t.FieldByName("Num").SetAsInteger(-5);
  t.Post();
  EXPECT_EQ(t.RecordCount(), 1);
}

TEST(StoreTable, MissingTableFailsWith11010NamingTheTable) {
  TempDir dir;
  TStoreTable t;
  Bind(t, dir, "x.DAT");
  EXPECT_EQ(EngineMessage([&] { t.Open(); }),
            "Store Engine Error # 11010 Invalid path or file name for table 'x.DAT'");
  EXPECT_FALSE(t.Active());
}

TEST(StoreTable, FileNamesAreFoundWithoutRegardToCase) {
  TempDir dir;
  MakeNumbers(dir, 2, "cracks.DAT");
  TStoreTable t;
  Bind(t, dir, "Cracks");
  t.Open();
  EXPECT_EQ(t.RecordCount(), 2);
}

TEST(StoreTable, ReadOnlyDataFileOpensAReadOnlyTable) {
  if (geteuid() == 0) {
    // root ignores the mode bits when writing, but the table must still refuse changes.
  }
  TempDir dir;
  MakeNumbers(dir, 1);
  ASSERT_EQ(::chmod(dir.file("t.DAT").c_str(), 0444), 0);
  TStoreTable t;
  Bind(t, dir, "t");
  t.Open();
  EXPECT_TRUE(t.ReadOnly());
  EXPECT_EQ(t.FieldByName("Num").AsInteger(), 1);
  for (auto op : std::vector<std::function<void()>>{[&] { t.Edit(); }, [&] { t.Append(); },
                                                    [&] { t.Delete(); }})
    EXPECT_EQ(EngineMessage(op), "Cannot modify a read-only dataset");
  ::chmod(dir.file("t.DAT").c_str(), 0644);
}

TEST(StoreTable, ExclusiveOpenConflictsWith11013) {
  TempDir dir;
  MakeNumbers(dir, 1);
  TStoreTable shared, exclusive;
  Bind(shared, dir, "t");
  Bind(exclusive, dir, "t");
  exclusive.SetExclusive(true);
  shared.Open();
  EXPECT_EQ(EngineMessage([&] { exclusive.Open(); }),
            "Store Engine Error # 11013 Access denied to table 't'");
  shared.Close();
  exclusive.Open();
  EXPECT_EQ(ErrorOf([&] { shared.Open(); }), 11013);
}

TEST(StoreTable, UserVersionsAreReadFromAClosedTableWhichStaysClosed) {
  TempDir dir;
  MakeNumbers(dir, 0);
  std::string dat = ReadFileBytes(dir.file("t.DAT"));
  PutI16(reinterpret_cast<uint8_t*>(dat.data()) + 107, 3);
  PutI16(reinterpret_cast<uint8_t*>(dat.data()) + 109, 7);
  WriteFileBytes(dir.file("t.DAT"), dat);
  TStoreTable t;
  Bind(t, dir, "t");
  EXPECT_EQ(t.UserMajorVersion(), 3);
  EXPECT_EQ(t.UserMinorVersion(), 7);
  EXPECT_FALSE(t.Active());
  // Nothing stays open: an exclusive open succeeds.
  t.SetExclusive(true);
  t.Open();
}

TEST(StoreTable, EmptyDeleteAndRenameTable) {
  TempDir dir;
  MakeNumbers(dir, 5);
  TStoreTable t;
  Bind(t, dir, "t");
  t.EmptyTable();
  EXPECT_EQ(ReadFileBytes(dir.file("t.DAT")).size(), 127u + 2 * 768);
  EXPECT_EQ(ReadFileBytes(dir.file("t.IDX")).size(), 4096u);
  t.Open();
  EXPECT_EQ(t.RecordCount(), 0);
  t.Append();
  t.FieldByName("Num").SetAsInteger(1);
  t.Post();
  EXPECT_EQ(t.GetBookmark().logicalId, 1);  // ids start again at 1
  t.Close();

  t.RenameTable("u");
  EXPECT_EQ(t.TableName(), "u");
  EXPECT_TRUE(ReadFileBytes(dir.file("t.DAT")).empty());
  EXPECT_FALSE(ReadFileBytes(dir.file("u.DAT")).empty());
  EXPECT_FALSE(ReadFileBytes(dir.file("u.IDX")).empty());
  MakeNumbers(dir, 0, "t");
  EXPECT_EQ(ErrorOf([&] { t.RenameTable("t"); }), 13060);

  t.DeleteTable();
  EXPECT_FALSE(t.Exists());
  EXPECT_EQ(ErrorOf([&] { t.DeleteTable(); }), 11010);
}

TEST(StoreTable, CreatingAnExistingTableFailsWith13060) {
  TempDir dir;
  MakeNumbers(dir, 0);
  TStoreTable t;
  Bind(t, dir, "t");
  t.FieldDefs().Add("A", TFieldType::Integer);
  EXPECT_EQ(ErrorOf([&] { t.CreateTable(); }), 13060);
}

TEST(StoreTable, FieldDefinitionErrors) {
  TStoreTable t;
  EXPECT_EQ(EngineMessage([&] { t.FieldDefs().Add("", TFieldType::String, 5); }),
            "Field name missing");
  t.FieldDefs().Add("A", TFieldType::String, 5);
  EXPECT_EQ(EngineMessage([&] { t.FieldDefs().Add("a", TFieldType::Integer); }),
            "Duplicate field name 'a'");
  EXPECT_EQ(EngineMessage([&] { t.FieldDefs().Add("B", TFieldType::String, 251); }),
            "Invalid field size");
  EXPECT_EQ(EngineMessage([&] { t.FieldDefs().Add("C", TFieldType::Integer, 4); }),
            "Invalid field size");

  TempDir dir;
  struct Case {
    std::function<void(TStoreTable&)> define;
    uint16_t code;
  };
  const Case cases[] = {
      {[](TStoreTable&) {}, 9492},
      {[](TStoreTable& x) { x.FieldDefs().Add("1abc", TFieldType::Integer); }, 10038},
      {[](TStoreTable& x) { x.FieldDefs().Add("D", TFieldType::Date).DefaultValue = "x"; }, 10006},
      // As a restructure says it: a default of more than 50 characters is no valid default.
      {[](TStoreTable& x) {
         x.FieldDefs().Add("E", TFieldType::String, 60).DefaultValue = std::string(51, 'e');
       },
       10006},
      {[](TStoreTable& x) {
         x.FieldDefs().Add("F", TFieldType::String, 5).Description = std::string(51, 'f');
       },
       10000},
      {[](TStoreTable& x) {
         for (int i = 0; i < 300; ++i)
           x.FieldDefs().Add("S" + std::to_string(i), TFieldType::String, 250);
       },
       9477},
      {[](TStoreTable& x) {
         for (int i = 0; i < 65; ++i) x.FieldDefs().Add("B" + std::to_string(i), TFieldType::Blob);
       },
       9498},
  };
  for (const Case& c : cases) {
    TStoreTable x;
    Bind(x, dir, "bad");
    c.define(x);
    EXPECT_EQ(ErrorOf([&] { x.CreateTable(); }), c.code);
    EXPECT_FALSE(x.Exists());
  }
}

// Header fields and descriptor rules checked at open.
TEST(StoreTable, OpenChecksTheDataFileHeaderAndDescriptors) {
  struct Case {
    const char* what;
    std::function<void(uint8_t* dat)> damage;
    uint16_t code;
  };
  const size_t d0 = 127, d1 = 127 + 768;  // descriptors of Name and Num
  const Case cases[] = {
      {"format version 3", [](uint8_t* p) { p[8] = 3; }, 12035},
      {"format version 5", [](uint8_t* p) { p[8] = 5; }, 12035},
      {"no fields", [](uint8_t* p) { PutU16(p + 23, 0); }, 8961},
      {"too many fields", [](uint8_t* p) { PutU16(p + 23, 1025); }, 8961},
      {"record size", [](uint8_t* p) { PutU16(p + 21, 500); }, 8961},
      {"BLOB field count", [](uint8_t* p) { PutI16(p + 25, 1); }, 8961},
      {"block size", [](uint8_t* p) { PutU32(p + 4, 63); }, 8961},
      {"deleted chain beyond slots", [](uint8_t* p) { PutI32(p + 9, 9); }, 8961},
      {"next record number 0", [](uint8_t* p) { PutI32(p + 13, 0); }, 8961},
      {"empty name", [=](uint8_t* p) { p[d0 + 2] = 0; }, 8961},
      {"name of 31 characters", [=](uint8_t* p) { p[d0 + 2] = 31; }, 8961},
      {"name starts with a digit", [=](uint8_t* p) { p[d0 + 3] = '7'; }, 8961},
      {"name starts with a blank", [=](uint8_t* p) { p[d0 + 3] = ' '; }, 8961},
      {"duplicate name", [=](uint8_t* p) { std::memcpy(p + d1 + 2, p + d0 + 2, 31); }, 8961},
      {"duplicate field number", [=](uint8_t* p) { PutU16(p + d1, 1); }, 8961},
      {"unknown type", [=](uint8_t* p) { p[d1 + 84] = 16; }, 8961},
      {"type 0", [=](uint8_t* p) { p[d1 + 84] = 0; }, 8961},
      {"string size 0", [=](uint8_t* p) { p[d0 + 86] = 0; }, 8961},
      {"string size 251", [=](uint8_t* p) { p[d0 + 86] = 251; }, 8961},
      {"size on an integer", [=](uint8_t* p) { p[d1 + 86] = 4; }, 8961},
      {"decimals on an integer", [=](uint8_t* p) { p[d1 + 87] = 1; }, 8961},
      {"stored width", [=](uint8_t* p) { p[d1 + 88] = 8; }, 8961},
      {"record offset", [=](uint8_t* p) { PutU16(p + d1 + 90, 60000); }, 8961},
      {"default that is no integer", [=](uint8_t* p) { PutShortString(p + d1 + 196, 50, "abc"); },
       8961},
      {"minimum that is no integer", [=](uint8_t* p) { PutShortString(p + d1 + 94, 50, "1.5x"); },
       8961},
      {"character case 3", [=](uint8_t* p) { p[d0 + 93] = 3; }, 8961},
      {"encrypted flag 2", [](uint8_t* p) { p[86] = 2; }, 8961},
  };
  TempDir dir;
  MakeNumbers(dir, 2);
  const std::string good = ReadFileBytes(dir.file("t.DAT"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bad = good;
    c.damage(reinterpret_cast<uint8_t*>(bad.data()));
    WriteFileBytes(dir.file("t.DAT"), bad);
    TStoreTable t;
    Bind(t, dir, "t");
    EXPECT_EQ(ErrorOf([&] { t.Open(); }), c.code);
    EXPECT_FALSE(t.Active());
  }
  WriteFileBytes(dir.file("t.DAT"), good);
  TStoreTable t;
  Bind(t, dir, "t");
  t.Open();
  EXPECT_EQ(t.RecordCount(), 2);
}

TEST(StoreTable, MissingIndexFileIsCreatedAnew) {
  TempDir dir;
  MakeNumbers(dir, 2);
  std::remove(dir.file("t.IDX").c_str());
  TStoreTable t;
  Bind(t, dir, "t");
  t.Open();
  EXPECT_EQ(t.RecordCount(), 2);
  // The header and the one page of "Sys Deleted" holding both slots.
  EXPECT_EQ(ReadFileBytes(dir.file("t.IDX")).size(), 8192u);
}

TEST(StoreTable, MemoryDatabaseTablesLiveWhileOpen) {
  TStoreDatabase db;
  db.SetDatabaseName("Memory");
  db.Open();
  TStoreTable t;
  t.SetDatabaseName("MEMORY");
  t.SetTableName("m");
  t.FieldDefs().Add("S", TFieldType::String, 8);
  t.FieldDefs().Add("B", TFieldType::Memo);
  t.CreateTable();
  t.Open();
  t.Append();
  t.FieldByName("S").SetAsString("mem");
  t.FieldByName("B").SetAsString(std::string(3000, 'm'));
  t.Post();
  t.First();
  EXPECT_EQ(t.FieldByName("B").AsString(), std::string(3000, 'm'));
  t.Close();
  EXPECT_FALSE(t.Exists());  // vanished with its last user
}

TEST(StoreTable, FilterRecordEventSelectsRecords) {
  TempDir dir;
  MakeNumbers(dir, 6);
  TStoreTable t;
  Bind(t, dir, "t");
  t.OnFilterRecord = [](TStoreTable& s, bool& accept) {
    accept = s.FieldByName("Num").AsInteger() % 2 == 0;
  };
  t.Open();
  t.SetFiltered(true);
  EXPECT_EQ(Walk(t), (std::vector<int64_t>{2, 4, 6}));
  EXPECT_EQ(t.RecordCount(), 3);
  t.SetFiltered(false);
  EXPECT_EQ(t.RecordCount(), 6);
}

// ---- Encryption -------------------------------------------------------------------------------

struct EncryptedTable {
  TempDir dir;
  TStoreSession session;

  void Create() {
    TStoreTable t(session);
    Bind(t, dir, "secret");
    AddEveryFieldKind(t);
    t.StoreDefs().Encrypted = true;
    t.StoreDefs().Password = "Swordfish";
    t.StoreDefs().Description = "Top secret table";
    t.CreateTable();
    session.AddPassword("Swordfish");
    t.Open();
    t.Append();
    t.FieldByName("Name").SetAsString("PLAINNAME");
    t.FieldByName("Whole").SetAsInteger(0x41424344);
    t.FieldByName("Notes").SetAsString(std::string(600, 'Q') + "MEMOTEXT");
    t.FieldByName("Raw").SetAsString("RAWB");
    t.Post();
  }
};

bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

TEST(StoreTable, EncryptedTableHidesRecordsNamesAndBlobsButNotTheHeader) {
  EncryptedTable e;
  e.Create();
  std::string dat = ReadFileBytes(e.dir.file("secret.DAT"));
  std::string idx = ReadFileBytes(e.dir.file("secret.IDX"));
  std::string blb = ReadFileBytes(e.dir.file("secret.BLB"));
  for (const char* text : {"PLAINNAME", "ABCD", "DCBA", "MEMOTEXT", "QQQQ", "RAWB", "Whole",
                           "Notes", "Swordfish", "Top secret", "Sys Deleted"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(Contains(dat, text));
    EXPECT_FALSE(Contains(idx, text));
    EXPECT_FALSE(Contains(blb, text));
  }
  auto* h = reinterpret_cast<const uint8_t*>(dat.data());
  EXPECT_EQ(h[86], 1);
  EXPECT_EQ(h[8], 4);
  EXPECT_EQ(GetU16(h + 23), 16);
  EXPECT_EQ(h[35], 16);  // the description's length byte is plain
  EXPECT_EQ(h[87], 9);   // and the password's
}

TEST(StoreTable, EncryptedTableRoundTripsAndNeedsItsPassword) {
  EncryptedTable e;
  e.Create();
  {
    TStoreTable t(e.session);
    Bind(t, e.dir, "secret");
    t.Open();
    EXPECT_EQ(t.FieldByName("Name").AsString(), "PLAINNAME");
    EXPECT_EQ(t.FieldByName("Whole").AsInteger(), 0x41424344);
    EXPECT_EQ(t.FieldByName("Notes").AsString(), std::string(600, 'Q') + "MEMOTEXT");
    EXPECT_EQ(t.FieldByName("Raw").AsString(), "RAWB");
    EXPECT_TRUE(t.FieldByName("Ratio").IsNull());
  }
  TStoreSession other;
  TStoreTable t(other);
  Bind(t, e.dir, "secret");
  EXPECT_EQ(EngineMessage([&] { t.Open(); }),
            "Store Engine Error # 10498 Insufficient rights to table 'secret', a password is "
            "required");
  int asked = 0;
  other.OnPassword = [&](TStoreSession& s, bool& again) {
    ++asked;
    if (asked == 1) s.AddPassword("wrong");
    if (asked == 2) s.AddPassword("Swordfish");
    again = asked <= 2;
  };
  t.Open();
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(t.FieldByName("Name").AsString(), "PLAINNAME");
}

// 256 descriptors are 196,608 bytes, a multiple of 65,536: the cipher leaves such a piece plain
// (the records stay enciphered).
TEST(StoreTable, EncryptedDescriptorsOf256FieldsStayPlain) {
  TempDir dir;
  TStoreSession session;
  session.AddPassword("pw");
  TStoreTable t(session);
  Bind(t, dir, "wide");
  for (int i = 0; i < 256; ++i)
    t.FieldDefs().Add("Visible" + std::to_string(i), TFieldType::Boolean);
  t.StoreDefs().Encrypted = true;
  t.StoreDefs().Password = "pw";
  t.CreateTable();
  EXPECT_TRUE(Contains(ReadFileBytes(dir.file("wide.DAT")), "Visible"));
  t.Open();
  EXPECT_EQ(t.Fields(255).FieldName(), "Visible255");
}

}  // namespace

namespace {

struct RecordingListener : quellor::TDataSetListener {
  std::vector<std::string> events;
  void DataSetEvent(quellor::TDataEvent event, int info) override {
    static const char* names[] = {"active", "record", "state", "field", "update"};
    events.push_back(
        std::string(names[static_cast<int>(event)]) +
        (event == quellor::TDataEvent::FieldChanged ? ":" + std::to_string(info) : ""));
  }
};

}  // namespace

TEST(StoreTableListeners, DataSourcesHearMovesStatesAndFieldChanges) {
  quellor::test::TempDir dir;
  quellor::TStoreTable t;
  t.SetDatabaseName(dir.path());
  t.SetTableName("l.DAT");
  t.FieldDefs().Add("Name", quellor::TFieldType::String, 20);
  t.FieldDefs().Add("N", quellor::TFieldType::SmallInt);
  t.CreateTable();
  RecordingListener l;
  t.AddListener(&l);
  t.Open();
  EXPECT_EQ(l.events, (std::vector<std::string>{"record", "active"}));

  l.events.clear();
  t.Append();
  t.FieldByName("N").SetAsInteger(3);
  t.FieldByName("Name").SetAsString("a");
  t.Post();
  EXPECT_EQ(l.events, (std::vector<std::string>{"state", "record", "field:1", "field:0", "update",
                                                "record", "state"}));

  l.events.clear();
  t.DisableControls();
  t.Append();
  t.FieldByName("Name").SetAsString("b");
  t.Post();
  t.First();
  EXPECT_TRUE(l.events.empty());
  t.EnableControls();
  EXPECT_EQ(l.events, (std::vector<std::string>{"record"}));

  l.events.clear();
  t.Edit();
  t.Cancel();
  EXPECT_EQ(l.events, (std::vector<std::string>{"state", "state", "record"}));
  t.RemoveListener(&l);
  l.events.clear();
  t.Next();
  t.Close();
  EXPECT_TRUE(l.events.empty());
}
