// Random kills during a long mixed workload of several programs on one table: writers change
// their own records (inserts, edits with BLOBs, deletes, transactions of several changes, now and
// then a change the table refuses, sometimes followed by a close and an open) and a
// reader walks the table through its indexes, while the test kills one of them at random
// moments, hundreds of times, and starts it again. Half of the kills come from the writers
// themselves, at a random write of the table's files (the write shim), so that many of them
// land in the middle of writing a change. Every now and then all are killed and the
// table is checked (in two rounds of three by a verify or a repair run first, right after the
// kills): it opens, its files are sound, and every writer's records are exactly what
// its completed changes made, its interrupted change applied whole or not at all.
//
// Each writer keeps a log of its own, one line each:
//   R <n>             a started writer's records follow: n lines "S <key>#<rest of the record>",
//                     then "Z" (the whole block is one write, and the block begins with an empty
//                     line, see below)
//   B <actions>       an operation begins (I/U/D actions, see Encode)
//   E                 it ended well
//   F <code>.         it failed with that engine error (nothing of it stays)
// A kill can cut a write to the log short (the system stops copying a write that spans pages
// when the process gets SIGKILL), so the next line of the restarted writer may be glued to an
// unfinished one. Each start therefore begins its block with a line break, and a block without
// all its lines and its "Z" is one the writer was killed while writing: it is passed over.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "CrashShim.h"
#include "CrashTestSupport.h"
#include "store/api/StoreError.h"
#include "store/api/StoreTb.h"
#include "support/TempDir.h"

