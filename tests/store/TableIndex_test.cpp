// Indexes through the table: pages made by inserts, the slot rule of keyed tables, unique keys,
// cursors in index order with RecNo, key search, ranges and detail ranges, adding and deleting
// indexes, languages, and damaged or missing index files.
#include <gtest/gtest.h>

#include <functional>

#include "store/StoreTestTables.h"
#include "store/api/StoreTb.h"
#include "store/format/ByteOrder.h"
#include "support/TempDir.h"

using namespace quellor;
using namespace quellor::test;
using namespace quellor::bytes;

namespace {

uint16_t ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EStoreEngineError& e) {
    return e.ErrorCode();
  }
  return 0;
}

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// Offsets in the index file header.
constexpr size_t kDescriptors = 14;
constexpr size_t kDescriptorSize = 120;
constexpr size_t kRootOffset = 86;

int32_t RootOf(const std::string& idx, int slot) {
  return GetI32(reinterpret_cast<const uint8_t*>(idx.data()) + kDescriptors +
                kDescriptorSize * static_cast<size_t>(slot) + kRootOffset);
}

uint8_t KindAt(const std::string& idx, int32_t page) {
  return static_cast<uint8_t>(idx.at(static_cast<size_t>(page)));
}

// A table "k" keyed on Code (string of `codeSize`), with Name and Num.
void MakeKeyed(const TempDir& dir, int codeSize = 10, const std::string& name = "k") {
  TStoreTable t;
  Bind(t, dir, name);
  t.FieldDefs().Add("Code", TFieldType::String, codeSize);
  t.FieldDefs().Add("Name", TFieldType::String, 20);
  t.FieldDefs().Add("Num", TFieldType::Integer);
  t.IndexDefs().Add("", "Code", IndexOption::Primary);
  t.CreateTable();
}

void Add(TStoreTable& t, const std::string& code, const std::string& name, int num) {
  t.Append();
  t.FieldByName("Code").SetAsString(code);
  t.FieldByName("Name").SetAsString(name);
  t.FieldByName("Num").SetAsInteger(num);
  t.Post();
}

std::vector<std::string> Codes(TStoreTable& t) {
  std::vector<std::string> codes;
  for (t.First(); !t.Eof(); t.Next()) codes.push_back(t.FieldByName("Code").AsString());
  return codes;
}

TEST(TableIndex, FirstInsertMakesARootLeafAndTheOverflowingOneSplitsIt) {
  TempDir dir;
  MakeKeyed(dir, 250);  // a 252-byte key: 4083 / (252 + 6) = 15 entries a leaf
  EXPECT_EQ(RootOf(ReadFileBytes(dir.file("k.IDX")), 0), 0);
  TStoreTable t;
  Bind(t, dir, "k");
  t.Open();
  Add(t, "c00", "x", 0);
  std::string idx = ReadFileBytes(dir.file("k.IDX"));
  int32_t root = RootOf(idx, 0);
  ASSERT_GE(root, 4096);
  EXPECT_EQ(KindAt(idx, root), 3);
  for (int i = 1; i < 15; ++i) Add(t, "c" + std::to_string(100 + i), "x", i);
  EXPECT_EQ(KindAt(ReadFileBytes(dir.file("k.IDX")), RootOf(ReadFileBytes(dir.file("k.IDX")), 0)),
            3);
  Add(t, "c999", "x", 15);
  idx = ReadFileBytes(dir.file("k.IDX"));
  root = RootOf(idx, 0);
  ASSERT_EQ(KindAt(idx, root), 0);
  const uint8_t* page = reinterpret_cast<const uint8_t*>(idx.data()) + root;
  ASSERT_EQ(GetU16(page + 1), 2);  // two entries: key, child, count
  for (int i = 0; i < 2; ++i) {
    const uint8_t* entry = page + 13 + static_cast<size_t>(i) * (252 + 8);
    int32_t child = GetI32(entry + 252);
    EXPECT_EQ(KindAt(idx, child), 2);
    EXPECT_EQ(GetI32(entry + 256), 8);  // 16 entries split into 8 and 8
  }
  EXPECT_EQ(t.RecordCount(), 16);
  t.Last();
  EXPECT_EQ(t.FieldByName("Code").AsString(), "c999");
  EXPECT_EQ(t.RecNo(), 16);
}

