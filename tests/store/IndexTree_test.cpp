#include "store/btree/IndexTree.h"

#include <gtest/gtest.h>

#include "IndexTestSupport.h"
#include "store/api/StoreError.h"
#include "store/btree/IndexCursor.h"
#include "store/btree/IndexFile.h"
#include "store/format/IndexBytes.h"

using namespace quellor;
using namespace quellor::test;

namespace {

// A table with one integer field and one 200-character string field: the string keys are
// long, so pages hold few entries and trees grow deep quickly.
struct TTable {
  std::vector<TFieldDesc> fields = LayOutFields(
      {Field("N", TStoreFieldType::Integer), Field("S", TStoreFieldType::String, 200)});
  int recordSize = RecordSizeOf(fields);

  std::vector<uint8_t> Record(int32_t n, const std::string& s) const {
    std::vector<uint8_t> r(static_cast<size_t>(recordSize), 0);
    r[fields[0].offset] = 1;
    std::memcpy(&r[fields[0].offset + 1], &n, 4);
    r[fields[1].offset] = 1;
    std::memcpy(&r[fields[1].offset + 1], s.data(), std::min<size_t>(s.size(), 200));
    return r;
  }
};

TIndexDesc Desc(std::string name, std::vector<uint16_t> fields, bool unique,
                TIndexCompression compression = TIndexCompression::None) {
  TIndexDesc d;
  d.name = std::move(name);
  d.fieldNumbers = std::move(fields);
  d.unique = unique;
  d.compression = compression;
  return d;
}

TIndexFileOptions Options() {
  TIndexFileOptions o;
  o.tableName = "t.DAT";
  return o;
}

// Kind of the page at `offset`, read from the file.
int KindAt(const TBufferFile& file, int32_t offset) {
  return file.bytes.at(offset);
}
int CountAt(const TBufferFile& file, int32_t offset) {
  return indexbytes::GetU16(&file.bytes.at(offset + 1));
}

}  // namespace

TEST(IndexTree, FirstInsertMakesRootLeafAndOverfillSplitsIt) {
  TTable table;
  TBufferFile file;
  CreateIndexFile(file, table.fields, nullptr, Options());
  TIndexFile index(file, table.fields, Options());
  index.AddSecondaryIndex(Desc("ByS", {2}, true), nullptr);
  TIndexTree& tree = *index.FindIndex("ByS");
  EXPECT_EQ(tree.Desc().rootPage, 0);

  index.InsertRecord(table.Record(1, "a"), 1, 1);
  index.WriteChanges();
  int32_t root = tree.Desc().rootPage;
  ASSERT_NE(root, 0);
  EXPECT_EQ(KindAt(file, root), 3);
  EXPECT_EQ(CountAt(file, root), 1);

  const int capacity = tree.Format().LeafCapacity();  // 4083 / (202 + 6) = 19
  ASSERT_EQ(capacity, 19);
  for (int i = 2; i <= capacity; ++i)
    index.InsertRecord(table.Record(i, std::string(1, static_cast<char>('a' + i - 1))), i, i);
  index.WriteChanges();
  EXPECT_EQ(tree.Desc().rootPage, root);
  EXPECT_EQ(KindAt(file, root), 3);
  EXPECT_EQ(CountAt(file, root), capacity);

  index.InsertRecord(table.Record(99, "zz"), 99, 99);
  index.WriteChanges();
  root = tree.Desc().rootPage;
  ASSERT_EQ(KindAt(file, root), 0);
  ASSERT_EQ(CountAt(file, root), 2);
  const uint8_t* entries = &file.bytes[root + 13];
  int32_t left = indexbytes::GetI32(entries + 202);
  int32_t leftCount = indexbytes::GetI32(entries + 206);
  int32_t right = indexbytes::GetI32(entries + 210 + 202);
  int32_t rightCount = indexbytes::GetI32(entries + 210 + 206);
  EXPECT_EQ(KindAt(file, left), 2);
  EXPECT_EQ(KindAt(file, right), 2);
  EXPECT_EQ(leftCount, 10);  // the old page keeps the first ceil(20 / 2)
  EXPECT_EQ(rightCount, 10);
  EXPECT_EQ(indexbytes::GetI32(&file.bytes[left + 7]), right);
  EXPECT_EQ(indexbytes::GetI32(&file.bytes[right + 3]), left);
  EXPECT_EQ(tree.Count(), 20);
  EXPECT_TRUE(tree.Verify().empty());
}

TEST(IndexTree, RebalanceSharesOrJoinsByHalfTheCapacity) {
  // Leaves of capacity 19: a leaf with fewer than 19 / 2 = 9 entries is rebalanced with its
  // neighbour, joined when the two hold fewer than 19 together, else shared evenly.
  TTable table;
  TBufferFile file;
  CreateIndexFile(file, table.fields, nullptr, Options());
  TIndexFile index(file, table.fields, Options());
  index.AddSecondaryIndex(Desc("ByS", {2}, true), nullptr);
  TIndexTree& tree = *index.FindIndex("ByS");
  auto rootCounts = [&] {
    index.WriteChanges();
    int32_t root = tree.Desc().rootPage;
    std::vector<int> counts;
    if (KindAt(file, root) == 3) return std::vector<int>{-CountAt(file, root)};
    for (int i = 0; i < CountAt(file, root); ++i)
      counts.push_back(indexbytes::GetI32(&file.bytes[root + 13 + i * 210 + 206]));
    return counts;
  };
  auto name = [](int i) { return "k" + std::to_string(100 + i); };
  for (int i = 0; i < 20; ++i) index.InsertRecord(table.Record(i, name(i)), i + 1, i + 1);
  EXPECT_EQ(rootCounts(), (std::vector<int>{10, 10}));
  for (int i = 0; i < 9; ++i)
    index.InsertRecord(table.Record(50 + i, name(0) + char('a' + i)), 50 + i, 50 + i);
  EXPECT_EQ(rootCounts(), (std::vector<int>{19, 10}));
  index.DeleteRecord(table.Record(19, name(19)), 20, 20);
  EXPECT_EQ(rootCounts(), (std::vector<int>{19, 9}));
  index.DeleteRecord(table.Record(18, name(18)), 19, 19);  // 8 left: shared as 14 and 13
  EXPECT_EQ(rootCounts(), (std::vector<int>{14, 13}));
  EXPECT_TRUE(tree.Verify().empty());
  // Down to 18 together: joined into the previous page, and the root gives way to it.
  for (int i = 0; i < 9; ++i)
    index.DeleteRecord(table.Record(50 + i, name(0) + char('a' + i)), 50 + i, 50 + i);
  EXPECT_EQ(rootCounts(), (std::vector<int>{-18}));
  EXPECT_EQ(tree.FreePages().size(), 2u);
  EXPECT_TRUE(tree.Verify().empty());
}
