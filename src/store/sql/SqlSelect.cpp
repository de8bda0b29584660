// SELECT: the rows of a statement, in the steps TSelectQuery::Run takes one after another:
//   1. Columns   the result columns: "*" and "corr.*" expanded, expressions compiled, named;
//   2. Clauses   aggregates numbered and checked, WHERE, ON and HAVING compiled, the GROUP BY
//                and ORDER BY items found among the columns;
//   3. FirstSource  the first source's records, from its indexes where WHERE lets them
//                (TExprIndexProvider over the table, as for filters), else from one scan;
//   4. Join      each join adds the next source: an equality of an indexed field of the new
//                source with an expression of the earlier ones is answered by index lookups;
//                any other join reads the new source once and tests the ON condition per
//                combination. LEFT keeps unmatched rows of the earlier sources with NULLs,
//                RIGHT unmatched rows of the new one. Sources listed with commas are inner
//                joins whose condition is WHERE: each AND-ed part of WHERE goes to the first
//                source from which on all it refers to is known (the first source, a comma
//                source or an inner join), so a comma list is planned as JOIN ... ON would be
//                and never builds the cross product before WHERE cuts it;
//   5. Scan      what is left of WHERE is tested on every combination (unless the index
//                answered it exactly); a row is evaluated, or the group's aggregates
//                accumulate it;
//   6. GroupRows one row per group with its aggregates' values, HAVING;
//   7. Distinct, Order, and the cut to MaxRowCount.
// The combinations, the records read for joins, the rows and the groups are counted against the
// statement's memory limit (TSqlRunOptions::memoryLimit): a statement that would pass it fails
// with an SQL error naming the limit instead of exhausting the process's memory.
// Where the result goes is SqlResult.cpp's.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "store/expr/ExprText.h"
#include "store/sql/SqlRunner.h"

namespace quellor::sqlexec {

namespace {

bool ContainsAggregate(const TExprNode& n) {
  if (n.kind == TExprKind::Aggregate) return true;
  for (const auto& a : n.args)
    if (ContainsAggregate(*a)) return true;
  return false;
}

void CollectAggregates(TExprNode& n, std::vector<TExprNode*>& out) {
  if (n.kind == TExprKind::Aggregate) {
    n.number = static_cast<int64_t>(out.size());
    out.push_back(&n);
  }
  for (auto& a : n.args) CollectAggregates(*a, out);
}

// The highest source a subtree refers to (-1: none).
int MaxSource(const TExprNode& n) {
  int m = n.kind == TExprKind::Field ? n.fieldId / kStride : -1;
  if (n.kind == TExprKind::Aggregate) m = std::numeric_limits<int>::max();
  for (const auto& a : n.args) m = std::max(m, MaxSource(*a));
  return m;
}

// What one aggregate of one group has seen so far.
struct TAccumulator {
  int64_t count = 0;
  bool any = false;
  bool integral = true;
  int64_t isum = 0;
  double dsum = 0;
  TExprValue best;
  std::set<std::string> seen;
};

// The value of an aggregate from what it accumulated: NULL when no row passed.
TExprValue AggregateValue(const TExprNode& agg, const TAccumulator& acc) {
  TExprValue v = TExprValue::Null(agg.type);
  if (!acc.any) return v;
  switch (agg.func) {
    case TExprFunc::Count:
      v = TExprValue::Int(acc.count, TExprType::Integer);
      break;
    case TExprFunc::Sum:
      if (acc.count == 0) break;
      // A sum of integers is an INTEGER: beyond its range it fails as integer arithmetic does.
      if (IsIntegerType(agg.type) &&
          (!acc.integral || acc.isum < std::numeric_limits<int32_t>::min() ||
           acc.isum > std::numeric_limits<int32_t>::max())) {
        char text[64];
        std::snprintf(text, sizeof text, "%.0f", acc.integral ? double(acc.isum) : acc.dsum);
        SqlFail("Integer overflow: SUM gives " + std::string(text) +
                ", outside the range of INTEGER (-2147483648 to 2147483647) in " +
                kSqlStatementName);
      }
      if (IsIntegerType(agg.type) && acc.integral)
        v = TExprValue::Int(acc.isum, agg.type);
      else if (IsIntegerType(agg.type) || agg.type == TExprType::Date ||
               agg.type == TExprType::Time)
        v = TExprValue::Real(acc.dsum, TExprType::Float);
      else
        v = TExprValue::Real(acc.dsum, agg.type == TExprType::Null ? TExprType::Float : agg.type);
      break;
    case TExprFunc::Avg:
      if (acc.count > 0) v = TExprValue::Real(acc.dsum / acc.count, TExprType::Float);
      break;
    default:
      if (acc.count > 0) v = acc.best;
      break;
  }
  return v;
}

// A column that shows a field of a source as it is.
TColumn FieldColumn(const TFieldDesc& field, int fieldId) {
  TColumn c;
  c.node = std::make_unique<TExprNode>();
  c.node->kind = TExprKind::Field;
  c.node->fieldId = fieldId;
  c.node->type = TExprTableScope::TypeOf(field.type);
  c.node->name = field.name;
  c.node->hasField = true;
  c.type = c.node->type;
  c.name = field.name;
  c.sourceField = field;
  return c;
}

class TSelectQuery {
 public:
  TSelectQuery(TSqlRunner& runner, const TSqlSelect& s, bool limitRows);
  TSelectRows Run();

