// A record reached through an index must be active and carry the index's key: a mismatch is
// 8965 ("Index page buffers corrupt"), never another record shown in its place. An insert whose
// deleted-slot chain leads to a live slot fails (8962) and overwrites nothing.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "CrashTestSupport.h"
#include "store/api/StoreError.h"
#include "store/api/StoreTb.h"
#include "store/format/ByteOrder.h"
#include "support/TempDir.h"

namespace quellor::test {
namespace {

int CodeOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const EStoreEngineError& e) {
    return e.ErrorCode();
  }
  return 0;
}

// Changes the data file in place: `edit` gets the whole file, the offset of slot 1 and the
// record size.
void EditDataFile(const TempDir& dir,
                  const std::function<void(std::string&, size_t first, size_t size)>& edit) {
  std::string bytes = ReadFileBytes(dir.file(kCrashTable));
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t fields = bytes::GetU16(p + 23);
  size_t size = bytes::GetU16(p + 21);
  edit(bytes, 127 + 768 * fields, size);
  WriteFileBytes(dir.file(kCrashTable), bytes);
}

size_t SlotAt(size_t first, size_t size, int slot) {
  return first + size * static_cast<size_t>(slot - 1);
}

struct TDamage {
  const char* name;
  std::function<void(std::string&, size_t, size_t)> edit;
  bool codeIndexToo;  // the damage reaches the "ByCode" entries as well
};

class IndexEntryCheck : public ::testing::TestWithParam<TDamage> {};

TEST_P(IndexEntryCheck, ReadingThroughAnIndexRefusesARecordWithoutTheEntrysKey) {
  TempDir dir;
  CreateCrashTable(dir.path(), 12);
  EditDataFile(dir, GetParam().edit);
  TStoreTable t;
  BindCrash(t, dir.path());
  t.Open();
  // K0003 lies in slot 4: its entry in every index now leads to a record that is not it.
  EXPECT_EQ(CodeOf([&] { t.FindKey({CrashKey(3)}); }), StoreCode::IndexPagesCorrupt);
  EXPECT_EQ(CodeOf([&] {
              for (t.First(); !t.Eof(); t.Next()) {
              }
            }),
            StoreCode::IndexPagesCorrupt);
  t.SetIndexName("ByCode");
  EXPECT_EQ(CodeOf([&] {
              for (t.First(); !t.Eof(); t.Next()) {
              }
            }),
            GetParam().codeIndexToo ? StoreCode::IndexPagesCorrupt : 0);
  // Records whose entries are sound still read.
  t.SetIndexName("");
  EXPECT_TRUE(t.FindKey({CrashKey(8)}));
  EXPECT_EQ(t.FieldByName("Key").AsString(), CrashKey(8));
}

INSTANTIATE_TEST_SUITE_P(
    Damages, IndexEntryCheck,
    ::testing::Values(TDamage{"SwappedRecords",
                              [](std::string& b, size_t first, size_t size) {
                                // Slots 4 and 5 exchange their records but keep their own numbers.
                                std::string four = b.substr(SlotAt(first, size, 4), size);
                                std::string five = b.substr(SlotAt(first, size, 5), size);
                                b.replace(SlotAt(first, size, 4) + 5, size - 5, five.substr(5));
                                b.replace(SlotAt(first, size, 5) + 5, size - 5, four.substr(5));
                              },
                              true},
                      TDamage{"DeletedRecord",
                              [](std::string& b, size_t first, size_t size) {
                                // Slot 4 marked deleted (off the chain), its entries left in the
                                // indexes.
                                b[SlotAt(first, size, 4)] = 1;
                                b.replace(SlotAt(first, size, 4) + 1, 4, std::string(4, '\0'));
                              },
                              true},
                      TDamage{"OtherKeyValue",
                              [](std::string& b, size_t first, size_t size) {
                                // The key field of slot 4 changed on disk behind the indexes' back.
                                b[SlotAt(first, size, 4) + 10 + 4] = 'X';
                              },
                              false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeletedChain, AChainThatLeadsToALiveSlotFailsTheInsertAndOverwritesNothing) {
  TempDir dir;
  CreateCrashTable(dir.path(), 12);
  std::vector<std::string> problems;
  auto before = ReadCrashTable(dir.path(), problems);
  // The header's chain start names slot 4, which holds K0003.
  EditDataFile(dir, [](std::string& b, size_t, size_t) {
    b[9] = 4;
    b[10] = b[11] = b[12] = 0;
  });
  {
    TStoreTable t;
    BindCrash(t, dir.path());
    t.Open();
    t.Append();
    SetRow(t, {"NEW", "tag", "CNEW", "", 1, 0});
    EXPECT_EQ(CodeOf([&] { t.Post(); }), StoreCode::RecordsCorrupt);
    t.Cancel();
  }
  EXPECT_EQ(ReadCrashTable(dir.path(), problems), before);
  EXPECT_TRUE(problems.empty());
}

}  // namespace
}  // namespace quellor::test
