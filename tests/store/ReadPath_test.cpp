// The read paths of a shared table and the locks and counters they use: a reading operation
// holds the index file's read slot and adds the BLOB file's only for BLOB blocks; key-order
// walks served from the cursor's read-ahead and filter scans read in runs still see what other
// programs change. Every test runs twice: reading through a memory mapping of the files (the
// default on a local file system) and with read calls only (MappedReads off).
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "LockTestSupport.h"
#include "store/engine/DataTable.h"
#include "store/engine/StoreInternals.h"
#include "store/engine/TableLocks.h"
#include "store/os/PhysicalFile.h"

namespace quellor::test {
namespace {

std::shared_ptr<TDataTable> EngineTable(const TempDir& dir, const std::string& name) {
  char* real = ::realpath(dir.path().c_str(), nullptr);
  std::string folder = real ? real : dir.path();
  std::free(real);
  if (folder.back() != '/') folder += '/';
  return TStoreInternals::DirectoryFor(TStoreSession::Default(), folder)->OpenTable(name, false);
}

// Whether another open file description could take a writer's range of `path` now.
bool WriterCouldLock(const std::string& path) {
  auto file = TPhysicalFile::Open(path, false, "notes.DAT");
  if (!file->Lock(kWriteRangeOffset, kWriteRangeLength)) return false;
  EXPECT_TRUE(file->Unlock(kWriteRangeOffset, kWriteRangeLength));
  return true;
}

// The session's MappedReads for the whole test (inherited by the test's child processes).
class ReadPath : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { TStoreSession::Default().SetMappedReads(GetParam()); }
  void TearDown() override { TStoreSession::Default().SetMappedReads(true); }
};

INSTANTIATE_TEST_SUITE_P(Both, ReadPath, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Mapped") : std::string("ReadCalls");
                         });

TEST_P(ReadPath, ARecordIsReadUnderTheIndexSlotAloneAndBlobBlocksUnderTheBlobSlotToo) {
  TempDir dir;
  {
    TStoreTable t;
    t.SetDatabaseName(dir.path());
    t.SetTableName("notes.DAT");
    t.FieldDefs().Add("Key", TFieldType::String, 10);
    t.FieldDefs().Add("Note", TFieldType::Memo);
    t.IndexDefs().Add("", "Key", IndexOption::Primary);
    t.CreateTable();
    t.Open();
    t.Append();
    t.FieldByName("Key").SetAsString("a");
    t.FieldByName("Note").SetAsString(std::string(3000, 'n'));
    t.Post();
    t.Close();
  }
  std::shared_ptr<TDataTable> table = EngineTable(dir, "notes.DAT");
  const TFieldDesc* note = nullptr;
  for (const auto& f : table->Fields())
    if (f.name == "Note") note = &f;
  ASSERT_NE(note, nullptr);
  std::string value;
  table->Reading([&] {
    std::vector<uint8_t> image = table->ReadRecord(1);
    EXPECT_FALSE(WriterCouldLock(dir.file("notes.IDX")));
    EXPECT_TRUE(WriterCouldLock(dir.file("notes.BLB")));  // no BLOB block read yet
    value = table->ReadBlob(image.data(), *note);
    EXPECT_FALSE(WriterCouldLock(dir.file("notes.BLB")));
  });
  EXPECT_EQ(value, std::string(3000, 'n'));
  // Both slots are let go at the end of the operation.
  EXPECT_TRUE(WriterCouldLock(dir.file("notes.IDX")));
  EXPECT_TRUE(WriterCouldLock(dir.file("notes.BLB")));
}

// Another program's part: when asked, sets the values of `keys` to their negatives, then says
// "changed". 1 when a key is missing.
int NegateWhenAsked(TChild& self, const TempDir& dir, std::initializer_list<int> keys) {
  self.Receive();
  TStoreTable t;
  BindShared(t, dir);
  t.Open();
  for (int i : keys) {
    if (!t.FindKey({KeyOf(i)})) return 1;
    t.Edit();
    t.FieldByName("Value").SetAsInteger(-i);
    t.Post();
  }
  t.Close();
  self.Send("changed");
  return 0;
}

