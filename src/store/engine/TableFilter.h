// What a table's filter expression runs on: the values of a record image as expression values,
// and the table's indexes as the expression's index provider.
//
//   TTableFilterAccess access(table, filter->Evaluator());
//   TExprRecordSet passing = filter->Select(access, access);
//
// An index answers a lookup on its first key field. Each entry in the key range that can hold
// matching values is checked against the condition with the evaluator's own comparison, on the
// value the key carries (or, when the key does not carry the whole value, the record's), so the
// answer is exact whatever the types of field and constant are:
//   - in a table of language id 0 an ascending index limits the walk to the keys between the
//     constants; otherwise (a descending index, a table with a language) every entry of the
//     NULL or non-NULL part is checked, still without reading records;
//   - a case-sensitive index carries string values whole and answers comparisons with and
//     without regard to case; a case-insensitive one carries them upper-cased and answers only
//     comparisons without regard to case, in a table of language id 0 (an entry whose key is
//     not plain ASCII or fills the field is checked on its record);
//   - an index whose first key field is descending on its own is not used.
#pragma once

#include <cstdint>
#include <vector>

#include "store/engine/DataTable.h"
#include "store/expr/ExprEval.h"
#include "store/expr/ExprIndex.h"

namespace quellor {

// The expression value of a field's stored bytes (the field holds a value; not a BLOB).
TExprValue StoredExprValue(const uint8_t* value, const TFieldDesc& field);

// The fields of one record image, by position in the table's field list.
class TRecordValues : public TExprRecord {
 public:
  TRecordValues(TDataTable& table, const uint8_t* image) : table_(table), image_(image) {}
  void SetImage(const uint8_t* image) { image_ = image; }
  TExprValue Value(int fieldId) const override;

 private:
  TDataTable& table_;
  const uint8_t* image_;
};

class TTableFilterAccess : public TExprIndexProvider, public TExprRecordReader {
 public:
  TTableFilterAccess(TDataTable& table, const TExprEvaluator& evaluator);

  // TExprIndexProvider
  TExprRecordSet AllRecords() override;
  bool HasIndex(int fieldId, bool caseInsensitive) override;
  TExprRecordSet Lookup(int fieldId, bool caseInsensitive, const TExprKeyRange& range) override;

  // TExprRecordReader
  const TExprRecord& Read(uint32_t record) override;

  // Index entries checked by lookups so far (for tests).
  size_t EntriesChecked() const { return entriesChecked_; }
  size_t RecordsReadForKeys() const { return recordsReadForKeys_; }

 private:
  TIndexTree* FindTree(int fieldId, bool caseInsensitive);
  // Narrows the walk for a non-NULL lookup: `low` and `high` are key prefixes.
  void Narrow(const TIndexTree& tree, const TFieldDesc& field, const TExprKeyRange& range,
              std::vector<uint8_t>& low, std::vector<uint8_t>& high) const;
  // Whether the value of an entry satisfies the range.
  bool InRange(const TExprValue& value, bool caseInsensitive, const TExprKeyRange& range) const;

  TDataTable& table_;
  const TExprEvaluator& evaluator_;
  std::vector<uint8_t> image_;
  // Read serves the records from runs of slots read in one go (64 KiB at first, doubling up to
  // 1 MiB while the records asked for follow each other): a buffer of this reading operation,
  // dropped with any change the table notes. Under the read slots on a mapped file the run is
  // not copied but looked at in place (`view`), good while the same holding of the slots
  // (`term`) lasts.
  struct TRun {
    std::vector<uint8_t> images;
    const uint8_t* view = nullptr;
    uint64_t term = 0;
    int32_t first = 0, count = 0;
    size_t bytes = 0;  // the size of the last run read
    uint64_t stamp = 0;
  } run_;
  TRecordValues record_;
  size_t entriesChecked_ = 0;
  size_t recordsReadForKeys_ = 0;
};

}  // namespace quellor
