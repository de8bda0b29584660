// Locking under load, between real processes (slow): several processes change one table at
// once, and a lock held longer than the bounded waits ends in an error rather than a hang.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <random>
#include <sstream>

#include "ChildProcess.h"
#include "LockTestSupport.h"
#include "store/engine/TableLocks.h"
#include "store/os/PhysicalFile.h"

namespace quellor::test {
namespace {

using Clock = std::chrono::steady_clock;

class Locking : public ::testing::Test {
 protected:
  TempDir dir_;
};

constexpr int kWorkers = 4;
constexpr int kOperations = 2000;
constexpr int kSharedRecords = 20;

bool Retryable(const EStoreEngineError& e) {
  return e.ErrorCode() == StoreCode::RecordLocked || e.ErrorCode() == StoreCode::RecordChanged;
}

// One worker: increments counters of the shared records, inserts records of its own and deletes
// some of them again, retrying whatever another process's lock refused. It reports
// "increments of each shared record, inserted, deleted".
int Worker(TChild& self, const TempDir& dir, int worker) {
  std::mt19937 random(static_cast<unsigned>(worker) * 7919u + 17u);
  TStoreTable table;
  BindShared(table, dir);
  table.Open();
  self.Send("ready");
  self.Receive();  // all start together
  std::vector<int> increments(kSharedRecords, 0);
  std::vector<std::string> mine;
  int inserted = 0, deleted = 0, retries = 0;
  for (int op = 0; op < kOperations; ++op) {
    int kind = static_cast<int>(random() % 10);
    if (kind < 5) {
      int k = static_cast<int>(random() % kSharedRecords);
      for (;;) {
        try {
          CHILD_CHECK(table.FindKey({KeyOf(k)}));
          table.Edit();
          table.FieldByName("Value").SetAsInteger(table.FieldByName("Value").AsInteger() + 1);
          table.Post();
          ++increments[static_cast<size_t>(k)];
          break;
        } catch (const EStoreEngineError& e) {
          if (!Retryable(e)) throw;
          if (table.State() != TDataSetState::Browse) table.Cancel();
          ++retries;
        }
      }
    } else if (kind < 8 || mine.empty()) {
      std::string key = "W" + std::to_string(worker) + "-" + std::to_string(inserted);
      table.Append();
      table.FieldByName("Key").SetAsString(key);
      table.FieldByName("Value").SetAsInteger(0);
      table.FieldByName("Tag").SetAsString("w" + std::to_string(inserted % 5));
      table.FieldByName("Code").SetAsString("P" + key);
      for (;;) {
        try {
          table.Post();
          break;
        } catch (const EStoreEngineError& e) {
          if (!Retryable(e)) throw;
          ++retries;
        }
      }
      mine.push_back(key);
      ++inserted;
    } else {
      size_t pick = random() % mine.size();
      for (;;) {
        try {
          CHILD_CHECK(table.FindKey({mine[pick]}));
          table.Delete();
          break;
        } catch (const EStoreEngineError& e) {
          if (!Retryable(e)) throw;
          ++retries;
        }
      }
      mine.erase(mine.begin() + static_cast<long>(pick));
      ++deleted;
    }
  }
  std::ostringstream report;
  for (int n : increments) report << n << ' ';
  report << inserted << ' ' << deleted << ' ' << retries;
  self.Send(report.str());
  return 0;
}

TEST_F(Locking, FourProcessesChangingOneTableLoseNoUpdate) {
  MakeSharedTable(dir_, kSharedRecords);
  auto start = Clock::now();
  std::vector<std::unique_ptr<TChild>> workers;
  for (int w = 0; w < kWorkers; ++w)
    workers.push_back(
        std::make_unique<TChild>([&, w](TChild& self) { return Worker(self, dir_, w); }));
  for (auto& w : workers) ASSERT_EQ(w->Receive(), "ready");
  for (auto& w : workers) w->Send("go");
  std::vector<int64_t> increments(kSharedRecords, 0);
  int64_t inserted = 0, deleted = 0, retries = 0;
  for (auto& w : workers) {
    std::string report = w->Receive(110000);
    ASSERT_FALSE(report.empty()) << "a worker did not finish";
    std::istringstream in(report);
    for (auto& n : increments) {
      int64_t v = 0;
      in >> v;
      n += v;
    }
    int64_t i = 0, d = 0, r = 0;
    in >> i >> d >> r;
    inserted += i;
    deleted += d;
    retries += r;
    EXPECT_EQ(w->Wait(10000), 0);
  }
  std::printf("%d processes x %d operations: %lld ms, %lld inserted, %lld deleted, %lld retries\n",
              kWorkers, kOperations, static_cast<long long>(MillisecondsSince(start)),
              static_cast<long long>(inserted), static_cast<long long>(deleted),
              static_cast<long long>(retries));

  TStoreTable table;
  BindShared(table, dir_);
  table.SetExclusive(true);  // every worker let the table go
  table.Open();
  for (int k = 0; k < kSharedRecords; ++k) {
    SCOPED_TRACE(k);
    ASSERT_TRUE(table.FindKey({KeyOf(k)}));
    EXPECT_EQ(table.FieldByName("Value").AsInteger(), k + increments[static_cast<size_t>(k)]);
  }
  const int expected = static_cast<int>(kSharedRecords + inserted - deleted);
  EXPECT_EQ(table.RecordCount(), expected);
  std::multiset<std::string> primary;
  struct Index {
    const char* name;
    const char* field;
  };
  for (Index index : {Index{"", ""}, Index{"ByTag", "Tag"}, Index{"ByCode", "Code"}}) {
    SCOPED_TRACE(index.name);
    bool ordered = false;
    auto keys = WalkKeys(table, index.name, index.field, &ordered);
    EXPECT_TRUE(ordered);
    EXPECT_EQ(static_cast<int>(keys.size()), expected);
    std::multiset<std::string> set(keys.begin(), keys.end());
    if (primary.empty())
      primary = set;
    else
      EXPECT_EQ(set, primary);
  }
  // Every record is found through its unique code.
  table.SetIndexName("ByCode");
  for (const std::string& key : primary) {
    if (key[0] != 'W') continue;
    ASSERT_TRUE(table.FindKey({"P" + key})) << key;
    EXPECT_EQ(table.FieldByName("Key").AsString(), key);
  }
}

TEST_F(Locking, BeginTransactionThatCannotLockReportsTheFailure) {
  MakeSharedTable(dir_, 1);
  // Another program holds the data write lock for longer than the 8192 x 3 ms a table waits.
  TChild child([&](TChild& self) {
    auto data = TPhysicalFile::Open(dir_.file("shared.DAT"), false, "shared.DAT");
    CHILD_CHECK(data->Lock(kDataWriteLockOffset, 1));
    self.Send("locked");
    self.Receive(120000);
    return 0;
  });
  ASSERT_EQ(child.Receive(), "locked");
  TStoreDatabase db;
  db.SetDatabaseName("Shared");
  db.SetDirectory(dir_.path());
  TStoreTable table;
  table.SetDatabaseName("Shared");
  table.SetTableName(kSharedTable);
  table.Open();
  auto start = Clock::now();
  EXPECT_EQ(EngineCode([&] { db.BeginTransaction(); }), StoreCode::GeneralLockFailure);
  EXPECT_GE(MillisecondsSince(start), 8192 * 3 * 9 / 10);
  EXPECT_FALSE(db.InTransaction());
  child.Send("end");
  EXPECT_EQ(child.Wait(), 0);
  // Nothing is left half begun: a transaction can start now.
  db.BeginTransaction();
  db.RollbackTransaction();
}

}  // namespace
}  // namespace quellor::test
