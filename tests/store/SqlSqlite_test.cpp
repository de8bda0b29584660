// The SQL dialect against SQLite: seeded random SELECTs (projections, WHERE, joins of the site
// and ISP tables, GROUP BY with aggregates, DISTINCT, ORDER BY) over the same generated sites
// and ISPs must give the same rows in both engines; the order too wherever ORDER BY fixes it
// (every generated ORDER BY ends with a unique column).
//
// The differences the dialect has on purpose, and how the generator deals with each (the one
// place they are listed):
//   1. Two-valued logic: a comparison with one NULL operand is false here ("<>" true), never
//      NULL; NOT and NOT IN / NOT BETWEEN negate that. SQLite gets every predicate wrapped as
//      COALESCE(p, 0) (for "<>": COALESCE(p, 1)), which is the same two-valued predicate.
//   2. NULL = NULL is true here: two nullable operands are never compared with each other (join
//      conditions compare with the ISP's Domain, which is never NULL).
//   3. '' is NULL here: no empty strings are generated.
//   4. LIKE is case-sensitive here: SQLite runs with case_sensitive_like.
//   5. COUNT over no rows is NULL here, 0 in SQLite: an aggregate query without GROUP BY whose
//      WHERE passes no row expects NULL where SQLite says 0.
//   6. "/" always divides as floating point here: no division is generated.
//   7. A string constant ending in "*" is a prefix comparison here: none is generated.
//   8. ORDER BY and GROUP BY name result columns here: the generator only uses those.
//   9. Booleans are True/False here and 1/0 in SQLite: both are compared as 1/0.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "data/SiteTables.h"
#include "store/api/StoreQuery.h"
#include "store/api/StoreTb.h"
#include "support/TempDir.h"

using namespace quellor;
using namespace quellor::test;

namespace {

constexpr int kSites = 300;
constexpr int kIsps = 12;

using TRows = std::vector<std::string>;

std::string Real(double d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6g", d);
  return buf;
}

struct TSql {
  std::string ours, sqlite;
};

class TGenerator {
 public:
  explicit TGenerator(uint32_t seed) : rng_(seed) {}
  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool Chance(int percent) { return Int(1, 100) <= percent; }
  template <typename T>
  const T& Pick(const std::vector<T>& v) {
    return v[static_cast<size_t>(Int(0, static_cast<int>(v.size()) - 1))];
  }

  // One predicate over the site (prefix "c.") and, in joins, the ISP ("i.").
  TSql Atom(bool join) {
    static const std::vector<std::string> kOps = {"=", "<>", "<", ">", "<=", ">="};
    const std::string c = "c.";
    auto wrap = [](const std::string& p, bool nullIsTrue) {
      return "COALESCE(" + p + ", " + (nullIsTrue ? "1" : "0") + ")";
    };
    switch (Int(0, join ? 9 : 8)) {
      case 0: {
        std::string op = Pick(kOps);
        std::string p = c + "Priority " + op + " " + std::to_string(Int(0, 6));
        return {p, wrap(p, op == "<>")};
      }
      case 1: {
        std::string field = Pick(std::vector<std::string>{"Killed", "Dead", "Cracks"});
        if (Chance(30)) return {c + field, wrap(c + field + " = 1", false)};
        bool v = Chance(50);
        std::string op = Chance(70) ? "=" : "<>";
        return {c + field + " " + op + (v ? " True" : " False"),
                wrap(c + field + " " + op + (v ? " 1" : " 0"), op == "<>")};
      }
      case 2: {
        std::string pattern = Pick(std::vector<std::string>{"http://s1%", "%7%", "%.example/x%",
                                                            "http://s_0%", "%S%", "http://s%"});
        bool neg = Chance(30);
        std::string p = c + "Url LIKE '" + pattern + "'";
        return {(neg ? c + "Url NOT LIKE '" : c + "Url LIKE '") + pattern + "'",
                neg ? "NOT " + wrap(p, false) : wrap(p, false)};
      }
      case 3: {
        std::string op = Pick(kOps);
        std::string p = c + "Url " + op + " 'http://s" + std::to_string(Int(0, 300)) + "'";
        return {p, wrap(p, op == "<>")};
      }
      case 4: {
        int a = Int(0, 4), b = a + Int(0, 3);
        std::string p = c + "Priority BETWEEN " + std::to_string(a) + " AND " + std::to_string(b);
        bool neg = Chance(30);
        return {
            neg ? c + "Priority NOT BETWEEN " + std::to_string(a) + " AND " + std::to_string(b) : p,
            neg ? "NOT " + wrap(p, false) : wrap(p, false)};
      }
      case 5: {
        std::string list = std::to_string(Int(0, 5)) + ", " + std::to_string(Int(0, 5));
        std::string p = c + "Priority IN (" + list + ")";
        bool neg = Chance(30);
        return {neg ? c + "Priority NOT IN (" + list + ")" : p,
                neg ? "NOT " + wrap(p, false) : wrap(p, false)};
      }
      case 6: {
        bool neg = Chance(50);
        std::string p = c + "Notes IS " + (neg ? "NOT " : "") + "NULL";
        return {p, p};
      }
      case 7: {
        std::string sub =
            "SELECT Domain FROM Isps WHERE Emails LIKE '%" + std::to_string(Int(0, 9)) + "%'";
        std::string p = c + "Notes IN (" + sub + ")";
        bool neg = Chance(30);
        return {neg ? c + "Notes NOT IN (" + sub + ")" : p,
                neg ? "NOT " + wrap(p, false) : wrap(p, false)};
      }
      case 8: {
        std::string op = Pick(kOps);
        std::string p = "c.Priority + 1 " + op + " " + std::to_string(Int(1, 6));
        return {p, wrap(p, op == "<>")};
      }
      default: {
        std::string op = Chance(50) ? "=" : "<>";
        std::string p = "i.Emails " + op + " 'abuse" + std::to_string(Int(0, kIsps)) + "@isp'";
        return {p, wrap(p, op == "<>")};
      }
    }
  }

