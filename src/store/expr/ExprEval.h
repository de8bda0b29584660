// Evaluation of a compiled expression tree against one record.
//
// NULL rules: "=" is true when both operands are NULL and false when exactly one is; "<>" is its
// negation; "<", ">", "<=" and ">=" are false when exactly one operand is NULL (two NULLs are
// equal). Comparisons never give NULL. A NULL (or non-boolean) operand of AND, OR and NOT counts
// as false. Arithmetic on NULL gives NULL, and so does division by zero. An empty string is
// NULL wherever it arises.
//
// Integers: arithmetic on integers gives an INTEGER (32-bit signed); a result outside
// -2147483648 .. 2147483647, a negation or ABS outside its operand's type, and a CAST to
// SMALLINT, WORD or INTEGER of a number outside the target's range fail with EExprError naming
// the value ("Integer overflow: 30000 * 100000 gives 3000000000, outside the range of INTEGER
// (-2147483648 to 2147483647) in ..."), never a NULL or a cut value. Writing the value as a
// float (CAST(x AS FLOAT) * 100000) gives the wide result.
//
// AND evaluates its operands from the right and stops at the first false one; OR stops at the
// first true one.
#pragma once

#include "store/expr/ExprContext.h"
#include "store/expr/ExprNode.h"
#include "store/expr/ExprText.h"

namespace quellor {

class TExprEvaluator {
 public:
  TExprEvaluator(const TExprSettings& settings, const TExprTextRules& text)
      : settings_(settings), text_(text) {}

  // `record` may be null: every field then reads as NULL (constant subtrees).
  TExprValue Evaluate(const TExprNode& node, const TExprRecord* record) const;
  // Whether a boolean node is true for the record.
  bool Test(const TExprNode& node, const TExprRecord* record) const;

  // <0, 0, >0 for two non-NULL values of comparable types.
  int CompareValues(const TExprValue& a, const TExprValue& b, bool noCase) const;
  // A comparison operator with the NULL rules above.
  bool Compare(TExprOp op, const TExprValue& a, const TExprValue& b, bool noCase) const;

  // `v` converted to `type` (CAST and the common type of IF); NULL when it does not convert.
  // `size` cuts a string to that many characters (0: no cut).
  TExprValue Convert(const TExprValue& v, TExprType type, int64_t size = 0) const;

  // Whether a LIKE pattern is a prefix pattern ("abc%": one "%", at the end, no "_").
  static bool IsPrefixPattern(const std::string& pattern);

  const TExprTextRules& Text() const { return text_; }

 private:
  TExprValue Arith(const TExprNode& node, const TExprRecord* record) const;
  // One step of arithmetic: `a op b` giving a value of `type`.
  TExprValue Apply(TExprOp op, TExprType type, const TExprValue& a, const TExprValue& b) const;
  // `r` as a value of the integer type `type`; fails naming `what` when it is out of range.
  TExprValue FitInteger(int64_t r, TExprType type, const std::string& what) const;
  TExprValue Function(const TExprNode& node, const TExprRecord* record) const;
  TExprValue Now(TExprType type) const;
  std::string ToText(const TExprValue& v) const;

  const TExprSettings& settings_;
  const TExprTextRules& text_;
};

}  // namespace quellor
