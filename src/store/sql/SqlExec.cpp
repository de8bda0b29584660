#include "store/sql/SqlExec.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <optional>
#include <set>
#include <unordered_map>

#include "store/api/StoreError.h"
#include "store/api/StoreTbSupport.h"
#include "store/engine/DataSession.h"
#include "store/engine/DataTable.h"
#include "store/engine/StoreInternals.h"
#include "store/engine/TableFilter.h"
#include "store/expr/ExprContext.h"
#include "store/expr/ExprEval.h"
#include "store/expr/ExprIndex.h"
#include "store/expr/ExprLexer.h"
#include "store/expr/ExprParser.h"
#include "store/expr/ExprText.h"
#include "store/format/ByteOrder.h"
#include "store/format/FieldValue.h"
#include "store/maint/Restructure.h"
#include "store/os/PhysicalFile.h"
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

namespace {

// Field ids of a statement: source * kStride + the field's position in its table.
constexpr int kStride = 2048;
constexpr int kMaxColumns = 1024;

[[noreturn]] void SqlFail(const std::string& message) {
  throw EExprError(message);
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string BareName(const std::string& table) {
  std::string name = table;
  size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name = name.substr(slash + 1);
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

// ---- temporary tables -------------------------------------------------------------------------

std::mutex& TempMutex() {
  static std::mutex m;
  return m;
}

// The temporary tables this process owns; removed at exit when still there.
struct TTempRegistry {
  std::set<std::pair<std::string, std::string>> tables;
  std::set<std::string> cleanedFolders;
  ~TTempRegistry() {
    for (const auto& [folder, table] : tables)
      TTableFiles::Named(folder + table, false).RemoveAll();
  }
};

TTempRegistry& Registry() {
  static TTempRegistry r;
  return r;
}

std::string NewTemporaryName(const std::string& folder) {
  std::string prefix = std::to_string(static_cast<long>(::syscall(SYS_gettid)));
  if (prefix.size() > 5) prefix.resize(5);
  std::lock_guard lock(TempMutex());
  for (int n = 1;; ++n) {
    std::string name = prefix + std::to_string(n);
    if (Registry().tables.count({folder, name})) continue;
    if (TTableFiles::OnDisk(folder, name).Exists(TTableFile::Data)) continue;
    Registry().tables.insert({folder, name});
    return name;
  }
}

// ---- statement context ------------------------------------------------------------------------

struct TSource {
  TSqlSource ast;
  std::shared_ptr<TDataDirectory> directory;
  std::shared_ptr<TDataTable> table;
};

class TSqlScope : public TExprScope {
 public:
  explicit TSqlScope(const std::vector<TSource>& sources) : sources_(sources) {}
  std::optional<TExprField> FindField(std::string_view correlation,
                                      std::string_view name) const override {
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

 private:
  const std::vector<TSource>& sources_;
};

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

// A result column.
struct TColumn {
  TExprNodePtr node;
  std::string name;
  TExprType type = TExprType::Null;
  std::optional<TFieldDesc> sourceField;  // a plain field: its definition (a copy: the
                                          // sources close before the rows are written)
  bool aggregate = false;
};

struct TAccumulator {
  int64_t count = 0;
  bool any = false;
  bool integral = true;
  int64_t isum = 0;
  double dsum = 0;
  TExprValue best;
  std::set<std::string> seen;
};

// A value as bytes that are equal exactly when the values are (DISTINCT, GROUP BY).
void AppendKey(std::string& key, const TExprValue& v) {
  if (v.isNull) {
    key += '\0';
    return;
  }
  key += '\1';
  if (IsTextType(v.type) || v.type == TExprType::Bytes) {
    uint32_t n = static_cast<uint32_t>(v.text.size());
    key.append(reinterpret_cast<const char*>(&n), 4);
    key += v.text;
  } else if (IsRealType(v.type) || v.type == TExprType::TimeStamp) {
    double d = v.real == 0 ? 0 : v.real;
    key.append(reinterpret_cast<const char*>(&d), 8);
  } else {
    double d = static_cast<double>(v.integer);
    if (v.type == TExprType::Date || v.type == TExprType::Time || v.type == TExprType::Boolean) {
      key += static_cast<char>(v.type);
      key.append(reinterpret_cast<const char*>(&v.integer), 8);
    } else {
      key.append(reinterpret_cast<const char*>(&d), 8);
    }
  }
}

// The kind of a result column that shows a stored field: the field's own kind, except that a
// result column holds plain values (an autoincrement field's are integers) and shows every
// stored number (a 10-byte float as a float).
TFieldType KindOfDesc(const TFieldDesc& f) {
  if (f.type == TStoreFieldType::Float10)
    return f.subtype == StoreSubtype::Money ? TFieldType::Currency : TFieldType::Float;
  const TFieldType kind = KindOfStoreField(f);
  if (kind == TFieldType::AutoInc) return TFieldType::Integer;
  return kind == TFieldType::Unknown ? TFieldType::String : kind;
}

TFieldType KindOfExpr(TExprType t) {
  switch (t) {
    case TExprType::Memo:
      return TFieldType::Memo;
    case TExprType::Boolean:
      return TFieldType::Boolean;
    case TExprType::SmallInt:
      return TFieldType::SmallInt;
    case TExprType::Integer:
      return TFieldType::Integer;
    case TExprType::Word:
      return TFieldType::Word;
    case TExprType::Float:
      return TFieldType::Float;
    case TExprType::BCD:
      return TFieldType::BCD;
    case TExprType::Date:
      return TFieldType::Date;
    case TExprType::Time:
      return TFieldType::Time;
    case TExprType::TimeStamp:
      return TFieldType::DateTime;
    case TExprType::Bytes:
      return TFieldType::Bytes;
    default:
      return TFieldType::String;
  }
}

// Writes a value into a record image's field; false when it cannot be held.
bool PutValue(std::vector<uint8_t>& image, const TFieldDesc& f, const TExprValue& v,
              TBlobChanges& blobs, size_t index) {
  if (v.isNull) return true;
  uint8_t* p = image.data() + ValueOffset(f);
  bool ok = false;
  switch (f.type) {
    case TStoreFieldType::Blob:
      blobs[index] = IsTextType(v.type) || v.type == TExprType::Bytes ? v.text : std::string();
      return true;
    case TStoreFieldType::String:
      if (IsTextType(v.type) || v.type == TExprType::Bytes) ok = PutTextValue(p, f, v.text);
      break;
    case TStoreFieldType::Bytes:
    case TStoreFieldType::VarBytes:
      std::memcpy(p, v.text.data(), std::min<size_t>(v.text.size(), f.width));
      ok = true;
      break;
    case TStoreFieldType::Float:
    case TStoreFieldType::BCD:
      ok = PutFloatValue(p, f, NumericValue(v));
      break;
    case TStoreFieldType::TimeStamp:
      ok = PutFloatValue(
          p, f, v.type == TExprType::Date ? static_cast<double>(v.integer) * kMsPerDay : v.real);
      break;
    case TStoreFieldType::Date:
      ok = PutIntegerValue(p, f,
                           v.type == TExprType::TimeStamp
                               ? static_cast<int64_t>(std::floor(v.real / kMsPerDay))
                               : v.integer);
      break;
    default:
      if (f.IsAutoInc()) return true;
      ok = PutIntegerValue(p, f, IsRealType(v.type) ? std::llround(v.real) : v.integer);
      break;
  }
  if (ok) MarkFieldSet(image.data(), f);
  return ok;
}

// Sets a field of a cursor's edit buffer from a value.
// NOAUTOINC: the auto-increment value a statement gives a record, 0 when it gives none (the
// record then gets the next one as usual).
int32_t GivenAutoInc(const TFieldDesc& f, const TExprValue& v) {
  if (v.isNull) return 0;
  int64_t n = 0;
  switch (v.type) {
    case TExprType::SmallInt:
    case TExprType::Integer:
    case TExprType::Word:
      n = v.integer;
      break;
    case TExprType::Float:
    case TExprType::BCD:
      if (v.real != std::floor(v.real) || std::abs(v.real) > 4e9)
        SqlFail("NOAUTOINC value for column '" + f.name + "' must be a whole number");
      n = static_cast<int64_t>(v.real);
      break;
    default:
      SqlFail("NOAUTOINC value for column '" + f.name + "' must be a whole number");
  }
  if (n < 1 || n > 2147483647)
    SqlFail("NOAUTOINC value " + std::to_string(n) + " for column '" + f.name +
            "' must be between 1 and 2147483647");
  return static_cast<int32_t>(n);
}

void SetField(TStoreField& field, const TExprValue& v) {
  if (v.isNull) {
    field.Clear();
    return;
  }
  switch (v.type) {
    case TExprType::String:
    case TExprType::Memo:
    case TExprType::Bytes:
      field.SetAsString(v.text);
      break;
    case TExprType::Boolean:
      field.SetAsBoolean(v.integer != 0);
      break;
    case TExprType::SmallInt:
    case TExprType::Integer:
    case TExprType::Word:
      field.SetAsInteger(v.integer);
      break;
    case TExprType::Float:
    case TExprType::BCD:
      field.SetAsFloat(v.real);
      break;
    case TExprType::Date:
      field.SetAsDateTime(JoinDateTime(static_cast<int32_t>(v.integer), 0));
      break;
    case TExprType::Time:
      field.SetAsDateTime(JoinDateTime(kDateDelta, static_cast<int32_t>(v.integer)));
      break;
    case TExprType::TimeStamp: {
      double day = std::floor(v.real / kMsPerDay);
      field.SetAsDateTime(
          JoinDateTime(static_cast<int32_t>(day), static_cast<int32_t>(v.real - day * kMsPerDay)));
      break;
    }
    default:
      field.Clear();
  }
}

// Whether a value of type `value` can go into a field of kind `field`.
bool Assignable(TExprType value, const TFieldDesc& field) {
  if (value == TExprType::Null) return true;
  TExprType target = TExprTableScope::TypeOf(field.type);
  if (IsTextType(target) || target == TExprType::Bytes)
    return IsTextType(value) || value == TExprType::Bytes;
  if (IsNumericType(target)) return IsNumericType(value) || value == TExprType::String;
  if (target == TExprType::Date || target == TExprType::TimeStamp)
    return value == TExprType::Date || value == TExprType::TimeStamp || value == TExprType::String;
  if (target == TExprType::Time) return value == TExprType::Time || value == TExprType::String;
  if (target == TExprType::Boolean)
    return value == TExprType::Boolean || value == TExprType::String;
  return false;
}

// ---- the statement runner ---------------------------------------------------------------------

struct TSelectRows {
  std::vector<TColumn> columns;
  std::vector<std::vector<TExprValue>> rows;
  uint32_t languageId = 0;
};

class TSqlRunner {
 public:
  TSqlRunner(const std::vector<TExprToken>& tokens, const TSqlRunOptions& options)
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

  TSqlRunOutcome Run(const TSqlStatement& st);
  std::string statementText;
  TSelectRows Select(const TSqlSelect& s, bool limitRows);

 private:
  std::shared_ptr<TDataDirectory> DirectoryOf(bool memory);
  std::string DatabaseFor(const TSqlTableRef& ref) const {
    return ref.memory ? "MEMORY" : options_.databaseName;
  }
  void OpenSources(const TSqlSelect& s, std::vector<TSource>& sources);
  TExprNodePtr Compile(const TSqlExprRef& r, const TExprScope& scope, TExprSettings& settings,
                       TExprEvaluator& evaluator, bool condition, const char* emptyMessage,
                       const char* boolMessage, std::string* alias = nullptr);
  std::vector<TExprValue> SubSelect(const std::vector<TExprToken>& tokens, size_t& pos,
                                    TExprType& type);
  int FindColumn(const std::vector<TColumn>& columns, const TSqlItem& item,
                 const std::vector<TSource>& sources, const char* clause) const;
  bool Progress(size_t done, size_t total);

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
    if (!source.directory->TableExists(src.table.name))
      SqlFail("Table '" + src.table.name + "' does not exist in " + kSqlStatementName);
    try {
      source.table = source.directory->OpenTable(src.table.name, false);
    } catch (const EStoreEngineError& e) {
      if (e.ErrorCode() == StoreCode::InvalidPath)
        SqlFail("Table '" + src.table.name + "' does not exist in " + kSqlStatementName);
      throw;
    }
    sources.push_back(std::move(source));
  }
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

bool TSqlRunner::Progress(size_t done, size_t total) {
  if (!options_.progress || subDepth_ > 0) return false;
  int percent = total ? static_cast<int>(done * 100 / total) : 100;
  return options_.progress(static_cast<int>(done), percent);
}

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

TSelectRows TSqlRunner::Select(const TSqlSelect& s, bool limitRows) {
  std::vector<TSource> sources;
  OpenSources(s, sources);
  TSqlScope scope(sources);
  TExprSettings base = settings_;
  base.languageId = sources[0].table->Data().Header().languageId;
  TExprTextRules rules(base.languageId, base.codePage);
  TExprEvaluator evaluator(base, rules);

  TSelectRows out;
  out.languageId = base.languageId;
  // Columns.
  TExprSettings columnSettings = base;
  columnSettings.statementName = "source columns";
  columnSettings.allowAggregates = true;
  std::vector<TColumn>& columns = out.columns;
  for (const TSqlColumnRef& ref : s.columns) {
    if (ref.star) {
      bool found = false;
      for (size_t si = 0; si < sources.size(); ++si) {
        const TSource& src = sources[si];
        if (!ref.starCorrelation.empty()) {
          const std::string& given = src.ast.table.correlation;
          bool match = given.empty()
                           ? EqualsNoCase(ref.starCorrelation, BareName(src.ast.table.name))
                           : EqualsNoCase(ref.starCorrelation, given);
          if (!match) continue;
        }
        found = true;
        const auto& fields = src.table->Fields();
        for (size_t i = 0; i < fields.size(); ++i) {
          if (fields[i].type == TStoreFieldType::Float10) continue;
          TColumn c;
          c.node = std::make_unique<TExprNode>();
          c.node->kind = TExprKind::Field;
          c.node->fieldId = static_cast<int>(si * kStride + i);
          c.node->type = TExprTableScope::TypeOf(fields[i].type);
          c.node->name = fields[i].name;
          c.node->hasField = true;
          c.type = c.node->type;
          c.name = fields[i].name;
          c.sourceField = fields[i];
          columns.push_back(std::move(c));
        }
      }
      if (!found)
        SqlFail("Invalid column name '*' or table correlation name '" + ref.starCorrelation +
                "' specified in source columns");
    } else {
      TColumn c;
      std::string alias;
      c.node = Compile(ref.expr, scope, columnSettings, evaluator, false, nullptr, nullptr, &alias);
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
        c.sourceField = sources[si].table->Fields()[static_cast<size_t>(n.fieldId % kStride)];
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
      columns.push_back(std::move(c));
    }
    if (columns.size() > static_cast<size_t>(kMaxColumns))
      SqlFail("Maximum number of columns (" + std::to_string(kMaxColumns) +
              ") in result set exceeded");
  }
  NameColumns(columns);

  // Aggregates: types, and one number per aggregate of the statement.
  std::vector<TExprNode*> aggregates;
  bool anyAggregate = false, anyPlain = false;
  for (TColumn& c : columns) {
    (c.aggregate ? anyAggregate : anyPlain) = true;
    CollectAggregates(*c.node, aggregates);
  }
  if (anyAggregate && anyPlain && s.groupBy.empty())
    SqlFail("Invalid use of aggregate function(s), the necessary GROUP BY clause is missing");
  if (s.hasHaving && s.groupBy.empty())
    SqlFail("A GROUP BY clause must exist in order to use the HAVING clause");

  // WHERE and ON.
  TExprNodePtr where;
  if (s.where.Present())
    where = Compile(s.where, scope, base, evaluator, true, "WHERE or JOIN clause is empty",
                    "WHERE or JOIN clause must be a boolean expression");
  std::vector<TExprNodePtr> on(sources.size());
  bool anyRight = false;
  for (size_t i = 1; i < sources.size(); ++i) {
    if (sources[i].ast.kind == TSqlJoinKind::Right) anyRight = true;
    if (sources[i].ast.on.Present())
      on[i] =
          Compile(sources[i].ast.on, scope, base, evaluator, true, "WHERE or JOIN clause is empty",
                  "WHERE or JOIN clause must be a boolean expression");
  }
  TExprNodePtr having;
  if (s.hasHaving) {
    TExprSettings havingSettings = base;
    havingSettings.allowAggregates = true;
    having = Compile(s.having, scope, havingSettings, evaluator, true, "HAVING clause is empty",
                     "HAVING clause must be a boolean expression");
    CollectAggregates(*having, aggregates);
  }
  for (TExprNode* a : aggregates) {
    if (a->func == TExprFunc::Count || a->args.empty()) continue;
    TExprType t = a->args[0]->type;
    if (!(t == TExprType::Null || IsNumericType(t) || IsTemporalType(t)))
      SqlFail(a->name +
              " aggregate function must contain a numeric, date, time, or timestamp "
              "expression in " +
              kSqlStatementName);
  }
  const bool grouped = !s.groupBy.empty() || anyAggregate || having;
  std::vector<int> groupColumns;
  for (const TSqlItem& item : s.groupBy) {
    int c = FindColumn(columns, item, sources, "GROUP BY");
    if (columns[static_cast<size_t>(c)].aggregate)
      SqlFail("Aggregate column '" + columns[static_cast<size_t>(c)].name +
              "' cannot be used in GROUP BY clause");
    groupColumns.push_back(c);
  }
  std::vector<std::pair<int, bool>> order;
  for (const TSqlItem& item : s.orderBy)
    order.emplace_back(FindColumn(columns, item, sources, "ORDER BY"), item.descending);
  for (const TColumn& c : columns) {
    if ((s.distinct || !groupColumns.empty()) && c.type == TExprType::Memo && !c.aggregate &&
        c.sourceField && c.sourceField->type == TStoreFieldType::Blob)
      SqlFail("Invalid BLOB column '" + c.name + "' in DISTINCT or GROUP BY");
  }

  // Records of the first source, from its indexes where WHERE lets them.
  TSqlRow row;
  row.Setup(sources);
  row.params = &options_.params;
  const size_t n = sources.size();
  std::vector<int32_t> combos;  // n slots per combination
  bool whereExact = false;
  sources[0].table->Reading([&] {
    combos.clear();
    TTableFilterAccess access(*sources[0].table, evaluator);
    TSourceIndexes indexes(access, 0);
    TExprIndexAnswer answer;
    if (where && !anyRight) answer = AnswerFromIndexes(*where, evaluator, indexes, &row);
    whereExact = answer.answered && answer.exact && n == 1;
    TExprRecordSet set = answer.answered ? std::move(answer.set) : indexes.AllRecords();
    for (uint32_t slot : set.Records()) combos.push_back(static_cast<int32_t>(slot));
  });

  // The first source's records may be read in place (no copies) unless another source is the
  // same table, whose reads could move them out of the cache.
  bool inPlace = true;
  for (size_t i = 1; i < n; ++i)
    if (sources[i].table == sources[0].table) inPlace = false;

  // Joins.
  for (size_t i = 1; i < n; ++i) {
    TSource& src = sources[i];
    const TSqlJoinKind kind = src.ast.kind;
    std::vector<int32_t> next;
    const size_t width = i;  // slots per combination so far
    bool direct = false;     // inside a reading operation of the first source
    auto loadCombo = [&](const int32_t* combo) {
      if (direct)
        row.SetImage(0, combo[0] ? sources[0].table->Data().ReadSlot(combo[0]) : nullptr);
      else
        row.Load(0, *sources[0].table, combo[0]);
      for (size_t s2 = 1; s2 < width; ++s2) row.Load(s2, *sources[s2].table, combo[s2]);
    };
    // The new source's records, read once (for scans).
    std::vector<int32_t> innerSlots;
    std::vector<std::vector<uint8_t>> innerImages;
    auto readInner = [&](bool useWhere) {
      src.table->Reading([&] {
        innerSlots.clear();
        innerImages.clear();
        TTableFilterAccess access(*src.table, evaluator);
        TSourceIndexes indexes(access, static_cast<int>(i));
        TExprIndexAnswer answer;
        if (useWhere && where) answer = AnswerFromIndexes(*where, evaluator, indexes, &row);
        TExprRecordSet set = answer.answered ? std::move(answer.set) : indexes.AllRecords();
        for (uint32_t slot : set.Records()) {
          innerSlots.push_back(static_cast<int32_t>(slot));
          innerImages.push_back(src.table->ReadRecord(static_cast<int32_t>(slot)));
        }
      });
    };
    // An equality of an indexed field of this source with an expression of the earlier ones.
    const TExprNode* lookupField = nullptr;
    const TExprNode* lookupValue = nullptr;
    if (on[i] && (kind == TSqlJoinKind::Inner || kind == TSqlJoinKind::Left) && !s.noJoinOptimize) {
      std::vector<const TExprNode*> conjuncts;
      if (on[i]->kind == TExprKind::And)
        for (const auto& a : on[i]->args) conjuncts.push_back(a.get());
      else
        conjuncts.push_back(on[i].get());
      TTableFilterAccess access(*src.table, evaluator);
      for (const TExprNode* c : conjuncts) {
        if (c->kind != TExprKind::Compare || c->op != TExprOp::Eq || c->partial) continue;
        for (int side = 0; side < 2 && !lookupField; ++side) {
          const TExprNode* f = c->args[side].get();
          const TExprNode* v = c->args[1 - side].get();
          if (f->kind != TExprKind::Field || f->fieldId / kStride != static_cast<int>(i)) continue;
          if (MaxSource(*v) >= static_cast<int>(i)) continue;
          bool has = false;
          src.table->Reading([&] { has = access.HasIndex(f->fieldId % kStride, c->noCase); });
          if (has) {
            lookupField = f;
            lookupValue = v;
          }
        }
        if (lookupField) break;
      }
    }
    if (kind == TSqlJoinKind::Comma) {
      readInner(!anyRight);
      for (size_t k = 0; k < combos.size(); k += width) {
        for (int32_t slot : innerSlots) {
          next.insert(next.end(), combos.begin() + k, combos.begin() + k + width);
          next.push_back(slot);
        }
      }
    } else if (lookupField) {
      TTableFilterAccess access(*src.table, evaluator);
      const bool noCase = false;
      // One lookup per distinct value.
      std::unordered_map<std::string, std::vector<uint32_t>> answers;
      sources[0].table->Reading([&] {
        next.clear();
        direct = inPlace;
        for (size_t k = 0; k < combos.size(); k += width) {
          loadCombo(&combos[k]);
          row.Load(i, *src.table, 0);
          TExprKeyRange range;
          range.kind = TExprKeyRange::TKind::Equal;
          range.low = evaluator.Evaluate(*lookupValue, &row);
          range.hasLow = true;
          std::string key;
          AppendKey(key, range.low);
          key += static_cast<char>(range.low.type);
          auto found = answers.find(key);
          if (found == answers.end()) {
            if (answers.size() > 65536) answers.clear();
            TExprRecordSet set;
            src.table->Reading(
                [&] { set = access.Lookup(lookupField->fieldId % kStride, noCase, range); });
            found = answers.emplace(key, set.Records()).first;
          }
          bool matched = false;
          for (uint32_t slot : found->second) {
            row.Load(i, *src.table, static_cast<int32_t>(slot));
            if (!evaluator.Test(*on[i], &row)) continue;
            matched = true;
            next.insert(next.end(), combos.begin() + k, combos.begin() + k + width);
            next.push_back(static_cast<int32_t>(slot));
          }
          if (!matched && kind == TSqlJoinKind::Left) {
            next.insert(next.end(), combos.begin() + k, combos.begin() + k + width);
            next.push_back(0);
          }
        }
      });
      direct = false;
    } else if (kind == TSqlJoinKind::Right) {
      readInner(false);
      for (size_t r = 0; r < innerSlots.size(); ++r) {
        row.SetImage(i, innerImages[r].data());
        bool matched = false;
        for (size_t k = 0; k < combos.size(); k += width) {
          loadCombo(&combos[k]);
          if (!evaluator.Test(*on[i], &row)) continue;
          matched = true;
          next.insert(next.end(), combos.begin() + k, combos.begin() + k + width);
          next.push_back(innerSlots[r]);
        }
        if (!matched) {
          next.insert(next.end(), width, 0);
          next.push_back(innerSlots[r]);
        }
      }
    } else {
      readInner(false);
      for (size_t k = 0; k < combos.size(); k += width) {
        loadCombo(&combos[k]);
        bool matched = false;
        for (size_t r = 0; r < innerSlots.size(); ++r) {
          row.SetImage(i, innerImages[r].data());
          if (!evaluator.Test(*on[i], &row)) continue;
          matched = true;
          next.insert(next.end(), combos.begin() + k, combos.begin() + k + width);
          next.push_back(innerSlots[r]);
        }
        if (!matched && kind == TSqlJoinKind::Left) {
          next.insert(next.end(), combos.begin() + k, combos.begin() + k + width);
          next.push_back(0);
        }
      }
    }
    combos.swap(next);
  }

  // WHERE, columns, groups.
  const size_t total = combos.size() / n;
  const bool early =
      limitRows && options_.maxRowCount >= 0 && !grouped && !s.distinct && order.empty();
  struct TGroup {
    std::vector<int32_t> first;
    std::vector<TAccumulator> acc;
  };
  std::vector<TGroup> groups;
  std::unordered_map<std::string, size_t> groupIndex;
  if (grouped && groupColumns.empty()) {
    groups.push_back({{}, std::vector<TAccumulator>(aggregates.size())});
  }
  auto scan = [&](bool direct) {
    out.rows.clear();
    groups.resize(grouped && groupColumns.empty() ? 1 : 0);
    if (!groups.empty()) groups[0] = {{}, std::vector<TAccumulator>(aggregates.size())};
    groupIndex.clear();
    for (size_t k = 0; k < total; ++k) {
      if ((k & 1023) == 0 && Progress(k, total)) break;
      if (early && out.rows.size() >= static_cast<size_t>(options_.maxRowCount)) break;
      const int32_t* combo = &combos[k * n];
      if (direct) {
        row.SetImage(0, combo[0] ? sources[0].table->Data().ReadSlot(combo[0]) : nullptr);
        for (size_t s2 = 1; s2 < n; ++s2) row.Load(s2, *sources[s2].table, combo[s2]);
      } else {
        for (size_t s2 = 0; s2 < n; ++s2) row.Load(s2, *sources[s2].table, combo[s2]);
      }
      if (where && !whereExact && !evaluator.Test(*where, &row)) continue;
      if (!grouped) {
        std::vector<TExprValue> values;
        values.reserve(columns.size());
        for (const TColumn& c : columns) values.push_back(evaluator.Evaluate(*c.node, &row));
        out.rows.push_back(std::move(values));
        continue;
      }
      size_t g = 0;
      if (!groupColumns.empty()) {
        std::string key;
        for (int c : groupColumns)
          AppendKey(key, evaluator.Evaluate(*columns[static_cast<size_t>(c)].node, &row));
        auto [it, inserted] = groupIndex.emplace(key, groups.size());
        if (inserted)
          groups.push_back({std::vector<int32_t>(combo, combo + n),
                            std::vector<TAccumulator>(aggregates.size())});
        g = it->second;
      } else if (groups[0].first.empty()) {
        groups[0].first.assign(combo, combo + n);
      }
      TGroup& group = groups[g];
      for (size_t a = 0; a < aggregates.size(); ++a) {
        const TExprNode& agg = *aggregates[a];
        TAccumulator& acc = group.acc[a];
        acc.any = true;
        if (agg.args.empty()) {
          ++acc.count;
          continue;
        }
        TExprValue v = evaluator.Evaluate(*agg.args[0], &row);
        if (v.isNull) continue;
        if (agg.negated) {  // DISTINCT
          std::string key;
          AppendKey(key, v);
          if (!acc.seen.insert(key).second) continue;
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
              int cmp = evaluator.CompareValues(v, acc.best, false);
              if (agg.func == TExprFunc::Min ? cmp < 0 : cmp > 0) acc.best = v;
            }
            break;
          }
          default:
            break;
        }
      }
    }
  };
  // One reading operation over the first source: its records are read where the table's cache
  // holds them, without copies (it starts over when another program changed the files).
  sources[0].table->Reading([&] { scan(inPlace); });
  if (grouped) {
    std::vector<TExprValue> aggValues(aggregates.size());
    row.aggregates = &aggValues;
    for (TGroup& group : groups) {
      for (size_t a = 0; a < aggregates.size(); ++a) {
        const TExprNode& agg = *aggregates[a];
        const TAccumulator& acc = group.acc[a];
        TExprValue v = TExprValue::Null(agg.type);
        if (acc.any) {
          switch (agg.func) {
            case TExprFunc::Count:
              v = TExprValue::Int(acc.count, TExprType::Integer);
              break;
            case TExprFunc::Sum:
              if (acc.count == 0) break;
              if (IsIntegerType(agg.type) && acc.integral)
                v = TExprValue::Int(acc.isum, agg.type);
              else if (IsIntegerType(agg.type) || agg.type == TExprType::Date ||
                       agg.type == TExprType::Time)
                v = TExprValue::Real(acc.dsum, TExprType::Float);
              else
                v = TExprValue::Real(acc.dsum,
                                     agg.type == TExprType::Null ? TExprType::Float : agg.type);
              break;
            case TExprFunc::Avg:
              if (acc.count > 0) v = TExprValue::Real(acc.dsum / acc.count, TExprType::Float);
              break;
            default:
              if (acc.count > 0) v = acc.best;
              break;
          }
        }
        aggValues[a] = v;
      }
      for (size_t s2 = 0; s2 < n; ++s2)
        row.Load(s2, *sources[s2].table, group.first.empty() ? 0 : group.first[s2]);
      if (having && !evaluator.Test(*having, &row)) continue;
      std::vector<TExprValue> values;
      for (const TColumn& c : columns) values.push_back(evaluator.Evaluate(*c.node, &row));
      out.rows.push_back(std::move(values));
    }
    row.aggregates = nullptr;
  }
  if (s.distinct) {
    std::set<std::string> seen;
    std::vector<std::vector<TExprValue>> kept;
    for (auto& r : out.rows) {
      std::string key;
      for (const TExprValue& v : r) AppendKey(key, v);
      if (seen.insert(key).second) kept.push_back(std::move(r));
    }
    out.rows.swap(kept);
  }
  if (!order.empty()) {
    const bool noCase = s.orderNoCase;
    std::stable_sort(out.rows.begin(), out.rows.end(),
                     [&](const std::vector<TExprValue>& a, const std::vector<TExprValue>& b) {
                       for (const auto& [c, desc] : order) {
                         const TExprValue& x = a[static_cast<size_t>(c)];
                         const TExprValue& y = b[static_cast<size_t>(c)];
                         int cmp;
                         if (x.isNull || y.isNull)
                           cmp = x.isNull == y.isNull ? 0 : x.isNull ? -1 : 1;
                         else
                           cmp = evaluator.CompareValues(x, y, noCase && IsTextType(x.type));
                         if (cmp != 0) return desc ? cmp > 0 : cmp < 0;
                       }
                       return false;
                     });
  }
  if (limitRows && options_.maxRowCount >= 0 &&
      out.rows.size() > static_cast<size_t>(options_.maxRowCount))
    out.rows.resize(static_cast<size_t>(options_.maxRowCount));
  // Results do not refer to the sources any more.
  for (TColumn& c : columns) {
    if (c.sourceField) {
      c.type = TExprTableScope::TypeOf(c.sourceField->type);
    }
  }
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
  const int oldLanguage = session_.LanguageID(), oldSort = session_.SortID();
  session_.SetLanguageID(options.hasLanguage ? options.languageId
                                             : static_cast<int>(result.languageId));
  session_.SetSortID(options.hasLanguage ? options.sortId : 0);
  try {
    table.CreateTable();
  } catch (...) {
    session_.SetLanguageID(oldLanguage);
    session_.SetSortID(oldSort);
    throw;
  }
  session_.SetLanguageID(oldLanguage);
  session_.SetSortID(oldSort);

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
      table->SetDatabaseName(DatabaseFor(s.sources[0].table));
      table->SetTableName(s.sources[0].table.name);
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

TSqlRunOutcome TSqlRunner::RunInsert(const TSqlStatement& st) {
  TSqlRunOutcome out;
  TStoreTable table(session_);
  table.SetDatabaseName(DatabaseFor(st.table));
  table.SetTableName(st.table.name);
  if (!DirectoryOf(st.table.memory)->TableExists(st.table.name))
    SqlFail("Table '" + st.table.name + "' does not exist in " + kSqlStatementName);
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
  std::shared_ptr<TDataDirectory> dir = TSqlTableAccess::Directory(table);
  const int recordSize = std::max(1, engine.Data().RecordSize());
  const int interval =
      st.commitInterval > 0 ? st.commitInterval : std::min(262140 / recordSize, 8191);
  const bool own = !dir->InTransaction();
  const bool batches = own || st.commitInterval > 0;
  if (own) dir->BeginTransaction();
  try {
    for (const auto& r : rows) {
      table.Append();
      int32_t givenId = 0;
      for (size_t c = 0; c < targets.size(); ++c) {
        const TFieldDesc& f = fields[targets[c]];
        if (f.IsAutoInc()) {
          if (st.noAutoInc) givenId = GivenAutoInc(f, r[c]);
          continue;
        }
        TStoreField* field = table.FindField(f.name);
        if (field) SetField(*field, r[c]);
      }
      TSqlTableAccess::GiveLogicalId(table, givenId);
      table.Post();
      ++out.rows;
      if (batches && out.rows % interval == 0) {
        dir->CommitTransaction();
        dir->BeginTransaction();
      }
    }
    if (own) dir->CommitTransaction();
  } catch (...) {
    if (table.State() != TDataSetState::Browse && table.Active()) table.Cancel();
    // What was written before the failure stays.
    if (own && dir->InTransaction()) dir->CommitTransaction();
    throw;
  }
  return out;
}

TSqlRunOutcome TSqlRunner::RunUpdateDelete(const TSqlStatement& st) {
  TSqlRunOutcome out;
  const bool update = st.kind == TSqlKind::Update;
  if (!DirectoryOf(st.table.memory)->TableExists(st.table.name))
    SqlFail("Table '" + st.table.name + "' does not exist in " + kSqlStatementName);
  TStoreTable table(session_);
  table.SetDatabaseName(DatabaseFor(st.table));
  table.SetTableName(st.table.name);
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

  std::shared_ptr<TDataDirectory> dir = TSqlTableAccess::Directory(table);
  const int recordSize = std::max(1, engine.Data().RecordSize());
  const int interval =
      st.commitInterval > 0 ? st.commitInterval : std::min(262140 / recordSize, 8191);
  const bool own = !dir->InTransaction();
  const bool batches = own || st.commitInterval > 0;
  if (own) dir->BeginTransaction();
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
        int32_t givenId = 0;
        for (size_t k = 0; k < sets.size(); ++k) {
          const TFieldDesc& f = fields[sets[k].first];
          if (f.IsAutoInc()) {
            if (st.noAutoInc) givenId = GivenAutoInc(f, values[k]);
            continue;
          }
          if (TStoreField* field = table.FindField(f.name)) SetField(*field, values[k]);
        }
        TSqlTableAccess::GiveLogicalId(table, givenId);
        table.Post();
      } else {
        table.Delete();
      }
      ++out.rows;
      if (batches && out.rows % interval == 0) {
        dir->CommitTransaction();
        dir->BeginTransaction();
      }
    }
    if (own) dir->CommitTransaction();
  } catch (...) {
    if (table.State() != TDataSetState::Browse && table.Active()) table.Cancel();
    // The records changed before the failure stay changed.
    if (own && dir->InTransaction()) dir->CommitTransaction();
    throw;
  }
  return out;
}

