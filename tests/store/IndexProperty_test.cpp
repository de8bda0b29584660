// Random inserts, updates and deletes on a table with several indexes, checked against a
// sorted model after every few hundred steps: the in-order walk of every index, its count, the
// position of every key, and the tree's own rules (kinds, links, parent keys, counts).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>

#include "IndexTestSupport.h"
#include "store/api/StoreError.h"
#include "store/btree/IndexCursor.h"
#include "store/btree/IndexFile.h"
#include "store/btree/KeyCompare.h"

using namespace quellor;
using namespace quellor::test;

namespace {

struct TRow {
  std::vector<uint8_t> record;
  int32_t logicalId = 0;
};

class TModelTable {
 public:
  explicit TModelTable(uint16_t languageId) : languageId_(languageId) {
    fields_ = LayOutFields(
        {Field("Id", TStoreFieldType::Integer), Field("Name", TStoreFieldType::String, 24),
         Field("Num", TStoreFieldType::SmallInt), Field("Amount", TStoreFieldType::Float),
         Field("Code", TStoreFieldType::String, 250), Field("Flag", TStoreFieldType::Boolean),
         Field("U", TStoreFieldType::UInt32)});
    recordSize_ = RecordSizeOf(fields_);
    options_.tableName = "prop.DAT";
    options_.languageId = languageId;
    TIndexDesc primary;
    primary.fieldNumbers = {1};
    CreateIndexFile(file_, fields_, &primary, options_);
    Open();
    auto add = [&](const char* name, std::vector<uint16_t> numbers, bool unique,
                   TIndexCompression compression, bool descending, bool caseInsensitive,
                   std::vector<bool> fieldDescending) {
      TIndexDesc d;
      d.name = name;
      d.fieldNumbers = std::move(numbers);
      d.unique = unique;
      d.compression = compression;
      d.descending = descending;
      d.caseInsensitive = caseInsensitive;
      d.fieldDescending = std::move(fieldDescending);
      index_->AddSecondaryIndex(d, nullptr);
    };
    add("ByName", {2}, false, TIndexCompression::Full, false, true, {});
    add("ByNumAmount", {3, 4}, false, TIndexCompression::DupByte, true, false, {});
    add("ByCode", {5, 3}, true, TIndexCompression::TrailByte, false, false, {false, true});
    add("ByFlagName", {6, 2}, false, TIndexCompression::None, false, false, {true, false});
    add("ByU", {7}, false, TIndexCompression::Full, false, false, {});
    index_->WriteChanges();
  }

  void Open() { index_ = std::make_unique<TIndexFile>(file_, fields_, options_); }

  std::vector<TIndexTree*> Trees() {
    std::vector<TIndexTree*> trees{index_->Primary()};
    for (int i = 0; i < index_->SecondaryCount(); ++i) trees.push_back(&index_->Secondary(i));
    return trees;
  }

  std::vector<uint8_t> RandomRecord(std::mt19937& rng) {
    static const char* kNames[] = {"anna",
                                   "Anna",
                                   "ANNA",
                                   "\xC3\x81nna",
                                   "bob",
                                   "Bob",
                                   "co-op",
                                   "coop",
                                   "zo\xC3\xAB",
                                   "zoe",
                                   "",
                                   "anna-lena",
                                   "\xC3\xBC"
                                   "ber",
                                   "uber",
                                   "Zack"};
    std::vector<uint8_t> r(static_cast<size_t>(recordSize_), 0);
    auto put = [&](int field, const void* value, size_t size, bool maybeNull) {
      const TFieldDesc& f = fields_[static_cast<size_t>(field)];
      if (maybeNull && rng() % 10 == 0) return;
      r[f.offset] = 1;
      std::memcpy(&r[f.offset + 1], value, std::min<size_t>(size, f.width));
    };
    int32_t id = static_cast<int32_t>(rng() % 100000) - 50000;
    put(0, &id, 4, false);
    std::string name = kNames[rng() % std::size(kNames)];
    if (rng() % 3 == 0) name += std::to_string(rng() % 20);
    put(1, name.data(), name.size(), true);
    int16_t num = static_cast<int16_t>(static_cast<int>(rng() % 41) - 20);
    put(2, &num, 2, true);
    double amount = (static_cast<int>(rng() % 201) - 100) / 4.0;
    put(3, &amount, 8, true);
    std::string code = "code-" + std::to_string(rng() % 600);
    if (rng() % 4 == 0) code += std::string(rng() % 200, 'x');
    put(4, code.data(), code.size(), true);
    uint16_t flag = rng() % 2;
    put(5, &flag, 2, true);
    uint32_t u = rng() % 5 == 0 ? 256u * (rng() % 4) : rng() % 300;
    put(6, &u, 4, true);
    return r;
  }

