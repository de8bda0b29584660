// BLOB values: block chains, reuse of freed blocks, ids, and damaged chains.
#include "store/format/BlobFile.h"

#include <gtest/gtest.h>

#include "store/StoreTestTables.h"
#include "store/api/StoreTb.h"
#include "store/format/ByteOrder.h"
#include "support/TempDir.h"

using namespace quellor;
using namespace quellor::test;
using namespace quellor::bytes;

namespace {

constexpr int kBlock = 512;
constexpr int kData = kBlock - 18;

// A table "b" with a key-less primary index, a string and a BLOB field.
struct BlobTable {
  TempDir dir;
  TStoreTable table;

  BlobTable() {
    Bind(table, dir, "b");
    table.FieldDefs().Add("Name", TFieldType::String, 10);
    table.FieldDefs().Add("Data", TFieldType::Blob);
    table.CreateTable();
    table.Open();
  }
  void Add(const std::string& name, const std::string& data) {
    table.Append();
    table.FieldByName("Name").SetAsString(name);
    table.FieldByName("Data").SetAsString(data);
    table.Post();
  }
  int64_t BlobFileSize() {
    table.FlushToDisk();
    return static_cast<int64_t>(ReadFileBytes(dir.file("b.BLB")).size());
  }
  // The record's first block offset and BLOB id, read from the file.
  std::pair<int32_t, int32_t> Reference(int slot) {
    table.FlushToDisk();
    std::string dat = ReadFileBytes(dir.file("b.DAT"));
    size_t record = 127 + 2 * 768 + static_cast<size_t>(slot - 1) * (9 + 12 + 9);
    auto* p = reinterpret_cast<const uint8_t*>(dat.data()) + record + 9 + 12 + 1;
    return {GetI32(p), GetI32(p + 4)};
  }
};

uint16_t ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EStoreEngineError& e) {
    return e.ErrorCode();
  }
  return 0;
}

TEST(BlobFile, ValueOfBlockDataSizeTakesOneBlockAndOneMoreByteTwo) {
  struct Case {
    size_t length;
    int64_t blocks;
  };
  for (Case c : {Case{1, 1}, Case{kData, 1}, Case{kData + 1, 2}, Case{3 * kData, 3}}) {
    SCOPED_TRACE(c.length);
    BlobTable t;
    EXPECT_EQ(t.BlobFileSize(), 512);
    t.Add("x", std::string(c.length, 'v'));
    EXPECT_EQ(t.BlobFileSize(), 512 + c.blocks * kBlock);
    t.table.Refresh();
    EXPECT_EQ(t.table.FieldByName("Data").AsString(), std::string(c.length, 'v'));
  }
}

TEST(BlobFile, BlocksCarryLinksUsedCountsIdAndTotalLength) {
  BlobTable t;
  t.Add("x", std::string(kData + 10, 'q'));
  auto [first, id] = t.Reference(1);
  EXPECT_EQ(first, 512);
  EXPECT_EQ(id, 1);
  std::string blb = ReadFileBytes(t.dir.file("b.BLB"));
  auto* h = reinterpret_cast<const uint8_t*>(blb.data());
  EXPECT_EQ(h[8], 4);
  EXPECT_EQ(GetI32(h + 9), 0);      // free chain
  EXPECT_EQ(GetI32(h + 13), 1536);  // end offset
  const uint8_t* b0 = h + 512;
  const uint8_t* b1 = h + 1024;
  EXPECT_EQ(GetI32(b0 + 0), 0);
  EXPECT_EQ(GetI32(b0 + 4), 1024);
  EXPECT_EQ(GetU16(b0 + 8), kData);
  EXPECT_EQ(GetI32(b0 + 10), 1);
  EXPECT_EQ(GetI32(b0 + 14), kData + 10);
  EXPECT_EQ(GetI32(b1 + 0), 512);
  EXPECT_EQ(GetI32(b1 + 4), 0);
  EXPECT_EQ(GetU16(b1 + 8), 10);
  EXPECT_EQ(GetI32(b1 + 14), 0);
}

TEST(BlobFile, ShorterRewriteKeepsFirstBlocksFreesTheRestAndTheyAreReusedFirst) {
  BlobTable t;
  t.Add("a", std::string(3 * kData, 'a'));
  auto [first, id] = t.Reference(1);
  ASSERT_EQ(t.BlobFileSize(), 512 + 3 * kBlock);

  t.table.First();
  t.table.Edit();
  t.table.FieldByName("Data").SetAsString("short");
  t.table.Post();
  auto [newFirst, newId] = t.Reference(1);
  EXPECT_EQ(newFirst, first);  // the first block is kept
  EXPECT_NE(newId, id);        // every write gives a new id
  std::string blb = ReadFileBytes(t.dir.file("b.BLB"));
  auto* h = reinterpret_cast<const uint8_t*>(blb.data());
  EXPECT_NE(GetI32(h + 9), 0);        // the freed blocks head the free chain
  EXPECT_EQ(GetI32(h + 512 + 4), 0);  // the kept block is now the last one

  t.Add("b", std::string(2 * kData, 'b'));  // takes the two freed blocks, the file stays
  EXPECT_EQ(t.BlobFileSize(), 512 + 3 * kBlock);
  t.Add("c", std::string(1, 'c'));  // nothing free any more: the file grows
  EXPECT_EQ(t.BlobFileSize(), 512 + 4 * kBlock);

  t.table.First();
  EXPECT_EQ(t.table.FieldByName("Data").AsString(), "short");
  t.table.Next();
  EXPECT_EQ(t.table.FieldByName("Data").AsString(), std::string(2 * kData, 'b'));
}