TSqlRunOutcome TSqlRunner::RunCreateTable(const TSqlStatement& st) {
  TStoreTable table(session_);
  table.SetDatabaseName(DatabaseFor(st.table));
  table.SetTableName(st.table.name);
  if (table.Exists()) throw EStoreEngineError(StoreCode::TableExists, {st.table.name});
  for (const TSqlColumnDef& c : st.columns) {
    TFieldDef& d = table.FieldDefs().Add(c.name, c.type, c.size, c.notNull);
    d.Description = c.description;
    d.DefaultValue = c.defaultValue;
    d.Minimum = c.minimum;
    d.Maximum = c.maximum;
    d.CharCase = c.charCase;
  }
  if (st.hasPrimaryKey) {
    std::string fieldsText;
    for (const std::string& f : st.primaryKey.columns)
      fieldsText += (fieldsText.empty() ? "" : ";") + f;
    table.IndexDefs().Add("", fieldsText, IndexOption::Primary | IndexOption::Unique,
                          st.primaryKey.compression);
  }
  TStoreDefs& defs = table.StoreDefs();
  defs.Description = st.options.description;
  defs.Encrypted = st.options.encrypted;
  defs.Password = st.options.password;
  defs.BlobBlockSize = st.options.blobBlockSize;
  defs.UserMajorVersion = st.options.userMajor;
  defs.UserMinorVersion = st.options.userMinor;
  if (st.options.encrypted) session_.AddPassword(st.options.password);
  const int oldLanguage = session_.LanguageID(), oldSort = session_.SortID();
  session_.SetLanguageID(st.options.languageId);
  session_.SetSortID(st.options.sortId);
  try {
    table.CreateTable();
  } catch (...) {
    session_.SetLanguageID(oldLanguage);
    session_.SetSortID(oldSort);
    throw;
  }
  session_.SetLanguageID(oldLanguage);
  session_.SetSortID(oldSort);
  return {};
}

