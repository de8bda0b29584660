// Restructure, verify and repair of the site table against SQLite's nearest operations, side
// by side in one run:
//
//   bench_restructure [sites]     (default 100000)
//
// (a) add a field: the store's Restructure (records copied into a new table, primary index
//     rebuilt, old files kept as backups) against SQLite rebuilding an equal table in one
//     transaction (CREATE TABLE new with the extra column, INSERT ... SELECT, DROP, RENAME,
//     REINDEX); (b) Verify against PRAGMA integrity_check; (c) Repair (every record read and
//     checked, the table written anew, every index rebuilt) against PRAGMA integrity_check
//     followed by VACUUM, SQLite's rebuild of a database file. One line per workload gives both
//     times and their ratio (store / SQLite).
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "StoreTool.h"
#include "data/SiteTables.h"
#include "store/api/StoreTb.h"

using namespace quellor;

namespace {

using TClock = std::chrono::steady_clock;

double Seconds(TClock::time_point since) {
  return std::chrono::duration<double>(TClock::now() - since).count();
}

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

void Exec(sqlite3* db, const char* sql) {
  Check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql);
}

const char* kColumns =
    "Url TEXT PRIMARY KEY, \"E-mails\" TEXT, \"BadE-mails\" TEXT, IPAddr TEXT, Notes TEXT, "
    "Cracks INTEGER, Serialz INTEGER, Warez INTEGER, LinksOnly INTEGER, Tutes INTEGER, Forumz "
    "INTEGER, Toolz INTEGER, Porn INTEGER, Hacks INTEGER, DMCA INTEGER, Urls TEXT, Blessed "
    "INTEGER, USA INTEGER, IPChanged INTEGER, Killed INTEGER, Dead INTEGER, LastSent REAL, "
    "LastDMCASent REAL, Priority INTEGER, KilledBy TEXT, DMCAUrls BLOB";

std::string SiteUrl(int i) {
  char url[96];
  std::snprintf(url, sizeof url, "http://www.%08x-%d.example/%s/",
                static_cast<unsigned>(i * 2654435761u), i, (i % 3) ? "warez" : "cracks/files");
  return url;
}

