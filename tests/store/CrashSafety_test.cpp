// Changes that survive a crash: a child process makes one change and is killed at every single
// write, truncation and flush of the table's files in turn (or has that call torn in half, or
// failed as on a full disk); after each, the table must open, equal the state before or the
// state after record by record, pass the file checker and take further changes correctly.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "CrashShim.h"
#include "CrashTestSupport.h"
#include "store/api/StoreError.h"
#include "store/api/StoreTb.h"
#include "store/engine/StoreInternals.h"
#include "support/TempDir.h"

namespace quellor::test {
namespace {

struct TScenario {
  const char* name;
  bool durable;  // ForceBufferFlush
  std::function<void(const std::string& folder)> run;
};

void OpenAt(TStoreTable& t, const std::string& folder, const std::string& key) {
  BindCrash(t, folder);
  t.Open();
  if (!t.FindKey({key})) throw std::runtime_error("no record " + key);
}

// Opens the crash table through a database named for it and starts a transaction there.
void BeginInDatabase(TStoreDatabase& db, TStoreTable& t, const std::string& folder) {
  db.SetDatabaseName("CrashDb");
  db.SetDirectory(folder);
  t.SetDatabaseName("CrashDb");
  t.SetTableName(kCrashTable);
  t.Open();
  db.BeginTransaction();
}

const std::vector<TScenario>& Scenarios() {
  static const std::vector<TScenario> all = {
      {"insert", false,
       [](const std::string& folder) {
         TStoreTable t;
         BindCrash(t, folder);
         t.Open();
         t.Append();
         SetRow(t, {"NEW1", "tag-new", "CNEW1", NotesOf(3, 1400), 77, 0});
         t.Post();
       }},
      {"edit with BLOB", false,
       [](const std::string& folder) {
         TStoreTable t;
         OpenAt(t, folder, CrashKey(30));
         t.Edit();
         t.FieldByName("Value").SetAsInteger(-30);
         t.FieldByName("Tag").SetAsString("moved");
         t.FieldByName("Notes").SetAsString(NotesOf(30, 2500));
         t.Post();
       }},
      {"delete", false,
       [](const std::string& folder) {
         TStoreTable t;
         OpenAt(t, folder, CrashKey(42));
         t.Delete();
       }},
      {"mixed transaction", false,
       [](const std::string& folder) {
         TStoreDatabase db;
         TStoreTable t;
         BeginInDatabase(db, t, folder);
         for (int i = 0; i < 2; ++i) {
           t.Append();
           SetRow(t, {"TX" + std::to_string(i), "tx", "CTX" + std::to_string(i),
                      NotesOf(i, 600 + 700 * i), i, 0});
           t.Post();
         }
         if (!t.FindKey({CrashKey(60)})) throw std::runtime_error("no record");
         t.Edit();
         t.FieldByName("Tag").SetAsString("tx-edited");
         t.FieldByName("Notes").SetAsString(NotesOf(60, 90));
         t.Post();
         for (int k : {63, 64}) {
           if (!t.FindKey({CrashKey(k)})) throw std::runtime_error("no record");
           t.Delete();
         }
         db.CommitTransaction();
       }},
      {"large transaction written before its commit", false,
       [](const std::string& folder) {
         // Every change of the transaction is written to the files under its journal at once.
         TStoreInternals::Engine(TStoreSession::Default()).transactionSpillBytes = 1;
         TStoreDatabase db;
         TStoreTable t;
         BeginInDatabase(db, t, folder);
         for (int i = 0; i < 3; ++i) {
           t.Append();
           SetRow(t, {"BIG" + std::to_string(i), "big", "CBIG" + std::to_string(i),
                      NotesOf(i, 500 + 900 * i), i, 0});
           t.Post();
         }
         if (!t.FindKey({CrashKey(70)})) throw std::runtime_error("no record");
         t.Edit();
         t.FieldByName("Tag").SetAsString("big-edited");
         t.FieldByName("Notes").SetAsString(NotesOf(70, 3000));
         t.Post();
         if (!t.FindKey({CrashKey(71)})) throw std::runtime_error("no record");
         t.Delete();
         db.CommitTransaction();
       }},
      {"empty", false,
       [](const std::string& folder) {
         TStoreTable t;
         BindCrash(t, folder);
         t.Open();
         t.EmptyTable();
       }},
      {"durable insert", true,
       [](const std::string& folder) {
         TStoreTable t;
         BindCrash(t, folder);
         t.Open();
         t.Append();
         SetRow(t, {"NEW2", "tag-new", "CNEW2", NotesOf(9, 900), 78, 0});
         t.Post();
       }},
  };
  return all;
}

std::string RealFolder(const std::string& folder) {
  char buffer[PATH_MAX];
  return ::realpath(folder.c_str(), buffer) ? std::string(buffer) + "/" : folder;
}

class CrashSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    TStoreSession::Default().SetForceBufferFlush(false);
    CreateCrashTable(template_.path(), 240);
    std::vector<std::string> problems;
    before_ = ReadCrashTable(template_.path(), problems);
    ASSERT_TRUE(problems.empty()) << problems.front();
  }

