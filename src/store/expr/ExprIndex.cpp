#include "store/expr/ExprIndex.h"

#include <bit>

#include "store/expr/ExprEval.h"

namespace quellor {

void TExprRecordSet::Add(uint32_t record) {
  if (record > limit_) {
    limit_ = record;
    bits_.resize((static_cast<size_t>(limit_) + 64) / 64, 0);
  }
  bits_[record / 64] |= uint64_t{1} << (record % 64);
}

bool TExprRecordSet::Contains(uint32_t record) const {
  return record <= limit_ && (bits_[record / 64] >> (record % 64) & 1);
}

size_t TExprRecordSet::Count() const {
  size_t n = 0;
  for (uint64_t w : bits_) n += static_cast<size_t>(std::popcount(w));
  return n;
}

void TExprRecordSet::IntersectWith(const TExprRecordSet& other) {
  for (size_t i = 0; i < bits_.size(); ++i) bits_[i] &= i < other.bits_.size() ? other.bits_[i] : 0;
}

void TExprRecordSet::UniteWith(const TExprRecordSet& other) {
  if (other.limit_ > limit_) {
    limit_ = other.limit_;
    bits_.resize(other.bits_.size(), 0);
  }
  for (size_t i = 0; i < other.bits_.size(); ++i) bits_[i] |= other.bits_[i];
}

void TExprRecordSet::Subtract(const TExprRecordSet& other) {
  for (size_t i = 0; i < bits_.size() && i < other.bits_.size(); ++i) bits_[i] &= ~other.bits_[i];
}

std::vector<uint32_t> TExprRecordSet::Records() const {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < bits_.size(); ++i) {
    for (uint64_t w = bits_[i]; w; w &= w - 1)
      out.push_back(static_cast<uint32_t>(i * 64 + static_cast<size_t>(std::countr_zero(w))));
  }
  return out;
}

namespace {

class TPlanner {
 public:
  TPlanner(const TExprEvaluator& evaluator, TExprIndexProvider& provider,
           const TExprRecord* constants)
      : evaluator_(evaluator), provider_(provider), constants_(constants) {}

  TExprIndexAnswer Answer(const TExprNode& node) {
    switch (node.kind) {
      case TExprKind::And:
        return AnswerAnd(node);
      case TExprKind::Or:
        return AnswerOr(node);
      case TExprKind::Not: {
        TExprIndexAnswer inner = Answer(*node.args[0]);
        if (!inner.answered || !inner.exact) return {};
        return Complement(std::move(inner.set));
      }
      case TExprKind::Compare:
      case TExprKind::Like:
      case TExprKind::Between:
      case TExprKind::In:
        return AnswerLeaf(node);
      default:
        return {};
    }
  }

 private:
  TExprIndexAnswer AnswerAnd(const TExprNode& node) {
    TExprIndexAnswer out;
    bool all = true;
    for (const auto& a : node.args) {
      TExprIndexAnswer part = Answer(*a);
      if (!part.answered) {
        all = false;
        continue;
      }
      if (!out.answered) {
        out = std::move(part);
        continue;
      }
      out.set.IntersectWith(part.set);
      out.exact = out.exact && part.exact;
    }
    if (!all) out.exact = false;
    return out;
  }

  TExprIndexAnswer AnswerOr(const TExprNode& node) {
    TExprIndexAnswer out;
    for (const auto& a : node.args) {
      TExprIndexAnswer part = Answer(*a);
      if (!part.answered) return {};
      if (!out.answered) {
        out = std::move(part);
      } else {
        out.set.UniteWith(part.set);
        out.exact = out.exact && part.exact;
      }
    }
    return out;
  }

  const TExprRecordSet& Universe() {
    if (!haveUniverse_) {
      universe_ = provider_.AllRecords();
      haveUniverse_ = true;
    }
    return universe_;
  }

  TExprIndexAnswer Complement(TExprRecordSet set) {
    TExprIndexAnswer out{true, true, Universe()};
    out.set.Subtract(set);
    return out;
  }

  TExprIndexAnswer Exact(TExprRecordSet set, bool negate) {
    if (negate) return Complement(std::move(set));
    return {true, true, std::move(set)};
  }