TSqlRunOutcome TSqlRunner::RunCreateIndex(const TSqlStatement& st) {
  TStoreTable table(session_);
  table.SetDatabaseName(DatabaseFor(st.table));
  table.SetTableName(st.table.name);
  std::string fieldsText;
  for (const std::string& f : st.index.columns) fieldsText += (fieldsText.empty() ? "" : ";") + f;
  uint8_t options = 0;
  if (st.index.unique) options |= IndexOption::Unique;
  if (st.index.descending) options |= IndexOption::Descending;
  if (st.index.noCase) options |= IndexOption::CaseInsensitive;
  table.AddIndex(st.indexName, fieldsText, options, st.index.compression);
  return {};
}

TSqlRunOutcome TSqlRunner::RunDrop(const TSqlStatement& st) {
  TStoreTable table(session_);
  table.SetDatabaseName(DatabaseFor(st.table));
  table.SetTableName(st.table.name);
  if (!table.Exists())
    SqlFail("Table '" + st.table.name + "' does not exist in " + kSqlStatementName);
  if (st.kind == TSqlKind::DropTable) {
    // Nobody may have it open: an exclusive open proves it (11013 otherwise).
    table.SetExclusive(true);
    table.Open();
    table.Close();
    table.DeleteTable();
  } else {
    table.DeleteIndex(st.indexName);
  }
  return {};
}