 private:
  struct TGroup {
    std::vector<int32_t> first;  // the group's first combination
    std::vector<TAccumulator> acc;
  };

  static std::vector<TSource> Open(TSqlRunner& runner, const TSqlSelect& s);
  static TExprSettings BaseSettings(const TSqlRunner& runner, const std::vector<TSource>& sources);

  void Columns();
  void StarColumns(const TSqlColumnRef& ref);
  void ExpressionColumn(const TSqlColumnRef& ref, TExprSettings& settings);
  void Clauses();
  void FirstSource();
  void Join(size_t i);
  // An equality of an indexed field of source i with an expression of the earlier sources;
  // false when the ON condition has none the join may use.
  bool FindLookup(size_t i, const TExprNode*& field, const TExprNode*& value);
  // The records of source i, read once (for the joins that scan it).
  void ReadInner(size_t i, bool useWhere);
  void JoinByLookup(size_t i, const TExprNode& field, const TExprNode& value,
                    std::vector<int32_t>& next);
  void JoinRight(size_t i, std::vector<int32_t>& next);
  void JoinByScan(size_t i, std::vector<int32_t>& next);
  // Loads the first `width` records of a combination into the row; `direct`: the first
  // source's record in place (inside a reading operation of it).
  void LoadCombo(const int32_t* combo, size_t width, bool direct);
  void Append(std::vector<int32_t>& next, size_t k, size_t width) const {
    next.insert(next.end(), combos_.begin() + static_cast<ptrdiff_t>(k),
                combos_.begin() + static_cast<ptrdiff_t>(k + width));
  }
  // Splits WHERE into the conditions each join tests and the rest (see step 4).
  void PlaceWhere();
  // Whether the current combination passes the conditions of join i (its ON and the parts of
  // WHERE placed there).
  bool JoinPasses(size_t i) const;
  // Counts `bytes` more against the memory limit; fails when the statement passes it.
  void Charge(size_t bytes);
  // Makes room in `next` for one more combination of `width` slots, within the limit.
  void Room(std::vector<int32_t>& next, size_t width);
  void Scan(bool direct);
  void Accumulate(TGroup& group);
  void GroupRows();
  void Distinct();
  void Order();
  bool Limited() const { return limitRows_ && runner_.Options().maxRowCount >= 0; }