  // The field a leaf tests: a plain field, or UPPER(field), which a case-insensitive index
  // answers for constants that are upper case already.
  const TExprNode* IndexedField(const TExprNode& operand, bool& upper) const {
    upper = false;
    if (operand.kind == TExprKind::Field) return &operand;
    if (operand.kind == TExprKind::Function && operand.func == TExprFunc::Upper &&
        operand.args[0]->kind == TExprKind::Field) {
      upper = true;
      return operand.args[0].get();
    }
    return nullptr;
  }

  bool Constant(const TExprNode& node, TExprValue& value) const {
    if (node.hasField) return false;
    value = evaluator_.Evaluate(node, constants_);
    return true;
  }

  bool IsUpperCase(const std::string& s) const { return evaluator_.Text().Upper(s) == s; }

  TExprIndexAnswer AnswerLeaf(const TExprNode& node) {
    bool upper = false;
    const TExprNode* field = IndexedField(*node.args[0], upper);
    if (!field) return {};
    const bool text = IsTextType(field->type);
    bool noCase = text && (node.noCase || upper);
    if (!provider_.HasIndex(field->fieldId, noCase)) return {};
    const int id = field->fieldId;
    auto lookup = [&](const TExprKeyRange& r) { return provider_.Lookup(id, noCase, r); };

    // Under UPPER every string constant must be upper case already.
    auto constantOk = [&](const TExprValue& v) {
      return !upper || v.isNull || !IsTextType(v.type) || IsUpperCase(v.text);
    };

    TExprKeyRange range;
    switch (node.kind) {
      case TExprKind::Compare: {
        if (node.partial) {
          if (upper && !IsUpperCase(node.text)) return {};
          range.kind = TExprKeyRange::TKind::Prefix;
          range.prefix = node.text;
          return Exact(lookup(range), node.op == TExprOp::Ne);
        }
        TExprValue v;
        if (!Constant(*node.args[1], v) || !constantOk(v)) return {};
        if (node.op == TExprOp::Eq || node.op == TExprOp::Ne) {
          range.low = v;
          return Exact(lookup(range), node.op == TExprOp::Ne);
        }
        if (v.isNull) return {};
        range.kind = TExprKeyRange::TKind::Range;
        if (node.op == TExprOp::Lt || node.op == TExprOp::Le) {
          range.hasHigh = true;
          range.high = v;
          range.highInclusive = node.op == TExprOp::Le;
        } else {
          range.hasLow = true;
          range.low = v;
          range.lowInclusive = node.op == TExprOp::Ge;
        }
        return Exact(lookup(range), false);
      }
      case TExprKind::Like: {
        TExprValue p;
        if (upper || !Constant(*node.args[1], p) || p.isNull) return {};
        if (!TExprEvaluator::IsPrefixPattern(p.text)) return {};
        // LIKE respects case: only a case-sensitive index answers it.
        if (noCase) return {};
        range.kind = TExprKeyRange::TKind::Prefix;
        range.prefix = p.text.substr(0, p.text.size() - 1);
        return Exact(lookup(range), node.negated);
      }
      case TExprKind::Between: {
        TExprValue low, high;
        if (!Constant(*node.args[1], low) || !Constant(*node.args[2], high)) return {};
        if (low.isNull || high.isNull || !constantOk(low) || !constantOk(high)) return {};
        range.kind = TExprKeyRange::TKind::Range;
        range.hasLow = range.hasHigh = true;
        range.low = std::move(low);
        range.high = std::move(high);
        return Exact(lookup(range), node.negated);
      }
      case TExprKind::In: {
        TExprRecordSet set(Universe().Limit());
        for (size_t i = 1; i < node.args.size(); ++i) {
          TExprValue v;
          if (!Constant(*node.args[i], v) || !constantOk(v)) return {};
          range.low = std::move(v);
          set.UniteWith(lookup(range));
        }
        return Exact(std::move(set), node.negated);
      }
      default:
        return {};
    }
  }

  const TExprEvaluator& evaluator_;
  TExprIndexProvider& provider_;
  const TExprRecord* constants_;
  TExprRecordSet universe_;
  bool haveUniverse_ = false;
};

}  // namespace

TExprIndexAnswer AnswerFromIndexes(const TExprNode& node, const TExprEvaluator& evaluator,
                                   TExprIndexProvider& provider, const TExprRecord* constants) {
  return TPlanner(evaluator, provider, constants).Answer(node);
}

}  // namespace quellor
