// Test support for the expression tests: the site table's fields, records held in memory and
// a fake index provider built from sorted vectors.
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "store/expr/ExprEval.h"
#include "store/expr/ExprFilter.h"
#include "store/expr/ExprIndex.h"

namespace quellor::exprtest {

inline TFieldDesc Field(const char* name, TStoreFieldType type, int size = 0) {
  TFieldDesc f;
  f.name = name;
  f.type = type;
  f.size = static_cast<uint8_t>(size);
  return f;
}

// The site table "cracks.DAT".
inline std::vector<TFieldDesc> SiteFields() {
  using T = TStoreFieldType;
  std::vector<TFieldDesc> f = {
      Field("Url", T::String, 125),        Field("E-mails", T::String, 200),
      Field("BadE-mails", T::String, 75),  Field("IPAddr", T::String, 16),
      Field("Notes", T::String, 50),       Field("Cracks", T::Boolean),
      Field("Serialz", T::Boolean),        Field("Warez", T::Boolean),
      Field("LinksOnly", T::Boolean),      Field("Tutes", T::Boolean),
      Field("Forumz", T::Boolean),         Field("Toolz", T::Boolean),
      Field("Porn", T::Boolean),           Field("Hacks", T::Boolean),
      Field("DMCA", T::Boolean),           Field("Urls", T::String, 200),
      Field("Blessed", T::Boolean),        Field("USA", T::Boolean),
      Field("IPChanged", T::Boolean),      Field("Killed", T::Boolean),
      Field("Dead", T::Boolean),           Field("LastSent", T::TimeStamp),
      Field("LastDMCASent", T::TimeStamp), Field("Priority", T::SmallInt),
      Field("KilledBy", T::String, 1),     Field("DMCAUrls", T::Blob),
  };
  f.back().subtype = StoreSubtype::Binary;
  return f;
}

// A record of values by field position; missing values are NULL.
class TMemRecord : public TExprRecord {
 public:
  TMemRecord() = default;
  explicit TMemRecord(size_t fields) : values_(fields) {}
  TExprValue Value(int fieldId) const override {
    return fieldId >= 0 && static_cast<size_t>(fieldId) < values_.size() ? values_[fieldId]
                                                                         : TExprValue::Null();
  }
  void Set(int fieldId, TExprValue v) {
    if (static_cast<size_t>(fieldId) >= values_.size()) values_.resize(fieldId + 1);
    values_[fieldId] = std::move(v);
  }

 private:
  std::vector<TExprValue> values_;
};

// Records 1..n in memory; index i of the vector is record i + 1.
class TMemTable : public TExprRecordReader {
 public:
  std::vector<TMemRecord> records;
  const TExprRecord& Read(uint32_t record) override { return records.at(record - 1); }
};

// Indexes on chosen fields: each a vector of (value, record) sorted by the expression's own
// comparison, NULLs first, searched by binary search.
class TFakeIndexes : public TExprIndexProvider {
 public:
  TFakeIndexes(const TMemTable& table, const TExprEvaluator& evaluator)
      : table_(table), evaluator_(evaluator) {}

  void AddIndex(int fieldId, bool caseInsensitive) {
    auto& entries = indexes_[{fieldId, caseInsensitive}];
    for (size_t i = 0; i < table_.records.size(); ++i)
      entries.push_back({table_.records[i].Value(fieldId), static_cast<uint32_t>(i + 1)});
    for (auto& e : entries)
      if (!e.value.isNull && IsTextType(e.value.type) && e.value.text.empty())
        e.value.isNull = true;
    std::stable_sort(entries.begin(), entries.end(), [&](const TEntry& a, const TEntry& b) {
      return Less(a.value, b.value, caseInsensitive);
    });
  }

  TExprRecordSet AllRecords() override {
    TExprRecordSet all(static_cast<uint32_t>(table_.records.size()));
    for (uint32_t r = 1; r <= table_.records.size(); ++r) all.Add(r);
    return all;
  }
  bool HasIndex(int fieldId, bool caseInsensitive) override {
    return indexes_.count({fieldId, caseInsensitive}) > 0;
  }
  TExprRecordSet Lookup(int fieldId, bool ci, const TExprKeyRange& range) override {
    ++lookups;
    const auto& entries = indexes_.at({fieldId, ci});
    TExprRecordSet out(static_cast<uint32_t>(table_.records.size()));
    using K = TExprKeyRange::TKind;
    auto lower = entries.begin(), upper = entries.end();
    auto cmp = [&](const TExprValue& a, const TExprValue& b) { return Less(a, b, ci); };
    if (range.kind == K::Equal) {
      auto [lo, hi] =
          std::equal_range(entries.begin(), entries.end(), TEntry{range.low, 0},
                           [&](const TEntry& a, const TEntry& b) { return cmp(a.value, b.value); });
      lower = lo;
      upper = hi;
    } else if (range.kind == K::Prefix) {
      // Keys with the prefix form one run starting at the prefix itself.
      TExprValue p = TExprValue::Text(range.prefix);
      lower = std::partition_point(entries.begin(), entries.end(), [&](const TEntry& e) {
        return e.value.isNull || (!range.prefix.empty() && cmp(e.value, p));
      });
      upper = std::partition_point(lower, entries.end(), [&](const TEntry& e) {
        return evaluator_.Text().StartsWith(e.value.text, range.prefix, ci);
      });
    } else {
      lower = std::partition_point(entries.begin(), entries.end(), [&](const TEntry& e) {
        if (e.value.isNull) return true;
        if (!range.hasLow) return false;
        int c = evaluator_.CompareValues(e.value, range.low, ci);
        return range.lowInclusive ? c < 0 : c <= 0;
      });
      upper = std::partition_point(lower, entries.end(), [&](const TEntry& e) {
        if (!range.hasHigh) return true;
        int c = evaluator_.CompareValues(e.value, range.high, ci);
        return range.highInclusive ? c <= 0 : c < 0;
      });
    }
    for (auto it = lower; it < upper; ++it) out.Add(it->record);
    return out;
  }

  int lookups = 0;

 private:
  struct TEntry {
    TExprValue value;
    uint32_t record;
  };
  bool Less(const TExprValue& a, const TExprValue& b, bool ci) const {
    if (a.isNull || b.isNull) return a.isNull && !b.isNull;
    return evaluator_.CompareValues(a, b, ci) < 0;
  }

  const TMemTable& table_;
  const TExprEvaluator& evaluator_;
  std::map<std::pair<int, bool>, std::vector<TEntry>> indexes_;
};

}  // namespace quellor::exprtest
