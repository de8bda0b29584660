#include "store/sql/SqlParser.h"

#include <cctype>
#include <initializer_list>
#include <limits>

#include "store/expr/ExprContext.h"
#include "store/format/Language.h"
#include "store/format/TableFormat.h"

namespace quellor {
namespace {

const char* const kKindNames[] = {
    "",           "SELECT",       "INSERT",    "UPDATE", "DELETE", "CREATE TABLE", "ALTER TABLE",
    "DROP TABLE", "CREATE INDEX", "DROP INDEX"};

// Words that end a clause; never taken as a correlation name.
const char* const kClauseWords[] = {
    "FROM",   "INTO",     "WHERE",    "GROUP",     "HAVING",         "ORDER",  "WITH",
    "JOIN",   "INNER",    "LEFT",     "RIGHT",     "FULL",           "OUTER",  "ON",
    "SET",    "LANGUAGE", "SORT",     "ENCRYPTED", "NOJOINOPTIMIZE", "COMMIT", "NOAUTOINC",
    "VALUES", "SELECT",   "NOCASE",   "ASC",       "ASCENDING",      "DESC",   "DESCENDING",
    "USER",   "BLOB",     "NOBACKUP", "LAST",      "DESCRIPTION",    "UNION"};

class TSqlParser {
 public:
  explicit TSqlParser(const std::vector<TExprToken>& tokens, size_t pos = 0)
      : tokens_(tokens), pos_(pos) {}

  TSqlStatement Statement();
  TSqlSelect Select(bool sub);
  size_t Position() const { return pos_; }

 private:
  const TExprToken& Peek(size_t ahead = 0) const {
    size_t i = pos_ + ahead;
    return tokens_[i < tokens_.size() ? i : tokens_.size() - 1];
  }
  void Advance() {
    if (pos_ + 1 < tokens_.size()) ++pos_;
  }
  bool Accept(const char* word) {
    if (!Peek().IsWord(word)) return false;
    Advance();
    return true;
  }
  bool AcceptSymbol(const char* symbol) {
    if (!Peek().IsSymbol(symbol)) return false;
    Advance();
    return true;
  }
  [[noreturn]] void Fail(const std::string& message) const { throw EExprError(message); }
  [[noreturn]] void Expected(const std::string& what) const {
    Fail(what + " expected, instead found '" + Peek().text + "'");
  }
  void Expect(const char* word) {
    if (!Accept(word)) Expected(std::string(word) + " keyword");
  }
  void ExpectSymbol(const char* symbol) {
    if (!AcceptSymbol(symbol)) Expected(std::string("'") + symbol + "'");
  }
  bool IsClauseWord(const TExprToken& t) const {
    for (const char* w : kClauseWords)
      if (t.IsWord(w)) return true;
    return false;
  }

  // The tokens of an expression: up to a word of `stops`, a "," (when `comma`), a ";" or an
  // unmatched ")" at its own level, or the end.
  TSqlExprRef SkipExpression(std::initializer_list<const char*> stops, bool comma);
  std::string Name(const char* what);
  TSqlTableRef Table(bool correlation);
  void Sources(TSqlSelect& s);
  std::vector<TSqlItem> Items(bool ordering);
  TSqlColumnDef ColumnDefinition(bool named);
  void DataType(TSqlColumnDef& c);
  void ColumnOptions(TSqlColumnDef& c);
  std::string OptionText(const char* keyword);
  std::vector<std::string> ColumnList();
  TIndexCompression Compression();
  bool TableOption(TSqlTableOptions& o);
  void LanguageOption(TSqlTableOptions& o);
  int IntegerArgument(const char* what);
  void End(TSqlKind kind);

  TSqlStatement Insert();
  TSqlStatement Update();
  TSqlStatement Delete();
  TSqlStatement Create();
  TSqlStatement Alter();
  TSqlStatement Drop();