TEST(TableIndex, DeletedSlotsOfAKeyedTableAreReusedLastFreedFirst) {
  TempDir dir;
  MakeKeyed(dir);
  TStoreTable t;
  Bind(t, dir, "k");
  t.Open();
  for (int i = 1; i <= 6; ++i) Add(t, "r" + std::to_string(i), "n", i);
  for (const char* code : {"r3", "r5"}) {
    ASSERT_TRUE(t.FindKey({code}));
    t.Delete();
  }
  std::string dat = ReadFileBytes(dir.file("k.DAT"));
  const auto* bytes = reinterpret_cast<const uint8_t*>(dat.data());
  const int recordSize = GetU16(bytes + 21);
  const size_t slots = 127 + 768 * 3;
  EXPECT_EQ(GetI32(bytes + 9), 5);                                                // chain start
  EXPECT_EQ(GetI32(bytes + slots + 4 * static_cast<size_t>(recordSize) + 1), 3);  // slot 5 link
  std::vector<int32_t> taken;
  for (const char* code : {"a", "b", "c"}) {
    Add(t, code, "new", 0);
    taken.push_back(t.GetBookmark().slot);
  }
  EXPECT_EQ(taken, (std::vector<int32_t>{5, 3, 7}));
  EXPECT_EQ(t.RecordCount(), 7);
  EXPECT_EQ(Codes(t), (std::vector<std::string>{"a", "b", "c", "r1", "r2", "r4", "r6"}));
}

TEST(TableIndex, TableWithoutPrimaryKeyFieldsAppendsAndWalksInInsertionOrder) {
  TempDir dir;
  TStoreTable t;
  Bind(t, dir, "p");
  t.FieldDefs().Add("Code", TFieldType::String, 10);
  t.CreateTable();
  t.Open();
  for (const char* code : {"z", "y", "x", "w"}) {
    t.Append();
    t.FieldByName("Code").SetAsString(code);
    t.Post();
  }
  t.First();
  t.Next();
  t.Delete();  // y
  t.Append();
  t.FieldByName("Code").SetAsString("v");
  t.Post();
  EXPECT_EQ(t.GetBookmark().slot, 5);
  EXPECT_EQ(Codes(t), (std::vector<std::string>{"z", "x", "w", "v"}));
  t.Last();
  EXPECT_EQ(t.RecNo(), 4);
  EXPECT_EQ(t.RecordCount(), 4);
}

