// The first reading operation after one of this program's own changes still notices what
// another program wrote in between: its first read from the files takes the read slots and
// compares the change counters, so that pages cached before are never mixed with pages
// another program wrote since.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "LockTestSupport.h"
#include "store/engine/CursorOrder.h"
#include "store/engine/DataTable.h"
#include "store/engine/StoreInternals.h"
#include "store/format/FieldValue.h"

namespace quellor::test {
namespace {

constexpr int kRecords = 3000;
constexpr int kInserted = 600;
constexpr int kAfter = 1500;  // the other program's keys go in after this record's

// Keys that sort between KeyOf(kAfter) and KeyOf(kAfter + 1).
std::string InsertedKey(int i) {
  char text[16];
  std::snprintf(text, sizeof text, "%sa%03d", KeyOf(kAfter).c_str(), i);
  return text;
}

void PutText(TDataTable& table, std::vector<uint8_t>& image, const std::string& field,
             const std::string& text) {
  for (const TFieldDesc& f : table.Fields()) {
    if (f.name != field) continue;
    ASSERT_TRUE(PutTextValue(image.data() + ValueOffset(f), f, text));
    MarkFieldSet(image.data(), f);
    return;
  }
  FAIL() << "no field " << field;
}

std::string TextOf(TDataTable& table, const std::vector<uint8_t>& image, const std::string& field) {
  for (const TFieldDesc& f : table.Fields())
    if (f.name == field) return GetTextValue(image.data() + ValueOffset(f), f);
  return {};
}

TEST(ReadAfterChange, TheFirstReadAfterOwnInsertNoticesAnotherProgramsSplits) {
  TempDir dir;
  MakeSharedTable(dir, kRecords);
  // Another program inserts a run of keys in the middle of the primary index: leaves split and
  // the counts in the upper pages change.
  TChild other([&](TChild& self) {
    if (self.Receive() != "go") return 2;
    TStoreTable t;
    BindShared(t, dir);
    t.Open();
    for (int i = 0; i < kInserted; ++i) {
      t.Append();
      t.FieldByName("Key").SetAsString(InsertedKey(i));
      t.FieldByName("Value").SetAsInteger(-i);
      t.FieldByName("Tag").SetAsString("new");
      t.FieldByName("Code").SetAsString("N" + InsertedKey(i));
      t.Post();
    }
    self.Send("done");
    return 0;
  });

  TDataSession& session = TStoreInternals::Engine(TStoreSession::Default());
  TDataTable table(session, TableFileNames(dir.path(), kSharedTable), kSharedTable, false);
  TCursorOrder order(table);
  order.SelectIndex("");
  const int32_t first = order.First();  // the upper pages and the first leaf are cached now
  ASSERT_NE(first, 0);
  // This program inserts a record (at the end of the key order).
  std::vector<uint8_t> image = table.ReadRecord(first);
  PutText(table, image, "Key", "K90000");
  PutText(table, image, "Code", "C90000");
  table.Insert(image, {});

  other.Send("go");
  ASSERT_EQ(other.Receive(), "done");
  ASSERT_EQ(other.Wait(), 0);

  // The next reading operation descends to a leaf that is not cached here: what it reads
  // belongs to the other program's state, so the upper pages must be read afresh too.
  const int64_t position = kAfter + 1 + kInserted / 2;
  int32_t slot = 0;
  EXPECT_NO_THROW(slot = order.GoTo(position));
  ASSERT_NE(slot, 0);
  EXPECT_EQ(TextOf(table, table.ReadRecord(slot), "Key"), InsertedKey(kInserted / 2));
  EXPECT_EQ(order.Count(), kRecords + kInserted + 1);
}

}  // namespace
}  // namespace quellor::test