namespace quellor::test {
namespace {

constexpr int kWriters = 3;
constexpr int kRounds = 20;
constexpr int kKillsPerRound = 15;
constexpr int kMinSelfKills = 50;  // kills at a write, at the least

// One change of a record: I(nsert), U(pdate) or D(elete), with the values it writes.
struct TAction {
  char kind = 'I';
  std::string key, tag, code;
  int64_t value = 0;
  int seed = 0, length = 0;
};
using TOp = std::vector<TAction>;                   // more than one: a transaction
using TModel = std::map<std::string, std::string>;  // key -> the rest of the record

std::string RowText(int64_t value, const std::string& tag, const std::string& code,
                    const std::string& notes) {
  return std::to_string(value) + "|" + tag + "|" + code + "|" +
         std::to_string(std::hash<std::string>{}(notes));
}

std::string Encode(const TOp& op) {
  std::string s;
  for (const TAction& a : op) {
    if (!s.empty()) s += ';';
    s += std::string(1, a.kind) + "," + a.key + "," + a.tag + "," + a.code + "," +
         std::to_string(a.value) + "," + std::to_string(a.seed) + "," + std::to_string(a.length);
  }
  return s;
}

TOp Decode(const std::string& text) {
  TOp op;
  std::stringstream all(text);
  std::string part;
  while (std::getline(all, part, ';')) {
    std::stringstream in(part);
    std::vector<std::string> f;
    std::string x;
    while (std::getline(in, x, ',')) f.push_back(x);
    if (f.size() != 7) continue;
    op.push_back({f[0][0], f[1], f[2], f[3], std::stoll(f[4]), std::stoi(f[5]), std::stoi(f[6])});
  }
  return op;
}

TModel Apply(TModel model, const TOp& op) {
  for (const TAction& a : op) {
    if (a.kind == 'D') {
      model.erase(a.key);
    } else {
      std::string code = a.code;
      if (a.kind == 'U') {
        // An edit keeps the code: take it from the record as it was (value|tag|code|notes).
        const std::string& old = model[a.key];
        size_t p1 = old.find('|'), p2 = old.find('|', p1 + 1), p3 = old.find('|', p2 + 1);
        code = old.substr(p2 + 1, p3 - p2 - 1);
      }
      model[a.key] = RowText(a.value, a.tag, code, NotesOf(a.seed, a.length));
    }
  }
  return model;
}

// The records of one writer ("W<n>-" keys) as the table holds them.
TModel ReadOwn(TStoreTable& t, const std::string& prefix) {
  TModel rows;
  t.SetIndexName("");
  for (t.First(); !t.Eof(); t.Next()) {
    std::string key = t.FieldByName("Key").AsString();
    if (key.rfind(prefix, 0) != 0) continue;
    rows[key] = RowText(t.FieldByName("Value").AsInteger(), t.FieldByName("Tag").AsString(),
                        t.FieldByName("Code").AsString(), t.FieldByName("Notes").AsString());
  }
  return rows;
}

// A started writer's records as one block of its log.
std::string SnapshotText(const TModel& own) {
  std::string text = "\nR " + std::to_string(own.size()) + "\n";
  for (const auto& [key, rest] : own) text += "S " + key + "#" + rest + "\n";
  return text + "Z\n";
}

// A writer's log replayed: its records as its completed changes made them, the change it was
// killed in (if any), and what did not hold on the way.
struct TReplay {
  TModel model;
  std::optional<TOp> pending;
  std::vector<std::string> problems;
};

TReplay ReplayLog(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  TReplay r;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.rfind("B ", 0) == 0) {
      r.pending = Decode(line.substr(2));
    } else if (line == "E" && r.pending) {
      r.model = Apply(r.model, *r.pending);
      r.pending.reset();
    } else if (line.rfind("F", 0) == 0) {
      // Without its closing "." the line was cut short: the code is not all there.
      int code = std::atoi(line.c_str() + 1);
      if (line.back() == '.' && code != StoreCode::GeneralLockFailure &&
          code != StoreCode::RecordLocked)
        r.problems.push_back("failed with " + std::to_string(code));
      r.pending.reset();
    } else if (line.rfind("R ", 0) == 0) {
      const std::string digits = line.substr(2);
      if (digits.empty() || digits.size() > 6 ||
          digits.find_first_not_of("0123456789") != std::string::npos)
        continue;  // cut short
      size_t count = std::stoul(digits);
      TModel snapshot;
      bool whole = true;
      for (size_t k = 1; k <= count; ++k) {
        if (i + k >= lines.size() || lines[i + k].rfind("S ", 0) != 0 ||
            lines[i + k].find('#') == std::string::npos) {
          whole = false;
          break;
        }
        std::string s = lines[i + k].substr(2);
        snapshot[s.substr(0, s.find('#'))] = s.substr(s.find('#') + 1);
      }
      // Killed while writing it: the lines that follow are the next start's.
      if (!whole || i + count + 1 >= lines.size() || lines[i + count + 1] != "Z") continue;
      bool asBefore = snapshot == r.model;
      bool asAfter = r.pending && snapshot == Apply(r.model, *r.pending);
      if (!asBefore && !asAfter)
        r.problems.push_back(
            "after a kill its records are neither as before nor as after its interrupted "
            "change (log line " +
            std::to_string(i + 1) + ")");
      r.model = snapshot;
      r.pending.reset();
      i += count + 1;
    }
  }
  return r;
}

