// SQL statements of the table store against SQLite on the site and ISP tables, side by side in
// one run. Both keep file databases in one temporary folder; each workload runs with the store
// (TStoreQuery, the result read row by row) and then with SQLite (the statement stepped to its
// end, every column read), and one line per workload gives the two times and their ratio
// (store / SQLite; at or below 1.0 is the goal).
//
//   sql_vs_sqlite [sites]     (default 100000)
//
// Workloads, each SELECT the best of 3 runs: the program's two fixed statements (the count of
// killed and dead sites, the Urls of the killed sites in order), a GROUP BY on Priority with
// COUNT, a join of the sites to the ISPs on the provider domain (kept in Notes; the ISPs'
// Domain is their primary key, indexed in both) written with JOIN ... ON and with the sources
// listed with commas and the condition in WHERE (the store plans both alike), and one UPDATE of 10%
// of the sites (each engine once, on the same data).
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "StoreTool.h"
#include "data/SiteTables.h"
#include "store/api/StoreQuery.h"
#include "store/api/StoreTb.h"

using namespace quellor;

namespace {

using TClock = std::chrono::steady_clock;

double Seconds(TClock::time_point since) {
  return std::chrono::duration<double>(TClock::now() - since).count();
}

constexpr int kProviders = 977;

std::string Url(int i) {
  char url[96];
  std::snprintf(url, sizeof url, "http://www.%08x-%d.example/", (i * 2654435761u) & 0xffffffffu, i);
  return url;
}
std::string Domain(int i) {
  return "provider" + std::to_string(i % kProviders) + ".example";
}

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

void FillStore(const std::string& folder, int sites) {
  TStoreDatabase db;
  db.SetDatabaseName("BenchSql");
  db.SetDirectory(folder);
  db.Open();
  TStoreTable isps;
  isps.SetDatabaseName("BenchSql");
  isps.SetTableName("isps.DAT");
  DefineIspFields(isps.FieldDefs());
  isps.IndexDefs().Add("", "Domain", IndexOption::Primary | IndexOption::Unique);
  isps.CreateTable();
  TStoreTable t;
  t.SetDatabaseName("BenchSql");
  t.SetTableName("cracks.DAT");
  DefineSiteFields(t.FieldDefs());
  t.IndexDefs().Add("", "Url", IndexOption::Primary | IndexOption::Unique);
  t.CreateTable();
  isps.Open();
  t.Open();
  db.BeginTransaction();
  for (int i = 0; i < kProviders; ++i) {
    isps.Append();
    isps.FieldByName("Domain").SetAsString(Domain(i));
    isps.FieldByName("Emails").SetAsString("abuse@" + Domain(i));
    isps.Post();
  }
  for (int i = 0; i < sites; ++i) {
    t.Append();
    t.FieldByName("Url").SetAsString(Url(i));
    t.FieldByName("E-mails").SetAsString("abuse@" + Domain(i));
    t.FieldByName("Notes").SetAsString(Domain(i));
    t.FieldByName("Killed").SetAsBoolean(i % 7 == 0);
    t.FieldByName("Dead").SetAsBoolean(i % 3 == 0);
    t.FieldByName("Cracks").SetAsBoolean(i % 2 == 0);
    t.FieldByName("Priority").SetAsInteger(i % 10);
    t.Post();
  }
  db.CommitTransaction();
}

void FillSqlite(sqlite3* db, int sites) {
  Check(sqlite3_exec(db,
                     "CREATE TABLE Cracks (Url TEXT PRIMARY KEY, Emails TEXT, Notes TEXT, "
                     "Killed INTEGER, Dead INTEGER, Cracks INTEGER, Priority INTEGER);"
                     "CREATE TABLE Isps (Domain TEXT PRIMARY KEY, Emails TEXT);"
                     "BEGIN",
                     nullptr, nullptr, nullptr),
        db, "create");
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO Isps VALUES (?, ?)", -1, &st, nullptr);
  for (int i = 0; i < kProviders; ++i) {
    std::string d = Domain(i), m = "abuse@" + Domain(i);
    sqlite3_bind_text(st, 1, d.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, m.c_str(), -1, SQLITE_TRANSIENT);
    Check(sqlite3_step(st), db, "insert isp");
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  sqlite3_prepare_v2(db, "INSERT INTO Cracks VALUES (?, ?, ?, ?, ?, ?, ?)", -1, &st, nullptr);
  for (int i = 0; i < sites; ++i) {
    std::string u = Url(i), m = "abuse@" + Domain(i), d = Domain(i);
    sqlite3_bind_text(st, 1, u.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, m.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 3, d.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(st, 4, i % 7 == 0);
    sqlite3_bind_int(st, 5, i % 3 == 0);
    sqlite3_bind_int(st, 6, i % 2 == 0);
    sqlite3_bind_int(st, 7, i % 10);
    Check(sqlite3_step(st), db, "insert site");
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
}

// Runs a SELECT with the store and reads every row; returns the number of rows.
int StoreSelect(const std::string& folder, const std::string& sql) {
  TStoreQuery q;
  q.SetDatabaseName(folder);
  q.SetSQL(sql);
  q.Open();
  int rows = 0;
  for (q.First(); !q.Eof(); q.Next()) {
    for (int i = 0; i < q.FieldCount(); ++i) (void)q.Fields(i).AsString();
    ++rows;
  }
  return rows;
}

int SqliteSelect(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* st = nullptr;
  Check(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), db, sql.c_str());
  int rows = 0;
  while (sqlite3_step(st) == SQLITE_ROW) {
    for (int i = 0; i < sqlite3_column_count(st); ++i) (void)sqlite3_column_text(st, i);
    ++rows;
  }
  sqlite3_finalize(st);
  return rows;
}

double Best(int runs, const std::function<void()>& work) {
  double best = 1e9;
  for (int r = 0; r < runs; ++r) {
    auto start = TClock::now();
    work();
    best = std::min(best, Seconds(start));
  }
  return best;
}

void Line(const char* name, double store, double sqlite, int rowsStore, int rowsSqlite) {
  std::printf("%-34s %9.4f s %9.4f s %8.2f   rows %d / %d\n", name, store, sqlite, store / sqlite,
              rowsStore, rowsSqlite);
}

}  // namespace

int main(int argc, char** argv) {
  const int sites = argc > 1 ? std::atoi(argv[1]) : 100000;
  if (sites < 10) {
    std::fprintf(stderr, "usage: sql_vs_sqlite [sites (at least 10)]\n");
    return 2;
  }
  namespace fs = std::filesystem;
  fs::path root = fs::temp_directory_path() / ("sql_vs_sqlite_" + std::to_string(::getpid()));
  fs::create_directories(root / "store");
  const std::string folder = (root / "store").string() + "/";
  TStoreSession::Default().SetPrivateDir((root / "private").string());
  FillStore(folder, sites);
  sqlite3* db = nullptr;
  sqlite3_open((root / "sqlite.db").string().c_str(), &db);
  FillSqlite(db, sites);

  std::printf("%d sites, %d ISPs\n%-34s %11s %11s %8s\n", sites, kProviders, "workload", "store",
              "sqlite", "ratio");
  struct TWorkload {
    const char* name;
    std::string store, sqlite;
  };
  const TWorkload selects[] = {
      {"count killed and dead (fixed 1)",
       "SELECT Count(Url) As KillCount FROM Cracks WHERE Killed = True AND Dead = True",
       "SELECT Count(Url) AS KillCount FROM Cracks WHERE Killed = 1 AND Dead = 1"},
      {"killed Urls in order (fixed 2)", "SELECT Url FROM Cracks WHERE Killed = True ORDER BY Url",
       "SELECT Url FROM Cracks WHERE Killed = 1 ORDER BY Url"},
      {"GROUP BY Priority with COUNT", "SELECT Priority, COUNT(Url) FROM Cracks GROUP BY Priority",
       "SELECT Priority, COUNT(Url) FROM Cracks GROUP BY Priority"},
      {"join sites to ISPs on the domain",
       "SELECT c.Url, i.Emails FROM Cracks c JOIN Isps i ON i.Domain = c.Notes",
       "SELECT c.Url, i.Emails FROM Cracks c JOIN Isps i ON i.Domain = c.Notes"},
      {"the same join, sources with commas",
       "SELECT c.Url, i.Emails FROM Cracks c, Isps i WHERE i.Domain = c.Notes",
       "SELECT c.Url, i.Emails FROM Cracks c, Isps i WHERE i.Domain = c.Notes"},
  };
  for (const TWorkload& w : selects) {
    int a = 0, b = 0;
    double store = Best(3, [&] { a = StoreSelect(folder, w.store); });
    double lite = Best(3, [&] { b = SqliteSelect(db, w.sqlite); });
    Line(w.name, store, lite, a, b);
  }
  int a = 0, b = 0;
  double store = Best(1, [&] {
    TStoreQuery q;
    q.SetDatabaseName(folder);
    q.SetSQL("UPDATE Cracks SET Killed = True WHERE Priority = 3");
    q.ExecuteStatement();
    a = q.RowsAffected();
  });
  double lite = Best(1, [&] {
    Check(sqlite3_exec(db, "UPDATE Cracks SET Killed = 1 WHERE Priority = 3", nullptr, nullptr,
                       nullptr),
          db, "update");
    b = sqlite3_changes(db);
  });
  Line("UPDATE of 10% of the sites", store, lite, a, b);
  sqlite3_close(db);
  fs::remove_all(root);
  return 0;
}