  TSql Condition(bool join, int depth = 0) {
    if (depth >= 2 || Chance(40)) {
      TSql a = Atom(join);
      if (Chance(15)) return {"NOT (" + a.ours + ")", "NOT (" + a.sqlite + ")"};
      return a;
    }
    TSql l = Condition(join, depth + 1), r = Condition(join, depth + 1);
    std::string op = Chance(50) ? " AND " : " OR ";
    return {"(" + l.ours + op + r.ours + ")", "(" + l.sqlite + op + r.sqlite + ")"};
  }

  std::mt19937 rng_;
};

class TSqliteDb {
 public:
  TSqliteDb() {
    EXPECT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    Exec("PRAGMA case_sensitive_like = ON");
    Exec(
        "CREATE TABLE Cracks (Url TEXT PRIMARY KEY, Notes TEXT, Killed INTEGER, Dead INTEGER, "
        "Cracks INTEGER, Priority INTEGER, IPAddr TEXT)");
    Exec("CREATE TABLE Isps (Domain TEXT PRIMARY KEY, Emails TEXT)");
  }
  ~TSqliteDb() { sqlite3_close(db_); }
  void Exec(const std::string& sql) {
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
        << sql << ": " << (error ? error : "");
    sqlite3_free(error);
  }
  TRows Rows(const std::string& sql) {
    TRows out;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
      return out;
    }
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        if (i) row += "|";
        switch (sqlite3_column_type(st, i)) {
          case SQLITE_NULL:
            row += "NULL";
            break;
          case SQLITE_INTEGER:
            row += std::to_string(sqlite3_column_int64(st, i));
            break;
          case SQLITE_FLOAT:
            row += Real(sqlite3_column_double(st, i));
            break;
          default:
            row += reinterpret_cast<const char*>(sqlite3_column_text(st, i));
        }
      }
      out.push_back(row);
    }
    sqlite3_finalize(st);
    return out;
  }

 private:
  sqlite3* db_ = nullptr;
};

std::string SqlText(const std::string& s) {
  return s.empty() ? "NULL" : "'" + s + "'";
}