TEST(TableIndex, DuplicateKeyOfTheSiteTableNamesPrimaryAndChangesNothing) {
  TempDir dir;
  {
    TStoreTable t;
    Bind(t, dir, "cracks.DAT");
    t.FieldDefs().Add("Url", TFieldType::String, 125);
    t.FieldDefs().Add("E-mails", TFieldType::String, 200);
    t.IndexDefs().Add("", "Url", IndexOption::Primary);
    t.IndexDefs().Add("ByMail", "E-mails", IndexOption::Unique | IndexOption::CaseInsensitive);
    t.CreateTable();
  }
  TStoreTable t;
  Bind(t, dir, "cracks.DAT");
  t.Open();
  for (const char* url : {"http://a.example", "http://b.example"}) {
    t.Append();
    t.FieldByName("Url").SetAsString(url);
    t.FieldByName("E-mails").SetAsString(std::string("abuse@") + (url + 7));
    t.Post();
  }
  const std::string idx = ReadFileBytes(dir.file("cracks.IDX"));
  const std::string dat = ReadFileBytes(dir.file("cracks.DAT"));
  struct Case {
    const char* url;
    const char* mail;
    const char* message;
  } cases[] = {
      {"http://a.example", "other@x",
       "Store Engine Error # 9729 Duplicate key found in index 'Primary' of table 'cracks.DAT'"},
      {"http://c.example", "ABUSE@B.EXAMPLE",
       "Store Engine Error # 9729 Duplicate key found in index 'ByMail' of table 'cracks.DAT'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    t.Append();
    t.FieldByName("Url").SetAsString(c.url);
    t.FieldByName("E-mails").SetAsString(c.mail);
    EXPECT_EQ(MessageOf([&] { t.Post(); }), c.message);
    EXPECT_EQ(t.State(), TDataSetState::Insert);  // the buffer stays for a correction
    t.Cancel();
    EXPECT_EQ(ReadFileBytes(dir.file("cracks.IDX")), idx);
    EXPECT_EQ(ReadFileBytes(dir.file("cracks.DAT")), dat);
    EXPECT_EQ(t.RecordCount(), 2);
  }
  // An edit onto another record's key fails alike; onto its own key it passes.
  ASSERT_TRUE(t.FindKey({"http://b.example"}));
  t.Edit();
  t.FieldByName("Url").SetAsString("http://a.example");
  EXPECT_EQ(ErrorOf([&] { t.Post(); }), 9729);
  t.Cancel();
  t.Edit();
  t.FieldByName("E-mails").SetAsString("Abuse@B.example");
  t.Post();
  EXPECT_EQ(ReadFileBytes(dir.file("cracks.IDX")).size(), idx.size());
}

TEST(TableIndex, FindKeyRangesAndIndexFieldNames) {
  TempDir dir;
  {
    TStoreTable t;
    Bind(t, dir, "f");
    t.FieldDefs().Add("Code", TFieldType::String, 10);
    t.FieldDefs().Add("Town", TFieldType::String, 20);
    t.FieldDefs().Add("Num", TFieldType::Integer);
    t.IndexDefs().Add("", "Code", IndexOption::Primary);
    t.IndexDefs().Add("ByTownNum", "Town;Num", 0);
    t.IndexDefs().Add("ByNum", "Num", IndexOption::Descending);
    t.CreateTable();
    t.Open();
    struct Row {
      const char* code;
      const char* town;
      int num;
    } rows[] = {{"e", "Bern", 5}, {"a", "Oslo", 3}, {"d", "Bern", 1},
                {"b", "Rome", 4}, {"c", "Oslo", 2}, {"f", "", 6}};
    for (const Row& r : rows) {
      t.Append();
      t.FieldByName("Code").SetAsString(r.code);
      t.FieldByName("Town").SetAsString(r.town);
      t.FieldByName("Num").SetAsInteger(r.num);
      t.Post();
    }
  }
  TStoreTable t;
  Bind(t, dir, "f");
  t.Open();
  EXPECT_EQ(Codes(t), (std::vector<std::string>{"a", "b", "c", "d", "e", "f"}));
  EXPECT_TRUE(t.FindKey({"d"}));
  EXPECT_EQ(t.RecNo(), 4);
  EXPECT_FALSE(t.FindKey({"dd"}));
  EXPECT_EQ(t.FieldByName("Code").AsString(), "d");  // stays
  t.FindNearest({"bb"});
  EXPECT_EQ(t.FieldByName("Code").AsString(), "c");

  t.SetIndexFieldNames("town;NUM");
  EXPECT_EQ(t.IndexFieldNames(), "town;NUM");
  EXPECT_EQ(Codes(t), (std::vector<std::string>{"f", "d", "e", "c", "a", "b"}));  // NULL first
  EXPECT_TRUE(t.FindKey({"Oslo", "3"}));
  EXPECT_EQ(t.FieldByName("Code").AsString(), "a");
  EXPECT_EQ(t.RecNo(), 5);
  t.SetRange({"Bern"}, {"Oslo"});
  EXPECT_EQ(Codes(t), (std::vector<std::string>{"d", "e", "c", "a"}));
  EXPECT_EQ(t.RecordCount(), 4);
  t.Last();
  EXPECT_EQ(t.RecNo(), 4);
  t.SetRecNo(2);
  EXPECT_EQ(t.FieldByName("Code").AsString(), "e");
  EXPECT_FALSE(t.FindKey({"Rome"}));  // outside the range
  t.CancelRange();
  EXPECT_EQ(t.RecordCount(), 6);
  EXPECT_TRUE(t.FindKey({"Rome"}));

  t.SetIndexName("bynum");
  EXPECT_EQ(Codes(t), (std::vector<std::string>{"f", "e", "b", "a", "c", "d"}));
  t.SetRange({"5"}, {"2"});  // in the index's (descending) order
  EXPECT_EQ(Codes(t), (std::vector<std::string>{"e", "b", "a", "c"}));
  t.SetIndexName("");  // a new index drops the range
  EXPECT_EQ(t.RecordCount(), 6);

  EXPECT_EQ(ErrorOf([&] { t.SetIndexName("Nope"); }), 10022);
  EXPECT_EQ(t.IndexName(), "");
  EXPECT_EQ(ErrorOf([&] { t.SetIndexFieldNames("Num;Town"); }), 10022);
  EXPECT_THROW(t.FindKey({"x", "y"}), EDatabaseError);  // more values than key fields
}

TEST(TableIndex, EditedKeyMovesTheRecordAndTheCursorWithIt) {
  TempDir dir;
  MakeKeyed(dir);
  TStoreTable t;
  Bind(t, dir, "k");
  t.Open();
  for (const char* code : {"b", "d", "f", "h"}) Add(t, code, "n", 0);
  ASSERT_TRUE(t.FindKey({"d"}));
  t.Edit();
  t.FieldByName("Code").SetAsString("g");
  t.Post();
  EXPECT_EQ(t.RecNo(), 3);
  t.Next();
  EXPECT_EQ(t.FieldByName("Code").AsString(), "h");
  t.Prior();
  t.Prior();
  EXPECT_EQ(t.FieldByName("Code").AsString(), "f");
  // Another cursor deletes the record this one shows: Next goes on from where it was.
  TStoreTable other;
  Bind(other, dir, "k");
  other.Open();
  ASSERT_TRUE(other.FindKey({"f"}));
  other.Delete();
  t.Next();
  EXPECT_EQ(t.FieldByName("Code").AsString(), "g");
}

TEST(TableIndex, DetailRangeFollowsTheMaster) {
  TempDir dir;
  MakeKeyed(dir, 10, "master");
  {
    TStoreTable d;
    Bind(d, dir, "detail");
    d.FieldDefs().Add("Owner", TFieldType::String, 10);
    d.FieldDefs().Add("Item", TFieldType::Integer);
    d.IndexDefs().Add("", "Owner;Item", IndexOption::Primary);
    d.CreateTable();
    d.Open();
    for (auto [owner, item] : std::vector<std::pair<const char*, int>>{
             {"a", 2}, {"b", 1}, {"a", 1}, {"c", 7}, {"a", 3}}) {
      d.Append();
      d.FieldByName("Owner").SetAsString(owner);
      d.FieldByName("Item").SetAsInteger(item);
      d.Post();
    }
  }
  TStoreTable m;
  Bind(m, dir, "master");
  m.Open();
  for (const char* code : {"a", "b", "z"}) Add(m, code, "", 0);
  TStoreTable d;
  Bind(d, dir, "detail");
  d.SetMasterSource(&m);
  d.SetMasterFields("Code");
  d.Open();
  auto items = [&] {
    std::vector<int64_t> seen;
    for (d.First(); !d.Eof(); d.Next()) seen.push_back(d.FieldByName("Item").AsInteger());
    return seen;
  };
  m.First();
  EXPECT_EQ(items(), (std::vector<int64_t>{1, 2, 3}));
  EXPECT_EQ(d.RecordCount(), 3);
  m.Next();
  EXPECT_EQ(items(), (std::vector<int64_t>{1}));
  m.Last();
  EXPECT_TRUE(d.IsEmpty());
  EXPECT_EQ(d.RecordCount(), 0);
  d.SetMasterSource(nullptr);
  EXPECT_EQ(d.RecordCount(), 5);
  d.SetMasterSource(&m);
  m.First();
  EXPECT_EQ(d.RecordCount(), 3);
  EXPECT_THROW(m.SetMasterSource(&d), EDatabaseError);  // a circle
}

TEST(TableIndex, AddingAndDeletingIndexesAndTheirErrors) {
  TempDir dir;
  MakeKeyed(dir);
  {
    TStoreTable t;
    Bind(t, dir, "k");
    t.Open();
    for (int i = 0; i < 40; ++i)
      Add(t, "c" + std::to_string(100 + i), "n" + std::to_string(i % 7), i % 5);
    EXPECT_EQ(ErrorOf([&] { t.AddIndex("ByName", "Name", 0); }), 10253);  // not exclusive
  }
  TStoreTable t;
  Bind(t, dir, "k");
  t.AddIndex("ByNum", "Num;Code", IndexOption::Unique);  // on the closed table
  t.SetExclusive(true);
  t.Open();
  struct Case {
    const char* name;
    const char* fields;
    uint8_t options;
    uint16_t code;
  } cases[] = {
      {"", "Name", 0, 10010},
      {"9x", "Name", 0, 10022},
      {"bynum", "Name", 0, 10027},
      {"ByName", "Nothing", 0, 9985},
      {"", "Name", IndexOption::Primary, 9993},
      {"UName", "Name", IndexOption::Unique, 9729},  // seven names over forty records
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ErrorOf([&] { t.AddIndex(c.name, c.fields, c.options); }), c.code);
  }
  t.FlushToDisk();
  EXPECT_EQ(t.IndexDefinitions().size(), 2u);
  for (int i = 1; i <= 29; ++i) t.AddIndex("I" + std::to_string(i), "Name", 0);
  EXPECT_EQ(ErrorOf([&] { t.AddIndex("I30", "Name", 0); }), 9487);
  EXPECT_EQ(ErrorOf([&] { t.DeleteIndex("Primary"); }), 10055);
  EXPECT_EQ(ErrorOf([&] { t.DeleteIndex("Nope"); }), 10022);
  t.SetIndexName("I7");
  t.DeleteIndex("i7");
  EXPECT_EQ(t.IndexName(), "");
  EXPECT_EQ(t.IndexDefinitions().size(), 30u);
  t.SetIndexName("ByNum");
  t.First();
  EXPECT_EQ(t.FieldByName("Code").AsString(), "c100");
  t.Next();
  EXPECT_EQ(t.FieldByName("Code").AsString(), "c105");
  EXPECT_EQ(t.RecordCount(), 40);
  t.Close();
  t.SetExclusive(false);
  t.Open();  // the definitions were written
  std::vector<TIndexDef> defs = t.IndexDefinitions();
  ASSERT_EQ(defs.size(), 30u);
  EXPECT_EQ(defs[0].Options, IndexOption::Primary | IndexOption::Unique);
  EXPECT_EQ(defs[1].Name, "ByNum");
  EXPECT_EQ(defs[1].Fields, "Num;Code");
  EXPECT_EQ(defs[8].Name, "I8");
}