void AppendLog(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// A writer: snapshot of its records into the log, then changes until it is killed.
int Writer(const std::string& folder, const std::string& logPath, int id) {
  int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const std::string prefix = "W" + std::to_string(id) + "-";
  std::mt19937 random(static_cast<unsigned>(::getpid()) * 7919u + static_cast<unsigned>(id));
  TStoreDatabase db;
  db.SetDatabaseName("Stress" + std::to_string(id));
  db.SetDirectory(folder);
  TStoreTable t;
  t.SetDatabaseName(db.DatabaseName());
  t.SetTableName(kCrashTable);
  t.Open();
  TModel own = ReadOwn(t, prefix);
  int next = 0;
  for (const auto& [key, rest] : own)
    next = std::max(next, std::stoi(key.substr(prefix.size())) + 1);
  AppendLog(log, SnapshotText(own));
  // Dies at a random one of its next writes of the table's files.
  char real[PATH_MAX];
  if (::realpath(folder.c_str(), real))
    CrashShimArm((std::string(real) + "/").c_str(), 1 + static_cast<long>(random() % 100),
                 kCrashKill);
  for (;;) {
    if (!own.empty() && random() % 100 < 8) {
      // A change the table refuses (the key of one of the writer's own records): nothing of it
      // stays, and closing the table right after it writes nothing over the others' changes.
      auto it = own.begin();
      std::advance(it, static_cast<long>(random() % own.size()));
      int code = 0;
      try {
        t.Append();
        SetRow(t, {it->first, "refused", "X" + it->first, NotesOf(1, 300), 1, 0});
        t.Post();
      } catch (const EStoreEngineError& e) {
        code = e.ErrorCode();
      }
      if (t.State() != TDataSetState::Browse) t.Cancel();
      if (code != StoreCode::DuplicateKey && code != StoreCode::GeneralLockFailure &&
          code != StoreCode::RecordLocked)
        AppendLog(log, "\nP a duplicate key ended with " + std::to_string(code) + "\n");
      if (random() % 2 == 0) {
        t.Close();
        t.Open();
      }
    }
    TOp op;
    int kind = static_cast<int>(random() % 100);
    int actions = kind < 15 ? 2 + static_cast<int>(random() % 3) : 1;
    TModel planned = own;
    for (int i = 0; i < actions; ++i) {
      int what = static_cast<int>(random() % 100);
      TAction a;
      a.tag = "t" + std::to_string(random() % 6);
      a.value = static_cast<int64_t>(random() % 100000);
      a.seed = static_cast<int>(random() % 1000);
      a.length = static_cast<int>(random() % 4) == 0 ? 0 : static_cast<int>(random() % 2000);
      if (planned.size() < 3 || what < 45) {
        a.kind = 'I';
        a.key = prefix + std::to_string(next++);
        a.code = "C" + a.key;
      } else {
        auto it = planned.begin();
        std::advance(it, static_cast<long>(random() % planned.size()));
        a.key = it->first;
        a.kind = what < 80 ? 'U' : 'D';
      }
      // One change per record in an operation keeps the replay simple.
      bool repeated = false;
      for (const TAction& b : op) repeated = repeated || b.key == a.key;
      if (repeated) continue;
      op.push_back(a);
      planned = Apply(planned, {a});
    }
    AppendLog(log, "B " + Encode(op) + "\n");
    bool transaction = op.size() > 1;
    try {
      if (transaction) db.BeginTransaction();
      for (const TAction& a : op) {
        if (a.kind == 'I') {
          t.Append();
          SetRow(t, {a.key, a.tag, a.code, NotesOf(a.seed, a.length), a.value, 0});
          t.Post();
          continue;
        }
        t.SetIndexName("");
        if (!t.FindKey({a.key})) throw std::runtime_error("lost record " + a.key);
        if (a.kind == 'D') {
          t.Delete();
        } else {
          t.Edit();
          t.FieldByName("Value").SetAsInteger(a.value);
          t.FieldByName("Tag").SetAsString(a.tag);
          if (a.length == 0)
            t.FieldByName("Notes").Clear();
          else
            t.FieldByName("Notes").SetAsString(NotesOf(a.seed, a.length));
          t.Post();
        }
      }
      if (transaction) db.CommitTransaction();
      own = planned;
      AppendLog(log, "E\n");
    } catch (const EStoreEngineError& e) {
      if (t.State() != TDataSetState::Browse) t.Cancel();
      if (db.InTransaction()) db.RollbackTransaction();
      AppendLog(log, "F " + std::to_string(e.ErrorCode()) + ".\n");
      own = ReadOwn(t, prefix);
    }
  }
}

// A reader: walks the table in every order and checks each record it reads, until it is
// killed. The writers change the table meanwhile, so counts and orders may move between two
// steps; what must hold is that no step shows a damaged or mixed-up record.
int Reader(const std::string& folder, const std::string& logPath) {
  int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  TStoreTable t;
  BindCrash(t, folder);
  t.Open();
  for (;;) {
    for (const char* index : {"", "ByTag", "ByCode"}) {
      try {
        t.SetIndexName(index);
        for (t.First(); !t.Eof(); t.Next()) {
          std::string key = t.FieldByName("Key").AsString();
          if (t.FieldByName("Code").AsString() != "C" + key)
            AppendLog(log, "P a record mixed up: " + key + "\n");
          t.FieldByName("Notes").AsString();
        }
      } catch (const EStoreEngineError& e) {
        int code = e.ErrorCode();
        // A reader is never told that a record changed (that is for an edit it could not
        // store); only a lock that stays taken too long may stop a walk.
        if (code != StoreCode::GeneralLockFailure)
          AppendLog(log, "P engine error " + std::to_string(code) + " " + e.what() + "\n");
      }
    }
  }
}

TEST(CrashStress, HundredsOfRandomKillsAmongSeveralProgramsLeaveEveryChangeWholeOrUndone) {
  TempDir dir, logs;
  CreateCrashTable(dir.path(), 100);
  std::mt19937 random(12345);
  std::vector<std::unique_ptr<TChild>> workers(kWriters + 1);
  auto start = [&](int i) {
    std::string folder = dir.path();
    std::string log = logs.file("w" + std::to_string(i) + ".log");
    workers[static_cast<size_t>(i)] = std::make_unique<TChild>([folder, log, i](TChild&) {
      return i == kWriters ? Reader(folder, log) : Writer(folder, log, i);
    });
  };
  auto stop = [&](int i) {
    auto& w = workers[static_cast<size_t>(i)];
    w->Kill();
    int code = w->Wait();
    EXPECT_EQ(code, 128 + SIGKILL) << "program " << i << " ended by itself";
    w.reset();
  };
  int kills = 0, selfKills = 0;
  int round = 0;
  for (; round < kRounds && !HasFailure(); ++round) {
    for (int i = 0; i <= kWriters; ++i) start(i);
    for (int k = 0; k < kKillsPerRound; ++k) {
      // The programs work for a random while: the kill lands wherever they are then.
      std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 120));
      // Writers that killed themselves at a write start again.
      for (int i = 0; i < kWriters; ++i) {
        siginfo_t info{};
        auto& w = workers[static_cast<size_t>(i)];
        if (::waitid(P_PID, static_cast<id_t>(w->Pid()), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid != 0) {
          EXPECT_EQ(w->Wait(), 128 + SIGKILL) << "writer " << i << " ended by itself";
          w.reset();
          start(i);
          ++selfKills;
        }
      }
      int victim = static_cast<int>(random() % (kWriters + 1));
      stop(victim);
      start(victim);
      ++kills;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 80));  // as above
    for (int i = 0; i <= kWriters; ++i) stop(i);
    kills += kWriters + 1;

    // Every third round verify, every third repair, runs first after the kills: either finds
    // the table sound once what a killed writer left half written is undone.
    if (round % 3 != 0) {
      const bool repair = round % 3 == 2;
      TStoreTable checker;
      BindCrash(checker, dir.path());
      std::vector<std::string> log;
      checker.OnRepairLog = [&](TStoreTable&, const std::string& line) { log.push_back(line); };
      try {
        EXPECT_TRUE(repair ? checker.Repair() : checker.Verify())
            << "round " << round << (repair ? ", repair: " : ", verify: ")
            << testing::PrintToString(log);
        EXPECT_EQ(log.size(), 2u) << "round " << round << ": " << testing::PrintToString(log);
      } catch (const std::exception& e) {
        ADD_FAILURE() << "round " << round << (repair ? ", repair: " : ", verify: ") << e.what();
      }
    }
    // The table as a whole.
    std::vector<std::string> problems;
    std::vector<std::string> rows;
    try {
      rows = ReadCrashTable(dir.path(), problems);
      for (const auto& p : CheckTableFiles(dir.path())) problems.push_back(p);
    } catch (const std::exception& e) {
      problems.push_back(e.what());
    }
    for (const auto& p : problems) ADD_FAILURE() << "round " << round << ": " << p;
    // Every writer's records against its log.
    TStoreTable t;
    BindCrash(t, dir.path());
    t.Open();
    for (int w = 0; w < kWriters; ++w) {
      std::ifstream in(logs.file("w" + std::to_string(w) + ".log"));
      std::stringstream text;
      text << in.rdbuf();
      std::stringstream lines(text.str());
      for (std::string line; std::getline(lines, line);)
        if (line.rfind("P ", 0) == 0) ADD_FAILURE() << "writer " << w << ": " << line.substr(2);
      TReplay replay = ReplayLog(text.str());
      for (const auto& p : replay.problems) ADD_FAILURE() << "writer " << w << ": " << p;
      const TModel& model = replay.model;
      const std::optional<TOp>& pending = replay.pending;
      TModel now = ReadOwn(t, "W" + std::to_string(w) + "-");
      bool asBefore = now == model;
      bool asAfter = pending && now == Apply(model, *pending);
      EXPECT_TRUE(asBefore || asAfter) << "writer " << w << " round " << round << ": " << now.size()
                                       << " records, " << model.size() << " expected";
    }
    t.Close();
    std::ifstream reader(logs.file("w" + std::to_string(kWriters) + ".log"));
    for (std::string line; std::getline(reader, line);)
      if (line.rfind("P ", 0) == 0) ADD_FAILURE() << "reader: " << line.substr(2);
  }
  std::printf("%d rounds, %d kills, %d of them at a write\n", round, kills + selfKills, selfKills);
  EXPECT_GE(kills + selfKills, 300);
  EXPECT_GE(selfKills, kMinSelfKills);
}

