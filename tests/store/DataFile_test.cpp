// The data file's layout, byte by byte, and its record slots.
#include "store/format/DataFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "store/StoreTestTables.h"
#include "store/api/StoreTb.h"
#include "store/format/ByteOrder.h"
#include "store/os/MemoryFile.h"
#include "support/TempDir.h"

using namespace quellor;
using namespace quellor::test;
using namespace quellor::bytes;

namespace {

const uint8_t* U(const std::string& s, size_t offset = 0) {
  return reinterpret_cast<const uint8_t*>(s.data()) + offset;
}

TEST(DataFile, NewTableFileIsHeaderAndDescriptorsAtDocumentedOffsets) {
  TempDir dir;
  TStoreTable table;
  Bind(table, dir, "every.DAT");
  AddEveryFieldKind(table);
  table.CreateTable();

  std::string bytes = ReadFileBytes(dir.file("every.DAT"));
  const int fieldCount = 16;
  ASSERT_EQ(bytes.size(), 127u + 768u * fieldCount);
  EXPECT_EQ(GetI32(U(bytes, 0)), 0);            // change counter of a new table
  EXPECT_EQ(GetU32(U(bytes, 4)), 512u);         // BLOB block size
  EXPECT_EQ(bytes[8], 4);                       // format version
  EXPECT_EQ(GetI32(U(bytes, 9)), 0);            // no deleted chain
  EXPECT_EQ(GetI32(U(bytes, 13)), 1);           // next physical record number
  EXPECT_EQ(GetI32(U(bytes, 17)), 0);           // last logical id
  EXPECT_EQ(GetU16(U(bytes, 23)), fieldCount);  // field count
  EXPECT_EQ(GetI16(U(bytes, 25)), 2);           // BLOB fields
  EXPECT_EQ(bytes[86], 0);                      // not encrypted
  EXPECT_EQ(GetI64(U(bytes, 116)), 21200);      // writer version

  // Stored widths: string size + 1, then the fixed widths; the auto-increment field takes none.
  struct Expect {
    const char* name;
    uint8_t type, subtype, size, width;
    uint16_t offset;
  };
  const Expect expected[] = {
      {"Name", 1, 0, 20, 21, 9},   {"Small", 5, 0, 0, 2, 31},  {"Whole", 6, 0, 0, 4, 34},
      {"Count", 12, 0, 0, 2, 39},  {"Flag", 4, 0, 0, 2, 42},   {"Ratio", 7, 0, 0, 8, 45},
      {"Price", 7, 21, 0, 8, 54},  {"Amount", 8, 0, 0, 8, 63}, {"Day", 2, 0, 0, 4, 72},
      {"Clock", 10, 0, 0, 4, 77},  {"Stamp", 11, 0, 0, 8, 82}, {"Raw", 9, 0, 4, 4, 91},
      {"VarRaw", 15, 0, 6, 6, 96}, {"Id", 6, 29, 0, 4, 5},     {"Data", 3, 23, 0, 8, 103},
      {"Notes", 3, 22, 0, 8, 112},
  };
  for (int i = 0; i < fieldCount; ++i) {
    SCOPED_TRACE(expected[i].name);
    const uint8_t* d = U(bytes, 127 + 768 * i);
    EXPECT_EQ(GetU16(d + 0), i + 1);  // field number
    EXPECT_EQ(GetShortString(d + 2, 30), expected[i].name);
    EXPECT_EQ(d[84], expected[i].type);
    EXPECT_EQ(d[85], expected[i].subtype);
    EXPECT_EQ(d[86], expected[i].size);
    EXPECT_EQ(d[88], expected[i].width);
    EXPECT_EQ(GetU16(d + 90), expected[i].offset);
    EXPECT_EQ(d[247], 0);
  }
  EXPECT_EQ(GetU16(U(bytes, 21)), 121);  // record size: 9 + each width + 1
}

// A data file in memory with one 10-byte string field (record size 9 + 12 = 21).
struct MemoryDataFile {
  std::shared_ptr<TMemoryFile> file = std::make_shared<TMemoryFile>("t.DAT");
  std::unique_ptr<TDataFile> data;

