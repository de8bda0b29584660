// Names in SQL statements: the sources a statement names, opened shared, with their
// correlation names (the name given, else the table name without folder and extension); the
// fields of the sources by correlation and field name; ORDER BY and GROUP BY items among the
// result columns (by number, by column name, or by the source field a plain column shows);
// and the names of the result columns.
#include <sys/stat.h>

#include <set>
#include <string>

#include "store/api/StoreError.h"
#include "store/expr/ExprText.h"
#include "store/format/FieldValue.h"
#include "store/sql/SqlRunner.h"

namespace quellor::sqlexec {

std::string BareName(const std::string& table) {
  std::string name = table;
  size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name = name.substr(slash + 1);
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

bool MatchesStarCorrelation(const TSource& source, const std::string& correlation) {
  const std::string& given = source.ast.table.correlation;
  return given.empty() ? EqualsNoCase(correlation, BareName(source.ast.table.name))
                       : EqualsNoCase(correlation, given);
}

std::optional<TExprField> TSqlScope::FindField(std::string_view correlation,
                                               std::string_view name) const {
  for (size_t s = 0; s < sources_.size(); ++s) {
    const TSource& src = sources_[s];
    if (!correlation.empty()) {
      const std::string& given = src.ast.table.correlation;
      bool match = given.empty() ? EqualsNoCase(correlation, BareName(src.ast.table.name)) ||
                                       EqualsNoCase(correlation, src.ast.table.name)
                                 : EqualsNoCase(correlation, given);
      if (!match) continue;
    }
    const auto& fields = src.table->Fields();
    for (size_t i = 0; i < fields.size(); ++i) {
      if (EqualsNoCase(fields[i].name, name))
        return TExprField{static_cast<int>(s * kStride + i),
                          TExprTableScope::TypeOf(fields[i].type), fields[i].name};
    }
    if (!correlation.empty()) return std::nullopt;
  }
  return std::nullopt;
}

void TSqlRunner::OpenSources(const TSqlSelect& s, std::vector<TSource>& sources) {
  std::set<std::string> correlations;
  for (const TSqlSource& src : s.sources) {
    TSource source;
    source.ast = src;
    std::string corr =
        Upper(src.table.correlation.empty() ? BareName(src.table.name) : src.table.correlation);
    if (!correlations.insert(corr).second)
      SqlFail("Duplicate table correlation name '" +
              (src.table.correlation.empty() ? BareName(src.table.name) : src.table.correlation) +
              "' found in source tables");
    source.directory = DirectoryOf(src.table.memory);
    if (!source.directory->TableExists(src.table.name)) NoSuchTable(src.table.name);
    try {
      source.table = source.directory->OpenTable(src.table.name, false);
    } catch (const EStoreEngineError& e) {
      if (e.ErrorCode() == StoreCode::InvalidPath) NoSuchTable(src.table.name);
      throw;
    }
    sources.push_back(std::move(source));
  }
}

int TSqlRunner::FindColumn(const std::vector<TColumn>& columns, const TSqlItem& item,
                           const std::vector<TSource>& sources, const char* clause) const {
  if (item.number > 0) {
    if (item.number > static_cast<int>(columns.size()))
      SqlFail(std::string("Invalid column number ") + std::to_string(item.number) + " in " +
              clause + " clause");
    return item.number - 1;
  }
  for (size_t i = 0; i < columns.size(); ++i)
    if (item.correlation.empty() && EqualsNoCase(columns[i].name, item.name))
      return static_cast<int>(i);
  // A source field that a plain column shows.
  TSqlScope scope(sources);
  std::optional<TExprField> f = scope.FindField(item.correlation, item.name);
  if (f) {
    for (size_t i = 0; i < columns.size(); ++i)
      if (columns[i].node->kind == TExprKind::Field && columns[i].node->fieldId == f->id)
        return static_cast<int>(i);
  }
  SqlFail("Invalid column name '" + item.name + "' or table correlation name '" + item.correlation +
          "' specified in " + clause + " clause");
}

std::string AggregateName(TExprFunc f) {
  switch (f) {
    case TExprFunc::Sum:
      return "Sum Of ";
    case TExprFunc::Min:
      return "Min Of ";
    case TExprFunc::Max:
      return "Max Of ";
    case TExprFunc::Avg:
      return "Average Of ";
    default:
      return "Count Of ";
  }
}

// Result column names: cut to 30 characters, a repeated one gets "_1", "_2", ...
void NameColumns(std::vector<TColumn>& columns) {
  std::set<std::string> used;
  for (TColumn& c : columns) {
    std::string name = CutText(c.name, 30);
    if (used.count(Upper(name))) {
      for (int n = 1;; ++n) {
        std::string suffix = "_" + std::to_string(n);
        std::string candidate = CutText(name, 30 - suffix.size()) + suffix;
        if (!used.count(Upper(candidate))) {
          name = candidate;
          break;
        }
      }
    }
    used.insert(Upper(name));
    c.name = name;
  }
}

}  // namespace quellor::sqlexec
