// The table store against SQLite on the site table, side by side in one run. Both keep a file
// database in the same temporary folder; each workload runs with the store and then with
// SQLite, and one line per workload gives the two times and their ratio (store / SQLite).
//
//   store_vs_sqlite [sites]     (default 100000)
//
// Workloads: (a) insert every site: the store appends record by record through TStoreTable,
// SQLite inserts in one transaction; (b) look every site up by its Url, the primary key;
// (c) walk all sites in Url order reading Url; (d) delete every tenth site and insert them
// again (SQLite in one transaction); (f) count the sites passing the filter Killed = False,
// first without an index on Killed (every record evaluated; SQLite scans too), then (g) with a
// secondary index on Killed in both; (h) count the sites passing Url = 'http://www.00*', a
// partial comparison the primary index answers (SQLite: the same range of its primary key);
// each count is taken 5 times on a freshly set filter; (i) insert every site into a second
// table inside one transaction of its database (SQLite likewise); (j) 10,000 edits by key of
// that table inside one transaction (SQLite: as many UPDATEs by key in one transaction); (e)
// open the table and move to its last record (repeated 50 times). Then the peak memory of the
// process. Beside each workload's times stand the store's own lock calls, reads and writes per
// operation (per record for (f) and (g), per count for (h), per open for (e)), counted by the
// store's file layer.
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "data/SiteTables.h"
#include "store/PhysicalFile.h"
#include "store/StoreInternals.h"
#include "store/StoreTb.h"

using namespace quellor;

namespace {

using TClock = std::chrono::steady_clock;

double Seconds(TClock::time_point since) {
  return std::chrono::duration<double>(TClock::now() - since).count();
}

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

const char* kPragmas = "PRAGMA journal_mode=DELETE; PRAGMA synchronous=OFF;";

sqlite3* OpenSqlite(const std::string& path) {
  sqlite3* db = nullptr;
  Check(sqlite3_open(path.c_str(), &db), db, "open");
  Exec(db, kPragmas);
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

// The store's file system calls since the last Mark(), divided by the workload's operations.
TFileCallCounts g_mark;
void Mark() {
  g_mark = FileCallCounts();
}

void Line(const char* name, double store, double sqlite, double ops) {
  const TFileCallCounts now = FileCallCounts();
  std::printf("%-38s %9.3f s %9.3f s %8.2f %9.2f %7.2f %7.2f\n", name, store, sqlite,
              store / sqlite, (now.locks - g_mark.locks) / ops, (now.reads - g_mark.reads) / ops,
              (now.writes - g_mark.writes) / ops);
}

}  // namespace

// What the crash journal adds to changes: the same changes on two fresh tables, one written
// through the journal (the store's way) and one without it (switched off for this alone), with
// SQLite's autocommit statements beside them (each a transaction of its own, with its journal).
void Keep(double& best, double seconds) {
  if (best == 0 || seconds < best) best = seconds;
}

void JournalCost(const std::string& dir, const std::vector<TSite>& sites, sqlite3* db) {
  const size_t n = std::min<size_t>(20000, sites.size());
  const size_t durable = std::min<size_t>(300, sites.size());
  TDataSession& engine = TStoreInternals::Engine(TStoreSession::Default());
  // Each side runs twice, in the order without, with, with, without, on fresh tables; the
  // faster of its two runs counts, so that neither side has the warmer machine.
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
      if (!t.FindKey({sites[i].url})) std::exit(1);
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

  double sqlite[4] = {};
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
  sqlite[0] = Seconds(start);
  start = TClock::now();
  for (size_t i = 0; i < n / 2; ++i) sqliteEdit(i * 2, 6);
  sqlite[1] = Seconds(start);
  start = TClock::now();
  Exec(db, "BEGIN");
  for (size_t i = 0; i < n / 2; ++i) sqliteEdit(i * 2 + 1, 7);
  Exec(db, "COMMIT");
  sqlite[2] = Seconds(start);
  Exec(db, "PRAGMA synchronous = FULL");
  start = TClock::now();
  for (size_t i = 0; i < durable; ++i) sqliteInsert(sites[i], "durable/");
  sqlite[3] = Seconds(start);
  Exec(db, "PRAGMA synchronous = OFF");

  std::printf("\ncrash journal: changes without it, with it (the store's way), and SQLite\n");
  std::printf("%-40s %9s %9s %7s %9s %7s\n", "workload", "without", "with", "cost", "SQLite",
              "ratio");
  const std::string counts[4] = {std::to_string(n) + " inserts, one change each",
                                 std::to_string(n / 2) + " edits by key, one change each",
                                 std::to_string(n / 2) + " edits by key, one commit",
                                 std::to_string(durable) + " inserts, flushed to disk"};
  for (int w = 0; w < 4; ++w)
    std::printf("%-40s %7.3f s %7.3f s %6.2fx %7.3f s %6.2f\n", counts[w].c_str(), store[0][w],
                store[1][w], store[1][w] / store[0][w], sqlite[w], store[1][w] / sqlite[w]);
}

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
  const std::string sqlitePath = dir + "cracks.sqlite";
  const std::vector<TSite> sites = MakeSites(count);

