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
//
// The query is a dataset (TStoreDBDataSet): navigation, fields, filters, bookmarks and
// listeners work on its result as on a table, so data sources and the grid take it as they
// take a table. Script mode runs several statements of one text in turn (see the class).
#pragma once

#include <cstdint>
#include <exception>
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

// One statement of a script: its text (without the ";" that ends it) and where it stands in
// the script.
struct TSqlScriptStatement {
  std::string Text;
  int Number = 0;     // from 1
  int Line = 0;       // of its first character, from 1
  int Column = 0;     // from 1
  size_t Offset = 0;  // byte offset of its first character
};

// Splits a script into its statements. A ";" ends a statement unless it stands in a string
// ('...' or "...", a doubled quote standing for one), a bracketed name ([...]) or a comment
// (/* ... */). Pieces holding nothing but blanks and comments are no statements. A string or
// comment left open runs to the end of the text (the statement then fails as it runs).
std::vector<TSqlScriptStatement> SplitSqlScript(const std::string& text);

// A query is a dataset over the result of its statement: once open it navigates, filters,
// gives bookmarks and tells data sources like a table. A canned result is read-only (edits fail
// with "Cannot modify a read-only dataset"); a live result edits the table beneath it.
//
// Script mode (SQLScript): SQL holds several statements separated by ";" (SplitSqlScript).
// They run one after another in the order written; after each, OnSaveProgress is told how many
// have run (CurrentRecord) and their share of the script in percent. A statement that fails
// goes to OnScriptError with its error, while ScriptStatement() tells which statement it is and
// where it stands; the handler leaves AbortScript true to stop the script, which then fails with
// that error (the statements before it stay done), or sets it false to go on with the next
// statement. Without a handler the first error stops the script. Open runs the whole script and
// opens the result of the last SELECT that ran, each SELECT's result replacing the one before;
// ExecuteStatement runs it without keeping any result. "?" parameters are taken in order across
// the statements.
class TStoreQuery : public TStoreDBDataSet {
 public:
  explicit TStoreQuery(TStoreSession& session = TStoreSession::Default());
  ~TStoreQuery() override;
  TStoreQuery(const TStoreQuery&) = delete;
  TStoreQuery& operator=(const TStoreQuery&) = delete;

  void SetDatabaseName(const std::string& name) override;

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

  // Script mode (above). Setting it closes an open result.
  bool SQLScript() const { return sqlScript_; }
  void SetSQLScript(bool on);
  using TScriptProgressEvent =
      std::function<void(TStoreQuery& Sender, int CurrentRecord, int16_t PercentDone)>;
  using TQueryScriptErrorEvent =
      std::function<void(TStoreQuery& Sender, const std::exception& E, bool& AbortScript)>;
  TScriptProgressEvent OnSaveProgress;
  TQueryScriptErrorEvent OnScriptError;
  // The statement of the script running now (during the events), or the last one that ran.
  const TSqlScriptStatement& ScriptStatement() const { return scriptStatement_; }
  // The statements of the last script that failed and were passed over by OnScriptError.
  int ScriptErrors() const { return scriptErrors_; }

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
  // A statement that returns no rows is not run: "Error creating table handle."; neither is a
  // script none of whose statements is a SELECT, and a script whose SELECTs all failed (and
  // were passed over) fails the same way after it ran.
  void Open() override;
  void Close() override;
  bool Active() const override;
  TDataSetState State() const override;
  // Runs any statement (or script) without opening a result; the query must be closed.
  void ExecuteStatement();
  void ExecSQL() { ExecuteStatement(); }
  // Rows in the result, or rows changed by the last statement; its execution time in seconds
  // (of the whole script in script mode).
  int RowsAffected() const { return rowsAffected_; }
  double ExecutionTime() const { return executionTime_; }
  // Whether the open result is the live source table.
  bool Live() const;
  // Whether edits are refused: a closed query or a canned result.
  bool ReadOnly() const override;

  // The result as a table cursor; "Cannot perform this operation on a closed dataset" when
  // closed. The dataset calls below go to it.
  TStoreTable& Result();
  TStoreTable* CursorTable() override { return Active() ? &Result() : nullptr; }

  void First() override { Result().First(); }
  void Next() override { Result().Next(); }
  void Prior() override { Result().Prior(); }
  void Last() override { Result().Last(); }
  int MoveBy(int distance) override { return Result().MoveBy(distance); }
  bool Eof() const override;
  bool Bof() const override;
  bool IsEmpty() override { return Result().IsEmpty(); }
  int RecordCount() override { return Result().RecordCount(); }
  int RecNo() override { return Result().RecNo(); }
  void SetRecNo(int recNo) override { Result().SetRecNo(recNo); }
  TBookmark GetBookmark() const override;
  void GotoBookmark(const TBookmark& bookmark) override { Result().GotoBookmark(bookmark); }
  uint64_t ChangeCount() const override;
  int FieldCount() const override;
  TStoreField& Fields(int i) override { return Result().Fields(i); }
  TStoreField& FieldByName(const std::string& name) override { return Result().FieldByName(name); }
  TStoreField* FindField(const std::string& name) override;
  void Append() override { Result().Append(); }
  void Edit() override { Result().Edit(); }
  bool TryEdit() override { return Result().TryEdit(); }
  const std::string& RecordHolder() const override;
  void Post() override { Result().Post(); }
  void Cancel() override { Result().Cancel(); }
  void Delete() override { Result().Delete(); }
  void Refresh() override { Result().Refresh(); }

  // The filter of the result: kept while closed and applied to every result the query opens.
  const std::string& Filter() const override { return filterText_; }
  void SetFilter(const std::string& text) override;
  TFilterOptions FilterOptions() const override { return filterOptions_; }
  void SetFilterOptions(const TFilterOptions& options) override;
  bool Filtered() const override { return filtered_; }
  void SetFiltered(bool on) override;

  // Listeners hear the result's events, and ActiveChanged as results open and close (told
  // while a closing result can still be read, with Active already false).
  void AddListener(TDataSetListener* listener) override;
  void RemoveListener(TDataSetListener* listener) override;
  void DisableControls() override { ++controlsDisabled_; }
  void EnableControls() override;
  bool ControlsDisabled() const override { return controlsDisabled_ > 0; }

 private:
  // Passes the result's events on to the query's listeners.
  class TResultLink : public TDataSetListener {
   public:
    explicit TResultLink(TStoreQuery& owner) : owner_(owner) {}
    void DataSetEvent(TDataEvent event, int info) override { owner_.Notify(event, info); }

   private:
    TStoreQuery& owner_;
  };

  // Runs one statement text with the parameters from `firstParam` on; with `open` a SELECT's
  // result replaces the open one.
  void RunStatement(const std::string& text, bool open, int firstParam);
  void RunScript(bool open);
  void Adopt(std::unique_ptr<TSqlResult> result);
  void Notify(TDataEvent event, int info);

  std::string sql_;
  bool paramCheck_ = true;
  TQueryParams params_;
  TStoreTable* dataSource_ = nullptr;
  bool requestLive_ = false;
  int maxRowCount_ = -1;
  int rowsAffected_ = 0;
  double executionTime_ = 0;
  bool sqlScript_ = false;
  TSqlScriptStatement scriptStatement_;
  int scriptErrors_ = 0;
  std::string filterText_;
  TFilterOptions filterOptions_;
  bool filtered_ = false;
  std::vector<TDataSetListener*> listeners_;
  int controlsDisabled_ = 0;
  bool closing_ = false;
  TResultLink resultLink_{*this};
  std::unique_ptr<TSqlResult> result_;
};

}  // namespace quellor
