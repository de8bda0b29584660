// What an expression is compiled and evaluated against: the settings of the compile call, the
// names it may refer to (a scope) and the values of the current record.
//
// The same compiler serves the filters of a table and, with more allowed, the SQL statements:
// the statement's name in messages and what a context allows are settings.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "store/api/StoreTypes.h"
#include "store/expr/ExprValue.h"

namespace quellor {

// A compile failure: the message of the failing step, e.g. "Invalid column name 'Kiled' or
// table correlation name '' specified in filter expression". The table's filter turns it into
// engine error 10051; SQL into 11949.
class EExprError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TExprToken;

struct TExprSettings {
  // The statement's name in messages: "filter expression", later "SQL statement".
  std::string statementName = "filter expression";
  // Filter options: string comparisons ignore case; a trailing "*" is an ordinary character.
  bool caseInsensitive = false;
  bool noPartialCompare = false;
  // The table's language id (0: byte order) and the system code page of its text.
  uint32_t languageId = 0;
  std::string codePage = "UTF-8";
  // The session's number and date formats.
  char decimalSeparator = '.';
  TExprDateFormat dateFormat;
  // Constructs a filter does not allow.
  bool allowAggregates = false;
  bool allowStar = false;
  bool allowParams = false;
  bool allowSubSelect = false;
  // The current local date and time as a timestamp (ms, day 1 at 86,400,000); the system clock
  // when empty. CURRENT_DATE, CURRENT_TIME and CURRENT_TIMESTAMP read it at evaluation.
  std::function<double()> now;
  // SQL: runs the sub-select of "IN (SELECT ...)" whose first token ("SELECT") is at `pos` and
  // leaves `pos` at the token after it; returns the values of its one column and their type.
  // Without it (or without allowSubSelect) a sub-select is refused.
  std::function<std::vector<TExprValue>(const std::vector<TExprToken>& tokens, size_t& pos,
                                        TExprType& type)>
      subSelect;
};

// A field an expression may refer to.
struct TExprField {
  int id = -1;  // what TExprRecord::Value is asked for
  TExprType type = TExprType::Null;
  std::string name;  // as defined
};

// Resolves names at compile time.
class TExprScope {
 public:
  virtual ~TExprScope() = default;
  // `correlation` is empty when the name stands alone. Names compare without regard to case.
  virtual std::optional<TExprField> FindField(std::string_view correlation,
                                              std::string_view name) const = 0;
};

// The fields of one table, in definition order; a field's id is its position.
class TExprTableScope : public TExprScope {
 public:
  TExprTableScope(std::string tableName, std::vector<TFieldDesc> fields);
  std::optional<TExprField> FindField(std::string_view correlation,
                                      std::string_view name) const override;
  // The expression type a field type is read as (bytes kinds as bytes, BLOBs as memos,
  // 32-bit unsigned as integer, 10-byte float as float).
  static TExprType TypeOf(TStoreFieldType type);

 private:
  std::string tableName_;
  std::vector<TFieldDesc> fields_;
};

// The values of the current record. An empty string or memo should be delivered as NULL (the
// store keeps no empty strings); the evaluator treats it so in any case.
class TExprRecord {
 public:
  virtual ~TExprRecord() = default;
  virtual TExprValue Value(int fieldId) const = 0;
  // SQL: the value of parameter `index` (0-based) and of aggregate `index` for the current
  // group. A filter has neither.
  virtual TExprValue Param(int index) const { return TExprValue::Null(); }
  virtual TExprValue Aggregate(int index) const { return TExprValue::Null(); }
};

bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace quellor
