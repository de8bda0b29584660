// A cursor that only reads is never told that a record changed under it (8708 belongs to a
// change that cannot be stored): a BLOB value of the record it shows, read after another
// program changed or deleted that record, is the value the record holds now (none when the
// record is gone), and the walk goes on.
#include <gtest/gtest.h>

#include <string>

#include "ChildProcess.h"
#include "CrashTestSupport.h"
#include "store/api/StoreTb.h"
#include "support/TempDir.h"

namespace quellor::test {
namespace {

struct TCase {
  const char* what;
  const char* order;          // what the other program does to record 1
  const char* expectedNotes;  // "" for no value; "new" for the value it wrote
};

TEST(ReadWhileOthersWrite, ABlobOfTheShownRecordIsReadAsTheRecordHoldsItNow) {
  const std::string written = NotesOf(99, 3000);
  const TCase cases[] = {
      {"edited", "edit", "new"},
      {"deleted", "delete", ""},
      {"value removed, blocks taken by a new record", "clear+insert", ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    CreateCrashTable(dir.path(), 40);
    TChild other([&](TChild& self) {
      const std::string order = self.Receive();
      TStoreTable t;
      BindCrash(t, dir.path());
      t.Open();
      if (!t.FindKey({CrashKey(3)})) return 1;
      if (order == "delete") {
        t.Delete();
      } else {
        t.Edit();
        if (order == "edit")
          t.FieldByName("Notes").SetAsString(written);
        else
          t.FieldByName("Notes").Clear();
        t.Post();
      }
      if (order == "clear+insert") {
        t.Append();
        SetRow(t, {"ZZ-NEW", "new", "CZZ", NotesOf(5, 2500), 1, 0});
        t.Post();
      }
      t.Close();
      self.Send("done");
      return 0;
    });
    TStoreTable reader;
    BindCrash(reader, dir.path());
    reader.Open();
    ASSERT_TRUE(reader.FindKey({CrashKey(3)}));
    ASSERT_EQ(reader.FieldByName("Key").AsString(), CrashKey(3));
    other.Send(c.order);
    ASSERT_EQ(other.Receive(), "done");
    ASSERT_EQ(other.Wait(), 0);
    std::string notes;
    EXPECT_NO_THROW(notes = reader.FieldByName("Notes").AsString());
    const std::string expected = std::string(c.expectedNotes) == "new" ? written : c.expectedNotes;
    EXPECT_TRUE(notes == expected)
        << notes.size() << " bytes read, " << expected.size() << " expected";
    // The walk goes on over every record, reading every value.
    int walked = 0;
    EXPECT_NO_THROW({
      for (reader.Next(); !reader.Eof(); reader.Next()) {
        reader.FieldByName("Notes").AsString();
        ++walked;
      }
    });
    EXPECT_GT(walked, 30);
  }
}

}  // namespace
}  // namespace quellor::test