class SqlSqlite : public ::testing::Test {
 protected:
  void SetUp() override {
    session_.SetPrivateDir(private_.path());
    std::mt19937 rng(20261210);
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    TStoreTable isps(session_);
    isps.SetDatabaseName(dir_.path());
    isps.SetTableName("isps.DAT");
    DefineIspFields(isps.FieldDefs());
    isps.IndexDefs().Add("", "Domain", IndexOption::Primary | IndexOption::Unique);
    isps.CreateTable();
    isps.Open();
    for (int i = 0; i < kIsps; ++i) {
      std::string domain = "isp" + std::to_string(i) + ".net";
      std::string mail = pick(5) == 0 ? "" : "abuse" + std::to_string(i) + "@isp";
      isps.Append();
      isps.FieldByName("Domain").SetAsString(domain);
      if (!mail.empty()) isps.FieldByName("Emails").SetAsString(mail);
      isps.Post();
      sqlite_.Exec("INSERT INTO Isps VALUES ('" + domain + "', " + SqlText(mail) + ")");
    }
    isps.Close();
    TStoreTable sites(session_);
    sites.SetDatabaseName(dir_.path());
    sites.SetTableName("cracks.DAT");
    DefineSiteFields(sites.FieldDefs());
    sites.IndexDefs().Add("", "Url", IndexOption::Primary | IndexOption::Unique);
    sites.CreateTable();
    sites.Open();
    // A secondary index on Priority, so that WHERE and joins meet indexes of both kinds.
    sites.Close();
    sites.AddIndex("ByPriority", "Priority", 0);
    sites.Open();
    for (int i = 0; i < kSites; ++i) {
      std::string url = "http://s" + std::to_string(i) + (pick(3) ? ".example/x" : "");
      if (pick(10) == 0) url = "http://S" + std::to_string(i);
      std::string notes =
          pick(4) == 0 ? "" : "isp" + std::to_string(pick(kIsps + 3)) + ".net";  // some unknown
      auto flag = [&] { return pick(5) == 0 ? -1 : pick(2); };
      int killed = flag(), dead = flag(), cracks = flag();
      int priority = pick(6) == 0 ? -1 : pick(6);
      std::string ip = pick(3) == 0 ? "" : "10.0.0." + std::to_string(pick(4));
      sites.Append();
      sites.FieldByName("Url").SetAsString(url);
      if (!notes.empty()) sites.FieldByName("Notes").SetAsString(notes);
      if (killed >= 0) sites.FieldByName("Killed").SetAsBoolean(killed);
      if (dead >= 0) sites.FieldByName("Dead").SetAsBoolean(dead);
      if (cracks >= 0) sites.FieldByName("Cracks").SetAsBoolean(cracks);
      if (priority >= 0) sites.FieldByName("Priority").SetAsInteger(priority);
      if (!ip.empty()) sites.FieldByName("IPAddr").SetAsString(ip);
      sites.Post();
      auto n = [](int v) { return v < 0 ? std::string("NULL") : std::to_string(v); };
      sqlite_.Exec("INSERT INTO Cracks VALUES ('" + url + "', " + SqlText(notes) + ", " +
                   n(killed) + ", " + n(dead) + ", " + n(cracks) + ", " + n(priority) + ", " +
                   SqlText(ip) + ")");
    }
    sites.Close();
  }

  TRows Ours(const std::string& sql, std::string* error) {
    TRows out;
    TStoreQuery q(session_);
    q.SetDatabaseName(dir_.path());
    q.SetSQL(sql);
    try {
      q.Open();
    } catch (const std::exception& e) {
      *error = e.what();
      return out;
    }
    for (q.First(); !q.Eof(); q.Next()) {
      std::string row;
      for (int i = 0; i < q.FieldCount(); ++i) {
        TStoreField& f = q.Fields(i);
        if (i) row += "|";
        if (f.IsNull()) {
          row += "NULL";
          continue;
        }
        switch (f.DataType()) {
          case TFieldType::Boolean:
            row += f.AsBoolean() ? "1" : "0";
            break;
          case TFieldType::SmallInt:
          case TFieldType::Integer:
          case TFieldType::Word:
          case TFieldType::AutoInc:
            row += std::to_string(f.AsInteger());
            break;
          case TFieldType::Float:
          case TFieldType::BCD:
          case TFieldType::Currency:
            row += Real(f.AsFloat());
            break;
          default:
            row += f.AsString();
        }
      }
      out.push_back(row);
    }
    return out;
  }

  TempDir dir_, private_;
  TStoreSession session_;
  TSqliteDb sqlite_;
};

