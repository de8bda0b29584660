// The table store against SQLite on the site table, like with like. Each engine runs its side
// in a child process of its own (one after the other, in the same temporary folder), so that
// each side's peak memory is its own; the parent prints one line per workload with both times,
// their ratio (store / SQLite) and the store's lock calls, reads and writes per operation, then
// the ratios as a table to paste, what the crash journal costs, and each side's peak memory.
//
//   store_vs_sqlite [sites]     (default 100000)
//
// SQLite runs as an expert sets it up for the promise the store gives per Post with
// ForceBufferFlush off (the program's setting): all or nothing when the program is killed,
// nothing flushed to the disk. Twice, each in a process of its own:
//   - rollback journal: journal_mode=TRUNCATE (the journal is not opened again for every read,
//     as with PERSIST), synchronous=OFF;
//   - write-ahead log: journal_mode=WAL, synchronous=OFF (the same promise; readers of other
//     processes are not held up by a writer, which the store's shared folder cannot offer);
// both with a page cache of the store's memory budget (cache_size = -36864, 36 MiB), reads
// through a memory mapping (mmap_size = 1 GiB, as the store maps its files), prepared
// statements, and the site table WITHOUT ROWID keyed by Url, as the store's primary index is.
//
// Workloads: (a) insert every site, each a change of its own: the store posts record by record,
// SQLite inserts in autocommit; (b) look every site up by its Url, the primary key; (c) walk all
// sites in Url order reading Url; (d) delete every tenth site and insert them again, again each
// a change of its own (store record by record, SQLite autocommit); (f) count the sites passing
// the filter Killed = False, first without an index on Killed (every record evaluated; SQLite
// scans too), then (g) with a secondary index on Killed in both; (h) count the sites passing
// Url = 'http://www.00*', a partial comparison the primary index answers (SQLite: the same
// range of its primary key); each count is taken 5 times on a freshly set filter; (i) insert
// every site into a second table inside one transaction (SQLite in one transaction); (j) 10,000
// edits by key of that table inside one transaction (SQLite likewise); (e) open the table and
// move to its last record (repeated 50 times). The store's lock calls, reads and writes are
// counted by its file layer, per operation (per record for (f) and (g), per count for (h), per
// open for (e)). Both sides report a value per workload (counts, bytes read, the last Url) that
// must agree, or the run fails: the lookups and the scan compare a checksum of every value read,
// in the order read. Each workload reports its wall time and the process's CPU time (user and
// system) beside it.
//
// A side talks to the parent through a pipe, one line per result:
//   W <workload> <seconds> <CPU seconds> <locks/op> <reads/op> <writes/op> <check value>
//     <peak kB so far> <private peak kB so far>
//   B <resident kB after generating the sites>      P <journal_mode> <synchronous>
//   M <peak resident kB (VmHWM)> <peak private kB (sampled)>
//
// Two peaks per side: VmHWM, the most resident memory, which counts the table files' pages a
// process reads through a memory mapping (the store's mapped reads: pages of the system's file
// cache, shared and dropped by the system at will), and the private peak, the most resident
// memory not backed by a file (resident minus shared pages in /proc/self/statm), sampled every
// 2 ms by a thread of the side: what the engine itself holds (SQLite's page cache is private).
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "data/SiteTables.h"
#include "store/api/StoreTb.h"
#include "store/engine/StoreInternals.h"
#include "store/os/PhysicalFile.h"

using namespace quellor;

namespace {

using TClock = std::chrono::steady_clock;

double Seconds(TClock::time_point since) {
  return std::chrono::duration<double>(TClock::now() - since).count();
}

// The process's CPU time so far (user and system), in seconds.
double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A checksum of values in the order they are read (FNV-1a), for comparing results by value.
struct TChecksum {
  uint64_t hash = 1469598103934665603ull;
  void Add(const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) hash = (hash ^ p[i]) * 1099511628211ull;
    const unsigned char end = 0xff;  // values "ab","c" and "a","bc" differ
    hash = (hash ^ end) * 1099511628211ull;
  }
  void Add(const std::string& text) { Add(text.data(), text.size()); }
  std::string Text() const {
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
  }
};

struct TSite {
  std::string url, mails, ip, notes;
  bool cracks, warez, killed;
  int priority;
};

std::vector<TSite> MakeSites(int count) {
  std::mt19937 random(12345);
  std::vector<TSite> sites;
  sites.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    char url[96];
    std::snprintf(url, sizeof url, "http://www.%08x-%d.example/%s/",
                  static_cast<unsigned>(random()), i, (i % 3) ? "warez" : "cracks/files");
    TSite s;
    s.url = url;
    s.mails = "abuse@provider" + std::to_string(i % 977) + ".example";
    s.ip = std::to_string(10 + i % 200) + "." + std::to_string(i % 256) + ".1." +
           std::to_string(i % 250);
    s.notes = (i % 5) ? "" : "seen in forum " + std::to_string(i);
    s.cracks = i % 2;
    s.warez = i % 3 == 0;
    s.killed = i % 7 == 0;
    s.priority = i % 5;
    sites.push_back(std::move(s));
  }
  return sites;
}

