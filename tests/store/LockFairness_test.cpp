// Fairness of the data write lock between real processes (slow): eight processes, two of them
// working in transactions, edit the same ten records for kFairnessSeconds. Every process gets
// work done and no process waits out the bounded wait for the data write lock (10249), however
// often a transaction that failed on a record lock gives the lock back and asks for it again at
// once. No increment is lost on the way.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <sstream>

#include "ChildProcess.h"
#include "LockTestSupport.h"

namespace quellor::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFairnessSeconds = 30;  // how long the processes compete
constexpr int kProcesses = 8;
constexpr int kTransactionProcesses = 2;  // the first ones work in transactions
constexpr int kRecords = 10;
constexpr int kEditsPerTransaction = 3;
// A record lock is waited for 4 x 50 ms: a transaction holding the data write lock and a
// process holding a record it wants while waiting for that lock part within 200 ms (the
// transaction fails and starts over), so each process gets many turns in the time.
constexpr int kRecordLockRetries = 4;
constexpr int kRecordLockWaitMs = 50;

bool Retryable(int code) {
  return code == StoreCode::RecordLocked || code == StoreCode::RecordChanged;
}

struct TTally {
  std::vector<int> increments = std::vector<int>(kRecords, 0);
  int operations = 0;     // posts or commits that went through
  int retries = 0;        // refused by another process's record lock, tried again
  int lockFailures = 0;   // waited out the data write lock (10249)
  int64_t longestMs = 0;  // the longest single try: the wait for the locks and the work
};

// One increment of the Value of record `k`, posted at once.
void EditOnce(TStoreTable& table, int k) {
  if (!table.FindKey({KeyOf(k)})) throw std::runtime_error("record missing");
  table.Edit();
  table.FieldByName("Value").SetAsInteger(table.FieldByName("Value").AsInteger() + 1);
  table.Post();
}

int Worker(TChild& self, const TempDir& dir, int worker) {
  const bool transactions = worker < kTransactionProcesses;
  std::mt19937 random(static_cast<unsigned>(worker) * 104729u + 11u);
  TStoreSession::Default().SetLockRetryCount(kRecordLockRetries);
  TStoreSession::Default().SetLockWaitTime(kRecordLockWaitMs);
  TStoreDatabase db;
  db.SetDatabaseName("Fair" + std::to_string(worker));
  db.SetDirectory(dir.path());
  TStoreTable table;
  table.SetDatabaseName(db.DatabaseName());
  table.SetTableName(kSharedTable);
  table.Open();
  TTally tally;
  self.Send("ready");
  self.Receive();  // all start together
  const auto end = Clock::now() + std::chrono::seconds(kFairnessSeconds);
  while (Clock::now() < end) {
    std::vector<int> picked;
    if (transactions) {
      while (static_cast<int>(picked.size()) < kEditsPerTransaction) {
        int k = static_cast<int>(random() % kRecords);
        if (std::find(picked.begin(), picked.end(), k) == picked.end()) picked.push_back(k);
      }
    } else {
      picked.push_back(static_cast<int>(random() % kRecords));
    }
    for (;;) {
      const auto start = Clock::now();
      int code = 0;
      try {
        if (transactions) {
          db.BeginTransaction();
          for (int k : picked) EditOnce(table, k);
          db.CommitTransaction();
        } else {
          EditOnce(table, picked[0]);
        }
      } catch (const EStoreEngineError& e) {
        code = e.ErrorCode();
      }
      tally.longestMs = std::max<int64_t>(tally.longestMs, MillisecondsSince(start));
      if (code == 0) {
        ++tally.operations;
        for (int k : picked) ++tally.increments[static_cast<size_t>(k)];
        break;
      }
      if (table.State() != TDataSetState::Browse) table.Cancel();
      if (db.InTransaction()) db.RollbackTransaction();
      if (code == StoreCode::GeneralLockFailure) {
        ++tally.lockFailures;
        break;
      }
      if (!Retryable(code)) {
        std::fprintf(stderr, "process %d: engine error %d\n", worker, code);
        return 1;
      }
      ++tally.retries;
      if (Clock::now() >= end) break;
    }
  }
  std::ostringstream report;
  for (int n : tally.increments) report << n << ' ';
  report << tally.operations << ' ' << tally.retries << ' ' << tally.lockFailures << ' '
         << tally.longestMs;
  self.Send(report.str());
  return 0;
}

TEST(LockFairness, EightProcessesTwoInTransactionsAllGetTheirTurn) {
  TempDir dir;
  MakeSharedTable(dir, kRecords);
  std::vector<std::unique_ptr<TChild>> workers;
  for (int w = 0; w < kProcesses; ++w)
    workers.push_back(
        std::make_unique<TChild>([&, w](TChild& self) { return Worker(self, dir, w); }));
  for (auto& w : workers) ASSERT_EQ(w->Receive(), "ready");
  for (auto& w : workers) w->Send("go");
  std::vector<int64_t> increments(kRecords, 0);
  for (int w = 0; w < kProcesses; ++w) {
    SCOPED_TRACE(w);
    // A process may be in its last wait when the time is up: up to the 25 s lock limit more.
    std::string report = workers[static_cast<size_t>(w)]->Receive((kFairnessSeconds + 60) * 1000);
    ASSERT_FALSE(report.empty()) << "process " << w << " did not finish";
    std::istringstream in(report);
    for (auto& n : increments) {
      int64_t v = 0;
      in >> v;
      n += v;
    }
    TTally tally;
    in >> tally.operations >> tally.retries >> tally.lockFailures >> tally.longestMs;
    std::printf(
        "process %d (%s): %d operations, %d retries, %d lock failures (10249), "
        "longest try %lld ms\n",
        w, w < kTransactionProcesses ? "transactions" : "single posts", tally.operations,
        tally.retries, tally.lockFailures, static_cast<long long>(tally.longestMs));
    EXPECT_GT(tally.operations, 0);
    EXPECT_EQ(tally.lockFailures, 0);
    EXPECT_EQ(workers[static_cast<size_t>(w)]->Wait(10000), 0);
  }
  TStoreTable table;
  BindShared(table, dir);
  table.SetExclusive(true);  // every process let the table go
  table.Open();
  for (int k = 0; k < kRecords; ++k) {
    SCOPED_TRACE(k);
    ASSERT_TRUE(table.FindKey({KeyOf(k)}));
    EXPECT_EQ(table.FieldByName("Value").AsInteger(), k + increments[static_cast<size_t>(k)]);
  }
}

}  // namespace
}  // namespace quellor::test