TEST(TableIndex, PrimaryIndexAddedToAnUnkeyedTableTurnsOnSlotReuse) {
  TempDir dir;
  TStoreTable t;
  Bind(t, dir, "u");
  t.FieldDefs().Add("Code", TFieldType::String, 10);
  t.CreateTable();
  t.SetExclusive(true);
  t.Open();
  for (const char* code : {"c", "a", "b"}) {
    t.Append();
    t.FieldByName("Code").SetAsString(code);
    t.Post();
  }
  EXPECT_EQ(Codes(t), (std::vector<std::string>{"c", "a", "b"}));
  t.AddIndex("", "Code", IndexOption::Primary);
  EXPECT_EQ(Codes(t), (std::vector<std::string>{"a", "b", "c"}));
  ASSERT_TRUE(t.FindKey({"a"}));
  t.Delete();
  t.Append();
  t.FieldByName("Code").SetAsString("d");
  t.Post();
  EXPECT_EQ(t.GetBookmark().slot, 2);
}

TEST(TableIndex, LanguageOfANewTableMustBeKnown) {
  TempDir dir;
  TStoreSession session;
  struct Case {
    int languageId;
    int sortId;
    uint16_t code;
  } cases[] = {{0, 0, 0}, {1033, 0, 0}, {1031, 1, 0}, {1033, 1, 15878}, {4242, 0, 15878}};
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.languageId);
    session.SetLanguageID(c.languageId);
    session.SetSortID(c.sortId);
    TStoreTable t(session);
    Bind(t, dir, "lang" + std::to_string(n++));
    t.FieldDefs().Add("Name", TFieldType::String, 10);
    t.IndexDefs().Add("", "Name", IndexOption::Primary);
    EXPECT_EQ(ErrorOf([&] { t.CreateTable(); }), c.code);
    EXPECT_EQ(t.Exists(), c.code == 0);
  }
}