// Walks the shared table in key order from the first record: the values by key.
std::vector<int> WalkValues(TStoreTable& t, const std::function<void(int)>& atStep) {
  std::vector<int> values;
  int step = 0;
  for (t.First(); !t.Eof(); t.Next()) {
    values.push_back(t.FieldByName("Value").AsInteger());
    if (atStep) atStep(step);
    ++step;
  }
  return values;
}

// Another program changes a record inside the walk's read-ahead window and one far ahead of it
// while the walk goes on. The record far ahead shows the new value; once the walk has passed
// it, the one in the window shows its new value as well (the counters moved: nothing read ahead
// before is shown again). With StrictChangeDetection both show at once.
void WalkWhileAnotherProgramChanges(bool strict) {
  TempDir dir;
  const int count = 600;
  MakeSharedTable(dir, count);
  TChild child([&](TChild& self) { return NegateWhenAsked(self, dir, {12, 400}); });
  TStoreTable t;
  BindShared(t, dir);
  TStoreSession::Default().SetStrictChangeDetection(strict);
  t.Open();
  std::vector<int> values = WalkValues(t, [&](int step) {
    if (step != 9) return;  // the walk has read records 9 to 16 or beyond ahead
    child.Send("change");
    ASSERT_EQ(child.Receive(), "changed");
  });
  TStoreSession::Default().SetStrictChangeDetection(false);
  ASSERT_EQ(values.size(), static_cast<size_t>(count));
  EXPECT_EQ(values[400], -400);
  if (strict) {
    EXPECT_EQ(values[12], -12);
  }
  EXPECT_TRUE(values[12] == 12 || values[12] == -12);
  for (int i = 0; i < count; ++i)
    if (i != 12 && i != 400) {
      EXPECT_EQ(values[i], i) << i;
    }
  ASSERT_TRUE(t.FindKey({KeyOf(12)}));
  EXPECT_EQ(t.FieldByName("Value").AsInteger(), -12);
  // A second walk reads ahead afresh and shows both.
  values = WalkValues(t, nullptr);
  ASSERT_EQ(values.size(), static_cast<size_t>(count));
  EXPECT_EQ(values[12], -12);
  EXPECT_EQ(values[400], -400);
  t.Close();
  EXPECT_EQ(child.Wait(), 0);
}

TEST_P(ReadPath, AWalkServedFromReadAheadSeesAnotherProgramsChange) {
  WalkWhileAnotherProgramChanges(false);
}

TEST_P(ReadPath, WithStrictChangeDetectionAWalkSeesAChangeInsideItsReadAheadAtOnce) {
  WalkWhileAnotherProgramChanges(true);
}

// A cursor of the same program changes and deletes records the walk has read ahead: the walk
// shows the changes and skips the deleted record.
TEST_P(ReadPath, AWalkShowsChangesOfAnotherCursorOfTheProgramAtOnce) {
  TempDir dir;
  const int count = 300;
  MakeSharedTable(dir, count);
  TStoreTable walker, editor;
  BindShared(walker, dir);
  BindShared(editor, dir);
  walker.Open();
  editor.Open();
  std::vector<int> values = WalkValues(walker, [&](int step) {
    if (step != 20) return;
    ASSERT_TRUE(editor.FindKey({KeyOf(22)}));
    editor.Edit();
    editor.FieldByName("Value").SetAsInteger(-22);
    editor.Post();
    ASSERT_TRUE(editor.FindKey({KeyOf(24)}));
    editor.Delete();
  });
  ASSERT_EQ(values.size(), static_cast<size_t>(count - 1));
  EXPECT_EQ(values[21], 21);
  EXPECT_EQ(values[22], -22);
  EXPECT_EQ(values[23], 23);
  EXPECT_EQ(values[24], 25);  // 24 is gone
}

// A walk inside a transaction reads ahead the transaction's own unwritten changes.
TEST_P(ReadPath, AWalkInATransactionShowsItsUnwrittenChanges) {
  TempDir dir;
  const int count = 200;
  MakeSharedTable(dir, count);
  TStoreDatabase database;
  database.SetDatabaseName("ReadPathTx");
  database.SetDirectory(dir.path());
  TStoreTable t;
  t.SetDatabaseName("ReadPathTx");
  t.SetTableName(kSharedTable);
  t.Open();
  database.BeginTransaction();
  for (int i = 50; i < 150; i += 3) {
    ASSERT_TRUE(t.FindKey({KeyOf(i)}));
    t.Edit();
    t.FieldByName("Value").SetAsInteger(-i);
    t.Post();
  }
  std::vector<int> values = WalkValues(t, nullptr);
  database.RollbackTransaction();
  ASSERT_EQ(values.size(), static_cast<size_t>(count));
  for (int i = 0; i < count; ++i)
    EXPECT_EQ(values[i], (i >= 50 && i < 150 && (i - 50) % 3 == 0) ? -i : i) << i;
  values = WalkValues(t, nullptr);
  for (int i = 0; i < count; ++i) EXPECT_EQ(values[i], i) << i;
}

