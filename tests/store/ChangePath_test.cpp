// The change path of a shared table: what each change journals and how many reads and writes
// it takes. Every journal a change leaves must hold exactly the bytes that change overwrote,
// also when the before-images come from memory (what the table's previous change wrote) and
// also when another program wrote the files in between; a duplicate key fails as before and
// leaves nothing behind.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "LockTestSupport.h"
#include "store/api/StoreError.h"
#include "store/os/PhysicalFile.h"

namespace quellor::test {
namespace {

const char* const kFiles[] = {"shared.DAT", "shared.IDX", "shared.BLB"};

struct TSnapshot {
  std::string files[3];
};

TSnapshot Snap(const TempDir& dir) {
  TSnapshot s;
  for (int i = 0; i < 3; ++i) s.files[i] = ReadFileBytes(dir.file(kFiles[i]));
  return s;
}

uint64_t Get(const std::string& s, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

// Puts the files after a change back as its journal says (the journal of one change, ended
// but kept: its body stays in the file) and returns them.
TSnapshot UndoFromJournal(const TempDir& dir) {
  TSnapshot s = Snap(dir);
  const std::string journal = ReadFileBytes(dir.file("shared.JNL"));
  EXPECT_GE(journal.size(), 64u + 48u);
  if (journal.size() < 64 + 48) return s;
  const uint32_t count = static_cast<uint32_t>(Get(journal, 24, 4));
  const std::string body = journal.substr(64, Get(journal, 32, 8));
  size_t at = 48;
  for (uint32_t e = 0; e < count; ++e) {
    const int file = static_cast<uint8_t>(body[at]);
    const size_t n = Get(body, at + 4, 4);
    const size_t offset = Get(body, at + 8, 8);
    std::string& bytes = s.files[file];
    if (bytes.size() < offset + n) bytes.resize(offset + n);
    bytes.replace(offset, n, body, at + 16, n);
    at += 16 + n;
  }
  for (int i = 0; i < 3; ++i) {
    const int64_t before = static_cast<int64_t>(Get(body, static_cast<size_t>(i) * 16, 8));
    if (before >= 0) s.files[i].resize(static_cast<size_t>(before));
  }
  return s;
}

void Insert(TStoreTable& t, int i) {
  t.Append();
  t.FieldByName("Key").SetAsString(KeyOf(i));
  t.FieldByName("Value").SetAsInteger(i);
  t.FieldByName("Tag").SetAsString("t" + std::to_string(i % 7));
  t.FieldByName("Code").SetAsString(CodeOf(i));
  t.Post();
}

// Runs `change` on `t` and checks that its journal takes the files back to what they were.
void ExpectJournalUndoes(const TempDir& dir, const std::function<void()>& change,
                         const std::string& what) {
  const TSnapshot before = Snap(dir);
  change();
  const TSnapshot undone = UndoFromJournal(dir);
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(undone.files[i] == before.files[i]) << what << ": " << kFiles[i];
}

TEST(ChangePath, EveryJournalHoldsWhatItsChangeOverwroteAlsoWhenAnotherProgramWroteBetween) {
  TempDir dir;
  MakeSharedTable(dir, 300);
  TChild child([&](TChild& self) {
    // Without it a lookup served whole from cached pages does not see the other program's
    // inserts.
    TStoreSession::Default().SetStrictChangeDetection(true);
    TStoreTable t;
    BindShared(t, dir);
    t.Open();
    for (std::string order; (order = self.Receive()) != "end";) {
      const int i = std::stoi(order.substr(1));
      if (order[0] == 'i') Insert(t, i);
      if (order[0] == 'e') {
        if (!t.FindKey({KeyOf(i)})) return 1;
        t.Edit();
        t.FieldByName("Tag").SetAsString("child " + order);
        t.Post();
      }
      self.Send("done");
    }
    t.Close();
    return 0;
  });
  TStoreDatabase database;
  database.SetDatabaseName("ChangePathTest");
  database.SetDirectory(dir.path());
  TStoreTable t;
  t.SetDatabaseName("ChangePathTest");
  t.SetTableName(kSharedTable);
  t.Open();
  auto other = [&](const std::string& order) {
    child.Send(order);
    ASSERT_EQ(child.Receive(), "done");
  };
  for (int round = 0; round < 6; ++round) {
    const int base = 1000 + round * 10;
    // Changes of this program one after another: the later ones journal from memory.
    for (int k = 0; k < 4; ++k)
      ExpectJournalUndoes(
          dir, [&] { Insert(t, base + k); }, "insert " + std::to_string(k));
    ExpectJournalUndoes(
        dir,
        [&] {
          ASSERT_TRUE(t.FindKey({KeyOf(base)}));
          t.Edit();
          t.FieldByName("Tag").SetAsString("edited");
          t.Post();
        },
        "edit");
    ExpectJournalUndoes(
        dir,
        [&] {
          ASSERT_TRUE(t.FindKey({KeyOf(base + 1)}));
          t.Delete();
        },
        "delete");
    // Another program changes the pages and header this program wrote last.
    other((round % 2 ? "e" : "i") + std::to_string(round % 2 ? base + 2 : 5000 + round));
    if (round % 3 == 2) {
      // A reading operation takes the other program's change in first: the table's counters
      // are the new ones when the change below compares them with the files.
      TStoreSession::Default().SetStrictChangeDetection(true);
      t.First();
      TStoreSession::Default().SetStrictChangeDetection(false);
    }
    ExpectJournalUndoes(
        dir, [&] { Insert(t, base + 5); }, "insert after the other program");
    ExpectJournalUndoes(
        dir,
        [&] {
          ASSERT_TRUE(t.FindKey({KeyOf(base + 3)}));
          t.Delete();
        },
        "delete after the other program");
  }
  // A transaction's commit after the other program's change.
  other("i6000");
  const TSnapshot before = Snap(dir);
  database.BeginTransaction();
  for (int k = 0; k < 30; ++k) Insert(t, 7000 + k);
  database.CommitTransaction();
  const TSnapshot undone = UndoFromJournal(dir);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(undone.files[i] == before.files[i]) << kFiles[i];
  child.Send("end");
  t.Close();
  EXPECT_EQ(child.Wait(), 0);
}

TEST(ChangePath, AnInsertReadsAndWritesLittle) {
  TempDir dir;
  MakeSharedTable(dir, 2000);
  TStoreTable t;
  BindShared(t, dir);
  t.Open();
  Insert(t, 100000);  // the first change of the program reads what it overwrites
  const TFileCallCounts start = FileCallCounts();
  const int inserts = 200;
  for (int i = 0; i < inserts; ++i) Insert(t, 100001 + i * 7);
  const TFileCallCounts end = FileCallCounts();
  const double reads = static_cast<double>(end.reads - start.reads) / inserts;
  const double writes = static_cast<double>(end.writes - start.writes) / inserts;
  // Per insert: the journal's header and the three counters, then only the pages the previous
  // insert did not write (three indexes of a table of 2,000 records: a few pages per index);
  // the journal, the data header and record, the changed pages of the index file and the
  // journal's end.
  EXPECT_LE(reads, 8.0);
  EXPECT_LE(writes, 14.0);
  // The journal of the last insert holds the bytes it altered, not whole pages.
  const std::string journal = ReadFileBytes(dir.file("shared.JNL"));
  ASSERT_GE(journal.size(), 64u);
  EXPECT_LT(Get(journal, 32, 8), 8192u);
  t.Close();
}

TEST(ChangePath, ADuplicateKeyFailsAndLeavesTheFilesAsTheyWere) {
  TempDir dir;
  MakeSharedTable(dir, 500);
  TStoreTable t;
  BindShared(t, dir);
  t.Open();
  Insert(t, 900);
  struct TCase {
    const char* what;
    int key;
    int code;
  };
  // Primary key taken; ByCode (unique) taken by another record with a new primary key.
  const TCase cases[] = {{"primary", 17, 17}, {"ByCode", 901, 17}, {"primary, just added", 900, 2}};
  for (const TCase& c : cases) {
    const TSnapshot before = Snap(dir);
    const int count = t.RecordCount();
    const int code = EngineCode([&] {
      t.Append();
      t.FieldByName("Key").SetAsString(KeyOf(c.key));
      t.FieldByName("Value").SetAsInteger(1);
      t.FieldByName("Code").SetAsString(CodeOf(c.code));
      t.Post();
    });
    EXPECT_EQ(code, StoreCode::DuplicateKey) << c.what;
    t.Cancel();
    const TSnapshot after = Snap(dir);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(after.files[i] == before.files[i]) << c.what;
    EXPECT_EQ(t.RecordCount(), count) << c.what;
    // The next insert goes through and is found by every index.
    Insert(t, 2000 + c.key);
    ASSERT_TRUE(t.FindKey({KeyOf(2000 + c.key)})) << c.what;
  }
  t.Close();
}

// A Post refused as a duplicate leaves nothing to write: closing the table afterwards writes
// no byte, also when another program added records in between (the close must never write
// pages cached before that program's change over it).
TEST(ChangePath, ARefusedPostLeavesNothingForTheCloseToWrite) {
  for (bool otherProgramWrites : {false, true}) {
    SCOPED_TRACE(otherProgramWrites ? "another program adds records" : "alone");
    TempDir dir;
    MakeSharedTable(dir, 300);
    TChild child([&](TChild& self) {
      if (self.Receive() != "go") return 0;
      TStoreTable t;
      BindShared(t, dir);
      t.Open();
      for (int i = 0; i < 8; ++i) Insert(t, 5000 + i);
      t.Close();
      self.Send("done");
      return 0;
    });
    {
      TStoreTable t;
      BindShared(t, dir);
      t.Open();
      // Reads that cache index pages of every index, then the refused Post.
      ASSERT_TRUE(t.FindKey({KeyOf(150)}));
      const int code = EngineCode([&] {
        t.Append();
        t.FieldByName("Key").SetAsString(KeyOf(17));
        t.FieldByName("Value").SetAsInteger(1);
        t.FieldByName("Code").SetAsString(CodeOf(4000));
        t.Post();
      });
      ASSERT_EQ(code, StoreCode::DuplicateKey);
      t.Cancel();
      if (otherProgramWrites) {
        child.Send("go");
        ASSERT_EQ(child.Receive(), "done");
      }
      const TSnapshot beforeClose = Snap(dir);
      t.Close();
      const TSnapshot afterClose = Snap(dir);
      for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(afterClose.files[i] == beforeClose.files[i]) << kFiles[i] << " written";
    }
    if (!otherProgramWrites) child.Send("stop");
    EXPECT_EQ(child.Wait(), 0);
    const int expected = otherProgramWrites ? 308 : 300;
    TStoreTable t;
    BindShared(t, dir);
    std::vector<std::string> log;
    t.OnRepairLog = [&](TStoreTable&, const std::string& line) { log.push_back(line); };
    EXPECT_TRUE(t.Verify()) << testing::PrintToString(log);
    t.Open();
    EXPECT_EQ(t.RecordCount(), expected);
    for (const char* index : {"", "ByTag", "ByCode"}) {
      t.SetIndexName(index);
      int walked = 0;
      for (t.First(); !t.Eof(); t.Next()) ++walked;
      EXPECT_EQ(walked, expected) << "index '" << index << "'";
    }
    t.SetIndexName("");
    for (int i = 0; i < 8 && otherProgramWrites; ++i) EXPECT_TRUE(t.FindKey({KeyOf(5000 + i)}));
    t.Close();
  }
}

}  // namespace
}  // namespace quellor::test
