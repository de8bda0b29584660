// Bytes flipped in the index file's pages never make a key that is there read as missing, nor
// lead to another record: each lookup finds its record or fails with an engine error.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "StoreTestTables.h"
#include "store/api/StoreError.h"
#include "store/api/StoreTb.h"
#include "support/TempDir.h"

namespace quellor::test {
namespace {

constexpr int kRows = 600;

std::string NameOf(int i) {
  return "name-" + std::to_string(i * 7919 % 1000) + "-" + std::to_string(i);
}

void MakeTable(const TempDir& dir) {
  TStoreTable t;
  Bind(t, dir, "k");
  t.FieldDefs().Add("Name", TFieldType::String, 30);
  t.FieldDefs().Add("Num", TFieldType::Integer);
  t.IndexDefs().Add("", "Name", IndexOption::Primary);
  t.IndexDefs().Add("ByNum", "Num", 0, TIndexCompression::Full);
  t.CreateTable();
  t.Open();
  for (int i = 0; i < kRows; ++i) {
    t.Append();
    t.FieldByName("Name").SetAsString(NameOf(i));
    t.FieldByName("Num").SetAsInteger(i * 3);
    t.Post();
  }
}

struct TOutcome {
  int found = 0, errors = 0, missing = 0, wrong = 0;
};

void LookUp(TStoreTable& t, const std::string& value, const std::string& field,
            const std::string& expectName, TOutcome& out) {
  try {
    if (!t.FindKey({value})) {
      ++out.missing;
      ADD_FAILURE() << "not found: " << field << " " << value;
      return;
    }
    if (t.FieldByName("Name").AsString() != expectName) {
      ++out.wrong;
      ADD_FAILURE() << "other record for " << value;
      return;
    }
    ++out.found;
  } catch (const EStoreEngineError& e) {
    EXPECT_NE(StoreErrorFormat(e.ErrorCode()), nullptr) << e.what();
    ++out.errors;
  }
}

TEST(KeyLookupDamage, SixteenFlippedBytesNeverHideAKey) {
  TempDir dir;
  MakeTable(dir);
  const std::string sound = ReadFileBytes(dir.file("k.IDX"));
  ASSERT_GT(sound.size(), 4096u * 4);
  std::mt19937 random(16);
  TOutcome total;
  for (int run = 0; run < 30; ++run) {
    std::string bad = sound;
    for (int i = 0; i < 16; ++i) {
      size_t at = 4096 + random() % (bad.size() - 4096);
      bad[at] = static_cast<char>(bad[at] ^ (1 << (random() % 8)));
    }
    WriteFileBytes(dir.file("k.IDX"), bad);
    SCOPED_TRACE("run " + std::to_string(run));
    try {
      TStoreTable t;
      Bind(t, dir, "k");
      t.Open();
      for (int i = 0; i < kRows; ++i) LookUp(t, NameOf(i), "Name", NameOf(i), total);
      t.SetIndexName("ByNum");
      for (int i = 0; i < kRows; ++i) LookUp(t, std::to_string(i * 3), "Num", NameOf(i), total);
    } catch (const EStoreEngineError& e) {
      ++total.errors;
    }
  }
  WriteFileBytes(dir.file("k.IDX"), sound);
  EXPECT_EQ(total.missing, 0);
  EXPECT_EQ(total.wrong, 0);
  EXPECT_GT(total.errors, 0);
  EXPECT_GT(total.found, 0);
}

TEST(KeyLookupDamage, AKeyFlippedInALeafIsAnErrorNotAMiss) {
  TempDir dir;
  MakeTable(dir);
  std::string idx = ReadFileBytes(dir.file("k.IDX"));
  // The entry of "name-595-5" in a leaf of the primary index becomes "name-595-4": still
  // between its neighbours, and below the key looked for, so the search stops on the entry after
  // it.
  const std::string name = NameOf(5);
  ASSERT_EQ(name, "name-595-5");
  size_t at = idx.find(std::string("\x01", 1) + name + std::string(1, '\0'));
  ASSERT_NE(at, std::string::npos);
  idx[at + name.size()] = '4';
  WriteFileBytes(dir.file("k.IDX"), idx);
  TStoreTable t;
  Bind(t, dir, "k");
  t.Open();
  int code = 0;
  try {
    t.FindKey({name});
  } catch (const EStoreEngineError& e) {
    code = e.ErrorCode();
  }
  EXPECT_EQ(code, StoreCode::IndexPagesCorrupt);
}

}  // namespace
}  // namespace quellor::test
