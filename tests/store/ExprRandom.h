// Seeded random tables and conditions for the differential tests of expressions.
//
// The table has the fields S, T (strings of the letters a, b, A, B; empty is NULL),
// I, J (small integers), F (float), B (boolean) and D (date), each NULL now and then.
// A condition is produced twice: in the filter language, and as SQLite SQL with the same
// meaning, which steers around where the two languages differ:
//   - NULL equality: "=" and "<>" are true/false for NULLs here; SQLite gives NULL. They become
//     IS / IS NOT, and every other comparison is wrapped so that NULL reads as false, both-NULL
//     "<=" and ">=" as true.
//   - '' is NULL here: the data hold no empty strings (SQLite gets NULL) and no constant is ''.
//   - partial comparison ("= 'a*'") has no SQLite counterpart: only generated without SQLite.
//   - LIKE is case-sensitive here: SQLite runs with PRAGMA case_sensitive_like = ON.
//   - "/" is always real division here and NULL on zero: it is not generated.
#pragma once

#include <random>
#include <string>
#include <vector>

#include "ExprSupport.h"

namespace quellor::exprtest {

enum TRandomField { kS, kT, kI, kJ, kF, kB, kD, kFieldCount };

inline std::vector<TFieldDesc> RandomFields() {
  using T = TStoreFieldType;
  return {Field("S", T::String, 10), Field("T", T::String, 10), Field("I", T::SmallInt),
          Field("J", T::SmallInt),   Field("F", T::Float),      Field("B", T::Boolean),
          Field("D", T::Date)};
}

inline constexpr int64_t kBaseDay = 738'890;  // a day in 2024

class TRandomConditions {
 public:
  TRandomConditions(uint32_t seed, bool forSqlite) : rng_(seed), sqlite_(forSqlite) {}

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  bool Chance(int percent) { return Pick(100) < percent; }

  std::string Word() {
    static const char kLetters[] = "abAB";
    std::string s;
    int n = 1 + Pick(3);
    for (int i = 0; i < n; ++i) s += kLetters[Pick(4)];
    return s;
  }

  // Random records; every field NULL in about one case of six.
  std::vector<TMemRecord> Records(int count) {
    std::vector<TMemRecord> out;
    for (int r = 0; r < count; ++r) {
      TMemRecord rec(kFieldCount);
      auto null = [&] { return Pick(6) == 0; };
      rec.Set(kS, null() ? TExprValue::Null() : TExprValue::Text(Word()));
      rec.Set(kT, null() ? TExprValue::Null() : TExprValue::Text(Word()));
      rec.Set(kI, null() ? TExprValue::Null() : TExprValue::Int(Pick(9) - 4, TExprType::SmallInt));
      rec.Set(kJ, null() ? TExprValue::Null() : TExprValue::Int(Pick(9) - 4, TExprType::SmallInt));
      rec.Set(kF, null() ? TExprValue::Null() : TExprValue::Real((Pick(17) - 8) * 0.5));
      rec.Set(kB, null() ? TExprValue::Null() : TExprValue::Bool(Pick(2)));
      rec.Set(kD, null() ? TExprValue::Null() : TExprValue::Date(kBaseDay + Pick(6)));
      out.push_back(std::move(rec));
    }
    return out;
  }

  struct TPair {
    std::string ours, sql;
  };

  TPair Condition(int depth = 3) {
    if (depth <= 0 || Chance(35)) return Leaf();
    switch (Pick(3)) {
      case 0:
      case 1: {
        const char* op = Pick(2) ? "AND" : "OR";
        TPair a = Condition(depth - 1), b = Condition(depth - 1);
        return {"(" + a.ours + ") " + op + " (" + b.ours + ")",
                "(" + a.sql + " " + op + " " + b.sql + ")"};
      }
      default: {
        TPair a = Condition(depth - 1);
        return {"NOT (" + a.ours + ")", "(NOT " + a.sql + ")"};
      }
    }
  }

 private:
  std::string Int() { return std::to_string(Pick(9) - 4); }
  std::string Quote(const std::string& s) { return "'" + s + "'"; }

  // A number-valued operand: field, constant or arithmetic.
  TPair Number() {
    switch (Pick(6)) {
      case 0:
        return {"I", "I"};
      case 1:
        return {"J", "J"};
      case 2:
        return {"F", "F"};
      case 3: {
        std::string c = Int();
        return {c, c};
      }
      case 4: {
        const char* op = Pick(3) == 0 ? "*" : Pick(2) ? "+" : "-";
        TPair a = Number(), b = Number();
        return {"(" + a.ours + " " + op + " " + b.ours + ")",
                "(" + a.sql + " " + op + " " + b.sql + ")"};
      }
      default:
        return {"-I", "-I"};
    }
  }