TEST_F(SqlSqlite, RandomSelectsGiveTheSameRowsAsSqlite) {
  TGenerator g(1312);
  const int kQueries = 2000;
  int compared = 0, nonEmpty = 0;
  for (int q = 0; q < kQueries; ++q) {
    const int shape = g.Int(0, 5);
    const bool join = shape == 2 || shape == 3 || shape == 5;
    const bool left = shape == 3 || (shape == 5 && g.Chance(50));
    std::string from = join ? std::string(" FROM Cracks c ") + (left ? "LEFT JOIN" : "JOIN") +
                                  " Isps i ON i.Domain = c.Notes"
                            : " FROM Cracks c";
    TSql where = g.Condition(join);
    const bool hasWhere = g.Chance(85);
    std::string w1 = hasWhere ? " WHERE " + where.ours : "";
    std::string w2 = hasWhere ? " WHERE " + where.sqlite : "";
    std::string ours, lite;
    bool ordered = false, countOverNothing = false;
    switch (shape) {
      case 0:
      case 2:
      case 3: {
        // Projection, perhaps DISTINCT, perhaps ORDER BY ending with the unique Url.
        std::vector<std::string> cols = {"c.Url"};
        std::vector<std::string> pool = {"c.Priority",     "c.Killed",     "c.Notes", "c.IPAddr",
                                         "c.Priority + 1", "c.Url || '#'", "c.Dead"};
        if (join) pool.push_back("i.Emails");
        for (const std::string& p : pool)
          if (g.Chance(40)) cols.push_back(p);
        std::string list;
        for (size_t i = 0; i < cols.size(); ++i) list += (i ? ", " : "") + cols[i];
        ours = "SELECT " + list + from + w1;
        lite = "SELECT " + list + from + w2;
        if (g.Chance(60)) {
          ordered = true;
          std::string order;
          if (cols.size() > 1 && g.Chance(70)) {
            int k = g.Int(2, static_cast<int>(cols.size()));
            order = std::to_string(k) + (g.Chance(40) ? " DESC" : "") + ", ";
          }
          order += "1" + std::string(g.Chance(30) ? " DESC" : "");
          ours += " ORDER BY " + order;
          lite += " ORDER BY " + order;
        }
        break;
      }
      case 1: {
        // DISTINCT over columns without the unique Url.
        std::vector<std::string> pool = {"c.Priority", "c.Killed", "c.Notes", "c.Dead"};
        std::string list;
        for (const std::string& p : pool)
          if (g.Chance(50) || (list.empty() && &p == &pool.back()))
            list += (list.empty() ? "" : ", ") + p;
        ours = "SELECT DISTINCT " + list + from + w1;
        lite = "SELECT DISTINCT " + list + from + w2;
        break;
      }
      case 4: {
        // Aggregates without GROUP BY: one row.
        std::string list =
            "COUNT(c.Url), SUM(c.Priority), MIN(c.Priority), MAX(c.Priority), COUNT(c.Notes)";
        if (g.Chance(50)) list += ", AVG(c.Priority)";
        ours = "SELECT " + list + from + w1;
        lite = "SELECT " + list + from + w2;
        countOverNothing = true;
        break;
      }
      default: {
        // GROUP BY with aggregates, ordered by the group column.
        std::string key =
            join ? g.Pick(std::vector<std::string>{"i.Domain", "c.Priority"})
                 : g.Pick(std::vector<std::string>{"c.Priority", "c.Killed", "c.Notes"});
        std::string list = key + ", COUNT(c.Url), MAX(c.Priority), SUM(c.Priority)";
        if (g.Chance(40)) list += ", COUNT(DISTINCT c.Notes)";
        std::string having = g.Chance(30) ? " HAVING COUNT(c.Url) > 3" : "";
        ours = "SELECT " + list + from + w1 + " GROUP BY 1" + having;
        lite = "SELECT " + list + from + w2 + " GROUP BY 1" + having;
        if (g.Chance(60)) {
          ordered = true;
          ours += " ORDER BY 1";
          lite += " ORDER BY 1";
        }
        break;
      }
    }
    std::string error;
    TRows a = Ours(ours, &error);
    ASSERT_TRUE(error.empty()) << ours << "\n" << error;
    TRows b = sqlite_.Rows(lite);
    if (countOverNothing && b.size() == 1 &&
        sqlite_.Rows("SELECT COUNT(*)" + from + w2) == TRows{"0"}) {
      // Difference 5: COUNT over no rows is NULL here.
      ASSERT_EQ(b[0].rfind("0|", 0), 0u) << lite;
      b[0].replace(0, 1, "NULL");
      size_t last = b[0].rfind('|');
      std::string tail = b[0].substr(0, last);
      // COUNT(c.Notes) is the fifth column.
      std::vector<std::string> parts;
      size_t start = 0;
      for (size_t i = 0; i <= b[0].size(); ++i)
        if (i == b[0].size() || b[0][i] == '|') {
          parts.push_back(b[0].substr(start, i - start));
          start = i + 1;
        }
      parts[4] = "NULL";
      b[0].clear();
      for (size_t i = 0; i < parts.size(); ++i) b[0] += (i ? "|" : "") + parts[i];
    }
    if (!ordered) {
      std::sort(a.begin(), a.end());
      std::sort(b.begin(), b.end());
    }
    ASSERT_EQ(a, b) << "ours:   " << ours << "\nsqlite: " << lite;
    ++compared;
    if (!a.empty()) ++nonEmpty;
  }
  EXPECT_EQ(compared, kQueries);
  // The generator must not degenerate into empty results.
  EXPECT_GT(nonEmpty, kQueries / 2);
}

}  // namespace
