// The parts of the SQL executor that its files share (SqlExec.h is the executor's interface;
// nothing outside src/store/sql/ includes this header). One file a job:
//   SqlExec.cpp        the entry point and the statement runner: expressions compiled against
//                      the statement's tables, progress, the database a table name is in
//   SqlNames.cpp       names: sources opened and their correlation names, fields found by
//                      name, ORDER BY and GROUP BY items found among the columns, result
//                      column names
//   SqlValues.cpp      values between expressions and fields: conversions, grouping keys
//   SqlSelect.cpp      SELECT: sources and joins, WHERE, grouping and aggregates, HAVING,
//                      DISTINCT, ordering, the row limit
//   SqlResult.cpp      a SELECT's result: live, a temporary table, or INTO a table
//   SqlWrite.cpp       INSERT, UPDATE and DELETE
//   SqlDdl.cpp         CREATE TABLE, CREATE INDEX, ALTER TABLE, DROP TABLE, DROP INDEX
//   SqlTempTables.cpp  the registry of the temporary result tables of this process
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "store/engine/DataSession.h"
#include "store/engine/DataTable.h"
#include "store/engine/TableFilter.h"
#include "store/expr/ExprContext.h"
#include "store/expr/ExprEval.h"
#include "store/expr/ExprIndex.h"
#include "store/expr/ExprLexer.h"
#include "store/expr/ExprNode.h"
#include "store/sql/SqlExec.h"
#include "store/sql/SqlParser.h"

namespace quellor {

// What the SQL layer needs of a table cursor beyond the front end: its engine table and the
// record it shows.
class TSqlTableAccess {
 public:
  static TDataTable& Engine(TStoreTable& t) { return *t.table_; }
  static const std::vector<uint8_t>& Shown(TStoreTable& t) { return t.shown_; }
  static std::shared_ptr<TDataDirectory> Directory(TStoreTable& t) { return t.directory_; }
  static std::shared_ptr<TDataTable> EngineShared(TStoreTable& t) { return t.table_; }
  // NOAUTOINC: the logical id (auto-increment value) the next Post gives the record.
  static void GiveLogicalId(TStoreTable& t, int32_t id) { t.givenLogicalId_ = id; }
};

namespace sqlexec {

// Field ids of a statement: source * kStride + the field's position in its table.
inline constexpr int kStride = 2048;
inline constexpr int kMaxColumns = 1024;

// A failure of the statement (the caller reports it as 11949).
[[noreturn]] void SqlFail(const std::string& message);
std::string Upper(std::string s);
// A table name without its folder and extension (its correlation name when none is given).
std::string BareName(const std::string& table);
// "Table '...' does not exist in SQL statement".
[[noreturn]] void NoSuchTable(const std::string& name);

// ---- names (SqlNames.cpp) ----

struct TSource {
  TSqlSource ast;
  std::shared_ptr<TDataDirectory> directory;
  std::shared_ptr<TDataTable> table;
};

// The fields of the statement's sources by correlation name and field name.
class TSqlScope : public TExprScope {
 public:
  explicit TSqlScope(const std::vector<TSource>& sources) : sources_(sources) {}
  std::optional<TExprField> FindField(std::string_view correlation,
                                      std::string_view name) const override;

