// The SQL executor's entry point and its statement runner: the statement is tokenized and
// parsed (SqlParser.h), and each kind is run by the file of its job (SqlRunner.h lists them);
// here are what they share: expressions compiled against the statement's tables, progress,
// and the database folder a table name refers to.
#include "store/sql/SqlExec.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "store/api/StoreError.h"
#include "store/engine/StoreInternals.h"
#include "store/expr/ExprParser.h"
#include "store/expr/ExprText.h"
#include "store/sql/SqlRunner.h"

namespace quellor {
namespace sqlexec {

void SqlFail(const std::string& message) {
  throw EExprError(message);
}

void NoSuchTable(const std::string& name) {
  SqlFail("Table '" + name + "' does not exist in " + kSqlStatementName);
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

TSqlRunner::TSqlRunner(const std::vector<TExprToken>& tokens, const TSqlRunOptions& options)
    : tokens_(tokens), options_(options), session_(*options.session) {
  settings_.statementName = kSqlStatementName;
  settings_.decimalSeparator = session_.DecimalSeparator();
  settings_.dateFormat.dateFormat = session_.ShortDateFormat();
  settings_.dateFormat.dateSeparator = session_.DateSeparator();
  settings_.dateFormat.timeSeparator = session_.TimeSeparator();
  settings_.allowParams = true;
  settings_.allowSubSelect = true;
  settings_.subSelect = [this](const std::vector<TExprToken>& tokens, size_t& pos,
                               TExprType& type) { return SubSelect(tokens, pos, type); };
}

std::shared_ptr<TDataDirectory> TSqlRunner::DirectoryOf(bool memory) {
  if (memory) return TStoreInternals::DirectoryFor(session_, "", true);
  if (TStoreDatabase* db = session_.FindDatabase(options_.databaseName))
    return TStoreInternals::DataDirectory(*db);
  std::string name = options_.databaseName;
  while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back()))) name.pop_back();
  if (EqualsNoCase(name, "memory")) return TStoreInternals::DirectoryFor(session_, "", true);
  if (name.empty()) name = ".";
  char* real = ::realpath(name.c_str(), nullptr);
  if (!real) SqlFail("Invalid database folder '" + options_.databaseName + "'");
  std::string universal = real;
  std::free(real);
  if (universal.back() != '/') universal += '/';
  return TStoreInternals::DirectoryFor(session_, universal, false);
}

void TSqlRunner::CheckTableExists(const TSqlTableRef& ref) {
  if (!DirectoryOf(ref.memory)->TableExists(ref.name)) NoSuchTable(ref.name);
}

TExprNodePtr TSqlRunner::Compile(const TSqlExprRef& r, const TExprScope& scope,
                                 TExprSettings& settings, TExprEvaluator& evaluator, bool condition,
                                 const char* emptyMessage, const char* boolMessage,
                                 std::string* alias) {
  if (!r.Present()) SqlFail(emptyMessage ? emptyMessage : "Expression expected");
  TExprParser parser(tokens_, scope, settings, evaluator);
  parser.SetPosition(r.begin);
  TExprNodePtr node = parser.ParseValue();
  if (alias) {
    if (parser.Peek().IsWord("AS")) {
      parser.Advance();
      const TExprToken& t = parser.Peek();
      if (parser.Position() >= r.end ||
          !(t.kind == TExprTokenKind::Word || t.kind == TExprTokenKind::Name ||
            t.kind == TExprTokenKind::String))
        parser.Unexpected(t);
      *alias = t.kind == TExprTokenKind::String ? t.value : t.text;
      parser.Advance();
    } else if (parser.Position() < r.end && (parser.Peek().kind == TExprTokenKind::Word ||
                                             parser.Peek().kind == TExprTokenKind::Name ||
                                             parser.Peek().kind == TExprTokenKind::String)) {
      const TExprToken& t = parser.Peek();
      *alias = t.kind == TExprTokenKind::String ? t.value : t.text;
      parser.Advance();
    }
  }
  if (parser.Position() != r.end) parser.Unexpected(parser.Peek());
  if (condition) {
    if (node->type != TExprType::Boolean) SqlFail(boolMessage);
    if (node->kind == TExprKind::Field) {
      // A boolean field standing alone means field = TRUE.
      auto cmp = std::make_unique<TExprNode>();
      cmp->kind = TExprKind::Compare;
      cmp->type = TExprType::Boolean;
      cmp->op = TExprOp::Eq;
      cmp->hasField = true;
      cmp->depth = node->depth + 1;
      auto t = std::make_unique<TExprNode>();
      t->kind = TExprKind::Constant;
      t->type = TExprType::Boolean;
      t->value = TExprValue::Bool(true);
      t->literal = true;
      t->name = "TRUE";
      cmp->args.push_back(std::move(node));
      cmp->args.push_back(std::move(t));
      node = std::move(cmp);
    }
  }
  return node;
}

bool TSqlRunner::Progress(size_t done, size_t total) {
  if (!options_.progress || subDepth_ > 0) return false;
  int percent = total ? static_cast<int>(done * 100 / total) : 100;
  return options_.progress(static_cast<int>(done), percent);
}

TSqlRunOutcome TSqlRunner::Run(const TSqlStatement& st) {
  switch (st.kind) {
    case TSqlKind::Select:
      return RunSelect(st);
    case TSqlKind::Insert:
      return RunInsert(st);
    case TSqlKind::Update:
    case TSqlKind::Delete:
      return RunUpdateDelete(st);
    case TSqlKind::CreateTable:
      return RunCreateTable(st);
    case TSqlKind::CreateIndex:
      return RunCreateIndex(st);
    case TSqlKind::DropTable:
    case TSqlKind::DropIndex:
      return RunDrop(st);
    case TSqlKind::AlterTable:
      return RunAlter(st);
  }
  return {};
}

}  // namespace sqlexec

namespace {
std::atomic<size_t> sqlMemoryLimit{kDefaultSqlMemoryLimit};
}  // namespace

size_t SqlMemoryLimit() {
  return sqlMemoryLimit.load(std::memory_order_relaxed);
}

void SetSqlMemoryLimit(size_t bytes) {
  sqlMemoryLimit.store(bytes, std::memory_order_relaxed);
}

void CheckSqlStatementSize(const std::string& text) {
  if (text.size() > kMaxSqlStatementBytes)
    throw EStoreEngineError(StoreCode::SqlError,
                            {std::string(kSqlStatementName) + " is " + std::to_string(text.size()) +
                             " bytes long; the longest accepted is " +
                             std::to_string(kMaxSqlStatementBytes) + " bytes"});
}

TSqlRunOutcome RunSqlStatement(const std::string& text, const TSqlRunOptions& options) {
  CheckSqlStatementSize(text);
  try {
    std::vector<TExprToken> tokens =
        TokenizeExpression(text, options.session->DecimalSeparator(), kSqlStatementName);
    TSqlStatement st = ParseSqlStatement(tokens);
    sqlexec::TSqlRunner runner(tokens, options);
    runner.statementText = text;
    return runner.Run(st);
  } catch (const EExprError& e) {
    throw EStoreEngineError(StoreCode::SqlError, {e.what()});
  } catch (const EDatabaseError& e) {
    throw EStoreEngineError(StoreCode::SqlError, {e.what()});
  } catch (const std::bad_alloc&) {
    throw EStoreEngineError(StoreCode::OutOfMemory, {});
  }
}

int CountSqlParams(const std::string& text) {
  if (text.size() > kMaxSqlStatementBytes) return 0;
  try {
    return static_cast<int>(CountSymbols(text, '.', "?"));
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace quellor
