#include "store/btree/IndexCursor.h"

#include <gtest/gtest.h>

#include <cstring>

#include "IndexTestSupport.h"
#include "store/btree/IndexFile.h"

using namespace quellor;
using namespace quellor::test;

namespace {

// A table with a 100-character string field and a non-unique index on it: with the suffix
// the leaves hold 38 entries, so a few hundred records make a tree of three levels.
class IndexCursorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options_.tableName = "c.DAT";
    CreateIndexFile(file_, fields_, nullptr, options_);
    index_ = std::make_unique<TIndexFile>(file_, fields_, options_);
    TIndexDesc d;
    d.name = "ByS";
    d.fieldNumbers = {1};
    index_->AddSecondaryIndex(d, nullptr);
    tree_ = index_->FindIndex("bys");
  }
  std::vector<uint8_t> Record(const std::string& s) {
    std::vector<uint8_t> r(static_cast<size_t>(RecordSizeOf(fields_)), 0);
    r[fields_[0].offset] = 1;
    std::memcpy(&r[fields_[0].offset + 1], s.data(), s.size());
    return r;
  }
  // Records 1..n with the values v000, v001, ... in insertion order (recNo = id = i + 1).
  void Fill(int n) {
    for (int i = 0; i < n; ++i) Add(i + 1, Value(i));
  }
  void Add(int32_t id, const std::string& s) { index_->InsertRecord(Record(s), id, id); }
  void Remove(int32_t id, const std::string& s) { index_->DeleteRecord(Record(s), id, id); }
  static std::string Value(int i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "v%03d", i);
    return buf;
  }
  // A search key: null flag and text, no suffix.
  std::vector<uint8_t> SearchKey(const std::string& s) {
    std::vector<uint8_t> k(1 + s.size());
    k[0] = 1;
    std::memcpy(k.data() + 1, s.data(), s.size());
    return k;
  }

  std::vector<TFieldDesc> fields_ = LayOutFields({Field("S", TStoreFieldType::String, 100)});
  TIndexFileOptions options_;
  TBufferFile file_;
  std::unique_ptr<TIndexFile> index_;
  TIndexTree* tree_ = nullptr;
};

}  // namespace

TEST_F(IndexCursorTest, EmptyIndex) {
  TIndexCursor c(*tree_);
  EXPECT_TRUE(c.Bof());
  EXPECT_FALSE(c.First());
  EXPECT_FALSE(c.Last());
  EXPECT_FALSE(c.Next());
  EXPECT_FALSE(c.Seek(SearchKey("a")));
  EXPECT_EQ(c.Count(), 0);
  EXPECT_EQ(c.Position(), -1);
}

TEST_F(IndexCursorTest, WalksBothWaysAndKnowsPositions) {
  const int n = 700;
  Fill(n);
  TIndexCursor c(*tree_);
  EXPECT_EQ(c.Count(), n);
  int i = 0;
  for (bool on = c.First(); on; on = c.Next(), ++i) {
    ASSERT_EQ(c.RecNo(), i + 1);
    ASSERT_EQ(c.Position(), i);
  }
  EXPECT_EQ(i, n);
  EXPECT_TRUE(c.Eof());
  EXPECT_TRUE(c.Prior());  // from after the end: the last entry
  EXPECT_EQ(c.RecNo(), n);
  for (i = n - 1; c.Prior();) --i;
  EXPECT_EQ(i, 0);
  EXPECT_TRUE(c.Bof());
  EXPECT_TRUE(c.Next());
  EXPECT_EQ(c.RecNo(), 1);
  ASSERT_TRUE(c.GoTo(345));
  EXPECT_EQ(c.RecNo(), 346);
  EXPECT_FALSE(c.GoTo(n));
  EXPECT_TRUE(c.Eof());
}

TEST_F(IndexCursorTest, SeekFindsFirstNotBelowAndPrefixes) {
  Fill(300);
  Add(1000, "v100");  // an equal value comes after the first one (insertion order)
  TIndexCursor c(*tree_);
  EXPECT_TRUE(c.Seek(SearchKey("v100")));
  EXPECT_EQ(c.RecNo(), 101);
  EXPECT_TRUE(c.Next());
  EXPECT_EQ(c.RecNo(), 1000);
  EXPECT_FALSE(c.Seek(SearchKey("v100a")));  // not there: stands on the next value
  EXPECT_EQ(c.RecNo(), 102);
  EXPECT_TRUE(c.Seek(SearchKey("v2")));  // a prefix
  EXPECT_EQ(c.RecNo(), 201);
  EXPECT_EQ(c.Position(), 201);
  EXPECT_FALSE(c.Seek(SearchKey("w")));
  EXPECT_TRUE(c.Eof());
}

TEST_F(IndexCursorTest, RangeLimitsWalkCountAndPositions) {
  Fill(500);
  TIndexCursor c(*tree_);
  c.SetRange(SearchKey("v12"), SearchKey("v13"));  // v120 .. v139
  EXPECT_EQ(c.Count(), 20);
  ASSERT_TRUE(c.First());
  EXPECT_EQ(c.RecNo(), 121);
  EXPECT_EQ(c.Position(), 0);
  ASSERT_TRUE(c.Last());
  EXPECT_EQ(c.RecNo(), 140);
  EXPECT_EQ(c.Position(), 19);
  EXPECT_FALSE(c.Next());
  EXPECT_TRUE(c.Eof());
  ASSERT_TRUE(c.First());
  EXPECT_FALSE(c.Prior());
  EXPECT_TRUE(c.Bof());
  EXPECT_FALSE(c.Seek(SearchKey("v0")));  // below the range: on its first entry, no match
  EXPECT_EQ(c.RecNo(), 121);
  EXPECT_FALSE(c.Seek(SearchKey("v2")));
  ASSERT_TRUE(c.GoTo(5));
  EXPECT_EQ(c.RecNo(), 126);
  c.SetRange(SearchKey("x"), {});
  EXPECT_EQ(c.Count(), 0);
  EXPECT_FALSE(c.First());
  c.ClearRange();
  EXPECT_EQ(c.Count(), 500);
}

TEST_F(IndexCursorTest, KeepsItsPlaceWhileTheTreeChanges) {
  Fill(400);
  TIndexCursor c(*tree_);
  ASSERT_TRUE(c.GoTo(200));
  EXPECT_EQ(c.RecNo(), 201);
  // Deleting the current entry: Next goes to the one after it, Prior to the one before.
  Remove(201, Value(200));
  EXPECT_TRUE(c.Next());
  EXPECT_EQ(c.RecNo(), 202);
  EXPECT_EQ(c.Position(), 200);
  Remove(202, Value(201));
  EXPECT_TRUE(c.Prior());
  EXPECT_EQ(c.RecNo(), 200);
  // Inserts before the cursor move its position, not its entry.
  for (int i = 0; i < 50; ++i) Add(1000 + i, "a" + std::to_string(i));
  EXPECT_EQ(c.RecNo(), 200);
  EXPECT_EQ(c.Position(), 249);
  EXPECT_TRUE(c.Next());
  EXPECT_EQ(c.RecNo(), 203);
  // Deleting everything: the cursor runs out.
  for (int i = 0; i < 400; ++i)
    if (i != 200 && i != 201) Remove(i + 1, Value(i));
  for (int i = 0; i < 50; ++i) Remove(1000 + i, "a" + std::to_string(i));
  EXPECT_EQ(tree_->Desc().rootPage, 0);
  EXPECT_FALSE(c.Next());
  EXPECT_FALSE(c.First());
}