// ALTER TABLE: the table's current definitions plus the changes, applied by the table's
// restructure (which opens it exclusively and checks everything before it changes anything).
void AlterTable(TStoreTable& table, const TSqlStatement& st, const TDataHeader& current) {
  {
    auto& fields = table.RestructureFieldDefs();
    fields.LoadFromTable();
    auto& indexes = table.RestructureIndexDefs();
    indexes.LoadFromTable();
    auto join = [](const std::vector<std::string>& columns) {
      std::string text;
      for (const std::string& c : columns) text += (text.empty() ? "" : ";") + c;
      return text;
    };
    auto primary = [&] {
      for (int i = 0; i < indexes.Count(); ++i)
        if (indexes.Items(i).Options & IndexOption::Primary) return i;
      return -1;
    };
    auto column = [&](const std::string& name) {
      int i = fields.IndexOf(name);
      if (i < 0)
        SqlFail("Invalid column name '" + name + "' or table correlation name '' specified in " +
                kSqlStatementName);
      return i;
    };
    auto keyOptions = [](const TSqlKeyDef& key) {
      uint8_t options = IndexOption::Primary | IndexOption::Unique;
      if (key.descending) options |= IndexOption::Descending;
      if (key.noCase) options |= IndexOption::CaseInsensitive;
      return options;
    };
    for (const TSqlAlterChange& ch : st.changes) {
      const TSqlColumnDef& c = ch.column;
      switch (ch.kind) {
        case TSqlAlterKind::AddColumn: {
          const int last = fields.Count() + 1;
          if (c.at < 0 || c.at > last)
            SqlFail("AT column position must be between 1 and " + std::to_string(last));
          fields.Insert(c.at > 0 ? c.at - 1 : fields.Count(), c.name, c.type, c.size, c.notNull,
                        c.defaultValue, c.minimum, c.maximum, c.description, c.charCase, 0);
          break;
        }
        case TSqlAlterKind::RedefineColumn: {
          auto& d = fields.Items(column(ch.name));
          if (Upper(c.name) != Upper(d.Name)) {
            if (fields.IndexOf(c.name) >= 0)
              SqlFail("Duplicate column name '" + c.name + "' specified in " + kSqlStatementName);
            // Indexes over a renamed column follow it.
            for (int i = 0; i < indexes.Count(); ++i) {
              std::string renamed;
              std::string& list = indexes.Items(i).Fields;
              size_t from = 0;
              while (from <= list.size()) {
                size_t to = list.find(';', from);
                if (to == std::string::npos) to = list.size();
                std::string part = list.substr(from, to - from);
                renamed += (renamed.empty() && from == 0 ? "" : ";") +
                           (Upper(part) == Upper(d.Name) ? c.name : part);
                from = to + 1;
              }
              list = renamed;
            }
          }
          d.Name = c.name;
          d.DataType = c.type;
          d.Size = c.size;
          d.Required = c.notNull;
          d.DefaultValue = c.defaultValue;
          d.MinimumValue = c.minimum;
          d.MaximumValue = c.maximum;
          if (c.hasDescription) d.Description = c.description;
          d.CharCase = c.charCase;
          break;
        }
        case TSqlAlterKind::DropColumn: {
          fields.Delete(column(ch.name));
          // Indexes over the column go with it.
          for (int i = indexes.Count() - 1; i >= 0; --i) {
            std::string list = ";" + indexes.Items(i).Fields + ";";
            std::string upper = Upper(list);
            if (upper.find(";" + Upper(ch.name) + ";") != std::string::npos) indexes.Delete(i);
          }
          break;
        }
        case TSqlAlterKind::AddPrimaryKey:
          if (primary() >= 0) SqlFail("Cannot REDEFINE the primary key using the ADD keyword");
          indexes.Add("", join(ch.key.columns), keyOptions(ch.key),
                      static_cast<uint8_t>(ch.key.compression));
          break;
        case TSqlAlterKind::RedefinePrimaryKey:
          if (int p = primary(); p >= 0) indexes.Delete(p);
          indexes.Add("", join(ch.key.columns), keyOptions(ch.key),
                      static_cast<uint8_t>(ch.key.compression));
          break;
        case TSqlAlterKind::DropPrimaryKey:
          if (int p = primary(); p >= 0) indexes.Delete(p);
          break;
      }
    }
    // Value conversions and dropped columns follow from the statement itself; a record that
    // the new structure would leave out (a duplicate key, a failed validity check) stops the
    // statement instead, with the table left as it was.
    std::string lost;
    table.OnDataLost = [&](TStoreTable&, TDataLossCause cause, const std::string& context, bool& go,
                           bool&) {
      if (cause == TDataLossCause::Conversion || cause == TDataLossCause::FieldDropped) return;
      go = false;
      lost = context;
    };
    const TSqlTableOptions& o = st.options;
    const bool done = table.Restructure(
        o.hasLanguage ? o.languageId : 0, o.hasLanguage ? o.sortId : 0,
        o.hasUserMajor ? o.userMajor : current.userMajor,
        o.hasUserMinor ? o.userMinor : current.userMinor, o.encrypted || current.encrypted,
        o.encrypted ? o.password : current.password,
        o.hasDescription ? o.description : current.description,
        o.hasBlobBlockSize ? o.blobBlockSize : current.BlobBlockSize(),
        st.hasLastAutoInc ? static_cast<int>(st.lastAutoInc) : -1, st.noBackup);
    if (!done)
      SqlFail("ALTER TABLE would leave out records of table '" + st.table.name + "' (" + lost +
              "); the table is unchanged");
  }
}

