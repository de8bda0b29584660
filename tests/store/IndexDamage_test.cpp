// A damaged index header or page gives 8961 or 8965 (or another engine error), never a crash
// and never an endless loop.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include "IndexTestSupport.h"
#include "store/api/StoreError.h"
#include "store/btree/IndexCursor.h"
#include "store/btree/IndexFile.h"
#include "store/format/IndexBytes.h"

using namespace quellor;
using namespace quellor::test;
using namespace quellor::indexbytes;

namespace {

constexpr int kSlot0 = 14;
constexpr int kSlot1 = 14 + 120;
constexpr int kSlot2 = 14 + 240;
constexpr int kSlot31 = 14 + 31 * 120;

struct TDamageTable {
  std::vector<TFieldDesc> fields =
      LayOutFields({Field("S", TStoreFieldType::String, 60), Field("N", TStoreFieldType::Integer),
                    Field("B", TStoreFieldType::Blob)});
  TIndexFileOptions options;
  TBufferFile file;
  int records = 600;

  TDamageTable() {
    options.tableName = "d.DAT";
    TIndexDesc primary;
    primary.fieldNumbers = {2};
    CreateIndexFile(file, fields, &primary, options);
    TIndexFile index(file, fields, options);
    auto add = [&](const char* name, TIndexCompression compression, bool unique) {
      TIndexDesc d;
      d.name = name;
      d.fieldNumbers = {1};
      d.compression = compression;
      d.unique = unique;
      index.AddSecondaryIndex(d, nullptr);
    };
    add("Plain", TIndexCompression::None, false);
    add("Full", TIndexCompression::Full, false);
    add("Dup", TIndexCompression::DupByte, false);
    add("Trail", TIndexCompression::TrailByte, false);
    for (int i = 1; i <= records; ++i) {
      index.InsertRecord(Record(i), i, i);
      index.SysDeletedAdd(false, i, i);
    }
    index.SetRecordCount(records);
    index.WriteChanges();
  }
  std::vector<uint8_t> Record(int32_t n) const {
    std::vector<uint8_t> r(static_cast<size_t>(RecordSizeOf(fields)), 0);
    std::string s = "name-" + std::to_string(n % 97) + "-" + std::to_string(n);
    r[fields[0].offset] = 1;
    std::memcpy(&r[fields[0].offset + 1], s.data(), s.size());
    r[fields[1].offset] = 1;
    std::memcpy(&r[fields[1].offset + 1], &n, 4);
    return r;
  }
};

uint16_t OpenCode(const TDamageTable& t, const std::function<void(std::vector<uint8_t>&)>& damage) {
  TBufferFile file;
  file.bytes = t.file.bytes;
  damage(file.bytes);
  try {
    TIndexFile index(file, t.fields, t.options);
  } catch (const EStoreEngineError& e) {
    return e.ErrorCode();
  }
  return 0;
}

}  // namespace

TEST(IndexDamage, DamagedHeadersAreRefused) {
  TDamageTable t;
  using Patch = std::function<void(std::vector<uint8_t>&)>;
  struct Case {
    const char* what;
    Patch damage;
    uint16_t code;
  };
  const Case cases[] = {
      {"undamaged", [](auto&) {}, 0},
      {"version 3", [](auto& b) { b[8] = 3; }, 12035},
      {"file shorter than the header", [](auto& b) { b.resize(100); }, 8961},
      {"31 secondary indexes", [](auto& b) { b[13] = 31; }, 8961},
      {"255 secondary indexes", [](auto& b) { b[13] = 255; }, 8961},
      {"end offset not on a page", [](auto& b) { PutI32(&b[9], GetI32(&b[9]) - 100); }, 8961},
      {"end offset below the header", [](auto& b) { PutI32(&b[9], 0); }, 8961},
      {"root below 4096", [](auto& b) { PutI32(&b[kSlot1 + 86], 100); }, 8961},
      {"root beyond the end", [](auto& b) { PutI32(&b[kSlot1 + 86], GetI32(&b[9])); }, 8961},
      {"root not on a page", [](auto& b) { PutI32(&b[kSlot1 + 86], 4096 + 7); }, 8961},
      {"free chain beyond the end", [](auto& b) { PutI32(&b[kSlot31 + 90], 1 << 30); }, 8961},
      {"key size differs from the fields", [](auto& b) { PutU16(&b[kSlot1 + 31], 20); }, 8961},
      {"Sys Deleted key size", [](auto& b) { PutU16(&b[kSlot31 + 31], 9); }, 8961},
      {"unknown field number", [](auto& b) { PutU16(&b[kSlot1 + 54], 44); }, 8961},
      {"BLOB key field", [](auto& b) { PutU16(&b[kSlot1 + 54], 3); }, 8961},
      {"17 key fields", [](auto& b) { b[kSlot1 + 37] = 17; }, 8961},
      {"no key fields in a secondary index", [](auto& b) { b[kSlot1 + 37] = 0; }, 8961},
      {"compression 4", [](auto& b) { b[kSlot1 + 36] = 4; }, 8961},
      {"name length byte 200", [](auto& b) { b[kSlot1] = 200; }, 8961},
      {"name starting with a digit", [](auto& b) { b[kSlot1 + 1] = '9'; }, 8961},
      {"blank name", [](auto& b) { std::memset(&b[kSlot1 + 1], ' ', 5); }, 8961},
      {"name used twice", [](auto& b) { std::memcpy(&b[kSlot2], &b[kSlot1], 31); }, 8961},
      {"primary index with a name", [](auto& b) { PutShortString(&b[kSlot0], 30, "P"); }, 8961},
      {"no-key-fields flag with key fields", [](auto& b) { b[3978] = 1; }, 8961},
  };
  for (const Case& c : cases) EXPECT_EQ(OpenCode(t, c.damage), c.code) << c.what;
}