 private:
  const std::vector<TSource>& sources_;
};

// A result column.
struct TColumn {
  TExprNodePtr node;
  std::string name;
  TExprType type = TExprType::Null;
  std::optional<TFieldDesc> sourceField;  // a plain field: its definition (a copy: the
                                          // sources close before the rows are written)
  bool aggregate = false;
};

// Result column names: cut to 30 characters, a repeated one gets "_1", "_2", ...
void NameColumns(std::vector<TColumn>& columns);
// "Sum Of ", "Count Of ", ...: the start of the name of an aggregate column.
std::string AggregateName(TExprFunc f);
// Whether a source of a SELECT matches the correlation name of "corr.*".
bool MatchesStarCorrelation(const TSource& source, const std::string& correlation);

// ---- rows of the sources ----

// One combination of source records as the expressions see it.
class TSqlRow : public TExprRecord {
 public:
  void Setup(const std::vector<TSource>& sources) {
    values_.clear();
    images_.assign(sources.size(), {});
    for (const TSource& s : sources) values_.emplace_back(*s.table, nullptr);
  }
  // Loads the record of `slot` (0: none, the NULL row of an outer join) for source `s`.
  void Load(size_t s, TDataTable& table, int32_t slot) {
    if (slot == 0) {
      values_[s].SetImage(nullptr);
      loaded_.resize(values_.size(), -1);
      loaded_[s] = 0;
      return;
    }
    loaded_.resize(values_.size(), -1);
    if (s > 0) {
      // The later sources of a join are read again and again: their records are kept.
      if (cache_.size() < values_.size()) cache_.resize(values_.size());
      auto& cache = cache_[s];
      auto it = cache.find(slot);
      if (it == cache.end()) {
        if (cache.size() >= kCachedRecords) cache.clear();
        it = cache.emplace(slot, table.ReadRecord(slot)).first;
      }
      loaded_[s] = -1;
      values_[s].SetImage(it->second.data());
      return;
    }
    if (loaded_[s] != slot) {
      images_[s] = table.ReadRecord(slot);
      loaded_[s] = slot;
    }
    values_[s].SetImage(images_[s].data());
  }
  void SetImage(size_t s, const uint8_t* image) {
    loaded_.resize(values_.size(), -1);
    loaded_[s] = -1;
    values_[s].SetImage(image);
  }
  TExprValue Value(int fieldId) const override {
    size_t s = static_cast<size_t>(fieldId / kStride);
    if (fieldId < 0 || s >= values_.size()) return TExprValue::Null();
    return values_[s].Value(fieldId % kStride);
  }
  TExprValue Param(int index) const override {
    if (!params || index < 0 || static_cast<size_t>(index) >= params->size())
      return TExprValue::Null();
    return (*params)[static_cast<size_t>(index)];
  }
  TExprValue Aggregate(int index) const override {
    if (!aggregates || index < 0 || static_cast<size_t>(index) >= aggregates->size())
      return TExprValue::Null();
    return (*aggregates)[static_cast<size_t>(index)];
  }

  const std::vector<TExprValue>* params = nullptr;
  const std::vector<TExprValue>* aggregates = nullptr;

 private:
  static constexpr size_t kCachedRecords = 65536;
  std::vector<TRecordValues> values_;
  std::vector<std::vector<uint8_t>> images_;
  std::vector<std::unordered_map<int32_t, std::vector<uint8_t>>> cache_;
  std::vector<int32_t> loaded_;
};

// The indexes of one source, for the planner: only that source's fields are indexed.
class TSourceIndexes : public TExprIndexProvider {
 public:
  TSourceIndexes(TTableFilterAccess& access, int source) : access_(access), source_(source) {}
  TExprRecordSet AllRecords() override { return access_.AllRecords(); }
  bool HasIndex(int fieldId, bool caseInsensitive) override {
    return fieldId / kStride == source_ && access_.HasIndex(fieldId % kStride, caseInsensitive);
  }
  TExprRecordSet Lookup(int fieldId, bool caseInsensitive, const TExprKeyRange& range) override {
    return access_.Lookup(fieldId % kStride, caseInsensitive, range);
  }

