#include "store/api/StoreQuery.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "store/expr/ExprContext.h"
#include "store/expr/ExprLexer.h"
#include "store/expr/ExprValue.h"
#include "store/sql/SqlExec.h"
#include "store/sql/SqlParser.h"

namespace quellor {

class TSqlResult {
 public:
  ~TSqlResult() {
    dataset.reset();
    if (!tempTable.empty()) RemoveTemporaryTable(tempFolder, tempTable);
  }
  std::unique_ptr<TStoreTable> dataset;
  std::string tempFolder, tempTable;
  bool live = false;
};

namespace {

TExprValue ParamValue(const TQueryParam& p) {
  switch (p.Kind) {
    case TQueryParam::TKind::Null:
      return TExprValue::Null();
    case TQueryParam::TKind::String:
      return p.Text.empty() ? TExprValue::Null() : TExprValue::Text(p.Text);
    case TQueryParam::TKind::Integer:
      return TExprValue::Int(p.Integer);
    case TQueryParam::TKind::Float:
      return TExprValue::Real(p.Float);
    case TQueryParam::TKind::Boolean:
      return TExprValue::Bool(p.Integer != 0);
    case TQueryParam::TKind::DateTime: {
      int32_t day = 0, ms = 0;
      SplitDateTime(p.Float, day, ms);
      return TExprValue::TimeStamp(static_cast<double>(day) * kMsPerDay + ms);
    }
  }
  return TExprValue::Null();
}

TExprValue FieldValue(TStoreField& f) {
  if (f.IsNull()) return TExprValue::Null();
  switch (f.DataType()) {
    case TFieldType::Boolean:
      return TExprValue::Bool(f.AsBoolean());
    case TFieldType::SmallInt:
    case TFieldType::Integer:
    case TFieldType::Word:
    case TFieldType::AutoInc:
      return TExprValue::Int(f.AsInteger());
    case TFieldType::Float:
    case TFieldType::Currency:
    case TFieldType::BCD:
      return TExprValue::Real(f.AsFloat());
    case TFieldType::Date:
    case TFieldType::Time:
    case TFieldType::DateTime: {
      int32_t day = 0, ms = 0;
      SplitDateTime(f.AsDateTime(), day, ms);
      if (f.DataType() == TFieldType::Date) return TExprValue::Date(day);
      if (f.DataType() == TFieldType::Time) return TExprValue::Time(ms);
      return TExprValue::TimeStamp(static_cast<double>(day) * kMsPerDay + ms);
    }
    default:
      return TExprValue::Text(f.AsString());
  }
}

bool BlankStatement(const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) > ' ') return false;
  return true;
}

}  // namespace

// The front end's kinds are the parser's, value for value.
static_assert(static_cast<int>(TSqlStatementKind::Select) == static_cast<int>(TSqlKind::Select));
static_assert(static_cast<int>(TSqlStatementKind::DropIndex) ==
              static_cast<int>(TSqlKind::DropIndex));
static_assert(static_cast<int>(TSqlStatementKind::CreateIndex) ==
              static_cast<int>(TSqlKind::CreateIndex));

TSqlStatementKind SqlStatementKind(const std::string& text, TStoreSession& session) {
  if (BlankStatement(text))
    throw EStoreEngineError(StoreCode::SqlError, {"No SQL statement available"});
  CheckSqlStatementSize(text);
  try {
    std::vector<TExprToken> tokens =
        TokenizeExpression(text, session.DecimalSeparator(), kSqlStatementName);
    return static_cast<TSqlStatementKind>(ParseSqlStatement(tokens).kind);
  } catch (const EExprError& e) {
    throw EStoreEngineError(StoreCode::SqlError, {e.what()});
  } catch (const EDatabaseError& e) {
    throw EStoreEngineError(StoreCode::SqlError, {e.what()});
  }
}

