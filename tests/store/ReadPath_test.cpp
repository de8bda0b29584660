// The read paths of a shared table and the locks and counters they use: a reading operation
// holds the index file's read slot and adds the BLOB file's only for BLOB blocks; key-order
// walks served from the cursor's read-ahead and filter scans read in runs still see what other
// programs change.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "LockTestSupport.h"
#include "store/DataTable.h"
#include "store/PhysicalFile.h"
#include "store/StoreInternals.h"
#include "store/TableLocks.h"

namespace quellor::test {
namespace {

std::shared_ptr<TDataTable> EngineTable(const TempDir& dir, const std::string& name) {
  char* real = ::realpath(dir.path().c_str(), nullptr);
  std::string folder = real ? real : dir.path();
  std::free(real);
  if (folder.back() != '/') folder += '/';
  return TStoreInternals::DirectoryFor(TStoreSession::Default(), folder)->OpenTable(name, false);
}

// Whether another open file description could take a writer's range of `path` now.
bool WriterCouldLock(const std::string& path) {
  auto file = TPhysicalFile::Open(path, false, "notes.DAT");
  if (!file->Lock(kWriteRangeOffset, kWriteRangeLength)) return false;
  EXPECT_TRUE(file->Unlock(kWriteRangeOffset, kWriteRangeLength));
  return true;
}

TEST(ReadPath, ARecordIsReadUnderTheIndexSlotAloneAndBlobBlocksUnderTheBlobSlotToo) {
  TempDir dir;
  {
    TStoreTable t;
    t.SetDatabaseName(dir.path());
    t.SetTableName("notes.DAT");
    t.FieldDefs().Add("Key", TFieldType::String, 10);
    t.FieldDefs().Add("Note", TFieldType::Memo);
    t.IndexDefs().Add("", "Key", IndexOption::Primary);
    t.CreateTable();
    t.Open();
    t.Append();
    t.FieldByName("Key").SetAsString("a");
    t.FieldByName("Note").SetAsString(std::string(3000, 'n'));
    t.Post();
    t.Close();
  }
  std::shared_ptr<TDataTable> table = EngineTable(dir, "notes.DAT");
  const TFieldDesc* note = nullptr;
  for (const auto& f : table->Fields())
    if (f.name == "Note") note = &f;
  ASSERT_NE(note, nullptr);
  std::string value;
  table->Reading([&] {
    std::vector<uint8_t> image = table->ReadRecord(1);
    EXPECT_FALSE(WriterCouldLock(dir.file("notes.IDX")));
    EXPECT_TRUE(WriterCouldLock(dir.file("notes.BLB")));  // no BLOB block read yet
    value = table->ReadBlob(image.data(), *note);
    EXPECT_FALSE(WriterCouldLock(dir.file("notes.BLB")));
  });
  EXPECT_EQ(value, std::string(3000, 'n'));
  // Both slots are let go at the end of the operation.
  EXPECT_TRUE(WriterCouldLock(dir.file("notes.IDX")));
  EXPECT_TRUE(WriterCouldLock(dir.file("notes.BLB")));
}

}  // namespace
}  // namespace quellor::test