void Line(const char* name, double store, double sqlite) {
  std::printf("%-36s %9.3f s %9.3f s %8.2f\n", name, store, sqlite, store / sqlite);
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
  if (count < 10) {
    std::fprintf(stderr, "usage: bench_restructure [sites (at least 10)]\n");
    return 2;
  }
  namespace fs = std::filesystem;
  const fs::path folder =
      fs::temp_directory_path() / ("bench_restructure." + std::to_string(getpid()));
  fs::create_directories(folder);
  const std::string dir = folder.string() + "/";
  int status = 0;
  try {
    // The same sites in both.
    TStoreDatabase database;
    database.SetDatabaseName("bench");
    database.SetDirectory(dir);
    database.Open();
    {
      TStoreTable t;
      t.SetDatabaseName("bench");
      t.SetTableName("cracks.DAT");
      DefineSiteFields(t.FieldDefs());
      t.IndexDefs().Add("", "Url", IndexOption::Primary);
      t.CreateTable();
      t.Open();
      database.BeginTransaction();
      for (int i = 0; i < count; ++i) {
        t.Append();
        t.FieldByName("Url").SetAsString(SiteUrl(i));
        t.FieldByName("E-mails").SetAsString("abuse@provider" + std::to_string(i % 977) +
                                             ".example");
        t.FieldByName("IPAddr").SetAsString("10." + std::to_string(i % 256) + ".1.1");
        if (i % 5 == 0) t.FieldByName("Notes").SetAsString("seen in forum " + std::to_string(i));
        t.FieldByName("Killed").SetAsBoolean(i % 7 == 0);
        t.FieldByName("Priority").SetAsInteger(i % 5);
        t.FieldByName("LastSent").SetAsDateTime(45000.5);
        t.Post();
      }
      database.CommitTransaction();
    }
    sqlite3* db = nullptr;
    Check(sqlite3_open((dir + "cracks.sqlite").c_str(), &db), db, "open");
    Exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=OFF;");
    Exec(db, (std::string("CREATE TABLE cracks (") + kColumns + ") WITHOUT ROWID").c_str());
    {
      sqlite3_stmt* st = nullptr;
      Check(sqlite3_prepare_v2(db,
                               "INSERT INTO cracks (Url, \"E-mails\", IPAddr, Notes, Killed, "
                               "Priority, LastSent) VALUES (?, ?, ?, ?, ?, ?, 45000.5)",
                               -1, &st, nullptr),
            db, "prepare");
      Exec(db, "BEGIN");
      for (int i = 0; i < count; ++i) {
        std::string url = SiteUrl(i);
        std::string mails = "abuse@provider" + std::to_string(i % 977) + ".example";
        std::string ip = "10." + std::to_string(i % 256) + ".1.1";
        std::string notes = "seen in forum " + std::to_string(i);
        sqlite3_bind_text(st, 1, url.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, mails.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 3, ip.c_str(), -1, SQLITE_TRANSIENT);
        if (i % 5 == 0)
          sqlite3_bind_text(st, 4, notes.c_str(), -1, SQLITE_TRANSIENT);
        else
          sqlite3_bind_null(st, 4);
        sqlite3_bind_int(st, 5, i % 7 == 0);
        sqlite3_bind_int(st, 6, i % 5);
        Check(sqlite3_step(st), db, "insert");
        sqlite3_reset(st);
      }
      Exec(db, "COMMIT");
      sqlite3_finalize(st);
    }
    std::printf("bench_restructure: %d sites in %s\n", count, dir.c_str());
    std::printf("SQLite %s, file database, synchronous=OFF; store engine %s\n\n",
                sqlite3_libversion(), kEngineVersion);
    std::printf("%-36s %11s %11s %8s\n", "workload", "store", "SQLite", "ratio");

    // (a) add a field
    TStoreTable t;
    t.SetDatabaseName("bench");
    t.SetTableName("cracks.DAT");
    auto start = TClock::now();
    t.RestructureFieldDefs().LoadFromTable();
    t.RestructureIndexDefs().LoadFromTable();
    t.RestructureFieldDefs().Add("Country", TFieldType::String, 30);
    t.Restructure(0, 0, 1, 3, false, "", "Cracks", 512, -1, false);
    double store = Seconds(start);
    start = TClock::now();
    Exec(db, "BEGIN");
    Exec(db, (std::string("CREATE TABLE cracks_new (") + kColumns + ", Country TEXT) WITHOUT ROWID")
                 .c_str());
    Exec(db, "INSERT INTO cracks_new SELECT *, NULL FROM cracks");
    Exec(db, "DROP TABLE cracks");
    Exec(db, "ALTER TABLE cracks_new RENAME TO cracks");
    Exec(db, "REINDEX cracks");
    Exec(db, "COMMIT");
    Line("(a) add a field (restructure)", store, Seconds(start));

    auto integrity = [&] {
      sqlite3_stmt* st = nullptr;
      Check(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr), db, "check");
      std::string answer;
      while (sqlite3_step(st) == SQLITE_ROW)
        answer += reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
      sqlite3_finalize(st);
      if (answer != "ok") std::fprintf(stderr, "integrity_check: %s\n", answer.c_str());
    };
    int lines = 0;
    t.OnRepairLog = [&](TStoreTable&, const std::string&) { ++lines; };

    // (b) verify
    start = TClock::now();
    bool sound = t.Verify();
    store = Seconds(start);
    start = TClock::now();
    integrity();
    Line("(b) verify / integrity_check", store, Seconds(start));
    if (!sound || lines != 2) {
      std::fprintf(stderr, "verify found damage in a sound table\n");
      status = 1;
    }

    // (c) repair
    start = TClock::now();
    t.Repair();
    store = Seconds(start);
    start = TClock::now();
    integrity();
    Exec(db, "VACUUM");
    Line("(c) repair / integrity_check+VACUUM", store, Seconds(start));
    t.Open();
    if (t.RecordCount() != count) {
      std::fprintf(stderr, "repair left %d of %d records\n", t.RecordCount(), count);
      status = 1;
    }
    t.Close();
    sqlite3_close(db);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_restructure: %s\n", e.what());
    status = 1;
  }
  fs::remove_all(folder);
  return status;
}
