// INSERT, UPDATE and DELETE: the target table is opened shared and writable and each record is
// written through the cursor's insert, modify and delete steps, so that locks, required and
// range checks and unique keys apply as for any other change. Outside a transaction of the
// database the statement runs in one of its own, committed every COMMIT INTERVAL records (by
// default min(262,140 / record size, 8191)); inside one it commits every n records only when
// COMMIT INTERVAL is given. A failure keeps the records written before it.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "store/api/StoreError.h"
#include "store/expr/ExprText.h"
#include "store/format/ByteOrder.h"
#include "store/format/FieldValue.h"
#include "store/format/TableFormat.h"
#include "store/sql/SqlRunner.h"

namespace quellor::sqlexec {

namespace {

// The transaction a writing statement runs in, and its commits every so many records.
class TStatementTransaction {
 public:
  TStatementTransaction(TStoreTable& table, int commitInterval)
      : dir_(TSqlTableAccess::Directory(table)),
        own_(!dir_->InTransaction()),
        batches_(own_ || commitInterval > 0) {
    const int recordSize = std::max(1, TSqlTableAccess::Engine(table).Data().RecordSize());
    interval_ = commitInterval > 0 ? commitInterval : std::min(262140 / recordSize, 8191);
    if (own_) dir_->BeginTransaction();
  }
  // After the `written`th record: a commit when a batch is full.
  void Written(int written) {
    if (!batches_ || written % interval_ != 0) return;
    dir_->CommitTransaction();
    dir_->BeginTransaction();
  }
  // The statement's end.
  void Commit() {
    if (own_) dir_->CommitTransaction();
  }
  // The statement failed part way: the record being written is given up, what was written
  // before stays.
  void Failed(TStoreTable& table) {
    if (table.State() != TDataSetState::Browse && table.Active()) table.Cancel();
    if (own_ && dir_->InTransaction()) dir_->CommitTransaction();
  }

