#include "store/expr/ExprFilter.h"

#include "store/api/StoreError.h"
#include "store/expr/ExprParser.h"

namespace quellor {

TExprFilter::TExprFilter(std::string_view text, const TExprSettings& settings)
    : text_(text),
      settings_(settings),
      rules_(std::make_unique<TExprTextRules>(settings.languageId, settings.codePage)),
      evaluator_(std::make_unique<TExprEvaluator>(settings_, *rules_)) {}

std::unique_ptr<TExprFilter> TExprFilter::CompileOrThrow(std::string_view text,
                                                         const TExprScope& scope,
                                                         const TExprSettings& settings) {
  std::unique_ptr<TExprFilter> filter(new TExprFilter(text, settings));
  filter->root_ = CompileCondition(text, scope, filter->settings_, *filter->evaluator_);
  return filter;
}

std::unique_ptr<TExprFilter> TExprFilter::Compile(std::string_view text, const TExprScope& scope,
                                                  const TExprSettings& settings,
                                                  const std::string& tableName) {
  std::unique_ptr<TExprFilter> filter;
  try {
    filter = CompileOrThrow(text, scope, settings);
  } catch (const EExprError& e) {
    throw EStoreEngineError(StoreCode::FilterError, {tableName, e.what()});
  }
  filter->tableName_ = tableName;
  filter->engineErrors_ = true;
  return filter;
}

void TExprFilter::Failed(const EExprError& e) const {
  if (!engineErrors_) throw e;
  throw EStoreEngineError(StoreCode::FilterError, {tableName_, e.what()});
}

bool TExprFilter::Matches(const TExprRecord& record) const {
  try {
    return evaluator_->Test(*root_, &record);
  } catch (const EExprError& e) {
    Failed(e);
  }
}

TExprRecordSet TExprFilter::Select(TExprIndexProvider& indexes, TExprRecordReader& reader,
                                   TExprSelectStats* stats) const {
  TExprSelectStats local;
  TExprSelectStats& s = stats ? *stats : local;
  s = {};
  TExprIndexAnswer answer;
  try {
    answer = AnswerFromIndexes(*root_, *evaluator_, indexes, nullptr);
  } catch (const EExprError& e) {
    Failed(e);
  }
  s.usedIndex = answer.answered;
  s.exact = answer.answered && answer.exact;
  if (s.exact) return std::move(answer.set);
  TExprRecordSet candidates = answer.answered ? std::move(answer.set) : indexes.AllRecords();
  TExprRecordSet out(candidates.Limit());
  for (uint32_t record : candidates.Records()) {
    ++s.recordsRead;
    if (Matches(reader.Read(record))) out.Add(record);
  }
  return out;
}

}  // namespace quellor
