#include "store/expr/ExprParser.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "store/api/StoreTypes.h"

namespace quellor {
namespace {

const char* OpText(TExprOp op) {
  switch (op) {
    case TExprOp::Add:
      return "+";
    case TExprOp::Sub:
      return "-";
    case TExprOp::Mul:
      return "*";
    case TExprOp::Div:
      return "/";
    case TExprOp::Concat:
      return "||";
    case TExprOp::Eq:
      return "=";
    case TExprOp::Ne:
      return "<>";
    case TExprOp::Lt:
      return "<";
    case TExprOp::Gt:
      return ">";
    case TExprOp::Le:
      return "<=";
    case TExprOp::Ge:
      return ">=";
    default:
      return "";
  }
}

// The comparison that keeps the meaning when its operands change places.
TExprOp Mirror(TExprOp op) {
  switch (op) {
    case TExprOp::Lt:
      return TExprOp::Gt;
    case TExprOp::Gt:
      return TExprOp::Lt;
    case TExprOp::Le:
      return TExprOp::Ge;
    case TExprOp::Ge:
      return TExprOp::Le;
    default:
      return op;
  }
}

bool Comparable(TExprType a, TExprType b) {
  if (a == TExprType::Null || b == TExprType::Null) return true;
  if (IsTextType(a) && IsTextType(b)) return true;
  if (IsNumericType(a) && IsNumericType(b)) return true;
  auto dateLike = [](TExprType t) { return t == TExprType::Date || t == TExprType::TimeStamp; };
  if (dateLike(a) && dateLike(b)) return true;
  return a == b;
}

// The type of a numeric result: float over BCD over integer.
TExprType NumericResult(TExprType a, TExprType b) {
  if (a == TExprType::Float || b == TExprType::Float) return TExprType::Float;
  if (a == TExprType::BCD || b == TExprType::BCD) return TExprType::BCD;
  return TExprType::Integer;
}

bool NumOrNull(TExprType t) {
  return t == TExprType::Null || IsNumericType(t);
}
bool IntOrNull(TExprType t) {
  return t == TExprType::Null || IsIntegerType(t);
}
bool TextOrNull(TExprType t) {
  return t == TExprType::Null || IsTextType(t);
}

TExprNodePtr NewNode(TExprKind kind, TExprType type = TExprType::Null) {
  auto n = std::make_unique<TExprNode>();
  n->kind = kind;
  n->type = type;
  return n;
}

TExprNodePtr Constant(TExprValue value, std::string written) {
  auto n = NewNode(TExprKind::Constant, value.type);
  n->value = std::move(value);
  n->name = std::move(written);
  n->literal = true;
  return n;
}

struct TNestGuard {
  explicit TNestGuard(int& n) : n_(n) { ++n_; }
  ~TNestGuard() { --n_; }
  int& n_;
};

bool IsReserved(const TExprToken& t) {
  static const char* const kWords[] = {"AND", "OR", "NOT", "LIKE", "BETWEEN", "IN", "IS"};
  for (const char* w : kWords)
    if (t.IsWord(w)) return true;
  return false;
}

}  // namespace

TExprParser::TExprParser(const std::vector<TExprToken>& tokens, const TExprScope& scope,
                         const TExprSettings& settings, const TExprEvaluator& evaluator)
    : tokens_(tokens), scope_(scope), settings_(settings), evaluator_(evaluator) {}

const TExprToken& TExprParser::Peek(size_t ahead) const {
  return tokens_[std::min(pos_ + ahead, tokens_.size() - 1)];
}

void TExprParser::Fail(const std::string& message) const {
  throw EExprError(message);
}

void TExprParser::Unexpected(const TExprToken& token) const {
  Fail("Unknown or unexpected symbol '" + token.text + "' found in " + settings_.statementName);
}

std::string TExprParser::Describe(const TExprNode& node) const {
  std::string what;
  if (node.kind == TExprKind::Field)
    what = node.name;
  else if (node.kind == TExprKind::Constant && node.literal)
    what = node.value.type == TExprType::String && !node.value.isNull ? "'" + node.name + "'"
                                                                      : node.name;
  else
    what = "expression";
  return what + " (" + ExprTypeName(node.type) + ")";
}

void TExprParser::Mismatch(const char* op, const TExprNode& left, const TExprNode& right) const {
  Fail("Type mismatch between " + Describe(left) + " and " + Describe(right) + " for the " + op +
       " operator in " + settings_.statementName);
}

TExprNodePtr TExprParser::Finish(TExprNodePtr node) {
  int depth = 0;
  bool field = node->kind == TExprKind::Field || node->kind == TExprKind::Aggregate;
  for (const auto& a : node->args) {
    depth = std::max(depth, a->depth);
    field = field || a->hasField;
  }
  node->depth = depth + 1;
  node->hasField = field;
  if (node->depth > kMaxTreeDepth)
    Fail("Expression is nested more than " + std::to_string(kMaxTreeDepth) + " levels deep in " +
         settings_.statementName);
  return node;
}

TExprNodePtr CompileCondition(std::string_view text, const TExprScope& scope,
                              const TExprSettings& settings, const TExprEvaluator& evaluator) {
  std::vector<TExprToken> tokens =
      TokenizeExpression(text, settings.decimalSeparator, settings.statementName);
  TExprParser parser(tokens, scope, settings, evaluator);
  if (parser.AtEnd()) parser.Fail(settings.statementName + " is empty");
  TExprNodePtr root = parser.ParseCondition();
  if (!parser.AtEnd()) parser.Unexpected(parser.Peek());
  return root;
}

TExprNodePtr TExprParser::ParseCondition() {
  TExprNodePtr node = ParseOr();
  if (node->type != TExprType::Boolean)
    Fail(settings_.statementName + " must be a boolean expression");
  return AsCondition(std::move(node), "");
}

TExprNodePtr TExprParser::ParseValue() {
  return ParseOr();
}

// A boolean field standing alone means field = TRUE.
TExprNodePtr TExprParser::AsCondition(TExprNodePtr node, const char* op) {
  if (node->type != TExprType::Boolean && node->type != TExprType::Null) {
    Fail(std::string("Type mismatch between ") + Describe(*node) + " and the " + op +
         " operator in " + settings_.statementName);
  }
  if (node->kind == TExprKind::Field && node->type == TExprType::Boolean) {
    auto cmp = NewNode(TExprKind::Compare, TExprType::Boolean);
    cmp->op = TExprOp::Eq;
    cmp->args.push_back(std::move(node));
    cmp->args.push_back(Constant(TExprValue::Bool(true), "TRUE"));
    return Finish(std::move(cmp));
  }
  return node;
}

TExprNodePtr TExprParser::MakeLogic(TExprKind kind, std::vector<TExprNodePtr> operands) {
  auto node = NewNode(kind, TExprType::Boolean);
  const char* op = kind == TExprKind::And ? "AND" : "OR";
  for (auto& o : operands) {
    o = AsCondition(std::move(o), op);
    // Flatten: (a AND b) AND c is one AND of three.
    if (o->kind == kind) {
      for (auto& inner : o->args) node->args.push_back(std::move(inner));
    } else {
      node->args.push_back(std::move(o));
    }
  }
  return Finish(std::move(node));
}

TExprNodePtr TExprParser::ParseOr() {
  TExprNodePtr first = ParseAnd();
  if (!Peek().IsWord("OR")) return first;
  std::vector<TExprNodePtr> operands;
  operands.push_back(std::move(first));
  while (Peek().IsWord("OR")) {
    Advance();
    operands.push_back(ParseAnd());
  }
  return MakeLogic(TExprKind::Or, std::move(operands));
}

TExprNodePtr TExprParser::ParseAnd() {
  TExprNodePtr first = ParseNot();
  if (!Peek().IsWord("AND")) return first;
  std::vector<TExprNodePtr> operands;
  operands.push_back(std::move(first));
  while (Peek().IsWord("AND")) {
    Advance();
    operands.push_back(ParseNot());
  }
  return MakeLogic(TExprKind::And, std::move(operands));
}

TExprNodePtr TExprParser::ParseNot() {
  if (!Peek().IsWord("NOT")) return ParsePredicate();
  Advance();
  auto node = NewNode(TExprKind::Not, TExprType::Boolean);
  node->args.push_back(AsCondition(ParsePredicate(), "NOT"));
  return Finish(std::move(node));
}

TExprNodePtr TExprParser::ParsePredicate() {
  TExprNodePtr left = ParseAdditive();
  const TExprToken& t = Peek();
  if (t.kind == TExprTokenKind::Symbol) {
    static const std::pair<const char*, TExprOp> kOps[] = {
        {"=", TExprOp::Eq}, {"<>", TExprOp::Ne}, {"<", TExprOp::Lt},
        {">", TExprOp::Gt}, {"<=", TExprOp::Le}, {">=", TExprOp::Ge}};
    for (const auto& [text, op] : kOps) {
      if (t.text == text) {
        Advance();
        return MakeCompare(op, std::move(left), ParseAdditive());
      }
    }
    return left;
  }
  bool negated = false;
  if (t.IsWord("NOT") &&
      (Peek(1).IsWord("LIKE") || Peek(1).IsWord("BETWEEN") || Peek(1).IsWord("IN"))) {
    negated = true;
    Advance();
  }
  const TExprToken& k = Peek();
  if (k.IsWord("LIKE")) {
    Advance();
    TExprNodePtr pattern = ParseAdditive();
    if (!TextOrNull(left->type)) Mismatch("LIKE", *left, *pattern);
    RequireConstant(*pattern, "LIKE");
    if (!TextOrNull(pattern->type)) Mismatch("LIKE", *left, *pattern);
    auto node = NewNode(TExprKind::Like, TExprType::Boolean);
    node->negated = negated;
    node->args.push_back(std::move(left));
    node->args.push_back(std::move(pattern));
    return Finish(std::move(node));
  }
  if (k.IsWord("BETWEEN")) {
    Advance();
    TExprNodePtr low = ParseAdditive();
    RequireConstant(*low, "BETWEEN");
    if (!Peek().IsWord("AND"))
      Fail("Expected AND operator in BETWEEN operator, instead found '" + Peek().text + "' in " +
           settings_.statementName);
    Advance();
    TExprNodePtr high = ParseAdditive();
    RequireConstant(*high, "BETWEEN");
    CheckComparable("BETWEEN", left, low);
    CheckComparable("BETWEEN", left, high);
    auto node = NewNode(TExprKind::Between, TExprType::Boolean);
    node->negated = negated;
    node->noCase = settings_.caseInsensitive && IsTextType(left->type);
    node->args.push_back(std::move(left));
    node->args.push_back(std::move(low));
    node->args.push_back(std::move(high));
    return Finish(std::move(node));
  }
  if (k.IsWord("IN")) {
    Advance();
    return ParseIn(std::move(left), negated);
  }
  if (k.IsWord("IS")) {
    Advance();
    TExprOp op = TExprOp::Eq;
    if (Peek().IsWord("NOT")) {
      op = TExprOp::Ne;
      Advance();
    }
    if (!Peek().IsWord("NULL")) Unexpected(Peek());
    Advance();
    return MakeCompare(op, std::move(left), Constant(TExprValue::Null(), "NULL"));
  }
  return left;
}

TExprNodePtr TExprParser::ParseIn(TExprNodePtr left, bool negated) {
  const std::string& name = settings_.statementName;
  if (!Peek().IsSymbol("(")) {
    Fail(std::string(negated ? "Expected left parentheses after IN operator, instead found '"
                             : "Expected left parentheses for IN operator, instead found '") +
         Peek().text + "' in " + name);
  }
  Advance();
  if (Peek().IsWord("SELECT")) {
    if (!settings_.allowSubSelect || !settings_.subSelect)
      Fail("Sub-select queries are not allowed in " + name);
    // The sub-select runs now; its values become the list's constants.
    TExprType type = TExprType::Null;
    std::vector<TExprValue> values = settings_.subSelect(tokens_, pos_, type);
    auto node = NewNode(TExprKind::In, TExprType::Boolean);
    node->negated = negated;
    node->noCase = settings_.caseInsensitive && IsTextType(left->type);
    TExprNodePtr probe = NewNode(TExprKind::Constant, type);
    CheckComparable("IN", left, probe);
    node->args.push_back(std::move(left));
    for (TExprValue& v : values) {
      auto c = NewNode(TExprKind::Constant, v.type);
      c->value = std::move(v);
      node->args.push_back(std::move(c));
    }
    if (!Peek().IsSymbol(")"))
      Fail("Expected right parentheses after IN operator, instead found '" + Peek().text + "' in " +
           name);
    Advance();
    return Finish(std::move(node));
  }
  if (Peek().IsSymbol(")"))
    Fail("You must provide at least one value as an operand of the IN operator  in " + name);
  auto node = NewNode(TExprKind::In, TExprType::Boolean);
  node->negated = negated;
  node->noCase = settings_.caseInsensitive && IsTextType(left->type);
  node->args.push_back(std::move(left));
  while (true) {
    TExprNodePtr value = ParseAdditive();
    RequireConstant(*value, "IN");
    CheckComparable("IN", node->args[0], value);
    node->args.push_back(std::move(value));
    if (!Peek().IsSymbol(",")) break;
    Advance();
  }
  if (!Peek().IsSymbol(")"))
    Fail("Expected right parentheses after IN operator, instead found '" + Peek().text + "' in " +
         name);
  Advance();
  return Finish(std::move(node));
}

void TExprParser::RequireConstant(const TExprNode& node, const char* op) const {
  if (node.hasField)
    Fail(std::string("Constant expression expected after ") + op + " operator in " +
         settings_.statementName);
}

bool TExprParser::IsStringConstant(const TExprNode& node, std::string* value) const {
  if (node.hasField || node.dynamic || node.kind == TExprKind::Param ||
      node.type != TExprType::String)
    return false;
  TExprValue v = evaluator_.Evaluate(node, nullptr);
  if (v.isNull) return false;
  if (value) *value = v.text;
  return true;
}

// Checks that two operands can be compared; a string constant against a date, time or
// timestamp operand is turned into that type here, once.
void TExprParser::CheckComparable(const char* op, TExprNodePtr& left, TExprNodePtr& right) {
  auto convert = [&](TExprNodePtr& constant, TExprType target) {
    std::string text;
    if (!IsStringConstant(*constant, &text)) return false;
    TExprValue v;
    int64_t i;
    double d;
    if (target == TExprType::Date && ParseDateText(text, settings_.dateFormat, i))
      v = TExprValue::Date(i);
    else if (target == TExprType::Time && ParseTimeText(text, settings_.dateFormat, i))
      v = TExprValue::Time(i);
    else if (target != TExprType::Time && ParseTimeStampText(text, settings_.dateFormat, d))
      v = TExprValue::TimeStamp(d);
    else
      Fail("Date, time, or timestamp expression expected, instead found '" + text + "' in " +
           settings_.statementName);
    constant = Constant(std::move(v), text);
    return true;
  };
  if (IsTemporalType(left->type) && right->type == TExprType::String) {
    if (convert(right, left->type)) return;
  } else if (IsTemporalType(right->type) && left->type == TExprType::String) {
    if (convert(left, right->type)) return;
  }
  if (!Comparable(left->type, right->type)) Mismatch(op, *left, *right);
}

TExprNodePtr TExprParser::MakeCompare(TExprOp op, TExprNodePtr left, TExprNodePtr right) {
  // The field stands on the left: 2 < Priority is Priority > 2.
  if (!left->hasField && right->hasField) {
    std::swap(left, right);
    op = Mirror(op);
  }
  auto node = NewNode(TExprKind::Compare, TExprType::Boolean);
  node->op = op;
  // Partial comparison: "=" or "<>" against a string constant ending in "*".
  if ((op == TExprOp::Eq || op == TExprOp::Ne) && !settings_.noPartialCompare) {
    auto isPattern = [](const TExprNode& n) {
      return n.kind == TExprKind::Constant && n.literal && n.value.type == TExprType::String &&
             !n.value.isNull && n.value.text.back() == '*';
    };
    if (!isPattern(*right) && isPattern(*left) && !right->hasField) std::swap(left, right);
    if (isPattern(*right) && TextOrNull(left->type)) {
      node->partial = true;
      node->text = right->value.text.substr(0, right->value.text.size() - 1);
    }
  }
  if (!node->partial) CheckComparable(OpText(op), left, right);
  node->noCase = settings_.caseInsensitive && TextOrNull(left->type) && TextOrNull(right->type);
  node->args.push_back(std::move(left));
  node->args.push_back(std::move(right));
  return Finish(std::move(node));
}

TExprNodePtr TExprParser::ParseAdditive() {
  TExprNodePtr left = ParseMultiplicative();
  while (true) {
    const TExprToken& t = Peek();
    TExprOp op;
    if (t.IsSymbol("+")) {
      op = TExprOp::Add;
    } else if (t.IsSymbol("-")) {
      op = TExprOp::Sub;
    } else if (t.IsSymbol("|")) {
      Advance();
      if (!Peek().IsSymbol("|"))
        Fail(
            "Second concatenation symbol '|' expected after first concatentation symbol, "
            "instead found '" +
            Peek().text + "' in " + settings_.statementName);
      op = TExprOp::Concat;
    } else {
      return left;
    }
    Advance();
    left = MakeArith(op, std::move(left), ParseMultiplicative());
  }
}

TExprNodePtr TExprParser::ParseMultiplicative() {
  TExprNodePtr left = ParseUnary();
  while (Peek().IsSymbol("*") || Peek().IsSymbol("/")) {
    TExprOp op = Peek().IsSymbol("*") ? TExprOp::Mul : TExprOp::Div;
    Advance();
    left = MakeArith(op, std::move(left), ParseUnary());
  }
  return left;
}

TExprNodePtr TExprParser::MakeArith(TExprOp op, TExprNodePtr left, TExprNodePtr right) {
  const TExprType a = left->type, b = right->type;
  const auto N = TExprType::Null;
  TExprType result = N;
  bool ok = false;
  switch (op) {
    case TExprOp::Concat:
      ok = TextOrNull(a) && TextOrNull(b);
      result = TExprType::String;
      break;
    case TExprOp::Add:
    case TExprOp::Sub:
      if (op == TExprOp::Add && TextOrNull(a) && TextOrNull(b) && (a != N || b != N)) {
        ok = true;
        result = TExprType::String;
      } else if (NumOrNull(a) && NumOrNull(b)) {
        ok = true;
        result = a == N && b == N ? N : NumericResult(a, b);
      } else if ((a == TExprType::Date || a == TExprType::TimeStamp) && IntOrNull(b)) {
        ok = true;
        result = a;
      } else if (op == TExprOp::Add && IntOrNull(a) &&
                 (b == TExprType::Date || b == TExprType::TimeStamp)) {
        ok = true;
        result = b;
      } else if (op == TExprOp::Sub && a == TExprType::Date && (b == TExprType::Date || b == N)) {
        ok = true;
        result = b == N ? TExprType::Date : TExprType::Integer;
      } else if (a == N && (b == TExprType::Date || b == TExprType::TimeStamp)) {
        ok = true;
        result = b;
      }
      break;
    case TExprOp::Mul:
      ok = NumOrNull(a) && NumOrNull(b);
      result = a == N && b == N ? N : NumericResult(a, b);
      break;
    case TExprOp::Div:
      ok = NumOrNull(a) && NumOrNull(b);
      result = TExprType::Float;
      break;
    default:
      break;
  }
  if (!ok) Mismatch(OpText(op), *left, *right);
  if (left->kind == TExprKind::Arith) {
    // The chain grows by one operand: a + b + c is one node of three, not a tree of height
    // three (the order of evaluation, left to right, is that of the nested form).
    TExprNode& chain = *left;
    if (chain.steps.empty()) chain.steps.push_back({chain.op, chain.type});
    chain.steps.push_back({op, result});
    chain.type = result;
    chain.args.push_back(std::move(right));
    const TExprNode& added = *chain.args.back();
    chain.depth = std::max(chain.depth, added.depth + 1);
    chain.hasField = chain.hasField || added.hasField;
    if (chain.depth > kMaxTreeDepth)
      Fail("Expression is nested more than " + std::to_string(kMaxTreeDepth) + " levels deep in " +
           settings_.statementName);
    return left;
  }
  auto node = NewNode(TExprKind::Arith, result);
  node->op = op;
  node->args.push_back(std::move(left));
  node->args.push_back(std::move(right));
  return Finish(std::move(node));
}

TExprNodePtr TExprParser::ParseUnary() {
  if (!Peek().IsSymbol("-") && !Peek().IsSymbol("+")) return ParsePrimary();
  const bool minus = Peek().IsSymbol("-");
  Advance();
  TExprNodePtr operand = ParsePrimary();
  if (!NumOrNull(operand->type)) {
    Fail(std::string("Type mismatch between the ") + (minus ? "-" : "+") + " operator and " +
         Describe(*operand) + " in " + settings_.statementName);
  }
  if (!minus) return operand;
  // A negative number written as such stays a literal constant.
  if (operand->kind == TExprKind::Constant && operand->literal && !operand->value.isNull &&
      (operand->value.type != TExprType::Integer ||
       operand->value.integer != std::numeric_limits<int64_t>::min())) {
    TExprValue& v = operand->value;
    if (IsRealType(v.type))
      v.real = -v.real;
    else
      v.integer = -v.integer;
    operand->name = "-" + operand->name;
    return operand;
  }
  auto node = NewNode(TExprKind::Negate, operand->type);
  node->args.push_back(std::move(operand));
  return Finish(std::move(node));
}

TExprNodePtr TExprParser::ParsePrimary() {
  TNestGuard guard(nesting_);
  const std::string& name = settings_.statementName;
  if (nesting_ > kMaxNesting)
    Fail("Expression is nested more than " + std::to_string(kMaxNesting) + " levels deep in " +
         name);
  const TExprToken t = Peek();
  switch (t.kind) {
    case TExprTokenKind::End:
      Unexpected(t);
    case TExprTokenKind::String:
      Advance();
      // An empty string is the NULL constant.
      if (t.value.empty()) return Constant(TExprValue::Null(), "NULL");
      return Constant(TExprValue::Text(t.value), t.text);
    case TExprTokenKind::Integer:
      Advance();
      return Constant(TExprValue::Int(t.integer), t.text);
    case TExprTokenKind::Float:
      Advance();
      return Constant(TExprValue::Real(t.real), t.text);
    case TExprTokenKind::Name:
      Advance();
      if (Peek().IsSymbol(".") &&
          (Peek(1).kind == TExprTokenKind::Word || Peek(1).kind == TExprTokenKind::Name)) {
        Advance();
        TExprToken field = Peek();
        Advance();
        return ParseField(t.text, field);
      }
      return ParseField("", t);
    case TExprTokenKind::Symbol:
      if (t.IsSymbol("(")) {
        Advance();
        TExprNodePtr inner = ParseOr();
        if (!Peek().IsSymbol(")"))
          Fail("Right parentheses expected, instead found '" + Peek().text + "' in " + name);
        Advance();
        return inner;
      }
      if (t.IsSymbol("*")) {
        if (!settings_.allowStar) Fail("* (all columns) symbol is not allowed in " + name);
        Advance();
        return Finish(NewNode(TExprKind::Star));
      }
      if (t.IsSymbol("?")) {
        if (!settings_.allowParams) Fail("Parameters are not allowed in " + name);
        auto p = NewNode(TExprKind::Param);
        // Parameters are numbered by their place in the whole text (a statement's clauses and
        // sub-selects are parsed separately).
        p->number = std::count_if(tokens_.begin(), tokens_.begin() + static_cast<long>(pos_),
                                  [](const TExprToken& k) { return k.IsSymbol("?"); });
        ++paramCount_;
        Advance();
        return Finish(std::move(p));
      }
      Unexpected(t);
    case TExprTokenKind::Word:
      break;
  }
  // Words: constants, functions, fields.
  if (IsReserved(t)) Unexpected(t);
  if (Peek(1).IsSymbol("(")) return ParseFunction();
  Advance();
  if (t.IsWord("TRUE")) return Constant(TExprValue::Bool(true), t.text);
  if (t.IsWord("FALSE")) return Constant(TExprValue::Bool(false), t.text);
  if (t.IsWord("NULL")) return Constant(TExprValue::Null(), t.text);
  static const std::pair<const char*, TExprType> kNow[] = {
      {"CURRENT_DATE", TExprType::Date},
      {"CURRENT_TIME", TExprType::Time},
      {"CURRENT_TIMESTAMP", TExprType::TimeStamp}};
  for (const auto& [word, type] : kNow) {
    if (t.IsWord(word)) {
      auto n = Constant(TExprValue::Null(type), t.text);
      n->type = type;
      n->dynamic = true;
      return n;
    }
  }
  if (Peek().IsSymbol(".")) {
    const TExprToken& after = Peek(1);
    if (after.kind == TExprTokenKind::Word || after.kind == TExprTokenKind::Name) {
      Advance();
      TExprToken field = Peek();
      Advance();
      return ParseField(t.text, field);
    }
    if (after.IsSymbol("*")) {
      if (!settings_.allowStar) Fail("* (all columns) symbol is not allowed in " + name);
      Advance();
      Advance();
      auto star = NewNode(TExprKind::Star);
      star->name = t.text;
      return Finish(std::move(star));
    }
  }
  return ParseField("", t);
}

TExprNodePtr TExprParser::ParseField(std::string correlation, const TExprToken& nameToken) {
  std::optional<TExprField> f = scope_.FindField(correlation, nameToken.text);
  if (!f) {
    Fail("Invalid column name '" + nameToken.text + "' or table correlation name '" + correlation +
         "' specified in " + settings_.statementName);
  }
  auto node = NewNode(TExprKind::Field, f->type);
  node->fieldId = f->id;
  node->name = f->name;
  return Finish(std::move(node));
}

void TExprParser::ExpectWord(const char* keyword, const char* where) {
  if (!Peek().IsWord(keyword))
    Fail(std::string("Expected ") + keyword + " keyword in " + where +
         " function, instead found '" + Peek().text + "' in " + settings_.statementName);
  Advance();
}

void TExprParser::ExpectRightParen() {
  if (!Peek().IsSymbol(")"))
    Fail("Right parentheses expected, instead found '" + Peek().text + "' in " +
         settings_.statementName);
  Advance();
}

int64_t TExprParser::IntegerConstant(const TExprNode& node, const std::string& notConstant,
                                     const std::string& outOfRange, int64_t low,
                                     int64_t high) const {
  const std::string& name = settings_.statementName;
  if (node.hasField || node.dynamic || node.kind == TExprKind::Param || !IsIntegerType(node.type))
    Fail(notConstant + " in " + name);
  TExprValue v = evaluator_.Evaluate(node, nullptr);
  if (v.isNull) Fail(notConstant + " in " + name);
  if (v.integer < low || v.integer > high) Fail(outOfRange + " in " + name);
  return v.integer;
}

TExprType TExprParser::ParseCastType(int64_t& size) {
  size = 0;
  const TExprToken t = Peek();
  const std::string expected = "SQL data type keyword expected, instead found '" + t.text +
                               "' in " + settings_.statementName;
  auto fail = [&] { Fail(expected); };
  if (t.kind != TExprTokenKind::Word) fail();
  Advance();
  // Optional "(" n [, m] ")" after the keyword.
  auto arguments = [&](bool required) {
    std::vector<int64_t> values;
    if (!Peek().IsSymbol("(")) {
      if (required) fail();
      return values;
    }
    Advance();
    while (true) {
      if (Peek().kind != TExprTokenKind::Integer) Unexpected(Peek());
      values.push_back(Peek().integer);
      Advance();
      if (!Peek().IsSymbol(",")) break;
      Advance();
    }
    ExpectRightParen();
    return values;
  };
  if (t.IsWord("SMALLINT")) return TExprType::SmallInt;
  if (t.IsWord("WORD")) return TExprType::Word;
  if (t.IsWord("INTEGER") || t.IsWord("INT") || t.IsWord("AUTOINC")) return TExprType::Integer;
  if (t.IsWord("DECIMAL") || t.IsWord("NUMERIC")) {
    arguments(false);
    return TExprType::BCD;
  }
  if (t.IsWord("FLOAT") || t.IsWord("MONEY")) {
    if (t.IsWord("FLOAT")) arguments(false);
    return TExprType::Float;
  }
  if (t.IsWord("CHARACTER") || t.IsWord("CHAR") || t.IsWord("VARCHAR") || t.IsWord("BYTES")) {
    std::vector<int64_t> n = arguments(true);
    if (n.size() != 1 || n[0] < 1 || n[0] > kMaxFieldSize) fail();
    size = n[0];
    return t.IsWord("BYTES") ? TExprType::Bytes : TExprType::String;
  }
  if (t.IsWord("DATE")) return TExprType::Date;
  if (t.IsWord("TIME")) return TExprType::Time;
  if (t.IsWord("TIMESTAMP")) return TExprType::TimeStamp;
  if (t.IsWord("BOOLEAN")) return TExprType::Boolean;
  if (t.IsWord("BLOB")) {
    arguments(false);
    return TExprType::Memo;
  }
  Fail(expected);
}

TExprNodePtr TExprParser::ParseFunction() {
  const TExprToken t = Peek();
  const std::string& name = settings_.statementName;
  std::string upper = t.text;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static const std::pair<const char*, TExprFunc> kAggregates[] = {{"COUNT", TExprFunc::Count},
                                                                  {"SUM", TExprFunc::Sum},
                                                                  {"AVG", TExprFunc::Avg},
                                                                  {"MIN", TExprFunc::Min},
                                                                  {"MAX", TExprFunc::Max}};
  static const std::pair<const char*, TExprFunc> kFunctions[] = {
      {"UPPER", TExprFunc::Upper},         {"LOWER", TExprFunc::Lower},
      {"SUBSTRING", TExprFunc::Substring}, {"TRIM", TExprFunc::Trim},
      {"EXTRACT", TExprFunc::Extract},     {"POS", TExprFunc::Pos},
      {"OCCURS", TExprFunc::Occurs},       {"REPLACE", TExprFunc::Replace},
      {"CAST", TExprFunc::Cast},           {"ABS", TExprFunc::Abs},
      {"ROUND", TExprFunc::Round},         {"IF", TExprFunc::If}};

  for (const auto& [word, func] : kAggregates) {
    if (upper != word) continue;
    if (!settings_.allowAggregates) Fail("Aggregate functions are not allowed in " + name);
    Advance();
    Advance();  // "("
    auto node = NewNode(TExprKind::Aggregate);
    node->func = func;
    node->name = upper;
    node->number = aggregateCount_++;
    if (func == TExprFunc::Count && Peek().IsSymbol("*")) {
      Advance();
    } else {
      if (Peek().IsWord("DISTINCT")) {
        node->negated = true;  // DISTINCT
        Advance();
      }
      node->args.push_back(ParseOr());
    }
    ExpectRightParen();
    TExprType argType = node->args.empty() ? TExprType::Null : node->args[0]->type;
    node->type = func == TExprFunc::Count                           ? TExprType::Integer
                 : func == TExprFunc::Avg                           ? TExprType::Float
                 : func == TExprFunc::Sum && IsIntegerType(argType) ? TExprType::Integer
                                                                    : argType;
    return Finish(std::move(node));
  }

  TExprFunc func = TExprFunc::None;
  for (const auto& [word, f] : kFunctions)
    if (upper == word) func = f;
  if (func == TExprFunc::None)
    Fail("Unknown or unexpected function '" + t.text + "' found in " + name);
  Advance();
  Advance();  // "("
  auto node = NewNode(TExprKind::Function);
  node->func = func;
  node->name = upper;
  auto need = [&](bool ok, const char* message) {
    if (!ok) Fail(std::string(message) + " in " + name);
  };

  switch (func) {
    case TExprFunc::Upper:
    case TExprFunc::Lower: {
      TExprNodePtr x = ParseOr();
      if (!TextOrNull(x->type))
        Fail("Expression argument of " + upper + " function must be a string or memo in " + name);
      node->type = x->type == TExprType::Null ? TExprType::String : x->type;
      node->args.push_back(std::move(x));
      break;
    }
    case TExprFunc::Substring: {
      TExprNodePtr x = ParseOr();
      need(TextOrNull(x->type),
           "Expression argument of SUBSTRING function must be a string or memo");
      ExpectWord("FROM", "SUBSTRING");
      TExprNodePtr from = ParseAdditive();
      node->number = IntegerConstant(
          *from, "FROM argument of SUBSTRING function must be an integer constant",
          "FROM argument of SUBSTRING function must be an integer constant greater than 0", 1,
          std::numeric_limits<int64_t>::max());
      if (Peek().IsWord("FOR")) {
        Advance();
        TExprNodePtr count = ParseAdditive();
        node->count = IntegerConstant(
            *count, "FOR argument of SUBSTRING function must be an integer constant",
            "FOR argument of SUBSTRING function must be an integer constant greater than 0", 1,
            std::numeric_limits<int64_t>::max());
      }
      node->type = x->type == TExprType::Null ? TExprType::String : x->type;
      node->args.push_back(std::move(x));
      break;
    }
    case TExprFunc::Trim: {
      // TRIM(LEADING|TRAILING|BOTH c FROM x); also TRIM(c FROM x) and TRIM(x), both ends, blank.
      node->part = 2;
      TExprNodePtr c;
      if (Peek().IsWord("LEADING") || Peek().IsWord("TRAILING") || Peek().IsWord("BOTH")) {
        node->part = Peek().IsWord("LEADING") ? 0 : Peek().IsWord("TRAILING") ? 1 : 2;
        Advance();
        c = ParseAdditive();
        ExpectWord("FROM", "TRIM");
      } else {
        c = ParseOr();
        if (Peek().IsWord("FROM")) {
          Advance();
        } else {
          node->text = " ";
          node->type = c->type == TExprType::Null ? TExprType::String : c->type;
          need(TextOrNull(c->type), "FROM argument of TRIM function must be a string or memo");
          node->args.push_back(std::move(c));
          break;
        }
      }
      std::string ch;
      need(IsStringConstant(*c, &ch) && evaluator_.Text().CharStarts(ch).size() == 2,
           "Trim character argument of TRIM function must be a single character constant");
      node->text = ch;
      TExprNodePtr x = ParseOr();
      need(TextOrNull(x->type), "FROM argument of TRIM function must be a string or memo");
      node->type = x->type == TExprType::Null ? TExprType::String : x->type;
      node->args.push_back(std::move(x));
      break;
    }
    case TExprFunc::Extract: {
      static const char* const kParts[] = {"YEAR", "MONTH",  "DAY",   "DAYOFWEEK",
                                           "HOUR", "MINUTE", "SECOND"};
      int part = -1;
      for (int i = 0; i < 7; ++i)
        if (Peek().IsWord(kParts[i])) part = i;
      if (part < 0) Unexpected(Peek());
      Advance();
      node->part = part;
      ExpectWord("FROM", "EXTRACT");
      TExprNodePtr x = ParseOr();
      need(x->type == TExprType::Null || IsTemporalType(x->type),
           "FROM argument of EXTRACT function must be a date, time, or timestamp");
      node->type = TExprType::Integer;
      node->args.push_back(std::move(x));
      break;
    }
    case TExprFunc::Pos:
    case TExprFunc::Occurs: {
      TExprNodePtr s = ParseAdditive();
      need(IsStringConstant(*s, &node->text),
           func == TExprFunc::Pos
               ? "Search string argument of POS function must be a string constant"
               : "Search string argument of OCCURS function must be a string constant");
      ExpectWord("IN", upper.c_str());
      TExprNodePtr x = ParseOr();
      if (!TextOrNull(x->type))
        Fail("IN argument of " + upper + " function must be a string or memo in " + name);
      node->type = TExprType::Integer;
      node->args.push_back(std::move(x));
      break;
    }
    case TExprFunc::Replace: {
      TExprNodePtr s = ParseAdditive();
      need(IsStringConstant(*s, &node->text),
           "Search argument of REPLACE function must be a string constant");
      ExpectWord("WITH", "REPLACE");
      TExprNodePtr r = ParseAdditive();
      // The replacement may be empty (''), which reads as NULL.
      const bool emptyReplacement = r->kind == TExprKind::Constant && r->type == TExprType::Null;
      need(emptyReplacement || IsStringConstant(*r, &node->text2),
           "WITH argument of REPLACE function must be a string constant");
      ExpectWord("IN", "REPLACE");
      TExprNodePtr x = ParseOr();
      need(TextOrNull(x->type), "IN argument of REPLACE function must be a string or memo");
      node->type = x->type == TExprType::Null ? TExprType::String : x->type;
      node->args.push_back(std::move(x));
      break;
    }
    case TExprFunc::Cast: {
      TExprNodePtr x = ParseOr();
      ExpectWord("AS", "CAST");
      node->type = ParseCastType(node->count);
      node->args.push_back(std::move(x));
      break;
    }
    case TExprFunc::Abs: {
      TExprNodePtr x = ParseOr();
      need(NumOrNull(x->type),
           "Expression argument of ABS function must be an integer or floating-point type");
      node->type = IsRealType(x->type) ? x->type : TExprType::Integer;
      node->args.push_back(std::move(x));
      break;
    }
    case TExprFunc::Round: {
      TExprNodePtr x = ParseOr();
      need(x->type == TExprType::Null || IsRealType(x->type),
           "Expression argument of ROUND function must be a floating-point type");
      if (Peek().IsWord("TO")) {
        Advance();
        TExprNodePtr places = ParseAdditive();
        node->number = IntegerConstant(
            *places, "Decimal places argument of ROUND function must be an integer constant",
            "Decimal places argument of ROUND function must be an integer constant between 0 and "
            "32",
            0, 32);
      }
      node->type = x->type == TExprType::BCD ? TExprType::BCD : TExprType::Float;
      node->args.push_back(std::move(x));
      break;
    }
    case TExprFunc::If: {
      TExprNodePtr b = ParseOr();
      need(b->type == TExprType::Boolean || b->type == TExprType::Null,
           "First expression argument of IF function must be a boolean type");
      ExpectWord("THEN", "IF");
      TExprNodePtr x = ParseOr();
      ExpectWord("ELSE", "IF");
      TExprNodePtr y = ParseOr();
      const TExprType a = x->type, c = y->type;
      const char* mismatch = "Type mismatch between second and third IF expression arguments";
      need(a != TExprType::Null || c != TExprType::Null, mismatch);
      need(Comparable(a, c), mismatch);
      if (a == TExprType::Null || a == c)
        node->type = c == TExprType::Null ? a : c;
      else if (c == TExprType::Null)
        node->type = a;
      else if (IsTextType(a))
        node->type = TExprType::Memo;
      else if (IsNumericType(a))
        node->type =
            IsIntegerType(a) && IsIntegerType(c) ? TExprType::Integer : NumericResult(a, c);
      else
        node->type = TExprType::TimeStamp;  // date with timestamp
      node->args.push_back(std::move(b));
      node->args.push_back(std::move(x));
      node->args.push_back(std::move(y));
      break;
    }
    default:
      Unexpected(t);
  }
  ExpectRightParen();
  return Finish(std::move(node));
}

}  // namespace quellor
