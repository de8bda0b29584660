// TStoreQuery: one SQL statement of the store's dialect run against the tables of a database.
//
//   TStoreQuery q;
//   q.SetDatabaseName(folder);                 // a database's name, or a folder
//   q.SetSQL("SELECT Url FROM Cracks WHERE Killed = True ORDER BY Url");
//   q.Open();                                  // a SELECT: the result is the query's dataset
//   for (q.First(); !q.Eof(); q.Next()) use(q.FieldByName("Url").AsString());
//   q.SetSQL("UPDATE Cracks SET Priority = 1 WHERE Killed = False");
//   q.ExecuteStatement();                      // any statement; RowsAffected() tells how many
//
// A SELECT's result is read-only and "canned": a temporary table in the session's private
// folder (PrivateDir, or "quellor-<user id>" in the system's temporary folder when it is
// empty), removed when the query closes or the program ends; tables that a crashed program
// left there are removed when the next session starts to use the folder. With RequestLive a
// SELECT of one table without INTO, DISTINCT, aggregates, GROUP BY, HAVING or ORDER BY (and a
// WHERE that a filter can express) gives the table itself, filtered by the WHERE condition:
// edits of the result change the table. SELECT ... INTO t makes the result the table t.
//
// Every error of the statement is EStoreEngineError 11949 "SQL error - <message>"; errors of
// the store (locks, keys, files) pass through with their own codes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "store/api/StoreTb.h"

namespace quellor {

// A value for a "?" placeholder.
struct TQueryParam {
  enum class TKind : uint8_t { Null, String, Integer, Float, Boolean, DateTime };
  TKind Kind = TKind::Null;
  std::string Text;
  int64_t Integer = 0;
  double Float = 0;  // also TDateTime
  bool IsNull() const { return Kind == TKind::Null; }
  void Clear() { *this = TQueryParam(); }
  void SetAsString(const std::string& v) {
    Kind = TKind::String;
    Text = v;
  }
  void SetAsInteger(int64_t v) {
    Kind = TKind::Integer;
    Integer = v;
  }
  void SetAsFloat(double v) {
    Kind = TKind::Float;
    Float = v;
  }
  void SetAsBoolean(bool v) {
    Kind = TKind::Boolean;
    Integer = v ? 1 : 0;
  }
  void SetAsDateTime(TDateTime v) {
    Kind = TKind::DateTime;
    Float = v;
  }
};

class TQueryParams {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  TQueryParam& Items(int i) { return items_.at(static_cast<size_t>(i)); }
  const TQueryParam& Items(int i) const { return items_.at(static_cast<size_t>(i)); }
  TQueryParam& Add() { return items_.emplace_back(); }
  void Resize(int count) { items_.resize(static_cast<size_t>(count)); }
  void Clear() { items_.clear(); }

 private:
  std::vector<TQueryParam> items_;
};

class TSqlResult;

// The kind of a statement, from its first keywords as the dialect reads them.
enum class TSqlStatementKind : uint8_t {
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

// Parses `text` with the session's decimal separator and tells its kind, without opening any
// table. Whether a statement returns rows is decided here, never by looking for words in the
// text (a SELECT of a column named LastUpdate is a SELECT). A blank text raises 11949 "No SQL
// statement available" and a syntax error its 11949 message, exactly as Open would.
TSqlStatementKind SqlStatementKind(const std::string& text,
                                   TStoreSession& session = TStoreSession::Default());

class TStoreQuery {
 public:
  explicit TStoreQuery(TStoreSession& session = TStoreSession::Default());
  ~TStoreQuery();
  TStoreQuery(const TStoreQuery&) = delete;
  TStoreQuery& operator=(const TStoreQuery&) = delete;

  const std::string& DatabaseName() const { return databaseName_; }
  void SetDatabaseName(const std::string& name);
  std::string SessionName() const { return session_.SessionName(); }
  std::string EngineVersion() const { return kEngineVersion; }

  // The statement text; lines are joined with line breaks. Setting it closes an open result.
  // With ParamCheck (the default) the parameter list is resized to the number of "?" in it,
  // keeping the values of those that remain.
  const std::string& SQL() const { return sql_; }
  void SetSQL(const std::string& text);
  void SetSQL(const std::vector<std::string>& lines);
  bool ParamCheck() const { return paramCheck_; }
  void SetParamCheck(bool on) { paramCheck_ = on; }
  TQueryParams& Params() { return params_; }
  // A master dataset: a "?" whose parameter is NULL (or missing) takes the value of the
  // master's field at the same position (the n-th "?" the n-th field).
  TStoreTable* DataSource() const { return dataSource_; }
  void SetDataSource(TStoreTable* master) { dataSource_ = master; }
  bool RequestLive() const { return requestLive_; }
  void SetRequestLive(bool on) { requestLive_ = on; }
  // -1: no limit; 0 or more: the result stops after that many rows.
  int MaxRowCount() const { return maxRowCount_; }
  void SetMaxRowCount(int rows) { maxRowCount_ = rows; }

  // Reports the rows read while a SELECT runs; setting AbortQuery stops it and keeps the rows
  // found so far as the result.
  std::function<void(TStoreQuery& sender, int CurrentRecord, int PercentDone, bool& AbortQuery)>
      OnQueryProgress;

  // The kind of the current statement (SqlStatementKind).
  TSqlStatementKind StatementKind() const { return SqlStatementKind(sql_, session_); }

  // Told when a result opens (the result dataset) and before it closes (null), so data-aware
  // controls can follow the query without holding a dataset that is about to go away.
  std::function<void(TStoreTable* result)> OnResultChange;

  // Runs a SELECT and opens its result ("No SQL statement available" without a statement).
  void Open();
  void Close();
  bool Active() const;
  void SetActive(bool on) { on ? Open() : Close(); }
  // Runs any statement without opening a result; the query must be closed.
  void ExecuteStatement();
  void ExecSQL() { ExecuteStatement(); }
  // Rows in the result, or rows changed by the last statement; its execution time in seconds.
  int RowsAffected() const { return rowsAffected_; }
  double ExecutionTime() const { return executionTime_; }
  // Whether the open result is the live source table.
  bool Live() const;

  // The result as a dataset (for data-aware controls); "Cannot perform this operation on a
  // closed dataset" when closed.
  TStoreTable& Result();
  void First() { Result().First(); }
  void Next() { Result().Next(); }
  void Prior() { Result().Prior(); }
  void Last() { Result().Last(); }
  bool Eof() { return Result().Eof(); }
  bool Bof() { return Result().Bof(); }
  int RecordCount() { return Result().RecordCount(); }
  int RecNo() { return Result().RecNo(); }
  int FieldCount() { return Result().FieldCount(); }
  TStoreField& Fields(int i) { return Result().Fields(i); }
  TStoreField& FieldByName(const std::string& name) { return Result().FieldByName(name); }

 private:
  void Run(bool open);

  TStoreSession& session_;
  std::string databaseName_;
  std::string sql_;
  bool paramCheck_ = true;
  TQueryParams params_;
  TStoreTable* dataSource_ = nullptr;
  bool requestLive_ = false;
  int maxRowCount_ = -1;
  int rowsAffected_ = 0;
  double executionTime_ = 0;
  std::unique_ptr<TSqlResult> result_;
};

}  // namespace quellor