 private:
  TTableFilterAccess& access_;
  int source_;
};

// ---- values (SqlValues.cpp) ----

// A value as bytes that are equal exactly when the values are (DISTINCT, GROUP BY).
void AppendKey(std::string& key, const TExprValue& v);
// The kind of a result column that shows a stored field, or holds values of a type.
TFieldType KindOfDesc(const TFieldDesc& f);
TFieldType KindOfExpr(TExprType t);
// Writes a value into a record image's field; false when it cannot be held.
bool PutValue(std::vector<uint8_t>& image, const TFieldDesc& f, const TExprValue& v,
              TBlobChanges& blobs, size_t index);
// NOAUTOINC: the auto-increment value a statement gives a record, 0 when it gives none (the
// record then gets the next one as usual).
int32_t GivenAutoInc(const TFieldDesc& f, const TExprValue& v);
// Sets a field of a cursor's edit buffer from a value.
void SetField(TStoreField& field, const TExprValue& v);
// Fails when a text value holds a NUL byte and is bound for a string field, which keeps its
// characters up to a zero byte and so would hold the value cut short.
void RefuseNul(const TFieldDesc& f, const TExprValue& v);
// Whether a value of type `value` can go into a field of kind `field`.
bool Assignable(TExprType value, const TFieldDesc& field);

// ---- temporary tables (SqlTempTables.cpp) ----

// A new name for a temporary table in `folder`, registered as this process's.
std::string NewTemporaryName(const std::string& folder);

// ---- the statement runner ----

struct TSelectRows {
  std::vector<TColumn> columns;
  std::vector<std::vector<TExprValue>> rows;
  uint32_t languageId = 0;
};

// Creates `table` from its definitions under a language and sort order of the session's
// (the session's own come back afterwards).
void CreateTableWithLanguage(TStoreSession& session, TStoreTable& table, int languageId,
                             int sortId);

class TSqlRunner {
 public:
  TSqlRunner(const std::vector<TExprToken>& tokens, const TSqlRunOptions& options);

  TSqlRunOutcome Run(const TSqlStatement& st);
  std::string statementText;

  // ---- for the statements' files ----
  // The rows of a SELECT; `limitRows`: cut to MaxRowCount (not for sub-selects and INSERT).
  TSelectRows Select(const TSqlSelect& s, bool limitRows);
  std::shared_ptr<TDataDirectory> DirectoryOf(bool memory);
  std::string DatabaseFor(const TSqlTableRef& ref) const {
    return ref.memory ? "MEMORY" : options_.databaseName;
  }
  // Points a cursor at the table a statement names.
  void NameTable(TStoreTable& table, const TSqlTableRef& ref) const {
    table.SetDatabaseName(DatabaseFor(ref));
    table.SetTableName(ref.name);
  }
  // SqlFail unless the table's data file exists.
  void CheckTableExists(const TSqlTableRef& ref);
  void OpenSources(const TSqlSelect& s, std::vector<TSource>& sources);
  // Compiles an expression of the statement; `condition`: a boolean one (WHERE, ON, HAVING);
  // `alias`: a column, whose name may follow it.
  TExprNodePtr Compile(const TSqlExprRef& r, const TExprScope& scope, TExprSettings& settings,
                       TExprEvaluator& evaluator, bool condition, const char* emptyMessage,
                       const char* boolMessage, std::string* alias = nullptr);
  std::vector<TExprValue> SubSelect(const std::vector<TExprToken>& tokens, size_t& pos,
                                    TExprType& type);
  int FindColumn(const std::vector<TColumn>& columns, const TSqlItem& item,
                 const std::vector<TSource>& sources, const char* clause) const;
  // Reports progress; true when the caller asked to stop.
  bool Progress(size_t done, size_t total);
  const TSqlRunOptions& Options() const { return options_; }
  const TExprSettings& Settings() const { return settings_; }
  const std::vector<TExprToken>& Tokens() const { return tokens_; }
  TStoreSession& Session() { return session_; }

 private:
  TSqlRunOutcome RunSelect(const TSqlStatement& st);
  TSqlRunOutcome RunInsert(const TSqlStatement& st);
  TSqlRunOutcome RunUpdateDelete(const TSqlStatement& st);
  TSqlRunOutcome RunCreateTable(const TSqlStatement& st);
  TSqlRunOutcome RunCreateIndex(const TSqlStatement& st);
  TSqlRunOutcome RunDrop(const TSqlStatement& st);
  TSqlRunOutcome RunAlter(const TSqlStatement& st);
  void WriteRows(const TSelectRows& result, TStoreTable& table, const std::string& database,
                 const std::string& name, const TSqlTableOptions& options, bool temporary);

  const std::vector<TExprToken>& tokens_;
  const TSqlRunOptions& options_;
  TStoreSession& session_;
  TExprSettings settings_;
  int subDepth_ = 0;
};

}  // namespace sqlexec
}  // namespace quellor
