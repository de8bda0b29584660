#include "store/btree/IndexFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "IndexTestSupport.h"
#include "store/api/StoreError.h"
#include "store/btree/IndexCursor.h"
#include "store/format/IndexBytes.h"

using namespace quellor;
using namespace quellor::test;
using namespace quellor::indexbytes;

namespace {

constexpr int kSlot0 = 14;
constexpr int kSlot31 = 14 + 31 * 120;

std::vector<TFieldDesc> SiteFields() {
  return LayOutFields(
      {Field("Url", TStoreFieldType::String, 100), Field("Killed", TStoreFieldType::Boolean),
       Field("Priority", TStoreFieldType::SmallInt), Field("Data", TStoreFieldType::Blob)});
}

TIndexFileOptions Options(const char* table) {
  TIndexFileOptions o;
  o.tableName = table;
  return o;
}

TIndexDesc IndexOn(std::vector<uint16_t> fieldNumbers) {
  TIndexDesc d;
  d.fieldNumbers = std::move(fieldNumbers);
  return d;
}

}  // namespace

TEST(IndexFileCreate, NewFileWithoutPrimaryKeyFields) {
  TBufferFile file;
  file.bytes.assign(10000, 0xAB);  // a leftover file is cut to the header
  CreateIndexFile(file, SiteFields(), nullptr, Options("cracks.DAT"));
  ASSERT_EQ(file.bytes.size(), 4096u);
  const uint8_t* h = file.bytes.data();
  EXPECT_EQ(GetI32(h + 0), 0);
  EXPECT_EQ(h[8], 4);
  EXPECT_EQ(GetI32(h + 9), 4096);
  EXPECT_EQ(h[13], 0);
  EXPECT_EQ(GetI32(h + 3974), 0);
  EXPECT_EQ(h[3978], 1);
  for (int i = 0; i < 120; ++i) EXPECT_EQ(h[kSlot0 + i], 0) << i;
  EXPECT_EQ(GetShortString(h + kSlot31, 30), "Sys Deleted");
  EXPECT_EQ(GetU16(h + kSlot31 + 31), 5);
  for (int i = 33; i < 120; ++i) EXPECT_EQ(h[kSlot31 + i], 0) << i;
}

TEST(IndexFileCreate, PrimaryIndexFillsSlotZero) {
  TBufferFile file;
  TIndexDesc primary = IndexOn({1, 3});
  primary.fieldDescending = {false, true};
  primary.compression = TIndexCompression::Full;
  primary.unique = false;  // the primary index is always unique
  CreateIndexFile(file, SiteFields(), &primary, Options("cracks.DAT"));
  const uint8_t* h = file.bytes.data();
  EXPECT_EQ(h[3978], 0);
  EXPECT_EQ(GetShortString(h + kSlot0, 30), "");
  EXPECT_EQ(GetU16(h + kSlot0 + 31), (101 + 1) + (2 + 1));
  EXPECT_EQ(h[kSlot0 + 35], 1);
  EXPECT_EQ(h[kSlot0 + 36], 3);
  EXPECT_EQ(h[kSlot0 + 37], 2);
  EXPECT_EQ(h[kSlot0 + 38], 0);
  EXPECT_EQ(h[kSlot0 + 39], 1);
  EXPECT_EQ(GetU16(h + kSlot0 + 54), 1);
  EXPECT_EQ(GetU16(h + kSlot0 + 56), 3);
  EXPECT_EQ(GetI32(h + kSlot0 + 86), 0);
  EXPECT_EQ(GetI32(h + kSlot0 + 90), 0);

  TIndexFileHeader back = DecodeIndexHeader(h, "cracks.DAT");
  EXPECT_FALSE(back.primaryNoKeyFields);
  EXPECT_EQ(back.primary.fieldNumbers, (std::vector<uint16_t>{1, 3}));
  EXPECT_EQ(back.sysDeleted.name, "Sys Deleted");
}

