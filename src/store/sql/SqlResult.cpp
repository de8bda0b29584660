// Where the rows of a SELECT go: a live result (the source table itself, filtered by WHERE,
// when RequestLive is set and the statement allows it), a temporary table in the session's
// private folder (a canned result, SqlTempTables.cpp), or the table named by INTO; the last two
// are made from the result's columns and filled in one transaction.
#include <algorithm>
#include <memory>
#include <string>

#include "store/api/StoreError.h"
#include "store/expr/ExprText.h"
#include "store/format/TableFormat.h"
#include "store/sql/SqlRunner.h"

namespace quellor::sqlexec {

TSqlRunOutcome TSqlRunner::RunSelect(const TSqlStatement& st) {
  const TSqlSelect& s = st.select;
  TSqlRunOutcome out;
  out.isSelect = true;
  // A live result: the table itself, filtered by WHERE.
  const bool liveShape = options_.requestLive && options_.wantResult && s.sources.size() == 1 &&
                         !s.hasInto && !s.distinct && s.groupBy.empty() && !s.hasHaving &&
                         s.orderBy.empty();
  if (liveShape) {
    bool aggregates = false;
    for (const TSqlColumnRef& c : s.columns)
      for (size_t i = c.expr.begin; i < c.expr.end; ++i)
        if (tokens_[i].kind == TExprTokenKind::Word && tokens_[i + 1].IsSymbol("(")) {
          for (const char* a : {"COUNT", "SUM", "AVG", "MIN", "MAX"})
            if (tokens_[i].IsWord(a)) aggregates = true;
        }
    if (!aggregates) {
      std::string filter;
      if (s.where.Present()) {
        const std::string& text = statementText;
        size_t from = tokens_[s.where.begin].position;
        size_t to = tokens_[s.where.end].kind == TExprTokenKind::End
                        ? text.size()
                        : tokens_[s.where.end].position;
        filter = text.substr(from, to - from);
      }
      auto table = std::make_unique<TStoreTable>(session_);
      NameTable(*table, s.sources[0].table);
      try {
        if (!filter.empty()) {
          table->SetFilter(filter);
          table->SetFiltered(true);
        }
        table->Open();
        out.live = true;
        out.rows = table->RecordCount();
        out.dataset = std::move(table);
        return out;
      } catch (const EStoreEngineError& e) {
        if (e.ErrorCode() != StoreCode::FilterError) throw;
        // A condition a filter cannot express (parameters, correlation names): canned.
      }
    }
  }
  TSelectRows rows = Select(s, true);
  out.rows = static_cast<int>(rows.rows.size());
  if (s.hasInto) {
    auto table = std::make_unique<TStoreTable>(session_);
    WriteRows(rows, *table, DatabaseFor(s.into), s.into.name, s.options, false);
    if (options_.wantResult) {
      table->First();
      out.dataset = std::move(table);
    }
    return out;
  }
  if (!options_.wantResult) return out;
  std::string folder = SessionPrivateFolder(session_);
  std::string name = NewTemporaryName(folder);
  out.tempFolder = folder;
  out.tempTable = name;
  auto table = std::make_unique<TStoreTable>(session_);
  try {
    WriteRows(rows, *table, folder, name, s.options, true);
    table->Close();
    // Opened shared and read-only: the share byte's read lock keeps other programs' clean-up
    // (which needs an exclusive open) away just as well, and a second reader of this program
    // (the grid reads its pages through a cursor of its own) can open the result too.
    table->SetExclusive(false);
    table->SetReadOnly(true);
    table->Open();
  } catch (...) {
    table.reset();
    RemoveTemporaryTable(folder, name);
    throw;
  }
  out.dataset = std::move(table);
  return out;
}

void TSqlRunner::WriteRows(const TSelectRows& result, TStoreTable& table,
                           const std::string& database, const std::string& name,
                           const TSqlTableOptions& options, bool temporary) {
  table.SetDatabaseName(database);
  table.SetTableName(name);
  // The in-memory database lives while someone holds it: from creating the table to opening it.
  std::shared_ptr<TDataDirectory> keep;
  if (EqualsNoCase(database, "MEMORY")) keep = DirectoryOf(true);
  TFieldDefs& defs = table.FieldDefs();
  defs.Clear();
  for (size_t i = 0; i < result.columns.size(); ++i) {
    const TColumn& c = result.columns[i];
    TFieldType kind;
    int size = 0;
    if (c.sourceField) {
      kind = KindOfDesc(*c.sourceField);
      if (kind == TFieldType::String || kind == TFieldType::Bytes || kind == TFieldType::VarBytes)
        size = c.sourceField->size;
      else if (kind == TFieldType::BCD)
        size = c.sourceField->decimals;
    } else {
      kind = KindOfExpr(c.type);
      if (kind == TFieldType::String || kind == TFieldType::Bytes) {
        size_t longest = 1;
        for (const auto& r : result.rows)
          if (!r[i].isNull) longest = std::max(longest, r[i].text.size());
        if (longest > static_cast<size_t>(kMaxFieldSize) && kind == TFieldType::String)
          kind = TFieldType::Memo;
        else
          size = static_cast<int>(std::min<size_t>(longest, kMaxFieldSize));
      } else if (kind == TFieldType::BCD) {
        size = 4;
      }
    }
    TFieldDef& d = defs.Add(c.name, kind, size);
    (void)d;
  }
  TStoreDefs& storeDefs = table.StoreDefs();
  storeDefs = TStoreDefs();
  storeDefs.Encrypted = options.encrypted;
  storeDefs.Password = options.password;
  if (options.encrypted) session_.AddPassword(options.password);
  CreateTableWithLanguage(
      session_, table,
      options.hasLanguage ? options.languageId : static_cast<int>(result.languageId),
      options.hasLanguage ? options.sortId : 0);

  // The rows, in one transaction of the new table (a temporary table is opened exclusively:
  // nobody else can see it before it is complete).
  table.SetExclusive(temporary);
  table.Open();
  TDataTable& engine = TSqlTableAccess::Engine(table);
  const auto& fields = engine.Fields();
  const size_t recordSize = static_cast<size_t>(engine.Data().RecordSize());
  std::shared_ptr<TDataDirectory> dir = TSqlTableAccess::Directory(table);
  const bool own = !dir->InTransaction();
  if (own) dir->BeginTransaction();
  try {
    size_t done = 0;
    for (const auto& r : result.rows) {
      std::vector<uint8_t> image(recordSize, 0);
      TBlobChanges blobs;
      for (size_t i = 0; i < fields.size() && i < r.size(); ++i)
        PutValue(image, fields[i], r[i], blobs, i);
      engine.Insert(image, blobs);
      if (own && ++done % 8191 == 0) {
        dir->CommitTransaction();
        dir->BeginTransaction();
      }
    }
    if (own) dir->CommitTransaction();
  } catch (...) {
    if (own && dir->InTransaction()) dir->RollbackTransaction();
    throw;
  }
  // Left open: an in-memory table would vanish with its last user.
}

}  // namespace quellor::sqlexec
