// The expression language against SQLite: seeded random conditions over random records must
// select the same records here as in SQLite, for the part of the language whose meaning the
// two share. ExprRandom.h lists the differences the generator steers around (NULL equality,
// '' as NULL, partial comparison, LIKE's case, division).
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "ExprRandom.h"
#include "store/expr/ExprFilter.h"

using namespace quellor;
using namespace quellor::exprtest;

namespace {

class TSqliteTable {
 public:
  TSqliteTable() {
    EXPECT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    Exec("PRAGMA case_sensitive_like = ON");
    Exec(
        "CREATE TABLE t (id INTEGER PRIMARY KEY, S TEXT, T TEXT, I INTEGER, J INTEGER, F REAL, "
        "B INTEGER, D INTEGER)");
  }
  ~TSqliteTable() { sqlite3_close(db_); }

  void Exec(const std::string& sql) {
    char* error = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
    EXPECT_EQ(rc, SQLITE_OK) << sql << ": " << (error ? error : "");
    sqlite3_free(error);
  }

  void Insert(const std::vector<TMemRecord>& records) {
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(
        sqlite3_prepare_v2(db_, "INSERT INTO t VALUES (?, ?, ?, ?, ?, ?, ?, ?)", -1, &st, nullptr),
        SQLITE_OK);
    for (size_t r = 0; r < records.size(); ++r) {
      sqlite3_bind_int64(st, 1, static_cast<int64_t>(r + 1));
      for (int f = 0; f < kFieldCount; ++f) {
        const TExprValue v = records[r].Value(f);
        const int column = f + 2;
        if (v.isNull)
          sqlite3_bind_null(st, column);
        else if (IsTextType(v.type))
          sqlite3_bind_text(st, column, v.text.c_str(), -1, SQLITE_TRANSIENT);
        else if (v.type == TExprType::Float)
          sqlite3_bind_double(st, column, v.real);
        else
          sqlite3_bind_int64(st, column, v.integer);
      }
      ASSERT_EQ(sqlite3_step(st), SQLITE_DONE);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
  }

  std::vector<uint32_t> Select(const std::string& condition) {
    std::vector<uint32_t> out;
    const std::string sql = "SELECT id FROM t WHERE " + condition + " ORDER BY id";
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
      return out;
    }
    while (sqlite3_step(st) == SQLITE_ROW)
      out.push_back(static_cast<uint32_t>(sqlite3_column_int64(st, 0)));
    sqlite3_finalize(st);
    return out;
  }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace

TEST(ExprSqlite, FixedConditionsAgree) {
  // Hand-written pairs, the translation rules in plain view.
  TRandomConditions gen(99, true);
  std::vector<TMemRecord> records = gen.Records(120);
  TSqliteTable sql;
  sql.Insert(records);
  TExprTableScope scope("r.DAT", RandomFields());
  struct Case {
    const char* ours;
    const char* sqlite;
  };
  const Case cases[] = {
      {"I = 1", "I IS 1"},
      {"I <> 1", "I IS NOT 1"},
      {"I > 1 AND S LIKE 'a%'", "I > 1 AND S LIKE 'a%'"},
      {"S LIKE '%B%'", "S LIKE '%B%'"},
      {"S NOT LIKE '%B%'", "NOT coalesce(S LIKE '%B%', 0)"},
      {"I BETWEEN -1 AND 1", "I BETWEEN -1 AND 1"},
      {"S IN ('a', 'ab', 'B')", "S IN ('a', 'ab', 'B')"},
      {"I NOT IN (1, 2)", "NOT coalesce(I IN (1, 2), 0)"},
      {"S < T", "S < T"},
      {"S || T >= 'bB'", "S || T >= 'bB'"},
      {"I * J + 1 > F", "I * J + 1 > F"},
      {"UPPER(S) = 'AB'", "UPPER(S) IS 'AB'"},
      {"B", "B IS 1"},
      {"NOT B", "NOT (B IS 1)"},
      {"B = False", "B IS 0"},
      {"S IS NULL OR I IS NULL", "S IS NULL OR I IS NULL"},
  };
  for (const Case& c : cases) {
    auto f = TExprFilter::Compile(c.ours, scope, {}, "r.DAT");
    std::vector<uint32_t> ours;
    for (uint32_t r = 1; r <= records.size(); ++r)
      if (f->Matches(records[r - 1])) ours.push_back(r);
    EXPECT_EQ(ours, sql.Select(c.sqlite)) << c.ours;
    EXPECT_FALSE(ours.empty()) << c.ours;
  }
}

TEST(ExprSqlite, RandomConditionsSelectTheSameRecordsAsSqlite) {
  TExprTableScope scope("r.DAT", RandomFields());
  int nonTrivial = 0, total = 0;
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    TRandomConditions gen(1000 + seed, true);
    std::vector<TMemRecord> records = gen.Records(150);
    TSqliteTable sql;
    sql.Insert(records);
    for (int i = 0; i < 200; ++i) {
      TRandomConditions::TPair c = gen.Condition();
      std::unique_ptr<TExprFilter> f;
      try {
        f = TExprFilter::Compile(c.ours, scope, {}, "r.DAT");
      } catch (const std::exception& e) {
        ADD_FAILURE() << c.ours << ": " << e.what();
        continue;
      }
      std::vector<uint32_t> ours;
      for (uint32_t r = 1; r <= records.size(); ++r)
        if (f->Matches(records[r - 1])) ours.push_back(r);
      ASSERT_EQ(ours, sql.Select(c.sql))
          << "seed " << seed << "\n  ours:   " << c.ours << "\n  sqlite: " << c.sql;
      ++total;
      nonTrivial += !ours.empty() && ours.size() < records.size();
    }
  }
  EXPECT_GT(nonTrivial, total / 2);
}