TEST(TableIndex, LanguageOrderAndCaseInsensitiveSearch) {
  TempDir dir;
  TStoreSession session;
  session.SetLanguageID(1031);  // German (Standard)
  TStoreTable t(session);
  Bind(t, dir, "de");
  t.FieldDefs().Add("Name", TFieldType::String, 20);
  t.IndexDefs().Add("", "Name", IndexOption::Primary);
  t.IndexDefs().Add("NoCase", "Name", IndexOption::CaseInsensitive);
  t.CreateTable();
  t.Open();
  for (const char* name : {"Zebra", "Äpfel", "apfel", "Birne"}) {
    t.Append();
    t.FieldByName("Name").SetAsString(name);
    t.Post();
  }
  std::vector<std::string> names;
  for (t.First(); !t.Eof(); t.Next()) names.push_back(t.FieldByName("Name").AsString());
  EXPECT_EQ(names, (std::vector<std::string>{"apfel", "Äpfel", "Birne", "Zebra"}));
  t.SetIndexName("NoCase");
  EXPECT_TRUE(t.FindKey({"BIRNE"}));
  EXPECT_EQ(t.FieldByName("Name").AsString(), "Birne");
  t.SetIndexName("");
  EXPECT_FALSE(t.FindKey({"BIRNE"}));
}

