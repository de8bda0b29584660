// The change counter at the start of each table file runs through every int32 value: a header
// written while it stands at 2,147,483,647 stores -2,147,483,648, and another program that
// cached the file at the old value notices the change and reads the new state.
#include "store/format/ChangeCounter.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "ChildProcess.h"
#include "LockTestSupport.h"
#include "StoreTestTables.h"
#include "store/format/ByteOrder.h"
#include "store/format/Cipher.h"

namespace quellor::test {
namespace {

constexpr const char* kPassword = "pw";

void MakeTable(const TempDir& dir, bool encrypted) {
  TStoreTable t;
  Bind(t, dir, "c");
  t.FieldDefs().Add("Key", TFieldType::String, 10);
  t.FieldDefs().Add("Value", TFieldType::Integer);
  t.FieldDefs().Add("Notes", TFieldType::Memo);
  t.IndexDefs().Add("", "Key", IndexOption::Primary);
  if (encrypted) {
    t.StoreDefs().Encrypted = true;
    t.StoreDefs().Password = kPassword;
  }
  t.CreateTable();
  t.Open();
  t.Append();
  t.FieldByName("Key").SetAsString("A");
  t.FieldByName("Value").SetAsInteger(1);
  t.FieldByName("Notes").SetAsString("old notes");
  t.Post();
  t.Close();
}

// The counter at the start of a file as another program reads it. The index and BLOB file
// headers of an encrypted table are enciphered from their first byte; the data file header
// never is there.
int32_t CounterOf(const std::string& path, bool enciphered) {
  std::string bytes = ReadFileBytes(path);
  auto* p = reinterpret_cast<uint8_t*>(bytes.data());
  if (enciphered) ApplyCipher(p, 4, kBodyKey);
  return bytes::GetI32(p);
}

void SetCounter(const std::string& path, bool enciphered, int32_t counter) {
  std::string bytes = ReadFileBytes(path);
  auto* p = reinterpret_cast<uint8_t*>(bytes.data());
  bytes::PutI32(p, counter);
  if (enciphered) ApplyCipher(p, 4, kBodyKey);
  WriteFileBytes(path, bytes);
}

TEST(ChangeCounter, NextChangeCounterWrapsFromTheLargestToTheSmallestValue) {
  EXPECT_EQ(NextChangeCounter(0), 1);
  EXPECT_EQ(NextChangeCounter(-1), 0);
  EXPECT_EQ(NextChangeCounter(INT32_MAX - 1), INT32_MAX);
  EXPECT_EQ(NextChangeCounter(INT32_MAX), INT32_MIN);
  EXPECT_EQ(NextChangeCounter(INT32_MIN), INT32_MIN + 1);
}

TEST(ChangeCounter, ACounterAtItsLargestValueWrapsAndAnotherProgramSeesTheChange) {
  struct Case {
    const char* what;
    const char* extension;
    bool encrypted;
  };
  const Case cases[] = {
      {"data file", ".DAT", false},
      {"BLOB file", ".BLB", false},
      {"index file", ".IDX", false},
      {"data file of an encrypted table", ".DAT", true},
      {"BLOB file of an encrypted table", ".BLB", true},
      {"index file of an encrypted table", ".IDX", true},
  };
  TStoreSession::Default().AddPassword(kPassword);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    MakeTable(dir, c.encrypted);
    const std::string wrapped = dir.file(std::string("c") + c.extension);
    const bool enciphered = c.encrypted && std::string(c.extension) != ".DAT";
    SetCounter(wrapped, enciphered, INT32_MAX);

    // The other program caches the table while the counter stands at its largest value, and
    // looks again once this one has changed the record.
    TChild other([&](TChild& self) {
      TStoreTable t;
      Bind(t, dir, "c");
      t.Open();
      CHILD_CHECK(t.FieldByName("Value").AsInteger() == 1);
      CHILD_CHECK(t.FieldByName("Notes").AsString() == "old notes");
      self.Send("cached");
      if (self.Receive() != "look") return 2;
      t.Refresh();
      self.Send(t.FieldByName("Key").AsString() + "|" + t.FieldByName("Value").AsString() + "|" +
                t.FieldByName("Notes").AsString());
      return 0;
    });
    ASSERT_EQ(other.Receive(), "cached");

    {
      // The key, a value and the memo change: every one of the three files is written.
      TStoreTable t;
      Bind(t, dir, "c");
      t.Open();
      t.Edit();
      t.FieldByName("Key").SetAsString("B");
      t.FieldByName("Value").SetAsInteger(2);
      t.FieldByName("Notes").SetAsString("new notes");
      t.Post();
    }
    EXPECT_EQ(CounterOf(wrapped, enciphered), INT32_MIN);

    other.Send("look");
    EXPECT_EQ(other.Receive(), "B|2|new notes");
    EXPECT_EQ(other.Wait(), 0);

    // And it goes on counting from there.
    {
      TStoreTable t;
      Bind(t, dir, "c");
      t.Open();
      t.Edit();
      t.FieldByName("Key").SetAsString("C");
      t.FieldByName("Notes").SetAsString("newer notes");
      t.Post();
    }
    EXPECT_EQ(CounterOf(wrapped, enciphered), INT32_MIN + 1);
  }
}

}  // namespace
}  // namespace quellor::test