int CountNegative(TStoreTable& t) {
  t.SetFilter("Value < 0");
  t.SetFiltered(true);
  const int n = t.RecordCount();
  t.SetFiltered(false);
  t.SetFilter("");
  return n;
}

// A filter without an index reads the records in runs of slots: a transaction's unwritten
// changes count, and so does a change another program makes between two counts.
TEST_P(ReadPath, AFilterScanCountsUnwrittenChangesAndAnotherProgramsChanges) {
  TempDir dir;
  const int count = 3000;  // more than one run of slots
  MakeSharedTable(dir, count);
  TChild child([&](TChild& self) { return NegateWhenAsked(self, dir, {7, 1500, 2999}); });
  TStoreDatabase database;
  database.SetDatabaseName("ReadPathScan");
  database.SetDirectory(dir.path());
  TStoreTable t;
  t.SetDatabaseName("ReadPathScan");
  t.SetTableName(kSharedTable);
  t.Open();
  EXPECT_EQ(CountNegative(t), 0);
  database.BeginTransaction();
  for (int i = 100; i < 2900; i += 700) {
    ASSERT_TRUE(t.FindKey({KeyOf(i)}));
    t.Edit();
    t.FieldByName("Value").SetAsInteger(-1);
    t.Post();
  }
  EXPECT_EQ(CountNegative(t), 4);
  database.RollbackTransaction();
  EXPECT_EQ(CountNegative(t), 0);
  child.Send("change");
  ASSERT_EQ(child.Receive(), "changed");
  EXPECT_EQ(CountNegative(t), 3);
  t.Close();
  EXPECT_EQ(child.Wait(), 0);
}

// Index pages changed in a transaction, some of them put back by changes that failed, are all
// written by the commit: a program with fresh caches finds every record by every index.
TEST_P(ReadPath, EveryIndexPageATransactionChangedIsWrittenAtCommit) {
  TempDir dir;
  MakeSharedTable(dir, 0);
  const int count = 1500;
  TChild child([&](TChild& self) {
    self.Receive();
    TStoreTable t;
    BindShared(t, dir);
    t.Open();
    int found = t.RecordCount() == count ? 0 : 1000000;
    for (const char* index : {"", "ByTag", "ByCode"}) {
      t.SetIndexName(index);
      int n = 0;
      for (t.First(); !t.Eof(); t.Next()) ++n;
      if (n != count) found += 1;
    }
    t.SetIndexName("ByCode");
    for (int i = 0; i < count; i += 37)
      if (!t.FindKey({CodeOf(i)}) || t.FieldByName("Value").AsInteger() != i) found += 1;
    t.Close();
    self.Send(std::to_string(found));
    return 0;
  });
  TStoreDatabase database;
  database.SetDatabaseName("ReadPathPages");
  database.SetDirectory(dir.path());
  TStoreTable t;
  t.SetDatabaseName("ReadPathPages");
  t.SetTableName(kSharedTable);
  t.Open();
  database.BeginTransaction();
  auto insert = [&](int i, const std::string& code) {
    AppendShared(t, KeyOf(i), i, std::string(200, 'a' + i % 26) + std::to_string(i), code);
  };
  for (int i = 0; i < count; ++i) {
    insert(i, CodeOf(i));
    if (i % 100 == 50) {
      // A duplicate code: the change is undone after the primary and tag indexes took it.
      EXPECT_EQ(EngineCode([&] { insert(count + i, CodeOf(i)); }), 9729);
      t.Cancel();
    }
  }
  database.CommitTransaction();
  t.Close();
  child.Send("check");
  EXPECT_EQ(child.Receive(), "0");
  EXPECT_EQ(child.Wait(), 0);
}