  TSqlRunner& runner_;
  const TSqlSelect& s_;
  const bool limitRows_;
  std::vector<TSource> sources_;
  TSqlScope scope_;
  TExprSettings base_;
  TExprTextRules rules_;
  TExprEvaluator evaluator_;
  TSelectRows out_;
  std::vector<TColumn>& columns_;
  // Every aggregate of the columns and of HAVING, numbered in this order.
  std::vector<TExprNode*> aggregates_;
  bool anyAggregate_ = false;
  TExprNodePtr where_;
  std::vector<TExprNodePtr> on_;  // by source; none for the first
  bool anyRight_ = false;
  // The parts of WHERE placed in each join (none for the first source, whose records are
  // cut by its own: `firstWhere_`), and those tested on the whole combination.
  std::vector<std::vector<const TExprNode*>> placed_;
  std::vector<const TExprNode*> firstWhere_;
  std::vector<const TExprNode*> residual_;
  size_t charged_ = 0;     // bytes counted against the memory limit
  size_t comboBytes_ = 0;  // of them, the combinations' current vector
  TExprNodePtr having_;
  bool grouped_ = false;
  std::vector<int> groupColumns_;
  std::vector<std::pair<int, bool>> order_;  // column, descending
  TSqlRow row_;
  size_t n_ = 0;                 // sources
  std::vector<int32_t> combos_;  // the combinations so far, a slot per source joined
  bool whereExact_ = false;      // the first source's indexes answered WHERE exactly
  bool inPlace_ = true;          // the first source's records may be read in place
  std::vector<int32_t> innerSlots_;
  std::vector<std::vector<uint8_t>> innerImages_;
  std::vector<TGroup> groups_;
  std::unordered_map<std::string, size_t> groupIndex_;
};

std::vector<TSource> TSelectQuery::Open(TSqlRunner& runner, const TSqlSelect& s) {
  std::vector<TSource> sources;
  runner.OpenSources(s, sources);
  return sources;
}

TExprSettings TSelectQuery::BaseSettings(const TSqlRunner& runner,
                                         const std::vector<TSource>& sources) {
  TExprSettings base = runner.Settings();
  base.languageId = sources[0].table->Data().Header().languageId;
  return base;
}

TSelectQuery::TSelectQuery(TSqlRunner& runner, const TSqlSelect& s, bool limitRows)
    : runner_(runner),
      s_(s),
      limitRows_(limitRows),
      sources_(Open(runner, s)),
      scope_(sources_),
      base_(BaseSettings(runner, sources_)),
      rules_(base_.languageId, base_.codePage),
      evaluator_(base_, rules_),
      columns_(out_.columns),
      n_(sources_.size()) {
  out_.languageId = base_.languageId;
}

TSelectRows TSelectQuery::Run() {
  Columns();
  Clauses();
  row_.Setup(sources_);
  row_.params = &runner_.Options().params;
  PlaceWhere();
  FirstSource();
  // The first source's records may be read in place (no copies) unless another source is the
  // same table, whose reads could move them out of the cache.
  for (size_t i = 1; i < n_; ++i)
    if (sources_[i].table == sources_[0].table) inPlace_ = false;
  for (size_t i = 1; i < n_; ++i) Join(i);
  // One reading operation over the first source: its records are read where the table's cache
  // holds them, without copies (it starts over when another program changed the files).
  sources_[0].table->Reading([&] { Scan(inPlace_); });
  if (grouped_) GroupRows();
  if (s_.distinct) Distinct();
  if (!order_.empty()) Order();
  if (Limited() && out_.rows.size() > static_cast<size_t>(runner_.Options().maxRowCount))
    out_.rows.resize(static_cast<size_t>(runner_.Options().maxRowCount));
  // Results do not refer to the sources any more.
  for (TColumn& c : columns_) {
    if (c.sourceField) {
      c.type = TExprTableScope::TypeOf(c.sourceField->type);
    }
  }
  return std::move(out_);
}

// ---- 1. columns ---------------------------------------------------------------------------

void TSelectQuery::Columns() {
  TExprSettings columnSettings = base_;
  columnSettings.statementName = "source columns";
  columnSettings.allowAggregates = true;
  for (const TSqlColumnRef& ref : s_.columns) {
    if (ref.star)
      StarColumns(ref);
    else
      ExpressionColumn(ref, columnSettings);
    if (columns_.size() > static_cast<size_t>(kMaxColumns))
      SqlFail("Maximum number of columns (" + std::to_string(kMaxColumns) +
              ") in result set exceeded");
  }
  NameColumns(columns_);
}

void TSelectQuery::StarColumns(const TSqlColumnRef& ref) {
  bool found = false;
  for (size_t si = 0; si < sources_.size(); ++si) {
    const TSource& src = sources_[si];
    if (!ref.starCorrelation.empty() && !MatchesStarCorrelation(src, ref.starCorrelation)) continue;
    found = true;
    const auto& fields = src.table->Fields();
    for (size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].type == TStoreFieldType::Float10) continue;
      columns_.push_back(FieldColumn(fields[i], static_cast<int>(si * kStride + i)));
    }
  }
  if (!found)
    SqlFail("Invalid column name '*' or table correlation name '" + ref.starCorrelation +
            "' specified in source columns");
}

void TSelectQuery::ExpressionColumn(const TSqlColumnRef& ref, TExprSettings& settings) {
  TColumn c;
  std::string alias;
  c.node = runner_.Compile(ref.expr, scope_, settings, evaluator_, false, nullptr, nullptr, &alias);
  TExprNode& n = *c.node;
  if (n.kind == TExprKind::Aggregate) {
    if (!n.args.empty() && ContainsAggregate(*n.args[0]))
      SqlFail("Aggregate functions cannot be nested");
    c.aggregate = true;
  } else if (ContainsAggregate(n)) {
    SqlFail("Aggregate functions cannot be used within expressions");
  }
  c.type = n.type;
  if (n.kind == TExprKind::Field) {
    size_t si = static_cast<size_t>(n.fieldId / kStride);
    c.sourceField = sources_[si].table->Fields()[static_cast<size_t>(n.fieldId % kStride)];
    c.name = c.sourceField->name;
  } else if (n.kind == TExprKind::Aggregate) {
    std::string of = n.args.empty()                        ? "*"
                     : n.args[0]->kind == TExprKind::Field ? n.args[0]->name
                                                           : "Expr";
    c.name = AggregateName(n.func) + of;
  } else {
    c.name = "Expression";
  }
  if (!alias.empty()) c.name = alias;
  columns_.push_back(std::move(c));
}

