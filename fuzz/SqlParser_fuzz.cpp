// Fuzzes the SQL statement parser and the compilation of the statement's expressions: every
// text either parses or fails with a message (EExprError); every expression the statement tree
// points at lies inside the token list and compiles against the site table's fields, or fails
// with a message. Sub-selects inside IN answer with a fixed list. Nothing may crash, hang or
// read outside the tokens.
//
// Input: the statement text, as bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ExprSupport.h"
#include "store/expr/ExprParser.h"
#include "store/sql/SqlParser.h"

using namespace quellor;
using namespace quellor::exprtest;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

void CompileAt(const std::vector<TExprToken>& tokens, const TSqlExprRef& ref,
               const TExprScope& scope, const TExprSettings& settings,
               const TExprEvaluator& evaluator) {
  Check(ref.begin <= ref.end && ref.end < tokens.size());
  if (!ref.Present()) return;
  try {
    TExprParser parser(tokens, scope, settings, evaluator);
    parser.SetPosition(ref.begin);
    TExprNodePtr node = parser.ParseValue();
    Check(node != nullptr);
    Check(parser.Position() < tokens.size());
    if (node->type == TExprType::Boolean) (void)evaluator.Evaluate(*node, nullptr);
  } catch (const EExprError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const TExprTableScope scope("cracks.DAT", SiteFields());
  const std::string text(reinterpret_cast<const char*>(data), size);
  TExprSettings settings;
  settings.statementName = kSqlStatementName;
  settings.allowAggregates = settings.allowStar = settings.allowParams = true;
  settings.allowSubSelect = true;
  settings.subSelect = [](const std::vector<TExprToken>& tokens, size_t& pos, TExprType& type) {
    TSqlSelect s = ParseSqlSubSelect(tokens, pos);
    Check(pos < tokens.size());
    type = TExprType::String;
    return std::vector<TExprValue>{TExprValue::Text("www.a.com")};
  };
  TExprTextRules rules(0);
  TExprEvaluator evaluator(settings, rules);
  std::vector<TExprToken> tokens;
  TSqlStatement st;
  try {
    tokens = TokenizeExpression(text, '.', kSqlStatementName);
    st = ParseSqlStatement(tokens);
  } catch (const EExprError&) {
    return 0;
  }
  Check(!tokens.empty() && tokens.back().kind == TExprTokenKind::End);
  auto select = [&](const TSqlSelect& s) {
    for (const TSqlColumnRef& c : s.columns)
      if (!c.star) CompileAt(tokens, c.expr, scope, settings, evaluator);
    for (const TSqlSource& src : s.sources) CompileAt(tokens, src.on, scope, settings, evaluator);
    CompileAt(tokens, s.where, scope, settings, evaluator);
    CompileAt(tokens, s.having, scope, settings, evaluator);
    Check(!s.sources.empty());
  };
  if (st.kind == TSqlKind::Select || st.insertSelect) select(st.select);
  for (const TSqlExprRef& v : st.values) CompileAt(tokens, v, scope, settings, evaluator);
  for (const auto& [column, v] : st.sets) CompileAt(tokens, v, scope, settings, evaluator);
  CompileAt(tokens, st.where, scope, settings, evaluator);
  return 0;
}