  // Whether `record` (as record `recNo`) would duplicate a key of a unique index, by the
  // model: the index's comparison over the whole key.
  std::string DuplicateIn(const std::vector<uint8_t>& record, int32_t recNo, int32_t logicalId) {
    for (TIndexTree* t : Trees()) {
      if (!t->Layout().Unique()) continue;
      auto key = t->Layout().BuildKey(record.data(), recordSize_, logicalId, "");
      for (const auto& [other, row] : rows_) {
        if (other == recNo) continue;
        auto k = t->Layout().BuildKey(row.record.data(), recordSize_, row.logicalId, "");
        if (t->Comparer().Compare(k.data(), key.data(), t->KeySize()) == 0)
          return TIndexFile::DisplayName(*t);
      }
    }
    return {};
  }

  void Insert(std::mt19937& rng) {
    int32_t recNo = freeRecNos_.empty() ? nextRecNo_++ : freeRecNos_.back();
    TRow row{RandomRecord(rng), ++lastId_};
    std::string dup = DuplicateIn(row.record, recNo, row.logicalId);
    try {
      index_->InsertRecord(row.record, recNo, row.logicalId);
      ASSERT_EQ(dup, "") << "insert should have failed";
    } catch (const EStoreEngineError& e) {
      ASSERT_EQ(e.ErrorCode(), StoreCode::DuplicateKey) << e.what();
      ASSERT_EQ(e.Errors()[0].Message,
                "Duplicate key found in index '" + dup + "' of table 'prop.DAT'");
      return;
    }
    if (!freeRecNos_.empty() && freeRecNos_.back() == recNo) freeRecNos_.pop_back();
    rows_[recNo] = row;
  }

  void Update(std::mt19937& rng) {
    if (rows_.empty()) return;
    auto it = std::next(rows_.begin(), static_cast<ptrdiff_t>(rng() % rows_.size()));
    std::vector<uint8_t> fresh = RandomRecord(rng);
    if (rng() % 2) {  // keep some fields, so that only some keys change
      for (int f : {0, 4}) {
        const TFieldDesc& d = fields_[static_cast<size_t>(f)];
        std::memcpy(&fresh[d.offset], &it->second.record[d.offset], d.width + 1u);
      }
    }
    std::string dup = DuplicateIn(fresh, it->first, it->second.logicalId);
    try {
      index_->UpdateRecord(it->second.record, fresh, it->first, it->second.logicalId);
      ASSERT_EQ(dup, "") << "update should have failed";
    } catch (const EStoreEngineError& e) {
      ASSERT_EQ(e.ErrorCode(), StoreCode::DuplicateKey) << e.what();
      return;
    }
    it->second.record = fresh;
  }

  void Delete(int32_t recNo) {
    const TRow& row = rows_.at(recNo);
    index_->DeleteRecord(row.record, recNo, row.logicalId);
    rows_.erase(recNo);
    freeRecNos_.push_back(recNo);
  }
  void DeleteRandom(std::mt19937& rng) {
    if (rows_.empty()) return;
    Delete(std::next(rows_.begin(), static_cast<ptrdiff_t>(rng() % rows_.size()))->first);
  }

  void Check() {
    for (TIndexTree* t : Trees()) {
      SCOPED_TRACE(TIndexFile::DisplayName(*t));
      const int ks = t->KeySize();
      std::vector<std::pair<std::vector<uint8_t>, int32_t>> expected;
      for (const auto& [recNo, row] : rows_)
        expected.emplace_back(
            t->Layout().BuildKey(row.record.data(), recordSize_, row.logicalId, ""), recNo);
      std::sort(expected.begin(), expected.end(), [&](const auto& a, const auto& b) {
        return t->Comparer().Compare(a.first.data(), b.first.data(), ks) < 0;
      });
      TIndexCursor cursor(*t);
      std::vector<std::pair<std::vector<uint8_t>, int32_t>> walked;
      for (bool on = cursor.First(); on && walked.size() <= expected.size(); on = cursor.Next())
        walked.emplace_back(cursor.Key(), cursor.RecNo());
      ASSERT_EQ(walked, expected);
      ASSERT_EQ(t->Count(), static_cast<int64_t>(expected.size()));
      ASSERT_EQ(cursor.Count(), static_cast<int64_t>(expected.size()));
      for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_TRUE(cursor.Seek(expected[i].first));
        ASSERT_EQ(cursor.Position(), static_cast<int64_t>(i));
        ASSERT_EQ(cursor.RecNo(), expected[i].second);
      }
      // Backwards as well.
      size_t back = expected.size();
      for (bool on = cursor.Last(); on; on = cursor.Prior()) {
        ASSERT_GT(back, 0u);
        --back;
        ASSERT_EQ(cursor.RecNo(), expected[back].second);
      }
      ASSERT_EQ(back, 0u);
      std::vector<std::string> problems = t->Verify();
      ASSERT_TRUE(problems.empty()) << problems.front();
    }
  }

