// An edit that changes index pages alone (an entry moved within its page, no split and no new
// count in the header) still moves the index file's change counter, so that another program
// drops the pages it cached instead of walking a stale order into records that no longer carry
// the keys it expects (8965).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "CrashTestSupport.h"
#include "store/api/StoreTb.h"
#include "support/TempDir.h"

namespace quellor::test {
namespace {

TEST(IndexChangeCounter, EditsThatMoveEntriesWithinTheirPagesReachOtherPrograms) {
  TempDir dir;
  CreateCrashTable(dir.path(), 40);
  TStoreTable reader;
  BindCrash(reader, dir.path());
  reader.SetIndexName("ByTag");
  reader.Open();
  int seen = 0;
  for (reader.First(); !reader.Eof() && seen < 5; reader.Next()) ++seen;  // pages now cached

  // Another program gives ten sites a tag just after their old one: each entry moves a little
  // within its page.
  TChild writer([&](TChild&) {
    TStoreTable w;
    BindCrash(w, dir.path());
    w.Open();
    for (int i : {0, 1, 2, 3, 4, 6, 7, 8, 9, 10}) {  // 5 is one of the deleted records
      if (!w.FindKey({CrashKey(i)})) return 1;
      w.Edit();
      w.FieldByName("Tag").SetAsString(w.FieldByName("Tag").AsString() + "x");
      w.Post();
    }
    return 0;
  });
  ASSERT_EQ(writer.Wait(), 0);

  // Refresh takes in what other programs changed (records already cached may be older until
  // then).
  reader.Refresh();
  std::vector<std::string> tags;
  EXPECT_NO_THROW({
    for (reader.First(); !reader.Eof(); reader.Next())
      tags.push_back(reader.FieldByName("Tag").AsString());
  });
  EXPECT_TRUE(std::is_sorted(tags.begin(), tags.end()));
  EXPECT_EQ(tags.size(), 37u);  // 40 made, 3 of them deleted
  EXPECT_EQ(
      std::count_if(tags.begin(), tags.end(), [](const std::string& t) { return t.back() == 'x'; }),
      10);
}

}  // namespace
}  // namespace quellor::test
