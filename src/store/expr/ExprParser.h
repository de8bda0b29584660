// The parser of the expression language: tokens to a typed tree, checking types as it builds.
//
// Grammar, lowest precedence first (binary operators associate to the left, keywords in any
// case):
//   or-expr    and-expr { OR and-expr }
//   and-expr   not-expr { AND not-expr }
//   not-expr   [NOT] predicate
//   predicate  additive [ cmp additive | [NOT] LIKE additive | [NOT] BETWEEN additive AND
//              additive | [NOT] IN "(" additive {"," additive} ")" | IS [NOT] NULL ]
//   additive   multiplicative { ("+" | "-" | "||") multiplicative }
//   multiplic. unary { ("*" | "/") unary }
//   unary      ["+" | "-"] primary
//   primary    constant | field | [correlation "."] field | function "(" ... ")" |
//              "(" or-expr ")"; in SQL also "*", "?" and aggregates
//
// AND and OR chains become one node with all their operands, so long generated conditions
// (Url = 'a' OR Url = 'b' OR ...) do not deepen the tree; so do chains of arithmetic
// (a + 1 + 1 ..., a * b - c ...: one Arith node with its steps), so depth counts nesting only.
// Parentheses and functions nest at most kMaxNesting levels and no tree grows higher than
// kMaxTreeDepth: deeper texts fail with a message instead of exhausting the stack.
#pragma once

#include <algorithm>
#include <string_view>
#include <vector>

#include "store/expr/ExprContext.h"
#include "store/expr/ExprEval.h"
#include "store/expr/ExprLexer.h"
#include "store/expr/ExprNode.h"

namespace quellor {

inline constexpr int kMaxNesting = 200;
inline constexpr int kMaxTreeDepth = 256;

class TExprParser {
 public:
  // `tokens` must end with an End token and outlive the parser.
  TExprParser(const std::vector<TExprToken>& tokens, const TExprScope& scope,
              const TExprSettings& settings, const TExprEvaluator& evaluator);

  // A condition: a boolean expression, a boolean field standing alone read as field = TRUE.
  // Stops at the first token that cannot continue it; the caller checks what follows.
  TExprNodePtr ParseCondition();
  // Any expression (SQL result columns).
  TExprNodePtr ParseValue();

  const TExprToken& Peek(size_t ahead = 0) const;
  void Advance() {
    if (pos_ + 1 < tokens_.size()) ++pos_;
  }
  bool AtEnd() const { return Peek().kind == TExprTokenKind::End; }
  // The index of the next token; statements parse their clauses around the expressions.
  size_t Position() const { return pos_; }
  void SetPosition(size_t pos) { pos_ = std::min(pos, tokens_.size() - 1); }
  int ParamCount() const { return paramCount_; }
  int AggregateCount() const { return aggregateCount_; }

  // "Unknown or unexpected symbol '<token>' found in <name>".
  [[noreturn]] void Unexpected(const TExprToken& token) const;
  [[noreturn]] void Fail(const std::string& message) const;

 private:
  TExprNodePtr ParseOr();
  TExprNodePtr ParseAnd();
  TExprNodePtr ParseNot();
  TExprNodePtr ParsePredicate();
  TExprNodePtr ParseAdditive();
  TExprNodePtr ParseMultiplicative();
  TExprNodePtr ParseUnary();
  TExprNodePtr ParsePrimary();
  TExprNodePtr ParseField(std::string correlation, const TExprToken& nameToken);
  TExprNodePtr ParseFunction();
  TExprNodePtr ParseIn(TExprNodePtr left, bool negated);
  TExprType ParseCastType(int64_t& size);

  TExprNodePtr MakeCompare(TExprOp op, TExprNodePtr left, TExprNodePtr right);
  TExprNodePtr MakeArith(TExprOp op, TExprNodePtr left, TExprNodePtr right);
  TExprNodePtr MakeLogic(TExprKind kind, std::vector<TExprNodePtr> operands);
  TExprNodePtr AsCondition(TExprNodePtr node, const char* op);
  TExprNodePtr Finish(TExprNodePtr node);
  void CheckComparable(const char* op, TExprNodePtr& left, TExprNodePtr& right);
  void RequireConstant(const TExprNode& node, const char* op) const;
  void ExpectWord(const char* keyword, const char* where);
  void ExpectRightParen();
  int64_t IntegerConstant(const TExprNode& node, const std::string& notConstant,
                          const std::string& outOfRange, int64_t low, int64_t high) const;
  bool IsStringConstant(const TExprNode& node, std::string* value) const;
  std::string Describe(const TExprNode& node) const;
  [[noreturn]] void Mismatch(const char* op, const TExprNode& left, const TExprNode& right) const;

  const std::vector<TExprToken>& tokens_;
  const TExprScope& scope_;
  const TExprSettings& settings_;
  const TExprEvaluator& evaluator_;
  size_t pos_ = 0;
  int nesting_ = 0;
  int paramCount_ = 0;
  int aggregateCount_ = 0;
};

// Compiles a whole text as a condition of `settings.statementName`: empty text fails with
// "<name> is empty", a non-boolean one with "<name> must be a boolean expression", anything
// left over with the unexpected-symbol message. Throws EExprError.
TExprNodePtr CompileCondition(std::string_view text, const TExprScope& scope,
                              const TExprSettings& settings, const TExprEvaluator& evaluator);

}  // namespace quellor
