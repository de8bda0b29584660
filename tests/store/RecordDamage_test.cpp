// A zeroed or overwritten stretch of the data file reads as 8962 ("Data record buffers
// corrupt"), never as a record with other values: the record header, every null flag and the
// bytes of each value are checked against what the format allows on every read.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "StoreTestTables.h"
#include "store/api/StoreError.h"
#include "store/api/StoreTb.h"
#include "support/TempDir.h"

namespace quellor::test {
namespace {

// A table shaped like the program's site table: strings, booleans, a date-time, a small
// integer, a BLOB; primary index on Url.
void MakeSites(const TempDir& dir, int rows) {
  TStoreTable t;
  Bind(t, dir, "s");
  auto& f = t.FieldDefs();
  f.Add("Url", TFieldType::String, 125);
  f.Add("Emails", TFieldType::String, 200);
  f.Add("IPAddr", TFieldType::String, 16);
  for (const char* b : {"Cracks", "Serialz", "Warez", "Killed", "Dead"})
    f.Add(b, TFieldType::Boolean);
  f.Add("LastSent", TFieldType::DateTime);
  f.Add("Priority", TFieldType::SmallInt);
  f.Add("Seen", TFieldType::Time);
  f.Add("Urls", TFieldType::String, 200);
  f.Add("Pages", TFieldType::Blob);
  t.IndexDefs().Add("", "Url", IndexOption::Primary);
  t.CreateTable();
  t.Open();
  for (int i = 0; i < rows; ++i) {
    t.Append();
    const std::string n = std::to_string(i);
    t.FieldByName("Url").SetAsString("http://site" + n + ".example/warez/index.html");
    t.FieldByName("Emails").SetAsString("abuse@isp" + n + ".example; noc@isp" + n + ".example");
    t.FieldByName("IPAddr").SetAsString("10.0.0." + n);
    t.FieldByName("Cracks").SetAsBoolean(i % 2 == 0);
    t.FieldByName("Serialz").SetAsBoolean(true);
    t.FieldByName("Killed").SetAsBoolean(i % 3 == 0);
    t.FieldByName("Dead").SetAsBoolean(false);
    t.FieldByName("LastSent").SetAsString("2020-01-02 03:04:05");
    t.FieldByName("Priority").SetAsInteger(i % 5 + 1);
    t.FieldByName("Seen").SetAsString("12:34:56");
    t.FieldByName("Urls").SetAsString("http://site" + n + ".example/a.zip http://site" + n +
                                      ".example/b.zip");
    t.FieldByName("Pages").SetAsString(std::string(static_cast<size_t>(20 + i), 'p'));
    t.Post();
  }
}

using TRows = std::map<std::string, std::string>;

std::string Values(TStoreTable& t) {
  std::string all;
  for (int i = 0; i < t.FieldCount(); ++i)
    all += (t.Fields(i).IsNull() ? std::string("<null>") : t.Fields(i).AsString()) + "|";
  return all;
}

TRows ReadAll(const TempDir& dir) {
  TStoreTable t;
  Bind(t, dir, "s");
  t.Open();
  TRows rows;
  for (t.First(); !t.Eof(); t.Next()) rows[t.FieldByName("Url").AsString()] = Values(t);
  return rows;
}

TEST(RecordDamage, AZeroedPageNeverReadsAsOtherValues) {
  TempDir dir;
  MakeSites(dir, 40);
  const TRows sound = ReadAll(dir);
  const std::string dat = ReadFileBytes(dir.file("s.DAT"));
  const size_t slots = 127 + 768 * 13;
  int wrong = 0, refused = 0, runs = 0;
  for (size_t page = (slots / 4096 + 1) * 4096; page < dat.size(); page += 4096) {
    std::string bad = dat;
    std::fill(bad.begin() + static_cast<long>(page),
              bad.begin() + static_cast<long>(std::min(bad.size(), page + 4096)), '\0');
    WriteFileBytes(dir.file("s.DAT"), bad);
    ++runs;
    // Each record on its own: found by its key, and by its position.
    TStoreTable t;
    Bind(t, dir, "s");
    t.Open();
    int n = 0;
    for (const auto& [url, values] : sound) {
      for (int how = 0; how < 2; ++how) {
        try {
          if (how == 0) {
            if (!t.FindKey({url})) continue;
          } else {
            t.SetRecNo(n + 1);
          }
          if (how == 1 && t.FieldByName("Url").AsString() != url) continue;
          if (Values(t) != values) {
            ++wrong;
            ADD_FAILURE() << "page " << page << ": " << url << "\n  " << Values(t) << "\n  "
                          << values;
          }
        } catch (const EStoreEngineError& e) {
          EXPECT_TRUE(e.ErrorCode() == StoreCode::RecordsCorrupt ||
                      e.ErrorCode() == StoreCode::IndexPagesCorrupt)
              << e.what();
          ++refused;
        }
      }
      ++n;
    }
  }
  WriteFileBytes(dir.file("s.DAT"), dat);
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(refused, 0);
  EXPECT_GT(runs, 3);
}

// Slot layout of "s": header 9; Url flag 9, value 10..135; Emails flag 136, value 137..337;
// IPAddr flag 338, value 339..355; Cracks flag 356, value 357..358.
TEST(RecordDamage, ImplausibleBytesInARecordAreRefused) {
  struct Case {
    const char* what;
    size_t at;
    std::string bytes;
  };
  const Case cases[] = {
      {"logical id 0", 5, std::string(4, '\0')},
      {"null flag 2", 136, "\x02"},
      {"NULL with value bytes", 338, std::string("\0", 1)},
      {"string without its closing zero", 355, "x"},
      {"boolean 7", 357, "\x07"},
  };
  TempDir dir;
  MakeSites(dir, 5);
  const std::string dat = ReadFileBytes(dir.file("s.DAT"));
  const size_t recordSize = static_cast<uint8_t>(dat[21]) + 256u * static_cast<uint8_t>(dat[22]);
  const size_t slot2 = 127 + 768 * 13 + recordSize;
  for (const Case& c : cases) {
    std::string bad = dat;
    bad.replace(slot2 + c.at, c.bytes.size(), c.bytes);
    WriteFileBytes(dir.file("s.DAT"), bad);
    TStoreTable t;
    Bind(t, dir, "s");
    t.Open();
    int code = 0;
    try {
      EXPECT_TRUE(t.FindKey({"http://site1.example/warez/index.html"})) << c.what;
      Values(t);
    } catch (const EStoreEngineError& e) {
      code = e.ErrorCode();
    }
    EXPECT_EQ(code, StoreCode::RecordsCorrupt) << c.what;
    // The other records still read.
    EXPECT_TRUE(t.FindKey({"http://site2.example/warez/index.html"})) << c.what;
  }
  WriteFileBytes(dir.file("s.DAT"), dat);
}

}  // namespace
}  // namespace quellor::test