  TPair Text() {
    switch (Pick(5)) {
      case 0:
        return {"S", "S"};
      case 1:
        return {"T", "T"};
      case 2:
        return {"UPPER(S)", "UPPER(S)"};
      case 3:
        return {"S || T", "(S || T)"};
      default: {
        std::string w = Quote(Word());
        return {w, w};
      }
    }
  }

  TPair Compare(const TPair& a, const TPair& b) {
    static const char* const kOps[] = {"=", "<>", "<", ">", "<=", ">="};
    const int op = Pick(6);
    const std::string ours = a.ours + " " + kOps[op] + " " + b.ours;
    if (op == 0) return {ours, "((" + a.sql + ") IS (" + b.sql + "))"};
    if (op == 1) return {ours, "((" + a.sql + ") IS NOT (" + b.sql + "))"};
    const char* bothNull = op >= 4 ? "1" : "0";
    return {ours, "(CASE WHEN (" + a.sql + ") IS NULL AND (" + b.sql + ") IS NULL THEN " +
                      bothNull + " ELSE coalesce((" + a.sql + ") " + kOps[op] + " (" + b.sql +
                      "), 0) END)"};
  }

  TPair Leaf() {
    const bool no = Chance(25);
    const std::string notWord = no ? "NOT " : "";
    auto negate = [&](const std::string& sql) { return no ? "(NOT " + sql + ")" : sql; };
    switch (Pick(sqlite_ ? 12 : 14)) {
      case 0:
      case 1:
        return Compare(Number(), Number());
      case 2: {
        // field against constant, either side
        std::string c = Int();
        TPair f = Pick(2) ? TPair{"I", "I"} : TPair{"F", "F"};
        return Pick(2) ? Compare(f, {c, c}) : Compare({c, c}, f);
      }
      case 3:
        return Compare(Text(), Text());
      case 4: {
        std::string w = Quote(Word());
        return Compare({"S", "S"}, {w, w});
      }
      case 5: {
        static const char* const kPatterns[] = {"a%", "A%", "%b",  "%a%", "_b%",
                                                "a_", "%",  "ab%", "B%a"};
        std::string p = Quote(kPatterns[Pick(9)]);
        const char* f = Pick(3) ? "S" : "T";
        return {std::string(f) + " " + notWord + "LIKE " + p,
                negate("coalesce(" + std::string(f) + " LIKE " + p + ", 0)")};
      }
      case 6: {
        std::string lo = Int(), hi = Int();
        return {"I " + notWord + "BETWEEN " + lo + " AND " + hi,
                negate("coalesce(I BETWEEN " + lo + " AND " + hi + ", 0)")};
      }
      case 7: {
        std::string list;
        int n = 1 + Pick(3);
        bool text = Pick(2);
        for (int i = 0; i < n; ++i) list += (i ? ", " : "") + (text ? Quote(Word()) : Int());
        const char* f = text ? "S" : "I";
        return {std::string(f) + " " + notWord + "IN (" + list + ")",
                negate("coalesce(" + std::string(f) + " IN (" + list + "), 0)")};
      }
      case 8: {
        const char* f = "SIFBD"[Pick(5)] == 'S' ? "S" : Pick(2) ? "I" : "B";
        return Pick(2)
                   ? TPair{std::string(f) + " IS NULL", std::string("(") + f + " IS NULL)"}
                   : TPair{std::string(f) + " IS NOT NULL", std::string("(") + f + " IS NOT NULL)"};
      }
      case 9: {
        if (Pick(2)) return {"B", "(B IS 1)"};
        bool v = Pick(2);
        return {std::string("B = ") + (v ? "TRUE" : "False"),
                std::string("(B IS ") + (v ? "1" : "0") + ")"};
      }
      case 10: {
        int day = Pick(6);
        int64_t y;
        int m, d;
        CivilFromDay(kBaseDay + day, y, m, d);
        char text[16];
        std::snprintf(text, sizeof text, "'%04d-%02d-%02d'", static_cast<int>(y), m, d);
        std::string n = std::to_string(kBaseDay + day);
        return Compare({"D", "D"}, {text, n});
      }
      case 11: {
        std::string w = Word(), u;
        for (char c : w) u += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return Compare({"UPPER(S)", "UPPER(S)"}, {Quote(u), Quote(u)});
      }
      case 12: {
        // Partial comparison (no SQLite counterpart).
        std::string w = Word();
        w.resize(1 + Pick(static_cast<int>(w.size())));
        return {std::string("S ") + (Pick(2) ? "=" : "<>") + " '" +
                    w.substr(0, Pick(2) ? 1 : w.size()) + "*'",
                ""};
      }
      default: {
        std::string w = Quote(Word());
        return {"UPPER(S) = " + w + " OR S >= " + w, ""};
      }
    }
  }

  std::mt19937 rng_;
  bool sqlite_;
};

}  // namespace quellor::exprtest
