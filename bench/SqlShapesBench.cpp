// SQL statements whose shape, not their data, decides the cost: many small tables listed with
// commas and joined by WHERE, and long statements (a flat chain of "+ 1" terms, a chain of ORs)
// up to the longest statement the dialect accepts. One line per workload: the time and the
// process's peak resident memory so far.
//
//   bench_sql_shapes [part of a workload's name: runs only the workloads that contain it]
//
// Workloads:
//   - 7 and 12 tables of 10 rows, "FROM T1 a1, T2 a2, ... WHERE a1.K = a2.K AND a2.K = a3.K
//     ...": one row per key (10 rows);
//   - the same 12 tables with the equalities written as JOIN ... ON;
//   - SELECT of a chain of "+ 1" terms and a WHERE of a chain of ORs, at 64 KB, 256 KB and
//     1 MB of text; and a 10 MB statement, refused before it is read;
//   - 9 tables of 10 rows listed with commas and no WHERE (10^9 combinations): fails at the
//     statement's memory limit without exhausting the process.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "store/api/StoreQuery.h"
#include "store/api/StoreTb.h"
#include "store/sql/SqlExec.h"

using namespace quellor;

namespace {

using TClock = std::chrono::steady_clock;

double PeakMb() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;
}

std::string only;

void Line(const std::string& name, const std::function<std::string()>& work) {
  if (!only.empty() && name.find(only) == std::string::npos) return;
  auto start = TClock::now();
  std::string outcome;
  try {
    outcome = work();
  } catch (const EStoreEngineError& e) {
    outcome = "error " + std::to_string(e.ErrorCode()) + ": " + e.Errors()[0].Message.substr(0, 60);
  }
  double s = std::chrono::duration<double>(TClock::now() - start).count();
  std::printf("%-44s %9.4f s %8.1f MB peak   %s\n", name.c_str(), s, PeakMb(), outcome.c_str());
}

std::string Rows(const std::string& folder, const std::string& sql) {
  TStoreQuery q;
  q.SetDatabaseName(folder);
  q.SetSQL(sql);
  q.Open();
  int rows = 0;
  for (q.First(); !q.Eof(); q.Next()) ++rows;
  return std::to_string(rows) + " rows";
}

void MakeTables(const std::string& folder, int tables) {
  for (int t = 1; t <= tables; ++t) {
    TStoreQuery q;
    q.SetDatabaseName(folder);
    q.SetSQL("CREATE TABLE T" + std::to_string(t) + " (K INTEGER, V CHAR(10))");
    q.ExecuteStatement();
    for (int r = 0; r < 10; ++r) {
      q.SetSQL("INSERT INTO T" + std::to_string(t) + " VALUES (" + std::to_string(r) + ", 'v" +
               std::to_string(r) + "')");
      q.ExecuteStatement();
    }
  }
}

std::string CommaJoin(int tables, bool linked) {
  std::string sql = "SELECT a1.K, a" + std::to_string(tables) + ".V FROM ";
  for (int t = 1; t <= tables; ++t)
    sql += (t > 1 ? ", T" : "T") + std::to_string(t) + " a" + std::to_string(t);
  if (linked) {
    sql += " WHERE ";
    for (int t = 1; t < tables; ++t)
      sql += (t > 1 ? " AND a" : "a") + std::to_string(t) + ".K = a" + std::to_string(t + 1) + ".K";
  }
  return sql;
}

std::string OnJoin(int tables) {
  std::string sql = "SELECT a1.K, a" + std::to_string(tables) + ".V FROM T1 a1";
  for (int t = 2; t <= tables; ++t)
    sql += " JOIN T" + std::to_string(t) + " a" + std::to_string(t) + " ON a" +
           std::to_string(t - 1) + ".K = a" + std::to_string(t) + ".K";
  return sql;
}

std::string PlusChain(size_t bytes) {
  std::string sql = "SELECT 0";
  while (sql.size() + 32 < bytes) sql += " + 1";
  return sql + " FROM T1 WHERE K = 0";
}

std::string OrChain(size_t bytes) {
  std::string sql = "SELECT K FROM T1 WHERE K = 0";
  while (sql.size() + 16 < bytes) sql += " OR K = 1";
  return sql;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) only = argv[1];
  namespace fs = std::filesystem;
  fs::path root = fs::temp_directory_path() / ("bench_sql_shapes_" + std::to_string(::getpid()));
  fs::create_directories(root / "db");
  const std::string folder = (root / "db").string() + "/";
  TStoreSession::Default().SetPrivateDir((root / "private").string());
  MakeTables(folder, 12);

  std::printf("%-44s %11s %13s\n", "workload", "time", "memory");
  Line("7 tables of 10 rows, commas, WHERE", [&] { return Rows(folder, CommaJoin(7, true)); });
  Line("12 tables of 10 rows, commas, WHERE", [&] { return Rows(folder, CommaJoin(12, true)); });
  Line("12 tables of 10 rows, JOIN ... ON", [&] { return Rows(folder, OnJoin(12)); });
  for (size_t kb : {64, 256, 1024}) {
    const size_t bytes = kb * 1024 - 64;
    Line("\"+ 1\" chain, " + std::to_string(kb) + " KB",
         [&] { return Rows(folder, PlusChain(bytes)); });
    Line("OR chain, " + std::to_string(kb) + " KB", [&] { return Rows(folder, OrChain(bytes)); });
  }
  Line("statement of 10 MB", [&] { return Rows(folder, OrChain(10 * 1024 * 1024)); });
  // Last: its peak memory would hide that of the others.
  Line("9 tables of 10 rows, commas, no WHERE", [&] { return Rows(folder, CommaJoin(9, false)); });
  fs::remove_all(root);
  return 0;
}