TEST(IndexDamage, DamagedPagesGiveEngineErrorsNotCrashes) {
  TDamageTable t;
  std::mt19937 rng(4711);
  const size_t pageBytes = t.file.bytes.size() - 4096;
  int failures = 0, survived = 0;
  for (int round = 0; round < 300; ++round) {
    TBufferFile file;
    file.bytes = t.file.bytes;
    // Damage a few bytes of the pages: single bytes, or whole 32-bit values (counts, links).
    int hits = 1 + static_cast<int>(rng() % 4);
    for (int h = 0; h < hits; ++h) {
      size_t at = 4096 + rng() % (pageBytes - 4);
      if (rng() % 2) {
        file.bytes[at] = static_cast<uint8_t>(rng());
      } else {
        static const int32_t kValues[] = {0, 1, -1, 4096, 8192, 4096 * 3, 0x7FFFFFFF, 65535};
        PutI32(&file.bytes[at], kValues[rng() % std::size(kValues)]);
      }
    }
    try {
      TIndexFile index(file, t.fields, t.options);
      std::vector<TIndexTree*> trees{index.Primary(), &index.SysDeleted()};
      for (int i = 0; i < index.SecondaryCount(); ++i) trees.push_back(&index.Secondary(i));
      for (TIndexTree* tree : trees) {
        try {
          TIndexCursor c(*tree);
          int steps = 0;
          for (bool on = c.First(); on && steps < 10 * t.records; on = c.Next()) ++steps;
          ASSERT_LT(steps, 10 * t.records) << "walk does not end";
          for (bool on = c.Last(); on && steps < 20 * t.records; on = c.Prior()) ++steps;
          ASSERT_LT(steps, 20 * t.records) << "walk does not end";
          c.GoTo(t.records / 2);
          c.Count();
          tree->Verify();
        } catch (const EStoreEngineError& e) {
          ASSERT_TRUE(e.ErrorCode() == 8965 || e.ErrorCode() == 9217) << e.what();
          ++failures;
        }
      }
      try {
        for (int i = 1; i <= t.records; i += 7) index.DeleteRecord(t.Record(i), i, i);
        for (int i = t.records + 1; i <= t.records + 100; ++i)
          index.InsertRecord(t.Record(i), i, i);
        index.WriteChanges();
        ++survived;
      } catch (const EStoreEngineError& e) {
        ASSERT_TRUE(e.ErrorCode() == 8965 || e.ErrorCode() == 9217 || e.ErrorCode() == 9729)
            << e.what();
        ++failures;
      }
    } catch (const EStoreEngineError& e) {
      ASSERT_TRUE(e.ErrorCode() == 8961 || e.ErrorCode() == 8965) << e.what();
    }
  }
  // Most damage is noticed; some lands in key bytes and changes only the order.
  EXPECT_GT(failures, 50);
  EXPECT_GT(survived, 0);
}

TEST(IndexDamage, ACycleOfChildPagesEnds) {
  TDamageTable t;
  TIndexFile index(t.file, t.fields, t.options);
  const int32_t root = index.FindIndex("Plain")->Desc().rootPage;
  ASSERT_EQ(t.file.bytes[root], 0);  // a root with children
  // Point the first child of the root at the root itself, with a matching count.
  TBufferFile file;
  file.bytes = t.file.bytes;
  const int ks = index.FindIndex("Plain")->KeySize();
  int32_t total = 0;
  for (int i = 0; i < GetU16(&file.bytes[root + 1]); ++i)
    total += GetI32(&file.bytes[root + 13 + i * (ks + 8) + ks + 4]);
  PutI32(&file.bytes[root + 13 + ks], root + 4096 * 0);
  PutI32(&file.bytes[root + 13 + ks + 4], total);
  try {
    TIndexFile damaged(file, t.fields, t.options);
    TIndexCursor c(*damaged.FindIndex("Plain"));
    c.First();
    ADD_FAILURE() << "no error";
  } catch (const EStoreEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 8965);
  }
}