// ---- the store -------------------------------------------------------------------------------

void CreateStoreTable(const std::string& folder, const char* name = "cracks.DAT") {
  TStoreTable t;
  t.SetDatabaseName(folder);
  t.SetTableName(name);
  DefineTable(t, kSiteTable);
  t.CreateTable();
}

void StoreInsert(TStoreTable& t, const TSite& s) {
  t.Append();
  t.FieldByName("Url").SetAsString(s.url);
  t.FieldByName("E-mails").SetAsString(s.mails);
  t.FieldByName("IPAddr").SetAsString(s.ip);
  t.FieldByName("Notes").SetAsString(s.notes);
  t.FieldByName("Cracks").SetAsBoolean(s.cracks);
  t.FieldByName("Warez").SetAsBoolean(s.warez);
  t.FieldByName("Killed").SetAsBoolean(s.killed);
  t.FieldByName("Priority").SetAsInteger(s.priority);
  t.FieldByName("LastSent").SetAsDateTime(45000.5);
  t.Post();
}

// ---- SQLite ----------------------------------------------------------------------------------

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

void Exec(sqlite3* db, const char* sql) {
  Check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql);
}

// The store promises per Post (ForceBufferFlush off, as here): all or nothing when the program is
// killed, through a rollback journal beside the table; no flush to the disk, so a power loss can
// lose the last changes or damage the file. SQLite gives the same promise with a rollback
// journal (TRUNCATE) or a write-ahead log, and no syncs; its cache gets the store's budget and it
// reads through a mapping as the store does.
struct TSqliteSetUp {
  const char* name;     // the column's heading
  const char* file;     // the database file's name
  const char* pragmas;  // run at every open
};

const TSqliteSetUp kSqliteSetUps[] = {
    {"TRUNCATE", "cracks-truncate.sqlite",
     "PRAGMA journal_mode=TRUNCATE; PRAGMA synchronous=OFF; PRAGMA cache_size=-36864; "
     "PRAGMA mmap_size=1073741824;"},
    {"WAL", "cracks-wal.sqlite",
     "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF; PRAGMA cache_size=-36864; "
     "PRAGMA mmap_size=1073741824;"},
};

sqlite3* OpenSqlite(const std::string& path, const char* pragmas) {
  sqlite3* db = nullptr;
  Check(sqlite3_open(path.c_str(), &db), db, "open");
  Exec(db, pragmas);
  return db;
}

struct TStatement {
  TStatement(sqlite3* db, const char* sql) : db_(db) {
    Check(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), db, sql);
  }
  ~TStatement() { sqlite3_finalize(stmt); }
  void Reset() {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
  }
  sqlite3* db_;
  sqlite3_stmt* stmt = nullptr;
};

void SqliteInsert(TStatement& insert, const TSite& s) {
  sqlite3_stmt* st = insert.stmt;
  sqlite3_bind_text(st, 1, s.url.c_str(), -1, SQLITE_STATIC);
  sqlite3_bind_text(st, 2, s.mails.c_str(), -1, SQLITE_STATIC);
  sqlite3_bind_text(st, 3, s.ip.c_str(), -1, SQLITE_STATIC);
  if (s.notes.empty())
    sqlite3_bind_null(st, 4);
  else
    sqlite3_bind_text(st, 4, s.notes.c_str(), -1, SQLITE_STATIC);
  sqlite3_bind_int(st, 5, s.cracks);
  sqlite3_bind_int(st, 6, s.warez);
  sqlite3_bind_int(st, 7, s.killed);
  sqlite3_bind_int(st, 8, s.priority);
  sqlite3_bind_double(st, 9, 45000.5);
  Check(sqlite3_step(st), insert.db_, "insert");
  insert.Reset();
}

const char* kCreateSqlite =
    "CREATE TABLE cracks (Url TEXT PRIMARY KEY, \"E-mails\" TEXT, \"BadE-mails\" TEXT, IPAddr "
    "TEXT, Notes TEXT, Cracks INTEGER, Serialz INTEGER, Warez INTEGER, LinksOnly INTEGER, Tutes "
    "INTEGER, Forumz INTEGER, Toolz INTEGER, Porn INTEGER, Hacks INTEGER, DMCA INTEGER, Urls TEXT, "
    "Blessed INTEGER, USA INTEGER, IPChanged INTEGER, Killed INTEGER, Dead INTEGER, LastSent REAL, "
    "LastDMCASent REAL, Priority INTEGER, KilledBy TEXT, DMCAUrls BLOB) WITHOUT ROWID";
const char* kInsertSqlite =
    "INSERT INTO cracks (Url, \"E-mails\", IPAddr, Notes, Cracks, Warez, Killed, Priority, "
    "LastSent) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)";