// The log survives a kill that cuts its write short anywhere: a writer killed while it wrote
// the snapshot of its records, started again, writes the same snapshot after the unfinished
// one.
TEST(CrashStress, ASnapshotCutShortByAKillIsPassedOver) {
  const TOp first = {{'I', "W0-0", "t1", "CW0-0", 5, 3, 40},
                     {'I', "W0-1", "t2", "CW0-1", 7, 0, 0},
                     {'I', "W0-10", "t3", "CW0-10", 9, 4, 1500}};
  const TModel before = Apply({}, first);
  const TOp op = {{'U', "W0-1", "t4", "", 11, 2, 30}, {'I', "W0-11", "t0", "CW0-11", 12, 1, 0}};
  const TModel after = Apply(before, op);
  const std::string head =
      SnapshotText({}) + "B " + Encode(first) + "\nE\n" + "B " + Encode(op) + "\n";
  // What the killed program was writing, and the records its successor finds.
  const struct {
    std::string written;
    TModel records;
  } cases[] = {
      {SnapshotText(before), before},  // started again after the change was undone
      {SnapshotText(after), after},    // started again after the change was finished
      {"F " + std::to_string(StoreCode::GeneralLockFailure) + ".\n", before},  // it failed
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.written.substr(0, 12));
    for (size_t at = 0; at <= c.written.size(); ++at) {
      TReplay r = ReplayLog(head + c.written.substr(0, at) + SnapshotText(c.records));
      EXPECT_TRUE(r.problems.empty()) << "cut after " << at << " bytes: " << r.problems.front();
      EXPECT_EQ(r.model, c.records) << "cut after " << at << " bytes";
      EXPECT_FALSE(r.pending) << "cut after " << at << " bytes";
    }
  }
}

}  // namespace
}  // namespace quellor::test