TSqlRunOutcome TSqlRunner::RunAlter(const TSqlStatement& st) {
  TStoreTable table(session_);
  table.SetDatabaseName(DatabaseFor(st.table));
  table.SetTableName(st.table.name);
  if (!table.Exists())
    SqlFail("Table '" + st.table.name + "' does not exist in " + kSqlStatementName);
  table.Open();
  TDataHeader current = TSqlTableAccess::Engine(table).Data().Header();
  table.Close();
  AlterTable(table, st, current);
  return {};
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

}  // namespace

TSqlRunOutcome RunSqlStatement(const std::string& text, const TSqlRunOptions& options) {
  try {
    std::vector<TExprToken> tokens =
        TokenizeExpression(text, options.session->DecimalSeparator(), kSqlStatementName);
    TSqlStatement st = ParseSqlStatement(tokens);
    TSqlRunner runner(tokens, options);
    runner.statementText = text;
    return runner.Run(st);
  } catch (const EExprError& e) {
    throw EStoreEngineError(StoreCode::SqlError, {e.what()});
  } catch (const EDatabaseError& e) {
    throw EStoreEngineError(StoreCode::SqlError, {e.what()});
  }
}

int CountSqlParams(const std::string& text) {
  try {
    int n = 0;
    for (const TExprToken& t : TokenizeExpression(text, '.', kSqlStatementName))
      if (t.IsSymbol("?")) ++n;
    return n;
  } catch (const std::exception&) {
    return 0;
  }
}