TEST(TableIndex, DamagedIndexFileGivesItsErrorAndAMissingOneIsMadeAnew) {
  TempDir dir;
  MakeKeyed(dir);
  {
    TStoreTable t;
    Bind(t, dir, "k");
    t.Open();
    for (int i = 0; i < 30; ++i) Add(t, "c" + std::to_string(100 + i), "n", i);
  }
  const std::string good = ReadFileBytes(dir.file("k.IDX"));
  const int32_t root = RootOf(good, 0);
  struct Case {
    const char* what;
    size_t offset;
    uint8_t value;
    uint16_t code;
  } cases[] = {
      {"version", 8, 3, 12035},
      {"secondary count", 13, 31, 8961},
      {"key size", kDescriptors + 31, 99, 8961},
      {"root off a page boundary", kDescriptors + kRootOffset, 0x01, 8961},
      {"page kind", static_cast<size_t>(root), 9, 8965},
      {"entry count", static_cast<size_t>(root) + 2, 0x40, 8965},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bad = good;
    bad[c.offset] = static_cast<char>(c.value);
    WriteFileBytes(dir.file("k.IDX"), bad);
    TStoreTable t;
    Bind(t, dir, "k");
    EXPECT_EQ(ErrorOf([&] {
                t.Open();
                t.Last();
              }),
              c.code);
  }
  std::remove(dir.file("k.IDX").c_str());
  TStoreTable t;
  Bind(t, dir, "k");
  t.Open();
  EXPECT_EQ(t.RecordCount(), 30);
  t.Last();
  EXPECT_EQ(t.FieldByName("Code").AsString(), "c129");  // the order of insertion
  EXPECT_EQ(t.RecNo(), 30);
  EXPECT_TRUE(t.IndexDefinitions().empty());  // the definitions went with the file
}

TEST(TableIndex, IndexFileNeverKeptInStepIsBuiltAgainFromTheRecords) {
  TempDir dir;
  MakeKeyed(dir);
  {
    TStoreTable t;
    Bind(t, dir, "k");
    t.Open();
    for (const char* code : {"q", "b", "x", "m"}) Add(t, code, "n", 0);
    ASSERT_TRUE(t.FindKey({"x"}));
    t.Delete();
  }
  // The index file as a build without index maintenance left it: definitions only.
  std::string idx = ReadFileBytes(dir.file("k.IDX")).substr(0, 4096);
  auto* header = reinterpret_cast<uint8_t*>(idx.data());
  PutI32(header + 9, 4096);
  PutI32(header + 3974, 0);
  for (size_t slot : {size_t{0}, size_t{31}}) {
    PutI32(header + kDescriptors + kDescriptorSize * slot + kRootOffset, 0);
    PutI32(header + kDescriptors + kDescriptorSize * slot + kRootOffset + 4, 0);
  }
  WriteFileBytes(dir.file("k.IDX"), idx);
  TStoreTable t;
  Bind(t, dir, "k");
  t.Open();
  EXPECT_EQ(t.RecordCount(), 3);
  EXPECT_EQ(Codes(t), (std::vector<std::string>{"b", "m", "q"}));
  EXPECT_TRUE(t.FindKey({"m"}));
  EXPECT_EQ(t.RecNo(), 2);
  Add(t, "a", "reuses the deleted slot", 0);
  EXPECT_EQ(t.GetBookmark().slot, 3);
}

}  // namespace