TEST(IndexFileCreate, BadPrimaryIndexWritesNothing) {
  std::vector<TFieldDesc> wide;
  for (int i = 0; i < 3; ++i) wide.push_back(Field("S", TStoreFieldType::String, 250));
  wide = LayOutFields(wide);
  std::vector<uint16_t> seventeen(17, 1);
  struct Case {
    std::vector<TFieldDesc> fields;
    std::vector<uint16_t> numbers;
    uint16_t code;
    const char* message;
  };
  const Case cases[] = {
      {SiteFields(), {4}, 12292, "Invalid field type specified for index 'Primary' in table 't'"},
      {SiteFields(),
       {9},
       10023,
       "Invalid field number '9' specified in index 'Primary' for table 't'"},
      {wide, {1, 2, 3}, 10026, "Invalid key size specified in index 'Primary' for table 't'"},
      {SiteFields(), seventeen, 9487, nullptr},
  };
  for (const Case& c : cases) {
    TBufferFile file;
    TIndexDesc primary = IndexOn(c.numbers);
    try {
      CreateIndexFile(file, c.fields, &primary, Options("t"));
      ADD_FAILURE() << "no error for code " << c.code;
    } catch (const EStoreEngineError& e) {
      EXPECT_EQ(e.ErrorCode(), c.code);
      if (c.message) {
        EXPECT_EQ(e.Errors()[0].Message, c.message);
      }
    }
    EXPECT_TRUE(file.bytes.empty());
  }
}

TEST(IndexFileCreate, EncryptedHeaderIsEnciphered) {
  TBufferFile file;
  TIndexFileOptions options = Options("t");
  options.cipher = [](uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] ^= static_cast<uint8_t>(0x5A + i);
  };
  CreateIndexFile(file, SiteFields(), nullptr, options);
  ASSERT_EQ(file.bytes.size(), 4096u);
  EXPECT_NE(file.bytes[8], 4);
  options.cipher(file.bytes.data(), file.bytes.size());
  EXPECT_EQ(file.bytes[8], 4);
  EXPECT_EQ(GetShortString(file.bytes.data() + kSlot31, 30), "Sys Deleted");
}

namespace {

// A table of one string and one integer field, with records made from a text and a number.
struct TSmallTable {
  std::vector<TFieldDesc> fields =
      LayOutFields({Field("S", TStoreFieldType::String, 20), Field("N", TStoreFieldType::Integer)});
  TBufferFile file;
  TIndexFileOptions options = Options("small.DAT");

  std::vector<uint8_t> Record(const std::string& s, int32_t n) const {
    std::vector<uint8_t> r(static_cast<size_t>(RecordSizeOf(fields)), 0);
    r[fields[0].offset] = 1;
    std::memcpy(&r[fields[0].offset + 1], s.data(), s.size());
    r[fields[1].offset] = 1;
    std::memcpy(&r[fields[1].offset + 1], &n, 4);
    return r;
  }
  // Records 1..3: ("b", 2), ("a", 1), ("c", 2).
  TRecordSource Records() const {
    return [this](const TRecordVisitor& visit) {
      visit(Record("b", 2), 1, 1);
      visit(Record("a", 1), 2, 2);
      visit(Record("c", 2), 3, 3);
    };
  }
  std::vector<int32_t> Walk(TIndexTree& tree) {
    std::vector<int32_t> recNos;
    TIndexCursor c(tree);
    for (bool on = c.First(); on; on = c.Next()) recNos.push_back(c.RecNo());
    return recNos;
  }
};

uint16_t CodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EStoreEngineError& e) {
    return e.ErrorCode();
  }
  return 0;
}

}  // namespace

