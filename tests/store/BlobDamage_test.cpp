// A damaged chain of BLOB blocks reads as an engine error, never as a value; verify reports it
// with its line; repair keeps the data before the first bad link, mends a length that differs
// from the blocks by storing the sum of their used counts, and empties a value whose first
// block belongs to another value.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <string>

#include "StoreTestTables.h"
#include "store/api/StoreError.h"
#include "store/api/StoreTb.h"
#include "store/format/ByteOrder.h"
#include "support/TempDir.h"

namespace quellor::test {
namespace {

// Table "b": Name (string 20, primary), Data (binary BLOB); blocks of 64 bytes (46 of data).
// Layout of a slot: header 9, Name null flag 9 and value 10..30, Data null flag 31, first block
// 32, BLOB id 36; 40 bytes. Slots start after two descriptors.
constexpr size_t kSlotStart = 127 + 2 * 768;
constexpr size_t kRecordSize = 40;
constexpr int kBlock = 64;
constexpr int kRoom = kBlock - 18;
constexpr size_t kLength = 200;  // four full blocks and one of 16 bytes

std::string ValueOf(int record) {
  std::string v(kLength, '\0');
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<char>('A' + (i + record) % 26);
  return v;
}

void MakeTable(const TempDir& dir) {
  TStoreTable t;
  Bind(t, dir, "b");
  t.FieldDefs().Add("Name", TFieldType::String, 20);
  t.FieldDefs().Add("Data", TFieldType::Blob);
  t.IndexDefs().Add("", "Name", IndexOption::Primary);
  t.StoreDefs().BlobBlockSize = kBlock;
  t.CreateTable();
  t.Open();
  for (int i = 1; i <= 3; ++i) {
    t.Append();
    t.FieldByName("Name").SetAsString("r" + std::to_string(i));
    t.FieldByName("Data").SetAsString(ValueOf(i));
    t.Post();
  }
}

// The files of the table as bytes, with the chain of record 1's value at hand.
struct TFiles {
  std::string dat, blb;
  explicit TFiles(const TempDir& dir)
      : dat(ReadFileBytes(dir.file("b.DAT"))), blb(ReadFileBytes(dir.file("b.BLB"))) {}
  void Save(const TempDir& dir) const {
    WriteFileBytes(dir.file("b.DAT"), dat);
    WriteFileBytes(dir.file("b.BLB"), blb);
  }
  uint8_t* Dat(size_t at) { return reinterpret_cast<uint8_t*>(dat.data()) + at; }
  uint8_t* Blb(size_t at) { return reinterpret_cast<uint8_t*>(blb.data()) + at; }
  int32_t FirstBlock(int record) {
    return bytes::GetI32(Dat(kSlotStart + kRecordSize * static_cast<size_t>(record - 1) + 32));
  }
  // The offset of block k (from 0) of a record's chain.
  int32_t Block(int record, int k) {
    int32_t at = FirstBlock(record);
    for (int i = 0; i < k; ++i) at = bytes::GetI32(Blb(static_cast<size_t>(at) + 4));
    return at;
  }
  uint8_t* BlockField(int record, int k, int field) {
    return Blb(static_cast<size_t>(Block(record, k)) + static_cast<size_t>(field));
  }
};

int ReadCode(const TempDir& dir, std::string& value) {
  try {
    TStoreTable t;
    Bind(t, dir, "b");
    t.Open();
    EXPECT_TRUE(t.FindKey({"r1"}));
    value = t.FieldByName("Data").AsString();
  } catch (const EStoreEngineError& e) {
    return e.ErrorCode();
  }
  return 0;
}

std::vector<std::string> Check(const TempDir& dir, bool repair) {
  TStoreTable t;
  Bind(t, dir, "b");
  std::vector<std::string> lines;
  t.OnRepairLog = [&](TStoreTable&, const std::string& line) { lines.push_back(line); };
  if (repair)
    t.Repair();
  else
    t.Verify();
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const auto& l : lines) all += l + "\n";
  return all;
}

struct TChainDamage {
  const char* name;
  std::function<void(TFiles&)> damage;
  int code;          // of reading the value
  const char* line;  // the finding, before its ending
  size_t kept;       // bytes of the value a repair keeps (from its start)
  size_t length;     // the length of the repaired value (the kept bytes, zeros after them)
};

class BlobChainDamage : public ::testing::TestWithParam<TChainDamage> {};

TEST_P(BlobChainDamage, ReadFailsVerifyReportsRepairKeepsThePrefix) {
  const TChainDamage& c = GetParam();
  TempDir dir;
  MakeTable(dir);
  TFiles files(dir);
  c.damage(files);
  files.Save(dir);

  std::string value;
  EXPECT_EQ(ReadCode(dir, value), c.code) << "read " << value.size() << " bytes";

  const std::string line = std::string(c.line) + "physical record # 1, ";
  auto verify = Check(dir, false);
  EXPECT_NE(Joined(verify).find(line + "error not fixed\n"), std::string::npos) << Joined(verify);
  EXPECT_EQ(verify.size(), 3u) << Joined(verify);

  auto repair = Check(dir, true);
  EXPECT_NE(Joined(repair).find(line + "error fixed\n"), std::string::npos) << Joined(repair);
  EXPECT_EQ(Check(dir, false).size(), 2u) << Joined(Check(dir, false));
  TStoreTable t;
  Bind(t, dir, "b");
  t.Open();
  ASSERT_TRUE(t.FindKey({"r1"}));
  std::string repaired = t.FieldByName("Data").AsString();
  ASSERT_EQ(repaired.size(), c.length);
  EXPECT_EQ(repaired.substr(0, c.kept), ValueOf(1).substr(0, c.kept));
  EXPECT_EQ(repaired.substr(c.kept), std::string(c.length - c.kept, '\0'));
  for (int i = 2; i <= 3; ++i) {
    ASSERT_TRUE(t.FindKey({"r" + std::to_string(i)}));
    EXPECT_EQ(t.FieldByName("Data").AsString(), ValueOf(i));
  }
}

const char* const kAt = " in BLOB file for ";

INSTANTIATE_TEST_SUITE_P(
    Damages, BlobChainDamage,
    ::testing::Values(
        TChainDamage{"ShortUsedCountInAFullBlock",
                     [](TFiles& f) { bytes::PutU16(f.BlockField(1, 1, 8), 40); }, 8963,
                     "Invalid block size in BLOB file for ", kRoom + 40, kRoom + 40},
        TChainDamage{"UsedCountBeyondTheBlock",
                     [](TFiles& f) { bytes::PutU16(f.BlockField(1, 2, 8), 60); }, 8963,
                     "Invalid block size in BLOB file for ", 2 * kRoom, 2 * kRoom},
        TChainDamage{"LengthTooSmall",
                     [](TFiles& f) { bytes::PutI32(f.BlockField(1, 0, 14), 150); }, 8963,
                     "BLOB size mismatch in BLOB file for ", kLength, kLength},
        TChainDamage{"LengthTooLarge",
                     [](TFiles& f) { bytes::PutI32(f.BlockField(1, 0, 14), 300); }, 8711,
                     "BLOB size mismatch in BLOB file for ", kLength, kLength},
        TChainDamage{"LastBlockUsesMore",
                     [](TFiles& f) { bytes::PutU16(f.BlockField(1, 4, 8), 30); }, 8963,
                     "BLOB size mismatch in BLOB file for ", kLength, 4 * kRoom + 30},
        TChainDamage{"WrongPreviousLink",
                     [](TFiles& f) { bytes::PutI32(f.BlockField(1, 2, 0), f.Block(1, 0)); }, 8963,
                     "Invalid intra-block pointer in BLOB file for ", 2 * kRoom, 2 * kRoom},
        TChainDamage{"LengthInALaterBlock",
                     [](TFiles& f) { bytes::PutI32(f.BlockField(1, 3, 14), 7); }, 8963,
                     "Invalid intra-block pointer in BLOB file for ", 3 * kRoom, 3 * kRoom},
        TChainDamage{"NextLinkOutsideTheFile",
                     [](TFiles& f) { bytes::PutI32(f.BlockField(1, 3, 4), 1 << 24); }, 8963,
                     "Invalid intra-block pointer in BLOB file for ", 4 * kRoom, 4 * kRoom},
        TChainDamage{"LastBlockLinksOn",
                     [](TFiles& f) { bytes::PutI32(f.BlockField(1, 4, 4), f.Block(2, 0)); }, 8963,
                     "Invalid block size in BLOB file for ", kLength, kLength},
        TChainDamage{"LaterBlockOfAnotherValue",
                     [](TFiles& f) { bytes::PutI32(f.BlockField(1, 1, 10), 999); }, 8708,
                     "Invalid intra-block pointer in BLOB file for ", kRoom, kRoom},
        TChainDamage{"LinkBackToTheFirstBlock",
                     [](TFiles& f) { bytes::PutI32(f.BlockField(1, 1, 4), f.Block(1, 0)); }, 8963,
                     "Recursive intra-block pointer in BLOB file for ", 2 * kRoom, 2 * kRoom},
        TChainDamage{"FirstBlockOfAnotherValue",
                     [](TFiles& f) { bytes::PutI32(f.Dat(kSlotStart + 32), f.FirstBlock(2)); },
                     8708, "Invalid BLOB offset in BLOB file for ", 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BlobHeaderFlips, EveryFlippedHeaderByteFailsTheReadAndVerifyReportsIt) {
  TempDir dir;
  MakeTable(dir);
  const TFiles sound(dir);
  std::mt19937 random(8963);
  for (int round = 0; round < 60; ++round) {
    TFiles files = sound;
    const int record = 1 + static_cast<int>(random() % 3);
    const int block = static_cast<int>(random() % 5);
    const int at = static_cast<int>(random() % 18);
    *files.BlockField(record, block, at) ^= static_cast<uint8_t>(1u << (random() % 8));
    files.Save(dir);
    SCOPED_TRACE("record " + std::to_string(record) + " block " + std::to_string(block) + " byte " +
                 std::to_string(at));
    {
      TStoreTable t;
      Bind(t, dir, "b");
      t.Open();
      for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(t.FindKey({"r" + std::to_string(i)}));
        int code = 0;
        try {
          EXPECT_EQ(t.FieldByName("Data").AsString(), ValueOf(i));
        } catch (const EStoreEngineError& e) {
          code = e.ErrorCode();
        }
        EXPECT_EQ(code != 0, i == record) << "code " << code;
      }
    }
    auto verify = Check(dir, false);
    ASSERT_EQ(verify.size(), 3u) << Joined(verify);
    EXPECT_NE(verify[1].find("physical record # " + std::to_string(record) + ", "),
              std::string::npos)
        << verify[1];
  }
  sound.Save(dir);
}

}  // namespace
}  // namespace quellor::test