  TBufferFile file_;
  std::vector<TFieldDesc> fields_;
  int recordSize_ = 0;
  uint16_t languageId_;
  TIndexFileOptions options_;
  std::unique_ptr<TIndexFile> index_;
  std::map<int32_t, TRow> rows_;
  std::vector<int32_t> freeRecNos_;
  int32_t nextRecNo_ = 1;
  int32_t lastId_ = 0;
};

class IndexProperty : public ::testing::TestWithParam<std::tuple<uint16_t, unsigned>> {};

}  // namespace

TEST_P(IndexProperty, RandomChangesMatchSortedModel) {
  auto [languageId, seed] = GetParam();
  std::mt19937 rng(seed);
  TModelTable table(languageId);
  const int kSteps = 6000;
  for (int step = 1; step <= kSteps; ++step) {
    unsigned op = rng() % 10;
    // Grow first, then shrink, so that trees get deep and then lose pages again.
    bool growing = step < kSteps * 2 / 3;
    if (op < (growing ? 7u : 3u)) {
      table.Insert(rng);
    } else if (op < 8) {
      table.Update(rng);
    } else {
      table.DeleteRandom(rng);
    }
    if (HasFatalFailure()) return;
    if (step % 500 == 250) {
      // A batch of changes that is aborted leaves the indexes as they were.
      auto rows = table.rows_;
      auto freeRecNos = table.freeRecNos_;
      auto nextRecNo = table.nextRecNo_;
      table.index_->BeginChange();
      for (int i = 0; i < 60; ++i) {
        if (rng() % 2) {
          table.Insert(rng);
        } else {
          table.DeleteRandom(rng);
        }
      }
      if (HasFatalFailure()) return;
      table.index_->AbortChange();
      table.rows_ = rows;
      table.freeRecNos_ = freeRecNos;
      table.nextRecNo_ = nextRecNo;
      SCOPED_TRACE("after an aborted change at step " + std::to_string(step));
      table.Check();
      if (HasFatalFailure()) return;
    }
    if (step % 750 == 0) {
      SCOPED_TRACE("step " + std::to_string(step));
      table.Check();
      if (HasFatalFailure()) return;
      // What was written reads back the same.
      table.index_->WriteChanges();
      table.Open();
      table.Check();
      if (HasFatalFailure()) return;
    }
  }

  // The long keys of "ByCode" made a tree of at least three levels.
  TIndexTree::TPath path;
  table.index_->FindIndex("ByCode")->SeekPosition(0, path);
  EXPECT_GE(path.size(), 3u);

  // Deleting everything leaves every root 0 and every page on its index's free chain ...
  while (!table.rows_.empty()) table.Delete(table.rows_.begin()->first);
  table.Check();
  size_t freePages = 0;
  for (TIndexTree* t : table.Trees()) {
    EXPECT_EQ(t->Desc().rootPage, 0);
    freePages += t->FreePages().size();
  }
  const int32_t end = table.index_->EndOffset();
  EXPECT_EQ(freePages, static_cast<size_t>(end - 4096) / 4096);
  table.index_->WriteChanges();
  table.Open();
  // ... and the next inserts reuse them before the file grows.
  for (int i = 0; i < 150; ++i) table.Insert(rng);
  EXPECT_EQ(table.index_->EndOffset(), end);
  table.Check();
}

INSTANTIATE_TEST_SUITE_P(Seeds, IndexProperty,
                         ::testing::Combine(::testing::Values(uint16_t{0}, uint16_t{1031}),
                                            ::testing::Values(1u, 77u)));