 private:
  std::shared_ptr<TDataDirectory> dir_;
  bool own_;
  bool batches_;
  int interval_ = 1;
};

// Sets the fields of the cursor's edit buffer, values[k] into field targets[k] (with NOAUTOINC
// an auto-increment field's value becomes the record's logical id), and posts the record.
void PostValues(TStoreTable& table, const std::vector<TFieldDesc>& fields,
                const std::vector<size_t>& targets, const std::vector<TExprValue>& values,
                bool noAutoInc) {
  int32_t givenId = 0;
  for (size_t k = 0; k < targets.size(); ++k) {
    const TFieldDesc& f = fields[targets[k]];
    if (f.IsAutoInc()) {
      if (noAutoInc) givenId = GivenAutoInc(f, values[k]);
      continue;
    }
    RefuseNul(f, values[k]);
    if (TStoreField* field = table.FindField(f.name)) SetField(*field, values[k]);
  }
  TSqlTableAccess::GiveLogicalId(table, givenId);
  table.Post();
}

}  // namespace

TSqlRunOutcome TSqlRunner::RunInsert(const TSqlStatement& st) {
  TSqlRunOutcome out;
  TStoreTable table(session_);
  NameTable(table, st.table);
  CheckTableExists(st.table);
  table.Open();
  TDataTable& engine = TSqlTableAccess::Engine(table);
  const auto& fields = engine.Fields();
  std::vector<size_t> targets;
  if (st.insertColumns.empty()) {
    for (size_t i = 0; i < fields.size(); ++i)
      if (fields[i].type != TStoreFieldType::Float10) targets.push_back(i);
  } else {
    for (const std::string& name : st.insertColumns) {
      size_t i = 0;
      while (i < fields.size() && !EqualsNoCase(fields[i].name, name)) ++i;
      if (i == fields.size())
        SqlFail("Invalid column name '" + name + "' or table correlation name '' specified in " +
                kSqlStatementName);
      targets.push_back(i);
    }
  }
  std::vector<std::vector<TExprValue>> rows;
  if (st.insertSelect) {
    TSelectRows r = Select(st.select, false);
    if (r.columns.size() != targets.size())
      SqlFail("The number of values must match the number of table columns");
    for (size_t c = 0; c < targets.size(); ++c)
      if (!Assignable(r.columns[c].type, fields[targets[c]]))
        SqlFail("Type mismatch between column " + fields[targets[c]].name + " and constant value " +
                r.columns[c].name + " in INSERT statement");
    rows = std::move(r.rows);
  } else {
    if (st.values.size() != targets.size())
      SqlFail("The number of values must match the number of table columns");
    TExprTableScope empty("", {});
    TExprTextRules rules(engine.Data().Header().languageId, settings_.codePage);
    TExprEvaluator evaluator(settings_, rules);
    TSqlRow row;
    row.params = &options_.params;
    std::vector<TExprValue> values;
    for (size_t c = 0; c < targets.size(); ++c) {
      TExprNodePtr node = Compile(st.values[c], empty, settings_, evaluator, false,
                                  "Value expression expected", nullptr);
      bool fits = Assignable(node->type, fields[targets[c]]);
      TExprValue value = evaluator.Evaluate(*node, &row);
      const TFieldDesc& f = fields[targets[c]];
      if (fits && node->type == TExprType::String && !value.isNull &&
          f.type != TStoreFieldType::String && f.type != TStoreFieldType::Blob) {
        // A text for a field of another type must convert.
        std::vector<uint8_t> scratch(static_cast<size_t>(ValueOffset(f) + ValueWidth(f) + 16), 0);
        fits = PutTextValue(scratch.data() + ValueOffset(f), f, value.text);
      }
      if (!fits) {
        std::string text;
        for (size_t t = st.values[c].begin; t < st.values[c].end; ++t)
          text += (t > st.values[c].begin ? " " : "") +
                  (tokens_[t].kind == TExprTokenKind::String && tokens_[t].quote != '#'
                       ? std::string(1, tokens_[t].quote) + tokens_[t].value + tokens_[t].quote
                       : tokens_[t].text);
        SqlFail("Type mismatch between column " + fields[targets[c]].name + " and constant value " +
                text + " in INSERT statement");
      }
      values.push_back(std::move(value));
    }
    rows.push_back(std::move(values));
  }
  TStatementTransaction transaction(table, st.commitInterval);
  try {
    for (const auto& r : rows) {
      table.Append();
      PostValues(table, fields, targets, r, st.noAutoInc);
      ++out.rows;
      transaction.Written(out.rows);
    }
    transaction.Commit();
  } catch (...) {
    transaction.Failed(table);
    throw;
  }
  return out;
}

TSqlRunOutcome TSqlRunner::RunUpdateDelete(const TSqlStatement& st) {
  TSqlRunOutcome out;
  const bool update = st.kind == TSqlKind::Update;
  CheckTableExists(st.table);
  TStoreTable table(session_);
  NameTable(table, st.table);
  table.Open();
  std::vector<TSource> sources(1);
  sources[0].ast.table = st.table;
  sources[0].table = TSqlTableAccess::EngineShared(table);
  TDataTable& engine = *sources[0].table;
  const auto& fields = engine.Fields();
  TSqlScope scope(sources);
  TExprSettings base = settings_;
  base.languageId = engine.Data().Header().languageId;
  TExprTextRules rules(base.languageId, base.codePage);
  TExprEvaluator evaluator(base, rules);

  std::vector<std::pair<size_t, TExprNodePtr>> sets;
  for (const auto& [name, ref] : st.sets) {
    size_t i = 0;
    while (i < fields.size() && !EqualsNoCase(fields[i].name, name)) ++i;
    if (i == fields.size())
      SqlFail("Invalid column name '" + name + "' or table correlation name '' specified in " +
              kSqlStatementName);
    TExprNodePtr node =
        Compile(ref, scope, base, evaluator, false, "Value expression expected", nullptr);
    if (!Assignable(node->type, fields[i]))
      SqlFail("Type mismatch between column " + fields[i].name + " and the value in UPDATE " +
              "statement");
    sets.emplace_back(i, std::move(node));
  }
  std::vector<size_t> setTargets;
  for (const auto& set : sets) setTargets.push_back(set.first);
  TExprNodePtr where;
  if (st.where.Present())
    where = Compile(st.where, scope, base, evaluator, true, "WHERE or JOIN clause is empty",
                    "WHERE or JOIN clause must be a boolean expression");

  // The records that pass, from the indexes where they answer; then one by one.
  TSqlRow row;
  row.Setup(sources);
  row.params = &options_.params;
  std::vector<TBookmark> marks;
  engine.Reading([&] {
    marks.clear();
    TTableFilterAccess access(engine, evaluator);
    TSourceIndexes indexes(access, 0);
    TExprIndexAnswer answer;
    if (where) answer = AnswerFromIndexes(*where, evaluator, indexes, &row);
    TExprRecordSet set = answer.answered ? std::move(answer.set) : indexes.AllRecords();
    for (uint32_t slot : set.Records()) {
      std::vector<uint8_t> image = engine.ReadRecord(static_cast<int32_t>(slot));
      row.SetImage(0, image.data());
      if (where && !(answer.answered && answer.exact) && !evaluator.Test(*where, &row)) continue;
      marks.push_back({static_cast<int32_t>(slot), SlotLogicalId(image.data())});
    }
  });

  TStatementTransaction transaction(table, st.commitInterval);
  try {
    for (const TBookmark& mark : marks) {
      try {
        table.GotoBookmark(mark);
      } catch (const EStoreEngineError& e) {
        if (e.ErrorCode() == StoreCode::RecordNotFound) continue;  // deleted meanwhile
        throw;
      }
      // The record as it is now must still pass.
      std::vector<uint8_t> now = TSqlTableAccess::Shown(table);
      row.SetImage(0, now.data());
      if (where && !evaluator.Test(*where, &row)) continue;
      if (update) {
        std::vector<TExprValue> values;
        for (const auto& [i, node] : sets) values.push_back(evaluator.Evaluate(*node, &row));
        table.Edit();
        PostValues(table, fields, setTargets, values, st.noAutoInc);
      } else {
        table.Delete();
      }
      ++out.rows;
      transaction.Written(out.rows);
    }
    transaction.Commit();
  } catch (...) {
    transaction.Failed(table);
    throw;
  }
  return out;
}

}  // namespace quellor::sqlexec
