// Index use for expressions: which part of a condition the table's indexes can answer, and the
// record sets they answer it with.
//
// A comparison, partial comparison, prefix LIKE, BETWEEN or IN list between the first field of
// an index and constants is answered by the index as a set of records. AND intersects the sets
// of its answered operands (an AND with only some operands answered is answered by those, the
// rest being checked per record within that set); OR unites when every operand is answered;
// NOT complements an exactly answered operand. Whatever is not answered exactly is evaluated
// record by record within the candidate set, so the result equals evaluating the whole
// condition on every record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/expr/ExprContext.h"
#include "store/expr/ExprNode.h"
#include "store/expr/ExprValue.h"

namespace quellor {

// A set of record numbers 1..Limit(), as a bitmap.
class TExprRecordSet {
 public:
  TExprRecordSet() = default;
  explicit TExprRecordSet(uint32_t limit) : limit_(limit), bits_((limit + 64) / 64, 0) {}

  uint32_t Limit() const { return limit_; }
  // Numbers above Limit() grow the set.
  void Add(uint32_t record);
  bool Contains(uint32_t record) const;
  size_t Count() const;
  void IntersectWith(const TExprRecordSet& other);
  void UniteWith(const TExprRecordSet& other);
  void Subtract(const TExprRecordSet& other);
  std::vector<uint32_t> Records() const;
  bool operator==(const TExprRecordSet& other) const { return Records() == other.Records(); }

 private:
  uint32_t limit_ = 0;
  std::vector<uint64_t> bits_;
};

// What an index is asked for.
struct TExprKeyRange {
  enum class TKind : uint8_t {
    Equal,   // field = low; a NULL low asks for the records whose field is NULL
    Prefix,  // field begins with `prefix` (never a NULL field)
    Range,   // low <(=) field <(=) high, either bound open when absent; never a NULL field
  };
  TKind kind = TKind::Equal;
  TExprValue low, high;
  bool hasLow = false, hasHigh = false;
  bool lowInclusive = true, highInclusive = true;
  std::string prefix;
};

// The table's indexes, as the planner sees them. Values are compared as the expression
// compares them (TExprEvaluator::CompareValues under the table's text rules): numbers by value
// whatever their types, dates against timestamps at midnight, strings by the table's locale
// and, for a case-insensitive lookup, without regard to case.
class TExprIndexProvider {
 public:
  virtual ~TExprIndexProvider() = default;
  // Every active record: the universe NOT and "<>" complement against.
  virtual TExprRecordSet AllRecords() = 0;
  // Whether some index has `fieldId` as its first field and compares strings as asked (a
  // case-insensitive index for `caseInsensitive`, a case-sensitive one otherwise; the flag is
  // irrelevant to other types).
  virtual bool HasIndex(int fieldId, bool caseInsensitive) = 0;
  // The records whose field lies in `range`, exactly.
  virtual TExprRecordSet Lookup(int fieldId, bool caseInsensitive, const TExprKeyRange& range) = 0;
};

// Reads records for the per-record part of a selection. The reference stays valid until the
// next call.
class TExprRecordReader {
 public:
  virtual ~TExprRecordReader() = default;
  virtual const TExprRecord& Read(uint32_t record) = 0;
};

// What a selection did, for tests and diagnostics.
struct TExprSelectStats {
  bool usedIndex = false;  // some part was answered by an index
  bool exact = false;      // the index answered everything: no record was read
  size_t recordsRead = 0;  // records evaluated one by one
};

class TExprEvaluator;

// The part of condition `node` the indexes answer: `answered` with `set` a superset of the
// matching records (`exact`: precisely them), or nothing. `constants` supplies parameter values
// (may be null).
struct TExprIndexAnswer {
  bool answered = false;
  bool exact = false;
  TExprRecordSet set;
};
TExprIndexAnswer AnswerFromIndexes(const TExprNode& node, const TExprEvaluator& evaluator,
                                   TExprIndexProvider& provider, const TExprRecord* constants);

}  // namespace quellor