  // Runs the scenario in a child with the shim armed at call `at` (0: only counting); returns
  // the child's exit code (128 + 9 when killed) and the number of calls it counted.
  int RunChild(const TScenario& s, const std::string& folder, long at, int mode, long* count) {
    TChild child([&](TChild& self) {
      TStoreSession::Default().SetForceBufferFlush(s.durable);
      // A second cursor keeps the table open with warm caches through the change, so that a
      // failed change is seen through the caches it went through.
      TStoreTable holder;
      BindCrash(holder, folder);
      holder.Open();
      for (holder.First(); !holder.Eof(); holder.Next()) holder.FieldByName("Notes").AsString();
      CrashShimArm(RealFolder(folder).c_str(), at, mode);
      int code = 0;
      try {
        s.run(folder);
      } catch (const EStoreEngineError&) {
        code = 1;
      }
      long n = CrashShimCount();
      if (code == 1 && mode == kCrashFullDiskOnce) {
        // The failed change is undone in this program too: its own view is the state before.
        CrashShimDisarm();
        std::vector<std::string> problems;
        if (ReadCrashTable(folder, problems) != before_ || !problems.empty()) code = 2;
      }
      self.Send("count " + std::to_string(n));
      return code;
    });
    std::string line = child.Receive(60000);
    int code = child.Wait();
    if (count) *count = line.rfind("count ", 0) == 0 ? std::atol(line.c_str() + 6) : -1;
    return code;
  }

  // The state after the scenario, made without interruption; also the number of calls.
  std::vector<std::string> After(const TScenario& s, long& calls) {
    CopyFolder(template_.path(), work_.path());
    EXPECT_EQ(RunChild(s, work_.path(), 0, 0, &calls), 0) << s.name;
    std::vector<std::string> problems;
    auto after = ReadCrashTable(work_.path(), problems);
    EXPECT_TRUE(problems.empty()) << s.name;
    return after;
  }

  // The checks after an interrupted change: the table opens, is whole before or after, its
  // files are sound, and it takes further changes. Returns which state it is in (0 before,
  // 1 after, -1 neither).
  int CheckState(const std::string& where, const std::vector<std::string>& after) {
    std::vector<std::string> problems;
    std::vector<std::string> now;
    try {
      now = ReadCrashTable(work_.path(), problems);
      for (const auto& p : CheckTableFiles(work_.path())) problems.push_back(p);
    } catch (const std::exception& e) {
      ADD_FAILURE() << where << ": " << e.what();
      return -1;
    }
    for (const auto& p : problems) ADD_FAILURE() << where << ": " << p;
    int state = now == before_ ? 0 : now == after ? 1 : -1;
    if (state < 0) {
      ADD_FAILURE() << where << ": the table is neither as before nor as after (" << now.size()
                    << " records)";
      return state;
    }
    // Further changes: an insert gets a new id, an edit and a delete go through.
    try {
      TStoreTable t;
      BindCrash(t, work_.path());
      t.Open();
      int64_t maxId = 0;
      for (t.First(); !t.Eof(); t.Next()) maxId = std::max(maxId, t.FieldByName("Id").AsInteger());
      t.Append();
      SetRow(t, {"ZZ-LATER", "later", "CZZ", NotesOf(1, 700), 1, 0});
      t.Post();
      EXPECT_TRUE(t.FindKey({"ZZ-LATER"}));
      EXPECT_GT(t.FieldByName("Id").AsInteger(), maxId) << where;
      if (t.FindKey({CrashKey(1)})) {
        t.Edit();
        t.FieldByName("Notes").SetAsString(NotesOf(2, 1200));
        t.Post();
      }
      if (t.FindKey({CrashKey(2)})) t.Delete();
      t.Close();
      auto later = ReadCrashTable(work_.path(), problems);
      for (const auto& p : CheckTableFiles(work_.path())) problems.push_back(p);
      for (const auto& p : problems) ADD_FAILURE() << where << " (later changes): " << p;
    } catch (const std::exception& e) {
      ADD_FAILURE() << where << " (later changes): " << e.what();
    }
    return state;
  }