  const std::vector<TExprToken>& tokens_;
  size_t pos_;
};

TSqlExprRef TSqlParser::SkipExpression(std::initializer_list<const char*> stops, bool comma) {
  TSqlExprRef r;
  r.begin = pos_;
  int depth = 0;
  while (Peek().kind != TExprTokenKind::End) {
    const TExprToken& t = Peek();
    if (t.IsSymbol("(")) {
      ++depth;
    } else if (t.IsSymbol(")")) {
      if (depth == 0) break;
      --depth;
    } else if (depth == 0) {
      if (t.IsSymbol(";") || (comma && t.IsSymbol(","))) break;
      bool stop = false;
      for (const char* w : stops) stop = stop || t.IsWord(w);
      if (stop) break;
    }
    Advance();
  }
  r.end = pos_;
  return r;
}

std::string TSqlParser::Name(const char* what) {
  const TExprToken& t = Peek();
  if (t.kind == TExprTokenKind::Word || t.kind == TExprTokenKind::Name ||
      (t.kind == TExprTokenKind::String && t.quote != '#')) {
    std::string name = t.kind == TExprTokenKind::String ? t.value : t.text;
    if (name.empty()) Expected(what);
    Advance();
    return name;
  }
  Expected(what);
}

TSqlTableRef TSqlParser::Table(bool correlation) {
  TSqlTableRef r;
  if (Peek().IsWord("MEMORY") &&
      (Peek(1).kind == TExprTokenKind::Word || Peek(1).kind == TExprTokenKind::Name ||
       Peek(1).kind == TExprTokenKind::String)) {
    r.memory = true;
    Advance();
  }
  r.position = pos_;
  r.name = Name("Table name");
  if (!correlation) return r;
  if (Accept("AS")) {
    r.correlation = Name("Table correlation name");
  } else if ((Peek().kind == TExprTokenKind::Word && !IsClauseWord(Peek())) ||
             Peek().kind == TExprTokenKind::Name) {
    r.correlation = Peek().text;
    Advance();
  }
  return r;
}

void TSqlParser::Sources(TSqlSelect& s) {
  TSqlSource first;
  first.table = Table(true);
  s.sources.push_back(first);
  while (true) {
    TSqlSource src;
    if (AcceptSymbol(",")) {
      src.kind = TSqlJoinKind::Comma;
      src.table = Table(true);
      s.sources.push_back(src);
      continue;
    }
    if (Peek().IsWord("FULL"))
      Fail("Full outer joins are currently not supported in SQL SELECT statements");
    if (Accept("JOIN")) {
      src.kind = TSqlJoinKind::Inner;
    } else if (Peek().IsWord("INNER")) {
      Advance();
      Expect("JOIN");
      src.kind = TSqlJoinKind::Inner;
    } else if (Peek().IsWord("LEFT") || Peek().IsWord("RIGHT")) {
      src.kind = Peek().IsWord("LEFT") ? TSqlJoinKind::Left : TSqlJoinKind::Right;
      Advance();
      Accept("OUTER");
      Expect("JOIN");
    } else {
      break;
    }
    src.table = Table(true);
    Expect("ON");
    src.on = SkipExpression({"JOIN", "INNER", "LEFT", "RIGHT", "FULL", "WHERE", "GROUP", "HAVING",
                             "ORDER", "WITH", "LANGUAGE", "ENCRYPTED", "NOJOINOPTIMIZE"},
                            true);
    if (!src.on.Present()) Fail("WHERE or JOIN clause is empty");
    s.sources.push_back(src);
  }
}

std::vector<TSqlItem> TSqlParser::Items(bool ordering) {
  std::vector<TSqlItem> items;
  do {
    TSqlItem item;
    const TExprToken& t = Peek();
    item.text = t.text;
    if (t.kind == TExprTokenKind::Integer) {
      item.number = static_cast<int>(std::min<int64_t>(t.integer, std::numeric_limits<int>::max()));
      if (t.integer < 1) Fail("Invalid column number '" + t.text + "'");
      Advance();
    } else if (t.kind == TExprTokenKind::Word || t.kind == TExprTokenKind::Name ||
               (t.kind == TExprTokenKind::String && t.quote != '#')) {
      item.name = t.kind == TExprTokenKind::String ? t.value : t.text;
      Advance();
      if (Peek().IsSymbol(".") &&
          (Peek(1).kind == TExprTokenKind::Word || Peek(1).kind == TExprTokenKind::Name)) {
        Advance();
        item.correlation = item.name;
        item.name = Peek().text;
        item.text += "." + item.name;
        Advance();
      }
    } else {
      Expected("Column name or number");
    }
    if (ordering) {
      if (Accept("ASC") || Accept("ASCENDING")) {
      } else if (Accept("DESC") || Accept("DESCENDING")) {
        item.descending = true;
      }
    }
    items.push_back(item);
    if (items.size() > 1024)
      Fail("Maximum number of columns (1024) in " +
           std::string(ordering ? "ORDER BY" : "GROUP BY") + " exceeded");
  } while (AcceptSymbol(","));
  return items;
}

int TSqlParser::IntegerArgument(const char* what) {
  const TExprToken& t = Peek();
  if (t.kind != TExprTokenKind::Integer) Expected(what);
  int64_t v = t.integer;
  Advance();
  if (v > std::numeric_limits<int>::max()) v = std::numeric_limits<int>::max();
  return static_cast<int>(v);
}

void TSqlParser::LanguageOption(TSqlTableOptions& o) {
  const TExprToken t = Peek();
  if (t.kind != TExprTokenKind::String) Expected("Language constant");
  Advance();
  std::optional<uint16_t> id = LanguageIdFromName(t.value);
  if (!id) Fail("Invalid language constant '" + t.value + "' specified after LANGUAGE keyword");
  o.hasLanguage = true;
  o.languageId = *id;
  o.sortId = 0;
  if (Accept("SORT")) {
    const TExprToken s = Peek();
    if (s.kind != TExprTokenKind::String) Expected("Sort constant");
    Advance();
    std::optional<uint16_t> sort = LanguageSortIdFromName(*id, s.value);
    if (!sort) Fail("Invalid sort constant '" + s.value + "' specified after SORT keyword");
    o.sortId = *sort;
  }
}

bool TSqlParser::TableOption(TSqlTableOptions& o) {
  if (Accept("DESCRIPTION")) {
    o.hasDescription = true;
    o.description = OptionText("DESCRIPTION");
  } else if (Peek().IsWord("BLOB") && Peek(1).IsWord("BLOCK")) {
    Advance();
    Advance();
    Expect("SIZE");
    o.hasBlobBlockSize = true;
    o.blobBlockSize = IntegerArgument("BLOB block size");
  } else if (Accept("LANGUAGE")) {
    LanguageOption(o);
  } else if (Peek().IsWord("SORT")) {
    Fail("SORT keyword must follow a LANGUAGE keyword, instead found 'SORT'");
  } else if (Accept("ENCRYPTED")) {
    Expect("WITH");
    o.encrypted = true;
    o.password = OptionText("ENCRYPTED WITH");
  } else if (Peek().IsWord("USER") && (Peek(1).IsWord("MAJOR") || Peek(1).IsWord("MINOR"))) {
    Advance();
    bool major = Peek().IsWord("MAJOR");
    Advance();
    Expect("VERSION");
    int v = IntegerArgument("User version number");
    if (major) {
      o.hasUserMajor = true;
      o.userMajor = v;
    } else {
      o.hasUserMinor = true;
      o.userMinor = v;
    }
  } else {
    return false;
  }
  return true;
}

std::string TSqlParser::OptionText(const char* keyword) {
  const TExprToken t = Peek();
  switch (t.kind) {
    case TExprTokenKind::String:
      Advance();
      return t.value;
    case TExprTokenKind::Integer:
    case TExprTokenKind::Float:
    case TExprTokenKind::Word:
      Advance();
      return t.text;
    case TExprTokenKind::Symbol:
      if (t.IsSymbol("-") &&
          (Peek(1).kind == TExprTokenKind::Integer || Peek(1).kind == TExprTokenKind::Float)) {
        Advance();
        std::string text = "-" + Peek().text;
        Advance();
        return text;
      }
      break;
    default:
      break;
  }
  Expected(std::string(keyword) + " text");
}

void TSqlParser::DataType(TSqlColumnDef& c) {
  const TExprToken t = Peek();
  auto fail = [&] { Fail("SQL data type keyword expected, instead found '" + t.text + "'"); };
  if (t.kind != TExprTokenKind::Word) fail();
  Advance();
  auto arguments = [&](size_t count, bool required) {
    std::vector<int> values;
    if (!AcceptSymbol("(")) {
      if (required) Expected("'('");
      return values;
    }
    while (true) {
      values.push_back(IntegerArgument("Integer size argument"));
      if (!AcceptSymbol(",")) break;
    }
    ExpectSymbol(")");
    if (values.size() != count) Fail("Wrong number of arguments for data type " + t.text);
    return values;
  };
  if (t.IsWord("SMALLINT")) {
    c.type = TFieldType::SmallInt;
  } else if (t.IsWord("WORD")) {
    c.type = TFieldType::Word;
  } else if (t.IsWord("INTEGER") || t.IsWord("INT")) {
    c.type = TFieldType::Integer;
  } else if (t.IsWord("AUTOINC")) {
    c.type = TFieldType::AutoInc;
  } else if (t.IsWord("DECIMAL") || t.IsWord("NUMERIC")) {
    c.type = TFieldType::BCD;
    std::vector<int> a = arguments(2, false);
    if (!a.empty()) {
      if (a[1] < 0 || a[1] > 4) Fail("DECIMAL scale must be between 0 and 4");
      c.size = a[1];
    }
  } else if (t.IsWord("FLOAT")) {
    c.type = TFieldType::Float;
    arguments(2, false);
  } else if (t.IsWord("MONEY")) {
    c.type = TFieldType::Currency;
  } else if (t.IsWord("CHARACTER") || t.IsWord("CHAR") || t.IsWord("VARCHAR") ||
             t.IsWord("BYTES")) {
    c.type = t.IsWord("BYTES") ? TFieldType::Bytes : TFieldType::String;
    std::vector<int> a = arguments(1, true);
    if (a[0] < 1 || a[0] > kMaxFieldSize)
      Fail("Data type size must be between 1 and " + std::to_string(kMaxFieldSize) + " for " +
           t.text);
    c.size = a[0];
  } else if (t.IsWord("DATE")) {
    c.type = TFieldType::Date;
  } else if (t.IsWord("TIME")) {
    c.type = TFieldType::Time;
  } else if (t.IsWord("TIMESTAMP")) {
    c.type = TFieldType::DateTime;
  } else if (t.IsWord("BOOLEAN")) {
    c.type = TFieldType::Boolean;
  } else if (t.IsWord("BLOB")) {
    ExpectSymbol("(");
    const TExprToken first = Peek();
    if (first.kind != TExprTokenKind::Integer || first.integer != 0)
      Fail(std::string("First BLOB type argument must be an integer with the value of 0 in ") +
           kSqlStatementName);
    Advance();
    ExpectSymbol(",");
    const TExprToken kind = Peek();
    static const std::pair<int, TFieldType> kBlobTypes[] = {{1, TFieldType::Memo},
                                                            {2, TFieldType::Blob},
                                                            {3, TFieldType::FmtMemo},
                                                            {5, TFieldType::Graphic},
                                                            {7, TFieldType::TypedBinary}};
    bool found = false;
    for (const auto& [code, type] : kBlobTypes) {
      if (kind.kind == TExprTokenKind::Integer && kind.integer == code) {
        c.type = type;
        found = true;
      }
    }
    if (!found)
      Fail(std::string("BLOB type argument must be an integer equal to 1,2,3,5, or 7 in ") +
           kSqlStatementName);
    Advance();
    ExpectSymbol(")");
  } else {
    fail();
  }
}

void TSqlParser::ColumnOptions(TSqlColumnDef& c) {
  while (true) {
    if (Accept("DESCRIPTION")) {
      c.hasDescription = true;
      c.description = OptionText("DESCRIPTION");
    } else if (Peek().IsWord("NOT") && Peek(1).IsWord("NULL")) {
      Advance();
      Advance();
      c.notNull = true;
    } else if (Accept("DEFAULT")) {
      c.defaultValue = OptionText("DEFAULT");
    } else if (Accept("MIN") || Accept("MINIMUM")) {
      c.minimum = OptionText("MINIMUM");
    } else if (Accept("MAX") || Accept("MAXIMUM")) {
      c.maximum = OptionText("MAXIMUM");
    } else if (Accept("CHARCASE")) {
      if (Accept("UPPER"))
        c.charCase = TCharCase::Upper;
      else if (Accept("LOWER"))
        c.charCase = TCharCase::Lower;
      else if (Accept("NOCHANGE"))
        c.charCase = TCharCase::Unchanged;
      else
        Expected("UPPER, LOWER, or NOCHANGE keyword");
    } else {
      return;
    }
  }
}

TSqlColumnDef TSqlParser::ColumnDefinition(bool named) {
  TSqlColumnDef c;
  if (named) c.name = Name("Column name");
  DataType(c);
  ColumnOptions(c);
  return c;
}

std::vector<std::string> TSqlParser::ColumnList() {
  ExpectSymbol("(");
  std::vector<std::string> columns;
  do {
    columns.push_back(Name("Column name"));
    if (columns.size() > 1024) Fail("Maximum number of columns (1024) exceeded");
  } while (AcceptSymbol(","));
  ExpectSymbol(")");
  return columns;
}

TIndexCompression TSqlParser::Compression() {
  if (!Accept("COMPRESS")) return TIndexCompression::None;
  if (Accept("FULL")) return TIndexCompression::Full;
  if (Accept("DUPBYTE")) return TIndexCompression::DupByte;
  if (Accept("TRAILBYTE")) return TIndexCompression::TrailByte;
  if (Accept("NONE")) return TIndexCompression::None;
  Expected("FULL, DUPBYTE, TRAILBYTE, or NONE keyword");
}

void TSqlParser::End(TSqlKind kind) {
  AcceptSymbol(";");
  if (Peek().kind != TExprTokenKind::End)
    Fail(std::string("End of ") + kKindNames[static_cast<int>(kind)] +
         " statement expected, instead found '" + Peek().text + "'");
}

TSqlSelect TSqlParser::Select(bool sub) {
  TSqlSelect s;
  s.begin = pos_;
  Expect("SELECT");
  if (Accept("DISTINCT"))
    s.distinct = true;
  else
    Accept("ALL");
  do {
    TSqlColumnRef c;
    if (Peek().IsSymbol("*")) {
      c.star = true;
      c.expr.begin = pos_;
      Advance();
      c.expr.end = pos_;
    } else if ((Peek().kind == TExprTokenKind::Word || Peek().kind == TExprTokenKind::Name) &&
               Peek(1).IsSymbol(".") && Peek(2).IsSymbol("*")) {
      c.star = true;
      c.starCorrelation = Peek().text;
      c.expr.begin = pos_;
      Advance();
      Advance();
      Advance();
      c.expr.end = pos_;
    } else {
      c.expr = SkipExpression({"FROM", "INTO"}, true);
      if (!c.expr.Present()) Expected("Column expression");
    }
    s.columns.push_back(c);
  } while (AcceptSymbol(","));
  if (Accept("INTO")) {
    s.hasInto = true;
    s.into = Table(false);
  }
  Expect("FROM");
  Sources(s);
  if (Accept("WHERE")) {
    s.where = SkipExpression(
        {"GROUP", "HAVING", "ORDER", "WITH", "LANGUAGE", "ENCRYPTED", "NOJOINOPTIMIZE"}, false);
    if (!s.where.Present()) Fail("WHERE or JOIN clause is empty");
  }
  if (Accept("GROUP")) {
    Expect("BY");
    s.groupBy = Items(false);
  }
  if (Accept("HAVING")) {
    s.hasHaving = true;
    s.having = SkipExpression({"ORDER", "WITH", "LANGUAGE", "ENCRYPTED", "NOJOINOPTIMIZE"}, false);
    if (!s.having.Present()) Fail("HAVING clause is empty");
  }
  if (Accept("ORDER")) {
    Expect("BY");
    s.orderBy = Items(true);
    s.orderNoCase = Accept("NOCASE");
  }
  while (true) {
    if (Peek().IsWord("WITH") && Peek(1).IsWord("LOCKS")) {
      Advance();
      Advance();
      s.withLocks = true;
    } else if (Accept("LANGUAGE")) {
      LanguageOption(s.options);
    } else if (Accept("ENCRYPTED")) {
      Expect("WITH");
      s.options.encrypted = true;
      s.options.password = OptionText("ENCRYPTED WITH");
    } else if (Accept("NOJOINOPTIMIZE")) {
      s.noJoinOptimize = true;
    } else {
      break;
    }
  }
  s.end = pos_;
  if (sub && !Peek().IsSymbol(")"))
    Fail("End of SELECT statement expected, instead found '" + Peek().text + "'");
  return s;
}

TSqlStatement TSqlParser::Insert() {
  TSqlStatement st;
  st.kind = TSqlKind::Insert;
  Expect("INSERT");
  Expect("INTO");
  st.table = Table(false);
  if (Peek().IsSymbol("(")) st.insertColumns = ColumnList();
  if (Accept("VALUES")) {
    ExpectSymbol("(");
    do {
      TSqlExprRef v = SkipExpression({}, true);
      if (!v.Present()) Expected("Value expression");
      st.values.push_back(v);
    } while (AcceptSymbol(","));
    ExpectSymbol(")");
  } else if (Peek().IsWord("SELECT")) {
    st.insertSelect = true;
    st.select = Select(false);
  } else {
    Expected("VALUES or SELECT keyword");
  }
  while (true) {
    if (Accept("NOAUTOINC")) {
      st.noAutoInc = true;
    } else if (Accept("COMMIT")) {
      Expect("INTERVAL");
      st.commitInterval = IntegerArgument("COMMIT INTERVAL number");
      if (st.commitInterval <= 0)
        Fail("COMMIT INTERVAL specified (" + std::to_string(st.commitInterval) +
             ") is invalid, it must be greater than 0");
    } else {
      break;
    }
  }
  End(TSqlKind::Insert);
  return st;
}

TSqlStatement TSqlParser::Update() {
  TSqlStatement st;
  st.kind = TSqlKind::Update;
  Expect("UPDATE");
  st.table = Table(true);
  Expect("SET");
  do {
    std::string column = Name("Column name");
    if (Peek().IsSymbol(".") &&
        (Peek(1).kind == TExprTokenKind::Word || Peek(1).kind == TExprTokenKind::Name)) {
      Advance();
      column = Peek().text;
      Advance();
    }
    ExpectSymbol("=");
    TSqlExprRef v = SkipExpression({"WHERE", "NOAUTOINC", "COMMIT"}, true);
    if (!v.Present()) Expected("Value expression");
    st.sets.emplace_back(column, v);
  } while (AcceptSymbol(","));
  if (Accept("WHERE")) {
    st.where = SkipExpression({"NOAUTOINC", "COMMIT", "NOJOINOPTIMIZE"}, false);
    if (!st.where.Present()) Fail("WHERE or JOIN clause is empty");
  }
  while (true) {
    if (Accept("NOAUTOINC")) {
      st.noAutoInc = true;
    } else if (Accept("COMMIT")) {
      Expect("INTERVAL");
      st.commitInterval = IntegerArgument("COMMIT INTERVAL number");
      if (st.commitInterval <= 0)
        Fail("COMMIT INTERVAL specified (" + std::to_string(st.commitInterval) +
             ") is invalid, it must be greater than 0");
    } else {
      break;
    }
  }
  End(TSqlKind::Update);
  return st;
}

TSqlStatement TSqlParser::Delete() {
  TSqlStatement st;
  st.kind = TSqlKind::Delete;
  Expect("DELETE");
  Expect("FROM");
  st.table = Table(true);
  if (Accept("WHERE")) {
    st.where = SkipExpression({"NOJOINOPTIMIZE", "COMMIT"}, false);
    if (!st.where.Present()) Fail("WHERE or JOIN clause is empty");
  }
  while (true) {
    if (Accept("NOJOINOPTIMIZE")) {
    } else if (Accept("COMMIT")) {
      Expect("INTERVAL");
      st.commitInterval = IntegerArgument("COMMIT INTERVAL number");
      if (st.commitInterval <= 0)
        Fail("COMMIT INTERVAL specified (" + std::to_string(st.commitInterval) +
             ") is invalid, it must be greater than 0");
    } else {
      break;
    }
  }
  End(TSqlKind::Delete);
  return st;
}

TSqlStatement TSqlParser::Create() {
  TSqlStatement st;
  Expect("CREATE");
  if (Accept("TABLE")) {
    st.kind = TSqlKind::CreateTable;
    st.table = Table(false);
    ExpectSymbol("(");
    while (true) {
      if (Peek().IsWord("CONSTRAINT") || Peek().IsWord("PRIMARY")) {
        if (Accept("CONSTRAINT")) Name("Constraint name");
        Expect("PRIMARY");
        Expect("KEY");
        if (st.hasPrimaryKey) Fail("Primary key specified more than once");
        st.hasPrimaryKey = true;
        st.primaryKey.columns = ColumnList();
        st.primaryKey.compression = Compression();
      } else {
        if (st.hasPrimaryKey) Expected("')'");
        st.columns.push_back(ColumnDefinition(true));
        if (st.columns.size() > 1024) Fail("Maximum number of columns (1024) exceeded");
      }
      if (!AcceptSymbol(",")) break;
    }
    ExpectSymbol(")");
    while (TableOption(st.options)) {
    }
    End(TSqlKind::CreateTable);
    return st;
  }
  st.kind = TSqlKind::CreateIndex;
  if (Accept("UNIQUE")) st.index.unique = true;
  if (Accept("ASC") || Accept("ASCENDING")) {
  } else if (Accept("DESC") || Accept("DESCENDING")) {
    st.index.descending = true;
  }
  if (Accept("NOCASE")) st.index.noCase = true;
  if (!Accept("INDEX")) Expected("TABLE or INDEX keyword");
  st.indexName = Name("Index name");
  Expect("ON");
  st.table = Table(false);
  st.index.columns = ColumnList();
  st.index.compression = Compression();
  End(TSqlKind::CreateIndex);
  return st;
}

TSqlStatement TSqlParser::Alter() {
  TSqlStatement st;
  st.kind = TSqlKind::AlterTable;
  Expect("ALTER");
  Expect("TABLE");
  st.table = Table(false);
  auto keyAhead = [&] {
    for (size_t i = 0; i < 6; ++i) {
      const TExprToken& t = Peek(i);
      if (t.IsWord("PRIMARY")) return true;
      if (!(t.IsWord("CONSTRAINT") || t.IsWord("UNIQUE") || t.IsWord("ASC") ||
            t.IsWord("ASCENDING") || t.IsWord("DESC") || t.IsWord("DESCENDING") ||
            t.IsWord("NOCASE") || (i == 1 && Peek(0).IsWord("CONSTRAINT"))))
        return false;
    }
    return false;
  };
  do {
    TSqlAlterChange ch;
    const bool add = Peek().IsWord("ADD");
    if (add || Peek().IsWord("REDEFINE")) {
      Advance();
      if (keyAhead()) {
        ch.kind = add ? TSqlAlterKind::AddPrimaryKey : TSqlAlterKind::RedefinePrimaryKey;
        if (Accept("CONSTRAINT")) Name("Constraint name");
        if (Accept("UNIQUE")) ch.key.unique = true;
        if (Accept("ASC") || Accept("ASCENDING")) {
        } else if (Accept("DESC") || Accept("DESCENDING")) {
          ch.key.descending = true;
        }
        if (Accept("NOCASE")) ch.key.noCase = true;
        Expect("PRIMARY");
        Expect("KEY");
        ch.key.columns = ColumnList();
        ch.key.compression = Compression();
      } else if (add) {
        ch.kind = TSqlAlterKind::AddColumn;
        Accept("COLUMN");
        ch.column = ColumnDefinition(true);
        if (Accept("AT")) {
          // Below 1 is refused when the number of columns is known (-1 marks it).
          ch.column.at = std::max(IntegerArgument("AT column position"), -1);
          if (ch.column.at == 0) ch.column.at = -1;
        }
      } else {
        ch.kind = TSqlAlterKind::RedefineColumn;
        Accept("COLUMN");
        ch.name = Name("Column name");
        // An optional new name before the type.
        if (Peek().kind == TExprTokenKind::Word && Peek(1).kind == TExprTokenKind::Word &&
            !Peek(1).IsWord("DESCRIPTION") && !Peek(1).IsWord("NOT") &&
            !Peek(1).IsWord("DEFAULT") && !Peek(1).IsWord("MIN") && !Peek(1).IsWord("MINIMUM") &&
            !Peek(1).IsWord("MAX") && !Peek(1).IsWord("MAXIMUM") && !Peek(1).IsWord("CHARCASE"))
          ch.column.name = Name("Column name");
        else
          ch.column.name = ch.name;
        DataType(ch.column);
        ColumnOptions(ch.column);
      }
    } else if (Accept("DROP")) {
      if (keyAhead()) {
        ch.kind = TSqlAlterKind::DropPrimaryKey;
        if (Accept("CONSTRAINT")) Name("Constraint name");
        Expect("PRIMARY");
        Expect("KEY");
      } else {
        ch.kind = TSqlAlterKind::DropColumn;
        Accept("COLUMN");
        ch.name = Name("Column name");
      }
    } else {
      Fail("ADD, DROP, or REDEFINE keyword expected, instead found '" + Peek().text + "'");
    }
    st.changes.push_back(std::move(ch));
  } while (AcceptSymbol(","));
  while (true) {
    if (TableOption(st.options)) continue;
    if (Peek().IsWord("LAST") && Peek(1).IsWord("AUTOINC")) {
      Advance();
      Advance();
      st.hasLastAutoInc = true;
      st.lastAutoInc = IntegerArgument("LAST AUTOINC number");
      continue;
    }
    if (Accept("NOBACKUP")) {
      st.noBackup = true;
      continue;
    }
    break;
  }
  End(TSqlKind::AlterTable);
  return st;
}

TSqlStatement TSqlParser::Drop() {
  TSqlStatement st;
  Expect("DROP");
  if (Accept("TABLE")) {
    st.kind = TSqlKind::DropTable;
    st.table = Table(false);
    End(TSqlKind::DropTable);
    return st;
  }
  if (!Accept("INDEX")) Expected("TABLE or INDEX keyword");
  st.kind = TSqlKind::DropIndex;
  st.table = Table(false);
  ExpectSymbol(".");
  st.indexName = Name("Index name");
  End(TSqlKind::DropIndex);
  return st;
}

TSqlStatement TSqlParser::Statement() {
  const TExprToken& t = Peek();
  if (t.IsWord("SELECT")) {
    TSqlStatement st;
    st.kind = TSqlKind::Select;
    st.select = Select(false);
    End(TSqlKind::Select);
    return st;
  }
  if (t.IsWord("INSERT")) return Insert();
  if (t.IsWord("UPDATE")) return Update();
  if (t.IsWord("DELETE")) return Delete();
  if (t.IsWord("CREATE")) return Create();
  if (t.IsWord("ALTER")) return Alter();
  if (t.IsWord("DROP")) return Drop();
  Fail("SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found '" +
       t.text + "'");
}

}  // namespace

TSqlStatement ParseSqlStatement(const std::vector<TExprToken>& tokens) {
  return TSqlParser(tokens).Statement();
}

TSqlSelect ParseSqlSubSelect(const std::vector<TExprToken>& tokens, size_t& pos) {
  TSqlParser parser(tokens, pos);
  TSqlSelect s = parser.Select(true);
  pos = parser.Position();
  return s;
}

}  // namespace quellor