// ---- 2. clauses ---------------------------------------------------------------------------

void TSelectQuery::Clauses() {
  // Aggregates: types, and one number per aggregate of the statement.
  bool anyPlain = false;
  for (TColumn& c : columns_) {
    (c.aggregate ? anyAggregate_ : anyPlain) = true;
    CollectAggregates(*c.node, aggregates_);
  }
  if (anyAggregate_ && anyPlain && s_.groupBy.empty())
    SqlFail("Invalid use of aggregate function(s), the necessary GROUP BY clause is missing");
  if (s_.hasHaving && s_.groupBy.empty())
    SqlFail("A GROUP BY clause must exist in order to use the HAVING clause");

  // WHERE and ON.
  if (s_.where.Present())
    where_ =
        runner_.Compile(s_.where, scope_, base_, evaluator_, true, "WHERE or JOIN clause is empty",
                        "WHERE or JOIN clause must be a boolean expression");
  on_.resize(sources_.size());
  for (size_t i = 1; i < sources_.size(); ++i) {
    if (sources_[i].ast.kind == TSqlJoinKind::Right) anyRight_ = true;
    if (sources_[i].ast.on.Present())
      on_[i] = runner_.Compile(sources_[i].ast.on, scope_, base_, evaluator_, true,
                               "WHERE or JOIN clause is empty",
                               "WHERE or JOIN clause must be a boolean expression");
  }
  if (s_.hasHaving) {
    TExprSettings havingSettings = base_;
    havingSettings.allowAggregates = true;
    having_ =
        runner_.Compile(s_.having, scope_, havingSettings, evaluator_, true,
                        "HAVING clause is empty", "HAVING clause must be a boolean expression");
    CollectAggregates(*having_, aggregates_);
  }
  for (TExprNode* a : aggregates_) {
    if (a->func == TExprFunc::Count || a->args.empty()) continue;
    TExprType t = a->args[0]->type;
    if (!(t == TExprType::Null || IsNumericType(t) || IsTemporalType(t)))
      SqlFail(a->name +
              " aggregate function must contain a numeric, date, time, or timestamp "
              "expression in " +
              kSqlStatementName);
  }
  grouped_ = !s_.groupBy.empty() || anyAggregate_ || having_;
  for (const TSqlItem& item : s_.groupBy) {
    int c = runner_.FindColumn(columns_, item, sources_, "GROUP BY");
    if (columns_[static_cast<size_t>(c)].aggregate)
      SqlFail("Aggregate column '" + columns_[static_cast<size_t>(c)].name +
              "' cannot be used in GROUP BY clause");
    groupColumns_.push_back(c);
  }
  for (const TSqlItem& item : s_.orderBy)
    order_.emplace_back(runner_.FindColumn(columns_, item, sources_, "ORDER BY"), item.descending);
  for (const TColumn& c : columns_) {
    if ((s_.distinct || !groupColumns_.empty()) && c.type == TExprType::Memo && !c.aggregate &&
        c.sourceField && c.sourceField->type == TStoreFieldType::Blob)
      SqlFail("Invalid BLOB column '" + c.name + "' in DISTINCT or GROUP BY");
  }
}

// ---- 3. the first source ------------------------------------------------------------------

void TSelectQuery::FirstSource() {
  // Records of the first source, from its indexes where WHERE lets them.
  sources_[0].table->Reading([&] {
    combos_.clear();
    TTableFilterAccess access(*sources_[0].table, evaluator_);
    TSourceIndexes indexes(access, 0);
    TExprIndexAnswer answer;
    if (where_ && !anyRight_) answer = AnswerFromIndexes(*where_, evaluator_, indexes, &row_);
    whereExact_ = answer.answered && answer.exact && n_ == 1;
    TExprRecordSet set = answer.answered ? std::move(answer.set) : indexes.AllRecords();
    for (uint32_t slot : set.Records()) combos_.push_back(static_cast<int32_t>(slot));
  });
  // Before any join: the parts of WHERE about the first source alone drop its records now.
  if (n_ > 1 && !firstWhere_.empty() && !combos_.empty()) {
    std::vector<int32_t> kept;
    sources_[0].table->Reading([&] {
      kept.clear();
      for (int32_t slot : combos_) {
        row_.Load(0, *sources_[0].table, slot);
        bool pass = true;
        for (const TExprNode* c : firstWhere_) pass = pass && evaluator_.Test(*c, &row_);
        if (pass) kept.push_back(slot);
      }
    });
    combos_.swap(kept);
  }
  comboBytes_ = combos_.capacity() * sizeof(int32_t);
  Charge(comboBytes_);
}

