// Locking, change detection and transactions between real processes: each test forks helper
// processes (ChildProcess.h) that open the same table files.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "ChildProcess.h"
#include "LockTestSupport.h"
#include "store/engine/HolderBoard.h"
#include "store/engine/StoreInternals.h"
#include "store/engine/TableLocks.h"
#include "store/os/FileList.h"
#include "store/os/PhysicalFile.h"

namespace quellor::test {
namespace {

using Clock = std::chrono::steady_clock;

// Restores the default session's settings after each test.
class Locking : public ::testing::Test {
 protected:
  void TearDown() override {
    TStoreSession& s = TStoreSession::Default();
    s.SetLockRetryCount(15);
    s.SetLockWaitTime(100);
    s.SetStrictChangeDetection(false);
  }
  TempDir dir_;
};

TEST_F(Locking, AnotherProcessEditingTheRecordFailsWith10258AfterTheRetries) {
  MakeSharedTable(dir_, 3);
  struct Case {
    int retries, waitMs;
  };
  for (Case c : {Case{15, 100}, Case{4, 50}}) {
    SCOPED_TRACE(c.retries);
    TChild child([&](TChild& self) {
      TStoreSession::Default().SetLockRetryCount(c.retries);
      TStoreSession::Default().SetLockWaitTime(c.waitMs);
      self.Receive();  // the parent edits K00001
      TStoreTable table;
      BindShared(table, dir_);
      table.Open();
      CHILD_CHECK(table.FindKey({KeyOf(1)}));
      auto start = Clock::now();
      int code = EngineCode([&] { table.Edit(); });
      self.Send(std::to_string(code) + " " + std::to_string(MillisecondsSince(start)));
      CHILD_CHECK(table.State() == TDataSetState::Browse);
      // Another record is free.
      CHILD_CHECK(table.FindKey({KeyOf(2)}));
      table.Edit();
      table.FieldByName("Value").SetAsInteger(22);
      table.Post();
      self.Receive();  // the parent cancelled: the record is free again
      CHILD_CHECK(table.FindKey({KeyOf(1)}));
      table.Edit();
      table.FieldByName("Value").SetAsInteger(11);
      table.Post();
      return 0;
    });
    TStoreTable table;
    BindShared(table, dir_);
    table.Open();
    ASSERT_TRUE(table.FindKey({KeyOf(1)}));
    table.Edit();
    child.Send("go");
    std::string answer = child.Receive();
    int code = 0;
    long long elapsed = 0;
    ASSERT_EQ(std::sscanf(answer.c_str(), "%d %lld", &code, &elapsed), 2) << answer;
    EXPECT_EQ(code, StoreCode::RecordLocked);
    // The retries waited their time, and their count ended the wait (the upper bound only
    // catches a hang).
    EXPECT_GE(elapsed, c.retries * c.waitMs * 9 / 10);
    EXPECT_LT(elapsed, c.retries * c.waitMs + 20000);
    table.Cancel();
    child.Send("free");
    ASSERT_EQ(child.Wait(), 0);
    table.Refresh();
    ASSERT_TRUE(table.FindKey({KeyOf(1)}));
    EXPECT_EQ(table.FieldByName("Value").AsInteger(), 11);
    ASSERT_TRUE(table.FindKey({KeyOf(2)}));
    EXPECT_EQ(table.FieldByName("Value").AsInteger(), 22);
    // Back for the next case.
    for (int i : {1, 2}) {
      ASSERT_TRUE(table.FindKey({KeyOf(i)}));
      table.Edit();
      table.FieldByName("Value").SetAsInteger(i);
      table.Post();
    }
    table.Close();
  }
}

TEST_F(Locking, SecondCursorOfTheProcessIsRefusedAtOnce) {
  MakeSharedTable(dir_, 3);
  TStoreTable one, two;
  BindShared(one, dir_);
  BindShared(two, dir_);
  one.Open();
  two.Open();
  ASSERT_TRUE(one.FindKey({KeyOf(0)}));
  ASSERT_TRUE(two.FindKey({KeyOf(0)}));
  one.Edit();
  // A retry would first wait half a minute: a refusal well before that made none.
  TStoreSession::Default().SetLockRetryCount(1);
  TStoreSession::Default().SetLockWaitTime(30000);
  auto start = Clock::now();
  EXPECT_EQ(EngineCode([&] { two.Edit(); }), StoreCode::RecordLocked);
  EXPECT_LT(MillisecondsSince(start), 30000);
  EXPECT_EQ(EngineCode([&] { two.Delete(); }), StoreCode::RecordLocked);
  one.Cancel();
  two.Edit();
  two.Cancel();
}

TEST_F(Locking, TryEditIsRefusedAtOnceAndNamesTheUserWhoEditsTheRecord) {
  MakeSharedTable(dir_, 3);
  TChild child([&](TChild& self) {
    TStoreSession::Default().SetLockRetryCount(20);
    TStoreSession::Default().SetLockWaitTime(500);  // a wait would take ten seconds
    self.Receive();                                 // the parent (anna) edits K00001
    TStoreTable table;
    BindShared(table, dir_);
    table.Open();
    CHILD_CHECK(table.FindKey({KeyOf(1)}));
    auto start = Clock::now();
    bool took = table.TryEdit();
    long long elapsed = MillisecondsSince(start);
    CHILD_CHECK(table.State() == TDataSetState::Browse);
    self.Send(std::string(took ? "took" : "refused") + " " + std::to_string(elapsed) + " " +
              table.RecordHolder());
    self.Receive();  // the parent cancelled: free, and nobody is named any more
    CHILD_CHECK(table.TryEdit());
    CHILD_CHECK(table.RecordHolder().empty());
    table.Cancel();
    return 0;
  });
  TStoreSession::Default().SetUserName("anna");
  TStoreTable table;
  BindShared(table, dir_);
  table.Open();
  ASSERT_TRUE(table.FindKey({KeyOf(1)}));
  table.Edit();
  child.Send("go");
  std::string answer = child.Receive();
  char took[16] = {}, holder[64] = {};
  long long elapsed = 0;
  ASSERT_EQ(std::sscanf(answer.c_str(), "%15s %lld %63s", took, &elapsed, holder), 3) << answer;
  EXPECT_STREQ(took, "refused");
  EXPECT_LT(elapsed, 400);
  EXPECT_STREQ(holder, "anna");
  // The board beside the data file names the holder while the record is held.
  EXPECT_NE(ReadFileBytes(THolderBoard::BoardName(dir_.file("shared.DAT"))).find("anna"),
            std::string::npos);
  table.Cancel();
  EXPECT_EQ(ReadFileBytes(THolderBoard::BoardName(dir_.file("shared.DAT"))).find("anna"),
            std::string::npos);
  child.Send("free");
  EXPECT_EQ(child.Wait(), 0);
  TStoreSession::Default().SetUserName(CurrentUserName());
}

TEST_F(Locking, ASecondCursorOfTheProgramIsToldItsOwnUser) {
  MakeSharedTable(dir_, 3);
  TStoreSession::Default().SetUserName("bert");
  TStoreTable one, two;
  BindShared(one, dir_);
  BindShared(two, dir_);
  one.Open();
  two.Open();
  ASSERT_TRUE(one.FindKey({KeyOf(0)}));
  ASSERT_TRUE(two.FindKey({KeyOf(0)}));
  one.Edit();
  EXPECT_FALSE(two.TryEdit());
  EXPECT_EQ(two.RecordHolder(), "bert");
  EXPECT_EQ(EngineCode([&] { two.Edit(); }), StoreCode::RecordLocked);  // Edit still raises
  EXPECT_EQ(two.RecordHolder(), "bert");
  one.Cancel();
  EXPECT_TRUE(two.TryEdit());
  two.Cancel();
  TStoreSession::Default().SetUserName(CurrentUserName());
}

TEST(HolderBoard, NamesOnlyTheRecordOfItsEntry) {
  TempDir dir;
  EXPECT_EQ(THolderBoard::BoardName("/a/cracks.DAT"), "/a/cracks.WHO");
  EXPECT_EQ(THolderBoard::BoardName("/a.b/cracks"), "/a.b/cracks.WHO");
  THolderBoard board(dir.file("t.DAT"));
  EXPECT_EQ(board.Holder(7), "");  // no board yet
  board.Note(7, "anna");
  board.Note(9, std::string(80, 'x'));  // cut to 60 bytes
  EXPECT_EQ(board.Holder(7), "anna");
  EXPECT_EQ(board.Holder(9), std::string(60, 'x'));
  // Another record sharing the entry: that one is named, the first is not told.
  board.Note(7 + kHolderBoardEntries, "bert");
  EXPECT_EQ(board.Holder(7), "");
  EXPECT_EQ(board.Holder(7 + kHolderBoardEntries), "bert");
  board.Clear(7);  // not its entry any more: stays
  EXPECT_EQ(board.Holder(7 + kHolderBoardEntries), "bert");
  board.Clear(7 + kHolderBoardEntries);
  EXPECT_EQ(board.Holder(7 + kHolderBoardEntries), "");
  EXPECT_LE(ReadFileBytes(dir.file("t.WHO")).size(),
            static_cast<size_t>(kHolderBoardEntries * kHolderEntrySize));
}

TEST_F(Locking, ReleasingALockThatIsNotHeldFailsWith10242) {
  MakeSharedTable(dir_, 1);
  TFileList& list = TFileList::Instance();
  auto data = list.OpenDisk(dir_.file("shared.DAT"), false, "shared.DAT");
  auto index = list.OpenDisk(dir_.file("shared.IDX"), false, "shared.DAT");
  TTableLocks locks(TStoreInternals::Engine(TStoreSession::Default()), "shared.DAT", true);
  locks.SetFiles(data, index, nullptr);
  struct Case {
    const char* what;
    std::function<void()> call;
  };
  std::vector<Case> cases = {
      {"read slots", [&] { locks.ReleaseReadSlots(); }},
      {"data write lock", [&] { locks.ReleaseDataWriteLock(); }},
      {"write range", [&] { locks.ReleaseWriteRange(); }},
      {"record", [&] { locks.UnlockRecord(7, &locks); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(EngineCode(c.call), StoreCode::CannotUnlock);
  }
  // Taken and released once: the second release fails.
  locks.LockRecord(7, &locks);
  locks.UnlockRecord(7, &locks);
  EXPECT_EQ(EngineCode([&] { locks.UnlockRecord(7, &locks); }), StoreCode::CannotUnlock);
  locks.AcquireDataWriteLock();
  locks.AcquireWriteRange();
  locks.ReleaseWriteRange();
  locks.ReleaseDataWriteLock();
  EXPECT_EQ(EngineCode([&] { locks.ReleaseDataWriteLock(); }), StoreCode::CannotUnlock);
}

TEST_F(Locking, ExclusiveOpenAgainstAnotherProcessFailsWith11013) {
  MakeSharedTable(dir_, 2);
  struct Case {
    bool childExclusive, parentExclusive;
    int expected;
  };
  for (Case c :
       {Case{false, true, StoreCode::AccessDenied}, Case{true, false, StoreCode::AccessDenied},
        Case{true, true, StoreCode::AccessDenied}, Case{false, false, 0}}) {
    SCOPED_TRACE(std::to_string(c.childExclusive) + std::to_string(c.parentExclusive));
    TChild child([&](TChild& self) {
      TStoreTable table;
      BindShared(table, dir_);
      table.SetExclusive(c.childExclusive);
      table.Open();
      self.Send("open");
      self.Receive();
      return 0;
    });
    ASSERT_EQ(child.Receive(), "open");
    TStoreTable table;
    BindShared(table, dir_);
    table.SetExclusive(c.parentExclusive);
    try {
      table.Open();
      EXPECT_EQ(c.expected, 0);
    } catch (const EStoreEngineError& e) {
      EXPECT_EQ(e.ErrorCode(), c.expected);
      EXPECT_STREQ(e.what(), "Store Engine Error # 11013 Access denied to table 'shared.DAT'");
    }
    table.Close();
    child.Send("close");
    ASSERT_EQ(child.Wait(), 0);
    // The other program is gone: the exclusive open works.
    table.SetExclusive(true);
    table.Open();
    table.Close();
  }
}

TEST_F(Locking, AReaderWaitsForAWritersRange) {
  MakeSharedTable(dir_, 5);
  // The child stands for a writer at work: it holds the write range of the index file.
  TChild child([&](TChild& self) {
    auto index = TPhysicalFile::Open(dir_.file("shared.IDX"), false, "shared.DAT");
    CHILD_CHECK(index->Lock(kWriteRangeOffset, kWriteRangeLength));
    self.Send("writing");
    // The writer works a while: a reader that comes meanwhile has to wait for it.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    const auto released = Clock::now();
    CHILD_CHECK(index->Unlock(kWriteRangeOffset, kWriteRangeLength));
    self.Send(std::to_string(released.time_since_epoch().count()));
    self.Receive();
    return 0;
  });
  ASSERT_EQ(child.Receive(), "writing");
  TStoreTable table;
  BindShared(table, dir_);
  table.Open();  // reads headers and the first index page: needs a read slot
  const auto opened = Clock::now();
  // The open ended only after the writer had let the range go (one clock for every process).
  const std::string released = child.Receive();
  ASSERT_FALSE(released.empty());
  EXPECT_GT(opened.time_since_epoch().count(), std::stoll(released));
  EXPECT_EQ(table.RecordCount(), 5);
  EXPECT_EQ(table.FieldByName("Key").AsString(), KeyOf(0));
  child.Send("done");
  EXPECT_EQ(child.Wait(), 0);
}

TEST_F(Locking, ReadersHoldDifferentBytesAndAWriterWaitsForThem) {
  MakeSharedTable(dir_, 5);
  // Two readers of two processes take read slots at once; a writer cannot take the range
  // while either holds one.
  TStoreSession& session = TStoreSession::Default();
  TFileList& list = TFileList::Instance();
  TChild child([&](TChild& self) {
    auto index = TFileList::Instance().OpenDisk(dir_.file("shared.IDX"), false, "shared.DAT");
    auto data = TFileList::Instance().OpenDisk(dir_.file("shared.DAT"), false, "shared.DAT");
    TTableLocks locks(TStoreInternals::Engine(TStoreSession::Default()), "shared.DAT", true);
    locks.SetFiles(data, index, nullptr);
    locks.AcquireReadSlots();
    self.Send("reading");
    self.Receive();
    locks.ReleaseReadSlots();
    self.Send("done");
    self.Receive();
    return 0;
  });
  ASSERT_EQ(child.Receive(), "reading");
  auto index = list.OpenDisk(dir_.file("shared.IDX"), false, "shared.DAT");
  auto data = list.OpenDisk(dir_.file("shared.DAT"), false, "shared.DAT");
  TTableLocks reader(TStoreInternals::Engine(session), "shared.DAT", true);
  reader.SetFiles(data, index, nullptr);
  reader.AcquireReadSlots();  // at once: readers do not exclude one another
  reader.ReleaseReadSlots();
  // A writer's range conflicts with the child's slot.
  auto other = TPhysicalFile::Open(dir_.file("shared.IDX"), false, "shared.DAT");
  EXPECT_FALSE(other->Lock(kWriteRangeOffset, kWriteRangeLength));
  child.Send("release");
  ASSERT_EQ(child.Receive(), "done");
  EXPECT_TRUE(other->Lock(kWriteRangeOffset, kWriteRangeLength));
  EXPECT_TRUE(other->Unlock(kWriteRangeOffset, kWriteRangeLength));
  child.Send("end");
  EXPECT_EQ(child.Wait(), 0);
}

TEST_F(Locking, RefreshShowsAnotherProcessesInsertAndUncachedRecordsShowNewContents) {
  const int count = 2000;
  MakeSharedTable(dir_, count);
  TChild child([&](TChild& self) {
    self.Receive();
    TStoreTable table;
    BindShared(table, dir_);
    table.Open();
    table.Append();
    table.FieldByName("Key").SetAsString("K99999");
    table.FieldByName("Value").SetAsInteger(-1);
    table.FieldByName("Tag").SetAsString("new");
    table.FieldByName("Code").SetAsString("NEW");
    table.Post();
    CHILD_CHECK(table.FindKey({KeyOf(1900)}));
    table.Edit();
    table.FieldByName("Value").SetAsInteger(19000);
    table.Post();
    return 0;
  });
  TStoreTable table;
  BindShared(table, dir_);
  table.Open();  // caches the first records and the first index pages
  EXPECT_EQ(table.FieldByName("Key").AsString(), KeyOf(0));
  child.Send("go");
  ASSERT_EQ(child.Wait(), 0);
  // Record 1900 was never read here: its index page and record come from the files, after the
  // counters showed the change.
  ASSERT_TRUE(table.FindKey({KeyOf(1900)}));
  EXPECT_EQ(table.FieldByName("Value").AsInteger(), 19000);
  table.Refresh();
  EXPECT_EQ(table.RecordCount(), count + 1);
  table.Last();
  EXPECT_EQ(table.FieldByName("Key").AsString(), "K99999");
  table.SetIndexName("ByCode");
  table.Last();
  EXPECT_EQ(table.FieldByName("Code").AsString(), "NEW");
}

TEST_F(Locking, StrictChangeDetectionBothWays) {
  MakeSharedTable(dir_, 3);
  // Without strict detection a record this program has cached is shown as cached until
  // something is locked or read from the files; with it every move reads the counters first.
  for (bool strict : {false, true}) {
    SCOPED_TRACE(strict);
    TStoreSession::Default().SetStrictChangeDetection(strict);
    TChild child([&](TChild& self) {
      self.Receive();
      TStoreTable table;
      BindShared(table, dir_);
      table.Open();
      CHILD_CHECK(table.FindKey({KeyOf(1)}));
      table.Edit();
      table.FieldByName("Value").SetAsInteger(strict ? 1001 : 1000);
      table.Post();
      return 0;
    });
    TStoreTable table;
    BindShared(table, dir_);
    table.Open();
    ASSERT_TRUE(table.FindKey({KeyOf(1)}));
    int64_t before = table.FieldByName("Value").AsInteger();
    child.Send("go");
    ASSERT_EQ(child.Wait(), 0);
    table.First();
    table.Next();
    EXPECT_EQ(table.FieldByName("Value").AsInteger(), strict ? 1001 : before);
    // Either way, taking a lock notices the change: the edit fails with 8708 ...
    if (!strict) {
      EXPECT_EQ(EngineCode([&] { table.Edit(); }), StoreCode::RecordChanged);
      // ... and after that the table shows what the files hold.
      table.Refresh();
      EXPECT_EQ(table.FieldByName("Value").AsInteger(), 1000);
    }
    table.Close();
  }
}

// The table's three files, byte for byte.
std::string FileImage(const TempDir& dir) {
  return ReadFileBytes(dir.file("shared.DAT")) + "|" + ReadFileBytes(dir.file("shared.IDX"));
}

TEST_F(Locking, RolledBackTransactionLeavesTheTableAsItWasAndOthersNeverSeeIt) {
  MakeSharedTable(dir_, 3);
  const std::string before = FileImage(dir_);
  TChild child([&](TChild& self) {
    self.Receive();  // the parent inserted 10 records in its transaction
    TStoreTable table;
    BindShared(table, dir_);
    table.Open();
    CHILD_CHECK(table.RecordCount() == 3);
    CHILD_CHECK(!table.FindKey({"N00005"}));
    table.SetIndexName("ByCode");
    int seen = 0;
    for (table.First(); !table.Eof(); table.Next()) ++seen;
    CHILD_CHECK(seen == 3);
    self.Send("checked");
    self.Receive();  // rolled back
    table.Refresh();
    CHILD_CHECK(table.RecordCount() == 3);
    table.SetIndexName("");
    CHILD_CHECK(!table.FindKey({"N00005"}));
    return 0;
  });
  TStoreDatabase db;
  db.SetDatabaseName("Shared");
  db.SetDirectory(dir_.path());
  TStoreTable table;
  table.SetDatabaseName("Shared");
  table.SetTableName(kSharedTable);
  table.Open();
  db.BeginTransaction();
  EXPECT_TRUE(db.InTransaction());
  for (int i = 0; i < 10; ++i) {
    table.Append();
    char key[16];
    std::snprintf(key, sizeof key, "N%05d", i);
    table.FieldByName("Key").SetAsString(key);
    table.FieldByName("Tag").SetAsString("tx");
    table.FieldByName("Code").SetAsString(std::string("X") + key);
    table.Post();
  }
  EXPECT_EQ(table.RecordCount(), 13);
  EXPECT_TRUE(table.FindKey({"N00005"}));
  EXPECT_EQ(FileImage(dir_), before);  // nothing reached the files
  child.Send("look");
  EXPECT_EQ(child.Receive(), "checked");
  db.RollbackTransaction();
  EXPECT_FALSE(db.InTransaction());
  EXPECT_EQ(FileImage(dir_), before);
  table.Refresh();
  EXPECT_EQ(table.RecordCount(), 3);
  EXPECT_FALSE(table.FindKey({"N00005"}));
  for (const char* index : {"", "ByTag", "ByCode"}) {
    SCOPED_TRACE(index);
    table.SetIndexName(index);
    int seen = 0;
    for (table.First(); !table.Eof(); table.Next()) ++seen;
    EXPECT_EQ(seen, 3);
  }
  child.Send("done");
  EXPECT_EQ(child.Wait(), 0);
}

TEST_F(Locking, CommittedTransactionIsWrittenAndSeenByOthers) {
  MakeSharedTable(dir_, 3);
  TChild child([&](TChild& self) {
    self.Receive();  // the parent closed its table inside the transaction
    {
      // The engine keeps the table open until the transaction ends: no exclusive open here.
      TStoreTable other;
      BindShared(other, dir_);
      other.SetExclusive(true);
      self.Send(std::to_string(EngineCode([&] { other.Open(); })));
    }
    self.Receive();  // committed, and the parent's engine let the table go
    TStoreTable table;
    BindShared(table, dir_);
    table.SetExclusive(true);
    table.Open();
    CHILD_CHECK(table.RecordCount() == 3);
    CHILD_CHECK(table.FindKey({"NEW"}));
    CHILD_CHECK(!table.FindKey({KeyOf(0)}));
    CHILD_CHECK(table.FindKey({KeyOf(1)}));
    CHILD_CHECK(table.FieldByName("Value").AsInteger() == 77);
    table.SetIndexName("ByCode");
    int seen = 0;
    for (table.First(); !table.Eof(); table.Next()) ++seen;
    CHILD_CHECK(seen == 3);
    return 0;
  });
  TStoreDatabase db;
  db.SetDatabaseName("Shared");
  db.SetDirectory(dir_.path());
  TStoreTable table;
  table.SetDatabaseName("Shared");
  table.SetTableName(kSharedTable);
  table.Open();
  db.BeginTransaction();
  table.Append();
  table.FieldByName("Key").SetAsString("NEW");
  table.FieldByName("Code").SetAsString("NEWCODE");
  table.Post();
  ASSERT_TRUE(table.FindKey({KeyOf(0)}));
  table.Delete();
  ASSERT_TRUE(table.FindKey({KeyOf(1)}));
  table.Edit();
  table.FieldByName("Value").SetAsInteger(77);
  table.Post();
  table.Close();
  child.Send("probe");
  EXPECT_EQ(child.Receive(), std::to_string(StoreCode::AccessDenied));
  db.CommitTransaction();
  child.Send("check");
  EXPECT_EQ(child.Wait(), 0);
}

TEST_F(Locking, AnotherProcessCannotWriteWhileATransactionRunsButReads) {
  MakeSharedTable(dir_, 3);
  TChild child([&](TChild& self) {
    self.Receive();
    TStoreTable other;
    BindShared(other, dir_);
    other.Open();
    CHILD_CHECK(other.RecordCount() == 3);
    // The data write lock of the transaction: a writer waits, and goes on once it ends.
    other.Append();
    other.FieldByName("Key").SetAsString("OTHER");
    other.FieldByName("Code").SetAsString("OTHER");
    self.Send("posting");
    other.Post();
    self.Send("posted");
    other.Refresh();
    CHILD_CHECK(other.RecordCount() == 5);
    return 0;
  });
  TStoreDatabase db;
  db.SetDatabaseName("Shared");
  db.SetDirectory(dir_.path());
  TStoreTable table;
  table.SetDatabaseName("Shared");
  table.SetTableName(kSharedTable);
  table.Open();
  db.BeginTransaction();
  table.Append();
  table.FieldByName("Key").SetAsString("TX");
  table.FieldByName("Code").SetAsString("TX");
  table.Post();
  child.Send("go");
  ASSERT_EQ(child.Receive(), "posting");
  // While the transaction runs the other program's post does not get through, however long it
  // is given; once the transaction is committed it does.
  EXPECT_EQ(child.Receive(300), "");
  db.CommitTransaction();
  EXPECT_EQ(child.Receive(), "posted");
  EXPECT_EQ(child.Wait(), 0);
  table.Refresh();
  EXPECT_EQ(table.RecordCount(), 5);
}

TEST_F(Locking, TransactionMessagesNameTheDatabase) {
  MakeSharedTable(dir_, 1);
  TStoreDatabase db;
  db.SetDatabaseName("Sites");
  db.SetDirectory(dir_.path());
  struct Case {
    std::function<void()> call;
    std::string message;
  };
  std::vector<Case> cases = {
      {[&] { db.CommitTransaction(); }, "Database Sites has no active transaction."},
      {[&] { db.RollbackTransaction(); }, "Database Sites has no active transaction."},
      {[&] {
         db.BeginTransaction();
         db.BeginTransaction();
       },
       "Database Sites already has an active transaction."},
  };
  for (const Case& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const EDatabaseError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
  EXPECT_TRUE(db.InTransaction());
  db.CommitTransaction();
  EXPECT_FALSE(db.InTransaction());
}

TEST_F(Locking, KilledProcessLeavesTheTableUsableWithoutItsUncommittedChanges) {
  MakeSharedTable(dir_, 3);
  TChild child([&](TChild& self) {
    TStoreDatabase db;
    db.SetDatabaseName("Shared");
    db.SetDirectory(dir_.path());
    TStoreTable table;
    table.SetDatabaseName("Shared");
    table.SetTableName(kSharedTable);
    table.Open();
    db.BeginTransaction();
    for (int i = 0; i < 5; ++i) {
      table.Append();
      table.FieldByName("Key").SetAsString("DEAD" + std::to_string(i));
      table.FieldByName("Code").SetAsString("DEAD" + std::to_string(i));
      table.Post();
    }
    CHILD_CHECK(table.FindKey({KeyOf(1)}));
    table.Edit();  // holds the record lock
    table.FieldByName("Value").SetAsInteger(-5);
    self.Send("holding");
    for (;;) pause();  // until killed
  });
  ASSERT_EQ(child.Receive(), "holding");
  child.Kill(SIGKILL);
  EXPECT_EQ(child.Wait(), 128 + SIGKILL);
  TStoreTable table;
  BindShared(table, dir_);
  table.Open();
  EXPECT_EQ(table.RecordCount(), 3);
  EXPECT_FALSE(table.FindKey({"DEAD0"}));
  ASSERT_TRUE(table.FindKey({KeyOf(1)}));
  TStoreSession::Default().SetLockRetryCount(0);  // the first try must get the record
  table.Edit();                                   // the record lock went with the process
  table.FieldByName("Value").SetAsInteger(5);
  table.Post();
  table.Append();  // and so did the data write lock
  table.FieldByName("Key").SetAsString("ALIVE");
  table.FieldByName("Code").SetAsString("ALIVE");
  table.Post();
  EXPECT_EQ(table.RecordCount(), 4);
}

}  // namespace
}  // namespace quellor::test

namespace quellor::test {
namespace {

TEST_F(Locking, EditsByKeyInsideATransactionAfterInsertsInAnother) {
  MakeSharedTable(dir_, 0);
  TStoreDatabase db;
  db.SetDatabaseName("Shared");
  db.SetDirectory(dir_.path());
  TStoreTable table;
  table.SetDatabaseName("Shared");
  table.SetTableName(kSharedTable);
  table.Open();
  db.BeginTransaction();
  for (int i = 0; i < 500; ++i) {
    table.Append();
    table.FieldByName("Key").SetAsString(KeyOf(i));
    table.FieldByName("Code").SetAsString(CodeOf(i));
    table.Post();
  }
  db.CommitTransaction();
  db.BeginTransaction();
  for (int i = 0; i < 500; i += 7) {
    ASSERT_TRUE(table.FindKey({KeyOf(i)}));
    table.Edit();
    table.FieldByName("Value").SetAsInteger(i * 2);
    table.Post();
  }
  db.CommitTransaction();
  table.Refresh();
  for (int i = 0; i < 500; i += 7) {
    ASSERT_TRUE(table.FindKey({KeyOf(i)}));
    EXPECT_EQ(table.FieldByName("Value").AsInteger(), i * 2);
  }
  EXPECT_EQ(table.RecordCount(), 500);
}

}  // namespace
}  // namespace quellor::test