// Another program deletes records ahead of a walk and adds many more (the data file grows
// beyond what was mapped) while the walk goes on: once the walk is past its read-ahead window
// it shows none of the deleted records and every added one, each once, in key order.
TEST_P(ReadPath, AWalkSeesRecordsAnotherProgramDeletesAndAddsWhileTheFileGrows) {
  TempDir dir;
  const int count = 1200;
  MakeSharedTable(dir, count);
  TChild child([&](TChild& self) {
    self.Receive();
    TStoreTable t;
    BindShared(t, dir);
    t.Open();
    for (int i = 500; i < 800; ++i) {
      if (!t.FindKey({KeyOf(i)})) return 1;
      t.Delete();
    }
    for (int i = 5000; i < 8000; ++i)
      AppendShared(t, KeyOf(i), i, std::string(200, 'g'), CodeOf(i));
    t.Close();
    self.Send("changed");
    return 0;
  });
  TStoreTable t;
  BindShared(t, dir);
  t.Open();
  std::vector<int> values = WalkValues(t, [&](int step) {
    if (step != 100) return;
    child.Send("change");
    ASSERT_EQ(child.Receive(), "changed");
  });
  std::vector<int> expected;
  for (int i = 0; i < count; ++i)
    if (i < 500 || i >= 800) expected.push_back(i);
  for (int i = 5000; i < 8000; ++i) expected.push_back(i);
  EXPECT_EQ(values, expected);
  EXPECT_EQ(CountNegative(t), 0);
  t.SetFilter("Value >= 5000");
  t.SetFiltered(true);
  EXPECT_EQ(t.RecordCount(), 3000);
  t.SetFiltered(false);
  t.Close();
  EXPECT_EQ(child.Wait(), 0);
}

// Another program empties the table and fills it with fewer records (the data file is cut
// below what the walk's process has mapped) in the middle of a walk and between two filter
// counts. Nothing is read beyond the file's new end: the walk goes on with the new records
// once it is past its read-ahead window, never shows a record that was not there before or
// after, and the counts are exact.
TEST_P(ReadPath, AWalkAndAFilterSurviveAnotherProgramCuttingTheFile) {
  TempDir dir;
  const int count = 1500;
  MakeSharedTable(dir, count);
  const int refill = 150;
  TChild child([&](TChild& self) {
    self.Receive();
    TStoreTable t;
    BindShared(t, dir);
    t.Open();
    t.EmptyTable();
    for (int i = 0; i < refill; ++i)
      AppendShared(t, KeyOf(i * 10 + 5), -(i * 10 + 5), "n", CodeOf(i));
    t.Close();
    self.Send("changed");
    return 0;
  });
  TStoreTable t;
  BindShared(t, dir);
  t.Open();
  EXPECT_EQ(CountNegative(t), 0);
  const int at = 200;
  std::vector<int> values = WalkValues(t, [&](int step) {
    if (step != at) return;
    child.Send("change");
    ASSERT_EQ(child.Receive(), "changed");
  });
  ASSERT_GT(values.size(), static_cast<size_t>(at));
  for (size_t k = 0; k <= static_cast<size_t>(at); ++k) EXPECT_EQ(values[k], static_cast<int>(k));
  // Then at most a read-ahead window of the old records (the keys that follow), then the new
  // records whose keys follow the last one shown, each once, to the end.
  size_t k = at + 1;
  int last = at;
  while (k < values.size() && values[k] >= 0) {
    EXPECT_EQ(values[k], last + 1);
    last = values[k++];
  }
  EXPECT_LE(k, static_cast<size_t>(at + 1 + 64));
  std::vector<int> rest(values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
  std::vector<int> expected;
  for (int i = 0; i < refill; ++i)
    if (i * 10 + 5 > last) expected.push_back(-(i * 10 + 5));
  EXPECT_EQ(rest, expected);
  EXPECT_EQ(CountNegative(t), refill);
  EXPECT_EQ(t.RecordCount(), refill);
  std::vector<int> again = WalkValues(t, nullptr);
  ASSERT_EQ(again.size(), static_cast<size_t>(refill));
  for (int i = 0; i < refill; ++i) EXPECT_EQ(again[static_cast<size_t>(i)], -(i * 10 + 5));
  t.Close();
  EXPECT_EQ(child.Wait(), 0);
}

}  // namespace
}  // namespace quellor::test
