// A compiled filter expression of a table: the unit the table's Filter/FilterOptions compile
// and Filtered applies.
//
//   TExprSettings settings;                 // options, language id, formats of the session
//   TExprTableScope scope("cracks.DAT", fields);
//   auto filter = TExprFilter::Compile("Killed = False And Priority = 2", scope, settings,
//                                      "cracks.DAT");         // EStoreEngineError 10051
//   filter->Matches(record);                // one record
//   filter->Select(indexes, reader);        // every passing record, using indexes
//
// A compiled filter is immutable; it may be used by one thread at a time per record object.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "store/expr/ExprContext.h"
#include "store/expr/ExprEval.h"
#include "store/expr/ExprIndex.h"
#include "store/expr/ExprNode.h"
#include "store/expr/ExprText.h"

namespace quellor {

class TExprFilter {
 public:
  // Compiles `text`; a failure raises EStoreEngineError 10051
  // "Filter error for table '<tableName>' - <message>". An empty text is an error here
  // ("filter expression is empty"); the table removes its filter for an empty text instead of
  // compiling it.
  static std::unique_ptr<TExprFilter> Compile(std::string_view text, const TExprScope& scope,
                                              const TExprSettings& settings,
                                              const std::string& tableName);
  // The same, failing with EExprError carrying only the message (for callers that report
  // under another code).
  static std::unique_ptr<TExprFilter> CompileOrThrow(std::string_view text, const TExprScope& scope,
                                                     const TExprSettings& settings);

  TExprFilter(const TExprFilter&) = delete;
  TExprFilter& operator=(const TExprFilter&) = delete;

  // Whether the record passes. An evaluation that fails (an integer overflow, ExprEval.h)
  // raises 10051 with the table name, or EExprError for a filter made by CompileOrThrow.
  bool Matches(const TExprRecord& record) const;

  // Every record that passes: the part the indexes answer comes from `indexes`, the rest is
  // read through `reader` and evaluated. Same result as Matches on every record.
  TExprRecordSet Select(TExprIndexProvider& indexes, TExprRecordReader& reader,
                        TExprSelectStats* stats = nullptr) const;

  const std::string& Text() const { return text_; }
  const TExprSettings& Settings() const { return settings_; }
  const TExprNode& Root() const { return *root_; }
  const TExprEvaluator& Evaluator() const { return *evaluator_; }

 private:
  TExprFilter(std::string_view text, const TExprSettings& settings);

  // Raises a failed evaluation as Compile raises a compile error.
  [[noreturn]] void Failed(const EExprError& e) const;

  std::string text_;
  std::string tableName_;
  bool engineErrors_ = false;  // made by Compile: failures are EStoreEngineError 10051
  TExprSettings settings_;
  std::unique_ptr<TExprTextRules> rules_;
  std::unique_ptr<TExprEvaluator> evaluator_;
  TExprNodePtr root_;
};

}  // namespace quellor
