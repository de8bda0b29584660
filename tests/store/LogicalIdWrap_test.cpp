// The counter of logical record ids starts again at 1 after 2,147,483,647: the ids it then
// hands out that live records still hold are passed over, so inserts go on (no damage is
// reported where there is none) and every record keeps an id of its own.
#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <string>
#include <vector>

#include "store/StoreTestTables.h"
#include "store/api/StoreTb.h"
#include "store/format/ByteOrder.h"
#include "support/TempDir.h"

namespace quellor::test {
namespace {

void Add(TStoreTable& t, const std::string& name) {
  t.Append();
  t.FieldByName("Name").SetAsString(name);
  t.Post();
}

TEST(LogicalIdWrap, IdsStillHeldByLiveRecordsArePassedOverAfterTheWrap) {
  TempDir dir;
  {
    TStoreTable t;
    Bind(t, dir, "ids");
    t.FieldDefs().Add("Name", TFieldType::String, 10);
    t.FieldDefs().Add("Id", TFieldType::AutoInc);
    t.IndexDefs().Add("", "Name", IndexOption::Primary);
    t.CreateTable();
    t.Open();
    for (int i = 1; i <= 5; ++i) Add(t, "a" + std::to_string(i));  // ids 1 to 5
    ASSERT_TRUE(t.FindKey({"a2"}));
    t.Delete();  // id 2 is free again for a live record
    t.Close();
  }
  // The counter of ids given out (offset 17 of the data file's header) just below the wrap.
  std::string data = ReadFileBytes(dir.file("ids.DAT"));
  bytes::PutI32(reinterpret_cast<uint8_t*>(data.data()) + 17, INT_MAX - 1);
  WriteFileBytes(dir.file("ids.DAT"), data);

  TStoreTable t;
  Bind(t, dir, "ids");
  t.Open();
  struct TCase {
    const char* name;
    int64_t id;
  };
  // INT_MAX, then 1 is held (passed over), 2 is free; then 3, 4 and 5 are held.
  const TCase cases[] = {{"b1", INT_MAX}, {"b2", 2}, {"b3", 6}, {"b4", 7}};
  for (const TCase& c : cases) {
    ASSERT_NO_THROW(Add(t, c.name)) << c.name;
    ASSERT_TRUE(t.FindKey({c.name}));
    EXPECT_EQ(t.FieldByName("Id").AsInteger(), c.id) << c.name;
  }
  std::set<int64_t> ids;
  int records = 0;
  for (t.First(); !t.Eof(); t.Next(), ++records) ids.insert(t.FieldByName("Id").AsInteger());
  EXPECT_EQ(records, 8);
  EXPECT_EQ(ids.size(), 8u);
  t.Close();
  // Nothing is damaged: verify notes only that the counter stands below the highest id.
  std::vector<std::string> log;
  t.OnRepairLog = [&](TStoreTable&, const std::string& line) { log.push_back(line); };
  t.Verify();
  ASSERT_EQ(log.size(), 3u) << testing::PrintToString(log);
  EXPECT_EQ(log[1], "Invalid next available record ID (auto-increment), error not fixed");
}

}  // namespace
}  // namespace quellor::test