std::vector<TSqlScriptStatement> SplitSqlScript(const std::string& text) {
  std::vector<TSqlScriptStatement> statements;
  bool content = false;  // whether the piece holds more than blanks and comments
  TSqlScriptStatement current;
  int line = 1, column = 1;
  auto finish = [&](size_t end) {
    if (content) {
      current.Text = text.substr(current.Offset, end - current.Offset);
      current.Number = static_cast<int>(statements.size()) + 1;
      statements.push_back(current);
    }
    content = false;
  };
  auto mark = [&](size_t at) {
    if (content) return;
    content = true;
    current.Offset = at;
    current.Line = line;
    current.Column = column;
  };
  size_t i = 0;
  auto advance = [&](size_t count) {
    for (size_t k = 0; k < count && i < text.size(); ++k, ++i) {
      if (text[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
  };
  while (i < text.size()) {
    const char c = text[i];
    if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
      size_t close = text.find("*/", i + 2);
      if (close == std::string::npos) {
        // An open comment: the lexer reports it when the statement runs.
        mark(i);
        advance(text.size() - i);
        break;
      }
      advance(close + 2 - i);
      continue;
    }
    if (c == '\'' || c == '"' || c == '[') {
      mark(i);
      const char end = c == '[' ? ']' : c;
      advance(1);
      while (i < text.size()) {
        if (text[i] == end) {
          // A doubled quote stands for one inside a string.
          if (end != ']' && i + 1 < text.size() && text[i + 1] == end) {
            advance(2);
            continue;
          }
          advance(1);
          break;
        }
        advance(1);
      }
      continue;
    }
    if (c == ';') {
      finish(i);
      advance(1);
      continue;
    }
    if (static_cast<unsigned char>(c) > ' ') mark(i);
    advance(1);
  }
  finish(text.size());
  return statements;
}

TStoreQuery::TStoreQuery(TStoreSession& session) : TStoreDBDataSet(session) {}

TStoreQuery::~TStoreQuery() {
  Close();
}

void TStoreQuery::SetDatabaseName(const std::string& name) {
  Close();
  databaseName_ = name;
}

void TStoreQuery::SetSQL(const std::string& text) {
  Close();
  sql_ = text;
  if (paramCheck_) params_.Resize(CountSqlParams(text));
}

void TStoreQuery::SetSQL(const std::vector<std::string>& lines) {
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) text += (i ? "\n" : "") + lines[i];
  SetSQL(text);
}

void TStoreQuery::SetSQLScript(bool on) {
  Close();
  sqlScript_ = on;
}

bool TStoreQuery::Active() const {
  return !closing_ && result_ && result_->dataset && result_->dataset->Active();
}

const std::string& TStoreQuery::RecordHolder() const {
  static const std::string none;
  return Active() ? result_->dataset->RecordHolder() : none;
}

TDataSetState TStoreQuery::State() const {
  return Active() ? result_->dataset->State() : TDataSetState::Inactive;
}

bool TStoreQuery::Live() const {
  return result_ && result_->live;
}

bool TStoreQuery::ReadOnly() const {
  return !Active() || result_->dataset->ReadOnly();
}

bool TStoreQuery::Eof() const {
  return !Active() || result_->dataset->Eof();
}

bool TStoreQuery::Bof() const {
  return !Active() || result_->dataset->Bof();
}

TBookmark TStoreQuery::GetBookmark() const {
  return Active() ? result_->dataset->GetBookmark() : TBookmark{};
}

uint64_t TStoreQuery::ChangeCount() const {
  return Active() ? result_->dataset->ChangeCount() : 0;
}

int TStoreQuery::FieldCount() const {
  return Active() ? result_->dataset->FieldCount() : 0;
}

TStoreField* TStoreQuery::FindField(const std::string& name) {
  return Active() ? result_->dataset->FindField(name) : nullptr;
}

void TStoreQuery::SetFilter(const std::string& text) {
  if (Active()) result_->dataset->SetFilter(text);  // a compile error keeps the old filter
  filterText_ = text;
}

void TStoreQuery::SetFilterOptions(const TFilterOptions& options) {
  if (Active()) result_->dataset->SetFilterOptions(options);
  filterOptions_ = options;
}

void TStoreQuery::SetFiltered(bool on) {
  if (Active()) result_->dataset->SetFiltered(on);
  filtered_ = on;
}

void TStoreQuery::AddListener(TDataSetListener* listener) {
  if (std::find(listeners_.begin(), listeners_.end(), listener) == listeners_.end())
    listeners_.push_back(listener);
}

void TStoreQuery::RemoveListener(TDataSetListener* listener) {
  std::erase(listeners_, listener);
}

void TStoreQuery::EnableControls() {
  if (controlsDisabled_ > 0 && --controlsDisabled_ == 0) Notify(TDataEvent::RecordChanged, 0);
}

void TStoreQuery::Notify(TDataEvent event, int info) {
  if (controlsDisabled_ > 0) return;
  std::vector<TDataSetListener*> listeners = listeners_;
  for (TDataSetListener* l : listeners)
    if (std::find(listeners_.begin(), listeners_.end(), l) != listeners_.end())
      l->DataSetEvent(event, info);
}

void TStoreQuery::Close() {
  if (!result_) return;
  if (result_->dataset) {
    if (OnResultChange) OnResultChange(nullptr);
    // Listeners let go of the result while it can still be read; Active is false already.
    closing_ = true;
    struct TDone {
      bool& flag;
      ~TDone() { flag = false; }
    } done{closing_};
    Notify(TDataEvent::ActiveChanged, 0);
    result_->dataset->RemoveListener(&resultLink_);
  }
  result_.reset();
  DetachDatabase();
}

TStoreTable& TStoreQuery::Result() {
  if (!Active()) throw EDatabaseError(DatasetText::ClosedDataset);
  return *result_->dataset;
}

void TStoreQuery::Open() {
  if (Active()) return;
  Close();
  if (BlankStatement(sql_))
    throw EStoreEngineError(StoreCode::SqlError, {"No SQL statement available"});
  const auto start = std::chrono::steady_clock::now();
  if (sqlScript_) {
    RunScript(true);
  } else {
    // Only a statement that returns rows opens; another one is not run at all.
    if (SqlStatementKind(sql_, session_) != TSqlStatementKind::Select)
      throw EDatabaseError(DatasetText::TableHandle);
    RunStatement(sql_, true, 0);
  }
  executionTime_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!result_) throw EDatabaseError(DatasetText::TableHandle);
  AttachDatabase();
  Notify(TDataEvent::ActiveChanged, 0);
  if (OnResultChange) OnResultChange(result_->dataset.get());
}