void TSelectQuery::PlaceWhere() {
  placed_.assign(n_, {});
  if (!where_) return;
  std::vector<const TExprNode*> parts;
  if (where_->kind == TExprKind::And)
    for (const auto& a : where_->args) parts.push_back(a.get());
  else
    parts.push_back(where_.get());
  for (const TExprNode* c : parts) {
    // With a RIGHT join the earlier sources' rows may come back as NULLs: nothing moves.
    const int at = anyRight_ || n_ == 1 ? -2 : MaxSource(*c);
    if (at >= 1 && static_cast<size_t>(at) < n_ &&
        (sources_[static_cast<size_t>(at)].ast.kind == TSqlJoinKind::Comma ||
         sources_[static_cast<size_t>(at)].ast.kind == TSqlJoinKind::Inner))
      placed_[static_cast<size_t>(at)].push_back(c);
    else if (at == 0 || at == -1)
      firstWhere_.push_back(c);
    else
      residual_.push_back(c);
  }
}

bool TSelectQuery::JoinPasses(size_t i) const {
  if (on_[i] && !evaluator_.Test(*on_[i], &row_)) return false;
  for (const TExprNode* c : placed_[i])
    if (!evaluator_.Test(*c, &row_)) return false;
  return true;
}

void TSelectQuery::Charge(size_t bytes) {
  charged_ += bytes;
  const size_t limit = runner_.Options().memoryLimit;
  if (limit > 0 && charged_ > limit)
    SqlFail("The rows of the " + std::string(kSqlStatementName) + " need more than " +
            std::to_string(limit / (1024 * 1024)) +
            " MB of memory; narrow its WHERE or join conditions");
}

void TSelectQuery::Room(std::vector<int32_t>& next, size_t width) {
  if (next.size() + width + 1 <= next.capacity()) return;
  const size_t want = std::max<size_t>(1024, (next.size() + width + 1) * 2);
  Charge((want - next.capacity()) * sizeof(int32_t));
  next.reserve(want);
}

// ---- 4. joins -----------------------------------------------------------------------------

void TSelectQuery::Join(size_t i) {
  const TSqlJoinKind kind = sources_[i].ast.kind;
  std::vector<int32_t> next;
  const TExprNode* lookupField = nullptr;
  const TExprNode* lookupValue = nullptr;
  const size_t before = charged_;
  if (FindLookup(i, lookupField, lookupValue)) {
    JoinByLookup(i, *lookupField, *lookupValue, next);
  } else if (kind == TSqlJoinKind::Right) {
    JoinRight(i, next);
  } else {
    JoinByScan(i, next);
  }
  combos_.swap(next);
  // The earlier combinations and the records read for the join are freed.
  std::vector<int32_t>().swap(next);
  innerSlots_ = {};
  innerImages_ = {};
  charged_ = before - std::min(before, comboBytes_) + combos_.capacity() * sizeof(int32_t);
  comboBytes_ = combos_.capacity() * sizeof(int32_t);
}

bool TSelectQuery::FindLookup(size_t i, const TExprNode*& field, const TExprNode*& value) {
  TSource& src = sources_[i];
  const TSqlJoinKind kind = src.ast.kind;
  if (!(kind == TSqlJoinKind::Inner || kind == TSqlJoinKind::Left || kind == TSqlJoinKind::Comma) ||
      s_.noJoinOptimize)
    return false;
  std::vector<const TExprNode*> conjuncts;
  if (on_[i] && on_[i]->kind == TExprKind::And)
    for (const auto& a : on_[i]->args) conjuncts.push_back(a.get());
  else if (on_[i])
    conjuncts.push_back(on_[i].get());
  conjuncts.insert(conjuncts.end(), placed_[i].begin(), placed_[i].end());
  TTableFilterAccess access(*src.table, evaluator_);
  for (const TExprNode* c : conjuncts) {
    if (c->kind != TExprKind::Compare || c->op != TExprOp::Eq || c->partial) continue;
    for (int side = 0; side < 2; ++side) {
      const TExprNode* f = c->args[side].get();
      const TExprNode* v = c->args[1 - side].get();
      if (f->kind != TExprKind::Field || f->fieldId / kStride != static_cast<int>(i)) continue;
      if (MaxSource(*v) >= static_cast<int>(i)) continue;
      bool has = false;
      src.table->Reading([&] { has = access.HasIndex(f->fieldId % kStride, c->noCase); });
      if (has) {
        field = f;
        value = v;
        return true;
      }
    }
  }
  return false;
}

