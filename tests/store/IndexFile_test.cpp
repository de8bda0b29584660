#include "store/IndexFile.h"

#include <gtest/gtest.h>

#include "IndexTestSupport.h"
#include "store/IndexBytes.h"
#include "store/StoreError.h"

using namespace quellor;
using namespace quellor::test;
using namespace quellor::indexbytes;

namespace {

constexpr int kSlot0 = 14;
constexpr int kSlot31 = 14 + 31 * 120;

std::vector<TFieldDesc> SiteFields() {
  return LayOutFields(
      {Field("Url", TStoreFieldType::String, 100), Field("Killed", TStoreFieldType::Boolean),
       Field("Priority", TStoreFieldType::SmallInt), Field("Data", TStoreFieldType::Blob)});
}

TIndexFileOptions Options(const char* table) {
  TIndexFileOptions o;
  o.tableName = table;
  return o;
}

TIndexDesc IndexOn(std::vector<uint16_t> fieldNumbers) {
  TIndexDesc d;
  d.fieldNumbers = std::move(fieldNumbers);
  return d;
}

}  // namespace

TEST(IndexFileCreate, NewFileWithoutPrimaryKeyFields) {
  TBufferFile file;
  file.bytes.assign(10000, 0xAB);  // a leftover file is cut to the header
  CreateIndexFile(file, SiteFields(), nullptr, Options("cracks.DAT"));
  ASSERT_EQ(file.bytes.size(), 4096u);
  const uint8_t* h = file.bytes.data();
  EXPECT_EQ(GetI32(h + 0), 0);
  EXPECT_EQ(h[8], 4);
  EXPECT_EQ(GetI32(h + 9), 4096);
  EXPECT_EQ(h[13], 0);
  EXPECT_EQ(GetI32(h + 3974), 0);
  EXPECT_EQ(h[3978], 1);
  for (int i = 0; i < 120; ++i) EXPECT_EQ(h[kSlot0 + i], 0) << i;
  EXPECT_EQ(GetShortString(h + kSlot31, 30), "Sys Deleted");
  EXPECT_EQ(GetU16(h + kSlot31 + 31), 5);
  for (int i = 33; i < 120; ++i) EXPECT_EQ(h[kSlot31 + i], 0) << i;
}

TEST(IndexFileCreate, PrimaryIndexFillsSlotZero) {
  TBufferFile file;
  TIndexDesc primary = IndexOn({1, 3});
  primary.fieldDescending = {false, true};
  primary.compression = TIndexCompression::Full;
  primary.unique = false;  // the primary index is always unique
  CreateIndexFile(file, SiteFields(), &primary, Options("cracks.DAT"));
  const uint8_t* h = file.bytes.data();
  EXPECT_EQ(h[3978], 0);
  EXPECT_EQ(GetShortString(h + kSlot0, 30), "");
  EXPECT_EQ(GetU16(h + kSlot0 + 31), (101 + 1) + (2 + 1));
  EXPECT_EQ(h[kSlot0 + 35], 1);
  EXPECT_EQ(h[kSlot0 + 36], 3);
  EXPECT_EQ(h[kSlot0 + 37], 2);
  EXPECT_EQ(h[kSlot0 + 38], 0);
  EXPECT_EQ(h[kSlot0 + 39], 1);
  EXPECT_EQ(GetU16(h + kSlot0 + 54), 1);
  EXPECT_EQ(GetU16(h + kSlot0 + 56), 3);
  EXPECT_EQ(GetI32(h + kSlot0 + 86), 0);
  EXPECT_EQ(GetI32(h + kSlot0 + 90), 0);

  TIndexFileHeader back = DecodeIndexHeader(h, "cracks.DAT");
  EXPECT_FALSE(back.primaryNoKeyFields);
  EXPECT_EQ(back.primary.fieldNumbers, (std::vector<uint16_t>{1, 3}));
  EXPECT_EQ(back.sysDeleted.name, "Sys Deleted");
}

TEST(IndexFileCreate, BadPrimaryIndexWritesNothing) {
  std::vector<TFieldDesc> wide;
  for (int i = 0; i < 3; ++i) wide.push_back(Field("S", TStoreFieldType::String, 250));
  wide = LayOutFields(wide);
  std::vector<uint16_t> seventeen(17, 1);
  struct Case {
    std::vector<TFieldDesc> fields;
    std::vector<uint16_t> numbers;
    uint16_t code;
    const char* message;
  };
  const Case cases[] = {
      {SiteFields(), {4}, 12292, "Invalid field type specified for index 'Primary' in table 't'"},
      {SiteFields(),
       {9},
       10023,
       "Invalid field number '9' specified in index 'Primary' for table 't'"},
      {wide, {1, 2, 3}, 10026, "Invalid key size specified in index 'Primary' for table 't'"},
      {SiteFields(), seventeen, 9487, nullptr},
  };
  for (const Case& c : cases) {
    TBufferFile file;
    TIndexDesc primary = IndexOn(c.numbers);
    try {
      CreateIndexFile(file, c.fields, &primary, Options("t"));
      ADD_FAILURE() << "no error for code " << c.code;
    } catch (const EStoreEngineError& e) {
      EXPECT_EQ(e.ErrorCode(), c.code);
      if (c.message) {
        EXPECT_EQ(e.Errors()[0].Message, c.message);
      }
    }
    EXPECT_TRUE(file.bytes.empty());
  }
}

TEST(IndexFileCreate, EncryptedHeaderIsEnciphered) {
  TBufferFile file;
  TIndexFileOptions options = Options("t");
  options.cipher = [](uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] ^= static_cast<uint8_t>(0x5A + i);
  };
  CreateIndexFile(file, SiteFields(), nullptr, options);
  ASSERT_EQ(file.bytes.size(), 4096u);
  EXPECT_NE(file.bytes[8], 4);
  options.cipher(file.bytes.data(), file.bytes.size());
  EXPECT_EQ(file.bytes[8], 4);
  EXPECT_EQ(GetShortString(file.bytes.data() + kSlot31, 30), "Sys Deleted");
}