void TStoreQuery::ExecuteStatement() {
  if (Active()) throw EDatabaseError(DatasetText::OpenDataset);
  Close();
  if (BlankStatement(sql_))
    throw EStoreEngineError(StoreCode::SqlError, {"No SQL statement available"});
  const auto start = std::chrono::steady_clock::now();
  if (sqlScript_)
    RunScript(false);
  else
    RunStatement(sql_, false, 0);
  executionTime_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void TStoreQuery::RunScript(bool open) {
  const std::vector<TSqlScriptStatement> statements = SplitSqlScript(sql_);
  if (statements.empty())
    throw EStoreEngineError(StoreCode::SqlError, {"No SQL statement available"});
  scriptErrors_ = 0;
  if (open) {
    // A script without a SELECT cannot open: nothing of it is run. (A statement that does not
    // parse may be meant as one; it fails as it runs.)
    bool select = false, unreadable = false;
    for (const TSqlScriptStatement& statement : statements) {
      try {
        select = select || SqlStatementKind(statement.Text, session_) == TSqlStatementKind::Select;
      } catch (const std::exception&) {
        unreadable = true;
      }
    }
    if (!select && !unreadable) throw EDatabaseError(DatasetText::TableHandle);
  }
  int firstParam = 0;
  // The result the script opens is kept aside until the script has run.
  std::unique_ptr<TSqlResult> opened;
  for (size_t i = 0; i < statements.size(); ++i) {
    scriptStatement_ = statements[i];
    const int params = CountSqlParams(statements[i].Text);
    try {
      RunStatement(statements[i].Text, open, firstParam);
      if (result_) opened = std::move(result_);
    } catch (const std::exception& e) {
      bool abort = true;
      if (OnScriptError) OnScriptError(*this, e, abort);
      if (abort) throw;  // `opened` goes with the failed script
      ++scriptErrors_;
    }
    firstParam += params;
    if (OnSaveProgress) {
      const size_t percent = (i + 1) * 100 / statements.size();
      OnSaveProgress(*this, static_cast<int>(i + 1), static_cast<int16_t>(percent));
    }
  }
  result_ = std::move(opened);
  if (result_) rowsAffected_ = result_->dataset->RecordCount();
}

void TStoreQuery::RunStatement(const std::string& text, bool open, int firstParam) {
  TSqlRunOptions options;
  options.session = &session_;
  options.databaseName = databaseName_;
  options.maxRowCount = maxRowCount_;
  options.requestLive = requestLive_;
  options.wantResult = open;
  const int count = CountSqlParams(text);
  for (int i = firstParam; i < firstParam + count; ++i) {
    TExprValue v = i < params_.Count() ? ParamValue(params_.Items(i)) : TExprValue::Null();
    if (v.isNull && dataSource_ && dataSource_->Active() && i < dataSource_->FieldCount())
      v = FieldValue(dataSource_->Fields(i));
    options.params.push_back(std::move(v));
  }
  if (OnQueryProgress) {
    options.progress = [this](int current, int percent) {
      bool abort = false;
      OnQueryProgress(*this, current, percent, abort);
      return abort;
    };
  }
  TSqlRunOutcome outcome = RunSqlStatement(text, options);
  rowsAffected_ = outcome.rows;
  auto result = std::make_unique<TSqlResult>();
  result->dataset = std::move(outcome.dataset);
  result->tempFolder = outcome.tempFolder;
  result->tempTable = outcome.tempTable;
  result->live = outcome.live;
  if (!open || !result->dataset) return;  // it ran; there is no result to keep
  Adopt(std::move(result));
}

void TStoreQuery::Adopt(std::unique_ptr<TSqlResult> result) {
  TStoreTable& t = *result->dataset;
  t.SetAutoCalcFields(autoCalcFields_);
  t.SetAutoDisplayLabels(autoDisplayLabels_);
  t.SetCopyOnAppend(copyOnAppend_);
  if (!filterText_.empty() || filtered_) {
    t.SetFilterOptions(filterOptions_);
    t.SetFilter(filterText_);
    t.SetFiltered(filtered_);
  }
  t.First();
  t.AddListener(&resultLink_);
  result_ = std::move(result);
}

}  // namespace quellor