  std::printf("store_vs_sqlite: %d sites in %s\n", count, dir.c_str());
  std::printf("SQLite %s, file database, pragmas: %s\n", sqlite3_libversion(), kPragmas);
  std::printf("store: engine %s, shared open, buffer flush off\n\n", kEngineVersion);
  std::printf("%-38s %11s %11s %8s %9s %7s %7s\n", "workload", "store", "SQLite", "ratio",
              "locks/op", "reads", "writes");

  try {
    CreateStoreTable(dir);
    TStoreTable t;
    t.SetDatabaseName(dir);
    t.SetTableName("cracks.DAT");
    t.Open();
    sqlite3* db = OpenSqlite(sqlitePath);
    Exec(db, kCreateSqlite);
    TStatement insert(db, kInsertSqlite);

    // (a) insert
    Mark();
    auto start = TClock::now();
    for (const TSite& s : sites) StoreInsert(t, s);
    double store = Seconds(start);
    start = TClock::now();
    Exec(db, "BEGIN");
    for (const TSite& s : sites) SqliteInsert(insert, s);
    Exec(db, "COMMIT");
    Line("(a) insert all sites", store, Seconds(start), count);

    // (b) lookups by primary key
    std::vector<size_t> order(sites.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    size_t found = 0;
    Mark();
    start = TClock::now();
    for (size_t i : order)
      if (t.FindKey({sites[i].url})) found += t.FieldByName("IPAddr").AsString().size() > 0;
    store = Seconds(start);
    TStatement lookup(db, "SELECT IPAddr FROM cracks WHERE Url = ?");
    size_t foundSqlite = 0;
    start = TClock::now();
    for (size_t i : order) {
      sqlite3_bind_text(lookup.stmt, 1, sites[i].url.c_str(), -1, SQLITE_STATIC);
      if (sqlite3_step(lookup.stmt) == SQLITE_ROW)
        foundSqlite += sqlite3_column_bytes(lookup.stmt, 0) > 0;
      lookup.Reset();
    }
    Line("(b) lookups by primary key", store, Seconds(start), count);
    if (found != sites.size() || foundSqlite != sites.size()) {
      std::fprintf(stderr, "lookups found %zu and %zu of %zu\n", found, foundSqlite, sites.size());
      return 1;
    }

    // (c) scan in key order reading Url
    size_t bytesStore = 0, bytesSqlite = 0;
    Mark();
    start = TClock::now();
    for (t.First(); !t.Eof(); t.Next()) bytesStore += t.FieldByName("Url").AsString().size();
    store = Seconds(start);
    TStatement scan(db, "SELECT Url FROM cracks ORDER BY Url");
    start = TClock::now();
    while (sqlite3_step(scan.stmt) == SQLITE_ROW)
      bytesSqlite += static_cast<size_t>(sqlite3_column_bytes(scan.stmt, 0));
    Line("(c) scan in key order reading Url", store, Seconds(start), count);
    if (bytesStore != bytesSqlite) {
      std::fprintf(stderr, "scans read %zu and %zu bytes\n", bytesStore, bytesSqlite);
      return 1;
    }

    // (d) delete 10% and insert them again
    Mark();
    start = TClock::now();
    for (size_t i = 0; i < sites.size(); i += 10) {
      if (!t.FindKey({sites[i].url})) return 1;
      t.Delete();
    }
    for (size_t i = 0; i < sites.size(); i += 10) StoreInsert(t, sites[i]);
    store = Seconds(start);
    TStatement remove(db, "DELETE FROM cracks WHERE Url = ?");
    start = TClock::now();
    Exec(db, "BEGIN");
    for (size_t i = 0; i < sites.size(); i += 10) {
      sqlite3_bind_text(remove.stmt, 1, sites[i].url.c_str(), -1, SQLITE_STATIC);
      Check(sqlite3_step(remove.stmt), db, "delete");
      remove.Reset();
    }
    for (size_t i = 0; i < sites.size(); i += 10) SqliteInsert(insert, sites[i]);
    Exec(db, "COMMIT");
    Line("(d) delete 10% and insert again", store, Seconds(start), 2.0 * ((count + 9) / 10));
    if (t.RecordCount() != count) return 1;

    // (f), (g), (h) filters counted with and without an index
    struct TFilterLoad {
      const char* name;
      const char* filter;
      const char* sql;
    };
    const TFilterLoad kFilterLoads[] = {
        {"(f) count Killed = False (x5)", "Killed = False",
         "SELECT count(*) FROM cracks WHERE Killed = 0"},
        {"(g) same, index on Killed (x5)", "Killed = False",
         "SELECT count(*) FROM cracks WHERE Killed = 0"},
        {"(h) count Url = 'http://www.00*' (x5)", "Url = 'http://www.00*'",
         "SELECT count(*) FROM cracks WHERE Url >= 'http://www.00' AND Url < 'http://www.01'"},
    };
    for (const TFilterLoad& load : kFilterLoads) {
      if (load.name[1] == 'g') {
        t.Close();
        t.AddIndex("ByKilled", "Killed", 0);
        t.Open();
        Exec(db, "CREATE INDEX ByKilled ON cracks(Killed)");
      }
      Mark();
      start = TClock::now();
      int passing = StoreCount(t, load.filter, 5);
      store = Seconds(start);
      start = TClock::now();
      int passingSqlite = SqliteCount(db, load.sql, 5);
      // Per record of the table for the scans, per count for the range (h).
      Line(load.name, store, Seconds(start), load.name[1] == 'h' ? 5.0 : 5.0 * count);
      if (passing != passingSqlite || passing == 0) {
        std::fprintf(stderr, "%s: counts %d and %d\n", load.filter, passing, passingSqlite);
        return 1;
      }
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
    Mark();
    start = TClock::now();
    bench.BeginTransaction();
    for (const TSite& s : sites) StoreInsert(tx, s);
    bench.CommitTransaction();
    store = Seconds(start);
    Exec(db, std::string(kCreateSqlite).replace(13, 6, "txsites").c_str());
    TStatement insertTx(db, std::string(kInsertSqlite).replace(12, 6, "txsites").c_str());
    start = TClock::now();
    Exec(db, "BEGIN");
    for (const TSite& s : sites) SqliteInsert(insertTx, s);
    Exec(db, "COMMIT");
    Line("(i) insert all in one transaction", store, Seconds(start), count);
    if (tx.RecordCount() != count) return 1;

    // (j) 10,000 edits by key inside one transaction
    const size_t edits = std::min<size_t>(10000, sites.size());
    Mark();
    start = TClock::now();
    bench.BeginTransaction();
    for (size_t i = 0; i < edits; ++i) {
      if (!tx.FindKey({sites[order[i]].url})) return 1;
      tx.Edit();
      tx.FieldByName("Priority").SetAsInteger(9);
      tx.Post();
    }
    bench.CommitTransaction();
    store = Seconds(start);
    TStatement update(db, "UPDATE txsites SET Priority = 9 WHERE Url = ?");
    start = TClock::now();
    Exec(db, "BEGIN");
    for (size_t i = 0; i < edits; ++i) {
      sqlite3_bind_text(update.stmt, 1, sites[order[i]].url.c_str(), -1, SQLITE_STATIC);
      Check(sqlite3_step(update.stmt), db, "update");
      update.Reset();
    }
    Exec(db, "COMMIT");
    Line("(j) 10,000 edits by key, one transaction", store, Seconds(start),
         static_cast<double>(edits));
    tx.Close();
    JournalCost(dir, sites, db);

    // (e) open and move to the last record
    t.Close();
    std::string lastStore, lastSqlite;
    Mark();
    start = TClock::now();
    for (int i = 0; i < 50; ++i) {
      TStoreTable again;
      again.SetDatabaseName(dir);
      again.SetTableName("cracks.DAT");
      again.Open();
      again.Last();
      lastStore = again.FieldByName("Url").AsString();
    }
    store = Seconds(start);
    // The connection goes once its statements are finalized at the end of this block.
    sqlite3_close_v2(db);
    start = TClock::now();
    for (int i = 0; i < 50; ++i) {
      sqlite3* again = OpenSqlite(sqlitePath);
      TStatement last(again, "SELECT Url FROM cracks ORDER BY Url DESC LIMIT 1");
      if (sqlite3_step(last.stmt) == SQLITE_ROW)
        lastSqlite = reinterpret_cast<const char*>(sqlite3_column_text(last.stmt, 0));
      sqlite3_finalize(last.stmt);
      last.stmt = nullptr;
      sqlite3_close(again);
    }
    Line("(e) open, move to last record (x50)", store, Seconds(start), 50);
    if (lastStore != lastSqlite) {
      std::fprintf(stderr, "last records differ: %s and %s\n", lastStore.c_str(),
                   lastSqlite.c_str());
      return 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("\npeak memory (whole process, both engines): %.1f MB\n", usage.ru_maxrss / 1024.0);
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  return 0;
}