// The store's count of records passing `filter`, set afresh each of `times` times.
int StoreCount(TStoreTable& t, const char* filter, int times) {
  int n = 0;
  for (int i = 0; i < times; ++i) {
    t.SetFilter("");
    t.SetFilter(filter);
    t.SetFiltered(true);
    n = t.RecordCount();
  }
  t.SetFiltered(false);
  t.SetFilter("");
  return n;
}

int SqliteCount(sqlite3* db, const char* sql, int times) {
  int n = 0;
  for (int i = 0; i < times; ++i) {
    TStatement count(db, sql);
    if (sqlite3_step(count.stmt) == SQLITE_ROW) n = sqlite3_column_int(count.stmt, 0);
  }
  return n;
}

// Keeps the faster of two runs.
void Keep(double& best, double seconds) {
  if (best == 0 || seconds < best) best = seconds;
}

std::vector<size_t> Shuffled(size_t count) {
  std::vector<size_t> order(count);
  for (size_t i = 0; i < count; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  return order;
}

// ---- one side in a child process --------------------------------------------------------------

// A field of /proc/self/status in kB ("VmHWM", "VmRSS"); 0 when missing.
long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  const size_t length = std::strlen(key);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, length, key) == 0 && line.size() > length && line[length] == ':')
      return std::atol(line.c_str() + length + 1);
  return 0;
}

// The most private resident memory seen so far, in kB: a thread reads /proc/self/statm
// (resident and shared pages) every 2 ms while the side runs.
class TPrivatePeak {
 public:
  TPrivatePeak() : thread_([this] { Run(); }) {}
  ~TPrivatePeak() {
    stop_ = true;
    thread_.join();
  }
  long Kb() {
    Sample();
    return peakKb_;
  }

