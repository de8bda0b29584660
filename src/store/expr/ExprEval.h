// Evaluation of a compiled expression tree against one record.
//
// NULL rules: "=" is true when both operands are NULL and false when exactly one is; "<>" is its
// negation; "<", ">", "<=" and ">=" are false when exactly one operand is NULL (two NULLs are
// equal). Comparisons never give NULL. A NULL (or non-boolean) operand of AND, OR and NOT counts
// as false. Arithmetic on NULL gives NULL, and so do division by zero and an integer result
// that overflows 64 bits. An empty string is NULL wherever it arises.
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
  TExprValue Function(const TExprNode& node, const TExprRecord* record) const;
  TExprValue Now(TExprType type) const;
  std::string ToText(const TExprValue& v) const;

  const TExprSettings& settings_;
  const TExprTextRules& text_;
};

}  // namespace quellor
