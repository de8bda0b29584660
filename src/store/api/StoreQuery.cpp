#include "store/api/StoreQuery.h"

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

TStoreQuery::TStoreQuery(TStoreSession& session) : session_(session) {}

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

bool TStoreQuery::Active() const {
  return result_ && result_->dataset && result_->dataset->Active();
}

bool TStoreQuery::Live() const {
  return result_ && result_->live;
}

void TStoreQuery::Close() {
  if (result_ && result_->dataset && OnResultChange) OnResultChange(nullptr);
  result_.reset();
}

TStoreTable& TStoreQuery::Result() {
  if (!Active()) throw EDatabaseError(DatasetText::ClosedDataset);
  return *result_->dataset;
}

void TStoreQuery::Open() {
  if (Active()) return;
  Run(true);
}

void TStoreQuery::ExecuteStatement() {
  if (Active()) throw EDatabaseError(DatasetText::OpenDataset);
  Run(false);
}

void TStoreQuery::Run(bool open) {
  Close();
  if (BlankStatement(sql_))
    throw EStoreEngineError(StoreCode::SqlError, {"No SQL statement available"});
  TSqlRunOptions options;
  options.session = &session_;
  options.databaseName = databaseName_;
  options.maxRowCount = maxRowCount_;
  options.requestLive = requestLive_;
  options.wantResult = open;
  const int count = CountSqlParams(sql_);
  for (int i = 0; i < count; ++i) {
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
  const auto start = std::chrono::steady_clock::now();
  TSqlRunOutcome outcome = RunSqlStatement(sql_, options);
  executionTime_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rowsAffected_ = outcome.rows;
  auto result = std::make_unique<TSqlResult>();
  result->dataset = std::move(outcome.dataset);
  result->tempFolder = outcome.tempFolder;
  result->tempTable = outcome.tempTable;
  result->live = outcome.live;
  if (open && !result->dataset) {
    // Not a SELECT: it ran; there is no result to open.
    result_.reset();
    return;
  }
  if (open) {
    result_ = std::move(result);
    result_->dataset->First();
    if (OnResultChange) OnResultChange(result_->dataset.get());
  }
}

}  // namespace quellor