 private:
  void Sample() {
    long size = 0, resident = 0, shared = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(f, "%ld %ld %ld", &size, &resident, &shared) != 3) resident = shared = 0;
      std::fclose(f);
    }
    const long kb = (resident - shared) * (::sysconf(_SC_PAGESIZE) / 1024);
    long seen = peakKb_.load();
    while (kb > seen && !peakKb_.compare_exchange_weak(seen, kb)) {
    }
  }
  void Run() {
    while (!stop_) {
      Sample();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  std::atomic<long> peakKb_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Writes a side's results to the parent: Start() and Stop() frame the timed part; Report()
// follows with the operations to divide by and the value the other side must match.
class TReporter {
 public:
  explicit TReporter(FILE* out) : out_(out) {}
  long PrivatePeakKb() { return privatePeak_.Kb(); }
  void Start() {
    calls_ = FileCallCounts();
    cpuStart_ = CpuSeconds();
    start_ = TClock::now();
  }
  void Stop() {
    seconds_ = Seconds(start_);
    cpu_ = CpuSeconds() - cpuStart_;
    const TFileCallCounts now = FileCallCounts();
    locks_ = static_cast<double>(now.locks - calls_.locks);
    reads_ = static_cast<double>(now.reads - calls_.reads);
    writes_ = static_cast<double>(now.writes - calls_.writes);
  }
  void Report(const char* id, double ops, const std::string& check) {
    std::fprintf(out_, "W %s %.6f %.6f %.4f %.4f %.4f %s %ld %ld\n", id, seconds_, cpu_,
                 locks_ / ops, reads_ / ops, writes_ / ops, check.empty() ? "-" : check.c_str(),
                 StatusKb("VmHWM"), privatePeak_.Kb());
    std::fflush(out_);
  }
  // Seconds measured elsewhere (the crash journal's runs), without counts.
  void ReportSeconds(const std::string& id, double seconds) {
    std::fprintf(out_, "W %s %.6f 0 0 0 0 - %ld %ld\n", id.c_str(), seconds, StatusKb("VmHWM"),
                 privatePeak_.Kb());
    std::fflush(out_);
  }
  void Line(const std::string& line) {
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
  }

 private:
  FILE* out_;
  TClock::time_point start_;
  TFileCallCounts calls_;
  TPrivatePeak privatePeak_;
  double cpuStart_ = 0;
  double seconds_ = 0, cpu_ = 0, locks_ = 0, reads_ = 0, writes_ = 0;
};

struct TResult {
  double seconds = 0, cpu = 0, locks = 0, reads = 0, writes = 0;
  std::string check;
  long peakKb = 0;         // the side's peak resident memory so far, after this workload
  long privatePeakKb = 0;  // and its peak private memory so far
};

struct TSide {
  std::map<std::string, TResult> results;
  std::map<char, std::string> lines;  // 'B', 'P', 'M': the rest of the line
  bool ok = false;
};

// Runs `body` in a child process and collects what it reports. Nothing of either engine is
// open in the parent, so the child starts clean and its peak is its own.
TSide RunSide(const char* name, const std::function<void(TReporter&)>& body) {
  TSide side;
  int fds[2];
  if (::pipe(fds) != 0) return side;
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return side;
  if (pid == 0) {
    ::close(fds[0]);
    FILE* out = ::fdopen(fds[1], "w");
    int code = 0;
    try {
      TReporter reporter(out);
      body(reporter);
      reporter.Line("M " + std::to_string(StatusKb("VmHWM")) + " " +
                    std::to_string(reporter.PrivatePeakKb()));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: %s\n", name, e.what());
      code = 1;
    }
    std::fflush(nullptr);
    ::_exit(code);
  }
  ::close(fds[1]);
  std::string text;
  char chunk[4096];
  for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    text.append(chunk, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  side.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.size() < 2) continue;
    if (line[0] != 'W') {
      side.lines[line[0]] = line.substr(2);
      continue;
    }
    std::istringstream fields(line.substr(2));
    std::string id;
    TResult r;
    fields >> id >> r.seconds >> r.cpu >> r.locks >> r.reads >> r.writes >> r.check >> r.peakKb >>
        r.privatePeakKb;
    side.results[id] = r;
  }
  return side;
}

// ---- the store's side -------------------------------------------------------------------------

// What the crash journal adds to changes: the same changes on fresh tables, written through the
// journal (the store's way) and without it (switched off for this alone). Each runs twice, in
// the order without, with, with, without; the faster run counts, so that neither has the warmer
// machine. Reported as J<on><workload>.
void StoreJournalCost(TReporter& r, const std::string& dir, const std::vector<TSite>& sites) {
  const size_t n = std::min<size_t>(20000, sites.size());
  const size_t durable = std::min<size_t>(300, sites.size());
  TDataSession& engine = TStoreInternals::Engine(TStoreSession::Default());
  double store[2][4] = {};
  for (int run = 0; run < 4; ++run) {
    const int on = run == 1 || run == 2;
    engine.journalChanges = on != 0;
    const std::string name =
        std::string(on ? "journal_on" : "journal_off") + std::to_string(run) + ".DAT";
    CreateStoreTable(dir, name.c_str());
    TStoreDatabase database;
    database.SetDatabaseName("Journal" + std::to_string(run));
    database.SetDirectory(dir);
    TStoreTable t;
    t.SetDatabaseName(database.DatabaseName());
    t.SetTableName(name);
    t.Open();
    auto start = TClock::now();
    for (size_t i = 0; i < n; ++i) StoreInsert(t, sites[i]);
    Keep(store[on][0], Seconds(start));
    auto edit = [&](size_t i, int priority) {
      if (!t.FindKey({sites[i].url})) throw std::runtime_error("journal edit: site missing");
      t.Edit();
      t.FieldByName("Priority").SetAsInteger(priority);
      t.FieldByName("Notes").SetAsString("edited " + std::to_string(priority));
      t.Post();
    };
    start = TClock::now();
    for (size_t i = 0; i < n / 2; ++i) edit(i * 2, 6);
    Keep(store[on][1], Seconds(start));
    start = TClock::now();
    database.BeginTransaction();
    for (size_t i = 0; i < n / 2; ++i) edit(i * 2 + 1, 7);
    database.CommitTransaction();
    Keep(store[on][2], Seconds(start));
    engine.forceBufferFlush = true;
    start = TClock::now();
    for (size_t i = 0; i < durable; ++i) {
      TSite site = sites[i];
      site.url += "durable/";
      StoreInsert(t, site);
    }
    Keep(store[on][3], Seconds(start));
    engine.forceBufferFlush = false;
  }
  engine.journalChanges = true;
  for (int on = 0; on < 2; ++on)
    for (int w = 0; w < 4; ++w)
      r.ReportSeconds("J" + std::to_string(on) + std::to_string(w), store[on][w]);
}

void StoreSide(TReporter& r, const std::string& dir, int count) {
  const std::vector<TSite> sites = MakeSites(count);
  const std::vector<size_t> order = Shuffled(sites.size());
  r.Line("B " + std::to_string(StatusKb("VmRSS")));
  auto fail = [](const std::string& what) { throw std::runtime_error(what); };

  CreateStoreTable(dir);
  TStoreTable t;
  t.SetDatabaseName(dir);
  t.SetTableName("cracks.DAT");
  t.Open();

  // (a) insert, each Post a change of its own
  r.Start();
  for (const TSite& s : sites) StoreInsert(t, s);
  r.Stop();
  r.Report("a", count, std::to_string(t.RecordCount()));

  // (b) lookups by primary key
  TChecksum found;
  r.Start();
  for (size_t i : order)
    if (t.FindKey({sites[i].url})) found.Add(t.FieldByName("IPAddr").AsString());
  r.Stop();
  r.Report("b", count, found.Text());

  // (c) scan in key order reading Url
  TChecksum urls;
  r.Start();
  for (t.First(); !t.Eof(); t.Next()) urls.Add(t.FieldByName("Url").AsString());
  r.Stop();
  r.Report("c", count, urls.Text());

  // (d) delete 10% and insert them again, each a change of its own
  r.Start();
  for (size_t i = 0; i < sites.size(); i += 10) {
    if (!t.FindKey({sites[i].url})) fail("delete: site missing");
    t.Delete();
  }
  for (size_t i = 0; i < sites.size(); i += 10) StoreInsert(t, sites[i]);
  r.Stop();
  r.Report("d", 2.0 * ((count + 9) / 10), std::to_string(t.RecordCount()));

  // (f), (g), (h) filters counted with and without an index
  const char* filters[] = {"Killed = False", "Killed = False", "Url = 'http://www.00*'"};
  const char* ids[] = {"f", "g", "h"};
  for (int i = 0; i < 3; ++i) {
    if (i == 1) {
      t.Close();
      t.AddIndex("ByKilled", "Killed", 0);
      t.Open();
    }
    r.Start();
    const int passing = StoreCount(t, filters[i], 5);
    r.Stop();
    r.Report(ids[i], i == 2 ? 5.0 : 5.0 * count, std::to_string(passing));
  }

  // (i) insert every site inside one transaction
  CreateStoreTable(dir, "txsites.DAT");
  TStoreDatabase bench;
  bench.SetDatabaseName("Bench");
  bench.SetDirectory(dir);
  TStoreTable tx;
  tx.SetDatabaseName("Bench");
  tx.SetTableName("txsites.DAT");
  tx.Open();
  r.Start();
  bench.BeginTransaction();
  for (const TSite& s : sites) StoreInsert(tx, s);
  bench.CommitTransaction();
  r.Stop();
  r.Report("i", count, std::to_string(tx.RecordCount()));

  // (j) 10,000 edits by key inside one transaction
  const size_t edits = std::min<size_t>(10000, sites.size());
  size_t edited = 0;
  r.Start();
  bench.BeginTransaction();
  for (size_t i = 0; i < edits; ++i) {
    if (!tx.FindKey({sites[order[i]].url})) fail("edit: site missing");
    tx.Edit();
    tx.FieldByName("Priority").SetAsInteger(9);
    tx.Post();
    ++edited;
  }
  bench.CommitTransaction();
  r.Stop();
  r.Report("j", static_cast<double>(edits), std::to_string(edited));
  tx.Close();

  StoreJournalCost(r, dir, sites);

  // (e) open and move to the last record
  t.Close();
  std::string last;
  r.Start();
  for (int i = 0; i < 50; ++i) {
    TStoreTable again;
    again.SetDatabaseName(dir);
    again.SetTableName("cracks.DAT");
    again.Open();
    again.Last();
    last = again.FieldByName("Url").AsString();
  }
  r.Stop();
  r.Report("e", 50, last);
}

// ---- SQLite's side ----------------------------------------------------------------------------

int64_t SqliteInteger(sqlite3* db, const char* sql) {
  TStatement st(db, sql);
  return sqlite3_step(st.stmt) == SQLITE_ROW ? sqlite3_column_int64(st.stmt, 0) : -1;
}

std::string SqliteText(sqlite3* db, const char* sql) {
  TStatement st(db, sql);
  if (sqlite3_step(st.stmt) != SQLITE_ROW || !sqlite3_column_text(st.stmt, 0)) return {};
  return reinterpret_cast<const char*>(sqlite3_column_text(st.stmt, 0));
}

// The crash journal's workloads in SQLite: each statement its own transaction (autocommit),
// the edits of the third in one transaction, and the durable inserts with synchronous=FULL.
void SqliteJournalCost(TReporter& r, sqlite3* db, const std::vector<TSite>& sites) {
  const size_t n = std::min<size_t>(20000, sites.size());
  const size_t durable = std::min<size_t>(300, sites.size());
  Exec(db,
       "CREATE TABLE journal (Url TEXT PRIMARY KEY, Mails TEXT, IPAddr TEXT, Notes TEXT, "
       "Cracks INTEGER, Warez INTEGER, Killed INTEGER, Priority INTEGER, LastSent REAL)");
  TStatement insert(db, "INSERT INTO journal VALUES (?, ?, ?, ?, ?, ?, ?, ?, 45000.5)");
  auto sqliteInsert = [&](const TSite& s, const std::string& suffix) {
    std::string url = s.url + suffix;
    sqlite3_bind_text(insert.stmt, 1, url.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert.stmt, 2, s.mails.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(insert.stmt, 3, s.ip.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(insert.stmt, 4, s.notes.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_int(insert.stmt, 5, s.cracks);
    sqlite3_bind_int(insert.stmt, 6, s.warez);
    sqlite3_bind_int(insert.stmt, 7, s.killed);
    sqlite3_bind_int(insert.stmt, 8, s.priority);
    Check(sqlite3_step(insert.stmt), db, "insert");
    insert.Reset();
  };
  TStatement update(db, "UPDATE journal SET Priority = ?, Notes = ? WHERE Url = ?");
  auto sqliteEdit = [&](size_t i, int priority) {
    std::string notes = "edited " + std::to_string(priority);
    sqlite3_bind_int(update.stmt, 1, priority);
    sqlite3_bind_text(update.stmt, 2, notes.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(update.stmt, 3, sites[i].url.c_str(), -1, SQLITE_STATIC);
    Check(sqlite3_step(update.stmt), db, "update");
    update.Reset();
  };
  auto start = TClock::now();
  for (size_t i = 0; i < n; ++i) sqliteInsert(sites[i], "");
  r.ReportSeconds("J0", Seconds(start));
  start = TClock::now();
  for (size_t i = 0; i < n / 2; ++i) sqliteEdit(i * 2, 6);
  r.ReportSeconds("J1", Seconds(start));
  start = TClock::now();
  Exec(db, "BEGIN");
  for (size_t i = 0; i < n / 2; ++i) sqliteEdit(i * 2 + 1, 7);
  Exec(db, "COMMIT");
  r.ReportSeconds("J2", Seconds(start));
  Exec(db, "PRAGMA synchronous = FULL");
  start = TClock::now();
  for (size_t i = 0; i < durable; ++i) sqliteInsert(sites[i], "durable/");
  r.ReportSeconds("J3", Seconds(start));
  Exec(db, "PRAGMA synchronous = OFF");
}

void SqliteSide(TReporter& r, const std::string& path, int count, const char* pragmas) {
  const std::vector<TSite> sites = MakeSites(count);
  const std::vector<size_t> order = Shuffled(sites.size());
  r.Line("B " + std::to_string(StatusKb("VmRSS")));
  sqlite3* db = OpenSqlite(path, pragmas);
  r.Line("P " + SqliteText(db, "PRAGMA journal_mode") + " " +
         std::to_string(SqliteInteger(db, "PRAGMA synchronous")));
  Exec(db, kCreateSqlite);
  {
    TStatement insert(db, kInsertSqlite);

    // (a) insert, each statement its own transaction
    r.Start();
    for (const TSite& s : sites) SqliteInsert(insert, s);
    r.Stop();
    r.Report("a", count, std::to_string(SqliteInteger(db, "SELECT count(*) FROM cracks")));

    // (b) lookups by primary key
    TStatement lookup(db, "SELECT IPAddr FROM cracks WHERE Url = ?");
    TChecksum found;
    r.Start();
    for (size_t i : order) {
      sqlite3_bind_text(lookup.stmt, 1, sites[i].url.c_str(), -1, SQLITE_STATIC);
      if (sqlite3_step(lookup.stmt) == SQLITE_ROW)
        found.Add(sqlite3_column_text(lookup.stmt, 0),
                  static_cast<size_t>(sqlite3_column_bytes(lookup.stmt, 0)));
      lookup.Reset();
    }
    r.Stop();
    r.Report("b", count, found.Text());

    // (c) scan in key order reading Url
    TChecksum urls;
    {
      TStatement scan(db, "SELECT Url FROM cracks ORDER BY Url");
      r.Start();
      while (sqlite3_step(scan.stmt) == SQLITE_ROW)
        urls.Add(sqlite3_column_text(scan.stmt, 0),
                 static_cast<size_t>(sqlite3_column_bytes(scan.stmt, 0)));
      r.Stop();
    }
    r.Report("c", count, urls.Text());

    // (d) delete 10% and insert them again, each statement its own transaction
    TStatement remove(db, "DELETE FROM cracks WHERE Url = ?");
    r.Start();
    for (size_t i = 0; i < sites.size(); i += 10) {
      sqlite3_bind_text(remove.stmt, 1, sites[i].url.c_str(), -1, SQLITE_STATIC);
      Check(sqlite3_step(remove.stmt), db, "delete");
      remove.Reset();
    }
    for (size_t i = 0; i < sites.size(); i += 10) SqliteInsert(insert, sites[i]);
    r.Stop();
    r.Report("d", 2.0 * ((count + 9) / 10),
             std::to_string(SqliteInteger(db, "SELECT count(*) FROM cracks")));
  }

  // (f), (g), (h)
  const char* queries[] = {
      "SELECT count(*) FROM cracks WHERE Killed = 0",
      "SELECT count(*) FROM cracks WHERE Killed = 0",
      "SELECT count(*) FROM cracks WHERE Url >= 'http://www.00' AND Url < 'http://www.01'"};
  const char* ids[] = {"f", "g", "h"};
  for (int i = 0; i < 3; ++i) {
    if (i == 1) Exec(db, "CREATE INDEX ByKilled ON cracks(Killed)");
    r.Start();
    const int passing = SqliteCount(db, queries[i], 5);
    r.Stop();
    r.Report(ids[i], i == 2 ? 5.0 : 5.0 * count, std::to_string(passing));
  }

  // (i) insert every site inside one transaction
  Exec(db, std::string(kCreateSqlite).replace(13, 6, "txsites").c_str());
  {
    TStatement insertTx(db, std::string(kInsertSqlite).replace(12, 6, "txsites").c_str());
    r.Start();
    Exec(db, "BEGIN");
    for (const TSite& s : sites) SqliteInsert(insertTx, s);
    Exec(db, "COMMIT");
    r.Stop();
    r.Report("i", count, std::to_string(SqliteInteger(db, "SELECT count(*) FROM txsites")));

    // (j) 10,000 edits by key inside one transaction
    const size_t edits = std::min<size_t>(10000, sites.size());
    size_t edited = 0;
    TStatement update(db, "UPDATE txsites SET Priority = 9 WHERE Url = ?");
    r.Start();
    Exec(db, "BEGIN");
    for (size_t i = 0; i < edits; ++i) {
      sqlite3_bind_text(update.stmt, 1, sites[order[i]].url.c_str(), -1, SQLITE_STATIC);
      Check(sqlite3_step(update.stmt), db, "update");
      edited += static_cast<size_t>(sqlite3_changes(db));
      update.Reset();
    }
    Exec(db, "COMMIT");
    r.Stop();
    r.Report("j", static_cast<double>(edits), std::to_string(edited));
  }

  SqliteJournalCost(r, db, sites);
  sqlite3_close(db);

  // (e) open and move to the last record
  std::string last;
  r.Start();
  for (int i = 0; i < 50; ++i) {
    sqlite3* again = OpenSqlite(path, pragmas);
    last = SqliteText(again, "SELECT Url FROM cracks ORDER BY Url DESC LIMIT 1");
    sqlite3_close(again);
  }
  r.Stop();
  r.Report("e", 50, last);
}

struct TWorkload {
  const char* id;
  const char* name;
};

const TWorkload kWorkloads[] = {
    {"a", "(a) insert, each a change of its own"},
    {"b", "(b) lookups by primary key"},
    {"c", "(c) scan in key order reading Url"},
    {"d", "(d) delete 10%, insert again, each own"},
    {"e", "(e) open, move to last record (x50)"},
    {"f", "(f) count Killed = False (x5)"},
    {"g", "(g) same, index on Killed (x5)"},
    {"h", "(h) count Url = 'http://www.00*' (x5)"},
    {"i", "(i) insert all in one transaction"},
    {"j", "(j) 10,000 edits by key, one transaction"},
};

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
  if (count < 10) {
    std::fprintf(stderr, "usage: store_vs_sqlite [sites (at least 10)]\n");
    return 2;
  }
  namespace fs = std::filesystem;
  const fs::path folder =
      fs::temp_directory_path() / ("store_vs_sqlite." + std::to_string(getpid()));
  fs::create_directories(folder);
  const std::string dir = folder.string() + "/";

  std::printf("store_vs_sqlite: %d sites in %s, each engine in a process of its own\n", count,
              dir.c_str());
  std::fflush(stdout);
  const TSide store = RunSide("store", [&](TReporter& r) { StoreSide(r, dir, count); });
  std::vector<TSide> sqlite;
  for (const TSqliteSetUp& setUp : kSqliteSetUps)
    sqlite.push_back(RunSide(
        setUp.name, [&](TReporter& r) { SqliteSide(r, dir + setUp.file, count, setUp.pragmas); }));
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  bool sidesOk = store.ok;
  for (size_t i = 0; i < sqlite.size(); ++i) {
    if (!sqlite[i].ok) std::fprintf(stderr, "the SQLite %s side failed\n", kSqliteSetUps[i].name);
    sidesOk = sidesOk && sqlite[i].ok;
  }
  if (!store.ok) std::fprintf(stderr, "the store side failed\n");
  if (!sidesOk) return 1;

  auto line = [](const TSide& side, char key) {
    auto it = side.lines.find(key);
    return it == side.lines.end() ? std::string() : it->second;
  };
  const char* kSyncNames[] = {"OFF", "NORMAL", "FULL", "EXTRA"};
  for (size_t i = 0; i < sqlite.size(); ++i) {
    std::string journalMode, synchronous;
    std::istringstream(line(sqlite[i], 'P')) >> journalMode >> synchronous;
    const int sync = std::atoi(synchronous.c_str());
    std::printf(
        "SQLite %s (%s): file database, journal_mode=%s, synchronous=%s, cache_size=-36864 "
        "(36 MiB), mmap_size=1 GiB, WITHOUT ROWID keyed by Url, prepared statements; (a) and "
        "(d) in autocommit\n",
        sqlite3_libversion(), kSqliteSetUps[i].name, journalMode.c_str(),
        sync >= 0 && sync <= 3 ? kSyncNames[sync] : synchronous.c_str());
  }
  std::printf(
      "store: engine %s, shared open, ForceBufferFlush off, each Post a change of its own "
      "through the crash journal\n",
      kEngineVersion);
  std::printf(
      "  (all: all or nothing when the program is killed, nothing flushed to the disk)\n\n");
  // Wall and CPU seconds of each side, the store's ratios to each SQLite set-up (wall, CPU), the
  // store's file calls per operation and each side's peak private memory so far.
  std::printf("%-40s %9s %9s %9s %9s %11s %11s %9s %9s %6s %6s %6s %7s %7s\n", "workload", "store",
              "CPU", "TRUNCATE", "CPU", "ratio wall", "ratio CPU", "WAL", "ratio", "locks", "reads",
              "writes", "st. MB", "SQL MB");
  // In the order the sides ran them, (e) last.
  std::vector<TWorkload> ran(std::begin(kWorkloads), std::end(kWorkloads));
  std::rotate(ran.begin() + 4, ran.begin() + 5, ran.end());
  bool agree = true;
  for (const TWorkload& w : ran) {
    const TResult& s = store.results.at(w.id);
    const TResult& q = sqlite[0].results.at(w.id);
    const TResult& wal = sqlite[1].results.at(w.id);
    std::printf(
        "%-40s %7.3f s %7.3f s %7.3f s %7.3f s %11.2f %11.2f %7.3f s %9.2f %6.2f %6.2f %6.2f "
        "%7.0f %7.0f\n",
        w.name, s.seconds, s.cpu, q.seconds, q.cpu, s.seconds / q.seconds, s.cpu / q.cpu,
        wal.seconds, s.seconds / wal.seconds, s.locks, s.reads, s.writes, s.privatePeakKb / 1024.0,
        q.privatePeakKb / 1024.0);
    for (size_t i = 0; i < sqlite.size(); ++i) {
      const TResult& other = sqlite[i].results.at(w.id);
      if (s.check != other.check) {
        std::fprintf(stderr, "%s: the store has %s, SQLite (%s) %s\n", w.name, s.check.c_str(),
                     kSqliteSetUps[i].name, other.check.c_str());
        agree = false;
      }
    }
  }

  std::printf(
      "\nratios to paste (store / SQLite; below 1.0 the store is faster; wall and CPU):\n\n");
  std::printf(
      "| workload | store | SQLite TRUNCATE | wall | CPU | SQLite WAL | wall |\n"
      "|---|---:|---:|---:|---:|---:|---:|\n");
  for (const TWorkload& w : kWorkloads) {
    const TResult& s = store.results.at(w.id);
    const TResult& q = sqlite[0].results.at(w.id);
    const TResult& wal = sqlite[1].results.at(w.id);
    std::printf("| %s | %.4f s | %.4f s | %.2f | %.2f | %.4f s | %.2f |\n", w.name, s.seconds,
                q.seconds, s.seconds / q.seconds, s.cpu / q.cpu, wal.seconds,
                s.seconds / wal.seconds);
  }

  const size_t n = std::min<size_t>(20000, static_cast<size_t>(count));
  const size_t durable = std::min<size_t>(300, static_cast<size_t>(count));
  std::printf(
      "\ncrash journal: changes without it, with it (the store's way), and SQLite (TRUNCATE)\n");
  std::printf("%-40s %9s %9s %7s %9s %7s\n", "workload", "without", "with", "cost", "SQLite",
              "ratio");
  const std::string counts[4] = {std::to_string(n) + " inserts, one change each",
                                 std::to_string(n / 2) + " edits by key, one change each",
                                 std::to_string(n / 2) + " edits by key, one commit",
                                 std::to_string(durable) + " inserts, flushed to disk"};
  for (int w = 0; w < 4; ++w) {
    const double off = store.results.at("J0" + std::to_string(w)).seconds;
    const double on = store.results.at("J1" + std::to_string(w)).seconds;
    const double peer = sqlite[0].results.at("J" + std::to_string(w)).seconds;
    std::printf("%-40s %7.3f s %7.3f s %6.2fx %7.3f s %6.2f\n", counts[w].c_str(), off, on,
                on / off, peer, on / peer);
  }

  auto mb = [&](const TSide& side, char key, int field = 0) {
    std::istringstream in(line(side, key));
    double kb = 0;
    for (int i = 0; i <= field; ++i) in >> kb;
    return kb / 1024;
  };
  std::printf(
      "\npeak private memory of each process (resident, not file pages; sampled): store %.1f MB, "
      "SQLite TRUNCATE %.1f MB, WAL %.1f MB (of which %.1f MB and %.1f MB before the first "
      "workload: the program and the generated sites)\n",
      mb(store, 'M', 1), mb(sqlite[0], 'M', 1), mb(sqlite[1], 'M', 1), mb(store, 'B'),
      mb(sqlite[0], 'B'));
  std::printf(
      "peak resident memory (VmHWM, with the table files' pages read through a mapping): store "
      "%.1f MB, SQLite TRUNCATE %.1f MB, WAL %.1f MB\n",
      mb(store, 'M'), mb(sqlite[0], 'M'), mb(sqlite[1], 'M'));
  return agree ? 0 : 1;
}