TEST(BlobFile, DeletingARecordFreesItsBlocksAndEmptyValueFreesTheChain) {
  BlobTable t;
  t.Add("a", std::string(2 * kData, 'a'));
  t.Add("b", "bb");
  t.table.First();
  t.table.Delete();
  t.Add("c", std::string(2 * kData, 'c'));
  EXPECT_EQ(t.BlobFileSize(), 512 + 3 * kBlock);
  t.table.Edit();
  t.table.FieldByName("Data").Clear();
  t.table.Post();
  EXPECT_TRUE(t.table.FieldByName("Data").IsNull());
  EXPECT_EQ(t.Reference(3).first, 0);
}

// A cursor that only shows the record is not told of a change it did not make: it reads the
// value the record holds now.
TEST(BlobFile, ReadingARewrittenValueThroughAnOlderCopyGivesTheValueAsItIsNow) {
  BlobTable t;
  t.Add("a", "old value");
  TStoreTable other;
  Bind(other, t.dir, "b");
  other.Open();  // holds the record as it is now

  t.table.First();
  t.table.Edit();
  t.table.FieldByName("Data").SetAsString("new value");
  t.table.Post();

  std::string read;
  EXPECT_EQ(ErrorOf([&] { read = other.FieldByName("Data").AsString(); }), 0);
  EXPECT_EQ(read, "new value");
  other.Refresh();
  EXPECT_EQ(other.FieldByName("Data").AsString(), "new value");
}

// Damages the chain of a three-block value in the closed table and reads it again.
TEST(BlobFile, DamagedChainsFailWithTheirCodesNeverHang) {
  struct Case {
    const char* what;
    int block;  // block index whose next link is set
    int32_t link;
    uint16_t code;
  };
  const Case cases[] = {
      {"loop back to the first block", 1, 512, 8963},      {"loop onto itself", 1, 1024, 8963},
      {"link beyond the end", 1, 512 + 40 * kBlock, 8963}, {"link into the header", 1, 100, 8963},
      {"link off a block boundary", 1, 1000, 8963},        {"chain ends early", 1, 0, 8711},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BlobTable t;
    t.Add("a", std::string(3 * kData, 'a'));
    t.table.Close();
    std::string blb = ReadFileBytes(t.dir.file("b.BLB"));
    PutI32(reinterpret_cast<uint8_t*>(blb.data()) + 512 + c.block * kBlock + 4, c.link);
    WriteFileBytes(t.dir.file("b.BLB"), blb);
    t.table.Open();
    EXPECT_EQ(ErrorOf([&] { t.table.FieldByName("Data").AsString(); }), c.code);
    // A rewrite checks the old chain before changing anything.
    t.table.Edit();
    t.table.FieldByName("Data").SetAsString("x");
    EXPECT_EQ(ErrorOf([&] { t.table.Post(); }), c.code == 8711 ? 0 : c.code);
    t.table.Cancel();
  }
}

TEST(BlobFile, HugeTotalLengthIsRefusedWithoutAllocating) {
  BlobTable t;
  t.Add("a", "abc");
  t.table.Close();
  std::string blb = ReadFileBytes(t.dir.file("b.BLB"));
  for (int32_t total : {2147483647, -5}) {
    PutI32(reinterpret_cast<uint8_t*>(blb.data()) + 512 + 14, total);
    WriteFileBytes(t.dir.file("b.BLB"), blb);
    t.table.Open();
    EXPECT_EQ(ErrorOf([&] { t.table.FieldByName("Data").AsString(); }), total < 0 ? 10029 : 8711);
    t.table.Close();
  }
}

TEST(BlobFile, HeaderChecksAtOpen) {
  struct Case {
    const char* what;
    int offset;
    int32_t value;
    uint16_t code;
  };
  const Case cases[] = {
      {"version", 8, 3, 12035},
      {"free chain in an empty file", 9, 512, 8961},
      {"end offset off a boundary", 13, 700, 8961},
      {"end offset inside the header", 13, 100, 8961},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BlobTable t;
    t.table.Close();
    std::string blb = ReadFileBytes(t.dir.file("b.BLB"));
    auto* p = reinterpret_cast<uint8_t*>(blb.data()) + c.offset;
    if (c.offset == 8)
      *p = static_cast<uint8_t>(c.value);
    else
      PutI32(p, c.value);
    WriteFileBytes(t.dir.file("b.BLB"), blb);
    EXPECT_EQ(ErrorOf([&] { t.table.Open(); }), c.code);
  }
}

TEST(BlobFile, MissingBlobFileFailsWith11010AndTablesWithoutBlobsHaveNone) {
  BlobTable t;
  t.table.Close();
  std::remove(t.dir.file("b.BLB").c_str());
  EXPECT_EQ(ErrorOf([&] { t.table.Open(); }), 11010);

  TStoreTable plain;
  Bind(plain, t.dir, "plain");
  plain.FieldDefs().Add("S", TFieldType::String, 5);
  plain.CreateTable();
  plain.Open();
  EXPECT_TRUE(ReadFileBytes(t.dir.file("plain.BLB")).empty());
}

}  // namespace