TEST(IndexFileIndexes, AddRemoveAndDefineWithTheirErrors) {
  TSmallTable t;
  CreateIndexFile(t.file, t.fields, nullptr, t.options);
  TIndexFile index(t.file, t.fields, t.options);
  EXPECT_FALSE(index.PrimaryHasKeyFields());
  EXPECT_EQ(index.FindIndex(""), nullptr);

  TIndexDesc byN;
  byN.name = "ByN";
  byN.fieldNumbers = {2};
  index.AddSecondaryIndex(byN, t.Records());
  EXPECT_EQ(t.Walk(*index.FindIndex(" byn ")), (std::vector<int32_t>{2, 1, 3}));

  auto add = [&](const std::string& name, std::vector<uint16_t> fields = {1}) {
    TIndexDesc d;
    d.name = name;
    d.fieldNumbers = std::move(fields);
    return CodeOf([&] { index.AddSecondaryIndex(d, t.Records()); });
  };
  EXPECT_EQ(add("  "), 10010);
  EXPECT_EQ(add("1st"), 10022);
  EXPECT_EQ(add(std::string(31, 'x')), 10022);
  EXPECT_EQ(add("BYN"), 10027);
  EXPECT_EQ(add("Bad", {9}), 10023);
  EXPECT_EQ(add("_ok"), 0);
  EXPECT_EQ(add("\xC3\xA9t\xC3\xA9"), 0);  // a first character from 129 to 254

  // A unique index over duplicate keys is refused and leaves nothing behind.
  const int32_t end = index.EndOffset();
  TIndexDesc uniqueN = byN;
  uniqueN.name = "UniqueN";
  uniqueN.unique = true;
  try {
    index.AddSecondaryIndex(uniqueN, t.Records());
    ADD_FAILURE();
  } catch (const EStoreEngineError& e) {
    EXPECT_STREQ(e.what(),
                 "Store Engine Error # 9729 Duplicate key found in index 'UniqueN' of table "
                 "'small.DAT'");
  }
  EXPECT_EQ(index.FindIndex("UniqueN"), nullptr);
  EXPECT_EQ(index.EndOffset(), end);

  EXPECT_EQ(CodeOf([&] { index.RemoveSecondaryIndex("Primary"); }), 10055);
  EXPECT_EQ(CodeOf([&] { index.RemoveSecondaryIndex("Nope"); }), 10022);
  index.RemoveSecondaryIndex("byn");
  ASSERT_EQ(index.SecondaryCount(), 2);
  EXPECT_EQ(index.Secondary(0).Desc().name, "_ok");

  TIndexDesc primary;
  primary.fieldNumbers = {1};
  index.DefinePrimaryIndex(primary, t.Records());
  EXPECT_EQ(t.Walk(*index.FindIndex("Primary")), (std::vector<int32_t>{2, 1, 3}));
  EXPECT_EQ(CodeOf([&] { index.DefinePrimaryIndex(primary, nullptr); }), 9993);

  // Definitions survive writing and opening again.
  index.WriteChanges();
  TIndexFile again(t.file, t.fields, t.options);
  ASSERT_TRUE(again.PrimaryHasKeyFields());
  ASSERT_EQ(again.SecondaryCount(), 2);
  EXPECT_EQ(again.Secondary(1).Desc().name, "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(t.Walk(*again.Primary()), (std::vector<int32_t>{2, 1, 3}));

  // At most 30 secondary indexes.
  for (int i = again.SecondaryCount(); i < 30; ++i)
    again.AddSecondaryIndex(
        [&] {
          TIndexDesc d;
          d.name = "ix" + std::to_string(i);
          d.fieldNumbers = {2};
          return d;
        }(),
        nullptr);
  TIndexDesc more;
  more.name = "more";
  more.fieldNumbers = {1};
  EXPECT_EQ(CodeOf([&] { again.AddSecondaryIndex(more, nullptr); }), 9487);
}

TEST(IndexFileRecords, UniqueCheckComesBeforeAnyChange) {
  TSmallTable t;
  TIndexDesc primary;
  primary.fieldNumbers = {1};
  CreateIndexFile(t.file, t.fields, &primary, t.options);
  TIndexFile index(t.file, t.fields, t.options);
  TIndexDesc byN;
  byN.name = "ByN";
  byN.fieldNumbers = {2};
  index.AddSecondaryIndex(byN, nullptr);
  index.InsertRecord(t.Record("a", 1), 1, 1);
  index.InsertRecord(t.Record("b", 1), 2, 2);
  try {
    index.InsertRecord(t.Record("a", 5), 3, 3);
    ADD_FAILURE();
  } catch (const EStoreEngineError& e) {
    EXPECT_STREQ(e.what(),
                 "Store Engine Error # 9729 Duplicate key found in index 'Primary' of table "
                 "'small.DAT'");
  }
  EXPECT_EQ(index.Secondary(0).Count(), 2);
  // An update onto another record's key fails; onto its own key it is no change at all.
  EXPECT_EQ(CodeOf([&] { index.UpdateRecord(t.Record("b", 1), t.Record("a", 1), 2, 2); }), 9729);
  EXPECT_EQ(CodeOf([&] { index.UpdateRecord(t.Record("b", 1), t.Record("b", 7), 2, 2); }), 0);
  EXPECT_EQ(t.Walk(index.Secondary(0)), (std::vector<int32_t>{1, 2}));
  // A record whose keys are missing is a damaged index: nothing is removed.
  EXPECT_EQ(CodeOf([&] { index.DeleteRecord(t.Record("zz", 1), 9, 9); }), 8965);
  EXPECT_EQ(index.Primary()->Count(), 2);
  EXPECT_EQ(index.Secondary(0).Count(), 2);
}

TEST(IndexFileRecords, SysDeletedListsSlotsInOrderOfInsertion) {
  TSmallTable t;
  CreateIndexFile(t.file, t.fields, nullptr, t.options);
  TIndexFile index(t.file, t.fields, t.options);
  for (int32_t id = 1; id <= 5; ++id) index.SysDeletedAdd(false, id, id);
  index.SysDeletedMarkDeleted(2, 2);
  index.SysDeletedMarkDeleted(4, 4);
  index.SysDeletedReuse(4, 6, 4);  // slot 4 gets the record with id 6
  std::vector<int32_t> active;
  TIndexCursor c(index.SysDeleted());
  c.SetRange({0}, {0});
  for (bool on = c.First(); on; on = c.Next()) active.push_back(c.RecNo());
  EXPECT_EQ(active, (std::vector<int32_t>{1, 3, 5, 4}));
  EXPECT_EQ(c.Count(), 4);
  c.SetRange({1}, {1});
  EXPECT_EQ(c.Count(), 1);
  EXPECT_EQ(CodeOf([&] { index.SysDeletedMarkDeleted(2, 2); }), 8965);
  EXPECT_EQ(CodeOf([&] { index.SysDeletedAdd(false, 6, 9); }), 8965);
}

TEST(IndexFileChanges, AbortPutsEverythingBack) {
  TSmallTable t;
  CreateIndexFile(t.file, t.fields, nullptr, t.options);
  TIndexFile index(t.file, t.fields, t.options);
  TIndexDesc byS;
  byS.name = "ByS";
  byS.fieldNumbers = {1};
  index.AddSecondaryIndex(byS, nullptr);
  for (int i = 0; i < 100; ++i)
    index.InsertRecord(t.Record("k" + std::to_string(i), i), i + 1, i + 1);
  index.WriteChanges();
  const auto before = t.file.bytes;
  const int32_t end = index.EndOffset();
  TIndexTree& tree = *index.FindIndex("ByS");
  const int32_t root = tree.Desc().rootPage;

  index.BeginChange();
  for (int i = 0; i < 100; i += 2)
    index.DeleteRecord(t.Record("k" + std::to_string(i), i), i + 1, i + 1);
  for (int i = 100; i < 300; ++i)
    index.InsertRecord(t.Record("k" + std::to_string(i), i), i + 1, i + 1);
  index.SetRecordCount(77);
  index.AbortChange();

  EXPECT_EQ(index.EndOffset(), end);
  EXPECT_EQ(index.RecordCount(), 0);
  EXPECT_EQ(tree.Desc().rootPage, root);
  EXPECT_EQ(tree.Count(), 100);
  EXPECT_TRUE(tree.Verify().empty());
  index.WriteChanges();
  TIndexFile again(t.file, t.fields, t.options);
  EXPECT_EQ(again.FindIndex("ByS")->Count(), 100);
  EXPECT_TRUE(again.FindIndex("ByS")->Verify().empty());
  EXPECT_EQ(std::vector<uint8_t>(t.file.bytes.begin() + 4, t.file.bytes.end()),
            std::vector<uint8_t>(before.begin() + 4, before.end()));
}

TEST(IndexFileChanges, ChangeCounterEmptyingAndGrowthLimit) {
  TSmallTable t;
  CreateIndexFile(t.file, t.fields, nullptr, t.options);
  TIndexFile mine(t.file, t.fields, t.options);
  TIndexFile theirs(t.file, t.fields, t.options);
  mine.SysDeletedAdd(false, 1, 1);
  mine.SetRecordCount(1);
  EXPECT_FALSE(theirs.ChangedOnDisk());
  mine.WriteChanges();
  EXPECT_EQ(mine.ChangeCounter(), 1);
  EXPECT_FALSE(mine.ChangedOnDisk());
  EXPECT_TRUE(theirs.ChangedOnDisk());
  theirs.Reload();
  EXPECT_EQ(theirs.RecordCount(), 1);
  EXPECT_EQ(theirs.SysDeleted().Count(), 1);
  // Nothing changed: nothing written.
  const int writes = t.file.writes;
  mine.WriteChanges();
  EXPECT_EQ(t.file.writes, writes);

  mine.Empty();
  EXPECT_EQ(t.file.bytes.size(), 4096u);
  EXPECT_EQ(mine.EndOffset(), 4096);
  EXPECT_EQ(mine.SysDeleted().Desc().rootPage, 0);
  EXPECT_EQ(indexbytes::GetI32(&t.file.bytes[3974]), 0);

  // A file whose end offset is past 2,000,000,000 takes no new page, and nothing changes.
  indexbytes::PutI32(&t.file.bytes[9], 2000003072);
  TIndexFile full(t.file, t.fields, t.options);
  EXPECT_EQ(CodeOf([&] { full.SysDeletedAdd(false, 1, 1); }), 9479);
  EXPECT_EQ(full.SysDeleted().Desc().rootPage, 0);
  EXPECT_EQ(full.EndOffset(), 2000003072);
}

TEST(IndexFileChanges, EncryptedPagesAreNotPlainText) {
  TSmallTable t;
  t.options.cipher = [](uint8_t* p, size_t n) {
    uint8_t lo = 0x3C, hi = 0xA5;
    for (size_t i = 0; i < n; ++i) p[i] ^= static_cast<uint8_t>(lo++ ^ hi--);
  };
  CreateIndexFile(t.file, t.fields, nullptr, t.options);
  {
    TIndexFile index(t.file, t.fields, t.options);
    TIndexDesc byS;
    byS.name = "ByS";
    byS.fieldNumbers = {1};
    index.AddSecondaryIndex(byS, nullptr);
    index.InsertRecord(t.Record("secretvalue", 1), 1, 1);
    index.WriteChanges();
  }
  std::string all(t.file.bytes.begin(), t.file.bytes.end());
  EXPECT_EQ(all.find("secretvalue"), std::string::npos);
  EXPECT_EQ(all.find("ByS"), std::string::npos);
  TIndexFile again(t.file, t.fields, t.options);
  EXPECT_EQ(t.Walk(*again.FindIndex("ByS")), (std::vector<int32_t>{1}));
}

TEST(IndexFileRecords, RecreatedFileIsFilledAndRebuilt) {
  TSmallTable t;
  TIndexDesc primary;
  primary.fieldNumbers = {1};
  CreateIndexFile(t.file, t.fields, &primary, t.options);
  TIndexFile index(t.file, t.fields, t.options);
  TSlotSource slots = [](const TSlotVisitor& visit) {
    visit(false, 1, 1);
    visit(true, 2, 2);
    visit(false, 3, 3);
  };
  index.FillSysDeleted(slots);
  EXPECT_EQ(index.RecordCount(), 2);
  EXPECT_EQ(index.SysDeleted().Count(), 3);
  EXPECT_EQ(CodeOf([&] { index.FillSysDeleted(slots); }), 8965);
  EXPECT_EQ(index.SysDeleted().Count(), 3);  // nothing of the failed fill stays

  index.Rebuild(t.Records(), slots);
  EXPECT_EQ(t.Walk(*index.Primary()), (std::vector<int32_t>{2, 1, 3}));
  EXPECT_EQ(index.SysDeleted().Count(), 3);
  EXPECT_EQ(index.RecordCount(), 2);
  EXPECT_TRUE(index.Primary()->Verify().empty());
}
