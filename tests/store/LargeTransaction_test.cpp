// Transactions whose changes are written to the table files before their commit: what they
// wrote stands after the commit, is undone by a rollback, and other programs never read it
// while the transaction runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "CrashTestSupport.h"
#include "store/api/StoreError.h"
#include "store/api/StoreTb.h"
#include "store/engine/StoreInternals.h"
#include "store/engine/TableLocks.h"
#include "support/TempDir.h"

namespace quellor::test {
namespace {

struct TCase {
  const char* name;
  int64_t spillBytes;  // the session's threshold
  int inserts;
  bool commit;
};

const TCase kCases[] = {
    {"kept in memory, committed", int64_t{64} << 20, 300, true},
    {"kept in memory, rolled back", int64_t{64} << 20, 300, false},
    {"written at every change, committed", 1, 300, true},
    {"written at every change, rolled back", 1, 300, false},
    {"written every 64 KiB, committed", 64 << 10, 1500, true},
    {"written every 64 KiB, rolled back", 64 << 10, 1500, false},
};

class LargeTransaction : public ::testing::TestWithParam<TCase> {
 protected:
  void TearDown() override {
    TStoreInternals::Engine(TStoreSession::Default()).transactionSpillBytes =
        kDefaultTransactionSpillBytes;
  }
};

// Inserts, edits and deletes inside one transaction; returns the table as the transaction
// leaves it, read inside the transaction.
// `whileOpen` runs inside the transaction, before it ends.
std::vector<std::string> RunTransaction(const TCase& c, const std::string& folder, bool end,
                                        const std::function<void()>& whileOpen = {}) {
  TStoreInternals::Engine(TStoreSession::Default()).transactionSpillBytes = c.spillBytes;
  TStoreDatabase db;
  db.SetDatabaseName("BigDb");
  db.SetDirectory(folder);
  TStoreTable t;
  t.SetDatabaseName("BigDb");
  t.SetTableName(kCrashTable);
  t.Open();
  db.BeginTransaction();
  for (int i = 0; i < c.inserts; ++i) {
    t.Append();
    SetRow(t, {"N" + std::to_string(100000 + i), "new" + std::to_string(i % 5),
               "CN" + std::to_string(i), i % 4 == 0 ? NotesOf(i, 200 + i % 1500) : "", i, 0});
    t.Post();
  }
  for (int k = 10; k < 60; ++k) {
    if (!t.FindKey({CrashKey(k)})) continue;
    if (k % 3 == 0) {
      t.Delete();
    } else {
      t.Edit();
      t.FieldByName("Tag").SetAsString("edited");
      t.FieldByName("Notes").SetAsString(NotesOf(k, 40 * k));
      t.Post();
    }
  }
  std::vector<std::string> inside;
  for (t.First(); !t.Eof(); t.Next())
    inside.push_back(t.FieldByName("Key").AsString() + "|" + t.FieldByName("Tag").AsString() + "|" +
                     t.FieldByName("Notes").AsString());
  if (whileOpen) whileOpen();
  if (end) {
    if (c.commit)
      db.CommitTransaction();
    else
      db.RollbackTransaction();
  }
  return inside;
}

std::vector<std::string> Keys(const std::string& folder) {
  TStoreTable t;
  BindCrash(t, folder);
  t.Open();
  std::vector<std::string> rows;
  for (t.First(); !t.Eof(); t.Next())
    rows.push_back(t.FieldByName("Key").AsString() + "|" + t.FieldByName("Tag").AsString() + "|" +
                   t.FieldByName("Notes").AsString());
  return rows;
}

bool WriteRangeHeld(const std::string& indexFile) {
  int fd = ::open(indexFile.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kWriteRangeOffset;
  lock.l_len = kWriteRangeLength;
  bool held = ::fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
  ::close(fd);
  return held;
}

TEST_P(LargeTransaction, CommitKeepsEverythingAndRollbackLeavesTheTableAsBefore) {
  const TCase& c = GetParam();
  TempDir dir;
  CreateCrashTable(dir.path(), 240);
  std::vector<std::string> problems;
  const auto before = ReadCrashTable(dir.path(), problems);
  const auto beforeRows = Keys(dir.path());
  const auto inside = RunTransaction(c, dir.path(), true);
  ASSERT_NE(inside, beforeRows);
  const auto now = Keys(dir.path());
  EXPECT_EQ(now, c.commit ? inside : beforeRows);
  problems.clear();
  const auto state = ReadCrashTable(dir.path(), problems);
  for (const auto& p : problems) ADD_FAILURE() << p;
  for (const auto& p : CheckTableFiles(dir.path())) ADD_FAILURE() << p;
  if (!c.commit) {
    EXPECT_EQ(state, before);
  }
}

// One reader run per threshold: the transaction is left open while the other program reads.
class LargeTransactionReader : public LargeTransaction {};

// Another program reading while the transaction runs sees the table as before it (or is kept
// waiting), never a change that is not committed.
TEST_P(LargeTransactionReader, OtherProgramsNeverReadWhatIsNotCommitted) {
  const TCase& c = GetParam();
  TempDir dir;
  CreateCrashTable(dir.path(), 240);
  const auto beforeRows = Keys(dir.path());
  TChild child([&](TChild& self) {
    RunTransaction(c, dir.path(), false, [&] {
      self.Send("inside");
      self.Receive(60000);  // the parent has read
    });
    return 0;
  });
  ASSERT_EQ(child.Receive(60000), "inside");
  // Whether a reader is kept out: the index file's write range is held (a reader would wait
  // for its read slot until the transaction ends). Otherwise a reader reads the table as before.
  std::string outcome = "kept out";
  if (!WriteRangeHeld(dir.file("crash.IDX")))
    outcome = Keys(dir.path()) == beforeRows ? "before" : "uncommitted";
  child.Send("done");
  EXPECT_EQ(child.Wait(), 0);
  // A transaction that wrote its changes keeps readers out to its end; one that keeps them in
  // memory lets them read the table as before.
  EXPECT_EQ(outcome, c.spillBytes < (int64_t{1} << 20) ? "kept out" : "before");
  // The transaction ended with its program without a commit: nothing of it stays.
  EXPECT_EQ(Keys(dir.path()), beforeRows);
}

// Edits that move keys all over an index change few record bytes but many index pages: those
// count towards the bound too, so the transaction writes them out (and keeps readers out)
// before its changed pages alone grow large.
TEST(LargeTransactionIndexPages, ChangedIndexPagesCountTowardsTheBound) {
  TempDir dir;
  CreateCrashTable(dir.path(), 6000);
  const auto beforeRows = Keys(dir.path());
  TChild child([&](TChild& self) {
    // 300 records of about 100 bytes stay far below the bound; the ByCode leaves they leave
    // (each edit moves its entry to the end of the index) reach it.
    TStoreInternals::Engine(TStoreSession::Default()).transactionSpillBytes = 96 << 10;
    TStoreDatabase db;
    db.SetDatabaseName("PagesDb");
    db.SetDirectory(dir.path());
    TStoreTable t;
    t.SetDatabaseName("PagesDb");
    t.SetTableName(kCrashTable);
    t.Open();
    db.BeginTransaction();
    for (int k = 0; k < 6000; k += 20) {
      if (!t.FindKey({CrashKey(k)})) return 1;
      t.Edit();
      t.FieldByName("Code").SetAsString("X" + CrashKey(k));
      t.Post();
    }
    self.Send("inside");
    self.Receive(60000);
    return 0;
  });
  ASSERT_EQ(child.Receive(60000), "inside");
  EXPECT_TRUE(WriteRangeHeld(dir.file("crash.IDX")));
  child.Send("done");
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(Keys(dir.path()), beforeRows);
}

// The committed case of each threshold (the reader test leaves its transaction open anyway).
std::vector<TCase> OnePerThreshold() {
  std::vector<TCase> cases;
  for (const TCase& c : kCases)
    if (c.commit) cases.push_back(c);
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<TCase>& info) {
  std::string name;
  for (char ch : std::string(info.param.name))
    name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Thresholds, LargeTransaction, ::testing::ValuesIn(kCases), CaseName);
INSTANTIATE_TEST_SUITE_P(Thresholds, LargeTransactionReader, ::testing::ValuesIn(OnePerThreshold()),
                         CaseName);

}  // namespace
}  // namespace quellor::test