  void RunEveryCall(int mode) {
    for (const TScenario& s : Scenarios()) {
      long calls = 0;
      auto after = After(s, calls);
      ASSERT_GT(calls, 0) << s.name;
      ASSERT_NE(after, before_) << s.name;
      int befores = 0, afters = 0;
      for (long at = 1; at <= calls; ++at) {
        CopyFolder(template_.path(), work_.path());
        long counted = 0;
        int code = RunChild(s, work_.path(), at, mode, &counted);
        std::string where =
            std::string(s.name) + ", call " + std::to_string(at) + " of " + std::to_string(calls);
        int state = CheckState(where, after);
        if (mode == kCrashKill || mode == kCrashTear) {
          EXPECT_EQ(code, 128 + SIGKILL) << where;
        } else {
          // The failing call fails the change (and the table is as before), or the change
          // went through and the table is as after.
          EXPECT_TRUE(code == 0 || code == 1) << where << ": child " << code;
          if (code == 1) {
            EXPECT_EQ(state, 0) << where;
          } else if (code == 0) {
            EXPECT_EQ(state, 1) << where;
          }
        }
        befores += state == 0;
        afters += state == 1;
        if (HasFailure()) return;
      }
      // Killed before its journal was whole the change is lost, killed after it the change
      // is rolled back by whoever comes next (both before), or finished (after) where the
      // change cuts files: both ends are seen over the run.
      EXPECT_GT(befores, 0) << s.name;
    }
  }

  TempDir template_, work_;
  std::vector<std::string> before_;
};

TEST_F(CrashSafety, KilledAtEveryCallLeavesTheTableBeforeOrAfter) {
  RunEveryCall(kCrashKill);
}

TEST_F(CrashSafety, TornWriteAtEveryCallLeavesTheTableBeforeOrAfter) {
  RunEveryCall(kCrashTear);
}

TEST_F(CrashSafety, FullDiskAtEveryCallFailsTheChangeAndLeavesTheTableAsBefore) {
  RunEveryCall(kCrashFullDiskOnce);
}

TEST_F(CrashSafety, FullDiskFromEveryCallOnFailsTheChangeAndTheNextProgramUndoesIt) {
  RunEveryCall(kCrashFullDisk);
}

TEST_F(CrashSafety, KilledWhileUndoingAKilledChangeStillEndsBeforeOrAfter) {
  const TScenario& s = Scenarios()[3];  // the transaction
  long calls = 0;
  auto after = After(s, calls);
  TempDir crashed;
  for (long at : {calls / 3, calls / 2, calls - 1}) {
    CopyFolder(template_.path(), work_.path());
    ASSERT_EQ(RunChild(s, work_.path(), at, kCrashKill, nullptr), 128 + SIGKILL);
    CopyFolder(work_.path(), crashed.path());
    // How many calls the next program's open makes to undo it.
    auto open = [&](long killAt) {
      TChild child([&](TChild& self) {
        CrashShimArm(RealFolder(work_.path()).c_str(), killAt, kCrashKill);
        TStoreTable t;
        BindCrash(t, work_.path());
        t.Open();
        self.Send("count " + std::to_string(CrashShimCount()));
        return 0;
      });
      std::string line = child.Receive(60000);
      child.Wait();
      return line.rfind("count ", 0) == 0 ? std::atol(line.c_str() + 6) : -1L;
    };
    long undoCalls = open(0);
    ASSERT_GT(undoCalls, 0) << "nothing to undo after call " << at;
    for (long killAt = 1; killAt <= undoCalls; ++killAt) {
      CopyFolder(crashed.path(), work_.path());
      open(killAt);
      CheckState("undo of call " + std::to_string(at) + " killed at " + std::to_string(killAt),
                 after);
      if (HasFailure()) return;
    }
  }
}

