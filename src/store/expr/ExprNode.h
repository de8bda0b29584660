// The typed tree a compiled expression is made of. The parser builds it, checking types as it
// goes; the evaluator walks it per record and the index planner reads its comparisons.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "store/expr/ExprValue.h"

namespace quellor {

enum class TExprKind : uint8_t {
  Constant,   // value
  Field,      // fieldId, name
  Negate,     // args[0]
  Not,        // args[0]
  Arith,      // op Add/Sub/Mul/Div/Concat; args[0], args[1]; a chain: args[0..n-1], steps
  Compare,    // op Eq..Ge; args[0] (the field side when there is one), args[1]; partial, noCase
  Like,       // args[0] LIKE args[1]; negated
  Between,    // args[0] BETWEEN args[1] AND args[2]; negated, noCase
  In,         // args[0] IN (args[1..]); negated, noCase
  And,        // args[0..n-1], evaluated from the right
  Or,         // args[0..n-1], evaluated from the right
  Function,   // func, args, and the extras below
  Param,      // SQL "?": number
  Aggregate,  // SQL: func (Count..Max), number, args[0] (none for COUNT(*))
  Star,       // SQL "*" (all columns); correlation in name
};

enum class TExprOp : uint8_t { None, Add, Sub, Mul, Div, Concat, Eq, Ne, Lt, Gt, Le, Ge };

enum class TExprFunc : uint8_t {
  None,
  Upper,
  Lower,
  Substring,  // number = from (1-based), count = for (-1: to the end)
  Trim,       // part = 0 leading, 1 trailing, 2 both; text = the character
  Extract,    // part = 0 year .. 6 second (TExprPart)
  Pos,        // text = search string
  Occurs,     // text = search string
  Replace,    // text = search, text2 = replacement
  Cast,       // type = target; count = size of a string or bytes target (0: any)
  Abs,
  Round,  // number = decimal places
  If,     // args[0] THEN args[1] ELSE args[2]
  Count,
  Sum,
  Avg,
  Min,
  Max,
};

enum class TExprPart : uint8_t { Year, Month, Day, DayOfWeek, Hour, Minute, Second };

struct TExprNode {
  TExprKind kind = TExprKind::Constant;
  TExprType type = TExprType::Null;  // result type
  TExprOp op = TExprOp::None;
  TExprFunc func = TExprFunc::None;
  TExprValue value;         // Constant
  int fieldId = -1;         // Field
  std::string name;         // Field: the name as written; Function: the function's name
  std::string text, text2;  // string arguments of functions; partial compare: the prefix
  int64_t number = 0, count = -1;
  int part = 0;
  bool negated = false;   // NOT LIKE, NOT BETWEEN, NOT IN
  bool partial = false;   // Compare: "=" / "<>" against a constant ending in "*"
  bool noCase = false;    // string comparison without regard to case
  bool hasField = false;  // the subtree refers to a field (or a parameter or aggregate)
  bool literal = false;   // Constant written as one token (a string, number, TRUE, ...)
  bool dynamic = false;   // Constant whose value changes (CURRENT_DATE, ...)
  int depth = 1;          // height of the subtree
  std::vector<std::unique_ptr<TExprNode>> args;
  // Arith over more than two operands (a + b - c ...: one node, however long the chain, so a
  // flat chain does not deepen the tree): step k combines the value so far with args[k + 1]
  // by `op` and gives a value of `type`. Empty for two operands (`op` and `type` above).
  struct TStep {
    TExprOp op;
    TExprType type;
  };
  std::vector<TStep> steps;
};

using TExprNodePtr = std::unique_ptr<TExprNode>;

}  // namespace quellor