void TSelectQuery::ReadInner(size_t i, bool useWhere) {
  TSource& src = sources_[i];
  src.table->Reading([&] {
    innerSlots_.clear();
    innerImages_.clear();
    TTableFilterAccess access(*src.table, evaluator_);
    TSourceIndexes indexes(access, static_cast<int>(i));
    TExprIndexAnswer answer;
    if (useWhere && where_) answer = AnswerFromIndexes(*where_, evaluator_, indexes, &row_);
    TExprRecordSet set = answer.answered ? std::move(answer.set) : indexes.AllRecords();
    size_t bytes = 0;
    for (uint32_t slot : set.Records()) {
      innerSlots_.push_back(static_cast<int32_t>(slot));
      innerImages_.push_back(src.table->ReadRecord(static_cast<int32_t>(slot)));
      bytes += innerImages_.back().capacity() + sizeof(std::vector<uint8_t>) + sizeof(int32_t);
      if (bytes > (1u << 20)) {
        Charge(bytes);
        bytes = 0;
      }
    }
    Charge(bytes);
  });
}

void TSelectQuery::LoadCombo(const int32_t* combo, size_t width, bool direct) {
  if (direct)
    row_.SetImage(0, combo[0] ? sources_[0].table->Data().ReadSlot(combo[0]) : nullptr);
  else
    row_.Load(0, *sources_[0].table, combo[0]);
  for (size_t s2 = 1; s2 < width; ++s2) row_.Load(s2, *sources_[s2].table, combo[s2]);
}

void TSelectQuery::JoinByLookup(size_t i, const TExprNode& field, const TExprNode& value,
                                std::vector<int32_t>& next) {
  TSource& src = sources_[i];
  const size_t width = i;
  const bool left = src.ast.kind == TSqlJoinKind::Left;
  TTableFilterAccess access(*src.table, evaluator_);
  const bool noCase = false;
  // One lookup per distinct value.
  std::unordered_map<std::string, std::vector<uint32_t>> answers;
  sources_[0].table->Reading([&] {
    next.clear();
    for (size_t k = 0; k < combos_.size(); k += width) {
      LoadCombo(&combos_[k], width, inPlace_);
      row_.Load(i, *src.table, 0);
      TExprKeyRange range;
      range.kind = TExprKeyRange::TKind::Equal;
      range.low = evaluator_.Evaluate(value, &row_);
      range.hasLow = true;
      std::string key;
      AppendKey(key, range.low);
      key += static_cast<char>(range.low.type);
      auto found = answers.find(key);
      if (found == answers.end()) {
        if (answers.size() > 65536) answers.clear();
        TExprRecordSet set;
        src.table->Reading([&] { set = access.Lookup(field.fieldId % kStride, noCase, range); });
        found = answers.emplace(key, set.Records()).first;
      }
      bool matched = false;
      for (uint32_t slot : found->second) {
        row_.Load(i, *src.table, static_cast<int32_t>(slot));
        if (!JoinPasses(i)) continue;
        matched = true;
        Room(next, width);
        Append(next, k, width);
        next.push_back(static_cast<int32_t>(slot));
      }
      if (!matched && left) {
        Room(next, width);
        Append(next, k, width);
        next.push_back(0);
      }
    }
  });
}

void TSelectQuery::JoinRight(size_t i, std::vector<int32_t>& next) {
  const size_t width = i;
  ReadInner(i, false);
  for (size_t r = 0; r < innerSlots_.size(); ++r) {
    row_.SetImage(i, innerImages_[r].data());
    bool matched = false;
    for (size_t k = 0; k < combos_.size(); k += width) {
      LoadCombo(&combos_[k], width, false);
      if (!evaluator_.Test(*on_[i], &row_)) continue;
      matched = true;
      Room(next, width);
      Append(next, k, width);
      next.push_back(innerSlots_[r]);
    }
    if (!matched) {
      Room(next, width);
      next.insert(next.end(), width, 0);
      next.push_back(innerSlots_[r]);
    }
  }
}