TEST_F(CrashSafety, AProgramWithTheTableOpenSeesTheUndoneStateWhenItReadsOn) {
  // A reader opened the table before another program was killed in the middle of a change;
  // its next reading of something not cached resolves the journal and sees the state before.
  const TScenario& s = Scenarios()[1];  // the edit with a BLOB
  long calls = 0;
  auto after = After(s, calls);
  for (long at = 1; at <= calls; ++at) {
    CopyFolder(template_.path(), work_.path());
    TChild reader([&](TChild& self) {
      TStoreSession::Default().SetStrictChangeDetection(true);
      TStoreTable t;
      BindCrash(t, work_.path());
      t.Open();
      t.First();
      self.Send("open");
      self.Receive(60000);
      std::vector<std::string> problems;
      auto now = ReadCrashTable(work_.path(), problems);
      int code = 0;
      for (t.First(); !t.Eof(); t.Next()) ++code;
      self.Send(now == before_ ? "before" : now == after ? "after" : "neither");
      return problems.empty() && code == static_cast<int>(now.size()) ? 0 : 3;
    });
    ASSERT_EQ(reader.Receive(), "open");
    ASSERT_EQ(RunChild(s, work_.path(), at, kCrashKill, nullptr), 128 + SIGKILL);
    reader.Send("go");
    EXPECT_EQ(reader.Receive(), "before") << "call " << at;
    EXPECT_EQ(reader.Wait(), 0) << "call " << at;
  }
}

TEST_F(CrashSafety, VerifyOrRepairRunFirstAfterAKilledChangeSeeTheChangeUndone) {
  // Nobody opened the table after the kill: verify and repair find the journal the killed
  // program left and resolve it first, as an open would; they never judge or mend the half
  // written files.
  for (size_t which : {size_t{1}, size_t{3}}) {  // the edit with a BLOB, the transaction
    const TScenario& s = Scenarios()[which];
    long calls = 0;
    auto after = After(s, calls);
    TempDir crashed;
    int hot = 0;
    for (long at = 1; at <= calls; ++at) {
      const std::string where = std::string(s.name) + ", killed at call " + std::to_string(at);
      CopyFolder(template_.path(), crashed.path());
      ASSERT_EQ(RunChild(s, crashed.path(), at, kCrashKill, nullptr), 128 + SIGKILL) << where;
      // The journal's state (offset 12): 1 roll back, 2 cut; 0 nothing to do.
      const std::string journal =
          FileExists(crashed.file("crash.JNL")) ? ReadFileBytes(crashed.file("crash.JNL")) : "";
      hot += journal.size() >= 16 && (journal[12] == 1 || journal[12] == 2);
      for (bool repair : {false, true}) {
        CopyFolder(crashed.path(), work_.path());
        TStoreTable t;
        BindCrash(t, work_.path());
        std::vector<std::string> log;
        t.OnRepairLog = [&](TStoreTable&, const std::string& line) { log.push_back(line); };
        const bool sound = repair ? t.Repair() : t.Verify();
        EXPECT_TRUE(sound) << where << (repair ? ", repair: " : ", verify: ")
                           << testing::PrintToString(log);
        EXPECT_EQ(log.size(), 2u) << where << ": " << testing::PrintToString(log);
        CheckState(where + (repair ? ", repair first" : ", verify first"), after);
        if (HasFailure()) return;
      }
    }
    EXPECT_GT(hot, 0) << s.name << ": no kill left a journal to resolve";
  }
}

TEST_F(CrashSafety, AJournalWithoutItsTableIsRemovedWhenATableOfThatNameIsCreated) {
  CopyFolder(template_.path(), work_.path());
  long calls = 0;
  RunChild(Scenarios()[0], work_.path(), 0, 0, &calls);
  CopyFolder(template_.path(), work_.path());
  ASSERT_EQ(RunChild(Scenarios()[0], work_.path(), calls - 1, kCrashKill, nullptr), 128 + SIGKILL);
  ASSERT_TRUE(FileExists(work_.file("crash.JNL")));
  // The table goes (its journal with it); a new one of the same name starts clean.
  {
    TStoreTable t;
    BindCrash(t, work_.path());
    t.DeleteTable();
  }
  EXPECT_FALSE(FileExists(work_.file("crash.JNL")));
  CreateCrashTable(work_.path(), 10);
  std::vector<std::string> problems;
  EXPECT_EQ(ReadCrashTable(work_.path(), problems).size(), 9u);  // 5 was deleted
  EXPECT_TRUE(CheckTableFiles(work_.path()).empty());
}

}  // namespace
}  // namespace quellor::test