void RemoveTemporaryTable(const std::string& folder, const std::string& table) {
  TTableFiles::Named(folder + table, false).RemoveAll();
  std::lock_guard lock(TempMutex());
  Registry().tables.erase({folder, table});
}

int RemoveStaleTemporaryTables(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return 0;
  std::vector<std::string> names;
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name.size() < 5) continue;
    std::string ext = Upper(name.substr(name.size() - 4));
    std::string stem = name.substr(0, name.size() - 4);
    if (ext != ".DAT" || stem.empty() ||
        !std::all_of(stem.begin(), stem.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    names.push_back(name);
  }
  ::closedir(dir);
  int removed = 0;
  const time_t now = ::time(nullptr);
  for (const std::string& name : names) {
    std::string path = folder + name;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || now - st.st_mtime < kStaleTemporaryAge) continue;
    try {
      // Its owner holds it open exclusively while it lives; one that opens is left over.
      auto file = TPhysicalFile::Open(path, true, name);
      file.reset();
    } catch (const std::exception&) {
      continue;
    }
    TTableFiles::OnDisk(folder, name).RemoveAll();
    ++removed;
  }
  return removed;
}

std::string SessionPrivateFolder(TStoreSession& session) {
  std::string folder = session.PrivateDir();
  if (folder.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    struct stat st;
    std::string base = tmp && *tmp && ::stat(tmp, &st) == 0 && S_ISDIR(st.st_mode) ? tmp : "/tmp";
    if (base.back() != '/') base += '/';
    folder = base + "quellor-" + std::to_string(::getuid());
  }
  if (folder.back() != '/') folder += '/';
  ::mkdir(folder.c_str(), 0700);
  struct stat st;
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw EStoreEngineError(StoreCode::SqlError,
                            {"Cannot use the private folder '" + folder + "'"});
  bool first;
  {
    std::lock_guard lock(TempMutex());
    first = Registry().cleanedFolders.insert(folder).second;
  }
  if (first) RemoveStaleTemporaryTables(folder);
  return folder;
}

}  // namespace quellor