void TSelectQuery::JoinByScan(size_t i, std::vector<int32_t>& next) {
  const size_t width = i;
  const bool left = sources_[i].ast.kind == TSqlJoinKind::Left;
  // A comma source may be cut by the indexes of its own fields that WHERE names.
  ReadInner(i, sources_[i].ast.kind == TSqlJoinKind::Comma && !anyRight_);
  // Without a condition every pair joins: no record needs to be read.
  const bool test = on_[i] || !placed_[i].empty();
  // Then the size of the result is known before it is built.
  if (!test && !innerSlots_.empty()) {
    const double bytes = static_cast<double>(combos_.size() / width) *
                         static_cast<double>(innerSlots_.size()) *
                         static_cast<double>((width + 1) * sizeof(int32_t));
    const size_t limit = runner_.Options().memoryLimit;
    if (limit > 0 && bytes + static_cast<double>(charged_) > static_cast<double>(limit))
      Charge(limit + 1);
  }
  for (size_t k = 0; k < combos_.size(); k += width) {
    if (test) LoadCombo(&combos_[k], width, false);
    bool matched = false;
    for (size_t r = 0; r < innerSlots_.size(); ++r) {
      if (test) {
        row_.SetImage(i, innerImages_[r].data());
        if (!JoinPasses(i)) continue;
      }
      matched = true;
      Room(next, width);
      Append(next, k, width);
      next.push_back(innerSlots_[r]);
    }
    if (!matched && left) {
      Room(next, width);
      Append(next, k, width);
      next.push_back(0);
    }
  }
}

// ---- 5. WHERE, rows and groups ------------------------------------------------------------

void TSelectQuery::Scan(bool direct) {
  const size_t total = combos_.size() / n_;
  const bool early = Limited() && !grouped_ && !s_.distinct && order_.empty();
  // Starts afresh: the reading operation may run it again on fresh caches.
  out_.rows.clear();
  groups_.clear();
  groupIndex_.clear();
  charged_ = comboBytes_;
  const size_t rowBytes = sizeof(std::vector<TExprValue>) + columns_.size() * sizeof(TExprValue);
  const size_t groupBytes =
      sizeof(TGroup) + n_ * sizeof(int32_t) + aggregates_.size() * sizeof(TAccumulator) + 64;
  // With one source WHERE is tested whole (or was answered by the indexes); after joins only
  // the parts that no join tested.
  const bool whole = n_ == 1 && where_ && !whereExact_;
  if (grouped_ && groupColumns_.empty())
    groups_.push_back({{}, std::vector<TAccumulator>(aggregates_.size())});
  for (size_t k = 0; k < total; ++k) {
    if ((k & 1023) == 0 && runner_.Progress(k, total)) break;
    if (early && out_.rows.size() >= static_cast<size_t>(runner_.Options().maxRowCount)) break;
    const int32_t* combo = &combos_[k * n_];
    LoadCombo(combo, n_, direct);
    if (whole && !evaluator_.Test(*where_, &row_)) continue;
    if (n_ > 1) {
      bool pass = true;
      for (const TExprNode* c : residual_) pass = pass && evaluator_.Test(*c, &row_);
      if (!pass) continue;
    }
    if (!grouped_) {
      std::vector<TExprValue> values;
      values.reserve(columns_.size());
      size_t bytes = rowBytes;
      for (const TColumn& c : columns_) {
        values.push_back(evaluator_.Evaluate(*c.node, &row_));
        bytes += values.back().text.capacity();
      }
      Charge(bytes);
      out_.rows.push_back(std::move(values));
      continue;
    }
    size_t g = 0;
    if (!groupColumns_.empty()) {
      std::string key;
      for (int c : groupColumns_)
        AppendKey(key, evaluator_.Evaluate(*columns_[static_cast<size_t>(c)].node, &row_));
      auto [it, inserted] = groupIndex_.emplace(key, groups_.size());
      if (inserted) Charge(groupBytes + 2 * key.size());
      if (inserted)
        groups_.push_back({std::vector<int32_t>(combo, combo + n_),
                           std::vector<TAccumulator>(aggregates_.size())});
      g = it->second;
    } else if (groups_[0].first.empty()) {
      groups_[0].first.assign(combo, combo + n_);
    }
    Accumulate(groups_[g]);
  }
}

