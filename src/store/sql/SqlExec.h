// Running SQL statements: the statement tree of SqlParser.h compiled against the tables it
// names (expressions through the expression module, so WHERE and ON use the index planner of
// the filters) and carried out through the store's tables.
//
// SELECT, step by step:
//   1. the sources are opened shared; names and correlation names are resolved;
//   2. the first source's records come from the indexes where the WHERE condition lets them
//      (TExprIndexProvider over the table, as for filters), else from one scan;
//   3. each join adds the next source: an equality of an indexed field of the new source with
//      an expression of the earlier ones is answered by index lookups; any other join reads the
//      new source once and tests the ON condition per combination. LEFT keeps unmatched rows of
//      the earlier sources with NULLs, RIGHT unmatched rows of the new one. Sources listed with
//      commas are inner joins on the parts of WHERE that concern them (SqlSelect.cpp);
//   4. what is left of WHERE is tested on every combination (unless the index answered it
//      exactly), then the columns are evaluated, grouped (aggregates), made distinct, sorted
//      and cut to MaxRowCount;
//   5. the rows are written to the result table.
// The executor is cut into one file a job; SqlRunner.h lists them.
//
// Temporary result tables: a session's private folder holds tables named after the first five
// digits of the creating thread's id followed by the lowest number not in use (".DAT", ".IDX",
// ".BLB"). The owner writes each exclusively, then holds it open shared and read-only (a read
// lock on the share byte of PhysicalFile.h, so the program's own grid can read it through a
// second cursor), and deletes it when its query closes or the process ends. The first
// use of a private folder by a process deletes the tables there that nobody holds and that are
// older than kStaleTemporaryAge seconds (left behind by a program that crashed: an exclusive
// open proves that nobody holds one, as any holder's lock refuses it); the age keeps
// a table another program has just created, and not yet opened, safe.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "store/api/StoreTb.h"
#include "store/expr/ExprValue.h"

namespace quellor {

inline constexpr int kStaleTemporaryAge = 30;

// How much memory a SELECT may hold for its combinations of joined records, the records it
// reads for joins, its rows, groups and DISTINCT keys (1 GB unless changed); one that needs
// more fails with an SQL error naming the limit. 0: no limit.
inline constexpr size_t kDefaultSqlMemoryLimit = size_t{1024} * 1024 * 1024;
size_t SqlMemoryLimit();
void SetSqlMemoryLimit(size_t bytes);
// The longest statement text the dialect accepts, in bytes; a longer one fails at once.
inline constexpr size_t kMaxSqlStatementBytes = size_t{1024} * 1024;
// 11949 naming the length when `text` is longer than kMaxSqlStatementBytes; every path that
// reads a statement asks this before it reads a byte of it.
void CheckSqlStatementSize(const std::string& text);

struct TSqlRunOptions {
  TStoreSession* session = nullptr;
  std::string databaseName;
  std::vector<TExprValue> params;
  int maxRowCount = -1;
  bool requestLive = false;
  bool wantResult = false;  // Open: a SELECT's result is opened
  size_t memoryLimit = SqlMemoryLimit();
  // Called while a SELECT reads; returns true to stop it (the rows so far are kept).
  std::function<bool(int currentRecord, int percentDone)> progress;
};

struct TSqlRunOutcome {
  int rows = 0;
  bool isSelect = false;
  bool live = false;
  std::unique_ptr<TStoreTable> dataset;  // the opened result (wantResult)
  std::string tempFolder, tempTable;     // a temporary result table to remove when closed
};

// Runs one statement. Errors of the statement raise EStoreEngineError 11949; the store's own
// errors pass through.
TSqlRunOutcome RunSqlStatement(const std::string& text, const TSqlRunOptions& options);

// Deletes a temporary result table's files.
void RemoveTemporaryTable(const std::string& folder, const std::string& table);

// The private folder of a session (made when missing), cleaned of stale temporary tables the
// first time the process uses it. Ends with "/".
std::string SessionPrivateFolder(TStoreSession& session);
// Deletes the stale temporary tables of a folder (see above); returns how many.
int RemoveStaleTemporaryTables(const std::string& folder);

// The number of "?" placeholders of a statement (0 when it does not tokenize).
int CountSqlParams(const std::string& text);

}  // namespace quellor
