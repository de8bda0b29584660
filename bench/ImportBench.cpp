// The CSV site import against SQLite, side by side in one run: a file of site lines is imported
// into an empty site table and then once more into the table that holds them all (every line a
// duplicate). The store runs the program's ImportSites (one transaction, the duplicate test on
// the primary index, every field converted from its text); SQLite reads the same file through
// the same line and field splitter and runs INSERT OR IGNORE into a table with a unique index on
// Url, in one transaction. One line per workload: store seconds, SQLite seconds and the ratio
// store/SQLite (below 1.0 the store is faster); then the process's peak memory.
//
//   bench_import [lines]     (default 100000)
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "SilentUi.h"
#include "StoreTool.h"
#include "app/Ui.h"
#include "store/api/StoreTb.h"
#include "transfer/CsvField.h"
#include "transfer/CsvRecords.h"
#include "transfer/ImportSites.h"

using namespace quellor;

namespace {

using TClock = std::chrono::steady_clock;

double Seconds(TClock::time_point since) {
  return std::chrono::duration<double>(TClock::now() - since).count();
}

// CPU seconds of the process so far: on a busy machine the fairer measure of the two engines.
double CpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Site lines as the CSV export writes them: every field quoted, most of them filled.
std::string MakeFile(int count) {
  std::string text;
  text.reserve(static_cast<size_t>(count) * 200);
  char line[512];
  for (int i = 0; i < count; ++i) {
    std::snprintf(line, sizeof line,
                  "\"http://www.%08x-%d.example/%s/\",\"abuse@provider%d.example\",,"
                  "\"10.%d.1.%d\",\"%s\",\"%s\",\"False\",\"%s\",,,,,,,,"
                  "\"http://x%d.example/a.zip\",,\"True\",,\"%s\",\"False\","
                  "\"2021-03-04 05:06:07\",,\"%d\",,\r\n",
                  static_cast<unsigned>(i * 2654435761u), i, (i % 3) ? "warez" : "cracks/files",
                  i % 977, i % 256, i % 250, (i % 5) ? "" : "seen in a forum",
                  (i % 2) ? "True" : "False", (i % 3) ? "False" : "True", i,
                  (i % 7) ? "False" : "True", i % 5);
    text += line;
  }
  return text;
}

void CreateStoreTable(const std::string& folder) {
  std::ostringstream out, err;
  if (RunStoreTool({"init", folder}, out, err) != 0) {
    std::fprintf(stderr, "%s", err.str().c_str());
    std::exit(1);
  }
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

const char* kCreateSqlite =
    "CREATE TABLE cracks (Url TEXT, \"E-mails\" TEXT, \"BadE-mails\" TEXT, IPAddr "
    "TEXT, Notes TEXT, Cracks INTEGER, Serialz INTEGER, Warez INTEGER, LinksOnly INTEGER, Tutes "
    "INTEGER, Forumz INTEGER, Toolz INTEGER, Porn INTEGER, Hacks INTEGER, DMCA INTEGER, Urls TEXT, "
    "Blessed INTEGER, USA INTEGER, IPChanged INTEGER, Killed INTEGER, Dead INTEGER, LastSent TEXT, "
    "LastDMCASent TEXT, Priority INTEGER, KilledBy TEXT, DMCAUrls BLOB);"
    "CREATE UNIQUE INDEX cracks_url ON cracks (Url);";

enum class TKind { Text, Boolean, Integer };

TKind KindOf(int field) {
  if ((field >= 5 && field <= 14) || (field >= 16 && field <= 20)) return TKind::Boolean;
  if (field == 23) return TKind::Integer;
  return TKind::Text;
}

// The same file, read through the same records and field split, into SQLite.
int SqliteImport(sqlite3* db, const std::string& fileName) {
  const std::vector<TCsvRecord> records = ReadCsvFile(fileName);
  std::string sql = "INSERT OR IGNORE INTO cracks VALUES (?";
  for (int i = 1; i < 26; ++i) sql += ",?";
  sql += ")";
  sqlite3_stmt* insert = nullptr;
  Check(sqlite3_prepare_v2(db, sql.c_str(), -1, &insert, nullptr), db, "prepare");
  Exec(db, "BEGIN");
  int added = 0;
  for (const TCsvRecord& record : records) {
    const std::vector<std::string> fields = SplitCsvFields(record.text, ',', 26);
    for (int i = 0; i < 26; ++i) {
      const std::string& v = fields[static_cast<size_t>(i)];
      if (v.empty()) {
        sqlite3_bind_null(insert, i + 1);
      } else if (KindOf(i) == TKind::Boolean) {
        sqlite3_bind_int(insert, i + 1, v[0] == 'T' || v[0] == 't');
      } else if (KindOf(i) == TKind::Integer) {
        sqlite3_bind_int(insert, i + 1, std::atoi(v.c_str()));
      } else {
        sqlite3_bind_text(insert, i + 1, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
      }
    }
    Check(sqlite3_step(insert), db, "insert");
    added += sqlite3_changes(db);
    sqlite3_reset(insert);
  }
  Exec(db, "COMMIT");
  sqlite3_finalize(insert);
  return added;
}

void Line(const char* name, double store, double sqlite, double storeCpu, double sqliteCpu) {
  std::printf("%-38s %8.3f s %8.3f s %6.2f  %8.3f s %8.3f s %6.2f\n", name, store, sqlite,
              store / sqlite, storeCpu, sqliteCpu, storeCpu / sqliteCpu);
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
  if (count < 1) {
    std::fprintf(stderr, "usage: bench_import [lines (at least 1)]\n");
    return 2;
  }
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / ("bench_import." + std::to_string(getpid()));
  fs::create_directories(folder);
  const std::string dir = folder.string() + "/";
  const std::string fileName = dir + "sites.csv";
  {
    std::ofstream out(fileName, std::ios::binary);
    out << MakeFile(count);
  }

  std::printf("bench_import: %d site lines in %s\n", count, dir.c_str());
  std::printf("SQLite %s, file database, pragmas: %s\n", sqlite3_libversion(), kPragmas);
  std::printf("store: engine %s, ImportSites in one transaction\n\n", kEngineVersion);
  std::printf("%-38s %10s %10s %6s  %10s %10s %6s\n", "workload", "store", "SQLite", "ratio",
              "store CPU", "SQLite CPU", "ratio");

  int status = 0;
  try {
    CreateStoreTable(dir);
    TStoreDatabase db;
    db.SetDatabaseName("BENCH");
    db.SetDirectory(dir);
    TStoreTable sites;
    sites.SetDatabaseName("BENCH");
    sites.SetTableName("cracks");
    sites.Open();
    SilentUi ui;

    sqlite3* lite = nullptr;
    Check(sqlite3_open((dir + "cracks.sqlite").c_str(), &lite), lite, "open");
    Exec(lite, kPragmas);
    Exec(lite, kCreateSqlite);

    struct TRun {
      const char* name;
      int expected;
    } runs[] = {{"import into an empty table", count}, {"import again: every line a duplicate", 0}};
    for (const TRun& run : runs) {
      auto start = TClock::now();
      double cpu = CpuSeconds();
      TImportResult result = ImportSites({db, sites}, ui, fileName);
      const double store = Seconds(start), storeCpu = CpuSeconds() - cpu;
      start = TClock::now();
      cpu = CpuSeconds();
      const int added = SqliteImport(lite, fileName);
      const double sqlite = Seconds(start), sqliteCpu = CpuSeconds() - cpu;
      Line(run.name, store, sqlite, storeCpu, sqliteCpu);
      if (result.imported != run.expected || added != run.expected) {
        std::fprintf(stderr, "unexpected counts: store %d (%s), SQLite %d, expected %d\n",
                     result.imported, (ui.messages.empty() ? "" : ui.messages.back().c_str()),
                     added, run.expected);
        status = 1;
      }
    }
    sqlite3_close(lite);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    status = 1;
  }
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  std::printf("\npeak memory %.0f MB (both engines, one process)\n", usage.ru_maxrss / 1024.0);
  fs::remove_all(folder);
  return status;
}