void TSelectQuery::Accumulate(TGroup& group) {
  for (size_t a = 0; a < aggregates_.size(); ++a) {
    const TExprNode& agg = *aggregates_[a];
    TAccumulator& acc = group.acc[a];
    acc.any = true;
    if (agg.args.empty()) {
      ++acc.count;
      continue;
    }
    TExprValue v = evaluator_.Evaluate(*agg.args[0], &row_);
    if (v.isNull) continue;
    if (agg.negated) {  // DISTINCT
      std::string key;
      AppendKey(key, v);
      if (!acc.seen.insert(key).second) continue;
      Charge(key.size() + 64);
    }
    ++acc.count;
    switch (agg.func) {
      case TExprFunc::Sum:
      case TExprFunc::Avg:
        if (IsRealType(v.type) || v.type == TExprType::TimeStamp) acc.integral = false;
        if (acc.integral && !__builtin_add_overflow(acc.isum, v.integer, &acc.isum)) {
        } else if (acc.integral) {
          acc.integral = false;
        }
        acc.dsum += NumericValue(v);
        break;
      case TExprFunc::Min:
      case TExprFunc::Max: {
        if (acc.count == 1) {
          acc.best = v;
        } else {
          int cmp = evaluator_.CompareValues(v, acc.best, false);
          if (agg.func == TExprFunc::Min ? cmp < 0 : cmp > 0) acc.best = v;
        }
        break;
      }
      default:
        break;
    }
  }
}

// ---- 6. groups ----------------------------------------------------------------------------

void TSelectQuery::GroupRows() {
  std::vector<TExprValue> aggValues(aggregates_.size());
  row_.aggregates = &aggValues;
  for (TGroup& group : groups_) {
    for (size_t a = 0; a < aggregates_.size(); ++a)
      aggValues[a] = AggregateValue(*aggregates_[a], group.acc[a]);
    for (size_t s2 = 0; s2 < n_; ++s2)
      row_.Load(s2, *sources_[s2].table, group.first.empty() ? 0 : group.first[s2]);
    if (having_ && !evaluator_.Test(*having_, &row_)) continue;
    std::vector<TExprValue> values;
    for (const TColumn& c : columns_) values.push_back(evaluator_.Evaluate(*c.node, &row_));
    out_.rows.push_back(std::move(values));
  }
  row_.aggregates = nullptr;
}

// ---- 7. DISTINCT and ORDER BY -------------------------------------------------------------

void TSelectQuery::Distinct() {
  std::set<std::string> seen;
  std::vector<std::vector<TExprValue>> kept;
  for (auto& r : out_.rows) {
    std::string key;
    for (const TExprValue& v : r) AppendKey(key, v);
    if (!seen.insert(key).second) continue;
    Charge(key.size() + 64);
    kept.push_back(std::move(r));
  }
  out_.rows.swap(kept);
}

void TSelectQuery::Order() {
  const bool noCase = s_.orderNoCase;
  std::stable_sort(out_.rows.begin(), out_.rows.end(),
                   [&](const std::vector<TExprValue>& a, const std::vector<TExprValue>& b) {
                     for (const auto& [c, desc] : order_) {
                       const TExprValue& x = a[static_cast<size_t>(c)];
                       const TExprValue& y = b[static_cast<size_t>(c)];
                       int cmp;
                       if (x.isNull || y.isNull)
                         cmp = x.isNull == y.isNull ? 0 : x.isNull ? -1 : 1;
                       else
                         cmp = evaluator_.CompareValues(x, y, noCase && IsTextType(x.type));
                       if (cmp != 0) return desc ? cmp > 0 : cmp < 0;
                     }
                     return false;
                   });
}

}  // namespace

TSelectRows TSqlRunner::Select(const TSqlSelect& s, bool limitRows) {
  return TSelectQuery(*this, s, limitRows).Run();
}

std::vector<TExprValue> TSqlRunner::SubSelect(const std::vector<TExprToken>& tokens, size_t& pos,
                                              TExprType& type) {
  if (&tokens != &tokens_)
    SqlFail("Sub-select queries are not allowed in " + std::string(kSqlStatementName));
  if (++subDepth_ > 16) {
    --subDepth_;
    SqlFail("Sub-selects are nested too deeply in " + std::string(kSqlStatementName));
  }
  TSqlSelect s = ParseSqlSubSelect(tokens, pos);
  TSelectRows rows;
  try {
    rows = Select(s, false);
  } catch (...) {
    --subDepth_;
    throw;
  }
  --subDepth_;
  if (rows.columns.size() != 1)
    SqlFail(std::string("More than 1 column for sub-select  specified in ") + kSqlStatementName);
  type = rows.columns[0].type;
  std::vector<TExprValue> values;
  for (auto& row : rows.rows) values.push_back(std::move(row[0]));
  return values;
}

}  // namespace quellor::sqlexec