  MemoryDataFile() {
    std::vector<TFieldDesc> fields(1);
    fields[0].number = 1;
    fields[0].name = "S";
    fields[0].type = TStoreFieldType::String;
    fields[0].size = 10;
    TDataHeader header;
    header.recordSize = static_cast<uint16_t>(LayoutFields(fields));
    TDataFile::Create(*file, header, fields, "t.DAT");
    data = std::make_unique<TDataFile>(file, "t.DAT");
    data->Load();
  }
  int32_t Insert(bool reuse) {
    bool reused = false;
    int32_t slot = data->AllocateSlot(reuse, reused);
    std::vector<uint8_t> image(static_cast<size_t>(data->RecordSize()), 0);
    PutI32(image.data() + 1, slot);
    PutI32(image.data() + 5, data->NextLogicalId());
    data->WriteSlot(slot, image.data());
    data->Flush(true, false);
    return slot;
  }
  void Delete(int32_t slot) {
    std::vector<uint8_t> image(data->ReadSlot(slot), data->ReadSlot(slot) + data->RecordSize());
    data->FreeSlot(slot, image.data());
    data->Flush(true, false);
  }
};

TEST(DataFile, DeletedSlotsFormAChainReusedLastFreedFirst) {
  MemoryDataFile t;
  for (int i = 0; i < 6; ++i) t.Insert(true);
  t.Delete(3);
  t.Delete(5);
  EXPECT_EQ(t.data->Header().deletedChain, 5);
  EXPECT_EQ(GetI32(t.data->ReadSlot(5) + 1), 3);  // link to the next deleted slot
  EXPECT_EQ(GetI32(t.data->ReadSlot(3) + 1), 0);
  EXPECT_EQ(t.Insert(true), 5);
  EXPECT_EQ(t.Insert(true), 3);
  EXPECT_EQ(t.Insert(true), 7);
  EXPECT_EQ(t.data->Header().deletedChain, 0);
}

TEST(DataFile, WithoutSlotReuseInsertsAppend) {
  MemoryDataFile t;
  for (int i = 0; i < 3; ++i) t.Insert(false);
  t.Delete(2);
  EXPECT_EQ(t.Insert(false), 4);
  EXPECT_EQ(t.data->Header().deletedChain, 2);
}

TEST(DataFile, LogicalIdsWrapAfterTheLargestInt32) {
  MemoryDataFile t;
  t.data->EditHeader().lastLogicalId = 2147483647;
  EXPECT_EQ(t.data->NextLogicalId(), 1);
  EXPECT_EQ(t.data->NextLogicalId(), 2);
  t.data->EditHeader().lastBlobId = 2147483647;
  EXPECT_EQ(t.data->NextBlobId(), 1);
}

TEST(DataFile, SlotsBeyondTheGrowthLimitsFailWith9479AndChangeNothing) {
  MemoryDataFile t;
  for (int32_t next : {100'000'000, 95'238'096}) {  // beyond 99,999,999 slots; 21 x n > 2e9
    t.data->EditHeader().nextPhysical = next;
    bool reused;
    try {
      t.data->AllocateSlot(false, reused);
      FAIL() << "no error for slot " << next;
    } catch (const EStoreEngineError& e) {
      EXPECT_EQ(e.ErrorCode(), 9479);
    }
    EXPECT_EQ(t.data->Header().nextPhysical, next);
  }
  t.data->EditHeader().nextPhysical = 95'238'095;  // 21 x 95,238,095 <= 2e9
  bool reused;
  EXPECT_EQ(t.data->AllocateSlot(false, reused), 95'238'095);
}

TEST(DataFile, HeaderWritesAdvanceTheCounterAndStampTheTime) {
  MemoryDataFile t;
  t.Insert(true);
  std::vector<uint8_t> raw(127);
  t.file->ReadAt(0, raw.data(), 127);
  EXPECT_EQ(GetI32(raw.data()), 1);
  EXPECT_EQ(GetI32(raw.data() + 13), 2);
  EXPECT_EQ(raw[111], 1);  // written with unwritten changes pending
  double stamp = GetF64(raw.data() + 27);
  EXPECT_GT(stamp, 45000.0 - 693594.0);  // after 2023, as days since 1899-12-30 minus 693,594
}

TEST(DataFile, EveryFieldKindRoundTripsThroughTheFileIncludingNull) {
  TempDir dir;
  {
    TStoreTable table;
    Bind(table, dir, "every");
    AddEveryFieldKind(table);
    table.CreateTable();
    table.Open();
    table.Append();
    table.FieldByName("Name").SetAsString(
        "Gr\xC3\xBC\xC3\x9F"
        "e");
    table.FieldByName("Small").SetAsInteger(-1234);
    table.FieldByName("Whole").SetAsInteger(-2000000000);
    table.FieldByName("Count").SetAsInteger(65535);
    table.FieldByName("Flag").SetAsBoolean(true);
    table.FieldByName("Ratio").SetAsFloat(-0.1);
    table.FieldByName("Price").SetAsFloat(19.99);
    table.FieldByName("Amount").SetAsString("-12.345");
    table.FieldByName("Day").SetAsString("2024-02-29");
    table.FieldByName("Clock").SetAsString("23:59:58.250");
    table.FieldByName("Stamp").SetAsString("0001-01-01 00:00:01");
    table.FieldByName("Raw").SetAsString(std::string("\x00\x01\xFF\x7F", 4));
    table.FieldByName("VarRaw").SetAsString("abc");
    table.FieldByName("Data").SetAsString(std::string("\x00\xFE binary", 9));
    table.FieldByName("Notes").SetAsString(std::string(2000, 'n'));
    table.Post();
    table.Append();  // a record of NULLs
    table.Post();
    table.Close();
  }
  TStoreTable table;
  Bind(table, dir, "every");
  table.Open();
  ASSERT_EQ(table.RecordCount(), 2);
  EXPECT_EQ(table.FieldByName("Name").AsString(),
            "Gr\xC3\xBC\xC3\x9F"
            "e");
  EXPECT_EQ(table.FieldByName("Small").AsInteger(), -1234);
  EXPECT_EQ(table.FieldByName("Whole").AsInteger(), -2000000000);
  EXPECT_EQ(table.FieldByName("Count").AsInteger(), 65535);
  EXPECT_TRUE(table.FieldByName("Flag").AsBoolean());
  EXPECT_EQ(table.FieldByName("Ratio").AsFloat(), -0.1);
  EXPECT_EQ(table.FieldByName("Price").AsFloat(), 19.99);
  EXPECT_EQ(table.FieldByName("Amount").AsString(), "-12.35");  // two decimals
  EXPECT_EQ(table.FieldByName("Day").AsString(), "2024-02-29");
  EXPECT_EQ(table.FieldByName("Clock").AsString(), "23:59:58.250");
  EXPECT_EQ(table.FieldByName("Stamp").AsString(), "0001-01-01 00:00:01");
  EXPECT_EQ(table.FieldByName("Raw").AsString(), std::string("\x00\x01\xFF\x7F", 4));
  EXPECT_EQ(table.FieldByName("VarRaw").AsString(), std::string("abc\0\0\0", 6));
  EXPECT_EQ(table.FieldByName("Id").AsInteger(), 1);
  EXPECT_EQ(table.FieldByName("Data").AsString(), std::string("\x00\xFE binary", 9));
  EXPECT_EQ(table.FieldByName("Notes").AsString(), std::string(2000, 'n'));
  for (int i = 0; i < table.FieldCount(); ++i)
    EXPECT_FALSE(table.Fields(i).IsNull()) << table.Fields(i).FieldName();

  table.Next();
  for (int i = 0; i < table.FieldCount(); ++i) {
    TStoreField& f = table.Fields(i);
    if (f.DataType() == TFieldType::AutoInc) {
      EXPECT_EQ(f.AsInteger(), 2);
      continue;
    }
    EXPECT_TRUE(f.IsNull()) << f.FieldName();
    EXPECT_EQ(f.AsString(), "") << f.FieldName();
  }
}

TEST(DataFile, DatesAndTimesConvertToDaysSince1899) {
  TempDir dir;
  TStoreTable table;
  Bind(table, dir, "d");
  table.FieldDefs().Add("Day", TFieldType::Date);
  table.FieldDefs().Add("Stamp", TFieldType::DateTime);
  table.FieldDefs().Add("Clock", TFieldType::Time);
  table.CreateTable();
  table.Open();
  table.Append();
  table.FieldByName("Day").SetAsDateTime(45351.0);  // 2024-02-29
  table.FieldByName("Stamp").SetAsDateTime(-1.25);  // 1899-12-29 06:00
  table.FieldByName("Clock").SetAsDateTime(0.5);
  table.Post();
  EXPECT_EQ(table.FieldByName("Day").AsString(), "2024-02-29");
  EXPECT_EQ(table.FieldByName("Stamp").AsString(), "1899-12-29 06:00:00");
  EXPECT_DOUBLE_EQ(table.FieldByName("Stamp").AsDateTime(), -1.25);
  EXPECT_EQ(table.FieldByName("Clock").AsString(), "12:00:00");
  // Day 1 begins at 86,400,000 milliseconds.
  std::string bytes = ReadFileBytes(dir.file("d.DAT"));
  ASSERT_GE(bytes.size(), 127u + 3 * 768 + 9 + 5 + 9 + 5);
  const uint8_t* rec = U(bytes, 127 + 3 * 768);
  EXPECT_EQ(GetI32(rec + 10), 738945);  // day number of 2024-02-29
  EXPECT_DOUBLE_EQ(GetF64(rec + 15), (693593.0) * 86400000.0 + 6 * 3600000.0);
}
}  // namespace
