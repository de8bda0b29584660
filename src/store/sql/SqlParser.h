// The statement grammar of the SQL dialect: tokens (the expression language's own tokenizer) to
// a statement tree. Expressions inside a statement are not compiled here: the tree keeps where
// each one begins and ends in the token list, and the executor compiles them with the
// expression parser (TExprParser) once the tables they refer to are known. So SQL and the
// filters share one tokenizer, one expression tree, one evaluator and one index planner.
//
// Statements (keywords in any case, an optional ";" at the end):
//   SELECT [ALL|DISTINCT] col {, col} [INTO [MEMORY] t] FROM src {, src | join}
//          [WHERE c] [GROUP BY item {, item}] [HAVING c]
//          [ORDER BY item [ASC|DESC] {, item [ASC|DESC]} [NOCASE]] [WITH LOCKS]
//          [LANGUAGE 'name' [SORT 'name']] [ENCRYPTED WITH 'pw'] [NOJOINOPTIMIZE]
//   INSERT INTO [MEMORY] t [(col {, col})] (VALUES (e {, e}) | SELECT ...)
//          [NOAUTOINC] [COMMIT INTERVAL n]
//   UPDATE [MEMORY] t [[AS] corr] SET col = e {, col = e} [WHERE c] [NOAUTOINC]
//          [COMMIT INTERVAL n]
//   DELETE FROM [MEMORY] t [[AS] corr] [WHERE c] [NOJOINOPTIMIZE] [COMMIT INTERVAL n]
//   CREATE TABLE [MEMORY] t (coldef {, coldef} [, [CONSTRAINT n] PRIMARY KEY (cols)
//          [COMPRESS x]]) [table options]
//   CREATE [UNIQUE] [ASC|DESC] [NOCASE] INDEX n ON t (cols) [COMPRESS x]
//   ALTER TABLE [MEMORY] t change {, change} [table options] [LAST AUTOINC n] [NOBACKUP]
//   DROP TABLE [MEMORY] t
//   DROP INDEX [MEMORY] t.index
// Every syntax error throws EExprError with the dialect's message (the caller reports it as
// engine error 11949 "SQL error - ...").
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store/api/StoreTb.h"
#include "store/expr/ExprLexer.h"

namespace quellor {

inline constexpr const char* kSqlStatementName = "SQL statement";

// Where an expression stands: tokens [begin, end). Empty when begin == end.
struct TSqlExprRef {
  size_t begin = 0, end = 0;
  bool Present() const { return end > begin; }
};

struct TSqlTableRef {
  std::string name;  // as written
  bool memory = false;
  std::string correlation;  // empty: none given
  size_t position = 0;      // token of the name
};

enum class TSqlJoinKind : uint8_t { First, Comma, Inner, Left, Right };

struct TSqlSource {
  TSqlTableRef table;
  TSqlJoinKind kind = TSqlJoinKind::First;
  TSqlExprRef on;
};

struct TSqlColumnRef {
  TSqlExprRef expr;
  std::string alias;  // empty: the name comes from the expression
  bool star = false;  // "*" or correlation ".*"
  std::string starCorrelation;
};

// A GROUP BY or ORDER BY item: a result column's name (optionally after a correlation) or its
// number from 1.
struct TSqlItem {
  std::string correlation, name;
  int number = 0;
  bool descending = false;
  std::string text;  // as written, for messages
};

// LANGUAGE/SORT, ENCRYPTED WITH and the other table options.
struct TSqlTableOptions {
  bool hasLanguage = false;
  int languageId = 0, sortId = 0;
  bool hasDescription = false;
  std::string description;
  bool hasBlobBlockSize = false;
  int blobBlockSize = 512;
  bool encrypted = false;
  std::string password;
  bool hasUserMajor = false, hasUserMinor = false;
  int userMajor = 1, userMinor = 0;
};

struct TSqlSelect {
  bool distinct = false;
  std::vector<TSqlColumnRef> columns;
  bool hasInto = false;
  TSqlTableRef into;
  std::vector<TSqlSource> sources;
  TSqlExprRef where;
  std::vector<TSqlItem> groupBy;
  TSqlExprRef having;
  bool hasHaving = false;
  std::vector<TSqlItem> orderBy;
  bool orderNoCase = false;
  bool withLocks = false;
  bool noJoinOptimize = false;
  TSqlTableOptions options;
  size_t begin = 0, end = 0;  // tokens of the whole SELECT
};

struct TSqlColumnDef {
  std::string name;
  TFieldType type = TFieldType::String;
  int size = 0;  // string/bytes: width; BCD: decimals
  bool hasDescription = false;
  std::string description;
  bool notNull = false;
  std::string defaultValue, minimum, maximum;
  TCharCase charCase = TCharCase::Unchanged;
  int at = 0;  // ALTER TABLE ... ADD ... AT n (0: at the end; -1: a position below 1)
};

struct TSqlKeyDef {
  std::vector<std::string> columns;
  TIndexCompression compression = TIndexCompression::None;
  bool unique = false, descending = false, noCase = false;
};

enum class TSqlAlterKind : uint8_t {
  AddColumn,
  RedefineColumn,
  DropColumn,
  AddPrimaryKey,
  RedefinePrimaryKey,
  DropPrimaryKey
};

struct TSqlAlterChange {
  TSqlAlterKind kind = TSqlAlterKind::AddColumn;
  std::string name;  // the column of REDEFINE and DROP
  TSqlColumnDef column;
  TSqlKeyDef key;
};

enum class TSqlKind : uint8_t {
  Select = 1,
  Insert,
  Update,
  Delete,
  CreateTable,
  AlterTable,
  DropTable,
  CreateIndex,
  DropIndex
};

struct TSqlStatement {
  TSqlKind kind = TSqlKind::Select;
  TSqlSelect select;   // SELECT, and the SELECT of INSERT ... SELECT
  TSqlTableRef table;  // INSERT, UPDATE, DELETE, CREATE, ALTER, DROP
  // INSERT
  std::vector<std::string> insertColumns;
  std::vector<TSqlExprRef> values;
  bool insertSelect = false;
  // UPDATE
  std::vector<std::pair<std::string, TSqlExprRef>> sets;
  TSqlExprRef where;  // UPDATE, DELETE
  bool noAutoInc = false;
  int commitInterval = 0;  // 0: not given
  // CREATE TABLE
  std::vector<TSqlColumnDef> columns;
  bool hasPrimaryKey = false;
  TSqlKeyDef primaryKey;
  TSqlTableOptions options;
  // CREATE INDEX, DROP INDEX
  std::string indexName;
  TSqlKeyDef index;
  // ALTER TABLE
  std::vector<TSqlAlterChange> changes;
  bool hasLastAutoInc = false;
  int64_t lastAutoInc = -1;
  bool noBackup = false;
};

// Parses one statement of `tokens` (which end with an End token). Throws EExprError.
TSqlStatement ParseSqlStatement(const std::vector<TExprToken>& tokens);
// Parses a SELECT that starts at `pos` and ends before a ")" at its own level (a sub-select);
// `pos` is left on that ")".
TSqlSelect ParseSqlSubSelect(const std::vector<TExprToken>& tokens, size_t& pos);

}  // namespace quellor
